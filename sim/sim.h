// Simulated two-port adapter and the hidraw sandbox it lives in.
//
// A Sandbox is a directory that the sandbox preload (libcanfd-sandbox.so,
// loaded with LD_PRELOAD) substitutes for /sys/class/hidraw and /dev: the
// preload reads the directory from the environment variable CANFD_SANDBOX.
// Each Adapter publishes a sysfs entry <dir>/sys/class/hidraw/hidrawN with
// device/uevent, and listens on the Unix seqpacket socket <dir>/dev/hidrawN,
// to which open("/dev/hidrawN") is connected. It then speaks the adapter's
// side of the report protocol: answers commands, keeps settings per port,
// carries frames between its two ports and sends hardware periodic frames.
//
// As on a hidraw node, any number of descriptors, in any processes, may
// have the node open at once: each receives every report the adapter sends,
// and the adapter takes the reports that any of them writes.
//
// A sandbox node behaves as the kernel's hidraw node of a USB HID adapter:
//  - write() returns once the adapter has taken the report, whatever
//    O_NONBLOCK says. Each descriptor may have up to four reports written
//    and not yet taken (the device's output buffers; on a real device they
//    are shared by all openers); a write beyond them blocks until the
//    adapter takes one, and fails with ETIMEDOUT, the report not sent, when
//    the write timeout (5 s, see Sandbox::set_write_timeout) passes first.
//    The adapter takes a report when its engine does: at once; with the
//    timing model on, at most one per USB interval and none while a port's
//    transmit queue has no room; none while stalled or while a late answer
//    is due. Reports a descriptor has in flight when the adapter is
//    disconnected or removed are lost.
//  - poll() and ppoll() report it writable whenever POLLOUT is asked.
//  - Each descriptor (open file) has its own buffer of kNodeInputReports
//    input reports; a report that finds it full is dropped for that
//    descriptor at once, and counted (Adapter::reports_dropped), unless
//    lossless mode is on.
//  - Once the adapter is disconnected or removed, reads return 0 and writes
//    fail with EPIPE (a real node fails them with EIO and ENODEV).
// select(), epoll, send() and writev() see the plain socket; a descriptor
// copied with dup() or fcntl() is a plain socket for writes and polls. A
// node opened with fopen() is read and written by stdio as a plain socket.
#ifndef CANFD_SIM_H
#define CANFD_SIM_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "canfd_comm.h"

