// Transport: the node, the reader that files every input report, the writer
// that writes urgent writes and the transmit report queue, and the queue
// itself. Both workers wait on the node (or their event_fd) together with
// the device's stop event; an unplugged node marks the device gone. The
// protocols are described at the top of internal.h.
#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
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

void make_report(BYTE *report, const BYTE *packet, size_t len) {
  std::memset(report, 0, CANFD_REPORT_SIZE);
  if (len > 0) std::memcpy(report + 1, packet, len);
}

namespace {

// Files a frame packet's payload into its port's ring, each record stamped
// with its host time as the report that brought it teaches the adapter's
// clock.
void file_frames(Device &d, Port &p, const BYTE *payload, WORD len, int64_t arrival_us)
    REQUIRES(p.rx_mu) {
  const Ring ring = rx_ring(d.rec, p.number);
  const DWORD first = *ring.end / w::kRxRecordSize;
  const DWORD before = *ring.count;
  rx_store(ring, p.rx, payload, len);
  if (p.rx.newest_us >= 0) clock_learn(d.clock, p.rx.newest_us, arrival_us);
  const DWORD stored = (*ring.count - before) / w::kRxRecordSize;
  if (stored == 0) return;
  stamp_records(p, ring, first, stored, d.clock);
  p.to_wake = true;
}

void file_staged_frames(Device &d, Port &p) REQUIRES(p.rx_mu) {
  for (int i = 0; i < p.staged_count; ++i)
    file_frames(d, p, p.staged[i].bytes, p.staged[i].len, p.staged[i].arrival_us);
  p.staged_count = 0;
}

// An answer packet (len bytes of it, at most the slot's 512) for the waiting
// command, if it is its answer.
void file_answer(Device &d, const BYTE *pkt, size_t len) REQUIRES(d.answer_mu) {
  const bool arrived = __atomic_load_n(&d.rec->m_byNormalPktArrive, __ATOMIC_RELAXED) != 0;
  if (!take_answer(d.answers, pkt, arrived, now_ns())) return;
  std::memcpy(d.rec->BUFF_RX_NormPkt, pkt, len);
  __atomic_store_n(&d.rec->m_byNormalPktArrive, 1, __ATOMIC_RELEASE);
  pthread_cond_broadcast(&d.answer_cond);
}

void file_staged_answers(Device &d) REQUIRES(d.answer_mu) {
  for (int i = 0; i < d.staged_answer_count; ++i)
    file_answer(d, d.staged_answers[i].bytes, d.staged_answers[i].len);
  d.staged_answer_count = 0;
}

void stage(Staged &s, const BYTE *bytes, size_t len, int64_t arrival_us) {
  s.arrival_us = arrival_us;
  s.len = static_cast<WORD>(len);
  std::memcpy(s.bytes, bytes, len);
}

}  // namespace

