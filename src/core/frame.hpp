// The calling frame shared by all exported functions: the interpreter's state, call depth,
// argument binding, and turning a body's Result into a return value or a raised exception.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// Parameters of one exported function, for argument binding.
struct Params {
    const char* function;       // name used in messages
    const char* names[3];       // parameter names, in order
    int count;                  // number of parameters (at most 3)
    int required;               // the first `required` parameters must be given
    int standard = -1;          // position in State::Objects::standard, or -1
};

/// Bound parameters: borrowed, null for an omitted optional one.
using Args = PyObject* const*;

struct State;

/// Runs `body` in the calling frame, as a call into `state`'s interpreter (see Entered):
/// counts the call, binds the vectorcall arguments against `params` and raises whatever
/// the body failed with.
PyObject* call_in_frame(State* state, const Params& params, Result<Ref> (*body)(Args),
                        PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

/// Whether the running module call is the only one of the calling thread into this
/// interpreter: then no other call of the thread holds pointers into its caches.
bool outermost_call();

/// Raises `failure` as the pending exception (internal failures become the internal-failure
/// exception, after a report on stderr).
void raise_failure(Failure failure);

/// Attaches the note "while processing '{parameter}'" to the exception of `failure`; a
/// failure to do so is discarded.
void add_argument_note(Failure& failure, const char* parameter);

}  // namespace sprig
