// The library under conditions that only interposed system functions make
// reproducible: threads that are slow to take a lock (the window between a
// taker's check and its wait made wide), a receive worker that is slow to go
// on after it wakes a waiter, and a wall clock that is set forward or back
// while frames arrive. The functions below take the place of libc's for the
// library too, as any program's own definitions do.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstring>

#include "rig.h"

namespace {

// Threads that set this take every mutex 300 us late.
thread_local bool slow_locks = false;
// While set, receive workers pause 2 ms after each wait for the node and
// after each wake-up they give.
std::atomic<bool> slow_reader{false};
// Added to CLOCK_REALTIME, in microseconds.
std::atomic<int64_t> wall_clock_shift_us{0};

}  // namespace

#if !defined(__SANITIZE_THREAD__)
// ThreadSanitizer has its own pthread_mutex_lock, which must see every lock.
extern "C" int pthread_mutex_lock(pthread_mutex_t *m) {
  using Fn = int (*)(pthread_mutex_t *);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  if (slow_locks) {
    const timespec ts{0, 300 * 1000};
    nanosleep(&ts, nullptr);
  }
  return real(m);
}

namespace {

// Pauses 2 ms if the caller is a receive worker and slow_reader is set.
void pause_if_slow_reader() {
  char name[16] = "";
  if (slow_reader.load(std::memory_order_relaxed) &&
      pthread_getname_np(pthread_self(), name, sizeof name) == 0 &&
      std::strncmp(name, "canfd-rx", 8) == 0) {
    const timespec ts{0, 2 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
}

}  // namespace

extern "C" int pthread_cond_broadcast(pthread_cond_t *c) {
  using Fn = int (*)(pthread_cond_t *);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_cond_broadcast"));
  const int rc = real(c);
  pause_if_slow_reader();
  return rc;
}

extern "C" int poll(pollfd *fds, nfds_t n, int timeout) {
  using Fn = int (*)(pollfd *, nfds_t, int);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "poll"));
  const int rc = real(fds, n, timeout);
  pause_if_slow_reader();
  return rc;
}
#endif

extern "C" int clock_gettime(clockid_t id, timespec *ts) {
  using Fn = int (*)(clockid_t, timespec *);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_gettime"));
  const int rc = real(id, ts);
  const int64_t shift = wall_clock_shift_us.load(std::memory_order_relaxed);
  if (rc == 0 && id == CLOCK_REALTIME && shift != 0) {
    int64_t ns = static_cast<int64_t>(ts->tv_sec) * 1000000000 + ts->tv_nsec + shift * 1000;
    ts->tv_sec = static_cast<time_t>(ns / 1000000000);
    ts->tv_nsec = static_cast<long>(ns % 1000000000);
  }
  return rc;
}

namespace {

using namespace rig;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

CANRxPacketStruct record(DWORD id, uint32_t sec = 0, uint32_t usec = 0) {
  return canfd_sim::make_rx_record(id, false, false, false, false, 0, nullptr, sec, usec);
}

using Wakeups = OpenAdapter;

// A taker of port 1 that is slow to lock, while another thread waits for
// frames of port 2: every burst of two frames for port 1 (two reports, the
// second a moment after the first) is taken at once, none is left to wait
// for the taker's timeout; and close wakes both at once.
TEST_F(Wakeups, NoTakerSleepsThroughAFrameMeantForIt) {
  std::atomic<int> taken{0};
  std::atomic<bool> stop{false};
  std::thread taker([&] {
    slow_locks = true;
    CANFD_Frame_St f[1];
    DWORD n = 0;
    while (!stop) {
      const int rc = CANFD_ReceiveCANFrames(h, 1, f, 1, 3000, &n);
      if (rc == 0) taken += static_cast<int>(n);
      if (rc != 0 && rc != CANFD_ERR_RX_BUF_EMPTY) break;
    }
  });
  std::thread other([&] {
    CANFD_Frame_St f[1];
    DWORD n = 0;
    while (!stop) {
      const int rc = CANFD_ReceiveCANFrames(h, 2, f, 1, 3000, &n);
      if (rc != 0 && rc != CANFD_ERR_RX_BUF_EMPTY) break;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int late = 0;
  double worst = 0;
  for (int burst = 0; burst < 1000; ++burst) {
    const int before = taken;
    const auto t0 = Clock::now();
    adapter->push_records(1, {record(1)});
    std::this_thread::sleep_for(std::chrono::microseconds(25 * (burst % 20)));
    adapter->push_records(1, {record(2)});
    while (taken < before + 2 && ms_since(t0) < 2500)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double ms = ms_since(t0);
    worst = std::max(worst, ms);
    if (ms > 500) ++late;
  }
  EXPECT_EQ(late, 0) << "bursts whose second frame waited for the taker's timeout; slowest "
                     << worst << " ms";
  // Close while both wait: they wake at once, close does not wait for their
  // timeout.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop = true;
  const auto t0 = Clock::now();
  ASSERT_EQ(CANFD_CloseDevice(h), 0);
  h = 0xFFFF;
  taker.join();
  other.join();
  EXPECT_LT(ms_since(t0), 500);
}

// Frames taken as soon as they are filed, while the worker has yet to finish
// the batch that brought them (it pauses before it reads, so that the
// command's answer joins the frames' batch, and after it wakes the command): the worker's signal
// for that batch must not leave the readiness descriptor readable with nothing to take.
TEST_F(Wakeups, ReadinessDescriptorIsQuietAfterFramesTakenAsTheyCame) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer keeps its own pthread_cond_broadcast";
#endif
  int fd = -1;
  ASSERT_EQ(CANFD_GetCANRxEventFd(h, 1, &fd), 0);
  slow_reader = true;
  int spurious = 0;
  for (int round = 0; round < 40; ++round) {
    adapter->push_records(1, {record(static_cast<DWORD>(round))});
    // The command's answer comes behind the record, in the same batch.
    WORD fw = 0;
    ASSERT_EQ(CANFD_GetFwVer(h, &fw), 0);
    CANFD_Frame_St f[2];
    DWORD n = 0;
    ASSERT_EQ(CANFD_ReceiveCANFrames(h, 1, f, 2, 0, &n), 0);
    ASSERT_EQ(n, 1u);
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, 10) == 1) ++spurious;
  }
  slow_reader = false;
  EXPECT_EQ(spurious, 0) << "rounds that left the descriptor readable with an empty ring";
}

// Host times follow the wall clock when it is set forward or back; the
// intervals between frames stay the adapter's.
TEST_F(Wakeups, HostTimesFollowTheWallClockWhenItIsSet) {
  // A frame sent on port 1 comes back on port 2, stamped by the adapter's
  // clock.
  auto take_one = [&]() {
    BYTE data[8] = {0};
    EXPECT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 0x10, 0, 0, 8, data), 0);
    CANFD_Frame_St f;
    DWORD n = 0;
    EXPECT_EQ(CANFD_ReceiveCANFrames(h, 2, &f, 1, 2000, &n), 0);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return std::make_pair(static_cast<int64_t>(f.host_second) * 1000000 + f.host_usecond,
                          static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
  };
  auto [first, now0] = take_one();
  EXPECT_LT(std::llabs(first - now0), 100000) << "host time of a frame just received";
  for (int64_t step : {2000000, -5000000}) {
    wall_clock_shift_us += step;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto [host, now] = take_one();
    // Within a second of the new wall clock at once.
    EXPECT_LT(std::llabs(host - now), 1000000) << "after a step of " << step << " us";
  }
  wall_clock_shift_us = 0;
}

}  // namespace
