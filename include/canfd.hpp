// C++ interface to libcanfd: adapters as handles that close themselves,
// ports, frames, and results as exceptions that carry the result code and
// its name. Header only, over the C API of canfd.h.
//
//   auto adapters = canfd::scan();
//   canfd::Adapter a = canfd::Adapter::open(adapters.at(0));
//   canfd::Port p = a.port(1);
//   p.set_bit_timing({500000, 2000000, 8000, 7500});
//   canfd::Frame f;
//   f.id = 0x123;
//   f.dlc = 2;
//   f.data[0] = 0x11;
//   p.send(f);
//   if (p.wait(std::chrono::milliseconds(100)))
//     if (auto r = p.receive()) ...
//
// Calls on one adapter may come from several threads, as the C API allows;
// an Adapter must outlive the Ports taken from it and the calls on them.
#ifndef CANFD_HPP
#define CANFD_HPP

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "canfd.h"

namespace canfd {

// ---- Results ---------------------------------------------------------------

// Name of a result code: the CANFD_ERR_ name from the library's table,
// "adapter error N" for the adapter's own codes (1 to 255), "success" for 0.
inline std::string result_name(int code) {
  if (code == 0) return "success";
  const CANFD_ResultCode_St *table = nullptr;
  const int n = CANFD_GetResultCodes(&table);
  for (int i = 0; i < n; ++i)
    if (table[i].code == code) return table[i].name;
  if (code > 0 && code <= 255) return "adapter error " + std::to_string(code);
  return "unknown result " + std::to_string(code);
}

// CANFD_OpenDevice also returns the plain numbers 1, 2 and 5, which would
// read as adapter errors anywhere else.
inline std::string open_result_name(int code) {
  switch (code) {
    case 1:
      return "cannot open the hidraw node";
    case 2:
      return "cannot start a worker thread";
    case 5:
      return "cannot set up the device";
    default:
      return result_name(code);
  }
}

class ResultCategory : public std::error_category {
 public:
  const char *name() const noexcept override { return "canfd"; }
  std::string message(int code) const override { return result_name(code); }
};

inline const std::error_category &result_category() {
  static const ResultCategory category;
  return category;
}

inline std::error_code make_error_code(int result) { return {result, result_category()}; }

// A failed call: what() reads "<operation>: <result name> (0x10100)".
class Error : public std::runtime_error {
 public:
  Error(int result, const std::string &operation, const std::string &name)
      : std::runtime_error(format(result, operation, name)),
        result_(result),
        operation_(operation),
        name_(name) {}
  Error(int result, const std::string &operation) : Error(result, operation, result_name(result)) {}

  int result() const noexcept { return result_; }
  std::error_code code() const noexcept { return make_error_code(result_); }
  const std::string &operation() const noexcept { return operation_; }
  const std::string &name() const noexcept { return name_; }

 private:
  static std::string format(int result, const std::string &operation, const std::string &name) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(result));
    return operation + ": " + name + " (" + hex + ")";
  }

  int result_;
  std::string operation_;
  std::string name_;
};

inline void check(int result, const std::string &operation) {
  if (result != 0) throw Error(result, operation);
}

// ---- Values ----------------------------------------------------------------

// Time stamp set by the adapter.
struct Timestamp {
  uint32_t sec = 0;
  uint32_t usec = 0;
};

inline bool operator<(const Timestamp &a, const Timestamp &b) {
  return a.sec != b.sec ? a.sec < b.sec : a.usec < b.usec;
}

struct Frame {
  uint32_t id = 0;        // 11 bits, or 29 when extended
  bool extended = false;  // 29-bit identifier
  bool remote = false;    // remote request (classic frames only)
  bool fd = false;        // CAN FD frame
  // Bit rate switch and error state indicator. The library sets BRS itself
  // on every CAN FD frame with data that it sends and cannot send ESI, and
  // does not report either for received frames (both read false).
  bool brs = false;
  bool esi = false;
  uint8_t dlc = 0;  // data length code: 0-8, and 9-15 (12-64 bytes) for CAN FD
  std::array<uint8_t, 64> data{};
  uint8_t type = 0;  // received frames: the adapter's frame type code
  Timestamp time;    // received frames: the adapter's time stamp

