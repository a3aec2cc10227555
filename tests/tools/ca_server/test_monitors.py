"""Monitors of ca_server: event masks (alarm-mask subscriptions), flow
control (EVENTS_OFF/EVENTS_ON), slow clients that keep only their newest
update instead of being dropped, counting PVs (count=US) and the capacity
one client needs (1,024 channels, 1,000 monitors)."""

import os
import select
import struct
import sys
import time
import unittest

import ca_support as cs
from ca_support import header

PVS = """
M:AI     double       5     warn=100,800 alarm=50,850
M:L      long         0
M:WF     double[100000] fill(0)
M:COUNT  long         0     count=0
M:TICK   double       0     count=20000
""" + "".join("M:C%04d long %d\n" % (k, k) for k in range(1024))

EVENT_ADD, EVENT_CANCEL, WRITE, ECHO, EVENTS_OFF, EVENTS_ON = 1, 2, 4, 23, 8, 9
DOUBLE, LONG, STS_DOUBLE = 6, 5, 13
DBE_VALUE, DBE_ALARM = 1, 4

setUpModule, tearDownModule = cs.serve_module(PVS)


def server_port():
    return int(os.environ["EPICS_CA_ADDR_LIST"].rsplit(":", 1)[1])


def subscribe(circuit, sid, dtype, count, mask, subid):
    circuit.send(header(EVENT_ADD, 16, dtype, count, sid, subid) + bytes(12)
                 + struct.pack(">HH", mask, 0))


def updates_until_echo(circuit):
    circuit.send(header(ECHO))
    seen = []
    while True:
        msg = circuit.message()
        if msg[0] == ECHO:
            return seen
        if msg[0] == EVENT_ADD:
            seen.append(msg)


def writer_and_watcher(name):
    """Two circuits on the PV name: (writer, its sid, watcher, its sid)."""
    writer, watcher = cs.RawCircuit(server_port()), cs.RawCircuit(server_port())
    return writer, writer.create(name, 1)[1], watcher, watcher.create(name, 1)[1]


def write_double(circuit, sid, value):
    circuit.send(header(WRITE, 8, DOUBLE, 1, sid, 0) + struct.pack(">d", value))


class EventMasks(unittest.TestCase):
    def test_alarm_mask_posts_only_changes_of_status_or_severity(self):
        writer, wsid, watcher, sid = writer_and_watcher("M:AI")
        subscribe(watcher, sid, STS_DOUBLE, 1, DBE_ALARM, 7)
        seen = updates_until_echo(watcher)
        for value in (6, 7, 120, 90, 40, 45, 900, 5):
            write_double(writer, wsid, value)
        updates_until_echo(writer)
        seen += updates_until_echo(watcher)
        # The first update (5 is below LOLO), then one per change of the
        # alarm as an ai computes it: none, LOW, LOLO, HIHI, LOLO.
        self.assertEqual([struct.unpack(">hh4xd", m[6][:16]) for m in seen],
                         [(5, 2, 5), (0, 0, 120), (6, 1, 90), (5, 2, 40), (3, 2, 900), (5, 2, 5)])
        writer.close()
        watcher.close()


