// PV table, PV file parser, and reads/writes through the conversions.
//
// File format: one PV a line, "#" starts a comment:
//   NAME TYPE VALUE [FLAG...]
// TYPE is short, long, float, double, string, enum or char; a string VALUE
// may be quoted ("a b", with \" and \\). Flags: prec=N, states=A,B,...,
// noread, nowrite, noanswer, delay=MS, delay=MS/N.
#include "pv_store.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace ca {

namespace {

Pv g_pvs[kMaxPvs];
size_t g_pv_count = 0;

struct TypeName { std::string_view name; DbrType type; const char* record; };
constexpr TypeName kTypes[] = {
    {"string", DBR_STRING, "stringin"}, {"short", DBR_SHORT, "longin"},
    {"float", DBR_FLOAT, "ai"}, {"enum", DBR_ENUM, "mbbi"},
    {"char", DBR_CHAR, "longin"}, {"long", DBR_LONG, "longin"},
    {"double", DBR_DOUBLE, "ai"},
};

constexpr size_t kMaxTokens = 16;
constexpr size_t kMaxToken = 128;
constexpr size_t kMaxLine = 1024;

struct Line {
    const char* path;
    unsigned number;
    char* err;
    size_t err_size;
};

// Reports "FILE:LINE: what 'token' (hint)"; token and hint are optional.
bool fail(const Line& line, const char* what, std::string_view token = {},
          const char* hint = nullptr)
{
    int n = snprintf(line.err, line.err_size, "%s:%u: %s", line.path, line.number, what);
    if (!token.empty() && n >= 0 && size_t(n) < line.err_size)
        n += snprintf(line.err + n, line.err_size - size_t(n), " '%.*s'", int(token.size()),
                      token.data());
    if (hint && n >= 0 && size_t(n) < line.err_size)
        snprintf(line.err + n, line.err_size - size_t(n), " (%s)", hint);
    return false;
}

// Splits a line into tokens, unquoting "..." tokens into buf.
bool tokenize(const Line& line, const char* text, char (*buf)[kMaxToken], size_t& n)
{
    n = 0;
    const char* p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (*p == '\0' || *p == '#') return true;
        if (n == kMaxTokens) return fail(line, "too many fields (at most 16)");
        size_t len = 0;
        if (*p == '"') {
            ++p;
            while (*p != '"') {
                if (*p == '\0' || *p == '\n') return fail(line, "unterminated quoted string");
                if (*p == '\\' && (p[1] == '"' || p[1] == '\\')) ++p;
                if (len + 1 >= kMaxToken) return fail(line, "quoted string too long");
                buf[n][len++] = *p++;
            }
            ++p;
        } else {
            while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') {
                if (len + 1 >= kMaxToken) return fail(line, "field too long");
                buf[n][len++] = *p++;
            }
        }
        buf[n++][len] = '\0';
    }
}

bool parse_uint(std::string_view s, unsigned long max, unsigned long& out)
{
    if (s.empty() || s.size() > 10) return false;
    unsigned long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > max) return false;
    out = v;
    return true;
}

bool parse_states(const Line& line, std::string_view list, Pv& pv)
{
    pv.n_states = 0;
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view state = list.substr(0, comma);
        if (pv.n_states == kMaxEnumStates) return fail(line, "more than 16 enum states");
        if (state.size() >= kMaxEnumString)
            return fail(line, "enum state longer than 25 characters", state);
        memcpy(pv.states[pv.n_states], state.data(), state.size());
        pv.states[pv.n_states++][state.size()] = '\0';
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return true;
}

