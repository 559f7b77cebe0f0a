#include "cli/caller_descriptors.hpp"

#include "cli/file_identity.hpp"
#include "cli/path_parts.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <linux/magic.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace morvask {

namespace {

// The descriptor number text is, as the kernel names it (digits, no leading zero), or -1.
int number(std::string_view text)
{
    int fd = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
    const bool whole = error == std::errc{} && end == text.data() + text.size();
    return whole && fd >= 0 && (text[0] != '0' || text.size() == 1) ? fd : -1;
}

// Whether directory, from at, is this process's or thread's directory of descriptors on any mount
// of procfs (/host/proc in a container too). 1 or 0; -1 where that cannot be told.
int fd_directory(int at, const char* directory)
{
    const int fd = ::openat(at, directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return leads_nowhere(errno) ? 0 : -1;
    struct statfs fs;
    struct stat st;
    struct stat fds;
    int answer = ::fstatfs(fd, &fs) != 0 || ::fstat(fd, &st) != 0 ? -1 : 0;
    // Only on procfs: elsewhere a folder may be called self/fd too.
    for (const char* own : {"../../self/fd", "../../thread-self/fd", "../../../../self/fd",
                            "../../../../thread-self/fd"})
        if (answer == 0 && fs.f_type == PROC_SUPER_MAGIC)
            answer = ::fstatat(fd, own, &fds, 0) == 0 ? identity_of(st) == identity_of(fds)
                     : errno == ENOENT                ? 0
                                                      : -1;
    ::close(fd);
    return answer;
}

// Any path to that directory (/dev//fd/N, /proc/PID/task/TID/fd/N), or a symbolic link to an entry
// there, followed a link at a time as the kernel would; the entry's own link, to its file, is not.
int descriptor_named(const char* path)
{
    char links[2][PATH_MAX];
    char directory[PATH_MAX];
    int at = AT_FDCWD;
    int fd = -1;
    for (int hop = 0; hop <= 40 && fd == -1 && at != -1; ++hop) {
        const char* const name = split_path(path, directory);
        fd = descriptor_spelt(path);
        const int entry = name == nullptr ? -1 : number(name);
        if (const int known = fd < 0 && entry >= 0 ? fd_directory(at, directory) : 0; known != 0)
            fd = known > 0 ? entry : refused;
        char* const link = links[hop % 2];
        const ssize_t length = fd == -1 ? ::readlinkat(at, path, link, PATH_MAX - 1) : -1;
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

int descriptor_spelt(std::string_view path)
{
    static constexpr std::string_view standard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
    if (const auto* found = std::ranges::find(standard, path); found != std::end(standard))
        return static_cast<int>(found - standard);
    for (const std::string_view directory : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"})
        if (path.starts_with(directory))
            return number(path.substr(directory.size()));
    return -1;
}

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
    // One the run cannot use (3<file as a destination) is the caller's all the same.
    return fd < 0 ? fd : open_for(fd, access) ? fd : refused;
}

} // namespace morvask
