// The signal check of native loops whose length the input decides: a structure with a
// cycle, or a very large one, must leave Ctrl-C and alarm handlers able to stop the call,
// as the interpreter's own loops do between bytecodes.
#pragma once
#include <cstdint>

#include "core/result.hpp"

namespace sprig {

/// Runs the pending signal handlers once every kSignalPeriod steps; a handler's exception
/// ends the loop as a failure.
class SignalCheck {
public:
    static constexpr uint32_t kSignalPeriod = 4096;

    [[gnu::always_inline]] Status step() {
        if (--countdown_ != 0) [[likely]]
            return {};
        return handle();
    }

private:
    [[gnu::cold, gnu::noinline]] Status handle() {
        countdown_ = kSignalPeriod;
        if (PyErr_CheckSignals() < 0) return fail(take_pending());
        return {};
    }

    uint32_t countdown_ = kSignalPeriod;
};

}  // namespace sprig
