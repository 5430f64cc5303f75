// The C++ interface over the simulated adapter: results as std::system_error
// codes, handles that close themselves and refuse to outlive their adapter,
// frames and their conversions, and each kind of call through to the
// adapter and back.
#include <gtest/gtest.h>
#include <poll.h>

#include <array>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "canfd.hpp"
#include "rig.h"
#include "sim.h"

namespace {

using canfd::errc;
using canfd_sim::Reply;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

bool readable(int fd, int timeout_ms = 0) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN);
}

TEST(Results, EveryCodeHasItsNameAndText) {
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
    EXPECT_EQ(canfd::make_error_code(code).message(), CANFD_GetResultText(code));
  }
  EXPECT_EQ(canfd::make_error_code(errc::device_gone).message(), "adapter unplugged");
  EXPECT_EQ(canfd::result_name(0), "success");
  EXPECT_EQ(canfd::result_name(5), "adapter error 5");
  EXPECT_EQ(canfd::result_name(255), "adapter error 255");
  EXPECT_EQ(canfd::result_name(0x10008), "unknown result 65544");
  // Open's plain numbers are not adapter errors.
  EXPECT_EQ(canfd::open_result_name(1), "cannot open the hidraw node");
  EXPECT_EQ(canfd::open_result_name(0x10003), "CANFD_ERR_DEVICE_NOT_FOUND");
  EXPECT_STREQ(canfd::Error(0x10100, "read status on port 2").what(),
               "read status on port 2: CANFD_ERR_CMD_TIMEOUT (0x10100)");
}

TEST(Results, ErrcNamesEveryResultCodeOfTheLibrary) {
  const std::set<int> ours = {
      static_cast<int>(errc::invalid_index),    static_cast<int>(errc::device_already_open),
      static_cast<int>(errc::device_not_found), static_cast<int>(errc::scan_failed),
      static_cast<int>(errc::data_too_long),    static_cast<int>(errc::usb_write),
      static_cast<int>(errc::tx_queue_full),    static_cast<int>(errc::too_many_devices),
      static_cast<int>(errc::device_not_open),  static_cast<int>(errc::device_gone),
      static_cast<int>(errc::cmd_timeout),      static_cast<int>(errc::invalid_port),
      static_cast<int>(errc::rx_buf_empty),     static_cast<int>(errc::tx_buf_full),
      static_cast<int>(errc::invalid_param),    static_cast<int>(errc::invalid_filter_size),
      static_cast<int>(errc::port_in_use)};
  const CANFD_ResultCode_St *table = nullptr;
  const int n = CANFD_GetResultCodes(&table);
  std::set<int> library;
  for (int i = 0; i < n; ++i) library.insert(table[i].code);
  EXPECT_EQ(ours, library);
}

TEST(Results, ErrorsAreSystemErrorsThatCompareAsErrorCodes) {
  try {
    throw canfd::Error(CANFD_ERR_DEVICE_GONE, "receive frames on port 1");
  } catch (const std::system_error &e) {
    EXPECT_EQ(e.code(), errc::device_gone);
    EXPECT_NE(e.code(), errc::device_not_open);
    EXPECT_EQ(e.code(), std::errc::no_such_device);
    EXPECT_STREQ(e.code().category().name(), "canfd");
    EXPECT_STREQ(e.what(), "receive frames on port 1: CANFD_ERR_DEVICE_GONE (0x1000C)");
  }
  const std::error_code ec = errc::cmd_timeout;
  EXPECT_EQ(ec.value(), CANFD_ERR_CMD_TIMEOUT);
  EXPECT_EQ(ec, std::errc::timed_out);
  EXPECT_EQ(canfd::make_error_code(CANFD_ERR_TX_QUEUE_FULL), std::errc::no_buffer_space);
  EXPECT_EQ(canfd::make_error_code(CANFD_ERR_INVALID_PORT), std::errc::invalid_argument);
  EXPECT_EQ(canfd::make_error_code(CANFD_ERR_DEVICE_NOT_OPEN), std::errc::bad_file_descriptor);
  // Same number, other category: not the same error.
  EXPECT_NE(ec, std::error_code(CANFD_ERR_CMD_TIMEOUT, std::generic_category()));
  // An adapter's own refusal has no portable meaning.
  const std::error_code refused = canfd::make_error_code(5);
  EXPECT_NE(refused, std::errc::io_error);
  EXPECT_EQ(refused.default_error_condition().category(), canfd::category());
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
  f.resize(13);  // CAN FD: the next DLC that holds 13 bytes
  EXPECT_EQ(f.dlc, 10);
  f.fd = false;
  f.resize(13);
  EXPECT_EQ(f.dlc, 8);
}

