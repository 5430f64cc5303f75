// libcanfd: device access, the command exchange and the exported device calls.
#include "canfd.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Timer.h"
#include "canfd_comm.h"
#include "wire.h"

namespace wire = canfd::wire;

// ---------------------------------------------------------------------------
// Tables and validation: the device table, the worker table, the open count,
// the scan list, the supported ids, and the private lifetime state of each
// device index (calls in progress, closing, receive waiters).
// ---------------------------------------------------------------------------

namespace {

struct DeviceID {
  const char *vid;
  const char *pid;
};

constexpr DeviceID supported_devices[] = {{"3F9A", "0E31"}, {"3F9A", "0E32"}};
constexpr int num_supported_devices = 2;

// The workers read these entries while open and close write them.
std::atomic<PKALVEN_CANFD_CAN_Buf_St> KALVEN_CANFD[CANFD_MAX_DEVICES];
std::atomic<thread_t *> txrx_thread[CANFD_MAX_DEVICES];
int OpenDevicesAmount = 0;

// What close needs to know to release a device safely: how many calls are in
// progress on it, whether it is closing, and where receive waiters sleep. One per device index; set
// up by open, torn down by close.
struct DeviceLife {
  std::atomic<int> users{0};
  std::atomic<bool> closing{false};
  sem_t start;                // posted once per worker when its block is published
  pthread_cond_t rx_cond[2];  // frames stored in the receive ring of port 1 or 2
};

DeviceLife g_life[CANFD_MAX_DEVICES];

PKALVEN_CANFD_CAN_Buf_St device(WORD hidnum) {
  return KALVEN_CANFD[hidnum].load(std::memory_order_acquire);
}

thread_t *worker_block(WORD hidnum) { return txrx_thread[hidnum].load(std::memory_order_acquire); }

bool valid_port(BYTE port) { return port == 1 || port == 2; }

pthread_mutex_t *rx_mutex(PKALVEN_CANFD_CAN_Buf_St d, BYTE port) {
  return port == 1 ? &d->mutex_CANRx_P1 : &d->mutex_CANRx_P2;
}

pthread_mutex_t *tx_mutex(PKALVEN_CANFD_CAN_Buf_St d, BYTE port) {
  return port == 1 ? &d->mutex_CANTx_P1 : &d->mutex_CANTx_P2;
}

class Lock {
 public:
  explicit Lock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
  ~Lock() { pthread_mutex_unlock(m_); }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

 private:
  pthread_mutex_t *m_;
};

// Marks a call in progress on a device for its whole duration, so that close
// waits for it before it releases the record. rc is the validation result.
class DeviceUse {
 public:
  explicit DeviceUse(WORD hidnum) {
    if (hidnum < CANFD_MAX_DEVICES) {
      life_ = &g_life[hidnum];
      life_->users.fetch_add(1, std::memory_order_seq_cst);
      if (life_->closing.load(std::memory_order_seq_cst)) {
        rc = CANFD_ERR_DEVICE_NOT_OPEN;
        return;
      }
    }
    rc = USBDEV_CheckDeviceValid(hidnum);
    if (rc == 0 && life_ != nullptr) dev = device(hidnum);
  }
  ~DeviceUse() {
    if (life_) life_->users.fetch_sub(1, std::memory_order_release);
  }
  DeviceUse(const DeviceUse &) = delete;
  DeviceUse &operator=(const DeviceUse &) = delete;

  int rc = 0;
  PKALVEN_CANFD_CAN_Buf_St dev = nullptr;

 private:
  DeviceLife *life_ = nullptr;
};

bool closing(WORD hidnum) { return g_life[hidnum].closing.load(std::memory_order_acquire); }

}  // namespace

extern "C" {

ListDev List[CANFD_LIST_SIZE];

int USBDEV_CheckDeviceValid(WORD hidnum) {
  if (hidnum >= CANFD_MAX_DEVICES) {
    fprintf(stderr, "Error: Invalid device index %d\n", hidnum);
    return CANFD_ERR_INVALID_INDEX;
  }
  PKALVEN_CANFD_CAN_Buf_St d = device(hidnum);
  if (d == nullptr) return CANFD_ERR_DEVICE_NOT_OPEN;
  if (__atomic_load_n(&d->IsDeviceOpen, __ATOMIC_ACQUIRE) != 1) return CANFD_ERR_DEVICE_NOT_OPEN;
  return 0;
}

int USBDEV_GetLastError(WORD hidnum) {
  int rc = USBDEV_CheckDeviceValid(hidnum);
  if (rc != 0) return rc;
  return static_cast<int>(__atomic_load_n(&device(hidnum)->LastError, __ATOMIC_ACQUIRE));
}

// ---------------------------------------------------------------------------
// Discovery: scans /sys/class/hidraw for supported adapters into List.
// ---------------------------------------------------------------------------

}  // extern "C"

namespace {

// Hexadecimal digits up to the first other character; no prefix, no sign.
DWORD parse_hex_prefix(const char *s) {
  DWORD v = 0;
  for (; isxdigit(static_cast<unsigned char>(*s)); ++s) {
    const int c = static_cast<unsigned char>(*s);
    v = v * 16 + static_cast<DWORD>(isdigit(c) ? c - '0' : (toupper(c) - 'A' + 10));
  }
  return v;
}

// Reads HID_ID and HID_UNIQ from a uevent file; false if either is missing.
bool read_uevent(FILE *f, char (&vid)[9], char (&pid)[9], char (&bid)[9]) {
  char line[128];
  vid[0] = pid[0] = bid[0] = '\0';
  bool bid_found = false;
  while (fgets(line, sizeof line, f) != nullptr) {
    char *nl = strchr(line, '\n');
    if (nl) *nl = '\0';
    char v[9], p[9], b[9];
    if (sscanf(line, "HID_ID=%*x:%8[^:]:%8s", v, p) == 2) {
      memcpy(vid, v, sizeof v);
      memcpy(pid, p, sizeof p);
    } else if (sscanf(line, "HID_UNIQ=%8s", b) == 1) {
      memcpy(bid, b, sizeof b);
      bid_found = true;
    }
    if (vid[0] != '\0' && bid_found) break;
  }
  return vid[0] != '\0' && bid_found;
}

}  // namespace

