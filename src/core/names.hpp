// The interned attribute names, the internal-failure exception type and the one-time flag
// of the deprecated `walk`. The names and the type are the interpreter's own (State).
#pragma once
#include <atomic>

#include "core/result.hpp"

namespace sprig {

#define SPRIG_NAMES(X)                                                                  \
    X(parent) X(lineno) X(col_offset) X(end_lineno) X(end_col_offset) X(_fields)        \
        X(_attributes) X(__name__) X(__all__) X(add_note) X(__subclasses__) X(AST) X(expr) \
        X(ast) X(__class__) X(visit) X(generic_visit) X(visit_) X(value)

enum class Name {
#define SPRIG_NAME_ENUM(n) n,
    SPRIG_NAMES(SPRIG_NAME_ENUM)
#undef SPRIG_NAME_ENUM
        count
};

struct State;

/// Makes the state's names and its internal-failure type, at exec; false with an exception.
bool make_names(State& state);

/// The interpreter's interned string for `n`, made at import. Only inside an entry point.
PyObject* name(Name n);

/// As name(n), for code written when names could fail to be made.
inline Result<PyObject*> interned(Name n) { return name(n); }

/// A new reference to the interned exact str equal to the str `name` (an instance of a str
/// subclass is copied first), or null with an exception set. Runs no Python code.
PyObject* interned_exact(PyObject* name);

/// The running call's interpreter's exception type for internal failures (derived from
/// BaseException); null outside an entry point.
PyObject* internal_failure_type();

/// Set by the first call of `walk` in the process; exchange(true) tells who warns. A plain
/// flag, the same for every interpreter: the warning is once per process.
extern std::atomic<bool> g_walk_warned;

}  // namespace sprig
