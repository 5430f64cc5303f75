"""Several programs on one adapter: buses in other processes.

A bus with a bit rate is refused, naming the other process, while another
process uses the port, unless it asks to override; a listening bus is never
refused and changes nothing; a killed process's claim goes with it; the last
process switches a port off only if it switched it on.
"""

import json
import os
import select
import signal
import subprocess
import sys

import can
import pytest

from conftest import read_port, set_port

# A bus in another process: opened with the JSON keyword arguments, "ready"
# once open, shut down when its standard input ends.
CHILD = r"""
import json, sys
import can
bus = can.Bus(interface="canfd", channel=sys.argv[1], **json.loads(sys.argv[2]))
print("ready", flush=True)
sys.stdin.read()
bus.shutdown()
"""


class Program:
    def __init__(self, channel, **kwargs):
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD, channel, json.dumps(kwargs)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if not select.select([self.proc.stdout], [], [], 60)[0]:
            self.proc.kill()
            pytest.fail("the other program did not open its bus within 60 s")
        line = self.proc.stdout.readline().strip()
        assert line == "ready", f"the other program did not open its bus: {line!r}"

    def end(self):
        self.proc.stdin.close()
        assert self.proc.wait(10) == 0

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(10)


@pytest.fixture
def programs():
    started = []

    def start(channel, **kwargs):
        started.append(Program(channel, **kwargs))
        return started[-1]

    yield start
    for p in started:
        if p.proc.poll() is None:
            p.kill()


def test_a_port_in_use_is_refused_naming_the_process_unless_overridden(make_bus, programs,
                                                                       board):
    other = programs(f"{board}:2", bitrate=500000)
    with pytest.raises(can.CanInitializationError) as refused:
        make_bus(f"{board}:2", bitrate=250000)
    assert f"(process {other.proc.pid})" in str(refused.value)
    assert "override=True" in str(refused.value)
    assert read_port(board, 2)["bitrate"] == 500000
    # A listener opens beside it and changes nothing.
    make_bus(f"{board}:2", bitrate=None).shutdown()
    assert read_port(board, 2)["bitrate"] == 500000
    # The other port is free.
    make_bus(f"{board}:1", bitrate=250000)
    forced = make_bus(f"{board}:2", bitrate=250000, override=True)
    assert forced.read_port_config()["bitrate"] == 250000
    other.end()


def test_a_killed_programs_claim_goes_with_it(make_bus, programs, board):
    other = programs(f"{board}:1", bitrate=500000)
    with pytest.raises(can.CanInitializationError):
        make_bus(f"{board}:1", bitrate=250000)
    other.kill()
    assert make_bus(f"{board}:1", bitrate=250000).read_port_config()["bitrate"] == 250000


def test_only_the_last_program_that_switched_a_port_on_switches_it_off(programs, board):
    set_port(board, 1, 0, 125000)
    setter = programs(f"{board}:1", bitrate=500000)
    listeners = [programs(f"{board}:1"), programs(f"{board}:1")]
    assert read_port(board, 1)["enabled"] == 1
    # Listeners neither switch the port on nor off; the setter leaves it on
    # while they use it.
    setter.end()
    assert read_port(board, 1)["enabled"] == 1
    for listener in listeners:
        listener.end()
    assert read_port(board, 1)["enabled"] == 1
    # Alone, the program that switched it on switches it off at its end.
    programs(f"{board}:1", bitrate=500000).end()
    assert read_port(board, 1)["enabled"] == 0


@pytest.fixture(autouse=True)
def lock_directory():
    if not os.access("/run/lock", os.W_OK):
        pytest.skip("/run/lock cannot be written: programs are not told of each other")
