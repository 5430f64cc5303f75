/**
 * @file canfd.h
 * @brief libcanfd: user-space driver for the two-port USB CAN FD adapter.
 *
 * The adapter is a USB HID device reached through /dev/hidrawN. Every call
 * that works on an open adapter takes its device index (the hidraw number N,
 * returned by CANFD_OpenDevice) and returns 0 on success or a result code
 * below. Calls that exchange a command with the adapter may also return the
 * adapter's own error code (0 to 255) from a refused ('?' answer).
 *
 * Ports are numbered 1 and 2. Every port call returns CANFD_ERR_INVALID_PORT
 * for any other number, after the device checks (CANFD_ERR_INVALID_INDEX,
 * CANFD_ERR_DEVICE_NOT_OPEN) and before it reads its other arguments.
 *
 * The calls an application uses come first, in the order a program meets
 * them: types and result codes, discovery, opening and closing, the device's
 * state, commands, frames. The device record, the worker control block, the
 * workers' entry points, the transmit report queue functions and the raw
 * command exchange close the header, under "Internals kept for
 * compatibility" (@ref internals): applications do not need them.
 *
 * @par Who reads and writes the node
 * Each open device has two worker threads, and no other thread reads or
 * writes its node:
 * - the receive worker reads every report: it hands an answer to the
 *   command waiting for it at once, stores frames in their port's receive
 *   ring with their host time, and wakes each port's waiters (and its
 *   readiness descriptor) once per batch of reports;
 * - the transmit worker writes every report: command requests and resets
 *   first, in the order they were asked for, then the transmit report queue,
 *   where CANFD_SetCANTxMsg and CANFD_SendCANFrames put their frames.
 *
 * They are named "canfd-rx-N" and "canfd-tx-N", N being the device index,
 * as top -H, ps -L and debuggers show them. Both start with the scheduling
 * policy and nice level of the thread that opened the device; while
 * frames stream in (reports less than a millisecond apart), the receive
 * worker asks for the fair scheduler's shortest time slice (Linux 6.12 and
 * later), so that busy threads of the same priority delay it less, and it
 * goes back to the default slice when they come more than 2 ms apart or
 * stop for 10 ms, as a lone report then reaches a blocked receive sooner.
 * On CPUs kept busy by threads of the same priority, the scheduler may
 * still hand the receive worker's CPU to a consumer it wakes and then to a
 * busy thread until its next tick (4 ms at 250 Hz). The node holds 64
 * reports, 8 ms at the full USB rate, and drops later ones; give CPU-bound
 * threads a higher nice level, or open the device from a thread of higher
 * priority.
 *
 * An application thread hands its request or its frames over and waits, if
 * at all, with its own deadline; it never waits inside a read or a write of
 * the node.
 *
 * @par Threads
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
 *   it to be answered); the resets do not wait for commands, and the two
 *   ports' frame calls wait neither for each other nor for commands.
 * - Several programs may have one adapter open at once, each receiving every
 *   frame; a program that uses a port keeps the others from changing its
 *   settings (see @ref sharing).
 *
 * @par What blocks, and for how long
 * - Commands wait for the adapter's answer: at most one second each (the
 *   filter list calls exchange up to three commands). CANFD_OpenDevice
 *   sends two commands with 10 ms each. The resets wait up to one second
 *   for the node to take their request.
 * - CANFD_SetCANTxMsg never waits for the adapter: it queues the frame for
 *   the transmit worker, or returns CANFD_ERR_TX_QUEUE_FULL at once when
 *   eight reports already wait with no room for it (see below).
 *   CANFD_SendCANFrames waits for room in the queue up to its timeout.
 * - CANFD_GetCANRxMsg, CANFD_GetCANRxMsgCount and the clears never wait.
 *   CANFD_WaitCANRxMsg and CANFD_ReceiveCANFrames wait up to their timeout.
 * - CANFD_CloseDevice lets the transmit worker write the frames it has
 *   accepted until 250 ms after close began, gives it 20 ms more to finish,
 *   then stops both workers: once it holds the library lock, it returns
 *   within 270 ms, or as soon as the calls in progress have left if that
 *   takes longer (they are woken, and leave at once).
 *
 * @par A stalled adapter
 * A write to a USB hidraw node blocks until the adapter takes the report,
 * and fails after about 5 s (ETIMEDOUT), whatever O_NONBLOCK says; an
 * adapter stops taking reports when its bus does not take its frames (no
 * other node to acknowledge them, say). Only the transmit worker waits in
 * such a write. Meanwhile:
 * - CANFD_SetCANTxMsg and USBDEV_Write return at once:
 *   CANFD_ERR_TX_QUEUE_FULL once eight reports wait (for CANFD_SetCANTxMsg:
 *   full of frames), counted by CANFD_GetCANFrameCounts;
 * - CANFD_SendCANFrames waits for room up to its timeout, then returns
 *   CANFD_ERR_TX_QUEUE_FULL with the number of frames it queued;
 * - commands return CANFD_ERR_CMD_TIMEOUT after their second (their
 *   request, not written, is withdrawn), or CANFD_ERR_USB_WRITE if the node
 *   gave up on their request first; the resets return CANFD_ERR_USB_WRITE
 *   after one second;
 * - frame reception and its calls go on as usual;
 * - a write the node gives up on is recorded (USBDEV_GetLastError returns
 *   CANFD_ERR_USB_WRITE from then on, as CANFD_SetCANTxMsg does) and the
 *   frames of that report are counted as lost (CANFD_GetCANFrameCounts);
 * - CANFD_CloseDevice keeps its 270 ms: what is still queued then is
 *   dropped, and the device's node, descriptors and memory are released
 *   when the write the transmit worker is in returns.
 *
 * @par An unplugged adapter
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

/**
 * @defgroup types Basic types
 * @brief Fixed-width names used throughout the API.
 * @{
 */

typedef uint8_t BYTE;      /**< 8-bit unsigned value. */
typedef uint16_t WORD;     /**< 16-bit unsigned value; also the type of a device index. */
typedef uint32_t DWORD;    /**< 32-bit unsigned value. */
typedef unsigned int BOOL; /**< Truth value: 0 false, anything else true. */

/** @} */

/**
 * @defgroup results Result codes
 * @brief What the calls return besides 0 (success), and their names and texts.
 *
 * The calls on a device return 0 on success, one of these codes, or, for
 * the calls that exchange a command with the adapter, the adapter's own
 * error code (1 to 255) from a refused ('?') answer. CANFD_GetResultText()
 * describes any of them.
 *
 * Result codes. 1, 2 and 5 are plain numbers returned by CANFD_OpenDevice:
 * the node did not open (1), a worker thread did not start (2), no memory or
 * no eventfd (5).
 * @{
 */

/** The device index is 128 or more (for CANFD_OpenDevice: the adapter's hidraw number). */
#define CANFD_ERR_INVALID_INDEX 0x10001
/** CANFD_OpenDevice: this adapter is already open in this process. */
#define CANFD_ERR_DEVICE_ALREADY_OPEN 0x10002
/** CANFD_OpenDevice: no attached adapter has the product id and board id. */
#define CANFD_ERR_DEVICE_NOT_FOUND 0x10003
/** CANFD_ScanDevice: /sys/class/hidraw could not be read, or it lists no adapter. */
#define CANFD_ERR_SCAN_FAILED 0x10004
/** A packet longer than CANFD_PACKET_MAX bytes was given. */
#define CANFD_ERR_DATA_TOO_LONG 0x10005
/** A report could not be written to the hidraw node. */
#define CANFD_ERR_USB_WRITE 0x10006
/** The transmit report queue holds CANFD_TXQUEUE_SLOTS reports already. */
#define CANFD_ERR_TX_QUEUE_FULL 0x10007
/** CANFD_OpenDevice: CANFD_MAX_OPEN_DEVICES devices are open already. */
#define CANFD_ERR_TOO_MANY_DEVICES 0x1000A
/** No device is open at the index, or it is being closed. */
#define CANFD_ERR_DEVICE_NOT_OPEN 0x1000B
/** The adapter did not answer a command in time (or did not take its request). */
#define CANFD_ERR_CMD_TIMEOUT 0x10100
/** The port number is not 1 or 2. */
#define CANFD_ERR_INVALID_PORT 0x10101
/** No received frame waits (or none came in time). */
#define CANFD_ERR_RX_BUF_EMPTY 0x10102
/** The port's transmit ring is full. */
#define CANFD_ERR_TX_BUF_FULL 0x10103
/** An argument is out of range: a bit rate, sample point or frame. */
#define CANFD_ERR_INVALID_PARAM 0x10104
/** A filter list size above 128 (standard) or 64 (extended) elements. */
#define CANFD_ERR_INVALID_FILTER_SIZE 0x10105
/** The adapter was unplugged. */
#define CANFD_ERR_DEVICE_GONE 0x1000C
/** Another program uses the port: its settings are left alone (see CANFD_GetCANPortUser). */
#define CANFD_ERR_PORT_IN_USE 0x10106

