# Runs every .test file of the scan-control extension.
#   tclsh all.tcl -builddir DIR ?tcltest options?
# DIR is the CMake build tree: the package is taken from DIR/vantorq and the
# tools from DIR/tools and DIR/tests.
package require tcltest 2.5
namespace import ::tcltest::*

set args $argv
set i [lsearch -exact $args -builddir]
if {$i >= 0} {
    set ::env(VANTORQ_BUILD_DIR) [file normalize [lindex $args [expr {$i + 1}]]]
    set args [lreplace $args $i [expr {$i + 1}]]
}
if {![info exists ::env(VANTORQ_BUILD_DIR)]} {
    puts stderr "all.tcl: give the build tree with -builddir DIR"
    exit 2
}
# The Windows-only tests under windows/ have a runner of their own.
configure -testdir [file dirname [file normalize [info script]]] -tmpdir [pwd] \
    -asidefromdir windows {*}$args
exit [runAllTests]
