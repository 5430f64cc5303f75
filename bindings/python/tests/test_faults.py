"""A full transmit queue, a send interrupted by a signal, dropped frames,
error frames of the bus state and an unplugged adapter."""

import logging
import os
import select
import signal
import threading
import time

import can
import pytest

import canfd_can._port
from canfd_can import _frames, _lib, _port, bus as canfd_bus
from conftest import DATA_BITRATE, FAST_BITRATE, device_open
from test_config import fake_bus_state

TIMEOUT = 0.5


def fill_transmit_queue(bus):
    """Sends until the library's transmit queue refuses more (the adapter is
    stalled); returns how many frames it took. Each send may wait a little,
    so that a queue that is only full for a moment, while the transmit
    worker still has room to write to, does not count."""
    for sent in range(100000):
        try:
            bus.send(can.Message(arbitration_id=0x10, data=[1]), timeout=0.05)
        except can.CanOperationError as exc:
            assert exc.error_code == _lib.ERR_TX_QUEUE_FULL
            return sent
    pytest.fail("the transmit queue never filled")


class TestSendTimeout:
    def test_waits_in_the_library_in_short_slices(self, private_adapter, make_bus,
                                                  counting_library):
        tx = private_adapter.open(make_bus, 1)
        private_adapter.stall(True)
        fill_transmit_queue(tx)
        counting = counting_library()
        start, cpu = time.monotonic(), time.thread_time()
        with pytest.raises(can.CanOperationError) as err:
            tx.send(can.Message(arbitration_id=0x11), timeout=0.3)
        elapsed, cpu = time.monotonic() - start, time.thread_time() - cpu
        assert err.value.error_code == _lib.ERR_TX_QUEUE_FULL
        assert 0.29 <= elapsed < 0.8
        # Each call slept in the library: a few calls, no spinning.
        waits = [args[4] for args in counting.args["CANFD_SendCANFrames"]]
        assert all(0 < w <= canfd_bus.SEND_SLICE_MS for w in waits), waits
        assert 290 <= sum(waits) < 300 + canfd_bus.SEND_SLICE_MS
        assert len(waits) <= 300 // canfd_bus.SEND_SLICE_MS + 1
        assert cpu < 0.05, f"{cpu:.3f} s CPU while waiting"
        private_adapter.stall(False)

    def test_a_waiting_send_goes_out_when_room_comes(self, private_adapter, make_bus):
        tx = private_adapter.open(make_bus, 1)
        rx = private_adapter.open(make_bus, 2)
        private_adapter.stall(True)
        queued = fill_transmit_queue(tx)
        result = []

        def send():
            tx.send(can.Message(arbitration_id=0x12), timeout=5)
            result.append(time.monotonic())

        sender = threading.Thread(target=send)
        sender.start()
        time.sleep(0.3)
        assert not result, "send returned while the queue was full"
        resumed = time.monotonic()
        private_adapter.stall(False)
        sender.join(5)
        assert result and result[0] - resumed < 1.0
        got = []
        while len(got) < queued + 1 and (msg := rx.recv(2)) is not None:
            got.append(msg)
        assert len(got) == queued + 1 and got[-1].arbitration_id == 0x12

    @pytest.mark.parametrize("timeout,waits", [(0, [0]), (0.0004, [1]), (0.12, [50, 50, 20])])
    def test_timeout_given_to_the_library(self, pair, counting_library, timeout, waits):
        def queue_full(hidnum, port, frames, count, wait_ms, sent):
            time.sleep(wait_ms / 1000)
            return _lib.ERR_TX_QUEUE_FULL

        counting = counting_library(CANFD_SendCANFrames=queue_full)
        with pytest.raises(can.CanOperationError):
            pair[0].send(can.Message(arbitration_id=9), timeout=timeout)
        got = [args[4] for args in counting.args["CANFD_SendCANFrames"]]
        # The last slice is what is left of the timeout, rounded up to a
        # millisecond: never more, and less on a slow (emulated) machine.
        assert got[:-1] == waits[:-1] and min(waits[-1], 1) <= got[-1] <= waits[-1], got

    def test_other_errors(self, pair, counting_library):
        counting_library(CANFD_SendCANFrames=lambda *args: _lib.ERR_USB_WRITE)
        with pytest.raises(can.CanOperationError) as err:
            pair[0].send(can.Message(arbitration_id=9), timeout=1)
        assert err.value.error_code == _lib.ERR_USB_WRITE


