#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

// The permissions of a destination the run creates: the source's, never more open.

namespace morvask {

// The source's bits, execute included, as cp gives them, so that a restored program runs; the owner
// may always read and write. A socket's or a FIFO's say who may connect, not who may read the data.
constexpr mode_t creation_mode(mode_t source)
{
    const mode_t shared = S_ISSOCK(source) || S_ISFIFO(source) ? 0 : S_IXUSR | S_IRWXG | S_IRWXO;
    return S_IRUSR | S_IWUSR | (source & shared);
}

// The copy's group: the source's; another, whose members are others to it; or an ACL's mask.
enum class copy_group { sources, another, acl_mask };

// Group permission goes to the source's own group: another gets what others get, at most; behind an
// ACL's mask, whose named entries are not copied, none.
constexpr mode_t group_limited(mode_t wanted, copy_group group)
{
    if (group == copy_group::sources)
        return wanted;
    const mode_t as_others = group == copy_group::another ? (wanted & S_IRWXO) << 3 : 0;
    return (wanted & ~mode_t{S_IRWXG}) | (wanted & as_others);
}

// The bits of mode the umask leaves; the owner's alone where a default ACL would apply, or may.
inline mode_t applied_mode(int directory, mode_t mode)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const int fd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool none = fd >= 0 && ::fgetxattr(fd, "system.posix_acl_default", nullptr, 0) < 0 &&
                      (errno == ENODATA || errno == EOPNOTSUPP);
    if (fd >= 0)
        ::close(fd);
    return none ? mode & ~mask : mode & ~mask & S_IRWXU;
}

// The bits wanted, less the group bits taken away above; a member of the source's group gives the
// file that group, in place of its directory's (setgid) or the process's.
inline bool give_mode(int fd, const struct stat& st, mode_t wanted, int source_fd,
                      const struct stat& source)
{
    const bool acl = ::fgetxattr(source_fd, "system.posix_acl_access", nullptr, 0) > 0;
    if ((wanted & S_IRWXG) != 0 &&
        (acl ||
         (st.st_gid != source.st_gid && ::fchown(fd, static_cast<uid_t>(-1), source.st_gid) != 0)))
        wanted = group_limited(wanted, acl ? copy_group::acl_mask : copy_group::another);
    return wanted == (st.st_mode & 07777) || ::fchmod(fd, wanted) == 0;
}

} // namespace morvask
