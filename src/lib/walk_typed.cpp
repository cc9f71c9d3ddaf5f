#include "lib/walk_typed.hpp"

namespace sprig {
static Result<Ref> not_yet() { return fail(raise(PyExc_NotImplementedError, "not implemented yet")); }
Result<Ref> walk_frontier(PyObject*, PyObject*) { return not_yet(); }
Result<Ref> walk_frontier_edges(PyObject*, PyObject*) { return not_yet(); }
Result<Ref> walk_of_types(PyObject*, PyObject*, PyObject*) { return not_yet(); }
Result<Ref> walk_frontier_events(PyObject*, PyObject*, PyObject*) { return not_yet(); }
}  // namespace sprig
