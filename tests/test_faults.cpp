// Fault injection: an adapter that disappears or stops answering, and close
// racing with threads that send, receive and run commands.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>

#include "rig.h"

namespace {

using namespace rig;
using canfd_sim::Reply;
using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

CANRxPacketStruct record(DWORD id) {
  return canfd_sim::make_rx_record(id, true, false, false, false, 0, nullptr);
}

// Frames streaming in both directions until stopped.
class Traffic {
 public:
  Traffic(canfd_sim::Adapter &a, WORD h) {
    threads_.emplace_back([this, h] {
      BYTE data[64] = {1, 2, 3, 4, 5, 6, 7, 8};
      for (DWORD i = 0; !stop_; ++i) {
        CANFD_SetCANTxMsg(h, 1 + (i & 1), i & 2 ? 1 : 0, i, 0, i & 4 ? 1 : 0, 8, data);
        std::this_thread::yield();
      }
    });
    threads_.emplace_back([this, &a] {
      std::vector<CANRxPacketStruct> recs(
          6, canfd_sim::make_rx_record(0x77, false, false, false, false, 0, nullptr));
      while (!stop_) {
        a.push_records(1, recs);
        a.push_records(2, recs);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    threads_.emplace_back([this, h] {
      BYTE t, m, r, f, dlc, data[64];
      DWORD id, s, us;
      while (!stop_) {
        for (BYTE port = 1; port <= 2; ++port)
          while (CANFD_GetCANRxMsg(h, port, &t, &m, &id, &r, &f, &dlc, data, &s, &us) == 0) {
          }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }
  ~Traffic() { stop(); }
  void stop() {
    stop_ = true;
    for (auto &t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

using Faults = OpenAdapter;

TEST_F(Faults, UnplugWhileFramesStreamNeitherSpinsNorHangs) {
  {
    Traffic traffic(*adapter, h);
    ASSERT_TRUE(eventually([&] { return adapter->tx_frames_received(1) > 50; }));
    adapter->disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    traffic.stop();
  }
  const double cpu0 = cpu_seconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(cpu_seconds() - cpu0, 0.2) << "CPU seconds in one second after the unplug";
  // Calls say the device is gone at once instead of timing out.
  WORD fw = 0;
  const auto t0 = Clock::now();
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_DEVICE_GONE);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 50);
  BYTE data[8] = {0};
  EXPECT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 1, 0, 0, 8, data), CANFD_ERR_DEVICE_GONE);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
  h = 0xFFFF;
}

TEST_F(Faults, SilentAdapterTimesOutCommandsWhileFramesKeepFlowing) {
  adapter->set_reply_all({Reply::Silent});
  std::atomic<bool> done{false};
  std::thread commands([&] {
    WORD fw = 0;
    DWORD a, b, c;
    const auto t0 = Clock::now();
    EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_CMD_TIMEOUT);
    EXPECT_EQ(CANFD_GetCANStatus(h, 1, &a, &b, &c), CANFD_ERR_CMD_TIMEOUT);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(ms, 2000);
    EXPECT_LT(ms, 4000);
    done = true;
  });
  // Meanwhile frames go out and come back as if nothing were wrong.
  BYTE data[8] = {9};
  DWORD received = 0;
  while (!done) {
    if (CANFD_SetCANTxMsg(h, 1, 0, 0x10, 0, 0, 1, data) == 0) {
      DWORD n = 0;
      CANFD_GetCANRxMsgCount(h, 2, &n);
      received = n;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  commands.join();
  EXPECT_GT(received, 100u);
  // Answers again once the adapter does.
  adapter->clear_replies();
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);
}

TEST_F(Faults, MalformedReportsAreHarmless) {
  const std::vector<Bytes> junk = {
      bytes({0x3A}),                          // header cut short
      bytes({0x3A, 0, 0x10, 0, 0xFF, 0xFF}),  // claims far more than it carries
      bytes({0x21, 0, 0, 0, 0xFF, 0xFF}),     // answer longer than the slot
      bytes({0x3F}),                          // refusal without code
      Bytes(513, 0xFF),
      Bytes(1, 0)};
  for (const auto &r : junk) adapter->send_report(r.data(), r.size());
  // The junk answers may still be taken as answers by the first exchanges;
  // after that the device answers normally again.
  WORD fw = 0;
  int tries = 0;
  while (tries < 5 && !(CANFD_GetFwVer(h, &fw) == 0 && fw == 0x0102)) ++tries;
  EXPECT_LT(tries, 5);
  EXPECT_EQ(fw, 0x0102);
  DWORD n = 5;
  EXPECT_EQ(CANFD_GetCANRxMsgCount(h, 1, &n), 0);
  EXPECT_EQ(n, 0u);
}

// ---- A stalled adapter, an unplugged adapter --------------------------------

// An adapter that stops taking reports (a bus with no one to acknowledge is
// enough): the node's writes block, as a USB hidraw node's do, and fail
// after its timeout (here 2 s instead of the kernel's 5 s). No call waits
// longer than its own time, and what is lost is said.
TEST_F(Faults, AStalledAdapterHoldsNoCallerBeyondItsTime) {
  constexpr int kNodeTimeoutMs = 2000;
  sandbox.set_write_timeout(kNodeTimeoutMs);
  adapter->stall(true);
  const auto stalled = Clock::now();
  BYTE data[8] = {0};
  std::vector<double> ms;
  int accepted = 0;
  for (int i = 0; i < 2000; ++i) {
    const auto t0 = Clock::now();
    const int rc = CANFD_SetCANTxMsg(h, 1, 0, static_cast<DWORD>(i), 0, 0, 8, data);
    ms.push_back(ms_between(t0, Clock::now()));
    ASSERT_TRUE(rc == 0 || rc == CANFD_ERR_TX_QUEUE_FULL) << rc;
    if (rc == 0) ++accepted;
  }
  std::sort(ms.begin(), ms.end());
  EXPECT_LT(ms[ms.size() * 99 / 100], 10.0) << "99th percentile of one send, ms";
  EXPECT_LT(ms.back(), 300.0) << "slowest send, ms";
  EXPECT_GE(accepted, 8);
  // A batch send keeps its time; a command and a reset keep theirs.
  CANFD_Frame_St f{};
  f.len = 8;
  DWORD sent = 99;
  auto t0 = Clock::now();
  EXPECT_EQ(CANFD_SendCANFrames(h, 2, &f, 1, 200, &sent), CANFD_ERR_TX_QUEUE_FULL);
  EXPECT_EQ(sent, 0u);
  EXPECT_GE(ms_between(t0, Clock::now()), 190.0);
  EXPECT_LT(ms_between(t0, Clock::now()), 450.0);
  WORD fw = 0;
  t0 = Clock::now();
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_CMD_TIMEOUT);
  EXPECT_LT(ms_between(t0, Clock::now()), 1250.0);
  t0 = Clock::now();
  EXPECT_EQ(CANFD_ResetModule(h), CANFD_ERR_USB_WRITE);
  EXPECT_LT(ms_between(t0, Clock::now()), 1250.0);
  // The write the node gives up on is told, its frames counted as lost.
  EXPECT_TRUE(eventually([&] { return USBDEV_GetLastError(h) == CANFD_ERR_USB_WRITE; },
                         kNodeTimeoutMs + 1000));
  EXPECT_GE(ms_between(stalled, Clock::now()), kNodeTimeoutMs - 50.0);
  DWORD lost = 0;
  ASSERT_EQ(CANFD_GetCANFrameCounts(h, 1, nullptr, &lost, 0), 0);
  EXPECT_GT(lost, 0u);
  EXPECT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 1, 0, 0, 8, data), CANFD_ERR_USB_WRITE);  // sticky
  // Close returns within its bound, whatever the node does.
  t0 = Clock::now();
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
  EXPECT_LT(ms_between(t0, Clock::now()), 400.0);
  join_left_writer(h, kNodeTimeoutMs);
  h = 0xFFFF;
}

// Close while the writer is inside a write that the node holds: close
// returns at once, and every descriptor and thread of the device is gone
// once the write returns.
TEST(Close, LeavesAWriteTheNodeHoldsAndReleasesEverythingAfter) {
  canfd_sim::Sandbox sb;
  auto &a = sb.add({});
  sb.set_write_timeout(600);
  const int fds = count_entries("/proc/self/fd");
  const int tasks = count_entries("/proc/self/task");
  for (int round = 0; round < 3; ++round) {
    WORD h = 0;
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
    sync_with_worker(h);
    a.stall(true);
    BYTE data[8] = {0};
    for (int i = 0; i < 40; ++i) CANFD_SetCANTxMsg(h, 1, 0, 1, 0, 0, 8, data);
    const auto t0 = Clock::now();
    ASSERT_EQ(CANFD_CloseDevice(h), 0);
    EXPECT_LT(ms_between(t0, Clock::now()), 400.0) << round;
    a.stall(false);
    join_left_writer(h, 600);
  }
  EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/fd") == fds; }, 3000));
  EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/task") == tasks; }, 3000));
  // The index opens again, and works.
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
}

TEST_F(Faults, UnplugWakesEveryWaiterAndLeavesReceivedFramesToTake) {
  adapter->push_records(1, {record(1), record(2), record(3)});
  sync_with_worker(h);
  adapter->set_reply(0x24, 0x0101, {Reply::Silent});
  int wait_rc = 0, command_rc = 0;
  Clock::time_point wait_end, command_end;
  std::thread waiter([&] {
    wait_rc = CANFD_WaitCANRxMsg(h, 2, 5000);
    wait_end = Clock::now();
  });
  std::thread commander([&] {
    DWORD a, b, c;
    command_rc = CANFD_GetCANStatus(h, 1, &a, &b, &c);
    command_end = Clock::now();
  });
  ASSERT_TRUE(adapter->wait_received(1, 2000));  // the status read waits for its answer
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto unplugged = Clock::now();
  adapter->disconnect();
  waiter.join();
  commander.join();
  EXPECT_EQ(wait_rc, CANFD_ERR_DEVICE_GONE);
  EXPECT_EQ(command_rc, CANFD_ERR_DEVICE_GONE);
  EXPECT_LT(ms_between(unplugged, wait_end), 50.0);
  EXPECT_LT(ms_between(unplugged, command_end), 50.0);

  // What arrived before the unplug is still there; then the device says why
  // nothing more comes.
  DWORD n = 0;
  EXPECT_EQ(CANFD_GetCANRxMsgCount(h, 1, &n), 0);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 1, 1000), 0);
  BYTE t, m, r, f, dlc, buf[64];
  DWORD id, s, us;
  for (DWORD i = 1; i <= 3; ++i) {
    ASSERT_EQ(CANFD_GetCANRxMsg(h, 1, &t, &m, &id, &r, &f, &dlc, buf, &s, &us), 0);
    EXPECT_EQ(id, i);
  }
  EXPECT_EQ(CANFD_GetCANRxMsg(h, 1, &t, &m, &id, &r, &f, &dlc, buf, &s, &us),
            CANFD_ERR_DEVICE_GONE);
  EXPECT_EQ(CANFD_GetCANRxMsgCount(h, 1, &n), CANFD_ERR_DEVICE_GONE);
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 1, 1000), CANFD_ERR_DEVICE_GONE);
  BYTE data[8] = {0};
  EXPECT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 1, 0, 0, 8, data), CANFD_ERR_DEVICE_GONE);
  EXPECT_EQ(USBDEV_Write(h, data, 6), CANFD_ERR_DEVICE_GONE);
  EXPECT_EQ(CANFD_ResetModule(h), CANFD_ERR_DEVICE_GONE);
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_DEVICE_GONE);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
  h = 0xFFFF;

  // Plugged in again, it opens and carries frames as before.
  sandbox.remove(*adapter);
  adapter = &sandbox.add({});
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  EXPECT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 0x55, 0, 0, 8, data), 0);
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 2, 2000), 0);
}

