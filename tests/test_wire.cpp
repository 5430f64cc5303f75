// Frame records, their encoding and decoding, and the filter words.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "canfd_comm.h"
#include "wire.h"

namespace {

using namespace canfd::wire;

// Sets one field of a zeroed record and returns its first eight bytes.
template <class Record, class Set>
std::array<BYTE, 8> with_field(Set set) {
  Record r;
  std::memset(&r, 0, sizeof r);
  set(r);
  std::array<BYTE, 8> b;
  std::memcpy(b.data(), &r, b.size());
  return b;
}

// The header bit fields that the three records share, on this target.
template <class Record>
void expect_header_layout() {
  using B = std::array<BYTE, 8>;
  EXPECT_EQ(with_field<Record>([](Record &r) { r.id = 0x1FFFFFFF; }), (B{0xFF, 0xFF, 0xFF, 0x1F}));
  EXPECT_EQ(with_field<Record>([](Record &r) { r.id = 0x12345678 & 0x1FFFFFFF; }),
            (B{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(with_field<Record>([](Record &r) { r.rtr = 1; }), (B{0, 0, 0, 0x20}));
  EXPECT_EQ(with_field<Record>([](Record &r) { r.xtd = 1; }), (B{0, 0, 0, 0x40}));
  EXPECT_EQ(with_field<Record>([](Record &r) { r.esi = 1; }), (B{0, 0, 0, 0x80}));
  EXPECT_EQ(with_field<Record>([](Record &r) { r.dlc = 15; }), (B{0, 0, 0, 0, 0x0F}));
  EXPECT_EQ(with_field<Record>([](Record &r) { r.brs = 1; }), (B{0, 0, 0, 0, 0x10}));
  EXPECT_EQ(with_field<Record>([](Record &r) { r.fdf = 1; }), (B{0, 0, 0, 0, 0x20}));
  EXPECT_EQ(with_field<Record>([](Record &r) { r.size = 0x1234; }),
            (B{0, 0, 0, 0, 0, 0, 0x34, 0x12}));
  EXPECT_EQ(offsetof(Record, data), 8u);
}

TEST(RecordLayout, ReceiveRecord) {
  expect_header_layout<CANRxPacketStruct>();
  using B = std::array<BYTE, 8>;
  EXPECT_EQ(with_field<CANRxPacketStruct>([](CANRxPacketStruct &r) { r.eve = 3; }),
            (B{0, 0, 0, 0, 0xC0}));
  EXPECT_EQ(offsetof(CANRxPacketStruct, second), 72u);
  EXPECT_EQ(offsetof(CANRxPacketStruct, usecond), 76u);
  EXPECT_EQ(sizeof(CANRxPacketStruct), 80u);
}

TEST(RecordLayout, TransmitRecord) {
  expect_header_layout<CANTxPacketStruct>();
  EXPECT_EQ(sizeof(CANTxPacketStruct), 72u);
}

TEST(RecordLayout, HardwareSendRecord) {
  expect_header_layout<CANTxHWSendPacketStruct>();
  EXPECT_EQ(offsetof(CANTxHWSendPacketStruct, period), 72u);
  EXPECT_EQ(offsetof(CANTxHWSendPacketStruct, counter), 76u);
  EXPECT_EQ(sizeof(CANTxHWSendPacketStruct), 80u);
}

TEST(RecordLayout, FrameOfTheFrameInterface) {
  EXPECT_EQ(offsetof(CANFD_Frame_St, id), 0u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, flags), 4u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, len), 5u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, type), 6u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, reserved), 7u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, second), 8u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, usecond), 12u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, host_second), 16u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, host_usecond), 20u);
  EXPECT_EQ(offsetof(CANFD_Frame_St, data), 24u);
  EXPECT_EQ(sizeof(CANFD_Frame_St), 88u);
  EXPECT_EQ(alignof(CANFD_Frame_St), 4u);
}

