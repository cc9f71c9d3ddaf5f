// Structural digests: one 128-bit value per subtree that depends only on the tree, the same
// in every process and on every machine. The encoding is written down in the README.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// {id(n): digest} for every distinct node reached from `node`.
Result<Ref> subtree_digests(PyObject* node);
/// The digest of `node` alone.
Result<Ref> subtree_digest(PyObject* node);

}  // namespace sprig
