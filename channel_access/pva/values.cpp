// PV Access values as Tcl values, and back.
#include "values.h"
#include "../core/forms.h"
#include "../core/meta.h"
#include "../core/text.h"

#include <cfloat>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tessaly {
namespace pva {
namespace {

Tcl_Obj* textObj(const std::string& text) { return newTextObj(text.data(), text.size()); }

// A float as the shortest text that reads back as the same float.
Tcl_Obj* floatObj(float value) {
    char text[32];
    for (int digits = FLT_DIG; digits <= 9; ++digits) {
        snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (strtof(text, nullptr) == value) break;
    }
    return Tcl_NewDoubleObj(strtod(text, nullptr));
}

Tcl_Obj* unsignedObj(uint64_t value) {
    if (value <= static_cast<uint64_t>(std::numeric_limits<Tcl_WideInt>::max()))
        return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(value));
    char text[24];
    snprintf(text, sizeof text, "%" PRIu64, value);
    return Tcl_NewStringObj(text, -1);  // Tcl reads it as a bignum
}

Tcl_Obj* scalarObj(const pvd::PVScalar& scalar) {
    switch (scalar.getScalar()->getScalarType()) {
    case pvd::pvBoolean: return Tcl_NewIntObj(scalar.getAs<pvd::boolean>() ? 1 : 0);
    case pvd::pvByte:
    case pvd::pvShort:
    case pvd::pvInt:
    case pvd::pvLong: return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(scalar.getAs<pvd::int64>()));
    case pvd::pvUByte:
    case pvd::pvUShort:
    case pvd::pvUInt:
    case pvd::pvULong: return unsignedObj(scalar.getAs<pvd::uint64>());
    case pvd::pvFloat: return floatObj(scalar.getAs<float>());
    case pvd::pvDouble: return Tcl_NewDoubleObj(scalar.getAs<double>());
    case pvd::pvString: return textObj(scalar.getAs<std::string>());
    }
    return Tcl_NewObj();
}

template <typename T, typename Make>
Tcl_Obj* listOf(const pvd::PVScalarArray& array, std::size_t count, Make make) {
    pvd::shared_vector<const T> values;
    array.getAs(values);
    std::size_t n = count < values.size() ? count : values.size();
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    for (std::size_t i = 0; i < n; ++i) Tcl_ListObjAppendElement(nullptr, list, make(values[i]));
    return list;
}

Tcl_Obj* arrayObj(const pvd::PVScalarArray& array, const Form& form) {
    std::size_t count = form.count > 0 ? static_cast<std::size_t>(form.count) : array.getLength();
    pvd::ScalarType type = array.getScalarArray()->getElementType();
    if (form.text && (type == pvd::pvByte || type == pvd::pvUByte)) {
        pvd::shared_vector<const pvd::int8> bytes;
        array.getAs(bytes);
        std::size_t n = count < bytes.size() ? count : bytes.size();
        const char* text = reinterpret_cast<const char*>(bytes.data());
        return newTextObj(text, strnlen(text, n));
    }
    switch (type) {
    case pvd::pvBoolean:
        return listOf<pvd::boolean>(array, count, [](pvd::boolean v) { return Tcl_NewIntObj(v ? 1 : 0); });
    case pvd::pvByte:
    case pvd::pvShort:
    case pvd::pvInt:
    case pvd::pvLong:
        return listOf<pvd::int64>(array, count, [](pvd::int64 v) { return Tcl_NewWideIntObj(v); });
    case pvd::pvUByte:
    case pvd::pvUShort:
    case pvd::pvUInt:
    case pvd::pvULong: return listOf<pvd::uint64>(array, count, unsignedObj);
    case pvd::pvFloat: return listOf<float>(array, count, floatObj);
    case pvd::pvDouble: return listOf<double>(array, count, [](double v) { return Tcl_NewDoubleObj(v); });
    case pvd::pvString: return listOf<std::string>(array, count, textObj);
    }
    return Tcl_NewListObj(0, nullptr);
}

