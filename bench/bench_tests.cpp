// Tests of what the benchmarks count and read: order checks, statistics,
// the lines passed between processes, canfd-sim's quoting, time windows,
// and the readings of this process from /proc, getrusage and perf.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "bench_util.h"
#include "gtest/gtest.h"

namespace {

// ---- Order of numbered items ---------------------------------------------------

TEST(SeqCheck, CountsGapsMissingAndReorderedApart) {
  bench::SeqCheck s;
  for (uint64_t n : {0, 1, 2}) s.take(n);
  EXPECT_EQ(s.gaps, 0u);
  EXPECT_EQ(s.reordered, 0u);
  // 3 and 4 missing: one gap of two.
  s.take(5);
  EXPECT_EQ(s.gaps, 1u);
  EXPECT_EQ(s.missing, 2u);
  // A late 3 is out of order, not a second gap, and does not move the
  // expected number back: 6 follows in order.
  s.take(3);
  s.take(6);
  EXPECT_EQ(s.reordered, 1u);
  EXPECT_EQ(s.gaps, 1u);
  EXPECT_EQ(s.next, 7u);
  // A repeat counts as out of order.
  s.take(6);
  EXPECT_EQ(s.reordered, 2u);
}

TEST(SeqCheck, GapAtTheStart) {
  bench::SeqCheck s;
  s.take(10);
  EXPECT_EQ(s.gaps, 1u);
  EXPECT_EQ(s.missing, 10u);
  EXPECT_EQ(s.next, 11u);
}

// ---- Statistics ----------------------------------------------------------------

TEST(Statistics, MedianPercentileAndMax) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);  // unsorted on purpose
  EXPECT_DOUBLE_EQ(bench::median(v), 50.5);
  EXPECT_DOUBLE_EQ(bench::percentile(v, 99), 99);
  EXPECT_DOUBLE_EQ(bench::percentile(v, 0), 1);
  EXPECT_DOUBLE_EQ(bench::percentile(v, 100), 100);
  EXPECT_DOUBLE_EQ(bench::max_of(v), 100);
  EXPECT_DOUBLE_EQ(bench::median({3, 1, 2}), 2);
  EXPECT_DOUBLE_EQ(bench::median({}), 0);
  EXPECT_DOUBLE_EQ(bench::percentile({}, 99), 0);
  EXPECT_DOUBLE_EQ(bench::max_of({}), 0);
  EXPECT_EQ(bench::ratio(3, 2), "1.50");
  EXPECT_EQ(bench::ratio(3, 0), "-");
}

// ---- Lines between processes and canfd-sim's output ---------------------------

TEST(Fields, RoundTripThroughOtherOutput) {
  bench::Fields f;
  f.f["lost"] = "0";
  f.f["buses"] = "0.999,1.000";
  f.f["cpu"] = "0.2500";
  const std::string text = "noise=1\n" + f.line("result") + "\nresultx lost=9\nother lost=7\n";
  const bench::Fields g = bench::Fields::parse(text, "result");
  EXPECT_EQ(g.f, f.f);
  EXPECT_DOUBLE_EQ(g.d("cpu"), 0.25);
  EXPECT_DOUBLE_EQ(g.d("absent"), 0);
  EXPECT_EQ(g.at("absent"), "-");
  EXPECT_FALSE(g.has("noise"));
}

TEST(Fields, ValuesMayHoldEqualsSigns) {
  const bench::Fields g = bench::Fields::parse("result a=b=c =x plain\n", "result");
  EXPECT_EQ(g.at("a"), "b=c");
  EXPECT_EQ(g.f.size(), 1u);
}

TEST(ShellUnquote, TheQuotingOfCanfdSim) {
  EXPECT_EQ(bench::shell_unquote("/tmp/canfd-sandbox.X1"), "/tmp/canfd-sandbox.X1");
  // The preload path keeps $PLATFORM for the dynamic loader.
  EXPECT_EQ(bench::shell_unquote("'/b/preload/$PLATFORM/libcanfd-sandbox.so'"),
            "/b/preload/$PLATFORM/libcanfd-sandbox.so");
  EXPECT_EQ(bench::shell_unquote("'it'\\''s here'"), "it's here");
  EXPECT_EQ(bench::shell_unquote("a\\ b"), "a b");
}

