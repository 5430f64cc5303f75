// The simulated adapter itself: the timing model (wire times, USB pacing,
// the shared bus and its transmit queues), several openers of one sandbox
// node, in one process and in two, the sandbox node behaving as a USB hidraw
// node (blocking writes, poll, the per-opener input buffer), and the uhid
// transport against a socket that plays the kernel's part.
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "engine.h"
#include "rig.h"
#include "sandbox_link.h"
#include "timing.h"
#include "uhid_adapter.h"
#include "wire.h"

namespace {

namespace w = canfd::wire;
namespace t = canfd_sim::timing;
using canfd_sim::Timing;
using Clock = std::chrono::steady_clock;
using rig::Bytes;

constexpr const char *kNode = "/dev/hidraw0";
constexpr int kInFlight = CANFD_SANDBOX_WRITES_IN_FLIGHT;
constexpr int64_t kUs = 1000;
constexpr int64_t kMs = 1000000;

// ---- Frames and reports ------------------------------------------------------

struct Frame {
  uint32_t id;
  bool ext, rtr, fd;
  uint8_t dlc;
};

Bytes tx_record(const Frame &f) {
  BYTE data[w::kMaxData];
  for (int i = 0; i < w::kMaxData; ++i) data[i] = static_cast<BYTE>(i + 1);
  Bytes rec(w::kTxRecordSize);
  w::encode_tx_record({f.ext, f.id, f.rtr, f.fd, f.dlc, data}, w::TxKind::Normal, rec.data());
  return rec;
}

// A report as the host writes it: report number 0, then the packet.
Bytes report(BYTE op, WORD code, const Bytes &payload = {}) {
  Bytes r(CANFD_REPORT_SIZE, 0);
  w::put_header(r.data() + 1, op, code, static_cast<WORD>(payload.size()));
  std::copy(payload.begin(), payload.end(), r.begin() + 1 + CANFD_HEADER_SIZE);
  return r;
}

Bytes frames_report(int port, const std::vector<Frame> &frames) {
  Bytes payload;
  for (const Frame &f : frames) {
    const Bytes rec = tx_record(f);
    payload.insert(payload.end(), rec.begin(), rec.end());
  }
  return report(CANFD_OP_LARGE, w::fc::frames_to(static_cast<BYTE>(port)), payload);
}

bool write_all(int fd, const Bytes &b) {
  return write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
}

std::optional<Bytes> read_report(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return std::nullopt;
  Bytes b(4096);
  const ssize_t n = read(fd, b.data(), b.size());
  if (n < 0) return std::nullopt;
  b.resize(static_cast<size_t>(n));
  return b;
}

struct RxRecord {
  uint32_t id;
  int64_t stamp_us;
};

// Reads reports until n received-frame records of a port came, skipping
// everything else.
std::vector<RxRecord> read_records(int fd, int port, size_t n, int timeout_ms = 5000) {
  std::vector<RxRecord> out;
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < n && Clock::now() < until) {
    const auto r = read_report(fd, 100);
    if (!r || r->size() < CANFD_HEADER_SIZE || (*r)[w::kHdrOpcode] != CANFD_OP_LARGE ||
        w::get_le16(r->data() + w::kHdrFc) != w::fc::frames_from(static_cast<BYTE>(port)))
      continue;
    const size_t len = w::get_le16(r->data() + w::kHdrLen);
    for (size_t at = CANFD_HEADER_SIZE; at + w::kRxRecordSize <= CANFD_HEADER_SIZE + len;
         at += w::kRxRecordSize) {
      const w::RxFields f = w::decode_rx_record(r->data() + at);
      out.push_back({f.id, int64_t{f.second} * 1000000 + f.usecond});
    }
  }
  return out;
}

// The three words of a port's status read, through a raw descriptor.
std::array<uint32_t, 3> read_status(int fd, int port) {
  const WORD code = w::fc::port(static_cast<BYTE>(port), w::fc::kReadStatus);
  EXPECT_TRUE(write_all(fd, report(CANFD_OP_READ, code)));
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < until) {
    const auto r = read_report(fd, 100);
    if (r && r->size() >= CANFD_HEADER_SIZE + 12 && (*r)[0] == CANFD_OP_DONE &&
        w::get_le16(r->data() + w::kHdrFc) == code) {
      const BYTE *d = r->data() + CANFD_HEADER_SIZE;
      return {w::get_le32(d), w::get_le32(d + 4), w::get_le32(d + 8)};
    }
  }
  ADD_FAILURE() << "no answer to the status read";
  return {};
}

// ---- Wire time -----------------------------------------------------------------

TEST(WireTime, BitCountsOfEveryFrameKind) {
  struct Case {
    bool ext, fd, rtr;
    unsigned bytes, arb, data;
  } cases[] = {
      {false, false, false, 0, 47, 0},   {false, false, false, 8, 111, 0},
      {true, false, false, 8, 131, 0},   {true, false, false, 0, 67, 0},
      {false, false, true, 8, 47, 0},    {true, false, true, 4, 67, 0},
      {false, true, false, 0, 30, 26},   {false, true, false, 16, 30, 154},
      {false, true, false, 20, 30, 190}, {true, true, false, 64, 49, 542},
  };
  for (const Case &c : cases) {
    const t::WireBits b = t::wire_bits(c.ext, c.fd, c.rtr, c.bytes);
    EXPECT_EQ(b.arb, c.arb) << c.ext << c.fd << c.rtr << " " << c.bytes;
    EXPECT_EQ(b.data, c.data) << c.ext << c.fd << c.rtr << " " << c.bytes;
  }
}

TEST(WireTime, DataPhaseRunsAtTheDataRateOnlyWithBitRateSwitch) {
  const t::WireBits fd64 = t::wire_bits(false, true, false, 64);
  // 30 bits at 500 kbit/s and 542 at 2 Mbit/s.
  EXPECT_EQ(t::wire_time_ns(fd64, true, 500000, 2000000), 60000 + 271000);
  EXPECT_EQ(t::wire_time_ns(fd64, false, 500000, 2000000), 572 * 2000);
  EXPECT_EQ(t::wire_time_ns(t::wire_bits(false, false, false, 8), true, 500000, 2000000), 222000);
  // A bit rate of 0 is taken as the lowest one.
  EXPECT_EQ(t::wire_time_ns(t::wire_bits(false, false, false, 8), false, 0, 0),
            111 * t::kNsPerSecond / t::kMinBitrate);
}