TEST(RecordLayout, EncoderAgreesWithTheDeclaredBitFields) {
  BYTE data[64] = {1, 2, 3};
  CANTxPacketStruct rec;
  encode_tx_record({1, 0x1ABCDEF0, 1, 0, 3, data}, TxKind::Normal, reinterpret_cast<BYTE *>(&rec));
  EXPECT_EQ(rec.id, 0x1ABCDEF0u & kIdMask);
  EXPECT_EQ(rec.xtd, 1u);
  EXPECT_EQ(rec.rtr, 1u);
  EXPECT_EQ(rec.esi, 0u);
  EXPECT_EQ(rec.dlc, 3u);
  EXPECT_EQ(rec.fdf, 0u);
  EXPECT_EQ(rec.brs, 0u);
  EXPECT_EQ(rec.size, 3u);
  EXPECT_EQ(rec.data[2], 3);
}

struct Encoded {
  BYTE b[80];
  DWORD word() const { return get_le32(b); }
  WORD ctrl() const { return get_le16(b + 4); }
  WORD size() const { return get_le16(b + 6); }
};

Encoded encode(BYTE mode, DWORD id, BYTE rtr, BYTE fdf, BYTE dlen, TxKind kind,
               const BYTE *data = nullptr) {
  static BYTE ramp[64];
  for (int i = 0; i < 64; ++i) ramp[i] = static_cast<BYTE>(0xA0 + i);
  Encoded e;
  std::memset(e.b, 0xEE, sizeof e.b);
  encode_tx_record({mode, id, rtr, fdf, dlen, data ? data : ramp}, kind, e.b);
  return e;
}

TEST(FrameEncoding, DlcIsClampedPerFrameType) {
  auto classic = encode(0, 0x10, 0, 0, 12, TxKind::Normal);
  EXPECT_EQ(classic.ctrl() & 0xF, 8);
  EXPECT_EQ(classic.size(), 8);
  auto fd12 = encode(0, 0x10, 0, 1, 12, TxKind::Normal);
  EXPECT_EQ(fd12.ctrl() & 0xF, 12);
  EXPECT_EQ(fd12.size(), 24);
  auto fd20 = encode(0, 0x10, 0, 1, 20, TxKind::Normal);
  EXPECT_EQ(fd20.ctrl() & 0xF, 15);
  EXPECT_EQ(fd20.size(), 64);
  for (BYTE dlc = 0; dlc <= 15; ++dlc)
    EXPECT_EQ(encode(0, 1, 0, 1, dlc, TxKind::Normal).size(), kDlcToBytes[dlc]);
}

TEST(FrameEncoding, IdentifierPlacementAndMasking) {
  auto std_frame = encode(0, 0x923, 0, 0, 0, TxKind::Normal);
  EXPECT_EQ(std_frame.word(), 0x123u << 18);
  auto ext_frame = encode(1, 0xFFFFFFFF, 0, 0, 0, TxKind::Normal);
  EXPECT_EQ(ext_frame.word() & kIdMask, 0x1FFFFFFFu);
  EXPECT_EQ(ext_frame.word() & kXtdBit, kXtdBit);
  EXPECT_EQ(ext_frame.word() & (kRtrBit | kEsiBit), 0u);
}

TEST(FrameEncoding, NormalAndHardwareSendDifferForCanFd) {
  auto normal = encode(0, 1, 1, 1, 5, TxKind::Normal);
  EXPECT_EQ(normal.word() & kRtrBit, 0u);  // a CAN FD frame is never remote
  EXPECT_EQ(normal.ctrl(), 0x35);          // fdf, brs, dlc 5
  auto hw = encode(0, 1, 1, 1, 5, TxKind::HardwareSend);
  EXPECT_EQ(hw.word() & kRtrBit, kRtrBit);
  EXPECT_EQ(hw.ctrl(), 0x35);
  auto normal0 = encode(0, 1, 0, 1, 0, TxKind::Normal);
  EXPECT_EQ(normal0.ctrl(), 0x20);  // dlc 0: no bit rate switch
  auto hw0 = encode(0, 1, 0, 1, 0, TxKind::HardwareSend);
  EXPECT_EQ(hw0.ctrl(), 0x30);
  auto classic_rtr = encode(0, 1, 7, 0, 2, TxKind::Normal);
  EXPECT_EQ(classic_rtr.word() & kRtrBit, kRtrBit);
  EXPECT_EQ(classic_rtr.ctrl(), 0x02);
}

