# Channel Access, through Tessaly: a monitor of the detector's counts feeds
# the plot, a monitor of the set-point shows its value, and the field writes
# a new set-point.
#
# The write is EPICS_Put -command, not -wait: a set-point PV may take long to
# process (the demo's takes 0.3 s, a motor moving to a wavelength seconds),
# and -wait would hold the whole window for that long.  With -command the
# put returns at once; the completion, its refusal or its time-out comes
# back through the event loop and is shown.  One write at a time: the
# button is off until the last one has completed.
#
# Connecting waits for the channels, 5 s at most, while the window stands
# still (once at the start, and again when Connect is pressed); when the
# server is not there the panel says so and offers to connect again.  A
# channel lost later is shown, and its monitors go on once it is back; Connect
# is offered meanwhile.  The messages about the connection go once it is up.
namespace eval panel::ca {
    variable countsPv LAB:COUNTS
    variable setpointPv LAB:WAVELENGTH
    variable counts {}
    variable setpoint {}
    variable units ""
    variable precision 3
    # Seconds a write may take to complete.
    variable writeTimeout 10
    variable writing 0
    # Connection state of each PV: 1 connected, 0 not.
    variable connected
    array set connected {}
}

# The message of a failed Tessaly command: the result, or for the commands
# that leave the result empty, errorCode.
proc panel::ca::why {result} {
    if {$result ne ""} { return $result }
    return [lindex $::errorCode 0]
}

# A value of the set-point with its units.
proc panel::ca::quantity {text} {
    variable units
    if {$units eq ""} { return $text }
    return "$text $units"
}

proc panel::ca::connect {} {
    variable countsPv
    variable setpointPv
    variable counts
    variable setpoint
    variable connected
    release
    if {[catch {package require Tessaly 1.0} message]} {
        panel::fail "No Channel Access: $message"
        return
    }
    .setpoint.status configure -text "Connecting to $countsPv and $setpointPv\u2026"
    update idletasks
    if {[catch {EPICS_CreateChannels $countsPv $setpointPv} slots]} {
        notConnected "$countsPv and $setpointPv are not connected: [why $slots]"
        return
    }
    lassign $slots counts setpoint
    set connected($countsPv) 1
    set connected($setpointPv) 1
    readFormat
    if {[catch {
        EPICS_Monitor $counts panel::plot::counts
        EPICS_Monitor $setpoint panel::ca::showSetpoint
        EPICS_OnConnection $counts [list panel::ca::onConnection $countsPv]
        EPICS_OnConnection $setpoint [list panel::ca::onConnection $setpointPv]
    } message]} {
        release
        notConnected "cannot monitor $countsPv and $setpointPv: [why $message]"
        return
    }
    .setpoint.status configure -text ""
    .setpoint.write state !disabled
    panel::over connection "Channel Access: $countsPv and $setpointPv are connected."
}

# Clears the channels of an earlier connection, their monitors with them.
proc panel::ca::release {} {
    variable counts
    variable setpoint
    variable connected
    variable writing
    # A write under way ends with its channel.
    set writing 0
    .setpoint.write state disabled
    offerConnect 0
    if {$counts ne ""} {
        catch {EPICS_ClearChannels $counts $setpoint}
    }
    set counts {}
    set setpoint {}
    array unset connected
}

proc panel::ca::notConnected {why} {
    .setpoint.status configure -text "Not connected"
    offerConnect 1
    panel::fail "Channel Access: $why" connection
}

# Shows the Connect button, or takes it away.
proc panel::ca::offerConnect {on} {
    if {$on} {
        grid .setpoint.connect -row 0 -column 6 -sticky e
    } else {
        grid remove .setpoint.connect
    }
}

# The units and precision of the set-point, for showing its value.
proc panel::ca::readFormat {} {
    variable setpoint
    variable units
    variable precision
    if {[catch {EPICS_GetMeta $setpoint} meta]} return
    if {[dict exists $meta units]} { set units [dict get $meta units] }
    if {[dict exists $meta precision]} { set precision [dict get $meta precision] }
}

proc panel::ca::showSetpoint {value} {
    variable precision
    set text $value
    if {[string is double -strict $value]} {
        set text [format %.*f $precision $value]
    }
    .setpoint.now configure -text [quantity $text]
    if {[.setpoint.entry get] eq ""} {
        .setpoint.entry insert 0 $text
    }
}

proc panel::ca::onConnection {pv up} {
    variable connected
    set connected($pv) $up
    set lost {}
    foreach name [lsort [array names connected]] {
        if {!$connected($name)} { lappend lost $name }
    }
    if {[llength $lost]} {
        .setpoint.status configure -text "Disconnected: [join $lost {, }]"
        offerConnect 1
        panel::fail "Channel Access: lost [join $lost {, }]; the panel goes on when the server is back." connection
    } else {
        .setpoint.status configure -text ""
        offerConnect 0
        panel::over connection "Channel Access: $pv is connected again."
    }
}

# Writes the field's value to the set-point; the completion is shown later.
proc panel::ca::write {} {
    variable setpoint
    variable setpointPv
    variable writeTimeout
    variable writing
    if {$writing || $setpoint eq ""} return
    set text [string trim [.setpoint.entry get]]
    if {![string is double -strict $text] || [catch {expr {double($text) * 0 == 0}} finite] || !$finite} {
        panel::fail "The set-point must be a finite number, got \"$text\": nothing was written."
        return
    }
    set started [clock milliseconds]
    if {[catch {EPICS_Put -command [list panel::ca::written $text $started] -timeout $writeTimeout \
                    $setpoint $text} message]} {
        panel::fail "Cannot write $text to $setpointPv: [why $message]"
        return
    }
    set writing 1
    .setpoint.write state disabled
    .setpoint.status configure -text "Writing [quantity $text]\u2026"
}

# The completion of a write: 0, or the reason it failed.
proc panel::ca::written {text started status} {
    variable setpointPv
    variable writing
    set writing 0
    .setpoint.write state !disabled
    set seconds [format %.2f [expr {([clock milliseconds] - $started) / 1000.0}]]
    if {$status eq "0"} {
        .setpoint.status configure -text "Written"
        panel::say "Wrote [quantity $text] to $setpointPv (completed in $seconds s)."
    } else {
        .setpoint.status configure -text "Not written"
        panel::fail "Writing $text to $setpointPv failed: $status"
    }
}
