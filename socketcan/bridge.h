// The bridge between the ports of an adapter and sockets that carry frames
// as SocketCAN's raw sockets do: frames both ways, the bus state as error
// frames, and what is lost counted and reported.
#ifndef CANFD_SOCKETCAN_BRIDGE_H
#define CANFD_SOCKETCAN_BRIDGE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "canfd.hpp"

namespace canfd_socketcan {

// One line for the log (standard error in the daemon).
using Log = std::function<void(const std::string &)>;

// A port and its socket. The socket carries one frame per datagram, as a
// CAN raw socket does: CAN_MTU bytes for a classic frame, CANFD_MTU for a
// CAN FD frame. It is bound, non-blocking, and receives what others write
// to its interface but not what it writes itself; the bridge does not
// close it.
struct LinkConfig {
  uint8_t port = 1;
  std::string name;  // the interface's name, for the log
  int socket = -1;
  bool fd_frames = true;  // CAN FD frames may be written to it (CAN FD MTU)
};

struct BridgeConfig {
  std::string adapter;  // how the log names the adapter: "1234ABCD (/dev/hidraw0)"
  std::vector<LinkConfig> links;
  // Frames held per port between the socket and the adapter while the bus
  // is busy; while they are all held, the socket is not read.
  size_t queue = 16384;
  // How often the bus state is read (0: never, and no error frames).
  std::chrono::milliseconds state_interval{200};
  // After bus off, re-initialise the port this long after (0: never).
  std::chrono::milliseconds restart_after{0};
  // Losses are reported at most this often.
  std::chrono::milliseconds report_interval{1000};
  bool stats = false;  // each report interval, frames each way per port
};

struct Outcome {
  enum Kind {
    stopped,         // stop_fd became readable
    adapter_gone,    // the adapter was unplugged
    interface_gone,  // an interface disappeared
    failed,          // anything else that ends the bridge
  } kind = stopped;
  std::string message;  // what happened, for the log (empty when stopped)
};

// Bridges the ports until stop_fd becomes readable (it is not read), the
// adapter goes away, an interface disappears or something else fails, and
// tells which. Frames the library accepted are written to the adapter
// when it is closed.
Outcome run_bridge(canfd::Adapter &adapter, const BridgeConfig &config, int stop_fd,
                   const Log &log);

}  // namespace canfd_socketcan

#endif  // CANFD_SOCKETCAN_BRIDGE_H
