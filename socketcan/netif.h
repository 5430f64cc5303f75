// CAN network interfaces: what the bridge needs to know of one, virtual CAN
// interfaces made and removed through rtnetlink, and raw sockets on them.
// Failures throw std::system_error with the errno value and what failed.
#ifndef CANFD_SOCKETCAN_NETIF_H
#define CANFD_SOCKETCAN_NETIF_H

#include <optional>
#include <string>

namespace canfd_socketcan {

// Longest interface name (IFNAMSIZ less its terminating zero).
constexpr size_t kMaxInterfaceName = 15;

struct InterfaceInfo {
  int index = 0;
  int mtu = 0;  // CAN_MTU (16): classic frames only; CANFD_MTU (72): CAN FD too
  bool up = false;
  bool is_can = false;  // a CAN interface (ARPHRD_CAN)
};

// The interface of that name, if there is one.
std::optional<InterfaceInfo> find_interface(const std::string &name);

// Creates a virtual CAN interface (vcan) with the CAN FD MTU and sets it up.
// Needs CAP_NET_ADMIN; EEXIST when the name is taken.
void create_vcan(const std::string &name);

// Removes the interface of that name (ENODEV when there is none).
void delete_interface(const std::string &name);

// A CAN raw socket bound to the interface, non-blocking, with CAN FD frames
// on if fd_frames, counts of the frames the kernel dropped for it
// (SO_RXQ_OVFL), and a receive buffer of rcvbuf bytes (beyond the system's
// limit where the process may, CAP_NET_ADMIN). Own frames are not received
// (the default), and every other socket on the interface sees the frames
// it writes (the default local loopback).
int open_can_socket(const std::string &name, bool fd_frames, int rcvbuf);

}  // namespace canfd_socketcan

#endif  // CANFD_SOCKETCAN_NETIF_H
