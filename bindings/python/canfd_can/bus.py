"""python-can bus for one port of the two-port USB CAN FD adapter."""

import collections
import contextlib
import ctypes
import logging
import math
import os
import select
import threading
import time
from typing import Any, Deque, Dict, List, Optional, Tuple, Union

import can
from can import BusABC, BusState, CanOperationError, Message
from can.typechecking import AutoDetectedConfig, CanFilters

from . import _lib, _port
from ._frames import DropLog, encode, messages
from ._timing import flag, is_fd_timing, port_config

LOG = logging.getLogger("canfd_can")

# Received frames a bus keeps for its reader by default; beyond them new
# frames are dropped (and warned about) until the bus is read again.
RX_QUEUE_SIZE = 10240
# A send waits in the library at most this long at a time, so that Python
# runs signal handlers (Ctrl-C) between the waits.
SEND_SLICE_MS = 50
# Shutdown waits this long at most for the calls in other threads that it
# woke to leave the bus.
SHUTDOWN_WAIT_S = 2.0


# The library's bus states as python-can's: error warning is still error active.
_BUS_STATES = {
    "error_active": BusState.ACTIVE,
    "error_warning": BusState.ACTIVE,
    "error_passive": BusState.PASSIVE,
    "bus_off": BusState.ERROR,
}


