// Private to the library: the state each open device keeps beside its public
// record, the per-index slots that make close safe, and what the subsystems
// call of each other. Nothing here is exported.
//
// Threads and who does what
// =========================
// Each open device has two workers; application threads never read or write
// the node themselves.
//
// Reader (the receive worker, transport.cpp). The only thread that reads the
// node. It waits in poll() on the node and the device's stop event; when the
// node is readable it reads every report that waits (non-blocking reads until
// EAGAIN) and files each one: an answer goes to the response slot (answer_mu)
// and wakes the command waiting for it at once; the records of a frame packet
// go to their port's ring under the port's receive lock, stamped with their
// host time there. Once the batch is filed, each port that received records
// is woken once: its condition variable is broadcast and its readiness
// descriptor written. While reports come faster than one per millisecond the
// reader lets the next few gather before it reads again (the time four take
// at their rate, at most kCoalesceNs, 0.8 ms; the kernel keeps 64 per
// opener: 8 ms at the full USB rate), so that it and the
// consumers wake once per few reports; it does not while a command waits for
// its answer. It never waits for a lock a caller holds: what goes under that
// lock is staged and filed once the lock is free (it waits only after 64 of
// a port's reports, or 8 answers, are staged), so a caller preempted while
// holding a lock holds up neither the node nor the other port.
//
// Writer (the transmit worker, transport.cpp). The only thread that writes the
// node: a write on a USB hidraw node blocks until the adapter takes the
// report, up to about 5 s, whatever O_NONBLOCK says, so no application thread
// may be the one waiting in it. It writes, in this order of preference:
// urgent writes (command requests and resets, in the order queued; their
// callers wait with their own deadlines), then the transmit report queue of
// the public record (mutex_USBDevTx). Senders put reports into the queue and
// wake the writer through the record's event_fd only when it sleeps; when
// the queue is full, the frame calls add their frames to their port's newest
// queued report, or put the queued frame reports together to make room, so
// that a sender faster than the USB fills the reports that wait instead of
// being refused. A failed write is recorded in LastError and its frames
// counted as lost for their port; ENODEV marks the device gone.
//
// Commands (exchange.cpp). A command holds mutex_NormPkt for its exchange:
// it registers its request in `answers` (answer_mu) before the request is
// queued, hands the report to the writer as an urgent write, and sleeps on
// answer_cond until the reader files its answer, the writer reports the
// write failed, the device is gone or closing, or its deadline passes. A
// request the writer had not yet taken when the deadline passed is withdrawn;
// one it had taken is owed its answer for a command timeout, so that a late
// answer is never taken by the next command.
//
// Close (device.cpp). Marks the slot closing (new calls fail), wakes every
// waiter, fires the stop event, waits for the calls in progress to leave and
// joins the reader. The writer writes what was accepted until the drain time
// (kDrainNs) is up; if it is still inside a write then (a stalled adapter),
// close leaves the device to it: it releases everything when the write
// returns, and its thread is joined by a later open or close.
//
// Locks, outermost first: g_library_lock; mutex_NormPkt; then at most one of
// a port's receive lock, answer_mu, mutex_USBDevTx, a port's transmit ring
// lock. No code path holds two of the last four at once.
#ifndef CANFD_INTERNAL_H
#define CANFD_INTERNAL_H

#include <pthread.h>
#include <semaphore.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "canfd.h"
#include "canfd_comm.h"
#include "wire.h"

// Clang's thread-safety analysis (-Wthread-safety); nothing for other compilers.
#if defined(__clang__)
#define CANFD_TSA(x) __attribute__((x))
#else
#define CANFD_TSA(x)
#endif
#define CAPABILITY(x) CANFD_TSA(capability(x))
#define SCOPED_CAPABILITY CANFD_TSA(scoped_lockable)
#define GUARDED_BY(x) CANFD_TSA(guarded_by(x))
#define REQUIRES(...) CANFD_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) CANFD_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CANFD_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) CANFD_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) CANFD_TSA(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS CANFD_TSA(no_thread_safety_analysis)

namespace canfd::core {

// ---- Locks and time ----------------------------------------------------------

// A mutex the analysis knows: one of the public record's pthread mutexes, or
// one of the device's own.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  explicit Mutex(pthread_mutex_t *m) : m_(m) {}
  void lock() ACQUIRE() { pthread_mutex_lock(m_); }
  bool try_lock() TRY_ACQUIRE(true) { return pthread_mutex_trylock(m_) == 0; }
  void unlock() RELEASE() { pthread_mutex_unlock(m_); }
  pthread_mutex_t *native() { return m_; }

