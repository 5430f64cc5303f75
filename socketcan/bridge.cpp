#include "bridge.h"

#include <fmt/format.h>
#include <linux/can.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "bus_state.h"
#include "convert.h"
#include "transmit.h"

namespace canfd_socketcan {

namespace {

using canfd_tool::BusPacer;
using canfd_tool::Clock;
using std::chrono::milliseconds;

// Frames in one report to the adapter.
constexpr size_t kFramesPerReport = 7;
// Records taken from a socket per call.
constexpr size_t kReadBatch = 64;
// Frames taken from the library per call.
constexpr size_t kReceiveBatch = 256;
// Frames handed to the library per call: its transmit queue's eight reports
// of seven frames.
constexpr size_t kSendBatch = CANFD_TXQUEUE_SLOTS * kFramesPerReport;
// While frames back up, they go in batches of at least four reports.
constexpr size_t kMinBatch = 4 * kFramesPerReport;
// How long a send waits for room in the library's transmit queue before the
// link looks at its other direction again.
constexpr milliseconds kSendPatience{10};
// How long frames wait for room in a full socket before they are dropped.
constexpr milliseconds kWriteRetry{100};
// How long frames still held at a stop may take to go out.
constexpr milliseconds kDrainTime{1000};
// The adapter counts the frames its transmit queue turned away in bits
// 0-15 of a port's buffer-status word, up to 0xFFFF.
constexpr uint32_t kOverflowMask = 0xFFFF;

std::string errno_text(int err) { return std::strerror(err); }

bool is_gone(const canfd::Error &e) { return e.code() == canfd::errc::device_gone; }

// What the threads of a bridge share: how it ended, once it has, and a
// descriptor that becomes readable then.
class Ending {
 public:
  Ending() : fd_(eventfd(0, EFD_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  ~Ending() { close(fd_); }
  Ending(const Ending &) = delete;
  Ending &operator=(const Ending &) = delete;

  // The first outcome counts; later ones are dropped.
  void finish(Outcome o) {
    {
      std::lock_guard<std::mutex> lk(m_);
      if (outcome_) return;
      outcome_ = std::move(o);
    }
    const uint64_t one = 1;
    if (write(fd_, &one, sizeof one) < 0) {
      // An eventfd takes a write unless its counter is full: it cannot be.
    }
    cv_.notify_all();
  }
  bool ended() const {
    std::lock_guard<std::mutex> lk(m_);
    return outcome_.has_value();
  }
  // Waits until the time or the end; true if ended.
  bool wait_until(Clock::time_point t) {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_until(lk, t, [this] { return outcome_.has_value(); });
  }
  Outcome outcome() const {
    std::lock_guard<std::mutex> lk(m_);
    return outcome_.value_or(Outcome{});
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::optional<Outcome> outcome_;
};

// Counts of a link, written by its thread, read by the monitor.
struct Counters {
  std::atomic<uint64_t> to_bus{0};
  std::atomic<uint64_t> from_bus{0};
  // Frames the kernel dropped for the socket because its receive queue was
  // full (SO_RXQ_OVFL), since it was opened.
  std::atomic<uint64_t> socket_dropped{0};
  // Frames from the bus that were not written to the interface.
  std::atomic<uint64_t> undelivered{0};
};

// Frames between one port and its socket, in a thread of its own.
class Link {
 public:
  Link(canfd::Port port, const LinkConfig &config, const BridgeConfig &bridge, Ending &ending,
       const Log &log)
      : port_(port), config_(config), bridge_(bridge), ending_(ending), log_(log) {}

  const LinkConfig &config() const { return config_; }
  canfd::Port &port() { return port_; }
  Counters counters;

  std::string where() const {
    return fmt::format("port {} ({})", static_cast<int>(config_.port), config_.name);
  }

  void run() {
    try {
      loop();
    } catch (const canfd::Error &e) {
      if (is_gone(e))
        adapter_gone();
      else
        ending_.finish({Outcome::failed, fmt::format("{}: {}", where(), e.what())});
    } catch (const std::exception &e) {
      ending_.finish({Outcome::failed, fmt::format("{}: {}", where(), e.what())});
    }
  }

  // Writes an error frame to the socket (from the monitor's thread).
  void write_error_frame(const can_frame &f) {
    if (send(config_.socket, &f, CAN_MTU, MSG_DONTWAIT) == CAN_MTU) return;
    counters.undelivered.fetch_add(1);
    if (errno == ENETDOWN) note_down();
  }

 private:
  void loop() {
    const int rx_fd = port_.rx_event_fd();
    pacer_.emplace(port_.bit_timing());
    Clock::time_point retry = Clock::time_point::max();
    for (;;) {
      pollfd p[3] = {
          {ending_.fd(), POLLIN, 0},
          {rx_fd, POLLIN, 0},
          {config_.socket, static_cast<short>(held_.size() < bridge_.queue ? POLLIN : 0), 0}};
      timespec ts{};
      const timespec *timeout = nullptr;
      if (retry != Clock::time_point::max()) {
        const auto left = std::max(retry - Clock::now(), Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        timeout = &ts;
      }
      if (ppoll(p, 3, timeout, nullptr) < 0 && errno != EINTR)
        throw std::system_error(errno, std::generic_category(), "poll");
      if (p[0].revents) break;
      if (p[1].revents && !from_adapter()) return;
      if (p[2].revents && !from_socket(p[2].revents)) return;
      if (!to_adapter(retry)) return;
    }
    if (ending_.outcome().kind == Outcome::stopped) drain();
  }

  void adapter_gone() {
    ending_.finish(
        {Outcome::adapter_gone, fmt::format("adapter {} is gone (unplugged)", bridge_.adapter)});
  }

  // Frames the adapter received on the port, to the socket. False when the
  // bridge ends.
  bool from_adapter() {
    for (;;) {
      size_t n = 0;
      try {
        n = port_.receive(canfd::span<CANFD_Frame_St>(received_, kReceiveBatch), milliseconds(0));
      } catch (const canfd::Error &e) {
        if (!is_gone(e)) throw;
        adapter_gone();
        return false;
      }
      if (n == 0) return true;
      counters.from_bus.fetch_add(n);
      if (!deliver(received_, n)) return false;
      if (n < kReceiveBatch) return true;
    }
  }

  // Writes frames to the socket, waiting a little for room when it is full.
  bool deliver(const CANFD_Frame_St *frames, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
      const size_t size = to_socketcan(frames[i], out_[count]);
      if (size == CANFD_MTU && !config_.fd_frames) {
        counters.undelivered.fetch_add(1);
        if (!told_classic_only_)
          log_(
              fmt::format("{}: {} carries classic frames only (MTU {}): CAN FD frames from the bus "
                          "are dropped",
                          where(), config_.name, CAN_MTU));
        told_classic_only_ = true;
        continue;
      }
      iov_[count] = {&out_[count], size};
      count++;
    }
    const Clock::time_point give_up = Clock::now() + kWriteRetry;
    size_t done = 0;
    while (done < count) {
      mmsghdr msgs[kReceiveBatch];
      const size_t batch = count - done;
      for (size_t i = 0; i < batch; ++i) {
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov_[done + i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const int r = sendmmsg(config_.socket, msgs, static_cast<unsigned>(batch), MSG_DONTWAIT);
      if (r > 0) {
        done += static_cast<size_t>(r);
        note_up();
        continue;
      }
      const int err = errno;
      if (err == EINTR) continue;
      if ((err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) && Clock::now() < give_up &&
          !ending_.ended()) {
        pollfd p{config_.socket, POLLOUT, 0};
        poll(&p, 1, 1);
        continue;
      }
      if (err == ENODEV || err == ENXIO || err == EPIPE || err == ECONNRESET) {
        interface_gone(err);
        return false;
      }
      counters.undelivered.fetch_add(count - done);
      if (err == ENETDOWN) {
        note_down();
      } else if (err != EAGAIN && err != EWOULDBLOCK && err != ENOBUFS) {
        ending_.finish({Outcome::failed, fmt::format("{}: write to {}: {}", where(), config_.name,
                                                     errno_text(err))});
        return false;
      }
      break;
    }
    return true;
  }

  // Records written to the interface by others, into the held frames. False
  // when the bridge ends.
  bool from_socket(short revents) {
    if (revents & POLLERR) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(config_.socket, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err == ENODEV || err == ENXIO) {
        interface_gone(err);
        return false;
      }
      if (err == ENETDOWN) note_down();
    }
    const size_t room = bridge_.queue - held_.size();
    if (room == 0) {
      if (revents & POLLHUP) {
        interface_gone(EPIPE);
        return false;
      }
      return true;
    }
    const size_t want = std::min(room, kReadBatch);
    mmsghdr msgs[kReadBatch];
    iovec iov[kReadBatch];
    canfd_frame records[kReadBatch];
    alignas(cmsghdr) char control[kReadBatch][CMSG_SPACE(sizeof(uint32_t))];
    for (size_t i = 0; i < want; ++i) {
      iov[i] = {&records[i], sizeof records[i]};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_control = control[i];
      msgs[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    const int n =
        recvmmsg(config_.socket, msgs, static_cast<unsigned>(want), MSG_DONTWAIT, nullptr);
    if (n < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return true;
      if (err == ENETDOWN) {
        note_down();
        return true;
      }
      if (err == ENODEV || err == ENXIO) {
        interface_gone(err);
        return false;
      }
      ending_.finish({Outcome::failed,
                      fmt::format("{}: read from {}: {}", where(), config_.name, errno_text(err))});
      return false;
    }
    for (int i = 0; i < n; ++i) {
      // A socket that reads nothing has no writer left (a CAN raw socket
      // always reads a whole frame).
      if (msgs[i].msg_len == 0) {
        interface_gone(EPIPE);
        return false;
      }
      for (cmsghdr *c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr;
           c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
          uint32_t dropped = 0;
          std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
          counters.socket_dropped.store(dropped);
        }
      }
      CANFD_Frame_St f;
      switch (from_socketcan(&records[i], msgs[i].msg_len, f)) {
        case Incoming::frame:
          held_.push_back(f);
          break;
        case Incoming::error_frame:
          if (!told_error_frames_)
            log_(
                fmt::format("{}: error frames written to {} are not sent: they report errors, "
                            "they are no frames on the bus",
                            where(), config_.name));
          told_error_frames_ = true;
          break;
        case Incoming::bad_size:
          if (!told_bad_size_)
            log_(fmt::format("{}: records of {} bytes read from {} are not frames: not sent",
                             where(), msgs[i].msg_len, config_.name));
          told_bad_size_ = true;
          break;
      }
    }
    if (n > 0) note_up();
    return true;
  }

  // Hands held frames to the library as the bus takes them: a few reports'
  // worth ahead of the bus at most. While the bus has a report's worth or
  // more to carry anyway, frames go in whole reports (the adapter takes a
  // limited number of reports per second; the frames reach the bus no
  // later), and in batches of several reports while they back up. An idle
  // bus gets each frame at once. Sets retry to when to look again (max()
  // when nothing is held). False when the bridge ends.
  bool to_adapter(Clock::time_point &retry) {
    retry = Clock::time_point::max();
    while (!held_.empty()) {
      const size_t room = pacer_->room(Clock::now());
      const bool busy = BusPacer::kLead - room >= kFramesPerReport;
      if (busy && held_.size() < kFramesPerReport) {
        retry = pacer_->room_for(BusPacer::kLead - kFramesPerReport + 1);
        return true;
      }
      const size_t need = std::min(held_.size(), kMinBatch);
      if (room < need) {
        retry = pacer_->room_for(need);
        return true;
      }
      size_t n = std::min({room, held_.size(), kSendBatch});
      if (busy) n -= n % kFramesPerReport;
      std::copy_n(held_.begin(), n, sending_);
      size_t took = 0;
      try {
        took = port_.send(canfd::span<const CANFD_Frame_St>(sending_, n), kSendPatience);
      } catch (const canfd::Error &e) {
        if (!is_gone(e)) throw;
        adapter_gone();
        return false;
      }
      const Clock::time_point now = Clock::now();
      for (size_t i = 0; i < took; ++i) pacer_->sent(canfd::Frame::from_c(sending_[i]), now);
      held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(took));
      counters.to_bus.fetch_add(took);
      if (took < n) {
        // The library's transmit queue is full: the adapter takes reports
        // slower than the bus estimate says; look again shortly.
        retry = now + milliseconds(1);
        return true;
      }
    }
    return true;
  }

  // At a stop: the frames still held go out, as the bus takes them, for a
  // while; what is left is told.
  void drain() {
    const Clock::time_point until = Clock::now() + kDrainTime;
    Clock::time_point retry;
    while (!held_.empty() && Clock::now() < until) {
      if (!to_adapter(retry)) return;
      if (retry != Clock::time_point::max()) std::this_thread::sleep_until(std::min(retry, until));
    }
    if (!held_.empty())
      log_(fmt::format("{}: {} frames read from {} were not sent before the stop", where(),
                       held_.size(), config_.name));
  }

  void interface_gone(int err) {
    ending_.finish({Outcome::interface_gone,
                    fmt::format("{}: interface {} is gone ({})", where(), config_.name,
                                err == EPIPE ? "closed" : errno_text(err))});
  }

  void note_down() {
    if (!down_.exchange(true))
      log_(fmt::format("{}: {} is down: frames from the bus are dropped until it is up", where(),
                       config_.name));
  }
  void note_up() {
    if (down_.exchange(false)) log_(fmt::format("{}: {} is up again", where(), config_.name));
  }

  canfd::Port port_;
  const LinkConfig config_;
  const BridgeConfig &bridge_;
  Ending &ending_;
  const Log &log_;
  std::optional<BusPacer> pacer_;
  std::deque<CANFD_Frame_St> held_;  // read from the socket, not yet handed to the library
  CANFD_Frame_St received_[kReceiveBatch];
  CANFD_Frame_St sending_[kSendBatch];
  canfd_frame out_[kReceiveBatch];
  iovec iov_[kReceiveBatch];
  std::atomic<bool> down_{false};
  bool told_classic_only_ = false, told_error_frames_ = false, told_bad_size_ = false;
};

// Reads the bus state of each port and writes error frames for its changes,
// re-initialises ports after bus off if asked to, and reports losses.
class Monitor {
 public:
  Monitor(std::vector<std::unique_ptr<Link>> &links, const BridgeConfig &config, Ending &ending,
          const Log &log)
      : links_(links), config_(config), ending_(ending), log_(log), ports_(links.size()) {}

  void run() {
    try {
      loop();
    } catch (const std::exception &e) {
      ending_.finish({Outcome::failed, e.what()});
    }
  }

 private:
  // What the monitor keeps of a port.
  struct PortWatch {
    ErrorFrames errors;
    std::optional<Clock::time_point> restart_at;
    bool told_unreadable = false;
    // Counts at the last report.
    uint64_t to_bus = 0, from_bus = 0, socket_dropped = 0, undelivered = 0;
    uint64_t tx_refused = 0, rx_dropped = 0;
    std::optional<uint32_t> overflows;  // the adapter's count, while it is read
  };

  void loop() {
    for (size_t i = 0; i < links_.size(); ++i) read_counts(i, ports_[i], true);
    const Clock::time_point start = Clock::now();
    Clock::time_point next_state = start, next_report = start + config_.report_interval;
    last_report_ = start;
    for (;;) {
      Clock::time_point wake = next_report;
      if (config_.state_interval.count() > 0) wake = std::min(wake, next_state);
      if (ending_.wait_until(wake)) break;
      const Clock::time_point now = Clock::now();
      if (config_.state_interval.count() > 0 && now >= next_state) {
        for (size_t i = 0; i < links_.size(); ++i)
          if (!watch_state(*links_[i], ports_[i], now)) return;
        while (next_state <= now) next_state += config_.state_interval;
      }
      if (now >= next_report) {
        report(now);
        while (next_report <= now) next_report += config_.report_interval;
      }
    }
    // What was lost since the last report is told at the end, too; the
    // adapter's counts only while it is there.
    report(Clock::now());
  }

  // A command on a port: false (the bridge ends) when the adapter is gone;
  // other failures are told once per port and skipped.
  template <class F>
  bool command(Link &link, PortWatch &w, F &&f) {
    try {
      f();
      w.told_unreadable = false;
      return true;
    } catch (const canfd::Error &e) {
      if (is_gone(e)) {
        ending_.finish({Outcome::adapter_gone,
                        fmt::format("adapter {} is gone (unplugged)", config_.adapter)});
        return false;
      }
      if (!w.told_unreadable) log_(fmt::format("{}: {}", link.where(), e.what()));
      w.told_unreadable = true;
      return true;
    }
  }

  bool watch_state(Link &link, PortWatch &w, Clock::time_point now) {
    canfd::BusStatus s;
    bool read = false;
    if (!command(link, w, [&] {
          s = link.port().bus_status();
          read = true;
        }))
      return false;
    if (!read) return true;
    const canfd::BusState before = w.errors.state();
    if (const std::optional<can_frame> f = w.errors.update(s)) {
      link.write_error_frame(*f);
      log_(fmt::format("{}: {}{} (transmit errors {}, receive errors {})", link.where(),
                       before == canfd::BusState::bus_off ? "restarted, " : "", state_name(s.state),
                       s.tx_errors, s.rx_errors));
    }
    if (s.state != canfd::BusState::bus_off || config_.restart_after.count() == 0) {
      w.restart_at.reset();
      return true;
    }
    if (!w.restart_at) w.restart_at = now + config_.restart_after;
    if (now < *w.restart_at) return true;
    w.restart_at.reset();
    return command(link, w, [&] {
      link.port().reinitialize();
      log_(fmt::format("{}: re-initialised after bus off", link.where()));
    });
  }

  // The library's counts and the adapter's overflow count, into w (as the
  // baseline when first) or the deltas into the arguments.
  void read_counts(size_t i, PortWatch &w, bool first, uint64_t *tx_refused = nullptr,
                   uint64_t *rx_dropped = nullptr, uint64_t *overflows = nullptr) {
    Link &link = *links_[i];
    try {
      const canfd::FrameCounts c = link.port().frame_counts();
      if (!first) {
        *tx_refused = static_cast<uint32_t>(c.tx_refused - w.tx_refused);
        *rx_dropped = static_cast<uint32_t>(c.rx_dropped - w.rx_dropped);
      }
      w.tx_refused = c.tx_refused;
      w.rx_dropped = c.rx_dropped;
      const uint32_t o = link.port().status().buffer_status & kOverflowMask;
      // The count starts again at a reset or a re-initialisation.
      if (!first && w.overflows) *overflows = o >= *w.overflows ? o - *w.overflows : o;
      w.overflows = o;
    } catch (const canfd::Error &) {
      // Gone, or not answering: the links and the next state read tell.
    }
  }

  void report(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - last_report_).count();
    last_report_ = now;
    for (size_t i = 0; i < links_.size(); ++i) {
      Link &link = *links_[i];
      PortWatch &w = ports_[i];
      uint64_t tx_refused = 0, rx_dropped = 0, overflows = 0;
      read_counts(i, w, false, &tx_refused, &rx_dropped, &overflows);
      const uint64_t to_bus = link.counters.to_bus.load(), from_bus = link.counters.from_bus.load(),
                     socket_dropped = link.counters.socket_dropped.load(),
                     undelivered = link.counters.undelivered.load();
      // The kernel's count is 32 bits wide.
      const uint64_t kernel = static_cast<uint32_t>(socket_dropped - w.socket_dropped);
      const uint64_t not_written = undelivered - w.undelivered;
      std::vector<std::string> parts;
      if (kernel)
        parts.push_back(
            fmt::format("{} dropped by the kernel before the bridge read them from {} "
                        "(its receive queue was full)",
                        kernel, link.config().name));
      if (tx_refused)
        parts.push_back(fmt::format("{} refused by the library's transmit queue", tx_refused));
      if (overflows)
        parts.push_back(
            fmt::format("{} turned away by the adapter's full transmit queue", overflows));
      if (rx_dropped)
        parts.push_back(
            fmt::format("{} from the bus dropped by the library's full receive ring", rx_dropped));
      if (not_written)
        parts.push_back(
            fmt::format("{} from the bus not written to {}", not_written, link.config().name));
      if (!parts.empty()) {
        std::string line =
            fmt::format("{}: {} frames lost in the last {:.1f} s: ", link.where(),
                        kernel + tx_refused + overflows + rx_dropped + not_written, seconds);
        for (size_t k = 0; k < parts.size(); ++k) line += (k ? ", " : "") + parts[k];
        log_(line);
      }
      if (config_.stats)
        log_(fmt::format("{}: {:.0f} frames/s to the bus, {:.0f} from the bus", link.where(),
                         static_cast<double>(to_bus - w.to_bus) / seconds,
                         static_cast<double>(from_bus - w.from_bus) / seconds));
      w.to_bus = to_bus;
      w.from_bus = from_bus;
      w.socket_dropped = socket_dropped;
      w.undelivered = undelivered;
    }
  }

  std::vector<std::unique_ptr<Link>> &links_;
  const BridgeConfig &config_;
  Ending &ending_;
  const Log &log_;
  std::vector<PortWatch> ports_;
  Clock::time_point last_report_;
};

}  // namespace

Outcome run_bridge(canfd::Adapter &adapter, const BridgeConfig &config, int stop_fd,
                   const Log &log) {
  Ending ending;
  std::vector<std::unique_ptr<Link>> links;
  for (const LinkConfig &c : config.links)
    links.push_back(std::make_unique<Link>(adapter.port(c.port), c, config, ending, log));
  Monitor monitor(links, config, ending, log);

  std::vector<std::thread> threads;
  for (auto &l : links) threads.emplace_back([&l] { l->run(); });
  threads.emplace_back([&monitor] { monitor.run(); });

  pollfd p[2] = {{stop_fd, POLLIN, 0}, {ending.fd(), POLLIN, 0}};
  while (poll(p, 2, -1) < 0 && errno == EINTR) {
  }
  if (p[0].revents) ending.finish({Outcome::stopped, ""});
  for (std::thread &t : threads) t.join();
  return ending.outcome();
}

}  // namespace canfd_socketcan
