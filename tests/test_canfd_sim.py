"""End-to-end tests of the canfd-sim program: its command line, several
processes on one simulated adapter, the timing model it switches on and its
stalls. CANFD_BIN_DIR names the directory that holds canfd and canfd-sim.
The uhid and USB transports need a kernel with their modules: the VM stage
(scripts/vm-test.sh) runs them; here only their failures are checked."""

import glob
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "tool"))
from test_tool import Sim  # noqa: E402  canfd-sim serving a sandbox, canfd run inside

BIN = os.environ.get("CANFD_BIN_DIR", "build/bin")
CANFD = os.path.join(BIN, "canfd")
SIM = os.path.join(BIN, "canfd-sim")

# The command line other scripts rely on.
OPTIONS = ["--adapters", "--bid", "--pid", "--no-timing", "--usb-speed", "--clock-ppm", "--dir",
           "--uhid", "--usb", "--unplug-after", "--replug-after", "--stall", "--stall-after", "--stall-for",
           "--quiet", "-q", "--help", "-h"]


def sim(*args, timeout=30):
    return subprocess.run([SIM, *args], capture_output=True, text=True, timeout=timeout)


class CommandLine(unittest.TestCase):
    def test_help_documents_every_option_and_only_those(self):
        r = sim("--help")
        self.assertEqual(r.returncode, 0)
        documented = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", r.stdout))
        for opt in OPTIONS:
            self.assertIn(opt, documented)
        self.assertEqual(documented - set(OPTIONS), set())

    def test_usage_errors(self):
        for args, says in [(["--unplug-after", "10"], "need --uhid or --usb"),
                           (["--uhid", "--dir", "/tmp/x"], "not with --uhid or --usb"),
                           (["--usb", "--dir", "/tmp/x"], "not with --uhid or --usb"),
                           (["--uhid", "--usb"], "exclude each other"),
                           (["--stall", "send"], "--stall send needs --usb"),
                           (["--uhid", "--stall", "take,send"], "--stall send needs --usb"),
                           (["--stall", "take,slow"], "'take', 'send' or 'late:MS'"),
                           (["--stall", "late:soon"], "milliseconds"),
                           (["--stall-for", "-1"], "milliseconds"),
                           (["--usb-speed", "low"], "'high' or 'full'"),
                           (["--clock-ppm", "100001"], "from -100000 to 100000"),
                           (["--clock-ppm", "1.5"], "whole number"),
                           (["--pid", "0E31,0E33"], "0E31 or 0E32"),
                           (["--adapters", "1", "--bid", "1,2"], "more ids"),
                           (["--uhid", "--replug-after", "soon"], "milliseconds"),
                           (["--frob"], "unknown option")]:
            r = sim(*args, "--", "true")
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(says, r.stderr, args)

    @unittest.skipIf(os.path.exists("/dev/uhid"), "this machine has /dev/uhid")
    def test_uhid_without_the_driver_says_what_to_do(self):
        r = sim("--uhid", "--", "true")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "")
        self.assertIn("canfd-sim: cannot open /dev/uhid: No such file or directory", r.stderr)
        self.assertIn("modprobe uhid", r.stderr)

    @unittest.skipIf(os.geteuid() == 0 and os.path.isdir("/sys/kernel/config/usb_gadget")
                     and glob.glob("/sys/class/udc/dummy_udc.*")
                     and os.path.isdir("/sys/bus/usb/drivers/usbhid"),
                     "this machine has what --usb needs")
    def test_usb_without_what_it_needs_says_what_is_missing(self):
        r = sim("--usb", "--", "true")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "")
        self.assertIn("canfd-sim: cannot make USB adapters: ", r.stderr)
        if os.geteuid() != 0:
            self.assertIn("it runs as root only", r.stderr)
        if not glob.glob("/sys/class/udc/dummy_udc.*"):
            self.assertIn("modprobe dummy_hcd num=N", r.stderr)
        if not os.path.isdir("/sys/bus/usb/drivers/usbhid"):
            self.assertIn("modprobe usbhid", r.stderr)
        self.assertIn("the modules dummy_hcd, libcomposite, usb_f_hid and usbhid", r.stderr)

    def test_product_ids_per_adapter(self):
        r = sim("--adapters", "3", "--pid", "0e31,0x0E32", "--", CANFD, "list")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(re.findall(r"product (\w+)\s+board (\w+)", r.stdout)),
                         [("0E31", "1234ABCD"), ("0E32", "1234ABCE"), ("0E32", "1234ABCF")])