/** One entry of the table of result codes. */
typedef struct {
  int code;         /**< The code, e.g. CANFD_ERR_TX_QUEUE_FULL. */
  const char *name; /**< Its name: "CANFD_ERR_TX_QUEUE_FULL". */
  const char *text; /**< A short description: "transmit queue full". */
} CANFD_ResultCode_St;

/**
 * The library's result codes: stores the table's address in *o_table and
 * returns the number of entries.
 *
 * The table is static: it stays valid and unchanged for the life of the
 * process. It lists every CANFD_ERR_ code above, not the plain numbers of
 * CANFD_OpenDevice nor the adapter's codes.
 *
 * @param[out] o_table receives the address of the first entry.
 * @return the number of entries.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
int CANFD_GetResultCodes(const CANFD_ResultCode_St **o_table);
/**
 * A short description of any result: "success" for 0, the table's text for
 * a result code, a description of the adapter's refusal for 1 to 255 (the
 * 1, 2 and 5 of CANFD_OpenDevice are told in its comment). Never NULL.
 *
 * @param code a result of any call.
 * @return a static string: "success", the table's text, "refused by the
 *         adapter" for 1 to 255, or "unknown result" for anything else.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
const char *CANFD_GetResultText(int code);

/** @} */

/**
 * @defgroup discovery Discovery
 * @brief Discovery through /sys/class/hidraw.
 *
 * A scan reads the uevent file of every hidraw device and lists those with
 * vendor 3F9A and product 0E31 or 0E32, at most CANFD_LIST_SIZE of them, in
 * directory order, in List. The scans take the library lock.
 * @{
 */

/** Entries of the scan list List. */
#define CANFD_LIST_SIZE 8

/** One entry of the scan list; Dev_hidNum 0xFFFFFFFF marks an empty entry. */
typedef struct ListPARM {
  unsigned int Dev_hidNum; /**< N of /dev/hidrawN, or 0xFFFFFFFF for an empty entry. */
  WORD Dev_PID;            /**< USB product id: 0x0E31 or 0x0E32. */
  DWORD Dev_BID;           /**< Board id: the USB serial number, read as hexadecimal. */
} ListDev;

/**
 * Adapters found by the last scan, in directory order: entry i is the
 * adapter whose ids CANFD_ListDevice gave at i, and its Dev_hidNum is the
 * device index CANFD_OpenDevice gives it.
 *
 * Rewritten by every scan (CANFD_ScanDevice, CANFD_ListDevice,
 * get_hidraw_num, CANFD_OpenDevice): read it while no scan runs. Entries
 * after the last adapter found are empty.
 */
extern ListDev List[CANFD_LIST_SIZE];

/**
 * Scans for adapters and fills List.
 *
 * @return 0 when at least one adapter was found.
 * @retval CANFD_ERR_SCAN_FAILED /sys/class/hidraw could not be opened (a
 *         message is printed on standard error), or no adapter was found.
 * @par Threads and blocking
 * Any thread; waits for the library lock (open, close and other scans),
 * then reads sysfs.
 */
int CANFD_ScanDevice(void);
/**
 * Scans for adapters and copies the product id and board id of each.
 *
 * @param[out] o_wPID product ids; must hold CANFD_LIST_SIZE entries.
 * @param[out] o_dwBID board ids; must hold CANFD_LIST_SIZE entries.
 * @return the number of adapters found, 0 to CANFD_LIST_SIZE (0 also when
 *         the scan failed). Entry i of both arrays describes List[i].
 * @par Threads and blocking
 * As CANFD_ScanDevice.
 */
BYTE CANFD_ListDevice(WORD *o_wPID, DWORD *o_dwBID);
/**
 * Scans for adapters and finds the hidraw number of the one with a product
 * id and board id.
 *
 * @param i_wpid product id.
 * @param i_wbid board id.
 * @param[out] hidnum receives N of /dev/hidrawN when found.
 * @retval 0 found.
 * @retval -1 not found: "No device." or "Searched N CANFD devices, but no
 *         device with matching PID and BID was found" is printed on standard
 *         output.
 * @par Threads and blocking
 * As CANFD_ScanDevice.
 */
int get_hidraw_num(WORD i_wpid, DWORD i_wbid, int *hidnum);

/** @} */

/**
 * @defgroup opening Opening and closing
 * @brief Opening and closing a device, and how many may be open.
 *
 * Open starts the device's two worker threads, the only threads that read
 * and write its node (see canfd.h, "Who reads and writes the node"); close
 * stops and joins them. A transmit worker that close left inside a write
 * to a stalled adapter is joined by a later open or close.
 * @{
 */

/** Device indices 0 to 127. */
#define CANFD_MAX_DEVICES 128
/** Devices that may be open at once. */
#define CANFD_MAX_OPEN_DEVICES 8

/**
 * Opens the adapter with a product id and board id.
 *
 * Scans (as CANFD_ScanDevice), opens /dev/hidrawN of the adapter found,
 * allocates the device record, starts the two workers, then sends two
 * firmware version requests and waits up to 10 ms for each answer (their
 * results do not matter).
 *
 * @param[out] o_wDevice_id receives the device index (N of /dev/hidrawN)
 *        as soon as the adapter is found, also when a later step fails.
 * @param i_wpid product id, as CANFD_ListDevice gives it.
 * @param i_wbid board id, as CANFD_ListDevice gives it.
 * @retval 0 the device is open at *o_wDevice_id.
 * @retval CANFD_ERR_TOO_MANY_DEVICES CANFD_MAX_OPEN_DEVICES are open.
 * @retval CANFD_ERR_DEVICE_NOT_FOUND no adapter with these ids (a message
 *         is printed on standard output).
 * @retval CANFD_ERR_INVALID_INDEX the adapter's hidraw number is 128 or more.
 * @retval CANFD_ERR_DEVICE_ALREADY_OPEN the adapter is open already.
 * @retval 1 the node did not open ("Unable to open device" on standard
 *         output): no such node, or no permission.
 * @retval 2 a worker thread did not start.
 * @retval 5 no memory, or no eventfd (a message on standard error).
 * @par Threads and blocking
 * Any thread; waits for the library lock, then scans and waits up to 20 ms
 * for the two answers.
 */
int CANFD_OpenDevice(WORD *o_wDevice_id, WORD i_wpid, DWORD i_wbid);
/**
 * Closes a device.
 *
 * Calls in progress on the device return CANFD_ERR_DEVICE_NOT_OPEN (those
 * that wait wake at once) and close waits for them to leave. The transmit
 * worker writes the reports it has accepted until 250 ms after close began;
 * both workers are stopped and joined, the node and the device's readiness
 * descriptors are closed and the record is released. If the transmit worker
 * is still inside a write 20 ms after that (an adapter that takes no
 * reports: the node gives up after about 5 s), close does not wait for it:
 * the reports still queued are dropped, and the node, the descriptors and
 * the record are released by the worker when its write returns (its thread
 * is joined by a later open or close). The index can be opened again at
 * once.
 *
 * @param hidnum device index.
 * @retval 0 closed.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum (a second
 *         close, say).
 * @par Threads and blocking
 * Any thread; waits for the library lock, then returns within 270 ms, or as
 * soon as the calls in progress have left if that takes longer.
 */
int CANFD_CloseDevice(WORD hidnum);

/** @} */

/**
 * @defgroup validation Device state
 * @brief Whether a device is open, and its sticky write error.
 * @{
 */

