#pragma once

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

} // namespace morvask
