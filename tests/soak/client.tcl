# One soak client: issues a mix of LaserControl commands from a start time
# to a stop time (both in milliseconds of [clock milliseconds]), checks each
# reply that can be checked, and writes what it saw to a result file, one
# "key value" per line:
#   commands N / failed N / max_us N / max_command TEXT / violations N
#   violation TEXT      (the first few, one line each)
#
#   tclsh client.tcl run PKGDIR RESULTFILE START_MS STOP_MS SEED
#   tclsh client.tcl final PKGDIR RESULTFILE
# "final" reads the settings once, after every client and the driver have
# stopped.
lassign $argv mode pkgdir resultFile startMs stopMs seed
lappend auto_path $pkgdir
package require Vantorq 1.0

set ::violations 0
set ::violationTexts {}
proc violation {text} {
    if {[incr ::violations] <= 10} { lappend ::violationTexts $text }
}

# The board stand-in's converter: 16-bit offset binary over +-10 V, the
# result a single-precision float.
proc milliVolts {dac} {
    set count [expr {($dac + 0x8000) & 0xFFFF}]
    binary scan [binary format f [expr {($count - 32768) * 10.0 / 32768.0}]] f v
    expr {$v * 1000.0}
}

# READ_NEW_SETTINGS: channels, 0, step, ramp end, ramp end in mV, dwell,
# settle, ramp DAC.  Every setting passed its range check when it was
# stored, and the ramp end is (channels - 1) x step in 16 bits, whoever set
# the last of the two.
proc checkSettings {text reply} {
    if {[llength $reply] != 8} {
        violation "$text replied '$reply': not 8 values"
        return
    }
    lassign $reply n zero step end mv dwell settle
    set want [expr {((($n - 1) & 0xFFFF) * $step) & 0xFFFF}]
    set wantMv [milliVolts $end]
    if {$zero != 0 || $n < 2 || $n > 32768 || $step > 32767 || $dwell < 1 || $dwell > 1000000
            || $settle >= 100000000} {
        violation "$text replied '$reply': a value outside what the setting keywords accept"
    } elseif {$end != $want} {
        violation "$text replied '$reply': ramp end $end, want ($n - 1) x $step in 16 bits = $want"
    } elseif {abs($mv - $wantMv) > 0.01 + 1e-5 * abs($wantMv)} {
        violation "$text replied '$reply': ramp end $mv mV, want [format %g $wantMv] mV for $end"
    }
}

proc writeResult {commands failed maxUs maxCommand} {
    set f [open $::resultFile w]
    puts $f "commands $commands"
    puts $f "failed $failed"
    puts $f "max_us $maxUs"
    puts $f "max_command $maxCommand"
    puts $f "violations $::violations"
    foreach text $::violationTexts { puts $f "violation $text" }
    close $f
}

if {$mode eq "final"} {
    if {[catch {LaserControl READ_NEW_SETTINGS} reply]} {
        violation "READ_NEW_SETTINGS failed after the soak"
    } else {
        checkSettings "READ_NEW_SETTINGS after the soak" $reply
    }
    if {[catch {LaserControl READ_RUN_STATE} state] || [string match *Unknown* $state]} {
        violation "READ_RUN_STATE after the soak: '$state'"
    }
    writeResult 2 0 0 {}
    exit 0
}

# ---- the mix --------------------------------------------------------------
# Each entry: weight, what the outcome must be, and a script giving the
# command text.  ok: must succeed; fail: must fail; any: may fail (it
# depends on the run state or on settings another client made); the others
# must succeed and their reply is checked.
expr {srand($seed)}
proc r {lo hi} { expr {$lo + int(rand() * ($hi - $lo + 1))} }
proc one {args} { lindex $args [expr {int(rand() * [llength $args])}] }
proc the {text} { return $text }

