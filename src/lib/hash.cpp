#include "lib/hash.hpp"

namespace sprig {
Result<Ref> subtree_hashes(PyObject*) { return fail(raise(PyExc_NotImplementedError, "not implemented yet")); }
Result<Ref> subtree_hash(PyObject*) { return fail(raise(PyExc_NotImplementedError, "not implemented yet")); }
}  // namespace sprig
