// Fuzz target: the byte ring. A small ring (size, capacity and starting
// position from the input, so that every run wraps around) and one ring of
// a device record, through the exported ring functions, take the same
// stores, takes and clears; each must give the results and bytes of a plain
// byte queue with its capacity, and keep its positions consistent. The
// exported functions refuse other ports than 1 and 2 and change nothing.
#include <vector>

#include "fuzz.h"
#include "internal.h"

namespace {

namespace core = canfd::core;
using canfd_fuzz::Input;

// The bytes stored are a function of their position in all that was ever
// stored (with a period far beyond any length or offset used here), so that
// a queue is a range of positions: bytes next - count to next - 1.
constexpr uint32_t kPeriod = 1u << 16;
constexpr DWORD kMaxLen = 1023;

const BYTE *bytes_at(uint32_t index) {
  static const std::vector<BYTE> pattern = [] {
    std::vector<BYTE> p(kPeriod + kMaxLen);
    for (uint32_t i = 0; i < p.size(); ++i)
      p[i] = static_cast<BYTE>(((i % kPeriod) * 2654435761u) >> 24);
    return p;
  }();
  return pattern.data() + index % kPeriod;
}

struct Positions {
  DWORD start = 0, end = 0, count = 0;
};

struct Queue {
  DWORD capacity;
  uint32_t count = 0;
  uint32_t next = 0;
};

void check_positions(const core::Ring &r, const Queue &q) {
  FUZZ_CHECK(*r.count == q.count);
  FUZZ_CHECK(*r.count <= r.capacity);
  FUZZ_CHECK(*r.start < r.size);
  FUZZ_CHECK(*r.end == (*r.start + *r.count) % r.size);
}

// A store and a take through either interface, against the queue.
canfd_fuzz::Exact<kMaxLen> buffer;

template <class Write>
void store(Queue &q, DWORD len, Write write) {
  BYTE *in = buffer.open(len);
  std::memcpy(in, bytes_at(q.next), len);
  const bool fits = len != 0 && q.count + len <= q.capacity;
  FUZZ_CHECK(write(in, len) == (fits ? static_cast<int>(len) : -1));
  if (!fits) return;
  q.count += len;
  q.next += len;
}

template <class Read>
void take(Queue &q, DWORD len, Read read) {
  // Exactly len bytes: a longer copy is caught.
  BYTE *out = buffer.open(len);
  const bool enough = q.count >= len;
  FUZZ_CHECK(read(out, len) == (enough ? 0 : -1));
  if (!enough) return;
  FUZZ_CHECK(std::memcmp(out, bytes_at(q.next - q.count), len) == 0);
  q.count -= len;
}

PKALVEN_CANFD_CAN_Buf_St device_record() {
  static auto *rec = [] {
    auto *r = static_cast<PKALVEN_CANFD_CAN_Buf_St>(calloc(1, sizeof(KALVEN_CANFD_CAN_Buf_St)));
    CANBufStructInit(r);
    return r;
  }();
  return rec;
}

// The exported functions on one of the record's rings.
struct Exported {
  PKALVEN_CANFD_CAN_Buf_St rec;
  bool tx;
  BYTE port;
  int write(BYTE *p, DWORD n) const {
    return tx ? CANTxBufWriteN(rec, port, p, n) : CANRxBufWriteN(rec, port, p, n);
  }
  int read(BYTE *p, DWORD n) const {
    return tx ? CANTxBufReadN(rec, port, p, n) : CANRxBufReadN(rec, port, p, n);
  }
  int count(DWORD *n) const {
    return tx ? CANTxBufDataCount(rec, port, n) : CANRxBufDataCount(rec, port, n);
  }
  int full() const { return tx ? CANTxBufIsFull(rec, port) : CANRxBufIsFull(rec, port); }
  int empty() const { return tx ? CANTxBufIsEmpty(rec, port) : CANRxBufIsEmpty(rec, port); }
  int clear() const { return tx ? CANTxBufClear(rec, port) : CANRxBufClear(rec, port); }
};

// Other ports: -1 from every function, and nothing changes.
void bad_port(PKALVEN_CANFD_CAN_Buf_St rec, BYTE port) {
  const BYTE before[4] = {rec->BUFF_RX_LargPkt_C1[0], rec->BUFF_RX_LargPkt_C2[0],
                          rec->BUFF_TX_LargPkt_C1[0], rec->BUFF_TX_LargPkt_C2[0]};
  const DWORD counts[4] = {rec->BUFF_RX_Larg_C1_Count, rec->BUFF_RX_Larg_C2_Count,
                           rec->BUFF_TX_Larg_C1_Count, rec->BUFF_TX_Larg_C2_Count};
  BYTE buf[80] = {0};
  DWORD n = 7;
  for (const bool tx : {false, true}) {
    const Exported e{rec, tx, port};
    FUZZ_CHECK(e.write(buf, 80) == -1);
    FUZZ_CHECK(e.read(buf, 0) == -1);
    FUZZ_CHECK(e.count(&n) == -1);
    FUZZ_CHECK(e.full() == -1);
    FUZZ_CHECK(e.empty() == -1);
    FUZZ_CHECK(e.clear() == -1);
  }
  FUZZ_CHECK(n == 7);
  const BYTE after[4] = {rec->BUFF_RX_LargPkt_C1[0], rec->BUFF_RX_LargPkt_C2[0],
                         rec->BUFF_TX_LargPkt_C1[0], rec->BUFF_TX_LargPkt_C2[0]};
  const DWORD counts_after[4] = {rec->BUFF_RX_Larg_C1_Count, rec->BUFF_RX_Larg_C2_Count,
                                 rec->BUFF_TX_Larg_C1_Count, rec->BUFF_TX_Larg_C2_Count};
  FUZZ_CHECK(std::memcmp(before, after, sizeof before) == 0);
  FUZZ_CHECK(std::memcmp(counts, counts_after, sizeof counts) == 0);
}

}  // namespace

