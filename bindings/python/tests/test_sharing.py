"""Several buses on one port: each receives its own copy of every frame that
passes its own filters. Also what python-can's back-to-back cases for one
shared channel check, on two ports: distinct message instances, concurrent
writers and a filtered bus under load."""

import random
import threading
import time
from multiprocessing.dummy import Pool as ThreadPool

import can
import pytest

from conftest import FAST_BITRATE

TIMEOUT = 0.5


def take(bus, count):
    """Up to count frames, stopping at the first wait that ends without one."""
    got = []
    while len(got) < count and (msg := bus.recv(TIMEOUT)) is not None:
        got.append(msg)
    return got


def drain(bus, wait=0.2):
    got = []
    while (msg := bus.recv(wait)) is not None:
        got.append(msg)
    return got


def test_each_bus_gets_the_frames_of_its_own_filters(make_bus, channels):
    tx = make_bus(channels[0])
    a = make_bus(channels[1], can_filters=[{"can_id": 0x100, "can_mask": 0x7FF}])
    b = make_bus(channels[1], can_filters=[{"can_id": 0x200, "can_mask": 0x7FF}])
    every = make_bus(channels[1])
    ids = [0x100, 0x200, 0x300, 0x200, 0x100, 0x200]
    for i, arbitration_id in enumerate(ids):
        tx.send(can.Message(arbitration_id=arbitration_id, is_extended_id=False, data=[i]))
    assert [(m.arbitration_id, m.data[0]) for m in drain(a)] == [(0x100, 0), (0x100, 4)]
    assert [(m.arbitration_id, m.data[0]) for m in drain(b)] == [(0x200, 1), (0x200, 3),
                                                                 (0x200, 5)]
    assert [m.arbitration_id for m in drain(every, 0)] == ids


def test_a_burst_reaches_every_bus_whole_and_in_order(make_bus, channels):
    tx = make_bus(channels[0], bitrate=FAST_BITRATE)
    rx = [make_bus(channels[1], bitrate=FAST_BITRATE) for _ in range(3)]
    count = 3000
    for i in range(count):
        tx.send(can.Message(arbitration_id=i & 0x7FF, is_extended_id=False,
                            data=i.to_bytes(2, "little")), timeout=5)
    for bus in rx:
        got = take(bus, count)
        assert [int.from_bytes(m.data, "little") for m in got] == list(range(count))


def test_changing_one_bus_filters_leaves_the_other_alone(make_bus, channels):
    tx = make_bus(channels[0])
    a = make_bus(channels[1], can_filters=[{"can_id": 0x100, "can_mask": 0x7FF}])
    b = make_bus(channels[1], can_filters=[{"can_id": 0x200, "can_mask": 0x7FF}])
    a.set_filters([{"can_id": 0x300, "can_mask": 0x7FF}])
    for arbitration_id in (0x100, 0x200, 0x300):
        tx.send(can.Message(arbitration_id=arbitration_id, is_extended_id=False))
    assert [m.arbitration_id for m in drain(a)] == [0x300]
    assert [m.arbitration_id for m in drain(b, 0)] == [0x200]


def test_a_bus_that_shuts_down_leaves_the_others_receiving(make_bus, channels):
    tx = make_bus(channels[0])
    a, b = make_bus(channels[1]), make_bus(channels[1])
    a.shutdown()
    tx.send(can.Message(arbitration_id=0x55))
    assert b.recv(TIMEOUT).arbitration_id == 0x55


def test_unique_message_instances(make_bus, channels):
    # Two buses on port 2 and one on port 1 receive what a fourth bus on
    # port 1 sends with receive_own_messages: every bus has its own message.
    sender = make_bus(channels[0], receive_own_messages=True)
    same_port = make_bus(channels[0])
    first, second = make_bus(channels[1]), make_bus(channels[1])
    sender.send(can.Message(arbitration_id=0x300, is_extended_id=False, data=[2, 1, 3]))
    got = [first.recv(TIMEOUT), second.recv(TIMEOUT), sender.recv(TIMEOUT)]
    assert None not in got
    assert len({id(m) for m in got}) == 3 and len({id(m.data) for m in got}) == 3
    assert [m.is_rx for m in got] == [True, True, False]
    got[0].data[0] = 4
    assert got[1].data == got[2].data == bytearray([2, 1, 3])
    # Frames sent on a port are not received on that port by other buses.
    assert same_port.recv(0.1) is None


