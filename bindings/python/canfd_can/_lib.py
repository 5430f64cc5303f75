"""ctypes view of libcanfd: loading, prototypes, result codes, the scan list
and the frame record of the frame calls."""

import ctypes
import ctypes.util
import os
import threading
from typing import Dict, List, Optional, Tuple

from can import CanInterfaceNotImplementedError

BYTE = ctypes.c_uint8
WORD = ctypes.c_uint16
DWORD = ctypes.c_uint32
_PB = ctypes.POINTER(BYTE)
_PW = ctypes.POINTER(WORD)
_PD = ctypes.POINTER(DWORD)
_PV = ctypes.c_void_p
_PI = ctypes.POINTER(ctypes.c_int)

LIST_SIZE = 8
STD_FILTERS = 128
EXT_FILTERS = 64
EMPTY_ENTRY = 0xFFFFFFFF
# A wait the library treats as unlimited in practice (49 days).
WAIT_FOREVER_MS = 0xFFFFFFFF

# Flags of a frame record (canfd.h, CANFD_FRAME_...).
FRAME_EXT = 0x01
FRAME_RTR = 0x02
FRAME_FD = 0x04
FRAME_BRS = 0x08
FRAME_ESI = 0x10
MAX_DATA_LEN = 64

# Bus states of CANFD_GetCANBusState (canfd.h, CANFD_BUS_...), and their names.
BUS_ERROR_ACTIVE, BUS_ERROR_WARNING, BUS_ERROR_PASSIVE, BUS_OFF = 0, 1, 2, 3
BUS_STATES = {BUS_ERROR_ACTIVE: "error_active", BUS_ERROR_WARNING: "error_warning",
              BUS_ERROR_PASSIVE: "error_passive", BUS_OFF: "bus_off"}


class Frame(ctypes.Structure):
    """CANFD_Frame_St: one classic or CAN FD frame of the frame calls."""

    _fields_ = [
        ("id", DWORD),
        ("flags", BYTE),
        ("len", BYTE),
        ("type", BYTE),
        ("reserved", BYTE),
        ("second", DWORD),
        ("usecond", DWORD),
        ("host_second", DWORD),
        ("host_usecond", DWORD),
        ("data", BYTE * MAX_DATA_LEN),
    ]


FRAME_SIZE = 88
assert ctypes.sizeof(Frame) == FRAME_SIZE, "CANFD_Frame_St is 88 bytes in canfd.h"


class ResultCode(ctypes.Structure):
    """One entry of the library's table of result codes."""

    _fields_ = [("code", ctypes.c_int), ("name", ctypes.c_char_p), ("text", ctypes.c_char_p)]


_result_codes: Optional[Dict[str, Tuple[int, str]]] = None


def result_codes() -> Dict[str, Tuple[int, str]]:
    """The library's result codes: {"CANFD_ERR_...": (code, text)}."""
    global _result_codes
    if _result_codes is None:
        table = ctypes.POINTER(ResultCode)()
        count = lib().CANFD_GetResultCodes(ctypes.byref(table))
        _result_codes = {table[i].name.decode(): (table[i].code, table[i].text.decode())
                         for i in range(count)}
    return _result_codes


def code(name: str) -> Optional[int]:
    """The code of a result the library may not have yet ("CANFD_ERR_..."), or None."""
    entry = result_codes().get(name)
    return None if entry is None else entry[0]


def __getattr__(name: str) -> int:
    """ERR_TX_QUEUE_FULL and the others, taken from the library's table."""
    if name.startswith("ERR_"):
        entry = result_codes().get("CANFD_" + name)
        if entry is not None:
            return entry[0]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def describe(rc: int) -> str:
    """Text for a result of the library: a result code or an adapter error code."""
    text = lib().CANFD_GetResultText(rc).decode()
    return f"{text} (code {rc})" if 0 < rc <= 255 else text


def describe_open(rc: int) -> str:
    """Text for a result of CANFD_OpenDevice, whose 1, 2 and 5 are its own."""
    own = {1: "cannot open the device node", 2: "cannot start the workers",
           5: "out of resources"}
    return own.get(rc) or describe(rc)


