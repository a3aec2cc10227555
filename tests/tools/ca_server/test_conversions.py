"""Type conversions of ca_server, seen through libca (pyepics): a PV read as
another DBR type, and written with another DBR type, as a real IOC does."""

import math
import sys
import time
import unittest

import ca_support as cs
from ca_support import STRING, SHORT, FLOAT, ENUM, CHAR, LONG, DOUBLE

PVS = """
# name     type    value   flags
C:D        double  532.5   prec=3
C:D0       double  532.5
C:BIG      double  70000.7
C:NEG      double  -2.9
C:EDGE     double  32768
C:HUGE     double  1e10
C:NAN      double  nan     prec=3
C:INF      double  inf     prec=3
C:EXP      double  1e20    prec=3
C:L        long    123456789
C:S        short   -7
C:F        float   2.5
C:STR      string  "hello world"
C:NUM      string  "12abc"
C:HEX      string  "0x1A"
C:DEC      string  "3.7"
C:E        enum    1       states=Off,On,Auto
C:CH       char    -56
C:PUTD     double  0
C:PUTL     long    0
C:PUTS     short   0
C:PUTF     float   0
C:PUTE     enum    0       states=Off,On,Auto
C:PUTSTR   string  ""
C:MON      double  1.5     prec=2
C:FAR      double  1e40
C:TINY     double  -1e-50
C:E0       enum    1
C:EGAP     enum    0       states=Zero,,Two
C:STRNUM   string  "4"
C:PUTCH    char    0
C:NANALARM double  nan
C:MONL     long    1
C:MONS     short   1
"""

setUpModule, tearDownModule = cs.serve_module(PVS)


FLT_MAX, FLT_MIN = 3.4028234663852886e+38, 1.1754943508222875e-38
STS_DOUBLE, TIME_DOUBLE, STSACK_STRING = 13, 20, 37
UDF_ALARM, INVALID = 17, 3


def read(name, dbr_type, timeout=1.0):
    return cs.get(cs.connect(name), dbr_type, timeout)


_client = []


def probe_client():
    """Raw reads of any DBR type, every field decoded."""
    if not _client:
        import ca_probe
        _client.append(ca_probe.Client())
    return _client[0]


def poll_until(done, seconds=2.0):
    end = time.time() + seconds
    while not done() and time.time() < end:
        cs.ca.poll(0.01)


