"""pyepics on the same PVs as bench_tessaly.tcl, for comparison.

    python3 pyepics_bench.py get PV CALLS ROUNDS   -> median microseconds of PV.get
    python3 pyepics_bench.py caget PV ROUNDS       -> median seconds of epics.caget, peak KiB
    python3 pyepics_bench.py monitor SECONDS PV... -> callbacks a second, over all PVs

and on the PVs of bench_tessaly_scale.tcl (PREFIX:0..COUNT-1 of each prefix):

    getmany PREFIXES COUNT TIMEOUT -> "SECONDS RSS_GROWTH_KIB VALUES" of one
                                      epics.caget_many
    cpu PREFIX COUNT SECONDS       -> "PERCENT_OF_A_CORE UPDATES_A_SECOND" of a
                                      monitor on each, once all have delivered
    responsive COUNT               -> "IDLE_MS BUSY_MS": the longest gap of a
                                      10 ms sleep loop, idle and while COUNT
                                      names nobody serves connect
    flood SECONDS PV...            -> "= " and monitor's figure
    reconnect PREFIX COUNT         -> the reconnection client's lines, as
                                      scale_client.tcl prints them

One line of numbers on standard output (for bench_tessaly_scale.tcl's
modes, "= NUMBERS", flushed; the bench ends the process then).  EPICS_CA_ADDR_LIST and
EPICS_CA_AUTO_ADDR_LIST come from the environment.
"""
import resource
import statistics
import sys
import threading
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


def monitor_rate(seconds, names, mark=""):
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
    print(mark + "%.0f" % rate)
    sys.stdout.flush()


def names_of(prefixes, count):
    return ["%s:%d" % (prefix, i) for prefix in prefixes.split() for i in range(count)]


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def get_many(prefixes, count, timeout):
    names = names_of(prefixes, count)
    before = rss_kib()
    start = time.perf_counter()
    values = epics.caget_many(names, timeout=timeout)
    seconds = time.perf_counter() - start
    got = sum(1 for value in values if value is not None)
    print("= %.4f %d %d" % (seconds, rss_kib() - before, got))


def cpu_use(prefix, count, seconds):
    counted = [0]

    def tick(**kwargs):
        counted[0] += 1

    pvs = [epics.PV(name, callback=tick, auto_monitor=True) for name in names_of(prefix, count)]
    end = time.monotonic() + 20.0
    while counted[0] < count and time.monotonic() < end:
        time.sleep(0.05)
    counted[0] = 0
    usage = resource.getrusage(resource.RUSAGE_SELF)
    before = usage.ru_utime + usage.ru_stime
    start = time.perf_counter()
    time.sleep(seconds)
    elapsed = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    used = usage.ru_utime + usage.ru_stime - before
    print("= %.2f %.0f" % (used / elapsed * 100, counted[0] / elapsed))
    sys.stdout.flush()
    del pvs


def longest_gap(seconds):
    longest = 0.0
    last = time.perf_counter()
    end = last + seconds
    while last < end:
        time.sleep(0.01)
        now = time.perf_counter()
        longest = max(longest, now - last)
        last = now
    return longest * 1e3


def responsive(count):
    idle = longest_gap(2.0)
    result = []
    waiter = threading.Thread(target=lambda: result.append(longest_gap(3.0)))
    waiter.start()
    pvs = [epics.PV("nobody.scale:%d" % i) for i in range(count)]
    waiter.join()
    print("= %.1f %.1f" % (idle, result[0]))
    del pvs


def reconnect(prefix, count):
    lock = threading.Lock()
    state = {"phase": "setup", "ups": 0, "firsts": 0, "downs": 0, "backs": 0}
    first, down, reup, valued, back = set(), set(), set(), set(), set()

    def say(text):
        sys.stdout.write(text + "\n")
        sys.stdout.flush()

    def check():
        if state["phase"] == "setup" and state["ups"] == count and state["firsts"] == count:
            state["phase"] = "run"
            say("ready")

    def came_back(i):
        if i in reup and i in valued and i not in back:
            back.add(i)
            state["backs"] += 1
            if state["backs"] == count:
                say("up %d" % int(time.time() * 1e6))
                for kept in (down, reup, valued, back):
                    kept.clear()
                state["downs"] = state["backs"] = 0

    def on_connection(pvname=None, conn=None, **kwargs):
        i = int(pvname.rsplit(":", 1)[1])
        with lock:
            if state["phase"] == "setup":
                if conn:
                    state["ups"] += 1
                check()
            elif not conn:
                if i not in down:
                    down.add(i)
                    state["downs"] += 1
                    if state["downs"] == count:
                        say("down")
            elif i in down:
                reup.add(i)
                came_back(i)

    def on_value(pvname=None, **kwargs):
        i = int(pvname.rsplit(":", 1)[1])
        with lock:
            if state["phase"] == "setup":
                if i not in first:
                    first.add(i)
                    state["firsts"] += 1
                check()
            elif i in down:
                valued.add(i)
                came_back(i)

    pvs = [epics.PV(name, callback=on_value, connection_callback=on_connection, auto_monitor=True)
           for name in names_of(prefix, count)]
    # Ends when the bench closes its input.
    sys.stdin.read()
    del pvs


def main():
    if sys.argv[1] == "flood":
        monitor_rate(float(sys.argv[2]), sys.argv[3:], "= ")
    elif sys.argv[1] == "getmany":
        get_many(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    elif sys.argv[1] == "cpu":
        cpu_use(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    elif sys.argv[1] == "responsive":
        responsive(int(sys.argv[2]))
    elif sys.argv[1] == "reconnect":
        reconnect(sys.argv[2], int(sys.argv[3]))
    elif sys.argv[1] == "get":
        get_loop(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif sys.argv[1] == "monitor":
        monitor_rate(float(sys.argv[2]), sys.argv[3:])
    else:
        caget_loop(sys.argv[2], int(sys.argv[3]))


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    try:
        main()
    except Exception as failure:  # the bench ends this process on its figures' line
        sys.stderr.write("pyepics_bench.py %s: %s\n" % (sys.argv[1], failure))
        print("= failed")
