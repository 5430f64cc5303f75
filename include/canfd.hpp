// C++ interface to libcanfd: adapters as handles that close themselves,
// ports, frames in batches with std::chrono timeouts, and results as
// std::system_error exceptions in the "canfd" error category. Header only,
// over the C API of canfd.h; C++17.
//
//   auto adapters = canfd::scan();
//   canfd::Adapter a = canfd::Adapter::open(adapters.at(0));
//   canfd::Port p = a.port(1);
//   p.set_bit_timing({500000, 2000000, 8000, 7500});
//   canfd::Frame f;
//   f.id = 0x123;
//   f.fd = f.brs = true;
//   f.resize(12);
//   std::vector<canfd::Frame> out(100, f);
//   size_t sent = p.send(out, std::chrono::seconds(1));   // how many were accepted
//   std::array<canfd::Frame, 64> in;
//   size_t n = a.port(2).receive(in, std::chrono::milliseconds(100));
//
// Errors: every failed call throws canfd::Error, a std::system_error whose
// code() is in canfd::category(): compare it with canfd::errc values
// (e.code() == canfd::errc::device_gone) or with std::errc conditions
// (e.code() == std::errc::timed_out).
//
// Threads: calls on one adapter may come from several threads, as the C API
// allows. Ports share their adapter's state: once the adapter is closed
// (close(), destruction, or assignment of another adapter to it), every call
// on its ports throws errc::device_not_open, also when another adapter has
// since been opened with the same device index. close() waits for the calls
// in progress on the adapter and its ports to return (the library wakes the
// waiting ones at once).
#ifndef CANFD_HPP
#define CANFD_HPP

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "canfd.h"

namespace canfd {

// ---- Results ---------------------------------------------------------------

// The library's result codes. An adapter's refusal ('?' answer) is an
// error_code of the same category with the adapter's code, 1 to 255.
enum class errc : int {
  invalid_index = CANFD_ERR_INVALID_INDEX,
  device_already_open = CANFD_ERR_DEVICE_ALREADY_OPEN,
  device_not_found = CANFD_ERR_DEVICE_NOT_FOUND,
  scan_failed = CANFD_ERR_SCAN_FAILED,
  data_too_long = CANFD_ERR_DATA_TOO_LONG,
  usb_write = CANFD_ERR_USB_WRITE,
  tx_queue_full = CANFD_ERR_TX_QUEUE_FULL,
  too_many_devices = CANFD_ERR_TOO_MANY_DEVICES,
  device_not_open = CANFD_ERR_DEVICE_NOT_OPEN,
  device_gone = CANFD_ERR_DEVICE_GONE,
  cmd_timeout = CANFD_ERR_CMD_TIMEOUT,
  invalid_port = CANFD_ERR_INVALID_PORT,
  rx_buf_empty = CANFD_ERR_RX_BUF_EMPTY,
  tx_buf_full = CANFD_ERR_TX_BUF_FULL,
  invalid_param = CANFD_ERR_INVALID_PARAM,
  invalid_filter_size = CANFD_ERR_INVALID_FILTER_SIZE,
};

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

// The "canfd" error category: message() is the library's text of a result
// ("adapter unplugged"); codes that have a portable meaning compare equal to
// it (device_gone to std::errc::no_such_device, cmd_timeout to timed_out,
// the full queues to no_buffer_space, the invalid arguments to
// invalid_argument, ...).
class ResultCategory : public std::error_category {
 public:
  const char *name() const noexcept override { return "canfd"; }
  std::string message(int code) const override { return CANFD_GetResultText(code); }
  std::error_condition default_error_condition(int code) const noexcept override {
    switch (code) {
      case CANFD_ERR_INVALID_INDEX:
      case CANFD_ERR_INVALID_PORT:
      case CANFD_ERR_INVALID_PARAM:
      case CANFD_ERR_INVALID_FILTER_SIZE:
      case CANFD_ERR_DATA_TOO_LONG:
        return std::errc::invalid_argument;
      case CANFD_ERR_DEVICE_ALREADY_OPEN:
        return std::errc::device_or_resource_busy;
      case CANFD_ERR_DEVICE_NOT_FOUND:
      case CANFD_ERR_SCAN_FAILED:
      case CANFD_ERR_DEVICE_GONE:
        return std::errc::no_such_device;
      case CANFD_ERR_USB_WRITE:
        return std::errc::io_error;
      case CANFD_ERR_TX_QUEUE_FULL:
      case CANFD_ERR_TX_BUF_FULL:
        return std::errc::no_buffer_space;
      case CANFD_ERR_TOO_MANY_DEVICES:
        return std::errc::too_many_files_open;
      case CANFD_ERR_DEVICE_NOT_OPEN:
        return std::errc::bad_file_descriptor;
      case CANFD_ERR_CMD_TIMEOUT:
        return std::errc::timed_out;
      case CANFD_ERR_RX_BUF_EMPTY:
        return std::errc::resource_unavailable_try_again;
      default:
        return {code, *this};
    }
  }
};

inline const std::error_category &category() noexcept {
  static const ResultCategory instance;
  return instance;
}
inline const std::error_category &result_category() noexcept { return category(); }

inline std::error_code make_error_code(errc e) noexcept {
  return {static_cast<int>(e), category()};
}
inline std::error_code make_error_code(int result) noexcept { return {result, category()}; }

// A failed call: what() reads "<operation>: <result name> (0x10100)", for
// example "read status on port 2: CANFD_ERR_CMD_TIMEOUT (0x10100)".
class Error : public std::system_error {
 public:
  Error(int result, const std::string &operation, const std::string &name)
      : std::system_error(make_error_code(result), operation),
        what_(format(result, operation, name)),
        operation_(operation),
        name_(name) {}
  Error(int result, const std::string &operation) : Error(result, operation, result_name(result)) {}

