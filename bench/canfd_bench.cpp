// Benchmarks of the library against the raw transport, on the simulated
// adapter: frame reception, frame transmission, the command round trip, idle
// CPU, the wake-up latency of the blocking receive and a port-to-port
// transfer. Each library figure has a baseline measured in the same run on
// the same socket: a plain read() or write() loop on the node, with the
// library closed. Figures are printed as Markdown tables.
//
// Usage (under the sandbox preload, see scripts/bench.sh):
//   canfd-bench [--quick] [--rounds N] [section...]
// Sections: receive transmit bus command idle wakeup transfer (default: all).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "canfd.h"
#include "canfd_comm.h"
#include "sim.h"
#include "timing.h"
#include "wire.h"

namespace {

namespace wire = canfd::wire;
using Clock = std::chrono::steady_clock;

constexpr WORD kPid = 0x0E31;
constexpr DWORD kBid = 0x1234ABCD;  // the simulated adapter's default board id
constexpr const char *kNode = "/dev/hidraw0";
constexpr size_t kReportIn = 512;   // an input report from the adapter
constexpr size_t kReportOut = 513;  // report number 0 and the packet
constexpr size_t kRecordsPerReport = 6;

struct Options {
  bool quick = false;
  int rounds = 5;
  std::set<std::string> sections;
  bool wants(const char *s) const { return sections.empty() || sections.count(s) != 0; }
};

// ---- Measuring -------------------------------------------------------------

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double thread_cpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long this_tid() { return static_cast<long>(gettid()); }

// CPU time (ns) and number of runs on a CPU of every thread of the process,
// from /proc/self/task/<tid>/schedstat.
struct ThreadTimes {
  struct Entry {
    unsigned long long cpu_ns = 0, runs = 0;
  };
  std::map<long, Entry> threads;

  static ThreadTimes now() {
    ThreadTimes t;
    DIR *d = opendir("/proc/self/task");
    if (d == nullptr) return t;
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string path = std::string("/proc/self/task/") + e->d_name + "/schedstat";
      FILE *f = fopen(path.c_str(), "r");
      if (f == nullptr) continue;
      Entry en;
      unsigned long long wait_ns = 0;
      if (fscanf(f, "%llu %llu %llu", &en.cpu_ns, &wait_ns, &en.runs) == 3)
        t.threads[atol(e->d_name)] = en;
      fclose(f);
    }
    closedir(d);
    return t;
  }
};

// What the threads outside `skip` used from a to b (threads that started in
// between count from zero; threads that ended in between are not seen).
ThreadTimes::Entry used_between(const ThreadTimes &a, const ThreadTimes &b,
                                const std::set<long> &skip) {
  ThreadTimes::Entry sum;
  for (const auto &[tid, e] : b.threads) {
    if (skip.count(tid)) continue;
    const auto it = a.threads.find(tid);
    const ThreadTimes::Entry base = it == a.threads.end() ? ThreadTimes::Entry{} : it->second;
    sum.cpu_ns += e.cpu_ns - base.cpu_ns;
    sum.runs += e.runs - base.runs;
  }
  return sum;
}

