// Device access end to end: validation, open and close, the command exchange,
// the receive worker, the transmit report queue and worker.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "rig.h"
#include "wire.h"

namespace {

using namespace rig;
namespace wire = canfd::wire;
using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// What each descriptor of the process refers to, for messages.
std::string fd_targets() {
  std::string out;
  DIR *d = opendir("/proc/self/fd");
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char link[256] = {0};
    readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), link, sizeof link - 1);
    out += std::string(e->d_name) + "=" + link + " ";
  }
  closedir(d);
  return out;
}

Bytes frame_packet(uint16_t fc, uint16_t len, size_t records, uint8_t fill = 0x11) {
  Bytes p(6 + 80 * records, fill);
  p[0] = 0x3A;
  p[1] = 0;
  p[2] = static_cast<uint8_t>(fc);
  p[3] = static_cast<uint8_t>(fc >> 8);
  p[4] = static_cast<uint8_t>(len);
  p[5] = static_cast<uint8_t>(len >> 8);
  return p;
}

TEST(Validation, IndexRangeAndClosedDevices) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(USBDEV_CheckDeviceValid(128), CANFD_ERR_INVALID_INDEX);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Invalid device index 128\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(USBDEV_CheckDeviceValid(127), CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_EQ(USBDEV_GetLastError(5), CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_EQ(CANFD_CloseDevice(127), CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(CANFD_CloseDevice(0xFFFF), CANFD_ERR_INVALID_INDEX);
  EXPECT_EQ(USBDEV_Write(300, nullptr, 0), CANFD_ERR_INVALID_INDEX);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid device index 65535\nError: Invalid device index 300\n");
}

TEST(Open, SendsTwoFirmwareReadsAsWholeReports) {
  canfd_sim::Sandbox sb;
  auto &a = sb.add({});
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  // The second read is withdrawn unwritten when the first one's write is
  // still blocked after 100 ms (a heavily loaded machine can make it so).
  a.wait_received(2, 2000);
  auto reports = a.received();
  ASSERT_GE(reports.size(), 1u);
  ASSERT_LE(reports.size(), 2u);
  Bytes expect(513, 0);
  expect[1] = 0x24;
  for (const auto &r : reports) EXPECT_EQ(r, expect);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
}

TEST(Open, SilentAdapterStillOpensAfterBothTimeouts) {
  canfd_sim::Sandbox sb;
  auto &a = sb.add({});
  a.set_reply_all({canfd_sim::Reply::Silent});
  WORD h = 0;
  const auto t0 = Clock::now();
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  EXPECT_GE(ms_since(t0), 20);
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_CMD_TIMEOUT);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
}

// An adapter still busy after plug-in answers neither of the two firmware
// reads of open; the first firmware read after open, within the second in
// which the adapter could still have answered them, gets the answer the
// adapter gives it.
TEST(Open, FirstCommandAfterASilentOpenGetsItsAnswer) {
  canfd_sim::Sandbox sb;
  auto &a = sb.add({});
  a.set_reply(0x24, 0x0000, {canfd_sim::Reply::Silent, 0, 0, 2});
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  WORD fw = 0;
  const auto t0 = Clock::now();
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);
  EXPECT_EQ(fw, 0x0102);
  EXPECT_LT(ms_since(t0), 500);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
}

TEST(Open, SameAdapterTwiceGivesTheIndexAndAlreadyOpen) {
  canfd_sim::Sandbox sb;
  sb.add({3, "00003F9A", "00000E31", "1234ABCD", ""});
  WORD h = 0, h2 = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(CANFD_OpenDevice(&h2, kPid, kBid), CANFD_ERR_DEVICE_ALREADY_OPEN);
  EXPECT_EQ(h2, 3);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
}

TEST(Open, CloseThenCallsRefuseAndReopenWorks) {
  canfd_sim::Sandbox sb;
  sb.add({});
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_EQ(CANFD_CloseDevice(h), CANFD_ERR_DEVICE_NOT_OPEN);
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
}

