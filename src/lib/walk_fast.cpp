// walk_dfs, walk, _walk_count and walk_unordered. While a walk runs it calls no Python code
// and allocates only to grow its arrays, so every pointer it holds is borrowed from a tree
// that cannot change under it. A node's reference is taken as it is listed, while its
// memory is at hand, and the listed nodes become the result list's own item array.
#include "lib/walk_fast.hpp"

#include <atomic>

#include "lib/classes.hpp"
#include "lib/cycles.hpp"
#include "lib/grow.hpp"
#include "lib/instance_dict.hpp"
#include "lib/names.hpp"

namespace sprig {

namespace {

struct Pending {
    PyObject* node;  // borrowed: no Python code runs in a fast walk
    uint32_t depth;  // the root is at depth 0
};

// No real tree is this deep. A walk that gets deeper stops to run the depth-first check
// for cycles once, then goes on without looking at depths again.
constexpr uint32_t kSuspectDepth = 4096;

enum class Mode { count, preorder, unordered };

// The listed nodes, each with a reference, in a PyMem block that a list can adopt as its
// item array, so the result is never copied.
class Listed {
public:
    Listed() = default;
    Listed(const Listed&) = delete;
    ~Listed() {
        for (size_t i = 0; i < size; ++i) Py_DECREF(data[i]);
        PyMem_Free(data);
    }

    [[gnu::cold, gnu::noinline]] bool grow() {
        // Quadrupling: each step copies the block, and this keeps the copying to a third of
        // the final size. The slack is given back when the list adopts the block.
        size_t cap = capacity < 4 ? 64 : capacity * 4;
        if (cap > PY_SSIZE_T_MAX / sizeof(PyObject*)) return false;
        auto* p = static_cast<PyObject**>(PyMem_Realloc(data, cap * sizeof(PyObject*)));
        if (!p) return false;
        data = p;
        capacity = cap;
        return true;
    }

    // The list of the listed nodes; the references move into it.
    Result<Ref> into_list() {
#ifdef Py_GIL_DISABLED
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
        if (!list) return fail(take_pending());
        for (size_t i = 0; i < size; ++i) PyList_SET_ITEM(list, i, data[i]);
        size = 0;
#else
        PyObject* list = PyList_New(0);
        if (!list) return fail(take_pending());
        if (size) {
            if (size < capacity) {  // give back the slack; keep the block if that fails
                if (void* p = PyMem_Realloc(data, size * sizeof(PyObject*))) {
                    data = static_cast<PyObject**>(p);
                    capacity = size;
                }
            }
            auto* l = reinterpret_cast<PyListObject*>(list);
            l->ob_item = std::exchange(data, nullptr);
            l->allocated = static_cast<Py_ssize_t>(capacity);
            Py_SET_SIZE(l, static_cast<Py_ssize_t>(std::exchange(size, 0)));
            capacity = 0;
        }
#endif
        return Ref::adopt(list);
    }

    PyObject** data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
};

// The walk state the inner loop touches, as a local aggregate that the compiler keeps in
// registers. Stores into the arrays may alias any memory (strict aliasing is off), so the
// same state kept in members would be reloaded after every store. Whatever leaves the
// inner loop (growth, entering a class, the name-based read) writes back and reloads.
struct Regs {
    Grow<Pending>::Span stack;
    PyObject** out;
    size_t listed;
    size_t out_cap;
    uint32_t suspect_depth;  // kSuspectDepth, or UINT32_MAX once the tree is known acyclic
    bool direct;             // the dictionary layout was verified: read entry tables in place
    TypeMap<FastClass>::View classes;
    PyObject** path;         // with kGuard: ancestors by depth, below `limit`
    uint32_t limit;
};

class FastWalker {
public:
    explicit FastWalker(FieldTable& table) : table_(table) {}

    Failure failure;  // why a walk returned false
    Listed listed;    // the listed nodes, without Mode::count
    size_t count = 0;

    template <Mode M, bool kGuard = false>
    bool run(PyObject* root) {
        root_ = root;
        Regs r{stack_.open(), listed.data, listed.size, listed.capacity, kSuspectDepth,
               direct_reads(), table_.view(), guard_.path(), guard_.limit()};
        bool ok = visit<M, kGuard, true>(r, {root, 0}) &&
                  (M == Mode::unordered ? pipelined(r) : one_by_one<M, kGuard>(r));
        stack_.close(r.stack);
        listed.data = r.out;
        listed.capacity = r.out_cap;
        if (M != Mode::count) listed.size = r.listed;
        count = r.listed;
        return ok;
    }

private:
    template <Mode M, bool kGuard>
    [[gnu::hot, gnu::noinline]] bool one_by_one(Regs& state) {
        Regs r = state;
        bool ok = true;
        while (r.stack.size) {
            Pending p = r.stack.data[--r.stack.size];
            if (!visit<M, kGuard, false>(r, p)) [[unlikely]] {
                ok = false;
                break;
            }
        }
        state = r;
        return ok;
    }