// An enum_t: a structure of an int index and a string array of choices.
bool isEnum(const pvd::PVStructure& field) {
    auto index = field.getSubField<pvd::PVInt>("index");
    auto choices = field.getSubField<pvd::PVStringArray>("choices");
    return index && choices;
}

Tcl_Obj* enumObj(const pvd::PVStructure& field, const Form& form) {
    int32_t index = field.getSubField<pvd::PVInt>("index")->get();
    if (form.index) return Tcl_NewIntObj(index);
    pvd::PVStringArray::const_svector choices = field.getSubField<pvd::PVStringArray>("choices")->view();
    if (index >= 0 && static_cast<std::size_t>(index) < choices.size()) return textObj(choices[index]);
    return Tcl_NewIntObj(index);  // a choice the server did not name
}

Tcl_Obj* fieldObj(const pvd::PVField& field, const Form& form);

Tcl_Obj* structureObj(const pvd::PVStructure& structure, const Form& form) {
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    for (const pvd::PVFieldPtr& member : structure.getPVFields())
        putKey(dict, member->getFieldName().c_str(), fieldObj(*member, form));
    return dict;
}

Tcl_Obj* fieldObj(const pvd::PVField& field, const Form& form) {
    switch (field.getField()->getType()) {
    case pvd::scalar: return scalarObj(static_cast<const pvd::PVScalar&>(field));
    case pvd::scalarArray: return arrayObj(static_cast<const pvd::PVScalarArray&>(field), form);
    case pvd::structure: {
        const auto& structure = static_cast<const pvd::PVStructure&>(field);
        return isEnum(structure) ? enumObj(structure, form) : structureObj(structure, form);
    }
    case pvd::structureArray: {
        Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
        for (const pvd::PVStructurePtr& element : static_cast<const pvd::PVStructureArray&>(field).view())
            Tcl_ListObjAppendElement(nullptr, list, element ? structureObj(*element, form) : Tcl_NewObj());
        return list;
    }
    case pvd::union_: {
        auto chosen = static_cast<const pvd::PVUnion&>(field).get();
        return chosen ? fieldObj(*chosen, form) : Tcl_NewObj();
    }
    case pvd::unionArray: {
        Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
        for (const pvd::PVUnionPtr& element : static_cast<const pvd::PVUnionArray&>(field).view()) {
            pvd::PVFieldPtr chosen = element ? element->get() : pvd::PVFieldPtr();
            Tcl_ListObjAppendElement(nullptr, list, chosen ? fieldObj(*chosen, form) : Tcl_NewObj());
        }
        return list;
    }
    }
    return Tcl_NewObj();
}

bool idIs(const pvd::PVStructure& root, const char* kind) {
    const std::string& id = root.getStructure()->getID();
    return id.compare(0, strlen(kind), kind) == 0;
}

double secondsOf(const pvd::PVStructure& stamp) {
    auto seconds = stamp.getSubField<pvd::PVLong>("secondsPastEpoch");
    auto nanoseconds = stamp.getSubField<pvd::PVInt>("nanoseconds");
    return (seconds ? static_cast<double>(seconds->get()) : 0) +
           (nanoseconds ? static_cast<double>(nanoseconds->get()) * 1e-9 : 0);
}

Tcl_Obj* stampObj(const pvd::PVStructure& root, const char* name) {
    auto stamp = root.getSubField<pvd::PVStructure>(name);
    return Tcl_NewDoubleObj(stamp ? secondsOf(*stamp) : 0);
}

std::tr1::shared_ptr<const pvd::PVScalarArray> pixelArray(const pvd::PVStructure& root) {
    auto value = root.getSubField<pvd::PVUnion>("value");
    return value ? value->get<pvd::PVScalarArray>() : std::tr1::shared_ptr<const pvd::PVScalarArray>();
}

