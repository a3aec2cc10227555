# Tessaly's name layer at scale, against real soft IOCs on loopback: each
# figure beside a peer measured in the same run (pyepics, raw libca), and a
# table of figures, goals and whether each was met.  Prints figures; never
# fails on speed.
#
#   connect+read   one tessaly::get of 10,000 names (one IOC) and of 100,000
#                  (ten IOCs), each in a fresh tclsh, against epics.caget_many
#                  and a raw libca loop (create all, wait once, get all, wait
#                  once); memory per channel from the processes' RSS growth
#   monitors       1,000 PVs each counting at 10 Hz: the monitoring process's
#                  CPU; a flood without pauses (ca_server's count=0 PVs); the
#                  latency from another client's put to a Tcl script against
#                  a raw libca callback
#   reconnection   10,000 monitored PVs on an IOC killed and started again on
#                  its port after 2 s and after 12 s down: from the restarted
#                  IOC's "All initialization complete" until every monitor
#                  has heard 0, then 1, and delivered a value again
#   responsiveness the longest gap between `after 10` firings while 1,000
#                  names nobody serves connect
#
# Environment (the bench_tessaly_scale target sets them): TESSALY_LIB,
# RAWCA_LIB, CA_SERVER, CA_REPEATER (the build's caRepeater), SOFTIOC (a
# softIoc; empty: cmake/build-epics-base.sh's, from the dependency cache),
# LABTCL_SOURCE (the source tree).  Everything it starts it ends, by pid.
set here [file dirname [file normalize [info script]]]
source [file join $here bench_lib.tcl]
set work [pwd]
set python [expr {[file executable /usr/bin/python3] ? "/usr/bin/python3" : "python3"}]
set client [file join $here scale_client.tcl]
set pybench [file join $here pyepics_bench.py]
set tclsh [info nameofexecutable]
set log [file join $work bench_tessaly_scale.log]
close [open $log w]

set perIoc 10000
set scaleIocs 10
set monitored 1000
set reconnectDowns {2 12}

# ---- processes ---------------------------------------------------------------------

set started {}       ;# pipes of every process started, ended by pid at the end
set startedPids {}   ;# and processes started without a pipe

proc say {text} { puts $text; flush stdout }

# Ports free for TCP and UDP on loopback just now (softioc_server.py's
# free_port, which the soft IOC tests use too).
proc freePorts {count} {
    exec $::python -c {
import sys
sys.path.insert(0, sys.argv[2])
from softioc_server import free_port
ports = set()
while len(ports) < int(sys.argv[1]):
    ports.add(free_port())
print(" ".join(map(str, ports)))
} $count [file join $::here .. .. tests tools ca_server]
}

proc wallMicros {} { clock microseconds }


# Starts a softIoc serving db on port (its standard input our pipe, its
# output to logfile); returns {pipe readyWallMicros} once it is ready.
proc startIoc {name db port} {
    set logfile [file join $::work $name.ioc.log]
    set env [list env EPICS_CAS_SERVER_PORT=$port EPICS_CAS_INTF_ADDR_LIST=127.0.0.1 \
                 EPICS_CAS_AUTO_BEACON_ADDR_LIST=NO EPICS_CAS_BEACON_ADDR_LIST=127.0.0.1 \
                 EPICS_CA_AUTO_ADDR_LIST=NO EPICS_CA_ADDR_LIST=]
    set pipe [open [list | {*}$env $::softIoc -d $db >& $logfile] w]
    lappend ::started $pipe
    return [list $pipe $logfile]
}
proc iocReady {logfile} {
    set f [open $logfile]
    set text [read $f]
    close $f
    if {[string match "*Configured TCP port was unavailable*" $text]} { error "$logfile: its port was taken" }
    string match "*iocRun: All initialization complete*" $text
}
# Waits (in the event loop, in steps of 5 ms) until the IOC is ready; the
# wall clock then.
proc awaitIoc {pipe logfile {seconds 180}} {
    set deadline [expr {[clock milliseconds] + $seconds * 1000}]
    while {![iocReady $logfile]} {
        if {[clock milliseconds] > $deadline} { error "[file tail $logfile]: not ready after $seconds s" }
        pause 5
    }
    return [wallMicros]
}
proc kill {signal pipe} {
    catch {exec /bin/sh -c "kill -$signal [pid $pipe]" 2>/dev/null}
}
proc endProcess {pipe} {
    kill KILL $pipe
    catch {fconfigure $pipe -blocking 1}
    catch {close $pipe}
    set at [lsearch -exact $::started $pipe]
    if {$at >= 0} { set ::started [lreplace $::started $at $at] }
}

