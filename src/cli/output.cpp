#include "cli/output.hpp"

#include "cli/caller_descriptors.hpp"
#include "cli/ending_signals.hpp"
#include "cli/old_file.hpp"
#include "cli/permissions.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace morvask {

namespace {

// Opens for access the file that look was opened on, so that it is that file still: through /proc;
// without /proc, by its path, only while that leads to it.
int reopen(int look, const struct stat& st, const char* path, int access)
{
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", look);
    int fd = ::open(link, access | O_CLOEXEC);
    struct stat now;
    if (fd < 0 && errno == ENOENT && (fd = ::open(path, access | O_CLOEXEC)) >= 0 &&
        (::fstat(fd, &now) != 0 || identity_of(now) != identity_of(st))) {
        ::close(std::exchange(fd, -1));
        errno = ENOENT;
    }
    return fd;
}

// The old file's cached pages go as the new contents pass them: on a disk file system the run then
// holds one file's worth of page cache, not two (tmpfs keeps them: they are its contents). Should
// the run fail, the old contents are all on the disk still.
void let_old_pages_go(void* context, std::uint64_t written)
{
    auto& out = *static_cast<output_file*>(context);
    if (written - out.dropped >= 8 << 20) {
        std::ignore = ::posix_fadvise(out.old, static_cast<off_t>(out.dropped),
                                      static_cast<off_t>(written - out.dropped),
                                      POSIX_FADV_DONTNEED);
        out.dropped = written;
    }
}

// A destination that is not there yet, with modes derived from the source's.
open_result create_new(output_file& out, int source_fd, const struct stat& source)
{
    const signals_blocked blocked;
    const mode_t mode = creation_mode(source.st_mode);
    struct stat st;
    if (create(out.stage, mode, st) != 0)
        return open_result::failed;
    out.commit = road::named;
    out.stream.fd = out.stage.fd;
    // A file under a temporary name starts private, and gets its bits once its group is right.
    const bool named = out.stage.temporary[0] != '\0';
    return give_mode(out.stage.fd, st,
                     named ? applied_mode(out.stage.directory, mode) : st.st_mode & 07777,
                     source_fd, source)
               ? open_result::opened
               : open_result::failed;
}

// An existing regular file, looked at through look, that the user may write: refused if it is the
// source, else given its road, on which a refusal of a right may put it, and never anything else.
open_result take_existing(output_file& out, int look, const struct stat& st, const char* path,
                          int source_fd, const struct stat& source)
{
    existing_file found{};
    if (would_overwrite(source_fd, source, look, st))
        return open_result::same_file;
    if (::faccessat(look, "", W_OK, AT_EMPTY_PATH | AT_EACCESS) != 0 ||
        examine(look, st, out.stage.directory, out.stage.name, found) != 0)
        return open_result::failed;
    out.old_id = identity_of(st);
    struct stat created;
    int error = 0;
    {
        const signals_blocked blocked;
        out.commit = road_for(found);
        if ((error = create(out.stage, S_IRUSR | S_IWUSR, created)) != 0)
            out.commit = road::in_place;
    }
    if (out.commit == road::exchanged) {
        out.old = reopen(look, st, path, O_RDONLY);
        error = out.old < 0 ? errno : give_what_it_has(out.old, st, out.stage.fd);
        if (error != 0 && out.old >= 0)
            ::close(std::exchange(out.old, -1));
        if (error != 0)
            out.commit = road::copied;
    }
    if (error != 0 && !refusal(error))
        return open_result::failed;
    if (out.old < 0 && (out.old = reopen(look, st, path, O_WRONLY)) < 0)
        return open_result::failed;
    if (out.commit == road::in_place) {
        // Emptied first only where it holds anything: on ext4, truncating even an empty file makes
        // the close wait for the data to reach the disk.
        out.stream.fd = out.old;
        return st.st_size == 0 || ::ftruncate(out.old, 0) == 0 ? open_result::opened
                                                               : open_result::failed;
    }
    out.stream.fd = out.stage.fd;
    out.stream.on_flush = let_old_pages_go;
    out.stream.context = &out;
    return open_result::opened;
}

// The file path leads to, looked at without opening it for writing: no FIFO's wait, no ETXTBSY, no
// overlay copy-up, nothing truncated. A dangling symbolic link gets its target created first, as
// fopen's "wb" would, with no group permission, since the link may be another's.
open_result open_path(output_file& out, const char* path, int source_fd, const struct stat& source)
{
    struct stat st;
    if (pin_directory(out.stage, path) != 0)
        return open_result::failed;
    int look = ::open(path, O_PATH | O_CLOEXEC);
    if (look < 0 && errno == ENOENT && ::fstatat(out.stage.directory, out.stage.name, &st,
                                                 AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        const int target = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC,
                                  creation_mode(source.st_mode) & ~mode_t{S_IRWXG});
        if (target >= 0)
            ::close(target);
        look = ::open(path, O_PATH | O_CLOEXEC);
    }
    if (look < 0)
        return errno == ENOENT ? create_new(out, source_fd, source) : open_result::failed;
    open_result result = open_result::failed;
    if (::fstat(look, &st) != 0 || S_ISDIR(st.st_mode))
        result = open_result::failed;
    else if (S_ISREG(st.st_mode))
        result = take_existing(out, look, st, path, source_fd, source);
    // A device, a FIFO or a socket is written as it is; opening a FIFO waits for its reader.
    else if ((out.stream.fd = reopen(look, st, path, O_WRONLY)) >= 0)
        result = would_overwrite(source_fd, source, out.stream.fd, st) ? open_result::same_file
                                                                       : open_result::opened;
    ::close(look);
    return result;
}

// The blocks for the whole output at once, when the source tells its size, so that the file system
// allocates few large extents. Where there is no room, the run fails at once, not after reading at
// length. A failed attempt may still have allocated blocks (ext4 keeps what it got before the disk
// filled), so only one the file system refuses outright reserves nothing.
void reserve(output_file& out, const struct stat& source)
{
    if (out.commit == road::through || !S_ISREG(source.st_mode) || source.st_size <= 0)
        return;
    const bool reserved = ::fallocate(out.stream.fd, FALLOC_FL_KEEP_SIZE, 0, source.st_size) == 0;
    if (reserved || (errno != EOPNOTSUPP && errno != ENOSYS))
        out.reserved = source.st_size;
    out.stream.error = !reserved && (errno == ENOSPC || errno == EDQUOT);
}

// Blocks reserved past what the source gave (a file that shrank, or one of the kernel's, whose size
// is a guess) are released; with none reserved, the file is left as it is, since on ext4 truncating
// makes the close wait for the data to reach the disk.
void release_unused(const output_file& out)
{
    if (out.reserved > static_cast<off_t>(out.stream.total))
        std::ignore = ::ftruncate(out.stream.fd, static_cast<off_t>(out.stream.total));
}

// Programs that wait for a file closed after writing (inotify's IN_CLOSE_WRITE, incron, sync
// clients) hear of a file named after it was written only from an open by that name; only once it
// is closed without error, so that they never hear of one that is then removed.
void announce(const new_file& f)
{
    if (leads_to(f.directory, f.name, f.id) != 1)
        return;
    const int fd = ::openat(f.directory, f.name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
}

// With the signals that end the run blocked, so that their handler never sees a closed descriptor.
void close_output(output_file& out)
{
    for (int* fd : {&out.stage.fd, &out.stage.directory, &out.old})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
    if (out.commit == road::through && out.stream.fd >= 0)
        ::close(out.stream.fd);
    out.stream.fd = -1;
    out.commit = road::through;
}

} // namespace

open_result open_output(output_file& out, const char* path, int descriptor, int source_fd,
                        const struct stat& source)
{
    out.stage.directory = out.stage.fd = out.old = out.stream.fd = -1;
    out.commit = road::through;
    out.reserved = 0;
    out.dropped = 0;
    struct stat st;
    open_result result = open_result::failed;
    // A duplicate, so that closing it reports a failed write as closing any destination does.
    if (descriptor >= 0 && (out.stream.fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0)) >= 0)
        result = ::fstat(out.stream.fd, &st) != 0 ? open_result::failed
                 : would_overwrite(source_fd, source, out.stream.fd, st) ? open_result::same_file
                                                                         : open_result::opened;
    else if (descriptor == -1)
        result = open_path(out, path, source_fd, source);
    if (result == open_result::opened)
        reserve(out, source);
    else
        abandon_output(out);
    return result;
}

bool finish_output(output_file& out)
{
    if (!flush(out.stream)) {
        abandon_output(out);
        return false;
    }
    release_unused(out);
    const signals_blocked blocked;
    // Closing reports what some file systems report only then: a failed write. The file stays
    // open through a copy of the descriptor, to be put in place, or discarded.
    const int written = out.stream.fd;
    const int copy = ::fcntl(written, F_DUPFD_CLOEXEC, 0);
    bool done = copy >= 0 && ::close(written) == 0;
    for (int* fd : {&out.stream.fd, &out.stage.fd, &out.old})
        *fd = *fd == written && copy >= 0 ? copy : *fd;
    const off_t size = static_cast<off_t>(out.stream.total);
    if (out.commit == road::named)
        done = done && link_in(out.stage);
    else if (out.commit == road::exchanged)
        done = done && exchange_in(out.stage, out.old_id);
    else if (out.commit == road::copied)
        done = done && copy_over(out.stage, out.old, size) && ::close(std::exchange(out.old, -1)) == 0;
    if (!done)
        discard_output(out);
    else if (out.commit == road::named || out.commit == road::exchanged)
        announce(out.stage);
    else if (out.commit == road::copied)
        discard(out.stage); // its temporary name, where it has one, goes
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
