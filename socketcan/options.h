// The command line of canfd-socketcan.
#ifndef CANFD_SOCKETCAN_OPTIONS_H
#define CANFD_SOCKETCAN_OPTIONS_H

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace canfd_socketcan {

// Settings of a port that were given; the others stay as the adapter has
// them. Sample points in units of 0.01 %.
struct PortSettings {
  std::optional<uint32_t> bitrate, data_bitrate;
  std::optional<uint16_t> sample_point, data_sample_point;

  bool any() const { return bitrate || data_bitrate || sample_point || data_sample_point; }
};

struct Options {
  std::string device;                    // -d: board id, PID:BID or node; empty: the only adapter
  std::vector<uint8_t> ports{1, 2};      // ports to bridge, in the order the interfaces are named
  std::vector<std::string> interfaces;   // as many as ports, or none: default names
  bool create = false;                   // make missing named interfaces (vcan)
  std::array<PortSettings, 2> settings;  // of port 1 and port 2
  bool enable = false;
  bool force = false;                             // change the settings of ports other programs use
  std::chrono::milliseconds state_interval{200};  // 0: bus state not read
  std::chrono::milliseconds restart_after{0};     // 0: no re-initialisation after bus off
  size_t queue = 16384;
  bool stats = false;
  bool quiet = false;
};

// What the command line asks for: options to run with, or text to print
// (help or version on standard output, a usage error on standard error) and
// the exit status (0, or 2 for bad input).
struct Parsed {
  std::optional<Options> options;
  int status = 0;
  std::string out, err;
};

Parsed parse_command_line(int argc, const char *const *argv);

// The name of the interface a port gets unless one is given:
// canfd<board id>-<port>, such as canfd1234ABCD-1 (15 characters, the most
// an interface name has).
std::string default_interface_name(uint32_t bid, uint8_t port);

}  // namespace canfd_socketcan

#endif  // CANFD_SOCKETCAN_OPTIONS_H
