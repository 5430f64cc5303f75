#include "usb_adapter.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "uhid_adapter.h"  // the report descriptor

namespace canfd_sim {

namespace {

constexpr char kGadgets[] = "/sys/kernel/config/usb_gadget";
constexpr char kConfigfsMount[] = "/sys/kernel/config";
constexpr char kUdcClass[] = "/sys/class/udc";
constexpr char kUsbhidDriver[] = "/sys/bus/usb/drivers/usbhid";
// dummy_hcd's device controller N pairs with its host controller N, the
// host's USB bus name.
constexpr char kDummyUdc[] = "dummy_udc.";
constexpr char kDummyHcd[] = "dummy_hcd.";
constexpr char kGadgetPrefix[] = "canfd-sim.";
constexpr char kFunction[] = "functions/hid.usb0";
constexpr char kConfig[] = "configs/c.1";
constexpr char kStrings[] = "strings/0x409";  // US English

constexpr uint16_t kBcdUsb = 0x0200;
constexpr uint16_t kDeviceVersion = 0x0100;
constexpr size_t kReportSize = CANFD_PACKET_MAX;  // both ways, no report number
// Longest read from /dev/hidgN: one transfer of up to a report.
constexpr size_t kReadMax = 2 * kReportSize;
// Reports that may wait for the one in flight. The engine packs reports
// only when none waits, so more than one wait only with its timing model
// off, when it hands over all it has at once.
constexpr size_t kOutboxLimit = 4096;
// A report in flight this long means the host does not poll (usbhid polls
// every 1 ms while a process has the node open, and not at all otherwise):
// the adapter drops what it would send until the host polls again, as
// firmware with a bounded buffer does. usbhid itself drops what arrives in
// the first 50 ms after an open, so little that is stale survives.
constexpr int64_t kHostAwayNs = 100 * 1000000LL;
// How long the kernel may take to make /dev/hidgN once the gadget is bound.
constexpr int kNodeWaitMs = 10000;

std::string hex4(uint16_t v) {
  char b[8];
  snprintf(b, sizeof b, "0x%04x", v);
  return b;
}

// Writes a configfs or sysfs attribute in one write(). False with errno set.
bool write_attr(const std::string &path, const void *data, size_t len) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = write(fd, data, len);
  const int err = errno;
  close(fd);
  if (n == static_cast<ssize_t>(len)) return true;
  errno = n < 0 ? err : EIO;
  return false;
}

bool write_attr(const std::string &path, const std::string &text) {
  return write_attr(path, text.data(), text.size());
}

std::string read_line(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string failed(const std::string &what) { return what + ": " + strerror(errno); }

// The entries of a directory whose names start with prefix, sorted.
std::vector<std::string> entries(const std::string &dir, const std::string &prefix) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (const dirent *e = readdir(d))
      if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
        names.emplace_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// dummy_hcd's device controllers in the order of their numbers.
std::vector<std::string> dummy_controllers() {
  std::vector<std::string> udcs = entries(kUdcClass, kDummyUdc);
  const auto number = [](const std::string &name) {
    return atoi(name.c_str() + sizeof kDummyUdc - 1);
  };
  std::sort(udcs.begin(), udcs.end(),
            [&](const std::string &a, const std::string &b) { return number(a) < number(b); });
  return udcs;
}

bool configfs_mounted() {
  std::ifstream mounts("/proc/mounts");
  std::string dev, dir, type, rest;
  while (mounts >> dev >> dir >> type && std::getline(mounts, rest))
    if (dir == kConfigfsMount && type == "configfs") return true;
  return false;
}

// Unbinds and removes a gadget directory with whatever of it exists.
void remove_gadget(const std::string &dir) {
  if (!exists(dir)) return;
  if (!read_line(dir + "/UDC").empty()) write_attr(dir + "/UDC", "\n");
  unlink((dir + "/" + kConfig + "/hid.usb0").c_str());
  rmdir((dir + "/" + kConfig + "/" + kStrings).c_str());
  rmdir((dir + "/" + kConfig).c_str());
  rmdir((dir + "/" + kFunction).c_str());
  rmdir((dir + "/" + kStrings).c_str());
  rmdir(dir.c_str());
}

}  // namespace

std::string usb_gadget_name(int pid, int index) {
  return kGadgetPrefix + std::to_string(pid) + "." + std::to_string(index);
}

std::string usb_transport_problem() {
  std::vector<std::string> missing;
  if (geteuid() != 0) missing.emplace_back("it runs as root only");
  if (!exists(kGadgets)) {
    if (!configfs_mounted())
      missing.emplace_back(
          "configfs is not mounted at /sys/kernel/config (mount -t configfs none "
          "/sys/kernel/config)");
    else
      missing.emplace_back("the USB gadget framework is not loaded (modprobe libcomposite)");
  }
  if (dummy_controllers().empty())
    missing.emplace_back(
        "there is no dummy_hcd controller (modprobe dummy_hcd num=N, N for as many adapters at "
        "once)");
  if (!exists(kUsbhidDriver))
    missing.emplace_back("the USB HID driver is not loaded (modprobe usbhid)");
  std::string text;
  for (const std::string &m : missing) text += (text.empty() ? "" : "; ") + m;
  return text;
}

void remove_stale_gadgets() {
  for (const std::string &name : entries(kGadgets, kGadgetPrefix)) {
    const int pid = atoi(name.c_str() + sizeof kGadgetPrefix - 1);
    if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
      remove_gadget(std::string(kGadgets) + "/" + name);
  }
}

// ---- The gadget --------------------------------------------------------------

UsbAdapter::UsbAdapter(UsbIdentity id)
    : id_(std::move(id)), dir_(std::string(kGadgets) + "/" + id_.gadget), engine_(*this) {
  const auto make_dir = [&](const std::string &rel) {
    const std::string path = rel.empty() ? dir_ : dir_ + "/" + rel;
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      const std::string why = errno == ENOENT && rel == kFunction
                                  ? "the HID gadget function is not loaded (modprobe usb_f_hid)"
                                  : failed("cannot make " + path);
      remove_gadget(dir_);
      throw std::runtime_error(why);
    }
  };
  const auto set = [&](const std::string &rel, const void *data, size_t len) {
    if (!write_attr(dir_ + "/" + rel, data, len)) {
      const std::string why = failed("cannot write " + dir_ + "/" + rel);
      remove_gadget(dir_);
      throw std::runtime_error(why);
    }
  };
  const auto set_text = [&](const std::string &rel, const std::string &text) {
    set(rel, text.data(), text.size());
  };
  make_dir("");
  set_text("idVendor", hex4(id_.vendor));
  set_text("idProduct", hex4(id_.product));
  set_text("bcdUSB", hex4(kBcdUsb));
  set_text("bcdDevice", hex4(kDeviceVersion));
  make_dir(kStrings);
  set_text(std::string(kStrings) + "/serialnumber", id_.serial);
  set_text(std::string(kStrings) + "/product", id_.product_name);
  make_dir(kConfig);
  make_dir(kFunction);
  const std::string fn = kFunction;
  set_text(fn + "/protocol", "0");
  set_text(fn + "/subclass", "0");
  set_text(fn + "/report_length", std::to_string(kReportSize));
  set(fn + "/report_desc", kUhidReportDescriptor, kUhidReportDescriptorSize);
  if (symlink((dir_ + "/" + kFunction).c_str(), (dir_ + "/" + kConfig + "/hid.usb0").c_str()) !=
      0) {
    const std::string why = failed("cannot add the HID function to " + dir_);
    remove_gadget(dir_);
    throw std::runtime_error(why);
  }
}

