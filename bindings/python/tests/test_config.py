"""Opening, configuration read back from the adapter, errors and shutdown."""

import ctypes
import select
import signal
import subprocess
import sys
import threading
import time

import can
import pytest

import canfd_can._port
import canfd_can.bus
from canfd_can import _lib
from conftest import device_open, open_adapter, port_settings, read_port, set_port


class TestConfiguration:
    def test_classic_bit_rate(self, make_bus, channels):
        bus = make_bus(channels[0], bitrate=250000)
        assert bus.read_port_config() == {
            "enabled": True, "bus_mode": 0, "iso_mode": 1, "bitrate": 250000,
            "data_bitrate": 250000, "sample_point": 80.0, "data_sample_point": 80.0}

    def test_fd_bit_rates_and_sample_points(self, make_bus, channels):
        bus = make_bus(channels[1], fd=True, bitrate=1000000, data_bitrate=5000000,
                       sample_point=75, data_sample_point=62.5)
        config = bus.read_port_config()
        assert (config["bitrate"], config["data_bitrate"]) == (1000000, 5000000)
        assert (config["sample_point"], config["data_sample_point"]) == (75.0, 62.5)
        # Without data_bitrate the data phase runs at the arbitration rate.
        config = make_bus(channels[0], fd=True, bitrate=125000).read_port_config()
        assert config["data_bitrate"] == 125000

    def test_bit_timing(self, make_bus, channels):
        timing = can.BitTiming(f_clock=80000000, brp=10, tseg1=13, tseg2=2, sjw=1)
        config = make_bus(channels[0], timing=timing).read_port_config()
        assert (config["bitrate"], config["sample_point"]) == (500000, 87.5)

    def test_mode_words(self, make_bus, channels):
        config = make_bus(channels[0], fd=True, fd_non_iso=True, bus_mode=2).read_port_config()
        assert (config["bus_mode"], config["iso_mode"]) == (2, 0)

    def test_settings_as_text_like_a_config_file(self, channels):
        with can.Bus(interface="canfd", channel=channels[1], bitrate="250000", fd="True",
                     data_bitrate="1000000") as bus:
            config = bus.read_port_config()
            assert (config["bitrate"], config["data_bitrate"]) == (250000, 1000000)

    def test_can_protocol_for_python_can_4_3_and_later(self, make_bus, channels):
        classic = make_bus(channels[0])
        fd = make_bus(channels[1], fd=True, fd_non_iso=True)
        protocols = getattr(can, "CanProtocol", None)
        if protocols is None:
            assert not hasattr(classic, "_can_protocol")
            return
        assert classic.protocol == protocols.CAN_20
        assert fd.protocol == getattr(protocols, "CAN_FD_NON_ISO", protocols.CAN_FD)

    def test_detect_available_configs(self, board):
        assert can.detect_available_configs("canfd") == [
            {"interface": "canfd", "channel": f"{board}:1"},
            {"interface": "canfd", "channel": f"{board}:2"}]


@pytest.mark.parametrize("channel,port", [(1, 1), ("2", 2), ("{board}:2", 2),
                                          (" {lower}:1 ", 1)])
def test_channel_names(make_bus, board, channel, port):
    if isinstance(channel, str):
        channel = channel.format(board=board, lower=board.lower())
    bus = make_bus(channel)
    assert bus.channel == f"{board}:{port}"
    assert board in bus.channel_info


