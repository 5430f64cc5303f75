// Module commands, port configuration and acceptance filters against the
// simulated adapter: request bytes, argument checks, answers and round trips.
#include <cstring>

#include "rig.h"

namespace {

using namespace rig;
using canfd_sim::Reply;

// Word i of a packet's payload.
uint32_t wire_word(const Bytes &packet, int i) {
  const uint8_t *w = packet.data() + 6 + 4 * i;
  return w[0] | w[1] << 8 | w[2] << 16 | static_cast<uint32_t>(w[3]) << 24;
}

class Commands : public OpenAdapter {
 protected:
  // Answers the next request with the given packet instead of the model.
  void answer_next_with(uint8_t opcode, uint16_t fc, Bytes answer) {
    adapter->set_reply(opcode, fc, {Reply::Silent, 0, 0, 1});
    answerer_ = std::thread([this, answer] {
      adapter->wait_received(1, 2000);
      adapter->send_report(answer.data(), answer.size());
    });
  }
  void TearDown() override {
    if (answerer_.joinable()) answerer_.join();
    OpenAdapter::TearDown();
  }
  std::thread answerer_;
};

TEST_F(Commands, ModuleRequestsAreTheDocumentedPackets) {
  WORD fw = 0;
  BYTE pin = 0;
  ASSERT_EQ(CANFD_GetFwVer(h, &fw), 0);
  ASSERT_EQ(CANFD_GetINITPinStatus(h, &pin), 0);
  ASSERT_EQ(CANFD_SetSN(h, 258), 0);
  ASSERT_EQ(CANFD_SetLEDMode(h, 0xA5), 0);
  ASSERT_EQ(CANFD_SetLEDState(h, 0x5A), 0);
  const std::vector<Bytes> expect = {
      bytes({0x24, 0, 0, 0, 0, 0}),
      bytes({0x24, 0, 1, 0, 0, 0}),
      bytes({0x23, 0, 0, 0, 4, 0, 0x02, 0x01, 0, 0}),
      bytes({0x23, 0, 1, 0, 1, 0, 0xA5}),
      bytes({0x23, 0, 2, 0, 1, 0, 0x5A}),
  };
  EXPECT_EQ(packets(), expect);
  for (const auto &r : adapter->received()) EXPECT_EQ(r.size(), 513u);
}

TEST_F(Commands, ResetsAreBareSixBytePacketsAndRestoreDefaults) {
  ASSERT_EQ(CANFD_SetSN(h, 0xCAFE), 0);
  ASSERT_EQ(CANFD_SetCANADBaudRate(h, 1, 250000, 1000000, 8750, 7000), 0);
  adapter->clear_received();
  ASSERT_EQ(CANFD_ResetModule(h), 0);
  ASSERT_EQ(CANFD_ResetModuleWDT(h), 0);
  ASSERT_TRUE(adapter->wait_received(2, 2000));
  const std::vector<Bytes> expect = {bytes({0x3A, 0, 0xE0, 0, 0, 0}),
                                     bytes({0x3A, 0, 0xE1, 0, 0, 0})};
  EXPECT_EQ(adapter->received(), expect);
  EXPECT_TRUE(eventually([&] { return adapter->state().watchdog_resets == 1; }));
  const auto s = adapter->state();
  EXPECT_EQ(s.serial, 0u);
  EXPECT_EQ(s.port[0].arb_bitrate, canfd_sim::PortState{}.arb_bitrate);
  EXPECT_EQ(s.module_resets, 1u);
}

TEST_F(Commands, PortRequestsAreTheDocumentedPackets) {
  WORD e, b, i;
  ASSERT_EQ(CANFD_GetCANOPMode(h, 2, &e, &b, &i), 0);
  ASSERT_EQ(CANFD_SetCANReInitialize(h, 1), 0);
  ASSERT_EQ(CANFD_SetCANOPMode(h, 1, 1, 2, 3), 0);
  ASSERT_EQ(CANFD_SetCANADBaudRate(h, 2, 1, 2, 3, 4), 0);
  const std::vector<Bytes> expect = {
      bytes({0x24, 0, 0, 2, 0, 0}),
      bytes({0x23, 0, 0, 1, 0, 0}),
      bytes({0x23, 0, 1, 1, 6, 0, 1, 0, 2, 0, 3, 0}),
      bytes({0x23, 0, 2, 2, 0x0C, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 4, 0}),
  };
  EXPECT_EQ(packets(), expect);
}

TEST_F(Commands, ArgumentChecksComeInTheirOrderAndSendNothing) {
  WORD w = 0;
  DWORD d = 0;
  for (BYTE port : {0, 3, 255}) {
    EXPECT_EQ(CANFD_GetCANOPMode(h, port, &w, &w, &w), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_SetCANOPMode(h, port, 1, 1, 1), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_GetCANStatus(h, port, &d, &d, &d), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_GetCANRxFramePerSec(h, port, &w), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_SetCANReInitialize(h, port), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_SetCANGlobalFilter(h, port, 1, 1), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_SetCANSTDIDFilter(h, port, 0, nullptr, nullptr), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_SetCANEXTIDFilter(h, port, 64, nullptr, nullptr), CANFD_ERR_INVALID_PORT);
  }
  // The port is tested before the bit-rate relation.
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 3, 2, 1, 0, 0), CANFD_ERR_INVALID_PORT);
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 2, 2, 1, 0, 0), CANFD_ERR_INVALID_PARAM);
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 2, 1, 1, 10001, 0), CANFD_ERR_INVALID_PARAM);
  // The list size is tested before the port.
  EXPECT_EQ(CANFD_SetCANSTDIDFilter(h, 3, 200, nullptr, nullptr), CANFD_ERR_INVALID_FILTER_SIZE);
  EXPECT_EQ(CANFD_SetCANSTDIDFilter(h, 1, 129, nullptr, nullptr), CANFD_ERR_INVALID_FILTER_SIZE);
  EXPECT_EQ(CANFD_SetCANEXTIDFilter(h, 1, 65, nullptr, nullptr), CANFD_ERR_INVALID_FILTER_SIZE);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(adapter->received().empty());
  // The device comes first of all.
  EXPECT_EQ(CANFD_SetCANSTDIDFilter(9, 3, 200, nullptr, nullptr), CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_EQ(CANFD_GetCANOPMode(9, 3, &w, &w, &w), CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_EQ(CANFD_SetCANADBaudRate(9, 3, 2, 1, 0, 0), CANFD_ERR_DEVICE_NOT_OPEN);
  testing::internal::CaptureStderr();
  EXPECT_EQ(CANFD_SetLEDMode(128, 1), CANFD_ERR_INVALID_INDEX);
  EXPECT_EQ(CANFD_ResetModule(128), CANFD_ERR_INVALID_INDEX);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(CANFD_ResetModuleWDT(9), CANFD_ERR_DEVICE_NOT_OPEN);
}

TEST_F(Commands, BusStateIsReadFromTheStatusAndCounterWords) {
  const struct {
    uint32_t status, counters;
    BYTE state, tx, rx;
  } cases[] = {
      {0x00000000, 0x00000000, CANFD_BUS_ERROR_ACTIVE, 0, 0},
      {0x00000047, 0x00006160, CANFD_BUS_ERROR_WARNING, 0x60, 0x61},
      {0x00000060, 0x00008080, CANFD_BUS_ERROR_PASSIVE, 0x80, 0x00},  // bit 15: not a count
      {0x000000E0, 0x000000F8, CANFD_BUS_OFF, 0xF8, 0x00},
  };
  for (const auto &c : cases) {
    canfd_sim::ModuleState st = adapter->state();
    st.port[1].status = c.status;
    st.port[1].err_cnt = c.counters;
    adapter->set_state(st);
    BYTE state = 0xEE, tx = 0xEE, rx = 0xEE;
    ASSERT_EQ(CANFD_GetCANBusState(h, 2, &state, &tx, &rx), 0);
    EXPECT_EQ(state, c.state) << std::hex << c.status;
    EXPECT_EQ(tx, c.tx);
    EXPECT_EQ(rx, c.rx);
  }
  EXPECT_EQ(CANFD_GetCANBusState(h, 2, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(CANFD_GetCANBusState(h, 3, nullptr, nullptr, nullptr), CANFD_ERR_INVALID_PORT);
  EXPECT_EQ(last_packet(), bytes({0x24, 0, 0x01, 0x02, 0, 0}));
}

TEST_F(Commands, BitRateBoundsThatAreAccepted) {
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 1, 2, 2, 10000, 65535), 0);
  const auto s = adapter->state().port[0];
  EXPECT_EQ(s.arb_bitrate, 2u);
  EXPECT_EQ(s.data_bitrate, 2u);
  EXPECT_EQ(s.arb_sp, 10000);
  EXPECT_EQ(s.data_sp, 65535);
}

TEST_F(Commands, RefusedAnswersReturnTheAdapterCodeAndLeaveOutputs) {
  adapter->set_reply(0x24, 0x0000, {Reply::Refuse, 5});
  WORD fw = 0x7777;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), 5);
  EXPECT_EQ(fw, 0x7777);
  adapter->set_reply(0x24, 0x0000, {Reply::Refuse, 0});
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);  // a refusal with code 0 ...
  EXPECT_EQ(fw, 0x7777);                 // ... still writes nothing
  adapter->set_reply(0x24, 0x0101, {Reply::Refuse, 0xFF});
  DWORD a = 1, b = 2, c = 3;
  EXPECT_EQ(CANFD_GetCANStatus(h, 1, &a, &b, &c), 0xFF);
  EXPECT_EQ(a + b + c, 6u);
  adapter->set_reply(0x23, 0x0201, {Reply::Refuse, 9});
  EXPECT_EQ(CANFD_SetCANOPMode(h, 2, 1, 1, 1), 9);
  adapter->set_reply(0x23, 0x0002, {Reply::Refuse, 3});
  EXPECT_EQ(CANFD_SetLEDState(h, 1), 3);
}

