"""fileno(): a descriptor that select, poll and asyncio wait on, readable
exactly while received frames wait for recv()."""

import asyncio
import select
import threading
import time

import can

TIMEOUT = 0.5


def readable(bus, timeout=0.0):
    return bool(select.select([bus.fileno()], [], [], timeout)[0])


def test_readable_while_frames_wait(pair):
    tx, rx = pair
    assert not readable(rx)
    tx.send(can.Message(arbitration_id=1))
    tx.send(can.Message(arbitration_id=2))
    assert readable(rx, TIMEOUT)
    deadline = time.monotonic() + TIMEOUT
    while len(rx._rx_queue) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert rx.recv(0).arbitration_id == 1
    assert readable(rx)
    assert rx.recv(0).arbitration_id == 2
    assert not readable(rx)
    assert rx.recv(0) is None


def test_each_bus_on_a_port_has_its_own(make_bus, channels):
    tx = make_bus(channels[0])
    a, b = make_bus(channels[1]), make_bus(channels[1])
    assert a.fileno() != b.fileno()
    tx.send(can.Message(arbitration_id=3))
    assert readable(a, TIMEOUT) and readable(b, TIMEOUT)
    a.recv(0)
    assert not readable(a) and readable(b)


def test_own_messages_make_it_readable(make_bus, channels):
    own = make_bus(channels[0], receive_own_messages=True)
    own.send(can.Message(arbitration_id=4))
    assert readable(own)


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
