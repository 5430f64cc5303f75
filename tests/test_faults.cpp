// Fault injection: an adapter that disappears or stops answering, and close
// racing with threads that send, receive and run commands.
#include <dirent.h>
#include <sys/resource.h>

#include <atomic>

#include "rig.h"

namespace {

using namespace rig;
using canfd_sim::Reply;
using Clock = std::chrono::steady_clock;

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

// Close races with threads that are in the middle of calls on the device.
TEST(CloseUnderLoad, RepeatedWhileThreadsSendReceiveAndCommand) {
  if (!signal_handlers_keep_thread_identity) GTEST_SKIP() << kLosesThreadIdentity;
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
