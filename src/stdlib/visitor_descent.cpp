// visit and generic_visit of sprig.NodeVisitor and sprig.NodeTransformer: the standard
// library's loop over fields and list items, call for call, with the descent through
// nodes that have no handler of their own run on an explicit stack, not in Python frames.
#include "stdlib/visitor_descent.hpp"

#include "core/cycles.hpp"
#include "core/stack.hpp"
#include "core/signals.hpp"
#include "stdlib/visitor_dispatch.hpp"
#include "stdlib/visitor_writes.hpp"
#include "stdlib/visitors.hpp"

namespace sprig {
namespace visiting {
namespace {

void release(Session& s, Frame& f) {
    drop(s, f.node);
    if (!f.rec) drop(s, f.fields);
    drop(s, f.field);
    drop(s, f.value);
    drop(s, f.items);
    drop(s, f.new_values);
}

class FrameStack : public Grow<Frame> {
public:
    explicit FrameStack(Session& s) : session_(s) { start_on(first_, kFirst); }
    FrameStack(const FrameStack&) = delete;
    ~FrameStack() {
        while (!empty()) {
            Frame f = pop();
            release(session_, f);
        }
    }
    // A structure in which a node is its own descendant makes the descent endless: each
    // time the depth reaches a limit that doubles, the nodes on the stack are checked for
    // a repeat. Real trees never reach the first limit.
    Status check_depth() {
        if (size() < limit_) [[likely]]
            return {};
        limit_ *= 2;
        Grow<PyObject*> seen;
        if (!seen.reserve(size())) return fail(no_memory());
        for (size_t i = 0; i < size(); ++i) seen.push_unchecked((*this)[i].node);
        if (has_repeat(seen.data(), seen.data() + seen.size())) return fail(cycle_error());
        return {};
    }

private:
    // Room for shallow descents, which then allocate nothing. It sits on the C stack of every
    // generic_visit that a handler calls, once per level of the tree: kept small, it leaves
    // room for more levels on a small thread stack.
    static constexpr size_t kFirst = 8;
    Frame first_[kFirst];
    Session& session_;
    size_t limit_ = 1024;
};

// Whether `dict` holds no '_fields': every key is the record's field or attribute at the
// position the parser puts it.
[[gnu::always_inline]] inline bool parser_shape(const NodeClass* c, PyObject* dict) {
    if (!c->known_shape) return false;
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    if (!entries || used > static_cast<Py_ssize_t>(c->shape.size())) return false;
    PyObject* const* expected = c->shape.data();
    bool same = true;
    for (Py_ssize_t i = 0; i < used; ++i) {
        PyObject* key = entries[i].key;
        same &= key == expected[i] || !key;
    }
    return same;
}

// Whether node._fields is the tuple of `rec`, the node's current record: the class's
// own, not shadowed in the instance dictionary.
[[gnu::always_inline]] inline Result<bool> uses_record(Session& s, const NodeClass* rec,
                                                       PyObject* node) {
    if (!rec->plain_fields) return false;
    PyObject* dict = instance_dict(node);
    if (!dict) return true;
    if (!PyDict_CheckExact(dict)) return false;
    if (parser_shape(rec, dict)) [[likely]]
        return true;
    s.touch();
    auto own = dict_entry(dict, globals().fields);
    if (!own) return fail(std::move(own.error()));
    // The lookup may have run Python code: the record must still be current.
    return !*own && current(rec, Py_TYPE(node));
}

// Starts a generic_visit of `node`: iter_fields takes node._fields first.
// `known` is the node's current record when the caller has it at hand, else null.
Status push_frame(Session& s, FrameStack& stack, Ref held, Mode mode,
                  const NodeClass* known = nullptr) {
    PyObject* node = held.get();
    SPRIG_TRY(stack.check_depth());
    if (!stack.reserve_more(1)) return fail(no_memory());
    PyTypeObject* type = Py_TYPE(node);
    Result<const NodeClass*> rec = known;
    if (!known || !current(known, type)) {
        s.touch();  // making a record allocates, and a collection may run finalizers
        rec = node_class(s.cache, type);
    }
    if (!rec) return fail(std::move(rec.error()));
    const NodeClass* c = *rec;
    PyObject* dict = instance_dict(node);
    if (c->plain_fields && dict && PyDict_CheckExact(dict)) [[likely]] {
        prefetch_parse_order(node, dict);
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = str_entries(dict, &used);
        if (entries && used >= static_cast<Py_ssize_t>(c->names.size()) &&
            parser_shape(c, dict)) [[likely]] {
            Frame f{};
            f.node = held.release();
            f.fields = c->fields;
            f.rec = c;
            f.entries = entries;
            f.generation = s.generation;
            f.mode = mode;
            stack.push_unchecked(f);
            return {};
        }
    }
    Frame f{};
    f.mode = mode;
    auto uses = uses_record(s, *rec, node);
    if (!uses) return fail(std::move(uses.error()));
    if (*uses) f.rec = *rec;
    if (f.rec) {
        f.fields = f.rec->fields;
        PyObject* dict = instance_dict(node);
        Py_ssize_t used = 0;
        const UnicodeEntry* entries =
            dict && PyDict_CheckExact(dict) ? str_entries(dict, &used) : nullptr;
        if (entries && used >= static_cast<Py_ssize_t>(f.rec->names.size())) {
            f.entries = entries;
            f.generation = s.generation;
        }
    } else {
        s.touch();
        Ref fields = Ref::adopt(PyObject_GetAttr(node, globals().fields));
        if (!fields) return fail(take_pending());
        if (PyTuple_CheckExact(fields.get())) {
            f.fields = fields.release();
        } else {
            f.fields = PyObject_GetIter(fields.get());
            if (!f.fields) return fail(take_pending());
        }
    }
    f.node = held.release();
    if (!stack.push(f)) {
        release(s, f);
        return fail(no_memory());
    }
    return {};
}

// The next field name of the frame's _fields, or null at the end.
Result<Ref> next_field(Frame& f) {
    if (PyTuple_CheckExact(f.fields)) {
        if (f.next_field >= PyTuple_GET_SIZE(f.fields)) return Ref();
        return Ref::retain(PyTuple_GET_ITEM(f.fields, f.next_field++));
    }
    PyObject* item = nullptr;
    int r = compat::iter_next_item(f.fields, &item);
    if (r < 0) return fail(take_pending());
    return Ref::adopt(item);
}

// The value of the frame's field at position `at` when it sits in the node's dictionary
// at that position, where getattr finds it; borrowed, null when it must be read by name.
[[gnu::always_inline]] inline PyObject* field_in_place(const Session& s, const Frame& f,
                                                       Py_ssize_t at) {
    if (f.generation == s.generation && f.entries[at].key == f.rec->names[at]) [[likely]]
        return f.entries[at].value;
    PyObject* node = f.node;
    if (!current(f.rec, Py_TYPE(node))) return nullptr;
    PyObject* dict = instance_dict(node);
    if (!dict || !PyDict_CheckExact(dict)) return nullptr;
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    if (!entries || at >= used || entries[at].key != f.rec->names[at]) return nullptr;
    return entries[at].value;
}

// getattr(node, field), null when it raises AttributeError (iter_fields skips the field).
Result<Ref> read_by_name(PyObject* node, PyObject* field) {
    PyObject* value = nullptr;
    int r = PyObject_GetOptionalAttr(node, field, &value);
    if (r < 0) return fail(take_pending());
    return Ref::adopt(value);
}


// The result of the visit of a child, handed to the frame that asked for it.
[[gnu::always_inline]] inline Status deliver(Session& s, Frame& f, Ref result) {
    Pending pending = f.pending;
    f.pending = kNone;
    if (f.mode == Mode::visitor) {
        drop(s, result.release());
        return {};
    }
    return put_back(s, f, pending, std::move(result));
}

// The next child for the top frame to visit, with its pending mark set; null when the
// frame's fields are all done. `*rec` is set to the child's record when it was at hand.
Result<Ref> next_child(Session& s, Frame& f, const NodeClass** rec) {
    for (;;) {
        if (f.value) {
            PyObject* item = nullptr;
            Ref held;
            if (f.items) {
                s.touch();
                int r = compat::iter_next_item(f.items, &item);
                if (r < 0) return fail(take_pending());
                held = Ref::adopt(item);
            } else if (f.next_item < PyList_GET_SIZE(f.value)) {
                item = PyList_GET_ITEM(f.value, f.next_item++);  // borrowed until asked
            }
            if (!item) {
                // old_value[:] = new_values
                if (f.mode == Mode::transformer) SPRIG_TRY(replace_list(s, f));
                drop(s, std::exchange(f.value, nullptr));
                drop(s, std::exchange(f.items, nullptr));
                drop(s, std::exchange(f.new_values, nullptr));
                continue;
            }
            Shape shape = quick_shape(s.cache, item, rec);
            if (shape == Shape::list) shape = Shape::other;
            if (shape == Shape::ask) [[unlikely]] {
                s.touch();
                if (!held) held = Ref::retain(item);
                auto asked = is_node(s.cache, item);
                if (!asked) return fail(std::move(asked.error()));
                shape = *asked ? Shape::node : Shape::other;
            }
            if (shape == Shape::node) {
                f.pending = kListItem;
                return held ? std::move(held) : Ref::retain(item);
            }
            if (f.mode == Mode::transformer) SPRIG_TRY(keep_item(s, f, item));
            continue;
        }
        PyObject* field;
        PyObject* value = nullptr;  // borrowed from the node's dictionary, or held
        Ref held_field, held_value;
        if (f.rec) {
            if (f.next_field >= PyTuple_GET_SIZE(f.fields)) return Ref();
            Py_ssize_t at = f.next_field++;
            field = PyTuple_GET_ITEM(f.fields, at);
            value = field_in_place(s, f, at);
            if (!value) [[unlikely]] {
                s.touch();
                auto read = read_by_name(f.node, field);
                if (!read) return fail(std::move(read.error()));
                held_value = std::move(*read);
                value = held_value.get();
            }
        } else {
            s.touch();
            auto next = next_field(f);
            if (!next) return fail(std::move(next.error()));
            if (!*next) return Ref();
            held_field = std::move(*next);
            field = held_field.get();
            auto read = read_by_name(f.node, field);
            if (!read) return fail(std::move(read.error()));
            held_value = std::move(*read);
            value = held_value.get();
        }
        if (!value) continue;
        Shape shape = quick_shape(s.cache, value, rec);
        if (shape == Shape::ask) [[unlikely]] {
            s.touch();
            if (!held_value) held_value = Ref::retain(value);
            auto asked = asked_shape(value, true);
            if (!asked) return fail(std::move(asked.error()));
            shape = *asked;
        }
        if (shape == Shape::list) {
            if (f.mode == Mode::transformer) SPRIG_TRY(start_new_list(s, f));
            if (!PyList_Check(value) || Py_TYPE(value)->tp_iter != PyList_Type.tp_iter) {
                s.touch();
                f.items = PyObject_GetIter(value);
                if (!f.items) return fail(take_pending());
            }
            f.next_item = 0;
            f.value = held_value ? held_value.release() : Py_NewRef(value);
            continue;
        }
        if (shape == Shape::node) {
            f.pending = kSingle;
            if (f.mode == Mode::transformer) f.field = Py_NewRef(field);
            return held_value ? std::move(held_value) : Ref::retain(value);
        }
    }
}

// generic_visit(node) in `mode`, and every generic_visit that the dispatch of its
// descendants comes to, on one stack. Returns what the outermost one returns.
Result<Ref> run_generic(Session& s, PyObject* root, Mode mode) {
    FrameStack stack(s);
    SPRIG_TRY(push_frame(s, stack, Ref::retain(root), mode));
    SignalCheck signals;
    for (;;) {
        SPRIG_TRY(signals.step());
        const NodeClass* rec = nullptr;
        auto child = next_child(s, stack[stack.size() - 1], &rec);
        if (!child) return fail(std::move(child.error()));
        if (!*child) {
            Frame& done = stack[stack.size() - 1];
            Ref node = Ref::adopt(std::exchange(done.node, nullptr));
            Mode done_mode = done.mode;
            // At its end a frame that read its record's fields holds nothing else.
            if (!done.rec || done.field || done.value || done.items || done.new_values)
                [[unlikely]]
                release(s, done);
            stack.truncate(stack.size() - 1);
            Ref result;
            if (done_mode == Mode::transformer)
                result = std::move(node);
            else
                drop(s, node.release());
            if (stack.empty()) return done_mode == Mode::transformer ? std::move(result)
                                                                    : Ref::retain(Py_None);
            SPRIG_TRY(deliver(s, stack[stack.size() - 1], std::move(result)));
            continue;
        }
        // self.visit(child)
        Mode mode;
        const NodeClass* c = nullptr;
        PyTypeObject* vt = Py_TYPE(s.self);
        if (rec && !s.dirty && s.clean && vt == s.visit_type && s.visit_version &&
            vt->tp_version_tag == s.visit_version && rec->memo.visitor == vt &&
            rec->memo.version == s.visit_version && rec->memo.kind == Dispatch::descend)
            [[likely]] {
            // What dispatch would find, with nothing run since its findings were made.
            mode = static_cast<Mode>(rec->memo.mode);
            c = rec;
        } else {
            auto ours = visit_is_ours(s);
            if (!ours) return fail(std::move(ours.error()));
            if (!*ours) [[unlikely]] {
                s.touch();
                Ref visit = Ref::adopt(PyObject_GetAttr(s.self, globals().visit));
                if (!visit) return fail(take_pending());
                auto result = invoke(visit.get(), nullptr, child->get());
                if (!result) return fail(std::move(result.error()));
                SPRIG_TRY(deliver(s, stack[stack.size() - 1], std::move(*result)));
                continue;
            }
            auto visited = dispatch(s, child->get(), rec);
            if (!visited) return fail(std::move(visited.error()));
            if (!visited->descend) {
                SPRIG_TRY(deliver(s, stack[stack.size() - 1], std::move(visited->result)));
                continue;
            }
            mode = visited->mode;
            c = visited->rec;
        }
        // A node without fields (a context such as Load) needs no frame: its
        // generic_visit reads _fields and returns.
        if (c && c->names.size() == 0 && current(c, Py_TYPE(child->get()))) {
            auto uses = uses_record(s, c, child->get());
            if (!uses) return fail(std::move(uses.error()));
            if (*uses) {
                Frame& top = stack[stack.size() - 1];
                if (mode == Mode::visitor && top.mode == Mode::visitor) {
                    top.pending = kNone;
                    drop(s, child->release());
                    continue;
                }
                if (mode == Mode::visitor) *child = Ref::retain(Py_None);
                SPRIG_TRY(deliver(s, top, std::move(*child)));
                continue;
            }
        }
        SPRIG_TRY(push_frame(s, stack, std::move(*child), mode, c));
    }
}

Result<Ref> visit_impl(PyObject* self, PyObject* node) {
    auto s = open_session(self);
    if (!s) return fail(std::move(s.error()));
    auto visited = dispatch(*s, node, nullptr);
    if (!visited) return fail(std::move(visited.error()));
    if (visited->descend) return run_generic(*s, node, visited->mode);
    return std::move(visited->result);
}

Result<Ref> generic_impl(PyObject* self, PyObject* node, Mode mode) {
    auto s = open_session(self);
    if (!s) return fail(std::move(s.error()));
    return run_generic(*s, node, mode);
}

PyObject* finish(Result<Ref> result) {
    if (result) return result->release();
    raise_failure(std::move(result.error()));
    return nullptr;
}

}  // namespace
}  // namespace visiting

using visiting::finish;
using visiting::generic_impl;
using visiting::Mode;
using visiting::visit_impl;

namespace {

// How much C stack a method needs left to run in native code. A handler called from native
// code nests C calls (a few kB a level), so with less left the method gives the state's
// `deep` marker, and its Python function goes on instead, calling handlers as Python calls
// Python: a handler calling generic_visit on each level then costs no C stack at all, and
// the visit goes as deep as the recursion limit allows however small the thread's stack.
// Well above what the stack guard keeps free (compat::stack_exhausted), so that the guard
// stays a last resort, and above the last 128 KiB or so, where from 3.14 the interpreter
// itself leaks memory on every Python call (measured with ast.NodeVisitor alone: 2,700
// blocks a visit of 300 levels). On a default 8 MiB stack the recursion limit comes
// first; on a 256 KiB one the whole visit runs in Python. Where the
// interpreter counts nested native calls against a limit of their own, each such level
// takes three of them, and the methods go on in Python as well when few are left.
constexpr uintptr_t kNativeStackNeeded = 256 * 1024;
constexpr int kNativeCallsNeeded = 200;

[[gnu::always_inline]] inline bool leave_to_python() {
    return stack_left_below(kNativeStackNeeded) ||
           compat::native_calls_left_below(kNativeCallsNeeded);
}

}  // namespace

PyObject* visitor_visit(PyObject* self, PyObject* node) {
    if (leave_to_python()) [[unlikely]]
        return Py_NewRef(state().objects.deep);
    return finish(visit_impl(self, node));
}

PyObject* visitor_generic_visit(PyObject* self, PyObject* node) {
    if (leave_to_python()) [[unlikely]]
        return Py_NewRef(state().objects.deep);
    return finish(generic_impl(self, node, Mode::visitor));
}

PyObject* transformer_generic_visit(PyObject* self, PyObject* node) {
    if (leave_to_python()) [[unlikely]]
        return Py_NewRef(state().objects.deep);
    return finish(generic_impl(self, node, Mode::transformer));
}

}  // namespace sprig