class ReadAsOtherType(unittest.TestCase):
    def test_double_to_short_truncates_and_keeps_low_16_bits(self):
        self.assertEqual(read("C:BIG", SHORT), 4464)
        self.assertEqual(read("C:NEG", SHORT), -2)
        self.assertEqual(read("C:EDGE", SHORT), -32768)

    def test_double_outside_32_bits_or_not_finite_gives_zero_short(self):
        for name in ("C:HUGE", "C:NAN", "C:INF"):
            self.assertEqual(read(name, SHORT), 0, name)

    def test_double_to_long_truncates_and_overflows_to_minimum(self):
        self.assertEqual(read("C:NEG", LONG), -2)
        self.assertEqual(read("C:HUGE", LONG), -2147483648)

    def test_long_to_float_is_nearest_single(self):
        self.assertEqual(read("C:L", FLOAT), 123456792.0)
        self.assertTrue(math.isinf(read("C:INF", FLOAT)))

    def test_double_to_float_stays_in_the_float_range(self):
        # Beyond the range: the largest float; non-zero below it: the
        # smallest normal float; infinities stay.
        self.assertEqual(read("C:FAR", FLOAT), FLT_MAX)
        self.assertEqual(read("C:TINY", FLOAT), -FLT_MIN)
        self.assertEqual(read("C:INF", FLOAT), math.inf)

    def test_double_to_string_uses_record_precision(self):
        self.assertEqual(read("C:D", STRING), "532.500")
        self.assertEqual(read("C:D0", STRING), "533")  # default precision 0 rounds
        self.assertEqual(read("C:NAN", STRING), "nan")
        self.assertEqual(read("C:INF", STRING), "       inf")
        self.assertEqual(read("C:EXP", STRING), " 1.000e+20")
        self.assertEqual(read("C:F", STRING), "3")

    def test_char_is_signed_in_the_record_and_unsigned_on_the_wire(self):
        self.assertEqual(read("C:CH", SHORT), -56)
        self.assertEqual(read("C:CH", STRING), "-56")
        self.assertEqual(read("C:CH", CHAR), 200)

    def test_enum_reads_as_state_text_or_index(self):
        self.assertEqual(read("C:E", STRING), "On")
        self.assertEqual(read("C:E", SHORT), 1)
        self.assertEqual(read("C:E", DOUBLE), 1.0)

    def test_enum_without_its_state_reads_as_empty_or_illegal_text(self):
        # As an mbbi record: an unset state is empty, an index above 15 has
        # no state field at all.
        self.assertEqual(read("C:E0", STRING), "")
        self.assertEqual(read("C:EGAP", STRING), "Zero")
        chid = cs.connect("C:EGAP")
        for index, text in ((1, ""), (2, "Two"), (15, ""), (16, "Illegal Value")):
            self.assertEqual(cs.put(chid, ENUM, index), cs.ECA_NORMAL)
            self.assertEqual(cs.get(chid, STRING), text, index)

    def test_text_reads_as_enum_only_from_an_enum(self):
        with self.assertRaises(cs.ca.ChannelAccessGetFailure):
            read("C:STRNUM", ENUM)
        self.assertEqual(read("C:STRNUM", SHORT), 4)

    def test_string_to_number_is_lenient(self):
        self.assertEqual(read("C:NUM", DOUBLE), 12.0)
        self.assertEqual(read("C:HEX", DOUBLE), 26.0)
        self.assertEqual(read("C:DEC", LONG), 3)

    def test_text_without_number_fails_the_read(self):
        with self.assertRaises(cs.ca.ChannelAccessGetFailure) as failure:
            read("C:STR", DOUBLE)
        self.assertIn("152", str(failure.exception))  # ECA_GETFAIL


