// Header encoding/decoding and the DBR structure table.
#include "ca_proto.h"

namespace ca {

size_t decode_header(const uint8_t* p, size_t avail, Header& h)
{
    if (avail < kHeaderSize) return 0;
    h.command = get16(p);
    h.payload_size = get16(p + 2);
    h.data_type = get16(p + 4);
    h.count = get16(p + 6);
    h.param1 = get32(p + 8);
    h.param2 = get32(p + 12);
    if (h.payload_size != 0xffffu) return kHeaderSize;
    if (avail < kExtHeaderSize) return 0;
    h.payload_size = get32(p + 16);
    h.count = get32(p + 20);
    return kExtHeaderSize;
}

size_t encode_header(uint8_t* p, const Header& h)
{
    bool extended = h.payload_size >= 0xffffu || h.count >= 0xffffu;
    put16(p, h.command);
    put16(p + 2, extended ? 0xffffu : uint16_t(h.payload_size));
    put16(p + 4, h.data_type);
    put16(p + 6, extended ? 0u : uint16_t(h.count));
    put32(p + 8, h.param1);
    put32(p + 12, h.param2);
    if (!extended) return kHeaderSize;
    put32(p + 16, h.payload_size);
    put32(p + 20, h.count);
    return kExtHeaderSize;
}

namespace {

struct CommandName { uint16_t code; const char* name; };
constexpr CommandName kCommandNames[] = {
    {CMD_VERSION, "VERSION"}, {CMD_EVENT_ADD, "EVENT_ADD"},
    {CMD_EVENT_CANCEL, "EVENT_CANCEL"}, {CMD_READ, "READ"},
    {CMD_WRITE, "WRITE"}, {CMD_SEARCH, "SEARCH"},
    {CMD_EVENTS_OFF, "EVENTS_OFF"}, {CMD_EVENTS_ON, "EVENTS_ON"},
    {CMD_READ_SYNC, "READ_SYNC"}, {CMD_ERROR, "ERROR"},
    {CMD_CLEAR_CHANNEL, "CLEAR_CHANNEL"}, {CMD_NOT_FOUND, "NOT_FOUND"},
    {CMD_READ_NOTIFY, "READ_NOTIFY"}, {CMD_CREATE_CHAN, "CREATE_CHAN"},
    {CMD_WRITE_NOTIFY, "WRITE_NOTIFY"}, {CMD_CLIENT_NAME, "CLIENT_NAME"},
    {CMD_HOST_NAME, "HOST_NAME"}, {CMD_ACCESS_RIGHTS, "ACCESS_RIGHTS"},
    {CMD_ECHO, "ECHO"}, {CMD_CREATE_CH_FAIL, "CREATE_CH_FAIL"},
};

// dbr_size and dbr_value_offset of db_access.h, for types 0..38.
struct LayoutRow { uint16_t size; uint16_t value_offset; };
constexpr LayoutRow kLayouts[kLastType + 1] = {
    {40, 0}, {2, 0}, {4, 0}, {2, 0}, {1, 0}, {4, 0}, {8, 0},            // plain
    {44, 4}, {6, 4}, {8, 4}, {6, 4}, {6, 5}, {8, 4}, {16, 8},           // STS
    {52, 12}, {16, 14}, {16, 12}, {16, 14}, {16, 15}, {16, 12}, {24, 16},  // TIME
    {44, 4}, {26, 24}, {44, 40}, {424, 422}, {20, 19}, {40, 36}, {72, 64},  // GR
    {44, 4}, {30, 28}, {52, 48}, {424, 422}, {22, 21}, {48, 44}, {88, 80},  // CTRL
    {2, 0}, {2, 0}, {48, 8}, {40, 0},  // PUT_ACKT, PUT_ACKS, STSACK_STRING, CLASS_NAME
};

constexpr const char* kTypeNames[kLastType + 1] = {
    "DBR_STRING", "DBR_SHORT", "DBR_FLOAT", "DBR_ENUM", "DBR_CHAR", "DBR_LONG", "DBR_DOUBLE",
    "DBR_STS_STRING", "DBR_STS_SHORT", "DBR_STS_FLOAT", "DBR_STS_ENUM", "DBR_STS_CHAR",
    "DBR_STS_LONG", "DBR_STS_DOUBLE",
    "DBR_TIME_STRING", "DBR_TIME_SHORT", "DBR_TIME_FLOAT", "DBR_TIME_ENUM", "DBR_TIME_CHAR",
    "DBR_TIME_LONG", "DBR_TIME_DOUBLE",
    "DBR_GR_STRING", "DBR_GR_SHORT", "DBR_GR_FLOAT", "DBR_GR_ENUM", "DBR_GR_CHAR",
    "DBR_GR_LONG", "DBR_GR_DOUBLE",
    "DBR_CTRL_STRING", "DBR_CTRL_SHORT", "DBR_CTRL_FLOAT", "DBR_CTRL_ENUM", "DBR_CTRL_CHAR",
    "DBR_CTRL_LONG", "DBR_CTRL_DOUBLE",
    "DBR_PUT_ACKT", "DBR_PUT_ACKS", "DBR_STSACK_STRING", "DBR_CLASS_NAME",
};

constexpr uint8_t kValueSizes[kPlainTypes] = {40, 2, 4, 2, 1, 4, 8};

}  // namespace

const char* command_name(uint16_t command)
{
    for (const CommandName& c : kCommandNames)
        if (c.code == command) return c.name;
    return "UNKNOWN";
}

bool dbr_layout(uint16_t type, DbrLayout& out)
{
    if (type > kLastType) return false;
    out.size = kLayouts[type].size;
    out.value_offset = kLayouts[type].value_offset;
    if (type < 35) {
        out.kind = DbrKind(type / kPlainTypes);
        out.value_type = DbrType(type % kPlainTypes);
    } else {
        out.kind = KIND_STS;
        out.value_type = (type == DBR_PUT_ACKT || type == DBR_PUT_ACKS) ? DBR_SHORT : DBR_STRING;
        if (type != DBR_STSACK_STRING) out.kind = KIND_PLAIN;
    }
    return true;
}

const char* dbr_type_name(uint16_t type)
{
    return type <= kLastType ? kTypeNames[type] : "DBR_?";
}

size_t dbr_value_size(DbrType plain) { return plain < kPlainTypes ? kValueSizes[plain] : 0; }

size_t dbr_size_n(uint16_t type, uint32_t count)
{
    DbrLayout layout;
    if (!dbr_layout(type, layout)) return 0;
    return layout.size + (count > 1 ? size_t(count - 1) * dbr_value_size(layout.value_type) : 0);
}

}  // namespace ca