// Every thread of b that is not in keep.
std::set<long> others(const ThreadTimes &b, const std::set<long> &keep) {
  std::set<long> s;
  for (const auto &t : b.threads)
    if (!keep.count(t.first)) s.insert(t.first);
  return s;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// ---- Output ----------------------------------------------------------------

std::string fmt(const char *f, double v) {
  char b[64];
  snprintf(b, sizeof b, f, v);
  return b;
}
std::string num(double v) { return fmt("%.0f", v); }
std::string count(unsigned long long v) { return std::to_string(v); }

// A Markdown table, columns padded to their widest cell.
class Table {
 public:
  explicit Table(std::vector<std::string> head) { rows_.push_back(std::move(head)); }
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void print() const {
    std::vector<size_t> w(rows_[0].size(), 3);
    for (const auto &r : rows_)
      for (size_t i = 0; i < r.size() && i < w.size(); ++i) w[i] = std::max(w[i], r[i].size());
    for (size_t k = 0; k < rows_.size(); ++k) {
      line(rows_[k], w);
      if (k == 0) line(std::vector<std::string>(w.size()), w, '-');
    }
    printf("\n");
    fflush(stdout);
  }

 private:
  static void line(const std::vector<std::string> &r, const std::vector<size_t> &w,
                   char fill = ' ') {
    printf("|");
    for (size_t i = 0; i < w.size(); ++i) {
      const std::string c = i < r.size() ? r[i] : "";
      printf("%c%s%s%c|", fill, c.c_str(), std::string(w[i] - c.size(), fill).c_str(), fill);
    }
    printf("\n");
  }
  std::vector<std::vector<std::string>> rows_;
};

void heading(const char *title, const char *what) { printf("### %s\n\n%s\n\n", title, what); }

[[noreturn]] void die(const char *what) {
  fprintf(stderr, "canfd-bench: %s\n", what);
  exit(1);
}

// ---- The adapter and the two ways to reach it --------------------------------

class Rig {
 public:
  Rig() : adapter_(sandbox_.add({})) {
    adapter_.set_recording(false);
    // The threads present now are the process's own and the adapter's.
    for (const auto &t : ThreadTimes::now().threads)
      if (t.first != this_tid()) sim_threads_.insert(t.first);
  }
  canfd_sim::Adapter &adapter() { return adapter_; }
  // Threads that are the simulated adapter's, not the host's.
  const std::set<long> &sim_threads() const { return sim_threads_; }

  // The node opened as a plain file: a raw connection to the adapter.
  int open_raw() {
    const int fd = open(kNode, O_RDWR);
    if (fd < 0) die("cannot open /dev/hidraw0: run under the sandbox preload (scripts/bench.sh)");
    if (!adapter_.wait_connected(2000)) die("the adapter did not take the raw connection");
    return fd;
  }
  void close_raw(int fd) {
    close(fd);
    wait_disconnected();
  }

  WORD open_library() {
    WORD h = 0;
    const int rc = CANFD_OpenDevice(&h, kPid, kBid);
    if (rc != 0) die("CANFD_OpenDevice failed: run under the sandbox preload (scripts/bench.sh)");
    if (!adapter_.wait_connected(2000)) die("the adapter did not take the library's connection");
    return h;
  }
  void close_library(WORD h) {
    CANFD_CloseDevice(h);
    wait_disconnected();
  }

 private:
  // The next connection must not be mistaken for the one just closed.
  void wait_disconnected() {
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (adapter_.connected() && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

  canfd_sim::Sandbox sandbox_;
  canfd_sim::Adapter &adapter_;
  std::set<long> sim_threads_;
};

// CPU used between two snapshots, split by who used it: the calling thread
// (the application, or the raw reader or writer), the library's workers, and
// the simulated adapter's own threads. Threads of the bench listed in `mine`
// count in none of them.
struct CpuUse {
  ThreadTimes::Entry self, workers, sim;

  CpuUse() = default;
  CpuUse(const ThreadTimes &a, const ThreadTimes &b, const Rig &rig, std::set<long> mine = {}) {
    self = used_between(a, b, others(b, {this_tid()}));
    sim = used_between(a, b, others(b, rig.sim_threads()));
    mine.insert(this_tid());
    mine.insert(rig.sim_threads().begin(), rig.sim_threads().end());
    workers = used_between(a, b, mine);
  }
  // Per item, in ns.
  static double per(unsigned long long ns, uint64_t n) {
    return static_cast<double>(ns) / static_cast<double>(n ? n : 1);
  }
};

// ---- Receive -----------------------------------------------------------------

// Full input reports of six CAN FD records with 64 data bytes and extended
// identifiers, alternating between port 1 (FC 16) and port 2 (FC 17). Each
// identifier is the record's sequence number on its port.
class RxStream {
 public:
  RxStream() {
    uint8_t data[64];
    for (int i = 0; i < 64; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    const CANRxPacketStruct rec =
        canfd_sim::make_rx_record(0, true, false, true, true, 15, data, 1, 2);
    for (int p = 0; p < 2; ++p) {
      uint8_t *r = report_[p];
      std::memset(r, 0, kReportIn);
      BYTE payload[kRecordsPerReport * wire::kRxRecordSize];
      for (size_t k = 0; k < kRecordsPerReport; ++k)
        std::memcpy(payload + k * wire::kRxRecordSize, &rec, sizeof rec);
      PackLargeDataPacket(static_cast<WORD>(0x10 + p), sizeof payload, payload, r);
    }
  }
  // Report i of the stream.
  const uint8_t *report(uint64_t i) {
    uint8_t *r = report_[i & 1];
    const uint64_t first = (i / 2) * kRecordsPerReport;
    for (size_t k = 0; k < kRecordsPerReport; ++k) {
      uint8_t *word = r + CANFD_HEADER_SIZE + k * wire::kRxRecordSize + wire::kRecIdWord;
      const DWORD seq = static_cast<DWORD>(first + k) & wire::kIdMask;
      wire::put_le32(word, (wire::get_le32(word) & ~wire::kIdMask) | seq);
    }
    return r;
  }

 private:
  uint8_t report_[2][kReportIn];
};

// The adapter side: sends the stream as fast as the socket takes it, or one
// report per period, then a report of zeros, which the library drops and
// the raw reader takes as the end.
struct Pusher {
  std::atomic<long> tid{0};
  std::atomic<bool> done{false};
  uint64_t sent = 0, failed = 0;
  double cpu = 0;  // seconds of the pushing thread, read after join
  std::thread thread;

  Pusher(canfd_sim::Adapter &a, uint64_t reports, Clock::duration period) {
    thread = std::thread([this, &a, reports, period] {
      tid = this_tid();
      RxStream stream;
      const auto start = Clock::now();
      for (uint64_t i = 0; i < reports; ++i) {
        if (period.count() != 0) std::this_thread::sleep_until(start + period * i);
        (a.send_report(stream.report(i), kReportIn) ? sent : failed)++;
      }
      const uint8_t end[kReportIn] = {};
      a.send_report(end, sizeof end);
      cpu = thread_cpu();
      done = true;
    });
    while (tid == 0) std::this_thread::yield();
  }
  ~Pusher() {
    if (thread.joinable()) thread.join();
  }
};

struct RxRun {
  double fps = 0;
  uint64_t frames = 0, lost = 0, disorder = 0;
  DWORD peak = 0;  // most records seen waiting in one receive ring
  CpuUse cpu;
  double pusher_ns = 0;  // CPU of the adapter's pushing thread

  // Counts a batch of one port's frames, checking that their numbers
  // follow on from *next.
  void take(const CANFD_Frame_St *f, DWORD n, DWORD &next) {
    peak = std::max(peak, n);
    for (DWORD k = 0; k < n; ++k) {
      if (f[k].id != next) ++disorder;
      next = (f[k].id + 1) & wire::kIdMask;
    }
    frames += n;
  }

  void finish(const Pusher &push, double secs, const ThreadTimes &a, const ThreadTimes &b,
              const Rig &rig) {
    lost = push.sent * kRecordsPerReport - frames;
    fps = static_cast<double>(frames) / secs;
    cpu = CpuUse(a, b, rig, {push.tid});
    pusher_ns = push.cpu * 1e9 / static_cast<double>(frames ? frames : 1);
  }
};

// Baseline: read() every report of the node and discard it.
RxRun receive_raw(Rig &rig, uint64_t reports, Clock::duration period) {
  const int fd = rig.open_raw();
  const ThreadTimes before = ThreadTimes::now();
  const auto t0 = Clock::now();
  Pusher push(rig.adapter(), reports, period);
  uint8_t buf[kReportOut];
  RxRun r;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0 || buf[0] == 0) break;
    const WORD fc = wire::get_le16(buf + 2);
    if (buf[0] == CANFD_OP_LARGE && (fc == 0x10 || fc == 0x11))
      r.frames += wire::get_le16(buf + 4) / wire::kRxRecordSize;
  }
  const auto t1 = Clock::now();
  const ThreadTimes after = ThreadTimes::now();
  push.thread.join();
  rig.close_raw(fd);
  r.finish(push, seconds(t1 - t0), before, after, rig);
  return r;
}

// One receive run through the library: opens it, starts the adapter's
// pusher, runs `take` (which takes the frames, counting them in r with next
// per port, and sets last at each) until it returns, and sums up.
template <class Take>
RxRun library_run(Rig &rig, uint64_t reports, Clock::duration period, Take take) {
  const WORD h = rig.open_library();
  const ThreadTimes before = ThreadTimes::now();
  const auto t0 = Clock::now();
  Pusher push(rig.adapter(), reports, period);
  RxRun r;
  DWORD next[2] = {0, 0};
  auto last = t0;
  take(h, push, reports * kRecordsPerReport, r, next, last);
  const ThreadTimes after = ThreadTimes::now();
  push.thread.join();
  rig.close_library(h);
  r.finish(push, seconds(last - t0), before, after, rig);
  return r;
}

// The library: its receive worker files the reports, the application takes
// every frame of both ports with CANFD_GetCANRxMsg, up to 60 from one port
// before it turns to the other. When both rings are empty it blocks in
// CANFD_WaitCANRxMsg, or sleeps 100 us when polling.
RxRun receive_library(Rig &rig, uint64_t reports, Clock::duration period, bool blocking) {
  return library_run(rig, reports, period,
                     [&](WORD h, const Pusher &push, uint64_t total, RxRun &r, DWORD *next,
                         Clock::time_point &last) {
                       while (r.frames < total) {
                         bool any = false;
                         for (BYTE port = 1; port <= 2; ++port) {
                           DWORD waiting = 0;
                           CANFD_GetCANRxMsgCount(h, port, &waiting);
                           r.peak = std::max(r.peak, waiting);
                           BYTE type, mode, rtr, fdf, dlc, data[64];
                           DWORD id, sec, usec;
                           for (int k = 0;
                                k < 60 && CANFD_GetCANRxMsg(h, port, &type, &mode, &id, &rtr, &fdf,
                                                            &dlc, data, &sec, &usec) == 0;
                                ++k) {
                             any = true;
                             ++r.frames;
                             if (id != next[port - 1]) ++r.disorder;
                             next[port - 1] = (id + 1) & wire::kIdMask;
                           }
                         }
                         const auto now = Clock::now();
                         if (any) {
                           last = now;
                           continue;
                         }
                         // Frames the ring could not hold never come: stop after a quiet spell.
                         if (push.done && now - last > std::chrono::milliseconds(200)) break;
                         if (blocking)
                           CANFD_WaitCANRxMsg(h, 1, 1);
                         else
                           std::this_thread::sleep_for(std::chrono::microseconds(100));
                       }
                     });
}

// The frame interface: the application waits on both ports' readiness
// descriptors and takes every waiting frame of a port with one
// CANFD_ReceiveCANFrames call.
RxRun receive_batch(Rig &rig, uint64_t reports, Clock::duration period) {
  return library_run(
      rig, reports, period,
      [&](WORD h, const Pusher &push, uint64_t total, RxRun &r, DWORD *next,
          Clock::time_point &last) {
        int fds[2];
        for (BYTE port = 1; port <= 2; ++port)
          if (CANFD_GetCANRxEventFd(h, port, &fds[port - 1]) != 0)
            die("CANFD_GetCANRxEventFd failed");
        std::vector<CANFD_Frame_St> frames(4096);
        while (r.frames < total) {
          pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
          if (poll(p, 2, 200) == 0) {
            // Frames the ring could not hold never come: stop after a quiet spell.
            if (push.done) break;
            continue;
          }
          for (BYTE port = 1; port <= 2; ++port) {
            if (!(p[port - 1].revents & POLLIN)) continue;
            DWORD n = 0;
            if (CANFD_ReceiveCANFrames(h, port, frames.data(), static_cast<DWORD>(frames.size()), 0,
                                       &n) != 0)
              continue;
            r.take(frames.data(), n, next[port - 1]);
            last = Clock::now();
          }
        }
      });
}

// The frame interface without a descriptor: the application waits in
// CANFD_ReceiveCANFrames, port 1 then port 2 (the reports alternate), and
// while it waits it reads the node itself.
RxRun receive_waiting(Rig &rig, uint64_t reports, Clock::duration period) {
  return library_run(rig, reports, period,
                     [&](WORD h, const Pusher &push, uint64_t total, RxRun &r, DWORD *next,
                         Clock::time_point &last) {
                       std::vector<CANFD_Frame_St> frames(4096);
                       for (BYTE port = 1; r.frames < total; port = port == 1 ? 2 : 1) {
                         DWORD n = 0;
                         const int rc = CANFD_ReceiveCANFrames(
                             h, port, frames.data(), static_cast<DWORD>(frames.size()), 200, &n);
                         if (rc == CANFD_ERR_RX_BUF_EMPTY && push.done) {
                           // Frames the ring could not hold never come: stop after a quiet spell.
                           DWORD other = 0;
                           CANFD_GetCANRxMsgCount(h, port == 1 ? 2 : 1, &other);
                           if (other == 0) break;
                         }
                         if (rc != 0) continue;
                         r.take(frames.data(), n, next[port - 1]);
                         last = Clock::now();
                       }
                     });
}

struct RxResults {
  std::vector<RxRun> raw, batch, waiting, wait, poll;

  void measure(Rig &rig, int rounds, uint64_t reports, Clock::duration period) {
    for (int i = 0; i < rounds; ++i) {
      raw.push_back(receive_raw(rig, reports, period));
      batch.push_back(receive_batch(rig, reports, period));
      waiting.push_back(receive_waiting(rig, reports, period));
      wait.push_back(receive_library(rig, reports, period, true));
      poll.push_back(receive_library(rig, reports, period, false));
    }
  }

  void print() const {
    Table t({"path", "frames/s", "ratio to raw read", "host CPU ns/frame", "worker CPU ns/frame",
             "app CPU ns/frame", "worker runs/report", "app runs/report", "adapter CPU ns/frame",
             "frames lost", "out of order", "peak ring fill"});
    add(t, "raw read() of the node", raw, false);
    add(t, "library, ReceiveCANFrames on readiness (batch)", batch, true);
    add(t, "library, ReceiveCANFrames waiting (batch, caller reads)", waiting, true);
    add(t, "library, GetCANRxMsg + WaitCANRxMsg when empty", wait, true);
    add(t, "library, GetCANRxMsg polling (100 us sleep when empty)", poll, true);
    t.print();
  }

 private:
  void add(Table &t, const char *name, const std::vector<RxRun> &runs, bool library) const {
    std::vector<double> fps, ratio, host, worker, app, wruns, aruns, pusher;
    uint64_t lost = 0, disorder = 0;
    DWORD peak = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
      const RxRun &x = runs[i];
      const CpuUse &c = x.cpu;
      const double reports = static_cast<double>(x.frames ? x.frames : 1) / kRecordsPerReport;
      fps.push_back(x.fps);
      ratio.push_back(x.fps / raw[i].fps);
      host.push_back(CpuUse::per(c.self.cpu_ns + c.workers.cpu_ns, x.frames));
      worker.push_back(CpuUse::per(c.workers.cpu_ns, x.frames));
      app.push_back(CpuUse::per(c.self.cpu_ns, x.frames));
      wruns.push_back(static_cast<double>(c.workers.runs) / reports);
      aruns.push_back(static_cast<double>(c.self.runs) / reports);
      pusher.push_back(x.pusher_ns);
      lost += x.lost;
      disorder += x.disorder;
      peak = std::max(peak, x.peak);
    }
    const char *none = "-";
    t.add({name, num(median(fps)), fmt("%.2f", median(ratio)), num(median(host)),
           library ? num(median(worker)) : none, library ? num(median(app)) : none,
           library ? fmt("%.2f", median(wruns)) : none, fmt("%.2f", median(aruns)),
           num(median(pusher)), count(lost), library ? count(disorder) : none,
           library ? count(peak) : none});
  }
};

void bench_receive(Rig &rig, const Options &o) {
  const uint64_t reports = o.quick ? 5000 : 100000;
  RxResults full;
  full.measure(rig, o.rounds, reports, Clock::duration::zero());
  heading("Receive at full rate",
          (std::to_string(reports) + " full 512-byte reports (" +
           std::to_string(reports * kRecordsPerReport) +
           " CAN FD frames of 64 bytes, six per report, ports 1 and 2 alternating) sent by one "
           "adapter-side thread through Adapter::send_report as fast as the socket takes them; "
           "median of " +
           std::to_string(o.rounds) +
           " rounds; frames lost summed, peak ring fill the largest (a ring holds 10239 "
           "records; for the batch path, the most frames one call took). Host CPU: the raw "
           "reader, or the receive worker and the application thread. Runs: times a thread "
           "was put on a CPU.")
              .c_str());
  full.print();

  const int rate = 2000;  // reports per second: 12 000 frames/s
  const uint64_t paced_reports = static_cast<uint64_t>(o.quick ? rate / 2 : rate * 2);
  RxResults paced;
  paced.measure(rig, 1, paced_reports, std::chrono::microseconds(1000000 / rate));
  heading("Receive at a paced rate",
          (std::to_string(rate) + " reports/s (" + std::to_string(rate * kRecordsPerReport) +
           " frames/s, 6 000 per port) for " + std::to_string(paced_reports) +
           " reports: the cost per frame when the stream does not saturate the host.")
              .c_str());
  paced.print();
}

// ---- Transmit ----------------------------------------------------------------

struct TxRun {
  double calls_per_s = 0, adapter_fps = 0;
  uint64_t calls = 0, accepted = 0, refused = 0, other = 0, at_adapter = 0;
  CpuUse cpu;
};

// Waits until the adapter has counted `target` frames on port 1, or until
// its count has not moved for 500 ms; returns the count and when it last moved.
std::pair<uint64_t, Clock::time_point> adapter_frames(canfd_sim::Adapter &a, uint64_t base,
                                                      uint64_t target) {
  uint64_t seen = a.tx_frames_received(1) - base;
  auto moved = Clock::now();
  while (seen < target && Clock::now() - moved < std::chrono::milliseconds(500)) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    const uint64_t n = a.tx_frames_received(1) - base;
    if (n != seen) {
      seen = n;
      moved = Clock::now();
    }
  }
  return {seen, moved};
}

