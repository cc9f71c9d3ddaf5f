// The native halves of sprig.NodeVisitor and sprig.NodeTransformer: their `visit` and
// `generic_visit`, which behave as ast.NodeVisitor's and ast.NodeTransformer's do. The
// classes themselves are made in module.cpp.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// Makes the objects the visitors use (ast.AST, interned names) for the interpreter, at exec.
Status init_visitors();

/// The ast module's own functions that the three methods stand for, found by
/// init_visitors before any class could replace them, and held by the interpreter's State.
struct StandardMethods {
    PyObject* visit;                // ast.NodeVisitor.visit
    PyObject* visitor_generic;      // ast.NodeVisitor.generic_visit
    PyObject* transformer_generic;  // ast.NodeTransformer.generic_visit
};
StandardMethods standard_methods();

/// `visit(self, node)`, for any object `self`; a new reference, or null with an exception.
PyObject* visitor_visit(PyObject* self, PyObject* node);
/// ast.NodeVisitor.generic_visit.
PyObject* visitor_generic_visit(PyObject* self, PyObject* node);
/// ast.NodeTransformer.generic_visit.
PyObject* transformer_generic_visit(PyObject* self, PyObject* node);

}  // namespace sprig
