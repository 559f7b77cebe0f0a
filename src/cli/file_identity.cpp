#include "cli/file_identity.hpp"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <linux/loop.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace morvask {

namespace {

bool one_device(const struct stat& a, const struct stat& b)
{
    return (S_ISBLK(a.st_mode) || S_ISCHR(a.st_mode)) &&
           (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_rdev == b.st_rdev;
}

// The file that a loop device reads and writes; any other file is itself.
file_identity behind(int fd, const struct stat& st)
{
    loop_info64 info{};
    if (S_ISBLK(st.st_mode) && ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0)
        return {static_cast<dev_t>(info.lo_device), static_cast<ino_t>(info.lo_inode)};
    return identity_of(st);
}

// Overlayfs, FUSE mirrors and NFS of a local export show a file under their own device number, with
// the inode number, size and times of the file they show; 0 for another file system.
long stacked(int fd)
{
    struct statfs fs;
    // -1 where the file system cannot be asked: it may be one.
    if (::fstatfs(fd, &fs) != 0)
        return -1;
    const long type = static_cast<long>(fs.f_type);
    const bool is = type == OVERLAYFS_SUPER_MAGIC || type == FUSE_SUPER_MAGIC;
    return is || type == NFS_SUPER_MAGIC ? type : 0;
}

// Inode number, size and times, asked afresh (FUSE and NFS answer fstat from what they knew a
// second ago), only where one is stacked: two fresh tmpfs mounts number their files alike.
bool seen_through_stack(int a_fd, int b_fd)
{
    constexpr int fresh = AT_EMPTY_PATH | AT_STATX_FORCE_SYNC;
    const long a_type = stacked(a_fd);
    const long b_type = stacked(b_fd);
    struct statx a;
    struct statx b;
    if (a_type == 0 && b_type == 0)
        return false;
    // Where they cannot be asked, one: a refusal, or a silence, loses nothing.
    if (::statx(a_fd, "", fresh, STATX_BASIC_STATS, &a) != 0 ||
        ::statx(b_fd, "", fresh, STATX_BASIC_STATS, &b) != 0)
        return true;
    // Overlayfs with xino keeps the layer's number in the high bits of the inode number it shows.
    const bool overlay = a_type == OVERLAYFS_SUPER_MAGIC || b_type == OVERLAYFS_SUPER_MAGIC;
    const std::uint64_t mask = overlay ? 0xffffffff : ~std::uint64_t{0};
    return ((a.stx_ino ^ b.stx_ino) & mask) == 0 && ((a.stx_mode ^ b.stx_mode) & S_IFMT) == 0 &&
           a.stx_size == b.stx_size && a.stx_mtime.tv_sec == b.stx_mtime.tv_sec &&
           a.stx_mtime.tv_nsec == b.stx_mtime.tv_nsec && a.stx_ctime.tv_sec == b.stx_ctime.tv_sec &&
           a.stx_ctime.tv_nsec == b.stx_ctime.tv_nsec;
}

// A copied-up file shows the lower file's inode number with the upper file's times: whether other
// is the file at fd's path below the upper layer, or below a lower one where the upper says its
// data is there (metacopy, as root); not where mountinfo escapes a layer's path, nor after a
// rename.
bool in_layer(int fd, const struct stat& st, const struct stat& other)
{
    char path[PATH_MAX];
    char line[4 * PATH_MAX];
    std::snprintf(line, sizeof line, "/proc/self/fd/%d", fd);
    const ssize_t length =
        stacked(fd) == OVERLAYFS_SUPER_MAGIC ? ::readlink(line, path, sizeof path - 1) : -1;
    std::FILE* const mounts = length > 0 ? std::fopen("/proc/self/mountinfo", "re") : nullptr;
    if (mounts == nullptr)
        return false;
    path[length] = '\0';
    bool found = false;
    bool metacopy = false;
    while (!found && std::fgets(line, sizeof line, mounts) != nullptr) {
        unsigned major = 0;
        unsigned minor = 0;
        char root[PATH_MAX];
        char point[PATH_MAX];
        const char* const super = std::strstr(line, " - overlay ");
        if (super == nullptr ||
            std::sscanf(line, "%*s %*s %u:%u %4095s %4095s", &major, &minor, root, point) != 4 ||
            makedev(major, minor) != st.st_dev)
            continue;
        // The file's path below each layer's directory: the mount's root there, then the rest.
        const std::size_t n = std::strcmp(point, "/") == 0 ? 0 : std::strlen(point);
        char below[PATH_MAX];
        if (std::strncmp(path, point, n) != 0 || (path[n] != '/' && path[n] != '\0') ||
            std::snprintf(below, sizeof below, "%s%s", std::strcmp(root, "/") == 0 ? "" : root,
                          path + n) >= PATH_MAX)
            continue;
        for (const char* key : {"upperdir=", "lowerdir="}) {
            const char* layers = std::strstr(super, key);
            while (layers != nullptr && !found && (key[0] == 'u' || metacopy)) {
                layers += std::strcspn(layers, "=:") + 1;
                const int span = static_cast<int>(std::strcspn(layers, ":, \n"));
                char layer[PATH_MAX];
                struct stat in;
                // A layer named relative to where the mount was made cannot be found from here.
                const bool there =
                    layers[0] == '/' &&
                    std::snprintf(layer, sizeof layer, "%.*s%s", span, layers, below) < PATH_MAX &&
                    ::stat(layer, &in) == 0;
                found = there && identity_of(in) == identity_of(other);
                metacopy =
                    metacopy || (there && key[0] == 'u' &&
                                 (::getxattr(layer, "trusted.overlay.metacopy", nullptr, 0) >= 0 ||
                                  ::getxattr(layer, "user.overlay.metacopy", nullptr, 0) >= 0));
                // The data comes from the first lower layer that has the file.
                layers = layers[span] == ':' && !(there && key[0] == 'l') ? layers + span : nullptr;
            }
        }
    }
    std::fclose(mounts);
    return found;
}

} // namespace

bool one_file(int a_fd, const struct stat& a, int b_fd, const struct stat& b)
{
    // A loop device and its file, or two loop devices over one file.
    return identity_of(a) == identity_of(b) || one_device(a, b) ||
           behind(a_fd, a) == behind(b_fd, b) || seen_through_stack(a_fd, b_fd) ||
           in_layer(a_fd, a, b) || in_layer(b_fd, b, a);
}

bool would_overwrite(int a_fd, const struct stat& a, int b_fd, const struct stat& b)
{
    if (identity_of(a) == identity_of(b) || one_device(a, b))
        return !S_ISSOCK(a.st_mode) && !(S_ISCHR(a.st_mode) && ::isatty(a_fd) == 1);
    return one_file(a_fd, a, b_fd, b);
}

} // namespace morvask