bool parse_flag(const Line& line, std::string_view flag, Pv& pv)
{
    unsigned long n;
    if (flag == "noread") { pv.no_read = true; return true; }
    if (flag == "nowrite") { pv.no_write = true; return true; }
    if (flag == "noanswer") { pv.no_answer = true; return true; }
    if (flag.substr(0, 5) == "prec=") {
        if (!parse_uint(flag.substr(5), 17, n)) return fail(line, "bad precision", flag, "0 to 17");
        pv.precision = int(n);
        return true;
    }
    if (flag.substr(0, 7) == "states=") return parse_states(line, flag.substr(7), pv);
    if (flag.substr(0, 6) == "delay=") {
        std::string_view ms = flag.substr(6);
        size_t slash = ms.find('/');
        if (slash != std::string_view::npos) {
            if (!parse_uint(ms.substr(slash + 1), 1000000, n))
                return fail(line, "bad read count in delay=MS/N", flag);
            pv.delayed_reads_left = int32_t(n);
            ms = ms.substr(0, slash);
        }
        if (!parse_uint(ms, 3600000, n)) return fail(line, "bad delay in milliseconds", flag);
        pv.delay_ms = uint32_t(n);
        return true;
    }
    return fail(line, "unknown flag", flag,
                "expected prec=N, states=A,B,..., noread, nowrite, noanswer, delay=MS "
                "or delay=MS/N");
}

// The initial value must be a whole, in-range number (or a state name).
bool parse_initial(const Line& line, const char* text, Pv& pv)
{
    Value in;
    in.type = DBR_STRING;
    if (strlen(text) >= kMaxString) return fail(line, "string value longer than 39 characters");
    snprintf(in.s, sizeof in.s, "%s", text);
    DbrType type = pv.value.type;
    if (type != DBR_STRING && type != DBR_ENUM) {
        char* end;
        if (type == DBR_FLOAT || type == DBR_DOUBLE) (void)strtod(text, &end);
        else (void)strtol(text, &end, 10);
        if (end == text || *end != '\0') return fail(line, "value is not a number", text);
    }
    ConvertContext ctx;
    ctx.n_states = pv.n_states;
    ctx.states = pv.states;
    if (!convert(in, type, ctx, pv.value))
        return fail(line, "value out of range for its type", text);
    return true;
}

bool parse_line(const Line& line, const char* text)
{
    static char tokens[kMaxTokens][kMaxToken];
    size_t n;
    if (!tokenize(line, text, tokens, n)) return false;
    if (n == 0) return true;
    if (n < 3) return fail(line, "expected NAME TYPE VALUE [FLAGS]");
    std::string_view name = tokens[0];
    if (name.size() >= kMaxPvName) return fail(line, "PV name longer than 63 characters", name);
    if (find_pv(name) >= 0) return fail(line, "duplicate PV name", name);
    if (g_pv_count == kMaxPvs) return fail(line, "too many PVs (at most 256)");

    Pv& pv = g_pvs[g_pv_count];
    pv = Pv();
    pv.delayed_reads_left = -1;
    memcpy(pv.name, name.data(), name.size());
    pv.name[name.size()] = '\0';
    const TypeName* type = nullptr;
    for (const TypeName& t : kTypes)
        if (t.name == tokens[1]) type = &t;
    if (!type)
        return fail(line, "unknown type", tokens[1],
                    "expected short, long, float, double, string, enum or char");
    pv.value.type = type->type;
    for (size_t k = 3; k < n; ++k)
        if (!parse_flag(line, tokens[k], pv)) return false;
    if (pv.n_states > 0 && pv.value.type != DBR_ENUM)
        return fail(line, "states= is only for enum PVs");
    if (!parse_initial(line, tokens[2], pv)) return false;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    pv.stamp_sec = now.tv_sec;
    pv.stamp_nsec = now.tv_nsec;
    ++g_pv_count;
    return true;
}

ConvertContext context_of(const Pv& pv)
{
    ConvertContext ctx;
    DbrType native = pv.value.type;
    // A string record shows floating values it is given with 6 digits.
    ctx.precision = (native == DBR_FLOAT || native == DBR_DOUBLE) ? pv.precision : 6;
    ctx.n_states = pv.n_states;
    ctx.states = pv.states;
    return ctx;
}

}  // namespace

