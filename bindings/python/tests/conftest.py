"""Fixtures: buses on the two ports of the first adapter found.

The ports of the simulated adapter (canfd-sim) share one virtual bus, so a
frame sent on one port arrives on the other. With CANFD_SIM_UHID=1 the
adapter is a real hidraw device (canfd-sim --uhid) and the tests that need
what only the hidraw sandbox gives are skipped, with the reason.
"""

import ctypes
import os

import can
import pytest

from canfd_can import _lib

BITRATE = 500000
DATA_BITRATE = 2000000

UHID_SKIPS = {
    "test_frames_keep_their_order":
        "a burst of 2000 frames needs back-pressure on the writes: uhid keeps 32 output "
        "reports for canfd-sim and drops the rest (kernel: 'Output queue is full'), where "
        "the sandbox's socket and a USB adapter's interrupt transfer make the writer wait",
}


def pytest_collection_modifyitems(config, items):
    if os.environ.get("CANFD_SIM_UHID") != "1":
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
    h, port = bus._dev.hidnum, bus._port
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
