# Shared by the scan-control test files: a namespace of the file's own for
# the shared objects, child processes that load the package, and clean-up.
package require tcltest 2.5
namespace import ::tcltest::*

set build $::env(VANTORQ_BUILD_DIR)
set ::pkgdir [file join $build vantorq]
set ::tclsh [info nameofexecutable]
set ::windows [expr {$::tcl_platform(platform) eq "windows"}]
set ::exe [expr {$::windows ? ".exe" : ""}]
set ::synctool [file join $build tests scan_control vantorq_synctool$::exe]
set ::driversim [file join $build tools driver_sim driver_sim$::exe]

# Windows removes a name with its last handle (and under Wine /dev/shm is a
# host directory that the Windows objects never appear in).
testConstraint namedShm [expr {!$::windows && [file isdirectory /dev/shm]}]
testConstraint driverSim [file executable $::driversim]

# Every test file works in a namespace of its own: its shared memory and
# semaphores never meet another run's or a real setup's.
proc useNamespace {tag} {
    set ::env(VANTORQ_NAMESPACE) "t[pid]${tag}_"
}

# The names a namespace leaves behind on a system where names outlive their
# users; removed after each test file.
proc removeObjects {} {
    if {![testConstraint namedShm]} return
    set ns $::env(VANTORQ_NAMESPACE)
    foreach f [glob -nocomplain -directory /dev/shm ${ns}SHM_* ${ns}Vantorq_Release_Lock sem.${ns}*] {
        file delete $f
    }
}

# Runs a Tcl script in a child process that has the package loaded.
# Returns {exitcode stdout stderr}.
proc child {script} {
    set file [makeFile "lappend auto_path [list $::pkgdir]\npackage require Vantorq 1.0\n$script\n" child.tcl]
    set errfile [makeFile {} child.err]
    set code 0
    if {[catch {exec $::tclsh $file 2> $errfile} out opts]} {
        set status [dict get $opts -errorcode]
        if {[lindex $status 0] eq "CHILDSTATUS"} {
            set code [lindex $status 2]
            regsub {\n?child process exited abnormally$} $out {} out
        } else {
            set code -1
            set out $status
        }
    }
    set f [open $errfile]
    set err [string trim [read $f]]
    close $f
    removeFile child.tcl
    removeFile child.err
    return [list $code $out $err]
}

# Like `child`, with standard output and standard error captured together in
# one file, as a log would take them.  Returns {exitcode output}.
proc childCombined {script} {
    set file [makeFile "lappend auto_path [list $::pkgdir]\npackage require Vantorq 1.0\n$script\n" child.tcl]
    set outfile [makeFile {} child.out]
    set code 0
    if {[catch {exec $::tclsh $file >& $outfile} out opts]} {
        set status [dict get $opts -errorcode]
        set code [expr {[lindex $status 0] eq "CHILDSTATUS" ? [lindex $status 2] : -1}]
    }
    set f [open $outfile]
    set out [read -nonewline $f]
    close $f
    removeFile child.tcl
    removeFile child.out
    return [list $code $out]
}

# Runs the synchronisation tool: "peek NAME" prints the count of an object,
# "hold NAME" takes it and keeps it until its standard input closes.
proc synctool {args} {
    exec $::synctool {*}$args
}

lappend auto_path $::pkgdir
package require Vantorq 1.0

# A command of LaserControl that must succeed, for set-up steps.
proc lc {text} { LaserControl $text }

# Matches the system error line, whatever the system's own text.
set ::errorLine {Error -?[0-9]+ - [^\n]*}
