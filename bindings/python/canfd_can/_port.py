"""The adapters and ports this process uses, shared by its buses.

A port has no thread of its own: the bus that needs frames takes whatever
waits in the library for the port, without waiting there, decodes the batch
once and hands every bus on the port its own copies (take()); a bus waits on
a descriptor that wakes it when the library has frames for the port. The
port also hands its buses the copies of frames sent on it by this process
(local loopback), the error frames of its bus state, read when due, and the
warnings of frames the library dropped. Settings: a bus opened with a bit
rate sets the port up and switches it on, and the port is switched off when
its last bus goes; a bus opened without one changes nothing.
"""

import ctypes
import logging
import threading
import time
from typing import Dict, Optional, Tuple

from can import CanError, CanInitializationError, CanOperationError, Message

from . import _lib
from ._filters import hardware_ranges, matches
from ._frames import RX_BATCH, DropLog, as_sent, decode, error_message, sent_copy
from ._state import STATE_TEXT, ErrorFrames, Timer
from ._timing import PortConfig

LOG = logging.getLogger("canfd_can")

# The library's drop count of a port is read after a full batch (frames
# back up) and at least this often while frames come.
DROP_CHECK_S = 1.0
# The bus state is read this often while a bus on the port wants error
# frames (the SocketCAN bridge's default), and after a read that failed
# (an adapter that does not answer) only after the longer pause.
STATE_INTERVAL_S = 0.2
STATE_RETRY_S = 5.0

# While the port's batches come less than twice this far apart (a stream),
# a bus that has taken everything lets the next frames gather until this
# long after the last batch before it takes again, instead of waking for
# each small batch (the library's receive worker gathers reports the same
# way): under a stream, at most one wake-up per interval, and at most this
# much more latency.
GATHER_S = 0.001

# Open, close and scans of the library must not run concurrently; this lock
# also guards the table of open adapters, their ports and the ports' buses.
registry_lock = threading.RLock()
devices: Dict[int, "Device"] = {}  # board id -> Device


def check(rc: int, what: str, error=CanOperationError) -> None:
    if rc == 0:
        return
    if rc == _lib.code("CANFD_ERR_PORT_IN_USE"):
        raise error(f"{what}: {_lib.describe(rc)}: another process uses the port with its "
                    "own settings (open the bus without bitrate to listen to it)",
                    error_code=rc)
    raise error(f"{what}: {_lib.describe(rc)}", error_code=rc)


class Failure:
    """Why a port can receive no more: the text and the library's result."""

    def __init__(self, text: str, code: int):
        self.text = text
        self.code = code


class Device:
    """One open adapter, shared by the buses on its ports."""

    def __init__(self, hidnum: int, pid: int, bid: int):
        self.hidnum = hidnum
        self.pid = pid
        self.bid = bid
        self.ports: Dict[int, "Port"] = {}  # the ports buses use


# -- sharing a port between processes ---------------------------------------
#
# The library keeps an advisory claim per port for every process that uses
# it: a process that changes the settings of a port another process uses is
# refused (CANFD_ERR_PORT_IN_USE) unless it asks to override. A bus opened
# without a bit rate changes nothing and is refused nothing; the last
# process on a port switches it off at the end only if it switched it on.


def port_user(port: "Port") -> Optional[str]:
    """The other process that uses the port, as 'NAME (process PID)', or
    None when there is none (or the system does not say)."""
    pid = _lib.DWORD()
    name = ctypes.create_string_buffer(16)
    rc = _lib.lib().CANFD_GetCANPortUser(port.dev.hidnum, port.number, ctypes.byref(pid), name,
                                         len(name))
    if rc != 0 or pid.value == 0:
        return None
    return f"{name.value.decode(errors='replace') or 'a program'} (process {pid.value})"


def in_use_error(port: "Port", user: Optional[str]) -> CanInitializationError:
    who = user or "another process"
    return CanInitializationError(
        f"port {port.name}: {who} uses the port with its own settings; open the bus without "
        "bitrate to listen alongside it, or with override=True to change its settings anyway",
        error_code=_lib.code("CANFD_ERR_PORT_IN_USE"))


