// patch_ast and restore_ast: sprig's equivalents of the ast module's helpers and visitor
// classes installed in the ast module in place of its own, and the originals put back.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// Remembers the module's objects that patch_ast installs, at the first import's exec.
Status register_replacements(PyObject* module);

/// Installs the replacements into the ast module; a second call changes nothing. None.
Result<Ref> patch_ast();
/// Puts the ast module's own objects back where the replacements still stand. None.
Result<Ref> restore_ast();

}  // namespace sprig
