#include "cli/caller_descriptors.hpp"

#include "cli/file_identity.hpp"
#include "cli/path_parts.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace morvask {

namespace {

// The descriptor number that text is, digits alone and no leading zero, as the kernel names it; or
// -1.
int number(std::string_view text)
{
    int fd = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
    return error == std::errc{} && end == text.data() + text.size() && fd >= 0 &&
                   (text[0] != '0' || text.size() == 1)
               ? fd
               : -1;
}

// By the text alone, which needs no /proc: a bare chroot or a minimal container has none.
int spelt(std::string_view path)
{
    static constexpr std::string_view standard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
    if (const auto* found = std::ranges::find(standard, path); found != std::end(standard))
        return static_cast<int>(found - standard);
    for (const std::string_view directory : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"})
        if (path.starts_with(directory))
            return number(path.substr(directory.size()));
    return -1;
}

// Whether directory, from at, is this process's directory of descriptors, or its thread's, on any
// mount of procfs (a container's view of the host's at /host/proc too): PID/fd or
// PID/task/TID/fd, which are that mount's own self/fd and thread-self/fd, two or four levels below
// its root.
bool is_fd_directory(int at, const char* directory)
{
    struct stat st;
    struct stat fds;
    char own[PATH_MAX];
    if (::fstatat(at, directory, &st, 0) != 0)
        return false;
    for (const char* root : {"/../..", "/../../../.."})
        for (const char* fd : {"self/fd", "thread-self/fd"})
            if (std::snprintf(own, sizeof own, "%s%s/%s", directory, root, fd) < PATH_MAX &&
                ::fstatat(at, own, &fds, 0) == 0 && identity_of(st) == identity_of(fds))
                return true;
    return false;
}

// Any other path to that directory (/dev//fd/N, /proc/PID/task/TID/fd/N), or a symbolic link that
// leads to an entry there, followed a link at a time as the kernel would, each from the directory
// of the last, however deep; the entry itself is a link too, to the file, which names no
// descriptor.
int descriptor_named(const char* path)
{
    char links[2][PATH_MAX];
    char directory[PATH_MAX];
    int at = AT_FDCWD;
    int fd = -1;
    for (int hop = 0; hop <= 40 && fd < 0 && at != -1; ++hop) {
        const char* const name = split_path(path, directory);
        fd = spelt(path);
        if (const int entry = name == nullptr ? -1 : number(name);
            fd < 0 && entry >= 0 && is_fd_directory(at, directory))
            fd = entry;
        char* const link = links[hop % 2];
        const ssize_t length = fd < 0 ? ::readlinkat(at, path, link, PATH_MAX - 1) : -1;
        if (length <= 0 || name == nullptr)
            break;
        link[length] = '\0';
        const int next = ::openat(at, directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (at >= 0)
            ::close(at);
        at = next;
        path = link;
    }
    if (at >= 0)
        ::close(at);
    return fd;
}

} // namespace

bool open_for(int fd, int access)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return errno != EBADF;
    // O_PATH reads and writes nothing, whatever its access mode says.
    return (flags & O_PATH) == 0 &&
           ((flags & O_ACCMODE) == access || (flags & O_ACCMODE) == O_RDWR);
}

int caller_descriptor(const char* path, int access)
{
    const int fd = descriptor_named(path);
    // One the path names but this run cannot use (3<file as a destination) is the caller's all
    // the same: opened again by its path, it would be emptied, or be another file.
    return fd < 0 ? -1 : open_for(fd, access) ? fd : refused;
}

} // namespace morvask