  // Number of data bytes that the DLC stands for.
  size_t size() const {
    const unsigned code = dlc & 0xFu;
    if (fd) return CANFD_DLC2DBN[code];
    return code > 8 ? 8 : code;
  }
};

struct DeviceInfo {
  unsigned hidraw = 0;  // N of /dev/hidrawN
  uint16_t pid = 0;     // USB product id
  uint32_t bid = 0;     // board id (the USB serial number)

  std::string node() const { return "/dev/hidraw" + std::to_string(hidraw); }
};

// Operating mode words, as the adapter defines them.
struct OpMode {
  uint16_t enable = 0;
  uint16_t bus_mode = 0;
  uint16_t iso_mode = 0;
};

struct PortStatus {
  uint32_t status = 0;
  uint32_t error_counter = 0;
  uint32_t buffer_status = 0;
};

// Bit rates in bit/s; sample points in units of 0.01 % (8000 is 80 %).
struct BitTiming {
  uint32_t bitrate = 0;
  uint32_t data_bitrate = 0;
  uint16_t sample_point = 0;
  uint16_t data_sample_point = 0;
};

struct GlobalFilter {
  bool reject_std_remote = false;
  bool reject_ext_remote = false;
  uint16_t std_list_size = 0;  // standard filter elements in use, up to 128
  uint16_t ext_list_size = 0;  // extended filter elements in use, up to 64
};

// An acceptance filter element: identifiers first to last pass.
struct IdRange {
  uint32_t first = 0;
  uint32_t last = 0;
};

constexpr size_t kMaxStdFilters = 128;
constexpr size_t kMaxExtFilters = 64;

// ---- Discovery -------------------------------------------------------------

// The attached adapters, in the order in which the system lists them.
inline std::vector<DeviceInfo> scan() {
  std::vector<DeviceInfo> found;
  if (CANFD_ScanDevice() != 0) return found;
  for (const ListDev &e : List) {
    if (e.Dev_hidNum == 0xFFFFFFFFu) break;
    found.push_back({e.Dev_hidNum, e.Dev_PID, e.Dev_BID});
  }
  return found;
}

// ---- Ports and adapters ----------------------------------------------------

class Port {
 public:
  Port(WORD device, uint8_t number) : device_(device), number_(number) {}

  uint8_t number() const { return number_; }

  OpMode mode() const {
    OpMode m;
    call(CANFD_GetCANOPMode(device_, number_, &m.enable, &m.bus_mode, &m.iso_mode),
         "read operating mode");
    return m;
  }
  void set_mode(const OpMode &m) {
    call(CANFD_SetCANOPMode(device_, number_, m.enable, m.bus_mode, m.iso_mode),
         "set operating mode");
  }
  PortStatus status() const {
    PortStatus s;
    call(CANFD_GetCANStatus(device_, number_, &s.status, &s.error_counter, &s.buffer_status),
         "read status");
    return s;
  }
  BitTiming bit_timing() const {
    BitTiming t;
    call(CANFD_GetCANADBaudRate(device_, number_, &t.bitrate, &t.data_bitrate, &t.sample_point,
                                &t.data_sample_point),
         "read bit rates");
    return t;
  }
  void set_bit_timing(const BitTiming &t) {
    call(CANFD_SetCANADBaudRate(device_, number_, t.bitrate, t.data_bitrate, t.sample_point,
                                t.data_sample_point),
         "set bit rates");
  }
  // Frames per second that the adapter counted on this port.
  uint16_t rx_frames_per_second() const {
    WORD fps = 0;
    call(CANFD_GetCANRxFramePerSec(device_, number_, &fps), "read frame rate");
    return fps;
  }
  void reinitialize() { call(CANFD_SetCANReInitialize(device_, number_), "re-initialise"); }

  GlobalFilter global_filter() const {
    GlobalFilter g;
    BYTE rfs = 0, rfe = 0;
    call(CANFD_GetCANGlobalFilter(device_, number_, &rfs, &rfe, &g.std_list_size, &g.ext_list_size),
         "read global filter");
    g.reject_std_remote = rfs != 0;
    g.reject_ext_remote = rfe != 0;
    return g;
  }
  void set_global_filter(bool reject_std_remote, bool reject_ext_remote) {
    call(CANFD_SetCANGlobalFilter(device_, number_, reject_std_remote, reject_ext_remote),
         "set global filter");
  }

