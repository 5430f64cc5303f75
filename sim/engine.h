// The simulated adapter without its transport: the reports it takes from
// the host and what it does with them (commands, settings, frames onto the
// bus), what it sends back, hardware periodic sending, fault injection on
// command answers, frame counting and the timing model. A transport (the
// sandbox socket, or /dev/uhid) owns one Engine, feeds it the host's
// reports from its own thread and hands the Engine's reports to the host
// through the Link it gives.
//
// The transport's thread drives it: run(now) carries out what is due,
// take_ready_at(now) says when the next host report may be taken, take()
// takes one, next_wake() says when run() has work again. The test API may
// be called from any thread.
#ifndef CANFD_SIM_ENGINE_H
#define CANFD_SIM_ENGINE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "model.h"
#include "protocol.h"
#include "sim.h"
#include "timing.h"

namespace canfd_sim {

// CLOCK_MONOTONIC in nanoseconds: the time base of the engine and of the
// time stamps of received frames.
int64_t monotonic_ns();

class Engine {
 public:
  // What became of one report handed to the host.
  struct Delivery {
    unsigned took = 0;    // readers that have it
    unsigned missed = 0;  // readers that missed it; 1 when nobody has the node open
  };

  // The transport, as the engine sees it.
  class Link {
   public:
    virtual ~Link() = default;
    // Hands one report to every reader of the node.
    virtual Delivery deliver(const uint8_t *data, size_t len) = 0;
    // Makes the transport's thread call run() and recompute its waits.
    virtual void wake() = 0;
  };

  explicit Engine(Link &link);
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  // ---- The transport's thread.
  // Carries out everything due by now and hands out the reports that may go.
  void run(int64_t now);
  // When the next host report may be taken: now or earlier when it may at
  // once, timing::kNever while stalled. Carries out what is due by now
  // first, so that the room on the bus is counted as it is.
  int64_t take_ready_at(int64_t now);
  // Takes one report the host wrote.
  void take(const uint8_t *msg, size_t n, int64_t now);
  // When run() has work next, or timing::kNever.
  int64_t next_wake() const;
  // Fresh settings and empty queues, as when the adapter is plugged in.
  void power_on();
  // Releases callers waiting in send_report / push_records.
  void shut_down();

  // ---- The test API (see Adapter).
  std::vector<std::vector<uint8_t>> received() const;
  void clear_received();
  bool wait_received(size_t n, int timeout_ms) const;
  size_t tx_frames_received(int port) const;
  bool send_report(const void *data, size_t len);
  void push_records(int port, const std::vector<CANRxPacketStruct> &recs);
  uint64_t frames_dropped() const { return dropped_.load(); }
  void set_reply(uint8_t opcode, uint16_t fc, Reply r);
  void set_reply_all(Reply r);
  void clear_replies();
  void set_loopback(bool on);
  void set_recording(bool on);
  void set_rx_fps(int port, int fps);
  void stall(bool on);
  ModuleState state() const;
  void set_state(const ModuleState &s);
  void set_timing(const Timing &t);
  Timing timing() const;
  uint64_t tx_overflows(int port) const;

 private:
  // Hardware periodic sending of one port.
  struct HwRun {
    bool active = false;
    bool endless = false;  // counter 0: until the mode is switched off
    uint32_t remaining = 0;
    int64_t period = 0;
    int64_t next = timing::kNever;
  };

  // Frames taken per second, for the frame-rate read.
  struct FpsCounter {
    int64_t second = -1;  // monotonic second being counted
    uint32_t count = 0;   // frames in that second
    uint32_t last = 0;    // frames in the second before it
  };

  // What waits to go to the host, in order: whole reports, and received-
  // frame records per port that are packed into reports, up to six of a
  // port per report, when they go.
  struct WaitingRecord {
    uint64_t seq;
    uint8_t rec[protocol::kRxRecordSize];
  };
  struct WaitingReport {
    uint64_t seq;
    std::vector<uint8_t> bytes;
  };

  // A report packed for the host.
  struct Out {
    std::vector<uint8_t> bytes;
    size_t records = 0;  // received-frame records in it
  };

  // An answer held back by a Late reply.
  struct LateAnswer {
    int64_t due;
    std::vector<uint8_t> packet;
  };

  // With mu_ held.
  void handle(const uint8_t *msg, size_t n, int64_t now);
  void command(uint8_t op, uint16_t code, const uint8_t *data, size_t len, int64_t now);
  void frames(int port, const uint8_t *data, size_t len, int64_t now);
  void reset(bool watchdog, int64_t now);
  Reply take_reply(uint8_t op, uint16_t fc);
  void advance(int64_t now);
  void transmit(int index, const uint8_t *tx, int64_t at);
  void receive(int from, const uint8_t *tx, int64_t at);
  void hw_event(int index, int64_t at, int64_t now);
  void rearm_hw(int index, int64_t now);
  void drain_bus(int64_t now);
  void count_rx(int index, int64_t second);
  uint16_t rx_fps(int index, int64_t second) const;
  void refresh_status() const;
  size_t waiting() const;
  bool queue_report(const uint8_t *data, size_t len);
  bool queue_record(int index, const uint8_t *rec);
  // Packs what may go now into reports (into out_ from out_used_ on).
  void release(int64_t now);
  void release_one();
  Out &next_out();
  // Waits a bounded time for room among the waiting reports.
  bool wait_room(std::unique_lock<std::mutex> &lk);

  // Without mu_: hands out_ to the link, counting the records readers missed.
  void deliver_out();
  Delivery deliver(const uint8_t *data, size_t len, size_t records);

  Link &link_;
  std::atomic<uint64_t> dropped_{0};

  mutable std::mutex mu_;
  mutable std::condition_variable cv_received_;
  std::condition_variable cv_room_;  // waiting reports went out
  mutable ModuleState state_;        // rx_fps and buffer status refreshed on every read
  std::map<std::pair<uint8_t, uint16_t>, Reply> replies_;
  std::optional<Reply> reply_all_;
  bool loopback_ = true;
  const int64_t power_on_ns_ = monotonic_ns();  // where the adapter's clock starts to drift
  bool recording_ = true;
  bool stalled_ = false;
  bool shut_down_ = false;
  std::vector<std::vector<uint8_t>> received_;
  size_t tx_frames_[2] = {0, 0};
  FpsCounter fps_[2];
  int fps_fixed_[2] = {-1, -1};
  HwRun hw_run_[2];
  std::optional<LateAnswer> late_;

  Timing timing_;
  timing::Pacer from_host_, to_host_;
  timing::Bus bus_;

  uint64_t seq_ = 0;
  std::deque<WaitingReport> reports_;
  std::deque<WaitingRecord> records_[2];

  // Reports packed by release(), handed out by deliver_out(); used by the
  // transport's thread only.
  std::vector<Out> out_;
  size_t out_used_ = 0;
};

}  // namespace canfd_sim

#endif  // CANFD_SIM_ENGINE_H