TEST(Frames, LengthsAndDataLengthCodesMapBothWays) {
  static_assert(canfd::dlc_to_len(9) == 12 && canfd::len_to_dlc(64) == 15);
  for (uint8_t dlc = 0; dlc < 16; ++dlc) {
    EXPECT_EQ(canfd::dlc_to_len(dlc), CANFD_DLC2DBN[dlc]) << int(dlc);
    EXPECT_EQ(canfd::len_to_dlc(CANFD_DLC2DBN[dlc]), dlc);
  }
  for (size_t n = 0; n <= 64; ++n) {
    const uint8_t dlc = canfd::len_to_dlc(n);
    EXPECT_GE(canfd::dlc_to_len(dlc), n);
    if (dlc > 0) {
      EXPECT_LT(canfd::dlc_to_len(dlc - 1), n) << n;  // the smallest that holds n
    }
  }
  EXPECT_EQ(canfd::len_to_dlc(65), 15);
}

TEST(Frames, ConvertToAndFromTheFrameRecordOfTheCApi) {
  canfd::Frame f;
  f.id = 0x18DAF110;
  f.extended = f.fd = f.brs = f.esi = true;
  f.resize(20);
  for (size_t i = 0; i < 64; ++i) f.data[i] = static_cast<uint8_t>(i + 1);
  const CANFD_Frame_St c = f.to_c();
  EXPECT_EQ(c.id, 0x18DAF110u);
  EXPECT_EQ(c.flags, CANFD_FRAME_EXT | CANFD_FRAME_FD | CANFD_FRAME_BRS | CANFD_FRAME_ESI);
  EXPECT_EQ(c.len, 20);
  EXPECT_EQ(c.data[19], 20);
  EXPECT_EQ(c.data[20], 0);  // beyond the length: not carried
  const canfd::Frame back = canfd::Frame::from_c(c);
  EXPECT_TRUE(back.extended && back.fd && back.brs && back.esi && !back.remote);
  EXPECT_EQ(back.dlc, f.dlc);
  EXPECT_EQ(back.payload().size(), 20u);

  // A length between two DLC lengths takes the next DLC, padded with zeros.
  CANFD_Frame_St odd{};
  odd.id = 0x123;
  odd.flags = CANFD_FRAME_FD;
  odd.len = 13;
  std::memset(odd.data, 0xAA, 13);
  odd.second = 7;
  odd.usecond = 8;
  odd.host_second = 1700000000;
  odd.host_usecond = 500000;
  const canfd::Frame g = canfd::Frame::from_c(odd);
  EXPECT_EQ(g.size(), 16u);
  EXPECT_EQ(g.data[12], 0xAA);
  EXPECT_EQ(g.data[13], 0);
  EXPECT_TRUE(g.time == (canfd::Timestamp{7, 8}));
  EXPECT_EQ(g.host_clock_time().time_since_epoch(),
            std::chrono::seconds(1700000000) + milliseconds(500));

  // A remote frame's length is the one it requests; it carries no data.
  canfd::Frame r;
  r.id = 0x7FF;
  r.remote = true;
  r.dlc = 4;
  r.data[0] = 0x55;
  const CANFD_Frame_St rc = r.to_c();
  EXPECT_EQ(rc.flags, CANFD_FRAME_RTR);
  EXPECT_EQ(rc.len, 4);
  EXPECT_EQ(rc.data[0], 0);
  EXPECT_EQ(canfd::Frame::from_c(rc).size(), 4u);
  EXPECT_TRUE(canfd::Frame::from_c(rc).payload().empty());
}

