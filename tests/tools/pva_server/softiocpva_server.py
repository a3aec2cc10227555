#!/usr/bin/python3
"""Runs EPICS's softIocPVA (records served over Channel Access and, through
QSRV, over PV Access) on 127.0.0.1 for a test, started and stopped like
pva_server:

    softiocpva_server.py [-m MACROS] DBFILE...

When the IOC serves, this prints exactly one line, like pva_server:

    softIocPVA ready on 127.0.0.1:40123 udp 51234

the TCP port of its PV Access server and the UDP port its searches come to
(both free ones on 127.0.0.1); a client searches there with
EPICS_PVA_ADDR_LIST=127.0.0.1:UDP and EPICS_PVA_AUTO_ADDR_LIST=NO.

The IOC reads this program's standard input as its shell: it stops when that
input ends (the test closed its pipe, or died) or on SIGTERM/SIGINT. Its own
output goes to a log file, printed on standard error if it fails to start.
Its Channel Access server listens on 127.0.0.1 too (port 5064, or a free one
when that is taken), and every beacon, of either protocol, goes to 127.0.0.1.

Environment: SOFTIOCPVA (the softIocPVA executable), SOFTIOCPVA_DBD (its dbd
file, when not the one compiled in).
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

START_TIMEOUT = 60.0  # a loaded machine may take a while
PORTS = re.compile(r"EPICS_PVAS_BROADCAST_PORT = (\d+)\s+EPICS_PVAS_SERVER_PORT = (\d+)")


def fail(message, log=None):
    if log and os.path.exists(log):
        with open(log, errors="replace") as f:
            sys.stderr.write(f.read()[-4000:])
    sys.stderr.write("softiocpva_server: %s\n" % message)
    sys.exit(1)


def free_udp_port():
    """A UDP port free on loopback just now.  Left to pvAccess (port 0), the
    search port would be that of its sending socket, bound to every address;
    pvAccess servers share a search port anyway (through their local
    multicast group), so one taken again meanwhile still works."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.bind(("127.0.0.1", 0))
        return udp.getsockname()[1]


def ioc_environment():
    env = dict(os.environ)
    env.update({
        # PV Access: free ports, loopback only (TCP: the system's choice).
        "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_PVAS_SERVER_PORT": "0",
        "EPICS_PVAS_BROADCAST_PORT": str(free_udp_port()),
        "EPICS_PVAS_AUTO_BEACON_ADDR_LIST": "NO",
        "EPICS_PVAS_BEACON_ADDR_LIST": "127.0.0.1",
        # Channel Access server: loopback only.
        "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
        "EPICS_CAS_BEACON_ADDR_LIST": "127.0.0.1",
        # The IOC's own clients (links to other servers) search nowhere.
        "EPICS_CA_AUTO_ADDR_LIST": "NO",
        "EPICS_CA_ADDR_LIST": "",
        "EPICS_PVA_AUTO_ADDR_LIST": "NO",
        "EPICS_PVA_ADDR_LIST": "",
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


def main():
    args = sys.argv[1:]
    macros = None
    if len(args) >= 2 and args[0] == "-m":
        macros, args = args[1], args[2:]
    if not args or any(a.startswith("-") for a in args):
        sys.stderr.write("usage: softiocpva_server.py [-m MACROS] DBFILE...\n")
        sys.exit(2)
    softioc = os.environ.get("SOFTIOCPVA")
    if not softioc or not os.access(softioc, os.X_OK):
        fail("set SOFTIOCPVA to the softIocPVA executable (got %r)" % softioc)
    command = [softioc]
    dbd = os.environ.get("SOFTIOCPVA_DBD")
    if dbd:
        command += ["-D", dbd]
    if macros:
        command += ["-m", macros]
    for db in args:
        command += ["-d", db]

    work = tempfile.mkdtemp(prefix="softiocpva-")
    script, log = os.path.join(work, "st.cmd"), os.path.join(work, "ioc.log")
    try:
        # The records are loaded and the IOC started before the script runs:
        # the script only reports the ports taken.
        with open(script, "w") as f:
            f.write("pvasr 0\n")
        with open(log, "w") as out:
            ioc = subprocess.Popen(command + [script], stdin=sys.stdin, stdout=out,
                                   stderr=subprocess.STDOUT, env=ioc_environment())
        end = time.monotonic() + START_TIMEOUT
        ports = None
        while ports is None:
            with open(log, errors="replace") as f:
                ports = PORTS.search(f.read())
            if ports:
                break
            if ioc.poll() is not None:
                fail("softIocPVA exited with status %d before it served" % ioc.returncode, log)
            if time.monotonic() > end:
                stop(ioc)
                fail("softIocPVA did not serve within %d s" % START_TIMEOUT, log)
            time.sleep(0.05)

        # The handlers only signal the IOC: the wait below collects it.
        def on_stop(signum, frame):
            if ioc.returncode is None:
                ioc.terminate()
                signal.alarm(5)
        signal.signal(signal.SIGTERM, on_stop)
        signal.signal(signal.SIGINT, on_stop)
        signal.signal(signal.SIGALRM, lambda signum, frame: ioc.kill())
        print("softIocPVA ready on 127.0.0.1:%s udp %s" % (ports.group(2), ports.group(1)), flush=True)
        ioc.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
