// What the visitor classes' methods share: the objects made at import, the per-thread
// records of node classes, the isinstance shapes of field values, and the state of one call
// (Session). Only the visitor files include this header.
//
// Exactness. Every shortcut of the visitors stands for a lookup whose answer it can prove
// without running Python code: type attributes come from the type's method cache
// (_PyType_Lookup), instance attributes from the instance dictionary, and a lookup that
// could involve a property, __getattr__ or __getattribute__ is made for real instead.
// Python code runs only in handlers, in by-name field reads, in the transformer's writes
// and in releases that free objects. What dispatch remembers holds for a class state
// named by a version tag; what it read from the visitor's instance dictionary and a
// frame's view of its node's dictionary hold only until the next step that may have run
// Python code (see Session).
#pragma once
#include <cstdint>

#include "core/frame.hpp"
#include "core/grow.hpp"
#include "core/type_map.hpp"
#include "schema/classes.hpp"
#include "core/state.hpp"

namespace sprig::visiting {

struct Globals {
    PyObject* ast;              // ast.AST
    PyObject* object_class;     // object.__dict__['__class__']
    PyObject* visit;            // interned names
    PyObject* generic_visit;
    PyObject* fields;
    PyObject* dunder_class;
    PyObject* dunder_name;
    PyObject* attributes;       // '_attributes'
    PyObject* prefix;           // 'visit_'
    PyObject* whole;            // slice(None, None, None)
    PyObject* ast_visit;        // ast.NodeVisitor.visit, the function
    // ast.NodeVisitor.visit_Constant, the function, where the ast module has one (it calls
    // the deprecated per-type handlers), and the names of those handlers; else null.
    PyObject* ast_visit_constant;
    // The interned names of the deprecated handlers, 'visit_Num' and so on; null when
    // ast.NodeVisitor has no visit_Constant, or when its table of them is not found.
    PyObject* deprecated;
    PyObject* value;            // 'value'
};
/// The running call's interpreter's objects, kept in its State: made by init_visitors at
/// each import.
[[gnu::always_inline]] inline Globals& globals() {
    return state_block<Globals>(state().objects.visitors);
}

enum class Mode : uint8_t { visitor, transformer };

// ---------------------------------------------------------------------------------------
// What one node class means to dispatch and to field reads, valid while the class keeps
// the version tag and the __name__ it had when the record was made.

struct NodeClass {
    PyObject* type;         // owned: keeps the address from being reused
    PyObject* name;         // owned: type.__name__ when made
    PyObject* method;       // owned, interned 'visit_' + name; null unless plain_name
    PyObject* fields;       // owned: the class's _fields tuple; null unless plain_fields
    Grow<PyObject*> names;  // owned, interned exact str: the items of `fields`
    unsigned int version;   // the type's version tag when made; 0: never current
    // node.__class__.__name__ is the type's own name: a `type` instance whose instances
    // take attributes the generic way, and __class__ is object's.
    bool plain_name;
    // getattr(node, f) for every f in _fields is the instance dictionary's entry when it has
    // one: the class's _fields is an exact tuple of exact str, and none of them (nor
    // _fields) names a data descriptor on the class.
    bool plain_fields;
    // type(node).__class__ is object's: isinstance asks no Python code about instances.
    bool plain_class;
    // __setattr__ is the generic one: with plain_fields, a write of a field is a store
    // into the instance dictionary.
    bool plain_set;
    // The keys a dictionary holds past the fields when the parser made the node: the type's
    // _attributes, interned. A dictionary whose keys are all among fields and these holds
    // no '_fields' of its own. Empty when one of them could be '_fields'.
    Grow<PyObject*> shape;  // the fields, then the attributes
    bool known_shape;
    // The dispatch found for this class on one visitor class, while that class keeps the
    // version tag it had (tags are never reused, so the pair names one class state) and
    // the visitor instance has no attribute that dispatch looks up.
    mutable struct {
        PyTypeObject* visitor;  // identity only
        unsigned int version;   // 0: empty
        uint8_t kind;
        uint8_t mode;
        // Borrowed: found in a class dictionary of the visitor class, which keeps it
        // while the class keeps its version tag.
        PyObject* target;
    } memo{};
};

/// Whether `c` is the record of `type` as it is now.
inline bool current(const NodeClass* c, PyTypeObject* type) {
    if (!c->version || c->version != type->tp_version_tag) return false;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;
    // Some versions rename a class without a new version tag.
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_name == c->name;
}

inline bool is_data_descriptor(PyObject* attr) { return attr && Py_TYPE(attr)->tp_descr_set; }

// The thread's records by class. A record that went stale is replaced but kept until the
// thread ends: frames of an outer call may still point at it.
struct NodeClassCache {
    TypeMap<NodeClass*> map;
    Grow<NodeClass*> all;
    ~NodeClassCache();
};

/// The calling thread's cache, made on first use.
Result<NodeClassCache*> node_class_cache();

/// Makes, files and returns the current record of `type`; runs no Python code.
[[gnu::noinline]] Result<const NodeClass*> make_current(NodeClassCache* cache,
                                                        PyTypeObject* type);

/// The current record of `type` in `cache`.
[[gnu::always_inline]] inline Result<const NodeClass*> node_class(NodeClassCache* cache,
                                                                  PyTypeObject* type) {
    NodeClass* const* found = cache->map.find(type);
    if (found && current(*found, type)) [[likely]]
        return *found;
    return make_current(cache, type);
}

/// The current record of `type` in the calling thread's cache.
Result<const NodeClass*> node_class(PyTypeObject* type);

// ---------------------------------------------------------------------------------------
// isinstance as the standard library's generic_visit calls it.

// isinstance(value, cls) for an exact `type` cls that `value`'s type is no subclass of:
// false unless value.__class__ says otherwise, which only a class of unusual make can.
inline bool plain_class_attribute(PyTypeObject* type) {
    return type->tp_getattro == PyObject_GenericGetAttr &&
           _PyType_Lookup(type, globals().dunder_class) == globals().object_class;
}

// Types that field values commonly have, whose __class__ is object's and cannot change.
[[gnu::always_inline]] inline bool common_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyUnicode_Type || value == Py_None || type == &PyLong_Type ||
           type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type ||
           type == &PyComplex_Type || value == Py_Ellipsis;
}

