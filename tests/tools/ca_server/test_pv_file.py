"""The PV file syntax of arrays, limits, alarms and put behaviours: what it
refuses (with the file, line and reason), and the IOC database, access
security and start-value files ca_server -D/-A/-I makes from it."""

import os
import sys
import tempfile
import unittest

import ca_support as cs
from test_circuits import check_refusals, run_server_on


class Refused(unittest.TestCase):
    def test_each_mistake_names_its_line_and_reason(self):
        cases = (
            ("A double[0] 1\n", "bad element count 'double[0]'"),
            ("A string[4] x\n", "arrays are of short, long, float, double or char"),
            ("A double[3] 1,2,3,4\n", "more values than the element count"),
            ("A double[3] 1,x\n", "value is not a number 'x'"),
            ("A double[3] 1 len=2\n", "len= is for fill() and ramp() only"),
            ("A double[3] fill(1) len=4\n", "len= is larger than the element count"),
            ("A short[3] ramp(0,20000)\n", "value out of range for its type '40000'"),
            ("A double[3] ramp(1)\n", "expected ramp(START,STEP)"),
            ('A long[3] "text"\n', "only a char array holds a text"),
            ('A char[4] "abcd"\n', "text longer than the char array"),
            ("A long 1 len=3\n", "len= is for arrays"),
            ("A string x warn=1,2\n", "warn= and alarm= are for double and long PVs"),
            ("A short 1 alarm=1,2\n", "warn= and alarm= are for double and long PVs"),
            ("A long 1 disp=0.5,2\n", "a long PV's limits are whole 32-bit numbers"),
            ("A enum 1 units=V\n", "units= and disp= are for numeric PVs"),
            ("A double 1 units=furlongs\n", "units longer than 7 characters"),
            ("A double 1 warn=5\n", "expected two limits LOW,HIGH"),
            ("A double 1 alarm=x,2\n", "limit is not a number"),
            ("A double[3] 0 count=0\n", "count= is for one-element numeric PVs"),
            ("A double 1 putdelay=0\n", "bad put delay"),
            ("A double 1 count=x\n", "bad count period"),
        )
        check_refusals(self, [(text, ":1: " + message) for text, message in cases])


class IocFiles(unittest.TestCase):
    def translate(self, text, *outputs):
        """Runs ca_server -D/-A/-I; returns its result and each file's text."""
        work = tempfile.mkdtemp()
        files = [os.path.join(work, name) for name in ("pvs.db", "pvs.acf", "pvs.init")]
        args = [arg for option, path in zip(("-D", "-A", "-I"), files) if option in outputs
                for arg in (option, path)]
        _, result = run_server_on(text, *args)
        texts = []
        for path in files:
            texts.append(open(path).read() if os.path.exists(path) else None)
            if os.path.exists(path):
                os.unlink(path)
        os.rmdir(work)
        return result, texts

    def test_arrays_limits_and_put_behaviours_have_records(self):
        result, (db, _, init) = self.translate(
            "W double[10] 1,2 prec=3 units=mm disp=0,5\n"
            "T char[8] \"hi\"\n"
            "AI double 1 warn=2,8 alarm=,9\n"
            "D long 0 putdelay=250\n"
            "R short 1 rejectput\n"
            "C long 0 count=0\n", "-D", "-I")
        self.assertEqual(result.returncode, 0, result.stderr)
        for line in ('record(waveform, "W")', 'field(NELM, "10")', 'field(INP, {const: ["1", "2"]})',
                     'field(EGU, "mm")', 'field(HOPR, "5")', 'field(PREC, "3")',
                     'field(INP, {const: ["104", "105", "0"]})',
                     'field(HIGH, "8")', 'field(HSV, "MINOR")', 'field(HIHI, "9")',
                     'field(HHSV, "MAJOR")', 'field(FLNK, "D:putdelay")',
                     'record(seq, "D:putdelay")', 'field(DLY1, "0.250")', 'field(DISP, "1")',
                     'record(calcout, "C:count")', 'field(SCAN, ".1 second")',
                     'field(OUT, "C PP")'):
            self.assertIn(line, db)
        self.assertNotIn("LOLO", db)  # an empty side sets no limit
        self.assertEqual(init, "")

    def test_longer_start_values_go_to_the_init_file(self):
        result, (db, _, init) = self.translate("BIG long[300] ramp(5,-1)\n", "-D", "-I")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("INP", db)
        name, count, values = init.split()
        self.assertEqual((name, count), ("BIG", "300"))
        self.assertEqual(values.split(",")[:3] + values.split(",")[-1:], ["5", "4", "3", "-294"])
        result, _ = self.translate("BIG long[300] ramp(5,-1)\n", "-D")
        self.assertEqual(result.returncode, 1)
        self.assertIn("give -I FILE as well", result.stderr)
        result, _ = self.translate("BIG long[300] fill(1) nowrite\n", "-D", "-I")
        self.assertIn("it must be writable", result.stderr)


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
