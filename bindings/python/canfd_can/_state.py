"""The bus state of a port followed by reading it again and again: the error
frames that tell its changes (as the project's SocketCAN bridge makes them,
and as a CAN controller's kernel driver does), and the timer descriptor that
tells when the next read is due, so that a program waiting on a bus's
descriptor wakes for it without a thread of its own."""

import ctypes
import os
from typing import Optional, Tuple

from . import _lib

# linux/can/error.h: error classes (the identifier of an error frame) and
# the bits of data[1] for CAN_ERR_CRTL.
CAN_ERR_CRTL = 0x004
CAN_ERR_BUSOFF = 0x040
CAN_ERR_RESTARTED = 0x100
CAN_ERR_CNT = 0x200
CAN_ERR_DLC = 8
CAN_ERR_CRTL_RX_WARNING = 0x04
CAN_ERR_CRTL_TX_WARNING = 0x08
CAN_ERR_CRTL_RX_PASSIVE = 0x10
CAN_ERR_CRTL_TX_PASSIVE = 0x20
CAN_ERR_CRTL_ACTIVE = 0x40

# data[1] of a side (transmit, receive) in error active, warning and passive.
_CRTL_BITS = (
    (CAN_ERR_CRTL_ACTIVE, CAN_ERR_CRTL_TX_WARNING, CAN_ERR_CRTL_TX_PASSIVE),
    (CAN_ERR_CRTL_ACTIVE, CAN_ERR_CRTL_RX_WARNING, CAN_ERR_CRTL_RX_PASSIVE),
)

STATE_TEXT = {_lib.BUS_ERROR_ACTIVE: "error active", _lib.BUS_ERROR_WARNING: "error warning",
              _lib.BUS_ERROR_PASSIVE: "error passive", _lib.BUS_OFF: "bus off"}


def _crtl_bits(state: int, tx_errors: int, rx_errors: int) -> int:
    """data[1] for a state short of bus off: the state of the side whose
    counter is the higher (both when equal); the other side stays active."""
    tx = state if tx_errors >= rx_errors else _lib.BUS_ERROR_ACTIVE
    rx = state if tx_errors <= rx_errors else _lib.BUS_ERROR_ACTIVE
    bits = 0
    if tx >= rx:
        bits |= _CRTL_BITS[0][tx]
    if tx <= rx:
        bits |= _CRTL_BITS[1][rx]
    return bits


class ErrorFrames:
    """Follows the bus state of one port, which starts error active, and
    makes the error frame that tells each change."""

    def __init__(self) -> None:
        self.state = _lib.BUS_ERROR_ACTIVE

    def update(self, state: int, tx_errors: int, rx_errors: int) -> Optional[Tuple[int, bytes]]:
        """(error class, 8 data bytes) for a change to state; None when it
        stayed (changed counters alone are no news). Every frame carries the
        counters (CAN_ERR_CNT: data[6] transmit, data[7] receive). Entering
        bus off: CAN_ERR_BUSOFF. Leaving it: CAN_ERR_RESTARTED, with the
        state reached as below unless it is error active. Any other change:
        CAN_ERR_CRTL with data[1] telling the new state per side."""
        if state == self.state or state not in STATE_TEXT:
            return None
        before, self.state = self.state, state
        data = bytearray(CAN_ERR_DLC)
        data[6], data[7] = tx_errors, rx_errors
        can_id = CAN_ERR_CNT
        if state == _lib.BUS_OFF:
            return can_id | CAN_ERR_BUSOFF, bytes(data)
        if before == _lib.BUS_OFF:
            can_id |= CAN_ERR_RESTARTED
            if state == _lib.BUS_ERROR_ACTIVE:
                return can_id, bytes(data)
        data[1] = _crtl_bits(state, tx_errors, rx_errors)
        return can_id | CAN_ERR_CRTL, bytes(data)


class _Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


class _Itimerspec(ctypes.Structure):
    _fields_ = [("it_interval", _Timespec), ("it_value", _Timespec)]


_CLOCK_MONOTONIC = 1
_TFD_NONBLOCK = os.O_NONBLOCK
_TFD_CLOEXEC = os.O_CLOEXEC
_libc: Optional[ctypes.CDLL] = None


def _timerfd() -> ctypes.CDLL:
    global _libc
    if _libc is None:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.timerfd_create.argtypes = [ctypes.c_int, ctypes.c_int]
        libc.timerfd_settime.argtypes = [ctypes.c_int, ctypes.c_int,
                                         ctypes.POINTER(_Itimerspec), ctypes.c_void_p]
        _libc = libc
    return _libc


class Timer:
    """A one-shot timer descriptor (timerfd, monotonic clock): readable once
    the time it was armed for has passed, until it is armed again or
    disarmed."""

    def __init__(self) -> None:
        fd = _timerfd().timerfd_create(_CLOCK_MONOTONIC, _TFD_NONBLOCK | _TFD_CLOEXEC)
        if fd < 0:
            err = ctypes.get_errno()
            raise OSError(err, f"timerfd_create: {os.strerror(err)}")
        self.fd = fd

    def arm(self, seconds: float) -> None:
        """Readable after seconds (more than 0) from now; 0 disarms it."""
        due = _Itimerspec()
        if seconds > 0:  # all zero would disarm it
            due.it_value.tv_sec, due.it_value.tv_nsec = divmod(max(1, round(seconds * 1e9)),
                                                               1_000_000_000)
        if _timerfd().timerfd_settime(self.fd, 0, ctypes.byref(due), None) != 0:
            err = ctypes.get_errno()
            raise OSError(err, f"timerfd_settime: {os.strerror(err)}")

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
