# One measured client of bench_tessaly_scale.tcl, a fresh tclsh each time.
# Prints its figures on standard output as one line "= NUMBERS" (the
# reconnection client: a line at each step); the bench ends it then.  EPICS_CA_ADDR_LIST and the rest come from the
# environment; TESSALY_LIB and RAWCA_LIB name the libraries.
#
#   get PREFIXES COUNT TIMEOUT   one tessaly::get of PREFIX:0..COUNT-1 of each
#                                -> "SECONDS RSS_GROWTH_KIB VALUES"
#   raw PREFIXES COUNT TIMEOUT   the same by RawCa_ConnectRead, without Tessaly
#                                -> "SECONDS RSS_GROWTH_KIB VALUES"
#   cpu PREFIX COUNT SECONDS     a monitor on each; CPU of the process over
#                                SECONDS once all have delivered
#                                -> "PERCENT_OF_A_CORE UPDATES_A_SECOND"
#   flood PREFIX COUNT SECONDS   a monitor on each -> "UPDATES_A_SECOND
#                                REPLACED_A_SECOND" (updates a newer one
#                                replaced before their script ran)
#   latency NAME COUNT WRITER    a monitor on NAME while WRITER (a tclsh
#                                script) puts the wall clock into it, then a
#                                raw libca subscription on the same
#                                -> "TCL_MEDIAN_US RAW_MEDIAN_US"
#   responsive COUNT             the longest gap between `after 10` firings
#                                idle, then while COUNT names nobody serves
#                                connect -> "IDLE_MS BUSY_MS"
#   reconnect PREFIX COUNT       a connection script and a monitor on each:
#                                "ready" once all have delivered, "down" once
#                                all heard 0, "up WALL_US" once each heard 1
#                                and delivered again; then "ready" again
fconfigure stdout -buffering line
set mode [lindex $argv 0]
set args [lrange $argv 1 end]

source [file join [file dirname [info script]] bench_lib.tcl]
proc namesOf {prefixes count} {
    set names {}
    foreach prefix $prefixes {
        for {set i 0} {$i < $count} {incr i} { lappend names $prefix:$i }
    }
    return $names
}

# A failure says so on the figures' line at once (the bench then ends this
# process), and why on standard error.
proc failed {message} {
    puts stderr "scale_client.tcl $::mode: $message"
    puts "= failed"
}

