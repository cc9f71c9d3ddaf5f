// The rare part of the cycle check: growing the ancestor path and looking for a repeat.
#include "core/cycles.hpp"

#include <algorithm>

namespace sprig {

bool has_repeat(PyObject** begin, PyObject** end) {
    std::sort(begin, end);
    return std::adjacent_find(begin, end) != end;
}

bool PathGuard::deepen(PyObject* node, uint32_t depth) {
    // path_[0..limit_) holds the ancestors of `node` (depth >= limit_).
    Grow<PyObject*> sorted;
    if (!sorted.reserve(size_t{limit_} + 1)) {
        failure = no_memory();
        return false;
    }
    for (uint32_t i = 0; i < limit_; ++i) sorted.push_unchecked(path_[i]);
    sorted.push_unchecked(node);
    if (has_repeat(sorted.data(), sorted.data() + sorted.size())) {
        failure = cycle_error();
        return false;
    }
    size_t limit = size_t{limit_} * 2;
    while (limit <= depth) limit *= 2;
    if (limit > UINT32_MAX || !deeper_.reserve(limit)) {
        failure = no_memory();
        return false;
    }
    if (path_ == first_) std::copy(first_, first_ + kFirstLimit, deeper_.data());
    path_ = deeper_.data();
    limit_ = static_cast<uint32_t>(limit);
    path_[depth] = node;
    return true;
}

}  // namespace sprig