// The process's threads: name and thread id.
std::multimap<std::string, pid_t> threads() {
  std::multimap<std::string, pid_t> found;
  DIR *d = opendir("/proc/self/task");
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char name[32] = {0};
    FILE *f = fopen((std::string("/proc/self/task/") + e->d_name + "/comm").c_str(), "r");
    if (f == nullptr) continue;  // ended meanwhile
    if (fgets(name, sizeof name, f) != nullptr)
      found.emplace(std::string(name, strcspn(name, "\n")), static_cast<pid_t>(atoi(e->d_name)));
    fclose(f);
  }
  closedir(d);
  return found;
}

TEST(Open, WorkersCarryTheDeviceIndexInTheirNamesAndEndWithClose) {
  canfd_sim::Sandbox sb;
  sb.add({3, "00003F9A", "00000E31", "1", ""});
  sb.add({12, "00003F9A", "00000E31", "2", ""});
  WORD a = 0, b = 0;
  ASSERT_EQ(CANFD_OpenDevice(&a, kPid, 1), 0);
  ASSERT_EQ(CANFD_OpenDevice(&b, kPid, 2), 0);
  const std::multimap<std::string, pid_t> names = threads();
  for (const char *name : {"canfd-rx-3", "canfd-tx-3", "canfd-rx-12", "canfd-tx-12"})
    EXPECT_EQ(names.count(name), 1U) << name;
  // Close joins the device's workers (their tasks leave /proc a moment
  // after they end); the other device's stay.
  const auto of = [](const char *rx, const char *tx) {
    const std::multimap<std::string, pid_t> now = threads();
    return now.count(rx) + now.count(tx);
  };
  EXPECT_EQ(CANFD_CloseDevice(a), 0);
  EXPECT_TRUE(eventually([&] { return of("canfd-rx-3", "canfd-tx-3") == 0; }));
  EXPECT_EQ(of("canfd-rx-12", "canfd-tx-12"), 2U);
  EXPECT_EQ(CANFD_CloseDevice(b), 0);
  EXPECT_TRUE(eventually([&] { return of("canfd-rx-12", "canfd-tx-12") == 0; }));
}

// The thread of this process with the given name, or 0.
pid_t thread_named(const std::string &wanted) {
  const std::multimap<std::string, pid_t> all = threads();
  const auto it = all.find(wanted);
  return it == all.end() ? 0 : it->second;
}

struct SchedAttr {
  uint32_t size, policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime, deadline, period;
};

bool sched_attr_of(pid_t tid, SchedAttr *a) {
  *a = SchedAttr{};
  return syscall(SYS_sched_getattr, tid, a, sizeof *a, 0) == 0;
}

// While frame reports stream in, the receive worker asks for a short time
// slice where the kernel gives one, and goes back to the default once they
// stop; both workers keep the nice level they were started with (an
// application at nice 5 must not get a worker at nice 0), whatever the
// slice.
TEST(Open, TheReceiveWorkerTakesAShortSliceUnderLoadAndKeepsTheOpenersNiceLevel) {
  canfd_sim::Sandbox sb;
  canfd_sim::Adapter &adapter = sb.add({4, "00003F9A", "00000E31", "1", ""});
  SchedAttr mine;
  if (!sched_attr_of(0, &mine)) GTEST_SKIP() << "sched_getattr is not available here";
  // Whether this kernel keeps a slice that a thread asks for.
  bool slices = false;
  std::thread([&] {
    SchedAttr a;
    if (!sched_attr_of(0, &a)) return;
    a.size = sizeof a;
    a.runtime = 100000;
    SchedAttr b;
    slices =
        syscall(SYS_sched_setattr, 0, &a, 0) == 0 && sched_attr_of(0, &b) && b.runtime == 100000;
  }).join();
  std::thread([&] {
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 5), 0);
    WORD h = 0;
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, 1), 0);
    const pid_t rx_tid = thread_named("canfd-rx-4"), tx_tid = thread_named("canfd-tx-4");
    ASSERT_NE(rx_tid, 0);
    ASSERT_NE(tx_tid, 0);
    SchedAttr rx, tx;
    ASSERT_TRUE(sched_attr_of(rx_tid, &rx));
    ASSERT_TRUE(sched_attr_of(tx_tid, &tx));
    EXPECT_EQ(rx.nice, 5);
    EXPECT_EQ(tx.nice, 5);
    EXPECT_EQ(rx.policy, static_cast<uint32_t>(SCHED_OTHER));
    EXPECT_EQ(rx.runtime, mine.runtime) << "the default slice before frames come";
    if (slices) {
      // Frame reports back to back until the worker has asked for the short
      // slice.
      const auto rec = canfd_sim::make_rx_record(1, false, false, false, false, 0, nullptr);
      bool went_short = false;
      for (int i = 0; i < 20000 && !went_short; ++i) {
        adapter.push_records(1, {rec});
        if (i % 16 == 15) went_short = sched_attr_of(rx_tid, &rx) && rx.runtime == 100000;
      }
      EXPECT_TRUE(went_short);
      EXPECT_EQ(rx.nice, 5);
      // The stream stopped: the default slice again.
      EXPECT_TRUE(
          eventually([&] { return sched_attr_of(rx_tid, &rx) && rx.runtime == mine.runtime; }));
      EXPECT_EQ(rx.nice, 5);
    }
    EXPECT_EQ(CANFD_CloseDevice(h), 0);
  }).join();
}

