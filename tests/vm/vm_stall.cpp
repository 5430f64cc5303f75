// An adapter that stops taking output reports, on a real USB stack
// (canfd-sim --usb): the host's writes to the node then block in the kernel
// and fail with ETIMEDOUT after about 5 s, whatever O_NONBLOCK says. Checks
// first that the rig does that (raw writes), then that every library call
// still returns within its documented time and that what the adapter did
// not take is told, never lost silently:
//  - a command fails within 1 s;
//  - CANFD_SetCANTxMsg returns at once, CANFD_ERR_TX_QUEUE_FULL once the
//    transmit queue's reports wait full of frames, and
//    CANFD_GetCANFrameCounts counts each refusal;
//  - CANFD_SendCANFrames returns within its timeout, telling how many it
//    accepted (all, or CANFD_ERR_TX_QUEUE_FULL with fewer);
//  - once the kernel gave up on a report (after the stall outlasted its 5 s),
//    frames accepted but never received show in USBDEV_GetLastError and are
//    counted by CANFD_GetCANFrameCounts;
//  - the adapter works again once it takes reports again;
//  - CANFD_CloseDevice returns within 300 ms while the adapter is stalled;
//  - answers that come too late (canfd-sim --stall late:MS) fail their
//    command within 1 s and are not taken for the answer of the next one.
//
//   canfd-vm-stall CANFD_SIM     (as root, with dummy_hcd and usbhid loaded)
//
// Prints one line per check with its figures: RIG lines judge canfd-sim and
// the kernel, LIB lines the library. Exit status 1 when a RIG check failed,
// 3 when only LIB checks failed, 0 when all passed.
#include <cstring>

#include "canfd.h"
#include "canfd_comm.h"
#include "vm_common.h"

namespace {

using namespace canfd_vm;

// What the kernel does with a report the device does not take: four wait
// for the device (usb_f_hid's queue), the next write waits 5 s.
constexpr int kKernelQueued = 4;
constexpr double kKernelTimeoutMinMs = 4500, kKernelTimeoutMaxMs = 7000;
// The library's documented times, and what emulation may add to them.
constexpr double kCommandMs = 1000, kCloseMs = 300, kSlackMs = 150;
constexpr double kAtOnceMs = 50;
constexpr DWORD kSendTimeoutMs = 300;
// Frames one report carries: those sent while reports wait join them.
constexpr int kFramesPerReport =
    (CANFD_PACKET_MAX - CANFD_HEADER_SIZE) / static_cast<int>(sizeof(CANTxPacketStruct));
// Most a stalled adapter's queue and kernel can hold, with room to spare.
constexpr int kMostAccepted = (CANFD_TXQUEUE_SLOTS + kKernelQueued + 2) * kFramesPerReport;
constexpr int kTxCalls = kMostAccepted + 20;
constexpr int kBatch = 20;
// Long enough for the kernel to give up on a blocked report.
constexpr int kOutlastKernelMs = 6500;
constexpr int kLateMs = 1500;

int rig_failures = 0, lib_failures = 0;

void report(bool rig, bool ok, const std::string &what, const std::string &figures) {
  printf("%s  %s %s: %s\n", ok ? "PASS" : "FAIL", rig ? "RIG" : "LIB", what.c_str(),
         figures.c_str());
  if (!ok) ++(rig ? rig_failures : lib_failures);
}

std::string format(const char *f, double a, double b = 0) {
  char buf[160];
  snprintf(buf, sizeof buf, f, a, b);
  return buf;
}

// canfd-sim --usb with one adapter; its node, product and board id.
struct Sim {
  Child proc;
  char node[64] = {};
  unsigned pid = 0, bid = 0;