 private:
  pthread_mutex_t *m_ = nullptr;
};

class SCOPED_CAPABILITY Lock {
 public:
  explicit Lock(Mutex &m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~Lock() RELEASE() { m_.unlock(); }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

 private:
  Mutex &m_;
};

// A lock on a mutex that guards nothing the analysis sees (the transmit
// rings and the worker block of the public structures).
class PlainLock {
 public:
  explicit PlainLock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
  ~PlainLock() { pthread_mutex_unlock(m_); }
  PlainLock(const PlainLock &) = delete;
  PlainLock &operator=(const PlainLock &) = delete;

 private:
  pthread_mutex_t *m_;
};

// The monotonic clock in nanoseconds; condition variables of the library
// wait on it.
int64_t now_ns();
int64_t deadline_after_ms(uint64_t ms);
timespec to_timespec(int64_t ns);
// Waits on cv until the monotonic deadline; false once it has passed.
bool wait_until(pthread_cond_t *cv, Mutex &m, int64_t deadline_ns) REQUIRES(m);
// A condition variable on the monotonic clock.
void init_monotonic_cond(pthread_cond_t *cv);
// CLOCK_REALTIME less CLOCK_MONOTONIC now, in microseconds.
int64_t realtime_offset_us();

constexpr bool valid_port(BYTE port) { return port == 1 || port == 2; }

inline pthread_mutex_t *tx_mutex(PKALVEN_CANFD_CAN_Buf_St rec, BYTE port) {
  return port == 1 ? &rec->mutex_CANTx_P1 : &rec->mutex_CANTx_P2;
}

// The adapter answers every command within one command timeout.
constexpr DWORD kCmdTimeoutMs = 1000;
// Close lets the transmit worker write what it has accepted for this long.
constexpr int64_t kDrainNs = 250 * 1000000LL;

// ---- Byte rings --------------------------------------------------------------

// A byte ring: storage of size bytes, of which at most capacity (no more
// than size) hold data, from start to end; count bytes are held. The four
// rings of a device record are rings over the record's fields.
struct Ring {
  BYTE *storage;
  DWORD size;
  DWORD capacity;
  DWORD *start;
  DWORD *end;
  DWORD *count;
};

// The rings of a port (1 or 2) of a device record.
Ring rx_ring(PKALVEN_CANFD_CAN_Buf_St rec, BYTE port);
Ring tx_ring(PKALVEN_CANFD_CAN_Buf_St rec, BYTE port);

// Stores len bytes, all or none: len, or -1 when they do not fit or len is 0.
int ring_write(const Ring &r, const BYTE *src, DWORD len);
// Takes len bytes, all or none: 0, or -1 when fewer are held.
int ring_read(const Ring &r, BYTE *dst, DWORD len);
void ring_clear(const Ring &r);

// ---- The adapter's clock -----------------------------------------------------

// Maps the adapter's clock onto the host's monotonic clock, learned from the
// reports as they arrive: a report reaches the host some time after its
// newest record's time stamp, never before, so the lower envelope of
// (arrival - adapter time) is the offset between the clocks plus the
// shortest transfer. The envelope is followed per window of adapter time, its
// slope (the clocks' rate difference) fitted over the windows of the last
// minute. The mapping is continuous and piecewise linear: at each report it
// turns toward the envelope at a rate within kMaxSlew of the adapter's own,
// so that the intervals between frames stay within 1% of the adapter's from
// the first frame on. Used by the reader only.
struct HostClock {
  static constexpr int kWindows = 64;
  static constexpr int64_t kWindowUs = 1000000;
  static constexpr double kMaxSlew = 0.005;  // largest turn toward the envelope
  static constexpr double kMaxSkew = 0.002;  // largest rate difference believed
  static constexpr double kTauUs = 100000;   // time to close a gap, below the slew limit

  struct Sample {
    int64_t adapter_us;
    int64_t offset_us;  // arrival less adapter time
  };

