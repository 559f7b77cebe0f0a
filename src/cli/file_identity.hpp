#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace morvask {

// A file as the kernel knows it, whatever names lead to it, or none.
struct file_identity {
    dev_t device;
    ino_t inode;

    friend bool operator==(const file_identity&, const file_identity&) = default;
};

inline file_identity identity_of(const struct stat& st)
{
    return {st.st_dev, st.st_ino};
}

// 1 where name in directory is the file id, not a link to it; 0 where not; -1 unknown. Signal-safe.
inline int leads_to(int directory, const char* name, const file_identity& id)
{
    struct stat st;
    return ::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? (errno == ENOENT ? 0 : -1)
                                                                     : identity_of(st) == id;
}

// Whether a and b are one file: by any name, one device by any node, a loop device and the file
// behind it, or a file and its view through overlayfs (copied up too), FUSE or NFS.
bool one_file(int a_fd, const struct stat& a, int b_fd, const struct stat& b);

// Whether writing b would overwrite what is read from a: one file, but a terminal or a socket,
// which carry a stream each way.
bool would_overwrite(int a_fd, const struct stat& a, int b_fd, const struct stat& b);

} // namespace morvask