/**
 * Tells whether a device is open at an index.
 *
 * Unlike the other calls it does not see a close in progress: it returns 0
 * until close has released the device.
 *
 * @param hidnum device index.
 * @retval 0 the device is open.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more; "Error: Invalid
 *         device index N" is printed on standard error.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
int USBDEV_CheckDeviceValid(WORD hidnum);
/**
 * The sticky transmit error of a device.
 *
 * The transmit worker sets it when the node refused or gave up on a write:
 * a frame report of the transmit report queue, a command's request or a
 * reset. It stays set until the device is closed. CANFD_SetCANTxMsg returns
 * it.
 *
 * @param hidnum device index.
 * @retval 0 every report was written so far.
 * @retval CANFD_ERR_USB_WRITE a report could not be written.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
int USBDEV_GetLastError(WORD hidnum);

/** @} */

/**
 * @defgroup module Module commands
 * @brief Commands to the adapter as a whole.
 *
 * Each command call exchanges one command with the adapter (as
 * CANFD_Send_Recv, with a timeout of one second), except the two resets,
 * which the adapter does not answer. A refusal with code 0 returns 0 and
 * leaves the outputs as they were.
 *
 * Every command call returns 0, CANFD_ERR_INVALID_INDEX,
 * CANFD_ERR_DEVICE_NOT_OPEN, CANFD_ERR_DEVICE_GONE, CANFD_ERR_CMD_TIMEOUT,
 * CANFD_ERR_USB_WRITE or the adapter's code (1 to 255); the port commands
 * add CANFD_ERR_INVALID_PORT. Commands to one device run one at a time: a
 * call waits for the one before it, then up to one second for its own
 * answer. Any thread may call.
 * @{
 */

/**
 * Reads the adapter's firmware version.
 *
 * @param hidnum device index.
 * @param[out] o_wFwVer receives the version word.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetFwVer(WORD hidnum, WORD *o_wFwVer);
/**
 * Reads the state of the adapter's INIT pin.
 *
 * @param hidnum device index.
 * @param[out] o_byStatus receives the state byte, as the adapter reports it.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetINITPinStatus(WORD hidnum, BYTE *o_byStatus);
/**
 * Sets the adapter's serial number.
 *
 * The adapter reports it, in hexadecimal, as its USB serial number: the
 * board id by which scans list it once it has enumerated again.
 *
 * @param hidnum device index.
 * @param i_dwSN the serial number.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetSN(WORD hidnum, DWORD i_dwSN);
/**
 * Sets the LED mode.
 *
 * @param hidnum device index.
 * @param i_byLEDMode the mode, as the adapter defines it (0-255).
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetLEDMode(WORD hidnum, BYTE i_byLEDMode);
/**
 * Sets the LED state.
 *
 * @param hidnum device index.
 * @param i_byLEDState the state, as the adapter defines it (0-255).
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetLEDState(WORD hidnum, BYTE i_byLEDState);
/**
 * Resets the adapter (module reset): it restarts with its defaults.
 *
 * A bare packet, not answered: the transmit worker writes it ahead of the
 * transmit report queue, and the call returns once the node has taken it.
 *
 * @param hidnum device index.
 * @retval 0 the request was written.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_USB_WRITE the request could not be written within one
 *         second, or the device was closed meanwhile.
 * @par Threads and blocking
 * Any thread; does not wait for other commands; waits up to one second for
 * the node to take the request.
 */
int CANFD_ResetModule(WORD hidnum);
/**
 * Resets the adapter through its watchdog: it restarts with its defaults.
 *
 * A bare packet, not answered: the transmit worker writes it ahead of the
 * transmit report queue, and the call returns once the node has taken it.
 *
 * @param hidnum device index.
 * @retval 0 the request was written.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_USB_WRITE the request could not be written within one
 *         second, or the device was closed meanwhile.
 * @par Threads and blocking
 * As CANFD_ResetModule.
 */
int CANFD_ResetModuleWDT(WORD hidnum);

/** @} */

/**
 * @defgroup port Port mode, status and bit rates
 * @brief Port mode, status and bit rates (sample points in units of 0.01 %).
 *
 * Port commands: one command each, with the results, threads and blocking
 * of the command calls (see @ref module), and CANFD_ERR_INVALID_PORT when
 * i_byCANPort is not 1 or 2.
 * @{
 */

/**
 * Reads a port's operating mode.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_wEnable receives 1 when the port is on, 0 when off.
 * @param[out] o_wBusMode receives the bus mode word, as the adapter defines it.
 * @param[out] o_wISOMode receives the ISO mode word, as the adapter defines it.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD *o_wEnable, WORD *o_wBusMode,
                       WORD *o_wISOMode);
/**
 * Sets a port's operating mode.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_wEnable 1 switches the port on, 0 off.
 * @param i_wBusMode bus mode word, as the adapter defines it.
 * @param i_wISOMode ISO mode word, as the adapter defines it.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetCANOPMode(WORD hidnum, BYTE i_byCANPort, WORD i_wEnable, WORD i_wBusMode,
                       WORD i_wISOMode);
/**
 * Reads a port's status words.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_dwCANStatus receives the status word of the port's CAN
 *        controller: last error code (bits 0-2), activity (bits 3-4), error
 *        passive (bit 5), error warning (bit 6), bus off (bit 7).
 * @param[out] o_dwErrCnt receives the error counter word: transmit error
 *        counter (bits 0-7), receive error counter (bits 8-14).
 * @param[out] o_dwBufStatus receives the buffer status word, as the adapter
 *        defines it.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetCANStatus(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCANStatus, DWORD *o_dwErrCnt,
                       DWORD *o_dwBufStatus);
/**
 * Reads a port's bit rates and sample points.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_dwArbitrBR receives the arbitration (nominal) bit rate in bit/s.
 * @param[out] o_dwDataBR receives the data phase bit rate in bit/s.
 * @param[out] o_wArbitrBRSP receives the arbitration sample point in 0.01 %.
 * @param[out] o_wDataBRSP receives the data phase sample point in 0.01 %.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwArbitrBR, DWORD *o_dwDataBR,
                           WORD *o_wArbitrBRSP, WORD *o_wDataBRSP);
/**
 * Sets a port's bit rates and sample points.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_dwArbitrBR arbitration (nominal) bit rate in bit/s, such as 500000.
 * @param i_dwDataBR data phase bit rate in bit/s, at least i_dwArbitrBR.
 * @param i_wArbitrBRSP arbitration sample point in 0.01 % (8000 is 80 %), at
 *        most 10000.
 * @param i_wDataBRSP data phase sample point in 0.01 %.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_INVALID_PARAM i_dwArbitrBR is above i_dwDataBR, or
 *         i_wArbitrBRSP above 10000 (checked after the port; nothing is
 *         sent).
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetCANADBaudRate(WORD hidnum, BYTE i_byCANPort, DWORD i_dwArbitrBR, DWORD i_dwDataBR,
                           WORD i_wArbitrBRSP, WORD i_wDataBRSP);
/**
 * Reads how many frames the adapter received on a port in the last second.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_wRxFPS receives the count, as the adapter counts it.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetCANRxFramePerSec(WORD hidnum, BYTE i_byCANPort, WORD *o_wRxFPS);

/** @name Bus states of a port */
/** @{ */
#define CANFD_BUS_ERROR_ACTIVE 0  /**< Error active: both error counters below 96. */
#define CANFD_BUS_ERROR_WARNING 1 /**< Error warning: an error counter reached 96. */
#define CANFD_BUS_ERROR_PASSIVE 2 /**< Error passive: an error counter reached 128. */
#define CANFD_BUS_OFF 3           /**< Bus off: the port takes no part in the bus. */
/** @} */

/**
 * Reads the port's status (one command, as CANFD_GetCANStatus) and tells the
 * bus state and error counters it carries: the status word's error passive,
 * error warning and bus off bits, the counter word's transmit (bits 0-7) and
 * receive (bits 8-14) error counters. Any output pointer may be NULL.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_byState receives CANFD_BUS_ERROR_ACTIVE, _WARNING, _PASSIVE or
 *        CANFD_BUS_OFF (bus off wins over error passive, error passive over
 *        error warning); may be NULL.
 * @param[out] o_byTxErrors receives the transmit error counter; may be NULL.
 * @param[out] o_byRxErrors receives the receive error counter; may be NULL.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetCANBusState(WORD hidnum, BYTE i_byCANPort, BYTE *o_byState, BYTE *o_byTxErrors,
                         BYTE *o_byRxErrors);
/**
 * Re-initialises a port's CAN controller, as the adapter does it.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetCANReInitialize(WORD hidnum, BYTE i_byCANPort);

/** @} */