  bool started = false;
  // The current piece: host(a) = piece_host + (a - piece_adapter) * rate.
  int64_t piece_adapter = 0;
  double piece_host = 0;
  double rate = 1;
  double skew = 0;  // host rate over adapter rate, less 1
  int64_t last_adapter_us = 0;
  // The lowest sample of the current window and of the ones before it.
  Sample window_min{};
  int64_t window_start = 0;
  Sample mins[kWindows]{};
  int min_count = 0;
  int min_next = 0;
};

// Learns from a report whose newest record has adapter time adapter_us and
// which arrived at host_us (monotonic).
void clock_learn(HostClock &c, int64_t adapter_us, int64_t host_us);
// The host time (monotonic microseconds) of an adapter time; arrival time
// of the report when nothing was learned yet.
int64_t clock_map(const HostClock &c, int64_t adapter_us);
// The date (wall-clock microseconds) of a port's record of adapter time
// adapter_us, to_realtime_us being the wall clock less the monotonic one;
// *last_us: the port's last date, updated. A date less than kDateJitterUs
// before the last one (the two host clocks read a moment apart) is raised
// to it, so that a port's frames are never dated out of their order; a step
// of the wall clock back goes through.
constexpr int64_t kDateJitterUs = 1000;
int64_t date_record(const HostClock &c, int64_t adapter_us, int64_t to_realtime_us,
                    int64_t *last_us);

// ---- Received record streams -------------------------------------------------

// One port's stream of received-frame records. A frame packet may end inside
// a record; its bytes wait here until the rest arrives, so that only whole
// records enter the ring and a dropped packet never shifts later records.
struct RxStream {
  BYTE partial[wire::kRxRecordSize];
  DWORD partial_len = 0;
  bool discard_partial = false;  // the ring was cleared while a record was incomplete
  DWORD dropped = 0;             // records lost because the ring was full
  int64_t newest_us = -1;        // adapter time of the newest record of the last packet
};

// Record slots of a receive ring: its storage holds whole records from slot 0.
constexpr DWORD kRxSlots = CANFD_RX_RING_SIZE / wire::kRxRecordSize;
static_assert(CANFD_RX_RING_SIZE % wire::kRxRecordSize == 0, "whole records per ring");

// Appends a frame packet's payload to a port's stream, whose records go to
// the ring. Records that do not fit into the ring are dropped whole and
// counted. Returns whether a record entered the ring. The caller holds the
// port's receive lock.
bool rx_store(const Ring &ring, RxStream &s, const BYTE *data, DWORD len);
// Empties the ring; an incomplete record is dropped when it completes.
// The caller holds the port's receive lock.
void rx_clear(const Ring &ring, RxStream &s);

// Frames taken in a batch: n received records are copied to the tail of an
// array of n frames and decoded in place, front to back (each frame ends
// before the records still to be decoded begin); host_us gives their host
// times (realtime microseconds), oldest first.
BYTE *records_tail(CANFD_Frame_St *frames, DWORD n);
void decode_records(CANFD_Frame_St *frames, DWORD n, const int64_t *host_us);

// ---- Command answers ---------------------------------------------------------

// A request written to the adapter, as its answer will identify it.
struct Request {
  BYTE opcode = 0;  // '$' or '#'
  WORD fc = 0;
  uint64_t digest = 0;       // of the whole request packet
  uint64_t write_id = 0;     // the urgent write that carries it
  int64_t answer_by_ns = 0;  // later than this its answer is taken as lost
};

// A digest of a request packet: equal requests, equal digests.
uint64_t request_digest(const BYTE *packet, size_t len);

// Requests that timed out while their answer may still come, oldest first,
// and the request a command is waiting on. The adapter answers in request
// order, so an answer belongs to the oldest outstanding request it can
// answer, and the requests before that one will not be answered any more;
// but an answer that owed requests and the waiting request, the same
// request all, can take is the waiting request's: an adapter that lost the
// first is as likely as one that answers it late, and the answer says the
// same to all; the waiting request's own answer is then owed in its turn.
struct Answers {
  static constexpr int kMaxOwed = 16;
  Request owed[kMaxOwed];
  int owed_count = 0;
  bool waiting = false;
  Request current;
  int write_error = 0;  // errno of the writer's failed write of current's request
  // current took an answer that may have been an owed request's (the same
  // request): its own may still come, and is owed once the wait ends.
  bool own_answer_due = false;
};

// Whether an answer packet can be the answer to a request: the same function
// code; a '!' answer to a read carries the values read.
bool answers(const Request &r, const BYTE *pkt);
// Files one answer: true when it is the waiting request's (the caller then
// copies it to the response slot and sets the arrival flag), false when it
// is a late answer to an owed request or belongs to nothing. arrived: the
// waiting request's answer is already in the slot. Forgets owed requests it
// passes over and those whose time is up.
bool take_answer(Answers &a, const BYTE *pkt, bool arrived, int64_t now);
// Starts waiting on a request; forgets owed requests whose time is up.
void begin_request(Answers &a, const Request &r, int64_t now);
// Ends the wait: a request that timed out after it was written, or that took
// an owed request's answer, is owed its answer until its time is up.
void end_request(Answers &a, bool owed, int64_t now);

// ---- Urgent writes -------------------------------------------------------------

// A write that goes to the node ahead of the transmit queue: a command's
// request or a reset. It lives on its caller's stack and is linked into the
// device's list while it waits; the writer copies it out before it writes,
// and finds it again by id afterwards (its caller may have gone).
struct Urgent {
  enum State { kQueued, kWriting, kWritten, kFailed };
  const BYTE *bytes = nullptr;
  size_t len = 0;
  bool command = false;  // a command: a failed write is told through answers
  uint64_t id = 0;
  State state = kQueued;
  int error = 0;  // errno of a failed write
  Urgent *next = nullptr;
};

// ---- Devices -----------------------------------------------------------------

// A report the reader could not file at once because a caller held the lock
// it goes under (a caller preempted there, at a low priority perhaps): the
// reader keeps reading the node, and files such reports, in order, as soon
// as the lock is free. What was read and when.
struct Staged {
  int64_t arrival_us;
  WORD len;
  BYTE bytes[CANFD_PACKET_MAX];  // a frame packet's payload, or an answer packet
};

// One port of an open device: its receive side and its transmit counts.
struct Port {
  BYTE number = 0;
  Mutex rx_mu;             // the record's mutex_CANRx_P1 or _P2: guards the ring too
  pthread_cond_t rx_cond;  // records stored, the device gone or closing
  RxStream rx GUARDED_BY(rx_mu);
  int64_t host_us[kRxSlots] GUARDED_BY(rx_mu);         // host time (realtime) of each slot's record
  int64_t last_host_us GUARDED_BY(rx_mu) = INT64_MIN;  // the newest of them
  int event_fd = -1;                         // readable while records wait (and once gone)
  bool signalled GUARDED_BY(rx_mu) = false;  // written since last emptied
  // Handed out: until then no one can wait on it, and filing spends no
  // system call on it.
  bool fd_given GUARDED_BY(rx_mu) = false;
  // Frames that never reached the adapter: in reports refused by the full
  // queue, lost in a write the node gave up on, dropped at close.
  std::atomic<DWORD> tx_refused{0};
  // Sharing with other programs (sharing.cpp): whether this program holds
  // its claim on the port, may change its settings while others use it,
  // switched it on (and with which bus and ISO mode words), and who used it
  // when a setting was last refused.
  std::atomic<bool> claimed{false};
  std::atomic<bool> override{false};
  std::atomic<bool> switched_on{false};
  std::atomic<uint32_t> op_mode{0};
  std::atomic<long> user_pid{0};
  // The reader's: frame packets waiting for the lock, and whether records
  // were stored since the port's waiters were last woken. 256 reports are
  // 32 ms at the full USB rate: a caller of low priority that the scheduler
  // leaves waiting with the lock held does not stop the reader (the kernel
  // keeps only 8 ms).
  static constexpr int kStaged = 256;
  Staged staged[kStaged];
  int staged_count = 0;
  bool to_wake = false;
};

// What an open device keeps beside its public record. Allocated by open,
// released by close (or by its writer, after close left it inside a write).
struct Device {
  PKALVEN_CANFD_CAN_Buf_St rec = nullptr;
  WORD hidnum = 0;
  int lock_fd = -1;               // the adapter's lock file, with this program's locks on it
  int stop_fd = -1;               // eventfd: both workers stop when it is readable
  std::atomic<bool> gone{false};  // the node reported its device gone
  std::atomic<bool> stopping{false};
  std::atomic<int64_t> drain_until_ns{0};  // the writer gives up queued reports then
  sem_t start;                             // posted once per worker when its block is published
  Port ports[2];

