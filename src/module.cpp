// The module object: its definition and slots, the twelve function records with their
// signatures and docstrings, the event codes, and module exec. The only file that knows
// PyMethodDef.
#include "core/frame.hpp"
#include "core/names.hpp"
#include "hashing/digest.hpp"
#include "hashing/hash.hpp"
#include "schema/instance_dict.hpp"
#include "stdlib/patch_ast.hpp"
#include "stdlib/stdlib_ast.hpp"
#include "stdlib/visitors.hpp"
#include "version.hpp"
#include "walks/edits.hpp"
#include "walks/walk_fast.hpp"
#include "walks/walk_typed.hpp"
#include "core/state.hpp"
#include "schema/class_version.hpp"
#include "schema/classes.hpp"

namespace sprig {
namespace {

// The functions carry their module as __self__: its state is the interpreter's.
template <const Params& P, Result<Ref> (*Body)(Args)>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames) {
    return call_in_frame(static_cast<State*>(PyModule_GetState(module)), P, Body, args, nargsf,
                         kwnames);
}

constexpr Params kWalkDfs{"walk_dfs", {"node"}, 1, 1};
constexpr Params kWalkUnordered{"walk_unordered", {"node"}, 1, 1};
constexpr Params kWalk{"walk", {"node"}, 1, 1};
constexpr Params kWalkCount{"_walk_count", {"node"}, 1, 1};
constexpr Params kWalkFrontier{"walk_frontier", {"node", "kinds"}, 2, 2};
constexpr Params kWalkFrontierEdges{"walk_frontier_edges", {"node", "kinds"}, 2, 2};
constexpr Params kWalkOfTypes{"walk_of_types", {"node", "kinds", "prune"}, 3, 2};
constexpr Params kWalkFrontierEvents{"walk_frontier_events", {"node", "kinds", "bracket"}, 3, 3};
constexpr Params kSetParents{"set_parents", {"node"}, 1, 1};
constexpr Params kSubtreeHashes{"subtree_hashes", {"node"}, 1, 1};
constexpr Params kSubtreeHash{"subtree_hash", {"node"}, 1, 1};
constexpr Params kSubtreeDigests{"subtree_digests", {"node"}, 1, 1};
constexpr Params kSubtreeDigest{"subtree_digest", {"node"}, 1, 1};
constexpr Params kFixMissingLocations{"fix_missing_locations", {"node"}, 1, 1};
constexpr Params kDirectReads{"_direct_reads", {"enable"}, 1, 0};
// Named as in the ast module, so that a wrong call reads as it would there.
constexpr Params kAstWalk{"walk", {"node"}, 1, 1, 0};
constexpr Params kAstIterChildNodes{"iter_child_nodes", {"node"}, 1, 1, 1};
constexpr Params kAstIterFields{"iter_fields", {"node"}, 1, 1, 2};
constexpr Params kAstCopyLocation{"copy_location", {"new_node", "old_node"}, 2, 2, 3};
constexpr Params kAstIncrementLineno{"increment_lineno", {"node", "n"}, 2, 1, 4};
constexpr Params kAstFixMissingLocations{"fix_missing_locations", {"node"}, 1, 1, 5};
constexpr Params kPatchAst{"patch_ast", {}, 0, 0};
constexpr Params kRestoreAst{"restore_ast", {}, 0, 0};

Result<Ref> body_walk_dfs(Args a) { return walk_dfs(a[0]); }
Result<Ref> body_walk_unordered(Args a) { return walk_unordered(a[0]); }
Result<Ref> body_walk(Args a) { return walk_deprecated(a[0]); }
Result<Ref> body_walk_count(Args a) { return walk_count(a[0]); }
Result<Ref> body_walk_frontier(Args a) { return walk_frontier(a[0], a[1]); }
Result<Ref> body_walk_frontier_edges(Args a) { return walk_frontier_edges(a[0], a[1]); }
Result<Ref> body_walk_of_types(Args a) { return walk_of_types(a[0], a[1], a[2]); }
Result<Ref> body_walk_frontier_events(Args a) { return walk_frontier_events(a[0], a[1], a[2]); }
Result<Ref> body_set_parents(Args a) { return set_parents(a[0]); }
Result<Ref> body_subtree_hashes(Args a) { return subtree_hashes(a[0]); }
Result<Ref> body_subtree_hash(Args a) { return subtree_hash(a[0]); }
Result<Ref> body_subtree_digests(Args a) { return subtree_digests(a[0]); }
Result<Ref> body_subtree_digest(Args a) { return subtree_digest(a[0]); }
Result<Ref> body_fix_missing_locations(Args a) { return fix_missing_locations(a[0]); }
Result<Ref> body_ast_walk(Args a) { return ast_walk(a[0]); }
Result<Ref> body_ast_iter_child_nodes(Args a) { return ast_iter_child_nodes(a[0]); }
Result<Ref> body_ast_iter_fields(Args a) { return ast_iter_fields(a[0]); }
Result<Ref> body_ast_copy_location(Args a) { return ast_copy_location(a[0], a[1]); }
Result<Ref> body_ast_increment_lineno(Args a) { return ast_increment_lineno(a[0], a[1]); }
Result<Ref> body_ast_fix_missing_locations(Args a) { return ast_fix_missing_locations(a[0]); }
Result<Ref> body_patch_ast(Args) { return patch_ast(); }
Result<Ref> body_restore_ast(Args) { return restore_ast(); }
Result<Ref> body_direct_reads(Args a) {
    bool on = direct_reads();
    if (a[0] && a[0] != Py_None) {
        int enable = PyObject_IsTrue(a[0]);
        if (enable < 0) return fail(take_pending());
        on = set_direct_reads(enable);
    }
    return Ref::retain(on ? Py_True : Py_False);
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

#define SPRIG_RECORD(params, body, doc)                                                  \
    PyMethodDef {                                                                        \
        params.function,                                                                 \
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<params, body>)), \
            kFlags, doc                                                                  \
    }