// An image's bytes as a byte array: copied once, into `pixels`'s byte array
// when nothing else holds it.
Tcl_Obj* bytesObj(const pvd::shared_vector<const void>& raw, Pixels* pixels) {
    const auto* data = static_cast<const unsigned char*>(raw.data());
    auto size = static_cast<TclSize>(raw.size());
    if (pixels == nullptr) return Tcl_NewByteArrayObj(data, size);
    if (pixels->bytes != nullptr && !Tcl_IsShared(pixels->bytes)) {
        // Null when a script made it text that is not bytes (Tcl 9).
        if (unsigned char* into = Tcl_SetByteArrayLength(pixels->bytes, size)) {
            if (size > 0) memcpy(into, data, static_cast<std::size_t>(size));
            return pixels->bytes;
        }
    }
    if (pixels->bytes != nullptr) Tcl_DecrRefCount(pixels->bytes);
    pixels->bytes = Tcl_NewByteArrayObj(data, size);
    Tcl_IncrRefCount(pixels->bytes);
    return pixels->bytes;
}

// The pixels of an NTNDArray: the raw bytes of its value union's array.
Tcl_Obj* imageObj(const pvd::PVStructure& root, Pixels* pixels) {
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    std::tr1::shared_ptr<const pvd::PVScalarArray> array = pixelArray(root);
    if (pixels != nullptr && !pixels->fresh && pixels->bytes != nullptr) {
        putKey(dict, "value", pixels->bytes);  // the update left the pixels alone
    } else if (array) {
        pvd::shared_vector<const void> raw;
        array->getAs(raw);  // the array itself, untyped, not copied
        putKey(dict, "value", bytesObj(raw, pixels));
    } else {
        putKey(dict, "value", Tcl_NewByteArrayObj(nullptr, 0));
    }
    putKey(dict, "type", Tcl_NewStringObj(array ? pvd::ScalarTypeFunc::name(array->getScalarArray()->getElementType()) : "", -1));
    Tcl_Obj* sizes = Tcl_NewListObj(0, nullptr);
    if (auto dimensions = root.getSubField<pvd::PVStructureArray>("dimension"))
        for (const pvd::PVStructurePtr& dimension : dimensions->view())
            if (auto size = dimension ? dimension->getSubField<pvd::PVInt>("size") : pvd::PVIntPtr())
                Tcl_ListObjAppendElement(nullptr, sizes, Tcl_NewIntObj(size->get()));
    putKey(dict, "dimension", sizes);
    auto uniqueId = root.getSubField<pvd::PVInt>("uniqueId");
    putKey(dict, "uniqueId", Tcl_NewIntObj(uniqueId ? uniqueId->get() : 0));
    putKey(dict, "timestamp", stampObj(root, "timeStamp"));
    auto codec = root.getSubField<pvd::PVString>("codec.name");
    putKey(dict, "codec", textObj(codec ? codec->get() : std::string()));
    Tcl_Obj* attributes = Tcl_NewListObj(0, nullptr);
    if (auto list = root.getSubField<pvd::PVStructureArray>("attribute")) {
        Form plain;
        for (const pvd::PVStructurePtr& attribute : list->view()) {
            if (!attribute) continue;
            auto name = attribute->getSubField<pvd::PVString>("name");
            auto content = attribute->getSubField("value");
            if (!name) continue;
            Tcl_ListObjAppendElement(nullptr, attributes, textObj(name->get()));
            Tcl_ListObjAppendElement(nullptr, attributes, content ? fieldObj(*content, plain) : Tcl_NewObj());
        }
    }
    putKey(dict, "attribute", attributes);
    return dict;
}

Tcl_Obj* tableObj(const pvd::PVStructure& root, const Form& form) {
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    auto labels = root.getSubField<pvd::PVStringArray>("labels");
    putKey(dict, "labels", labels ? arrayObj(*labels, Form{}) : Tcl_NewListObj(0, nullptr));
    auto columns = root.getSubField<pvd::PVStructure>("value");
    putKey(dict, "columns", columns ? structureObj(*columns, form) : Tcl_NewListObj(0, nullptr));
    return dict;
}

Tcl_Obj* plainValue(const pvd::PVStructure& root, const Form& form, Pixels* pixels) {
    if (idIs(root, "epics:nt/NTNDArray:")) return imageObj(root, pixels);
    if (idIs(root, "epics:nt/NTTable:")) return tableObj(root, form);
    if (auto value = root.getSubField("value")) return fieldObj(*value, form);
    return structureObj(root, form);
}

