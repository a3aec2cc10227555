// What the PV file parser's pieces share: the line being read, how it
// fails, and the start values.
#pragma once

#include <cstddef>
#include <string_view>

#include "pv_store.h"

namespace ca {

struct Line {
    const char* path;
    unsigned number;
    char* err;
    size_t err_size;
};

// Reports "FILE:LINE: what 'token' (hint)" into line.err; token and hint
// are optional. Returns false.
bool fail(const Line& line, const char* what, std::string_view token = {},
          const char* hint = nullptr);

// A decimal number of at most 10 digits, up to max.
bool parse_uint(std::string_view s, unsigned long max, unsigned long& out);

// One number (or, for a scalar enum, a state name) in the PV's native type:
// whole, in range for its type.
bool parse_value(const Line& line, std::string_view text, const Pv& pv, Value& out);

// An array's start value (text, quoted or not) into its elements and
// current length; len is len=L, UINT32_MAX when not given.
bool parse_array(const Line& line, std::string_view text, bool quoted, Pv& pv, uint32_t len);

}  // namespace ca
