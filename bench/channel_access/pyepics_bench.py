"""pyepics on the same PVs as bench_tessaly.tcl, for comparison.

    python3 pyepics_bench.py get PV CALLS ROUNDS   -> median microseconds of PV.get
    python3 pyepics_bench.py caget PV ROUNDS       -> median seconds of epics.caget, peak KiB

One line of numbers on standard output.  EPICS_CA_ADDR_LIST and
EPICS_CA_AUTO_ADDR_LIST come from the environment.
"""
import resource
import statistics
import sys
import time

import epics


def get_loop(name, calls, rounds):
    pv = epics.PV(name, auto_monitor=False)
    if not pv.wait_for_connection(5.0):
        sys.exit("pyepics: %s did not connect" % name)
    pv.get(use_monitor=False)
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            pv.get(use_monitor=False)
        times.append((time.perf_counter() - start) / calls * 1e6)
    print("%.2f" % statistics.median(times))


def caget_loop(name, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        value = epics.caget(name, timeout=10.0, use_monitor=False)
        times.append(time.perf_counter() - start)
        if value is None:
            sys.exit("pyepics: caget %s failed" % name)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("%.4f %d" % (statistics.median(times), peak))


if __name__ == "__main__":
    if sys.argv[1] == "get":
        get_loop(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        caget_loop(sys.argv[2], int(sys.argv[3]))
