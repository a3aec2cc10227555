# The run, through the vantorq commands: the block is read every 200 ms (it
# has no events), and the buttons post run requests.  A request that is
# refused shows its reason at the foot of the window.  While a request is
# under way (a start waits, from the event loop, until the driver acts on
# it) the buttons are off; the window goes on redrawing.
namespace eval panel::run {
    variable pollMs 200
    variable timer {}
    variable refreshing 0
    variable busy 0
    # The run state last shown, and the settings of the run (the active ones
    # while a run is going or paused, the new ones while halted).
    variable lastState {}
    variable settings {}
    # The buttons each run state allows.
    variable allowed {
        halted {start}
        going  {pause stopAtEnd stop}
        paused {resume stop}
    }
    variable requestTexts {
        none "none" start "start" resume "resume" stop "stop now" stopAtEnd "stop at end"
        pause "pause now" pauseAtEnd "pause at end" wakeUp "wake up" forceState "force state"
    }
    variable done {
        start     "Started a run."
        pause     "Paused the run."
        resume    "Resumed the run."
        stopAtEnd "The run stops at the end of this scan."
        stop      "Stopped the run."
    }
}

proc panel::run::poll {} {
    variable pollMs
    variable timer
    after cancel $timer
    refresh
    set timer [after $pollMs panel::run::poll]
}

# Reads the block once and shows what it holds.  Reading the active
# settings may run the event loop (until the driver has copied them): a
# look asked for meanwhile is left out.
proc panel::run::refresh {} {
    variable refreshing
    if {$refreshing} return
    set refreshing 1
    try {
        show
    } finally {
        set refreshing 0
    }
}

proc panel::run::show {} {
    variable lastState
    variable requestTexts
    if {[catch {vantorq::status} status]} {
        panel::showState unknown
        buttons {}
        panel::fail "Cannot read the scan block: $status" block
        return
    }
    panel::over block
    set state [dict get $status runState]
    set request [dict get $status runRequest]
    # A stop at the end of the scan is under way only while it is requested.
    if {$request ne "stopAtEnd"} {
        panel::over stopAtEnd
    }
    if {$state ne $lastState || $state eq "halted"} {
        readSettings $state
    }
    set lastState $state
    panel::showState $state
    .run.request configure -text [expr {[dict exists $requestTexts $request] ? [dict get $requestTexts $request] : $request}]
    .run.scans configure -text [dict get $status scans]
    set channels [channels]
    .run.channel configure -text "[dict get $status channel] / $channels"
    .run.dac configure -text [format "%s mV (%d)" [dict get $status dacMilliVolts] [dict get $status dac]]
    panel::plot::setScan $channels [expr {$state eq "halted" ? -1 : [dict get $status channel]}]
    buttons [allowedNow $state $request]
}

# The settings of the run in this state; a failure to read them is shown
# and the last ones are kept.
proc panel::run::readSettings {state} {
    variable settings
    set which [expr {$state eq "halted" ? "new" : "active"}]
    if {[catch {vantorq::settings $which} read]} {
        panel::fail "Cannot read the $which settings: $read" settings
        return
    }
    panel::over settings
    set settings $read
    .run.settings configure -text [format "%d channels, DAC step %d, dwell %s, settle %s, ramp end %d counts (%s mV)" \
        [dict get $read NUM_CHANS] [dict get $read DAC_STEP] [duration [dict get $read DWELL_TIME]] \
        [duration [dict get $read SETTLE_TIME]] [dict get $read rampEnd] [dict get $read rampEndMilliVolts]]
}

proc panel::run::channels {} {
    variable settings
    expr {[dict exists $settings NUM_CHANS] ? [dict get $settings NUM_CHANS] : 0}
}

# A time in microseconds, as people read it.
proc panel::run::duration {us} {
    if {$us >= 1000000} { return [format "%g s" [expr {$us / 1e6}]] }
    if {$us >= 1000} { return [format "%g ms" [expr {$us / 1e3}]] }
    return "$us \u00b5s"
}

proc panel::run::allowedNow {state request} {
    variable allowed
    if {![dict exists $allowed $state]} { return {} }
    set names [dict get $allowed $state]
    if {$request eq "stopAtEnd"} {
        set names [lsearch -all -inline -not -exact $names stopAtEnd]
    }
    return $names
}

# Turns on the buttons named, the others off; all off while a request is
# under way.
proc panel::run::buttons {names} {
    variable busy
    foreach button [winfo children .run.buttons] {
        set on [expr {!$busy && [winfo name $button] in $names}]
        $button state [expr {$on ? "!disabled" : "disabled"}]
    }
}

proc panel::run::request {name} {
    variable busy
    variable done
    if {$busy} return
    set busy 1
    buttons {}
    set failed [catch {vantorq::run $name} message]
    set busy 0
    if {$failed} {
        panel::fail $message
    } elseif {$name eq "stopAtEnd"} {
        # True until the run halts (or the request is otherwise gone).
        panel::say [dict get $done $name] stopAtEnd
    } else {
        panel::say [dict get $done $name]
    }
    refresh
}

# Sends the settings given on the command line, before the first look.
proc panel::run::apply {settings} {
    if {[llength $settings] == 0} return
    if {[catch {vantorq::set {*}$settings} message]} {
        panel::fail "The settings were not sent: $message"
    }
}
