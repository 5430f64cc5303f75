#include "convert.h"

#include <cstring>

namespace canfd_socketcan {

size_t to_socketcan(const CANFD_Frame_St &in, canfd_frame &out) {
  std::memset(&out, 0, sizeof out);
  const bool ext = in.flags & CANFD_FRAME_EXT;
  out.can_id = ext ? (in.id & CAN_EFF_MASK) | CAN_EFF_FLAG : in.id & CAN_SFF_MASK;
  if (in.flags & CANFD_FRAME_FD) {
    out.len = in.len > CANFD_MAX_DLEN ? CANFD_MAX_DLEN : in.len;
    // The kernel marks every CAN FD frame it hands out with CANFD_FDF; so
    // do we, so that readers see the same flags whoever sent the frame.
    out.flags = CANFD_FDF;
    if (in.flags & CANFD_FRAME_BRS) out.flags |= CANFD_BRS;
    if (in.flags & CANFD_FRAME_ESI) out.flags |= CANFD_ESI;
    std::memcpy(out.data, in.data, out.len);
    return CANFD_MTU;
  }
  out.len = in.len > CAN_MAX_DLEN ? CAN_MAX_DLEN : in.len;
  if (in.flags & CANFD_FRAME_RTR)
    out.can_id |= CAN_RTR_FLAG;
  else
    std::memcpy(out.data, in.data, out.len);
  return CAN_MTU;
}

Incoming from_socketcan(const void *record, size_t n, CANFD_Frame_St &out) {
  if (n != CAN_MTU && n != CANFD_MTU) return Incoming::bad_size;
  canfd_frame in{};
  std::memcpy(&in, record, n);
  if (in.can_id & CAN_ERR_FLAG) return Incoming::error_frame;
  std::memset(&out, 0, sizeof out);
  const bool ext = in.can_id & CAN_EFF_FLAG;
  out.id = in.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK);
  out.flags = ext ? CANFD_FRAME_EXT : 0;
  if (n == CANFD_MTU) {
    out.flags |= CANFD_FRAME_FD;
    if (in.flags & CANFD_BRS) out.flags |= CANFD_FRAME_BRS;
    if (in.flags & CANFD_ESI) out.flags |= CANFD_FRAME_ESI;
    out.len = in.len > CANFD_MAX_DLEN ? CANFD_MAX_DLEN : in.len;
    std::memcpy(out.data, in.data, out.len);
    return Incoming::frame;
  }
  out.len = in.len > CAN_MAX_DLEN ? CAN_MAX_DLEN : in.len;
  if (in.can_id & CAN_RTR_FLAG)
    out.flags |= CANFD_FRAME_RTR;
  else
    std::memcpy(out.data, in.data, out.len);
  return Incoming::frame;
}

}  // namespace canfd_socketcan
