#include "engine.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace canfd_sim {

namespace pr = protocol;
namespace fc = protocol::fc;
using timing::kNever;

namespace {

// Reports and received-frame records that may wait to go to the host; more
// received frames are dropped (counted), callers of send_report and
// push_records wait for room.
constexpr size_t kWaitingLimit = 4096;
// How long send_report and push_records wait for room.
constexpr int kRoomWaitMs = 500;
// A USB transfer that went late lets the next one follow this many
// intervals early (Pacer).
constexpr int kUsbBurst = 2;
constexpr int64_t kNsPerMs = 1000000;

int index_of(int port) { return port == 1 || port == 2 ? port - 1 : -1; }

int64_t second_of(int64_t t) { return t / timing::kNsPerSecond; }
uint32_t usecond_of(int64_t t) { return static_cast<uint32_t>(t % timing::kNsPerSecond / 1000); }

}  // namespace

int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * timing::kNsPerSecond + ts.tv_nsec;
}

Engine::Engine(Link &link) : link_(link), bus_(timing_.tx_queue_frames) {
  from_host_.set_rate(timing_.usb_reports_per_second, kUsbBurst);
  to_host_.set_rate(timing_.usb_reports_per_second, kUsbBurst);
}

// ---- The transport's thread ----------------------------------------------

void Engine::run(int64_t now) {
  bool released;
  {
    std::lock_guard<std::mutex> lk(mu_);
    advance(now);
    release(now);
    released = out_used_ > 0;
  }
  if (released) cv_room_.notify_all();
  deliver_out();
}

int64_t Engine::take_ready_at(int64_t now) {
  std::lock_guard<std::mutex> lk(mu_);
  if (stalled_ || shut_down_) return kNever;
  advance(now);
  int64_t t = std::numeric_limits<int64_t>::min();
  // A late answer holds back every report behind its command.
  if (late_) t = late_->due;
  if (timing_.on) {
    t = std::max(t, from_host_.ready_at());
    // As an endpoint takes no transfer that the device has no room for:
    // while a port's transmit queue could not take the frames of one more
    // report, the host's reports wait (and the host's writes with them).
    for (int i = 0; i < 2; ++i) {
      const size_t queued = bus_.queued(i);
      if (queued != 0 && queued + pr::kTxRecordsPerPacket > bus_.limit())
        t = std::max(t, bus_.next_end());
    }
  }
  return t;
}

void Engine::take(const uint8_t *msg, size_t n, int64_t now) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    // Frames that left the bus by now go before the ones this report adds.
    advance(now);
    if (timing_.on) from_host_.take(now);
    if (recording_) received_.emplace_back(msg, msg + n);
    handle(msg, n, now);
  }
  cv_received_.notify_all();
}

int64_t Engine::next_wake() const {
  std::lock_guard<std::mutex> lk(mu_);
  int64_t t = kNever;
  if (timing_.on) t = bus_.next_end();
  if (late_) t = std::min(t, late_->due);
  for (const HwRun &h : hw_run_)
    if (h.active) t = std::min(t, h.next);
  if (waiting() > 0)
    t = std::min(t, timing_.on ? to_host_.ready_at() : std::numeric_limits<int64_t>::min());
  return t;
}

void Engine::power_on() {
  std::lock_guard<std::mutex> lk(mu_);
  state_ = ModuleState{};
  fps_[0] = fps_[1] = FpsCounter{};
  bus_.reset();
  late_.reset();
  reports_.clear();
  records_[0].clear();
  records_[1].clear();
  from_host_.reset();
  to_host_.reset();
  const int64_t now = monotonic_ns();
  rearm_hw(0, now);
  rearm_hw(1, now);
}

void Engine::shut_down() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    shut_down_ = true;
    late_.reset();
  }
  cv_room_.notify_all();
}

// ---- Reports from the host -------------------------------------------------

