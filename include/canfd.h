/*
 * libcanfd: user-space driver for the two-port USB CAN FD adapter.
 *
 * The adapter is a USB HID device reached through /dev/hidrawN. Every call
 * that works on an open adapter takes its device index (the hidraw number N,
 * returned by CANFD_OpenDevice) and returns 0 on success or a result code
 * below. Calls that exchange a command with the adapter may also return the
 * adapter's own error code (0 to 255) from a refused ('?') answer.
 *
 * Threads
 * -------
 * - Any call may come from any thread, and any number of threads may call
 *   at once, on one device or on several.
 * - Open, close and the scans (CANFD_ScanDevice, CANFD_ListDevice,
 *   get_hidraw_num) take one library lock: they run one at a time. The scan
 *   list List is rewritten by every scan; read it while no scan runs.
 * - Close may be called while other threads use the device: calls in
 *   progress return CANFD_ERR_DEVICE_NOT_OPEN (a blocked CANFD_WaitCANRxMsg
 *   or a command waiting for its answer wakes at once), close waits for them
 *   to leave, and any later call returns CANFD_ERR_DEVICE_NOT_OPEN. A second
 *   close of the same device returns CANFD_ERR_DEVICE_NOT_OPEN.
 * - Commands to one device run one at a time (each waits for the one before
 *   it to be answered); the two ports' frame calls do not wait for each
 *   other, nor for commands.
 *
 * What blocks, and for how long
 * -----------------------------
 * - Commands wait for the adapter's answer: at most one second each (the
 *   filter list calls exchange up to three commands). CANFD_OpenDevice
 *   sends two commands with 10 ms each.
 * - CANFD_SetCANTxMsg never waits for the adapter: it queues the frame for
 *   the transmit worker, or returns CANFD_ERR_TX_QUEUE_FULL at once when
 *   eight reports already wait.
 * - CANFD_GetCANRxMsg, CANFD_GetCANRxMsgCount and the clears never wait.
 *   CANFD_WaitCANRxMsg waits up to its timeout.
 * - CANFD_CloseDevice first lets the transmit worker write the frames it
 *   has accepted, for at most 250 ms in all, then stops both workers.
 *
 * An unplugged adapter
 * --------------------
 * Once the node reports that its device is gone, the device's commands and
 * frame calls return CANFD_ERR_DEVICE_GONE (waiting callers wake at once);
 * frames already received can still be taken. Close the device, and open
 * it again once the adapter is back.
 *
 * This header is valid C and C++.
 */
#ifndef CANFD_H
#define CANFD_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef unsigned int BOOL;

/* Result codes. 1, 2 and 5 are plain numbers returned by CANFD_OpenDevice:
 * the node did not open (1), a worker thread did not start (2), no memory or
 * no eventfd (5). */
#define CANFD_ERR_INVALID_INDEX 0x10001
#define CANFD_ERR_DEVICE_ALREADY_OPEN 0x10002
#define CANFD_ERR_DEVICE_NOT_FOUND 0x10003
#define CANFD_ERR_SCAN_FAILED 0x10004
#define CANFD_ERR_DATA_TOO_LONG 0x10005
#define CANFD_ERR_USB_WRITE 0x10006
#define CANFD_ERR_TX_QUEUE_FULL 0x10007
#define CANFD_ERR_TOO_MANY_DEVICES 0x1000A
#define CANFD_ERR_DEVICE_NOT_OPEN 0x1000B
#define CANFD_ERR_CMD_TIMEOUT 0x10100
#define CANFD_ERR_INVALID_PORT 0x10101
#define CANFD_ERR_RX_BUF_EMPTY 0x10102
#define CANFD_ERR_TX_BUF_FULL 0x10103
#define CANFD_ERR_INVALID_PARAM 0x10104
#define CANFD_ERR_INVALID_FILTER_SIZE 0x10105
#define CANFD_ERR_DEVICE_GONE 0x1000C /* the adapter was unplugged */

