#include "units.h"

#include <fmt/format.h>

namespace canfd_tool {

namespace {

// A decimal number with at most `decimals` places, scaled by 10^decimals;
// nullopt also when the scaled value does not fit in 64 bits.
std::optional<uint64_t> parse_fixed(std::string_view s, int decimals) {
  uint64_t v = 0;
  int places = -1;  // digits after the point; -1 before it
  bool any = false;
  for (char c : s) {
    if (c == '.' && places < 0) {
      places = 0;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (places >= decimals) return std::nullopt;
    if (places >= 0) ++places;
    if (v > (UINT64_MAX - 9) / 10) return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    any = true;
  }
  if (!any) return std::nullopt;
  for (int p = places < 0 ? 0 : places; p < decimals; ++p) {
    if (v > UINT64_MAX / 10) return std::nullopt;
    v *= 10;
  }
  return v;
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Trailing zeros of a fraction dropped: 80.00 -> 80, 87.50 -> 87.5.
std::string trim_fraction(uint64_t whole, uint64_t frac, int digits) {
  std::string f = fmt::format("{:0{}}", frac, digits);
  while (!f.empty() && f.back() == '0') f.pop_back();
  return f.empty() ? fmt::format("{}", whole) : fmt::format("{}.{}", whole, f);
}

}  // namespace

std::optional<uint32_t> parse_hex(std::string_view s, uint32_t max) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  if (s.empty() || s.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    int n;
    if (c >= '0' && c <= '9')
      n = c - '0';
    else if (c >= 'a' && c <= 'f')
      n = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      n = c - 'A' + 10;
    else
      return std::nullopt;
    v = v << 4 | static_cast<uint32_t>(n);
  }
  if (v > max) return std::nullopt;
  return v;
}

uint32_t parse_bitrate(std::string_view s) {
  const std::string given(s);
  uint64_t mult = 1;
  if (ends_with(s, "k") || ends_with(s, "K")) {
    mult = 1000;
    s.remove_suffix(1);
  } else if (ends_with(s, "M")) {
    mult = 1000000;
    s.remove_suffix(1);
  }
  const auto v = parse_fixed(s, 6);
  if (!v || *v == 0 || *v > UINT64_MAX / mult || *v * mult % 1000000 != 0 ||
      *v * mult / 1000000 > 0xFFFFFFFFu)
    throw ValueError(fmt::format(
        "'{}' is not a bit rate (a whole number of bit/s, such as 500000, 500k, 1M)", given));
  return static_cast<uint32_t>(*v * mult / 1000000);
}

uint16_t parse_sample_point(std::string_view s) {
  const std::string given(s);
  if (ends_with(s, "%")) s.remove_suffix(1);
  const auto v = parse_fixed(s, 2);
  if (!v || *v == 0 || *v > 10000)
    throw ValueError(fmt::format(
        "'{}' is not a sample point (a percentage above 0 and up to 100, such as 80% or 87.5%)",
        given));
  return static_cast<uint16_t>(*v);
}

uint64_t parse_duration_ms(std::string_view s) {
  const std::string given(s);
  uint64_t scale = 1000;  // seconds, with three decimals
  if (ends_with(s, "ms")) {
    scale = 1;
    s.remove_suffix(2);
  } else if (ends_with(s, "s")) {
    s.remove_suffix(1);
  }
  const auto v = parse_fixed(s, scale == 1 ? 0 : 3);
  if (!v || *v > 1000000000000ull)
    throw ValueError(fmt::format("'{}' is not a duration (such as 2, 2s, 1.5s or 500ms)", given));
  return *v;
}

std::vector<canfd::IdRange> parse_id_ranges(std::string_view s, uint32_t max) {
  std::vector<canfd::IdRange> out;
  const std::string limit = fmt::format("{:X}", max);
  while (true) {
    const size_t comma = s.find(',');
    const std::string_view item = s.substr(0, comma);
    const size_t dash = item.find('-');
    const auto first = parse_hex(item.substr(0, dash), max);
    const auto last =
        dash == std::string_view::npos ? first : parse_hex(item.substr(dash + 1), max);
    if (!first || !last)
      throw ValueError(fmt::format(
          "'{}' is not an identifier or a range of them (hex, up to {}, such as 0x100-0x1FF)", item,
          limit));
    if (*first > *last) throw ValueError(fmt::format("range '{}' ends below its start", item));
    out.push_back({*first, *last});
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
  }
  return out;
}

std::string format_bitrate(uint32_t bps) {
  if (bps >= 1000000) return trim_fraction(bps / 1000000, bps % 1000000, 6) + " Mbit/s";
  if (bps >= 1000) return trim_fraction(bps / 1000, bps % 1000, 3) + " kbit/s";
  return fmt::format("{} bit/s", bps);
}

std::string format_sample_point(uint16_t sp) { return trim_fraction(sp / 100, sp % 100, 2) + "%"; }

}  // namespace canfd_tool
