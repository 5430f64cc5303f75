// Fuzz target: any sequence of ring stores, takes, counts and clears gives the
// same results and bytes as a plain byte queue with the ring's capacity.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "canfd_comm.h"

namespace {

struct Model {
  std::deque<uint8_t> bytes;
  size_t capacity;
};

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "ring mismatch: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static auto *rec =
      static_cast<PKALVEN_CANFD_CAN_Buf_St>(calloc(1, sizeof(KALVEN_CANFD_CAN_Buf_St)));
  CANBufStructInit(rec);
  Model models[4] = {{{}, CANFD_RX_RING_CAPACITY},
                     {{}, CANFD_RX_RING_CAPACITY},
                     {{}, CANFD_TX_RING_CAPACITY},
                     {{}, CANFD_TX_RING_CAPACITY}};
  // Start the rings anywhere, so that wrap-around is reached quickly.
  size_t pos = 0;
  auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
  const DWORD rx_start = (next() << 16 | next() << 8 | next()) % CANFD_RX_RING_SIZE;
  const DWORD tx_start = (next() << 8 | next()) % CANFD_TX_RING_SIZE;
  rec->BUFF_RX_Larg_C1_Start = rec->BUFF_RX_Larg_C1_End = rx_start;
  rec->BUFF_RX_Larg_C2_Start = rec->BUFF_RX_Larg_C2_End = CANFD_RX_RING_SIZE - 1 - rx_start;
  rec->BUFF_TX_Larg_C1_Start = rec->BUFF_TX_Larg_C1_End = tx_start;
  rec->BUFF_TX_Larg_C2_Start = rec->BUFF_TX_Larg_C2_End = CANFD_TX_RING_SIZE - 1 - tx_start;
  std::vector<uint8_t> buf(CANFD_RX_RING_SIZE + 16);
  uint8_t counter = 0;
  while (pos < size) {
    const uint8_t op = next();
    const bool tx = op & 0x10;
    const uint8_t raw_port = (op >> 5) & 3;  // 0 and 3 are invalid ports
    const BYTE port = raw_port;
    const bool valid = port == 1 || port == 2;
    Model *m = valid ? &models[(tx ? 2 : 0) + port - 1] : nullptr;
    // Lengths: small, record sized, or large.
    DWORD len = next();
    switch (next() & 3) {
      case 1:
        len *= 80;
        break;
      case 2:
        len = (len << 8 | next()) * 7;
        break;
      default:
        break;
    }
    if (len > buf.size()) len = static_cast<DWORD>(buf.size());
    int rc = 0;
    switch (op & 0x7) {
      case 0:
      case 1: {  // store
        for (DWORD i = 0; i < len; ++i) buf[i] = counter++;
        rc = tx ? CANTxBufWriteN(rec, port, buf.data(), len)
                : CANRxBufWriteN(rec, port, buf.data(), len);
        int expect = -1;
        if (m && len != 0 && m->capacity - m->bytes.size() >= len) {
          m->bytes.insert(m->bytes.end(), buf.begin(), buf.begin() + len);
          expect = static_cast<int>(len);
        }
        if (rc != expect) fail("store result");
        break;
      }
      case 2:
      case 3: {  // take
        std::memset(buf.data(), 0xA5, len);
        rc = tx ? CANTxBufReadN(rec, port, buf.data(), len)
                : CANRxBufReadN(rec, port, buf.data(), len);
        int expect = -1;
        if (m && m->bytes.size() >= len) {
          for (DWORD i = 0; i < len; ++i) {
            if (buf[i] != m->bytes.front()) fail("taken bytes");
            m->bytes.pop_front();
          }
          expect = 0;
        }
        if (rc != expect) fail("take result");
        break;
      }
      case 4: {  // count
        DWORD n = 0xFFFFFFFF;
        rc = tx ? CANTxBufDataCount(rec, port, &n) : CANRxBufDataCount(rec, port, &n);
        if (rc != (m ? 0 : -1) || (m && n != m->bytes.size())) fail("count");
        break;
      }
      case 5: {  // full / empty
        const int full = tx ? CANTxBufIsFull(rec, port) : CANRxBufIsFull(rec, port);
        const int empty = tx ? CANTxBufIsEmpty(rec, port) : CANRxBufIsEmpty(rec, port);
        if (!m && (full != -1 || empty != -1)) fail("invalid port");
        if (m && (full != (m->bytes.size() == m->capacity) || empty != m->bytes.empty()))
          fail("full or empty");
        break;
      }
      case 6: {  // clear
        rc = tx ? CANTxBufClear(rec, port) : CANRxBufClear(rec, port);
        if (rc != (m ? 0 : -1)) fail("clear result");
        if (m) m->bytes.clear();
        break;
      }
      default:
        break;
    }
  }
  // Invariants of all four rings.
  const DWORD *pos_of[4][3] = {
      {&rec->BUFF_RX_Larg_C1_Start, &rec->BUFF_RX_Larg_C1_End, &rec->BUFF_RX_Larg_C1_Count},
      {&rec->BUFF_RX_Larg_C2_Start, &rec->BUFF_RX_Larg_C2_End, &rec->BUFF_RX_Larg_C2_Count},
      {&rec->BUFF_TX_Larg_C1_Start, &rec->BUFF_TX_Larg_C1_End, &rec->BUFF_TX_Larg_C1_Count},
      {&rec->BUFF_TX_Larg_C2_Start, &rec->BUFF_TX_Larg_C2_End, &rec->BUFF_TX_Larg_C2_Count}};
  for (int r = 0; r < 4; ++r) {
    const DWORD ring_size = r < 2 ? CANFD_RX_RING_SIZE : CANFD_TX_RING_SIZE;
    if (*pos_of[r][2] != models[r].bytes.size() || *pos_of[r][2] > models[r].capacity)
      fail("count invariant");
    if (*pos_of[r][1] != (*pos_of[r][0] + *pos_of[r][2]) % ring_size) fail("end invariant");
  }
  pthread_mutex_destroy(&rec->mutex_USBDevTx);
  pthread_mutex_destroy(&rec->mutex_CANRx_P1);
  pthread_mutex_destroy(&rec->mutex_CANRx_P2);
  pthread_mutex_destroy(&rec->mutex_CANTx_P1);
  pthread_mutex_destroy(&rec->mutex_CANTx_P2);
  pthread_mutex_destroy(&rec->mutex_NormPkt);
  return 0;
}
