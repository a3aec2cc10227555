# A whole scan driven from Tcl: configure it, start it, follow its progress,
# pause and resume it, stop it at the end of a scan and stop the board.
# When a Channel Access server is reachable (EPICS_CA_ADDR_LIST set), the
# wavelength set-point and the scan progress also go through Tessaly.
#
#   tclsh scan_demo.tcl ?SCANS?        (needs Vantorq, and Tessaly for the PVs)
package require Vantorq 1.0

set scans [expr {[llength $argv] ? [lindex $argv 0] : 6}]
set channels 40
set useCA [expr {[info exists env(EPICS_CA_ADDR_LIST)] && ![catch {package require Tessaly 1.0}]}]

proc say {text} { puts $text; flush stdout }
proc status {} {
    lassign [LaserControl READ_STATUS] state request channel mv dac queue scans
    return [dict create state $state channel $channel mv $mv scans $scans]
}
proc waitState {name} {
    set deadline [expr {[clock seconds] + 10}]
    while {[string trim [LaserControl READ_RUN_STATE]] ne $name} {
        if {[clock seconds] > $deadline} { error "the run did not reach $name" }
        after 20
    }
}

# A progress bar on a terminal, a line per scan elsewhere.
set tty [expr {![catch {exec sh -c {[ -t 1 ]} >@stdout}]}]
set lastScan -1
proc progress {s total channels} {
    global tty lastScan
    set done [expr {min([dict get $s scans], $total)}]
    set width 30
    set fill [expr {int($width * ($done * $channels + [dict get $s channel]) / double($total * $channels))}]
    set fill [expr {min($fill, $width)}]
    set bar "\[[string repeat # $fill][string repeat . [expr {$width - $fill}]]\]"
    set line [format "%s scan %d/%d  channel %2d/%d  DAC %9.3f mV" $bar $done $total \
        [dict get $s channel] $channels [dict get $s mv]]
    if {$tty} {
        puts -nonewline "\r$line"
        flush stdout
    } elseif {$done != $lastScan} {
        say $line
    }
    set lastScan $done
}

# --- Channel Access: wavelength set-point and progress PVs -------------------
if {$useCA} {
    # All four channels in one command and one wait.
    lassign [EPICS_CreateChannels LAB:WAVELENGTH LAB:WAVELENGTH_RBV LAB:SCAN_PROGRESS LAB:RUN_STATUS] \
        pvWave pvWaveRbv pvProgress pvStatus
    EPICS_PutFloat $pvWave 780.25
    EPICS_PutFloat $pvWaveRbv [EPICS_GetFloat $pvWave]
    say "Wavelength set-point: [EPICS_GetString $pvWave] nm (read back [EPICS_GetFloat $pvWaveRbv])"
    EPICS_PutInt $pvProgress 0
    EPICS_PutString $pvStatus configuring
} else {
    say "No Channel Access server given: the PVs are left out."
}
proc publish {what value} {
    global useCA pvProgress pvStatus
    if {!$useCA} return
    switch $what {
        progress { EPICS_PutInt $pvProgress $value }
        status   { EPICS_PutString $pvStatus $value }
    }
}

# --- configure ---------------------------------------------------------------
foreach command [list "NUM_CHANS $channels" {DAC_STEP 400} {DWELL_TIME 10000} {SETTLE_TIME 500} \
                      {RAMP_DAC 0} {ENABLE_ADC 1} {ENABLE_TDC 0} {ENABLE_SCALER 1 1} {ADC_METHOD 2} \
                      {RESET_QUEUE} {DEBUG 0}] {
    LaserControl $command
}
lassign [LaserControl READ_NEW_SETTINGS] n zero step rampEnd rampMv dwell settle
say "Settings: $n channels, DAC step $step, ramp end $rampEnd counts = $rampMv mV, dwell $dwell us, settle $settle us"
say "ADC method [string trim [LaserControl READ_ADC_METHOD]], ADC enabled [string trim [LaserControl READ_ENABLE_ADC]], scaler 1 enabled [string trim [LaserControl {READ_ENABLE_SCALER 1}]]"

# --- run -----------------------------------------------------------------------
LaserControl {RUN_REQUEST RUN_START}
say "Run state: [string trim [LaserControl READ_RUN_STATE]]"
publish status running
set paused 0
while {1} {
    set s [status]
    progress $s $scans $channels
    publish progress [dict get $s scans]
    if {!$paused && [dict get $s scans] >= $scans / 2} {
        LaserControl {RUN_REQUEST RUN_PAUSE_NOW}
        if {$tty} { puts "" }
        say "Paused at scan [dict get $s scans], channel [dict get $s channel]: [string trim [LaserControl READ_RUN_STATE]]"
        publish status paused
        after 500
        LaserControl {RUN_REQUEST RUN_RESUME}
        say "Resumed: [string trim [LaserControl READ_RUN_STATE]]"
        publish status running
        set paused 1
    }
    if {[dict get $s scans] >= $scans - 1} {
        # Ask the driver to stop when the scan under way is complete.
        LaserControl {RUN_REQUEST RUN_STOP_AT_END}
        break
    }
    after 50
}
while {[string trim [LaserControl READ_RUN_STATE]] ne "RUN_HALTED"} {
    progress [status] $scans $channels
    after 20
}
progress [status] $scans $channels
if {$tty} { puts "" }
say "Stopped at the end of scan [string trim [LaserControl READ_SCANS]]: [string trim [LaserControl READ_RUN_STATE]], request [string trim [LaserControl READ_RUN_REQUEST]]"
LaserControl STOP_DAQ_BOARD
say "Board stopped."
publish progress [string trim [LaserControl READ_SCANS]]
publish status done
if {$useCA} {
    lassign [EPICS_GetStrings $pvProgress $pvStatus] progress status
    say "PVs: progress $progress scans, status \"$status\""
}
say "Active settings: [LaserControl READ_ACTIVE_SETTINGS]"
