// Conversions between plain DBR types, modelled on the IOC's database access.
#include "convert.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ca {

namespace {

int32_t as_int32(const Value& v)
{
    switch (v.type) {
    case DBR_FLOAT: return to_int32(v.f);
    case DBR_DOUBLE: return to_int32(v.d);
    default: return v.i;
    }
}

double as_double(const Value& v)
{
    switch (v.type) {
    case DBR_FLOAT: return v.f;
    case DBR_DOUBLE: return v.d;
    case DBR_ENUM: return uint16_t(v.i);
    default: return v.i;
    }
}

// epicsParseLong with units allowed: leading space, base 10, text after the
// number is ignored; no digits at all fails, and so does overflow.
bool parse_long(const char* s, long lo, long hi, int32_t& out)
{
    char* end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v < lo || v > hi) return false;
    out = int32_t(v);
    return true;
}

bool parse_double(const char* s, double& out)
{
    char* end;
    errno = 0;
    double v = strtod(s, &end);
    if (end == s || errno == ERANGE) return false;
    out = v;
    return true;
}

// Whether an enum field has any state string (an mbbi record's SDEF).
bool states_defined(const ConvertContext& ctx)
{
    for (unsigned k = 0; k < kMaxEnumStates; ++k)
        if (ctx.states[k][0] != '\0') return true;
    return false;
}

// A text written to an enum field: a state string (an unset state matches
// the empty text), else a whole decimal number below the number of states
// (epicsParseUInt16 without units: blanks around it only; strtoul's
// wrap-around of a minus sign kept).
bool text_to_enum(const char* s, const ConvertContext& ctx, int32_t& out)
{
    if (states_defined(ctx)) {
        for (unsigned k = 0; k < kMaxEnumStates; ++k)
            if (strncmp(s, ctx.states[k], kMaxEnumString) == 0) { out = int32_t(k); return true; }
    }
    const char* p = s;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    char* end;
    errno = 0;
    unsigned long v = strtoul(p, &end, 10);
    if (end == p || errno == ERANGE) return false;
    while (isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end != '\0') return false;
    if (v > 0xffff && v <= ~0xfffful) return false;
    if ((v & 0xffff) >= enum_state_count(ctx)) return false;
    out = int32_t(v & 0xffff);
    return true;
}

bool from_string(const char* s, DbrType to, const ConvertContext& ctx, Value& out)
{
    if (to == DBR_ENUM) return ctx.enum_field && text_to_enum(s, ctx, out.i);
    // An empty text is zero (out is zeroed), except into an array.
    if (*s == '\0') return !ctx.array;
    switch (to) {
    case DBR_SHORT: return parse_long(s, -32768, 32767, out.i);
    case DBR_CHAR: return parse_long(s, -128, 127, out.i);
    case DBR_LONG: return parse_long(s, INT32_MIN, INT32_MAX, out.i);
    case DBR_FLOAT: {
        // epicsParseFloat: the float range is open at both ends, and (as
        // the IOC has it) only positive values are checked for underflow.
        double v;
        if (!parse_double(s, v) || (v > 0 && v <= FLT_MIN) ||
            (std::isfinite(v) && std::fabs(v) >= FLT_MAX))
            return false;
        out.f = float(v);
        return true;
    }
    case DBR_DOUBLE: return parse_double(s, out.d);
    default: return false;
    }
}

void to_string(const Value& v, const ConvertContext& ctx, char* out)
{
    switch (v.type) {
    case DBR_STRING: snprintf(out, kMaxString, "%s", v.s); break;
    case DBR_FLOAT: format_float(v.f, unsigned(ctx.precision), out, kMaxString); break;
    case DBR_DOUBLE: format_double(v.d, unsigned(ctx.precision), out, kMaxString); break;
    case DBR_ENUM:
        // An enum field shows its state string, empty for an unset state.
        if (!ctx.enum_field) snprintf(out, kMaxString, "%u", unsigned(uint16_t(v.i)));
        else if (uint16_t(v.i) < kMaxEnumStates) snprintf(out, kMaxString, "%s", ctx.states[v.i]);
        else snprintf(out, kMaxString, "Illegal Value");
        break;
    default: snprintf(out, kMaxString, "%d", int(v.i)); break;
    }
}

constexpr int32_t kFracMultiplier[] = {1, 10, 100, 1000, 10000, 100000,
                                       1000000, 10000000, 100000000};

// The fixed-point digit loop shared by the float and double forms.
template <typename F>
void fixed_point(F v, unsigned precision, char* out)
{
    char* p = out;
    if (v < 0) { *p++ = '-'; v = -v; }
    int32_t whole = int32_t(v);
    F frac = v - F(whole);
    int32_t fplace = kFracMultiplier[precision];
    int32_t fraction = int32_t(frac * F(fplace) * F(10));
    fraction = (fraction + 5) / 10;
    if (fraction / fplace >= 1) { ++whole; fraction -= fplace; }
    bool got_one = false;
    for (int32_t place = 10000000; place >= 1; place /= 10) {
        if (whole >= place) {
            got_one = true;
            int32_t digit = whole / place;
            whole -= digit * place;
            *p++ = char('0' + digit);
        } else if (got_one) {
            *p++ = '0';
        }
    }
    if (!got_one) *p++ = '0';
    if (precision > 0) {
        *p++ = '.';
        for (fplace /= 10; precision > 0; fplace /= 10, --precision) {
            int32_t digit = fraction / fplace;
            fraction -= digit * fplace;
            *p++ = char('0' + digit);
        }
    }
    *p = '\0';
}

}  // namespace

