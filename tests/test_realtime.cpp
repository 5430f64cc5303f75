// Traffic at the full rate of a USB adapter for seconds, judged by what the
// kernel-like node loses when its reader falls 64 reports (8 ms) behind.
// They run alone (see CMakeLists.txt), and not where sanitizers or an
// emulator slow the process down many times while the simulated adapter
// keeps the USB pace.
#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "rig.h"
#include "wire.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(CANFD_TEST_EMULATED)
#define SKIP_WHERE_SLOWED() GTEST_SKIP() << "the process runs many times slower than the adapter"
#else
#define SKIP_WHERE_SLOWED() (void)0
#endif

namespace {

using namespace rig;
namespace wire = canfd::wire;
using Clock = std::chrono::steady_clock;
using FullRate = OpenAdapter;

// The longest a thread that sleeps 0.5 ms at a time woke late while it ran:
// how long the machine (other processes, the hypervisor) kept a ready
// thread of this process off the CPUs.
class StallWatch {
 public:
  StallWatch()
      : thread_([this] {
          while (!stop_) {
            const auto due = Clock::now() + std::chrono::microseconds(500);
            std::this_thread::sleep_until(due);
            const auto late =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - due).count();
            if (late > worst_us_) worst_us_ = late;
          }
        }) {}
  ~StallWatch() { stop(); }
  long stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return worst_us_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> worst_us_{0};
  std::thread thread_;
};

struct NodeRound {
  uint64_t dropped = 0;
  DWORD got[2] = {0, 0};
  size_t max_unread = 0;
  long stall_us = 0;
};