# A measured client, a fresh process: the figures of its line "= ..."
# ("" when it failed or took over 5 minutes; why goes to the log).  The
# process is ended once it has said: its exit is no part of any figure.
proc measure {args} {
    set pipe [openClient {*}$args]
    set line [awaitLine $pipe "= " 300000]
    endProcess $pipe
    if {$line eq "" || ![string is double -strict [lindex $line 1]]} {
        set line ""
        set f [open $::log a]
        puts $f "[join $args]: no figures"
        close $f
    }
    return [lrange $line 1 end]
}
proc tclClient {args} { measure $::tclsh $::client {*}$args }
proc pyClient {args} { measure $::python $::pybench {*}$args }

# Clients read line by line in the event loop.  Each is ended by its own
# pid once it has said what it had to say (libca's exit can hang waiting
# for its UDP thread: "cac: timing out waiting for UDP thread shutdown").
proc openClient {args} {
    set pipe [open |[list {*}$args 2>>$::log] r+]
    lappend ::started $pipe
    fconfigure $pipe -blocking 0 -buffering line
    set ::lines($pipe) {}
    fileevent $pipe readable [list readClient $pipe]
    return $pipe
}
proc readClient {pipe} {
    while {[gets $pipe line] >= 0} { lappend ::lines($pipe) $line }
    if {[eof $pipe]} {
        fileevent $pipe readable {}
        lappend ::lines($pipe) eof
    }
}
# The first line of the client starting with word (taken), or "" after ms.
proc awaitLine {pipe word ms} {
    set deadline [expr {[clock milliseconds] + $ms}]
    while {[clock milliseconds] < $deadline} {
        set at [lsearch -glob $::lines($pipe) "$word*"]
        if {$at >= 0} {
            set line [lindex $::lines($pipe) $at]
            set ::lines($pipe) [lreplace $::lines($pipe) $at $at]
            return $line
        }
        if {"eof" in $::lines($pipe)} { return "" }
        pause 5
    }
    return ""
}

# ---- figures -----------------------------------------------------------------------

set rows {}
# A row of the table: ours and the goal as numbers, met by the test given.
proc row {figure ours peers goal met} {
    lappend ::rows [list $figure $ours $peers $goal $met]
}
proc num {value {format %.3f}} {
    if {$value eq "" || $value < 0} { return "n/a" }
    format $format $value
}

