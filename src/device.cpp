// Device access: the device and worker tables, the result codes, validation,
// opening and closing, and the worker control block. Open, close and the
// scans run under one library lock.
#include <errno.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"

namespace canfd::core {

namespace {

// The workers read these entries while open and close write them.
std::atomic<PKALVEN_CANFD_CAN_Buf_St> KALVEN_CANFD[CANFD_MAX_DEVICES];
std::atomic<thread_t *> txrx_thread[CANFD_MAX_DEVICES];
int OpenDevicesAmount = 0;

Slot g_slots[CANFD_MAX_DEVICES];

const CANFD_ResultCode_St kResultCodes[] = {
    {CANFD_ERR_INVALID_INDEX, "CANFD_ERR_INVALID_INDEX", "invalid device index"},
    {CANFD_ERR_DEVICE_ALREADY_OPEN, "CANFD_ERR_DEVICE_ALREADY_OPEN", "device already open"},
    {CANFD_ERR_DEVICE_NOT_FOUND, "CANFD_ERR_DEVICE_NOT_FOUND", "device not found"},
    {CANFD_ERR_SCAN_FAILED, "CANFD_ERR_SCAN_FAILED", "no adapter found"},
    {CANFD_ERR_DATA_TOO_LONG, "CANFD_ERR_DATA_TOO_LONG", "data too long"},
    {CANFD_ERR_USB_WRITE, "CANFD_ERR_USB_WRITE", "write to the adapter failed"},
    {CANFD_ERR_TX_QUEUE_FULL, "CANFD_ERR_TX_QUEUE_FULL", "transmit queue full"},
    {CANFD_ERR_TOO_MANY_DEVICES, "CANFD_ERR_TOO_MANY_DEVICES", "too many open devices"},
    {CANFD_ERR_DEVICE_NOT_OPEN, "CANFD_ERR_DEVICE_NOT_OPEN", "device not open"},
    {CANFD_ERR_DEVICE_GONE, "CANFD_ERR_DEVICE_GONE", "adapter unplugged"},
    {CANFD_ERR_CMD_TIMEOUT, "CANFD_ERR_CMD_TIMEOUT", "adapter did not answer"},
    {CANFD_ERR_INVALID_PORT, "CANFD_ERR_INVALID_PORT", "invalid port"},
    {CANFD_ERR_RX_BUF_EMPTY, "CANFD_ERR_RX_BUF_EMPTY", "receive buffer empty"},
    {CANFD_ERR_TX_BUF_FULL, "CANFD_ERR_TX_BUF_FULL", "transmit buffer full"},
    {CANFD_ERR_INVALID_PARAM, "CANFD_ERR_INVALID_PARAM", "invalid parameter"},
    {CANFD_ERR_INVALID_FILTER_SIZE, "CANFD_ERR_INVALID_FILTER_SIZE", "invalid filter list size"},
    {CANFD_ERR_PORT_IN_USE, "CANFD_ERR_PORT_IN_USE", "port in use by another program"},
};

}  // namespace

// Open, close and the scans run one at a time.
pthread_mutex_t g_library_lock = PTHREAD_MUTEX_INITIALIZER;

Slot &slot(WORD hidnum) { return g_slots[hidnum]; }

PKALVEN_CANFD_CAN_Buf_St record(WORD hidnum) {
  return KALVEN_CANFD[hidnum].load(std::memory_order_acquire);
}

thread_t *worker_block(WORD hidnum) { return txrx_thread[hidnum].load(std::memory_order_acquire); }

DeviceUse::DeviceUse(WORD hidnum) {
  if (hidnum < CANFD_MAX_DEVICES) {
    slot_ = &g_slots[hidnum];
    slot_->users.fetch_add(1, std::memory_order_seq_cst);
    if (slot_->closing.load(std::memory_order_seq_cst)) {
      rc = CANFD_ERR_DEVICE_NOT_OPEN;
      return;
    }
  }
  rc = USBDEV_CheckDeviceValid(hidnum);
  if (rc == 0) dev = slot_->dev.load(std::memory_order_acquire);
}

DeviceUse::~DeviceUse() {
  if (slot_ == nullptr) return;
  // The last call to leave a closing device tells close.
  if (slot_->users.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
      slot_->closing.load(std::memory_order_seq_cst)) {
    PlainLock lock(&slot_->mu);
    pthread_cond_broadcast(&slot_->left);
  }
}

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t deadline_after_ms(uint64_t ms) { return now_ns() + static_cast<int64_t>(ms) * 1000000LL; }

timespec to_timespec(int64_t ns) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
  ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
  return ts;
}

