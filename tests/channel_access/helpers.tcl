# Shared by the Tessaly test files: starts a private server on 127.0.0.1
# with the PVs below, points Channel Access at it and loads the extension.
#
# The server is ca_server, or with TESSALY_SERVER=softioc a real soft IOC
# serving the same PV lines (SOFTIOC_SERVER runs it; it needs SOFTIOC and
# CA_SERVER too). Tests that need ca_server's injected faults (noanswer,
# delay=, SIGUSR1 circuit drops, killing the server) carry the constraint
# faultInjection, which only ca_server satisfies.
#
# A test file may set, before it sources this file:
#   extraPvs      PV lines added to the main server
#   secondServer  PV lines of a second server (then holds its pipe; its port
#                 is secondPort)
package require tcltest 2.5
namespace import ::tcltest::*

foreach var {TESSALY_LIB CA_SERVER} {
    if {![info exists env($var)]} { error "set $var (ctest does)" }
}
set lib $env(TESSALY_LIB)
set serverKind [expr {[info exists env(TESSALY_SERVER)] ? $env(TESSALY_SERVER) : "ca_server"}]
switch -- $serverKind {
    ca_server {}
    softioc {
        foreach var {SOFTIOC_SERVER SOFTIOC} {
            if {![info exists env($var)]} { error "TESSALY_SERVER=softioc needs $var (ctest sets it)" }
        }
    }
    default { error "TESSALY_SERVER is '$serverKind': want ca_server or softioc" }
}
testConstraint faultInjection [expr {$serverKind eq "ca_server"}]

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

# Starts a server of this run's kind serving the PV lines given, on port
# (0: a free one), with ca_server's options given; returns {pipe port}.
proc startServer {name pvs {port 0} {options {}}} {
    set file [makeFile [string map {"\n    " "\n"} $pvs] $name.pvs]
    if {$::serverKind eq "softioc"} {
        # The IOC reads the pipe as its shell input: it stops when the pipe
        # closes, even if this process dies.
        set pipe [open [list | $::env(SOFTIOC_SERVER) -p $port $file 2>@stderr] r+]
    } else {
        set pipe [open [list | $::env(CA_SERVER) {*}$options -p $port $file 2>@stderr] r]
    }
    if {[gets $pipe line] < 0 || ![regexp {ready on 127\.0\.0\.1:(\d+)} $line -> port]} {
        error "$::serverKind did not start: $line"
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

# Clears every slot in use.
proc clearAll {} {
    for {set i 0} {$i < 1024} {incr i} { catch {EPICS_ClearChannel $i} }
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

if {[info exists extraPvs]} {
    append pvs \n $extraPvs
}
lassign [startServer main $pvs] server port
set env(EPICS_CA_ADDR_LIST) 127.0.0.1:$port
if {[info exists secondServer]} {
    set secondPvs $secondServer
    lassign [startServer second $secondPvs] secondServer secondPort
    append env(EPICS_CA_ADDR_LIST) " 127.0.0.1:$secondPort"
}
set env(EPICS_CA_AUTO_ADDR_LIST) NO

# libca writes notices on standard error (no caRepeater, client exceptions of
# rejected puts), which tcltest would take for errors of the test file. They
# go to a log instead: the channel opened after closing stderr becomes stderr.
close stderr
open [file rootname [file tail $argv0]].stderr.log w
load $lib Tessaly