class TestSendInterrupted:
    """Ctrl-C during a send that waits (timeout None) for a stalled adapter."""

    def interrupt_after(self, seconds):
        """SIGINT to this process (the main thread takes it) after seconds;
        returns where the moment it was sent will be."""
        sent_at = []

        def interrupt():
            sent_at.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Timer(seconds, interrupt).start()
        return sent_at

    def test_raises_at_once_and_the_frame_is_not_sent(self, private_adapter, make_bus):
        # The bus state is not read here: commands wait for a stalled adapter.
        quiet = dict(ignore_rx_error_frames=True)
        tx = private_adapter.open(make_bus, 1, receive_own_messages=True, **quiet)
        peer = private_adapter.open(make_bus, 1, **quiet)
        rx = private_adapter.open(make_bus, 2, **quiet)
        private_adapter.stall(True)
        queued = fill_transmit_queue(tx)
        for bus in (tx, peer):  # the copies of the frames queued so far
            assert len([m for m in iter(lambda: bus.recv(0), None)]) == queued
        sent_at = self.interrupt_after(0.3)
        with pytest.raises(KeyboardInterrupt):
            tx.send(can.Message(arbitration_id=0x99))
        assert time.monotonic() - sent_at[0] < canfd_bus.SEND_SLICE_MS / 1000 + 0.1
        # Refused frames get no copies: the frame was not sent.
        assert tx.recv(0) is None and peer.recv(0) is None
        private_adapter.stall(False)
        got = [m.arbitration_id for m in iter(lambda: rx.recv(1), None)]
        assert len(got) == queued and 0x99 not in got

    def test_a_frame_taken_as_the_signal_comes_keeps_its_copies(self, pair, make_bus,
                                                                 counting_library, channels):
        peer = make_bus(channels[0], fd=True, data_bitrate=DATA_BITRATE)

        def taken_then_signal(hidnum, port, frames, count, wait_ms, sent):
            rc = counting.real.CANFD_SendCANFrames(hidnum, port, frames, count, wait_ms, sent)
            os.kill(os.getpid(), signal.SIGINT)  # handled as the call returns
            return rc

        counting = counting_library(CANFD_SendCANFrames=taken_then_signal)
        with pytest.raises(KeyboardInterrupt):
            pair[0].send(can.Message(arbitration_id=0x77))
        assert peer.recv(0.5).arbitration_id == 0x77
        assert pair[1].recv(0.5).arbitration_id == 0x77


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records
            if r.name == "canfd_can" and r.levelno == logging.WARNING]


