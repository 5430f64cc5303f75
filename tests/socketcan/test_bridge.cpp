// The bridge against the simulated adapter, in process. Each port's socket
// is a stand-in: one end of a Unix seqpacket socket pair, which carries one
// record per datagram as a CAN raw socket does; the test is the programs
// on the interface at the other end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "canfd.hpp"
#include "rig.h"
#include "sim.h"

namespace {

using namespace canfd_socketcan;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A record as it travels on a CAN raw socket.
struct Record {
  canfd_frame f{};
  size_t size = CAN_MTU;
};

Record classic(canid_t id, std::vector<uint8_t> data) {
  Record r;
  r.f.can_id = id;
  r.f.len = static_cast<uint8_t>(data.size());
  if (!data.empty()) std::memcpy(r.f.data, data.data(), data.size());
  return r;
}

Record fd(canid_t id, uint8_t flags, size_t len, uint8_t first) {
  Record r;
  r.size = CANFD_MTU;
  r.f.can_id = id;
  r.f.flags = flags;
  r.f.len = static_cast<uint8_t>(len);
  for (size_t i = 0; i < len; ++i) r.f.data[i] = static_cast<uint8_t>(first + i);
  return r;
}

bool same(const Record &a, const Record &b) {
  return a.size == b.size && a.f.can_id == b.f.can_id && a.f.len == b.f.len &&
         (a.f.can_id & CAN_RTR_FLAG || std::memcmp(a.f.data, b.f.data, a.f.len) == 0) &&
         (a.size == CAN_MTU || (a.f.flags | CANFD_FDF) == (b.f.flags | CANFD_FDF));
}

std::string show(const Record &r) {
  char b[64];
  snprintf(b, sizeof b, "%s %X [%d] flags %X", r.size == CANFD_MTU ? "FD" : "classic", r.f.can_id,
           r.f.len, r.f.flags);
  return b;
}

// An interface with the bridge's socket at one end and the test's at the other.
class Interface {
 public:
  explicit Interface(std::string name) : name(std::move(name)) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    bridge_end = sv[0];
    app = sv[1];
    // The bridge's end does not block, as the daemon's raw sockets.
    EXPECT_EQ(fcntl(bridge_end, F_SETFL, O_NONBLOCK), 0);
  }
  ~Interface() {
    close(bridge_end);
    if (app >= 0) close(app);
  }
  void write(const Record &r) {
    ASSERT_EQ(send(app, &r.f, r.size, 0), static_cast<ssize_t>(r.size));
  }
  std::optional<Record> read(int timeout_ms) {
    pollfd p{app, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    Record r;
    const ssize_t n = recv(app, &r.f, sizeof r.f, 0);
    if (n <= 0) return std::nullopt;
    r.size = static_cast<size_t>(n);
    return r;
  }
  void hang_up() {
    close(app);
    app = -1;
  }

  std::string name;
  int bridge_end = -1;
  int app = -1;
};

class Bridge : public ::testing::Test {
 protected:
  canfd_sim::Sandbox sandbox;
  canfd_sim::Adapter *sim = nullptr;
  canfd::Adapter adapter;
  Interface if1{"ifa"}, if2{"ifb"};
  BridgeConfig config;
  int stop_fd = eventfd(0, EFD_CLOEXEC);
  std::thread runner;
  Outcome outcome;
  Clock::time_point ended_at;
  std::mutex log_m;
  std::vector<std::string> lines;

  void SetUp() override {
    sim = &sandbox.add({});
    adapter = canfd::Adapter::open(rig::kPid, rig::kBid);
    config.adapter = "1234ABCD (/dev/hidraw0)";
    config.links = {{1, if1.name, if1.bridge_end, true}, {2, if2.name, if2.bridge_end, true}};
  }
  void TearDown() override {
    stop();
    close(stop_fd);
  }