enum class TxPath { Raw, LibraryGiveUp, LibraryRetry, LibraryBatch };

constexpr DWORD kTxBatch = 70;  // frames per CANFD_SendCANFrames call

// One CAN FD frame of 64 bytes per report on port 1. The raw path write()s
// the 513-byte report that the library would queue for it (a ':' FC 0 packet
// with one transmitted-frame record); the library paths call
// CANFD_SetCANTxMsg and, on CANFD_ERR_TX_QUEUE_FULL, give the frame up or
// offer it again after sched_yield().
TxRun transmit(Rig &rig, uint64_t frames, TxPath path) {
  BYTE data[64];
  for (int i = 0; i < 64; ++i) data[i] = static_cast<BYTE>(i * 3 + 5);
  const DWORD id = 0x1ABCDEF;
  BYTE report[kReportOut] = {};
  BYTE rec[wire::kTxRecordSize];
  wire::encode_tx_record({1, id, 0, 1, 15, data}, wire::TxKind::Normal, rec);
  PackLargeDataPacket(0x0000, sizeof rec, rec, report + 1);

  const bool raw = path == TxPath::Raw;
  const int fd = raw ? rig.open_raw() : -1;
  const WORD h = raw ? 0 : rig.open_library();
  const uint64_t base = rig.adapter().tx_frames_received(1);
  TxRun r;
  std::vector<CANFD_Frame_St> batch(kTxBatch);
  for (CANFD_Frame_St &f : batch) {
    f.id = id;
    f.flags = CANFD_FRAME_EXT | CANFD_FRAME_FD | CANFD_FRAME_BRS;
    f.len = 64;
    std::memcpy(f.data, data, sizeof data);
  }
  const ThreadTimes before = ThreadTimes::now();
  const auto t0 = Clock::now();
  for (uint64_t i = 0; path == TxPath::LibraryBatch && i < frames; i += kTxBatch) {
    // The call waits for room itself: no refusals, no retries.
    const DWORD n = static_cast<DWORD>(std::min<uint64_t>(kTxBatch, frames - i));
    DWORD sent = 0;
    ++r.calls;
    if (CANFD_SendCANFrames(h, 1, batch.data(), n, 10000, &sent) != 0) ++r.other;
    r.accepted += sent;
  }
  for (uint64_t i = 0; path != TxPath::LibraryBatch && i < frames; ++i) {
    for (;;) {
      ++r.calls;
      const int rc =
          raw ? (write(fd, report, sizeof report) == static_cast<ssize_t>(sizeof report) ? 0 : -1)
              : CANFD_SetCANTxMsg(h, 1, 1, id, 0, 1, 15, data);
      if (rc == 0) {
        ++r.accepted;
        break;
      }
      if (rc != CANFD_ERR_TX_QUEUE_FULL) {
        ++r.other;
        break;
      }
      ++r.refused;
      if (path != TxPath::LibraryRetry) break;
      sched_yield();
    }
  }
  const auto t1 = Clock::now();
  const auto [seen, at] = adapter_frames(rig.adapter(), base, r.accepted);
  r.cpu = CpuUse(before, ThreadTimes::now(), rig);
  if (raw)
    rig.close_raw(fd);
  else
    rig.close_library(h);
  r.at_adapter = seen;
  r.calls_per_s = static_cast<double>(r.calls) / seconds(t1 - t0);
  r.adapter_fps = static_cast<double>(seen) / seconds(at - t0);
  return r;
}

