// Per-type field information and child access for every walk that may run Python code:
// the typed walks, parent links, hashing and location repair. Children come in the order of
// ast.iter_child_nodes, read from the instance dictionary first and by attribute otherwise.
#pragma once
#include <cstdint>
#include <utility>

#include "core/grow.hpp"
#include "core/names.hpp"
#include "core/result.hpp"
#include "core/type_map.hpp"
#include "schema/classes.hpp"
#include "schema/instance_dict.hpp"

namespace sprig {

/// The location attributes, in the order of the writes on one node. The one at position p
/// is bit (1 << p) of TypeInfo::location_mask.
constexpr int kLocationCount = 4;
constexpr Name kLocationNames[kLocationCount] = {Name::lineno, Name::col_offset,
                                                 Name::end_lineno, Name::end_col_offset};

/// What the walks need to know of one type. Made per type per thread, never moved, and
/// only its cached findings ever change. A record is current while its `version` is the
/// type's version tag (is_current); one that stops being current, whose class changed or
/// died, is set aside but kept until the thread's outermost call has returned, so callers
/// keep a plain pointer to it, and to its field names, for the rest of their call.
struct TypeInfo {
    Grow<PyObject*> fields;  // owned, interned exact str: the type's _fields in order
    PyTypeObject* type;      // borrowed: the class is not kept alive; compared, never read
    PyObject* watch;         // owned weak reference to the class, or null for a static type
    unsigned int version;    // the type's version tag when it was read; 0: read without one
    uint8_t location_mask;   // the kLocationNames the type names in _attributes, by position
    // The type's version tag when plain_writes last found that its instances' location
    // attributes, or their `parent`, go straight into the instance dictionary; 0 when not.
    mutable unsigned int plain_location_writes = 0;
    mutable unsigned int plain_parent_writes = 0;
    // The class's digest identity (digest.cpp), valid while `class_id_version` is the
    // type's version tag (a new __module__ changes it) and, for a heap type, its
    // __qualname__ is still `class_id_qualname` (whose assignment leaves the tag alone).
    mutable unsigned int class_id_version = 0;
    mutable PyObject* class_id_qualname = nullptr;  // owned, for a heap type
    mutable uint64_t class_id[2] = {0, 0};          // low, high 64 bits
};

/// Whether `info` describes `type` as it is now. A record read without a version tag never
/// is: its class is read again at each meeting.
[[gnu::always_inline]] inline bool is_current(const TypeInfo& info, PyTypeObject* type) {
    return info.version != 0 && info.version == type->tp_version_tag;
}

/// The current record of `type` in a view of the thread's records, or null. The records
/// there all have a version, so one comparison tells whether the one found is current.
[[gnu::always_inline]] inline const TypeInfo* find_current(const TypeMap<TypeInfo*>::View& view,
                                                          PyTypeObject* type) {
    TypeInfo* const* found = view.find(type);
    if (!found || (*found)->version != type->tp_version_tag) [[unlikely]]
        return nullptr;
    return *found;
}

/// The calling thread's current record for `type`, built when it has none. Reading _fields
/// and _attributes may run Python code; their failures only leave names out. Fails only
/// with an internal failure or when memory is exhausted.
Result<const TypeInfo*> type_info(PyTypeObject* type);

/// Lookups of the records this thread has made already, for walks that look a type up per
/// node: they run no Python code. Valid for the rest of the call that obtained them.
class KnownTypes {
public:
    /// The current record of `type`, or null when type_info has no current one for it on
    /// this thread yet.
    [[gnu::always_inline]] const TypeInfo* find(PyTypeObject* type) const {
        return find_current(map_->view(), type);
    }
    /// The records as plain values, for loops that keep them in registers; stale once
    /// type_info has made a record.
    TypeMap<TypeInfo*>::View view() const { return map_->view(); }

private:
    friend Result<KnownTypes> known_types();
    explicit KnownTypes(const TypeMap<TypeInfo*>* map) : map_(map) {}
    const TypeMap<TypeInfo*>* map_;  // the thread's cache outlives every call on the thread
};

/// The calling thread's KnownTypes, making its (empty) cache on first use. In the thread's
/// outermost call, it first frees the records set aside before the call.
Result<KnownTypes> known_types();

/// The record of `type`: found among `known` without running Python code, or made by
/// type_info (which may run some).
[[gnu::always_inline]] inline Result<const TypeInfo*> type_info(PyTypeObject* type,
                                                                const KnownTypes& known) {
    if (const TypeInfo* info = known.find(type)) [[likely]]
        return info;
    return type_info(type);
}

/// What a walk reads nodes with: the thread's ast classes and its known type records.
struct NodeReaders {
    AstClasses classes;
    KnownTypes known;
};

/// The calling thread's NodeReaders, resolving the ast classes on first use.
Result<NodeReaders> node_readers();

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

/// The entry table of `node`'s instance dictionary when its first entries are exactly the
/// type's fields in order, as the parser and the ast constructors leave them: entry i then
/// holds the value of field i, to be read in place (what the lookups by name would find).
/// Null when the fields must be read by name.
[[gnu::always_inline]] inline const UnicodeEntry* fields_in_place(PyObject* node,
                                                                  const TypeInfo& info) {
    PyObject* dict = instance_dict(node);
    if (!dict) return nullptr;
    prefetch_parse_order(node, dict);
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    size_t k = info.fields.size();
    if (!entries || used < static_cast<Py_ssize_t>(k)) return nullptr;
    for (size_t i = 0; i < k; ++i)
        if (entries[i].key != info.fields[i]) return nullptr;
    return entries;
}

/// Calls emit(child, index) for the children in one field value, last first: the node
/// elements of an exact list with their positions, or the value itself (index -1) if it is
/// a node. `room(n)` is asked first for as many calls as may follow. Runs no Python code;
/// stops with false when room or emit returns false.
template <class Room, class Emit>
[[gnu::always_inline]] inline bool each_value_child_last_first(PyObject* value,
                                                               const AstClasses& classes,
                                                               Room&& room, Emit&& emit) {
    if (Py_TYPE(value) == &PyList_Type) {
        Py_ssize_t n = PyList_GET_SIZE(value);
        if (!room(static_cast<size_t>(n))) return false;
        PyObject** items = reinterpret_cast<PyListObject*>(value)->ob_item;
        for (Py_ssize_t j = n; j-- > 0;)
            if (is_ast_node(items[j], classes) && !emit(items[j], j)) return false;
        return true;
    }
    return !is_ast_node(value, classes) || (room(1) && emit(value, Py_ssize_t{-1}));
}

/// Appends to a Span of a Grow, kept by the caller in registers; the Grow is asked for room
/// only when the span is full. Written entries join the span as they are put: the caller
/// truncates back to its mark if it gives up.
template <class T>
class SpanAppender {
public:
    SpanAppender(Grow<T>& array, typename Grow<T>::Span& span) : array_(array), span_(span) {}
    [[gnu::always_inline]] bool room(size_t n) {
        if (span_.cap - span_.size >= n) [[likely]]
            return true;
        auto grown = array_.regrow(span_, span_.size + n);  // realloc keeps what was written
        if (!grown.data) return false;
        span_ = grown;
        return true;
    }
    [[gnu::always_inline]] void put(const T& v) { span_.data[span_.size++] = v; }

private:
    Grow<T>& array_;
    typename Grow<T>::Span& span_;
};

/// How read_in_place ended.
enum class InPlace : uint8_t { read, by_name, no_memory };

/// Puts the children of `node` read straight from its instance dictionary's entry table,
/// last child first, as the entries `make(child, field, index)` gives, into `top` (which
/// has room(n) and put(v)), when the table's first entries are exactly the type's fields
/// in order (what fields_in_place checks, done here as the fields are read). Runs no Python
/// code and takes no reference. What was put counts only when it returns `read`; `by_name`
/// means the fields must be read by name.
template <size_t K, class Out, class Make>
[[gnu::always_inline]] inline InPlace read_fields_into(const UnicodeEntry* entries,
                                                       const TypeInfo& info,
                                                       const AstClasses& classes, Out& top,
                                                       Make& make) {
    size_t k = K ? K : info.fields.size();
    PyObject* const* fields = info.fields.data();
SPRIG_UNROLL_8
    for (size_t i = k; i-- > 0;) {
        PyObject* field = fields[i];
        if (entries[i].key != field) [[unlikely]]
            return InPlace::by_name;
        bool written = each_value_child_last_first(
            entries[i].value, classes, [&](size_t n) { return top.room(n); },
            [&](PyObject* child, Py_ssize_t index) {
                top.put(make(child, field, index));
                return true;
            });
        if (!written) [[unlikely]]
            return InPlace::no_memory;
    }
    return InPlace::read;
}

template <class Out, class Make>
[[gnu::always_inline]] inline InPlace read_into(PyObject* node, const TypeInfo& info,
                                                const AstClasses& classes, Out& top,
                                                Make&& make) {
    PyObject* dict = instance_dict(node);
    if (!dict) [[unlikely]]
        return InPlace::by_name;
    prefetch_parse_order(node, dict);
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    size_t k = info.fields.size();
    if (!entries || used < static_cast<Py_ssize_t>(k)) [[unlikely]]
        return InPlace::by_name;
    return with_field_count(k, [&](auto count) __attribute__((always_inline)) {
        return read_fields_into<decltype(count)::value>(entries, info, classes, top, make);
    });
}

/// read_into appending to `out`, to which nothing is appended unless it returns `read`.
template <class T, class Make>
[[gnu::always_inline]] inline InPlace read_in_place(PyObject* node, const TypeInfo& info,
                                                    const AstClasses& classes, Grow<T>& out,
                                                    Make&& make) {
    size_t mark = out.size();
    auto span = out.open();
    SpanAppender<T> top(out, span);
    InPlace read = read_into(node, info, classes, top, std::forward<Make>(make));
    if (read == InPlace::read)
        out.close(span);
    else
        out.truncate(mark);  // growing the span may have counted what was put
    return read;
}

/// A child with where it was found: `parent.<field>` (index -1) or `parent.<field>[index]`.
struct ChildRef {
    PyObject* child;   // owned
    PyObject* parent;  // owned
    PyObject* field;   // borrowed from the parent type's TypeInfo, kept through the call
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

/// Appends `make(child)` for every child of `node` (whose record is `info`), arranged so
/// that popping from the end yields them in ast.iter_child_nodes order; each entry's `node`
/// holds a new reference to its child. Read in place when the dictionary allows, which runs
/// no Python code; otherwise by name through `scratch`, which may run some. On failure the
/// entries already appended stay for the caller to release.
template <class T, class Make>
[[gnu::always_inline]] inline Status push_owned_children(PyObject* node, const TypeInfo& info,
                                                         const AstClasses& classes,
                                                         Grow<T>& out, RefStack& scratch,
                                                         Make&& make) {
    size_t before = out.size();
    InPlace read = read_in_place(node, info, classes, out,
                                 [&](PyObject* child, PyObject*, Py_ssize_t) {
                                     return make(child);
                                 });
    if (read == InPlace::read) [[likely]] {
        // No Python code ran, so the entries take their references now that all are in.
        for (size_t i = before; i < out.size(); ++i) Py_INCREF(out[i].node);
        return {};
    }
    if (read == InPlace::no_memory) return fail(no_memory());
    SPRIG_TRY(push_children(node, classes, scratch));
    if (!out.reserve_more(scratch.size())) return fail(no_memory());
    for (size_t i = 0; i < scratch.size(); ++i) out.push_unchecked(make(scratch[i]));
    scratch.clear();  // the references moved to `out`
    return {};
}

}  // namespace sprig
