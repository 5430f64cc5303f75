#include "commands.h"

#include <fmt/format.h>

#include "frame_text.h"
#include "units.h"

namespace canfd_tool {

namespace {

std::string ranges_text(const std::vector<canfd::IdRange> &ranges, int digits, size_t max) {
  if (ranges.empty()) return "none (all identifiers pass)";
  std::string s = fmt::format("{} of {}:", ranges.size(), max);
  for (const canfd::IdRange &r : ranges) {
    if (r.first == r.last)
      s += fmt::format(" {:0{}X}", r.first, digits);
    else
      s += fmt::format(" {:0{}X}-{:0{}X}", r.first, digits, r.last, digits);
  }
  return s;
}

std::string remote_text(const canfd::GlobalFilter &g) {
  if (g.reject_std_remote && g.reject_ext_remote) return "rejects all remote frames";
  if (g.reject_std_remote) return "rejects standard remote frames";
  if (g.reject_ext_remote) return "rejects extended remote frames";
  return "accepts remote frames";
}

}  // namespace

int run_list(bool json) {
  const std::vector<canfd::DeviceInfo> found = canfd::scan();
  if (json) {
    std::string out = "[";
    for (size_t i = 0; i < found.size(); ++i) {
      const canfd::DeviceInfo &d = found[i];
      out += fmt::format(
          "{}\n  {{\"node\": \"{}\", \"hidraw\": {}, \"pid\": \"{:04X}\", \"bid\": \"{:08X}\", "
          "\"ports\": [\"{}\", \"{}\"]}}",
          i ? "," : "", d.node(), d.hidraw, d.pid, d.bid, port_name(d.bid, 1), port_name(d.bid, 2));
    }
    out += found.empty() ? "]\n" : "\n]\n";
    fmt::print("{}", out);
    return 0;
  }
  if (found.empty()) fmt::print(stderr, "canfd: no adapter found\n");
  for (const canfd::DeviceInfo &d : found)
    fmt::print("{}  product {:04X}  board {:08X}  ports {} {}\n", d.node(), d.pid, d.bid,
               port_name(d.bid, 1), port_name(d.bid, 2));
  return 0;
}

int run_info(const std::string &device, const std::vector<uint8_t> &ports) {
  canfd::Adapter a = open_adapter(device);
  fmt::print("adapter /dev/hidraw{}: product {:04X}, board {:08X}\n", a.index(), a.pid(), a.bid());
  fmt::print("  firmware version   0x{:04X}\n", a.firmware_version());
  fmt::print("  INIT pin           {}\n", a.init_pin());
  for (uint8_t n : ports) {
    canfd::Port p = a.port(n);
    const canfd::OpMode m = p.mode();
    const canfd::BitTiming t = p.bit_timing();
    const canfd::PortStatus s = p.status();
    const canfd::GlobalFilter g = p.global_filter();
    fmt::print("port {}: {}\n", n, port_name(a.bid(), n));
    fmt::print("  operating mode     enable {}, bus mode {}, ISO mode {}\n", m.enable, m.bus_mode,
               m.iso_mode);
    fmt::print("  bit rate           {}, sample point {}\n", format_bitrate(t.bitrate),
               format_sample_point(t.sample_point));
    fmt::print("  data bit rate      {}, sample point {}\n", format_bitrate(t.data_bitrate),
               format_sample_point(t.data_sample_point));
    fmt::print("  status             0x{:08X}, error counter 0x{:08X}, buffer status 0x{:08X}\n",
               s.status, s.error_counter, s.buffer_status);
    fmt::print("  received           {} frames/s\n", p.rx_frames_per_second());
    fmt::print("  global filter      {}\n", remote_text(g));
    fmt::print("  standard filters   {}\n", ranges_text(p.std_filters(), 3, canfd::kMaxStdFilters));
    fmt::print("  extended filters   {}\n", ranges_text(p.ext_filters(), 8, canfd::kMaxExtFilters));
    fmt::print("  hardware send      {}\n", p.hw_send_mode() ? "on" : "off");
  }
  return 0;
}

int run_config(const std::string &device, const ConfigOptions &o) {
  canfd::Adapter a = open_adapter(device);
  if (o.led_mode) a.set_led_mode(*o.led_mode);
  if (o.led_state) a.set_led_state(*o.led_state);
  if (o.serial) a.set_serial_number(*o.serial);
  for (uint8_t n : o.ports) {
    canfd::Port p = a.port(n);
    if (o.enable || o.bus_mode || o.iso_mode) {
      canfd::OpMode m = p.mode();
      if (o.enable) m.enable = *o.enable ? 1 : 0;
      if (o.bus_mode) m.bus_mode = *o.bus_mode;
      if (o.iso_mode) m.iso_mode = *o.iso_mode;
      p.set_mode(m);
    }
    if (o.bitrate || o.data_bitrate || o.sample_point || o.data_sample_point) {
      canfd::BitTiming t = p.bit_timing();
      if (o.bitrate) t.bitrate = *o.bitrate;
      if (o.data_bitrate) t.data_bitrate = *o.data_bitrate;
      if (o.sample_point) t.sample_point = *o.sample_point;
      if (o.data_sample_point) t.data_sample_point = *o.data_sample_point;
      p.set_bit_timing(t);
    }
    if (o.reject_remote) {
      const std::string &r = *o.reject_remote;
      p.set_global_filter(r == "std" || r == "all", r == "ext" || r == "all");
    }
    if (o.std_filters) p.set_std_filters(*o.std_filters);
    if (o.ext_filters) p.set_ext_filters(*o.ext_filters);
    if (o.hw_frame) p.set_hw_send_frame(*o.hw_frame, o.hw_period_ms, o.hw_count);
    if (o.hw_send) p.set_hw_send_mode(*o.hw_send);
    if (o.reinit) p.reinitialize();
  }
  return 0;
}

int run_send(const std::string &device, uint8_t port, const std::vector<canfd::Frame> &frames,
             uint64_t count, std::chrono::microseconds gap) {
  canfd::Adapter a = open_adapter(device);
  canfd::Port p = a.port(port);
  install_stop_handlers();
  send_frames(p, frames, count, gap);
  return 0;
}

int run_reset(const std::string &device, bool watchdog) {
  canfd::Adapter a = open_adapter(device);
  if (watchdog)
    a.reset_watchdog();
  else
    a.reset();
  return 0;
}

}  // namespace canfd_tool