bool load_pvs(const char* path, char* err, size_t err_size)
{
    FILE* f = fopen(path, "r");
    if (!f) {
        snprintf(err, err_size, "%s: cannot open PV file: %s", path, strerror(errno));
        return false;
    }
    g_pv_count = 0;
    char text[kMaxLine];
    Line line{path, 0, err, err_size};
    bool ok = true;
    while (ok && fgets(text, sizeof text, f)) {
        ++line.number;
        size_t len = strlen(text);
        if (len == sizeof text - 1 && text[len - 1] != '\n' && !feof(f))
            ok = fail(line, "line too long (at most 1022 characters)");
        else
            ok = parse_line(line, text);
    }
    if (ok && ferror(f)) {
        snprintf(err, err_size, "%s: read error: %s", path, strerror(errno));
        ok = false;
    }
    fclose(f);
    if (ok && g_pv_count == 0) {
        snprintf(err, err_size, "%s: no PVs defined", path);
        ok = false;
    }
    return ok;
}

size_t pv_count() { return g_pv_count; }
Pv& pv_at(size_t index) { return g_pvs[index]; }

int find_pv(std::string_view name)
{
    for (size_t k = 0; k < g_pv_count; ++k)
        if (name == g_pvs[k].name) return int(k);
    return -1;
}

EcaStatus pv_write(Pv& pv, DbrType type, const uint8_t* wire_value)
{
    if (type >= kPlainTypes) return ECA_BADTYPE;
    Value in, out;
    decode_value(type, wire_value, in);
    if (!convert(in, pv.value.type, context_of(pv), out)) return ECA_PUTFAIL;
    pv.value = out;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    pv.stamp_sec = now.tv_sec;
    pv.stamp_nsec = now.tv_nsec;
    return ECA_NORMAL;
}

size_t pv_encode(const Pv& pv, uint16_t type, uint8_t* out, size_t cap, EcaStatus& status)
{
    DbrLayout layout;
    if (!dbr_layout(type, layout) || type == DBR_PUT_ACKT || type == DBR_PUT_ACKS) return 0;
    size_t size = pad8(layout.size);
    if (size > cap) return 0;
    memset(out, 0, size);
    status = ECA_NORMAL;

    DbrType native = pv.value.type;
    Value v;
    if (type == DBR_CLASS_NAME) {
        v.type = DBR_STRING;
        for (const TypeName& t : kTypes)
            if (t.type == native) snprintf(v.s, sizeof v.s, "%s", t.record);
    } else if (!convert(pv.value, layout.value_type, context_of(pv), v)) {
        status = ECA_GETFAIL;
        return size;
    }
    encode_value(v, out + layout.value_offset);

    // Status and severity (0, 0: no alarm) lead every structured type.
    if (layout.kind == KIND_TIME) {
        put32(out + 4, uint32_t(pv.stamp_sec - kEpicsEpochOffset));
        put32(out + 8, uint32_t(pv.stamp_nsec));
    } else if (layout.kind == KIND_GR || layout.kind == KIND_CTRL) {
        bool floating = native == DBR_FLOAT || native == DBR_DOUBLE;
        if (layout.value_type == DBR_ENUM) {
            unsigned n = native == DBR_ENUM ? pv.n_states : 0;
            put16(out + 4, uint16_t(n));
            for (unsigned k = 0; k < n; ++k)
                memcpy(out + 6 + k * kMaxEnumString, pv.states[k], kMaxEnumString);
        } else if (layout.value_type == DBR_FLOAT || layout.value_type == DBR_DOUBLE) {
            put16(out + 4, uint16_t(floating ? pv.precision : 0));
        }
        // Units stay empty; display, alarm and control limits stay 0.
    }
    return size;
}

const char* native_type_name(DbrType type)
{
    for (const TypeName& t : kTypes)
        if (t.type == type) return t.name.data();
    return "?";
}

}  // namespace ca