class TestOpenErrors:
    @pytest.mark.parametrize("channel", ["x", 3, 0, "1234ABCD:0", "1234ABCD:3", "1234ABCD",
                                         "ZZ:1", True, "100000000:1"])
    def test_bad_channel(self, channel):
        with pytest.raises(ValueError):
            can.Bus(interface="canfd", channel=channel)

    def test_unknown_board(self):
        with pytest.raises(can.CanInitializationError):
            can.Bus(interface="canfd", channel="DEADBEEF:1")
        assert canfd_can._port.devices == {}

    @pytest.mark.parametrize("kwargs", [
        dict(fd=True, bitrate=1000000, data_bitrate=500000),
        dict(bitrate=0),
        dict(sample_point=0),
        dict(sample_point=100.5),
        dict(fd=True, data_sample_point=-1),
    ])
    def test_bad_timing(self, channels, kwargs):
        with pytest.raises(ValueError):
            can.Bus(interface="canfd", channel=channels[0], **kwargs)
        assert canfd_can._port.devices == {}

    def test_second_bus_on_a_port_must_agree(self, make_bus, channels):
        first = make_bus(channels[0], bitrate=500000)
        with pytest.raises(can.CanInitializationError):
            make_bus(channels[0], bitrate=250000)
        assert first.read_port_config()["bitrate"] == 500000
        second = make_bus(channels[0], bitrate=500000)
        assert second._port is first._port


class TestSendErrors:
    @pytest.mark.parametrize("msg", [
        can.Message(arbitration_id=1, data=bytes(9)),
        can.Message(arbitration_id=0x800, is_extended_id=False),
        can.Message(arbitration_id=0x20000000),
        can.Message(arbitration_id=1, is_fd=True, is_remote_frame=True),
        can.Message(arbitration_id=1, is_fd=True, data=bytes(65)),
        can.Message(arbitration_id=1, is_remote_frame=True, dlc=9),
    ], ids=["classic-9-bytes", "std-id", "ext-id", "fd-remote", "fd-65-bytes", "remote-dlc9"])
    def test_invalid_frame(self, pair, msg):
        with pytest.raises(ValueError):
            pair[0].send(msg)

    def test_fd_frame_on_a_classic_bus(self, make_bus, channels):
        with pytest.raises(ValueError):
            make_bus(channels[0]).send(can.Message(arbitration_id=1, is_fd=True))

    def test_error_frame(self, pair):
        with pytest.raises(can.CanOperationError):
            pair[0].send(can.Message(is_error_frame=True))


class TestShutdown:
    def test_is_idempotent_and_ends_use(self, pair):
        pair[0].shutdown()
        pair[0].shutdown()
        with pytest.raises(can.CanOperationError):
            pair[0].send(can.Message())
        with pytest.raises(can.CanOperationError):
            pair[0].recv(0)

    def test_ports_share_the_device_until_the_last_closes(self, pair):
        one, two = pair
        assert one._port.dev is two._port.dev
        hidnum = one._port.dev.hidnum
        one.shutdown()
        assert device_open(hidnum)
        assert two.read_port_config()["enabled"]
        two.send(can.Message(arbitration_id=1))
        two.shutdown()
        assert not device_open(hidnum)
        assert canfd_can._port.devices == {}

    def test_released_port_is_disabled(self, pair):
        enable, mode, iso = _lib.WORD(), _lib.WORD(), _lib.WORD()
        pair[0].shutdown()
        assert _lib.lib().CANFD_GetCANOPMode(pair[1]._port.dev.hidnum, 1, ctypes.byref(enable),
                                             ctypes.byref(mode), ctypes.byref(iso)) == 0
        assert enable.value == 0

    def test_reopen_after_close(self, channels):
        for _ in range(3):
            with can.Bus(interface="canfd", channel=channels[0]) as a, \
                    can.Bus(interface="canfd", channel=channels[1]) as b:
                a.send(can.Message(arbitration_id=3))
                assert b.recv(0.5).arbitration_id == 3

    @pytest.mark.parametrize("last", [False, True], ids=["other-port-open", "last-port"])
    def test_ends_a_blocked_recv(self, pair, last):
        if last:
            pair[1].shutdown()
        errors = []

        def reader():
            try:
                pair[0].recv(None)
            except can.CanOperationError as exc:
                errors.append(exc)

        thread = threading.Thread(target=reader)
        thread.start()
        time.sleep(0.2)
        start = time.monotonic()
        pair[0].shutdown()
        thread.join(3)
        assert not thread.is_alive() and len(errors) == 1
        assert time.monotonic() - start < 0.5

    def test_no_thread_of_its_own(self, make_bus, channels):
        # Buses take their frames in recv(): opening and using them starts
        # no thread, and nothing is left behind.
        before = set(threading.enumerate())
        first, second = make_bus(channels[0]), make_bus(channels[0])
        other = make_bus(channels[1])
        other.send(can.Message(arbitration_id=7))
        assert first.recv(0.5).arbitration_id == 7 and second.recv(0.5).arbitration_id == 7
        assert set(threading.enumerate()) == before
        for bus in (first, second, other):
            bus.shutdown()
        assert canfd_can._port.devices == {}


