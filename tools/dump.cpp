// canfd dump: received frames of one or both ports in candump's layouts,
// with optional rate and bus-load lines and frames sent meanwhile.
#include <fmt/format.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "cli.h"
#include "frame_text.h"
#include "tool.h"
#include "transmit.h"

namespace canfd_tool {

namespace {

using canfd::Timestamp;

struct DumpOptions {
  std::vector<uint8_t> ports;
  char time_mode = 0;         // 0, 'a', 'A', 'd' or 'z'
  bool adapter_time = false;  // -H: the adapter's time stamps, not host time
  bool log = false;           // -L
  bool extra = false;         // -x: BRS and ESI columns
  uint64_t max_frames = 0;
  uint64_t time_limit_ms = 0;
  uint64_t idle_limit_ms = 0;
  bool stats = false;
  std::vector<canfd::Frame> send;
  int send_port = 0;
  uint64_t send_count = 1;
  std::chrono::microseconds send_gap{0};
};

struct Received {
  uint8_t port;
  canfd::Frame frame;
};

struct PortStats {
  uint8_t port = 0;
  canfd::BitTiming timing;
  uint64_t frames = 0, total_frames = 0;
  double busy = 0, total_busy = 0;  // seconds of bus time
};

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// t - since, or zero when t is earlier.
Timestamp elapsed(const Timestamp &since, const Timestamp &t) {
  if (t < since) return {};
  Timestamp d{t.sec - since.sec, 0};
  if (t.usec >= since.usec) {
    d.usec = t.usec - since.usec;
  } else {
    d.sec -= 1;
    d.usec = t.usec + 1000000 - since.usec;
  }
  return d;
}

// Writes frames as candump does: the default layout with optional time
// stamps and the -x columns, or the log layout of -L.
class Printer {
 public:
  Printer(const DumpOptions &o, uint32_t bid) : o_(o) {
    for (uint8_t p = 1; p <= 2; ++p) names_[p - 1] = port_name(bid, p);
  }

  void add(fmt::memory_buffer &out, const Received &r) {
    const canfd::Frame &f = r.frame;
    const Timestamp &t = o_.adapter_time ? f.time : f.host_time;
    const std::string &name = names_[r.port - 1];
    auto it = std::back_inserter(out);
    if (o_.log) {
      fmt::format_to(it, "({:010}.{:06}) {} {}{}\n", t.sec, t.usec, name, compact(f),
                     o_.extra ? " R" : "");
      return;
    }
    out.push_back(' ');
    if (o_.time_mode == 'a') {
      fmt::format_to(it, "({:010}.{:06}) ", t.sec, t.usec);
    } else if (o_.time_mode == 'A') {
      const time_t secs = t.sec;
      struct tm tm;
      localtime_r(&secs, &tm);
      char date[32];
      std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
      fmt::format_to(it, "({}.{:06}) ", date, t.usec);
    } else if (o_.time_mode == 'd' || o_.time_mode == 'z') {
      if (!last_) last_ = t;
      const Timestamp d = elapsed(*last_, t);
      fmt::format_to(it, "({:03}.{:06}) ", d.sec, d.usec);
      if (o_.time_mode == 'd') last_ = t;
    }
    // Once an extended frame was shown, standard identifiers line up with it.
    if (f.extended) indent_ = true;
    fmt::format_to(it, " {}", name);
    if (o_.extra) fmt::format_to(it, "  RX {} {}", f.brs ? 'B' : '-', f.esi ? 'E' : '-');
    fmt::format_to(it, "  {}\n", long_form(f, indent_));
  }

 private:
  const DumpOptions &o_;
  std::string names_[2];
  std::optional<Timestamp> last_;
  bool indent_ = false;
};

// The sender of --send, in a thread of its own.
class Sender {
 public:
  Sender(canfd::Port port, const DumpOptions &o)
      : thread_([this, port, &o]() mutable { run(port, o); }) {}
  ~Sender() {
    stop_.store(true);
    thread_.join();
  }

  // Whether it is done, and since when; the error that ended it, if any.
  bool done(Clock::time_point &since, std::exception_ptr &error) {
    std::lock_guard<std::mutex> lk(m_);
    since = done_at_;
    error = error_;
    return done_;
  }

