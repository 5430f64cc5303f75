// Values typed on the command line in human units, and their display.
#ifndef CANFD_TOOL_UNITS_H
#define CANFD_TOOL_UNITS_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "canfd.hpp"

namespace canfd_tool {

// A value that does not parse; what() says what was expected.
class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Hexadecimal number, with or without 0x, at most max; nullopt if it is not one.
std::optional<uint32_t> parse_hex(std::string_view s, uint32_t max = 0xFFFFFFFF);

// Bit rate in bit/s: 500000, 500k, 1M, 2.5M.
uint32_t parse_bitrate(std::string_view s);
// Sample point in units of 0.01 %: 80%, 87.5% or 87.5 give 8000, 8750, 8750.
uint16_t parse_sample_point(std::string_view s);
// Duration in milliseconds: 2 or 2s (seconds), 500ms, 1.5s.
uint64_t parse_duration_ms(std::string_view s);
// Identifier ranges: 0x100-0x1FF,0x300,7FF (hex); each at most max.
std::vector<canfd::IdRange> parse_id_ranges(std::string_view s, uint32_t max);

std::string format_bitrate(uint32_t bps);      // 500 kbit/s, 2 Mbit/s
std::string format_sample_point(uint16_t sp);  // 80%, 87.5%

}  // namespace canfd_tool

#endif  // CANFD_TOOL_UNITS_H
