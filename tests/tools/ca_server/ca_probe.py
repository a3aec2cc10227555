"""Everything a Channel Access client can see of a set of PVs, as one JSON
list of [what, answer] pairs, so that two servers serving the same PVs can be
compared answer by answer.

    python3 ca_probe.py PORT PVFILE     (prints the JSON on stdout)

The PV file is ca_server's. For every PV it records the native type, element
count and access rights, the answer to a read as each DBR type (0 to 34,
STSACK_STRING, CLASS_NAME) with every field of the structure decoded, and a
fixed sequence of writes (WRITE_NOTIFY with each plain type and a set of
values, a few plain WRITEs) with their status and the value read back, and
the updates a value monitor sees. Time stamps are reduced to "set" or "0".
"""

import ctypes
import json
import math
import os
import struct
import sys
import time

import ca_support as cs
import probe_features as features

# Layout of each DBR structure (native byte order and alignment, as libca
# hands it over) and the names of its fields.
_PLAIN = {0: "40s", 1: "h", 2: "f", 3: "H", 4: "B", 5: "i", 6: "d"}
_STS = {0: ("hh40s", "status severity value"), 1: ("hhh", "status severity value"),
        2: ("hhf", "status severity value"), 3: ("hhH", "status severity value"),
        4: ("hhBB", "status severity pad value"), 5: ("hhi", "status severity value"),
        6: ("hhid", "status severity pad value")}
_TIME = {0: ("hhII40s", "status severity secs nsecs value"),
         1: ("hhIIhh", "status severity secs nsecs pad value"),
         2: ("hhIIf", "status severity secs nsecs value"),
         3: ("hhIIhH", "status severity secs nsecs pad value"),
         4: ("hhIIhbB", "status severity secs nsecs pad pad1 value"),
         5: ("hhIIi", "status severity secs nsecs value"),
         6: ("hhIIid", "status severity secs nsecs pad value")}
_LIMITS = "upper_disp lower_disp upper_alarm upper_warning lower_warning lower_alarm"
_CTRL_LIMITS = _LIMITS + " upper_ctrl lower_ctrl"
_ENUM_GR = ("hhh416sH", "status severity no_str strs value")


def _graphic(ctrl):
    limits, n = (_CTRL_LIMITS, 8) if ctrl else (_LIMITS, 6)
    return {
        0: ("hh40s", "status severity value"),
        1: ("hh8s%dh" % (n + 1), "status severity units %s value" % limits),
        2: ("hhhh8s%df" % (n + 1), "status severity precision pad units %s value" % limits),
        3: _ENUM_GR,
        4: ("hh8s%dBBB" % n, "status severity units %s pad value" % limits),
        5: ("hh8s%di" % (n + 1), "status severity units %s value" % limits),
        6: ("hhhh8s%dd" % (n + 1), "status severity precision pad units %s value" % limits),
    }


LAYOUTS = {}
for plain in range(7):
    LAYOUTS[plain] = (_PLAIN[plain], "value")
    LAYOUTS[7 + plain] = _STS[plain]
    LAYOUTS[14 + plain] = _TIME[plain]
    LAYOUTS[21 + plain] = _graphic(False)[plain]
    LAYOUTS[28 + plain] = _graphic(True)[plain]
LAYOUTS[37] = ("hhHH40s", "status severity ackt acks value")
LAYOUTS[38] = ("40s", "value")

TYPE_NAMES = {}
for plain, name in enumerate(["STRING", "SHORT", "FLOAT", "ENUM", "CHAR", "LONG", "DOUBLE"]):
    for base, prefix in ((0, ""), (7, "STS_"), (14, "TIME_"), (21, "GR_"), (28, "CTRL_")):
        TYPE_NAMES[base + plain] = "DBR_" + prefix + name
TYPE_NAMES[37] = "DBR_STSACK_STRING"
TYPE_NAMES[38] = "DBR_CLASS_NAME"


def _text(raw):
    return raw.split(b"\0", 1)[0].decode("latin-1")


def _number(v):
    # repr keeps every digit of a float, and nan compares equal as text.
    return repr(v) if isinstance(v, float) else v


def decode(dbr_type, data, count=None, value_offset=0):
    """The fields of one DBR structure as a dict of JSON-able values. Given
    the answer's count, its elements are under "values" (none for count 0:
    what the value slot holds then is undefined) and the count under
    "count"."""
    fields = _decode_struct(dbr_type, data)
    if count is not None:
        del fields["value"]
        fields["count"] = count
        plain = dbr_type % 7 if dbr_type < 35 else 0
        size = struct.calcsize(_PLAIN[plain])
        fields["values"] = [_element(plain, data[value_offset + k * size:
                                                 value_offset + (k + 1) * size])
                            for k in range(count)]
    return fields


