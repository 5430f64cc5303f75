"""python-can's own back-to-back test case on the bridge's two interfaces.

    socketcan_back2back.py BACK2BACK_TEST_PY IFNAME1 IFNAME2

BACK2BACK_TEST_PY is test/back2back_test.py of python-can 4.1 (it is not
part of this project). Its test cases run with python-can's socketcan
interface, bus 1 on IFNAME1 and bus 2 on IFNAME2, instead of one virtual
channel: the bridge's interfaces of the two ports of an adapter, which share
one CAN bus. The module is loaded as the python-can interface's runner
(bindings/python/back2back.py) loads it.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "bindings", "python"))
from back2back import load  # noqa: E402

# Cases that compare each received message with the sent one by
# Message.equals, which includes the channel: they presume both buses on one
# channel. Every other case runs, test_unique_message_instances included
# (its third bus shares bus 2's interface, where SocketCAN loops frames back).
ONE_CHANNEL = {
    "test_concurrent_writes": "Message.equals compares the channel: the buses are on two interfaces",
    "test_filtered_bus": "Message.equals compares the channel: the buses are on two interfaces",
}


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    module = load(sys.argv[1])
    suite = unittest.TestSuite()
    for base in (module.Back2BackTestCase, module.TestThreadSafeBus):
        attrs = {"INTERFACE_1": "socketcan", "CHANNEL_1": sys.argv[2],
                 "INTERFACE_2": "socketcan", "CHANNEL_2": sys.argv[3]}
        for name, reason in ONE_CHANNEL.items():
            if hasattr(base, name):
                attrs[name] = unittest.skip(reason)(getattr(base, name))
        case = type("Bridge" + base.__name__, (base,), attrs)
        suite.addTests(unittest.defaultTestLoader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
