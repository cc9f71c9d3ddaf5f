// The ast module's patch, one per interpreter (each has its own ast module): which names
// are replaced, what stood there before, and a lock that makes each patch and restore happen
// all at once for every thread. Under the lock only the ast module's dictionary is read and written: the
// objects it replaces stay held here, so no release there runs Python code.
#include "stdlib/patch_ast.hpp"

#include "core/frame.hpp"
#include "core/state.hpp"

namespace sprig {

namespace {

constexpr int kReplaced = kPatchedNames;
// The names in the ast module and in sprig, in the same order.
constexpr const char* kAstNames[kReplaced] = {
    "walk",           "iter_child_nodes", "iter_fields", "copy_location", "increment_lineno",
    "fix_missing_locations", "NodeVisitor", "NodeTransformer"};
constexpr const char* kOwnNames[kReplaced] = {
    "ast_walk",           "ast_iter_child_nodes", "ast_iter_fields",
    "ast_copy_location",  "ast_increment_lineno", "ast_fix_missing_locations",
    "NodeVisitor",        "NodeTransformer"};

Result<Ref> import_ast() {
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    if (!ast) return fail(take_pending());
    return ast;
}

struct Locked {
    explicit Locked(State& state) : state_(state) { PyMutex_Lock(&state.patch_guard); }
    ~Locked() { PyMutex_Unlock(&state_.patch_guard); }
    State& state_;
};

}  // namespace

Status register_replacements(PyObject* module) {
    State& st = state();
    PyObject** ours = st.objects.patch.replacement;
    PyObject* found[kReplaced];
    for (int i = 0; i < kReplaced; ++i) {
        found[i] = PyObject_GetAttrString(module, kOwnNames[i]);
        if (!found[i]) {
            Failure f = take_pending();
            for (int j = 0; j < i; ++j) Py_DECREF(found[j]);
            return fail(std::move(f));
        }
    }
    for (int i = 0; i < kReplaced; ++i) ours[i] = found[i];
    return {};
}

Result<Ref> patch_ast() {
    auto ast = import_ast();  // outside the lock: an import runs Python code
    if (!ast) return fail(std::move(ast.error()));
    PyObject* dict = PyModule_GetDict(ast->get());  // borrowed from the module
    State& st = state();
    PyObject** ours = st.objects.patch.replacement;
    PyObject** saved = st.objects.patch.original;
    Locked locked(st);
    if (st.patched) return Ref::retain(Py_None);
    PyObject* original[kReplaced];
    for (int i = 0; i < kReplaced; ++i) {
        original[i] = PyDict_GetItemString(dict, kAstNames[i]);  // borrowed, or absent
        if (!original[i]) {
            PyErr_Clear();
            return fail(raise(PyExc_AttributeError, "the ast module lacks a helper to replace"));
        }
    }
    for (int i = 0; i < kReplaced; ++i) saved[i] = Py_NewRef(original[i]);
    for (int i = 0; i < kReplaced; ++i) {
        if (PyDict_SetItemString(dict, kAstNames[i], ours[i]) < 0) {
            Failure f = take_pending();
            for (int j = 0; j < i; ++j) PyDict_SetItemString(dict, kAstNames[j], saved[j]);
            PyErr_Clear();
            for (int j = 0; j < kReplaced; ++j) Py_CLEAR(saved[j]);
            return fail(std::move(f));
        }
    }
    st.patched = true;
    return Ref::retain(Py_None);
}

Result<Ref> restore_ast() {
    auto ast = import_ast();
    if (!ast) return fail(std::move(ast.error()));
    PyObject* dict = PyModule_GetDict(ast->get());
    Ref taken[kReplaced];  // released after the lock
    State& st = state();
    PyObject** ours = st.objects.patch.replacement;
    PyObject** saved = st.objects.patch.original;
    {
        Locked locked(st);
        if (!st.patched) return Ref::retain(Py_None);
        st.patched = false;
        for (int i = 0; i < kReplaced; ++i) {
            taken[i] = Ref::adopt(saved[i]);
            saved[i] = nullptr;
            // A name rebound since the patch keeps what its new owner put there.
            PyObject* now = PyDict_GetItemString(dict, kAstNames[i]);
            if (now != ours[i]) continue;
            if (PyDict_SetItemString(dict, kAstNames[i], taken[i].get()) < 0) PyErr_Clear();
        }
    }
    return Ref::retain(Py_None);
}

}  // namespace sprig