namespace canfd_sim {

// Identity of a simulated adapter as the kernel would present it.
struct AdapterId {
  int hidraw = 0;                // N of hidrawN
  std::string vid = "00003F9A";  // as written in HID_ID (eight digits)
  std::string pid = "00000E31";
  std::string uniq = "1234ABCD";  // HID_UNIQ, the board id
  std::string uevent;             // if not empty, written verbatim instead
};

// Error codes of the adapter's '?' answers.
constexpr uint8_t kErrUnknownCommand = 1;  // function code not served
constexpr uint8_t kErrBadLength = 2;       // payload shorter than the command needs
constexpr uint8_t kErrBadValue = 3;        // list size above 128 (standard) or 64 (extended)

// How the adapter answers a command. A refused or silent command is not
// carried out; a late one is carried out and answered after delay_ms, while
// the adapter takes no further report.
struct Reply {
  enum Kind { Normal, Refuse, Silent, Late } kind = Normal;
  uint8_t code = 0;  // error code of a Refuse ('?') answer
  int delay_ms = 0;  // delay of a Late answer
  int times = -1;    // how many commands it applies to; -1 for all
};

// Input reports a descriptor open on a sandbox node holds unread, as each
// open file of a hidraw node does (HIDRAW_BUFFER_SIZE).
constexpr size_t kNodeInputReports = 64;

// USB interrupt transfer rates, reports per second each way.
constexpr int kUsbHighSpeed = 8000;
constexpr int kUsbFullSpeed = 1000;

// The timing model of the transport and the bus. Off, the adapter takes
// and sends reports as fast as the host and the socket allow, and a frame
// sent on one port is received on the other at once. On:
//  - the adapter takes at most one report from the host per USB interval
//    and sends at most one per interval (a transfer that went late lets the
//    next one follow at once, so the rate over time holds);
//  - each frame occupies the bus for its wire time at the sending port's
//    bit rates (see timing.h), and is received on the other port, with that
//    time stamp, when it has passed; the frames of both ports share the bus
//    and go by arbitration;
//  - the adapter takes no report from the host while a port's transmit
//    queue has frames and no room for the frames of one more report, as a
//    USB endpoint takes no transfer the device has no room for: the host's
//    writes wait, and nothing the host sent is lost on a busy bus;
//  - a frame that still finds its port's transmit queue full (a report with
//    more frames than the queue holds) is dropped and counted
//    (tx_overflows(), and the buffer-status word below).
struct Timing {
  bool on = false;
  int usb_reports_per_second = kUsbHighSpeed;
  unsigned tx_queue_frames = 256;  // per port, besides the frame on the wire
  // How far the adapter's clock is off, in parts per million of the host's
  // (negative: slow): the time stamps of received frames run at 1 + ppm/1e6
  // of the host's rate from the adapter's power-on.
  int clock_ppm = 0;
};

// The buffer-status word of a port's status read while the timing model is
// on: bits 0-15 count the frames that the port's transmit queue turned away
// because it was full, since power-on, module reset or port
// re-initialisation (the count stops at 0xFFFF); bits 16-31 are the frames
// waiting in the queue. With the model off, it is the word set_state() gave.
constexpr uint32_t kBufOverflowMask = 0xFFFF;
constexpr int kBufQueuedShift = 16;

// Settings of one port, as the adapter keeps them.
struct PortState {
  uint16_t enable = 0, bus_mode = 0, iso_mode = 0;
  uint32_t arb_bitrate = 500000, data_bitrate = 2000000;
  uint16_t arb_sp = 8000, data_sp = 7500;
  uint32_t status = 0, err_cnt = 0, buf_status = 0;
  uint32_t gfc = 0;
  uint16_t std_list_size = 0, ext_list_size = 0;
  uint32_t std_elems[128] = {};
  uint32_t ext_elems[128] = {};  // 64 pairs of words
  uint8_t hw_mode = 0;
  uint8_t hw_record[80] = {};
  uint16_t rx_fps = 0;  // counted by the adapter; set_state does not set it (see set_rx_fps)
  uint32_t reinit_count = 0;
};

struct ModuleState {
  uint16_t fw_version = 0x0102;
  uint8_t init_pin = 1;
  uint32_t serial = 0;
  uint8_t led_mode = 0, led_state = 0;
  uint32_t module_resets = 0, watchdog_resets = 0;
  PortState port[2];
};

class Adapter {
 public:
  virtual ~Adapter() = default;

  virtual int hidraw() const = 0;
  // Whether any descriptor has the node open.
  virtual bool connected() const = 0;
  // Blocks until a descriptor has the node open (or the timeout passes).
  virtual bool wait_connected(int timeout_ms) = 0;
  // Descriptors that have the node open.
  virtual int connections() const = 0;

  // Every write the host made, whole: 513-byte reports or 6-byte resets.
  virtual std::vector<std::vector<uint8_t>> received() const = 0;
  virtual void clear_received() = 0;
  // Waits until at least n writes have been received.
  virtual bool wait_received(size_t n, int timeout_ms) const = 0;
  // Frame records the adapter took from the host for a port (1 or 2), in order.
  virtual size_t tx_frames_received(int port) const = 0;

