// The wire format as the simulated adapter takes and sends it: reports,
// packet header, opcodes, function codes, the payload of each command, frame
// records, filter elements and the port status words. Every multi-byte field
// is little-endian. The library keeps its own definitions; a test compares
// the two, so that neither can go wrong alone.
#ifndef CANFD_SIM_PROTOCOL_H
#define CANFD_SIM_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace canfd_sim::protocol {

inline uint16_t get_u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t get_u32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void put_u16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- Reports and packets ---------------------------------------------------

// The host writes the report number and then the packet, zero-filled to the
// report size; the two resets come as bare packets, without the number. The
// adapter sends the packet alone.
constexpr uint8_t kReportNumber = 0;
constexpr size_t kPacketMax = 512;
constexpr size_t kHostReportSize = 1 + kPacketMax;

// Packet header: opcode, a reserved 0, function code, payload length.
constexpr size_t kHdrOpcode = 0;
constexpr size_t kHdrReserved = 1;
constexpr size_t kHdrFc = 2;
constexpr size_t kHdrLen = 4;
constexpr size_t kHeaderSize = 6;
constexpr size_t kPayloadMax = kPacketMax - kHeaderSize;

struct Header {
  uint8_t opcode;
  uint16_t fc;
  uint16_t len;  // payload bytes, as the header says
};

inline Header get_header(const uint8_t *pkt) {
  return {pkt[kHdrOpcode], get_u16(pkt + kHdrFc), get_u16(pkt + kHdrLen)};
}

inline void put_header(uint8_t *pkt, uint8_t opcode, uint16_t fc, uint16_t len) {
  pkt[kHdrOpcode] = opcode;
  pkt[kHdrReserved] = 0;
  put_u16(pkt + kHdrFc, fc);
  put_u16(pkt + kHdrLen, len);
}

// Requests the adapter takes, answers it gives, and large data both ways
// (frames, and the resets), which is never answered.
constexpr uint8_t kOpRead = '$';
constexpr uint8_t kOpWrite = '#';
constexpr uint8_t kOpLarge = ':';
constexpr uint8_t kOpDone = '!';
constexpr uint8_t kOpFail = '?';  // payload byte 0: the error code

// ---- Function codes ----------------------------------------------------------

// Module commands have port 0; a port command has its port (1 or 2) in the
// high byte and its command number in the low byte. Reads and writes number
// their commands separately.
namespace fc {
// Module reads.
constexpr uint16_t kFwVersion = 0x0000;
constexpr uint16_t kInitPin = 0x0001;
// Module writes.
constexpr uint16_t kSerialNumber = 0x0000;
constexpr uint16_t kLedMode = 0x0001;
constexpr uint16_t kLedState = 0x0002;
// Large data: frames to port 1 (port 2 is one more), frames from port 1
// (likewise), and the two resets.
constexpr uint16_t kFramesToPort1 = 0x0000;
constexpr uint16_t kFramesFromPort1 = 0x0010;
constexpr uint16_t kModuleReset = 0x00E0;
constexpr uint16_t kWatchdogReset = 0x00E1;

// Port reads.
constexpr uint8_t kReadOpMode = 0x00;
constexpr uint8_t kReadStatus = 0x01;
constexpr uint8_t kReadBitRates = 0x02;
constexpr uint8_t kReadGlobalFilter = 0x03;    // with both list sizes
constexpr uint8_t kReadStdFiltersLow = 0x04;   // elements 0-63
constexpr uint8_t kReadStdFiltersHigh = 0x05;  // elements 64-127
constexpr uint8_t kReadExtFiltersLow = 0x06;   // elements 0-31
constexpr uint8_t kReadExtFiltersHigh = 0x07;  // elements 32-63
constexpr uint8_t kReadRxFps = 0x08;
constexpr uint8_t kReadHwSendMode = 0x09;
// Port writes.
constexpr uint8_t kWriteReinit = 0x00;
constexpr uint8_t kWriteOpMode = 0x01;
constexpr uint8_t kWriteBitRates = 0x02;
constexpr uint8_t kWriteGlobalFilter = 0x03;
constexpr uint8_t kWriteStdListSize = 0x04;
constexpr uint8_t kWriteExtListSize = 0x05;
constexpr uint8_t kWriteStdFiltersLow = 0x06;
constexpr uint8_t kWriteStdFiltersHigh = 0x07;
constexpr uint8_t kWriteExtFiltersLow = 0x08;
constexpr uint8_t kWriteExtFiltersHigh = 0x09;
constexpr uint8_t kWriteHwSendMode = 0x0A;
constexpr uint8_t kWriteHwSendRecord = 0x0B;

constexpr int kPortShift = 8;
constexpr uint16_t port_command(int port, uint8_t command) {
  return static_cast<uint16_t>(port << kPortShift | command);
}
constexpr int port_of(uint16_t code) { return code >> kPortShift; }
constexpr uint8_t command_of(uint16_t code) { return static_cast<uint8_t>(code); }
constexpr uint16_t frames_to(int port) { return static_cast<uint16_t>(kFramesToPort1 + port - 1); }
constexpr uint16_t frames_from(int port) {
  return static_cast<uint16_t>(kFramesFromPort1 + port - 1);
}
}  // namespace fc

