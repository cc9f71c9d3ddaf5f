// Per-thread knowledge of the ast classes: the AstClasses pair (ast.AST, ast.expr) and the
// FieldTable that the fast walks consult for every node they meet.
#pragma once
#include <cstdint>

#include "lib/result.hpp"
#include "lib/type_map.hpp"

namespace sprig {

/// ast.AST and ast.expr, resolved once per thread and given back when the thread ends.
struct AstClasses {
    PyObject* ast;   // owned by the thread's cache
    PyObject* expr;  // likewise
};

/// The calling thread's pair, importing `ast` on the thread's first need.
Result<AstClasses> get_ast_classes();

/// What the fast walks know of one class.
struct FastClass {
    PyObject* const* names;  // the class's _fields as interned str, owned by the table
    uint32_t count;          // number of names; 0 when instances keep no dictionary to read
    uint32_t dict_offset;    // where instances keep their dictionary, when count > 0
    bool node;               // a proper subclass of ast.AST
};

/// Per-thread map from class to FastClass. Built from ast.AST.__subclasses__() on first use;
/// a class met later is entered the first time a walk meets it. Every key and name is a
/// strong reference, so a class's address can never be reused while it is a key. Classes
/// that are no node are kept apart, so that a walk's lookup finds nodes only.
class FieldTable {
public:
    FieldTable() = default;
    FieldTable(const FieldTable&) = delete;
    FieldTable& operator=(const FieldTable&) = delete;
    ~FieldTable();

    /// The node classes as plain values, for loops that keep them in registers.
    TypeMap<FastClass>::View view() const { return nodes_.view(); }
    /// The entry of a type that the view does not hold: a no-node entry for a class known
    /// to be none or whose base is `object`; any other class is tested once with
    /// PyType_IsSubtype and entered. Runs no Python code.
    Result<const FastClass*> admit(PyTypeObject* type);

    /// Enters `type` and its subclasses, recursively through __subclasses__().
    Status build(const AstClasses& classes);

private:
    /// Enters `type`, a node when it is a proper subclass of ast.AST, with its _fields.
    Result<const FastClass*> enter(PyTypeObject* type);

    TypeMap<FastClass> nodes_;
    TypeMap<bool> others_;  // classes entered as no node
    PyObject* ast_ = nullptr;  // borrowed: AstClasses live for the process
};

/// Exclusive use of the calling thread's FieldTable for one call; given back on destruction.
class FieldTableLease {
public:
    explicit FieldTableLease(FieldTable* table) : table_(table) {}
    FieldTableLease(FieldTableLease&& o) noexcept : table_(std::exchange(o.table_, nullptr)) {}
    FieldTableLease(const FieldTableLease&) = delete;
    ~FieldTableLease();
    FieldTable& operator*() const { return *table_; }

private:
    FieldTable* table_;
};

/// The calling thread's FieldTable for exclusive use, building it on first need. A
/// re-entrant call while an outer call holds it is an internal failure.
Result<FieldTableLease> acquire_field_table(const AstClasses& classes);

}  // namespace sprig
