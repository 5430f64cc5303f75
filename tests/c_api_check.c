/* The public headers compile as C11 and the API links from C. */
#include <stdio.h>
#include <string.h>

#include "Timer.h"
#include "canfd.h"
#include "canfd_comm.h"

int main(void) {
  int failures = 0;
  /* Nothing is open: every device call refuses the index. */
  if (CANFD_CloseDevice(3) != CANFD_ERR_DEVICE_NOT_OPEN) ++failures;
  WORD fw = 0;
  if (CANFD_GetFwVer(3, &fw) != CANFD_ERR_DEVICE_NOT_OPEN) ++failures;
  if (CANFD_DLC2DBN[15] != 64 || CANFD_DLC2DBN[9] != 12) ++failures;

  BYTE pkt[6];
  if (PackReadPacket(0x0102, 0, NULL, pkt) != 6) ++failures;
  const BYTE expect[6] = {0x24, 0x00, 0x02, 0x01, 0x00, 0x00};
  if (memcmp(pkt, expect, 6) != 0) ++failures;

  /* The bit fields of the frame records sit where the wire puts them. */
  CANRxPacketStruct rec;
  memset(&rec, 0, sizeof rec);
  rec.xtd = 1;
  rec.fdf = 1;
  const BYTE *b = (const BYTE *)&rec;
  if (b[3] != 0x40 || b[4] != 0x20) ++failures;
  if (_time_get_tod() == 0) ++failures;

  printf("%s\n", failures ? "C API check failed" : "C API check passed");
  return failures ? 1 : 0;
}
