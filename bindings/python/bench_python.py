"""Figures of the python-can interface: the CPU a process spends per received
frame, against python-can's own floor per message.

    canfd-sim --adapters 2 -- python bench_python.py --tool build/bin/canfd [options]

It runs inside canfd-sim (a separate process, timing model on) with two
adapters; `canfd gen` processes (--tool) load the buses, so that their
sending is not counted. CPU is the whole process's (every thread: the
library's workers, python-can's Notifier threads), read with time.process_time;
each figure is the median of --rounds rounds.

  floor    python-can alone: building a can.Message with keywords, and
           dispatching one through BusABC.recv and a Notifier to a listener
           (a bus whose recv only pops prepared messages)
  library  the library alone through ctypes, for the same load: a thread per
           port calling CANFD_ReceiveCANFrames (waiting in the library), no
           Messages; what any binding costs at least
  full     two adapters, a bus on each of their four ports, one Notifier
           over the four, both ports of each adapter sending as fast as the
           bus takes frames: fraction of a core, microseconds per frame
  paced    one bus receiving what `canfd gen --rate R` sends on the other
           port: microseconds of process CPU per received frame

--package DIR imports canfd_can from DIR first (to compare another version).
"""

import argparse
import collections
import ctypes
import os
import subprocess
import sys
import threading
import time

SECONDS = 3.0
WARMUP_S = 1.0
FLOOR_MESSAGES = 200000


def cpu_seconds() -> float:
    """CPU time of the whole process (all threads), user and system, to the
    nanosecond (the clock ticks of /proc/self/stat are 10 ms: a round at 5000
    frames/s used only 25 to 30 of them)."""
    return time.process_time()


class Counter:
    """A listener that counts what it is given."""

    def __init__(self):
        self.count = 0

    def __call__(self, msg):
        self.count += 1


def floor(can) -> tuple:
    """(us to build a Message, us to dispatch one through a Notifier)."""
    data = bytes(range(8))
    n = FLOOR_MESSAGES
    start = time.thread_time()
    msgs = [can.Message(timestamp=1.5, arbitration_id=0x123, is_extended_id=False,
                        is_remote_frame=False, is_fd=False, bitrate_switch=False,
                        error_state_indicator=False, dlc=8, data=data, channel="1234ABCD:1",
                        is_rx=True) for _ in range(n)]
    build_us = (time.thread_time() - start) / n * 1e6

    class PreparedBus(can.BusABC):
        def __init__(self, prepared):
            self._prepared = collections.deque(prepared)
            self.done = threading.Event()
            super().__init__(channel="prepared")

        def _recv_internal(self, timeout):
            try:
                return self._prepared.popleft(), True
            except IndexError:
                self.done.set()
                time.sleep(timeout or 0)
                return None, True

        def send(self, msg, timeout=None):
            raise NotImplementedError

    bus = PreparedBus(msgs)
    counter = Counter()
    cpu = cpu_seconds()
    notifier = can.Notifier(bus, [counter], timeout=0.01)
    bus.done.wait()
    cpu = cpu_seconds() - cpu
    notifier.stop()
    bus.shutdown()
    assert counter.count == n, counter.count
    return build_us, cpu / n * 1e6


