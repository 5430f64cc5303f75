// The simulated adapter as a USB device: a configfs gadget with a HID
// function, bound to a device controller of dummy_hcd, whose host side is
// this same machine. The kernel enumerates it as it would a real adapter:
// usbhid binds, hidraw makes /dev/hidrawN under the USB device, and the
// traffic has the USB stack's timing and back-pressure:
//  - the host's writes are interrupt transfers: a write waits until the
//    device takes the report (the kernel holds four for the device) and
//    fails with ETIMEDOUT after about 5 s when it does not;
//  - usb_f_hid fixes the endpoints' interval at 1 ms: about 1000 reports a
//    second each way, whatever the engine's timing model allows;
//  - usbhid polls the device only while the node is open; the first open
//    waits 50 ms and drops what the device sends meanwhile. What the engine
//    sends while the host does not poll is dropped here after 100 ms, as
//    firmware with a bounded buffer would drop it.
//
// The device side is /dev/hidgN. A read gives one output report as it came
// over the bus: without the report number, so the host's 513-byte writes
// arrive as 512 bytes and the bare 6-byte resets as 6. A write sends one
// input report; one is in flight at a time. The adapter reads a report only
// when its engine may take one, so a stalled engine holds the host's
// writers as a real adapter would. What the engine sends waits here while
// the report before is in flight, and the engine packs what waits behind it
// into reports only when it has gone, as firmware fills its next transfer.
//
// The gadget's board id is its USB serial number, which the host gives as
// HID_UNIQ; the hidraw node is found by its HID_PHYS,
// "usb-dummy_hcd.N-1/input0" for controller N.
#ifndef CANFD_SIM_USB_ADAPTER_H
#define CANFD_SIM_USB_ADAPTER_H

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

struct UsbIdentity {
  uint16_t vendor = 0x3F9A;
  uint16_t product = 0x0E31;
  std::string serial = "1234ABCD";  // the board id, 8 hex digits: HID_UNIQ
  std::string product_name = "CANFD Adapter (simulated)";
  // Name of the gadget's directory under usb_gadget in configfs; see
  // usb_gadget_name().
  std::string gadget;
};

// The gadget directory name of adapter `index` of process `pid`. Gadgets
// named so whose process has ended are removed by remove_stale_gadgets().
std::string usb_gadget_name(int pid, int index);

// What the USB transport lacks on this machine (root, configfs at
// /sys/kernel/config, the modules libcomposite, dummy_hcd and usbhid), as
// one message with what to do about it; empty when nothing is missing.
// usb_f_hid shows only when a gadget is made (UsbAdapter's constructor).
std::string usb_transport_problem();

// Removes the gadgets (unbinding them first) that canfd-sim processes left
// behind when they were killed.
void remove_stale_gadgets();

class UsbAdapter final : private Engine::Link {
 public:
  // Makes the gadget in configfs, not yet bound to a controller. Throws
  // std::runtime_error saying what failed.
  explicit UsbAdapter(UsbIdentity id);
  // Unplugs and removes the gadget's configfs entries.
  ~UsbAdapter() override;
  UsbAdapter(const UsbAdapter &) = delete;
  UsbAdapter &operator=(const UsbAdapter &) = delete;

  // Binds the gadget to a free dummy_hcd controller (the one it had before,
  // when that is free), opens its /dev/hidgN and serves it with an adapter
  // fresh from power-on. False, with error() saying why, when it cannot.
  bool plug();
  // Unbinds the gadget: the host sees a disconnect, the node goes away, its
  // readers get EIO and its writers ENODEV.
  void unplug();
  bool plugged() const { return fd_ >= 0; }
  // HID_PHYS of the host's HID device while plugged.
  std::string phys() const;
  const std::string &error() const { return error_; }

  const UsbIdentity &identity() const { return id_; }
  Engine &engine() { return engine_; }
  // While on, the adapter sends no input report (its IN endpoint answers
  // every poll with NAK); what the engine sends waits in it meanwhile.
  void hold_input(bool on);
  // Input reports dropped: sent while the host did not poll for them (no
  // process had the node open) or while too many waited.
  uint64_t reports_lost() const { return lost_.load(); }

 private:
  // Engine::Link.
  Engine::Delivery deliver(const uint8_t *data, size_t len) override;
  void wake() override;

  void serve();
  // Writes what waits for the host; true when a report is still waiting
  // for the one in flight.
  bool send_waiting(int64_t now);
  bool outbox_empty();
  void drop_outbox();
  bool bind(const std::string &udc);

  const UsbIdentity id_;
  const std::string dir_;  // the gadget's configfs directory
  std::string udc_;        // the controller it is (or was last) bound to
  std::string error_;
  Engine engine_;
  Waker waker_;
  int fd_ = -1;  // /dev/hidgN while plugged
  std::thread server_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hold_{false};
  std::atomic<uint64_t> lost_{0};

  // State of the serving thread.
  int64_t written_at_ = -1;  // when the report in flight was written; -1: none
  bool away_ = false;        // the host has not polled for a while

  std::mutex outbox_mu_;
  std::deque<std::vector<uint8_t>> outbox_;  // reports waiting for the one in flight
  bool dropping_ = false;                    // the host is away: deliver() drops
};

}  // namespace canfd_sim

#endif  // CANFD_SIM_USB_ADAPTER_H