constexpr const char* kSeverities[] = {"NO_ALARM", "MINOR", "MAJOR", "INVALID"};
constexpr const char* kStatuses[] = {"NO_ALARM", "DEVICE", "DRIVER", "RECORD", "DB", "CONF", "UNDEFINED", "CLIENT"};

template <std::size_t N>
Tcl_Obj* codeObj(const char* const (&names)[N], int code) {
    if (code >= 0 && static_cast<std::size_t>(code) < N) return Tcl_NewStringObj(names[code], -1);
    return Tcl_NewIntObj(code);
}

// Whether the server set a field: its bit, or a bit of a structure that
// holds it.
bool isSet(const pvd::PVField* field, const pvd::BitSet* valid) {
    if (valid == nullptr) return true;
    for (; field != nullptr; field = field->getParent())
        if (valid->get(static_cast<uint32_t>(field->getFieldOffset()))) return true;
    return false;
}

// A field of the root that the server set, or null.
template <typename Field>
std::tr1::shared_ptr<const Field> setField(const pvd::PVStructure& root, const char* path, const pvd::BitSet* valid) {
    auto field = root.getSubField<Field>(path);
    return field && isSet(field.get(), valid) ? field : std::tr1::shared_ptr<const Field>();
}

// {low high} of two fields of a structure, when it has both.
void putPair(Tcl_Obj* dict, const char* key, const pvd::PVStructure& root, const pvd::BitSet* valid, const char* low,
             const char* high) {
    auto first = setField<pvd::PVScalar>(root, low, valid);
    auto second = setField<pvd::PVScalar>(root, high, valid);
    if (!first || !second) return;
    Tcl_Obj* pair[2] = {scalarObj(*first), scalarObj(*second)};
    putKey(dict, key, Tcl_NewListObj(2, pair));
}

Tcl_Obj* metaValue(const pvd::PVStructure& root, const Form& form, const pvd::BitSet* valid, Pixels* pixels) {
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    putKey(dict, "value", plainValue(root, form, pixels));
    auto severity = setField<pvd::PVInt>(root, "alarm.severity", valid);
    auto status = setField<pvd::PVInt>(root, "alarm.status", valid);
    auto message = setField<pvd::PVString>(root, "alarm.message", valid);
    if (severity) putKey(dict, "severity", codeObj(kSeverities, severity->get()));
    // The status as Channel Access names it travels as the alarm's message
    // (an IOC's "HIGH"); PV Access's own status code otherwise.
    if (message && !message->get().empty()) putKey(dict, "status", textObj(message->get()));
    else if (status) putKey(dict, "status", codeObj(kStatuses, status->get()));
    if (auto stamp = setField<pvd::PVStructure>(root, "timeStamp", valid)) {
        putKey(dict, "timestamp", Tcl_NewDoubleObj(secondsOf(*stamp)));
        auto tag = stamp->getSubField<pvd::PVInt>("userTag");
        putKey(dict, "userTag", Tcl_NewIntObj(tag ? tag->get() : 0));
    }
    if (auto units = setField<pvd::PVString>(root, "display.units", valid)) putKey(dict, "units", textObj(units->get()));
    if (auto precision = setField<pvd::PVInt>(root, "display.precision", valid))
        putKey(dict, "precision", Tcl_NewIntObj(precision->get()));
    if (auto description = setField<pvd::PVString>(root, "display.description", valid))
        putKey(dict, "description", textObj(description->get()));
    putPair(dict, "display", root, valid, "display.limitLow", "display.limitHigh");
    putPair(dict, "warning", root, valid, "valueAlarm.lowWarningLimit", "valueAlarm.highWarningLimit");
    putPair(dict, "alarm", root, valid, "valueAlarm.lowAlarmLimit", "valueAlarm.highAlarmLimit");
    putPair(dict, "control", root, valid, "control.limitLow", "control.limitHigh");
    if (auto choices = setField<pvd::PVStringArray>(root, "value.choices", valid)) putKey(dict, "states", arrayObj(*choices, Form{}));
    return dict;
}

// ---- Tcl values into fields -----------------------------------------------------------

