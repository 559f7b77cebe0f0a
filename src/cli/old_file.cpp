#include "cli/old_file.hpp"

#include "cli/file_identity.hpp"
#include "cli/standard_output.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/limits.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace morvask {

namespace {

// Not security.capability, which any write to the old file would have dropped.
int copy_attributes(int from, int to)
{
    // Static: the largest a list or a value can be, too large for the stack.
    static char names[XATTR_LIST_MAX];
    static char value[XATTR_SIZE_MAX];
    const ssize_t listed = ::flistxattr(from, names, sizeof names);
    if (listed < 0)
        return errno == EOPNOTSUPP ? 0 : errno;
    for (const char* name = names; name < names + listed; name += std::strlen(name) + 1) {
        if (std::strcmp(name, "security.capability") == 0)
            continue;
        const ssize_t size = ::fgetxattr(from, name, value, sizeof value);
        if (size < 0 || ::fsetxattr(to, name, value, static_cast<std::size_t>(size), 0) != 0)
            return errno;
    }
    // Nor an ACL the new file took from the directory's default where the old one has none.
    constexpr const char* acl = "system.posix_acl_access";
    const bool none = ::fgetxattr(from, acl, nullptr, 0) < 0 && errno == ENODATA;
    return none && ::fremovexattr(to, acl) != 0 && errno != ENODATA ? errno : 0;
}

// Only the flags a user may set (chattr: no dump, compression, no copy-on-write): the file system
// keeps the others (inline data, extents, encryption) for itself.
int copy_flags(int from, int to)
{
    constexpr int settable = FS_FL_USER_MODIFIABLE | FS_NOCOW_FL;
    // The kernel reads and writes an int, whatever the ioctl's declared long.
    int old_flags = 0;
    int new_flags = 0;
    if (::ioctl(from, FS_IOC_GETFLAGS, &old_flags) != 0)
        return errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL ? 0 : errno;
    if (::ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0)
        return errno;
    new_flags = (new_flags & ~settable) | (old_flags & settable);
    if (::ioctl(to, FS_IOC_SETFLAGS, &new_flags) != 0 ||
        ::ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0)
        return errno == ENOTTY || errno == EINVAL ? EOPNOTSUPP : errno;
    // Some file systems drop in silence what they cannot keep.
    return ((new_flags ^ old_flags) & settable) == 0 ? 0 : EOPNOTSUPP;
}

} // namespace

int look_at(const new_file& stage, const char* path, mode_t mode)
{
    struct stat st;
    const int look = ::open(path, O_PATH | O_CLOEXEC);
    if (look >= 0 || errno != ENOENT ||
        ::fstatat(stage.directory, stage.name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(st.st_mode))
        return look;
    // No group permission: the link may be another's.
    ::close(::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, mode & ~mode_t{S_IRWXG}));
    const int target = ::open(path, O_PATH | O_CLOEXEC);
    // The name is taken, by a link whose target cannot be made.
    errno = target < 0 ? EEXIST : errno;
    return target;
}

int reopen(int look, const struct stat& st, const char* path, int access)
{
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", look);
    int fd = ::open(link, access | O_CLOEXEC);
    struct stat now;
    if (fd < 0 && errno == ENOENT && (fd = ::open(path, access | O_CLOEXEC)) >= 0 &&
        (::fstat(fd, &now) != 0 || identity_of(now) != identity_of(st)))
        ::close(std::exchange(fd, -1));
    return fd;
}

int examine(int fd, const struct stat& st, new_file& stage, road& own)
{
    struct statx file {};
    struct statx room {};
    if (::statx(fd, "", AT_EMPTY_PATH, 0, &file) != 0 ||
        ::statx(stage.directory, "", AT_EMPTY_PATH, 0, &room) != 0)
        return errno;
    if ((file.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0)
        return EPERM;
    const int named = leads_to(stage.directory, stage.name, identity_of(st));
    if (named < 0)
        return errno;
    // Through a symbolic link, the new file is made beside the file itself, whose directory may
    // take it where the link's does not.
    char link[32];
    char path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = named == 1 ? -1 : ::readlink(link, path, sizeof path - 1);
    new_file beside{-1, nullptr, -1, {}, {}};
    if (length > 0 && (path[length] = '\0', pin_directory(beside, path)) == 0)
        ::close(std::exchange(stage.directory, beside.directory));
    // Kernels before 5.8 cannot tell a mount root: a rename might not replace it.
    own = road_for({st.st_nlink, named == 1,
                    (file.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0 ||
                        (file.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0,
                    written_by_caller(fd), (room.stx_attributes & STATX_ATTR_APPEND) != 0});
    return 0;
}

int give_what_it_has(int from, const struct stat& old, int to)
{
    int error = ::fchown(to, old.st_uid, old.st_gid) == 0 ? copy_attributes(from, to) : errno;
    error = error == 0 ? copy_flags(from, to) : error;
    error = error == 0 && ::fchmod(to, old.st_mode & 07777) != 0 ? errno : error;
    // EINVAL: an owner, or a user an ACL names, that this user namespace has no number for.
    return error == EINVAL ? EPERM : error;
}

} // namespace morvask
