// The frames of the explicit-stack descent, one per generic_visit call in progress: what
// the descent (visitor_descent.cpp) and the transformer's writes (visitor_writes.cpp) share.
#pragma once
#include "schema/instance_dict.hpp"
#include "stdlib/visitor_state.hpp"

namespace sprig::visiting {

// A frame stands for one generic_visit call in progress. Its loop state mirrors the
// standard library's: the _fields object taken once when the frame starts, the field read
// when its turn comes (after the previous field's whole subtree), and a list iterated by
// index against its current length, as list's own iterator does. Every object pointer in
// a frame is owned, since handlers run Python code between any two steps, except what
// belongs to the record `rec`, which the thread keeps until it ends.

enum Pending : uint8_t { kNone, kListItem, kSingle };

struct Frame {
    PyObject* node;          // owned
    // The _fields tuple, or an iterator over another _fields; owned unless `rec` is set,
    // whose tuple it then is.
    PyObject* fields;
    PyObject* field;         // owned or null: the single field whose result is pending
    PyObject* value;         // owned or null: that value, when it is a list being iterated
    PyObject* items;         // owned or null: the value's own iterator, when not list's
    PyObject* new_values;    // owned or null: the transformer's rebuilt list
    const NodeClass* rec;    // set when the fields are the record's, read in place if able
    // The node's dictionary entries, holding the fields in order from the first, as they
    // were in the session's generation `generation`, which no Python code has ended yet
    // if it is still the session's; 0 when not known.
    const UnicodeEntry* entries;
    uint64_t generation;
    Py_ssize_t next_field;   // position in the _fields tuple
    Py_ssize_t next_item;    // position in the list value
    Mode mode;
    Pending pending;         // where the result of the visit in progress goes
};

}  // namespace sprig::visiting
