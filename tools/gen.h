// canfd gen: generated frames for load tests, as cangen makes them.
#ifndef CANFD_TOOL_GEN_H
#define CANFD_TOOL_GEN_H

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "tool.h"

namespace canfd_tool {

// How a field changes from frame to frame.
struct GenMode {
  enum Kind { Random, Increment, Fixed, RandomEven, RandomOdd } kind = Random;
  uint32_t value = 0;  // Fixed: the identifier or the length in bytes
};

struct GenOptions {
  uint8_t port = 1;
  std::chrono::nanoseconds gap = std::chrono::milliseconds(200);  // 0: as fast as the bus allows
  uint64_t burst = 1;                                             // frames per gap
  uint64_t count = 0;                                             // 0: until stopped
  GenMode id, len;
  GenMode::Kind data = GenMode::Random;  // Random, Increment or Fixed
  std::array<uint8_t, canfd::kMaxDataLen> fixed_data{};
  std::array<uint8_t, canfd::kMaxDataLen> random_bits{};  // of fixed_data, set at random
  bool extended = false, fd = false, brs = false, esi = false, remote = false, mix = false;
  int verbose = 0;  // 1: each frame in cansend syntax, 2: in candump's layout
  std::optional<uint64_t> seed;
};

// The -I, -L and -D values: r (random), i (increment), e and o (random even
// or odd identifiers), or a fixed identifier (hex), length (bytes) or
// payload (hex, with x for each random nibble). Throw UsageError.
GenMode parse_id_mode(std::string_view s, bool extended);
GenMode parse_len_mode(std::string_view s, bool fd);
void parse_data_mode(std::string_view s, GenOptions &o);

// Makes the frames, one after the other.
class Generator {
 public:
  Generator(const GenOptions &o, uint64_t seed);
  canfd::Frame next();

 private:
  const GenOptions &o_;
  std::mt19937_64 rng_;
  uint32_t next_id_ = 0;
  uint8_t next_dlc_ = 0;
  uint64_t next_data_ = 0;
};

}  // namespace canfd_tool

#endif  // CANFD_TOOL_GEN_H
