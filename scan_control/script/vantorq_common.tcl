# Shared by the parts of the script layer: errors raised in Tcl's manner, the
# block read through LaserControl, the names of run states and requests,
# waits that keep the event loop running, and the commands that wake the
# driver, which never lose a request (Send).
namespace eval ::vantorq::impl {
    # Run states and run requests by the codes READ_STATUS gives; a code not
    # listed is shown as its number.
    variable stateNames {0 halted 1 going 2 paused}
    variable requestNames {
        0 none 1 start 2 resume 3 stop 4 stopAtEnd 5 pause 6 pauseAtEnd 7 wakeUp 100 forceState
    }
    # The driver's commands by the codes in DriverCommand.
    variable driverCommands {
        0 DRIVER_START 1 DRIVER_RESUME 2 DRIVER_STOP 3 DRIVER_SET_DAC 4 DRIVER_WAKE_UP -1 DRIVER_DROPPED
    }
    # How often a wait looks at the block, and at the driver's command slot,
    # in milliseconds.
    variable pollMs 10
    variable slotPollMs 2
    # The outcome of each wait under way, by its number.
    variable awaits
    array set awaits {count 0}
}

# Raises an error from the caller: the result says what failed and why,
# errorCode is the list `code`.
proc ::vantorq::impl::Fail {code message} {
    return -code error -level 2 -errorcode $code $message
}

# A read keyword's reply as a list of its values.
proc ::vantorq::impl::Read {keyword} {
    string trim [LaserControl $keyword]
}

# The name of a code in one of the tables above, or the code itself.
proc ::vantorq::impl::NameOf {table code} {
    if {[dict exists $table $code]} {
        return [dict get $table $code]
    }
    return $code
}

# vantorq::driverTimeout in milliseconds, checked.
proc ::vantorq::impl::DriverTimeoutMs {} {
    set seconds $::vantorq::driverTimeout
    if {![string is double -strict $seconds] || !($seconds > 0 && $seconds <= 3600)} {
        Fail {VANTORQ USAGE} "vantorq::driverTimeout must be a number of seconds above 0 and up to 3600, got \"$seconds\""
    }
    return [expr {round($seconds * 1000)}]
}

# The time one channel of a scan takes (settle and dwell time, both in
# microseconds), in milliseconds.
proc ::vantorq::impl::ChannelMs {settings} {
    set settle [dict get $settings SETTLE_TIME]
    expr {([dict get $settings DWELL_TIME] + ($settle > 0 ? $settle : 0)) / 1000.0}
}

# The end of a message about a driver that does not act.
proc ::vantorq::impl::DriverQuestion {} {
    if {[info exists ::env(VANTORQ_NAMESPACE)] && $::env(VANTORQ_NAMESPACE) ne ""} {
        return "is the driver process running, with VANTORQ_NAMESPACE \"$::env(VANTORQ_NAMESPACE)\"?"
    }
    return "is the driver process running (without VANTORQ_NAMESPACE, as this process)?"
}

# Runs a command (a prefix) that may call Sleep, in a coroutine of its own,
# and waits in the event loop (vwait) for its outcome, which it returns or
# raises.  Timers, file events and Tk go on meanwhile.
proc ::vantorq::impl::Await {args} {
    variable awaits
    set token [incr awaits(count)]
    coroutine [namespace current]::await$token [namespace current]::AwaitBody $token {*}$args
    if {![info exists awaits($token)]} {
        vwait [namespace current]::awaits($token)
    }
    lassign $awaits($token) result options
    unset awaits($token)
    return -options $options $result
}

proc ::vantorq::impl::AwaitBody {token args} {
    variable awaits
    catch {{*}$args} result options
    set awaits($token) [list $result $options]
}

# Inside an Await: gives the event loop `ms` milliseconds.
proc ::vantorq::impl::Sleep {ms} {
    after $ms [list [info coroutine]]
    yield
}

# ---- commands that wake the driver ------------------------------------------
#
# A command that wakes the driver (SET_DAC, CHANNEL, a start, stop or resume)
# writes its code into DriverCommand and posts "/Cmnd_Sem", which counts to
# one: posted before the driver has taken the previous command, it is
# refused, and its code has overwritten the previous one.  So Send posts
# through CommandSlot post, which runs the command only when the slot is free,
# checked under the same hold of the control lock as the post; it waits for
# the slot (vantorq::driverTimeout at most), and then for the driver to take
# the command (as long again).  A command no driver took is withdrawn, so
# that no driver started later acts on it.

# Sends the command text and returns 1, or 0 when LaserControl would have
# refused it (the caller tells why).  `what` goes into the errorCode of a
# failure, `label` into its message.  Inside a coroutine it waits there;
# elsewhere it waits in the event loop.  With -nowait it returns the code of
# the command posted (-1: none) without waiting for the driver to take it.
proc ::vantorq::impl::Send {args} {
    if {[info coroutine] eq ""} {
        return [Await [namespace current]::Send {*}$args]
    }
    variable slotPollMs
    set wait [expr {[lindex $args 0] ne "-nowait"}]
    lassign [lrange $args [expr {!$wait}] end] what text label
    set timeoutMs [DriverTimeoutMs]
    set deadline [expr {[clock milliseconds] + $timeoutMs}]
    while 1 {
        lassign [CommandSlot post $text] outcome code
        if {$outcome ne "busy"} {
            break
        }
        if {[clock milliseconds] >= $deadline} {
            Fail [list VANTORQ NODRIVER $what] "the driver has not taken the previous command ([CommandName $code]) within $::vantorq::driverTimeout s, so $label was not sent: [DriverQuestion]"
        }
        Sleep $slotPollMs
    }
    switch -- $outcome {
        failed { return [expr {$wait ? 0 : -1}] }
        refused {
            Fail [list VANTORQ REFUSED $what] "$label was not handed to the driver: another client posted a command ([CommandName [lindex [CommandSlot look] 1]]) while the control lock was not held"
        }
    }
    if {!$wait} {
        return $code
    }
    if {$code != -1} {
        AwaitTaken $what $code $label [expr {[clock milliseconds] + $timeoutMs}]
    }
    return 1
}

# Waits until the driver has taken the command posted (code); at the
# deadline takes it back, unless the driver has taken it meanwhile.
proc ::vantorq::impl::AwaitTaken {what code label deadline} {
    variable slotPollMs
    set tried 0
    while 1 {
        lassign [CommandSlot look] count now
        if {$count == 0} {
            if {$now == -1} {
                Fail [list VANTORQ NODRIVER $what] "$label was posted before the driver started, and the driver dropped it without acting on it: send it again"
            }
            return
        }
        if {$now != $code} {
            Fail [list VANTORQ REFUSED $what] "$label was overwritten by another client's command ([CommandName $now]) before the driver took it"
        }
        if {$tried} {
            return   ;# the driver took it at the last moment; this one is another client's
        }
        if {[clock milliseconds] >= $deadline} {
            if {[CommandSlot withdraw $code]} {
                Fail [list VANTORQ NODRIVER $what] "no driver took $label within $::vantorq::driverTimeout s, and it was taken back: no driver will act on it later; [DriverQuestion]"
            }
            set tried 1   ;# taken at the last moment, or replaced: one more look
            continue
        }
        Sleep $slotPollMs
    }
}

proc ::vantorq::impl::CommandName {code} {
    variable driverCommands
    NameOf $driverCommands $code
}
