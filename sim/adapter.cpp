#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "adapter_impl.h"
#include "wire.h"

namespace canfd_sim {

namespace w = canfd::wire;

namespace {

// How long a message to the host may wait for room in the socket before it
// is dropped. Once one has been dropped, later ones do not wait until a send
// succeeds again, so a host that stopped reading does not stall the adapter.
constexpr int kSendWaitMs = 500;
// Room for the adapter's unread reports; the kernel caps it unless forced.
constexpr int kSendBuffer = 1 << 20;
constexpr size_t kMaxMessage = 4096;
constexpr int kReportsPerPass = 64;

[[noreturn]] void fail(const std::string &what) {
  throw std::system_error(errno, std::generic_category(), what);
}

timespec monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

int index_of(int port) { return port == 1 || port == 2 ? port - 1 : -1; }

}  // namespace

SimAdapter::SimAdapter(const AdapterId &id, std::string socket_path)
    : hidraw_(id.hidraw), path_(std::move(socket_path)) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    fail("socket path " + path_);
  }
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) fail("socket");
  unlink(path_.c_str());
  if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 8) != 0) {
    const int e = errno;
    close(listen_fd_);
    errno = e;
    fail("listen on " + path_);
  }
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    const int e = errno;
    close(listen_fd_);
    unlink(path_.c_str());
    errno = e;
    fail("eventfd");
  }
  server_ = std::thread([this] { serve(); });
  hw_ = std::thread([this] { hw_loop(); });
}

SimAdapter::~SimAdapter() {
  stop();
  close(wake_fd_);
}

void SimAdapter::stop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (stop_.exchange(true)) return;
  }
  cv_hw_.notify_all();
  wake();
  if (server_.joinable()) server_.join();
  if (hw_.joinable()) hw_.join();
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    if (conn_fd_ >= 0) {
      shutdown(conn_fd_, SHUT_RDWR);
      close(conn_fd_);
      conn_fd_ = -1;
    }
    connected_ = false;
    stopped_ = true;
  }
  cv_conn_.notify_all();
  close(listen_fd_);
  unlink(path_.c_str());
}

void SimAdapter::wake() {
  const uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the server wakes anyway.
  }
}

// ---- Host connection -------------------------------------------------------

void SimAdapter::serve() {
  std::vector<uint8_t> buf(kMaxMessage);
  while (!stop_) {
    int conn;
    bool refused;
    {
      std::lock_guard<std::mutex> lk(conn_mu_);
      conn = conn_fd_;
      refused = reads_refused_ || !taking_;
    }
    pollfd fds[3] = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}, {conn, 0, 0}};
    // With the adapter's read side shut, the socket always reads as ready:
    // only a hang-up of the host is of interest then.
    fds[2].events = refused ? 0 : POLLIN;
    const int r = poll(fds, conn >= 0 ? 3 : 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      uint64_t v;
      if (read(wake_fd_, &v, sizeof v) < 0) {
        // Nothing pending: spurious wake-up.
      }
    }
    if (stop_) break;
    // The connection is handled before a new one is accepted, which would
    // close it and free its descriptor.
    if (conn >= 0 && fds[2].revents) {
      Pending pending;
      bool closed = false;
      if (!refused) {
        // Reports queued together are taken together, so that their frames
        // share reports to the host; a bounded number per pass keeps a
        // steady stream from holding up new connections.
        for (int taken = 0; taken < kReportsPerPass; ++taken) {
          const ssize_t n = recv(conn, buf.data(), buf.size(), MSG_DONTWAIT);
          if (n > 0) {
            handle(buf.data(), static_cast<size_t>(n), pending);
            if (stop_) break;
            for (auto &p : pending)
              if (p.size() >= w::kRxRecordsPerPacket * w::kRxRecordSize) flush(pending);
            continue;
          }
          // A host that closes with answers unread makes the first read fail
          // with ECONNRESET; the reports it wrote before still follow.
          if (n < 0 && (errno == EINTR || errno == ECONNRESET)) continue;
          if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
          // End of stream: the host closed, or disconnect() cut the link;
          // refuse_writes() also ends the stream, but keeps the connection.
          std::lock_guard<std::mutex> lk(conn_mu_);
          closed = !reads_refused_ || n < 0;
          break;
        }
      } else {
        closed = fds[2].revents & (POLLHUP | POLLERR);
      }
      flush(pending);
      if (closed) close_host(conn);
    }
    if (fds[1].revents & POLLIN) accept_host();
  }
}

void SimAdapter::accept_host() {
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  // Force a large send buffer where allowed, else take what the kernel gives.
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof kSendBuffer) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    if (conn_fd_ >= 0) {
      // One host at a time: a new open replaces the old connection.
      shutdown(conn_fd_, SHUT_RDWR);
      close(conn_fd_);
    }
    conn_fd_ = fd;
    connected_ = true;
    reads_refused_ = false;
    stalled_ = false;
  }
  cv_conn_.notify_all();
}

