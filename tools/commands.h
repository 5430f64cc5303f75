// The subcommands of the canfd tool other than dump.
#ifndef CANFD_TOOL_COMMANDS_H
#define CANFD_TOOL_COMMANDS_H

#include <optional>
#include <string>
#include <vector>

#include "tool.h"

namespace canfd_tool {

int run_list(bool json);
int run_info(const std::string &device, const std::vector<uint8_t> &ports);

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

  bool has_port_settings() const {
    return enable || bus_mode || iso_mode || bitrate || data_bitrate || sample_point ||
           data_sample_point || reject_remote || std_filters || ext_filters || hw_frame ||
           hw_send || reinit;
  }
};
int run_config(const std::string &device, const ConfigOptions &o);

int run_send(const std::string &device, uint8_t port, const std::vector<canfd::Frame> &frames,
             uint64_t count, std::chrono::microseconds gap);
int run_reset(const std::string &device, bool watchdog);

}  // namespace canfd_tool

#endif  // CANFD_TOOL_COMMANDS_H