TEST(Views, SpansTakeContainersArraysAndPointers) {
  using canfd::Frame;
  using canfd::span;
  static_assert(std::is_constructible_v<span<const Frame>, std::vector<Frame> &>);
  static_assert(std::is_constructible_v<span<const Frame>, const std::vector<Frame> &>);
  static_assert(std::is_constructible_v<span<const Frame>, std::vector<Frame>>);
  static_assert(std::is_constructible_v<span<Frame>, std::array<Frame, 3> &>);
  static_assert(std::is_constructible_v<span<const Frame>, span<Frame>>);
  // Not to write into const elements, nor into a temporary, nor as another type.
  static_assert(!std::is_constructible_v<span<Frame>, const std::vector<Frame> &>);
  static_assert(!std::is_constructible_v<span<Frame>, std::vector<Frame>>);
  static_assert(!std::is_constructible_v<span<const CANFD_Frame_St>, std::vector<Frame> &>);
  static_assert(!std::is_constructible_v<span<const Frame>, Frame &>);

  Frame raw[5];
  span<Frame> s(raw);
  EXPECT_EQ(s.size(), 5u);
  EXPECT_EQ(s.subspan(3).data(), raw + 3);
  EXPECT_EQ(s.subspan(3, 9).size(), 2u);
  EXPECT_TRUE(s.subspan(7).empty());
  EXPECT_EQ(span<const Frame>(raw + 1, 2).end(), raw + 3);
}

TEST(Handles, MovesAreNoexceptAndAdaptersAreNotCopied) {
  static_assert(std::is_nothrow_move_constructible_v<canfd::Adapter>);
  static_assert(std::is_nothrow_move_assignable_v<canfd::Adapter>);
  static_assert(std::is_nothrow_move_constructible_v<canfd::Port>);
  static_assert(std::is_nothrow_move_assignable_v<canfd::Port>);
  static_assert(!std::is_copy_constructible_v<canfd::Adapter>);
  static_assert(!std::is_convertible_v<canfd::Adapter, bool>);  // explicit operator bool
  EXPECT_FALSE(canfd::Adapter());
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
    EXPECT_TRUE(a);
    EXPECT_EQ(a.index(), 0);
    EXPECT_EQ(error_of([] { canfd::Adapter::open(kPid, kBid); }, 0x10002),
              "open adapter 0E31:1234ABCD: CANFD_ERR_DEVICE_ALREADY_OPEN (0x10002)");
    canfd::Port p = a.port(1);
    canfd::Adapter moved = std::move(a);
    EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): moved from holds nothing
    EXPECT_TRUE(moved);
    EXPECT_EQ(moved.firmware_version(), 0x0102);
    canfd::Adapter other = std::move(moved);
    EXPECT_EQ(other.firmware_version(), 0x0102);
    p.status();  // a move does not close: the port still works
    EXPECT_EQ(error_of([&] { a.firmware_version(); }, CANFD_ERR_DEVICE_NOT_OPEN),
              "read firmware version: CANFD_ERR_DEVICE_NOT_OPEN (0x1000B)");
  }
  // Closed at the end of the scope, once: opening works again.
  canfd::Adapter again = canfd::Adapter::open(kPid, kBid);
  canfd::Port p = again.port(1);
  again.close();
  EXPECT_FALSE(again);
  again.close();
  EXPECT_EQ(error_of([&] { p.status(); }, CANFD_ERR_DEVICE_NOT_OPEN),
            "read status on port 1: CANFD_ERR_DEVICE_NOT_OPEN (0x1000B)");
  error_of([] { canfd::Adapter::open(kPid, 0x1); }, CANFD_ERR_DEVICE_NOT_FOUND);
  error_of([] { canfd::Port().status(); }, CANFD_ERR_DEVICE_NOT_OPEN);
}

