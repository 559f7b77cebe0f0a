#pragma once

#include "cli/new_file.hpp"

#include <cerrno>
#include <sys/stat.h>

// An existing destination: what it is, the road its new contents take, what a replacement gets.

namespace morvask {

enum class road {
    through,   // written as it is, never emptied: a device, a FIFO, a socket, a caller's descriptor
    in_place,  // emptied, then written: a file whose directory lets no new file be made
    named,     // a new destination: the complete new file takes the name
    exchanged, // the complete new file replaces the old one whole
    copied,    // the complete new file is copied into the old one
};

struct existing_file {
    nlink_t links;
    bool named_directly;   // its name in its directory is this file, not a symbolic link to it
    bool mounted_over;     // mounted over its name (`mount --bind`, as containers get /etc/hosts)
    bool callers_file;     // a descriptor the caller handed the run writes to it (`>> log`)
    bool append_only_room; // its directory takes new names but gives none up (chattr +a)
};

// Copied into where a new file under its name would not be the file that name held.
constexpr road road_for(const existing_file& f)
{
    return f.links == 1 && f.named_directly && !f.mounted_over && !f.callers_file &&
                   !f.append_only_room
               ? road::exchanged
               : road::copied;
}

// Whether error, from making the new file or giving it what the old one has, refuses a right (a
// directory the user may not write, procfs, an owner only root may give): any other fails the run.
constexpr bool refusal(int error)
{
    return error == EPERM || error == EACCES || error == EROFS || error == ENOENT ||
           error == EOPNOTSUPP;
}

// The file path leads to, looked at without opening it for writing: no FIFO's wait, no ETXTBSY, no
// overlay copy-up. A dangling link's target is made first, as fopen's "wb" would; ENOENT for none.
int look_at(const new_file& stage, const char* path, mode_t mode);

// The file look was opened on, for access: through /proc, else by path where it leads there still.
int reopen(int look, const struct stat& st, const char* path, int access);

// The road for the file fd, st, named stage.name in its directory; EPERM where none may write it.
int examine(int fd, const struct stat& st, new_file& stage, road& own);

// Owner and group first (fchown clears set-id bits), attributes, inode flags, then mode; or errno.
int give_what_it_has(int from, const struct stat& old, int to);

} // namespace morvask
