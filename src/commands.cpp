// Module, port and filter commands, and hardware periodic sending: each a few
// lines over the one command helper.
#include <unistd.h>

#include "internal.h"

namespace canfd::core {

namespace w = wire;
namespace fc = wire::fc;

constexpr int kStdHalf = w::kStdElementsPerHalf;
constexpr int kExtHalf = w::kExtElementsPerHalf;

namespace {

// Exchanges a command and decodes its answer's payload when it succeeds.
template <class Decode>
int command(WORD hidnum, int port, const Command &c, Decode &&decode) {
  BYTE answer[CANFD_PACKET_MAX];
  const int rc = run_command(hidnum, port, c, answer);
  // A refusal with code 0 returns 0 too, and decodes nothing.
  if (rc == 0 && answer[wire::kHdrOpcode] == CANFD_OP_DONE) decode(answer + CANFD_HEADER_SIZE);
  return rc;
}

auto no_answer = [](const BYTE *) {};

Command read_cmd(BYTE number) { return {CANFD_OP_READ, number, nullptr, 0, 0, false}; }

// A write changes a setting that other programs using the port rely on,
// unless said otherwise (the LEDs).
Command write_cmd(BYTE number, const BYTE *data, WORD len, int after_port = 0,
                  bool setting = true) {
  return {CANFD_OP_WRITE, number, data, len, after_port, setting};
}

// Checks made before a call reads the caller's arrays or frame data: the
// device, then (for the list writes) the list size, then the port.
int pre_checks(WORD hidnum, BYTE port, bool size_ok = true) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!size_ok) return CANFD_ERR_INVALID_FILTER_SIZE;
  return valid_port(port) ? 0 : CANFD_ERR_INVALID_PORT;
}

// The two resets go out as bare 6-byte packets, unanswered: the writer
// writes them ahead of the transmit queue, and the caller waits up to a
// command timeout for it to be done.
int reset(WORD hidnum, WORD code) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  Device &d = *use.dev;
  if (is_gone(d)) return CANFD_ERR_DEVICE_GONE;
  // A reset restarts both ports with their defaults.
  const int in_use = check_setting(d, kModule);
  if (in_use != 0) return in_use;
  BYTE send[CANFD_HEADER_SIZE];
  PackLargeDataPacket(code, 0, nullptr, send);
  Urgent u;
  u.bytes = send;
  u.len = sizeof send;
  u.id = d.urgent_ids.fetch_add(1, std::memory_order_relaxed) + 1;
  const int64_t deadline = deadline_after_ms(kCmdTimeoutMs);
  Lock lock(d.tx_mu);
  if (is_closing(d) || d.stopping.load(std::memory_order_acquire)) return CANFD_ERR_DEVICE_NOT_OPEN;
  queue_urgent(d, u);
  while ((u.state == Urgent::kQueued || u.state == Urgent::kWriting) && !is_gone(d) &&
         !is_closing(d) && wait_until(&d.tx_cond, d.tx_mu, deadline)) {
  }
  unlink_urgent(d, u);
  if (u.state == Urgent::kWritten) return 0;
  return is_gone(d) ? CANFD_ERR_DEVICE_GONE : CANFD_ERR_USB_WRITE;
}

}  // namespace

int answer_result(const BYTE *answer) {
  return answer[w::kHdrOpcode] == CANFD_OP_DONE ? 0 : answer[CANFD_HEADER_SIZE];
}

WORD decode_fw_version(const BYTE *p) { return w::get_le16(p); }
BYTE decode_init_pin(const BYTE *p) { return p[0]; }
WORD decode_rx_fps(const BYTE *p) { return w::get_le16(p); }
BYTE decode_hw_send_mode(const BYTE *p) { return p[0]; }

OpMode decode_op_mode(const BYTE *p) {
  return {w::get_le16(p), w::get_le16(p + 2), w::get_le16(p + 4)};
}

void encode_op_mode(const OpMode &m, BYTE (&out)[w::kOpModeSize]) {
  w::put_le16(out, m.enable);
  w::put_le16(out + 2, m.bus_mode);
  w::put_le16(out + 4, m.iso_mode);
}

PortStatus decode_status(const BYTE *p) {
  return {w::get_le32(p), w::get_le32(p + 4), w::get_le32(p + 8)};
}

