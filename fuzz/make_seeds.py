#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into
fuzz/corpus/TARGET/seed-NAME (inputs kept from faults found live beside them
as crash-NAME and are left alone).  Run it again after changing a seed here.

  interpreter:  command texts separated by NUL bytes; a first byte below 0x04
                picks board-library failures (1: conversion, 2: stop, 3: both).
  ca_requests:  Channel Access messages (the same bytes serve as a search
                datagram and as a circuit's stream); the PV names are those of
                ca_requests_fuzz.cpp.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    path = os.path.join(HERE, "corpus", target, "seed-" + name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


# ---- interpreter --------------------------------------------------------

def commands(*texts, failures=None):
    data = b"\0".join(t.encode() for t in texts)
    return (bytes([failures]) if failures is not None else b"") + data


INTERPRETER = {
    "read-status": commands("READ_STATUS"),
    "settings": commands("NUM_CHANS 101", "DAC_STEP 100", "READ_NEW_SETTINGS", "NUM_CHANS 400",
                         "READ_NEW_SETTINGS", "DAC_STEP -1", "READ_DAC_STEP"),
    "run-cycle": commands("RUN_REQUEST RUN_START", "READ_RUN_STATE", "RUN_REQUEST RUN_PAUSE_NOW",
                          "RUN_REQUEST RUN_RESUME", "RUN_REQUEST RUN_STOP_AT_END", "READ_RUN_REQUEST",
                          "RUN_REQUEST RUN_STOP_NOW", "READ_STATUS"),
    "run-requests": commands("RUN_REQUEST RUN_WAKE_UP", "RUN_REQUEST RUN_FORCE_STATE",
                             "RUN_REQUEST RUN_NO_REQUEST", "RUN_REQUEST RUN_PAUSE_AT_END",
                             "READ_RUN_REQUEST", "RUN_REQUEST RUN_BOGUS", "RUN_REQUEST"),
    "refused-start": commands("NUM_CHANS 400", "DAC_STEP 100", "RUN_REQUEST RUN_START", "READ_RUN_STATE"),
    "dac-and-channel": commands("SET_DAC 0x7fff", "READ_DAC", "CHANNEL 10", "READ_CHANNEL", "READ_DAC",
                                "SET_DAC -1", "CHANNEL 65536"),
    "forced-state": commands("RUN_STATE RUN_GOING", "SET_DAC 5", "CHANNEL 3", "RUN_STATE RUN_PAUSED",
                             "RUN_STATE RUN_HALTED", "CHANNEL 3", "RUN_STATE nope"),
    "enables": commands("ENABLE_SCALER 2 5", "READ_ENABLE_SCALER 2", "READ_ENABLE_SCALER 0",
                        "READ_ENABLE_SCALER 5", "ENABLE_SCALER 4", "ENABLE_ADC 5", "ENABLE_TDC 0",
                        "READ_ENABLE_ADC", "READ_ENABLE_TDC"),
    "numbers": commands("DWELL_TIME 1000000", "DWELL_TIME 0", "SETTLE_TIME -5", "SETTLE_TIME 100000000",
                        "ADC_METHOD 7", "READ_ADC_METHOD", "DEBUG 3 4", "READ_DEBUG_STATUS",
                        "RAMP_DAC 012", "READ_RAMP_DAC", "DWELL_TIME 4294967496", "DEBUG x"),
    "queue": commands("RESET_QUEUE", "READ_QUEUE_LEN", "READ_SCANS", "READ_ACTIVE_SETTINGS", "READ_DEBUG"),
    "refused-texts": commands("read_status", "", "   READ_DAC   ", "READ_DAC\tX", "DEBUG " + "1" * 300,
                              "NOT_A_KEYWORD 1"),
    "board-fails": commands("READ_STATUS", "NUM_CHANS 2", "READ_NEW_SETTINGS", "STOP_DAQ_BOARD",
                            failures=3),
}

# ---- ca_requests --------------------------------------------------------

VERSION, EVENT_ADD, EVENT_CANCEL, READ, WRITE, SEARCH = 0, 1, 2, 3, 4, 6
EVENTS_OFF, EVENTS_ON = 8, 9
READ_SYNC, CLEAR_CHANNEL, READ_NOTIFY, CREATE_CHAN = 10, 12, 15, 18
WRITE_NOTIFY, CLIENT_NAME, HOST_NAME, ECHO = 19, 20, 21, 23
STRING, SHORT, FLOAT, ENUM, CHAR, LONG, DOUBLE = range(7)
TIME_STRING, GR_ENUM, CTRL_DOUBLE, CTRL_ENUM = 14, 24, 34, 31
STS_DOUBLE, CTRL_LONG = 13, 33
PUT_ACKT, STSACK_STRING, CLASS_NAME = 35, 37, 38
DO_REPLY = 10


def pad(payload):
    return payload + b"\0" * (-len(payload) % 8)


def msg(command, dtype=0, count=0, p1=0, p2=0, payload=b""):
    payload = pad(payload)
    return struct.pack(">HHHHII", command, len(payload), dtype, count, p1, p2) + payload


def ext_msg(command, dtype, count, p1, p2, payload=b""):
    """The extended header: sizes in a 32-bit annex."""
    payload = pad(payload)
    return struct.pack(">HHHHIIII", command, 0xFFFF, dtype, 0, p1, p2, len(payload), count) + payload


def name(text):
    return text.encode() + b"\0"


def create(pv, cid):
    return msg(CREATE_CHAN, 0, 0, cid, 13, name(pv))


def hello():
    return msg(VERSION, 0, 13) + msg(CLIENT_NAME, payload=name("fuzz")) + msg(HOST_NAME, payload=name("here"))


def event_add(dtype, sid, subid, mask):
    return msg(EVENT_ADD, dtype, 1, sid, subid, struct.pack(">fffH", 0, 0, 0, mask))


CA = {
    "search": msg(VERSION, 0, 13, 7) + msg(SEARCH, DO_REPLY, 13, 1, 1, name("f:short"))
              + msg(SEARCH, DO_REPLY, 13, 2, 2, name("no:such"))
              + msg(SEARCH, 5, 13, 3, 3, name("f:str")),
    "session": hello() + create("f:short", 1)
               + msg(READ_NOTIFY, SHORT, 1, 0, 1)
               + msg(WRITE_NOTIFY, SHORT, 1, 0, 2, struct.pack(">h", 7))
               + msg(READ_NOTIFY, CTRL_DOUBLE, 1, 0, 3)
               + msg(READ, TIME_STRING, 1, 0, 4)
               + msg(ECHO) + msg(READ_SYNC)
               + msg(CLEAR_CHANNEL, 0, 0, 0, 1),
    "monitor": hello() + create("f:double", 1)
               + event_add(DOUBLE, 0, 5, 5)
               + msg(WRITE, DOUBLE, 1, 0, 6, struct.pack(">d", 2.5))
               + msg(EVENT_CANCEL, DOUBLE, 1, 0, 5)
               + msg(WRITE, DOUBLE, 1, 0, 7, struct.pack(">d", -1e300)),
    "text-and-enum": hello() + create("f:str", 1) + create("f:enum", 2)
                     + msg(WRITE_NOTIFY, STRING, 1, 0, 1, b"new text")
                     + msg(READ_NOTIFY, GR_ENUM, 1, 1, 2)
                     + msg(READ_NOTIFY, CTRL_ENUM, 1, 1, 3)
                     + msg(WRITE_NOTIFY, STRING, 1, 1, 4, b"Auto")
                     + msg(WRITE_NOTIFY, STRING, 1, 1, 5, b"abc")
                     + msg(READ_NOTIFY, CLASS_NAME, 1, 0, 6)
                     + msg(READ_NOTIFY, STSACK_STRING, 1, 0, 7)
                     + msg(WRITE_NOTIFY, PUT_ACKT, 1, 0, 8, struct.pack(">H", 1)),
    "text-conversions": hello() + create("f:fine", 1) + create("f:float", 2) + create("f:nan", 3)
                        + msg(READ_NOTIFY, STRING, 1, 0, 1)
                        + msg(WRITE_NOTIFY, DOUBLE, 1, 0, 2, struct.pack(">d", 9999999.987654321))
                        + msg(READ_NOTIFY, STRING, 1, 0, 3)
                        + msg(WRITE_NOTIFY, STRING, 1, 1, 4, b"1e3")
                        + msg(READ_NOTIFY, STRING, 1, 1, 5)
                        + msg(WRITE_NOTIFY, FLOAT, 1, 1, 6, struct.pack(">f", -123456.75))
                        + msg(READ_NOTIFY, STRING, 1, 1, 7)
                        + msg(READ_NOTIFY, STRING, 1, 2, 8)
                        + msg(READ_NOTIFY, LONG, 1, 2, 9),
    "late-answers": hello() + create("f:slow", 1) + create("f:slowonce", 2)
                    + msg(READ_NOTIFY, SHORT, 1, 0, 1) + msg(ECHO)
                    + msg(READ_NOTIFY, STRING, 1, 1, 2) + msg(READ_NOTIFY, STRING, 1, 1, 3),
    "refusals": hello() + create("f:noread", 1) + create("f:nowrite", 2) + create("f:silent", 3)
                + create("no:such", 4)
                + msg(READ_NOTIFY, SHORT, 1, 0, 1)
                + msg(WRITE_NOTIFY, LONG, 1, 1, 2, struct.pack(">i", 5))
                + msg(WRITE, LONG, 1, 1, 3, struct.pack(">i", 5))
                + msg(READ_NOTIFY, FLOAT, 1, 2, 4)
                + msg(READ_NOTIFY, SHORT, 1, 99, 5)
                + msg(READ_NOTIFY, 200, 1, 0, 6)
                + msg(WRITE_NOTIFY, 9, 1, 1, 7, b"\0" * 8)
                + msg(WRITE_NOTIFY, SHORT, 0, 1, 8),
    "extended": hello() + create("f:long", 1) + create("f:char", 2)
                + ext_msg(READ_NOTIFY, LONG, 1, 0, 1)
                + ext_msg(READ_NOTIFY, LONG, 2, 0, 2)
                + ext_msg(WRITE_NOTIFY, CHAR, 1, 1, 3, b"\x80")
                + msg(READ_NOTIFY, CHAR, 1, 1, 4),
    "arrays": hello() + create("f:wave", 1) + create("f:ramp", 2)
              + msg(READ_NOTIFY, DOUBLE, 0, 0, 1)
              + msg(READ_NOTIFY, DOUBLE, 20, 0, 2)
              + msg(WRITE_NOTIFY, DOUBLE, 3, 0, 3, struct.pack(">3d", 7.5, -2, 1e3))
              + msg(READ_NOTIFY, CTRL_LONG, 0, 0, 4)
              + msg(WRITE_NOTIFY, STRING, 2, 1, 5, b"1".ljust(40, b"\0") + b"abc".ljust(40, b"\0"))
              + msg(WRITE_NOTIFY, SHORT, 0, 1, 6, bytes(8))
              + msg(READ_NOTIFY, STRING, 0, 1, 7)
              + ext_msg(READ_NOTIFY, DOUBLE, 1000000, 0, 8),
    "long-strings": hello() + create("f:str.VAL$", 1) + create("f:text", 2) + create("f:str.VAL", 3)
                    + msg(READ_NOTIFY, CHAR, 0, 0, 1)
                    + msg(WRITE_NOTIFY, CHAR, 3, 0, 2, b"xyz")
                    + msg(READ_NOTIFY, STRING, 0, 0, 3)
                    + msg(READ_NOTIFY, CHAR, 0, 1, 4)
                    + msg(WRITE_NOTIFY, CHAR, 6, 1, 5, b"/data\0")
                    + msg(READ_NOTIFY, STRING, 1, 2, 6),
    "puts-and-alarms": hello() + create("f:putdelay", 1) + create("f:reject", 2) + create("f:limits", 3)
                       + msg(WRITE_NOTIFY, DOUBLE, 1, 0, 1, struct.pack(">d", 1))
                       + msg(READ_NOTIFY, DOUBLE, 1, 0, 2)
                       + msg(WRITE_NOTIFY, DOUBLE, 1, 0, 3, struct.pack(">d", 2))
                       + msg(WRITE_NOTIFY, LONG, 1, 1, 4, struct.pack(">i", 9))
                       + msg(WRITE, LONG, 1, 1, 5, struct.pack(">i", 9))
                       + msg(EVENT_ADD, STS_DOUBLE, 1, 2, 6, struct.pack(">fffH", 0, 0, 0, 4))
                       + msg(WRITE, DOUBLE, 1, 2, 7, struct.pack(">d", 900))
                       + msg(WRITE, DOUBLE, 1, 2, 8, struct.pack(">d", 40))
                       + msg(READ_NOTIFY, CTRL_DOUBLE, 1, 2, 9),
    "flow-control": hello() + create("f:limits", 1)
                    + event_add(DOUBLE, 0, 5, 1)
                    + msg(EVENTS_OFF)
                    + msg(WRITE, DOUBLE, 1, 0, 6, struct.pack(">d", 3))
                    + msg(WRITE, DOUBLE, 1, 0, 7, struct.pack(">d", 4))
                    + msg(EVENTS_ON)
                    + msg(EVENT_CANCEL, DOUBLE, 1, 0, 5),
}


def main():
    for key, data in INTERPRETER.items():
        write("interpreter", key, data)
    for key, data in CA.items():
        write("ca_requests", key, data)


if __name__ == "__main__":
    main()
