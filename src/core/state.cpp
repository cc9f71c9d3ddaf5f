// The links between states and the threads' caches: which thread holds caches for which
// interpreter, and who releases them. Releases happen only in the caches' own interpreter;
// a thread that ends hands its caches to their state instead of touching any interpreter.
#include "core/state.hpp"

#include <new>

namespace sprig {

constinit thread_local ThreadCaches* detail::t_current = nullptr;
constinit thread_local ThreadCaches* detail::t_last = nullptr;

namespace {

// Guards every link between a ThreadCaches and its State: State::caches and next_of_state,
// ThreadCaches::state and orphaned. Held for a few pointer steps; never while Python code
// runs or a release is made. A PyMutex parks without holding the interpreter.
PyMutex g_registry;
std::atomic<uint64_t> g_generations{0};

struct Registry {
    Registry() { PyMutex_Lock(&g_registry); }
    ~Registry() { PyMutex_Unlock(&g_registry); }
};

void destroy_slots(ThreadCaches* c) {
    for (auto& slot : c->slots) {
        if (slot.data) slot.destroy(std::exchange(slot.data, nullptr));
    }
}

// The thread's caches for every state it called into, newest first. At thread exit each is
// orphaned (its state releases it at its next call or its end) or freed, when its state
// is gone and released it already.
struct ThreadList {
    ThreadCaches* head = nullptr;
    ~ThreadList() {
        Registry locked;
        for (ThreadCaches* c = head; c;) {
            ThreadCaches* next = c->next_of_thread;
            if (c->state) {
                c->orphaned = true;
                c->state->orphans.store(true, std::memory_order_release);
            } else {
                delete c;
            }
            c = next;
        }
        head = nullptr;
        detail::t_last = nullptr;
    }
};
thread_local ThreadList t_list;

// The caches of the state's ended threads, unlinked and released.
[[gnu::cold, gnu::noinline]] void release_orphans(State* state) {
    ThreadCaches* taken = nullptr;
    {
        Registry locked;
        state->orphans.store(false, std::memory_order_relaxed);
        for (ThreadCaches** at = &state->caches; *at;) {
            ThreadCaches* c = *at;
            if (!c->orphaned) {
                at = &c->next_of_state;
                continue;
            }
            *at = c->next_of_state;
            c->next_of_state = taken;
            taken = c;
        }
    }
    while (taken) {  // outside the guard: a release may run Python code
        ThreadCaches* c = taken;
        taken = c->next_of_state;
        destroy_slots(c);
        delete c;
    }
}

// The calling thread's caches for `state`, made and registered on its first call there.
// Caches of states that ended are freed on the way.
[[gnu::cold, gnu::noinline]] ThreadCaches* find_caches(State* state) {
    for (ThreadCaches* c = t_list.head; c; c = c->next_of_thread)
        if (c->generation == state->generation) return c;
    auto* made = new (std::nothrow) ThreadCaches();
    if (!made) return nullptr;
    made->state = state;
    made->generation = state->generation;
    Registry locked;
    for (ThreadCaches** at = &t_list.head; *at;) {
        ThreadCaches* c = *at;
        if (c->state) {
            at = &c->next_of_thread;
            continue;
        }
        *at = c->next_of_thread;
        if (c == detail::t_last) detail::t_last = nullptr;
        delete c;
    }
    made->next_of_thread = t_list.head;
    t_list.head = made;
    made->next_of_state = state->caches;
    state->caches = made;
    return made;
}

}  // namespace

Entered::Entered(State* state) : previous_(detail::t_current) {
    ThreadCaches* c = previous_ ? previous_ : detail::t_last;
    if (!c || c->generation != state->generation) [[unlikely]]
        c = find_caches(state);
    current_ = c;
    if (!c) {
        PyErr_NoMemory();
        return;
    }
    detail::t_current = detail::t_last = c;
    ++c->depth;
    if (state->orphans.load(std::memory_order_acquire)) [[unlikely]]
        release_orphans(state);
}

Entered::~Entered() {
    if (!current_) return;
    --current_->depth;
    detail::t_current = previous_;
}

void state_init(State* state) {
    state->generation = g_generations.fetch_add(1, std::memory_order_relaxed) + 1;
    state->caches = nullptr;
    state->patched = false;
    new (&state->patch_guard) PyMutex();
    new (&state->orphans) std::atomic<bool>(false);
}

bool state_made(const State* state) { return state->generation != 0; }

void state_release_caches(State* state) {
    if (!state_made(state)) return;
    ThreadCaches* taken;
    {
        Registry locked;
        taken = std::exchange(state->caches, nullptr);
    }
    // No thread runs a call in this interpreter's module now: each holder of these caches
    // is idle or elsewhere. Their owners still read `state` set, so a thread that ends
    // meanwhile orphans its caches instead of freeing them under the releases.
    ThreadCaches* saved = detail::t_current;
    for (ThreadCaches* c = taken; c; c = c->next_of_state) {
        detail::t_current = c;  // released as from a call into this state: at once
        ++c->depth;
        destroy_slots(c);
        --c->depth;
    }
    detail::t_current = saved;
    // A live thread keeps its (now empty) caches until it makes new ones or ends.
    Registry locked;
    while (taken) {
        ThreadCaches* c = taken;
        taken = c->next_of_state;
        c->next_of_state = nullptr;
        c->state = nullptr;
        if (c->orphaned) delete c;
    }
}

void state_clear(State* state) {
    if (!state_made(state)) return;
    PyObject** objects = state->object_array();
    for (size_t i = 0; i < State::kObjects; ++i) Py_CLEAR(objects[i]);
}

int state_traverse(State* state, visitproc visit, void* arg) {
    if (!state_made(state)) return 0;
    PyObject** objects = state->object_array();
    for (size_t i = 0; i < State::kObjects; ++i) Py_VISIT(objects[i]);
    // The list changes only in calls into this interpreter, and the collector runs with the
    // interpreter held: it is stable here without the registry guard. A thread's caches are
    // changed only by that thread's calls, which cannot run now either.
    for (ThreadCaches* c = state->caches; c; c = c->next_of_state) {
        for (auto& slot : c->slots) {
            if (slot.data && slot.traverse) {
                if (int r = slot.traverse(slot.data, visit, arg)) return r;
            }
        }
    }
    return 0;
}

void state_free(State* state) {
    if (!state_made(state)) return;
    state_release_caches(state);
    state_clear(state);
}

}  // namespace sprig
