"""python-can bus for one port of the two-port USB CAN FD adapter."""

import collections
import contextlib
import ctypes
import dataclasses
import logging
import math
import os
import threading
import time
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple, Union

import can
from can import BusABC, BusState, CanInitializationError, CanOperationError, Message
from can.typechecking import AutoDetectedConfig, CanFilters
from can.util import dlc2len, len2dlc

from . import _lib
from ._filters import EXT_WIDTH, STD_WIDTH, hardware_ranges, matches
from ._reader import DropLog, Failure, PortReader, RxFrame, message

LOG = logging.getLogger("canfd_can")

# Received frames a bus keeps for its reader by default; beyond them new
# frames are dropped (and warned about) until the bus is read again.
RX_QUEUE_SIZE = 10240

# Operating-mode words sent with the enable flag.
BUS_MODE_NORMAL = 0
ISO_MODE_ISO = 1
ISO_MODE_NON_ISO = 0

# Open, close and scans of the library must not run concurrently; this lock
# also guards the table of open adapters and their ports.
_registry_lock = threading.RLock()
_devices: Dict[int, "_Device"] = {}  # board id -> _Device


# The library's bus states as python-can's: error warning is still error active.
_BUS_STATES = {
    "error_active": BusState.ACTIVE,
    "error_warning": BusState.ACTIVE,
    "error_passive": BusState.PASSIVE,
    "bus_off": BusState.ERROR,
}


def _check(rc: int, what: str, error=CanOperationError) -> None:
    if rc != 0:
        raise error(f"{what}: {_lib.describe(rc)}", error_code=rc)


@dataclasses.dataclass(frozen=True)
class _PortConfig:
    bitrate: int
    data_bitrate: int
    sample_point: int  # 0.01 % units
    data_sample_point: int
    bus_mode: int
    iso_mode: int


class _Device:
    """One open adapter, shared by the buses on its ports."""

    def __init__(self, hidnum: int, pid: int, bid: int):
        self.hidnum = hidnum
        self.pid = pid
        self.bid = bid
        self.ports: Dict[int, "_Port"] = {}  # the ports buses use


class _Port:
    """A port in use: its settings, its buses and its reader."""

    def __init__(self, dev: _Device, number: int, config: _PortConfig):
        self.dev = dev
        self.number = number
        self.config = config
        self.name = f"{dev.bid:08X}:{number}"
        # Replaced whole, never changed in place: the reader takes it without a lock.
        self.buses: Tuple["CanfdBus", ...] = ()
        self.programmed: Optional[tuple] = None  # hardware filter ranges last written
        self.reader: Optional[PortReader] = None
        self.failure: Optional[Failure] = None  # set once the port can receive no more

    def fail(self, failure: Failure) -> None:
        """The reader ended for good: every bus is told."""
        self.failure = failure
        for bus in self.buses:
            bus._wake()


def _parse_channel(channel: Any) -> Tuple[Optional[int], int]:
    """'1234ABCD:2' -> (0x1234ABCD, 2); 1 or '1' -> (None, 1)."""
    usage = (f"channel {channel!r}: expected 'BOARDID:PORT' with the board id in hex "
             "(e.g. '1234ABCD:1'), or the port 1 or 2 when one adapter is attached")
    if isinstance(channel, bool):
        raise ValueError(usage)
    try:
        if isinstance(channel, int):
            bid, port = None, channel
        else:
            text = str(channel).strip()
            if ":" in text:
                board, port_text = text.rsplit(":", 1)
                bid, port = int(board, 16), int(port_text)
            else:
                bid, port = None, int(text)
    except ValueError:
        raise ValueError(usage) from None
    if port not in (1, 2) or (bid is not None and not 0 <= bid <= 0xFFFFFFFF):
        raise ValueError(usage)
    return bid, port


def _sample_point(value: Union[int, float, str], name: str) -> int:
    units = round(float(value) * 100)
    if not 0 < units <= 10000:
        raise ValueError(f"{name} {value} is not a percentage in (0, 100]")
    return units


def _flag(value: Any) -> bool:
    """A boolean option, also as text from a configuration file."""
    if isinstance(value, str):
        return value.strip().lower() in ("1", "true", "yes", "on")
    return bool(value)


