#pragma once

// The descriptors the caller set up, which a path may name: a file that one of them holds is read
// or written through it, at its offset and with its flags, and never emptied or removed.

namespace morvask {

enum class answer { no, yes, unknown };

// Whether path names the file that descriptor fd holds open for access (O_RDONLY or O_WRONLY).
// Unknown where that cannot be told: fstat failed, for another cause than a closed descriptor.
answer names_file_of(const char* path, int fd, int access);

// A descriptor that path names, open for access: for reading, standard input's file by any name;
// for writing, standard output's or standard error's; for either, the one it names as /dev/fd/N
// or /proc/self/fd/N, and the links to it (/dev/stdout). -1 for none, cannot_tell where that cannot
// be told, and wrong_way where the one it names is open the other way only.
inline constexpr int cannot_tell = -2;
inline constexpr int wrong_way = -3;
int caller_descriptor(const char* path, int access);

} // namespace morvask