class TestListener:
    """A bus opened without bit rate or timing only listens: it changes none
    of the port's settings, nor switches it on or off."""

    @pytest.mark.parametrize("enable", [1, 0], ids=["port-on", "port-off"])
    def test_changes_nothing_at_open_and_shutdown(self, make_bus, board, counting_library,
                                                  enable, caplog):
        before = set_port(board, 2, enable, 250000)
        counting = counting_library()
        bus = make_bus(f"{board}:2", bitrate=None, fd=True,
                       can_filters=[{"can_id": 0x100, "can_mask": 0x7FF}])
        assert bus.read_port_config()["bitrate"] == 250000
        bus.shutdown()
        changes = [name for name in counting.calls
                   if name.startswith("CANFD_Set") or name.startswith("CANFD_Clear")]
        assert changes == []
        assert read_port(board, 2) == before
        off_warnings = [r for r in caplog.records if "switched off" in r.getMessage()]
        assert len(off_warnings) == (0 if enable else 1)

    def test_receives_and_sends_on_a_port_set_up_by_a_bus_with_bit_rate(self, make_bus,
                                                                         channels):
        tx = make_bus(channels[0], bitrate=250000)
        setter = make_bus(channels[1], bitrate=250000)
        listener = make_bus(channels[1], bitrate=None)
        tx.send(can.Message(arbitration_id=0x11, data=[1]))
        assert listener.recv(0.5).arbitration_id == 0x11
        listener.send(can.Message(arbitration_id=0x12, data=[2]))
        assert tx.recv(0.5).arbitration_id == 0x12
        # The bus that set the port up goes: the port stays on for the listener.
        setter.shutdown()
        tx.send(can.Message(arbitration_id=0x13))
        assert listener.recv(0.5).arbitration_id == 0x13
        assert listener.read_port_config()["enabled"]

    def test_the_last_bus_switches_off_a_port_this_process_switched_on(self, make_bus, board):
        set_port(board, 1, 0, 125000)
        setter = make_bus(f"{board}:1", bitrate=500000)
        listener = make_bus(f"{board}:1", bitrate=None)
        setter.shutdown()
        assert listener.read_port_config()["enabled"]
        listener.shutdown()
        assert read_port(board, 1)["enabled"] == 0

    def test_a_port_on_before_stays_on(self, make_bus, board):
        set_port(board, 1, 1, 125000)
        make_bus(f"{board}:1", bitrate=None).shutdown()
        assert read_port(board, 1)["enabled"] == 1

    def test_filters_only_in_software(self, make_bus, channels):
        tx = make_bus(channels[0])
        setter = make_bus(channels[1])
        listener = make_bus(channels[1], bitrate=None)
        listener.set_filters([{"can_id": 0x123, "can_mask": 0x7FF}])
        assert setter._port.programmed == ([], [])
        tx.send(can.Message(arbitration_id=0x124, is_extended_id=False))
        tx.send(can.Message(arbitration_id=0x123, is_extended_id=False))
        assert listener.recv(0.5).arbitration_id == 0x123
        assert [setter.recv(0.5).arbitration_id for _ in range(2)] == [0x124, 0x123]

    @pytest.mark.parametrize("kwargs", [dict(data_bitrate=1000000), dict(sample_point=75),
                                        dict(data_sample_point=75), dict(bus_mode=0),
                                        dict(fd_non_iso=True)])
    def test_settings_without_bit_rate_are_refused(self, channels, kwargs):
        with pytest.raises(ValueError, match="without bitrate"):
            can.Bus(interface="canfd", channel=channels[0], **kwargs)
        assert canfd_can._port.devices == {}


