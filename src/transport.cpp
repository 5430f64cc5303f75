// Transport: the node, the receive worker that files every input report, the
// transmit report queue and the transmit worker that writes it. Both workers
// wait on the node together with the device's stop event; an unplugged node
// marks the device gone.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "internal.h"

namespace canfd::core {

namespace w = wire;

bool gone_error(int err) {
  // hidraw refuses writes with ENODEV once its device is gone. Other write
  // errors (EPIPE from a stalled endpoint, EIO, ETIMEDOUT) leave it in place.
  return err == ENODEV;
}

int write_node(Device &d, const BYTE *buf, size_t len, int64_t deadline_ns, bool watch_stop) {
  const int fd = d.rec->fd;
  for (;;) {
    // Any count, a short one too, counts as sent: reports go out whole.
    if (write(fd, buf, len) >= 0) return 0;
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EAGAIN && err != EWOULDBLOCK) {
      if (gone_error(err)) mark_gone(d);
      errno = err;
      return -1;
    }
    int timeout_ms = -1;
    if (deadline_ns >= 0) {
      const int64_t left = deadline_ns - now_ns();
      if (left <= 0) {
        errno = ETIMEDOUT;
        return -1;
      }
      timeout_ms = static_cast<int>((left + 999999) / 1000000);
    }
    pollfd fds[2] = {{fd, POLLOUT, 0}, {d.stop_fd, POLLIN, 0}};
    if (poll(fds, watch_stop ? 2 : 1, timeout_ms) < 0 && errno != EINTR) return -1;
    if (watch_stop && fds[1].revents != 0) {
      errno = ECANCELED;
      return -1;
    }
  }
}

BYTE dispatch_report(Device &d, const BYTE *report, size_t n) {
  const BYTE op = report[w::kHdrOpcode];
  const WORD len = w::get_le16(report + w::kHdrLen);
  if (op == CANFD_OP_DONE || op == CANFD_OP_FAIL) {
    // The slot holds 512 bytes; a longer length field is cut to it.
    size_t copy = static_cast<size_t>(len) + CANFD_HEADER_SIZE;
    if (copy > sizeof d.rec->BUFF_RX_NormPkt) copy = sizeof d.rec->BUFF_RX_NormPkt;
    Lock lock(&d.answer_mu);
    if (!take_answer(d.answers, report, now_ns())) return 0;
    std::memcpy(d.rec->BUFF_RX_NormPkt, report, copy);
    __atomic_store_n(&d.rec->m_byNormalPktArrive, 1, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&d.answer_cond);
  } else if (op == CANFD_OP_LARGE) {
    const WORD code = w::get_le16(report + w::kHdrFc);
    if (code != w::fc::frames_from(1) && code != w::fc::frames_from(2)) return 0;
    // A length field beyond what was read would file stale bytes: drop.
    if (static_cast<size_t>(len) + CANFD_HEADER_SIZE > n) return 0;
    const BYTE port = code == w::fc::frames_from(1) ? 1 : 2;
    RxStream &stream = d.rx[port - 1];
    Lock lock(rx_mutex(d.rec, port));
    const bool stored = rx_store(d.rec, port, stream, report + CANFD_HEADER_SIZE, len);
    // Before anyone can take the records: they are dated with what their
    // own report taught of the adapter's clock.
    if (stream.newest_us >= 0) learn_clock(d, stream.newest_us);
    if (!stored) return 0;
    pthread_cond_broadcast(&d.rx_cond[port - 1]);
    rx_signal(d, port);
    return port;
  }
  return 0;
}

