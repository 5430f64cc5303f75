// Frames between the library's frame records (CANFD_Frame_St) and the
// records of a SocketCAN raw socket (struct can_frame, struct canfd_frame).
#ifndef CANFD_SOCKETCAN_CONVERT_H
#define CANFD_SOCKETCAN_CONVERT_H

#include <linux/can.h>

#include <cstddef>

#include "canfd.h"

namespace canfd_socketcan {

// Writes a frame the adapter received as a raw socket carries it and returns
// the number of bytes to write: CAN_MTU (a struct can_frame) for a classic
// frame, CANFD_MTU (a struct canfd_frame, with BRS and ESI as received) for
// a CAN FD frame. A remote frame keeps its length and carries no data.
size_t to_socketcan(const CANFD_Frame_St &in, canfd_frame &out);

// What a record read from a raw socket is, for the bus.
enum class Incoming {
  frame,        // out holds it
  error_frame,  // an error frame: it reports, it does not go on a bus
  bad_size,     // neither CAN_MTU nor CANFD_MTU bytes
};

// Reads a record of n bytes from a raw socket into a frame for the adapter.
// Identifiers are cut to their 11 or 29 bits and classic lengths to 8, as a
// CAN controller's driver does; a CAN FD frame drops the remote flag (CAN FD
// has no remote frames) and keeps BRS and ESI.
Incoming from_socketcan(const void *record, size_t n, CANFD_Frame_St &out);

}  // namespace canfd_socketcan

#endif  // CANFD_SOCKETCAN_CONVERT_H
