# Tessaly benchmark: EPICS_GetFloat and EPICS_PutFloat per call from Tcl,
# beside a C++ loop of the same library calls on the same channel; a hundred
# values by one EPICS_GetFloats, by single gets and by the raw loop of one
# wait; and the time to create 1024 channels in one command and one by one.
# Prints figures; never fails on speed.
#
# Environment: TESSALY_LIB, RAWCA_LIB, CA_SERVER (the bench_tessaly target sets them).
# CA_SERVER may be any server started as ca_server is: for a real soft IOC,
# tests/tools/ca_server/softioc_server.py with SOFTIOC and CA_SERVER in its own
# environment.  Its standard input is a pipe from here, which such a server
# takes as its life line.
source [file join [file dirname [info script]] bench_lib.tcl]
set calls 2000
set rounds 9

set pvfile [file join [pwd] bench_tessaly.pvs]
set f [open $pvfile w]
puts $f "bench:f float 1.5\nbench:d double 1.5\nbench:wave double\[1000000\] ramp(0,0.5)"
puts $f "bench:lat double 0"
for {set i 0} {$i < 100} {incr i} { puts $f "bench:idle$i long $i" }
for {set i 0} {$i < 100} {incr i} { puts $f "bench:fast$i long 0 count=100" }
for {set i 0} {$i < 10} {incr i} { puts $f "bench:flood$i long 0 count=0" }
close $f
set server [open [list | $env(CA_SERVER) -p 0 $pvfile 2>@stderr] r+]
if {[gets $server line] < 0 || ![regexp {:(\d+)$} $line -> port]} { error "ca_server: $line" }
set env(EPICS_CA_ADDR_LIST) 127.0.0.1:$port
set env(EPICS_CA_AUTO_ADDR_LIST) NO