BusState decode_bus_state(const BYTE *p) {
  const PortStatus s = decode_status(p);
  return {w::bus_state(s.status), w::tx_errors(s.counters), w::rx_errors(s.counters)};
}

BitRates decode_bit_rates(const BYTE *p) {
  return {w::get_le32(p), w::get_le32(p + 4), w::get_le16(p + 8), w::get_le16(p + 10)};
}

void encode_bit_rates(const BitRates &b, BYTE (&out)[w::kBitRatesSize]) {
  w::put_le32(out, b.arbitration);
  w::put_le32(out + 4, b.data);
  w::put_le16(out + 8, b.arbitration_sp);
  w::put_le16(out + 10, b.data_sp);
}

bool bit_rates_valid(const BitRates &b) {
  return b.arbitration <= b.data && b.arbitration_sp <= 10000;
}

GlobalFilter decode_global_filter(const BYTE *p) {
  const DWORD gfc = w::get_le32(p);
  return {w::gfc_reject_rfs(gfc), w::gfc_reject_rfe(gfc), w::get_le16(p + 4), w::get_le16(p + 6)};
}

void encode_std_filter_half(const WORD *id1, const WORD *id2, WORD size, int half,
                            BYTE (&out)[w::kFilterHalfBytes]) {
  for (int i = 0; i < kStdHalf; ++i) {
    const int k = kStdHalf * half + i;
    w::put_le32(out + 4 * i,
                k < size ? w::pack_std_element(id1[k], id2[k]) : w::pack_std_element(0, 0));
  }
}

void decode_std_filter_half(const BYTE *p, int half, WORD *id1, WORD *id2) {
  for (int i = 0; i < kStdHalf; ++i) {
    const DWORD e = w::get_le32(p + 4 * i);
    id1[kStdHalf * half + i] = w::std_element_id1(e);
    id2[kStdHalf * half + i] = w::std_element_id2(e);
  }
}

void encode_ext_filter_half(const DWORD *id1, const DWORD *id2, WORD size, int half,
                            BYTE (&out)[w::kFilterHalfBytes]) {
  for (int i = 0; i < kExtHalf; ++i) {
    const int k = kExtHalf * half + i;
    if (k < size)
      w::pack_ext_element(id1[k], id2[k], out + 8 * i);
    else
      w::pack_ext_element(0, 0, out + 8 * i);
  }
}

void decode_ext_filter_half(const BYTE *p, int half, DWORD *id1, DWORD *id2) {
  for (int i = 0; i < kExtHalf; ++i) {
    id1[kExtHalf * half + i] = w::ext_element_id1(p + 8 * i);
    id2[kExtHalf * half + i] = w::ext_element_id2(p + 8 * i);
  }
}

void encode_hw_send_record(const w::TxFrame &f, DWORD period, DWORD counter,
                           BYTE (&out)[w::kHwRecordSize]) {
  w::encode_tx_record(f, w::TxKind::HardwareSend, out);
  w::put_le32(out + w::kRecSecond, period);
  w::put_le32(out + w::kRecUsecond, counter);
}

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

// ---------------------------------------------------------------------------
// Module commands.
// ---------------------------------------------------------------------------

int CANFD_GetFwVer(WORD hidnum, WORD *o_wFwVer) {
  return command(hidnum, kModule, read_cmd(fc::kFwVersion),
                 [&](const BYTE *p) { *o_wFwVer = decode_fw_version(p); });
}

int CANFD_GetINITPinStatus(WORD hidnum, BYTE *o_byStatus) {
  return command(hidnum, kModule, read_cmd(fc::kInitPin),
                 [&](const BYTE *p) { *o_byStatus = decode_init_pin(p); });
}

int CANFD_SetSN(WORD hidnum, DWORD i_dwSN) {
  BYTE data[4];
  w::put_le32(data, i_dwSN);
  return command(hidnum, kModule, write_cmd(fc::kSerialNumber, data, 4), no_answer);
}

int CANFD_SetLEDMode(WORD hidnum, BYTE i_byLEDMode) {
  return command(hidnum, kModule, write_cmd(fc::kLedMode, &i_byLEDMode, 1, 0, false), no_answer);
}

int CANFD_SetLEDState(WORD hidnum, BYTE i_byLEDState) {
  return command(hidnum, kModule, write_cmd(fc::kLedState, &i_byLEDState, 1, 0, false), no_answer);
}