def _element(plain, raw):
    v = struct.unpack(_PLAIN[plain], raw)[0]
    return _text(v) if isinstance(v, bytes) else _number(v)


def _decode_struct(dbr_type, data):
    fmt, names = LAYOUTS[dbr_type]
    values = struct.unpack(fmt, data[:struct.calcsize(fmt)])
    fields = {}
    for name, v in zip(names.split(), values):
        if name.startswith("pad"):
            continue
        if name == "strs":
            n = max(0, min(fields["no_str"], 16))
            v = [_text(v[k * 26:(k + 1) * 26]) for k in range(n)]
        elif isinstance(v, bytes):
            v = _text(v)
        fields[name] = _number(v)
    if "secs" in fields:
        # Time stamps differ between any two servers: only "set or not".
        fields["stamp"] = "set" if fields.pop("secs") else "0"
        del fields["nsecs"]
    return fields


class Client:
    """Raw libca calls with callbacks, for statuses that pyepics hides."""

    def __init__(self):
        self.lib = cs.ca.initialize_libca()
        self.sizes = (ctypes.c_ushort * 39).in_dll(self.lib, "dbr_size")
        self.value_sizes = (ctypes.c_ushort * 39).in_dll(self.lib, "dbr_value_size")
        self.value_offsets = (ctypes.c_ushort * 39).in_dll(self.lib, "dbr_value_offset")
        self.exceptions = []
        self._keep = []
        exc_type = ctypes.CFUNCTYPE(None, ExceptionArgs)
        self._exc_cb = exc_type(lambda args: self.exceptions.append(args.stat))
        self.lib.ca_add_exception_event(self._exc_cb, None)
        cb_type = ctypes.CFUNCTYPE(None, EventArgs)
        self._cb_type = cb_type
        self._results = {}
        self._get_cb = cb_type(self._on_get)
        self._put_cb = cb_type(self._on_put)
        self._next = 1

    def _on_get(self, args):
        key = args.usr or 0
        data = None
        if args.status == cs.ECA_NORMAL and args.dbr:
            size = self.sizes[args.type] + max(args.count - 1, 0) * self.value_sizes[args.type]
            data = ctypes.string_at(args.dbr, size)
        self._results[key] = (args.status, args.count, data)

    def _on_put(self, args):
        self._results[args.usr or 0] = (args.status, None, None)

    def _wait(self, key, timeout=3.0):
        end = time.time() + timeout
        while key not in self._results and time.time() < end:
            self.lib.ca_pend_event(ctypes.c_double(0.0002))
        return self._results.pop(key, None)

    def get(self, chid, dbr_type, count=1):
        """(status, decoded fields) of a read with callback; for a count
        other than 1 with every element answered."""
        key = self._next
        self._next += 1
        status = self.lib.ca_array_get_callback(dbr_type, count, chid, self._get_cb,
                                                ctypes.c_void_p(key))
        if status != cs.ECA_NORMAL:
            return status, None
        self.lib.ca_flush_io()
        result = self._wait(key)
        if result is None:
            return "no answer", None
        status, answered, data = result
        if data is None:
            return status, None
        if count == 1:
            return status, decode(dbr_type, data)
        return status, decode(dbr_type, data, answered, self.value_offsets[dbr_type])

    def put_array(self, chid, dbr_type, values):
        """Status of a WRITE_NOTIFY of the given elements."""
        key = self._next
        self._next += 1
        buf = _array_buffer(dbr_type, values)
        status = self.lib.ca_array_put_callback(dbr_type, len(values), chid, buf,
                                                self._put_cb, ctypes.c_void_p(key))
        if status != cs.ECA_NORMAL:
            return status
        self.lib.ca_flush_io()
        result = self._wait(key)
        return "no answer" if result is None else result[0]

    def put(self, chid, dbr_type, value):
        """Status of a WRITE_NOTIFY."""
        return self.put_array(chid, dbr_type, [value])

    def new_channel(self, name):
        """A channel of its own (pyepics hands out one per name)."""
        chid = ctypes.c_void_p()
        self.lib.ca_create_channel(name.encode(), None, None, 0, ctypes.byref(chid))
        self.lib.ca_pend_io(ctypes.c_double(5.0))
        return chid

    def put_later(self, chid, dbr_type, value, done):
        """Starts a WRITE_NOTIFY; its completion appends (status, time) to done."""
        callback = self._cb_type(lambda args: done.append((args.status, time.monotonic())))
        self._keep.append(callback)
        status = self.lib.ca_array_put_callback(dbr_type, 1, chid,
                                                ctypes.byref(_buffer(dbr_type, value)),
                                                callback, None)
        self.lib.ca_flush_io()
        return status

    def plain_put(self, chid, dbr_type, value):
        """libca's status of a WRITE, and the exceptions it brought."""
        del self.exceptions[:]
        status = self.lib.ca_array_put(dbr_type, 1, chid, ctypes.byref(_buffer(dbr_type, value)))
        self.lib.ca_flush_io()
        # An ECHO round trip: whatever the server answers to the write has
        # arrived once a read behind it is answered.
        self.get(chid, 0)
        return [status] + list(self.exceptions)


