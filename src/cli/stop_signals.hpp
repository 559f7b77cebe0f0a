#pragma once

#include <csignal>

// The signals that end a run, and what they do first: discard the output that is unfinished.

namespace morvask {

struct output_file;

// Once, before any file is opened. Writes that would kill the process with SIGPIPE or SIGXFSZ
// fail instead, as any other failed write; a signal that ends the process while an output is
// unfinished discards that output first. Signals ignored at start stay ignored.
void prepare_signals();

// While the stop signals are held, one that arrives waits, and then finds the output either
// fully handed over or not at all. Plain calls, not a guard object: a destructor would give every
// call inside its scope an unwinding path, and bring the C++ runtime into the binary with it.
sigset_t hold_signals();
void release_signals(const sigset_t& previous);

// The output that a stop signal discards, or nullptr. Set, and its fields changed, only while the
// stop signals are held, so the handler always sees an output that is wholly this run's, with its
// descriptors still open.
void discard_on_stop(const output_file* out);

} // namespace morvask