class WriteWithOtherType(unittest.TestCase):
    def check_put(self, name, dbr_type, value, expected_status, readback, read_type):
        chid = cs.connect(name)
        self.assertEqual(cs.put(chid, dbr_type, value), expected_status, (name, value))
        self.assertEqual(cs.get(chid, read_type), readback, (name, value))

    def test_string_to_double(self):
        for text, expected in (("12abc", 12.0), ("0x1A", 26.0), ("1e3", 1000.0),
                               (" 2.5", 2.5), ("", 0.0)):
            self.check_put("C:PUTD", STRING, text, cs.ECA_NORMAL, expected, DOUBLE)

    def test_string_without_number_is_refused_and_value_kept(self):
        self.check_put("C:PUTD", STRING, "7", cs.ECA_NORMAL, 7.0, DOUBLE)
        self.check_put("C:PUTD", STRING, "abc", cs.ECA_PUTFAIL, 7.0, DOUBLE)
        self.check_put("C:PUTD", STRING, "1e999", cs.ECA_PUTFAIL, 7.0, DOUBLE)

    def test_string_to_integers_is_decimal_and_range_checked(self):
        for text, expected in (("3.7", 3), ("1e3", 1), ("0x10", 0), ("-12", -12)):
            self.check_put("C:PUTL", STRING, text, cs.ECA_NORMAL, expected, LONG)
        self.check_put("C:PUTL", STRING, "99999999999", cs.ECA_PUTFAIL, -12, LONG)
        self.check_put("C:PUTS", STRING, "32767", cs.ECA_NORMAL, 32767, SHORT)
        self.check_put("C:PUTS", STRING, "40000", cs.ECA_PUTFAIL, 32767, SHORT)

    def test_string_to_enum_by_state_or_whole_index(self):
        self.check_put("C:PUTE", STRING, "Auto", cs.ECA_NORMAL, "Auto", STRING)
        self.check_put("C:PUTE", STRING, "1", cs.ECA_NORMAL, 1, ENUM)
        self.check_put("C:PUTE", STRING, " 0 ", cs.ECA_NORMAL, 0, ENUM)
        # Only a whole decimal number below the number of states.
        for text in ("3", "Bogus", "1e3", " 2.5", "0x1", "-1"):
            self.check_put("C:PUTE", STRING, text, cs.ECA_PUTFAIL, 0, ENUM)
        # The empty text is the first unset state.
        self.check_put("C:PUTE", STRING, "", cs.ECA_NORMAL, 3, ENUM)
        self.check_put("C:EGAP", STRING, "", cs.ECA_NORMAL, 1, ENUM)

    def test_enum_without_states_refuses_every_text(self):
        for text in ("0", "1", "", "On"):
            self.check_put("C:E0", STRING, text, cs.ECA_PUTFAIL, 1, ENUM)
        self.check_put("C:E0", SHORT, 7, cs.ECA_NORMAL, 7, ENUM)

    def test_double_into_float_record_stays_in_the_float_range(self):
        self.check_put("C:PUTF", DOUBLE, 1e40, cs.ECA_NORMAL, FLT_MAX, DOUBLE)
        self.check_put("C:PUTF", DOUBLE, -1e-50, cs.ECA_NORMAL, -FLT_MIN, DOUBLE)
        # As text, values outside the float range are refused (only
        # positive ones for underflow, as the IOC has it).
        self.check_put("C:PUTF", STRING, "1e40", cs.ECA_PUTFAIL, -FLT_MIN, DOUBLE)
        self.check_put("C:PUTF", STRING, "1e-50", cs.ECA_PUTFAIL, -FLT_MIN, DOUBLE)
        self.check_put("C:PUTF", STRING, "-1e-50", cs.ECA_NORMAL, 0.0, DOUBLE)

    def test_char_record_stores_bytes_signed(self):
        self.check_put("C:PUTCH", CHAR, 200, cs.ECA_NORMAL, -56, SHORT)
        self.assertEqual(read("C:PUTCH", CHAR), 200)

    def test_numbers_into_integer_and_float_records(self):
        self.check_put("C:PUTS", DOUBLE, 70000.7, cs.ECA_NORMAL, 4464, SHORT)
        self.check_put("C:PUTS", DOUBLE, float("nan"), cs.ECA_NORMAL, 0, SHORT)
        self.check_put("C:PUTL", DOUBLE, -2.9, cs.ECA_NORMAL, -2, LONG)
        self.check_put("C:PUTF", LONG, 123456789, cs.ECA_NORMAL, 123456792.0, DOUBLE)

    def test_numbers_into_string_record(self):
        self.check_put("C:PUTSTR", DOUBLE, 2.5, cs.ECA_NORMAL, "2.500000", STRING)
        self.check_put("C:PUTSTR", SHORT, -3, cs.ECA_NORMAL, "-3", STRING)
        self.check_put("C:PUTSTR", STRING, "x" * 39, cs.ECA_NORMAL, "x" * 39, STRING)

    def test_plain_write_that_cannot_convert_leaves_the_value(self):
        chid = cs.connect("C:PUTL")
        self.assertEqual(cs.put(chid, LONG, 5), cs.ECA_NORMAL)
        self.assertEqual(cs.plain_put(chid, STRING, "abc"), cs.ECA_NORMAL)
        self.assertEqual(cs.plain_put(chid, STRING, "6"), cs.ECA_NORMAL)
        time.sleep(0.1)
        self.assertEqual(cs.get(chid, LONG), 6)