TEST_F(CppInterface, PortsOfAClosedAdapterNeverDriveTheDeviceThatReusesItsIndex) {
  canfd::Port old_port;
  {
    canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
    old_port = a.port(2);
  }
  canfd::Adapter b = canfd::Adapter::open(kPid, kBid);
  ASSERT_EQ(b.index(), 0);  // the index the first one had
  const canfd::BitTiming before = b.port(2).bit_timing();
  error_of(
      [&] {
        old_port.set_bit_timing({125000, 1000000, 8000, 8000});
      },
      CANFD_ERR_DEVICE_NOT_OPEN);
  error_of([&] { old_port.send(canfd::Frame{}); }, CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_EQ(b.port(2).bit_timing().bitrate, before.bitrate);
  EXPECT_EQ(sim.state().port[1].arb_bitrate, before.bitrate);

  // Assigning another adapter closes the one held before, and its ports.
  canfd::Port p = b.port(1);
  b = canfd::Adapter();
  EXPECT_FALSE(b);
  error_of([&] { p.status(); }, CANFD_ERR_DEVICE_NOT_OPEN);
  b = canfd::Adapter::open(kPid, kBid);
  error_of([&] { p.status(); }, CANFD_ERR_DEVICE_NOT_OPEN);
  b.port(1).status();
}

TEST_F(CppInterface, CloseWakesCallsInProgressAndWaitsForThem) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  canfd::Port p = a.port(2);
  std::atomic<int> result{-1};
  std::thread waiter([&] {
    std::array<canfd::Frame, 8> in;
    try {
      p.receive(in, std::chrono::seconds(20));
      result = 0;
    } catch (const canfd::Error &e) {
      result = e.result();
    }
  });
  std::this_thread::sleep_for(milliseconds(50));
  const auto t0 = Clock::now();
  a.close();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  waiter.join();
  EXPECT_EQ(result.load(), CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
}

TEST_F(CppInterface, FramesTravelFromPortToPort) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  canfd::Port tx = a.port(1), rx = a.port(2);
  EXPECT_FALSE(rx.receive());
  EXPECT_FALSE(rx.wait(milliseconds(20)));

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

  ASSERT_TRUE(rx.wait(milliseconds(2000)));
  ASSERT_TRUE(rx.wait(milliseconds(0)));
  auto got = rx.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 0x18DAF110u);
  EXPECT_TRUE(got->extended && got->fd && !got->remote);
  EXPECT_FALSE(got->brs);  // sent without it
  EXPECT_EQ(got->dlc, 9);
  EXPECT_EQ(std::vector<uint8_t>(got->data.begin(), got->data.begin() + 13),
            std::vector<uint8_t>(
                {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0x00}));
  EXPECT_NE(got->time.sec + got->time.usec, 0u);

  auto remote = rx.receive(milliseconds(2000));
  ASSERT_TRUE(remote);
  EXPECT_EQ(remote->id, 0x123u);
  EXPECT_TRUE(remote->remote && !remote->extended && !remote->fd);
  EXPECT_EQ(remote->size(), 4u);
  EXPECT_FALSE(remote->time < got->time);
  EXPECT_EQ(rx.rx_count(), 0u);
  EXPECT_EQ(tx.rx_count(), 0u);  // a port does not hear itself
}

TEST_F(CppInterface, BatchesOfFramesKeepOrderFlagsAndHostTime) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  canfd::Port tx = a.port(1), rx = a.port(2);
  std::vector<canfd::Frame> out;
  for (uint32_t i = 0; i < 100; ++i) {
    canfd::Frame f;
    f.id = 0x100 + i;
    f.extended = i % 5 == 1;
    f.fd = i % 2 == 0;
    f.brs = f.fd && i % 4 == 0;
    f.esi = f.fd && i % 3 == 0;
    f.remote = !f.fd && i % 7 == 3;
    f.resize(f.fd ? i % 65 : i % 9);
    for (size_t k = 0; k < f.size(); ++k) f.data[k] = static_cast<uint8_t>(i + k);
    out.push_back(f);
  }
  const auto sent_at = std::chrono::system_clock::now();
  EXPECT_EQ(tx.send(out, std::chrono::seconds(2)), 100u);

  std::vector<canfd::Frame> in(100);
  size_t got = 0;
  std::array<canfd::Frame, 16> chunk;  // less than all: receive keeps order across calls
  while (got < in.size()) {
    const size_t n = rx.receive(chunk, std::chrono::seconds(5));
    ASSERT_GT(n, 0u) << "after " << got;
    ASSERT_LE(got + n, in.size());
    std::copy(chunk.begin(), chunk.begin() + n, in.begin() + got);
    got += n;
  }
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(in[i].id, out[i].id);
    EXPECT_EQ(in[i].extended, out[i].extended);
    EXPECT_EQ(in[i].fd, out[i].fd);
    EXPECT_EQ(in[i].brs, out[i].brs);
    EXPECT_EQ(in[i].esi, out[i].esi);
    EXPECT_EQ(in[i].remote, out[i].remote);
    EXPECT_EQ(in[i].dlc, out[i].dlc);
    EXPECT_TRUE(
        std::equal(in[i].payload().begin(), in[i].payload().end(), out[i].payload().begin()));
    // The library maps the adapter's clock to host time.
    const auto lag = in[i].host_clock_time() - sent_at;
    EXPECT_GT(lag, -std::chrono::seconds(2));
    EXPECT_LT(lag, std::chrono::seconds(10));
  }

  // The records of the C API, from a pointer and a count, without copies.
  CANFD_Frame_St c[3] = {out[0].to_c(), out[1].to_c(), out[2].to_c()};
  EXPECT_EQ(tx.send(canfd::span<const CANFD_Frame_St>(c, 3), milliseconds(500)), 3u);
  CANFD_Frame_St back[8];
  size_t n = 0;
  while (n < 3) {
    const size_t k = rx.receive(canfd::span<CANFD_Frame_St>(back + n, 8 - n), milliseconds(2000));
    ASSERT_GT(k, 0u);
    n += k;
  }
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(back[2].id, out[2].id);
  EXPECT_EQ(back[2].len, out[2].size());
}

