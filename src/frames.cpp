// Frames: sending through the transmit ring and queue, and taking received
// frames from the receive rings, where the receive worker files whole
// records of each port's stream.
#include <cstring>

#include "internal.h"

namespace canfd::core {

namespace w = wire;

bool rx_store(PKALVEN_CANFD_CAN_Buf_St rec, BYTE port, RxStream &s, const BYTE *data, DWORD len) {
  constexpr DWORD kRecord = w::kRxRecordSize;
  bool stored = false;
  DWORD off = 0;
  if (s.partial_len > 0) {
    off = kRecord - s.partial_len < len ? kRecord - s.partial_len : len;
    std::memcpy(s.partial + s.partial_len, data, off);
    s.partial_len += off;
    if (s.partial_len == kRecord) {
      s.partial_len = 0;
      if (s.discard_partial)
        s.discard_partial = false;
      else if (CANRxBufWriteN(rec, port, s.partial, kRecord) > 0)
        stored = true;
      else
        ++s.dropped;
    }
  }
  const DWORD whole = (len - off) / kRecord * kRecord;
  if (whole > 0) {
    // All the packet's whole records, or none of them.
    if (CANRxBufWriteN(rec, port, const_cast<BYTE *>(data + off), whole) > 0)
      stored = true;
    else
      s.dropped += whole / kRecord;
    off += whole;
  }
  if (off < len) {
    std::memcpy(s.partial, data + off, len - off);
    s.partial_len = len - off;
  }
  return stored;
}

void rx_clear(PKALVEN_CANFD_CAN_Buf_St rec, BYTE port, RxStream &s) {
  CANRxBufClear(rec, port);
  if (s.partial_len > 0) s.discard_partial = true;
}

int pack_frames(BYTE port, const BYTE *records, DWORD len, BYTE *packet) {
  return PackLargeDataPacket(w::fc::frames_to(port), static_cast<WORD>(len),
                             const_cast<BYTE *>(records), packet);
}

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

const BYTE CANFD_DLC2DBN[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

int CANFD_SetCANTxMsg(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode, DWORD i_dwID, BYTE i_byRTR,
                      BYTE i_byFDF, BYTE i_byDlen, BYTE *i_byData) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  if (is_gone(*use.dev)) return CANFD_ERR_DEVICE_GONE;
  BYTE record[w::kTxRecordSize];
  w::encode_tx_record({i_byMode, i_dwID, i_byRTR, i_byFDF, i_byDlen, i_byData}, w::TxKind::Normal,
                      record);
  PKALVEN_CANFD_CAN_Buf_St rec = use.dev->rec;
  int rc = 0;
  BYTE packet[CANFD_PACKET_MAX];
  int packet_len = 0;
  {
    Lock lock(tx_mutex(rec, i_byCANPort));
    if (CANTxBufWriteN(rec, i_byCANPort, record, sizeof record) < 0) rc = CANFD_ERR_TX_BUF_FULL;
    DWORD count = 0;
    CANTxBufDataCount(rec, i_byCANPort, &count);
    if (count != 0) {
      BYTE payload[w::kTxRecordsPerPacket * w::kTxRecordSize];
      const DWORD n = count < sizeof payload ? count : sizeof payload;
      CANTxBufReadN(rec, i_byCANPort, payload, n);
      packet_len = pack_frames(i_byCANPort, payload, n, packet);
    }
  }
  int write_rc = 0;
  if (packet_len != 0) write_rc = USBDEV_Write(hidnum, packet, static_cast<DWORD>(packet_len));
  // A closing or unplugged device took nothing.
  if (write_rc == CANFD_ERR_DEVICE_GONE || write_rc == CANFD_ERR_DEVICE_NOT_OPEN) return write_rc;
  const int last = USBDEV_GetLastError(hidnum);
  if (last != 0) return last;
  // A packet the queue refused is lost: never report its frame as sent.
  if (write_rc == CANFD_ERR_TX_QUEUE_FULL) return write_rc;
  return rc;
}

int CANFD_ClearCANTxBuf(WORD hidnum, BYTE i_byCANPort) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  Lock lock(tx_mutex(use.dev->rec, i_byCANPort));
  return CANTxBufClear(use.dev->rec, i_byCANPort);
}

int CANFD_GetCANRxMsgCount(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCount) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  DWORD bytes = 0;
  {
    Lock lock(rx_mutex(use.dev->rec, i_byCANPort));
    CANRxBufDataCount(use.dev->rec, i_byCANPort, &bytes);
  }
  // Frames received before an unplug can still be taken; then it is told.
  if (bytes < w::kRxRecordSize && is_gone(*use.dev)) return CANFD_ERR_DEVICE_GONE;
  *o_dwCount = bytes / w::kRxRecordSize;
  return 0;
}

int CANFD_GetCANRxMsg(WORD hidnum, BYTE i_byCANPort, BYTE *o_byType, BYTE *o_byMode, DWORD *o_dwID,
                      BYTE *o_byRTR, BYTE *o_byFDF, BYTE *o_byDlen, BYTE *o_byData,
                      DWORD *o_dw_TimeStamp_s, DWORD *o_dw_TimeStamp_us) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  BYTE record[w::kRxRecordSize];
  int taken;
  {
    Lock lock(rx_mutex(use.dev->rec, i_byCANPort));
    taken = CANRxBufReadN(use.dev->rec, i_byCANPort, record, sizeof record);
  }
  if (taken != 0) return is_gone(*use.dev) ? CANFD_ERR_DEVICE_GONE : CANFD_ERR_RX_BUF_EMPTY;
  const w::RxFields f = w::decode_rx_record(record);
  *o_byType = f.type;
  *o_byMode = f.mode;
  *o_dwID = f.id;
  *o_byRTR = f.rtr;
  *o_byFDF = f.fdf;
  *o_byDlen = f.dlc;
  *o_dw_TimeStamp_s = f.second;
  *o_dw_TimeStamp_us = f.usecond;
  if (f.size != 0) std::memcpy(o_byData, record + w::kRecData, f.size);
  return 0;
}

int CANFD_ClearCANRxBuf(WORD hidnum, BYTE i_byCANPort) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  Device &d = *use.dev;
  Lock lock(rx_mutex(d.rec, i_byCANPort));
  rx_clear(d.rec, i_byCANPort, d.rx[i_byCANPort - 1]);
  return 0;
}

int CANFD_WaitCANRxMsg(WORD hidnum, BYTE i_byCANPort, DWORD i_dwTimeoutMs) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  Device &d = *use.dev;
  const int64_t deadline = deadline_after_ms(i_dwTimeoutMs);
  pthread_mutex_t *m = rx_mutex(d.rec, i_byCANPort);
  Lock lock(m);
  for (bool waited = false;; waited = true) {
    if (is_closing(d)) return CANFD_ERR_DEVICE_NOT_OPEN;
    DWORD bytes = 0;
    CANRxBufDataCount(d.rec, i_byCANPort, &bytes);
    if (bytes >= w::kRxRecordSize) return 0;
    if (is_gone(d)) return CANFD_ERR_DEVICE_GONE;
    if (waited && now_ns() >= deadline) return CANFD_ERR_RX_BUF_EMPTY;
    wait_until(&d.rx_cond[i_byCANPort - 1], m, deadline);
  }
}
}  // extern "C"
