// walk_dfs, walk, _walk_count and walk_unordered. While a walk runs it calls no Python code
// and allocates only to grow its arrays, so every pointer it holds is borrowed from a tree
// that cannot change under it. A node's reference is taken as it is listed, while its
// memory is at hand, and the listed nodes become the result list's own item array. The
// one exception is the signal handlers, let run every few thousand nodes between two
// nodes: every stack entry holds a reference first (those still there from the last time
// hold theirs already), and a walk that goes on after them reads the tree as it is then.
#include "walks/walk_fast.hpp"

#include <atomic>

#include "core/cycles.hpp"
#include "core/grow.hpp"
#include "core/names.hpp"
#include "core/signals.hpp"
#include "schema/classes.hpp"
#include "schema/instance_dict.hpp"

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
        // Eightfold: each step copies the block, and this keeps the copying to a seventh of
        // the final size. The slack is given back when the list adopts the block.
        size_t cap = capacity < 4 ? 64 : capacity * 8;
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

// The work stack as pointers: a push or a pop is then a store or a load and one step.
struct Stack {
    Pending* base;  // null after a failure
    Pending* top;   // one past the top entry
    Pending* end;   // one past the capacity
    // The lowest top since the signal handlers last ran: the entries below it were on the
    // stack then, and hold references in `kept_`, at their own positions.
    Pending* held;
    // After pops: lowers `held` to the top, with a min and no branch.
    [[gnu::always_inline]] void popped() { held = top < held ? top : held; }
    // Whether `n` more entries fit; in bytes, which spares a division.
    bool fits(size_t n) const {
        return static_cast<size_t>(reinterpret_cast<const char*>(end) -
                                   reinterpret_cast<const char*>(top)) >= n * sizeof(Pending);
    }
};

// The walk state the inner loop touches, as a local aggregate that the compiler keeps in
// registers. Stores into the arrays may alias any memory (strict aliasing is off), so the
// same state kept in members would be reloaded after every store. Whatever leaves the
// inner loop (growth, entering a class, the name-based read) takes and returns what it
// changes by value: were the aggregate's address to escape, it would live in memory.
struct Regs {
    Stack s;
    PyObject** out;      // where the next listed node goes
    PyObject** out_end;  // one past the listed nodes' capacity
    size_t counted;      // with Mode::count
    uint32_t suspect_depth;  // kSuspectDepth, or UINT32_MAX once the tree is known acyclic
    TypeMap<FastClass>::View classes;
    PyObject** path;         // with kGuard: ancestors by depth, below `limit`
    uint32_t limit;
    SignalCheck signals;
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
        Regs r{};
        r.s = stack_of(stack_.open());
        r.out = listed.data + listed.size;
        r.out_end = listed.data + listed.capacity;
        r.suspect_depth = kSuspectDepth;
        r.classes = table_.view();
        r.path = guard_.path();
        r.limit = guard_.limit();
        bool ok = direct_reads() ? walk<M, kGuard, true>(r, root)
                                 : walk<M, kGuard, false>(r, root);
        if (M == Mode::count) {
            count = r.counted;
        } else {
            listed.size = static_cast<size_t>(r.out - listed.data);
            count = listed.size;
        }
        return ok;
    }

