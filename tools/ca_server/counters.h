// Counting PVs (count=US), stepped from the poll loop.
#pragma once

#include <cstdint>

namespace ca {

// Steps every counting PV that is due at now (microseconds, monotonic).
void counters_run(int64_t now);
// When a counting PV is next due (microseconds), now when one can step at
// once, -1 when none can.
int64_t counters_wake(int64_t now);

}  // namespace ca
