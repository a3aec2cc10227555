// The feature table, the ready list and the hub (see registry.h).
#include "registry.h"
#include "channel.h"
#include "lock.h"

#include <vector>

namespace tessaly {
namespace {

const Feature* const* features = nullptr;
std::size_t featureCount = 0;

struct ReadyItem {
    const Feature* feature;
    uint32_t index;
    uint32_t generation;
};

std::vector<ReadyItem> ready;    // under the callback lock
std::vector<ReadyItem> spare;    // the list last delivered, kept for its room
bool woken = false;              // under the callback lock
WakeHook wakeHook = nullptr;

}  // namespace

void joinFeatures(const Feature* const* rows, std::size_t count) {
    features = rows;
    featureCount = count;
}

void noteReady(const Feature& feature, uint32_t index, uint32_t generation, Side side) {
    checkLocked("noteReady");
    ready.push_back(ReadyItem{&feature, index, generation});
    if (side == Side::Names && !woken && wakeHook != nullptr) {
        woken = true;
        wakeHook();
    }
}

bool anythingReady() {
    Held hold(callbackLock());
    return !ready.empty();
}

void deliverReady() {
    std::vector<ReadyItem> items;
    {
        Held hold(callbackLock());
        if (ready.empty()) return;
        items.swap(spare);
        items.swap(ready);
    }
    for (const ReadyItem& item : items) item.feature->deliver(item.index, item.generation);
    items.clear();
    Held hold(callbackLock());
    if (spare.capacity() < items.capacity()) spare.swap(items);
}

void setWakeHook(WakeHook hook) { wakeHook = hook; }

void wakeDone() {
    Held hold(callbackLock());
    woken = false;
}

void forgetChannel(Channel& channel, Tcl_Interp* only, Ending why) {
    for (std::size_t i = 0; i < featureCount; ++i)
        if (features[i]->forgetChannel != nullptr) features[i]->forgetChannel(channel, only, why);
}

void forgetInterp(Tcl_Interp* interp) {
    for (std::size_t i = 0; i < featureCount; ++i)
        if (features[i]->forgetInterp != nullptr) features[i]->forgetInterp(interp);
}

void endContext(Side side) {
    // Every record on the context's channels first, then the rest.
    forEachChannel(side, [](Channel& channel) { forgetChannel(channel, nullptr, Ending::Reset); });
    for (std::size_t i = 0; i < featureCount; ++i)
        if (features[i]->endContext != nullptr) features[i]->endContext(side);
}

void contextMade(Side side) {
    for (std::size_t i = 0; i < featureCount; ++i)
        if (features[i]->contextMade != nullptr) features[i]->contextMade(side);
}

void connectionChanged(Channel& channel, bool up) {
    // A script run by one feature may clear the channel: the rest are not told.
    uint32_t ref = channel.ref, generation = channel.generation;
    for (std::size_t i = 0; i < featureCount && channelAt(ref, generation) != nullptr; ++i)
        if (features[i]->connectionChanged != nullptr) features[i]->connectionChanged(channel, up);
}

}  // namespace tessaly
