// Command exchange: one request written straight to the node, its answer
// handed over by the receive worker. Answers are matched to requests: the
// adapter answers in request order, so an answer belongs to the oldest
// request still owed an answer that it can answer; a late answer to a
// request that timed out is recognised as such and never taken by the next
// command.
#include <errno.h>
#include <sched.h>

#include <algorithm>
#include <cstring>

#include "internal.h"

namespace canfd::core {

namespace w = wire;

namespace {

constexpr int64_t kAnswerSpinNs = 50 * 1000;

// Requests whose answer would now come later than the adapter ever answers
// are taken as unanswered.
void forget_expired(Answers &a, int64_t now) {
  int kept = 0;
  for (int i = 0; i < a.owed_count; ++i)
    if (a.owed[i].answer_by_ns >= now) a.owed[kept++] = a.owed[i];
  a.owed_count = kept;
}

void forget_first(Answers &a, int n) {
  for (int i = n; i < a.owed_count; ++i) a.owed[i - n] = a.owed[i];
  a.owed_count -= n;
}

}  // namespace

bool answers(const Request &r, const BYTE *pkt) {
  if (w::get_le16(pkt + w::kHdrFc) != r.fc) return false;
  if (pkt[w::kHdrOpcode] == CANFD_OP_FAIL) return true;
  return r.opcode == CANFD_OP_WRITE || w::get_le16(pkt + w::kHdrLen) > 0;
}

bool take_answer(Answers &a, const BYTE *pkt, int64_t now) {
  forget_expired(a, now);
  for (int i = 0; i < a.owed_count; ++i) {
    if (answers(a.owed[i], pkt)) {
      forget_first(a, i + 1);
      return false;
    }
  }
  if (!a.waiting || a.arrived || !answers(a.current, pkt)) return false;
  a.owed_count = 0;  // older requests are answered before this one, or never
  a.arrived = true;
  return true;
}

void begin_request(Answers &a, const Request &r, int64_t now) {
  forget_expired(a, now);
  a.current = r;
  a.waiting = true;
  a.arrived = false;
}

void end_request(Answers &a, bool timed_out, int64_t now) {
  if (timed_out && a.current.answer_by_ns > now) {
    if (a.owed_count == Answers::kMaxOwed) forget_first(a, 1);
    a.owed[a.owed_count++] = a.current;
  }
  a.waiting = false;
  a.arrived = false;
}

int run_command(WORD hidnum, int port, const Command &c, BYTE (&answer)[CANFD_PACKET_MAX]) {
  {
    DeviceUse use(hidnum);
    if (use.rc != 0) return use.rc;
  }
  WORD code = c.number;
  if (port != kModule) {
    if (!valid_port(static_cast<BYTE>(port))) return CANFD_ERR_INVALID_PORT;
    code = w::fc::port(static_cast<BYTE>(port), c.number);
  }
  if (c.after_port != 0) return c.after_port;
  BYTE send[CANFD_PACKET_MAX];
  std::memset(answer, 0, sizeof answer);
  const int len = c.opcode == CANFD_OP_READ
                      ? PackReadPacket(code, 0, nullptr, send)
                      : PackWritePacket(code, c.len, const_cast<BYTE *>(c.data), send);
  const int rc = CANFD_Send_Recv(hidnum, send, static_cast<WORD>(len), answer, kCmdTimeoutMs);
  if (rc != 0) return rc;
  return answer_result(answer);
}

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

int CANFD_Send_Recv(WORD hidnum, BYTE *i_bySend, WORD wData_Len, BYTE *o_byRecv, DWORD CmdTimeout) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (wData_Len > CANFD_PACKET_MAX) return CANFD_ERR_DATA_TOO_LONG;
  Device &d = *use.dev;
  if (is_gone(d)) return CANFD_ERR_DEVICE_GONE;
  PKALVEN_CANFD_CAN_Buf_St rec = d.rec;
  Lock one_command(&rec->mutex_NormPkt);

  BYTE report[CANFD_REPORT_SIZE];
  make_report(report, i_bySend, wData_Len);
  const int64_t start = now_ns();
  const int64_t deadline = start + static_cast<int64_t>(CmdTimeout) * 1000000LL;
  Request r;
  r.opcode = report[1 + w::kHdrOpcode];
  r.fc = w::get_le16(report + 1 + w::kHdrFc);
  r.answer_by_ns = start + static_cast<int64_t>(kCmdTimeoutMs) * 1000000LL;
  {
    // Registered before the request goes out, so that a quick answer finds it.
    Lock lock(&d.answer_mu);
    begin_request(d.answers, r, start);
    __atomic_store_n(&rec->m_byNormalPktArrive, 0, __ATOMIC_RELEASE);
  }
  if (write_node(d, report, sizeof report, deadline, true) != 0) {
    const int err = errno;
    Lock lock(&d.answer_mu);
    end_request(d.answers, false, now_ns());
    if (is_gone(d)) return CANFD_ERR_DEVICE_GONE;
    if (err == ECANCELED) return CANFD_ERR_DEVICE_NOT_OPEN;  // the device is closing
    return err == ETIMEDOUT ? CANFD_ERR_CMD_TIMEOUT : CANFD_ERR_USB_WRITE;
  }

  // The caller reads the answer itself where no one else reads the node.
  // Else the answer usually follows within tens of microseconds: look for it
  // for a moment before sleeping, so that the caller does not add a wake-up
  // of its own to the reader's. Yielding keeps a single core usable.
  if (!read_while_waiting(d, 0, deadline)) {
    const int64_t spin_until = std::min(now_ns() + kAnswerSpinNs, deadline);
    while (__atomic_load_n(&rec->m_byNormalPktArrive, __ATOMIC_ACQUIRE) == 0 &&
           now_ns() < spin_until && !is_gone(d))
      sched_yield();
  }

  Lock lock(&d.answer_mu);
  while (!d.answers.arrived) {
    int rc = 0;
    if (is_gone(d))
      rc = CANFD_ERR_DEVICE_GONE;
    else if (is_closing(d))
      rc = CANFD_ERR_DEVICE_NOT_OPEN;
    else if (!wait_until(&d.answer_cond, &d.answer_mu, deadline) && !d.answers.arrived)
      rc = CANFD_ERR_CMD_TIMEOUT;
    if (rc != 0) {
      end_request(d.answers, rc == CANFD_ERR_CMD_TIMEOUT, now_ns());
      return rc;
    }
  }
  end_request(d.answers, false, now_ns());
  __atomic_store_n(&rec->m_byNormalPktArrive, 0, __ATOMIC_RELEASE);
  size_t copy =
      static_cast<size_t>(w::get_le16(rec->BUFF_RX_NormPkt + w::kHdrLen)) + CANFD_HEADER_SIZE;
  if (copy > sizeof rec->BUFF_RX_NormPkt) copy = sizeof rec->BUFF_RX_NormPkt;
  std::memcpy(o_byRecv, rec->BUFF_RX_NormPkt, copy);
  return 0;
}

}  // extern "C"
