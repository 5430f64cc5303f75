#include "sandbox_adapter.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace canfd_sim {

namespace {

// How long a report may wait for room in a reader's socket before that
// reader misses it. A reader that missed one gets no wait until it reads
// again, so a reader that stopped reading holds up the adapter once, for
// this long, and never the other readers after that.
constexpr int64_t kSendWaitNs = 500 * 1000000LL;
// Room for the adapter's unread reports; the kernel caps it unless forced.
constexpr int kSendBuffer = 1 << 20;
constexpr size_t kMaxMessage = 4096;
// Reports taken before the timers run and new connections are accepted.
constexpr int kReportsPerPass = 64;

[[noreturn]] void fail(const std::string &what) {
  throw std::system_error(errno, std::generic_category(), what);
}

timespec to_timespec(int64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / timing::kNsPerSecond);
  ts.tv_nsec = static_cast<long>(ns % timing::kNsPerSecond);
  return ts;
}

}  // namespace

SimAdapter::SimAdapter(const AdapterId &id, std::string socket_path)
    : hidraw_(id.hidraw), path_(std::move(socket_path)), engine_(*this) {
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
      listen(listen_fd_, 16) != 0) {
    const int e = errno;
    close(listen_fd_);
    errno = e;
    fail("listen on " + path_);
  }
  server_ = std::thread([this] { serve(); });
}

SimAdapter::~SimAdapter() { stop(); }

void SimAdapter::stop() {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    if (stop_.exchange(true)) return;
  }
  engine_.shut_down();
  wake();
  if (server_.joinable()) server_.join();
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    for (Conn &c : conns_) {
      shutdown(c.fd, SHUT_RDWR);
      close(c.fd);
    }
    conns_.clear();
    stopped_ = true;
  }
  cv_conn_.notify_all();
  close(listen_fd_);
  unlink(path_.c_str());
}

void SimAdapter::wake() { waker_.wake(); }

// ---- The serving thread ----------------------------------------------------

void SimAdapter::serve() {
  Waker::tighten_timer_slack();
  std::vector<pollfd> fds;
  std::vector<int> readable, closed;
  while (!stop_) {
    engine_.run(monotonic_ns());
    const int64_t now = monotonic_ns();
    const int64_t ready_at = engine_.take_ready_at(now);
    int64_t wake_at = engine_.next_wake();
    const bool taking = ready_at <= now;
    if (!taking) wake_at = std::min(wake_at, ready_at);

    fds.assign({{-1, 0, 0}, {listen_fd_, POLLIN, 0}});  // [0]: the waker's
    {
      std::lock_guard<std::mutex> lk(conn_mu_);
      // A connection whose reports are not taken now is watched for its
      // hang-up only (with the adapter's reading side shut, it would always
      // read as ready); once it has hung up, it waits unwatched until its
      // reports can be taken.
      for (const Conn &c : conns_) {
        const bool readable = !c.refused && !c.cut;
        if (c.hung_up && !taking && readable) continue;
        fds.push_back({c.fd, static_cast<short>(taking && readable ? POLLIN : 0), 0});
      }
    }
    if (!waker_.wait(fds.data(), fds.size(), wake_at)) break;
    if (stop_) break;
    readable.clear();
    closed.clear();
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents & POLLIN) {
        readable.push_back(fds[i].fd);
      } else if (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // Read to its end, or not read now: the host's reports may still be
        // there.
        if (fds[i].events & POLLIN || !hang_up(fds[i].fd)) closed.push_back(fds[i].fd);
      }
    }
    if (!readable.empty()) take_reports(readable, closed);
    // Connections are closed before new ones are accepted, which may reuse
    // their descriptor numbers.
    for (int fd : closed) close_host(fd);
    if (fds[1].revents & POLLIN) accept_host();
  }
}

void SimAdapter::take_reports(const std::vector<int> &readable, std::vector<int> &closed) {
  uint8_t buf[kMaxMessage];
  std::vector<bool> empty(readable.size(), false);
  const size_t start = next_conn_++ % readable.size();
  int taken = 0;
  bool any = true;
  // One report from each connection in turn, so that a busy writer does not
  // keep the others waiting.
  while (any && taken < kReportsPerPass) {
    any = false;
    for (size_t k = 0; k < readable.size() && taken < kReportsPerPass; ++k) {
      const size_t i = (start + k) % readable.size();
      if (empty[i]) continue;
      const int64_t now = monotonic_ns();
      if (engine_.take_ready_at(now) > now || stop_) return;
      const ssize_t n = recv(readable[i], buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        engine_.take(buf, static_cast<size_t>(n), now);
        ++taken;
        any = true;
        continue;
      }
      // A host that closes with reports unread makes the first read fail
      // with ECONNRESET; the reports it wrote before still follow.
      if (n < 0 && (errno == EINTR || errno == ECONNRESET)) continue;
      empty[i] = true;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      // End of stream: the host closed, or disconnect() cut the link;
      // refuse_writes() also ends the stream, but keeps the connection.
      if (n < 0 || !refused(readable[i])) closed.push_back(readable[i]);
    }
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
    Conn c;
    c.fd = fd;
    conns_.push_back(c);
  }
  cv_conn_.notify_all();
}

