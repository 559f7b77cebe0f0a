#pragma once

// The caller's descriptors that a path may name, read or written at their offset and with their
// flags, never emptied or removed. Any other path is opened by its name.

#include <string_view>

namespace morvask {

// The descriptor that path names (/dev/stdout, /dev/fd/N, any path to those, a link to one), open
// for access; -1 for another path; refused where it is closed, open the other way only, or where
// whether the path names one cannot be told.
inline constexpr int refused = -2;
int caller_descriptor(const char* path, int access);

// The descriptor path spells by its text alone, which needs no /proc (a bare chroot has none).
int descriptor_spelt(std::string_view path);

// Whether the caller's descriptor fd is open for access; where fcntl cannot tell, it is.
bool open_for(int fd, int access);

} // namespace morvask
