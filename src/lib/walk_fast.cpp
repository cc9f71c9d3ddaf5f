// walk_dfs, walk, _walk_count and walk_unordered. While a walk runs it calls no Python code,
// takes no references and allocates only to grow its arrays, so every pointer it holds is
// borrowed from a tree that cannot change under it. References are taken once, when the
// result list is filled.
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

// A value may be a node only when its class derives from something other than `object`:
// this leaves out None, str, int, tuple and ast.AST itself without a table lookup.
[[gnu::always_inline]] inline bool may_be_node(PyObject* v) {
    PyTypeObject* base = Py_TYPE(v)->tp_base;
    return base != &PyBaseObject_Type && base != nullptr;
}

// Depth beyond which the batched walk hands over to the depth-first one, whose ancestor
// path detects cycles; no real tree comes near it.
constexpr uint32_t kBatchedDepthLimit = 4096;

// The walk state the inner loop touches, as a local aggregate that the compiler keeps in
// registers. Stores into the arrays may alias any memory (strict aliasing is off), so the
// same state kept in members would be reloaded after every store. Whatever leaves the
// inner loop (growth, entering a class, the name-based read) writes back and reloads.
struct Regs {
    Grow<Pending>::Span stack;
    Grow<PyObject*>::Span out;
    size_t count;
    PyObject** path;  // ancestors by depth, below `limit`
    uint32_t limit;
    TypeMap<FastClass>::View classes;
    bool direct;  // the dictionary layout was verified: entry tables may be read in place
};

class FastWalker {
public:
    explicit FastWalker(FieldTable& table) : table_(table) {}

    Failure failure;  // why a walk returned false
    Grow<PyObject*> out;

    // Depth-first pre-order; collects into `out` or, without kCollect, only counts.
    template <bool kCollect>
    bool preorder(PyObject* root, size_t* count) {
        Regs r = open(root);
        if (!r.stack.data) return false;
        while (r.stack.size) {
            Pending p = r.stack.data[--r.stack.size];
            if (!visit<kCollect, true>(r, p)) [[unlikely]]
                return false;
        }
        out.close(r.out);
        if (count) *count = r.count;
        return true;
    }

    // Batches of four taken from the top of the stack: the dictionaries of a whole batch
    // are requested from memory before any of them is read, so their latencies overlap.
    bool batched(PyObject* root) {
        Regs r = open(root);
        if (!r.stack.data) return false;
        while (r.stack.size) {
            Pending batch[4];
            size_t n = r.stack.size < 4 ? r.stack.size : 4;
            for (size_t i = 0; i < n; ++i) {
                batch[i] = r.stack.data[--r.stack.size];
                if (PyObject* dict = instance_dict(batch[i].node))
                    __builtin_prefetch(dict_keys_address(dict), 0, 3);
            }
            for (size_t i = 0; i < n; ++i) {
                if (batch[i].depth >= kBatchedDepthLimit) [[unlikely]] {
                    out.clear();
                    return preorder<true>(root, nullptr);
                }
                if (!visit<true, false>(r, batch[i])) [[unlikely]]
                    return false;
            }
        }
        out.close(r.out);
        return true;
    }

private:
    Regs open(PyObject* root) {
        stack_.clear();
        out.clear();
        Regs r{stack_.open(), out.open(), 0, guard_.path(), guard_.limit(), table_.view(),
               detail::g_layout_verified};
        r.stack = push(r.stack, {root, 0});
        return r;
    }

    // Lists `p` if it is the root or a node, and pushes its children.
    template <bool kCollect, bool kGuard>
    [[gnu::always_inline]] bool visit(Regs& r, Pending p) {
        PyTypeObject* type = Py_TYPE(p.node);
        const FastClass* cls = r.classes.find(type);
        if (!cls) [[unlikely]] {
            cls = admit(type);
            if (!cls) return false;
            r.classes = table_.view();
        }
        if (!cls->node && p.depth != 0) return true;
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
        if constexpr (kCollect) {
            if (r.out.size == r.out.cap) [[unlikely]] {
                r.out = out.regrow(r.out, r.out.size + 1);
                if (!r.out.data) return out_of_memory();
            }
            r.out.data[r.out.size++] = p.node;
        } else {
            ++r.count;
        }
        uint32_t k = cls->count;
        if (k == 0) return true;
        PyObject* dict = instance_dict(p.node);
        if (!dict) return true;
        uint32_t depth = p.depth + 1;
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = r.direct ? str_entries(dict, &used) : nullptr;
        if (entries && used >= k) [[likely]] {
            size_t mark = r.stack.size;
            for (uint32_t i = k; i-- > 0;) {
                if (entries[i].key != cls->names[i]) [[unlikely]] {
                    r.stack.size = mark;
                    r.stack = push_children_by_name(r.stack, dict, cls, depth);
                    return r.stack.data != nullptr;
                }
                if (!push_value(r, entries[i].value, depth)) [[unlikely]]
                    return false;
            }
            return true;
        }
        r.stack = push_children_by_name(r.stack, dict, cls, depth);
        return r.stack.data != nullptr;
    }

