#include "transmit.h"

#include <algorithm>
#include <vector>

#include "tool.h"

namespace canfd_tool {

namespace {

// A batch fills the library's transmit queue: eight reports of seven frames.
constexpr size_t kBatch = CANFD_TXQUEUE_SLOTS * 7;
// Smallest batch worth waiting for when the bus is the limit: four reports.
constexpr size_t kMinBatch = 4 * 7;
constexpr auto kPatience = std::chrono::seconds(2);

}  // namespace

double frame_seconds(const canfd::Frame &f, const canfd::BitTiming &t) {
  if (t.bitrate == 0) return 0.0;
  const unsigned n = f.remote ? 0 : static_cast<unsigned>(f.size()) * 8;
  if (!f.fd) return ((f.extended ? 67u : 47u) + n) / static_cast<double>(t.bitrate);
  // Arbitration up to BRS, then CRC delimiter, ACK, end of frame and the
  // inter-frame space (13 bits); the data phase: ESI, DLC, data, stuff
  // count and CRC.
  const unsigned nominal = (f.extended ? 36u : 17u) + 13u;
  const unsigned data = 1u + 4u + n + 4u + (f.size() > 16 ? 21u : 17u);
  const uint32_t data_rate = f.brs && t.data_bitrate ? t.data_bitrate : t.bitrate;
  return nominal / static_cast<double>(t.bitrate) + data / static_cast<double>(data_rate);
}

size_t BusPacer::room(Clock::time_point now) {
  while (!ends_.empty() && ends_.front() <= now) ends_.pop_front();
  return kLead - ends_.size();
}

Clock::time_point BusPacer::room_for(size_t n) const {
  const size_t free = kLead - ends_.size();
  if (n <= free) return Clock::time_point::min();
  return ends_[std::min(n - free, ends_.size()) - 1];
}

void BusPacer::sent(const canfd::Frame &f, Clock::time_point now) {
  const double s = frame_seconds(f, timing_);
  if (s <= 0) return;  // unknown bit rate: no pacing
  const auto wire =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s * 1.02));
  busy_until_ = std::max(busy_until_, now) + wire;
  ends_.push_back(busy_until_);
}

Transmitted transmit(canfd::Port &port, const Schedule &schedule,
                     const std::function<bool(canfd::Frame &)> &next,
                     const std::function<void(canfd::span<const canfd::Frame>)> &accepted,
                     const std::atomic<bool> *stop) {
  BusPacer pacer(port.bit_timing());
  std::vector<canfd::Frame> batch;
  batch.reserve(kBatch);
  canfd::Frame f;
  bool more = next(f);  // f holds the next frame while more is true
  uint64_t sent = 0;
  const Clock::time_point start = Clock::now();
  Clock::time_point period_end = start;
  while (more && !g_stop.load() && !(stop && stop->load())) {
    Clock::time_point now = Clock::now();
    // Frames the schedule allows by now, and when the next one is due.
    uint64_t due = UINT64_MAX;
    Clock::time_point next_due = now;
    if (schedule.gap.count() > 0) {
      const uint64_t bursts = static_cast<uint64_t>((now - start) / schedule.gap) + 1;
      due = bursts * schedule.burst - sent;
      next_due = start + schedule.gap * static_cast<int64_t>(bursts);
    }
    // Waits for room for a few reports' worth, unless fewer are due.
    const size_t want = static_cast<size_t>(std::min<uint64_t>(due, kBatch));
    const size_t room = pacer.room(now);
    if (want == 0 || room < std::min(want, kMinBatch)) {
      const Clock::time_point wake =
          want == 0 ? next_due : pacer.room_for(std::min(want, kMinBatch));
      sleep_unless_stopped(std::chrono::duration_cast<std::chrono::microseconds>(wake - now), stop);
      continue;
    }
    const size_t n = std::min(want, room);
    batch.clear();
    while (more && batch.size() < n) {
      batch.push_back(f);
      more = next(f);
    }
    const size_t took = port.send(batch, kPatience);
    if (schedule.gap.count() > 0)
      period_end = start + schedule.gap * static_cast<int64_t>((sent + took + schedule.burst - 1) /
                                                               schedule.burst);
    now = Clock::now();
    for (size_t i = 0; i < took; ++i) pacer.sent(batch[i], now);
    sent += took;
    if (accepted) accepted(canfd::span<const canfd::Frame>(batch.data(), took));
    if (took < batch.size())
      throw canfd::Error(CANFD_ERR_TX_QUEUE_FULL,
                         "send frames on port " + std::to_string(port.number()));
  }
  return {sent, std::max({period_end, pacer.busy_until(), Clock::now()})};
}

}  // namespace canfd_tool
