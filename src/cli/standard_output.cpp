#include "cli/standard_output.hpp"

#include "cli/caller_descriptors.hpp"
#include "cli/file_identity.hpp"
#include "cli/path_parts.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace morvask {

namespace {

// Whether the caller's descriptor caller_fd writes to fd: the same-file check's answer, but with a
// socket, a pipe or a terminal one with itself. Where that cannot be told, it does.
bool writes_to(int caller_fd, int fd)
{
    struct stat held;
    struct stat st;
    pid_t session = 0;
    if (!open_for(caller_fd, O_WRONLY))
        return false;
    if (::fstat(caller_fd, &held) != 0 || ::fstat(fd, &st) != 0)
        return true;
    // /dev/tty is the controlling terminal, which caller_fd is where it says it is this session's.
    if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(5, 0))
        return ::isatty(caller_fd) == 1 && ::ioctl(caller_fd, TIOCGSID, &session) == 0;
    return one_file(caller_fd, held, fd, st);
}

} // namespace

bool reaches_standard_output(const char* path, int descriptor)
{
    if (descriptor == STDOUT_FILENO)
        return open_for(STDOUT_FILENO, O_WRONLY);
    // A trailing slash fails on a file, but names it all the same.
    char named[PATH_MAX];
    std::size_t length = std::strlen(path);
    while (length > 1 && path[length - 1] == '/')
        --length;
    if (path[length] != '\0' && length < sizeof named) {
        named[length] = '\0';
        path = static_cast<const char*>(std::memcpy(named, path, length));
    }
    // Another path is looked at without opening its file, which may be a FIFO or a device. What
    // cannot be looked at would: a word among the data is a loss, a silence is not.
    const int fd = descriptor >= 0 ? descriptor : ::open(path, O_PATH | O_CLOEXEC);
    const bool reaches = fd < 0 ? !leads_nowhere(errno) : writes_to(STDOUT_FILENO, fd);
    if (descriptor < 0 && fd >= 0)
        ::close(fd);
    return reaches;
}

bool written_by_caller(int fd)
{
    // Without /proc, which cannot be told, it does.
    const int listed = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0)
        return true;
    bool found = false;
    alignas(dirent64) char entries[4096];
    for (ssize_t got; !found && (got = ::getdents64(listed, entries, sizeof entries)) > 0;)
        for (ssize_t at = 0; !found && at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            // The caller's are the ones without close-on-exec: every one this run opens has it.
            const int caller_fd = entry->d_name[0] == '.' ? -1 : std::atoi(entry->d_name);
            const int flags = caller_fd < 0 ? -1 : ::fcntl(caller_fd, F_GETFD);
            found = flags >= 0 && (flags & FD_CLOEXEC) == 0 && writes_to(caller_fd, fd);
            at += entry->d_reclen;
        }
    ::close(listed);
    return found;
}

} // namespace morvask
