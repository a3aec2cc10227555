// The forms in which values travel between Tcl and Channel Access: one table
// for every command (core/forms.cpp).
//
// The specified commands' three kinds, one element each, replied as text:
//   Short     DBR_SHORT, "%d" of the unsigned 16 bits
//   Float     DBR_FLOAT, "%f" of the float widened to double
//   Text40    DBR_STRING, the text up to its NUL
// Values whole, in the channel's native type (the newer commands and the
// name layer); a channel of more than one element reads as a list:
//   Long      DBF_SHORT, DBF_LONG as DBR_LONG, signed integers
//   Byte      DBF_CHAR as DBR_CHAR, unsigned 0..255 (as caget reads it)
//   Double    DBF_FLOAT, DBF_DOUBLE as DBR_DOUBLE; a float channel's values
//             read as the shortest text of the float
//   String    DBF_STRING, its text
//   EnumText  DBF_ENUM, its state's text
//   EnumIndex DBF_ENUM with -index, its index
//   CharText  a char array with -text, the bytes up to the first NUL
#pragma once

#include "subject.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaly {

enum class Form : uint8_t { Short, Float, Text40, Long, Byte, Double, String, EnumText, EnumIndex, CharText };

// Request types of a form: the plain read, the time and control forms (-1
// where the form has none) and the put.
chtype readType(Form form);
chtype timeType(Form form);
chtype controlType(Form form);
chtype putType(Form form);

// ---- the specified commands' kinds -----------------------------------------------

// The longest text of a received value, with its NUL.
constexpr std::size_t kValueTextSize = 64;

// Where a get of the kind receives into the slot's buffers.
void* receiveBuffer(Form kind, SlotValues& values);
// The value as a get replies it into out (kValueTextSize bytes); its length.
std::size_t formatReceived(Form kind, const SlotValues& values, char* out);
// The number a get's trace shows: the value, a float's bits, a string's length.
unsigned tracedReceived(Form kind, const SlotValues& values);

// A put's value, converted from its argument: an integer by strtol in base 0
// keeping the low 16 bits, a float by strtod to the nearest single, a string
// as its text itself.  Converting never fails.
struct PutValue {
    Form kind;
    uint16_t shortValue;
    float floatValue;
    const char* text;

    const void* data() const;   // what ca_array_put sends (copied by the call)
    unsigned traced() const;    // the trace's number: the value, a float's bits, a string's length
    bool fits() const;          // false for a string of MAX_STRING_SIZE bytes or more
};
PutValue toPutValue(Form kind, const char* text);
uint32_t floatBits(float value);

// ---- values whole --------------------------------------------------------------

struct ValueForm {
    Form form;
    short fieldType;   // the channel's DBF type
    bool array;        // more than one element: a list
};

// The form of a connected channel's values, given -text and -index; fails
// (with the reason) when the channel has no such form.
bool formOf(Tcl_Interp* interp, const Subject& subject, bool text, bool index, ValueForm& out);

// The Tcl value of `count` elements starting at `values` (of the form's
// read type, or its time form's value type).  An enum's text needs the
// channel's states (a DBR_CTRL_ENUM), else its index is given.
Tcl_Obj* valueObj(const ValueForm& form, const void* values, long count, const dbr_ctrl_enum* states);

// A double as it reads: a float channel's as the shortest text of the float.
Tcl_Obj* numberObj(const ValueForm& form, double value);

// An integer by Tcl's rules, except that a leading zero reads as decimal
// ("010" is ten) under every Tcl.  False when the word is no integer.
bool readInteger(Tcl_Obj* word, Tcl_WideInt& out);

// A put's data: the value converted to the form's put type by Tcl's rules.
struct PutData {
    chtype type;
    unsigned long count;
    std::vector<unsigned char> bytes;
};
// Converts `value` (a list for an array channel).  An enum given by text
// needs the channel's states.  Fails with the reason; nothing is sent then.
bool toPutData(Tcl_Interp* interp, const Subject& subject, const ValueForm& form, Tcl_Obj* value,
               const dbr_ctrl_enum* states, PutData& out);

// Whether a put of this form needs the channel's states first.
inline bool needsStates(const ValueForm& form) {
    return form.form == Form::EnumText || form.form == Form::EnumIndex;
}

}  // namespace tessaly