try {
switch -- $mode {
    get {
        lassign $args prefixes count timeout
        load $env(TESSALY_LIB) Tessaly
        set names [namesOf $prefixes $count]
        set before [statusKiB VmRSS]
        set start [clock microseconds]
        set values [tessaly::get -timeout $timeout {*}$names]
        set seconds [expr {([clock microseconds] - $start) / 1e6}]
        puts [format "= %.4f %d %d" $seconds [expr {[statusKiB VmRSS] - $before}] [llength $values]]
    }
    raw {
        lassign $args prefixes count timeout
        load $env(RAWCA_LIB) Rawca
        set names [namesOf $prefixes $count]
        set before [statusKiB VmRSS]
        lassign [RawCa_ConnectRead $names $timeout] seconds connected read
        puts [format "= %.4f %d %d" $seconds [expr {[statusKiB VmRSS] - $before}] $read]
    }
    cpu - flood {
        lassign $args prefix count seconds
        load $env(TESSALY_LIB) Tessaly
        proc tick {value} { incr ::ticks }
        # Updates replaced by a newer one before their script ran.
        proc dropped {names} {
            set sum 0
            foreach name $names { incr sum [dict get [tessaly::info $name] dropped] }
            return $sum
        }
        set ::ticks 0
        foreach name [namesOf $prefix $count] { tessaly::monitor $name tick }
        if {$mode eq "cpu"} {
            set deadline [expr {[clock milliseconds] + 20000}]
            while {$::ticks < $count && [clock milliseconds] < $deadline} { pause 50 }
        } else {
            pause 500
        }
        set ::ticks 0
        set names [namesOf $prefix $count]
        set dropped [dropped $names]
        set cpu [cpuTicks]
        set start [clock microseconds]
        pause [expr {int($seconds * 1000)}]
        set elapsed [expr {([clock microseconds] - $start) / 1e6}]
        set dropped [expr {[dropped $names] - $dropped}]
        set used [expr {([cpuTicks] - $cpu) / 100.0}]
        set rate [expr {$::ticks / $elapsed}]
        if {$mode eq "cpu"} {
            puts [format "= %.2f %.0f" [expr {$used / $elapsed * 100}] $rate]
        } else {
            puts [format "= %.0f %.0f" $rate [expr {$dropped / $elapsed}]]
        }
    }
    latency {
        lassign $args name count writer
        load $env(TESSALY_LIB) Tessaly
        load $env(RAWCA_LIB) Rawca
        proc arrived {value} {
            if {$value > 0} { lappend ::latencies [expr {[clock microseconds] - $value}] }
        }
        # Runs the writer and waits in the event loop for its "done" (then
        # ends it: its exit is no part of the figure).
        proc runWriter {writer} {
            set pipe [open |[list [info nameofexecutable] $writer 2>@stderr] r]
            fconfigure $pipe -blocking 0
            fileevent $pipe readable [list apply {{pipe} {
                if {([gets $pipe line] >= 0 && $line eq "done") || [eof $pipe]} { set ::writerDone 1 }
            }} $pipe]
            vwait ::writerDone
            endWriter $pipe
        }
        proc endWriter {pipe} {
            catch {exec /bin/sh -c "kill -KILL [pid $pipe]"}
            fconfigure $pipe -blocking 1
            catch {close $pipe}
        }
        set ::latencies {}
        set id [tessaly::monitor $name arrived]
        pause 300
        set ::latencies {}
        runWriter $writer
        tessaly::unmonitor $id
        set tclLatency [median [lrange $::latencies 10 end]]
        set slot [EPICS_CreateChannel $name]
        set pipe [open |[list [info nameofexecutable] $writer 2>@stderr] r]
        set rawLatency [RawCa_Latency $slot $count $env(TESSALY_LIB)]
        while {[gets $pipe line] >= 0 && $line ne "done"} {}
        endWriter $pipe
        puts [format "= %.1f %.1f" $tclLatency $rawLatency]
    }
    responsive {
        lassign $args count
        load $env(TESSALY_LIB) Tessaly
        proc gaps {ms} {
            set ::longest 0
            set ::last [clock microseconds]
            set ::end [expr {[clock milliseconds] + $ms}]
            proc fire {} {
                set now [clock microseconds]
                set gap [expr {($now - $::last) / 1000.0}]
                if {$gap > $::longest} { set ::longest $gap }
                set ::last $now
                if {[clock milliseconds] < $::end} { after 10 fire } else { set ::gapsDone 1 }
            }
            after 10 fire
            return
        }
        gaps 2000
        vwait ::gapsDone
        set idle $::longest
        gaps 3000
        set start [clock microseconds]
        tessaly::connect {*}[namesOf nobody.scale $count]
        set connectMs [expr {([clock microseconds] - $start) / 1000.0}]
        vwait ::gapsDone
        # The command itself holds the loop for as long as it runs.
        set busy [expr {max($::longest, $connectMs)}]
        puts [format "= %.1f %.1f" $idle $busy]
    }
    reconnect {
        lassign $args prefix count
        load $env(TESSALY_LIB) Tessaly
        set ::count $count
        proc reset {} {
            array unset ::down
            array unset ::reup
            array unset ::valued
            array unset ::back
            set ::downs 0
            set ::backs 0
        }
        reset
        set ::ups 0
        set ::firsts 0
        set ::phase setup
        proc conn {i up} {
            if {$::phase eq "setup"} {
                if {$up} { incr ::ups }
                check
                return
            }
            if {!$up} {
                if {![info exists ::down($i)]} {
                    set ::down($i) 1
                    if {[incr ::downs] == $::count} { puts down }
                }
            } elseif {[info exists ::down($i)]} {
                set ::reup($i) 1
                back $i
            }
        }
        proc val {i value} {
            if {$::phase eq "setup"} {
                if {![info exists ::first($i)]} {
                    set ::first($i) 1
                    incr ::firsts
                }
                check
                return
            }
            if {[info exists ::down($i)]} {
                set ::valued($i) 1
                back $i
            }
        }
        proc back {i} {
            if {![info exists ::reup($i)] || ![info exists ::valued($i)] || [info exists ::back($i)]} return
            set ::back($i) 1
            if {[incr ::backs] == $::count} {
                puts "up [clock microseconds]"
                reset
            }
        }
        proc check {} {
            if {$::ups == $::count && $::firsts == $::count} {
                set ::phase run
                puts ready
            }
        }
        for {set i 0} {$i < $count} {incr i} {
            tessaly::onconnection $prefix:$i [list conn $i]
            tessaly::monitor $prefix:$i [list val $i]
        }
        # Ends when the bench closes its input.
        fileevent stdin readable {
            if {[gets stdin line] < 0} { set ::quit 1 }
        }
        vwait ::quit
    }
    default { error "no mode \"$mode\"" }
}
} on error {message} {
    failed [string range $message 0 300]
}
