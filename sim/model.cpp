#include "model.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "protocol.h"

namespace canfd_sim::model {

namespace pr = protocol;
namespace fc = protocol::fc;
namespace pl = protocol::payload;

namespace {

// Words of the filter lists (an extended element is two).
constexpr size_t kWordsPerHalf = pl::kFilterHalfSize / sizeof(uint32_t);

Answer refuse(uint8_t code) {
  Answer a;
  a.done = false;
  a.code = code;
  return a;
}

// The data of an answer of n bytes, filled field by field at their offsets.
struct Fields {
  explicit Fields(size_t n) : bytes(n) {}
  std::vector<uint8_t> bytes;
  Fields &u8(size_t at, uint8_t v) {
    bytes[at] = v;
    return *this;
  }
  Fields &u16(size_t at, uint16_t v) {
    pr::put_u16(bytes.data() + at, v);
    return *this;
  }
  Fields &u32(size_t at, uint32_t v) {
    pr::put_u32(bytes.data() + at, v);
    return *this;
  }
  Answer done() {
    Answer a;
    a.data = std::move(bytes);
    return a;
  }
};

Answer words(const uint32_t *v) {
  Fields f(pl::kFilterHalfSize);
  for (size_t i = 0; i < kWordsPerHalf; ++i) f.u32(sizeof(uint32_t) * i, v[i]);
  return f.done();
}

void load_words(uint32_t *v, const uint8_t *data) {
  for (size_t i = 0; i < kWordsPerHalf; ++i) v[i] = pr::get_u32(data + sizeof(uint32_t) * i);
}

Answer read_module(const ModuleState &s, uint8_t cmd) {
  switch (cmd) {
    case fc::kFwVersion:
      return Fields(pl::kFwVersionSize).u16(0, s.fw_version).done();
    case fc::kInitPin:
      return Fields(pl::kInitPinSize).u8(0, s.init_pin).done();
    default:
      return refuse(kErrUnknownCommand);
  }
}

Answer read_port(const PortState &p, uint8_t cmd) {
  switch (cmd) {
    case fc::kReadOpMode:
      return Fields(pl::kOpModeSize)
          .u16(pl::kOpEnable, p.enable)
          .u16(pl::kOpBusMode, p.bus_mode)
          .u16(pl::kOpIsoMode, p.iso_mode)
          .done();
    case fc::kReadStatus:
      return Fields(pl::kStatusSize)
          .u32(pl::kStatusWord, p.status)
          .u32(pl::kErrorCounters, p.err_cnt)
          .u32(pl::kBufferStatus, p.buf_status)
          .done();
    case fc::kReadBitRates:
      return Fields(pl::kBitRatesSize)
          .u32(pl::kArbBitrate, p.arb_bitrate)
          .u32(pl::kDataBitrate, p.data_bitrate)
          .u16(pl::kArbSamplePoint, p.arb_sp)
          .u16(pl::kDataSamplePoint, p.data_sp)
          .done();
    case fc::kReadGlobalFilter:
      return Fields(pl::kGlobalFilterSize)
          .u32(pl::kGfcWord, p.gfc)
          .u16(pl::kStdListSize, p.std_list_size)
          .u16(pl::kExtListSize, p.ext_list_size)
          .done();
    case fc::kReadStdFiltersLow:
      return words(p.std_elems);
    case fc::kReadStdFiltersHigh:
      return words(p.std_elems + kWordsPerHalf);
    case fc::kReadExtFiltersLow:
      return words(p.ext_elems);
    case fc::kReadExtFiltersHigh:
      return words(p.ext_elems + kWordsPerHalf);
    case fc::kReadRxFps:
      return Fields(pl::kRxFpsSize).u16(0, p.rx_fps).done();
    case fc::kReadHwSendMode:
      return Fields(pl::kHwSendModeSize).u8(0, p.hw_mode).done();
    default:
      return refuse(kErrUnknownCommand);
  }
}

// Payload bytes a write needs; -1 for a command the adapter does not serve.
int module_write_size(uint8_t cmd) {
  switch (cmd) {
    case fc::kSerialNumber:
      return pl::kSerialNumberSize;
    case fc::kLedMode:
    case fc::kLedState:
      return pl::kLedSize;
    default:
      return -1;
  }
}

int port_write_size(uint8_t cmd) {
  switch (cmd) {
    case fc::kWriteReinit:
      return 0;
    case fc::kWriteOpMode:
      return pl::kOpModeSize;
    case fc::kWriteBitRates:
      return pl::kBitRatesSize;
    case fc::kWriteGlobalFilter:
      return pl::kGfcSize;
    case fc::kWriteStdListSize:
    case fc::kWriteExtListSize:
      return pl::kListSizeSize;
    case fc::kWriteStdFiltersLow:
    case fc::kWriteStdFiltersHigh:
    case fc::kWriteExtFiltersLow:
    case fc::kWriteExtFiltersHigh:
      return pl::kFilterHalfSize;
    case fc::kWriteHwSendMode:
      return pl::kHwSendModeSize;
    case fc::kWriteHwSendRecord:
      return pr::kHwRecordSize;
    default:
      return -1;
  }
}

// Why a write that needs `need` payload bytes (-1: not served) and got len
// is refused, if it is.
std::optional<Answer> refusal(int need, size_t len) {
  if (need < 0) return refuse(kErrUnknownCommand);
  if (len < static_cast<size_t>(need)) return refuse(kErrBadLength);
  return std::nullopt;
}

Answer write_module(ModuleState &s, uint8_t cmd, const uint8_t *d, size_t len) {
  if (auto r = refusal(module_write_size(cmd), len)) return *r;
  switch (cmd) {
    case fc::kSerialNumber:
      s.serial = pr::get_u32(d);
      break;
    case fc::kLedMode:
      s.led_mode = d[0];
      break;
    default:
      s.led_state = d[0];
      break;
  }
  return Answer{};
}

Answer write_port(PortState &p, uint8_t cmd, const uint8_t *d, size_t len) {
  if (auto r = refusal(port_write_size(cmd), len)) return *r;
  switch (cmd) {
    case fc::kWriteReinit:
      ++p.reinit_count;
      break;
    case fc::kWriteOpMode:
      p.enable = pr::get_u16(d + pl::kOpEnable);
      p.bus_mode = pr::get_u16(d + pl::kOpBusMode);
      p.iso_mode = pr::get_u16(d + pl::kOpIsoMode);
      break;
    case fc::kWriteBitRates:
      p.arb_bitrate = pr::get_u32(d + pl::kArbBitrate);
      p.data_bitrate = pr::get_u32(d + pl::kDataBitrate);
      p.arb_sp = pr::get_u16(d + pl::kArbSamplePoint);
      p.data_sp = pr::get_u16(d + pl::kDataSamplePoint);
      break;
    case fc::kWriteGlobalFilter:
      p.gfc = pr::get_u32(d + pl::kGfcWord);
      break;
    case fc::kWriteStdListSize: {
      const uint16_t n = pr::get_u16(d);
      if (n > pr::kStdFilterElements) return refuse(kErrBadValue);
      p.std_list_size = n;
      break;
    }
    case fc::kWriteExtListSize: {
      const uint16_t n = pr::get_u16(d);
      if (n > pr::kExtFilterElements) return refuse(kErrBadValue);
      p.ext_list_size = n;
      break;
    }
    case fc::kWriteStdFiltersLow:
      load_words(p.std_elems, d);
      break;
    case fc::kWriteStdFiltersHigh:
      load_words(p.std_elems + kWordsPerHalf, d);
      break;
    case fc::kWriteExtFiltersLow:
      load_words(p.ext_elems, d);
      break;
    case fc::kWriteExtFiltersHigh:
      load_words(p.ext_elems + kWordsPerHalf, d);
      break;
    case fc::kWriteHwSendMode:
      p.hw_mode = d[0];
      break;
    default:
      std::memcpy(p.hw_record, d, sizeof p.hw_record);
      break;
  }
  return Answer{};
}

}  // namespace

Answer read_command(const ModuleState &s, uint16_t code) {
  const int port = fc::port_of(code);
  const uint8_t cmd = fc::command_of(code);
  if (port == 0) return read_module(s, cmd);
  if (port > 2) return refuse(kErrUnknownCommand);
  return read_port(s.port[port - 1], cmd);
}

Answer write_command(ModuleState &s, uint16_t code, const uint8_t *data, size_t len) {
  const int port = fc::port_of(code);
  const uint8_t cmd = fc::command_of(code);
  if (port == 0) return write_module(s, cmd, data, len);
  if (port > 2) return refuse(kErrUnknownCommand);
  return write_port(s.port[port - 1], cmd, data, len);
}

std::vector<uint8_t> answer_packet(uint16_t code, const Answer &a) {
  const std::vector<uint8_t> refused{a.code};
  const std::vector<uint8_t> &data = a.done ? a.data : refused;
  std::vector<uint8_t> pkt(pr::kHeaderSize + data.size());
  pr::put_header(pkt.data(), a.done ? pr::kOpDone : pr::kOpFail, code,
                 static_cast<uint16_t>(data.size()));
  if (!data.empty()) std::memcpy(pkt.data() + pr::kHeaderSize, data.data(), data.size());
  return pkt;
}

void tx_to_rx(const uint8_t *tx, uint32_t sec, uint32_t usec, uint8_t *rx) {
  std::memcpy(rx, tx, pr::kTxRecordSize);
  // Only dlc, brs and fdf pass; the frame type code (eve) of a frame taken
  // from the bus is 0.
  const uint16_t ctrl = pr::get_u16(tx + pr::kRecCtrl);
  pr::put_u16(rx + pr::kRecCtrl, ctrl & (pr::kDlcMask | pr::kBrsBit | pr::kFdfBit));
  if (pr::get_u16(tx + pr::kRecSize) > pr::kMaxData) pr::put_u16(rx + pr::kRecSize, pr::kMaxData);
  pr::put_u32(rx + pr::kRecSecond, sec);
  pr::put_u32(rx + pr::kRecUsecond, usec);
}

bool accepts(const PortState &p, const uint8_t *rx) {
  const pr::RecordHead h = pr::get_record_head(rx);
  if (h.rtr && (p.gfc & (h.ext ? pr::kGfcRejectRemoteExt : pr::kGfcRejectRemoteStd))) return false;
  if (!h.ext) {
    if (p.std_list_size == 0) return true;
    const size_t n = std::min<size_t>(p.std_list_size, pr::kStdFilterElements);
    for (size_t i = 0; i < n; ++i) {
      if (pr::std_element_id1(p.std_elems[i]) <= h.id &&
          h.id <= pr::std_element_id2(p.std_elems[i]))
        return true;
    }
    return false;
  }
  if (p.ext_list_size == 0) return true;
  const size_t n = std::min<size_t>(p.ext_list_size, pr::kExtFilterElements);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t id1 = pr::ext_element_id(p.ext_elems[2 * i]);
    const uint32_t id2 = pr::ext_element_id(p.ext_elems[2 * i + 1]);
    if (id1 <= h.id && h.id <= id2) return true;
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
  namespace pr = protocol;
  static_assert(sizeof(CANRxPacketStruct) == pr::kRxRecordSize, "received-frame record");
  uint8_t b[pr::kRxRecordSize] = {};
  pr::RecordHead h;
  h.id = id;
  h.ext = ext;
  h.rtr = rtr;
  h.fd = fd;
  h.brs = brs;
  h.dlc = static_cast<uint8_t>(dlc & pr::kDlcMask);
  h.size = pr::kDlcBytes[h.dlc];
  pr::put_record_head(b, h);
  if (data && h.size) std::memcpy(b + pr::kRecData, data, h.size);
  pr::put_u32(b + pr::kRecSecond, sec);
  pr::put_u32(b + pr::kRecUsecond, usec);
  CANRxPacketStruct r;
  std::memcpy(&r, b, sizeof r);
  return r;
}

}  // namespace canfd_sim