set mix {
    10 settings {the READ_NEW_SETTINGS}
    8  status   {the READ_STATUS}
    4  state    {the READ_RUN_STATE}
    4  request  {the READ_RUN_REQUEST}
    10 ok       {one READ_DWELL_TIME READ_SETTLE_TIME READ_DAC READ_DAC_STEP READ_NUM_CHANS READ_SCANS \
                     READ_CHANNEL READ_QUEUE_LEN READ_DEBUG READ_RAMP_DAC READ_ACTIVE_SETTINGS \
                     READ_ENABLE_ADC READ_ENABLE_TDC READ_ADC_METHOD READ_DEBUG_STATUS}
    3  ok       {the "READ_ENABLE_SCALER [r 1 4]"}
    5  ok       {the "NUM_CHANS [one [r 2 400] [r 2 32768]]"}
    5  ok       {the "DAC_STEP [one [r 0 150] [r -5 32767]]"}
    4  ok       {the "DWELL_TIME [r 1 2000]"}
    2  ok       {the "SETTLE_TIME [r -100 99999999]"}
    2  ok       {one "DEBUG [r 0 9]" "RAMP_DAC [r -1000 1000]" "ADC_METHOD [r 0 5]"}
    2  ok       {one "ENABLE_ADC [r 0 2]" "ENABLE_TDC [r 0 2]" "ENABLE_SCALER [r 1 4] [r 0 7]"}
    2  fail     {one "DWELL_TIME 0" "NUM_CHANS 1" "NUM_CHANS 32769" "DAC_STEP 32768" \
                     "SETTLE_TIME 100000000" "READ_ENABLE_SCALER 5" "ENABLE_SCALER 0 1" "RUN_REQUEST run_start"}
    3  any      {the "RUN_REQUEST RUN_START"}
    2  ok       {one "RUN_REQUEST RUN_PAUSE_NOW" "RUN_REQUEST RUN_RESUME" "RUN_REQUEST RUN_STOP_NOW"}
    1  ok       {one "RUN_REQUEST RUN_STOP_AT_END" "RUN_REQUEST RUN_PAUSE_AT_END" "RUN_REQUEST RUN_WAKE_UP" \
                     "RUN_REQUEST RUN_NO_REQUEST" "RUN_STATE RUN_HALTED"}
    2  any      {one "SET_DAC [r 0 65535]" "CHANNEL [r 0 500]"}
    1  ok       {the RESET_QUEUE}
}
set total 0
foreach {weight kind script} $mix { incr total $weight }
set size 4096
set commands {}
for {set i 0} {$i < $size} {incr i} {
    set x [expr {int(rand() * $total)}]
    foreach {weight kind script} $mix {
        if {[incr x -$weight] < 0} break
    }
    lappend commands [list $kind [eval $script]]
}

# ---- the run ----------------------------------------------------------------
LaserControl READ_DEBUG   ;# attach before the start
while {[clock milliseconds] < $startMs} { after 1 }
set stopUs [expr {$stopMs * 1000}]
set n 0
set failed 0
set maxUs 0
set maxCommand {}
while 1 {
    lassign [lindex $commands [expr {$n & ($size - 1)}]] kind text
    incr n
    set t0 [clock microseconds]
    set rc [catch {LaserControl $text} reply]
    set t1 [clock microseconds]
    if {$t1 - $t0 > $maxUs} {
        set maxUs [expr {$t1 - $t0}]
        set maxCommand $text
    }
    if {$rc} { incr failed }
    switch -- $kind {
        ok { if {$rc} { violation "$text failed" } }
        fail { if {!$rc} { violation "$text succeeded with '$reply'" } }
        any {}
        settings { if {$rc} { violation "$text failed" } else { checkSettings $text $reply } }
        status {
            if {$rc || [llength $reply] != 7 || [lindex $reply 0] ni {0 1 2}} {
                violation "$text gave '$reply' (failed: $rc)"
            }
        }
        state - request {
            if {$rc || [string match *Unknown* $reply]} { violation "$text gave '$reply' (failed: $rc)" }
        }
    }
    if {$t1 >= $stopUs} break
}
writeResult $n $failed $maxUs $maxCommand
