// Frame rings: the byte ring, the four rings of a device record (receive and
// transmit of each port) and the record's initialisation. None of the ring
// functions locks: the caller holds the ring's mutex.
#include <cstring>

#include "internal.h"

extern "C" {
DWORD CAN1RxBufCnt = 0;
DWORD CAN2RxBufCnt = 0;
DWORD CAN1TxBufCnt = 0;
DWORD CAN2TxBufCnt = 0;
}

namespace canfd::core {

Ring rx_ring(PKALVEN_CANFD_CAN_Buf_St d, BYTE port) {
  if (port == 1)
    return {d->BUFF_RX_LargPkt_C1,     CANFD_RX_RING_SIZE,      CANFD_RX_RING_CAPACITY,
            &d->BUFF_RX_Larg_C1_Start, &d->BUFF_RX_Larg_C1_End, &d->BUFF_RX_Larg_C1_Count};
  return {d->BUFF_RX_LargPkt_C2,     CANFD_RX_RING_SIZE,      CANFD_RX_RING_CAPACITY,
          &d->BUFF_RX_Larg_C2_Start, &d->BUFF_RX_Larg_C2_End, &d->BUFF_RX_Larg_C2_Count};
}

Ring tx_ring(PKALVEN_CANFD_CAN_Buf_St d, BYTE port) {
  if (port == 1)
    return {d->BUFF_TX_LargPkt_C1,     CANFD_TX_RING_SIZE,      CANFD_TX_RING_CAPACITY,
            &d->BUFF_TX_Larg_C1_Start, &d->BUFF_TX_Larg_C1_End, &d->BUFF_TX_Larg_C1_Count};
  return {d->BUFF_TX_LargPkt_C2,     CANFD_TX_RING_SIZE,      CANFD_TX_RING_CAPACITY,
          &d->BUFF_TX_Larg_C2_Start, &d->BUFF_TX_Larg_C2_End, &d->BUFF_TX_Larg_C2_Count};
}

void ring_clear(const Ring &r) {
  *r.count = 0;
  *r.end = 0;
  *r.start = 0;
}

// The held bytes run from start to end, wrapping at the end of the storage;
// a copy that crosses it goes in two parts.
int ring_write(const Ring &r, const BYTE *src, DWORD len) {
  if (r.capacity - *r.count < len || len == 0) return -1;
  const DWORD end = *r.end;
  const DWORD first = len < r.size - end ? len : r.size - end;
  std::memcpy(r.storage + end, src, first);
  if (first < len) std::memcpy(r.storage, src + first, len - first);
  *r.end = (end + len) % r.size;
  *r.count += len;
  return static_cast<int>(len);
}

int ring_read(const Ring &r, BYTE *dst, DWORD len) {
  if (*r.count < len) return -1;
  if (len == 0) return 0;  // touches neither buffer
  const DWORD start = *r.start;
  const DWORD first = len < r.size - start ? len : r.size - start;
  std::memcpy(dst, r.storage + start, first);
  if (first < len) std::memcpy(dst + first, r.storage, len - first);
  *r.start = (start + len) % r.size;
  *r.count -= len;
  return 0;
}

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

void CANBufStructInit(PKALVEN_CANFD_CAN_Buf_St pCAN_FD) {
  __atomic_store_n(&pCAN_FD->IsDeviceOpen, 1, __ATOMIC_RELEASE);
  pCAN_FD->TxCnt = 0;
  pCAN_FD->TxOut = 0;
  pCAN_FD->TxIn = 0;
  std::memset(pCAN_FD->TxBuf, 0, sizeof(pCAN_FD->TxBuf));
  pthread_mutex_init(&pCAN_FD->mutex_USBDevTx, nullptr);
  pthread_mutex_init(&pCAN_FD->mutex_CANRx_P1, nullptr);
  pthread_mutex_init(&pCAN_FD->mutex_CANRx_P2, nullptr);
  pthread_mutex_init(&pCAN_FD->mutex_CANTx_P1, nullptr);
  pthread_mutex_init(&pCAN_FD->mutex_CANTx_P2, nullptr);
  pthread_mutex_init(&pCAN_FD->mutex_NormPkt, nullptr);
  __atomic_store_n(&pCAN_FD->m_byNormalPktArrive, 0, __ATOMIC_RELEASE);
  pCAN_FD->BUFF_RX_Larg_C1_Start = pCAN_FD->BUFF_RX_Larg_C1_End = pCAN_FD->BUFF_RX_Larg_C1_Count =
      0;
  pCAN_FD->BUFF_RX_Larg_C2_Start = pCAN_FD->BUFF_RX_Larg_C2_End = pCAN_FD->BUFF_RX_Larg_C2_Count =
      0;
  pCAN_FD->BUFF_TX_Larg_C1_Start = pCAN_FD->BUFF_TX_Larg_C1_End = pCAN_FD->BUFF_TX_Larg_C1_Count =
      0;
  pCAN_FD->BUFF_TX_Larg_C2_Start = pCAN_FD->BUFF_TX_Larg_C2_End = pCAN_FD->BUFF_TX_Larg_C2_Count =
      0;
}

int CANRxBufIsFull(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort) {
  if (!valid_port(i_byCANPort)) return -1;
  const Ring r = rx_ring(pCAN_FD, i_byCANPort);
  return *r.count == r.capacity ? 1 : 0;
}
int CANTxBufIsFull(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort) {
  if (!valid_port(i_byCANPort)) return -1;
  const Ring r = tx_ring(pCAN_FD, i_byCANPort);
  return *r.count == r.capacity ? 1 : 0;
}
int CANRxBufIsEmpty(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort) {
  if (!valid_port(i_byCANPort)) return -1;
  return *rx_ring(pCAN_FD, i_byCANPort).count == 0 ? 1 : 0;
}
int CANTxBufIsEmpty(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort) {
  if (!valid_port(i_byCANPort)) return -1;
  return *tx_ring(pCAN_FD, i_byCANPort).count == 0 ? 1 : 0;
}
int CANRxBufClear(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort) {
  if (!valid_port(i_byCANPort)) return -1;
  ring_clear(rx_ring(pCAN_FD, i_byCANPort));
  return 0;
}
int CANTxBufClear(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort) {
  if (!valid_port(i_byCANPort)) return -1;
  ring_clear(tx_ring(pCAN_FD, i_byCANPort));
  return 0;
}
int CANRxBufDataCount(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, DWORD *o_dwCount) {
  if (!valid_port(i_byCANPort)) return -1;
  *o_dwCount = *rx_ring(pCAN_FD, i_byCANPort).count;
  return 0;
}
int CANTxBufDataCount(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, DWORD *o_dwCount) {
  if (!valid_port(i_byCANPort)) return -1;
  *o_dwCount = *tx_ring(pCAN_FD, i_byCANPort).count;
  return 0;
}
int CANRxBufWriteN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                   DWORD i_dwLen) {
  if (!valid_port(i_byCANPort)) return -1;
  return ring_write(rx_ring(pCAN_FD, i_byCANPort), i_byElem, i_dwLen);
}
int CANTxBufWriteN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                   DWORD i_dwLen) {
  if (!valid_port(i_byCANPort)) return -1;
  return ring_write(tx_ring(pCAN_FD, i_byCANPort), i_byElem, i_dwLen);
}
int CANRxBufReadN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                  DWORD i_dwLen) {
  if (!valid_port(i_byCANPort)) return -1;
  return ring_read(rx_ring(pCAN_FD, i_byCANPort), i_byElem, i_dwLen);
}
int CANTxBufReadN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                  DWORD i_dwLen) {
  if (!valid_port(i_byCANPort)) return -1;
  return ring_read(tx_ring(pCAN_FD, i_byCANPort), i_byElem, i_dwLen);
}

}  // extern "C"