class EventArgs(ctypes.Structure):
    """struct event_handler_args, the user pointer carrying a number."""
    _fields_ = [("usr", ctypes.c_void_p), ("chid", ctypes.c_void_p), ("type", ctypes.c_long),
                ("count", ctypes.c_long), ("dbr", ctypes.c_void_p), ("status", ctypes.c_int)]


class ExceptionArgs(ctypes.Structure):
    _fields_ = [("usr", ctypes.c_void_p), ("chid", ctypes.c_void_p), ("type", ctypes.c_long),
                ("count", ctypes.c_long), ("addr", ctypes.c_void_p), ("stat", ctypes.c_long),
                ("op", ctypes.c_long), ("ctx", ctypes.c_char_p), ("pFile", ctypes.c_char_p),
                ("lineNo", ctypes.c_uint)]


_CTYPES = {1: ctypes.c_int16, 2: ctypes.c_float, 3: ctypes.c_uint16, 4: ctypes.c_uint8,
           5: ctypes.c_int32, 6: ctypes.c_double}


def _array_buffer(dbr_type, values):
    if dbr_type == 0:
        return ctypes.create_string_buffer(b"".join(v.encode().ljust(40, b"\0") for v in values))
    return (_CTYPES[dbr_type] * len(values))(*values)


def _buffer(dbr_type, value):
    if dbr_type == 0:
        return ctypes.create_string_buffer(value.encode(), 40)
    return _CTYPES[dbr_type](value)


# Values written with each plain type: conversions, ranges, non-finite
# numbers and texts that are not numbers.
WRITES = {
    0: ["12abc", "0x1A", "", "abc", "1e3", "3.7", "-12", " 2.5", "On", "Auto", "2", " 1 ",
        "99999999999", "1e999", "40000", "-1", "nan", "inf", "x" * 39, "-0", "1e40", "-1e40",
        "1e-50", "65536", "-65535"],
    1: [-1, 32767, -32768, 7, 2],
    2: [2.5, -2.9, 1e30, float("nan"), float("inf"), 123456792.0, 1e-7],
    3: [0, 1, 2, 3, 16, 65535],
    4: [0, 65, 200, 255],
    5: [123456789, -1, 70000, 65536, -2147483648, 3],
    6: [70000.7, -2.9, 32768.0, 1e40, -1e40, float("nan"), float("inf"), float("-inf"),
        -0.0, 2.5, 1e10, 1e20, 0.000123456789, 1234567.891],
}


def probe(lines):
    """Every answer for the PVs of the PV file's lines (name, type, flags):
    reads and writes of every PV but those that count or delay their puts,
    then the features of the PVs that have them."""
    client = Client()
    plain = [line[0] for line in lines if not flagged(line, "putdelay=", "count=")]
    out = probe_plain(client, plain)
    chids = {line[0]: cs.connect(line[0]) for line in lines}
    arrays = {name: chid for name, chid in chids.items()
              if name in plain and cs.ca.element_count(chid) > 1}
    out += features.array_answers(client, int(sys.argv[1]), arrays,
                                  {name: cs.ca.element_count(chid) for name, chid in arrays.items()})
    strings = [line[0] for line in lines if line[1] == "string" and not flagged(line, "no")][:2]
    texts = [line[0] for line in lines if line[1].startswith("char[") and not flagged(line, "no")]
    out += features.long_string_answers(client, strings, texts)
    out += features.alarm_answers(client, {line[0]: chids[line[0]] for line in lines
                                           if flagged(line, "warn=", "alarm=")})
    out += features.put_answers(client, {line[0]: int(flagged(line, "putdelay=")[9:])
                                         for line in lines if flagged(line, "putdelay=")},
                                [line[0] for line in lines if flagged(line, "rejectput")])
    flow = next(line[0] for line in lines if line[1] == "long" and len(line) == 3)
    out += features.flow_answers(client, int(sys.argv[1]), flow)
    out += features.counter_answers(client, [line[0] for line in lines if flagged(line, "count=")])
    return out


