// The PVs pva_server serves: a pvas::SharedPV each, their puts and the
// updates they post by themselves.
#pragma once

#include <pva/server.h>

#include <cstddef>
#include <vector>

#include "pv_file.h"

namespace pvs {

// Builds a SharedPV for each line, opens it with its start value and adds it
// to the provider.  False with the reason (naming the PV) in err.
bool serve_pvs(const std::vector<PvSpec>& specs, pvas::StaticProvider& provider, char* err,
               size_t errlen);

// The thread that completes delayed puts and posts rate= updates; started
// after serve_pvs, stopped before the server context goes.
void start_updates();
void stop_updates();

}  // namespace pvs