void bench_transmit(Rig &rig, const Options &o) {
  const uint64_t frames = o.quick ? 5000 : 50000;
  rig.adapter().set_loopback(false);
  std::vector<TxRun> raw, batch, drop, retry;
  for (int i = 0; i < o.rounds; ++i) {
    raw.push_back(transmit(rig, frames, TxPath::Raw));
    batch.push_back(transmit(rig, frames, TxPath::LibraryBatch));
    drop.push_back(transmit(rig, frames, TxPath::LibraryGiveUp));
    retry.push_back(transmit(rig, frames, TxPath::LibraryRetry));
  }
  rig.adapter().set_loopback(true);
  heading("Transmit",
          (std::to_string(frames) +
           " CAN FD frames of 64 bytes on port 1: one report each for the raw loop and "
           "SetCANTxMsg, seven to a report for SendCANFrames (" +
           std::to_string(kTxBatch) + " frames per call, waiting for room); median of " +
           std::to_string(o.rounds) +
           " rounds. Frames at the adapter are counted by the adapter; its rate runs to the "
           "last frame it took. CPU per frame at the adapter; runs: times a thread was put on "
           "a CPU.")
              .c_str());
  Table t({"path", "calls/s", "frames accepted", "refused (0x10007)", "frames at adapter",
           "frames at adapter/s", "ratio to raw write", "caller CPU ns/frame",
           "worker CPU ns/frame", "worker runs/frame", "adapter CPU ns/frame"});
  auto row = [&](const char *name, const std::vector<TxRun> &runs, bool library) {
    std::vector<double> calls, fps, ratio, acc, ref, seen, self, worker, wruns, sim;
    for (size_t i = 0; i < runs.size(); ++i) {
      const TxRun &x = runs[i];
      calls.push_back(x.calls_per_s);
      fps.push_back(x.adapter_fps);
      ratio.push_back(x.adapter_fps / raw[i].adapter_fps);
      acc.push_back(static_cast<double>(x.accepted));
      ref.push_back(static_cast<double>(x.refused));
      seen.push_back(static_cast<double>(x.at_adapter));
      self.push_back(CpuUse::per(x.cpu.self.cpu_ns, x.at_adapter));
      worker.push_back(CpuUse::per(x.cpu.workers.cpu_ns, x.at_adapter));
      wruns.push_back(static_cast<double>(x.cpu.workers.runs) /
                      static_cast<double>(x.at_adapter ? x.at_adapter : 1));
      sim.push_back(CpuUse::per(x.cpu.sim.cpu_ns, x.at_adapter));
    }
    t.add({name, num(median(calls)), num(median(acc)), library ? num(median(ref)) : "-",
           num(median(seen)), num(median(fps)), fmt("%.2f", median(ratio)), num(median(self)),
           library ? num(median(worker)) : "-", library ? fmt("%.2f", median(wruns)) : "-",
           num(median(sim))});
  };
  row("raw write() of 513-byte reports, one frame each", raw, false);
  row("library, SendCANFrames (batch, waits for room)", batch, true);
  row("library, SetCANTxMsg, refused frames given up", drop, true);
  row("library, SetCANTxMsg, refused frames retried after sched_yield", retry, true);
  t.print();
}

