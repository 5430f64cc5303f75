#include "gen.h"

#include <fmt/format.h>

#include <cstdio>
#include <memory>

#include "cli.h"
#include "frame_text.h"
#include "transmit.h"
#include "units.h"

namespace canfd_tool {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

GenMode parse_id_mode(std::string_view s, bool extended) {
  if (s == "r") return {GenMode::Random};
  if (s == "i") return {GenMode::Increment};
  if (s == "e") return {GenMode::RandomEven};
  if (s == "o") return {GenMode::RandomOdd};
  const std::optional<uint32_t> id = parse_hex(s, canfd::kExtIdMask);
  if (!id)
    throw UsageError(
        fmt::format("-I: '{}' is not r, i, e, o or an identifier (hex, up to 1FFFFFFF)", s));
  if (!extended && *id > canfd::kStdIdMask)
    throw UsageError(fmt::format("-I: identifier {:X} is above 7FF and -e is not given", *id));
  return {GenMode::Fixed, *id};
}

GenMode parse_len_mode(std::string_view s, bool fd) {
  if (s == "r") return {GenMode::Random};
  if (s == "i") return {GenMode::Increment};
  unsigned n = 0;
  bool digits = !s.empty() && s.size() <= 2;
  for (char c : s) {
    digits = digits && c >= '0' && c <= '9';
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  const unsigned max = fd ? 64 : 8;
  if (!digits || n > max)
    throw UsageError(fmt::format("-L: '{}' is not r, i or a length of 0 to {} bytes{}", s, max,
                                 fd ? "" : " (more with -f)"));
  return {GenMode::Fixed, n};
}

void parse_data_mode(std::string_view s, GenOptions &o) {
  if (s == "r" || s == "i") {
    o.data = s == "r" ? GenMode::Random : GenMode::Increment;
    return;
  }
  if (s.empty() || s.size() % 2 != 0 || s.size() > 2 * canfd::kMaxDataLen)
    throw UsageError(fmt::format(
        "-D: '{}' is not r, i or a payload of 1 to 64 bytes in hex (x: a random nibble)", s));
  o.data = GenMode::Fixed;
  o.fixed_data = {};
  o.random_bits = {};
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned shift = i % 2 ? 0 : 4;
    if (s[i] == 'x' || s[i] == 'X') {
      o.random_bits[i / 2] |= static_cast<uint8_t>(0xF << shift);
      continue;
    }
    const int v = hex_digit(s[i]);
    if (v < 0) throw UsageError(fmt::format("-D: '{}' is not a hex digit or x", s[i]));
    o.fixed_data[i / 2] |= static_cast<uint8_t>(v << shift);
  }
}

Generator::Generator(const GenOptions &o, uint64_t seed) : o_(o), rng_(seed) {}

canfd::Frame Generator::next() {
  canfd::Frame f;
  f.extended = o_.extended;
  f.fd = o_.fd;
  f.brs = o_.brs;
  f.esi = o_.esi;
  f.remote = o_.remote && !o_.fd;
  if (o_.mix) {
    const uint64_t r = rng_();
    f.extended = r & 1;
    f.fd = r & 2;
    f.brs = f.fd && (r & 4);
    f.esi = f.fd && (r & 8);
    f.remote = !f.fd && (r & 24) == 24;  // a quarter of the classic frames
  }

  const uint32_t id_mask = f.extended ? canfd::kExtIdMask : canfd::kStdIdMask;
  switch (o_.id.kind) {
    case GenMode::Increment:
      f.id = next_id_++ & id_mask;
      break;
    case GenMode::Fixed:
      f.id = o_.id.value & id_mask;
      break;
    case GenMode::RandomEven:
      f.id = static_cast<uint32_t>(rng_()) & id_mask & ~1u;
      break;
    case GenMode::RandomOdd:
      f.id = (static_cast<uint32_t>(rng_()) & id_mask) | 1u;
      break;
    case GenMode::Random:
      f.id = static_cast<uint32_t>(rng_()) & id_mask;
      break;
  }

  // Lengths as cangen makes them: random classic codes above 8 mean 8 bytes.
  size_t len = 0;
  switch (o_.len.kind) {
    case GenMode::Increment: {
      const unsigned steps = f.fd && !o_.mix ? 16 : 9;
      next_dlc_ = static_cast<uint8_t>(next_dlc_ % steps);
      len = canfd::dlc_to_len(next_dlc_++);
      break;
    }
    case GenMode::Fixed:
      len = o_.len.value;
      break;
    default:
      len = canfd::dlc_to_len(static_cast<uint8_t>(rng_() & 0xF));
      break;
  }
  if (o_.data == GenMode::Increment && len == 0) len = 1;
  f.resize(len);

  if (!f.remote) {
    switch (o_.data) {
      case GenMode::Increment:
        for (size_t i = 0; i < 8; ++i) f.data[i] = static_cast<uint8_t>(next_data_ >> (8 * i));
        ++next_data_;
        break;
      case GenMode::Fixed:
        for (size_t i = 0; i < f.size(); ++i)
          f.data[i] = static_cast<uint8_t>((o_.fixed_data[i] & ~o_.random_bits[i]) |
                                           (rng_() & o_.random_bits[i]));
        break;
      default:
        for (size_t i = 0; i < f.size(); ++i) f.data[i] = static_cast<uint8_t>(rng_());
        break;
    }
    // Bytes up to the DLC's length that the payload does not fill are zero.
    for (size_t i = f.size(); i < f.data.size(); ++i) f.data[i] = 0;
    if (o_.data != GenMode::Increment)
      for (size_t i = len; i < f.size(); ++i) f.data[i] = 0;
  }
  return f;
}

namespace {

int run_gen(const std::string &device, const GenOptions &o) {
  canfd::Adapter a = open_adapter(device);
  canfd::Port port = a.port(o.port);
  install_stop_handlers();
  const canfd::BitTiming timing = port.bit_timing();
  const std::string name = port_name(a.bid(), o.port);
  Generator gen(o, o.seed ? *o.seed : std::random_device{}());

  uint64_t made = 0, sent = 0;
  double bus_seconds = 0;
  bool indent = o.mix || o.extended;
  const auto next = [&](canfd::Frame &f) {
    if (o.count != 0 && made == o.count) return false;
    f = gen.next();
    ++made;
    return true;
  };
  const auto accepted = [&](canfd::span<const canfd::Frame> frames) {
    sent += frames.size();
    fmt::memory_buffer out;
    for (const canfd::Frame &f : frames) {
      bus_seconds += frame_seconds(f, timing);
      if (o.verbose == 1)
        fmt::format_to(std::back_inserter(out), "  {}  {}\n", name, compact(f));
      else if (o.verbose > 1)
        fmt::format_to(std::back_inserter(out), "  {}  {}\n", name, long_form(f, indent));
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  };
  const Clock::time_point start = Clock::now();
  Clock::time_point end;
  std::exception_ptr error;
  try {
    // Lasts as long as the transmission: through the last gap, and until
    // the bus has carried the frames still ahead of it.
    end = transmit(port, {o.gap, o.burst}, next, accepted).done;
    sleep_unless_stopped(std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()));
  } catch (...) {
    error = std::current_exception();
  }
  end = std::min(end, Clock::now());
  if (error) end = Clock::now();
  const double secs = std::chrono::duration<double>(end - start).count();
  // The summary also follows a failure, for the frames sent before it.
  fmt::print(stderr, "{}: {} frames sent in {:.2f} s, {:.0f} frames/s, bus load {:.1f}%\n", name,
             sent, secs, secs > 0 ? sent / secs : 0.0, secs > 0 ? 100.0 * bus_seconds / secs : 0.0);
  if (error) std::rethrow_exception(error);
  return 0;
}

const char kGenFooter[] = R"TXT(
Modes of -I (identifier), -L (length) and -D (data), as cangen has them:
  r          random (the default)
  i          increment: identifiers from 0, lengths through every DLC, data as
             a 64-bit little-endian counter in the first 8 bytes (length 1 at
             least)
  e, o       (-I only) random even or odd identifiers
  <value>    fixed: identifier in hex, length in bytes (CAN FD: rounded up to
             a DLC length, padded with zeros), payload in hex with x for each
             nibble to set at random (11xx3344)
Random classic lengths follow cangen: codes 9 to 15 mean 8 bytes.

Pace: a burst of -c frames every -g milliseconds (or --rate frames per second);
-g 0 sends as fast as the bus takes them, by the wire time of each frame at the
port's bit rates (stuff bits not counted, as in dump --stats), a few reports'
worth ahead of the bus. On exit (after -n frames, or on Ctrl-C) a summary goes
to standard error: "canfd-1234ABCD-1: 1000 frames sent in 0.23 s, 4420
frames/s, bus load 98.0%".)TXT";

}  // namespace

Subcommand add_gen(CLI::App &app) {
  struct Args {
    std::string device;
    int port = 0;
    double gap_ms = 200, rate = 0;
    uint64_t count = 0, burst = 1, seed = 0;
    std::string id = "r", len = "r", data = "r";
    bool extended = false, fd = false, brs = false, esi = false, remote = false, mix = false;
    int verbose = 0;
    CLI::Option *o_rate, *o_seed;
  };
  auto a = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand(
      "gen", "Send generated frames at a rate or as fast as the bus allows, as cangen does");
  add_device(sub, a->device);
  sub->add_option("port", a->port, "port to send on (1 or 2)")->required();
  CLI::Option *o_gap = sub->add_option("-g,--gap", a->gap_ms,
                                       "milliseconds between bursts (default 200; 0: as "
                                       "fast as the bus allows)");
  a->o_rate =
      sub->add_option("--rate", a->rate, "frames per second, instead of -g")->excludes(o_gap);
  sub->add_option("-n,--count", a->count, "stop after this many frames (default: until stopped)");
  sub->add_option("-c,--burst", a->burst, "frames per burst (default 1)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1000000}));
  sub->add_option("-I,--id", a->id, "identifier: r, i, e, o or hex (default r)");
  sub->add_option("-L,--len", a->len, "length: r, i or bytes (default r)");
  sub->add_option("-D,--data", a->data, "data: r, i or hex payload (default r)");
  sub->add_flag("-e,--extended", a->extended, "extended (29-bit) identifiers");
  sub->add_flag("-f,--fd", a->fd, "CAN FD frames");
  sub->add_flag("-b,--brs", a->brs, "CAN FD frames with bit rate switch (implies -f)");
  sub->add_flag("-E,--esi", a->esi, "CAN FD frames with error state indicator (implies -f)");
  sub->add_flag("-R,--remote", a->remote, "remote frames (classic only)");
  sub->add_flag("-m,--mix", a->mix,
                "mix standard and extended, classic and CAN FD, BRS, ESI "
                "and remote frames at random");
  sub->add_flag("-v,--verbose", a->verbose,
                "print each frame sent (cansend syntax; -vv: candump's layout)");
  a->o_seed = sub->add_option("--seed", a->seed,
                              "seed of the random values (default: "
                              "a fresh one each run)");
  sub->footer(kGenFooter);

  return {sub, [a] {
            GenOptions o;
            o.port = ports_or_all({a->port}).front();
            if (a->o_rate->count()) {
              if (!(a->rate > 0) || a->rate > 1e7)
                throw UsageError("--rate takes frames per second, above 0 and up to 10000000");
              o.gap = std::chrono::nanoseconds(static_cast<int64_t>(1e9 * a->burst / a->rate));
            } else {
              o.gap = gap_of(a->gap_ms);
            }
            o.burst = a->burst;
            o.count = a->count;
            o.extended = a->extended;
            o.brs = a->brs;
            o.esi = a->esi;
            o.fd = a->fd || a->brs || a->esi;
            o.remote = a->remote;
            o.mix = a->mix;
            o.verbose = a->verbose;
            if (a->o_seed->count()) o.seed = a->seed;
            o.id = parse_id_mode(a->id, o.extended || o.mix);
            o.len = parse_len_mode(a->len, o.fd || o.mix);
            parse_data_mode(a->data, o);
            return run_gen(a->device, o);
          }};
}

}  // namespace canfd_tool