  // The filter elements in use (as many as the list size says).
  std::vector<IdRange> std_filters() const {
    return read_list<WORD, kMaxStdFilters>(CANFD_GetCANSTDIDFilter, global_filter().std_list_size,
                                           "read standard filters");
  }
  std::vector<IdRange> ext_filters() const {
    return read_list<DWORD, kMaxExtFilters>(CANFD_GetCANEXTIDFilter, global_filter().ext_list_size,
                                            "read extended filters");
  }
  // An empty list lets every identifier pass.
  void set_std_filters(const std::vector<IdRange> &ranges) {
    write_list<WORD, kMaxStdFilters>(CANFD_SetCANSTDIDFilter, ranges, "set standard filters");
  }
  void set_ext_filters(const std::vector<IdRange> &ranges) {
    write_list<DWORD, kMaxExtFilters>(CANFD_SetCANEXTIDFilter, ranges, "set extended filters");
  }

  // Hardware periodic sending: the adapter sends the frame every period
  // (milliseconds), count times, while the mode is on.
  bool hw_send_mode() const {
    BYTE mode = 0;
    call(CANFD_GetCANHWSendMode(device_, number_, &mode), "read hardware-send mode");
    return mode != 0;
  }
  void set_hw_send_mode(bool on) {
    call(CANFD_SetCANHWSendMode(device_, number_, on ? 1 : 0), "set hardware-send mode");
  }
  void set_hw_send_frame(const Frame &f, uint32_t period_ms, uint32_t count) {
    std::array<uint8_t, 64> data = f.data;
    call(CANFD_SetCANHWSendMsg(device_, number_, f.extended, f.id, f.remote, f.fd, f.dlc,
                               data.data(), period_ms, count),
         "set hardware-send frame");
  }

  // Queues a frame for sending. Returns false while the transmit report
  // queue is full (the frame was not taken: send it again).
  bool try_send(const Frame &f) {
    std::array<uint8_t, 64> data = f.data;
    const int rc =
        CANFD_SetCANTxMsg(device_, number_, f.extended, f.id, f.remote, f.fd, f.dlc, data.data());
    if (rc == CANFD_ERR_TX_QUEUE_FULL || rc == CANFD_ERR_TX_BUF_FULL) return false;
    call(rc, "send frame");
    return true;
  }
  // Queues a frame, retrying while the queue is full; gives up with
  // CANFD_ERR_TX_QUEUE_FULL when it stays full for `patience`.
  void send(const Frame &f, std::chrono::milliseconds patience = std::chrono::seconds(2)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!try_send(f)) {
      if (std::chrono::steady_clock::now() >= deadline)
        throw Error(CANFD_ERR_TX_QUEUE_FULL, where("send frame"));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  void clear_tx() { call(CANFD_ClearCANTxBuf(device_, number_), "clear transmit buffer"); }

  // Takes the oldest received frame, if one waits; never blocks.
  std::optional<Frame> receive() {
    Frame f;
    BYTE type = 0, mode = 0, rtr = 0, fdf = 0, dlc = 0;
    DWORD id = 0;
    const int rc = CANFD_GetCANRxMsg(device_, number_, &type, &mode, &id, &rtr, &fdf, &dlc,
                                     f.data.data(), &f.time.sec, &f.time.usec);
    if (rc == CANFD_ERR_RX_BUF_EMPTY) return std::nullopt;
    call(rc, "receive frame");
    f.id = id;
    f.extended = mode != 0;
    f.remote = rtr != 0;
    f.fd = fdf != 0;
    f.dlc = dlc;
    f.type = type;
    return f;
  }
  // Waits until a received frame waits (true) or the timeout passes (false).
  bool wait(std::chrono::milliseconds timeout) {
    const long ms = static_cast<long>(timeout.count());
    const int rc = CANFD_WaitCANRxMsg(device_, number_, ms < 0 ? 0 : static_cast<DWORD>(ms));
    if (rc == CANFD_ERR_RX_BUF_EMPTY) return false;
    call(rc, "wait for frames");
    return true;
  }
  uint32_t rx_count() const {
    DWORD n = 0;
    call(CANFD_GetCANRxMsgCount(device_, number_, &n), "count received frames");
    return n;
  }
  void clear_rx() { call(CANFD_ClearCANRxBuf(device_, number_), "clear receive buffer"); }

 private:
  template <typename T, size_t N>
  std::vector<IdRange> read_list(int (*get)(WORD, BYTE, T *, T *), size_t in_use,
                                 const char *operation) const {
    std::array<T, N> first{}, last{};
    call(get(device_, number_, first.data(), last.data()), operation);
    std::vector<IdRange> out;
    for (size_t i = 0; i < bounded(in_use, N); ++i) out.push_back({first[i], last[i]});
    return out;
  }
  template <typename T, size_t N>
  void write_list(int (*set)(WORD, BYTE, WORD, T *, T *), const std::vector<IdRange> &ranges,
                  const char *operation) {
    std::array<T, N> first{}, last{};
    for (size_t i = 0; i < bounded(ranges.size(), N); ++i) {
      first[i] = static_cast<T>(ranges[i].first);
      last[i] = static_cast<T>(ranges[i].last);
    }
    // A longer list is passed on for the library to refuse.
    const WORD size = static_cast<WORD>(ranges.size() > 0xFFFF ? 0xFFFF : ranges.size());
    call(set(device_, number_, size, first.data(), last.data()), operation);
  }
  static size_t bounded(size_t n, size_t max) { return n < max ? n : max; }
  std::string where(const char *operation) const {
    return std::string(operation) + " on port " + std::to_string(number_);
  }
  void call(int rc, const char *operation) const {
    if (rc != 0) throw Error(rc, where(operation));
  }

  WORD device_;
  uint8_t number_;
};

class Adapter {
 public:
  // Opens the adapter with this product id and board id.
  static Adapter open(uint16_t pid, uint32_t bid) {
    WORD index = 0;
    const int rc = CANFD_OpenDevice(&index, pid, bid);
    if (rc != 0) {
      char what[48];
      std::snprintf(what, sizeof what, "open adapter %04X:%08X", pid, bid);
      throw Error(rc, what, open_result_name(rc));
    }
    return Adapter(index, pid, bid);
  }
  static Adapter open(const DeviceInfo &d) { return open(d.pid, d.bid); }

