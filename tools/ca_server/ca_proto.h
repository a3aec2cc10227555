// Channel Access protocol 4.13: command codes, DBR types, status codes and
// the big-endian message header, as the EPICS client library expects them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ca {

constexpr uint16_t kMinorVersion = 13;  // CA_MINOR_PROTOCOL_REVISION
constexpr size_t kHeaderSize = 16;
constexpr size_t kExtHeaderSize = 24;   // header with the 32-bit size annex
constexpr size_t kMaxString = 40;       // MAX_STRING_SIZE, NUL included
constexpr size_t kMaxUnits = 8;         // MAX_UNITS_SIZE
constexpr size_t kMaxEnumStates = 16;   // MAX_ENUM_STATES
constexpr size_t kMaxEnumString = 26;   // MAX_ENUM_STRING_SIZE
constexpr uint32_t kEpicsEpochOffset = 631152000;  // 1990-01-01 in Unix time
constexpr size_t kMaxTcp = 16384;       // MAX_TCP: the smallest message limit of a circuit

enum Command : uint16_t {
    CMD_VERSION = 0,
    CMD_EVENT_ADD = 1,
    CMD_EVENT_CANCEL = 2,
    CMD_READ = 3,
    CMD_WRITE = 4,
    CMD_SEARCH = 6,
    CMD_EVENTS_OFF = 8,
    CMD_EVENTS_ON = 9,
    CMD_READ_SYNC = 10,
    CMD_ERROR = 11,
    CMD_CLEAR_CHANNEL = 12,
    CMD_NOT_FOUND = 14,
    CMD_READ_NOTIFY = 15,
    CMD_CREATE_CHAN = 18,
    CMD_WRITE_NOTIFY = 19,
    CMD_CLIENT_NAME = 20,
    CMD_HOST_NAME = 21,
    CMD_ACCESS_RIGHTS = 22,
    CMD_ECHO = 23,
    CMD_CREATE_CH_FAIL = 26,
};

// Event masks of a subscription (EVENT_ADD) and of what a record posts.
enum EventMask : uint16_t { DBE_VALUE = 1, DBE_LOG = 2, DBE_ALARM = 4 };

// Search request reply flag (carried in the data type field).
enum SearchReply : uint16_t { SEARCH_DOREPLY = 10, SEARCH_DONTREPLY = 5 };

enum AccessRight : uint32_t { ACCESS_READ = 1u, ACCESS_WRITE = 2u };

// DBR types: plain 0..6, then STS_ +7, TIME_ +14, GR_ +21, CTRL_ +28.
enum DbrType : uint16_t {
    DBR_STRING = 0, DBR_SHORT = 1, DBR_FLOAT = 2, DBR_ENUM = 3,
    DBR_CHAR = 4, DBR_LONG = 5, DBR_DOUBLE = 6,
    DBR_PUT_ACKT = 35, DBR_PUT_ACKS = 36, DBR_STSACK_STRING = 37,
    DBR_CLASS_NAME = 38,
};
constexpr unsigned kPlainTypes = 7;
constexpr unsigned kLastType = DBR_CLASS_NAME;

enum DbrKind : uint8_t { KIND_PLAIN, KIND_STS, KIND_TIME, KIND_GR, KIND_CTRL };

// Status codes: (message number << 3) | severity, as in caerr.h.
enum EcaStatus : uint32_t {
    ECA_NORMAL = 1,
    ECA_ALLOCMEM = 48,
    ECA_TOLARGE = 72,
    ECA_BADTYPE = 114,
    ECA_GETFAIL = 152,
    ECA_PUTFAIL = 160,
    ECA_BADCOUNT = 176,
    ECA_NORDACCESS = 368,
    ECA_NOWTACCESS = 376,
    ECA_BADCHID = 410,
};

// Decoded message header (sizes already widened from the extended form).
struct Header {
    uint16_t command;
    uint32_t payload_size;
    uint16_t data_type;
    uint32_t count;
    uint32_t param1;  // m_cid
    uint32_t param2;  // m_available
};

inline uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline size_t pad8(size_t n) { return (n + 7u) & ~size_t(7u); }

// Parses a header at p (avail bytes). Returns the header length (16 or 24),
// or 0 when more bytes are needed.
size_t decode_header(const uint8_t* p, size_t avail, Header& h);

// Writes a header for a payload of payload_size bytes (already padded);
// uses the extended form, as an IOC does, when the size or the count is
// 0xffff or more. Returns its length.
size_t encode_header(uint8_t* p, const Header& h);

const char* command_name(uint16_t command);

// Wire layout of a DBR type: kind, value type and where the value sits.
struct DbrLayout {
    DbrKind kind;
    DbrType value_type;
    uint16_t size;          // dbr_size: bytes for one element
    uint16_t value_offset;  // offset of the value in that structure
};
bool dbr_layout(uint16_t type, DbrLayout& out);  // false for unknown types
const char* dbr_type_name(uint16_t type);
size_t dbr_value_size(DbrType plain);
// dbr_size_n: bytes of a DBR type with count elements (count 0 counts as
// one, as in db_access.h); 0 for unknown types.
size_t dbr_size_n(uint16_t type, uint32_t count);

}  // namespace ca
