#pragma once

#include <csignal>

// The signals that end a run, and what the run does first.

namespace morvask {

// Once, before any file is opened. Writes that would kill the process with SIGPIPE or SIGXFSZ
// fail instead, as any other failed write; a signal that ends the process calls before_stopping
// first, once, in its handler, where only async-signal-safe calls may be made. Signals ignored at
// start stay ignored.
void prepare_signals(void (*before_stopping)());

// While the stop signals are held, one that arrives waits, and then finds the output either
// fully handed over or not at all. Plain calls, not a guard object: a destructor would give every
// call inside its scope an unwinding path, and bring the C++ runtime into the binary with it.
sigset_t hold_signals();
void release_signals(const sigset_t& previous);

} // namespace morvask
