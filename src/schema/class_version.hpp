// What the per-thread class caches key their entries on besides a class's address: its
// version tag, which tells whether the class is the one an entry was made from, unchanged,
// and a weak reference, which tells whether it still lives. Neither keeps the class alive.
#pragma once
#include <cstdint>

#include "core/result.hpp"

namespace sprig {

/// The version tag of `type`, assigned now if it has none; 0 when none can be had (the
/// class has used up its tags, or the interpreter all of them).
///
/// A tag is never 0 while valid, and never given to two classes or twice to one: any change
/// to the dictionary of the class or of a base (an assignment to `_fields`, `_attributes`,
/// `__bases__`) resets it to 0, and the next one assigned is new. So an entry made under a
/// nonzero tag describes the class in hand exactly while the class's tag equals it, and
/// never a later class at the same address.
unsigned int class_version(PyTypeObject* type);

/// A new weak reference to `type`, or null for a static type, which never dies. Runs no
/// Python code.
Result<PyObject*> watch_class(PyTypeObject* type);

/// Whether the class behind `watch`, which watch_class returned, still lives.
bool class_alive(PyObject* watch);

/// How many classes watched through watch_class_death have died in the process so far. A
/// class's death counts before its memory can be reused: while the count has not moved,
/// every class watched earlier and still watched lives, and so is still at its address.
uint64_t class_deaths();

/// A new weak reference to `type` whose death adds one to class_deaths() (it counts only
/// while the reference lives), or null for a static type, which never dies. Runs no Python
/// code.
Result<PyObject*> watch_class_death(PyTypeObject* type);

}  // namespace sprig
