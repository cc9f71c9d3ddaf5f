// copy_location, increment_lineno and fix_missing_locations of the ast module, natively:
// each location attribute tested, read and written as ast.py does, in the same order.
#include "core/cycles.hpp"
#include "core/signals.hpp"
#include "stdlib/ast_iterators.hpp"
#include "stdlib/stdlib_ast.hpp"

namespace sprig {
namespace ast_helpers {
namespace {

// `attr in obj._attributes`, reading _attributes afresh as each test in ast.py does.
Result<bool> in_attributes(PyObject* obj, PyObject* attr) {
    Ref attributes = Ref::adopt(PyObject_GetAttr(obj, globals().attributes));
    if (!attributes) return fail(take_pending());
    int found = PySequence_Contains(attributes.get(), attr);
    if (found < 0) return fail(take_pending());
    return found == 1;
}

// One node's location attributes, as ast.py's location helpers test, read and write them.
// While the node's class reads them plainly and its dictionary (str keys only) holds no
// _attributes of its own, each step is a dictionary lookup or store that runs no Python
// code; every other step asks the object. `*epoch` counts the steps, over all nodes of a
// call, that may have run Python code: a finding older than the last of them is made anew.
class Located {
public:
    Located(PyObject* node, unsigned* epoch) : node_(node), epoch_(epoch) {}

    /// `name in node._attributes`.
    Result<bool> has(int p) {
        if (plain()) [[likely]]
            return (r_.location_mask >> p) & 1;
        ++*epoch_;
        return in_attributes(node_, globals().location[p]);
    }
    /// getattr(node, name), null when it has none.
    Result<Ref> get(int p) {
        if (plain()) [[likely]] {
            PyObject* v = get_interned(dict_, globals().location[p]);
            if (!v && PyErr_Occurred()) return fail(take_pending());
            return Ref::retain(v ? v : r_.class_value[p]);
        }
        ++*epoch_;
        return get_optional(node_, globals().location[p]);
    }
    /// setattr(node, name, value).
    Status set(int p, PyObject* value) {
        if (plain() && r_.plain_set) [[likely]] {
            // The value replaced is released in the store: only a plain one runs nothing.
            PyObject* old = get_interned(dict_, globals().location[p]);
            if (old && !common_scalar(old)) ++*epoch_;
            if (PyDict_SetItem(dict_, globals().location[p], value) < 0) return fail(take_pending());
            return {};
        }
        ++*epoch_;
        if (PyObject_SetAttr(node_, globals().location[p], value) < 0) return fail(take_pending());
        return {};
    }

private:
    bool plain() {
        if (checked_ == *epoch_ + 1) [[likely]]
            return plain_;
        checked_ = *epoch_ + 1;
        plain_ = false;
        r_ = record(Py_TYPE(node_));
        if (!r_.plain_locations) return false;
        dict_ = instance_dict(node_);
        Py_ssize_t used = 0;
        if (!dict_ || !str_entries(dict_, &used)) return false;
        plain_ = !get_interned(dict_, globals().attributes);
        return plain_;
    }