extern "C" {

int CANFD_ScanDevice(void) {
  DIR *dir = opendir("/sys/class/hidraw");
  if (dir == nullptr) {
    perror("CANFD_ScanDevice() opendir failed");
    return CANFD_ERR_SCAN_FAILED;
  }
  for (ListDev &e : List) e.Dev_hidNum = 0xFFFFFFFF;
  int scaned_dev = 0;
  struct dirent *ent;
  while ((ent = readdir(dir)) != nullptr) {
    if (strncmp(ent->d_name, "hidraw", 6) != 0) continue;
    char path[300];
    snprintf(path, sizeof path, "/sys/class/hidraw/%s/device/uevent", ent->d_name);
    FILE *f = fopen(path, "r");
    if (f == nullptr) continue;
    char vid[9], pid[9], bid[9];
    const bool found = read_uevent(f, vid, pid, bid);
    fclose(f);
    if (!found) continue;
    char clean_vid[5], clean_pid[5];
    snprintf(clean_vid, sizeof clean_vid, "%04X", static_cast<unsigned>(strtoul(vid, nullptr, 16)));
    snprintf(clean_pid, sizeof clean_pid, "%04X", static_cast<unsigned>(strtoul(pid, nullptr, 16)));
    for (int i = 0; i < num_supported_devices; ++i) {
      if (strcmp(clean_vid, supported_devices[i].vid) != 0 ||
          strcmp(clean_pid, supported_devices[i].pid) != 0)
        continue;
      const char *num = ent->d_name + 6;
      if (*num == '\0') {
        fprintf(stderr, "No number after hidraw in %s\n", ent->d_name);
        continue;
      }
      errno = 0;
      char *rest = nullptr;
      // long long: long is 32 bits wide on the 32-bit targets.
      const long long n = strtoll(num, &rest, 10);
      if (rest == num || *rest != '\0' || errno != 0 || n < 0 ||
          n > static_cast<long long>(UINT_MAX) - 1) {
        fprintf(stderr, "Invalid number in %s\n", ent->d_name);
        continue;
      }
      // The list holds 8 adapters; further ones are not listed.
      if (scaned_dev >= CANFD_LIST_SIZE) continue;
      List[scaned_dev].Dev_hidNum = static_cast<unsigned int>(n);
      List[scaned_dev].Dev_PID = static_cast<WORD>(strtoul(clean_pid, nullptr, 16));
      List[scaned_dev].Dev_BID = parse_hex_prefix(bid);
      ++scaned_dev;
    }
  }
  closedir(dir);
  return scaned_dev > 0 ? 0 : CANFD_ERR_SCAN_FAILED;
}

BYTE CANFD_ListDevice(WORD *o_wPID, DWORD *o_dwBID) {
  if (CANFD_ScanDevice() != 0) return 0;
  BYTE n = 0;
  for (; n < CANFD_LIST_SIZE && List[n].Dev_hidNum != 0xFFFFFFFF; ++n) {
    o_wPID[n] = List[n].Dev_PID;
    o_dwBID[n] = List[n].Dev_BID;
  }
  return n;
}

int get_hidraw_num(WORD i_wpid, DWORD i_wbid, int *hidnum) {
  WORD pids[CANFD_LIST_SIZE];
  DWORD bids[CANFD_LIST_SIZE];
  const BYTE count = CANFD_ListDevice(pids, bids);
  if (count == 0) {
    printf("No device.\n");
    return -1;
  }
  for (int i = 0; i < count && i < CANFD_LIST_SIZE; ++i) {
    if (pids[i] == i_wpid && bids[i] == i_wbid) {
      *hidnum = static_cast<int>(List[i].Dev_hidNum);
      return 0;
    }
  }
  printf("Searched %d CANFD devices, but no device with matching PID and BID was found\n", count);
  return -1;
}

int getserialnum(BYTE num, char *buffer, size_t bufferSize) {
  char cmd[100];
  snprintf(cmd, sizeof cmd,
           "cat /sys/class/hidraw/hidraw%d/device/uevent | grep HID_UNIQ | cut -d'=' -f2", num);
  FILE *p = popen(cmd, "r");
  if (p == nullptr) {
    perror("CANFD_ListDevice() scan BID failed");
    return 0;
  }
  const int size = bufferSize > INT_MAX ? INT_MAX : static_cast<int>(bufferSize);
  if (size < 1 || fgets(buffer, size, p) == nullptr)
    fprintf(stderr, "Error reading from BIDstr..\n");
  pclose(p);
  return -1;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// Opening and closing: the device record, the worker control block, the two
// workers, and their release. The workers stay joinable (rather than
// detached) so that close can wait for them before it releases anything.
// ---------------------------------------------------------------------------

namespace {

void *rx_entry(void *arg) {
  USBDEV_TxRxThread(static_cast<WORD>(reinterpret_cast<uintptr_t>(arg)));
  return nullptr;
}

void *tx_entry(void *arg) {
  USBDEV_TxThread(static_cast<WORD>(reinterpret_cast<uintptr_t>(arg)));
  return nullptr;
}

void life_init(DeviceLife &life) {
  sem_init(&life.start, 0, 0);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&life.rx_cond[0], &attr);
  pthread_cond_init(&life.rx_cond[1], &attr);
  pthread_condattr_destroy(&attr);
}

void life_destroy(DeviceLife &life) {
  sem_destroy(&life.start);
  pthread_cond_destroy(&life.rx_cond[0]);
  pthread_cond_destroy(&life.rx_cond[1]);
}

void sleep_us(long us) {
  struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
  nanosleep(&ts, nullptr);
}

// Stops the workers of a device index and releases everything open gave it:
// the control block, the descriptors, the mutexes and the record.
void release_device(WORD hidnum) {
  DeviceLife &life = g_life[hidnum];
  thread_t *blk = worker_block(hidnum);
  if (blk != nullptr) {
    if (blk->ReceiveHandle && pthread_cancel(blk->RxThread) != 0)
      fprintf(stderr, "Warning: RxThread cancel failed\n");
    if (blk->TransmitHandle && pthread_cancel(blk->TxThread) != 0)
      fprintf(stderr, "Warning: TxThread cancel failed\n");
  }
  // A worker may still be starting up, waiting for its block.
  sem_post(&life.start);
  sem_post(&life.start);
  // Close releases nothing a worker may still touch: wait for both to end.
  if (blk != nullptr) {
    if (blk->ReceiveHandle) pthread_join(blk->RxThread, nullptr);
    if (blk->TransmitHandle) pthread_join(blk->TxThread, nullptr);
  }
  if (blk != nullptr) {
    pthread_cond_destroy(&blk->cond);
    pthread_mutex_destroy(&blk->mutex);
    free(blk);
    txrx_thread[hidnum].store(nullptr, std::memory_order_release);
  }
  PKALVEN_CANFD_CAN_Buf_St d = device(hidnum);
  if (d->event_fd > 0) close(d->event_fd);
  if (d->fd > 0) close(d->fd);
  pthread_mutex_destroy(&d->mutex_USBDevTx);
  pthread_mutex_destroy(&d->mutex_CANRx_P1);
  pthread_mutex_destroy(&d->mutex_CANRx_P2);
  pthread_mutex_destroy(&d->mutex_CANTx_P1);
  pthread_mutex_destroy(&d->mutex_CANTx_P2);
  pthread_mutex_destroy(&d->mutex_NormPkt);
  __atomic_store_n(&d->IsDeviceOpen, 0, __ATOMIC_RELEASE);
  KALVEN_CANFD[hidnum].store(nullptr, std::memory_order_release);
  free(d);
  life_destroy(life);
}

// Workers run with cancellation disabled, except while they block.
void cancel_point_begin() { pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr); }
void cancel_point_end() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr); }

