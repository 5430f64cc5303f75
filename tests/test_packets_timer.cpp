// Packet builders and time utilities.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstring>
#include <vector>

#include "Timer.h"
#include "canfd_comm.h"

namespace {

TEST(Packets, ReadPacketWithoutDataIsTheBareHeader) {
  BYTE pkt[8];
  std::memset(pkt, 0xAA, sizeof pkt);
  EXPECT_EQ(PackReadPacket(0x0102, 0, nullptr, pkt), 6);
  const BYTE expect[8] = {0x24, 0x00, 0x02, 0x01, 0x00, 0x00, 0xAA, 0xAA};
  EXPECT_EQ(0, std::memcmp(pkt, expect, 8));  // nothing beyond the packet is written
}

TEST(Packets, WritePacketCarriesItsDataAfterTheHeader) {
  std::vector<BYTE> data(80);
  for (int i = 0; i < 80; ++i) data[i] = static_cast<BYTE>(i + 1);
  BYTE pkt[512];
  EXPECT_EQ(PackWritePacket(0x010B, 80, data.data(), pkt), 86);
  EXPECT_EQ(pkt[0], 0x23);
  EXPECT_EQ(pkt[1], 0x00);
  EXPECT_EQ(pkt[2], 0x0B);
  EXPECT_EQ(pkt[3], 0x01);
  EXPECT_EQ(pkt[4], 0x50);
  EXPECT_EQ(pkt[5], 0x00);
  EXPECT_EQ(0, std::memcmp(pkt + 6, data.data(), 80));
}

TEST(Packets, LargeDataPacketAndHeaderAlone) {
  BYTE pkt[6];
  EXPECT_EQ(PackLargeDataPacket(0x00E1, 0, nullptr, pkt), 6);
  const BYTE reset[6] = {0x3A, 0x00, 0xE1, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(pkt, reset, 6));
  BYTE hdr[7] = {9, 9, 9, 9, 9, 9, 9};
  AppendProtocolHeader(0x3F, 0xABCD, 0x01F8, hdr);
  const BYTE expect[7] = {0x3F, 0x00, 0xCD, 0xAB, 0xF8, 0x01, 9};
  EXPECT_EQ(0, std::memcmp(hdr, expect, 7));
}

TEST(Timer, TimeOfDayMatchesTheWallClock) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  const __tod_t t = _time_get_tod();
  const __tod_t ref = static_cast<__tod_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
  EXPECT_GE(t, ref);
  EXPECT_LT(t - ref, 1000000u);
}

TEST(Timer, DeadlineCarriesMicrosecondsIntoSeconds) {
  // The deadline is relative to now; check its distance from a reading taken
  // just before and after.
  struct timeval before, after, dl;
  for (unsigned long usec : {1UL, 999999UL, 1000000UL, 2500000UL}) {
    gettimeofday(&before, nullptr);
    _time_set_deadline(usec, &dl);
    gettimeofday(&after, nullptr);
    EXPECT_GE(dl.tv_usec, 0);
    EXPECT_LT(dl.tv_usec, 1000000);
    const long long d = dl.tv_sec * 1000000LL + dl.tv_usec;
    EXPECT_GE(d, before.tv_sec * 1000000LL + before.tv_usec + static_cast<long long>(usec));
    EXPECT_LE(d, after.tv_sec * 1000000LL + after.tv_usec + static_cast<long long>(usec));
  }
}

TEST(Timer, TimeOutAtAndAfterTheDeadline) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct timeval past = now;
  EXPECT_EQ(_time_out(&past), -1);  // reached exactly or passed
  struct timeval future = {now.tv_sec + 10, now.tv_usec};
  EXPECT_EQ(_time_out(&future), 0);
  struct timeval same_second_later = {now.tv_sec + 1, 0};
  EXPECT_EQ(_time_out(&same_second_later), 0);
}

TEST(Timer, DelaySleepsAtLeastTheGivenTime) {
  const __tod_t start = _time_get_tod();
  delay_us(1500);
  const __tod_t took = _time_get_tod() - start;
  EXPECT_GE(took, 1500u);
  EXPECT_LT(took, 500000u);
}

}  // namespace