  Adapter(Adapter &&o) noexcept
      : index_(o.index_), pid_(o.pid_), bid_(o.bid_), open_(std::exchange(o.open_, false)) {}
  Adapter &operator=(Adapter &&o) noexcept {
    if (this != &o) {
      close();
      index_ = o.index_;
      pid_ = o.pid_;
      bid_ = o.bid_;
      open_ = std::exchange(o.open_, false);
    }
    return *this;
  }
  Adapter(const Adapter &) = delete;
  Adapter &operator=(const Adapter &) = delete;
  ~Adapter() { close(); }

  void close() noexcept {
    if (open_) CANFD_CloseDevice(index_);
    open_ = false;
  }

  WORD index() const { return index_; }  // the device index: N of /dev/hidrawN
  uint16_t pid() const { return pid_; }
  uint32_t bid() const { return bid_; }

  Port port(uint8_t number) const { return Port(index_, number); }

  uint16_t firmware_version() const {
    WORD v = 0;
    check(CANFD_GetFwVer(index_, &v), "read firmware version");
    return v;
  }
  uint8_t init_pin() const {
    BYTE s = 0;
    check(CANFD_GetINITPinStatus(index_, &s), "read INIT pin");
    return s;
  }
  void set_serial_number(uint32_t sn) { check(CANFD_SetSN(index_, sn), "set serial number"); }
  void set_led_mode(uint8_t mode) { check(CANFD_SetLEDMode(index_, mode), "set LED mode"); }
  void set_led_state(uint8_t state) { check(CANFD_SetLEDState(index_, state), "set LED state"); }
  void reset() { check(CANFD_ResetModule(index_), "reset module"); }
  void reset_watchdog() { check(CANFD_ResetModuleWDT(index_), "watchdog reset"); }

 private:
  Adapter(WORD index, uint16_t pid, uint32_t bid)
      : index_(index), pid_(pid), bid_(bid), open_(true) {}

  WORD index_;
  uint16_t pid_;
  uint32_t bid_;
  bool open_;
};

}  // namespace canfd

#endif  // CANFD_HPP
