# vantorq::run start|stop|pause|resume|stopAtEnd|pauseAtEnd: run requests
# that fail with a reason where RUN_REQUEST would do nothing.  The run state
# is checked before the request is sent and again after it (another client
# may have moved the run meanwhile).  A start also checks the settings the
# block would refuse it for, and waits (bounded) until the driver has acted
# on it: a start no driver acts on is taken back and fails.  The requests
# that wake the driver (start, stop, resume) are sent with Send, which never
# loses one (vantorq_common.tcl).
namespace eval ::vantorq::impl {
    # Request, its keyword, what it does, the run states it is taken in,
    # the outcome to expect once it is taken: a run state, or a run request
    # left pending for the driver (with the state the driver leaves when it
    # has honoured it already), and whether it wakes the driver.
    variable runRequests {
        stop       {RUN_STOP_NOW     "stop the run"                       {going paused} {halted}             1}
        pause      {RUN_PAUSE_NOW    "pause the run"                      {going}        {paused}             0}
        resume     {RUN_RESUME       "resume the run"                     {paused}       {going}              1}
        stopAtEnd  {RUN_STOP_AT_END  "stop the run at the end of a scan"  {going}        {halted stopAtEnd}   0}
        pauseAtEnd {RUN_PAUSE_AT_END "pause the run at the end of a scan" {going}        {paused pauseAtEnd}  0}
    }
}

