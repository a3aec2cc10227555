# Runs the Windows-only tests of the scan-control extension (under Wine or on
# Windows, with a Windows tclsh).  Not named all.tcl: the suite of
# tests/scan_control would source it as a subdirectory suite on every system.
#   tclsh86 all_windows.tcl -builddir DIR ?-builddir64 DIR64 -tclsh64 EXE? ?tcltest options?
# DIR is the cross-build tree whose vantorq.dll this tclsh loads; DIR64, when
# given to a 32-bit tclsh, is the 64-bit tree for the cross-bitness tests,
# and EXE the 64-bit tclsh that loads DIR64's package.
package require tcltest 2.5
namespace import ::tcltest::*

set args $argv
foreach {option var} {-builddir VANTORQ_BUILD_DIR -builddir64 VANTORQ_BUILD_DIR64 -tclsh64 VANTORQ_TCLSH64} {
    set i [lsearch -exact $args $option]
    if {$i >= 0} {
        set ::env($var) [file normalize [lindex $args [expr {$i + 1}]]]
        set args [lreplace $args $i [expr {$i + 1}]]
    }
}
if {![info exists ::env(VANTORQ_BUILD_DIR)]} {
    puts stderr "all_windows.tcl: give the build tree with -builddir DIR"
    exit 2
}
if {$::tcl_platform(platform) ne "windows"} {
    puts stderr "all_windows.tcl: these tests need a Windows tclsh (run it under Wine)"
    exit 2
}
configure -testdir [file dirname [file normalize [info script]]] -tmpdir [pwd] {*}$args
exit [runAllTests]