try {
    load $env(TESSALY_LIB) Tessaly
    load $env(RAWCA_LIB) Rawca

    proc lsequence {n} { set out {}; for {set i 0} {$i < $n} {incr i} { lappend out $i }; return $out }
    set python [expr {[file executable /usr/bin/python3] ? "/usr/bin/python3" : "python3"}]
    set pybench [file join [file dirname [info script]] pyepics_bench.py]

    set slot [EPICS_CreateChannel bench:f]
    # Warm up the circuit and both paths.
    EPICS_GetFloat $slot; EPICS_PutFloat $slot 1.5
    RawCa_Loop get $slot 200 $env(TESSALY_LIB); RawCa_Loop put $slot 200 $env(TESSALY_LIB)

    # Rounds alternate between Tcl and raw loops so that drifts of the machine hit both.
    foreach op {get put} { set tcl($op) {}; set raw($op) {} }
    for {set r 0} {$r < $rounds} {incr r} {
        lappend tcl(get) [lindex [time {EPICS_GetFloat $slot} $calls] 0]
        lappend raw(get) [RawCa_Loop get $slot $calls $env(TESSALY_LIB)]
        lappend tcl(put) [lindex [time {EPICS_PutFloat $slot 1.25} $calls] 0]
        lappend raw(put) [RawCa_Loop put $slot $calls $env(TESSALY_LIB)]
    }
    # The ratio is the median of the ratios of each round's pair of loops.
    puts [format "%-16s %12s %12s %8s" "per call" "Tcl (us)" "raw C++ (us)" "ratio"]
    foreach {op name} {get EPICS_GetFloat put EPICS_PutFloat} {
        set ratios [lmap t $tcl($op) c $raw($op) { expr {$t / $c} }]
        puts [format "%-16s %12.2f %12.2f %8.3f" $name [median $tcl($op)] [median $raw($op)] \
            [median $ratios]]
    }
    set floor [lindex [time {Tessaly_Verbose} $calls] 0]
    puts [format "%-16s %12.2f %12s" "Tessaly_Verbose" $floor "(Tcl's cost of a string command, no library call)"]
    puts "(median of $rounds rounds of $calls calls; goal: ratio within 1.05)"

    # A hundred values: one EPICS_GetFloats against a hundred EPICS_GetFloat
    # calls and against the raw loop of a hundred gets and one wait.
    EPICS_ClearChannel $slot
    set hundred [EPICS_CreateChannels {*}[lrepeat 100 bench:f]]
    EPICS_GetFloats {*}$hundred
    RawCa_Batch $hundred 20 $env(TESSALY_LIB)
    set batchRounds 50
    foreach v {batch singles rawBatch} { set $v {} }
    for {set r 0} {$r < $rounds} {incr r} {
        lappend batch [lindex [time {EPICS_GetFloats {*}$hundred} $batchRounds] 0]
        lappend singles [lindex [time {foreach s $hundred { EPICS_GetFloat $s }} 5] 0]
        lappend rawBatch [RawCa_Batch $hundred $batchRounds $env(TESSALY_LIB)]
    }
    set vsSingles [median [lmap b $batch s $singles { expr {$s / $b} }]]
    set vsRaw [median [lmap b $batch c $rawBatch { expr {$b / $c} }]]
    puts ""
    puts [format "%-34s %12s" "100 values" "us"]
    puts [format "%-34s %12.1f" "one EPICS_GetFloats" [median $batch]]
    puts [format "%-34s %12.1f" "100 EPICS_GetFloat" [median $singles]]
    puts [format "%-34s %12.1f" "raw libca: 100 gets, one wait" [median $rawBatch]]
    puts [format "EPICS_GetFloats is %.1fx faster per value than single gets (goal: at least 10x)" $vsSingles]
    puts [format "EPICS_GetFloats / raw loop: %.3f (goal: within 1.1)" $vsRaw]
    EPICS_ClearChannels {*}$hundred

    # Values whole: EPICS_Get and EPICS_Put -wait of a double against the raw
    # callback forms of the same requests, and against pyepics.
    set d [EPICS_CreateChannel bench:d]
    EPICS_Get $d; EPICS_Put -wait $d 1.5
    RawCa_Callback get $d 200 $env(TESSALY_LIB); RawCa_Callback put $d 200 $env(TESSALY_LIB)
    foreach v {wholeGet rawGet wholePut rawPut} { set $v {} }
    for {set r 0} {$r < $rounds} {incr r} {
        lappend wholeGet [lindex [time {EPICS_Get $d} $calls] 0]
        lappend rawGet [RawCa_Callback get $d $calls $env(TESSALY_LIB)]
        lappend wholePut [lindex [time {EPICS_Put -wait $d 1.25} $calls] 0]
        lappend rawPut [RawCa_Callback put $d $calls $env(TESSALY_LIB)]
    }
    puts ""
    puts [format "%-22s %12s %16s %8s" "per call" "Tcl (us)" "raw callback (us)" "ratio"]
    foreach {name tclTimes rawTimes goal} [list "EPICS_Get" $wholeGet $rawGet 1.1 "EPICS_Put -wait" $wholePut $rawPut 1.15] {
        puts [format "%-22s %12.2f %16.2f %8.3f  (goal: at most %s)" $name [median $tclTimes] [median $rawTimes] \
            [median [lmap t $tclTimes c $rawTimes { expr {$t / $c} }]] $goal]
    }
    if {[catch {exec $python $pybench get bench:d $calls $rounds 2>@stderr} pyGet]} {
        puts "pyepics PV.get: not measured ($pyGet)"
    } else {
        puts [format "%-22s %12.2f   pyepics is %.1fx slower than EPICS_Get (goal: at least 2x)" \
            "pyepics PV.get" $pyGet [expr {$pyGet / [median $wholeGet]}]]
    }

    # A hundred values in one wait against a hundred single waits.
    set hundredD [EPICS_CreateChannels {*}[lrepeat 100 bench:d]]
    EPICS_GetMany {*}$hundredD
    foreach v {many singleWhole} { set $v {} }
    for {set r 0} {$r < $rounds} {incr r} {
        lappend many [lindex [time {EPICS_GetMany {*}$hundredD} 50] 0]
        lappend singleWhole [lindex [time {foreach s $hundredD { EPICS_Get $s }} 5] 0]
    }
    puts [format "100 values: one EPICS_GetMany %.1f us, 100 EPICS_Get %.1f us: %.1fx (goal: at least 50x)" \
        [median $many] [median $singleWhole] [median [lmap m $many s $singleWhole { expr {$s / $m} }]]]
    EPICS_ClearChannels $d {*}$hundredD

    # A 1,000,000-element waveform by EPICS_Get, against pyepics caget.
    set wave [EPICS_CreateChannel bench:wave]
    set waveTimes {}
    for {set r 0} {$r < 5} {incr r} {
        lappend waveTimes [expr {[lindex [time {set w [EPICS_Get $wave]}] 0] / 1e6}]
        unset w
    }
    set peakKiB [exec awk {/VmHWM/ { print $2 }} /proc/[pid]/status]
    if {[catch {exec $python $pybench caget bench:wave 5 2>@stderr} pyWave]} {
        puts "pyepics caget of the waveform: not measured ($pyWave)"
    } else {
        lassign $pyWave pySeconds pyPeak
        puts [format "1,000,000 doubles: EPICS_Get %.4f s (peak %d MiB), pyepics caget %.4f s (peak %d MiB): %.2fx (goal: at most 2x)" \
            [median $waveTimes] [expr {$peakKiB / 1024}] $pySeconds [expr {$pyPeak / 1024}] \
            [expr {[median $waveTimes] / $pySeconds}]]
    }
    EPICS_ClearChannel $wave

    # Monitors: updates delivered to a trivial proc from PVs the server
    # counts up as fast as they are taken, against pyepics callbacks on the
    # same PVs; the latency from another client's put to the script against
    # a raw libca subscription callback; the CPU of an idle event loop with
    # 1,000 monitors.
    proc tick {value} { incr ::ticks }
    # Updates a second delivered to `tick` from the PVs named PREFIX0..N-1,
    # over two seconds.
    proc deliveredRate {prefix n} {
        set slots [EPICS_CreateChannels {*}[lmap i [lsequence $n] {string cat $prefix $i}]]
        set ids [lmap s $slots { EPICS_Monitor $s tick }]
        after 500 {set ::go 1}; vwait ::go
        set ::ticks 0
        set start [clock microseconds]
        after 2000 {set ::go 1}; vwait ::go
        set rate [expr {$::ticks / (([clock microseconds] - $start) / 1e6)}]
        foreach id $ids { EPICS_Unmonitor $id }
        EPICS_ClearChannels {*}$slots
        return $rate
    }
    proc pyepicsRate {prefix n} {
        if {[catch {exec $::python $::pybench monitor 2 {*}[lmap i [lsequence $n] {string cat $prefix $i}] 2>@stderr} rate]} {
            puts "pyepics monitors: not measured ($rate)"
            return 0
        }
        return $rate
    }
    puts ""
    set rate [deliveredRate bench:fast 100]
    set pyRate [pyepicsRate bench:fast 100]
    puts [format "monitor updates delivered, 100 PVs each counting every 100 us (1,000,000 a second in all):"]
    puts [format "    to a Tcl proc %.0f/s, to pyepics callbacks %.0f/s: %.1fx (goals: at least 100000/s, 3x)" \
        $rate $pyRate [expr {$pyRate > 0 ? $rate / $pyRate : 0}]]
    set flood [deliveredRate bench:flood 10]
    set pyFlood [pyepicsRate bench:flood 10]
    puts [format "    10 PVs counting as fast as the socket takes them: to Tcl %.0f/s, to pyepics %.0f/s (see docs/tessaly.md: a stream without pauses keeps ca_poll from returning)" \
        $flood $pyFlood]

    set lat [EPICS_CreateChannel bench:lat]
    proc arrived {value} {
        if {$value > 0} { lappend ::latencies [expr {[clock microseconds] - $value}] }
    }
    set writer [file join [pwd] bench_writer.tcl]
    set f [open $writer w]
    puts $f [list load $env(TESSALY_LIB) Tessaly]
    puts $f {
        set slot [EPICS_CreateChannel bench:lat]
        after 300
        for {set i 0} {$i < 300} {incr i} { EPICS_Put -wait $slot [clock microseconds]; after 5 }
        puts done
    }
    close $f
    set latencies {}
    set id [EPICS_Monitor $lat arrived]
    set pipe [open |[list [info nameofexecutable] $writer 2>@stderr] r]
    fconfigure $pipe -blocking 0
    fileevent $pipe readable [list apply {{pipe} {
        if {[gets $pipe line] >= 0 && $line eq "done" || [eof $pipe]} { set ::writerDone 1 }
    }} $pipe]
    vwait ::writerDone
    catch {close $pipe}
    EPICS_Unmonitor $id
    set tclLatency [median $latencies]
    set pipe [open |[list [info nameofexecutable] $writer 2>@stderr] r]
    set rawLatency [RawCa_Latency $lat 300 $env(TESSALY_LIB)]
    read $pipe
    catch {close $pipe}
    puts [format "latency from another client's put: to the Tcl script %.0f us, to a raw libca callback %.0f us: %.2fx (goal: at most 1.2x)" \
        $tclLatency $rawLatency [expr {$tclLatency / $rawLatency}]]
    EPICS_ClearChannel $lat
    file delete $writer

    set idle [EPICS_CreateChannels {*}[lmap i [lsequence 100] {string cat bench:idle $i}]]
    set ids {}
    foreach s $idle { for {set k 0} {$k < 10} {incr k} { lappend ids [EPICS_Monitor $s tick] } }
    after 500 {set ::go 1}; vwait ::go
    # The interpreter's thread (its id is the process's) apart from libca's
    # own threads (their timers run whether there are monitors or not).
    set before [cpuTicks]
    set beforeMain [cpuTicks task/[pid]/stat]
    after 5000 {set ::go 1}; vwait ::go
    puts [format "idle vwait with %d monitors for 5 s: the interpreter's thread %d ms of CPU, the process %d ms (goal: none measurable)" \
        [llength $ids] [expr {([cpuTicks task/[pid]/stat] - $beforeMain) * 10}] [expr {([cpuTicks] - $before) * 10}]]
    foreach id $ids { EPICS_Unmonitor $id }
    EPICS_ClearChannels {*}$idle

    # 1024 channels: one EPICS_CreateChannels, then one by one.
    set start [clock microseconds]
    set all [EPICS_CreateChannels {*}[lrepeat 1024 bench:f]]
    set batchCreate [expr {([clock microseconds] - $start) / 1e6}]
    EPICS_ClearChannels {*}$all
    puts ""
    puts [format "creating 1024 channels with one EPICS_CreateChannels: %.3f s (goal: under 0.25 s)" $batchCreate]

    set failed 0
    set start [clock microseconds]
    for {set i 0} {$i < 1024} {incr i} {
        if {[catch {EPICS_CreateChannel bench:f}]} { incr failed }
    }
    set total [expr {([clock microseconds] - $start) / 1e6}]
    puts [format "creating 1024 channels: %.2f s, %.1f ms each (each waits for libca's search timer)%s" \
        $total [expr {$total / 1024 * 1e3}] [expr {$failed ? ", $failed failed" : ""}]]
} on error {message} {
    puts "benchmark stopped: $message"
} finally {
    exec /bin/sh -c "kill -TERM [pid $server]"
    catch {close $server}
    file delete $pvfile
}
