// Frames: sending through the transmit ring and queue, and taking received
// frames from the receive rings, where the receive worker files whole
// records of each port's stream.
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "internal.h"

namespace canfd::core {

namespace w = wire;

namespace {

int64_t stamp_us(const BYTE *record) {
  return static_cast<int64_t>(w::get_le32(record + w::kRecSecond)) * 1000000 +
         w::get_le32(record + w::kRecUsecond);
}

}  // namespace

bool rx_store(const Ring &ring, RxStream &s, const BYTE *data, DWORD len) {
  constexpr DWORD kRecord = w::kRxRecordSize;
  bool stored = false;
  DWORD off = 0;
  s.newest_us = -1;
  if (s.partial_len > 0) {
    off = kRecord - s.partial_len < len ? kRecord - s.partial_len : len;
    std::memcpy(s.partial + s.partial_len, data, off);
    s.partial_len += off;
    if (s.partial_len == kRecord) {
      s.partial_len = 0;
      s.newest_us = stamp_us(s.partial);
      if (s.discard_partial)
        s.discard_partial = false;
      else if (ring_write(ring, s.partial, kRecord) > 0)
        stored = true;
      else
        ++s.dropped;
    }
  }
  const DWORD whole = (len - off) / kRecord * kRecord;
  if (whole > 0) {
    // All the packet's whole records, or none of them.
    if (ring_write(ring, data + off, whole) > 0)
      stored = true;
    else
      s.dropped += whole / kRecord;
    off += whole;
    s.newest_us = stamp_us(data + off - kRecord);
  }
  if (off < len) {
    std::memcpy(s.partial, data + off, len - off);
    s.partial_len = len - off;
  }
  return stored;
}

void rx_clear(const Ring &ring, RxStream &s) {
  ring_clear(ring);
  if (s.partial_len > 0) s.discard_partial = true;
}

void rx_signal(Port &p) {
  // Written once per batch of records, whatever the flag says: a user who
  // read the descriptor himself has emptied it, and the next batch makes it
  // readable again.
  if (!p.fd_given) return;
  const uint64_t one = 1;
  if (write(p.event_fd, &one, sizeof one) == sizeof one) p.signalled = true;
}

bool rx_ready(Device &d, const Port &p) {
  DWORD bytes = 0;
  CANRxBufDataCount(d.rec, p.number, &bytes);
  return bytes >= w::kRxRecordSize || is_gone(d);
}

void rx_taken(Device &d, Port &p) {
  if (!p.signalled || rx_ready(d, p)) return;
  uint64_t count;
  if (read(p.event_fd, &count, sizeof count) < 0) {
    // Emptied already (by the user): it is quiet, as it should be.
  }
  p.signalled = false;
}

void stamp_records(Port &p, const Ring &ring, DWORD first, DWORD n, const HostClock &clock) {
  const int64_t to_realtime = realtime_offset_us();
  for (DWORD k = 0; k < n; ++k) {
    const DWORD slot = (first + k) % kRxSlots;
    p.host_us[slot] = date_record(clock, stamp_us(ring.storage + slot * w::kRxRecordSize),
                                  to_realtime, &p.last_host_us);
  }
}

int pack_frames(BYTE port, const BYTE *records, DWORD len, BYTE *packet) {
  return PackLargeDataPacket(w::fc::frames_to(port), static_cast<WORD>(len),
                             const_cast<BYTE *>(records), packet);
}

BYTE *records_tail(CANFD_Frame_St *frames, DWORD n) {
  return reinterpret_cast<BYTE *>(frames) + n * (sizeof(CANFD_Frame_St) - w::kRxRecordSize);
}

void decode_records(CANFD_Frame_St *frames, DWORD n, const int64_t *host_us) {
  const BYTE *raw = records_tail(frames, n);
  for (DWORD i = 0; i < n; ++i) {
    BYTE record[w::kRxRecordSize];
    std::memcpy(record, raw + i * w::kRxRecordSize, sizeof record);
    CANFD_Frame_St &f = frames[i];
    w::decode_frame(record, f);
    const int64_t host = host_us[i] < 0 ? 0 : host_us[i];
    f.host_second = static_cast<DWORD>(host / 1000000);
    f.host_usecond = static_cast<DWORD>(host % 1000000);
  }
}

BYTE frames_out(const BYTE *packet, size_t len) {
  if (len < CANFD_HEADER_SIZE || packet[w::kHdrOpcode] != CANFD_OP_LARGE) return 0;
  const WORD code = w::get_le16(packet + w::kHdrFc);
  if (code == w::fc::frames_to(1)) return 1;
  return code == w::fc::frames_to(2) ? 2 : 0;
}

int take_tx_packet(const Ring &ring, BYTE port, BYTE *packet) {
  const DWORD count = *ring.count;
  if (count == 0) return 0;
  BYTE payload[w::kTxRecordsPerPacket * w::kTxRecordSize];
  const DWORD n = count < sizeof payload ? count : sizeof payload;
  ring_read(ring, payload, n);
  return pack_frames(port, payload, n, packet);
}

int pack_frame_batch(BYTE port, const CANFD_Frame_St *frames, DWORD n, BYTE *packet) {
  BYTE payload[w::kTxRecordsPerPacket * w::kTxRecordSize];
  for (DWORD k = 0; k < n; ++k) w::encode_frame(frames[k], payload + k * w::kTxRecordSize);
  return pack_frames(port, payload, n * w::kTxRecordSize, packet);
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
  claim_port(*use.dev, i_byCANPort);
  if (is_gone(*use.dev)) return CANFD_ERR_DEVICE_GONE;
  BYTE record[w::kTxRecordSize];
  w::encode_tx_record({i_byMode, i_dwID, i_byRTR, i_byFDF, i_byDlen, i_byData}, w::TxKind::Normal,
                      record);
  PKALVEN_CANFD_CAN_Buf_St rec = use.dev->rec;
  int rc = 0;
  BYTE packet[CANFD_PACKET_MAX];
  int packet_len = 0;
  {
    PlainLock lock(tx_mutex(rec, i_byCANPort));
    const Ring ring = tx_ring(rec, i_byCANPort);
    if (ring_write(ring, record, sizeof record) < 0) rc = CANFD_ERR_TX_BUF_FULL;
    packet_len = take_tx_packet(ring, i_byCANPort, packet);
  }
  int write_rc = 0;
  if (packet_len != 0)
    write_rc = enqueue_now(*use.dev, packet, static_cast<DWORD>(packet_len), true);
  // A closing or unplugged device took nothing; an unplug found by the
  // transmit worker also fails its last writes, and says more than they do.
  if (write_rc == CANFD_ERR_DEVICE_GONE || write_rc == CANFD_ERR_DEVICE_NOT_OPEN) return write_rc;
  // (Read the error first: the worker marks the device gone before it
  // records the failed write.)
  const int last = USBDEV_GetLastError(hidnum);
  if (is_gone(*use.dev)) return CANFD_ERR_DEVICE_GONE;
  if (last != 0) return last;
  // A packet the queue refused is lost: never report its frame as sent.
  if (write_rc == CANFD_ERR_TX_QUEUE_FULL) return write_rc;
  return rc;
}

int CANFD_ClearCANTxBuf(WORD hidnum, BYTE i_byCANPort) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  claim_port(*use.dev, i_byCANPort);
  PlainLock lock(tx_mutex(use.dev->rec, i_byCANPort));
  return CANTxBufClear(use.dev->rec, i_byCANPort);
}

