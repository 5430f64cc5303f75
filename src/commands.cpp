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

Command read_cmd(BYTE number) { return {CANFD_OP_READ, number, nullptr, 0, 0}; }

Command write_cmd(BYTE number, const BYTE *data, WORD len, int after_port = 0) {
  return {CANFD_OP_WRITE, number, data, len, after_port};
}

// Checks made before a call reads the caller's arrays or frame data: the
// device, then (for the list writes) the list size, then the port.
int pre_checks(WORD hidnum, BYTE port, bool size_ok = true) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!size_ok) return CANFD_ERR_INVALID_FILTER_SIZE;
  return valid_port(port) ? 0 : CANFD_ERR_INVALID_PORT;
}

// The two resets go out as bare 6-byte packets, unanswered.
int reset(WORD hidnum, WORD code) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (is_gone(*use.dev)) return CANFD_ERR_DEVICE_GONE;
  BYTE send[CANFD_HEADER_SIZE];
  PackLargeDataPacket(code, 0, nullptr, send);
  if (write_node(*use.dev, send, sizeof send, deadline_after_ms(kCmdTimeoutMs), true) == 0)
    return 0;
  return is_gone(*use.dev) ? CANFD_ERR_DEVICE_GONE : CANFD_ERR_USB_WRITE;
}

}  // namespace

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

// ---------------------------------------------------------------------------
// Module commands.
// ---------------------------------------------------------------------------

int CANFD_GetFwVer(WORD hidnum, WORD *o_wFwVer) {
  return command(hidnum, kModule, read_cmd(fc::kFwVersion),
                 [&](const BYTE *p) { *o_wFwVer = w::get_le16(p); });
}

int CANFD_GetINITPinStatus(WORD hidnum, BYTE *o_byStatus) {
  return command(hidnum, kModule, read_cmd(fc::kInitPin),
                 [&](const BYTE *p) { *o_byStatus = p[0]; });
}

int CANFD_SetSN(WORD hidnum, DWORD i_dwSN) {
  BYTE data[4];
  w::put_le32(data, i_dwSN);
  return command(hidnum, kModule, write_cmd(fc::kSerialNumber, data, 4), no_answer);
}

int CANFD_SetLEDMode(WORD hidnum, BYTE i_byLEDMode) {
  return command(hidnum, kModule, write_cmd(fc::kLedMode, &i_byLEDMode, 1), no_answer);
}

int CANFD_SetLEDState(WORD hidnum, BYTE i_byLEDState) {
  return command(hidnum, kModule, write_cmd(fc::kLedState, &i_byLEDState, 1), no_answer);
}

int CANFD_ResetModule(WORD hidnum) { return reset(hidnum, fc::kModuleReset); }

int CANFD_ResetModuleWDT(WORD hidnum) { return reset(hidnum, fc::kWatchdogReset); }

// ---------------------------------------------------------------------------
// Port mode, status and bit rates.
// ---------------------------------------------------------------------------

int CANFD_GetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD *o_wEnable, WORD *o_wBusMode,
                       WORD *o_wISOMode) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadOpMode), [&](const BYTE *p) {
    *o_wEnable = w::get_le16(p);
    *o_wBusMode = w::get_le16(p + 2);
    *o_wISOMode = w::get_le16(p + 4);
  });
}

int CANFD_SetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD i_wEnable, WORD i_wBusMode,
                       WORD i_wISOMode) {
  BYTE data[6];
  w::put_le16(data, i_wEnable);
  w::put_le16(data + 2, i_wBusMode);
  w::put_le16(data + 4, i_wISOMode);
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteOpMode, data, 6), no_answer);
}

int CANFD_GetCANStatus(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCANStatus, DWORD *o_dwErrCnt,
                       DWORD *o_dwBufStatus) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadStatus), [&](const BYTE *p) {
    *o_dwCANStatus = w::get_le32(p);
    *o_dwErrCnt = w::get_le32(p + 4);
    *o_dwBufStatus = w::get_le32(p + 8);
  });
}

int CANFD_GetCANBusState(WORD hidnum, BYTE i_byCANPort, BYTE *o_byState, BYTE *o_byTxErrors,
                         BYTE *o_byRxErrors) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadStatus), [&](const BYTE *p) {
    const DWORD status = w::get_le32(p), counters = w::get_le32(p + 4);
    if (o_byState != nullptr) *o_byState = w::bus_state(status);
    if (o_byTxErrors != nullptr) *o_byTxErrors = w::tx_errors(counters);
    if (o_byRxErrors != nullptr) *o_byRxErrors = w::rx_errors(counters);
  });
}

int CANFD_GetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwArbitrBR, DWORD *o_dwDataBR,
                           WORD *o_wArbitrBRSP, WORD *o_wDataBRSP) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadBitRates), [&](const BYTE *p) {
    *o_dwArbitrBR = w::get_le32(p);
    *o_dwDataBR = w::get_le32(p + 4);
    *o_wArbitrBRSP = w::get_le16(p + 8);
    *o_wDataBRSP = w::get_le16(p + 10);
  });
}