BYTE dispatch_report(Device &d, const BYTE *report, size_t n, int64_t arrival_us) {
  const BYTE op = report[w::kHdrOpcode];
  const WORD len = w::get_le16(report + w::kHdrLen);
  if (op == CANFD_OP_DONE || op == CANFD_OP_FAIL) {
    // The slot holds 512 bytes; a longer length field is cut to it.
    size_t copy = static_cast<size_t>(len) + CANFD_HEADER_SIZE;
    if (copy > sizeof d.rec->BUFF_RX_NormPkt) copy = sizeof d.rec->BUFF_RX_NormPkt;
    if (d.staged_answer_count == 0 && d.answer_mu.try_lock()) {
      file_answer(d, report, copy);
      d.answer_mu.unlock();
    } else if (d.staged_answer_count == Device::kStagedAnswers) {
      // The command thread holds the lock for long: wait for it now.
      Lock lock(d.answer_mu);
      file_staged_answers(d);
      file_answer(d, report, copy);
    } else {
      stage(d.staged_answers[d.staged_answer_count++], report, copy, arrival_us);
    }
  } else if (op == CANFD_OP_LARGE) {
    const WORD code = w::get_le16(report + w::kHdrFc);
    if (code != w::fc::frames_from(1) && code != w::fc::frames_from(2)) return 0;
    // A length field beyond what was read would file stale bytes: drop.
    if (static_cast<size_t>(len) + CANFD_HEADER_SIZE > n) return 0;
    const BYTE port = code == w::fc::frames_from(1) ? 1 : 2;
    Port &p = port_of(d, port);
    const BYTE *payload = report + CANFD_HEADER_SIZE;
    if (p.staged_count == 0 && p.rx_mu.try_lock()) {
      file_frames(d, p, payload, len, arrival_us);
      p.rx_mu.unlock();
    } else if (p.staged_count == Port::kStaged) {
      // A caller holds the lock for long: wait for it now.
      Lock lock(p.rx_mu);
      file_staged_frames(d, p);
      file_frames(d, p, payload, len, arrival_us);
    } else {
      stage(p.staged[p.staged_count++], payload, len, arrival_us);
    }
    return port;
  }
  return 0;
}

bool rx_flush(Device &d, BYTE port) {
  Port &p = port_of(d, port);
  if (!p.to_wake && p.staged_count == 0) return false;
  if (!p.rx_mu.try_lock()) return true;
  file_staged_frames(d, p);
  if (p.to_wake) {
    pthread_cond_broadcast(&p.rx_cond);
    // A caller may have taken the records since they were filed.
    if (p.fd_given && rx_ready(d, p)) rx_signal(p);
    p.to_wake = false;
  }
  p.rx_mu.unlock();
  return false;
}

bool answers_flush(Device &d) {
  if (d.staged_answer_count == 0) return false;
  if (!d.answer_mu.try_lock()) return true;
  file_staged_answers(d);
  d.answer_mu.unlock();
  return false;
}

