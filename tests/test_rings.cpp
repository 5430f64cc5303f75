// The four byte rings of a device record: capacities, wrap-around, clearing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "canfd_comm.h"

namespace {

struct RecordDeleter {
  void operator()(KALVEN_CANFD_CAN_Buf_St *p) const { std::free(p); }
};

struct Rings : ::testing::Test {
  std::unique_ptr<KALVEN_CANFD_CAN_Buf_St, RecordDeleter> rec{
      static_cast<KALVEN_CANFD_CAN_Buf_St *>(std::calloc(1, sizeof(KALVEN_CANFD_CAN_Buf_St)))};
  PKALVEN_CANFD_CAN_Buf_St d = rec.get();
  void SetUp() override { CANBufStructInit(d); }

  static std::vector<BYTE> pattern(size_t n, BYTE seed) {
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(seed + i * 7);
    return v;
  }
};

TEST_F(Rings, InitLeavesEveryRingEmptyAndTheRecordOpen) {
  EXPECT_EQ(d->IsDeviceOpen, 1);
  for (BYTE port = 1; port <= 2; ++port) {
    DWORD n = 99;
    EXPECT_EQ(CANRxBufDataCount(d, port, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(CANTxBufDataCount(d, port, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(CANRxBufIsEmpty(d, port), 1);
    EXPECT_EQ(CANTxBufIsEmpty(d, port), 1);
    EXPECT_EQ(CANRxBufIsFull(d, port), 0);
    EXPECT_EQ(CANTxBufIsFull(d, port), 0);
  }
}

TEST_F(Rings, ReceiveRingHolds10239RecordsAndRefusesTheNext) {
  auto rec80 = pattern(80, 1);
  for (int i = 0; i < 10239; ++i) ASSERT_EQ(CANRxBufWriteN(d, 1, rec80.data(), 80), 80) << i;
  EXPECT_EQ(CANRxBufIsFull(d, 1), 1);
  EXPECT_EQ(CANRxBufWriteN(d, 1, rec80.data(), 80), -1);
  EXPECT_EQ(d->BUFF_RX_Larg_C1_Count, 819120u);
  EXPECT_EQ(CANRxBufIsFull(d, 2), 0);  // the other port's ring is separate
  // Not even one more byte fits.
  EXPECT_EQ(CANRxBufWriteN(d, 1, rec80.data(), 1), -1);
}

TEST_F(Rings, TransmitRingHolds127RecordsAndRefusesThe128th) {
  auto rec72 = pattern(72, 3);
  for (int i = 0; i < 127; ++i) ASSERT_EQ(CANTxBufWriteN(d, 2, rec72.data(), 72), 72) << i;
  EXPECT_EQ(CANTxBufIsFull(d, 2), 1);
  EXPECT_EQ(CANTxBufWriteN(d, 2, rec72.data(), 72), -1);
  DWORD n = 0;
  CANTxBufDataCount(d, 2, &n);
  EXPECT_EQ(n, 9144u);
}

TEST_F(Rings, IsFullComparesForEqualityWithTheCapacity) {
  d->BUFF_RX_Larg_C2_Count = 819119;
  EXPECT_EQ(CANRxBufIsFull(d, 2), 0);
  d->BUFF_TX_Larg_C1_Count = 9143;
  EXPECT_EQ(CANTxBufIsFull(d, 1), 0);
}

TEST_F(Rings, ZeroLengthAndOverlongRequests) {
  BYTE buf[160] = {0};
  EXPECT_EQ(CANRxBufWriteN(d, 1, buf, 0), -1);
  EXPECT_EQ(CANRxBufReadN(d, 1, buf, 0), 0);
  // Zero bytes touch no buffer: a caller may pass none.
  EXPECT_EQ(CANRxBufReadN(d, 1, nullptr, 0), 0);
  EXPECT_EQ(CANTxBufReadN(d, 2, nullptr, 0), 0);
  EXPECT_EQ(CANTxBufWriteN(d, 2, nullptr, 0), -1);
  EXPECT_EQ(d->BUFF_RX_Larg_C1_Start, 0u);
  auto data = pattern(80, 9);
  ASSERT_EQ(CANRxBufWriteN(d, 1, data.data(), 80), 80);
  BYTE out[160];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(CANRxBufReadN(d, 1, out, 160), -1);  // more than stored: nothing copied
  EXPECT_EQ(out[0], 0xEE);
  DWORD n = 0;
  CANRxBufDataCount(d, 1, &n);
  EXPECT_EQ(n, 80u);  // counts bytes, not records
}

TEST_F(Rings, WrapAroundOfThreeRecordsAtTheEndOfStorage) {
  d->BUFF_RX_Larg_C1_Start = d->BUFF_RX_Larg_C1_End = 819040;
  auto data = pattern(240, 5);
  ASSERT_EQ(CANRxBufWriteN(d, 1, data.data(), 240), 240);
  EXPECT_EQ(d->BUFF_RX_Larg_C1_End, 80u);
  EXPECT_EQ(d->BUFF_RX_Larg_C1_Count, 240u);
  EXPECT_EQ(0, std::memcmp(d->BUFF_RX_LargPkt_C1 + 819040, data.data(), 160));
  EXPECT_EQ(0, std::memcmp(d->BUFF_RX_LargPkt_C1, data.data() + 160, 80));
  for (int i = 0; i < 3; ++i) {
    BYTE out[80];
    ASSERT_EQ(CANRxBufReadN(d, 1, out, 80), 0);
    EXPECT_EQ(0, std::memcmp(out, data.data() + 80 * i, 80)) << i;
  }
  EXPECT_EQ(d->BUFF_RX_Larg_C1_Start, 80u);
  EXPECT_EQ(d->BUFF_RX_Larg_C1_Count, 0u);
}

TEST_F(Rings, ARecordSplitAcrossTheEndReadsBackWhole) {
  d->BUFF_RX_Larg_C2_Start = d->BUFF_RX_Larg_C2_End = 819160;
  auto data = pattern(80, 11);
  ASSERT_EQ(CANRxBufWriteN(d, 2, data.data(), 80), 80);
  EXPECT_EQ(0, std::memcmp(d->BUFF_RX_LargPkt_C2 + 819160, data.data(), 40));
  EXPECT_EQ(0, std::memcmp(d->BUFF_RX_LargPkt_C2, data.data() + 40, 40));
  BYTE out[80];
  ASSERT_EQ(CANRxBufReadN(d, 2, out, 80), 0);
  EXPECT_EQ(0, std::memcmp(out, data.data(), 80));
  EXPECT_EQ(d->BUFF_RX_Larg_C2_Start, 40u);
}

TEST_F(Rings, TransmitRingWrapsAndReadsAcrossTheEnd) {
  // Seven records stored from near the end and taken in one read of 504.
  d->BUFF_TX_Larg_C1_Start = d->BUFF_TX_Larg_C1_End = 9216 - 144;
  auto data = pattern(504, 2);
  for (int i = 0; i < 7; ++i) ASSERT_EQ(CANTxBufWriteN(d, 1, data.data() + 72 * i, 72), 72);
  BYTE out[504];
  ASSERT_EQ(CANTxBufReadN(d, 1, out, 504), 0);
  EXPECT_EQ(0, std::memcmp(out, data.data(), 504));
  EXPECT_EQ(d->BUFF_TX_Larg_C1_Start, 360u);
}

TEST_F(Rings, ClearResetsPositionsOfOnePortOnly) {
  auto data = pattern(80, 1);
  CANRxBufWriteN(d, 1, data.data(), 80);
  CANRxBufWriteN(d, 2, data.data(), 80);
  EXPECT_EQ(CANRxBufClear(d, 1), 0);
  EXPECT_EQ(d->BUFF_RX_Larg_C1_Count, 0u);
  EXPECT_EQ(d->BUFF_RX_Larg_C1_Start, 0u);
  EXPECT_EQ(d->BUFF_RX_Larg_C1_End, 0u);
  EXPECT_EQ(d->BUFF_RX_Larg_C2_Count, 80u);
  CANTxBufWriteN(d, 2, data.data(), 72);
  EXPECT_EQ(CANTxBufClear(d, 2), 0);
  EXPECT_EQ(d->BUFF_TX_Larg_C2_Count, 0u);
}

TEST_F(Rings, InvalidPortsChangeNothingAndTakeNoLock) {
  BYTE buf[80] = {0};
  DWORD n = 7;
  // Holding the mutexes shows that a bad port does not try to take them.
  pthread_mutex_lock(&d->mutex_CANRx_P1);
  pthread_mutex_lock(&d->mutex_CANTx_P1);
  for (BYTE port : {0, 3, 255}) {
    EXPECT_EQ(CANRxBufIsFull(d, port), -1);
    EXPECT_EQ(CANTxBufIsFull(d, port), -1);
    EXPECT_EQ(CANRxBufIsEmpty(d, port), -1);
    EXPECT_EQ(CANTxBufIsEmpty(d, port), -1);
    EXPECT_EQ(CANRxBufClear(d, port), -1);
    EXPECT_EQ(CANTxBufClear(d, port), -1);
    EXPECT_EQ(CANRxBufDataCount(d, port, &n), -1);
    EXPECT_EQ(CANTxBufDataCount(d, port, &n), -1);
    EXPECT_EQ(CANRxBufWriteN(d, port, buf, 80), -1);
    EXPECT_EQ(CANTxBufWriteN(d, port, buf, 72), -1);
    EXPECT_EQ(CANRxBufReadN(d, port, buf, 0), -1);
    EXPECT_EQ(CANTxBufReadN(d, port, buf, 0), -1);
  }
  pthread_mutex_unlock(&d->mutex_CANRx_P1);
  pthread_mutex_unlock(&d->mutex_CANTx_P1);
  EXPECT_EQ(n, 7u);
}

// Any interleaving of stores and takes behaves like a byte queue.
TEST_F(Rings, RandomStoresAndTakesMatchAByteQueue) {
  std::vector<BYTE> model;
  size_t head = 0;
  unsigned seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  BYTE counter = 0;
  for (int step = 0; step < 20000; ++step) {
    const DWORD len = 1 + next() % 2000;
    if (next() % 2) {
      std::vector<BYTE> in(len);
      for (auto &b : in) b = counter++;
      const bool fits = model.size() - head + len <= CANFD_TX_RING_CAPACITY;
      const int rc = CANTxBufWriteN(d, 1, in.data(), len);
      ASSERT_EQ(rc, fits ? static_cast<int>(len) : -1);
      if (fits) model.insert(model.end(), in.begin(), in.end());
    } else {
      std::vector<BYTE> out(len);
      const bool enough = model.size() - head >= len;
      ASSERT_EQ(CANTxBufReadN(d, 1, out.data(), len), enough ? 0 : -1);
      if (enough) {
        ASSERT_EQ(0, std::memcmp(out.data(), model.data() + head, len));
        head += len;
      }
    }
    ASSERT_EQ(d->BUFF_TX_Larg_C1_Count, model.size() - head);
    ASSERT_EQ(d->BUFF_TX_Larg_C1_End,
              (d->BUFF_TX_Larg_C1_Start + d->BUFF_TX_Larg_C1_Count) % CANFD_TX_RING_SIZE);
  }
}

}  // namespace