PyMethodDef g_walk = SPRIG_RECORD(kWalk, body_walk,
    "walk(node)\n--\n\n"
    "Deprecated in favour of `walk_dfs`, which returns the same list.\n"
    "\n"
    "Emits a `DeprecationWarning` on the first call in a process, then\n"
    "returns `walk_dfs(node)`.");

PyMethodDef g_walk_dfs = SPRIG_RECORD(kWalkDfs, body_walk_dfs,
    "walk_dfs(node)\n--\n\n"
    "Walk the AST rooted at `node` in strict depth-first pre-order and\n"
    "return every descendant (including `node` itself) as a list.\n"
    "\n"
    "Children are read from each node's instance dictionary alone: the\n"
    "entries under its class's `_fields`, where an exact list gives its node\n"
    "items. On trees that the parser and the ast classes make, these are the\n"
    "nodes `ast.walk` finds, in depth-first pre-order (`ast.walk` goes\n"
    "breadth-first); a child served by a property or `__getattr__` is not\n"
    "visited. `walk_unordered` returns the same nodes in no promised order,\n"
    "and is no faster on a tree in cache.");

PyMethodDef g_walk_unordered = SPRIG_RECORD(kWalkUnordered, body_walk_unordered,
    "walk_unordered(node)\n--\n\n"
    "Walk the AST rooted at `node` and return every descendant (including\n"
    "`node` itself) as a list, in an implementation-defined order.\n"
    "\n"
    "The set of returned nodes is identical to `walk_dfs`'s (read from the\n"
    "instance dictionaries alone, as `walk_dfs` says); only the order differs, and no order is promised: it may\n"
    "change from one version to the next. The walk takes nodes off its stack in\n"
    "batches and prefetches the memory of each batch before reading it.\n"
    "\n"
    "Its speed is no reason to choose it: measured on two machines, it was\n"
    "slower than `walk_dfs` on a tree in cache (by 4% and by 50%), and from\n"
    "as fast to a fifth faster on one out of cache. What it buys is freedom\n"
    "from an order, which a later version may spend on speed.");

