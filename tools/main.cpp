// canfd: list, inspect, configure, send, generate and dump on the two-port USB
// CAN FD adapter, with can-utils' frame syntax, cangen's generation modes and
// candump's output layouts.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "commands.h"
#include "frame_text.h"
#include "gen.h"
#include "units.h"

using namespace canfd_tool;

namespace {

const char kFooter[] = R"TXT(
Adapters: with one attached, none needs naming; otherwise -d takes a board id
(1234ABCD), product and board id (0E31:1234ABCD) or a node (/dev/hidraw0).
Ports are numbered 1 and 2. In logs a port is named canfd-<board id>-<port>,
for example canfd-1234ABCD-1: the name stays the same whichever hidraw node the
adapter gets.
Errors read "canfd: <what failed>: <result> (<code>)"; the exit status is 1,
or 2 for bad command-line input.)TXT";

const char kDumpFooter[] = R"TXT(
Output, as candump writes it:
  default  "  canfd-1234ABCD-2  123   [4]  DE AD BE EF" (CAN FD lengths as [12])
  -x       "  canfd-1234ABCD-2  RX B E  123  [12]  ..." (B: bit rate switch,
           E: error state indicator; - where not set)
  -L       "(1700000000.123456) canfd-1234ABCD-2 123#DEADBEEF"; CAN FD frames
           as 123##<flags><data>, flags 1 BRS and 2 ESI (-x adds " R")

Time stamps (-t a, -t A, -L) are host time, seconds since 1970 as candump
writes them: the library maps the adapter's time stamp of each frame to the
host's clock. -H shows the adapter's own time stamps instead (seconds since
its power-on). -t d and -t z take differences of the same time stamps.

--stats prints, once a second on standard error, each port's frames per second
(counted here, and as the adapter counts them) and its bus load: the bus time of
the frames received in that second, divided by the second. A classic frame with
n data bytes takes 47+8n bits (extended: 67+8n) at the bit rate; a CAN FD frame
takes 30 bits (extended: 49) at the bit rate plus 26+8n bits (n > 16: 30+8n) in
its data phase, at the data bit rate with BRS and at the bit rate without.
Stuff bits are not counted.

--send sends frames while dumping, on --send-port or else on the port that is
not dumped; --send takes every frame that follows it, so give the ports first.
Without -n, --time or -T, the dump then ends one second after the last frame
was sent and nothing more arrived.)TXT";

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

template <typename T>
std::optional<T> given(CLI::Option *opt, const T &value) {
  if (opt->count() == 0) return std::nullopt;
  return value;
}

// Parses an option's text with one of the units parsers, naming the option
// in the message when it fails.
template <typename F>
auto parse_value(const char *option, const std::string &text, F parse) {
  try {
    return parse(text);
  } catch (const ValueError &e) {
    throw UsageError(fmt::format("{}: {}", option, e.what()));
  }
}

