// Owning handles for Python references. A bare PyObject* anywhere else in sprig is borrowed.
#pragma once
#include "core/compat.hpp"

#include <utility>

namespace sprig {

/// One strong reference; move-only, so a second reference is always a visible retain().
class Ref {
public:
    Ref() = default;
    /// Takes over a new reference returned by the C API (may be null).
    static Ref adopt(PyObject* fresh) { return Ref(fresh); }
    /// Takes a new reference to a borrowed object (may be null).
    static Ref retain(PyObject* p) { return Ref(Py_XNewRef(p)); }

    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref old(std::move(*this));  // dies after the new value is in place
        p_ = std::exchange(o.p_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    /// Hands the reference to the caller.
    [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Releases a reference owned by a per-thread cache: at once inside a module call, through
/// the deferred-release queue otherwise (a thread-exit destructor must not touch the
/// interpreter). Defined in frame.cpp.
void release_cached(PyObject* p);

/// A strong reference held by a per-thread cache; see release_cached.
class CachedRef {
public:
    CachedRef() = default;
    explicit CachedRef(Ref r) : p_(r.release()) {}
    CachedRef(CachedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    CachedRef& operator=(CachedRef&& o) noexcept {
        CachedRef old(std::move(*this));
        p_ = std::exchange(o.p_, nullptr);
        return *this;
    }
    CachedRef(const CachedRef&) = delete;
    CachedRef& operator=(const CachedRef&) = delete;
    ~CachedRef() {
        if (p_) release_cached(p_);
    }
    PyObject* get() const { return p_; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace sprig
