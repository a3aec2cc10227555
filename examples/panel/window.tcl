# The scan panel's window: its widgets, and the message line at its foot,
# where every failure is shown (a background error included, so that none
# ever stops the panel with Tk's error dialog).
#
#   .run        the run: state, request, scan, channel, DAC, settings, buttons
#   .plot       the plot of the detector's counts against the scan channel
#   .setpoint   the set-point: its value now, the field and button that write it
#   .message    the last message
namespace eval panel {
    variable colours {
        halted  #6b6b6b
        going   #2e7d32
        paused  #e67e00
        unknown #b00020
    }
    # Errors that reached the background error handler.
    variable backgroundErrors 0
    # What the message shown is about, when it tells of a condition that
    # may end (the connection lost, a stop requested): see panel::over.
    variable messageTopic {}
}

proc panel::build {countsPv setpointPv} {
    variable colours
    wm title . "Scan panel"
    catch {ttk::style theme use clam}
    font create PanelTitle {*}[font actual TkDefaultFont] -size 10 -weight bold
    font create PanelValue {*}[font actual TkDefaultFont] -size 11 -weight bold
    font create PanelState {*}[font actual TkDefaultFont] -size 12 -weight bold
    ttk::style configure Panel.TLabelframe.Label -font PanelTitle
    ttk::style configure Value.TLabel -font PanelValue
    ttk::style configure Error.TLabel -foreground #b00020
    ttk::style configure Info.TLabel -foreground #202020

    # The run.
    ttk::labelframe .run -text "Run" -style Panel.TLabelframe -padding {10 6}
    label .run.state -text "\u2026" -font PanelState -foreground white \
        -background [dict get $colours unknown] -width 8 -padx 8 -pady 4
    grid .run.state -row 0 -column 0 -rowspan 2 -sticky nsw -padx {0 14}
    set column 1
    foreach {name title} {request Request scans Scans channel Channel dac DAC} {
        ttk::label .run.${name}Title -text $title
        ttk::label .run.$name -text "\u2013" -style Value.TLabel
        grid .run.${name}Title -row 0 -column $column -sticky w -padx {0 18}
        grid .run.$name -row 1 -column $column -sticky w -padx {0 18}
        incr column
    }
    ttk::label .run.settings -text ""
    grid .run.settings -row 2 -column 0 -columnspan $column -sticky w -pady {6 0}
    ttk::frame .run.buttons
    foreach {name text} {start Start pause Pause resume Resume stopAtEnd "Stop at end" stop "Stop now"} {
        ttk::button .run.buttons.$name -text $text -command [list panel::run::request $name]
        pack .run.buttons.$name -side left -padx {0 6}
    }
    grid .run.buttons -row 3 -column 0 -columnspan $column -sticky w -pady {8 0}
    grid columnconfigure .run $column -weight 1

    # The plot.
    ttk::labelframe .plot -text "$countsPv against the scan channel" -style Panel.TLabelframe -padding 6
    canvas .plot.canvas -width 640 -height 300 -background white -highlightthickness 0
    pack .plot.canvas -fill both -expand 1
    bind .plot.canvas <Configure> panel::plot::draw

    # The set-point.
    ttk::labelframe .setpoint -text "Set-point $setpointPv" -style Panel.TLabelframe -padding {10 6}
    ttk::label .setpoint.nowTitle -text "Now"
    ttk::label .setpoint.now -text "\u2013" -style Value.TLabel -width 14
    ttk::label .setpoint.newTitle -text "New"
    ttk::entry .setpoint.entry -width 12
    ttk::button .setpoint.write -text "Write" -command panel::ca::write -state disabled
    ttk::button .setpoint.connect -text "Connect" -command panel::ca::connect
    ttk::label .setpoint.status -text ""
    bind .setpoint.entry <Return> {.setpoint.write invoke}
    # The field holds the set-point's value once it is known: coming into it,
    # by a click too, selects that text, so that what is typed replaces it.
    bind .setpoint.entry <FocusIn> {%W selection range 0 end; %W icursor end}
    grid .setpoint.nowTitle .setpoint.now .setpoint.newTitle .setpoint.entry .setpoint.write \
        .setpoint.status -sticky w -padx {0 8}
    grid columnconfigure .setpoint 5 -weight 1

    ttk::label .message -text "" -style Info.TLabel -wraplength 660 -padding {4 2}

    grid .run -row 0 -sticky ew -padx 10 -pady {10 4}
    grid .plot -row 1 -sticky nsew -padx 10 -pady 4
    grid .setpoint -row 2 -sticky ew -padx 10 -pady 4
    grid .message -row 3 -sticky ew -padx 10 -pady {0 8}
    grid columnconfigure . 0 -weight 1
    grid rowconfigure . 1 -weight 1

    interp bgerror {} panel::backgroundError
}

# Shows a message at the foot of the window, stamped with the time.  A
# message that tells of a condition names it (topic), so that it goes away
# when that condition ends (panel::over); one that tells what happened has
# none and stays until the next.
proc panel::say {text {topic {}}} {
    showMessage Info.TLabel $text $topic
}

proc panel::fail {text {topic {}}} {
    showMessage Error.TLabel $text $topic
}

proc panel::showMessage {style text topic} {
    variable messageTopic
    set messageTopic $topic
    .message configure -style $style -text "[clock format [clock seconds] -format %H:%M:%S]  $text"
}

# The condition `topic` has ended: the message about it, if it is the one
# shown, goes away, or gives way to `text` (no longer about a condition).
proc panel::over {topic {text {}}} {
    variable messageTopic
    if {$topic eq "" || $messageTopic ne $topic} return
    if {$text eq ""} {
        set messageTopic {}
        .message configure -style Info.TLabel -text ""
    } else {
        say $text
    }
}

# An error no part of the panel caught: shown like the others, and counted.
proc panel::backgroundError {message options} {
    variable backgroundErrors
    incr backgroundErrors
    fail "unexpected error: $message"
}

# The run state shown in its colour.
proc panel::showState {state} {
    variable colours
    set colour [expr {[dict exists $colours $state] ? [dict get $colours $state] : [dict get $colours unknown]}]
    .run.state configure -text [string toupper $state] -background $colour
}