/* One entry of the table of result codes. */
typedef struct {
  int code;         /* e.g. CANFD_ERR_TX_QUEUE_FULL */
  const char *name; /* "CANFD_ERR_TX_QUEUE_FULL" */
  const char *text; /* "transmit queue full" */
} CANFD_ResultCode_St;

/* The library's result codes: stores the table's address in *o_table and
 * returns the number of entries. */
int CANFD_GetResultCodes(const CANFD_ResultCode_St **o_table);
/* A short description of any result: "success" for 0, the table's text for
 * a result code, a description of the adapter's refusal for 1 to 255 (the
 * 1, 2 and 5 of CANFD_OpenDevice are told in its comment). Never NULL. */
const char *CANFD_GetResultText(int code);

/* Sizes of the device record's buffers. */
#define CANFD_REPORT_SIZE 513     /* report number byte + 512 packet bytes */
#define CANFD_TXQUEUE_SLOTS 8     /* reports in the transmit report queue */
#define CANFD_RX_RING_SIZE 819200 /* 10240 received-frame records */
#define CANFD_TX_RING_SIZE 9216   /* 128 transmitted-frame records */
#define CANFD_MAX_DEVICES 128     /* device indices 0 to 127 */
#define CANFD_MAX_OPEN_DEVICES 8
#define CANFD_LIST_SIZE 8

/* One outgoing report of the transmit report queue. */
typedef struct {
  BYTE data[CANFD_REPORT_SIZE]; /* byte 0 is the report number (0) */
  int size;                     /* unused: reports always go out whole */
} USBDEV_TxBuf_St;

/* Per-device record, one per open adapter. */
typedef struct {
  int fd;
  BYTE hidNum;
  WORD PID;
  DWORD BID;
  BYTE IsDeviceOpen;
  int event_fd;
  uint32_t LastError;
  USBDEV_TxBuf_St TxBuf[CANFD_TXQUEUE_SLOTS];
  int TxIn;
  int TxOut;
  int TxCnt;
  pthread_mutex_t mutex_USBDevTx;
  pthread_mutex_t mutex_CANTx_P1;
  pthread_mutex_t mutex_CANTx_P2;
  pthread_mutex_t mutex_CANRx_P1;
  pthread_mutex_t mutex_CANRx_P2;
  pthread_mutex_t mutex_NormPkt;
  DWORD BUFF_RX_Larg_C1_Start;
  DWORD BUFF_RX_Larg_C1_End;
  DWORD BUFF_RX_Larg_C1_Count;
  DWORD BUFF_RX_Larg_C2_Start;
  DWORD BUFF_RX_Larg_C2_End;
  DWORD BUFF_RX_Larg_C2_Count;
  DWORD BUFF_TX_Larg_C1_Start;
  DWORD BUFF_TX_Larg_C1_End;
  DWORD BUFF_TX_Larg_C1_Count;
  DWORD BUFF_TX_Larg_C2_Start;
  DWORD BUFF_TX_Larg_C2_End;
  DWORD BUFF_TX_Larg_C2_Count;
  BYTE BUFF_RX_NormPkt[512];
  BYTE BUFF_RX_LargPkt_C1[CANFD_RX_RING_SIZE];
  BYTE BUFF_RX_LargPkt_C2[CANFD_RX_RING_SIZE];
  BYTE BUFF_TX_LargPkt_C1[CANFD_TX_RING_SIZE];
  BYTE BUFF_TX_LargPkt_C2[CANFD_TX_RING_SIZE];
  BYTE m_byNormalPktArrive;
} KALVEN_CANFD_CAN_Buf_St, *PKALVEN_CANFD_CAN_Buf_St;

/* Worker control block, one per open device. */
typedef struct receivethread thread_t;
struct receivethread {
  int TransmitHandle;
  int ReceiveHandle;
  int enable_rxthread;
  int enable_txthread;
  pthread_t RxThread;
  pthread_t TxThread;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  WORD (*rxthread_func)(thread_t *thread, BOOL Flage);
  WORD (*txthread_func)(thread_t *thread, BOOL Flage);
};