 private:
  void run(canfd::Port &port, const DumpOptions &o) {
    std::exception_ptr error;
    try {
      uint64_t round = 0;
      size_t i = 0;
      const auto next = [&](canfd::Frame &f) {
        if (i == o.send.size()) {
          i = 0;
          ++round;
        }
        if (o.send_count != 0 && round == o.send_count) return false;
        f = o.send[i++];
        return true;
      };
      transmit(port, {o.send_gap, 1}, next, {}, &stop_);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lk(m_);
    done_ = true;
    done_at_ = Clock::now();
    error_ = error;
  }

  std::atomic<bool> stop_{false};
  std::mutex m_;
  bool done_ = false;
  Clock::time_point done_at_;
  std::exception_ptr error_;
  std::thread thread_;  // last: starts once the rest is set up
};

int run_dump(canfd::Adapter &adapter, const DumpOptions &o) {
  std::vector<canfd::Port> ports;
  std::vector<PortStats> stats;
  std::vector<pollfd> fds;
  for (uint8_t p : o.ports) {
    ports.push_back(adapter.port(p));
    PortStats s;
    s.port = p;
    if (o.stats) s.timing = ports.back().bit_timing();
    stats.push_back(s);
    fds.push_back({ports.back().rx_event_fd(), POLLIN, 0});
  }
  Printer printer(o, adapter.bid());

  std::optional<Sender> sender;
  if (!o.send.empty()) sender.emplace(adapter.port(static_cast<uint8_t>(o.send_port)), o);

  // With frames to send and no other way to end, stop once they are sent
  // and a second has passed without another frame.
  uint64_t idle_limit_ms = o.idle_limit_ms;
  if (!o.send.empty() && o.send_count != 0 && !o.max_frames && !o.time_limit_ms && !idle_limit_ms)
    idle_limit_ms = 1000;

  constexpr size_t kTake = 512;  // frames taken from a port at a time
  std::vector<canfd::Frame> taken(kTake);
  std::vector<Received> batch;
  const Clock::time_point start = Clock::now();
  Clock::time_point last_tick = start, last_frame = start;
  uint64_t shown = 0;
  while (!g_stop.load()) {
    Clock::time_point wake = Clock::now() + std::chrono::milliseconds(100);
    if (o.stats) wake = std::min(wake, last_tick + std::chrono::seconds(1));
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
    if (poll(fds.data(), fds.size(), std::max<int>(0, static_cast<int>(wait.count()))) < 0 &&
        errno != EINTR)
      throw ToolError(fmt::format("poll: {}", std::strerror(errno)));

    batch.clear();
    for (size_t i = 0; i < ports.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      const size_t n = ports[i].receive(canfd::span<canfd::Frame>(taken), std::chrono::seconds(0));
      for (size_t k = 0; k < n; ++k) batch.push_back({ports[i].number(), taken[k]});
    }
    const Clock::time_point now = Clock::now();

    // The two ports fill separate rings: show each batch in the order of
    // the adapter's clock, which both share.
    if (ports.size() > 1)
      std::stable_sort(batch.begin(), batch.end(), [](const Received &a, const Received &b) {
        return a.frame.time < b.frame.time;
      });
    fmt::memory_buffer out;
    bool enough = false;
    for (const Received &r : batch) {
      printer.add(out, r);
      PortStats &s = *std::find_if(stats.begin(), stats.end(),
                                   [&](const PortStats &x) { return x.port == r.port; });
      ++s.frames;
      s.busy += frame_seconds(r.frame, s.timing);
      if (o.max_frames && ++shown >= o.max_frames) {
        enough = true;
        break;
      }
    }
    if (!batch.empty()) last_frame = now;
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);

    if (o.stats && now - last_tick >= std::chrono::seconds(1)) {
      const double secs = seconds_between(last_tick, now);
      for (PortStats &s : stats) {
        std::string fps;
        try {
          fps = fmt::format(" (adapter counts {})", adapter.port(s.port).rx_frames_per_second());
        } catch (const canfd::Error &) {
          fps = " (adapter count unavailable)";
        }
        const double rate = s.frames / secs, load = 100.0 * s.busy / secs;
        fmt::print(stderr, "{}: {:.0f} frames/s{}, bus load {:.1f}%\n",
                   port_name(adapter.bid(), s.port), rate, fps, load);
        s.total_frames += s.frames;
        s.total_busy += s.busy;
        s.frames = 0;
        s.busy = 0;
      }
      last_tick = now;
    }

    bool sending = false;
    Clock::time_point send_done = start;
    if (sender) {
      std::exception_ptr error;
      sending = !sender->done(send_done, error);
      if (error) std::rethrow_exception(error);
    }
    if (enough) break;
    if (o.time_limit_ms && now - start >= std::chrono::milliseconds(o.time_limit_ms)) break;
    if (idle_limit_ms && !sending) {
      const Clock::time_point quiet_since = std::max(last_frame, send_done);
      if (now - quiet_since >= std::chrono::milliseconds(idle_limit_ms)) break;
    }
  }