void Engine::handle(const uint8_t *msg, size_t n, int64_t now) {
  // A report carries its packet behind the report number; the two resets
  // come as bare packets.
  const bool bare = msg[0] != pr::kReportNumber;
  const uint8_t *pkt = bare ? msg : msg + 1;
  const size_t avail = bare ? n : n - 1;
  if (avail < pr::kHeaderSize) return;
  const pr::Header hdr = pr::get_header(pkt);
  const size_t len = std::min<size_t>(hdr.len, avail - pr::kHeaderSize);
  const uint8_t *data = pkt + pr::kHeaderSize;
  if (hdr.opcode == pr::kOpLarge && (hdr.fc == fc::kModuleReset || hdr.fc == fc::kWatchdogReset)) {
    reset(hdr.fc == fc::kWatchdogReset, now);
    return;
  }
  if (bare) return;
  switch (hdr.opcode) {
    case pr::kOpRead:
    case pr::kOpWrite:
      command(hdr.opcode, hdr.fc, data, len, now);
      break;
    case pr::kOpLarge:
      for (int port = 1; port <= 2; ++port)
        if (hdr.fc == fc::frames_to(port)) frames(port, data, len, now);
      break;
    default:
      break;
  }
}

Reply Engine::take_reply(uint8_t op, uint16_t fc) {
  Reply *r = nullptr;
  const auto it = replies_.find({op, fc});
  if (it != replies_.end())
    r = &it->second;
  else if (reply_all_)
    r = &*reply_all_;
  if (!r) return Reply{};
  const Reply out = *r;
  if (r->times > 0 && --r->times == 0) {
    if (it != replies_.end())
      replies_.erase(it);
    else
      reply_all_.reset();
  }
  return out.times == 0 ? Reply{} : out;
}

void Engine::command(uint8_t op, uint16_t code, const uint8_t *data, size_t len, int64_t now) {
  const Reply r = take_reply(op, code);
  if (r.kind == Reply::Silent) return;
  model::Answer a;
  if (r.kind == Reply::Refuse) {
    a.done = false;
    a.code = r.code;
  } else if (op == pr::kOpRead) {
    refresh_status();
    a = model::read_command(state_, code);
  } else {
    a = model::write_command(state_, code, data, len);
    const int port = fc::port_of(code);
    const uint8_t cmd = fc::command_of(code);
    if (a.done && (port == 1 || port == 2)) {
      if (cmd == fc::kWriteHwSendMode || cmd == fc::kWriteHwSendRecord) rearm_hw(port - 1, now);
      // Re-initialisation empties the port's transmit queue.
      if (cmd == fc::kWriteReinit) bus_.clear(port - 1);
    }
  }
  std::vector<uint8_t> pkt = model::answer_packet(code, a);
  if (r.kind == Reply::Late) {
    late_ = LateAnswer{now + r.delay_ms * kNsPerMs, std::move(pkt)};
    return;
  }
  queue_report(pkt.data(), pkt.size());
}

void Engine::frames(int port, const uint8_t *data, size_t len, int64_t now) {
  const size_t n = len / pr::kTxRecordSize;
  tx_frames_[port - 1] += n;
  for (size_t i = 0; i < n; ++i) transmit(port - 1, data + i * pr::kTxRecordSize, now);
}

void Engine::reset(bool watchdog, int64_t now) {
  ModuleState fresh;
  fresh.module_resets = state_.module_resets + (watchdog ? 0 : 1);
  fresh.watchdog_resets = state_.watchdog_resets + (watchdog ? 1 : 0);
  state_ = fresh;
  fps_[0] = fps_[1] = FpsCounter{};
  bus_.reset();
  rearm_hw(0, now);
  rearm_hw(1, now);
}

// ---- The bus and hardware periodic sending ---------------------------------

void Engine::advance(int64_t now) {
  // Events in time order: a frame leaves the bus, a late answer is due, a
  // port's hardware-send period ends.
  for (;;) {
    int64_t t = kNever;
    int what = -1;
    if (timing_.on && bus_.next_end() < t) {
      t = bus_.next_end();
      what = 0;
    }
    if (late_ && late_->due < t) {
      t = late_->due;
      what = 1;
    }
    for (int i = 0; i < 2; ++i) {
      if (hw_run_[i].active && hw_run_[i].next < t) {
        t = hw_run_[i].next;
        what = 2 + i;
      }
    }
    if (what < 0 || t > now) return;
    if (what == 0) {
      timing::Bus::Frame f;
      bus_.complete(t, f);
      receive(f.port, f.rec, f.end);
    } else if (what == 1) {
      queue_report(late_->packet.data(), late_->packet.size());
      late_.reset();
    } else {
      hw_event(what - 2, t, now);
    }
  }
}