[[gnu::always_inline]] inline bool node_type(PyTypeObject* type) {
    return derives_from_ast(type, reinterpret_cast<PyTypeObject*>(globals().ast));
}

// What the two isinstance checks of generic_visit (list first, then ast.AST) make of a
// field value or a list item, when that takes no Python code.
enum class Shape : uint8_t { other, list, node, ask };

// `*rec` is set to the node's record when the thread has a current one.
[[gnu::always_inline]] inline Shape quick_shape(NodeClassCache* cache, PyObject* value,
                                                const NodeClass** rec) {
    if (PyList_Check(value)) return Shape::list;
    if (common_scalar(value)) return Shape::other;
    PyTypeObject* type = Py_TYPE(value);
    if (node_type(type)) [[likely]] {
        NodeClass* const* found = cache->map.find(type);
        if (found && current(*found, type)) [[likely]] {
            if (!(*found)->plain_class) return Shape::ask;
            *rec = *found;
            return Shape::node;
        }
        return plain_class_attribute(type) ? Shape::node : Shape::ask;
    }
    return plain_class_attribute(type) ? Shape::other : Shape::ask;
}

/// The shape by the real isinstance calls; may run Python code (a __class__ property).
Result<Shape> asked_shape(PyObject* value, bool lists);
/// isinstance(value, ast.AST), asked as generic_visit asks it.
Result<bool> is_node(NodeClassCache* cache, PyObject* value);

/// callable(self, node), or callable(node) when `self` is null, through the interpreter's
/// recursion check: a handler that calls generic_visit nests a native frame per tree level.
Result<Ref> invoke(PyObject* callable, PyObject* self, PyObject* node);
/// The visitor's instance dictionary (null when it keeps none). Made if the instance has
/// none yet, which changes nothing any lookup finds.
Result<Ref> instance_attributes(PyObject* self);
/// The value of `name` in the dictionary `dict` (which may be null), as a new reference.
Result<Ref> dict_entry(PyObject* dict, PyObject* name);

// ---------------------------------------------------------------------------------------
// The state of one call of visit or generic_visit.
//
// Dispatch looks up names on the visitor: on its class, through the class's version tag,
// and in its instance dictionary. The instance dictionary is scanned once, and again only
// after Python code may have run (`dirty`): when it holds no key that starts with 'visit'
// and no 'generic_visit' it cannot shadow a class attribute that dispatch looks up, and
// the per-class findings apply as they are. Every step that may run Python code (a call,
// a by-name read, a write, a release that may free an object) marks the session dirty.

struct Session {
    PyObject* self;             // borrowed: the caller of visit or generic_visit holds it
    NodeClassCache* cache;      // the thread's, which outlives every call
    bool dirty = true;          // Python code may have run since `clean` was found
    bool clean = false;         // the instance dictionary shadows nothing dispatch reads
    PyTypeObject* visit_type = nullptr;  // identity only: the class whose `visit` is ours
    unsigned int visit_version = 0;      // its version tag when found so; 0: not found
    uint64_t generation = 1;    // counts the steps that may have run Python code
    void touch() {
        dirty = true;
        ++generation;
    }
};

// Releases `p`, noting that freeing it could have run Python code.
[[gnu::always_inline]] inline void drop(Session& s, PyObject* p) {
    if (!p) return;
    if (Py_REFCNT(p) == 1) s.touch();
    Py_DECREF(p);
}

/// Scans the visitor's instance dictionary again; see Session.
[[gnu::noinline]] Status rescan(Session& s);

/// Makes `s.clean` true to what the instance dictionary holds now.
[[gnu::always_inline]] inline Status refresh(Session& s) {
    if (!s.dirty) [[likely]]
        return {};
    return rescan(s);
}

/// The session of a call of visit or generic_visit on `self`.
Result<Session> open_session(PyObject* self);

}  // namespace sprig::visiting