@pytest.fixture
def fast_pair(make_bus, channels):
    """Buses at 1 Mbit/s: the bus carries frames faster than the host sends
    them one to a report, so that none wait for a full transmit queue of the
    adapter (a slower simulated bus drops what finds that queue full)."""
    return make_bus(channels[0], bitrate=FAST_BITRATE), make_bus(channels[1],
                                                                 bitrate=FAST_BITRATE)


def same_frame(received, sent):
    return (received.arbitration_id == sent.arbitration_id
            and received.is_extended_id == sent.is_extended_id
            and bytes(received.data) == bytes(sent.data) and received.is_rx)


def test_concurrent_writes(fast_pair):
    # 100 threads send through one bus while 100 threads receive from another.
    tx, rx = fast_pair
    message = can.Message(arbitration_id=0x123, is_extended_id=True, data=[254, 255, 1, 2])
    workload = 1000 * [message]
    deadline = time.monotonic() + 10
    with ThreadPool(100) as senders, ThreadPool(100) as receivers:
        sending = senders.map_async(lambda m: tx.send(m, timeout=5), workload)
        received = receivers.map(lambda _: rx.recv(max(0, deadline - time.monotonic())),
                                 workload)
        sending.get(10)
    assert all(m is not None and same_frame(m, message) for m in received)
    assert rx.recv(0.1) is None


def test_filtered_bus_under_concurrent_writes(fast_pair):
    tx, rx = fast_pair
    included = can.Message(arbitration_id=0x123, is_extended_id=True, data=[254, 255, 1, 2])
    excluded = can.Message(arbitration_id=0x02, is_extended_id=True, data=[1, 2, 3])
    workload = 500 * [included] + 500 * [excluded]
    random.shuffle(workload)
    rx.set_filters([{"can_id": 0x123, "can_mask": 0xFF, "extended": True}])
    deadline = time.monotonic() + 10
    with ThreadPool(100) as senders, ThreadPool(100) as receivers:
        sending = senders.map_async(lambda m: tx.send(m, timeout=5), workload)
        received = receivers.map(lambda _: rx.recv(max(0, deadline - time.monotonic())),
                                 500 * [None])
        sending.get(10)
    assert all(m is not None and same_frame(m, included) for m in received)
    assert rx.recv(0.1) is None


def test_receive_own_messages_on_one_of_two_buses(make_bus, channels):
    own = make_bus(channels[0], receive_own_messages=True)
    quiet = make_bus(channels[0])
    rx = make_bus(channels[1])
    own.send(can.Message(arbitration_id=0x11, is_extended_id=False))
    quiet.send(can.Message(arbitration_id=0x22, is_extended_id=False))
    echo = own.recv(TIMEOUT)
    assert echo.arbitration_id == 0x11 and not echo.is_rx
    assert own.recv(0.1) is None and quiet.recv(0) is None
    assert [m.arbitration_id for m in drain(rx)] == [0x11, 0x22]


def test_a_reader_thread_per_port(make_bus, channels):
    buses = [make_bus(channels[0]), make_bus(channels[0]), make_bus(channels[1])]
    readers = [t for t in threading.enumerate() if t.name.startswith("canfd reader")]
    assert len(readers) == 2
    assert buses[0]._port.reader is buses[1]._port.reader is not buses[2]._port.reader


def test_a_batch_wakes_as_many_waiting_threads(pair):
    tx, rx = pair
    got = []

    def receive():
        got.append(rx.recv(5))

    threads = [threading.Thread(target=receive) for _ in range(5)]
    for thread in threads:
        thread.start()
    time.sleep(0.1)
    # Held, the queue makes the reader take the frames in batches.
    with rx._rx_cond:
        for i in range(5):
            tx.send(can.Message(arbitration_id=i))
        time.sleep(0.2)
    start = time.monotonic()
    for thread in threads:
        thread.join(5)
    assert time.monotonic() - start < 1
    assert sorted(m.arbitration_id for m in got) == list(range(5))