TEST_F(Commands, NoAnswerTimesOutAfterOneSecond) {
  adapter->set_reply(0x24, 0x0102, {Reply::Silent});
  DWORD a = 0, d = 0;
  WORD sa = 0, sd = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(CANFD_GetCANADBaudRate(h, 1, &a, &d, &sa, &sd), CANFD_ERR_CMD_TIMEOUT);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(ms, 1000);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(a, 0u);
}

TEST_F(Commands, AnswerFieldsAreDecodedFromTheirOffsets) {
  answer_next_with(0x24, 0x0101, bytes({0x21, 0, 1, 1, 12, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}));
  DWORD st = 0, ec = 0, bs = 0;
  ASSERT_EQ(CANFD_GetCANStatus(h, 1, &st, &ec, &bs), 0);
  EXPECT_EQ(st, 1u);
  EXPECT_EQ(ec, 2u);
  EXPECT_EQ(bs, 3u);
}

TEST_F(Commands, ShortAnswerReadsMissingBytesAsZero) {
  answer_next_with(0x24, 0x0202, bytes({0x21, 0, 2, 2, 2, 0, 0x34, 0x12}));
  DWORD a = 9, d = 9;
  WORD sa = 9, sd = 9;
  ASSERT_EQ(CANFD_GetCANADBaudRate(h, 2, &a, &d, &sa, &sd), 0);
  EXPECT_EQ(a, 0x1234u);
  EXPECT_EQ(d, 0u);
  EXPECT_EQ(sa, 0);
  EXPECT_EQ(sd, 0);
}

