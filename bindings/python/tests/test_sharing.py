"""Several buses on one port: each receives its own copy of every frame that
passes its own filters, and of the frames the others send (local loopback).
Also distinct message instances, concurrent writers and a filtered bus under
load, and python-can's ThreadSafeBus on one port."""

import random
import threading
import time
from multiprocessing.dummy import Pool as ThreadPool

import can
import pytest

from canfd_can import _lib
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
    # A bus on port 1 sends with receive_own_messages: another bus on port 1
    # (local loopback), two on port 2 (through the bus) and the sender
    # itself each get a message of their own.
    sender = make_bus(channels[0], receive_own_messages=True)
    same_port = make_bus(channels[0])
    first, second = make_bus(channels[1]), make_bus(channels[1])
    sender.send(can.Message(arbitration_id=0x300, is_extended_id=False, data=[2, 1, 3]))
    got = [first.recv(TIMEOUT), second.recv(TIMEOUT), same_port.recv(TIMEOUT),
           sender.recv(TIMEOUT)]
    assert None not in got
    assert len({id(m) for m in got}) == 4 and len({id(m.data) for m in got}) == 4
    assert [m.is_rx for m in got] == [True, True, True, False]
    got[0].data[0] = 4
    assert got[1].data == got[2].data == got[3].data == bytearray([2, 1, 3])


class TestLocalLoopback:
    """What one bus sends reaches the other buses on its port in this
    process, as SocketCAN's local loopback does, and the sender only with
    receive_own_messages."""

    def test_both_ways_and_to_the_other_port(self, make_bus, channels):
        a, b = make_bus(channels[0]), make_bus(channels[0])
        other = make_bus(channels[1])
        a.send(can.Message(arbitration_id=0x10, is_extended_id=False, data=[1]))
        b.send(can.Message(arbitration_id=0x20, is_extended_id=False, data=[2]))
        from_a, from_b = b.recv(TIMEOUT), a.recv(TIMEOUT)
        assert (from_a.arbitration_id, from_a.channel, from_a.is_rx) == (0x10, a.channel, True)
        assert (from_b.arbitration_id, from_b.channel, from_b.is_rx) == (0x20, a.channel, True)
        assert from_a.timestamp == pytest.approx(time.time(), abs=0.5)
        assert a.recv(0) is None and b.recv(0) is None
        assert [m.arbitration_id for m in drain(other)] == [0x10, 0x20]

    def test_as_on_the_wire(self, make_bus, channels):
        a = make_bus(channels[0], fd=True)
        b = make_bus(channels[0], fd=True)
        a.send(can.Message(arbitration_id=0x1ABCDE, is_fd=True, bitrate_switch=True,
                           error_state_indicator=True, data=range(13)))
        a.send(can.Message(arbitration_id=0x7, is_extended_id=False, is_remote_frame=True,
                           dlc=3))
        fd, remote = b.recv(TIMEOUT), b.recv(TIMEOUT)
        assert (fd.is_fd, fd.bitrate_switch, fd.error_state_indicator, fd.is_extended_id) == (
            True, True, True, True)
        assert fd.dlc == 16 and bytes(fd.data) == bytes(range(13)) + bytes(3)
        assert remote.is_remote_frame and remote.dlc == 3 and not remote.data

    def test_receive_own_messages_on_one_of_two_buses(self, make_bus, channels):
        own = make_bus(channels[0], receive_own_messages=True)
        quiet = make_bus(channels[0])
        rx = make_bus(channels[1])
        own.send(can.Message(arbitration_id=0x11, is_extended_id=False))
        quiet.send(can.Message(arbitration_id=0x22, is_extended_id=False))
        assert [(m.arbitration_id, m.is_rx) for m in drain(own)] == [(0x11, False),
                                                                     (0x22, True)]
        assert [(m.arbitration_id, m.is_rx) for m in drain(quiet, 0)] == [(0x11, True)]
        assert [m.arbitration_id for m in drain(rx)] == [0x11, 0x22]

    def test_off(self, make_bus, channels):
        silent = make_bus(channels[0], local_loopback=False, receive_own_messages=True)
        peer = make_bus(channels[0])
        rx = make_bus(channels[1])
        silent.send(can.Message(arbitration_id=0x33))
        assert rx.recv(TIMEOUT).arbitration_id == 0x33
        assert peer.recv(0.1) is None and silent.recv(0) is None
        peer.send(can.Message(arbitration_id=0x44))  # its own setting: on
        assert silent.recv(TIMEOUT).arbitration_id == 0x44

    def test_copies_pass_each_bus_filters(self, make_bus, channels):
        sender = make_bus(channels[0], receive_own_messages=True,
                          can_filters=[{"can_id": 0x1, "can_mask": 0x7FF}])
        peer = make_bus(channels[0], can_filters=[{"can_id": 0x2, "can_mask": 0x7FF}])
        for arbitration_id in (1, 2, 3):
            sender.send(can.Message(arbitration_id=arbitration_id, is_extended_id=False))
        assert [m.arbitration_id for m in drain(sender)] == [1]
        assert [m.arbitration_id for m in drain(peer, 0)] == [2]

    def test_no_copies_of_refused_frames(self, make_bus, channels, counting_library):
        sender = make_bus(channels[0], receive_own_messages=True)
        peer = make_bus(channels[0])
        counting_library(CANFD_SendCANFrames=lambda *args: _lib.ERR_TX_QUEUE_FULL)
        with pytest.raises(can.CanOperationError):
            sender.send(can.Message(arbitration_id=0x5), timeout=0)
        assert sender.recv(0.1) is None and peer.recv(0) is None


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


