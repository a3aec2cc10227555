# Vantorq's script layer: commands in the namespace vantorq over LaserControl,
# in the manner of Tcl's own commands.  Values are checked strictly before
# anything is sent, every failure is a Tcl error whose result says what and
# why (with an errorCode list), reads come back as dicts, and the waits run
# the event loop.  pkgIndex.tcl sources this file right after loading the
# library, from Tcl 8.6 on; LaserControl itself is left as it is.
#
#   vantorq::set KEY VALUE ?KEY VALUE ...?
#   vantorq::status
#   vantorq::settings new|active
#   vantorq::run start|stop|pause|resume|stopAtEnd|pauseAtEnd
#   vantorq::wait ?-until halted|paused|scans N? ?-timeout S? ?-progress CMD?
#
# The commands are aliases of procedures in vantorq::impl, so that the code
# there can use Tcl's own `set`.
package require Tcl 8.6-

namespace eval ::vantorq {
    # Seconds a driver may take to act on a start, or to move a going run
    # (plus two channel times), before the layer says that none is acting.
    if {![info exists driverTimeout]} {
        variable driverTimeout 2.0
    }
    # `set` is left out: importing it would hide Tcl's own.
    namespace export status settings run wait
}
namespace eval ::vantorq::impl {}

# Sourced at the global level: the loops run in a lambda so that they leave
# no variables behind.
apply {{dir} {
    foreach part {common values reads run wait} {
        uplevel #0 [list source [file join $dir vantorq_$part.tcl]]
    }
    foreach {name proc} {set Set status Status settings Settings run Run wait Wait} {
        interp alias {} ::vantorq::$name {} ::vantorq::impl::$proc
    }
}} [file dirname [file normalize [info script]]]
