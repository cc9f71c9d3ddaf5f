// The class records behind the ast helpers, and isinstance and getattr as the helpers ask
// them: what both the lazy iterators and the location helpers read a node's class for.
// Only the helpers' files include this header.
//
// Exactness. A shortcut stands only for a step whose outcome it can prove without running
// Python code: isinstance by the type alone when the class's __class__ is object's, and
// getattr(node, field) as the instance dictionary's entry when the class reads attributes
// the generic way and names no data descriptor of that field. Everything else is asked of
// the object through the C API, as the Python code would ask it. Python code may run in
// such calls, so nothing read from a dictionary is trusted past the step that read it:
// every field is looked up afresh, and every object still to be used is held.
#pragma once
#include <cstdint>

#include "core/frame.hpp"
#include "schema/classes.hpp"
#include "schema/instance_dict.hpp"

namespace sprig::ast_helpers {

constexpr int kLocations = 4;
constexpr const char* kLocationTexts[kLocations] = {"lineno", "col_offset", "end_lineno",
                                                    "end_col_offset"};

// Made once per process and never released: the helpers are the same for every import.
struct Globals {
    PyObject* ast;            // ast.AST
    PyObject* type_ignore;    // ast.TypeIgnore
    PyObject* object_class;   // object.__dict__['__class__']
    PyObject* fields;         // interned '_fields'
    PyObject* attributes;     // interned '_attributes'
    PyObject* dunder_class;   // interned '__class__'
    PyObject* location[kLocations];  // interned lineno, col_offset, end_lineno, end_col_offset
    PyObject* zero;           // 0, getattr's default in increment_lineno
    PyObject* one;            // 1, increment_lineno's default `n`
    PyTypeObject* walk_type;
    PyTypeObject* children_type;
    PyTypeObject* fields_type;
};
/// Made by init_stdlib_ast, once per process.
extern Globals g;

// ---------------------------------------------------------------------------------------
// What a class means to the shortcuts, read without running Python code and valid while the
// class keeps the version tag it had then. `fields` is borrowed from a class dictionary on
// the class's MRO: any change there gives the class a new tag, and a tag is never reused,
// so the tuple lives as long as a record naming the class's current tag.

struct ClassRecord {
    PyTypeObject* type;     // identity only
    unsigned int version;   // the class's version tag when read; 0: empty, or not kept
    PyObject* fields;       // borrowed: the class's _fields, an exact tuple of exact str
                            // none of which names a data descriptor; null otherwise
    bool plain_get;         // getattr is the generic one on a dictionary at a fixed offset
    bool plain_class;       // __class__ is object's: isinstance asks the type alone
    bool node;              // a subclass of ast.AST (ast.AST included)
    bool type_ignore;       // a subclass of ast.TypeIgnore
    // The location names: `in _attributes` as the class's _attributes answers it (an exact
    // tuple of exact str), and what getattr finds on the class when the instance has none
    // (borrowed, null: nothing). Set only when no location name is a descriptor there.
    bool plain_locations;
    bool plain_set;         // and setattr of one is a store into the instance dictionary
    uint8_t location_mask;  // bit p: location p is named in _attributes
    PyObject* class_value[4];
};

// A direct-mapped cache per thread: a slot holds the last class that hashed to it. Nothing
// is owned, so a thread's cache dies with it without touching the interpreter.
constexpr size_t kRecordSlots = 512;
inline thread_local ClassRecord t_records[kRecordSlots];

inline size_t record_slot(PyTypeObject* type) {
    auto a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type));
    return static_cast<size_t>((a * 0x9e3779b97f4a7c15ull) >> 55) & (kRecordSlots - 1);
}

/// Reads the record of `type`; a record with version 0 is good for one use only.
[[gnu::noinline]] ClassRecord read_class(PyTypeObject* type);

/// The record of `type`, from the thread's cache when it is current there.
[[gnu::always_inline]] inline ClassRecord record(PyTypeObject* type) {
    ClassRecord& slot = t_records[record_slot(type)];
    if (slot.type == type && slot.version && slot.version == type->tp_version_tag) [[likely]]
        return slot;
    ClassRecord fresh = read_class(type);
    if (fresh.version) slot = fresh;
    return fresh;
}

