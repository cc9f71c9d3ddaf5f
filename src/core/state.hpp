// What sprig keeps for one interpreter (the module's state) and for one thread in one
// interpreter (the thread's caches). Nothing here is shared between interpreters, and no
// object is kept in a process-wide static: every entry point finds its interpreter's state
// from the module or the defining class, and makes it the running call's (see Entered).
#pragma once
#include <atomic>
#include <cstdint>
#include <type_traits>

#include "core/compat.hpp"
#include "core/grow.hpp"
#include "core/names.hpp"

namespace sprig {

struct ThreadCaches;

/// The ast module's patch (patch_ast): what is installed, and what stood there before.
constexpr int kPatchedNames = 8;
struct PatchObjects {
    PyObject* replacement[kPatchedNames];  // owned from exec on
    PyObject* original[kPatchedNames];     // owned while patched
};

/// The ast module's helpers that sprig's ast_* functions stand for, as found at import.
constexpr int kStandardHelpers = 6;

/// Room for the owned objects of the ast helpers and of the visitor classes.
constexpr size_t kStdlibObjects = 24;
constexpr size_t kVisitorObjects = 32;

/// One interpreter's sprig, kept in the module object's own memory: built by exec, its
/// objects visited by the module's traverse, released by its clear and its free.
///
/// Every object below belongs to the interpreter that imported the module. Threads keep
/// caches for it apart from every other interpreter's (ThreadCaches); the state knows all of
/// them, so that its end releases what they hold while the interpreter still runs.
struct State {
    // The owned objects, visited and cleared as one array of pointers.
    struct Objects {
        PyObject* names[static_cast<int>(Name::count)];  // interned
        PyObject* failure_type;     // sprig.InternalFailure
        PyObject* death_callback;   // counts the deaths of watched classes
        PyObject* ast;              // ast.AST
        PyObject* expr;             // ast.expr
        PyObject* deep;             // what the visitors' native bodies give to go on in Python
        PyObject* visit;            // the module's NodeVisitor.visit (both classes')
        PyObject* generic_v;        // NodeVisitor.generic_visit
        PyObject* generic_t;        // NodeTransformer.generic_visit
        // The objects of the ast helpers and of the visitor classes, as each lays them out
        // (a struct of owned pointers only, that each checks fits: see their Globals).
        PyObject* stdlib[kStdlibObjects];
        PyObject* visitors[kVisitorObjects];
        PatchObjects patch;
        // By Params::standard: a call of sprig's function that does not bind is handed to
        // the standard one, whose binding error (its text differs between versions) is
        // the one raised.
        PyObject* standard[kStandardHelpers];
    } objects;
    static_assert(std::is_standard_layout_v<Objects> &&
                  sizeof(Objects) % sizeof(PyObject*) == 0);

    uint64_t generation;   // unique in the process, never 0: names this state to threads
    bool patched;          // patch_ast's replacements stand in the ast module
    PyMutex patch_guard;   // makes each patch and restore happen at once for every thread

    // Deferred releases: the caches of threads that ended, which must be released in this
    // interpreter, at its next call or at its end. `caches` lists every thread's caches for
    // this state, under the process-wide registry guard (state.cpp).
    ThreadCaches* caches;
    std::atomic<bool> orphans;  // some thread in `caches` has ended

    PyObject** object_array() { return reinterpret_cast<PyObject**>(&objects); }
    static constexpr size_t kObjects = sizeof(Objects) / sizeof(PyObject*);
};

/// The per-thread caches, one kind per slot.
enum class Cache : uint8_t { field_table, type_infos, kind_sets, node_classes, class_records,
                             count };

/// One thread's caches for one State. Made on the thread's first call into the state, and
/// used by that thread alone; released in the state's interpreter: by the thread's calls, at
/// the state's next call after the thread ended, or at the state's end, whichever is first.
struct ThreadCaches {
    struct Slot {
        void* data = nullptr;                 // owned through `destroy`
        void (*destroy)(void*) = nullptr;     // runs in the state's interpreter
        // Visits the objects that `data` keeps alive and that could lead back to the
        // module (classes); null when it keeps none such. The module's traverse reports
        // them: held out of the collector's sight, they would keep a cycle through the
        // module alive for ever (a class whose functions' globals reach the module).
        int (*traverse)(void*, visitproc, void*) = nullptr;
    };
    Slot slots[static_cast<int>(Cache::count)];
    State* state;           // the owner; null once the state ended (under the guard)
    uint64_t generation;    // the owner's, never changed: found by the thread without a lock
    int depth = 0;          // module calls of this thread into this state now running
    bool orphaned = false;  // the thread ended (under the guard)
    ThreadCaches* next_of_thread = nullptr;
    ThreadCaches* next_of_state = nullptr;
};

namespace detail {
// constinit: no dynamic initialisation, so every access is a plain thread-local read.
extern constinit thread_local ThreadCaches* t_current;
// The caches of the last call this thread made: most calls come from the same interpreter
// as the previous one, and find them here without a search.
extern constinit thread_local ThreadCaches* t_last;
}

/// The calling thread's caches for the interpreter of the running call. Only inside an
/// entry point (an Entered is alive).
[[gnu::always_inline]] inline ThreadCaches& thread_caches() { return *detail::t_current; }

/// The state of the interpreter of the running call.
[[gnu::always_inline]] inline State& state() { return *detail::t_current->state; }

/// A component's objects kept in `block`, a State's room for them: `T` holds owned object
/// pointers only, so that the State visits and clears them with the rest.
template <class T, size_t N>
[[gnu::always_inline]] inline T& state_block(PyObject* (&block)[N]) {
    static_assert(std::is_standard_layout_v<T> && sizeof(T) <= sizeof(block) &&
                  sizeof(T) % sizeof(PyObject*) == 0);
    return *reinterpret_cast<T*>(block);
}

/// The slot `which` of the calling thread's caches, for the running call.
[[gnu::always_inline]] inline ThreadCaches::Slot& cache_slot(Cache which) {
    return detail::t_current->slots[static_cast<int>(which)];
}

/// Makes `state` the running call's for the life of the object: its thread caches are
/// found (or made), releases deferred to it are made, and the previous call's state comes
/// back at the end, so that an interpreter run on the same thread inside a call (as
/// interp.exec() does) finds its own. `ok()` false: no memory for the caches, and
/// MemoryError is set.
class Entered {
public:
    explicit Entered(State* state);
    ~Entered();
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;
    bool ok() const { return current_ != nullptr; }

private:
    ThreadCaches* current_;
    ThreadCaches* previous_;
};

/// Builds the state in the module's zeroed memory; the objects are filled by exec.
void state_init(State* state);
/// Releases what the threads' caches hold for `state` (called in its interpreter).
void state_release_caches(State* state);
/// Releases every object of the state, keeping the memory.
void state_clear(State* state);
/// Visits the state's objects for the cyclic garbage collector.
int state_traverse(State* state, visitproc visit, void* arg);
/// Ends the state: caches and objects; the module frees the memory.
void state_free(State* state);
/// Whether `state_init` ran on this memory.
bool state_made(const State* state);

}  // namespace sprig