TEST(Open, EightDevicesAtMost) {
  canfd_sim::Sandbox sb;
  for (int i = 0; i < 8; ++i) sb.add({i, "00003F9A", "00000E31", std::to_string(i + 1), ""});
  WORD h[8];
  for (int i = 0; i < 8; ++i) ASSERT_EQ(CANFD_OpenDevice(&h[i], kPid, i + 1), 0) << i;
  WORD extra = 77;
  EXPECT_EQ(CANFD_OpenDevice(&extra, kPid, 0x999), CANFD_ERR_TOO_MANY_DEVICES);
  EXPECT_EQ(extra, 77);
  for (WORD i : h) EXPECT_EQ(CANFD_CloseDevice(i), 0);
}

TEST(Open, NodeThatDoesNotOpen) {
  canfd_sim::Sandbox sb;
  sb.add_entry("hidraw5", "HID_ID=0003:00003F9A:00000E31\nHID_UNIQ=1234ABCD\n");
  WORD h = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open device\n");
  EXPECT_EQ(h, 5);
}

TEST(Open, IndexBeyondTheDeviceTableIsRefused) {
  canfd_sim::Sandbox sb;
  sb.add({200, "00003F9A", "00000E31", "1234ABCD", ""});
  WORD h = 0;
  EXPECT_EQ(CANFD_OpenDevice(&h, kPid, kBid), CANFD_ERR_INVALID_INDEX);
  EXPECT_EQ(h, 200);
}

TEST(Lifecycle, ThousandOpenCloseCyclesLeaveNothingBehind) {
  canfd_sim::Sandbox sb;
  sb.add({});
  WORD h = 0;
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  ASSERT_EQ(CANFD_CloseDevice(h), 0);
  // Let the adapter close its end of the warm-up connection.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int fds = count_entries("/proc/self/fd");
  const std::string before = fd_targets();
  const int tasks = count_entries("/proc/self/task");
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0) << i;
    ASSERT_EQ(CANFD_CloseDevice(h), 0) << i;
  }
  // The simulated adapter closes its end of a connection a moment later.
  EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/fd") == fds; }))
      << "before: " << before << "\nafter: " << fd_targets();
  EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/task") == tasks; }));
}

using Exchange = OpenAdapter;

TEST_F(Exchange, RequestIsOneWholeReportAndTheAnswerIsCopiedByItsLength) {
  BYTE req[6];
  PackReadPacket(0x0000, 0, nullptr, req);
  BYTE out[512];
  std::memset(out, 0xEE, sizeof out);
  ASSERT_EQ(CANFD_Send_Recv(h, req, 6, out, 1000), 0);
  auto reports = adapter->received();
  ASSERT_EQ(reports.size(), 1u);
  Bytes expect(513, 0);
  std::memcpy(expect.data() + 1, req, 6);
  EXPECT_EQ(reports[0], expect);
  EXPECT_EQ(Bytes(out, out + 9), bytes({0x21, 0, 0, 0, 2, 0, 0x02, 0x01, 0xEE}));
}

