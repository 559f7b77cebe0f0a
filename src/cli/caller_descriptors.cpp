#include "cli/caller_descriptors.hpp"

#include "cli/file_identity.hpp"
#include "cli/path_parts.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvask {

namespace {

bool same_directory(const char* a, const char* b)
{
    struct stat a_stat;
    struct stat b_stat;
    return ::stat(a, &a_stat) == 0 && ::stat(b, &b_stat) == 0 &&
           identity_of(a_stat) == identity_of(b_stat);
}

// N where path is an entry of this process's directory of descriptors, however it is spelt
// (/dev/fd/N, /proc/self/fd/N, /proc/thread-self/fd/N, /dev/fd//N), or -1.
int entry_in_fd_directory(const char* path)
{
    char directory[PATH_MAX];
    const char* const name = split_path(path, directory);
    if (name == nullptr || *name < '0' || *name > '9')
        return -1;
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(name, &end, 10);
    if (*end != '\0' || errno != 0 || fd > INT_MAX)
        return -1;
    return same_directory(directory, "/proc/self/fd") ||
                   same_directory(directory, "/proc/thread-self/fd")
               ? static_cast<int>(fd)
               : -1;
}

// The same for a path that is a link to such an entry, as /dev/stdout, /dev/stderr and /dev/stdin
// are; the entry itself is a link too, to the file, which names no descriptor.
int descriptor_in(const char* path)
{
    if (const int fd = entry_in_fd_directory(path); fd >= 0)
        return fd;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path, target, sizeof target - 1);
    if (length <= 0 || target[0] != '/')
        return -1;
    target[length] = '\0';
    return entry_in_fd_directory(target);
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
    // One the path names, open the other way only (3<file as a destination), is the caller's all
    // the same: opened again by its path, it would be emptied.
    return candidates[2] >= 0 && ::fcntl(candidates[2], F_GETFD) >= 0 ? wrong_way : -1;
}

} // namespace morvask
