// Cycle detection for the depth-first walks, at no measurable cost on real trees.
//
// A depth-first walk that pops one node and pushes its children knows, for the node it pops
// at depth d, that its ancestors are the nodes it last popped at depths 0..d-1. The guard
// records those in `path_`, one store per node. A structure in which a node is its own
// descendant makes the walk go ever deeper, so whenever the depth reaches a limit that
// doubles each time, the path is checked for a repeated node: real trees never reach the
// first limit, a deep acyclic chain costs O(depth log depth) in all, and a cycle is
// reported once the limit passes the number of distinct nodes on it.
#pragma once
#include <cstdint>

#include "core/grow.hpp"
#include "core/result.hpp"

namespace sprig {

/// Whether [begin, end) names one node twice; reorders the range.
bool has_repeat(PyObject** begin, PyObject** end);

class PathGuard {
public:
    static constexpr uint32_t kFirstLimit = 256;

    PathGuard() = default;
    PathGuard(const PathGuard&) = delete;
    PathGuard& operator=(const PathGuard&) = delete;

    /// Records `node` as the ancestor at `depth` of whatever is popped next below it.
    /// False when the check at a limit found a cycle (or memory ran out): see failure.
    [[gnu::always_inline]] bool enter(PyObject* node, uint32_t depth) {
        if (depth >= limit_) [[unlikely]]
            return deepen(node, depth);
        path_[depth] = node;
        return true;
    }

    Failure failure;  // why enter() last returned false

    /// The path storage and its limit, for loops that keep them in registers: store
    /// path()[depth] while depth < limit(), call enter() otherwise, then read both again.
    PyObject** path() { return path_; }
    uint32_t limit() const { return limit_; }

private:
    [[gnu::cold, gnu::noinline]] bool deepen(PyObject* node, uint32_t depth);

    PyObject* first_[kFirstLimit];  // the path of every real tree: no allocation per call
    Grow<PyObject*> deeper_;        // the path once it outgrows first_
    PyObject** path_ = first_;      // room for `limit_` entries
    uint32_t limit_ = kFirstLimit;
};

}  // namespace sprig