// ---- Both ports at once on the bus, with the timing model --------------------

struct BusKind {
  const char *name;
  BYTE flags;
  BYTE len;
};

struct BusRun {
  double fps = 0, physical = 0;
  uint64_t overflows = 0;
};

// Both ports send as fast as they can for `secs` seconds, and both take what
// the other sent, with the adapter's timing model on (USB at high speed, each
// frame on the shared bus for its wire time) at 1 Mbit/s and 5 Mbit/s. The
// frame interface sends batches and waits for room; the one-frame path
// offers each frame to CANFD_SetCANTxMsg until it is taken.
BusRun bus_run(Rig &rig, const BusKind &k, bool batch, double secs) {
  canfd_sim::Adapter &a = rig.adapter();
  canfd_sim::Timing timing;
  timing.on = true;
  timing.usb_reports_per_second = canfd_sim::kUsbHighSpeed;
  a.set_timing(timing);
  const WORD h = rig.open_library();
  for (BYTE port = 1; port <= 2; ++port) {
    CANFD_SetCANADBaudRate(h, port, 1000000, 5000000, 8000, 7500);
    CANFD_SetCANOPMode(h, port, 1, 0, 1);
  }
  const uint64_t overflow0 = a.tx_overflows(1) + a.tx_overflows(2);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> received{0};
  std::vector<std::thread> threads;
  for (BYTE port = 1; port <= 2; ++port) {
    threads.emplace_back([&, port] {
      std::vector<CANFD_Frame_St> frames(kTxBatch);
      for (DWORD i = 0; i < kTxBatch; ++i) {
        CANFD_Frame_St &f = frames[i];
        f.id = 0x100u * port + (i & 0xFF);
        f.flags = k.flags;
        f.len = k.len;
        std::memset(f.data, static_cast<int>(i), k.len);
      }
      const bool fd = k.flags & CANFD_FRAME_FD;
      while (!stop.load(std::memory_order_relaxed)) {
        if (batch) {
          DWORD sent = 0;
          CANFD_SendCANFrames(h, port, frames.data(), kTxBatch, 100, &sent);
          continue;
        }
        for (const CANFD_Frame_St &f : frames) {
          const BYTE dlc = fd ? wire::bytes_to_dlc(f.len) : f.len;
          while (CANFD_SetCANTxMsg(h, port, 0, f.id, 0, fd, dlc, const_cast<BYTE *>(f.data)) ==
                     CANFD_ERR_TX_QUEUE_FULL &&
                 !stop.load(std::memory_order_relaxed))
            sched_yield();
        }
      }
    });
    threads.emplace_back([&, port] {
      std::vector<CANFD_Frame_St> in(1024);
      while (!stop.load(std::memory_order_relaxed)) {
        DWORD n = 0;
        if (CANFD_ReceiveCANFrames(h, port, in.data(), 1024, 100, &n) == 0) received += n;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the bus is busy by now
  const uint64_t r0 = received;
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(secs));
  const uint64_t r1 = received;
  const auto t1 = Clock::now();
  stop = true;
  for (auto &t : threads) t.join();
  rig.close_library(h);
  a.set_timing(canfd_sim::Timing{});
  BusRun r;
  r.fps = static_cast<double>(r1 - r0) / seconds(t1 - t0);
  const bool fd = k.flags & CANFD_FRAME_FD;
  r.physical = 1e9 / static_cast<double>(canfd_sim::timing::wire_time_ns(
                         canfd_sim::timing::wire_bits(false, fd, false, k.len),
                         k.flags & CANFD_FRAME_BRS, 1000000, 5000000));
  r.overflows = a.tx_overflows(1) + a.tx_overflows(2) - overflow0;
  return r;
}

void bench_bus(Rig &rig, const Options &o) {
  const double secs = o.quick ? 1.0 : 3.0;
  const BusKind kinds[] = {
      {"classic, 8 bytes", 0, 8},
      {"CAN FD, 64 bytes, bit rate switch", CANFD_FRAME_FD | CANFD_FRAME_BRS, 64}};
  heading("Both ports on the bus",
          ("The adapter's timing model on: USB at 8000 reports/s each way, every frame on the "
           "bus for its wire time at 1 Mbit/s (data phase 5 Mbit/s), the two ports sharing the "
           "bus. Both ports send as fast as they can and take what the other sent, for " +
           fmt("%.0f", secs) +
           " s after a 0.3 s start. Physical rate: one frame per wire time, before stuffing. "
           "Adapter overflows: frames that found the adapter's transmit queue full (the "
           "senders outrun the bus).")
              .c_str());
  Table t(
      {"frames", "path", "frames/s on the bus", "physical frames/s", "ratio", "adapter overflows"});
  for (const BusKind &k : kinds) {
    for (bool batch : {true, false}) {
      const BusRun r = bus_run(rig, k, batch, secs);
      t.add({k.name, batch ? "SendCANFrames + ReceiveCANFrames" : "SetCANTxMsg + ReceiveCANFrames",
             num(r.fps), num(r.physical), fmt("%.2f", r.fps / r.physical), count(r.overflows)});
    }
  }
  t.print();
}

// ---- Command round trip ------------------------------------------------------

std::vector<double> command_raw(Rig &rig, int n) {
  const int fd = rig.open_raw();
  BYTE request[kReportOut] = {};
  PackReadPacket(0x0000, 0, nullptr, request + 1);  // firmware version: 24 00 00 00 00 00
  BYTE answer[kReportOut];
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    if (write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request)) die("write");
    // Frames still on their way from an earlier section are passed over, as
    // the library's receive worker files them apart from answers.
    do {
      if (read(fd, answer, sizeof answer) <= 0) die("raw answer");
    } while (answer[0] == CANFD_OP_LARGE);
    if (answer[0] != CANFD_OP_DONE) die("raw answer");
    us.push_back(micros(Clock::now() - t0));
  }
  rig.close_raw(fd);
  return us;
}

std::vector<double> command_library(Rig &rig, int n) {
  const WORD h = rig.open_library();
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    WORD fw = 0;
    const auto t0 = Clock::now();
    if (CANFD_GetFwVer(h, &fw) != 0) die("CANFD_GetFwVer failed");
    us.push_back(micros(Clock::now() - t0));
  }
  rig.close_library(h);
  return us;
}