    // A field value: a node candidate, or an exact list of them. Other values and list
    // subclasses are no children.
    [[gnu::always_inline]] bool push_value(Regs& r, PyObject* v, uint32_t depth) {
        if (Py_TYPE(v) == &PyList_Type) {
            size_t n = static_cast<size_t>(PyList_GET_SIZE(v));
            PyObject** items = reinterpret_cast<PyListObject*>(v)->ob_item;
            if (r.stack.cap - r.stack.size < n) [[unlikely]] {
                r.stack = stack_.regrow(r.stack, r.stack.size + n);
                if (!r.stack.data) return out_of_memory();
            }
            for (size_t j = n; j-- > 0;) {
                if (may_be_node(items[j])) {
                    prefetch_dict(items[j]);
                    r.stack.data[r.stack.size++] = {items[j], depth};
                }
            }
            return true;
        }
        if (!may_be_node(v)) return true;
        prefetch_dict(v);
        r.stack = push(r.stack, {v, depth});
        return r.stack.data != nullptr;
    }

    // Asks for the dictionary of a node about to be pushed: its node line was just read to
    // test its type, and the dictionary line will be needed when the node is popped.
    [[gnu::always_inline]] static void prefetch_dict(PyObject* v) {
#ifndef SPRIG_NO_PREFETCH
        if (PyObject* dict = instance_dict(v)) __builtin_prefetch(dict, 0, 3);
#else
        (void)v;
#endif
    }

    [[gnu::always_inline]] Grow<Pending>::Span push(Grow<Pending>::Span s, Pending p) {
        if (s.size == s.cap) [[unlikely]] {
            s = stack_.regrow(s, s.size + 1);
            if (!s.data) {
                out_of_memory();
                return s;
            }
        }
        s.data[s.size++] = p;
        return s;
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
    // name looked up by scanning the dictionary, which runs no Python code.
    [[gnu::cold, gnu::noinline]] Grow<Pending>::Span push_children_by_name(
        Grow<Pending>::Span s, PyObject* dict, const FastClass* cls, uint32_t depth) {
        values_.clear();
        if (!values_.reserve(cls->count)) {
            out_of_memory();
            return {nullptr, 0, 0};
        }
        for (uint32_t i = 0; i < cls->count; ++i)
            values_.push_unchecked(find_str_key(dict, cls->names[i]));
        Regs r{s, {}, 0, nullptr, 0, {}, false};
        for (uint32_t i = cls->count; i-- > 0;)
            if (values_[i] && !push_value(r, values_[i], depth)) return {nullptr, 0, 0};
        return r.stack;
    }

    FieldTable& table_;
    Grow<Pending> stack_;
    Grow<PyObject*> values_;  // scratch of push_children_by_name
    PathGuard guard_;
};

// One value met by the breadth-first gather, and once processed, the range of the queue
// that holds its own candidates: a node's field values, or a list's elements.
enum EntryKind : uint16_t { kSkip, kNode, kList };
struct Entry {
    PyObject* value;  // borrowed: no Python code runs in a fast walk
    uint32_t depth;   // the root is at depth 0; a list's elements share the list's depth
    uint16_t kind;    // EntryKind, set when processed
    uint16_t element; // met as a list element: a list here is a leaf, not expanded
    uint32_t first;   // candidates of this entry: queue[first, first + count)
    uint32_t count;
};

// Prefetch distance, in queue entries: the dictionary of the entry 2 * kAhead ahead and the
// keys of the one kAhead ahead are requested while the current entry is read.
#ifndef SPRIG_AHEAD
#define SPRIG_AHEAD 8
#endif
constexpr size_t kAhead = SPRIG_AHEAD;

// Gathers the tree breadth first into one queue, which never shrinks. Knowing the entries
// to be read next lets it ask for their memory well before reading it, so many cache
// misses are in flight at once instead of one after another along each path. The queue
// keeps each entry's candidates as a contiguous range, from which depth-first pre-order
// follows without touching the tree again.
class Gather {
public:
    explicit Gather(FieldTable& table) : table_(table) {}

