#!/usr/bin/python3
"""Serves a ca_server PV file from a real soft IOC, started and stopped like
ca_server, so that a test written for ca_server runs against an IOC.

    softioc_server.py [-p PORT] PVFILE

ca_server -D/-A/-I turns the PV file into a database, an access security
file and the start values of arrays longer than a database holds; softIoc
serves them on 127.0.0.1 (TCP and UDP port PORT, a free one when it is 0 or
absent), and those start values are written into it over Channel Access
before it counts as ready. When the IOC is ready this prints exactly one
line, like ca_server:

    softIoc ready on 127.0.0.1:40123

The IOC reads this program's standard input as its shell: it stops when that
input ends (the test closed its pipe, or died) or on SIGTERM/SIGINT. Its own
output goes to a log file, printed on standard error if it fails to start.

Environment: SOFTIOC (the softIoc executable), CA_SERVER (the ca_server
executable, for the translation). The IOC gets this program's environment
with its server and search addresses pointed at loopback: the Channel Access
variables of the caller (EPICS_CA_MAX_ARRAY_BYTES, EPICS_CA_AUTO_ARRAY_BYTES)
reach it as they are. softIoc 7.0.3.1 sizes its buffers by itself
(EPICS_CA_AUTO_ARRAY_BYTES defaults to YES): a 1,000,000-element waveform
needs neither variable, on the IOC or in libca.
"""

import os
import shutil
import struct
import signal
import socket
import subprocess
import sys
import tempfile
import time

READY = "iocRun: All initialization complete"
PORT_TAKEN = "Configured TCP port was unavailable"
START_TIMEOUT = 60.0  # a loaded machine may take a while


def fail(message, log=None):
    if log and os.path.exists(log):
        with open(log, errors="replace") as f:
            sys.stderr.write(f.read()[-4000:])
    sys.stderr.write("softioc_server: %s\n" % message)
    sys.exit(1)


def free_port():
    """A port free for both TCP and UDP on loopback just now."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                try:
                    udp.bind(("127.0.0.1", port))
                except OSError:
                    continue
        return port
    fail("found no port free for both TCP and UDP")


def ioc_environment(port):
    env = dict(os.environ)
    env.update({
        "EPICS_CAS_SERVER_PORT": str(port),
        "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
        "EPICS_CAS_BEACON_ADDR_LIST": "127.0.0.1",
        # The IOC's own client side (links to other IOCs) searches nowhere.
        "EPICS_CA_AUTO_ADDR_LIST": "NO",
        "EPICS_CA_ADDR_LIST": "",
    })
    return env


def stop(ioc):
    if ioc.poll() is None:
        ioc.terminate()
        try:
            ioc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            ioc.kill()
            ioc.wait()


def start(softioc, db, acf, port, log):
    """Starts the IOC; returns it once ready, or None when its port was
    taken in the meantime."""
    with open(log, "w") as out:
        ioc = subprocess.Popen([softioc, "-a", acf, "-d", db], stdin=sys.stdin,
                               stdout=out, stderr=subprocess.STDOUT, env=ioc_environment(port))
    end = time.monotonic() + START_TIMEOUT
    while time.monotonic() < end:
        with open(log, errors="replace") as f:
            text = f.read()
        if PORT_TAKEN in text:
            stop(ioc)
            return None
        if READY in text:
            return ioc
        if ioc.poll() is not None:
            fail("softIoc exited with status %d before it was ready" % ioc.returncode, log)
        time.sleep(0.05)
    stop(ioc)
    fail("softIoc was not ready after %d s" % START_TIMEOUT, log)


def write_start_values(port, init):
    """Writes each "NAME N V,V,..." line of init into the IOC's PV NAME as N
    doubles (a WRITE_NOTIFY on a raw circuit), waiting for each to complete."""
    import ca_support as cs
    with open(init) as f:
        lines = [line.split() for line in f if line.strip()]
    if not lines:
        return
    circuit = cs.RawCircuit(port)
    circuit.sock.settimeout(START_TIMEOUT)
    try:
        for cid, (name, count, values) in enumerate(lines, start=1):
            body = cs.padded(name.encode() + b"\0")
            circuit.send(cs.header(18, len(body), 0, 0, cid, 13) + body)
            created = circuit.expect(18)
            data = cs.padded(struct.pack(">%dd" % int(count), *map(float, values.split(","))))
            circuit.send(struct.pack(">HHHHIIII", 19, 0xFFFF, 6, 0, created[5], cid,
                                     len(data), int(count)) + data)
            status = circuit.expect(19)[4]
            if status != 1:
                raise RuntimeError("the IOC answered status %d for %s" % (status, name))
    finally:
        circuit.close()


def main():
    args = sys.argv[1:]
    port = 0
    if len(args) == 3 and args[0] == "-p" and args[1].isdigit():
        port = int(args[1])
        args = args[2:]
    if len(args) != 1:
        sys.stderr.write("usage: softioc_server.py [-p PORT] PVFILE\n")
        sys.exit(2)
    softioc = os.environ.get("SOFTIOC")
    ca_server = os.environ.get("CA_SERVER") or os.environ.get("CA_SERVER_EXE")
    if not softioc or not os.access(softioc, os.X_OK):
        fail("set SOFTIOC to the softIoc executable (got %r)" % softioc)
    if not ca_server or not os.access(ca_server, os.X_OK):
        fail("set CA_SERVER to the ca_server executable (got %r)" % ca_server)

    work = tempfile.mkdtemp(prefix="softioc-")
    db, acf, init, log = (os.path.join(work, n)
                          for n in ("pvs.db", "pvs.acf", "pvs.init", "ioc.log"))
    try:
        if subprocess.run([ca_server, "-D", db, "-A", acf, "-I", init, args[0]]).returncode != 0:
            fail("ca_server could not translate %s for the IOC" % args[0])
        ioc = None
        for _ in range(5):
            chosen = port or free_port()
            ioc = start(softioc, db, acf, chosen, log)
            if ioc or port:
                break
        if not ioc:
            fail("TCP port %d is taken" % port if port else "no free port for the IOC", log)
        try:
            write_start_values(chosen, init)
        except (OSError, EOFError, RuntimeError) as e:
            stop(ioc)
            fail("writing the start values into the IOC failed: %s" % e, log)

        # The handlers only signal the IOC: the wait below collects it.
        def on_stop(signum, frame):
            if ioc.returncode is None:
                ioc.terminate()
                signal.alarm(5)
        signal.signal(signal.SIGTERM, on_stop)
        signal.signal(signal.SIGINT, on_stop)
        signal.signal(signal.SIGALRM, lambda signum, frame: ioc.kill())
        print("softIoc ready on 127.0.0.1:%d" % chosen, flush=True)
        ioc.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
