// The command round trip on a real hidraw node: a firmware-version request
// written to the node and its answer read back, raw (the library closed),
// then the same command through the library (CANFD_GetFwVer). Prints
// min/median/p99/max of each and the ratio of the medians.
//
//   canfd-vm-roundtrip NODE PID BID [RAW_CALLS LIB_CALLS]
#include <cstring>

#include "canfd.h"
#include "canfd_comm.h"
#include "vm_common.h"

namespace {

using namespace canfd_vm;

[[noreturn]] void die(const char *what) {
  fprintf(stderr, "canfd-vm-roundtrip: %s\n", what);
  exit(1);
}

std::vector<double> raw_round_trips(const char *node, int n) {
  const int fd = open(node, O_RDWR);
  if (fd < 0) die("cannot open the node");
  BYTE request[CANFD_REPORT_SIZE] = {};  // report number 0, then the packet
  PackReadPacket(0x0000, 0, nullptr, request + 1);
  BYTE answer[CANFD_REPORT_SIZE];
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    const double t0 = now_ms();
    if (write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request))
      die("write to the node failed");
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1 || read(fd, answer, sizeof answer) <= 0 ||
        answer[0] != CANFD_OP_DONE)
      die("no answer on the node");
    us.push_back((now_ms() - t0) * 1e3);
  }
  close(fd);
  return us;
}

std::vector<double> library_round_trips(WORD pid, DWORD bid, int n) {
  WORD h = 0;
  if (CANFD_OpenDevice(&h, pid, bid) != 0) die("CANFD_OpenDevice failed");
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    WORD fw = 0;
    const double t0 = now_ms();
    if (CANFD_GetFwVer(h, &fw) != 0) die("CANFD_GetFwVer failed");
    us.push_back((now_ms() - t0) * 1e3);
  }
  CANFD_CloseDevice(h);
  return us;
}

void row(const char *name, const std::vector<double> &us) {
  printf("| %-36s | %5zu | %7.0f | %7.0f | %7.0f | %7.0f |\n", name, us.size(),
         *std::min_element(us.begin(), us.end()), median(us), percentile(us, 99),
         *std::max_element(us.begin(), us.end()));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4 && argc != 6) {
    fprintf(stderr, "usage: canfd-vm-roundtrip NODE PID BID [RAW_CALLS LIB_CALLS]\n");
    return 2;
  }
  const WORD pid = static_cast<WORD>(strtoul(argv[2], nullptr, 16));
  const DWORD bid = static_cast<DWORD>(strtoul(argv[3], nullptr, 16));
  const int raw_n = argc == 6 ? atoi(argv[4]) : 2000;
  const int lib_n = argc == 6 ? atoi(argv[5]) : 500;
  if (raw_n < 1 || lib_n < 1) die("call counts must be positive");

  const std::vector<double> raw = raw_round_trips(argv[1], raw_n);
  const std::vector<double> lib = library_round_trips(pid, bid, lib_n);
  printf("Command round trip on %s (firmware version read, one at a time):\n\n", argv[1]);
  printf("| %-36s | calls | min us  | med us  | p99 us  | max us  |\n", "path");
  printf(
      "|--------------------------------------|-------|---------|---------|---------|---------|\n");
  row("raw write() request + read() answer", raw);
  row("library, CANFD_GetFwVer", lib);
  printf("\nlibrary/raw: %.2f (medians), %.2f (p99)\n", median(lib) / median(raw),
         percentile(lib, 99) / percentile(raw, 99));
  return 0;
}
