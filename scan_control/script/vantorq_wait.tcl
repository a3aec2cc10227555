# vantorq::wait ?-until halted|paused|scans N? ?-timeout S? ?-progress CMD?
# returns the status (a dict, as vantorq::status) once the run is halted (the
# default), paused, or has counted N scans.  It looks at the block from the
# event loop (timers, file events and Tk go on meanwhile) and calls the
# progress command, with the status appended, whenever the run state, the
# channel or the scan count changes; a `break` from it ends the wait there.
# It fails when the state waited for can no longer come (the run halted),
# when the timeout passes, and when a going run's channel, scan count and
# queue count stand still longer than a driver would let them.

proc ::vantorq::impl::Wait {args} {
    set usage {wrong # args: should be "vantorq::wait ?-until halted|paused|scans N? ?-timeout seconds? ?-progress command?"}
    set until halted
    set scans 0
    set timeoutMs {}
    set progress {}
    for {set i 0} {$i < [llength $args]} {incr i} {
        set option [lindex $args $i]
        if {$option ni {-until -timeout -progress}} {
            Fail {VANTORQ USAGE} "bad option \"$option\": must be -until, -timeout or -progress"
        }
        if {[incr i] >= [llength $args]} {
            Fail {TCL WRONGARGS} $usage
        }
        set value [lindex $args $i]
        switch -- $option {
            -until {
                # scans N: as two words, or as one list of two.
                if {$value eq "scans" && $i + 1 < [llength $args]} {
                    set value [list scans [lindex $args [incr i]]]
                }
                set until [lindex $value 0]
                if {$until ni {halted paused scans} || [llength $value] != ($until eq "scans" ? 2 : 1)} {
                    Fail {VANTORQ USAGE} "bad -until \"$value\": must be halted, paused or scans N"
                }
                if {$until eq "scans"} {
                    set scans [Integer -until "the scan count of -until" [lindex $value 1] 0 2147483647]
                }
            }
            -timeout {
                if {![string is double -strict $value] || !($value > 0 && $value < 1e9)} {
                    Fail {VANTORQ USAGE} "bad -timeout \"$value\": must be a number of seconds above 0"
                }
                set timeoutMs [expr {round($value * 1000)}]
            }
            -progress {
                if {[catch {llength $value}]} {
                    Fail {VANTORQ USAGE} "bad -progress \"$value\": must be a command prefix (a list)"
                }
                set progress $value
            }
        }
    }
    DriverTimeoutMs   ;# checked before the wait starts
    Await AwaitRun $until $scans $timeoutMs $progress
}

# The outcome of one look: the status once the wait is over, empty while it
# goes on; an error when the state waited for can no longer come.
proc ::vantorq::impl::Reached {until scans status} {
    set state [dict get $status runState]
    set counted [dict get $status scans]
    switch -- $until {
        halted {
            if {$state eq "halted"} { return $status }
        }
        paused {
            if {$state eq "paused"} { return $status }
            if {$state eq "halted"} {
                Fail {VANTORQ STATE wait} "the run is halted (after $counted scans): it will not pause"
            }
        }
        scans {
            if {$counted >= $scans} { return $status }
            if {$state eq "halted"} {
                Fail {VANTORQ STATE wait} "the run is halted after $counted scans: it will not count $scans"
            }
        }
    }
    return {}
}

proc ::vantorq::impl::AwaitRun {until scans timeoutMs progress} {
    variable pollMs
    set start [clock milliseconds]
    set reported {}
    set motion {}
    set stallMs {}
    while 1 {
        set status [Status]
        set now [clock milliseconds]
        set seen [dict filter $status key runState channel scans]
        if {$progress ne "" && $seen ne $reported} {
            set reported $seen
            if {[catch {uplevel #0 [linsert $progress end $status]} result options] == 1} {
                return -options $options $result
            } elseif {[dict get $options -code] == 3} {
                return $status
            }
        }
        set done [Reached $until $scans $status]
        if {[llength $done]} {
            return $done
        }
        # A going run moves at least once a channel; the limit starts afresh
        # whenever the run is not going or something moved.
        set moved [dict filter $status key runState channel scans queueCount]
        if {[dict get $status runState] ne "going" || $moved ne $motion} {
            set motion $moved
            set movedAt $now
            set stallMs {}
        } elseif {$stallMs eq ""} {
            set stallMs [expr {[DriverTimeoutMs] + 2 * [ChannelMs [ActiveRead]]}]
        } elseif {$now - $movedAt > $stallMs} {
            Fail {VANTORQ NODRIVER wait} "the run is going but nothing has moved for [format %.1f [expr {($now - $movedAt) / 1000.0}]] s (channel [dict get $status channel], [dict get $status scans] scans, queue count [dict get $status queueCount]): no driver is acting on it; [DriverQuestion]"
        }
        if {$timeoutMs ne "" && $now - $start >= $timeoutMs} {
            Fail {VANTORQ TIMEOUT wait} "the run is not [UntilText $until $scans] after [format %g [expr {$timeoutMs / 1000.0}]] s: it is [dict get $status runState], at scan [dict get $status scans], channel [dict get $status channel]"
        }
        Sleep $pollMs
    }
}

proc ::vantorq::impl::UntilText {until scans} {
    expr {$until eq "scans" ? "at $scans scans" : $until}
}