/**
 * @defgroup filters Acceptance filters
 * @brief Acceptance filters: ranges ID1..ID2; 128 standard and 64 extended elements.
 *
 * A port receives a frame whose identifier lies in one of the ranges of its
 * list (standard or extended, by the frame's identifier); a list size of 0
 * lets every identifier pass. The global filter can also reject remote
 * frames. The calls have the results, threads and blocking of the port
 * commands (see @ref port); the list calls exchange two commands (reads) or
 * three (writes), at most one second each, and stop at the first that
 * fails.
 * @{
 */

/**
 * Reads a port's global filter and the sizes of its filter lists.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_byRejectRFS receives 1 when remote frames with standard
 *        identifiers are rejected, else 0.
 * @param[out] o_byRejectRFE receives 1 when remote frames with extended
 *        identifiers are rejected, else 0.
 * @param[out] o_wSTDFIDListSize receives the standard list's size (elements
 *        in use, 0-128).
 * @param[out] o_wEXTFIDListSize receives the extended list's size (0-64).
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE *o_byRejectRFS,
                             BYTE *o_byRejectRFE, WORD *o_wSTDFIDListSize, WORD *o_wEXTFIDListSize);
/**
 * Sets a port's global filter.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_byRejectRFS non-zero rejects remote frames with standard identifiers.
 * @param i_byRejectRFE non-zero rejects remote frames with extended identifiers.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetCANGlobalFilter(WORD hidnum, BYTE i_byCANPort, BYTE i_byRejectRFS, BYTE i_byRejectRFE);
/**
 * Reads all 128 elements of a port's standard identifier list (two
 * commands); the list's size is read by CANFD_GetCANGlobalFilter.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_wSTDFID1 receives the first identifier of each range; holds
 *        128 entries.
 * @param[out] o_wSTDFID2 receives the last identifier of each range; holds
 *        128 entries.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before each of its two commands, then
 * up to one second for its answer.
 */
int CANFD_GetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD *o_wSTDFID1, WORD *o_wSTDFID2);
/**
 * Sets a port's standard identifier list (three commands): the ranges given,
 * then zeros up to 128 elements, then the list's size.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_wSTDFIDListSize number of ranges, 0 to 128 (0: every identifier
 *        passes).
 * @param[in] i_wSTDFID1 first identifier of each range (11 bits).
 * @param[in] i_wSTDFID2 last identifier of each range (11 bits).
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_FILTER_SIZE i_wSTDFIDListSize is above 128
 *         (checked after the device, before the port).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before each of its three commands, then
 * up to one second for its answer.
 */
int CANFD_SetCANSTDIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wSTDFIDListSize, WORD *i_wSTDFID1,
                            WORD *i_wSTDFID2);
/**
 * Reads all 64 elements of a port's extended identifier list (two
 * commands); the list's size is read by CANFD_GetCANGlobalFilter.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_dwEXTFID1 receives the first identifier of each range; holds
 *        64 entries.
 * @param[out] o_dwEXTFID2 receives the last identifier of each range; holds
 *        64 entries.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before each of its two commands, then
 * up to one second for its answer.
 */
int CANFD_GetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwEXTFID1, DWORD *o_dwEXTFID2);
/**
 * Sets a port's extended identifier list (three commands): the ranges given,
 * then zeros up to 64 elements, then the list's size.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_wEXTFIDListSize number of ranges, 0 to 64 (0: every identifier
 *        passes).
 * @param[in] i_dwEXTFID1 first identifier of each range (29 bits).
 * @param[in] i_dwEXTFID2 last identifier of each range (29 bits).
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_FILTER_SIZE i_wEXTFIDListSize is above 64
 *         (checked after the device, before the port).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before each of its three commands, then
 * up to one second for its answer.
 */
int CANFD_SetCANEXTIDFilter(WORD hidnum, BYTE i_byCANPort, WORD i_wEXTFIDListSize,
                            DWORD *i_dwEXTFID1, DWORD *i_dwEXTFID2);

/** @} */

/**
 * @defgroup tx Frame transmission
 * @brief Sending one frame, and hardware periodic sending.
 *
 * Frame transmission. i_byDlen is a data length code; i_byData must hold
 * CANFD_DLC2DBN[dlc] bytes. Frames wait for the transmit worker in the
 * transmit report queue, CANFD_TXQUEUE_SLOTS reports deep.
 *
 * A frame is given by its fields: i_byMode 0 for an 11-bit (standard)
 * identifier, non-zero for a 29-bit (extended) one; i_dwID (cut to its 11
 * or 29 bits); i_byRTR non-zero for a remote frame (classic frames only);
 * i_byFDF non-zero for a CAN FD frame; i_byDlen its data length code (above
 * 15 taken as 15, above 8 as 8 for classic frames). The frame interface
 * (@ref frames) sends frames in batches and with their own bit rate switch
 * and error state flags.
 * @{
 */

/** Data length code (0-15) to data byte count: 0-8, 12, 16, 20, 24, 32, 48, 64. */
extern const BYTE CANFD_DLC2DBN[16];
/** Reports in the transmit report queue. */
#define CANFD_TXQUEUE_SLOTS 8

/**
 * Queues one frame for sending on a port.
 *
 * The frame goes into the port's transmit ring, which is packed at once
 * into a frame packet for the transmit report queue (as USBDEV_Write): one
 * report for the frame. When eight reports already wait, the frame is not
 * refused while they have room for it: it joins the newest report of its
 * port, or the frame reports that wait are put together, up to seven frames
 * a report, to make room. A sender faster than the USB's 8000 reports a
 * second thus fills the reports that wait. A port's frames keep their
 * order, and none passes a packet of USBDEV_Write that is not a frame
 * packet. A CAN FD frame goes out with the bit rate switch unless its DLC
 * is 0; a remote CAN FD frame goes out as a data frame.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_byMode 0 standard identifier, non-zero extended.
 * @param i_dwID identifier.
 * @param i_byRTR non-zero: remote frame (classic frames only).
 * @param i_byFDF non-zero: CAN FD frame.
 * @param i_byDlen data length code, 0-15 (0-8 for classic frames).
 * @param[in] i_byData CANFD_DLC2DBN[dlc] data bytes (also for a remote frame).
 * @retval 0 the frame was queued: it is written to the adapter, also when
 *         the device is closed right after.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or close
 *         has begun (the frame is not sent).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_TX_QUEUE_FULL CANFD_TXQUEUE_SLOTS reports wait already,
 *         with no room for the frame: it is not sent (counted, see
 *         CANFD_GetCANFrameCounts).
 * @retval CANFD_ERR_TX_BUF_FULL the port's transmit ring was full.
 * @retval CANFD_ERR_USB_WRITE an earlier report could not be written (the
 *         sticky error of USBDEV_GetLastError, returned until close; this
 *         frame was queued).
 * @par Threads and blocking
 * Any thread; never waits for the adapter, only for the port's transmit
 * lock and the queue's lock, which no one holds for long.
 */
int CANFD_SetCANTxMsg(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode, DWORD i_dwID, BYTE i_byRTR,
                      BYTE i_byFDF, BYTE i_byDlen, BYTE *i_byData);