    // Windows of up to kWindow entries taken off the top of the stack and read front to
    // back, while the entries ahead in the window have their memory asked for in stages:
    // a node's dictionary was requested when it was pushed; kKeysAhead entries ahead, its
    // key table is requested; kValuesAhead entries ahead, the table has arrived and its
    // first values (children, or lists of them) are requested. Many cache misses are then
    // in flight at once instead of one after another down each path, while taking windows
    // off the top keeps to the tree's own memory order and the stack short.
    [[gnu::hot, gnu::noinline]] bool pipelined(Regs& state) {
        Regs r = state;
        bool ok = pipelined_loop(r);
        state = r;
        return ok;
    }
    [[gnu::always_inline]] bool pipelined_loop(Regs& r) {
        constexpr size_t kWindow = 64;
        constexpr size_t kKeysAhead = 16;
        constexpr size_t kValuesAhead = 8;
        Pending window[kWindow];
        while (r.stack.size) {
            size_t n = r.stack.size < kWindow ? r.stack.size : kWindow;
            for (size_t j = 0; j < n; ++j) {
                window[j] = r.stack.data[r.stack.size - 1 - j];
                if (j < kKeysAhead) prefetch_keys(window[j].node);
            }
            r.stack.size -= n;
            for (size_t i = 0; i < n; ++i) {
                if (i + kKeysAhead < n) prefetch_keys(window[i + kKeysAhead].node);
                if (r.direct && i + kValuesAhead < n) prefetch_values(window[i + kValuesAhead].node);
                if (!visit<Mode::unordered, false, false>(r, window[i])) [[unlikely]]
                    return false;
            }
        }
        return true;
    }

    [[gnu::always_inline]] static void prefetch_keys(PyObject* node) {
        if (PyObject* dict = instance_dict(node)) {
            const char* keys = static_cast<const char*>(dict_keys_address(dict));
            __builtin_prefetch(keys, 0, 3);
            __builtin_prefetch(keys + 64, 0, 3);
        }
    }

    // Only once direct reads are known to be sound: the key table is read to find them.
    [[gnu::always_inline]] static void prefetch_values(PyObject* node) {
        if (PyObject* dict = instance_dict(node)) {
            Py_ssize_t used = 0;
            if (const UnicodeEntry* e = str_entries_unchecked(dict, &used))
                for (Py_ssize_t j = 0; j < used && j < 3; ++j)
                    if (e[j].value) __builtin_prefetch(e[j].value, 0, 3);
        }
    }

    // Lists `p` if it is the root or a node, and pushes its children.
    template <Mode M, bool kGuard, bool kRoot>
    [[gnu::always_inline]] bool visit(Regs& r, Pending p) {
        if (!kGuard && p.depth >= r.suspect_depth) [[unlikely]] {
            // Before the class lookup: the check may enter classes and move the table.
            if (!check_acyclic()) return false;
            r.suspect_depth = UINT32_MAX;
            r.classes = table_.view();
        }
        PyTypeObject* type = Py_TYPE(p.node);
        const FastClass* cls = r.classes.find(type);
        if (!cls) [[unlikely]] {
            cls = admit(type);
            if (!cls) return false;
            r.classes = table_.view();
        }
        if (!kRoot && !cls->node) return true;
        if constexpr (kGuard) {
            if (p.depth < r.limit) [[likely]] {
                r.path[p.depth] = p.node;
            } else {
                if (!guard_.enter(p.node, p.depth)) {
                    failure = std::move(guard_.failure);
                    return false;
                }
                r.path = guard_.path();
                r.limit = guard_.limit();
            }
        }
        if constexpr (M == Mode::count) {
            ++r.listed;
        } else {
            if (r.listed == r.out_cap) [[unlikely]] {
                listed.size = r.listed;
                bool grown = listed.grow();
                r.out = listed.data;
                r.out_cap = listed.capacity;
                if (!grown) return out_of_memory();
            }
            Py_INCREF(p.node);
            r.out[r.listed++] = p.node;
        }
        uint32_t k = cls->count;
        if (k == 0) return true;
        PyObject* dict = instance_dict(p.node);
        if (!dict) return true;
        prefetch_parse_order(p.node, dict);
        uint32_t depth = p.depth + 1;
        if (r.stack.cap - r.stack.size < k) [[unlikely]] {
            r.stack = stack_.regrow(r.stack, r.stack.size + k);
            if (!r.stack.data) return out_of_memory();
        }
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = r.direct ? str_entries_unchecked(dict, &used) : nullptr;
        if (entries && used >= k) [[likely]] {
            size_t mark = r.stack.size;
            // Last field first, so that the first comes off the stack first. Locals: stores
            // below may alias the table.
            PyObject* const* names = cls->names;
            PyObject* const* name = names + k;
            const UnicodeEntry* entry = entries + k;
            do {
                --name;
                --entry;
                if (entry->key != *name) [[unlikely]] {
                    r.stack.size = mark;
                    r.stack = push_children_by_name(r.stack, dict, cls, depth);
                    return r.stack.data != nullptr;
                }
                if (!push_value(r.stack, entry->value, depth, name - names)) [[unlikely]]
                    return false;
            } while (name != names);
            return true;
        }
        r.stack = push_children_by_name(r.stack, dict, cls, depth);
        return r.stack.data != nullptr;
    }

