// Fuzz target: matching answers to requests (exchange.cpp) on a virtual
// clock. Commands go out one after the other, each waiting up to its own
// timeout; the adapter answers them in order, late or not at all, and some
// answers arrive that belong to nothing. Each answer carries the number of
// the request it answers.
//
// With an adapter that keeps to its side (every answer in request order,
// within one command timeout of its request, and no more requests timed out
// at once than are remembered), a command takes its own answer and no
// other, and takes it whenever it arrives in time, unless a request with
// the same function code went unanswered: answers to later requests with
// that code then go to the requests before them, until the unanswered
// request and every request caught behind it are past their time; but an
// answer that the waiting request and an owed request of the same bytes can
// both take goes to the waiting one (it may be the owed request's late
// answer: it says the same), if every owed request that could take it is
// of those bytes, and the waiting one's own answer is then owed in its
// turn. With stray answers as well, the bookkeeping stays within its bounds
// and an answer is taken only by the request it can answer.
#include <vector>

#include "fuzz.h"
#include "internal.h"

namespace {

namespace core = canfd::core;
namespace w = canfd::wire;
using canfd_fuzz::Input;

constexpr int64_t kMs = 1000000;
constexpr int64_t kAnswerWindow = core::kCmdTimeoutMs * kMs;

const WORD kCodes[] = {w::fc::kFwVersion, w::fc::kInitPin, w::fc::port(1, w::fc::kReadStatus),
                       w::fc::port(2, w::fc::kReadStatus)};

struct Sent {
  uint32_t id;
  int code;  // index into kCodes
  core::Request r;
  bool timed_out;
};

struct Answer {
  int64_t at;
  uint32_t id;  // 0: belongs to no request
  BYTE pkt[CANFD_HEADER_SIZE + 8];
};

void make_packet(Answer &a, BYTE op, WORD fc, uint32_t id) {
  w::put_header(a.pkt, op, fc, 8);
  w::put_le32(a.pkt + CANFD_HEADER_SIZE, id);
  w::put_le32(a.pkt + CANFD_HEADER_SIZE + 4, 0);
}

void check_bounds(const core::Answers &a) {
  FUZZ_CHECK(a.owed_count >= 0 && a.owed_count <= core::Answers::kMaxOwed);
  for (int i = 1; i < a.owed_count; ++i)
    FUZZ_CHECK(a.owed[i - 1].answer_by_ns <= a.owed[i].answer_by_ns);
}

}  // namespace

