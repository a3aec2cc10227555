// PV Access channels, gets, puts and subscriptions over pvAccess's client.
//
// Each operation is a record of ours that is also the library's callback
// object: the callback copies what arrived (a reference to the library's
// structure, which it never changes afterwards) into the record under the
// callback lock and wakes the commands waiting; the interpreter's thread
// reads it there and makes the Tcl value.  Cancelling an operation waits
// for a callback in progress, so it is always done without the lock.
#include "pva.h"
#include "values.h"
#include "../core/lock.h"
#include "../core/text.h"

#include <pv/clientFactory.h>
#include <pv/createRequest.h>
#include <pva/client.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace tessaly {
namespace pva {
namespace {

namespace pvd = epics::pvData;

pvac::ClientProvider* provider = nullptr;  // made at the first pva:// name

}  // namespace

// ---- channels --------------------------------------------------------------------------

}  // namespace pva

struct PvaLink final : pvac::ClientChannel::ConnectCallback {
    Channel* channel = nullptr;
    std::string name;    // without the scheme
    std::string label;   // "pva://NAME"
    pvac::ClientChannel client;
    // Under the callback lock:
    std::string peer;
    std::string typeId;

    void connectEvent(const pvac::ConnectEvent& event) override {
        {
            Held hold(callbackLock());
            peer = event.connected ? event.peerName : std::string();
        }
        noteLink(channel, event.connected);
        Held hold(callbackLock());
        answerArrived().notify_all();
    }
};

namespace pva {
namespace {

std::unordered_set<PvaLink*> links;  // on the interpreter's thread

pvd::PVStructure::const_shared_pointer requestOf(const std::string& text) {
    if (text.empty()) return pvd::PVStructure::const_shared_pointer();
    try {
        return pvd::createRequest(text);
    } catch (std::exception& failure) {
        throw std::runtime_error("bad -request \"" + text + "\": " + failure.what());
    }
}

}  // namespace

bool available(std::string& why) {
    if (provider != nullptr) return true;
    try {
        epics::pvAccess::ClientFactory::start();
        provider = new pvac::ClientProvider("pva");
        return true;
    } catch (std::exception& failure) {
        why = std::string("PV Access could not start: ") + failure.what();
        return false;
    }
}

bool open(Channel& channel, std::string_view name, std::string& why) {
    if (!available(why)) return false;
    auto link = std::make_unique<PvaLink>();
    link->channel = &channel;
    link->name.assign(name.data(), name.size());
    link->label = std::string(kScheme) + link->name;
    try {
        checkUnlocked("pvac::ClientChannel");
        link->client = provider->connect(link->name);
    } catch (std::exception& failure) {
        why = failure.what();
        return false;
    }
    channel.protocol = Protocol::Pva;
    channel.pva = link.get();
    channel.link = Link::Connecting;
    link->client.addConnectListener(link.get());
    links.insert(link.get());
    link.release();
    return true;
}

void close(Channel& channel) {
    PvaLink* link = channel.pva;
    if (link == nullptr) return;
    checkUnlocked("pvac::ClientChannel::removeConnectListener");
    try {
        link->client.removeConnectListener(link);
    } catch (std::exception&) {
    }
    link->client.reset();
    provider->disconnect(link->name);  // out of the library's cache of channels
    links.erase(link);
    channel.pva = nullptr;
    delete link;
}

const char* label(const Channel& channel) { return channel.pva != nullptr ? channel.pva->label.c_str() : ""; }

std::string peer(const Channel& channel) {
    Held hold(callbackLock());
    return channel.pva != nullptr ? channel.pva->peer : std::string();
}

std::string typeId(const Channel& channel) {
    Held hold(callbackLock());
    return channel.pva != nullptr ? channel.pva->typeId : std::string();
}

// ---- gets -------------------------------------------------------------------------------

struct Get final : pvac::ClientChannel::GetCallback, pvac::ClientChannel::InfoCallback {
    PvaLink* link = nullptr;
    pvac::Operation operation;
    // Under the callback lock:
    bool done = false;
    bool ok = false;
    std::string message;
    pvd::PVStructure::const_shared_pointer value;
    pvd::BitSet::const_shared_pointer valid;
    pvd::FieldConstPtr type;

