// The walks that write attributes on nodes: parent links and location repair.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// `child.parent = parent` for every node under `node`; returns None.
Result<Ref> set_parents(PyObject* node);
/// ast.fix_missing_locations without recursion; returns `node`.
Result<Ref> fix_missing_locations(PyObject* node);

}  // namespace sprig
