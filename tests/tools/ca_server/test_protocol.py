"""ca_server's wire protocol, spoken byte by byte: what libca relies on but
does not show (search replies, message order, padding, error messages)."""

import select
import socket
import struct
import sys
import time
import unittest

import ca_support as cs
from ca_support import header, padded

PVS = """
P:D      double  2.5
P:S      short   3
P:STR    string  "abc"
P:CH     char    7
P:HIDDEN long    1      noread
P:LOCKED long    1      nowrite
P:SLOW   short   9      delay=1000
"""

VERSION, EVENT_ADD, EVENT_CANCEL, WRITE, SEARCH = 0, 1, 2, 4, 6
READ_SYNC, ERROR, CLEAR_CHANNEL, NOT_FOUND, READ_NOTIFY = 10, 11, 12, 14, 15
CREATE_CHAN, WRITE_NOTIFY, ACCESS_RIGHTS, ECHO, CREATE_CH_FAIL = 18, 19, 22, 23, 26
DOREPLY, DONTREPLY = 10, 5

server = None


def setUpModule():
    global server
    server = cs.Server(PVS)


def tearDownModule():
    server.stop()


def search(names, reply_flag=DONTREPLY):
    """Sends one search datagram; returns the reply messages or [] if none."""
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.settimeout(0.3)
    data = header(VERSION, 0, 1, 13, 77, 0)
    for cid, name in enumerate(names, start=100):
        body = padded(name.encode() + b"\0")
        data += header(SEARCH, len(body), reply_flag, 13, cid, cid) + body
    udp.sendto(data, ("127.0.0.1", server.port))
    try:
        reply = udp.recv(4096)
    except socket.timeout:
        return []
    finally:
        udp.close()
    messages = []
    while reply:
        fields = struct.unpack(">HHHHII", reply[:16])
        messages.append(fields + (reply[16:16 + fields[1]],))
        reply = reply[16 + fields[1]:]
    return messages


class NameSearch(unittest.TestCase):
    def test_reply_carries_port_address_and_minor_version(self):
        msgs = search(["P:D"])
        self.assertEqual(msgs[0][:5], (VERSION, 0, 1, 13, 77))  # sequence echoed
        cmd, size, dtype, count, p1, p2, body = msgs[1]
        self.assertEqual((cmd, size, dtype, p1, p2), (SEARCH, 8, server.port, 0x7F000001, 100))
        self.assertEqual(struct.unpack(">H", body[:2])[0], 13)

    def test_unknown_names_answered_only_when_asked(self):
        self.assertEqual(search(["P:NOPE"]), [])
        msgs = search(["P:NOPE"], DOREPLY)
        self.assertEqual([m[0] for m in msgs], [VERSION, NOT_FOUND])
        self.assertEqual(msgs[1][4:6], (100, 100))

    def test_one_datagram_many_names(self):
        msgs = search(["P:D", "P:NOPE", "P:S"])
        self.assertEqual([(m[0], m[5]) for m in msgs[1:]], [(SEARCH, 100), (SEARCH, 102)])


