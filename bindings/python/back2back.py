"""Runs python-can's own back-to-back test case (test/back2back_test.py of a
python-can source tree) against the canfd interface on the first adapter
found, as CAN FD buses: bus 1 and bus 2 both on port 1, as python-can writes
the case (one channel shared by both buses, which SocketCAN's local loopback
connects), or bus 1 on port 1 and bus 2 on port 2 (two ports on one bus).

    python back2back.py PATH/TO/back2back_test.py [--ports 1,1|1,2] [-k PATTERN]...

Run it where python-can and this package are installed and an adapter is
attached or simulated; run-back2back.sh does all of that with canfd-sim.
"""

import importlib.machinery
import platform
import sys
import types
import unittest

import can

# Cases that compare each received message with the sent one by
# Message.equals, which includes the channel: with the buses on two ports
# they cannot pass, and are skipped there (they run with one port).
TWO_PORTS_SKIP = {
    "test_concurrent_writes":
        "compares each received message with the sent one by Message.equals, which "
        "includes the channel: the buses are on two ports (it runs with --ports 1,1)",
    "test_filtered_bus":
        "compares each received message with the sent one by Message.equals, which "
        "includes the channel: the buses are on two ports (it runs with --ports 1,1)",
}


def _config_module(name: str) -> types.ModuleType:
    """The test directory's config module, as python-can's test/config.py sets
    it for a local run: every case runs, CAN FD included."""
    config = types.ModuleType(name)
    system = platform.system().lower()
    config.IS_CI = config.IS_TRAVIS = config.IS_GITHUB_ACTIONS = False
    config.IS_LINUX = "linux" in system
    config.IS_OSX = "darwin" in system
    config.IS_WINDOWS = "windows" in system
    config.IS_UNIX = config.IS_LINUX or config.IS_OSX
    config.IS_PYPY = platform.python_implementation() == "PyPy"
    config.TEST_INTERFACE_SOCKETCAN = False
    config.TEST_CAN_FD = True
    return config


def load(path: str) -> types.ModuleType:
    """Imports the test file as the module back2back_test of a package whose
    config module is _config_module()."""
    package = types.ModuleType("python_can_test")
    package.__path__ = []
    sys.modules["python_can_test"] = package
    sys.modules["python_can_test.config"] = _config_module("python_can_test.config")
    name = "python_can_test.back2back_test"
    module = types.ModuleType(name)
    module.__file__ = path
    module.__package__ = "python_can_test"
    sys.modules[name] = module
    importlib.machinery.SourceFileLoader(name, path).exec_module(module)
    return module


def canfd_cases(module: types.ModuleType, board: str, ports: tuple) -> list:
    """The test case classes of the module, aimed at the adapter's ports:
    bus 1 on the first, bus 2 on the second (the same port, as python-can
    writes the case, or the other one)."""
    cases = []
    for base_name in ("Back2BackTestCase", "TestThreadSafeBus"):
        base = getattr(module, base_name, None)
        if base is None:
            continue
        attrs = {"INTERFACE_1": "canfd", "CHANNEL_1": f"{board}:{ports[0]}",
                 "INTERFACE_2": "canfd", "CHANNEL_2": f"{board}:{ports[1]}"}
        if ports[0] != ports[1]:
            for name, reason in TWO_PORTS_SKIP.items():
                if hasattr(base, name):
                    attrs[name] = unittest.skip(reason)(getattr(base, name))
        cases.append(type("Canfd" + base_name, (base,), attrs))
    return cases


def _options(argv: list) -> tuple:
    """(test file, (port of bus 1, port of bus 2), name patterns)."""
    path, ports, patterns = None, (1, 1), []
    args = iter(argv[1:])
    for arg in args:
        if arg == "-k":
            patterns.append(next(args, ""))
        elif arg == "--ports":
            text = next(args, "")
            ports = tuple(int(p) for p in text.split(",")) if text.replace(",", "").isdigit() \
                else ()
            if len(ports) != 2 or not set(ports) <= {1, 2}:
                raise SystemExit(f"back2back: --ports {text!r}: expected 1,1, 1,2, 2,1 or 2,2")
        elif path is None:
            path = arg
        else:
            raise SystemExit(__doc__.strip())
    if path is None:
        raise SystemExit(__doc__.strip())
    return path, ports, patterns


def main(argv: list) -> int:
    path, ports, patterns = _options(argv)
    configs = can.detect_available_configs("canfd")
    if not configs:
        print("back2back: no adapter found (run it inside canfd-sim)", file=sys.stderr)
        return 1
    board = configs[0]["channel"].split(":")[0]
    module = load(path)
    loader = unittest.TestLoader()
    if patterns:
        loader.testNamePatterns = [p if "*" in p else f"*{p}*" for p in patterns]
    suite = unittest.TestSuite(loader.loadTestsFromTestCase(case)
                               for case in canfd_cases(module, board, ports))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    passed = result.testsRun - len(result.skipped) - len(result.failures) - len(result.errors)
    print(f"back2back on {board}:{ports[0]} and {board}:{ports[1]}: {result.testsRun} run, "
          f"{passed} passed, {len(result.skipped)} skipped, {len(result.failures)} failed, "
          f"{len(result.errors)} errors")
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