void SimAdapter::close_host(int fd) {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    if (conn_fd_ != fd) return;
    close(conn_fd_);
    conn_fd_ = -1;
    connected_ = false;
    reads_refused_ = false;
    stalled_ = false;
  }
  cv_conn_.notify_all();
}

bool SimAdapter::connected() const {
  std::lock_guard<std::mutex> lk(conn_mu_);
  return connected_;
}

bool SimAdapter::wait_connected(int timeout_ms) {
  std::unique_lock<std::mutex> lk(conn_mu_);
  cv_conn_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                    [this] { return connected_ || stopped_; });
  return connected_;
}

void SimAdapter::disconnect() {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    if (stopped_) return;
    // Shutting both directions makes the host's reads return 0 and its
    // writes fail with EPIPE at once; the server thread then closes it.
    if (conn_fd_ >= 0) shutdown(conn_fd_, SHUT_RDWR);
    connected_ = false;
  }
  cv_conn_.notify_all();
  wake();
}

void SimAdapter::stall(bool on) {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    taking_ = !on;
  }
  wake();
}

void SimAdapter::refuse_writes() {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    if (stopped_ || conn_fd_ < 0) return;
    shutdown(conn_fd_, SHUT_RD);
    reads_refused_ = true;
  }
  wake();
}

bool SimAdapter::send_msg(const void *data, size_t len) {
  std::lock_guard<std::mutex> lk(conn_mu_);
  if (conn_fd_ < 0 || !connected_) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(stalled_ ? 0 : kSendWaitMs);
  for (;;) {
    const ssize_t n = send(conn_fd_, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(len)) {
      stalled_ = false;
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      stalled_ = true;
      return false;
    }
    pollfd pfd{conn_fd_, POLLOUT, 0};
    poll(&pfd, 1, static_cast<int>(left));
  }
}

bool SimAdapter::send_report(const void *data, size_t len) { return send_msg(data, len); }

// ---- Reports from the host -------------------------------------------------

void SimAdapter::handle(const uint8_t *msg, size_t n, Pending &pending) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (recording_) received_.emplace_back(msg, msg + n);
  }
  cv_received_.notify_all();

  // A report carries its packet behind report number 0; the two resets
  // come as bare packets.
  const bool bare = msg[0] != 0;
  const uint8_t *pkt = bare ? msg : msg + 1;
  const size_t avail = bare ? n : n - 1;
  if (avail < CANFD_HEADER_SIZE) return;
  const uint8_t op = pkt[w::kHdrOpcode];
  const uint16_t fc = w::get_le16(pkt + w::kHdrFc);
  const size_t len = std::min<size_t>(w::get_le16(pkt + w::kHdrLen), avail - CANFD_HEADER_SIZE);
  const uint8_t *data = pkt + CANFD_HEADER_SIZE;
  if (op == CANFD_OP_LARGE && (fc == w::fc::kModuleReset || fc == w::fc::kWatchdogReset)) {
    flush(pending);
    reset(fc == w::fc::kWatchdogReset);
    return;
  }
  if (bare) return;
  switch (op) {
    case CANFD_OP_READ:
    case CANFD_OP_WRITE:
      command(op, fc, data, len, pending);
      break;
    case CANFD_OP_LARGE:
      if (fc == w::fc::frames_to(1) || fc == w::fc::frames_to(2))
        frames(fc - w::fc::kFramesToPort1 + 1, data, len, pending);
      break;
    default:
      break;
  }
}

Reply SimAdapter::take_reply(uint8_t op, uint16_t fc) {
  std::lock_guard<std::mutex> lk(mu_);
  Reply *r = nullptr;
  const auto it = replies_.find({op, fc});
  if (it != replies_.end())
    r = &it->second;
  else if (reply_all_)
    r = &*reply_all_;
  if (!r) return Reply{};
  const Reply out = *r;
  if (r->times > 0 && --r->times == 0) {
    if (it != replies_.end())
      replies_.erase(it);
    else
      reply_all_.reset();
  }
  return out.times == 0 ? Reply{} : out;
}

