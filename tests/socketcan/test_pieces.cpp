// The bridge's pieces that need no SocketCAN: frames between the library's
// records and SocketCAN's, error frames from bus states, the command line.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/error.h>

#include <cstring>
#include <string>
#include <vector>

#include "bus_state.h"
#include "convert.h"
#include "options.h"

namespace {

using namespace canfd_socketcan;
using canfd::BusState;

CANFD_Frame_St frame(DWORD id, BYTE flags, std::vector<BYTE> data) {
  CANFD_Frame_St f{};
  f.id = id;
  f.flags = flags;
  f.len = static_cast<BYTE>(data.size());
  if (!data.empty()) std::memcpy(f.data, data.data(), data.size());
  return f;
}

std::vector<BYTE> bytes(size_t n, BYTE first = 1) {
  std::vector<BYTE> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(first + i);
  return v;
}

// ---- Frames ------------------------------------------------------------------

TEST(SocketcanFrames, ClassicFramesBecomeCanFramesAndBack) {
  struct Case {
    CANFD_Frame_St f;
    canid_t can_id;
  } cases[] = {
      {frame(0x123, 0, bytes(8)), 0x123},
      {frame(0x7FF, 0, {}), 0x7FF},
      {frame(0x1ABCDEF0, CANFD_FRAME_EXT, bytes(3)), 0x1ABCDEF0 | CAN_EFF_FLAG},
      {frame(0, CANFD_FRAME_EXT, bytes(1)), CAN_EFF_FLAG},
  };
  for (const Case &c : cases) {
    canfd_frame out;
    ASSERT_EQ(to_socketcan(c.f, out), CAN_MTU);
    EXPECT_EQ(out.can_id, c.can_id);
    EXPECT_EQ(out.len, c.f.len);
    EXPECT_EQ(0, std::memcmp(out.data, c.f.data, c.f.len));
    CANFD_Frame_St back;
    ASSERT_EQ(from_socketcan(&out, CAN_MTU, back), Incoming::frame);
    EXPECT_EQ(back.id, c.f.id);
    EXPECT_EQ(back.flags, c.f.flags);
    EXPECT_EQ(back.len, c.f.len);
    EXPECT_EQ(0, std::memcmp(back.data, c.f.data, c.f.len));
  }
}

TEST(SocketcanFrames, RemoteFramesKeepTheirLengthAndCarryNoData) {
  CANFD_Frame_St f = frame(0x200, CANFD_FRAME_RTR, bytes(4));
  canfd_frame out;
  ASSERT_EQ(to_socketcan(f, out), CAN_MTU);
  EXPECT_EQ(out.can_id, 0x200u | CAN_RTR_FLAG);
  EXPECT_EQ(out.len, 4);
  EXPECT_EQ(out.data[0], 0);

  can_frame in{};
  in.can_id = 0x1234567 | CAN_EFF_FLAG | CAN_RTR_FLAG;
  in.len = 6;
  in.data[0] = 0xAA;  // a remote frame's data does not go on the bus
  CANFD_Frame_St back;
  ASSERT_EQ(from_socketcan(&in, CAN_MTU, back), Incoming::frame);
  EXPECT_EQ(back.id, 0x1234567u);
  EXPECT_EQ(back.flags, CANFD_FRAME_EXT | CANFD_FRAME_RTR);
  EXPECT_EQ(back.len, 6);
  EXPECT_EQ(back.data[0], 0);
}

TEST(SocketcanFrames, CanFdFramesKeepBrsAndEsiBothWays) {
  for (BYTE extra : {0, CANFD_FRAME_BRS, CANFD_FRAME_ESI, CANFD_FRAME_BRS | CANFD_FRAME_ESI}) {
    for (size_t len : {0, 1, 8, 12, 16, 20, 24, 32, 48, 64}) {
      const CANFD_Frame_St f =
          frame(0x18DAF110, CANFD_FRAME_EXT | CANFD_FRAME_FD | extra, bytes(len, 0x40));
      canfd_frame out;
      ASSERT_EQ(to_socketcan(f, out), CANFD_MTU);
      EXPECT_EQ(out.can_id, 0x18DAF110u | CAN_EFF_FLAG);
      EXPECT_EQ(out.len, len);
      // CANFD_FDF as the kernel marks every CAN FD frame it hands out.
      EXPECT_EQ(out.flags, CANFD_FDF | (extra & CANFD_FRAME_BRS ? CANFD_BRS : 0) |
                               (extra & CANFD_FRAME_ESI ? CANFD_ESI : 0));
      EXPECT_EQ(0, std::memcmp(out.data, f.data, len));
      CANFD_Frame_St back;
      ASSERT_EQ(from_socketcan(&out, CANFD_MTU, back), Incoming::frame);
      EXPECT_EQ(back.flags, f.flags);
      EXPECT_EQ(back.len, len);
      EXPECT_EQ(back.id, f.id);
      EXPECT_EQ(0, std::memcmp(back.data, f.data, len));
    }
  }
}

TEST(SocketcanFrames, WhatTheBusCannotCarryIsCutAsADriverDoes) {
  // A standard identifier beyond 11 bits keeps its 11; a CAN FD frame with
  // the remote flag is a data frame (CAN FD has no remote frames); lengths
  // beyond the frame's maximum are cut.
  canfd_frame in{};
  in.can_id = 0x1FFF;
  in.len = 15;
  CANFD_Frame_St out;
  ASSERT_EQ(from_socketcan(&in, CAN_MTU, out), Incoming::frame);
  EXPECT_EQ(out.id, 0x7FFu);
  EXPECT_EQ(out.len, 8);

  in = {};
  in.can_id = 0x123 | CAN_RTR_FLAG;
  in.len = 70;
  in.data[0] = 9;
  ASSERT_EQ(from_socketcan(&in, CANFD_MTU, out), Incoming::frame);
  EXPECT_EQ(out.flags, CANFD_FRAME_FD);
  EXPECT_EQ(out.len, 64);
  EXPECT_EQ(out.data[0], 9);

  // An odd received length (the adapter rounds to a DLC length) passes.
  CANFD_Frame_St odd = frame(0x100, CANFD_FRAME_FD, bytes(13));
  canfd_frame o;
  ASSERT_EQ(to_socketcan(odd, o), CANFD_MTU);
  EXPECT_EQ(o.len, 13);
}

TEST(SocketcanFrames, ErrorFramesAndOddRecordsAreNotFramesForTheBus) {
  can_frame err{};
  err.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF;
  err.len = CAN_ERR_DLC;
  CANFD_Frame_St out;
  EXPECT_EQ(from_socketcan(&err, CAN_MTU, out), Incoming::error_frame);
  canfd_frame record{};
  for (size_t n : {0, 8, 15, 17, 71, 73})
    EXPECT_EQ(from_socketcan(&record, n, out), Incoming::bad_size) << n;
}

// ---- Error frames --------------------------------------------------------------

can_frame changed(ErrorFrames &e, BusState s, uint8_t tx, uint8_t rx) {
  const std::optional<can_frame> f = e.update({s, tx, rx});
  EXPECT_TRUE(f.has_value()) << state_name(s);
  if (!f) return {};
  EXPECT_EQ(f->len, CAN_ERR_DLC);
  EXPECT_TRUE(f->can_id & CAN_ERR_FLAG);
  EXPECT_TRUE(f->can_id & CAN_ERR_CNT);
  EXPECT_EQ(f->data[6], tx);
  EXPECT_EQ(f->data[7], rx);
  return *f;
}

TEST(ErrorFrames, OnlyChangesOfStateMakeFrames) {
  ErrorFrames e;
  EXPECT_FALSE(e.update({BusState::error_active, 0, 0}));
  EXPECT_FALSE(e.update({BusState::error_active, 50, 20}));  // counters alone
  changed(e, BusState::error_warning, 100, 0);
  EXPECT_FALSE(e.update({BusState::error_warning, 110, 3}));
  EXPECT_EQ(e.state(), BusState::error_warning);
}

TEST(ErrorFrames, TheSideWithTheHigherCounterIsTold) {
  ErrorFrames e;
  can_frame f = changed(e, BusState::error_warning, 97, 5);
  EXPECT_EQ(f.can_id, CAN_ERR_FLAG | CAN_ERR_CNT | CAN_ERR_CRTL);
  EXPECT_EQ(f.data[1], CAN_ERR_CRTL_TX_WARNING);

  f = changed(e, BusState::error_passive, 90, 127);
  EXPECT_EQ(f.data[1], CAN_ERR_CRTL_RX_PASSIVE);

  f = changed(e, BusState::error_warning, 96, 96);  // equal: both sides
  EXPECT_EQ(f.data[1], CAN_ERR_CRTL_TX_WARNING | CAN_ERR_CRTL_RX_WARNING);

  f = changed(e, BusState::error_active, 10, 0);
  EXPECT_EQ(f.can_id, CAN_ERR_FLAG | CAN_ERR_CNT | CAN_ERR_CRTL);
  EXPECT_EQ(f.data[1], CAN_ERR_CRTL_ACTIVE);
}

TEST(ErrorFrames, BusOffAndRestart) {
  ErrorFrames e;
  changed(e, BusState::error_passive, 200, 0);
  can_frame f = changed(e, BusState::bus_off, 255, 0);
  EXPECT_EQ(f.can_id, CAN_ERR_FLAG | CAN_ERR_CNT | CAN_ERR_BUSOFF);
  EXPECT_EQ(f.data[1], 0);
  EXPECT_FALSE(e.update({BusState::bus_off, 255, 0}));

  // Back to error active: restarted, nothing else.
  f = changed(e, BusState::error_active, 0, 0);
  EXPECT_EQ(f.can_id, CAN_ERR_FLAG | CAN_ERR_CNT | CAN_ERR_RESTARTED);

  // Bus off straight from error active, then a restart into error
  // passive: both told in one frame.
  changed(e, BusState::bus_off, 255, 0);
  f = changed(e, BusState::error_passive, 128, 0);
  EXPECT_EQ(f.can_id, CAN_ERR_FLAG | CAN_ERR_CNT | CAN_ERR_RESTARTED | CAN_ERR_CRTL);
  EXPECT_EQ(f.data[1], CAN_ERR_CRTL_TX_PASSIVE);
}

TEST(ErrorFrames, APortFoundInTroubleAtTheStartIsTold) {
  ErrorFrames e;
  const can_frame f = changed(e, BusState::bus_off, 248, 12);
  EXPECT_TRUE(f.can_id & CAN_ERR_BUSOFF);
}

// ---- Command line ------------------------------------------------------------

Parsed parse(std::vector<const char *> args) {
  args.insert(args.begin(), "canfd-socketcan");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

Options ok(std::vector<const char *> args) {
  const Parsed p = parse(args);
  EXPECT_TRUE(p.options) << p.err;
  EXPECT_EQ(p.status, 0);
  return p.options.value_or(Options{});
}

// A usage error (status 2) whose message contains `what`.
void refused(std::vector<const char *> args, const std::string &what) {
  const Parsed p = parse(args);
  EXPECT_FALSE(p.options) << args.size();
  EXPECT_EQ(p.status, 2);
  EXPECT_NE(p.err.find(what), std::string::npos) << p.err;
  EXPECT_NE(p.err.find("canfd-socketcan --help"), std::string::npos) << p.err;
}

TEST(BridgeCommandLine, Defaults) {
  const Options o = ok({});
  EXPECT_EQ(o.device, "");
  EXPECT_EQ(o.ports, (std::vector<uint8_t>{1, 2}));
  EXPECT_TRUE(o.interfaces.empty());
  EXPECT_FALSE(o.create);
  EXPECT_FALSE(o.enable);
  EXPECT_FALSE(o.settings[0].any());
  EXPECT_FALSE(o.settings[1].any());
  EXPECT_EQ(o.state_interval.count(), 200);
  EXPECT_EQ(o.restart_after.count(), 0);
  EXPECT_EQ(default_interface_name(0x1234ABCD, 2), "canfd1234ABCD-2");
  EXPECT_EQ(default_interface_name(0xC0FFEE, 1), "canfd00C0FFEE-1");
}

TEST(BridgeCommandLine, SettingsForBothPortsOrEach) {
  Options o = ok({"-d", "1234ABCD", "--bitrate", "500k", "--sample-point", "87.5%",
                  "--data-bitrate", "2M,4M", "--data-sample-point", "75,80%", "--enable"});
  EXPECT_EQ(o.device, "1234ABCD");
  EXPECT_TRUE(o.enable);
  for (int p : {0, 1}) {
    EXPECT_EQ(o.settings[p].bitrate, 500000u);
    EXPECT_EQ(o.settings[p].sample_point, 8750);
  }
  EXPECT_EQ(o.settings[0].data_bitrate, 2000000u);
  EXPECT_EQ(o.settings[1].data_bitrate, 4000000u);
  EXPECT_EQ(o.settings[0].data_sample_point, 7500);
  EXPECT_EQ(o.settings[1].data_sample_point, 8000);

  o = ok({"-b", "1M,250k"});
  EXPECT_EQ(o.settings[0].bitrate, 1000000u);
  EXPECT_EQ(o.settings[1].bitrate, 250000u);
  EXPECT_FALSE(o.settings[0].data_bitrate);
}

TEST(BridgeCommandLine, PortsAndInterfaces) {
  Options o = ok({"vcan0", "vcan1"});
  EXPECT_EQ(o.interfaces, (std::vector<std::string>{"vcan0", "vcan1"}));
  o = ok({"--ports", "2", "--create", "can-b"});
  EXPECT_EQ(o.ports, std::vector<uint8_t>{2});
  EXPECT_TRUE(o.create);
  o = ok({"-p", "2,1", "x", "y"});  // interfaces follow the order of --ports
  EXPECT_EQ(o.ports, (std::vector<uint8_t>{2, 1}));
  o = ok({"--state-interval", "50", "--restart-ms", "100", "--queue", "100", "--stats", "-q"});
  EXPECT_EQ(o.state_interval.count(), 50);
  EXPECT_EQ(o.restart_after.count(), 100);
  EXPECT_EQ(o.queue, 100u);
  EXPECT_TRUE(o.stats);
  EXPECT_TRUE(o.quiet);
}

TEST(BridgeCommandLine, BadInputIsRefusedWithTheReason) {
  refused({"--bitrate", "fast"}, "'fast' is not a bit rate");
  refused({"--bitrate", "500k,250k,125k"}, "one value, or two");
  refused({"--data-bitrate", "2M,"}, "'' is not a bit rate");
  refused({"--sample-point", "120%"}, "sample point");
  refused({"--ports", "3"}, "--ports");
  refused({"--ports", "1,1"}, "port 1 is named twice");
  refused({"vcan0"}, "1 interfaces named for 2 ports");
  refused({"-p", "1", "a", "b"}, "2 interfaces named for 1 ports");
  refused({"a-name-far-too-long", "b"}, "is no interface name");
  refused({"vcan/0", "b"}, "is no interface name");
  refused({"same", "same"}, "'same' is named for two ports");
  refused({"--create"}, "--create");
  refused({"--state-interval", "0", "--restart-ms", "100"}, "--restart-ms");
  refused({"--queue", "1"}, "--queue");
  refused({"--no-such-option"}, "--no-such-option");
}

TEST(BridgeCommandLine, HelpTellsEveryOptionAndTheRest) {
  const Parsed p = parse({"--help"});
  EXPECT_FALSE(p.options);
  EXPECT_EQ(p.status, 0);
  for (const char *s : {"--device",
                        "--ports",
                        "--create",
                        "--bitrate",
                        "--sample-point",
                        "--data-bitrate",
                        "--data-sample-point",
                        "--enable",
                        "--state-interval",
                        "--restart-ms",
                        "--queue",
                        "--stats",
                        "--quiet",
                        "--version",
                        "canfd<board id>-<port>",
                        "CAP_NET_ADMIN",
                        "Exit status",
                        "error frame",
                        "Losses",
                        "candump -e"})
    EXPECT_NE(p.out.find(s), std::string::npos) << s;
  const Parsed v = parse({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("canfd-socketcan ", 0), 0u) << v.out;
}

}  // namespace