void SimAdapter::close_host(int fd) {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    Conn *c = find_conn(fd);
    if (!c) return;
    close(fd);
    conns_.erase(conns_.begin() + (c - conns_.data()));
  }
  cv_conn_.notify_all();
}

SimAdapter::Conn *SimAdapter::find_conn(int fd) {
  for (Conn &c : conns_)
    if (c.fd == fd) return &c;
  return nullptr;
}

const SimAdapter::Conn *SimAdapter::find_conn(int fd) const {
  return const_cast<SimAdapter *>(this)->find_conn(fd);
}

bool SimAdapter::refused(int fd) const {
  std::lock_guard<std::mutex> lk(conn_mu_);
  const Conn *c = find_conn(fd);
  return c && c->refused && !c->cut;
}

bool SimAdapter::hang_up(int fd) {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    Conn *c = find_conn(fd);
    if (!c || c->cut || c->refused) return false;
    c->hung_up = true;
  }
  cv_conn_.notify_all();
  return true;
}

// ---- Connections -----------------------------------------------------------

bool SimAdapter::connected() const { return connections() > 0; }

int SimAdapter::connections() const {
  std::lock_guard<std::mutex> lk(conn_mu_);
  return static_cast<int>(std::count_if(conns_.begin(), conns_.end(), is_open));
}

bool SimAdapter::wait_connected(int timeout_ms) {
  std::unique_lock<std::mutex> lk(conn_mu_);
  auto open = [this] { return std::any_of(conns_.begin(), conns_.end(), is_open); };
  cv_conn_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return open() || stopped_; });
  return open();
}

void SimAdapter::disconnect() {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    // Shutting both directions makes the host's reads return 0 and its
    // writes fail with EPIPE at once; the server thread then closes it.
    for (Conn &c : conns_) {
      if (c.cut) continue;
      shutdown(c.fd, SHUT_RDWR);
      c.cut = true;
    }
  }
  cv_conn_.notify_all();
  wake();
}

void SimAdapter::refuse_writes() {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    for (Conn &c : conns_) {
      if (c.cut) continue;
      shutdown(c.fd, SHUT_RD);
      c.refused = true;
    }
  }
  wake();
}

Engine::Delivery SimAdapter::deliver(const uint8_t *data, size_t len) {
  std::lock_guard<std::mutex> lk(conn_mu_);
  Engine::Delivery d;
  // Readers without room now: they get one wait, bounded for all together.
  std::vector<pollfd> waiting;
  for (Conn &c : conns_) {
    if (c.cut || c.hung_up) continue;
    const ssize_t n = send(c.fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(len)) {
      c.lagging = false;
      ++d.took;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (c.lagging)
        ++d.missed;
      else
        waiting.push_back({c.fd, POLLOUT, 0});
    }
    // Any other failure: the reader has gone; the server thread closes it.
  }
  const int64_t deadline = monotonic_ns() + kSendWaitNs;
  while (!waiting.empty()) {
    int64_t left = deadline - monotonic_ns();
    if (left > 0) {
      const timespec ts = to_timespec(left);
      if (ppoll(waiting.data(), waiting.size(), &ts, nullptr) < 0 && errno != EINTR) left = 0;
    }
    for (size_t i = 0; i < waiting.size();) {
      const ssize_t n = send(waiting[i].fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
      const bool full = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      if (full && left > 0) {
        ++i;
        continue;
      }
      Conn *conn = find_conn(waiting[i].fd);
      if (n == static_cast<ssize_t>(len)) {
        ++d.took;
      } else if (full) {
        conn->lagging = true;
        ++d.missed;
      }
      waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  reports_dropped_ += d.missed;
  if (d.took == 0 && d.missed == 0) d.missed = 1;  // nobody has the node open
  return d;
}

}  // namespace canfd_sim
