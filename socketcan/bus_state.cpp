#include "bus_state.h"

#include <linux/can/error.h>

#include <cstring>

namespace canfd_socketcan {

namespace {

using canfd::BusState;

// data[1] of a side (transmit, receive) in error active, error warning and
// error passive.
constexpr uint8_t kCrtlBits[2][3] = {
    {CAN_ERR_CRTL_ACTIVE, CAN_ERR_CRTL_TX_WARNING, CAN_ERR_CRTL_TX_PASSIVE},
    {CAN_ERR_CRTL_ACTIVE, CAN_ERR_CRTL_RX_WARNING, CAN_ERR_CRTL_RX_PASSIVE},
};

// data[1] for a state short of bus off: the state of the side whose counter
// is the higher (both when equal); the other side stays error active.
uint8_t crtl_bits(BusState s, uint8_t tx_errors, uint8_t rx_errors) {
  const BusState tx = tx_errors >= rx_errors ? s : BusState::error_active;
  const BusState rx = tx_errors <= rx_errors ? s : BusState::error_active;
  uint8_t bits = 0;
  if (tx >= rx) bits |= kCrtlBits[0][static_cast<int>(tx)];
  if (tx <= rx) bits |= kCrtlBits[1][static_cast<int>(rx)];
  return bits;
}

}  // namespace

const char *state_name(canfd::BusState s) {
  switch (s) {
    case BusState::error_active:
      return "error active";
    case BusState::error_warning:
      return "error warning";
    case BusState::error_passive:
      return "error passive";
    case BusState::bus_off:
      return "bus off";
  }
  return "unknown state";
}

std::optional<can_frame> ErrorFrames::update(const canfd::BusStatus &s) {
  if (s.state == state_) return std::nullopt;
  const BusState before = state_;
  state_ = s.state;
  can_frame f;
  std::memset(&f, 0, sizeof f);
  f.can_id = CAN_ERR_FLAG | CAN_ERR_CNT;
  f.len = CAN_ERR_DLC;
  f.data[6] = s.tx_errors;
  f.data[7] = s.rx_errors;
  if (s.state == BusState::bus_off) {
    f.can_id |= CAN_ERR_BUSOFF;
    return f;
  }
  if (before == BusState::bus_off) {
    f.can_id |= CAN_ERR_RESTARTED;
    if (s.state == BusState::error_active) return f;
  }
  f.can_id |= CAN_ERR_CRTL;
  f.data[1] = crtl_bits(s.state, s.tx_errors, s.rx_errors);
  return f;
}

}  // namespace canfd_socketcan
