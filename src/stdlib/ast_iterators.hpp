// The resumable bodies of the ast module's generators: the Cursor of iter_fields and
// iter_child_nodes and the queue of walk. The location helpers walk trees with them too.
#pragma once
#include <cstring>

#include "core/grow.hpp"
#include "stdlib/ast_records.hpp"

namespace sprig::ast_helpers {

// ---------------------------------------------------------------------------------------
// The body of iter_fields and of iter_child_nodes as one resumable cursor. All its pointers
// are owned; it is a plain value so that stacks of cursors can live in growable arrays,
// and its owner calls clear() on every path.
//
// Invariant: `fields` is null until the first step; then it holds either an exact tuple
// read by position `index` or an iterator over another _fields. `items` holds the exact
// list (read by position `item`, seeing changes as a list iterator does) or the iterator
// of the field value whose items are being read; null between fields. `plain_type` and
// `plain_version` say under which class state `fields` is the class's own, so that a field
// may be read from the instance dictionary; plain_type is null when never.

struct Cursor {
    PyObject* node;
    PyObject* fields;
    PyObject* items;
    Py_ssize_t index;
    Py_ssize_t item;
    PyTypeObject* plain_type;
    unsigned int plain_version;
    bool started;
    bool tuple;
    bool exact_list;

    static Cursor over(Ref node) {
        Cursor c{};
        c.node = node.release();
        return c;
    }
    void clear() {
        Py_CLEAR(items);
        Py_CLEAR(fields);
        Py_CLEAR(node);
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(node);
        Py_VISIT(fields);
        Py_VISIT(items);
        return 0;
    }
};

/// The next child node of the cursor's node, as iter_child_nodes yields it; null at the end.
Result<Ref> next_child(Cursor& c);

// ---------------------------------------------------------------------------------------
// ast.walk's deque: owned references in [head, size) of `q`, taken from the front.

struct WalkQueue {
    Grow<PyObject*> q;
    size_t head = 0;

    /// Starts on `n` entries at `buffer`, which its owner keeps beside it.
    WalkQueue(PyObject** buffer, size_t n) { q.start_on(buffer, n); }
    WalkQueue(const WalkQueue&) = delete;
    ~WalkQueue() { clear(); }
    bool empty() const { return head == q.size(); }
    Ref take() {
        Ref front = Ref::adopt(q[head++]);
        if (head == q.size()) {
            q.clear();
            head = 0;
        } else if (head >= 64 && head * 2 >= q.size()) {
            std::memmove(q.data(), q.data() + head, (q.size() - head) * sizeof(PyObject*));
            q.truncate(q.size() - head);
            head = 0;
        }
        return front;
    }
    void clear() {
        // One at a time from the back, each taken out before its release: a release may
        // run code that reaches the queue again (through the iterator that holds it).
        while (q.size() > head) {
            PyObject* last = q.pop();
            Py_DECREF(last);
        }
        q.clear();
        head = 0;
    }
    int traverse(visitproc visit, void* arg) {
        for (size_t i = head; i < q.size(); ++i) Py_VISIT(q[i]);
        return 0;
    }
};

// todo.extend(iter_child_nodes(node)) in one pass over the dictionary, for the common node:
/// One step of ast.walk: the front node, after its children joined the back; null at the
/// end.
Result<Ref> walk_step(WalkQueue& queue);

/// The room a walk's queue starts on, kept beside it.
constexpr size_t kInlineQueue = 8;

}  // namespace sprig::ast_helpers
