#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "sandbox_adapter.h"

namespace canfd_sim {

namespace fs = std::filesystem;

namespace {

// Longest socket path under the sandbox: <dir>/dev/hidrawN, which must fit
// into sockaddr_un with its terminating zero, for N up to kMaxHidraw.
constexpr size_t kMaxSocketPath = 107;
constexpr int kMaxHidraw = 99999;
constexpr size_t kNodeSuffix = sizeof "/dev/hidraw99999" - 1;

// The kernel's hidraw character devices use a dynamic major; any will do.
constexpr int kHidrawMajor = 240;

void write_file(const fs::path &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::system_error(errno, std::generic_category(), "write " + path.string());
}

// uevent of the HID device behind hidrawN, as the kernel writes it.
std::string default_uevent(const AdapterId &id) {
  std::string u;
  u += "DRIVER=hid-generic\n";
  u += "HID_ID=0003:" + id.vid + ":" + id.pid + "\n";
  u += "HID_NAME=CANFD Adapter\n";
  u += "HID_PHYS=usb-0000:00:14.0-" + std::to_string(id.hidraw + 1) + "/input0\n";
  u += "HID_UNIQ=" + id.uniq + "\n";
  u += "MODALIAS=hid:b0003g0001v" + id.vid + "p" + id.pid + "\n";
  return u;
}

void restore_env(const char *name, const std::optional<std::string> &value) {
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

}  // namespace

struct Sandbox::Impl {
  std::string dir;
  bool created = false;  // the directory is ours to remove as a whole
  std::optional<std::string> saved_env;
  std::optional<std::string> saved_timeout;  // the write timeout before the sandbox set one
  bool timeout_set = false;
  std::vector<std::unique_ptr<SimAdapter>> adapters;
  std::vector<bool> plugged;  // per adapter: not removed yet

  fs::path sys() const { return fs::path(dir) / "sys/class/hidraw"; }
  fs::path dev() const { return fs::path(dir) / "dev"; }
};

Sandbox::Sandbox(std::string dir) : impl_(std::make_unique<Impl>()) {
  if (dir.empty()) {
    char tmpl[] = "/tmp/canfd-sim-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    dir = tmpl;
    impl_->created = true;
  } else {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::error_code ec;
    impl_->created = fs::create_directories(dir, ec);
    if (ec) throw std::system_error(ec, "create " + dir);
  }
  impl_->dir = fs::absolute(dir).lexically_normal().string();
  if (impl_->dir.size() > 1 && impl_->dir.back() == '/') impl_->dir.pop_back();
  if (impl_->dir.size() + kNodeSuffix > kMaxSocketPath) {
    if (impl_->created) fs::remove_all(impl_->dir);
    throw std::invalid_argument("sandbox path too long for a socket: " + impl_->dir);
  }
  fs::create_directories(impl_->sys());
  fs::create_directories(impl_->dev());
  if (const char *old = getenv(CANFD_SANDBOX_ENV)) impl_->saved_env = old;
  setenv(CANFD_SANDBOX_ENV, impl_->dir.c_str(), 1);
}

Sandbox::~Sandbox() {
  impl_->adapters.clear();  // stops every adapter
  std::error_code ec;
  if (impl_->created) {
    fs::remove_all(impl_->dir, ec);
  } else {
    fs::remove_all(fs::path(impl_->dir) / "sys", ec);
    fs::remove_all(impl_->dev(), ec);
  }
  restore_env(CANFD_SANDBOX_ENV, impl_->saved_env);
  if (impl_->timeout_set) restore_env(CANFD_SANDBOX_WRITE_TIMEOUT_ENV, impl_->saved_timeout);
}

Adapter &Sandbox::add(const AdapterId &id) {
  if (id.hidraw < 0 || id.hidraw > kMaxHidraw)
    throw std::invalid_argument("hidraw number out of range");
  for (size_t i = 0; i < impl_->adapters.size(); ++i) {
    if (impl_->plugged[i] && impl_->adapters[i]->hidraw() == id.hidraw)
      throw std::invalid_argument("hidraw" + std::to_string(id.hidraw) + " is already present");
  }
  const std::string node = "hidraw" + std::to_string(id.hidraw);
  const fs::path entry = impl_->sys() / node;
  fs::create_directories(entry / "device");
  try {
    write_file(entry / "device/uevent", id.uevent.empty() ? default_uevent(id) : id.uevent);
    write_file(entry / "uevent", "MAJOR=" + std::to_string(kHidrawMajor) + "\nMINOR=" +
                                     std::to_string(id.hidraw) + "\nDEVNAME=" + node + "\n");
    write_file(entry / "dev",
               std::to_string(kHidrawMajor) + ":" + std::to_string(id.hidraw) + "\n");
    impl_->adapters.push_back(std::make_unique<SimAdapter>(id, (impl_->dev() / node).string()));
    impl_->plugged.push_back(true);
  } catch (...) {
    std::error_code ec;
    fs::remove_all(entry, ec);
    throw;
  }
  return *impl_->adapters.back();
}

void Sandbox::remove(Adapter &a) {
  for (size_t i = 0; i < impl_->adapters.size(); ++i) {
    if (impl_->adapters[i].get() != &a) continue;
    if (!impl_->plugged[i]) return;
    impl_->plugged[i] = false;
    std::error_code ec;
    fs::remove_all(impl_->sys() / ("hidraw" + std::to_string(a.hidraw())), ec);
    impl_->adapters[i]->stop();
    return;
  }
  throw std::invalid_argument("adapter does not belong to this sandbox");
}

void Sandbox::add_entry(const std::string &name, const char *uevent) {
  const fs::path entry = impl_->sys() / name;
  fs::create_directories(entry / "device");
  if (uevent) write_file(entry / "device/uevent", uevent);
}

void Sandbox::set_write_timeout(int ms) {
  if (ms < 0) throw std::invalid_argument("negative write timeout");
  if (!impl_->timeout_set) {
    if (const char *old = getenv(CANFD_SANDBOX_WRITE_TIMEOUT_ENV)) impl_->saved_timeout = old;
    impl_->timeout_set = true;
  }
  setenv(CANFD_SANDBOX_WRITE_TIMEOUT_ENV, std::to_string(ms).c_str(), 1);
}

const std::string &Sandbox::dir() const { return impl_->dir; }

}  // namespace canfd_sim
