# A live scan panel: one window to keep open during a scan.  It shows the
# run (state, request, scan count, channel, DAC, settings) from Vantorq,
# has the buttons that start, pause, resume and stop it, plots the
# detector's counts (a PV monitored through Tessaly) against the scan
# channel as they come, and writes a set-point.  Nothing it is refused
# stops it: every failure shows at the foot of the window.
#
#   wish scan_panel.tcl ?-counts PV? ?-setpoint PV? ?-settings {KEY VALUE ...}?
#
#   -counts PV      the detector's counts per channel (default LAB:COUNTS)
#   -setpoint PV    the set-point the field writes (default LAB:WAVELENGTH)
#   -settings LIST  scan settings sent once at the start (vantorq::set)
#
# It needs Vantorq, and Tessaly for the PVs, on the package path (TCLLIBPATH),
# and the driver's VANTORQ_NAMESPACE.  examples/run-demo.sh --panel runs it
# against the stand-ins.  Its parts are in panel/; sourced by another script,
# it only defines them: that script calls panel::main.
package require Tk 8.6-

namespace eval panel {}
apply {{dir} {
    foreach part {window run plot channels} {
        uplevel #0 [list source [file join $dir panel $part.tcl]]
    }
}} [file dirname [file normalize [info script]]]

proc panel::main {argv} {
    set options {-counts LAB:COUNTS -setpoint LAB:WAVELENGTH -settings {}}
    if {[llength $argv] % 2} {
        return -code error "option \"[lindex $argv end]\" has no value"
    }
    foreach {option value} $argv {
        if {![dict exists $options $option]} {
            return -code error "unknown option \"$option\": must be -counts, -setpoint or -settings"
        }
        dict set options $option $value
    }
    set panel::ca::countsPv [dict get $options -counts]
    set panel::ca::setpointPv [dict get $options -setpoint]
    build $panel::ca::countsPv $panel::ca::setpointPv
    if {[info exists ::env(VANTORQ_NAMESPACE)] && $::env(VANTORQ_NAMESPACE) ne ""} {
        wm title . "Scan panel \u2013 $::env(VANTORQ_NAMESPACE)"
    }
    panel::plot::draw
    update

    if {[catch {package require Vantorq 1.0} message]} {
        showState unknown
        run::buttons {}
        fail "No scan control: $message"
    } else {
        run::apply [dict get $options -settings]
        run::poll
    }
    ca::connect
}

if {[info exists ::argv0] && [file normalize $::argv0] eq [file normalize [info script]]} {
    if {[catch {panel::main $::argv} message]} {
        puts stderr "scan_panel: $message"
        exit 2
    }
    # Under wish the window's end ends the process; under tclsh, this wait.
    tkwait window .
}
