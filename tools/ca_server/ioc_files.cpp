// The same PVs on a soft IOC: the database, access security file and the
// start values of longer arrays that ca_server -D/-A/-I writes.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "pv_store.h"

namespace ca {

namespace {

// The mbbi fields holding the 16 state strings.
constexpr const char* kStateFields[kMaxEnumStates] = {
    "ZRST", "ONST", "TWST", "THST", "FRST", "FVST", "SXST", "SVST",
    "EIST", "NIST", "TEST", "ELST", "TVST", "TTST", "FTST", "FFST",
};

constexpr size_t kMaxRecordName = 60;  // an IOC's PVNAME_STRINGSZ less the NUL

// A waveform's FTVL choice for each native type.
constexpr const char* kFtvl[kPlainTypes] = {"STRING", "SHORT", "FLOAT", "ENUM",
                                            "CHAR", "LONG", "DOUBLE"};

// The standard scan periods of an IOC, fastest first, for count=US.
struct ScanPeriod { int64_t us; const char* name; };
constexpr ScanPeriod kScans[] = {
    {100000, ".1 second"}, {200000, ".2 second"}, {500000, ".5 second"}, {1000000, "1 second"},
    {2000000, "2 second"}, {5000000, "5 second"}, {10000000, "10 second"},
};

bool failure(char* err, size_t err_size, const Pv& pv, const char* what)
{
    snprintf(err, err_size, "%s: %s", pv.name, what);
    return false;
}

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

// Element k as database text: NaN and infinities pass as text too.
void element_text(const Pv& pv, uint32_t k, char* text, size_t size)
{
    Value v;
    if (pv.elements) {
        decode_value(pv.value.type, pv.elements + k * dbr_value_size(pv.value.type), v);
        if (v.type == DBR_CHAR) v.i = int8_t(v.i);
    } else {
        v = pv.value;
    }
    if (v.type == DBR_FLOAT) snprintf(text, size, "%.9g", double(v.f));
    else if (v.type == DBR_DOUBLE) snprintf(text, size, "%.17g", v.d);
    else snprintf(text, size, "%d", int(v.i));
}

// A waveform: its start value from a constant link when the database can
// hold it, else from the init file.
bool write_waveform(FILE* f, FILE* init, const Pv& pv, char* err, size_t err_size)
{
    char text[48];
    fprintf(f, "    field(FTVL, \"%s\")\n    field(NELM, \"%u\")\n", kFtvl[pv.value.type],
            unsigned(pv.nelm));
    if (pv.nord > kMaxConstElements) {
        if (!init) return failure(err, err_size, pv, "its start value is longer than an IOC "
                                  "database holds (200 elements): give -I FILE as well");
        if (pv.no_write || pv.reject_put)
            return failure(err, err_size, pv, "a start value longer than 200 elements is "
                           "written into the IOC through Channel Access: it must be writable");
        fprintf(init, "%s %u ", pv.name, unsigned(pv.nord));
        for (uint32_t k = 0; k < pv.nord; ++k) {
            element_text(pv, k, text, sizeof text);
            fprintf(init, k ? ",%s" : "%s", text);
        }
        fputc('\n', init);
    } else if (pv.nord > 0) {
        fprintf(f, "    field(INP, {const: [");
        for (uint32_t k = 0; k < pv.nord; ++k) {
            element_text(pv, k, text, sizeof text);
            fprintf(f, k ? ", \"%s\"" : "\"%s\"", text);
        }
        fprintf(f, "]})\n");
    }
    if (pv.value.type == DBR_FLOAT || pv.value.type == DBR_DOUBLE)
        fprintf(f, "    field(PREC, \"%d\")\n", pv.precision);
    return true;
}

void write_limit(FILE* f, const char* field, double v)
{
    if (!std::isnan(v)) fprintf(f, "    field(%s, \"%.17g\")\n", field, v);
}

// Units, display limits and alarm limits with their severities.
void write_metadata(FILE* f, const Pv& pv)
{
    if (pv.units[0]) fprintf(f, "    field(EGU, \"%s\")\n", pv.units);
    write_limit(f, "HOPR", pv.disp_hi);
    write_limit(f, "LOPR", pv.disp_lo);
    struct Alarm { const char* field; const char* severity_field; const char* severity; double v; };
    const Alarm alarms[] = {{"HIHI", "HHSV", "MAJOR", pv.hihi}, {"HIGH", "HSV", "MINOR", pv.high},
                            {"LOW", "LSV", "MINOR", pv.low}, {"LOLO", "LLSV", "MAJOR", pv.lolo}};
    for (const Alarm& a : alarms) {
        if (std::isnan(a.v)) continue;
        write_limit(f, a.field, a.v);
        fprintf(f, "    field(%s, \"%s\")\n", a.severity_field, a.severity);
    }
}

// The name of a helper record of pv: NAME:SUFFIX, which must be free.
bool helper_name(const Pv& pv, const char* suffix, char* out, size_t size, char* err,
                 size_t err_size)
{
    snprintf(out, size, "%s:%s", pv.name, suffix);
    if (strlen(out) > kMaxRecordName || find_pv(out) >= 0) {
        snprintf(err, err_size, "%s: its helper record %s is longer than 60 characters or "
                 "is a PV of the file", pv.name, out);
        return false;
    }
    return true;
}

// putdelay=MS: a seq record behind the PV's forward link delays the end of
// its processing; count=US: a calcout adds one to it periodically.
bool write_helpers(FILE* f, const Pv& pv, char* err, size_t err_size)
{
    char name[kMaxPvName + 16];
    if (pv.put_delay_ms > 0) {
        if (!helper_name(pv, "putdelay", name, sizeof name, err, err_size)) return false;
        fprintf(f, "record(seq, \"%s\") {\n    field(DLY1, \"%.3f\")\n    field(DOL1, \"1\")\n"
                   "    field(LNK1, \"%s.DO2 NPP\")\n}\n",
                name, pv.put_delay_ms / 1000.0, name);
    }
    if (pv.count_us >= 0) {
        if (!helper_name(pv, "count", name, sizeof name, err, err_size)) return false;
        const char* scan = kScans[sizeof kScans / sizeof kScans[0] - 1].name;
        for (const ScanPeriod& s : kScans)
            if (s.us >= pv.count_us) { scan = s.name; break; }
        fprintf(f, "record(calcout, \"%s\") {\n    field(SCAN, \"%s\")\n"
                   "    field(INPA, \"%s NPP\")\n    field(CALC, \"A+1\")\n"
                   "    field(OUT, \"%s PP\")\n}\n",
                name, scan, pv.name, pv.name);
    }
    return true;
}

bool write_record(FILE* f, FILE* init, const Pv& pv, char* err, size_t err_size)
{
    std::string_view name = pv.name;
    if (name.size() > kMaxRecordName || name.find_first_of(".\"$") != std::string_view::npos)
        return failure(err, err_size, pv, "an IOC record name has at most 60 characters and "
                       "no '.', '\"' or '$'");
    fprintf(f, "record(%s, \"%s\") {\n", record_name(pv.record), pv.name);
    // Processed once at start: no UDF alarm, and a time stamp.
    fprintf(f, "    field(PINI, \"YES\")\n");
    const Value& v = pv.value;
    char text[48];
    switch (pv.record) {
    case REC_STRINGIN:
        fprintf(f, "    field(VAL, ");
        if (!write_db_string(f, v.s, "the value", pv, err, err_size)) return false;
        fprintf(f, ")\n");
        break;
    case REC_LONGIN: fprintf(f, "    field(VAL, \"%d\")\n", int(v.i)); break;
    case REC_AI:
        element_text(pv, 0, text, sizeof text);
        fprintf(f, "    field(VAL, \"%s\")\n    field(PREC, \"%d\")\n", text, pv.precision);
        break;
    case REC_MBBI:
        fprintf(f, "    field(VAL, \"%d\")\n", int(v.i));
        for (unsigned k = 0; k < pv.n_states; ++k) {
            fprintf(f, "    field(%s, ", kStateFields[k]);
            if (!write_db_string(f, pv.states[k], "a state", pv, err, err_size)) return false;
            fprintf(f, ")\n");
        }
        break;
    case REC_WAVEFORM:
        if (!write_waveform(f, init, pv, err, err_size)) return false;
        break;
    }
    write_metadata(f, pv);
    if (pv.no_read) fprintf(f, "    field(ASG, \"NOACCESS\")\n");
    else if (pv.no_write) fprintf(f, "    field(ASG, \"READONLY\")\n");
    // Database puts to any field but DISP are refused.
    if (pv.reject_put) fprintf(f, "    field(DISP, \"1\")\n");
    if (pv.put_delay_ms > 0) fprintf(f, "    field(FLNK, \"%s:putdelay\")\n", pv.name);
    if (pv.no_answer || pv.delay_ms > 0)
        fprintf(f, "    # %s: answered at once (an IOC has no such fault)\n",
                pv.no_answer ? "noanswer" : "delay=");
    fprintf(f, "}\n");
    return write_helpers(f, pv, err, err_size);
}

bool flushed(FILE* f, const char* what, char* err, size_t err_size)
{
    if (fflush(f) == 0 && !ferror(f)) return true;
    snprintf(err, err_size, "writing the %s failed: %s", what, strerror(errno));
    return false;
}

}  // namespace

bool write_ioc_files(FILE* db, FILE* acf, FILE* init, char* err, size_t err_size)
{
    if (db) {
        fprintf(db, "# Made by ca_server -D from a PV file: the same PVs on a soft IOC.\n");
        for (size_t k = 0; k < pv_count(); ++k)
            if (!write_record(db, init, pv_at(k), err, err_size)) return false;
        if (!flushed(db, "database", err, err_size)) return false;
        if (init && !flushed(init, "start values", err, err_size)) return false;
    }
    if (acf) {
        // Every client may write (which includes read) unless its PV says
        // otherwise.
        fprintf(acf, "ASG(DEFAULT) { RULE(1, WRITE) }\n"
                     "ASG(READONLY) { RULE(1, READ) }\n"
                     "ASG(NOACCESS) { RULE(1, NONE) }\n");
        if (!flushed(acf, "access security file", err, err_size)) return false;
    }
    return true;
}

}  // namespace ca