    Failure failure;
    Grow<PyObject*> out;

    // Fills the queue; with kCollect lists the nodes in `out` in the gather's order, with
    // kRanges records each entry's range for preorder().
    template <bool kCollect, bool kRanges>
    bool run(PyObject* root, size_t* count) {
        queue_.clear();
        out.clear();
        auto q = queue_.open();
        auto o = out.open();
        auto classes = table_.view();
        bool direct = detail::g_layout_verified;
        size_t nodes = 0;
        uint32_t depth_limit = kGatherDepthLimit;
        q = append(q, {root, 0, kSkip, 0, 0, 0});
        if (!q.data) return false;
        for (size_t i = 0; i < q.size; ++i) {
            if (i + 2 * kAhead < q.size) prefetch_dict(q.data[i + 2 * kAhead]);
            if (i + kAhead < q.size) prefetch_keys(q.data[i + kAhead]);
            const Entry e = q.data[i];
            uint32_t first = static_cast<uint32_t>(q.size);
            uint16_t kind = kSkip;
            PyTypeObject* type = Py_TYPE(e.value);
            if (e.depth >= depth_limit) [[unlikely]] {
                if (!check_acyclic(root)) return false;
                depth_limit = UINT32_MAX;
            }
            if (type == &PyList_Type && e.depth != 0 && !e.element) {
                kind = kList;
                size_t n = static_cast<size_t>(PyList_GET_SIZE(e.value));
                PyObject** items = reinterpret_cast<PyListObject*>(e.value)->ob_item;
                if (q.cap - q.size < n) [[unlikely]] {
                    q = grow(q, q.size + n);
                    if (!q.data) return false;
                }
                for (size_t j = 0; j < n; ++j) {
                    PyObject* item = items[j];
                    if (item == Py_None) continue;
                    __builtin_prefetch(item, 0, 3);
                    q.data[q.size++] = {item, e.depth, kSkip, 1, 0, 0};
                }
            } else if (e.depth == 0 || may_be_node(e.value)) {
                const FastClass* cls = classes.find(type);
                if (!cls) [[unlikely]] {
                    cls = admit(type);
                    if (!cls) return false;
                    classes = table_.view();
                }
                if (cls->node || e.depth == 0) {
                    kind = kNode;
                    ++nodes;
                    if constexpr (kCollect) {
                        if (o.size == o.cap) [[unlikely]] {
                            o = out.regrow(o, o.size + 1);
                            if (!o.data) return out_of_memory();
                        }
                        o.data[o.size++] = e.value;
                    }
                    if (cls->count) {
                        q = append_fields(q, e, cls, direct);
                        if (!q.data) return false;
                    }
                }
            }
            if (q.size > UINT32_MAX) [[unlikely]]
                return out_of_memory();
            if constexpr (kRanges) {
                Entry& done = q.data[i];
                done.kind = kind;
                done.first = first;
                done.count = static_cast<uint32_t>(q.size - first);
            }
        }
        queue_.close(q);
        out.close(o);
        if (count) *count = nodes;
        return true;
    }

    // The nodes in depth-first pre-order, from the ranges recorded by run<false, true>.
    bool preorder() {
        struct Range {
            uint32_t first, count;
        };
        Grow<Range> stack;
        if (!stack.reserve(64) || !out.reserve(queue_.size())) return out_of_memory();
        const Entry* q = queue_.data();
        PyObject** o = out.data();
        size_t n = 0;
        stack.push_unchecked({0, 1});
        while (!stack.empty()) {
            Range& top = stack.back();
            const Entry& e = q[top.first];
            if (--top.count == 0) {
                stack.pop();
            } else {
                ++top.first;
            }
            if (e.kind == kNode) o[n++] = e.value;
            if (e.count && !stack.push({e.first, e.count})) return out_of_memory();
        }
        out.close({o, n, 0});
        return true;
    }

private:
    static constexpr uint32_t kGatherDepthLimit = 4096;

    [[gnu::always_inline]] static void prefetch_dict(const Entry& e) {
        PyTypeObject* type = Py_TYPE(e.value);
        if (type == &PyList_Type) {
            __builtin_prefetch(reinterpret_cast<PyListObject*>(e.value)->ob_item, 0, 3);
        } else if (PyObject* dict = instance_dict(e.value)) {
            __builtin_prefetch(dict, 0, 3);
        }
    }

