// The rare part of the cycle check: growing the ancestor path and looking for a repeat.
#include "lib/cycles.hpp"

#include <algorithm>

namespace sprig {

bool PathGuard::deepen(PyObject* node, uint32_t depth) {
    // path_[0..limit_) holds the ancestors of `node` when limit_ is set (depth >= limit_).
    if (limit_ != 0) {
        Grow<PyObject*> sorted;
        if (!sorted.reserve(size_t{limit_} + 1)) {
            failure = no_memory();
            return false;
        }
        for (uint32_t i = 0; i < limit_; ++i) sorted.push_unchecked(path_[i]);
        sorted.push_unchecked(node);
        PyObject** begin = sorted.data();
        PyObject** end = begin + sorted.size();
        std::sort(begin, end);
        if (std::adjacent_find(begin, end) != end) {
            failure = cycle_error();
            return false;
        }
    }
    size_t limit = limit_ ? size_t{limit_} * 2 : kFirstLimit;
    while (limit <= depth) limit *= 2;
    if (limit > UINT32_MAX || !path_.reserve(limit)) {
        failure = no_memory();
        return false;
    }
    limit_ = static_cast<uint32_t>(limit);
    path_[depth] = node;
    return true;
}

}  // namespace sprig