TEST_F(Commands, EverySettingRoundTripsThroughTheAdapter) {
  ASSERT_EQ(CANFD_SetSN(h, 0x01020304), 0);
  ASSERT_EQ(CANFD_SetLEDMode(h, 2), 0);
  ASSERT_EQ(CANFD_SetLEDState(h, 1), 0);
  auto s = adapter->state();
  EXPECT_EQ(s.serial, 0x01020304u);
  EXPECT_EQ(s.led_mode, 2);
  EXPECT_EQ(s.led_state, 1);
  for (BYTE port = 1; port <= 2; ++port) {
    ASSERT_EQ(CANFD_SetCANOPMode(h, port, 1, port, 0x100 + port), 0);
    ASSERT_EQ(
        CANFD_SetCANADBaudRate(h, port, 125000 * port, 1000000 * port, 8000 + port, 7000 + port),
        0);
    ASSERT_EQ(CANFD_SetCANGlobalFilter(h, port, port == 1, port == 2), 0);
  }
  for (BYTE port = 1; port <= 2; ++port) {
    WORD en = 0, bus = 0, iso = 0;
    ASSERT_EQ(CANFD_GetCANOPMode(h, port, &en, &bus, &iso), 0);
    EXPECT_EQ(en, 1);
    EXPECT_EQ(bus, port);
    EXPECT_EQ(iso, 0x100 + port);
    DWORD arb = 0, data = 0;
    WORD sa = 0, sd = 0;
    ASSERT_EQ(CANFD_GetCANADBaudRate(h, port, &arb, &data, &sa, &sd), 0);
    EXPECT_EQ(arb, 125000u * port);
    EXPECT_EQ(data, 1000000u * port);
    EXPECT_EQ(sa, 8000 + port);
    EXPECT_EQ(sd, 7000 + port);
    BYTE rfs = 9, rfe = 9;
    WORD ns = 9, ne = 9;
    ASSERT_EQ(CANFD_GetCANGlobalFilter(h, port, &rfs, &rfe, &ns, &ne), 0);
    EXPECT_EQ(rfs, port == 1 ? 1 : 0);
    EXPECT_EQ(rfe, port == 2 ? 1 : 0);
  }
  auto st = adapter->state();
  st.fw_version = 0xBEEF;
  st.init_pin = 0;
  st.port[1].status = 0x11;
  st.port[1].err_cnt = 0x22;
  st.port[1].buf_status = 0x33;
  adapter->set_state(st);
  WORD fw = 0;
  BYTE pin = 9;
  ASSERT_EQ(CANFD_GetFwVer(h, &fw), 0);
  ASSERT_EQ(CANFD_GetINITPinStatus(h, &pin), 0);
  EXPECT_EQ(fw, 0xBEEF);
  EXPECT_EQ(pin, 0);
  DWORD a = 0, b = 0, c = 0;
  ASSERT_EQ(CANFD_GetCANStatus(h, 2, &a, &b, &c), 0);
  EXPECT_EQ(a, 0x11u);
  EXPECT_EQ(b, 0x22u);
  EXPECT_EQ(c, 0x33u);
  ASSERT_EQ(CANFD_SetCANReInitialize(h, 2), 0);
  EXPECT_EQ(adapter->state().port[1].reinit_count, 1u);
}