class TestDroppedFrames:
    def test_full_receive_ring_is_warned_about_once(self, caplog, make_bus, channels):
        count = 13000  # the library's ring holds 10240
        tx = make_bus(channels[0], bitrate=FAST_BITRATE)
        rx = make_bus(channels[1], bitrate=FAST_BITRATE, rx_queue_size=2 * count)
        # Nobody takes the frames meanwhile: the library's receive ring fills
        # and drops the rest.
        for i in range(count):
            tx.send(can.Message(arbitration_id=0x100, is_extended_id=False,
                                data=i.to_bytes(2, "little")), timeout=5)
        time.sleep(0.5)
        got = []
        while (msg := rx.recv(1)) is not None:
            got.append(int.from_bytes(msg.data, "little"))
        assert 0 < len(got) < count
        assert got == sorted(got)
        warnings = warnings_of(caplog)
        assert len(warnings) == 1 and "receive ring" in warnings[0]
        # The library counts what it dropped; the node may also have dropped
        # reports for it, as a hidraw node does for a reader 64 reports behind.
        assert 0 < rx._port.drops.total <= count - len(got)

    def test_full_bus_queue_is_warned_about_once_per_burst(self, pair, caplog, make_bus,
                                                           channels, monkeypatch):
        monkeypatch.setattr(_frames, "DROP_BURST_GAP_S", 0.8)
        small = make_bus(channels[1], rx_queue_size=5, fd=True, data_bitrate=DATA_BITRATE)
        for burst in range(3):
            for i in range(20):
                pair[0].send(can.Message(arbitration_id=i))
            assert None not in [pair[1].recv(TIMEOUT) for _ in range(20)]
            time.sleep(0.05 if burst == 0 else 1.2)
        # The first two bursts lie within the gap, the third after it.
        assert [m.arbitration_id for m in iter(lambda: small.recv(0), None)] == list(range(5))
        warnings = warnings_of(caplog)
        assert len(warnings) == 2, warnings
        assert all("receive queue" in w and small.channel in w for w in warnings)
        assert small._drops.total == 55


class TestUnplug:
    def test_frames_before_then_errors(self, private_adapter, make_bus):
        tx = private_adapter.open(make_bus, 1)
        rx = private_adapter.open(make_bus, 2)
        tx.send(can.Message(arbitration_id=0x21, data=[1]))
        assert select.select([rx.fileno()], [], [], 2)[0]
        private_adapter.unplug()
        # The frame received before the unplug is still there.
        assert rx.recv(1).arbitration_id == 0x21
        start = time.monotonic()
        with pytest.raises(can.CanOperationError) as err:
            rx.recv(5)
        assert time.monotonic() - start < 0.5
        assert err.value.error_code == _lib.ERR_DEVICE_GONE
        # A descriptor loop learns of it too, and keeps learning of it.
        assert select.select([rx.fileno()], [], [], 0)[0]
        with pytest.raises(can.CanOperationError):
            rx.recv(0)
        with pytest.raises(can.CanOperationError) as err:
            tx.send(can.Message(arbitration_id=0x22), timeout=1)
        assert err.value.error_code == _lib.ERR_DEVICE_GONE
        assert tx.state == rx.state == can.BusState.ERROR

    def test_wakes_a_blocked_recv(self, private_adapter, make_bus):
        rx = private_adapter.open(make_bus, 2)
        errors = []

        def reader():
            try:
                rx.recv(None)
            except can.CanOperationError as exc:
                errors.append((exc, time.monotonic()))

        thread = threading.Thread(target=reader)
        thread.start()
        time.sleep(0.2)
        start = time.monotonic()
        private_adapter.unplug()
        thread.join(5)
        assert errors and errors[0][1] - start < 0.5

    def test_shutdown_still_releases_everything(self, private_adapter, make_bus):
        buses = [private_adapter.open(make_bus, port) for port in (1, 2, 2)]
        hidnum = buses[0]._port.dev.hidnum
        private_adapter.unplug()
        for bus in buses:
            bus.shutdown()
        assert not device_open(hidnum)
        assert canfd_can._port.devices == {}

    def test_a_notifier_stops_with_the_error(self, private_adapter, make_bus):
        rx = private_adapter.open(make_bus, 2)
        errors = []

        class Listener(can.Listener):
            def on_message_received(self, msg):
                pass

            def on_error(self, exc):
                errors.append(exc)

        notifier = can.Notifier(rx, [Listener()], timeout=0.1)
        private_adapter.unplug()
        deadline = time.monotonic() + 2
        while not errors and time.monotonic() < deadline:
            time.sleep(0.01)
        notifier.stop()
        assert errors and isinstance(errors[0], can.CanOperationError)


