#pragma once

// Standard output carries either the run's words or its data, never both: whether a word printed
// there would land among the data.

namespace morvask {

// Whether path names standard output or a copy of it, or leads to the file, pipe, socket or
// terminal that standard output writes to (`>> out`, a FUSE mirror of that file, /dev/tty). Where
// that cannot be told, it would.
bool reaches_standard_output(const char* path);

// The same of the destination once open, for the caller's descriptor caller_fd.
bool shares_file_with(int caller_fd, int fd);

} // namespace morvask
