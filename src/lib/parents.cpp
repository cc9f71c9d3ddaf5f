// set_parents: `child.parent = parent` for every node below the root, parents taken in
// depth-first pre-order and each parent's children in ast.iter_child_nodes order. Every
// write goes through PyObject_SetAttr, so a custom __setattr__ sees each one and may run.
#include "fields/fields.hpp"
#include "lib/cycles.hpp"
#include "lib/edits.hpp"
#include "lib/names.hpp"

namespace sprig {

namespace {

struct Pending {
    PyObject* node;  // owned: an assignment may run Python code that drops it from the tree
    uint32_t depth;  // the root is at depth 0
};

// The work stack; whatever is left in it when the call ends is released.
class PendingStack : public Grow<Pending> {
public:
    ~PendingStack() {
        while (!empty()) Py_DECREF(pop().node);
    }
};

}  // namespace

Result<Ref> set_parents(PyObject* node) {
    Ref root = Ref::retain(node);  // the call's own reference, for its whole duration
    auto classes = get_ast_classes();
    if (!classes) return fail(std::move(classes.error()));
    auto parent_name = interned(Name::parent);
    if (!parent_name) return fail(std::move(parent_name.error()));

    PendingStack stack;
    RefStack children;  // one buffer for every parent, empty between parents
    PathGuard guard;
    if (!stack.reserve(1)) return fail(no_memory());
    stack.push_unchecked({Ref::retain(node).release(), 0});
    while (!stack.empty()) {
        Pending top = stack.pop();
        // Released only after its children are on the stack: they may hold no other owner.
        Ref parent = Ref::adopt(top.node);
        if (!guard.enter(top.node, top.depth)) [[unlikely]]
            return fail(std::move(guard.failure));
        SPRIG_TRY(push_children(top.node, *classes, children));
        size_t count = children.size();
        // The first child sits at the end of the buffer.
        for (size_t i = count; i-- > 0;)
            if (PyObject_SetAttr(children[i], *parent_name, top.node) < 0) [[unlikely]]
                return fail(take_pending());
        if (!stack.reserve_more(count)) [[unlikely]]
            return fail(no_memory());
        for (size_t i = 0; i < count; ++i)
            stack.push_unchecked({children[i], top.depth + 1});
        children.clear();  // the references moved to the stack
    }
    return Ref::retain(Py_None);
}

}  // namespace sprig