TEST_F(Commands, StandardFilterExampleGoesOutAsThreePackets) {
  WORD id1[2] = {0x123, 0x7FF}, id2[2] = {0x456, 0};
  ASSERT_EQ(CANFD_SetCANSTDIDFilter(h, 1, 2, id1, id2), 0);
  auto p = packets();
  ASSERT_EQ(p.size(), 3u);
  Bytes first = bytes({0x23, 0, 6, 1, 0, 1, 0x56, 0x04, 0x23, 0x09, 0, 0, 0xFF, 0x0F});
  for (int i = 0; i < 62; ++i) first.insert(first.end(), {0, 0, 0, 8});
  Bytes second = bytes({0x23, 0, 7, 1, 0, 1});
  for (int i = 0; i < 64; ++i) second.insert(second.end(), {0, 0, 0, 8});
  EXPECT_EQ(p[0], first);
  EXPECT_EQ(p[1], second);
  EXPECT_EQ(p[2], bytes({0x23, 0, 4, 1, 2, 0, 2, 0}));
  WORD r1[128], r2[128];
  ASSERT_EQ(CANFD_GetCANSTDIDFilter(h, 1, r1, r2), 0);
  EXPECT_EQ(r1[0], 0x123);
  EXPECT_EQ(r2[0], 0x456);
  EXPECT_EQ(r1[1], 0x7FF);
  EXPECT_EQ(r2[1], 0);
  BYTE rfs, rfe;
  WORD ns = 0, ne = 9;
  ASSERT_EQ(CANFD_GetCANGlobalFilter(h, 1, &rfs, &rfe, &ns, &ne), 0);
  EXPECT_EQ(ns, 2);
  EXPECT_EQ(ne, 0);
}

