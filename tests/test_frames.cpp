// Frame transmission and reception end to end through the simulated bus.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <set>

#include "rig.h"
#include "wire.h"

namespace {

using namespace rig;
namespace wire = canfd::wire;

struct RxFrame {
  BYTE type = 0xEE, mode = 0xEE, rtr = 0xEE, fdf = 0xEE, dlc = 0xEE;
  DWORD id = 0xEEEEEEEE, sec = 0, usec = 0;
  BYTE data[64];
  RxFrame() { std::memset(data, 0xEE, sizeof data); }
};

int take(WORD h, BYTE port, RxFrame &f) {
  return CANFD_GetCANRxMsg(h, port, &f.type, &f.mode, &f.id, &f.rtr, &f.fdf, &f.dlc, f.data, &f.sec,
                           &f.usec);
}

Bytes rx_packet(uint16_t fc, const Bytes &payload) {
  Bytes p(6 + payload.size(), 0);
  p[0] = 0x3A;
  wire::put_le16(p.data() + 2, fc);
  wire::put_le16(p.data() + 4, static_cast<uint16_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), p.begin() + 6);
  return p;
}

Bytes record_bytes(const CANRxPacketStruct &r) {
  const auto *b = reinterpret_cast<const uint8_t *>(&r);
  return Bytes(b, b + sizeof r);
}

// Sends a frame, retrying while the report queue is full.
int send(WORD h, BYTE port, BYTE mode, DWORD id, BYTE rtr, BYTE fdf, BYTE dlc, BYTE *data) {
  for (;;) {
    const int rc = CANFD_SetCANTxMsg(h, port, mode, id, rtr, fdf, dlc, data);
    if (rc != CANFD_ERR_TX_QUEUE_FULL) return rc;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

using Transmit = OpenAdapter;

TEST_F(Transmit, OneFrameIsOnePacketOfOneRecord) {
  BYTE data[64];
  for (int i = 0; i < 64; ++i) data[i] = static_cast<BYTE>(i + 1);
  ASSERT_EQ(CANFD_SetCANTxMsg(h, 2, 1, 0x1234567, 0, 1, 12, data), 0);
  ASSERT_TRUE(adapter->wait_received(1, 2000));
  auto p = packets();
  ASSERT_EQ(p.size(), 1u);
  ASSERT_EQ(p[0].size(), 6u + 72);
  EXPECT_EQ(Bytes(p[0].begin(), p[0].begin() + 6), bytes({0x3A, 0, 1, 0, 72, 0}));
  BYTE expect[72];
  wire::encode_tx_record({1, 0x1234567, 0, 1, 12, data}, wire::TxKind::Normal, expect);
  EXPECT_EQ(Bytes(p[0].begin() + 6, p[0].end()), Bytes(expect, expect + 72));
  // Pinned bytes: extended id, fdf+brs+dlc 12, size 24, data then zeros.
  EXPECT_EQ(Bytes(expect, expect + 8), bytes({0x67, 0x45, 0x23, 0x41, 0x3C, 0, 24, 0}));
  EXPECT_EQ(expect[8 + 23], 24);
  EXPECT_EQ(expect[8 + 24], 0);
  EXPECT_EQ(adapter->received()[0].size(), 513u);
  adapter->clear_received();
  ASSERT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 0x923, 1, 0, 2, data), 0);
  ASSERT_TRUE(adapter->wait_received(1, 2000));
  // Standard remote frame 0x923: identifier masked to 0x123 in bits 18-28.
  Bytes expect2(78, 0);
  const Bytes head2 = bytes({0x3A, 0, 0, 0, 72, 0, 0, 0, 0x8C, 0x24, 2, 0, 2, 0, 1, 2});
  std::copy(head2.begin(), head2.end(), expect2.begin());
  EXPECT_EQ(packets()[0], expect2);
}

// Reports the adapter received since the last clear, read back as frames:
// each port's identifiers in order; at each packet that is no frame packet,
// how many frames of each port came before it; the frames in each report.
struct SentOrder {
  std::vector<DWORD> ids[2];
  std::vector<std::array<size_t, 2>> before_other;
  std::vector<std::pair<int, size_t>> reports;  // port (0 or 1) and frames
};