PyMethodDef g_walk_frontier = SPRIG_RECORD(kWalkFrontier, body_walk_frontier,
    "walk_frontier(node, kinds)\n--\n\n"
    "Return the descendants of `node` whose exact type is one of `kinds`, in\n"
    "depth-first pre-order, without descending below any match. `node`\n"
    "itself is never included.");

PyMethodDef g_walk_frontier_edges = SPRIG_RECORD(kWalkFrontierEdges, body_walk_frontier_edges,
    "walk_frontier_edges(node, kinds)\n--\n\n"
    "Like `walk_frontier`, but each match comes as `(node, parent, field,\n"
    "index)`: the node was read from `parent.<field>` when `index` is `-1`,\n"
    "else from `parent.<field>[index]`.");

PyMethodDef g_walk_of_types = SPRIG_RECORD(kWalkOfTypes, body_walk_of_types,
    "walk_of_types(node, kinds, prune=None)\n--\n\n"
    "Return every node under `node` (`node` included) whose exact type is in\n"
    "`kinds`, in depth-first pre-order. Unlike `walk_frontier`, matches are\n"
    "descended into, except a node whose exact type is in `prune`: it is\n"
    "returned if it matches, and its children are skipped. `node` itself is\n"
    "always descended.");

PyMethodDef g_fix_missing_locations = SPRIG_RECORD(kFixMissingLocations,
    body_fix_missing_locations,
    "fix_missing_locations(node)\n--\n\n"
    "`ast.fix_missing_locations`, without recursing per tree level. Returns\n"
    "`node`.");

PyMethodDef g_subtree_hashes = SPRIG_RECORD(kSubtreeHashes, body_subtree_hashes,
    "subtree_hashes(node)\n--\n\n"
    "A structural hash per node, keyed by `id(node)`. Two subtrees that would\n"
    "give the same `ast.dump` get the same hash; a leaf value's type is mixed\n"
    "in, so `1`, `1.0` and `True` (equal hashes in Python) stay apart. A leaf\n"
    "that is not a str, bytes, int, bool, None or Ellipsis is hashed by its\n"
    "`repr`, as `ast.dump` prints it: NaNs compare equal there and `-0.0` and\n"
    "`0.0` do not, and a list constant has a repr where it has no hash.");

PyMethodDef g_subtree_hash = SPRIG_RECORD(kSubtreeHash, body_subtree_hash,
    "subtree_hash(node)\n--\n\n"
    "`subtree_hashes(node)[id(node)]`, without building the dict.");

PyMethodDef g_subtree_digests = SPRIG_RECORD(kSubtreeDigests, body_subtree_digests,
    "subtree_digests(node)\n--\n\n"
    "A 128-bit structural digest per node, keyed by `id(node)`: a non-negative\n"
    "int that depends only on the tree, the same in every process, under any\n"
    "`PYTHONHASHSEED` and on any machine. Subtrees that would give the same\n"
    "`ast.dump` get the same digest; the tree semantics are those of\n"
    "`subtree_hashes`. The README writes the encoding down.");

PyMethodDef g_subtree_digest = SPRIG_RECORD(kSubtreeDigest, body_subtree_digest,
    "subtree_digest(node)\n--\n\n"
    "`subtree_digests(node)[id(node)]`, without building the dict.");

PyMethodDef g_set_parents = SPRIG_RECORD(kSetParents, body_set_parents,
    "set_parents(node)\n--\n\n"
    "Set `child.parent = parent` for every node under `node`, visiting parents\n"
    "in depth-first pre-order and each parent's children in\n"
    "`ast.iter_child_nodes` order. `node` itself is left alone.");

