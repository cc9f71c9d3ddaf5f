// Knowledge of the ast classes: the interpreter's AstClasses pair (ast.AST, ast.expr) and
// the per-thread FieldTable that the fast walks consult for every node they meet.
#pragma once
#include <cstdint>

#include "core/result.hpp"
#include "core/type_map.hpp"

namespace sprig {

/// ast.AST and ast.expr of the running call's interpreter.
struct AstClasses {
    PyObject* ast;   // borrowed: owned by the interpreter's State
    PyObject* expr;  // likewise
};

/// The running call's interpreter's pair, found at import.
Result<AstClasses> get_ast_classes();

struct State;
/// Finds ast.AST and ast.expr in `ast_module` for the state, at exec.
Status make_ast_classes(State& state, PyObject* ast_module);

/// Whether `type` is `ast` (ast.AST) or one of the node classes, whose bases reach it in one
/// or two levels: true is certain, false is not (a deeper subclass).
[[gnu::always_inline]] inline bool quickly_derives_from_ast(PyTypeObject* type,
                                                            PyTypeObject* ast) {
    PyTypeObject* base = type->tp_base;
    return base == ast || type == ast || (base && base->tp_base == ast);
}

/// Whether `type` is `ast` (ast.AST) or derives from it: the quick test first, without a call.
[[gnu::always_inline]] inline bool derives_from_ast(PyTypeObject* type, PyTypeObject* ast) {
    if (quickly_derives_from_ast(type, ast)) [[likely]]
        return true;
    return PyType_IsSubtype(type, ast);
}

/// What the fast walks know of one class.
struct FastClass {
    PyObject* const* names;  // the class's _fields as interned str, owned by the table;
                             // names[-1] is the table's weak reference to the class, or null
    uint32_t count;          // number of names; 0 when instances keep no dictionary to read
    uint32_t dict_offset;    // where instances keep their dictionary, when count > 0
    unsigned int version;    // the class's version tag when this was read; 0: not kept
    bool node;               // a proper subclass of ast.AST
};

/// A class entered as no node.
struct OtherClass {
    PyObject* watch;       // owned weak reference to the class, or null for a static type
    unsigned int version;  // its version tag when it was tested
    uint64_t unused = 0;   // pads a map slot to a power of two
};

/// Per-thread map from class to FastClass, for one interpreter. Built from ast.AST.__subclasses__() on first use;
/// a class met later is entered the first time a walk meets it.
///
/// An entry holds for its class while the class's version tag equals the entry's `version`,
/// which is never 0: the walks compare the two for every node, and a mismatch (a changed
/// class, or a new class at a dead one's address) sends them to admit(), which reads the
/// class again and replaces the entry in place. No entry keeps its class alive; entries of
/// dead classes are swept out before the map grows. Classes that are no node are kept apart,
/// so that a walk's lookup finds nodes only.
class FieldTable {
public:
    FieldTable() = default;
    FieldTable(const FieldTable&) = delete;
    FieldTable& operator=(const FieldTable&) = delete;
    ~FieldTable();

    /// The node classes as plain values, for loops that keep them in registers. An entry
    /// found there counts only while its `version` equals the class's tp_version_tag.
    TypeMap<FastClass>::View view() const { return nodes_.view(); }
    /// The entry of a type for which the view holds no current one: a no-node entry for a
    /// class known to be none or whose base is `object`; any other class is tested with
    /// PyType_IsSubtype and entered. A class that can get no version tag is read afresh
    /// into an entry that lasts until the next admit(). Runs no Python code.
    Result<const FastClass*> admit(PyTypeObject* type);

    /// Enters `type` and its subclasses, recursively through __subclasses__().
    Status build(const AstClasses& classes);

private:
    /// Enters `type`, a node when it is a proper subclass of ast.AST, with its _fields, as
    /// read under `version`.
    Result<const FastClass*> enter(PyTypeObject* type, unsigned int version);
    Status enter_other(PyTypeObject* type, unsigned int version);

    TypeMap<FastClass> nodes_;
    TypeMap<OtherClass> others_;  // classes entered as no node
    FastClass untagged_{};        // the last class admit() read without a version tag
    PyObject* ast_ = nullptr;     // borrowed: the State outlives its threads' tables
};

/// Exclusive use of a FieldTable for one call: the calling thread's, given back on
/// destruction, or one of the call's own (`in_use` null), deleted then.
class FieldTableLease {
public:
    FieldTableLease(FieldTable* table, bool* in_use) : table_(table), in_use_(in_use) {}
    FieldTableLease(FieldTableLease&& o) noexcept
        : table_(std::exchange(o.table_, nullptr)), in_use_(o.in_use_) {}
    FieldTableLease(const FieldTableLease&) = delete;
    ~FieldTableLease() {
        if (!table_) return;
        if (in_use_)
            *in_use_ = false;
        else
            delete table_;
    }
    FieldTable& operator*() const { return *table_; }

private:
    FieldTable* table_;
    bool* in_use_;  // the holder's lease flag; null for a table of the call's own
};

/// The calling thread's FieldTable for exclusive use, building it on first need. A call
/// made while an outer call holds it (from a signal handler the outer walk let run) gets a
/// table of its own, built for it alone; one made while it is being built (from the Python
/// code the build runs) is an internal failure.
Result<FieldTableLease> acquire_field_table(const AstClasses& classes);

}  // namespace sprig
