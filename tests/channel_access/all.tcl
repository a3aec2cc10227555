# Runs every Tessaly test file, each in its own tclsh process.
package require tcltest 2.5
tcltest::configure -testdir [file dirname [file normalize [info script]]] -singleproc 0
tcltest::configure {*}$argv
exit [tcltest::runAllTests]
