// Errors as values: every engine returns Result<T>; only the calling frame raises.
#pragma once
#include <expected>
#include <string>

#include "lib/ref.hpp"

namespace sprig {

/// Either a Python exception (passed on unchanged) or an internal failure with a message.
struct Failure {
    Ref exception;          // the raised exception object, when this is a Python error
    std::string internal;   // the message of an internal failure, when `exception` is null
    const char* where = "";  // source location of an internal failure
};

template <class T>
using Result = std::expected<T, Failure>;
using Status = Result<void>;

#define SPRIG_STR2(x) #x
#define SPRIG_STR(x) SPRIG_STR2(x)
#define SPRIG_HERE (__FILE__ ":" SPRIG_STR(__LINE__))

/// The pending exception, taken out of the thread state at once. A failure that left none
/// set becomes SystemError; an internal failure raised by nested code stays internal.
[[gnu::cold, gnu::noinline]] Failure take_pending();
/// An internal failure, raised by the calling frame as the module's internal exception.
[[gnu::cold, gnu::noinline]] Failure internal(std::string message, const char* where);
/// A creation call the module treats as infallible returned null.
[[gnu::cold, gnu::noinline]] Failure null_object(const char* where);
/// Our own arrays or tables could not grow.
[[gnu::cold, gnu::noinline]] Failure no_memory();
/// A new exception of `type` with a message.
[[gnu::cold, gnu::noinline]] Failure raise(PyObject* type, const char* message);
/// TypeError "'{type}' object is not an instance of '{target}'".
[[gnu::cold, gnu::noinline]] Failure type_mismatch(PyObject* value, PyTypeObject* target);
/// ValueError for a node that is its own descendant.
[[gnu::cold, gnu::noinline]] Failure cycle_error();

/// Clears the pending exception, unless it is the module's internal-failure exception raised
/// by code we called: that one is never swallowed and ends the call.
[[gnu::cold, gnu::noinline]] Status discard_pending();

inline std::unexpected<Failure> fail(Failure f) { return std::unexpected(std::move(f)); }

#define SPRIG_TRY(expr)                                                   \
    do {                                                                  \
        if (auto _sprig_s = (expr); !_sprig_s) [[unlikely]]               \
            return std::unexpected(std::move(_sprig_s.error()));          \
    } while (0)

}  // namespace sprig