def flagged(line, *prefixes):
    """The first flag of a PV file line that starts with one of prefixes."""
    return next((flag for flag in line[3:] if flag.startswith(prefixes)), None)


def probe_plain(client, names):
    """Reads as every type, writes with every plain type and their read
    back, and value monitors."""
    out = []
    chids = {}
    for name in names:
        chid = cs.connect(name, timeout=5.0)
        chids[name] = chid
        out.append([name + " connection", {
            "native": cs.ca.field_type(chid), "count": cs.ca.element_count(chid),
            "read": bool(cs.ca.read_access(chid)), "write": bool(cs.ca.write_access(chid))}])

    def read_all(name, label):
        for dbr_type in list(range(35)) + [37, 38]:
            out.append(["%s %s read as %s" % (name, label, TYPE_NAMES[dbr_type]),
                        client.get(chids[name], dbr_type)])

    def read_back(name, label):
        # The text with the alarm state, and the value as every other type.
        for dbr_type in (7, 1, 2, 3, 4, 5, 6):
            out.append(["%s %s read back as %s" % (name, label, TYPE_NAMES[dbr_type]),
                        client.get(chids[name], dbr_type)])

    for name in names:
        read_all(name, "at start")
        out.append([name + " read with count 0", client.get(chids[name], 0, count=0)])
    for name in names:
        for dbr_type in range(7):
            for value in WRITES[dbr_type]:
                label = "after WRITE_NOTIFY %s %r" % (TYPE_NAMES[dbr_type], value)
                out.append(["%s %s: status" % (name, label),
                            client.put(chids[name], dbr_type, value)])
                read_back(name, label)
        for dbr_type, value in ((0, "abc"), (0, "6"), (6, 1e40), (5, 4)):
            label = "after WRITE %s %r" % (TYPE_NAMES[dbr_type], value)
            out.append(["%s %s: status and exceptions" % (name, label),
                        client.plain_put(chids[name], dbr_type, value)])
            read_back(name, label)
        read_all(name, "at end")
    out.extend(monitor_updates(client, names, chids))
    return out


def monitor_updates(client, names, chids):
    """Value updates seen by a DBE_VALUE monitor through a write sequence
    that repeats a value and changes it, on the first writable PV of each
    native type."""
    out = []
    types_seen = set()
    for name in names:
        native = cs.ca.field_type(chids[name])
        if not cs.ca.write_access(chids[name]) or native in types_seen:
            continue
        types_seen.add(native)
        seen = []
        start = client.get(chids[name], 0)[1]
        sub = cs.ca.create_subscription(
            chids[name], ftype=0, mask=cs.epics.dbr.DBE_VALUE,
            callback=lambda value=None, **kw: seen.append(value))
        # The first update first: a server may fold updates that queue up.
        settle(lambda: seen)
        statuses = []
        first = start["value"] if start else ""
        for value in (first, first, "1", "1", "2", first):
            statuses.append(client.put(chids[name], 0, value))
            settle(lambda: False, 0.1)
        cs.ca.clear_subscription(sub[2])
        out.append([name + " monitor (DBE_VALUE) during writes of the same and new values",
                    {"statuses": statuses, "updates": [str(v) for v in seen]}])
    return out


def settle(done, seconds=2.0):
    """Lets libca deliver callbacks until done() or the time is up."""
    end = time.time() + seconds
    while not done() and time.time() < end:
        cs.ca.poll(0.01)


def pv_lines(pv_file):
    """Name, type and flags of each PV (the value left out: it may hold
    blanks)."""
    lines = []
    with open(pv_file) as f:
        for line in f:
            fields = line.split("#", 1)[0].split()
            if fields:
                lines.append(fields[:2] + [""] + [f for f in fields[3:] if "=" in f or
                                                  f in ("noread", "nowrite", "noanswer",
                                                        "rejectput")])
    return lines


def main():
    port, pv_file = int(sys.argv[1]), sys.argv[2]
    cs.use_server(port)
    observed = probe(pv_lines(pv_file))
    json.dump(observed, sys.stdout, indent=0)
    sys.stdout.flush()
    # Skip the library's exit handlers: nothing to tidy in a probe process.
    os._exit(0)


if __name__ == "__main__":
    main()
