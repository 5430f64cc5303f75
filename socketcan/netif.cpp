#include "netif.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace canfd_socketcan {

namespace {

[[noreturn]] void fail(int err, const std::string &what) {
  throw std::system_error(err, std::generic_category(), what);
}

// A descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// An rtnetlink request under construction: the message header, the
// interface header, then attributes (nested ones by start and end).
class Request {
 public:
  Request(uint16_t type, uint16_t flags) {
    buf_.resize(NLMSG_SPACE(sizeof(ifinfomsg)));
    header().nlmsg_type = type;
    header().nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
    header().nlmsg_seq = 1;
    ifinfomsg *ifi = reinterpret_cast<ifinfomsg *>(NLMSG_DATA(buf_.data()));
    ifi->ifi_family = AF_UNSPEC;
    sync();
  }
  ifinfomsg &info() { return *reinterpret_cast<ifinfomsg *>(NLMSG_DATA(buf_.data())); }
  void put(uint16_t type, const void *data, size_t len) {
    const size_t at = buf_.size();
    buf_.resize(at + RTA_SPACE(len));
    rtattr *a = reinterpret_cast<rtattr *>(buf_.data() + at);
    a->rta_type = type;
    a->rta_len = static_cast<uint16_t>(RTA_LENGTH(len));
    if (len) std::memcpy(RTA_DATA(a), data, len);
    sync();
  }
  void put(uint16_t type, const std::string &s) { put(type, s.c_str(), s.size() + 1); }
  size_t begin_nest(uint16_t type) {
    const size_t at = buf_.size();
    put(type, nullptr, 0);
    return at;
  }
  void end_nest(size_t at) {
    reinterpret_cast<rtattr *>(buf_.data() + at)->rta_len = static_cast<uint16_t>(buf_.size() - at);
  }
  const std::vector<char> &bytes() const { return buf_; }

 private:
  nlmsghdr &header() { return *reinterpret_cast<nlmsghdr *>(buf_.data()); }
  void sync() { header().nlmsg_len = static_cast<uint32_t>(buf_.size()); }

  std::vector<char> buf_;
};

// Sends the request and waits for the kernel's acknowledgement; returns 0
// or the errno value it reports.
int exchange(const Request &r) {
  Fd s(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (s.get() < 0) return errno;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(s.get(), r.bytes().data(), r.bytes().size(), 0, reinterpret_cast<sockaddr *>(&kernel),
             sizeof kernel) < 0)
    return errno;
  alignas(nlmsghdr) char answer[8192];
  for (;;) {
    const ssize_t n = recv(s.get(), answer, sizeof answer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    int left = static_cast<int>(n);
    for (nlmsghdr *h = reinterpret_cast<nlmsghdr *>(answer); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_ERROR) return -static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error;
    }
  }
}

}  // namespace

std::optional<InterfaceInfo> find_interface(const std::string &name) {
  if (name.empty() || name.size() > kMaxInterfaceName) return std::nullopt;
  InterfaceInfo info;
  info.index = static_cast<int>(if_nametoindex(name.c_str()));
  if (info.index == 0) return std::nullopt;
  Fd s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0) fail(errno, "socket");
  ifreq req{};
  std::memcpy(req.ifr_name, name.c_str(), name.size());
  if (ioctl(s.get(), SIOCGIFMTU, &req) != 0) fail(errno, "read the MTU of " + name);
  info.mtu = req.ifr_mtu;
  if (ioctl(s.get(), SIOCGIFFLAGS, &req) != 0) fail(errno, "read the flags of " + name);
  info.up = req.ifr_flags & IFF_UP;
  if (ioctl(s.get(), SIOCGIFHWADDR, &req) != 0) fail(errno, "read the type of " + name);
  info.is_can = req.ifr_hwaddr.sa_family == ARPHRD_CAN;
  return info;
}

void create_vcan(const std::string &name) {
  Request r(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
  r.info().ifi_flags = IFF_UP;
  r.info().ifi_change = IFF_UP;
  r.put(IFLA_IFNAME, name);
  const uint32_t mtu = CANFD_MTU;
  r.put(IFLA_MTU, &mtu, sizeof mtu);
  const size_t linkinfo = r.begin_nest(IFLA_LINKINFO);
  r.put(IFLA_INFO_KIND, std::string("vcan"));
  r.end_nest(linkinfo);
  const int err = exchange(r);
  if (err != 0) fail(err, "create the vcan interface " + name);
}

void delete_interface(const std::string &name) {
  Request r(RTM_DELLINK, 0);
  r.put(IFLA_IFNAME, name);
  const int err = exchange(r);
  if (err != 0) fail(err, "remove the interface " + name);
}

int open_can_socket(const std::string &name, bool fd_frames, int rcvbuf) {
  Fd s(socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW));
  if (s.get() < 0) fail(errno, "open a CAN raw socket");
  const int on = 1;
  if (fd_frames && setsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0)
    fail(errno, "take CAN FD frames on " + name);
  if (setsockopt(s.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0)
    fail(errno, "count dropped frames on " + name);
  // Beyond net.core.rmem_max only with CAP_NET_ADMIN; up to it otherwise.
  if (setsockopt(s.get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0 &&
      setsockopt(s.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0)
    fail(errno, "size the receive buffer on " + name);
  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(if_nametoindex(name.c_str()));
  if (addr.can_ifindex == 0) fail(ENODEV, "find " + name);
  if (bind(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    fail(errno, "bind a CAN raw socket to " + name);
  return s.release();
}

}  // namespace canfd_socketcan
