#pragma once

#include <cerrno>
#include <sys/stat.h>

// How the output takes the destination's place, from what output.cpp found out about the
// destination: the rules alone, with no call to the system.

namespace morvask {

enum class road {
    through,   // written as it is, never emptied: a device, a FIFO, a socket, a caller's descriptor
    in_place,  // emptied, then written: a file whose directory lets no new file be made
    named,     // a new destination: the complete new file takes the name
    exchanged, // the complete new file replaces the old one whole
    copied,    // the complete new file is copied into the old one
};

// An existing regular file as the destination, as found before anything is opened for writing.
struct existing_file {
    nlink_t links;
    bool named_directly;   // its name in its directory is this file, not a symbolic link to it
    bool mounted_over;     // mounted over its name (`mount --bind`, as containers get /etc/hosts)
    bool callers_file;     // a descriptor the caller handed the run writes to it (`>> log`)
    bool append_only_room; // its directory takes new names but gives none up (chattr +a)
};

// A new file under the old one's name would no longer be the file that name held: not for a file
// with other names, nor through a symbolic link (the link stays a link, and its file is written),
// nor for a file the caller goes on writing to after the run, nor where no rename can replace it.
// Those get the new contents copied in.
constexpr road road_for(const existing_file& f)
{
    return f.links == 1 && f.named_directly && !f.mounted_over && !f.callers_file &&
                   !f.append_only_room
               ? road::exchanged
               : road::copied;
}

// Whether error, from making the new file or giving it what the old one has, is the refusal of a
// right, which decides the road (a directory the user may not write, procfs and sysfs, which will
// not even be asked; an owner or an attribute only root may give), rather than a failure of the
// disk or of resources, which fails the run.
constexpr bool refusal(int error)
{
    return error == EPERM || error == EACCES || error == EROFS || error == ENOENT ||
           error == EOPNOTSUPP;
}

} // namespace morvask