    void infoDone(const pvac::InfoEvent& event) override {
        Held hold(callbackLock());
        if (done) return;
        done = true;
        ok = event.event == pvac::InfoEvent::Success && event.type;
        message = event.event == pvac::InfoEvent::Cancel ? "cancelled" : event.message;
        type = event.type;
        answerArrived().notify_all();
    }

    void getDone(const pvac::GetEvent& event) override {
        Held hold(callbackLock());
        if (done) return;
        done = true;
        ok = event.event == pvac::GetEvent::Success && event.value;
        message = event.event == pvac::GetEvent::Cancel ? "cancelled" : event.message;
        value = event.value;
        valid = event.valid;
        if (ok) link->typeId = value->getStructure()->getID();
        answerArrived().notify_all();
    }
};

Get* startGet(Channel& channel, const std::string& request) {
    auto* get = new Get;
    get->link = channel.pva;
    try {
        pvd::PVStructure::const_shared_pointer pvRequest = requestOf(request);
        checkUnlocked("pvac::ClientChannel::get");
        get->operation = channel.pva->client.get(static_cast<pvac::ClientChannel::GetCallback*>(get), pvRequest);
    } catch (std::exception& failure) {
        Held hold(callbackLock());
        get->done = true;
        get->message = failure.what();
    }
    return get;
}

namespace {

template <typename Op>
std::vector<std::size_t> awaitAll(const std::vector<Op*>& ops, std::chrono::steady_clock::time_point deadline) {
    std::vector<std::size_t> late;
    HeldUnique hold(callbackLock());
    for (;;) {
        late.clear();
        for (std::size_t i = 0; i < ops.size(); ++i)
            if (!ops[i]->done) late.push_back(i);
        if (late.empty()) return late;
        if (answerArrived().wait_until(hold, deadline) == std::cv_status::timeout) {
            late.clear();
            for (std::size_t i = 0; i < ops.size(); ++i)
                if (!ops[i]->done) late.push_back(i);
            return late;
        }
    }
}

}  // namespace

std::vector<std::size_t> awaitGets(const std::vector<Get*>& gets, std::chrono::steady_clock::time_point deadline) {
    return awaitAll(gets, deadline);
}

Tcl_Obj* getValue(Get* get, const Form& form, std::string& why) {
    pvd::PVStructure::const_shared_pointer value;
    pvd::BitSet::const_shared_pointer valid;
    {
        Held hold(callbackLock());
        if (!get->ok) {
            why = get->message.empty() ? "the server sent no value" : get->message;
            return nullptr;
        }
        value = get->value;
        valid = get->valid;
    }
    return readValue(*value, form, valid.get());
}

Get* startInfo(Channel& channel) {
    auto* get = new Get;
    get->link = channel.pva;
    try {
        checkUnlocked("pvac::ClientChannel::info");
        get->operation = channel.pva->client.info(static_cast<pvac::ClientChannel::InfoCallback*>(get));
    } catch (std::exception& failure) {
        Held hold(callbackLock());
        get->done = true;
        get->message = failure.what();
    }
    return get;
}

Tcl_Obj* typeOf(Get* get) {
    pvd::FieldConstPtr type;
    {
        Held hold(callbackLock());
        type = get->type;
        if (!type && get->value) type = get->value->getStructure();
    }
    if (!type || type->getType() != pvd::structure) return nullptr;
    return typeDict(std::tr1::static_pointer_cast<const pvd::Structure>(type));
}

void endGet(Get* get) {
    checkUnlocked("pvac::Operation::cancel");
    get->operation.cancel();
    delete get;
}

// ---- puts -------------------------------------------------------------------------------

struct Put final : pvac::ClientChannel::PutCallback {
    std::string asked;                  // the field the request names
    std::string field;                  // the path written (an enum's: its index)
    pvd::PVStructurePtr planned;        // the shape, with the value filled in
    pvac::Operation operation;
    bool sent = false;
    void (*ended)(Put*) = nullptr;
    // Under the callback lock:
    bool done = false;
    std::string failure;

