#include "lib/edits.hpp"

namespace sprig {
Result<Ref> set_parents(PyObject*) { return fail(raise(PyExc_NotImplementedError, "not implemented yet")); }
}  // namespace sprig