TEST_F(CppInterface, InvalidFramesAreRefusedWhole) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  std::array<canfd::Frame, 2> out;
  out[0].id = 0x10;
  out[1].id = 0x11;
  out[1].fd = true;
  out[1].remote = true;  // a remote CAN FD frame does not exist
  error_of([&] { a.port(1).send(out, milliseconds(100)); }, CANFD_ERR_INVALID_PARAM);
  out[1].fd = false;
  out[1].brs = true;  // nor a classic frame with a bit rate switch
  error_of([&] { a.port(1).send(out, milliseconds(100)); }, CANFD_ERR_INVALID_PARAM);
  canfd::Frame wide;
  wide.id = 0x800;  // 12 bits without the extended flag
  error_of([&] { a.port(1).send(wide); }, CANFD_ERR_INVALID_PARAM);
  a.firmware_version();  // everything sent before this command is through
  EXPECT_EQ(sim.tx_frames_received(1), 0u);
}

TEST_F(CppInterface, SendReturnsWhatWasAcceptedWhenTheTimeRunsOut) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  canfd::Port tx = a.port(1), rx = a.port(2);
  // At a USB adapter's pace: the node drops what a reader falls 64 reports
  // behind on, and the frames come back as a burst.
  canfd_sim::Timing timing;
  timing.on = true;
  sim.set_timing(timing);
  sim.stall(true);
  // Batches until the node and the queue are full: the last one waits its
  // time and returns the frames of the reports that found room.
  std::vector<canfd::Frame> out(700);
  for (size_t i = 0; i < out.size(); ++i) out[i].id = static_cast<uint32_t>(i);
  size_t accepted = 0, last = 0;
  Clock::time_point t0;
  do {
    t0 = Clock::now();
    last = tx.send(out, milliseconds(50));
    accepted += last;
  } while (last == out.size());
  EXPECT_GE(Clock::now() - t0, milliseconds(45));
  EXPECT_EQ(last % 7, 0u);  // whole reports
  EXPECT_FALSE(tx.try_send(out[0]));
  error_of([&] { tx.send(out[0], milliseconds(10)); }, CANFD_ERR_TX_QUEUE_FULL);

  // The rest goes once the adapter takes reports again, each frame once.
  sim.stall(false);
  EXPECT_EQ(tx.send(canfd::span<const canfd::Frame>(out).subspan(last), std::chrono::seconds(5)),
            out.size() - last);
  const size_t total = accepted + out.size() - last;
  std::vector<canfd::Frame> in(total + 10);
  size_t got = 0;
  while (got < total) {
    const size_t n =
        rx.receive(canfd::span<canfd::Frame>(in).subspan(got), std::chrono::seconds(5));
    ASSERT_GT(n, 0u) << "after " << got;
    got += n;
  }
  EXPECT_EQ(got, total);
  for (size_t i = 0; i < total; ++i) ASSERT_EQ(in[i].id, i % out.size()) << i;
}

