"""Runs python-can's own back-to-back test case (test/back2back_test.py of a
python-can source tree) against the canfd interface, with bus 1 on port 1
and bus 2 on port 2 of the first adapter found, as CAN FD buses.

    python back2back.py PATH/TO/back2back_test.py [-k PATTERN]...

Run it where python-can and this package are installed and an adapter is
attached or simulated; run-back2back.sh does all of that with canfd-sim.
The cases written for one channel shared by both buses are skipped, each
with its reason and the project's own test that checks its intent.
"""

import importlib.machinery
import platform
import sys
import types
import unittest

import can

# Cases that need both buses on one channel, and where their intent is checked.
ONE_CHANNEL = {
    "test_unique_message_instances":
        "bus 3 shares bus 2's channel and expects bus 2 to receive what bus 3 sends; "
        "the adapter does not return a frame to the port it was sent on (intent: "
        "tests/test_sharing.py::test_unique_message_instances)",
    "test_concurrent_writes":
        "compares each received message with the sent one by Message.equals, which "
        "includes the channel: the buses are on two ports (intent: "
        "tests/test_sharing.py::test_concurrent_writes)",
    "test_filtered_bus":
        "compares each received message with the sent one by Message.equals, which "
        "includes the channel: the buses are on two ports (intent: "
        "tests/test_sharing.py::test_filtered_bus_under_concurrent_writes)",
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


def canfd_cases(module: types.ModuleType, board: str) -> list:
    """The test case classes of the module, aimed at the adapter's two ports."""
    cases = []
    for base_name in ("Back2BackTestCase", "TestThreadSafeBus"):
        base = getattr(module, base_name, None)
        if base is None:
            continue
        attrs = {"INTERFACE_1": "canfd", "CHANNEL_1": f"{board}:1",
                 "INTERFACE_2": "canfd", "CHANNEL_2": f"{board}:2"}
        for name, reason in ONE_CHANNEL.items():
            if hasattr(base, name):
                attrs[name] = unittest.skip(reason)(getattr(base, name))
        cases.append(type("Canfd" + base_name, (base,), attrs))
    return cases


def main(argv: list) -> int:
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    configs = can.detect_available_configs("canfd")
    if not configs:
        print("back2back: no adapter found (run it inside canfd-sim)", file=sys.stderr)
        return 1
    board = configs[0]["channel"].split(":")[0]
    module = load(argv[1])
    loader = unittest.TestLoader()
    patterns = [argv[i + 1] for i in range(2, len(argv) - 1) if argv[i] == "-k"]
    if patterns:
        loader.testNamePatterns = [p if "*" in p else f"*{p}*" for p in patterns]
    suite = unittest.TestSuite(loader.loadTestsFromTestCase(case)
                               for case in canfd_cases(module, board))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    passed = result.testsRun - len(result.skipped) - len(result.failures) - len(result.errors)
    print(f"back2back on {board}:1 and {board}:2: {result.testsRun} run, {passed} passed, "
          f"{len(result.skipped)} skipped, {len(result.failures)} failed, "
          f"{len(result.errors)} errors")
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