void Engine::transmit(int index, const uint8_t *tx, int64_t at) {
  if (!timing_.on) {
    receive(index, tx, at);
    return;
  }
  const PortState &p = state_.port[index];
  bus_.submit(index, tx, timing::wire_time_ns(tx, p.arb_bitrate, p.data_bitrate), at);
}

void Engine::receive(int from, const uint8_t *tx, int64_t at) {
  if (!loopback_) return;
  const int other = 1 - from;
  uint8_t rx[pr::kRxRecordSize];
  // The adapter's own clock, which runs off the host's by clock_ppm.
  const int64_t stamp = at + (at - power_on_ns_) * timing_.clock_ppm / 1000000;
  model::tx_to_rx(tx, static_cast<uint32_t>(second_of(stamp)), usecond_of(stamp), rx);
  if (!model::accepts(state_.port[other], rx)) return;
  count_rx(other, second_of(at));
  queue_record(other, rx);
}

void Engine::hw_event(int index, int64_t at, int64_t now) {
  HwRun &h = hw_run_[index];
  transmit(index, state_.port[index].hw_record, at);
  if (!h.endless && --h.remaining == 0) {
    h.active = false;
    return;
  }
  h.next = at + h.period;
  // After a stall, keep the period rather than catch up in a burst.
  if (h.next < now) h.next = now + h.period;
}

void Engine::rearm_hw(int index, int64_t now) {
  const PortState &p = state_.port[index];
  HwRun &h = hw_run_[index];
  h = HwRun{};
  if (p.hw_mode && model::hw_record_set(p)) {
    const uint32_t period = pr::get_u32(p.hw_record + pr::kRecPeriod);
    const uint32_t counter = pr::get_u32(p.hw_record + pr::kRecCounter);
    h.active = true;
    h.endless = counter == 0;
    h.remaining = counter;
    h.period = std::max<uint32_t>(period, 1) * kNsPerMs;
    // The first frame goes out one period after the switch, well after the
    // answer to the command that started it.
    h.next = now + h.period;
  }
}

void Engine::drain_bus(int64_t now) {
  timing::Bus::Frame f;
  while (bus_.drain(f)) receive(f.port, f.rec, now);
}

// ---- Frame rate and status -------------------------------------------------

void Engine::count_rx(int index, int64_t second) {
  FpsCounter &c = fps_[index];
  if (second == c.second) {
    ++c.count;
    return;
  }
  c.last = second == c.second + 1 ? c.count : 0;
  c.second = second;
  c.count = 1;
}

uint16_t Engine::rx_fps(int index, int64_t second) const {
  if (fps_fixed_[index] >= 0) return static_cast<uint16_t>(fps_fixed_[index]);
  const FpsCounter &c = fps_[index];
  uint32_t n = 0;
  if (second == c.second)
    n = c.last;
  else if (second == c.second + 1)
    n = c.count;
  return static_cast<uint16_t>(std::min<uint32_t>(n, 0xFFFF));
}

void Engine::refresh_status() const {
  const int64_t second = second_of(monotonic_ns());
  for (int i = 0; i < 2; ++i) {
    PortState &p = state_.port[i];
    p.rx_fps = rx_fps(i, second);
    if (timing_.on) {
      const uint32_t lost = static_cast<uint32_t>(std::min<uint64_t>(bus_.overflows(i), 0xFFFF));
      const uint32_t queued = static_cast<uint32_t>(std::min<size_t>(bus_.queued(i), 0xFFFF));
      p.buf_status = lost | queued << kBufQueuedShift;
    }
  }
}

// ---- Reports to the host ---------------------------------------------------