  bool start(const std::string &path, const std::vector<std::string> &extra) {
    std::vector<std::string> argv = {path, "--usb", "--quiet"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc = Child::spawn(argv);
    std::string line;
    if (proc.out.next(line, 60000) && sscanf(line.c_str(), "%63s %x %x", node, &bid, &pid) == 3)
      return true;
    printf("FAIL  RIG canfd-sim --usb printed no adapter ('%s')\n", line.c_str());
    ++rig_failures;
    proc.wait(0);
    return false;
  }
  // Stalls or resumes the adapter; the signal takes effect within a moment.
  void stall(bool on) const {
    kill(proc.pid, on ? SIGRTMIN : SIGRTMIN + 1);
    sleep_ms(200);
  }
  void stop() {
    kill(proc.pid, SIGTERM);
    const bool ended = proc.wait(10000);
    report(true, ended && proc.exited_zero(), "canfd-sim ends on SIGTERM", proc.how_it_ended());
  }
};

// ---- The rig: raw writes to a stalled adapter ---------------------------------

void raw_writes(Sim &sim) {
  const int fd = open(sim.node, O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    report(true, false, "raw writes", std::string("cannot open ") + sim.node);
    return;
  }
  sim.stall(true);
  BYTE request[CANFD_REPORT_SIZE] = {};  // report number 0, then the packet
  PackReadPacket(0x0000, 0, nullptr, request + 1);
  std::string figures;
  int quick = 0, err = 0;
  double blocked_ms = -1;
  for (int i = 0; i <= kKernelQueued; ++i) {
    const double t0 = now_ms();
    const ssize_t n = write(fd, request, sizeof request);
    const double ms = now_ms() - t0;
    if (n == static_cast<ssize_t>(sizeof request) && ms < kAtOnceMs) {
      ++quick;
      continue;
    }
    err = n < 0 ? errno : 0;
    blocked_ms = ms;
    break;
  }
  report(true,
         quick == kKernelQueued && err == ETIMEDOUT && blocked_ms >= kKernelTimeoutMinMs &&
             blocked_ms <= kKernelTimeoutMaxMs,
         "a stalled USB adapter holds the host's writes",
         std::to_string(quick) + " writes (O_NONBLOCK) returned at once, the next blocked " +
             format("%.0f ms", blocked_ms) + " and failed with " +
             (err ? strerror(err) : "no error"));
  sim.stall(false);
  // What the kernel kept goes to the adapter now; its answers to us.
  int answers = 0;
  for (double until = now_ms() + 2000; now_ms() < until && answers < quick;) {
    pollfd p{fd, POLLIN, 0};
    BYTE answer[CANFD_REPORT_SIZE];
    if (poll(&p, 1, 100) == 1 && read(fd, answer, sizeof answer) > 0 && answer[0] == CANFD_OP_DONE)
      ++answers;
  }
  report(true, answers == quick, "resumed, the adapter answers what the kernel kept",
         std::to_string(answers) + " of " + std::to_string(quick) + " answered");
  close(fd);
}

// ---- The library --------------------------------------------------------------

struct Timed {
  int rc;
  double ms;
};

template <typename F>
Timed timed(F f) {
  const double t0 = now_ms();
  const int rc = f();
  return {rc, now_ms() - t0};
}

CANFD_Frame_St frame(DWORD id) {
  CANFD_Frame_St f;
  memset(&f, 0, sizeof f);
  f.id = id;
  f.len = 8;
  for (BYTE i = 0; i < 8; ++i) f.data[i] = static_cast<BYTE>(id + i);
  return f;
}

// Frames on port 2 within wait_ms of quiet.
int drain_port2(WORD h, int wait_ms) {
  int n = 0;
  while (CANFD_WaitCANRxMsg(h, 2, static_cast<DWORD>(wait_ms)) == 0) {
    BYTE type, mode, rtr, fdf, dlc, rx[64];
    DWORD id, s, us;
    while (CANFD_GetCANRxMsg(h, 2, &type, &mode, &id, &rtr, &fdf, &dlc, rx, &s, &us) == 0) ++n;
  }
  return n;
}

void library_stalled(Sim &sim) {
  WORD h = 0;
  int rc = CANFD_OpenDevice(&h, static_cast<WORD>(sim.pid), sim.bid);
  WORD fw = 0;
  if (rc != 0 || CANFD_GetFwVer(h, &fw) != 0) {
    report(false, false, "open", "CANFD_OpenDevice " + hex(rc));
    return;
  }
  CANFD_ClearCANRxBuf(h, 2);
  sim.stall(true);

  // Commands.
  double worst = 0;
  std::string codes;
  bool all_failed = true;
  for (int i = 0; i < 2; ++i) {
    const Timed t = timed([&] { return CANFD_GetFwVer(h, &fw); });
    worst = std::max(worst, t.ms);
    all_failed &= t.rc != 0;
    codes += (i ? ", " : "") + hex(t.rc) + format(" in %.0f ms", t.ms);
  }
  report(false, all_failed && worst <= kCommandMs + kSlackMs, "commands fail within 1 s", codes);

  // Single frames.
  int accepted = 0, full = 0, other = 0, first_full = -1;
  double slowest = 0;
  for (int i = 0; i < kTxCalls; ++i) {
    CANFD_Frame_St f = frame(0x100 + static_cast<DWORD>(i));
    const Timed t = timed([&] { return CANFD_SetCANTxMsg(h, 1, 0, f.id, 0, 0, 8, f.data); });
    slowest = std::max(slowest, t.ms);
    if (t.rc == 0) {
      ++accepted;
    } else if (t.rc == CANFD_ERR_TX_QUEUE_FULL) {
      if (first_full < 0) first_full = i;
      ++full;
    } else {
      ++other;
    }
  }
  DWORD rx_dropped = 0, tx_refused = 0;
  CANFD_GetCANFrameCounts(h, 1, &rx_dropped, &tx_refused, 0);
  report(false,
         slowest <= kAtOnceMs && full > 0 && other == 0 && accepted <= kMostAccepted &&
             tx_refused == static_cast<DWORD>(full),
         "CANFD_SetCANTxMsg returns at once, the queue full is told and counted",
         std::to_string(kTxCalls) + " calls, slowest " + format("%.1f ms", slowest) + ": " +
             std::to_string(accepted) + " accepted, " + std::to_string(full) +
             " CANFD_ERR_TX_QUEUE_FULL (first at call " + std::to_string(first_full + 1) + "), " +
             std::to_string(other) + " other; refused count " + std::to_string(tx_refused));

  // A batch.
  CANFD_Frame_St batch[kBatch];
  for (int i = 0; i < kBatch; ++i) batch[i] = frame(0x200 + static_cast<DWORD>(i));
  DWORD sent = 0;
  const Timed b =
      timed([&] { return CANFD_SendCANFrames(h, 1, batch, kBatch, kSendTimeoutMs, &sent); });
  accepted += static_cast<int>(sent);
  // All accepted, or the time ran out with fewer: either way within the
  // timeout, and what was accepted is accounted for below.
  const bool consistent = (b.rc == 0 && sent == static_cast<DWORD>(kBatch)) ||
                          (b.rc == CANFD_ERR_TX_QUEUE_FULL && sent < static_cast<DWORD>(kBatch));
  report(false, b.ms <= kSendTimeoutMs + kSlackMs && consistent,
         "CANFD_SendCANFrames returns within its timeout",
         hex(b.rc) + format(" after %.0f ms (timeout %.0f ms), ", b.ms, kSendTimeoutMs) +
             std::to_string(sent) + " of " + std::to_string(kBatch) + " accepted");

  // The stall outlasts the kernel's timeout: a blocked report is lost.
  sleep_ms(kOutlastKernelMs);
  const int last_error = USBDEV_GetLastError(h);
  sim.stall(false);
  const int received = drain_port2(h, 1500);
  // Frames counted as not reaching the adapter since the refusals above.
  DWORD refused_now = 0;
  CANFD_GetCANFrameCounts(h, 1, nullptr, &refused_now, 0);
  const int counted = static_cast<int>(refused_now - tx_refused);
  report(false,
         received + counted == accepted &&
             (received == accepted || (received < accepted && last_error != 0)),
         "what the adapter never took is told and counted",
         std::to_string(accepted) + " frames accepted, " + std::to_string(received) +
             " received on port 2, " + std::to_string(counted) +
             " counted as lost; USBDEV_GetLastError " + hex(last_error));
  const Timed after = timed([&] { return CANFD_GetFwVer(h, &fw); });
  report(false, after.rc == 0 && after.ms <= kCommandMs, "commands work again once resumed",
         hex(after.rc) + format(" in %.0f ms", after.ms));

  // Close while stalled, with frames waiting.
  sim.stall(true);
  for (int i = 0; i < kTxCalls; ++i) {
    CANFD_Frame_St f = frame(0x300 + static_cast<DWORD>(i));
    if (CANFD_SetCANTxMsg(h, 1, 0, f.id, 0, 0, 8, f.data) != 0) break;
  }
  const Timed c = timed([&] { return CANFD_CloseDevice(h); });
  report(false, c.rc == 0 && c.ms <= kCloseMs + kSlackMs / 2,
         "CANFD_CloseDevice returns within 300 ms", hex(c.rc) + format(" in %.0f ms", c.ms));
  sim.stall(false);

  // And the adapter opens again.
  sleep_ms(500);
  rc = CANFD_OpenDevice(&h, static_cast<WORD>(sim.pid), sim.bid);
  const Timed again = timed([&] { return rc == 0 ? CANFD_GetFwVer(h, &fw) : rc; });
  report(false, again.rc == 0, "reopened after the stall",
         hex(rc) + ", CANFD_GetFwVer " + hex(again.rc) + format(" in %.0f ms", again.ms));
  if (rc == 0) CANFD_CloseDevice(h);
}

void library_late(Sim &sim) {
  WORD h = 0;
  const int rc = CANFD_OpenDevice(&h, static_cast<WORD>(sim.pid), sim.bid);
  DWORD status0 = 0, errors0 = 0, buffer0 = 0;
  if (rc != 0 || CANFD_GetCANStatus(h, 1, &status0, &errors0, &buffer0) != 0) {
    report(false, false, "open", "CANFD_OpenDevice " + hex(rc));
    return;
  }
  sim.stall(true);
  WORD fw = 0;
  const Timed late = timed([&] { return CANFD_GetFwVer(h, &fw); });
  sim.stall(false);
  // The late answer comes while the next command waits for its own.
  DWORD status = 0xDEAD, errors = 0xDEAD, buffer = 0;
  const Timed next = timed([&] { return CANFD_GetCANStatus(h, 1, &status, &errors, &buffer); });
  const Timed fw_again = timed([&] { return CANFD_GetFwVer(h, &fw); });
  report(false, late.rc != 0 && late.ms <= kCommandMs + kSlackMs,
         "a command answered too late fails within 1 s",
         hex(late.rc) + format(" in %.0f ms (answer %.0f ms late)", late.ms, kLateMs));
  report(false,
         next.rc == 0 && status == status0 && errors == errors0 && fw_again.rc == 0 && fw == 0x0102,
         "the late answer is not taken for the next command's",
         "CANFD_GetCANStatus " + hex(next.rc) + format(" in %.0f ms", next.ms) + ": status " +
             hex(status) + ", errors " + hex(errors) + " (before: " + hex(status0) + ", " +
             hex(errors0) + "); CANFD_GetFwVer " + hex(fw_again.rc) + ", version " + hex(fw));
  CANFD_CloseDevice(h);
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc != 2) {
    fprintf(stderr, "usage: canfd-vm-stall CANFD_SIM\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  Sim sim;
  if (!sim.start(argv[1], {"--stall", "take"})) return 1;
  raw_writes(sim);
  library_stalled(sim);
  sim.stop();

  Sim late;
  if (!late.start(argv[1], {"--stall", "late:" + std::to_string(kLateMs)})) return 1;
  library_late(late);
  late.stop();
  return rig_failures ? 1 : lib_failures ? 3 : 0;
}
