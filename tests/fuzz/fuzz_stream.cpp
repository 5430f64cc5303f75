// Fuzz target: one port's stream of received-frame records on a small ring
// (size, capacity and starting position from the input, so that records
// wrap around the end of the storage). Frame packets of any length, takes
// of one record or of a batch, and clears arrive in any order. Invariants:
// - only whole records enter the ring, each one the adapter sent, in order;
//   the record that completes an earlier packet's part enters alone, the
//   whole records of a packet all or none; a dropped record is counted; a
//   clear drops the record in progress when it completes;
// - each record decodes to fields in range, the same through the one-frame
//   decoder and the frame interface's, and a batch decoded in place in the
//   caller's array gives the frames that decoding each record alone gives.
#include <array>
#include <deque>
#include <vector>

#include "fuzz.h"
#include "internal.h"

namespace {

namespace core = canfd::core;
namespace w = canfd::wire;
using canfd_fuzz::Input;
using Record = std::array<BYTE, w::kRxRecordSize>;

constexpr DWORD kRecord = w::kRxRecordSize;
constexpr DWORD kMaxBatch = 8;

// What the stream must do, record by record.
struct Model {
  std::vector<BYTE> partial;  // bytes of the record in progress
  bool discard = false;       // a clear came while it was in progress
  std::deque<Record> held;    // records in the ring, oldest first
  DWORD dropped = 0;
  DWORD capacity = 0;

  DWORD room() const { return capacity - static_cast<DWORD>(held.size()) * kRecord; }
};

int64_t stamp(const BYTE *r) {
  return static_cast<int64_t>(w::get_le32(r + w::kRecSecond)) * 1000000 +
         w::get_le32(r + w::kRecUsecond);
}

// Expected effect of one packet on the model; returns whether a record is
// stored and sets newest to the stamp of the last record completed (or -1).
bool model_store(Model &m, const BYTE *data, DWORD len, int64_t &newest) {
  bool stored = false;
  newest = -1;
  DWORD off = 0;
  if (!m.partial.empty()) {
    while (off < len && m.partial.size() < kRecord) m.partial.push_back(data[off++]);
    if (m.partial.size() == kRecord) {
      Record r;
      std::copy(m.partial.begin(), m.partial.end(), r.begin());
      m.partial.clear();
      newest = stamp(r.data());
      if (m.discard) {
        m.discard = false;
      } else if (m.room() >= kRecord) {
        m.held.push_back(r);
        stored = true;
      } else {
        ++m.dropped;
      }
    }
  }
  const DWORD whole = (len - off) / kRecord;
  if (whole > 0) {
    const bool fit = m.room() >= whole * kRecord;
    for (DWORD i = 0; i < whole; ++i, off += kRecord) {
      Record r;
      std::copy(data + off, data + off + kRecord, r.begin());
      if (fit) m.held.push_back(r);
      newest = stamp(r.data());
    }
    if (fit)
      stored = true;
    else
      m.dropped += whole;
  }
  m.partial.insert(m.partial.end(), data + off, data + len);
  return stored;
}

void check_stream(const core::Ring &ring, const core::RxStream &s, const Model &m) {
  FUZZ_CHECK(*ring.count == m.held.size() * kRecord);
  FUZZ_CHECK(*ring.count <= ring.capacity);
  FUZZ_CHECK(*ring.start < ring.size);
  FUZZ_CHECK(*ring.end == (*ring.start + *ring.count) % ring.size);
  FUZZ_CHECK(s.partial_len == m.partial.size());
  FUZZ_CHECK(s.partial_len < kRecord);
  FUZZ_CHECK(s.partial_len == 0 || std::memcmp(s.partial, m.partial.data(), s.partial_len) == 0);
  FUZZ_CHECK(s.discard_partial == m.discard);
  FUZZ_CHECK(s.dropped == m.dropped);
}

// A record's fields as both decoders give them, in range and consistent.
void check_decoded(const BYTE *rec) {
  const w::RxFields r = w::decode_rx_record(rec);
  FUZZ_CHECK(r.type <= 3 && r.mode <= 1 && r.rtr <= 1 && r.fdf <= 1 && r.dlc <= 15);
  FUZZ_CHECK(r.id <= (r.mode ? w::kIdMask : w::kStdIdMask));
  FUZZ_CHECK(r.size <= w::kMaxData);
  CANFD_Frame_St f;
  std::memset(&f, 0xA5, sizeof f);
  w::decode_frame(rec, f);
  FUZZ_CHECK(f.id == r.id);
  FUZZ_CHECK(!(f.flags & ~(CANFD_FRAME_EXT | CANFD_FRAME_RTR | CANFD_FRAME_FD | CANFD_FRAME_BRS |
                           CANFD_FRAME_ESI)));
  FUZZ_CHECK(((f.flags & CANFD_FRAME_EXT) != 0) == (r.mode != 0));
  FUZZ_CHECK(((f.flags & CANFD_FRAME_RTR) != 0) == (r.rtr != 0));
  FUZZ_CHECK(((f.flags & CANFD_FRAME_FD) != 0) == (r.fdf != 0));
  FUZZ_CHECK(f.type == r.type && f.reserved == 0);
  FUZZ_CHECK(f.second == r.second && f.usecond == r.usecond);
  // A remote frame's length is its DLC and it carries no data; any other
  // frame's length is the record's size (at most 64) and its data follow.
  FUZZ_CHECK(f.len == (r.rtr ? r.dlc : r.size));
  const BYTE copied = r.rtr ? 0 : f.len;
  FUZZ_CHECK(std::memcmp(f.data, rec + w::kRecData, copied) == 0);
  for (int i = copied; i < w::kMaxData; ++i) FUZZ_CHECK(f.data[i] == 0);
}

// The frame interface's frame of a record, as decoded alone.
CANFD_Frame_St alone(const BYTE *rec, int64_t offset) {
  CANFD_Frame_St f;
  std::memset(&f, 0, sizeof f);
  w::decode_frame(rec, f);
  int64_t host = static_cast<int64_t>(f.second) * 1000000 + f.usecond + offset;
  if (host < 0) host = 0;
  f.host_second = static_cast<DWORD>(host / 1000000);
  f.host_usecond = static_cast<DWORD>(host % 1000000);
  return f;
}

bool same_frame(const CANFD_Frame_St &a, const CANFD_Frame_St &b) {
  return a.flags == b.flags && a.len == b.len && a.type == b.type && a.reserved == b.reserved &&
         std::memcmp(a.data, b.data, sizeof a.data) == 0 && a.second == b.second &&
         a.usecond == b.usecond && a.host_second == b.host_second &&
         a.host_usecond == b.host_usecond && a.id == b.id;
}

canfd_fuzz::Exact<kMaxBatch * sizeof(CANFD_Frame_St)> frames_buffer;
canfd_fuzz::Exact<kRecord> record_buffer;
// A packet's payload: up to a report's worth after the header.
constexpr DWORD kMaxPayload = CANFD_REPORT_SIZE - CANFD_HEADER_SIZE;
canfd_fuzz::Exact<kMaxPayload> payload_buffer;

}  // namespace

