// The running thread's C stack: its bounds, read once per thread, and how much of it is left.
// The visitors measure it where handlers nest C calls per level of a tree.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace sprig {

/// [low, high) of a thread's C stack, which grows down; {0, 1} where it cannot be read.
struct StackBounds {
    uintptr_t low = 0;
    uintptr_t high = 0;
};

/// Reads the running thread's bounds. Cold: out of line, so that the callers' paths carry
/// none of its locals (a pthread_attr_t is 56 bytes).
[[gnu::cold, gnu::noinline]] inline void read_stack_bounds(StackBounds* bounds) {
    bounds->low = bounds->high = 0;
#if defined(__linux__) && defined(__GLIBC__)
    // The default versions of these two are the ones glibc 2.32 and 2.34 made when the
    // thread library moved into libc; the oldest versions, which every glibc serves, keep
    // the module loadable on the oldest systems its wheels are tagged for. The directives
    // sit in this function's body so that they reach the same assembler file as its calls,
    // whatever partitions link-time optimisation makes (a file-scope asm goes to only one).
#if defined(__x86_64__)
    __asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5\n\t"
            ".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__aarch64__)
    __asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17\n\t"
            ".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &base, &size) == 0 && base) {
        bounds->low = reinterpret_cast<uintptr_t>(base);
        bounds->high = bounds->low + size;
    }
    pthread_attr_destroy(&attr);
#elif defined(__APPLE__)
    bounds->high = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
    bounds->low = bounds->high - pthread_get_stacksize_np(pthread_self());
#endif
    if (!bounds->high) bounds->high = 1;
}

/// The running thread's bounds, read on its first call.
inline const StackBounds& thread_stack() {
    constinit thread_local StackBounds bounds;
    if (!bounds.high) [[unlikely]]
        read_stack_bounds(&bounds);
    return bounds;
}

/// Whether fewer than `bytes` of the running thread's stack are left below `at`, an
/// address in the running frame; false where the bounds cannot be read.
inline bool stack_left_below(uintptr_t at, uintptr_t bytes) {
    const StackBounds& bounds = thread_stack();
    return at < bounds.low + bytes && at <= bounds.high;
}

/// The same, measured at the caller's frame.
[[gnu::always_inline]] inline bool stack_left_below(uintptr_t bytes) {
    return stack_left_below(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), bytes);
}

}  // namespace sprig
