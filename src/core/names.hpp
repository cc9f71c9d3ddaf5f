// Process-wide state made once and never released: interned attribute names, the
// internal-failure exception type and the one-time flag of the deprecated `walk`.
#pragma once
#include <atomic>

#include "core/result.hpp"

namespace sprig {

#define SPRIG_NAMES(X)                                                                  \
    X(parent) X(lineno) X(col_offset) X(end_lineno) X(end_col_offset) X(_fields)        \
        X(_attributes) X(__name__) X(__all__) X(add_note) X(__subclasses__) X(AST) X(expr) \
        X(ast)

enum class Name {
#define SPRIG_NAME_ENUM(n) n,
    SPRIG_NAMES(SPRIG_NAME_ENUM)
#undef SPRIG_NAME_ENUM
        count
};

namespace detail {
extern std::atomic<PyObject*> g_names[static_cast<int>(Name::count)];
[[gnu::cold]] Result<PyObject*> make_name(Name n);
}  // namespace detail

/// The interned string for `n`, made on first use (an internal failure if that fails).
inline Result<PyObject*> interned(Name n) {
    PyObject* s = detail::g_names[static_cast<int>(n)].load(std::memory_order_acquire);
    if (s) [[likely]]
        return s;
    return detail::make_name(n);
}

/// A new reference to the interned exact str equal to the str `name` (an instance of a str
/// subclass is copied first), or null with an exception set. Runs no Python code.
PyObject* interned_exact(PyObject* name);

/// The exception type raised for internal failures (derived from BaseException).
Result<PyObject*> internal_failure_type();
/// The type if it was ever created, else null; never creates it.
PyObject* internal_failure_type_if_made();

/// Set by the first call of `walk` in the process; exchange(true) tells who warns.
extern std::atomic<bool> g_walk_warned;

}  // namespace sprig
