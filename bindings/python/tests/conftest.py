"""Fixtures: buses on the two ports of the first adapter found.

The ports of the simulated adapter (canfd-sim) share one virtual bus, so a
frame sent on one port arrives on the other. With CANFD_SIM_UHID=1 the
adapter is a real hidraw device (canfd-sim --uhid) and the tests that need
what only the hidraw sandbox gives are skipped, with the reason.
"""

import collections
import ctypes
import os
import shutil
import signal
import subprocess
import time

import can
import pytest

from canfd_can import _lib

BITRATE = 500000
DATA_BITRATE = 2000000
# For bursts: the bus is then faster than the host's single-frame reports.
FAST_BITRATE = 1000000

UHID = os.environ.get("CANFD_SIM_UHID") == "1"

UHID_SKIPS = {
    "test_frames_keep_their_order":
        "a burst of 2000 frames needs back-pressure on the writes: uhid keeps 32 output "
        "reports for canfd-sim and drops the rest (kernel: 'Output queue is full'), where "
        "the sandbox's socket and a USB adapter's interrupt transfer make the writer wait",
    "test_full_receive_ring_is_warned_about_once":
        "a burst of 13000 frames to fill the library's receive ring needs back-pressure on "
        "the writes: uhid drops what canfd-sim has not read while 32 reports wait",
    "test_a_burst_reaches_every_bus_whole_and_in_order":
        "a burst of 3000 frames needs back-pressure on the writes: uhid drops what "
        "canfd-sim has not read while 32 reports wait",
    "test_concurrent_writes":
        "1000 frames from 100 threads need back-pressure on the writes: uhid drops what "
        "canfd-sim has not read while 32 reports wait",
    "test_filtered_bus_under_concurrent_writes":
        "1000 frames from 100 threads need back-pressure on the writes: uhid drops what "
        "canfd-sim has not read while 32 reports wait",
    "test_buses_on_one_port_in_several_threads":
        "a burst of 500 frames needs back-pressure on the writes: uhid drops what "
        "canfd-sim has not read while 32 reports wait",
}


def pytest_collection_modifyitems(config, items):
    if not UHID:
        return
    for item in items:
        reason = UHID_SKIPS.get(item.originalname)
        if reason:
            item.add_marker(pytest.mark.skip(reason="under canfd-sim --uhid: " + reason))


@pytest.fixture(scope="session")
def board():
    configs = can.detect_available_configs("canfd")
    if not configs:
        pytest.fail("no adapter found: run the tests inside canfd-sim")
    return configs[0]["channel"].split(":")[0]


@pytest.fixture
def channels(board):
    return f"{board}:1", f"{board}:2"


@pytest.fixture
def make_bus():
    """Opens buses through can.Bus and shuts every one down afterwards."""
    opened = []

    def make(channel, **kwargs):
        # A bit rate unless the test gives a timing, or bitrate=None (a bus
        # that only listens).
        kwargs.setdefault("bitrate", BITRATE)
        if kwargs["bitrate"] is None or "timing" in kwargs:
            del kwargs["bitrate"]
        bus = can.Bus(interface="canfd", channel=channel, **kwargs)
        opened.append(bus)
        return bus

    yield make
    for bus in opened:
        bus.shutdown()


@pytest.fixture
def pair(make_bus, channels):
    """A CAN FD bus on port 1 and one on port 2."""
    return (
        make_bus(channels[0], fd=True, data_bitrate=DATA_BITRATE),
        make_bus(channels[1], fd=True, data_bitrate=DATA_BITRATE),
    )


def device_open(hidnum):
    """Whether the library has the device index open."""
    version = _lib.WORD()
    rc = _lib.lib().CANFD_GetFwVer(hidnum, ctypes.byref(version))
    assert rc in (0, _lib.ERR_DEVICE_NOT_OPEN), _lib.describe(rc)
    return rc == 0


def port_settings(hidnum, port):
    """A port's operating mode and bit rates as the adapter holds them."""
    lib = _lib.lib()
    enable, mode, iso = _lib.WORD(), _lib.WORD(), _lib.WORD()
    assert lib.CANFD_GetCANOPMode(hidnum, port, ctypes.byref(enable), ctypes.byref(mode),
                                  ctypes.byref(iso)) == 0
    arb, data, arb_sp, data_sp = _lib.DWORD(), _lib.DWORD(), _lib.WORD(), _lib.WORD()
    assert lib.CANFD_GetCANADBaudRate(hidnum, port, ctypes.byref(arb), ctypes.byref(data),
                                      ctypes.byref(arb_sp), ctypes.byref(data_sp)) == 0
    return {"enabled": enable.value, "bus_mode": mode.value, "iso_mode": iso.value,
            "bitrate": arb.value, "data_bitrate": data.value, "sample_point": arb_sp.value,
            "data_sample_point": data_sp.value}


