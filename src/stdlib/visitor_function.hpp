// The type of the visitor classes' methods: objects that behave in a class as Python
// functions do. Read through an instance they bind to it; read through a class they are
// themselves, and a call then takes any object as `self`.
#pragma once
#include "core/ref.hpp"
#include "core/result.hpp"

namespace sprig {

/// What one function is: its names, its text and the native body that a call runs.
struct FunctionSpec {
    const char* name;       // __name__
    const char* qualname;   // __qualname__
    const char* doc;        // __doc__
    const char* signature;  // __text_signature__, for inspect: "(self, node)"
    // The body, given the bound `self` and `node` (borrowed); a new reference, or null
    // with an exception raised.
    PyObject* (*body)(PyObject* self, PyObject* node);
};

/// A function for `spec`, which must outlive it. A call whose arguments do not bind to
/// (self, node) is handed to `standard`, the ast function it stands for (borrowed: held
/// for the process's life; null if none), so that it fails as the standard one does.
Result<Ref> make_visitor_function(const FunctionSpec* spec, PyObject* standard,
                                  PyObject* module_name);

/// Whether `obj` was made by make_visitor_function.
bool is_visitor_function(PyObject* obj);

}  // namespace sprig