TEST_F(Exchange, RefusedAnswerIsStillAnAnswer) {
  adapter->set_reply(0x24, 0x0000, {canfd_sim::Reply::Refuse, 7});
  BYTE req[6], out[512] = {0};
  PackReadPacket(0x0000, 0, nullptr, req);
  ASSERT_EQ(CANFD_Send_Recv(h, req, 6, out, 1000), 0);
  EXPECT_EQ(out[0], 0x3F);
  EXPECT_EQ(out[6], 7);
}

TEST_F(Exchange, TimesOutAfterTheCommandTimeout) {
  adapter->set_reply_all({canfd_sim::Reply::Silent});
  BYTE req[6], out[512];
  PackReadPacket(0x0000, 0, nullptr, req);
  auto t0 = Clock::now();
  EXPECT_EQ(CANFD_Send_Recv(h, req, 6, out, 50), CANFD_ERR_CMD_TIMEOUT);
  EXPECT_GE(ms_since(t0), 50);
  t0 = Clock::now();
  EXPECT_EQ(CANFD_Send_Recv(h, req, 6, out, 0), CANFD_ERR_CMD_TIMEOUT);
  EXPECT_LT(ms_since(t0), 500);
}

TEST_F(Exchange, LateAnswerIsDiscardedByTheNextExchange) {
  // The INIT pin read is answered after its exchange gave up.
  adapter->set_reply(0x24, 0x0001, {canfd_sim::Reply::Late, 0, 100, 1});
  BYTE req[6], out[512];
  PackReadPacket(0x0001, 0, nullptr, req);
  EXPECT_EQ(CANFD_Send_Recv(h, req, 6, out, 20), CANFD_ERR_CMD_TIMEOUT);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);
  EXPECT_EQ(fw, 0x0102);
}

TEST_F(Exchange, LateAnswerArrivingInsideTheNextExchangeIsNotTakenAsItsAnswer) {
  adapter->set_reply(0x24, 0x0001, {canfd_sim::Reply::Late, 0, 150, 1});
  adapter->set_reply(0x24, 0x0000, {canfd_sim::Reply::Silent});
  BYTE req[6], out[512] = {0};
  PackReadPacket(0x0001, 0, nullptr, req);
  EXPECT_EQ(CANFD_Send_Recv(h, req, 6, out, 20), CANFD_ERR_CMD_TIMEOUT);
  // The INIT pin answer arrives while the firmware read waits: it is not
  // the firmware read's answer, which never comes.
  PackReadPacket(0x0000, 0, nullptr, req);
  EXPECT_EQ(CANFD_Send_Recv(h, req, 6, out, 400), CANFD_ERR_CMD_TIMEOUT);
  EXPECT_EQ(out[0], 0);
}

