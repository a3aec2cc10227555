// Start values in the PV file: one number (or an enum state) in a PV's
// native type, and an array's list, fill(), ramp() or text.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pv_parse.h"

namespace ca {

bool parse_value(const Line& line, std::string_view text, const Pv& pv, Value& out)
{
    Value in;
    in.type = DBR_STRING;
    if (text.size() >= kMaxString) return fail(line, "string value longer than 39 characters");
    memcpy(in.s, text.data(), text.size());
    DbrType type = pv.value.type;
    if (type != DBR_STRING && type != DBR_ENUM) {
        char* end;
        if (type == DBR_FLOAT || type == DBR_DOUBLE) (void)strtod(in.s, &end);
        else (void)strtol(in.s, &end, 10);
        if (end == in.s || *end != '\0') return fail(line, "value is not a number", text);
    }
    if (type == DBR_ENUM) {
        // A state name, or any index (as an mbbi record's VAL may hold).
        out = Value();
        out.type = DBR_ENUM;
        for (unsigned k = 0; k < pv.n_states; ++k)
            if (text == pv.states[k]) { out.i = int32_t(k); return true; }
        unsigned long index;
        if (!parse_uint(text, 0xffff, index))
            return fail(line, "enum value is neither a state nor an index from 0 to 65535", text);
        out.i = int32_t(index);
        return true;
    }
    if (!convert(in, type, ConvertContext(), out))
        return fail(line, "value out of range for its type", text);
    return true;
}

namespace {

void store_element(Pv& pv, size_t k, const Value& v)
{
    encode_value(v, pv.elements + k * dbr_value_size(pv.value.type));
}

// fill(V) or ramp(START,STEP) over the first len elements.
bool parse_generator(const Line& line, std::string_view text, Pv& pv, uint32_t len)
{
    bool ramp = text.substr(0, 5) == "ramp(";
    if (text.back() != ')') return fail(line, "expected fill(V) or ramp(START,STEP)", text);
    std::string_view args = text.substr(5, text.size() - 6);
    Value first, step_value;
    double step = 0;
    std::string_view start = args;
    if (ramp) {
        size_t comma = args.find(',');
        if (comma == std::string_view::npos) return fail(line, "expected ramp(START,STEP)", text);
        start = args.substr(0, comma);
        if (!parse_value(line, args.substr(comma + 1), pv, step_value)) return false;
        step = pv.value.type == DBR_FLOAT    ? double(step_value.f)
               : pv.value.type == DBR_DOUBLE ? step_value.d
                                             : double(step_value.i);
    }
    if (!parse_value(line, start, pv, first)) return false;
    double from = pv.value.type == DBR_FLOAT    ? double(first.f)
                  : pv.value.type == DBR_DOUBLE ? first.d
                                                : double(first.i);
    bool integer = pv.value.type != DBR_FLOAT && pv.value.type != DBR_DOUBLE;
    if (integer && len > 0) {
        // Every element must be in range: the ramp's last one too.
        Value last, as_double;
        as_double.type = DBR_DOUBLE;
        as_double.d = from + double(len - 1) * step;
        char text_last[48];
        snprintf(text_last, sizeof text_last, "%.0f", as_double.d);
        if (!parse_value(line, text_last, pv, last)) return false;
    }
    for (uint32_t k = 0; k < len; ++k) {
        Value v;
        v.type = pv.value.type;
        double x = from + double(k) * step;
        if (pv.value.type == DBR_FLOAT) v.f = to_float(x);
        else if (pv.value.type == DBR_DOUBLE) v.d = x;
        else v.i = int32_t(x);
        store_element(pv, k, v);
    }
    pv.nord = len;
    return true;
}

}  // namespace

// An array's start value: a list, fill(), ramp(), or (char) a quoted text.
bool parse_array(const Line& line, std::string_view text, bool quoted, Pv& pv, uint32_t len)
{
    bool generator = text.substr(0, 5) == "fill(" || text.substr(0, 5) == "ramp(";
    if (len != UINT32_MAX && !generator) return fail(line, "len= is for fill() and ramp() only");
    if (len != UINT32_MAX && len > pv.nelm)
        return fail(line, "len= is larger than the element count", text);
    if (generator) return parse_generator(line, text, pv, len == UINT32_MAX ? pv.nelm : len);
    if (quoted) {
        if (pv.value.type != DBR_CHAR) return fail(line, "only a char array holds a text");
        if (text.size() + 1 > pv.nelm)
            return fail(line, "text longer than the char array (its NUL included)");
        memcpy(pv.elements, text.data(), text.size());
        pv.nord = uint32_t(text.size() + 1);
        return true;
    }
    uint32_t k = 0;
    while (!text.empty()) {
        size_t comma = text.find(',');
        if (k == pv.nelm) return fail(line, "more values than the element count");
        Value v;
        if (!parse_value(line, text.substr(0, comma), pv, v)) return false;
        store_element(pv, k++, v);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    pv.nord = k;
    return true;
}

}  // namespace ca
