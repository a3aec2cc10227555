"""ca_server next to a real soft IOC serving the same PVs: every request type
read and written, access rights, metadata (DBR_STS/TIME/GR/CTRL, precision,
units, limits, enum strings) and value monitors must be answered alike.
The IOC is right wherever they differ.

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
        self.check(lambda k: " monitor " in k)


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
