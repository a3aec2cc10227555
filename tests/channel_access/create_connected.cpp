// Preloaded (LD_PRELOAD) into a tclsh by names.test: a channel made in a
// context with preemptive callbacks connects while ca_create_channel still
// runs, as it can against a fast local server.  ca_create_channel returns
// only once libca has run the connection handler (on its own thread) or
// after 5 s; and the first ca_state asked of such a channel answers as the
// state was before it connected (the caller's check raced the connection).
// Contexts without preemptive callbacks run handlers only inside library
// calls: their channels pass through untouched.
#include <cadef.h>
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace {

std::mutex lock;
std::condition_variable connected;
// Keyed by the caller's private pointer: libca may call the handler before
// ca_create_channel has stored the channel's identifier.
std::unordered_map<void*, caCh*> handlers;
std::unordered_set<void*> heard;
std::unordered_set<chid> stale;  // their first ca_state answers cs_never_conn

void relay(connection_handler_args args) {
    void* user = ca_puser(args.chid);
    caCh* handler = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        auto found = handlers.find(user);
        if (found != handlers.end()) handler = found->second;
    }
    if (handler != nullptr) handler(args);
    if (args.op != CA_OP_CONN_UP) return;
    std::lock_guard<std::mutex> hold(lock);
    heard.insert(user);
    connected.notify_all();
}

template <typename F>
F real(const char* name) {
    // libca is this object's own dependency, so it comes next in the search.
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ca_create_channel(
    const char* name, caCh* handler, void* user, capri priority, chid* out)
{
    using Create = int (*)(const char*, caCh*, void*, capri, chid*);
    static Create create = real<Create>("ca_create_channel");
    if (create == nullptr) return ECA_INTERNAL;
    if (handler == nullptr || !ca_preemtive_callback_is_enabled()) return create(name, handler, user, priority, out);
    {
        std::lock_guard<std::mutex> hold(lock);
        handlers[user] = handler;
        heard.erase(user);
    }
    int status = create(name, relay, user, priority, out);
    if (status != ECA_NORMAL) return status;
    std::unique_lock<std::mutex> hold(lock);
    if (connected.wait_for(hold, std::chrono::seconds(5), [user] { return heard.count(user) != 0; }))
        stale.insert(*out);
    return status;
}

extern "C" __attribute__((visibility("default"))) enum channel_state ca_state(chid channel) {
    using State = enum channel_state (*)(chid);
    static State state = real<State>("ca_state");
    {
        std::lock_guard<std::mutex> hold(lock);
        if (stale.erase(channel) != 0) return cs_never_conn;
    }
    return state(channel);
}

extern "C" __attribute__((visibility("default"))) int ca_clear_channel(chid channel) {
    using Clear = int (*)(chid);
    static Clear clear = real<Clear>("ca_clear_channel");
    {
        std::lock_guard<std::mutex> hold(lock);
        stale.erase(channel);
        void* user = ca_puser(channel);
        handlers.erase(user);
        heard.erase(user);
    }
    return clear(channel);
}