  int result() const noexcept { return code().value(); }
  const std::string &operation() const noexcept { return operation_; }
  const std::string &name() const noexcept { return name_; }
  const char *what() const noexcept override { return what_.c_str(); }

 private:
  static std::string format(int result, const std::string &operation, const std::string &name) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(result));
    return operation + ": " + name + " (" + hex + ")";
  }

  std::string what_;
  std::string operation_;
  std::string name_;
};

inline void check(int result, const std::string &operation) {
  if (result != 0) throw Error(result, operation);
}

}  // namespace canfd

namespace std {
template <>
struct is_error_code_enum<canfd::errc> : true_type {};
}  // namespace std

namespace canfd {

// ---- Views -----------------------------------------------------------------

// A view of contiguous elements, as std::span<T> in C++20: from a pointer and
// a count, a built-in array, or a container with data() and size() holding
// T (std::vector, std::array, std::span). A span of const T also takes a
// temporary container, which lives until the end of the call it is given to.
namespace detail {
// Whether C has data() and size() with elements of type T (or const T).
template <class C, class T, class = void>
struct holds : std::false_type {};
template <class C, class T>
struct holds<
    C, T, std::void_t<decltype(std::declval<C &>().data()), decltype(std::declval<C &>().size())>>
    : std::bool_constant<
          std::is_convertible_v<decltype(std::declval<C &>().data()), T *> &&
          std::is_same_v<
              std::remove_cv_t<std::remove_pointer_t<decltype(std::declval<C &>().data())>>,
              std::remove_cv_t<T>>> {};
}  // namespace detail

template <class T>
class span {
 public:
  using element_type = T;
  using value_type = std::remove_cv_t<T>;
  using iterator = T *;

  constexpr span() noexcept = default;
  constexpr span(T *data, size_t size) noexcept : data_(data), size_(size) {}
  template <size_t N>
  constexpr span(T (&a)[N]) noexcept : data_(a), size_(N) {}
  template <class C,
            std::enable_if_t<!std::is_same_v<std::remove_cv_t<std::remove_reference_t<C>>, span> &&
                                 (std::is_lvalue_reference_v<C> || std::is_const_v<T>),
                             int> = 0,
            std::enable_if_t<detail::holds<std::remove_reference_t<C>, T>::value, int> = 0>
  constexpr span(C &&c) noexcept : data_(c.data()), size_(c.size()) {}

