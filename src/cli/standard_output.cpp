#include "cli/standard_output.hpp"

#include "cli/caller_descriptors.hpp"
#include "cli/file_identity.hpp"
#include "cli/path_parts.hpp"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace morvask {

namespace {

// The caller's descriptors are the ones without close-on-exec: every one this run opens has it.
bool callers_writes_to(int caller_fd, int fd, const struct stat& st)
{
    const int flags = ::fcntl(caller_fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0 && writes_to(caller_fd, fd, st);
}

} // namespace

bool writes_to(int caller_fd, int fd, const struct stat& st)
{
    struct stat held;
    pid_t session = 0;
    if (!open_for(caller_fd, O_WRONLY))
        return false;
    if (::fstat(caller_fd, &held) != 0)
        return true;
    // /dev/tty is the controlling terminal, which caller_fd is where it says it is this session's.
    if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(5, 0))
        return ::isatty(caller_fd) == 1 && ::ioctl(caller_fd, TIOCGSID, &session) == 0;
    return one_file(caller_fd, held, fd, st);
}

bool reaches_standard_output(const char* path, int descriptor)
{
    if (descriptor == STDOUT_FILENO)
        return open_for(STDOUT_FILENO, O_WRONLY);
    // Another path is looked at without opening its file, which may be a FIFO or a device.
    const int fd = descriptor >= 0 ? descriptor : ::open(path, O_PATH | O_CLOEXEC);
    struct stat st;
    // What cannot be looked at would: a word among the data is a loss, a silence is not.
    const bool reaches =
        fd < 0 ? !leads_nowhere(errno) : ::fstat(fd, &st) != 0 || writes_to(STDOUT_FILENO, fd, st);
    if (descriptor < 0 && fd >= 0)
        ::close(fd);
    return reaches;
}

bool written_by_caller(int fd, const struct stat& st)
{
    bool found = false;
    const int listed = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0) {
        // Without /proc, every number up to a bound: a caller seldom hands a run many.
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        for (rlim_t n = 0; n < std::min<rlim_t>(limit.rlim_cur, 1 << 16) && !found; ++n)
            found = callers_writes_to(static_cast<int>(n), fd, st);
        return found;
    }
    alignas(dirent64) char entries[4096];
    for (ssize_t got; !found && (got = ::getdents64(listed, entries, sizeof entries)) > 0;)
        for (ssize_t at = 0; !found && at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            found = entry->d_name[0] != '.' && callers_writes_to(std::atoi(entry->d_name), fd, st);
            at += entry->d_reclen;
        }
    ::close(listed);
    return found;
}

} // namespace morvask
