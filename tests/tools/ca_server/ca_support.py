"""Shared helpers for the ca_server tests: start the server on a free port,
point libca (through pyepics) at it, and make typed gets/puts that report
the Channel Access status."""

import ctypes
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SERVER = os.environ.get("CA_SERVER_EXE") or (sys.argv[1] if len(sys.argv) > 1 else "ca_server")
# Debian's libca, in case pyepics does not find it by itself.
LIBCA = next((p for p in ("/usr/lib/x86_64-linux-gnu/libca.so.4.13.5",
                          "/usr/lib/x86_64-linux-gnu/libca.so") if os.path.exists(p)), None)

# DBR types and status codes, as the client library numbers them.
STRING, SHORT, FLOAT, ENUM, CHAR, LONG, DOUBLE = range(7)
ECA_NORMAL, ECA_GETFAIL, ECA_PUTFAIL = 1, 152, 160
ECA_NORDACCESS, ECA_NOWTACCESS = 368, 376

_CTYPES = {SHORT: ctypes.c_int16, FLOAT: ctypes.c_float, ENUM: ctypes.c_uint16,
           CHAR: ctypes.c_uint8, LONG: ctypes.c_int32, DOUBLE: ctypes.c_double}


class Server:
    """A ca_server process serving the given PV file text."""

    command = [SERVER, "-p", "0"]
    ready = "ca_server ready on"

    def __init__(self, pv_text, *args):
        fd, self.pv_file = tempfile.mkstemp(suffix=".pvs", text=True)
        with os.fdopen(fd, "w") as f:
            f.write(pv_text)
        self.proc = subprocess.Popen(self.command + [*args, self.pv_file],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        # Exactly this line, and nothing else unless -v was given.
        if not re.fullmatch(self.ready + r" [0-9.]+:\d+\n", line):
            self.proc.kill()
            self.proc.communicate()
            os.unlink(self.pv_file)
            raise RuntimeError("%s did not start: %r" % (self.command[-1], line))
        self.port = int(line.rsplit(":", 1)[1])

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        """Stops with SIGTERM; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        self.proc.stdout.close()
        self.proc.stdin.close()
        os.unlink(self.pv_file)
        return status


# A real soft IOC serving the same PV file (softioc_server.py, which needs
# SOFTIOC and CA_SERVER in the environment); None when SOFTIOC is not set.
SOFTIOC = os.environ.get("SOFTIOC") or None
SOFTIOC_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "softioc_server.py")


class IocServer(Server):
    """A soft IOC serving the given PV file text; it stops when its
    standard input closes, so it never outlives the test."""

    command = [sys.executable, SOFTIOC_SERVER]
    ready = "softIoc ready on"


def serve_module(pv_text):
    """setUpModule and tearDownModule for a test file served by one
    ca_server that libca talks to."""
    servers = []

    def set_up():
        servers.append(Server(pv_text))
        use_server(servers[0].port)

    def tear_down():
        ca.finalize_libca()
        servers[0].stop()

    return set_up, tear_down


def client_env(port):
    """Environment that points libca at the server on port only."""
    env = dict(os.environ)
    env["EPICS_CA_ADDR_LIST"] = "127.0.0.1:%d" % port
    env["EPICS_CA_AUTO_ADDR_LIST"] = "NO"
    if LIBCA:
        env.setdefault("PYEPICS_LIBCA", LIBCA)
    return env


def use_server(port):
    """Points this process's libca at the server; imports pyepics."""
    os.environ.update(client_env(port))
    global epics, ca
    import epics
    import epics.ca as ca
    import epics.dbr
    return epics


def connect(name, timeout=2.0):
    chid = ca.create_channel(name, connect=False, auto_cb=False)
    if not ca.connect_channel(chid, timeout=timeout):
        raise AssertionError("cannot connect to " + name)
    return chid


def get(chid, dbr_type, timeout=1.0):
    """Value read as dbr_type, or None when no (good) answer came in time."""
    return ca.get(chid, ftype=dbr_type, timeout=timeout)


def put(chid, dbr_type, value, timeout=2.0):
    """Writes one value as dbr_type with a put callback; returns the status
    the server gave (or the library's immediate refusal)."""
    if dbr_type == STRING:
        buf = ctypes.create_string_buffer(value.encode(), 40)
    else:
        buf = _CTYPES[dbr_type](value)
    result = []
    # libca passes struct event_handler_args by value.
    callback_type = ctypes.CFUNCTYPE(None, epics.dbr.event_handler_args)
    callback = callback_type(lambda args: result.append(args.status))
    status = ca.libca.ca_array_put_callback(dbr_type, 1, chid, ctypes.byref(buf),
                                            callback, None)
    if status != ECA_NORMAL:
        return status
    ca.flush_io()
    end = time.time() + timeout
    while not result and time.time() < end:
        ca.pend_event(0.01)
    return result[0] if result else None


def plain_put(chid, dbr_type, value):
    """Writes without notification (CA_PROTO_WRITE); returns libca's status."""
    buf = (ctypes.create_string_buffer(value.encode(), 40) if dbr_type == STRING
           else _CTYPES[dbr_type](value))
    status = ca.libca.ca_array_put(dbr_type, 1, chid, ctypes.byref(buf))
    ca.flush_io()
    return status


def raw_get_status(chid, dbr_type):
    """libca's own answer to ca_array_get (before anything is sent)."""
    buf = ctypes.create_string_buffer(64)
    return ca.libca.ca_array_get(dbr_type, 1, chid, buf)


# ---- a raw Channel Access client, for what libca hides -------------------

def header(cmd, size=0, dtype=0, count=0, p1=0, p2=0):
    return struct.pack(">HHHHII", cmd, size, dtype, count, p1, p2)


def padded(data):
    return data + b"\0" * (-len(data) % 8)


class RawCircuit:
    """A TCP circuit spoken byte by byte."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=2)
        self.buf = b""
        self.send(header(0, 0, 0, 13) + header(20, 8, 0, 0) + b"tester\0\0")

    def send(self, data):
        self.sock.sendall(data)

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("server closed the circuit")
            self.buf += chunk
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def message(self):
        """Next message: (cmd, size, dtype, count, p1, p2, payload)."""
        cmd, size, dtype, count, p1, p2 = struct.unpack(">HHHHII", self._read(16))
        if size == 0xFFFF:
            size, count = struct.unpack(">II", self._read(8))
        return (cmd, size, dtype, count, p1, p2, self._read(size))

    def expect(self, cmd):
        """Skips other messages until one with command cmd arrives."""
        while True:
            msg = self.message()
            if msg[0] == cmd:
                return msg

    def create(self, name, cid):
        """Creates a channel; returns (native type, sid) or None if refused."""
        self.send(header(18, len(padded(name.encode() + b"\0")), 0, 0, cid, 13)
                  + padded(name.encode() + b"\0"))
        while True:
            msg = self.message()
            if msg[0] == 26:
                return None
            if msg[0] == 18:
                return msg[2], msg[5]

    def close(self):
        self.sock.close()