TEST(FrameEncoding, DataBeyondTheByteCountIsZeroAndTheTailIsUntouched) {
  auto e = encode(0, 1, 0, 0, 3, TxKind::Normal);
  EXPECT_EQ(e.b[8], 0xA0);
  EXPECT_EQ(e.b[10], 0xA2);
  for (int i = 11; i < 72; ++i) EXPECT_EQ(e.b[i], 0) << i;
  EXPECT_EQ(e.b[72], 0xEE);  // period and counter are the caller's
  auto r = encode(0, 1, 1, 0, 4, TxKind::Normal);
  EXPECT_EQ(r.b[11], 0xA3);  // remote frames carry their data bytes too
}

BYTE *rx_record(BYTE *rec, DWORD word, WORD ctrl, WORD size, DWORD s = 0, DWORD us = 0) {
  std::memset(rec, 0, 80);
  put_le32(rec, word);
  put_le16(rec + 4, ctrl);
  put_le16(rec + 6, size);
  put_le32(rec + 72, s);
  put_le32(rec + 76, us);
  return rec;
}

CANFD_Frame_St frame(DWORD id, BYTE flags, BYTE len, BYTE fill = 0xA5) {
  CANFD_Frame_St f{};
  f.id = id;
  f.flags = flags;
  f.len = len;
  std::memset(f.data, fill, len < sizeof f.data ? len : sizeof f.data);
  return f;
}

TEST(FrameInterface, ValidFramesAndTheirLimits) {
  EXPECT_TRUE(frame_valid(frame(0x7FF, 0, 8)));
  EXPECT_FALSE(frame_valid(frame(0x800, 0, 0)));  // beyond 11 bits
  EXPECT_TRUE(frame_valid(frame(0x1FFFFFFF, CANFD_FRAME_EXT, 0)));
  EXPECT_FALSE(frame_valid(frame(0x20000000, CANFD_FRAME_EXT, 0)));
  EXPECT_FALSE(frame_valid(frame(1, 0, 9)));  // classic: 8 bytes at most
  EXPECT_TRUE(frame_valid(frame(1, CANFD_FRAME_FD | CANFD_FRAME_BRS | CANFD_FRAME_ESI, 64)));
  EXPECT_FALSE(frame_valid(frame(1, CANFD_FRAME_FD, 65)));
  EXPECT_FALSE(frame_valid(frame(1, CANFD_FRAME_FD | CANFD_FRAME_RTR, 0)));
  EXPECT_FALSE(frame_valid(frame(1, CANFD_FRAME_BRS, 0)));  // no bit rate switch without FD
  EXPECT_FALSE(frame_valid(frame(1, CANFD_FRAME_ESI, 0)));
  EXPECT_FALSE(frame_valid(frame(1, 0x20, 0)));  // unknown flag
  EXPECT_TRUE(frame_valid(frame(1, CANFD_FRAME_RTR, 8)));
}

