// Blocking receive: CANFD_WaitCANRxMsg against the simulated adapter.
#include <future>
#include <vector>

#include "rig.h"
#include "wire.h"

namespace {

using namespace rig;
using Clock = std::chrono::steady_clock;

// Generous bound for "at once": sanitizer builds and a loaded machine.
constexpr int kPromptMs = 500;

long long ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Result and duration of one wait, run on another thread.
struct Waited {
  int rc;
  long long ms;
};

std::future<Waited> wait_async(WORD h, BYTE port, DWORD timeout_ms) {
  return std::async(std::launch::async, [=] {
    const auto start = Clock::now();
    const int rc = CANFD_WaitCANRxMsg(h, port, timeout_ms);
    return Waited{rc, ms_since(start)};
  });
}

CANRxPacketStruct record(uint32_t id) {
  const uint8_t data[1] = {0x5A};
  return canfd_sim::make_rx_record(id, false, false, false, false, 1, data);
}

// Gives a waiter time to block before the event under test.
void let_waiters_block() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

DWORD count(WORD h, BYTE port) {
  DWORD n = 0xFFFF;
  EXPECT_EQ(CANFD_GetCANRxMsgCount(h, port, &n), 0);
  return n;
}

using Wait = OpenAdapter;

TEST_F(Wait, ReturnsAtOnceWhenARecordWaits) {
  adapter->push_records(1, {record(0x10)});
  ASSERT_TRUE(eventually([&] { return count(h, 1) == 1; }));
  const auto start = Clock::now();
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 1, 10000), 0);
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 1, 0), 0);
  EXPECT_LT(ms_since(start), kPromptMs);
  // Waiting takes nothing from the ring.
  EXPECT_EQ(count(h, 1), 1u);
}

TEST_F(Wait, TimesOutOnAnEmptyRing) {
  auto start = Clock::now();
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 1, 0), CANFD_ERR_RX_BUF_EMPTY);
  EXPECT_LT(ms_since(start), kPromptMs);
  // 999 ms carries into the next second of the deadline.
  for (DWORD timeout : {60u, 999u}) {
    start = Clock::now();
    EXPECT_EQ(CANFD_WaitCANRxMsg(h, 2, timeout), CANFD_ERR_RX_BUF_EMPTY);
    const long long took = ms_since(start);
    EXPECT_GE(took, static_cast<long long>(timeout));
    EXPECT_LT(took, timeout + kPromptMs);
  }
}

TEST_F(Wait, WakesWhenARecordArrives) {
  auto waiter = wait_async(h, 1, 10000);
  let_waiters_block();
  const auto pushed = Clock::now();
  adapter->push_records(1, {record(0x20)});
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kPromptMs)), std::future_status::ready);
  EXPECT_LT(ms_since(pushed), kPromptMs);
  const Waited w = waiter.get();
  EXPECT_EQ(w.rc, 0);
  EXPECT_GE(w.ms, 90);
}

TEST_F(Wait, NeedsAWholeRecord) {
  const CANRxPacketStruct r = record(0x30);
  const auto *b = reinterpret_cast<const uint8_t *>(&r);
  auto packet = [&](size_t from, size_t len) {
    Bytes p(6 + len, 0);
    p[0] = CANFD_OP_LARGE;
    p[2] = 0x10;
    canfd::wire::put_le16(p.data() + 4, static_cast<WORD>(len));
    std::copy(b + from, b + from + len, p.begin() + 6);
    return p;
  };
  auto waiter = wait_async(h, 1, 10000);
  let_waiters_block();
  const Bytes first = packet(0, 40);
  ASSERT_TRUE(adapter->send_report(first.data(), first.size()));
  // The first half alone is no record: the waiter keeps waiting.
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 1, 50), CANFD_ERR_RX_BUF_EMPTY);
  const Bytes second = packet(40, 40);
  ASSERT_TRUE(adapter->send_report(second.data(), second.size()));
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kPromptMs)), std::future_status::ready);
  EXPECT_EQ(waiter.get().rc, 0);
}

TEST_F(Wait, PortsAreIndependent) {
  for (BYTE port : {1, 2}) {
    const BYTE other = port == 1 ? 2 : 1;
    ASSERT_EQ(CANFD_ClearCANRxBuf(h, 1), 0);
    ASSERT_EQ(CANFD_ClearCANRxBuf(h, 2), 0);
    auto on_port = wait_async(h, port, 10000);
    auto on_other = wait_async(h, other, 400);
    let_waiters_block();
    adapter->push_records(port, {record(0x40)});
    ASSERT_EQ(on_port.wait_for(std::chrono::milliseconds(kPromptMs)), std::future_status::ready);
    EXPECT_EQ(on_port.get().rc, 0);
    const Waited w = on_other.get();
    EXPECT_EQ(w.rc, CANFD_ERR_RX_BUF_EMPTY) << "port " << int(other);
    EXPECT_GE(w.ms, 400);
  }
}

TEST_F(Wait, OneRecordWakesEveryWaiter) {
  std::vector<std::future<Waited>> waiters;
  for (int i = 0; i < 16; ++i) waiters.push_back(wait_async(h, 1, 10000));
  let_waiters_block();
  adapter->push_records(1, {record(0x50)});
  for (auto &w : waiters) {
    ASSERT_EQ(w.wait_for(std::chrono::milliseconds(kPromptMs)), std::future_status::ready);
    EXPECT_EQ(w.get().rc, 0);
  }
}

TEST_F(Wait, CloseWakesEveryWaiter) {
  std::vector<std::future<Waited>> waiters;
  for (BYTE port : {1, 2, 1, 2}) waiters.push_back(wait_async(h, port, 0xFFFFFFFF));
  let_waiters_block();
  const auto start = Clock::now();
  ASSERT_EQ(CANFD_CloseDevice(h), 0);
  EXPECT_LT(ms_since(start), kPromptMs);
  for (auto &w : waiters) {
    // The waiters have left the library when close returns; their threads
    // still need a moment to hand back the result (slow under emulation).
    ASSERT_EQ(w.wait_for(std::chrono::milliseconds(kPromptMs)), std::future_status::ready);
    EXPECT_EQ(w.get().rc, CANFD_ERR_DEVICE_NOT_OPEN);
  }
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 1, 0), CANFD_ERR_DEVICE_NOT_OPEN);
  h = 0xFFFF;
}

TEST_F(Wait, WorksAgainAfterReopen) {
  ASSERT_EQ(CANFD_CloseDevice(h), 0);
  h = 0xFFFF;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  auto waiter = wait_async(h, 1, 10000);
  let_waiters_block();
  adapter->push_records(1, {record(0x70)});
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kPromptMs)), std::future_status::ready);
  EXPECT_EQ(waiter.get().rc, 0);
}

TEST_F(Wait, ValidatesDeviceThenPort) {
  EXPECT_EQ(CANFD_WaitCANRxMsg(128, 1, 0), CANFD_ERR_INVALID_INDEX);
  EXPECT_EQ(CANFD_WaitCANRxMsg(5, 3, 0), CANFD_ERR_DEVICE_NOT_OPEN);
  const auto start = Clock::now();
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 0, 10000), CANFD_ERR_INVALID_PORT);
  EXPECT_EQ(CANFD_WaitCANRxMsg(h, 3, 10000), CANFD_ERR_INVALID_PORT);
  EXPECT_LT(ms_since(start), kPromptMs);
}

}  // namespace
