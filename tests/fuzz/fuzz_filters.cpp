// Fuzz target: packing of the acceptance filter lists and the global filter.
// Lists of any size up to their length, in arrays of exactly that size (an
// element read past the list is caught), go out in two halves as the write
// commands carry them. Invariants: every element word carries the filter's
// configuration bits and the list's identifiers (masked to their width),
// and 0 to 0 after the list; and the simulated adapter, given the halves and the list
// size, accepts exactly the frames the list names, and refuses the remote
// frames the global filter rejects.
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

template <class T>
std::vector<T> ids(Input &in, size_t n) {
  std::vector<T> v(n);
  for (T &x : v) x = sizeof(T) == 2 ? static_cast<T>(in.u16()) : static_cast<T>(in.u32());
  return v;
}

// The list's identifier ranges as the caller gave them, masked.
bool listed(uint32_t id, const std::vector<uint32_t> &lo, const std::vector<uint32_t> &hi) {
  if (lo.empty()) return true;
  for (size_t i = 0; i < lo.size(); ++i)
    if (lo[i] <= id && id <= hi[i]) return true;
  return false;
}

void send(canfd_sim::ModuleState &st, WORD code, const BYTE *data, size_t len) {
  const model::Answer a = model::write_command(st, code, data, len);
  FUZZ_CHECK(a.done);
}

}  // namespace

// Input: port, global filter, which list and its size, the list, then
// frames to filter.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  const uint8_t how = in.u8();
  const BYTE port = how & 1 ? 2 : 1;
  const bool ext = how & 2;
  const BYTE rfs = how & 4, rfe = how & 8;
  const WORD list_size =
      static_cast<WORD>(in.range(0, ext ? w::kExtFilterElements : w::kStdFilterElements));
  // Exactly the list's elements on the heap (none for an empty list).
  const std::vector<WORD> s1 = ids<WORD>(in, ext ? 0 : list_size);
  const std::vector<WORD> s2 = ids<WORD>(in, ext ? 0 : list_size);
  const std::vector<DWORD> e1 = ids<DWORD>(in, ext ? list_size : 0);
  const std::vector<DWORD> e2 = ids<DWORD>(in, ext ? list_size : 0);

  canfd_sim::ModuleState st;
  BYTE gfc[4];
  w::put_le32(gfc, w::pack_gfc(rfs, rfe));
  send(st, fc::port(port, fc::kWriteGlobalFilter), gfc, sizeof gfc);

  std::vector<uint32_t> lo, hi;
  lo.reserve(list_size);
  hi.reserve(list_size);
  for (WORD i = 0; i < list_size; ++i) {
    lo.push_back(ext ? e1[i] & w::kIdMask : s1[i] & w::kStdIdMask);
    hi.push_back(ext ? e2[i] & w::kIdMask : s2[i] & w::kStdIdMask);
  }

  // Each half: the list's elements from its first index, packed with the
  // configuration bits, then 0 to 0 (the words are read here directly; the
  // decoders are fuzz_answers' subject).
  for (int half = 0; half < 2; ++half) {
    BYTE out[w::kFilterHalfBytes];
    if (!ext) {
      core::encode_std_filter_half(s1.data(), s2.data(), list_size, half, out);
      for (int i = 0; i < w::kStdElementsPerHalf; ++i) {
        const int k = w::kStdElementsPerHalf * half + i;
        const DWORD ids = k < list_size ? lo[k] << 16 | hi[k] : 0;
        FUZZ_CHECK(w::get_le32(out + 4 * i) == (w::kStdFilterSpec | ids));
      }
      send(st, fc::port(port, static_cast<BYTE>(fc::kWriteStdFilters + half)), out, sizeof out);
    } else {
      core::encode_ext_filter_half(e1.data(), e2.data(), list_size, half, out);
      for (int i = 0; i < w::kExtElementsPerHalf; ++i) {
        const int k = w::kExtElementsPerHalf * half + i;
        FUZZ_CHECK(w::get_le32(out + 8 * i) == (w::kExtFilterEfec | (k < list_size ? lo[k] : 0)));
        FUZZ_CHECK(w::get_le32(out + 8 * i + 4) == (k < list_size ? hi[k] : 0));
      }
      send(st, fc::port(port, static_cast<BYTE>(fc::kWriteExtFilters + half)), out, sizeof out);
    }
  }
  BYTE size_word[2];
  w::put_le16(size_word, list_size);
  send(st, fc::port(port, ext ? fc::kWriteExtListSize : fc::kWriteStdListSize), size_word, 2);

  // Frames through the adapter's filters: identifiers near the list's
  // bounds and anywhere (a few per list). The other kind of frame passes its
  // empty list.
  const canfd_sim::PortState &p = st.port[port - 1];
  const std::vector<uint32_t> none;
  for (int frames = 0; frames < 16 && !in.empty(); ++frames) {
    const uint8_t f = in.u8();
    const bool f_ext = f & 1, rtr = f & 2;
    const std::vector<uint32_t> &flo = f_ext == ext ? lo : none;
    const std::vector<uint32_t> &fhi = f_ext == ext ? hi : none;
    uint32_t id = in.u32();
    if (f & 4 && !flo.empty()) id = ((f & 8) ? fhi : flo)[id % flo.size()] + (f >> 4) % 3 - 1;
    id &= f_ext ? w::kIdMask : w::kStdIdMask;
    const CANRxPacketStruct r = canfd_sim::make_rx_record(id, f_ext, rtr, false, false, 0, nullptr);
    const bool rejected_remote = rtr && (f_ext ? rfe : rfs);
    FUZZ_CHECK(model::accepts(p, reinterpret_cast<const uint8_t *>(&r)) ==
               (!rejected_remote && listed(id, flo, fhi)));
  }
  return 0;
}