// ---- Close ---------------------------------------------------------------------

TEST(Close, WritesEveryAcceptedFrameFirst) {
  canfd_sim::Sandbox sb;
  auto &a = sb.add({});
  a.set_recording(false);
  BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  size_t sent = 0;
  for (int round = 0; round < 1000; ++round) {
    WORD h = 0;
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0) << round;
    for (DWORD i = 0; i < 8; ++i) ASSERT_EQ(CANFD_SetCANTxMsg(h, 1, 0, i, 0, 0, 8, data), 0);
    sent += 8;
    ASSERT_EQ(CANFD_CloseDevice(h), 0);
  }
  EXPECT_TRUE(eventually([&] { return a.tx_frames_received(1) == sent; }, 5000))
      << a.tx_frames_received(1) << " of " << sent << " frames reached the adapter";
}

TEST(Close, TwoThreadsClosingOneDeviceCloseItOnce) {
  canfd_sim::Sandbox sb;
  sb.add({});
  for (int round = 0; round < 200; ++round) {
    WORD h = 0;
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0) << round;
    std::atomic<int> ready{0};
    int rc[2] = {-1, -1};
    std::thread closers[2];
    for (int i = 0; i < 2; ++i)
      closers[i] = std::thread([&, i] {
        ++ready;
        while (ready < 2) {
        }
        rc[i] = CANFD_CloseDevice(h);
      });
    for (auto &t : closers) t.join();
    EXPECT_EQ(std::min(rc[0], rc[1]), 0) << round;
    EXPECT_EQ(std::max(rc[0], rc[1]), CANFD_ERR_DEVICE_NOT_OPEN) << round;
  }
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
}