const char* typeText(const pvd::PVField& field) {
    const pvd::FieldConstPtr& type = field.getField();
    if (type->getType() == pvd::scalar)
        return pvd::ScalarTypeFunc::name(static_cast<const pvd::Scalar&>(*type).getScalarType());
    if (type->getType() == pvd::scalarArray)
        return pvd::ScalarTypeFunc::name(static_cast<const pvd::ScalarArray&>(*type).getElementType());
    return pvd::TypeFunc::name(type->getType());
}

bool integerLimits(pvd::ScalarType type, Tcl_WideInt& low, Tcl_WideInt& high) {
    switch (type) {
    case pvd::pvByte: low = INT8_MIN, high = INT8_MAX; return true;
    case pvd::pvUByte: low = 0, high = UINT8_MAX; return true;
    case pvd::pvShort: low = INT16_MIN, high = INT16_MAX; return true;
    case pvd::pvUShort: low = 0, high = UINT16_MAX; return true;
    case pvd::pvInt: low = INT32_MIN, high = INT32_MAX; return true;
    case pvd::pvUInt: low = 0, high = UINT32_MAX; return true;
    case pvd::pvLong: low = INT64_MIN, high = INT64_MAX; return true;
    case pvd::pvULong: low = 0, high = INT64_MAX; return true;  // above: not through a wide int
    default: return false;
    }
}

// One element in the type `type`, as text pvData converts exactly.
bool elementText(pvd::ScalarType type, Tcl_Obj* word, std::string& out, std::string& why) {
    Tcl_WideInt low, high;
    if (type == pvd::pvString) {
        TclSize length;
        const char* text = Tcl_GetStringFromObj(word, &length);
        out.assign(text, static_cast<std::size_t>(length));
        return true;
    }
    if (type == pvd::pvBoolean) {
        int flag;
        if (Tcl_GetBooleanFromObj(nullptr, word, &flag) != TCL_OK) {
            why = std::string("expected a boolean, got \"") + Tcl_GetString(word) + "\"";
            return false;
        }
        out = flag ? "true" : "false";
        return true;
    }
    if (integerLimits(type, low, high)) {
        Tcl_WideInt value;
        if (!readInteger(word, value)) {
            why = std::string("expected an integer, got \"") + Tcl_GetString(word) + "\"";
            return false;
        }
        if (value < low || value > high) {
            why = std::string(Tcl_GetString(word)) + " is out of the range of " + pvd::ScalarTypeFunc::name(type);
            return false;
        }
        out = std::to_string(value);
        return true;
    }
    double value;
    if (Tcl_GetDoubleFromObj(nullptr, word, &value) != TCL_OK) {
        why = std::string("expected a number, got \"") + Tcl_GetString(word) + "\"";
        return false;
    }
    char text[40];
    snprintf(text, sizeof text, "%.17g", value);
    out = text;
    return true;
}

bool fillEnum(pvd::PVStructure& field, Tcl_Obj* value, std::string& why) {
    auto index = field.getSubField<pvd::PVInt>("index");
    pvd::PVStringArray::const_svector choices = field.getSubField<pvd::PVStringArray>("choices")->view();
    const char* text = Tcl_GetString(value);
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (choices[i] == text) {
            index->put(static_cast<int32_t>(i));
            return true;
        }
    }
    Tcl_WideInt number;
    if (readInteger(value, number) && number >= 0 && static_cast<std::size_t>(number) < choices.size()) {
        index->put(static_cast<int32_t>(number));
        return true;
    }
    why = std::string("\"") + text + "\" is not one of its choices:";
    for (const std::string& choice : choices) why += " " + choice;
    return false;
}

}  // namespace

Tcl_Obj* readValue(const pvd::PVStructure& root, const Form& form, const pvd::BitSet* valid, Pixels* pixels) {
    return form.meta ? metaValue(root, form, valid, pixels) : plainValue(root, form, pixels);
}

bool isImage(const pvd::PVStructure& root) { return idIs(root, "epics:nt/NTNDArray:"); }

const pvd::PVField* pixelField(const pvd::PVStructure& root) {
    if (!isImage(root)) return nullptr;
    return root.getSubField<pvd::PVUnion>("value").get();
}

