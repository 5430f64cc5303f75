// The C++ interface over the simulated adapter: result names, handles that
// close themselves, and each kind of call through to the adapter and back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "canfd.hpp"
#include "sim.h"

namespace {

using canfd_sim::Reply;

constexpr uint16_t kPid = 0x0E31;
constexpr uint32_t kBid = 0x1234ABCD;

// Runs f, expecting a canfd::Error with this result; returns its what().
template <class F>
std::string error_of(F f, int result) {
  try {
    f();
  } catch (const canfd::Error &e) {
    EXPECT_EQ(e.result(), result) << e.what();
    EXPECT_EQ(e.code(), canfd::make_error_code(result));
    return e.what();
  }
  ADD_FAILURE() << "no canfd::Error";
  return "";
}

TEST(Results, EveryCodeHasItsName) {
  const std::vector<std::pair<int, const char *>> names = {
      {0x10001, "CANFD_ERR_INVALID_INDEX"},       {0x10002, "CANFD_ERR_DEVICE_ALREADY_OPEN"},
      {0x10003, "CANFD_ERR_DEVICE_NOT_FOUND"},    {0x10004, "CANFD_ERR_SCAN_FAILED"},
      {0x10005, "CANFD_ERR_DATA_TOO_LONG"},       {0x10006, "CANFD_ERR_USB_WRITE"},
      {0x10007, "CANFD_ERR_TX_QUEUE_FULL"},       {0x1000A, "CANFD_ERR_TOO_MANY_DEVICES"},
      {0x1000B, "CANFD_ERR_DEVICE_NOT_OPEN"},     {0x10100, "CANFD_ERR_CMD_TIMEOUT"},
      {0x10101, "CANFD_ERR_INVALID_PORT"},        {0x10102, "CANFD_ERR_RX_BUF_EMPTY"},
      {0x10103, "CANFD_ERR_TX_BUF_FULL"},         {0x10104, "CANFD_ERR_INVALID_PARAM"},
      {0x10105, "CANFD_ERR_INVALID_FILTER_SIZE"}, {0x1000C, "CANFD_ERR_DEVICE_GONE"}};
  for (const auto &[code, name] : names) {
    EXPECT_EQ(canfd::result_name(code), name);
    EXPECT_EQ(canfd::make_error_code(code).message(), name);
  }
  EXPECT_EQ(canfd::result_name(0), "success");
  EXPECT_EQ(canfd::result_name(5), "adapter error 5");
  EXPECT_EQ(canfd::result_name(255), "adapter error 255");
  EXPECT_EQ(canfd::result_name(0x10008), "unknown result 65544");
  // Open's plain numbers are not adapter errors.
  EXPECT_EQ(canfd::open_result_name(1), "cannot open the hidraw node");
  EXPECT_EQ(canfd::open_result_name(0x10003), "CANFD_ERR_DEVICE_NOT_FOUND");
  EXPECT_STREQ(canfd::make_error_code(1).category().name(), "canfd");
  EXPECT_STREQ(canfd::Error(0x10100, "read status on port 2").what(),
               "read status on port 2: CANFD_ERR_CMD_TIMEOUT (0x10100)");
}

TEST(Frames, SizeFollowsTheDlc) {
  canfd::Frame f;
  f.dlc = 12;
  EXPECT_EQ(f.size(), 8u);  // a classic DLC above 8 still means 8 bytes
  f.fd = true;
  EXPECT_EQ(f.size(), 24u);
  f.dlc = 15;
  EXPECT_EQ(f.size(), 64u);
  f.dlc = 0;
  EXPECT_EQ(f.size(), 0u);
}

class CppInterface : public ::testing::Test {
 protected:
  canfd_sim::Sandbox sandbox;
  canfd_sim::Adapter &sim = sandbox.add({});
};

TEST_F(CppInterface, ScanListsTheAdapter) {
  const auto found = canfd::scan();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pid, kPid);
  EXPECT_EQ(found[0].bid, kBid);
  EXPECT_EQ(found[0].node(), "/dev/hidraw0");
}

TEST_F(CppInterface, AdapterClosesItselfOnceWhateverMovesIt) {
  {
    canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
    EXPECT_EQ(a.index(), 0);
    EXPECT_EQ(error_of([] { canfd::Adapter::open(kPid, kBid); }, 0x10002),
              "open adapter 0E31:1234ABCD: CANFD_ERR_DEVICE_ALREADY_OPEN (0x10002)");
    canfd::Adapter moved = std::move(a);
    EXPECT_EQ(moved.firmware_version(), 0x0102);
    canfd::Adapter other = std::move(moved);
    EXPECT_EQ(other.firmware_version(), 0x0102);
  }
  // Closed at the end of the scope, once: opening works again.
  canfd::Adapter again = canfd::Adapter::open(kPid, kBid);
  canfd::Port p = again.port(1);
  again.close();
  error_of([&] { p.status(); }, CANFD_ERR_DEVICE_NOT_OPEN);
  error_of([] { canfd::Adapter::open(kPid, 0x1); }, CANFD_ERR_DEVICE_NOT_FOUND);
}