int CANFD_SetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD i_dwArbitrBR, DWORD i_dwDataBR,
                           WORD i_wArbitrBRSP, WORD i_wDataBRSP) {
  BYTE data[12];
  w::put_le32(data, i_dwArbitrBR);
  w::put_le32(data + 4, i_dwDataBR);
  w::put_le16(data + 8, i_wArbitrBRSP);
  w::put_le16(data + 10, i_wDataBRSP);
  const bool bad = i_dwArbitrBR > i_dwDataBR || i_wArbitrBRSP > 10000;
  return command(hidnum, i_byCANPort,
                 write_cmd(fc::kWriteBitRates, data, 12, bad ? CANFD_ERR_INVALID_PARAM : 0),
                 no_answer);
}

int CANFD_GetCANRxFramePerSec(WORD hidnum, BYTE i_byCANPort, WORD *o_wRxFPS) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadRxFps),
                 [&](const BYTE *p) { *o_wRxFPS = w::get_le16(p); });
}

int CANFD_SetCANReInitialize(WORD hidnum, BYTE i_byCANPort) {
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteReinit, nullptr, 0), no_answer);
}

// ---------------------------------------------------------------------------
// Acceptance filters: lists travel in two halves of 256 payload bytes, then
// (for writes) the list size.
// ---------------------------------------------------------------------------

int CANFD_GetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE *o_byRejectRFS,
                             BYTE *o_byRejectRFE, WORD *o_wSTDFIDListSize,
                             WORD *o_wEXTFIDListSize) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadGlobalFilter), [&](const BYTE *p) {
    const DWORD gfc = w::get_le32(p);
    *o_byRejectRFE = w::gfc_reject_rfe(gfc);
    *o_byRejectRFS = w::gfc_reject_rfs(gfc);
    *o_wSTDFIDListSize = w::get_le16(p + 4);
    *o_wEXTFIDListSize = w::get_le16(p + 6);
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
                [&](const BYTE *p) {
                  for (int i = 0; i < kStdHalf; ++i) {
                    const DWORD e = w::get_le32(p + 4 * i);
                    o_wSTDFID1[kStdHalf * half + i] = w::std_element_id1(e);
                    o_wSTDFID2[kStdHalf * half + i] = w::std_element_id2(e);
                  }
                });
    if (rc != 0) return rc;
  }
  return 0;
}

int CANFD_SetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wSTDFIDListSize, WORD *i_wSTDFID1,
                            WORD *i_wSTDFID2) {
  const int checks = pre_checks(hidnum, i_byCANPort, i_wSTDFIDListSize <= w::kStdFilterElements);
  if (checks != 0) return checks;
  WORD STDFID1[w::kStdFilterElements] = {0};
  WORD STDFID2[w::kStdFilterElements] = {0};
  for (int i = 0; i < i_wSTDFIDListSize; ++i) {
    STDFID1[i] = i_wSTDFID1[i];
    STDFID2[i] = i_wSTDFID2[i];
  }
  BYTE data[w::kFilterHalfBytes];
  for (int half = 0; half < 2; ++half) {
    for (int i = 0; i < kStdHalf; ++i)
      w::put_le32(data + 4 * i,
                  w::pack_std_element(STDFID1[kStdHalf * half + i], STDFID2[kStdHalf * half + i]));
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
                [&](const BYTE *p) {
                  for (int i = 0; i < kExtHalf; ++i) {
                    o_dwEXTFID1[kExtHalf * half + i] = w::ext_element_id1(p + 8 * i);
                    o_dwEXTFID2[kExtHalf * half + i] = w::ext_element_id2(p + 8 * i);
                  }
                });
    if (rc != 0) return rc;
  }
  return 0;
}

int CANFD_SetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wEXTFIDListSize,
                            DWORD *i_dwEXTFID1, DWORD *i_dwEXTFID2) {
  const int checks = pre_checks(hidnum, i_byCANPort, i_wEXTFIDListSize <= w::kExtFilterElements);
  if (checks != 0) return checks;
  DWORD EXTFID1[w::kExtFilterElements] = {0};
  DWORD EXTFID2[w::kExtFilterElements] = {0};
  for (int i = 0; i < i_wEXTFIDListSize; ++i) {
    EXTFID1[i] = i_dwEXTFID1[i];
    EXTFID2[i] = i_dwEXTFID2[i];
  }
  BYTE data[w::kFilterHalfBytes];
  for (int half = 0; half < 2; ++half) {
    for (int i = 0; i < kExtHalf; ++i)
      w::pack_ext_element(EXTFID1[kExtHalf * half + i], EXTFID2[kExtHalf * half + i], data + 8 * i);
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
  w::encode_tx_record({i_byMode, i_dwID, i_byRTR, i_byFDF, i_byDlen, i_byData},
                      w::TxKind::HardwareSend, record);
  w::put_le32(record + w::kRecSecond, i_dwPeriod);
  w::put_le32(record + w::kRecUsecond, i_dwCounter);
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteHwSendRecord, record, sizeof record),
                 no_answer);
}

int CANFD_SetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode) {
  const BYTE mode = i_byMode ? 1 : 0;
  return command(hidnum, i_byCANPort, write_cmd(fc::kWriteHwSendMode, &mode, 1), no_answer);
}

int CANFD_GetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE *o_byMode) {
  return command(hidnum, i_byCANPort, read_cmd(fc::kReadHwSendMode),
                 [&](const BYTE *p) { *o_byMode = p[0]; });
}

}  // extern "C"