void unlock_mutex(void *m) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m)); }

// Waits while a worker is disabled through its enable flag.
void wait_enabled(thread_t *blk, int *flag) {
  if (__atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0) return;
  pthread_mutex_lock(&blk->mutex);
  pthread_cleanup_push(unlock_mutex, &blk->mutex);
  cancel_point_begin();
  while (__atomic_load_n(flag, __ATOMIC_ACQUIRE) == 0) pthread_cond_wait(&blk->cond, &blk->mutex);
  cancel_point_end();
  pthread_cleanup_pop(1);
}

// Waits for the worker's control block to be published by open.
thread_t *wait_for_block(WORD hidnum) {
  cancel_point_begin();
  while (sem_wait(&g_life[hidnum].start) != 0) {
  }
  cancel_point_end();
  return worker_block(hidnum);
}

// A worker that has stopped working stays until close cancels it.
[[noreturn]] void park() {
  cancel_point_begin();
  for (;;) pause();
}

int thread_config(thread_t *thread, int handle, int *flag, BOOL Flage) {
  if (handle == 0) return 0xFFFF;
  pthread_mutex_lock(&thread->mutex);
  if (Flage) {
    __atomic_store_n(flag, 1, __ATOMIC_RELEASE);
    const int rc = pthread_cond_broadcast(&thread->cond);
    pthread_mutex_unlock(&thread->mutex);
    return rc != 0 ? 0xFFFF : 0;
  }
  __atomic_store_n(flag, 0, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&thread->mutex);
  return 0;
}

}  // namespace

