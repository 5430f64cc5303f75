// canfd-socketcan: the ports of a USB CAN FD adapter as SocketCAN network
// interfaces. Opens the adapter, configures its ports, finds or creates the
// interfaces, bridges until a signal or a failure, and removes what it
// created.
#include <fmt/format.h>
#include <linux/can.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>

#include "bridge.h"
#include "netif.h"
#include "options.h"
#include "tool.h"
#include "units.h"

namespace {

using namespace canfd_socketcan;

// Receive buffer of each socket: a few thousand frames.
constexpr int kReceiveBuffer = 4 << 20;

void log_line(const std::string &line) { fmt::print(stderr, "canfd-socketcan: {}\n", line); }

// A failure to tell and exit with status 1.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An interface this run created: removed when it goes.
class CreatedInterface {
 public:
  CreatedInterface(std::string name, const Log &info) : name_(std::move(name)), info_(info) {
    create_vcan(name_);
    info_(fmt::format("created the vcan interface {}", name_));
  }
  ~CreatedInterface() {
    try {
      delete_interface(name_);
      info_(fmt::format("removed the interface {}", name_));
    } catch (const std::system_error &e) {
      // Someone removed it already; anything else is told.
      if (e.code().value() != ENODEV) log_line(fmt::format("{}", e.what()));
    }
  }
  CreatedInterface(const CreatedInterface &) = delete;
  CreatedInterface &operator=(const CreatedInterface &) = delete;

 private:
  std::string name_;
  const Log &info_;
};

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { close(fd_); }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string describe(const canfd::BitTiming &t, const canfd::OpMode &m) {
  return fmt::format("{} at {}, data phase {} at {}, {}", canfd_tool::format_bitrate(t.bitrate),
                     canfd_tool::format_sample_point(t.sample_point),
                     canfd_tool::format_bitrate(t.data_bitrate),
                     canfd_tool::format_sample_point(t.data_sample_point),
                     m.enable ? "enabled" : "not enabled (--enable switches it on)");
}

// Applies the settings given for the bridged ports and tells what they are.
void configure(canfd::Adapter &adapter, const Options &o, const Log &info) {
  for (uint8_t n : o.ports) {
    canfd::Port port = adapter.port(n);
    if (o.force) port.set_override(true);
    canfd::OpMode mode = port.mode();
    if (o.enable && !mode.enable) {
      mode.enable = 1;
      canfd_tool::change_settings(adapter, n, [&] { port.set_mode(mode); });
    }
    canfd::BitTiming t = port.bit_timing();
    const PortSettings &s = o.settings[n - 1];
    if (s.any()) {
      t.bitrate = s.bitrate.value_or(t.bitrate);
      t.data_bitrate = s.data_bitrate.value_or(t.data_bitrate);
      t.sample_point = s.sample_point.value_or(t.sample_point);
      t.data_sample_point = s.data_sample_point.value_or(t.data_sample_point);
      if (t.data_bitrate < t.bitrate)
        throw Failure(fmt::format(
            "port {}: the data phase bit rate ({}) is below the bit rate "
            "({}): give --data-bitrate",
            n, canfd_tool::format_bitrate(t.data_bitrate), canfd_tool::format_bitrate(t.bitrate)));
      canfd_tool::change_settings(adapter, n, [&] { port.set_bit_timing(t); });
      t = port.bit_timing();
    }
    info(fmt::format("port {}: {}", n, describe(t, mode)));
  }
}

int run(const Options &o, int signals, const Log &info) {
  canfd::Adapter adapter = canfd_tool::open_adapter(o.device);
  const std::string adapter_name =
      fmt::format("{:08X} (/dev/hidraw{})", adapter.bid(), adapter.index());
  info(fmt::format("adapter {}", adapter_name));
  configure(adapter, o, info);

  BridgeConfig config;
  config.adapter = adapter_name;
  config.queue = o.queue;
  config.state_interval = o.state_interval;
  config.restart_after = o.restart_after;
  config.stats = o.stats;
  std::vector<std::unique_ptr<CreatedInterface>> created;
  std::vector<std::unique_ptr<Socket>> sockets;
  for (size_t i = 0; i < o.ports.size(); ++i) {
    const uint8_t n = o.ports[i];
    const bool named = !o.interfaces.empty();
    const std::string name = named ? o.interfaces[i] : default_interface_name(adapter.bid(), n);
    std::optional<InterfaceInfo> found = find_interface(name);
    if (!found) {
      if (named && !o.create)
        throw Failure(
            fmt::format("there is no interface {}: create it (ip link add dev {} type "
                        "vcan), or give --create",
                        name, name));
      try {
        created.push_back(std::make_unique<CreatedInterface>(name, info));
      } catch (const std::system_error &e) {
        if (e.code().value() == EPERM)
          throw Failure(
              fmt::format("{}: creating interfaces needs CAP_NET_ADMIN (run as root, or "
                          "give the program the capability)",
                          e.what()));
        throw;
      }
      found = find_interface(name);
      if (!found) throw Failure(fmt::format("the interface {} vanished as it was made", name));
    } else if (!found->is_can) {
      throw Failure(fmt::format("{} is not a CAN interface", name));
    }
    const bool fd_frames = found->mtu == CANFD_MTU;
    if (!fd_frames)
      log_line(
          fmt::format("{} has the MTU {}: classic frames only; CAN FD frames from port {} "
                      "will be dropped (ip link set {} mtu 72, while it is down, allows them)",
                      name, found->mtu, n, name));
    if (!found->up)
      log_line(
          fmt::format("{} is down: frames from port {} are dropped until it is up (ip link "
                      "set {} up)",
                      name, n, name));
    sockets.push_back(std::make_unique<Socket>(open_can_socket(name, fd_frames, kReceiveBuffer)));
    config.links.push_back({n, name, sockets.back()->fd(), fd_frames});
    info(fmt::format("port {} is {}", n, name));
  }
  info("bridging; SIGINT or SIGTERM stops");

  const Outcome end = run_bridge(adapter, config, signals, log_line);
  // A port it switched on is switched off again, unless other programs
  // still use it.
  for (uint8_t n : o.ports) {
    try {
      if (adapter.port(n).release()) info(fmt::format("port {} switched off", n));
    } catch (const canfd::Error &) {
      // Gone with the adapter: nothing to switch off.
    }
  }
  if (end.kind == Outcome::stopped) {
    signalfd_siginfo si{};
    const char *name = "a signal";
    if (read(signals, &si, sizeof si) == sizeof si)
      name = sigabbrev_np(static_cast<int>(si.ssi_signo));
    info(fmt::format("stopping on SIG{}", name ? name : "?"));
    return 0;
  }
  // Told at once; the interfaces it made go after.
  log_line(fmt::format("{}; exiting", end.message));
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  const Parsed parsed = parse_command_line(argc, argv);
  std::fputs(parsed.out.c_str(), stdout);
  std::fputs(parsed.err.c_str(), stderr);
  if (!parsed.options) return parsed.status;
  const Options &o = *parsed.options;
  const Log info = o.quiet ? Log([](const std::string &) {}) : Log(log_line);

  // The signals that stop the bridge arrive through a descriptor; they are
  // blocked before the library starts its threads, which inherit the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop_signals, s);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signals = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (signals < 0) {
    log_line(fmt::format("signalfd: {}", std::strerror(errno)));
    return 1;
  }
  try {
    return run(o, signals, info);
  } catch (const canfd_tool::UsageError &e) {
    log_line(e.what());
    return 2;
  } catch (const std::exception &e) {
    log_line(fmt::format("{}; exiting", e.what()));
    return 1;
  }
}