/**
 * Sets the frame of a port's hardware periodic sending (one command).
 *
 * While the mode is on (CANFD_SetCANHWSendMode), the adapter sends the
 * frame every i_dwPeriod milliseconds, i_dwCounter times. It sends CAN FD
 * frames with the bit rate switch.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_byMode 0 standard identifier, non-zero extended.
 * @param i_dwID identifier.
 * @param i_byRTR non-zero: remote frame.
 * @param i_byFDF non-zero: CAN FD frame.
 * @param i_byDlen data length code, 0-15 (0-8 for classic frames).
 * @param[in] i_byData CANFD_DLC2DBN[dlc] data bytes.
 * @param i_dwPeriod period in milliseconds.
 * @param i_dwCounter number of frames to send (0: until the mode is
 *        switched off).
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetCANHWSendMsg(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode, DWORD i_dwID, BYTE i_byRTR,
                          BYTE i_byFDF, BYTE i_byDlen, BYTE *i_byData, DWORD i_dwPeriod,
                          DWORD i_dwCounter);
/**
 * Switches a port's hardware periodic sending on or off (one command).
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_byMode non-zero on, 0 off.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_SetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE i_byMode);
/**
 * Reads whether a port's hardware periodic sending is on (one command).
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_byMode receives 1 when on, 0 when off.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_CMD_TIMEOUT the adapter did not answer within one second.
 * @retval CANFD_ERR_USB_WRITE the request could not be written.
 * @retval 1-255 the adapter refused the command with this code.
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to one second.
 */
int CANFD_GetCANHWSendMode(WORD hidnum, BYTE i_byCANPort, BYTE *o_byMode);
/**
 * Empties a port's transmit ring (frames not yet packed into a report;
 * reports already queued still go out).
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @retval 0 emptied.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @par Threads and blocking
 * Any thread; never waits (only for the port's transmit lock).
 */
int CANFD_ClearCANTxBuf(WORD hidnum, BYTE i_byCANPort);

/** @} */

/**
 * @defgroup rx Frame reception
 * @brief Taking received frames one at a time, and waiting for them.
 *
 * Frame reception. CANFD_GetCANRxMsg returns the DLC in o_byDlen (not the
 * byte count) and never waits; o_byData must hold 64 bytes.
 *
 * The receive worker stores each port's frames in its receive ring, up to
 * 10239 frames; further frames are dropped whole and counted (see
 * CANFD_GetCANFrameCounts).
 * @{
 */

/**
 * The number of received frames that wait in a port's receive ring.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_dwCount receives the number of frames.
 * @retval 0 done (also after an unplug, while frames wait).
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged and no frame waits.
 * @par Threads and blocking
 * Any thread; never waits (only for the port's receive lock).
 */
int CANFD_GetCANRxMsgCount(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwCount);
/**
 * Takes the oldest received frame of a port, if one waits.
 *
 * The bit rate switch and error state flags and the host time of a frame
 * are only told by the frame interface (CANFD_ReceiveCANFrames).
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_byType receives the adapter's frame type code (0 to 3).
 * @param[out] o_byMode receives 0 for a standard identifier, 1 for extended.
 * @param[out] o_dwID receives the identifier.
 * @param[out] o_byRTR receives 1 for a remote frame, else 0.
 * @param[out] o_byFDF receives 1 for a CAN FD frame, else 0.
 * @param[out] o_byDlen receives the data length code (0-15), not the byte
 *        count: CANFD_DLC2DBN[dlc] bytes.
 * @param[out] o_byData receives the data bytes; holds 64 bytes.
 * @param[out] o_dw_TimeStamp_s receives the adapter's time stamp, seconds.
 * @param[out] o_dw_TimeStamp_us receives its microseconds (0-999999).
 * @retval 0 a frame was taken.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_RX_BUF_EMPTY no frame waits.
 * @retval CANFD_ERR_DEVICE_GONE no frame waits and the adapter was unplugged.
 * @par Threads and blocking
 * Any thread; never waits (only for the port's receive lock).
 */
int CANFD_GetCANRxMsg(WORD hidnum, BYTE i_byCANPort, BYTE *o_byType, BYTE *o_byMode, DWORD *o_dwID,
                      BYTE *o_byRTR, BYTE *o_byFDF, BYTE *o_byDlen, BYTE *o_byData,
                      DWORD *o_dw_TimeStamp_s, DWORD *o_dw_TimeStamp_us);
/**
 * Empties a port's receive ring: the frames that wait are dropped, and a
 * frame whose record is still arriving is dropped when it is complete.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @retval 0 emptied.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @par Threads and blocking
 * Any thread; never waits (only for the port's receive lock).
 */
int CANFD_ClearCANRxBuf(WORD hidnum, BYTE i_byCANPort);

/**
 * Blocks until at least one whole record waits in the port's receive ring
 * (returns 0, at once if one already waits), or until i_dwTimeoutMs
 * milliseconds have passed (returns CANFD_ERR_RX_BUF_EMPTY). The receive
 * worker wakes waiters as it stores frames; closing the device wakes every
 * waiter, which then returns CANFD_ERR_DEVICE_NOT_OPEN. The usual device
 * and port results come first.
 *
 * The frame is not taken: CANFD_GetCANRxMsg or CANFD_ReceiveCANFrames takes it.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_dwTimeoutMs longest wait in milliseconds (0: does not wait).
 * @retval 0 a frame waits.
 * @retval CANFD_ERR_RX_BUF_EMPTY none came in time.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it was
 *         closed before or while the call waited.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE no frame waits and the adapter was
 *         unplugged (before or while the call waited).
 * @par Threads and blocking
 * Any thread, any number at once; sleeps (without polling) up to
 * i_dwTimeoutMs.
 */
int CANFD_WaitCANRxMsg(WORD hidnum, BYTE i_byCANPort, DWORD i_dwTimeoutMs);

/** @} */

/**
 * @defgroup frames Frame interface
 * @brief Frames in batches, with their flags and host time stamps.
 *
 * Frames in batches: up to seven per report to the adapter, any number per
 * call from the receive ring, with waits that sleep until the workers wake
 * them. Beside the one-frame calls above, which stay as they are.
 * @{
 */

/** @name Flags of a frame (CANFD_Frame_St::flags) */
/** @{ */
#define CANFD_FRAME_EXT 0x01 /**< 29-bit identifier. */
#define CANFD_FRAME_RTR 0x02 /**< Remote frame (classic frames only). */
#define CANFD_FRAME_FD 0x04  /**< CAN FD frame. */
#define CANFD_FRAME_BRS 0x08 /**< CAN FD: data phase at the data bit rate. */
#define CANFD_FRAME_ESI 0x10 /**< CAN FD: the sender was error passive (received frames). */
/** @} */

/** Largest data length of a frame. */
#define CANFD_MAX_DATA_LEN 64

/** A classic or CAN FD frame. */
typedef struct {
  DWORD id;           /**< Identifier: 11 bits, or 29 with CANFD_FRAME_EXT. */
  BYTE flags;         /**< CANFD_FRAME_... flags. */
  BYTE len;           /**< Data bytes: 0 to 8 (classic), 0 to 64 (CAN FD). */
  BYTE type;          /**< Received frames: the adapter's frame type code (0 to 3). */
  BYTE reserved;      /**< 0. */
  DWORD second;       /**< Received frames: the adapter's time stamp, seconds. */
  DWORD usecond;      /**< Received frames: the adapter's time stamp, microseconds. */
  DWORD host_second;  /**< Received frames: the same moment in host time, seconds since the
                           Unix epoch. */
  DWORD host_usecond; /**< Received frames: the host time's microseconds. */
  BYTE data[CANFD_MAX_DATA_LEN]; /**< Data bytes; the first len count. */
} CANFD_Frame_St;

/**
 * Sends i_dwCount frames on a port, in order, packed up to seven to a
 * report (when eight reports wait, the frames find room in them as
 * CANFD_SetCANTxMsg's do).
 * Waits up to i_dwTimeoutMs milliseconds in all for room in the
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
 * port, gone and closing results of the other calls.
 *
 * The type, reserved and time fields of the frames are ignored. A classic
 * frame with CANFD_FRAME_BRS or CANFD_FRAME_ESI is invalid; a CAN FD frame
 * may carry CANFD_FRAME_ESI, which is sent as given. A remote frame's len
 * is the length it requests (0 to 8).
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[in] i_pFrames the frames (may be NULL when i_dwCount is 0).
 * @param i_dwCount number of frames.
 * @param i_dwTimeoutMs longest wait for room, in milliseconds, for the whole
 *        call (0: does not wait).
 * @param[out] o_dwSent receives the number of frames accepted; may be NULL.
 * @retval 0 all frames were accepted.
 * @retval CANFD_ERR_TX_QUEUE_FULL the time ran out: the first *o_dwSent
 *         frames were accepted, the others were not.
 * @retval CANFD_ERR_INVALID_PARAM a frame is invalid; none was sent.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or close
 *         began (before or while the call waited).
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged (before or while
 *         the call waited).
 * @par Threads and blocking
 * Any thread; several threads may send on one port at once, but the frames
 * of concurrent calls may interleave (each report's frames stay in order).
 * Sleeps up to i_dwTimeoutMs while the transmit report queue is full.
 */