std::vector<canfd::Frame> parse_frames(const std::vector<std::string> &texts) {
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

std::chrono::microseconds gap_of(double ms) {
  if (!(ms >= 0) || ms > 3600e3) throw UsageError("--gap takes milliseconds from 0 to 3600000");
  return std::chrono::microseconds(static_cast<int64_t>(ms * 1000));
}

CLI::Option *add_device(CLI::App *sub, std::string &device) {
  return sub->add_option("-d,--device", device,
                         "adapter: board id, PID:BID or /dev/hidrawN (needed with several)");
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"canfd: list, inspect, configure, send, generate and dump on USB CAN FD adapters",
               "canfd"};
  app.set_version_flag("--version", "canfd " CANFD_TOOL_VERSION);
  app.require_subcommand(1);
  app.footer(kFooter);
  app.get_formatter()->column_width(34);

  // list
  bool json = false;
  CLI::App *list = app.add_subcommand("list", "List the attached adapters, one per line");
  list->add_flag("--json", json, "print a JSON array");

  // info
  std::string device;
  std::vector<int> info_ports;
  CLI::App *info = app.add_subcommand(
      "info", "Show firmware version, INIT pin and each port's mode, bit rates and filters");
  add_device(info, device);
  info->add_option("ports", info_ports, "ports to show (default both)");

  // config
  std::vector<int> config_ports;
  std::string bitrate, sample_point, data_bitrate, data_sample_point, reject_remote, hw_frame,
      hw_send;
  std::vector<std::string> std_filter, ext_filter;
  bool enable = false, disable = false, reinit = false;
  uint16_t bus_mode = 0, iso_mode = 0;
  uint16_t led_mode = 0, led_state = 0;
  std::string serial;
  uint32_t hw_period = 0, hw_count = 0;
  CLI::App *config = app.add_subcommand("config", "Set bit rates, modes, filters, LEDs, ...");
  add_device(config, device);
  config->add_option("ports", config_ports, "ports to configure (1, 2 or both)");
  auto *o_bitrate = config->add_option("--bitrate", bitrate, "bit rate, such as 500k or 1M");
  auto *o_sp = config->add_option("--sample-point", sample_point, "sample point, such as 80%");
  auto *o_dbitrate =
      config->add_option("--data-bitrate", data_bitrate, "CAN FD data bit rate, such as 2M");
  auto *o_dsp =
      config->add_option("--data-sample-point", data_sample_point, "data-phase sample point");
  auto *o_enable = config->add_flag("--enable", enable, "switch the port on");
  auto *o_disable = config->add_flag("--disable", disable, "switch the port off");
  o_enable->excludes(o_disable);
  auto *o_bus =
      config->add_option("--bus-mode", bus_mode, "bus mode word, as the adapter defines it");
  auto *o_iso =
      config->add_option("--iso-mode", iso_mode, "ISO mode word, as the adapter defines it");
  config->add_flag("--reinit", reinit, "re-initialise the port (after the other settings)");
  auto *o_reject = config
                       ->add_option("--reject-remote", reject_remote,
                                    "global filter: reject remote frames: none, std, ext or all")
                       ->check(CLI::IsMember({"none", "std", "ext", "all"}));
  auto *o_std = config->add_option("--std-filter", std_filter,
                                   "standard identifiers to accept: 0x100-0x1FF,0x300 (none: all)");
  auto *o_ext = config->add_option("--ext-filter", ext_filter,
                                   "extended identifiers to accept, as --std-filter (none: all)");
  auto *o_hw_frame = config->add_option("--hw-frame", hw_frame,
                                        "frame for hardware periodic sending (cansend syntax)");
  auto *o_hw_period = config->add_option("--hw-period", hw_period, "its period in ms")
                          ->check(CLI::Range(1u, 0xFFFFFFFFu));
  auto *o_hw_count = config->add_option("--hw-count", hw_count, "frames to send (0: until off)");
  o_hw_frame->needs(o_hw_period);
  o_hw_period->needs(o_hw_frame);
  o_hw_count->needs(o_hw_frame);
  auto *o_hw_send = config->add_option("--hw-send", hw_send, "hardware periodic sending: on or off")
                        ->check(CLI::IsMember({"on", "off"}));
  auto *o_led_mode =
      config->add_option("--led-mode", led_mode, "LED mode (0-255)")->check(CLI::Range(0, 255));
  auto *o_led_state =
      config->add_option("--led-state", led_state, "LED state (0-255)")->check(CLI::Range(0, 255));
  auto *o_serial = config->add_option("--serial", serial,
                                      "serial number, hexadecimal like the board id it becomes");
  config->footer(kConfigFooter);

  // send
  int send_port = 0;
  std::vector<std::string> send_texts;
  uint64_t count = 1;
  double gap_ms = 0;
  bool dry_run = false;
  CLI::App *send = app.add_subcommand("send", "Send frames given in cansend syntax");
  add_device(send, device);
  send->add_option("port", send_port, "port to send on (1 or 2)")->required();
  send->add_option("frames", send_texts, "frames, such as 123#DEADBEEF or 123##1112233")
      ->required();
  send->add_option("-c,--count", count, "send the frames this many times (0: until stopped)");
  send->add_option("-g,--gap", gap_ms, "milliseconds between frames");
  send->add_flag("--dry-run", dry_run,
                 "print the frames as parsed (CAN FD data padded to its DLC); send nothing");
  send->footer(kSendFooter);

  // dump
  std::vector<int> dump_ports;
  std::string time_mode, time_limit;
  bool log = false, stats = false, adapter_time = false, extra = false;
  uint64_t max_frames = 0, idle_ms = 0;
  std::vector<std::string> dump_send;
  int dump_send_port = 0;
  uint64_t dump_count = 1;
  double dump_gap_ms = 0;
  CLI::App *dump = app.add_subcommand("dump", "Show received frames as candump does");
  add_device(dump, device);
  dump->add_option("ports", dump_ports, "ports to dump (default both)");
  dump->add_option("-t", time_mode,
                   "time stamps: a absolute, A absolute with date, d delta, z from the first")
      ->check(CLI::IsMember({"a", "A", "d", "z"}));
  dump->add_flag("-H,--adapter-time", adapter_time,
                 "the adapter's own time stamps instead of host time");
  dump->add_flag("-x", extra, "extra columns: RX and the BRS and ESI flags, as candump -x");
  dump->add_flag("-L,--log", log, "log layout, as candump -L");
  dump->add_option("-n", max_frames, "stop after this many frames");
  dump->add_option("--time", time_limit, "stop after this time: 10 or 10s, 500ms");
  dump->add_option("-T", idle_ms, "stop when no frame arrived for this many ms");
  dump->add_flag("--stats", stats, "print rate and bus load once a second (standard error)");
  dump->add_option("--send", dump_send, "frames to send meanwhile (cansend syntax)");
  dump->add_option("--send-port", dump_send_port, "port for --send (default: the other one)")
      ->check(CLI::IsMember({1, 2}));
  dump->add_option("-c,--count", dump_count, "send the --send frames this many times");
  dump->add_option("-g,--gap", dump_gap_ms, "milliseconds between sent frames");
  dump->footer(kDumpFooter);

  // gen
  int gen_port = 0;
  double gen_gap_ms = 200, gen_rate = 0;
  uint64_t gen_count = 0, gen_burst = 1, gen_seed = 0;
  std::string gen_id = "r", gen_len = "r", gen_data = "r";
  bool gen_ext = false, gen_fd = false, gen_brs = false, gen_esi = false, gen_rtr = false,
       gen_mix = false;
  int gen_verbose = 0;
  CLI::App *gen = app.add_subcommand(
      "gen", "Send generated frames at a rate or as fast as the bus allows, as cangen does");
  add_device(gen, device);
  gen->add_option("port", gen_port, "port to send on (1 or 2)")->required();
  auto *o_gen_gap = gen->add_option("-g,--gap", gen_gap_ms,
                                    "milliseconds between bursts (default 200; 0: as "
                                    "fast as the bus allows)");
  auto *o_gen_rate =
      gen->add_option("--rate", gen_rate, "frames per second, instead of -g")->excludes(o_gen_gap);
  gen->add_option("-n,--count", gen_count, "stop after this many frames (default: until stopped)");
  gen->add_option("-c,--burst", gen_burst, "frames per burst (default 1)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1000000}));
  gen->add_option("-I,--id", gen_id, "identifier: r, i, e, o or hex (default r)");
  gen->add_option("-L,--len", gen_len, "length: r, i or bytes (default r)");
  gen->add_option("-D,--data", gen_data, "data: r, i or hex payload (default r)");
  gen->add_flag("-e,--extended", gen_ext, "extended (29-bit) identifiers");
  gen->add_flag("-f,--fd", gen_fd, "CAN FD frames");
  gen->add_flag("-b,--brs", gen_brs, "CAN FD frames with bit rate switch (implies -f)");
  gen->add_flag("-E,--esi", gen_esi, "CAN FD frames with error state indicator (implies -f)");
  gen->add_flag("-R,--remote", gen_rtr, "remote frames (classic only)");
  gen->add_flag("-m,--mix", gen_mix,
                "mix standard and extended, classic and CAN FD, BRS, ESI "
                "and remote frames at random");
  gen->add_flag("-v,--verbose", gen_verbose,
                "print each frame sent (cansend syntax; -vv: candump's layout)");
  auto *o_gen_seed = gen->add_option("--seed", gen_seed,
                                     "seed of the random values (default: "
                                     "a fresh one each run)");
  gen->footer(kGenFooter);

  // reset
  bool watchdog = false;
  CLI::App *reset = app.add_subcommand("reset", "Reset the adapter (module reset, or watchdog)");
  add_device(reset, device);
  reset->add_flag("--watchdog", watchdog, "watchdog reset instead of module reset");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-') {
      fmt::print(
          stderr,
          "canfd: unknown command '{}' (commands: list, info, config, send, gen, dump, reset)\n",
          argv[1]);
      return 2;
    }
    fmt::print(stderr, "canfd: {}\nRun 'canfd --help' or 'canfd <command> --help' for usage.\n",
               e.what());
    return 2;
  }

  try {
    if (list->parsed()) return run_list(json);
    if (info->parsed()) return run_info(device, ports_or_all(info_ports));
    if (config->parsed()) {
      ConfigOptions o;
      o.ports = config_ports.empty() ? std::vector<uint8_t>{} : ports_or_all(config_ports);
      if (o_bitrate->count()) o.bitrate = parse_value("--bitrate", bitrate, parse_bitrate);
      if (o_dbitrate->count())
        o.data_bitrate = parse_value("--data-bitrate", data_bitrate, parse_bitrate);
      if (o_sp->count())
        o.sample_point = parse_value("--sample-point", sample_point, parse_sample_point);
      if (o_dsp->count())
        o.data_sample_point =
            parse_value("--data-sample-point", data_sample_point, parse_sample_point);
      if (o_enable->count() || o_disable->count()) o.enable = enable;
      o.bus_mode = given(o_bus, bus_mode);
      o.iso_mode = given(o_iso, iso_mode);
      o.reinit = reinit;
      o.reject_remote = given(o_reject, reject_remote);
      if (o_std->count()) o.std_filters = parse_filters("--std-filter", std_filter, 0x7FF);
      if (o_ext->count()) o.ext_filters = parse_filters("--ext-filter", ext_filter, 0x1FFFFFFF);
      if (o_hw_frame->count()) {
        o.hw_frame = parse_frames({hw_frame}).front();
        o.hw_period_ms = hw_period;
        o.hw_count = hw_count;
      }
      if (o_hw_send->count()) o.hw_send = hw_send == "on";
      if (o_led_mode->count()) o.led_mode = static_cast<uint8_t>(led_mode);
      if (o_led_state->count()) o.led_state = static_cast<uint8_t>(led_state);
      if (o_serial->count()) {
        o.serial = parse_hex(serial);
        if (!o.serial)
          throw UsageError(
              fmt::format("--serial: '{}' is not a hexadecimal number of up to 8 digits", serial));
      }
      if (o.ports.empty() && o.has_port_settings())
        throw UsageError("name the port(s) to configure, such as 'canfd config 1 --bitrate 500k'");
      if (!o.has_port_settings() && !o.led_mode && !o.led_state && !o.serial)
        throw UsageError("nothing to configure: see 'canfd config --help'");
      return run_config(device, o);
    }
    if (send->parsed()) {
      const uint8_t port = ports_or_all({send_port}).front();
      const std::vector<canfd::Frame> frames = parse_frames(send_texts);
      const std::chrono::microseconds gap = gap_of(gap_ms);
      if (dry_run) {
        for (const canfd::Frame &f : frames) fmt::print("{}\n", compact(f));
        return 0;
      }
      return run_send(device, port, frames, count, gap);
    }
    if (dump->parsed()) {
      DumpOptions o;
      o.ports = ports_or_all(dump_ports);
      o.time_mode = time_mode.empty() ? 0 : time_mode[0];
      o.log = log;
      o.adapter_time = adapter_time;
      o.extra = extra;
      o.max_frames = max_frames;
      if (!time_limit.empty())
        o.time_limit_ms = parse_value("--time", time_limit, parse_duration_ms);
      o.idle_limit_ms = idle_ms;
      o.stats = stats;
      o.send = parse_frames(dump_send);
      o.send_count = dump_count;
      o.send_gap = gap_of(dump_gap_ms);
      if (!o.send.empty()) {
        o.send_port = dump_send_port;
        if (o.send_port == 0) {
          if (o.ports.size() != 1)
            throw UsageError("--send while dumping both ports needs --send-port");
          o.send_port = o.ports[0] == 1 ? 2 : 1;
        }
      }
      install_stop_handlers();
      canfd::Adapter a = open_adapter(device);
      return run_dump(a, o);
    }
    if (gen->parsed()) {
      GenOptions o;
      o.port = ports_or_all({gen_port}).front();
      if (o_gen_rate->count()) {
        if (!(gen_rate > 0) || gen_rate > 1e7)
          throw UsageError("--rate takes frames per second, above 0 and up to 10000000");
        o.gap = std::chrono::nanoseconds(static_cast<int64_t>(1e9 * gen_burst / gen_rate));
      } else {
        o.gap = gap_of(gen_gap_ms);
      }
      o.burst = gen_burst;
      o.count = gen_count;
      o.extended = gen_ext;
      o.brs = gen_brs;
      o.esi = gen_esi;
      o.fd = gen_fd || gen_brs || gen_esi;
      o.remote = gen_rtr;
      o.mix = gen_mix;
      o.verbose = gen_verbose;
      if (o_gen_seed->count()) o.seed = gen_seed;
      o.id = parse_id_mode(gen_id, o.extended || o.mix);
      o.len = parse_len_mode(gen_len, o.fd || o.mix);
      parse_data_mode(gen_data, o);
      return run_gen(device, o);
    }
    if (reset->parsed()) return run_reset(device, watchdog);
  } catch (const UsageError &e) {
    fmt::print(stderr, "canfd: {}\n", e.what());
    return 2;
  } catch (const std::exception &e) {
    fmt::print(stderr, "canfd: {}\n", e.what());
    return 1;
  }
  return 0;
}
