"""End-to-end tests of the canfd tool: the real program against the simulated
adapter, through canfd-sim. CANFD_BIN_DIR names the directory that holds
canfd and canfd-sim. With CANFD_SIM_UHID=1 the adapters are real hidraw
devices of the kernel (canfd-sim --uhid, as root with the uhid module)
instead of the hidraw sandbox."""

import json
import os
import re
import subprocess
import tempfile
import threading
import time
import unittest

BIN = os.environ.get("CANFD_BIN_DIR", "build/bin")
CANFD = os.path.join(BIN, "canfd")
SIM = os.path.join(BIN, "canfd-sim")
LOG2ASC = "/usr/bin/log2asc"
UHID = os.environ.get("CANFD_SIM_UHID") == "1"

P1 = "canfd-1234ABCD-1"
P2 = "canfd-1234ABCD-2"


def adapter_count(sim_args):
    """How many adapters canfd-sim makes for these arguments."""
    args = list(sim_args)
    if "--adapters" in args:
        return int(args[args.index("--adapters") + 1])
    if "--bid" in args:
        return len(args[args.index("--bid") + 1].split(","))
    return 1


class Sim:
    """canfd-sim serving in the background; run() starts canfd inside it.
    Settings persist between runs, as on a real adapter."""

    def __init__(self, *sim_args):
        self.env = dict(os.environ)
        self.procs = []
        if UHID:
            # The devices are everyone's: canfd needs no environment. canfd-sim
            # prints one line per adapter once its node exists.
            self.procs.append(subprocess.Popen([SIM, "--uhid", "--quiet", *sim_args],
                                               stdout=subprocess.PIPE, text=True))
            for _ in range(adapter_count(sim_args)):
                line = self.procs[0].stdout.readline()
                if not re.match(r"/dev/hidraw\d+ [0-9A-F]{8} [0-9A-F]{4}$", line.strip()):
                    self.close()
                    raise RuntimeError("canfd-sim --uhid printed %r" % line)
            return
        self.procs.append(subprocess.Popen([SIM, "--quiet", *sim_args], stdout=subprocess.PIPE,
                                           text=True))
        for _ in range(2):
            line = self.procs[0].stdout.readline()
            m = re.match(r"export (\w+)=(.*)$", line.strip())
            if not m:
                self.close()
                raise RuntimeError("canfd-sim printed %r" % line)
            self.env[m.group(1)] = m.group(2).strip("'")

    def run(self, *args, timeout=20):
        return subprocess.run([CANFD, *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout)

    def start(self, *args):
        return subprocess.Popen([CANFD, *args], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def close(self):
        for proc in self.procs:
            proc.terminate()
            proc.wait(timeout=10)
            proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def canfd(*args):
    return subprocess.run([CANFD, *args], capture_output=True, text=True, timeout=20)


def log2asc(log_text, *names):
    return subprocess.run([LOG2ASC, *names], input=log_text, capture_output=True, text=True,
                          timeout=20)


def asc_frames(asc_text):
    """The frame lines of an ASC file, without their time column."""
    return [line.split(None, 1)[1] for line in asc_text.splitlines()
            if re.match(r"\s+\d+\.\d+ ", line)]


def log_to_asc(log_text, *names):
    """log2asc's reading of a log, through a file as can-utils reads logs."""
    with tempfile.NamedTemporaryFile("w", suffix=".log") as f:
        f.write(log_text)
        f.flush()
        return subprocess.run([LOG2ASC, "-I", f.name, *names], capture_output=True, text=True,
                              timeout=20)


def stamps(lines, pattern):
    """Seconds of the time stamps that pattern's first two groups hold."""
    out = []
    for line in lines:
        m = re.match(pattern, line)
        if not m:
            raise AssertionError("%r does not match %r" % (line, pattern))
        out.append(int(m.group(1)) + int(m.group(2)) / 1e6)
    return out


class CansendSyntax(unittest.TestCase):
    """Frames parse as can-utils parses them (checked against can-utils'
    own parser in log2asc) and bad ones are refused with the reason."""

    FORMS = [
        "123#", "123#DEADBEEF", "123#de.ad.be.ef", "12345678#1122", "00000123#11",
        "1FFFFFFF#0102030405060708", "123#R", "123#R0", "123#R7", "7A1#r",
        "123#11.2233.44556677.88", "123#11.", "123##0112233", "123##1112233", "123##2112233",
        "123##3", "18DAF110##1" + "A5" * 64, "123##1" + "00112233" * 3, "123##5AA",
    ]

    def test_every_form_parses_as_can_utils(self):
        r = canfd("send", "--dry-run", "1", *self.FORMS)
        self.assertEqual(r.returncode, 0, r.stderr)
        parsed = r.stdout.splitlines()
        self.assertEqual(len(parsed), len(self.FORMS))
        for given, ours in zip(self.FORMS, parsed):
            theirs = log2asc("(1.000000) can0 %s\n" % given, "can0")
            mine = log2asc("(1.000000) can0 %s\n" % ours, "can0")
            self.assertEqual(theirs.returncode, 0, given)
            self.assertEqual(asc_frames(mine.stdout), asc_frames(theirs.stdout),
                             "%s parsed as %s" % (given, ours))
            self.assertEqual(len(asc_frames(theirs.stdout)), 1, given)

    def test_canonical_forms(self):
        r = canfd("send", "--dry-run", "2", "123#de.ad.be.ef", "7a1#r", "123#R7", "123##3",
                  "12345678##1" + "11" * 9)
        self.assertEqual(r.returncode, 0, r.stderr)
        # Nine CAN FD bytes have no DLC of their own: padded to 12.
        self.assertEqual(r.stdout.splitlines(), [
            "123#DEADBEEF", "7A1#R", "123#R7", "123##3", "12345678##1" + "11" * 9 + "00" * 3])

    def test_flags_are_kept_as_given(self):
        r = canfd("send", "--dry-run", "1", "123##0112233", "123##1112233", "123##2", "123##3AA")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(r.stdout.splitlines(),
                         ["123##0112233", "123##1112233", "123##2", "123##3AA"])

    def test_bad_frames_are_refused(self):
        cases = {
            "123": "3 (standard) or 8 (extended) hex digits",
            "12#11": "3 (standard) or 8 (extended) hex digits",
            "1234#11": "3 (standard) or 8 (extended) hex digits",
            "12G#11": "identifier digit 'G' is not hexadecimal",
            "800#11": "standard identifier 800 is above 7FF",
            "20000123#11": "error frame",
            "40000000#11": "above 1FFFFFFF",
            "123#1": "odd number of hex digits",
            "123#1G": "data digit 'G' is not hexadecimal",
            "123#11..22": "data digit '.' is not hexadecimal",
            "123#112233445566778899": "more than 8 data bytes",
            "123#1122334455667788_E": "DLC codes 9 to F",
            "123#R8_9": "DLC codes 9 to F",
            "123#R9": "remote frame length '9' is not 0 to 8",
            "123#R1x": "unexpected 'x'",
            "123##": "flags digit",
            "123##G11": "flags digit",
            "123##0" + "00" * 65: "more than 64 data bytes",
        }
        for frame, why in cases.items():
            with self.subTest(frame=frame):
                r = canfd("send", "--dry-run", "1", frame)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stdout, "")
                self.assertTrue(r.stderr.startswith("canfd: bad frame '%s': " % frame), r.stderr)
                self.assertIn(why, r.stderr)


class Dump(unittest.TestCase):
    def setUp(self):
        self.sim = Sim()

    def tearDown(self):
        self.sim.close()

    def test_frames_sent_on_port_1_appear_on_port_2_as_candump_shows_them(self):
        r = self.sim.run("dump", "2", "-n", "7", "--send", "123#DEADBEEF", "7FF#", "123#R4",
                         "12345678#1122", "123#0102", "123##1112233445566778899AABBCC",
                         "00000001##0")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), [
            "  %s  123   [4]  DE AD BE EF" % P2,
            "  %s  7FF   [0]  " % P2,
            "  %s  123   [4]  remote request" % P2,
            "  %s  12345678   [2]  11 22" % P2,
            # Once an extended frame was shown, standard ones line up with it.
            "  %s       123   [2]  01 02" % P2,
            "  %s       123  [12]  11 22 33 44 55 66 77 88 99 AA BB CC" % P2,
            "  %s  00000001  [00]  " % P2,
        ])

    def test_a_port_does_not_receive_what_it_sends(self):
        r = self.sim.run("dump", "1", "2", "--send-port", "1", "--send", "123#11", "124#22",
                         "-n", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([line.split()[0] for line in r.stdout.splitlines()], [P2, P2])

    def test_time_stamps(self):
        frames = ["100#01", "101#02", "102#03"]
        line = r"\(%s\)  %s  10[0-2]   \[1\]  0[1-3]$"
        absolute = r"^ " + line % (r"(\d{10})\.(\d{6})", P2)
        relative = r"^ " + line % (r"(\d{3})\.(\d{6})", P2)
        got = {}
        for mode in ["a", "d", "z"]:
            before = time.time()
            r = self.sim.run("dump", "2", "-t", mode, "-n", "3", "--send", *frames, "-g", "5")
            after = time.time()
            self.assertEqual(r.returncode, 0, r.stderr)
            got[mode] = stamps(r.stdout.splitlines(), absolute if mode == "a" else relative)
            self.assertEqual(len(got[mode]), 3)
        self.assertEqual(got["z"][0], 0)
        self.assertEqual(got["d"][0], 0)
        # Relative to the first frame, and to the frame before. (A busy host
        # can bunch the 5 ms gaps together: only their order is certain.)
        self.assertTrue(all(a < b for a, b in zip(got["z"], got["z"][1:])))
        self.assertTrue(all(d > 0 for d in got["d"][1:]))
        self.assertTrue(got["a"][0] < got["a"][1] < got["a"][2])

    def test_absolute_time_is_host_time_unless_the_adapters_is_asked_for(self):
        # Host time, as candump's: seconds since 1970, mapped by the library
        # from the adapter's clock. The last run's frames were received
        # between before and after.
        before = time.time()
        r = self.sim.run("dump", "2", "-t", "a", "-n", "2", "--send", "100#01", "101#02")
        after = time.time()
        self.assertEqual(r.returncode, 0, r.stderr)
        for t in stamps(r.stdout.splitlines(), r"^ \((\d{10})\.(\d{6})\)  %s  10" % P2):
            self.assertGreater(t, before - 1)
            self.assertLess(t, after + 1)
        before = time.time()
        r = self.sim.run("dump", "2", "-L", "-n", "1", "--send", "100#01")
        after = time.time()
        self.assertEqual(r.returncode, 0, r.stderr)
        (t,) = stamps(r.stdout.splitlines(), r"^\((\d{10})\.(\d{6})\) %s 100#01$" % P2)
        self.assertTrue(before - 1 < t < after + 1, (before, t, after))
        # -t A: the same moment as local date and time.
        r = self.sim.run("dump", "2", "-t", "A", "-n", "1", "--send", "100#01")
        self.assertEqual(r.returncode, 0, r.stderr)
        m = re.match(r"^ \((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{6})\)  %s  100   \[1\]  01$"
                     % P2, r.stdout)
        self.assertIsNotNone(m, r.stdout)
        t = time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S"))
        self.assertLess(abs(t - time.time()), 60)
        # -H: the adapter's own clock, which the simulated adapter takes from
        # the host's monotonic clock.
        for args in (["-t", "a"], ["-L"]):
            before = time.monotonic()
            r = self.sim.run("dump", "2", "-H", *args, "-n", "1", "--send", "100#01")
            after = time.monotonic()
            self.assertEqual(r.returncode, 0, r.stderr)
            (t,) = stamps(r.stdout.splitlines(), r"^ ?\((\d{10})\.(\d{6})\) ")
            self.assertTrue(before - 1 < t < after + 1, (before, t, after))

    def test_brs_and_esi_are_shown_and_logged_as_sent(self):
        frames = ["123##0AA", "123##1AA", "123##2AA", "123##3AA", "123#AA", "12345678##3"]
        r = self.sim.run("dump", "2", "-x", "-n", "6", "--send", *frames)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), [
            "  %s  RX - -  123  [01]  AA" % P2,
            "  %s  RX B -  123  [01]  AA" % P2,
            "  %s  RX - E  123  [01]  AA" % P2,
            "  %s  RX B E  123  [01]  AA" % P2,
            "  %s  RX - -  123   [1]  AA" % P2,
            "  %s  RX B E  12345678  [00]  " % P2,
        ])
        # Without -x, candump's plain layout.
        r = self.sim.run("dump", "2", "-n", "1", "--send", "123##3AA")
        self.assertEqual(r.stdout, "  %s  123  [01]  AA\n" % P2)
        # The log carries the flags as candump writes them, and log2asc reads
        # them as BRS and ESI; -x adds candump's direction mark.
        r = self.sim.run("dump", "2", "-L", "-n", "6", "--send", *frames)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([line.split(" ", 1)[1] for line in r.stdout.splitlines()],
                         ["%s %s" % (P2, f) for f in frames])
        asc = log_to_asc(r.stdout, P1, P2)
        self.assertEqual(asc.returncode, 0, asc.stderr)
        flags = [re.match(r"CANFD\s+2 Rx\s+\w+\s+(\d) (\d) ", f).groups()
                 for f in asc_frames(asc.stdout) if f.startswith("CANFD")]
        self.assertEqual(flags, [("0", "0"), ("1", "0"), ("0", "1"), ("1", "1"), ("1", "1")])
        r = self.sim.run("dump", "2", "-L", "-x", "-n", "1", "--send", "123##1AA")
        self.assertRegex(r.stdout, r"^\(\d{10}\.\d{6}\) %s 123##1AA R\n$" % P2)
        self.assertEqual(log_to_asc(r.stdout, P1, P2).returncode, 0)

    def test_many_frames_arrive_complete_and_in_order(self):
        # More than the adapter's transmit queue holds: sent in batches that
        # keep pace with the bus.
        frames = ["100#01", "101#0202", "18DAF110##1" + "5A" * 64, "123##3AA", "7FF#R", "000#",
                  "1FFFFFFF#0011223344556677"]
        rounds = 120
        r = self.sim.run("dump", "2", "-L", "-n", str(len(frames) * rounds), "--send", *frames,
                         "-c", str(rounds), timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        got = [line.split(" ", 1)[1] for line in r.stdout.splitlines()]
        self.assertEqual(got, ["%s %s" % (P2, f) for f in frames] * rounds)

    def test_log_is_accepted_by_log2asc(self):
        r = self.sim.run("dump", "2", "-L", "-n", "4", "--send", "123#DEADBEEF",
                         "12345678#R2", "18DAF110##1" + "55" * 16, "7FF#")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(len(lines), 4)
        for line, frame in zip(lines, ["123#DEADBEEF", "12345678#R2", "18DAF110##1" + "55" * 16,
                                       "7FF#"]):
            self.assertRegex(line, r"^\(\d{10}\.\d{6}\) %s %s$" % (P2, re.escape(frame)))
        asc = log_to_asc(r.stdout, P1, P2)
        self.assertEqual(asc.returncode, 0, asc.stderr)
        frames = asc_frames(asc.stdout)
        self.assertEqual(len(frames), 4)
        self.assertRegex(frames[0], r"^2\s+123\s+Rx\s+d 4 DE AD BE EF$")
        self.assertRegex(frames[1], r"^2\s+12345678x\s+Rx\s+r 2$")
        self.assertRegex(frames[2], r"^CANFD\s+2 Rx\s+18DAF110x\s+1 0 a 16 (55 ){16} ")

    def test_stops_after_a_time_without_frames(self):
        r = self.sim.run("dump", "--time", "300ms", timeout=5)
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        r = self.sim.run("dump", "-T", "200", timeout=5)
        self.assertEqual((r.returncode, r.stdout), (0, ""))

    def test_stats_count_frames_and_bus_time(self):
        # At 500 kbit/s and 2 Mbit/s: 123#DEADBEEF is 47 + 32 = 79 bits at the
        # bit rate; a 64-byte CAN FD frame 30 bits at the bit rate and
        # 30 + 512 = 542 in its data phase, at 2 Mbit/s with BRS and at
        # 500 kbit/s without.
        fd = "55" * 64
        r = self.sim.run("dump", "2", "--stats", "-n", "60", "--send", "123#DEADBEEF",
                         "123##1" + fd, "123##0" + fd, "-c", "20", "-g", "20")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(r.stdout.splitlines()), 60)
        per_second = re.findall(
            r"^%s: (\d+) frames/s \(adapter counts \d+\), bus load (\d+\.\d)%%$" % P2, r.stderr,
            re.M)
        self.assertGreaterEqual(len(per_second), 1, r.stderr)
        m = re.search(r"^%s: 60 frames in (\d+\.\d\d) s, (\d+) frames/s, bus load (\d+\.\d)%%$"
                      % P2, r.stderr, re.M)
        self.assertIsNotNone(m, r.stderr)
        secs = float(m.group(1))
        busy = 20 * (79 / 500e3 + (30 / 500e3 + 542 / 2e6) + 572 / 500e3)
        self.assertAlmostEqual(float(m.group(3)), 100 * busy / secs, delta=0.06)

    def test_acceptance_filter_applies(self):
        r = self.sim.run("config", "2", "--std-filter", "0x100-0x1FF", "--reject-remote", "std")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.sim.run("dump", "2", "-L", "--send", "0FF#01", "123#02", "123#R", "200#03",
                         "1FF#04")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([line.split()[2] for line in r.stdout.splitlines()],
                         ["123#02", "1FF#04"])

    def test_hardware_periodic_sending(self):
        r = self.sim.run("config", "1", "--hw-frame", "321#CAFE", "--hw-period", "20",
                         "--hw-send", "on")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.sim.run("dump", "2", "-n", "3", "--time", "5", "-t", "d")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        for line in lines:
            self.assertTrue(line.endswith("%s  321   [2]  CA FE" % P2), line)
        r = self.sim.run("config", "1", "--hw-send", "off")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.sim.run("dump", "2", "--time", "200ms")
        self.assertEqual(r.stdout, "")