TEST(SimReportsDropped, SumsTheEndLinesOfASimThatSaidThem) {
  const std::string start =
      "canfd-sim: sandbox /tmp/canfd-sandbox.a1, adapters (PID 0x1234): hidraw0=12345678\n"
      "canfd-sim: serving until interrupted (Ctrl-C)\n";
  EXPECT_EQ(bench::sim_reports_dropped(start), 0);
  EXPECT_EQ(bench::sim_reports_dropped(
                start +
                "canfd-sim: adapter 12345678 dropped 25 reports that a reader did not read in "
                "time\n"
                "canfd-sim: adapter 12345679 dropped 4 reports that a reader did not read in time\n"
                // Reports an adapter in the kernel could not hand over are not the node's.
                "canfd-sim: adapter 1234567A dropped 9 reports to the host that the host did not "
                "poll for\n"),
            29);
  // Quiet, it says nothing either way.
  EXPECT_EQ(bench::sim_reports_dropped(""), -1);
}

TEST(Window, HoldsItsStartNotItsEnd) {
  // Seconds well past 2^32 microseconds.
  const bench::Window w{5000LL * 1000000 + 250, 5001LL * 1000000};
  EXPECT_FALSE(w.holds(5000, 249));
  EXPECT_TRUE(w.holds(5000, 250));
  EXPECT_TRUE(w.holds(5000, 999999));
  EXPECT_FALSE(w.holds(5001, 0));
}

// ---- Readings of this process --------------------------------------------------

// Spins until the calling thread has used this much CPU (on a loaded
// machine that takes longer than its wall time).
void burn(std::chrono::milliseconds d) {
  const double until = bench::thread_cpu() + std::chrono::duration<double>(d).count();
  volatile uint64_t spin = 0;
  while (bench::thread_cpu() < until) spin = spin + 1;
}

TEST(ProcessUse, CountsReadsWritesCpuAndSwitches) {
  const int fd = open("/dev/null", O_RDWR);
  ASSERT_GE(fd, 0);
  const bench::ProcessUse a = bench::ProcessUse::now();
  char c = 0;
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(read(fd, &c, 1), 0);
    ASSERT_EQ(write(fd, &c, 1), 1);
  }
  for (int i = 0; i < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  burn(std::chrono::milliseconds(50));
  const bench::ProcessUse d = bench::ProcessUse::now() - a;
  close(fd);
  EXPECT_GE(d.reads, 100u);
  EXPECT_GE(d.writes, 100u);
  EXPECT_GE(d.voluntary, 5u);
  EXPECT_GE(d.cpu_s, 0.045);
  // In clock ticks.
  EXPECT_GE(bench::process_cpu(getpid()), 0.03);
}

TEST(ProcessUse, CountsThreadsThatCame) {
  const bench::ProcessUse a = bench::ProcessUse::now();
  std::thread([] { burn(std::chrono::milliseconds(50)); }).join();
  EXPECT_GE((bench::ProcessUse::now() - a).cpu_s, 0.045);
}

TEST(SyscallCounter, CountsThreadsStartedAfterIt) {
  bench::SyscallCounter counter;
  if (!counter.available()) GTEST_SKIP() << "no perf counter on raw_syscalls:sys_enter here";
  const uint64_t before = counter.read();
  std::thread([] {
    for (int i = 0; i < 1000; ++i) syscall(SYS_getppid);
  }).join();
  const uint64_t after = counter.read();
  EXPECT_GE(after - before, 1000u);
  // And the process's own counting through ProcessUse.
  const bench::ProcessUse a = bench::ProcessUse::now(&counter);
  for (int i = 0; i < 500; ++i) syscall(SYS_getppid);
  EXPECT_GE((bench::ProcessUse::now(&counter) - a).syscalls, 500u);
}

TEST(ThreadTimes, SplitsThreadsByWhoTheyAre) {
  std::atomic<long> tid{0};
  std::atomic<bool> go{false}, done{false};
  std::thread t([&] {
    tid = bench::this_tid();
    while (!go) std::this_thread::yield();
    burn(std::chrono::milliseconds(50));
    done = true;
    while (go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (tid == 0) std::this_thread::yield();
  const bench::ThreadTimes a = bench::ThreadTimes::now();
  go = true;
  while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const bench::ThreadTimes b = bench::ThreadTimes::now();
  go = false;
  t.join();
  const auto only_it = bench::used_between(a, b, bench::others(b, {tid}));
  const auto without_it = bench::used_between(a, b, {tid});
  EXPECT_GE(only_it.cpu_ns, 45000000u);
  EXPECT_GE(only_it.runs, 1u);
  EXPECT_LT(without_it.cpu_ns, only_it.cpu_ns);
}

}  // namespace
