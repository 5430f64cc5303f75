// Command exchange: one request handed to the writer ahead of the transmit
// queue, its answer filed by the reader. Answers are matched to requests:
// the adapter answers in request order, so an answer belongs to the oldest
// request still owed an answer that it can answer; a late answer to a
// request that timed out is recognised as such and never taken by the next
// command, unless the two requests are the same.
#include <errno.h>

#include <cstring>

#include "internal.h"

namespace canfd::core {

namespace w = wire;

namespace {

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

uint64_t request_digest(const BYTE *packet, size_t len) {
  // FNV-1a over the packet and its length.
  uint64_t h = 14695981039346656037ULL ^ len;
  for (size_t i = 0; i < len; ++i) h = (h ^ packet[i]) * 1099511628211ULL;
  return h;
}

bool answers(const Request &r, const BYTE *pkt) {
  if (w::get_le16(pkt + w::kHdrFc) != r.fc) return false;
  if (pkt[w::kHdrOpcode] == CANFD_OP_FAIL) return true;
  return r.opcode == CANFD_OP_WRITE || w::get_le16(pkt + w::kHdrLen) > 0;
}

namespace {

// Whether every owed request from i on that pkt can answer is the same
// request as the waiting one: then pkt says what the waiting one's answer
// says, whichever of them it answers.
bool same_as_waiting(const Answers &a, int i, const BYTE *pkt) {
  for (; i < a.owed_count; ++i)
    if (answers(a.owed[i], pkt) && a.owed[i].digest != a.current.digest) return false;
  return true;
}

}  // namespace

bool take_answer(Answers &a, const BYTE *pkt, bool arrived, int64_t now) {
  forget_expired(a, now);
  const bool live = a.waiting && !arrived && answers(a.current, pkt);
  for (int i = 0; i < a.owed_count; ++i) {
    if (!answers(a.owed[i], pkt)) continue;
    if (!live || !same_as_waiting(a, i, pkt)) {
      forget_first(a, i + 1);
      return false;
    }
    // The waiting request's, whether it is its own answer or owed[i]'s
    // (they say the same); in the adapter's order it is owed[i]'s, and the
    // waiting request's own answer may still follow the later owed ones.
    forget_first(a, i + 1);
    a.own_answer_due = true;
    return true;
  }
  if (!live) return false;
  a.owed_count = 0;  // older requests are answered before this one, or never
  return true;
}

void begin_request(Answers &a, const Request &r, int64_t now) {
  forget_expired(a, now);
  a.current = r;
  a.waiting = true;
  a.write_error = 0;
  a.own_answer_due = false;
}

void end_request(Answers &a, bool owed, int64_t now) {
  if ((owed || a.own_answer_due) && a.current.answer_by_ns > now) {
    if (a.owed_count == Answers::kMaxOwed) forget_first(a, 1);
    a.owed[a.owed_count++] = a.current;
  }
  a.waiting = false;
  a.write_error = 0;
  a.own_answer_due = false;
}

int run_command(WORD hidnum, int port, const Command &c, BYTE (&answer)[CANFD_PACKET_MAX]) {
  WORD code = c.number;
  {
    DeviceUse use(hidnum);
    if (use.rc != 0) return use.rc;
    if (port != kModule) {
      if (!valid_port(static_cast<BYTE>(port))) return CANFD_ERR_INVALID_PORT;
      code = w::fc::port(static_cast<BYTE>(port), c.number);
    }
    if (c.after_port != 0) return c.after_port;
    if (c.setting) {
      const int rc = check_setting(*use.dev, port);
      if (rc != 0) return rc;
    }
  }
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
  PlainLock one_command(&rec->mutex_NormPkt);

  BYTE report[CANFD_REPORT_SIZE];
  make_report(report, i_bySend, wData_Len);
  const int64_t start = now_ns();
  const int64_t deadline = start + static_cast<int64_t>(CmdTimeout) * 1000000LL;
  Urgent u;
  u.bytes = report;
  u.len = sizeof report;
  u.command = true;
  u.id = d.urgent_ids.fetch_add(1, std::memory_order_relaxed) + 1;
  Request r;
  r.opcode = report[1 + w::kHdrOpcode];
  r.fc = w::get_le16(report + 1 + w::kHdrFc);
  r.digest = request_digest(i_bySend, wData_Len);
  r.write_id = u.id;
  r.answer_by_ns = start + static_cast<int64_t>(kCmdTimeoutMs) * 1000000LL;
  {
    // Registered before the request goes out, so that a quick answer finds it.
    Lock lock(d.answer_mu);
    begin_request(d.answers, r, start);
    __atomic_store_n(&rec->m_byNormalPktArrive, 0, __ATOMIC_RELEASE);
  }
  d.commands_waiting.fetch_add(1, std::memory_order_acq_rel);
  int rc = 0;
  {
    Lock lock(d.tx_mu);
    if (is_closing(d) || d.stopping.load(std::memory_order_acquire))
      rc = CANFD_ERR_DEVICE_NOT_OPEN;
    else
      queue_urgent(d, u);
  }
  if (rc == 0) {
    Lock lock(d.answer_mu);
    while (rc == 0 && __atomic_load_n(&rec->m_byNormalPktArrive, __ATOMIC_ACQUIRE) == 0) {
      // (A write that failed as its device went away says less than the
      // device being gone.)
      if (is_gone(d))
        rc = CANFD_ERR_DEVICE_GONE;
      else if (d.answers.write_error != 0)
        rc = gone_error(d.answers.write_error) ? CANFD_ERR_DEVICE_GONE : CANFD_ERR_USB_WRITE;
      else if (is_closing(d))
        rc = CANFD_ERR_DEVICE_NOT_OPEN;
      else if (!wait_until(&d.answer_cond, d.answer_mu, deadline) &&
               __atomic_load_n(&rec->m_byNormalPktArrive, __ATOMIC_ACQUIRE) == 0)
        rc = CANFD_ERR_CMD_TIMEOUT;
    }
  }
  bool written;
  {
    // A request that the writer did not take because it is stuck in a write
    // (a stalled adapter) is withdrawn: it would go out who knows when. One
    // it took, or that it was only slow to take, may still be answered, late.
    Lock lock(d.tx_mu);
    written = rc == CANFD_ERR_CMD_TIMEOUT ? adopt_urgent(d, u) : u.state != Urgent::kQueued;
    unlink_urgent(d, u);
  }
  {
    Lock lock(d.answer_mu);
    // The answer may have come while the request was withdrawn.
    if (__atomic_load_n(&rec->m_byNormalPktArrive, __ATOMIC_ACQUIRE) != 0) rc = 0;
    end_request(d.answers, rc == CANFD_ERR_CMD_TIMEOUT && written, now_ns());
    if (rc == 0) {
      __atomic_store_n(&rec->m_byNormalPktArrive, 0, __ATOMIC_RELEASE);
      size_t copy =
          static_cast<size_t>(w::get_le16(rec->BUFF_RX_NormPkt + w::kHdrLen)) + CANFD_HEADER_SIZE;
      if (copy > sizeof rec->BUFF_RX_NormPkt) copy = sizeof rec->BUFF_RX_NormPkt;
      std::memcpy(o_byRecv, rec->BUFF_RX_NormPkt, copy);
    }
  }
  d.commands_waiting.fetch_sub(1, std::memory_order_acq_rel);
  return rc;
}

}  // extern "C"