int CANFD_ResetModule(WORD hidnum) { return reset(hidnum, fc::kModuleReset); }

int CANFD_ResetModuleWDT(WORD hidnum) { return reset(hidnum, fc::kWatchdogReset); }

// ---------------------------------------------------------------------------
// Port mode, status and bit rates.
// ---------------------------------------------------------------------------

int CANFD_GetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD *o_wEnable, WORD *o_wBusMode,
                       WORD *o_wISOMode) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadOpMode), [&](const BYTE *p) {
    const OpMode m = decode_op_mode(p);
    *o_wEnable = m.enable;
    *o_wBusMode = m.bus_mode;
    *o_wISOMode = m.iso_mode;
  });
}

int CANFD_SetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD i_wEnable, WORD i_wBusMode,
                       WORD i_wISOMode) {
  BYTE data[w::kOpModeSize];
  const OpMode mode{i_wEnable, i_wBusMode, i_wISOMode};
  encode_op_mode(mode, data);
  const int rc =
      command(hidnum, i_byCANPort, write_cmd(fc::kWriteOpMode, data, sizeof data), no_answer);
  if (rc == 0) {
    // What CANFD_ReleaseCANPort undoes.
    DeviceUse use(hidnum);
    if (use.rc == 0) note_op_mode(*use.dev, i_byCANPort, mode);
  }
  return rc;
}

int CANFD_GetCANStatus(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCANStatus, DWORD *o_dwErrCnt,
                       DWORD *o_dwBufStatus) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadStatus), [&](const BYTE *p) {
    const PortStatus s = decode_status(p);
    *o_dwCANStatus = s.status;
    *o_dwErrCnt = s.counters;
    *o_dwBufStatus = s.buffers;
  });
}

int CANFD_GetCANBusState(WORD hidnum, BYTE i_byCANPort, BYTE *o_byState, BYTE *o_byTxErrors,
                         BYTE *o_byRxErrors) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadStatus), [&](const BYTE *p) {
    const BusState b = decode_bus_state(p);
    if (o_byState != nullptr) *o_byState = b.state;
    if (o_byTxErrors != nullptr) *o_byTxErrors = b.tx_errors;
    if (o_byRxErrors != nullptr) *o_byRxErrors = b.rx_errors;
  });
}

int CANFD_GetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwArbitrBR, DWORD *o_dwDataBR,
                           WORD *o_wArbitrBRSP, WORD *o_wDataBRSP) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadBitRates), [&](const BYTE *p) {
    const BitRates b = decode_bit_rates(p);
    *o_dwArbitrBR = b.arbitration;
    *o_dwDataBR = b.data;
    *o_wArbitrBRSP = b.arbitration_sp;
    *o_wDataBRSP = b.data_sp;
  });
}

int CANFD_SetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD i_dwArbitrBR, DWORD i_dwDataBR,
                           WORD i_wArbitrBRSP, WORD i_wDataBRSP) {
  const BitRates b{i_dwArbitrBR, i_dwDataBR, i_wArbitrBRSP, i_wDataBRSP};
  BYTE data[w::kBitRatesSize];
  encode_bit_rates(b, data);
  return command(hidnum, i_byCANPort,
                 write_cmd(fc::kWriteBitRates, data, sizeof data,
                           bit_rates_valid(b) ? 0 : CANFD_ERR_INVALID_PARAM),
                 no_answer);
}

int CANFD_GetCANRxFramePerSec(WORD hidnum, BYTE i_byCANPort, WORD *o_wRxFPS) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadRxFps),
                 [&](const BYTE *p) { *o_wRxFPS = decode_rx_fps(p); });
}

int CANFD_SetCANReInitialize(WORD hidnum, BYTE i_byCANPort) {
  // Restarts the port's controller with its settings (after bus off, say):
  // nothing the port's other users rely on changes.
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteReinit, nullptr, 0, 0, false), no_answer);
}

// ---------------------------------------------------------------------------
// Acceptance filters: lists travel in two halves of 256 payload bytes, then
// (for writes) the list size.
// ---------------------------------------------------------------------------