def claim_port_settings(port: "Port", override: bool) -> None:
    """Before this process changes the port's settings: refused, naming the
    other process, while another uses the port, unless override."""
    if override:
        check(_lib.lib().CANFD_SetCANPortOverride(port.dev.hidnum, port.number, 1),
              f"port {port.name}: overriding the other programs' use", CanInitializationError)
        return
    user = port_user(port)
    if user is not None:
        raise in_use_error(port, user)


def release_port_settings(port: "Port") -> None:
    """This process is done with the port: the library switches it off if
    this process switched it on and no other process uses it."""
    off = _lib.BYTE()
    rc = _lib.lib().CANFD_ReleaseCANPort(port.dev.hidnum, port.number, ctypes.byref(off))
    if rc == _lib.ERR_DEVICE_GONE:
        LOG.debug("port %s: the adapter is gone", port.name)
    elif rc != 0:
        LOG.warning("releasing port %s: %s", port.name, _lib.describe(rc))
    elif port.enabled_here and not off.value:
        LOG.info("port %s stays on: another process uses it", port.name)


class Port:
    """A port in use by this process: its buses, the settings this process
    gave it (None while it only listens), and the frames taken for it."""

    def __init__(self, dev: Device, number: int):
        self.dev = dev
        self.number = number
        self.name = f"{dev.bid:08X}:{number}"
        self.config: Optional[PortConfig] = None
        self.enabled_here = False  # switched on by this process: switched off at the end
        # Replaced whole, never changed in place, under registry_lock and lock.
        self.buses: Tuple = ()
        self.programmed: Optional[tuple] = None  # hardware filter ranges last written
        self.failure: Optional[Failure] = None  # set once the port can receive no more
        # Taking frames and handing them and the copies out, one thread at a
        # time, so that every bus sees them in the same order.
        self.lock = threading.Lock()
        fd = ctypes.c_int(-1)
        check(_lib.lib().CANFD_GetCANRxEventFd(dev.hidnum, number, ctypes.byref(fd)),
              f"port {self.name}: its readiness descriptor", CanInitializationError)
        self.ready_fd = fd.value  # the library's: readable while frames wait for the port
        self._buffer = bytearray(RX_BATCH * _lib.FRAME_SIZE)
        self._records = (_lib.Frame * RX_BATCH).from_buffer(self._buffer)
        self._view = memoryview(self._buffer)
        self._count = _lib.DWORD()
        self._count_ref = ctypes.byref(self._count)
        self.drops = DropLog(self.name, "the library's receive ring was full (the port was "
                                        "read too slowly)")
        self._next_drop_check = 0.0
        self._last_batch = 0.0  # monotonic time of the last take that found frames
        self._streaming = False  # the last two batches came less than 2 GATHER_S apart
        # The bus state, read while a bus wants error frames: due (monotonic
        # time) and the timer that makes waiting buses' descriptors readable then.
        self._state_lock = threading.Lock()
        self._errors = ErrorFrames()
        self._state_due: Optional[float] = None
        self.timer = Timer()

    # -- settings ---------------------------------------------------------

    def start(self, config: PortConfig, override: bool = False) -> None:
        """Sets the port up as config says and switches it on: off first,
        then bit rates, filters, cleared buffers and counts, then on."""
        claim_port_settings(self, override)
        try:
            self._set_up(config)
        except CanError as exc:
            self.config = None
            if getattr(exc, "error_code", None) == _lib.code("CANFD_ERR_PORT_IN_USE"):
                raise in_use_error(self, port_user(self)) from None
            raise
        except BaseException:
            self.config = None
            raise

    def _set_up(self, config: PortConfig) -> None:
        lib = _lib.lib()
        h, n, err = self.dev.hidnum, self.number, CanInitializationError
        check(lib.CANFD_SetCANOPMode(h, n, 0, config.bus_mode, config.iso_mode),
              f"port {self.name}: switching it off", err)
        self.config = config
        check(lib.CANFD_SetCANADBaudRate(h, n, config.bitrate, config.data_bitrate,
                                         config.sample_point, config.data_sample_point),
              f"port {self.name}: setting the bit rates", err)
        check(lib.CANFD_SetCANGlobalFilter(h, n, 0, 0),
              f"port {self.name}: setting the global filter", err)
        self.program_filters()
        check(lib.CANFD_ClearCANRxBuf(h, n), f"port {self.name}: clearing the receive buffer",
              err)
        check(lib.CANFD_GetCANFrameCounts(h, n, None, None, 1),
              f"port {self.name}: clearing the frame counts", err)
        self.enabled_here = True
        check(lib.CANFD_SetCANOPMode(h, n, 1, config.bus_mode, config.iso_mode),
              f"port {self.name}: switching it on", err)

    def warn_if_off(self) -> None:
        """For a bus that only listens: tells when the port is switched off,
        as such a bus does not switch it on."""
        enable, mode, iso = _lib.WORD(), _lib.WORD(), _lib.WORD()
        check(_lib.lib().CANFD_GetCANOPMode(self.dev.hidnum, self.number, ctypes.byref(enable),
                                           ctypes.byref(mode), ctypes.byref(iso)),
              f"port {self.name}: reading its operating mode", CanInitializationError)
        if not enable.value:
            LOG.warning("port %s is switched off: a bus opened without bitrate only listens "
                        "and receives nothing until the port is switched on (give bitrate "
                        "to set the port up and switch it on)", self.name)

    def program_filters(self) -> None:
        """Writes the port's hardware filter lists from the filters of all its
        buses, when this process set the port up (otherwise the port's lists
        are another's settings and every bus filters in software only).

        The adapter filters one port for every bus on it, so it takes the
        union; each bus then keeps only the frames that pass its own filters.
        """
        if self.config is None or self.failure is not None:
            return
        buses = self.buses
        if not buses or any(b.filters is None for b in buses):
            filters = None
        else:
            filters = [f for b in buses for f in b.filters]
        ranges = hardware_ranges(filters, _lib.STD_FILTERS, _lib.EXT_FILTERS)
        if self.programmed == ranges:
            return
        lib = _lib.lib()
        h, n = self.dev.hidnum, self.number
        std, ext = ranges
        lo_std, hi_std = (_lib.WORD * _lib.STD_FILTERS)(), (_lib.WORD * _lib.STD_FILTERS)()
        for i, (lo, hi) in enumerate(std):
            lo_std[i], hi_std[i] = lo, hi
        lo_ext, hi_ext = (_lib.DWORD * _lib.EXT_FILTERS)(), (_lib.DWORD * _lib.EXT_FILTERS)()
        for i, (lo, hi) in enumerate(ext):
            lo_ext[i], hi_ext[i] = lo, hi
        self.programmed = None
        check(lib.CANFD_SetCANSTDIDFilter(h, n, len(std), lo_std, hi_std),
              "setting the standard identifier filters")
        check(lib.CANFD_SetCANEXTIDFilter(h, n, len(ext), lo_ext, hi_ext),
              "setting the extended identifier filters")
        self.programmed = ranges

    def make_active(self) -> None:
        """Brings the port to taking part in the bus: switches it on if this
        process set it up and it is off, re-initialises it after bus off.
        A port this process did not set up is not changed: CanOperationError
        says what stands in the way."""
        lib = _lib.lib()
        h, n = self.dev.hidnum, self.number
        enable, mode, iso = _lib.WORD(), _lib.WORD(), _lib.WORD()
        check(lib.CANFD_GetCANOPMode(h, n, ctypes.byref(enable), ctypes.byref(mode),
                                     ctypes.byref(iso)), f"port {self.name}: reading its mode")
        state = _lib.BYTE()
        check(lib.CANFD_GetCANBusState(h, n, ctypes.byref(state), None, None),
              f"port {self.name}: reading its bus state")
        off, bus_off = not enable.value, state.value == _lib.BUS_OFF
        if not off and not bus_off:
            return
        if self.config is None:
            why = "switched off" if off else "bus off"
            raise CanOperationError(
                f"port {self.name} is {why}, and this process opened it without bitrate: "
                "it only listens and does not switch the port on or re-initialise it")
        if bus_off:
            check(lib.CANFD_SetCANReInitialize(h, n), f"port {self.name}: re-initialising it")
        if off:
            self.enabled_here = True
            check(lib.CANFD_SetCANOPMode(h, n, 1, self.config.bus_mode, self.config.iso_mode),
                  f"port {self.name}: switching it on")

    def release(self) -> None:
        """The last bus on the port went: switches it off if this process
        switched it on, and lets go of what the port holds."""
        self.dev.ports.pop(self.number, None)
        self.timer.close()
        release_port_settings(self)
        self.enabled_here = False

    # -- buses --------------------------------------------------------------

    def set_buses(self, buses: Tuple) -> None:
        """The port's buses from now on (under registry_lock); the bus state
        is read while any of them wants error frames."""
        with self.lock:
            self.buses = buses
        wanted = any(b._error_frames for b in buses) and self.failure is None
        with self._state_lock:
            if wanted and self._state_due is None:
                self._state_due = time.monotonic() + STATE_INTERVAL_S
                self.timer.arm(STATE_INTERVAL_S)
            elif not wanted and self._state_due is not None:
                self._state_due = None
                self.timer.arm(0)

    def fail(self, failure: Failure) -> None:
        """The port can receive no more (an unplugged adapter): every bus is told."""
        if self.failure is None:
            self.failure = failure
        for bus in self.buses:
            bus._wake()

    # -- frames -------------------------------------------------------------

    def take(self, taker=None) -> None:
        """Takes the frames that wait in the library for this port, without
        waiting, and hands every bus its copies; reads the bus state when due.
        taker: the bus whose recv() calls, in this thread."""
        if self.failure is None:
            with self.lock:
                self._take_batch(taker)
        due = self._state_due
        if due is not None and time.monotonic() >= due:
            self._read_state()

    def _take_batch(self, taker) -> None:
        rc = _lib.lib().CANFD_ReceiveCANFrames(self.dev.hidnum, self.number, self._records,
                                               RX_BATCH, 0, self._count_ref)
        if rc != 0:
            if rc != _lib.ERR_RX_BUF_EMPTY:
                self.fail(Failure(_lib.describe(rc), rc))
            return
        now = time.monotonic()
        self._streaming = now - self._last_batch < 2 * GATHER_S
        self._last_batch = now
        count = self._count.value
        frames = decode(self._view[:count * _lib.FRAME_SIZE])
        for bus in self.buses:
            bus._deliver_received(frames, bus is taker)
        if count == RX_BATCH or now >= self._next_drop_check:
            self._check_drops()

    def gather_time(self) -> float:
        """Seconds to let frames gather before the next take: while batches
        stream in, what is left of GATHER_S since the last one; else 0."""
        if not self._streaming:
            return 0.0
        return self._last_batch + GATHER_S - time.monotonic()

    def _check_drops(self) -> None:
        """Reads (and clears) the library's count of frames it dropped for
        the port because its ring was full, and warns of them."""
        self._next_drop_check = time.monotonic() + DROP_CHECK_S
        dropped = _lib.DWORD()
        if _lib.lib().CANFD_GetCANFrameCounts(self.dev.hidnum, self.number,
                                             ctypes.byref(dropped), None, 1) == 0 \
                and dropped.value:
            self.drops.add(dropped.value)

    def sent(self, sender, msg: Message, frame: _lib.Frame, timestamp: float) -> None:
        """The library accepted frame (msg) from sender: the other buses on
        the port get their copies (SocketCAN's local loopback), and the
        sender its own with receive_own_messages; each as its filters let."""
        if not sender._local_loopback:
            return
        wire = as_sent(msg, frame)
        arbitration_id, extended = msg.arbitration_id, msg.is_extended_id
        with self.lock:
            for bus in self.buses:
                own = bus is sender
                if own and not bus._receive_own:
                    continue
                if matches(bus.filters, arbitration_id, extended):
                    bus._deliver([sent_copy(msg, wire, timestamp, bus.channel, not own)])

    def _read_state(self) -> None:
        """Reads the bus state (a command to the adapter) and hands the error
        frame of a change to the buses that want them; one thread at a time."""
        if not self._state_lock.acquire(blocking=False):
            return
        try:
            if self._state_due is None or time.monotonic() < self._state_due:
                return
            # Not due while the command runs (up to a second when the adapter
            # does not answer): other buses' waits do not wake for it meanwhile.
            self._state_due = time.monotonic() + STATE_RETRY_S
            self.timer.arm(STATE_RETRY_S)
            state, tx_errors, rx_errors = _lib.BYTE(), _lib.BYTE(), _lib.BYTE()
            rc = _lib.lib().CANFD_GetCANBusState(self.dev.hidnum, self.number,
                                                ctypes.byref(state), ctypes.byref(tx_errors),
                                                ctypes.byref(rx_errors))
            if rc in (_lib.ERR_DEVICE_GONE, _lib.ERR_DEVICE_NOT_OPEN):
                self._state_due = None
                self.timer.arm(0)
                self.fail(Failure(_lib.describe(rc), rc))
                return
            pause = STATE_INTERVAL_S
            if rc == 0:
                self._tell_state(state.value, tx_errors.value, rx_errors.value)
            else:
                LOG.debug("port %s: reading the bus state: %s", self.name, _lib.describe(rc))
                pause = STATE_RETRY_S
            self._state_due = time.monotonic() + pause
            self.timer.arm(pause)
        finally:
            self._state_lock.release()

    def _tell_state(self, state: int, tx_errors: int, rx_errors: int) -> None:
        before = self._errors.state
        change = self._errors.update(state, tx_errors, rx_errors)
        if change is None:
            return
        LOG.info("port %s: %s%s (transmit errors %d, receive errors %d)", self.name,
                 "restarted, " if before == _lib.BUS_OFF else "", STATE_TEXT[state], tx_errors,
                 rx_errors)
        can_id, data = change
        now = time.time()
        with self.lock:
            for bus in self.buses:
                if bus._error_frames:
                    bus._deliver([error_message(can_id, data, now, bus.channel)])


