// Fuzz target: the receive worker's filing of one input report, on a
// device's state made in memory (no node, no workers). The state before the
// report comes from the input too: the request a command waits on and the
// requests still owed an answer, how full each port's ring is and where it
// starts, and a record in progress in each port's stream. Invariants:
// - an answer ('!' or '?') that the waiting command takes is copied whole
//   into the response slot, cut to the slot's 512 bytes, and flagged; one it
//   does not take changes neither the slot nor the flag;
// - a frame packet from port 1 or 2 whose length fits in what was read
//   stores only whole records of that port's stream, each one the adapter
//   sent; its bytes are accounted for (stored, dropped, or in progress); each
//   stored record is stamped with a host time near the report's arrival; the
//   port is returned (the reader then wakes it, and its readiness descriptor
//   fires) exactly when records were stored; the other port and the answers
//   stay as they were;
// - anything else, or a frame packet longer than the report, changes
//   nothing.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

#include "fuzz.h"
#include "internal.h"

namespace {

namespace core = canfd::core;
namespace w = canfd::wire;
using canfd_fuzz::Input;

constexpr DWORD kRecord = w::kRxRecordSize;
constexpr BYTE kSlotFill = 0xC3;  // the response slot's bytes before the report

core::Device &device() {
  static core::Device *d = [] {
    auto *rec = static_cast<PKALVEN_CANFD_CAN_Buf_St>(calloc(1, sizeof(KALVEN_CANFD_CAN_Buf_St)));
    CANBufStructInit(rec);
    core::Device *dev = core::new_device(0, rec);
    for (core::Port &p : dev->ports) {
      p.event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      // Handed out, as to a poll loop: the descriptors follow the rings.
      p.fd_given = true;
    }
    return dev;
  }();
  return *d;
}

const BYTE *slot_fill() {
  static BYTE fill[CANFD_PACKET_MAX];
  static const bool once = (std::memset(fill, kSlotFill, sizeof fill), true);
  (void)once;
  return fill;
}

// Empties a port's readiness descriptor; whether it had fired.
bool take_signal(core::Device &d, BYTE port) {
  uint64_t n;
  core::Port &p = core::port_of(d, port);
  const bool fired = read(p.event_fd, &n, sizeof n) == sizeof n;
  p.signalled = false;
  return fired;
}

const WORD kCodes[] = {w::fc::kFwVersion,
                       w::fc::kInitPin,
                       w::fc::port(1, w::fc::kReadStatus),
                       w::fc::port(2, w::fc::kReadBitRates),
                       w::fc::port(1, w::fc::kWriteStdFilters),
                       w::fc::frames_from(1)};

core::Request request(Input &in, int64_t now) {
  core::Request r;
  const uint8_t b = in.u8();
  r.opcode = b & 1 ? CANFD_OP_WRITE : CANFD_OP_READ;
  r.fc = b & 2 ? in.u16() : kCodes[(b >> 2) % (sizeof kCodes / sizeof kCodes[0])];
  // Still owed, or past its time (an owed request past it is forgotten).
  r.answer_by_ns = b & 0x80 ? now - 1 - (b & 0x40) : now + core::kCmdTimeoutMs * 1000000LL;
  return r;
}

struct PortBefore {
  DWORD start, count;
  std::vector<BYTE> partial;
  bool discard;
  DWORD dropped;
};

}  // namespace