class Processes(unittest.TestCase):
    def test_two_dumps_in_two_processes_see_what_a_third_sends(self):
        with Sim() as s:
            dumps = [subprocess.Popen([CANFD, "dump", "2", "-n", "3", "-T", "20000"], env=s.env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                     for _ in range(2)]
            # The dumps open the adapter when they are ready: keep sending
            # until both have their frames.
            deadline = time.monotonic() + 20
            while any(d.poll() is None for d in dumps) and time.monotonic() < deadline:
                r = s.run("send", "1", "123#C0FFEE")
                self.assertEqual(r.returncode, 0, r.stderr)
                time.sleep(0.05)
            for d in dumps:
                out, err = d.communicate(timeout=10)
                self.assertEqual(d.returncode, 0, err)
                self.assertEqual(out.splitlines(),
                                 ["  canfd-1234ABCD-2  123   [3]  C0 FF EE"] * 3)


class TimingModel(unittest.TestCase):
    def test_on_by_default_a_flood_fills_the_bus_and_no_more(self):
        # 111-bit frames at 500 kbit/s: at most 4504 per second.
        with Sim() as s:
            r = s.run("dump", "2", "--stats", "--time", "1500ms", "--send",
                      "123#0011223344556677", "-c", "0", "-g", "0")
            self.assertEqual(r.returncode, 0, r.stderr)
            m = re.search(r"(\d+) frames in (\d+\.\d\d) s, (\d+) frames/s, bus load (\d+\.\d)%",
                          r.stderr)
            self.assertIsNotNone(m, r.stderr)
            self.assertGreater(int(m.group(1)), 0)
            self.assertLessEqual(int(m.group(3)), 4504)
            self.assertLessEqual(float(m.group(4)), 100.5)


class Stalls(unittest.TestCase):
    """--stall, its timers and its signals, on the sandbox's adapters (the
    adapter's behaviour while stalled is the engine's, tested with it)."""

    def test_a_stalled_adapter_answers_no_command(self):
        r = sim("--stall-after", "0", "--", CANFD, "info")
        self.assertEqual(r.returncode, 1)
        self.assertIn("CANFD_ERR_CMD_TIMEOUT", r.stderr)

    def test_late_answers_come_late_or_too_late(self):
        t0 = time.monotonic()
        r = sim("--quiet", "--stall", "late:150", "--stall-after", "0", "--", CANFD, "info")
        took = time.monotonic() - t0
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("firmware version", r.stdout)
        # info asks more than ten questions, one after the other.
        self.assertGreater(took, 10 * 0.150)
        r = sim("--quiet", "--stall", "late:1500", "--stall-after", "0", "--", CANFD, "info")
        self.assertEqual(r.returncode, 1)
        self.assertIn("CANFD_ERR_CMD_TIMEOUT", r.stderr)

    def test_timers_start_and_end_the_stall(self):
        r = sim("--stall", "take,late:5", "--stall-after", "100", "--stall-for", "200", "--",
                "sleep", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = [line for line in r.stderr.splitlines() if "stall" in line]
        self.assertEqual(lines, [
            "canfd-sim: stalled: the adapters take no report from the host, answer commands 5 ms "
            "late",
            "canfd-sim: stall over"])

    def test_signals_start_and_end_the_stall(self):
        proc = subprocess.Popen([SIM], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # A line that never comes must not hang the test.
        watchdog = threading.Timer(60, proc.kill)
        watchdog.start()

        def said(text):
            for line in proc.stderr:
                if text in line:
                    return line.strip()
            return None

        try:
            env = dict(os.environ)
            for _ in range(2):
                name, value = proc.stdout.readline().strip()[len("export "):].split("=", 1)
                env[name] = value.strip("'")

            def info():
                return subprocess.run([CANFD, "info"], env=env, capture_output=True, text=True,
                                      timeout=30)

            self.assertEqual(info().returncode, 0)
            proc.send_signal(signal.SIGRTMIN)
            self.assertEqual(said("stall"),
                             "canfd-sim: stalled: the adapters take no report from the host")
            r = info()
            self.assertEqual(r.returncode, 1)
            self.assertIn("CANFD_ERR_CMD_TIMEOUT", r.stderr)
            proc.send_signal(signal.SIGRTMIN + 1)
            self.assertEqual(said("stall"), "canfd-sim: stall over")
            r = info()
            self.assertEqual(r.returncode, 0, r.stderr)
        finally:
            proc.terminate()
            proc.communicate(timeout=10)
            watchdog.cancel()
        self.assertEqual(proc.returncode, 0)


if __name__ == "__main__":
    unittest.main()
