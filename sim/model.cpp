#include "model.h"

#include <cstring>

#include "wire.h"

namespace canfd_sim::model {

namespace w = canfd::wire;

namespace {

constexpr uint16_t kMaxStdList = w::kStdFilterElements;
constexpr uint16_t kMaxExtList = w::kExtFilterElements;

Answer refuse(uint8_t code) {
  Answer a;
  a.done = false;
  a.code = code;
  return a;
}

// Answer data assembled field by field, little-endian.
struct Fields {
  std::vector<uint8_t> bytes;
  Fields &u8(uint8_t v) {
    bytes.push_back(v);
    return *this;
  }
  Fields &u16(uint16_t v) {
    const size_t at = bytes.size();
    bytes.resize(at + 2);
    w::put_le16(bytes.data() + at, v);
    return *this;
  }
  Fields &u32(uint32_t v) {
    const size_t at = bytes.size();
    bytes.resize(at + 4);
    w::put_le32(bytes.data() + at, v);
    return *this;
  }
  Answer done() {
    Answer a;
    a.data = std::move(bytes);
    return a;
  }
};

Answer words(const uint32_t *v, size_t n) {
  Fields f;
  for (size_t i = 0; i < n; ++i) f.u32(v[i]);
  return f.done();
}

void load_words(uint32_t *v, const uint8_t *data, size_t n) {
  for (size_t i = 0; i < n; ++i) v[i] = w::get_le32(data + 4 * i);
}

Answer read_module(const ModuleState &s, uint8_t cmd) {
  switch (cmd) {
    case w::fc::kFwVersion:
      return Fields().u16(s.fw_version).done();
    case w::fc::kInitPin:
      return Fields().u8(s.init_pin).done();
    default:
      return refuse(kErrUnknownCommand);
  }
}

Answer read_port(const PortState &p, uint8_t cmd) {
  switch (cmd) {
    case w::fc::kReadOpMode:
      return Fields().u16(p.enable).u16(p.bus_mode).u16(p.iso_mode).done();
    case w::fc::kReadStatus:
      return Fields().u32(p.status).u32(p.err_cnt).u32(p.buf_status).done();
    case w::fc::kReadBitRates:
      return Fields().u32(p.arb_bitrate).u32(p.data_bitrate).u16(p.arb_sp).u16(p.data_sp).done();
    case w::fc::kReadGlobalFilter:
      return Fields().u32(p.gfc).u16(p.std_list_size).u16(p.ext_list_size).done();
    case w::fc::kReadStdFilters:
      return words(p.std_elems, 64);
    case w::fc::kReadStdFilters + 1:
      return words(p.std_elems + 64, 64);
    case w::fc::kReadExtFilters:
      return words(p.ext_elems, 64);
    case w::fc::kReadExtFilters + 1:
      return words(p.ext_elems + 64, 64);
    case w::fc::kReadRxFps:
      return Fields().u16(p.rx_fps).done();
    case w::fc::kReadHwSendMode:
      return Fields().u8(p.hw_mode).done();
    default:
      return refuse(kErrUnknownCommand);
  }
}

// Payload sizes of the write commands; 0 where none is needed.
constexpr size_t kModuleWriteLen[] = {4, 1, 1};
constexpr size_t kPortWriteLen[] = {0, 6, 12, 4, 2, 2, 256, 256, 256, 256, 1, 80};

Answer write_module(ModuleState &s, uint8_t cmd, const uint8_t *d, size_t len) {
  if (cmd >= sizeof kModuleWriteLen / sizeof kModuleWriteLen[0]) return refuse(kErrUnknownCommand);
  if (len < kModuleWriteLen[cmd]) return refuse(kErrBadLength);
  switch (cmd) {
    case w::fc::kSerialNumber:
      s.serial = w::get_le32(d);
      break;
    case w::fc::kLedMode:
      s.led_mode = d[0];
      break;
    default:
      s.led_state = d[0];
      break;
  }
  return Answer{};
}

Answer write_port(PortState &p, uint8_t cmd, const uint8_t *d, size_t len) {
  if (cmd >= sizeof kPortWriteLen / sizeof kPortWriteLen[0]) return refuse(kErrUnknownCommand);
  if (len < kPortWriteLen[cmd]) return refuse(kErrBadLength);
  switch (cmd) {
    case w::fc::kWriteReinit:
      ++p.reinit_count;
      break;
    case w::fc::kWriteOpMode:
      p.enable = w::get_le16(d);
      p.bus_mode = w::get_le16(d + 2);
      p.iso_mode = w::get_le16(d + 4);
      break;
    case w::fc::kWriteBitRates:
      p.arb_bitrate = w::get_le32(d);
      p.data_bitrate = w::get_le32(d + 4);
      p.arb_sp = w::get_le16(d + 8);
      p.data_sp = w::get_le16(d + 10);
      break;
    case w::fc::kWriteGlobalFilter:
      p.gfc = w::get_le32(d);
      break;
    case w::fc::kWriteStdListSize: {
      const uint16_t n = w::get_le16(d);
      if (n > kMaxStdList) return refuse(kErrBadValue);
      p.std_list_size = n;
      break;
    }
    case w::fc::kWriteExtListSize: {
      const uint16_t n = w::get_le16(d);
      if (n > kMaxExtList) return refuse(kErrBadValue);
      p.ext_list_size = n;
      break;
    }
    case w::fc::kWriteStdFilters:
      load_words(p.std_elems, d, 64);
      break;
    case w::fc::kWriteStdFilters + 1:
      load_words(p.std_elems + 64, d, 64);
      break;
    case w::fc::kWriteExtFilters:
      load_words(p.ext_elems, d, 64);
      break;
    case w::fc::kWriteExtFilters + 1:
      load_words(p.ext_elems + 64, d, 64);
      break;
    case w::fc::kWriteHwSendMode:
      p.hw_mode = d[0];
      break;
    default:
      std::memcpy(p.hw_record, d, sizeof p.hw_record);
      break;
  }
  return Answer{};
}

}  // namespace

Answer read_command(const ModuleState &s, uint16_t fc) {
  const uint8_t port = w::fc::port_of(fc), cmd = w::fc::command_of(fc);
  if (port == 0) return read_module(s, cmd);
  if (port > 2) return refuse(kErrUnknownCommand);
  return read_port(s.port[port - 1], cmd);
}

Answer write_command(ModuleState &s, uint16_t fc, const uint8_t *data, size_t len) {
  const uint8_t port = w::fc::port_of(fc), cmd = w::fc::command_of(fc);
  if (port == 0) return write_module(s, cmd, data, len);
  if (port > 2) return refuse(kErrUnknownCommand);
  return write_port(s.port[port - 1], cmd, data, len);
}

std::vector<uint8_t> answer_packet(uint16_t fc, const Answer &a) {
  const std::vector<uint8_t> refused{a.code};
  const std::vector<uint8_t> &data = a.done ? a.data : refused;
  std::vector<uint8_t> pkt(CANFD_HEADER_SIZE + data.size());
  w::put_header(pkt.data(), a.done ? CANFD_OP_DONE : CANFD_OP_FAIL, fc,
                static_cast<uint16_t>(data.size()));
  if (!data.empty()) std::memcpy(pkt.data() + CANFD_HEADER_SIZE, data.data(), data.size());
  return pkt;
}

void tx_to_rx(const uint8_t *tx, uint32_t sec, uint32_t usec, uint8_t *rx) {
  std::memcpy(rx, tx, w::kTxRecordSize);
  // Only dlc, brs and fdf pass; the frame type code (eve) of a frame taken
  // from the bus is 0.
  w::put_le16(rx + w::kRecCtrl, w::get_le16(tx + w::kRecCtrl) & 0x3F);
  if (w::get_le16(tx + w::kRecSize) > w::kMaxData) w::put_le16(rx + w::kRecSize, w::kMaxData);
  w::put_le32(rx + w::kRecSecond, sec);
  w::put_le32(rx + w::kRecUsecond, usec);
}

bool accepts(const PortState &p, const uint8_t *rx) {
  const uint32_t word = w::get_le32(rx + w::kRecIdWord);
  const bool ext = word & w::kXtdBit;
  if (word & w::kRtrBit) {
    if (ext ? w::gfc_reject_rfe(p.gfc) : w::gfc_reject_rfs(p.gfc)) return false;
  }
  if (!ext) {
    if (p.std_list_size == 0) return true;
    const uint32_t id = (word >> w::kStdIdShift) & w::kStdIdMask;
    const unsigned n = p.std_list_size < kMaxStdList ? p.std_list_size : kMaxStdList;
    for (unsigned i = 0; i < n; ++i) {
      if (w::std_element_id1(p.std_elems[i]) <= id && id <= w::std_element_id2(p.std_elems[i]))
        return true;
    }
    return false;
  }
  if (p.ext_list_size == 0) return true;
  const uint32_t id = word & w::kIdMask;
  const unsigned n = p.ext_list_size < kMaxExtList ? p.ext_list_size : kMaxExtList;
  for (unsigned i = 0; i < n; ++i) {
    const uint32_t id1 = p.ext_elems[2 * i] & w::kIdMask;
    const uint32_t id2 = p.ext_elems[2 * i + 1] & w::kIdMask;
    if (id1 <= id && id <= id2) return true;
  }
  return false;
}

bool hw_record_set(const PortState &p) {
  for (uint8_t b : p.hw_record)
    if (b) return true;
  return false;
}

}  // namespace canfd_sim::model

namespace canfd_sim {

CANRxPacketStruct make_rx_record(uint32_t id, bool ext, bool rtr, bool fd, bool brs, uint8_t dlc,
                                 const uint8_t *data, uint32_t sec, uint32_t usec) {
  namespace w = canfd::wire;
  uint8_t b[w::kRxRecordSize] = {};
  uint32_t word = ext ? (id & w::kIdMask) | w::kXtdBit : (id & w::kStdIdMask) << w::kStdIdShift;
  if (rtr) word |= w::kRtrBit;
  dlc &= 0xF;
  const uint8_t size = w::kDlcToBytes[dlc];
  w::put_le32(b + w::kRecIdWord, word);
  w::put_le16(b + w::kRecCtrl,
              static_cast<uint16_t>(dlc | (brs ? 1u << 4 : 0u) | (fd ? 1u << 5 : 0u)));
  w::put_le16(b + w::kRecSize, size);
  if (data && size) std::memcpy(b + w::kRecData, data, size);
  w::put_le32(b + w::kRecSecond, sec);
  w::put_le32(b + w::kRecUsecond, usec);
  CANRxPacketStruct r;
  std::memcpy(&r, b, sizeof r);
  return r;
}

}  // namespace canfd_sim