    void putBuild(const pvd::StructureConstPtr& build, Args& args) override {
        pvd::PVStructurePtr root(pvd::getPVDataCreate()->createPVStructure(build));
        pvd::PVFieldPtr target = root->getSubField(field);
        pvd::PVFieldPtr ours = planned->getSubField(field);
        if (!target || !ours) throw std::runtime_error("the server's put structure has no field " + field);
        target->copy(*ours);
        args.root = root;
        args.tosend.set(target->getFieldOffset());
    }

    void putDone(const pvac::PutEvent& event) override {
        {
            Held hold(callbackLock());
            if (done) return;
            done = true;
            if (event.event != pvac::PutEvent::Success)
                failure = event.event == pvac::PutEvent::Cancel ? "cancelled"
                          : event.message.empty()              ? "the put failed"
                                                               : event.message;
            answerArrived().notify_all();
        }
        if (ended != nullptr && event.event != pvac::PutEvent::Cancel) ended(this);
    }
};

Put* planPut(Get* shape, const std::string& field, Tcl_Obj* value, bool text, std::string& why) {
    pvd::PVStructure::const_shared_pointer current;
    {
        Held hold(callbackLock());
        current = shape->value;
    }
    std::string path = field.empty() ? "value" : field;
    if (!current) {
        why = "the server sent no structure";
        return nullptr;
    }
    pvd::PVStructurePtr planned(pvd::getPVDataCreate()->createPVStructure(current->getStructure()));
    planned->copyUnchecked(*current);
    pvd::PVFieldPtr target = planned->getSubField(path);
    if (!target) {
        why = "it has no field \"" + path + "\"";
        return nullptr;
    }
    if (!fillField(*target, value, text, why)) return nullptr;
    auto* put = new Put;
    put->asked = path;
    // An enum is written through its index alone: servers take a change of
    // the index, not of the whole structure.
    bool isEnum = target->getField()->getType() == pvd::structure &&
                  planned->getSubField<pvd::PVInt>(path + ".index") &&
                  planned->getSubField<pvd::PVStringArray>(path + ".choices");
    put->field = isEnum ? path + ".index" : path;
    put->planned = planned;
    return put;
}

bool putEnded(Put* put) {
    Held hold(callbackLock());
    return put->done;
}

void sendPut(Channel& channel, Put* put, const std::string& request, bool block, void (*ended)(Put*)) {
    put->ended = ended;
    std::string text = request.empty() ? "field(" + put->asked + ")" : request;
    if (block) {
        std::size_t record = text.find("record[");
        if (record == std::string::npos) text = "record[block=true]" + text;
        else text.insert(record + 7, "block=true,");
    }
    put->sent = true;
    try {
        pvd::PVStructure::const_shared_pointer pvRequest = requestOf(text);
        checkUnlocked("pvac::ClientChannel::put");
        put->operation = channel.pva->client.put(put, pvRequest);
    } catch (std::exception& failure) {
        Held hold(callbackLock());
        put->done = true;
        put->failure = failure.what();
    }
}

std::vector<std::size_t> awaitPuts(const std::vector<Put*>& puts, std::chrono::steady_clock::time_point deadline) {
    return awaitAll(puts, deadline);
}

std::string putFailure(Put* put) {
    Held hold(callbackLock());
    return put->failure;
}

namespace {

// Puts nobody waits for: they still go, and are freed once ended (their
// operation must live until then, or the library cancels them).
std::vector<Put*> unattended;

void reapUnattended() {
    std::vector<Put*> ended;
    {
        Held hold(callbackLock());
        for (std::size_t i = 0; i < unattended.size();) {
            if (unattended[i]->done) {
                ended.push_back(unattended[i]);
                unattended[i] = unattended.back();
                unattended.pop_back();
            } else {
                ++i;
            }
        }
    }
    for (Put* put : ended) {
        put->operation.cancel();
        delete put;
    }
}

}  // namespace

void endPut(Put* put, bool waitedFor) {
    reapUnattended();
    if (waitedFor || !put->sent) {
        checkUnlocked("pvac::Operation::cancel");
        put->operation.cancel();
        delete put;
        return;
    }
    Held hold(callbackLock());
    unattended.push_back(put);
}

// ---- subscriptions --------------------------------------------------------------------------

// The library's callback takes each update as it comes, on the library's
// receiving thread between two messages: it drains the subscription's queue
// (each element goes back to the library at once), copies the newest into
// `pending` and wakes the interpreter's thread, which takes `pending` and
// makes the Tcl value.  Polling from the interpreter's thread instead made
// it wait for the library's lock, which the receiving thread holds for each
// whole message: behind a stream of large frames, for many frames.
//
// A large image's callback then waits until the Tcl value has been made
// (kHoldBack at most): the library's thread reads no more meanwhile, and
// TCP holds the server back, so frames that would only be replaced cost
// neither this process nor the server their work (the server keeps the
// newest for when there is room), and the library's buffer, which the Tcl
// value is made from, is never copied by the library to take the next
// frame.  The wait is bounded, so that other answers of the same server are
// never held up for longer; when it runs out (a busy script), the callback
// waits no more until the script has had an update, and takes every frame
// as it comes, so that the newest is the one waiting when the script is
// free, not those the server had queued.
//
// An image's pixel array is let go of wherever it is not needed (pvac's
// copy of the update once `pending` has it, `pending` once the Tcl value
// has been made), so that the library's own buffer has no other owner when
// the next frame comes and takes it in place: a frame costs one copy, into
// a byte array the monitor reuses while no script holds it.
constexpr auto kHoldBack = std::chrono::milliseconds(100);
// Only frames this large are held back: smaller ones would wait in TCP's
// buffers, several of them, and reach the script one by one when it is
// free, not the newest first.  A large frame already on its way when the
// script was busy still comes before the newest.
constexpr std::size_t kLargeFrame = 1 << 20;

struct Watch final : pvac::ClientChannel::MonitorCallback {
    pvac::Monitor monitor;
    void (*arrived)(void*) = nullptr;
    void* tag = nullptr;
    std::mutex polling;  // one poll at a time, and `monitor` set
    std::condition_variable taken;
    bool live = false;     // under `polling`
    bool unread = false;   // under `polling`: the script has not had `pending`
    bool behind = false;   // under `polling`: a hold-back ran out, the script is busy
    // Under the callback lock:
    pvd::PVStructurePtr pending;  // the newest update, whole
    bool hasPending = false;
    bool pixelsFresh = false;     // an update since the last taken changed the pixels
    uint64_t skipped = 0;
    // On the interpreter's thread:
    pvd::PVStructurePtr delivering;
    Pixels pixels;

