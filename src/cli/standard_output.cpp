#include "cli/standard_output.hpp"

#include "cli/caller_descriptors.hpp"
#include "cli/file_identity.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvask {

bool reaches_standard_output(const char* path)
{
    if (!open_for(STDOUT_FILENO, O_WRONLY))
        return false;
    if (caller_descriptor(path, O_WRONLY) == STDOUT_FILENO)
        return true;
    struct stat named;
    struct stat held;
    return ::stat(path, &named) == 0 &&
           (::fstat(STDOUT_FILENO, &held) != 0 || identity_of(named) == identity_of(held));
}

bool shares_file_with(int caller_fd, int fd)
{
    struct stat held;
    struct stat st;
    return open_for(caller_fd, O_WRONLY) && ::fstat(caller_fd, &held) == 0 &&
           ::fstat(fd, &st) == 0 && same_file(caller_fd, held, fd, st);
}

} // namespace morvask