def test_waiting_threads_each_get_a_frame(pair):
    tx, rx = pair
    got = []

    def receive():
        got.append(rx.recv(5))

    threads = [threading.Thread(target=receive) for _ in range(5)]
    for thread in threads:
        thread.start()
    time.sleep(0.1)
    for i in range(5):
        tx.send(can.Message(arbitration_id=i))
    start = time.monotonic()
    for thread in threads:
        thread.join(5)
    assert time.monotonic() - start < 1
    assert sorted(m.arbitration_id for m in got) == list(range(5))


def test_buses_on_one_port_in_several_threads(make_bus, channels):
    # Each bus is read in a thread of its own; any of them may take the
    # port's frames from the library for all.
    tx = make_bus(channels[0], bitrate=FAST_BITRATE)
    buses = [make_bus(channels[1], bitrate=FAST_BITRATE) for _ in range(3)]
    count = 500
    results = [[] for _ in buses]

    def read(bus, out):
        while len(out) < count and (msg := bus.recv(2)) is not None:
            out.append(int.from_bytes(msg.data, "little"))

    threads = [threading.Thread(target=read, args=(b, r)) for b, r in zip(buses, results)]
    for thread in threads:
        thread.start()
    for i in range(count):
        tx.send(can.Message(arbitration_id=0x50, is_extended_id=False,
                            data=i.to_bytes(2, "little")), timeout=5)
    for thread in threads:
        thread.join(10)
    assert all(r == list(range(count)) for r in results)


class TestThreadSafeBus:
    """python-can's ThreadSafeBus holds its receive lock for the whole of a
    recv(None), and its shutdown() takes that lock first: a shutdown waits
    for the recv to return. Frames sent on the same port by this process
    end such a recv (local loopback)."""

    def bus(self, channel, **kwargs):
        pytest.importorskip("wrapt")
        return can.ThreadSafeBus(interface="canfd", channel=channel, bitrate=500000, fd=True,
                                 **kwargs)

    def test_a_frame_from_the_same_port_ends_recv_and_the_waiting_shutdown(self, channels):
        receiver, sender = self.bus(channels[0]), self.bus(channels[0])
        got, shut = [], []
        reader = threading.Thread(target=lambda: got.append(receiver.recv(None)))
        reader.start()
        time.sleep(0.2)
        closer = threading.Thread(target=lambda: (receiver.shutdown(),
                                                  shut.append(time.monotonic())))
        closer.start()
        time.sleep(0.2)
        assert not shut, "shutdown returned while recv(None) held the receive lock"
        sent_at = time.monotonic()
        sender.send(can.Message(arbitration_id=0x66))
        reader.join(2)
        closer.join(2)
        sender.shutdown()
        assert got and got[0].arbitration_id == 0x66
        assert shut and shut[0] - sent_at < 0.5

    def test_concurrent_writes_on_one_port(self, channels):
        # python-can's own case with both buses on one channel.
        sender, receiver = self.bus(channels[0]), self.bus(channels[0])
        message = can.Message(arbitration_id=0x123, channel=channels[0], is_extended_id=True,
                              timestamp=121334.365, data=[254, 255, 1, 2])
        try:
            with ThreadPool(100) as senders, ThreadPool(100) as receivers:
                sending = senders.map_async(sender.send, 1000 * [message])
                received = receivers.map(lambda _: receiver.recv(), 1000 * [None])
                sending.get(10)
            assert all(message.equals(m, timestamp_delta=None) for m in received)
        finally:
            start = time.monotonic()
            sender.shutdown()
            receiver.shutdown()
            assert time.monotonic() - start < 1
