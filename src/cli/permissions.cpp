#include "cli/permissions.hpp"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <linux/limits.h>
#include <span>
#include <sys/xattr.h>
#include <unistd.h>

namespace morvask {

mode_t applied_mode(int directory, mode_t mode)
{
    // Static: as large as an attribute may be, too large for the stack.
    static struct {
        posix_acl_xattr_header header;
        posix_acl_xattr_entry entries[XATTR_SIZE_MAX / sizeof(posix_acl_xattr_entry)];
    } acl;
    const int fd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const ssize_t size =
        fd < 0 ? -1 : ::fgetxattr(fd, "system.posix_acl_default", &acl, sizeof acl);
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    // Where it cannot be told whether there is one, the owner's bits alone: never more open.
    if (size < 0 && error != ENODATA && error != EOPNOTSUPP)
        return mode & S_IRWXU;
    if (size <= static_cast<ssize_t>(sizeof acl.header)) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return mode & ~mask;
    }
    // Entries come sorted by tag: the mask, where there is one, after the owning group.
    mode_t allowed = 0;
    mode_t group = 0;
    const std::size_t count =
        (static_cast<std::size_t>(size) - sizeof acl.header) / sizeof(posix_acl_xattr_entry);
    for (const posix_acl_xattr_entry& e : std::span(acl.entries, count))
        if (e.e_tag == ACL_USER_OBJ)
            allowed |= mode_t{e.e_perm} << 6;
        else if (e.e_tag == ACL_GROUP_OBJ || e.e_tag == ACL_MASK)
            group = mode_t{e.e_perm} << 3;
        else if (e.e_tag == ACL_OTHER)
            allowed |= e.e_perm;
    return mode & (allowed | group);
}

bool give_mode(int fd, const struct stat& st, mode_t wanted, int source_fd,
               const struct stat& source)
{
    const bool acl = ::fgetxattr(source_fd, "system.posix_acl_access", nullptr, 0) > 0;
    if ((wanted & S_IRWXG) != 0 &&
        (acl || (st.st_gid != source.st_gid &&
                 ::fchown(fd, static_cast<uid_t>(-1), source.st_gid) != 0)))
        wanted = group_limited(wanted, acl ? copy_group::acl_mask : copy_group::another);
    return wanted == (st.st_mode & 07777) || ::fchmod(fd, wanted) == 0;
}

} // namespace morvask
