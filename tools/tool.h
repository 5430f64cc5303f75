// Pieces that the subcommands of the canfd tool share.
#ifndef CANFD_TOOL_TOOL_H
#define CANFD_TOOL_TOOL_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "canfd.hpp"

namespace canfd_tool {

// Bad command-line input (exit status 2).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure that no library call reports (exit status 1).
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs what changes a port's settings (or, with port 0, the adapter's); a
// refusal because another program uses the port becomes a ToolError that
// names the program and the option that overrides.
void change_settings(canfd::Adapter &a, uint8_t port, const std::function<void()> &change,
                     const char *override_option = "--force");

// Set by SIGINT, SIGTERM and SIGHUP; long-running subcommands stop when set.
extern std::atomic<bool> g_stop;
void install_stop_handlers();
// Sleeps until the time passes or g_stop (or *also, if given) is set.
void sleep_unless_stopped(std::chrono::microseconds d, const std::atomic<bool> *also = nullptr);

// An adapter as -d names it: a node number, or a board id with or without
// the product id.
struct DeviceChoice {
  std::optional<unsigned> hidraw;
  std::optional<uint16_t> pid;
  std::optional<uint32_t> bid;
};
// Reads the -d text; throws UsageError when it names no adapter.
DeviceChoice parse_choice(std::string_view s);

// Picks the adapter that -d names (board id, PID:BID, /dev/hidrawN or
// hidrawN, canfd-<board id>), or the only one attached.
canfd::DeviceInfo choose_adapter(const std::string &choice);
canfd::Adapter open_adapter(const std::string &choice);

// Port numbers from the command line, each 1 or 2, without repeats; all
// ports when none is given.
std::vector<uint8_t> ports_or_all(const std::vector<int> &given);

// Sends the frames in order, the whole list count times (0: until stopped),
// one every gap (0: packed in batches, as fast as the bus allows). Returns
// the number of frames sent.
uint64_t send_frames(canfd::Port &port, const std::vector<canfd::Frame> &frames, uint64_t count,
                     std::chrono::microseconds gap);

}  // namespace canfd_tool

#endif  // CANFD_TOOL_TOOL_H