class StandInBitTimingFd:
    """Shaped like python-can's BitTimingFd (4.3 and later), which 4.1 lacks."""

    def __init__(self, f_clock, nom_brp, nom_tseg1, nom_tseg2, nom_sjw, data_brp, data_tseg1,
                 data_tseg2, data_sjw):
        self.f_clock = f_clock
        self.nom_brp, self.nom_tseg1, self.nom_tseg2, self.nom_sjw = (nom_brp, nom_tseg1,
                                                                      nom_tseg2, nom_sjw)
        self.data_brp, self.data_tseg1, self.data_tseg2, self.data_sjw = (data_brp, data_tseg1,
                                                                          data_tseg2, data_sjw)

    @property
    def nom_bitrate(self):
        return round(self.f_clock / (self.nom_brp * (1 + self.nom_tseg1 + self.nom_tseg2)))

    @property
    def data_bitrate(self):
        return round(self.f_clock / (self.data_brp * (1 + self.data_tseg1 + self.data_tseg2)))


class TestBitTiming:
    @pytest.mark.parametrize("fields,bitrate,sample_point", [
        (dict(f_clock=80000000, brp=10, tseg1=13, tseg2=2, sjw=1), 500000, 87.5),
        (dict(f_clock=40000000, brp=2, tseg1=15, tseg2=4, sjw=4), 1000000, 80.0),
        (dict(f_clock=8000000, brp=1, tseg1=5, tseg2=2, sjw=1), 1000000, 75.0),
        # python-can 4.1 also takes a bit rate with the segments alone.
        (dict(bitrate=250000, tseg1=11, tseg2=4, sjw=1), 250000, 75.0),
        (dict(bitrate=500000, f_clock=80000000, tseg1=13, tseg2=2, sjw=1), 500000, 87.5),
    ], ids=["80MHz-500k", "40MHz-1M", "8MHz-1M", "bitrate-and-segments", "bitrate-and-clock"])
    def test_taken_exactly(self, make_bus, channels, fields, bitrate, sample_point):
        config = make_bus(channels[0], timing=can.BitTiming(**fields)).read_port_config()
        assert (config["bitrate"], config["sample_point"]) == (bitrate, sample_point)
        assert (config["data_bitrate"], config["data_sample_point"]) == (bitrate, sample_point)

    @pytest.mark.parametrize("fields,reason", [
        (dict(f_clock=80000000, brp=3, tseg1=13, tseg2=2, sjw=1), "whole bits per second"),
        (dict(f_clock=34000000, brp=4, tseg1=12, tseg2=4, sjw=1), "steps of 0.01 %"),
        (dict(f_clock=80000000, brp=10, tseg1=13, tseg2=2, sjw=1, nof_samples=3),
         "samples each bit once"),
        (dict(bitrate=500000, f_clock=80000000, brp=8, tseg1=13, tseg2=2, sjw=1),
         "does not match"),
        (dict(f_clock=80000000, brp=10, sjw=1), "tseg1 and tseg2"),
        (dict(btr0=0x00, btr1=0x14), "f_clock"),
    ], ids=["inexact-bitrate", "inexact-sample-point", "triple-sampling", "clock-disagrees",
            "no-segments", "registers-without-clock"])
    def test_refused_with_the_reason(self, channels, fields, reason):
        with pytest.raises(ValueError, match=reason):
            can.Bus(interface="canfd", channel=channels[0], timing=can.BitTiming(**fields))
        assert canfd_can._port.devices == {}

    def test_not_together_with_bit_rates(self, channels):
        timing = can.BitTiming(f_clock=80000000, brp=10, tseg1=13, tseg2=2, sjw=1)
        with pytest.raises(ValueError, match="leave out bitrate"):
            can.Bus(interface="canfd", channel=channels[0], timing=timing, bitrate=500000)

    def test_with_a_data_bit_rate(self, make_bus, channels):
        timing = can.BitTiming(f_clock=80000000, brp=10, tseg1=13, tseg2=2, sjw=1)
        config = make_bus(channels[0], timing=timing, fd=True, data_bitrate=4000000,
                          data_sample_point=70).read_port_config()
        assert (config["bitrate"], config["data_bitrate"]) == (500000, 4000000)
        assert (config["sample_point"], config["data_sample_point"]) == (87.5, 70.0)

    def test_bit_timing_fd_shaped_like_python_can_4_3(self, make_bus, channels):
        timing = StandInBitTimingFd(f_clock=80000000, nom_brp=2, nom_tseg1=63, nom_tseg2=16,
                                    nom_sjw=16, data_brp=1, data_tseg1=14, data_tseg2=5,
                                    data_sjw=5)
        bus = make_bus(channels[0], timing=timing)
        config = bus.read_port_config()
        assert (config["bitrate"], config["sample_point"]) == (500000, 80.0)
        assert (config["data_bitrate"], config["data_sample_point"]) == (4000000, 75.0)
        # It implies CAN FD.
        bus.send(can.Message(arbitration_id=1, is_fd=True, data=bytes(12)))

    @pytest.mark.parametrize("change,reason", [
        (dict(data_brp=3), "whole bits per second"),
        (dict(data_tseg1=24, data_tseg2=7), "steps of 0.01 %"),
        (dict(data_brp=40), "must not be below"),
    ], ids=["inexact-data-bitrate", "inexact-data-sample-point", "data-slower"])
    def test_bit_timing_fd_refused_with_the_reason(self, channels, change, reason):
        fields = dict(f_clock=80000000, nom_brp=2, nom_tseg1=63, nom_tseg2=16, nom_sjw=16,
                      data_brp=1, data_tseg1=14, data_tseg2=5, data_sjw=5)
        fields.update(change)
        with pytest.raises(ValueError, match=reason):
            can.Bus(interface="canfd", channel=channels[0], timing=StandInBitTimingFd(**fields))
        with pytest.raises(ValueError, match="fd must not be False"):
            can.Bus(interface="canfd", channel=channels[0], fd=False,
                    timing=StandInBitTimingFd(**dict(fields, data_brp=1, data_tseg1=14,
                                                     data_tseg2=5)))

    def test_sample_points_in_steps_of_0_01_percent(self, make_bus, channels):
        assert make_bus(channels[0], sample_point=87.25).read_port_config()[
            "sample_point"] == 87.25
        with pytest.raises(ValueError, match="steps of 0.01 %"):
            can.Bus(interface="canfd", channel=channels[1], bitrate=500000, sample_point=87.456)
        # can.Bus() itself makes an int of bitrate (python-can 4.1): the class directly.
        with pytest.raises(ValueError, match="whole bits per second"):
            canfd_can.bus.CanfdBus(channels[1], bitrate=500000.5)