  constexpr T *data() const noexcept { return data_; }
  constexpr size_t size() const noexcept { return size_; }
  constexpr bool empty() const noexcept { return size_ == 0; }
  constexpr T &operator[](size_t i) const noexcept { return data_[i]; }
  constexpr T *begin() const noexcept { return data_; }
  constexpr T *end() const noexcept { return data_ + size_; }
  // Elements from offset on, at most count of them.
  constexpr span subspan(size_t offset, size_t count = SIZE_MAX) const noexcept {
    const size_t at = offset < size_ ? offset : size_;
    return {data_ + at, count < size_ - at ? count : size_ - at};
  }

 private:
  T *data_ = nullptr;
  size_t size_ = 0;
};

// ---- Values ----------------------------------------------------------------

// Largest identifiers: 11 bits (standard) and 29 bits (extended).
constexpr uint32_t kStdIdMask = 0x7FF;
constexpr uint32_t kExtIdMask = 0x1FFFFFFF;
constexpr size_t kMaxDataLen = CANFD_MAX_DATA_LEN;

// Data bytes of a CAN FD data length code (0-15): 0-8, 12, 16, 20, 24, 32,
// 48, 64. Classic frames carry at most 8 bytes whatever the code.
constexpr size_t dlc_to_len(uint8_t dlc) noexcept {
  const unsigned code = dlc & 0xFu;
  if (code <= 8) return code;
  if (code <= 12) return 8 + (code - 8) * 4;
  return (code - 11) * 16;
}

// The smallest data length code whose length holds n bytes (n above 64: 15).
constexpr uint8_t len_to_dlc(size_t n) noexcept {
  if (n <= 8) return static_cast<uint8_t>(n);
  if (n <= 24) return static_cast<uint8_t>(8 + (n - 8 + 3) / 4);
  if (n <= 32) return 13;
  if (n <= 48) return 14;
  return 15;
}

// A time stamp in seconds and microseconds.
struct Timestamp {
  uint32_t sec = 0;
  uint32_t usec = 0;

  std::chrono::microseconds to_duration() const noexcept {
    return std::chrono::seconds(sec) + std::chrono::microseconds(usec);
  }
};

inline bool operator<(const Timestamp &a, const Timestamp &b) {
  return a.sec != b.sec ? a.sec < b.sec : a.usec < b.usec;
}
inline bool operator==(const Timestamp &a, const Timestamp &b) {
  return a.sec == b.sec && a.usec == b.usec;
}

// A classic or CAN FD frame. Its length is a data length code (dlc), as on
// the bus; resize() sets it from a byte count.
struct Frame {
  uint32_t id = 0;        // 11 bits, or 29 when extended
  bool extended = false;  // 29-bit identifier
  bool remote = false;    // remote request (classic frames only)
  bool fd = false;        // CAN FD frame
  bool brs = false;       // CAN FD: data phase at the data bit rate
  bool esi = false;       // CAN FD: error state indicator (the sender is error passive)
  uint8_t dlc = 0;        // data length code: 0-8, and 9-15 (12-64 bytes) for CAN FD
  std::array<uint8_t, kMaxDataLen> data{};
  uint8_t type = 0;     // received frames: the adapter's frame type code
  Timestamp time;       // received frames: the adapter's time stamp
  Timestamp host_time;  // received frames: the same moment in host time (Unix epoch)