TEST_F(CppInterface, ReadinessDescriptorAndFrameCounts) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  canfd::Port tx = a.port(1), rx = a.port(2);
  const int fd = rx.rx_event_fd();
  EXPECT_NE(fd, tx.rx_event_fd());
  EXPECT_FALSE(readable(fd));
  canfd::Frame f;
  f.id = 0x42;
  tx.send(f);
  EXPECT_TRUE(readable(fd, 2000));
  EXPECT_TRUE(rx.receive());
  EXPECT_FALSE(readable(fd));

  const canfd::FrameCounts none = rx.frame_counts();
  EXPECT_EQ(none.rx_dropped, 0u);
  EXPECT_EQ(none.tx_refused, 0u);
  // More records than the ring holds (10,240): what finds no room is counted.
  const size_t pushed = 10240 + 25;
  const std::vector<CANRxPacketStruct> recs(
      pushed, canfd_sim::make_rx_record(1, false, false, false, false, 0, nullptr));
  // In steps the node keeps whole (it holds 64 reports unread), each filed
  // before the next: a command is answered after every report sent before it.
  for (size_t at = 0; at < pushed; at += 288) {
    sim.push_records(2, std::vector<CANRxPacketStruct>(recs.begin() + at,
                                                       recs.begin() + std::min(at + 288, pushed)));
    a.firmware_version();
  }
  const uint32_t kept = rx.rx_count();
  EXPECT_GE(pushed - kept, 25u);
  EXPECT_EQ(rx.frame_counts().rx_dropped, pushed - kept);
  EXPECT_EQ(rx.frame_counts(true).rx_dropped, pushed - kept);
  EXPECT_EQ(rx.frame_counts().rx_dropped, 0u);
  EXPECT_EQ(tx.frame_counts().rx_dropped, 0u);
}

TEST_F(CppInterface, AGoneAdapterIsReportedAsDeviceGone) {
  canfd::Adapter a = canfd::Adapter::open(kPid, kBid);
  canfd::Port rx = a.port(2);
  sim.push_records(2, {canfd_sim::make_rx_record(0x7, false, false, true, true, 1, nullptr),
                       canfd_sim::make_rx_record(0x8, false, false, false, false, 0, nullptr)});
  ASSERT_TRUE(rig::eventually([&] { return rx.rx_count() == 2; }));
  sim.disconnect();
  // The frames received before come first; then the reason.
  std::array<canfd::Frame, 4> in;
  ASSERT_TRUE(rig::eventually([&] { return readable(rx.rx_event_fd()); }));
  ASSERT_EQ(rx.receive(in, std::chrono::seconds(1)), 2u);
  EXPECT_TRUE(in[0].brs && in[0].fd);
  for (int i = 0; i < 2; ++i) {
    try {
      if (i == 0)
        rx.receive(in, std::chrono::seconds(5));
      else
        a.port(1).send(canfd::Frame{});
      ADD_FAILURE() << "no error";
    } catch (const std::system_error &e) {
      EXPECT_EQ(e.code(), errc::device_gone) << e.what();
      EXPECT_EQ(e.code(), std::errc::no_such_device);
    }
  }
  EXPECT_TRUE(a);  // still to be closed
  a.close();
  EXPECT_FALSE(a);
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

  canfd_sim::ModuleState st = sim.state();
  st.port[1].status = 0x60;  // error passive
  st.port[1].err_cnt = 0x1080;
  sim.set_state(st);
  const canfd::BusStatus bus = p.bus_status();
  EXPECT_EQ(bus.state, canfd::BusState::error_passive);
  EXPECT_EQ(bus.tx_errors, 0x80);
  EXPECT_EQ(bus.rx_errors, 0x10);
  EXPECT_EQ(a.port(1).bus_status().state, canfd::BusState::error_active);

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
  std::array<canfd::Frame, 1> in;
  error_of([&] { a.port(3).receive(in, milliseconds(0)); }, CANFD_ERR_INVALID_PORT);
  sim.set_reply(0x24, 0x0000, {Reply::Silent, 0, 0, 1});
  error_of([&] { a.firmware_version(); }, CANFD_ERR_CMD_TIMEOUT);
}

}  // namespace
