#pragma once

// Standard output carries either the run's words or its data, never both: whether a word printed
// there would land among the data.

namespace morvask {

// Whether path names standard output, or leads to the file that standard output writes to (`>>
// out`). Where that cannot be told, it would.
bool reaches_standard_output(const char* path);

// The same for the destination once open, which may be standard output's file by another way too
// (a FUSE mirror of it).
bool shares_standard_output(int fd);

} // namespace morvask
