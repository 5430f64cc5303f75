#include "tool.h"

#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <thread>

#include "transmit.h"
#include "units.h"

namespace canfd_tool {

std::atomic<bool> g_stop{false};

namespace {

void on_stop_signal(int) { g_stop.store(true); }

std::optional<unsigned> parse_decimal(std::string_view s) {
  if (s.empty() || s.size() > 6) return std::nullopt;
  unsigned v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return v;
}

std::string describe(const canfd::DeviceInfo &d) {
  return fmt::format("{:08X} on {}", d.bid, d.node());
}

}  // namespace

DeviceChoice parse_choice(std::string_view s) {
  DeviceChoice d;
  std::string_view rest = s;
  if (rest.rfind("/dev/", 0) == 0) rest.remove_prefix(5);
  if (rest.rfind("hidraw", 0) == 0) {
    d.hidraw = parse_decimal(rest.substr(6));
  } else {
    if (rest.rfind("canfd-", 0) == 0) rest.remove_prefix(6);
    const size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
      const auto pid = parse_hex(rest.substr(0, colon), 0xFFFF);
      if (pid) d.pid = static_cast<uint16_t>(*pid);
      d.bid = parse_hex(rest.substr(colon + 1));
      if (!pid) d.bid.reset();
    } else {
      d.bid = parse_hex(rest);
    }
  }
  if (!d.hidraw && !d.bid)
    throw UsageError(
        fmt::format("-d: '{}' names no adapter: give a board id (1234ABCD), product and board id "
                    "(0E31:1234ABCD) or a node (/dev/hidraw0)",
                    s));
  return d;
}

void install_stop_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
}

void sleep_unless_stopped(std::chrono::microseconds d, const std::atomic<bool> *also) {
  const auto end = std::chrono::steady_clock::now() + d;
  while (!g_stop.load() && !(also && also->load())) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(50)));
  }
}

canfd::DeviceInfo choose_adapter(const std::string &choice) {
  const std::vector<canfd::DeviceInfo> found = canfd::scan();
  if (found.empty()) throw canfd::Error(CANFD_ERR_SCAN_FAILED, "no adapter found");
  if (choice.empty()) {
    if (found.size() == 1) return found[0];
    std::string list;
    for (const auto &d : found) list += (list.empty() ? "" : ", ") + describe(d);
    throw ToolError(
        fmt::format("{} adapters attached ({}): choose one with -d", found.size(), list));
  }
  const DeviceChoice want = parse_choice(choice);
  for (const auto &d : found) {
    if (want.hidraw && d.hidraw != *want.hidraw) continue;
    if (want.pid && d.pid != *want.pid) continue;
    if (want.bid && d.bid != *want.bid) continue;
    return d;
  }
  throw canfd::Error(CANFD_ERR_DEVICE_NOT_FOUND, "find adapter " + choice);
}

void change_settings(canfd::Adapter &a, uint8_t port, const std::function<void()> &change,
                     const char *override_option) {
  try {
    change();
  } catch (const canfd::Error &e) {
    if (e.code() != canfd::errc::port_in_use) throw;
    std::string who;
    for (uint8_t n = port == 0 ? 1 : port; who.empty() && n <= (port == 0 ? 2 : port); ++n) {
      const auto [pid, name] = a.port(n).other_user();
      if (pid != 0) who = fmt::format("{} (process {})", name.empty() ? "?" : name, pid);
    }
    if (who.empty()) who = "another program";
    throw ToolError(fmt::format(
        "{}: {} uses {}; {} changes its settings anyway", e.operation(), who,
        port == 0 ? "the adapter's ports" : fmt::format("port {}", port), override_option));
  }
}

canfd::Adapter open_adapter(const std::string &choice) {
  const canfd::DeviceInfo d = choose_adapter(choice);
  try {
    return canfd::Adapter::open(d);
  } catch (const canfd::Error &e) {
    // The library tells only that the node did not open (1). Without the
    // udev rule the kernel's hidraw nodes are root's alone: say so.
    constexpr int kNodeDidNotOpen = 1;
    if (e.result() != kNodeDidNotOpen || access(d.node().c_str(), R_OK | W_OK) == 0 ||
        errno != EACCES)
      throw;
    throw ToolError(fmt::format(
        "{}: no permission to read and write {}; the udev rule 60-canfd.rules gives the group "
        "plugdev access (install it and join the group, see the README)",
        e.what(), d.node()));
  }
}

std::vector<uint8_t> ports_or_all(const std::vector<int> &given) {
  std::vector<uint8_t> ports;
  for (int p : given) {
    if (p != 1 && p != 2)
      throw UsageError(fmt::format("port {} does not exist: ports are 1 and 2", p));
    if (std::find(ports.begin(), ports.end(), p) == ports.end())
      ports.push_back(static_cast<uint8_t>(p));
  }
  if (ports.empty()) ports = {1, 2};
  return ports;
}

uint64_t send_frames(canfd::Port &port, const std::vector<canfd::Frame> &frames, uint64_t count,
                     std::chrono::microseconds gap) {
  if (frames.empty()) return 0;
  uint64_t round = 0;
  size_t i = 0;
  const auto next = [&](canfd::Frame &f) {
    if (i == frames.size()) {
      i = 0;
      ++round;
    }
    if (count != 0 && round == count) return false;
    f = frames[i++];
    return true;
  };
  return transmit(port, {gap, 1}, next).frames;
}

}  // namespace canfd_tool
