# Runs the packaging tests with the running tclsh.
#   tclsh all.tcl -builddir DIR ?-prefix DIR -prefix-stand-ins DIR -boardlib DIR? ?tcltest options?
# DIR is the CMake build tree (its vantorq/ and channel_access/ packages);
# -prefix names a plain installation of it (cmake --install) to test too,
# -prefix-stand-ins one with the stand-ins component, and -boardlib the
# directory of the board library the plain one is to find, as a vendor's
# library in the loader's path would be found.
package require tcltest 2.5
namespace import ::tcltest::*

set args $argv
foreach {option var} {-builddir LABTCL_BUILD_DIR -prefix LABTCL_PREFIX
                      -prefix-stand-ins LABTCL_PREFIX_STAND_INS -boardlib LABTCL_BOARD_LIB_DIR} {
    set i [lsearch -exact $args $option]
    if {$i >= 0} {
        set ::env($var) [file normalize [lindex $args [expr {$i + 1}]]]
        set args [lreplace $args $i [expr {$i + 1}]]
    }
}
if {![info exists ::env(LABTCL_BUILD_DIR)]} {
    puts stderr "all.tcl: give the build tree with -builddir DIR"
    exit 2
}
configure -testdir [file dirname [file normalize [info script]]] -tmpdir [pwd] {*}$args
exit [runAllTests]
