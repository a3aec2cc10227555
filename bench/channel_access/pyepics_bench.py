"""pyepics on the same PVs as bench_tessaly.tcl, for comparison.

    python3 pyepics_bench.py get PV CALLS ROUNDS   -> median microseconds of PV.get
    python3 pyepics_bench.py caget PV ROUNDS       -> median seconds of epics.caget, peak KiB
    python3 pyepics_bench.py monitor SECONDS PV... -> callbacks a second, over all PVs

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


def monitor_rate(seconds, names):
    counted = [0]

    def tick(**kwargs):
        counted[0] += 1

    pvs = [epics.PV(name, callback=tick, auto_monitor=True) for name in names]
    for pv in pvs:
        pv.wait_for_connection(5.0)
    time.sleep(0.5)
    counted[0] = 0
    start = time.perf_counter()
    time.sleep(seconds)
    rate = counted[0] / (time.perf_counter() - start)
    for pv in pvs:
        pv.clear_callbacks()
        pv.disconnect()
    print("%.0f" % rate)


if __name__ == "__main__":
    if sys.argv[1] == "get":
        get_loop(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif sys.argv[1] == "monitor":
        monitor_rate(float(sys.argv[2]), sys.argv[3:])
    else:
        caget_loop(sys.argv[2], int(sys.argv[3]))