std::size_t dropPixels(const pvd::PVStructure& root) {
    if (!isImage(root)) return 0;
    auto array = pixelArray(root);
    if (!array) return 0;
    std::size_t bytes = array->getLength() * pvd::ScalarTypeFunc::elementSize(array->getScalarArray()->getElementType());
    // An empty array of bytes, converted: setLength(0) would keep the buffer.
    std::tr1::const_pointer_cast<pvd::PVScalarArray>(array)->putFrom(pvd::shared_vector<const pvd::int8>());
    return bytes;
}

Tcl_Obj* typeDict(const pvd::StructureConstPtr& type) {
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    putKey(dict, "type", textObj(type->getID()));
    Tcl_Obj* fields = Tcl_NewListObj(0, nullptr);
    const pvd::FieldConstPtrArray& members = type->getFields();
    const pvd::StringArray& names = type->getFieldNames();
    for (std::size_t i = 0; i < members.size(); ++i) {
        Tcl_ListObjAppendElement(nullptr, fields, textObj(names[i]));
        const pvd::FieldConstPtr& member = members[i];
        switch (member->getType()) {
        case pvd::structure:
            Tcl_ListObjAppendElement(nullptr, fields,
                                     typeDict(std::tr1::static_pointer_cast<const pvd::Structure>(member)));
            break;
        case pvd::scalar:
            Tcl_ListObjAppendElement(
                nullptr, fields,
                Tcl_NewStringObj(pvd::ScalarTypeFunc::name(static_cast<const pvd::Scalar&>(*member).getScalarType()), -1));
            break;
        case pvd::scalarArray: {
            std::string name = pvd::ScalarTypeFunc::name(static_cast<const pvd::ScalarArray&>(*member).getElementType());
            Tcl_ListObjAppendElement(nullptr, fields, Tcl_NewStringObj((name + "[]").c_str(), -1));
            break;
        }
        default:
            Tcl_ListObjAppendElement(nullptr, fields, textObj(member->getID()));
        }
    }
    putKey(dict, "fields", fields);
    return dict;
}

bool fillField(pvd::PVField& target, Tcl_Obj* value, bool text, std::string& why) {
    try {
        switch (target.getField()->getType()) {
        case pvd::scalar: {
            auto& scalar = static_cast<pvd::PVScalar&>(target);
            std::string element;
            if (!elementText(scalar.getScalar()->getScalarType(), value, element, why)) return false;
            scalar.putFrom<std::string>(element);
            return true;
        }
        case pvd::scalarArray: {
            auto& array = static_cast<pvd::PVScalarArray&>(target);
            pvd::ScalarType type = array.getScalarArray()->getElementType();
            pvd::shared_vector<std::string> elements;
            if (text && (type == pvd::pvByte || type == pvd::pvUByte)) {
                TclSize length;
                const char* bytes = Tcl_GetStringFromObj(value, &length);
                pvd::shared_vector<pvd::int8> chars(static_cast<std::size_t>(length) + 1, 0);
                memcpy(chars.data(), bytes, static_cast<std::size_t>(length));
                array.putFrom(pvd::freeze(chars));
                return true;
            }
            TclSize count;
            Tcl_Obj** words;
            if (Tcl_ListObjGetElements(nullptr, value, &count, &words) != TCL_OK) {
                why = "expected a list";
                return false;
            }
            elements.resize(static_cast<std::size_t>(count));
            for (TclSize i = 0; i < count; ++i)
                if (!elementText(type, words[i], elements[static_cast<std::size_t>(i)], why)) return false;
            array.putFrom(pvd::freeze(elements));
            return true;
        }
        case pvd::structure: {
            auto& structure = static_cast<pvd::PVStructure&>(target);
            if (isEnum(structure)) return fillEnum(structure, value, why);
            break;
        }
        default: break;
        }
        why = std::string("a field of type ") + typeText(target) + " takes no value: name one of its fields with -field";
        return false;
    } catch (std::exception& failure) {
        why = failure.what();
        return false;
    }
}

}  // namespace pva
}  // namespace tessaly