def hardware_filters(bus):
    """The port's filter lists as the adapter holds them: (standard, extended)."""
    lib = _lib.lib()
    h, port = bus._port.dev.hidnum, bus._port.number
    rfs, rfe, n_std, n_ext = _lib.BYTE(), _lib.BYTE(), _lib.WORD(), _lib.WORD()
    assert lib.CANFD_GetCANGlobalFilter(h, port, ctypes.byref(rfs), ctypes.byref(rfe),
                                        ctypes.byref(n_std), ctypes.byref(n_ext)) == 0
    lo, hi = (_lib.WORD * 128)(), (_lib.WORD * 128)()
    assert lib.CANFD_GetCANSTDIDFilter(h, port, lo, hi) == 0
    std = list(zip(lo[: n_std.value], hi[: n_std.value]))
    elo, ehi = (_lib.DWORD * 64)(), (_lib.DWORD * 64)()
    assert lib.CANFD_GetCANEXTIDFilter(h, port, elo, ehi) == 0
    ext = list(zip(elo[: n_ext.value], ehi[: n_ext.value]))
    return std, ext


class PrivateAdapter:
    """An adapter of the test's own, served by a canfd-sim of its own, so
    that the test can stall it (SIGSTOP: it takes no more reports) or unplug
    it (SIGTERM: canfd-sim removes it).

    In the sandbox, canfd-sim serves two adapters in a sandbox of their own
    and buses use the second (hidraw1), so that the device index of the
    suite's adapter (hidraw0) stays free. Under uhid it is a kernel device
    beside the suite's.
    """

    BIDS = ("0000A5A1", "0000A5A2")

    def __init__(self):
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "CANFD_SANDBOX")}
        if UHID:
            command = ["--uhid", "--quiet", "--bid", self.BIDS[1]]
            ready = "/dev/hidraw"  # it prints the node once the kernel made it
        else:
            command = ["--quiet", "--adapters", "2", "--bid", ",".join(self.BIDS)]
            ready = "export CANFD_SANDBOX="  # it prints the environment to use
        self.proc = subprocess.Popen([os.environ["CANFD_SIM"], *command],
                                     stdout=subprocess.PIPE, text=True, env=env)
        line = self.proc.stdout.readline()
        if not line.startswith(ready):
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError(f"canfd-sim printed {line!r}")
        self.dir = None if UHID else line[len(ready):].strip()

    def open(self, make_bus, port, **kwargs):
        """A bus on a port of the adapter."""
        if self.dir is None:
            return make_bus(f"{self.BIDS[1]}:{port}", **kwargs)
        saved = os.environ["CANFD_SANDBOX"]
        os.environ["CANFD_SANDBOX"] = self.dir
        try:
            return make_bus(f"{self.BIDS[1]}:{port}", **kwargs)
        finally:
            os.environ["CANFD_SANDBOX"] = saved

    def stall(self, on):
        if UHID:
            pytest.skip("under canfd-sim --uhid a stalled adapter does not stop the writer: "
                        "uhid keeps 32 output reports and drops the rest")
        self.proc.send_signal(signal.SIGSTOP if on else signal.SIGCONT)
        # A signal takes effect a moment later: wait until it has.
        deadline = time.monotonic() + 5
        while self._stopped() != on:
            assert time.monotonic() < deadline, "canfd-sim did not stop or continue"
            time.sleep(0.001)

    def _stopped(self):
        with open(f"/proc/{self.proc.pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "T"

    def unplug(self):
        self.proc.send_signal(signal.SIGCONT)
        self.proc.terminate()
        self.proc.wait(10)

    def close(self):
        if self.proc.poll() is None:
            self.unplug()
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture
def private_adapter():
    if "CANFD_SIM" not in os.environ or not (UHID or "CANFD_SANDBOX" in os.environ):
        pytest.skip("needs canfd-sim (CANFD_SIM) and the hidraw sandbox or uhid")
    adapter = PrivateAdapter()
    yield adapter
    adapter.close()


class CountingLibrary:
    """The library, counting the calls of each function made through it."""

    def __init__(self, real, **fakes):
        self.real = real
        self._handle = real._handle  # for the variables read with in_dll()
        self.calls = collections.Counter()
        self.args = collections.defaultdict(list)
        self.fakes = fakes

    def __getattr__(self, name):
        fn = self.fakes.get(name) or getattr(self.real, name)

        def counted(*args):
            self.calls[name] += 1
            self.args[name].append(args)
            return fn(*args)

        return counted


@pytest.fixture
def counting_library(monkeypatch):
    """Makes the interface call the library through a CountingLibrary;
    keyword arguments replace functions."""

    def install(**fakes):
        counting = CountingLibrary(_lib.lib(), **fakes)
        monkeypatch.setattr(_lib, "lib", lambda: counting)
        return counting

    return install


def open_adapter(board):
    """The adapter opened through the library itself (no bus may have it open)."""
    hidnum = _lib.WORD()
    pid = [p for p, b in _lib.scan() if b == int(board, 16)][0]
    assert _lib.lib().CANFD_OpenDevice(ctypes.byref(hidnum), pid, int(board, 16)) == 0
    return hidnum.value


def set_port(board, port, enable, bitrate):
    hidnum = open_adapter(board)
    try:
        lib = _lib.lib()
        assert lib.CANFD_SetCANADBaudRate(hidnum, port, bitrate, 4 * bitrate, 7500, 7000) == 0
        assert lib.CANFD_SetCANOPMode(hidnum, port, enable, 0, 1) == 0
        return port_settings(hidnum, port)
    finally:
        assert lib.CANFD_CloseDevice(hidnum) == 0


def read_port(board, port):
    hidnum = open_adapter(board)
    try:
        return port_settings(hidnum, port)
    finally:
        assert _lib.lib().CANFD_CloseDevice(hidnum) == 0