class FlowControl(unittest.TestCase):
    def test_events_off_keeps_only_the_newest_update(self):
        writer, wsid, watcher, sid = writer_and_watcher("M:L")
        subscribe(watcher, sid, LONG, 1, DBE_VALUE, 3)
        self.assertEqual(len(updates_until_echo(watcher)), 1)
        watcher.send(header(EVENTS_OFF))
        updates_until_echo(watcher)
        for value in range(1, 101):
            writer.send(header(WRITE, 8, LONG, 1, wsid, 0) + struct.pack(">i", value) + bytes(4))
        updates_until_echo(writer)
        self.assertEqual(updates_until_echo(watcher), [])
        watcher.send(header(EVENTS_ON))
        seen = updates_until_echo(watcher)
        self.assertEqual([struct.unpack(">i", m[6][:4])[0] for m in seen], [100])
        writer.close()
        watcher.close()

    def test_slow_client_is_not_dropped_and_gets_the_newest_value(self):
        # 800 kB updates that the client does not read: the kernel's socket
        # buffers fill, then only the newest update of the monitor waits.
        writer, wsid, slow, sid = writer_and_watcher("M:WF")
        subscribe(slow, sid, DOUBLE, 0, DBE_VALUE, 4)
        written = 60
        data = bytes(8 * 99999)
        for k in range(1, written + 1):
            value = struct.pack(">d", k) + data
            writer.send(struct.pack(">HHHHIIII", WRITE, 0xFFFF, DOUBLE, 0, wsid, 0, len(value),
                                    100000) + value)
        updates_until_echo(writer)
        # What waited in the server comes once there is room: read until
        # nothing more comes.
        seen = []
        while select.select([slow.sock], [], [], 1.0)[0] or slow.buf:
            msg = slow.message()
            if msg[0] == EVENT_ADD:
                seen.append(msg)
        firsts = [struct.unpack(">d", m[6][:8])[0] for m in seen]
        self.assertLess(len(seen), written + 1)
        self.assertEqual(firsts[-1], written)
        self.assertEqual(firsts, sorted(firsts))
        writer.close()
        slow.close()


class Counting(unittest.TestCase):
    def test_count_0_counts_as_fast_as_its_monitor_reads(self):
        watcher = cs.RawCircuit(server_port())
        _, sid = watcher.create("M:COUNT", 1)
        start = cs.get(cs.connect("M:COUNT"), LONG)
        time.sleep(0.2)
        # No monitor: it stands still.
        self.assertEqual(cs.get(cs.connect("M:COUNT"), LONG), start)
        subscribe(watcher, sid, LONG, 1, DBE_VALUE, 5)
        values, end = [], time.monotonic() + 0.5
        while time.monotonic() < end:
            msg = watcher.message()
            if msg[0] == EVENT_ADD:
                values.append(struct.unpack(">i", msg[6][:4])[0])
        watcher.send(header(EVENT_CANCEL, 0, LONG, 1, sid, 5))
        # Every step reaches a client that keeps up, none is skipped.
        self.assertGreater(len(values), 100)
        self.assertEqual(values, list(range(values[0], values[0] + len(values))))
        watcher.close()

    def test_count_us_steps_on_its_period(self):
        chid = cs.connect("M:TICK")
        first = cs.get(chid, DOUBLE)
        time.sleep(0.5)
        steps = cs.get(chid, DOUBLE) - first
        self.assertTrue(5 <= steps <= 40, steps)  # 25 at 20 ms


class Capacity(unittest.TestCase):
    def test_1024_channels_and_1000_monitors_in_one_client(self):
        names = ["M:C%04d" % k for k in range(1024)]
        chids = [cs.ca.create_channel(name, connect=False, auto_cb=False) for name in names]
        self.assertTrue(all(cs.ca.connect_channel(chid, timeout=10) for chid in chids))
        seen = {}
        subs = [cs.ca.create_subscription(chid, callback=lambda pvname=None, value=None, **kw:
                                          seen.__setitem__(pvname, value))
                for chid in chids[:1000]]
        end = time.time() + 10
        while len(seen) < 1000 and time.time() < end:
            cs.ca.poll(0.01)
        self.assertEqual(len(seen), 1000)
        self.assertEqual(seen["M:C0999"], 999)
        cs.ca.put(chids[999], 5, wait=True)
        end = time.time() + 5
        while seen["M:C0999"] != 5 and time.time() < end:
            cs.ca.poll(0.01)
        self.assertEqual(seen["M:C0999"], 5)
        for sub in subs:
            cs.ca.clear_subscription(sub[2])
        for chid in chids:
            cs.ca.clear_channel(chid)


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