void SimAdapter::command(uint8_t op, uint16_t fc, const uint8_t *data, size_t len,
                         Pending &pending) {
  // Frames taken before the command reach the host before its answer.
  flush(pending);
  const Reply r = take_reply(op, fc);
  if (r.kind == Reply::Silent) return;
  model::Answer a;
  if (r.kind == Reply::Refuse) {
    a.done = false;
    a.code = r.code;
  } else {
    std::unique_lock<std::mutex> lk(mu_);
    if (op == CANFD_OP_READ) {
      refresh_fps();
      a = model::read_command(state_, fc);
    } else {
      a = model::write_command(state_, fc, data, len);
      const uint8_t port = w::fc::port_of(fc), cmd = w::fc::command_of(fc);
      if (a.done && (port == 1 || port == 2) &&
          (cmd == w::fc::kWriteHwSendMode || cmd == w::fc::kWriteHwSendRecord))
        rearm_hw(port - 1, Clock::now());
    }
    if (r.kind == Reply::Late) {
      cv_hw_.wait_for(lk, std::chrono::milliseconds(r.delay_ms), [this] { return stop_.load(); });
      if (stop_) return;
    }
  }
  const std::vector<uint8_t> pkt = model::answer_packet(fc, a);
  send_msg(pkt.data(), pkt.size());
}

void SimAdapter::frames(int port, const uint8_t *data, size_t len, Pending &pending) {
  const size_t n = len / w::kTxRecordSize;
  const timespec ts = monotonic_now();
  const int other = 2 - port;  // index of the receiving port
  std::lock_guard<std::mutex> lk(mu_);
  tx_frames_[port - 1] += n;
  if (!loopback_) return;
  uint8_t rx[w::kRxRecordSize];
  for (size_t i = 0; i < n; ++i) {
    model::tx_to_rx(data + i * w::kTxRecordSize, static_cast<uint32_t>(ts.tv_sec),
                    static_cast<uint32_t>(ts.tv_nsec / 1000), rx);
    if (!model::accepts(state_.port[other], rx)) continue;
    count_rx(other, ts.tv_sec);
    pending[other].insert(pending[other].end(), rx, rx + sizeof rx);
  }
}

void SimAdapter::reset(bool watchdog) {
  std::lock_guard<std::mutex> lk(mu_);
  ModuleState fresh;
  fresh.module_resets = state_.module_resets + (watchdog ? 0 : 1);
  fresh.watchdog_resets = state_.watchdog_resets + (watchdog ? 1 : 0);
  state_ = fresh;
  fps_[0] = fps_[1] = FpsCounter{};
  const auto now = Clock::now();
  rearm_hw(0, now);
  rearm_hw(1, now);
}

// ---- Frames to the host ----------------------------------------------------

void SimAdapter::deliver(int port, const std::vector<uint8_t> &records) {
  const size_t count = records.size() / w::kRxRecordSize;
  constexpr size_t kPerPacket = w::kRxRecordsPerPacket;
  uint8_t pkt[CANFD_HEADER_SIZE + kPerPacket * w::kRxRecordSize];
  for (size_t i = 0; i < count; i += kPerPacket) {
    const size_t k = std::min(kPerPacket, count - i);
    const size_t len = k * w::kRxRecordSize;
    w::put_header(pkt, CANFD_OP_LARGE, w::fc::frames_from(static_cast<BYTE>(port)),
                  static_cast<uint16_t>(len));
    std::memcpy(pkt + CANFD_HEADER_SIZE, records.data() + i * w::kRxRecordSize, len);
    if (!send_msg(pkt, CANFD_HEADER_SIZE + len)) dropped_ += k;
  }
}

void SimAdapter::flush(Pending &pending) {
  for (int i = 0; i < 2; ++i) {
    if (pending[i].empty()) continue;
    deliver(i + 1, pending[i]);
    pending[i].clear();
  }
}

void SimAdapter::push_records(int port, const std::vector<CANRxPacketStruct> &recs) {
  const int index = index_of(port);
  if (index < 0 || recs.empty()) return;
  std::vector<uint8_t> bytes(recs.size() * w::kRxRecordSize);
  std::memcpy(bytes.data(), recs.data(), bytes.size());
  {
    std::lock_guard<std::mutex> lk(mu_);
    const int64_t second = monotonic_now().tv_sec;
    for (size_t i = 0; i < recs.size(); ++i) count_rx(index, second);
  }
  deliver(port, bytes);
}

// ---- Hardware periodic sending ---------------------------------------------

void SimAdapter::rearm_hw(int index, Clock::time_point now) {
  const PortState &p = state_.port[index];
  HwRun &h = hw_run_[index];
  h = HwRun{};
  if (p.hw_mode && model::hw_record_set(p)) {
    const uint32_t period = w::get_le32(p.hw_record + w::kRecSecond);
    const uint32_t counter = w::get_le32(p.hw_record + w::kRecUsecond);
    h.active = true;
    h.endless = counter == 0;
    h.remaining = counter;
    h.period = std::chrono::milliseconds(std::max<uint32_t>(period, 1));
    // The first frame goes out one period after the switch, well after the
    // answer to the command that started it.
    h.next = now + h.period;
  }
  cv_hw_.notify_all();
}

