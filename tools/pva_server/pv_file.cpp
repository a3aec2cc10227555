// Reading pva_server's PV lines.
#include "pv_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pvs {

namespace pvd = epics::pvData;

namespace {

struct TypeName {
    std::string_view name;
    pvd::ScalarType type;
};
constexpr TypeName kTypes[] = {
    {"boolean", pvd::pvBoolean}, {"int8", pvd::pvByte},     {"byte", pvd::pvByte},
    {"uint8", pvd::pvUByte},     {"ubyte", pvd::pvUByte},   {"int16", pvd::pvShort},
    {"short", pvd::pvShort},     {"uint16", pvd::pvUShort}, {"ushort", pvd::pvUShort},
    {"int", pvd::pvInt},         {"int32", pvd::pvInt},     {"uint32", pvd::pvUInt},
    {"uint", pvd::pvUInt},       {"long", pvd::pvLong},     {"int64", pvd::pvLong},
    {"uint64", pvd::pvULong},    {"ulong", pvd::pvULong},   {"float", pvd::pvFloat},
    {"float32", pvd::pvFloat},   {"double", pvd::pvDouble}, {"float64", pvd::pvDouble},
    {"string", pvd::pvString},
};

constexpr size_t kMaxTokens = 256;
constexpr size_t kMaxDims = 3;

// Splits a line at blanks; a double-quoted part keeps its blanks (the quotes
// go).  '#' outside quotes starts a comment.
bool tokenize(std::string_view line, std::vector<std::string>& out, char* err, size_t errlen)
{
    size_t k = 0;
    while (k < line.size()) {
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t' || line[k] == '\r')) ++k;
        if (k >= line.size() || line[k] == '#') break;
        std::string token;
        while (k < line.size() && line[k] != ' ' && line[k] != '\t' && line[k] != '\r') {
            if (line[k] == '"') {
                size_t end = line.find('"', k + 1);
                if (end == std::string_view::npos) {
                    snprintf(err, errlen, "a quote is not closed");
                    return false;
                }
                token.append(line.substr(k + 1, end - k - 1));
                k = end + 1;
            } else {
                token.push_back(line[k++]);
            }
        }
        if (out.size() == kMaxTokens) {
            snprintf(err, errlen, "more than %zu words", kMaxTokens);
            return false;
        }
        out.push_back(std::move(token));
    }
    return true;
}

bool parse_double(std::string_view text, double& out)
{
    char buf[64];
    if (text.empty() || text.size() >= sizeof buf) return false;
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    char* end;
    errno = 0;
    out = strtod(buf, &end);
    return *end == '\0' && errno == 0 && std::isfinite(out);
}

bool parse_long(std::string_view text, long lo, long hi, long& out)
{
    char buf[32];
    if (text.empty() || text.size() >= sizeof buf) return false;
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    char* end;
    errno = 0;
    out = strtol(buf, &end, 10);
    return *end == '\0' && errno == 0 && out >= lo && out <= hi;
}

// "2048x2048" -> {2048, 2048}
bool parse_dims(std::string_view text, std::vector<size_t>& dims)
{
    dims.clear();
    while (!text.empty()) {
        size_t x = text.find('x');
        long n;
        if (!parse_long(text.substr(0, x), 1, 1L << 24, n) || dims.size() == kMaxDims) return false;
        dims.push_back(size_t(n));
        if (x == std::string_view::npos) break;
        text.remove_prefix(x + 1);
        if (text.empty()) return false;
    }
    return !dims.empty();
}

// "PATH:TYPE=VALUE" (TYPE may end in [] in a structure)
bool parse_field(std::string_view token, bool allow_scalar, FieldSpec& f, char* err, size_t errlen)
{
    size_t colon = token.find(':');
    size_t eq = token.find('=');
    if (colon == std::string_view::npos || eq == std::string_view::npos || eq < colon || colon == 0) {
        snprintf(err, errlen, "'%.*s' is not PATH:TYPE=VALUE", int(token.size()), token.data());
        return false;
    }
    f.path = std::string(token.substr(0, colon));
    std::string_view type = token.substr(colon + 1, eq - colon - 1);
    f.array = !allow_scalar;
    if (type.size() > 2 && type.substr(type.size() - 2) == "[]") {
        f.array = true;
        type.remove_suffix(2);
    }
    if (!scalar_type(type, f.type)) {
        snprintf(err, errlen, "unknown type '%.*s' in '%.*s'", int(type.size()), type.data(),
                 int(token.size()), token.data());
        return false;
    }
    f.value = std::string(token.substr(eq + 1));
    for (size_t k = 0; k < f.path.size(); ++k) {
        char c = f.path[k];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                  (k > 0 && c >= '0' && c <= '9' && f.path[k - 1] != '.') ||
                  (c == '.' && k > 0 && k + 1 < f.path.size() && f.path[k - 1] != '.');
        if (!ok) {
            snprintf(err, errlen, "'%s' is not a field name (letters, digits, _ and . between names)",
                     f.path.c_str());
            return false;
        }
    }
    return true;
}

// The options every kind may have, and those of scalars and images.
bool parse_option(std::string_view token, PvSpec& pv, char* err, size_t errlen)
{
    if (token == "readonly") {
        pv.readonly = true;
        return true;
    }
    size_t eq = token.find('=');
    std::string_view key = token.substr(0, eq);
    std::string_view val = eq == std::string_view::npos ? std::string_view() : token.substr(eq + 1);
    if (eq == std::string_view::npos) {
        snprintf(err, errlen, "unknown option '%.*s'", int(token.size()), token.data());
        return false;
    }
    bool scalar_like = pv.kind == Kind::Scalar || pv.kind == Kind::Array;
    bool numeric = scalar_like && pv.type != pvd::pvString && pv.type != pvd::pvBoolean;
    long n;
    double d;
    if (key == "putdelay") {
        if (!parse_long(val, 0, 600000, n)) {
            snprintf(err, errlen, "putdelay is milliseconds from 0 to 600000, not '%.*s'",
                     int(val.size()), val.data());
            return false;
        }
        pv.put_delay_ms = int(n);
    } else if (key == "rate") {
        if (!(pv.kind == Kind::Image || (pv.kind == Kind::Scalar && numeric))) {
            snprintf(err, errlen, "rate= is for numeric scalars and images");
            return false;
        }
        if (val == "max") {
            pv.rate_hz = -1;
        } else if (!parse_double(val, d) || d <= 0 || d > 100000) {
            snprintf(err, errlen, "rate is updates a second (above 0, at most 100000) or max, not '%.*s'",
                     int(val.size()), val.data());
            return false;
        } else {
            pv.rate_hz = d;
        }
    } else if (pv.kind == Kind::Enum && key == "choices") {
        pv.choices = split_list(val);
    } else if (pv.kind == Kind::Image && key == "type") {
        if (!scalar_type(val, pv.type) || pv.type == pvd::pvString || pv.type == pvd::pvBoolean) {
            snprintf(err, errlen, "an image's type is numeric (uint8, uint16, float64...), not '%.*s'",
                     int(val.size()), val.data());
            return false;
        }
    } else if (pv.kind == Kind::Image && key == "dims") {
        if (!parse_dims(val, pv.dims)) {
            snprintf(err, errlen, "dims is 1 to %zu sizes like 2048x2048, not '%.*s'", kMaxDims,
                     int(val.size()), val.data());
            return false;
        }
    } else if (pv.kind == Kind::Image && key == "codec") {
        pv.codec = std::string(val);
    } else if (scalar_like && key == "units") {
        pv.units = std::string(val);
    } else if (scalar_like && key == "desc") {
        pv.description = std::string(val);
    } else if (scalar_like && key == "format") {
        pv.format = std::string(val);
    } else if (scalar_like && key == "message") {
        pv.message = std::string(val);
    } else if (scalar_like && (key == "severity" || key == "status")) {
        if (!parse_long(val, 0, key == "severity" ? 3 : 7, n)) {
            snprintf(err, errlen, "%.*s is %s, not '%.*s'", int(key.size()), key.data(),
                     key == "severity" ? "0 to 3" : "0 to 7", int(val.size()), val.data());
            return false;
        }
        (key == "severity" ? pv.severity : pv.status) = int(n);
    } else if (numeric && (key == "low" || key == "high" || key == "step")) {
        if (!parse_double(val, d)) {
            snprintf(err, errlen, "%.*s is a number, not '%.*s'", int(key.size()), key.data(),
                     int(val.size()), val.data());
            return false;
        }
        if (key == "step") {
            pv.step = d;
        } else {
            (key == "low" ? pv.low : pv.high) = d;
            pv.has_limits = true;
        }
    } else {
        snprintf(err, errlen, "unknown option '%.*s' for this kind of PV", int(key.size()), key.data());
        return false;
    }
    return true;
}

}  // namespace

