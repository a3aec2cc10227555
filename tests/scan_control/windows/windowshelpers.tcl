# Windows-only helpers on top of the shared ones.
source [file join [file dirname [file dirname [info script]]] helpers.tcl]

set ::holder [file join $build tests scan_control windows vantorq_blockholder.exe]
testConstraint holder [file executable $::holder]

# Starts a process that holds the block, marked ready, and only the named
# objects; returns its channel (close it to end the process).
proc holdBlock {args} {
    set chan [open "|[list $::holder {*}$args]" r+]
    if {[gets $chan] ne "held"} {
        catch {close $chan} msg
        return -code error "vantorq_blockholder failed: $msg"
    }
    return $chan
}
