#include "cli/file_identity.hpp"

#include <linux/loop.h>
#include <sys/ioctl.h>
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

} // namespace

bool same_file(int a_fd, const struct stat& a, int b_fd, const struct stat& b)
{
    if (identity_of(a) == identity_of(b) || one_device(a, b))
        return !two_streams(a_fd, a);
    // A loop device and its file, or two loop devices over one file.
    return behind(a_fd, a) == behind(b_fd, b);
}

} // namespace morvask