# -- adapters ---------------------------------------------------------------


def parse_channel(channel) -> Tuple[Optional[int], int]:
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


def channels() -> list:
    """The channels of the adapters attached, both ports of each."""
    with registry_lock:
        found = _lib.scan()
    return [f"{bid:08X}:{port}" for _, bid in found for port in (1, 2)]


def open_device(bid: Optional[int]) -> Device:
    """The open adapter with this board id (the only one attached if None),
    opening it. Under registry_lock."""
    if bid is not None and bid in devices:
        return devices[bid]
    found = _lib.scan()
    if bid is None:
        if len(found) != 1:
            raise CanInitializationError(
                f"{len(found)} adapters attached: name the adapter as 'BOARDID:PORT'")
        pid, bid = found[0]
        if bid in devices:
            return devices[bid]
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
    dev = Device(handle.value, pid, bid)
    devices[bid] = dev
    return dev


def close_if_unused(dev: Device) -> None:
    """Closes an adapter none of whose ports is in use. Under registry_lock."""
    if not dev.ports and devices.get(dev.bid) is dev:
        del devices[dev.bid]
        rc = _lib.lib().CANFD_CloseDevice(dev.hidnum)
        if rc != 0:
            LOG.warning("closing adapter %08X: %s", dev.bid, _lib.describe(rc))