class ListDev(ctypes.Structure):
    """One entry of the scan list (struct ListPARM)."""

    _fields_ = [("Dev_hidNum", ctypes.c_uint), ("Dev_PID", WORD), ("Dev_BID", DWORD)]


_PROTOTYPES = {
    "CANFD_ScanDevice": [],
    "CANFD_OpenDevice": [_PW, WORD, DWORD],
    "CANFD_CloseDevice": [WORD],
    "CANFD_GetFwVer": [WORD, _PW],
    "CANFD_GetCANOPMode": [WORD, BYTE, _PW, _PW, _PW],
    "CANFD_SetCANOPMode": [WORD, BYTE, WORD, WORD, WORD],
    "CANFD_GetCANBusState": [WORD, BYTE, _PB, _PB, _PB],
    "CANFD_SetCANReInitialize": [WORD, BYTE],
    "CANFD_GetCANADBaudRate": [WORD, BYTE, _PD, _PD, _PW, _PW],
    "CANFD_SetCANADBaudRate": [WORD, BYTE, DWORD, DWORD, WORD, WORD],
    "CANFD_GetCANGlobalFilter": [WORD, BYTE, _PB, _PB, _PW, _PW],
    "CANFD_SetCANGlobalFilter": [WORD, BYTE, BYTE, BYTE],
    "CANFD_GetCANSTDIDFilter": [WORD, BYTE, _PW, _PW],
    "CANFD_SetCANSTDIDFilter": [WORD, BYTE, WORD, _PW, _PW],
    "CANFD_GetCANEXTIDFilter": [WORD, BYTE, _PD, _PD],
    "CANFD_SetCANEXTIDFilter": [WORD, BYTE, WORD, _PD, _PD],
    "CANFD_ClearCANTxBuf": [WORD, BYTE],
    "CANFD_ClearCANRxBuf": [WORD, BYTE],
    # Frames point to arrays of Frame.
    "CANFD_SendCANFrames": [WORD, BYTE, _PV, DWORD, DWORD, _PD],
    "CANFD_ReceiveCANFrames": [WORD, BYTE, _PV, DWORD, DWORD, _PD],
    "CANFD_GetCANRxEventFd": [WORD, BYTE, _PI],
    "CANFD_GetCANFrameCounts": [WORD, BYTE, _PD, _PD, BYTE],
    "CANFD_GetCANPortUser": [WORD, BYTE, _PD, ctypes.c_char_p, DWORD],
    "CANFD_SetCANPortOverride": [WORD, BYTE, BYTE],
    "CANFD_ReleaseCANPort": [WORD, BYTE, _PB],
    "CANFD_GetResultCodes": [_PV],
    "CANFD_GetResultText": [ctypes.c_int],
}

_load_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def library_path() -> str:
    """Where the library is taken from: CANFD_LIBRARY, else the linker's search."""
    return (
        os.environ.get("CANFD_LIBRARY")
        or ctypes.util.find_library("canfd")
        or "libcanfd.so.1"
    )


def lib() -> ctypes.CDLL:
    """The loaded library with its prototypes; loaded on first use."""
    global _lib
    loaded = _lib
    if loaded is not None:  # every frame call comes here: no lock once loaded
        return loaded
    with _load_lock:
        if _lib is None:
            path = library_path()
            try:
                handle = ctypes.CDLL(path)
                for name, argtypes in _PROTOTYPES.items():
                    fn = getattr(handle, name)
                    fn.argtypes = argtypes
                    fn.restype = ctypes.c_int
            except (OSError, AttributeError) as exc:
                raise CanInterfaceNotImplementedError(
                    f"cannot load libcanfd ({path}): {exc}"
                ) from exc
            handle.CANFD_GetResultText.restype = ctypes.c_char_p
            _lib = handle
        return _lib


def scan() -> List[Tuple[int, int]]:
    """Scans for adapters; returns (pid, bid) of each, in the library's order."""
    handle = lib()
    if handle.CANFD_ScanDevice() != 0:
        return []
    entries = (ListDev * LIST_SIZE).in_dll(handle, "List")
    return [(e.Dev_PID, e.Dev_BID) for e in entries if e.Dev_hidNum != EMPTY_ENTRY]
