"""ca_server as a process: command line, ready line, signals (SIGUSR1 drops
the circuits, SIGINT/SIGTERM stop it), several clients at once, logging."""

import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import ca_support as cs
from ca_support import header

PVS = """
X:SHARED  long    0
X:A       double  0
X:B       double  0
X:C       double  0
X:D       double  0
"""

# One client process: writes then reads back its own PV, and bumps X:SHARED.
CLIENT = textwrap.dedent("""
    import sys, epics
    name = sys.argv[1]
    pv = epics.PV(name)
    for k in range(20):
        if pv.put(k + 0.5, wait=True, timeout=2) != 1 or pv.get(use_monitor=False) != k + 0.5:
            sys.exit("%s: round %d failed" % (name, k))
    if epics.caput("X:SHARED", 1, wait=True, timeout=2) != 1:
        sys.exit("X:SHARED put failed")
""")


def run_server(*args):
    """Runs ca_server to completion (for argument errors)."""
    return subprocess.run([cs.SERVER, *args], capture_output=True, text=True, timeout=5)


def run_server_on(text, *args):
    """Runs ca_server with args on a PV file holding text; returns its path and the result."""
    fd, path = tempfile.mkstemp(suffix=".pvs", text=True)
    try:
        with os.fdopen(fd, "w") as f:
            f.write(text)
        return path, run_server(*args, path)
    finally:
        os.unlink(path)


def check_refusals(test, cases):
    """Each (PV file text, message) case: ca_server exits 1 and prints
    FILE + message."""
    for text, message in cases:
        path, result = run_server_on(text, "-p", "0")
        test.assertEqual(result.returncode, 1, text)
        test.assertIn(path + message, result.stderr, text)


class CommandLine(unittest.TestCase):
    def test_bad_arguments_print_usage_and_exit_2(self):
        for args in ([], ["-x", "f"], ["-p"], ["-p", "abc", "f"], ["-p", "70000", "f"],
                     ["a", "b"]):
            result = run_server(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn("usage: ca_server", result.stderr, args)

    def test_pv_file_errors_name_file_line_and_problem(self):
        cases = (
            ("A long 1\nB foo 1\n", ":2: unknown type 'foo'"),
            ("A long 1 loud\n", ":1: unknown flag 'loud'"),
            ("A short 40000\n", ":1: value out of range for its type '40000'"),
            ("A long 1x\n", ":1: value is not a number '1x'"),
            ("# c\nA long 1\nA long 2\n", ":3: duplicate PV name 'A'"),
            ("A string \"open\n", ":1: unterminated quoted string"),
            ("A enum Z states=X,Y\n", ":1: enum value is neither a state nor an index"),
            ("A long\n", ":1: expected NAME TYPE VALUE"),
            ("A long 1 delay=5/x\n", ":1: bad read count in delay=MS/N"),
        )
        check_refusals(self, cases)
        result = run_server("/nonexistent/pvs")
        self.assertIn("/nonexistent/pvs: cannot open PV file: No such file", result.stderr)

    def test_ioc_database_refuses_what_an_ioc_would_misread(self):
        # A dot ends a record name; $( in a quoted text is a macro; the
        # IOC's macro expansion garbles escapes other than \t \n \r.
        for text, message in (("A.B long 1\n", "no '.'"), ('A string "$(X)"\n', "as a macro"),
                              ('A string "a\x01b"\n', "control character 0x01")):
            _, result = run_server_on(text, "-D", "/dev/null")
            self.assertEqual(result.returncode, 1, text)
            self.assertIn(message, result.stderr, text)

    def test_explicit_port_and_wildcard_bind(self):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        server = cs.Server(PVS, "-p", str(port))  # a later -p wins
        try:
            self.assertEqual(server.port, port)
        finally:
            self.assertEqual(server.stop(), 0)
        server = cs.Server(PVS, "-b", "0.0.0.0")
        try:
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            udp.settimeout(2)
            udp.sendto(header(6, 16, 5, 13, 1, 1) + b"X:SHARED\0" + bytes(7),
                       ("127.0.0.1", server.port))
            reply = udp.recv(1024)
            udp.close()
            # Bound to every address: the client uses the one it searched.
            self.assertEqual(struct.unpack(">HHHHII", reply[16:32])[4], 0xFFFFFFFF)
        finally:
            server.stop()

    def test_port_in_use_is_reported(self):
        holder = cs.Server(PVS)
        try:
            result = run_server("-p", str(holder.port), holder.pv_file)
            self.assertEqual(result.returncode, 1)
            self.assertIn("cannot bind TCP port %d" % holder.port, result.stderr)
        finally:
            holder.stop()


class Signals(unittest.TestCase):
    def test_sigint_and_sigterm_stop_cleanly_with_clients(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            server = cs.Server(PVS)
            circuit = cs.RawCircuit(server.port)
            circuit.create("X:A", 1)
            server.signal(sig)
            self.assertEqual(server.proc.wait(timeout=5), 0, sig)
            circuit.close()
            server.stop()

    def test_sigusr1_drops_circuits_and_keeps_serving(self):
        server = cs.Server(PVS)
        try:
            first, second = cs.RawCircuit(server.port), cs.RawCircuit(server.port)
            first.create("X:A", 1)
            second.create("X:B", 1)
            server.signal(signal.SIGUSR1)
            for circuit in (first, second):
                with self.assertRaises((EOFError, ConnectionResetError)):
                    circuit.message()
                    circuit.message()
                circuit.close()
            again = cs.RawCircuit(server.port)
            self.assertIsNotNone(again.create("X:A", 1))
            again.close()
            self.assertIsNone(server.proc.poll())
        finally:
            self.assertEqual(server.stop(), 0)


class Clients(unittest.TestCase):
    def test_several_client_processes_at_once(self):
        server = cs.Server(PVS)
        try:
            env = cs.client_env(server.port)
            procs = [subprocess.Popen([sys.executable, "-c", CLIENT, name], env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      text=True)
                     for name in ("X:A", "X:B", "X:C", "X:D")]
            for proc in procs:
                _, err = proc.communicate(timeout=30)
                self.assertEqual(proc.returncode, 0, err)
            check = cs.RawCircuit(server.port)
            _, sid = check.create("X:SHARED", 1)
            check.send(header(15, 0, 5, 1, sid, 1))
            self.assertEqual(check.expect(15)[6][:4], b"\0\0\0\x01")
            check.close()
        finally:
            server.stop()

    def test_verbose_logs_one_line_per_request(self):
        server = cs.Server(PVS, "-v")
        try:
            circuit = cs.RawCircuit(server.port)
            _, sid = circuit.create("X:A", 1)
            circuit.send(header(15, 0, 6, 1, sid, 1) + header(23))
            circuit.expect(23)
            circuit.close()
            lines = []
            while not any("disconnected" in line for line in lines):
                lines.append(server.proc.stdout.readline())
        finally:
            server.stop()
        text = "".join(lines)
        for pattern in (r"client \d+: CLIENT_NAME tester\n", r"client \d+: CREATE_CHAN X:A ",
                        r"client \d+: READ_NOTIFY X:A as DBR_DOUBLE\n", r"client \d+: ECHO\n"):
            self.assertRegex(text, pattern)


if __name__ == "__main__":
    sys.argv[1:] = []
    unittest.main()
