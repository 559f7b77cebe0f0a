#pragma once

#include "cli/road.hpp"

#include <sys/stat.h>

// An existing destination: what it is, looked at without opening it for writing, and what a new
// file that replaces it must be given.

namespace morvask {

// What the file that fd looks at, st, is, where name in directory is its path's last part. 0, or
// the errno where that cannot be found out; EPERM for a file that no run may write (chattr +i,
// chattr +a).
int examine(int fd, const struct stat& st, int directory, const char* name, existing_file& found);

// Gives the new file to the old one's owner and group (first, since fchown clears set-id bits),
// extended attributes, user-settable inode flags, then mode, so that it is never more open than the
// old one. 0, or the errno of the step that failed.
int give_what_it_has(int from, const struct stat& old, int to);

} // namespace morvask