UsbAdapter::~UsbAdapter() {
  engine_.shut_down();
  unplug();
  remove_gadget(dir_);
}

bool UsbAdapter::bind(const std::string &udc) {
  // A controller that another gadget has reports its name.
  if (!read_line(std::string(kUdcClass) + "/" + udc + "/function").empty()) return false;
  return write_attr(dir_ + "/UDC", udc);
}

bool UsbAdapter::plug() {
  if (plugged()) return true;
  std::vector<std::string> udcs = dummy_controllers();
  if (udcs.empty()) {
    error_ = "there is no dummy_hcd controller (modprobe dummy_hcd num=N)";
    return false;
  }
  // The controller it had before first: the node keeps its USB path.
  const auto before = std::find(udcs.begin(), udcs.end(), udc_);
  if (before != udcs.end()) std::rotate(udcs.begin(), before, before + 1);
  bool bound = false;
  for (const std::string &udc : udcs) {
    if (bind(udc)) {
      udc_ = udc;
      bound = true;
      break;
    }
  }
  if (!bound) {
    error_ = "all " + std::to_string(udcs.size()) +
             " dummy_hcd controllers are in use (load dummy_hcd with a larger num=)";
    return false;
  }

  // The function's device node, made once the gadget is bound.
  const std::string devnum = read_line(dir_ + "/" + kFunction + "/dev");
  std::string node;
  for (int waited = 0;; waited += 10) {
    std::ifstream uevent("/sys/dev/char/" + devnum + "/uevent");
    std::string line;
    while (std::getline(uevent, line))
      if (line.rfind("DEVNAME=", 0) == 0) node = "/dev/" + line.substr(8);
    if (!node.empty() && exists(node)) break;
    if (waited >= kNodeWaitMs) {
      error_ = "the kernel made no device node for the HID function (" + devnum + ") of " + dir_;
      write_attr(dir_ + "/UDC", "\n");
      return false;
    }
    usleep(10000);
  }
  const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error_ = failed("cannot open " + node);
    write_attr(dir_ + "/UDC", "\n");
    return false;
  }
  engine_.power_on();
  {
    std::lock_guard<std::mutex> lk(outbox_mu_);
    outbox_.clear();
    dropping_ = false;
  }
  written_at_ = -1;
  away_ = false;
  stop_ = false;
  fd_ = fd;
  server_ = std::thread([this] { serve(); });
  return true;
}

