#include "options.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>

#include "netif.h"
#include "units.h"

namespace canfd_socketcan {

namespace {

const char kDescription[] =
    "canfd-socketcan: makes the ports of a USB CAN FD adapter SocketCAN network interfaces, so\n"
    "that candump, cansend, Wireshark, python-can's socketcan interface and every other\n"
    "SocketCAN program use them.";

const char kFooter[] = R"TXT(
Interfaces: each bridged port gets one, named in the order of --ports. A named
interface that exists is used as it is (vcan made with 'ip link add dev vcan0
type vcan' and set up, say; it needs the CAN FD MTU of 72 for CAN FD frames).
A named interface that does not exist is created as a vcan interface with
--create. Without names the ports get canfd<board id>-<port>, such as
canfd1234ABCD-1 and canfd1234ABCD-2, created as vcan interfaces. Interfaces
the bridge created, with the CAN FD MTU and set up, it removes when it exits.
Creating and removing interfaces needs CAP_NET_ADMIN (root, or the capability).

Frames: what a program writes to a port's interface goes out on that port, as
the bus takes it (a few reports ahead of the bus, at the port's bit rates);
what the port receives appears on its interface for every reader there, with
BRS and ESI as received. A frame is never written back to the interface it
came from. Error frames written to an interface are not sent.

Losses: a program may write to an interface faster than the bus carries the
frames; the bridge holds up to --queue frames per port, then leaves them to
the socket's receive buffer, which drops what does not fit. Each second in
which frames were lost, a line on standard error tells how many and where:
in the kernel before the bridge read them, in the library's or the adapter's
transmit queue, in the library's receive ring, or on the way to the interface.

Bus state: every --state-interval the bridge reads each port's status; a
change becomes an error frame on the interface, as a CAN controller's driver
sends it: controller problems (error warning, error passive, back to error
active) with the error counters, bus off, and restarted when the port leaves
bus off. Read them with 'candump -e <interface>,0~0,#FFFFFFFF'.

Settings take one value for every bridged port, or two separated by a comma
for port 1 and port 2: --bitrate 500k,250k. Those not given stay as the
adapter has them.

Exit status: 0 after SIGINT, SIGTERM or SIGHUP; 1 when the adapter goes away
(unplugged), an interface disappears, or something else fails (a line on
standard error says which, ending in "exiting"); 2 for bad command-line input.

Examples:
  canfd-socketcan                                 the only adapter; canfd<bid>-1 and -2
  canfd-socketcan -d 1234ABCD --bitrate 500k --data-bitrate 2M --enable
  canfd-socketcan -d 1234ABCD vcan0 vcan1         existing interfaces
  canfd-socketcan -d 1234ABCD --create can1a can1b
  canfd-socketcan --ports 2 vcan7                 only port 2, on vcan7)TXT";

// The comma-separated items of a value; an empty item is kept.
std::vector<std::string> split(const std::string &text) {
  std::vector<std::string> items;
  size_t at = 0;
  for (size_t comma; (comma = text.find(',', at)) != std::string::npos; at = comma + 1)
    items.push_back(text.substr(at, comma - at));
  items.push_back(text.substr(at));
  return items;
}

// "X" or "X,Y": one value for every port, or one for port 1 and one for
// port 2; each through parse (which throws canfd_tool::ValueError).
template <class T, class Parse>
void per_port(const std::string &option, const std::string &text,
              std::array<PortSettings, 2> &settings, std::optional<T> PortSettings::*field,
              Parse parse) {
  const std::vector<std::string> values = split(text);
  if (values.empty() || values.size() > 2)
    throw CLI::ValidationError(option,
                               "give one value, or two separated by a comma (port 1,port 2)");
  try {
    settings[0].*field = parse(values[0]);
    settings[1].*field = parse(values.size() == 2 ? values[1] : values[0]);
  } catch (const canfd_tool::ValueError &e) {
    throw CLI::ValidationError(option, e.what());
  }
}

}  // namespace

std::string default_interface_name(uint32_t bid, uint8_t port) {
  return fmt::format("canfd{:08X}-{}", bid, port);
}

Parsed parse_command_line(int argc, const char *const *argv) {
  Options o;
  CLI::App app{kDescription, "canfd-socketcan"};
  app.footer(kFooter);
  app.get_formatter()->column_width(36);
  app.set_version_flag("--version", "canfd-socketcan " CANFD_SOCKETCAN_VERSION);

  std::string ports;
  std::string bitrate, sample_point, data_bitrate, data_sample_point;
  int64_t state_ms = o.state_interval.count(), restart_ms = 0;
  app.add_option("interfaces", o.interfaces,
                 "interfaces for the ports, in the order of --ports (default: "
                 "canfd<board id>-<port>, created)");
  app.add_option("-d,--device", o.device,
                 "adapter: board id (1234ABCD), PID:BID or /dev/hidrawN; needed when several "
                 "are attached");
  app.add_option("-p,--ports", ports, "ports to bridge: 1, 2 or 1,2 (default 1,2)");
  app.add_flag("--create", o.create, "create named interfaces that do not exist, as vcan");
  app.add_option("-b,--bitrate", bitrate, "bit rate (arbitration phase), such as 500k or 1M");
  app.add_option("--sample-point", sample_point, "sample point, such as 80% or 87.5%");
  app.add_option("--data-bitrate", data_bitrate, "CAN FD data phase bit rate, such as 2M");
  app.add_option("--data-sample-point", data_sample_point, "data phase sample point, such as 75%");
  app.add_flag("--enable", o.enable,
               "switch the bridged ports on (the bus and ISO mode words stay as they are)");
  app.add_flag("--force", o.force, "change the settings of bridged ports that other programs use");
  app.add_option("--state-interval", state_ms,
                 "ms between reads of the bus state (default 200; 0: no error frames)")
      ->check(CLI::Range(int64_t{0}, int64_t{60000}));
  app.add_option("--restart-ms", restart_ms,
                 "re-initialise a port this many ms after it went bus off (default 0: never)")
      ->check(CLI::Range(int64_t{0}, int64_t{3600000}));
  app.add_option("--queue", o.queue, "frames held per port while the bus is busy (default 16384)")
      ->check(CLI::Range(size_t{64}, size_t{1} << 24));
  app.add_flag("--stats", o.stats, "each second, frames per second each way per port");
  app.add_flag("-q,--quiet", o.quiet, "no messages but losses, bus states and errors");

  Parsed result;
  try {
    app.parse(argc, argv);
    if (!bitrate.empty())
      per_port("--bitrate", bitrate, o.settings, &PortSettings::bitrate, canfd_tool::parse_bitrate);
    if (!data_bitrate.empty())
      per_port("--data-bitrate", data_bitrate, o.settings, &PortSettings::data_bitrate,
               canfd_tool::parse_bitrate);
    if (!sample_point.empty())
      per_port("--sample-point", sample_point, o.settings, &PortSettings::sample_point,
               canfd_tool::parse_sample_point);
    if (!data_sample_point.empty())
      per_port("--data-sample-point", data_sample_point, o.settings,
               &PortSettings::data_sample_point, canfd_tool::parse_sample_point);
    if (!ports.empty()) {
      o.ports.clear();
      for (const std::string &p : split(ports)) {
        if (p != "1" && p != "2")
          throw CLI::ValidationError("--ports", fmt::format("'{}': ports are 1 and 2", p));
        const uint8_t n = static_cast<uint8_t>(p[0] - '0');
        if (std::find(o.ports.begin(), o.ports.end(), n) != o.ports.end())
          throw CLI::ValidationError("--ports", fmt::format("port {} is named twice", p));
        o.ports.push_back(n);
      }
    }
    if (!o.interfaces.empty() && o.interfaces.size() != o.ports.size())
      throw CLI::ValidationError(
          "interfaces", fmt::format("{} interfaces named for {} ports: name one per port, or none",
                                    o.interfaces.size(), o.ports.size()));
    for (size_t i = 0; i < o.interfaces.size(); ++i) {
      const std::string &name = o.interfaces[i];
      if (name.empty() || name.size() > kMaxInterfaceName ||
          name.find_first_of("/: \t\n") != std::string::npos || name == "." || name == "..")
        throw CLI::ValidationError(
            "interfaces", fmt::format("'{}' is no interface name (1 to {} characters, no '/', ':' "
                                      "or white space)",
                                      name, kMaxInterfaceName));
      if (std::find(o.interfaces.begin(), o.interfaces.begin() + static_cast<std::ptrdiff_t>(i),
                    name) != o.interfaces.begin() + static_cast<std::ptrdiff_t>(i))
        throw CLI::ValidationError("interfaces", fmt::format("'{}' is named for two ports", name));
    }
    if (o.create && o.interfaces.empty())
      throw CLI::ValidationError("--create",
                                 "needs interface names (without them the default ones are "
                                 "created anyway)");
    if (restart_ms > 0 && state_ms == 0)
      throw CLI::ValidationError("--restart-ms", "needs the bus state: --state-interval above 0");
    o.state_interval = std::chrono::milliseconds(state_ms);
    o.restart_after = std::chrono::milliseconds(restart_ms);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) {
      std::ostringstream out, err;
      result.status = app.exit(e, out, err);
      result.out = out.str();
      result.err = err.str();
      return result;
    }
    result.status = 2;
    result.err =
        fmt::format("canfd-socketcan: {}\nRun 'canfd-socketcan --help' for usage.\n", e.what());
    return result;
  }
  result.options = std::move(o);
  return result;
}

}  // namespace canfd_socketcan
