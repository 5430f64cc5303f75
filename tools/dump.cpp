// canfd dump: received frames of one or both ports in candump's layouts,
// with optional rate and bus-load lines and frames sent meanwhile.
#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "frame_text.h"
#include "tool.h"

namespace canfd_tool {

namespace {

using Clock = std::chrono::steady_clock;
using canfd::Timestamp;

struct Received {
  uint8_t port;
  canfd::Frame frame;
};

// Bits of a frame on the bus, stuff bits left out: those at the nominal bit
// rate and, for a CAN FD frame, those of the data phase (ESI, DLC, data,
// stuff count, CRC) at the data bit rate. The receive calls do not tell
// whether BRS was set: CAN FD frames are counted as switching.
struct FrameBits {
  unsigned nominal;
  unsigned data;
};

FrameBits frame_bits(const canfd::Frame &f) {
  const unsigned n = f.remote ? 0 : static_cast<unsigned>(f.size()) * 8;
  if (!f.fd) return {(f.extended ? 67u : 47u) + n, 0};
  // Arbitration up to BRS, then CRC delimiter, ACK, end of frame and the
  // inter-frame space (13 bits).
  const unsigned nominal = (f.extended ? 36u : 17u) + 13u;
  const unsigned crc = f.size() > 16 ? 21u : 17u;
  return {nominal, 1u + 4u + n + 4u + crc};
}

double frame_seconds(const canfd::Frame &f, const canfd::BitTiming &t) {
  const FrameBits b = frame_bits(f);
  double s = t.bitrate ? b.nominal / static_cast<double>(t.bitrate) : 0.0;
  if (b.data) {
    const uint32_t rate = t.data_bitrate ? t.data_bitrate : t.bitrate;
    s += rate ? b.data / static_cast<double>(rate) : 0.0;
  }
  return s;
}

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
// stamps, or the log layout of -L.
class Printer {
 public:
  Printer(const DumpOptions &o, uint32_t bid) : o_(o) {
    for (uint8_t p = 1; p <= 2; ++p) names_[p - 1] = port_name(bid, p);
  }

  void add(fmt::memory_buffer &out, const Received &r) {
    const canfd::Frame &f = r.frame;
    const std::string &name = names_[r.port - 1];
    auto it = std::back_inserter(out);
    if (o_.log) {
      fmt::format_to(it, "({:010}.{:06}) {} {}\n", f.time.sec, f.time.usec, name, compact(f));
      return;
    }
    out.push_back(' ');
    if (o_.time_mode == 'a') {
      fmt::format_to(it, "({:010}.{:06}) ", f.time.sec, f.time.usec);
    } else if (o_.time_mode == 'd' || o_.time_mode == 'z') {
      if (!last_) last_ = f.time;
      const Timestamp d = elapsed(*last_, f.time);
      fmt::format_to(it, "({:03}.{:06}) ", d.sec, d.usec);
      if (o_.time_mode == 'd') last_ = f.time;
    }
    // Once an extended frame was shown, standard identifiers line up with it.
    if (f.extended) indent_ = true;
    fmt::format_to(it, " {}  {}\n", name, long_form(f, indent_));
  }

 private:
  const DumpOptions &o_;
  std::string names_[2];
  std::optional<Timestamp> last_;
  bool indent_ = false;
};

// What the receive and send threads hand to the printing thread.
struct Shared {
  std::mutex m;
  std::condition_variable cv;
  std::vector<Received> frames;
  std::exception_ptr error;
  bool sending = false;
  Clock::time_point send_done;
  std::atomic<bool> stopping{false};