    void monitorEvent(const pvac::MonitorEvent& event) override {
        // Failures and disconnects carry no value: the connection scripts
        // tell of the latter, and a subscription starts again by itself
        // when its channel comes back.
        if (event.event == pvac::MonitorEvent::Data) drain(true);
    }

    // Takes every update queued; the newest becomes `pending`.
    void drain(bool holdBack) {
        std::unique_lock<std::mutex> hold(polling);
        if (!live) return;
        bool any = false, image = false, fresh = false, large = false;
        uint64_t extra = 0;
        while (monitor.poll()) {
            if (any) ++extra;
            any = true;
            if (!monitor.overrun.isEmpty()) ++extra;
            const pvd::PVField* field = pixelField(*monitor.root);
            image = field != nullptr;
            if (image) fresh = fresh || changedWithin(*field);
        }
        if (!any) return;
        const pvd::PVStructure& root = *monitor.root;
        {
            Held held(callbackLock());
            if (!pending || pending->getStructure() != root.getStructure())
                pending = pvd::getPVDataCreate()->createPVStructure(root.getStructure());
            // Unchanged pixels were let go of in root: pending keeps its own,
            // or the byte array made from them stays.
            if (image && !fresh) pending->copyUnchecked(root, pixelMask(root), true);
            else pending->copyUnchecked(root);
            if (hasPending) ++skipped;
            skipped += extra;
            hasPending = true;
            pixelsFresh = pixelsFresh || !image || fresh;
        }
        unread = true;
        if (image) large = dropPixels(root) >= kLargeFrame;
        hold.unlock();
        arrived(tag);
        if (!large || !holdBack) return;
        hold.lock();
        if (!behind && !taken.wait_for(hold, kHoldBack, [this] { return !live || !unread; })) behind = true;
    }