class Listener:
    """canfd dump -L running beside other canfd processes, its lines
    collected as they come."""

    MARK = "7FF#"

    def __init__(self, sim, *args):
        self.sim = sim
        self.proc = sim.start("dump", "-L", *args)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n").split(" ", 1)[1])

    def frames(self):
        """What arrived, without the marks."""
        return [f for f in self.lines if not f.endswith(" " + self.MARK)]

    def ready(self, test):
        """Sends marks until the dump shows one: then it has the adapter open."""
        for _ in range(40):
            r = self.sim.run("send", "1", self.MARK)
            test.assertEqual(r.returncode, 0, r.stderr)
            if self.wait(lambda: len(self.lines) > 0, 0.5):
                return
            if self.proc.poll() is not None:
                test.fail("the dump ended: %s %s" % self.stop())
        test.fail("the dump never saw a frame")

    def wait(self, cond, timeout):
        end = time.monotonic() + timeout
        while not cond():
            if time.monotonic() > end or self.proc.poll() is not None:
                return cond()
            time.sleep(0.02)
        return True

    def stop(self):
        """Ends the dump (once); its exit status and standard error."""
        if not hasattr(self, "result"):
            if self.proc.poll() is None:
                self.proc.terminate()
            self.proc.wait(timeout=10)
            self.reader.join(timeout=10)
            self.result = self.proc.returncode, self.proc.stderr.read()
            self.proc.stdout.close()
            self.proc.stderr.close()
        return self.result