bool wait_until(pthread_cond_t *cv, Mutex &m, int64_t deadline_ns) {
  const timespec ts = to_timespec(deadline_ns);
  return pthread_cond_timedwait(cv, m.native(), &ts) != ETIMEDOUT;
}

int64_t realtime_offset_us() {
  // The two clocks cannot be read at once: the wall clock is read between
  // two readings of the monotonic one and set against their middle, and of
  // three tries the closest counts. (A thread preempted between two plain
  // readings would shift the dates of a whole batch by the time it lost.)
  int64_t best_gap = INT64_MAX, offset_ns = 0;
  for (int i = 0; i < 3 && best_gap > 2000; ++i) {
    const int64_t before = now_ns();
    timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    const int64_t after = now_ns();
    if (after - before < best_gap) {
      best_gap = after - before;
      offset_ns = static_cast<int64_t>(real.tv_sec) * 1000000000 + real.tv_nsec -
                  (before + (after - before) / 2);
    }
  }
  return offset_ns / 1000;
}

void init_monotonic_cond(pthread_cond_t *cv) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(cv, &attr);
  pthread_condattr_destroy(&attr);
}

Device *new_device(WORD hidnum, PKALVEN_CANFD_CAN_Buf_St rec) {
  // Plain allocation: the library has no use for operator new and what it
  // would pull in from the C++ runtime.
  void *mem = calloc(1, sizeof(Device));
  if (mem == nullptr) return nullptr;
  Device *d = new (mem) Device();
  d->rec = rec;
  d->hidnum = hidnum;
  sem_init(&d->start, 0, 0);
  for (BYTE port = 1; port <= 2; ++port) {
    Port &p = port_of(*d, port);
    p.number = port;
    p.rx_mu = Mutex(port == 1 ? &rec->mutex_CANRx_P1 : &rec->mutex_CANRx_P2);
    init_monotonic_cond(&p.rx_cond);
  }
  d->tx_mu = Mutex(&rec->mutex_USBDevTx);
  init_monotonic_cond(&d->tx_cond);
  pthread_mutex_init(&d->answer_mutex, nullptr);
  init_monotonic_cond(&d->answer_cond);
  return d;
}

void delete_device(Device *d) {
  sem_destroy(&d->start);
  for (Port &p : d->ports) pthread_cond_destroy(&p.rx_cond);
  pthread_cond_destroy(&d->tx_cond);
  pthread_mutex_destroy(&d->answer_mutex);
  pthread_cond_destroy(&d->answer_cond);
  d->~Device();
  free(d);
}

void release_block(thread_t *blk) {
  pthread_cond_destroy(&blk->cond);
  pthread_mutex_destroy(&blk->mutex);
  free(blk);
}

void release_resources(Device *d) {
  PKALVEN_CANFD_CAN_Buf_St rec = d->rec;
  sharing_close(*d);
  if (rec->event_fd >= 0) close(rec->event_fd);
  if (d->stop_fd >= 0) close(d->stop_fd);
  for (const Port &p : d->ports)
    if (p.event_fd >= 0) close(p.event_fd);
  if (rec->fd >= 0) close(rec->fd);
  pthread_mutex_destroy(&rec->mutex_USBDevTx);
  pthread_mutex_destroy(&rec->mutex_CANRx_P1);
  pthread_mutex_destroy(&rec->mutex_CANRx_P2);
  pthread_mutex_destroy(&rec->mutex_CANTx_P1);
  pthread_mutex_destroy(&rec->mutex_CANTx_P2);
  pthread_mutex_destroy(&rec->mutex_NormPkt);
  __atomic_store_n(&rec->IsDeviceOpen, 0, __ATOMIC_RELEASE);
  free(rec);
  delete_device(d);
}