TEST_F(Commands, EmptyListsAndFullLists) {
  ASSERT_EQ(CANFD_SetCANSTDIDFilter(h, 2, 0, nullptr, nullptr), 0);
  ASSERT_EQ(CANFD_SetCANEXTIDFilter(h, 2, 0, nullptr, nullptr), 0);
  auto p = packets();
  ASSERT_EQ(p.size(), 6u);
  for (int k : {0, 1}) {
    EXPECT_EQ(p[k][2], 6 + k);
    EXPECT_EQ(p[k][3], 2);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(wire_word(p[k], i), 0x08000000u);
  }
  EXPECT_EQ(p[2], bytes({0x23, 0, 4, 2, 2, 0, 0, 0}));
  for (int k : {3, 4}) {
    EXPECT_EQ(p[k][2], 8 + (k - 3));
    for (int i = 0; i < 32; ++i) {
      EXPECT_EQ(wire_word(p[k], 2 * i), 0x20000000u);
      EXPECT_EQ(wire_word(p[k], 2 * i + 1), 0u);
    }
  }
  EXPECT_EQ(p[5], bytes({0x23, 0, 5, 2, 2, 0, 0, 0}));
  // Full lists, identifiers masked to 11 and 29 bits.
  WORD s1[128], s2[128];
  DWORD e1[64], e2[64];
  for (int i = 0; i < 128; ++i) {
    s1[i] = static_cast<WORD>(0x800 | i);
    s2[i] = static_cast<WORD>(0x7FF - i);
  }
  for (int i = 0; i < 64; ++i) {
    e1[i] = 0xE0000000u | (0x100u * i);
    e2[i] = 0x1FFFFFFFu - i;
  }
  ASSERT_EQ(CANFD_SetCANSTDIDFilter(h, 1, 128, s1, s2), 0);
  ASSERT_EQ(CANFD_SetCANEXTIDFilter(h, 1, 64, e1, e2), 0);
  WORD r1[128], r2[128];
  DWORD x1[64], x2[64];
  ASSERT_EQ(CANFD_GetCANSTDIDFilter(h, 1, r1, r2), 0);
  ASSERT_EQ(CANFD_GetCANEXTIDFilter(h, 1, x1, x2), 0);
  for (int i = 0; i < 128; ++i) {
    EXPECT_EQ(r1[i], i);
    EXPECT_EQ(r2[i], 0x7FF - i);
  }
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(x1[i], 0x100u * i);
    EXPECT_EQ(x2[i], 0x1FFFFFFFu - i);
  }
  BYTE rfs, rfe;
  WORD ns = 0, ne = 0;
  ASSERT_EQ(CANFD_GetCANGlobalFilter(h, 1, &rfs, &rfe, &ns, &ne), 0);
  EXPECT_EQ(ns, 128);
  EXPECT_EQ(ne, 64);
}