def attach(bus, bid: Optional[int], number: int, config: Optional[PortConfig],
           override: bool = False) -> Port:
    """Adds bus to the buses of its port, opening the adapter and setting the
    port up (with config) as needed. config None: the bus changes nothing."""
    with registry_lock:
        dev = open_device(bid)
        port = dev.ports.get(number)
        created = port is None
        try:
            if created:
                port = Port(dev, number)
                dev.ports[number] = port
            bus.channel = bus._drops.where = port.name
            if config is not None and port.config is not None and port.config != config:
                raise CanInitializationError(
                    f"port {port.name} is already open with other settings: {port.config}")
            port.set_buses(port.buses + (bus,))
            if config is not None and port.config is None:
                port.start(config, override)
            elif config is None and created:
                port.warn_if_off()
            else:
                port.program_filters()
        except BaseException:
            if port is not None:
                port.set_buses(tuple(b for b in port.buses if b is not bus))
                if created or not port.buses:
                    port.release()
            close_if_unused(dev)
            raise
        return port


def detach(bus, port: Port) -> None:
    """Removes bus from its port; the last bus releases the port, and the
    last port closes the adapter."""
    with registry_lock:
        port.set_buses(tuple(b for b in port.buses if b is not bus))
        try:
            if port.buses:
                port.program_filters()
            else:
                port.release()
        except CanOperationError as exc:
            LOG.warning("releasing %s: %s", bus.channel, exc)
        finally:
            close_if_unused(port.dev)
