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
#include <limits>

namespace ca {

namespace {

Pv g_pvs[kMaxPvs];
size_t g_pv_count = 0;

// Each native type with the record type an IOC serves it from (its
// DBR_CLASS_NAME): a scalar record where one exists, else a one-element
// waveform of that field type.
struct TypeName { std::string_view name; DbrType type; const char* record; const char* ftvl; };
constexpr TypeName kTypes[] = {
    {"string", DBR_STRING, "stringin", nullptr}, {"short", DBR_SHORT, "waveform", "SHORT"},
    {"float", DBR_FLOAT, "waveform", "FLOAT"},  {"enum", DBR_ENUM, "mbbi", nullptr},
    {"char", DBR_CHAR, "waveform", "CHAR"},     {"long", DBR_LONG, "longin", nullptr},
    {"double", DBR_DOUBLE, "ai", nullptr},
};

// The mbbi fields holding the 16 state strings.
constexpr const char* kStateFields[kMaxEnumStates] = {
    "ZRST", "ONST", "TWST", "THST", "FRST", "FVST", "SXST", "SVST",
    "EIST", "NIST", "TEST", "ELST", "TVST", "TTST", "FTST", "FFST",
};

constexpr size_t kMaxRecordName = 60;  // an IOC's PVNAME_STRINGSZ less the NUL

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
    // An IOC's access security cannot grant write without read: no read
    // means no access at all.
    if (flag == "noread") { pv.no_read = pv.no_write = true; return true; }
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

// An ai record holding NaN is in UDF alarm, INVALID severity; ACKT is
// YES, so the highest severity stays unacknowledged (nothing acknowledges).
void update_alarm(Pv& pv)
{
    bool undefined = pv.value.type == DBR_DOUBLE && std::isnan(pv.value.d);
    pv.alarm_status = undefined ? kAlarmUdf : 0;
    pv.alarm_severity = undefined ? kSeverityInvalid : 0;
    if (pv.alarm_severity > pv.unacked_severity) pv.unacked_severity = pv.alarm_severity;
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
    if (type == DBR_ENUM) {
        // A state name, or any index (as an mbbi record's VAL may hold).
        pv.value.type = DBR_ENUM;
        for (unsigned k = 0; k < pv.n_states; ++k)
            if (strcmp(text, pv.states[k]) == 0) { pv.value.i = int32_t(k); return true; }
        unsigned long index;
        if (!parse_uint(text, 0xffff, index))
            return fail(line, "enum value is neither a state nor an index from 0 to 65535", text);
        pv.value.i = int32_t(index);
        return true;
    }
    if (!convert(in, type, ConvertContext(), pv.value))
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
    update_alarm(pv);
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
    ctx.enum_field = native == DBR_ENUM;
    ctx.states = pv.states;
    return ctx;
}

// Whether a value monitor sees a write that stored next over prev: a
// one-element waveform (short, float, char) posts every write; the scalar
// records post changes only (ai and longin with no deadband, stringin,
// mbbi). For a double a change between NaN, infinities and numbers counts,
// NaN to NaN does not.
bool monitor_sees(const Value& prev, const Value& next)
{
    switch (next.type) {
    case DBR_SHORT:
    case DBR_FLOAT:
    case DBR_CHAR: return true;
    case DBR_DOUBLE:
        if (std::isnan(prev.d) || std::isnan(next.d)) return std::isnan(prev.d) != std::isnan(next.d);
        return prev.d != next.d;
    case DBR_STRING: return strncmp(prev.s, next.s, kMaxString) != 0;
    default: return prev.i != next.i;
    }
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
    // A CHAR field is signed: DBR_CHAR 200 from the wire is stored as -56.
    if (out.type == DBR_CHAR) out.i = int8_t(out.i);
    pv.monitor_due = monitor_sees(pv.value, out);
    pv.value = out;
    update_alarm(pv);
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

    // Status and severity lead every structured type.
    if (layout.kind != KIND_PLAIN) {
        put16(out, uint16_t(pv.alarm_status));
        put16(out + 2, uint16_t(pv.alarm_severity));
    }
    if (type == DBR_STSACK_STRING) {
        put16(out + 4, 1);  // ACKT: transient alarms must be acknowledged
        put16(out + 6, uint16_t(pv.unacked_severity));
    }
    if (layout.kind == KIND_TIME) {
        put32(out + 4, uint32_t(pv.stamp_sec - kEpicsEpochOffset));
        put32(out + 8, uint32_t(pv.stamp_nsec));
    } else if (layout.kind == KIND_GR || layout.kind == KIND_CTRL) {
        bool floating = native == DBR_FLOAT || native == DBR_DOUBLE;
        if (layout.value_type == DBR_ENUM) {
            unsigned n = enum_state_count(context_of(pv));
            put16(out + 4, uint16_t(n));
            for (unsigned k = 0; k < n; ++k)
                memcpy(out + 6 + k * kMaxEnumString, pv.states[k], kMaxEnumString);
        } else if (layout.value_type == DBR_FLOAT || layout.value_type == DBR_DOUBLE) {
            put16(out + 4, uint16_t(floating ? pv.precision : 0));
            // No alarm severities are set, so every record reports its four
            // alarm limits as NaN (0 in the integer forms).
            unsigned size = layout.value_type == DBR_FLOAT ? 4 : 8;
            Value nan;
            nan.type = layout.value_type;
            nan.f = std::numeric_limits<float>::quiet_NaN();
            nan.d = std::numeric_limits<double>::quiet_NaN();
            for (unsigned k = 2; k < 6; ++k) encode_value(nan, out + 16 + k * size);
        }
        // Units stay empty; display and control limits stay 0.
    }
    return size;
}

const char* native_type_name(DbrType type)
{
    for (const TypeName& t : kTypes)
        if (t.type == type) return t.name.data();
    return "?";
}

namespace {

// A quoted database string. The IOC reads \" \\ \t \n \r in it (its
// macro expansion garbles every other escape, octal and hex ones too), and
// expands $(...) and ${...} as macros.
bool write_db_string(FILE* f, const char* text, const char* what, const Pv& pv, char* err,
                     size_t err_size)
{
    if (strstr(text, "$(") || strstr(text, "${")) {
        snprintf(err, err_size, "%s: %s holds '$(' or '${', which an IOC database reads as a macro",
                 pv.name, what);
        return false;
    }
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if ((c < 0x20 || c == 0x7f) && c != '\t' && c != '\n' && c != '\r') {
            snprintf(err, err_size, "%s: %s holds control character 0x%02x, which an IOC "
                     "database cannot hold (only tab, newline and carriage return)",
                     pv.name, what, c);
            return false;
        }
    }
    fputc('"', f);
    for (const char* p = text; *p; ++p) {
        switch (*p) {
        case '"': fputs("\\\"", f); break;
        case '\\': fputs("\\\\", f); break;
        case '\t': fputs("\\t", f); break;
        case '\n': fputs("\\n", f); break;
        case '\r': fputs("\\r", f); break;
        default: fputc(*p, f); break;
        }
    }
    fputc('"', f);
    return true;
}

bool write_record(FILE* f, const Pv& pv, char* err, size_t err_size)
{
    std::string_view name = pv.name;
    if (name.size() > kMaxRecordName || name.find_first_of(".\"$") != std::string_view::npos) {
        snprintf(err, err_size, "%s: an IOC record name has at most 60 characters and no '.', "
                 "'\"' or '$'", pv.name);
        return false;
    }
    const TypeName* type = nullptr;
    for (const TypeName& t : kTypes)
        if (t.type == pv.value.type) type = &t;
    if (!type) {
        snprintf(err, err_size, "%s: no record type for its native type", pv.name);
        return false;
    }
    fprintf(f, "record(%s, \"%s\") {\n", type->record, pv.name);
    // Processed once at start: no UDF alarm, and a time stamp.
    fprintf(f, "    field(PINI, \"YES\")\n");
    const Value& v = pv.value;
    char text[64];
    switch (v.type) {
    case DBR_STRING:
        fprintf(f, "    field(VAL, ");
        if (!write_db_string(f, v.s, "the value", pv, err, err_size)) return false;
        fprintf(f, ")\n");
        break;
    case DBR_LONG: fprintf(f, "    field(VAL, \"%d\")\n", int(v.i)); break;
    case DBR_DOUBLE:
        snprintf(text, sizeof text, "%.17g", v.d);
        fprintf(f, "    field(VAL, \"%s\")\n    field(PREC, \"%d\")\n", text, pv.precision);
        break;
    case DBR_ENUM:
        fprintf(f, "    field(VAL, \"%d\")\n", int(v.i));
        for (unsigned k = 0; k < pv.n_states; ++k) {
            fprintf(f, "    field(%s, ", kStateFields[k]);
            if (!write_db_string(f, pv.states[k], "a state", pv, err, err_size)) return false;
            fprintf(f, ")\n");
        }
        break;
    default:
        // A one-element waveform, its initial value from a constant link:
        // given as text, so that NaN and infinities pass too.
        if (v.type == DBR_FLOAT) snprintf(text, sizeof text, "%.9g", double(v.f));
        else snprintf(text, sizeof text, "%d", int(v.i));
        fprintf(f, "    field(FTVL, \"%s\")\n    field(NELM, \"1\")\n"
                   "    field(INP, {const: [\"%s\"]})\n",
                type->ftvl, text);
        if (v.type == DBR_FLOAT) fprintf(f, "    field(PREC, \"%d\")\n", pv.precision);
        break;
    }
    if (pv.no_read) fprintf(f, "    field(ASG, \"NOACCESS\")\n");
    else if (pv.no_write) fprintf(f, "    field(ASG, \"READONLY\")\n");
    if (pv.no_answer || pv.delay_ms > 0)
        fprintf(f, "    # %s: answered at once (an IOC has no such fault)\n",
                pv.no_answer ? "noanswer" : "delay=");
    fprintf(f, "}\n");
    return true;
}

}  // namespace

bool write_ioc_files(FILE* db, FILE* acf, char* err, size_t err_size)
{
    if (db) {
        fprintf(db, "# Made by ca_server -D from a PV file: the same PVs on a soft IOC.\n");
        for (size_t k = 0; k < g_pv_count; ++k)
            if (!write_record(db, g_pvs[k], err, err_size)) return false;
        if (fflush(db) != 0 || ferror(db)) {
            snprintf(err, err_size, "writing the database failed: %s", strerror(errno));
            return false;
        }
    }
    if (acf) {
        // Every client may write (which includes read) unless its PV says
        // otherwise.
        fprintf(acf, "ASG(DEFAULT) { RULE(1, WRITE) }\n"
                     "ASG(READONLY) { RULE(1, READ) }\n"
                     "ASG(NOACCESS) { RULE(1, NONE) }\n");
        if (fflush(acf) != 0 || ferror(acf)) {
            snprintf(err, err_size, "writing the access security file failed: %s",
                     strerror(errno));
            return false;
        }
    }
    return true;
}

}  // namespace ca
