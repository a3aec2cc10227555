# Tessaly's PV Access benchmark: pva:// names against pva_server, each
# figure beside a raw pvAccess C++ client (rawpva) on the same stream of the
# same server in the same run.  Prints figures; never fails on speed.
#
#   frames   8 MiB NTNDArray frames (2048x2048 uint16) posted 1000 times a
#            second, more than any client here takes (each gets the newest
#            when it is ready for one; `rate=max` would keep a core of the
#            server spinning, which on two cores starves both clients):
#            frames a second that reach a Tcl script through
#            `tessaly::monitor`, against the frames a second that rawpva
#            takes, the faster of its two ways (the callback waking a
#            consumer thread that polls, as pvAccess's own tools do; the
#            callback polling itself); the peak resident set over the one
#            before the monitor, in frames
#   get      `tessaly::get` of an NTScalar against pvac's synchronous get:
#            median and 99th percentile of single calls
#   monitors 1,000 NTScalars each counting up at 10 Hz, monitored: the CPU
#            of the whole process (the library's threads too) in percent of
#            one core, tclsh against rawpva
#
# Environment: TESSALY_LIB, RAWPVA, PVA_SERVER (the bench_tessaly_pva target
# sets them).  PVA_BENCH_SECONDS (default 5) is the length of each frame
# window; PVA_BENCH_ROUNDS (default 3) the rounds of each comparison.
load $env(TESSALY_LIB) Tessaly

set seconds [expr {[info exists env(PVA_BENCH_SECONDS)] ? $env(PVA_BENCH_SECONDS) : 5}]
set rounds [expr {[info exists env(PVA_BENCH_ROUNDS)] ? $env(PVA_BENCH_ROUNDS) : 3}]
set frameBytes [expr {2048 * 2048 * 2}]
set udp 0
set server {}

# A server of its own for each measurement, so that what one serves never loads another's
# figures; all on one search port, for the client's search list is read once.
proc startServer {args} {
    global env udp server
    set lines {}
    foreach line $args { lappend lines -e $line }
    set server [open [list | $env(PVA_SERVER) -u $udp {*}$lines 2>@stderr] r]
    if {[gets $server line] < 0 || ![regexp {udp (\d+)$} $line -> udp]} { error "pva_server: $line" }
    set env(EPICS_PVA_ADDR_LIST) 127.0.0.1:$udp
    set env(EPICS_PVA_AUTO_ADDR_LIST) NO
}
proc stopServer {} {
    global server
    if {$server eq ""} return
    exec /bin/sh -c "kill -TERM [pid $server]"
    catch {close $server}
    set server {}
}
proc startServerFile {path} {
    global env udp server
    set server [open [list | $env(PVA_SERVER) -u $udp $path 2>@stderr] r]
    if {[gets $server line] < 0 || ![regexp {udp (\d+)$} $line -> udp]} { error "pva_server: $line" }
}

# rawpva's answer: its last line of figures (pvAccess may log lines of its
# own on standard output, before it or after).
proc raw {args} {
    set lines [split [exec $::env(RAWPVA) {*}$args 2>@stderr] \n]
    set answer [lindex [lsearch -all -inline -regexp $lines {^[0-9][0-9. ]*$}] end]
    if {$answer eq ""} { error "rawpva $args gave no figures: [join $lines { / }]" }
    return $answer
}
source [file join [file dirname [info script]] bench_lib.tcl]
# Starts the peak resident set (VmHWM) again from the current size.
proc resetPeak {} {
    set f [open /proc/[pid]/clear_refs w]
    puts -nonewline $f 5
    close $f
}
set hz 100  ;# USER_HZ, the unit of /proc/PID/stat

set table {}
proc figure {name ours raw goal met} { lappend ::table [list $name $ours $raw $goal $met] }

