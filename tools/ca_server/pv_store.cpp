// The PV table, channel names, and writes into PVs through the conversions.
#include <cmath>
#include <cstring>
#include <ctime>

#include "pv_store.h"
#include "pv_table.h"

namespace ca {

namespace {

Pv g_pvs[kMaxPvs];
size_t g_pv_count = 0;

constexpr const char* kRecordNames[] = {"ai", "longin", "stringin", "mbbi", "waveform"};

// Whether a value monitor sees a write that stored next over prev: a
// waveform posts every write; the scalar records post changes only (ai and
// longin with no deadband, stringin, mbbi). For a double a change between
// NaN, infinities and numbers counts, NaN to NaN does not.
bool monitor_sees(const Pv& pv, const Value& prev, const Value& next)
{
    switch (pv.record) {
    case REC_WAVEFORM: return true;
    case REC_AI:
        if (std::isnan(prev.d) || std::isnan(next.d)) return std::isnan(prev.d) != std::isnan(next.d);
        return prev.d != next.d;
    case REC_STRINGIN: return strncmp(prev.s, next.s, kMaxString) != 0;
    default: return prev.i != next.i;
    }
}

// A processed write: time stamp, alarm, and what it posts.
void processed(Pv& pv, uint16_t value_mask)
{
    pv.post_mask = value_mask;
    update_alarm(pv);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    pv.stamp_sec = now.tv_sec;
    pv.stamp_nsec = now.tv_nsec;
}

// Whether avail bytes hold n values of type (the last string may end at
// its NUL, as a client sends a lone string).
bool holds(DbrType type, uint32_t n, size_t avail)
{
    if (n == 0) return true;
    if (type == DBR_STRING) return avail >= size_t(n - 1) * kMaxString + 1;
    return avail >= size_t(n) * dbr_value_size(type);
}

// Value k of n from the wire; a string cut short is widened to 40 bytes.
void wire_value(DbrType type, const uint8_t* wire, size_t avail, uint32_t k, Value& out)
{
    size_t size = dbr_value_size(type);
    size_t at = size_t(k) * size;
    if (type == DBR_STRING && avail - at < kMaxString) {
        uint8_t widened[kMaxString] = {};
        memcpy(widened, wire + at, avail - at);
        decode_value(type, widened, out);
        return;
    }
    decode_value(type, wire + at, out);
}

// Converts n wire values into native elements at out (esize bytes each),
// up to the first that does not convert (false then).
bool convert_values(const Pv& pv, DbrType native, DbrType type, const uint8_t* wire,
                    size_t avail, uint32_t n, uint8_t* out)
{
    ConvertContext ctx = context_of(pv);
    ctx.array = true;
    size_t esize = dbr_value_size(native);
    for (uint32_t k = 0; k < n; ++k) {
        Value in, v;
        wire_value(type, wire, avail, k, in);
        if (!convert(in, native, ctx, v)) return false;
        encode_value(v, out + k * esize);
    }
    return true;
}

EcaStatus write_array(Pv& pv, DbrType type, uint32_t count, const uint8_t* wire, size_t avail)
{
    uint32_t n = count < pv.nelm ? count : pv.nelm;
    if (!holds(type, n, avail)) return ECA_BADCOUNT;
    DbrType native = pv.value.type;
    if (type == native) memcpy(pv.elements, wire, size_t(n) * dbr_value_size(native));
    // As the IOC converts in place: the elements before one that does not
    // convert are written, the current length stays.
    else if (!convert_values(pv, native, type, wire, avail, n, pv.elements)) return ECA_PUTFAIL;
    pv.nord = n;
    processed(pv, DBE_VALUE | DBE_LOG);
    return ECA_NORMAL;
}

// NAME.VAL$: the string field's 40 bytes written as chars, those after the
// written ones left as they were (the last stays NUL).
EcaStatus write_long_string(Pv& pv, DbrType type, uint32_t count, const uint8_t* wire,
                            size_t avail)
{
    uint32_t n = count < kMaxString ? count : uint32_t(kMaxString);
    if (!holds(type, n, avail)) return ECA_BADCOUNT;
    Value next = pv.value;
    if (type == DBR_CHAR) memcpy(next.s, wire, n);
    else if (!convert_values(pv, DBR_CHAR, type, wire, avail, n, reinterpret_cast<uint8_t*>(next.s)))
        return ECA_PUTFAIL;
    next.s[kMaxString - 1] = '\0';
    uint16_t mask = monitor_sees(pv, pv.value, next) ? DBE_VALUE | DBE_LOG : 0;
    pv.value = next;
    processed(pv, mask);
    return ECA_NORMAL;
}

}  // namespace

void pv_clear()
{
    for (size_t k = 0; k < g_pv_count; ++k) delete[] g_pvs[k].elements;
    g_pv_count = 0;
}

bool pv_add(const Pv& pv)
{
    if (g_pv_count == kMaxPvs) return false;
    g_pvs[g_pv_count++] = pv;
    return true;
}

size_t pv_count() { return g_pv_count; }
Pv& pv_at(size_t index) { return g_pvs[index]; }

int find_pv(std::string_view name)
{
    for (size_t k = 0; k < g_pv_count; ++k)
        if (name == g_pvs[k].name) return int(k);
    return -1;
}

int find_channel(std::string_view name, View& view)
{
    view = VIEW_VALUE;
    int k = find_pv(name);
    if (k >= 0) return k;
    constexpr std::string_view kVal = ".VAL", kLongString = ".VAL$";
    if (name.size() > kLongString.size() &&
        name.substr(name.size() - kLongString.size()) == kLongString) {
        k = find_pv(name.substr(0, name.size() - kLongString.size()));
        // Only a string field reads as a char array.
        if (k < 0 || g_pvs[k].record != REC_STRINGIN) return -1;
        view = VIEW_LONG_STRING;
        return k;
    }
    if (name.size() > kVal.size() && name.substr(name.size() - kVal.size()) == kVal)
        return find_pv(name.substr(0, name.size() - kVal.size()));
    return -1;
}

DbrType view_type(const Pv& pv, View view)
{
    return view == VIEW_LONG_STRING ? DBR_CHAR : pv.value.type;
}

uint32_t view_count(const Pv& pv, View view)
{
    return view == VIEW_LONG_STRING ? uint32_t(kMaxString) : pv.nelm;
}

const char* record_name(RecordKind record) { return kRecordNames[record]; }

ConvertContext context_of(const Pv& pv)
{
    ConvertContext ctx;
    DbrType native = pv.value.type;
    // A string record shows floating values it is given with 6 digits.
    ctx.precision = (native == DBR_FLOAT || native == DBR_DOUBLE) ? pv.precision : 6;
    ctx.enum_field = native == DBR_ENUM;
    ctx.states = pv.states;
    return ctx;
}

EcaStatus pv_write(Pv& pv, View view, DbrType type, uint32_t count, const uint8_t* wire,
                   size_t avail)
{
    if (type >= kPlainTypes) return ECA_BADTYPE;
    if (view == VIEW_LONG_STRING) return write_long_string(pv, type, count, wire, avail);
    if (pv.nelm > 1) return write_array(pv, type, count, wire, avail);
    if (count < 1 || !holds(type, 1, avail)) return ECA_BADCOUNT;
    Value in, out;
    wire_value(type, wire, avail, 0, in);
    if (!convert(in, pv.value.type, context_of(pv), out)) return ECA_PUTFAIL;
    // A CHAR field is signed: DBR_CHAR 200 from the wire is stored as -56.
    if (out.type == DBR_CHAR) out.i = int8_t(out.i);
    if (out.type == DBR_STRING) {
        // A string field takes a text as strncpy does (zeros after it), a
        // number's text with its NUL only: the bytes after it stay as they
        // were (NAME.VAL$ shows them).
        Value next = pv.value;
        if (type == DBR_STRING) memset(next.s, 0, kMaxString);
        memcpy(next.s, out.s, strnlen(out.s, kMaxString - 1) + 1);
        out = next;
    }
    uint16_t mask = monitor_sees(pv, pv.value, out) ? DBE_VALUE | DBE_LOG : 0;
    pv.value = out;
    processed(pv, mask);
    return ECA_NORMAL;
}

void pv_count_step(Pv& pv)
{
    Value next = pv.value;
    switch (next.type) {
    case DBR_FLOAT: next.f += 1; break;
    case DBR_DOUBLE: next.d += 1; break;
    case DBR_SHORT: next.i = int16_t(uint16_t(next.i) + 1u); break;
    case DBR_CHAR: next.i = int8_t(uint8_t(next.i) + 1u); break;
    default: next.i = int32_t(uint32_t(next.i) + 1u); break;
    }
    uint16_t mask = monitor_sees(pv, pv.value, next) ? DBE_VALUE | DBE_LOG : 0;
    pv.value = next;
    processed(pv, mask);
}

}  // namespace ca
