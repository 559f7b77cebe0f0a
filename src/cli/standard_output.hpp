#pragma once

// Standard output carries either the run's words or its data, never both: whether a word printed
// there would land among the data.

namespace morvask {

// Whether path names standard output, or leads to the file that standard output writes to (`>>
// out`). Where that cannot be told, it would.
bool reaches_standard_output(const char* path);

// Whether fd leads to the file that the caller's descriptor caller_fd writes to, by any way the
// same-file check knows (a FUSE mirror of it too): asked of the destination once open.
bool shares_file_with(int caller_fd, int fd);

} // namespace morvask
