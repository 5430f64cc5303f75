"""A full transmit queue, dropped frames and an unplugged adapter."""

import logging
import select
import threading
import time

import can
import pytest

import canfd_can.bus
from canfd_can import _lib, _reader
from conftest import DATA_BITRATE, FAST_BITRATE, device_open

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
    def test_waits_in_the_library_for_its_timeout(self, private_adapter, make_bus,
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
        # One call that slept in the library: no retries, no spinning.
        assert counting.calls["CANFD_SendCANFrames"] == 1
        assert counting.args["CANFD_SendCANFrames"][0][4] == 300
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

    @pytest.mark.parametrize("timeout,wait_ms", [(None, 0xFFFFFFFF), (0, 0), (0.0004, 1),
                                                 (2.5, 2500)])
    def test_timeout_given_to_the_library(self, pair, counting_library, timeout, wait_ms):
        def queue_full(*args):
            assert counting.calls["CANFD_SendCANFrames"] == 1, "send called the library again"
            return _lib.ERR_TX_QUEUE_FULL

        counting = counting_library(CANFD_SendCANFrames=queue_full)
        with pytest.raises(can.CanOperationError):
            pair[0].send(can.Message(arbitration_id=9), timeout=timeout)
        assert [args[4] for args in counting.args["CANFD_SendCANFrames"]] == [wait_ms]

    def test_other_errors(self, pair, counting_library):
        counting_library(CANFD_SendCANFrames=lambda *args: _lib.ERR_USB_WRITE)
        with pytest.raises(can.CanOperationError) as err:
            pair[0].send(can.Message(arbitration_id=9), timeout=1)
        assert err.value.error_code == _lib.ERR_USB_WRITE


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records
            if r.name == "canfd_can" and r.levelno == logging.WARNING]


class TestDroppedFrames:
    def test_full_receive_ring_is_warned_about_once(self, caplog, make_bus, channels):
        count = 13000  # the ring holds 10240, the reader one batch more
        tx = make_bus(channels[0], bitrate=FAST_BITRATE)
        rx = make_bus(channels[1], bitrate=FAST_BITRATE, rx_queue_size=2 * count)
        # The reader cannot hand frames to the bus while its queue is held:
        # the library's receive ring fills and drops the rest.
        with rx._rx_cond:
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
        assert rx._port.reader.drops.total == count - len(got)

    def test_full_bus_queue_is_warned_about_once_per_burst(self, pair, caplog, make_bus,
                                                           channels, monkeypatch):
        monkeypatch.setattr(_reader, "DROP_BURST_GAP_S", 0.8)
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
        readers = {bus._port.reader.thread for bus in buses}
        private_adapter.unplug()
        for bus in buses:
            bus.shutdown()
        assert not any(t.is_alive() for t in readers)
        assert not device_open(hidnum)
        assert canfd_can.bus._devices == {}

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