namespace {

// Names the calling worker "canfd-rx-N" or "canfd-tx-N" (N: the device
// index), as top, ps and debuggers show it.
void name_worker(const char *role, WORD hidnum) {
  char name[16];
  snprintf(name, sizeof name, "canfd-%s-%u", role, static_cast<unsigned>(hidnum));
  pthread_setname_np(pthread_self(), name);
}

void *rx_entry(void *arg) {
  const WORD hidnum = static_cast<WORD>(reinterpret_cast<uintptr_t>(arg));
  name_worker("rx", hidnum);
  USBDEV_TxRxThread(hidnum);
  return nullptr;
}

void *tx_entry(void *arg) {
  const WORD hidnum = static_cast<WORD>(reinterpret_cast<uintptr_t>(arg));
  name_worker("tx", hidnum);
  USBDEV_TxThread(hidnum);
  return nullptr;
}

// Tells both workers to stop: the receive worker at once, the transmit
// worker once it has written what is queued or the drain time is up. A
// worker still waiting for its block is let go.
void stop_workers(Device &d) {
  if (d.stopping.load(std::memory_order_acquire)) return;
  d.drain_until_ns.store(now_ns() + kDrainNs, std::memory_order_release);
  d.stopping.store(true, std::memory_order_seq_cst);
  const uint64_t one = 1;
  if (write(d.stop_fd, &one, sizeof one) < 0) {
    // The counter cannot overflow from one write; nothing else can fail.
  }
  thread_t *blk = worker_block(d.hidnum);
  if (blk != nullptr) {
    PlainLock lock(&blk->mutex);
    pthread_cond_broadcast(&blk->cond);
  }
  sem_post(&d.start);
  sem_post(&d.start);
}

// Writers that close left inside a write to a stalled adapter: each releases
// its device when the write returns, and is joined here by a later open or
// close (under the library lock).
constexpr int kMaxLingering = 64;
pthread_t g_lingering[kMaxLingering];
int g_lingering_count = 0;

void join_lingering() {
  int kept = 0;
  for (int i = 0; i < g_lingering_count; ++i)
    if (pthread_tryjoin_np(g_lingering[i], nullptr) != 0) g_lingering[kept++] = g_lingering[i];
  g_lingering_count = kept;
}

void linger(pthread_t writer) {
  if (g_lingering_count == kMaxLingering) {
    // Never seen: as many adapters stalled at once as closes. Wait for the
    // oldest rather than lose track of it.
    pthread_join(g_lingering[0], nullptr);
    for (int i = 1; i < g_lingering_count; ++i) g_lingering[i - 1] = g_lingering[i];
    --g_lingering_count;
  }
  g_lingering[g_lingering_count++] = writer;
}

// At exit, the writers that have ended since are joined too (unless a
// thread holds the library lock then).
__attribute__((destructor)) void join_lingering_at_exit() {
  if (pthread_mutex_trylock(&g_library_lock) != 0) return;
  join_lingering();
  pthread_mutex_unlock(&g_library_lock);
}

// Close waits this long past the drain time for the writer to end; a writer
// still inside a write then is left to release the device itself.
constexpr int64_t kWriterGraceNs = 20 * 1000000LL;

// Stops the workers of a device index, joins them and releases everything
// open gave it: the control block, the descriptors, the mutexes and the
// records; or leaves the device to a writer that is still inside a write.
void release_device(WORD hidnum) {
  Slot &s = g_slots[hidnum];
  Device *d = s.dev.load(std::memory_order_acquire);
  thread_t *blk = worker_block(hidnum);
  if (d->stop_fd >= 0) stop_workers(*d);
  bool left = false;
  if (blk != nullptr) {
    if (blk->ReceiveHandle) pthread_join(blk->RxThread, nullptr);
    if (blk->TransmitHandle) {
      // Once the device is left to the writer, the block is its.
      const pthread_t writer = blk->TxThread;
      {
        Lock lock(d->tx_mu);
        const int64_t until = d->drain_until_ns.load(std::memory_order_acquire) + kWriterGraceNs;
        while (!d->writer_done && wait_until(&d->tx_cond, d->tx_mu, until)) {
        }
        left = !d->writer_done;
        d->abandoned = left;
      }
      if (left)
        linger(writer);
      else
        pthread_join(writer, nullptr);
    }
    txrx_thread[hidnum].store(nullptr, std::memory_order_release);
    // A writer left inside a write still looks at the block: it releases it.
    if (!left) release_block(blk);
  }
  KALVEN_CANFD[hidnum].store(nullptr, std::memory_order_release);
  s.dev.store(nullptr, std::memory_order_release);
  if (!left) release_resources(d);
}

// Waits until no call is in progress on a closing device. Calls in progress
// see the closing flag, or are woken by close, and leave promptly.
void wait_for_users(Slot &s) {
  PlainLock lock(&s.mu);
  while (s.users.load(std::memory_order_seq_cst) != 0) pthread_cond_wait(&s.left, &s.mu);
}

int thread_config(thread_t *thread, int handle, int *flag, BOOL Flage) {
  if (handle == 0) return 0xFFFF;
  PlainLock lock(&thread->mutex);
  __atomic_store_n(flag, Flage ? 1 : 0, __ATOMIC_RELEASE);
  if (Flage && pthread_cond_broadcast(&thread->cond) != 0) return 0xFFFF;
  return 0;
}

}  // namespace

