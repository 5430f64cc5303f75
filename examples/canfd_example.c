/*
 * libcanfd from C: lists the attached adapters, opens the first, sets the
 * bit rates of both ports, sends a CAN FD frame on port 1 and reads the
 * frames that arrive on port 2. Wire the two ports to one bus (the
 * simulated adapter of canfd-sim has them on one), or let other nodes send.
 */
#include <canfd.h>
#include <stdio.h>

/* Data bytes of a frame: classic frames carry at most 8. */
static unsigned data_bytes(BYTE fdf, BYTE dlc) {
  if (fdf) return CANFD_DLC2DBN[dlc & 0xF];
  return dlc > 8 ? 8 : dlc;
}

static int run(WORD dev) {
  WORD fw = 0;
  int rc = CANFD_GetFwVer(dev, &fw);
  if (rc != 0) return rc;
  printf("opened /dev/hidraw%u, firmware %04X\n", dev, fw);

  /* 500 kbit/s arbitration phase at 80 %, 2 Mbit/s data phase at 75 %. */
  for (BYTE port = 1; port <= 2; ++port) {
    if ((rc = CANFD_SetCANADBaudRate(dev, port, 500000, 2000000, 8000, 7500)) != 0) return rc;
    if ((rc = CANFD_ClearCANRxBuf(dev, port)) != 0) return rc;
  }

  /* A CAN FD frame with standard identifier 0x123 and 12 data bytes (DLC 9). */
  BYTE data[64] = {0};
  for (int i = 0; i < 12; ++i) data[i] = (BYTE)(0xA0 + i);
  if ((rc = CANFD_SetCANTxMsg(dev, 1, 0, 0x123, 0, 1, 9, data)) != 0) return rc;
  printf("port 1: sent FD 123 [12]\n");

  /* Every frame that port 2 receives until none comes for half a second. */
  int received = 0;
  while (CANFD_WaitCANRxMsg(dev, 2, 500) == 0) {
    BYTE type, mode, rtr, fdf, dlc, rx[64];
    DWORD id, sec, usec;
    rc = CANFD_GetCANRxMsg(dev, 2, &type, &mode, &id, &rtr, &fdf, &dlc, rx, &sec, &usec);
    if (rc != 0) return rc;
    printf("port 2: %u.%06u %s %0*X [%u]", (unsigned)sec, (unsigned)usec, fdf ? "FD" : "CAN",
           mode ? 8 : 3, (unsigned)id, data_bytes(fdf, dlc));
    for (unsigned i = 0; i < data_bytes(fdf, dlc) && !rtr; ++i) printf(" %02X", rx[i]);
    printf("\n");
    ++received;
  }
  printf("received %d frame(s)\n", received);
  return received > 0 ? 0 : CANFD_ERR_RX_BUF_EMPTY;
}

int main(void) {
  WORD pids[CANFD_LIST_SIZE];
  DWORD bids[CANFD_LIST_SIZE];
  const BYTE count = CANFD_ListDevice(pids, bids);
  if (count == 0) {
    fprintf(stderr, "no adapter found\n");
    return 1;
  }
  for (BYTE i = 0; i < count; ++i)
    printf("adapter %u: PID %04X BID %08X\n", i, pids[i], (unsigned)bids[i]);

  WORD dev = 0;
  int rc = CANFD_OpenDevice(&dev, pids[0], bids[0]);
  if (rc != 0) {
    fprintf(stderr, "cannot open the adapter: %d\n", rc);
    return 1;
  }
  rc = run(dev);
  CANFD_CloseDevice(dev);
  if (rc != 0) {
    fprintf(stderr, "failed: 0x%X\n", (unsigned)rc);
    return 1;
  }
  return 0;
}