  // Sends one report to every reader; their read() returns exactly these
  // bytes. False when no reader took it. With the timing model on, the
  // report joins those waiting for a USB interval (the call waits while
  // too many wait) and true means it was queued.
  virtual bool send_report(const void *data, size_t len) = 0;
  // Sends received-frame records for a port, up to six per report (paced
  // like send_report with the timing model on).
  virtual void push_records(int port, const std::vector<CANRxPacketStruct> &recs) = 0;
  // Received-frame records in reports that readers missed, summed over
  // readers; with nobody having the node open, a record counts once.
  virtual uint64_t frames_dropped() const = 0;
  // Reports of any kind that readers missed, summed over readers: a report
  // that finds a reader's kNodeInputReports unread ones is dropped for that
  // reader at once, without delaying the adapter or the other readers.
  virtual uint64_t reports_dropped() const = 0;
  // The most reports that waited unread for any one reader at once since
  // reset_max_unread() (or since the adapter was made). Times the interval
  // between reports, it tells how long the host left the node unread.
  virtual size_t max_unread() const = 0;
  // Starts the high-water mark again from what waits unread now.
  virtual void reset_max_unread() = 0;
  // Lossless mode (off by default), for benchmarks that push reports faster
  // than a USB device could: a report that finds a reader's buffer full
  // waits for room instead of being dropped, holding up the adapter and its
  // other readers meanwhile. No kernel does this: a reader that stops
  // reading stops the adapter, and a host that waits in a write for the
  // adapter while nobody reads waits for its write timeout.
  virtual void set_lossless(bool on) = 0;

  // Command answers: for one (opcode, function code), or for every command.
  virtual void set_reply(uint8_t opcode, uint16_t fc, Reply r) = 0;
  virtual void set_reply_all(Reply r) = 0;
  virtual void clear_replies() = 0;
  // Whether frames sent on one port are received on the other (default on).
  virtual void set_loopback(bool on) = 0;
  // Whether received() keeps the host's writes (default on); long runs turn it off.
  virtual void set_recording(bool on) = 0;
  // Received frames per second of a port (1 or 2) are counted from the
  // frames that it takes; fps >= 0 reports that value instead, fps < 0
  // returns to counting.
  virtual void set_rx_fps(int port, int fps) = 0;

  // The timing model (off by default).
  virtual void set_timing(const Timing &t) = 0;
  virtual Timing timing() const = 0;
  // Frames of a port (1 or 2) dropped because its transmit queue was full.
  virtual uint64_t tx_overflows(int port) const = 0;

  // Transport faults, for every descriptor open at the time.
  virtual void disconnect() = 0;     // host reads give 0, writes fail with EPIPE
  virtual void refuse_writes() = 0;  // host writes fail with EPIPE; reads keep working
  // A stalled adapter takes no reports from the host until resumed, as a
  // stalled endpoint: each descriptor's first four writes return, the next
  // one blocks until the adapter is resumed and takes a report, or fails
  // with ETIMEDOUT after the write timeout.
  virtual void stall(bool on) = 0;

  virtual ModuleState state() const = 0;
  virtual void set_state(const ModuleState &s) = 0;
};

class Sandbox {
 public:
  // Creates the sandbox directory (a fresh temporary one when dir is empty)
  // and points CANFD_SANDBOX at it.
  explicit Sandbox(std::string dir = "");
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;

  Adapter &add(const AdapterId &id);
  // Unplugs: removes the sysfs entry and closes the connection.
  void remove(Adapter &a);
  // A sysfs entry with any name and uevent text (or none, if uevent is null).
  void add_entry(const std::string &name, const char *uevent);
  // How long a write to a node waits for the adapter to take its report
  // before it fails with ETIMEDOUT (5000 ms, the kernel's, by default):
  // sets CANFD_SANDBOX_WRITE_TIMEOUT_MS for this process and the programs it
  // starts from now on, until the sandbox is destroyed.
  void set_write_timeout(int ms);
  const std::string &dir() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Builds a received-frame record (test and tool helper).
CANRxPacketStruct make_rx_record(uint32_t id, bool ext, bool rtr, bool fd, bool brs, uint8_t dlc,
                                 const uint8_t *data, uint32_t sec = 0, uint32_t usec = 0);

}  // namespace canfd_sim

#endif  // CANFD_SIM_H
