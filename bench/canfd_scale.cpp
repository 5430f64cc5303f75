// canfd-scale: the library with a rack of adapters at full load. For each
// number of adapters, each kind of frame and each way of consuming them, it
// starts canfd-sim (the simulated adapters, with the timing model on, in a
// process of their own) and runs itself under its sandbox to measure the
// library's process alone: bus share, frames lost, order, CPU, context
// switches and system calls. Prints Markdown tables and the goals.
//
// Usage (see scripts/bench.sh):
//   canfd-scale [--quick] [--seconds S] [--adapters N[,N...]] [--python-bench PATH]
// The measuring child is the same program:
//   canfd-scale --measure CONSUMER KIND ADAPTERS SECONDS SIM-PID
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "canfd.h"
#include "canfd_comm.h"
#include "timing.h"
#include "wire.h"

extern char **environ;

namespace {

namespace wire = canfd::wire;
using bench::Clock;
using bench::count;
using bench::fmt;
using bench::num;
using bench::Table;

constexpr DWORD kArbRate = 1000000, kDataRate = 5000000;
using bench::kTxBatch;
constexpr DWORD kRxMax = 1024;  // frames per receive call
constexpr int kWaitMs = 100;    // how long a blocking call waits before it looks at the stop flag
// How long the one-frame sender sleeps when the transmit queue is full.
constexpr auto kRefusedSleep = std::chrono::milliseconds(1);
constexpr auto kWarmUp = std::chrono::milliseconds(500);
// Frames still arriving after the senders stop are counted until none has
// come for this long.
constexpr auto kDrainQuiet = std::chrono::milliseconds(300);

// ---- What is measured ---------------------------------------------------------

enum class Consumer { Raw, Batch, Epoll, Single };

struct ConsumerInfo {
  Consumer c;
  const char *key;
  const char *short_name;
  const char *name;
};

const ConsumerInfo kConsumers[] = {
    {Consumer::Raw, "raw", "raw",
     "raw: read() per node, write() of 7-frame reports (library closed; baseline)"},
    {Consumer::Batch, "batch", "(a) waiting batch calls",
     "(a) a thread per port in CANFD_ReceiveCANFrames, CANFD_SendCANFrames"},
    {Consumer::Epoll, "epoll", "(b) epoll on readiness",
     "(b) one epoll thread on every readiness descriptor, CANFD_SendCANFrames"},
    {Consumer::Single, "single", "(c) one-frame calls",
     "(c) CANFD_WaitCANRxMsg + CANFD_GetCANRxMsg, CANFD_SetCANTxMsg (1 ms sleep when full)"},
};

struct Kind {
  const char *key;
  const char *name;
  bool fd;
  BYTE len;
};

const Kind kKinds[] = {{"classic", "classic, 8 bytes", false, 8},
                       {"fd", "CAN FD, 64 bytes, bit rate switch", true, 64}};

// Frames per second a bus carries back to back, stuff bits left out.
double physical_rate(const Kind &k) {
  namespace t = canfd_sim::timing;
  return 1e9 / static_cast<double>(t::wire_time_ns(t::wire_bits(false, k.fd, false, k.len), k.fd,
                                                   kArbRate, kDataRate));
}

// One row's figures, as the measuring child reports them on one line.
using Result = bench::Fields;
constexpr const char *kResultTag = "result";

// ---- The measuring child --------------------------------------------------------

// One port of one adapter: what its sender had accepted, and what its
// receiver took (the frames the other port sent).
struct Port {
  std::atomic<uint64_t> accepted{0}, received{0}, wrong{0};
  std::atomic<uint64_t> in_window{0};  // received frames the adapter stamped within the window
  bench::SeqCheck seq;                 // touched by the one thread that receives this port
};

// The frame with sequence number seq sent by port (1 or 2): the identifiers
// of the two ports interleave so that neither wins every arbitration; the
// data carry the number and its complement.
void make_frame(CANFD_Frame_St &f, const Kind &k, BYTE port, uint32_t seq) {
  f.id = 0x100u | ((seq & 0x7F) << 1) | (port - 1u);
  f.flags = k.fd ? CANFD_FRAME_FD | CANFD_FRAME_BRS : 0;
  f.len = k.len;
  wire::put_le32(f.data, seq);
  wire::put_le32(f.data + 4, ~seq);
}

// Checks a received frame's data and order, and counts it in the window.
void check(Port &p, const bench::Window &w, const BYTE *data, DWORD second, DWORD usecond) {
  if (w.holds(second, usecond)) p.in_window.fetch_add(1, std::memory_order_relaxed);
  const uint32_t seq = wire::get_le32(data);
  if (wire::get_le32(data + 4) != ~seq) {
    p.wrong.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  p.seq.take(seq);
}

class Measure {
 public:
  Measure(Consumer c, const Kind &k, int adapters, double secs, pid_t sim)
      : consumer_(c), kind_(k), n_(adapters), secs_(secs), sim_(sim), ports_(2 * adapters) {}

  Result run() {
    open_all();
    window_.from_us = bench::monotonic_us() +
                      std::chrono::duration_cast<std::chrono::microseconds>(kWarmUp).count();
    window_.to_us = window_.from_us + static_cast<int64_t>(secs_ * 1e6);
    start();
    sleep_until(window_.from_us);
    const bench::ThreadTimes tt0 = bench::ThreadTimes::now();
    const bench::ProcessUse u0 = bench::ProcessUse::now(&syscalls_);
    const double sim0 = bench::process_cpu(sim_);
    const uint64_t reports0 = raw_reports_;
    const int64_t t0 = bench::monotonic_us();
    sleep_until(window_.to_us);
    const bench::ProcessUse u1 = bench::ProcessUse::now(&syscalls_);
    const bench::ThreadTimes tt1 = bench::ThreadTimes::now();
    const double sim1 = bench::process_cpu(sim_);
    const uint64_t reports1 = raw_reports_;
    const double wall = static_cast<double>(bench::monotonic_us() - t0) / 1e6;
    stop_senders_ = true;
    drain();
    stop_ = true;
    for (auto &t : threads_) t.join();
    // What the library counted: frames its rings had no room for, and frame
    // frames that did not reach the adapter (refused ones included).
    uint64_t ring_drops = 0, unsent = 0;
    for (WORD h : handles_) {
      for (BYTE p = 1; p <= 2; ++p) {
        DWORD rx = 0, tx = 0;
        if (CANFD_GetCANFrameCounts(h, p, &rx, &tx, 0) == 0) {
          ring_drops += rx;
          unsent += tx;
        }
      }
    }
    close_all();

    Result r;
    const bench::ProcessUse u = u1 - u0;
    uint64_t frames = 0, accepted = 0, received_all = 0, wrong = 0, gaps = 0, missing = 0,
             reordered = 0;
    std::string buses;
    double worst = 1e9, sum = 0;
    for (int a = 0; a < n_; ++a) {
      const uint64_t on_bus = port(a, 1).in_window + port(a, 2).in_window;
      const double share = static_cast<double>(on_bus) / secs_ / physical_rate(kind_);
      worst = std::min(worst, share);
      sum += share;
      buses += (a ? "," : "") + fmt("%.3f", share);
      frames += on_bus;
    }
    for (const Port &p : ports_) {
      accepted += p.accepted;
      received_all += p.received;
      wrong += p.wrong;
      gaps += p.seq.gaps;
      missing += p.seq.missing;
      reordered += p.seq.reordered;
    }
    // Threads of the library: neither the main thread nor the bench's own.
    std::set<long> mine = tids();
    mine.insert(bench::this_tid());
    const bench::ThreadTimes::Entry workers = bench::used_between(tt0, tt1, mine);
    r.f["wall"] = fmt("%.3f", wall);
    r.f["secs"] = fmt("%.3f", secs_);
    r.f["frames"] = count(frames);
    r.f["share_mean"] = fmt("%.4f", sum / n_);
    r.f["share_worst"] = fmt("%.4f", worst);
    r.f["buses"] = buses;
    r.f["accepted"] = count(accepted);
    r.f["received"] = count(received_all);
    r.f["lost"] = count(accepted > received_all ? accepted - received_all : 0);
    r.f["wrong"] = count(wrong);
    r.f["ring_drops"] = count(ring_drops);
    r.f["unsent"] = count(unsent);
    r.f["gaps"] = count(gaps);
    r.f["missing"] = count(missing);
    r.f["reordered"] = count(reordered);
    r.f["cpu"] = fmt("%.4f", u.cpu_s);
    r.f["workers_cpu"] = fmt("%.4f", static_cast<double>(workers.cpu_ns) / 1e9);
    r.f["csw"] = count(u.voluntary + u.involuntary);
    r.f["vcsw"] = count(u.voluntary);
    r.f["rw"] = count(u.reads + u.writes);
    if (syscalls_.available()) r.f["syscalls"] = count(u.syscalls);
    r.f["sim_cpu"] = fmt("%.4f", sim1 - sim0);
    if (consumer_ == Consumer::Raw) r.f["reports"] = count(reports1 - reports0);
    return r;
  }

 private:
  // Opens and sets up every adapter (1 Mbit/s, data 5 Mbit/s, both ports
  // on); the raw consumer then closes the library and opens the nodes.
  void open_all() {
    for (int a = 0; a < n_; ++a) {
      WORD h = 0;
      if (CANFD_OpenDevice(&h, bench::kSimPid, bench::kSimBid + static_cast<DWORD>(a)) != 0)
        bench::die("cannot open adapter " + std::to_string(a) + ": run under canfd-sim");
      for (BYTE port = 1; port <= 2; ++port) {
        if (CANFD_SetCANADBaudRate(h, port, kArbRate, kDataRate, 8000, 7500) != 0 ||
            CANFD_SetCANOPMode(h, port, 1, 0, 1) != 0)
          bench::die("cannot set up adapter " + std::to_string(a));
      }
      handles_.push_back(h);
    }
    if (consumer_ != Consumer::Raw) return;
    for (WORD h : handles_) CANFD_CloseDevice(h);
    handles_.clear();
    for (int a = 0; a < n_; ++a) {
      const std::string node = "/dev/hidraw" + std::to_string(a);
      const int fd = open(node.c_str(), O_RDWR);
      if (fd < 0) bench::die("cannot open " + node);
      // A read gives up after a while, so that the reader sees the stop flag.
      const timeval wait{0, kWaitMs * 1000};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      fds_.push_back(fd);
    }
  }

  void close_all() {
    for (WORD h : handles_) CANFD_CloseDevice(h);
    for (int fd : fds_) close(fd);
  }

  Port &port(int adapter, BYTE p) { return ports_[2 * adapter + p - 1]; }

  static void sleep_until(int64_t monotonic_us) {
    const timespec ts{static_cast<time_t>(monotonic_us / 1000000),
                      static_cast<long>(monotonic_us % 1000000 * 1000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
  }

  // Starts a thread of the bench, noting its id: its CPU is the
  // application's, not the library's.
  template <class F>
  void spawn(F f) {
    threads_.emplace_back([this, f] {
      {
        std::lock_guard<std::mutex> lk(tids_mu_);
        tids_.insert(bench::this_tid());
      }
      f();
    });
  }
  std::set<long> tids() {
    std::lock_guard<std::mutex> lk(tids_mu_);
    return tids_;
  }

  void start() {
    for (int a = 0; a < n_; ++a) {
      for (BYTE p = 1; p <= 2; ++p) {
        // Port p's frames arrive at the other port.
        Port &out = port(a, p);
        switch (consumer_) {
          case Consumer::Raw:
            spawn([this, a, p, &out] { raw_writer(fds_[a], p, out); });
            break;
          case Consumer::Batch:
          case Consumer::Epoll:
            spawn([this, a, p, &out] { batch_sender(handles_[a], p, out); });
            break;
          case Consumer::Single:
            spawn([this, a, p, &out] { single_sender(handles_[a], p, out); });
            break;
        }
        if (consumer_ == Consumer::Batch)
          spawn([this, a, p] { batch_receiver(handles_[a], p, port(a, p)); });
        if (consumer_ == Consumer::Single)
          spawn([this, a, p] { single_receiver(handles_[a], p, port(a, p)); });
      }
      if (consumer_ == Consumer::Raw) spawn([this, a] { raw_reader(a); });
    }
    if (consumer_ == Consumer::Epoll) spawn([this] { epoll_receiver(); });
  }

  // Waits until no frame has arrived for kDrainQuiet (at most 5 s).
  void drain() {
    uint64_t last = 0;
    auto moved = Clock::now();
    const auto until = moved + std::chrono::seconds(5);
    while (Clock::now() - moved < kDrainQuiet && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      uint64_t now = 0;
      for (const Port &p : ports_) now += p.received;
      if (now != last) {
        last = now;
        moved = Clock::now();
      }
    }
  }

  // ---- Senders

  void batch_sender(WORD h, BYTE p, Port &out) {
    std::vector<CANFD_Frame_St> frames(kTxBatch);
    uint32_t seq = 0;
    while (!stop_senders_.load(std::memory_order_relaxed)) {
      for (DWORD i = 0; i < kTxBatch; ++i) make_frame(frames[i], kind_, p, seq + i);
      DWORD sent = 0;
      CANFD_SendCANFrames(h, p, frames.data(), kTxBatch, kWaitMs, &sent);
      seq += sent;
      out.accepted += sent;
    }
  }

  void single_sender(WORD h, BYTE p, Port &out) {
    CANFD_Frame_St f{};
    const BYTE dlc = kind_.fd ? wire::bytes_to_dlc(kind_.len) : kind_.len;
    for (uint32_t seq = 0; !stop_senders_.load(std::memory_order_relaxed);) {
      make_frame(f, kind_, p, seq);
      const int rc = CANFD_SetCANTxMsg(h, p, 0, f.id, 0, kind_.fd, dlc, f.data);
      if (rc == 0) {
        ++seq;
        ++out.accepted;
      } else if (rc == CANFD_ERR_TX_QUEUE_FULL) {
        std::this_thread::sleep_for(kRefusedSleep);
      } else {
        bench::die("CANFD_SetCANTxMsg failed: " + std::to_string(rc));
      }
    }
  }

  // Reports of seven frames written straight to the node; a write returns
  // once the adapter has taken the report.
  void raw_writer(int fd, BYTE p, Port &out) {
    BYTE report[CANFD_REPORT_SIZE] = {};
    BYTE payload[wire::kTxRecordsPerPacket * wire::kTxRecordSize];
    CANFD_Frame_St f{};
    for (uint32_t seq = 0; !stop_senders_.load(std::memory_order_relaxed);) {
      for (int i = 0; i < wire::kTxRecordsPerPacket; ++i) {
        make_frame(f, kind_, p, seq + static_cast<uint32_t>(i));
        wire::encode_frame(f, payload + i * wire::kTxRecordSize);
      }
      PackLargeDataPacket(wire::fc::frames_to(p), sizeof payload, payload, report + 1);
      if (write(fd, report, sizeof report) != static_cast<ssize_t>(sizeof report)) {
        if (errno == EINTR) continue;
        bench::die("raw write failed: " + std::string(strerror(errno)));
      }
      seq += wire::kTxRecordsPerPacket;
      out.accepted += wire::kTxRecordsPerPacket;
    }
  }

  // ---- Receivers

  void take(Port &in, const CANFD_Frame_St *f, DWORD n) {
    for (DWORD k = 0; k < n; ++k) check(in, window_, f[k].data, f[k].second, f[k].usecond);
    in.received.fetch_add(n, std::memory_order_relaxed);
  }

  void batch_receiver(WORD h, BYTE p, Port &in) {
    std::vector<CANFD_Frame_St> frames(kRxMax);
    while (!stop_.load(std::memory_order_relaxed)) {
      DWORD n = 0;
      if (CANFD_ReceiveCANFrames(h, p, frames.data(), kRxMax, kWaitMs, &n) == 0)
        take(in, frames.data(), n);
    }
  }

  void epoll_receiver() {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (int a = 0; a < n_; ++a) {
      for (BYTE p = 1; p <= 2; ++p) {
        int fd = -1;
        if (CANFD_GetCANRxEventFd(handles_[a], p, &fd) != 0)
          bench::die("CANFD_GetCANRxEventFd failed");
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(2 * a + p - 1);
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
      }
    }
    std::vector<CANFD_Frame_St> frames(kRxMax);
    std::vector<epoll_event> ready(ports_.size());
    while (!stop_.load(std::memory_order_relaxed)) {
      const int n = epoll_wait(ep, ready.data(), static_cast<int>(ready.size()), kWaitMs);
      for (int i = 0; i < n; ++i) {
        const uint32_t at = ready[i].data.u32;
        const WORD h = handles_[at / 2];
        const BYTE p = static_cast<BYTE>(at % 2 + 1);
        DWORD got = 0;
        do {
          if (CANFD_ReceiveCANFrames(h, p, frames.data(), kRxMax, 0, &got) != 0) break;
          take(ports_[at], frames.data(), got);
        } while (got == kRxMax);
      }
    }
    close(ep);
  }

  void single_receiver(WORD h, BYTE p, Port &in) {
    while (!stop_.load(std::memory_order_relaxed)) {
      if (CANFD_WaitCANRxMsg(h, p, kWaitMs) != 0) continue;
      BYTE type, mode, rtr, fdf, dlc, data[CANFD_MAX_DATA_LEN];
      DWORD id, sec, usec;
      uint64_t n = 0;
      while (CANFD_GetCANRxMsg(h, p, &type, &mode, &id, &rtr, &fdf, &dlc, data, &sec, &usec) == 0) {
        check(in, window_, data, sec, usec);
        ++n;
      }
      in.received.fetch_add(n, std::memory_order_relaxed);
    }
  }

  // Reads every report of one node and counts the frames in it.
  void raw_reader(int a) {
    const int fd = fds_[a];
    BYTE buf[CANFD_REPORT_SIZE];
    while (!stop_.load(std::memory_order_relaxed)) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        bench::die("raw read failed");
      }
      if (buf[wire::kHdrOpcode] != CANFD_OP_LARGE) continue;
      const WORD fc = wire::get_le16(buf + wire::kHdrFc);
      if (fc != wire::fc::frames_from(1) && fc != wire::fc::frames_from(2)) continue;
      Port &in = port(a, static_cast<BYTE>(fc - wire::fc::frames_from(1) + 1));
      const int records = wire::get_le16(buf + wire::kHdrLen) / wire::kRxRecordSize;
      for (int k = 0; k < records; ++k) {
        const BYTE *rec = buf + CANFD_HEADER_SIZE + k * wire::kRxRecordSize;
        check(in, window_, rec + wire::kRecData, wire::get_le32(rec + wire::kRecSecond),
              wire::get_le32(rec + wire::kRecUsecond));
      }
      in.received.fetch_add(static_cast<uint64_t>(records), std::memory_order_relaxed);
      raw_reports_.fetch_add(1, std::memory_order_relaxed);
    }
  }

  // Made first, before any thread: every thread started later is counted.
  bench::SyscallCounter syscalls_;
  const Consumer consumer_;
  const Kind kind_;
  const int n_;
  const double secs_;
  const pid_t sim_;
  std::vector<Port> ports_;
  bench::Window window_;
  std::vector<WORD> handles_;
  std::vector<int> fds_;
  std::vector<std::thread> threads_;
  std::mutex tids_mu_;
  std::set<long> tids_;
  std::atomic<bool> stop_senders_{false}, stop_{false};
  std::atomic<uint64_t> raw_reports_{0};
};

int measure(int argc, char **argv) {
  if (argc != 7) bench::die("--measure CONSUMER KIND ADAPTERS SECONDS SIM-PID");
  const ConsumerInfo *c = nullptr;
  for (const ConsumerInfo &ci : kConsumers)
    if (strcmp(ci.key, argv[2]) == 0) c = &ci;
  const Kind *k = nullptr;
  for (const Kind &ki : kKinds)
    if (strcmp(ki.key, argv[3]) == 0) k = &ki;
  if (c == nullptr || k == nullptr) bench::die("unknown consumer or kind");
  Measure m(c->c, *k, atoi(argv[4]), atof(argv[5]), static_cast<pid_t>(atol(argv[6])));
  printf("%s\n", m.run().line(kResultTag).c_str());
  return 0;
}

// ---- The driver -------------------------------------------------------------------

// A child process with its standard output on a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;  // its standard error, when asked for
};

Child start(const std::vector<std::string> &args, char **env, bool with_err = false) {
  int p[2], e[2] = {-1, -1};
  if (pipe2(p, O_CLOEXEC) != 0 || (with_err && pipe2(e, O_CLOEXEC) != 0)) bench::die("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], STDOUT_FILENO);
  if (with_err) posix_spawn_file_actions_adddup2(&fa, e[1], STDERR_FILENO);
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), env) != 0)
    bench::die("cannot start " + args[0]);
  posix_spawn_file_actions_destroy(&fa);
  close(p[1]);
  c.out = p[0];
  if (with_err) {
    close(e[1]);
    c.err = e[0];
  }
  return c;
}