  // The writer's side. tx_mu is the record's mutex_USBDevTx; it also guards
  // the record's queue (TxBuf, TxIn, TxOut, TxCnt).
  Mutex tx_mu;
  pthread_cond_t tx_cond;  // room in the queue, an urgent write done, the writer ended
  Urgent *urgent GUARDED_BY(tx_mu) = nullptr;  // oldest first
  std::atomic<uint64_t> urgent_ids{0};         // the last id given to an urgent write
  bool writer_idle GUARDED_BY(tx_mu) = false;  // waits for its event_fd
  int tx_waiters GUARDED_BY(tx_mu) = 0;
  bool writing GUARDED_BY(tx_mu) = false;        // the writer is inside a write
  int64_t write_began_ns GUARDED_BY(tx_mu) = 0;  // ... since then
  // Commands' requests whose callers gave up while the writer was only
  // slow to take them (not stuck in a write to a stalled adapter): they
  // still go out, and are owed their answers, as if the callers had written
  // them themselves.
  static constexpr int kAdopted = 4;
  Urgent adopted[kAdopted] GUARDED_BY(tx_mu);
  bool adopted_used[kAdopted] GUARDED_BY(tx_mu) = {};
  BYTE adopted_report[kAdopted][CANFD_REPORT_SIZE] GUARDED_BY(tx_mu);
  bool writer_done GUARDED_BY(tx_mu) = false;  // the writer has returned from its loop
  bool abandoned GUARDED_BY(tx_mu) = false;    // close left the device to the writer

