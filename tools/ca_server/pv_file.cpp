// The PV file parser.
//
// One PV a line, "#" starts a comment:
//   NAME TYPE VALUE [FLAG...]
// TYPE is short, long, float, double, string, enum or char, or an array
// short[N], long[N], float[N], double[N], char[N]. A string VALUE may be
// quoted ("a b", with \" and \\); an array's VALUE is a list V,V,..., fill(V)
// or ramp(START,STEP), and a char array's also a quoted text. Flags: see
// parse_flag and README.md.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "pv_store.h"
#include "pv_parse.h"
#include "pv_table.h"

namespace ca {

// Reports "FILE:LINE: what 'token' (hint)"; token and hint are optional.
bool fail(const Line& line, const char* what, std::string_view token, const char* hint)
{
    int n = snprintf(line.err, line.err_size, "%s:%u: %s", line.path, line.number, what);
    if (!token.empty() && n >= 0 && size_t(n) < line.err_size)
        n += snprintf(line.err + n, line.err_size - size_t(n), " '%.*s'", int(token.size()),
                      token.data());
    if (hint && n >= 0 && size_t(n) < line.err_size)
        snprintf(line.err + n, line.err_size - size_t(n), " (%s)", hint);
    return false;
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

namespace {

struct TypeName { std::string_view name; DbrType type; RecordKind record; };
constexpr TypeName kTypes[] = {
    {"string", DBR_STRING, REC_STRINGIN}, {"short", DBR_SHORT, REC_WAVEFORM},
    {"float", DBR_FLOAT, REC_WAVEFORM},   {"enum", DBR_ENUM, REC_MBBI},
    {"char", DBR_CHAR, REC_WAVEFORM},     {"long", DBR_LONG, REC_LONGIN},
    {"double", DBR_DOUBLE, REC_AI},
};

constexpr size_t kMaxTokens = 16;
constexpr size_t kMaxLine = 1024;

struct Tokens {
    char text[kMaxTokens][kMaxLine];
    bool quoted[kMaxTokens];
    size_t n;
};

// Splits a line into tokens, unquoting "..." tokens.
bool tokenize(const Line& line, const char* text, Tokens& t)
{
    t.n = 0;
    const char* p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (*p == '\0' || *p == '#') return true;
        if (t.n == kMaxTokens) return fail(line, "too many fields (at most 16)");
        char* out = t.text[t.n];
        size_t len = 0;
        t.quoted[t.n] = *p == '"';
        if (*p == '"') {
            ++p;
            while (*p != '"') {
                if (*p == '\0' || *p == '\n') return fail(line, "unterminated quoted string");
                if (*p == '\\' && (p[1] == '"' || p[1] == '\\')) ++p;
                out[len++] = *p++;
            }
            ++p;
        } else {
            while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') out[len++] = *p++;
        }
        out[len] = '\0';
        ++t.n;
    }
}

// A number that is the whole text (nan and inf included).
bool parse_real(std::string_view s, double& out)
{
    char text[64];
    if (s.empty() || s.size() >= sizeof text) return false;
    memcpy(text, s.data(), s.size());
    text[s.size()] = '\0';
    char* end;
    out = strtod(text, &end);
    return *end == '\0';
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

// LO,HI of disp=, warn= and alarm=; an empty side stays NaN (not set).
bool parse_pair(const Line& line, std::string_view flag, size_t skip, double& lo, double& hi)
{
    std::string_view pair = flag.substr(skip);
    size_t comma = pair.find(',');
    if (comma == std::string_view::npos)
        return fail(line, "expected two limits LOW,HIGH (either may be empty)", flag);
    std::string_view a = pair.substr(0, comma), b = pair.substr(comma + 1);
    lo = hi = std::nan("");
    if ((!a.empty() && (!parse_real(a, lo) || std::isnan(lo))) ||
        (!b.empty() && (!parse_real(b, hi) || std::isnan(hi))))
        return fail(line, "limit is not a number", flag);
    return true;
}

bool parse_flag(const Line& line, std::string_view flag, Pv& pv, uint32_t& len)
{
    unsigned long n;
    // An IOC's access security cannot grant write without read: no read
    // means no access at all.
    if (flag == "noread") { pv.no_read = pv.no_write = true; return true; }
    if (flag == "nowrite") { pv.no_write = true; return true; }
    if (flag == "noanswer") { pv.no_answer = true; return true; }
    if (flag == "rejectput") { pv.reject_put = true; return true; }
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
    if (flag.substr(0, 9) == "putdelay=") {
        if (!parse_uint(flag.substr(9), 3600000, n) || n == 0)
            return fail(line, "bad put delay", flag, "1 to 3600000 milliseconds");
        pv.put_delay_ms = uint32_t(n);
        return true;
    }
    if (flag.substr(0, 6) == "count=") {
        if (!parse_uint(flag.substr(6), 60000000, n))
            return fail(line, "bad count period", flag, "0 to 60000000 microseconds");
        pv.count_us = int64_t(n);
        return true;
    }
    if (flag.substr(0, 4) == "len=") {
        if (!parse_uint(flag.substr(4), kMaxElements, n)) return fail(line, "bad length", flag);
        len = uint32_t(n);
        return true;
    }
    if (flag.substr(0, 6) == "units=") {
        std::string_view units = flag.substr(6);
        if (units.size() > kMaxUnitsText)
            return fail(line, "units longer than 7 characters (what DBR_GR carries)", flag);
        memcpy(pv.units, units.data(), units.size());
        pv.units[units.size()] = '\0';
        return true;
    }
    if (flag.substr(0, 5) == "disp=") return parse_pair(line, flag, 5, pv.disp_lo, pv.disp_hi);
    if (flag.substr(0, 5) == "warn=") return parse_pair(line, flag, 5, pv.low, pv.high);
    if (flag.substr(0, 6) == "alarm=") return parse_pair(line, flag, 6, pv.lolo, pv.hihi);
    return fail(line, "unknown flag", flag,
                "expected prec=N, states=A,B,..., noread, nowrite, noanswer, delay=MS, "
                "delay=MS/N, len=N, units=TEXT, disp=LO,HI, warn=LOW,HIGH, alarm=LOLO,HIHI, "
                "putdelay=MS, rejectput or count=US");
}

// The type token: TYPE or TYPE[N].
bool parse_type(const Line& line, std::string_view text, Pv& pv)
{
    size_t bracket = text.find('[');
    std::string_view base = text.substr(0, bracket);
    const TypeName* type = nullptr;
    for (const TypeName& t : kTypes)
        if (t.name == base) type = &t;
    if (!type)
        return fail(line, "unknown type", text,
                    "expected short, long, float, double, string, enum or char, or an array "
                    "such as double[N]");
    pv.value.type = type->type;
    pv.record = type->record;
    pv.nelm = pv.nord = 1;
    if (bracket == std::string_view::npos) return true;
    unsigned long n;
    if (text.back() != ']' || !parse_uint(text.substr(bracket + 1, text.size() - bracket - 2),
                                          kMaxElements, n) || n == 0)
        return fail(line, "bad element count", text, "TYPE[N], N from 1 to 16777216");
    if (type->type == DBR_STRING || type->type == DBR_ENUM)
        return fail(line, "arrays are of short, long, float, double or char", text);
    pv.record = REC_WAVEFORM;
    pv.nelm = uint32_t(n);
    return true;
}

// Flags that only some PVs can have, as their records have the fields.
bool check_flags(const Line& line, const Pv& pv)
{
    bool numeric = pv.record != REC_STRINGIN && pv.record != REC_MBBI;
    bool limits_set = !std::isnan(pv.disp_lo) || !std::isnan(pv.disp_hi) || pv.units[0];
    if (pv.n_states > 0 && pv.value.type != DBR_ENUM)
        return fail(line, "states= is only for enum PVs");
    if (limits_set && !numeric) return fail(line, "units= and disp= are for numeric PVs");
    bool alarms_set = !std::isnan(pv.lolo) || !std::isnan(pv.low) || !std::isnan(pv.high) ||
                      !std::isnan(pv.hihi);
    if (alarms_set && pv.record != REC_AI && pv.record != REC_LONGIN)
        return fail(line, "warn= and alarm= are for double and long PVs (ai and longin records)");
    if (pv.count_us >= 0 && (!numeric || pv.nelm > 1))
        return fail(line, "count= is for one-element numeric PVs");
    if (pv.record == REC_LONGIN) {
        // A longin's limits are whole numbers.
        for (double v : {pv.disp_lo, pv.disp_hi, pv.lolo, pv.low, pv.high, pv.hihi})
            if (!std::isnan(v) && (v != std::trunc(v) || v < INT32_MIN || v > INT32_MAX))
                return fail(line, "a long PV's limits are whole 32-bit numbers");
    }
    return true;
}

bool parse_line(const Line& line, const char* text)
{
    static Tokens t;
    if (!tokenize(line, text, t)) return false;
    if (t.n == 0) return true;
    if (t.n < 3) return fail(line, "expected NAME TYPE VALUE [FLAGS]");
    std::string_view name = t.text[0];
    if (name.size() >= kMaxPvName) return fail(line, "PV name longer than 63 characters", name);
    if (find_pv(name) >= 0) return fail(line, "duplicate PV name", name);
    if (pv_count() == kMaxPvs) return fail(line, "too many PVs (at most 2048)");

    static Pv pv;
    pv = Pv();
    pv.delayed_reads_left = -1;
    pv.count_us = -1;
    pv.disp_lo = pv.disp_hi = std::nan("");
    pv.lolo = pv.low = pv.high = pv.hihi = std::nan("");
    memcpy(pv.name, name.data(), name.size());
    pv.name[name.size()] = '\0';
    if (!parse_type(line, t.text[1], pv)) return false;
    uint32_t len = UINT32_MAX;
    for (size_t k = 3; k < t.n; ++k)
        if (!parse_flag(line, t.text[k], pv, len)) return false;
    if (!check_flags(line, pv)) return false;
    if (pv.nelm > 1) {
        pv.elements = new uint8_t[size_t(pv.nelm) * dbr_value_size(pv.value.type)]();
        bool ok = parse_array(line, t.text[2], t.quoted[2], pv, len);
        if (!ok || !pv_add(pv)) {
            delete[] pv.elements;
            return ok ? fail(line, "too many PVs (at most 2048)") : false;
        }
    } else {
        if (len != UINT32_MAX) return fail(line, "len= is for arrays");
        if (!parse_value(line, t.text[2], pv, pv.value)) return false;
        pv_add(pv);
    }
    Pv& added = pv_at(pv_count() - 1);
    update_alarm(added);
    added.post_mask = 0;
    added.unacked_severity = added.alarm_severity;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    added.stamp_sec = now.tv_sec;
    added.stamp_nsec = now.tv_nsec;
    return true;
}

}  // namespace

bool load_pvs(const char* path, char* err, size_t err_size)
{
    FILE* f = fopen(path, "r");
    if (!f) {
        snprintf(err, err_size, "%s: cannot open PV file: %s", path, strerror(errno));
        return false;
    }
    pv_clear();
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
    if (ok && pv_count() == 0) {
        snprintf(err, err_size, "%s: no PVs defined", path);
        ok = false;
    }
    return ok;
}

const char* native_type_name(DbrType type)
{
    for (const TypeName& t : kTypes)
        if (t.type == type) return t.name.data();
    return "?";
}

}  // namespace ca
