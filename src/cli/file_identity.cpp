#include "cli/file_identity.hpp"

#include "cli/path_parts.hpp"

#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// Whether the file at name in the layer that layer begins with, up to one of ends, is there, into
// file and st; -1 where that cannot be told. A layer named relative to where the mount was made, or
// given as a descriptor, is not found from here.
int layer_file(const char* layer, const char* ends, const char* name, char (&file)[PATH_MAX],
               struct stat& st)
{
    const int span = static_cast<int>(std::strcspn(layer, ends));
    if (layer[0] != '/' ||
        std::snprintf(file, sizeof file, "%.*s%s", span, layer, name) >= PATH_MAX)
        return 0;
    return ::stat(file, &st) == 0 ? 1 : leads_nowhere(errno) ? 0 : -1;
}

// Whether other is the file at below in the upper layer that the mount's options name; or, where
// that holds metadata only (metacopy, as root), the one whose data it shows: in the first lower
// layer that has it, by the name it had before a rename (redirect). Where that cannot be told, it
// is: a refusal loses nothing.
bool in_layers(const char* options, const char* below, const file_identity& other)
{
    char file[PATH_MAX];
    char name[PATH_MAX];
    char redirect[PATH_MAX] = {};
    struct stat st;
    const char* layer = std::strstr(options, ",upperdir=");
    const int upper = layer == nullptr ? 0 : layer_file(layer + 10, ", \n", below, file, st);
    if (upper <= 0 || identity_of(st) == other)
        return upper != 0;
    if (::getxattr(file, "trusted.overlay.metacopy", nullptr, 0) < 0)
        return errno != ENODATA && errno != EOPNOTSUPP;
    const ssize_t length =
        ::getxattr(file, "trusted.overlay.redirect", redirect, sizeof redirect - 1);
    // A redirect is the path from the layers' root, or a new name in the same folder.
    const char* const slash = std::strrchr(below, '/');
    const int kept = length <= 0                              ? PATH_MAX
                     : redirect[0] == '/' || slash == nullptr ? 0
                                                              : static_cast<int>(slash + 1 - below);
    if ((length < 0 && errno != ENODATA) ||
        std::snprintf(name, sizeof name, "%.*s%s", kept, below, redirect) >= PATH_MAX)
        return true;
    // lowerdir=a:b, or lowerdir+=a,lowerdir+=b as the new mount API shows them.
    for (const char* at = std::strstr(options, ",lowerdir"); at != nullptr;
         at = std::strstr(at + 1, ",lowerdir"))
        for (layer = at + std::strcspn(at, "=");
             (*layer == '=' || *layer == ':') && *++layer == '/';
             layer += std::strcspn(layer, ":, \n"))
            if (const int there = layer_file(layer, ":, \n", name, file, st); there != 0)
                return there < 0 || identity_of(st) == other;
    return false;
}

// A copied-up file shows the lower file's inode number with the upper file's data: whether other
// is what fd's file shows from a layer of its overlay, found by the mount's id (mountinfo's first
// field) or, where the kernel cannot tell that (before 5.8), by every overlay on the file's path;
// not where mountinfo escapes a path. Where /proc fails, it is; without /proc, it is not.
bool in_layer(int fd, const struct stat& other)
{
    char path[PATH_MAX];
    char link[32];
    struct statx mounted {};
    const long type = stacked(fd);
    if (type != OVERLAYFS_SUPER_MAGIC)
        return type < 0;
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = ::readlink(link, path, sizeof path - 1);
    std::FILE* const mounts = length > 0 ? std::fopen("/proc/self/mountinfo", "re") : nullptr;
    if (mounts == nullptr)
        return errno != ENOENT;
    path[length] = '\0';
    // 0 where the kernel cannot tell.
    ::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &mounted);
    char* line = nullptr;
    std::size_t size = 0;
    bool found = false;
    // A line as long as it is: an overlay of many layers has long ones.
    while (!found && ::getline(&line, &size, mounts) > 0) {
        std::uint64_t number = 0;
        char root[PATH_MAX];
        char point[PATH_MAX];
        char below[PATH_MAX];
        // The options, past the mount's source, which is any text (upperdir=... too).
        const char* options = std::strstr(line, " - overlay ");
        options = options == nullptr ? nullptr : std::strchr(options + 11, ' ');
        if (options == nullptr ||
            std::sscanf(line, "%" SCNu64 " %*s %*s %4095s %4095s", &number, root, point) != 3 ||
            (mounted.stx_mnt_id != 0 && number != mounted.stx_mnt_id))
            continue;
        // The file's path below each layer's directory: the mount's root there, then the rest.
        const std::size_t n = std::strcmp(point, "/") == 0 ? 0 : std::strlen(point);
        found = std::strncmp(path, point, n) == 0 && (path[n] == '/' || path[n] == '\0') &&
                std::snprintf(below, sizeof below, "%s%s", std::strcmp(root, "/") == 0 ? "" : root,
                              path + n) < PATH_MAX &&
                in_layers(options, below, identity_of(other));
    }
    found = found || std::ferror(mounts) != 0;
    std::free(line);
    std::fclose(mounts);
    return found;
}

} // namespace

bool one_file(int a_fd, const struct stat& a, int b_fd, const struct stat& b)
{
    // A loop device and its file, or two loop devices over one file.
    return identity_of(a) == identity_of(b) || one_device(a, b) ||
           behind(a_fd, a) == behind(b_fd, b) || seen_through_stack(a_fd, b_fd) ||
           in_layer(a_fd, b) || in_layer(b_fd, a);
}

bool would_overwrite(int a_fd, const struct stat& a, int b_fd, const struct stat& b)
{
    if (identity_of(a) == identity_of(b) || one_device(a, b))
        return !S_ISSOCK(a.st_mode) && !(S_ISCHR(a.st_mode) && ::isatty(a_fd) == 1);
    return one_file(a_fd, a, b_fd, b);
}

} // namespace morvask
