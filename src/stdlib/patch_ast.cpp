// The state of the ast module's patch, one per process: which names are replaced, what
// stood there before, and a lock that makes each patch and restore happen all at once for
// every thread. Under the lock only the ast module's dictionary is read and written: the
// objects it replaces stay held here, so no release there runs Python code.
#include "stdlib/patch_ast.hpp"

#include "core/frame.hpp"

namespace sprig {

namespace {

constexpr int kReplaced = 8;
// The names in the ast module and in sprig, in the same order.
constexpr const char* kAstNames[kReplaced] = {
    "walk",           "iter_child_nodes", "iter_fields", "copy_location", "increment_lineno",
    "fix_missing_locations", "NodeVisitor", "NodeTransformer"};
constexpr const char* kOwnNames[kReplaced] = {
    "ast_walk",           "ast_iter_child_nodes", "ast_iter_fields",
    "ast_copy_location",  "ast_increment_lineno", "ast_fix_missing_locations",
    "NodeVisitor",        "NodeTransformer"};

PyMutex g_patch_guard;
PyObject* g_replacement[kReplaced];  // owned for the life of the process
PyObject* g_original[kReplaced];     // owned while patched: what the ast module held
bool g_patched = false;

Result<Ref> import_ast() {
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    if (!ast) return fail(take_pending());
    return ast;
}

struct Locked {
    Locked() { PyMutex_Lock(&g_patch_guard); }
    ~Locked() { PyMutex_Unlock(&g_patch_guard); }
};

}  // namespace

Status register_replacements(PyObject* module) {
    Locked locked;
    if (g_replacement[0]) return {};  // the first import's objects serve every later one
    PyObject* found[kReplaced];
    for (int i = 0; i < kReplaced; ++i) {
        found[i] = PyObject_GetAttrString(module, kOwnNames[i]);
        if (!found[i]) {
            Failure f = take_pending();
            for (int j = 0; j < i; ++j) Py_DECREF(found[j]);
            return fail(std::move(f));
        }
    }
    for (int i = 0; i < kReplaced; ++i) g_replacement[i] = found[i];
    return {};
}

Result<Ref> patch_ast() {
    auto ast = import_ast();  // outside the lock: an import runs Python code
    if (!ast) return fail(std::move(ast.error()));
    PyObject* dict = PyModule_GetDict(ast->get());  // borrowed from the module
    Locked locked;
    if (g_patched) return Ref::retain(Py_None);
    PyObject* original[kReplaced];
    for (int i = 0; i < kReplaced; ++i) {
        original[i] = PyDict_GetItemString(dict, kAstNames[i]);  // borrowed, or absent
        if (!original[i]) {
            PyErr_Clear();
            return fail(raise(PyExc_AttributeError, "the ast module lacks a helper to replace"));
        }
    }
    for (int i = 0; i < kReplaced; ++i) g_original[i] = Py_NewRef(original[i]);
    for (int i = 0; i < kReplaced; ++i) {
        if (PyDict_SetItemString(dict, kAstNames[i], g_replacement[i]) < 0) {
            Failure f = take_pending();
            for (int j = 0; j < i; ++j) PyDict_SetItemString(dict, kAstNames[j], g_original[j]);
            PyErr_Clear();
            for (int j = 0; j < kReplaced; ++j) Py_CLEAR(g_original[j]);
            return fail(std::move(f));
        }
    }
    g_patched = true;
    return Ref::retain(Py_None);
}

Result<Ref> restore_ast() {
    auto ast = import_ast();
    if (!ast) return fail(std::move(ast.error()));
    PyObject* dict = PyModule_GetDict(ast->get());
    Ref taken[kReplaced];  // released after the lock
    {
        Locked locked;
        if (!g_patched) return Ref::retain(Py_None);
        g_patched = false;
        for (int i = 0; i < kReplaced; ++i) {
            taken[i] = Ref::adopt(g_original[i]);
            g_original[i] = nullptr;
            // A name rebound since the patch keeps what its new owner put there.
            PyObject* now = PyDict_GetItemString(dict, kAstNames[i]);
            if (now != g_replacement[i]) continue;
            if (PyDict_SetItemString(dict, kAstNames[i], taken[i].get()) < 0) PyErr_Clear();
        }
    }
    return Ref::retain(Py_None);
}

}  // namespace sprig