// Input: ring size, capacity and start; then operations: a packet (length
// and bytes), a take of one record, a batch take, a clear.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  const DWORD ring_size = in.range(kRecord / 2, 8 * kRecord);
  const DWORD capacity = in.range(0, ring_size);
  DWORD start = in.range(0, ring_size - 1), end = start, count = 0;
  std::vector<BYTE> storage(ring_size);
  const core::Ring ring{storage.data(), ring_size, capacity, &start, &end, &count};
  core::RxStream s;
  Model m;
  m.capacity = capacity;
  // A clock offset (host time less adapter time, the adapter's seconds being
  // 32 bits).
  const int64_t offset = static_cast<int64_t>(in.u32()) * 1000000 - (int64_t{1} << 51);

  while (!in.empty()) {
    const uint8_t op = in.u8();
    switch (op & 3) {
      case 0:
      case 1: {  // a packet's payload
        const DWORD len = in.range(0, kMaxPayload);
        BYTE *payload = payload_buffer.open(len);
        std::memset(payload, 0, len);
        in.take(payload, len);
        int64_t newest;
        const bool expect = model_store(m, payload, len, newest);
        FUZZ_CHECK(core::rx_store(ring, s, payload, len) == expect);
        FUZZ_CHECK(s.newest_us == newest);
        break;
      }
      case 2: {  // one record, as CANFD_GetCANRxMsg takes it
        BYTE *rec = record_buffer.open(kRecord);
        const bool held = !m.held.empty();
        FUZZ_CHECK(core::ring_read(ring, rec, kRecord) == (held ? 0 : -1));
        if (!held) break;
        FUZZ_CHECK(std::memcmp(rec, m.held.front().data(), kRecord) == 0);
        m.held.pop_front();
        check_decoded(rec);
        break;
      }
      default: {
        if (op & 4) {  // a clear
          core::rx_clear(ring, s);
          m.held.clear();
          if (!m.partial.empty()) m.discard = true;
          break;
        }
        // A batch, as CANFD_ReceiveCANFrames takes it: the records go to the
        // tail of exactly n frames and are decoded in place.
        DWORD n = 1 + (op >> 3) % kMaxBatch;
        if (n > m.held.size()) n = static_cast<DWORD>(m.held.size());
        if (n == 0) break;
        auto *frames =
            reinterpret_cast<CANFD_Frame_St *>(frames_buffer.open(n * sizeof(CANFD_Frame_St)));
        // Host times as the reader stamps them: here, adapter time plus
        // the offset.
        int64_t hosts[kMaxBatch];
        for (DWORD i = 0; i < n; ++i) hosts[i] = stamp(m.held[i].data()) + offset;
        FUZZ_CHECK(core::ring_read(ring, core::records_tail(frames, n), n * kRecord) == 0);
        core::decode_records(frames, n, hosts);
        for (DWORD i = 0; i < n; ++i) {
          FUZZ_CHECK(same_frame(frames[i], alone(m.held.front().data(), offset)));
          FUZZ_CHECK(frames[i].host_usecond < 1000000);
          m.held.pop_front();
        }
        break;
      }
    }
    check_stream(ring, s, m);
  }
  return 0;
}
