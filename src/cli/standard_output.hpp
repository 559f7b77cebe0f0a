#pragma once

// What the caller's descriptors write to: standard output carries words or data, never both.

namespace morvask {

// Whether path, or the caller's descriptor that it names, leads to what standard output writes to
// (`>> out`, a FUSE mirror of that file, /dev/tty). Where that cannot be told, it does.
bool reaches_standard_output(const char* path, int descriptor);

// Whether any descriptor the caller handed the run writes to fd.
bool written_by_caller(int fd);

} // namespace morvask