void bench_command(Rig &rig, const Options &o) {
  // Blocks of each path in turn, so that both see the same machine: how
  // fast a sleeping thread wakes changes with the load of the other cores.
  const int blocks = o.quick ? 4 : 20, raw_n = 250, lib_n = 100;
  std::vector<double> raw, lib;
  for (int b = 0; b < blocks; ++b) {
    const std::vector<double> r = command_raw(rig, raw_n);
    const std::vector<double> l = command_library(rig, lib_n);
    raw.insert(raw.end(), r.begin(), r.end());
    lib.insert(lib.end(), l.begin(), l.end());
  }
  heading("Command round trip",
          "Firmware version read, one at a time. The raw path blocks in read() for the answer; "
          "the library's receive worker takes the answer and hands it to the waiting command, "
          "which looks for it for up to 50 us before it sleeps. The two paths run in "
          "alternating blocks. Ratio: median against the raw median.");
  Table t({"path", "calls", "calls/s", "median us", "p99 us", "max us", "ratio to raw"});
  const double raw_median = median(raw);
  auto row = [&](const char *name, const std::vector<double> &us) {
    double total = 0;
    for (double v : us) total += v;
    t.add({name, count(us.size()), num(static_cast<double>(us.size()) / (total / 1e6)),
           fmt("%.1f", median(us)), fmt("%.1f", percentile(us, 99)),
           fmt("%.1f", *std::max_element(us.begin(), us.end())),
           fmt("%.2f", median(us) / raw_median)});
  };
  row("raw write() request + read() answer", raw);
  row("library, CANFD_GetFwVer", lib);
  t.print();
}