  // Reader only: the adapter's clock, and answers waiting for answer_mu.
  HostClock clock;
  static constexpr int kStagedAnswers = 8;
  Staged staged_answers[kStagedAnswers];
  int staged_answer_count = 0;

  // Commands: answer_mu guards the answers and the response slot of the
  // record (BUFF_RX_NormPkt, m_byNormalPktArrive: the one arrival flag).
  pthread_mutex_t answer_mutex;
  Mutex answer_mu{&answer_mutex};
  pthread_cond_t answer_cond;
  Answers answers GUARDED_BY(answer_mu);
  std::atomic<int> commands_waiting{0};  // the reader does not let reports gather meanwhile
};

inline Port &port_of(Device &d, BYTE port) { return d.ports[port - 1]; }

// Stamps n records stored from ring slot first on with their host time.
// The reader only.
void stamp_records(Port &p, const Ring &ring, DWORD first, DWORD n, const HostClock &clock)
    REQUIRES(p.rx_mu);

// A device index: the device open there, the calls in progress on it and
// whether it is closing. One per index, for the life of the process, so that
// a call never touches released memory to learn that its device is gone.
struct Slot {
  std::atomic<Device *> dev{nullptr};
  std::atomic<int> users{0};
  std::atomic<bool> closing{false};
  pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;  // close waits on left
  pthread_cond_t left = PTHREAD_COND_INITIALIZER;
};

// A device's state for a device record, its mutexes and condition
// variables initialised, its descriptors -1; and its release.
Device *new_device(WORD hidnum, PKALVEN_CANFD_CAN_Buf_St rec);
void delete_device(Device *d);
// Closes the device's descriptors, destroys the record's mutexes and releases
// the record and the device; and a worker control block.
void release_resources(Device *d);
void release_block(thread_t *blk);

Slot &slot(WORD hidnum);
PKALVEN_CANFD_CAN_Buf_St record(WORD hidnum);
thread_t *worker_block(WORD hidnum);
Device *device_of(WORD hidnum);

// Open, close and the scans run one at a time under this lock.
extern pthread_mutex_t g_library_lock;
// The lookup of get_hidraw_num, for callers that hold the library lock.
int lookup_hidraw_num(WORD pid, DWORD bid, int *hidnum);

// For the workers: waits for open to publish the control block (null when
// the device closes first), and waits while the worker is disabled (false
// when it is to stop).
thread_t *wait_for_block(Device &d);
bool wait_enabled(Device &d, thread_t *blk, int *flag);

// Marks a call in progress on a device for its whole duration, so that close
// waits for it before it releases anything. rc is the validation result; dev
// is set when it is 0.
class DeviceUse {
 public:
  explicit DeviceUse(WORD hidnum);
  ~DeviceUse();
  DeviceUse(const DeviceUse &) = delete;
  DeviceUse &operator=(const DeviceUse &) = delete;