TEST(WireTime, RecordsAreTimedByTheirOwnFields) {
  // The library sets BRS on CAN FD frames with data: their data phase is fast.
  EXPECT_EQ(t::wire_time_ns(tx_record({0x123, false, false, true, 15}).data(), 500000, 2000000),
            331000);
  EXPECT_EQ(t::wire_time_ns(tx_record({0x123, false, false, true, 0}).data(), 500000, 2000000),
            56 * 2000);
  EXPECT_EQ(t::wire_time_ns(tx_record({0x123, false, true, false, 8}).data(), 500000, 2000000),
            47 * 2000);
  EXPECT_EQ(t::wire_time_ns(tx_record({0x1ABCDE, true, false, false, 3}).data(), 250000, 0),
            (67 + 24) * 4000);
}

TEST(Arbitration, LowerIdentifierThenDataBeforeRemoteThenStandardBeforeExtended) {
  auto key = [](Frame f) { return t::arbitration_key(tx_record(f).data()); };
  EXPECT_LT(key({0x100, false, false, false, 1}), key({0x101, false, false, false, 1}));
  EXPECT_LT(key({0x100, false, false, false, 1}), key({0x100, false, true, false, 1}));
  // An extended identifier whose base equals a standard one loses to it,
  // even to its remote frame (IDE recessive).
  EXPECT_LT(key({0x100, false, true, false, 1}), key({0x100u << 18, true, false, false, 1}));
  // The base identifier goes first on the wire.
  EXPECT_LT(key({0x3FFFF, true, false, false, 1}), key({0x001, false, false, false, 1}));
  // CAN FD has no remote frames: the bit is dominant.
  EXPECT_EQ(key({0x100, false, true, true, 1}), key({0x100, false, false, true, 1}));
}

// ---- USB pacing ----------------------------------------------------------------

TEST(Pacer, OneTransferPerIntervalWithOneIntervalOfSlack) {
  t::Pacer p(canfd_sim::kUsbHighSpeed, 2);
  EXPECT_EQ(p.interval(), 125 * kUs);
  const int64_t t0 = 1000 * kMs;
  ASSERT_TRUE(p.ready(t0));
  p.take(t0);
  // The slack lets a second one follow at once, then the rate holds.
  ASSERT_TRUE(p.ready(t0));
  p.take(t0);
  EXPECT_FALSE(p.ready(t0 + 125 * kUs - 1));
  EXPECT_TRUE(p.ready(t0 + 125 * kUs));
  p.set_rate(canfd_sim::kUsbFullSpeed, 2);
  EXPECT_EQ(p.interval(), 1 * kMs);
}

TEST(Pacer, LateWakeUpsDoNotLowerTheRateNorRaiseIt) {
  // A thread that wakes up to 100 us after each ready time, as a loaded
  // machine makes it, still moves 8000 transfers in a second, and never
  // more than the interval allows over any span.
  t::Pacer p(canfd_sim::kUsbHighSpeed, 2);
  uint32_t lcg = 12345;
  int64_t now = 0;
  std::vector<int64_t> times;
  while (now < t::kNsPerSecond) {
    now = std::max(now, p.ready_at());
    lcg = lcg * 1103515245u + 12345u;
    now += (lcg >> 8) % (100 * kUs);
    p.take(now);
    times.push_back(now);
  }
  EXPECT_GE(times.size(), 7995u);
  EXPECT_LE(times.size(), 8002u);
  for (size_t i = 0; i + 10 < times.size(); ++i)
    ASSERT_GE(times[i + 10] - times[i], 9 * 125 * kUs) << i;
}

// ---- The bus ---------------------------------------------------------------------

Bytes rec_with_id(uint32_t id) { return tx_record({id, false, false, false, 1}); }

// The identifier of a transmitted-frame record.
uint32_t id_of(const uint8_t *tx) {
  uint8_t rx[w::kRxRecordSize] = {};
  std::memcpy(rx, tx, w::kTxRecordSize);
  return w::decode_rx_record(rx).id;
}

TEST(Bus, FramesOfOnePortFollowBackToBack) {
  t::Bus bus(8);
  const int64_t t0 = 5000;
  for (uint32_t id : {0x300u, 0x100u, 0x200u})
    ASSERT_TRUE(bus.submit(0, rec_with_id(id).data(), 10 * id, t0));
  t::Bus::Frame f;
  EXPECT_FALSE(bus.complete(t0 + 0x300 * 10 - 1, f));
  std::vector<std::pair<uint32_t, int64_t>> done;
  while (bus.complete(t::kNever - 1, f)) done.push_back({id_of(f.rec), f.end});
  // A port's queue keeps its order, whatever the identifiers.
  const std::vector<std::pair<uint32_t, int64_t>> expected = {
      {0x300, t0 + 7680}, {0x100, t0 + 7680 + 2560}, {0x200, t0 + 7680 + 2560 + 5120}};
  EXPECT_EQ(done, expected);
  EXPECT_FALSE(bus.busy());
}

TEST(Bus, WaitingHeadsOfBothPortsGoByArbitration) {
  t::Bus bus(8);
  ASSERT_TRUE(bus.submit(0, rec_with_id(0x400).data(), 100, 0));  // on the wire until 100
  ASSERT_TRUE(bus.submit(0, rec_with_id(0x300).data(), 100, 10));
  ASSERT_TRUE(bus.submit(1, rec_with_id(0x200).data(), 100, 20));
  ASSERT_TRUE(bus.submit(1, rec_with_id(0x100).data(), 100, 30));
  std::vector<std::pair<int, uint32_t>> order;
  t::Bus::Frame f;
  for (int64_t now = 0; now <= 1000; now += 50)
    while (bus.complete(now, f)) order.push_back({f.port, id_of(f.rec)});
  // Only queue heads contend: 0x200 beats 0x300, then 0x100 (behind it)
  // still beats 0x300.
  const std::vector<std::pair<int, uint32_t>> expected = {
      {0, 0x400}, {1, 0x200}, {1, 0x100}, {0, 0x300}};
  EXPECT_EQ(order, expected);
}

