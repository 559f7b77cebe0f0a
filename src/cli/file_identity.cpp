#include "cli/file_identity.hpp"

#include <cstdint>
#include <fcntl.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace morvask {

namespace {

bool two_streams(int fd, const struct stat& st)
{
    return S_ISSOCK(st.st_mode) || (S_ISCHR(st.st_mode) && ::isatty(fd) == 1);
}

bool one_device(const struct stat& a, const struct stat& b)
{
    return ((S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)) ||
            (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode))) &&
           a.st_rdev == b.st_rdev;
}

// The file that a loop device reads and writes; any other file is itself.
file_identity behind(int fd, const struct stat& st)
{
    loop_info64 info{};
    if (S_ISBLK(st.st_mode) && ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0)
        return {static_cast<dev_t>(info.lo_device), static_cast<ino_t>(info.lo_inode)};
    return identity_of(st);
}

// Overlayfs, FUSE (bindfs and other mirrors) and NFS of a local export show a file under their own
// device number, with the inode number, size and times of the file they show; 0 for another file
// system.
long stacked(int fd)
{
    struct statfs fs;
    return ::fstatfs(fd, &fs) == 0 &&
                   (fs.f_type == OVERLAYFS_SUPER_MAGIC || fs.f_type == FUSE_SUPER_MAGIC ||
                    fs.f_type == NFS_SUPER_MAGIC)
               ? static_cast<long>(fs.f_type)
               : 0;
}

bool same_time(const statx_timestamp& a, const statx_timestamp& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Where one of the two is on a stacked file system, its inode number, size and times, asked of
// the file systems afresh: FUSE and NFS answer fstat from what they learnt up to a second ago, and
// a file rewritten since would look like another. Those signs alone are not enough between two
// ordinary file systems: two fresh tmpfs mounts number their files alike, and two files of one
// size written within one clock tick agree on all of them.
bool seen_through_stack(int a_fd, int b_fd)
{
    constexpr int fresh = AT_EMPTY_PATH | AT_STATX_FORCE_SYNC;
    const long a_type = stacked(a_fd);
    const long b_type = stacked(b_fd);
    struct statx a;
    struct statx b;
    if ((a_type == 0 && b_type == 0) || ::statx(a_fd, "", fresh, STATX_BASIC_STATS, &a) != 0 ||
        ::statx(b_fd, "", fresh, STATX_BASIC_STATS, &b) != 0)
        return false;
    // Overlayfs with xino keeps the layer's number in the high bits of the inode number it shows.
    const std::uint64_t mask = a_type == OVERLAYFS_SUPER_MAGIC || b_type == OVERLAYFS_SUPER_MAGIC
                                   ? 0xffffffff
                                   : ~std::uint64_t{0};
    return ((a.stx_ino ^ b.stx_ino) & mask) == 0 && ((a.stx_mode ^ b.stx_mode) & S_IFMT) == 0 &&
           a.stx_size == b.stx_size && same_time(a.stx_mtime, b.stx_mtime) &&
           same_time(a.stx_ctime, b.stx_ctime);
}

} // namespace

bool same_file(int a_fd, const struct stat& a, int b_fd, const struct stat& b)
{
    if (identity_of(a) == identity_of(b) || one_device(a, b))
        return !two_streams(a_fd, a);
    // A loop device and its file, or two loop devices over one file.
    return behind(a_fd, a) == behind(b_fd, b) || seen_through_stack(a_fd, b_fd);
}

} // namespace morvask