proc ::vantorq::impl::Run {args} {
    variable runRequests
    set usage {wrong # args: should be "vantorq::run start|stop|pause|resume|stopAtEnd|pauseAtEnd"}
    if {[llength $args] != 1} {
        Fail {TCL WRONGARGS} $usage
    }
    set request [lindex $args 0]
    if {$request eq "start"} {
        return [Start]
    }
    if {![dict exists $runRequests $request]} {
        Fail {VANTORQ USAGE} "bad request \"$request\": must be start, stop, pause, resume, stopAtEnd or pauseAtEnd"
    }
    lassign [dict get $runRequests $request] keyword doing takenIn outcome wakes
    if {$wakes} {
        DriverTimeoutMs   ;# read by Send: checked before anything is sent
    }
    set state [dict get [Status] runState]
    if {$state ni $takenIn} {
        Fail [list VANTORQ STATE $request] "cannot $doing: it is $state[RunHint $request $state]"
    }
    if {$wakes} {
        Send $request "RUN_REQUEST $keyword" "the $request"
    } else {
        LaserControl "RUN_REQUEST $keyword"
    }
    set status [Status]
    if {[dict get $status runState] ni $outcome && [dict get $status runRequest] ni $outcome} {
        Fail [list VANTORQ STATE $request] "cannot $doing: it is [dict get $status runState] now (changed by another client)"
    }
    return
}

proc ::vantorq::impl::RunHint {request state} {
    if {$request eq "stopAtEnd" && $state eq "paused"} {
        return " (a resume drops a stop at the end posted while paused: resume first, or stop it now)"
    }
    return ""
}

# Why the block would refuse a start now, as {errorCode message}, or empty.
# Stricter than the block on the ramp end: it takes the true product, which
# the block keeps in 16 bits (so that 700 x 100 = 70000 would pass as 4464),
# and it wants the 2 channels NUM_CHANS takes at least.
proc ::vantorq::impl::StartRefusal {state new} {
    set cannot "cannot start a run"
    if {$state eq "going"} {
        return [list {VANTORQ STATE start} "$cannot: a run is already going"]
    }
    if {$state ne "halted"} {
        return [list {VANTORQ STATE start} "$cannot: a run is $state (resume it or stop it first)"]
    }
    set channels [dict get $new NUM_CHANS]
    if {$channels < 2} {
        return [list {VANTORQ SETTINGS NUM_CHANS} "$cannot: NUM_CHANS is $channels (set it to 2 to 32768)"]
    }
    set dwell [dict get $new DWELL_TIME]
    if {$dwell < 1} {
        return [list {VANTORQ SETTINGS DWELL_TIME} "$cannot: DWELL_TIME is $dwell (set it to 1 to 1000000)"]
    }
    set step [dict get $new DAC_STEP]
    set rampEnd [expr {($channels - 1) * $step}]
    if {$rampEnd > 32767} {
        return [list {VANTORQ SETTINGS RAMP_END} "$cannot: the ramp end (NUM_CHANS - 1) x DAC_STEP = [expr {$channels - 1}] x $step = $rampEnd DAC counts is above 32767"]
    }
    return {}
}

proc ::vantorq::impl::Start {} {
    set timeoutMs [DriverTimeoutMs]   ;# checked before anything is sent
    set before [Status]
    set new [ActiveOf [NewSettings]]
    set refusal [StartRefusal [dict get $before runState] $new]
    if {[llength $refusal]} {
        Fail {*}$refusal
    }
    Await [namespace current]::StartAndAwait $new [ActiveRead] $before $timeoutMs
    return
}

# In a coroutine: posts the start, once the driver has taken the command
# before it, and waits until the driver has acted on it.
proc ::vantorq::impl::StartAndAwait {new active before timeoutMs} {
    if {[Send -nowait start {RUN_REQUEST RUN_START} "the start"] == -1} {
        set refusal [StartRefusal [dict get [Status] runState] [ActiveOf [NewSettings]]]
        if {![llength $refusal]} {
            set refusal [list {VANTORQ REFUSED start} "cannot start a run: RUN_REQUEST RUN_START was refused"]
        }
        Fail {*}$refusal
    }
    AwaitStart $new $active $before [expr {[clock milliseconds] + $timeoutMs + [ChannelMs $new]}]
}

# The keys of the settings that the driver copies into the active ones.
proc ::vantorq::impl::ActiveOf {settings} {
    dict filter $settings key NUM_CHANS DAC_STEP DWELL_TIME SETTLE_TIME rampEnd rampEndMilliVolts
}

# Waits until the driver has acted on the start: the active settings are the
# new ones, and something it writes has changed (the active settings, the
# channel, the scan count or the queue count; with the same settings again
# and nothing counted yet, that is its first channel step).  No driver by the
# deadline: the start is taken back.
proc ::vantorq::impl::AwaitStart {new active before deadline} {
    variable pollMs
    set motion [dict filter $before key channel scans queueCount]
    while 1 {
        set status [Status]
        if {[dict get $status runState] ne "going"} {
            return   ;# stopped or paused meanwhile: the driver's part is over
        }
        set now [ActiveRead]
        set copied [expr {[ActiveOf $now] eq $new}]
        if {$copied && ($now ne $active || [dict filter $status key channel scans queueCount] ne $motion)} {
            return
        }
        if {[clock milliseconds] >= $deadline} {
            break
        }
        Sleep $pollMs
    }
    TakeBackStart
    set seen [expr {$copied ? "the channel, scan count and queue count did not move" : "its settings were not copied into the active ones"}]
    Fail {VANTORQ NODRIVER start} "no driver acted on the start within $::vantorq::driverTimeout s ($seen): [DriverQuestion] The start was taken back: the run is halted."
}

# Puts a start that no driver acted on back to halted.  A start still in the
# driver's command slot is withdrawn, and so is the stop that halts the run:
# no driver has seen either, and none started later will act on them.  A
# start the driver took after all is stopped as any run is.
proc ::vantorq::impl::TakeBackStart {} {
    if {[CommandSlot withdraw 0]} {
        lassign [CommandSlot post {RUN_REQUEST RUN_STOP_NOW}] outcome code
        if {$outcome eq "done" && $code != -1} {
            CommandSlot withdraw $code
        }
        if {$outcome ne "busy"} {
            return
        }
    }
    catch {Send stop {RUN_REQUEST RUN_STOP_NOW} "the stop"}
}
