#pragma once

#include <sys/stat.h>

// What the caller's descriptors write to: standard output carries either the run's words or its
// data, never both; and a file the caller goes on writing to stays the file it writes to.

namespace morvask {

// Whether the caller's descriptor caller_fd writes to the file, pipe, socket or terminal fd, st:
// the same-file check's answer, but with a socket, a pipe or a terminal one with itself. Where what
// caller_fd is cannot be told, it does.
bool writes_to(int caller_fd, int fd, const struct stat& st);

// Whether path leads to what standard output writes to, descriptor being the caller's descriptor
// it names, or < 0 (`>> out`, a FIFO, a FUSE mirror of that file, /dev/tty). Where that cannot be
// told, it does.
bool reaches_standard_output(const char* path, int descriptor);

// Whether any descriptor the caller handed the run writes to the file fd, st.
bool written_by_caller(int fd, const struct stat& st);

} // namespace morvask
