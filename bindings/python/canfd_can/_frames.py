"""Frames between python-can and the library: a batch of received frame
records decoded at once into Messages, a Message encoded into a frame record,
the copies of a sent frame for the buses of its own port, and the warning for
dropped frames."""

import ctypes
import logging
import struct
import threading
import time
from typing import List, Optional, Tuple

from can import CanOperationError, Message
from can.util import dlc2len, len2dlc

from . import _lib
from ._filters import EXT_WIDTH, STD_WIDTH, matches

LOG = logging.getLogger("canfd_can")

# Frames taken from the library in one call: what it hands over under its
# port lock at once.
RX_BATCH = 256
# Drops less than this many seconds apart belong to one burst, which is
# warned about once.
DROP_BURST_GAP_S = 1.0

# The fields of a frame record that a Message needs: id, flags, len, (type,
# reserved and the adapter's time skipped), host_second, host_usecond, data.
_RECORD = struct.Struct("<IBB10xII64s")
assert _RECORD.size == _lib.FRAME_SIZE

# Flags of a record -> (is_extended_id, is_remote_frame, is_fd, bitrate_switch,
# error_state_indicator), looked up instead of tested bit by bit.
_FLAG_MASK = 0x1F
_FLAGS = tuple((bool(f & _lib.FRAME_EXT), bool(f & _lib.FRAME_RTR), bool(f & _lib.FRAME_FD),
                bool(f & _lib.FRAME_BRS), bool(f & _lib.FRAME_ESI))
               for f in range(_FLAG_MASK + 1))

# A received frame, decoded once for every bus of its port: (host time, id,
# flags as in _FLAGS, data or None for a remote frame, length).
RxFrame = Tuple[float, int, Tuple[bool, bool, bool, bool, bool], Optional[bytes], int]


def decode(records: memoryview) -> List[RxFrame]:
    """The frame records of a batch (a whole number of them), in order."""
    flags_of, rtr = _FLAGS, _lib.FRAME_RTR
    return [(host_s + host_us * 1e-6, arbitration_id, flags_of[flags & _FLAG_MASK],
             None if flags & rtr else data[:length], length)
            for arbitration_id, flags, length, host_s, host_us, data in
            _RECORD.iter_unpack(records)]


def messages(frames: List[RxFrame], channel: str, filters) -> List[Message]:
    """One bus's own Messages for the frames that pass its filters."""
    if filters:
        frames = [f for f in frames if matches(filters, f[1], f[2][0])]
    return [Message(timestamp=timestamp, arbitration_id=arbitration_id, is_extended_id=ext,
                    is_remote_frame=rtr, is_fd=fd, bitrate_switch=brs,
                    error_state_indicator=esi, dlc=length, data=data, channel=channel,
                    is_rx=True)
            for timestamp, arbitration_id, (ext, rtr, fd, brs, esi), data, length in frames]


def encode(msg: Message, fd_allowed: bool) -> _lib.Frame:
    """The library's frame record for msg; ValueError for a frame that cannot
    be sent as it is, CanOperationError for an error frame."""
    if msg.is_error_frame:
        raise CanOperationError("the adapter cannot send error frames")
    limit = EXT_WIDTH if msg.is_extended_id else STD_WIDTH
    if not 0 <= msg.arbitration_id <= limit:
        raise ValueError(f"arbitration id 0x{msg.arbitration_id:X} out of range")
    data = bytes(msg.data or b"")
    frame = _lib.Frame()
    frame.id = msg.arbitration_id
    flags = _lib.FRAME_EXT if msg.is_extended_id else 0
    if msg.is_fd:
        if not fd_allowed:
            raise ValueError("CAN FD frame on a bus opened without fd=True")
        if msg.is_remote_frame:
            raise ValueError("CAN FD has no remote frames")
        if len(data) > _lib.MAX_DATA_LEN:
            raise ValueError(f"{len(data)} data bytes: CAN FD carries at most 64")
        flags |= _lib.FRAME_FD
        if msg.bitrate_switch:
            flags |= _lib.FRAME_BRS
        if msg.error_state_indicator:
            flags |= _lib.FRAME_ESI
    elif msg.bitrate_switch or msg.error_state_indicator:
        raise ValueError("bit rate switch and error state indicator are CAN FD only")
    elif msg.is_remote_frame:
        if not 0 <= msg.dlc <= 8:
            raise ValueError(f"remote frame dlc {msg.dlc}: at most 8")
        frame.flags, frame.len = flags | _lib.FRAME_RTR, msg.dlc
        return frame
    elif len(data) > 8:
        raise ValueError(f"{len(data)} data bytes: a classic frame carries at most 8")
    frame.flags, frame.len = flags, len(data)
    ctypes.memmove(frame.data, data, len(data))
    return frame


def as_sent(msg: Message, frame: _lib.Frame) -> Tuple[int, Optional[bytes]]:
    """(length, data) of a frame as it goes on the wire: a CAN FD length
    without a data length code of its own is padded with zeros; a remote
    frame has its requested length and no data."""
    if msg.is_remote_frame:
        return frame.len, None
    length = dlc2len(len2dlc(frame.len)) if msg.is_fd else frame.len
    return length, bytes(frame.data)[:length]


def sent_copy(msg: Message, sent: Tuple[int, Optional[bytes]], timestamp: float, channel: str,
              is_rx: bool) -> Message:
    """A bus's own Message for a frame sent on its port by this process."""
    length, data = sent
    return Message(timestamp=timestamp, arbitration_id=msg.arbitration_id,
                   is_extended_id=msg.is_extended_id, is_remote_frame=msg.is_remote_frame,
                   is_fd=msg.is_fd, bitrate_switch=msg.is_fd and msg.bitrate_switch,
                   error_state_indicator=msg.is_fd and msg.error_state_indicator, dlc=length,
                   data=data, channel=channel, is_rx=is_rx)


def error_message(can_id: int, data: bytes, timestamp: float, channel: str) -> Message:
    """An error frame as python-can's socketcan interface returns one."""
    return Message(timestamp=timestamp, arbitration_id=can_id, is_extended_id=False,
                   is_error_frame=True, dlc=len(data), data=data, channel=channel, is_rx=True)


class DropLog:
    """Counts dropped frames and warns once per burst of drops."""

    def __init__(self, where: str, why: str):
        self.where = where
        self._why = why
        self._lock = threading.Lock()
        self._last: Optional[float] = None
        self.total = 0

    def add(self, count: int) -> None:
        now = time.monotonic()
        with self._lock:
            self.total += count
            starts_burst = self._last is None or now - self._last > DROP_BURST_GAP_S
            self._last = now
            total = self.total
        if starts_burst:
            LOG.warning("%s: %d received frames dropped, %s (%d since open; further drops "
                        "less than %g s apart are not logged)", self.where, count, self._why,
                        total, DROP_BURST_GAP_S)
