"""ca_server next to a real soft IOC serving the same PVs: every request type
read and written, access rights, metadata (DBR_STS/TIME/GR/CTRL, precision,
units, limits, enum strings), value monitors, arrays, long strings, alarm
states and alarm-mask monitors, put completion and refusal, flow control and
counting PVs must be answered alike. The IOC is right wherever they differ.

Needs SOFTIOC (the softIoc executable) besides CA_SERVER_EXE; each server is
probed by ca_probe.py in a process of its own (one libca context must not see
two servers with the same names)."""

import collections
import json
import os
import subprocess
import sys
import unittest

import ca_support as cs

# Every native type, with the values and flags where servers may part:
# precision, huge, tiny and non-finite numbers, texts that are and are not
# numbers, enums with no, some, gapped and all sixteen states, access rights.
PVS = """
I:D        double  532.5    prec=3
I:D0       double  532.5
I:DBIG     double  70000.7  prec=2
I:DEXP     double  1e20     prec=3
I:DNEG     double  -2.9     prec=12
I:DNAN     double  nan      prec=3
I:DINF     double  -inf     prec=1
I:L        long    123456789
I:LNEG     long    -1
I:S        short   -7
I:SMAX     short   32767
I:F        float   2.5      prec=2
I:FSMALL   float   1e-7     prec=9
I:FNAN     float   nan
I:STR      string  "hello world"
I:NUM      string  "12abc"
I:HEX      string  "0x1A"
I:EMPTY    string  ""
I:QUOTED   string  "say \\"hi\\"\ta \\\\ b"
I:E        enum    1        states=Off,On,Auto
I:E0       enum    1
I:EGAP     enum    2        states=Zero,,Two
I:E16      enum    15       states=S0,S1,S2,S3,S4,S5,S6,S7,S8,S9,S10,S11,S12,S13,S14,S15
I:CH       char    -56
I:NOREAD   long    5        noread
I:NOWRITE  short   1        nowrite
I:NOWRITEF double  1.5      nowrite  prec=1
I:WF       double[10]   1,2,3        prec=2 units=mm disp=-5,10
I:WFL      long[8]      -1,70000,3
I:WFS      short[6]     fill(-7)     len=4
I:WFF      float[5]     ramp(0.5,0.25) len=3
I:WFC      char[12]     1,-2,3
I:WFBIG    double[1000] ramp(0,1)
I:WFRO     long[4]      1,2          nowrite
I:TXT      char[64]     "a text with more than forty characters in it, as paths have"
I:AI       double  5    prec=2 units=nm disp=0,1000 warn=100,800 alarm=50,850
I:AILOW    double  500  warn=100,
I:LI       long    5    units=cts disp=0,1000 warn=100,800 alarm=50,850
I:SU       short   3    units=V disp=-10,10
I:DLY      double  0    putdelay=300
I:REJ      long    3    rejectput
I:REJWF    double[4] 1,2  rejectput
I:COUNT    long    0    count=100000
"""

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ca_probe.py")
answers = {}


def observe(server_class):
    server = server_class(PVS)
    try:
        probe = subprocess.run([sys.executable, PROBE, str(server.port), server.pv_file],
                               env=cs.client_env(server.port), capture_output=True, text=True,
                               timeout=600)
    finally:
        server.stop()
    if probe.returncode != 0:
        raise RuntimeError("probing %s failed:\n%s" % (server_class.__name__, probe.stderr))
    return json.loads(probe.stdout)


def setUpModule():
    if not cs.SOFTIOC:
        raise unittest.SkipTest("SOFTIOC is not set: no IOC to compare with")
    answers["ca_server"] = observe(cs.Server)
    answers["ioc"] = observe(cs.IocServer)


def differences(select):
    """The questions select() picks that the two servers answer differently,
    grouped by how they differ, as a readable report ("" when none)."""
    ours = collections.OrderedDict((k, v) for k, v in answers["ca_server"] if select(k))
    ioc = {k: v for k, v in answers["ioc"] if select(k)}
    groups = collections.OrderedDict()
    for question in list(ours) + [k for k in ioc if k not in ours]:
        a, b = ours.get(question), ioc.get(question)
        if json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True):
            continue
        if (isinstance(a, list) and isinstance(b, list) and len(a) == len(b) == 2
                and a[0] == b[0] and isinstance(a[1], dict) and isinstance(b[1], dict)):
            fields = sorted(set(a[1]) | set(b[1]))
            how = "; ".join("%s: ca_server %s, IOC %s" % (f, json.dumps(a[1].get(f)),
                                                          json.dumps(b[1].get(f)))
                            for f in fields if a[1].get(f) != b[1].get(f))
        else:
            how = "ca_server %s, IOC %s" % (json.dumps(a), json.dumps(b))
        groups.setdefault(how, []).append(question)
    lines = []
    for how, questions in groups.items():
        lines.append("%d x %s" % (len(questions), how))
        lines.extend("      " + q for q in questions[:3])
        if len(questions) > 3:
            lines.append("      ...")
    return "\n".join(lines)


class SameAnswersAsAnIoc(unittest.TestCase):
    def check(self, select):
        self.assertTrue(any(select(k) for k, _ in answers["ioc"]), "nothing selected")
        report = differences(select)
        self.assertEqual(report, "", "ca_server and the IOC differ:\n" + report)

    def test_native_types_counts_and_access_rights(self):
        self.check(lambda k: k.endswith(" connection"))

    def test_reads_as_every_request_type(self):
        self.check(lambda k: " read as " in k or " read with count " in k)

    def test_writes_with_every_plain_type_and_their_read_back(self):
        self.check(lambda k: " after WRITE" in k)

    def test_value_monitors(self):
        self.check(lambda k: " monitor " in k and "limits" not in k and "count 0" not in k)

    def test_arrays(self):
        self.check(lambda k: " with count " in k or "WRITE_NOTIFY of" in k or
                   "monitor with count 0" in k)

    def test_long_strings(self):
        self.check(lambda k: ".VAL" in k or "the text" in k)

    def test_alarm_states_limits_and_alarm_monitors(self):
        self.check(lambda k: k.startswith(("I:AI", "I:LI")) and
                   ("WRITE_NOTIFY" in k or "limits" in k))

    def test_put_completion_and_refused_puts(self):
        self.check(lambda k: " put" in k)

    def test_flow_control_and_counting(self):
        self.check(lambda k: "EVENTS_OFF" in k or " steps " in k)


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
