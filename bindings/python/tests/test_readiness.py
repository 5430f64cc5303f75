"""fileno(): a descriptor that select, poll and asyncio wait on, readable
exactly while received frames wait for recv()."""

import asyncio
import select
import threading
import time

import can
import pytest

from canfd_can import _port

TIMEOUT = 0.5


def readable(bus, timeout=0.0):
    return bool(select.select([bus.fileno()], [], [], timeout)[0])


@pytest.fixture
def quiet_pair(make_bus, channels):
    """Buses that do not read the bus state: their descriptors wake only for
    frames."""
    return (make_bus(channels[0], ignore_rx_error_frames=True),
            make_bus(channels[1], ignore_rx_error_frames=True))


def test_readable_while_frames_wait(quiet_pair):
    tx, rx = quiet_pair
    assert not readable(rx)
    tx.send(can.Message(arbitration_id=1))
    tx.send(can.Message(arbitration_id=2))
    assert readable(rx, TIMEOUT)
    time.sleep(0.05)  # the second frame too
    assert rx.recv(0).arbitration_id == 1
    assert readable(rx)
    assert rx.recv(0).arbitration_id == 2
    assert not readable(rx)
    assert rx.recv(0) is None


def test_each_bus_on_a_port_has_its_own(make_bus, channels):
    tx = make_bus(channels[0])
    a, b = (make_bus(channels[1], ignore_rx_error_frames=True) for _ in range(2))
    assert a.fileno() != b.fileno()
    tx.send(can.Message(arbitration_id=3))
    assert readable(a, TIMEOUT) and readable(b, TIMEOUT)
    # a takes the frame from the library for both.
    assert a.recv(0).arbitration_id == 3
    assert not readable(a) and readable(b)
    assert b.recv(0).arbitration_id == 3
    assert not readable(b)


def test_own_and_loopback_copies_make_it_readable(make_bus, channels):
    own = make_bus(channels[0], receive_own_messages=True, ignore_rx_error_frames=True)
    peer = make_bus(channels[0], ignore_rx_error_frames=True)
    own.send(can.Message(arbitration_id=4))
    assert readable(own) and readable(peer)


def test_readable_when_the_bus_state_is_due(make_bus, channels, counting_library):
    counting = counting_library()
    bus = make_bus(channels[0])
    assert not readable(bus)
    start = time.monotonic()
    assert readable(bus, 1)
    assert time.monotonic() - start == pytest.approx(_port.STATE_INTERVAL_S, abs=0.1)
    # recv reads the state (no change, so no error frame) and quiets it.
    assert bus.recv(0) is None
    assert counting.calls["CANFD_GetCANBusState"] == 1
    assert not readable(bus)


def test_asyncio_add_reader(pair):
    tx, rx = pair
    count = 50

    async def main():
        loop = asyncio.get_running_loop()
        got, done = [], asyncio.Event()

        def on_readable():
            while (msg := rx.recv(0)) is not None:
                got.append(msg.arbitration_id)
            if len(got) >= count:
                done.set()

        loop.add_reader(rx.fileno(), on_readable)
        try:
            await loop.run_in_executor(None, lambda: [
                tx.send(can.Message(arbitration_id=i, is_extended_id=False))
                for i in range(count)])
            await asyncio.wait_for(done.wait(), 2)
        finally:
            loop.remove_reader(rx.fileno())
        return got

    assert asyncio.run(main()) == list(range(count))


def test_notifier_waits_on_it_in_the_event_loop(pair):
    tx, rx = pair

    async def main():
        reader = can.AsyncBufferedReader()
        notifier = can.Notifier(rx, [reader], loop=asyncio.get_running_loop())
        try:
            # With a descriptor the notifier needs no thread of its own.
            assert not [t for t in threading.enumerate() if t.name.startswith("can.notifier")]
            tx.send(can.Message(arbitration_id=0x42, data=[1]))
            return await asyncio.wait_for(reader.get_message(), 2)
        finally:
            notifier.stop()

    msg = asyncio.run(main())
    assert msg.arbitration_id == 0x42 and msg.channel == rx.channel
