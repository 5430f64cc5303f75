// Two adapters on a real USB topology, open in one process: each is a
// `canfd-sim --usb` of its own (a gadget on its own dummy_hcd controller),
// so that one can be unplugged alone. Checks that the library lists both
// and opens both, that frames loop through each, that while one is
// unplugged the list shows only the other and the other keeps working in
// the same process, and that once re-plugged the first is listed again and
// reopens.
//
//   canfd-vm-discovery CANFD_SIM     (as root, with dummy_hcd and usbhid)
//
// Prints one line per check, PASS or FAIL; exit status 1 when one failed.
#include <sys/stat.h>

#include <cstring>

#include "canfd.h"
#include "vm_common.h"

namespace {

using namespace canfd_vm;

constexpr int kLoopFrames = 50;
constexpr double kCallMs = 1100;  // a command's second, and emulation's share

int failures = 0;

void report(bool ok, const std::string &what, const std::string &figures) {
  printf("%s  %s: %s\n", ok ? "PASS" : "FAIL", what.c_str(), figures.c_str());
  if (!ok) ++failures;
}

struct Adapter {
  Adapter(const char *board, const char *product) : bid_text(board), pid_text(product) {}
  const char *bid_text, *pid_text;
  Child sim;
  std::string node;
  WORD pid = 0;
  DWORD bid = 0;
  WORD h = 0;
  bool open = false;

  std::string name() const { return std::string(pid_text) + ":" + bid_text; }

  // Reads canfd-sim's node line: "/dev/hidrawN BID PID".
  bool node_line() {
    std::string line;
    char n[64];
    unsigned b = 0, p = 0;
    if (!sim.out.next(line, 60000) || sscanf(line.c_str(), "%63s %x %x", n, &b, &p) != 3)
      return false;
    node = n;
    bid = b;
    pid = static_cast<WORD>(p);
    return true;
  }
};

// The adapters the library finds, as "PID:BID" words.
std::string listing() {
  std::string out;
  if (CANFD_ScanDevice() < 0) return "(scan failed)";
  WORD pids[CANFD_LIST_SIZE] = {};
  DWORD bids[CANFD_LIST_SIZE] = {};
  const BYTE n = CANFD_ListDevice(pids, bids);
  for (BYTE i = 0; i < n && i < CANFD_LIST_SIZE; ++i) {
    char w[32];
    snprintf(w, sizeof w, "%s%04X:%08X", out.empty() ? "" : " ", pids[i],
             static_cast<unsigned>(bids[i]));
    out += w;
  }
  return out.empty() ? "(none)" : out;
}

// Sends kLoopFrames frames on port 1, one at a time, and counts those that
// port 2 receives in order.
int frame_loop(WORD h, DWORD id0) {
  int received = 0;
  for (int i = 0; i < kLoopFrames; ++i) {
    BYTE data[8] = {static_cast<BYTE>(i), 0xC3};
    int rc;
    const double until = now_ms() + 2000;
    while ((rc = CANFD_SetCANTxMsg(h, 1, 0, id0 + static_cast<DWORD>(i), 0, 0, 2, data)) ==
               CANFD_ERR_TX_QUEUE_FULL &&
           now_ms() < until)
      sleep_ms(1);
    if (rc != 0) break;
  }
  while (received < kLoopFrames && CANFD_WaitCANRxMsg(h, 2, 2000) == 0) {
    BYTE type, mode, rtr, fdf, dlc, rx[64];
    DWORD id, s, us;
    while (CANFD_GetCANRxMsg(h, 2, &type, &mode, &id, &rtr, &fdf, &dlc, rx, &s, &us) == 0) {
      if (id != id0 + static_cast<DWORD>(received) || rx[0] != received) return received;
      ++received;
    }
  }
  return received;
}

void loop_check(Adapter &a, DWORD id0, const std::string &what) {
  const int n = frame_loop(a.h, id0);
  report(n == kLoopFrames, what,
         std::to_string(n) + " of " + std::to_string(kLoopFrames) + " frames from port 1 to 2, " +
             "in order, through " + a.node);
}

bool gone(const std::string &node) {
  struct stat st;
  return stat(node.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc != 2) {
    fprintf(stderr, "usage: canfd-vm-discovery CANFD_SIM\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  Adapter a("1234ABCD", "0E31"), b("00C0FFEE", "0E32");
  for (Adapter *x : {&a, &b}) {
    x->sim =
        Child::spawn({argv[1], "--usb", "--quiet", "--bid", x->bid_text, "--pid", x->pid_text});
    if (!x->node_line()) {
      printf("FAIL  canfd-sim --usb printed no adapter for %s\n", x->name().c_str());
      a.sim.wait(0);
      b.sim.wait(0);
      return 1;
    }
  }
  const std::string both = "0E31:1234ABCD 0E32:00C0FFEE";
  const std::string both_swapped = "0E32:00C0FFEE 0E31:1234ABCD";
  std::string l = listing();
  report(l == both || l == both_swapped, "both adapters listed", l);

  for (Adapter *x : {&a, &b}) {
    const int rc = CANFD_OpenDevice(&x->h, x->pid, x->bid);
    x->open = rc == 0;
    report(x->open, "open " + x->name() + " while the other is open",
           hex(rc) + ", device index " + std::to_string(x->h) + " (" + x->node + ")");
  }
  if (!a.open || !b.open) return 1;
  loop_check(a, 0x100, "frames through " + a.name());
  loop_check(b, 0x200, "frames through " + b.name());

  // Unplug A alone.
  const double t0 = now_ms();
  kill(a.sim.pid, SIGUSR1);
  while (!gone(a.node) && now_ms() - t0 < 10000) sleep_ms(5);
  report(gone(a.node), "unplugging " + a.name() + " removes " + a.node,
         std::to_string(static_cast<int>(now_ms() - t0)) + " ms after the signal");
  l = listing();
  report(l == "0E32:00C0FFEE", "the list follows", l);
  loop_check(b, 0x300, b.name() + " keeps working in the same process");
  WORD fw = 0;
  double t = now_ms();
  const int after = CANFD_GetFwVer(a.h, &fw);
  const double after_ms = now_ms() - t;
  report(after != 0 && after_ms <= kCallMs, "a command on the unplugged adapter fails",
         hex(after) + " in " + std::to_string(static_cast<int>(after_ms)) + " ms");
  t = now_ms();
  const int closed = CANFD_CloseDevice(a.h);
  report(closed == 0 && now_ms() - t < 1000, "close of the unplugged adapter",
         hex(closed) + " in " + std::to_string(static_cast<int>(now_ms() - t)) + " ms");

  // Plug A in again.
  kill(a.sim.pid, SIGUSR2);
  const bool replugged = a.node_line();
  report(replugged, "re-plug makes a node again", replugged ? a.node : "no line");
  l = listing();
  report(l == both || l == both_swapped, "the list follows", l);
  const int rc = CANFD_OpenDevice(&a.h, a.pid, a.bid);
  report(rc == 0, "reopen " + a.name(), hex(rc) + " (" + a.node + ")");
  if (rc == 0) {
    loop_check(a, 0x400, "frames through " + a.name() + " again");
    loop_check(b, 0x500, "and through " + b.name());
    CANFD_CloseDevice(a.h);
  }
  CANFD_CloseDevice(b.h);
  for (Adapter *x : {&a, &b}) {
    kill(x->sim.pid, SIGTERM);
    const bool ended = x->sim.wait(10000);
    report(ended && x->sim.exited_zero(), "canfd-sim of " + x->name() + " ends on SIGTERM",
           x->sim.how_it_ended());
  }
  return failures ? 1 : 0;
}
