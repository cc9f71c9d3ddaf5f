// The type-filtered walks: frontier (with and without edges), of_types, and the visitor
// event stream. They read children in place from the instance dictionary when it holds
// the fields in order, and through push_children / push_child_refs otherwise.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// Descendants of `node` whose exact type is in `kinds`, not descending below a match.
Result<Ref> walk_frontier(PyObject* node, PyObject* kinds);
/// As walk_frontier, each match as (node, parent, field, index).
Result<Ref> walk_frontier_edges(PyObject* node, PyObject* kinds);
/// Every node whose exact type is in `kinds`, not descending below a node in `prune`.
Result<Ref> walk_of_types(PyObject* node, PyObject* kinds, PyObject* prune);
/// The (event, node) calls a NodeVisitor makes descending from `node`.
Result<Ref> walk_frontier_events(PyObject* node, PyObject* kinds, PyObject* bracket);

}  // namespace sprig
