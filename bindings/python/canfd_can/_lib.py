"""ctypes view of libcanfd: loading, prototypes, result codes and the scan list."""

import ctypes
import ctypes.util
import os
import threading

from can import CanInterfaceNotImplementedError

BYTE = ctypes.c_uint8
WORD = ctypes.c_uint16
DWORD = ctypes.c_uint32
_PB = ctypes.POINTER(BYTE)
_PW = ctypes.POINTER(WORD)
_PD = ctypes.POINTER(DWORD)
_PV = ctypes.c_void_p

LIST_SIZE = 8
STD_FILTERS = 128
EXT_FILTERS = 64
EMPTY_ENTRY = 0xFFFFFFFF


class ResultCode(ctypes.Structure):
    """One entry of the library's table of result codes."""

    _fields_ = [("code", ctypes.c_int), ("name", ctypes.c_char_p), ("text", ctypes.c_char_p)]


_result_codes = None


def result_codes():
    """The library's result codes: {"CANFD_ERR_...": (code, text)}."""
    global _result_codes
    if _result_codes is None:
        table = ctypes.POINTER(ResultCode)()
        count = lib().CANFD_GetResultCodes(ctypes.byref(table))
        _result_codes = {table[i].name.decode(): (table[i].code, table[i].text.decode())
                         for i in range(count)}
    return _result_codes


def __getattr__(name):
    """ERR_TX_QUEUE_FULL and the others, taken from the library's table."""
    if name.startswith("ERR_"):
        entry = result_codes().get("CANFD_" + name)
        if entry is not None:
            return entry[0]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def describe(rc):
    """Text for a result of the library: a result code or an adapter error code."""
    text = lib().CANFD_GetResultText(rc).decode()
    return f"{text} (code {rc})" if 0 < rc <= 255 else text


def describe_open(rc):
    """Text for a result of CANFD_OpenDevice, whose 1, 2 and 5 are its own."""
    own = {1: "cannot open the device node", 2: "cannot start the workers",
           5: "out of resources"}
    return own.get(rc) or describe(rc)


class ListDev(ctypes.Structure):
    """One entry of the scan list (struct ListPARM)."""

    _fields_ = [("Dev_hidNum", ctypes.c_uint), ("Dev_PID", WORD), ("Dev_BID", DWORD)]


class RxFrame(ctypes.Structure):
    """The outputs of one CANFD_GetCANRxMsg call, in one allocation."""

    _fields_ = [
        ("type", BYTE),
        ("mode", BYTE),
        ("rtr", BYTE),
        ("fdf", BYTE),
        ("dlc", BYTE),
        ("id", DWORD),
        ("sec", DWORD),
        ("usec", DWORD),
        ("data", BYTE * 64),
    ]


_PROTOTYPES = {
    "CANFD_ScanDevice": [],
    "CANFD_OpenDevice": [_PW, WORD, DWORD],
    "CANFD_CloseDevice": [WORD],
    "CANFD_GetFwVer": [WORD, _PW],
    "CANFD_GetCANOPMode": [WORD, BYTE, _PW, _PW, _PW],
    "CANFD_SetCANOPMode": [WORD, BYTE, WORD, WORD, WORD],
    "CANFD_GetCANADBaudRate": [WORD, BYTE, _PD, _PD, _PW, _PW],
    "CANFD_SetCANADBaudRate": [WORD, BYTE, DWORD, DWORD, WORD, WORD],
    "CANFD_GetCANGlobalFilter": [WORD, BYTE, _PB, _PB, _PW, _PW],
    "CANFD_SetCANGlobalFilter": [WORD, BYTE, BYTE, BYTE],
    "CANFD_GetCANSTDIDFilter": [WORD, BYTE, _PW, _PW],
    "CANFD_SetCANSTDIDFilter": [WORD, BYTE, WORD, _PW, _PW],
    "CANFD_GetCANEXTIDFilter": [WORD, BYTE, _PD, _PD],
    "CANFD_SetCANEXTIDFilter": [WORD, BYTE, WORD, _PD, _PD],
    "CANFD_SetCANTxMsg": [WORD, BYTE, BYTE, DWORD, BYTE, BYTE, BYTE, _PB],
    "CANFD_ClearCANTxBuf": [WORD, BYTE],
    "CANFD_WaitCANRxMsg": [WORD, BYTE, DWORD],
    # The outputs point into one RxFrame (see RxFrame).
    "CANFD_GetCANRxMsg": [WORD, BYTE, _PV, _PV, _PV, _PV, _PV, _PV, _PV, _PV, _PV],
    "CANFD_ClearCANRxBuf": [WORD, BYTE],
    "CANFD_GetResultCodes": [_PV],
    "CANFD_GetResultText": [ctypes.c_int],
}

_load_lock = threading.Lock()
_lib = None


def library_path():
    """Where the library is taken from: CANFD_LIBRARY, else the linker's search."""
    return (
        os.environ.get("CANFD_LIBRARY")
        or ctypes.util.find_library("canfd")
        or "libcanfd.so.1"
    )


def lib():
    """The loaded library with its prototypes; loaded on first use."""
    global _lib
    with _load_lock:
        if _lib is None:
            path = library_path()
            try:
                handle = ctypes.CDLL(path)
            except OSError as exc:
                raise CanInterfaceNotImplementedError(
                    f"cannot load libcanfd ({path}): {exc}"
                ) from exc
            for name, argtypes in _PROTOTYPES.items():
                fn = getattr(handle, name)
                fn.argtypes = argtypes
                fn.restype = ctypes.c_int
            handle.CANFD_GetResultText.restype = ctypes.c_char_p
            _lib = handle
        return _lib


def scan():
    """Scans for adapters; returns (pid, bid) of each, in the library's order."""
    handle = lib()
    if handle.CANFD_ScanDevice() != 0:
        return []
    entries = (ListDev * LIST_SIZE).in_dll(handle, "List")
    return [(e.Dev_PID, e.Dev_BID) for e in entries if e.Dev_hidNum != EMPTY_ENTRY]


def get_rx_msg(hidnum, port, out):
    """CANFD_GetCANRxMsg into the RxFrame out; returns the library's result."""
    ref = ctypes.byref
    return lib().CANFD_GetCANRxMsg(
        hidnum,
        port,
        ref(out, RxFrame.type.offset),
        ref(out, RxFrame.mode.offset),
        ref(out, RxFrame.id.offset),
        ref(out, RxFrame.rtr.offset),
        ref(out, RxFrame.fdf.offset),
        ref(out, RxFrame.dlc.offset),
        ref(out, RxFrame.data.offset),
        ref(out, RxFrame.sec.offset),
        ref(out, RxFrame.usec.offset),
    )
