/// @file canfd.hpp
/// @brief C++ interface to libcanfd.
///
/// C++ interface to libcanfd: adapters as handles that close themselves,
/// ports, frames in batches with std::chrono timeouts, and results as
/// std::system_error exceptions in the "canfd" error category. Header only,
/// over the C API of canfd.h; C++17.
///
/// @code
///   auto adapters = canfd::scan();
///   canfd::Adapter a = canfd::Adapter::open(adapters.at(0));
///   canfd::Port p = a.port(1);
///   p.set_bit_timing({500000, 2000000, 8000, 7500});
///   canfd::Frame f;
///   f.id = 0x123;
///   f.fd = f.brs = true;
///   f.resize(12);
///   std::vector<canfd::Frame> out(100, f);
///   size_t sent = p.send(out, std::chrono::seconds(1));   // how many were accepted
///   std::array<canfd::Frame, 64> in;
///   size_t n = a.port(2).receive(in, std::chrono::milliseconds(100));
/// @endcode
///
/// Errors: every failed call throws canfd::Error, a std::system_error whose
/// code() is in canfd::category(): compare it with canfd::errc values
/// (e.code() == canfd::errc::device_gone) or with std::errc conditions
/// (e.code() == std::errc::timed_out).
///
/// Threads: calls on one adapter may come from several threads, as the C API
/// allows. Ports share their adapter's state: once the adapter is closed
/// (close(), destruction, or assignment of another adapter to it), every call
/// on its ports throws errc::device_not_open, also when another adapter has
/// since been opened with the same device index. close() waits for the calls
/// in progress on the adapter and its ports to return (the library wakes the
/// waiting ones at once). An Adapter or Port object itself is like any
/// value: one thread may move, assign or destroy it while no other uses that
/// same object (copies of a Port are separate objects).
///
/// Blocking: each call blocks as the C call under it (see canfd.h): commands
/// up to one second once their turn comes, sends and receives up to the
/// timeout given, close up to 270 ms (or until the calls in progress, which
/// it wakes, have returned, if that takes longer), a stalled adapter or not.
/// No call waits inside a read or write of the adapter's node: the
/// library's two workers do those.
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

/// @defgroup cpp C++ interface
/// @brief Adapters and ports as handles, frames in batches, errors as
/// std::system_error (canfd.hpp).
///
/// Header only, over the C API; C++17. See canfd.hpp for an example and for
/// the rules on threads and blocking.

