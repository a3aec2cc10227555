"""The answers ca_probe.py collects beyond reads and writes of one element:
arrays (counts 0, N and beyond the element count, writes that set the
current length), long strings (char arrays holding text, NAME.VAL$ of a
string PV), alarm states and limits after writes across them, alarm-mask
monitors, put completion after a delay and refused puts, flow control
(EVENTS_OFF/EVENTS_ON) and counting PVs. Each function returns a list of
[what, answer] pairs; timings are reduced to whether they are in bounds."""

import math
import select
import struct
import time

import ca_support as cs
from ca_support import header, padded

DOUBLE, LONG, CHAR, STRING = 6, 5, 4, 0
STS_DOUBLE, TIME_DOUBLE, GR_DOUBLE, CTRL_DOUBLE, CTRL_LONG = 13, 20, 27, 34, 33
GR_SHORT, GR_CHAR, CTRL_FLOAT, TIME_STRING = 22, 25, 30, 14
READ_NOTIFY, WRITE_NOTIFY, EVENT_ADD, ECHO, EVENTS_OFF, EVENTS_ON = 15, 19, 1, 23, 8, 9
DBE_VALUE, DBE_ALARM = 1, 4
_BIG = {DOUBLE: "d", LONG: "i", CHAR: "B"}


def ext_header(cmd, size, dtype, count, p1, p2):
    return struct.pack(">HHHHIIII", cmd, 0xFFFF, dtype, 0, p1, p2, size, count)


class Raw:
    """A raw circuit to the server, for what libca does not send."""

    def __init__(self, port):
        self.c = cs.RawCircuit(port)
        self.c.sock.settimeout(10)
        self.next_id = 100

    def create(self, name):
        return self.c.create(name, self.next_id)[1]

    def read(self, sid, dtype, count):
        """(answer's count, its elements, status) of a READ_NOTIFY."""
        self.next_id += 1
        self.c.send(header(READ_NOTIFY, 0, dtype, count, sid, self.next_id) if count < 0xFFFF
                    else ext_header(READ_NOTIFY, 0, dtype, count, sid, self.next_id))
        msg = self.c.expect(READ_NOTIFY)
        return [msg[3], values(dtype, msg[6], msg[3]), msg[4]]

    def write(self, sid, dtype, elements, count=None):
        """Status of a WRITE_NOTIFY of the elements with the given count."""
        count = len(elements) if count is None else count
        data = padded(struct.pack(">%d%s" % (len(elements), _BIG[dtype]), *elements)) or bytes(8)
        self.next_id += 1
        self.c.send(header(WRITE_NOTIFY, len(data), dtype, count, sid, self.next_id) + data)
        return self.c.expect(WRITE_NOTIFY)[4]

    def close(self):
        self.c.close()


def values(dtype, payload, count):
    size = struct.calcsize(_BIG[dtype])
    return [v if not isinstance(v, float) else repr(v) for v in
            struct.unpack(">%d%s" % (count, _BIG[dtype]), payload[:count * size])]


def array_answers(client, port, chids, nelms):
    """Reads with count 0, 2, NELM and beyond, writes of fewer and more
    elements than NELM and of none, and a count-0 monitor, per array."""
    out = []
    raw = Raw(port)
    for name, chid in chids.items():
        nelm = nelms[name]
        sid = raw.create(name)
        ask = lambda label, answer: out.append(["%s %s" % (name, label), answer])

        def reads(label, counts=(0, 2, nelm)):
            # (An empty array read with a count leaves the IOC's first
            # element undefined: only count 0 then.)
            for dtype in (DOUBLE, STRING, LONG, TIME_DOUBLE, CTRL_LONG):
                for count in counts:
                    ask("%s read as %s with count %d" % (label, dtype, count),
                        client.get(chid, dtype, count=count))
            if 2 in counts:
                ask(label + " raw read with count NELM+3", raw.read(sid, DOUBLE, nelm + 3))
            ask(label + " raw read with count 0", raw.read(sid, DOUBLE, 0))

        reads("at start")
        if not cs.ca.write_access(chid):
            continue
        for dtype, elements in ((DOUBLE, [7.5, -2.0, 1000.0]), (LONG, list(range(nelm))),
                                (STRING, ["1.5", "2"]), (STRING, ["4", "abc"]), (DOUBLE, [3.0])):
            label = "%r as %d" % (elements[:4], dtype)
            ask("WRITE_NOTIFY of %s: status" % label, client.put_array(chid, dtype, elements))
            reads("after writing " + label)
        ask("raw WRITE_NOTIFY of NELM+2: status", raw.write(sid, DOUBLE, list(range(nelm + 2))))
        reads("after writing NELM+2")
        ask("raw WRITE_NOTIFY of none: status", raw.write(sid, DOUBLE, [], 0))
        reads("after writing none", (0,))
        ask("monitor with count 0", array_monitor(client, raw, chid, sid, nelm))
    raw.close()
    return out