    // Whether the last update changed `field` (or a field holding it).
    bool changedWithin(const pvd::PVField& field) const {
        for (const pvd::PVField* at = &field; at != nullptr; at = at->getParent())
            if (monitor.changed.get(static_cast<uint32_t>(at->getFieldOffset()))) return true;
        pvd::int32 bit = monitor.changed.nextSetBit(static_cast<uint32_t>(field.getFieldOffset()));
        return bit >= 0 && static_cast<std::size_t>(bit) < field.getNextFieldOffset();
    }

    static pvd::BitSet pixelMask(const pvd::PVStructure& root) {
        pvd::BitSet mask;
        if (const pvd::PVField* field = pixelField(root))
            for (std::size_t bit = field->getFieldOffset(); bit < field->getNextFieldOffset(); ++bit)
                mask.set(static_cast<uint32_t>(bit));
        return mask;
    }
};

Watch* subscribe(Channel& channel, const std::string& request, void (*arrived)(void*), void* tag, std::string& why) {
    auto* watch = new Watch;
    watch->arrived = arrived;
    watch->tag = tag;
    try {
        // Two updates queued at most: memory stays bounded by two values
        // however slowly the script takes them.
        pvd::PVStructure::const_shared_pointer pvRequest =
            requestOf(request.empty() ? std::string("record[queueSize=2]field()") : request);
        checkUnlocked("pvac::ClientChannel::monitor");
        pvac::Monitor monitor = channel.pva->client.monitor(watch, pvRequest);
        std::lock_guard<std::mutex> hold(watch->polling);
        watch->monitor = monitor;
        watch->live = true;
    } catch (std::exception& failure) {
        why = failure.what();
        delete watch;
        return nullptr;
    }
    // An update that came before the monitor was ours waits in its queue.
    checkUnlocked("pvac::Monitor::poll");
    watch->drain(false);
    return watch;
}

Tcl_Obj* takeNewest(Watch* watch, const Form& form, uint64_t& skipped) {
    Tcl_Obj* value = nullptr;
    {
        Held hold(callbackLock());
        skipped += watch->skipped;
        watch->skipped = 0;
        if (watch->hasPending) {
            watch->hasPending = false;
            watch->pending.swap(watch->delivering);
            watch->pixels.fresh = watch->pixelsFresh;
            watch->pixelsFresh = false;
        }
    }
    if (watch->delivering) {
        value = readValue(*watch->delivering, form, nullptr, &watch->pixels);
        dropPixels(*watch->delivering);
    }
    {
        std::lock_guard<std::mutex> hold(watch->polling);
        watch->unread = false;
        watch->behind = false;
    }
    watch->taken.notify_all();
    return value;
}

void unsubscribe(Watch* watch) {
    checkUnlocked("pvac::Monitor::cancel");
    {
        std::lock_guard<std::mutex> hold(watch->polling);
        watch->live = false;
    }
    watch->taken.notify_all();
    watch->monitor.cancel();
    if (watch->pixels.bytes != nullptr) Tcl_DecrRefCount(watch->pixels.bytes);
    delete watch;
}

void shutdown() {
    for (Put* put : unattended) {
        put->operation.cancel();
        delete put;
    }
    unattended.clear();
    while (!links.empty()) close(*(*links.begin())->channel);
    // The provider stays: its threads end with the process.
}

}  // namespace pva
}  // namespace tessaly
