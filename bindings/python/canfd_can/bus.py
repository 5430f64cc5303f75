"""python-can bus for one port of the two-port USB CAN FD adapter."""

import collections
import ctypes
import dataclasses
import logging
import math
import threading
import time

from can import BusABC, CanInitializationError, CanOperationError, Message
from can.util import dlc2len, len2dlc

from . import _lib
from ._filters import EXT_WIDTH, STD_WIDTH, hardware_ranges

LOG = logging.getLogger(__name__)

# Receive waits run in slices of this many milliseconds, so that a shutdown
# from another thread ends a blocked recv(None) within one slice.
WAIT_SLICE_MS = 1000
# With receive_own_messages, another thread's send has to end a wait sooner.
OWN_MESSAGE_SLICE_MS = 20
# Frames taken from the receive ring at once.
RX_BATCH = 256
# Pause between attempts while the transmit report queue is full.
TX_RETRY_PAUSE_S = 0.0005

# Operating-mode words sent with the enable flag.
BUS_MODE_NORMAL = 0
ISO_MODE_ISO = 1
ISO_MODE_NON_ISO = 0

# Open, close and scans of the library must not run concurrently; this lock
# also guards the table of open adapters and the ports' bus lists.
_registry_lock = threading.RLock()
_devices = {}  # board id -> _Device


def _check(rc, what, error=CanOperationError):
    if rc != 0:
        raise error(f"{what}: {_lib.describe(rc)}", error_code=rc)


class _Device:
    """One open adapter, shared by the buses on its ports."""

    def __init__(self, hidnum, pid, bid):
        self.hidnum = hidnum
        self.pid = pid
        self.bid = bid
        self.buses = {1: [], 2: []}
        self.config = {}  # port -> its _PortConfig while buses use it
        self.programmed = {}  # port -> hardware filter ranges last written
        self._clock_lock = threading.Lock()
        self._offset = None
        self._last_adapter_time = 0.0

    def clock_offset(self, newest):
        """Offset from the adapter's clock (seconds) to epoch seconds.

        newest is the adapter time of the newest frame taken. The offset is
        the smallest (host time - adapter time) seen so far: a frame taken
        late only makes that difference larger. The two ports share the
        adapter's clock and so the offset. If the clock goes back (a reset
        of the adapter), the offset starts over.
        """
        estimate = time.time() - newest
        with self._clock_lock:
            if (
                self._offset is None
                or estimate < self._offset
                or newest < self._last_adapter_time - 1.0
            ):
                self._offset = estimate
            self._last_adapter_time = newest
            return self._offset

    def in_use(self):
        return any(self.buses.values())


@dataclasses.dataclass(frozen=True)
class _PortConfig:
    bitrate: int
    data_bitrate: int
    sample_point: int  # 0.01 % units
    data_sample_point: int
    bus_mode: int
    iso_mode: int


def _parse_channel(channel):
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


def _sample_point(value, name):
    units = round(float(value) * 100)
    if not 0 < units <= 10000:
        raise ValueError(f"{name} {value} is not a percentage in (0, 100]")
    return units


def _open_device(bid):
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


def _close_if_unused(dev):
    if not dev.in_use() and _devices.get(dev.bid) is dev:
        del _devices[dev.bid]
        rc = _lib.lib().CANFD_CloseDevice(dev.hidnum)
        if rc != 0:
            LOG.warning("closing adapter %08X: %s", dev.bid, _lib.describe(rc))


def _program_filters(dev, port):
    """Writes the port's hardware filter lists from the filters of all its buses.

    The adapter filters one port for every bus on it, so it takes the union;
    each bus then filters in software as well.
    """
    buses = dev.buses[port]
    if not buses or any(b.filters is None for b in buses):
        filters = None
    else:
        filters = [f for b in buses for f in b.filters]
    ranges = hardware_ranges(filters, _lib.STD_FILTERS, _lib.EXT_FILTERS)
    if dev.programmed.get(port) == ranges:
        return
    lib = _lib.lib()
    std, ext = ranges
    lo_std, hi_std = (_lib.WORD * _lib.STD_FILTERS)(), (_lib.WORD * _lib.STD_FILTERS)()
    for i, (lo, hi) in enumerate(std):
        lo_std[i], hi_std[i] = lo, hi
    lo_ext, hi_ext = (_lib.DWORD * _lib.EXT_FILTERS)(), (_lib.DWORD * _lib.EXT_FILTERS)()
    for i, (lo, hi) in enumerate(ext):
        lo_ext[i], hi_ext[i] = lo, hi
    dev.programmed.pop(port, None)
    _check(lib.CANFD_SetCANSTDIDFilter(dev.hidnum, port, len(std), lo_std, hi_std),
           "setting the standard identifier filters")
    _check(lib.CANFD_SetCANEXTIDFilter(dev.hidnum, port, len(ext), lo_ext, hi_ext),
           "setting the extended identifier filters")
    dev.programmed[port] = ranges


