#include "cli/caller_descriptors.hpp"

#include "cli/file_identity.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace morvask {

namespace {

// N of /dev/fd/N or /proc/self/fd/N, or -1.
int descriptor_in(const char* path)
{
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (std::strncmp(path, prefix.data(), prefix.size()) != 0)
            continue;
        const char* const digits = path + prefix.size();
        char* end = nullptr;
        errno = 0;
        const long fd = std::strtol(digits, &end, 10);
        if (*digits >= '0' && *digits <= '9' && *end == '\0' && errno == 0 && fd <= INT_MAX)
            return static_cast<int>(fd);
    }
    return -1;
}

} // namespace

answer names_file_of(const char* path, int fd, int access)
{
    // Open only the other way (1<file), the descriptor leads nowhere this run goes: the path is a
    // file like any. When fcntl cannot tell, the descriptor is taken as it is: used, never emptied.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 && errno == EBADF)
        return answer::no;
    if (flags >= 0 && (flags & O_ACCMODE) != access && (flags & O_ACCMODE) != O_RDWR)
        return answer::no;
    struct stat named;
    struct stat held;
    if (::stat(path, &named) != 0)
        return answer::no;
    if (::fstat(fd, &held) != 0)
        return errno == EBADF ? answer::no : answer::unknown;
    return identity_of(named) == identity_of(held) ? answer::yes : answer::no;
}

int caller_descriptor(const char* path, int access)
{
    const bool reading = access == O_RDONLY;
    const int candidates[] = {reading ? STDIN_FILENO : STDOUT_FILENO, reading ? -1 : STDERR_FILENO,
                              descriptor_in(path)};
    for (const int fd : candidates) {
        if (fd < 0)
            continue;
        switch (names_file_of(path, fd, access)) {
        case answer::yes:
            return fd;
        case answer::unknown:
            return cannot_tell;
        case answer::no:
            break;
        }
    }
    return -1;
}

} // namespace morvask