extern "C" {

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
  if (OpenDevicesAmount > CANFD_MAX_OPEN_DEVICES - 1) return CANFD_ERR_TOO_MANY_DEVICES;
  int num = 0;
  if (get_hidraw_num(i_wpid, i_wbid, &num) == -1) return CANFD_ERR_DEVICE_NOT_FOUND;
  *o_wDevice_id = static_cast<WORD>(num);
  // The scan accepts any hidraw number; only 0 to 127 have table entries.
  if (num < 0 || num >= CANFD_MAX_DEVICES) return CANFD_ERR_INVALID_INDEX;
  const WORD hidnum = static_cast<WORD>(num);
  if (device(hidnum) != nullptr) return CANFD_ERR_DEVICE_ALREADY_OPEN;

  char path[16];
  snprintf(path, sizeof path, "/dev/hidraw%d", num);
  const int fd = open(path, O_RDWR);
  if (fd < 0) {
    printf("Unable to open device\n");
    return 1;
  }
  auto *d = static_cast<PKALVEN_CANFD_CAN_Buf_St>(calloc(1, sizeof(KALVEN_CANFD_CAN_Buf_St)));
  if (d == nullptr) {
    perror("calloc");
    close(fd);
    return 5;
  }
  DeviceLife &life = g_life[hidnum];
  life_init(life);
  d->fd = fd;
  KALVEN_CANFD[hidnum].store(d, std::memory_order_release);
  CANBufStructInit(d);

  d->event_fd = eventfd(0, EFD_NONBLOCK);
  if (d->event_fd == -1) {
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
  sem_post(&life.start);
  sem_post(&life.start);

  BYTE request[CANFD_PACKET_MAX];
  BYTE response[CANFD_PACKET_MAX];
  const int len = PackReadPacket(0x0000, 0, nullptr, request);
  CANFD_Send_Recv(hidnum, request, static_cast<WORD>(len), response, 10);
  CANFD_Send_Recv(hidnum, request, static_cast<WORD>(len), response, 10);
  ++OpenDevicesAmount;
  return 0;
}

int CANFD_CloseDevice(WORD hidnum) {
  const int rc = USBDEV_CheckDeviceValid(hidnum);
  if (rc != 0) return rc;
  if (OpenDevicesAmount == 0) return CANFD_ERR_INVALID_INDEX;
  DeviceLife &life = g_life[hidnum];
  PKALVEN_CANFD_CAN_Buf_St d = device(hidnum);
  // New calls now fail; wake the receive waiters and wait for every call in
  // progress to leave before anything is released.
  life.closing.store(true, std::memory_order_seq_cst);
  for (BYTE port = 1; port <= 2; ++port) {
    Lock lock(rx_mutex(d, port));
    pthread_cond_broadcast(&life.rx_cond[port - 1]);
  }
  while (life.users.load(std::memory_order_seq_cst) != 0) sleep_us(100);
  release_device(hidnum);
  life.closing.store(false, std::memory_order_release);
  --OpenDevicesAmount;
  return 0;
}

// ---------------------------------------------------------------------------
// Receive worker: the only reader of the node. Files answers in the response
// slot and received frames in the receive ring of their port.
// ---------------------------------------------------------------------------

void USBDEV_TxRxThread(WORD hidnum) {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  DeviceLife &life = g_life[hidnum];
  PKALVEN_CANFD_CAN_Buf_St d = device(hidnum);
  thread_t *blk = wait_for_block(hidnum);
  BYTE report[CANFD_REPORT_SIZE];
  // An unplugged node fails or reads nothing at once: back off, up to 64 ms.
  long backoff_us = 0;
  while (__atomic_load_n(&d->IsDeviceOpen, __ATOMIC_ACQUIRE) != 0) {
    wait_enabled(blk, &blk->enable_rxthread);
    memset(report, 0, sizeof report);
    cancel_point_begin();
    const ssize_t n = read(d->fd, report, sizeof report);
    if (n <= 0) {
      backoff_us = backoff_us == 0 ? 1000 : (backoff_us < 64000 ? backoff_us * 2 : 64000);
      sleep_us(backoff_us);
    }
    cancel_point_end();
    if (n <= 0) continue;
    backoff_us = 0;
    const BYTE op = report[0];
    const WORD len = wire::get_le16(report + 4);
    if (op == CANFD_OP_DONE || op == CANFD_OP_FAIL) {
      // The slot holds 512 bytes; a longer length field is cut to it.
      size_t copy = static_cast<size_t>(len) + CANFD_HEADER_SIZE;
      if (copy > sizeof d->BUFF_RX_NormPkt) copy = sizeof d->BUFF_RX_NormPkt;
      memcpy(d->BUFF_RX_NormPkt, report, copy);
      __atomic_store_n(&d->m_byNormalPktArrive, 1, __ATOMIC_RELEASE);
    } else if (op == CANFD_OP_LARGE) {
      const WORD fc = wire::get_le16(report + 2);
      if (fc != 0x10 && fc != 0x11) continue;
      // A length field beyond what was read would copy stale bytes: drop.
      if (static_cast<ssize_t>(len) + CANFD_HEADER_SIZE > n) continue;
      const BYTE port = fc == 0x10 ? 1 : 2;
      Lock lock(rx_mutex(d, port));
      if (CANRxBufWriteN(d, port, report + CANFD_HEADER_SIZE, len) > 0)
        pthread_cond_broadcast(&life.rx_cond[port - 1]);
    }
  }
  park();
}

// ---------------------------------------------------------------------------
// Transmit report queue and worker: frame packets wait here as whole reports
// until the transmit worker, woken through the eventfd, writes them.
// ---------------------------------------------------------------------------

int USBDEV_TxBuf_EnQueue(WORD hidnum, BYTE *data, int datasize) {
  PKALVEN_CANFD_CAN_Buf_St d = device(hidnum);
  if (d->TxCnt + 1 > CANFD_TXQUEUE_SLOTS) return -1;
  BYTE *slot = d->TxBuf[d->TxIn % CANFD_TXQUEUE_SLOTS].data;
  memset(slot, 0, CANFD_REPORT_SIZE);
  if (datasize > 0) memcpy(slot + 1, data, static_cast<size_t>(datasize));
  d->TxIn = (d->TxIn + 1) % (CANFD_TXQUEUE_SLOTS * 1024);
  return ++d->TxCnt;
}

int USBDEV_TxBuf_DeQueue(WORD hidnum) {
  PKALVEN_CANFD_CAN_Buf_St d = device(hidnum);
  d->TxOut = (d->TxOut + 1) % (CANFD_TXQUEUE_SLOTS * 1024);
  return --d->TxCnt;
}

int USBDEV_TxBuf_QueueNum(PKALVEN_CANFD_CAN_Buf_St pCAN_FD) { return pCAN_FD->TxCnt; }

void USBDEV_Notify(PKALVEN_CANFD_CAN_Buf_St pCAN_FD) {
  const uint64_t one = 1;
  ssize_t ignored = write(pCAN_FD->event_fd, &one, sizeof one);
  (void)ignored;
}

int USBDEV_Write(WORD hidnum, BYTE *data, DWORD sz) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (sz > CANFD_PACKET_MAX) return CANFD_ERR_DATA_TOO_LONG;
  int rc;
  {
    Lock lock(&use.dev->mutex_USBDevTx);
    rc = USBDEV_TxBuf_EnQueue(hidnum, data, static_cast<int>(sz)) > 0 ? 0 : CANFD_ERR_TX_QUEUE_FULL;
  }
  USBDEV_Notify(use.dev);
  return rc;
}

