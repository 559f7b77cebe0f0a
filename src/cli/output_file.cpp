#include "cli/output_file.hpp"

#include "cli/caller_descriptors.hpp"
#include "cli/path_parts.hpp"
#include "cli/stop_signals.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace morvask {

namespace {

// The output that a stop signal discards, or nullptr. Set, and its fields changed, only while the
// stop signals are held, so the handler always sees an output that is wholly this run's, with its
// descriptors still open.
std::atomic<const output_file*> unfinished;
static_assert(std::atomic<const output_file*>::is_always_lock_free, "read by a signal handler");

void discard_on_stop(const output_file* out)
{
    unfinished = out;
}

bool is_this_file(const output_file& out, const struct stat& st)
{
    return identity_of(st) == out.created;
}

// Whether the name the file was created by, or given, in the directory it was created in, still
// leads to it.
bool still_named(const output_file& out)
{
    struct stat st;
    return ::fstatat(out.directory, out.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           is_this_file(out, st);
}

// An existing file is emptied through its descriptor, so that it is this file whatever its name
// leads to by now. Once closing the descriptor has failed, the path is opened again, and the file
// emptied only if it is still the same one.
void empty_existing(const output_file& out)
{
    if (out.stream.fd >= 0) {
        std::ignore = ::ftruncate(out.stream.fd, 0);
        return;
    }
    const int fd = ::open(out.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (::fstat(fd, &st) == 0 && is_this_file(out, st))
        std::ignore = ::ftruncate(fd, 0);
    ::close(fd);
}

// A file this run created holds nothing but this run's output, so it is emptied first, through
// its descriptor: under any other name it was given meanwhile (a rename, a hard link), or where its
// directory no longer lets it go, nothing partial remains. Then it loses its name, but only while
// that name, in the directory it was created in, still leads to it: a file put in its place, or a
// directory swapped for a link, is not this run's.
void remove_created(const output_file& out)
{
    if (out.stream.fd >= 0)
        std::ignore = ::ftruncate(out.stream.fd, 0);
    if (still_named(out))
        ::unlinkat(out.directory, out.name, 0);
}

// Deregistered, with the stop signals held, before the directory it names is closed.
void forget(output_file& out)
{
    discard_on_stop(nullptr);
    if (out.directory >= 0)
        ::close(std::exchange(out.directory, -1));
}

mode_t creation_mode(const struct stat& source)
{
    // Never execute bits, and never more open than the source: a private source stays private. The
    // bits of a socket or a FIFO say who may connect to it, not who may read what it carries.
    const mode_t shared = S_ISSOCK(source.st_mode) || S_ISFIFO(source.st_mode)
                              ? 0
                              : S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
    return S_IRUSR | S_IWUSR | (source.st_mode & shared);
}

// Group permission is the source's to give, and only to its own group: a created file takes the
// group of its directory (setgid) or of the process, which a member of the source's group can
// change to that one. The members of another group are others to the source, and get what others
// get. An access ACL makes the source's group bits the ACL's mask, which lets named users and
// groups in; they are not copied, so the copy gets no group bits, and is more private, never less.
// False if the bits could not be taken away.
bool restrict_group(int fd, const struct stat& created, int source_fd, const struct stat& source)
{
    const bool acl = ::fgetxattr(source_fd, "system.posix_acl_access", nullptr, 0) > 0;
    if ((created.st_mode & S_IRWXG) == 0 ||
        (!acl && (created.st_gid == source.st_gid ||
                  ::fchown(fd, static_cast<uid_t>(-1), source.st_gid) == 0)))
        return true;
    const mode_t as_others = acl ? 0 : created.st_mode & (created.st_mode & S_IRWXO) << 3;
    return ::fchmod(fd, (created.st_mode & 07707) | as_others) == 0;
}

// The directory that will hold the file, pinned, so that the file is named in that one whatever
// its path leads to by the end; out.name is the file's name in it. Returns 0, or the errno.
int open_directory(output_file& out)
{
    char directory[PATH_MAX];
    out.name = split_path(out.path, directory);
    if (out.name == nullptr)
        return ENAMETOOLONG;
    // "" or "dir/": no name to give a file.
    if (*out.name == '\0')
        return ENOENT;
    out.directory = ::open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
    return out.directory < 0 ? errno : 0;
}

// Creates the file with the stop signals held, so that a signal discards it from its first moment,
// and only ever it. Without a name where the file system allows it, so that nothing is left to
// discard, even after SIGKILL, until finish_output() names the complete file; by its name where
// the file system refuses (vfat, some FUSE and network file systems). Returns 0, or the errno of
// the failure: EEXIST for a name that is there already, a dangling symbolic link or a file that
// appeared since the first open, which are the caller's to open.
int create(output_file& out, int source_fd, const struct stat& source)
{
    if (const int error = open_directory(out); error != 0)
        return error;
    struct stat st;
    if (::fstatat(out.directory, out.name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        forget(out);
        return EEXIST;
    }
    const sigset_t previous = hold_signals();
    int error = 0;
    out.fate = on_discard::unnamed;
    out.stream.fd =
        ::openat(out.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, creation_mode(source));
    // EISDIR: a kernel that predates unnamed files.
    if (out.stream.fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        out.fate = on_discard::remove;
        out.stream.fd = ::openat(out.directory, out.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                 creation_mode(source));
    }
    if (out.stream.fd >= 0 && ::fstat(out.stream.fd, &st) == 0 &&
        restrict_group(out.stream.fd, st, source_fd, source)) {
        out.created = identity_of(st);
        discard_on_stop(&out);
    } else {
        error = errno;
        if (out.stream.fd >= 0) {
            if (out.fate == on_discard::remove)
                ::unlinkat(out.directory, out.name, 0);
            ::close(std::exchange(out.stream.fd, -1));
        }
        forget(out);
    }
    release_signals(previous);
    return error;
}

// Gives the complete file created without a name its name, where no file has taken it meanwhile:
// linkat never replaces one.
bool name_created(output_file& out)
{
    // AT_EMPTY_PATH asks older kernels for a privilege; the link through /proc asks none.
    if (::linkat(out.stream.fd, "", out.directory, out.name, AT_EMPTY_PATH) != 0) {
        char fd_path[32];
        std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", out.stream.fd);
        if (errno != ENOENT ||
            ::linkat(AT_FDCWD, fd_path, out.directory, out.name, AT_SYMLINK_FOLLOW) != 0)
            return false;
    }
    out.fate = on_discard::remove;
    return true;
}

// Programs that wait for a file closed after writing (inotify's IN_CLOSE_WRITE, incron, sync
// clients) hear of a file named after it was written only from an open by that name; only once it
// is closed without error, so that they never hear of one that is then removed.
void announce(const output_file& out)
{
    if (still_named(out))
        if (const int fd =
                ::openat(out.directory, out.name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            fd >= 0)
            ::close(fd);
}

// What the opened destination is, into st; closed again if that cannot be told, or if it is the
// source itself.
open_result identify(output_file& out, int source_fd, const struct stat& source, struct stat& st)
{
    const open_result result = ::fstat(out.stream.fd, &st) != 0 ? open_result::failed
                               : same_file(source_fd, source, out.stream.fd, st)
                                   ? open_result::same_file
                                   : open_result::opened;
    if (result != open_result::opened)
        ::close(std::exchange(out.stream.fd, -1));
    return result;
}

// An existing file: refused if it is the source, and emptied only if it is a regular file with
// data in it (on ext4, truncating even an empty file makes close wait for the data to reach the
// disk).
open_result take_existing(output_file& out, int source_fd, const struct stat& source)
{
    struct stat st;
    if (const open_result identified = identify(out, source_fd, source, st);
        identified != open_result::opened)
        return identified;
    out.created = identity_of(st);
    out.fate = S_ISREG(st.st_mode) ? on_discard::empty : on_discard::keep;
    const sigset_t previous = hold_signals();
    discard_on_stop(&out);
    const bool emptied =
        out.fate != on_discard::empty || st.st_size == 0 || ::ftruncate(out.stream.fd, 0) == 0;
    if (!emptied) {
        forget(out);
        ::close(std::exchange(out.stream.fd, -1));
    }
    release_signals(previous);
    return emptied ? open_result::opened : open_result::failed;
}

// A duplicate of the caller's descriptor, so that closing it reports a failed write as closing any
// destination does, at the offset and with the flags the caller gave it.
open_result take_descriptor(output_file& out, int descriptor, int source_fd,
                            const struct stat& source)
{
    out.fate = on_discard::keep;
    out.stream.fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    struct stat st;
    return out.stream.fd < 0 ? open_result::failed : identify(out, source_fd, source, st);
}

// The blocks for the whole output at once, when the source tells its size: the file system then
// allocates in few large extents instead of at every flush. If it cannot, the writes still work,
// or report a full disk. A failed attempt may still have allocated blocks (ext4 keeps what it got
// before the disk filled), so only one the file system refuses outright reserves nothing.
void reserve(output_file& out, const struct stat& source)
{
    if (out.fate != on_discard::keep && S_ISREG(source.st_mode) && source.st_size > 0 &&
        (::fallocate(out.stream.fd, FALLOC_FL_KEEP_SIZE, 0, source.st_size) == 0 ||
         (errno != EOPNOTSUPP && errno != ENOSYS)))
        out.reserved = source.st_size;
}

// A source shorter than its size promised (a file that shrank, or one of the kernel's, which all
// say 4096) leaves blocks reserved past the end. Truncating to the size the file has releases them
// on ext4 and tmpfs alike; with nothing reserved it is left out, since on ext4 it makes the close
// wait for the data to reach the disk. A failure leaves the output whole, only larger on the disk
// than it need be.
void release_unused(const output_file& out)
{
    struct stat st;
    if (out.reserved != 0 && ::fstat(out.stream.fd, &st) == 0 && st.st_size < out.reserved)
        std::ignore = ::ftruncate(out.stream.fd, st.st_size);
}

// Empties or removes what this run wrote, as its fate says.
void discard_output(const output_file& out)
{
    switch (out.fate) {
    case on_discard::remove:
        remove_created(out);
        break;
    case on_discard::empty:
        empty_existing(out);
        break;
    case on_discard::unnamed:
        if (out.stream.fd >= 0)
            std::ignore = ::ftruncate(out.stream.fd, 0);
        break;
    case on_discard::keep:
        break;
    }
}

} // namespace

void discard_unfinished_output()
{
    if (const output_file* out = unfinished.load())
        discard_output(*out);
}

open_result open_output(output_file& out, const char* path, int descriptor, int source_fd,
                        const struct stat& source)
{
    out.path = path;
    out.directory = -1;
    out.reserved = 0;
    if (descriptor >= 0)
        return take_descriptor(out, descriptor, source_fd, source);
    if (descriptor == refused)
        return open_result::failed;

    // An existing file without O_CREAT, which fs.protected_regular refuses for another user's
    // file in a sticky directory. No open that may wait runs with the stop signals held: opening a
    // FIFO waits for its reader, and Ctrl-C must still end the run there.
    out.stream.fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (out.stream.fd < 0 && errno == ENOENT) {
        const int error = create(out, source_fd, source);
        if (error == 0) {
            reserve(out, source);
            return open_result::opened;
        }
        if (error != EEXIST)
            return open_result::failed;
        // A name that appeared meanwhile, or a dangling symbolic link, whose target this creates
        // as fopen's "wb" would. Either may be another's: emptied on failure, never removed. Which
        // of the two it was cannot be told once open, so a target created here gets no group
        // permission at all.
        out.stream.fd =
            ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, creation_mode(source) & ~mode_t{S_IRWXG});
    }
    if (out.stream.fd < 0)
        return open_result::failed;
    const open_result taken = take_existing(out, source_fd, source);
    if (taken == open_result::opened)
        reserve(out, source);
    return taken;
}

bool finish_output(output_file& out)
{
    if (!flush(out.stream)) {
        abandon_output(out);
        return false;
    }
    release_unused(out);
    const sigset_t previous = hold_signals();
    const bool unnamed = out.fate == on_discard::unnamed;
    // A file created by its name may have lost it meanwhile to another file: success would then
    // report a name that holds none of the output.
    const bool named =
        unnamed ? name_created(out) : out.fate != on_discard::remove || still_named(out);
    if (!named)
        discard_output(out);
    // Some file systems report a failed write only here.
    const bool closed = ::close(std::exchange(out.stream.fd, -1)) == 0;
    if (named && !closed)
        discard_output(out);
    if (unnamed && named && closed)
        announce(out);
    forget(out);
    release_signals(previous);
    return named && closed;
}

void abandon_output(output_file& out)
{
    const sigset_t previous = hold_signals();
    discard_output(out);
    ::close(std::exchange(out.stream.fd, -1));
    forget(out);
    release_signals(previous);
}

} // namespace morvask