def _open_device(bid: Optional[int]) -> _Device:
    """Returns the open adapter with this board id (any if None), opening it."""
    if bid is not None and bid in _devices:
        return _devices[bid]
    found = _lib.scan()
    if bid is None:
        if len(found) != 1:
            raise CanInitializationError(
                f"{len(found)} adapters attached: name the adapter as 'BOARDID:PORT'")
        pid, bid = found[0]
        if bid in _devices:
            return _devices[bid]
    else:
        pids = [p for p, b in found if b == bid]
        if not pids:
            raise CanInitializationError(f"no adapter with board id {bid:08X}")
        pid = pids[0]
    handle = _lib.WORD()
    rc = _lib.lib().CANFD_OpenDevice(ctypes.byref(handle), pid, bid)
    if rc != 0:
        raise CanInitializationError(f"opening adapter {bid:08X}: {_lib.describe_open(rc)}",
                                     error_code=rc)
    dev = _Device(handle.value, pid, bid)
    _devices[bid] = dev
    return dev


def _close_if_unused(dev: _Device) -> None:
    if not dev.ports and _devices.get(dev.bid) is dev:
        del _devices[dev.bid]
        rc = _lib.lib().CANFD_CloseDevice(dev.hidnum)
        if rc != 0:
            LOG.warning("closing adapter %08X: %s", dev.bid, _lib.describe(rc))


def _program_filters(port: _Port) -> None:
    """Writes the port's hardware filter lists from the filters of all its buses.

    The adapter filters one port for every bus on it, so it takes the union;
    each bus then keeps only the frames that pass its own filters.
    """
    buses = port.buses
    if not buses or any(b.filters is None for b in buses):
        filters = None
    else:
        filters = [f for b in buses for f in b.filters]
    ranges = hardware_ranges(filters, _lib.STD_FILTERS, _lib.EXT_FILTERS)
    if port.programmed == ranges:
        return
    lib = _lib.lib()
    h, n = port.dev.hidnum, port.number
    std, ext = ranges
    lo_std, hi_std = (_lib.WORD * _lib.STD_FILTERS)(), (_lib.WORD * _lib.STD_FILTERS)()
    for i, (lo, hi) in enumerate(std):
        lo_std[i], hi_std[i] = lo, hi
    lo_ext, hi_ext = (_lib.DWORD * _lib.EXT_FILTERS)(), (_lib.DWORD * _lib.EXT_FILTERS)()
    for i, (lo, hi) in enumerate(ext):
        lo_ext[i], hi_ext[i] = lo, hi
    port.programmed = None
    _check(lib.CANFD_SetCANSTDIDFilter(h, n, len(std), lo_std, hi_std),
           "setting the standard identifier filters")
    _check(lib.CANFD_SetCANEXTIDFilter(h, n, len(ext), lo_ext, hi_ext),
           "setting the extended identifier filters")
    port.programmed = ranges


def _start_port(port: _Port) -> None:
    """Configures a port no bus used: disabled, then bit rates, filters, enabled."""
    lib = _lib.lib()
    h, n, config = port.dev.hidnum, port.number, port.config
    err = CanInitializationError
    _check(lib.CANFD_SetCANOPMode(h, n, 0, config.bus_mode, config.iso_mode),
           "disabling the port", err)
    _check(lib.CANFD_SetCANADBaudRate(h, n, config.bitrate, config.data_bitrate,
                                      config.sample_point, config.data_sample_point),
           "setting the bit rates", err)
    _check(lib.CANFD_SetCANGlobalFilter(h, n, 0, 0), "setting the global filter", err)
    _program_filters(port)
    _check(lib.CANFD_ClearCANRxBuf(h, n), "clearing the receive buffer", err)
    _check(lib.CANFD_GetCANFrameCounts(h, n, None, None, 1), "clearing the frame counts", err)
    _check(lib.CANFD_SetCANOPMode(h, n, 1, config.bus_mode, config.iso_mode),
           "enabling the port", err)


def _release_port(port: _Port) -> None:
    """Stops the reader of a port no bus uses any more and disables the port."""
    port.dev.ports.pop(port.number, None)
    if port.reader is not None:
        port.reader.stop()
        port.reader = None
    rc = _lib.lib().CANFD_SetCANOPMode(port.dev.hidnum, port.number, 0, BUS_MODE_NORMAL,
                                      ISO_MODE_ISO)
    if rc == _lib.ERR_DEVICE_GONE:
        LOG.debug("port %s: the adapter is gone", port.name)
    elif rc != 0:
        LOG.warning("disabling port %s: %s", port.name, _lib.describe(rc))