TEST(FrameInterface, EncodingKeepsEveryFlagAndPadsTheLength) {
  BYTE rec[kRxRecordSize] = {};
  // CAN FD without the bit rate switch goes out without it.
  encode_frame(frame(0x123, CANFD_FRAME_FD, 13), rec);
  EXPECT_EQ(get_le32(rec), 0x123u << kStdIdShift);
  EXPECT_EQ(get_le16(rec + kRecCtrl), 0x20 | 10);  // fdf, DLC 10 = 16 bytes
  EXPECT_EQ(get_le16(rec + kRecSize), 16);
  EXPECT_EQ(rec[kRecData + 12], 0xA5);
  EXPECT_EQ(rec[kRecData + 13], 0);  // padding is zero
  encode_frame(
      frame(0x1ABCDE, CANFD_FRAME_FD | CANFD_FRAME_BRS | CANFD_FRAME_ESI | CANFD_FRAME_EXT, 64),
      rec);
  EXPECT_EQ(get_le32(rec), 0x1ABCDEu | kXtdBit | kEsiBit);
  EXPECT_EQ(get_le16(rec + kRecCtrl), 0x30 | 15);
  // A remote frame: its length is its DLC, without data.
  encode_frame(frame(0x10, CANFD_FRAME_RTR, 4), rec);
  EXPECT_EQ(get_le32(rec), (0x10u << kStdIdShift) | kRtrBit);
  EXPECT_EQ(get_le16(rec + kRecCtrl), 4);
  EXPECT_EQ(rec[kRecData], 0);
}

TEST(FrameInterface, DecodingRoundTripsWhatWasEncoded) {
  const CANFD_Frame_St sent[] = {
      frame(0x7FF, 0, 8, 0x11),
      frame(0x1FFFFFFF, CANFD_FRAME_EXT | CANFD_FRAME_FD | CANFD_FRAME_BRS, 48, 0x22),
      frame(0x42, CANFD_FRAME_FD | CANFD_FRAME_ESI, 0),
      frame(0x3, CANFD_FRAME_RTR | CANFD_FRAME_EXT, 6),
  };
  for (const CANFD_Frame_St &f : sent) {
    BYTE rec[kRxRecordSize] = {};
    encode_frame(f, rec);
    put_le32(rec + kRecSecond, 12);
    put_le32(rec + kRecUsecond, 345678);
    put_le16(rec + kRecCtrl, static_cast<WORD>(get_le16(rec + kRecCtrl) | 2 << kEveShift));
    CANFD_Frame_St got;
    std::memset(&got, 0xEE, sizeof got);
    decode_frame(rec, got);
    EXPECT_EQ(got.id, f.id);
    EXPECT_EQ(got.flags, f.flags);
    EXPECT_EQ(got.len, f.len);
    EXPECT_EQ(got.type, 2);
    EXPECT_EQ(got.second, 12u);
    EXPECT_EQ(got.usecond, 345678u);
    const BYTE copied = (f.flags & CANFD_FRAME_RTR) ? 0 : f.len;
    EXPECT_EQ(0, std::memcmp(got.data, f.data, copied));
    for (int i = copied; i < 64; ++i) ASSERT_EQ(got.data[i], 0) << i;
  }
}

TEST(FrameDecoding, StandardAndExtendedIdentifiers) {
  BYTE rec[80];
  auto f = decode_rx_record(rx_record(rec, 0x123u << 18, 0, 0));
  EXPECT_EQ(f.id, 0x123u);
  EXPECT_EQ(f.mode, 0);
  f = decode_rx_record(rx_record(rec, (0x123u << 18) | 0x3FFFF, 0, 0));
  EXPECT_EQ(f.id, 0x123u);  // bits 0-17 of a standard frame are ignored
  f = decode_rx_record(rx_record(rec, (0x123u << 18) | kXtdBit, 0, 0));
  EXPECT_EQ(f.id, 0x123u << 18);
  EXPECT_EQ(f.mode, 1);
}

