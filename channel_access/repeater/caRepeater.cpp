// caRepeater: the Channel Access repeater, which Debian does not package.
//
// One runs per host.  Clients register with it on UDP port 5065
// (EPICS_CA_REPEATER_PORT) and it passes on to each of them the beacons
// that servers send: that is how a client hears at once that a server has
// started again, and searches anew for the channels it lost.  libca starts
// one by itself, from PATH, when none runs; a site starts it at boot (see
// docs/tessaly.md).  The whole repeater is libca's own ca_repeater().
#include <unistd.h>

void ca_repeater();  // libca's (udpiiu.h, which the headers do not install)

int main() {
    // Out of the way of unmounts, as EPICS's own repeater does.
    if (chdir("/") != 0) return 1;
    ca_repeater();
    return 0;
}
