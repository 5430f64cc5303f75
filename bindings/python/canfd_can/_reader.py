"""The reader of one port: a thread that takes the port's frames from the
library and gives every bus on the port its own copy of each frame that
passes the bus's filters; and the warning for dropped frames."""

import ctypes
import logging
import os
import select
import struct
import threading
import time
from typing import Callable, List, Optional, Sequence, Tuple

from can import Message

from . import _lib
from ._filters import matches

LOG = logging.getLogger("canfd_can")

# Frames taken from the library at once.
RX_BATCH = 512
# Drops less than this many seconds apart belong to one burst, which is
# warned about once.
DROP_BURST_GAP_S = 1.0

# id, flags, len, type, reserved, second, usecond, host_second, host_usecond, data
_FRAME = struct.Struct("<IBBBBIIII64s")
assert _FRAME.size == _lib.FRAME_SIZE

# A received frame as the reader hands it on: (host time, id, flags, data or
# None for a remote frame, length).
RxFrame = Tuple[float, int, int, Optional[bytes], int]


class Failure:
    """Why a port can receive no more: the text and the library's result."""

    def __init__(self, text: str, code: int):
        self.text = text
        self.code = code


class DropLog:
    """Counts dropped frames and warns once per burst of drops."""

    def __init__(self, where: str, why: str):
        self._where = where
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
                        "less than %g s apart are not logged)", self._where, count, self._why,
                        total, DROP_BURST_GAP_S)


def message(frame: RxFrame, channel: str, filters) -> Optional[Message]:
    """A new Message for one bus, or None when the bus's filters reject it."""
    timestamp, arbitration_id, flags, data, length = frame
    extended = bool(flags & _lib.FRAME_EXT)
    if not matches(filters, arbitration_id, extended):
        return None
    return Message(
        timestamp=timestamp,
        arbitration_id=arbitration_id,
        is_extended_id=extended,
        is_remote_frame=data is None,
        is_fd=bool(flags & _lib.FRAME_FD),
        bitrate_switch=bool(flags & _lib.FRAME_BRS),
        error_state_indicator=bool(flags & _lib.FRAME_ESI),
        dlc=length,
        data=data,
        channel=channel,
        is_rx=True,
    )


class PortReader:
    """Waits on the port's readiness descriptor and a stop event, takes the
    waiting frames without waiting in the library, and hands them to the
    buses that buses_of() returns at that moment.

    on_failure(Failure) is called once if the port stops delivering for a
    reason other than stop() (an unplugged adapter); the thread then ends.
    """

    def __init__(self, hidnum: int, port: int, name: str,
                 buses_of: Callable[[], Sequence], on_failure: Callable[[Failure], None]):
        self._hidnum = hidnum
        self._port = port
        self._buses_of = buses_of
        self._on_failure = on_failure
        fd = ctypes.c_int(-1)
        rc = _lib.lib().CANFD_GetCANRxEventFd(hidnum, port, ctypes.byref(fd))
        if rc != 0:
            raise OSError(f"the port's readiness descriptor: {_lib.describe(rc)}")
        self._ready_fd = fd.value
        self._stop_fd = os.eventfd(0, os.EFD_CLOEXEC | os.EFD_NONBLOCK)
        self._frames = (_lib.Frame * RX_BATCH)()
        self.drops = DropLog(name, "the library's receive ring was full")
        self._thread = threading.Thread(target=self._run, name=f"canfd reader {name}",
                                        daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        """Tells the thread to stop, waits for it, releases the stop event."""
        if self._thread.ident is not None:
            os.eventfd_write(self._stop_fd, 1)
            self._thread.join()
        os.close(self._stop_fd)

    @property
    def thread(self) -> threading.Thread:
        return self._thread

    def _run(self) -> None:
        poller = select.poll()
        poller.register(self._ready_fd, select.POLLIN)
        poller.register(self._stop_fd, select.POLLIN)
        while True:
            ready = [fd for fd, _ in poller.poll()]
            if self._stop_fd in ready:
                return
            failure = self._take()
            if failure is not None:
                self._on_failure(failure)
                return

    def _take(self) -> Optional[Failure]:
        """Takes and hands on the waiting frames; a Failure ends the reader."""
        lib = _lib.lib()
        count = _lib.DWORD()
        rc = lib.CANFD_ReceiveCANFrames(self._hidnum, self._port, self._frames, RX_BATCH, 0,
                                        ctypes.byref(count))
        if rc == _lib.ERR_RX_BUF_EMPTY:
            return None
        if rc != 0:
            return Failure(_lib.describe(rc), rc)
        raw = ctypes.string_at(self._frames, count.value * _lib.FRAME_SIZE)
        frames: List[RxFrame] = []
        for (arbitration_id, flags, length, _type, _res, _s, _us, host_s, host_us,
             data) in _FRAME.iter_unpack(raw):
            payload = None if flags & _lib.FRAME_RTR else data[:length]
            frames.append((host_s + host_us * 1e-6, arbitration_id, flags, payload, length))
        for bus in self._buses_of():
            bus._deliver(frames)
        dropped = _lib.DWORD()
        if lib.CANFD_GetCANFrameCounts(self._hidnum, self._port, ctypes.byref(dropped), None,
                                       1) == 0 and dropped.value:
            self.drops.add(dropped.value)
        return None
