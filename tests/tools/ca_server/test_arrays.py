"""Arrays and long strings of ca_server: the current length apart from the
element count, counts 0, N and beyond it, writes that set the current
length, a 1,000,000-element waveform through libca, the message size limit
(EPICS_CA_MAX_ARRAY_BYTES, EPICS_CA_AUTO_ARRAY_BYTES), char arrays holding
texts and NAME.VAL$ of a string PV."""

import os
import struct
import sys
import unittest

import ca_support as cs
from ca_support import header, padded

PVS = """
A:WF     double[10]       1,2,3      prec=2
A:LONGS  long[4]          fill(-5)   len=2
A:RAMP   float[6]         ramp(1,0.5)
A:BIG    double[1000000]  ramp(0,1)
A:TXT    char[256]        "a text longer than forty characters, as a file path is"
A:NAME   string           "hello"
"""

READ_NOTIFY, WRITE_NOTIFY, ERROR, CREATE_CHAN = 15, 19, 11, 18
DOUBLE, LONG, CHAR, FLOAT = 6, 5, 4, 2
ECA_TOLARGE = 72

setUpModule, tearDownModule = cs.serve_module(PVS)


def server_port():
    return int(os.environ["EPICS_CA_ADDR_LIST"].rsplit(":", 1)[1])


def raw_read(circuit, sid, dtype, count, fmt):
    circuit.send(header(READ_NOTIFY, 0, dtype, count, sid, 1))
    msg = circuit.expect(READ_NOTIFY)
    return msg[3], list(struct.unpack(">%d%s" % (msg[3], fmt), msg[6][:msg[3] * struct.calcsize(fmt)]))


class Reads(unittest.TestCase):
    def setUp(self):
        self.c = cs.RawCircuit(server_port())

    def tearDown(self):
        self.c.close()

    def test_create_answers_the_element_count(self):
        for name, dtype, count in (("A:WF", DOUBLE, 10), ("A:BIG", DOUBLE, 1000000),
                                   ("A:TXT", CHAR, 256), ("A:NAME.VAL$", CHAR, 40)):
            body = padded(name.encode() + b"\0")
            self.c.send(header(CREATE_CHAN, len(body), 0, 0, 5, 13) + body)
            msg = self.c.expect(CREATE_CHAN)
            self.assertEqual((msg[2], msg[3]), (dtype, count), name)

    def test_count_0_answers_the_current_length_and_more_gives_zeros(self):
        _, sid = self.c.create("A:WF", 1)
        self.assertEqual(raw_read(self.c, sid, DOUBLE, 0, "d"), (3, [1, 2, 3]))
        self.assertEqual(raw_read(self.c, sid, DOUBLE, 2, "d"), (2, [1, 2]))
        # Beyond the current length and beyond the element count: zeros.
        self.assertEqual(raw_read(self.c, sid, DOUBLE, 12, "d"), (12, [1, 2, 3] + [0] * 9))
        _, sid = self.c.create("A:LONGS", 2)
        self.assertEqual(raw_read(self.c, sid, LONG, 0, "i"), (2, [-5, -5]))
        _, sid = self.c.create("A:RAMP", 3)
        self.assertEqual(raw_read(self.c, sid, FLOAT, 0, "f"), (6, [1, 1.5, 2, 2.5, 3, 3.5]))

    def test_writes_set_the_current_length(self):
        _, sid = self.c.create("A:LONGS", 4)
        for values, expected in (([7, 8, 9], [7, 8, 9]), (list(range(6)), [0, 1, 2, 3]), ([], [])):
            data = padded(struct.pack(">%di" % len(values), *values)) or bytes(8)
            self.c.send(header(WRITE_NOTIFY, len(data), LONG, len(values), sid, 9) + data)
            self.assertEqual(self.c.expect(WRITE_NOTIFY)[4], cs.ECA_NORMAL)
            self.assertEqual(raw_read(self.c, sid, LONG, 0, "i"), (len(expected), expected))

    def test_a_write_with_fewer_values_than_its_count_is_refused(self):
        _, sid = self.c.create("A:WF", 6)
        self.c.send(header(WRITE_NOTIFY, 16, DOUBLE, 5, sid, 9) + struct.pack(">2d", 4, 4))
        self.assertEqual(self.c.expect(WRITE_NOTIFY)[4], 176)  # ECA_BADCOUNT
        self.assertEqual(raw_read(self.c, sid, DOUBLE, 0, "d"), (3, [1, 2, 3]))


