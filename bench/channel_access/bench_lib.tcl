# Helpers the Tessaly benchmarks share: statistics, the event loop for a
# while, and what /proc says of this process.

proc median {values} { lindex [lsort -real $values] [expr {[llength $values] / 2}] }
proc percentile {values p} {
    set sorted [lsort -real $values]
    lindex $sorted [expr {min([llength $sorted] - 1, int(ceil([llength $sorted] * $p / 100.0)) - 1)}]
}
# Runs the event loop for ms.
proc pause {ms} {
    after $ms {set ::pause 1}
    vwait ::pause
}
# A line of /proc/PID/status in KiB (VmRSS, VmHWM).
proc statusKiB {key} {
    set f [open /proc/[pid]/status]
    set text [read $f]
    close $f
    regexp -line "^$key:\\s+(\\d+)" $text -> kib
    return $kib
}
# User and system time in clock ticks (USER_HZ) of this process (every
# thread), or with file task/TID/stat of one thread; read, not exec'd (a
# child would cost this process its fork).
proc cpuTicks {{file stat}} {
    set f [open /proc/[pid]/$file]
    set stat [read $f]
    close $f
    lassign [lrange [split [string range $stat [string last ")" $stat]+2 end]] 11 12] user system
    expr {$user + $system}
}
