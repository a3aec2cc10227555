# The live plot: the detector's counts of the scan under way against the
# scan channel, over those of the scan before (in grey), with the channel
# the scan is at marked.  The counts come from a monitor of their PV (one
# value per channel counted so far); when fewer come than before, a new scan
# has begun and the old counts become the scan before.
#
# Canvas tags: frame, grid, axis, previous, current, currentPoint, cursor,
# legend.
namespace eval panel::plot {
    variable current {}
    variable previous {}
    variable channels 0
    variable cursor -1
    # Margins around the plotting area: left, top, right, bottom.
    variable margins {64 16 18 40}
    variable colours {current #1565c0 previous #b0b0b0 cursor #e67e00 grid #e4e4e4 axis #404040}
}

# New counts from the monitor.
proc panel::plot::counts {values} {
    variable current
    variable previous
    if {[llength $values] < [llength $current]} {
        set previous $current
    }
    set current $values
    draw
}

# The channel count of the run and the channel it is at (-1: none).
proc panel::plot::setScan {channelCount channel} {
    variable channels
    variable cursor
    if {$channelCount == $channels && $channel == $cursor} return
    set channels $channelCount
    set cursor $channel
    draw
}

# The nice step (1, 2 or 5 times a power of ten) for about `ticks` ticks up to `top`.
proc panel::plot::step {top ticks} {
    set raw [expr {max($top / double($ticks), 1e-9)}]
    set power [expr {10.0 ** floor(log10($raw))}]
    foreach factor {1 2 5 10} {
        if {$factor * $power >= $raw} { return [expr {$factor * $power}] }
    }
}

proc panel::plot::draw {} {
    variable current
    variable previous
    variable channels
    variable cursor
    variable margins
    variable colours
    set c .plot.canvas
    if {![winfo exists $c]} return
    $c delete all
    lassign $margins left top right bottom
    set width [winfo width $c]
    set height [winfo height $c]
    if {$width < 2} { set width [$c cget -width] }
    if {$height < 2} { set height [$c cget -height] }
    set x1 [expr {$width - $right}]
    set y1 [expr {$height - $bottom}]

    # Scales: every channel of the run across, the highest count up.
    set lastChannel [expr {max($channels, [llength $current], [llength $previous], 2) - 1}]
    set highest 10
    foreach value [concat $current $previous] {
        if {$value > $highest} { set highest $value }
    }
    set yStep [step [expr {$highest * 1.05}] 5]
    set yTop [expr {ceil($highest * 1.05 / $yStep) * $yStep}]
    set xStep [expr {max(1, int([step $lastChannel 10]))}]
    set sx [expr {($x1 - $left) / double($lastChannel)}]
    set sy [expr {($y1 - $top) / double($yTop)}]

    # Grid, ticks and labels.
    for {set v 0} {$v <= $yTop + $yStep / 2} {set v [expr {$v + $yStep}]} {
        set y [expr {$y1 - $v * $sy}]
        $c create line $left $y $x1 $y -fill [dict get $colours grid] -tags grid
        $c create text [expr {$left - 6}] $y -text [format %g $v] -anchor e -tags axis
    }
    for {set ch 0} {$ch <= $lastChannel} {incr ch $xStep} {
        set x [expr {$left + $ch * $sx}]
        $c create line $x $top $x $y1 -fill [dict get $colours grid] -tags grid
        $c create text $x [expr {$y1 + 4}] -text $ch -anchor n -tags axis
    }
    $c create rectangle $left $top $x1 $y1 -outline [dict get $colours axis] -tags frame
    $c create text [expr {($left + $x1) / 2}] [expr {$height - 4}] -text "channel" -anchor s -tags axis
    $c create text 14 [expr {($top + $y1) / 2}] -text "counts" -angle 90 -anchor center -tags axis

    # The scan before, the channel the scan is at, and the scan under way.
    drawScan $c previous $previous $left $y1 $sx $sy 2
    if {$cursor >= 0 && $cursor <= $lastChannel} {
        set x [expr {$left + $cursor * $sx}]
        $c create line $x $top $x $y1 -fill [dict get $colours cursor] -dash {4 3} -tags cursor
    }
    drawScan $c current $current $left $y1 $sx $sy 2
    set r 2.5
    set ch 0
    foreach value $current {
        set x [expr {$left + $ch * $sx}]
        set y [expr {$y1 - $value * $sy}]
        $c create oval [expr {$x - $r}] [expr {$y - $r}] [expr {$x + $r}] [expr {$y + $r}] \
            -fill [dict get $colours current] -outline [dict get $colours current] -tags currentPoint
        incr ch
    }
    legend $c [expr {$x1 - 8}] [expr {$top + 8}]
}

# One scan's counts as a line (one point alone: nothing to join).
proc panel::plot::drawScan {c tag values left y1 sx sy width} {
    variable colours
    if {[llength $values] < 2} return
    set points {}
    set ch 0
    foreach value $values {
        lappend points [expr {$left + $ch * $sx}] [expr {$y1 - $value * $sy}]
        incr ch
    }
    $c create line {*}$points -fill [dict get $colours $tag] -width $width -tags $tag
}

proc panel::plot::legend {c x y} {
    variable colours
    foreach {tag text} {current "this scan" previous "the scan before"} {
        $c create text [expr {$x - 26}] $y -text $text -anchor e -tags legend]
        $c create line [expr {$x - 20}] $y $x $y -fill [dict get $colours $tag] -width 3 -tags legend
        incr y 16
    }
}