TEST(Bus, FullQueueDropsAndCountsPerPort) {
  t::Bus bus(2);
  for (int i = 0; i < 5; ++i) bus.submit(0, rec_with_id(0x100).data(), 1000, 0);
  // One on the wire, two waiting, two turned away.
  EXPECT_EQ(bus.queued(0), 2u);
  EXPECT_EQ(bus.overflows(0), 2u);
  EXPECT_TRUE(bus.submit(1, rec_with_id(0x100).data(), 1000, 0));
  EXPECT_EQ(bus.overflows(1), 0u);
  bus.clear(0);
  EXPECT_EQ(bus.queued(0), 0u);
  EXPECT_EQ(bus.overflows(0), 0u);
  // The frame on the wire still ends; then the other port's.
  t::Bus::Frame f;
  ASSERT_TRUE(bus.complete(1000, f));
  EXPECT_EQ(f.port, 0);
  ASSERT_TRUE(bus.complete(2000, f));
  EXPECT_EQ(f.port, 1);
  EXPECT_FALSE(bus.busy());

  // With no room to wait, a frame still goes when the bus is free.
  t::Bus none(0);
  EXPECT_TRUE(none.submit(0, rec_with_id(1).data(), 10, 0));
  EXPECT_FALSE(none.submit(0, rec_with_id(2).data(), 10, 0));
  EXPECT_EQ(none.overflows(0), 1u);
}

// ---- Several openers of one sandbox node -----------------------------------

class Openers : public ::testing::Test {
 protected:
  canfd_sim::Sandbox sandbox;
  canfd_sim::Adapter &adapter = sandbox.add({});
  std::vector<int> fds;

  int open_node(int flags = O_RDWR) {
    const int fd = open(kNode, flags | O_CLOEXEC);
    EXPECT_GE(fd, 0) << strerror(errno);
    if (fd >= 0) fds.push_back(fd);
    const size_t n = fds.size();
    EXPECT_TRUE(rig::eventually([&] { return adapter.connections() == static_cast<int>(n); }));
    return fd;
  }
  void TearDown() override {
    for (int fd : fds) close(fd);
  }
};

TEST_F(Openers, EveryDescriptorGetsEveryReportAndEveryWriteIsTaken) {
  const int a = open_node(), b = open_node();
  const Bytes pushed = {CANFD_OP_LARGE, 0, 0x77, 0, 0, 0};
  ASSERT_TRUE(adapter.send_report(pushed.data(), pushed.size()));
  EXPECT_EQ(read_report(a, 2000), pushed);
  EXPECT_EQ(read_report(b, 2000), pushed);

  // A command from one opener: both see the answer.
  ASSERT_TRUE(write_all(b, report(CANFD_OP_READ, w::fc::kFwVersion)));
  const Bytes answer = {CANFD_OP_DONE, 0, 0, 0, 2, 0, 0x02, 0x01};
  EXPECT_EQ(read_report(a, 2000), answer);
  EXPECT_EQ(read_report(b, 2000), answer);

  // A frame written by one reaches the bus; both get it on port 2.
  ASSERT_TRUE(write_all(a, frames_report(1, {{0x123, false, false, false, 2}})));
  for (int fd : {a, b}) {
    const auto recs = read_records(fd, 2, 1);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].id, 0x123u);
  }
  EXPECT_EQ(adapter.received().size(), 2u);
  EXPECT_EQ(adapter.frames_dropped(), 0u);
}

TEST_F(Openers, DisconnectCutsEveryDescriptorAndTheNodeOpensAgain) {
  const int a = open_node(), b = open_node();
  adapter.disconnect();
  EXPECT_FALSE(adapter.connected());
  char buf[16];
  const Bytes rep = report(CANFD_OP_READ, w::fc::kFwVersion);
  for (int fd : {a, b}) {
    EXPECT_EQ(read(fd, buf, sizeof buf), 0);
    errno = 0;
    EXPECT_EQ(write(fd, rep.data(), rep.size()), -1);
    EXPECT_EQ(errno, EPIPE);
  }
  const int c = open(kNode, O_RDWR | O_CLOEXEC);
  ASSERT_GE(c, 0);
  fds.push_back(c);
  ASSERT_TRUE(rig::eventually([&] { return adapter.connections() == 1; }));
  ASSERT_TRUE(write_all(c, rep));
  EXPECT_TRUE(read_report(c, 2000).has_value());
}

