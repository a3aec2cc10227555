# A whole scan driven from Tcl with the vantorq commands: configure it, start
# it, follow its progress, pause and resume it, stop it at the end of a scan
# and stop the board.  Any wrong value or refused request ends the demo with
# its reason.
# When a Channel Access server is reachable (EPICS_CA_ADDR_LIST set), the
# wavelength set-point and the scan progress also go through Tessaly.
#
#   tclsh scan_demo.tcl ?SCANS?        (needs Vantorq, and Tessaly for the PVs)
package require Vantorq 1.0

set scans [expr {[llength $argv] ? [lindex $argv 0] : 6}]
set channels 40
set useCA [expr {[info exists env(EPICS_CA_ADDR_LIST)] && ![catch {package require Tessaly 1.0}]}]

proc say {text} { puts $text; flush stdout }

# A progress bar on a terminal, a line per scan elsewhere; called by
# vantorq::wait with the status appended.
set tty [expr {![catch {exec sh -c {[ -t 1 ]} >@stdout}]}]
set lastScan -1
proc progress {total channels s} {
    global tty lastScan
    set done [expr {min([dict get $s scans], $total)}]
    set width 30
    set fill [expr {int($width * ($done * $channels + [dict get $s channel]) / double($total * $channels))}]
    set fill [expr {min($fill, $width)}]
    set bar "\[[string repeat # $fill][string repeat . [expr {$width - $fill}]]\]"
    set line [format "%s scan %d/%d  channel %2d/%d  DAC %9.3f mV" $bar $done $total \
        [dict get $s channel] $channels [dict get $s dacMilliVolts]]
    if {$tty} {
        puts -nonewline "\r$line"
        flush stdout
    } elseif {$done != $lastScan} {
        say $line
    }
    if {$done != $lastScan} {
        publish progress $done
    }
    set lastScan $done
}
proc endLine {} {
    if {$::tty} { puts "" }
}

# --- Channel Access: wavelength set-point and progress PVs -------------------
# By name, through Tessaly's name layer: every command gives up after its
# -timeout, naming what did not answer.
set pvTimeout 5
if {$useCA} {
    # All four names connected in one command and one wait.
    tessaly::connect -wait -timeout $pvTimeout LAB:WAVELENGTH LAB:WAVELENGTH_RBV LAB:SCAN_PROGRESS LAB:RUN_STATUS
    # The set-point processes for a while: the put returns once it has.
    tessaly::put -wait -timeout $pvTimeout LAB:WAVELENGTH 780.25
    tessaly::put -timeout $pvTimeout LAB:WAVELENGTH_RBV [tessaly::get -timeout $pvTimeout LAB:WAVELENGTH]
    # Shown as the record has it: its precision and units.
    set wave [tessaly::get -meta -timeout $pvTimeout LAB:WAVELENGTH]
    say [format "Wavelength set-point: %.*f %s (read back %s)" [dict get $wave precision] [dict get $wave value] \
        [dict get $wave units] [tessaly::get -timeout $pvTimeout LAB:WAVELENGTH_RBV]]
    tessaly::put -timeout $pvTimeout LAB:SCAN_PROGRESS 0 LAB:RUN_STATUS configuring
} else {
    say "No Channel Access server given: the PVs are left out."
}
proc publish {what value} {
    global useCA pvTimeout
    if {!$useCA} return
    switch $what {
        progress { tessaly::put -timeout $pvTimeout LAB:SCAN_PROGRESS $value }
        status   { tessaly::put -timeout $pvTimeout LAB:RUN_STATUS $value }
    }
}

# --- configure ---------------------------------------------------------------
vantorq::set NUM_CHANS $channels DAC_STEP 400 DWELL_TIME 10000 SETTLE_TIME 500 RAMP_DAC 0 \
    ENABLE_ADC 1 ENABLE_TDC 0 ENABLE_SCALER {1 1} ADC_METHOD 2 DEBUG 0
LaserControl RESET_QUEUE
set new [vantorq::settings new]
say [format "Settings: %d channels, DAC step %d, ramp end %d counts = %s mV, dwell %d us, settle %d us" \
    [dict get $new NUM_CHANS] [dict get $new DAC_STEP] [dict get $new rampEnd] \
    [dict get $new rampEndMilliVolts] [dict get $new DWELL_TIME] [dict get $new SETTLE_TIME]]
say "ADC method [dict get $new ADC_METHOD], ADC enabled [dict get $new ENABLE_ADC], scaler 1 enabled [lindex [dict get $new ENABLE_SCALER] 0]"

# --- run -----------------------------------------------------------------------
set show [list progress $scans $channels]
vantorq::run start
say "Run state: [dict get [vantorq::status] runState]"
publish status running

set s [vantorq::wait -until scans [expr {$scans / 2}] -progress $show]
vantorq::run pause
endLine
set s [vantorq::status]
say "Paused at scan [dict get $s scans], channel [dict get $s channel]: [dict get $s runState]"
publish status paused
after 500
vantorq::run resume
say "Resumed: [dict get [vantorq::status] runState]"
publish status running

# Ask the driver to stop when the last scan under way is complete.
vantorq::wait -until scans [expr {$scans - 1}] -progress $show
vantorq::run stopAtEnd
set s [vantorq::wait -progress $show]
endLine
say "Stopped at the end of scan [dict get $s scans]: [dict get $s runState], request [dict get $s runRequest]"
LaserControl STOP_DAQ_BOARD
say "Board stopped."
publish progress [dict get $s scans]
publish status done
if {$useCA} {
    lassign [tessaly::get -timeout $pvTimeout LAB:SCAN_PROGRESS LAB:RUN_STATUS] progress status
    say "PVs: progress $progress scans, status \"$status\""
}
say "Active settings: [vantorq::settings active]"
