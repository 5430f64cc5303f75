// The simulated adapter as a kernel HID device, made through /dev/uhid: the
// kernel's hid and hidraw drivers then give it a real /dev/hidrawN and sysfs
// entry, which every process sees, with no preload.
//
// The device is on bus USB with the adapter's vendor and product ids, its
// board id as the unique id and a vendor-defined report descriptor with one
// 512-byte input and one 512-byte output report, without report ids. The
// host's writes arrive as UHID_OUTPUT events exactly as written (513-byte
// reports with report number 0 first, the bare 6-byte resets); reports to
// the host go out as UHID_INPUT2, padded to 512 bytes, and the kernel hands
// each to every reader of the node.
//
// uhid takes a write to the node at once, whatever the device does, so the
// host gets no back-pressure: the kernel keeps up to 32 events for the
// device and drops what comes beyond ("Output queue is full"). One thread
// does nothing but read them into a bounded inbox, where the host's reports
// wait until the engine's thread takes them (paced, with the timing model
// on); what does not fit there is dropped and counted.
#ifndef CANFD_SIM_UHID_ADAPTER_H
#define CANFD_SIM_UHID_ADAPTER_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "waker.h"

namespace canfd_sim {

struct UhidIdentity {
  uint16_t vendor = 0x3F9A;
  uint16_t product = 0x0E31;
  std::string uniq = "1234ABCD";  // the board id, 8 hex digits
  std::string name = "CANFD Adapter (simulated)";
  std::string phys;  // HID_PHYS in sysfs: names this device among others
};

// The report descriptor of the device.
extern const uint8_t kUhidReportDescriptor[];
extern const size_t kUhidReportDescriptorSize;

class UhidAdapter final : private Engine::Link {
 public:
  // Serves the adapter through fd, an open /dev/uhid (or anything that
  // speaks its events), which it owns. The device is made by plug().
  UhidAdapter(int fd, UhidIdentity id);
  // Destroys the device, if plugged, and closes fd.
  ~UhidAdapter() override;
  UhidAdapter(const UhidAdapter &) = delete;
  UhidAdapter &operator=(const UhidAdapter &) = delete;

  // Creates the device (UHID_CREATE2) with an adapter fresh from power-on.
  // False, with errno set, when the kernel refuses it.
  bool plug();
  // Destroys the device (UHID_DESTROY): its node goes away, its readers get
  // EIO and its writers ENODEV.
  void unplug();
  bool plugged() const;
  // Whether a process has the node open (from UHID_OPEN to UHID_CLOSE).
  bool opened() const { return opened_.load(); }
  // Whether the kernel's driver runs the device (from UHID_START to UHID_STOP).
  bool started() const { return started_.load(); }

  const UhidIdentity &identity() const { return id_; }
  Engine &engine() { return engine_; }
  // Host reports dropped because the inbox was full.
  uint64_t reports_lost() const { return lost_.load(); }

 private:
  // Engine::Link.
  Engine::Delivery deliver(const uint8_t *data, size_t len) override;
  void wake() override;

  void serve();
  void read_loop();
  // Reads every pending event; false when the descriptor has failed.
  bool read_events();
  bool write_event(const void *ev, size_t len);
  // Answers a request for a feature report (UHID_GET_REPORT_REPLY or
  // UHID_SET_REPORT_REPLY) with an error.
  void refuse_report(uint32_t type, uint32_t id);

  const int fd_;
  const UhidIdentity id_;
  Engine engine_;
  Waker waker_;         // the engine's thread
  Waker reader_waker_;  // the reading thread
  std::atomic<bool> stop_{false};
  std::atomic<bool> opened_{false};
  std::atomic<bool> started_{false};
  std::atomic<uint64_t> lost_{0};

  std::mutex inbox_mu_;
  std::deque<std::vector<uint8_t>> inbox_;

  mutable std::mutex write_mu_;  // writes to fd_, and plugged_
  bool plugged_ = false;
  std::thread server_, reader_;
};

// The hidraw node that the kernel made for the HID device whose HID_PHYS is
// phys, found under a sysfs class directory (/sys/class/hidraw): its name,
// such as "hidraw0", or empty when there is none (yet).
std::string find_hidraw(const std::string &class_dir, const std::string &phys);

}  // namespace canfd_sim

#endif  // CANFD_SIM_UHID_ADAPTER_H