  // Number of data bytes that the DLC stands for (for a remote frame, the
  // length it requests).
  size_t size() const noexcept { return fd ? dlc_to_len(dlc) : (dlc > 8 ? 8 : dlc); }
  // Sets the DLC for n data bytes: for CAN FD the smallest DLC that holds
  // them (the bytes up to its length are sent as data holds them: zero them
  // for padding); for classic frames n, at most 8.
  void resize(size_t n) noexcept { dlc = fd ? len_to_dlc(n) : static_cast<uint8_t>(n > 8 ? 8 : n); }
  span<const uint8_t> payload() const noexcept { return {data.data(), remote ? 0 : size()}; }
  std::chrono::system_clock::time_point host_clock_time() const {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(host_time.to_duration()));
  }

  // The frame as the frame interface of the C API takes it.
  CANFD_Frame_St to_c() const noexcept {
    CANFD_Frame_St c{};
    c.id = id;
    c.flags = static_cast<BYTE>((extended ? CANFD_FRAME_EXT : 0) | (remote ? CANFD_FRAME_RTR : 0) |
                                (fd ? CANFD_FRAME_FD : 0) | (brs ? CANFD_FRAME_BRS : 0) |
                                (esi ? CANFD_FRAME_ESI : 0));
    c.len = static_cast<BYTE>(size());
    c.type = type;
    c.second = time.sec;
    c.usecond = time.usec;
    c.host_second = host_time.sec;
    c.host_usecond = host_time.usec;
    if (!remote) std::memcpy(c.data, data.data(), size());
    return c;
  }
  // A frame of the C API's frame interface (a CAN FD length between two
  // DLC lengths becomes the next DLC, its bytes after the length zero).
  static Frame from_c(const CANFD_Frame_St &c) noexcept {
    Frame f;
    f.id = c.id;
    f.extended = c.flags & CANFD_FRAME_EXT;
    f.remote = c.flags & CANFD_FRAME_RTR;
    f.fd = c.flags & CANFD_FRAME_FD;
    f.brs = c.flags & CANFD_FRAME_BRS;
    f.esi = c.flags & CANFD_FRAME_ESI;
    f.resize(c.len);
    const size_t copy = f.remote ? 0 : (c.len < kMaxDataLen ? c.len : kMaxDataLen);
    std::memcpy(f.data.data(), c.data, copy);
    f.type = c.type;
    f.time = {c.second, c.usecond};
    f.host_time = {c.host_second, c.host_usecond};
    return f;
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

// The bus state of a port and its error counters, from its status words.
enum class BusState : uint8_t {
  error_active = CANFD_BUS_ERROR_ACTIVE,
  error_warning = CANFD_BUS_ERROR_WARNING,  // an error counter reached 96
  error_passive = CANFD_BUS_ERROR_PASSIVE,
  bus_off = CANFD_BUS_OFF,
};

struct BusStatus {
  BusState state = BusState::error_active;
  uint8_t tx_errors = 0;  // transmit error counter
  uint8_t rx_errors = 0;  // receive error counter
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

// Counts of a port since open or the last clear (they wrap at 2^32).
struct FrameCounts {
  uint32_t rx_dropped = 0;  // frames lost because the receive ring was full
  uint32_t tx_refused = 0;  // reports refused because the transmit queue was full
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

namespace detail {

// Opens and closes through this interface take this lock, so that no open
// can take a device index while a close waits for the calls on it to end.
inline std::mutex &open_close_lock() {
  static std::mutex lock;
  return lock;
}

// What an Adapter and the Ports taken from it share: the device index while
// it is open, and the number of calls in progress on it.
class Session {
 public:
  explicit Session(WORD index) noexcept : index_(index) {}
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  WORD index() const noexcept { return index_; }
  bool is_open() const noexcept { return open_.load(); }

  // Starts a call: false (and no call) once the session is closed.
  bool enter() noexcept {
    calls_.fetch_add(1);
    if (open_.load()) return true;
    leave();
    return false;
  }
  void leave() noexcept {
    if (calls_.fetch_sub(1) == 1 && !open_.load()) {
      std::lock_guard<std::mutex> lk(m_);
      left_.notify_all();
    }
  }

  // Closes the device once, then waits until every call that started before
  // has returned (closing wakes those that wait in the library).
  void close() noexcept {
    std::lock_guard<std::mutex> opening(open_close_lock());
    if (!open_.exchange(false)) return;
    CANFD_CloseDevice(index_);
    std::unique_lock<std::mutex> lk(m_);
    left_.wait(lk, [this] { return calls_.load() == 0; });
  }

 private:
  const WORD index_;
  std::atomic<bool> open_{true};
  std::atomic<unsigned> calls_{0};
  std::mutex m_;
  std::condition_variable left_;
};

// Runs f(device index) as one call of the session: throws device_not_open
// (naming the operation) when the session is missing or closed.
template <class F>
int run(const std::shared_ptr<Session> &s, const std::string &operation, F &&f) {
  if (!s || !s->enter()) throw Error(CANFD_ERR_DEVICE_NOT_OPEN, operation);
  struct Leave {
    Session &s;
    ~Leave() { s.leave(); }
  } leave{*s};
  return f(s->index());
}

// Milliseconds for the C API: rounded up, 0 for negative durations, at most
// what a DWORD holds.
template <class Rep, class Period>
DWORD to_ms(std::chrono::duration<Rep, Period> d) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  if (ms <= 0) return 0;
  return static_cast<unsigned long long>(ms) > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(ms);
}

inline DWORD to_count(size_t n) { return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(n); }

}  // namespace detail

class Port {
 public:
  // A port that belongs to no adapter: every call throws device_not_open.
  Port() noexcept = default;

  uint8_t number() const noexcept { return number_; }

  OpMode mode() const {
    OpMode m;
    call("read operating mode", [&](WORD d) {
      return CANFD_GetCANOPMode(d, number_, &m.enable, &m.bus_mode, &m.iso_mode);
    });
    return m;
  }
  void set_mode(const OpMode &m) {
    call("set operating mode",
         [&](WORD d) { return CANFD_SetCANOPMode(d, number_, m.enable, m.bus_mode, m.iso_mode); });
  }
  PortStatus status() const {
    PortStatus s;
    call("read status", [&](WORD d) {
      return CANFD_GetCANStatus(d, number_, &s.status, &s.error_counter, &s.buffer_status);
    });
    return s;
  }
  BusStatus bus_status() const {
    BYTE state = 0;
    BusStatus b;
    call("read bus state", [&](WORD d) {
      return CANFD_GetCANBusState(d, number_, &state, &b.tx_errors, &b.rx_errors);
    });
    b.state = static_cast<BusState>(state);
    return b;
  }
  BitTiming bit_timing() const {
    BitTiming t;
    call("read bit rates", [&](WORD d) {
      return CANFD_GetCANADBaudRate(d, number_, &t.bitrate, &t.data_bitrate, &t.sample_point,
                                    &t.data_sample_point);
    });
    return t;
  }
  void set_bit_timing(const BitTiming &t) {
    call("set bit rates", [&](WORD d) {
      return CANFD_SetCANADBaudRate(d, number_, t.bitrate, t.data_bitrate, t.sample_point,
                                    t.data_sample_point);
    });
  }
  // Frames per second that the adapter counted on this port.
  uint16_t rx_frames_per_second() const {
    WORD fps = 0;
    call("read frame rate", [&](WORD d) { return CANFD_GetCANRxFramePerSec(d, number_, &fps); });
    return fps;
  }
  void reinitialize() {
    call("re-initialise", [&](WORD d) { return CANFD_SetCANReInitialize(d, number_); });
  }

  GlobalFilter global_filter() const {
    GlobalFilter g;
    BYTE rfs = 0, rfe = 0;
    call("read global filter", [&](WORD d) {
      return CANFD_GetCANGlobalFilter(d, number_, &rfs, &rfe, &g.std_list_size, &g.ext_list_size);
    });
    g.reject_std_remote = rfs != 0;
    g.reject_ext_remote = rfe != 0;
    return g;
  }
  void set_global_filter(bool reject_std_remote, bool reject_ext_remote) {
    call("set global filter", [&](WORD d) {
      return CANFD_SetCANGlobalFilter(d, number_, reject_std_remote, reject_ext_remote);
    });
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
  // (milliseconds), count times, while the mode is on. The adapter sends
  // CAN FD frames with the bit rate switch, and without ESI.
  bool hw_send_mode() const {
    BYTE mode = 0;
    call("read hardware-send mode",
         [&](WORD d) { return CANFD_GetCANHWSendMode(d, number_, &mode); });
    return mode != 0;
  }
  void set_hw_send_mode(bool on) {
    call("set hardware-send mode",
         [&](WORD d) { return CANFD_SetCANHWSendMode(d, number_, on ? 1 : 0); });
  }
  void set_hw_send_frame(const Frame &f, uint32_t period_ms, uint32_t count) {
    std::array<uint8_t, kMaxDataLen> data = f.data;
    call("set hardware-send frame", [&](WORD d) {
      return CANFD_SetCANHWSendMsg(d, number_, f.extended, f.id, f.remote, f.fd, f.dlc, data.data(),
                                   period_ms, count);
    });
  }

  // ---- Sending. Frames go out in order, packed up to seven to a report,
  // with their own BRS and ESI flags. An invalid frame (a remote CAN FD
  // frame, BRS or ESI on a classic frame, an identifier beyond its 11 or 29
  // bits) throws errc::invalid_param, and none of the call's frames is sent.

  // Sends the frames, waiting up to timeout in all for room in the transmit
  // queue (0: no wait). Returns how many were accepted: all of them, or the
  // first ones when the time ran out. An accepted frame is written to the
  // adapter, also when the adapter is closed right after.
  template <class Rep, class Period>
  size_t send(span<const Frame> frames, std::chrono::duration<Rep, Period> timeout) {
    constexpr size_t kOnStack = 32;
    CANFD_Frame_St stack[kOnStack];
    std::vector<CANFD_Frame_St> heap;
    CANFD_Frame_St *c = stack;
    if (frames.size() > kOnStack) {
      heap.resize(frames.size());
      c = heap.data();
    }
    for (size_t i = 0; i < frames.size(); ++i) c[i] = frames[i].to_c();
    return send(span<const CANFD_Frame_St>(c, frames.size()), timeout);
  }
  template <class Rep, class Period>
  size_t send(span<const CANFD_Frame_St> frames, std::chrono::duration<Rep, Period> timeout) {
    DWORD sent = 0;
    const int rc = run("send frames", [&](WORD d) {
      return CANFD_SendCANFrames(d, number_, frames.data(), detail::to_count(frames.size()),
                                 detail::to_ms(timeout), &sent);
    });
    if (rc != 0 && rc != CANFD_ERR_TX_QUEUE_FULL) throw Error(rc, where("send frames"));
    return sent;
  }
  // Sends one frame, waiting up to patience for room; throws
  // errc::tx_queue_full when there was none.
  void send(const Frame &f, std::chrono::milliseconds patience = std::chrono::seconds(2)) {
    if (send(span<const Frame>(&f, 1), patience) == 0)
      throw Error(CANFD_ERR_TX_QUEUE_FULL, where("send frame"));
  }
  // Sends one frame if there is room now; false otherwise.
  bool try_send(const Frame &f) {
    return send(span<const Frame>(&f, 1), std::chrono::milliseconds(0)) == 1;
  }

  // ---- Receiving.

  // Waits up to timeout for a frame (0: no wait), then takes every waiting
  // frame, up to out.size(), in arrival order. Returns how many were taken:
  // 0 when none came in time. Once the adapter is gone, the frames received
  // before are taken first, then errc::device_gone is thrown.
  template <class Rep, class Period>
  size_t receive(span<CANFD_Frame_St> out, std::chrono::duration<Rep, Period> timeout) {
    if (out.empty()) return 0;
    DWORD n = 0;
    const int rc = run("receive frames", [&](WORD d) {
      return CANFD_ReceiveCANFrames(d, number_, out.data(), detail::to_count(out.size()),
                                    detail::to_ms(timeout), &n);
    });
    if (rc == CANFD_ERR_RX_BUF_EMPTY) return 0;
    if (rc != 0) throw Error(rc, where("receive frames"));
    return n;
  }
  template <class Rep, class Period>
  size_t receive(span<Frame> out, std::chrono::duration<Rep, Period> timeout) {
    constexpr size_t kChunk = 32;
    CANFD_Frame_St c[kChunk];
    size_t taken = 0;
    while (taken < out.size()) {
      const size_t want = out.size() - taken < kChunk ? out.size() - taken : kChunk;
      // Only the first call waits; the others take what waits by then.
      const size_t n = taken == 0 ? receive(span<CANFD_Frame_St>(c, want), timeout)
                                  : receive(span<CANFD_Frame_St>(c, want), std::chrono::seconds(0));
      for (size_t i = 0; i < n; ++i) out[taken + i] = Frame::from_c(c[i]);
      taken += n;
      if (n < want) break;
    }
    return taken;
  }
  // Takes the oldest received frame, waiting for one up to timeout.
  template <class Rep, class Period>
  std::optional<Frame> receive(std::chrono::duration<Rep, Period> timeout) {
    Frame f;
    if (receive(span<Frame>(&f, 1), timeout) == 0) return std::nullopt;
    return f;
  }
  // Takes the oldest received frame, if one waits; never blocks.
  std::optional<Frame> receive() { return receive(std::chrono::milliseconds(0)); }

  // Waits until a received frame waits (true) or the timeout passes (false).
  bool wait(std::chrono::milliseconds timeout) {
    const int rc = run("wait for frames", [&](WORD d) {
      return CANFD_WaitCANRxMsg(d, number_, detail::to_ms(timeout));
    });
    if (rc == CANFD_ERR_RX_BUF_EMPTY) return false;
    if (rc != 0) throw Error(rc, where("wait for frames"));
    return true;
  }
  // A descriptor for poll, select or epoll: readable while received frames
  // wait, and once the adapter is gone. The library owns it: do not read,
  // write or close it. Valid until the adapter is closed.
  int rx_event_fd() const {
    int fd = -1;
    call("get receive descriptor", [&](WORD d) { return CANFD_GetCANRxEventFd(d, number_, &fd); });
    return fd;
  }
  FrameCounts frame_counts(bool clear = false) {
    FrameCounts c;
    call("read frame counts", [&](WORD d) {
      return CANFD_GetCANFrameCounts(d, number_, &c.rx_dropped, &c.tx_refused, clear ? 1 : 0);
    });
    return c;
  }
  uint32_t rx_count() const {
    DWORD n = 0;
    call("count received frames", [&](WORD d) { return CANFD_GetCANRxMsgCount(d, number_, &n); });
    return n;
  }
  void clear_rx() {
    call("clear receive buffer", [&](WORD d) { return CANFD_ClearCANRxBuf(d, number_); });
  }
  void clear_tx() {
    call("clear transmit buffer", [&](WORD d) { return CANFD_ClearCANTxBuf(d, number_); });
  }

 private:
  friend class Adapter;
  Port(std::shared_ptr<detail::Session> session, uint8_t number) noexcept
      : session_(std::move(session)), number_(number) {}

  template <typename T, size_t N>
  std::vector<IdRange> read_list(int (*get)(WORD, BYTE, T *, T *), size_t in_use,
                                 const char *operation) const {
    std::array<T, N> first{}, last{};
    call(operation, [&](WORD d) { return get(d, number_, first.data(), last.data()); });
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
    call(operation, [&](WORD d) { return set(d, number_, size, first.data(), last.data()); });
  }
  static size_t bounded(size_t n, size_t max) { return n < max ? n : max; }
  std::string where(const char *operation) const {
    return std::string(operation) + " on port " + std::to_string(number_);
  }
  template <class F>
  int run(const char *operation, F &&f) const {
    return detail::run(session_, where(operation), std::forward<F>(f));
  }
  template <class F>
  void call(const char *operation, F &&f) const {
    const int rc = run(operation, std::forward<F>(f));
    if (rc != 0) throw Error(rc, where(operation));
  }

  std::shared_ptr<detail::Session> session_;
  uint8_t number_ = 0;
};

class Adapter {
 public:
  // An adapter that holds no device (false); open() gives one that does.
  Adapter() noexcept = default;

  // Opens the adapter with this product id and board id.
  static Adapter open(uint16_t pid, uint32_t bid) {
    WORD index = 0;
    int rc;
    {
      std::lock_guard<std::mutex> opening(detail::open_close_lock());
      rc = CANFD_OpenDevice(&index, pid, bid);
    }
    if (rc != 0) {
      char what[48];
      std::snprintf(what, sizeof what, "open adapter %04X:%08X", pid, bid);
      throw Error(rc, what, open_result_name(rc));
    }
    return Adapter(std::make_shared<detail::Session>(index), pid, bid);
  }
  static Adapter open(const DeviceInfo &d) { return open(d.pid, d.bid); }

  Adapter(Adapter &&o) noexcept
      : session_(std::move(o.session_)), index_(o.index_), pid_(o.pid_), bid_(o.bid_) {}
  Adapter &operator=(Adapter &&o) noexcept {
    if (this != &o) {
      close();
      session_ = std::move(o.session_);
      index_ = o.index_;
      pid_ = o.pid_;
      bid_ = o.bid_;
    }
    return *this;
  }
  Adapter(const Adapter &) = delete;
  Adapter &operator=(const Adapter &) = delete;
  ~Adapter() { close(); }

  // Whether this holds an open adapter (false once closed or moved from).
  explicit operator bool() const noexcept { return session_ && session_->is_open(); }

  // Closes the adapter (once; later closes do nothing): waits for the calls
  // in progress on it and its ports, which the library ends at once, then
  // for the transmit worker to write what was accepted (at most 250 ms).
  void close() noexcept {
    if (session_) session_->close();
  }

  WORD index() const noexcept { return index_; }  // the device index: N of /dev/hidrawN
  uint16_t pid() const noexcept { return pid_; }
  uint32_t bid() const noexcept { return bid_; }

  // Port 1 or 2 (others are refused by each call with errc::invalid_port).
  Port port(uint8_t number) const noexcept { return Port(session_, number); }

  uint16_t firmware_version() const {
    WORD v = 0;
    call("read firmware version", [&](WORD d) { return CANFD_GetFwVer(d, &v); });
    return v;
  }
  uint8_t init_pin() const {
    BYTE s = 0;
    call("read INIT pin", [&](WORD d) { return CANFD_GetINITPinStatus(d, &s); });
    return s;
  }
  void set_serial_number(uint32_t sn) {
    call("set serial number", [&](WORD d) { return CANFD_SetSN(d, sn); });
  }
  void set_led_mode(uint8_t mode) {
    call("set LED mode", [&](WORD d) { return CANFD_SetLEDMode(d, mode); });
  }
  void set_led_state(uint8_t state) {
    call("set LED state", [&](WORD d) { return CANFD_SetLEDState(d, state); });
  }
  void reset() {
    call("reset module", [&](WORD d) { return CANFD_ResetModule(d); });
  }
  void reset_watchdog() {
    call("watchdog reset", [&](WORD d) { return CANFD_ResetModuleWDT(d); });
  }

 private:
  Adapter(std::shared_ptr<detail::Session> session, uint16_t pid, uint32_t bid) noexcept
      : session_(std::move(session)), index_(session_->index()), pid_(pid), bid_(bid) {}

  template <class F>
  void call(const char *operation, F &&f) const {
    const int rc = detail::run(session_, operation, std::forward<F>(f));
    if (rc != 0) throw Error(rc, operation);
  }

  std::shared_ptr<detail::Session> session_;
  WORD index_ = 0;
  uint16_t pid_ = 0;
  uint32_t bid_ = 0;
};

}  // namespace canfd

#endif  // CANFD_HPP
