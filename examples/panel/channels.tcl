# Channel Access, through Tessaly's name layer (the tessaly:: commands): a
# monitor of the detector's counts feeds the plot, a monitor of the
# set-point, with its units and precision, shows its value, and the field
# writes a new set-point.
#
# Nothing here waits for the network, so the window never stands still for
# it.  Connecting starts the searches and returns at once; the monitors are
# made before the names connect and start with their first values, and what
# the panel says of the connection comes from the names' connection scripts
# (tessaly::onconnection).  While the names search, the panel says so; when
# they have not connected within connectPatience ms, it says that no server
# has answered and offers Connect, which starts the searches afresh (libca
# goes on searching meanwhile, less and less often, and connects the names
# whenever their server answers).  A name lost later is shown, and its
# monitors go on once it is back; Connect is offered meanwhile.  The
# messages about the connection go once it is up.
#
# The write is tessaly::put -command, not -wait: a set-point PV may take
# long to process (the demo's takes 0.3 s, a motor moving to a wavelength
# seconds), and -wait would hold the whole window for that long.  With
# -command the put returns at once; the completion, its refusal or its
# time-out comes back through the event loop and is shown.  One write at a
# time: the button is off until the last one has completed.  A put waits for
# a name that is not connected, so a write is refused at once while the
# set-point is not.
namespace eval panel::ca {
    variable countsPv LAB:COUNTS
    variable setpointPv LAB:WAVELENGTH
    variable units ""
    variable precision 3
    # Seconds a write may take to complete.
    variable writeTimeout 10
    variable writing 0
    # Milliseconds the names may take to connect before the panel says
    # that no server has answered.
    variable connectPatience 5000
    variable patienceTimer {}
    # The state of each name of the connection: connecting (not connected
    # yet), connected, or lost (connected once, gone since).
    variable state
    array set state {}
    # Whether every name has been connected at once since Connect.
    variable allConnected 0
}

# "A", "A and B", "A, B and C".
proc panel::ca::listed {names} {
    if {[llength $names] < 2} { return [join $names] }
    return "[join [lrange $names 0 end-1] {, }] and [lindex $names end]"
}

# A value of the set-point with its units.
proc panel::ca::quantity {text} {
    variable units
    if {$units eq ""} { return $text }
    return "$text $units"
}

# The names of the connection, each once, in the order of the window.
proc panel::ca::names {} {
    variable countsPv
    variable setpointPv
    if {$countsPv eq $setpointPv} { return [list $countsPv] }
    return [list $countsPv $setpointPv]
}

proc panel::ca::connect {} {
    variable countsPv
    variable setpointPv
    variable state
    variable connectPatience
    variable patienceTimer
    release
    if {[catch {package require Tessaly 1.0} message]} {
        panel::fail "No Channel Access: $message"
        return
    }
    set names [names]
    foreach pv $names { set state($pv) connecting }
    if {[catch {
        foreach pv $names {
            tessaly::onconnection $pv [list panel::ca::onConnection $pv]
        }
        tessaly::monitor $countsPv panel::plot::counts
        tessaly::monitor -meta $setpointPv panel::ca::showSetpoint
        tessaly::connect {*}$names
    } message]} {
        release
        .setpoint.status configure -text "Not connected"
        offerConnect 1
        panel::fail "Channel Access: cannot connect to [listed $names]: $message" connection
        return
    }
    set patienceTimer [after $connectPatience panel::ca::impatient]
    showConnection {}
    # A name that connected before its script was set has no event to come.
    foreach pv $names {
        if {![catch {tessaly::info $pv} info] && [dict get $info state] eq "connected"} {
            onConnection $pv 1
        }
    }
}

# Ends the connection: the names are let go, their monitors, scripts and a
# write under way with them.
proc panel::ca::release {} {
    variable state
    variable writing
    variable patienceTimer
    variable allConnected
    after cancel $patienceTimer
    set patienceTimer {}
    set writing 0
    set allConnected 0
    .setpoint.write state disabled
    offerConnect 0
    set names [array names state]
    array unset state
    if {[llength $names]} {
        catch {tessaly::disconnect {*}$names}
    }
}

# Shows the Connect button, or takes it away.
proc panel::ca::offerConnect {on} {
    if {$on} {
        grid .setpoint.connect -row 0 -column 6 -sticky e
    } else {
        grid remove .setpoint.connect
    }
}