// Reads what a child writes until it closes its end (*ended) or timeout_ms
// pass.
std::string read_all(int fd, int timeout_ms, bool *ended) {
  std::string text;
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  *ended = false;
  for (;;) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) != 1) return text;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *ended = true;
      return text;
    }
    text.append(buf, static_cast<size_t>(n));
  }
}

// Reads a line from a child (without its newline), waiting up to timeout_ms.
bool read_line(int fd, std::string &line, int timeout_ms) {
  line.clear();
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) != 1) return false;
    char ch;
    if (read(fd, &ch, 1) != 1) return false;
    if (ch == '\n') return true;
    line += ch;
  }
}

std::string self_dir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) bench::die("cannot find this program");
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// One row: canfd-sim with n adapters serving a sandbox, and the measuring
// child inside it.
Result run_row(const ConsumerInfo &c, const Kind &k, int n, double secs) {
  const std::string dir = self_dir();
  // Not quiet: canfd-sim says as it ends how many reports its nodes dropped.
  Child sim = start({dir + "/canfd-sim", "--adapters", std::to_string(n)}, environ, true);
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e) {
    const std::string s = *e;
    if (s.rfind("CANFD_SANDBOX=", 0) != 0 && s.rfind("LD_PRELOAD=", 0) != 0) env.push_back(s);
  }
  std::string line;
  for (int got = 0; got < 2;) {
    if (!read_line(sim.out, line, 10000)) bench::die("canfd-sim did not start its sandbox");
    for (const char *var : {"CANFD_SANDBOX", "LD_PRELOAD"}) {
      const std::string prefix = std::string("export ") + var + "=";
      if (line.rfind(prefix, 0) == 0) {
        env.push_back(std::string(var) + "=" + bench::shell_unquote(line.substr(prefix.size())));
        ++got;
      }
    }
  }
  std::vector<char *> envp;
  for (const std::string &s : env) envp.push_back(const_cast<char *>(s.c_str()));
  envp.push_back(nullptr);
  Child m = start({dir + "/canfd-scale", "--measure", c.key, k.key, std::to_string(n),
                   fmt("%.3f", secs), std::to_string(sim.pid)},
                  envp.data());
  const int limit_ms = static_cast<int>(secs * 1000) + 30000;
  bool ended = false;
  const std::string text = read_all(m.out, limit_ms, &ended);
  if (!ended) kill(m.pid, SIGKILL);
  int status = 0;
  waitpid(m.pid, &status, 0);
  close(m.out);
  kill(sim.pid, SIGTERM);
  int sim_status = 0;
  waitpid(sim.pid, &sim_status, 0);
  close(sim.out);
  bool sim_ended = false;
  const std::string sim_said = read_all(sim.err, 1000, &sim_ended);
  close(sim.err);
  Result r = Result::parse(text, kResultTag);
  const long long node_drops = WIFEXITED(sim_status) && WEXITSTATUS(sim_status) == 0 && sim_ended
                                   ? bench::sim_reports_dropped(sim_said)
                                   : -1;
  r.f["node_drops"] = node_drops < 0 ? "?" : std::to_string(node_drops);
  if (node_drops < 0 && !sim_said.empty()) fputs(sim_said.c_str(), stderr);
  if (!r.has("frames")) {
    r.f["failed"] = !ended                ? "timed out"
                    : WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                          : "exit status " + std::to_string(WEXITSTATUS(status));
    fprintf(stderr, "canfd-scale: %s, %d adapters, %s: the measuring process failed (%s)\n", k.key,
            n, c.key, r.f["failed"].c_str());
  }
  return r;
}