// Input: the mode (strict adapter or stray answers too), then events: a
// command (function code, opcode, its timeout, how the adapter answers), a
// stray answer, or time passing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  const bool strict = !(in.u8() & 1);
  core::Answers a;
  int64_t now = int64_t{1} << 40;
  uint32_t next_id = 1;
  // Kept from input to input, so that no input allocates.
  static std::vector<Sent> sent;       // in order
  static std::vector<Answer> adapter;  // answers on their way, from adapter[next] on
  sent.clear();
  adapter.clear();
  size_t next = 0;
  int64_t adapter_free = now;  // the adapter answers one request after the other
  bool have_current = false;
  Sent current{};
  int64_t deadline = 0;
  // Per code: until when an unanswered request, or one caught behind it, may
  // take answers of later requests with the code.
  int64_t shadow_until[4] = {INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN};

  // An answer arrives.
  auto deliver = [&](const Answer &ans) {
    const bool was_waiting = have_current;
    const core::Request before = a.current;
    // An owed request that could take it too: then it is taken only if that
    // is the same request as the waiting one, whose own answer may follow.
    bool shared = false;
    for (int i = 0; i < a.owed_count; ++i)
      shared |= a.owed[i].answer_by_ns >= ans.at && core::answers(a.owed[i], ans.pkt);
    const bool took = core::take_answer(a, ans.pkt, false, ans.at);
    check_bounds(a);
    if (took) {
      FUZZ_CHECK(was_waiting && core::answers(before, ans.pkt));
      FUZZ_CHECK(a.waiting);
      FUZZ_CHECK(shared || a.owed_count == 0);
      for (int i = 0; i < a.owed_count; ++i)
        FUZZ_CHECK(!core::answers(a.owed[i], ans.pkt) || a.owed[i].digest == before.digest);
      // The requests left owed, and the waiting one, may take the answers
      // that follow with its code.
      if (shared && shadow_until[current.code] < before.answer_by_ns)
        shadow_until[current.code] = before.answer_by_ns;
      // Its own answer, or the late one of an earlier request of the same
      // bytes.
      if (strict) FUZZ_CHECK(ans.id == current.id || sent[ans.id - 1].r.digest == current.r.digest);
      // A second answer is not taken while the first is in the slot.
      core::Answers again = a;
      FUZZ_CHECK(!core::take_answer(again, ans.pkt, true, ans.at));
      core::end_request(a, false, ans.at);
      have_current = false;
    } else if (strict && was_waiting && ans.id == current.id) {
      // Its own answer, in time: refused only behind an unanswered request.
      FUZZ_CHECK(shadow_until[current.code] >= ans.at);
    }
  };

  // Requests that timed out and may still be answered.
  auto owed = [&](int64_t t) {
    int k = 0;
    for (const Sent &x : sent)
      if (x.timed_out && x.r.answer_by_ns >= t) ++k;
    return k;
  };

  while (!in.empty()) {
    const uint8_t ev = in.u8();
    if ((ev & 3) == 0 && !have_current) {
      // A command: request out, answer scheduled.
      if (strict && owed(now) >= core::Answers::kMaxOwed) continue;
      Sent x;
      x.id = next_id++;
      x.code = (ev >> 3) % 4;
      x.r.opcode = ev & 4 ? CANFD_OP_WRITE : CANFD_OP_READ;
      x.r.fc = kCodes[x.code];
      // Two requests of each kind, told apart by their bytes.
      x.r.digest = static_cast<uint64_t>(x.code * 4 + (ev & 4) + ((ev >> 5) & 1));
      x.r.answer_by_ns = now + kAnswerWindow;
      x.timed_out = false;
      const uint8_t how = in.u8();
      const int64_t timeout = static_cast<int64_t>(in.u8()) * 4 * kMs;  // 0 to 1020 ms
      const int64_t delay = static_cast<int64_t>(in.u8()) * 4 * kMs;
      const int64_t at = (adapter_free > now ? adapter_free : now) + delay;
      // Silent, or answered too late for the rules (then silent when strict).
      const bool silent = (how & 0x30) == 0x30 || (strict && at >= x.r.answer_by_ns);
      if (silent) {
        if (shadow_until[x.code] < x.r.answer_by_ns) shadow_until[x.code] = x.r.answer_by_ns;
      } else {
        Answer ans;
        ans.at = at;
        ans.id = x.id;
        make_packet(ans, how & 1 ? CANFD_OP_FAIL : CANFD_OP_DONE, x.r.fc, x.id);
        adapter.push_back(ans);
        adapter_free = at;
      }
      core::begin_request(a, x.r, now);
      FUZZ_CHECK(a.waiting);
      current = x;
      have_current = true;
      deadline = now + timeout;
      sent.push_back(x);
    } else if ((ev & 3) == 1 && !strict) {
      // An answer of no request, now.
      Answer ans;
      ans.at = now;
      ans.id = 0;
      const BYTE op = ev & 4 ? CANFD_OP_FAIL : CANFD_OP_DONE;
      const WORD fc = ev & 8 ? in.u16() : kCodes[(ev >> 4) % 4];
      make_packet(ans, op, fc, 0);
      if (ev & 0x80) w::put_le16(ans.pkt + w::kHdrLen, 0);  // no values
      deliver(ans);
    } else {
      // Time passes: answers arrive, the waiting command ends.
      now += static_cast<int64_t>(in.u16()) * kMs / 16;
    }

    // Everything due by now, in time order.
    for (;;) {
      const bool answer_due = next < adapter.size() && adapter[next].at <= now;
      const bool deadline_due = have_current && deadline <= now;
      if (!answer_due && !deadline_due) break;
      if (deadline_due && (!answer_due || deadline < adapter[next].at)) {
        // The command gives up; a request that timed out is owed its answer,
        // and one caught behind an unanswered request keeps the shadow on.
        core::end_request(a, true, deadline);
        check_bounds(a);
        have_current = false;
        sent.back().timed_out = true;
        int64_t &shadow = shadow_until[current.code];
        if (shadow >= current.r.answer_by_ns - kAnswerWindow && shadow < current.r.answer_by_ns)
          shadow = current.r.answer_by_ns;
        continue;
      }
      deliver(adapter[next++]);
    }
  }
  return 0;
}