class MetadataAndMonitors(unittest.TestCase):
    def test_ctrl_and_time_structures(self):
        pv = cs.epics.PV("C:D", form="ctrl")
        self.assertTrue(pv.wait_for_connection(2))
        ctrl = pv.get_ctrlvars(timeout=2)
        self.assertEqual(ctrl["precision"], 3)
        self.assertEqual(ctrl["severity"], 0)
        self.assertEqual(pv.get(timeout=2), 532.5)
        enum = cs.epics.PV("C:E", form="ctrl")
        self.assertTrue(enum.wait_for_connection(2))
        enum.get_ctrlvars(timeout=2)
        self.assertEqual(list(enum.enum_strs), ["Off", "On", "Auto"])
        timed = cs.ca.get_with_metadata(cs.connect("C:S"), ftype=cs.ca.dbr.TIME_SHORT,
                                        timeout=2)
        self.assertEqual(timed["value"], -7)
        self.assertLess(abs(timed["timestamp"] - time.time()), 60)

    def test_floating_limits_report_alarm_limits_as_nan(self):
        # No alarm severities are set: every record says NaN (0 as integers).
        for name in ("C:D", "C:L", "C:E"):
            ctrl = cs.ca.get_with_metadata(cs.connect(name), ftype=cs.ca.dbr.CTRL_DOUBLE,
                                           timeout=2)
            for limit in ("upper_alarm_limit", "upper_warning_limit",
                          "lower_warning_limit", "lower_alarm_limit"):
                self.assertTrue(math.isnan(ctrl[limit]), (name, limit))
            self.assertEqual(ctrl["upper_disp_limit"], 0.0)
        ctrl = cs.ca.get_with_metadata(cs.connect("C:D"), ftype=cs.ca.dbr.CTRL_LONG, timeout=2)
        self.assertEqual(ctrl["upper_alarm_limit"], 0)

    def test_double_holding_nan_is_in_undefined_alarm(self):
        client = probe_client()
        chid = cs.connect("C:NANALARM")
        self.assertEqual(client.get(chid, STS_DOUBLE)[1]["status"], UDF_ALARM)
        self.assertEqual(client.get(chid, STS_DOUBLE)[1]["severity"], INVALID)
        self.assertEqual(cs.put(chid, DOUBLE, 1.0), cs.ECA_NORMAL)
        self.assertEqual(client.get(chid, TIME_DOUBLE)[1]["severity"], 0)
        # The alarm was never acknowledged: it stays the highest unacknowledged.
        self.assertEqual(client.get(chid, STSACK_STRING)[1],
                         {"status": 0, "severity": 0, "ackt": 1, "acks": INVALID, "value": "1"})

    def test_scalar_records_post_changes_only_waveforms_every_write(self):
        for name, posts in (("C:MONL", ["1", "2"]), ("C:MONS", ["1", "1", "2", "2"])):
            seen = []
            pv = cs.epics.PV(name, auto_monitor=cs.epics.dbr.DBE_VALUE,
                             callback=lambda value=None, **kw: seen.append(str(value)))
            self.assertTrue(pv.wait_for_connection(2))
            poll_until(lambda: seen)
            chid = cs.connect(name)
            for value in (1, 2, 2):
                self.assertEqual(cs.put(chid, SHORT, value), cs.ECA_NORMAL)
                poll_until(lambda: False, 0.1)
            self.assertEqual(seen, posts, name)
            pv.disconnect()

    def test_monitor_sends_initial_value_and_each_write(self):
        seen = []
        pv = cs.epics.PV("C:MON", auto_monitor=True,
                         callback=lambda value=None, **kw: seen.append(value))
        self.assertTrue(pv.wait_for_connection(2))
        end = time.time() + 2
        while not seen and time.time() < end:
            cs.ca.poll(0.01)
        self.assertEqual(seen[:1], [1.5])
        chid = cs.connect("C:MON")
        for value in (2.0, 3.25):
            self.assertEqual(cs.put(chid, DOUBLE, value), cs.ECA_NORMAL)
        end = time.time() + 2
        while len(seen) < 3 and time.time() < end:
            cs.ca.poll(0.01)
        self.assertEqual(seen, [1.5, 2.0, 3.25])
        pv.disconnect()


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