struct Options {
  bool quick = false;
  double secs = 3;
  std::vector<int> adapters = {1, 2, 4, 8};
  std::string python_bench;  // the python-can benchmark, which measures (d)
};

// Cells of one row; raw: the baseline of the same load, for the ratios and
// the reports (the library's reports are not seen from outside it: the
// adapter packs frames the same way whoever reads, so the raw reader's
// frames per report stand for them).
std::vector<std::string> cells(const ConsumerInfo &c, const Result &r, const Result &raw) {
  if (!r.has("frames")) return {c.name, "failed: " + r.at("failed")};
  // Frames are counted over the window in the adapter's time, usage over
  // the same span of the host's: both per second.
  const double wall = r.d("wall");
  const double rate = r.d("frames") / r.d("secs"), cores = r.d("cpu") / wall;
  const double raw_rate = raw.d("frames") / raw.d("secs");
  const double raw_reports = raw.d("reports") / raw.d("wall");
  const double reports = raw_reports > 0 ? rate * raw_reports / raw_rate : rate;
  const double cpu_ns = cores / std::max(rate, 1.0) * 1e9;
  const double raw_ns = raw.d("cpu") / raw.d("wall") / std::max(raw_rate, 1.0) * 1e9;
  auto per_report = [&](const char *k) { return fmt("%.2f", r.d(k) / wall / reports); };
  const bool lib = c.c != Consumer::Raw;
  return {c.name,
          fmt("%.3f", r.d("share_mean")),
          fmt("%.3f", r.d("share_worst")),
          num(rate),
          r.at("lost"),
          lib ? r.at("ring_drops") + ", " + r.at("unsent") : "-",
          r.at("node_drops"),
          r.at("gaps"),
          r.at("reordered"),
          fmt("%.3f", cores),
          lib ? fmt("%.3f", r.d("workers_cpu") / wall) : "-",
          num(cpu_ns),
          lib ? bench::ratio(cpu_ns, raw_ns) : "1.00",
          per_report("csw"),
          per_report("rw"),
          r.has("syscalls") ? per_report("syscalls") : "n/a",
          fmt("%.2f", r.d("sim_cpu") / wall)};
}

