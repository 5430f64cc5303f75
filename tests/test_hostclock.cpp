// The mapping of the adapter's clock onto the host's, fed with reports as a
// simulated hour of traffic delivers them: adapter clocks off by 100 ppm
// either way, transfer delays with long tails, a first report that waited,
// an adapter that is reset or whose clock jumps.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "internal.h"

namespace {

namespace core = canfd::core;

// A report: its newest record's adapter time, its true time on the host's
// clock (when the frame was on the bus), and when the host read it.
struct Report {
  int64_t adapter_us;
  int64_t true_us;
  int64_t arrival_us;
};

// An adapter whose clock runs ppm off the host's, sending a report every
// period_us, read after a delay of at least 60 us with a long tail and now
// and then a stall of several milliseconds.
class Traffic {
 public:
  Traffic(double ppm, int64_t period_us, unsigned seed)
      : ppm_(ppm), period_(period_us), rng_(seed) {}

  Report next() {
    true_us_ += period_;
    const double adapter = 7e9 + static_cast<double>(true_us_ - kStart) * (1 + ppm_ * 1e-6);
    int64_t delay = 60 + static_cast<int64_t>(tail_(rng_));
    if (stall_(rng_) < 0.002) delay += 3000 + static_cast<int64_t>(stall_(rng_) * 5000);
    return {static_cast<int64_t>(adapter), true_us_, true_us_ + delay};
  }

 private:
  static constexpr int64_t kStart = 1000000000000;
  double ppm_;
  int64_t period_;
  int64_t true_us_ = kStart;
  std::mt19937_64 rng_;
  std::exponential_distribution<double> tail_{1.0 / 150};
  std::uniform_real_distribution<double> stall_{0, 1};
};

TEST(HostClock, FollowsAnAdapterClockOffBy100PpmForAnHour) {
  for (double ppm : {100.0, -100.0}) {
    core::HostClock c;
    Traffic traffic(ppm, 2000, 7);
    double worst_after_start = 0, last = 0;
    for (int64_t i = 0; i < 3600LL * 500; ++i) {
      const Report r = traffic.next();
      core::clock_learn(c, r.adapter_us, r.arrival_us);
      const double error =
          std::fabs(static_cast<double>(core::clock_map(c, r.adapter_us) - r.true_us));
      if (i > 10 * 500) worst_after_start = std::fmax(worst_after_start, error);
      last = error;
    }
    EXPECT_LT(last, 1000) << ppm << " ppm: error after an hour, us";
    EXPECT_LT(worst_after_start, 1000) << ppm << " ppm: worst error after the first 10 s, us";
  }
}

TEST(HostClock, IntervalsFollowTheAdapterFromTheFirstFrame) {
  core::HostClock c;
  Traffic traffic(0, 250, 3);
  int64_t prev_adapter = 0, prev_host = 0;
  double worst = 0;
  for (int i = 0; i < 40000; ++i) {
    Report r = traffic.next();
    // The first report waited 5 ms in the host; the estimate settles after.
    if (i == 0) r.arrival_us += 5000;
    core::clock_learn(c, r.adapter_us, r.arrival_us);
    // Two frames per report, 111 us apart.
    for (int64_t a : {r.adapter_us - 111, r.adapter_us}) {
      const int64_t host = core::clock_map(c, a);
      if (prev_adapter != 0 && a > prev_adapter) {
        const double ratio =
            static_cast<double>(host - prev_host) / static_cast<double>(a - prev_adapter);
        worst = std::fmax(worst, std::fabs(ratio - 1));
      }
      prev_adapter = a;
      prev_host = host;
    }
  }
  // Whole microseconds: an interval of 111 us may be off by one.
  EXPECT_LT(worst, 0.01 + 1.0 / 111) << "largest relative difference of an interval";
  const Report r = traffic.next();
  core::clock_learn(c, r.adapter_us, r.arrival_us);
  EXPECT_LT(std::llabs(core::clock_map(c, r.adapter_us) - r.true_us), 300)
      << "error after 10 s with a first report 5 ms late";
}

TEST(HostClock, StartsOverWhenTheAdapterIsResetOrItsClockJumps) {
  core::HostClock c;
  int64_t host = 5000000000;
  for (int i = 0; i < 1000; ++i, host += 1000) core::clock_learn(c, 1000000 + i * 1000, host + 100);
  EXPECT_LT(std::llabs(core::clock_map(c, 1000000 + 999 * 1000) - (host - 1000)), 200);
  // Reset: the adapter's clock starts again from 0.
  core::clock_learn(c, 50, host + 100);
  EXPECT_LT(std::llabs(core::clock_map(c, 50) - host), 200);
  for (int i = 1; i < 100; ++i) core::clock_learn(c, 50 + i * 1000, host + i * 1000 + 100);
  EXPECT_LT(std::llabs(core::clock_map(c, 50 + 99 * 1000) - (host + 99 * 1000)), 200);
  // A jump ahead by a minute: the next report tells where the clock is now.
  host += 100 * 1000;
  core::clock_learn(c, 60000000 + 50 + 100 * 1000, host + 100);
  EXPECT_LT(std::llabs(core::clock_map(c, 60000000 + 50 + 100 * 1000) - host), 200);
  // Reports that arrive late (a busy host) move nothing.
  const int64_t before = core::clock_map(c, 60000000 + 50 + 101 * 1000);
  core::clock_learn(c, 60000000 + 50 + 101 * 1000, host + 1000 + 2500000);
  EXPECT_LT(std::llabs(core::clock_map(c, 60000000 + 50 + 101 * 1000) - before), 50);
}

// A port's dates keep the adapter's order when the wall clock's offset is
// read a little later for one batch than for the next; a real step of the
// wall clock, forward or back, goes through.
TEST(HostClock, DatesKeepTheirOrderThroughJitterAndFollowWallClockSteps) {
  core::HostClock c;
  int64_t host = 5000000000;
  for (int i = 0; i < 100; ++i, host += 1000) core::clock_learn(c, 1000000 + i * 1000, host + 100);
  const int64_t wall = 1700000000000000;
  int64_t last = INT64_MIN;
  const int64_t a = core::date_record(c, 1098000, wall, &last);
  const int64_t b = core::date_record(c, 1098111, wall, &last);
  EXPECT_EQ(b - a, 111);
  // The next batch's offset read 300 us short (its reader was preempted
  // between the clocks): dated with the last frame, not before it.
  const int64_t c1 = core::date_record(c, 1098222, wall - 300, &last);
  EXPECT_EQ(c1, b);
  const int64_t c2 = core::date_record(c, 1098444, wall - 300, &last);
  EXPECT_EQ(c2, b + 33);
  // The wall clock set back 2 s, then forward 3 s.
  EXPECT_EQ(core::date_record(c, 1098555, wall - 2000000, &last), a + 555 - 2000000);
  EXPECT_EQ(core::date_record(c, 1098666, wall + 1000000, &last), a + 666 + 1000000);
}

}  // namespace
