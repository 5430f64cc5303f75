// SocketCAN error frames from the bus state of a port, as a CAN
// controller's driver sends them when its controller changes state.
#ifndef CANFD_SOCKETCAN_BUS_STATE_H
#define CANFD_SOCKETCAN_BUS_STATE_H

#include <linux/can.h>

#include <optional>

#include "canfd.hpp"

namespace canfd_socketcan {

// "error active", "error warning", "error passive", "bus off".
const char *state_name(canfd::BusState s);

// Follows the bus state of one port, read again and again, and makes the
// error frame that tells each change. A port starts error active.
class ErrorFrames {
 public:
  // The error frame for a change from the state before to s; nothing when
  // the state stayed the same (changed error counters alone are no news).
  // Every frame carries the error counters (CAN_ERR_CNT: data[6] transmit,
  // data[7] receive). Entering bus off: CAN_ERR_BUSOFF. Leaving it:
  // CAN_ERR_RESTARTED, with the state reached as below unless it is error
  // active. Any other change: CAN_ERR_CRTL with data[1] telling the new
  // state (CAN_ERR_CRTL_TX_WARNING/PASSIVE, RX_..., or CAN_ERR_CRTL_ACTIVE),
  // on the transmit side, the receive side or both, by which error counter
  // is the higher, as the kernel's can_change_state() does.
  std::optional<can_frame> update(const canfd::BusStatus &s);

  canfd::BusState state() const { return state_; }

 private:
  canfd::BusState state_ = canfd::BusState::error_active;
};

}  // namespace canfd_socketcan

#endif  // CANFD_SOCKETCAN_BUS_STATE_H
