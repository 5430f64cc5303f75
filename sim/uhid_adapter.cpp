#include "uhid_adapter.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace canfd_sim {

namespace {

// Host reports that may wait for the engine; about half a second of USB
// transfers at high speed.
constexpr size_t kInboxLimit = 4096;
constexpr size_t kReportSize = CANFD_PACKET_MAX;  // input reports, without report id
constexpr unsigned long kTimerSlackNs = 10000;
constexpr uint16_t kDeviceVersion = 0x0100;

// Copies a string into a zero-terminated field of an event (zeroed before).
void put_string(uint8_t *field, size_t size, const std::string &s) {
  std::memcpy(field, s.data(), std::min(s.size(), size - 1));
}

}  // namespace

// Vendor-defined usage page; one 512-byte input report and one 512-byte
// output report of bytes, no report ids.
const uint8_t kUhidReportDescriptor[] = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x96, 0x00, 0x02,  //   Report Count (512)
    0x09, 0x01,        //   Usage (0x01)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x96, 0x00, 0x02,  //   Report Count (512)
    0x09, 0x02,        //   Usage (0x02)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};
const size_t kUhidReportDescriptorSize = sizeof kUhidReportDescriptor;

UhidAdapter::UhidAdapter(int fd, UhidIdentity id) : fd_(fd), id_(std::move(id)), engine_(*this) {
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    const int e = errno;
    close(fd_);
    throw std::system_error(e, std::generic_category(), "eventfd");
  }
  server_ = std::thread([this] { serve(); });
}

UhidAdapter::~UhidAdapter() {
  stop_ = true;
  engine_.shut_down();
  wake();
  server_.join();
  unplug();
  close(wake_fd_);
  close(fd_);
}

bool UhidAdapter::write_event(const void *ev, size_t len) {
  for (;;) {
    const ssize_t n = write(fd_, ev, len);
    if (n == static_cast<ssize_t>(len)) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0) errno = EIO;
    return false;
  }
}

bool UhidAdapter::plug() {
  std::lock_guard<std::mutex> lk(write_mu_);
  if (plugged_) return true;
  engine_.power_on();
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_CREATE2;
  put_string(ev.u.create2.name, sizeof ev.u.create2.name, id_.name);
  put_string(ev.u.create2.phys, sizeof ev.u.create2.phys, id_.phys);
  put_string(ev.u.create2.uniq, sizeof ev.u.create2.uniq, id_.uniq);
  ev.u.create2.rd_size = static_cast<uint16_t>(kUhidReportDescriptorSize);
  std::memcpy(ev.u.create2.rd_data, kUhidReportDescriptor, kUhidReportDescriptorSize);
  ev.u.create2.bus = BUS_USB;
  ev.u.create2.vendor = id_.vendor;
  ev.u.create2.product = id_.product;
  ev.u.create2.version = kDeviceVersion;
  ev.u.create2.country = 0;
  if (!write_event(&ev, sizeof ev)) return false;
  plugged_ = true;
  return true;
}

void UhidAdapter::unplug() {
  {
    std::lock_guard<std::mutex> lk(write_mu_);
    if (!plugged_) return;
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    write_event(&ev, sizeof ev);
    plugged_ = false;
  }
  opened_ = false;
  started_ = false;
  wake();
}

bool UhidAdapter::plugged() const {
  std::lock_guard<std::mutex> lk(write_mu_);
  return plugged_;
}

void UhidAdapter::wake() {
  const uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the server wakes anyway.
  }
}

Engine::Delivery UhidAdapter::deliver(const uint8_t *data, size_t len) {
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_INPUT2;
  // A report on the wire is the report's full size, whatever the packet in it.
  const size_t n = std::min<size_t>(len, UHID_DATA_MAX);
  std::memcpy(ev.u.input2.data, data, n);
  ev.u.input2.size = static_cast<uint16_t>(std::max(n, kReportSize));
  Engine::Delivery d;
  std::lock_guard<std::mutex> lk(write_mu_);
  // The kernel hands the report to every reader; whether one missed it
  // (its queue of reports was full) is not known here.
  if (plugged_ && opened_ && write_event(&ev, sizeof ev))
    d.took = 1;
  else
    d.missed = 1;
  return d;
}