def _start_port(dev, port, config):
    """Configures a port no bus uses yet: disabled, then bit rates, filters, enabled."""
    lib = _lib.lib()
    h = dev.hidnum
    err = CanInitializationError
    _check(lib.CANFD_SetCANOPMode(h, port, 0, config.bus_mode, config.iso_mode),
           "disabling the port", err)
    _check(lib.CANFD_SetCANADBaudRate(h, port, config.bitrate, config.data_bitrate,
                                      config.sample_point, config.data_sample_point),
           "setting the bit rates", err)
    _check(lib.CANFD_SetCANGlobalFilter(h, port, 0, 0), "setting the global filter", err)
    dev.programmed.pop(port, None)
    _program_filters(dev, port)
    _check(lib.CANFD_ClearCANRxBuf(h, port), "clearing the receive buffer", err)
    _check(lib.CANFD_SetCANOPMode(h, port, 1, config.bus_mode, config.iso_mode),
           "enabling the port", err)


class CanfdBus(BusABC):
    """A bus on one port of a two-port USB CAN FD adapter, through libcanfd.

    :param channel: ``"BOARDID:PORT"`` with the board id in hex, e.g.
        ``"1234ABCD:1"``; or just the port, ``1`` or ``2``, when exactly one
        adapter is attached.
    :param int bitrate: arbitration bit rate in bit/s (default 500000).
    :param bool fd: open the port for CAN FD frames.
    :param int data_bitrate: data-phase bit rate for CAN FD (default: the
        arbitration bit rate); must not be below ``bitrate``. Without ``fd``
        the data bit rate is the arbitration bit rate.
    :param float sample_point: arbitration sample point in percent (default 80).
    :param float data_sample_point: data-phase sample point in percent (default 80).
    :param can.BitTiming timing: alternative to ``bitrate`` and
        ``sample_point``: both are taken from it.
    :param int bus_mode: bus-mode word of the adapter's operating mode (default
        0, normal operation).
    :param bool fd_non_iso: use non-ISO CAN FD (ISO-mode word 0; default ISO, 1).
    :param bool receive_own_messages: also return the frames this bus sent
        (with ``is_rx`` False).

    Frames sent as CAN FD with data always use the bit rate switch: the library
    sets it for every CAN FD frame with a data length above 0. Received frames
    do not report the bit rate switch, so ``bitrate_switch`` is False on them.
    Buses on the two ports of one adapter share the open device; buses on the
    same port share its receive queue (each frame goes to one of them).
    """

    def __init__(
        self,
        channel,
        can_filters=None,
        bitrate=500000,
        data_bitrate=None,
        fd=False,
        sample_point=80.0,
        data_sample_point=80.0,
        timing=None,
        bus_mode=BUS_MODE_NORMAL,
        fd_non_iso=False,
        receive_own_messages=False,
        **kwargs,
    ):
        self._dev = None
        self._is_shut_down = False
        self._own = collections.deque()  # own frames, with receive_own_messages
        self._pending = collections.deque()  # frames taken from the ring
        bid, port = _parse_channel(channel)
        if timing is not None:
            bitrate, sample_point = int(timing.bitrate), timing.sample_point
        bitrate = int(bitrate)
        if fd:
            data_bitrate = bitrate if data_bitrate is None else int(data_bitrate)
        else:
            data_bitrate, data_sample_point = bitrate, sample_point
        if bitrate <= 0 or data_bitrate < bitrate or data_bitrate > 0xFFFFFFFF:
            raise ValueError(
                f"bit rates {bitrate}/{data_bitrate}: the data bit rate must not be "
                "below the arbitration bit rate")
        config = _PortConfig(
            bitrate, data_bitrate,
            _sample_point(sample_point, "sample_point"),
            _sample_point(data_sample_point, "data_sample_point"),
            int(bus_mode) & 0xFFFF, ISO_MODE_NON_ISO if fd_non_iso else ISO_MODE_ISO)
        self._fd = bool(fd)
        self._port = port
        self._receive_own = bool(receive_own_messages)
        self._warned_brs = False
        super().__init__(channel, can_filters=can_filters, **kwargs)

        with _registry_lock:
            dev = _open_device(bid)
            try:
                current = dev.config.get(port)
                if current is not None and current != config:
                    raise CanInitializationError(
                        f"port {port} of adapter {dev.bid:08X} is already open with "
                        f"{current}")
                dev.buses[port].append(self)
                if current is None:
                    _start_port(dev, port, config)
                    dev.config[port] = config
                else:
                    _program_filters(dev, port)
            except Exception:
                if self in dev.buses[port]:
                    dev.buses[port].remove(self)
                if not dev.buses[port]:
                    dev.config.pop(port, None)
                _close_if_unused(dev)
                raise
            self._dev = dev
        self.channel = f"{dev.bid:08X}:{port}"
        self.channel_info = f"CAN FD adapter {dev.bid:08X} port {port}"

    # -- configuration read back from the adapter --------------------------

    def read_port_config(self):
        """The port's settings as the adapter reports them, as a dict."""
        self._check_open()
        lib = _lib.lib()
        h, port = self._dev.hidnum, self._port
        enable, bus_mode, iso = _lib.WORD(), _lib.WORD(), _lib.WORD()
        _check(lib.CANFD_GetCANOPMode(h, port, ctypes.byref(enable), ctypes.byref(bus_mode),
                                      ctypes.byref(iso)), "reading the operating mode")
        arb, data = _lib.DWORD(), _lib.DWORD()
        arb_sp, data_sp = _lib.WORD(), _lib.WORD()
        _check(lib.CANFD_GetCANADBaudRate(h, port, ctypes.byref(arb), ctypes.byref(data),
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

    # -- sending -----------------------------------------------------------

    def send(self, msg, timeout=None):
        """Sends msg; waits up to timeout seconds (None: no limit) while the
        library's transmit queue is full, then raises CanOperationError."""
        self._check_open()
        if msg.is_error_frame:
            raise CanOperationError("the adapter cannot send error frames")
        limit = EXT_WIDTH if msg.is_extended_id else STD_WIDTH
        if not 0 <= msg.arbitration_id <= limit:
            raise ValueError(f"arbitration id 0x{msg.arbitration_id:X} out of range")
        data = bytes(msg.data or b"")
        if msg.is_fd:
            if not self._fd:
                raise ValueError("CAN FD frame on a bus opened without fd=True")
            if msg.is_remote_frame:
                raise ValueError("CAN FD has no remote frames")
            if len(data) > 64:
                raise ValueError(f"{len(data)} data bytes: CAN FD carries at most 64")
            dlc = len2dlc(len(data))
            data = data.ljust(dlc2len(dlc), b"\0")
            if dlc and not msg.bitrate_switch and not self._warned_brs:
                self._warned_brs = True
                LOG.warning("CAN FD frames with data are always sent with bit rate switch")
        elif msg.is_remote_frame:
            dlc, data = msg.dlc, b""
            if not 0 <= dlc <= 8:
                raise ValueError(f"remote frame dlc {dlc}: at most 8")
        else:
            if len(data) > 8:
                raise ValueError(f"{len(data)} data bytes: a classic frame carries at most 8")
            dlc = len(data)
        buf = (_lib.BYTE * 64).from_buffer_copy(data.ljust(64, b"\0"))

        lib = _lib.lib()
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        while True:
            rc = lib.CANFD_SetCANTxMsg(self._dev.hidnum, self._port, int(msg.is_extended_id),
                                       msg.arbitration_id, int(msg.is_remote_frame),
                                       int(msg.is_fd), dlc, buf)
            if rc == 0:
                break
            self._check_open()
            if rc not in (_lib.ERR_TX_QUEUE_FULL, _lib.ERR_TX_BUF_FULL):
                _check(rc, "sending")
            if deadline is not None and time.monotonic() >= deadline:
                raise CanOperationError(
                    f"sending: transmit queue still full after {timeout} s", error_code=rc)
            time.sleep(TX_RETRY_PAUSE_S)

        if self._receive_own:
            self._own.append(Message(
                timestamp=time.time(), arbitration_id=msg.arbitration_id,
                is_extended_id=msg.is_extended_id, is_remote_frame=msg.is_remote_frame,
                is_fd=msg.is_fd, bitrate_switch=msg.is_fd and dlc > 0,
                dlc=len(data) if not msg.is_remote_frame else dlc,
                data=None if msg.is_remote_frame else data,
                channel=self.channel, is_rx=False))

    def flush_tx_buffer(self):
        self._check_open()
        _check(_lib.lib().CANFD_ClearCANTxBuf(self._dev.hidnum, self._port),
               "clearing the transmit buffer")

    # -- receiving ---------------------------------------------------------

    def _recv_internal(self, timeout):
        lib = _lib.lib()
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        slice_ms = OWN_MESSAGE_SLICE_MS if self._receive_own else WAIT_SLICE_MS
        while True:
            self._check_open()
            for queue in (self._own, self._pending):
                try:
                    return queue.popleft(), False
                except IndexError:
                    pass
            if self._take_waiting():
                continue
            if deadline is None:
                wait_ms = slice_ms
            else:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None, False
                wait_ms = min(slice_ms, math.ceil(left * 1000))
            # Blocks in the library, without the GIL, until a frame waits.
            rc = lib.CANFD_WaitCANRxMsg(self._dev.hidnum, self._port, wait_ms)
            if rc not in (0, _lib.ERR_RX_BUF_EMPTY):
                self._check_open()
                _check(rc, "waiting for a frame")

    def _take_waiting(self):
        """Moves the frames waiting in the port's receive ring to the pending queue.

        Taking them together lets the newest one, which has waited least,
        set the clock offset for all of them. Returns how many were taken.
        """
        frames = []
        out = _lib.RxFrame()
        while len(frames) < RX_BATCH:
            rc = _lib.get_rx_msg(self._dev.hidnum, self._port, out)
            if rc == _lib.ERR_RX_BUF_EMPTY:
                break
            if rc != 0:
                self._check_open()
                _check(rc, "receiving")
            frames.append(self._message(out))
        if frames:
            offset = self._dev.clock_offset(frames[-1].timestamp)
            for msg in frames:
                msg.timestamp += offset
            self._pending.extend(frames)
        return len(frames)

    def _message(self, out):
        """A Message from a taken frame; its time stamp is still the adapter's."""
        fd = bool(out.fdf)
        size = dlc2len(out.dlc) if fd else min(out.dlc, 8)
        remote = bool(out.rtr)
        return Message(
            timestamp=out.sec + out.usec * 1e-6,
            arbitration_id=out.id,
            is_extended_id=bool(out.mode),
            is_remote_frame=remote,
            is_fd=fd,
            dlc=size,
            data=None if remote else bytes(out.data)[:size],
            channel=self.channel,
            is_rx=True,
        )

    # -- filters and life cycle -------------------------------------------

    def _apply_filters(self, filters):
        if self._dev is None or self._is_shut_down:
            return
        with _registry_lock:
            _program_filters(self._dev, self._port)

    def _check_open(self):
        if self._is_shut_down or self._dev is None:
            raise CanOperationError("the bus is shut down")

    def shutdown(self):
        """Releases the port; the adapter is closed when its last port is released.
        Calling it again does nothing."""
        if self._is_shut_down or self._dev is None:
            self._is_shut_down = True
            return
        super().shutdown()
        # Let a periodic send in progress finish before the port goes away.
        with getattr(self, "_lock_send_periodic", None) or threading.Lock():
            self._is_shut_down = True
        dev, port = self._dev, self._port
        with _registry_lock:
            if self in dev.buses[port]:
                dev.buses[port].remove(self)
            try:
                if dev.buses[port]:
                    _program_filters(dev, port)
                else:
                    dev.config.pop(port, None)
                    dev.programmed.pop(port, None)
                    rc = _lib.lib().CANFD_SetCANOPMode(dev.hidnum, port, 0, BUS_MODE_NORMAL,
                                                      ISO_MODE_ISO)
                    if rc != 0:
                        LOG.warning("disabling port %d: %s", port, _lib.describe(rc))
            finally:
                _close_if_unused(dev)

    @staticmethod
    def _detect_available_configs():
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
