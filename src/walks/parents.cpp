// set_parents: `child.parent = parent` for every node below the root, parents taken in
// depth-first pre-order and each parent's children in ast.iter_child_nodes order. Every
// write does what PyObject_SetAttr does, so a custom __setattr__ sees each one and may run.
// A call stopped by a signal handler's exception (or any failure) leaves the writes made so
// far: the nodes met before it point at their parents, the others keep what they had.
#include "core/cycles.hpp"
#include "core/names.hpp"
#include "core/signals.hpp"
#include "schema/fields.hpp"
#include "schema/plain_writes.hpp"
#include "walks/edits.hpp"

namespace sprig {

namespace {

struct Pending {
    PyObject* node;        // owned: a write may run Python code that drops it from the tree
    const TypeInfo* info;  // its class's record when its parent was written; null: unknown.
                           // The thread keeps it through the call, current or not.
    uint32_t depth;        // the root is at depth 0
};

}  // namespace

Result<Ref> set_parents(PyObject* node) {
    Ref root = Ref::retain(node);  // the call's own reference, for its whole duration
    auto readers = node_readers();
    if (!readers) return fail(std::move(readers.error()));
    const AstClasses& classes = readers->classes;
    auto parent_name = interned(Name::parent);
    if (!parent_name) return fail(std::move(parent_name.error()));

    NodeStack<Pending> stack;
    RefStack scratch;  // children read by name, before they join the stack
    PathGuard guard;
    if (!stack.reserve(1)) return fail(no_memory());
    stack.push_unchecked({Ref::retain(node).release(), nullptr, 0});
    SignalCheck signals;
    while (!stack.empty()) {
        // Every entry holds its node, and `info` is rechecked below: a handler may run.
        SPRIG_TRY(signals.step());
        Pending top = stack.pop();
        // Released only after its children are on the stack: they may hold no other owner.
        Ref parent = Ref::adopt(top.node);
        const TypeInfo* info = top.info;
        // A write since may have run Python code that changed the node's class, or the class.
        if (!info || !is_current(*info, Py_TYPE(top.node))) [[unlikely]] {
            auto found = type_info(Py_TYPE(top.node), readers->known);
            if (!found) return fail(std::move(found.error()));
            info = *found;
        }
        if (info->fields.size() == 0) continue;  // no children, no descendant: not guarded
        if (!guard.enter(top.node, top.depth)) [[unlikely]]
            return fail(std::move(guard.failure));
        size_t before = stack.size();
        uint32_t depth = top.depth + 1;
        SPRIG_TRY(push_owned_children(
            top.node, *info, classes, stack, scratch,
            [&](PyObject* child) { return Pending{child, nullptr, depth}; }));
        // The children wait on the stack, each with its own reference, the first on top.
        for (size_t i = stack.size(); i-- > before;) {
            PyObject* child = stack[i].node;
            auto child_info = type_info(Py_TYPE(child), readers->known);
            if (!child_info) return fail(std::move(child_info.error()));
            stack[i].info = *child_info;
            bool plain = plain_writes(Py_TYPE(child), &*parent_name, 1,
                                      (*child_info)->plain_parent_writes);
            if (set_attribute(child, *parent_name, top.node, plain) < 0) [[unlikely]]
                return fail(take_pending());
        }
    }
    return Ref::retain(Py_None);
}

}  // namespace sprig