/* One entry of the scan list; Dev_hidNum 0xFFFFFFFF marks an empty entry. */
typedef struct ListPARM {
  unsigned int Dev_hidNum;
  WORD Dev_PID;
  DWORD Dev_BID;
} ListDev;

/* Adapters found by the last scan, in directory order. */
extern ListDev List[CANFD_LIST_SIZE];

/* Data length code (0-15) to data byte count. */
extern const BYTE CANFD_DLC2DBN[16];

/* Device index validation and the sticky transmit error. */
int USBDEV_CheckDeviceValid(WORD hidnum);
int USBDEV_GetLastError(WORD hidnum);

/* Discovery through /sys/class/hidraw. */
int CANFD_ScanDevice(void);
BYTE CANFD_ListDevice(WORD *o_wPID, DWORD *o_dwBID);
int get_hidraw_num(WORD i_wpid, DWORD i_wbid, int *hidnum);
int getserialnum(BYTE num, char *buffer, size_t bufferSize);

/* Opening and closing; the worker control block. */
int CANFD_OpenDevice(WORD *o_wDevice_id, WORD i_wpid, DWORD i_wbid);
int CANFD_CloseDevice(WORD hidnum);
thread_t *new_thread(int hidnum);
WORD rxthread_config(thread_t *thread, BOOL Flage);
WORD txthread_config(thread_t *thread, BOOL Flage);

/* Workers and the transmit report queue. */
void USBDEV_TxRxThread(WORD hidnum);
void USBDEV_TxThread(WORD hidnum);
int USBDEV_Write(WORD hidnum, BYTE *data, DWORD sz);
int USBDEV_TxBuf_EnQueue(WORD hidnum, BYTE *data, int datasize);
int USBDEV_TxBuf_DeQueue(WORD hidnum);
int USBDEV_TxBuf_QueueNum(PKALVEN_CANFD_CAN_Buf_St pCAN_FD);
void USBDEV_Notify(PKALVEN_CANFD_CAN_Buf_St pCAN_FD);

/* Synchronous command exchange: writes i_bySend as one report and waits up
 * to CmdTimeout ms for the answer, copied to o_byRecv (512 bytes). */
int CANFD_Send_Recv(WORD hidnum, BYTE *i_bySend, WORD wData_Len, BYTE *o_byRecv, DWORD CmdTimeout);

/* Module commands. */
int CANFD_GetFwVer(WORD hidnum, WORD *o_wFwVer);
int CANFD_GetINITPinStatus(WORD hidnum, BYTE *o_byStatus);
int CANFD_SetSN(WORD hidnum, DWORD i_dwSN);
int CANFD_SetLEDMode(WORD hidnum, BYTE i_byLEDMode);
int CANFD_SetLEDState(WORD hidnum, BYTE i_byLEDState);
int CANFD_ResetModule(WORD hidnum);
int CANFD_ResetModuleWDT(WORD hidnum);

/* Port mode, status and bit rates (sample points in units of 0.01 %). */
int CANFD_GetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD *o_wEnable, WORD *o_wBusMode,
                       WORD *o_wISOMode);
int CANFD_SetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD i_wEnable, WORD i_wBusMode,
                       WORD i_wISOMode);
int CANFD_GetCANStatus(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCANStatus, DWORD *o_dwErrCnt,
                       DWORD *o_dwBufStatus);
int CANFD_GetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwArbitrBR, DWORD *o_dwDataBR,
                           WORD *o_wArbitrBRSP, WORD *o_wDataBRSP);
int CANFD_SetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD i_dwArbitrBR, DWORD i_dwDataBR,
                           WORD i_wArbitrBRSP, WORD i_wDataBRSP);
int CANFD_GetCANRxFramePerSec(WORD hidnum, BYTE i_byCANPort, WORD *o_wRxFPS);

/* Bus states of a port. */
#define CANFD_BUS_ERROR_ACTIVE 0
#define CANFD_BUS_ERROR_WARNING 1 /* an error counter reached 96 */
#define CANFD_BUS_ERROR_PASSIVE 2
#define CANFD_BUS_OFF 3

