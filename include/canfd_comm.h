/**
 * @file canfd_comm.h
 * @brief Packet builders, frame records and the per-port frame rings of libcanfd.
 *
 * Every packet between the library and the adapter starts with a 6-byte
 * header: the opcode, a 0 byte, the function code and the payload length
 * (both 16-bit little-endian). A report to the adapter is the report number
 * (0) and the packet; the adapter answers a '$' read or '#' write request
 * with '!' (done, with the values read) or '?' (refused, with its error code
 * as the first payload byte). Frames travel in ':' packets, as frame
 * records.
 *
 * None of these functions takes a lock or talks to the adapter.
 */
#ifndef CANFD_COMM_H
#define CANFD_COMM_H

#include "canfd.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @defgroup comm_packets Packets
 * @brief Packet opcodes and sizes, and the packet builders.
 *
 * Packet builders: each returns wDataLen + 6.
 * @{
 */

/** @name Packet opcodes (byte 0 of a packet) */
/** @{ */
#define CANFD_OP_READ 0x24  /**< '$': read request. */
#define CANFD_OP_WRITE 0x23 /**< '#': write request. */
#define CANFD_OP_LARGE 0x3A /**< ':': large data: frames, and the resets. */
#define CANFD_OP_DONE 0x21  /**< '!': the adapter carried out the request. */
#define CANFD_OP_FAIL 0x3F  /**< '?': the adapter refused the request. */
/** @} */

/** Bytes of the packet header: opcode, 0, function code, payload length. */
#define CANFD_HEADER_SIZE 6
/** Largest packet: header and payload. */
#define CANFD_PACKET_MAX 512

/** @} */

/**
 * @defgroup comm_rings Frame rings
 * @brief Record initialisation and the byte rings of a device record.
 *
 * Record initialisation and the byte rings (port 1 or 2, else -1).
 *
 * Each port of a device record has a receive ring and a transmit ring of
 * bytes (see KALVEN_CANFD_CAN_Buf_St). A ring's capacity is its storage less
 * one record. The ring functions take the port (1 or 2) and return -1 for
 * any other; they take no lock: the caller holds the ring's mutex of the
 * record (mutex_CANRx_P1 for port 1's receive ring, and so on), or owns the
 * record alone.
 * @{
 */

/** Capacity of a receive ring: its storage less one record. */
#define CANFD_RX_RING_CAPACITY (CANFD_RX_RING_SIZE - 80)
/** Capacity of a transmit ring: its storage less one record. */
#define CANFD_TX_RING_CAPACITY (CANFD_TX_RING_SIZE - 72)

/** @} */

/**
 * @defgroup comm_records Frame records
 * @brief The frame records that travel in frame packets.
 *
 * Frame records; multi-byte fields little-endian, bit fields from bit 0.
 * The layouts are the same on every supported target (static assertions pin
 * their sizes). A standard identifier sits in bits 18-28 of id, an extended
 * one in bits 0-28.
 * @{
 */

/** A received frame, as the adapter reports it (80 bytes). */
typedef struct {
  DWORD id : 29; /**< Identifier (a standard one in bits 18-28). */
  DWORD rtr : 1; /**< Remote frame. */
  DWORD xtd : 1; /**< Extended (29-bit) identifier. */
  DWORD esi : 1; /**< CAN FD: the sender was error passive. */
  WORD dlc : 4;  /**< Data length code. */
  WORD brs : 1;  /**< CAN FD: bit rate switch. */
  WORD fdf : 1;  /**< CAN FD frame. */
  WORD eve : 2;  /**< The adapter's frame type code. */
  WORD : 8;      /**< Unused. */
  WORD size;     /**< Data bytes. */
  BYTE data[64]; /**< Data. */
  DWORD second;  /**< The adapter's time stamp, seconds. */
  DWORD usecond; /**< The adapter's time stamp, microseconds. */
} CANRxPacketStruct;

/** A frame to send (72 bytes). */
typedef struct {
  DWORD id : 29; /**< Identifier (a standard one in bits 18-28). */
  DWORD rtr : 1; /**< Remote frame. */
  DWORD xtd : 1; /**< Extended (29-bit) identifier. */
  DWORD esi : 1; /**< CAN FD: error state indicator. */
  WORD dlc : 4;  /**< Data length code. */
  WORD brs : 1;  /**< CAN FD: bit rate switch. */
  WORD fdf : 1;  /**< CAN FD frame. */
  WORD : 10;     /**< Unused. */
  WORD size;     /**< Data bytes. */
  BYTE data[64]; /**< Data. */
} CANTxPacketStruct;

/** The frame of hardware periodic sending, with its period and count (80 bytes). */
typedef struct {
  DWORD id : 29; /**< Identifier (a standard one in bits 18-28). */
  DWORD rtr : 1; /**< Remote frame. */
  DWORD xtd : 1; /**< Extended (29-bit) identifier. */
  DWORD esi : 1; /**< CAN FD: error state indicator. */
  WORD dlc : 4;  /**< Data length code. */
  WORD brs : 1;  /**< CAN FD: bit rate switch. */
  WORD fdf : 1;  /**< CAN FD frame. */
  WORD : 10;     /**< Unused. */
  WORD size;     /**< Data bytes. */
  BYTE data[64]; /**< Data. */
  DWORD period;  /**< Period in milliseconds. */
  DWORD counter; /**< Frames to send (0: until the mode is switched off). */
} CANTxHWSendPacketStruct;

/** @cond */
#ifdef __cplusplus
static_assert(sizeof(CANRxPacketStruct) == 80, "received-frame record is 80 bytes");
static_assert(sizeof(CANTxPacketStruct) == 72, "transmitted-frame record is 72 bytes");
static_assert(sizeof(CANTxHWSendPacketStruct) == 80, "hardware-send record is 80 bytes");
#else
_Static_assert(sizeof(CANRxPacketStruct) == 80, "received-frame record is 80 bytes");
_Static_assert(sizeof(CANTxPacketStruct) == 72, "transmitted-frame record is 72 bytes");
_Static_assert(sizeof(CANTxHWSendPacketStruct) == 80, "hardware-send record is 80 bytes");
#endif
/** @endcond */

/** @name Counters kept for compatibility; nothing updates them (they stay 0). */
/** @{ */
extern DWORD CAN1RxBufCnt; /**< Always 0. */
extern DWORD CAN2RxBufCnt; /**< Always 0. */
extern DWORD CAN1TxBufCnt; /**< Always 0. */
extern DWORD CAN2TxBufCnt; /**< Always 0. */
/** @} */

/** @} */

/**
 * @addtogroup comm_packets
 * @{
 */

/**
 * Writes the 6-byte packet header.
 *
 * @param byOPCode opcode, CANFD_OP_...
 * @param wFCCode function code.
 * @param wDataLen payload length in bytes.
 * @param[out] byPkt the packet; receives bytes 0 to 5.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
void AppendProtocolHeader(BYTE byOPCode, WORD wFCCode, WORD wDataLen, BYTE *byPkt);
/**
 * Builds a read ('$') packet: zeros the packet, writes the header, copies
 * the payload.
 *
 * @param wFCCode function code.
 * @param wDataLen payload length in bytes, up to CANFD_PACKET_MAX - 6 for a
 *        packet that the adapter takes (not checked).
 * @param[in] byData the payload; may be NULL when wDataLen is 0.
 * @param[out] byPkt receives the packet; holds wDataLen + 6 bytes.
 * @return wDataLen + 6, the packet's length.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
int PackReadPacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt);
/**
 * Builds a write ('#') packet, as PackReadPacket.
 *
 * @param wFCCode function code.
 * @param wDataLen payload length in bytes.
 * @param[in] byData the payload; may be NULL when wDataLen is 0.
 * @param[out] byPkt receives the packet; holds wDataLen + 6 bytes.
 * @return wDataLen + 6.
 */
int PackWritePacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt);
/**
 * Builds a large data (':') packet, as PackReadPacket.
 *
 * @param wFCCode function code.
 * @param wDataLen payload length in bytes.
 * @param[in] byData the payload; may be NULL when wDataLen is 0.
 * @param[out] byPkt receives the packet; holds wDataLen + 6 bytes.
 * @return wDataLen + 6.
 */
int PackLargeDataPacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt);

/** @} */

/**
 * @addtogroup comm_rings
 * @{
 */

/**
 * Initialises a device record: marks it open (IsDeviceOpen 1), empties the
 * transmit report queue and the four rings, and initialises its six
 * mutexes. CANFD_OpenDevice calls it on every new record; never call it on
 * a record in use.
 *
 * @param pCAN_FD the record.
 */
void CANBufStructInit(PKALVEN_CANFD_CAN_Buf_St pCAN_FD);
/**
 * Whether a port's receive ring is full.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @return 1 full (it holds CANFD_RX_RING_CAPACITY bytes), 0 not, -1 bad port.
 */
int CANRxBufIsFull(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
/**
 * Whether a port's transmit ring is full.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @return 1 full (it holds CANFD_TX_RING_CAPACITY bytes), 0 not, -1 bad port.
 */
int CANTxBufIsFull(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
/**
 * Whether a port's receive ring is empty.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @return 1 empty, 0 not, -1 bad port.
 */
int CANRxBufIsEmpty(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
/**
 * Whether a port's transmit ring is empty.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @return 1 empty, 0 not, -1 bad port.
 */
int CANTxBufIsEmpty(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
/**
 * Empties a port's receive ring.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @return 0, or -1 for a bad port.
 */
int CANRxBufClear(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
/**
 * Empties a port's transmit ring.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @return 0, or -1 for a bad port.
 */
int CANTxBufClear(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort);
/**
 * The number of bytes in a port's receive ring.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_dwCount receives the byte count.
 * @return 0, or -1 for a bad port.
 */
int CANRxBufDataCount(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, DWORD *o_dwCount);
/**
 * The number of bytes in a port's transmit ring.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_dwCount receives the byte count.
 * @return 0, or -1 for a bad port.
 */
int CANTxBufDataCount(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, DWORD *o_dwCount);
/**
 * Appends bytes to a port's receive ring: all of them, or none.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @param[in] i_byElem the bytes.
 * @param i_dwLen number of bytes.
 * @return i_dwLen, or -1 when they do not fit, i_dwLen is 0 or the port is bad.
 */
int CANRxBufWriteN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                   DWORD i_dwLen);
/**
 * Appends bytes to a port's transmit ring: all of them, or none.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @param[in] i_byElem the bytes.
 * @param i_dwLen number of bytes.
 * @return i_dwLen, or -1 when they do not fit, i_dwLen is 0 or the port is bad.
 */
int CANTxBufWriteN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                   DWORD i_dwLen);
/**
 * Takes the oldest bytes of a port's receive ring.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] i_byElem receives the bytes.
 * @param i_dwLen number of bytes.
 * @return 0, or -1 when fewer bytes wait (nothing is taken) or the port is bad.
 */
int CANRxBufReadN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                  DWORD i_dwLen);
/**
 * Takes the oldest bytes of a port's transmit ring.
 *
 * @param pCAN_FD the record.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] i_byElem receives the bytes.
 * @param i_dwLen number of bytes.
 * @return 0, or -1 when fewer bytes wait (nothing is taken) or the port is bad.
 */
int CANTxBufReadN(PKALVEN_CANFD_CAN_Buf_St pCAN_FD, BYTE i_byCANPort, BYTE *i_byElem,
                  DWORD i_dwLen);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* CANFD_COMM_H */