def summary(stderr, port=P1):
    """Frames, seconds, frames per second and bus load of gen's summary."""
    m = re.search(r"^%s: (\d+) frames sent in (\d+\.\d\d) s, (\d+) frames/s, bus load "
                  r"(\d+\.\d)%%$" % port, stderr, re.M)
    if not m:
        raise AssertionError("no summary in %r" % stderr)
    return int(m.group(1)), float(m.group(2)), int(m.group(3)), float(m.group(4))


def sent_frames(stdout):
    """The frames gen -v printed."""
    out = []
    for line in stdout.splitlines():
        m = re.match(r"^  %s  (\S+)$" % P1, line)
        if not m:
            raise AssertionError("unexpected line %r" % line)
        out.append(m.group(1))
    return out


def incrementing(count, fd=False, flags=0):
    """gen -I i -L i -D i: identifiers from 0, lengths through every DLC
    (9 classic ones, 16 CAN FD ones), the data a little-endian counter, at
    least one byte long."""
    lengths = [0, 1, 2, 3, 4, 5, 6, 7, 8] + ([12, 16, 20, 24, 32, 48, 64] if fd else [])
    out = []
    for k in range(count):
        n = max(lengths[k % len(lengths)], 1)
        data = (k.to_bytes(8, "little") + bytes(56))[:n].hex().upper()
        out.append("%03X#%s%s" % (k, "#%X" % flags if fd else "", data))
    return out


