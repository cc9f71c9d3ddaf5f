// The whole-tree walks that read child values straight out of instance dictionaries.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// Every node under `node`, `node` first, in depth-first pre-order.
Result<Ref> walk_dfs(PyObject* node);
/// walk_dfs after the once-per-process DeprecationWarning.
Result<Ref> walk_deprecated(PyObject* node);
/// The length walk_dfs(node) would have, as an int.
Result<Ref> walk_count(PyObject* node);
/// The nodes of walk_dfs, in the order of a batched, prefetching walk.
Result<Ref> walk_unordered(PyObject* node);

}  // namespace sprig
