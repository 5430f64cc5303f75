// Fuzz target: the tool's parser of frames as text (cansend's compact form).
// Any text is parsed; the result is compared with a plain reading of the
// syntax written here (same frames accepted, same frame read). An accepted
// frame has its fields in range and its data after the length zero; its
// compact form parses back to it; it is a frame the library's frame
// interface takes as it is, and encoding it to a transmitted-frame record
// and decoding that gives the frame back.
#include <optional>
#include <string>

#include "frame_text.h"
#include "fuzz.h"
#include "internal.h"

namespace {

namespace w = canfd::wire;
using canfd_tool::FrameSyntaxError;

// ---- A plain reading of the syntax ------------------------------------------

int hex(char c) {
  if ('0' <= c && c <= '9') return c - '0';
  if ('a' <= c && c <= 'f') return c - 'a' + 10;
  if ('A' <= c && c <= 'F') return c - 'A' + 10;
  return -1;
}

// <id>#<data>, <id>#R[len], <id>##<flags><data>; the id 3 hex digits up to
// 7FF or 8 up to 1FFFFFFF; data as hex pairs, each may follow one dot, and
// one dot may end them; classic frames carry up to 8 bytes, CAN FD frames
// up to 64 (padded with zeros to the next DLC length).
std::optional<canfd::Frame> reference(std::string_view s) {
  canfd::Frame f;
  const size_t hash = s.find('#');
  if (hash != 3 && hash != 8) return std::nullopt;
  for (size_t i = 0; i < hash; ++i) {
    if (hex(s[i]) < 0) return std::nullopt;
    f.id = f.id * 16 + static_cast<uint32_t>(hex(s[i]));
  }
  f.extended = hash == 8;
  if (f.id > (f.extended ? 0x1FFFFFFFu : 0x7FFu)) return std::nullopt;
  std::string_view rest = s.substr(hash + 1);
  if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
    f.remote = true;
    if (rest.size() == 1) return f;
    if (rest.size() > 2 || hex(rest[1]) < 0 || hex(rest[1]) > 8) return std::nullopt;
    f.dlc = static_cast<uint8_t>(hex(rest[1]));
    return f;
  }
  size_t max = 8;
  if (!rest.empty() && rest[0] == '#') {
    if (rest.size() < 2 || hex(rest[1]) < 0) return std::nullopt;
    f.fd = true;
    f.brs = hex(rest[1]) & 1;
    f.esi = hex(rest[1]) & 2;
    max = 64;
    rest.remove_prefix(2);
  }
  size_t n = 0;
  while (!rest.empty()) {
    if (rest[0] == '.') rest.remove_prefix(1);
    if (rest.empty()) break;
    if (rest.size() < 2 || hex(rest[0]) < 0 || hex(rest[1]) < 0 || n == max) return std::nullopt;
    f.data[n++] = static_cast<uint8_t>(hex(rest[0]) * 16 + hex(rest[1]));
    rest.remove_prefix(2);
  }
  f.dlc = f.fd ? canfd::len_to_dlc(n) : static_cast<uint8_t>(n);
  return f;
}

bool same(const canfd::Frame &a, const canfd::Frame &b) {
  return a.id == b.id && a.extended == b.extended && a.remote == b.remote && a.fd == b.fd &&
         a.brs == b.brs && a.esi == b.esi && a.dlc == b.dlc && a.data == b.data;
}

// A frame sent through the library: the frame interface's record, decoded.
canfd::Frame through_library(const canfd::Frame &f) {
  const CANFD_Frame_St c = f.to_c();
  FUZZ_CHECK(w::frame_valid(c));
  BYTE rec[w::kRxRecordSize] = {0};
  w::encode_frame(c, rec);
  CANFD_Frame_St back;
  w::decode_frame(rec, back);
  return canfd::Frame::from_c(back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  const std::optional<canfd::Frame> expect = reference(text);
  canfd::Frame f;
  try {
    f = canfd_tool::parse_frame(text);
  } catch (const FrameSyntaxError &e) {
    FUZZ_CHECK(!expect);
    FUZZ_CHECK(e.what()[0] != '\0');
    return 0;
  }
  FUZZ_CHECK(expect && same(f, *expect));

  FUZZ_CHECK(f.id <= (f.extended ? canfd::kExtIdMask : canfd::kStdIdMask));
  FUZZ_CHECK(f.fd ? f.dlc <= 15 : f.dlc <= 8);
  FUZZ_CHECK(!(f.fd && f.remote) && (f.fd || (!f.brs && !f.esi)));
  const size_t n = f.remote ? 0 : f.size();
  for (size_t i = n; i < canfd::kMaxDataLen; ++i) FUZZ_CHECK(f.data[i] == 0);

  const std::string c = canfd_tool::compact(f);
  FUZZ_CHECK(same(canfd_tool::parse_frame(c), f));
  // candump's layout: identifier, length and each data byte.
  const std::string l = canfd_tool::long_form(f, true);
  FUZZ_CHECK(l.size() >= 13 + (f.remote ? 0 : 3 * n) - (n ? 1 : 0));

  FUZZ_CHECK(same(through_library(f), f));
  return 0;
}