class TestErrorFrames:
    """Bus state changes, read from the adapter while a bus waits, come as
    python-can error frames as the SocketCAN bridge makes them."""

    def states(self, counting_library, sequence):
        """Makes the library report the states of sequence, one per read."""
        answers = iter(sequence)
        last = [sequence[0]]

        def bus_state(hidnum, port, o_state, o_tx, o_rx):
            last[0] = next(answers, last[0])
            return fake_bus_state(*last[0])(hidnum, port, o_state, o_tx, o_rx)

        counting_library(CANFD_GetCANBusState=bus_state)

    def errors(self, bus, count, timeout=3.0):
        got, deadline = [], time.monotonic() + timeout
        while len(got) < count and (left := deadline - time.monotonic()) > 0:
            msg = bus.recv(left)
            if msg is not None and msg.is_error_frame:
                got.append(msg)
        return got

    def test_bus_off_and_back(self, make_bus, channels, counting_library, monkeypatch):
        monkeypatch.setattr(_port, "STATE_INTERVAL_S", 0.05)
        self.states(counting_library, [(0, 0, 0), (1, 100, 5), (2, 130, 5), (3, 255, 5),
                                       (0, 0, 0)])
        bus = make_bus(channels[0])
        quiet = make_bus(channels[0], ignore_rx_error_frames=True)
        start = time.monotonic()
        warning, passive, bus_off, restarted = self.errors(bus, 4)
        assert time.monotonic() - start < 2
        for msg in (warning, passive, bus_off, restarted):
            assert msg.is_error_frame and not msg.is_extended_id and msg.dlc == 8
            assert msg.channel == bus.channel
            assert msg.timestamp == pytest.approx(time.time(), abs=2)
        # CAN_ERR_CRTL | CAN_ERR_CNT, data[1] the side that is worse.
        assert (warning.arbitration_id, list(warning.data)) == (0x204, [0, 0x08, 0, 0, 0, 0,
                                                                        100, 5])
        assert (passive.arbitration_id, passive.data[1]) == (0x204, 0x20)
        assert (bus_off.arbitration_id, list(bus_off.data)) == (0x240, [0] * 6 + [255, 5])
        assert (restarted.arbitration_id, list(restarted.data)) == (0x300, [0] * 8)
        assert quiet.recv(0) is None

    def test_reach_a_notifier(self, make_bus, channels, counting_library, monkeypatch):
        monkeypatch.setattr(_port, "STATE_INTERVAL_S", 0.05)
        self.states(counting_library, [(0, 0, 0), (3, 255, 0)])
        bus = make_bus(channels[0])
        reader = can.BufferedReader()
        notifier = can.Notifier(bus, [reader], timeout=0.1)
        try:
            msg = reader.get_message(2)
        finally:
            notifier.stop()
        assert msg is not None and msg.is_error_frame and msg.arbitration_id == 0x240

    def test_wake_a_descriptor_loop(self, make_bus, channels, counting_library, monkeypatch):
        monkeypatch.setattr(_port, "STATE_INTERVAL_S", 0.05)
        self.states(counting_library, [(0, 0, 0), (2, 0, 140)])
        bus = make_bus(channels[0])
        deadline = time.monotonic() + 2
        got = None
        while got is None and time.monotonic() < deadline:
            if select.select([bus.fileno()], [], [], 1)[0]:
                got = bus.recv(0)
        assert got is not None and got.is_error_frame
        assert (got.arbitration_id, got.data[1]) == (0x204, 0x10)  # receive side passive

    def test_read_only_while_a_bus_wants_them(self, make_bus, channels, counting_library,
                                             monkeypatch):
        monkeypatch.setattr(_port, "STATE_INTERVAL_S", 0.05)
        counting = counting_library()
        bus = make_bus(channels[0], ignore_rx_error_frames=True)
        assert bus.recv(0.3) is None
        assert counting.calls["CANFD_GetCANBusState"] == 0
        wanting = make_bus(channels[0])
        assert wanting.recv(0.3) is None
        assert 3 <= counting.calls["CANFD_GetCANBusState"] <= 8
