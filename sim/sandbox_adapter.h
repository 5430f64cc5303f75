// The simulated adapter behind its sandbox socket: the Engine, served to
// every descriptor connected to the node's Unix seqpacket socket. One
// thread accepts connections, reads each one's link (sandbox_link.h), takes
// the host's reports (one connection after the other, only as the engine
// is ready for them, each counted on its connection's link) and runs the
// engine's timers; input reports go to every connection. The connections
// live under conn_mu_, the model under the engine's own lock; no code path
// holds both.
//
// Each connection has the input buffer of an open hidraw file: at most
// kNodeInputReports reports sent and not yet read. The kernel counts what a
// socket holds unread in bytes of its own accounting (SIOCOUTQ: the
// truesize of each message), not in messages; the adapter keeps the size of
// each report it sent, in order, so that SIOCOUTQ tells how many of them the
// host has read. The size of a message of each length is measured once on
// a socket pair.
#ifndef CANFD_SIM_SANDBOX_ADAPTER_H
#define CANFD_SIM_SANDBOX_ADAPTER_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine.h"
#include "sandbox_link.h"
#include "sim.h"
#include "waker.h"

namespace canfd_sim {

class SimAdapter final : public Adapter, private Engine::Link {
 public:
  // Listens on socket_path and starts serving.
  SimAdapter(const AdapterId &id, std::string socket_path);
  ~SimAdapter() override;
  SimAdapter(const SimAdapter &) = delete;
  SimAdapter &operator=(const SimAdapter &) = delete;

  // Closes every connection, stops listening and removes the socket file.
  // The accessors keep working afterwards. Idempotent.
  void stop();

  int hidraw() const override { return hidraw_; }
  bool connected() const override;
  bool wait_connected(int timeout_ms) override;
  int connections() const override;

  std::vector<std::vector<uint8_t>> received() const override { return engine_.received(); }
  void clear_received() override { engine_.clear_received(); }
  bool wait_received(size_t n, int timeout_ms) const override {
    return engine_.wait_received(n, timeout_ms);
  }
  size_t tx_frames_received(int port) const override { return engine_.tx_frames_received(port); }

  bool send_report(const void *data, size_t len) override { return engine_.send_report(data, len); }
  void push_records(int port, const std::vector<CANRxPacketStruct> &recs) override {
    engine_.push_records(port, recs);
  }
  uint64_t frames_dropped() const override { return engine_.frames_dropped(); }
  uint64_t reports_dropped() const override { return reports_dropped_.load(); }
  size_t max_unread() const override;
  void reset_max_unread() override;
  void set_lossless(bool on) override { lossless_ = on; }

  void set_reply(uint8_t opcode, uint16_t fc, Reply r) override {
    engine_.set_reply(opcode, fc, r);
  }
  void set_reply_all(Reply r) override { engine_.set_reply_all(r); }
  void clear_replies() override { engine_.clear_replies(); }
  void set_loopback(bool on) override { engine_.set_loopback(on); }
  void set_recording(bool on) override { engine_.set_recording(on); }
  void set_rx_fps(int port, int fps) override { engine_.set_rx_fps(port, fps); }

  void set_timing(const Timing &t) override { engine_.set_timing(t); }
  Timing timing() const override { return engine_.timing(); }
  uint64_t tx_overflows(int port) const override { return engine_.tx_overflows(port); }

  void disconnect() override;
  void refuse_writes() override;
  void stall(bool on) override { engine_.stall(on); }

  ModuleState state() const override { return engine_.state(); }
  void set_state(const ModuleState &s) override { engine_.set_state(s); }

 private:
  struct Conn {
    int fd = -1;
    uint64_t serial = 0;                 // tells connections apart when descriptors are reused
    canfd_sandbox_link *link = nullptr;  // from the host's first message; null before it
    bool cut = false;                    // disconnect() shut it: closed once the thread sees it
    bool refused = false;                // refuse_writes() shut the adapter's reading side
    bool hung_up = false;                // the host closed; what it wrote is still to be taken
    // The kernel's size of each report sent and not read yet, oldest first.
    std::deque<uint32_t> unread;
    uint64_t unread_size = 0;
  };
  // Whether the host still has the descriptor open.
  static bool is_open(const Conn &c) { return !c.cut && !c.hung_up; }

  // A connection the serving thread reads from, as it was when the wait began.
  struct Watched {
    int fd;
    canfd_sandbox_link *link;  // null: its first message is awaited
  };

  // What became of a report offered to one connection.
  enum class Offer { Sent, Full, Gone, TooLong };

  // Engine::Link.
  Engine::Delivery deliver(const uint8_t *data, size_t len) override;
  void wake() override;

  void serve();
  void accept_host();
  void close_host(int fd);
  // Marks a connection whose host closed while its reports were not taken;
  // false when there is nothing left to take from it.
  bool hang_up(int fd);
  bool refused(int fd) const;
  // The connection of a descriptor or serial number, or null; with conn_mu_ held.
  Conn *find_conn(int fd);
  const Conn *find_conn(int fd) const;
  Conn *find_serial(uint64_t serial);
  // Takes up to a pass of reports from the readable connections, one
  // connection after the other. Returns the descriptors found closed.
  void take_reports(const std::vector<Watched> &readable, std::vector<int> &closed);

  // With conn_mu_ held:
  // Reads the link from a connection's first message. False when the
  // connection has to be closed (it did not begin with one).
  bool greet(Conn &c);
  // Tells the host's writers that the connection takes no more reports.
  static void end_link(Conn &c);
  // Ends the link, unmaps it and closes the descriptor.
  static void drop_conn(Conn &c);
  // Reports the host has not read yet from a connection.
  size_t unread(Conn &c);
  Offer offer(Conn &c, const uint8_t *data, size_t len, uint32_t size);
  // The kernel's size of a message of len bytes in a socket's queue; 0 when
  // no socket takes one that long.
  uint32_t message_size(const uint8_t *data, size_t len);

  const int hidraw_;
  const std::string path_;
  Engine engine_;
  Waker waker_;
  int listen_fd_ = -1;
  std::thread server_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> lossless_{false};
  std::atomic<uint64_t> reports_dropped_{0};
  size_t next_conn_ = 0;  // where the next pass starts taking reports

  mutable std::mutex conn_mu_;
  std::condition_variable cv_conn_;
  std::vector<Conn> conns_;  // closed only by the server thread (or stop)
  uint64_t next_serial_ = 0;
  size_t max_unread_ = 0;
  std::unordered_map<size_t, uint32_t> message_sizes_;  // by length
  bool stopped_ = false;
};

}  // namespace canfd_sim

#endif  // CANFD_SIM_SANDBOX_ADAPTER_H