TEST_F(Commands, ExtendedElementAndGlobalFilterBytes) {
  DWORD id1[1] = {0x100}, id2[1] = {0x1FF};
  ASSERT_EQ(CANFD_SetCANEXTIDFilter(h, 1, 1, id1, id2), 0);
  auto p = packets();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(Bytes(p[0].begin(), p[0].begin() + 14),
            bytes({0x23, 0, 8, 1, 0, 1, 0x00, 0x01, 0x00, 0x20, 0xFF, 0x01, 0x00, 0x00}));
  adapter->clear_received();
  ASSERT_EQ(CANFD_SetCANGlobalFilter(h, 1, 5, 0), 0);
  EXPECT_EQ(last_packet(), bytes({0x23, 0, 3, 1, 4, 0, 2, 0, 0, 0}));
  auto st = adapter->state();
  st.port[0].gfc = 0xFFFFFFFF;
  st.port[0].std_list_size = 128;
  st.port[0].ext_list_size = 64;
  adapter->set_state(st);
  BYTE rfs = 0, rfe = 0;
  WORD ns = 0, ne = 0;
  ASSERT_EQ(CANFD_GetCANGlobalFilter(h, 1, &rfs, &rfe, &ns, &ne), 0);
  EXPECT_EQ(rfs, 1);
  EXPECT_EQ(rfe, 1);
  EXPECT_EQ(ns, 128);
  EXPECT_EQ(ne, 64);
}

TEST_F(Commands, ListReadFailingHalfWayKeepsTheFirstHalf) {
  WORD s1[128], s2[128];
  for (int i = 0; i < 128; ++i) s1[i] = s2[i] = static_cast<WORD>(i + 1);
  ASSERT_EQ(CANFD_SetCANSTDIDFilter(h, 1, 128, s1, s2), 0);
  WORD r1[128], r2[128];
  std::fill(r1, r1 + 128, 0xAAAA);
  std::fill(r2, r2 + 128, 0xAAAA);
  adapter->set_reply(0x24, 0x0104, {Reply::Refuse, 4, 0, 1});
  EXPECT_EQ(CANFD_GetCANSTDIDFilter(h, 1, r1, r2), 4);
  EXPECT_EQ(r1[0], 0xAAAA);
  adapter->set_reply(0x24, 0x0105, {Reply::Refuse, 6, 0, 1});
  EXPECT_EQ(CANFD_GetCANSTDIDFilter(h, 1, r1, r2), 6);
  EXPECT_EQ(r1[63], 64);
  EXPECT_EQ(r2[0], 1);
  EXPECT_EQ(r1[64], 0xAAAA);
  DWORD x1[64], x2[64];
  std::fill(x1, x1 + 64, 0xBBBB);
  adapter->set_reply(0x24, 0x0107, {Reply::Refuse, 2, 0, 1});
  EXPECT_EQ(CANFD_GetCANEXTIDFilter(h, 1, x1, x2), 2);
  EXPECT_EQ(x1[31], 0u);
  EXPECT_EQ(x1[32], 0xBBBBu);
}

TEST_F(Commands, RefusedFirstPacketOfAListWriteSendsNothingMore) {
  adapter->set_reply(0x23, 0x0206, {Reply::Refuse, 8, 0, 1});
  WORD id[1] = {1};
  EXPECT_EQ(CANFD_SetCANSTDIDFilter(h, 2, 1, id, id), 8);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(packets().size(), 1u);
  adapter->clear_received();
  adapter->set_reply(0x23, 0x0209, {Reply::Refuse, 1, 0, 1});
  DWORD x[1] = {1};
  EXPECT_EQ(CANFD_SetCANEXTIDFilter(h, 2, 1, x, x), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(packets().size(), 2u);  // the first half went out, the size did not
}

TEST_F(Commands, HardwareSendModeRoundTrips) {
  BYTE mode = 9;
  ASSERT_EQ(CANFD_SetCANHWSendMode(h, 2, 5), 0);
  EXPECT_EQ(last_packet(), bytes({0x23, 0, 0x0A, 2, 1, 0, 1}));
  ASSERT_EQ(CANFD_GetCANHWSendMode(h, 2, &mode), 0);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(last_packet(), bytes({0x24, 0, 0x09, 2, 0, 0}));
  ASSERT_EQ(CANFD_SetCANHWSendMode(h, 2, 0), 0);
  ASSERT_EQ(CANFD_GetCANHWSendMode(h, 2, &mode), 0);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(CANFD_GetCANHWSendMode(h, 0, &mode), CANFD_ERR_INVALID_PORT);
}

}  // namespace
