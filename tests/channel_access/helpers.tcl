# Shared by the Tessaly test files: starts a private ca_server on 127.0.0.1
# with the PVs below, points Channel Access at it and loads the extension.
package require tcltest 2.5
namespace import ::tcltest::*

foreach var {TESSALY_LIB CA_SERVER} {
    if {![info exists env($var)]} { error "set $var (ctest does)" }
}
set lib $env(TESSALY_LIB)

set pvs {
    t:short short 5
    t:neg short -1
    t:long long 123456789
    t:float float 2.5
    t:double double 0
    t:str string "hello"
    t:empty string ""
    t:noread short 1 noread
    t:nowrite short 1 nowrite
    t:late short 7 delay=6000/1
}

# Starts a ca_server serving the PV lines given; returns {pipe port}.
proc startServer {name pvs} {
    set file [makeFile [string map {"\n    " "\n"} $pvs] $name.pvs]
    set pipe [open [list | $::env(CA_SERVER) -p 0 $file 2>@stderr] r]
    if {[gets $pipe line] < 0 || ![regexp {ready on 127\.0\.0\.1:(\d+)} $line -> port]} {
        error "ca_server did not start: $line"
    }
    return [list $pipe $port]
}

# The shell's own kill: no procps needed.
proc signal {name pid} { exec /bin/sh -c "kill -$name $pid" }

proc stopServer {{pipe {}}} {
    if {$pipe eq ""} { set pipe $::server }
    signal TERM [pid $pipe]
    catch {close $pipe}
}

# Runs a command and returns {result errorCode} (errorCode "" on success).
proc try_ {args} {
    if {[catch {uplevel 1 $args} result options]} {
        return [list $result [dict get $options -errorcode]]
    }
    return [list $result ""]
}

# Runs a script in a child tclsh that has loaded the extension; returns its
# standard output (the banner line removed).
proc child {script} {
    set out [exec [info nameofexecutable] << "fconfigure stdout -buffering line
        load [list $::lib] Tessaly
        $script" 2>/dev/null]
    return [regsub {^Tessaly package 1.0\n?} $out {}]
}

# A test file that sets secondServer to PV lines gets a second server too.
lassign [startServer main $pvs] server port
set env(EPICS_CA_ADDR_LIST) 127.0.0.1:$port
if {[info exists secondServer]} {
    lassign [startServer second $secondServer] secondServer port
    append env(EPICS_CA_ADDR_LIST) " 127.0.0.1:$port"
}
set env(EPICS_CA_AUTO_ADDR_LIST) NO

# libca writes notices on standard error (no caRepeater, client exceptions of
# rejected puts), which tcltest would take for errors of the test file. They
# go to a log instead: the channel opened after closing stderr becomes stderr.
close stderr
open [file rootname [file tail $argv0]].stderr.log w
load $lib Tessaly
