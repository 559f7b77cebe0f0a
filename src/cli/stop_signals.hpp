#pragma once

#include <csignal>

// The signals that end a run, and what the run does first.

namespace morvask {

// Once, before any file is opened. Writes that would kill the process with SIGPIPE or SIGXFSZ
// fail instead, as any other failed write; a signal that ends the process calls before_stopping
// first, once, in its handler, where only async-signal-safe calls may be made. Signals ignored at
// start stay ignored.
void prepare_signals(void (*before_stopping)());

// While one of these lives, the stop signals are held: one that arrives waits, and then finds the
// output either fully handed over or not at all.
struct signals_held {
    sigset_t previous;
    signals_held();
    ~signals_held();
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
};

} // namespace morvask
