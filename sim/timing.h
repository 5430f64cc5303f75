// The simulated adapter's timing: the wire time of a frame, the pacing of
// USB interrupt transfers, and the CAN bus with one transmit queue per port.
// Nothing here reads a clock: times are nanoseconds passed in by the caller
// (CLOCK_MONOTONIC in the adapter, made-up values in tests), so the model's
// decisions can be checked exactly.
#ifndef CANFD_SIM_TIMING_H
#define CANFD_SIM_TIMING_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>

#include "protocol.h"

namespace canfd_sim::timing {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr int64_t kNsPerSecond = 1000000000;
// Bit rates below this (0 included) are taken as this.
constexpr uint32_t kMinBitrate = 1000;

// Bits of a frame on the bus, stuff bits left out: those sent at the
// arbitration bit rate and those of the CAN FD data phase.
struct WireBits {
  uint32_t arb = 0;
  uint32_t data = 0;
};

// Classic frame with n data bytes: 47 + 8n bits, 67 + 8n with an extended
// identifier, all at the arbitration rate. CAN FD: 30 bits (extended 49) at
// the arbitration rate, then 26 + 8n bits (30 + 8n when n > 16) in the data
// phase. A remote frame carries no data bytes.
constexpr WireBits wire_bits(bool extended, bool fd, bool remote, unsigned bytes) {
  if (!fd) return {(extended ? 67u : 47u) + (remote ? 0u : 8u * bytes), 0};
  return {extended ? 49u : 30u, (bytes > 16 ? 30u : 26u) + 8u * bytes};
}

// Nanoseconds on the wire. The data phase runs at the data bit rate only
// with bit rate switching; without it, at the arbitration rate.
int64_t wire_time_ns(WireBits bits, bool brs, uint32_t arb_bitrate, uint32_t data_bitrate);

// Wire time of a 72-byte transmitted-frame record.
int64_t wire_time_ns(const uint8_t *tx, uint32_t arb_bitrate, uint32_t data_bitrate);

// Arbitration priority of a transmitted-frame record: the identifier field
// as its bits go on the wire (base identifier, SRR or RTR, IDE, identifier
// extension, RTR), dominant bits as 0. The lower key wins.
uint32_t arbitration_key(const uint8_t *tx);

// Paces transfers at a fixed rate (a USB interrupt endpoint polled once per
// interval). A transfer may go up to `burst - 1` intervals early when the
// one before it went late, so that late wake-ups of the simulating thread do
// not lower the rate; over any span T at most T / interval + burst go.
class Pacer {
 public:
  explicit Pacer(int per_second = 8000, int burst = 2) { set_rate(per_second, burst); }
  void set_rate(int per_second, int burst);
  int64_t interval() const { return interval_; }
  // The earliest time the next transfer may go.
  int64_t ready_at() const { return tat_ - tolerance_; }
  bool ready(int64_t now) const { return now >= ready_at(); }
  // Records a transfer at now (which must be ready).
  void take(int64_t now) { tat_ = (tat_ > now ? tat_ : now) + interval_; }
  void reset() { tat_ = kIdle; }

 private:
  static constexpr int64_t kIdle = std::numeric_limits<int64_t>::min() / 2;
  int64_t interval_ = 0;
  int64_t tolerance_ = 0;
  int64_t tat_ = kIdle;  // theoretical time of the next transfer
};

// One CAN bus shared by the adapter's two ports. Each port has a bounded
// queue of frames waiting for the bus; a frame occupies the bus for its
// wire time. When the bus comes free, the waiting frame at the head of a
// queue with the lowest arbitration key goes next (among those queued by
// then). Frames that find their port's queue full are counted and dropped.
class Bus {
 public:
  struct Frame {
    int port = 0;  // index 0 or 1
    int64_t start = 0, end = 0;
    uint8_t rec[protocol::kTxRecordSize] = {};
  };

  explicit Bus(size_t queue_limit = 256) : limit_(queue_limit) {}

  // Frames that may wait per port, besides the one on the wire.
  void set_limit(size_t per_port) { limit_ = per_port; }
  size_t limit() const { return limit_; }

  // Queues a frame of a port at now; every frame that ended at or before now
  // must have been taken with complete() first. False when the queue is full.
  bool submit(int port, const uint8_t *tx, int64_t duration, int64_t now);
  // When the frame on the wire ends, or kNever.
  int64_t next_end() const { return on_wire_ ? wire_.end : kNever; }
  // Takes the frame on the wire off the bus if it ended at or before now,
  // and starts the next one.
  bool complete(int64_t now, Frame &done);
  // Takes the frame on the wire and then every waiting one off the bus, in
  // the order they would have gone, whatever the time.
  bool drain(Frame &done);

  bool busy() const { return on_wire_; }
  size_t queued(int port) const { return queue_[port].size(); }
  uint64_t overflows(int port) const { return overflows_[port]; }
  // Drops the frames waiting at one port and zeroes its overflow count.
  void clear(int port);
  // Empties the bus and both queues and zeroes the counts.
  void reset();

 private:
  struct Waiting {
    int64_t queued_at;
    int64_t duration;
    uint32_t key;
    uint8_t rec[protocol::kTxRecordSize];
  };
  void start_next();

  size_t limit_;
  std::deque<Waiting> queue_[2];
  bool on_wire_ = false;
  Frame wire_;
  int64_t free_at_ = std::numeric_limits<int64_t>::min() / 2;
  uint64_t overflows_[2] = {0, 0};
};

}  // namespace canfd_sim::timing

#endif  // CANFD_SIM_TIMING_H