namespace {

// How long the receive worker stands aside after a caller read the node (a
// caller that waits again within it reads on), and how often it looks while
// a caller reads: after a caller stops, reports wait in the kernel for up to
// the latter (hidraw keeps 64, 8 ms at the high-speed report rate).
constexpr int64_t kCallerGraceNs = 2 * 1000000LL;
constexpr int64_t kStandAsideNs = 5 * 1000000LL;
// Reports a caller reads on, without polling, once its port has records:
// under a stream that is one system call per report.
constexpr int kReadAhead = 32;
// A poll that returns sooner found its report waiting: the stream is ahead
// of the caller, and more reports are likely to wait behind it. One that
// waited longer woke for a report that just came, most likely alone, and
// reading on would only find the node empty.
constexpr int64_t kWaitedNs = 20 * 1000LL;

enum class Read { report, none, gone };

// Reads one report from the node and files it; *port: the port whose ring
// received records, or 0. The caller holds read_mu.
Read read_report(Device &d, BYTE (&report)[CANFD_REPORT_SIZE], BYTE *port) {
  for (;;) {
    const ssize_t n = read(d.rec->fd, report, sizeof report);
    if (n > 0) {
      // Bytes a short report did not fill read as zero.
      std::memset(report + n, 0, sizeof report - static_cast<size_t>(n));
      *port = dispatch_report(d, report, static_cast<size_t>(n));
      return Read::report;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::none;
    // End of stream (the sandbox), EIO (hidraw) or another error: the
    // adapter is gone, and this node will never deliver again. Tell every
    // waiter.
    mark_gone(d);
    return Read::gone;
  }
}

}  // namespace

bool read_while_waiting(Device &d, BYTE port, int64_t deadline_ns) {
  thread_t *blk = worker_block(d.hidnum);
  if (blk == nullptr || __atomic_load_n(&blk->enable_rxthread, __ATOMIC_ACQUIRE) == 0) return false;
  int64_t until = d.caller_reads_until_ns.load(std::memory_order_acquire);
  do {
    if (until == INT64_MAX) return false;  // another caller reads
  } while (
      !d.caller_reads_until_ns.compare_exchange_weak(until, INT64_MAX, std::memory_order_acq_rel));
  // The worker may be in the middle of its reads: they come first, and
  // may have brought what the caller waits for. From here on only this
  // thread files reports.
  Lock lock(&d.read_mu);
  bool done;
  if (port == 0) {
    done = __atomic_load_n(&d.rec->m_byNormalPktArrive, __ATOMIC_ACQUIRE) != 0;
  } else {
    Lock rx(rx_mutex(d.rec, port));
    DWORD bytes = 0;
    CANRxBufDataCount(d.rec, port, &bytes);
    done = bytes >= w::kRxRecordSize;
  }
  BYTE report[CANFD_REPORT_SIZE];
  while (!done) {
    if (is_gone(d) || d.stopping.load(std::memory_order_acquire)) break;
    const int64_t before = now_ns();
    const int64_t left = deadline_ns - before;
    if (left <= 0) break;
    pollfd fds[2] = {{d.rec->fd, POLLIN, 0}, {d.stop_fd, POLLIN, 0}};
    const int r = poll(fds, 2, static_cast<int>((left + 999999) / 1000000));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0 || fds[1].revents != 0) continue;
    const bool waited = now_ns() - before >= kWaitedNs;
    BYTE stored = 0;
    Read got = read_report(d, report, &stored);
    if (got == Read::gone) break;
    if (port == 0) {
      if (__atomic_load_n(&d.rec->m_byNormalPktArrive, __ATOMIC_ACQUIRE) != 0) break;
      continue;
    }
    if (stored != port) continue;
    for (int more = 0; !waited && more < kReadAhead && got == Read::report; ++more)
      got = read_report(d, report, &stored);
    break;
  }
  d.caller_reads_until_ns.store(now_ns() + kCallerGraceNs, std::memory_order_release);
  return true;
}