  int rc = 0;
  Device *dev = nullptr;

 private:
  Slot *slot_ = nullptr;
};

inline bool is_gone(const Device &d) { return d.gone.load(std::memory_order_acquire); }
inline bool is_closing(const Device &d) {
  return slot(d.hidnum).closing.load(std::memory_order_acquire);
}

// The node said its device is gone: every waiter wakes and learns it.
void mark_gone(Device &d);
// Wakes every thread that waits on the device.
void wake_waiters(Device &d);

// Files one input report of n bytes (the buffer holds CANFD_REPORT_SIZE
// bytes, zero beyond n) that arrived at arrival_us (monotonic): an answer
// goes to the response slot and wakes its command, a frame packet's records
// to their port's ring; or, while a caller holds the lock they go under, to
// the reader's staging. Returns the port of a frame packet (its waiters are
// woken by rx_flush, once per batch), or 0. The reader only.
BYTE dispatch_report(Device &d, const BYTE *report, size_t n, int64_t arrival_us);
// Files what the reader staged for a port and wakes its waiters if records
// were stored, unless a caller holds the port's lock; and the same for
// answers. Each returns whether something is left for later. The reader only.
bool rx_flush(Device &d, BYTE port);
bool answers_flush(Device &d);

// The port's readiness descriptor follows its ring, once it was handed out:
// rx_signal after records were stored (or the device is gone), rx_taken
// after records were taken; rx_ready says whether the ring holds a record or
// the device is gone. The caller holds the port's receive lock.
bool rx_ready(Device &d, const Port &p) REQUIRES(p.rx_mu);
void rx_signal(Port &p) REQUIRES(p.rx_mu);
void rx_taken(Device &d, Port &p) REQUIRES(p.rx_mu);

// Whether a write error means the device is gone.
bool gone_error(int err);

// The output report of a packet: report number 0, the packet, zeros.
void make_report(BYTE *report, const BYTE *packet, size_t len);

// The record's transmit queue: adds the report of a packet (the caller
// checked for room), drops the oldest; each returns the reports left. The
// caller holds tx_mu.
int queue_push(PKALVEN_CANFD_CAN_Buf_St rec, const BYTE *packet, size_t len);
int queue_pop(PKALVEN_CANFD_CAN_Buf_St rec);

// Puts a packet into the transmit queue, waiting until deadline_ns for room
// (now: no wait): 0, CANFD_ERR_TX_QUEUE_FULL when the time ran out,
// CANFD_ERR_DEVICE_GONE, or CANFD_ERR_DEVICE_NOT_OPEN once close began.
// With join, a frame packet that finds the queue full is added to the
// newest queued report of its port, or queued once the queued frame reports
// were put together to make room.
int enqueue_report(Device &d, const BYTE *packet, DWORD len, int64_t deadline_ns, bool join);
// The same without waiting: a packet the full queue refuses is lost, and its
// frames are counted for its port.
int enqueue_now(Device &d, const BYTE *packet, DWORD len, bool join);

// Hands an urgent write to the writer and links it; unlink_urgent takes it
// out again (whatever became of it). The caller holds tx_mu for both.
void queue_urgent(Device &d, Urgent &u) REQUIRES(d.tx_mu);
void unlink_urgent(Device &d, Urgent &u) REQUIRES(d.tx_mu);
// Wakes the writer if it sleeps. The caller holds tx_mu.
void wake_writer(Device &d) REQUIRES(d.tx_mu);
// For a command whose caller gives up: the device takes over its request if
// the writer has not taken it only for want of time (it is not stuck in a
// write: inside one for more than kStuckNs) and has room; true when the
// request was or will be written.
bool adopt_urgent(Device &d, Urgent &u) REQUIRES(d.tx_mu);

// The receive and transmit worker bodies.
void receive_worker(Device &d);
void transmit_worker(Device &d);

// ---- Sharing with other programs ----------------------------------------------

// Opens the lock file of the node's adapter and takes this program's claim
// on the adapter; without a lock directory, nothing is shared. Close drops
// every claim.
void sharing_open(Device &d, const char *node);
void sharing_close(Device &d);
// This program uses the port: its claim, taken once; and dropped.
void claim_port(Device &d, BYTE port);
void unclaim_port(Device &d, BYTE port);
// Before a setting of a port (or, for kModule, of both): 0, or
// CANFD_ERR_PORT_IN_USE when another program uses it and this one did not
// ask to override. Claims the port.
int check_setting(Device &d, int port);
struct OpMode;
// A port's operating mode was set by this program.
void note_op_mode(Device &d, BYTE port, const OpMode &m);

// ---- Commands ----------------------------------------------------------------

// One command: the request and the result of an argument check that comes
// after the port check.
struct Command {
  BYTE opcode;       // '$' read or '#' write
  BYTE number;       // module function code, or command number of the port
  const BYTE *data;  // request payload
  WORD len;
  int after_port;
  bool setting;  // changes what other programs using the port rely on
};

constexpr int kModule = -1;  // port argument of the module commands

// Validates, builds the request, exchanges it with the command timeout and
// checks the answer: 0 with the answer's payload in answer, a result code, or
// the adapter's error code of a '?' answer. A short answer reads its missing
// bytes as 0.
int run_command(WORD hidnum, int port, const Command &c, BYTE (&answer)[CANFD_PACKET_MAX]);

// The payloads of the commands, field by field: decoders of the answers to
// the reads (they read the payload of a '!' answer; the bytes of a short
// answer after its end read as 0) and encoders of what the writes carry.
// The result of an answer: 0 for '!', the adapter's error code for '?'.
int answer_result(const BYTE *answer);

WORD decode_fw_version(const BYTE *p);
BYTE decode_init_pin(const BYTE *p);
WORD decode_rx_fps(const BYTE *p);
BYTE decode_hw_send_mode(const BYTE *p);

struct OpMode {
  WORD enable, bus_mode, iso_mode;
};
OpMode decode_op_mode(const BYTE *p);
void encode_op_mode(const OpMode &m, BYTE (&out)[wire::kOpModeSize]);

struct PortStatus {
  DWORD status, counters, buffers;
};
PortStatus decode_status(const BYTE *p);

struct BusState {
  BYTE state, tx_errors, rx_errors;
};
BusState decode_bus_state(const BYTE *p);

struct BitRates {
  DWORD arbitration, data;
  WORD arbitration_sp, data_sp;  // 0.01 %
};
BitRates decode_bit_rates(const BYTE *p);
void encode_bit_rates(const BitRates &b, BYTE (&out)[wire::kBitRatesSize]);
// Whether the adapter is asked to take these bit rates.
bool bit_rates_valid(const BitRates &b);

struct GlobalFilter {
  BYTE reject_rfs, reject_rfe;
  WORD std_list_size, ext_list_size;
};
GlobalFilter decode_global_filter(const BYTE *p);

// One half (0 or 1) of a filter list: the elements with indices from
// half * elements per half. A list of size elements has them from id1 and
// id2 (size at most the list's length); the elements after it are 0 to 0.
void encode_std_filter_half(const WORD *id1, const WORD *id2, WORD size, int half,
                            BYTE (&out)[wire::kFilterHalfBytes]);
void decode_std_filter_half(const BYTE *p, int half, WORD *id1, WORD *id2);
void encode_ext_filter_half(const DWORD *id1, const DWORD *id2, WORD size, int half,
                            BYTE (&out)[wire::kFilterHalfBytes]);
void decode_ext_filter_half(const BYTE *p, int half, DWORD *id1, DWORD *id2);

void encode_hw_send_record(const wire::TxFrame &f, DWORD period, DWORD counter,
                           BYTE (&out)[wire::kHwRecordSize]);

// Packs up to seven transmitted-frame records into one frame packet for a
// port; returns the packet length.
int pack_frames(BYTE port, const BYTE *records, DWORD len, BYTE *packet);
// Takes what the port's transmit ring holds, up to seven records, into one
// frame packet: the packet length, or 0 when the ring is empty.
int take_tx_packet(const Ring &ring, BYTE port, BYTE *packet);
// Encodes up to seven valid frames of the frame interface into one frame
// packet for a port; returns the packet length.
int pack_frame_batch(BYTE port, const CANFD_Frame_St *frames, DWORD n, BYTE *packet);
// The port (1 or 2) of a packet that carries frames to the adapter; 0 for
// any other packet.
BYTE frames_out(const BYTE *packet, size_t len);
// Counts the frames of a packet that did not reach the adapter for its port.
void count_lost(Device &d, const BYTE *packet, size_t len);

}  // namespace canfd::core

#endif  // CANFD_INTERNAL_H
