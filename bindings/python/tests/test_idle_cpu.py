"""An idle blocking receive waits in the library without using the CPU."""

import threading
import time

import can

from conftest import DATA_BITRATE


def test_idle_recv_uses_no_cpu_and_wakes_at_once(make_bus, channels):
    # Without error frames: the bus-state reads that make them (five a second,
    # each a command round trip) are the only work of an idle bus otherwise.
    pair = [make_bus(c, fd=True, data_bitrate=DATA_BITRATE, ignore_rx_error_frames=True)
            for c in channels]
    got = []
    reader = threading.Thread(target=lambda: got.append((pair[1].recv(None), time.monotonic())))
    reader.start()
    time.sleep(0.2)
    cpu_before, wall_before = time.process_time(), time.monotonic()
    time.sleep(2.5)
    cpu = time.process_time() - cpu_before
    wall = time.monotonic() - wall_before
    assert reader.is_alive() and not got
    # Every thread of the process counts: the reader and the library's workers.
    assert cpu / wall < 0.01, f"{cpu:.3f} s CPU in {wall:.2f} s idle"

    sent_at = time.monotonic()
    pair[0].send(can.Message(arbitration_id=0x1))
    reader.join(1)
    msg, woke_at = got[0]
    assert msg.arbitration_id == 0x1
    assert woke_at - sent_at < 0.05