void receive_worker(Device &d) {
  thread_t *blk = wait_for_block(d);
  if (blk == nullptr) return;
  const int fd = d.rec->fd;
  BYTE report[CANFD_REPORT_SIZE];
  while (wait_enabled(d, blk, &blk->enable_rxthread)) {
    // While a caller reads the node, watch only the stop event, and look
    // again when the caller's time is up.
    const int64_t until = d.caller_reads_until_ns.load(std::memory_order_acquire);
    const int64_t now = now_ns();
    const bool aside = until > now;
    const int aside_ms =
        static_cast<int>(((until == INT64_MAX ? kStandAsideNs : until - now) + 999999) / 1000000);
    pollfd fds[2] = {{d.stop_fd, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(fds, aside ? 1 : 2, aside ? aside_ms : -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (aside || fds[1].revents == 0) continue;
    // A caller that took over meanwhile reads this report.
    if (pthread_mutex_trylock(&d.read_mu) != 0) continue;
    // Take every report that waits before polling again (under a stream of
    // frames that is one system call per report), unless a caller waits to
    // take over.
    Read got;
    BYTE port;
    while ((got = read_report(d, report, &port)) == Read::report &&
           !d.stopping.load(std::memory_order_relaxed) &&
           d.caller_reads_until_ns.load(std::memory_order_relaxed) != INT64_MAX) {
    }
    pthread_mutex_unlock(&d.read_mu);
    if (got == Read::gone) return;
  }
}

void make_report(BYTE *report, const BYTE *packet, size_t len) {
  std::memset(report, 0, CANFD_REPORT_SIZE);
  if (len > 0) std::memcpy(report + 1, packet, len);
}

namespace {

// Writes one report taken from the queue. Once close has fired the stop
// event, the report still goes out if the adapter takes it before the drain
// time is up.
void send_report(Device &d, const BYTE *report, bool draining) {
  const int64_t drain_until = d.drain_until_ns.load(std::memory_order_acquire);
  int r = write_node(d, report, CANFD_REPORT_SIZE, draining ? drain_until : -1, !draining);
  if (r < 0 && errno == ECANCELED)
    r = write_node(d, report, CANFD_REPORT_SIZE, d.drain_until_ns.load(), false);
  if (r < 0 && errno != ETIMEDOUT)
    __atomic_store_n(&d.rec->LastError, static_cast<uint32_t>(CANFD_ERR_USB_WRITE),
                     __ATOMIC_RELEASE);
}

}  // namespace

void transmit_worker(Device &d) {
  thread_t *blk = wait_for_block(d);
  if (blk == nullptr) return;
  PKALVEN_CANFD_CAN_Buf_St rec = d.rec;
  BYTE report[CANFD_REPORT_SIZE];
  bool stopping = false;
  for (;;) {
    if (!stopping && !wait_enabled(d, blk, &blk->enable_txthread)) stopping = true;
    bool have = false;
    {
      // The report is copied out under the lock and written outside it, so
      // that a stalled adapter never holds up a sender.
      Lock lock(&rec->mutex_USBDevTx);
      if (d.tx_writing) {
        // A sender writes its report itself: it wakes this worker when it
        // is done if reports wait.
      } else if (USBDEV_TxBuf_QueueNum(rec) > 0) {
        d.tx_writing = true;
        std::memcpy(report, rec->TxBuf[rec->TxOut % CANFD_TXQUEUE_SLOTS].data, sizeof report);
        USBDEV_TxBuf_DeQueue(d.hidnum);
        // Senders waiting for room are woken once half the queue is free,
        // to refill it in one go: woken per report, they and this worker
        // would take turns on the CPU for every report.
        if (d.tx_waiters > 0 && USBDEV_TxBuf_QueueNum(rec) <= CANFD_TXQUEUE_SLOTS / 2)
          pthread_cond_broadcast(&d.tx_room);
        have = true;
      } else if (d.stopping.load(std::memory_order_acquire)) {
        break;  // everything accepted has been written
      }
    }
    if (have) {
      send_report(d, report, stopping);
      Lock lock(&rec->mutex_USBDevTx);
      d.tx_writing = false;
      continue;
    }
    pollfd fds[2] = {{rec->event_fd, POLLIN, 0}, {d.stop_fd, POLLIN, 0}};
    if (poll(fds, stopping ? 1 : 2, -1) < 0) continue;  // EINTR: a signal is no reason to stop
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      if (read(rec->event_fd, &count, sizeof count) < 0) {
        // Already reset by an earlier read: nothing to do.
      }
    }
    if (fds[1].revents != 0) stopping = true;
  }
}

namespace {

// With the queue empty and no report being written, a sender writes its
// report itself, without blocking: no copy into the queue and out, no
// worker to wake. Returns true when the report was written (or the device
// found gone: *rc); false when it goes through the queue after all (the
// node had no room, or the write failed: the worker's write then reports
// it as it reports its own). The caller holds no lock.
bool write_directly(Device &d, const BYTE *packet, DWORD len, int *rc) {
  PKALVEN_CANFD_CAN_Buf_St rec = d.rec;
  {
    Lock lock(&rec->mutex_USBDevTx);
    if (d.tx_writing || USBDEV_TxBuf_QueueNum(rec) > 0 || is_closing(d) ||
        d.stopping.load(std::memory_order_acquire) || is_gone(d))
      return false;
    d.tx_writing = true;
  }
  BYTE report[CANFD_REPORT_SIZE];
  make_report(report, packet, len);
  // A deadline of now: a node without room fails at once with ETIMEDOUT.
  const bool written = write_node(d, report, sizeof report, now_ns(), false) == 0;
  bool wake;
  {
    Lock lock(&rec->mutex_USBDevTx);
    d.tx_writing = false;
    // The worker left reports queued meanwhile, and its exit at close, to
    // after this write: it waits for this wake.
    wake = USBDEV_TxBuf_QueueNum(rec) > 0 || d.stopping.load(std::memory_order_acquire);
  }
  if (wake) USBDEV_Notify(rec);
  if (written) return true;
  if (is_gone(d)) {
    *rc = CANFD_ERR_DEVICE_GONE;
    return true;
  }
  return false;
}

}  // namespace

int enqueue_report(Device &d, const BYTE *packet, DWORD len, int64_t deadline_ns) {
  int rc = 0;
  if (write_directly(d, packet, len, &rc)) return rc;
  PKALVEN_CANFD_CAN_Buf_St rec = d.rec;
  bool wake = false;
  {
    Lock lock(&rec->mutex_USBDevTx);
    for (bool waited = false;; waited = true) {
      if (is_closing(d) || d.stopping.load(std::memory_order_acquire)) {
        rc = CANFD_ERR_DEVICE_NOT_OPEN;
        break;
      }
      if (is_gone(d)) {
        rc = CANFD_ERR_DEVICE_GONE;
        break;
      }
      if (USBDEV_TxBuf_QueueNum(rec) < CANFD_TXQUEUE_SLOTS) {
        // The worker empties the queue before it sleeps (unless a sender
        // writes, which wakes it after): it needs waking only for the first
        // report of an empty queue.
        wake =
            USBDEV_TxBuf_EnQueue(d.hidnum, const_cast<BYTE *>(packet), static_cast<int>(len)) == 1;
        break;
      }
      if (waited && now_ns() >= deadline_ns) {
        rc = CANFD_ERR_TX_QUEUE_FULL;
        break;
      }
      ++d.tx_waiters;
      wait_until(&d.tx_room, &rec->mutex_USBDevTx, deadline_ns);
      --d.tx_waiters;
    }
  }
  if (wake) USBDEV_Notify(rec);
  return rc;
}

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

void USBDEV_TxRxThread(WORD hidnum) { receive_worker(*device_of(hidnum)); }

void USBDEV_TxThread(WORD hidnum) { transmit_worker(*device_of(hidnum)); }

int USBDEV_TxBuf_EnQueue(WORD hidnum, BYTE *data, int datasize) {
  PKALVEN_CANFD_CAN_Buf_St d = record(hidnum);
  if (d->TxCnt + 1 > CANFD_TXQUEUE_SLOTS) return -1;
  make_report(d->TxBuf[d->TxIn % CANFD_TXQUEUE_SLOTS].data, data,
              datasize > 0 ? static_cast<size_t>(datasize) : 0);
  d->TxIn = (d->TxIn + 1) % (CANFD_TXQUEUE_SLOTS * 1024);
  return ++d->TxCnt;
}

int USBDEV_TxBuf_DeQueue(WORD hidnum) {
  PKALVEN_CANFD_CAN_Buf_St d = record(hidnum);
  d->TxOut = (d->TxOut + 1) % (CANFD_TXQUEUE_SLOTS * 1024);
  return --d->TxCnt;
}

int USBDEV_TxBuf_QueueNum(PKALVEN_CANFD_CAN_Buf_St pCAN_FD) { return pCAN_FD->TxCnt; }

void USBDEV_Notify(PKALVEN_CANFD_CAN_Buf_St pCAN_FD) {
  const uint64_t one = 1;
  if (write(pCAN_FD->event_fd, &one, sizeof one) < 0) {
    // The counter is already far from overflow; nothing to report.
  }
}

int USBDEV_Write(WORD hidnum, BYTE *data, DWORD sz) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (sz > CANFD_PACKET_MAX) return CANFD_ERR_DATA_TOO_LONG;
  Device &d = *use.dev;
  if (is_gone(d)) return CANFD_ERR_DEVICE_GONE;
  int rc;
  {
    Lock lock(&d.rec->mutex_USBDevTx);
    // Once close has told the transmit worker to stop, nothing more is
    // accepted: what is accepted is written.
    if (d.stopping.load(std::memory_order_acquire))
      rc = CANFD_ERR_DEVICE_NOT_OPEN;
    else
      rc = USBDEV_TxBuf_EnQueue(hidnum, data, static_cast<int>(sz)) > 0 ? 0
                                                                        : CANFD_ERR_TX_QUEUE_FULL;
  }
  // A refused frame packet is lost: count it for its port.
  if (rc == CANFD_ERR_TX_QUEUE_FULL && sz >= CANFD_HEADER_SIZE &&
      data[w::kHdrOpcode] == CANFD_OP_LARGE) {
    const WORD code = w::get_le16(data + w::kHdrFc);
    if (code == w::fc::frames_to(1) || code == w::fc::frames_to(2))
      d.tx_refused[code - w::fc::kFramesToPort1].fetch_add(1, std::memory_order_relaxed);
  }
  USBDEV_Notify(d.rec);
  return rc;
}

}  // extern "C"