// Wakes every thread that waits on the device: receive waiters (and those
// that poll a port's readiness descriptor), a command waiting for its
// answer or its write, senders waiting for room in the transmit queue.
void wake_waiters(Device &d) {
  for (Port &p : d.ports) {
    Lock lock(p.rx_mu);
    pthread_cond_broadcast(&p.rx_cond);
    if (p.event_fd >= 0) rx_signal(p);
  }
  {
    Lock lock(d.tx_mu);
    pthread_cond_broadcast(&d.tx_cond);
  }
  Lock lock(d.answer_mu);
  pthread_cond_broadcast(&d.answer_cond);
}

void mark_gone(Device &d) {
  if (d.gone.exchange(true, std::memory_order_acq_rel)) return;
  wake_waiters(d);
}

// Waits while a worker is disabled through its enable flag; returns false
// when the worker is to stop.
bool wait_enabled(Device &d, thread_t *blk, int *flag) {
  if (__atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0) return true;
  PlainLock lock(&blk->mutex);
  while (__atomic_load_n(flag, __ATOMIC_ACQUIRE) == 0 &&
         !d.stopping.load(std::memory_order_acquire))
    pthread_cond_wait(&blk->cond, &blk->mutex);
  return !d.stopping.load(std::memory_order_acquire);
}

// Waits for open to publish the worker's control block; null when open
// failed before it could.
thread_t *wait_for_block(Device &d) {
  while (sem_wait(&d.start) != 0) {
  }
  return worker_block(d.hidnum);
}

Device *device_of(WORD hidnum) { return g_slots[hidnum].dev.load(std::memory_order_acquire); }

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

int CANFD_GetResultCodes(const CANFD_ResultCode_St **o_table) {
  *o_table = kResultCodes;
  return static_cast<int>(sizeof kResultCodes / sizeof kResultCodes[0]);
}

const char *CANFD_GetResultText(int code) {
  if (code == 0) return "success";
  for (const CANFD_ResultCode_St &r : kResultCodes)
    if (r.code == code) return r.text;
  if (code > 0 && code <= 255) return "refused by the adapter";
  return "unknown result";
}

int USBDEV_CheckDeviceValid(WORD hidnum) {
  if (hidnum >= CANFD_MAX_DEVICES) {
    fprintf(stderr, "Error: Invalid device index %d\n", hidnum);
    return CANFD_ERR_INVALID_INDEX;
  }
  PKALVEN_CANFD_CAN_Buf_St d = record(hidnum);
  if (d == nullptr) return CANFD_ERR_DEVICE_NOT_OPEN;
  if (__atomic_load_n(&d->IsDeviceOpen, __ATOMIC_ACQUIRE) != 1) return CANFD_ERR_DEVICE_NOT_OPEN;
  return 0;
}

int USBDEV_GetLastError(WORD hidnum) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  return static_cast<int>(__atomic_load_n(&use.dev->rec->LastError, __ATOMIC_ACQUIRE));
}

WORD rxthread_config(thread_t *thread, BOOL Flage) {
  return static_cast<WORD>(
      thread_config(thread, thread->ReceiveHandle, &thread->enable_rxthread, Flage));
}

WORD txthread_config(thread_t *thread, BOOL Flage) {
  return static_cast<WORD>(
      thread_config(thread, thread->TransmitHandle, &thread->enable_txthread, Flage));
}

thread_t *new_thread(int hidnum) {
  thread_t *blk = static_cast<thread_t *>(calloc(1, sizeof(thread_t)));
  if (blk == nullptr) return nullptr;
  pthread_cond_init(&blk->cond, nullptr);
  pthread_mutex_init(&blk->mutex, nullptr);
  void *arg = reinterpret_cast<void *>(static_cast<uintptr_t>(hidnum));
  if (pthread_create(&blk->RxThread, nullptr, rx_entry, arg) == 0) {
    blk->enable_rxthread = 1;
    blk->ReceiveHandle = 1;
  } else {
    blk->ReceiveHandle = 0;
  }
  if (pthread_create(&blk->TxThread, nullptr, tx_entry, arg) == 0) {
    blk->enable_txthread = 1;
    blk->TransmitHandle = 1;
  } else {
    blk->TransmitHandle = 0;
  }
  blk->rxthread_func = rxthread_config;
  blk->txthread_func = txthread_config;
  return blk;
}