// ---- Command payloads: byte offsets and sizes ----------------------------------

namespace payload {
// Module: firmware version (a read's answer), INIT pin (likewise), serial
// number, LED mode and LED state (writes).
constexpr size_t kFwVersionSize = 2;
constexpr size_t kInitPinSize = 1;
constexpr size_t kSerialNumberSize = 4;
constexpr size_t kLedSize = 1;

// Operating mode, alike both ways: three words.
constexpr size_t kOpEnable = 0;
constexpr size_t kOpBusMode = 2;
constexpr size_t kOpIsoMode = 4;
constexpr size_t kOpModeSize = 6;

// Port status (a read's answer): status, error counter and buffer-status words.
constexpr size_t kStatusWord = 0;
constexpr size_t kErrorCounters = 4;
constexpr size_t kBufferStatus = 8;
constexpr size_t kStatusSize = 12;

// Bit rates and sample points, alike both ways.
constexpr size_t kArbBitrate = 0;
constexpr size_t kDataBitrate = 4;
constexpr size_t kArbSamplePoint = 8;
constexpr size_t kDataSamplePoint = 10;
constexpr size_t kBitRatesSize = 12;

// Global filter: the read answers the filter word and both list sizes, the
// write takes the word alone; each list size is written as one word.
constexpr size_t kGfcWord = 0;
constexpr size_t kStdListSize = 4;
constexpr size_t kExtListSize = 6;
constexpr size_t kGlobalFilterSize = 8;
constexpr size_t kGfcSize = 4;
constexpr size_t kListSizeSize = 2;

// Filter elements travel half a list per packet.
constexpr size_t kFilterHalfSize = 256;

// Received frames per second (a read's answer).
constexpr size_t kRxFpsSize = 2;
// Hardware-send mode, both ways (the write's byte is 0 or 1).
constexpr size_t kHwSendModeSize = 1;
}  // namespace payload

// ---- Frame records --------------------------------------------------------------

// Byte offsets. The transmitted-frame record ends after the data; the
// received-frame record adds its time stamp, the hardware-send record its
// period (milliseconds) and counter (frames to send, 0 without end).
constexpr size_t kRecIdWord = 0;
constexpr size_t kRecCtrl = 4;
constexpr size_t kRecSize = 6;
constexpr size_t kRecData = 8;
constexpr size_t kMaxData = 64;
constexpr size_t kRecSecond = 72;
constexpr size_t kRecUsecond = 76;
constexpr size_t kRecPeriod = 72;
constexpr size_t kRecCounter = 76;
constexpr size_t kTxRecordSize = 72;
constexpr size_t kRxRecordSize = 80;
constexpr size_t kHwRecordSize = 80;
// Whole records one packet carries, either way.
constexpr size_t kTxRecordsPerPacket = kPayloadMax / kTxRecordSize;
constexpr size_t kRxRecordsPerPacket = kPayloadMax / kRxRecordSize;

// Identifier word: an extended identifier in bits 0-28, a standard one in
// bits 18-28; then remote frame, extended and error state indicator.
constexpr uint32_t kIdMask = 0x1FFFFFFF;
constexpr uint32_t kStdIdMask = 0x7FF;
constexpr int kStdIdShift = 18;
constexpr uint32_t kRtrBit = 1u << 29;
constexpr uint32_t kXtdBit = 1u << 30;
constexpr uint32_t kEsiBit = 1u << 31;
// Control word: DLC, bit rate switch, CAN FD, and the frame type code of a
// received frame; bits 8-15 are reserved.
constexpr uint16_t kDlcMask = 0xF;
constexpr uint16_t kBrsBit = 1u << 4;
constexpr uint16_t kFdfBit = 1u << 5;
constexpr int kEveShift = 6;
constexpr uint16_t kEveMask = 0x3;

// Data bytes of each data length code.
constexpr uint8_t kDlcBytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

