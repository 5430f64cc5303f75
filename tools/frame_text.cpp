#include "frame_text.h"

#include <fmt/format.h>

namespace canfd_tool {

namespace {

constexpr uint32_t kErrorFrameFlag = 0x20000000;  // marks an error frame in an 8-digit id

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

[[noreturn]] void bad(const std::string &why) { throw FrameSyntaxError(why); }

std::string shown(char c) { return c == '\0' ? "end of frame" : fmt::format("'{}'", c); }

}  // namespace

canfd::Frame parse_frame(std::string_view s) {
  canfd::Frame f;
  size_t digits;
  if (s.size() >= 4 && s[3] == '#')
    digits = 3;
  else if (s.size() >= 9 && s[8] == '#')
    digits = 8;
  else
    bad("expected 3 (standard) or 8 (extended) hex digits of identifier, then '#'");
  for (size_t i = 0; i < digits; ++i) {
    const int n = nibble(s[i]);
    if (n < 0) bad(fmt::format("identifier digit '{}' is not hexadecimal", s[i]));
    f.id = f.id << 4 | static_cast<uint32_t>(n);
  }
  if (digits == 3) {
    if (f.id > canfd::kStdIdMask)
      bad(fmt::format("standard identifier {:03X} is above 7FF (use 8 digits for extended)", f.id));
  } else {
    if (f.id & kErrorFrameFlag) bad("identifier has the error frame bit 20000000: cannot send");
    if (f.id > canfd::kExtIdMask)
      bad(fmt::format("extended identifier {:08X} is above 1FFFFFFF", f.id));
    f.extended = true;
  }

  size_t i = digits + 1;
  auto at = [&](size_t k) { return k < s.size() ? s[k] : '\0'; };

  if (at(i) == 'R' || at(i) == 'r') {
    f.remote = true;
    ++i;
    if (i < s.size()) {
      const int n = nibble(s[i]);
      if (n < 0 || n > 8) bad(fmt::format("remote frame length {} is not 0 to 8", shown(s[i])));
      f.dlc = static_cast<uint8_t>(n);
      ++i;
    }
    if (at(i) == '_') bad("DLC codes 9 to F for classic frames are not supported");
    if (i < s.size()) bad(fmt::format("unexpected {} after the remote frame length", shown(s[i])));
    return f;
  }

  size_t max = 8;
  if (at(i) == '#') {
    const int flags = nibble(at(i + 1));
    if (flags < 0)
      bad(fmt::format("expected a flags digit after '##' (0-F: 1 BRS, 2 ESI), not {}",
                      shown(at(i + 1))));
    f.fd = true;
    f.brs = flags & 1;
    f.esi = flags & 2;
    max = canfd::kMaxDataLen;
    i += 2;
  }

  size_t len = 0;
  for (;;) {
    if (at(i) == '.') ++i;
    if (i >= s.size()) break;
    if (len == max) {
      if (!f.fd && at(i) == '_') bad("DLC codes 9 to F for classic frames are not supported");
      bad(f.fd ? "more than 64 data bytes"
               : "more than 8 data bytes (CAN FD frames take '##' and a flags digit)");
    }
    const int hi = nibble(s[i]);
    if (hi < 0) bad(fmt::format("data digit {} is not hexadecimal", shown(s[i])));
    const int lo = nibble(at(i + 1));
    if (lo < 0) {
      if (at(i + 1) == '\0') bad("odd number of hex digits in the data");
      bad(fmt::format("data digit {} is not hexadecimal", shown(at(i + 1))));
    }
    f.data[len++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  f.dlc = f.fd ? canfd::len_to_dlc(len) : static_cast<uint8_t>(len);
  return f;
}

std::string compact(const canfd::Frame &f) {
  fmt::memory_buffer out;
  if (f.extended)
    fmt::format_to(std::back_inserter(out), "{:08X}#", f.id);
  else
    fmt::format_to(std::back_inserter(out), "{:03X}#", f.id);
  if (f.remote && !f.fd) {
    out.push_back('R');
    if (f.dlc != 0) fmt::format_to(std::back_inserter(out), "{}", f.size());
    return fmt::to_string(out);
  }
  if (f.fd) fmt::format_to(std::back_inserter(out), "#{:X}", (f.brs ? 1 : 0) | (f.esi ? 2 : 0));
  for (size_t k = 0; k < f.size(); ++k)
    fmt::format_to(std::back_inserter(out), "{:02X}", f.data[k]);
  return fmt::to_string(out);
}

std::string long_form(const canfd::Frame &f, bool indent_std) {
  fmt::memory_buffer out;
  auto it = std::back_inserter(out);
  if (f.extended)
    fmt::format_to(it, "{:08X}  ", f.id);
  else
    fmt::format_to(it, "{}{:03X}  ", indent_std ? "     " : "", f.id);
  if (f.fd)
    fmt::format_to(it, "[{:02}]  ", f.size());
  else
    fmt::format_to(it, " [{}]  ", f.size());
  if (f.remote && !f.fd) {
    fmt::format_to(it, "remote request");
  } else {
    for (size_t k = 0; k < f.size(); ++k) fmt::format_to(it, k ? " {:02X}" : "{:02X}", f.data[k]);
  }
  return fmt::to_string(out);
}

std::string port_name(uint32_t bid, unsigned port) {
  return fmt::format("canfd-{:08X}-{}", bid, port);
}

}  // namespace canfd_tool