/* Reads the port's status (one command, as CANFD_GetCANStatus) and tells the
 * bus state and error counters it carries: the status word's error passive,
 * error warning and bus off bits, the counter word's transmit (bits 0-7) and
 * receive (bits 8-14) error counters. Any output pointer may be NULL. */
int CANFD_GetCANBusState(WORD hidnum, BYTE i_byCANPort, BYTE *o_byState, BYTE *o_byTxErrors,
                         BYTE *o_byRxErrors);
int CANFD_SetCANReInitialize(WORD hidnum, BYTE i_byCANPort);

/* Acceptance filters: ranges ID1..ID2; 128 standard and 64 extended elements. */
int CANFD_GetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE *o_byRejectRFS,
                             BYTE *o_byRejectRFE, WORD *o_wSTDFIDListSize, WORD *o_wEXTFIDListSize);
int CANFD_SetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE i_byRejectRFS, BYTE i_byRejectRFE);
int CANFD_GetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD *o_wSTDFID1, WORD *o_wSTDFID2);
int CANFD_SetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wSTDFIDListSize, WORD *i_wSTDFID1,
                            WORD *i_wSTDFID2);
int CANFD_GetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwEXTFID1, DWORD *o_dwEXTFID2);
int CANFD_SetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wEXTFIDListSize,
                            DWORD *i_dwEXTFID1, DWORD *i_dwEXTFID2);

/* Frame transmission. i_byDlen is a data length code; i_byData must hold
 * CANFD_DLC2DBN[dlc] bytes. */
int CANFD_SetCANTxMsg(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode, DWORD i_dwID, BYTE i_byRTR,
                      BYTE i_byFDF, BYTE i_byDlen, BYTE *i_byData);
int CANFD_SetCANHWSendMsg(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode, DWORD i_dwID, BYTE i_byRTR,
                          BYTE i_byFDF, BYTE i_byDlen, BYTE *i_byData, DWORD i_dwPeriod,
                          DWORD i_dwCounter);
int CANFD_SetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode);
int CANFD_GetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE *o_byMode);
int CANFD_ClearCANTxBuf(WORD hidnum, BYTE i_byCANPort);

/* Frame reception. CANFD_GetCANRxMsg returns the DLC in o_byDlen (not the
 * byte count) and never waits; o_byData must hold 64 bytes. */
int CANFD_GetCANRxMsgCount(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCount);
int CANFD_GetCANRxMsg(WORD hidnum, BYTE i_byCANPort, BYTE *o_byType, BYTE *o_byMode, DWORD *o_dwID,
                      BYTE *o_byRTR, BYTE *o_byFDF, BYTE *o_byDlen, BYTE *o_byData,
                      DWORD *o_dw_TimeStamp_s, DWORD *o_dw_TimeStamp_us);
int CANFD_ClearCANRxBuf(WORD hidnum, BYTE i_byCANPort);

/* Blocks until at least one whole record waits in the port's receive ring
 * (returns 0, at once if one already waits), or until i_dwTimeoutMs
 * milliseconds have passed (returns CANFD_ERR_RX_BUF_EMPTY). The receive
 * worker wakes waiters as it stores frames; closing the device wakes every
 * waiter, which then returns CANFD_ERR_DEVICE_NOT_OPEN. The usual device
 * and port results come first. */
int CANFD_WaitCANRxMsg(WORD hidnum, BYTE i_byCANPort, DWORD i_dwTimeoutMs);

/* ---- Frame interface ------------------------------------------------------
 * Frames in batches: up to seven per report to the adapter, any number per
 * call from the receive ring, with waits that sleep until the workers wake
 * them. Beside the one-frame calls above, which stay as they are. */

