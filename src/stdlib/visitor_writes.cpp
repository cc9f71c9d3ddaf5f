// The transformer's writes, as ast.NodeTransformer.generic_visit makes them: list items
// rebuilt into a new list that replaces the old one's contents, fields set or deleted.
#include "stdlib/visitor_writes.hpp"

#include "schema/plain_writes.hpp"

namespace sprig::visiting {

[[gnu::noinline]] Status put_back(Session& s, Frame& f, Pending pending, Ref result) {
    s.touch();
    if (!result) result = Ref::retain(Py_None);
    if (pending == kListItem) {
        if (result.get() == Py_None) return {};
        auto node = is_node(s.cache, result.get());
        if (!node) return fail(std::move(node.error()));
        int r = *node ? PyList_Append(f.new_values, result.get())
                      : PyList_Extend(f.new_values, result.get());
        if (r < 0) return fail(take_pending());
        return {};
    }
    Ref field = Ref::adopt(std::exchange(f.field, nullptr));
    Ref node = Ref::retain(f.node);
    int r;
    if (result.get() == Py_None) {
        r = PyObject_DelAttr(node.get(), field.get());
    } else {
        bool plain = f.rec && f.rec->plain_set && current(f.rec, Py_TYPE(node.get()));
        r = set_attribute(node.get(), field.get(), result.get(), plain);
    }
    if (r < 0) return fail(take_pending());
    return {};
}

Status start_new_list(Session& s, Frame& f) {
    s.touch();
    f.new_values = PyList_New(0);
    if (!f.new_values) return fail(take_pending());
    return {};
}

Status keep_item(Session& s, Frame& f, PyObject* item) {
    s.touch();
    if (PyList_Append(f.new_values, item) < 0) return fail(take_pending());
    return {};
}

Status replace_list(Session& s, Frame& f) {
    s.touch();
    if (PyObject_SetItem(f.value, g.whole, f.new_values) < 0) return fail(take_pending());
    return {};
}

}  // namespace sprig::visiting
