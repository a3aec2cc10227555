# Shared by the PV Access test files (after helpers.tcl): PV Access servers
# started and stopped like the Channel Access ones, and the usual waits.
if {![info exists env(PVA_SERVER)]} { error "set PVA_SERVER (ctest does)" }

# Starts a PV Access server; returns {pipe tcp udp}.
proc startPva {command} {
    set pipe [open [list | {*}$command 2>@stderr] r+]
    if {[gets $pipe line] < 0 || ![regexp {ready on 127\.0\.0\.1:(\d+) udp (\d+)} $line -> tcp udp]} {
        error "no PV Access server: $line"
    }
    return [list $pipe $tcp $udp]
}
proc stopPva {pipe} {
    signal TERM [pid $pipe]
    catch {close $pipe}
}

proc waitUntil {condition {ms 10000}} {
    set deadline [expr {[clock milliseconds] + $ms}]
    while {![uplevel 1 [list expr $condition]] && [clock milliseconds] < $deadline} {
        after 10 {set ::tick 1}
        vwait ::tick
    }
    uplevel 1 [list expr $condition]
}
proc failure {args} {
    if {![catch {uplevel 1 $args} result options]} { return "succeeded: $result" }
    return [list $result [dict get $options -errorcode]]
}
proc ms {script} {
    set start [clock milliseconds]
    uplevel 1 $script
    expr {[clock milliseconds] - $start}
}
proc noteError {message options} { lappend ::errors $message }
interp bgerror {} noteError

