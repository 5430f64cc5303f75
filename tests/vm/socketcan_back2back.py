"""python-can's own back-to-back test case on the bridge's two interfaces.

    socketcan_back2back.py BACK2BACK_TEST_PY IFNAME1 IFNAME2

BACK2BACK_TEST_PY is test/back2back_test.py of python-can 4.1 (it is not
part of this project). Its test case Back2BackTestCase runs with python-can's
socketcan interface on IFNAME1 and IFNAME2 instead of its virtual bus: one
bus on each port of the adapter, the two ports on one CAN bus. (The module's
TestThreadSafeBus compares the channel of each received message with the
sender's, so it needs both buses on one channel: it does not apply to two
interfaces.) The test module imports its settings from config.py of its own
package: the one beside it is used when there is one, otherwise the same
names are defined here as python-can defines them.
"""

import os
import shutil
import sys
import tempfile
import unittest

CONFIG = '''
import platform
from os import environ as environment


def env(name):
    return environment.get(name, "").lower() in ("yes", "true", "t", "1")


IS_TRAVIS = env("TRAVIS")
IS_CI = IS_TRAVIS or env("GITHUB_ACTIONS") or env("CI") or env("CONTINUOUS_INTEGRATION")
IS_LINUX = platform.system() == "Linux"
IS_OSX = platform.system() == "Darwin"
IS_UNIX = IS_LINUX or IS_OSX
IS_PYPY = platform.python_implementation() == "PyPy"
TEST_CAN_FD = True
TEST_INTERFACE_SOCKETCAN = IS_LINUX and env("TEST_SOCKETCAN")
'''


def load(path):
    """The test module, imported as part of a package of its own."""
    root = tempfile.mkdtemp(prefix="back2back.")
    package = os.path.join(root, "pythoncan_tests")
    os.mkdir(package)
    open(os.path.join(package, "__init__.py"), "w").close()
    shutil.copy(path, os.path.join(package, "back2back_test.py"))
    config = os.path.join(os.path.dirname(os.path.abspath(path)), "config.py")
    if os.path.exists(config):
        shutil.copy(config, package)
    else:
        with open(os.path.join(package, "config.py"), "w") as f:
            f.write(CONFIG)
    sys.path.insert(0, root)
    from pythoncan_tests import back2back_test

    return back2back_test


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    module = load(sys.argv[1])
    channels = {
        "INTERFACE_1": "socketcan",
        "CHANNEL_1": sys.argv[2],
        "INTERFACE_2": "socketcan",
        "CHANNEL_2": sys.argv[3],
    }
    case = type("BridgeBack2BackTestCase", (module.Back2BackTestCase,), channels)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(case)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
