// Wire formats shared by the library and the simulated adapter: little-endian
// fields, frame records and filter elements. Pure functions, header only, not
// part of the installed API.
#ifndef CANFD_WIRE_H
#define CANFD_WIRE_H

#include <cstring>

#include "canfd_comm.h"

namespace canfd::wire {

inline void put_le16(BYTE *p, WORD v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}

inline void put_le32(BYTE *p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

inline WORD get_le16(const BYTE *p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

inline DWORD get_le32(const BYTE *p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

// Packet header fields (offsets within the packet) and report sizes. The
// opcodes, CANFD_HEADER_SIZE, CANFD_PACKET_MAX and CANFD_REPORT_SIZE are in
// the public headers.
constexpr int kHdrOpcode = 0;
constexpr int kHdrFc = 2;
constexpr int kHdrLen = 4;
constexpr int kPayloadMax = CANFD_PACKET_MAX - CANFD_HEADER_SIZE;  // 506

// Writes the six header bytes: opcode, 0, function code, payload length.
inline void put_header(BYTE *pkt, BYTE opcode, WORD code, WORD len) {
  pkt[kHdrOpcode] = opcode;
  pkt[kHdrOpcode + 1] = 0;
  put_le16(pkt + kHdrFc, code);
  put_le16(pkt + kHdrLen, len);
}

// Function codes. Module commands use 0x00nn; port commands put the port in
// the high byte and the command number below in the low byte. Read ('$')
// and write ('#') codes are separate spaces.
namespace fc {
// Module reads.
constexpr WORD kFwVersion = 0x0000;
constexpr WORD kInitPin = 0x0001;
// Module writes.
constexpr WORD kSerialNumber = 0x0000;
constexpr WORD kLedMode = 0x0001;
constexpr WORD kLedState = 0x0002;
// Large data: frames to a port (port 2 is one more), frames from a port,
// and the two resets.
constexpr WORD kFramesToPort1 = 0x0000;
constexpr WORD kFramesFromPort1 = 0x0010;
constexpr WORD kModuleReset = 0x00E0;
constexpr WORD kWatchdogReset = 0x00E1;
// Port reads (command numbers).
constexpr BYTE kReadOpMode = 0x00;
constexpr BYTE kReadStatus = 0x01;
constexpr BYTE kReadBitRates = 0x02;
constexpr BYTE kReadGlobalFilter = 0x03;
constexpr BYTE kReadStdFilters = 0x04;  // elements 0-63; 0x05 elements 64-127
constexpr BYTE kReadExtFilters = 0x06;  // elements 0-31; 0x07 elements 32-63
constexpr BYTE kReadRxFps = 0x08;
constexpr BYTE kReadHwSendMode = 0x09;
// Port writes (command numbers).
constexpr BYTE kWriteReinit = 0x00;
constexpr BYTE kWriteOpMode = 0x01;
constexpr BYTE kWriteBitRates = 0x02;
constexpr BYTE kWriteGlobalFilter = 0x03;
constexpr BYTE kWriteStdListSize = 0x04;
constexpr BYTE kWriteExtListSize = 0x05;
constexpr BYTE kWriteStdFilters = 0x06;  // elements 0-63; 0x07 elements 64-127
constexpr BYTE kWriteExtFilters = 0x08;  // elements 0-31; 0x09 elements 32-63
constexpr BYTE kWriteHwSendMode = 0x0A;
constexpr BYTE kWriteHwSendRecord = 0x0B;

constexpr WORD port(BYTE port, BYTE command) { return static_cast<WORD>(port << 8 | command); }
constexpr BYTE port_of(WORD code) { return static_cast<BYTE>(code >> 8); }
constexpr BYTE command_of(WORD code) { return static_cast<BYTE>(code & 0xFF); }
constexpr WORD frames_to(BYTE port) { return static_cast<WORD>(kFramesToPort1 + port - 1); }
constexpr WORD frames_from(BYTE port) { return static_cast<WORD>(kFramesFromPort1 + port - 1); }
}  // namespace fc

// Payload sizes of the port mode and bit rate commands (a write's request,
// a read's answer).
constexpr int kOpModeSize = 6;
constexpr int kBitRatesSize = 12;

// Acceptance filter lists: elements per list, and per half that one packet
// of 256 payload bytes carries.
constexpr int kStdFilterElements = 128;
constexpr int kExtFilterElements = 64;
constexpr int kFilterHalfBytes = 256;
constexpr int kStdElementsPerHalf = kFilterHalfBytes / 4;
constexpr int kExtElementsPerHalf = kFilterHalfBytes / 8;

// Byte offsets and bits of the frame records (identical in all three).
constexpr int kRecIdWord = 0;
constexpr int kRecCtrl = 4;
constexpr int kRecSize = 6;
constexpr int kRecData = 8;
constexpr int kRecSecond = 72;   // receive: seconds; hardware send: period
constexpr int kRecUsecond = 76;  // receive: microseconds; hardware send: counter
constexpr int kRxRecordSize = 80;
constexpr int kTxRecordSize = 72;
constexpr int kHwRecordSize = 80;
constexpr DWORD kIdMask = 0x1FFFFFFF;
constexpr DWORD kStdIdMask = 0x7FF;
constexpr int kStdIdShift = 18;
constexpr DWORD kRtrBit = 1u << 29;
constexpr DWORD kXtdBit = 1u << 30;
constexpr DWORD kEsiBit = 1u << 31;
constexpr int kMaxData = 64;
// Records that one packet carries: transmitted-frame records to the
// adapter, received-frame records from it.
constexpr int kTxRecordsPerPacket = kPayloadMax / kTxRecordSize;  // 7
constexpr int kRxRecordsPerPacket = kPayloadMax / kRxRecordSize;  // 6

constexpr BYTE kDlcToBytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

// Smallest DLC whose byte count holds n bytes (n up to 64).
constexpr BYTE bytes_to_dlc(unsigned n) {
  BYTE dlc = 0;
  while (dlc < 15 && kDlcToBytes[dlc] < n) ++dlc;
  return dlc;
}

// A frame as the API's sending calls take it.
struct TxFrame {
  BYTE mode;  // 0 standard identifier, non-zero extended
  DWORD id;
  BYTE rtr;
  BYTE fdf;
  BYTE dlen;  // data length code
  const BYTE *data;
};

enum class TxKind { Normal, HardwareSend };

// Control word bits beside the DLC.
constexpr WORD kBrsBit = 1u << 4;
constexpr WORD kFdfBit = 1u << 5;
constexpr int kEveShift = 6;

// Writes the first 72 bytes of a frame record: identifier word, control word,
// size, then `copy` bytes of data and zeros after them.
inline void put_record(BYTE *out, DWORD word, unsigned dlc, bool brs, bool fdf, BYTE size,
                       const BYTE *data, BYTE copy) {
  std::memset(out, 0, kTxRecordSize);
  put_le32(out + kRecIdWord, word);
  put_le16(out + kRecCtrl, static_cast<WORD>(dlc | (brs ? kBrsBit : 0u) | (fdf ? kFdfBit : 0u)));
  put_le16(out + kRecSize, size);
  if (copy != 0) std::memcpy(out + kRecData, data, copy);
}

// The identifier word: a standard identifier sits in bits 18-28.
constexpr DWORD id_word(DWORD id, bool ext) {
  return ext ? (id & kIdMask) | kXtdBit : (id & kStdIdMask) << kStdIdShift;
}

// Encodes a frame into the first 72 bytes of a transmitted-frame or
// hardware-send record. Identifiers are masked, the DLC is clamped, data
// beyond the byte count is zero. Returns the byte count.
inline int encode_tx_record(const TxFrame &f, TxKind kind, BYTE *out) {
  DWORD word = id_word(f.id, f.mode != 0);
  bool rtr = f.rtr != 0;
  unsigned dlc;
  bool brs = false;
  if (f.fdf) {
    dlc = f.dlen > 15 ? 15 : f.dlen;
    if (kind == TxKind::Normal) {
      rtr = false;
      brs = dlc != 0;
    } else {
      brs = true;
    }
  } else {
    dlc = f.dlen > 8 ? 8 : f.dlen;
  }
  if (rtr) word |= kRtrBit;
  const BYTE size = kDlcToBytes[dlc];
  put_record(out, word, dlc, brs, f.fdf != 0, size, f.data, size);
  return size;
}

// Whether a frame of the frame interface can be sent as it is.
inline bool frame_valid(const CANFD_Frame_St &f) {
  constexpr BYTE kKnown =
      CANFD_FRAME_EXT | CANFD_FRAME_RTR | CANFD_FRAME_FD | CANFD_FRAME_BRS | CANFD_FRAME_ESI;
  const bool fd = f.flags & CANFD_FRAME_FD;
  if (f.flags & ~kKnown) return false;
  if (f.id > ((f.flags & CANFD_FRAME_EXT) ? kIdMask : kStdIdMask)) return false;
  if (fd) return !(f.flags & CANFD_FRAME_RTR) && f.len <= kMaxData;
  return !(f.flags & (CANFD_FRAME_BRS | CANFD_FRAME_ESI)) && f.len <= 8;
}

// Encodes a valid frame of the frame interface into the first 72 bytes of a
// transmitted-frame record: its own bit rate switch and error state flags, a
// CAN FD length padded with zeros to the next data length code, a remote
// frame's length as its DLC, without data.
inline void encode_frame(const CANFD_Frame_St &f, BYTE *out) {
  const bool fd = f.flags & CANFD_FRAME_FD;
  const bool rtr = f.flags & CANFD_FRAME_RTR;
  DWORD word = id_word(f.id, f.flags & CANFD_FRAME_EXT);
  if (rtr) word |= kRtrBit;
  if (f.flags & CANFD_FRAME_ESI) word |= kEsiBit;
  const BYTE dlc = fd ? bytes_to_dlc(f.len) : f.len;
  put_record(out, word, dlc, f.flags & CANFD_FRAME_BRS, fd, kDlcToBytes[dlc], f.data,
             rtr ? 0 : f.len);
}

// Decodes a received-frame record into a frame of the frame interface (the
// host time is left to the caller).
inline void decode_frame(const BYTE *rec, CANFD_Frame_St &f) {
  const DWORD word = get_le32(rec + kRecIdWord);
  const WORD ctrl = get_le16(rec + kRecCtrl);
  const bool ext = word & kXtdBit;
  f.id = ext ? (word & kIdMask) : ((word & kIdMask) >> kStdIdShift) & kStdIdMask;
  f.flags = static_cast<BYTE>((ext ? CANFD_FRAME_EXT : 0) | (word & kRtrBit ? CANFD_FRAME_RTR : 0) |
                              (ctrl & kFdfBit ? CANFD_FRAME_FD : 0) |
                              (ctrl & kBrsBit ? CANFD_FRAME_BRS : 0) |
                              (word & kEsiBit ? CANFD_FRAME_ESI : 0));
  // A remote frame carries no data: its length is its DLC.
  const WORD size = (word & kRtrBit) ? (ctrl & 0xF) : get_le16(rec + kRecSize);
  f.len = static_cast<BYTE>(size > kMaxData ? kMaxData : size);
  f.type = static_cast<BYTE>((ctrl >> kEveShift) & 3);
  f.reserved = 0;
  f.second = get_le32(rec + kRecSecond);
  f.usecond = get_le32(rec + kRecUsecond);
  const BYTE copy = (word & kRtrBit) ? 0 : f.len;
  std::memcpy(f.data, rec + kRecData, copy);
  std::memset(f.data + copy, 0, kMaxData - copy);
}

// The fields of a received-frame record as the API reports them.
struct RxFields {
  BYTE type;  // eve
  BYTE mode;  // xtd
  DWORD id;
  BYTE rtr;
  BYTE fdf;
  BYTE dlc;
  WORD size;  // bytes to copy, at most 64
  DWORD second;
  DWORD usecond;
};

inline RxFields decode_rx_record(const BYTE *rec) {
  const DWORD word = get_le32(rec + kRecIdWord);
  const WORD ctrl = get_le16(rec + kRecCtrl);
  RxFields r{};
  r.mode = (word & kXtdBit) ? 1 : 0;
  r.id = r.mode ? (word & kIdMask) : ((word & kIdMask) >> kStdIdShift) & kStdIdMask;
  r.rtr = (word & kRtrBit) ? 1 : 0;
  r.dlc = static_cast<BYTE>(ctrl & 0xF);
  r.fdf = ctrl & kFdfBit ? 1 : 0;
  r.type = static_cast<BYTE>((ctrl >> kEveShift) & 3);
  const WORD size = get_le16(rec + kRecSize);
  r.size = size > kMaxData ? kMaxData : size;
  r.second = get_le32(rec + kRecSecond);
  r.usecond = get_le32(rec + kRecUsecond);
  return r;
}

// The port status word and error counter word, as the adapter's CAN
// controller reports them: the last error code in bits 0-2 and the activity
// in bits 3-4 of the status, then error passive (bit 5), error warning (bit
// 6, an error counter at 96 or more) and bus off (bit 7); the transmit error
// counter in bits 0-7 and the receive error counter in bits 8-14 of the
// counter word.
constexpr DWORD kStatusErrorPassive = 1u << 5;
constexpr DWORD kStatusErrorWarning = 1u << 6;
constexpr DWORD kStatusBusOff = 1u << 7;
constexpr BYTE tx_errors(DWORD counters) { return static_cast<BYTE>(counters & 0xFF); }
constexpr BYTE rx_errors(DWORD counters) { return static_cast<BYTE>((counters >> 8) & 0x7F); }

constexpr BYTE bus_state(DWORD status) {
  return status & kStatusBusOff         ? CANFD_BUS_OFF
         : status & kStatusErrorPassive ? CANFD_BUS_ERROR_PASSIVE
         : status & kStatusErrorWarning ? CANFD_BUS_ERROR_WARNING
                                        : CANFD_BUS_ERROR_ACTIVE;
}

// Acceptance filter words.
constexpr DWORD kStdFilterSpec = 0x08000000;  // store in FIFO 0, range filter
constexpr DWORD kExtFilterEfec = 0x20000000;

constexpr DWORD pack_std_element(WORD id1, WORD id2) {
  return kStdFilterSpec | (static_cast<DWORD>(id1 & kStdIdMask) << 16) | (id2 & kStdIdMask);
}
constexpr WORD std_element_id1(DWORD e) { return static_cast<WORD>((e >> 16) & kStdIdMask); }
constexpr WORD std_element_id2(DWORD e) { return static_cast<WORD>(e & kStdIdMask); }

inline void pack_ext_element(DWORD id1, DWORD id2, BYTE *out) {
  put_le32(out, (id1 & kIdMask) | kExtFilterEfec);
  put_le32(out + 4, id2 & kIdMask);
}
inline DWORD ext_element_id1(const BYTE *e) { return get_le32(e) & kIdMask; }
inline DWORD ext_element_id2(const BYTE *e) { return get_le32(e + 4) & kIdMask; }

// Global filter word: bit 0 rejects extended remote frames, bit 1 standard.
constexpr DWORD pack_gfc(BYTE reject_rfs, BYTE reject_rfe) {
  return (reject_rfe ? 1u : 0u) | (reject_rfs ? 2u : 0u);
}
constexpr BYTE gfc_reject_rfe(DWORD gfc) { return gfc & 1u ? 1 : 0; }
constexpr BYTE gfc_reject_rfs(DWORD gfc) { return gfc & 2u ? 1 : 0; }

}  // namespace canfd::wire

#endif  // CANFD_WIRE_H