PyMethodDef g_walk_frontier_events = SPRIG_RECORD(kWalkFrontierEvents, body_walk_frontier_events,
    "walk_frontier_events(node, kinds, bracket)\n--\n\n"
    "The calls a `NodeVisitor` makes descending from `node`, as a list of\n"
    "`(event, node)` pairs: `(0, n)` for a descendant whose exact type is in\n"
    "`kinds` (dispatched, not descended), and `(1, n)` / `(2, n)` around the\n"
    "descent of a node whose exact type is in `bracket`. `node` itself is\n"
    "always descended, and bracketed if its type is in `bracket`.");

PyMethodDef g_walk_count = SPRIG_RECORD(kWalkCount, body_walk_count,
    "_walk_count(node)\n--\n\n"
    "Benchmarking-only. Traverse the AST and return the node count without\n"
    "materializing a result list. Isolates traversal cost from list-build\n"
    "cost for profiling deltas.");

PyMethodDef g_direct_reads = SPRIG_RECORD(kDirectReads, body_direct_reads,
    "_direct_reads(enable=None)\n--\n\n"
    "For tests and benchmarks. Whether the fast walks read node dictionaries in\n"
    "place on this interpreter. `False` turns that off, so every walk reads\n"
    "through the dictionary API; `True` turns it back on where the check made\n"
    "at import allows it. Returns the mode now in effect.");

// As SPRIG_RECORD, under a name of its own: binding errors name the ast module's function.
#define SPRIG_NAMED_RECORD(name, params, body, doc)                                      \
    PyMethodDef {                                                                        \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<params, body>)), \
            kFlags, doc                                                                  \
    }

PyMethodDef g_ast_walk = SPRIG_NAMED_RECORD("ast_walk", kAstWalk, body_ast_walk,
    "ast_walk(node)\n--\n\n"
    "`ast.walk`: a lazy iterator over `node` and its descendants, breadth-first.\n"
    "A node's children are read when the node is taken, before it is handed out.");

PyMethodDef g_ast_iter_child_nodes = SPRIG_NAMED_RECORD("ast_iter_child_nodes", kAstIterChildNodes, body_ast_iter_child_nodes,
    "ast_iter_child_nodes(node)\n--\n\n"
    "`ast.iter_child_nodes`: a lazy iterator over the nodes in the fields of `node`.");

PyMethodDef g_ast_iter_fields = SPRIG_NAMED_RECORD("ast_iter_fields", kAstIterFields, body_ast_iter_fields,
    "ast_iter_fields(node)\n--\n\n"
    "`ast.iter_fields`: a lazy iterator of `(name, value)` for each field in\n"
    "`node._fields` that is present on `node`.");

PyMethodDef g_ast_copy_location = SPRIG_NAMED_RECORD("ast_copy_location", kAstCopyLocation, body_ast_copy_location,
    "ast_copy_location(new_node, old_node)\n--\n\n"
    "`ast.copy_location`: copy the location attributes of `old_node` to `new_node`\n"
    "where both classes name them; returns `new_node`.");

PyMethodDef g_ast_increment_lineno = SPRIG_NAMED_RECORD("ast_increment_lineno", kAstIncrementLineno, body_ast_increment_lineno,
    "ast_increment_lineno(node, n=1)\n--\n\n"
    "`ast.increment_lineno`: add `n` to the line numbers of every node that\n"
    "`ast.walk(node)` yields; returns `node`.");

PyMethodDef g_ast_fix_missing_locations = SPRIG_NAMED_RECORD("ast_fix_missing_locations", kAstFixMissingLocations,
    body_ast_fix_missing_locations,
    "ast_fix_missing_locations(node)\n--\n\n"
    "`ast.fix_missing_locations`, call for call, on an explicit stack; returns `node`.");

PyMethodDef g_patch_ast = SPRIG_RECORD(kPatchAst, body_patch_ast,
    "patch_ast()\n--\n\n"
    "Install the `ast_*` helpers, `NodeVisitor` and `NodeTransformer` into the `ast`\n"
    "module under the standard names. Code that looks them up in `ast` afterwards\n"
    "gets sprig's; a class already derived from `ast.NodeVisitor` keeps its base,\n"
    "and a name imported from `ast` before keeps the original. Calling it again\n"
    "changes nothing; safe from any thread.");

