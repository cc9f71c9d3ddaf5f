// The native halves of sprig.NodeVisitor and sprig.NodeTransformer: their `visit` and
// `generic_visit`, which behave as ast.NodeVisitor's and ast.NodeTransformer's do. The
// classes themselves are made in module.cpp.
#pragma once
#include "lib/result.hpp"

namespace sprig {

/// Makes the process-wide objects the visitors use (ast.AST, interned names), at import.
Status init_visitors();

/// The method descriptors installed on the two classes, so that dispatch can recognise them.
/// `visit_*` are `visit`; `generic_*` the generic_visit of the visitor and the transformer.
void register_visitor_methods(PyObject* visit_v, PyObject* generic_v, PyObject* visit_t,
                              PyObject* generic_t);

/// `visit(self, node)` (METH_FASTCALL | METH_KEYWORDS).
PyObject* visitor_visit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames);
/// ast.NodeVisitor.generic_visit.
PyObject* visitor_generic_visit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames);
/// ast.NodeTransformer.generic_visit.
PyObject* transformer_generic_visit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames);

}  // namespace sprig
