# vantorq::set KEY VALUE ?KEY VALUE ...?: the settings keywords with strict
# values.  Every pair is checked before any is sent, so that a wrong one
# leaves the block as it was; then they are sent in the order given, each as
# a decimal number (LaserControl reads a leading 0 as octal).  SET_DAC and
# CHANNEL wake the driver: they are sent with Send, which waits for the
# driver's command slot and for the driver to take them.
namespace eval ::vantorq::impl {
    # Keyword, lowest and highest value.  Where LaserControl takes more, it
    # does something else with it: DAC_STEP below 0 and SET_DAC outside
    # 0..65535 wrap to 16 bits, SETTLE_TIME takes negative times, ENABLE_ADC
    # and ENABLE_TDC fold any value to 0 or 1, ADC_METHOD turns any value
    # outside 1..3 into 3, a number with trailing text is cut.
    variable settingRanges {
        DEBUG       {-2147483648 2147483647}
        NUM_CHANS   {2 32768}
        DAC_STEP    {0 32767}
        RAMP_DAC    {-2147483648 2147483647}
        ENABLE_ADC  {0 1}
        ENABLE_TDC  {0 1}
        DWELL_TIME  {1 1000000}
        SETTLE_TIME {0 99999999}
        ADC_METHOD  {1 3}
        SET_DAC     {0 65535}
        CHANNEL     {0 32767}
    }
    # The keywords that move the DAC, which the block takes only while halted.
    variable whileHalted {SET_DAC CHANNEL}
}

# An integer in decimal or in hex after 0x, optionally signed, within
# low..high; gives it in decimal.  `key` names the setting in the errorCode,
# `label` in the message.
proc ::vantorq::impl::Integer {key label text low high} {
    if {![regexp {^[-+]?(0|[1-9][0-9]*|0[xX][0-9a-fA-F]+)$} $text]} {
        set why ""
        if {[regexp {^[-+]?0[0-9]+$} $text]} {
            set why " (a leading 0 is refused: LaserControl would read it as octal)"
        }
        Fail [list VANTORQ VALUE $key] "$label must be an integer in decimal or in hex after 0x, got \"$text\"$why"
    }
    set value [expr {$text + 0}]
    if {$value < $low || $value > $high} {
        set shown [expr {$value eq $text ? $text : "$text ($value)"}]
        Fail [list VANTORQ RANGE $key] "$label must be $low to $high, got $shown"
    }
    return $value
}

# The LaserControl command text of one checked KEY VALUE pair.
proc ::vantorq::impl::SettingCommand {key text} {
    variable settingRanges
    if {$key eq "ENABLE_SCALER"} {
        if {[catch {llength $text} length] || $length != 2} {
            Fail [list VANTORQ VALUE $key] "ENABLE_SCALER must be a list of a scaler index and its enable word, got \"$text\""
        }
        lassign $text index word
        set index [Integer $key "ENABLE_SCALER's scaler index" $index 1 4]
        set word [Integer $key "ENABLE_SCALER's enable word" $word -2147483648 2147483647]
        return "ENABLE_SCALER $index $word"
    }
    if {![dict exists $settingRanges $key]} {
        set keys [lsort [list ENABLE_SCALER {*}[dict keys $settingRanges]]]
        Fail [list VANTORQ KEYWORD $key] "unknown setting \"$key\": must be one of [join $keys {, }]"
    }
    lassign [dict get $settingRanges $key] low high
    return "$key [Integer $key $key $text $low $high]"
}

proc ::vantorq::impl::Set {args} {
    variable whileHalted
    if {[llength $args] == 0 || [llength $args] % 2 != 0} {
        Fail {TCL WRONGARGS} {wrong # args: should be "vantorq::set key value ?key value ...?"}
    }
    set commands {}
    foreach {key text} $args {
        lappend commands $key [SettingCommand $key $text]
    }
    foreach key [dict keys $commands] {
        if {$key in $whileHalted} {
            DriverTimeoutMs   ;# read by Send: checked before anything is sent
            set state [dict get [Status] runState]
            if {$state ne "halted"} {
                Fail [list VANTORQ STATE $key] "$key moves the DAC only while the run is halted, and it is $state: nothing was sent"
            }
            break
        }
    }
    foreach {key command} $commands {
        if {$key in $whileHalted} {
            set sent [Send $key $command $key]
        } else {
            set sent [expr {![catch {LaserControl $command}]}]
        }
        if {!$sent} {
            # Checked above: only a change made meanwhile by another client
            # gets here.
            set state [dict get [Status] runState]
            set why [expr {$key in $whileHalted && $state ne "halted" ? ": the run is $state now" : ""}]
            Fail [list VANTORQ REFUSED $key] "LaserControl refused \"$command\"$why (the settings before it in this call were sent)"
        }
    }
    return
}