PyMethodDef g_restore_ast = SPRIG_RECORD(kRestoreAst, body_restore_ast,
    "restore_ast()\n--\n\n"
    "Put the `ast` module's own objects back where `patch_ast` installed sprig's and\n"
    "nobody has rebound the name since. Calling it again changes nothing.");

// The order in which exec adds the functions, and so the order of __all__.
PyMethodDef* const kExecOrder[] = {
    &g_walk,          &g_walk_dfs,          &g_walk_unordered,      &g_walk_frontier,
    &g_walk_frontier_edges, &g_walk_of_types, &g_fix_missing_locations, &g_subtree_hashes,
    &g_subtree_hash,  &g_set_parents,       &g_walk_frontier_events, &g_walk_count,
    &g_subtree_digests, &g_subtree_digest,
};

// The equivalents of the ast module's helpers and the patch, listed after the classes.
PyMethodDef* const kStdlibOrder[] = {
    &g_ast_walk,          &g_ast_iter_child_nodes,       &g_ast_iter_fields,
    &g_ast_copy_location, &g_ast_increment_lineno,       &g_ast_fix_missing_locations,
    &g_patch_ast,         &g_restore_ast,
};

// The module is sprig._native, and the package sprig hands its names on: functions and
// classes name the package as their __module__, where callers find them (as the pure
// implementation's do).
constexpr char kPublicModule[] = "sprig";

Status add_function(PyObject* module, PyMethodDef* record, bool exported = true) {
    Ref module_name = Ref::adopt(PyUnicode_InternFromString(kPublicModule));
    if (!module_name) return fail(take_pending());
    Ref function = Ref::adopt(PyCMethod_New(record, module, module_name.get(), nullptr));
    if (!function) return fail(take_pending());
    module_name = Ref();

    auto name_attr = interned(Name::__name__);
    if (!name_attr) return fail(std::move(name_attr.error()));
    Ref name = Ref::adopt(PyObject_GetAttr(function.get(), *name_attr));
    if (!name) return fail(take_pending());
    if (!PyUnicode_Check(name.get())) return fail(type_mismatch(name.get(), &PyUnicode_Type));

    auto all_attr = interned(Name::__all__);
    if (!all_attr) return fail(std::move(all_attr.error()));
    Ref all = Ref::adopt(PyObject_GetAttr(module, *all_attr));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail(take_pending());
        PyErr_Clear();
        all = Ref::adopt(PyList_New(0));
        if (!all) return fail(take_pending());
        if (PyObject_SetAttr(module, *all_attr, all.get()) < 0) return fail(take_pending());
    } else if (!PyList_Check(all.get())) {
        return fail(type_mismatch(all.get(), &PyList_Type));
    }
    if (exported && PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        return fail(internal("could not append __name__ to __all__", SPRIG_HERE));
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fail(take_pending());
    return {};
}

// The native bodies of the visitor classes' methods, which the methods (Python functions
// made by sprig._visiting) call first with (self, node). Not in the module's namespace.
template <PyObject* (*Body)(PyObject*, PyObject*)>
PyObject* visitor_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) [[unlikely]] {
        PyErr_SetString(PyExc_TypeError, "a visitor body takes (self, node)");
        return nullptr;
    }
    Entered entered(static_cast<State*>(PyModule_GetState(module)));
    if (!entered.ok()) return nullptr;
    return Body(args[0], args[1]);
}

#define SPRIG_VISITOR_BODY(name, body)                                                     \
    PyMethodDef {                                                                          \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(visitor_body<body>)), \
            METH_FASTCALL, nullptr                                                         \
    }

PyMethodDef g_visitor_bodies[] = {
    SPRIG_VISITOR_BODY("visit", visitor_visit),
    SPRIG_VISITOR_BODY("visitor_generic_visit", visitor_generic_visit),
    SPRIG_VISITOR_BODY("transformer_generic_visit", transformer_generic_visit),
};

