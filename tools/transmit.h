// Sending frames in batches at a schedule, no faster than the bus carries
// them: what send, gen and dump --send share.
#ifndef CANFD_TOOL_TRANSMIT_H
#define CANFD_TOOL_TRANSMIT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "canfd.hpp"

namespace canfd_tool {

using Clock = std::chrono::steady_clock;

// Seconds that a frame occupies the bus at these bit rates, stuff bits left
// out: a classic frame with n data bytes takes 47 + 8n bits (extended
// identifier 67 + 8n) at the bit rate; a CAN FD frame 30 bits (extended 49)
// at the bit rate and 26 + 8n bits (n > 16: 30 + 8n) in its data phase, at
// the data bit rate with BRS and at the bit rate without. 0 when the bit
// rate is unknown (0).
double frame_seconds(const canfd::Frame &f, const canfd::BitTiming &t);

// Keeps the frames handed to the library a bounded number ahead of the bus.
// It assumes the bus takes them back to back at their wire time (plus 2 %,
// so that a late start is caught up), from when they were handed over.
class BusPacer {
 public:
  // Frames that may be ahead of the bus: more than a report queue's worth,
  // well below what an adapter holds.
  static constexpr size_t kLead = 64;

  explicit BusPacer(const canfd::BitTiming &timing) : timing_(timing) {}

  // How many frames may go now.
  size_t room(Clock::time_point now);
  // When n frames (at most kLead) may go.
  Clock::time_point room_for(size_t n) const;
  void sent(const canfd::Frame &f, Clock::time_point now);
  // When the bus would be through with the frames sent so far.
  Clock::time_point busy_until() const { return busy_until_; }

 private:
  canfd::BitTiming timing_;
  std::deque<Clock::time_point> ends_;  // of the frames ahead, as the bus would finish them
  Clock::time_point busy_until_{};
};

// The pace of a transmission: bursts of `burst` frames, one burst every
// `gap` from the start (0: as fast as the bus allows).
struct Schedule {
  std::chrono::nanoseconds gap{0};
  uint64_t burst = 1;
};

struct Transmitted {
  uint64_t frames = 0;
  // When the transmission is through: the end of the last burst's gap, or
  // when the bus would have carried the last frame, if later.
  Clock::time_point done;
};

// Sends the frames that next() produces (false: no more) in batches of up
// to eight reports, each frame when the schedule and the bus allow, until
// next(), g_stop or *stop (if given) ends it. `accepted` sees each batch as
// the library took it. Throws canfd::Error when the library took no frame
// for 2 s.
Transmitted transmit(canfd::Port &port, const Schedule &schedule,
                     const std::function<bool(canfd::Frame &)> &next,
                     const std::function<void(canfd::span<const canfd::Frame>)> &accepted = {},
                     const std::atomic<bool> *stop = nullptr);

}  // namespace canfd_tool

#endif  // CANFD_TOOL_TRANSMIT_H