int CANFD_GetCANRxMsgCount(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCount) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  claim_port(*use.dev, i_byCANPort);
  DWORD bytes = 0;
  {
    Lock lock(port_of(*use.dev, i_byCANPort).rx_mu);
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
  claim_port(*use.dev, i_byCANPort);
  BYTE record[w::kRxRecordSize];
  int taken;
  {
    Port &p = port_of(*use.dev, i_byCANPort);
    Lock lock(p.rx_mu);
    taken = CANRxBufReadN(use.dev->rec, i_byCANPort, record, sizeof record);
    rx_taken(*use.dev, p);
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
  claim_port(*use.dev, i_byCANPort);
  Device &d = *use.dev;
  Port &p = port_of(d, i_byCANPort);
  Lock lock(p.rx_mu);
  rx_clear(rx_ring(d.rec, i_byCANPort), p.rx);
  rx_taken(d, p);
  return 0;
}

int CANFD_WaitCANRxMsg(WORD hidnum, BYTE i_byCANPort, DWORD i_dwTimeoutMs) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  claim_port(*use.dev, i_byCANPort);
  Device &d = *use.dev;
  const int64_t deadline = deadline_after_ms(i_dwTimeoutMs);
  Port &p = port_of(d, i_byCANPort);
  Lock lock(p.rx_mu);
  for (bool waited = false;; waited = true) {
    if (is_closing(d)) return CANFD_ERR_DEVICE_NOT_OPEN;
    DWORD bytes = 0;
    CANRxBufDataCount(d.rec, i_byCANPort, &bytes);
    if (bytes >= w::kRxRecordSize) return 0;
    if (is_gone(d)) return CANFD_ERR_DEVICE_GONE;
    if (waited && now_ns() >= deadline) return CANFD_ERR_RX_BUF_EMPTY;
    wait_until(&p.rx_cond, p.rx_mu, deadline);
  }
}

// ---- Frame interface ----------------------------------------------------------