  void fail(std::exception_ptr e) {
    std::lock_guard<std::mutex> lk(m);
    if (!error) error = e;
    cv.notify_all();
  }
};

void receive_loop(canfd::Port port, Shared &sh) {
  try {
    std::vector<Received> batch;
    while (!sh.stopping.load()) {
      if (!port.wait(std::chrono::milliseconds(100))) continue;
      // Take what waits, a bounded amount at a time, and hand it on whole.
      for (int k = 0; k < 512; ++k) {
        std::optional<canfd::Frame> f = port.receive();
        if (!f) break;
        batch.push_back({port.number(), *f});
      }
      std::lock_guard<std::mutex> lk(sh.m);
      sh.frames.insert(sh.frames.end(), batch.begin(), batch.end());
      batch.clear();
      sh.cv.notify_all();
    }
  } catch (...) {
    sh.fail(std::current_exception());
  }
}

void send_loop(canfd::Port port, const DumpOptions &o, Shared &sh) {
  try {
    send_frames(port, o.send, o.send_count, o.send_gap);
  } catch (...) {
    sh.fail(std::current_exception());
  }
  std::lock_guard<std::mutex> lk(sh.m);
  sh.sending = false;
  sh.send_done = Clock::now();
  sh.cv.notify_all();
}

}  // namespace

int run_dump(canfd::Adapter &adapter, const DumpOptions &o) {
  std::vector<PortStats> stats;
  for (uint8_t p : o.ports) {
    PortStats s;
    s.port = p;
    if (o.stats) s.timing = adapter.port(p).bit_timing();
    stats.push_back(s);
  }
  auto stats_of = [&](uint8_t p) -> PortStats & {
    return *std::find_if(stats.begin(), stats.end(),
                         [p](const PortStats &s) { return s.port == p; });
  };
  Printer printer(o, adapter.bid());

  Shared sh;
  sh.sending = !o.send.empty();
  std::vector<std::thread> threads;
  for (uint8_t p : o.ports) threads.emplace_back(receive_loop, adapter.port(p), std::ref(sh));
  if (!o.send.empty())
    threads.emplace_back(send_loop, adapter.port(static_cast<uint8_t>(o.send_port)), std::cref(o),
                         std::ref(sh));

  // With frames to send and no other way to end, stop once they are sent
  // and a second has passed without another frame.
  uint64_t idle_limit_ms = o.idle_limit_ms;
  if (!o.send.empty() && o.send_count != 0 && !o.max_frames && !o.time_limit_ms && !idle_limit_ms)
    idle_limit_ms = 1000;

  const Clock::time_point start = Clock::now();
  Clock::time_point last_tick = start, last_frame = start;
  uint64_t shown = 0;
  std::exception_ptr error;
  std::vector<Received> batch;
  for (;;) {
    Clock::time_point wake = Clock::now() + std::chrono::milliseconds(100);
    if (o.stats) wake = std::min(wake, last_tick + std::chrono::seconds(1));
    bool sending;
    Clock::time_point send_done;
    {
      std::unique_lock<std::mutex> lk(sh.m);
      sh.cv.wait_until(lk, wake, [&] { return !sh.frames.empty() || sh.error || g_stop.load(); });
      batch.swap(sh.frames);
      error = sh.error;
      sending = sh.sending;
      send_done = sh.send_done;
    }
    if (error) break;
    const Clock::time_point now = Clock::now();

    // The two ports fill separate buffers: show each batch in time order.
    std::stable_sort(batch.begin(), batch.end(), [](const Received &a, const Received &b) {
      return a.frame.time < b.frame.time;
    });
    fmt::memory_buffer out;
    bool enough = false;
    for (const Received &r : batch) {
      printer.add(out, r);
      PortStats &s = stats_of(r.port);
      ++s.frames;
      s.busy += frame_seconds(r.frame, s.timing);
      if (o.max_frames && ++shown >= o.max_frames) {
        enough = true;
        break;
      }
    }
    if (!batch.empty()) last_frame = now;
    batch.clear();
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

    if (enough || g_stop.load()) break;
    if (o.time_limit_ms && now - start >= std::chrono::milliseconds(o.time_limit_ms)) break;
    if (idle_limit_ms && !sending) {
      const Clock::time_point quiet_since =
          std::max(last_frame, o.send.empty() ? start : send_done);
      if (now - quiet_since >= std::chrono::milliseconds(idle_limit_ms)) break;
    }
  }

  // Ends the sender too, if it is still at work.
  sh.stopping.store(true);
  const bool stopped_by_signal = g_stop.exchange(true);
  for (std::thread &t : threads) t.join();
  g_stop.store(stopped_by_signal);
  if (error) std::rethrow_exception(error);

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

}  // namespace canfd_tool