def array_monitor(client, raw, chid, sid, nelm):
    raw.c.send(header(EVENT_ADD, 16, DOUBLE, 0, sid, 77) + bytes(12) + b"\0\1\0\0")
    updates = [update(raw)]
    for elements in ([1.0, 2.0], [1.0, 2.0], [5.0] * nelm):
        status = client.put_array(chid, DOUBLE, elements)
        # A refused write posts nothing.
        updates.append(update(raw) if status == cs.ECA_NORMAL else status)
    raw.c.send(header(2, 0, DOUBLE, 0, sid, 77))
    raw.c.expect(EVENT_ADD)
    return updates


def update(raw, timeout=2.0):
    """The next monitor update (count, elements), or "none" in time."""
    raw.c.sock.settimeout(timeout)
    try:
        msg = raw.c.expect(EVENT_ADD)
    except OSError:
        return "none"
    finally:
        raw.c.sock.settimeout(10)
    return [msg[3], values(DOUBLE, msg[6], msg[3])]


def long_string_answers(client, strings, texts):
    """NAME.VAL and NAME.VAL$ of string PVs; char arrays written as texts."""
    out = []
    for name in strings:
        for suffix in (".VAL", ".VAL$"):
            chid = cs.connect(name + suffix, timeout=5.0)
            label = name + suffix
            out.append([label + " connection", [cs.ca.field_type(chid), cs.ca.element_count(chid)]])
            for dtype in (CHAR, STRING, TIME_STRING):
                out.append([label + " read with count 0 as %d" % dtype, client.get(chid, dtype, 0)])
            if suffix == ".VAL$":
                for text in (b"abcdefghi\0", b"xyz", b"a text of forty characters, no NUL at all",
                             b"\0"):
                    out.append(["%s after writing %r" % (label, text),
                                [client.put_array(chid, CHAR, list(text)),
                                 client.get(chid, CHAR, 0), client.get(chid, CHAR, 5),
                                 client.get(cs.connect(name), STRING)]])
    for name in texts:
        chid = cs.connect(name)
        for text in ("a text that is longer than forty characters, as paths are", "", "x"):
            elements = list(text.encode() + b"\0")
            out.append(["%s after writing the text %r" % (name, text),
                        [client.put_array(chid, CHAR, elements), client.get(chid, CHAR, 0),
                         client.get(chid, STRING, 0)]])
    for name in ("I:D.VAL$", "I:NOSUCH.VAL"):
        chid = cs.ca.create_channel(name, connect=False, auto_cb=False)
        out.append([name + " connects", bool(cs.ca.connect_channel(chid, timeout=1.0))])
    return out


ALARM_WRITES = [5, 49, 50, 51, 99, 100, 101, 500, 799, 800, 801, 849, 850, 851, 1e4, -1e4,
                float("nan"), 7]


def alarm_answers(client, chids):
    """Alarm state and every limit after writes across the limits, and what
    alarm-mask, value-mask and log-mask monitors see meanwhile."""
    out = []
    for name, chid in chids.items():
        seen = {}
        subs = []
        for mask in (DBE_ALARM, DBE_VALUE, 2, DBE_VALUE | DBE_ALARM):
            seen[mask] = []
            subs.append(cs.ca.create_subscription(
                chid, use_time=True, mask=mask,
                callback=lambda value=None, status=None, severity=None, _m=mask, **kw:
                    seen[_m].append([repr(value), status, severity])))
        settle(lambda: all(seen.values()))
        native = cs.ca.field_type(chid)
        for value in ALARM_WRITES:
            if native == LONG and not math.isfinite(value):
                continue
            status = client.put(chid, DOUBLE, value)
            out.append(["%s after WRITE_NOTIFY %r" % (name, value),
                        [status] + [client.get(chid, t) for t in
                                    (STS_DOUBLE, GR_DOUBLE, CTRL_DOUBLE, CTRL_LONG, GR_SHORT,
                                     GR_CHAR, CTRL_FLOAT)]])
            settle(lambda: False, 0.05)
        settle(lambda: False, 0.2)
        for sub in subs:
            cs.ca.clear_subscription(sub[2])
        for mask, updates in seen.items():
            out.append(["%s monitor with mask %d during writes across the limits" % (name, mask),
                        updates])
    return out


