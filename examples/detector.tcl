# A stand-in for the lab's detector, for the scan panel: it follows the scan
# in the control block and, as the scan reaches each channel, publishes the
# counts of every channel of the scan so far in one waveform PV (its current
# length is the number of channels counted).  The simulated spectrum is one
# line on a flat background; the line sits at a channel that follows the
# wavelength set-point, so a new set-point moves it from the next channels
# counted on.
#
#   tclsh detector.tcl ?-counts PV? ?-setpoint PV? ?-follow-stdin?
#
# -follow-stdin ends it when its standard input ends (a parent that started
# it through a pipe has gone).
#
# Needs Vantorq and Tessaly, VANTORQ_NAMESPACE of the driver and the Channel
# Access variables of the server.  It follows the block from the start and
# reaches its PVs through Tessaly's name layer, which never holds it up: it
# prints "detector ready" once both PVs are connected (and says on standard
# error when they have not connected within 5 s, searching on).  While the
# counts PV is not connected (its server gone) the counts are kept, and
# published whole once it is back.  Runs until it is killed.
package require Vantorq 1.0
package require Tessaly 1.0

namespace eval detector {
    variable countsPv LAB:COUNTS
    variable setpointPv LAB:WAVELENGTH
    # How often the block is looked at (a channel of the demo lasts 25 ms
    # and more; a channel passed between two looks is counted all the same).
    variable pollMs 5
    variable wavelength 780.25
    # The run state last seen; the scan being counted, its channels and its
    # counts so far; the PV's element count.
    variable lastState halted
    variable scan -1
    variable counts {}
    variable channels 40
    variable capacity 0
    variable lastError ""
    # Each PV's connection: 1 connected, 0 not; "ready" said once.
    variable connected
    array set connected {}
    variable ready 0
}

proc detector::fail {message} {
    puts stderr "detector: $message"
    exit 1
}

# The counts of one channel of a scan of `channels`: a line whose centre
# moves from the first channel (400 nm) to the last (1100 nm), on a
# background of 50, with counting noise.
proc detector::countsAt {channel channels} {
    variable wavelength
    set centre [expr {($wavelength - 400.0) / 700.0 * ($channels - 1)}]
    set width [expr {max(1.0, $channels / 14.0)}]
    set mean [expr {50.0 + 900.0 * exp(-0.5 * (($channel - $centre) / $width) ** 2)}]
    expr {max(0, round($mean + sqrt($mean) * (rand() + rand() + rand() - 1.5)))}
}

# Looks at the block, then again `pollMs` later (the next look is set up
# only once this one is over: reading the active settings may run the event
# loop).
proc detector::poll {} {
    variable pollMs
    variable lastError
    if {[catch {look} message]} {
        # Said once, not at every look.
        if {$message ne $lastError} { puts stderr "detector: $message" }
        set lastError $message
    } else {
        set lastError ""
    }
    after $pollMs detector::poll
}

proc detector::look {} {
    variable lastState
    variable scan
    variable counts
    variable channels
    if {[catch {vantorq::status} status]} {
        return -code error "cannot read the scan block: $status"
    }
    set state [dict get $status runState]
    set scans [dict get $status scans]
    if {$lastState eq "halted" && $state ne "halted"} {
        # A new run: count afresh, over its channels.
        if {![catch {vantorq::settings active} active]} {
            set channels [dict get $active NUM_CHANS]
        }
        set scan $scans
        set counts {}
    } elseif {$scans > $scan && $scan >= 0} {
        # The scan counted has ended (and with it, maybe, the run): its
        # last channels are counted even if they passed between two looks.
        countUpTo [expr {$channels - 1}]
        set scan $scans
        set counts {}
    }
    set lastState $state
    if {$state ne "halted"} {
        countUpTo [dict get $status channel]
    }
}

# Counts every channel of the scan up to `channel` not counted yet (at most
# as many as the PV holds) and publishes them all.
proc detector::countUpTo {channel} {
    variable counts
    variable channels
    variable capacity
    variable countsPv
    variable connected
    # Not connected yet: the PV's length is not known.
    if {$capacity == 0} return
    set last [expr {min($channel, $capacity - 1)}]
    if {$last < [llength $counts]} return
    for {set c [llength $counts]} {$c <= $last} {incr c} {
        lappend counts [countsAt $c $channels]
    }
    # A put waits for a name that is not connected: the counts wait instead,
    # and go whole with the next channel once the server is back.  A loss
    # not heard of yet holds the put up for a second at most.
    if {!$connected($countsPv)} return
    if {[catch {tessaly::put -timeout 1 $countsPv $counts} message]} {
        puts stderr "detector: cannot write $countsPv: $message"
    }
}

# A PV's connection script.  The counts PV's length is the most the
# detector counts; "detector ready" goes once both PVs are connected.
proc detector::onConnection {pv up} {
    variable connected
    variable countsPv
    variable setpointPv
    variable capacity
    variable ready
    set connected($pv) $up
    if {$up && $pv eq $countsPv} {
        if {[catch {dict get [tessaly::info $countsPv] count} count]} {
            puts stderr "detector: cannot read the length of $countsPv: $count"
        } else {
            set capacity $count
        }
    }
    if {!$ready && $connected($countsPv) && $connected($setpointPv)} {
        set ready 1
        puts "detector ready"
        flush stdout
    }
}

# Said when the PVs have not connected within 5 s.
proc detector::impatient {} {
    variable connected
    variable ready
    if {$ready} return
    set late {}
    foreach pv [lsort [array names connected]] {
        if {!$connected($pv)} { lappend late $pv }
    }
    puts stderr "detector: no server has answered for [join $late { and }] in 5 s; searching on"
}

proc detector::main {argv} {
    variable countsPv
    variable setpointPv
    variable connected
    set followStdin 0
    for {set i 0} {$i < [llength $argv]} {incr i} {
        set option [lindex $argv $i]
        switch -- $option {
            -counts - -setpoint {
                if {$i + 1 >= [llength $argv]} { fail "option \"$option\" has no value" }
                set [expr {$option eq "-counts" ? "countsPv" : "setpointPv"}] [lindex $argv [incr i]]
            }
            -follow-stdin { set followStdin 1 }
            default { fail "unknown option \"$option\": want -counts PV, -setpoint PV or -follow-stdin" }
        }
    }
    if {$followStdin} {
        # Started through a pipe: its end (the parent gone) ends the detector.
        fconfigure stdin -blocking 0
        fileevent stdin readable {
            read stdin
            if {[eof stdin]} { exit 0 }
        }
    }
    if {$countsPv eq $setpointPv} { fail "the counts and the set-point must be two PVs, got $countsPv twice" }
    foreach pv [list $countsPv $setpointPv] {
        set connected($pv) 0
    }
    if {[catch {
        foreach pv [list $countsPv $setpointPv] {
            tessaly::onconnection $pv [list detector::onConnection $pv]
        }
        tessaly::monitor $setpointPv {set ::detector::wavelength}
        tessaly::connect $countsPv $setpointPv
    } message]} {
        fail "cannot connect to $countsPv and $setpointPv: $message"
    }
    # A PV that connected before its script was set has no event to come.
    foreach pv [list $countsPv $setpointPv] {
        if {[dict get [tessaly::info $pv] state] eq "connected"} { onConnection $pv 1 }
    }
    after 5000 detector::impatient
    poll
    vwait forever
}

detector::main $argv