int CANFD_SendCANFrames(WORD hidnum, BYTE i_byCANPort, const CANFD_Frame_St *i_pFrames,
                        DWORD i_dwCount, DWORD i_dwTimeoutMs, DWORD *o_dwSent);

/**
 * Waits up to i_dwTimeoutMs milliseconds for a frame on a port (0: does not
 * wait), then takes every waiting frame, up to i_dwMax, in arrival order.
 * *o_dwCount receives how many were taken. Results: 0 with at least one
 * frame; CANFD_ERR_RX_BUF_EMPTY when none came in time; after an unplug,
 * the frames received before it, then CANFD_ERR_DEVICE_GONE; and the device
 * and port results of the other calls.
 *
 * Each frame has its flags (CANFD_FRAME_BRS and CANFD_FRAME_ESI included),
 * its length in bytes (a remote frame's requested length), zeros after its
 * data, the adapter's time stamp and the same moment in host time. The host
 * time is given when the receive worker stores the frame: the adapter's
 * clock mapped onto the host's monotonic clock, learned from the reports
 * as they arrive (their rate and offset followed as the adapter's crystal
 * drifts; the first report of a port is dated by its arrival), then
 * expressed in wall-clock time as the wall clock reads then (so that it
 * follows a wall clock that is set, at once). The intervals between the
 * host times of a port's frames are the adapter's within 1%, and host times
 * follow adapter times whichever thread takes the frames.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_pFrames receives the frames; holds i_dwMax.
 * @param i_dwMax most frames to take (0: returns 0 at once).
 * @param i_dwTimeoutMs longest wait in milliseconds (0: does not wait).
 * @param[out] o_dwCount receives the number of frames taken; may be NULL.
 * @retval 0 at least one frame was taken (none when i_dwMax is 0).
 * @retval CANFD_ERR_RX_BUF_EMPTY none came in time.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it was
 *         closed before or while the call waited.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @retval CANFD_ERR_DEVICE_GONE no frame waits and the adapter was unplugged.
 * @par Threads and blocking
 * Any thread; sleeps (without polling) up to i_dwTimeoutMs; the receive
 * worker wakes it once per batch of reports. Frames go to one taker each:
 * two threads taking from one port share the frames. A call takes up to 256
 * frames at a time under the port's lock; more, when i_dwMax allows, in
 * further steps without waiting.
 */
int CANFD_ReceiveCANFrames(WORD hidnum, BYTE i_byCANPort, CANFD_Frame_St *o_pFrames, DWORD i_dwMax,
                           DWORD i_dwTimeoutMs, DWORD *o_dwCount);

/**
 * A descriptor for poll, select, epoll or an event loop: readable while
 * frames wait in the port's receive ring (taking them all makes it quiet
 * again), and once the device is gone. It is written once per batch of
 * frames the receive worker stores. The library owns it: do not close it;
 * it is valid until the device is closed. Reading it (as one does with
 * eventfds) is not needed and does no harm: it quiets it until more frames
 * arrive.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_iFd receives the descriptor.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
int CANFD_GetCANRxEventFd(WORD hidnum, BYTE i_byCANPort, int *o_iFd);

/**
 * Counts of a port since open or the last clear: frames dropped because the
 * receive ring was full, and frames that never reached the adapter: those
 * of the frame reports refused because the transmit queue was full
 * (CANFD_SetCANTxMsg and USBDEV_Write), lost in a write that the node gave
 * up on (a stalled adapter), or still queued when the drain time of close
 * ran out.
 * Either pointer may be NULL. A non-zero i_byClear sets both to 0 after
 * reading them. The counts wrap around at 2^32.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_dwRxDropped receives the dropped frames; may be NULL.
 * @param[out] o_dwTxRefused receives the frames that did not reach the
 *        adapter; may be NULL.
 * @param i_byClear non-zero: set both counts to 0 after reading them.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @par Threads and blocking
 * Any thread; never waits (only for the port's receive lock).
 */
int CANFD_GetCANFrameCounts(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwRxDropped,
                            DWORD *o_dwTxRefused, BYTE i_byClear);

/** @} */

/**
 * @defgroup sharing Sharing an adapter between programs
 * @brief Several programs on one adapter: who may change a port's settings.
 *
 * Any number of programs may have an adapter open at once (a logger beside
 * an application, say); each receives every frame. A program *uses* a port
 * once it sends or takes frames on it, asks for its readiness descriptor, or
 * changes its settings; it stops using it when it closes the device (or
 * ends, however it ends) or calls CANFD_ReleaseCANPort. While another
 * program uses a port, the calls that change its settings (operating mode,
 * bit rates, filters, hardware sending) are refused with
 * CANFD_ERR_PORT_IN_USE, and the resets and the serial number write while
 * another program uses either port, unless this program asked to override
 * (CANFD_SetCANPortOverride). The reads, the re-initialisation (which
 * restarts the port with its settings, after bus off say) and the LEDs are
 * never refused. A
 * program that only listens thus never disturbs the others, and the last
 * program that uses a port may switch it off when it is done, if it switched
 * it on (CANFD_ReleaseCANPort).
 *
 * The programs learn of each other through advisory locks (fcntl) on a file
 * per adapter node in /run/lock (canfd-DEV-INODE.lock); the kernel drops a
 * program's locks when it ends, and says which program holds one. Where
 * /run/lock cannot be written, programs are not told of each other and no
 * call is refused. Only programs that use this library take part.
 * @{
 */

/**
 * Another program that uses a port, if any: its process id and its name
 * (the command name the system gives, at most 15 characters).
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_dwPid receives the process id, or 0 when no other program
 *        uses the port (or the system does not tell which); may be NULL.
 * @param[out] o_szName receives the program's name, or an empty string;
 *        may be NULL.
 * @param i_dwNameSize bytes o_szName holds (16 is enough).
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
int CANFD_GetCANPortUser(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwPid, char *o_szName,
                         DWORD i_dwNameSize);
/**
 * Lets this program change a port's settings while other programs use it
 * (i_byOverride non-zero), or not (0, as after open).
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param i_byOverride non-zero to override.
 * @retval 0 done.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
int CANFD_SetCANPortOverride(WORD hidnum, BYTE i_byCANPort, BYTE i_byOverride);
/**
 * This program is done with a port: switches it off (operating mode
 * disabled, with the bus and ISO mode words this program set) if this
 * program switched it on (its last CANFD_SetCANOPMode on the port enabled
 * it) and no other program uses it; then stops using it. Call it before
 * close, at exit.
 *
 * @param hidnum device index.
 * @param i_byCANPort port, 1 or 2.
 * @param[out] o_bySwitchedOff receives 1 when the port was switched off,
 *        else 0; may be NULL.
 * @retval 0 done (switched off or left as it was).
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed.
 * @retval CANFD_ERR_INVALID_PORT i_byCANPort is not 1 or 2.
 * @return or the results of CANFD_SetCANOPMode, when switching off failed.
 * @par Threads and blocking
 * Any thread; exchanges one command (at most one second) when it switches
 * the port off.
 */
int CANFD_ReleaseCANPort(WORD hidnum, BYTE i_byCANPort, BYTE *o_bySwitchedOff);

/** @} */

/* ==========================================================================
 * Internals kept for compatibility
 * ========================================================================== */

/**
 * @defgroup internals Internals kept for compatibility
 * @brief The device record, the worker control block, the workers' entry
 * points, the transmit report queue and the raw command exchange.
 *
 * Applications do not need anything in this part: the calls above open,
 * configure and close a device, send and receive frames, and tell every
 * failure. These names stay exported, unchanged in name, layout and value,
 * so that programs built against earlier releases keep building, linking
 * and running, and because the ring functions of canfd_comm.h take a device
 * record. Several are safe only where the library itself calls them, as
 * each one says: a worker body or a queue function called by an application
 * breaks its device, or the process.
 */