int32_t to_int32(double v)
{
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return int32_t(v);
}

float to_float(double v)
{
    if (v == 0 || !std::isfinite(v)) return float(v);
    if (std::fabs(v) >= FLT_MAX) return v > 0 ? FLT_MAX : -FLT_MAX;
    if (std::fabs(v) <= FLT_MIN) return v > 0 ? FLT_MIN : -FLT_MIN;
    return float(v);
}

unsigned enum_state_count(const ConvertContext& ctx)
{
    if (!ctx.enum_field) return 0;
    unsigned n = 0;
    for (unsigned k = 0; k < kMaxEnumStates; ++k)
        if (ctx.states[k][0] != '\0') n = k + 1;
    return n;
}

void format_double(double v, unsigned precision, char* out, unsigned out_size)
{
    if (std::isnan(v) || precision > 8 || v > 1e7 || v < -1e7) {
        if (precision > 8 || v > 1e16 || v < -1e16) {
            if (precision > 17) precision = 17;
            snprintf(out, out_size, "%*.*e", int(precision + 7), int(precision), v);
        } else {
            if (precision > 3) precision = 3;
            snprintf(out, out_size, "%.*f", int(precision), v);
        }
        return;
    }
    fixed_point(v, precision, out);
}

void format_float(float v, unsigned precision, char* out, unsigned out_size)
{
    if (std::isnan(v) || precision > 8 || v > 1e7f || v < -1e7f) {
        if (precision > 8 || v >= 1e8f || v <= -1e8f) {
            if (precision > 12) precision = 12;
            snprintf(out, out_size, "%*.*e", int(precision + 6), int(precision), double(v));
        } else {
            if (precision > 3) precision = 3;
            snprintf(out, out_size, "%.*f", int(precision), double(v));
        }
        return;
    }
    fixed_point(v, precision, out);
}

bool convert(const Value& from, DbrType to, const ConvertContext& ctx, Value& out)
{
    out = Value();
    out.type = to;
    if (from.type == to) { out = from; return true; }
    if (to == DBR_STRING) { to_string(from, ctx, out.s); return true; }
    if (from.type == DBR_STRING) return from_string(from.s, to, ctx, out);
    switch (to) {
    case DBR_SHORT: out.i = int16_t(as_int32(from)); break;
    case DBR_CHAR: out.i = int8_t(as_int32(from)); break;
    case DBR_ENUM: out.i = uint16_t(as_int32(from)); break;
    case DBR_LONG: out.i = as_int32(from); break;
    case DBR_FLOAT: out.f = to_float(as_double(from)); break;
    case DBR_DOUBLE: out.d = as_double(from); break;
    default: return false;
    }
    return true;
}

void decode_value(DbrType type, const uint8_t* p, Value& out)
{
    out = Value();
    out.type = type;
    switch (type) {
    case DBR_STRING:
        memcpy(out.s, p, kMaxString);
        out.s[kMaxString - 1] = '\0';
        break;
    case DBR_SHORT: out.i = int16_t(get16(p)); break;
    case DBR_ENUM: out.i = get16(p); break;
    case DBR_CHAR: out.i = p[0]; break;
    case DBR_LONG: out.i = int32_t(get32(p)); break;
    case DBR_FLOAT: {
        uint32_t bits = get32(p);
        memcpy(&out.f, &bits, sizeof bits);
        break;
    }
    case DBR_DOUBLE: {
        uint64_t bits = uint64_t(get32(p)) << 32 | get32(p + 4);
        memcpy(&out.d, &bits, sizeof bits);
        break;
    }
    default: break;
    }
}

void encode_value(const Value& v, uint8_t* p)
{
    switch (v.type) {
    case DBR_STRING: memcpy(p, v.s, kMaxString); break;
    case DBR_SHORT:
    case DBR_ENUM: put16(p, uint16_t(v.i)); break;
    case DBR_CHAR: p[0] = uint8_t(v.i); break;
    case DBR_LONG: put32(p, uint32_t(v.i)); break;
    case DBR_FLOAT: {
        uint32_t bits;
        memcpy(&bits, &v.f, sizeof bits);
        put32(p, bits);
        break;
    }
    case DBR_DOUBLE: {
        uint64_t bits;
        memcpy(&bits, &v.d, sizeof bits);
        put32(p, uint32_t(bits >> 32));
        put32(p + 4, uint32_t(bits));
        break;
    }
    default: break;
    }
}

}  // namespace ca