try {
    # ---- get --------------------------------------------------------------------------
    startServer "bench:val double 1.5"
    set calls 2000
    for {set i 0} {$i < 200} {incr i} { tessaly::get pva://bench:val }
    set ours {}
    set raw {}
    for {set r 0} {$r < $rounds} {incr r} {
        for {set i 0} {$i < $calls} {incr i} {
            set t [clock microseconds]
            tessaly::get pva://bench:val
            lappend ours [expr {[clock microseconds] - $t}]
        }
        lappend raw {*}[raw get bench:val $calls]
    }
    tessaly::disconnect pva://bench:val
    stopServer
    foreach {what value} [list median [median $ours] p99 [percentile $ours 99]] {
        set rawValue [expr {$what eq "median" ? [median $raw] : [percentile $raw 99]}]
        set ratio [expr {double($value) / $rawValue}]
        figure "get NTScalar, $what (us)" [format %.0f $value] [format %.0f $rawValue] "<= 1.2x raw" \
            [format "%s (%.2fx)" [expr {$ratio <= 1.2 ? "yes" : "no"}] $ratio]
    }
    puts [format "get: %d calls each of tessaly::get and pvac's get, in %d rounds" [llength $ours] $rounds]

    # ---- frames -----------------------------------------------------------------------
    startServer "bench:img image type=uint16 dims=2048x2048 rate=1000"
    proc frame {f} {
        set id [dict get $f uniqueId]
        if {$id != $::lastId} { incr ::frames }
        set ::lastId $id
        set ::lastValue [string length [dict get $f value]]
    }
    set ourRates {}
    set rawRates {}
    set peaks {}
    array set rawBy {worker {} callback {}}
    array set rawPeaks {worker {} callback {}}
    set dropped 0
    for {set r 0} {$r < $rounds} {incr r} {
        tessaly::connect -wait -timeout 30 pva://bench:img
        set ::lastId 0
        set base [statusKiB VmRSS]
        resetPeak
        set id [tessaly::monitor pva://bench:img frame]
        pause 500
        set ::frames 0
        set start [clock microseconds]
        pause [expr {int($seconds * 1000)}]
        set elapsed [expr {([clock microseconds] - $start) / 1e6}]
        lappend ourRates [expr {$::frames / $elapsed}]
        lappend peaks [expr {([statusKiB VmHWM] - $base) * 1024.0 / $frameBytes}]
        set dropped [dict get [tessaly::info pva://bench:img] dropped]
        if {$::lastValue != $frameBytes} { puts "frames: a frame of $::lastValue bytes, not $frameBytes" }
        tessaly::unmonitor $id
        tessaly::disconnect pva://bench:img
        unset -nocomplain f
        set best 0
        foreach how {worker callback} {
            pause 500
            lassign [raw frames bench:img $seconds $how] rawRate rawPeak
            lappend rawBy($how) $rawRate
            lappend rawPeaks($how) [expr {$rawPeak * 1024.0 / $frameBytes}]
            if {$rawRate > $best} { set best $rawRate }
        }
        lappend rawRates $best
        pause 500
    }
    stopServer
    set ratio [median [lmap o $ourRates c $rawRates { expr {$o / $c} }]]
    puts [format "frames a second, %d rounds of %s s: Tcl %s; raw, consumer thread %s; raw, in the callback %s" \
        $rounds $seconds [join [lmap x $ourRates {format %.1f $x}] /] [join [lmap x $rawBy(worker) {format %.1f $x}] /] \
        [join [lmap x $rawBy(callback) {format %.1f $x}] /]]
    puts [format "peak resident set over the one before the monitor, frames: Tcl %s; raw, consumer thread %s; in the callback %s (the last round's monitor counted %s dropped)" \
        [join [lmap x $peaks {format %.2f $x}] /] [join [lmap x $rawPeaks(worker) {format %.2f $x}] /] \
        [join [lmap x $rawPeaks(callback) {format %.2f $x}] /] $dropped]
    figure "8 MiB frames a second" [format %.1f [median $ourRates]] [format %.1f [median $rawRates]] \
        ">= 0.8x raw" [format "%s (%.2fx)" [expr {$ratio >= 0.8 ? "yes" : "no"}] $ratio]
    set peak [tcl::mathfunc::max {*}$peaks]
    figure "peak RSS over baseline (frames)" [format %.2f $peak] [format %.2f [tcl::mathfunc::max {*}$rawPeaks(callback)]] \
        "<= 2 frames" [expr {$peak <= 2 ? "yes" : "no"}]

    # ---- monitors ---------------------------------------------------------------------
    set pvfile [file join [pwd] pva_bench.pvs]
    set f [open $pvfile w]
    for {set i 0} {$i < 1000} {incr i} { puts $f "bench:s$i double 0 rate=10" }
    close $f
    startServerFile $pvfile
    proc tick {value} { incr ::ticks }
    set window 10
    set names {}
    for {set i 0} {$i < 1000} {incr i} { lappend names pva://bench:s$i }
    set ids [lmap name $names { tessaly::monitor $name tick }]
    pause 2000
    set ::ticks 0
    set before [cpuTicks]
    set start [clock microseconds]
    pause [expr {$window * 1000}]
    set elapsed [expr {([clock microseconds] - $start) / 1e6}]
    set ourCpu [expr {([cpuTicks] - $before) * 100.0 / $hz / $elapsed}]
    set ourUpdates [expr {$::ticks / $elapsed}]
    foreach id $ids { tessaly::unmonitor $id }
    tessaly::disconnect {*}$names
    lassign [raw monitors bench:s 1000 $window] rawCpu rawUpdates
    stopServer
    file delete $pvfile
    puts [format "monitors: 1000 NTScalars at 10 Hz for %d s: %.0f updates a second to Tcl, %.0f to raw" \
        $window $ourUpdates $rawUpdates]
    figure "CPU, 1000 monitors at 10 Hz (% core)" [format %.1f $ourCpu] [format %.1f $rawCpu] "<= 5%" \
        [expr {$ourCpu <= 5 ? "yes" : "no"}]
} on error {message options} {
    puts "benchmark stopped: $message"
    puts [dict get $options -errorinfo]
} finally {
    stopServer
}

puts ""
puts [format "%-38s %10s %10s %-14s %s" figure ours raw goal met]
foreach row $table { puts [format "%-38s %10s %10s %-14s %s" {*}$row] }