/* Flags of a frame. */
#define CANFD_FRAME_EXT 0x01 /* 29-bit identifier */
#define CANFD_FRAME_RTR 0x02 /* remote frame (classic frames only) */
#define CANFD_FRAME_FD 0x04  /* CAN FD frame */
#define CANFD_FRAME_BRS 0x08 /* CAN FD: data phase at the data bit rate */
#define CANFD_FRAME_ESI 0x10 /* CAN FD: the sender was error passive (received frames) */

/* Largest data length of a frame. */
#define CANFD_MAX_DATA_LEN 64

/* A classic or CAN FD frame. */
typedef struct {
  DWORD id;      /* identifier: 11 bits, or 29 with CANFD_FRAME_EXT */
  BYTE flags;    /* CANFD_FRAME_... */
  BYTE len;      /* data bytes: 0 to 8 (classic), 0 to 64 (CAN FD) */
  BYTE type;     /* received frames: the adapter's frame type code (0 to 3) */
  BYTE reserved; /* 0 */
  DWORD second;  /* received frames: the adapter's time stamp */
  DWORD usecond;
  DWORD host_second;  /* received frames: the same moment in host time */
  DWORD host_usecond; /* (seconds and microseconds since the Unix epoch) */
  BYTE data[CANFD_MAX_DATA_LEN];
} CANFD_Frame_St;

/* Sends i_dwCount frames on a port, in order, packed up to seven to a
 * report. Waits up to i_dwTimeoutMs milliseconds in all for room in the
 * transmit queue (the transmit worker wakes it as it writes reports out);
 * 0 does not wait. *o_dwSent receives how many frames were accepted, also
 * on failure; an accepted frame is written to the adapter (close first
 * writes what was accepted). A CAN FD frame goes out with the bit rate
 * switch only if it has CANFD_FRAME_BRS; a length without a data length code
 * of its own (13 bytes, say) is padded with zeros to the next (16).
 * Results: 0 when all were accepted; CANFD_ERR_TX_QUEUE_FULL when the time
 * ran out first; CANFD_ERR_INVALID_PARAM (nothing sent) when a frame has a
 * length above 8 (classic) or 64, an identifier beyond its 11 or 29 bits, a
 * remote CAN FD frame, or flags the call does not know; and the device,
 * port, gone and closing results of the other calls. */
int CANFD_SendCANFrames(WORD hidnum, BYTE i_byCANPort, const CANFD_Frame_St *i_pFrames,
                        DWORD i_dwCount, DWORD i_dwTimeoutMs, DWORD *o_dwSent);

/* Waits up to i_dwTimeoutMs milliseconds for a frame on a port (0: does not
 * wait), then takes every waiting frame, up to i_dwMax, in arrival order.
 * *o_dwCount receives how many were taken. Results: 0 with at least one
 * frame; CANFD_ERR_RX_BUF_EMPTY when none came in time; after an unplug,
 * the frames received before it, then CANFD_ERR_DEVICE_GONE; and the device
 * and port results of the other calls. */
int CANFD_ReceiveCANFrames(WORD hidnum, BYTE i_byCANPort, CANFD_Frame_St *o_pFrames, DWORD i_dwMax,
                           DWORD i_dwTimeoutMs, DWORD *o_dwCount);

/* A descriptor for poll, select, epoll or an event loop: readable while
 * frames wait in the port's receive ring (taking them all makes it quiet
 * again), and once the device is gone. The library owns it: do not read,
 * write or close it; it is valid until the device is closed. */
int CANFD_GetCANRxEventFd(WORD hidnum, BYTE i_byCANPort, int *o_iFd);

/* Counts of a port since open or the last clear: frames dropped because the
 * receive ring was full, and reports refused because the transmit queue was
 * full (CANFD_SetCANTxMsg and USBDEV_Write; the frames in them are lost).
 * Either pointer may be NULL. A non-zero i_byClear sets both to 0 after
 * reading them. The counts wrap around at 2^32. */
int CANFD_GetCANFrameCounts(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwRxDropped,
                            DWORD *o_dwTxRefused, BYTE i_byClear);

#ifdef __cplusplus
}
#endif

#endif /* CANFD_H */