int CANFD_GetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE *o_byRejectRFS,
                             BYTE *o_byRejectRFE, WORD *o_wSTDFIDListSize,
                             WORD *o_wEXTFIDListSize) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadGlobalFilter), [&](const BYTE *p) {
    const GlobalFilter g = decode_global_filter(p);
    *o_byRejectRFE = g.reject_rfe;
    *o_byRejectRFS = g.reject_rfs;
    *o_wSTDFIDListSize = g.std_list_size;
    *o_wEXTFIDListSize = g.ext_list_size;
  });
}

int CANFD_SetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE i_byRejectRFS,
                             BYTE i_byRejectRFE) {
  BYTE data[4];
  w::put_le32(data, w::pack_gfc(i_byRejectRFS, i_byRejectRFE));
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteGlobalFilter, data, 4), no_answer);
}

int CANFD_GetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD *o_wSTDFID1, WORD *o_wSTDFID2) {
  for (int half = 0; half < 2; ++half) {
    const int rc =
        command(hidnum, i_byCANPort, read_cmd(static_cast<BYTE>(fc::kReadStdFilters + half)),
                [&](const BYTE *p) { decode_std_filter_half(p, half, o_wSTDFID1, o_wSTDFID2); });
    if (rc != 0) return rc;
  }
  return 0;
}

int CANFD_SetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wSTDFIDListSize, WORD *i_wSTDFID1,
                            WORD *i_wSTDFID2) {
  const int checks = pre_checks(hidnum, i_byCANPort, i_wSTDFIDListSize <= w::kStdFilterElements);
  if (checks != 0) return checks;
  BYTE data[w::kFilterHalfBytes];
  for (int half = 0; half < 2; ++half) {
    encode_std_filter_half(i_wSTDFID1, i_wSTDFID2, i_wSTDFIDListSize, half, data);
    const int rc = command(
        hidnum, i_byCANPort,
        write_cmd(static_cast<BYTE>(fc::kWriteStdFilters + half), data, w::kFilterHalfBytes),
        no_answer);
    if (rc != 0) return rc;
  }
  w::put_le16(data, i_wSTDFIDListSize);
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteStdListSize, data, 2), no_answer);
}

int CANFD_GetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwEXTFID1, DWORD *o_dwEXTFID2) {
  for (int half = 0; half < 2; ++half) {
    const int rc =
        command(hidnum, i_byCANPort, read_cmd(static_cast<BYTE>(fc::kReadExtFilters + half)),
                [&](const BYTE *p) { decode_ext_filter_half(p, half, o_dwEXTFID1, o_dwEXTFID2); });
    if (rc != 0) return rc;
  }
  return 0;
}

int CANFD_SetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wEXTFIDListSize,
                            DWORD *i_dwEXTFID1, DWORD *i_dwEXTFID2) {
  const int checks = pre_checks(hidnum, i_byCANPort, i_wEXTFIDListSize <= w::kExtFilterElements);
  if (checks != 0) return checks;
  BYTE data[w::kFilterHalfBytes];
  for (int half = 0; half < 2; ++half) {
    encode_ext_filter_half(i_dwEXTFID1, i_dwEXTFID2, i_wEXTFIDListSize, half, data);
    const int rc = command(
        hidnum, i_byCANPort,
        write_cmd(static_cast<BYTE>(fc::kWriteExtFilters + half), data, w::kFilterHalfBytes),
        no_answer);
    if (rc != 0) return rc;
  }
  w::put_le16(data, i_wEXTFIDListSize);
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteExtListSize, data, 2), no_answer);
}

int CANFD_SetCANHWSendMsg(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode, DWORD i_dwID, BYTE i_byRTR,
                          BYTE i_byFDF, BYTE i_byDlen, BYTE *i_byData, DWORD i_dwPeriod,
                          DWORD i_dwCounter) {
  const int checks = pre_checks(hidnum, i_byCANPort);
  if (checks != 0) return checks;
  BYTE record[w::kHwRecordSize];
  encode_hw_send_record({i_byMode, i_dwID, i_byRTR, i_byFDF, i_byDlen, i_byData}, i_dwPeriod,
                        i_dwCounter, record);
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteHwSendRecord, record, sizeof record),
                 no_answer);
}

int CANFD_SetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode) {
  const BYTE mode = i_byMode ? 1 : 0;
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteHwSendMode, &mode, 1), no_answer);
}

int CANFD_GetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE *o_byMode) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadHwSendMode),
                 [&](const BYTE *p) { *o_byMode = decode_hw_send_mode(p); });
}

}  // extern "C"