/**
 * @defgroup records Device record and worker control block
 * @ingroup internals
 * @brief The per-device record, its buffer sizes, and the worker control
 * block.
 *
 * The library allocates one device record and one worker control block for
 * each open device and keeps them to itself: no call hands one out. The
 * record's layout is public because the ring functions of canfd_comm.h work
 * on a record given to them.
 * @{
 */

/** Bytes in a report: the report number byte and the 512 packet bytes. */
#define CANFD_REPORT_SIZE 513
/** Bytes in a port's receive ring: 10240 received-frame records. */
#define CANFD_RX_RING_SIZE 819200
/** Bytes in a port's transmit ring: 128 transmitted-frame records. */
#define CANFD_TX_RING_SIZE 9216

/** One outgoing report of the transmit report queue. */
typedef struct {
  BYTE data[CANFD_REPORT_SIZE]; /**< Byte 0 is the report number (0), then the packet. */
  int size;                     /**< Unused: reports always go out whole. */
} USBDEV_TxBuf_St;

/**
 * Per-device record, one per open adapter.
 *
 * The four byte rings hold frame records of their port: whole 80-byte
 * received-frame records in the receive rings, 72-byte transmitted-frame
 * records in the transmit rings.
 */
typedef struct {
  int fd;             /**< The open hidraw node. */
  BYTE hidNum;        /**< Unused. */
  WORD PID;           /**< Unused. */
  DWORD BID;          /**< Unused. */
  BYTE IsDeviceOpen;  /**< 1 while the device is open. */
  int event_fd;       /**< eventfd that wakes the transmit worker. */
  uint32_t LastError; /**< Sticky transmit error: see USBDEV_GetLastError(). */
  USBDEV_TxBuf_St TxBuf[CANFD_TXQUEUE_SLOTS]; /**< The transmit report queue. */
  int TxIn;                                   /**< Queue position of the next report to add. */
  int TxOut;                      /**< Queue position of the next report to write out. */
  int TxCnt;                      /**< Reports in the queue. */
  pthread_mutex_t mutex_USBDevTx; /**< Guards the transmit report queue. */
  pthread_mutex_t mutex_CANTx_P1; /**< Guards port 1's transmit ring. */
  pthread_mutex_t mutex_CANTx_P2; /**< Guards port 2's transmit ring. */
  pthread_mutex_t mutex_CANRx_P1; /**< Guards port 1's receive ring. */
  pthread_mutex_t mutex_CANRx_P2; /**< Guards port 2's receive ring. */
  pthread_mutex_t mutex_NormPkt;  /**< Held by a command for its whole exchange. */
  DWORD BUFF_RX_Larg_C1_Start;    /**< Port 1 receive ring: offset of the oldest byte. */
  DWORD BUFF_RX_Larg_C1_End;      /**< Port 1 receive ring: offset after the newest byte. */
  DWORD BUFF_RX_Larg_C1_Count;    /**< Port 1 receive ring: bytes held. */
  DWORD BUFF_RX_Larg_C2_Start;    /**< Port 2 receive ring: offset of the oldest byte. */
  DWORD BUFF_RX_Larg_C2_End;      /**< Port 2 receive ring: offset after the newest byte. */
  DWORD BUFF_RX_Larg_C2_Count;    /**< Port 2 receive ring: bytes held. */
  DWORD BUFF_TX_Larg_C1_Start;    /**< Port 1 transmit ring: offset of the oldest byte. */
  DWORD BUFF_TX_Larg_C1_End;      /**< Port 1 transmit ring: offset after the newest byte. */
  DWORD BUFF_TX_Larg_C1_Count;    /**< Port 1 transmit ring: bytes held. */
  DWORD BUFF_TX_Larg_C2_Start;    /**< Port 2 transmit ring: offset of the oldest byte. */
  DWORD BUFF_TX_Larg_C2_End;      /**< Port 2 transmit ring: offset after the newest byte. */
  DWORD BUFF_TX_Larg_C2_Count;    /**< Port 2 transmit ring: bytes held. */
  BYTE BUFF_RX_NormPkt[512];      /**< The answer to the command in progress. */
  BYTE BUFF_RX_LargPkt_C1[CANFD_RX_RING_SIZE]; /**< Port 1 receive ring storage. */
  BYTE BUFF_RX_LargPkt_C2[CANFD_RX_RING_SIZE]; /**< Port 2 receive ring storage. */
  BYTE BUFF_TX_LargPkt_C1[CANFD_TX_RING_SIZE]; /**< Port 1 transmit ring storage. */
  BYTE BUFF_TX_LargPkt_C2[CANFD_TX_RING_SIZE]; /**< Port 2 transmit ring storage. */
  BYTE m_byNormalPktArrive; /**< 1 once the answer to the command in progress arrived. */
} KALVEN_CANFD_CAN_Buf_St, *PKALVEN_CANFD_CAN_Buf_St;
/** @typedef PKALVEN_CANFD_CAN_Buf_St
 * Pointer to a device record: the form in which the functions take it. */

/**
 * Worker control block, one per open device.
 *
 * Made by new_thread(), which starts both workers of the device.
 */
typedef struct receivethread thread_t;
/** The worker control block (see thread_t). */
struct receivethread {
  int TransmitHandle;    /**< 1 when the transmit worker was started. */
  int ReceiveHandle;     /**< 1 when the receive worker was started. */
  int enable_rxthread;   /**< 1 while the receive worker runs, 0 while it is paused. */
  int enable_txthread;   /**< 1 while the transmit worker runs, 0 while it is paused. */
  pthread_t RxThread;    /**< The receive worker. */
  pthread_t TxThread;    /**< The transmit worker. */
  pthread_mutex_t mutex; /**< Guards the enable flags. */
  pthread_cond_t cond;   /**< Wakes a paused worker. */
  WORD (*rxthread_func)(thread_t *thread, BOOL Flage); /**< rxthread_config(). */
  WORD (*txthread_func)(thread_t *thread, BOOL Flage); /**< txthread_config(). */
};

/** @} */

/**
 * @defgroup transport Workers and the transmit report queue
 * @ingroup internals
 * @brief Starting and pausing the workers, their bodies, the transmit report
 * queue and raw packet writes.
 *
 * CANFD_OpenDevice starts the workers through new_thread() and
 * CANFD_CloseDevice stops them; CANFD_SetCANTxMsg and CANFD_SendCANFrames
 * fill the transmit report queue. The queue holds up to CANFD_TXQUEUE_SLOTS
 * reports, guarded by the record's mutex_USBDevTx; the transmit worker
 * writes them to the node in order, after any command request or reset that
 * waits. When the queue is full, the two frame calls add frames to their
 * port's newest queued frame report, or put the queued frame reports
 * together to make room; USBDEV_Write always takes a slot of its own.
 * @{
 */

/**
 * Makes a worker control block and starts the two workers of a device.
 *
 * For CANFD_OpenDevice, which calls it with the library lock held; the
 * workers wait until open has published the block. Not for applications:
 * workers started for an open device wait for ever, and those started for
 * an index with no device crash the process.
 *
 * @param hidnum device index being opened.
 * @return the block, with ReceiveHandle and TransmitHandle set for the
 *         workers that started; NULL when there is no memory.
 */
thread_t *new_thread(int hidnum);
/**
 * Pauses or resumes the receive worker of a control block.
 *
 * A paused worker stops reading once it has handled the reports that wait:
 * no answer and no frame arrives until it is resumed, and commands time out.
 *
 * @param thread the control block.
 * @param Flage non-zero resumes the worker (and wakes it), 0 pauses it.
 * @retval 0 done.
 * @retval 0xFFFF the worker was never started, or could not be woken.
 * @par Threads and blocking
 * Any thread; takes the block's mutex, never waits otherwise.
 */
WORD rxthread_config(thread_t *thread, BOOL Flage);
/**
 * Pauses or resumes the transmit worker of a control block.
 *
 * A paused worker writes no report; the transmit report queue fills up.
 *
 * @param thread the control block.
 * @param Flage non-zero resumes the worker (and wakes it), 0 pauses it.
 * @retval 0 done.
 * @retval 0xFFFF the worker was never started, or could not be woken.
 * @par Threads and blocking
 * As rxthread_config.
 */
