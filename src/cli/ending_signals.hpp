#pragma once

#include <csignal>

// The signals that end a run, and what the run does first.

namespace morvask {

// Once, before any file is opened. Writes that SIGPIPE or SIGXFSZ would end fail instead; a signal
// that ends the run calls before_ending first, once, in its handler: async-signal-safe calls only.
void prepare_signals(void (*before_ending)());

// While one lives, a signal that would end the run waits.
struct signals_blocked {
    sigset_t previous;
    signals_blocked();
    ~signals_blocked();
    signals_blocked(const signals_blocked&) = delete;
    signals_blocked& operator=(const signals_blocked&) = delete;
};

} // namespace morvask
