/* Packet builders, frame records and the per-port frame rings of libcanfd. */
#ifndef CANFD_COMM_H
#define CANFD_COMM_H

#include "canfd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Packet opcodes. */
#define CANFD_OP_READ 0x24  /* '$' */
#define CANFD_OP_WRITE 0x23 /* '#' */
#define CANFD_OP_LARGE 0x3A /* ':' */
#define CANFD_OP_DONE 0x21  /* '!' */
#define CANFD_OP_FAIL 0x3F  /* '?' */

#define CANFD_HEADER_SIZE 6
#define CANFD_PACKET_MAX 512

/* Ring capacities: the storage size less one record. */
#define CANFD_RX_RING_CAPACITY (CANFD_RX_RING_SIZE - 80)
#define CANFD_TX_RING_CAPACITY (CANFD_TX_RING_SIZE - 72)

/* Frame records; multi-byte fields little-endian, bit fields from bit 0. */
typedef struct {
  DWORD id : 29;
  DWORD rtr : 1;
  DWORD xtd : 1;
  DWORD esi : 1;
  WORD dlc : 4;
  WORD brs : 1;
  WORD fdf : 1;
  WORD eve : 2;
  WORD : 8;
  WORD size;
  BYTE data[64];
  DWORD second;
  DWORD usecond;
} CANRxPacketStruct;

typedef struct {
  DWORD id : 29;
  DWORD rtr : 1;
  DWORD xtd : 1;
  DWORD esi : 1;
  WORD dlc : 4;
  WORD brs : 1;
  WORD fdf : 1;
  WORD : 10;
  WORD size;
  BYTE data[64];
} CANTxPacketStruct;

typedef struct {
  DWORD id : 29;
  DWORD rtr : 1;
  DWORD xtd : 1;
  DWORD esi : 1;
  WORD dlc : 4;
  WORD brs : 1;
  WORD fdf : 1;
  WORD : 10;
  WORD size;
  BYTE data[64];
  DWORD period;
  DWORD counter;
} CANTxHWSendPacketStruct;

#ifdef __cplusplus
static_assert(sizeof(CANRxPacketStruct) == 80, "received-frame record is 80 bytes");
static_assert(sizeof(CANTxPacketStruct) == 72, "transmitted-frame record is 72 bytes");
static_assert(sizeof(CANTxHWSendPacketStruct) == 80, "hardware-send record is 80 bytes");
#else
_Static_assert(sizeof(CANRxPacketStruct) == 80, "received-frame record is 80 bytes");
_Static_assert(sizeof(CANTxPacketStruct) == 72, "transmitted-frame record is 72 bytes");
_Static_assert(sizeof(CANTxHWSendPacketStruct) == 80, "hardware-send record is 80 bytes");
#endif

/* Counters kept for compatibility; nothing updates them. */
extern DWORD CAN1RxBufCnt;
extern DWORD CAN2RxBufCnt;
extern DWORD CAN1TxBufCnt;
extern DWORD CAN2TxBufCnt;

/* Packet builders: each returns wDataLen + 6. */
void AppendProtocolHeader(BYTE byOPCode, WORD wFCCode, WORD wDataLen, BYTE *byPkt);
int PackReadPacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt);
int PackWritePacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt);
int PackLargeDataPacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt);

/* Record initialisation and the byte rings (port 1 or 2, else -1). */
void CANBufStructInit(PKALVEN_CANFD_CAN_Buf_St pCAN_FD);
int CANRxBufIsFull(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
int CANTxBufIsFull(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
int CANRxBufIsEmpty(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
int CANTxBufIsEmpty(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
int CANRxBufClear(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
int CANTxBufClear(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
int CANRxBufDataCount(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, DWORD *o_dwCount);
int CANTxBufDataCount(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, DWORD *o_dwCount);
int CANRxBufWriteN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                   DWORD i_dwLen);
int CANTxBufWriteN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                   DWORD i_dwLen);
int CANRxBufReadN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                  DWORD i_dwLen);
int CANTxBufReadN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                  DWORD i_dwLen);

#ifdef __cplusplus
}
#endif

#endif /* CANFD_COMM_H */