// ---- Idle --------------------------------------------------------------------

void bench_idle(Rig &rig, const Options &o) {
  const WORD h = rig.open_library();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int ms = o.quick ? 500 : 2000;
  std::set<long> skip = rig.sim_threads();
  skip.insert(this_tid());
  const ThreadTimes before = ThreadTimes::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  const ThreadTimes after = ThreadTimes::now();
  const ThreadTimes::Entry workers = used_between(before, after, skip);
  const ThreadTimes::Entry all = used_between(before, after, {});
  const size_t worker_count = after.threads.size() - skip.size();
  rig.close_library(h);
  heading("Idle", ("An open device with no traffic, over " + std::to_string(ms) +
                   " ms. Runs: times a thread was put on a CPU.")
                      .c_str());
  Table t({"threads", "count", "CPU us", "runs"});
  t.add({"library workers", count(worker_count), fmt("%.1f", workers.cpu_ns / 1e3),
         count(workers.runs)});
  t.add({"whole process (the adapter, and the main thread taking the readings)",
         count(after.threads.size()), fmt("%.1f", all.cpu_ns / 1e3), count(all.runs)});
  t.print();
}

// ---- Wake-up latency -----------------------------------------------------------

// One round at a time: the waiter blocks, the adapter sends one report with
// one record on port 2, and the time from just before the send to the
// waiter's return is taken. `wait` blocks and returns true on success.
template <class Wait>
std::vector<double> wakeups(canfd_sim::Adapter &a, int rounds, Wait wait) {
  BYTE report[kReportIn] = {};
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  CANRxPacketStruct rec = canfd_sim::make_rx_record(0x123, false, false, false, false, 8, data);
  PackLargeDataPacket(0x11, sizeof rec, reinterpret_cast<BYTE *>(&rec), report);
  std::vector<Clock::time_point> back(rounds);
  std::atomic<int> armed{-1}, returned{-1};
  std::atomic<bool> failed{false};
  std::thread waiter([&] {
    for (int r = 0; r < rounds; ++r) {
      armed.store(r, std::memory_order_release);
      if (!wait()) failed = true;
      back[r] = Clock::now();
      returned.store(r, std::memory_order_release);
    }
  });
  std::vector<double> us;
  for (int r = 0; r < rounds && !failed; ++r) {
    while (armed.load(std::memory_order_acquire) < r)
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    // Time for the waiter to block.
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    const auto sent = Clock::now();
    a.send_report(report, sizeof report);
    while (returned.load(std::memory_order_acquire) < r)
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    us.push_back(micros(back[r] - sent));
  }
  waiter.join();
  if (failed) die("a wake-up round failed");
  return us;
}

void bench_wakeup(Rig &rig, const Options &o) {
  const int rounds = o.quick ? 100 : 1000;
  const int fd = rig.open_raw();
  const std::vector<double> raw = wakeups(rig.adapter(), rounds, [fd] {
    BYTE buf[kReportOut];
    return read(fd, buf, sizeof buf) > 0;
  });
  rig.close_raw(fd);
  const WORD h = rig.open_library();
  const std::vector<double> lib = wakeups(rig.adapter(), rounds, [h] {
    if (CANFD_WaitCANRxMsg(h, 2, 1000) != 0) return false;
    BYTE type, mode, rtr, fdf, dlc, data[64];
    DWORD id, sec, usec;
    return CANFD_GetCANRxMsg(h, 2, &type, &mode, &id, &rtr, &fdf, &dlc, data, &sec, &usec) == 0;
  });
  rig.close_library(h);
  heading("Wake-up latency",
          (std::to_string(rounds) +
           " rounds: from just before the adapter sends one report with one frame on port 2 to "
           "the return of a thread blocked in the call.")
              .c_str());
  Table t({"blocked in", "median us", "p99 us", "max us"});
  t.add({"raw read() of the node", fmt("%.1f", median(raw)), fmt("%.1f", percentile(raw, 99)),
         fmt("%.1f", *std::max_element(raw.begin(), raw.end()))});
  t.add({"CANFD_WaitCANRxMsg(h, 2, 1000)", fmt("%.1f", median(lib)),
         fmt("%.1f", percentile(lib, 99)), fmt("%.1f", *std::max_element(lib.begin(), lib.end()))});
  t.print();
}

