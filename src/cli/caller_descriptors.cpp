#include "cli/caller_descriptors.hpp"

#include "cli/file_identity.hpp"
#include "cli/path_parts.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <iterator>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace morvask {

namespace {

// The descriptor number that text is, digits alone, or -1.
int number(std::string_view text)
{
    int fd = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
    return error == std::errc{} && end == text.data() + text.size() && fd >= 0 ? fd : -1;
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

bool is_fd_directory(const char* directory)
{
    struct stat st;
    struct stat fds;
    return ::stat(directory, &st) == 0 && ::stat("/proc/self/fd", &fds) == 0 &&
           identity_of(st) == identity_of(fds);
}

// Any other path to this process's directory of descriptors (/dev//fd/N, /proc/PID/fd/N), or a
// symbolic link that leads to an entry there, followed a link at a time as the kernel would; the
// entry itself is a link too, to the file, which names no descriptor.
int descriptor_named(const char* path)
{
    char link[PATH_MAX];
    char target[PATH_MAX];
    char directory[PATH_MAX];
    for (int links = 0; links <= 40; path = link, ++links) {
        const char* const name = split_path(path, directory);
        if (const int fd = spelt(path); fd >= 0)
            return fd;
        if (name != nullptr && number(name) >= 0 && is_fd_directory(directory))
            return number(name);
        const ssize_t length = ::readlink(path, target, sizeof target - 1);
        // Too long for the copy of its directory, the path is too long for readlink too.
        if (length <= 0)
            return -1;
        target[length] = '\0';
        // A relative target starts from the link's directory.
        const bool relative = target[0] != '/';
        if (static_cast<std::size_t>(std::snprintf(link, sizeof link, "%s%s%s",
                                                   relative ? directory : "", relative ? "/" : "",
                                                   target)) >= sizeof link)
            return -1;
    }
    return -1;
}

// Closed, or open only the other way, it carries nothing this run's way. When fcntl cannot tell,
// the descriptor is taken as it is.
bool open_for(int fd, int access)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return errno != EBADF;
    return (flags & O_ACCMODE) == access || (flags & O_ACCMODE) == O_RDWR;
}

} // namespace

int caller_descriptor(const char* path, int access)
{
    const int fd = descriptor_named(path);
    // One the path names but this run cannot use (3<file as a destination) is the caller's all
    // the same: opened again by its path, it would be emptied, or be another file.
    return fd < 0 ? -1 : open_for(fd, access) ? fd : refused;
}

bool reaches_standard_output(const char* path)
{
    if (!open_for(STDOUT_FILENO, O_WRONLY))
        return false;
    if (descriptor_named(path) == STDOUT_FILENO)
        return true;
    struct stat named;
    struct stat held;
    return ::stat(path, &named) == 0 &&
           (::fstat(STDOUT_FILENO, &held) != 0 || identity_of(named) == identity_of(held));
}

} // namespace morvask
