// Structural hashing: one 64-bit hash per subtree, equal for subtrees that ast.dump prints
// equally.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// {id(n): hash} for every distinct node reached from `node`.
Result<Ref> subtree_hashes(PyObject* node);
/// The hash of `node` alone.
Result<Ref> subtree_hash(PyObject* node);

}  // namespace sprig