    PyObject* node_;    // borrowed: the caller holds it
    unsigned* epoch_;
    unsigned checked_ = 0;  // *epoch_ + 1 when plain_ was found; 0: never
    bool plain_ = false;
    ClassRecord r_{};
    PyObject* dict_ = nullptr;  // borrowed, while plain_ holds
};

// Releases `value`; one that is not a plain scalar may run Python code as it goes.
void drop(Ref& value, unsigned* epoch) {
    if (value && !common_scalar(value.get())) ++*epoch;
    value = Ref();
}

// node.<p> = getattr(node, name, 0) + n; with `keep_none`, a None read stays as it is.
Status add_to(Located& node, int p, PyObject* n, bool keep_none, unsigned* epoch) {
    auto value = node.get(p);
    if (!value) return fail(std::move(value.error()));
    PyObject* base = *value ? value->get() : globals().zero;
    if (keep_none && base == Py_None) return {};
    if (!PyLong_CheckExact(base) || !PyLong_CheckExact(n)) ++*epoch;
    Ref sum = Ref::adopt(PyNumber_Add(base, n));
    if (!sum) return fail(take_pending());
    drop(*value, epoch);
    return node.set(p, sum.get());
}

// One node of increment_lineno's loop.
Status increment_one(PyObject* child, PyObject* n, unsigned* epoch) {
    ClassRecord r = record(Py_TYPE(child));
    bool ignore = r.type_ignore;
    if (!ignore) {
        if (!r.plain_class) ++*epoch;
        auto is = is_instance(child, globals().type_ignore, r.plain_class);
        if (!is) return fail(std::move(is.error()));
        ignore = *is;
    }
    Located node(child, epoch);
    if (ignore) return add_to(node, 0, n, false, epoch);
    auto has_line = node.has(0);
    if (!has_line) return fail(std::move(has_line.error()));
    if (*has_line) SPRIG_TRY(add_to(node, 0, n, false, epoch));
    auto has_end = node.has(2);
    if (!has_end) return fail(std::move(has_end.error()));
    // `(end_lineno := getattr(child, "end_lineno", 0)) is not None`
    if (*has_end) SPRIG_TRY(add_to(node, 2, n, true, epoch));
    return {};
}

// The values fix_missing_locations hands down, in the order of ast.py's parameters.
struct Inherited {
    PyObject* value[kLocations];  // owned; by position of globals().location
};

void release(Inherited& v) {
    for (PyObject*& p : v.value) Py_CLEAR(p);
}

struct FixFrame {
    Cursor children;
    Inherited values;
};

// The order in which _fix treats the positions: lineno, end_lineno, col_offset,
// end_col_offset.
constexpr int kFixOrder[kLocations] = {0, 2, 1, 3};

// _fix's tests on one node, updating `v` (owned values) to what it hands down.
Status fix_one(PyObject* node, Inherited& v, unsigned* epoch) {
    Located located(node, epoch);
    for (int p : kFixOrder) {
        auto has = located.has(p);
        if (!has) return fail(std::move(has.error()));
        if (!*has) continue;
        auto current = located.get(p);
        if (!current) return fail(std::move(current.error()));
        bool end = p >= 2;
        // Starts: `hasattr(node, name)`; ends: `getattr(node, name, None) is None`.
        bool missing = end ? (!*current || current->get() == Py_None) : !*current;
        if (missing) {
            SPRIG_TRY(located.set(p, v.value[p]));
            continue;
        }
        drop(*current, epoch);
        auto again = located.get(p);  // `lineno = node.lineno`
        if (!again) return fail(std::move(again.error()));
        if (!*again) {  // gone between the two reads: the plain getattr raises
            *again = Ref::adopt(PyObject_GetAttr(node, globals().location[p]));
            if (!*again) return fail(take_pending());
        }
        Ref old = Ref::adopt(v.value[p]);
        v.value[p] = again->release();
        drop(old, epoch);
    }
    return {};
}

class FixStack : public Grow<FixFrame> {
public:
    ~FixStack() {
        while (!empty()) {
            FixFrame f = pop();
            f.children.clear();
            release(f.values);
        }
    }
    // A node that is its own descendant makes the descent endless, where the standard
    // function's recursion ends in RecursionError: each time the depth reaches a limit
    // that doubles, the nodes on the stack are checked for a repeat. Real trees never
    // reach the first limit.
    Status check_depth() {
        if (size() < limit_) [[likely]]
            return {};
        limit_ *= 2;
        Grow<PyObject*> seen;
        if (!seen.reserve(size())) return fail(no_memory());
        for (size_t i = 0; i < size(); ++i) seen.push_unchecked((*this)[i].children.node);
        if (has_repeat(seen.data(), seen.data() + seen.size()))
            return fail(cycle_recursion_error());
        return {};
    }

private:
    size_t limit_ = 1024;
};

Status push_fix_frame(FixStack& stack, PyObject* node, const Inherited& from, unsigned* epoch) {
    SPRIG_TRY(stack.check_depth());
    FixFrame f{};
    for (int p = 0; p < kLocations; ++p) f.values.value[p] = Py_NewRef(from.value[p]);
    Status fixed = fix_one(node, f.values, epoch);
    if (!fixed) {
        release(f.values);
        return fixed;
    }
    f.children = Cursor::over(Ref::retain(node));
    if (!stack.push(f)) {
        f.children.clear();
        release(f.values);
        return fail(no_memory());
    }
    return {};
}

}  // namespace
}  // namespace ast_helpers

using namespace ast_helpers;

Result<Ref> ast_copy_location(PyObject* new_node, PyObject* old_node) {
    Ref result = Ref::retain(new_node);
    Ref held = Ref::retain(old_node);  // a __setattr__ may drop every other owner
    unsigned epoch = 0;
    Located old_at(old_node, &epoch), new_at(new_node, &epoch);
    for (int p = 0; p < kLocations; ++p) {
        auto in_old = old_at.has(p);
        if (!in_old) return fail(std::move(in_old.error()));
        if (!*in_old) continue;
        auto in_new = new_at.has(p);
        if (!in_new) return fail(std::move(in_new.error()));
        if (!*in_new) continue;
        auto value = old_at.get(p);
        if (!value) return fail(std::move(value.error()));
        if (*value && value->get() != Py_None) {
            SPRIG_TRY(new_at.set(p, value->get()));
            drop(*value, &epoch);
            continue;
        }
        // `hasattr(old_node, attr) and attr.startswith("end_")`: asked for every position.
        drop(*value, &epoch);
        auto again = old_at.get(p);
        if (!again) return fail(std::move(again.error()));
        bool present = static_cast<bool>(*again);
        drop(*again, &epoch);
        if (present && p >= 2) SPRIG_TRY(new_at.set(p, Py_None));
    }
    return result;
}

Result<Ref> ast_increment_lineno(PyObject* node, PyObject* n) {
    Ref result = Ref::retain(node);
    Ref amount = Ref::retain(n ? n : globals().one);
    PyObject* first[kInlineQueue];
    WalkQueue queue(first, kInlineQueue);
    queue.q.push_unchecked(Py_NewRef(node));
    unsigned epoch = 0;
    Status done;
    SignalCheck signals;
    for (;;) {
        // ast.walk's queue never empties on a structure with a cycle: only a signal
        // handler stops it, as it stops the standard function.
        done = signals.step();
        if (!done) break;
        auto step = walk_step(queue);
        if (!step) {
            done = fail(generator_failure(std::move(step.error())));
            break;
        }
        if (!*step) break;
        ++epoch;  // the walk's step may have run Python code
        done = increment_one(step->get(), amount.get(), &epoch);
        if (!done) break;
    }
    queue.clear();
    if (!done) return fail(std::move(done.error()));
    return result;
}

Result<Ref> ast_fix_missing_locations(PyObject* node) {
    Ref result = Ref::retain(node);
    Inherited start{};
    for (int p = 0; p < kLocations; ++p) start.value[p] = Py_NewRef(p % 2 == 0 ? globals().one : globals().zero);
    FixStack stack;
    unsigned epoch = 0;
    Status pushed = push_fix_frame(stack, node, start, &epoch);
    release(start);
    if (!pushed) return fail(std::move(pushed.error()));
    SignalCheck signals;
    while (!stack.empty()) {
        SPRIG_TRY(signals.step());
        FixFrame& top = stack[stack.size() - 1];
        auto child = next_child(top.children);
        if (!child) return fail(generator_failure(std::move(child.error())));
        if (!*child) {
            FixFrame dead = stack.pop();
            dead.children.clear();
            release(dead.values);
            continue;
        }
        // Copied: pushing may move the array that `top` points into. The parent's frame
        // keeps the values until the new frame holds them.
        Inherited from = top.values;
        Status fixed = push_fix_frame(stack, child->get(), from, &epoch);
        if (!fixed) return fail(std::move(fixed.error()));
    }
    return result;
}

}  // namespace sprig