// ---- Port 1 to port 2 transfer -------------------------------------------------

struct TransferRun {
  double seconds = 0, fps = 0;
  uint64_t arrived = 0, refused = 0, wrong = 0;
  CpuUse cpu;
  double sender_ns = 0;  // CPU of the sending thread
};

// 100 000 classic frames (8 bytes: the sequence number and its complement)
// sent on port 1 by one thread, retrying after sched_yield() while the
// report queue is full; the adapter's bus carries them to port 2, where the
// application takes them with CANFD_WaitCANRxMsg + CANFD_GetCANRxMsg.
TransferRun transfer(Rig &rig, DWORD frames) {
  const WORD h = rig.open_library();
  const ThreadTimes before = ThreadTimes::now();
  const auto t0 = Clock::now();
  std::atomic<uint64_t> refused{0};
  std::atomic<double> sender_cpu{0};
  std::atomic<long> sender_tid{0};
  std::thread sender([&] {
    sender_tid = this_tid();
    const double c0 = thread_cpu();
    BYTE data[8];
    for (DWORD i = 0; i < frames; ++i) {
      wire::put_le32(data, i);
      wire::put_le32(data + 4, ~i);
      while (CANFD_SetCANTxMsg(h, 1, 1, i, 0, 0, 8, data) == CANFD_ERR_TX_QUEUE_FULL) {
        refused.fetch_add(1, std::memory_order_relaxed);
        sched_yield();
      }
    }
    sender_cpu = thread_cpu() - c0;
  });
  TransferRun r;
  DWORD next = 0;
  auto last = t0;
  while (next < frames && Clock::now() - last < std::chrono::seconds(2)) {
    if (CANFD_WaitCANRxMsg(h, 2, 100) != 0) continue;
    BYTE type, mode, rtr, fdf, dlc, data[64];
    DWORD id, sec, usec;
    while (CANFD_GetCANRxMsg(h, 2, &type, &mode, &id, &rtr, &fdf, &dlc, data, &sec, &usec) == 0) {
      if (id != next || dlc != 8 || wire::get_le32(data) != next ||
          wire::get_le32(data + 4) != ~next)
        ++r.wrong;
      next = id + 1;
      ++r.arrived;
    }
    last = Clock::now();
  }
  const ThreadTimes after = ThreadTimes::now();
  sender.join();
  r.cpu = CpuUse(before, after, rig, {sender_tid});
  rig.close_library(h);
  r.refused = refused;
  r.seconds = seconds(last - t0);
  r.fps = static_cast<double>(r.arrived) / r.seconds;
  r.sender_ns = sender_cpu * 1e9 / static_cast<double>(r.arrived ? r.arrived : 1);
  return r;
}

void bench_transfer(Rig &rig, const Options &o) {
  const DWORD frames = o.quick ? 10000 : 100000;
  std::vector<TransferRun> runs;
  for (int i = 0; i < o.rounds; ++i) runs.push_back(transfer(rig, frames));
  heading("Port 1 to port 2 transfer",
          (std::to_string(frames) +
           " classic frames sent on port 1 (retried after sched_yield() while the report queue "
           "is full) and taken on port 2 through the adapter's bus. CPU: library and "
           "application threads; the adapter's own threads separately.")
              .c_str());
  Table t({"round", "seconds", "frames/s", "arrived", "lost", "wrong or out of order",
           "queue refusals", "sender CPU ns/frame", "workers CPU ns/frame", "receiver CPU ns/frame",
           "adapter CPU ns/frame"});
  std::vector<double> secs, fps;
  for (size_t i = 0; i < runs.size(); ++i) {
    const TransferRun &r = runs[i];
    secs.push_back(r.seconds);
    fps.push_back(r.fps);
    t.add({count(i + 1), fmt("%.3f", r.seconds), num(r.fps), count(r.arrived),
           count(frames - r.arrived), count(r.wrong), count(r.refused), num(r.sender_ns),
           num(CpuUse::per(r.cpu.workers.cpu_ns, r.arrived)),
           num(CpuUse::per(r.cpu.self.cpu_ns, r.arrived)),
           num(CpuUse::per(r.cpu.sim.cpu_ns, r.arrived))});
  }
  if (runs.size() > 1) t.add({"median", fmt("%.3f", median(secs)), num(median(fps))});
  t.print();
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      o.quick = true;
    } else if (a == "--rounds" && i + 1 < argc) {
      o.rounds = std::max(1, atoi(argv[++i]));
    } else if (a == "receive" || a == "transmit" || a == "bus" || a == "command" || a == "idle" ||
               a == "wakeup" || a == "transfer") {
      o.sections.insert(a);
    } else {
      fprintf(stderr,
              "usage: canfd-bench [--quick] [--rounds N] "
              "[receive|transmit|bus|command|idle|wakeup|transfer...]\n");
      return 2;
    }
  }
  if (o.quick && o.rounds == 5) o.rounds = 1;

  Rig rig;
  utsname u{};
  uname(&u);
  printf(
      "## libcanfd benchmarks\n\n%ld CPUs, %s %s %s; simulated adapter over a Unix "
      "seqpacket socket (the hidraw sandbox).\n\n",
      sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release, u.machine);
  if (o.wants("receive")) bench_receive(rig, o);
  if (o.wants("transmit")) bench_transmit(rig, o);
  if (o.wants("bus")) bench_bus(rig, o);
  if (o.wants("command")) bench_command(rig, o);
  if (o.wants("idle")) bench_idle(rig, o);
  if (o.wants("wakeup")) bench_wakeup(rig, o);
  if (o.wants("transfer")) bench_transfer(rig, o);
  return 0;
}
