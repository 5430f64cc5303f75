// The command line of the canfd tool: each subcommand adds itself to the app
// with its own options, next to its code, and hands back what runs it; and
// the readings of option values that several subcommands share.
#ifndef CANFD_TOOL_CLI_H
#define CANFD_TOOL_CLI_H

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame_text.h"
#include "tool.h"
#include "units.h"

namespace canfd_tool {

// A subcommand as added to the app. run() is called once the command line
// has been read and this subcommand was given; it returns the exit status
// and throws UsageError for bad input (2) or any other error for a failure
// (1).
struct Subcommand {
  CLI::App *app;
  std::function<int()> run;
};

// commands.cpp
Subcommand add_list(CLI::App &app);
Subcommand add_info(CLI::App &app);
Subcommand add_config(CLI::App &app);
Subcommand add_send(CLI::App &app);
Subcommand add_reset(CLI::App &app);
// dump.cpp
Subcommand add_dump(CLI::App &app);
// gen.cpp
Subcommand add_gen(CLI::App &app);

// -d, on every subcommand that opens an adapter.
inline CLI::Option *add_device(CLI::App *sub, std::string &device) {
  return sub->add_option("-d,--device", device,
                         "adapter: board id, PID:BID or /dev/hidrawN (needed with several)");
}

// Reads an option's text with one of the units parsers, naming the option in
// the message when it fails.
template <typename F>
auto parse_value(const char *option, const std::string &text, F parse) {
  try {
    return parse(text);
  } catch (const ValueError &e) {
    throw UsageError(fmt::format("{}: {}", option, e.what()));
  }
}

// Frames in cansend syntax; the first that does not parse is a UsageError.
inline std::vector<canfd::Frame> parse_frames(const std::vector<std::string> &texts) {
  std::vector<canfd::Frame> frames;
  for (const std::string &t : texts) {
    try {
      frames.push_back(parse_frame(t));
    } catch (const FrameSyntaxError &e) {
      throw UsageError(fmt::format("bad frame '{}': {}", t, e.what()));
    }
  }
  return frames;
}

// The value of -g / --gap: milliseconds, from 0 to an hour.
inline std::chrono::microseconds gap_of(double ms) {
  if (!(ms >= 0) || ms > 3600e3) throw UsageError("--gap takes milliseconds from 0 to 3600000");
  return std::chrono::microseconds(static_cast<int64_t>(ms * 1000));
}

}  // namespace canfd_tool

#endif  // CANFD_TOOL_CLI_H
