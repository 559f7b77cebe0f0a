#include "cli/output.hpp"

#include "cli/ending_signals.hpp"
#include "cli/permissions.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace morvask {

namespace {

// The old file's cached pages go as the new contents pass them (every flush but the last fills a
// buffer, which divides 8 MiB): the run holds one file's worth of page cache, not two.
void let_old_pages_go(void* context, std::uint64_t written)
{
    constexpr off_t step = 8 << 20;
    if (written % step == 0)
        std::ignore =
            ::posix_fadvise(static_cast<output_file*>(context)->old,
                            static_cast<off_t>(written) - step, step, POSIX_FADV_DONTNEED);
}

// A file under a temporary name starts private, and gets its bits once its group is right.
open_result create_new(output_file& out, int source_fd, const struct stat& source)
{
    const mode_t mode = creation_mode(source.st_mode);
    struct stat st;
    out.commit = road::named;
    if (create(out.stage, mode, st) != 0)
        return open_result::failed;
    out.stream.fd = out.stage.fd;
    const mode_t wanted = out.stage.temporary[0] != '\0' ? applied_mode(out.stage.directory, mode)
                                                         : st.st_mode & 07777;
    return give_mode(out.stage.fd, st, wanted, source_fd, source) ? open_result::opened
                                                                  : open_result::failed;
}

// An existing regular file the user may write: only the refusal of a right changes its road.
open_result take_existing(output_file& out, int look, const struct stat& st, const char* path)
{
    road own = road::copied;
    // EINVAL: a kernel before 5.8, which cannot be asked, copies into every file, opened to write.
    if ((::faccessat(look, "", W_OK, AT_EMPTY_PATH | AT_EACCESS) != 0 && errno != EINVAL) ||
        examine(look, st, out.stage, own) != 0)
        return open_result::failed;
    out.old_id = identity_of(st);
    struct stat created;
    out.commit = own;
    int error = create(out.stage, S_IRUSR | S_IWUSR, created);
    if (error != 0 && !refusal(error))
        return open_result::failed;
    if (error != 0)
        out.commit = road::in_place;
    if (out.commit == road::exchanged) {
        out.old = reopen(look, st, path, O_RDONLY);
        error = out.old < 0 ? errno : give_what_it_has(out.old, st, out.stage.fd);
        if (error != 0 && out.old >= 0)
            ::close(std::exchange(out.old, -1));
        out.commit = error != 0 ? road::copied : road::exchanged;
    }
    if ((error != 0 && !refusal(error)) ||
        (out.old < 0 && (out.old = reopen(look, st, path, O_WRONLY)) < 0))
        return open_result::failed;
    const bool staged = out.commit != road::in_place;
    out.stream.fd = staged ? out.stage.fd : out.old;
    out.stream.on_flush = staged ? let_old_pages_go : nullptr;
    out.stream.context = &out;
    // Emptied where it holds anything: on ext4, truncating makes the close wait for the disk.
    return staged || st.st_size == 0 || ::ftruncate(out.old, 0) == 0 ? open_result::opened
                                                                     : open_result::failed;
}

// With the signals that end the run blocked, so that their handler never sees a closed descriptor.
void close_output(output_file& out)
{
    if (out.commit == road::through && out.stream.fd >= 0)
        ::close(out.stream.fd);
    for (int* fd : {&out.stage.fd, &out.stage.directory, &out.old})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
    out.stream.fd = -1;
    out.commit = road::through;
}

} // namespace

open_result open_output(output_file& out, const char* path, int descriptor, int source_fd,
                        const struct stat& source)
{
    out.stage.directory = out.stage.fd = out.old = out.stream.fd = -1;
    out.commit = road::through;
    struct stat st;
    // A caller's descriptor is written through a copy, so that closing it reports a failed write as
    // closing any destination does.
    const int pinned = descriptor == -1 ? pin_directory(out.stage, path) : EBADF;
    int look = descriptor >= 0 ? ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0)
               : pinned == 0   ? look_at(out.stage, path, creation_mode(source.st_mode))
                               : -1;
    open_result result = open_result::failed;
    if (look < 0 && pinned == 0 && errno == ENOENT)
        result = create_new(out, source_fd, source);
    else if (look < 0 || ::fstat(look, &st) != 0 || S_ISDIR(st.st_mode))
        result = open_result::failed;
    else if (S_ISREG(st.st_mode) && descriptor < 0)
        result = would_overwrite(source_fd, source, look, st) ? open_result::same_file
                                                              : take_existing(out, look, st, path);
    // Written as it is: a device asked through a descriptor that can use it, a FIFO once read.
    else if ((out.stream.fd = descriptor >= 0 ? std::exchange(look, -1)
                                              : reopen(look, st, path, O_WRONLY)) >= 0)
        result = would_overwrite(source_fd, source, out.stream.fd, st) ? open_result::same_file
                                                                       : open_result::opened;
    if (look >= 0)
        ::close(look);
    if (result != open_result::opened) {
        abandon_output(out);
        return result;
    }
    // Blocks for the whole output at once: few large extents, and a full disk fails the run before
    // it reads at length. A failed attempt may still have allocated some (ext4 keeps them).
    if (out.commit != road::through && S_ISREG(source.st_mode) && source.st_size > 0) {
        const bool reserved =
            ::fallocate(out.stream.fd, FALLOC_FL_KEEP_SIZE, 0, source.st_size) == 0;
        out.reserved = reserved || (errno != EOPNOTSUPP && errno != ENOSYS) ? source.st_size : 0;
        out.stream.error = !reserved && (errno == ENOSPC || errno == EDQUOT);
    }
    return result;
}

bool finish_output(output_file& out)
{
    if (!flush(out.stream)) {
        abandon_output(out);
        return false;
    }
    // Blocks reserved past what the source gave (it shrank, or was the kernel's) go back.
    const auto size = static_cast<off_t>(out.stream.total);
    if (out.reserved > size)
        std::ignore = ::ftruncate(out.stream.fd, size);
    const signals_blocked blocked;
    // Closing reports what some file systems report only then: a failed write. The file stays open
    // through a copy of the descriptor, to be put in place, or discarded.
    const int written = out.stream.fd;
    const int copy = ::fcntl(written, F_DUPFD_CLOEXEC, 0);
    bool done = copy >= 0 && ::close(written) == 0;
    for (int* fd : {&out.stream.fd, &out.stage.fd, &out.old})
        *fd = *fd == written && copy >= 0 ? copy : *fd;
    if (out.commit == road::named)
        done = done && link_in(out.stage);
    else if (out.commit == road::exchanged)
        done = done && exchange_in(out.stage, out.old_id);
    else if (out.commit == road::copied)
        done =
            done && copy_over(out.stage, out.old, size) && ::close(std::exchange(out.old, -1)) == 0;
    if (!done || out.commit == road::copied)
        discard_output(out); // after a copy, only the new file goes
    // Watchers of IN_CLOSE_WRITE hear of a file named after it was written only from an open.
    else if ((out.commit == road::named || out.commit == road::exchanged) &&
             leads_to(out.stage.directory, out.stage.name, out.stage.id) == 1)
        ::close(::openat(out.stage.directory, out.stage.name,
                         O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    close_output(out);
    return done;
}

void abandon_output(output_file& out)
{
    const signals_blocked blocked;
    discard_output(out);
    close_output(out);
}

void discard_output(const output_file& out)
{
    if (out.commit == road::in_place)
        std::ignore = ::ftruncate(out.stream.fd, 0);
    else if (out.commit != road::through)
        discard(out.stage);
}

} // namespace morvask