TEST_F(Exchange, LateAnswersNeverBecomeTheNextCommandsAnswer) {
  BYTE req[6], out[512];
  int late = 0, stale_same = 0, stale_earlier = 0;
  // Every firmware version the adapter had, and when it stopped having it.
  std::vector<std::pair<WORD, Clock::time_point>> had;
  auto set_version = [&](canfd_sim::ModuleState &st, WORD v) {
    had.emplace_back(st.fw_version, Clock::now());
    st.fw_version = v;
    adapter->set_state(st);
  };
  for (int round = 0; round < 200; ++round) {
    // A request that gives up after 2 ms is answered after 20 ms, while the
    // next command waits for its own answer. Half the rounds the late
    // answer is of another command (the INIT pin), half of the same one
    // (the firmware version, which has changed meanwhile).
    const bool same = round % 2 == 1;
    const WORD code = same ? 0x0000 : 0x0001;
    canfd_sim::ModuleState st = adapter->state();
    set_version(st, static_cast<WORD>(0x1000 + round));
    adapter->set_reply(0x24, code, {canfd_sim::Reply::Late, 0, 20, 1});
    PackReadPacket(code, 0, nullptr, req);
    const int rc = CANFD_Send_Recv(h, req, 6, out, 2);
    if (rc == 0) {
      // A host too busy to look before the answer came takes its own answer.
      EXPECT_EQ(wire::get_le16(out + 2), code);
    } else {
      EXPECT_EQ(rc, CANFD_ERR_CMD_TIMEOUT);
      ++late;
    }
    const WORD before = st.fw_version;
    if (same) set_version(st, static_cast<WORD>(0x2000 + round));
    WORD fw = 0;
    EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);
    if (fw == st.fw_version) continue;
    // The same request may take the answer of an identical request made
    // earlier and still owed its answer (a command timeout ago at most):
    // the adapter may as well have lost that one, and nothing tells the two
    // answers apart. That answer says the version of its time; the late
    // answer to the INIT pin read is never taken.
    const auto owed_since = Clock::now() - std::chrono::milliseconds(1000);
    bool earlier = false;
    for (const auto &[v, until] : had) earlier |= v == fw && until >= owed_since;
    if (same && fw == before)
      ++stale_same;
    else if (earlier)
      ++stale_earlier;
    else
      ADD_FAILURE() << "round " << round << " read version " << fw << ", not " << st.fw_version;
  }
  EXPECT_GE(late, 100) << "rounds whose answer came late";
  std::printf(
      "same request again: %d of 100 took the late answer of the first; "
      "%d of 200 an identical earlier request's answer\n",
      stale_same, stale_earlier);
}

TEST_F(Exchange, AnswersThatBelongToNoRequestAreIgnored) {
  adapter->set_reply(0x24, 0x0000, {canfd_sim::Reply::Late, 0, 30, 1});
  std::thread stray([&] {
    adapter->wait_received(1, 2000);
    // Answers to requests nobody made: another function code, and a '!'
    // without the values that a read's answer carries.
    Bytes other{0x21, 0, 0x01, 0x00, 0x01, 0x00, 0x99};
    Bytes empty{0x21, 0, 0x00, 0x00, 0x00, 0x00};
    adapter->send_report(other.data(), other.size());
    adapter->send_report(empty.data(), empty.size());
  });
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);
  EXPECT_EQ(fw, 0x0102);
  stray.join();
}

TEST_F(Exchange, OverlongPacketIsRefusedAndNothingIsWritten) {
  BYTE big[600] = {0x24};
  BYTE out[512];
  EXPECT_EQ(CANFD_Send_Recv(h, big, 513, out, 10), CANFD_ERR_DATA_TOO_LONG);
  EXPECT_EQ(CANFD_Send_Recv(h, big, 512, out, 1000), 0);  // 512 is the limit
  ASSERT_TRUE(adapter->wait_received(1, 1000));
  EXPECT_EQ(adapter->received().size(), 1u);
}

TEST_F(Exchange, AnswerLengthBeyondTheSlotIsCutToIt) {
  adapter->set_reply(0x24, 0x0000, {canfd_sim::Reply::Silent});
  std::thread answer([&] {
    adapter->wait_received(1, 2000);
    Bytes r(513, 0x55);
    r[0] = 0x21;
    r[2] = r[3] = 0;  // the function code of the request
    r[4] = 0xFF;
    r[5] = 0xFF;
    adapter->send_report(r.data(), r.size());
  });
  BYTE req[6], out[600];
  std::memset(out, 0xEE, sizeof out);
  PackReadPacket(0x0000, 0, nullptr, req);
  EXPECT_EQ(CANFD_Send_Recv(h, req, 6, out, 1000), 0);
  answer.join();
  EXPECT_EQ(out[511], 0x55);
  EXPECT_EQ(out[512], 0xEE);
}

using ReceiveWorker = OpenAdapter;

