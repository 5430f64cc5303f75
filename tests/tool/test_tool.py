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
import unittest

BIN = os.environ.get("CANFD_BIN_DIR", "build/bin")
CANFD = os.path.join(BIN, "canfd")
SIM = os.path.join(BIN, "canfd-sim")
LOG2ASC = "/usr/bin/log2asc"
UHID = os.environ.get("CANFD_SIM_UHID") == "1"

P1 = "canfd-1234ABCD-1"
P2 = "canfd-1234ABCD-2"


def one_sim_per_adapter(sim_args):
    """canfd-sim arguments split into one set per adapter: the same options,
    each with its own board id (as canfd-sim picks them: counting up from the
    last one given)."""
    args = list(sim_args)
    count, bids = 1, []
    if "--bid" in args:
        i = args.index("--bid")
        bids = [int(b, 16) for b in args[i + 1].split(",")]
        count = len(bids)
        del args[i:i + 2]
    if "--adapters" in args:
        i = args.index("--adapters")
        count = int(args[i + 1])
        del args[i:i + 2]
    bids = bids or [0x1234ABCD]
    while len(bids) < count:
        bids.append(bids[-1] + 1)
    return [args + ["--bid", "%08X" % bid] for bid in bids[:count]]


class Sim:
    """canfd-sim serving in the background; run() starts canfd inside it.
    Settings persist between runs, as on a real adapter."""

    def __init__(self, *sim_args):
        self.env = dict(os.environ)
        self.procs = []
        if UHID:
            # The devices are everyone's: canfd needs no environment. One
            # canfd-sim per adapter, each started once the node of the one
            # before exists, so that the kernel numbers the nodes in order
            # (devices created together get their numbers in any order).
            for args in one_sim_per_adapter(sim_args):
                self.procs.append(subprocess.Popen([SIM, "--uhid", "--quiet", *args],
                                                   stdout=subprocess.PIPE, text=True))
                line = self.procs[-1].stdout.readline()
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

    def test_flags_the_library_decides_are_noted(self):
        r = canfd("send", "--dry-run", "1", "123##0112233")
        self.assertEqual(r.returncode, 0)
        self.assertIn("goes out with BRS", r.stderr)
        r = canfd("send", "--dry-run", "1", "123##1112233")
        self.assertEqual(r.stderr, "")

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
        pattern = {"a": r"^ \((\d{10})\.(\d{6})\)  %s  10[0-2]   \[1\]  0[1-3]$",
                   "d": r"^ \((\d{3})\.(\d{6})\)  %s  10[0-2]   \[1\]  0[1-3]$",
                   "z": r"^ \((\d{3})\.(\d{6})\)  %s  10[0-2]   \[1\]  0[1-3]$"}
        stamps = {}
        for mode, pat in pattern.items():
            r = self.sim.run("dump", "2", "-t", mode, "-n", "3", "--send", *frames, "-g", "5")
            self.assertEqual(r.returncode, 0, r.stderr)
            lines = r.stdout.splitlines()
            self.assertEqual(len(lines), 3)
            got = []
            for line in lines:
                m = re.match(pat % P2, line)
                self.assertIsNotNone(m, line)
                got.append(int(m.group(1)) * 1000000 + int(m.group(2)))
            stamps[mode] = got
        self.assertEqual(stamps["z"][0], 0)
        self.assertEqual(stamps["d"][0], 0)
        # Relative to the first frame, and to the frame before. (The stamps are
        # the adapter's, taken as reports reach it: a busy host can bunch the
        # 5 ms gaps together, so only their order is certain.)
        self.assertTrue(all(a < b for a, b in zip(stamps["z"], stamps["z"][1:])))
        self.assertTrue(all(d > 0 for d in stamps["d"][1:]))
        self.assertTrue(stamps["a"][0] < stamps["a"][1] < stamps["a"][2])

    def test_log_is_accepted_by_log2asc(self):
        r = self.sim.run("dump", "2", "-L", "-n", "4", "--send", "123#DEADBEEF",
                         "12345678#R2", "18DAF110##1" + "55" * 16, "7FF#")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(len(lines), 4)
        for line, frame in zip(lines, ["123#DEADBEEF", "12345678#R2", "18DAF110##0" + "55" * 16,
                                       "7FF#"]):
            self.assertRegex(line, r"^\(\d{10}\.\d{6}\) %s %s$" % (P2, re.escape(frame)))
        with tempfile.NamedTemporaryFile("w", suffix=".log") as f:
            f.write(r.stdout)
            f.flush()
            asc = subprocess.run([LOG2ASC, "-I", f.name, P1, P2], capture_output=True, text=True,
                                 timeout=20)
        self.assertEqual(asc.returncode, 0, asc.stderr)
        frames = asc_frames(asc.stdout)
        self.assertEqual(len(frames), 4)
        self.assertRegex(frames[0], r"^2\s+123\s+Rx\s+d 4 DE AD BE EF$")
        self.assertRegex(frames[1], r"^2\s+12345678x\s+Rx\s+r 2$")
        self.assertRegex(frames[2], r"^CANFD\s+2 Rx\s+18DAF110x\s+0 0 a 16 (55 ){16} ")

    def test_stops_after_a_time_without_frames(self):
        r = self.sim.run("dump", "--time", "300ms", timeout=5)
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        r = self.sim.run("dump", "-T", "200", timeout=5)
        self.assertEqual((r.returncode, r.stdout), (0, ""))

    def test_stats_count_frames_and_bus_time(self):
        # 123#DEADBEEF is 47 + 32 = 79 bits, 158 us at 500 kbit/s.
        r = self.sim.run("dump", "2", "--stats", "-n", "60", "--send", "123#DEADBEEF", "-c",
                         "60", "-g", "20")
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
        self.assertAlmostEqual(float(m.group(3)), 100 * 60 * 79 / 500000 / secs, delta=0.06)

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
        for sub in ["", "list", "info", "config", "send", "dump", "reset"]:
            r = canfd(*([sub] if sub else []), "--help")
            self.assertEqual(r.returncode, 0, sub)
            self.assertIn("Usage:", r.stdout)
        self.assertIn("bus load", canfd("dump", "--help").stdout)
        self.assertIn("canfd-<board id>-<port>", canfd("--help").stdout)
        self.assertRegex(canfd("--version").stdout, r"^canfd \d+\.\d+\.\d+\n$")


if __name__ == "__main__":
    unittest.main()