def gen(tool: str, board: str, port: int, *args: str) -> subprocess.Popen:
    return subprocess.Popen([tool, "gen", "-d", board, str(port), "-L", "8", *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def stop(procs) -> None:
    """Ends the load; a generator that failed before is told of."""
    for proc in procs:
        if proc.poll() is not None:
            print(f"bench_python: {' '.join(proc.args)} ended early ({proc.returncode}): "
                  f"{proc.stderr.read().strip()}", file=sys.stderr)
        else:
            proc.terminate()
    for proc in procs:
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def drops(buses) -> str:
    """What the interface tells of frames it lost, where it counts them."""
    lost = 0
    for bus in buses:
        port = getattr(bus, "_port", None)
        for log in (getattr(port, "drops", None), getattr(bus, "_drops", None),
                    getattr(getattr(port, "reader", None), "drops", None)):
            lost += getattr(log, "total", 0)
    return f"{lost} frames dropped"


ROUNDS = 3


def measure(count_of, seconds: float) -> tuple:
    """(frames, CPU seconds, wall seconds) of the round with the median CPU
    per frame, of ROUNDS rounds of seconds each, after a warm-up. A machine
    that other work keeps busy makes CPU per frame vary between rounds."""
    time.sleep(WARMUP_S)
    rounds = []
    for _ in range(ROUNDS):
        frames, cpu, wall = count_of(), cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        rounds.append((count_of() - frames, cpu_seconds() - cpu, time.monotonic() - wall))
    rounds.sort(key=lambda r: r[1] / max(1, r[0]))
    return rounds[len(rounds) // 2]


def full_load(can, tool: str, boards: list, bitrate: int, seconds: float) -> None:
    buses = [can.Bus(interface="canfd", channel=f"{b}:{p}", bitrate=bitrate)
             for b in boards for p in (1, 2)]
    counter = Counter()
    notifier = can.Notifier(buses, [counter], timeout=1.0)
    gens = [gen(tool, b, p, "-g", "0") for b in boards for p in (1, 2)]
    try:
        frames, cpu, wall = measure(lambda: counter.count, seconds)
    finally:
        stop(gens)
        notifier.stop()
    lost = drops(buses)
    for bus in buses:
        bus.shutdown()
    print(f"full     {len(boards)} adapters x 2 ports at {bitrate} bit/s: {frames / wall:8.0f} "
          f"frames/s received, {cpu / wall:.3f} of a core, {cpu / frames * 1e6:5.1f} us/frame "
          f"({lost})")


def paced(can, tool: str, board: str, bitrate: int, rate: float, seconds: float) -> None:
    tx = can.Bus(interface="canfd", channel=f"{board}:1", bitrate=bitrate)
    rx = can.Bus(interface="canfd", channel=f"{board}:2", bitrate=bitrate)
    counter = Counter()
    notifier = can.Notifier(rx, [counter], timeout=1.0)
    sender = gen(tool, board, 1, "--rate", str(rate))
    try:
        frames, cpu, wall = measure(lambda: counter.count, seconds)
    finally:
        stop([sender])
        notifier.stop()
    lost = drops([rx])
    tx.shutdown()
    rx.shutdown()
    print(f"paced    python-can Notifier at {rate:.0f} frames/s: {frames / wall:8.0f} frames/s "
          f"received, {cpu / frames * 1e6:5.1f} us of process CPU per frame "
          f"({cpu / wall:.3f} of a core; {lost})")


class LibraryLoops:
    """The adapters opened and set up with the library's calls, no python-can,
    and a thread per port given that takes its frames with
    CANFD_ReceiveCANFrames (waiting in the library) and counts them."""

    def __init__(self, boards: list, bitrate: int, ports: tuple):
        from canfd_can import _lib

        self.lib, self.total, self.running = _lib.lib(), [0], True
        found = dict((b, p) for p, b in _lib.scan())
        self.handles = []
        for board in boards:
            handle = _lib.WORD()
            bid = int(board, 16)
            assert self.lib.CANFD_OpenDevice(ctypes.byref(handle), found[bid], bid) == 0
            self.handles.append(handle.value)
            for port in (1, 2):
                assert self.lib.CANFD_SetCANADBaudRate(handle.value, port, bitrate, bitrate, 8000,
                                                       8000) == 0
                assert self.lib.CANFD_SetCANOPMode(handle.value, port, 1, 0, 1) == 0
        self.threads = [threading.Thread(target=self._loop, args=(h, p, _lib))
                        for h in self.handles for p in ports]
        for thread in self.threads:
            thread.start()

    def _loop(self, hidnum: int, port: int, _lib) -> None:
        frames = (_lib.Frame * 256)()
        got = _lib.DWORD()
        while self.running:
            if self.lib.CANFD_ReceiveCANFrames(hidnum, port, frames, 256, 100,
                                               ctypes.byref(got)) == 0:
                self.total[0] += got.value

    def close(self) -> None:
        self.running = False
        for thread in self.threads:
            thread.join()
        for hidnum in self.handles:
            for port in (1, 2):
                self.lib.CANFD_SetCANOPMode(hidnum, port, 0, 0, 1)
            self.lib.CANFD_CloseDevice(hidnum)


def library_full(tool: str, boards: list, bitrate: int, seconds: float) -> None:
    loops = LibraryLoops(boards, bitrate, (1, 2))
    gens = [gen(tool, b, p, "-g", "0") for b in boards for p in (1, 2)]
    try:
        count, cpu, wall = measure(lambda: loops.total[0], seconds)
    finally:
        stop(gens)
        loops.close()
    print(f"library  {len(boards)} adapters x 2 ports at {bitrate} bit/s, ctypes loops: "
          f"{count / wall:8.0f} frames/s received, {cpu / wall:.3f} of a core, "
          f"{cpu / count * 1e6:5.1f} us/frame")


def library_paced(tool: str, board: str, bitrate: int, rate: float, seconds: float) -> None:
    loops = LibraryLoops([board], bitrate, (2,))
    sender = gen(tool, board, 1, "--rate", str(rate))
    try:
        count, cpu, wall = measure(lambda: loops.total[0], seconds)
    finally:
        stop([sender])
        loops.close()
    print(f"library  ctypes loop at {rate:.0f} frames/s: {count / wall:8.0f} frames/s received, "
          f"{cpu / count * 1e6:5.1f} us of process CPU per frame")


def main() -> int:
    global ROUNDS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", default=os.environ.get("CANFD_TOOL", "canfd"),
                        help="the canfd tool, for the load (default: canfd on PATH)")
    parser.add_argument("--seconds", type=float, default=SECONDS, help="per round")
    parser.add_argument("--rounds", type=int, default=ROUNDS,
                        help="rounds per measurement, the median shown (default 3)")
    parser.add_argument("--bitrate", type=int, action="append",
                        help="bit rate of the full-load runs (repeatable; default 500000 "
                             "and 1000000)")
    parser.add_argument("--rate", type=float, default=5000, help="frames/s of the paced run")
    parser.add_argument("--package", help="import canfd_can from this directory first")
    parser.add_argument("--only", choices=["floor", "full", "paced"], action="append")
    args = parser.parse_args()
    ROUNDS = max(1, args.rounds)
    if args.package:
        sys.path.insert(0, os.path.abspath(args.package))
    import warnings

    warnings.simplefilter("ignore", DeprecationWarning)
    import can
    import canfd_can

    print(f"python-can {can.__version__}, canfd_can from {os.path.dirname(canfd_can.__file__)}")
    only = set(args.only or ["floor", "full", "paced"])
    if "floor" in only:
        build_us, dispatch_us = floor(can)
        print(f"floor    Message with keywords {build_us:.2f} us + Notifier dispatch "
              f"{dispatch_us:.2f} us = {build_us + dispatch_us:.2f} us per message")
    if only & {"full", "paced"}:
        boards = sorted({c["channel"].split(":")[0] for c in
                         can.detect_available_configs("canfd")})
        if not boards:
            print("bench_python: no adapter found (run it inside canfd-sim --adapters 2)",
                  file=sys.stderr)
            return 1
        if "full" in only:
            for bitrate in args.bitrate or [500000, 1000000]:
                library_full(args.tool, boards[:2], bitrate, args.seconds)
                full_load(can, args.tool, boards[:2], bitrate, args.seconds)
        if "paced" in only:
            library_paced(args.tool, boards[0], 1000000, args.rate, args.seconds)
            paced(can, args.tool, boards[0], 1000000, args.rate, args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