  void start() {
    runner = std::thread([this] {
      outcome = run_bridge(adapter, config, stop_fd, [this](const std::string &line) {
        std::lock_guard<std::mutex> lk(log_m);
        lines.push_back(line);
      });
      ended_at = Clock::now();
    });
  }
  void stop() {
    if (!runner.joinable()) return;
    const uint64_t one = 1;
    EXPECT_EQ(write(stop_fd, &one, sizeof one), 8);
    runner.join();
  }
  // Waits for the bridge to end by itself.
  bool ended_within(milliseconds t) {
    const Clock::time_point until = Clock::now() + t;
    while (Clock::now() < until) {
      if (ended_at != Clock::time_point{}) break;
      std::this_thread::sleep_for(milliseconds(5));
    }
    if (ended_at == Clock::time_point{}) return false;
    runner.join();
    return true;
  }
  std::vector<std::string> log_with(const std::string &s) {
    std::lock_guard<std::mutex> lk(log_m);
    std::vector<std::string> found;
    for (const std::string &l : lines)
      if (l.find(s) != std::string::npos) found.push_back(l);
    return found;
  }
  void set_port_state(int port, uint32_t status, uint32_t counters) {
    canfd_sim::ModuleState st = sim->state();
    st.port[port - 1].status = status;
    st.port[port - 1].err_cnt = counters;
    sim->set_state(st);
  }
};

TEST_F(Bridge, FramesGoBothWaysOnceAndInOrderAndNeverBackToTheirSender) {
  start();
  const std::vector<Record> frames = {
      classic(0x123, {0xDE, 0xAD, 0xBE, 0xEF}),
      classic(0x7FF, {}),
      classic(0x1ABCDEF0 | CAN_EFF_FLAG, {1, 2, 3, 4, 5, 6, 7, 8}),
      [] {
        Record r = classic(0x200 | CAN_RTR_FLAG, {});
        r.f.len = 4;
        return r;
      }(),
      fd(0x100, CANFD_BRS, 12, 0x10),
      fd(0x18DAF110 | CAN_EFF_FLAG, CANFD_ESI, 64, 0x80),
      fd(0x101, CANFD_BRS | CANFD_ESI, 48, 0),
      fd(0x102, 0, 0, 0),
  };
  for (const Record &r : frames) if1.write(r);
  for (const Record &r : frames) {
    const std::optional<Record> got = if2.read(2000);
    ASSERT_TRUE(got) << "missing " << show(r);
    EXPECT_TRUE(same(r, *got)) << "sent " << show(r) << ", got " << show(*got);
    EXPECT_TRUE(got->size == CAN_MTU || (got->f.flags & CANFD_FDF));
  }
  // The other way: what is written on port 2's interface arrives on port 1's.
  for (const Record &r : frames) {
    Record back = r;
    back.f.can_id ^= 1;
    if2.write(back);
  }
  for (const Record &r : frames) {
    const std::optional<Record> got = if1.read(2000);
    ASSERT_TRUE(got) << "missing " << show(r);
    Record want = r;
    want.f.can_id ^= 1;
    EXPECT_TRUE(same(want, *got)) << "sent " << show(want) << ", got " << show(*got);
  }
  EXPECT_FALSE(if1.read(200)) << "a frame came back, or twice";
  EXPECT_FALSE(if2.read(0)) << "a frame came back, or twice";
  stop();
  EXPECT_EQ(outcome.kind, Outcome::stopped);
}

TEST_F(Bridge, ABurstFasterThanTheBusArrivesWholeWithNothingLost) {
  // The adapter's timing: its transmit queue holds 256 frames and drops
  // more; the bus carries about 9000 such frames per second at 1 Mbit/s.
  adapter.port(1).set_bit_timing({1000000, 2000000, 8000, 7500});
  sim->set_timing({true});
  config.report_interval = milliseconds(200);
  start();
  constexpr int kFrames = 3000;
  std::thread reader([this] {
    for (int i = 0; i < kFrames; ++i) {
      const std::optional<Record> got = if2.read(3000);
      ASSERT_TRUE(got) << "frame " << i << " missing";
      uint32_t seq = 0;
      std::memcpy(&seq, got->f.data, sizeof seq);
      ASSERT_EQ(seq, static_cast<uint32_t>(i));
    }
  });
  const Clock::time_point t0 = Clock::now();
  for (uint32_t i = 0; i < kFrames; ++i) {
    Record r = classic(0x321, {0, 0, 0, 0, 0xA5, 0xA5, 0xA5, 0xA5});
    std::memcpy(r.f.data, &i, sizeof i);
    if1.write(r);  // blocks while the bridge's socket is full, as nothing on vcan does
  }
  reader.join();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_EQ(sim->tx_overflows(1), 0u);
  EXPECT_GT(s, kFrames * 111e-6 * 0.9) << "faster than the bus";
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(log_with("lost").empty()) << log_with("lost").front();
}

TEST_F(Bridge, BusStatesBecomeErrorFramesAndBusOffIsRestarted) {
  config.state_interval = milliseconds(10);
  config.restart_after = milliseconds(30);
  start();
  auto error_frame = [this] {
    const std::optional<Record> r = if1.read(2000);
    EXPECT_TRUE(r);
    EXPECT_TRUE(r && r->size == CAN_MTU && (r->f.can_id & CAN_ERR_FLAG));
    return r.value_or(Record{});
  };
  // Error passive (bit 5), transmit error counter 130.
  set_port_state(1, 1u << 5, 130);
  Record r = error_frame();
  EXPECT_EQ(r.f.can_id, CAN_ERR_FLAG | CAN_ERR_CRTL | CAN_ERR_CNT);
  EXPECT_EQ(r.f.data[1], CAN_ERR_CRTL_TX_PASSIVE);
  EXPECT_EQ(r.f.data[6], 130);
  EXPECT_FALSE(if1.read(100)) << "no change, no frame";
  EXPECT_FALSE(if2.read(0)) << "port 2 did not change";

  // Bus off (bit 7): told, and re-initialised every 30 ms while it lasts.
  // (The state is set as a whole: a re-initialisation counted meanwhile may
  // be lost from the count.)
  set_port_state(1, 1u << 7, 255);
  r = error_frame();
  EXPECT_EQ(r.f.can_id, CAN_ERR_FLAG | CAN_ERR_BUSOFF | CAN_ERR_CNT);
  ASSERT_TRUE(rig::eventually([&] { return !log_with("re-initialised after bus off").empty(); }));
  EXPECT_GE(sim->state().port[0].reinit_count, 1u);

  set_port_state(1, 0, 0);
  r = error_frame();
  EXPECT_EQ(r.f.can_id, CAN_ERR_FLAG | CAN_ERR_RESTARTED | CAN_ERR_CNT);
  // Once error active, the port is left alone.
  const size_t told = log_with("re-initialised after bus off").size();
  const uint32_t reinits = sim->state().port[0].reinit_count;
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(log_with("re-initialised after bus off").size(), told);
  EXPECT_EQ(sim->state().port[0].reinit_count, reinits);
  EXPECT_EQ(log_with("restarted, error active").size(), 1u);
  EXPECT_EQ(log_with("port 1 (ifa): error passive (transmit errors 130").size(), 1u);
}

TEST_F(Bridge, AnUnpluggedAdapterEndsTheBridgeAtOnce) {
  start();
  if1.write(classic(0x10, {1}));
  ASSERT_TRUE(if2.read(2000));
  const Clock::time_point t0 = Clock::now();
  sim->disconnect();
  ASSERT_TRUE(ended_within(milliseconds(1000)));
  EXPECT_LT(ended_at - t0, milliseconds(500));
  EXPECT_EQ(outcome.kind, Outcome::adapter_gone);
  EXPECT_EQ(outcome.message, "adapter 1234ABCD (/dev/hidraw0) is gone (unplugged)");
}

TEST_F(Bridge, AnInterfaceThatGoesAwayEndsTheBridge) {
  start();
  if2.hang_up();
  ASSERT_TRUE(ended_within(milliseconds(1000)));
  EXPECT_EQ(outcome.kind, Outcome::interface_gone);
  EXPECT_NE(outcome.message.find("interface ifb is gone"), std::string::npos) << outcome.message;
}

TEST_F(Bridge, FramesNoReaderTakesAreCountedAndReportedOnceASecondAtMost) {
  config.report_interval = milliseconds(300);
  start();
  // Nobody reads port 2's interface: its socket fills, and what does not
  // fit is lost after a short wait.
  for (int i = 0; i < 2000; ++i) if1.write(fd(0x55, CANFD_BRS, 64, static_cast<uint8_t>(i)));
  ASSERT_TRUE(rig::eventually([&] { return !log_with("not written to ifb").empty(); }, 5000));
  std::this_thread::sleep_for(milliseconds(700));
  const std::vector<std::string> lost = log_with("lost");
  EXPECT_LE(lost.size(), 5u);
  EXPECT_NE(lost.front().find("port 2 (ifb): "), std::string::npos) << lost.front();
  EXPECT_NE(lost.front().find(" frames lost in the last 0."), std::string::npos) << lost.front();
  // Nothing was lost on the way to the bus.
  EXPECT_TRUE(log_with("port 1 (ifa)").empty());
}

TEST_F(Bridge, ClassicOnlyInterfacesAndErrorFramesFromApplications) {
  config.links[1].fd_frames = false;
  start();
  can_frame err{};
  err.can_id = CAN_ERR_FLAG | CAN_ERR_PROT;
  err.len = CAN_ERR_DLC;
  ASSERT_EQ(send(if1.app, &err, CAN_MTU, 0), CAN_MTU);
  if1.write(fd(0x66, 0, 8, 1));  // cannot go to a classic-only interface
  if1.write(classic(0x67, {7}));
  const std::optional<Record> got = if2.read(2000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->f.can_id, 0x67u);
  EXPECT_FALSE(if2.read(200));
  EXPECT_EQ(log_with("error frames written to ifa are not sent").size(), 1u);
  EXPECT_EQ(log_with("ifb carries classic frames only").size(), 1u);
}

TEST_F(Bridge, AStopSendsWhatWasAlreadyRead) {
  // 125 kbit/s: 200 frames take the bus 180 ms; the stop comes first.
  adapter.port(1).set_bit_timing({125000, 2000000, 8000, 7500});
  sim->set_timing({true});
  start();
  for (int i = 0; i < 200; ++i) if1.write(classic(0x100, {static_cast<uint8_t>(i)}));
  std::this_thread::sleep_for(milliseconds(50));
  stop();
  EXPECT_EQ(outcome.kind, Outcome::stopped);
  EXPECT_TRUE(rig::eventually([&] { return sim->tx_frames_received(1) == 200; }));
  EXPECT_EQ(sim->tx_overflows(1), 0u);
}

}  // namespace