void USBDEV_TxThread(WORD hidnum) {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  PKALVEN_CANFD_CAN_Buf_St d = device(hidnum);
  const int fd = d->fd;
  thread_t *blk = wait_for_block(hidnum);
  while (__atomic_load_n(&d->IsDeviceOpen, __ATOMIC_ACQUIRE) != 0) {
    wait_enabled(blk, &blk->enable_txthread);
    fd_set readfds;
    FD_ZERO(&readfds);
    FD_SET(d->event_fd, &readfds);
    cancel_point_begin();
    const int r = select(d->event_fd + 1, &readfds, nullptr, nullptr, nullptr);
    const int err = errno;
    cancel_point_end();
    if (r == -1) {
      if (err == EINTR) continue;  // a signal is no reason to stop sending
      errno = err;
      perror("select");
      break;
    }
    if (!FD_ISSET(d->event_fd, &readfds)) continue;
    uint64_t count;
    ssize_t ignored = read(d->event_fd, &count, sizeof count);
    (void)ignored;
    for (;;) {
      Lock lock(&d->mutex_USBDevTx);
      if (USBDEV_TxBuf_QueueNum(d) <= 0) break;
      if (write(fd, d->TxBuf[d->TxOut % CANFD_TXQUEUE_SLOTS].data, CANFD_REPORT_SIZE) < 0)
        __atomic_store_n(&d->LastError, static_cast<uint32_t>(CANFD_ERR_USB_WRITE),
                         __ATOMIC_RELEASE);
      USBDEV_TxBuf_DeQueue(hidnum);
    }
  }
  park();
}

// ---------------------------------------------------------------------------
// Command exchange: one request written straight to the node, its answer
// awaited in the response slot, polled once per millisecond.
// ---------------------------------------------------------------------------

int CANFD_Send_Recv(WORD hidnum, BYTE *i_bySend, WORD wData_Len, BYTE *o_byRecv, DWORD CmdTimeout) {
  const DWORD SendRecCmdTimeout = CmdTimeout * 1000;
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (wData_Len > CANFD_PACKET_MAX) return CANFD_ERR_DATA_TOO_LONG;
  PKALVEN_CANFD_CAN_Buf_St d = use.dev;
  Lock lock(&d->mutex_NormPkt);
  __atomic_store_n(&d->m_byNormalPktArrive, 0, __ATOMIC_RELEASE);
  BYTE report[CANFD_REPORT_SIZE] = {0};
  memcpy(report + 1, i_bySend, wData_Len);
  if (write(d->fd, report, sizeof report) < 0) return CANFD_ERR_USB_WRITE;
  const __tod_t dwStart = _time_get_tod();
  for (;;) {
    if (__atomic_load_n(&d->m_byNormalPktArrive, __ATOMIC_ACQUIRE) != 0) break;
    const __tod_t dwEnd = _time_get_tod();
    const uint64_t dwCalCommTimeout = dwEnd - dwStart;
    if (dwCalCommTimeout > static_cast<uint64_t>(SendRecCmdTimeout)) {
      if (__atomic_load_n(&d->m_byNormalPktArrive, __ATOMIC_ACQUIRE) != 0) break;
      return CANFD_ERR_CMD_TIMEOUT;
    }
    // A device being closed answers no more.
    if (closing(hidnum)) return CANFD_ERR_DEVICE_NOT_OPEN;
    delay_us(1000);
  }
  __atomic_store_n(&d->m_byNormalPktArrive, 0, __ATOMIC_RELEASE);
  size_t copy = static_cast<size_t>(wire::get_le16(d->BUFF_RX_NormPkt + 4)) + CANFD_HEADER_SIZE;
  if (copy > sizeof d->BUFF_RX_NormPkt) copy = sizeof d->BUFF_RX_NormPkt;
  memcpy(o_byRecv, d->BUFF_RX_NormPkt, copy);
  return 0;
}

}  // extern "C"

namespace {

constexpr DWORD kCmdTimeoutMs = 1000;
constexpr int kModule = -1;  // port argument of the module commands

// One command: the request and the argument checks that precede it.
struct Command {
  BYTE opcode;       // '$' read or '#' write
  BYTE number;       // module FC, or command number within the port's FC space
  const BYTE *data;  // request payload
  WORD len;
  int after_port;  // result of an argument check made after the port check
};

// Validates, builds the request, exchanges it and decodes a '!' answer.
// Returns 0, a result code, or the adapter's error code of a '?' answer.
// The answer buffer is cleared first, so a short answer reads missing bytes as 0.
template <class Decode>
int command(WORD hidnum, int port, const Command &c, Decode &&decode) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  WORD fc = c.number;
  if (port != kModule) {
    if (!valid_port(static_cast<BYTE>(port))) return CANFD_ERR_INVALID_PORT;
    fc = static_cast<WORD>(port << 8 | c.number);
  }
  if (c.after_port != 0) return c.after_port;
  BYTE send[CANFD_PACKET_MAX];
  BYTE recv[CANFD_PACKET_MAX] = {0};
  const int len = c.opcode == CANFD_OP_READ
                      ? PackReadPacket(fc, 0, nullptr, send)
                      : PackWritePacket(fc, c.len, const_cast<BYTE *>(c.data), send);
  const int rc = CANFD_Send_Recv(hidnum, send, static_cast<WORD>(len), recv, kCmdTimeoutMs);
  if (rc != 0) return rc;
  if (recv[0] != CANFD_OP_DONE) return recv[CANFD_HEADER_SIZE];
  decode(recv + CANFD_HEADER_SIZE);
  return 0;
}

