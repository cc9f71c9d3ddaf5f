// The type-filtered walks: frontier (plain and with edges), of_types and the visitor event
// stream. Reading a field may run Python code that changes the tree or re-enters sprig, so
// every node still to be visited is held by an owned reference and all state is the call's.
#include "lib/walk_typed.hpp"

#include "fields/fields.hpp"
#include "lib/cycles.hpp"
#include "lib/kinds.hpp"

namespace sprig {

namespace {

// Each walk keeps the depth of every work-stack entry in a parallel array (the root is at
// depth 0), for the cycle check of PathGuard. After an expansion pushed children onto the
// stack, this gives each of them `depth`.
[[gnu::always_inline]] inline bool fill_depths(Grow<uint32_t>& depths, size_t stack_size,
                                               uint32_t depth) {
    size_t n = stack_size - depths.size();
    if (!depths.reserve_more(n)) [[unlikely]]
        return false;
    while (n-- > 0) depths.push_unchecked(depth);
    return true;
}

// The first descendants of `root` whose exact type is in `kinds`, in pre-order, each with
// where it was read from. The root itself is expanded unconditionally and never reported.
Status frontier_walk(PyObject* root, PyObject* kinds, ChildRefStack& results) {
    auto set = build_kind_set(kinds);
    if (!set) return fail(std::move(set.error()));
    auto classes = get_ast_classes();
    if (!classes) return fail(std::move(classes.error()));

    ChildRefStack stack;
    Grow<uint32_t> depths;
    PathGuard guard;
    if (!guard.enter(root, 0)) return fail(std::move(guard.failure));
    SPRIG_TRY(push_child_refs(root, *classes, stack));  // the caller holds the root
    if (!fill_depths(depths, stack.size(), 1)) return fail(no_memory());
    while (!stack.empty()) {
        ChildRef top = stack.back();
        if (kind_set_contains(*set, top.child)) {
            if (!results.push(top)) return fail(no_memory());
            stack.pop();  // its references moved into the results
            depths.pop();
            continue;
        }
        stack.pop();
        uint32_t depth = depths.pop();
        // Released after the expansion: this entry may hold the node's last reference.
        Ref child = Ref::adopt(top.child);
        Ref parent = Ref::adopt(top.parent);
        if (!guard.enter(top.child, depth)) [[unlikely]]
            return fail(std::move(guard.failure));
        SPRIG_TRY(push_child_refs(top.child, *classes, stack));
        if (!fill_depths(depths, stack.size(), depth + 1)) return fail(no_memory());
    }
    return {};
}

// Runs the frontier walk after checking `kinds`, holding `node` and `kinds` meanwhile.
template <class Build>
Result<Ref> frontier(PyObject* node, PyObject* kinds, Build&& build) {
    Ref held = Ref::retain(node);
    auto held_kinds = tuple_argument(kinds, "kinds");
    if (!held_kinds) return fail(std::move(held_kinds.error()));
    ChildRefStack results;
    SPRIG_TRY(frontier_walk(node, kinds, results));
    return build(results);
}

// A Grow of records whose `node` is an owned reference; what is left in it is released.
template <class T>
class NodeRecords : public Grow<T> {
public:
    NodeRecords() = default;
    ~NodeRecords() { drop_from(0); }
    void drop_from(size_t start) {
        while (this->size() > start) Py_DECREF(this->pop().node);
    }
};

// The visitor event stream. A bracketed node leaves a closing entry below its children on
// the work stack, so its event 2 comes after every event of its subtree.
class EventWalk {
public:
    enum Event : uint32_t { kDispatch = 0, kEnter = 1, kLeave = 2 };

    EventWalk(KindSet kinds, KindSet bracket, AstClasses classes)
        : kinds_(std::move(kinds)), bracket_(std::move(bracket)), classes_(classes) {}

    Status run(PyObject* root) {
        SPRIG_TRY(descend(Ref::retain(root), 0));
        while (!stack_.empty()) {
            Entry top = stack_.back();
            if (top.closing || kind_set_contains(kinds_, top.node)) {
                if (!records_.push({top.node, top.closing ? kLeave : kDispatch}))
                    return fail(no_memory());
                stack_.pop();  // its reference moved into the record
                continue;
            }
            stack_.pop();
            SPRIG_TRY(descend(Ref::adopt(top.node), top.depth));
        }
        return {};
    }