TEST(Close, OpenCloseAndScanFromManyThreads) {
  canfd_sim::Sandbox sb;
  for (int i = 0; i < 3; ++i) {
    canfd_sim::AdapterId id;
    id.hidraw = i;
    id.uniq = "0000000" + std::to_string(i + 1);
    sb.add(id);
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int k = 0; k < 4; ++k)
    threads.emplace_back([&, k] {
      WORD pid[8];
      DWORD bid[8];
      for (int i = 0; i < 100; ++i) {
        if (CANFD_ListDevice(pid, bid) != 3) ++failures;
        WORD h = 0;
        const DWORD board = static_cast<DWORD>((k + i) % 3 + 1);
        const int rc = CANFD_OpenDevice(&h, kPid, board);
        if (rc == CANFD_ERR_DEVICE_ALREADY_OPEN) continue;
        if (rc != 0) {
          ++failures;
          continue;
        }
        WORD fw = 0;
        if (CANFD_GetFwVer(h, &fw) != 0) ++failures;
        if (CANFD_CloseDevice(h) != 0) ++failures;
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures, 0);
  // Nothing is left open, and every adapter opens again.
  for (WORD h = 0; h < 3; ++h) EXPECT_EQ(CANFD_CloseDevice(h), CANFD_ERR_DEVICE_NOT_OPEN);
  for (DWORD board = 1; board <= 3; ++board) {
    WORD h = 0;
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, board), 0);
    EXPECT_EQ(CANFD_CloseDevice(h), 0);
  }
}

