# Shared by the parts of the script layer: errors raised in Tcl's manner, the
# block read through LaserControl, the names of run states and requests, and
# waits that keep the event loop running.
namespace eval ::vantorq::impl {
    # Run states and run requests by the codes READ_STATUS gives; a code not
    # listed is shown as its number.
    variable stateNames {0 halted 1 going 2 paused}
    variable requestNames {
        0 none 1 start 2 resume 3 stop 4 stopAtEnd 5 pause 6 pauseAtEnd 7 wakeUp 100 forceState
    }
    # How often a wait looks at the block, in milliseconds.
    variable pollMs 10
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
