#include "sandbox_adapter.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace canfd_sim {

namespace {

// Room for kNodeInputReports unread reports of any length a hidraw report
// may have (16 KB) where the kernel lets the adapter force it; else what
// the kernel gives, which holds them for reports up to about 3 KB. A report
// that finds no room there is dropped for that reader as when its buffer
// is full.
constexpr int kSendBuffer = 1 << 20;
constexpr size_t kMaxMessage = 4096;
// Reports taken before the timers run and new connections are accepted.
constexpr int kReportsPerPass = 64;
// How often a report waiting for room in lossless mode looks again.
constexpr auto kRoomPoll = std::chrono::microseconds(100);

[[noreturn]] void fail(const std::string &what) {
  throw std::system_error(errno, std::generic_category(), what);
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
    for (Conn &c : conns_) drop_conn(c);
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
  std::vector<Watched> watched, readable;
  std::vector<int> closed;
  while (!stop_) {
    engine_.run(monotonic_ns());
    const int64_t now = monotonic_ns();
    const int64_t ready_at = engine_.take_ready_at(now);
    int64_t wake_at = engine_.next_wake();
    const bool taking = ready_at <= now;
    if (!taking) wake_at = std::min(wake_at, ready_at);

    fds.assign({{-1, 0, 0}, {listen_fd_, POLLIN, 0}});  // [0]: the waker's
    watched.clear();
    {
      std::lock_guard<std::mutex> lk(conn_mu_);
      // A connection whose reports are not taken now is watched for its
      // hang-up only (with the adapter's reading side shut, it would always
      // read as ready); once it has hung up, it waits unwatched until its
      // reports can be taken. Its first message, the link, is read at once.
      for (const Conn &c : conns_) {
        const bool readable = !c.refused && !c.cut;
        const bool greeting = readable && !c.link;
        if (c.hung_up && !taking && readable && !greeting) continue;
        const bool read = readable && (taking || greeting);
        fds.push_back({c.fd, static_cast<short>(read ? POLLIN : 0), 0});
        watched.push_back({c.fd, c.link});
      }
    }
    if (!waker_.wait(fds.data(), fds.size(), wake_at)) break;
    if (stop_) break;
    readable.clear();
    closed.clear();
    for (size_t i = 2; i < fds.size(); ++i) {
      const Watched &w = watched[i - 2];
      if (fds[i].revents & POLLIN) {
        if (w.link) {
          readable.push_back(w);
        } else {
          std::lock_guard<std::mutex> lk(conn_mu_);
          Conn *c = find_conn(w.fd);
          if (c && !c->link && !greet(*c)) closed.push_back(w.fd);
        }
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

void SimAdapter::take_reports(const std::vector<Watched> &readable, std::vector<int> &closed) {
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
      const ssize_t n = recv(readable[i].fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        engine_.take(buf, static_cast<size_t>(n), now);
        // Only the serving thread unmaps links: this one is still there.
        canfd_sandbox_took(readable[i].link);
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
      if (n < 0 || !refused(readable[i].fd)) closed.push_back(readable[i].fd);
    }
  }
}

void SimAdapter::accept_host() {
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  // Room for the reports the host has not read (see kSendBuffer).
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof kSendBuffer) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    Conn c;
    c.fd = fd;
    c.serial = ++next_serial_;
    conns_.push_back(std::move(c));
  }
  cv_conn_.notify_all();
}

bool SimAdapter::greet(Conn &c) {
  union {
    char buf[CMSG_SPACE(sizeof(int))];
    cmsghdr align;
  } control{};
  char hello[sizeof CANFD_SANDBOX_HELLO] = {};
  iovec iov{hello, sizeof hello};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.buf;
  msg.msg_controllen = sizeof control.buf;
  const ssize_t n = recvmsg(c.fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  int memfd = -1;
  const cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
  if (cmsg && cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS &&
      cmsg->cmsg_len == CMSG_LEN(sizeof(int)))
    std::memcpy(&memfd, CMSG_DATA(cmsg), sizeof memfd);
  struct stat st {};
  if (n == static_cast<ssize_t>(sizeof CANFD_SANDBOX_HELLO - 1) && !(msg.msg_flags & MSG_CTRUNC) &&
      std::memcmp(hello, CANFD_SANDBOX_HELLO, sizeof CANFD_SANDBOX_HELLO - 1) == 0 && memfd >= 0 &&
      fstat(memfd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(canfd_sandbox_link))) {
    void *p =
        mmap(nullptr, sizeof(canfd_sandbox_link), PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
    if (p != MAP_FAILED) c.link = static_cast<canfd_sandbox_link *>(p);
  }
  if (memfd >= 0) close(memfd);
  // Anything else first: not the sandbox preload, which is the only client.
  return c.link != nullptr;
}

void SimAdapter::end_link(Conn &c) {
  if (c.link) canfd_sandbox_close(c.link);
}

void SimAdapter::drop_conn(Conn &c) {
  // Reports the host wrote and the adapter did not take go with the
  // connection; closed with them unread, the socket would fail the host's
  // next read with ECONNRESET instead of ending its stream. Shut first, so
  // that the host adds none meanwhile.
  shutdown(c.fd, SHUT_RDWR);
  end_link(c);
  if (c.link) munmap(c.link, sizeof(canfd_sandbox_link));
  c.link = nullptr;
  uint8_t buf[kMaxMessage];
  while (recv(c.fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
  close(c.fd);
}

void SimAdapter::close_host(int fd) {
  {
    std::lock_guard<std::mutex> lk(conn_mu_);
    Conn *c = find_conn(fd);
    if (!c) return;
    drop_conn(*c);
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

SimAdapter::Conn *SimAdapter::find_serial(uint64_t serial) {
  for (Conn &c : conns_)
    if (c.serial == serial) return &c;
  return nullptr;
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
    // writes fail with EPIPE at once, those waiting for room included; the
    // server thread then closes it.
    for (Conn &c : conns_) {
      if (c.cut) continue;
      if (!c.link) greet(c);
      // Shut first: a writer that the link lets go writes into the socket.
      shutdown(c.fd, SHUT_RDWR);
      end_link(c);
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
      if (!c.link) greet(c);
      shutdown(c.fd, SHUT_RD);
      end_link(c);
      c.refused = true;
    }
  }
  wake();
}

// ---- Reports to the host ---------------------------------------------------

uint32_t SimAdapter::message_size(const uint8_t *data, size_t len) {
  const auto known = message_sizes_.find(len);
  if (known != message_sizes_.end()) return known->second;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  int queued = 0;
  uint32_t size = 0;
  if (send(sv[0], data, len, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(len) &&
      ioctl(sv[0], SIOCOUTQ, &queued) == 0 && queued > 0)
    size = static_cast<uint32_t>(queued);
  close(sv[0]);
  close(sv[1]);
  if (size) message_sizes_[len] = size;
  return size;
}

size_t SimAdapter::unread(Conn &c) {
  int queued = 0;
  if (ioctl(c.fd, SIOCOUTQ, &queued) == 0) {
    // The host reads in order: what it has read is the oldest.
    while (!c.unread.empty() && c.unread_size > static_cast<uint64_t>(queued)) {
      c.unread_size -= c.unread.front();
      c.unread.pop_front();
    }
  }
  return c.unread.size();
}

SimAdapter::Offer SimAdapter::offer(Conn &c, const uint8_t *data, size_t len, uint32_t size) {
  if (size == 0) return Offer::TooLong;
  const size_t depth = unread(c);
  if (depth >= kNodeInputReports) return Offer::Full;
  const ssize_t n = send(c.fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n == static_cast<ssize_t>(len)) {
    c.unread.push_back(size);
    c.unread_size += size;
    max_unread_ = std::max(max_unread_, depth + 1);
    return Offer::Sent;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Offer::Full;
  // Any other failure: the reader has gone; the server thread closes it.
  return Offer::Gone;
}

Engine::Delivery SimAdapter::deliver(const uint8_t *data, size_t len) {
  std::unique_lock<std::mutex> lk(conn_mu_);
  Engine::Delivery d;
  const uint32_t size = message_size(data, len);
  std::vector<uint64_t> waiting;  // lossless: connections without room yet
  for (Conn &c : conns_) {
    if (!is_open(c)) continue;
    switch (offer(c, data, len, size)) {
      case Offer::Sent:
        ++d.took;
        break;
      case Offer::Full:
        if (lossless_)
          waiting.push_back(c.serial);
        else
          ++d.missed;
        break;
      case Offer::TooLong:
        ++d.missed;
        break;
      case Offer::Gone:
        break;
    }
  }
  while (!waiting.empty()) {
    if (stop_ || !lossless_) {
      d.missed += static_cast<unsigned>(waiting.size());
      break;
    }
    // Lets go of the connections meanwhile: they may close, or new ones come.
    cv_conn_.wait_for(lk, kRoomPoll);
    for (size_t i = 0; i < waiting.size();) {
      Conn *c = find_serial(waiting[i]);
      const Offer o = c && is_open(*c) ? offer(*c, data, len, size) : Offer::Gone;
      if (o == Offer::Full) {
        ++i;
        continue;
      }
      if (o == Offer::Sent) ++d.took;
      waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  reports_dropped_ += d.missed;
  if (d.took == 0 && d.missed == 0) d.missed = 1;  // nobody has the node open
  return d;
}

size_t SimAdapter::max_unread() const {
  std::lock_guard<std::mutex> lk(conn_mu_);
  return max_unread_;
}

void SimAdapter::reset_max_unread() {
  std::lock_guard<std::mutex> lk(conn_mu_);
  max_unread_ = 0;
  for (Conn &c : conns_)
    if (is_open(c)) max_unread_ = std::max(max_unread_, unread(c));
}

}  // namespace canfd_sim