SentOrder sent_order(const std::vector<Bytes> &packets) {
  SentOrder o;
  for (const Bytes &p : packets) {
    const WORD code = wire::get_le16(p.data() + 2);
    if (code > 1) {
      o.before_other.push_back({o.ids[0].size(), o.ids[1].size()});
      continue;
    }
    const WORD len = wire::get_le16(p.data() + 4);
    o.reports.push_back({code, len / wire::kTxRecordSize});
    for (WORD at = 0; at + wire::kTxRecordSize <= len; at += wire::kTxRecordSize)
      o.ids[code].push_back((wire::get_le32(p.data() + 6 + at) >> wire::kStdIdShift) &
                            wire::kStdIdMask);
  }
  return o;
}

// While the writer is held up, each frame has a report of its own until the
// queue is full; then frames join the reports that wait (seven records a
// report) instead of being refused. Nothing is lost, each port's frames
// keep their order, and a packet that is not a frame packet is never
// overtaken.
TEST_F(Transmit, AFullQueueTakesFramesIntoItsNewestReports) {
  BYTE data[8] = {0};
  // A burst that the queue has room for: a report for each frame.
  constexpr int kBurst = CANFD_TXQUEUE_SLOTS - 2;
  for (int i = 0; i < kBurst; ++i) ASSERT_EQ(CANFD_SetCANTxMsg(h, 1, 0, 1, 0, 0, 8, data), 0);
  ASSERT_TRUE(adapter->wait_received(kBurst, 2000));
  for (const Bytes &p : packets()) EXPECT_EQ(p.size(), 6u + wire::kTxRecordSize);
  size_t at_adapter = kBurst;
  // Both ports send into a stalled adapter until each is refused, first
  // alone, then with other packets between their frames.
  for (const bool others : {false, true}) {
    SCOPED_TRACE(others ? "other packets between" : "frames only");
    adapter->clear_received();
    adapter->stall(true);
    DWORD next[2] = {0, 0};
    bool full[2] = {false, false};
    std::vector<std::array<size_t, 2>> others_after;
    for (int i = 0; !(full[0] && full[1]) && i < 10000; ++i) {
      const int k = i % 2;
      if (!full[k]) {
        const int rc = CANFD_SetCANTxMsg(h, static_cast<BYTE>(k + 1), 0, next[k], 0, 0, 8, data);
        ASSERT_TRUE(rc == 0 || rc == CANFD_ERR_TX_QUEUE_FULL) << rc;
        if (rc == 0)
          ++next[k];
        else
          full[k] = true;
      }
      // After each pair of frames: a full queue then ends with it, and the
      // next frames may not go into the reports before it.
      BYTE raw[6] = {0x3A, 0, 0x7F};
      if (others && k == 1 && USBDEV_Write(h, raw, sizeof raw) == 0)
        others_after.push_back({next[0], next[1]});
    }
    adapter->stall(false);
    at_adapter += next[0] + next[1];
    ASSERT_TRUE(eventually([&] {
      return adapter->tx_frames_received(1) + adapter->tx_frames_received(2) == at_adapter;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const SentOrder o = sent_order(packets());
    for (int k = 0; k < 2; ++k) {
      ASSERT_EQ(o.ids[k].size(), next[k]) << "port " << k + 1;
      for (DWORD i = 0; i < next[k]; ++i) ASSERT_EQ(o.ids[k][i], i) << "port " << k + 1;
    }
    EXPECT_EQ(o.before_other, others_after);
    for (const auto &r : o.reports) ASSERT_LE(r.second, size_t{wire::kTxRecordsPerPacket});
    if (!others) {
      // The last reports were the full queue that refused: each port's
      // newest report full, and no two reports of a port in a row that one
      // report could have carried.
      ASSERT_GE(o.reports.size(), size_t{CANFD_TXQUEUE_SLOTS});
      size_t before[2] = {0, 0}, newest[2] = {0, 0};
      for (size_t i = o.reports.size() - CANFD_TXQUEUE_SLOTS; i < o.reports.size(); ++i) {
        const auto &r = o.reports[i];
        if (before[r.first] != 0) {
          EXPECT_GT(before[r.first] + r.second, size_t{wire::kTxRecordsPerPacket}) << i;
        }
        before[r.first] = newest[r.first] = r.second;
      }
      EXPECT_EQ(newest[0], size_t{wire::kTxRecordsPerPacket});
      EXPECT_EQ(newest[1], size_t{wire::kTxRecordsPerPacket});
      for (BYTE port : {1, 2}) {
        DWORD refused = 0;
        ASSERT_EQ(CANFD_GetCANFrameCounts(h, port, nullptr, &refused, 1), 0);
        EXPECT_EQ(refused, 1u) << "port " << int(port);
      }
    }
  }
}

TEST_F(Transmit, InvalidPortsSendNothing) {
  BYTE data[64] = {0}, mode = 0;
  for (BYTE port : {0, 3}) {
    EXPECT_EQ(CANFD_SetCANTxMsg(h, port, 0, 1, 0, 0, 1, data), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_SetCANHWSendMsg(h, port, 0, 1, 0, 0, 1, data, 1, 1), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_SetCANHWSendMode(h, port, 1), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_GetCANHWSendMode(h, port, &mode), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_ClearCANTxBuf(h, port), CANFD_ERR_INVALID_PORT);
  }
  EXPECT_EQ(CANFD_SetCANTxMsg(9, 3, 0, 1, 0, 0, 1, data), CANFD_ERR_DEVICE_NOT_OPEN);
  EXPECT_EQ(CANFD_ClearCANTxBuf(h, 1), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(adapter->received().empty());
}

TEST_F(Transmit, HardwareSendRecordKeepsRemoteAndAlwaysSwitchesBitRate) {
  BYTE data[64] = {9, 8, 7};
  ASSERT_EQ(CANFD_SetCANHWSendMsg(h, 1, 0, 0x7FF, 1, 1, 0, data, 100, 0x01020304), 0);
  auto p = last_packet();
  ASSERT_EQ(p.size(), 6u + 80);
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 6), bytes({0x23, 0, 0x0B, 1, 80, 0}));
  const BYTE *rec = p.data() + 6;
  EXPECT_EQ(wire::get_le32(rec), (0x7FFu << 18) | wire::kRtrBit);
  EXPECT_EQ(wire::get_le16(rec + 4), 0x30);  // fdf, brs, dlc 0
  EXPECT_EQ(wire::get_le16(rec + 6), 0);
  EXPECT_EQ(wire::get_le32(rec + 72), 100u);
  EXPECT_EQ(wire::get_le32(rec + 76), 0x01020304u);
  EXPECT_EQ(0, std::memcmp(adapter->state().port[0].hw_record, rec, 80));
}

TEST_F(Transmit, FailedReportWriteIsReportedByEveryLaterFrame) {
  BYTE data[8] = {0};
  adapter->refuse_writes();
  // The worker may already have failed by the time the call looks.
  const int first = send(h, 1, 0, 1, 0, 0, 8, data);
  EXPECT_TRUE(first == 0 || first == CANFD_ERR_USB_WRITE) << first;
  ASSERT_TRUE(eventually([&] { return USBDEV_GetLastError(h) == CANFD_ERR_USB_WRITE; }));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(send(h, 1, 0, 1, 0, 0, 8, data), CANFD_ERR_USB_WRITE);
}

TEST_F(Transmit, HardwarePeriodicSendingRepeatsTheFrame) {
  BYTE data[64] = {0xAB};
  ASSERT_EQ(CANFD_SetCANHWSendMsg(h, 1, 1, 0x1ABCDE, 0, 0, 1, data, 5, 4), 0);
  ASSERT_EQ(CANFD_SetCANHWSendMode(h, 1, 1), 0);
  ASSERT_TRUE(eventually([&] { return rx_count(h, 2) >= 4; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(rx_count(h, 2), 4u);  // the counter bounds the repetitions
  RxFrame f;
  ASSERT_EQ(take(h, 2, f), 0);
  EXPECT_EQ(f.id, 0x1ABCDEu);
  EXPECT_EQ(f.mode, 1);
  EXPECT_EQ(f.data[0], 0xAB);
}

using Receive = OpenAdapter;

TEST_F(Receive, RecordFieldsAreReturnedAsTheApiDefinesThem) {
  BYTE data[64];
  for (int i = 0; i < 64; ++i) data[i] = static_cast<BYTE>(100 + i);
  auto r = canfd_sim::make_rx_record(0x123, false, true, false, false, 3, data, 1700000000, 42);
  r.esi = 1;
  r.brs = 1;
  r.eve = 2;
  r.id |= 0x3FFFF;  // bits a standard frame ignores
  auto fd = canfd_sim::make_rx_record(0x1FFFFFFF, true, false, true, true, 15, data, 5, 6);
  adapter->push_records(1, {r, fd});
  sync_with_worker(h);
  ASSERT_EQ(rx_count(h, 1), 2u);
  RxFrame f;
  ASSERT_EQ(take(h, 1, f), 0);
  EXPECT_EQ(f.id, 0x123u);
  EXPECT_EQ(f.mode, 0);
  EXPECT_EQ(f.rtr, 1);
  EXPECT_EQ(f.fdf, 0);
  EXPECT_EQ(f.dlc, 3);
  EXPECT_EQ(f.type, 2);
  EXPECT_EQ(f.sec, 1700000000u);
  EXPECT_EQ(f.usec, 42u);
  EXPECT_EQ(Bytes(f.data, f.data + 4), bytes({100, 101, 102, 0xEE}));  // only size bytes
  RxFrame g;
  ASSERT_EQ(take(h, 1, g), 0);
  EXPECT_EQ(g.id, 0x1FFFFFFFu);
  EXPECT_EQ(g.mode, 1);
  EXPECT_EQ(g.fdf, 1);
  EXPECT_EQ(g.dlc, 15);  // the code, not 64
  EXPECT_EQ(0, std::memcmp(g.data, data, 64));
  RxFrame none;
  EXPECT_EQ(take(h, 1, none), CANFD_ERR_RX_BUF_EMPTY);
  EXPECT_EQ(none.id, 0xEEEEEEEEu);
}

TEST_F(Receive, StandardIdentifierPlacement) {
  auto ext = canfd_sim::make_rx_record(0x123u << 18, true, false, false, false, 0, nullptr);
  adapter->push_records(2, {ext});
  sync_with_worker(h);
  RxFrame f;
  ASSERT_EQ(take(h, 2, f), 0);
  EXPECT_EQ(f.id, 0x123u << 18);
  EXPECT_EQ(f.mode, 1);
}

TEST_F(Receive, SplitRecordIsTakenOnlyWhenWhole) {
  auto r = canfd_sim::make_rx_record(0x42, false, false, false, false, 8, nullptr);
  const Bytes rec = record_bytes(r);
  const Bytes head(rec.begin(), rec.begin() + 79), tail(rec.begin() + 79, rec.end());
  auto p1 = rx_packet(16, head);
  adapter->send_report(p1.data(), p1.size());
  sync_with_worker(h);
  EXPECT_EQ(rx_count(h, 1), 0u);
  RxFrame f;
  EXPECT_EQ(take(h, 1, f), CANFD_ERR_RX_BUF_EMPTY);
  auto p2 = rx_packet(16, tail);
  adapter->send_report(p2.data(), p2.size());
  sync_with_worker(h);
  EXPECT_EQ(rx_count(h, 1), 1u);
  ASSERT_EQ(take(h, 1, f), 0);
  EXPECT_EQ(f.id, 0x42u);
}

TEST_F(Receive, RecordsComeOutInArrivalOrder) {
  std::vector<CANRxPacketStruct> recs;
  for (int i = 0; i < 10; ++i)
    recs.push_back(canfd_sim::make_rx_record(i, true, false, false, false, 0, nullptr));
  adapter->push_records(1, recs);
  sync_with_worker(h);
  EXPECT_EQ(rx_count(h, 1), 10u);
  for (DWORD i = 0; i < 10; ++i) {
    RxFrame f;
    ASSERT_EQ(take(h, 1, f), 0);
    EXPECT_EQ(f.id, i);
  }
  RxFrame f;
  EXPECT_EQ(take(h, 1, f), CANFD_ERR_RX_BUF_EMPTY);
}

TEST_F(Receive, OversizedRecordCopiesAtMost64Bytes) {
  auto r = canfd_sim::make_rx_record(1, false, false, true, false, 15, nullptr);
  r.size = 300;
  adapter->push_records(1, {r});
  sync_with_worker(h);
  BYTE buf[80];
  std::memset(buf, 0xEE, sizeof buf);
  BYTE t, m, rtr, fdf, dlc;
  DWORD id, s, us;
  ASSERT_EQ(CANFD_GetCANRxMsg(h, 1, &t, &m, &id, &rtr, &fdf, &dlc, buf, &s, &us), 0);
  EXPECT_EQ(buf[63], 0);
  EXPECT_EQ(buf[64], 0xEE);
}

TEST_F(Receive, ClearEmptiesOnePortOnly) {
  auto r = canfd_sim::make_rx_record(1, false, false, false, false, 0, nullptr);
  adapter->push_records(1, {r, r});
  adapter->push_records(2, {r});
  sync_with_worker(h);
  EXPECT_EQ(CANFD_ClearCANRxBuf(h, 1), 0);
  EXPECT_EQ(rx_count(h, 1), 0u);
  EXPECT_EQ(rx_count(h, 2), 1u);
}

TEST_F(Receive, InvalidPortsLeaveOutputsAlone) {
  DWORD n = 1234;
  RxFrame f;
  for (BYTE port : {0, 3}) {
    EXPECT_EQ(CANFD_GetCANRxMsgCount(h, port, &n), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(take(h, port, f), CANFD_ERR_INVALID_PORT);
    EXPECT_EQ(CANFD_ClearCANRxBuf(h, port), CANFD_ERR_INVALID_PORT);
  }
  EXPECT_EQ(n, 1234u);
  EXPECT_EQ(CANFD_GetCANRxMsgCount(7, 1, &n), CANFD_ERR_DEVICE_NOT_OPEN);
  testing::internal::CaptureStderr();
  EXPECT_EQ(take(128, 1, f), CANFD_ERR_INVALID_INDEX);
  testing::internal::GetCapturedStderr();
}

TEST_F(Receive, FullRingDropsWholePacketsAndKeepsWhatItHolds) {
  std::vector<CANRxPacketStruct> recs;
  for (DWORD i = 0; i < 10239; ++i)
    recs.push_back(canfd_sim::make_rx_record(i, true, false, false, false, 0, nullptr));
  push_paced(*adapter, h, 1, recs);
  ASSERT_EQ(rx_count(h, 1), 10239u);
  auto extra = canfd_sim::make_rx_record(0x1FFFFFFF, true, false, false, false, 0, nullptr);
  adapter->push_records(1, {extra});
  sync_with_worker(h);
  EXPECT_EQ(rx_count(h, 1), 10239u);
  RxFrame f;
  ASSERT_EQ(take(h, 1, f), 0);
  EXPECT_EQ(f.id, 0u);
  // One record of room: a packet of six does not fit and is dropped whole.
  adapter->push_records(1, std::vector<CANRxPacketStruct>(6, extra));
  sync_with_worker(h);
  EXPECT_EQ(rx_count(h, 1), 10238u);
  for (DWORD i = 1; i < 10239; ++i) {
    ASSERT_EQ(take(h, 1, f), 0);
    ASSERT_EQ(f.id, i);
  }
  EXPECT_EQ(take(h, 1, f), CANFD_ERR_RX_BUF_EMPTY);
}

// A stream of numbered extended-id records whose data repeats the number, cut
// into frame packets of `chunk` payload bytes, so that records straddle
// packets.
std::vector<Bytes> numbered_stream(DWORD first, DWORD count, size_t chunk) {
  Bytes all;
  for (DWORD i = first; i < first + count; ++i) {
    BYTE data[8];
    for (int k = 0; k < 8; ++k) data[k] = static_cast<BYTE>(i >> (k % 4 * 8));
    const Bytes r = record_bytes(canfd_sim::make_rx_record(i, true, false, false, false, 8, data));
    all.insert(all.end(), r.begin(), r.end());
  }
  std::vector<Bytes> packets;
  for (size_t at = 0; at < all.size(); at += chunk) {
    const size_t n = std::min(chunk, all.size() - at);
    packets.push_back(rx_packet(16, Bytes(all.begin() + at, all.begin() + at + n)));
  }
  return packets;
}

// Takes every waiting record of port 1 and checks that each is one the
// adapter sent, whole, and later than the one before.
DWORD take_numbered(WORD h, DWORD &last, DWORD &taken) {
  RxFrame f;
  DWORD bad = 0;
  while (take(h, 1, f) == 0) {
    bool whole = f.mode == 1 && f.dlc == 8;
    for (int k = 0; k < 8; ++k)
      whole = whole && f.data[k] == static_cast<BYTE>(f.id >> (k % 4 * 8));
    if (!whole || (taken > 0 && f.id <= last)) ++bad;
    last = f.id;
    ++taken;
  }
  return bad;
}

TEST_F(Receive, DroppedPacketsNeverShiftLaterRecords) {
  // 12,000 records in packets of one and a half records: the ring (10,239
  // records) overflows in the middle of records.
  send_paced(*adapter, h, numbered_stream(0, 12000, 120));
  DWORD last = 0, taken = 0;
  EXPECT_EQ(take_numbered(h, last, taken), 0u);
  EXPECT_GE(taken, 10000u);
  EXPECT_LT(taken, 12000u);
  // After the drop, the stream goes on whole and in order.
  send_paced(*adapter, h, numbered_stream(20000, 500, 200));
  const DWORD before = taken;
  EXPECT_EQ(take_numbered(h, last, taken), 0u);
  EXPECT_EQ(taken - before, 500u);
  EXPECT_EQ(last, 20499u);
}

TEST_F(Receive, ClearInTheMiddleOfARecordKeepsLaterRecordsWhole) {
  const auto packets = numbered_stream(0, 3, 40);  // half records
  adapter->send_report(packets[0].data(), packets[0].size());
  sync_with_worker(h);
  EXPECT_EQ(CANFD_ClearCANRxBuf(h, 1), 0);
  for (size_t i = 1; i < packets.size(); ++i)
    adapter->send_report(packets[i].data(), packets[i].size());
  sync_with_worker(h);
  DWORD last = 0, taken = 0;
  EXPECT_EQ(take_numbered(h, last, taken), 0u);
  EXPECT_EQ(taken, 2u);  // record 0 went with the clear
  EXPECT_EQ(last, 2u);
}

TEST_F(Receive, SeveralReadersTakeEachRecordExactlyOnce) {
  constexpr DWORD kTotal = 30000;
  std::atomic<DWORD> taken{0};
  std::vector<std::vector<DWORD>> got(4);
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&, t] {
      while (taken.load() < kTotal) {
        RxFrame f;
        if (take(h, 2, f) == 0) {
          got[t].push_back(f.id);
          taken.fetch_add(1);
        }
      }
    });
  for (DWORD base = 0; base < kTotal; base += 288) {
    std::vector<CANRxPacketStruct> recs;
    for (DWORD i = base; i < std::min(base + 288, kTotal); ++i)
      recs.push_back(canfd_sim::make_rx_record(i, true, false, false, false, 0, nullptr));
    push_paced(*adapter, h, 2, recs);
    while (rx_count(h, 2) > 5000) std::this_thread::yield();
  }
  for (auto &r : readers) r.join();
  std::vector<DWORD> all;
  for (auto &g : got) {
    EXPECT_TRUE(std::is_sorted(g.begin(), g.end()));  // each reader sees arrival order
    all.insert(all.end(), g.begin(), g.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), kTotal);
  for (DWORD i = 0; i < kTotal; ++i) ASSERT_EQ(all[i], i);
}

using Bus = OpenAdapter;

TEST_F(Bus, EveryKindOfFrameArrivesUnchangedOnTheOtherPort) {
  struct Kind {
    BYTE mode;
    DWORD id;
    BYTE rtr, fdf;
  };
  const Kind kinds[] = {{0, 0x7FF, 0, 0},     {1, 0x1FFFFFFF, 0, 0}, {0, 0x001, 1, 0},
                        {1, 0x0ABCDEF, 1, 0}, {0, 0x555, 0, 1},      {1, 0x1234567, 0, 1}};
  BYTE data[64];
  for (int i = 0; i < 64; ++i) data[i] = static_cast<BYTE>(0x40 + i);
  int sent = 0;
  for (const Kind &k : kinds)
    for (BYTE dlc = 0; dlc <= (k.fdf ? 15 : 8); ++dlc)
      for (BYTE from : {1, 2}) {
        ASSERT_EQ(send(h, from, k.mode, k.id, k.rtr, k.fdf, dlc, data), 0);
        const BYTE to = from == 1 ? 2 : 1;
        ASSERT_TRUE(eventually([&] { return rx_count(h, to) == 1; })) << sent;
        RxFrame f;
        ASSERT_EQ(take(h, to, f), 0);
        EXPECT_EQ(f.id, k.id);
        EXPECT_EQ(f.mode, k.mode);
        EXPECT_EQ(f.rtr, k.rtr);
        EXPECT_EQ(f.fdf, k.fdf);
        EXPECT_EQ(f.dlc, dlc);
        EXPECT_EQ(0, std::memcmp(f.data, data, CANFD_DLC2DBN[dlc]));
        EXPECT_EQ(f.data[CANFD_DLC2DBN[dlc] % 64], CANFD_DLC2DBN[dlc] == 64 ? data[0] : 0xEE);
        ++sent;
      }
  EXPECT_EQ(sent, 2 * (9 + 9 + 9 + 9 + 16 + 16));
}

TEST_F(Bus, TimeStampsFollowTheAdapterClock) {
  BYTE data[8] = {0};
  ASSERT_EQ(send(h, 1, 0, 1, 0, 0, 0, data), 0);
  // The adapter stamps a frame when it takes it: wait for that, so that a
  // slow host cannot shorten the gap.
  ASSERT_TRUE(eventually([&] { return adapter->tx_frames_received(1) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(send(h, 1, 0, 2, 0, 0, 0, data), 0);
  ASSERT_TRUE(eventually([&] { return rx_count(h, 2) == 2; }));
  RxFrame a, b;
  ASSERT_EQ(take(h, 2, a), 0);
  ASSERT_EQ(take(h, 2, b), 0);
  EXPECT_LT(a.usec, 1000000u);
  const double dt =
      (b.sec - static_cast<double>(a.sec)) + (b.usec - static_cast<double>(a.usec)) / 1e6;
  EXPECT_GT(dt, 0.045);
  EXPECT_LT(dt, 1.0);
}

TEST_F(Bus, ReceivingPortAppliesItsAcceptanceFilters) {
  WORD lo[1] = {0x100}, hi[1] = {0x1FF};
  ASSERT_EQ(CANFD_SetCANSTDIDFilter(h, 2, 1, lo, hi), 0);
  DWORD elo[1] = {0x10000}, ehi[1] = {0x1FFFF};
  ASSERT_EQ(CANFD_SetCANEXTIDFilter(h, 2, 1, elo, ehi), 0);
  ASSERT_EQ(CANFD_SetCANGlobalFilter(h, 2, 1, 0), 0);  // reject standard remote frames
  BYTE data[8] = {0};
  const struct {
    BYTE mode;
    DWORD id;
    BYTE rtr;
    bool pass;
  } cases[] = {{0, 0x150, 0, true},    {0, 0x250, 0, false}, {0, 0x100, 0, true},
               {0, 0x1FF, 0, true},    {0, 0x150, 1, false}, {1, 0x18000, 0, true},
               {1, 0x20000, 0, false}, {1, 0x18000, 1, true}};
  for (const auto &c : cases) ASSERT_EQ(send(h, 1, c.mode, c.id, c.rtr, 0, 1, data), 0);
  ASSERT_TRUE(eventually([&] { return adapter->tx_frames_received(1) == 8; }));
  sync_with_worker(h);
  std::vector<DWORD> expect, got;
  for (const auto &c : cases)
    if (c.pass) expect.push_back(c.id);
  RxFrame f;
  while (take(h, 2, f) == 0) got.push_back(f.id);
  EXPECT_EQ(got, expect);
}

TEST_F(Bus, FramesPerSecondFollowsTheTraffic) {
  BYTE data[8] = {0};
  for (int i = 0; i < 300; ++i) ASSERT_EQ(send(h, 1, 0, 1, 0, 0, 8, data), 0);
  WORD fps = 0;
  ASSERT_TRUE(
      eventually([&] { return CANFD_GetCANRxFramePerSec(h, 2, &fps) == 0 && fps > 0; }, 3000));
  EXPECT_LE(fps, 300);
  WORD other = 1;
  ASSERT_EQ(CANFD_GetCANRxFramePerSec(h, 1, &other), 0);
  EXPECT_EQ(other, 0);
}

}  // namespace