// ---------------------------------------------------------------------------------------
// isinstance as the helpers call it.

// Types whose __class__ is object's and cannot be changed.
[[gnu::always_inline]] inline bool common_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyUnicode_Type || value == Py_None || type == &PyLong_Type ||
           type == &PyList_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           type == &PyBytes_Type || type == &PyTuple_Type || value == Py_Ellipsis;
}

[[gnu::always_inline]] inline bool node_type(PyTypeObject* type) {
    return derives_from_ast(type, reinterpret_cast<PyTypeObject*>(g.ast));
}

// What a field value is to the in-place steps, from its type alone. The common scalars
// (identifiers, constants, None) are told apart before any call: only an odd type pays
// for the full subclass test.
enum class PlainKind : uint8_t { node, list, scalar, undecided };

[[gnu::always_inline]] inline PlainKind plain_kind(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    auto* ast = reinterpret_cast<PyTypeObject*>(g.ast);
    if (quickly_derives_from_ast(type, ast)) [[likely]]
        return PlainKind::node;
    if (type == &PyList_Type) return PlainKind::list;
    if (common_scalar(value)) return PlainKind::scalar;
    return PyType_IsSubtype(type, ast) ? PlainKind::node : PlainKind::undecided;
}

/// isinstance(value, cls) with `cls` an exact type: by the type when that says yes or the
/// class's __class__ is object's, else by the real call (which may run a __class__
/// property).
Result<bool> is_instance(PyObject* value, PyObject* cls, bool plain_class);

/// Whether isinstance asks `value`'s type alone: its class's __class__ is object's.
bool plain_class_of(PyObject* value);

enum class Kind : uint8_t { other, node, list };

// What iter_child_nodes makes of a field value: isinstance(value, AST), then
// isinstance(value, list).
[[gnu::always_inline]] inline Result<Kind> field_kind(PyObject* value) {
    if (common_scalar(value)) return Py_TYPE(value) == &PyList_Type ? Kind::list : Kind::other;
    if (node_type(Py_TYPE(value))) return Kind::node;
    bool plain = plain_class_of(value);
    auto node = is_instance(value, g.ast, plain);
    if (!node) return fail(std::move(node.error()));
    if (*node) return Kind::node;
    auto list = is_instance(value, reinterpret_cast<PyObject*>(&PyList_Type), plain);
    if (!list) return fail(std::move(list.error()));
    return *list ? Kind::list : Kind::other;
}

/// isinstance(value, ast.AST).
Result<bool> is_node(PyObject* value);

/// A failure of a generator's body: StopIteration leaves it as RuntimeError.
[[gnu::cold]] Failure generator_failure(Failure f);

/// getattr(obj, name, default): null when absent and no default is given.
Result<Ref> get_optional(PyObject* obj, PyObject* name);

// The value under the interned str `name` in a dictionary's entry table (`used` entries, as
// str_entries gives them), found by identity: a key that is interned too equals `name` only
// if it is `name`. Borrowed, null when absent. False when the table cannot tell (another
// layout, a key not interned): the dictionary API must answer then.
[[gnu::always_inline]] inline bool find_interned(const UnicodeEntry* entries, Py_ssize_t used,
                                                 PyObject* name, PyObject** value) {
    if (!entries) return false;
    *value = nullptr;
    for (Py_ssize_t i = 0; i < used; ++i) {
        PyObject* key = entries[i].key;
        if (key == name) {
            *value = entries[i].value;
            return true;
        }
        if (key && !PyUnicode_CHECK_INTERNED(key)) return false;
    }
    return true;
}

// dict.get(name) for an interned `name`, through the table where it can tell.
[[gnu::always_inline]] inline PyObject* get_interned(PyObject* dict, PyObject* name) {
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    PyObject* value = nullptr;
    if (find_interned(entries, used, name, &value)) [[likely]]
        return value;
    return PyDict_GetItemWithError(dict, name);
}
}  // namespace sprig::ast_helpers