int CANFD_OpenDevice(WORD *o_wDevice_id, WORD i_wpid, DWORD i_wbid) {
  PlainLock library(&g_library_lock);
  join_lingering();
  if (OpenDevicesAmount > CANFD_MAX_OPEN_DEVICES - 1) return CANFD_ERR_TOO_MANY_DEVICES;
  int num = 0;
  if (lookup_hidraw_num(i_wpid, i_wbid, &num) == -1) return CANFD_ERR_DEVICE_NOT_FOUND;
  *o_wDevice_id = static_cast<WORD>(num);
  // The scan accepts any hidraw number; only 0 to 127 have table entries.
  if (num < 0 || num >= CANFD_MAX_DEVICES) return CANFD_ERR_INVALID_INDEX;
  const WORD hidnum = static_cast<WORD>(num);
  if (record(hidnum) != nullptr) return CANFD_ERR_DEVICE_ALREADY_OPEN;

  char path[16];
  snprintf(path, sizeof path, "/dev/hidraw%d", num);
  // Non-blocking reads: the reader takes what waits and goes back to its
  // poll on the node and the stop event. Writes on a USB hidraw node block
  // until the adapter takes the report whatever this says; only the
  // transmit worker makes them.
  const int fd = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    printf("Unable to open device\n");
    return 1;
  }
  auto *rec = static_cast<PKALVEN_CANFD_CAN_Buf_St>(calloc(1, sizeof(KALVEN_CANFD_CAN_Buf_St)));
  Device *d = rec != nullptr ? new_device(hidnum, rec) : nullptr;
  if (d == nullptr) {
    perror("calloc");
    free(rec);
    close(fd);
    return 5;
  }
  rec->fd = fd;
  rec->event_fd = -1;
  CANBufStructInit(rec);
  sharing_open(*d, path);
  Slot &s = g_slots[hidnum];
  s.dev.store(d, std::memory_order_release);
  KALVEN_CANFD[hidnum].store(rec, std::memory_order_release);

  rec->event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (rec->event_fd != -1) d->stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  for (Port &p : d->ports)
    if (d->stop_fd != -1) p.event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (rec->event_fd == -1 || d->stop_fd == -1 || d->ports[0].event_fd == -1 ||
      d->ports[1].event_fd == -1) {
    perror("eventfd");
    release_device(hidnum);
    return 5;
  }
  thread_t *blk = new_thread(num);
  if (blk == nullptr) {
    release_device(hidnum);
    return 2;
  }
  txrx_thread[hidnum].store(blk, std::memory_order_release);
  if (blk->ReceiveHandle == 0 || blk->TransmitHandle == 0) {
    release_device(hidnum);
    return 2;
  }
  sem_post(&d->start);
  sem_post(&d->start);

  BYTE request[CANFD_PACKET_MAX];
  BYTE response[CANFD_PACKET_MAX];
  const int len = PackReadPacket(canfd::wire::fc::kFwVersion, 0, nullptr, request);
  CANFD_Send_Recv(hidnum, request, static_cast<WORD>(len), response, 10);
  CANFD_Send_Recv(hidnum, request, static_cast<WORD>(len), response, 10);
  ++OpenDevicesAmount;
  return 0;
}

int CANFD_CloseDevice(WORD hidnum) {
  PlainLock library(&g_library_lock);
  join_lingering();
  const int rc = USBDEV_CheckDeviceValid(hidnum);
  if (rc != 0) return rc;
  if (OpenDevicesAmount == 0) return CANFD_ERR_INVALID_INDEX;
  Slot &s = g_slots[hidnum];
  Device *d = s.dev.load(std::memory_order_acquire);
  // New calls now fail. Waiters wake; the workers are told to stop (the
  // transmit worker still writes what it accepted, within the drain time),
  // so that a command blocked on a stalled adapter gives up too.
  s.closing.store(true, std::memory_order_seq_cst);
  wake_waiters(*d);
  stop_workers(*d);
  wait_for_users(s);
  release_device(hidnum);
  s.closing.store(false, std::memory_order_release);
  --OpenDevicesAmount;
  return 0;
}

}  // extern "C"
