// Errors as values: every engine returns Result<T>; only the calling frame raises.
#pragma once
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "core/ref.hpp"

namespace sprig {

/// Either a Python exception (passed on unchanged) or an internal failure with a message.
struct Failure {
    Ref exception;          // the raised exception object, when this is a Python error
    std::string internal;   // the message of an internal failure, when `exception` is null
    const char* where = "";  // source location of an internal failure
};

/// A failure on its way into a Result, as `fail` makes it.
struct Unexpected {
    Failure failure;
};

/// A value or a Failure: the subset of std::expected that sprig uses, written out because
/// the standard one is missing or unusable with some supported compilers (clang before 19
/// with libstdc++). Move-only, like Failure.
template <class T>
class Result {
public:
    template <class U = T>
        requires(std::is_constructible_v<T, U &&> &&
                 !std::is_same_v<std::remove_cvref_t<U>, Result> &&
                 !std::is_same_v<std::remove_cvref_t<U>, Unexpected>)
    Result(U&& value) : ok_(true) {
        new (&value_) T(std::forward<U>(value));
    }
    /// A default value, as std::expected gives.
    Result()
        requires std::is_default_constructible_v<T>
        : ok_(true) {
        new (&value_) T();
    }
    Result(Unexpected&& u) : ok_(false) { new (&failure_) Failure(std::move(u.failure)); }
    Result(Result&& other) : ok_(other.ok_) {
        if (ok_) new (&value_) T(std::move(other.value_));
        else new (&failure_) Failure(std::move(other.failure_));
    }
    Result& operator=(Result&& other) {
        if (this != &other) {
            this->~Result();
            new (this) Result(std::move(other));
        }
        return *this;
    }
    ~Result() {
        if (ok_) value_.~T();
        else failure_.~Failure();
    }

    explicit operator bool() const { return ok_; }
    bool has_value() const { return ok_; }
    T& operator*() & { return value_; }
    T&& operator*() && { return std::move(value_); }
    const T& operator*() const& { return value_; }
    T* operator->() { return &value_; }
    const T* operator->() const { return &value_; }
    Failure& error() & { return failure_; }
    Failure&& error() && { return std::move(failure_); }

private:
    bool ok_;
    union {
        T value_;
        Failure failure_;
    };
};

/// Success without a value, or a Failure.
template <>
class Result<void> {
public:
    Result() : failed_(false) {}
    Result(Unexpected&& u) : failed_(true) { new (&failure_) Failure(std::move(u.failure)); }
    Result(Result&& other) : failed_(other.failed_) {
        if (failed_) new (&failure_) Failure(std::move(other.failure_));
    }
    Result& operator=(Result&& other) {
        if (this != &other) {
            this->~Result();
            new (this) Result(std::move(other));
        }
        return *this;
    }
    ~Result() {
        if (failed_) failure_.~Failure();
    }

    explicit operator bool() const { return !failed_; }
    bool has_value() const { return !failed_; }
    Failure& error() & { return failure_; }
    Failure&& error() && { return std::move(failure_); }

private:
    bool failed_;
    union {
        Failure failure_;
    };
};

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
/// RecursionError for a node that is its own descendant, where the standard function
/// that a helper stands for recurses until the recursion limit stops it.
[[gnu::cold, gnu::noinline]] Failure cycle_recursion_error();

/// Clears the pending exception, unless it is the module's internal-failure exception raised
/// by code we called: that one is never swallowed and ends the call.
[[gnu::cold, gnu::noinline]] Status discard_pending();

inline Unexpected fail(Failure f) { return Unexpected{std::move(f)}; }

#define SPRIG_TRY(expr)                                                   \
    do {                                                                  \
        if (auto _sprig_s = (expr); !_sprig_s) [[unlikely]]               \
            return ::sprig::fail(std::move(_sprig_s.error()));            \
    } while (0)

}  // namespace sprig
