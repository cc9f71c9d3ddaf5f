// Growable arrays of trivially copyable values: the work stacks and buffers of every walk.
// Growth is a checked realloc, so running out of memory is an error value, never an abort.
#pragma once
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/ref.hpp"

namespace sprig {

/// Contiguous array that doubles its capacity (to at least 4) when full; the end is the top.
template <class T>
class Grow {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    using value_type = T;

    Grow() = default;
    Grow(Grow&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          cap_(std::exchange(o.cap_, 0)),
          initial_(std::exchange(o.initial_, nullptr)) {}
    Grow& operator=(Grow&& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(cap_, o.cap_);
        std::swap(initial_, o.initial_);
        return *this;
    }
    Grow(const Grow&) = delete;
    Grow& operator=(const Grow&) = delete;
    ~Grow() {
        if (data_ != initial_) std::free(data_);
    }

    /// Starts the empty array on `buffer`, room for `n` entries that its owner keeps beside
    /// it, so that a small array needs no allocation; it moves to the heap when it outgrows
    /// them. Such an array is never moved itself.
    void start_on(T* buffer, size_t n) {
        data_ = initial_ = buffer;
        cap_ = n;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

    /// Room for at least `n` entries in all; false when memory is exhausted.
    [[nodiscard]] bool reserve(size_t n) { return n <= cap_ || regrow(n); }
    /// Room for `n` more entries.
    [[nodiscard]] bool reserve_more(size_t n) { return reserve(size_ + n); }
    [[nodiscard]] bool push(T v) {
        if (size_ == cap_ && !regrow(size_ + 1)) [[unlikely]]
            return false;
        data_[size_++] = v;
        return true;
    }
    /// Append after reserve_more() made room.
    void push_unchecked(T v) { data_[size_++] = v; }
    T pop() { return data_[--size_]; }
    void truncate(size_t n) { size_ = n; }
    void clear() { size_ = 0; }
    /// The array's state as plain values, for loops that keep it in registers: stores into
    /// the entries could otherwise alias the members and force them back to memory.
    struct Span {
        T* data;  // null after a failed grow
        size_t size;
        size_t cap;
    };
    Span open() const { return {data_, size_, cap_}; }
    void close(Span s) { size_ = s.size; }
    /// Room for `need` entries in all; a span with null data when memory is exhausted.
    [[gnu::noinline]] Span regrow(Span s, size_t need) {
        size_ = s.size;
        if (need > cap_ && !regrow(need)) return {nullptr, 0, 0};
        return open();
    }

    /// Reverses the entries from `start` to the end in place.
    void reverse_from(size_t start) {
        for (size_t i = start, j = size_; i + 1 < j; ++i) std::swap(data_[i], data_[--j]);
    }

private:
    [[gnu::noinline]] bool regrow(size_t need) {
        size_t cap = cap_ < 2 ? 4 : cap_ * 2;
        while (cap < need) cap *= 2;
        if (cap > SIZE_MAX / 2 / sizeof(T)) return false;
        void* p;
        if (initial_ && data_ == initial_) {
            p = std::malloc(cap * sizeof(T));
            if (p && size_) std::memcpy(p, data_, size_ * sizeof(T));
        } else {
            p = std::realloc(data_, cap * sizeof(T));
        }
        if (!p) return false;
        data_ = static_cast<T*>(p);
        cap_ = cap;
        return true;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
    T* initial_ = nullptr;  // the owner's buffer, when started on one
};

namespace detail {
template <class T, size_t N>
struct FirstEntries {
    T first[N];
};
}  // namespace detail

/// The growable array `A` (a Grow or a class derived from one) started on room for `N`
/// entries of its own, so that a small one allocates nothing. The room is a base of its
/// own, built before the array and outliving it. Never moved.
template <class A, size_t N>
class Buffered : private detail::FirstEntries<typename A::value_type, N>, public A {
public:
    Buffered() { this->start_on(this->first, N); }
    Buffered(const Buffered&) = delete;
    Buffered& operator=(const Buffered&) = delete;
};

/// A Grow of owned references: whatever is still in it when it dies is released.
class RefStack : public Grow<PyObject*> {
public:
    RefStack() = default;
    ~RefStack() { drop_from(0); }
    /// Appends a new reference to `p`.
    [[nodiscard]] bool push_new(PyObject* p) {
        if (!push(p)) return false;
        Py_INCREF(p);
        return true;
    }
    /// Moves the top reference out.
    Ref take() { return Ref::adopt(pop()); }
    /// Releases every entry from `start` on.
    void drop_from(size_t start) {
        while (size() > start) Py_DECREF(pop());
    }
};

/// A Grow of entries whose `node` each holds a reference: whatever is still in it when it
/// dies is released.
template <class T>
class NodeStack : public Grow<T> {
public:
    NodeStack() = default;
    ~NodeStack() {
        while (!this->empty()) Py_DECREF(this->pop().node);
    }
};

}  // namespace sprig