TEST_F(ReceiveWorker, FramePacketsAreFiledByFunctionCode) {
  auto p1 = frame_packet(16, 80, 1);
  auto p2 = frame_packet(17, 160, 2);
  auto p3 = frame_packet(18, 80, 1);
  auto empty = frame_packet(16, 0, 0);
  Bytes read_req = bytes({0x24, 0, 0x10, 0, 80, 0});
  read_req.resize(86);
  Bytes write_req = read_req;
  write_req[0] = 0x23;
  for (const Bytes *p : {&p1, &p2, &p3, &empty, &read_req, &write_req})
    ASSERT_TRUE(adapter->send_report(p->data(), p->size()));
  sync_with_worker(h);
  EXPECT_EQ(rx_count(h, 1), 1u);
  EXPECT_EQ(rx_count(h, 2), 2u);
}

TEST_F(ReceiveWorker, PacketClaimingMoreThanWasReadIsDropped) {
  auto p = frame_packet(16, 160, 1);  // says two records, carries one
  ASSERT_TRUE(adapter->send_report(p.data(), p.size()));
  sync_with_worker(h);
  EXPECT_EQ(rx_count(h, 1), 0u);
}

TEST_F(ReceiveWorker, UnpluggedNodeDoesNotSpinAndCloseStillWorks) {
  adapter->disconnect();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpu0 = cpu_seconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double used = cpu_seconds() - cpu0;
  EXPECT_LT(used, 0.2) << "CPU seconds used in one second while unplugged";
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_DEVICE_GONE);
  const auto t0 = Clock::now();
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
  h = 0xFFFF;
  EXPECT_LT(ms_since(t0), 500);
}

TEST_F(ReceiveWorker, ClosingWhileFramesStreamBothWaysIsPrompt) {
  std::atomic<bool> stop{false};
  const WORD dev = h;
  std::thread sender([&stop, dev] {
    BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    while (!stop.load()) {
      CANFD_SetCANTxMsg(dev, 1, 0, 0x123, 0, 0, 8, data);
      CANFD_SetCANTxMsg(dev, 2, 0, 0x321, 0, 0, 8, data);
    }
  });
  std::thread pusher([&] {
    std::vector<CANRxPacketStruct> recs(
        6, canfd_sim::make_rx_record(0x55, false, false, false, false, 0, nullptr));
    while (!stop.load()) adapter->push_records(1, recs);
  });
  ASSERT_TRUE(eventually([&] { return adapter->tx_frames_received(1) > 100; }));
  const auto t0 = Clock::now();
  EXPECT_EQ(CANFD_CloseDevice(h), 0);
  const long took = ms_since(t0);
  h = 0xFFFF;
  stop = true;
  sender.join();
  pusher.join();
  EXPECT_LT(took, 500);
}

using TransmitQueue = OpenAdapter;

