// The names and the internal-failure type of one interpreter, made when it imports sprig.
#include "core/names.hpp"

#include "core/state.hpp"

namespace sprig {

std::atomic<bool> g_walk_warned{false};

namespace {

constexpr const char* kNameTexts[] = {
#define SPRIG_NAME_TEXT(n) #n,
    SPRIG_NAMES(SPRIG_NAME_TEXT)
#undef SPRIG_NAME_TEXT
};

constexpr const char kFailureDoc[] =
    "Raised when sprig's own native code fails internally.\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so that it\n"
    "typically propagates all the way up and makes the interpreter exit.";

}  // namespace

bool make_names(State& state) {
    for (int i = 0; i < static_cast<int>(Name::count); ++i) {
        state.objects.names[i] = PyUnicode_InternFromString(kNameTexts[i]);
        if (!state.objects.names[i]) return false;
    }
    state.objects.failure_type = PyErr_NewExceptionWithDoc(
        "sprig.InternalFailure", kFailureDoc, PyExc_BaseException, nullptr);
    return state.objects.failure_type != nullptr;
}

PyObject* name(Name n) { return state().objects.names[static_cast<int>(n)]; }

PyObject* interned_exact(PyObject* name) {
    PyObject* exact = PyUnicode_CheckExact(name) ? Py_NewRef(name) : PyUnicode_FromObject(name);
    if (exact) PyUnicode_InternInPlace(&exact);
    return exact;
}

PyObject* internal_failure_type() {
    ThreadCaches* c = detail::t_current;
    return c && c->state ? c->state->objects.failure_type : nullptr;
}

}  // namespace sprig
