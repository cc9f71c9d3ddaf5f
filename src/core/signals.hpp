// The signal check of native loops whose length the input decides: a structure with a
// cycle, or a very large one, must leave Ctrl-C and alarm handlers able to stop the call,
// as the interpreter's own loops do between bytecodes.
#pragma once
#include <cstdint>

#include "core/result.hpp"

namespace sprig {

/// Runs the pending signal handlers once every kSignalPeriod steps; a handler's exception
/// ends the loop as a failure. PyErr_CheckSignals may run Python code (a handler, or a
/// collection with its finalizers) that changes the tree or calls sprig again: a loop that
/// keeps borrowed pointers takes references to them before handlers() runs.
class SignalCheck {
public:
    static constexpr uint32_t kSignalPeriod = 4096;

    [[gnu::always_inline]] Status step() {
        if (tick()) [[likely]]
            return {};
        return handlers();
    }

    /// Counts `n` steps (at most kSignalPeriod); false when handlers() is due. Keeps the
    /// count in a register when the check is a local of the loop's function.
    [[gnu::always_inline]] bool tick(uint32_t n = 1) {
        if (countdown_ > n) [[likely]] {
            countdown_ -= n;
            return true;
        }
        countdown_ = kSignalPeriod;
        return false;
    }

    /// Runs the pending signal handlers.
    [[gnu::cold, gnu::noinline]] static Status handlers() {
        if (PyErr_CheckSignals() < 0) return fail(take_pending());
        return {};
    }

private:
    uint32_t countdown_ = kSignalPeriod;
};

}  // namespace sprig
