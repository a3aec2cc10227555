# vantorq::wait ?-until halted|paused|scans N? ?-timeout S? ?-progress CMD?
# returns the status (a dict, as vantorq::status) once the run is halted (the
# default), paused, or has counted N scans.  It looks at the block from the
# event loop (timers, file events and Tk go on meanwhile) and calls the
# progress command, with the status appended, whenever the run state, the
# channel or the scan count changes; a `break` from it ends the wait there.
# It fails when the state waited for can no longer come (the run halted),
# when the timeout passes, when a going run's channel, scan count and queue
# count stand still longer than a driver would let them, and when the run it
# followed has ended and another one has been started between two looks.
#
# The run followed: the block numbers no runs, but a start makes the driver
# copy the new settings into the active ones and set the scan count and the
# channel back to 0, and nothing else moves the scan count back while a run
# lasts.  So the wait keeps the active settings of the run it found going or
# paused, and the furthest point {scans channel} it has seen it reach; other
# active settings, or a point behind that one, are another run's.  The driver
# writes the fields one by one, so a look can catch them half-written: when
# the wait takes the run, it reads the settings and the point twice and
# takes them only if both reads agree (a driver half-way through a start
# would show two different ones); channels are compared only within the
# first scan (at the end of a scan the scan count and the channel change one
# after the other); and a going or paused run is taken for another after two
# looks in a row (a halted one after one: nothing moves then).  A start still
# in the driver's command slot has not begun: the run is taken once the
# driver has taken it.

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
    set followed {}
    while 1 {
        set status [Status]
        set now [clock milliseconds]
        set followed [FollowRun $followed $status]
        if {[llength $followed] && [lindex $followed 2]} {
            Sleep $pollMs   ;# perhaps another run's: look again before anything else
            continue
        }
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

# The run a wait follows after a look (status), as {activeSettings {scans
# channel} suspect}: the furthest point seen, and 1 when this look seems
# another run's.  Empty until a look finds a run going or paused whose start
# is not waiting in the driver's command slot.  Fails when the look is
# another run's.
proc ::vantorq::impl::FollowRun {followed status} {
    set state [dict get $status runState]
    set point [list [dict get $status scans] [dict get $status channel]]
    if {![llength $followed]} {
        if {$state eq "halted"} {
            return {}
        }
        lassign [CommandSlot look] count code
        if {$count == 1 && $code == 0} {
            return {}
        }
        set active [ActiveOf [ActiveRead]]
        set again [Status]
        set pointAgain [list [dict get $again scans] [dict get $again channel]]
        if {[ActiveOf [ActiveRead]] ne $active || [Behind $pointAgain $point]} {
            return {}   ;# the driver is writing a start: take the run at the next look
        }
        return [list $active $pointAgain 0]
    }
    lassign $followed active furthest suspect
    if {[ActiveOf [ActiveRead]] eq $active && ![Behind $point $furthest]} {
        return [list $active $point 0]
    }
    if {$state eq "halted" || $suspect} {
        lassign $furthest scans channel
        Fail {VANTORQ NEWRUN wait} "the run this wait followed ended (last seen at scan $scans, channel $channel) and another run has been started since (now $state, at scan [lindex $point 0], channel [lindex $point 1]): what was waited for is not known"
    }
    return [list $active $furthest 1]
}

# Whether a point {scans channel} lies behind another in one run: a lower
# scan count, or, within the first scan, a lower channel.
proc ::vantorq::impl::Behind {point furthest} {
    lassign $point scans channel
    lassign $furthest furthestScans furthestChannel
    expr {$scans < $furthestScans || ($scans == 0 && $furthestScans == 0 && $channel < $furthestChannel)}
}