class TestChannelChoice:
    def test_without_a_channel_the_error_names_the_choices(self, board):
        with pytest.raises(ValueError) as err:
            can.Bus(interface="canfd")
        assert "no channel given" in str(err.value)
        assert f"{board}:1, {board}:2" in str(err.value)

    def test_the_port_alone_names_the_only_adapter(self, make_bus, board):
        assert make_bus(2).channel == f"{board}:2"

    def test_from_python_can_configuration(self, board, tmp_path, monkeypatch):
        (tmp_path / ".canrc").write_text(
            f"[default]\ninterface = canfd\nchannel = {board}:2\nbitrate = 250000\n")
        monkeypatch.setenv("HOME", str(tmp_path))
        for name in ("CAN_INTERFACE", "CAN_CHANNEL", "CAN_BITRATE", "CAN_CONFIG"):
            monkeypatch.delenv(name, raising=False)
        with can.Bus() as bus:
            assert bus.channel == f"{board}:2"
            assert bus.read_port_config()["bitrate"] == 250000
        monkeypatch.setenv("CAN_CHANNEL", "1")
        with can.Bus() as bus:
            assert bus.channel == f"{board}:1"

    def test_python_can_logger_without_a_channel(self):
        run = subprocess.run([sys.executable, "-m", "can.logger", "-i", "canfd"],
                             capture_output=True, text=True, timeout=30)
        assert run.returncode != 0
        assert "no channel given" in run.stderr
        assert "TypeError" not in run.stderr

    def test_python_can_logger_listens(self, make_bus, channels, tmp_path):
        tx = make_bus(channels[0])
        make_bus(channels[1])  # sets the port up
        log = tmp_path / "log.asc"
        # -u: the logger's lines reach the pipe as printed.
        logger = subprocess.Popen([sys.executable, "-u", "-X", "faulthandler", "-m",
                                   "can.logger", "-i", "canfd", "-c", channels[1], "-f",
                                   str(log)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True)
        try:
            # The logger prints its bus once it is open.
            started = select.select([logger.stdout], [], [], 60)[0]
            if not started:
                logger.send_signal(signal.SIGABRT)  # faulthandler shows where it waits
                pytest.fail("the logger did not open its bus within 60 s: "
                            + logger.communicate()[1][-2000:])
            assert "Connected to" in logger.stdout.readline()
            tx.send(can.Message(arbitration_id=0x321, is_extended_id=False, data=[7]))
            time.sleep(0.3)
        finally:
            logger.send_signal(signal.SIGINT)
            try:
                logger.wait(10)
            except subprocess.TimeoutExpired:
                logger.kill()
                raise
        assert " 321 " in log.read_text()


class TestState:
    def test_an_idle_port_is_error_active(self, pair):
        assert pair[0].read_port_status() == {"bus_state": "error_active", "tx_errors": 0,
                                              "rx_errors": 0}
        assert pair[0].state == can.BusState.ACTIVE

    @pytest.mark.parametrize("code,state", [(0, can.BusState.ACTIVE), (1, can.BusState.ACTIVE),
                                            (2, can.BusState.PASSIVE), (3, can.BusState.ERROR)])
    def test_the_library_states_as_python_can_states(self, pair, counting_library, code,
                                                     state):
        counting_library(CANFD_GetCANBusState=fake_bus_state(code, 130, 7))
        assert pair[1].state == state
        assert pair[1].read_port_status()["tx_errors"] == 130

    def test_passive_is_not_available(self, pair):
        with pytest.raises(NotImplementedError, match="listen-only"):
            pair[0].state = can.BusState.PASSIVE
        with pytest.raises(ValueError):
            pair[0].state = can.BusState.ERROR

    def test_active_on_an_active_port_changes_nothing(self, pair, counting_library):
        counting = counting_library()
        pair[0].state = can.BusState.ACTIVE
        assert not [n for n in counting.calls if n.startswith("CANFD_Set")]

    def test_active_re_initialises_after_bus_off(self, pair, counting_library):
        counting = counting_library(CANFD_GetCANBusState=fake_bus_state(3, 255, 0))
        pair[0].state = can.BusState.ACTIVE
        assert counting.calls["CANFD_SetCANReInitialize"] == 1
        assert counting.args["CANFD_SetCANReInitialize"][0][1] == pair[0]._port.number

    def test_active_switches_on_a_port_switched_off(self, pair):
        h, n = pair[0]._port.dev.hidnum, pair[0]._port.number
        assert _lib.lib().CANFD_SetCANOPMode(h, n, 0, 0, 1) == 0
        pair[0].state = can.BusState.ACTIVE
        assert pair[0].read_port_config()["enabled"]

    def test_a_listener_does_not_change_the_port(self, make_bus, board, counting_library):
        set_port(board, 1, 0, 500000)
        listener = make_bus(f"{board}:1", bitrate=None)
        with pytest.raises(can.CanOperationError, match="only listens"):
            listener.state = can.BusState.ACTIVE
        assert not listener.read_port_config()["enabled"]


def fake_bus_state(code, tx_errors, rx_errors):
    """CANFD_GetCANBusState as the library answers for a port in that state."""

    def bus_state(hidnum, port, o_state, o_tx, o_rx):
        for out, value in ((o_state, code), (o_tx, tx_errors), (o_rx, rx_errors)):
            if out is not None:
                out._obj.value = value
        return 0

    return bus_state
