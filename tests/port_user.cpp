// Another program on the adapter, for the sharing tests: opens the adapter,
// does what its arguments say, prints "ready" and waits until its standard
// input closes (or it is killed); then, with "release", releases its ports
// before it closes the device.
//
//   canfd-test-port-user BOARD [use PORT | enable PORT | release]...
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "canfd.h"

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  const DWORD board = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 16));
  WORD h = 0;
  if (CANFD_OpenDevice(&h, 0x0E31, board) != 0) return 3;
  bool release = false;
  std::vector<BYTE> used;
  for (int i = 2; i < argc; ++i) {
    const std::string what = argv[i];
    if (what == "release") {
      release = true;
      continue;
    }
    if (i + 1 >= argc) return 2;
    const BYTE port = static_cast<BYTE>(std::atoi(argv[++i]));
    int rc = 0;
    if (what == "use") {
      int fd = -1;
      rc = CANFD_GetCANRxEventFd(h, port, &fd);
    } else if (what == "enable") {
      rc = CANFD_SetCANOPMode(h, port, 1, 0, 1);
    } else {
      return 2;
    }
    if (rc != 0) {
      std::printf("%s %u: %s\n", what.c_str(), port, CANFD_GetResultText(rc));
      return 4;
    }
    used.push_back(port);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  if (release)
    for (BYTE port : used) CANFD_ReleaseCANPort(h, port, nullptr);
  CANFD_CloseDevice(h);
  return 0;
}
