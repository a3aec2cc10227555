// Values whole, in the channel's native type: which request type keeps a
// channel's values whole, how the data that arrive become Tcl values, and
// how a Tcl value becomes the data of a put.
//
//   DBF_CHAR, DBF_SHORT, DBF_LONG   as DBR_LONG, signed integers
//   DBF_FLOAT, DBF_DOUBLE           as DBR_DOUBLE; a float channel's values
//                                   read as the shortest text of the float
//   DBF_STRING                      its text
//   DBF_ENUM                        its state's text (or its index)
//   a char array read as text       the bytes up to the first NUL
//
// A channel of more than one element reads as a list.
#pragma once

#include "exports.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaly {

enum class Form : uint8_t { Long, Double, String, EnumText, EnumIndex, CharText };

struct ValueForm {
    Form form;
    short fieldType;   // the channel's DBF type
    bool array;        // more than one element: a list
};

// Who a value belongs to, for messages: "EPICS_Put slot 3 (LAB:GAIN, DBF_FLOAT): ...".
struct Subject {
    const char* command;
    uint32_t slot;
    chid channel;
};

// Formats "COMMAND slot N (NAME, DBF_TYPE): REASON" as the command's failure.
int failFor(Tcl_Interp* interp, const Subject& subject, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The form of a connected channel's values, given -text and -index; fails
// (with the reason) when the channel has no such form.
bool formOf(Tcl_Interp* interp, const Subject& subject, bool text, bool index, ValueForm& out);

// Request types of a form: the plain read, and the time and control forms
// (-1 where the form has none).
chtype readType(Form form);
chtype timeType(Form form);
chtype controlType(Form form);

// The Tcl value of `count` elements starting at `values` (of the form's
// read type, or its time form's value type).  An enum's text needs the
// channel's states (a DBR_CTRL_ENUM), else its index is given.
Tcl_Obj* valueObj(const ValueForm& form, const void* values, long count, const dbr_ctrl_enum* states);

// A double as it reads: a float channel's as the shortest text of the float.
Tcl_Obj* numberObj(const ValueForm& form, double value);

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