size_t Engine::waiting() const { return reports_.size() + records_[0].size() + records_[1].size(); }

bool Engine::queue_report(const uint8_t *data, size_t len) {
  if (waiting() >= kWaitingLimit) return false;
  reports_.push_back(WaitingReport{seq_++, std::vector<uint8_t>(data, data + len)});
  return true;
}

bool Engine::queue_record(int index, const uint8_t *rec) {
  if (waiting() >= kWaitingLimit) {
    ++dropped_;
    return false;
  }
  records_[index].emplace_back();
  WaitingRecord &r = records_[index].back();
  r.seq = seq_++;
  std::memcpy(r.rec, rec, sizeof r.rec);
  return true;
}

Engine::Out &Engine::next_out() {
  if (out_used_ == out_.size()) out_.emplace_back();
  Out &o = out_[out_used_++];
  o.records = 0;
  return o;
}

void Engine::release(int64_t now) {
  out_used_ = 0;
  while (waiting() > 0) {
    if (timing_.on) {
      if (!to_host_.ready(now)) break;
      to_host_.take(now);
    }
    release_one();
  }
}

void Engine::release_one() {
  const uint64_t next_report = reports_.empty() ? UINT64_MAX : reports_.front().seq;
  int port = -1;
  uint64_t first = next_report;
  for (int p = 0; p < 2; ++p) {
    if (!records_[p].empty() && records_[p].front().seq < first) {
      first = records_[p].front().seq;
      port = p;
    }
  }
  Out &o = next_out();
  if (port < 0) {
    o.bytes.swap(reports_.front().bytes);
    reports_.pop_front();
    return;
  }
  // Records of the port that came before the next whole report share it.
  std::deque<WaitingRecord> &q = records_[port];
  o.bytes.resize(pr::kHeaderSize + pr::kRxRecordsPerPacket * pr::kRxRecordSize);
  size_t k = 0;
  for (; k < pr::kRxRecordsPerPacket && !q.empty() && q.front().seq < next_report; ++k) {
    std::memcpy(o.bytes.data() + pr::kHeaderSize + k * pr::kRxRecordSize, q.front().rec,
                pr::kRxRecordSize);
    q.pop_front();
  }
  const size_t len = k * pr::kRxRecordSize;
  o.bytes.resize(pr::kHeaderSize + len);
  pr::put_header(o.bytes.data(), pr::kOpLarge, fc::frames_from(port + 1),
                 static_cast<uint16_t>(len));
  o.records = k;
}

bool Engine::wait_room(std::unique_lock<std::mutex> &lk) {
  cv_room_.wait_for(lk, std::chrono::milliseconds(kRoomWaitMs),
                    [this] { return waiting() < kWaitingLimit || shut_down_; });
  return waiting() < kWaitingLimit && !shut_down_;
}

void Engine::deliver_out() {
  for (size_t i = 0; i < out_used_; ++i)
    deliver(out_[i].bytes.data(), out_[i].bytes.size(), out_[i].records);
}

Engine::Delivery Engine::deliver(const uint8_t *data, size_t len, size_t records) {
  const Delivery d = link_.deliver(data, len);
  if (d.missed && records) dropped_ += static_cast<uint64_t>(records) * d.missed;
  return d;
}

// ---- Test API ----------------------------------------------------------------

bool Engine::send_report(const void *data, size_t len) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  {
    std::unique_lock<std::mutex> lk(mu_);
    if (timing_.on) {
      if (!wait_room(lk) || !queue_report(bytes, len)) return false;
      lk.unlock();
      link_.wake();
      return true;
    }
  }
  return link_.deliver(bytes, len).took > 0;
}

