// One driver simulator per namespace: the first to start claims the
// namespace's control block, and a second one refuses to serve it.
#pragma once

#include "platform.h"

enum class Claim {
    Claimed,       // this process serves the namespace now
    HeldByOther,   // another process does; `holder` is its pid (0 if unknown)
    Failed,        // the claim could not be tried; errno tells why
};

// Claims the namespace through the mapping of its control block, held open
// by this process until it ends.  The claim goes with the process, however
// it ends, so a killed simulator never blocks the next one.
Claim ClaimNamespace(const SharedMemory &block, long &holder);
