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

struct ListSink {
    Grow<PyObject*>& out;
    [[gnu::always_inline]] bool add(PyObject* node) { return out.push(node); }
};

class FastWalker {
public:
    explicit FastWalker(FieldTable& table) : table_(table) {}

    Failure failure;  // why a walk returned false

    // Depth-first pre-order into `sink` (a Grow<PyObject*> or a counter).
    template <class Sink>
    bool preorder(PyObject* root, Sink& sink) {
        stack_.clear();
        if (!stack_.push({root, 0})) return out_of_memory();
        while (!stack_.empty()) {
            Pending p = stack_.pop();
            const FastClass* cls = classify(p.node);
            if (!cls) [[unlikely]]
                return false;
            if (!cls->node && p.depth != 0) continue;
            if (!guard_.enter(p.node, p.depth)) [[unlikely]] {
                failure = std::move(guard_.failure);
                return false;
            }
            if (!sink.add(p.node)) [[unlikely]]
                return out_of_memory();
            if (cls->count && !push_children(p.node, cls, p.depth + 1)) [[unlikely]]
                return false;
        }
        return true;
    }

    // Batches of four taken from the top of the stack: the dictionaries of a whole batch
    // are requested from memory before any of them is read, so their latencies overlap.
    bool batched(PyObject* root, Grow<PyObject*>& out) {
        stack_.clear();
        if (!stack_.push({root, 0})) return out_of_memory();
        while (!stack_.empty()) {
            Pending batch[4];
            size_t n = stack_.size() < 4 ? stack_.size() : 4;
            for (size_t i = 0; i < n; ++i) {
                batch[i] = stack_.pop();
                if (PyObject* dict = instance_dict(batch[i].node))
                    __builtin_prefetch(dict_keys_address(dict), 0, 3);
            }
            for (size_t i = 0; i < n; ++i) {
                Pending p = batch[i];
                const FastClass* cls = classify(p.node);
                if (!cls) [[unlikely]]
                    return false;
                if (!cls->node && p.depth != 0) continue;
                if (p.depth >= kBatchedDepthLimit) [[unlikely]] {
                    out.clear();
                    ListSink sink{out};
                    return preorder(root, sink);
                }
                if (!out.push(p.node)) [[unlikely]]
                    return out_of_memory();
                if (cls->count && !push_children(p.node, cls, p.depth + 1)) [[unlikely]]
                    return false;
            }
        }
        return true;
    }

private:
    [[gnu::always_inline]] const FastClass* classify(PyObject* node) {
        PyTypeObject* type = Py_TYPE(node);
        if (const FastClass* cls = table_.find(type)) [[likely]]
            return cls;
        return admit(type);
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

    [[gnu::always_inline]] bool push_value(PyObject* v, uint32_t depth) {
        if (Py_TYPE(v) == &PyList_Type) {
            Py_ssize_t n = PyList_GET_SIZE(v);
            PyObject** items = reinterpret_cast<PyListObject*>(v)->ob_item;
            if (!stack_.reserve_more(static_cast<size_t>(n))) [[unlikely]]
                return out_of_memory();
            for (Py_ssize_t j = n; j-- > 0;)
                if (may_be_node(items[j])) stack_.push_unchecked({items[j], depth});
            return true;
        }
        if (may_be_node(v) && !stack_.push({v, depth})) [[unlikely]]
            return out_of_memory();
        return true;
    }

    // The children of `node`: for each name of its class's _fields, the value stored under
    // it in the instance dictionary, pushed last-first so that the first pops first. When the
    // dictionary's first entries are those names in order (as the parser and the ast
    // constructor leave them) the values are read in place.
    [[gnu::always_inline]] bool push_children(PyObject* node, const FastClass* cls,
                                              uint32_t depth) {
        PyObject* dict = instance_dict(node);
        if (!dict) return true;
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = str_entries(dict, &used);
        uint32_t k = cls->count;
        if (entries && used >= k) [[likely]] {
            size_t mark = stack_.size();
            for (uint32_t i = k; i-- > 0;) {
                if (entries[i].key != cls->names[i]) [[unlikely]] {
                    stack_.truncate(mark);
                    return push_children_by_name(dict, cls, depth);
                }
                if (!push_value(entries[i].value, depth)) [[unlikely]]
                    return false;
            }
            return true;
        }
        return push_children_by_name(dict, cls, depth);
    }

    [[gnu::cold, gnu::noinline]] bool push_children_by_name(PyObject* dict, const FastClass* cls,
                                                           uint32_t depth) {
        values_.clear();
        if (!values_.reserve(cls->count)) return out_of_memory();
        for (uint32_t i = 0; i < cls->count; ++i)
            values_.push_unchecked(find_str_key(dict, cls->names[i]));
        for (uint32_t i = cls->count; i-- > 0;)
            if (values_[i] && !push_value(values_[i], depth)) return false;
        return true;
    }

    FieldTable& table_;
    Grow<Pending> stack_;
    Grow<PyObject*> values_;  // scratch of push_children_by_name
    PathGuard guard_;
};

struct CountSink {
    size_t count = 0;
    [[gnu::always_inline]] bool add(PyObject*) {
        ++count;
        return true;
    }
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
    FastWalker walker(**table);
    return run(walker);
}

}  // namespace

Result<Ref> walk_dfs(PyObject* node) {
    return with_walker(node, [&](FastWalker& walker) -> Result<Ref> {
        Grow<PyObject*> out;
        ListSink sink{out};
        if (!walker.preorder(node, sink)) return fail(std::move(walker.failure));
        return to_list(out);
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
    return with_walker(node, [&](FastWalker& walker) -> Result<Ref> {
        CountSink sink;
        if (!walker.preorder(node, sink)) return fail(std::move(walker.failure));
        PyObject* count = PyLong_FromUnsignedLongLong(sink.count);
        if (!count) return fail(null_object(SPRIG_HERE));
        return Ref::adopt(count);
    });
}

Result<Ref> walk_unordered(PyObject* node) {
    return with_walker(node, [&](FastWalker& walker) -> Result<Ref> {
        Grow<PyObject*> out;
        if (!walker.batched(node, out)) return fail(std::move(walker.failure));
        return to_list(out);
    });
}

}  // namespace sprig
