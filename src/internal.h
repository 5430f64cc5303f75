// Private to the library: the state each open device keeps beside its public
// record, the per-index slots that make close safe, and what the subsystems
// call of each other. Nothing here is exported.
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

namespace canfd::core {

// ---- Small helpers -----------------------------------------------------------

class Lock {
 public:
  explicit Lock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
  ~Lock() { pthread_mutex_unlock(m_); }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

 private:
  pthread_mutex_t *m_;
};

// The monotonic clock in nanoseconds; condition variables of the library
// wait on it.
int64_t now_ns();
int64_t deadline_after_ms(uint64_t ms);
timespec to_timespec(int64_t ns);
// Waits on cv until the monotonic deadline; false once it has passed.
bool wait_until(pthread_cond_t *cv, pthread_mutex_t *m, int64_t deadline_ns);
// A condition variable on the monotonic clock.
void init_monotonic_cond(pthread_cond_t *cv);

constexpr bool valid_port(BYTE port) { return port == 1 || port == 2; }

inline pthread_mutex_t *rx_mutex(PKALVEN_CANFD_CAN_Buf_St rec, BYTE port) {
  return port == 1 ? &rec->mutex_CANRx_P1 : &rec->mutex_CANRx_P2;
}
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

// Appends a frame packet's payload to a port's stream, whose records go to
// the ring. Records that do not fit into the ring are dropped whole and
// counted. Returns whether a record entered the ring. The caller holds the
// port's receive mutex.
bool rx_store(const Ring &ring, RxStream &s, const BYTE *data, DWORD len);
inline bool rx_store(PKALVEN_CANFD_CAN_Buf_St rec, BYTE port, RxStream &s, const BYTE *data,
                     DWORD len) {
  return rx_store(rx_ring(rec, port), s, data, len);
}
// Empties the ring; an incomplete record is dropped when it completes.
// The caller holds the port's receive mutex.
void rx_clear(const Ring &ring, RxStream &s);

// Frames taken in a batch: n received records are copied to the tail of an
// array of n frames and decoded in place, front to back (each frame ends
// before the records still to be decoded begin). The host time of a frame
// is its adapter time plus the clock offset, or now if the offset is not
// known yet (INT64_MIN).
BYTE *records_tail(CANFD_Frame_St *frames, DWORD n);
void decode_records(CANFD_Frame_St *frames, DWORD n, int64_t clock_offset_us);
// Moves host times that would go back behind the newest one handed out on
// the port (last_us) to just after it; updates last_us.
void keep_host_order(CANFD_Frame_St *frames, DWORD n, std::atomic<int64_t> &last_us);

struct Device;
// The port's readiness descriptor follows its ring, once it was handed out:
// rx_signal after records were stored (or the device is gone), rx_taken
// after records were taken. The caller holds the port's receive mutex.
void rx_signal(Device &d, BYTE port);
void rx_taken(Device &d, BYTE port);
// Learns the offset of the adapter's clock from a record's time stamp.
void learn_clock(Device &d, int64_t adapter_us);

// ---- Command answers ---------------------------------------------------------

// A request written to the adapter, as its answer will identify it.
struct Request {
  BYTE opcode = 0;  // '$' or '#'
  WORD fc = 0;
  int64_t answer_by_ns = 0;  // later than this its answer is taken as lost
};

// Requests that timed out while their answer may still come, oldest first,
// and the request a command is waiting on. The adapter answers in request
// order, so an answer belongs to the oldest outstanding request it can
// answer, and the requests before that one will not be answered any more.
struct Answers {
  static constexpr int kMaxOwed = 16;
  Request owed[kMaxOwed];
  int owed_count = 0;
  bool waiting = false;
  Request current;
  bool arrived = false;  // current's answer is in the response slot
};

// Whether an answer packet can be the answer to a request: the same function
// code; a '!' answer to a read carries the values read.
bool answers(const Request &r, const BYTE *pkt);
// Files one answer: true when it is the waiting request's (the caller then
// copies it to the response slot), false when it is a late answer to an
// owed request or belongs to nothing. Forgets owed requests it passes over
// and those whose time is up.
bool take_answer(Answers &a, const BYTE *pkt, int64_t now);
// Starts waiting on a request; forgets owed requests whose time is up.
void begin_request(Answers &a, const Request &r, int64_t now);
// Ends the wait: a request that timed out is owed its answer until its time
// is up.
void end_request(Answers &a, bool timed_out, int64_t now);

// ---- Devices -----------------------------------------------------------------

// What an open device keeps beside its public record. Allocated by open,
// released by close.
struct Device {
  PKALVEN_CANFD_CAN_Buf_St rec = nullptr;
  WORD hidnum = 0;
  int stop_fd = -1;               // eventfd: both workers stop when it is readable
  std::atomic<bool> gone{false};  // the node reported its device gone
  std::atomic<bool> stopping{false};
  std::atomic<int64_t> drain_until_ns{0};  // the transmit worker gives up queued reports then
  sem_t start;                             // posted once per worker when its block is published
  pthread_cond_t rx_cond[2];               // with the port's receive mutex: records stored
  RxStream rx[2];
  int rx_event_fd[2] = {-1, -1};          // readable while records wait (and once gone)
  bool rx_signalled[2] = {false, false};  // guarded by the port's receive mutex
  // The descriptor was handed out: until then no one can wait on it, and
  // the receive path spends no system call on it.
  bool rx_fd_given[2] = {false, false};  // guarded by the port's receive mutex
  pthread_cond_t tx_room;                // with mutex_USBDevTx: a report left the queue
  bool tx_writing = false;  // guarded by mutex_USBDevTx: the worker or a sender writes a report
  int tx_waiters = 0;       // guarded by mutex_USBDevTx
  std::atomic<DWORD> tx_refused[2] = {{0}, {0}};  // reports the full queue refused
  // Host time minus adapter time, in microseconds: the smallest difference
  // seen as records arrive (the record that waited least). Both ports share
  // the adapter's clock. Written by the reader of the node only.
  std::atomic<int64_t> clock_offset_us{INT64_MIN};
  int64_t last_adapter_us = 0;  // guarded by read_mu
  // The newest host time handed out per port (keep_host_order).
  std::atomic<int64_t> last_host_us[2] = {{INT64_MIN}, {INT64_MIN}};
  // Whoever reads the node and files its reports holds read_mu: the receive
  // worker, or a caller of CANFD_ReceiveCANFrames that waits for frames and
  // reads the node itself meanwhile (one thread woken per report instead of
  // the worker and the caller). caller_reads_until_ns is INT64_MAX while a
  // caller reads; once it is done, the time until which the worker still
  // stands aside, so that a caller that comes straight back keeps reading.
  pthread_mutex_t read_mu;
  std::atomic<int64_t> caller_reads_until_ns{0};
  pthread_mutex_t answer_mu;  // guards answers and the response slot
  pthread_cond_t answer_cond;
  Answers answers;
};

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

// Files one input report of n bytes (the buffer holds CANFD_REPORT_SIZE
// bytes, zero beyond n): an answer goes to the response slot, a frame packet
// to its port's stream, anything else is dropped. Returns the port whose
// ring received records, or 0. The caller holds read_mu.
BYTE dispatch_report(Device &d, const BYTE *report, size_t n);

// For a caller that waits for frames of a port (or, port 0, for a command's
// answer): if no other caller reads the node and the worker is not paused,
// reads and files reports itself until the port's ring receives records
// (the answer arrived), deadline_ns, close or the device is gone, and
// returns true; false when it may not read (it waits on its condition
// variable instead). The caller holds no receive mutex nor answer_mu.
bool read_while_waiting(Device &d, BYTE port, int64_t deadline_ns);

// Writes one report to the node, waiting for room until deadline_ns (-1: no
// deadline), and giving up when the stop event fires if watch_stop is set.
// Returns 0, or -1 with errno (ETIMEDOUT, ECANCELED, or the write's error).
int write_node(Device &d, const BYTE *buf, size_t len, int64_t deadline_ns, bool watch_stop);
// Whether a write error means the device is gone.
bool gone_error(int err);

// The output report of a packet: report number 0, the packet, zeros.
void make_report(BYTE *report, const BYTE *packet, size_t len);

// Sends a packet as a report: written at once by the caller while the queue
// is empty and no report is being written, else put into the transmit
// queue, waiting until deadline_ns for room: 0, CANFD_ERR_TX_QUEUE_FULL when the time ran out,
// CANFD_ERR_DEVICE_GONE, or CANFD_ERR_DEVICE_NOT_OPEN once close began.
int enqueue_report(Device &d, const BYTE *packet, DWORD len, int64_t deadline_ns);

// The receive and transmit worker bodies.
void receive_worker(Device &d);
void transmit_worker(Device &d);

// ---- Commands ----------------------------------------------------------------

// One command: the request and the result of an argument check that comes
// after the port check.
struct Command {
  BYTE opcode;       // '$' read or '#' write
  BYTE number;       // module function code, or command number of the port
  const BYTE *data;  // request payload
  WORD len;
  int after_port;
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

}  // namespace canfd::core

#endif  // CANFD_INTERNAL_H
