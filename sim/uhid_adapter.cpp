#include "uhid_adapter.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
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
  server_ = std::thread([this] { serve(); });
  reader_ = std::thread([this] { read_loop(); });
}

UhidAdapter::~UhidAdapter() {
  stop_ = true;
  engine_.shut_down();
  waker_.wake();
  reader_waker_.wake();
  server_.join();
  reader_.join();
  unplug();
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
  {
    // Reports written before the unplug die with the device.
    std::lock_guard<std::mutex> lk(inbox_mu_);
    inbox_.clear();
  }
  wake();
}

bool UhidAdapter::plugged() const {
  std::lock_guard<std::mutex> lk(write_mu_);
  return plugged_;
}

void UhidAdapter::wake() { waker_.wake(); }

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
  Waker::tighten_timer_slack();
  std::vector<uint8_t> report;
  while (!stop_) {
    int64_t now = monotonic_ns();
    bool waiting = false;
    while (engine_.take_ready_at(now) <= now) {
      {
        std::lock_guard<std::mutex> lk(inbox_mu_);
        if (inbox_.empty()) break;
        report.swap(inbox_.front());
        inbox_.pop_front();
      }
      engine_.take(report.data(), report.size(), now);
      now = monotonic_ns();
    }
    engine_.run(now);
    int64_t wake_at = engine_.next_wake();
    {
      std::lock_guard<std::mutex> lk(inbox_mu_);
      waiting = !inbox_.empty();
    }
    if (waiting) wake_at = std::min(wake_at, engine_.take_ready_at(now));
    pollfd fds[1];  // the waker's
    if (!waker_.wait(fds, 1, wake_at)) break;
  }
}

void UhidAdapter::read_loop() {
  // uhid keeps only 32 output reports for the device and drops the rest, so
  // this thread must not be kept waiting by a busy machine: it runs at a
  // real-time priority where allowed (root). It only moves reports into the
  // inbox, so it never holds a CPU for long.
  sched_param param{};
  param.sched_priority = 1;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  while (!stop_) {
    pollfd fds[2] = {{-1, 0, 0}, {fd_, POLLIN, 0}};  // [0]: the waker's
    if (!reader_waker_.wait(fds, 2, timing::kNever)) break;
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
  bool taken = false;
  for (;;) {
    const ssize_t n = read(fd_, &ev, sizeof ev);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (taken) waker_.wake();
      return true;
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
        const uint8_t *data = ev.u.output.data;
        std::lock_guard<std::mutex> lk(inbox_mu_);
        if (inbox_.size() >= kInboxLimit) {
          ++lost_;
          break;
        }
        inbox_.emplace_back(data, data + size);
        taken = true;
        break;
      }
      case UHID_GET_REPORT:
        refuse_report(UHID_GET_REPORT_REPLY, ev.u.get_report.id);
        break;
      case UHID_SET_REPORT:
        refuse_report(UHID_SET_REPORT_REPLY, ev.u.set_report.id);
        break;
      default:
        break;
    }
  }
}

void UhidAdapter::refuse_report(uint32_t type, uint32_t id) {
  // The adapter has no feature reports.
  uhid_event reply;
  std::memset(&reply, 0, sizeof reply);
  reply.type = type;
  if (type == UHID_GET_REPORT_REPLY) {
    reply.u.get_report_reply.id = id;
    reply.u.get_report_reply.err = EIO;
  } else {
    reply.u.set_report_reply.id = id;
    reply.u.set_report_reply.err = EIO;
  }
  std::lock_guard<std::mutex> lk(write_mu_);
  write_event(&reply, sizeof reply);
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