auto no_answer = [](const BYTE *) {};

Command read_cmd(BYTE number) { return {CANFD_OP_READ, number, nullptr, 0, 0}; }

Command write_cmd(BYTE number, const BYTE *data, WORD len, int after_port = 0) {
  return {CANFD_OP_WRITE, number, data, len, after_port};
}

// Checks made before a call reads the caller's arrays or frame data: the
// device, then (for the list writes) the list size, then the port.
int pre_checks(WORD hidnum, BYTE port, bool size_ok = true) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!size_ok) return CANFD_ERR_INVALID_FILTER_SIZE;
  return valid_port(port) ? 0 : CANFD_ERR_INVALID_PORT;
}

// The two resets go out as bare 6-byte packets, unanswered.
int reset(WORD hidnum, WORD fc) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  BYTE send[CANFD_HEADER_SIZE];
  PackLargeDataPacket(fc, 0, nullptr, send);
  return write(use.dev->fd, send, sizeof send) == -1 ? CANFD_ERR_USB_WRITE : 0;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Module commands.
// ---------------------------------------------------------------------------

int CANFD_GetFwVer(WORD hidnum, WORD *o_wFwVer) {
  return command(hidnum, kModule, read_cmd(0x00),
                 [&](const BYTE *p) { *o_wFwVer = wire::get_le16(p); });
}

int CANFD_GetINITPinStatus(WORD hidnum, BYTE *o_byStatus) {
  return command(hidnum, kModule, read_cmd(0x01), [&](const BYTE *p) { *o_byStatus = p[0]; });
}

int CANFD_SetSN(WORD hidnum, DWORD i_dwSN) {
  BYTE data[4];
  wire::put_le32(data, i_dwSN);
  return command(hidnum, kModule, write_cmd(0x00, data, 4), no_answer);
}

int CANFD_SetLEDMode(WORD hidnum, BYTE i_byLEDMode) {
  return command(hidnum, kModule, write_cmd(0x01, &i_byLEDMode, 1), no_answer);
}

int CANFD_SetLEDState(WORD hidnum, BYTE i_byLEDState) {
  return command(hidnum, kModule, write_cmd(0x02, &i_byLEDState, 1), no_answer);
}

int CANFD_ResetModule(WORD hidnum) { return reset(hidnum, 0x00E0); }

int CANFD_ResetModuleWDT(WORD hidnum) { return reset(hidnum, 0x00E1); }

// ---------------------------------------------------------------------------
// Port mode, status and bit rates.
// ---------------------------------------------------------------------------

int CANFD_GetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD *o_wEnable, WORD *o_wBusMode,
                       WORD *o_wISOMode) {
  return command(hidnum, i_byCANPort, read_cmd(0x00), [&](const BYTE *p) {
    *o_wEnable = wire::get_le16(p);
    *o_wBusMode = wire::get_le16(p + 2);
    *o_wISOMode = wire::get_le16(p + 4);
  });
}

int CANFD_SetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD i_wEnable, WORD i_wBusMode,
                       WORD i_wISOMode) {
  BYTE data[6];
  wire::put_le16(data, i_wEnable);
  wire::put_le16(data + 2, i_wBusMode);
  wire::put_le16(data + 4, i_wISOMode);
  return command(hidnum, i_byCANPort, write_cmd(0x01, data, 6), no_answer);
}

int CANFD_GetCANStatus(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCANStatus, DWORD *o_dwErrCnt,
                       DWORD *o_dwBufStatus) {
  return command(hidnum, i_byCANPort, read_cmd(0x01), [&](const BYTE *p) {
    *o_dwCANStatus = wire::get_le32(p);
    *o_dwErrCnt = wire::get_le32(p + 4);
    *o_dwBufStatus = wire::get_le32(p + 8);
  });
}

int CANFD_GetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwArbitrBR, DWORD *o_dwDataBR,
                           WORD *o_wArbitrBRSP, WORD *o_wDataBRSP) {
  return command(hidnum, i_byCANPort, read_cmd(0x02), [&](const BYTE *p) {
    *o_dwArbitrBR = wire::get_le32(p);
    *o_dwDataBR = wire::get_le32(p + 4);
    *o_wArbitrBRSP = wire::get_le16(p + 8);
    *o_wDataBRSP = wire::get_le16(p + 10);
  });
}

int CANFD_SetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD i_dwArbitrBR, DWORD i_dwDataBR,
                           WORD i_wArbitrBRSP, WORD i_wDataBRSP) {
  BYTE data[12];
  wire::put_le32(data, i_dwArbitrBR);
  wire::put_le32(data + 4, i_dwDataBR);
  wire::put_le16(data + 8, i_wArbitrBRSP);
  wire::put_le16(data + 10, i_wDataBRSP);
  const bool bad = i_dwArbitrBR > i_dwDataBR || i_wArbitrBRSP > 10000;
  return command(hidnum, i_byCANPort, write_cmd(0x02, data, 12, bad ? CANFD_ERR_INVALID_PARAM : 0),
                 no_answer);
}

int CANFD_GetCANRxFramePerSec(WORD hidnum, BYTE i_byCANPort, WORD *o_wRxFPS) {
  return command(hidnum, i_byCANPort, read_cmd(0x08),
                 [&](const BYTE *p) { *o_wRxFPS = wire::get_le16(p); });
}

