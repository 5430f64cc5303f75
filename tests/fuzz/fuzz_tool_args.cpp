// Fuzz target: the tool's parsers of its other typed arguments: hex numbers,
// bit rates, sample points, durations, identifier ranges, the gen command's
// -I, -L and -D values, the -d adapter choice and port lists. Each parses
// any text; a plain, exact reading of the documented syntax written here
// says whether it is accepted and what it means, and the parser must agree
// (a refusal is a ValueError or UsageError with a message, nothing else).
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fuzz.h"
#include "gen.h"
#include "tool.h"
#include "units.h"

namespace {

using canfd_fuzz::Input;
namespace tool = canfd_tool;
// Exact arithmetic on numbers of up to 30 digits and their scale.
__extension__ typedef unsigned __int128 Wide;

int hex(char c) {
  if ('0' <= c && c <= '9') return c - '0';
  if ('a' <= c && c <= 'f') return c - 'a' + 10;
  if ('A' <= c && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits, after 0x or 0X if more follows.
std::optional<uint64_t> ref_hex(std::string_view s) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  if (s.empty() || s.size() > 8) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (hex(c) < 0) return std::nullopt;
    v = v * 16 + static_cast<uint64_t>(hex(c));
  }
  return v;
}

// A decimal number with at most `places` digits after its point, exactly,
// as a count of units of 10^-places; nullopt if it is not one or is far
// beyond any range asked for here.
std::optional<Wide> ref_fixed(std::string_view s, int places) {
  const size_t dot = s.find('.');
  const std::string_view whole = s.substr(0, dot);
  const std::string_view frac = dot == std::string_view::npos ? "" : s.substr(dot + 1);
  if (whole.empty() && frac.empty()) return std::nullopt;
  if (static_cast<int>(frac.size()) > places) return std::nullopt;
  Wide v = 0;
  int significant = 0;
  for (std::string_view part : {whole, frac}) {
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      if (v != 0 || c != '0') ++significant;
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (significant > 30) return std::nullopt;  // far out of every range
  }
  for (size_t p = frac.size(); p < static_cast<size_t>(places); ++p) v *= 10;
  return v;
}

bool ends_with(std::string_view s, std::string_view t) {
  return s.size() >= t.size() && s.substr(s.size() - t.size()) == t;
}

template <class F>
auto refused(F parse) -> bool {
  try {
    parse();
  } catch (const tool::ValueError &e) {
    FUZZ_CHECK(e.what()[0] != '\0');
    return true;
  } catch (const tool::UsageError &e) {
    FUZZ_CHECK(e.what()[0] != '\0');
    return true;
  }
  return false;
}

void hex_numbers(std::string_view s, uint32_t max) {
  const auto got = tool::parse_hex(s, max);
  const auto want = ref_hex(s);
  FUZZ_CHECK(got.has_value() == (want && *want <= max));
  if (got) FUZZ_CHECK(*got == *want);
}

// Bit/s, or k / K (1000) or M (10^6) of them; a whole number of bit/s from
// 1 to 2^32 - 1, at most six decimals.
void bit_rates(std::string_view s) {
  std::optional<uint32_t> want;
  std::string_view num = s;
  Wide mult = 1;
  if (ends_with(num, "k") || ends_with(num, "K")) {
    mult = 1000;
    num.remove_suffix(1);
  } else if (ends_with(num, "M")) {
    mult = 1000000;
    num.remove_suffix(1);
  }
  if (const auto v = ref_fixed(num, 6)) {  // millionths of the unit
    const Wide micro = *v * mult;
    if (micro % 1000000 == 0 && micro / 1000000 >= 1 && micro / 1000000 <= 0xFFFFFFFFu)
      want = static_cast<uint32_t>(micro / 1000000);
  }
  uint32_t got = 0;
  FUZZ_CHECK(refused([&] { got = tool::parse_bitrate(s); }) == !want);
  if (want) {
    FUZZ_CHECK(got == *want);
    FUZZ_CHECK(!tool::format_bitrate(got).empty());
  }
}

// Percent above 0 and up to 100, two decimals, optionally followed by %.
void sample_points(std::string_view s) {
  std::optional<uint16_t> want;
  std::string_view num = s;
  if (ends_with(num, "%")) num.remove_suffix(1);
  if (const auto v = ref_fixed(num, 2); v && *v >= 1 && *v <= 10000)
    want = static_cast<uint16_t>(*v);
  uint16_t got = 0;
  FUZZ_CHECK(refused([&] { got = tool::parse_sample_point(s); }) == !want);
  if (want) {
    FUZZ_CHECK(got == *want);
    // The display reads back as the same value.
    std::string shown = tool::format_sample_point(got);
    FUZZ_CHECK(tool::parse_sample_point(shown) == got);
  }
}

// Seconds (with s or without, three decimals) or whole milliseconds (ms),
// up to 10^12 ms.
void durations(std::string_view s) {
  std::optional<uint64_t> want;
  std::string_view num = s;
  int places = 3;
  if (ends_with(num, "ms")) {
    places = 0;
    num.remove_suffix(2);
  } else if (ends_with(num, "s")) {
    num.remove_suffix(1);
  }
  if (const auto v = ref_fixed(num, places); v && *v <= 1000000000000ull)
    want = static_cast<uint64_t>(*v);
  uint64_t got = 0;
  FUZZ_CHECK(refused([&] { got = tool::parse_duration_ms(s); }) == !want);
  if (want) FUZZ_CHECK(got == *want);
}

// Comma-separated identifiers or first-last ranges, hex, each up to max.
void id_ranges(std::string_view s, uint32_t max) {
  std::vector<canfd::IdRange> want;
  bool ok = true;
  std::string_view rest = s;
  for (;;) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const size_t dash = item.find('-');
    const auto a = ref_hex(item.substr(0, dash));
    const auto b = dash == std::string_view::npos ? a : ref_hex(item.substr(dash + 1));
    if (!a || !b || *a > max || *b > max || *a > *b) {
      ok = false;
      break;
    }
    want.push_back({static_cast<uint32_t>(*a), static_cast<uint32_t>(*b)});
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  std::vector<canfd::IdRange> got;
  FUZZ_CHECK(refused([&] { got = tool::parse_id_ranges(s, max); }) == !ok);
  if (!ok) return;
  FUZZ_CHECK(got.size() == want.size());
  for (size_t i = 0; i < got.size(); ++i)
    FUZZ_CHECK(got[i].first == want[i].first && got[i].last == want[i].last);
}

void gen_modes(std::string_view s, uint8_t how) {
  const bool wide = how & 1;  // -e (extended) for -I, -f (CAN FD) for -L
  switch (how >> 1 & 3) {
    case 0: {
      tool::GenMode m;
      const bool bad = refused([&] { m = tool::parse_id_mode(s, wide); });
      const auto id = ref_hex(s);
      const bool letter = s == "r" || s == "i" || s == "e" || s == "o";
      FUZZ_CHECK(bad == !(letter || (id && *id <= (wide ? 0x1FFFFFFFu : 0x7FFu))));
      if (!bad && !letter) FUZZ_CHECK(m.kind == tool::GenMode::Fixed && m.value == *id);
      break;
    }
    case 1: {
      tool::GenMode m;
      const bool bad = refused([&] { m = tool::parse_len_mode(s, wide); });
      const bool digits =
          !s.empty() && s.size() <= 2 &&
          std::all_of(s.begin(), s.end(), [](char c) { return '0' <= c && c <= '9'; });
      const unsigned n = digits ? static_cast<unsigned>(std::stoi(std::string(s))) : 0;
      FUZZ_CHECK(bad == !(s == "r" || s == "i" || (digits && n <= (wide ? 64u : 8u))));
      if (!bad && digits) FUZZ_CHECK(m.kind == tool::GenMode::Fixed && m.value == n);
      break;
    }
    default: {
      tool::GenOptions o;
      const bool bad = refused([&] { tool::parse_data_mode(s, o); });
      const bool pairs = !s.empty() && s.size() % 2 == 0 && s.size() <= 128 &&
                         std::all_of(s.begin(), s.end(),
                                     [](char c) { return hex(c) >= 0 || c == 'x' || c == 'X'; });
      FUZZ_CHECK(bad == !(s == "r" || s == "i" || pairs));
      if (bad || !pairs) break;
      FUZZ_CHECK(o.data == tool::GenMode::Fixed);
      // Each nibble is either given or random, never both; nothing after the
      // payload.
      for (size_t i = 0; i < canfd::kMaxDataLen * 2; ++i) {
        const unsigned shift = i % 2 ? 0 : 4;
        const unsigned fixed = o.fixed_data[i / 2] >> shift & 0xF;
        const unsigned random = o.random_bits[i / 2] >> shift & 0xF;
        if (i >= s.size()) {
          FUZZ_CHECK(fixed == 0 && random == 0);
        } else if (s[i] == 'x' || s[i] == 'X') {
          FUZZ_CHECK(fixed == 0 && random == 0xF);
        } else {
          FUZZ_CHECK(fixed == static_cast<unsigned>(hex(s[i])) && random == 0);
        }
      }
      break;
    }
  }
}

// -d: /dev/hidrawN or hidrawN (N up to 6 digits), or a board id with an
// optional canfd- prefix and PID: before it.
void choices(std::string_view s) {
  std::string_view rest = s;
  if (rest.substr(0, 5) == "/dev/") rest.remove_prefix(5);
  std::optional<unsigned> node;
  std::optional<uint64_t> pid, bid;
  if (rest.substr(0, 6) == "hidraw") {
    const std::string_view n = rest.substr(6);
    if (!n.empty() && n.size() <= 6 &&
        std::all_of(n.begin(), n.end(), [](char c) { return '0' <= c && c <= '9'; }))
      node = static_cast<unsigned>(std::stoul(std::string(n)));
  } else {
    if (rest.substr(0, 6) == "canfd-") rest.remove_prefix(6);
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) {
      bid = ref_hex(rest);
    } else {
      pid = ref_hex(rest.substr(0, colon));
      bid = ref_hex(rest.substr(colon + 1));
      if (!pid || *pid > 0xFFFF) pid = bid = std::nullopt;
    }
  }
  tool::DeviceChoice got;
  const bool bad = refused([&] { got = tool::parse_choice(s); });
  FUZZ_CHECK(bad == !(node || bid));
  if (bad) return;
  FUZZ_CHECK(got.hidraw == node);
  FUZZ_CHECK(got.bid.has_value() == bid.has_value() && (!bid || *got.bid == *bid));
  FUZZ_CHECK(got.pid.has_value() == pid.has_value() && (!pid || *got.pid == *pid));
}