// Input: the answers' state, each port's ring and stream, the number of bytes
// read, then the report's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  core::Device &d = device();
  PKALVEN_CANFD_CAN_Buf_St rec = d.rec;
  const int64_t now = core::now_ns();

  core::Answers &a = d.answers;
  a = core::Answers();
  const uint8_t answers_state = in.u8();
  a.owed_count = answers_state % 4;
  for (int i = 0; i < a.owed_count; ++i) a.owed[i] = request(in, now);
  a.waiting = answers_state & 4;
  const bool arrived_before = a.waiting && (answers_state & 8);
  if (a.waiting) a.current = request(in, now);
  rec->m_byNormalPktArrive = arrived_before ? 1 : 0;
  std::memcpy(rec->BUFF_RX_NormPkt, slot_fill(), sizeof rec->BUFF_RX_NormPkt);

  PortBefore before[2];
  for (BYTE port = 1; port <= 2; ++port) {
    const core::Ring ring = core::rx_ring(rec, port);
    const uint8_t fill = in.u8();
    // Empty, or a few records short of full (the bytes held are not looked at).
    *ring.count = fill & 1 ? ring.capacity - (fill >> 1) % 8 * kRecord : 0;
    // Anywhere, or at a record's slot as the library's rings always are.
    *ring.start = in.u32() % ring.size;
    if (fill & 0x40) *ring.start -= *ring.start % kRecord;
    *ring.end = (*ring.start + *ring.count) % ring.size;
    core::RxStream &s = core::port_of(d, port).rx;
    s = core::RxStream();
    s.partial_len = in.range(0, kRecord - 1);
    in.take(s.partial, s.partial_len);
    s.discard_partial = s.partial_len > 0 && (fill & 0x80);
    s.dropped = in.u8();
    before[port - 1] = {*ring.start, *ring.count,
                        std::vector<BYTE>(s.partial, s.partial + s.partial_len), s.discard_partial,
                        s.dropped};
  }

  // The report as the worker reads it: n bytes, zeros after them.
  const size_t n = in.range(1, CANFD_REPORT_SIZE);
  std::vector<BYTE> report(CANFD_REPORT_SIZE, 0);
  in.take(report.data(), n);
  const core::Answers answers_before = a;

  const int64_t arrival = core::now_ns() / 1000;
  const BYTE woken = core::dispatch_report(d, report.data(), n, arrival);
  if (woken != 0) FUZZ_CHECK(!core::rx_flush(d, woken));

  const BYTE op = report[w::kHdrOpcode];
  const WORD len = w::get_le16(report.data() + w::kHdrLen);
  const WORD code = w::get_le16(report.data() + w::kHdrFc);
  const bool answer = op == CANFD_OP_DONE || op == CANFD_OP_FAIL;
  const bool frames = op == CANFD_OP_LARGE &&
                      (code == w::fc::frames_from(1) || code == w::fc::frames_from(2)) &&
                      static_cast<size_t>(len) + CANFD_HEADER_SIZE <= n;
  const BYTE port = code == w::fc::frames_from(1) ? 1 : 2;

  // The response slot.
  const bool taken = answer && !arrived_before && rec->m_byNormalPktArrive == 1;
  if (taken) {
    FUZZ_CHECK(answers_before.waiting && core::answers(answers_before.current, report.data()));
    FUZZ_CHECK(rec->m_byNormalPktArrive == 1);
    size_t copy = static_cast<size_t>(len) + CANFD_HEADER_SIZE;
    if (copy > sizeof rec->BUFF_RX_NormPkt) copy = sizeof rec->BUFF_RX_NormPkt;
    FUZZ_CHECK(std::memcmp(rec->BUFF_RX_NormPkt, report.data(), copy) == 0);
    FUZZ_CHECK(std::memcmp(rec->BUFF_RX_NormPkt + copy, slot_fill(),
                           sizeof rec->BUFF_RX_NormPkt - copy) == 0);
  } else {
    FUZZ_CHECK(rec->m_byNormalPktArrive == (arrived_before ? 1 : 0));
    FUZZ_CHECK(std::memcmp(rec->BUFF_RX_NormPkt, slot_fill(), sizeof rec->BUFF_RX_NormPkt) == 0);
    FUZZ_CHECK(a.waiting == answers_before.waiting);
    // Answers may retire owed requests; nothing else touches them.
    if (!answer) FUZZ_CHECK(a.owed_count == answers_before.owed_count);
  }

  // The rings and streams.
  for (BYTE p = 1; p <= 2; ++p) {
    const core::Ring ring = core::rx_ring(rec, p);
    const core::RxStream &s = core::port_of(d, p).rx;
    const PortBefore &b = before[p - 1];
    FUZZ_CHECK(*ring.count <= ring.capacity && *ring.start == b.start);
    FUZZ_CHECK(*ring.end == (*ring.start + *ring.count) % ring.size);
    const bool signalled = take_signal(d, p);
    if (!frames || p != port) {
      FUZZ_CHECK(*ring.count == b.count && s.partial_len == b.partial.size());
      FUZZ_CHECK(s.dropped == b.dropped && s.discard_partial == b.discard && !signalled);
      continue;
    }
    // Every byte of the stream is accounted for.
    const DWORD added = *ring.count - b.count;
    const DWORD records = static_cast<DWORD>(b.partial.size() + len) / kRecord;
    const DWORD discarded = b.discard && b.partial.size() + len >= kRecord ? 1 : 0;
    FUZZ_CHECK(added % kRecord == 0);
    FUZZ_CHECK(added / kRecord + (s.dropped - b.dropped) + discarded == records);
    FUZZ_CHECK(s.partial_len == (b.partial.size() + len) % kRecord);
    FUZZ_CHECK(signalled == (added > 0));
    // The records stored are records of the stream, in order.
    std::vector<BYTE> stream(b.partial);
    stream.insert(stream.end(), report.begin() + CANFD_HEADER_SIZE,
                  report.begin() + CANFD_HEADER_SIZE + len);
    DWORD next = 0;
    const int64_t to_realtime = core::realtime_offset_us();
    for (DWORD k = 0; k < added / kRecord; ++k) {
      BYTE got[kRecord];
      for (DWORD i = 0; i < kRecord; ++i)
        got[i] = ring.storage[(b.start + b.count + k * kRecord + i) % ring.size];
      // Its host time, in its slot: the adapter's clock mapped as learnt
      // from this report, in wall-clock time. (The library's rings hold
      // whole records from slot 0 on; a ring that starts elsewhere, as some
      // inputs make it, has no slots to tell.)
      const DWORD end = (b.start + b.count) % ring.size;
      if (b.start % kRecord == 0 && ring.size % kRecord == 0) {
        const DWORD slot = (end / kRecord + k) % core::kRxSlots;
        const int64_t adapter = static_cast<int64_t>(w::get_le32(got + w::kRecSecond)) * 1000000 +
                                w::get_le32(got + w::kRecUsecond);
        const int64_t want = core::clock_map(d.clock, adapter) + to_realtime;
        const int64_t host = core::port_of(d, p).host_us[slot];
        FUZZ_CHECK(host - want < 10000 && want - host < 10000);
      }
      while (next < records && std::memcmp(got, stream.data() + next * kRecord, kRecord) != 0)
        ++next;
      FUZZ_CHECK(next < records);
      ++next;
    }
    if (s.newest_us >= 0) FUZZ_CHECK(d.clock.started);
  }
  return 0;
}