void UsbAdapter::unplug() {
  if (!plugged()) return;
  stop_ = true;
  waker_.wake();
  server_.join();
  // The device side closes before the controller lets go of the gadget.
  close(fd_);
  fd_ = -1;
  write_attr(dir_ + "/UDC", "\n");
  // Reports not sent before the unplug die with the device.
  drop_outbox();
}

std::string UsbAdapter::phys() const {
  // The host's bus of dummy_udc.N is dummy_hcd.N; the device is on port 1.
  return "usb-" + std::string(kDummyHcd) + udc_.substr(sizeof kDummyUdc - 1) + "-1/input0";
}

void UsbAdapter::hold_input(bool on) {
  hold_ = on;
  waker_.wake();
}

// ---- Reports to the host -----------------------------------------------------

Engine::Delivery UsbAdapter::deliver(const uint8_t *data, size_t len) {
  Engine::Delivery d;
  std::lock_guard<std::mutex> lk(outbox_mu_);
  if (dropping_ || outbox_.size() >= kOutboxLimit) {
    ++lost_;
    d.missed = 1;
    return d;
  }
  // A report on the wire is the report's full size, whatever the packet in it.
  outbox_.emplace_back(data, data + std::min(len, kReportSize));
  outbox_.back().resize(kReportSize);
  d.took = 1;
  return d;
}

void UsbAdapter::wake() { waker_.wake(); }

bool UsbAdapter::outbox_empty() {
  std::lock_guard<std::mutex> lk(outbox_mu_);
  return outbox_.empty();
}

void UsbAdapter::drop_outbox() {
  std::lock_guard<std::mutex> lk(outbox_mu_);
  lost_ += outbox_.size();
  outbox_.clear();
}

bool UsbAdapter::send_waiting(int64_t now) {
  for (;;) {
    std::vector<uint8_t> report;
    {
      std::lock_guard<std::mutex> lk(outbox_mu_);
      if (outbox_.empty()) return false;
      report.swap(outbox_.front());
      outbox_.pop_front();
    }
    const ssize_t n = write(fd_, report.data(), report.size());
    if (n >= 0) {
      written_at_ = now;
      continue;
    }
    if (errno == EAGAIN || errno == EINTR) {
      std::lock_guard<std::mutex> lk(outbox_mu_);
      outbox_.push_front(std::move(report));
      return true;
    }
    // The host has not configured the device (yet): the report is lost.
    ++lost_;
  }
}

// ---- The serving thread ------------------------------------------------------

void UsbAdapter::serve() {
  Waker::tighten_timer_slack();
  std::vector<uint8_t> in(1 + kReadMax);
  while (!stop_) {
    int64_t now = monotonic_ns();

    // The host's reports, each once the engine may take it; the kernel
    // holds the rest (and then the host's writers).
    int64_t take_at = engine_.take_ready_at(now);
    bool want_in = false;
    while (take_at <= now) {
      const ssize_t n = read(fd_, in.data() + 1, in.size() - 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        want_in = true;
        break;
      }
      in[0] = 0;  // the report number the host wrote before the packet
      engine_.take(in.data(), static_cast<size_t>(n) + 1, now);
      now = monotonic_ns();
      take_at = engine_.take_ready_at(now);
    }

    // Reports to the host. The engine packs the next ones once those
    // before have gone; while the host is away, they are dropped.
    const bool hold = hold_.load();
    bool want_out = false;
    if (!hold) {
      if (away_ || outbox_empty()) engine_.run(now);
      want_out = send_waiting(now);
      if (want_out && !away_ && written_at_ >= 0 && now - written_at_ > kHostAwayNs) {
        away_ = true;
        {
          std::lock_guard<std::mutex> lk(outbox_mu_);
          dropping_ = true;
        }
        drop_outbox();
      }
      // Away, it watches for the host's next poll.
      want_out |= away_;
    }

    int64_t wake_at = want_in ? timing::kNever : take_at;
    if (!hold) {
      if (away_ || !want_out) wake_at = std::min(wake_at, engine_.next_wake());
      if (want_out && !away_ && written_at_ >= 0)
        wake_at = std::min(wake_at, written_at_ + kHostAwayNs + 1);
    }
    pollfd fds[2] = {
        {-1, 0, 0},
        {fd_, static_cast<short>((want_in ? POLLIN : 0) | (want_out ? POLLOUT : 0)), 0}};
    if (!waker_.wait(fds, 2, wake_at)) break;
    if (fds[1].revents & POLLOUT) {
      // The report in flight has gone: the host polls.
      written_at_ = -1;
      if (away_) {
        away_ = false;
        std::lock_guard<std::mutex> lk(outbox_mu_);
        dropping_ = false;
      }
    }
  }
}

}  // namespace canfd_sim
