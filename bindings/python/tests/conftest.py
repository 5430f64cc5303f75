"""Fixtures: buses on the two ports of the first adapter found.

The ports of the simulated adapter (canfd-sim) share one virtual bus, so a
frame sent on one port arrives on the other.
"""

import collections
import ctypes
import os
import shutil
import signal
import subprocess

import can
import pytest

from canfd_can import _lib

BITRATE = 500000
DATA_BITRATE = 2000000


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
        kwargs.setdefault("bitrate", BITRATE)
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
    """Two adapters in a sandbox of the test's own, served by a canfd-sim of
    its own, so that the test can stall them (SIGSTOP: the adapter takes no
    more reports) or unplug them (SIGTERM: canfd-sim removes them)."""

    BIDS = ("0000A5A1", "0000A5A2")

    def __init__(self):
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "CANFD_SANDBOX")}
        self.proc = subprocess.Popen(
            [os.environ["CANFD_SIM"], "--quiet", "--adapters", "2", "--bid", ",".join(self.BIDS)],
            stdout=subprocess.PIPE, text=True, env=env)
        # It prints the environment once the adapters are there.
        lines = [self.proc.stdout.readline() for _ in range(2)]
        prefix = "export CANFD_SANDBOX="
        found = [line[len(prefix):].strip() for line in lines if line.startswith(prefix)]
        if not found:
            self.proc.kill()
            raise RuntimeError(f"canfd-sim printed {lines!r}")
        self.dir = found[0]

    def open(self, make_bus, port, **kwargs):
        """A bus on a port of the second adapter (hidraw1: the device index
        of the suite's own adapter, hidraw0, stays free)."""
        saved = os.environ["CANFD_SANDBOX"]
        os.environ["CANFD_SANDBOX"] = self.dir
        try:
            return make_bus(f"{self.BIDS[1]}:{port}", **kwargs)
        finally:
            os.environ["CANFD_SANDBOX"] = saved

    def stall(self, on):
        self.proc.send_signal(signal.SIGSTOP if on else signal.SIGCONT)

    def unplug(self):
        self.proc.send_signal(signal.SIGCONT)
        self.proc.terminate()
        self.proc.wait(10)

    def close(self):
        if self.proc.poll() is None:
            self.unplug()
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture
def private_adapter():
    if "CANFD_SANDBOX" not in os.environ or "CANFD_SIM" not in os.environ:
        pytest.skip("stalling and unplugging an adapter needs the hidraw sandbox")
    adapter = PrivateAdapter()
    yield adapter
    adapter.close()


class CountingLibrary:
    """The library, counting the calls of each function made through it."""

    def __init__(self, real, **fakes):
        self.real = real
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