// Input: small ring size, capacity and start; which record ring and where it
// starts (near the end of its storage); then operations of three bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  const DWORD ring_size = in.range(1, 400);
  const DWORD capacity = in.range(1, ring_size);
  Positions small_pos;
  small_pos.start = small_pos.end = in.range(0, ring_size - 1);
  // Exactly the ring's storage on the heap: a copy past its end is caught.
  std::vector<BYTE> storage(ring_size);
  const core::Ring small{storage.data(),   ring_size,      capacity,
                         &small_pos.start, &small_pos.end, &small_pos.count};
  Queue small_q{capacity};

  PKALVEN_CANFD_CAN_Buf_St rec = device_record();
  const BYTE which = in.u8();
  const Exported e{rec, (which & 1) != 0, static_cast<BYTE>(1 + (which >> 1 & 1))};
  const core::Ring big = e.tx ? core::tx_ring(rec, e.port) : core::rx_ring(rec, e.port);
  *big.start = *big.end = big.size - 1 - in.range(0, 1023) % big.size;
  *big.count = 0;
  Queue big_q{big.capacity};

  while (!in.empty()) {
    const uint8_t op = in.u8();
    DWORD len = in.u8();
    if (op & 0x80) len = len << 2 | (op & 3);  // longer requests: up to kMaxLen bytes
    switch (op >> 4 & 7) {
      case 0:
      case 1:
        store(small_q, len, [&](BYTE *p, DWORD n) { return core::ring_write(small, p, n); });
        store(big_q, len, [&](BYTE *p, DWORD n) { return e.write(p, n); });
        break;
      case 2:
      case 3:
        take(small_q, len, [&](BYTE *p, DWORD n) { return core::ring_read(small, p, n); });
        take(big_q, len, [&](BYTE *p, DWORD n) { return e.read(p, n); });
        break;
      case 4: {
        DWORD n = 0xFFFFFFFF;
        FUZZ_CHECK(e.count(&n) == 0 && n == big_q.count);
        FUZZ_CHECK(e.full() == (big_q.count == big_q.capacity ? 1 : 0));
        FUZZ_CHECK(e.empty() == (big_q.count == 0 ? 1 : 0));
        break;
      }
      case 5:
        core::ring_clear(small);
        small_q.count = 0;
        FUZZ_CHECK(e.clear() == 0);
        big_q.count = 0;
        break;
      case 6:
        bad_port(rec, (op & 1) ? 3 : (op & 2) ? 255 : 0);
        break;
      default:
        break;
    }
    check_positions(small, small_q);
    check_positions(big, big_q);
  }
  core::ring_clear(big);
  return 0;
}