int CANFD_SetCANReInitialize(WORD hidnum, BYTE i_byCANPort) {
  return command(hidnum, i_byCANPort, write_cmd(0x00, nullptr, 0), no_answer);
}

// ---------------------------------------------------------------------------
// Acceptance filters: lists travel in two halves of 256 payload bytes, then
// (for writes) the list size.
// ---------------------------------------------------------------------------

int CANFD_GetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE *o_byRejectRFS,
                             BYTE *o_byRejectRFE, WORD *o_wSTDFIDListSize,
                             WORD *o_wEXTFIDListSize) {
  return command(hidnum, i_byCANPort, read_cmd(0x03), [&](const BYTE *p) {
    const DWORD gfc = wire::get_le32(p);
    *o_byRejectRFE = wire::gfc_reject_rfe(gfc);
    *o_byRejectRFS = wire::gfc_reject_rfs(gfc);
    *o_wSTDFIDListSize = wire::get_le16(p + 4);
    *o_wEXTFIDListSize = wire::get_le16(p + 6);
  });
}

int CANFD_SetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE i_byRejectRFS,
                             BYTE i_byRejectRFE) {
  BYTE data[4];
  wire::put_le32(data, wire::pack_gfc(i_byRejectRFS, i_byRejectRFE));
  return command(hidnum, i_byCANPort, write_cmd(0x03, data, 4), no_answer);
}

int CANFD_GetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD *o_wSTDFID1, WORD *o_wSTDFID2) {
  for (int half = 0; half < 2; ++half) {
    const int rc =
        command(hidnum, i_byCANPort, read_cmd(static_cast<BYTE>(0x04 + half)), [&](const BYTE *p) {
          for (int i = 0; i < 64; ++i) {
            const DWORD e = wire::get_le32(p + 4 * i);
            o_wSTDFID1[64 * half + i] = wire::std_element_id1(e);
            o_wSTDFID2[64 * half + i] = wire::std_element_id2(e);
          }
        });
    if (rc != 0) return rc;
  }
  return 0;
}

int CANFD_SetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wSTDFIDListSize, WORD *i_wSTDFID1,
                            WORD *i_wSTDFID2) {
  const int checks = pre_checks(hidnum, i_byCANPort, i_wSTDFIDListSize <= 128);
  if (checks != 0) return checks;
  WORD STDFID1[128] = {0};
  WORD STDFID2[128] = {0};
  for (int i = 0; i < i_wSTDFIDListSize; ++i) {
    STDFID1[i] = i_wSTDFID1[i];
    STDFID2[i] = i_wSTDFID2[i];
  }
  BYTE data[256];
  for (int half = 0; half < 2; ++half) {
    for (int i = 0; i < 64; ++i)
      wire::put_le32(data + 4 * i,
                     wire::pack_std_element(STDFID1[64 * half + i], STDFID2[64 * half + i]));
    const int rc = command(hidnum, i_byCANPort,
                           write_cmd(static_cast<BYTE>(0x06 + half), data, 256), no_answer);
    if (rc != 0) return rc;
  }
  wire::put_le16(data, i_wSTDFIDListSize);
  return command(hidnum, i_byCANPort, write_cmd(0x04, data, 2), no_answer);
}

int CANFD_GetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwEXTFID1, DWORD *o_dwEXTFID2) {
  for (int half = 0; half < 2; ++half) {
    const int rc =
        command(hidnum, i_byCANPort, read_cmd(static_cast<BYTE>(0x06 + half)), [&](const BYTE *p) {
          for (int i = 0; i < 32; ++i) {
            o_dwEXTFID1[32 * half + i] = wire::ext_element_id1(p + 8 * i);
            o_dwEXTFID2[32 * half + i] = wire::ext_element_id2(p + 8 * i);
          }
        });
    if (rc != 0) return rc;
  }
  return 0;
}

int CANFD_SetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wEXTFIDListSize,
                            DWORD *i_dwEXTFID1, DWORD *i_dwEXTFID2) {
  const int checks = pre_checks(hidnum, i_byCANPort, i_wEXTFIDListSize <= 64);
  if (checks != 0) return checks;
  DWORD EXTFID1[64] = {0};
  DWORD EXTFID2[64] = {0};
  for (int i = 0; i < i_wEXTFIDListSize; ++i) {
    EXTFID1[i] = i_dwEXTFID1[i];
    EXTFID2[i] = i_dwEXTFID2[i];
  }
  BYTE data[256];
  for (int half = 0; half < 2; ++half) {
    for (int i = 0; i < 32; ++i)
      wire::pack_ext_element(EXTFID1[32 * half + i], EXTFID2[32 * half + i], data + 8 * i);
    const int rc = command(hidnum, i_byCANPort,
                           write_cmd(static_cast<BYTE>(0x08 + half), data, 256), no_answer);
    if (rc != 0) return rc;
  }
  wire::put_le16(data, i_wEXTFIDListSize);
  return command(hidnum, i_byCANPort, write_cmd(0x05, data, 2), no_answer);
}

// ---------------------------------------------------------------------------
// Frame transmission and hardware periodic sending.
// ---------------------------------------------------------------------------