# A name's connection script: 1 connected, 0 lost.
proc panel::ca::onConnection {pv up} {
    variable state
    if {![info exists state($pv)]} return
    if {$up} {
        set now connected
    } elseif {$state($pv) eq "connecting"} {
        set now connecting
    } else {
        set now lost
    }
    if {$now eq $state($pv)} return
    set state($pv) $now
    showConnection $pv
}

# The names have had connectPatience ms to connect.
proc panel::ca::impatient {} {
    variable patienceTimer
    set patienceTimer {}
    showConnection {}
}

# Shows the state of the connection after a change (of the name `pv`, or
# of the time).
proc panel::ca::showConnection {pv} {
    variable state
    variable setpointPv
    variable writing
    variable patienceTimer
    variable connectPatience
    variable allConnected
    set connecting {}
    set lost {}
    foreach name [names] {
        switch -- $state($name) {
            connecting { lappend connecting $name }
            lost { lappend lost $name }
        }
    }
    # Writes go once the set-point has connected; while it is lost they are
    # refused with the reason.
    if {$state($setpointPv) ne "connecting" && !$writing} {
        .setpoint.write state !disabled
    }
    if {[llength $lost]} {
        .setpoint.status configure -text "Disconnected: [join $lost {, }]"
        offerConnect 1
        panel::fail "Channel Access: lost [join $lost {, }]; the panel goes on when the server is back." connection
    } elseif {[llength $connecting] && $patienceTimer ne ""} {
        .setpoint.status configure -text "Connecting to [listed $connecting]\u2026"
    } elseif {[llength $connecting]} {
        .setpoint.status configure -text "Not connected"
        offerConnect 1
        set verb [expr {[llength $connecting] == 1 ? "is" : "are"}]
        panel::fail "Channel Access: [listed $connecting] $verb not connected: no server has answered\
            in [format %g [expr {$connectPatience / 1000.0}]] s; the panel goes on searching." connection
    } else {
        after cancel $patienceTimer
        set patienceTimer {}
        .setpoint.status configure -text ""
        offerConnect 0
        if {!$allConnected} {
            set allConnected 1
            set verb [expr {[llength [names]] == 1 ? "is" : "are"}]
            panel::over connection "Channel Access: [listed [names]] $verb connected."
        } else {
            panel::over connection "Channel Access: $pv is connected again."
        }
    }
}

# The set-point's monitor: its value with units and precision.
proc panel::ca::showSetpoint {meta} {
    variable units
    variable precision
    if {[dict exists $meta units]} { set units [dict get $meta units] }
    if {[dict exists $meta precision]} { set precision [dict get $meta precision] }
    set value [dict get $meta value]
    set text $value
    if {[string is double -strict $value]} {
        set text [format %.*f $precision $value]
    }
    .setpoint.now configure -text [quantity $text]
    if {[.setpoint.entry get] eq ""} {
        .setpoint.entry insert 0 $text
    }
}

# Whether the set-point is connected now: its connection script's word,
# and the channel itself (the script may not have heard of a loss yet).
proc panel::ca::setpointUp {} {
    variable state
    variable setpointPv
    if {![info exists state($setpointPv)] || $state($setpointPv) ne "connected"} { return 0 }
    expr {![catch {tessaly::info $setpointPv} info] && [dict get $info state] eq "connected"}
}

# Writes the field's value to the set-point; the completion is shown later.
proc panel::ca::write {} {
    variable state
    variable setpointPv
    variable writeTimeout
    variable writing
    if {$writing || ![info exists state($setpointPv)]} return
    set text [string trim [.setpoint.entry get]]
    if {![string is double -strict $text] || [catch {expr {double($text) * 0 == 0}} finite] || !$finite} {
        panel::fail "The set-point must be a finite number, got \"$text\": nothing was written."
        return
    }
    if {![setpointUp]} {
        panel::fail "Cannot write $text to $setpointPv: it is not connected."
        return
    }
    set started [clock milliseconds]
    if {[catch {tessaly::put -command [list panel::ca::written $text $started] -timeout $writeTimeout \
                    $setpointPv $text} message]} {
        panel::fail "Cannot write $text to $setpointPv: $message"
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
