// The native halves of sprig.NodeVisitor and sprig.NodeTransformer: the bodies of their
// `visit` and `generic_visit`, which behave as ast.NodeVisitor's and ast.NodeTransformer's
// do. The methods themselves are Python functions (sprig/_visiting.py) that run these first;
// the classes are made in module.cpp.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// Makes the objects the visitors use (ast.AST, interned names) for the interpreter, at exec.
Status init_visitors();

/// `visit(self, node)`, for any object `self`: a new reference, or null with an exception;
/// the state's `deep` marker, having done nothing, when the thread's C stack is too nearly
/// used up for the call to run in native code (visitor_descent.cpp says why).
PyObject* visitor_visit(PyObject* self, PyObject* node);
/// ast.NodeVisitor.generic_visit.
PyObject* visitor_generic_visit(PyObject* self, PyObject* node);
/// ast.NodeTransformer.generic_visit.
PyObject* transformer_generic_visit(PyObject* self, PyObject* node);

}  // namespace sprig