const BYTE CANFD_DLC2DBN[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

int CANFD_SetCANTxMsg(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode, DWORD i_dwID, BYTE i_byRTR,
                      BYTE i_byFDF, BYTE i_byDlen, BYTE *i_byData) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (i_byCANPort == 0 || i_byCANPort > 2) return CANFD_ERR_INVALID_PORT;
  BYTE record[wire::kTxRecordSize];
  wire::encode_tx_record({i_byMode, i_dwID, i_byRTR, i_byFDF, i_byDlen, i_byData},
                         wire::TxKind::Normal, record);
  PKALVEN_CANFD_CAN_Buf_St d = use.dev;
  int rc = 0;
  BYTE packet[CANFD_PACKET_MAX];
  int packet_len = 0;
  {
    Lock lock(tx_mutex(d, i_byCANPort));
    if (CANTxBufWriteN(d, i_byCANPort, record, sizeof record) < 0) rc = CANFD_ERR_TX_BUF_FULL;
    DWORD count = 0;
    CANTxBufDataCount(d, i_byCANPort, &count);
    if (count != 0) {
      BYTE payload[7 * wire::kTxRecordSize];
      const DWORD n = count < sizeof payload ? count : sizeof payload;
      CANTxBufReadN(d, i_byCANPort, payload, n);
      packet_len = PackLargeDataPacket(static_cast<WORD>(i_byCANPort - 1), static_cast<WORD>(n),
                                       payload, packet);
    }
  }
  int write_rc = 0;
  if (packet_len != 0) write_rc = USBDEV_Write(hidnum, packet, static_cast<DWORD>(packet_len));
  const int last = USBDEV_GetLastError(hidnum);
  if (last != 0) return last;
  // A packet the queue refused is lost: never report its frame as sent.
  if (write_rc == CANFD_ERR_TX_QUEUE_FULL) return write_rc;
  return rc;
}

int CANFD_SetCANHWSendMsg(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode, DWORD i_dwID, BYTE i_byRTR,
                          BYTE i_byFDF, BYTE i_byDlen, BYTE *i_byData, DWORD i_dwPeriod,
                          DWORD i_dwCounter) {
  const int checks = pre_checks(hidnum, i_byCANPort);
  if (checks != 0) return checks;
  BYTE record[wire::kHwRecordSize];
  wire::encode_tx_record({i_byMode, i_dwID, i_byRTR, i_byFDF, i_byDlen, i_byData},
                         wire::TxKind::HardwareSend, record);
  wire::put_le32(record + wire::kRecSecond, i_dwPeriod);
  wire::put_le32(record + wire::kRecUsecond, i_dwCounter);
  return command(hidnum, i_byCANPort, write_cmd(0x0B, record, sizeof record), no_answer);
}

int CANFD_SetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode) {
  const BYTE mode = i_byMode ? 1 : 0;
  return command(hidnum, i_byCANPort, write_cmd(0x0A, &mode, 1), no_answer);
}

int CANFD_GetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE *o_byMode) {
  return command(hidnum, i_byCANPort, read_cmd(0x09), [&](const BYTE *p) { *o_byMode = p[0]; });
}

int CANFD_ClearCANTxBuf(WORD hidnum, BYTE i_byCANPort) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  return CANTxBufClear(use.dev, i_byCANPort);
}

// ---------------------------------------------------------------------------
// Frame reception: taken from the receive rings, never from the adapter.
// ---------------------------------------------------------------------------

int CANFD_GetCANRxMsgCount(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCount) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  DWORD bytes = 0;
  {
    Lock lock(rx_mutex(use.dev, i_byCANPort));
    CANRxBufDataCount(use.dev, i_byCANPort, &bytes);
  }
  *o_dwCount = bytes / wire::kRxRecordSize;
  return 0;
}

int CANFD_GetCANRxMsg(WORD hidnum, BYTE i_byCANPort, BYTE *o_byType, BYTE *o_byMode, DWORD *o_dwID,
                      BYTE *o_byRTR, BYTE *o_byFDF, BYTE *o_byDlen, BYTE *o_byData,
                      DWORD *o_dw_TimeStamp_s, DWORD *o_dw_TimeStamp_us) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  BYTE record[wire::kRxRecordSize];
  int taken;
  {
    Lock lock(rx_mutex(use.dev, i_byCANPort));
    taken = CANRxBufReadN(use.dev, i_byCANPort, record, sizeof record);
  }
  if (taken != 0) return CANFD_ERR_RX_BUF_EMPTY;
  const wire::RxFields f = wire::decode_rx_record(record);
  *o_byType = f.type;
  *o_byMode = f.mode;
  *o_dwID = f.id;
  *o_byRTR = f.rtr;
  *o_byFDF = f.fdf;
  *o_byDlen = f.dlc;
  *o_dw_TimeStamp_s = f.second;
  *o_dw_TimeStamp_us = f.usecond;
  memcpy(o_byData, record + wire::kRecData, f.size);
  return 0;
}

int CANFD_ClearCANRxBuf(WORD hidnum, BYTE i_byCANPort) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  return CANRxBufClear(use.dev, i_byCANPort);
}

int CANFD_WaitCANRxMsg(WORD hidnum, BYTE i_byCANPort, DWORD i_dwTimeoutMs) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  DeviceLife &life = g_life[hidnum];
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(i_dwTimeoutMs / 1000);
  deadline.tv_nsec += static_cast<long>(i_dwTimeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_t *m = rx_mutex(use.dev, i_byCANPort);
  Lock lock(m);
  for (;;) {
    if (closing(hidnum)) return CANFD_ERR_DEVICE_NOT_OPEN;
    DWORD bytes = 0;
    CANRxBufDataCount(use.dev, i_byCANPort, &bytes);
    if (bytes >= wire::kRxRecordSize) return 0;
    if (pthread_cond_timedwait(&life.rx_cond[i_byCANPort - 1], m, &deadline) == ETIMEDOUT) {
      if (closing(hidnum)) return CANFD_ERR_DEVICE_NOT_OPEN;
      CANRxBufDataCount(use.dev, i_byCANPort, &bytes);
      return bytes >= wire::kRxRecordSize ? 0 : CANFD_ERR_RX_BUF_EMPTY;
    }
  }
}

}  // extern "C"
