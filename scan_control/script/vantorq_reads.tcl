# Reads by name: vantorq::status (one READ_STATUS, never waits) and
# vantorq::settings new|active.  The active settings are the driver's copy of
# the new ones, made when it acts on a start: read while a run is going and
# before that copy, they are waited for (bounded by vantorq::driverTimeout).

proc ::vantorq::impl::Status {args} {
    variable stateNames
    variable requestNames
    if {[llength $args]} {
        Fail {TCL WRONGARGS} {wrong # args: should be "vantorq::status"}
    }
    lassign [Read READ_STATUS] state request channel milliVolts dac queue scans
    dict create runState [NameOf $stateNames $state] runRequest [NameOf $requestNames $request] \
        channel $channel dacMilliVolts $milliVolts dac $dac queueCount $queue scans $scans
}

proc ::vantorq::impl::Settings {args} {
    if {[llength $args] != 1} {
        Fail {TCL WRONGARGS} {wrong # args: should be "vantorq::settings new|active"}
    }
    switch -exact -- [lindex $args 0] {
        new { return [NewSettings] }
        active { return [ActiveSettings] }
    }
    Fail {VANTORQ USAGE} "bad settings \"[lindex $args 0]\": must be new or active"
}

# The settings keywords' values as they stand in the block (ENABLE_SCALER:
# the four enable words), with the ramp end derived from them.
proc ::vantorq::impl::NewSettings {} {
    lassign [Read READ_NEW_SETTINGS] channels zero step rampEnd rampMilliVolts dwell settle rampDac
    set scalers {}
    foreach index {1 2 3 4} {
        lappend scalers [Read "READ_ENABLE_SCALER $index"]
    }
    dict create NUM_CHANS $channels DAC_STEP $step DWELL_TIME $dwell SETTLE_TIME $settle \
        RAMP_DAC $rampDac DEBUG [Read READ_DEBUG] ENABLE_ADC [Read READ_ENABLE_ADC] \
        ENABLE_TDC [Read READ_ENABLE_TDC] ADC_METHOD [Read READ_ADC_METHOD] ENABLE_SCALER $scalers \
        rampEnd $rampEnd rampEndMilliVolts $rampMilliVolts
}

# The settings the driver copied at the start of the run.
proc ::vantorq::impl::ActiveRead {} {
    lassign [Read READ_ACTIVE_SETTINGS] channels zero step rampEnd rampMilliVolts dwell settle
    dict create NUM_CHANS $channels DAC_STEP $step DWELL_TIME $dwell SETTLE_TIME $settle \
        rampEnd $rampEnd rampEndMilliVolts $rampMilliVolts
}

# A granted start needs a dwell time, so a zero one in the active settings of
# a going or paused run means that the driver has not copied them yet.
proc ::vantorq::impl::ActiveSettings {} {
    set active [ActiveRead]
    if {[dict get $active DWELL_TIME] != 0 || [dict get [Status] runState] eq "halted"} {
        return $active
    }
    return [Await AwaitCopy [expr {[clock milliseconds] + [DriverTimeoutMs]}]]
}

proc ::vantorq::impl::AwaitCopy {deadline} {
    variable pollMs
    while {[clock milliseconds] < $deadline} {
        Sleep $pollMs
        set active [ActiveRead]
        if {[dict get $active DWELL_TIME] != 0 || [dict get [Status] runState] eq "halted"} {
            return $active
        }
    }
    Fail {VANTORQ NODRIVER settings} "the run is [dict get [Status] runState] but no driver has copied its settings into the active ones within $::vantorq::driverTimeout s: [DriverQuestion]"
}