WORD txthread_config(thread_t *thread, BOOL Flage);
/**
 * The receive worker: reads every report from the node until the device
 * closes or is gone. It is the only thread that reads the node: it takes
 * every report that waits each time it wakes, hands answers over at once,
 * stores frames and wakes each port's waiters once per batch; while
 * reports come faster than one per millisecond it lets a few gather
 * between its reads (for as long as four take at their rate: 0.5 ms at the
 * full USB rate, at most 0.8 ms; the kernel keeps 64), except while a
 * command waits for its answer. A caller
 * that holds a port's receive lock does not hold it up: it keeps reading
 * and stores that port's frames once the lock is free (it waits for the
 * lock only once 64 of that port's reports wait for it).
 *
 * Runs on the thread that new_thread() starts; not for applications.
 *
 * @param hidnum device index.
 */
void USBDEV_TxRxThread(WORD hidnum);
/**
 * The transmit worker: writes command requests and resets first, then the
 * reports of the transmit report queue, until the device closes (then what
 * it accepted, until the drain time of close is up). It is the only thread
 * that writes the node (a USB hidraw write blocks until the adapter takes
 * the report, up to about 5 s).
 *
 * Runs on the thread that new_thread() starts; not for applications.
 *
 * @param hidnum device index.
 */
void USBDEV_TxThread(WORD hidnum);
/**
 * Queues one packet for the transmit worker and wakes it.
 *
 * The report is the report number 0, the packet, and zeros up to
 * CANFD_REPORT_SIZE. Nothing waits for an answer: packets that the adapter
 * answers belong in CANFD_Send_Recv. A frame packet that the full queue
 * refuses is lost and counted (CANFD_GetCANFrameCounts). Whether the report
 * is written shows later in USBDEV_GetLastError.
 *
 * @param hidnum device index.
 * @param[in] data the packet.
 * @param sz packet length in bytes, up to CANFD_PACKET_MAX.
 * @retval 0 queued.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or close
 *         has begun.
 * @retval CANFD_ERR_DATA_TOO_LONG sz is above CANFD_PACKET_MAX.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged.
 * @retval CANFD_ERR_TX_QUEUE_FULL CANFD_TXQUEUE_SLOTS reports wait already.
 * @par Threads and blocking
 * Any thread; never waits for the adapter (only for the queue's mutex).
 */
int USBDEV_Write(WORD hidnum, BYTE *data, DWORD sz);
/**
 * Adds a packet to the transmit report queue of an open device, without
 * waking the transmit worker (USBDEV_Notify does).
 *
 * @param hidnum device index of an open device (not checked).
 * @param[in] data the packet.
 * @param datasize packet length in bytes, up to CANFD_PACKET_MAX (not
 *        checked).
 * @return the number of reports queued now (1 to CANFD_TXQUEUE_SLOTS), or
 *         -1 when the queue was full.
 * @par Threads and blocking
 * The caller holds the record's mutex_USBDevTx; never blocks.
 */
int USBDEV_TxBuf_EnQueue(WORD hidnum, BYTE *data, int datasize);
/**
 * Drops the oldest report of the transmit report queue of an open device.
 *
 * @param hidnum device index of an open device (not checked); its queue
 *        must not be empty.
 * @return the number of reports left.
 * @par Threads and blocking
 * The caller holds the record's mutex_USBDevTx; never blocks.
 */
int USBDEV_TxBuf_DeQueue(WORD hidnum);
/**
 * The number of reports in a record's transmit report queue.
 *
 * @param pCAN_FD the device record.
 * @return 0 to CANFD_TXQUEUE_SLOTS.
 * @par Threads and blocking
 * Hold the record's mutex_USBDevTx for an answer that stays true; never
 * blocks.
 */
int USBDEV_TxBuf_QueueNum(PKALVEN_CANFD_CAN_Buf_St pCAN_FD);
/**
 * Wakes the transmit worker of a record (through its event_fd).
 *
 * @param pCAN_FD the device record.
 * @par Threads and blocking
 * Any thread; never blocks.
 */
void USBDEV_Notify(PKALVEN_CANFD_CAN_Buf_St pCAN_FD);

/** @} */

/**
 * @defgroup exchange Raw command exchange
 * @ingroup internals
 * @brief The synchronous command exchange under every command call.
 *
 * Each command call builds its request, exchanges it through
 * CANFD_Send_Recv and decodes the answer; every command the adapter takes
 * has its call above.
 * @{
 */

/**
 * Synchronous command exchange: writes i_bySend as one report and waits up
 * to CmdTimeout ms for the answer, copied to o_byRecv (512 bytes).
 *
 * The transmit worker writes the request ahead of the transmit report
 * queue. Its answer is the adapter's next '!' or '?' packet with the same
 * function code (a '!' answer to a '$' read carries data). Commands to one
 * device run one at a time: the call first waits for the command before it.
 * An answer that comes after its command gave up is recognised as late and
 * dropped, never taken by the next command, unless that command's request
 * is the same, byte for byte: then the answer is the waiting command's (the
 * adapter may as well have lost the first request, after a silent spell;
 * the answer says the same). A request that the transmit worker could not
 * write in time because the node holds its write (a stalled adapter) is
 * withdrawn; one it was only slow to write still goes out, and its answer
 * is expected for a second. Packets that the adapter does not answer (frame
 * packets, the resets) end in CANFD_ERR_CMD_TIMEOUT.
 *
 * @param hidnum device index.
 * @param[in] i_bySend the request packet: 6-byte header and payload.
 * @param wData_Len request length in bytes, up to CANFD_PACKET_MAX.
 * @param[out] o_byRecv receives the answer packet, header and payload (at
 *        most 512 bytes). A refused request's answer starts with '?'
 *        (CANFD_OP_FAIL) and has the adapter's error code at byte 6.
 * @param CmdTimeout milliseconds from the start of the call (the write
 *        included) that the call waits for the answer.
 * @retval 0 an answer arrived, '!' or '?'.
 * @retval CANFD_ERR_INVALID_INDEX hidnum is 128 or more.
 * @retval CANFD_ERR_DEVICE_NOT_OPEN no device is open at hidnum, or it is
 *         being closed (also while the call waits).
 * @retval CANFD_ERR_DATA_TOO_LONG wData_Len is above CANFD_PACKET_MAX.
 * @retval CANFD_ERR_DEVICE_GONE the adapter was unplugged (before or while
 *         the call waited).
 * @retval CANFD_ERR_CMD_TIMEOUT no answer in time, or the node did not take
 *         the request in time.
 * @retval CANFD_ERR_USB_WRITE the node refused the request, or gave up on it
 *         (also recorded for USBDEV_GetLastError).
 * @par Threads and blocking
 * Any thread; waits for the command before it, then up to CmdTimeout ms.
 */
int CANFD_Send_Recv(WORD hidnum, BYTE *i_bySend, WORD wData_Len, BYTE *o_byRecv, DWORD CmdTimeout);

/** @} */

/**
 * @defgroup serial Board id text
 * @ingroup internals
 * @brief The board id text of a hidraw node, through a shell pipeline.
 *
 * The scans read the board id from sysfs themselves, and CANFD_ListDevice
 * gives it as a number; this older call runs a shell pipeline for it.
 * @{
 */

/**
 * Reads the board id text (HID_UNIQ) of /dev/hidrawN from sysfs.
 *
 * Runs a shell pipeline (cat, grep and cut through popen) that reads
 * /sys/class/hidraw/hidrawN/device/uevent. The text, with its newline, goes
 * to buffer as fgets() stores it; when nothing could be read, "Error
 * reading from BIDstr.." is printed on standard error and buffer is left as
 * it was.
 *
 * @param num N of /dev/hidrawN.
 * @param[out] buffer receives the text; at most bufferSize - 1 characters
 *        and a terminating NUL.
 * @param bufferSize size of buffer in bytes.
 * @retval -1 the pipeline ran (whether or not it found the text).
 * @retval 0 the pipeline could not be started (a message is printed on
 *         standard error).
 * @par Threads and blocking
 * Any thread; does not take the library lock. Blocks while the shell
 * pipeline runs (a fork and three programs).
 */
int getserialnum(BYTE num, char *buffer, size_t bufferSize);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* CANFD_H */