// Reports at the full USB rate for both ports, taken by a thread at the
// lowest priority on port 1, a one-frame waiter on port 2 and a poll loop on
// port 2's readiness descriptor, while commands come and go.
NodeRound node_round(WORD h, canfd_sim::Adapter &adapter, DWORD per_port) {
  const uint64_t dropped_before = adapter.reports_dropped();
  adapter.reset_max_unread();
  std::atomic<DWORD> got[2] = {{0}, {0}};
  std::atomic<bool> stop{false};
  StallWatch watch;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    std::vector<CANFD_Frame_St> in(64);
    DWORD n = 0;
    while (got[0] < per_port && CANFD_ReceiveCANFrames(h, 1, in.data(), 64, 3000, &n) == 0)
      got[0] += n;
  });
  threads.emplace_back([&] {
    BYTE t, m, r, f, dlc, data[64];
    DWORD id, s, us;
    while (got[1] < per_port && CANFD_WaitCANRxMsg(h, 2, 3000) == 0)
      while (CANFD_GetCANRxMsg(h, 2, &t, &m, &id, &r, &f, &dlc, data, &s, &us) == 0) ++got[1];
  });
  threads.emplace_back([&] {
    int fd = -1;
    if (CANFD_GetCANRxEventFd(h, 2, &fd) != 0) return;
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 100);
    }
  });
  threads.emplace_back([&] {
    DWORD a, b, c;
    while (!stop) {
      EXPECT_EQ(CANFD_GetCANStatus(h, 1, &a, &b, &c), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  // One record per report, 8000 reports a second, the ports in turn.
  std::thread pusher([&] {
    auto next = Clock::now();
    for (DWORD i = 0; i < 2 * per_port; ++i) {
      adapter.push_records(
          1 + static_cast<int>(i & 1),
          {canfd_sim::make_rx_record(i / 2, true, false, false, false, 0, nullptr)});
      next += std::chrono::microseconds(125);
      std::this_thread::sleep_until(next);
    }
  });
  pusher.join();
  threads[0].join();
  threads[1].join();
  stop = true;
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  NodeRound r;
  r.stall_us = watch.stop();
  r.dropped = adapter.reports_dropped() - dropped_before;
  r.got[0] = got[0];
  r.got[1] = got[1];
  r.max_unread = adapter.max_unread();
  return r;
}

// The node is read all along (it keeps 64 reports unread, as the kernel's),
// so nothing is lost and each port gets all its frames. A round that lost
// reports while the machine itself kept a ready thread of this process
// waiting for a quarter of the node's 8 ms or more does not count against
// the library: it is run again, three rounds at most. The watching thread
// only sleeps, and the scheduler favours it: the busy reader can wait
// longer than it does (a CI run lost 8 reports in a round where the watcher
// woke at most 3.1 ms late; quiet runs here see 2 to 4.9 ms).
TEST_F(FullRate, TheNodeIsReadWhateverTheCallersDo) {
  SKIP_WHERE_SLOWED();
  canfd_sim::Timing timing;
  timing.on = true;
  adapter->set_timing(timing);
  constexpr DWORD kPerPort = 5000;
  constexpr long kMachineStallUs = 2000;
  NodeRound r;
  for (int round = 1; round <= 3; ++round) {
    r = node_round(h, *adapter, kPerPort);
    std::printf(
        "round %d: %llu reports dropped by the node, most waiting unread %zu of 64, "
        "longest stall of the machine %ld us\n",
        round, static_cast<unsigned long long>(r.dropped), r.max_unread, r.stall_us);
    const bool clean = r.dropped == 0 && r.got[0] == kPerPort && r.got[1] == kPerPort;
    if (clean || r.stall_us < kMachineStallUs) break;
  }
  EXPECT_EQ(r.dropped, 0u) << "reports the node dropped for want of a reader";
  EXPECT_EQ(r.got[0], kPerPort);
  EXPECT_EQ(r.got[1], kPerPort);
}

// At the pace of a USB adapter on a bus at full load (the timing model), as
// fast as the sender writes them.
TEST_F(FullRate, TwelveThousandFramesAtFullLoadArriveInOrderUnaltered) {
  SKIP_WHERE_SLOWED();
  canfd_sim::Timing timing;
  timing.on = true;
  adapter->set_timing(timing);
  constexpr DWORD kFrames = 12000;
  std::atomic<bool> failed{false};
  std::thread sender([&] {
    BYTE data[8];
    for (DWORD i = 0; i < kFrames && !failed; ++i) {
      wire::put_le32(data, i);
      wire::put_le32(data + 4, ~i);
      int rc;
      while ((rc = CANFD_SetCANTxMsg(h, 1, 1, i & 0x1FFFFFFF, 0, 0, 8, data)) ==
             CANFD_ERR_TX_QUEUE_FULL)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      if (rc != 0) failed = true;
    }
  });
  DWORD next = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (next < kFrames && std::chrono::steady_clock::now() < deadline) {
    BYTE type, mode, rtr, fdf, dlc, data[64];
    DWORD id, s, us;
    if (CANFD_GetCANRxMsg(h, 2, &type, &mode, &id, &rtr, &fdf, &dlc, data, &s, &us) != 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    ASSERT_EQ(id, next) << "reports the node dropped: " << adapter->reports_dropped();
    ASSERT_EQ(wire::get_le32(data), next);
    ASSERT_EQ(wire::get_le32(data + 4), ~next);
    ASSERT_EQ(dlc, 8);
    ++next;
  }
  sender.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(next, kFrames);
  EXPECT_EQ(adapter->frames_dropped(), 0u);
}

// The receive worker's voluntary context switches (each time it went to
// sleep), or -1 when no worker runs.
long worker_sleeps() {
  DIR *dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  long sleeps = -1;
  while (dirent *e = readdir(dir)) {
    const std::string task = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(task + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name.rfind("canfd-rx-", 0) != 0) continue;
    std::ifstream status(task + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        sleeps = std::stol(line.substr(std::strlen("voluntary_ctxt_switches:")));
  }
  closedir(dir);
  return sleeps;
}

struct StreamRound {
  std::vector<int64_t> delay_us;  // per frame: from its report to its return
  double sleeps_per_report = 0;   // of the receive worker
  double batches_per_report = 0;  // calls of the taker that returned frames
  long stall_us = 0;
};

// One frame a report, reports 0.5 ms apart (2000 a second, a stream by the
// library's measure), taken by a thread waiting in CANFD_ReceiveCANFrames.
StreamRound stream_round(WORD h, canfd_sim::Adapter &adapter, DWORD reports) {
  using std::chrono::microseconds;
  std::vector<Clock::time_point> sent(reports);
  std::atomic<DWORD> pushed{0};
  StreamRound r;
  r.delay_us.reserve(reports);
  StallWatch watch;
  const long sleeps_before = worker_sleeps();
  std::thread taker([&] {
    CANFD_Frame_St in[16];
    DWORD n = 0, batches = 0;
    while (r.delay_us.size() < reports && CANFD_ReceiveCANFrames(h, 2, in, 16, 3000, &n) == 0) {
      const auto now = Clock::now();
      ++batches;
      for (DWORD k = 0; k < n; ++k) {
        const DWORD i = wire::get_le32(in[k].data);
        if (i >= pushed.load()) {
          ADD_FAILURE() << "a frame that was not sent: " << i;
          continue;
        }
        r.delay_us.push_back(std::chrono::duration_cast<microseconds>(now - sent[i]).count());
      }
    }
    r.batches_per_report = static_cast<double>(batches) / reports;
  });
  auto next = Clock::now();
  for (DWORD i = 0; i < reports; ++i) {
    BYTE data[4];
    wire::put_le32(data, i);
    sent[i] = Clock::now();
    pushed = i + 1;
    adapter.push_records(2, {canfd_sim::make_rx_record(i, false, false, false, false, 4, data)});
    next += microseconds(500);
    std::this_thread::sleep_until(next);
  }
  taker.join();
  r.sleeps_per_report = static_cast<double>(worker_sleeps() - sleeps_before) / reports;
  r.stall_us = watch.stop();
  std::sort(r.delay_us.begin(), r.delay_us.end());
  return r;
}

// Reports that come faster than one a millisecond are let gather: at 2000
// a second the worker sleeps, and wakes a waiting taker, about once per two
// reports instead of once per report (0.83 sleeps per report when it let
// them gather for 0.5 ms at most, 0.56 with 0.8 ms), and no frame waits
// much longer than the gathering time before a waiting caller has it. A
// round in which the machine kept a ready thread waiting longer than the
// bounds tested is run again, three rounds at most; the last one's tail is
// judged only if the machine held no thread back that long.
TEST_F(FullRate, AStreamIsTakenInBatchesAndNoFrameWaitsLongForIt) {
  SKIP_WHERE_SLOWED();
  constexpr DWORD kReports = 2000;
  StreamRound r;
  int64_t p50 = 0, p99 = 0;
  for (int round = 1; round <= 3; ++round) {
    r = stream_round(h, *adapter, kReports);
    ASSERT_EQ(r.delay_us.size(), kReports);
    p50 = r.delay_us[kReports / 2];
    p99 = r.delay_us[kReports * 99 / 100];
    std::printf(
        "round %d: per report %.2f sleeps of the worker, %.2f batches taken; delay p50 %lld us, "
        "p99 %lld us, max %lld us; longest stall of the machine %ld us\n",
        round, r.sleeps_per_report, r.batches_per_report, static_cast<long long>(p50),
        static_cast<long long>(p99), static_cast<long long>(r.delay_us.back()), r.stall_us);
    const bool clean = r.batches_per_report <= 0.7 && p50 <= 1000 && p99 <= 2000;
    if (clean || r.stall_us < 2000) break;
  }
  EXPECT_LE(r.batches_per_report, 0.7) << "the taker was woken for nearly every report";
  EXPECT_LE(p50, 1000);
  // The tail only where the machine itself held no thread back that long.
  if (r.stall_us < 2000) {
    EXPECT_LE(p99, 2000);
  }
}

// An adapter whose clock runs 1000 ppm slow (ten times a poor crystal's):
// its time stamps fall behind the host's clock by 1 ms a second, while the
// host times, once the library has measured the rate (a few seconds), stay
// within a millisecond of the arrivals and never after them.
TEST_F(FullRate, HostTimesFollowAnAdapterClockThatRunsSlow) {
  SKIP_WHERE_SLOWED();
  canfd_sim::Timing t;
  t.on = true;
  t.clock_ppm = -1000;
  adapter->set_timing(t);
  struct Seen {
    int64_t wall, host, adapter;  // us: when the call returned, the frame's times
  };
  std::vector<Seen> seen;
  BYTE data[8] = {0};
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(6)) {
    ASSERT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 0x10, 0, 0, 8, data), 0);
    CANFD_Frame_St in;
    DWORD got = 0;
    ASSERT_EQ(CANFD_ReceiveCANFrames(h, 2, &in, 1, 1000, &got), 0);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    seen.push_back({now.tv_sec * 1000000LL + now.tv_nsec / 1000,
                    static_cast<int64_t>(in.host_second) * 1000000 + in.host_usecond,
                    static_cast<int64_t>(in.second) * 1000000 + in.usecond});
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The least delay from a frame's time to the return of its call, over a
  // span of the run: delays on the way only add to it.
  const auto least = [&](int64_t from_ms, int64_t to_ms, int64_t Seen::*time) {
    int64_t low = INT64_MAX;
    for (const Seen &x : seen) {
      const int64_t ms = (x.wall - seen.front().wall) / 1000;
      if (ms >= from_ms && ms < to_ms) low = std::min(low, x.wall - x.*time);
    }
    return low;
  };
  // From 1-1.5 s to 5.5-6 s the adapter's clock lost 4.5 ms.
  EXPECT_NEAR(
      static_cast<double>(least(5500, 6000, &Seen::adapter) - least(1000, 1500, &Seen::adapter)),
      4500, 1000)
      << "the simulated adapter's clock";
  const int64_t late = least(5000, 6000, &Seen::host);
  EXPECT_GE(late, -200) << "host times after the calls that returned the frames";
  EXPECT_LE(late, 1000) << "host times behind the arrivals";
}

}  // namespace
