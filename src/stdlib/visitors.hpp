// The native halves of sprig.NodeVisitor and sprig.NodeTransformer: their `visit` and
// `generic_visit`, which behave as ast.NodeVisitor's and ast.NodeTransformer's do. The
// classes themselves are made in module.cpp.
#pragma once
#include "core/result.hpp"

namespace sprig {

/// Makes the process-wide objects the visitors use (ast.AST, interned names), at import.
Status init_visitors();

/// The functions installed on the two classes, so that dispatch can recognise them.
/// `visit_*` are `visit`; `generic_*` the generic_visit of the visitor and the transformer.
void register_visitor_methods(PyObject* visit_v, PyObject* generic_v, PyObject* visit_t,
                              PyObject* generic_t);

/// The ast module's own functions that the three methods stand for, found by
/// init_visitors before any class could replace them, and held for the process's life.
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