/// The C++ interface of libcanfd.
namespace canfd {

// ---- Results ---------------------------------------------------------------

/// @defgroup cpp_results Results and errors
/// @ingroup cpp
/// @brief Result codes as std::error_code values and the exception thrown.
/// @{

/// The library's result codes. An adapter's refusal ('?' answer) is an
/// error_code of the same category with the adapter's code, 1 to 255.
enum class errc : int {
  invalid_index = CANFD_ERR_INVALID_INDEX,              ///< CANFD_ERR_INVALID_INDEX
  device_already_open = CANFD_ERR_DEVICE_ALREADY_OPEN,  ///< CANFD_ERR_DEVICE_ALREADY_OPEN
  device_not_found = CANFD_ERR_DEVICE_NOT_FOUND,        ///< CANFD_ERR_DEVICE_NOT_FOUND
  scan_failed = CANFD_ERR_SCAN_FAILED,                  ///< CANFD_ERR_SCAN_FAILED
  data_too_long = CANFD_ERR_DATA_TOO_LONG,              ///< CANFD_ERR_DATA_TOO_LONG
  usb_write = CANFD_ERR_USB_WRITE,                      ///< CANFD_ERR_USB_WRITE
  tx_queue_full = CANFD_ERR_TX_QUEUE_FULL,              ///< CANFD_ERR_TX_QUEUE_FULL
  too_many_devices = CANFD_ERR_TOO_MANY_DEVICES,        ///< CANFD_ERR_TOO_MANY_DEVICES
  device_not_open = CANFD_ERR_DEVICE_NOT_OPEN,          ///< CANFD_ERR_DEVICE_NOT_OPEN
  device_gone = CANFD_ERR_DEVICE_GONE,                  ///< CANFD_ERR_DEVICE_GONE
  cmd_timeout = CANFD_ERR_CMD_TIMEOUT,                  ///< CANFD_ERR_CMD_TIMEOUT
  invalid_port = CANFD_ERR_INVALID_PORT,                ///< CANFD_ERR_INVALID_PORT
  rx_buf_empty = CANFD_ERR_RX_BUF_EMPTY,                ///< CANFD_ERR_RX_BUF_EMPTY
  tx_buf_full = CANFD_ERR_TX_BUF_FULL,                  ///< CANFD_ERR_TX_BUF_FULL
  invalid_param = CANFD_ERR_INVALID_PARAM,              ///< CANFD_ERR_INVALID_PARAM
  invalid_filter_size = CANFD_ERR_INVALID_FILTER_SIZE,  ///< CANFD_ERR_INVALID_FILTER_SIZE
  port_in_use = CANFD_ERR_PORT_IN_USE,                  ///< CANFD_ERR_PORT_IN_USE
};

/// Name of a result code: the CANFD_ERR_ name from the library's table,
/// "adapter error N" for the adapter's own codes (1 to 255), "success" for 0.
///
/// @param code a result of a C call.
/// @return the name; "unknown result N" for anything else.
inline std::string result_name(int code) {
  if (code == 0) return "success";
  const CANFD_ResultCode_St *table = nullptr;
  const int n = CANFD_GetResultCodes(&table);
  for (int i = 0; i < n; ++i)
    if (table[i].code == code) return table[i].name;
  if (code > 0 && code <= 255) return "adapter error " + std::to_string(code);
  return "unknown result " + std::to_string(code);
}

/// Name of a result of CANFD_OpenDevice.
///
/// CANFD_OpenDevice also returns the plain numbers 1, 2 and 5, which would
/// read as adapter errors anywhere else.
///
/// @param code a result of CANFD_OpenDevice.
/// @return a description of 1, 2 or 5; result_name(code) for the others.
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

/// The "canfd" error category: message() is the library's text of a result
/// ("adapter unplugged"); codes that have a portable meaning compare equal to
/// it (device_gone to std::errc::no_such_device, cmd_timeout to timed_out,
/// the full queues to no_buffer_space, the invalid arguments to
/// invalid_argument, ...).
///
/// Use the one instance that category() returns.
class ResultCategory : public std::error_category {
 public:
  /// The category's name.
  /// @return "canfd".
  const char *name() const noexcept override { return "canfd"; }
  /// The library's text of a result (CANFD_GetResultText).
  /// @param code a result.
  /// @return its text: "adapter unplugged", "refused by the adapter", ...
  std::string message(int code) const override { return CANFD_GetResultText(code); }
  /// The portable condition of a result.
  ///
  /// invalid_index, invalid_port, invalid_param, invalid_filter_size and
  /// data_too_long map to std::errc::invalid_argument; device_already_open and
  /// port_in_use to device_or_resource_busy; device_not_found, scan_failed and device_gone to
  /// no_such_device; usb_write to io_error; tx_queue_full and tx_buf_full to
  /// no_buffer_space; too_many_devices to too_many_files_open;
  /// device_not_open to bad_file_descriptor; cmd_timeout to timed_out;
  /// rx_buf_empty to resource_unavailable_try_again.
  /// @param code a result.
  /// @return the std::errc condition, or (code, this category) for the
  ///         adapter's codes and anything else.
  std::error_condition default_error_condition(int code) const noexcept override {
    switch (code) {
      case CANFD_ERR_INVALID_INDEX:
      case CANFD_ERR_INVALID_PORT:
      case CANFD_ERR_INVALID_PARAM:
      case CANFD_ERR_INVALID_FILTER_SIZE:
      case CANFD_ERR_DATA_TOO_LONG:
        return std::errc::invalid_argument;
      case CANFD_ERR_DEVICE_ALREADY_OPEN:
      case CANFD_ERR_PORT_IN_USE:
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

/// The "canfd" error category.
/// @return the one ResultCategory instance.
inline const std::error_category &category() noexcept {
  static const ResultCategory instance;
  return instance;
}
/// The "canfd" error category (another name of category()).
/// @return category().
inline const std::error_category &result_category() noexcept { return category(); }

/// An error code of the "canfd" category; lets errc values compare with
/// std::error_code.
/// @param e a result code.
/// @return (e, category()).
inline std::error_code make_error_code(errc e) noexcept {
  return {static_cast<int>(e), category()};
}
/// An error code of the "canfd" category from a C result, the adapter's
/// codes (1 to 255) included.
/// @param result a result of a C call.
/// @return (result, category()).
inline std::error_code make_error_code(int result) noexcept { return {result, category()}; }

/// A failed call: what() reads "<operation>: <result name> (0x10100)", for
/// example "read status on port 2: CANFD_ERR_CMD_TIMEOUT (0x10100)".
///
/// code() is the C result in the "canfd" category.
class Error : public std::system_error {
 public:
  /// An error with a name of the result of one's own.
  /// @param result the C result (not 0).
  /// @param operation what failed, such as "read status on port 2".
  /// @param name the result's name in what().
  Error(int result, const std::string &operation, const std::string &name)
      : std::system_error(make_error_code(result), operation),
        what_(format(result, operation, name)),
        operation_(operation),
        name_(name) {}
  /// An error named by result_name(result).
  /// @param result the C result (not 0).
  /// @param operation what failed.
  Error(int result, const std::string &operation) : Error(result, operation, result_name(result)) {}

  /// The C result.
  /// @return code().value(): a CANFD_ERR_ code, the adapter's code (1 to
  ///         255), or a plain number of CANFD_OpenDevice.
  int result() const noexcept { return code().value(); }
  /// What failed.
  /// @return the operation, such as "read status on port 2".
  const std::string &operation() const noexcept { return operation_; }
  /// The result's name.
  /// @return the name, such as "CANFD_ERR_CMD_TIMEOUT".
  const std::string &name() const noexcept { return name_; }
  /// The message.
  /// @return "<operation>: <name> (0x<result>)".
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

/// Throws Error unless a C call succeeded.
/// @param result the C call's result.
/// @param operation what the call did, for the message.
/// @throws Error when result is not 0.
inline void check(int result, const std::string &operation) {
  if (result != 0) throw Error(result, operation);
}

/// @}

}  // namespace canfd

/// @cond
namespace std {
template <>
struct is_error_code_enum<canfd::errc> : true_type {};
}  // namespace std
/// @endcond

namespace canfd {

// ---- Views -----------------------------------------------------------------

/// @defgroup cpp_views Views
/// @ingroup cpp
/// @brief A span of contiguous elements, for the batch calls.
/// @{

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

/// A view of contiguous elements, as std::span<T> in C++20: from a pointer and
/// a count, a built-in array, or a container with data() and size() holding
/// T (std::vector, std::array, std::span). A span of const T also takes a
/// temporary container, which lives until the end of the call it is given to.
///
/// The span does not own the elements; it is valid while they are.
/// @tparam T element type, const for views that are only read.
template <class T>
class span {
 public:
  using element_type = T;                  ///< T.
  using value_type = std::remove_cv_t<T>;  ///< T without const.
  using iterator = T *;                    ///< A pointer to an element.

  /// An empty span.
  constexpr span() noexcept = default;
  /// A span of size elements from data.
  /// @param data the first element (may be null when size is 0).
  /// @param size number of elements.
  constexpr span(T *data, size_t size) noexcept : data_(data), size_(size) {}
  /// A span of a built-in array.
  /// @tparam N the array's length.
  /// @param a the array.
  template <size_t N>
  constexpr span(T (&a)[N]) noexcept : data_(a), size_(N) {}
  /// A span of a container with data() and size() holding T: std::vector,
  /// std::array, std::span (a temporary only for a span of const T).
  /// @tparam C the container type.
  /// @param c the container.
  template <class C,
            std::enable_if_t<!std::is_same_v<std::remove_cv_t<std::remove_reference_t<C>>, span> &&
                                 (std::is_lvalue_reference_v<C> || std::is_const_v<T>),
                             int> = 0,
            std::enable_if_t<detail::holds<std::remove_reference_t<C>, T>::value, int> = 0>
  constexpr span(C &&c) noexcept : data_(c.data()), size_(c.size()) {}

  /// The first element.
  /// @return a pointer to it.
  constexpr T *data() const noexcept { return data_; }
  /// The number of elements.
  /// @return the size.
  constexpr size_t size() const noexcept { return size_; }
  /// Whether the span has no element.
  /// @return size() == 0.
  constexpr bool empty() const noexcept { return size_ == 0; }
  /// An element (not checked).
  /// @param i index, below size().
  /// @return the element.
  constexpr T &operator[](size_t i) const noexcept { return data_[i]; }
  /// The start, for range for.
  /// @return data().
  constexpr T *begin() const noexcept { return data_; }
  /// The end, for range for.
  /// @return data() + size().
  constexpr T *end() const noexcept { return data_ + size_; }
  /// Elements from offset on, at most count of them.
  /// @param offset first element (past the end: an empty span at the end).
  /// @param count most elements.
  /// @return the part of this span.
  constexpr span subspan(size_t offset, size_t count = SIZE_MAX) const noexcept {
    const size_t at = offset < size_ ? offset : size_;
    return {data_ + at, count < size_ - at ? count : size_ - at};
  }

 private:
  T *data_ = nullptr;
  size_t size_ = 0;
};

/// @}

// ---- Values ----------------------------------------------------------------

/// @defgroup cpp_values Values
/// @ingroup cpp
/// @brief Frames, time stamps, and the settings and status of a port.
/// @{

/// Largest standard identifier (11 bits).
constexpr uint32_t kStdIdMask = 0x7FF;
/// Largest extended identifier (29 bits).
constexpr uint32_t kExtIdMask = 0x1FFFFFFF;
/// Largest data length of a frame: 64 bytes.
constexpr size_t kMaxDataLen = CANFD_MAX_DATA_LEN;

/// Data bytes of a CAN FD data length code (0-15): 0-8, 12, 16, 20, 24, 32,
/// 48, 64. Classic frames carry at most 8 bytes whatever the code.
/// @param dlc data length code (only its low 4 bits count).
/// @return the byte count.
constexpr size_t dlc_to_len(uint8_t dlc) noexcept {
  const unsigned code = dlc & 0xFu;
  if (code <= 8) return code;
  if (code <= 12) return 8 + (code - 8) * 4;
  return (code - 11) * 16;
}

/// The smallest data length code whose length holds n bytes (n above 64: 15).
/// @param n byte count.
/// @return the data length code, 0-15.
constexpr uint8_t len_to_dlc(size_t n) noexcept {
  if (n <= 8) return static_cast<uint8_t>(n);
  if (n <= 24) return static_cast<uint8_t>(8 + (n - 8 + 3) / 4);
  if (n <= 32) return 13;
  if (n <= 48) return 14;
  return 15;
}

/// A time stamp in seconds and microseconds.
struct Timestamp {
  uint32_t sec = 0;   ///< Seconds.
  uint32_t usec = 0;  ///< Microseconds, 0 to 999999.

  /// The time stamp as a duration since its clock's origin.
  /// @return sec seconds and usec microseconds.
  std::chrono::microseconds to_duration() const noexcept {
    return std::chrono::seconds(sec) + std::chrono::microseconds(usec);
  }
};

/// Orders time stamps.
/// @param a a time stamp.
/// @param b another.
/// @return whether a is earlier than b.
inline bool operator<(const Timestamp &a, const Timestamp &b) {
  return a.sec != b.sec ? a.sec < b.sec : a.usec < b.usec;
}
/// Compares time stamps.
/// @param a a time stamp.
/// @param b another.
/// @return whether both are the same moment.
inline bool operator==(const Timestamp &a, const Timestamp &b) {
  return a.sec == b.sec && a.usec == b.usec;
}

/// A classic or CAN FD frame. Its length is a data length code (dlc), as on
/// the bus; resize() sets it from a byte count.
struct Frame {
  uint32_t id = 0;        ///< Identifier: 11 bits, or 29 when extended.
  bool extended = false;  ///< 29-bit identifier.
  bool remote = false;    ///< Remote request (classic frames only).
  bool fd = false;        ///< CAN FD frame.
  bool brs = false;       ///< CAN FD: data phase at the data bit rate.
  bool esi = false;       ///< CAN FD: error state indicator (the sender is error passive).
  uint8_t dlc = 0;        ///< Data length code: 0-8, and 9-15 (12-64 bytes) for CAN FD.
  std::array<uint8_t, kMaxDataLen> data{};  ///< Data; the first size() bytes count.
  uint8_t type = 0;                         ///< Received frames: the adapter's frame type code.
  Timestamp time;                           ///< Received frames: the adapter's time stamp.
  Timestamp host_time;  ///< Received frames: the same moment in host time (Unix epoch).

  /// Number of data bytes that the DLC stands for (for a remote frame, the
  /// length it requests).
  /// @return 0 to 8 for classic frames, 0 to 64 for CAN FD.
  size_t size() const noexcept { return fd ? dlc_to_len(dlc) : (dlc > 8 ? 8 : dlc); }
  /// Sets the DLC for n data bytes: for CAN FD the smallest DLC that holds
  /// them (the bytes up to its length are sent as data holds them: zero them
  /// for padding); for classic frames n, at most 8.
  /// @param n byte count (set fd first).
  void resize(size_t n) noexcept { dlc = fd ? len_to_dlc(n) : static_cast<uint8_t>(n > 8 ? 8 : n); }
  /// The data bytes that count.
  /// @return the first size() bytes of data; none for a remote frame.
  span<const uint8_t> payload() const noexcept { return {data.data(), remote ? 0 : size()}; }
  /// The host time of a received frame on the system clock.
  /// @return host_time as a std::chrono::system_clock time point.
  std::chrono::system_clock::time_point host_clock_time() const {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(host_time.to_duration()));
  }

  /// The frame as the frame interface of the C API takes it.
  /// @return the CANFD_Frame_St with the same fields (len is size()).
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
  /// A frame of the C API's frame interface (a CAN FD length between two
  /// DLC lengths becomes the next DLC, its bytes after the length zero).
  /// @param c the C frame.
  /// @return the frame.
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

/// An attached adapter, as scan() finds it.
struct DeviceInfo {
  unsigned hidraw = 0;  ///< N of /dev/hidrawN.
  uint16_t pid = 0;     ///< USB product id.
  uint32_t bid = 0;     ///< Board id (the USB serial number).

  /// The adapter's node.
  /// @return "/dev/hidrawN".
  std::string node() const { return "/dev/hidraw" + std::to_string(hidraw); }
};

/// Operating mode words, as the adapter defines them.
struct OpMode {
  uint16_t enable = 0;    ///< 1: the port is on; 0: off.
  uint16_t bus_mode = 0;  ///< Bus mode word.
  uint16_t iso_mode = 0;  ///< ISO mode word.
};

/// A port's status words (see CANFD_GetCANStatus).
struct PortStatus {
  uint32_t status = 0;         ///< Status word: last error code, activity, error and bus-off bits.
  uint32_t error_counter = 0;  ///< Error counters: transmit in bits 0-7, receive in 8-14.
  uint32_t buffer_status = 0;  ///< Buffer status word, as the adapter defines it.
};

/// The bus state of a port and its error counters, from its status words.
enum class BusState : uint8_t {
  error_active = CANFD_BUS_ERROR_ACTIVE,    ///< Error active.
  error_warning = CANFD_BUS_ERROR_WARNING,  ///< An error counter reached 96.
  error_passive = CANFD_BUS_ERROR_PASSIVE,  ///< Error passive.
  bus_off = CANFD_BUS_OFF,                  ///< Bus off.
};

/// A port's bus state and error counters.
struct BusStatus {
  BusState state = BusState::error_active;  ///< Bus state.
  uint8_t tx_errors = 0;                    ///< Transmit error counter.
  uint8_t rx_errors = 0;                    ///< Receive error counter.
};

/// Bit rates in bit/s; sample points in units of 0.01 % (8000 is 80 %).
struct BitTiming {
  uint32_t bitrate = 0;            ///< Arbitration (nominal) bit rate, bit/s.
  uint32_t data_bitrate = 0;       ///< CAN FD data phase bit rate, bit/s (at least bitrate).
  uint16_t sample_point = 0;       ///< Arbitration sample point, 0.01 % (at most 10000).
  uint16_t data_sample_point = 0;  ///< Data phase sample point, 0.01 %.
};

/// A port's global filter and the sizes of its filter lists.
struct GlobalFilter {
  bool reject_std_remote = false;  ///< Reject remote frames with standard identifiers.
  bool reject_ext_remote = false;  ///< Reject remote frames with extended identifiers.
  uint16_t std_list_size = 0;      ///< Standard filter elements in use, up to 128.
  uint16_t ext_list_size = 0;      ///< Extended filter elements in use, up to 64.
};

/// An acceptance filter element: identifiers first to last pass.
struct IdRange {
  uint32_t first = 0;  ///< First identifier that passes.
  uint32_t last = 0;   ///< Last identifier that passes.
};

/// Counts of a port since open or the last clear (they wrap at 2^32).
struct FrameCounts {
  uint32_t rx_dropped = 0;  ///< Frames lost because the receive ring was full.
  /// Frames that did not reach the adapter: refused by a full transmit
  /// queue (CANFD_SetCANTxMsg), or lost in a write that the node gave up on
  /// (a stalled adapter).
  uint32_t tx_refused = 0;
};

/// Elements of a port's standard identifier filter list.
constexpr size_t kMaxStdFilters = 128;
/// Elements of a port's extended identifier filter list.
constexpr size_t kMaxExtFilters = 64;

/// @}

// ---- Discovery -------------------------------------------------------------

/// @defgroup cpp_discovery Discovery
/// @ingroup cpp
/// @brief The attached adapters.
/// @{

/// The attached adapters, in the order in which the system lists them.
///
/// Scans as CANFD_ScanDevice (at most 8 adapters); any thread, one scan at a
/// time.
/// @return the adapters; empty when none was found or sysfs could not be read.
inline std::vector<DeviceInfo> scan() {
  std::vector<DeviceInfo> found;
  if (CANFD_ScanDevice() != 0) return found;
  for (const ListDev &e : List) {
    if (e.Dev_hidNum == 0xFFFFFFFFu) break;
    found.push_back({e.Dev_hidNum, e.Dev_PID, e.Dev_BID});
  }
  return found;
}

/// @}

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

/// @defgroup cpp_handles Adapters and ports
/// @ingroup cpp
/// @brief An open adapter and its two ports.
/// @{

/// A port of an open adapter: its settings, status, and frames.
///
/// Taken from Adapter::port(); copies share the adapter. Every call runs
/// the C call named in its description on the adapter's device index and
/// throws Error with that call's result when it fails; each also throws
/// errc::device_not_open once the adapter is closed (or for a Port() that
/// belongs to no adapter) and errc::invalid_port for a number other than 1
/// or 2. The command calls may throw errc::cmd_timeout, errc::device_gone,
/// errc::usb_write or the adapter's own code (1 to 255), and block until
/// the command before them is answered, then up to one second.
///
/// Calls may come from any thread, on the same or different Port objects;
/// the adapter's close() waits for them.
class Port {
 public:
  /// A port that belongs to no adapter: every call throws device_not_open.
  Port() noexcept = default;

  /// The port's number.
  /// @return 1 or 2 (or what was given to Adapter::port()); 0 for Port().
  uint8_t number() const noexcept { return number_; }

  /// Reads the operating mode (CANFD_GetCANOPMode; one command).
  /// @return the mode words.
  /// @throws Error as the class describes.
  OpMode mode() const {
    OpMode m;
    call("read operating mode", [&](WORD d) {
      return CANFD_GetCANOPMode(d, number_, &m.enable, &m.bus_mode, &m.iso_mode);
    });
    return m;
  }
  /// Sets the operating mode (CANFD_SetCANOPMode; one command).
  /// @param m the mode words.
  /// @throws Error as the class describes.
  void set_mode(const OpMode &m) {
    call("set operating mode",
         [&](WORD d) { return CANFD_SetCANOPMode(d, number_, m.enable, m.bus_mode, m.iso_mode); });
  }
  /// Reads the status words (CANFD_GetCANStatus; one command).
  /// @return the status, error counter and buffer status words.
  /// @throws Error as the class describes.
  PortStatus status() const {
    PortStatus s;
    call("read status", [&](WORD d) {
      return CANFD_GetCANStatus(d, number_, &s.status, &s.error_counter, &s.buffer_status);
    });
    return s;
  }
  /// Reads the bus state and error counters (CANFD_GetCANBusState; one
  /// command).
  /// @return the bus state and both error counters.
  /// @throws Error as the class describes.
  BusStatus bus_status() const {
    BYTE state = 0;
    BusStatus b;
    call("read bus state", [&](WORD d) {
      return CANFD_GetCANBusState(d, number_, &state, &b.tx_errors, &b.rx_errors);
    });
    b.state = static_cast<BusState>(state);
    return b;
  }
  /// Reads the bit rates and sample points (CANFD_GetCANADBaudRate; one
  /// command).
  /// @return the bit timing.
  /// @throws Error as the class describes.
  BitTiming bit_timing() const {
    BitTiming t;
    call("read bit rates", [&](WORD d) {
      return CANFD_GetCANADBaudRate(d, number_, &t.bitrate, &t.data_bitrate, &t.sample_point,
                                    &t.data_sample_point);
    });
    return t;
  }
  /// Sets the bit rates and sample points (CANFD_SetCANADBaudRate; one
  /// command).
  /// @param t bit rates in bit/s, sample points in 0.01 %.
  /// @throws Error as the class describes; errc::invalid_param when the
  ///         data bit rate is below the bit rate or the sample point is
  ///         above 10000.
  void set_bit_timing(const BitTiming &t) {
    call("set bit rates", [&](WORD d) {
      return CANFD_SetCANADBaudRate(d, number_, t.bitrate, t.data_bitrate, t.sample_point,
                                    t.data_sample_point);
    });
  }
  /// Frames per second that the adapter counted on this port
  /// (CANFD_GetCANRxFramePerSec; one command).
  /// @return the frames received in the last second.
  /// @throws Error as the class describes.
  uint16_t rx_frames_per_second() const {
    WORD fps = 0;
    call("read frame rate", [&](WORD d) { return CANFD_GetCANRxFramePerSec(d, number_, &fps); });
    return fps;
  }
  /// Re-initialises the port's CAN controller (CANFD_SetCANReInitialize; one
  /// command).
  /// @throws Error as the class describes.
  void reinitialize() {
    call("re-initialise", [&](WORD d) { return CANFD_SetCANReInitialize(d, number_); });
  }

  /// Reads the global filter and the filter list sizes
  /// (CANFD_GetCANGlobalFilter; one command).
  /// @return the global filter.
  /// @throws Error as the class describes.
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
  /// Sets the global filter (CANFD_SetCANGlobalFilter; one command).
  /// @param reject_std_remote reject remote frames with standard identifiers.
  /// @param reject_ext_remote reject remote frames with extended identifiers.
  /// @throws Error as the class describes.
  void set_global_filter(bool reject_std_remote, bool reject_ext_remote) {
    call("set global filter", [&](WORD d) {
      return CANFD_SetCANGlobalFilter(d, number_, reject_std_remote, reject_ext_remote);
    });
  }

  /// The standard filter elements in use (as many as the list size says):
  /// global_filter(), then CANFD_GetCANSTDIDFilter (three commands).
  /// @return the ranges; empty when every identifier passes.
  /// @throws Error as the class describes.
  std::vector<IdRange> std_filters() const {
    return read_list<WORD, kMaxStdFilters>(CANFD_GetCANSTDIDFilter, global_filter().std_list_size,
                                           "read standard filters");
  }
  /// The extended filter elements in use: global_filter(), then
  /// CANFD_GetCANEXTIDFilter (three commands).
  /// @return the ranges; empty when every identifier passes.
  /// @throws Error as the class describes.
  std::vector<IdRange> ext_filters() const {
    return read_list<DWORD, kMaxExtFilters>(CANFD_GetCANEXTIDFilter, global_filter().ext_list_size,
                                            "read extended filters");
  }
  /// Sets the standard identifier list (CANFD_SetCANSTDIDFilter; three
  /// commands). An empty list lets every identifier pass.
  /// @param ranges up to kMaxStdFilters ranges of 11-bit identifiers.
  /// @throws Error as the class describes; errc::invalid_filter_size for
  ///         more than kMaxStdFilters ranges.
  void set_std_filters(const std::vector<IdRange> &ranges) {
    write_list<WORD, kMaxStdFilters>(CANFD_SetCANSTDIDFilter, ranges, "set standard filters");
  }
  /// Sets the extended identifier list (CANFD_SetCANEXTIDFilter; three
  /// commands). An empty list lets every identifier pass.
  /// @param ranges up to kMaxExtFilters ranges of 29-bit identifiers.
  /// @throws Error as the class describes; errc::invalid_filter_size for
  ///         more than kMaxExtFilters ranges.
  void set_ext_filters(const std::vector<IdRange> &ranges) {
    write_list<DWORD, kMaxExtFilters>(CANFD_SetCANEXTIDFilter, ranges, "set extended filters");
  }

  /// @name Hardware periodic sending
  /// Hardware periodic sending: the adapter sends the frame every period
  /// (milliseconds), count times, while the mode is on. The adapter sends
  /// CAN FD frames with the bit rate switch, and without ESI.
  /// @{

  /// Whether hardware periodic sending is on (CANFD_GetCANHWSendMode; one
  /// command).
  /// @return true when on.
  /// @throws Error as the class describes.
  bool hw_send_mode() const {
    BYTE mode = 0;
    call("read hardware-send mode",
         [&](WORD d) { return CANFD_GetCANHWSendMode(d, number_, &mode); });
    return mode != 0;
  }
  /// Switches hardware periodic sending on or off (CANFD_SetCANHWSendMode;
  /// one command).
  /// @param on true: on.
  /// @throws Error as the class describes.
  void set_hw_send_mode(bool on) {
    call("set hardware-send mode",
         [&](WORD d) { return CANFD_SetCANHWSendMode(d, number_, on ? 1 : 0); });
  }
  /// Sets the frame of hardware periodic sending (CANFD_SetCANHWSendMsg; one
  /// command).
  /// @param f the frame (its brs and esi are not used).
  /// @param period_ms period in milliseconds.
  /// @param count frames to send (0: until the mode is switched off).
  /// @throws Error as the class describes.
  void set_hw_send_frame(const Frame &f, uint32_t period_ms, uint32_t count) {
    std::array<uint8_t, kMaxDataLen> data = f.data;
    call("set hardware-send frame", [&](WORD d) {
      return CANFD_SetCANHWSendMsg(d, number_, f.extended, f.id, f.remote, f.fd, f.dlc, data.data(),
                                   period_ms, count);
    });
  }

  /// @}

  /// @name Sending
  /// Sending. Frames go out in order, packed up to seven to a report,
  /// with their own BRS and ESI flags. An invalid frame (a remote CAN FD
  /// frame, BRS or ESI on a classic frame, an identifier beyond its 11 or 29
  /// bits) throws errc::invalid_param, and none of the call's frames is sent.
  /// These calls run CANFD_SendCANFrames and never wait for the adapter's
  /// answer, only for room in the transmit queue.
  /// @{

  /// Sends the frames, waiting up to timeout in all for room in the transmit
  /// queue (0: no wait). Returns how many were accepted: all of them, or the
  /// first ones when the time ran out. An accepted frame is written to the
  /// adapter, also when the adapter is closed right after.
  /// @tparam Rep, Period of the timeout's std::chrono::duration.
  /// @param frames the frames.
  /// @param timeout longest wait for room, for the whole call (rounded up to
  ///        milliseconds; 0 or less: no wait).
  /// @return the number of frames accepted.
  /// @throws Error as the class describes; errc::invalid_param for an
  ///         invalid frame; errc::device_gone once the adapter is unplugged.
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
  /// Sends frames of the C API's frame interface, as send() of Frame values.
  /// @tparam Rep, Period of the timeout's std::chrono::duration.
  /// @param frames the frames.
  /// @param timeout longest wait for room, for the whole call.
  /// @return the number of frames accepted.
  /// @throws Error as send() of Frame values.
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
  /// Sends one frame, waiting up to patience for room; throws
  /// errc::tx_queue_full when there was none.
  /// @param f the frame.
  /// @param patience longest wait for room.
  /// @throws Error as send() of several frames; errc::tx_queue_full.
  void send(const Frame &f, std::chrono::milliseconds patience = std::chrono::seconds(2)) {
    if (send(span<const Frame>(&f, 1), patience) == 0)
      throw Error(CANFD_ERR_TX_QUEUE_FULL, where("send frame"));
  }
  /// Sends one frame if there is room now; false otherwise. Never blocks.
  /// @param f the frame.
  /// @return whether the frame was accepted.
  /// @throws Error as send() of several frames.
  bool try_send(const Frame &f) {
    return send(span<const Frame>(&f, 1), std::chrono::milliseconds(0)) == 1;
  }

  /// @}

  /// @name Receiving
  /// Receiving, through CANFD_ReceiveCANFrames (the waits sleep until the
  /// receive worker stores a frame, or the adapter is closed or gone).
  /// @{

  /// Waits up to timeout for a frame (0: no wait), then takes every waiting
  /// frame, up to out.size(), in arrival order. Returns how many were taken:
  /// 0 when none came in time. Once the adapter is gone, the frames received
  /// before are taken first, then errc::device_gone is thrown.
  /// @tparam Rep, Period of the timeout's std::chrono::duration.
  /// @param out receives the frames (an empty span: returns 0 at once).
  /// @param timeout longest wait (rounded up to milliseconds; 0 or less: no
  ///        wait).
  /// @return the number of frames taken.
  /// @throws Error as the class describes; errc::device_gone.
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
  /// Takes frames as Frame values, as receive() of C frames. They are taken
  /// 32 at a time: only the first batch waits up to timeout, the others take
  /// what waits by then.
  /// @tparam Rep, Period of the timeout's std::chrono::duration.
  /// @param out receives the frames.
  /// @param timeout longest wait for the first frame.
  /// @return the number of frames taken.
  /// @throws Error as receive() of C frames.
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
  /// Takes the oldest received frame, waiting for one up to timeout.
  /// @tparam Rep, Period of the timeout's std::chrono::duration.
  /// @param timeout longest wait.
  /// @return the frame, or nothing when none came in time.
  /// @throws Error as receive() of C frames.
  template <class Rep, class Period>
  std::optional<Frame> receive(std::chrono::duration<Rep, Period> timeout) {
    Frame f;
    if (receive(span<Frame>(&f, 1), timeout) == 0) return std::nullopt;
    return f;
  }
  /// Takes the oldest received frame, if one waits; never blocks.
  /// @return the frame, or nothing.
  /// @throws Error as receive() of C frames.
  std::optional<Frame> receive() { return receive(std::chrono::milliseconds(0)); }

  /// Waits until a received frame waits (true) or the timeout passes (false).
  /// The frame is not taken (CANFD_WaitCANRxMsg).
  /// @param timeout longest wait.
  /// @return whether a frame waits.
  /// @throws Error as the class describes; errc::device_gone once the
  ///         adapter is unplugged and no frame waits.
  bool wait(std::chrono::milliseconds timeout) {
    const int rc = run("wait for frames", [&](WORD d) {
      return CANFD_WaitCANRxMsg(d, number_, detail::to_ms(timeout));
    });
    if (rc == CANFD_ERR_RX_BUF_EMPTY) return false;
    if (rc != 0) throw Error(rc, where("wait for frames"));
    return true;
  }
  /// A descriptor for poll, select or epoll: readable while received frames
  /// wait, and once the adapter is gone. The library owns it: do not write
  /// or close it (reading it is not needed, and does no harm). Valid until
  /// the adapter is closed (CANFD_GetCANRxEventFd; never blocks).
  /// @return the descriptor.
  /// @throws Error as the class describes.
  int rx_event_fd() const {
    int fd = -1;
    call("get receive descriptor", [&](WORD d) { return CANFD_GetCANRxEventFd(d, number_, &fd); });
    return fd;
  }
  /// Frames dropped and frame reports that did not reach the adapter, since
  /// open or the last clear (CANFD_GetCANFrameCounts; never blocks).
  /// @param clear true: set both counts to 0 after reading them.
  /// @return the counts.
  /// @throws Error as the class describes.
  FrameCounts frame_counts(bool clear = false) {
    FrameCounts c;
    call("read frame counts", [&](WORD d) {
      return CANFD_GetCANFrameCounts(d, number_, &c.rx_dropped, &c.tx_refused, clear ? 1 : 0);
    });
    return c;
  }
  /// Another program that uses the port, if any (CANFD_GetCANPortUser;
  /// never blocks): its process id (0: none) and its name.
  /// @return the process id and name.
  /// @throws Error as the class describes.
  std::pair<uint32_t, std::string> other_user() const {
    DWORD pid = 0;
    char name[32] = "";
    call("look for other programs on the port",
         [&](WORD d) { return CANFD_GetCANPortUser(d, number_, &pid, name, sizeof name); });
    return {pid, name};
  }
  /// Lets this program change the port's settings while other programs use
  /// it, or not (CANFD_SetCANPortOverride; never blocks).
  /// @param on true to override.
  /// @throws Error as the class describes.
  void set_override(bool on) {
    call("set the port's override",
         [&](WORD d) { return CANFD_SetCANPortOverride(d, number_, on ? 1 : 0); });
  }
  /// This program is done with the port: switches it off if this program
  /// switched it on and no other program uses it (CANFD_ReleaseCANPort).
  /// @return whether the port was switched off.
  /// @throws Error as the class describes.
  bool release() {
    BYTE off = 0;
    call("release the port", [&](WORD d) { return CANFD_ReleaseCANPort(d, number_, &off); });
    return off != 0;
  }
  /// The number of received frames that wait (CANFD_GetCANRxMsgCount; never
  /// blocks).
  /// @return the number of frames.
  /// @throws Error as the class describes; errc::device_gone once the
  ///         adapter is unplugged and no frame waits.
  uint32_t rx_count() const {
    DWORD n = 0;
    call("count received frames", [&](WORD d) { return CANFD_GetCANRxMsgCount(d, number_, &n); });
    return n;
  }
  /// Drops the received frames that wait (CANFD_ClearCANRxBuf; never blocks).
  /// @throws Error as the class describes.
  void clear_rx() {
    call("clear receive buffer", [&](WORD d) { return CANFD_ClearCANRxBuf(d, number_); });
  }
  /// Empties the port's transmit ring (CANFD_ClearCANTxBuf; never blocks).
  /// @throws Error as the class describes.
  void clear_tx() {
    call("clear transmit buffer", [&](WORD d) { return CANFD_ClearCANTxBuf(d, number_); });
  }

  /// @}

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

/// An open adapter: closes itself when destroyed; its ports share it.
///
/// Commands to the adapter as a whole run the C call named in their
/// description and throw Error with its result when it fails: errc::
/// device_not_open once closed (or for an Adapter() that holds none),
/// errc::cmd_timeout, errc::device_gone, errc::usb_write or the adapter's
/// code (1 to 255). They block until the command before them is answered,
/// then up to one second. Calls may come from any thread; close() waits for
/// those in progress.
class Adapter {
 public:
  /// An adapter that holds no device (false); open() gives one that does.
  Adapter() noexcept = default;

  /// Opens the adapter with this product id and board id (CANFD_OpenDevice).
  ///
  /// Blocks while another open or close through this interface runs, then
  /// as CANFD_OpenDevice (a scan, and up to 20 ms).
  /// @param pid product id.
  /// @param bid board id.
  /// @return the open adapter.
  /// @throws Error with the open's result: errc::device_not_found,
  ///         errc::device_already_open, errc::too_many_devices,
  ///         errc::invalid_index, or 1, 2 or 5 (named by open_result_name()).
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
  /// Opens an adapter that scan() found.
  /// @param d the adapter.
  /// @return the open adapter.
  /// @throws Error as open(pid, bid).
  static Adapter open(const DeviceInfo &d) { return open(d.pid, d.bid); }

  /// Takes over o's adapter; o holds none afterwards.
  /// @param o the adapter moved from.
  Adapter(Adapter &&o) noexcept
      : session_(std::move(o.session_)), index_(o.index_), pid_(o.pid_), bid_(o.bid_) {}
  /// Closes this adapter (as close()), then takes over o's.
  /// @param o the adapter moved from.
  /// @return this adapter.
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
  /// Not copyable: one owner closes the adapter.
  Adapter(const Adapter &) = delete;
  /// Not copyable.
  /// @return never.
  Adapter &operator=(const Adapter &) = delete;
  /// Closes the adapter, as close().
  ~Adapter() { close(); }

  /// Whether this holds an open adapter (false once closed or moved from).
  explicit operator bool() const noexcept { return session_ && session_->is_open(); }

  /// Closes the adapter (once; later closes do nothing): the library ends
  /// the calls in progress on it and its ports at once, and lets the
  /// transmit worker write what was accepted until 250 ms after the close
  /// began; close returns within 270 ms, or once those calls have returned
  /// if that takes longer (CANFD_CloseDevice).
  void close() noexcept {
    if (session_) session_->close();
  }

  /// The device index.
  /// @return N of /dev/hidrawN (kept after close).
  WORD index() const noexcept { return index_; }
  /// The product id it was opened with.
  /// @return the product id.
  uint16_t pid() const noexcept { return pid_; }
  /// The board id it was opened with.
  /// @return the board id.
  uint32_t bid() const noexcept { return bid_; }

  /// Port 1 or 2 (others are refused by each call with errc::invalid_port).
  /// @param number port number.
  /// @return the port; it shares this adapter, and its calls throw
  ///         errc::device_not_open once the adapter is closed.
  Port port(uint8_t number) const noexcept { return Port(session_, number); }

  /// Reads the firmware version (CANFD_GetFwVer; one command).
  /// @return the version word.
  /// @throws Error as the class describes.
  uint16_t firmware_version() const {
    WORD v = 0;
    call("read firmware version", [&](WORD d) { return CANFD_GetFwVer(d, &v); });
    return v;
  }
  /// Reads the INIT pin (CANFD_GetINITPinStatus; one command).
  /// @return the state byte.
  /// @throws Error as the class describes.
  uint8_t init_pin() const {
    BYTE s = 0;
    call("read INIT pin", [&](WORD d) { return CANFD_GetINITPinStatus(d, &s); });
    return s;
  }
  /// Sets the serial number, the board id it reports once it enumerates
  /// again (CANFD_SetSN; one command).
  /// @param sn the serial number.
  /// @throws Error as the class describes.
  void set_serial_number(uint32_t sn) {
    call("set serial number", [&](WORD d) { return CANFD_SetSN(d, sn); });
  }
  /// Sets the LED mode (CANFD_SetLEDMode; one command).
  /// @param mode the mode, as the adapter defines it.
  /// @throws Error as the class describes.
  void set_led_mode(uint8_t mode) {
    call("set LED mode", [&](WORD d) { return CANFD_SetLEDMode(d, mode); });
  }
  /// Sets the LED state (CANFD_SetLEDState; one command).
  /// @param state the state, as the adapter defines it.
  /// @throws Error as the class describes.
  void set_led_state(uint8_t state) {
    call("set LED state", [&](WORD d) { return CANFD_SetLEDState(d, state); });
  }
  /// Resets the adapter (CANFD_ResetModule): an unanswered request; blocks
  /// up to one second for the node to take it.
  /// @throws Error as the class describes.
  void reset() {
    call("reset module", [&](WORD d) { return CANFD_ResetModule(d); });
  }
  /// Resets the adapter through its watchdog (CANFD_ResetModuleWDT), as
  /// reset().
  /// @throws Error as the class describes.
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

/// @}

}  // namespace canfd

#endif  // CANFD_HPP