  if (o.stats) {
    const double secs = seconds_between(start, Clock::now());
    for (PortStats &s : stats) {
      s.total_frames += s.frames;
      s.total_busy += s.busy;
      fmt::print(stderr, "{}: {} frames in {:.2f} s, {:.0f} frames/s, bus load {:.1f}%\n",
                 port_name(adapter.bid(), s.port), s.total_frames, secs,
                 secs > 0 ? s.total_frames / secs : 0.0,
                 secs > 0 ? 100.0 * s.total_busy / secs : 0.0);
    }
  }
  return 0;
}

const char kDumpFooter[] = R"TXT(
Output, as candump writes it:
  default  "  canfd-1234ABCD-2  123   [4]  DE AD BE EF" (CAN FD lengths as [12])
  -x       "  canfd-1234ABCD-2  RX B E  123  [12]  ..." (B: bit rate switch,
           E: error state indicator; - where not set)
  -L       "(1700000000.123456) canfd-1234ABCD-2 123#DEADBEEF"; CAN FD frames
           as 123##<flags><data>, flags 1 BRS and 2 ESI (-x adds " R")

Time stamps (-t a, -t A, -L) are host time, seconds since 1970 as candump
writes them: the library maps the adapter's time stamp of each frame to the
host's clock. -H shows the adapter's own time stamps instead (seconds since
its power-on). -t d and -t z take differences of the same time stamps.

--stats prints, once a second on standard error, each port's frames per second
(counted here, and as the adapter counts them) and its bus load: the bus time of
the frames received in that second, divided by the second. A classic frame with
n data bytes takes 47+8n bits (extended: 67+8n) at the bit rate; a CAN FD frame
takes 30 bits (extended: 49) at the bit rate plus 26+8n bits (n > 16: 30+8n) in
its data phase, at the data bit rate with BRS and at the bit rate without.
Stuff bits are not counted.

--send sends frames while dumping, on --send-port or else on the port that is
not dumped; --send takes every frame that follows it, so give the ports first.
Without -n, --time or -T, the dump then ends one second after the last frame
was sent and nothing more arrived.)TXT";

}  // namespace

Subcommand add_dump(CLI::App &app) {
  struct Args {
    std::string device;
    std::vector<int> ports;
    std::string time_mode, time_limit;
    bool log = false, stats = false, adapter_time = false, extra = false;
    uint64_t max_frames = 0, idle_ms = 0;
    std::vector<std::string> send;
    int send_port = 0;
    uint64_t count = 1;
    double gap_ms = 0;
  };
  auto a = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("dump", "Show received frames as candump does");
  add_device(sub, a->device);
  sub->add_option("ports", a->ports, "ports to dump (default both)");
  sub->add_option("-t", a->time_mode,
                  "time stamps: a absolute, A absolute with date, d delta, z from the first")
      ->check(CLI::IsMember({"a", "A", "d", "z"}));
  sub->add_flag("-H,--adapter-time", a->adapter_time,
                "the adapter's own time stamps instead of host time");
  sub->add_flag("-x", a->extra, "extra columns: RX and the BRS and ESI flags, as candump -x");
  sub->add_flag("-L,--log", a->log, "log layout, as candump -L");
  sub->add_option("-n", a->max_frames, "stop after this many frames");
  sub->add_option("--time", a->time_limit, "stop after this time: 10 or 10s, 500ms");
  sub->add_option("-T", a->idle_ms, "stop when no frame arrived for this many ms");
  sub->add_flag("--stats", a->stats, "print rate and bus load once a second (standard error)");
  sub->add_option("--send", a->send, "frames to send meanwhile (cansend syntax)");
  sub->add_option("--send-port", a->send_port, "port for --send (default: the other one)")
      ->check(CLI::IsMember({1, 2}));
  sub->add_option("-c,--count", a->count, "send the --send frames this many times");
  sub->add_option("-g,--gap", a->gap_ms, "milliseconds between sent frames");
  sub->footer(kDumpFooter);

  return {sub, [a] {
            DumpOptions o;
            o.ports = ports_or_all(a->ports);
            o.time_mode = a->time_mode.empty() ? 0 : a->time_mode[0];
            o.log = a->log;
            o.adapter_time = a->adapter_time;
            o.extra = a->extra;
            o.max_frames = a->max_frames;
            if (!a->time_limit.empty())
              o.time_limit_ms = parse_value("--time", a->time_limit, parse_duration_ms);
            o.idle_limit_ms = a->idle_ms;
            o.stats = a->stats;
            o.send = parse_frames(a->send);
            o.send_count = a->count;
            o.send_gap = gap_of(a->gap_ms);
            if (!o.send.empty()) {
              o.send_port = a->send_port;
              if (o.send_port == 0) {
                if (o.ports.size() != 1)
                  throw UsageError("--send while dumping both ports needs --send-port");
                o.send_port = o.ports[0] == 1 ? 2 : 1;
              }
            }
            install_stop_handlers();
            canfd::Adapter adapter = open_adapter(a->device);
            return run_dump(adapter, o);
          }};
}

}  // namespace canfd_tool