TEST_F(Openers, StalledAdapterTakesNoReportFromAnyDescriptorUntilResumed) {
  sandbox.set_write_timeout(200);
  const int a = open_node(O_RDWR | O_NONBLOCK), b = open_node(O_RDWR | O_NONBLOCK);
  adapter.stall(true);
  const Bytes rep = frames_report(1, {});
  // Each descriptor has its own reports in flight, then its writes time out.
  for (int fd : {a, b}) {
    for (int i = 0; i < kInFlight; ++i) ASSERT_TRUE(write_all(fd, rep)) << strerror(errno);
    errno = 0;
    EXPECT_EQ(write(fd, rep.data(), rep.size()), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
  }
  EXPECT_EQ(adapter.received().size(), 0u);
  adapter.stall(false);
  EXPECT_TRUE(adapter.wait_received(2 * kInFlight, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(adapter.received().size(), 2u * kInFlight) << "a write that timed out sent nothing";
}

// ---- The sandbox node as a USB hidraw node ----------------------------------

// A report of len bytes that carries its number in its first four bytes.
Bytes numbered(uint32_t n, size_t len) {
  Bytes b(len, static_cast<uint8_t>(len));
  for (size_t i = 0; i < 4 && i < len; ++i) b[i] = static_cast<uint8_t>(n >> (8 * i));
  return b;
}

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A write on another thread, and when it returned.
struct PendingWrite {
  std::atomic<bool> done{false};
  ssize_t result = 0;
  int error = 0;
  std::thread thread;

  PendingWrite(int fd, const Bytes &b) {
    thread = std::thread([this, fd, &b] {
      result = write(fd, b.data(), b.size());
      error = errno;
      done = true;
    });
  }
  ~PendingWrite() {
    if (thread.joinable()) thread.join();
  }
};

class Node : public Openers {
 protected:
  // Closes a descriptor before the fixture would.
  void close_node(int fd) {
    fds.erase(std::find(fds.begin(), fds.end(), fd));
    ASSERT_EQ(close(fd), 0);
  }
};

TEST_F(Node, WriteToAStalledAdapterBlocksWhateverONonblockSaysAndTimesOut) {
  sandbox.set_write_timeout(500);
  const int fd = open_node(O_RDWR | O_NONBLOCK);
  adapter.stall(true);
  // The reports in flight are taken at once, then a write waits for the
  // adapter and gives up after the timeout, having sent nothing.
  for (uint32_t i = 0; i < kInFlight; ++i) {
    const auto t0 = Clock::now();
    ASSERT_TRUE(write_all(fd, numbered(i, CANFD_REPORT_SIZE))) << i << ": " << strerror(errno);
    EXPECT_LT(seconds_since(t0), 0.25);
  }
  const Bytes late = numbered(99, CANFD_REPORT_SIZE);
  const auto t0 = Clock::now();
  errno = 0;
  EXPECT_EQ(write(fd, late.data(), late.size()), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_GE(seconds_since(t0), 0.5);
  EXPECT_LT(seconds_since(t0), 2.5);
  EXPECT_EQ(adapter.received().size(), 0u);

  // Once resumed, the adapter takes what was in flight, and nothing else;
  // then writes go through again.
  adapter.stall(false);
  ASSERT_TRUE(adapter.wait_received(kInFlight, 5000));
  ASSERT_TRUE(write_all(fd, numbered(4, CANFD_REPORT_SIZE)));
  ASSERT_TRUE(adapter.wait_received(kInFlight + 1, 5000));
  const auto got = adapter.received();
  ASSERT_EQ(got.size(), kInFlight + 1u);
  for (uint32_t i = 0; i <= kInFlight; ++i) EXPECT_EQ(got[i], numbered(i, CANFD_REPORT_SIZE));
}

TEST_F(Node, AResumedAdapterTakesTheBlockedWritersReport) {
  const int fd = open_node(O_RDWR | O_NONBLOCK);
  adapter.stall(true);
  for (uint32_t i = 0; i < kInFlight; ++i) ASSERT_TRUE(write_all(fd, numbered(i, 513)));
  const Bytes blocked = numbered(kInFlight, 513);
  PendingWrite w(fd, blocked);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(w.done) << "a write beyond the reports in flight returned before any was taken";
  const auto t0 = Clock::now();
  adapter.stall(false);
  ASSERT_TRUE(rig::eventually([&] { return w.done.load(); }, 3000));
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_EQ(w.result, 513) << strerror(w.error);
  ASSERT_TRUE(adapter.wait_received(kInFlight + 1, 5000));
  EXPECT_EQ(adapter.received().back(), blocked);
}

TEST_F(Node, WritesFollowTheAdaptersPace) {
  Timing t;
  t.on = true;
  t.usb_reports_per_second = canfd_sim::kUsbFullSpeed;
  adapter.set_timing(t);
  const int fd = open_node(O_RDWR | O_NONBLOCK);
  constexpr int kReports = 40;
  const Bytes rep = frames_report(1, {});
  const auto t0 = Clock::now();
  for (int i = 0; i < kReports; ++i) ASSERT_TRUE(write_all(fd, rep)) << strerror(errno);
  // The writes themselves return at the USB rate, one a millisecond, but
  // for the reports in flight and the pacer's slack.
  EXPECT_GE(seconds_since(t0), (kReports - kInFlight - 2) / 1000.0);
}

TEST_F(Node, DisconnectAndRefusedWritesEndABlockedWriteAtOnce) {
  const int a = open_node(O_RDWR | O_NONBLOCK), b = open_node(O_RDWR | O_NONBLOCK);
  adapter.stall(true);
  const Bytes rep = numbered(1, 513);
  // A write waiting on a stalled adapter, ended by a fault.
  auto blocked_write_ends = [&](int fd, auto fault) {
    for (int i = 0; i < kInFlight; ++i) ASSERT_TRUE(write_all(fd, rep));
    PendingWrite w(fd, rep);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_FALSE(w.done);
    fault();
    ASSERT_TRUE(rig::eventually([&] { return w.done.load(); }, 1000));
    EXPECT_EQ(w.result, -1);
    EXPECT_EQ(w.error, EPIPE);
  };
  blocked_write_ends(a, [&] { adapter.refuse_writes(); });
  // Writes of every descriptor fail at once; reads still work.
  errno = 0;
  EXPECT_EQ(write(b, rep.data(), rep.size()), -1);
  EXPECT_EQ(errno, EPIPE);
  const Bytes pushed = numbered(7, 64);
  ASSERT_TRUE(adapter.send_report(pushed.data(), pushed.size()));
  EXPECT_EQ(read_report(a, 2000), pushed);
  EXPECT_EQ(read_report(b, 2000), pushed);

  // A descriptor opened since is cut by disconnect().
  const int c = open_node(O_RDWR | O_NONBLOCK);
  blocked_write_ends(c, [&] { adapter.disconnect(); });
  char buf[16];
  EXPECT_EQ(read(c, buf, sizeof buf), 0);
  errno = 0;
  EXPECT_EQ(write(c, rep.data(), rep.size()), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST_F(Node, PollReportsANodeWritableWhenAskedWhateverItsSocketSays) {
  const int fd = open_node(O_RDWR | O_NONBLOCK);
  // The smallest send buffer: the socket alone would not be writable with
  // the reports in flight in it.
  const int small = 1;
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  adapter.stall(true);
  for (int i = 0; i < kInFlight; ++i) ASSERT_TRUE(write_all(fd, numbered(0, 513)));

  pollfd p{fd, POLLOUT, 0};
  auto t0 = Clock::now();
  EXPECT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_EQ(p.revents, POLLOUT);
  const timespec ts{2, 0};
  pollfd pp[2] = {{fd, POLLIN | POLLOUT | POLLWRNORM, 0}, {fd, POLLIN, 0}};
  EXPECT_EQ(ppoll(pp, 2, &ts, nullptr), 1);
  EXPECT_EQ(pp[0].revents, POLLOUT | POLLWRNORM);
  EXPECT_EQ(pp[1].revents, 0);
  EXPECT_LT(seconds_since(t0), 1.0);
  // Not asked, not reported: a poll for input waits as before.
  p = {fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 50), 0);

  const Bytes pushed = numbered(3, 100);
  ASSERT_TRUE(adapter.send_report(pushed.data(), pushed.size()));
  p = {fd, POLLIN | POLLOUT, 0};
  EXPECT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_EQ(p.revents, POLLIN | POLLOUT);
  ASSERT_EQ(read_report(fd, 0), pushed);

  adapter.disconnect();
  ASSERT_TRUE(rig::eventually([&] {
    p = {fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
  }));
}

TEST_F(Node, DescriptorsThatAreNoLongerNodesAreLeftAlone) {
  adapter.stall(true);
  const Bytes rep = numbered(0, 513);
  // A node closed with its reports in flight; the pipe that gets its number
  // is written as a pipe.
  const int fd = open_node(O_RDWR);
  for (int i = 0; i < kInFlight; ++i) ASSERT_TRUE(write_all(fd, rep));
  close_node(fd);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  EXPECT_EQ(pipe_fds[0], fd) << "the test expects the lowest free descriptor";
  const auto t0 = Clock::now();
  for (int i = 0; i < 2 * kInFlight; ++i) ASSERT_EQ(write(pipe_fds[1], rep.data(), 10), 10);
  // dup2() over a node with its reports in flight.
  const int node = open_node(O_RDWR);
  for (int i = 0; i < kInFlight; ++i) ASSERT_TRUE(write_all(node, rep));
  ASSERT_EQ(dup2(pipe_fds[1], node), node);
  for (int i = 0; i < 2 * kInFlight; ++i) ASSERT_EQ(write(node, rep.data(), 10), 10);
  EXPECT_LT(seconds_since(t0), 1.0);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST_F(Node, EachOpenerHoldsSixtyFourReportsAndMissesTheRestAloneAndAtOnce) {
  adapter.set_recording(false);
  const int idle = open_node(), reader = open_node();
  // Reports of lengths whose kernel sizes differ.
  const size_t lengths[] = {6, 64, 100, 200, 512, 1000, 2000};
  std::vector<Bytes> sent;
  constexpr uint32_t kReports = 150;
  for (uint32_t i = 0; i < kReports; ++i) sent.push_back(numbered(i, lengths[i % 7]));
  // The reader reads each report before the next is sent.
  const auto t0 = Clock::now();
  for (const Bytes &b : sent) {
    ASSERT_TRUE(adapter.send_report(b.data(), b.size()));
    ASSERT_EQ(read_report(reader, 2000), b);
  }
  EXPECT_LT(seconds_since(t0), 10.0) << "a full buffer held the adapter up";
  EXPECT_EQ(adapter.reports_dropped(), kReports - canfd_sim::kNodeInputReports);
  EXPECT_EQ(adapter.frames_dropped(), 0u);
  // A frame report missed counts its records.
  std::vector<CANRxPacketStruct> recs(3);
  adapter.push_records(1, recs);
  ASSERT_TRUE(read_report(reader, 2000));
  EXPECT_EQ(adapter.frames_dropped(), 3u);
  EXPECT_EQ(adapter.reports_dropped(), kReports - canfd_sim::kNodeInputReports + 1);

  // The idle opener has exactly the oldest 64.
  for (size_t i = 0; i < canfd_sim::kNodeInputReports; ++i)
    ASSERT_EQ(read_report(idle, 0), sent[i]) << i;
  EXPECT_FALSE(read_report(idle, 0));
  // Having read, it gets reports again.
  ASSERT_TRUE(adapter.send_report(sent[0].data(), sent[0].size()));
  EXPECT_EQ(read_report(idle, 2000), sent[0]);
  EXPECT_EQ(read_report(reader, 2000), sent[0]);
}

TEST_F(Node, HighWaterMarkIsTheDeepestBufferOfAnyOneOpener) {
  const int a = open_node(), b = open_node();
  const Bytes rep = numbered(0, 512);
  adapter.reset_max_unread();
  EXPECT_EQ(adapter.max_unread(), 0u);
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(adapter.send_report(rep.data(), rep.size()));
    ASSERT_TRUE(read_report(a, 2000));
  }
  // a never had more than one waiting, b has ten: not their sum.
  EXPECT_EQ(adapter.max_unread(), 10u);
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(read_report(b, 0));
  EXPECT_EQ(adapter.max_unread(), 10u);
  // A reset starts from what waits now.
  adapter.reset_max_unread();
  EXPECT_EQ(adapter.max_unread(), 4u);
  ASSERT_TRUE(adapter.send_report(rep.data(), rep.size()));
  EXPECT_EQ(adapter.max_unread(), 5u);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(read_report(b, 0));
  ASSERT_TRUE(read_report(a, 0));
  adapter.reset_max_unread();
  EXPECT_EQ(adapter.max_unread(), 0u);
  // Full buffers: a report neither takes is missed by both.
  for (size_t i = 0; i < canfd_sim::kNodeInputReports; ++i)
    ASSERT_TRUE(adapter.send_report(rep.data(), rep.size()));
  EXPECT_FALSE(adapter.send_report(rep.data(), rep.size()));
  EXPECT_EQ(adapter.max_unread(), canfd_sim::kNodeInputReports);
  EXPECT_EQ(adapter.reports_dropped(), 2u);
}

TEST_F(Node, LosslessModeHoldsTheAdapterInsteadOfDropping) {
  adapter.set_recording(false);
  adapter.set_lossless(true);
  const int fd = open_node();
  constexpr uint32_t kReports = 400;
  std::atomic<uint32_t> got{0};
  std::atomic<bool> in_order{true};
  // A reader slower than the adapter.
  std::thread reader([&] {
    while (got < kReports) {
      const auto r = read_report(fd, 5000);
      if (!r) return;
      if (*r != numbered(got, 512)) in_order = false;
      if (++got % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (uint32_t i = 0; i < kReports; ++i) {
    const Bytes b = numbered(i, 512);
    ASSERT_TRUE(adapter.send_report(b.data(), b.size()));
  }
  reader.join();
  EXPECT_EQ(got, kReports);
  EXPECT_TRUE(in_order);
  EXPECT_EQ(adapter.reports_dropped(), 0u);
  EXPECT_EQ(adapter.max_unread(), canfd_sim::kNodeInputReports) << "the buffer filled up";

  // Back to the kernel's way: the idle reader misses what does not fit.
  adapter.set_lossless(false);
  const Bytes b = numbered(0, 512);
  for (size_t i = 0; i < canfd_sim::kNodeInputReports; ++i)
    ASSERT_TRUE(adapter.send_report(b.data(), b.size()));
  EXPECT_FALSE(adapter.send_report(b.data(), b.size()));
  EXPECT_EQ(adapter.reports_dropped(), 1u);
}

// Two processes: a child with a raw descriptor and the library in this one.
// Each receives the frames the other sends.
TEST_F(Openers, TwoProcessesEachReceiveWhatTheOtherSends) {
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Nothing but plain calls from here on: the parent has threads.
    close(ready[0]);
    close(go[1]);
    const int fd = open(kNode, O_RDWR | O_CLOEXEC);
    if (fd < 0) _exit(10);
    char c;
    if (write(ready[1], "r", 1) != 1 || read(go[0], &c, 1) != 1) _exit(11);
    const Bytes mine = frames_report(1, {{0x321, false, false, false, 1}});
    if (!write_all(fd, mine)) _exit(12);
    // Wait for the parent's frame on port 2.
    for (int i = 0; i < 200; ++i) {
      for (const RxRecord &r : read_records(fd, 2, 1, 50))
        if (r.id == 0x123) _exit(0);
    }
    _exit(13);
  }
  close(ready[1]);
  close(go[0]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, rig::kPid, rig::kBid), 0);
  ASSERT_TRUE(rig::eventually([&] { return adapter.connections() == 2; }));
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  BYTE data[8] = {1};
  ASSERT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 0x123, 0, 0, 1, data), 0);
  bool seen = false;
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (!seen && Clock::now() < until) {
    if (CANFD_WaitCANRxMsg(h, 2, 100) != 0) continue;
    BYTE type, ext, rtr, fd, dlc, rx[64];
    DWORD id, s, us;
    while (CANFD_GetCANRxMsg(h, 2, &type, &ext, &id, &rtr, &fd, &dlc, rx, &s, &us) == 0)
      seen |= id == 0x321;
  }
  EXPECT_TRUE(seen) << "the child's frame did not reach this process";
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  CANFD_CloseDevice(h);
}

// ---- The timing model in the adapter -----------------------------------------

class Timed : public Openers {
 protected:
  void SetUp() override {
    Timing on;
    on.on = true;
    adapter.set_timing(on);
  }
  // USB at 1000 reports per second each way.
  void set_full_speed() {
    Timing full = adapter.timing();
    full.usb_reports_per_second = canfd_sim::kUsbFullSpeed;
    adapter.set_timing(full);
  }
  // Bit rates of port 1, the sending port.
  void set_rates(uint32_t arb, uint32_t data) {
    canfd_sim::ModuleState s = adapter.state();
    s.port[0].arb_bitrate = arb;
    s.port[0].data_bitrate = data;
    adapter.set_state(s);
  }
};

TEST_F(Timed, FramesArriveWhenTheirWireTimeHasPassed) {
  set_rates(125000, 1000000);
  const std::vector<Frame> frames = {
      {0x100, false, false, false, 8}, {0x1ABCDEF, true, false, false, 8},
      {0x101, false, true, false, 4},  {0x102, false, false, true, 15},
      {0x1000, true, false, true, 10}, {0x103, false, false, true, 0},
      {0x104, false, false, false, 0},
  };
  const int fd = open_node();
  // One report: every frame is queued at the same instant, so each one ends
  // exactly its wire time after the one before.
  ASSERT_TRUE(write_all(fd, frames_report(1, frames)));
  const auto recs = read_records(fd, 2, frames.size());
  ASSERT_EQ(recs.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(recs[i].id, frames[i].id);
  for (size_t i = 1; i < frames.size(); ++i) {
    const int64_t us = t::wire_time_ns(tx_record(frames[i]).data(), 125000, 1000000) / 1000;
    EXPECT_NEAR(recs[i].stamp_us - recs[i - 1].stamp_us, us, 1) << "frame " << i;
  }
  // 111 bits at 125 kbit/s, then 131.
  EXPECT_NEAR(recs[1].stamp_us - recs[0].stamp_us, 1048, 1);
}

TEST_F(Timed, ABusyBusHoldsTheHostBackInsteadOfDroppingItsFrames) {
  Timing on = adapter.timing();
  on.tx_queue_frames = 16;
  adapter.set_timing(on);
  set_rates(1000000, 1000000);  // 111 us for each frame below
  const int fd = open_node();
  std::vector<Frame> frames;
  for (uint32_t id = 1; id <= 7; ++id) frames.push_back({id, false, false, false, 8});
  // 30 reports of seven frames: far more than the queue holds. The writes
  // wait for the bus, so the frames that come back are read meanwhile; a
  // reader descheduled for 8 ms would miss some, which is not what is tested.
  adapter.set_lossless(true);
  std::atomic<int> written{0};
  std::thread writer([&] {
    for (int i = 0; i < 30 && write_all(fd, frames_report(1, frames)); ++i) ++written;
  });
  const auto recs = read_records(fd, 2, 210, 5000);
  writer.join();
  EXPECT_EQ(written, 30);
  EXPECT_EQ(recs.size(), 210u);
  EXPECT_EQ(adapter.reports_dropped(), 0u);
  EXPECT_EQ(adapter.tx_overflows(1), 0u);
}

TEST_F(Timed, FullTransmitQueueDropsAndTheStatusCountsIt) {
  Timing on = adapter.timing();
  on.tx_queue_frames = 4;
  adapter.set_timing(on);
  set_rates(1000, 1000);  // 111 ms for each frame below
  const int fd = open_node();
  std::vector<Frame> frames;
  for (uint32_t id = 1; id <= 7; ++id) frames.push_back({id, false, false, false, 8});
  ASSERT_TRUE(write_all(fd, frames_report(1, frames)));
  // One on the wire, four waiting, two turned away: a report with more
  // frames than the queue holds is the one way to overflow it.
  ASSERT_TRUE(rig::eventually([&] { return adapter.tx_overflows(1) == 2; }));
  EXPECT_EQ(adapter.tx_overflows(2), 0u);
  const uint32_t queued = adapter.state().port[0].buf_status >> canfd_sim::kBufQueuedShift;
  EXPECT_GE(queued, 1u);
  EXPECT_LE(queued, 4u);
  EXPECT_EQ(adapter.state().port[0].buf_status & canfd_sim::kBufOverflowMask, 2u);
  const auto recs = read_records(fd, 2, 5, 3000);
  ASSERT_EQ(recs.size(), 5u);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(recs[i].id, i + 1);
  EXPECT_TRUE(read_records(fd, 2, 1, 200).empty());
  // The host's status read waited for the queue (as everything behind a
  // report the adapter has no room for): the count is still there.
  const auto st = read_status(fd, 1);
  EXPECT_EQ(st[2] & canfd_sim::kBufOverflowMask, 2u);
  EXPECT_EQ(st[2] >> canfd_sim::kBufQueuedShift, 0u);
  // Re-initialising the port empties its queue and its count.
  ASSERT_TRUE(write_all(fd, report(CANFD_OP_WRITE, w::fc::port(1, w::fc::kWriteReinit))));
  ASSERT_TRUE(rig::eventually([&] { return adapter.tx_overflows(1) == 0; }));
  EXPECT_EQ(read_status(fd, 1)[2], 0u);
}

TEST_F(Timed, ReportsFromTheHostAreTakenAtTheUsbRate) {
  set_full_speed();
  const int fd = open_node();
  constexpr int kReports = 30;
  const Bytes rep = frames_report(1, {});
  const auto t0 = Clock::now();
  for (int i = 0; i < kReports; ++i) ASSERT_TRUE(write_all(fd, rep));
  ASSERT_TRUE(adapter.wait_received(kReports, 10000));
  // At most one per millisecond, one more after a late one.
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kReports - 2));
}

TEST_F(Timed, ReportsToTheHostGoAtTheUsbRate) {
  set_full_speed();
  const int fd = open_node();
  constexpr int kReports = 30;
  const Bytes pushed = {CANFD_OP_LARGE, 0, 0x77, 0, 0, 0};
  const auto t0 = Clock::now();
  for (int i = 0; i < kReports; ++i) ASSERT_TRUE(adapter.send_report(pushed.data(), 6));
  for (int i = 0; i < kReports; ++i) ASSERT_EQ(read_report(fd, 5000), pushed) << i;
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kReports - 2));
}

TEST_F(Timed, SwitchingTheModelOffDeliversWhatIsOnTheBus) {
  set_rates(1000, 1000);  // 111 ms for each frame
  const int fd = open_node();
  std::vector<Frame> frames;
  for (uint32_t id = 1; id <= 7; ++id) frames.push_back({id, false, false, false, 8});
  ASSERT_TRUE(write_all(fd, frames_report(1, frames)));
  ASSERT_TRUE(adapter.wait_received(1, 2000));
  adapter.set_timing({});
  const auto recs = read_records(fd, 2, 7, 2000);
  ASSERT_EQ(recs.size(), 7u);
  for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(recs[i].id, i + 1);
  // On the bus these five would have taken 111 ms each.
  EXPECT_LT(recs[6].stamp_us - recs[2].stamp_us, 111000);
}

// ---- The uhid transport ----------------------------------------------------------

// Plays the kernel's side of /dev/uhid over a seqpacket socket.
class Uhid : public ::testing::Test {
 protected:
  int kernel = -1;
  std::unique_ptr<canfd_sim::UhidAdapter> adapter;

  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    kernel = sv[0];
    canfd_sim::UhidIdentity id;
    id.product = 0x0E32;
    id.uniq = "00C0FFEE";
    id.phys = "canfd-sim-test/adapter0";
    adapter = std::make_unique<canfd_sim::UhidAdapter>(sv[1], id);
  }
  void TearDown() override {
    adapter.reset();
    close(kernel);
  }

  void send_event(const uhid_event &ev) {
    ASSERT_EQ(write(kernel, &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
  }
  void send_output(const Bytes &b) {
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_OUTPUT;
    std::memcpy(ev.u.output.data, b.data(), b.size());
    ev.u.output.size = static_cast<uint16_t>(b.size());
    ev.u.output.rtype = UHID_OUTPUT_REPORT;
    send_event(ev);
  }
  std::optional<uhid_event> next_event(int timeout_ms = 2000) {
    pollfd p{kernel, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    if (read(kernel, &ev, sizeof ev) <= 0) return std::nullopt;
    return ev;
  }
  void open_node() {
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_START;
    send_event(ev);
    ev.type = UHID_OPEN;
    send_event(ev);
    ASSERT_TRUE(rig::eventually([&] { return adapter->opened(); }));
  }
};

// Short items of a HID report descriptor: (tag with type, value).
std::vector<std::pair<uint8_t, uint32_t>> hid_items(const uint8_t *d, size_t n) {
  std::vector<std::pair<uint8_t, uint32_t>> items;
  for (size_t i = 0; i < n;) {
    const uint8_t prefix = d[i];
    const size_t size = (prefix & 3) == 3 ? 4 : prefix & 3;
    uint32_t v = 0;
    for (size_t k = 0; k < size && i + 1 + k < n; ++k)
      v |= static_cast<uint32_t>(d[i + 1 + k]) << (8 * k);
    items.push_back({static_cast<uint8_t>(prefix & 0xFC), v});
    i += 1 + size;
  }
  return items;
}

TEST_F(Uhid, CreatesAUsbDeviceWithTheAdaptersIdsAndTwoPlainReports) {
  ASSERT_TRUE(adapter->plug());
  const auto ev = next_event();
  ASSERT_TRUE(ev);
  ASSERT_EQ(ev->type, UHID_CREATE2);
  const uhid_create2_req &c = ev->u.create2;
  EXPECT_EQ(+c.bus, BUS_USB);
  EXPECT_EQ(+c.vendor, 0x3F9A);
  EXPECT_EQ(+c.product, 0x0E32);
  EXPECT_STREQ(reinterpret_cast<const char *>(c.uniq), "00C0FFEE");
  EXPECT_STREQ(reinterpret_cast<const char *>(c.phys), "canfd-sim-test/adapter0");
  EXPECT_GT(std::strlen(reinterpret_cast<const char *>(c.name)), 0u);
  ASSERT_EQ(+c.rd_size, canfd_sim::kUhidReportDescriptorSize);
  const auto items = hid_items(c.rd_data, c.rd_size);
  int inputs = 0, outputs = 0;
  uint32_t count = 0, size = 0;
  for (const auto &[tag, value] : items) {
    EXPECT_NE(tag, 0x84) << "report ids are not used";
    if (tag == 0x94) count = value;
    if (tag == 0x74) size = value;
    if (tag == 0x80 || tag == 0x90) {
      EXPECT_EQ(count * size, 512u * 8) << "report of 512 bytes";
      (tag == 0x80 ? inputs : outputs) += 1;
    }
  }
  EXPECT_EQ(inputs, 1);
  EXPECT_EQ(outputs, 1);
  EXPECT_EQ(items.front(), std::make_pair(uint8_t{0x04}, uint32_t{0xFF00})) << "vendor page";
}

TEST_F(Uhid, AnswersOutputReportsWithInputReportsOf512Bytes) {
  ASSERT_TRUE(adapter->plug());
  ASSERT_TRUE(next_event());  // UHID_CREATE2
  open_node();
  send_output(report(CANFD_OP_READ, w::fc::kFwVersion));
  auto ev = next_event();
  ASSERT_TRUE(ev);
  ASSERT_EQ(ev->type, UHID_INPUT2);
  ASSERT_EQ(+ev->u.input2.size, CANFD_PACKET_MAX);
  const Bytes answer = {CANFD_OP_DONE, 0, 0, 0, 2, 0, 0x02, 0x01};
  EXPECT_TRUE(std::equal(answer.begin(), answer.end(), ev->u.input2.data));
  EXPECT_EQ(+ev->u.input2.data[answer.size()], 0) << "padded with zeros";

  // Frames loop from port 1 to port 2.
  send_output(frames_report(1, {{0x2AB, false, false, false, 3}}));
  ev = next_event();
  ASSERT_TRUE(ev);
  ASSERT_EQ(ev->type, UHID_INPUT2);
  EXPECT_EQ(w::get_le16(ev->u.input2.data + w::kHdrFc), w::fc::frames_from(2));
  EXPECT_EQ(w::decode_rx_record(ev->u.input2.data + CANFD_HEADER_SIZE).id, 0x2ABu);

  // The bare reset arrives as its six bytes.
  Bytes reset(CANFD_HEADER_SIZE);
  w::put_header(reset.data(), CANFD_OP_LARGE, w::fc::kModuleReset, 0);
  send_output(reset);
  ASSERT_TRUE(rig::eventually([&] { return adapter->engine().state().module_resets == 1; }));
}

TEST_F(Uhid, RefusesFeatureReportsAndSendsNothingWhileTheNodeIsClosed) {
  ASSERT_TRUE(adapter->plug());
  ASSERT_TRUE(next_event());
  open_node();
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_GET_REPORT;
  ev.u.get_report.id = 77;
  send_event(ev);
  auto reply = next_event();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, UHID_GET_REPORT_REPLY);
  EXPECT_EQ(+reply->u.get_report_reply.id, 77u);
  EXPECT_NE(+reply->u.get_report_reply.err, 0);
  ev.type = UHID_SET_REPORT;
  ev.u.set_report.id = 78;
  send_event(ev);
  reply = next_event();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, UHID_SET_REPORT_REPLY);
  EXPECT_EQ(+reply->u.set_report_reply.id, 78u);
  EXPECT_NE(+reply->u.set_report_reply.err, 0);

  ev.type = UHID_CLOSE;
  send_event(ev);
  ASSERT_TRUE(rig::eventually([&] { return !adapter->opened(); }));
  send_output(frames_report(1, {{0x1, false, false, false, 0}}));
  EXPECT_FALSE(next_event(200));
  EXPECT_TRUE(rig::eventually([&] { return adapter->engine().frames_dropped() == 1; }));
}

TEST_F(Uhid, UnplugDestroysAndReplugCreatesAFreshAdapter) {
  ASSERT_TRUE(adapter->plug());
  ASSERT_TRUE(next_event());
  open_node();
  send_output(report(CANFD_OP_WRITE, w::fc::kLedMode, {1}));
  ASSERT_TRUE(next_event());
  EXPECT_EQ(adapter->engine().state().led_mode, 1);
  adapter->unplug();
  auto ev = next_event();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->type, UHID_DESTROY);
  EXPECT_FALSE(adapter->plugged());
  EXPECT_FALSE(adapter->opened());
  ASSERT_TRUE(adapter->plug());
  ev = next_event();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->type, UHID_CREATE2);
  EXPECT_STREQ(reinterpret_cast<const char *>(ev->u.create2.uniq), "00C0FFEE");
  EXPECT_EQ(adapter->engine().state().led_mode, 0);
  // Going away destroys the device.
  adapter.reset();
  ev = next_event();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->type, UHID_DESTROY);
}

TEST(FindHidraw, MatchesTheDeviceByItsPhysicalPath) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("canfd-find-" + std::to_string(getpid()));
  for (const char *n : {"hidraw0", "hidraw3"}) fs::create_directories(dir / n / "device");
  std::ofstream(dir / "hidraw0/device/uevent") << "HID_PHYS=usb-1/input0\nHID_UNIQ=1\n";
  std::ofstream(dir / "hidraw3/device/uevent") << "HID_NAME=x\nHID_PHYS=canfd-sim-9/adapter1\n";
  EXPECT_EQ(canfd_sim::find_hidraw(dir.string(), "canfd-sim-9/adapter1"), "hidraw3");
  EXPECT_EQ(canfd_sim::find_hidraw(dir.string(), "canfd-sim-9/adapter"), "");
  EXPECT_EQ(canfd_sim::find_hidraw((dir / "none").string(), "x"), "");
  fs::remove_all(dir);
}

}  // namespace