TEST_F(TransmitQueue, ReportsGoOutWholeAndInOrder) {
  Bytes a(6, 0xA1), b(512, 0xB2), c;
  EXPECT_EQ(USBDEV_Write(h, a.data(), 6), 0);
  EXPECT_EQ(USBDEV_Write(h, b.data(), 512), 0);
  EXPECT_EQ(USBDEV_Write(h, c.data(), 0), 0);
  Bytes d(513, 0xD4);
  EXPECT_EQ(USBDEV_Write(h, d.data(), 513), CANFD_ERR_DATA_TOO_LONG);
  ASSERT_TRUE(adapter->wait_received(3, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto r = adapter->received();
  ASSERT_EQ(r.size(), 3u);
  Bytes ea(513, 0), eb(513, 0xB2), ec(513, 0);
  std::fill(ea.begin() + 1, ea.begin() + 7, 0xA1);
  eb[0] = 0;
  EXPECT_EQ(r[0], ea);
  EXPECT_EQ(r[1], eb);
  EXPECT_EQ(r[2], ec);
}

TEST_F(TransmitQueue, HoldsEightReportsWhenNothingIsTakenOut) {
  // A stalled adapter takes no report: once the node holds what it holds in
  // flight, the worker waits inside a write and the queue fills up behind
  // it.
  adapter->stall(true);
  BYTE pkt[6] = {0x3A, 0, 0x7F};
  int accepted = 0;
  for (int quiet = 0; quiet < 2;) {
    while (USBDEV_Write(h, pkt, 6) == 0) ++accepted;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Nothing was taken out meanwhile, twice in a row: the worker is stuck.
    if (USBDEV_Write(h, pkt, 6) == 0)
      ++accepted, quiet = 0;
    else
      ++quiet;
  }
  EXPECT_EQ(USBDEV_Write(h, pkt, 6), CANFD_ERR_TX_QUEUE_FULL);
  // Frames now report the refusal instead of claiming to be sent.
  BYTE data[8] = {0};
  EXPECT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 1, 0, 0, 8, data), CANFD_ERR_TX_QUEUE_FULL);
  // Every accepted report goes out once the adapter takes reports again.
  adapter->stall(false);
  ASSERT_TRUE(adapter->wait_received(static_cast<size_t>(accepted), 5000));
  EXPECT_EQ(USBDEV_Write(h, pkt, 6), 0);
  EXPECT_TRUE(adapter->wait_received(static_cast<size_t>(accepted) + 1, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(adapter->received().size(), static_cast<size_t>(accepted) + 1);
}

TEST_F(TransmitQueue, FailedReportWriteIsStickyInLastError) {
  EXPECT_EQ(USBDEV_GetLastError(h), 0);
  adapter->refuse_writes();
  BYTE pkt[6] = {0x3A};
  EXPECT_EQ(USBDEV_Write(h, pkt, 6), 0);
  ASSERT_TRUE(eventually([&] { return USBDEV_GetLastError(h) == CANFD_ERR_USB_WRITE; }));
  EXPECT_EQ(USBDEV_Write(h, pkt, 6), 0);  // later reports are still taken
  EXPECT_EQ(USBDEV_GetLastError(h), CANFD_ERR_USB_WRITE);
  WORD fw = 0;
  EXPECT_EQ(CANFD_GetFwVer(h, &fw), CANFD_ERR_USB_WRITE);
  EXPECT_EQ(CANFD_ResetModule(h), CANFD_ERR_USB_WRITE);
  ASSERT_EQ(CANFD_CloseDevice(h), 0);
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  EXPECT_EQ(USBDEV_GetLastError(h), 0);
}

void on_signal(int) {}

TEST_F(TransmitQueue, SignalsDoNotStopTheWorkers) {
  if (!signal_handlers_keep_thread_identity) GTEST_SKIP() << kLosesThreadIdentity;
  // The threads that open starts, and this one. Other threads are left
  // alone: an emulator may run threads of its own in the process.
  ASSERT_EQ(CANFD_CloseDevice(h), 0);
  const std::set<int> before = proc_entries("/proc/self/task");
  ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
  BYTE pin = 0;
  ASSERT_EQ(CANFD_GetINITPinStatus(h, &pin), 0);
  adapter->clear_received();
  std::vector<int> targets{static_cast<int>(syscall(SYS_gettid))};
  for (int id : proc_entries("/proc/self/task"))
    if (!before.count(id)) targets.push_back(id);
  ASSERT_EQ(targets.size(), 3u);

  struct sigaction sa = {};
  sa.sa_handler = on_signal;  // no SA_RESTART: blocking calls see EINTR
  sigaction(SIGUSR1, &sa, nullptr);
  const pid_t pid = getpid();
  for (int round = 0; round < 20; ++round) {
    for (int id : targets) syscall(SYS_tgkill, pid, id, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  BYTE pkt[6] = {0x3A, 0, 0x7F};
  EXPECT_EQ(USBDEV_Write(h, pkt, 6), 0);
  EXPECT_TRUE(adapter->wait_received(1, 2000));
  auto p = frame_packet(16, 80, 1);
  adapter->send_report(p.data(), p.size());
  sync_with_worker(h);
  EXPECT_EQ(rx_count(h, 1), 1u);
  signal(SIGUSR1, SIG_DFL);
}

}  // namespace