bool scalar_type(std::string_view name, pvd::ScalarType& type)
{
    for (const TypeName& t : kTypes)
        if (t.name == name) {
            type = t.type;
            return true;
        }
    return false;
}

std::vector<std::string> split_list(std::string_view text)
{
    std::vector<std::string> items;
    if (text.empty()) return items;
    for (;;) {
        size_t comma = text.find(',');
        items.emplace_back(text.substr(0, comma));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return items;
}

bool parse_pv_line(std::string_view line, PvSpec& pv, char* err, size_t errlen)
{
    pv = PvSpec();
    std::vector<std::string> t;
    if (!tokenize(line, t, err, errlen)) return false;
    if (t.empty()) return true;
    if (t.size() < 2) {
        snprintf(err, errlen, "'%s' has no kind (NAME KIND [VALUE] [OPTION ...])", t[0].c_str());
        return false;
    }
    pv.name = t[0];
    std::string_view kind = t[1];
    bool takes_value = true;
    if (kind == "enum") {
        pv.kind = Kind::Enum;
        pv.type = pvd::pvInt;
    } else if (kind == "table") {
        pv.kind = Kind::Table;
        takes_value = false;
    } else if (kind == "struct") {
        pv.kind = Kind::Struct;
        takes_value = false;
    } else if (kind == "image") {
        pv.kind = Kind::Image;
        pv.type = pvd::pvUByte;
        pv.dims = {64, 64};
        takes_value = false;
    } else if (kind.size() > 2 && kind.substr(kind.size() - 2) == "[]") {
        pv.kind = Kind::Array;
        if (!scalar_type(kind.substr(0, kind.size() - 2), pv.type)) {
            snprintf(err, errlen, "unknown kind '%s'", t[1].c_str());
            return false;
        }
    } else if (!scalar_type(kind, pv.type)) {
        snprintf(err, errlen, "unknown kind '%s' (a type, TYPE[], enum, table, struct or image)",
                 t[1].c_str());
        return false;
    }
    size_t k = 2;
    if (takes_value) {
        if (t.size() < 3) {
            snprintf(err, errlen, "%s has no start value", pv.name.c_str());
            return false;
        }
        pv.value = t[k++];
    }
    for (; k < t.size(); ++k) {
        std::string_view tok = t[k];
        size_t colon = tok.find(':'), eq = tok.find('=');
        if ((pv.kind == Kind::Table || pv.kind == Kind::Struct) && colon != std::string_view::npos &&
            (eq == std::string_view::npos || colon < eq)) {
            FieldSpec f;
            if (!parse_field(tok, pv.kind == Kind::Struct, f, err, errlen)) return false;
            if (pv.kind == Kind::Table && f.path.find('.') != std::string::npos) {
                snprintf(err, errlen, "a column name has no '.': '%s'", f.path.c_str());
                return false;
            }
            for (const FieldSpec& g : pv.fields) {
                bool clash = g.path == f.path ||
                             (f.path.size() > g.path.size() && f.path.compare(0, g.path.size(), g.path) == 0 &&
                              f.path[g.path.size()] == '.') ||
                             (g.path.size() > f.path.size() && g.path.compare(0, f.path.size(), f.path) == 0 &&
                              g.path[f.path.size()] == '.');
                if (clash) {
                    snprintf(err, errlen, "field '%s' clashes with '%s'", f.path.c_str(), g.path.c_str());
                    return false;
                }
            }
            pv.fields.push_back(std::move(f));
        } else if (!parse_option(tok, pv, err, errlen)) {
            return false;
        }
    }
    if ((pv.kind == Kind::Table || pv.kind == Kind::Struct) && pv.fields.empty()) {
        snprintf(err, errlen, "%s has no %s", pv.name.c_str(),
                 pv.kind == Kind::Table ? "column (NAME:TYPE=V,V,...)" : "field (PATH:TYPE=VALUE)");
        return false;
    }
    if (pv.kind == Kind::Table) {
        size_t rows = split_list(pv.fields[0].value).size();
        for (const FieldSpec& f : pv.fields)
            if (split_list(f.value).size() != rows) {
                snprintf(err, errlen, "column %s has %zu values, column %s %zu",
                         f.path.c_str(), split_list(f.value).size(), pv.fields[0].path.c_str(), rows);
                return false;
            }
    }
    if (pv.kind == Kind::Enum) {
        long index;
        if (pv.choices.empty()) {
            snprintf(err, errlen, "%s has no choices=A,B,...", pv.name.c_str());
            return false;
        }
        if (!parse_long(pv.value, 0, long(pv.choices.size()) - 1, index)) {
            snprintf(err, errlen, "start index '%s' is not one of 0..%zu", pv.value.c_str(),
                     pv.choices.size() - 1);
            return false;
        }
    }
    return true;
}

bool load_pv_file(const char* path, std::vector<PvSpec>& pvs, char* err, size_t errlen)
{
    FILE* f = fopen(path, "r");
    if (!f) {
        snprintf(err, errlen, "cannot read %s: %s", path, strerror(errno));
        return false;
    }
    char line[8192];
    char why[512];
    int number = 0;
    bool ok = true;
    while (ok && fgets(line, sizeof line, f)) {
        ++number;
        size_t len = strlen(line);
        if (len == sizeof line - 1 && line[len - 1] != '\n') {
            snprintf(err, errlen, "%s:%d: line longer than %zu characters", path, number, sizeof line - 2);
            ok = false;
            break;
        }
        if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
        PvSpec pv;
        if (!parse_pv_line(line, pv, why, sizeof why)) {
            snprintf(err, errlen, "%s:%d: %s", path, number, why);
            ok = false;
        } else if (!pv.name.empty()) {
            snprintf(why, sizeof why, "%s:%d", path, number);
            pv.where = why;
            pvs.push_back(std::move(pv));
        }
    }
    if (ok && ferror(f)) {
        snprintf(err, errlen, "reading %s failed: %s", path, strerror(errno));
        ok = false;
    }
    fclose(f);
    return ok;
}

}  // namespace pvs