class Gen(unittest.TestCase):
    def setUp(self):
        self.sim = Sim()

    def tearDown(self):
        self.sim.close()

    def gen(self, *args, timeout=60):
        r = self.sim.run("gen", "1", *args, timeout=timeout)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def test_fixed_and_incrementing_modes(self):
        r = self.gen("-g", "0", "-n", "20", "-I", "i", "-L", "i", "-D", "i", "-v")
        self.assertEqual(sent_frames(r.stdout), incrementing(20))
        self.assertEqual(summary(r.stderr)[0], 20)
        r = self.gen("-g", "0", "-n", "17", "-b", "-I", "i", "-L", "i", "-D", "i", "-v")
        self.assertEqual(sent_frames(r.stdout), incrementing(17, fd=True, flags=1))
        # Fixed identifier, length and payload; x nibbles are random.
        r = self.gen("-g", "0", "-n", "40", "-e", "-I", "18DA00F1", "-L", "3", "-D", "11x733",
                     "-v")
        frames = sent_frames(r.stdout)
        self.assertEqual(len(frames), 40)
        for f in frames:
            self.assertRegex(f, r"^18DA00F1#11[0-9A-F]733$")
        self.assertGreater(len(set(frames)), 1)
        # A CAN FD length between two DLC lengths is padded with zeros.
        r = self.gen("-g", "0", "-n", "2", "-E", "-I", "7A", "-L", "10", "-D", "0102", "-v")
        self.assertEqual(sent_frames(r.stdout), ["07A##20102" + "00" * 10] * 2)
        r = self.gen("-g", "0", "-n", "3", "-R", "-I", "i", "-L", "5", "-v")
        self.assertEqual(sent_frames(r.stdout), ["000#R5", "001#R5", "002#R5"])

    def test_random_modes(self):
        r = self.gen("-g", "0", "-n", "300", "--seed", "7", "-v")
        frames = sent_frames(r.stdout)
        self.assertEqual(len(frames), 300)
        lengths = []
        for f in frames:
            m = re.match(r"^([0-7][0-9A-F]{2})#((?:[0-9A-F]{2}){0,8})$", f)
            self.assertIsNotNone(m, f)
            lengths.append(len(m.group(2)) // 2)
        self.assertGreater(len(set(frames)), 250)
        self.assertEqual(set(lengths), set(range(9)))
        # As cangen: random codes 9 to 15 mean 8 bytes, over half the frames.
        self.assertGreater(lengths.count(8), 120)
        # The same seed makes the same frames.
        self.assertEqual(sent_frames(self.gen("-g", "0", "-n", "300", "--seed", "7",
                                              "-v").stdout), frames)
        for mode, parity in (("e", 0), ("o", 1)):
            for f in sent_frames(self.gen("-g", "0", "-n", "50", "-e", "-I", mode, "-v").stdout):
                self.assertRegex(f, r"^[0-1][0-9A-F]{7}#")
                self.assertEqual(int(f[:8], 16) % 2, parity, f)
        # Mixed: standard and extended, classic and CAN FD with every flag,
        # remote frames; all of them as cansend writes them.
        frames = sent_frames(self.gen("-g", "0", "-n", "400", "-m", "-v").stdout)
        kinds = {(len(f.split("#")[0]), "##" in f, f[f.index("##") + 2] if "##" in f else "R"
                  if "#R" in f else "-") for f in frames}
        for kind in [(3, False, "-"), (8, False, "-"), (3, False, "R"), (8, False, "R"),
                     (3, True, "0"), (3, True, "1"), (3, True, "2"), (3, True, "3"),
                     (8, True, "3")]:
            self.assertIn(kind, kinds)
        asc = log2asc("".join("(1.000000) can0 %s\n" % f for f in frames), "can0")
        self.assertEqual((asc.returncode, len(asc_frames(asc.stdout))), (0, 400))

    def test_count_gap_and_rate(self):
        # 11 bursts, one every 20 ms: 0.22 s.
        start = time.monotonic()
        r = self.gen("-g", "20", "-n", "11")
        self.assertGreaterEqual(time.monotonic() - start, 0.2)
        frames, secs, rate, _ = summary(r.stderr)
        self.assertEqual(frames, 11)
        self.assertGreaterEqual(secs, 0.21)
        self.assertLessEqual(rate, 52)
        # Bursts of 5 at 500 frames/s: 20 bursts, one every 10 ms.
        r = self.gen("--rate", "500", "-c", "5", "-n", "100", "-v")
        self.assertEqual(len(sent_frames(r.stdout)), 100)
        frames, secs, rate, _ = summary(r.stderr)
        self.assertEqual(frames, 100)
        self.assertGreaterEqual(secs, 0.19)
        self.assertLessEqual(rate, 520)

    def test_as_fast_as_the_bus_allows(self):
        # 8-byte classic frames take 111 bits, 222 us at 500 kbit/s: the bus
        # carries at most 4504 a second, and gen keeps below that. (How close
        # it comes depends on the host; the default gap, 200 ms, would give
        # 0.1 %.)
        r = self.gen("-g", "0", "-n", "1500", "-I", "123", "-L", "8", "-D", "r")
        frames, secs, rate, load = summary(r.stderr)
        self.assertEqual(frames, 1500)
        self.assertGreaterEqual(secs, 1500 * 111 / 500e3)
        self.assertLessEqual(rate, 4504)
        self.assertLessEqual(load, 100.0)
        self.assertGreater(load, 10.0)

    def test_bad_modes(self):
        usage = {
            ("-I", "800"): "above 7FF and -e is not given",
            ("-I", "x"): "-I: 'x' is not r, i, e, o or an identifier",
            ("-e", "-I", "20000000"): "-I:",
            ("-L", "9"): "-L: '9' is not r, i or a length of 0 to 8 bytes (more with -f)",
            ("-f", "-L", "65"): "length of 0 to 64 bytes",
            ("-D", "123"): "-D: '123' is not r, i or a payload",
            ("-D", "1G"): "'G' is not a hex digit",
            ("-g", "1", "--rate", "5"): "excludes",
            ("--rate", "0"): "--rate",
            ("-c", "0"): "--burst",
        }
        for args, why in usage.items():
            with self.subTest(args=args):
                r = self.sim.run("gen", "1", *args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(why, r.stderr)

    def test_frames_arrive_complete_and_in_order_in_another_process(self):
        # The adapter's other port, dumped by a process of its own, receives
        # what gen and send (which closes right after) gave the library.
        listener = Listener(self.sim, "2")
        try:
            listener.ready(self)
            r = self.sim.run("gen", "1", "-g", "0", "-n", "700", "-I", "i", "-L", "i", "-D", "i")
            self.assertEqual(r.returncode, 0, r.stderr)
            many = ["%03X#%02X" % (k, k) for k in range(1, 60)]
            r = self.sim.run("send", "1", *many)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            expected = ["%s %s" % (P2, f) for f in incrementing(700) + many]
            listener.wait(lambda: len(listener.frames()) >= len(expected), 30)
        finally:
            code, err = listener.stop()
        self.assertEqual(code, 0, err)
        self.assertEqual(listener.frames(), expected)


class Sharing(unittest.TestCase):
    """Several programs on one adapter: a port that another program uses
    keeps its settings unless forced; a listener changes nothing."""

    def test_a_port_another_program_uses_is_left_alone_unless_forced(self):
        def settings():
            return [line for line in sim.run("info", "2").stdout.splitlines()
                    if "received" not in line and "status" not in line]

        with Sim() as sim:
            before = settings()
            listener = Listener(sim, "2")
            try:
                listener.ready(self)
                self.assertEqual(settings(), before)  # it changed nothing
                r = sim.run("config", "2", "--bitrate", "250k")
                self.assertEqual(r.returncode, 1)
                self.assertIn("canfd (process %d) uses port 2; --force changes its settings "
                              "anyway" % listener.proc.pid, r.stderr)
                self.assertNotIn("250 kbit/s", sim.run("info", "2").stdout)
                r = sim.run("reset")
                self.assertEqual(r.returncode, 1)
                self.assertIn("uses the adapter's ports; --force", r.stderr)
                # Port 1 is no other program's.
                self.assertEqual(sim.run("config", "1", "--bitrate", "250k").returncode, 0)
                r = sim.run("config", "2", "--bitrate", "250k", "--force")
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertIn("250 kbit/s", sim.run("info", "2").stdout)
            finally:
                listener.stop()
            # Gone, it holds nothing.
            self.assertEqual(sim.run("config", "2", "--bitrate", "500k").returncode, 0)


class Adapters(unittest.TestCase):
    def test_list(self):
        with Sim("--adapters", "2", "--bid", "1234ABCD,00C0FFEE") as sim:
            r = sim.run("list")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout.splitlines(), [
                "/dev/hidraw0  product 0E31  board 1234ABCD  ports %s %s" % (P1, P2),
                "/dev/hidraw1  product 0E31  board 00C0FFEE  ports canfd-00C0FFEE-1 "
                "canfd-00C0FFEE-2"])
            r = sim.run("list", "--json")
            self.assertEqual(json.loads(r.stdout)[1], {
                "node": "/dev/hidraw1", "hidraw": 1, "pid": "0E31", "bid": "00C0FFEE",
                "ports": ["canfd-00C0FFEE-1", "canfd-00C0FFEE-2"]})

    def test_choosing_an_adapter(self):
        with Sim("--adapters", "2", "--bid", "1234ABCD,00C0FFEE") as sim:
            r = sim.run("info", "1")
            self.assertEqual(r.returncode, 1)
            self.assertIn("2 adapters attached (1234ABCD on /dev/hidraw0, 00C0FFEE on "
                          "/dev/hidraw1): choose one with -d", r.stderr)
            for choice in ["c0ffee", "00C0FFEE", "0E31:00C0FFEE", "/dev/hidraw1", "hidraw1",
                         "canfd-00C0FFEE"]:
                r = sim.run("info", "-d", choice, "1")
                self.assertEqual(r.returncode, 0, choice + r.stderr)
                self.assertTrue(r.stdout.startswith(
                    "adapter /dev/hidraw1: product 0E31, board 00C0FFEE\n"), choice)
            for choice in ["0E32:00C0FFEE", "hidraw7", "12345678"]:
                r = sim.run("info", "-d", choice)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr, "canfd: find adapter %s: CANFD_ERR_DEVICE_NOT_FOUND "
                                 "(0x10003)\n" % choice)
            r = sim.run("info", "-d", "nonsense")
            self.assertEqual(r.returncode, 2)
            self.assertIn("names no adapter", r.stderr)

    def test_every_command_that_opens_an_adapter_takes_its_own_d(self):
        commands = [["info"], ["config", "1", "--bitrate", "250k"], ["send", "1", "123#11"],
                    ["dump", "-n", "1"], ["gen", "1", "-n", "1"], ["reset"]]
        with Sim("--adapters", "2", "--bid", "1234ABCD,00C0FFEE") as sim:
            for command in commands:
                with self.subTest(command=command[0]):
                    r = sim.run(*command)
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertIn("choose one with -d", r.stderr)
                    r = sim.run(command[0], "-d", "12345678", *command[1:])
                    self.assertEqual((r.returncode, r.stderr),
                                     (1, "canfd: find adapter 12345678: "
                                      "CANFD_ERR_DEVICE_NOT_FOUND (0x10003)\n"))
            # The adapter named is the one configured, and the only one.
            r = sim.run("config", "-d", "00C0FFEE", "1", "--bitrate", "250k")
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            self.assertIn("bit rate           250 kbit/s",
                          sim.run("info", "-d", "00C0FFEE", "1").stdout)
            self.assertNotIn("250 kbit/s", sim.run("info", "-d", "1234ABCD", "1").stdout)

    def test_config_shows_in_info_and_reset_restores_defaults(self):
        with Sim() as sim:
            defaults = sim.run("info").stdout
            r = sim.run("config", "1", "2", "--bitrate", "250k", "--sample-point", "87.5%",
                        "--data-bitrate", "1M", "--data-sample-point", "70%", "--enable",
                        "--bus-mode", "2", "--iso-mode", "1", "--reject-remote", "all",
                        "--std-filter", "0x100-0x1FF,0x300", "--std-filter", "7FF",
                        "--ext-filter", "18DA0000-18DAFFFF", "--hw-frame", "123#11",
                        "--hw-period", "1000", "--hw-send", "on", "--reinit", "--led-mode", "1",
                        "--led-state", "2", "--serial", "ABCD")
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            info = sim.run("info", "2").stdout
            for line in ["operating mode     enable 1, bus mode 2, ISO mode 1",
                         "bit rate           250 kbit/s, sample point 87.5%",
                         "data bit rate      1 Mbit/s, sample point 70%",
                         "global filter      rejects all remote frames",
                         "standard filters   3 of 128: 100-1FF 300 7FF",
                         "extended filters   1 of 64: 18DA0000-18DAFFFF",
                         "hardware send      on"]:
                self.assertIn("\n  %s\n" % line, info)
            # Settings not given stay as they were.
            r = sim.run("config", "2", "--data-bitrate", "4M", "--std-filter", "none")
            info = sim.run("info", "2").stdout
            self.assertIn("bit rate           250 kbit/s, sample point 87.5%", info)
            self.assertIn("data bit rate      4 Mbit/s, sample point 70%", info)
            self.assertIn("standard filters   none (all identifiers pass)", info)
            for reset in (["reset"], ["reset", "--watchdog"]):
                self.assertEqual(sim.run("config", "1", "2", "--bitrate", "125k").returncode, 0)
                self.assertEqual(sim.run(*reset).returncode, 0)
                self.assertEqual(sim.run("info").stdout, defaults)

    def test_bad_settings(self):
        with Sim() as sim:
            usage = {
                ("config", "1", "--bitrate", "500q"): "--bitrate: '500q' is not a bit rate",
                ("config", "1", "--bitrate", "0"): "is not a bit rate",
                ("config", "1", "--bitrate", "1.0005k"): "is not a bit rate",
                ("config", "1", "--sample-point", "100.5%"): "is not a sample point",
                ("config", "1", "--sample-point", "80.125"): "is not a sample point",
                ("config", "1", "--std-filter", "0x200-0x100"): "ends below its start",
                ("config", "1", "--std-filter", "800"): "up to 7FF",
                ("config", "1", "--ext-filter", "20000000"): "up to 1FFFFFFF",
                ("config", "--bitrate", "500k"): "name the port(s) to configure",
                ("config", "3", "--bitrate", "500k"): "port 3 does not exist",
                ("config", "1"): "nothing to configure",
                ("config", "1", "--hw-period", "10"): "requires --hw-frame",
                ("config", "1", "--enable", "--disable"): "excludes",
                ("config", "--serial", "xyz"): "--serial",
                ("dump", "1", "2", "--send", "123#11"): "needs --send-port",
                ("dump", "-t", "x"): "-t",
                ("dump", "--time", "soon"): "is not a duration",
                ("send", "1", "123#11", "-g", "-1"): "--gap",
                ("frobnicate",): "unknown command 'frobnicate'",
            }
            for args, why in usage.items():
                with self.subTest(args=args):
                    r = sim.run(*args)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    self.assertTrue(r.stderr.startswith("canfd: "), r.stderr)
                    self.assertIn(why, r.stderr)
            # The library refuses a data bit rate below the arbitration one.
            r = sim.run("config", "1", "--bitrate", "1M", "--data-bitrate", "500k")
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stderr, "canfd: set bit rates on port 1: CANFD_ERR_INVALID_PARAM "
                             "(0x10104)\n")

    def test_help_and_version(self):
        for sub in ["", "list", "info", "config", "send", "gen", "dump", "reset"]:
            r = canfd(*([sub] if sub else []), "--help")
            self.assertEqual(r.returncode, 0, sub)
            self.assertIn("Usage:", r.stdout)
        self.assertIn("bus load", canfd("dump", "--help").stdout)
        self.assertIn("random even or odd identifiers", canfd("gen", "--help").stdout)
        self.assertIn("canfd-<board id>-<port>", canfd("--help").stdout)
        self.assertRegex(canfd("--version").stdout, r"^canfd \d+\.\d+\.\d+\n$")

    def test_unknown_command_names_every_command_of_the_help(self):
        help_text = canfd("--help").stdout
        listed = re.search(r"\nSubcommands:\n((?:  \S.*\n)+)", help_text).group(1)
        names = [line.split()[0] for line in listed.splitlines()]
        self.assertEqual(sorted(names),
                         sorted(["list", "info", "config", "send", "gen", "dump", "reset"]))
        r = canfd("frobnicate")
        self.assertEqual((r.returncode, r.stderr),
                         (2, "canfd: unknown command 'frobnicate' (commands: %s)\n"
                          % ", ".join(names)))


if __name__ == "__main__":
    unittest.main()
