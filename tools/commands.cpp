// canfd list, info, config, send and reset: the subcommands that make a few
// library calls each.
#include <fmt/format.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "frame_text.h"
#include "units.h"

namespace canfd_tool {

namespace {

// Settings of `canfd config`; unset ones are left as the adapter has them.
struct ConfigOptions {
  std::vector<uint8_t> ports;
  // Module.
  std::optional<uint8_t> led_mode, led_state;
  std::optional<uint32_t> serial;
  // Port.
  std::optional<bool> enable;
  std::optional<uint16_t> bus_mode, iso_mode;
  std::optional<uint32_t> bitrate, data_bitrate;
  std::optional<uint16_t> sample_point, data_sample_point;
  std::optional<std::string> reject_remote;  // none, std, ext, all
  std::optional<std::vector<canfd::IdRange>> std_filters, ext_filters;
  std::optional<canfd::Frame> hw_frame;
  uint32_t hw_period_ms = 0, hw_count = 0;
  std::optional<bool> hw_send;
  bool reinit = false;
  bool force = false;  // change settings of ports other programs use

  bool has_port_settings() const {
    return enable || bus_mode || iso_mode || bitrate || data_bitrate || sample_point ||
           data_sample_point || reject_remote || std_filters || ext_filters || hw_frame ||
           hw_send || reinit;
  }
};

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
  if (o.force)
    for (uint8_t n = 1; n <= 2; ++n) a.port(n).set_override(true);
  if (o.led_mode) a.set_led_mode(*o.led_mode);
  if (o.led_state) a.set_led_state(*o.led_state);
  if (o.serial) change_settings(a, 0, [&] { a.set_serial_number(*o.serial); });
  for (uint8_t n : o.ports) {
    canfd::Port p = a.port(n);
    change_settings(a, n, [&] {
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
    });
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

int run_reset(const std::string &device, bool watchdog, bool force) {
  canfd::Adapter a = open_adapter(device);
  if (force)
    for (uint8_t n = 1; n <= 2; ++n) a.port(n).set_override(true);
  change_settings(a, 0, [&] {
    if (watchdog)
      a.reset_watchdog();
    else
      a.reset();
  });
  return 0;
}

const char kConfigFooter[] = R"TXT(
Settings that are not given stay as the adapter has them. They are applied in
this order: LED mode and state, serial number, then for each port the operating
mode, bit rates and sample points, global filter, filter lists, hardware-send
frame and mode, and last the re-initialisation.)TXT";

const char kSendFooter[] = R"TXT(
Frames as cansend takes them:
  123#DEADBEEF        standard identifier (3 hex digits), up to 8 data bytes
  12345678#11.22.33   extended identifier (8 hex digits); dots are optional
  123#R  123#R4       remote frame, with its length 0-8
  123##1<data>        CAN FD, up to 64 bytes; the digit after ## holds the flags
                      (1 BRS, 2 ESI), sent as given. Lengths between DLC steps
                      are padded with zeros (9 bytes go out as 12).
Without -g the frames go out in batches, up to seven to a report, as fast as
the bus takes them (by the port's bit rates); the library waits for room in its
transmit queue, and a queue that stays full for 2 s is an error.)TXT";

template <typename T>
std::optional<T> given(const CLI::Option *opt, const T &value) {
  if (opt->count() == 0) return std::nullopt;
  return value;
}

std::vector<canfd::IdRange> parse_filters(const char *option, const std::vector<std::string> &items,
                                          uint32_t max) {
  std::vector<canfd::IdRange> ranges;
  for (const std::string &item : items) {
    if (item == "none") continue;
    auto more =
        parse_value(option, item, [max](const std::string &s) { return parse_id_ranges(s, max); });
    ranges.insert(ranges.end(), more.begin(), more.end());
  }
  return ranges;
}

}  // namespace

Subcommand add_list(CLI::App &app) {
  auto json = std::make_shared<bool>(false);
  CLI::App *sub = app.add_subcommand("list", "List the attached adapters, one per line");
  sub->add_flag("--json", *json, "print a JSON array");
  return {sub, [json] { return run_list(*json); }};
}

Subcommand add_info(CLI::App &app) {
  struct Args {
    std::string device;
    std::vector<int> ports;
  };
  auto a = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand(
      "info", "Show firmware version, INIT pin and each port's mode, bit rates and filters");
  add_device(sub, a->device);
  sub->add_option("ports", a->ports, "ports to show (default both)");
  return {sub, [a] { return run_info(a->device, ports_or_all(a->ports)); }};
}

Subcommand add_config(CLI::App &app) {
  struct Args {
    std::string device;
    std::vector<int> ports;
    std::string bitrate, sample_point, data_bitrate, data_sample_point, reject_remote, hw_frame,
        hw_send, serial;
    std::vector<std::string> std_filter, ext_filter;
    bool enable = false, disable = false, reinit = false, force = false;
    uint16_t bus_mode = 0, iso_mode = 0, led_mode = 0, led_state = 0;
    uint32_t hw_period = 0, hw_count = 0;
    CLI::Option *o_bitrate, *o_sp, *o_dbitrate, *o_dsp, *o_enable, *o_disable, *o_bus, *o_iso,
        *o_reject, *o_std, *o_ext, *o_hw_frame, *o_hw_send, *o_led_mode, *o_led_state, *o_serial;
  };
  auto a = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("config", "Set bit rates, modes, filters, LEDs, ...");
  add_device(sub, a->device);
  sub->add_option("ports", a->ports, "ports to configure (1, 2 or both)");
  a->o_bitrate = sub->add_option("--bitrate", a->bitrate, "bit rate, such as 500k or 1M");
  a->o_sp = sub->add_option("--sample-point", a->sample_point, "sample point, such as 80%");
  a->o_dbitrate =
      sub->add_option("--data-bitrate", a->data_bitrate, "CAN FD data bit rate, such as 2M");
  a->o_dsp =
      sub->add_option("--data-sample-point", a->data_sample_point, "data-phase sample point");
  a->o_enable = sub->add_flag("--enable", a->enable, "switch the port on");
  a->o_disable = sub->add_flag("--disable", a->disable, "switch the port off");
  a->o_enable->excludes(a->o_disable);
  a->o_bus = sub->add_option("--bus-mode", a->bus_mode, "bus mode word, as the adapter defines it");
  a->o_iso = sub->add_option("--iso-mode", a->iso_mode, "ISO mode word, as the adapter defines it");
  sub->add_flag("--reinit", a->reinit, "re-initialise the port (after the other settings)");
  sub->add_flag("--force", a->force, "change the settings of ports other programs use");
  a->o_reject = sub->add_option("--reject-remote", a->reject_remote,
                                "global filter: reject remote frames: none, std, ext or all")
                    ->check(CLI::IsMember({"none", "std", "ext", "all"}));
  a->o_std = sub->add_option("--std-filter", a->std_filter,
                             "standard identifiers to accept: 0x100-0x1FF,0x300 (none: all)");
  a->o_ext = sub->add_option("--ext-filter", a->ext_filter,
                             "extended identifiers to accept, as --std-filter (none: all)");
  a->o_hw_frame = sub->add_option("--hw-frame", a->hw_frame,
                                  "frame for hardware periodic sending (cansend syntax)");
  CLI::Option *o_hw_period = sub->add_option("--hw-period", a->hw_period, "its period in ms")
                                 ->check(CLI::Range(1u, 0xFFFFFFFFu));
  CLI::Option *o_hw_count =
      sub->add_option("--hw-count", a->hw_count, "frames to send (0: until off)");
  a->o_hw_frame->needs(o_hw_period);
  o_hw_period->needs(a->o_hw_frame);
  o_hw_count->needs(a->o_hw_frame);
  a->o_hw_send = sub->add_option("--hw-send", a->hw_send, "hardware periodic sending: on or off")
                     ->check(CLI::IsMember({"on", "off"}));
  a->o_led_mode =
      sub->add_option("--led-mode", a->led_mode, "LED mode (0-255)")->check(CLI::Range(0, 255));
  a->o_led_state =
      sub->add_option("--led-state", a->led_state, "LED state (0-255)")->check(CLI::Range(0, 255));
  a->o_serial = sub->add_option("--serial", a->serial,
                                "serial number, hexadecimal like the board id it becomes");
  sub->footer(kConfigFooter);

  return {sub, [a] {
            ConfigOptions o;
            o.ports = a->ports.empty() ? std::vector<uint8_t>{} : ports_or_all(a->ports);
            if (a->o_bitrate->count())
              o.bitrate = parse_value("--bitrate", a->bitrate, parse_bitrate);
            if (a->o_dbitrate->count())
              o.data_bitrate = parse_value("--data-bitrate", a->data_bitrate, parse_bitrate);
            if (a->o_sp->count())
              o.sample_point = parse_value("--sample-point", a->sample_point, parse_sample_point);
            if (a->o_dsp->count())
              o.data_sample_point =
                  parse_value("--data-sample-point", a->data_sample_point, parse_sample_point);
            if (a->o_enable->count() || a->o_disable->count()) o.enable = a->enable;
            o.bus_mode = given(a->o_bus, a->bus_mode);
            o.iso_mode = given(a->o_iso, a->iso_mode);
            o.reinit = a->reinit;
            o.force = a->force;
            o.reject_remote = given(a->o_reject, a->reject_remote);
            if (a->o_std->count())
              o.std_filters = parse_filters("--std-filter", a->std_filter, 0x7FF);
            if (a->o_ext->count())
              o.ext_filters = parse_filters("--ext-filter", a->ext_filter, 0x1FFFFFFF);
            if (a->o_hw_frame->count()) {
              o.hw_frame = parse_frames({a->hw_frame}).front();
              o.hw_period_ms = a->hw_period;
              o.hw_count = a->hw_count;
            }
            if (a->o_hw_send->count()) o.hw_send = a->hw_send == "on";
            if (a->o_led_mode->count()) o.led_mode = static_cast<uint8_t>(a->led_mode);
            if (a->o_led_state->count()) o.led_state = static_cast<uint8_t>(a->led_state);
            if (a->o_serial->count()) {
              o.serial = parse_hex(a->serial);
              if (!o.serial)
                throw UsageError(fmt::format(
                    "--serial: '{}' is not a hexadecimal number of up to 8 digits", a->serial));
            }
            if (o.ports.empty() && o.has_port_settings())
              throw UsageError(
                  "name the port(s) to configure, such as 'canfd config 1 --bitrate 500k'");
            if (!o.has_port_settings() && !o.led_mode && !o.led_state && !o.serial)
              throw UsageError("nothing to configure: see 'canfd config --help'");
            return run_config(a->device, o);
          }};
}

Subcommand add_send(CLI::App &app) {
  struct Args {
    std::string device;
    int port = 0;
    std::vector<std::string> frames;
    uint64_t count = 1;
    double gap_ms = 0;
    bool dry_run = false;
  };
  auto a = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("send", "Send frames given in cansend syntax");
  add_device(sub, a->device);
  sub->add_option("port", a->port, "port to send on (1 or 2)")->required();
  sub->add_option("frames", a->frames, "frames, such as 123#DEADBEEF or 123##1112233")->required();
  sub->add_option("-c,--count", a->count, "send the frames this many times (0: until stopped)");
  sub->add_option("-g,--gap", a->gap_ms, "milliseconds between frames");
  sub->add_flag("--dry-run", a->dry_run,
                "print the frames as parsed (CAN FD data padded to its DLC); send nothing");
  sub->footer(kSendFooter);

  return {sub, [a] {
            const uint8_t port = ports_or_all({a->port}).front();
            const std::vector<canfd::Frame> frames = parse_frames(a->frames);
            const std::chrono::microseconds gap = gap_of(a->gap_ms);
            if (a->dry_run) {
              for (const canfd::Frame &f : frames) fmt::print("{}\n", compact(f));
              return 0;
            }
            return run_send(a->device, port, frames, a->count, gap);
          }};
}

Subcommand add_reset(CLI::App &app) {
  struct Args {
    std::string device;
    bool watchdog = false, force = false;
  };
  auto a = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("reset", "Reset the adapter (module reset, or watchdog)");
  add_device(sub, a->device);
  sub->add_flag("--watchdog", a->watchdog, "watchdog reset instead of module reset");
  sub->add_flag("--force", a->force, "reset while other programs use the adapter's ports");
  return {sub, [a] { return run_reset(a->device, a->watchdog, a->force); }};
}

}  // namespace canfd_tool