void Engine::push_records(int port, const std::vector<CANRxPacketStruct> &recs) {
  const int index = index_of(port);
  if (index < 0 || recs.empty()) return;
  static_assert(sizeof(CANRxPacketStruct) == pr::kRxRecordSize, "received-frame record");
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(recs.data());
  {
    std::unique_lock<std::mutex> lk(mu_);
    const int64_t second = second_of(monotonic_ns());
    for (size_t i = 0; i < recs.size(); ++i) count_rx(index, second);
    if (timing_.on) {
      if (!wait_room(lk)) {
        dropped_ += recs.size();
        return;
      }
      for (size_t i = 0; i < recs.size(); ++i) queue_record(index, bytes + i * pr::kRxRecordSize);
      lk.unlock();
      link_.wake();
      return;
    }
  }
  constexpr size_t kPerPacket = pr::kRxRecordsPerPacket;
  uint8_t pkt[pr::kHeaderSize + kPerPacket * pr::kRxRecordSize];
  for (size_t i = 0; i < recs.size(); i += kPerPacket) {
    const size_t k = std::min(kPerPacket, recs.size() - i);
    const size_t len = k * pr::kRxRecordSize;
    pr::put_header(pkt, pr::kOpLarge, fc::frames_from(port), static_cast<uint16_t>(len));
    std::memcpy(pkt + pr::kHeaderSize, bytes + i * pr::kRxRecordSize, len);
    deliver(pkt, pr::kHeaderSize + len, k);
  }
}

std::vector<std::vector<uint8_t>> Engine::received() const {
  std::lock_guard<std::mutex> lk(mu_);
  return received_;
}

void Engine::clear_received() {
  std::lock_guard<std::mutex> lk(mu_);
  received_.clear();
}

bool Engine::wait_received(size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_received_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                               [&] { return received_.size() >= n; });
}

size_t Engine::tx_frames_received(int port) const {
  const int index = index_of(port);
  if (index < 0) return 0;
  std::lock_guard<std::mutex> lk(mu_);
  return tx_frames_[index];
}

void Engine::set_reply(uint8_t opcode, uint16_t fc, Reply r) {
  std::lock_guard<std::mutex> lk(mu_);
  if (r.times == 0)
    replies_.erase({opcode, fc});
  else
    replies_[{opcode, fc}] = r;
}

void Engine::set_reply_all(Reply r) {
  std::lock_guard<std::mutex> lk(mu_);
  if (r.times == 0)
    reply_all_.reset();
  else
    reply_all_ = r;
}

void Engine::clear_replies() {
  std::lock_guard<std::mutex> lk(mu_);
  replies_.clear();
  reply_all_.reset();
}

void Engine::set_loopback(bool on) {
  std::lock_guard<std::mutex> lk(mu_);
  loopback_ = on;
}

void Engine::set_recording(bool on) {
  std::lock_guard<std::mutex> lk(mu_);
  recording_ = on;
}

void Engine::set_rx_fps(int port, int fps) {
  const int index = index_of(port);
  if (index < 0) return;
  std::lock_guard<std::mutex> lk(mu_);
  fps_fixed_[index] = fps < 0 ? -1 : std::min(fps, 0xFFFF);
}

void Engine::stall(bool on) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stalled_ = on;
  }
  link_.wake();
}

ModuleState Engine::state() const {
  std::lock_guard<std::mutex> lk(mu_);
  refresh_status();
  return state_;
}

void Engine::set_state(const ModuleState &s) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    state_ = s;
    const int64_t now = monotonic_ns();
    rearm_hw(0, now);
    rearm_hw(1, now);
  }
  link_.wake();
}

void Engine::set_timing(const Timing &t) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    const int64_t now = monotonic_ns();
    advance(now);
    // Frames still on the bus arrive at once when the model goes off.
    if (timing_.on && !t.on) drain_bus(now);
    timing_ = t;
    from_host_.set_rate(t.usb_reports_per_second, kUsbBurst);
    to_host_.set_rate(t.usb_reports_per_second, kUsbBurst);
    bus_.set_limit(t.tx_queue_frames);
  }
  cv_room_.notify_all();
  link_.wake();
}

Timing Engine::timing() const {
  std::lock_guard<std::mutex> lk(mu_);
  return timing_;
}

uint64_t Engine::tx_overflows(int port) const {
  const int index = index_of(port);
  if (index < 0) return 0;
  std::lock_guard<std::mutex> lk(mu_);
  return bus_.overflows(index);
}

}  // namespace canfd_sim