class CanfdBus(BusABC):
    """A bus on one port of a two-port USB CAN FD adapter, through libcanfd.

    :param channel: ``"BOARDID:PORT"`` with the board id in hex, e.g.
        ``"1234ABCD:1"``; or just the port, ``1`` or ``2``, when exactly one
        adapter is attached.
    :param can_filters: python-can filters; see :meth:`can.BusABC.set_filters`.
    :param bitrate: arbitration bit rate in bit/s (default 500000).
    :param data_bitrate: data-phase bit rate for CAN FD (default: the
        arbitration bit rate); must not be below ``bitrate``. Without ``fd``
        the data bit rate is the arbitration bit rate.
    :param fd: open the port for CAN FD frames.
    :param sample_point: arbitration sample point in percent (default 80).
    :param data_sample_point: data-phase sample point in percent (default 80).
    :param timing: alternative to ``bitrate`` and ``sample_point``: both
        are taken from this :class:`can.BitTiming`.
    :param bus_mode: bus-mode word of the adapter's operating mode (default
        0, normal operation).
    :param fd_non_iso: use non-ISO CAN FD (ISO-mode word 0; default ISO, 1).
    :param receive_own_messages: also return the frames this bus sent
        (with ``is_rx`` False).
    :param rx_queue_size: received frames the bus keeps until it is read
        (default 10240); newer frames are dropped while it is full.

    Every bus on a port receives its own copy of every frame that passes its
    own filters. Buses on the two ports of one adapter share the open device.
    """

    def __init__(
        self,
        channel: Union[str, int],
        can_filters: Optional[CanFilters] = None,
        bitrate: Union[int, str] = 500000,
        data_bitrate: Optional[Union[int, str]] = None,
        fd: Union[bool, str] = False,
        sample_point: Union[float, str] = 80.0,
        data_sample_point: Union[float, str] = 80.0,
        timing: Optional[can.BitTiming] = None,
        bus_mode: Union[int, str] = BUS_MODE_NORMAL,
        fd_non_iso: Union[bool, str] = False,
        receive_own_messages: Union[bool, str] = False,
        rx_queue_size: Union[int, str] = RX_QUEUE_SIZE,
        **kwargs: Any,
    ) -> None:
        self._port: Optional[_Port] = None
        self._closed = False
        bid, port_number = _parse_channel(channel)
        if timing is not None:
            bitrate, sample_point = int(timing.bitrate), timing.sample_point
        bitrate = int(bitrate)
        fd = _flag(fd)
        if fd:
            data_bitrate = bitrate if data_bitrate is None else int(data_bitrate)
        else:
            data_bitrate, data_sample_point = bitrate, sample_point
        if bitrate <= 0 or data_bitrate < bitrate or data_bitrate > 0xFFFFFFFF:
            raise ValueError(
                f"bit rates {bitrate}/{data_bitrate}: the data bit rate must not be "
                "below the arbitration bit rate")
        rx_queue_size = int(rx_queue_size)
        if rx_queue_size < 1:
            raise ValueError(f"rx_queue_size {rx_queue_size}: at least 1")
        non_iso = _flag(fd_non_iso)
        config = _PortConfig(
            bitrate, data_bitrate,
            _sample_point(sample_point, "sample_point"),
            _sample_point(data_sample_point, "data_sample_point"),
            int(bus_mode) & 0xFFFF, ISO_MODE_NON_ISO if non_iso else ISO_MODE_ISO)
        self._fd = fd
        self._receive_own = _flag(receive_own_messages)
        protocols = getattr(can, "CanProtocol", None)
        if protocols is not None:  # python-can 4.3 and later read it
            if not fd:
                self._can_protocol = protocols.CAN_20
            elif non_iso and hasattr(protocols, "CAN_FD_NON_ISO"):
                self._can_protocol = protocols.CAN_FD_NON_ISO
            else:
                self._can_protocol = protocols.CAN_FD

        # Received frames wait here for recv(); the event descriptor is
        # readable while any wait (or once the bus can receive no more).
        self._rx_queue: Deque[Message] = collections.deque()
        self._rx_limit = rx_queue_size
        self._rx_cond = threading.Condition(threading.Lock())
        self._rx_event = os.eventfd(0, os.EFD_CLOEXEC | os.EFD_NONBLOCK)
        self._rx_event_set = False
        self.channel = "unknown"
        try:
            super().__init__(channel, can_filters=can_filters, **kwargs)
            with _registry_lock:
                self._attach(bid, port_number, config)
        except BaseException:
            os.close(self._rx_event)
            self._closed = True
            # Marks the bus shut down for python-can too (4.3 and later warn otherwise).
            with contextlib.suppress(AttributeError):
                super().shutdown()
            raise

    def _attach(self, bid: Optional[int], number: int, config: _PortConfig) -> None:
        """Joins the port's buses, opening the adapter and starting the port if needed."""
        dev = _open_device(bid)
        name = f"{dev.bid:08X}:{number}"
        self.channel = name
        self.channel_info = f"CAN FD adapter {dev.bid:08X} port {number}"
        self._drops = DropLog(name, "the bus's receive queue was full (the bus is read "
                                    "too slowly)")
        port = dev.ports.get(number)
        if port is not None:
            if port.config != config:
                _close_if_unused(dev)
                raise CanInitializationError(
                    f"port {name} is already open with other settings: {port.config}")
            port.buses += (self,)
            try:
                _program_filters(port)
            except Exception:
                port.buses = tuple(b for b in port.buses if b is not self)
                raise
            self._port = port
            return
        port = _Port(dev, number, config)
        port.buses = (self,)
        dev.ports[number] = port
        try:
            _start_port(port)
            port.reader = PortReader(dev.hidnum, number, name, lambda: port.buses, port.fail)
            port.reader.start()
        except Exception:
            _release_port(port)
            _close_if_unused(dev)
            raise
        self._port = port

    # -- configuration and status read back from the adapter ---------------

    def read_port_config(self) -> Dict[str, Any]:
        """The port's settings as the adapter reports them, as a dict."""
        h, n = self._handle()
        lib = _lib.lib()
        enable, bus_mode, iso = _lib.WORD(), _lib.WORD(), _lib.WORD()
        _check(lib.CANFD_GetCANOPMode(h, n, ctypes.byref(enable), ctypes.byref(bus_mode),
                                      ctypes.byref(iso)), "reading the operating mode")
        arb, data = _lib.DWORD(), _lib.DWORD()
        arb_sp, data_sp = _lib.WORD(), _lib.WORD()
        _check(lib.CANFD_GetCANADBaudRate(h, n, ctypes.byref(arb), ctypes.byref(data),
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
        _check(_lib.lib().CANFD_GetCANBusState(h, n, ctypes.byref(state),
                                              ctypes.byref(tx_errors), ctypes.byref(rx_errors)),
               "reading the port status")
        return {"bus_state": _lib.BUS_STATES.get(state.value, f"unknown ({state.value})"),
                "tx_errors": tx_errors.value, "rx_errors": rx_errors.value}

    @property
    def state(self) -> BusState:
        """The port's bus state: ACTIVE while error active (also at the error
        warning level), PASSIVE while error passive, ERROR when bus off or
        once the adapter is unplugged. Each read asks the adapter."""
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
        raise NotImplementedError("the adapter has no listen-only mode to set")

    # -- sending -----------------------------------------------------------

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Sends msg. Waits in the library up to timeout seconds (None: no
        limit, 0: not at all) for room in the transmit queue, then raises
        can.CanOperationError. Invalid frames raise ValueError."""
        h, n = self._handle()
        frame = self._frame(msg)
        if timeout is None:
            wait_ms = _lib.WAIT_FOREVER_MS
        else:
            wait_ms = min(_lib.WAIT_FOREVER_MS, max(0, math.ceil(timeout * 1000)))
        sent = _lib.DWORD()
        rc = _lib.lib().CANFD_SendCANFrames(h, n, ctypes.byref(frame), 1, wait_ms,
                                           ctypes.byref(sent))
        if rc == _lib.ERR_TX_QUEUE_FULL:
            raise CanOperationError(f"sending: transmit queue still full after {timeout} s",
                                    error_code=rc)
        if rc == _lib.ERR_INVALID_PARAM:
            raise ValueError(f"the library refused the frame: {_lib.describe(rc)}")
        if rc != 0:
            self._check_open()
            _check(rc, "sending")
        if self._receive_own:
            self._deliver_own(msg, frame)

    def _frame(self, msg: Message) -> _lib.Frame:
        """The library's frame record for msg, or ValueError."""
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
            if not self._fd:
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
            flags |= _lib.FRAME_RTR
            frame.flags, frame.len = flags, msg.dlc
            return frame
        elif len(data) > 8:
            raise ValueError(f"{len(data)} data bytes: a classic frame carries at most 8")
        frame.flags, frame.len = flags, len(data)
        ctypes.memmove(frame.data, data, len(data))
        return frame

    def _deliver_own(self, msg: Message, frame: _lib.Frame) -> None:
        """Queues the copy of a sent frame that receive_own_messages asks for."""
        if msg.is_remote_frame:
            length, data = frame.len, None
        else:
            # A CAN FD length without a data length code goes out padded.
            length = dlc2len(len2dlc(frame.len)) if msg.is_fd else frame.len
            data = bytes(frame.data)[:length]
        own = Message(
            timestamp=time.time(), arbitration_id=msg.arbitration_id,
            is_extended_id=msg.is_extended_id, is_remote_frame=msg.is_remote_frame,
            is_fd=msg.is_fd, bitrate_switch=msg.is_fd and msg.bitrate_switch,
            error_state_indicator=msg.is_fd and msg.error_state_indicator,
            dlc=length, data=data, channel=self.channel, is_rx=False)
        if matches(self.filters, own.arbitration_id, own.is_extended_id):
            self._enqueue([own])

    # -- receiving ---------------------------------------------------------

    def _deliver(self, frames: Sequence[RxFrame]) -> None:
        """Called by the port's reader: queues this bus's copies of frames."""
        channel, filters = self.channel, self.filters
        copies = [m for m in (message(f, channel, filters) for f in frames) if m is not None]
        if copies:
            self._enqueue(copies)

    def _enqueue(self, msgs: List[Message]) -> None:
        with self._rx_cond:
            if self._closed:
                return
            room = self._rx_limit - len(self._rx_queue)
            dropped = len(msgs) - room if len(msgs) > room else 0
            if dropped:
                msgs = msgs[:room]
            if msgs:
                self._rx_queue.extend(msgs)
                self._set_event()
                self._rx_cond.notify(len(msgs))
        if dropped:
            self._drops.add(dropped)

    def _wake(self) -> None:
        """Ends every wait: the port can receive no more."""
        with self._rx_cond:
            if not self._closed:
                self._set_event()
            self._rx_cond.notify_all()

    def _set_event(self) -> None:
        if not self._rx_event_set:
            os.eventfd_write(self._rx_event, 1)
            self._rx_event_set = True

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        with self._rx_cond:
            while True:
                self._check_open()
                if self._rx_queue:
                    msg = self._rx_queue.popleft()
                    if not self._rx_queue and self._port.failure is None:
                        os.eventfd_read(self._rx_event)
                        self._rx_event_set = False
                    return msg, True
                failure = self._port.failure
                if failure is not None:
                    raise CanOperationError(f"receiving on {self.channel}: {failure.text}",
                                            error_code=failure.code)
                if deadline is None:
                    self._rx_cond.wait()
                else:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        return None, True
                    self._rx_cond.wait(left)

    def fileno(self) -> int:
        """A descriptor that is readable while received frames wait for recv()
        (and once the adapter is gone); for select, poll and asyncio."""
        self._check_open()
        return self._rx_event

    # -- filters and life cycle -------------------------------------------

    def _apply_filters(self, filters: Optional[CanFilters]) -> None:
        port = self._port
        if port is None or self._closed:
            return
        with _registry_lock:
            _program_filters(port)

    def _handle(self) -> Tuple[int, int]:
        self._check_open()
        return self._port.dev.hidnum, self._port.number

    def _check_open(self) -> None:
        if self._closed or self._port is None:
            raise CanOperationError("the bus is shut down")

    def shutdown(self) -> None:
        """Releases the port; the adapter is closed when its last port is
        released. Calling it again does nothing."""
        with self._rx_cond:
            if self._closed:
                return
            self._closed = True
            self._rx_cond.notify_all()
        super().shutdown()
        port = self._port
        try:
            if port is None:
                return
            with _registry_lock:
                port.buses = tuple(b for b in port.buses if b is not self)
                try:
                    if port.buses:
                        if port.failure is None:
                            _program_filters(port)
                    else:
                        _release_port(port)
                except CanOperationError as exc:
                    LOG.warning("releasing %s: %s", self.channel, exc)
                finally:
                    _close_if_unused(port.dev)
        finally:
            os.close(self._rx_event)

    @staticmethod
    def _detect_available_configs() -> List[AutoDetectedConfig]:
        try:
            with _registry_lock:
                found = _lib.scan()
        except NotImplementedError:  # the library is not installed
            return []
        return [
            {"interface": "canfd", "channel": f"{bid:08X}:{port}"}
            for _, bid in found
            for port in (1, 2)
        ]