constexpr char kNodeVisitorDoc[] =
    "A drop-in replacement for `ast.NodeVisitor`, and a subclass of it.\n"
    "\n"
    "Derive from it instead of `ast.NodeVisitor` and change nothing else: handlers are\n"
    "found and called exactly as the standard library's class finds and calls them, in\n"
    "the same order, with the same results. The dispatch and the descent through nodes\n"
    "without a handler run in native code, on an explicit stack.";

constexpr char kNodeTransformerDoc[] =
    "A drop-in replacement for `ast.NodeTransformer`, and a subclass of it.\n"
    "\n"
    "Derive from it instead of `ast.NodeTransformer` and change nothing else: handlers\n"
    "are called, and their results written back with the same setattr, delattr and\n"
    "slice assignments, exactly as the standard library's class does. The dispatch, the\n"
    "descent and the rewriting of fields run in native code.";

// Makes class `name` deriving from ast.<name>, with the functions `visit` and
// `generic_visit`.
Result<Ref> make_visitor_class(PyObject* module_name, PyObject* ast, const char* name,
                               const char* doc, PyObject* visit, PyObject* generic_visit) {
    Ref base = Ref::adopt(PyObject_GetAttrString(ast, name));
    if (!base) return fail(take_pending());
    Ref cls = Ref::adopt(PyObject_CallFunction(
        reinterpret_cast<PyObject*>(&PyType_Type), "s(O){sOsssOsO}", name, base.get(),
        "__module__", module_name, "__doc__", doc, "visit", visit, "generic_visit",
        generic_visit));
    if (!cls) return fail(take_pending());
    return cls;
}

// Adds the two visitor classes to the module and to __all__, after the functions.
Status add_visitor_classes(PyObject* module) {
    SPRIG_TRY(init_visitors());
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    if (!ast) return fail(take_pending());
    Ref module_name = Ref::adopt(PyUnicode_InternFromString(kPublicModule));
    if (!module_name) return fail(take_pending());
    State& st = state();
    st.objects.deep = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!st.objects.deep) return fail(take_pending());
    Ref bodies = Ref::adopt(PyTuple_New(4));
    if (!bodies) return fail(take_pending());
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* body = PyCMethod_New(&g_visitor_bodies[i], module, nullptr, nullptr);
        if (!body) return fail(take_pending());
        PyTuple_SET_ITEM(bodies.get(), i, body);
    }
    PyTuple_SET_ITEM(bodies.get(), 3, Py_NewRef(st.objects.deep));
    // The package's Python half, beside this module: the methods as Python functions.
    Ref visiting = Ref::adopt(PyImport_ImportModule("sprig._visiting"));
    if (!visiting) return fail(take_pending());
    Ref methods = Ref::adopt(PyObject_CallMethod(visiting.get(), "methods", "(O)", bodies.get()));
    if (!methods) return fail(take_pending());
    PyObject *visit, *generic_v, *generic_t;
    if (!PyArg_ParseTuple(methods.get(), "OOO", &visit, &generic_v, &generic_t))
        return fail(take_pending());
    auto visitor = make_visitor_class(module_name.get(), ast.get(), "NodeVisitor",
                                      kNodeVisitorDoc, visit, generic_v);
    if (!visitor) return fail(std::move(visitor.error()));
    auto transformer = make_visitor_class(module_name.get(), ast.get(), "NodeTransformer",
                                          kNodeTransformerDoc, visit, generic_t);
    if (!transformer) return fail(std::move(transformer.error()));
    PyObject* classes[2] = {visitor->get(), transformer->get()};
    // Dispatch recognises the classes' own functions by identity.
    st.objects.visit = Py_NewRef(visit);
    st.objects.generic_v = Py_NewRef(generic_v);
    st.objects.generic_t = Py_NewRef(generic_t);
    auto all_attr = interned(Name::__all__);
    if (!all_attr) return fail(std::move(all_attr.error()));
    Ref all = Ref::adopt(PyObject_GetAttr(module, *all_attr));
    if (!all) return fail(take_pending());
    const char* names[2] = {"NodeVisitor", "NodeTransformer"};
    for (int i = 0; i < 2; ++i) {
        Ref text = Ref::adopt(PyUnicode_InternFromString(names[i]));
        if (!text || PyList_Append(all.get(), text.get()) < 0) return fail(take_pending());
        if (PyObject_SetAttr(module, text.get(), classes[i]) < 0) return fail(take_pending());
    }
    return {};
}