    [[gnu::always_inline]] static void prefetch_keys(const Entry& e) {
        if (Py_TYPE(e.value) == &PyList_Type) return;
        if (PyObject* dict = instance_dict(e.value)) {
            const char* keys = static_cast<const char*>(dict_keys_address(dict));
            __builtin_prefetch(keys, 0, 3);
            __builtin_prefetch(keys + 64, 0, 3);
        }
    }

    // The values of the fields of a node, in field order, as candidates one level deeper.
    [[gnu::always_inline]] Grow<Entry>::Span append_fields(Grow<Entry>::Span q, const Entry& e,
                                                           const FastClass* cls, bool direct) {
        PyObject* dict = instance_dict(e.value);
        if (!dict) return q;
        uint32_t k = cls->count;
        if (q.cap - q.size < k) [[unlikely]] {
            q = grow(q, q.size + k);
            if (!q.data) return q;
        }
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = direct ? str_entries(dict, &used) : nullptr;
        size_t mark = q.size;
        if (entries && used >= k) [[likely]] {
            for (uint32_t i = 0; i < k; ++i) {
                if (entries[i].key != cls->names[i]) [[unlikely]] {
                    q.size = mark;
                    goto by_name;
                }
                PyObject* v = entries[i].value;
                if (v == Py_None) continue;
                __builtin_prefetch(v, 0, 3);
                q.data[q.size++] = {v, e.depth + 1, kSkip, 0, 0, 0};
            }
            return q;
        }
    by_name:
        for (uint32_t i = 0; i < k; ++i) {
            PyObject* v = find_str_key(dict, cls->names[i]);
            if (v && v != Py_None) q.data[q.size++] = {v, e.depth + 1, kSkip, 0, 0, 0};
        }
        return q;
    }

    Grow<Entry>::Span append(Grow<Entry>::Span q, Entry e) {
        if (q.size == q.cap) {
            q = grow(q, q.size + 1);
            if (!q.data) return q;
        }
        q.data[q.size++] = e;
        return q;
    }

    [[gnu::cold, gnu::noinline]] Grow<Entry>::Span grow(Grow<Entry>::Span q, size_t need) {
        q = queue_.regrow(q, need);
        if (!q.data) out_of_memory();
        return q;
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

    // A tree this deep is either a deep chain or a cycle: the depth-first walk's ancestor
    // path tells which. Once it has found none, the gather goes on unchecked.
    [[gnu::cold, gnu::noinline]] bool check_acyclic(PyObject* root) {
        FastWalker walker(table_);
        size_t ignored = 0;
        if (walker.preorder<false>(root, &ignored)) return true;
        failure = std::move(walker.failure);
        return false;
    }

    FieldTable& table_;
    Grow<Entry> queue_;
};

// The list of `nodes`, each with a new reference.
Result<Ref> to_list(const Grow<PyObject*>& nodes) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(nodes.size()));
    if (!list) return fail(take_pending());
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    for (size_t i = 0; i < nodes.size(); ++i) {
        PyObject* n = nodes[i];
        Py_INCREF(n);
        items[i] = n;
    }
    return Ref::adopt(list);
}

// Runs `run(walker)` with the thread's classes and table, holding `node` meanwhile.
template <class Run>
Result<Ref> with_walker(PyObject* node, Run&& run) {
    Ref held = Ref::retain(node);
    auto classes = get_ast_classes();
    if (!classes) return fail(std::move(classes.error()));
    auto table = acquire_field_table(*classes);
    if (!table) return fail(std::move(table.error()));
    return run(**table);
}

}  // namespace

Result<Ref> walk_dfs(PyObject* node) {
    return with_walker(node, [&](FieldTable& table) -> Result<Ref> {
        FastWalker walker(table);
        if (!walker.preorder<true>(node, nullptr)) return fail(std::move(walker.failure));
        return to_list(walker.out);
    });
}

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
    return with_walker(node, [&](FieldTable& table) -> Result<Ref> {
        FastWalker walker(table);
        size_t nodes = 0;
        if (!walker.preorder<false>(node, &nodes)) return fail(std::move(walker.failure));
        PyObject* count = PyLong_FromUnsignedLongLong(nodes);
        if (!count) return fail(null_object(SPRIG_HERE));
        return Ref::adopt(count);
    });
}

Result<Ref> walk_unordered(PyObject* node) {
    return with_walker(node, [&](FieldTable& table) -> Result<Ref> {
        Gather gather(table);
        if (!gather.run<true, false>(node, nullptr)) return fail(std::move(gather.failure));
        return to_list(gather.out);
    });
}

}  // namespace sprig