TEST(FrameDecoding, FlagsTypeDlcAndTimeStamp) {
  BYTE rec[80];
  auto f = decode_rx_record(rx_record(rec, kRtrBit | kEsiBit, 0xFFFF, 64, 7, 9));
  EXPECT_EQ(f.rtr, 1);
  EXPECT_EQ(f.fdf, 1);
  EXPECT_EQ(f.dlc, 15);  // the code, not the byte count
  EXPECT_EQ(f.type, 3);
  EXPECT_EQ(f.size, 64);
  EXPECT_EQ(f.second, 7u);
  EXPECT_EQ(f.usecond, 9u);
  // esi, brs and reserved bits change nothing else.
  auto g = decode_rx_record(rx_record(rec, kRtrBit, 0x002F | 0x00C0, 64, 7, 9));
  EXPECT_EQ(g.rtr, f.rtr);
  EXPECT_EQ(g.fdf, f.fdf);
  EXPECT_EQ(g.dlc, f.dlc);
  EXPECT_EQ(g.id, f.id);
  EXPECT_EQ(g.type, f.type);
}

TEST(FrameDecoding, OversizedSizeIsCutTo64) {
  BYTE rec[80];
  EXPECT_EQ(decode_rx_record(rx_record(rec, 0, 8, 65)).size, 64);
  EXPECT_EQ(decode_rx_record(rx_record(rec, 0, 8, 0xFFFF)).size, 64);
  EXPECT_EQ(decode_rx_record(rx_record(rec, 0, 8, 3)).size, 3);
}

TEST(DlcTable, MatchesCanFdAndInvertsForByteCounts) {
  EXPECT_EQ(0, std::memcmp(CANFD_DLC2DBN, kDlcToBytes, 16));
  EXPECT_EQ(bytes_to_dlc(0), 0);
  EXPECT_EQ(bytes_to_dlc(8), 8);
  EXPECT_EQ(bytes_to_dlc(9), 9);
  EXPECT_EQ(bytes_to_dlc(12), 9);
  EXPECT_EQ(bytes_to_dlc(13), 10);
  EXPECT_EQ(bytes_to_dlc(64), 15);
}

TEST(FilterWords, StandardElementPacksBothIdentifiersAndTheConfiguration) {
  EXPECT_EQ(pack_std_element(0x123, 0x456), 0x09230456u);
  EXPECT_EQ(pack_std_element(0x7FF, 0), 0x0FFF0000u);
  EXPECT_EQ(pack_std_element(0, 0), 0x08000000u);
  EXPECT_EQ(pack_std_element(0x923, 0xFFFF), pack_std_element(0x123, 0x7FF));
  EXPECT_EQ(std_element_id1(0xF9230456u), 0x123);
  EXPECT_EQ(std_element_id2(0xF923FC56u), 0x456);
}

TEST(FilterWords, ExtendedElementIsTwoWords) {
  BYTE e[8];
  pack_ext_element(0x100, 0x1FF, e);
  const BYTE expect[8] = {0x00, 0x01, 0x00, 0x20, 0xFF, 0x01, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(e, expect, 8));
  pack_ext_element(0xFFFFFFFF, 0xE0000001, e);
  EXPECT_EQ(get_le32(e), 0x3FFFFFFFu);
  EXPECT_EQ(get_le32(e + 4), 0x00000001u);
  EXPECT_EQ(ext_element_id1(e), 0x1FFFFFFFu);
  EXPECT_EQ(ext_element_id2(e), 1u);
}

TEST(FilterWords, GlobalFilterFlagsAreSwappedAgainstTheArguments) {
  EXPECT_EQ(pack_gfc(5, 0), 0x2u);
  EXPECT_EQ(pack_gfc(0, 1), 0x1u);
  EXPECT_EQ(pack_gfc(1, 1), 0x3u);
  EXPECT_EQ(gfc_reject_rfe(0xFFFFFFFD), 1);
  EXPECT_EQ(gfc_reject_rfs(0xFFFFFFFD), 0);
}

TEST(LittleEndian, RoundTrips) {
  BYTE b[4];
  put_le32(b, 0x01020304);
  EXPECT_EQ(b[0], 4);
  EXPECT_EQ(b[3], 1);
  EXPECT_EQ(get_le32(b), 0x01020304u);
  put_le16(b, 0xBEEF);
  EXPECT_EQ(b[0], 0xEF);
  EXPECT_EQ(get_le16(b), 0xBEEF);
}

}  // namespace