// The event codes of walk_frontier_events, as plain ints: the events stay plain ints too,
// so code that compares with 0, 1 and 2 keeps working.
Status add_event_codes(PyObject* module) {
    struct Code { const char* name; long value; };
    static constexpr Code codes[] = {{"MATCH", 0}, {"ENTER", 1}, {"EXIT", 2}};
    auto all_attr = interned(Name::__all__);
    if (!all_attr) return fail(std::move(all_attr.error()));
    Ref all = Ref::adopt(PyObject_GetAttr(module, *all_attr));
    if (!all) return fail(take_pending());
    for (const Code& code : codes) {
        Ref text = Ref::adopt(PyUnicode_InternFromString(code.name));
        if (!text || PyList_Append(all.get(), text.get()) < 0) return fail(take_pending());
        if (PyModule_AddIntConstant(module, code.name, code.value) < 0)
            return fail(take_pending());
    }
    return {};
}

Result<Ref> exec_body(Args a) {
    PyObject* module = a[0];
    if (!PyModule_Check(module)) return fail(type_mismatch(module, &PyModule_Type));
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    if (!ast) return fail(take_pending());
    SPRIG_TRY(make_ast_classes(state(), ast.get()));
    for (PyMethodDef* record : kExecOrder) SPRIG_TRY(add_function(module, record));
    SPRIG_TRY(add_visitor_classes(module));
    SPRIG_TRY(init_stdlib_ast(module));
    for (PyMethodDef* record : kStdlibOrder) SPRIG_TRY(add_function(module, record));
    SPRIG_TRY(register_replacements(module));
    SPRIG_TRY(add_event_codes(module));
    SPRIG_TRY(add_function(module, &g_direct_reads, false));
    // A dunder, so that neither __all__ nor the public names change.
    if (PyModule_AddStringConstant(module, "__version__", SPRIG_VERSION) < 0)
        return fail(take_pending());
    verify_dict_layout();
    return Ref::retain(Py_None);
}

constexpr Params kExec{"<module exec>", {"module"}, 1, 1};

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

int module_exec(PyObject* module) {
#if PY_VERSION_HEX < 0x030C0000
    // 3.11 has no slot that tells the import system which interpreters a module supports,
    // and its stand-in for version tags (compat.hpp) keeps one string for the process: the
    // module refuses every interpreter but the main one itself.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "sprig does not support subinterpreters");
        return -1;
    }
#endif
    State* state = state_of(module);
    state_init(state);
    // What exec itself reports through needs the names and the failure type first.
    if (!make_names(*state) || !make_death_callback(*state)) return -1;
    PyObject* args[1] = {module};
    PyObject* r = call_in_frame(state, kExec, exec_body, args, 1, nullptr);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    return state_traverse(state_of(module), visit, arg);
}

int module_clear(PyObject* module) {
    State* state = state_of(module);
    state_release_caches(state);
    state_clear(state);
    return 0;
}

void module_free(void* module) { state_free(state_of(static_cast<PyObject*>(module))); }

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    SPRIG_MOD_INTERPRETERS_SLOT
    SPRIG_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "sprig._native",
    "",
    sizeof(State),
    nullptr,
    g_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace sprig

extern "C" [[gnu::visibility("default")]] PyObject* PyInit__native() {
    return PyModuleDef_Init(&sprig::g_definition);
}
