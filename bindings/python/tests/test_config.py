"""Opening, configuration read back from the adapter, errors and shutdown."""

import ctypes
import threading
import time

import can
import pytest

import canfd_can.bus
from canfd_can import _lib
from conftest import device_open


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
        assert canfd_can.bus._devices == {}

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
        assert canfd_can.bus._devices == {}

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
        assert canfd_can.bus._devices == {}

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

    def test_joins_the_port_reader_when_the_last_bus_on_it_goes(self, make_bus, channels):
        first, second = make_bus(channels[0]), make_bus(channels[0])
        other = make_bus(channels[1])
        reader = first._port.reader.thread
        assert second._port.reader.thread is reader and reader.is_alive()
        first.shutdown()
        assert reader.is_alive()
        other.send(can.Message(arbitration_id=7))
        assert second.recv(0.5).arbitration_id == 7
        start = time.monotonic()
        second.shutdown()
        assert not reader.is_alive()
        assert time.monotonic() - start < 0.5
        other.shutdown()
        assert not [t for t in threading.enumerate() if t.name.startswith("canfd reader")]



class TestState:
    def test_an_idle_port_is_error_active(self, pair):
        assert pair[0].read_port_status() == {"bus_state": "error_active", "tx_errors": 0,
                                              "rx_errors": 0}
        assert pair[0].state == can.BusState.ACTIVE

    @pytest.mark.parametrize("code,state", [(0, can.BusState.ACTIVE), (1, can.BusState.ACTIVE),
                                            (2, can.BusState.PASSIVE), (3, can.BusState.ERROR)])
    def test_the_library_states_as_python_can_states(self, pair, counting_library, code,
                                                     state):
        def bus_state(hidnum, port, o_state, o_tx, o_rx):
            o_state._obj.value, o_tx._obj.value, o_rx._obj.value = code, 130, 7
            return 0

        counting_library(CANFD_GetCANBusState=bus_state)
        assert pair[1].state == state
        assert pair[1].read_port_status()["tx_errors"] == 130

    def test_cannot_be_set(self, pair):
        with pytest.raises(NotImplementedError):
            pair[0].state = can.BusState.PASSIVE
