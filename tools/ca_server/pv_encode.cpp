// DBR structures of a PV: the shape of a read answer (what an IOC of
// protocol 4.13 answers for a count), its elements, and the metadata of the
// STS_, TIME_, GR_ and CTRL_ forms as the IOC's database access fills them.
#include <cmath>
#include <cstring>
#include <limits>

#include "pv_store.h"

namespace ca {

namespace {

// An array's elements in wire form (a NAME.VAL$ view: the string's bytes);
// null for a one-element PV.
const uint8_t* wire_elements(const Pv& pv, View view)
{
    if (view == VIEW_LONG_STRING) return reinterpret_cast<const uint8_t*>(pv.value.s);
    return pv.elements;
}

// The first n elements converted to type into values; false when one does
// not convert. Same types are copied in bulk.
bool encode_elements(const Pv& pv, View view, DbrType type, uint32_t n, uint8_t* values)
{
    if (n == 0) return true;
    ConvertContext ctx = context_of(pv);
    const uint8_t* wire = wire_elements(pv, view);
    Value v;
    if (!wire) {
        if (!convert(pv.value, type, ctx, v)) return false;
        encode_value(v, values);
        return true;
    }
    DbrType native = view_type(pv, view);
    size_t esize = dbr_value_size(native), vsize = dbr_value_size(type);
    if (type == native) {
        memcpy(values, wire, size_t(n) * esize);
        return true;
    }
    for (uint32_t k = 0; k < n; ++k) {
        Value element;
        decode_value(native, wire + k * esize, element);
        // A CHAR field is signed.
        if (native == DBR_CHAR) element.i = int8_t(element.i);
        if (!convert(element, type, ctx, v)) return false;
        encode_value(v, values + k * vsize);
    }
    return true;
}

// One limit in the form of the requested type: the database hands the
// limits over as 32-bit integers (alarm limits that are not finite as 0)
// or doubles, narrowed as db_access.c does.
void put_limit(DbrType type, double v, bool alarm, uint8_t* p)
{
    Value out;
    out.type = type;
    int32_t whole = alarm && !std::isfinite(v) ? 0 : to_int32(v);
    switch (type) {
    case DBR_SHORT: out.i = int16_t(whole); break;
    case DBR_CHAR: out.i = uint8_t(whole); break;
    case DBR_LONG: out.i = whole; break;
    case DBR_FLOAT: out.f = to_float(v); break;
    default: out.d = v; break;
    }
    encode_value(out, p);
}

// GR_ and CTRL_ fields: precision, units, and the display, alarm, warning
// and control limits of the records that have them (ai, longin and
// waveform: the control limits are the display limits, HOPR and LOPR).
void put_graphics(const Pv& pv, const DbrLayout& layout, uint8_t* out)
{
    DbrType type = layout.value_type;
    if (type == DBR_STRING) return;
    ConvertContext ctx = context_of(pv);
    if (type == DBR_ENUM) {
        unsigned n = enum_state_count(ctx);
        put16(out + 4, uint16_t(n));
        for (unsigned k = 0; k < n; ++k) memcpy(out + 6 + k * kMaxEnumString, pv.states[k], kMaxEnumString);
        return;
    }
    bool floating = type == DBR_FLOAT || type == DBR_DOUBLE;
    DbrType native = pv.value.type;
    if (floating) put16(out + 4, uint16_t(native == DBR_FLOAT || native == DBR_DOUBLE ? pv.precision : 0));
    memcpy(out + (floating ? 8 : 4), pv.units, kMaxUnits);
    bool ranged = pv.record == REC_AI || pv.record == REC_LONGIN || pv.record == REC_WAVEFORM;
    double disp_hi = ranged && !std::isnan(pv.disp_hi) ? pv.disp_hi : 0;
    double disp_lo = ranged && !std::isnan(pv.disp_lo) ? pv.disp_lo : 0;
    // Alarm limits without a severity read as NaN.
    double nan = std::numeric_limits<double>::quiet_NaN();
    bool alarms = pv.record == REC_AI || pv.record == REC_LONGIN;
    const double limits[8] = {disp_hi, disp_lo,
                              alarms ? pv.hihi : nan, alarms ? pv.high : nan,
                              alarms ? pv.low : nan,  alarms ? pv.lolo : nan,
                              disp_hi, disp_lo};
    unsigned n = layout.kind == KIND_CTRL ? 8 : 6;
    size_t size = dbr_value_size(type);
    uint8_t* first = out + (floating ? 16 : 12);
    for (unsigned k = 0; k < n; ++k) put_limit(type, limits[k], k >= 2 && k < 6, first + k * size);
}

void put_metadata(const Pv& pv, uint16_t type, const DbrLayout& layout, uint8_t* out)
{
    if (layout.kind == KIND_PLAIN) return;
    // Status and severity lead every structured type.
    put16(out, uint16_t(pv.alarm_status));
    put16(out + 2, uint16_t(pv.alarm_severity));
    if (type == DBR_STSACK_STRING) {
        put16(out + 4, 1);  // ACKT: transient alarms must be acknowledged
        put16(out + 6, uint16_t(pv.unacked_severity));
    }
    if (layout.kind == KIND_TIME) {
        put32(out + 4, uint32_t(pv.stamp_sec - kEpicsEpochOffset));
        put32(out + 8, uint32_t(pv.stamp_nsec));
    } else if (layout.kind == KIND_GR || layout.kind == KIND_CTRL) {
        put_graphics(pv, layout, out);
    }
}

}  // namespace

ReadShape read_shape(const Pv& pv, View view, uint16_t type, uint32_t count)
{
    DbrLayout layout;
    if (!dbr_layout(type, layout)) return ReadShape{0, 0, 0};
    uint32_t capacity = view_count(pv, view);
    uint32_t valid = view == VIEW_VALUE && pv.nelm > 1 ? pv.nord : capacity;
    // Count 0 asks for every valid element; more than there are gives zeros.
    uint32_t wanted = count == 0 ? capacity : count;
    uint32_t filled = wanted < valid ? wanted : valid;
    if (view == VIEW_LONG_STRING && layout.value_type == DBR_CHAR) {
        // A string field read as chars ends at its NUL, NUL included.
        filled = uint32_t(strnlen(pv.value.s, filled - 1)) + 1;
    }
    if (type == DBR_CLASS_NAME && filled > 1) filled = 1;
    ReadShape shape;
    shape.count = count == 0 ? filled : count;
    shape.filled = filled;
    shape.size = dbr_size_n(type, shape.count);
    return shape;
}

bool pv_encode(const Pv& pv, View view, uint16_t type, const ReadShape& shape, uint8_t* out,
               EcaStatus& status)
{
    DbrLayout layout;
    if (!dbr_layout(type, layout) || type == DBR_PUT_ACKT || type == DBR_PUT_ACKS) return false;
    memset(out, 0, shape.size);
    status = ECA_NORMAL;
    uint8_t* values = out + layout.value_offset;
    if (type == DBR_CLASS_NAME) {
        snprintf(reinterpret_cast<char*>(values), kMaxString, "%s", record_name(pv.record));
    } else if (!encode_elements(pv, view, layout.value_type, shape.filled, values)) {
        memset(out, 0, shape.size);
        status = ECA_GETFAIL;
        return true;
    }
    if (view == VIEW_LONG_STRING && layout.value_type == DBR_CHAR) values[shape.filled - 1] = 0;
    put_metadata(pv, type, layout, out);
    return true;
}

}  // namespace ca