class LargeArrays(unittest.TestCase):
    def test_million_element_waveform_through_libca(self):
        chid = cs.connect("A:BIG")
        value = cs.ca.get(chid, count=0, timeout=10)
        self.assertEqual((len(value), value[0], value[-1]), (1000000, 0, 999999))
        data = [float(k) * 0.25 for k in range(1000000)]
        self.assertEqual(cs.ca.put(chid, data, wait=True, timeout=10), 1)
        value = cs.ca.get(chid, count=0, timeout=10)
        self.assertEqual((len(value), value[1], value[-1]), (1000000, 0.25, 999999 * 0.25))

    def test_limit_of_an_ioc_with_fixed_buffers(self):
        # EPICS_CA_AUTO_ARRAY_BYTES=NO: EPICS_CA_MAX_ARRAY_BYTES plus a
        # header; larger answers are refused, larger requests drop the circuit.
        env = dict(os.environ, EPICS_CA_AUTO_ARRAY_BYTES="NO", EPICS_CA_MAX_ARRAY_BYTES="40000")
        saved = os.environ.copy()
        os.environ.update(env)
        try:
            server = cs.Server(PVS)
        finally:
            os.environ.clear()
            os.environ.update(saved)
        try:
            c = cs.RawCircuit(server.port)
            _, sid = c.create("A:BIG", 1)
            self.assertEqual(raw_read(c, sid, DOUBLE, 5000, "d")[0], 5000)  # 40000 bytes fit
            c.send(header(READ_NOTIFY, 0, DOUBLE, 5001, sid, 2))
            msg = c.expect(ERROR)
            self.assertEqual(msg[5], ECA_TOLARGE)
            self.assertIn(b"max bytes=40024", msg[6])
            data = bytes(5001 * 8)
            c.send(struct.pack(">HHHHIIII", WRITE_NOTIFY, 0xFFFF, DOUBLE, 0, sid, 3, len(data), 5001)
                   + data)
            with self.assertRaises((EOFError, ConnectionResetError)):
                c.message()
            c.close()
        finally:
            server.stop()


class LongStrings(unittest.TestCase):
    def test_char_array_reads_and_writes_a_text(self):
        chid = cs.connect("A:TXT")
        text = "a text longer than forty characters, as a file path is"
        self.assertEqual(cs.ca.get(chid, as_string=True), text)
        longer = "/data/2024/run-0042/spectra/wavelength-scan-0001.dat"
        self.assertEqual(cs.ca.put(chid, longer, wait=True), 1)
        value = cs.ca.get(chid, count=0)
        self.assertEqual(len(value), len(longer) + 1)  # its NUL included
        self.assertEqual(cs.ca.get(chid, as_string=True), longer)

    def test_string_field_as_char_array(self):
        chid = cs.connect("A:NAME.VAL$")
        self.assertEqual((cs.ca.field_type(chid), cs.ca.element_count(chid)), (CHAR, 40))
        self.assertEqual(list(cs.ca.get(chid, count=0)), list(b"hello\0"))
        self.assertEqual(cs.ca.put(chid, list(b"world!\0"), wait=True), 1)
        self.assertEqual(cs.ca.get(cs.connect("A:NAME"), ftype=0), "world!")
        self.assertEqual(cs.ca.get(cs.connect("A:NAME.VAL"), ftype=0), "world!")
        # Only a string field reads as chars.
        missing = cs.ca.create_channel("A:WF.VAL$", connect=False, auto_cb=False)
        self.assertFalse(cs.ca.connect_channel(missing, timeout=0.5))


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
