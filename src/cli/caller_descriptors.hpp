#pragma once

// The descriptors the caller set up, which a path may name: one so named is read or written
// through, at its offset and with its flags, and never emptied or removed. Any other path is opened
// by its name, whatever descriptor also leads to its file.

#include <string_view>

namespace morvask {

// The descriptor that path names, open for access (O_RDONLY or O_WRONLY): /dev/stdin, /dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N, /proc/thread-self/fd/N, any other path to that
// directory, or a symbolic link that leads to one of them. -1 for any other path; refused where the
// one it names is closed or open the other way only, or where whether the path names one cannot be
// told.
inline constexpr int refused = -2;
int caller_descriptor(const char* path, int access);

// The descriptor that path spells, by its text alone, which needs no /proc (a bare chroot or a
// minimal container has none): /dev/stdin, /dev/stdout, /dev/stderr, or /dev/fd/N,
// /proc/self/fd/N, /proc/thread-self/fd/N with N in digits and no leading zero, as the kernel
// names it; or -1.
int descriptor_spelt(std::string_view path);

// Whether the caller's descriptor fd is open for access: not where it is closed, or open only the
// other way; where fcntl cannot tell, it is taken as it is.
bool open_for(int fd, int access);

} // namespace morvask