TEST_F(CppInterface, FramesTravelFromPortToPort) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  canfd::Port tx = a.port(1), rx = a.port(2);
  EXPECT_FALSE(rx.receive());
  EXPECT_FALSE(rx.wait(std::chrono::milliseconds(20)));

  canfd::Frame f;
  f.id = 0x18DAF110;
  f.extended = true;
  f.fd = true;
  f.dlc = 9;  // 12 bytes
  for (int i = 0; i < 12; ++i) f.data[i] = static_cast<uint8_t>(0xA0 + i);
  f.data[12] = 0xEE;  // beyond the DLC: not sent
  tx.send(f);
  canfd::Frame r2;
  r2.id = 0x123;
  r2.remote = true;
  r2.dlc = 4;
  tx.send(r2);

  ASSERT_TRUE(rx.wait(std::chrono::milliseconds(2000)));
  ASSERT_TRUE(rx.wait(std::chrono::milliseconds(0)));
  auto got = rx.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 0x18DAF110u);
  EXPECT_TRUE(got->extended && got->fd && !got->remote);
  EXPECT_EQ(got->dlc, 9);
  EXPECT_EQ(std::vector<uint8_t>(got->data.begin(), got->data.begin() + 13),
            std::vector<uint8_t>(
                {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0x00}));
  EXPECT_NE(got->time.sec + got->time.usec, 0u);

  ASSERT_TRUE(rx.wait(std::chrono::milliseconds(2000)));
  auto remote = rx.receive();
  ASSERT_TRUE(remote);
  EXPECT_EQ(remote->id, 0x123u);
  EXPECT_TRUE(remote->remote && !remote->extended && !remote->fd);
  EXPECT_EQ(remote->size(), 4u);
  EXPECT_FALSE(remote->time < got->time);
  EXPECT_EQ(rx.rx_count(), 0u);
  EXPECT_EQ(tx.rx_count(), 0u);  // a port does not hear itself
}

TEST_F(CppInterface, SettingsReadBackAsWritten) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  canfd::Port p = a.port(2);
  p.set_mode({1, 2, 3});
  const canfd::OpMode m = p.mode();
  EXPECT_EQ((std::vector<int>{m.enable, m.bus_mode, m.iso_mode}), (std::vector<int>{1, 2, 3}));
  p.set_bit_timing({250000, 4000000, 8750, 7000});
  const canfd::BitTiming t = p.bit_timing();
  EXPECT_EQ(t.bitrate, 250000u);
  EXPECT_EQ(t.data_bitrate, 4000000u);
  EXPECT_EQ(t.sample_point, 8750);
  EXPECT_EQ(t.data_sample_point, 7000);
  p.set_global_filter(true, false);
  EXPECT_TRUE(p.global_filter().reject_std_remote);
  EXPECT_FALSE(p.global_filter().reject_ext_remote);

  p.set_std_filters({{0x100, 0x1FF}, {0x7FF, 0x7FF}, {0, 5}});
  p.set_ext_filters({{0x18DA0000, 0x18DAFFFF}});
  const auto std_list = p.std_filters();
  ASSERT_EQ(std_list.size(), 3u);
  EXPECT_EQ(std_list[1].first, 0x7FFu);
  EXPECT_EQ(std_list[2].last, 5u);
  const auto ext_list = p.ext_filters();
  ASSERT_EQ(ext_list.size(), 1u);
  EXPECT_EQ(ext_list[0].last, 0x18DAFFFFu);
  EXPECT_EQ(a.port(1).std_filters().size(), 0u);
  error_of([&] { p.set_std_filters(std::vector<canfd::IdRange>(129)); },
           CANFD_ERR_INVALID_FILTER_SIZE);
  error_of([&] { p.set_ext_filters(std::vector<canfd::IdRange>(65)); },
           CANFD_ERR_INVALID_FILTER_SIZE);
  p.set_ext_filters(std::vector<canfd::IdRange>(64, {1, 2}));
  EXPECT_EQ(p.ext_filters().size(), 64u);

  canfd::Frame f;
  f.id = 0x321;
  f.dlc = 1;
  p.set_hw_send_frame(f, 50, 2);
  p.set_hw_send_mode(true);
  EXPECT_TRUE(p.hw_send_mode());
  p.set_hw_send_mode(false);
  EXPECT_FALSE(p.hw_send_mode());
  a.set_led_mode(1);
  a.set_led_state(2);
  a.set_serial_number(0xABCD);
  EXPECT_EQ(sim.state().led_state, 2);
  EXPECT_EQ(sim.state().serial, 0xABCDu);
}

TEST_F(CppInterface, RefusalsAndBadPortsBecomeErrors) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  sim.set_reply(0x24, 0x0202, {Reply::Refuse, 5});
  EXPECT_EQ(error_of([&] { a.port(2).bit_timing(); }, 5),
            "read bit rates on port 2: adapter error 5 (0x5)");
  EXPECT_EQ(error_of([&] { a.port(3).status(); }, CANFD_ERR_INVALID_PORT),
            "read status on port 3: CANFD_ERR_INVALID_PORT (0x10101)");
  error_of(
      [&] {
        a.port(1).set_bit_timing({1000000, 500000, 8000, 8000});
      },
      CANFD_ERR_INVALID_PARAM);
  error_of([&] { a.port(0).send(canfd::Frame{}); }, CANFD_ERR_INVALID_PORT);
  sim.set_reply(0x24, 0x0000, {Reply::Silent, 0, 0, 1});
  error_of([&] { a.firmware_version(); }, CANFD_ERR_CMD_TIMEOUT);
}

}  // namespace
