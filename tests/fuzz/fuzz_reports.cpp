// Fuzz target: arbitrary reports from the adapter reach an open device while
// the application counts, takes and clears frames and runs commands. Nothing
// may crash or copy out of bounds, and the rings keep their invariants.
// Runs under the hidraw sandbox preload (LD_PRELOAD) with a simulated adapter.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "canfd.h"
#include "sim.h"

namespace {

canfd_sim::Sandbox *sandbox;
canfd_sim::Adapter *adapter;
WORD dev;

[[noreturn]] void fail(const char *what, long value) {
  fprintf(stderr, "invariant broken: %s (%ld)\n", what, value);
  abort();
}

void check_count(BYTE port) {
  DWORD n = 0;
  const int rc = CANFD_GetCANRxMsgCount(dev, port, &n);
  if (rc != 0) fail("count result", rc);
  if (n > 10239) fail("records counted", n);
}

void take(BYTE port) {
  // Exactly 64 bytes on the heap: a longer copy is caught by the sanitizer.
  std::unique_ptr<BYTE[]> data(new BYTE[64]);
  BYTE type = 0, mode = 0, rtr = 0, fdf = 0, dlc = 0;
  DWORD id = 0, s = 0, us = 0;
  const int rc =
      CANFD_GetCANRxMsg(dev, port, &type, &mode, &id, &rtr, &fdf, &dlc, data.get(), &s, &us);
  if (rc == CANFD_ERR_RX_BUF_EMPTY) return;
  if (rc != 0) fail("take result", rc);
  if (type > 3 || mode > 1 || rtr > 1 || fdf > 1 || dlc > 15) fail("decoded field", dlc);
  if (mode == 0 && id > 0x7FF) fail("standard identifier", id);
  if (id > 0x1FFFFFFF) fail("identifier", id);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (getenv("LD_PRELOAD") == nullptr || strstr(getenv("LD_PRELOAD"), "canfd-sandbox") == nullptr) {
    fprintf(stderr, "run with LD_PRELOAD=<build>/preload/$PLATFORM/libcanfd-sandbox.so\n");
    exit(2);
  }
  sandbox = new canfd_sim::Sandbox();
  adapter = &sandbox->add({});
  // The adapter would keep every report the host sends, for ever: a long
  // run ran out of memory.
  adapter->set_recording(false);
  if (CANFD_OpenDevice(&dev, 0x0E31, 0x1234ABCD) != 0) {
    fprintf(stderr, "cannot open the simulated adapter\n");
    exit(2);
  }
  return 0;
}

// Input: records of [length byte][action byte][length bytes of report].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t pos = 0;
  while (pos + 2 <= size) {
    size_t len = data[pos];
    const uint8_t action = data[pos + 1];
    pos += 2;
    // Large reports come from a length byte of 0xFF followed by a full report.
    if (len == 0xFF) len = 513;
    if (len > size - pos) len = size - pos;
    if (len > 0) adapter->send_report(data + pos, len);
    pos += len;
    const BYTE port = (action & 1) ? 2 : 1;
    switch (action >> 1 & 7) {
      case 0:
        check_count(port);
        break;
      case 1:
      case 2:
        take(port);
        break;
      case 3:
        CANFD_ClearCANRxBuf(dev, port);
        break;
      case 4: {
        WORD fw = 0;
        CANFD_GetFwVer(dev, &fw);  // any result is fine; only safety matters here
        break;
      }
      case 5: {
        BYTE frame[64] = {1, 2, 3};
        const int rc =
            CANFD_SetCANTxMsg(dev, port, action & 0x40, 0x123, 0, action & 0x80, 8, frame);
        if (rc != 0 && rc != CANFD_ERR_TX_QUEUE_FULL && rc != CANFD_ERR_USB_WRITE) fail("send", rc);
        break;
      }
      default:
        break;
    }
  }
  check_count(1);
  check_count(2);
  // Drain the rings, so that every input starts from the same state.
  CANFD_ClearCANRxBuf(dev, 1);
  CANFD_ClearCANRxBuf(dev, 2);
  return 0;
}
