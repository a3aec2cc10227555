// The served PVs: their types (normative types from normativeTypes, plain
// structures from the field paths given), start values, puts, and the
// updates posted by the update thread (rate=, putdelay=).
#include "pvs.h"

#include <epicsThread.h>
#include <epicsTime.h>
#include <pv/nt.h>
#include <pv/pvData.h>
#include <pv/status.h>
#include <pva/sharedstate.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <memory>
#include <thread>

namespace pvs {

namespace pvd = epics::pvData;
namespace nt = epics::nt;
using Clock = std::chrono::steady_clock;

namespace {

// An image's frames cycle through this many buffers made at the start, so
// that posting a frame copies nothing: buffer b holds (i + b) % 251 at i.
constexpr size_t kFrameBuffers = 4;
constexpr unsigned kFramePattern = 251;

struct Served {
    PvSpec spec;
    pvas::SharedPV::shared_pointer pv;
    std::vector<pvd::shared_vector<const void>> frames;
    pvd::int32 unique_id = 0;
    Clock::time_point next{};  // rate= PVs: when the update thread posts next
};

// Fixed once serving starts: a handler holds its PV's index.
std::vector<Served> g_served;

struct DelayedPut {
    Clock::time_point due;
    size_t index;
    pvas::Operation op;
};

std::mutex g_mutex;               // guards the three below
std::condition_variable g_wake;
std::vector<DelayedPut> g_delayed;
bool g_stopping = false;
// The update thread is libCom's, like the server's own: libCom keeps a
// record of every thread that asks it for its id, and frees only those of
// the threads it started.
struct Updater : epicsThreadRunable {
    void run() override;
};
Updater g_runner;
std::unique_ptr<epicsThread> g_updater;

// Posts an update.  pvAccess's SharedPV::post fails with bad_weak_ptr when
// a client's subscription is being destroyed at that moment (it takes a
// strong reference to each subscription while it is released): the value
// has been taken by then, and the subscriptions not yet told of it hear of
// it with the next post.
void post(Served& sv, const pvd::PVStructure& value, const pvd::BitSet& changed) {
    try {
        sv.pv->post(value, changed);
    } catch (std::bad_weak_ptr&) {
    }
}

// ---- values from text -------------------------------------------------------

pvd::shared_vector<const std::string> string_vector(const std::vector<std::string>& items)
{
    pvd::shared_vector<std::string> v(items.size());
    for (size_t k = 0; k < items.size(); ++k) v[k] = items[k];
    return pvd::freeze(v);
}

// Sets a scalar or array field from its text (arrays comma-separated);
// pvData converts, and throws on text that is not of the field's type.
void set_text(const pvd::PVFieldPtr& field, const std::string& text)
{
    if (auto scalar = std::dynamic_pointer_cast<pvd::PVScalar>(field)) {
        scalar->putFrom<std::string>(text);
    } else if (auto array = std::dynamic_pointer_cast<pvd::PVScalarArray>(field)) {
        std::vector<std::string> items = split_list(text);
        array->putFrom<std::string>(string_vector(items));
    } else {
        throw std::logic_error("not a scalar or array field");
    }
}

template <typename T>
void set(const pvd::PVStructurePtr& s, const char* path, T value)
{
    if (auto f = s->getSubField<pvd::PVScalar>(path)) f->putFrom<T>(value);
}

void stamp(pvd::PVStructure& s, const char* path, pvd::BitSet* changed)
{
    pvd::PVStructurePtr ts = s.getSubField<pvd::PVStructure>(path);
    if (!ts) return;
    epicsTimeStamp now;
    epicsTimeGetCurrent(&now);
    ts->getSubFieldT<pvd::PVLong>("secondsPastEpoch")->put(pvd::int64(now.secPastEpoch) + POSIX_TIME_AT_EPICS_EPOCH);
    ts->getSubFieldT<pvd::PVInt>("nanoseconds")->put(pvd::int32(now.nsec));
    if (changed) changed->set(ts->getFieldOffset());
}

bool numeric(pvd::ScalarType t) { return t != pvd::pvString && t != pvd::pvBoolean; }

// ---- types ------------------------------------------------------------------

// Adds the fields under prefix ("" or "a.b.") in the order their names first
// appear, nesting a structure for each path step.
pvd::FieldBuilderPtr add_fields(pvd::FieldBuilderPtr b, const std::vector<FieldSpec>& fields,
                                const std::string& prefix)
{
    std::vector<std::string> done;
    for (const FieldSpec& f : fields) {
        if (f.path.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rest = f.path.substr(prefix.size());
        size_t dot = rest.find('.');
        std::string head = rest.substr(0, dot);
        bool seen = false;
        for (const std::string& d : done) seen = seen || d == head;
        if (seen) continue;
        done.push_back(head);
        if (dot != std::string::npos) {
            b = add_fields(b->addNestedStructure(head), fields, prefix + head + ".")->endNested();
        } else if (f.array) {
            b = b->addArray(head, f.type);
        } else {
            b = b->add(head, f.type);
        }
    }
    return b;
}

template <typename T>
pvd::shared_vector<const void> make_frame(size_t count, size_t buffer)
{
    pvd::shared_vector<T> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = T((i + buffer) % kFramePattern);
    return pvd::static_shared_vector_cast<const void>(pvd::freeze(v));
}

pvd::shared_vector<const void> make_frame(pvd::ScalarType type, size_t count, size_t buffer)
{
    switch (type) {
    case pvd::pvByte: return make_frame<pvd::int8>(count, buffer);
    case pvd::pvUByte: return make_frame<pvd::uint8>(count, buffer);
    case pvd::pvShort: return make_frame<pvd::int16>(count, buffer);
    case pvd::pvUShort: return make_frame<pvd::uint16>(count, buffer);
    case pvd::pvInt: return make_frame<pvd::int32>(count, buffer);
    case pvd::pvUInt: return make_frame<pvd::uint32>(count, buffer);
    case pvd::pvLong: return make_frame<pvd::int64>(count, buffer);
    case pvd::pvULong: return make_frame<pvd::uint64>(count, buffer);
    case pvd::pvFloat: return make_frame<float>(count, buffer);
    case pvd::pvDouble: return make_frame<double>(count, buffer);
    default: throw std::logic_error("an image's type is numeric");
    }
}

void add_attribute(pvd::PVStructureArray::svector& out, const pvd::StructureConstPtr& type,
                   const char* name, const pvd::PVScalarPtr& value, const char* what)
{
    pvd::PVStructurePtr a = pvd::getPVDataCreate()->createPVStructure(type);
    a->getSubFieldT<pvd::PVString>("name")->put(name);
    a->getSubFieldT<pvd::PVUnion>("value")->set(value);
    a->getSubFieldT<pvd::PVString>("descriptor")->put(what);
    a->getSubFieldT<pvd::PVString>("source")->put("pva_server");
    out.push_back(a);
}

// What an image's frames have in common: codec, sizes, dimensions, attributes.
void describe_image(const PvSpec& spec, const pvd::PVStructurePtr& s)
{
    size_t count = 1;
    for (size_t d : spec.dims) count *= d;
    pvd::int64 bytes = pvd::int64(count * pvd::ScalarTypeFunc::elementSize(spec.type));
    set(s, "codec.name", spec.codec);
    set(s, "compressedSize", bytes);
    set(s, "uncompressedSize", bytes);

    pvd::PVStructureArrayPtr dims = s->getSubFieldT<pvd::PVStructureArray>("dimension");
    pvd::PVStructureArray::svector dv;
    for (size_t d : spec.dims) {
        pvd::PVStructurePtr e = pvd::getPVDataCreate()->createPVStructure(dims->getStructureArray()->getStructure());
        set(e, "size", pvd::int32(d));
        set(e, "fullSize", pvd::int32(d));
        set(e, "binning", pvd::int32(1));
        dv.push_back(e);
    }
    dims->replace(pvd::freeze(dv));

    pvd::PVStructureArrayPtr attrs = s->getSubFieldT<pvd::PVStructureArray>("attribute");
    pvd::StructureConstPtr atype = attrs->getStructureArray()->getStructure();
    pvd::PVDataCreatePtr create = pvd::getPVDataCreate();
    pvd::PVStructureArray::svector av;
    pvd::PVScalarPtr mode = create->createPVScalar(pvd::pvInt);
    mode->putFrom<pvd::int32>(0);
    add_attribute(av, atype, "ColorMode", mode, "0: monochrome");
    pvd::PVScalarPtr rate = create->createPVScalar(pvd::pvDouble);
    rate->putFrom<double>(spec.rate_hz > 0 ? spec.rate_hz : 0.0);
    add_attribute(av, atype, "FrameRate", rate, "frames a second posted (0: on demand or flat out)");
    pvd::PVScalarPtr source = create->createPVScalar(pvd::pvString);
    source->putFrom<std::string>(spec.name);
    add_attribute(av, atype, "Source", source, "the PV serving these frames");
    attrs->replace(pvd::freeze(av));
}

// The next frame of an image into s: value, uniqueId and both time stamps.
void next_frame(Served& sv, pvd::PVStructure& s, pvd::BitSet& changed)
{
    ++sv.unique_id;
    pvd::PVUnionPtr u = s.getSubFieldT<pvd::PVUnion>("value");
    std::string member = std::string(pvd::ScalarTypeFunc::name(sv.spec.type)) + "Value";
    u->select<pvd::PVScalarArray>(member)->putFrom<void>(sv.frames[size_t(sv.unique_id) % kFrameBuffers]);
    changed.set(u->getFieldOffset());
    pvd::PVIntPtr id = s.getSubFieldT<pvd::PVInt>("uniqueId");
    id->put(sv.unique_id);
    changed.set(id->getFieldOffset());
    stamp(s, "dataTimeStamp", &changed);
    stamp(s, "timeStamp", &changed);
}

pvd::PVStructurePtr start_value(Served& sv)
{
    const PvSpec& spec = sv.spec;
    pvd::PVStructurePtr s;
    switch (spec.kind) {
    case Kind::Scalar: {
        auto b = nt::NTScalar::createBuilder()->value(spec.type)->addDescriptor()->addAlarm()->addTimeStamp()->addDisplay();
        if (numeric(spec.type)) b->addControl();
        s = b->createPVStructure();
        break;
    }
    case Kind::Array: {
        auto b = nt::NTScalarArray::createBuilder()->value(spec.type)->addDescriptor()->addAlarm()->addTimeStamp()->addDisplay();
        if (numeric(spec.type)) b->addControl();
        s = b->createPVStructure();
        break;
    }
    case Kind::Enum: {
        s = nt::NTEnum::createBuilder()->addDescriptor()->addAlarm()->addTimeStamp()->createPVStructure();
        s->getSubFieldT<pvd::PVStringArray>("value.choices")->replace(string_vector(spec.choices));
        set_text(s->getSubFieldT("value.index"), spec.value);
        break;
    }
    case Kind::Table: {
        auto b = nt::NTTable::createBuilder();
        for (const FieldSpec& c : spec.fields) b->addColumn(c.path, c.type);
        s = b->addDescriptor()->addAlarm()->addTimeStamp()->createPVStructure();
        pvd::shared_vector<std::string> labels;
        for (const FieldSpec& c : spec.fields) {
            labels.push_back(c.path);
            set_text(s->getSubFieldT("value." + c.path), c.value);
        }
        s->getSubFieldT<pvd::PVStringArray>("labels")->replace(pvd::freeze(labels));
        break;
    }
    case Kind::Struct: {
        s = pvd::getPVDataCreate()->createPVStructure(
            add_fields(pvd::getFieldCreate()->createFieldBuilder(), spec.fields, "")->createStructure());
        for (const FieldSpec& f : spec.fields) set_text(s->getSubFieldT(f.path), f.value);
        break;
    }
    case Kind::Image: {
        s = nt::NTNDArray::createBuilder()->addDescriptor()->addAlarm()->addTimeStamp()->addDisplay()->createPVStructure();
        size_t count = 1;
        for (size_t d : spec.dims) count *= d;
        for (size_t b = 0; b < kFrameBuffers; ++b) sv.frames.push_back(make_frame(spec.type, count, b));
        describe_image(spec, s);
        pvd::BitSet ignored;
        next_frame(sv, *s, ignored);
        break;
    }
    }
    if (spec.kind == Kind::Scalar || spec.kind == Kind::Array) {
        set_text(s->getSubFieldT("value"), spec.value);
        set(s, "display.units", spec.units);
        set(s, "display.description", spec.description);
        set(s, "display.format", spec.format);
        if (spec.has_limits) {
            set(s, "display.limitLow", spec.low);
            set(s, "display.limitHigh", spec.high);
            set(s, "control.limitLow", spec.low);
            set(s, "control.limitHigh", spec.high);
        }
        set(s, "control.minStep", spec.step);
        set(s, "alarm.severity", pvd::int32(spec.severity));
        set(s, "alarm.status", pvd::int32(spec.status));
        set(s, "alarm.message", spec.message);
    }
    set(s, "descriptor", spec.description);
    stamp(*s, "timeStamp", nullptr);
    return s;
}

// ---- puts -------------------------------------------------------------------

// The PV's value with the put's fields laid over it, checked; false with the
// reason when the PV would not take it.
bool put_value(Served& sv, const pvas::Operation& op, pvd::PVStructurePtr& out,
               pvd::BitSet& changed, std::string& why)
{
    out = sv.pv->build();
    pvd::BitSet valid;
    sv.pv->fetch(*out, valid);
    changed = op.changed();
    for (pvd::int32 bit = changed.nextSetBit(0); bit >= 0; bit = changed.nextSetBit(bit + 1)) {
        if (bit == 0)
            out->copyUnchecked(op.value());
        else
            out->getSubFieldT(size_t(bit))->copyUnchecked(*op.value().getSubFieldT(size_t(bit)));
    }
    if (sv.spec.kind == Kind::Enum) {
        pvd::int32 index = out->getSubFieldT<pvd::PVInt>("value.index")->get();
        size_t n = out->getSubFieldT<pvd::PVStringArray>("value.choices")->view().size();
        if (index < 0 || size_t(index) >= n) {
            why = sv.spec.name + ": index " + std::to_string(index) + " is not one of the " +
                  std::to_string(n) + " choices";
            return false;
        }
    }
    stamp(*out, "timeStamp", &changed);
    return true;
}

// Applies a put and completes it.
void finish_put(Served& sv, pvas::Operation& op)
{
    pvd::PVStructurePtr value;
    pvd::BitSet changed;
    std::string why;
    try {
        if (!put_value(sv, op, value, changed, why)) {
            op.complete(pvd::Status::error(why));
            return;
        }
        post(sv, *value, changed);
    } catch (std::exception& e) {
        op.complete(pvd::Status::error(sv.spec.name + ": put failed: " + e.what()));
        return;
    }
    op.complete();
}

struct PutHandler : pvas::SharedPV::Handler {
    size_t index;
    explicit PutHandler(size_t i) : index(i) {}

    void onPut(const pvas::SharedPV::shared_pointer&, pvas::Operation& op) override
    {
        Served& sv = g_served[index];
        if (sv.spec.readonly) {
            op.complete(pvd::Status::error(sv.spec.name + " is read-only: it refuses puts"));
            return;
        }
        if (sv.spec.put_delay_ms <= 0) {
            finish_put(sv, op);
            return;
        }
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_stopping) {
            op.complete(pvd::Status::error(sv.spec.name + ": the server is stopping"));
            return;
        }
        g_delayed.push_back({Clock::now() + std::chrono::milliseconds(sv.spec.put_delay_ms), index, op});
        g_wake.notify_one();
    }
};

// ---- the update thread ------------------------------------------------------

void post_update(Served& sv)
{
    pvd::PVStructurePtr s = sv.pv->build();
    pvd::BitSet changed;
    if (sv.spec.kind == Kind::Image) {
        next_frame(sv, *s, changed);
    } else {
        pvd::BitSet valid;
        sv.pv->fetch(*s, valid);
        pvd::PVScalarPtr v = s->getSubFieldT<pvd::PVScalar>("value");
        v->putFrom<double>(v->getAs<double>() + 1);
        changed.set(v->getFieldOffset());
        stamp(*s, "timeStamp", &changed);
    }
    post(sv, *s, changed);
}

void run_updates()
{
    Clock::time_point start = Clock::now();
    for (Served& sv : g_served) sv.next = start;
    std::unique_lock<std::mutex> lock(g_mutex);
    while (!g_stopping) {
        Clock::time_point now = Clock::now();
        Clock::time_point wake = now + std::chrono::seconds(1);
        std::vector<DelayedPut> due;
        for (size_t k = 0; k < g_delayed.size();) {
            if (g_delayed[k].due <= now) {
                due.push_back(std::move(g_delayed[k]));
                g_delayed.erase(g_delayed.begin() + long(k));
            } else {
                if (g_delayed[k].due < wake) wake = g_delayed[k].due;
                ++k;
            }
        }
        // pvAccess calls are made with no lock of ours held.
        lock.unlock();
        for (DelayedPut& d : due) finish_put(g_served[d.index], d.op);
        for (Served& sv : g_served) {
            if (sv.spec.rate_hz == 0) continue;
            if (sv.next <= now) {
                post_update(sv);
                if (sv.spec.rate_hz > 0) {
                    auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / sv.spec.rate_hz));
                    sv.next += period;
                    if (sv.next < now) sv.next = now + period;  // fell behind: no burst to catch up
                }
            }
            if (sv.next < wake) wake = sv.next;
        }
        lock.lock();
        if (!g_stopping && wake > Clock::now()) g_wake.wait_until(lock, wake);
        else if (!g_stopping) {
            lock.unlock();
            std::this_thread::yield();  // rate=max: let the network threads run
            lock.lock();
        }
    }
    std::vector<DelayedPut> left;
    left.swap(g_delayed);
    lock.unlock();
    for (DelayedPut& d : left)
        d.op.complete(pvd::Status::error(g_served[d.index].spec.name + ": the server is stopping"));
}

}  // namespace

bool serve_pvs(const std::vector<PvSpec>& specs, pvas::StaticProvider& provider, char* err, size_t errlen)
{
    g_served.clear();
    g_served.reserve(specs.size());
    for (const PvSpec& spec : specs) {
        g_served.emplace_back();
        Served& sv = g_served.back();
        sv.spec = spec;
        pvd::PVStructurePtr value;
        try {
            value = start_value(sv);
        } catch (std::exception& e) {
            snprintf(err, errlen, "%s: %s: bad start value: %s", spec.where.c_str(), spec.name.c_str(), e.what());
            return false;
        }
        sv.pv = pvas::SharedPV::build(std::make_shared<PutHandler>(g_served.size() - 1));
        sv.pv->open(*value);
        provider.add(spec.name, sv.pv);
    }
    return true;
}

void Updater::run() { run_updates(); }

void start_updates()
{
    g_stopping = false;
    g_updater.reset(new epicsThread(g_runner, "pva_server updates", epicsThreadGetStackSize(epicsThreadStackMedium)));
    g_updater->start();
}

void stop_updates()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stopping = true;
        g_wake.notify_one();
    }
    if (g_updater) {
        g_updater->exitWait();
        g_updater.reset();
    }
}

}  // namespace pvs