int drive(const Options &o) {
  printf("## libcanfd at scale\n\n%s; canfd-sim's adapters in a process of their own.\n\n",
         bench::machine().c_str());
  fflush(stdout);
  bench::Goals goals;
  for (const Kind &k : kKinds) {
    bench::heading(
        std::string("Scale: ") + k.name,
        "Each adapter's two ports on its one simulated bus at 1 Mbit/s (data 5 Mbit/s), timing "
        "model on (USB at 8000 reports/s each way), port 1 sending to port 2 and port 2 to "
        "port 1 as fast as each consumer can, for " +
            fmt("%.0f", o.secs) +
            " s after a 0.5 s start. Bus share: frames the two ports received per second "
            "over the bus's physical rate (" +
            num(physical_rate(k)) +
            " frames/s, stuff bits left out), the mean over the buses and the worst bus. Lost: "
            "frames accepted by a send call (or written) and never received. The library's "
            "counts (CANFD_GetCANFrameCounts): frames its receive rings had no room for, and "
            "frames that did not reach the adapter, which include the frames "
            "CANFD_SetCANTxMsg refused for a full queue (the sender offers those frames again: "
            "they are not lost). Reports dropped by the node: what canfd-sim counted, over the "
            "whole row, of reports its nodes dropped for a reader that had 64 unread, as a "
            "hidraw node does; lost frames that the library's counts do not account for went "
            "with them. Gaps after drops: "
            "places where frames were missing; reordered: frames that came after a later one. "
            "Cores: CPU time of the measured process (all threads: the application's senders "
            "and receivers and the library's workers) over wall time; workers: the library's "
            "threads alone. Wake-ups: voluntary and involuntary context switches of the "
            "process; read+write: syscr + syscw of /proc/self/io; all syscalls: a perf counter "
            "on raw_syscalls:sys_enter. Per report: the reports the raw reader counted at the "
            "same load stand for the library's (the adapter packs the frames the same way). "
            "Simulator cores: canfd-sim's CPU over the same time, on the same two CPUs.");
    Table t({"adapters", "consumer", "bus share, mean", "worst bus", "frames/s", "frames lost",
             "library's counts: ring drops, frames refused or undelivered",
             "reports dropped by the node", "gaps after drops", "reordered", "cores",
             "workers cores", "CPU ns/frame", "CPU/frame ratio to raw", "wake-ups/report",
             "read+write/report", "all syscalls/report", "simulator cores"});
    for (int n : o.adapters) {
      Result raw;
      for (const ConsumerInfo &c : kConsumers) {
        const Result r = run_row(c, k, n, o.secs);
        if (c.c == Consumer::Raw) raw = r;
        t.add(bench::row({{count(static_cast<unsigned long long>(n))}, cells(c, r, raw)}));
        fprintf(stderr, "canfd-scale: %s, %d adapters, %s done\n", k.key, n, c.key);
        if (n == 8 && c.c != Consumer::Raw && r.has("frames")) {
          const double cores = r.d("cpu") / r.d("wall");
          const double limit = c.c == Consumer::Single ? 0.5 : 0.3;
          const std::string who = std::string(k.key) + ", 8 adapters, " + c.short_name;
          goals.add(who + ": cores",
                    fmt("%.3f", cores) + " (raw " + fmt("%.3f", raw.d("cpu") / raw.d("wall")) + ")",
                    "<= " + fmt("%.1f", limit), cores <= limit);
          const bool clean = r.at("lost") == "0" && r.at("gaps") == "0" &&
                             r.at("reordered") == "0" && r.at("wrong") == "0";
          goals.add(
              who + ": lost, gaps after drops, reordered, wrong data",
              r.at("lost") + ", " + r.at("gaps") + ", " + r.at("reordered") + ", " + r.at("wrong") +
                  (r.at("node_drops") != "0" ? " (node dropped " + r.at("node_drops") + " reports)"
                                             : ""),
              "0, 0, 0, 0", clean);
          goals.add(who + ": worst bus share", fmt("%.3f", r.d("share_worst")), ">= 0.99",
                    r.d("share_worst") >= 0.99);
        }
      }
    }
    t.print();
  }
  const bool python = !o.python_bench.empty() && access(o.python_bench.c_str(), R_OK) == 0;
  bench::heading(
      "Scale: python-can",
      std::string("(d) one python-can Bus per port and one Notifier, 2 and 8 adapters: ") +
          (python ? "measured by " + o.python_bench + ", whose tables follow this run's."
                  : "not measured: python bench missing."));
  goals.print("Scale goals");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc > 1 && strcmp(argv[1], "--measure") == 0) return measure(argc, argv);
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      o.quick = true;
      o.secs = 1;
      o.adapters = {8};
    } else if (a == "--python-bench" && i + 1 < argc) {
      o.python_bench = argv[++i];
    } else if (a == "--seconds" && i + 1 < argc) {
      o.secs = std::max(0.5, atof(argv[++i]));
    } else if (a == "--adapters" && i + 1 < argc) {
      o.adapters.clear();
      std::istringstream in(argv[++i]);
      std::string n;
      while (std::getline(in, n, ','))
        if (atoi(n.c_str()) > 0) o.adapters.push_back(atoi(n.c_str()));
    } else {
      fprintf(stderr,
              "usage: canfd-scale [--quick] [--seconds S] [--adapters N[,N...]] "
              "[--python-bench PATH]\n");
      return 2;
    }
  }
  return drive(o);
}
