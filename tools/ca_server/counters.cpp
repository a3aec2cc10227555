// Counting PVs (count=US): each goes up by one every US microseconds and
// posts to its monitors, as a periodically scanned record would; with
// count=0 as fast as its monitors take the updates (it stands still while
// none can). A round does at most kBurst steps per PV, so that the other
// circuits and the name search are served in between.
#include "counters.h"

#include "circuit.h"
#include "pv_store.h"

namespace ca {

namespace {

constexpr unsigned kBurst = 512;

void step(size_t k)
{
    pv_count_step(pv_at(k));
    circuit_post(int(k));
}

}  // namespace

void counters_run(int64_t now)
{
    for (size_t k = 0; k < pv_count(); ++k) {
        Pv& pv = pv_at(k);
        if (pv.count_us < 0) continue;
        if (pv.count_us == 0) {
            for (unsigned n = 0; n < kBurst && circuit_has_taker(int(k)); ++n) step(k);
            continue;
        }
        if (pv.next_count_us == 0) pv.next_count_us = now + pv.count_us;
        for (unsigned n = 0; n < kBurst && pv.next_count_us <= now; ++n) {
            step(k);
            pv.next_count_us += pv.count_us;
        }
        // Too far behind: go on from now rather than catch up.
        if (pv.next_count_us <= now) pv.next_count_us = now + pv.count_us;
    }
}

int64_t counters_wake(int64_t now)
{
    int64_t wake = -1;
    for (size_t k = 0; k < pv_count(); ++k) {
        const Pv& pv = pv_at(k);
        if (pv.count_us < 0) continue;
        int64_t at = pv.count_us > 0 ? (pv.next_count_us ? pv.next_count_us : now + pv.count_us)
                                     : (circuit_has_taker(int(k)) ? now : -1);
        if (at >= 0 && (wake < 0 || at < wake)) wake = at;
    }
    return wake;
}

}  // namespace ca