// Port numbers: each 1 or 2; repeats kept once, in order; none means both.
void ports(Input &in) {
  std::vector<int> given;
  while (!in.empty() && given.size() < 8) given.push_back(static_cast<int8_t>(in.u8()));
  std::vector<uint8_t> got;
  const bool bad = refused([&] { got = tool::ports_or_all(given); });
  const bool ok = std::all_of(given.begin(), given.end(), [](int p) { return p == 1 || p == 2; });
  FUZZ_CHECK(bad == !ok);
  if (!ok) return;
  std::vector<uint8_t> want;
  for (int p : given)
    if (std::find(want.begin(), want.end(), p) == want.end())
      want.push_back(static_cast<uint8_t>(p));
  if (want.empty()) want = {1, 2};
  FUZZ_CHECK(got == want);
}

}  // namespace

// Input: which parser (and its option), then the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  const uint8_t which = in.u8();
  if ((which & 15) == 9) {
    ports(in);
    return 0;
  }
  const std::string_view text = in.rest();
  switch (which & 15) {
    case 0: {
      const uint32_t maxes[] = {0x7FF, 0xFFFF, 0x1FFFFFFF, 0xFFFFFFFF};
      hex_numbers(text, maxes[which >> 4 & 3]);
      break;
    }
    case 1:
      bit_rates(text);
      break;
    case 2:
      sample_points(text);
      break;
    case 3:
      durations(text);
      break;
    case 4:
      id_ranges(text, which & 0x10 ? 0x1FFFFFFF : 0x7FF);
      break;
    case 5:
    case 6:
    case 7:
      gen_modes(text, static_cast<uint8_t>(which >> 4));
      break;
    default:
      choices(text);
      break;
  }
  return 0;
}
