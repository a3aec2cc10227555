"""Puts with completion on ca_server: putdelay=MS completes MS later while
the circuit goes on answering, a channel's puts complete one after the
other, and rejectput refuses every write."""

import os
import struct
import sys
import time
import unittest

import ca_support as cs
from ca_support import header

PVS = """
P:SLOW   double  0   putdelay=400
P:REJ    long    3   rejectput
P:REJWF  short[4] 1,2 rejectput
"""

READ_NOTIFY, WRITE, WRITE_NOTIFY, ERROR, ECHO = 15, 4, 19, 11, 23
DOUBLE, LONG, SHORT = 6, 5, 1

setUpModule, tearDownModule = cs.serve_module(PVS)


def server_port():
    return int(os.environ["EPICS_CA_ADDR_LIST"].rsplit(":", 1)[1])


def write_notify(circuit, sid, value, ioid):
    circuit.send(header(WRITE_NOTIFY, 8, DOUBLE, 1, sid, ioid) + struct.pack(">d", value))


class DelayedCompletion(unittest.TestCase):
    def test_completion_comes_after_the_delay_through_libca(self):
        chid = cs.connect("P:SLOW")
        start = time.monotonic()
        self.assertEqual(cs.put(chid, DOUBLE, 1.5), cs.ECA_NORMAL)
        self.assertGreaterEqual(time.monotonic() - start, 0.39)
        self.assertEqual(cs.get(chid, DOUBLE), 1.5)

    def test_circuit_goes_on_answering_meanwhile(self):
        c = cs.RawCircuit(server_port())
        _, sid = c.create("P:SLOW", 1)
        time.sleep(0.5)  # an earlier test's processing is over
        start = time.monotonic()
        write_notify(c, sid, 2.5, 10)
        c.send(header(READ_NOTIFY, 0, DOUBLE, 1, sid, 11))
        msg = c.message()
        # The value is stored at once and read before the completion.
        self.assertEqual((msg[0], struct.unpack(">d", msg[6][:8])[0]), (READ_NOTIFY, 2.5))
        self.assertLess(time.monotonic() - start, 0.3)
        msg = c.message()
        self.assertEqual((msg[0], msg[4], msg[5]), (WRITE_NOTIFY, cs.ECA_NORMAL, 10))
        self.assertGreaterEqual(time.monotonic() - start, 0.39)
        c.close()

    def test_puts_of_one_channel_complete_one_after_the_other(self):
        c = cs.RawCircuit(server_port())
        _, sid = c.create("P:SLOW", 1)
        time.sleep(0.5)
        start = time.monotonic()
        write_notify(c, sid, 3.5, 20)
        write_notify(c, sid, 4.5, 21)
        c.send(header(ECHO))
        order, times = [], []
        for _ in range(3):
            msg = c.message()
            order.append((msg[0], msg[5]))
            times.append(time.monotonic() - start)
        # The second put waits for the first; what follows it waits too.
        self.assertEqual(order, [(WRITE_NOTIFY, 20), (ECHO, 0), (WRITE_NOTIFY, 21)])
        # Both measured from the start: on a loaded machine the first answer
        # may be read late, which shortens the time between the two reads.
        self.assertGreaterEqual(times[0], 0.39)
        self.assertGreaterEqual(times[2], 0.78)
        c.close()


class RefusedPuts(unittest.TestCase):
    def test_rejectput_refuses_with_a_failure_status_and_leaves_the_value(self):
        for name, dtype, before in (("P:REJ", LONG, [3]), ("P:REJWF", SHORT, [1, 2])):
            chid = cs.connect(name)
            self.assertTrue(cs.ca.write_access(chid))  # refused by the server, not libca
            self.assertEqual(cs.put(chid, dtype, 9), cs.ECA_PUTFAIL)
            self.assertEqual(list(cs.ca.get(chid, ftype=dtype, count=0) if len(before) > 1
                                  else [cs.get(chid, dtype)]), before)
        c = cs.RawCircuit(server_port())
        _, sid = c.create("P:REJ", 1)
        c.send(header(WRITE, 8, LONG, 1, sid, 5) + struct.pack(">i", 9) + bytes(4))
        msg = c.expect(ERROR)
        self.assertEqual(msg[5], cs.ECA_PUTFAIL)
        self.assertIn(b"rejectput", msg[6])
        c.close()


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