namespace {

// While reports come more often than this, the reader lets the next few
// gather before it reads again: one wake-up of the reader and of each
// consumer per few reports instead of per report. It waits as long as
// kGatherReports take at the rate they came at (0.5 ms at the full USB rate
// of 8000 reports/s), at most kCoalesceNs: at 2000 reports/s two reports
// per wake-up instead of one, and the node never left unread much beyond
// 1 ms. The kernel keeps 64 reports per opener, 8 ms at the full USB rate.
constexpr int64_t kBusyNs = 1000 * 1000LL;
constexpr int64_t kCoalesceNs = 800 * 1000LL;
constexpr int64_t kGatherReports = 4;
// A write that has not returned after this long is stuck on an adapter that
// takes no reports (a hidraw write gives up after 5 s); one that returns
// sooner was only slow.
constexpr int64_t kStuckNs = 100 * 1000000LL;
// Reports filed before the consumers are woken, at most.
constexpr int kMaxBatch = 64;
// How long a failed write waits for its node to say the device is gone.
constexpr int64_t kUnplugNs = 300 * 1000000LL;
// How soon the reader looks again for a lock a caller holds.
constexpr int64_t kRetryNs = 200 * 1000LL;
// How long the writer waits before it tries again a node that refused a
// write for want of room (a node that does not block writes).
constexpr int kRetryMs = 2;

// A thread's scheduling attributes as sched_getattr(2) and sched_setattr(2)
// take them (the record's first version).
struct SchedAttr {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime;  // under the normal policy: the thread's time slice
  uint64_t deadline;
  uint64_t period;
};
constexpr uint64_t kReaderSliceNs = 100 * 1000;
// The reader leaves the short slice when frame reports come more than this
// apart, or when the node has been quiet for kQuietMs.
constexpr int64_t kStreamEndNs = 2 * 1000 * 1000LL;
constexpr int kQuietMs = 10;

// While frame reports stream in, the reader asks for the fair scheduler's
// shortest time slice (Linux 6.12 and later; unprivileged): woken by a
// report, it then goes before threads that have run for a while instead of
// waiting out their slices. With two threads spinning on two CPUs, the
// median over a dozen runs of its p99 gap in reading the node halved (from
// 2.7 to 1.25 ms, and from 1.7 to 0.7 ms with a nice-19 taker and commands).
// Between lone reports it keeps the default slice (a runtime of 0): with
// the shortest one, a report took twice as long to reach a blocked receive
// on the same machine (85-100 against 37-55 us). The policy and nice level
// the thread has are kept; a policy other than the normal one is left
// alone; older kernels ignore the slice.
void ask_for_slice(bool short_slice) {
#if defined(SYS_sched_getattr) && defined(SYS_sched_setattr)
  SchedAttr a{};
  if (syscall(SYS_sched_getattr, 0, &a, sizeof a, 0) != 0 || a.policy != SCHED_OTHER) return;
  a.size = sizeof a;
  a.flags = 0;
  a.runtime = short_slice ? kReaderSliceNs : 0;
  if (syscall(SYS_sched_setattr, 0, &a, 0) != 0) {
    // A kernel or a sandbox that refuses it: the slice it had.
  }
#endif
}

enum class Read { report, none, gone };

// Reads one report from the node and files it; *port: the port whose ring
// received records, or 0. The reader only.
Read read_report(Device &d, BYTE (&report)[CANFD_REPORT_SIZE], BYTE *port) {
  for (;;) {
    const ssize_t n = read(d.rec->fd, report, sizeof report);
    if (n > 0) {
      // Bytes a short report did not fill read as zero.
      std::memset(report + n, 0, sizeof report - static_cast<size_t>(n));
      *port = dispatch_report(d, report, static_cast<size_t>(n), now_ns() / 1000);
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

void receive_worker(Device &d) {
  thread_t *blk = wait_for_block(d);
  if (blk == nullptr) return;
  const int fd = d.rec->fd;
  BYTE report[CANFD_REPORT_SIZE];
  int64_t last_batch = INT64_MIN / 2;  // when the last batch with reports began
  int64_t last_read = now_ns();        // when the node was last read empty
  int64_t gather_ns = 0;
  bool pending = false;                 // staged reports or waiters to wake, a lock being held
  int64_t last_frames = INT64_MIN / 2;  // when the last batch with frames began
  bool short_slice = false;
  while (wait_enabled(d, blk, &blk->enable_rxthread)) {
    pollfd fds[2] = {{d.stop_fd, POLLIN, 0}, {fd, POLLIN, 0}};
    if (gather_ns > 0 || pending) {
      // Let the next reports gather (the node is not watched), or look again
      // soon for the lock that a caller holds; the stop event ends the wait
      // at once.
      const timespec ts = to_timespec(gather_ns > 0 ? gather_ns : kRetryNs);
      if (ppoll(fds, gather_ns > 0 ? 1 : 2, &ts, nullptr) < 0 && errno != EINTR) break;
    } else {
      const int n = poll(fds, 2, short_slice ? kQuietMs : -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (n == 0) {
        short_slice = false;
        ask_for_slice(false);
        continue;
      }
    }
    if (fds[0].revents != 0) break;
    const int64_t begin = now_ns();
    int reports = 0, frame_reports = 0;
    Read got = Read::none;
    BYTE port = 0;
    while (reports < kMaxBatch && (got = read_report(d, report, &port)) == Read::report) {
      ++reports;
      if (port != 0) ++frame_reports;
    }
    // Each port's waiters are woken once per batch.
    pending = rx_flush(d, 1);
    pending = rx_flush(d, 2) || pending;
    pending = answers_flush(d) || pending;
    if (got == Read::gone) return;
    // Reports keep coming: wait for the next few to gather (kGatherReports
    // at the rate they came at, at most kCoalesceNs); at once when the
    // batch was cut short.
    gather_ns = 0;
    if (reports > 0 && got == Read::none && begin - last_batch < kBusyNs &&
        d.commands_waiting.load(std::memory_order_acquire) == 0) {
      const int64_t per_report = (begin - last_read) / reports;
      gather_ns =
          per_report * kGatherReports < kCoalesceNs ? per_report * kGatherReports : kCoalesceNs;
    }
    if (frame_reports > 0) {
      // Into the short slice as a stream starts (a report within kBusyNs of
      // the last, or several at once), out of it as the stream ends.
      const int64_t since = begin - last_frames;
      const bool stream = since < kBusyNs || frame_reports > 1;
      const bool ended = since >= kStreamEndNs && frame_reports == 1;
      if (short_slice ? ended : stream) {
        short_slice = !short_slice;
        ask_for_slice(short_slice);
      }
      last_frames = begin;
    }
    if (reports > 0) last_batch = begin;
    if (got == Read::none) last_read = now_ns();
  }
}

// ---- The writer ------------------------------------------------------------------

int queue_push(PKALVEN_CANFD_CAN_Buf_St rec, const BYTE *packet, size_t len) {
  make_report(rec->TxBuf[rec->TxIn % CANFD_TXQUEUE_SLOTS].data, packet, len);
  rec->TxIn = (rec->TxIn + 1) % (CANFD_TXQUEUE_SLOTS * 1024);
  return ++rec->TxCnt;
}

void count_lost(Device &d, const BYTE *packet, size_t len) {
  const BYTE port = frames_out(packet, len);
  if (port == 0) return;
  // The records the packet carries, as far as its length field and its
  // bytes agree.
  size_t payload = w::get_le16(packet + w::kHdrLen);
  if (payload > len - CANFD_HEADER_SIZE) payload = len - CANFD_HEADER_SIZE;
  const DWORD frames = static_cast<DWORD>(payload / w::kTxRecordSize);
  port_of(d, port).tx_refused.fetch_add(frames, std::memory_order_relaxed);
}

namespace {

// The port of a frame packet whose records may be put together with others
// (one to seven whole records), or 0.
BYTE packable(const BYTE *packet, size_t len) {
  const BYTE port = frames_out(packet, len);
  const size_t has = w::get_le16(packet + w::kHdrLen);
  if (port == 0 || has == 0 || has % w::kTxRecordSize != 0 ||
      has > w::kTxRecordsPerPacket * w::kTxRecordSize)
    return 0;
  return port;
}

// Appends the records of packet src to packet dst if they fit in one.
bool append_records(BYTE *dst, const BYTE *src) {
  const size_t has = w::get_le16(dst + w::kHdrLen), add = w::get_le16(src + w::kHdrLen);
  if (has + add > w::kTxRecordsPerPacket * w::kTxRecordSize) return false;
  std::memcpy(dst + CANFD_HEADER_SIZE + has, src + CANFD_HEADER_SIZE, add);
  w::put_le16(dst + w::kHdrLen, static_cast<WORD>(has + add));
  return true;
}

BYTE *queued_packet(PKALVEN_CANFD_CAN_Buf_St rec, int i) {
  return rec->TxBuf[(rec->TxOut + i) % CANFD_TXQUEUE_SLOTS].data + 1;
}

// For a full queue, so that a sender that outpaces the USB fills the reports
// that wait instead of being refused (seven records a report). A frame's
// records go only where no frame of its port, and no packet that is not a
// frame packet, would change places with them; the other port's reports
// may be passed over.
//
// queue_join adds a frame packet to the newest queued report of its port.
bool queue_join(PKALVEN_CANFD_CAN_Buf_St rec, const BYTE *packet, size_t len) {
  const BYTE port = packable(packet, len);
  if (port == 0) return false;
  for (int i = USBDEV_TxBuf_QueueNum(rec) - 1; i >= 0; --i) {
    BYTE *queued = queued_packet(rec, i);
    const BYTE other = packable(queued, CANFD_PACKET_MAX);
    if (other == 0) return false;
    if (other == port) return append_records(queued, packet);
  }
  return false;
}

// queue_pack puts each queued frame report into the one before it of its
// port where the records fit, and returns whether slots came free.
bool queue_pack(PKALVEN_CANFD_CAN_Buf_St rec) {
  const int n = USBDEV_TxBuf_QueueNum(rec);
  int kept = 0;
  int into[3] = {-1, -1, -1};  // per port: the kept report its next records may join
  for (int i = 0; i < n; ++i) {
    BYTE *packet = queued_packet(rec, i);
    const BYTE port = packable(packet, CANFD_PACKET_MAX);
    if (port != 0 && into[port] >= 0 && append_records(queued_packet(rec, into[port]), packet))
      continue;
    if (port == 0) into[1] = into[2] = -1;
    if (kept != i) std::memcpy(queued_packet(rec, kept), packet, CANFD_PACKET_MAX);
    if (port != 0) into[port] = kept;
    ++kept;
  }
  rec->TxIn = (rec->TxOut + kept) % (CANFD_TXQUEUE_SLOTS * 1024);
  rec->TxCnt = kept;
  return kept < n;
}

}  // namespace

int queue_pop(PKALVEN_CANFD_CAN_Buf_St rec) {
  rec->TxOut = (rec->TxOut + 1) % (CANFD_TXQUEUE_SLOTS * 1024);
  return --rec->TxCnt;
}

void wake_writer(Device &d) {
  if (!d.writer_idle) return;
  d.writer_idle = false;
  USBDEV_Notify(d.rec);
}

void queue_urgent(Device &d, Urgent &u) {
  u.state = Urgent::kQueued;
  u.next = nullptr;
  Urgent **tail = &d.urgent;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = &u;
  wake_writer(d);
}

bool adopt_urgent(Device &d, Urgent &u) {
  if (u.state != Urgent::kQueued) return true;
  if (d.writing && now_ns() - d.write_began_ns > kStuckNs) return false;
  int k = 0;
  while (k < Device::kAdopted && d.adopted_used[k]) ++k;
  if (k == Device::kAdopted) return false;
  std::memcpy(d.adopted_report[k], u.bytes, u.len);
  d.adopted[k] = u;
  d.adopted[k].bytes = d.adopted_report[k];
  d.adopted_used[k] = true;
  for (Urgent **p = &d.urgent; *p != nullptr; p = &(*p)->next) {
    if (*p == &u) {
      *p = &d.adopted[k];
      break;
    }
  }
  return true;
}

void unlink_urgent(Device &d, Urgent &u) {
  for (Urgent **p = &d.urgent; *p != nullptr; p = &(*p)->next) {
    if (*p == &u) {
      *p = u.next;
      return;
    }
  }
}

namespace {

// Writes one report: 0, or the errno of the failed write. A node that
// refuses for want of room instead of blocking is tried again until it
// takes the report, or the drain time of close is up.
int write_report(Device &d, const BYTE *buf, size_t len) {
  const int fd = d.rec->fd;
  for (;;) {
    // Any count, a short one too, counts as sent: reports go out whole.
    if (write(fd, buf, len) >= 0) return 0;
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      if (d.stopping.load(std::memory_order_acquire) &&
          now_ns() >= d.drain_until_ns.load(std::memory_order_acquire))
        return ETIMEDOUT;
      pollfd f{fd, POLLOUT, 0};
      poll(&f, 1, kRetryMs);
      continue;
    }
    if (gone_error(err)) mark_gone(d);
    return err;
  }
}

// What the writer took to write.
struct Job {
  enum Kind { kNone, kUrgent, kQueued } kind = kNone;
  BYTE report[CANFD_REPORT_SIZE];
  size_t len = 0;
  uint64_t id = 0;       // the urgent write's
  bool command = false;  // the urgent write is a command's request
};

// Takes the next write: urgent writes first, then the queue. Past the drain
// time of close, what is queued is dropped. The caller holds tx_mu.
bool take_job(Device &d, Job &job, bool stopping) REQUIRES(d.tx_mu) {
  PKALVEN_CANFD_CAN_Buf_St rec = d.rec;
  for (Urgent *u = d.urgent; u != nullptr; u = u->next) {
    if (u->state != Urgent::kQueued) continue;
    u->state = Urgent::kWriting;
    job.kind = Job::kUrgent;
    std::memcpy(job.report, u->bytes, u->len);
    job.len = u->len;
    job.id = u->id;
    job.command = u->command;
    d.writing = true;
    d.write_began_ns = now_ns();
    return true;
  }
  const bool drained = stopping && now_ns() >= d.drain_until_ns.load(std::memory_order_acquire);
  while (USBDEV_TxBuf_QueueNum(rec) > 0) {
    const BYTE *head = rec->TxBuf[rec->TxOut % CANFD_TXQUEUE_SLOTS].data;
    if (drained) {
      count_lost(d, head + 1, CANFD_PACKET_MAX);
      queue_pop(rec);
      continue;
    }
    job.kind = Job::kQueued;
    std::memcpy(job.report, head, CANFD_REPORT_SIZE);
    job.len = CANFD_REPORT_SIZE;
    queue_pop(rec);
    d.writing = true;
    d.write_began_ns = now_ns();
    // Senders waiting for room are woken once half the queue is free, to
    // refill it in one go: woken per report, they and the writer would
    // take turns on the CPU for every report.
    if (d.tx_waiters > 0 && USBDEV_TxBuf_QueueNum(rec) <= CANFD_TXQUEUE_SLOTS / 2)
      pthread_cond_broadcast(&d.tx_cond);
    return true;
  }
  if (drained) pthread_cond_broadcast(&d.tx_cond);
  job.kind = Job::kNone;
  return false;
}

// A write that fails as a USB transfer fails while its device is being
// unplugged (EPROTO, ESHUTDOWN, EIO, or EPIPE on the sandbox) comes before
// the node says the device is gone, by up to a few hundred milliseconds:
// wait that long for it, so that the failure is told as the unplug it is,
// not as a failed write. A node that takes nothing (ETIMEDOUT) is no
// unplug.
void await_unplug(Device &d, int err) {
  if (err != EPROTO && err != ESHUTDOWN && err != EIO && err != EPIPE) return;
  pollfd fds[2] = {{d.rec->fd, 0, 0}, {d.stop_fd, POLLIN, 0}};
  const int64_t until = now_ns() + kUnplugNs;
  for (int64_t left = kUnplugNs; left > 0 && !is_gone(d); left = until - now_ns()) {
    const timespec ts = to_timespec(left);
    if (ppoll(fds, 2, &ts, nullptr) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      mark_gone(d);
      return;
    }
  }
}

// Records the outcome of a write. Returns false when close has left the
// device to the writer: it is to release it now.
bool finish_job(Device &d, const Job &job, int err) EXCLUDES(d.tx_mu) {
  {
    Lock lock(d.tx_mu);
    d.writing = false;
    if (d.abandoned) return false;
    if (job.kind == Job::kUrgent) {
      for (Urgent *u = d.urgent; u != nullptr; u = u->next) {
        if (u->id != job.id) continue;
        u->state = err == 0 ? Urgent::kWritten : Urgent::kFailed;
        u->error = err;
      }
      for (int k = 0; k < Device::kAdopted; ++k) {
        if (!d.adopted_used[k] || d.adopted[k].id != job.id) continue;
        unlink_urgent(d, d.adopted[k]);
        d.adopted_used[k] = false;
      }
      pthread_cond_broadcast(&d.tx_cond);
    } else if (err != 0) {
      count_lost(d, job.report + 1, job.len - 1);
    }
  }
  if (err == 0) return true;
  __atomic_store_n(&d.rec->LastError, static_cast<uint32_t>(CANFD_ERR_USB_WRITE), __ATOMIC_RELEASE);
  if (job.command) {
    // The command waiting for this request's answer learns it never went.
    Lock lock(d.answer_mu);
    if (d.answers.waiting && d.answers.current.write_id == job.id) {
      d.answers.write_error = err;
      pthread_cond_broadcast(&d.answer_cond);
    }
  }
  return true;
}

}  // namespace

void transmit_worker(Device &d) {
  thread_t *blk = wait_for_block(d);
  bool stopping = blk == nullptr;
  PKALVEN_CANFD_CAN_Buf_St rec = d.rec;
  Job job;
  bool abandoned = false;
  for (;;) {
    if (!stopping && !wait_enabled(d, blk, &blk->enable_txthread)) stopping = true;
    {
      Lock lock(d.tx_mu);
      abandoned = d.abandoned;
      if (abandoned) break;
      if (!take_job(d, job, stopping)) {
        if (stopping) break;  // everything accepted has been written
        d.writer_idle = true;
      }
    }
    if (job.kind == Job::kNone) {
      pollfd fds[2] = {{rec->event_fd, POLLIN, 0}, {d.stop_fd, POLLIN, 0}};
      // EINTR: a signal is no reason to stop.
      const bool woke = poll(fds, stopping ? 1 : 2, -1) > 0;
      if (woke && (fds[0].revents & POLLIN) != 0) {
        uint64_t count;
        if (read(rec->event_fd, &count, sizeof count) < 0) {
          // Already reset by an earlier read: nothing to do.
        }
      }
      if (woke && fds[1].revents != 0) stopping = true;
      Lock lock(d.tx_mu);
      d.writer_idle = false;
      continue;
    }
    const int err = write_report(d, job.report, job.len);
    if (err != 0 && !stopping) await_unplug(d, err);
    if (!finish_job(d, job, err)) {
      abandoned = true;
      break;
    }
  }
  if (!abandoned) {
    Lock lock(d.tx_mu);
    // Close may have given up on the writer just now: then it is the one
    // to release the device.
    abandoned = d.abandoned;
    d.writer_done = true;
    pthread_cond_broadcast(&d.tx_cond);
  }
  if (abandoned) {
    // Close left the device, and the control block, to this thread.
    if (blk != nullptr) release_block(blk);
    release_resources(&d);
  }
}

// ---- The transmit queue ------------------------------------------------------------

int enqueue_report(Device &d, const BYTE *packet, DWORD len, int64_t deadline_ns, bool join) {
  PKALVEN_CANFD_CAN_Buf_St rec = d.rec;
  int rc = 0;
  {
    Lock lock(d.tx_mu);
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
        queue_push(rec, packet, len);
        wake_writer(d);
        break;
      }
      if (join && queue_join(rec, packet, len)) break;
      if (join && queue_pack(rec)) continue;
      if (waited && now_ns() >= deadline_ns) {
        rc = CANFD_ERR_TX_QUEUE_FULL;
        break;
      }
      ++d.tx_waiters;
      wait_until(&d.tx_cond, d.tx_mu, deadline_ns);
      --d.tx_waiters;
    }
  }
  return rc;
}

int enqueue_now(Device &d, const BYTE *packet, DWORD len, bool join) {
  const int rc = enqueue_report(d, packet, len, 0, join);
  if (rc == CANFD_ERR_TX_QUEUE_FULL) count_lost(d, packet, len);
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
  return queue_push(d, data, datasize > 0 ? static_cast<size_t>(datasize) : 0);
}

int USBDEV_TxBuf_DeQueue(WORD hidnum) { return queue_pop(record(hidnum)); }

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
  return enqueue_now(*use.dev, data, sz, false);
}

}  // extern "C"
