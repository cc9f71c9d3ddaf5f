// fix_missing_locations: each located node gets every location attribute it lacks from its
// nearest ancestor that has one (1, 0, 1, 0 above the root). Presence is decided by the
// instance dictionary alone; each write does what PyObject_SetAttr does and may run Python
// code. A call stopped by a signal handler's exception (or any failure) leaves the writes
// made so far: the nodes met before it have their locations, the others keep what they had.
#include "core/cycles.hpp"
#include "core/names.hpp"
#include "core/signals.hpp"
#include "schema/fields.hpp"
#include "schema/instance_dict.hpp"
#include "schema/plain_writes.hpp"
#include "walks/edits.hpp"

namespace sprig {

namespace {

// Positions 0..3 are those of kLocationNames: lineno, col_offset, end_lineno and
// end_col_offset.
constexpr int kPositions = kLocationCount;
// A start position held as None is kept (and handed down); an end position held as None
// is replaced.
constexpr bool kNoneIsMissing[kPositions] = {false, false, true, true};

// The values a located node hands down to its children.
struct Frame {
    PyObject* value[kPositions];  // owned
};

// Frames are referred to by index from the work stack. Popping entry (n, f) leaves only
// entries that refer to frames at or below f: an entry's frame is never above those of the
// entries pushed after it. So frames above f are dead once (n, f) is popped, and the array
// never holds more frames than the tree is deep.
class FrameStack : public Grow<Frame> {
public:
    ~FrameStack() { release_from(0); }
    void release_from(size_t start) {
        while (size() > start) {
            Frame dead = pop();
            for (PyObject* v : dead.value) Py_DECREF(v);
        }
    }
};

struct Pending {
    PyObject* node;   // owned: a write may run Python code that drops it from the tree
    uint32_t frame;   // index of the frame the node inherits
    uint32_t depth;   // the root is at depth 0
};

// The location values stored in `dict`, found among its entries by address (borrowed,
// null when not found). True when a name not found is certainly absent: the entries were
// read in place and every key is interned, so no key but the name itself can equal it.
// Parsed nodes keep their locations in order right after their fields, at `first`.
bool scan_locations(PyObject* dict, PyObject* const names[kPositions], Py_ssize_t first,
                    PyObject* found[kPositions]) {
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    if (!entries) return false;
    if (first + kPositions <= used && entries[first].key == names[0] &&
        entries[first + 1].key == names[1] && entries[first + 2].key == names[2] &&
        entries[first + 3].key == names[3]) [[likely]] {
        for (int p = 0; p < kPositions; ++p) found[p] = entries[first + p].value;
        return true;
    }
    bool complete = true;
    for (Py_ssize_t i = 0; i < used; ++i) {
        PyObject* key = entries[i].key;
        if (!key) continue;
        int p = 0;
        while (p < kPositions && key != names[p]) ++p;
        if (p < kPositions)
            found[p] = entries[i].value;
        else if (!PyUnicode_CHECK_INTERNED(key))
            complete = false;
    }
    return complete;
}

// What repair() hands down to a node's children.
enum class HandedDown : uint8_t {
    inherited,  // the very values the node inherited: its children share its parent's frame
    own,        // the frame it filled in
};

// Writes the location attributes that `node` lacks, in position order. The values its
// children inherit go to `out` when any differs from `inherited`. Positions outside the
// type's mask hand down `inherited`'s.
Result<HandedDown> repair(PyObject* node, const TypeInfo& info, const Frame& inherited,
                          PyObject* const names[kPositions], Frame& out) {
    // A plain write runs no Python code when it adds a missing str key to a str-keyed
    // dictionary or replaces None there, so what was read of the dictionary still holds.
    bool plain = plain_writes(Py_TYPE(node), names, kPositions, info.plain_location_writes);
    PyObject* dict = instance_dict(node);
    // Borrowed; trusted until the first write that may have run Python code.
    PyObject* scanned[kPositions] = {};
    bool complete =
        dict && scan_locations(dict, names, static_cast<Py_ssize_t>(info.fields.size()),
                               scanned);
    if (plain && complete) [[likely]] {
        // Every key is a str and every name found or certainly absent: the writes run no
        // Python code, so no value read or handed down can go away meanwhile.
        PyObject* values[kPositions];
        bool same = true;
        for (int p = 0; p < kPositions; ++p) {
            PyObject* found = scanned[p];
            if (!(info.location_mask & (1u << p)) || !found ||
                (kNoneIsMissing[p] && found == Py_None)) {
                values[p] = inherited.value[p];
                if ((info.location_mask & (1u << p)) &&
                    PyDict_SetItem(dict, names[p], values[p]) < 0) [[unlikely]]
                    return fail(take_pending());
            } else {
                values[p] = found;
                same = same && found == inherited.value[p];
            }
        }
        if (same) return HandedDown::inherited;
        for (int p = 0; p < kPositions; ++p) out.value[p] = Py_NewRef(values[p]);
        return HandedDown::own;
    }
    // Held: a write may replace the node's __dict__. The lookups stay on this one, and a
    // dictionary first made by a write does not count: without one, everything is missing.
    Ref held_dict = Ref::retain(dict);
    bool code_may_have_run = false;
    Ref values[kPositions];
    for (int p = 0; p < kPositions; ++p) {
        if (!(info.location_mask & (1u << p))) {
            values[p] = Ref::retain(inherited.value[p]);
            continue;
        }
        Ref held;
        if (dict && !code_may_have_run && (scanned[p] || complete)) {
            held = Ref::retain(scanned[p]);
        } else if (dict) {
            // A write runs Python code (a __setattr__) that may have stored this one.
            PyObject* value = nullptr;
            if (PyDict_GetItemRef(dict, names[p], &value) < 0) [[unlikely]]
                return fail(take_pending());
            held = Ref::adopt(value);
        }
        if (held && !(kNoneIsMissing[p] && held.get() == Py_None)) {
            values[p] = std::move(held);
            continue;
        }
        values[p] = Ref::retain(inherited.value[p]);
        if (!plain) code_may_have_run = true;
        if (set_attribute(node, names[p], values[p].get(), plain) < 0) [[unlikely]]
            return fail(take_pending());
    }
    for (int p = 0; p < kPositions; ++p) out.value[p] = values[p].release();
    return HandedDown::own;
}

// The frame above the root: lineno 1, col_offset 0, end_lineno 1, end_col_offset 0.
Status push_start_frame(FrameStack& frames) {
    Ref start[kPositions];
    for (int p = 0; p < kPositions; ++p) {
        start[p] = Ref::adopt(PyLong_FromLongLong(p % 2 == 0 ? 1 : 0));
        if (!start[p]) return fail(null_object(SPRIG_HERE));
    }
    if (!frames.reserve(1)) return fail(no_memory());
    Frame frame;
    for (int p = 0; p < kPositions; ++p) frame.value[p] = start[p].release();
    frames.push_unchecked(frame);
    return {};
}

}  // namespace

Result<Ref> fix_missing_locations(PyObject* node) {
    Ref result = Ref::retain(node);
    auto readers = node_readers();
    if (!readers) return fail(std::move(readers.error()));
    PyObject* names[kPositions];
    for (int p = 0; p < kPositions; ++p) {
        auto name = interned(kLocationNames[p]);
        if (!name) return fail(std::move(name.error()));
        names[p] = *name;
    }

    FrameStack frames;
    SPRIG_TRY(push_start_frame(frames));
    NodeStack<Pending> stack;
    RefStack scratch;  // children read by name, before they join the stack
    PathGuard guard;
    if (!stack.reserve(1)) return fail(no_memory());
    stack.push_unchecked({Ref::retain(node).release(), 0, 0});
    SignalCheck signals;
    while (!stack.empty()) {
        // Every entry and frame holds what it points to: a handler may run here.
        SPRIG_TRY(signals.step());
        Pending top = stack.pop();
        // Released only after its children are on the stack: they may hold no other owner.
        Ref current = Ref::adopt(top.node);
        auto info = type_info(Py_TYPE(top.node), readers->known);
        if (!info) return fail(std::move(info.error()));
        uint32_t handed_down = top.frame;
        if ((*info)->location_mask) {
            frames.release_from(size_t{top.frame} + 1);
            if (!frames.reserve_more(1)) [[unlikely]]
                return fail(no_memory());
            Frame own{};  // repair() fills it only when it hands down its own frame
            auto repaired = repair(top.node, **info, frames[top.frame], names, own);
            if (!repaired) return fail(std::move(repaired.error()));
            if (*repaired == HandedDown::own) {
                frames.push_unchecked(own);
                handed_down = top.frame + 1;
            }
            // A __setattr__ run by the writes may even have changed the node's class or
            // the class itself, and so may the lookups on the class that tell whether
            // writes are plain. A record still current needs no new lookup.
            if (!is_current(**info, Py_TYPE(top.node))) [[unlikely]] {
                info = type_info(Py_TYPE(top.node), readers->known);
                if (!info) return fail(std::move(info.error()));
            }
        }
        if ((*info)->fields.size() == 0) continue;  // no children, no descendant: not guarded
        if (!guard.enter(top.node, top.depth)) [[unlikely]]
            return fail(std::move(guard.failure));
        uint32_t depth = top.depth + 1;
        SPRIG_TRY(push_owned_children(
            top.node, **info, readers->classes, stack, scratch,
            [&](PyObject* child) { return Pending{child, handed_down, depth}; }));
    }
    return result;
}

}  // namespace sprig