    // A field value: a node candidate, or an exact list of them. Other values and list
    // subclasses are no children. The stack has room for this value and `later` more.
    [[gnu::always_inline]] bool push_value(Grow<Pending>::Span& s, PyObject* v, uint32_t depth,
                                           size_t later) {
        if (Py_TYPE(v) == &PyList_Type) {
            size_t n = static_cast<size_t>(PyList_GET_SIZE(v));
            PyObject** items = reinterpret_cast<PyListObject*>(v)->ob_item;
            if (s.cap - s.size < n + later) [[unlikely]] {
                s = stack_.regrow(s, s.size + n + later);
                if (!s.data) return out_of_memory();
            }
            for (size_t j = n; j-- > 0;) push_if_node(s, items[j], depth);
            return true;
        }
        push_if_node(s, v, depth);
        return true;
    }
    // Pushes `v` if it may be a node: if its class keeps the instance dictionary at a fixed
    // offset, as ast.AST does and every subclass inherits. This leaves out None, str, int,
    // float, bytes and tuple without a table lookup; the few other objects that pass
    // (functions and exceptions, say) are found to be no node when popped. The dictionary
    // is asked for: the next thing the node's visit needs.
    [[gnu::always_inline]] static void push_if_node(Grow<Pending>::Span& s, PyObject* v,
                                                    uint32_t depth) {
        Py_ssize_t offset = Py_TYPE(v)->tp_dictoffset;
        if (offset <= 0) return;
        if (PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(v) + offset))
            __builtin_prefetch(dict, 0, 3);
        // Member by member: an aggregate store would also clear the padding after `depth`.
        Pending& slot = s.data[s.size++];
        slot.node = v;
        slot.depth = depth;
    }

    [[gnu::cold, gnu::noinline]] const FastClass* admit(PyTypeObject* type) {
        auto cls = table_.admit(type);
        if (!cls) {
            failure = std::move(cls.error());
            return nullptr;
        }
        return *cls;
    }

    [[gnu::cold, gnu::noinline]] bool out_of_memory() {
        failure = no_memory();
        return false;
    }

    // The fields of a node whose dictionary is not laid out as the parser leaves it: each
    // name looked up by scanning the dictionary, which runs no Python code. The stack has
    // room for one entry per field.
    [[gnu::cold, gnu::noinline]] Grow<Pending>::Span push_children_by_name(
        Grow<Pending>::Span s, PyObject* dict, const FastClass* cls, uint32_t depth) {
        for (uint32_t i = cls->count; i-- > 0;) {
            PyObject* value = find_str_key(dict, cls->names[i]);
            if (value && !push_value(s, value, depth, i)) return {nullptr, 0, 0};
        }
        return s;
    }

    // A walk this deep is either in a deep chain or in a cycle: a depth-first walk that
    // keeps the path of ancestors tells which, from the root.
    [[gnu::cold, gnu::noinline]] bool check_acyclic() {
        FastWalker checker(table_);
        if (checker.run<Mode::count, true>(root_)) return true;
        failure = std::move(checker.failure);
        return false;
    }

    FieldTable& table_;
    PyObject* root_ = nullptr;
    Grow<Pending> stack_;
    PathGuard guard_;
};

// Runs `run(table)` with the thread's field table, holding `node` meanwhile.
template <class Run>
Result<Ref> with_table(PyObject* node, Run&& run) {
    Ref held = Ref::retain(node);
    auto classes = get_ast_classes();
    if (!classes) return fail(std::move(classes.error()));
    auto table = acquire_field_table(*classes);
    if (!table) return fail(std::move(table.error()));
    return run(**table);
}

template <Mode M>
Result<Ref> listing_walk(PyObject* node) {
    return with_table(node, [&](FieldTable& table) -> Result<Ref> {
        FastWalker walker(table);
        if (!walker.run<M>(node)) return fail(std::move(walker.failure));
        return walker.listed.into_list();
    });
}

}  // namespace

Result<Ref> walk_dfs(PyObject* node) { return listing_walk<Mode::preorder>(node); }

Result<Ref> walk_unordered(PyObject* node) { return listing_walk<Mode::unordered>(node); }

Result<Ref> walk_deprecated(PyObject* node) {
    Ref held = Ref::retain(node);
    if (!g_walk_warned.exchange(true, std::memory_order_seq_cst)) {
        if (PyErr_WarnEx(PyExc_DeprecationWarning,
                         "sprig.walk is deprecated; use walk_dfs for strict depth-first order "
                         "or walk_unordered for the faster order-agnostic variant",
                         1) < 0)
            return fail(take_pending());
    }
    return walk_dfs(node);
}

Result<Ref> walk_count(PyObject* node) {
    return with_table(node, [&](FieldTable& table) -> Result<Ref> {
        FastWalker walker(table);
        if (!walker.run<Mode::count>(node)) return fail(std::move(walker.failure));
        PyObject* count = PyLong_FromUnsignedLongLong(walker.count);
        if (!count) return fail(null_object(SPRIG_HERE));
        return Ref::adopt(count);
    });
}

}  // namespace sprig