// The first eight bytes of a record.
struct RecordHead {
  uint32_t id = 0;  // the identifier: 11 bits, or 29 when ext
  bool ext = false, rtr = false, esi = false, brs = false, fd = false;
  uint8_t dlc = 0;
  uint8_t eve = 0;
  uint16_t size = 0;  // as the record says; the data field holds at most kMaxData
};

inline RecordHead get_record_head(const uint8_t *rec) {
  const uint32_t word = get_u32(rec + kRecIdWord);
  const uint16_t ctrl = get_u16(rec + kRecCtrl);
  RecordHead h;
  h.ext = word & kXtdBit;
  h.id = h.ext ? word & kIdMask : (word >> kStdIdShift) & kStdIdMask;
  h.rtr = word & kRtrBit;
  h.esi = word & kEsiBit;
  h.dlc = static_cast<uint8_t>(ctrl & kDlcMask);
  h.brs = ctrl & kBrsBit;
  h.fd = ctrl & kFdfBit;
  h.eve = static_cast<uint8_t>((ctrl >> kEveShift) & kEveMask);
  h.size = get_u16(rec + kRecSize);
  return h;
}

inline void put_record_head(uint8_t *rec, const RecordHead &h) {
  uint32_t word = h.ext ? (h.id & kIdMask) | kXtdBit : (h.id & kStdIdMask) << kStdIdShift;
  if (h.rtr) word |= kRtrBit;
  if (h.esi) word |= kEsiBit;
  const unsigned ctrl = (h.dlc & kDlcMask) | (h.brs ? kBrsBit : 0u) | (h.fd ? kFdfBit : 0u) |
                        (h.eve & kEveMask) << kEveShift;
  put_u32(rec + kRecIdWord, word);
  put_u16(rec + kRecCtrl, static_cast<uint16_t>(ctrl));
  put_u16(rec + kRecSize, h.size);
}

// ---- Acceptance filters -----------------------------------------------------------

constexpr size_t kStdFilterElements = 128;
constexpr size_t kExtFilterElements = 64;
constexpr size_t kStdElementSize = 4;
constexpr size_t kExtElementSize = 8;
constexpr size_t kStdElementsPerHalf = payload::kFilterHalfSize / kStdElementSize;
constexpr size_t kExtElementsPerHalf = payload::kFilterHalfSize / kExtElementSize;

// A standard element is one word: ID1 in bits 16-26, ID2 in bits 0-10, and
// in bit 27 the element configuration "store in receive FIFO 0"; filter type
// 0 (a range from ID1 to ID2) sets no bit. An extended element is two words:
// ID1 in bits 0-28 of the first, with that configuration in bit 29, and ID2
// in bits 0-28 of the second (filter type 0 again). Other bits are 0 as the
// host writes them, and the adapter ignores them.
constexpr int kStdId1Shift = 16;
constexpr uint32_t kStdElementStoreFifo0 = 1u << 27;
constexpr uint32_t kExtElementStoreFifo0 = 1u << 29;

constexpr uint16_t std_element_id1(uint32_t e) {
  return static_cast<uint16_t>((e >> kStdId1Shift) & kStdIdMask);
}
constexpr uint16_t std_element_id2(uint32_t e) { return static_cast<uint16_t>(e & kStdIdMask); }
// ID1 of an extended element from its first word, ID2 from its second.
constexpr uint32_t ext_element_id(uint32_t word) { return word & kIdMask; }

// Global filter word: reject remote frames with extended identifiers (bit
// 0), with standard identifiers (bit 1); bits 2-31 are 0 as written.
constexpr uint32_t kGfcRejectRemoteExt = 1u << 0;
constexpr uint32_t kGfcRejectRemoteStd = 1u << 1;

// ---- Port status words ------------------------------------------------------------

// As the adapter's CAN controller reports them. Status word: last error
// code in bits 0-2, activity in bits 3-4, then error passive, error warning
// (an error counter at 96 or more) and bus off. Error counter word: the
// transmit error count in bits 0-7, the receive error count in bits 8-14,
// and in bit 15 whether the receive side is error passive.
constexpr uint32_t kStatusErrorPassive = 1u << 5;
constexpr uint32_t kStatusErrorWarning = 1u << 6;
constexpr uint32_t kStatusBusOff = 1u << 7;
constexpr uint32_t kTxErrorsMask = 0xFF;
constexpr int kRxErrorsShift = 8;
constexpr uint32_t kRxErrorsMask = 0x7F;
constexpr uint32_t kRxErrorPassiveBit = 1u << 15;

}  // namespace canfd_sim::protocol

#endif  // CANFD_SIM_PROTOCOL_H
