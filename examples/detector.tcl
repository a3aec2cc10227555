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
# Access variables of the server.  Prints "detector ready" once it follows
# the block; runs until it is killed.
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
    variable slot
    variable countsPv
    set last [expr {min($channel, $capacity - 1)}]
    if {$last < [llength $counts]} return
    for {set c [llength $counts]} {$c <= $last} {incr c} {
        lappend counts [countsAt $c $channels]
    }
    if {[catch {EPICS_Put $slot $counts} message]} {
        puts stderr "detector: cannot write $countsPv: $message"
    }
}

proc detector::main {argv} {
    variable countsPv
    variable setpointPv
    variable slot
    variable capacity
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
    if {[catch {EPICS_CreateChannels $countsPv $setpointPv} slots]} {
        fail "cannot connect to $countsPv and $setpointPv: [lindex $::errorCode 0]"
    }
    lassign $slots slot setpoint
    set capacity [dict get [EPICS_Info $slot] count]
    EPICS_Monitor $setpoint {set ::detector::wavelength}
    poll
    puts "detector ready"
    flush stdout
    vwait forever
}

detector::main $argv