class Circuit(unittest.TestCase):
    def setUp(self):
        self.c = cs.RawCircuit(server.port)
        self.assertEqual(self.c.message()[:4], (VERSION, 0, 0, 13))

    def tearDown(self):
        self.c.close()

    def read(self, sid, dtype, ioid=5):
        self.c.send(header(READ_NOTIFY, 0, dtype, 1, sid, ioid))
        return self.c.expect(READ_NOTIFY)

    def test_create_sends_access_rights_then_native_type(self):
        self.c.send(header(CREATE_CHAN, 8, 0, 0, 41, 13) + padded(b"P:S\0"))
        rights = self.c.message()
        self.assertEqual((rights[0], rights[4], rights[5]), (ACCESS_RIGHTS, 41, 3))
        created = self.c.message()
        self.assertEqual((created[0], created[2], created[3], created[4]), (CREATE_CHAN, 1, 1, 41))
        for name, bits in (("P:HIDDEN", 0), ("P:LOCKED", 1)):
            body = padded(name.encode() + b"\0")
            self.c.send(header(CREATE_CHAN, len(body), 0, 0, 42, 13) + body)
            self.assertEqual(self.c.expect(ACCESS_RIGHTS)[5], bits)

    def test_unknown_channel_fails_with_client_id(self):
        self.assertIsNone(self.c.create("P:NOPE", 43))
        self.assertEqual(self.c.create("P:D", 44)[0], 6)  # circuit still works

    def test_read_replies_are_padded_and_carry_status_and_id(self):
        _, sid = self.c.create("P:STR", 1)
        msg = self.read(sid, 0, ioid=99)
        self.assertEqual((msg[1], msg[4], msg[5]), (40, 1, 99))
        self.assertEqual(msg[6].rstrip(b"\0"), b"abc")
        _, sid = self.c.create("P:CH", 2)
        msg = self.read(sid, 4)
        self.assertEqual((msg[1], msg[6]), (8, b"\x07" + b"\0" * 7))
        _, sid = self.c.create("P:D", 3)
        msg = self.read(sid, 20)  # DBR_TIME_DOUBLE: 24 bytes, value at 16
        self.assertEqual(msg[1], 24)
        self.assertEqual(struct.unpack(">d", msg[6][16:24])[0], 2.5)

    def test_extended_header_request(self):
        _, sid = self.c.create("P:S", 1)
        self.c.send(header(READ_NOTIFY, 0xFFFF, 1, 0, sid, 8) + struct.pack(">II", 0, 1))
        msg = self.c.expect(READ_NOTIFY)
        self.assertEqual((msg[4], msg[5], msg[6][:2]), (1, 8, b"\x00\x03"))

    def test_failed_write_returns_error_with_request_echoed(self):
        _, sid = self.c.create("P:D", 7)
        request = header(WRITE, 8, 0, 1, sid, 7)
        self.c.send(request + b"abc\0\0\0\0\0")
        msg = self.c.expect(ERROR)
        self.assertEqual(msg[5], cs.ECA_PUTFAIL)
        self.assertEqual(msg[6][:16], request)
        self.assertIn(b"convert", msg[6][16:])
        self.c.send(header(WRITE_NOTIFY, 8, 0, 1, sid, 12) + b"xyz\0\0\0\0\0")
        msg = self.c.expect(WRITE_NOTIFY)
        self.assertEqual((msg[4], msg[5]), (cs.ECA_PUTFAIL, 12))

    def test_echo_and_read_sync(self):
        self.c.send(header(ECHO) + header(READ_SYNC, 0, 0, 0, 0, 0))
        self.assertEqual(self.c.message()[0], ECHO)
        self.assertEqual(self.c.message()[0], READ_SYNC)

    def test_monitor_updates_until_cancelled(self):
        _, sid = self.c.create("P:S", 9)
        self.c.send(header(EVENT_ADD, 16, 1, 1, sid, 55) + bytes(12) + b"\x00\x01\0\0")
        msg = self.c.expect(EVENT_ADD)
        self.assertEqual((msg[4], msg[5], msg[6][:2]), (1, 55, b"\x00\x03"))
        self.c.send(header(WRITE, 8, 1, 1, sid, 9) + b"\x00\x04" + bytes(6))
        self.assertEqual(self.c.expect(EVENT_ADD)[6][:2], b"\x00\x04")
        self.c.send(header(EVENT_CANCEL, 0, 1, 1, sid, 55))
        msg = self.c.expect(EVENT_ADD)
        self.assertEqual((msg[1], msg[5]), (0, 55))
        self.c.send(header(WRITE, 8, 1, 1, sid, 9) + b"\x00\x03" + bytes(6) + header(ECHO))
        self.assertEqual(self.c.message()[0], ECHO)  # no update after the cancel

    def test_cleared_channel_is_gone(self):
        _, sid = self.c.create("P:S", 10)
        self.c.send(header(CLEAR_CHANNEL, 0, 0, 0, sid, 10))
        self.assertEqual(self.c.message()[:6], (CLEAR_CHANNEL, 0, 0, 0, sid, 10))
        self.c.send(header(READ_NOTIFY, 0, 1, 1, sid, 3))
        self.assertEqual(self.c.expect(ERROR)[0], ERROR)

    def test_late_answer_holds_only_its_own_circuit(self):
        _, slow = self.c.create("P:SLOW", 1)
        other = cs.RawCircuit(server.port)
        try:
            _, sid = other.create("P:S", 1)
            start = time.monotonic()
            self.c.send(header(READ_NOTIFY, 0, 1, 1, slow, 1) + header(ECHO))
            other.send(header(ECHO))
            other.expect(ECHO)
            # The other circuit is answered while this one still waits.
            ready, _, _ = select.select([self.c.sock], [], [], 0)
            self.assertEqual(ready, [])
            self.c.sock.settimeout(3)
            self.assertEqual(self.c.message()[0], READ_NOTIFY)  # in request order
            self.assertEqual(self.c.message()[0], ECHO)
            self.assertGreaterEqual(time.monotonic() - start, 0.95)
        finally:
            other.close()

    def test_oversized_request_drops_only_that_circuit(self):
        self.c.send(header(WRITE, 0xFFFF, 0, 1, 0, 0) + struct.pack(">II", 1 << 20, 1))
        with self.assertRaises((EOFError, ConnectionResetError)):
            self.c.message()
        self.assertEqual(search(["P:D"])[1][0], SEARCH)
        other = cs.RawCircuit(server.port)
        self.assertIsNotNone(other.create("P:D", 1))
        other.close()


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