// ---- The serving thread ----------------------------------------------------

void UhidAdapter::serve() {
  prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
  while (!stop_) {
    // Reports written before an unplug die with the device.
    if (!inbox_.empty() && !plugged()) inbox_.clear();
    int64_t now = monotonic_ns();
    while (!inbox_.empty() && engine_.take_ready_at() <= now) {
      engine_.take(inbox_.front().data(), inbox_.front().size(), now);
      inbox_.pop_front();
      now = monotonic_ns();
    }
    engine_.run(now);
    int64_t wake_at = engine_.next_wake();
    if (!inbox_.empty()) wake_at = std::min(wake_at, engine_.take_ready_at());
    now = monotonic_ns();
    timespec ts{};
    if (wake_at != timing::kNever) {
      const int64_t d = std::max<int64_t>(wake_at - now, 0);
      ts.tv_sec = static_cast<time_t>(d / timing::kNsPerSecond);
      ts.tv_nsec = static_cast<long>(d % timing::kNsPerSecond);
    }
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    const int r = ppoll(fds, 2, wake_at == timing::kNever ? nullptr : &ts, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      uint64_t v;
      if (read(wake_fd_, &v, sizeof v) < 0) {
        // Nothing pending: spurious wake-up.
      }
    }
    if (stop_) break;
    if (fds[1].revents & POLLIN) {
      if (!read_events()) break;
    } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      break;
    }
  }
}

bool UhidAdapter::read_events() {
  uhid_event ev;
  for (;;) {
    const ssize_t n = read(fd_, &ev, sizeof ev);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    if (n == 0) return false;
    if (static_cast<size_t>(n) < sizeof ev.type) continue;
    switch (ev.type) {
      case UHID_START:
        started_ = true;
        break;
      case UHID_STOP:
        started_ = false;
        break;
      case UHID_OPEN:
        opened_ = true;
        break;
      case UHID_CLOSE:
        opened_ = false;
        break;
      case UHID_OUTPUT: {
        if (ev.u.output.rtype != UHID_OUTPUT_REPORT) break;
        const size_t size = std::min<size_t>(ev.u.output.size, UHID_DATA_MAX);
        if (size == 0) break;
        if (inbox_.size() >= kInboxLimit) {
          ++lost_;
          break;
        }
        const uint8_t *data = ev.u.output.data;
        inbox_.emplace_back(data, data + size);
        break;
      }
      case UHID_GET_REPORT: {
        // The adapter has no feature reports: refuse politely.
        uhid_event reply;
        std::memset(&reply, 0, sizeof reply);
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = ev.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
        std::lock_guard<std::mutex> lk(write_mu_);
        write_event(&reply, sizeof reply);
        break;
      }
      case UHID_SET_REPORT: {
        uhid_event reply;
        std::memset(&reply, 0, sizeof reply);
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = ev.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
        std::lock_guard<std::mutex> lk(write_mu_);
        write_event(&reply, sizeof reply);
        break;
      }
      default:
        break;
    }
  }
}

std::string find_hidraw(const std::string &class_dir, const std::string &phys) {
  DIR *d = opendir(class_dir.c_str());
  if (!d) return {};
  std::string found;
  const std::string wanted = "HID_PHYS=" + phys;
  while (const dirent *e = readdir(d)) {
    if (std::strncmp(e->d_name, "hidraw", 6) != 0) continue;
    std::ifstream in(class_dir + "/" + e->d_name + "/device/uevent");
    std::string line;
    while (std::getline(in, line)) {
      if (line == wanted) break;
    }
    if (line == wanted) {
      found = e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

}  // namespace canfd_sim
