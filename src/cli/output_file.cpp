#include "cli/output_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace morvask {

namespace {

// Emptied through the descriptor while one is open, so that it is this file whatever the path
// names by now.
void discard(const output_file& out)
{
    if (out.created)
        ::unlink(out.path);
    else if (out.regular && out.fd >= 0)
        (void)::ftruncate(out.fd, 0);
    else if (out.regular)
        (void)::truncate(out.path, 0);
}

} // namespace

open_result open_output(output_file& out, const char* path, const struct stat& source)
{
    // Never execute bits, and never more open than the source: a private source stays private.
    const mode_t mode =
        S_IRUSR | S_IWUSR | (source.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH));
    out = {path, ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode), true, false};
    if (out.fd < 0 && errno == EEXIST) {
        out.created = false;
        // O_CREAT still: a dangling symbolic link gets its target, as with fopen's "wb".
        out.fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, mode);
    }
    if (out.fd < 0)
        return open_result::failed;

    struct stat st;
    if (::fstat(out.fd, &st) != 0) {
        abandon_output(out);
        return open_result::failed;
    }
    if (st.st_dev == source.st_dev && st.st_ino == source.st_ino) {
        ::close(out.fd);
        return open_result::same_file;
    }
    out.regular = S_ISREG(st.st_mode);
    // Only a file with data in it: on ext4 truncating even an empty file makes close wait for
    // the data to reach the disk.
    if (out.regular && st.st_size > 0 && ::ftruncate(out.fd, 0) != 0) {
        ::close(out.fd);
        return open_result::failed;
    }
    return open_result::opened;
}

bool finish_output(output_file& out, destination_stream& stream)
{
    if (!flush(stream)) {
        abandon_output(out);
        return false;
    }
    // Some file systems report a failed write only here.
    if (::close(std::exchange(out.fd, -1)) != 0) {
        discard(out);
        return false;
    }
    return true;
}

void abandon_output(output_file& out)
{
    discard(out);
    ::close(std::exchange(out.fd, -1));
}

} // namespace morvask