def put_answers(client, delayed, refused):
    """Completion after putdelay=MS, reads answered meanwhile, serialized
    completions on one channel and at once on another; refused puts."""
    out = []
    for name, ms in delayed.items():
        chid = cs.connect(name)
        other = client.new_channel(name)
        start = time.monotonic()
        status = client.put(chid, DOUBLE, 1.5)
        took = time.monotonic() - start
        delay = ms / 1000.0
        out.append([name + " put with completion", [status, 0.9 * delay <= took < delay + 2]])
        # One put in progress: reads and a put on another channel are
        # answered at once (the PV is busy: that put completes at once).
        order, done = [], []
        start = time.monotonic()
        client.put_later(chid, DOUBLE, 2.5, done)
        read = client.get(chid, DOUBLE)
        order.append(["read answered at once", read, time.monotonic() - start < 0.5 * delay])
        status = client.put(other, DOUBLE, 4.5)
        order.append(["put on another channel", status, time.monotonic() - start < 0.5 * delay])
        settle(lambda: done, delay + 2)
        order.append(["completion", [s for s, _ in done],
                      all(0.9 * delay <= t - start < delay + 2 for _, t in done)])
        # The put on the other channel came while the PV processed: it is
        # processed once more, and a put meanwhile completes at once.
        start = time.monotonic()
        status = client.put(chid, DOUBLE, 3.5)
        order.append(["put while processed once more", status,
                      time.monotonic() - start < 0.5 * delay])
        time.sleep(2.5 * delay)
        # Two puts on one channel: the second waits for the first, and the
        # read behind it for the second to start.
        done = []
        start = time.monotonic()
        for value in (5.5, 6.5):
            client.put_later(chid, DOUBLE, value, done)
        read = client.get(chid, DOUBLE)
        order.append(["read behind a second put", read,
                      0.9 * delay <= time.monotonic() - start < 1.9 * delay])
        settle(lambda: len(done) == 2, 2 * delay + 2)
        times = [t - start for _, t in done]
        order.append(["two puts on one channel complete one delay apart",
                      [s for s, _ in done],
                      len(times) == 2 and times[0] >= 0.9 * delay and times[1] >= 1.8 * delay])
        out.append([name + " while a put is in progress", order])
    for name in refused:
        chid = cs.connect(name)
        out.append([name + " refused put", [client.put(chid, DOUBLE, 9), client.plain_put(chid, DOUBLE, 9),
                                            client.get(chid, DOUBLE)]])
    return out


def flow_answers(client, port, name):
    """Updates held back between EVENTS_OFF and EVENTS_ON: what arrives
    after EVENTS_ON."""
    raw = Raw(port)
    chid = cs.connect(name)
    sid = raw.create(name)
    raw.c.send(header(EVENT_ADD, 16, DOUBLE, 1, sid, 5) + bytes(12) + b"\0\1\0\0")
    update(raw)
    raw.c.send(header(EVENTS_OFF) + header(ECHO))
    raw.c.expect(ECHO)
    for value in range(1, 51):
        client.put(chid, DOUBLE, value)
    time.sleep(0.3)
    held = select.select([raw.c.sock], [], [], 0)[0] == [] and not raw.c.buf
    raw.c.send(header(EVENTS_ON) + header(ECHO))
    after = []
    while True:
        msg = raw.c.message()
        if msg[0] == ECHO:
            break
        after.append(values(DOUBLE, msg[6], msg[3]))
    time.sleep(0.3)
    raw.c.send(header(ECHO))
    while True:
        msg = raw.c.message()
        if msg[0] == ECHO:
            break
        after.append(values(DOUBLE, msg[6], msg[3]))
    raw.close()
    return [[name + " updates between EVENTS_OFF and EVENTS_ON",
             {"none before EVENTS_ON": held, "after": after}]]


def counter_answers(client, names):
    out = []
    for name in names:
        chid = cs.connect(name)
        first = float(client.get(chid, DOUBLE)[1]["value"])
        time.sleep(1.05)
        steps = float(client.get(chid, DOUBLE)[1]["value"]) - first
        out.append([name + " steps in a second", 5 <= steps <= 15])
    return out


def settle(done, seconds=2.0):
    end = time.time() + seconds
    while not done() and time.time() < end:
        cs.ca.poll(0.01)