private:
    static Stack stack_of(Grow<Pending>::Span s) {
        return {s.data, s.data + s.size, s.data + s.cap, s.data};
    }
    static Grow<Pending>::Span span_of(Stack s) {
        return {s.base, static_cast<size_t>(s.top - s.base), static_cast<size_t>(s.end - s.base)};
    }
    // Room for `need` more entries; a null stack when memory is exhausted.
    [[gnu::cold, gnu::noinline]] Stack grow_stack(Stack s, size_t need) {
        Grow<Pending>::Span span = span_of(s);
        size_t held = static_cast<size_t>(s.held - s.base);
        span = stack_.regrow(span, span.size + need);
        if (!span.data) {
            out_of_memory();
            return {};
        }
        Stack grown = stack_of(span);
        grown.held = grown.base + held;
        return grown;
    }

    // The signal handlers, between two nodes: every entry on the stack holds a reference
    // first. A null stack when a handler raised (or memory ran out).
    [[gnu::cold, gnu::noinline]] Stack run_signal_handlers(Stack s) {
        if (!hold(s)) return {};
        s.held = s.top;
        if (Status ran = SignalCheck::handlers(); !ran) {
            failure = std::move(ran.error());
            return {};
        }
        return s;
    }
    // Makes kept_[i] a reference to the node of entry i, for every entry on `s`. Those
    // above `s.held` replaced entries popped since the last time, whose references go only
    // after the new ones are taken: a popped node may be the only owner of its children.
    bool hold(Stack s) {
        auto low = static_cast<size_t>(s.held - s.base);
        auto top = static_cast<size_t>(s.top - s.base);
        size_t stale = kept_.size();
        if (!kept_.reserve_more(top - low)) return out_of_memory();
        for (size_t i = low; i < top; ++i) kept_.push_unchecked(Py_NewRef(s.base[i].node));
        for (size_t i = low; i < stale; ++i) Py_DECREF(kept_[i]);
        for (size_t i = low; i < top; ++i) kept_[i] = kept_[stale - low + i];
        kept_.truncate(top);
        return true;
    }

    // kDirect: the dictionary layout was verified, so entry tables are read in place.
    template <Mode M, bool kGuard, bool kDirect>
    bool walk(Regs& r, PyObject* root) {
        if (!visit<M, kGuard, kDirect, true>(r, {root, 0})) return false;
        if constexpr (M == Mode::unordered)
            return pipelined<kDirect>(r);
        else
            return one_by_one<M, kGuard, kDirect>(r);
    }

    // The loops are functions of their own, with the state copied in and out: inlined into
    // the call, they were placed with its cold code and ran short of registers.
    template <Mode M, bool kGuard, bool kDirect>
    [[gnu::hot, gnu::noinline]] bool one_by_one(Regs& state) {
        Regs r = state;
        bool ok = true;
        while (r.s.top != r.s.base) {
            if (!r.signals.tick()) [[unlikely]] {
                r.s = run_signal_handlers(r.s);
                if (!r.s.base) {
                    ok = false;
                    break;
                }
                r.classes = table_.view();
            }
            Pending p = *--r.s.top;
            r.s.popped();
            if (!visit<M, kGuard, kDirect, false>(r, p)) [[unlikely]] {
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
    template <bool kDirect>
    [[gnu::hot, gnu::noinline]] bool pipelined(Regs& state) {
        Regs r = state;
        bool ok = pipelined_loop<kDirect>(r);
        state = r;
        return ok;
    }
    template <bool kDirect>
    [[gnu::always_inline]] bool pipelined_loop(Regs& r) {
        constexpr size_t kWindow = 64;
        constexpr size_t kKeysAhead = 16;
        constexpr size_t kValuesAhead = 8;
        struct Member {
            Pending p;
            PyObject* dict;  // the node's instance dictionary, or null
        };
        // Past the members, kKeysAhead entries without a dictionary, for which the prefetches
        // do nothing: the loop needs no bounds for them.
        Member window[kWindow + kKeysAhead];
        while (r.s.top != r.s.base) {
            size_t size = static_cast<size_t>(r.s.top - r.s.base);
            size_t n = size < kWindow ? size : kWindow;
            if (!r.signals.tick(static_cast<uint32_t>(n))) [[unlikely]] {
                r.s = run_signal_handlers(r.s);
                if (!r.s.base) return false;
                r.classes = table_.view();
            }
            for (size_t j = 0; j < n; ++j) {
                Pending p = r.s.top[-1 - static_cast<ptrdiff_t>(j)];
                window[j] = {p, instance_dict(p.node)};
                if (j < kKeysAhead) prefetch_keys(window[j].dict);
            }
            for (size_t j = n; j < n + kKeysAhead; ++j) window[j].dict = nullptr;
            r.s.top -= n;
            r.s.popped();
            for (size_t i = 0; i < n; ++i) {
                prefetch_keys(window[i + kKeysAhead].dict);
                if (kDirect) prefetch_values(window[i + kValuesAhead].dict);
                if (!visit<Mode::unordered, false, kDirect, false>(r, window[i].p)) [[unlikely]]
                    return false;
            }
        }
        return true;
    }

    [[gnu::always_inline]] static void prefetch_keys(PyObject* dict) {
        if (dict) {
            const char* keys = static_cast<const char*>(dict_keys_address(dict));
            __builtin_prefetch(keys, 0, 3);
            __builtin_prefetch(keys + 64, 0, 3);
        }
    }

    // Only once direct reads are known to be sound: the key table is read to find them. A
    // table with an entry has room for at least five, so the first three slots are read
    // whether used or not: a prefetch never faults, whatever the address.
    [[gnu::always_inline]] static void prefetch_values(PyObject* dict) {
        if (!dict) return;
        Py_ssize_t used = 0;
        const UnicodeEntry* e = str_entries_unchecked(dict, &used);
        if (!e || used <= 0) return;
        __builtin_prefetch(e[0].value, 0, 3);
        __builtin_prefetch(e[1].value, 0, 3);
        __builtin_prefetch(e[2].value, 0, 3);
    }

    // Lists `p` if it is the root or a node, and pushes its children.
    template <Mode M, bool kGuard, bool kDirect, bool kRoot>
    [[gnu::always_inline]] bool visit(Regs& r, Pending p) {
        PyTypeObject* type = Py_TYPE(p.node);
        const FastClass* cls = r.classes.find(type);
        // An entry counts only while the class keeps the version it was read under.
        if (!cls || cls->version != type->tp_version_tag) [[unlikely]] {
            cls = admit(type);
            if (!cls) return false;
            r.classes = table_.view();
            if (!kRoot && !cls->node) return true;
        }
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
            ++r.counted;
        } else {
            if (r.out == r.out_end) [[unlikely]] {
                listed.size = static_cast<size_t>(r.out - listed.data);
                bool grown = listed.grow();
                r.out = listed.data + listed.size;
                r.out_end = listed.data + listed.capacity;
                if (!grown) return out_of_memory();
            }
            Py_INCREF(p.node);
            *r.out++ = p.node;
        }
        uint32_t k = cls->count;
        if (k == 0) return true;
        PyObject* dict =
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(p.node) + cls->dict_offset);
        if (!dict) return true;
        prefetch_parse_order(p.node, dict);
        uint32_t depth = p.depth + 1;
        if (!kGuard && depth > r.suspect_depth) [[unlikely]] {
            // The check may enter classes and move the table from under `cls`, or read
            // another untagged class into the entry `cls` points to. It lets the signal
            // handlers run, which may change the node's class or dictionary.
            r.s = check_acyclic(r.s, p.node);
            if (!r.s.base) return false;
            r.suspect_depth = UINT32_MAX;
            type = Py_TYPE(p.node);
            cls = admit(type);
            if (!cls) return false;
            r.classes = table_.view();
            k = cls->count;
            if (!cls->node || k == 0) return true;
            dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(p.node) +
                                                 cls->dict_offset);
            if (!dict) return true;
        }
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = kDirect ? str_entries_unchecked(dict, &used) : nullptr;
        if (entries && used >= k) [[likely]] {
            return with_field_count(k, [&](auto count) __attribute__((always_inline)) {
                return push_in_order<decltype(count)::value>(r, entries, dict, cls, depth);
            });
        }
        return push_by_name(r, dict, cls, depth);
    }

    // The fields of a node whose first entries hold its field names in order, read in
    // place. `K` is the field count, or 0 for a count known only at run time.
    template <uint32_t K>
    [[gnu::always_inline]] bool push_in_order(Regs& r, const UnicodeEntry* entries,
                                              PyObject* dict, const FastClass* cls,
                                              uint32_t depth) {
        uint32_t k = K ? K : cls->count;
        if (!r.s.fits(k)) [[unlikely]] {
            r.s = grow_stack(r.s, k);
            if (!r.s.base) return false;
        }
        // An index: a list pushed before a mismatch may have moved the stack.
        size_t mark = static_cast<size_t>(r.s.top - r.s.base);
        // A local: stores below may alias the table.
        PyObject* const* names = cls->names;
        // Last field first, so that the first comes off the stack first.
SPRIG_UNROLL_8
        for (uint32_t i = k; i-- > 0;) {
            if (entries[i].key != names[i]) [[unlikely]] {
                r.s.top = r.s.base + mark;
                return push_by_name(r, dict, cls, depth);
            }
            if (!push_value(r.s, entries[i].value, depth, i)) [[unlikely]]
                return false;
        }
        return true;
    }

    [[gnu::always_inline]] bool push_by_name(Regs& r, PyObject* dict, const FastClass* cls,
                                             uint32_t depth) {
        r.s = push_children_by_name(r.s, dict, cls, depth);
        return r.s.base != nullptr;
    }

    // A field value: a node candidate, or an exact list of them. Other values and list
    // subclasses are no children. The stack has room for this value and the node's other
    // fields, whose count is at most `fields`.
    [[gnu::always_inline]] bool push_value(Stack& s, PyObject* v, uint32_t depth,
                                           size_t fields) {
        if (Py_TYPE(v) == &PyList_Type) {
            size_t n = static_cast<size_t>(PyList_GET_SIZE(v));
            PyObject** items = reinterpret_cast<PyListObject*>(v)->ob_item;
            if (!s.fits(n + fields)) [[unlikely]] {
                s = grow_stack(s, n + fields);
                if (!s.base) return false;
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
    [[gnu::always_inline]] static void push_if_node(Stack& s, PyObject* v, uint32_t depth) {
        Py_ssize_t offset = Py_TYPE(v)->tp_dictoffset;
        if (offset <= 0) return;
        if (PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(v) + offset))
            __builtin_prefetch(dict, 0, 3);
        // Member by member: an aggregate store would also clear the padding after `depth`.
        s.top->node = v;
        s.top->depth = depth;
        ++s.top;
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
    // name looked up by scanning the dictionary, which runs no Python code. A null stack
    // when memory is exhausted.
    [[gnu::cold, gnu::noinline]] Stack push_children_by_name(Stack s, PyObject* dict,
                                                             const FastClass* cls,
                                                             uint32_t depth) {
        if (!s.fits(cls->count)) {
            s = grow_stack(s, cls->count);
            if (!s.base) return s;
        }
        for (uint32_t i = cls->count; i-- > 0;) {
            PyObject* value = find_str_key(dict, cls->names[i]);
            if (value && !push_value(s, value, depth, i)) return s;
        }
        return s;
    }

    // A walk this deep is either in a deep chain or in a cycle: a depth-first walk that
    // keeps the path of ancestors tells which, from the root.
    // The entries on `s` and `node` (being visited) are held first, for the handlers the
    // check lets run; a null stack when it fails.
    [[gnu::cold, gnu::noinline]] Stack check_acyclic(Stack s, PyObject* node) {
        if (!hold(s)) return {};
        s.held = s.top;
        checked_ = Ref::retain(node);
        FastWalker checker(table_);
        if (checker.run<Mode::count, true>(root_)) return s;
        failure = std::move(checker.failure);
        return {};
    }

    FieldTable& table_;
    PyObject* root_ = nullptr;
    // The work stack of a small tree, which then needs no allocation; the heap once it grows.
    Buffered<Grow<Pending>, 64> stack_;
    PathGuard guard_;
    RefStack kept_;  // references taken for the signal handlers: see hold()
    Ref checked_;    // the node whose visit ran the check for cycles
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
                         "sprig.walk is deprecated; use walk_dfs, which returns the same list",
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
