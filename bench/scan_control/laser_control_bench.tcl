# LaserControl READ_DWELL_TIME per call from Tcl, beside a trivial built-in
# command, against the interpreter's own cost measured in C++.
#   tclsh laser_control_bench.tcl PKGDIR PROCESS_COMMAND_NS
lassign $argv pkgdir processNs
set ::env(VANTORQ_NAMESPACE) "tclbench[pid]_"
lappend auto_path $pkgdir
package require Vantorq 1.0
LaserControl {DWELL_TIME 200}

proc perCall {script n} {
    # Best of five rounds, in nanoseconds per call.
    set best Inf
    for {set r 0} {$r < 5} {incr r} {
        set us [lindex [time $script $n] 0]
        if {$us < $best} { set best $us }
    }
    expr {$best * 1000.0}
}
set n 200000
set tcl [perCall {LaserControl READ_DWELL_TIME} $n]
set builtin [perCall {string length x} $n]
puts [format "LaserControl READ_DWELL_TIME  %8.1f ns per call" $tcl]
puts [format "string length x (built-in)    %8.1f ns per call" $builtin]
if {$processNs ne ""} {
    set budget [expr {$processNs + $builtin}]
    puts [format "ProcessCommand + built-in     %8.1f ns; ratio %.2fx (goal: within 2x)" $budget [expr {$tcl / $budget}]]
}
foreach f [glob -nocomplain -directory /dev/shm $::env(VANTORQ_NAMESPACE)* sem.$::env(VANTORQ_NAMESPACE)*] {
    file delete $f
}
