#pragma once

#include <cerrno>
#include <sys/stat.h>

// What a destination gets and whether an existing one is replaced whole, from what output_file.cpp
// found out about the files: the rules alone, with no call to the system.

namespace morvask {

// The bits a new destination asks for: the source's permission bits, execute included, as cp gives
// them, so that a restored program runs; never more open than the source, so a private source
// stays private. The owner may always read and write the copy. The bits of a socket or a FIFO say
// who may connect to it, not who may read what it carries, nor run it.
constexpr mode_t creation_mode(mode_t source)
{
    const mode_t shared = S_ISSOCK(source) || S_ISFIFO(source) ? 0 : S_IXUSR | S_IRWXG | S_IRWXO;
    return S_IRUSR | S_IWUSR | (source & shared);
}

// Who the copy's group is to the source: its own group; another, whose members are others to the
// source; or a group whose bits an access ACL made its mask, which lets named users and groups in.
enum class copy_group { sources, another, acl_mask };

// Group permission is the source's to give, and only to its own group: another group gets what
// others get, at most; behind an ACL's mask, whose named entries are not copied, none.
constexpr mode_t group_limited(mode_t wanted, copy_group group)
{
    if (group == copy_group::sources)
        return wanted;
    const mode_t as_others = group == copy_group::another ? (wanted & S_IRWXO) << 3 : 0;
    return (wanted & ~mode_t{S_IRWXG}) | (wanted & as_others);
}

// An existing destination, as found once it is open.
struct existing_file {
    mode_t mode;
    nlink_t links;
    bool named_directly; // its name in its directory is this file, not a symbolic link to it
    bool mounted_over;   // mounted over its name (`mount --bind`, as containers get /etc/hosts)
    bool callers_file;   // the file of standard output or standard error (`>> out`)
};

// Whether a new file under the old one's name would still be the file that name held: not for a
// file with other names, nor through a symbolic link (the link stays a link, and its file is
// written), nor for a file the caller writes to as well, where what it writes after the run must
// land in the live file, nor for one mounted over its name, which no rename can replace. The
// others are written in place.
constexpr bool replaceable(const existing_file& f)
{
    return S_ISREG(f.mode) && f.links == 1 && f.named_directly && !f.mounted_over &&
           !f.callers_file;
}

// Whether the directory's refusal to hold the new file (error) leaves the old one to be written in
// place: a sticky or read-only directory, procfs or sysfs, which refuse even to be asked, or a new
// file that could not be given what the old one has. No room, or a failing disk, fails the run.
constexpr bool written_in_place_after(int error)
{
    return error == EPERM || error == EACCES || error == EROFS || error == ENOENT ||
           error == EOPNOTSUPP || error == EINVAL;
}

} // namespace morvask