    // The (event, node) tuples, the node references moved out of the records.
    Result<Ref> to_list() {
        Ref ints[3];
        for (long long e = 0; e < 3; ++e) {
            ints[e] = Ref::adopt(PyLong_FromLongLong(e));
            if (!ints[e]) return fail(null_object(SPRIG_HERE));
        }
        size_t n = records_.size();
        Ref list = Ref::adopt(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return fail(take_pending());
        for (size_t i = 0; i < n; ++i) {
            PyObject* pair = PyTuple_New(2);
            if (!pair) {
                Failure f = take_pending();
                records_.drop_from(i);
                records_.truncate(0);  // the rest moved into `list`, which releases them
                return fail(std::move(f));
            }
            PyTuple_SET_ITEM(pair, 0, Py_NewRef(ints[records_[i].event].get()));
            PyTuple_SET_ITEM(pair, 1, records_[i].node);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        records_.truncate(0);
        return list;
    }

private:
    struct Entry {
        PyObject* node;  // owned
        uint32_t depth;  // of the node; the root is at 0
        bool closing;    // the marker after a bracketed node's subtree
    };
    struct Record {
        PyObject* node;  // owned
        uint32_t event;
    };

    Status descend(Ref node, uint32_t depth) {
        if (!guard_.enter(node.get(), depth)) [[unlikely]]
            return fail(std::move(guard_.failure));
        SPRIG_TRY(push_children(node.get(), classes_, scratch_));
        if (kind_set_contains(bracket_, node.get())) {
            if (!records_.push({node.get(), kEnter})) return fail(no_memory());
            Py_INCREF(node.get());
            if (!stack_.push({node.get(), depth, true})) return fail(no_memory());
            (void)node.release();
        }
        size_t n = scratch_.size();
        if (!stack_.reserve_more(n)) return fail(no_memory());
        for (size_t i = 0; i < n; ++i) stack_.push_unchecked({scratch_[i], depth + 1, false});
        scratch_.truncate(0);  // the references moved onto the stack
        return {};
    }

    KindSet kinds_;
    KindSet bracket_;
    AstClasses classes_;
    NodeRecords<Entry> stack_;
    NodeRecords<Record> records_;
    RefStack scratch_;  // the children of one node, emptied by every expansion
    PathGuard guard_;
};

}  // namespace

Result<Ref> walk_frontier(PyObject* node, PyObject* kinds) {
    return frontier(node, kinds, [](ChildRefStack& results) -> Result<Ref> {
        size_t n = results.size();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        if (!list) return fail(take_pending());
        for (size_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), results[i].child);
        // The parents go last, once nothing can fail: a release may run Python code.
        for (size_t i = 0; i < n; ++i) Py_DECREF(results[i].parent);
        results.truncate(0);
        return Ref::adopt(list);
    });
}

Result<Ref> walk_frontier_edges(PyObject* node, PyObject* kinds) {
    return frontier(node, kinds, [](ChildRefStack& results) -> Result<Ref> {
        size_t n = results.size();
        Ref list = Ref::adopt(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return fail(take_pending());
        for (size_t i = 0; i < n; ++i) {
            const ChildRef& r = results[i];
            Ref index = Ref::adopt(PyLong_FromSsize_t(r.index));
            PyObject* edge = index ? PyTuple_New(4) : nullptr;
            if (!edge) {
                Failure f = take_pending();
                index = Ref();
                results.drop_from(i);
                results.truncate(0);  // the rest moved into `list`, which releases them
                return fail(std::move(f));
            }
            PyTuple_SET_ITEM(edge, 0, r.child);
            PyTuple_SET_ITEM(edge, 1, r.parent);
            PyTuple_SET_ITEM(edge, 2, Py_NewRef(r.field));
            PyTuple_SET_ITEM(edge, 3, index.release());
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), edge);
        }
        results.truncate(0);
        return list;
    });
}

Result<Ref> walk_of_types(PyObject* node, PyObject* kinds, PyObject* prune) {
    Ref held = Ref::retain(node);
    auto held_kinds = tuple_argument(kinds, "kinds");
    if (!held_kinds) return fail(std::move(held_kinds.error()));
    bool pruning = prune && prune != Py_None;
    Ref held_prune;
    if (pruning) {
        auto checked = tuple_argument(prune, "prune");
        if (!checked) return fail(std::move(checked.error()));
        held_prune = std::move(*checked);
    }
    auto kind_set = build_kind_set(kinds);
    if (!kind_set) return fail(std::move(kind_set.error()));
    KindSet prune_set;
    if (pruning) {
        auto built = build_kind_set(prune);
        if (!built) return fail(std::move(built.error()));
        prune_set = std::move(*built);
    }
    auto classes = get_ast_classes();
    if (!classes) return fail(std::move(classes.error()));

    RefStack stack;
    Grow<uint32_t> depths;
    RefStack results;
    PathGuard guard;
    if (!stack.push_new(node) || !depths.push(0)) return fail(no_memory());
    while (!stack.empty()) {
        uint32_t depth = depths.pop();
        Ref n = stack.take();
        if (depth == 0 || !kind_set_contains(prune_set, n.get())) {
            if (!guard.enter(n.get(), depth)) [[unlikely]]
                return fail(std::move(guard.failure));
            SPRIG_TRY(push_children(n.get(), *classes, stack));
            if (!fill_depths(depths, stack.size(), depth + 1)) return fail(no_memory());
        }
        if (kind_set_contains(*kind_set, n.get())) {
            if (!results.push(n.get())) return fail(no_memory());
            (void)n.release();
        }
    }
    size_t count = results.size();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (!list) return fail(take_pending());
    for (size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), results[i]);
    results.truncate(0);
    return Ref::adopt(list);
}

Result<Ref> walk_frontier_events(PyObject* node, PyObject* kinds, PyObject* bracket) {
    Ref held = Ref::retain(node);
    auto held_kinds = tuple_argument(kinds, "kinds");
    if (!held_kinds) return fail(std::move(held_kinds.error()));
    auto held_bracket = tuple_argument(bracket, "bracket");
    if (!held_bracket) return fail(std::move(held_bracket.error()));
    auto kind_set = build_kind_set(kinds);
    if (!kind_set) return fail(std::move(kind_set.error()));
    auto bracket_set = build_kind_set(bracket);
    if (!bracket_set) return fail(std::move(bracket_set.error()));
    auto classes = get_ast_classes();
    if (!classes) return fail(std::move(classes.error()));
    EventWalk walk(std::move(*kind_set), std::move(*bracket_set), *classes);
    SPRIG_TRY(walk.run(node));
    return walk.to_list();
}

}  // namespace sprig
