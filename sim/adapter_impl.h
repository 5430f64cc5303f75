// The simulated adapter behind its socket: one server thread takes the
// host's reports and answers them, one thread does the hardware periodic
// sending. Settings live in the ModuleState under mu_; the host connection
// under conn_mu_. No code path holds both locks at once.
#ifndef CANFD_SIM_ADAPTER_IMPL_H
#define CANFD_SIM_ADAPTER_IMPL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "model.h"
#include "sim.h"

namespace canfd_sim {

class SimAdapter final : public Adapter {
 public:
  // Listens on socket_path and starts serving.
  SimAdapter(const AdapterId &id, std::string socket_path);
  ~SimAdapter() override;
  SimAdapter(const SimAdapter &) = delete;
  SimAdapter &operator=(const SimAdapter &) = delete;

  // Closes the connection, stops listening and removes the socket file.
  // The accessors keep working afterwards. Idempotent.
  void stop();

  int hidraw() const override { return hidraw_; }
  bool connected() const override;
  bool wait_connected(int timeout_ms) override;

  std::vector<std::vector<uint8_t>> received() const override;
  void clear_received() override;
  bool wait_received(size_t n, int timeout_ms) const override;
  size_t tx_frames_received(int port) const override;

  bool send_report(const void *data, size_t len) override;
  void push_records(int port, const std::vector<CANRxPacketStruct> &recs) override;
  uint64_t frames_dropped() const override { return dropped_.load(); }

  void set_reply(uint8_t opcode, uint16_t fc, Reply r) override;
  void set_reply_all(Reply r) override;
  void clear_replies() override;
  void set_loopback(bool on) override;
  void set_recording(bool on) override;
  void set_rx_fps(int port, int fps) override;

  void disconnect() override;
  void refuse_writes() override;
  void stall(bool on) override;

  ModuleState state() const override;
  void set_state(const ModuleState &s) override;

 private:
  using Clock = std::chrono::steady_clock;
  // Received-frame records waiting to go to the host, per port.
  using Pending = std::vector<uint8_t>[2];

  // Hardware periodic sending of one port.
  struct HwRun {
    bool active = false;
    bool endless = false;  // counter 0: until the mode is switched off
    uint32_t remaining = 0;
    std::chrono::milliseconds period{1};
    Clock::time_point next;
  };

  // Frames taken per second, for the frame-rate read.
  struct FpsCounter {
    int64_t second = -1;  // monotonic second being counted
    uint32_t count = 0;   // frames in that second
    uint32_t last = 0;    // frames in the second before it
  };

  void serve();
  void hw_loop();
  void accept_host();
  void close_host(int fd);
  void wake();

  void handle(const uint8_t *msg, size_t n, Pending &pending);
  void command(uint8_t op, uint16_t fc, const uint8_t *data, size_t len, Pending &pending);
  void frames(int port, const uint8_t *data, size_t len, Pending &pending);
  void reset(bool watchdog);
  Reply take_reply(uint8_t op, uint16_t fc);

  // With mu_ held.
  void rearm_hw(int index, Clock::time_point now);
  void count_rx(int index, int64_t second);
  uint16_t rx_fps(int index, int64_t second) const;
  void refresh_fps() const;

  // Sends received-frame records of a port, up to six per report, counting
  // the records of every report that could not be sent.
  void deliver(int port, const std::vector<uint8_t> &records);
  void flush(Pending &pending);
  // Sends one message; waits a bounded time for room in the socket.
  bool send_msg(const void *data, size_t len);

  const int hidraw_;
  const std::string path_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::thread server_, hw_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> dropped_{0};

  // Host connection.
  mutable std::mutex conn_mu_;
  std::condition_variable cv_conn_;
  int conn_fd_ = -1;        // closed only by the server thread (or stop)
  bool connected_ = false;  // false again once disconnect() has cut it
  bool reads_refused_ = false;
  bool stalled_ = false;  // the host stopped reading: do not wait for room
  bool taking_ = true;    // false while stall() holds the host's reports back
  bool stopped_ = false;

  // Adapter state.
  mutable std::mutex mu_;
  mutable std::condition_variable cv_received_;
  std::condition_variable cv_hw_;
  mutable ModuleState state_;  // rx_fps refreshed on every read
  std::map<std::pair<uint8_t, uint16_t>, Reply> replies_;
  std::optional<Reply> reply_all_;
  bool loopback_ = true;
  bool recording_ = true;
  std::vector<std::vector<uint8_t>> received_;
  size_t tx_frames_[2] = {0, 0};
  FpsCounter fps_[2];
  int fps_fixed_[2] = {-1, -1};
  HwRun hw_run_[2];
};

}  // namespace canfd_sim

#endif  // CANFD_SIM_ADAPTER_IMPL_H
