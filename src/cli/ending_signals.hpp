#pragma once

#include <csignal>

// The signals that end a run, and what the run does first.

namespace morvask {

// Once, before any file is opened. Writes that would kill the process with SIGPIPE or SIGXFSZ
// fail instead, as any other failed write; a signal that ends the process calls before_ending
// first, once, in its handler, where only async-signal-safe calls may be made. Signals ignored at
// start stay ignored.
void prepare_signals(void (*before_ending)());

// While one of these lives, the signals that end the run are blocked: one that arrives waits, and
// then finds the output either fully handed over or not at all.
struct signals_blocked {
    sigset_t previous;
    signals_blocked();
    ~signals_blocked();
    signals_blocked(const signals_blocked&) = delete;
    signals_blocked& operator=(const signals_blocked&) = delete;
};

} // namespace morvask
