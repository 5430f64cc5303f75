// The library's wire definitions (src/wire.h) against the simulated
// adapter's own (sim/protocol.h): every code, offset, size, bit and mask,
// what one side encodes decoded by the other, and the command payloads the
// library builds and reads, taken apart and put together with the adapter's
// offsets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "model.h"
#include "protocol.h"
#include "rig.h"
#include "wire.h"

namespace {

namespace w = canfd::wire;
namespace pr = canfd_sim::protocol;
namespace pfc = canfd_sim::protocol::fc;
namespace pl = canfd_sim::protocol::payload;

// Identifiers at and beyond the edges of both widths.
const DWORD kIds[] = {0,       1,          0x123,      0x7FF,      0x800,     0x923,
                      0x3FFFF, 0x1ABCDEF0, 0x1FFFFFFF, 0x20000000, 0xFFFFFFFF};
// Eleven-bit filter identifiers, and wider values the library masks.
const WORD kStdIds[] = {0, 1, 0x123, 0x456, 0x7FE, 0x7FF, 0x800, 0x923, 0xFFFF};

// A mismatch, with what was being compared; empty when there is none.
template <class A, class B>
std::string differ(const char *what, const A &a, const B &b) {
  if (static_cast<uint64_t>(a) == static_cast<uint64_t>(b)) return {};
  return std::string(what) + ": " + std::to_string(static_cast<uint64_t>(a)) +
         " != " + std::to_string(static_cast<uint64_t>(b));
}

// ---- Codes, offsets, sizes, bits --------------------------------------------

TEST(WireConstants, ReportsHeaderAndOpcodes) {
  EXPECT_EQ(pr::kPacketMax, size_t{CANFD_PACKET_MAX});
  EXPECT_EQ(pr::kHostReportSize, size_t{CANFD_REPORT_SIZE});
  EXPECT_EQ(pr::kHeaderSize, size_t{CANFD_HEADER_SIZE});
  EXPECT_EQ(pr::kPayloadMax, size_t{w::kPayloadMax});
  EXPECT_EQ(pr::kHdrOpcode, size_t{w::kHdrOpcode});
  EXPECT_EQ(pr::kHdrFc, size_t{w::kHdrFc});
  EXPECT_EQ(pr::kHdrLen, size_t{w::kHdrLen});
  EXPECT_EQ(pr::kOpRead, CANFD_OP_READ);
  EXPECT_EQ(pr::kOpWrite, CANFD_OP_WRITE);
  EXPECT_EQ(pr::kOpLarge, CANFD_OP_LARGE);
  EXPECT_EQ(pr::kOpDone, CANFD_OP_DONE);
  EXPECT_EQ(pr::kOpFail, CANFD_OP_FAIL);
}

TEST(WireConstants, HeadersAndLittleEndianFieldsCrossBothWays) {
  const WORD codes[] = {0x0000, 0x0001, 0x00E1, 0x010B, 0x0210, 0xFFFF};
  const WORD lens[] = {0, 1, 72, 0x1FA, 0xFFFF};
  for (BYTE op : {CANFD_OP_READ, CANFD_OP_WRITE, CANFD_OP_LARGE, CANFD_OP_DONE, CANFD_OP_FAIL}) {
    for (WORD code : codes) {
      for (WORD len : lens) {
        BYTE pkt[8];
        std::memset(pkt, 0xEE, sizeof pkt);
        w::put_header(pkt, op, code, len);
        const pr::Header h = pr::get_header(pkt);
        ASSERT_EQ(h.opcode, op);
        ASSERT_EQ(h.fc, code);
        ASSERT_EQ(h.len, len);
        ASSERT_EQ(pkt[pr::kHdrReserved], 0);
        ASSERT_EQ(pkt[6], 0xEE);  // the header is six bytes
        std::memset(pkt, 0xEE, sizeof pkt);
        pr::put_header(pkt, op, code, len);
        ASSERT_EQ(pkt[w::kHdrOpcode], op);
        ASSERT_EQ(pkt[w::kHdrOpcode + 1], 0);
        ASSERT_EQ(w::get_le16(pkt + w::kHdrFc), code);
        ASSERT_EQ(w::get_le16(pkt + w::kHdrLen), len);
      }
    }
  }
  // The exported builders put the adapter's opcodes.
  for (WORD code : codes) {
    BYTE pkt[CANFD_HEADER_SIZE];
    ASSERT_EQ(PackReadPacket(code, 0, nullptr, pkt), CANFD_HEADER_SIZE);
    EXPECT_EQ(pr::get_header(pkt).opcode, pr::kOpRead);
    EXPECT_EQ(pr::get_header(pkt).fc, code);
    ASSERT_EQ(PackWritePacket(code, 0, nullptr, pkt), CANFD_HEADER_SIZE);
    EXPECT_EQ(pr::get_header(pkt).opcode, pr::kOpWrite);
    ASSERT_EQ(PackLargeDataPacket(code, 0, nullptr, pkt), CANFD_HEADER_SIZE);
    EXPECT_EQ(pr::get_header(pkt).opcode, pr::kOpLarge);
  }
  for (DWORD v : {0u, 1u, 0x80u, 0x1234u, 0x01020304u, 0x80000001u, 0xFFFFFFFFu}) {
    BYTE b[4];
    w::put_le32(b, v);
    EXPECT_EQ(pr::get_u32(b), v);
    pr::put_u32(b, v);
    EXPECT_EQ(w::get_le32(b), v);
    w::put_le16(b, static_cast<WORD>(v));
    EXPECT_EQ(pr::get_u16(b), static_cast<uint16_t>(v));
    pr::put_u16(b, static_cast<uint16_t>(v >> 16));
    EXPECT_EQ(w::get_le16(b), static_cast<WORD>(v >> 16));
  }
}

TEST(WireConstants, FunctionCodes) {
  const struct {
    const char *name;
    unsigned library, adapter;
  } same[] = {
      {"firmware version", w::fc::kFwVersion, pfc::kFwVersion},
      {"INIT pin", w::fc::kInitPin, pfc::kInitPin},
      {"serial number", w::fc::kSerialNumber, pfc::kSerialNumber},
      {"LED mode", w::fc::kLedMode, pfc::kLedMode},
      {"LED state", w::fc::kLedState, pfc::kLedState},
      {"frames to port 1", w::fc::kFramesToPort1, pfc::kFramesToPort1},
      {"frames from port 1", w::fc::kFramesFromPort1, pfc::kFramesFromPort1},
      {"module reset", w::fc::kModuleReset, pfc::kModuleReset},
      {"watchdog reset", w::fc::kWatchdogReset, pfc::kWatchdogReset},
      {"read operating mode", w::fc::kReadOpMode, pfc::kReadOpMode},
      {"read status", w::fc::kReadStatus, pfc::kReadStatus},
      {"read bit rates", w::fc::kReadBitRates, pfc::kReadBitRates},
      {"read global filter", w::fc::kReadGlobalFilter, pfc::kReadGlobalFilter},
      {"read standard filters 0-63", w::fc::kReadStdFilters, pfc::kReadStdFiltersLow},
      {"read standard filters 64-127", w::fc::kReadStdFilters + 1, pfc::kReadStdFiltersHigh},
      {"read extended filters 0-31", w::fc::kReadExtFilters, pfc::kReadExtFiltersLow},
      {"read extended filters 32-63", w::fc::kReadExtFilters + 1, pfc::kReadExtFiltersHigh},
      {"read frames per second", w::fc::kReadRxFps, pfc::kReadRxFps},
      {"read hardware-send mode", w::fc::kReadHwSendMode, pfc::kReadHwSendMode},
      {"re-initialise", w::fc::kWriteReinit, pfc::kWriteReinit},
      {"write operating mode", w::fc::kWriteOpMode, pfc::kWriteOpMode},
      {"write bit rates", w::fc::kWriteBitRates, pfc::kWriteBitRates},
      {"write global filter", w::fc::kWriteGlobalFilter, pfc::kWriteGlobalFilter},
      {"write standard list size", w::fc::kWriteStdListSize, pfc::kWriteStdListSize},
      {"write extended list size", w::fc::kWriteExtListSize, pfc::kWriteExtListSize},
      {"write standard filters 0-63", w::fc::kWriteStdFilters, pfc::kWriteStdFiltersLow},
      {"write standard filters 64-127", w::fc::kWriteStdFilters + 1, pfc::kWriteStdFiltersHigh},
      {"write extended filters 0-31", w::fc::kWriteExtFilters, pfc::kWriteExtFiltersLow},
      {"write extended filters 32-63", w::fc::kWriteExtFilters + 1, pfc::kWriteExtFiltersHigh},
      {"write hardware-send mode", w::fc::kWriteHwSendMode, pfc::kWriteHwSendMode},
      {"write hardware-send frame", w::fc::kWriteHwSendRecord, pfc::kWriteHwSendRecord},
  };
  for (const auto &c : same) EXPECT_EQ(c.library, c.adapter) << c.name;
  for (BYTE port = 1; port <= 2; ++port) {
    EXPECT_EQ(w::fc::frames_to(port), pfc::frames_to(port)) << int{port};
    EXPECT_EQ(w::fc::frames_from(port), pfc::frames_from(port)) << int{port};
    for (unsigned cmd = 0; cmd <= 0xFF; ++cmd)
      ASSERT_EQ(w::fc::port(port, static_cast<BYTE>(cmd)),
                pfc::port_command(port, static_cast<uint8_t>(cmd)));
  }
  for (unsigned code = 0; code <= 0xFFFF; ++code) {
    ASSERT_EQ(w::fc::port_of(static_cast<WORD>(code)), pfc::port_of(static_cast<uint16_t>(code)));
    ASSERT_EQ(w::fc::command_of(static_cast<WORD>(code)),
              pfc::command_of(static_cast<uint16_t>(code)));
  }
}

TEST(WireConstants, PayloadSizesAndFilterLists) {
  EXPECT_EQ(pl::kOpModeSize, size_t{w::kOpModeSize});
  EXPECT_EQ(pl::kBitRatesSize, size_t{w::kBitRatesSize});
  EXPECT_EQ(pl::kFilterHalfSize, size_t{w::kFilterHalfBytes});
  EXPECT_EQ(pr::kStdFilterElements, size_t{w::kStdFilterElements});
  EXPECT_EQ(pr::kExtFilterElements, size_t{w::kExtFilterElements});
  EXPECT_EQ(pr::kStdElementsPerHalf, size_t{w::kStdElementsPerHalf});
  EXPECT_EQ(pr::kExtElementsPerHalf, size_t{w::kExtElementsPerHalf});
  EXPECT_EQ(w::kStdFilterSpec, pr::kStdElementStoreFifo0);
  EXPECT_EQ(w::kExtFilterEfec, pr::kExtElementStoreFifo0);
  EXPECT_EQ(w::kStatusErrorPassive, pr::kStatusErrorPassive);
  EXPECT_EQ(w::kStatusErrorWarning, pr::kStatusErrorWarning);
  EXPECT_EQ(w::kStatusBusOff, pr::kStatusBusOff);
}

TEST(WireConstants, RecordLayout) {
  EXPECT_EQ(pr::kRecIdWord, size_t{w::kRecIdWord});
  EXPECT_EQ(pr::kRecCtrl, size_t{w::kRecCtrl});
  EXPECT_EQ(pr::kRecSize, size_t{w::kRecSize});
  EXPECT_EQ(pr::kRecData, size_t{w::kRecData});
  EXPECT_EQ(pr::kRecSecond, size_t{w::kRecSecond});
  EXPECT_EQ(pr::kRecUsecond, size_t{w::kRecUsecond});
  EXPECT_EQ(pr::kRecPeriod, size_t{w::kRecSecond});
  EXPECT_EQ(pr::kRecCounter, size_t{w::kRecUsecond});
  EXPECT_EQ(pr::kMaxData, size_t{w::kMaxData});
  EXPECT_EQ(pr::kTxRecordSize, size_t{w::kTxRecordSize});
  EXPECT_EQ(pr::kRxRecordSize, size_t{w::kRxRecordSize});
  EXPECT_EQ(pr::kHwRecordSize, size_t{w::kHwRecordSize});
  EXPECT_EQ(pr::kTxRecordsPerPacket, size_t{w::kTxRecordsPerPacket});
  EXPECT_EQ(pr::kRxRecordsPerPacket, size_t{w::kRxRecordsPerPacket});
  EXPECT_EQ(pr::kIdMask, w::kIdMask);
  EXPECT_EQ(pr::kStdIdMask, w::kStdIdMask);
  EXPECT_EQ(pr::kStdIdShift, w::kStdIdShift);
  EXPECT_EQ(pr::kRtrBit, w::kRtrBit);
  EXPECT_EQ(pr::kXtdBit, w::kXtdBit);
  EXPECT_EQ(pr::kEsiBit, w::kEsiBit);
  EXPECT_EQ(pr::kBrsBit, w::kBrsBit);
  EXPECT_EQ(pr::kFdfBit, w::kFdfBit);
  EXPECT_EQ(pr::kEveShift, w::kEveShift);
  for (int dlc = 0; dlc < 16; ++dlc) {
    EXPECT_EQ(pr::kDlcBytes[dlc], w::kDlcToBytes[dlc]) << dlc;
    EXPECT_EQ(pr::kDlcBytes[dlc], CANFD_DLC2DBN[dlc]) << dlc;
  }
  // The smallest code that holds n bytes, by the adapter's table.
  for (unsigned n = 0; n <= pr::kMaxData; ++n) {
    const BYTE dlc = w::bytes_to_dlc(n);
    EXPECT_GE(pr::kDlcBytes[dlc], n) << n;
    if (dlc > 0) {
      EXPECT_LT(pr::kDlcBytes[dlc - 1], n) << n;
    }
  }
  // The public records' sizes and plain members at the adapter's offsets.
  EXPECT_EQ(sizeof(CANRxPacketStruct), pr::kRxRecordSize);
  EXPECT_EQ(sizeof(CANTxPacketStruct), pr::kTxRecordSize);
  EXPECT_EQ(sizeof(CANTxHWSendPacketStruct), pr::kHwRecordSize);
  EXPECT_EQ(offsetof(CANRxPacketStruct, size), pr::kRecSize);
  EXPECT_EQ(offsetof(CANRxPacketStruct, data), pr::kRecData);
  EXPECT_EQ(offsetof(CANRxPacketStruct, second), pr::kRecSecond);
  EXPECT_EQ(offsetof(CANRxPacketStruct, usecond), pr::kRecUsecond);
  EXPECT_EQ(offsetof(CANTxHWSendPacketStruct, period), pr::kRecPeriod);
  EXPECT_EQ(offsetof(CANTxHWSendPacketStruct, counter), pr::kRecCounter);
}

TEST(WireConstants, DeclaredBitFieldsAreWhereTheAdapterReadsThem) {
  for (DWORD id : {0x1u, 0x123u << 18, 0x1FFFFFFFu}) {
    CANRxPacketStruct r;
    std::memset(&r, 0, sizeof r);
    r.id = id & pr::kIdMask;
    r.xtd = 1;
    r.rtr = 1;
    r.esi = 1;
    r.dlc = 13;
    r.brs = 1;
    r.fdf = 1;
    r.eve = 2;
    r.size = 0x1234;
    const pr::RecordHead h = pr::get_record_head(reinterpret_cast<const uint8_t *>(&r));
    EXPECT_EQ(h.id, id & pr::kIdMask);
    EXPECT_TRUE(h.ext && h.rtr && h.esi && h.brs && h.fd);
    EXPECT_EQ(h.dlc, 13);
    EXPECT_EQ(h.eve, 2);
    EXPECT_EQ(h.size, 0x1234);
    r.xtd = 0;
    r.rtr = r.esi = r.brs = r.fdf = r.eve = 0;
    const pr::RecordHead s = pr::get_record_head(reinterpret_cast<const uint8_t *>(&r));
    EXPECT_EQ(s.id, (id >> 18) & pr::kStdIdMask);
    EXPECT_FALSE(s.ext || s.rtr || s.esi || s.brs || s.fd || s.eve);
  }
}

// ---- Filter, global filter and status words --------------------------------

TEST(WireWords, FilterElementsTheLibraryPacksTheAdapterReads) {
  for (WORD id1 : kStdIds) {
    for (WORD id2 : kStdIds) {
      const DWORD e = w::pack_std_element(id1, id2);
      ASSERT_EQ(pr::std_element_id1(e), id1 & pr::kStdIdMask);
      ASSERT_EQ(pr::std_element_id2(e), id2 & pr::kStdIdMask);
      // Nothing but the configuration beside the two identifiers.
      ASSERT_EQ(e, pr::kStdElementStoreFifo0 |
                       static_cast<uint32_t>(id1 & pr::kStdIdMask) << pr::kStdId1Shift |
                       (id2 & pr::kStdIdMask));
    }
  }
  for (DWORD id1 : kIds) {
    for (DWORD id2 : kIds) {
      BYTE e[pr::kExtElementSize];
      w::pack_ext_element(id1, id2, e);
      ASSERT_EQ(pr::get_u32(e), (id1 & pr::kIdMask) | pr::kExtElementStoreFifo0);
      ASSERT_EQ(pr::get_u32(e + 4), id2 & pr::kIdMask);
      ASSERT_EQ(pr::ext_element_id(pr::get_u32(e)), id1 & pr::kIdMask);
      ASSERT_EQ(pr::ext_element_id(pr::get_u32(e + 4)), id2 & pr::kIdMask);
    }
  }
  // Both sides read the identifiers alone from any word.
  for (DWORD word : {0u, 0xFFFFFFFFu, 0xF9230456u, 0x0800F800u, 0x07FF07FFu, 0x5A5AA5A5u}) {
    EXPECT_EQ(w::std_element_id1(word), pr::std_element_id1(word)) << std::hex << word;
    EXPECT_EQ(w::std_element_id2(word), pr::std_element_id2(word)) << std::hex << word;
    BYTE e[pr::kExtElementSize];
    pr::put_u32(e, word);
    pr::put_u32(e + 4, ~word);
    EXPECT_EQ(w::ext_element_id1(e), pr::ext_element_id(word)) << std::hex << word;
    EXPECT_EQ(w::ext_element_id2(e), pr::ext_element_id(~word)) << std::hex << word;
  }
}

TEST(WireWords, GlobalFilterFlags) {
  for (BYTE rfs : {0, 1, 2, 5, 255}) {
    for (BYTE rfe : {0, 1, 2, 5, 255}) {
      const DWORD gfc = w::pack_gfc(rfs, rfe);
      EXPECT_EQ((gfc & pr::kGfcRejectRemoteStd) != 0, rfs != 0);
      EXPECT_EQ((gfc & pr::kGfcRejectRemoteExt) != 0, rfe != 0);
      EXPECT_EQ(gfc & ~(pr::kGfcRejectRemoteStd | pr::kGfcRejectRemoteExt), 0u);
    }
  }
  for (DWORD gfc : {0u, 1u, 2u, 3u, 0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    EXPECT_EQ(w::gfc_reject_rfs(gfc), (gfc & pr::kGfcRejectRemoteStd) ? 1 : 0) << gfc;
    EXPECT_EQ(w::gfc_reject_rfe(gfc), (gfc & pr::kGfcRejectRemoteExt) ? 1 : 0) << gfc;
  }
}

TEST(WireWords, StatusAndErrorCounterWords) {
  // Last error code and activity bits (0-4) beside the state bits.
  for (DWORD low : {0x00u, 0x07u, 0x1Fu}) {
    EXPECT_EQ(w::bus_state(low), CANFD_BUS_ERROR_ACTIVE);
    EXPECT_EQ(w::bus_state(low | pr::kStatusErrorWarning), CANFD_BUS_ERROR_WARNING);
    EXPECT_EQ(w::bus_state(low | pr::kStatusErrorWarning | pr::kStatusErrorPassive),
              CANFD_BUS_ERROR_PASSIVE);
    EXPECT_EQ(w::bus_state(low | pr::kStatusErrorPassive), CANFD_BUS_ERROR_PASSIVE);
    EXPECT_EQ(
        w::bus_state(low | pr::kStatusBusOff | pr::kStatusErrorPassive | pr::kStatusErrorWarning),
        CANFD_BUS_OFF);
  }
  for (unsigned tec : {0u, 1u, 95u, 96u, 128u, 255u}) {
    for (unsigned rec : {0u, 1u, 96u, 127u}) {
      for (uint32_t passive : {0u, pr::kRxErrorPassiveBit}) {
        const DWORD word = (tec & pr::kTxErrorsMask) |
                           (rec & pr::kRxErrorsMask) << pr::kRxErrorsShift | passive | 0xABCD0000u;
        EXPECT_EQ(w::tx_errors(word), tec);
        EXPECT_EQ(w::rx_errors(word), rec);
      }
    }
  }
}

// ---- Frame records ------------------------------------------------------------

// The first 72 bytes of a record: the head as the adapter would write it
// from what it read, then the data bytes that count and zeros.
std::string canonical(const BYTE *rec, const BYTE *data, size_t copy) {
  uint8_t expect[pr::kTxRecordSize] = {};
  pr::put_record_head(expect, pr::get_record_head(rec));
  std::memcpy(expect + pr::kRecData, data, copy);
  for (size_t i = 0; i < pr::kTxRecordSize; ++i)
    if (rec[i] != expect[i]) return "byte " + std::to_string(i) + differ("", rec[i], expect[i]);
  return {};
}

TEST(FrameRecords, LibrarySendingEncodingAsTheAdapterDecodesIt) {
  BYTE ramp[pr::kMaxData];
  for (size_t i = 0; i < sizeof ramp; ++i) ramp[i] = static_cast<BYTE>(0xA0 + i);
  for (w::TxKind kind : {w::TxKind::Normal, w::TxKind::HardwareSend}) {
    for (BYTE mode : {0, 1, 7}) {
      for (DWORD id : kIds) {
        for (BYTE rtr : {0, 1, 9}) {
          for (BYTE fdf : {0, 1, 4}) {
            for (unsigned dlen = 0; dlen <= 20; ++dlen) {
              BYTE rec[pr::kHwRecordSize];
              std::memset(rec, 0xEE, sizeof rec);
              w::encode_tx_record({mode, id, rtr, fdf, static_cast<BYTE>(dlen), ramp}, kind, rec);
              const pr::RecordHead h = pr::get_record_head(rec);
              const bool ext = mode != 0, fd = fdf != 0;
              const unsigned dlc = std::min(dlen, fd ? 15u : 8u);
              const bool hw = kind == w::TxKind::HardwareSend;
              std::string bad;
              for (std::string d :
                   {differ("ext", h.ext, ext),
                    differ("id", h.id, id & (ext ? pr::kIdMask : pr::kStdIdMask)),
                    differ("fd", h.fd, fd), differ("dlc", h.dlc, dlc),
                    differ("rtr", h.rtr, rtr != 0 && (hw || !fd)),
                    differ("brs", h.brs, fd && (hw || dlc != 0)), differ("esi", h.esi, false),
                    differ("eve", h.eve, 0), differ("size", h.size, pr::kDlcBytes[dlc]),
                    canonical(rec, ramp, pr::kDlcBytes[dlc])})
                if (bad.empty()) bad = d;
              ASSERT_EQ(bad, "") << "kind " << hw << " mode " << int{mode} << " id " << id
                                 << " rtr " << int{rtr} << " fdf " << int{fdf} << " dlen " << dlen;
            }
          }
        }
      }
    }
  }
}

TEST(FrameRecords, LibraryFrameInterfaceEncodingAsTheAdapterDecodesIt) {
  constexpr BYTE kFlags[] = {0,
                             CANFD_FRAME_EXT,
                             CANFD_FRAME_RTR,
                             CANFD_FRAME_RTR | CANFD_FRAME_EXT,
                             CANFD_FRAME_FD,
                             CANFD_FRAME_FD | CANFD_FRAME_BRS,
                             CANFD_FRAME_FD | CANFD_FRAME_ESI,
                             CANFD_FRAME_FD | CANFD_FRAME_BRS | CANFD_FRAME_ESI | CANFD_FRAME_EXT};
  for (BYTE flags : kFlags) {
    const bool ext = flags & CANFD_FRAME_EXT, fd = flags & CANFD_FRAME_FD;
    const bool rtr = flags & CANFD_FRAME_RTR;
    for (DWORD id : kIds) {
      for (unsigned len = 0; len <= pr::kMaxData + 1; ++len) {
        CANFD_Frame_St f{};
        f.id = id;
        f.flags = flags;
        f.len = static_cast<BYTE>(len);
        for (size_t i = 0; i < sizeof f.data; ++i) f.data[i] = static_cast<BYTE>(0x40 + i);
        // Valid exactly within the adapter's identifier and length limits.
        const bool valid = id <= (ext ? pr::kIdMask : pr::kStdIdMask) &&
                           len <= (fd ? pr::kMaxData : pr::kDlcBytes[8]);
        ASSERT_EQ(w::frame_valid(f), valid) << int{flags} << " " << id << " " << len;
        if (!valid) continue;
        BYTE rec[pr::kTxRecordSize];
        std::memset(rec, 0xEE, sizeof rec);
        w::encode_frame(f, rec);
        const pr::RecordHead h = pr::get_record_head(rec);
        unsigned dlc = 0;
        while (fd && pr::kDlcBytes[dlc] < len) ++dlc;
        if (!fd) dlc = len;
        std::string bad;
        for (std::string d :
             {differ("ext", h.ext, ext), differ("id", h.id, id), differ("rtr", h.rtr, rtr),
              differ("fd", h.fd, fd), differ("brs", h.brs, (flags & CANFD_FRAME_BRS) != 0),
              differ("esi", h.esi, (flags & CANFD_FRAME_ESI) != 0), differ("dlc", h.dlc, dlc),
              differ("size", h.size, pr::kDlcBytes[dlc]), canonical(rec, f.data, rtr ? 0 : len)})
          if (bad.empty()) bad = d;
        ASSERT_EQ(bad, "") << "flags " << int{flags} << " id " << id << " len " << len;
      }
    }
  }
}

TEST(FrameRecords, AdapterReceivedRecordsAsTheLibraryDecodesThem) {
  BYTE ramp[pr::kMaxData];
  for (size_t i = 0; i < sizeof ramp; ++i) ramp[i] = static_cast<BYTE>(0x11 * (i + 1));
  const DWORD stamps[][2] = {{0, 0}, {12, 999999}, {0xFFFFFFFF, 0xFFFFFFFF}};
  for (bool ext : {false, true}) {
    for (DWORD id : kIds) {
      for (int bits = 0; bits < 16; ++bits) {  // rtr, esi, brs, fd
        for (unsigned dlc = 0; dlc < 16; ++dlc) {
          for (uint16_t size : {uint16_t{pr::kDlcBytes[dlc]}, uint16_t{65}, uint16_t{0xFFFF}}) {
            pr::RecordHead h;
            h.ext = ext;
            h.id = id & (ext ? pr::kIdMask : pr::kStdIdMask);
            h.rtr = bits & 1;
            h.esi = bits & 2;
            h.brs = bits & 4;
            h.fd = bits & 8;
            h.dlc = static_cast<uint8_t>(dlc);
            h.eve = static_cast<uint8_t>((dlc + bits) & pr::kEveMask);
            h.size = size;
            const DWORD *stamp = stamps[(dlc + bits) % 3];
            BYTE rec[pr::kRxRecordSize] = {};
            pr::put_record_head(rec, h);
            std::memcpy(rec + pr::kRecData, ramp, pr::kMaxData);
            pr::put_u32(rec + pr::kRecSecond, stamp[0]);
            pr::put_u32(rec + pr::kRecUsecond, stamp[1]);
            const size_t bytes = std::min<size_t>(size, pr::kMaxData);

            const w::RxFields r = w::decode_rx_record(rec);
            CANFD_Frame_St f;
            std::memset(&f, 0xEE, sizeof f);
            w::decode_frame(rec, f);
            const size_t len = h.rtr ? dlc : bytes;
            const BYTE flags =
                static_cast<BYTE>((ext ? CANFD_FRAME_EXT : 0) | (h.rtr ? CANFD_FRAME_RTR : 0) |
                                  (h.fd ? CANFD_FRAME_FD : 0) | (h.brs ? CANFD_FRAME_BRS : 0) |
                                  (h.esi ? CANFD_FRAME_ESI : 0));
            std::string bad;
            for (std::string d :
                 {differ("mode", r.mode, ext), differ("id", r.id, h.id),
                  differ("rtr", r.rtr, h.rtr), differ("fdf", r.fdf, h.fd),
                  differ("dlc", r.dlc, dlc), differ("type", r.type, h.eve),
                  differ("size", r.size, bytes), differ("second", r.second, stamp[0]),
                  differ("usecond", r.usecond, stamp[1]), differ("frame id", f.id, h.id),
                  differ("frame flags", f.flags, flags), differ("frame len", f.len, len),
                  differ("frame type", f.type, h.eve), differ("frame second", f.second, stamp[0]),
                  differ("frame usecond", f.usecond, stamp[1]),
                  differ("frame data", std::memcmp(f.data, ramp, h.rtr ? 0 : len), 0)})
              if (bad.empty()) bad = d;
            for (size_t i = h.rtr ? 0 : len; i < sizeof f.data && bad.empty(); ++i)
              bad = differ("frame data beyond len", f.data[i], 0);
            ASSERT_EQ(bad, "") << "ext " << ext << " id " << id << " bits " << bits << " dlc "
                               << dlc << " size " << size;
          }
        }
      }
    }
  }
}

// A frame the library sends, through the adapter's bus and back: the
// received record says what the library sent.
TEST(FrameRecords, SentFramesComeBackAsSent) {
  for (BYTE flags : {0, CANFD_FRAME_EXT | CANFD_FRAME_RTR,
                     CANFD_FRAME_FD | CANFD_FRAME_BRS | CANFD_FRAME_ESI | CANFD_FRAME_EXT}) {
    for (BYTE len : {0, 3, 8}) {
      CANFD_Frame_St sent{};
      sent.id = (flags & CANFD_FRAME_EXT) ? 0x1ABCDEF0 : 0x5A5;
      sent.flags = flags;
      sent.len = len;
      // A remote frame carries no data.
      if (!(flags & CANFD_FRAME_RTR))
        for (BYTE i = 0; i < len; ++i) sent.data[i] = static_cast<BYTE>(0xC0 + i);
      BYTE tx[pr::kTxRecordSize], rx[pr::kRxRecordSize];
      w::encode_frame(sent, tx);
      canfd_sim::model::tx_to_rx(tx, 77, 123456, rx);
      CANFD_Frame_St got;
      w::decode_frame(rx, got);
      EXPECT_EQ(got.id, sent.id);
      EXPECT_EQ(got.flags, sent.flags);
      EXPECT_EQ(got.len, sent.len);
      EXPECT_EQ(got.type, 0);
      EXPECT_EQ(got.second, 77u);
      EXPECT_EQ(got.usecond, 123456u);
      EXPECT_EQ(0, std::memcmp(got.data, sent.data, sizeof got.data));
    }
  }
}

// ---- Command payloads, end to end --------------------------------------------

class CommandPayloads : public rig::OpenAdapter {
 protected:
  // The payload of the request the library wrote last, checked against its header.
  rig::Bytes request(uint8_t opcode, int port, uint8_t command, size_t size) {
    const rig::Bytes p = last_packet();
    if (p.size() < pr::kHeaderSize) {
      ADD_FAILURE() << "no request";
      return rig::Bytes(size);
    }
    const pr::Header h = pr::get_header(p.data());
    EXPECT_EQ(h.opcode, opcode);
    EXPECT_EQ(h.fc, pfc::port_command(port, command));
    EXPECT_EQ(h.len, size);
    EXPECT_EQ(p.size(), pr::kHeaderSize + size);
    rig::Bytes payload(p.begin() + pr::kHeaderSize, p.end());
    payload.resize(size);
    return payload;
  }
};

TEST_F(CommandPayloads, RequestsTakenApartWithTheAdaptersOffsets) {
  ASSERT_EQ(CANFD_SetSN(h, 0xA1B2C3D4), 0);
  EXPECT_EQ(pr::get_u32(request(pr::kOpWrite, 0, pfc::kSerialNumber, pl::kSerialNumberSize).data()),
            0xA1B2C3D4u);
  ASSERT_EQ(CANFD_SetLEDMode(h, 0xFE), 0);
  EXPECT_EQ(request(pr::kOpWrite, 0, pfc::kLedMode, pl::kLedSize)[0], 0xFE);
  ASSERT_EQ(CANFD_SetLEDState(h, 0x7F), 0);
  EXPECT_EQ(request(pr::kOpWrite, 0, pfc::kLedState, pl::kLedSize)[0], 0x7F);

  ASSERT_EQ(CANFD_SetCANOPMode(h, 2, 0x0102, 0xA1B2, 0xFFFF), 0);
  rig::Bytes d = request(pr::kOpWrite, 2, pfc::kWriteOpMode, pl::kOpModeSize);
  EXPECT_EQ(pr::get_u16(d.data() + pl::kOpEnable), 0x0102);
  EXPECT_EQ(pr::get_u16(d.data() + pl::kOpBusMode), 0xA1B2);
  EXPECT_EQ(pr::get_u16(d.data() + pl::kOpIsoMode), 0xFFFF);

  ASSERT_EQ(CANFD_SetCANADBaudRate(h, 1, 0x01020304, 0xA1B2C3D4, 10000, 0xFFFE), 0);
  d = request(pr::kOpWrite, 1, pfc::kWriteBitRates, pl::kBitRatesSize);
  EXPECT_EQ(pr::get_u32(d.data() + pl::kArbBitrate), 0x01020304u);
  EXPECT_EQ(pr::get_u32(d.data() + pl::kDataBitrate), 0xA1B2C3D4u);
  EXPECT_EQ(pr::get_u16(d.data() + pl::kArbSamplePoint), 10000);
  EXPECT_EQ(pr::get_u16(d.data() + pl::kDataSamplePoint), 0xFFFE);

  ASSERT_EQ(CANFD_SetCANGlobalFilter(h, 2, 9, 0), 0);
  d = request(pr::kOpWrite, 2, pfc::kWriteGlobalFilter, pl::kGfcSize);
  EXPECT_EQ(pr::get_u32(d.data() + pl::kGfcWord), pr::kGfcRejectRemoteStd);

  ASSERT_EQ(CANFD_SetCANHWSendMode(h, 1, 5), 0);
  EXPECT_EQ(request(pr::kOpWrite, 1, pfc::kWriteHwSendMode, pl::kHwSendModeSize)[0], 1);

  BYTE data[pr::kMaxData];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<BYTE>(i + 1);
  ASSERT_EQ(CANFD_SetCANHWSendMsg(h, 2, 1, 0x1FFFFFFF, 0, 1, 13, data, 0xDEADBEEF, 0x01020304), 0);
  d = request(pr::kOpWrite, 2, pfc::kWriteHwSendRecord, pr::kHwRecordSize);
  const pr::RecordHead hw = pr::get_record_head(d.data());
  EXPECT_TRUE(hw.ext && hw.fd && hw.brs && !hw.rtr);
  EXPECT_EQ(hw.id, 0x1FFFFFFFu);
  EXPECT_EQ(hw.dlc, 13);
  EXPECT_EQ(hw.size, 32);
  EXPECT_EQ(0, std::memcmp(d.data() + pr::kRecData, data, 32));
  EXPECT_EQ(pr::get_u32(d.data() + pr::kRecPeriod), 0xDEADBEEFu);
  EXPECT_EQ(pr::get_u32(d.data() + pr::kRecCounter), 0x01020304u);

  ASSERT_EQ(CANFD_SetCANTxMsg(h, 2, 0, 0x7FF, 1, 0, 8, data), 0);
  ASSERT_TRUE(rig::eventually([&] { return adapter->tx_frames_received(2) == 1; }));
  const rig::Bytes p = last_packet();
  const pr::Header fh = pr::get_header(p.data());
  EXPECT_EQ(fh.opcode, pr::kOpLarge);
  EXPECT_EQ(fh.fc, pfc::frames_to(2));
  EXPECT_EQ(fh.len, pr::kTxRecordSize);
  const pr::RecordHead tx = pr::get_record_head(p.data() + pr::kHeaderSize);
  EXPECT_TRUE(!tx.ext && tx.rtr && !tx.fd);
  EXPECT_EQ(tx.id, 0x7FFu);
  EXPECT_EQ(tx.dlc, 8);
}

TEST_F(CommandPayloads, FilterListsTakenApartWithTheAdaptersOffsets) {
  const WORD s1[3] = {0x7FF, 0x923, 0}, s2[3] = {0, 0x456, 0xFFFF};
  ASSERT_EQ(CANFD_SetCANSTDIDFilter(h, 1, 3, const_cast<WORD *>(s1), const_cast<WORD *>(s2)), 0);
  std::vector<rig::Bytes> p = packets();
  ASSERT_EQ(p.size(), 3u);
  const uint8_t std_cmds[] = {pfc::kWriteStdFiltersLow, pfc::kWriteStdFiltersHigh};
  for (int half = 0; half < 2; ++half) {
    const pr::Header hd = pr::get_header(p[half].data());
    EXPECT_EQ(hd.fc, pfc::port_command(1, std_cmds[half]));
    ASSERT_EQ(hd.len, pl::kFilterHalfSize);
    for (size_t i = 0; i < pr::kStdElementsPerHalf; ++i) {
      const size_t k = half * pr::kStdElementsPerHalf + i;
      const uint32_t e = pr::get_u32(p[half].data() + pr::kHeaderSize + pr::kStdElementSize * i);
      EXPECT_EQ(pr::std_element_id1(e), k < 3 ? s1[k] & pr::kStdIdMask : 0) << k;
      EXPECT_EQ(pr::std_element_id2(e), k < 3 ? s2[k] & pr::kStdIdMask : 0) << k;
    }
  }
  EXPECT_EQ(pr::get_header(p[2].data()).fc, pfc::port_command(1, pfc::kWriteStdListSize));
  EXPECT_EQ(pr::get_u16(p[2].data() + pr::kHeaderSize), 3);

  adapter->clear_received();
  const DWORD e1[2] = {0x1FFFFFFF, 0xE0000100}, e2[2] = {0x100, 0xFFFFFFFF};
  ASSERT_EQ(CANFD_SetCANEXTIDFilter(h, 2, 2, const_cast<DWORD *>(e1), const_cast<DWORD *>(e2)), 0);
  p = packets();
  ASSERT_EQ(p.size(), 3u);
  const uint8_t ext_cmds[] = {pfc::kWriteExtFiltersLow, pfc::kWriteExtFiltersHigh};
  for (int half = 0; half < 2; ++half) {
    const pr::Header hd = pr::get_header(p[half].data());
    EXPECT_EQ(hd.fc, pfc::port_command(2, ext_cmds[half]));
    ASSERT_EQ(hd.len, pl::kFilterHalfSize);
    for (size_t i = 0; i < pr::kExtElementsPerHalf; ++i) {
      const size_t k = half * pr::kExtElementsPerHalf + i;
      const uint8_t *e = p[half].data() + pr::kHeaderSize + pr::kExtElementSize * i;
      EXPECT_EQ(pr::ext_element_id(pr::get_u32(e)), k < 2 ? e1[k] & pr::kIdMask : 0) << k;
      EXPECT_EQ(pr::ext_element_id(pr::get_u32(e + 4)), k < 2 ? e2[k] & pr::kIdMask : 0) << k;
    }
  }
  EXPECT_EQ(pr::get_header(p[2].data()).fc, pfc::port_command(2, pfc::kWriteExtListSize));
  EXPECT_EQ(pr::get_u16(p[2].data() + pr::kHeaderSize), 2);
}

// Answers the adapter puts together at its offsets, with every byte of a
// field different, read by the library.
TEST_F(CommandPayloads, AnswersPutTogetherWithTheAdaptersOffsets) {
  canfd_sim::ModuleState s = adapter->state();
  s.fw_version = 0xA1B2;
  s.init_pin = 0xC3;
  canfd_sim::PortState &p = s.port[1];
  p.enable = 0x0102;
  p.bus_mode = 0x0304;
  p.iso_mode = 0xFFFE;
  p.status = 0x11223344;
  p.err_cnt = 0x55667788;
  p.buf_status = 0x99AABBCC;
  p.arb_bitrate = 0x01020304;
  p.data_bitrate = 0xF1F2F3F4;
  p.arb_sp = 0x0506;
  p.data_sp = 0xFFFF;
  p.gfc = pr::kGfcRejectRemoteExt;
  p.std_list_size = 0x0180;
  p.ext_list_size = 0x0140;
  p.hw_mode = 0x5A;
  for (size_t i = 0; i < pr::kStdFilterElements; ++i)
    p.std_elems[i] = static_cast<uint32_t>(i) << pr::kStdId1Shift | (0x7FF - i) | 0xF000F800u;
  for (size_t i = 0; i < pr::kExtFilterElements; ++i) {
    p.ext_elems[2 * i] = static_cast<uint32_t>(0x1FFFFFFF - i) | 0xE0000000u;
    p.ext_elems[2 * i + 1] = static_cast<uint32_t>(i * 0x10001) | 0xE0000000u;
  }
  adapter->set_state(s);
  adapter->set_rx_fps(2, 0xFEDC);

  WORD fw = 0;
  BYTE pin = 0;
  ASSERT_EQ(CANFD_GetFwVer(h, &fw), 0);
  ASSERT_EQ(CANFD_GetINITPinStatus(h, &pin), 0);
  EXPECT_EQ(fw, 0xA1B2);
  EXPECT_EQ(pin, 0xC3);
  WORD en = 0, bus = 0, iso = 0;
  ASSERT_EQ(CANFD_GetCANOPMode(h, 2, &en, &bus, &iso), 0);
  EXPECT_EQ(en, 0x0102);
  EXPECT_EQ(bus, 0x0304);
  EXPECT_EQ(iso, 0xFFFE);
  DWORD st = 0, ec = 0, bs = 0;
  ASSERT_EQ(CANFD_GetCANStatus(h, 2, &st, &ec, &bs), 0);
  EXPECT_EQ(st, 0x11223344u);
  EXPECT_EQ(ec, 0x55667788u);
  EXPECT_EQ(bs, 0x99AABBCCu);
  DWORD arb = 0, dat = 0;
  WORD sa = 0, sd = 0;
  ASSERT_EQ(CANFD_GetCANADBaudRate(h, 2, &arb, &dat, &sa, &sd), 0);
  EXPECT_EQ(arb, 0x01020304u);
  EXPECT_EQ(dat, 0xF1F2F3F4u);
  EXPECT_EQ(sa, 0x0506);
  EXPECT_EQ(sd, 0xFFFF);
  BYTE rfs = 9, rfe = 9;
  WORD ns = 0, ne = 0;
  ASSERT_EQ(CANFD_GetCANGlobalFilter(h, 2, &rfs, &rfe, &ns, &ne), 0);
  EXPECT_EQ(rfs, 0);
  EXPECT_EQ(rfe, 1);
  EXPECT_EQ(ns, 0x0180);
  EXPECT_EQ(ne, 0x0140);
  WORD fps = 0;
  ASSERT_EQ(CANFD_GetCANRxFramePerSec(h, 2, &fps), 0);
  EXPECT_EQ(fps, 0xFEDC);
  BYTE mode = 0;
  ASSERT_EQ(CANFD_GetCANHWSendMode(h, 2, &mode), 0);
  EXPECT_EQ(mode, 0x5A);
  WORD id1[pr::kStdFilterElements], id2[pr::kStdFilterElements];
  ASSERT_EQ(CANFD_GetCANSTDIDFilter(h, 2, id1, id2), 0);
  for (size_t i = 0; i < pr::kStdFilterElements; ++i) {
    ASSERT_EQ(id1[i], i) << i;
    ASSERT_EQ(id2[i], 0x7FF - i) << i;
  }
  DWORD x1[pr::kExtFilterElements], x2[pr::kExtFilterElements];
  ASSERT_EQ(CANFD_GetCANEXTIDFilter(h, 2, x1, x2), 0);
  for (size_t i = 0; i < pr::kExtFilterElements; ++i) {
    ASSERT_EQ(x1[i], 0x1FFFFFFF - i) << i;
    ASSERT_EQ(x2[i], i * 0x10001) << i;
  }
}

}  // namespace
