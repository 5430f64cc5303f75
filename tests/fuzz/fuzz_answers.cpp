// Fuzz target: the decoding of every command answer. An answer packet of any
// bytes reaches a command as the exchange hands it over (cut to the slot,
// zeros after its length); its result and the values decoded from it must be
// in range, and decoding what the encoders make of decoded values gives
// them back. Then the round trip through the simulated adapter's command
// model: values from the input, written with the library's encoders, read
// back from the model's answers with the library's decoders, are the values
// written (as far as the wire keeps them).
#include <vector>

#include "fuzz.h"
#include "internal.h"
#include "model.h"

namespace {

namespace core = canfd::core;
namespace w = canfd::wire;
namespace fc = canfd::wire::fc;
namespace model = canfd_sim::model;
using canfd_fuzz::Input;

// The answer as a command sees it: the packet's length and header cut to the
// response slot, zeros after; the slot is exactly the packet's size.
canfd_fuzz::Exact<CANFD_PACKET_MAX> answer_buffer;

const BYTE *as_handed_over(const BYTE *pkt, size_t n) {
  BYTE *answer = answer_buffer.open(CANFD_PACKET_MAX);
  std::memset(answer, 0, CANFD_PACKET_MAX);
  size_t copy = static_cast<size_t>(w::get_le16(pkt + w::kHdrLen)) + CANFD_HEADER_SIZE;
  if (copy > n) copy = n;  // bytes beyond those read are zeros anyway
  std::memcpy(answer, pkt, copy);
  return answer;
}

// The answers of the read commands: each decodes to fields in range, and
// re-encoding is lossless where the wire keeps every bit.
enum Kind {
  kFwVersion,
  kInitPin,
  kRxFps,
  kHwSendMode,
  kOpMode,
  kStatus,
  kBitRates,
  kGlobalFilter,
  kStdFilters0,
  kStdFilters1,
  kExtFilters0,
  kExtFilters1,
  kKinds
};

void decode(int kind, const BYTE *p) {
  switch (kind) {
    case kFwVersion:
      FUZZ_CHECK(core::decode_fw_version(p) == (p[0] | p[1] << 8));
      break;
    case kInitPin:
      FUZZ_CHECK(core::decode_init_pin(p) == p[0]);
      break;
    case kRxFps:
      FUZZ_CHECK(core::decode_rx_fps(p) == (p[0] | p[1] << 8));
      break;
    case kHwSendMode:
      FUZZ_CHECK(core::decode_hw_send_mode(p) == p[0]);
      break;
    case kOpMode: {
      BYTE mode[w::kOpModeSize];
      core::encode_op_mode(core::decode_op_mode(p), mode);
      FUZZ_CHECK(std::memcmp(mode, p, sizeof mode) == 0);
      break;
    }
    case kStatus: {
      const core::PortStatus s = core::decode_status(p);
      FUZZ_CHECK(s.status == w::get_le32(p) && s.counters == w::get_le32(p + 4) &&
                 s.buffers == w::get_le32(p + 8));
      const core::BusState b = core::decode_bus_state(p);
      FUZZ_CHECK(b.state <= CANFD_BUS_OFF);
      FUZZ_CHECK(b.tx_errors == (s.counters & 0xFF) && b.rx_errors == (s.counters >> 8 & 0x7F));
      FUZZ_CHECK((b.state == CANFD_BUS_OFF) == ((s.status & w::kStatusBusOff) != 0));
      const DWORD errors = w::kStatusBusOff | w::kStatusErrorPassive | w::kStatusErrorWarning;
      FUZZ_CHECK((b.state == CANFD_BUS_ERROR_ACTIVE) == ((s.status & errors) == 0));
      break;
    }
    case kBitRates: {
      BYTE rates[w::kBitRatesSize];
      core::encode_bit_rates(core::decode_bit_rates(p), rates);
      FUZZ_CHECK(std::memcmp(rates, p, sizeof rates) == 0);
      break;
    }
    case kGlobalFilter: {
      const core::GlobalFilter g = core::decode_global_filter(p);
      FUZZ_CHECK(g.reject_rfs <= 1 && g.reject_rfe <= 1);
      FUZZ_CHECK(w::pack_gfc(g.reject_rfs, g.reject_rfe) == (w::get_le32(p) & 3));
      FUZZ_CHECK(g.std_list_size == w::get_le16(p + 4) && g.ext_list_size == w::get_le16(p + 6));
      break;
    }
    case kStdFilters0:
    case kStdFilters1: {
      const int half = kind - kStdFilters0;
      WORD id1[w::kStdFilterElements], id2[w::kStdFilterElements];
      core::decode_std_filter_half(p, half, id1, id2);
      BYTE again[w::kFilterHalfBytes];
      core::encode_std_filter_half(id1, id2, w::kStdFilterElements, half, again);
      for (int i = 0; i < w::kStdElementsPerHalf; ++i) {
        const int k = w::kStdElementsPerHalf * half + i;
        FUZZ_CHECK(id1[k] <= w::kStdIdMask && id2[k] <= w::kStdIdMask);
        // The identifiers survive, the configuration bits are the library's.
        FUZZ_CHECK(w::get_le32(again + 4 * i) ==
                   ((w::get_le32(p + 4 * i) & 0x07FF07FF) | w::kStdFilterSpec));
      }
      break;
    }
    case kExtFilters0:
    case kExtFilters1: {
      const int half = kind - kExtFilters0;
      DWORD id1[w::kExtFilterElements], id2[w::kExtFilterElements];
      core::decode_ext_filter_half(p, half, id1, id2);
      BYTE again[w::kFilterHalfBytes];
      core::encode_ext_filter_half(id1, id2, w::kExtFilterElements, half, again);
      for (int i = 0; i < w::kExtElementsPerHalf; ++i) {
        const int k = w::kExtElementsPerHalf * half + i;
        FUZZ_CHECK(id1[k] <= w::kIdMask && id2[k] <= w::kIdMask);
        FUZZ_CHECK(w::get_le32(again + 8 * i) ==
                   ((w::get_le32(p + 8 * i) & w::kIdMask) | w::kExtFilterEfec));
        FUZZ_CHECK(w::get_le32(again + 8 * i + 4) == (w::get_le32(p + 8 * i + 4) & w::kIdMask));
      }
      break;
    }
    default:
      break;
  }
}

// An answer of the model, as the library takes it: its result and payload.
int exchange(const model::Answer &ans, WORD code, const BYTE **payload) {
  const std::vector<uint8_t> pkt = model::answer_packet(code, ans);
  const BYTE *answer = as_handed_over(pkt.data(), pkt.size());
  *payload = answer + CANFD_HEADER_SIZE;
  return core::answer_result(answer);
}

int write(canfd_sim::ModuleState &st, WORD code, const BYTE *data, size_t len) {
  const BYTE *p;
  return exchange(model::write_command(st, code, data, len), code, &p);
}

const BYTE *read(const canfd_sim::ModuleState &st, WORD code) {
  const BYTE *p;
  FUZZ_CHECK(exchange(model::read_command(st, code), code, &p) == 0);
  return p;
}

// One setting written and read back through the model.
void round_trip(int which, Input &in) {
  canfd_sim::ModuleState st;
  const BYTE port = in.flag() ? 2 : 1;
  auto code = [port](BYTE number) { return fc::port(port, number); };
  switch (which) {
    case 0: {
      const core::OpMode m{in.u16(), in.u16(), in.u16()};
      BYTE mode[w::kOpModeSize];
      core::encode_op_mode(m, mode);
      FUZZ_CHECK(write(st, code(fc::kWriteOpMode), mode, sizeof mode) == 0);
      const core::OpMode m2 = core::decode_op_mode(read(st, code(fc::kReadOpMode)));
      FUZZ_CHECK(m2.enable == m.enable && m2.bus_mode == m.bus_mode && m2.iso_mode == m.iso_mode);
      break;
    }
    case 1: {
      const core::BitRates r{in.u32(), in.u32(), in.u16(), in.u16()};
      BYTE rates[w::kBitRatesSize];
      core::encode_bit_rates(r, rates);
      // A write cut short is refused with the adapter's code, which is the
      // command's result; the whole one is taken.
      const BYTE cut = in.u8() % (w::kBitRatesSize + 1);
      FUZZ_CHECK(write(st, code(fc::kWriteBitRates), rates, cut) ==
                 (cut < w::kBitRatesSize ? canfd_sim::kErrBadLength : 0));
      if (cut < w::kBitRatesSize) break;
      const core::BitRates r2 = core::decode_bit_rates(read(st, code(fc::kReadBitRates)));
      FUZZ_CHECK(r2.arbitration == r.arbitration && r2.data == r.data &&
                 r2.arbitration_sp == r.arbitration_sp && r2.data_sp == r.data_sp);
      break;
    }
    case 2: {
      const BYTE rfs = in.u8(), rfe = in.u8();
      BYTE gfc[4];
      w::put_le32(gfc, w::pack_gfc(rfs, rfe));
      FUZZ_CHECK(write(st, code(fc::kWriteGlobalFilter), gfc, sizeof gfc) == 0);
      // List sizes: the adapter refuses sizes beyond its lists with its code.
      const WORD std_size = in.u16() % 192, ext_size = in.u16() % 96;
      BYTE size[2];
      w::put_le16(size, std_size);
      FUZZ_CHECK(write(st, code(fc::kWriteStdListSize), size, 2) ==
                 (std_size <= w::kStdFilterElements ? 0 : canfd_sim::kErrBadValue));
      w::put_le16(size, ext_size);
      FUZZ_CHECK(write(st, code(fc::kWriteExtListSize), size, 2) ==
                 (ext_size <= w::kExtFilterElements ? 0 : canfd_sim::kErrBadValue));
      const core::GlobalFilter g =
          core::decode_global_filter(read(st, code(fc::kReadGlobalFilter)));
      FUZZ_CHECK(g.reject_rfs == (rfs != 0) && g.reject_rfe == (rfe != 0));
      FUZZ_CHECK(g.std_list_size == (std_size <= w::kStdFilterElements ? std_size : 0));
      FUZZ_CHECK(g.ext_list_size == (ext_size <= w::kExtFilterElements ? ext_size : 0));
      break;
    }
    default: {
      const BYTE hw = in.u8() ? 1 : 0;
      FUZZ_CHECK(write(st, code(fc::kWriteHwSendMode), &hw, 1) == 0);
      FUZZ_CHECK(core::decode_hw_send_mode(read(st, code(fc::kReadHwSendMode))) == hw);
      break;
    }
  }
}

}  // namespace

// Input: which answer (a read command's, or a setting's round trip), then a
// report's bytes as the answer (its length first), or the setting's values.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  const int kind = in.u8() % (kKinds + 4);
  if (kind >= kKinds) {
    round_trip(kind - kKinds, in);
    return 0;
  }
  const size_t n = in.range(CANFD_HEADER_SIZE, CANFD_PACKET_MAX);
  BYTE pkt[CANFD_PACKET_MAX] = {0};
  in.take(pkt, n);
  const BYTE *answer = as_handed_over(pkt, n);
  const int rc = core::answer_result(answer);
  FUZZ_CHECK(rc >= 0 && rc <= 255);
  FUZZ_CHECK((rc == 0) ==
             (answer[w::kHdrOpcode] == CANFD_OP_DONE || answer[CANFD_HEADER_SIZE] == 0));
  // A short answer reads as zeros after its length.
  const size_t len = w::get_le16(answer + w::kHdrLen);
  for (size_t i = CANFD_HEADER_SIZE + len; i < CANFD_PACKET_MAX; ++i) FUZZ_CHECK(answer[i] == 0);
  decode(kind, answer + CANFD_HEADER_SIZE);
  return 0;
}