int CANFD_SendCANFrames(WORD hidnum, BYTE i_byCANPort, const CANFD_Frame_St *i_pFrames,
                        DWORD i_dwCount, DWORD i_dwTimeoutMs, DWORD *o_dwSent) {
  DWORD sent = 0;
  if (o_dwSent != nullptr) *o_dwSent = 0;
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  claim_port(*use.dev, i_byCANPort);
  for (DWORD i = 0; i < i_dwCount; ++i)
    if (!w::frame_valid(i_pFrames[i])) return CANFD_ERR_INVALID_PARAM;
  Device &d = *use.dev;
  if (is_gone(d)) return CANFD_ERR_DEVICE_GONE;
  const int64_t deadline = deadline_after_ms(i_dwTimeoutMs);
  int rc = 0;
  while (sent < i_dwCount) {
    const DWORD n =
        i_dwCount - sent < w::kTxRecordsPerPacket ? i_dwCount - sent : w::kTxRecordsPerPacket;
    BYTE packet[CANFD_PACKET_MAX];
    const int len = pack_frame_batch(i_byCANPort, i_pFrames + sent, n, packet);
    rc = enqueue_report(d, packet, static_cast<DWORD>(len), deadline, true);
    if (rc != 0) break;
    sent += n;
    if (o_dwSent != nullptr) *o_dwSent = sent;
  }
  return rc;
}

int CANFD_ReceiveCANFrames(WORD hidnum, BYTE i_byCANPort, CANFD_Frame_St *o_pFrames, DWORD i_dwMax,
                           DWORD i_dwTimeoutMs, DWORD *o_dwCount) {
  if (o_dwCount != nullptr) *o_dwCount = 0;
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  claim_port(*use.dev, i_byCANPort);
  if (i_dwMax == 0) return 0;
  Device &d = *use.dev;
  const int64_t deadline = deadline_after_ms(i_dwTimeoutMs);
  Port &p = port_of(d, i_byCANPort);
  const Ring ring = rx_ring(d.rec, i_byCANPort);
  // Frames are taken in chunks, each copied out under the lock with the host
  // times of its records and decoded outside it; only the first waits.
  constexpr DWORD kChunk = 256;
  int64_t host_us[kChunk];
  DWORD taken = 0;
  while (taken < i_dwMax) {
    CANFD_Frame_St *frames = o_pFrames + taken;
    DWORD n;
    {
      Lock lock(p.rx_mu);
      for (bool waited = false; taken == 0; waited = true) {
        if (is_closing(d)) return CANFD_ERR_DEVICE_NOT_OPEN;
        if (*ring.count >= w::kRxRecordSize) break;
        if (is_gone(d)) return CANFD_ERR_DEVICE_GONE;
        if (waited && now_ns() >= deadline) return CANFD_ERR_RX_BUF_EMPTY;
        wait_until(&p.rx_cond, p.rx_mu, deadline);
      }
      n = *ring.count / w::kRxRecordSize;
      if (n > i_dwMax - taken) n = i_dwMax - taken;
      if (n > kChunk) n = kChunk;
      const DWORD first = *ring.start / w::kRxRecordSize;
      for (DWORD k = 0; k < n; ++k) host_us[k] = p.host_us[(first + k) % kRxSlots];
      ring_read(ring, records_tail(frames, n), n * w::kRxRecordSize);
      rx_taken(d, p);
    }
    if (n == 0) break;
    decode_records(frames, n, host_us);
    taken += n;
    if (o_dwCount != nullptr) *o_dwCount = taken;
    if (n < kChunk) break;
  }
  return 0;
}

int CANFD_GetCANRxEventFd(WORD hidnum, BYTE i_byCANPort, int *o_iFd) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  claim_port(*use.dev, i_byCANPort);
  Device &d = *use.dev;
  Port &p = port_of(d, i_byCANPort);
  Lock lock(p.rx_mu);
  if (!p.fd_given) {
    p.fd_given = true;
    // Records that arrived before the descriptor was asked for.
    if (rx_ready(d, p)) rx_signal(p);
  }
  *o_iFd = p.event_fd;
  return 0;
}

int CANFD_GetCANFrameCounts(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwRxDropped,
                            DWORD *o_dwTxRefused, BYTE i_byClear) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  Port &p = port_of(*use.dev, i_byCANPort);
  DWORD dropped;
  {
    Lock lock(p.rx_mu);
    dropped = p.rx.dropped;
    if (i_byClear) p.rx.dropped = 0;
  }
  const DWORD tx = i_byClear ? p.tx_refused.exchange(0) : p.tx_refused.load();
  if (o_dwRxDropped != nullptr) *o_dwRxDropped = dropped;
  if (o_dwTxRefused != nullptr) *o_dwTxRefused = tx;
  return 0;
}

}  // extern "C"
