#pragma once

#include <sys/stat.h>

// The permissions of a destination the run creates: the source's, never more open.

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

// The bits the kernel gives a file created with mode in directory: those its default ACL allows
// where it has one (the umask is then left out), the umask's otherwise.
mode_t applied_mode(int directory, mode_t mode);

// Gives the created file fd, st, the bits wanted, less the group bits the rules above take away: a
// created file takes the group of its directory (setgid) or of the process, which a member of the
// source's group can change to that one. False if it could not.
bool give_mode(int fd, const struct stat& st, mode_t wanted, int source_fd,
               const struct stat& source);

} // namespace morvask
