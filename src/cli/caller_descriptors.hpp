#pragma once

// The descriptors the caller set up, which a path may name: one so named is read or written
// through, at its offset and with its flags, and never emptied or removed. Any other path is opened
// by its name, whatever descriptor also leads to its file.

namespace morvask {

// The descriptor that path names, open for access (O_RDONLY or O_WRONLY): /dev/stdin, /dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N, /proc/thread-self/fd/N, any other path to that
// directory, or a symbolic link that leads to one of them. -1 for any other path; refused where the
// one it names is closed or open the other way only.
inline constexpr int refused = -2;
int caller_descriptor(const char* path, int access);

// Whether a word printed now would land among data written to path: it names standard output, or
// leads to the file that standard output writes to (`>> out`). Where that cannot be told, it would.
bool reaches_standard_output(const char* path);

// The same for the destination once open, which may be standard output's file by another way too
// (a FUSE mirror of it).
bool shares_standard_output(int fd);

} // namespace morvask