class CanfdBus(BusABC):
    """A bus on one port of a two-port USB CAN FD adapter, through libcanfd.

    :param channel: ``"BOARDID:PORT"`` with the board id in hex, e.g.
        ``"1234ABCD:1"``; or just the port, ``1`` or ``2``, when exactly one
        adapter is attached.
    :param can_filters: python-can filters; see :meth:`can.BusABC.set_filters`.
    :param bitrate: arbitration bit rate in bit/s. With it (or ``timing``)
        the bus sets the port up and switches it on (and the port is
        switched off when its last bus shuts down, unless another process
        uses it then); without both, the bus only listens and changes none
        of the port's settings.
    :param data_bitrate: data-phase bit rate for CAN FD (default: the
        arbitration bit rate); must not be below ``bitrate``.
    :param fd: CAN FD frames may be sent.
    :param sample_point: arbitration sample point in percent (default 80),
        in steps of 0.01.
    :param data_sample_point: data-phase sample point in percent (default 80).
    :param timing: instead of the bit rates and sample points: a
        :class:`can.BitTiming`, or a :class:`can.BitTimingFd` (python-can 4.3
        and later; it implies ``fd``). The adapter takes a bit rate and a
        sample point per phase; a timing whose clock, prescaler and
        segments give other than whole bits per second or a sample point in
        0.01 % steps is refused with the reason. The adapter chooses its own
        time quanta and synchronisation jump width.
    :param override: change the port's settings even while another process
        uses the port (default False: such a bus is refused with
        :class:`can.CanInitializationError` naming the other process).
        Without a bit rate the bus changes nothing and is never refused.
    :param bus_mode: bus-mode word of the adapter's operating mode (default
        0, normal operation).
    :param fd_non_iso: use non-ISO CAN FD (ISO-mode word 0; default ISO, 1).
    :param local_loopback: frames this bus sends are also received by the
        other buses on the same port in this process (default True), as
        SocketCAN does.
    :param receive_own_messages: also return the frames this bus sent
        (with ``is_rx`` False).
    :param ignore_rx_error_frames: do not return error frames (bus state
        changes read from the adapter).
    :param rx_queue_size: received frames the bus keeps until it is read
        (default 10240); newer frames are dropped while it is full.

    Every bus on a port receives its own copy of every frame that passes its
    own filters. Buses on the two ports of one adapter share the open device.
    """

    def __init__(
        self,
        channel: Union[str, int, None] = None,
        can_filters: Optional[CanFilters] = None,
        bitrate: Union[int, str, None] = None,
        data_bitrate: Union[int, str, None] = None,
        fd: Union[bool, str, None] = None,
        sample_point: Union[float, str, None] = None,
        data_sample_point: Union[float, str, None] = None,
        timing: Optional[Any] = None,
        bus_mode: Union[int, str, None] = None,
        fd_non_iso: Union[bool, str, None] = None,
        local_loopback: Union[bool, str] = True,
        receive_own_messages: Union[bool, str] = False,
        ignore_rx_error_frames: Union[bool, str] = False,
        override: Union[bool, str] = False,
        rx_queue_size: Union[int, str] = RX_QUEUE_SIZE,
        **kwargs: Any,
    ) -> None:
        self._port: Optional[_port.Port] = None
        self._closed = True  # until the bus is open: shutdown() has nothing to do
        self._lock = threading.Lock()
        if channel is None:
            found = ", ".join(_port.channels()) or "none attached"
            raise ValueError(
                "no channel given: name the port as 'BOARDID:PORT' (found: " + found + "), "
                "as channel=..., with -c in python-can's tools, or as 'channel' in python-can's "
                "configuration (~/.canrc, CAN_CHANNEL)")
        bid, port_number = _port.parse_channel(channel)
        if timing is not None and is_fd_timing(timing):
            if fd is not None and not flag(fd):
                raise ValueError("timing has a data phase (CAN FD): fd must not be False")
            fd = True
        self._fd = flag(fd) if fd is not None else False
        config = port_config(bitrate, data_bitrate, self._fd, sample_point, data_sample_point,
                             timing, bus_mode, fd_non_iso)
        rx_queue_size = int(rx_queue_size)
        if rx_queue_size < 1:
            raise ValueError(f"rx_queue_size {rx_queue_size}: at least 1")
        self._local_loopback = flag(local_loopback)
        self._receive_own = flag(receive_own_messages)
        self._error_frames = not flag(ignore_rx_error_frames)
        protocols = getattr(can, "CanProtocol", None)
        if protocols is not None:  # python-can 4.3 and later read it
            if not self._fd:
                self._can_protocol = protocols.CAN_20
            elif fd_non_iso is not None and flag(fd_non_iso) and \
                    hasattr(protocols, "CAN_FD_NON_ISO"):
                self._can_protocol = protocols.CAN_FD_NON_ISO
            else:
                self._can_protocol = protocols.CAN_FD

        # Received frames wait in the queue for recv(). The event descriptor
        # is readable while any wait (or once the bus can receive no more);
        # fileno() is an epoll descriptor over it, the library's readiness
        # descriptor of the port and the port's bus-state timer, so that it
        # is readable whenever recv() has something to do.
        self._queue: Deque[Message] = collections.deque()
        self._limit = rx_queue_size
        self._left = threading.Condition(self._lock)  # calls in recv() leaving
        self._waiting = 0  # threads in recv()'s slow path
        self._signalled = False  # the event descriptor is readable
        self._fileno_used = False  # fileno() was called: keep the event up to date
        self._event = os.eventfd(0, os.EFD_CLOEXEC | os.EFD_NONBLOCK)
        self._epoll = select.epoll()
        self._drops = DropLog("unknown", "the bus's receive queue was full (the bus is read "
                                         "too slowly)")
        self.channel = "unknown"
        self._closed = False
        try:
            self._epoll.register(self._event, select.EPOLLIN)
            super().__init__(channel, can_filters=can_filters, **kwargs)
            port = _port.attach(self, bid, port_number, config, flag(override))
            self._port = port
            self._epoll.register(port.ready_fd, select.EPOLLIN)
            if self._error_frames:
                self._epoll.register(port.timer.fd, select.EPOLLIN)
        except BaseException:
            self._closed = True
            if self._port is not None:
                _port.detach(self, self._port)
            self._epoll.close()
            os.close(self._event)
            # Marks the bus shut down for python-can too (4.3 and later warn otherwise).
            with contextlib.suppress(AttributeError):
                super().shutdown()
            raise
        self.channel_info = f"CAN FD adapter {port.dev.bid:08X} port {port_number}"

    # -- configuration and status read back from the adapter ---------------

    def read_port_config(self) -> Dict[str, Any]:
        """The port's settings as the adapter reports them, as a dict."""
        h, n = self._handle()
        lib = _lib.lib()
        enable, bus_mode, iso = _lib.WORD(), _lib.WORD(), _lib.WORD()
        _port.check(lib.CANFD_GetCANOPMode(h, n, ctypes.byref(enable), ctypes.byref(bus_mode),
                                           ctypes.byref(iso)), "reading the operating mode")
        arb, data = _lib.DWORD(), _lib.DWORD()
        arb_sp, data_sp = _lib.WORD(), _lib.WORD()
        _port.check(lib.CANFD_GetCANADBaudRate(h, n, ctypes.byref(arb), ctypes.byref(data),
                                               ctypes.byref(arb_sp), ctypes.byref(data_sp)),
                    "reading the bit rates")
        return {
            "enabled": bool(enable.value),
            "bus_mode": bus_mode.value,
            "iso_mode": iso.value,
            "bitrate": arb.value,
            "data_bitrate": data.value,
            "sample_point": arb_sp.value / 100,
            "data_sample_point": data_sp.value / 100,
        }

    def read_port_status(self) -> Dict[str, Any]:
        """The port's bus state and error counters as the adapter reports them:
        ``{"bus_state": "error_active" | "error_warning" | "error_passive" |
        "bus_off", "tx_errors": int, "rx_errors": int}``."""
        h, n = self._handle()
        state, tx_errors, rx_errors = _lib.BYTE(), _lib.BYTE(), _lib.BYTE()
        _port.check(_lib.lib().CANFD_GetCANBusState(h, n, ctypes.byref(state),
                                                   ctypes.byref(tx_errors),
                                                   ctypes.byref(rx_errors)),
                    "reading the port status")
        return {"bus_state": _lib.BUS_STATES.get(state.value, f"unknown ({state.value})"),
                "tx_errors": tx_errors.value, "rx_errors": rx_errors.value}

    @property
    def state(self) -> BusState:
        """The port's bus state: ACTIVE while error active (also at the error
        warning level), PASSIVE while error passive, ERROR when bus off or
        once the adapter is unplugged. Each read asks the adapter.

        Setting ACTIVE brings the port to taking part in the bus: a port this
        process set up is switched on if it is off and re-initialised after
        bus off (a port it only listens to is not changed: CanOperationError
        says so). PASSIVE, a listen-only mode, is not available: the
        adapter's operating mode defines none (NotImplementedError)."""
        port = self._port
        if port is not None and port.failure is not None:
            return BusState.ERROR
        try:
            bus_state = self.read_port_status()["bus_state"]
        except CanOperationError as exc:
            if exc.error_code == _lib.ERR_DEVICE_GONE:
                return BusState.ERROR
            raise
        return _BUS_STATES.get(bus_state, BusState.ERROR)

    @state.setter
    def state(self, new_state: BusState) -> None:
        if new_state == BusState.PASSIVE:
            raise NotImplementedError(
                "BusState.PASSIVE (listen-only) is not available: the adapter's operating "
                "mode words define no listen-only mode, so the port always acknowledges "
                "frames while it is on")
        if new_state != BusState.ACTIVE:
            raise ValueError(f"{new_state} is a state a bus reaches, not one to set")
        self._check_open()
        self._port.make_active()

    # -- sending -----------------------------------------------------------

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Sends msg. Waits up to timeout seconds (None: no limit, 0: not at
        all) for room in the library's transmit queue, then raises
        can.CanOperationError. Signal handlers run during the wait (Ctrl-C
        raises KeyboardInterrupt within SEND_SLICE_MS); the frame is then
        either queued whole, with its copies for the buses of its port, or
        not at all. Invalid frames raise ValueError."""
        h, n = self._handle()
        frame = encode(msg, self._fd)
        if timeout is None:
            deadline = None
        else:
            deadline = time.monotonic() + max(0.0, timeout)
        lib, port = _lib.lib(), self._port
        sent = _lib.DWORD()
        while True:
            if deadline is None:
                wait_ms = SEND_SLICE_MS
            else:
                wait_ms = min(SEND_SLICE_MS,
                              max(0, math.ceil((deadline - time.monotonic()) * 1000)))
            sent.value = 0
            try:
                rc = lib.CANFD_SendCANFrames(h, n, ctypes.byref(frame), 1, wait_ms,
                                             ctypes.byref(sent))
            finally:
                # Also when a signal handler raised as the call returned: a
                # frame the library took is the port's, with its copies.
                if sent.value:
                    port.sent(self, msg, frame, time.time())
            if rc == 0:
                return
            if rc == _lib.ERR_TX_QUEUE_FULL:
                if deadline is None or time.monotonic() < deadline:
                    continue
                raise CanOperationError(f"sending: transmit queue still full after {timeout} s",
                                        error_code=rc)
            if rc == _lib.ERR_INVALID_PARAM:
                raise ValueError(f"the library refused the frame: {_lib.describe(rc)}")
            self._check_open()
            _port.check(rc, "sending")

    # -- receiving ---------------------------------------------------------

    def _deliver_received(self, frames, taker: bool) -> None:
        """Called by the port as it takes frames: queues this bus's copies.
        taker: this bus's own recv() takes them, in this thread."""
        msgs = messages(frames, self.channel, self.filters)
        if msgs:
            self._deliver(msgs, taker)

    def _deliver(self, msgs: List[Message], taker: bool = False) -> None:
        with self._lock:
            if self._closed:
                return
            room = self._limit - len(self._queue)
            dropped = len(msgs) - room if len(msgs) > room else 0
            if dropped:
                msgs = msgs[:room]
            if msgs:
                self._queue.extend(msgs)
                # The event descriptor is for fileno() and for other threads
                # waiting on this bus; a recv() that took the frames itself
                # pops them next without it.
                if self._fileno_used or self._waiting > taker:
                    self._signal()
        if dropped:
            self._drops.add(dropped)

    def _wake(self) -> None:
        """The port can receive no more: every wait ends."""
        with self._lock:
            if not self._closed:
                self._signal()

    def _signal(self) -> None:
        """Makes the event descriptor readable (under _lock)."""
        if not self._signalled:
            os.eventfd_write(self._event, 1)
            self._signalled = True

    def _pop(self) -> Optional[Message]:
        """The next queued message, or None."""
        with self._lock:
            if self._closed:
                raise CanOperationError("the bus is shut down")
            queue = self._queue
            if not queue:
                return None
            msg = queue.popleft()
            if not queue and self._signalled and self._port.failure is None:
                os.eventfd_read(self._event)
                self._signalled = False
            return msg

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        msg = self._pop()
        if msg is not None:
            return msg, True
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        port = self._port
        with self._lock:
            if self._closed:
                raise CanOperationError("the bus is shut down")
            self._waiting += 1
        try:
            while True:
                left = None if deadline is None else max(0.0, deadline - time.monotonic())
                gather = port.gather_time()
                if gather > 0 and left != 0:
                    time.sleep(gather if left is None else min(gather, left))
                    if left is not None:
                        left = max(0.0, deadline - time.monotonic())
                # Frames for the port, this bus's event or the bus-state timer
                # end the wait (at once when one is ready); signal handlers
                # run meanwhile (Ctrl-C).
                self._epoll.poll(-1.0 if left is None else left)
                port.take(self)
                msg = self._pop()
                if msg is not None:
                    return msg, True
                failure = port.failure
                if failure is not None:
                    raise CanOperationError(f"receiving on {self.channel}: {failure.text}",
                                            error_code=failure.code)
                if deadline is not None and time.monotonic() >= deadline:
                    return None, True
        finally:
            with self._lock:
                self._waiting -= 1
                if self._closed and not self._waiting:
                    self._left.notify_all()

    def fileno(self) -> int:
        """A descriptor that is readable whenever recv() has something to
        return or to do: frames for this bus, frames waiting in the library
        for its port, a bus state read that is due, an unplugged adapter.
        For select, poll and asyncio (python-can's Notifier with a loop);
        after a wake-up, recv(0) may still return None."""
        with self._lock:
            if self._closed:
                raise CanOperationError("the bus is shut down")
            self._fileno_used = True
            if self._queue:
                self._signal()
        return self._epoll.fileno()

    # -- filters and life cycle -------------------------------------------

    def _apply_filters(self, filters: Optional[CanFilters]) -> None:
        port = self._port
        if port is None or self._closed:
            return
        with _port.registry_lock:
            port.program_filters()

    def _handle(self) -> Tuple[int, int]:
        self._check_open()
        return self._port.dev.hidnum, self._port.number

    def _check_open(self) -> None:
        if self._closed or self._port is None:
            raise CanOperationError("the bus is shut down")

    def shutdown(self) -> None:
        """Releases the port; the adapter is closed when its last port is
        released. Waits in other threads end with CanOperationError. Calling
        it again does nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._signal()
            deadline = time.monotonic() + SHUTDOWN_WAIT_S
            while self._waiting:
                left = deadline - time.monotonic()
                if left <= 0:
                    LOG.warning("%s: shut down while %d calls still wait in recv()",
                                self.channel, self._waiting)
                    break
                self._left.wait(left)
        super().shutdown()
        try:
            _port.detach(self, self._port)
        finally:
            self._epoll.close()
            os.close(self._event)

    @staticmethod
    def _detect_available_configs() -> List[AutoDetectedConfig]:
        try:
            return [{"interface": "canfd", "channel": c} for c in _port.channels()]
        except can.CanInterfaceNotImplementedError:  # the library is not installed
            return []
