// Circuits closed by clears (circuits.cpp).  A command that clears channels
// calls beforeClearing, then clearChannel (ca_clear_channel, noting the
// channel's server) for each, then afterClearing once their slots are free;
// a create calls settleCircuits before its first request.  forgetCircuits
// after a reset.
#pragma once

#include <cadef.h>

namespace tessaly {

void beforeClearing();
void clearChannel(chid channel);
void afterClearing();
void settleCircuits();
void forgetCircuits();

}  // namespace tessaly
