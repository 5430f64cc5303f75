// What the in-process fuzz targets share: reading values from the input,
// and stopping at the first broken invariant with its place and condition.
#ifndef CANFD_FUZZ_FUZZ_H
#define CANFD_FUZZ_FUZZ_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CANFD_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CANFD_FUZZ_ASAN 1
#endif
#ifdef CANFD_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace canfd_fuzz {

[[noreturn]] inline void broken(const char *file, int line, const char *what) {
  fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  abort();
}

// How many bytes an Input reads for a value from lo to hi.
inline int range_width(uint32_t lo, uint32_t hi) {
  const uint32_t span = hi - lo;
  return span < 0x100 ? 1 : span < 0x10000 ? 2 : 4;
}

// Values read front to back; an exhausted input reads as zeros.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : p_(data), n_(size) {}

  bool empty() const { return n_ == 0; }
  size_t left() const { return n_; }

  uint8_t u8() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | static_cast<uint64_t>(u32()) << 32; }
  // A value from lo to hi (inclusive).
  uint32_t range(uint32_t lo, uint32_t hi) {
    const uint32_t span = hi - lo;
    const int width = range_width(lo, hi);
    const uint32_t v = width == 1 ? u8() : width == 2 ? u16() : u32();
    return span == 0xFFFFFFFF ? v : lo + v % (span + 1);
  }
  bool flag() { return u8() & 1; }

  // Copies up to n bytes; returns how many the input still had.
  size_t take(void *out, size_t n) {
    const size_t k = n < n_ ? n : n_;
    if (k != 0) std::memcpy(out, p_, k);
    p_ += k;
    n_ -= k;
    return k;
  }
  // The rest of the input, as text.
  std::string_view rest() {
    std::string_view s(reinterpret_cast<const char *>(p_), n_);
    p_ += n_;
    n_ = 0;
    return s;
  }

 private:
  const uint8_t *p_;
  size_t n_;
};

// The other way: inputs made of values, as an Input reads them back (for
// seeds made from recorded traffic).
class Output {
 public:
  Output &u8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  Output &u16(uint16_t v) { return u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8)); }
  Output &u32(uint32_t v) {
    return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16));
  }
  // v, from lo to hi.
  Output &range(uint32_t lo, uint32_t hi, uint32_t v) {
    const int width = range_width(lo, hi);
    return width == 1   ? u8(static_cast<uint8_t>(v - lo))
           : width == 2 ? u16(static_cast<uint16_t>(v - lo))
                        : u32(v - lo);
  }
  Output &bytes(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    bytes_.insert(bytes_.end(), b, b + n);
    return *this;
  }
  Output &text(std::string_view s) { return bytes(s.data(), s.size()); }
  const std::vector<uint8_t> &data() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// A buffer of which exactly n bytes may be touched: they end where the heap
// block ends, and under AddressSanitizer the bytes before them are poisoned,
// so that a read or write past either end is reported. One block serves
// every size up to Max: no allocation per use.
template <size_t Max>
class Exact {
 public:
  Exact() : mem_(new uint8_t[Max]) {}
  ~Exact() {
    mark(0, Max, false);
    delete[] mem_;
  }
  Exact(const Exact &) = delete;
  Exact &operator=(const Exact &) = delete;

  uint8_t *open(size_t n) {
    mark(0, Max - n, true);
    mark(Max - n, n, false);
    return mem_ + Max - n;
  }

 private:
  void mark(size_t at, size_t n, bool poisoned) {
#ifdef CANFD_FUZZ_ASAN
    if (poisoned)
      ASAN_POISON_MEMORY_REGION(mem_ + at, n);
    else
      ASAN_UNPOISON_MEMORY_REGION(mem_ + at, n);
#else
    (void)at;
    (void)n;
    (void)poisoned;
#endif
  }
  uint8_t *mem_;
};

}  // namespace canfd_fuzz

#define FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::canfd_fuzz::broken(__FILE__, __LINE__, #cond))

#endif  // CANFD_FUZZ_FUZZ_H
