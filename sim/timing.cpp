#include "timing.h"

#include <algorithm>
#include <cstring>

namespace canfd_sim::timing {

namespace pr = protocol;

namespace {

int64_t bits_ns(uint32_t bits, uint32_t bitrate) {
  return static_cast<int64_t>(bits) * kNsPerSecond / std::max(bitrate, kMinBitrate);
}

}  // namespace

int64_t wire_time_ns(WireBits bits, bool brs, uint32_t arb_bitrate, uint32_t data_bitrate) {
  return bits_ns(bits.arb, arb_bitrate) + bits_ns(bits.data, brs ? data_bitrate : arb_bitrate);
}

int64_t wire_time_ns(const uint8_t *tx, uint32_t arb_bitrate, uint32_t data_bitrate) {
  const pr::RecordHead h = pr::get_record_head(tx);
  const unsigned bytes = std::min<unsigned>(h.size, pr::kMaxData);
  const WireBits bits = wire_bits(h.ext, h.fd, h.rtr, bytes);
  return wire_time_ns(bits, h.fd && h.brs, arb_bitrate, data_bitrate);
}

uint32_t arbitration_key(const uint8_t *tx) {
  const pr::RecordHead h = pr::get_record_head(tx);
  // CAN FD frames have no remote form: the RTR position is a dominant bit.
  const uint32_t rtr = !h.fd && h.rtr ? 1u : 0u;
  if (h.ext) {
    // Base identifier, SRR (recessive), IDE (recessive), extension, RTR.
    return (h.id >> 18) << 21 | 1u << 20 | 1u << 19 | (h.id & 0x3FFFF) << 1 | rtr;
  }
  // Identifier, RTR, IDE (dominant).
  return h.id << 21 | rtr << 20;
}

void Pacer::set_rate(int per_second, int burst) {
  interval_ = kNsPerSecond / std::max(per_second, 1);
  tolerance_ = interval_ * (std::max(burst, 1) - 1);
}

bool Bus::submit(int port, const uint8_t *tx, int64_t duration, int64_t now) {
  if (on_wire_ && queue_[port].size() >= limit_) {
    ++overflows_[port];
    return false;
  }
  Waiting f;
  f.queued_at = now;
  f.duration = duration;
  f.key = arbitration_key(tx);
  std::memcpy(f.rec, tx, sizeof f.rec);
  queue_[port].push_back(f);
  if (!on_wire_) start_next();
  return true;
}

void Bus::start_next() {
  const bool has[2] = {!queue_[0].empty(), !queue_[1].empty()};
  if (!has[0] && !has[1]) return;
  // The bus starts the next frame when it is free and a frame waits; the
  // frames waiting by then contend.
  int64_t first = kNever;
  for (int p = 0; p < 2; ++p)
    if (has[p]) first = std::min(first, queue_[p].front().queued_at);
  const int64_t start = std::max(free_at_, first);
  int pick = -1;
  for (int p = 0; p < 2; ++p) {
    if (!has[p] || queue_[p].front().queued_at > start) continue;
    if (pick < 0 || queue_[p].front().key < queue_[pick].front().key) pick = p;
  }
  const Waiting &f = queue_[pick].front();
  wire_.port = pick;
  wire_.start = start;
  wire_.end = start + f.duration;
  std::memcpy(wire_.rec, f.rec, sizeof wire_.rec);
  on_wire_ = true;
  queue_[pick].pop_front();
}

bool Bus::complete(int64_t now, Frame &done) {
  if (!on_wire_ || wire_.end > now) return false;
  done = wire_;
  on_wire_ = false;
  free_at_ = wire_.end;
  start_next();
  return true;
}

bool Bus::drain(Frame &done) { return complete(kNever, done); }

void Bus::clear(int port) {
  queue_[port].clear();
  overflows_[port] = 0;
}

void Bus::reset() {
  queue_[0].clear();
  queue_[1].clear();
  on_wire_ = false;
  overflows_[0] = overflows_[1] = 0;
}

}  // namespace canfd_sim::timing