try {
    if {![info exists env(SOFTIOC)] || $env(SOFTIOC) eq ""} {
        set base [lindex [split [string trim [exec sh [file join $env(LABTCL_SOURCE) cmake build-epics-base.sh] 2>>$log]] \n] end]
        set env(SOFTIOC) [lindex [glob [file join $base bin * softIoc]] 0]
    }
    set softIoc $env(SOFTIOC)

    # The repeater on a port of this run's own, shared by the IOCs' beacons
    # and every client.
    set scalePorts [lassign [freePorts [expr {$scaleIocs + 2}]] repeaterPort monitorPort]
    set env(EPICS_CA_REPEATER_PORT) $repeaterPort
    lappend startedPids [exec $env(CA_REPEATER) </dev/null >& /dev/null &]
    pause 200

    # The databases.
    for {set k 0} {$k < $scaleIocs} {incr k} {
        set f [open [file join $work scale$k.db] w]
        for {set i 0} {$i < $perIoc} {incr i} { puts $f "record(ao, \"s$k:$i\") { field(VAL, \"$i\") }" }
        close $f
    }
    set f [open [file join $work monitors.db] w]
    for {set i 0} {$i < $monitored} {incr i} {
        puts $f "record(calc, \"m:$i\") { field(SCAN, \".1 second\") field(CALC, \"VAL+1\") }"
    }
    puts $f "record(ao, \"m:lat\") { field(VAL, \"0\") }"
    close $f
    set f [open [file join $work flood.pvs] w]
    for {set i 0} {$i < 10} {incr i} { puts $f "flood:$i long 0 count=0" }
    close $f

    say "starting $scaleIocs soft IOCs of $perIoc records, one of $monitored counting at 10 Hz, and ca_server's floods"
    set start [clock milliseconds]
    set waiting {}
    for {set k 0} {$k < $scaleIocs} {incr k} {
        lassign [startIoc scale$k [file join $work scale$k.db] [lindex $scalePorts $k]] ioc($k) iocLog($k)
        lappend waiting $ioc($k) $iocLog($k)
    }
    lassign [startIoc monitors [file join $work monitors.db] $monitorPort] monitorIoc monitorLog
    lappend waiting $monitorIoc $monitorLog
    foreach {pipe logfile} $waiting { awaitIoc $pipe $logfile }
    set flood [open [list | $env(CA_SERVER) -p 0 [file join $work flood.pvs] 2>>$log] r]
    lappend started $flood
    if {[gets $flood line] < 0 || ![regexp {:(\d+)$} $line -> floodPort]} { error "ca_server: $line" }
    say [format "  ready in %.1f s" [expr {([clock milliseconds] - $start) / 1e3}]]

    set addresses {}
    foreach port [list {*}$scalePorts $monitorPort $floodPort] { lappend addresses 127.0.0.1:$port }
    set env(EPICS_CA_ADDR_LIST) [join $addresses]
    set env(EPICS_CA_AUTO_ADDR_LIST) NO

    # ---- connect + read from a cold start ----
    say "\nconnect+read from a cold start (a fresh process each; seconds, RSS growth)"
    set prefixes {}
    for {set k 0} {$k < $scaleIocs} {incr k} { lappend prefixes s$k }
    foreach {label names timeout} [list 10000 s0 30 100000 $prefixes 60] {
        set ours [tclClient get $names $perIoc $timeout]
        set raw [tclClient raw $names $perIoc $timeout]
        set py [pyClient getmany $names $perIoc $timeout]
        foreach who {ours raw py} {
            foreach v {seconds kib values} { set ${v}($who,$label) -1 }
            if {[llength [set $who]] == 3} { lassign [set $who] seconds($who,$label) kib($who,$label) values($who,$label) }
        }
        say [format "  %6d PVs: tessaly::get %s s (%d values, +%d KiB), raw libca %s s (%d, +%d KiB), epics.caget_many %s s (%d, +%d KiB)" \
            $label [num $seconds(ours,$label)] $values(ours,$label) $kib(ours,$label) [num $seconds(raw,$label)] \
            $values(raw,$label) $kib(raw,$label) [num $seconds(py,$label)] $values(py,$label) $kib(py,$label)]
    }
    foreach {label goal} {10000 1.0 100000 10.0} {
        set complete [expr {$values(ours,$label) == $label}]
        row "connect+read $label PVs (s)" [num $seconds(ours,$label)] \
            "raw libca [num $seconds(raw,$label)], pyepics [num $seconds(py,$label)]" "<= $goal" \
            [expr {$complete && $seconds(ours,$label) >= 0 && $seconds(ours,$label) <= $goal}]
    }
    # Our own bytes per channel: what the Tessaly process grew by beyond
    # what the raw libca process grew by for the same channels and values.
    foreach label {10000 100000} {
        if {$kib(ours,$label) < 0 || $kib(raw,$label) < 0} {
            set own($label) -1
            continue
        }
        set own($label) [expr {($kib(ours,$label) - $kib(raw,$label)) * 1024.0 / $label}]
        set libca($label) [expr {$kib(raw,$label) * 1024.0 / $label}]
        set pyPer($label) [expr {$kib(py,$label) * 1024.0 / $label}]
    }
    say [format "  own bytes per channel (Tessaly's RSS growth minus raw libca's, per channel): %s at 10,000, %s at 100,000; libca's: %s and %s" \
        [num $own(10000) %.0f] [num $own(100000) %.0f] [num $libca(10000) %.0f] [num $libca(100000) %.0f]]
    row "own memory per channel, 100k (B)" [num $own(100000) %.0f] \
        "libca [num $libca(100000) %.0f], pyepics [num $pyPer(100000) %.0f] (all of it)" "<= 1024" \
        [expr {$own(100000) >= 0 && $own(100000) <= 1024}]

    # ---- monitors ----
    say "\nmonitors"
    set tclCpu [openClient $tclsh $client cpu m $monitored 10]
    set pyCpu [openClient $python $pybench cpu m $monitored 10]
    lassign [awaitLine $tclCpu "= " 60000] - cpuOurs ratesOurs
    lassign [awaitLine $pyCpu "= " 60000] - cpuPy ratesPy
    endProcess $tclCpu
    endProcess $pyCpu
    say [format "  %d PVs at 10 Hz for 10 s (both clients side by side): Tessaly %s%% of a core (%s updates/s), pyepics %s%% (%s updates/s)" \
        $monitored [num $cpuOurs %.2f] [num $ratesOurs %.0f] [num $cpuPy %.2f] [num $ratesPy %.0f]]
    # A figure counts only while the updates flow (10 a second each).
    set flowing [expr {$ratesOurs ne "" && $ratesOurs >= 0.9 * $monitored * 10}]
    row "CPU, $monitored PVs at 10 Hz (% of a core)" [num $cpuOurs %.2f] "pyepics [num $cpuPy %.2f]" "<= 5" \
        [expr {$flowing && $cpuOurs <= 5}]

    lassign [tclClient flood flood 10 3] floodOurs floodReplaced
    set floodPy [pyClient flood 3 {*}[lmap i {0 1 2 3 4 5 6 7 8 9} {string cat flood:$i}]]
    say [format "  flood, 10 PVs counting as fast as ca_server sends: to Tcl scripts %s updates/s (and %s/s replaced by a newer value before their script ran), to pyepics callbacks %s updates/s" \
        [num $floodOurs %.0f] [num $floodReplaced %.0f] [num $floodPy %.0f]]
    row "flood to scripts (updates/s)" [num $floodOurs %.0f] "pyepics [num $floodPy %.0f]" ">= pyepics" \
        [expr {$floodOurs ne "" && $floodPy ne "" && $floodOurs >= $floodPy}]

    set writer [file join $work bench_scale_writer.tcl]
    set f [open $writer w]
    puts $f [list load $env(TESSALY_LIB) Tessaly]
    puts $f {
        tessaly::connect -wait m:lat
        after 300
        for {set i 0} {$i < 300} {incr i} { tessaly::put -wait m:lat [clock microseconds]; after 5 }
        puts done
        flush stdout
        # The latency client ends this process by its pid.
        vwait forever
    }
    close $f
    lassign [tclClient latency m:lat 280 $writer] latOurs latRaw
    set latRatio [expr {$latOurs ne "" && $latRaw ne "" ? $latOurs / $latRaw : -1}]
    say [format "  latency from another client's put (median of 300): to a Tcl script %s us, to a raw libca callback (busy ca_poll) %s us: %sx" \
        [num $latOurs %.0f] [num $latRaw %.0f] [num $latRatio %.2f]]
    row "update latency to a script (us)" [num $latOurs %.0f] "raw libca [num $latRaw %.0f] ([num $latRatio %.2f]x)" \
        "<= 1.2x raw" [expr {$latRatio > 0 && $latRatio <= 1.2}]

    # ---- responsiveness ----
    say "\nresponsiveness"
    lassign [tclClient responsive 1000] idleOurs busyOurs
    lassign [pyClient responsive 1000] idlePy busyPy
    say [format "  longest gap between 10 ms timers: Tcl idle %s ms, while 1,000 names search %s ms; pyepics's sleep loop idle %s ms, while its 1,000 PVs search %s ms" \
        [num $idleOurs %.1f] [num $busyOurs %.1f] [num $idlePy %.1f] [num $busyPy %.1f]]
    row "timer gap, 1,000 names searching (ms)" [num $busyOurs %.1f] "idle Tcl [num $idleOurs %.1f], pyepics [num $busyPy %.1f]" \
        "<= 50" [expr {$busyOurs ne "" && $busyOurs <= 50}]

    # ---- reconnection ----
    say "\nreconnection: $perIoc monitored PVs, their IOC killed and started again on its port"
    set tclBack [openClient $tclsh $client reconnect s0 $perIoc]
    set pyBack [openClient $python $pybench reconnect s0 $perIoc]
    set ready {}
    foreach {who pipe} [list Tessaly $tclBack pyepics $pyBack] {
        if {[awaitLine $pipe ready 120000] eq ""} { say "  $who: its $perIoc monitors did not all deliver" }
    }
    foreach down $reconnectDowns {
        kill KILL $ioc(0)
        set killed [clock milliseconds]
        endProcess $ioc(0)
        foreach {who pipe} [list Tessaly $tclBack pyepics $pyBack] {
            if {[awaitLine $pipe down 10000] eq ""} { say "  $who: not every connection script heard 0" }
        }
        pause [expr {max(0, $killed + $down * 1000 - [clock milliseconds])}]
        lassign [startIoc scale0 [file join $work scale0.db] [lindex $scalePorts 0]] ioc(0) iocLog(0)
        set restarted [awaitIoc $ioc(0) $iocLog(0)]
        foreach {who pipe} [list ours $tclBack py $pyBack] {
            set line [awaitLine $pipe up 40000]
            set back($who,$down) [expr {$line eq "" ? -1 : ([lindex $line 1] - $restarted) / 1e6}]
        }
        say [format "  down %d s: every monitor back (0, 1, a value) %s s after the IOC's restart with Tessaly, %s s with pyepics" \
            $down [num $back(ours,$down) %.2f] [num $back(py,$down) %.2f]]
        row "reconnect $perIoc PVs after ${down} s down (s)" [num $back(ours,$down) %.2f] \
            "pyepics [num $back(py,$down) %.2f]" "<= 3" [expr {$back(ours,$down) >= 0 && $back(ours,$down) <= 3}]
    }
    endProcess $tclBack
    endProcess $pyBack
    file delete $writer

    # ---- the table ----
    say "\n[format "%-40s %10s  %-46s %-11s %s" figure ours "peer(s), same run" goal met]"
    foreach r $rows {
        lassign $r figure ours peers goal met
        say [format "%-40s %10s  %-46s %-11s %s" $figure $ours $peers $goal [expr {$met ? "yes" : "no"}]]
    }
    say "(a client that failed or timed out shows n/a; see [file tail $log])"
} on error {message options} {
    say "benchmark stopped: $message"
    puts stderr [dict get $options -errorinfo]
} finally {
    foreach pid $startedPids { catch {exec /bin/sh -c "kill -KILL $pid" 2>/dev/null} }
    foreach pipe [lreverse $started] {
        kill KILL $pipe
        catch {fconfigure $pipe -blocking 1}
        catch {close $pipe}
    }
}
