// Native equivalents of the ast module's own helpers (walk, iter_child_nodes, iter_fields,
// copy_location, increment_lineno, fix_missing_locations): the same reads, writes, calls
// and exceptions, in the same order, as the running interpreter's ast.py.
// Defined in ast_iterators.cpp (the three iterators) and ast_locations.cpp (the rest).
#pragma once
#include "core/result.hpp"

namespace sprig {

/// Makes the process-wide objects the helpers use (ast.AST, ast.TypeIgnore, names and the
/// three iterator types), at import. Later imports reuse them.
Status init_stdlib_ast();

/// ast.walk(node): a lazy breadth-first iterator.
Result<Ref> ast_walk(PyObject* node);
/// ast.iter_child_nodes(node): a lazy iterator.
Result<Ref> ast_iter_child_nodes(PyObject* node);
/// ast.iter_fields(node): a lazy iterator of (name, value) pairs.
Result<Ref> ast_iter_fields(PyObject* node);
/// ast.copy_location(new_node, old_node); returns new_node.
Result<Ref> ast_copy_location(PyObject* new_node, PyObject* old_node);
/// ast.increment_lineno(node, n); `n` null stands for 1. Returns node.
Result<Ref> ast_increment_lineno(PyObject* node, PyObject* n);
/// ast.fix_missing_locations(node), depth-first on an explicit stack; returns node.
Result<Ref> ast_fix_missing_locations(PyObject* node);

}  // namespace sprig
