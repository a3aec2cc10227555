// A Tessaly built without PV Access: every pva:// name fails its command
// with the reason, and nothing else changes.
#include "pva.h"

namespace tessaly {
namespace pva {

bool available(std::string& why) {
    why = "this Tessaly was built without PV Access (configure with -DTESSALY_PVA=ON)";
    return false;
}

bool open(Channel&, std::string_view, std::string& why) { return available(why); }
void close(Channel&) {}
const char* label(const Channel&) { return ""; }
std::string peer(const Channel&) { return std::string(); }
std::string typeId(const Channel&) { return std::string(); }

Get* startGet(Channel&, const std::string&) { return nullptr; }
std::vector<std::size_t> awaitGets(const std::vector<Get*>&, std::chrono::steady_clock::time_point) { return {}; }
Tcl_Obj* getValue(Get*, const Form&, std::string& why) { return available(why), nullptr; }
Get* startInfo(Channel&) { return nullptr; }
Tcl_Obj* typeOf(Get*) { return nullptr; }
void endGet(Get*) {}

Put* planPut(Get*, const std::string&, Tcl_Obj*, bool, std::string& why) { return available(why), nullptr; }
void sendPut(Channel&, Put*, const std::string&, bool, void (*)(Put*)) {}
bool putEnded(Put*) { return true; }
std::vector<std::size_t> awaitPuts(const std::vector<Put*>&, std::chrono::steady_clock::time_point) { return {}; }
std::string putFailure(Put*) { return std::string(); }
void endPut(Put*, bool) {}

Watch* subscribe(Channel&, const std::string&, void (*)(void*), void*, std::string& why) {
    return available(why), nullptr;
}
Tcl_Obj* takeNewest(Watch*, const Form&, uint64_t&) { return nullptr; }
void unsubscribe(Watch*) {}

void shutdown() {}

}  // namespace pva
}  // namespace tessaly
