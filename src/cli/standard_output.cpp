#include "cli/standard_output.hpp"

#include "cli/caller_descriptors.hpp"
#include "cli/file_identity.hpp"
#include "cli/path_parts.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace morvask {

namespace {

// Whether fd, st, writes where the caller's descriptor caller_fd writes, by the same answer the
// same-file check gives, but with a socket, a pipe or a terminal one with itself. /dev/tty is the
// controlling terminal, which caller_fd is where the terminal says it is this session's. Where
// what caller_fd is cannot be told, it would.
bool writes_to(int caller_fd, int fd, const struct stat& st)
{
    struct stat held;
    pid_t session = 0;
    if (!open_for(caller_fd, O_WRONLY))
        return false;
    if (::fstat(caller_fd, &held) != 0)
        return true;
    if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(5, 0))
        return ::isatty(caller_fd) == 1 && ::ioctl(caller_fd, TIOCGSID, &session) == 0;
    return one_file(caller_fd, held, fd, st);
}

} // namespace

bool reaches_standard_output(const char* path)
{
    const int descriptor = caller_descriptor(path, O_WRONLY);
    if (descriptor == STDOUT_FILENO)
        return open_for(STDOUT_FILENO, O_WRONLY);
    // A descriptor the path names is asked, which needs no /proc; another path is looked at
    // without opening its file, which may be a FIFO or a device.
    const int fd = descriptor >= 0 ? descriptor : ::open(path, O_PATH | O_CLOEXEC);
    struct stat st;
    // What cannot be looked at would: a word among the data is a loss, a silence is not.
    const bool reaches =
        fd < 0 ? !leads_nowhere(errno) : ::fstat(fd, &st) != 0 || writes_to(STDOUT_FILENO, fd, st);
    if (descriptor < 0 && fd >= 0)
        ::close(fd);
    return reaches;
}

bool shares_file_with(int caller_fd, int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 && writes_to(caller_fd, fd, st);
}

} // namespace morvask
