// Per-type field information and child access for every walk that may run Python code:
// the typed walks, parent links, hashing and location repair. Children come in the order of
// ast.iter_child_nodes, read from the instance dictionary first and by attribute otherwise.
#pragma once
#include <cstdint>

#include "lib/classes.hpp"
#include "lib/grow.hpp"
#include "lib/result.hpp"

namespace sprig {

/// Location attributes a type declares in `_attributes`.
enum LocationBit : uint8_t {
    kLineno = 1,
    kColOffset = 2,
    kEndLineno = 4,
    kEndColOffset = 8,
};

/// What the walks need to know of one type. Made once per type per thread and never moved or
/// changed, so callers keep a plain pointer to it while they run on that thread.
struct TypeInfo {
    Grow<PyObject*> fields;  // owned, interned exact str: the type's _fields in order
    PyObject* type;          // owned: keeps the address from being reused
    uint8_t location_mask;   // LocationBit values named in the type's _attributes
};

/// The calling thread's record for `type`, built on first request. Reading _fields and
/// _attributes may run Python code; their failures only leave names out. Fails only with
/// an internal failure.
Result<const TypeInfo*> type_info(PyTypeObject* type);

/// Whether `value` is an instance of a proper subclass of ast.AST.
[[gnu::always_inline]] inline bool is_ast_node(PyObject* value, const AstClasses& classes) {
    PyTypeObject* type = Py_TYPE(value);
    PyTypeObject* base = type->tp_base;
    if (!base || base == &PyBaseObject_Type) return false;
    auto* ast = reinterpret_cast<PyTypeObject*>(classes.ast);
    if (base == ast) return true;
    PyTypeObject* grand = base->tp_base;
    if (grand == ast || grand == reinterpret_cast<PyTypeObject*>(classes.expr)) return true;
    return PyType_IsSubtype(type, ast);
}

/// A child with where it was found: `parent.<field>` (index -1) or `parent.<field>[index]`.
struct ChildRef {
    PyObject* child;   // owned
    PyObject* parent;  // owned
    PyObject* field;   // borrowed from the parent type's TypeInfo, which the thread keeps
    Py_ssize_t index;  // -1, or the position in the field's list counting every element
};

/// A Grow of ChildRefs that releases the references of whatever is left in it.
class ChildRefStack : public Grow<ChildRef> {
public:
    ChildRefStack() = default;
    ~ChildRefStack() { drop_from(0); }
    void drop_from(size_t start) {
        while (size() > start) {
            ChildRef r = pop();
            Py_DECREF(r.child);
            Py_DECREF(r.parent);
        }
    }
};

/// Appends a new reference to every child node of `node`, arranged so that popping from the
/// end yields them in ast.iter_child_nodes order. May run Python code (properties,
/// __getattr__); on failure the appended run is left unreversed for the caller to drop.
Status push_children(PyObject* node, const AstClasses& classes, RefStack& stack);

/// As push_children, one ChildRef per child.
Status push_child_refs(PyObject* node, const AstClasses& classes, ChildRefStack& out);

}  // namespace sprig