// ---- Descriptors ---------------------------------------------------------------

TEST(Descriptors, EveryDescriptorOfADeviceIsClosedOnExec) {
  canfd_sim::Sandbox sb;
  sb.add({});
  const std::set<int> before = proc_entries("/proc/self/fd");
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  int seen = 0;
  for (int fd : proc_entries("/proc/self/fd")) {
    if (before.count(fd)) continue;
    const int flags = fcntl(fd, F_GETFD);
    if (flags == -1) continue;  // the directory listing's own descriptor
    ++seen;
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd << " would pass to a program run";
  }
  EXPECT_GE(seen, 3);  // the node, the transmit worker's eventfd, the stop event
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
}

TEST(Descriptors, DescriptorZeroIsAValidNode) {
  canfd_sim::Sandbox sb;
  sb.add({});
  const int saved = dup(0);
  close(0);
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  EXPECT_NE(fcntl(0, F_GETFD), -1);  // the node took descriptor 0
  BYTE data[8] = {0};
  EXPECT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 0x12, 0, 0, 8, data), 0);
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 2, 2000), 0);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
  EXPECT_EQ(fcntl(0, F_GETFD), -1);  // and close released it
  dup2(saved, 0);
  close(saved);
}

// Close races with threads that are in the middle of calls on the device.
TEST(CloseUnderLoad, RepeatedWhileThreadsSendReceiveAndCommand) {
  canfd_sim::Sandbox sb;
  auto &a = sb.add({});
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  ASSERT_EQ(CANFD_CloseDevice(h), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int fds = count_entries("/proc/self/fd");
  const int tasks = count_entries("/proc/self/task");
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0) << round;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&stop, h] {
      BYTE data[8] = {0};
      while (!stop) CANFD_SetCANTxMsg(h, 1, 0, 1, 0, 0, 8, data);
    });
    threads.emplace_back([&stop, h] {
      WORD fw;
      DWORD x;
      while (!stop) {
        CANFD_GetFwVer(h, &fw);
        CANFD_GetCANRxMsgCount(h, 2, &x);
      }
    });
    threads.emplace_back([&stop, h] {
      BYTE t, m, r, f, dlc, data[64];
      DWORD id, s, us;
      while (!stop) {
        CANFD_GetCANRxMsg(h, 2, &t, &m, &id, &r, &f, &dlc, data, &s, &us);
        CANFD_WaitCANRxMsg(h, 1, 5);
      }
    });
    a.push_records(1, {canfd_sim::make_rx_record(1, false, false, false, false, 0, nullptr)});
    std::this_thread::sleep_for(std::chrono::microseconds(500 + 50 * (round % 20)));
    ASSERT_EQ(CANFD_CloseDevice(h), 0) << round;
    // Every call made after the close fails cleanly.
    WORD fw = 0;
    EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_DEVICE_NOT_OPEN);
    stop = true;
    for (auto &t : threads) t.join();
  }
  EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/fd") == fds; }));
  EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/task") == tasks; }));
}

// Open and close with and without traffic; run under valgrind by the leak check.
TEST(Leaks, OpenCloseWithAndWithoutTraffic) {
  canfd_sim::Sandbox sb;
  auto &a = sb.add({});
  for (int round = 0; round < 20; ++round) {
    WORD h = 0;
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
    if (round % 2) {
      Traffic traffic(a, h);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(CANFD_CloseDevice(h), 0);
  }
}

}  // namespace
