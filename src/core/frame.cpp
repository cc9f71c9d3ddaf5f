// The calling frame and the error helpers every engine uses.
// Only this file raises Python exceptions on behalf of a call.
#include "core/frame.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/grow.hpp"
#include "core/names.hpp"
#include "core/state.hpp"

namespace sprig {

namespace {

bool is_internal_failure(PyObject* exc) {
    PyObject* type = internal_failure_type();
    return type && PyErr_GivenExceptionMatches(exc, type);
}

// An internal failure raised by Python code we called is not an ordinary error: report it
// with its traceback and end the call with a fresh internal failure carrying its text.
Failure rethrow_internal(PyObject* exc) {
    std::string text = "<unprintable internal failure>";
    if (PyObject* s = PyObject_Str(exc)) {
        if (const char* utf8 = PyUnicode_AsUTF8(s)) text = utf8;
        Py_DECREF(s);
    }
    PyErr_Clear();
    std::fputs("sprig: an internal failure reached sprig through Python code:\n", stderr);
    PyErr_SetRaisedException(exc);
    PyErr_PrintEx(0);
    return internal(std::move(text), SPRIG_HERE);
}

[[gnu::cold]] Failure binding_error(const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(PyExc_TypeError, format, va);
    va_end(va);
    return take_pending();
}

// Binds the vectorcall arguments to the parameter slots; allocates nothing.
Status bind(const Params& p, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
            PyObject** slots) {
    if (n > p.count) {
        const char* verb = n == 1 ? "was" : "were";
        if (p.required == p.count)
            return fail(binding_error("%s() takes %d positional argument%s but %zd %s given",
                                      p.function, p.count, p.count == 1 ? "" : "s", n, verb));
        return fail(binding_error("%s() takes from %d to %d positional arguments but %zd %s given",
                                  p.function, p.required, p.count, n, verb));
    }
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &len);
        int match = -1;
        if (!text) {
            PyErr_Clear();
        } else {
            for (int i = 0; i < p.count; ++i) {
                if (std::strlen(p.names[i]) == static_cast<size_t>(len) &&
                    std::memcmp(p.names[i], text, len) == 0) {
                    match = i;
                    break;
                }
            }
        }
        if (match < 0)
            return fail(binding_error("%s() got an unexpected keyword argument '%S'",
                                      p.function, keyword));
        if (slots[match])
            return fail(binding_error("%s() got multiple values for argument '%S'", p.function,
                                      keyword));
        slots[match] = args[n + k];
    }
    int missing[3];
    int m = 0;
    for (int i = static_cast<int>(n); i < p.required; ++i)
        if (!slots[i]) missing[m++] = i;
    if (m == 0) return {};
    char names[128] = "";
    for (int i = 0; i < m; ++i) {
        if (i > 0) std::strcat(names, m == 2 ? " and " : (i == m - 1 ? ", and " : ", "));
        std::strcat(names, "'");
        std::strcat(names, p.names[missing[i]]);
        std::strcat(names, "'");
    }
    return fail(binding_error("%s() missing %d required positional %s: %s", p.function, m,
                              m == 1 ? "argument" : "arguments", names));
}

}  // namespace

bool outermost_call() { return thread_caches().depth == 1; }

void release_cached(PyObject* p) {
    // Caches are released only in their own interpreter, from a call or from its state's
    // end (state.cpp); anywhere else a release could run on the wrong interpreter, or none.
    // Kept then: a leak, never a release off-interpreter.
    ThreadCaches* c = detail::t_current;
    if (c && c->depth > 0) [[likely]]
        Py_DECREF(p);
}

Failure take_pending() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exc = PyErr_GetRaisedException();
    }
    if (is_internal_failure(exc)) return rethrow_internal(exc);
    Failure f;
    f.exception = Ref::adopt(exc);
    return f;
}

Status discard_pending() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return {};
    if (is_internal_failure(exc)) return fail(rethrow_internal(exc));
    Py_DECREF(exc);
    return {};
}

Failure internal(std::string message, const char* where) {
    Failure f;
    f.internal = std::move(message);
    f.where = where;
    return f;
}

Failure null_object(const char* where) {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    return internal("PyObject pointer is null", where);
}

Failure no_memory() {
    PyErr_NoMemory();
    return take_pending();
}

Failure raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return take_pending();
}

Failure cycle_error() {
    return raise(PyExc_ValueError, "the tree contains a cycle: a node is its own descendant");
}

Failure cycle_recursion_error() {
    return raise(PyExc_RecursionError,
                 "the tree contains a cycle: a node is its own descendant");
}

Failure type_mismatch(PyObject* value, PyTypeObject* target) {
    PyObject* target_name = PyType_GetQualName(target);
    if (!target_name) return take_pending();
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", target_name);
    } else {
        PyObject* name = PyType_GetQualName(Py_TYPE(value));
        if (name) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", name,
                         target_name);
            Py_DECREF(name);
        } else {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "'<failed to extract type name>' object is not an instance of '%U'",
                         target_name);
        }
    }
    Py_DECREF(target_name);
    return take_pending();
}

void add_argument_note(Failure& failure, const char* parameter) {
    if (!failure.exception) return;
    PyObject* saved = PyErr_GetRaisedException();  // none is expected; keep it intact
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", parameter);
    auto add_note = interned(Name::add_note);
    if (note && add_note) {
        PyObject* r = PyObject_CallMethodOneArg(failure.exception.get(), *add_note, note);
        Py_XDECREF(r);
    }
    Py_XDECREF(note);
    PyErr_Clear();  // a failed note is discarded; the conversion error stands alone
    PyErr_SetRaisedException(saved);
}

void raise_failure(Failure failure) {
    if (failure.exception) {
        PyErr_SetRaisedException(failure.exception.release());
        return;
    }
    std::fprintf(stderr, "sprig: internal failure on thread %lu at %s: %s\n",
                 PyThread_get_thread_ident(), failure.where, failure.internal.c_str());
    PyObject* type = internal_failure_type();
    PyErr_SetString(type ? type : PyExc_SystemError, failure.internal.c_str());
}

// A call that does not bind, handed to the standard function with the same signature,
// which raises its own binding error before it runs anything. Should it run after all, its
// result is dropped and `own` stands.
[[gnu::cold, gnu::noinline]] Failure standard_binding_error(State* state, const Params& params,
                                                            Failure own, PyObject* const* args,
                                                            Py_ssize_t nargsf,
                                                            PyObject* kwnames) {
    PyObject* standard = state->objects.standard[params.standard];
    if (!standard) return own;
    PyObject* r = PyObject_Vectorcall(standard, args, static_cast<size_t>(nargsf), kwnames);
    if (r) {
        Py_DECREF(r);
        return own;
    }
    return take_pending();
}

PyObject* call_in_frame(State* state, const Params& params, Result<Ref> (*body)(Args),
                        PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    Entered entered(state);
    if (!entered.ok()) return nullptr;
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    Status bound = bind(params, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
    if (!bound && params.standard >= 0) [[unlikely]]
        bound = fail(standard_binding_error(state, params, std::move(bound.error()), args,
                                            nargsf, kwnames));
    Result<Ref> result = bound ? body(slots) : fail(std::move(bound.error()));
    if (result) return result->release();
    raise_failure(std::move(result.error()));
    return nullptr;
}

}  // namespace sprig