void SimAdapter::hw_loop() {
  std::unique_lock<std::mutex> lk(mu_);
  while (!stop_) {
    const auto now = Clock::now();
    Pending due;
    std::optional<Clock::time_point> wake_at;
    for (int i = 0; i < 2; ++i) {
      HwRun &h = hw_run_[i];
      if (!h.active) continue;
      if (h.next <= now) {
        // The frame goes out on port i and is taken by the other port.
        const int other = 1 - i;
        if (loopback_) {
          const timespec ts = monotonic_now();
          uint8_t rx[w::kRxRecordSize];
          model::tx_to_rx(state_.port[i].hw_record, static_cast<uint32_t>(ts.tv_sec),
                          static_cast<uint32_t>(ts.tv_nsec / 1000), rx);
          if (model::accepts(state_.port[other], rx)) {
            count_rx(other, ts.tv_sec);
            due[other].insert(due[other].end(), rx, rx + sizeof rx);
          }
        }
        if (!h.endless && --h.remaining == 0) {
          h.active = false;
          continue;
        }
        h.next += h.period;
        // After a stall, keep the period rather than catch up in a burst.
        if (h.next < now) h.next = now + h.period;
      }
      if (!wake_at || h.next < *wake_at) wake_at = h.next;
    }
    if (!due[0].empty() || !due[1].empty()) {
      lk.unlock();
      flush(due);
      lk.lock();
      continue;
    }
    if (wake_at)
      cv_hw_.wait_until(lk, *wake_at);
    else
      cv_hw_.wait(lk);
  }
}

// ---- Frame rate ------------------------------------------------------------

void SimAdapter::count_rx(int index, int64_t second) {
  FpsCounter &c = fps_[index];
  if (second == c.second) {
    ++c.count;
    return;
  }
  c.last = second == c.second + 1 ? c.count : 0;
  c.second = second;
  c.count = 1;
}

uint16_t SimAdapter::rx_fps(int index, int64_t second) const {
  if (fps_fixed_[index] >= 0) return static_cast<uint16_t>(fps_fixed_[index]);
  const FpsCounter &c = fps_[index];
  uint32_t n = 0;
  if (second == c.second)
    n = c.last;
  else if (second == c.second + 1)
    n = c.count;
  return static_cast<uint16_t>(std::min<uint32_t>(n, 0xFFFF));
}

void SimAdapter::refresh_fps() const {
  const int64_t second = monotonic_now().tv_sec;
  for (int i = 0; i < 2; ++i) state_.port[i].rx_fps = rx_fps(i, second);
}

// ---- Accessors -------------------------------------------------------------

std::vector<std::vector<uint8_t>> SimAdapter::received() const {
  std::lock_guard<std::mutex> lk(mu_);
  return received_;
}

void SimAdapter::clear_received() {
  std::lock_guard<std::mutex> lk(mu_);
  received_.clear();
}

bool SimAdapter::wait_received(size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_received_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                               [&] { return received_.size() >= n; });
}

size_t SimAdapter::tx_frames_received(int port) const {
  const int index = index_of(port);
  if (index < 0) return 0;
  std::lock_guard<std::mutex> lk(mu_);
  return tx_frames_[index];
}

void SimAdapter::set_reply(uint8_t opcode, uint16_t fc, Reply r) {
  std::lock_guard<std::mutex> lk(mu_);
  if (r.times == 0)
    replies_.erase({opcode, fc});
  else
    replies_[{opcode, fc}] = r;
}

void SimAdapter::set_reply_all(Reply r) {
  std::lock_guard<std::mutex> lk(mu_);
  if (r.times == 0)
    reply_all_.reset();
  else
    reply_all_ = r;
}

void SimAdapter::clear_replies() {
  std::lock_guard<std::mutex> lk(mu_);
  replies_.clear();
  reply_all_.reset();
}

void SimAdapter::set_loopback(bool on) {
  std::lock_guard<std::mutex> lk(mu_);
  loopback_ = on;
}

void SimAdapter::set_recording(bool on) {
  std::lock_guard<std::mutex> lk(mu_);
  recording_ = on;
}

void SimAdapter::set_rx_fps(int port, int fps) {
  const int index = index_of(port);
  if (index < 0) return;
  std::lock_guard<std::mutex> lk(mu_);
  fps_fixed_[index] = fps < 0 ? -1 : std::min(fps, 0xFFFF);
}

ModuleState SimAdapter::state() const {
  std::lock_guard<std::mutex> lk(mu_);
  refresh_fps();
  return state_;
}

void SimAdapter::set_state(const ModuleState &s) {
  std::lock_guard<std::mutex> lk(mu_);
  state_ = s;
  const auto now = Clock::now();
  rearm_hw(0, now);
  rearm_hw(1, now);
}

}  // namespace canfd_sim
