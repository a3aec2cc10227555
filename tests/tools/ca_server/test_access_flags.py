"""Access rights and the test flags of ca_server (noread, nowrite, noanswer,
delay=MS, delay=MS/N), seen through libca (pyepics)."""

import sys
import time
import unittest

import ca_support as cs
from ca_support import SHORT, LONG, DOUBLE, STRING

PVS = """
F:HIDDEN    long    5      noread
F:LOCKED    short   1      nowrite
F:SILENT    float   1.5    noanswer
F:SLOW      short   9      delay=250
F:SLOWONCE  short   8      delay=1000/1
F:FAST      double  4.5
"""

setUpModule, tearDownModule = cs.serve_module(PVS)


def timed_get(chid, dbr_type, timeout):
    start = time.monotonic()
    value = cs.get(chid, dbr_type, timeout)
    return value, time.monotonic() - start


class AccessRights(unittest.TestCase):
    def test_noread_channel_has_no_access_at_all(self):
        # An IOC's access security cannot grant write without read.
        chid = cs.connect("F:HIDDEN")
        self.assertFalse(cs.ca.read_access(chid))
        self.assertFalse(cs.ca.write_access(chid))
        self.assertEqual(cs.raw_get_status(chid, LONG), cs.ECA_NORDACCESS)
        self.assertEqual(cs.put(chid, LONG, 6), cs.ECA_NOWTACCESS)

    def test_nowrite_channel_refuses_put_in_the_library(self):
        chid = cs.connect("F:LOCKED")
        self.assertTrue(cs.ca.read_access(chid))
        self.assertFalse(cs.ca.write_access(chid))
        self.assertEqual(cs.put(chid, SHORT, 2), cs.ECA_NOWTACCESS)
        self.assertEqual(cs.plain_put(chid, STRING, "2"), cs.ECA_NOWTACCESS)
        self.assertEqual(cs.get(chid, SHORT), 1)


class LateAndMissingAnswers(unittest.TestCase):
    def test_noanswer_read_times_out_and_circuit_stays_usable(self):
        silent = cs.connect("F:SILENT")
        value, elapsed = timed_get(silent, DOUBLE, 0.3)
        self.assertIsNone(value)
        self.assertGreaterEqual(elapsed, 0.25)
        self.assertEqual(cs.get(cs.connect("F:FAST"), DOUBLE), 4.5)

    def test_delayed_read_is_answered_late(self):
        chid = cs.connect("F:SLOW")
        value, elapsed = timed_get(chid, SHORT, 2.0)
        self.assertEqual(value, 9)
        self.assertGreaterEqual(elapsed, 0.2)
        # Every read is late: a short wait gives up first.
        self.assertIsNone(cs.get(chid, SHORT, 0.05))
        time.sleep(0.3)  # let the late answer arrive before other tests

    def test_delay_with_count_only_slows_the_first_reads(self):
        chid = cs.connect("F:SLOWONCE")
        value, first = timed_get(chid, SHORT, 3.0)
        self.assertEqual(value, 8)
        self.assertGreaterEqual(first, 0.95)
        # The second read is not held back: it beats the delay by far.
        value, second = timed_get(chid, SHORT, 3.0)
        self.assertEqual(value, 8)
        self.assertLess(second, 0.9)

    def test_late_answer_holds_back_later_answers_on_the_circuit(self):
        slow = cs.connect("F:SLOW")
        fast = cs.connect("F:FAST")
        cs.ca.get(slow, ftype=SHORT, wait=False)
        cs.ca.flush_io()
        value, elapsed = timed_get(fast, DOUBLE, 2.0)
        self.assertEqual(value, 4.5)
        self.assertGreaterEqual(elapsed, 0.15)
        self.assertEqual(cs.ca.get_complete(slow, ftype=SHORT, timeout=2), 9)


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
