#include "cli/output_file.hpp"

#include "cli/caller_descriptors.hpp"
#include "cli/output_rules.hpp"
#include "cli/path_parts.hpp"
#include "cli/standard_output.hpp"
#include "cli/stop_signals.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/limits.h>
#include <span>
#include <sys/ioctl.h>
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

// Whether name, in the directory the new file takes its name in, leads to that file.
bool leads_to_created(const output_file& out, const char* name)
{
    struct stat st;
    return ::fstatat(out.directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           identity_of(st) == out.created;
}

// What this run wrote is emptied through the descriptor, so that it is this file whatever names it
// has by now (a rename, a hard link). A temporary name goes too, but only while it still leads to
// the file: a file put in its place, or a directory swapped for a link, is not this run's.
void discard_output(const output_file& out)
{
    if (out.fate == on_discard::keep)
        return;
    if (out.stream.fd >= 0)
        std::ignore = ::ftruncate(out.stream.fd, 0);
    if (out.fate == on_discard::remove && leads_to_created(out, out.temporary))
        ::unlinkat(out.directory, out.temporary, 0);
}

// The file being replaced, kept open to let its cached pages go as the new file's grow past them:
// on a disk file system the run then holds one file's worth of page cache, not two (tmpfs keeps
// them: they are its contents). Should the run fail, the old file is all on the disk still.
int replaced_fd = -1;

void let_old_pages_go(std::uint64_t written)
{
    constexpr std::uint64_t step = 8 << 20;
    static std::uint64_t released = 0;
    if (written - released >= step) {
        std::ignore = ::posix_fadvise(replaced_fd, static_cast<off_t>(released),
                                      static_cast<off_t>(written - released), POSIX_FADV_DONTNEED);
        released = written;
    }
}

// Deregistered, with the stop signals held, before the directory it names is closed.
void forget(output_file& out)
{
    discard_on_stop(nullptr);
    if (out.directory >= 0)
        ::close(std::exchange(out.directory, -1));
    if (replaced_fd >= 0)
        ::close(std::exchange(replaced_fd, -1));
}

// The bits the kernel gives a file created with mode in directory: those its default ACL allows
// where it has one (the umask is then left out), the umask's otherwise.
mode_t applied_mode(int directory, mode_t mode)
{
    struct acl_entry {
        std::uint16_t tag;
        std::uint16_t perm;
        std::uint32_t id;
    };
    struct {
        std::uint32_t version;
        acl_entry entries[512];
    } acl;
    const int fd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const ssize_t size =
        fd < 0 ? -1 : ::fgetxattr(fd, "system.posix_acl_default", &acl, sizeof acl);
    if (fd >= 0)
        ::close(fd);
    if (size <= static_cast<ssize_t>(sizeof acl.version)) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return mode & ~mask;
    }
    // Entries come sorted by tag: the mask, where there is one, after the owning group.
    mode_t allowed = 0;
    mode_t group = 0;
    for (const acl_entry& e :
         std::span(acl.entries,
                   (static_cast<std::size_t>(size) - sizeof acl.version) / sizeof(acl_entry)))
        if (e.tag == 0x01) // ACL_USER_OBJ
            allowed |= mode_t{e.perm} << 6;
        else if (e.tag == 0x04 || e.tag == 0x10) // ACL_GROUP_OBJ, ACL_MASK
            group = mode_t{e.perm} << 3;
        else if (e.tag == 0x20) // ACL_OTHER
            allowed |= e.perm;
    return mode & (allowed | group);
}

// Gives the file the bits wanted, less the group bits that the rules allow (output_rules.hpp): a
// created file takes the group of its directory (setgid) or of the process, which a member of the
// source's group can change to that one. False if it could not.
bool give_mode(int fd, const struct stat& created, mode_t wanted, int source_fd,
               const struct stat& source)
{
    const bool acl = ::fgetxattr(source_fd, "system.posix_acl_access", nullptr, 0) > 0;
    if ((wanted & S_IRWXG) != 0 &&
        (acl || (created.st_gid != source.st_gid &&
                 ::fchown(fd, static_cast<uid_t>(-1), source.st_gid) != 0)))
        wanted = group_limited(wanted, acl ? copy_group::acl_mask : copy_group::another);
    return wanted == (created.st_mode & 07777) || ::fchmod(fd, wanted) == 0;
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

// Gives the new file a name of its own beside the destination's, hidden as editors' are, and
// within NAME_MAX however long the destination's is: take() tries out.temporary, until one is free.
template <typename Take> bool take_temporary_name(output_file& out, Take take)
{
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int tries = 0; tries < 100; ++tries) {
        char suffix[7] = {};
        for (char& c : std::span(suffix, 6))
            c = letters[::arc4random_uniform(sizeof letters - 1)];
        // Cut where no UTF-8 character is.
        int kept = NAME_MAX - 8;
        while (std::strlen(out.name) > static_cast<std::size_t>(kept) && kept > 0 &&
               (out.name[kept] & 0xc0) == 0x80)
            --kept;
        std::snprintf(out.temporary, sizeof out.temporary, ".%.*s.%s", kept, out.name, suffix);
        if (take())
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Creates the new file in the pinned directory, the caller holding the stop signals, so that a
// signal discards it from its first moment: without a name where the file system allows it, so
// that even SIGKILL leaves nothing; else private, under a temporary name (vfat, FUSE mirrors).
// Returns 0, or the errno of the failure.
int create_file(output_file& out, mode_t mode, struct stat& st)
{
    out.fate = on_discard::empty;
    out.stream.fd = ::openat(out.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    // EISDIR: a kernel that predates unnamed files.
    if (out.stream.fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        out.fate = on_discard::remove;
        take_temporary_name(out, [&out] {
            out.stream.fd = ::openat(out.directory, out.temporary,
                                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
            return out.stream.fd >= 0;
        });
    }
    if (out.stream.fd < 0)
        return errno;
    if (::fstat(out.stream.fd, &st) != 0) {
        const int error = errno;
        if (out.fate == on_discard::remove)
            ::unlinkat(out.directory, out.temporary, 0);
        ::close(std::exchange(out.stream.fd, -1));
        return error;
    }
    out.created = identity_of(st);
    discard_on_stop(&out);
    return 0;
}

// A destination that does not exist yet, created with modes derived from the source's. Returns 0,
// or the errno of the failure: EEXIST for a name that is there already, a dangling symbolic link
// or a file that appeared since the first open, which are the caller's to open.
int create_new(output_file& out, int source_fd, const struct stat& source)
{
    int error = open_directory(out);
    struct stat st;
    if (error == 0 && ::fstatat(out.directory, out.name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        error = EEXIST;
    const signals_held held;
    if (error == 0)
        error = create_file(out, creation_mode(source.st_mode), st);
    // A file under a temporary name starts private, and gets its bits once its group is right.
    if (error == 0 && !give_mode(out.stream.fd, st,
                                 out.fate == on_discard::remove
                                     ? applied_mode(out.directory, creation_mode(source.st_mode))
                                     : st.st_mode & 07777,
                                 source_fd, source)) {
        error = errno;
        discard_output(out);
        ::close(std::exchange(out.stream.fd, -1));
    }
    if (error != 0)
        forget(out);
    return error;
}

// What the opened destination is, into st, and whether it may be written: not if it is the source
// itself. Closed again if not.
open_result adopt(output_file& out, int source_fd, const struct stat& source, struct stat& st)
{
    const open_result result =
        out.stream.fd < 0 || ::fstat(out.stream.fd, &st) != 0 ? open_result::failed
        : same_file(source_fd, source, out.stream.fd, st)     ? open_result::same_file
                                                              : open_result::opened;
    if (result == open_result::opened)
        out.created = identity_of(st);
    else if (out.stream.fd >= 0)
        ::close(std::exchange(out.stream.fd, -1));
    return result;
}

// Whether the existing file st, the destination, is replaced whole, by what the rules ask of it.
bool may_replace(output_file& out, const struct stat& st)
{
    struct stat named;
    struct statx mount {};
    const bool named_directly =
        open_directory(out) == 0 &&
        ::fstatat(out.directory, out.name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        identity_of(named) == identity_of(st);
    return replaceable({st.st_mode, st.st_nlink, named_directly,
                        ::statx(out.stream.fd, "", AT_EMPTY_PATH, 0, &mount) != 0 ||
                            (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0,
                        shares_file_with(STDOUT_FILENO, out.stream.fd) ||
                            shares_file_with(STDERR_FILENO, out.stream.fd)});
}

// The old file's extended attributes, its ACL among them, on the new file; not security.capability,
// which any write to the old file would have dropped.
bool copy_attributes(int from, int to)
{
    // Static: the largest a list or a value can be, too large for the stack.
    static char names[XATTR_LIST_MAX];
    static char value[XATTR_SIZE_MAX];
    const ssize_t listed = ::flistxattr(from, names, sizeof names);
    if (listed < 0)
        return errno == EOPNOTSUPP;
    for (const char* name = names; name < names + listed; name += std::strlen(name) + 1) {
        if (std::strcmp(name, "security.capability") == 0)
            continue;
        const ssize_t size = ::fgetxattr(from, name, value, sizeof value);
        if (size < 0 || ::fsetxattr(to, name, value, static_cast<std::size_t>(size), 0) != 0)
            return false;
    }
    // Nor an ACL the new file took from the directory's default where the old one has none.
    constexpr const char* acl = "system.posix_acl_access";
    return ::fgetxattr(from, acl, nullptr, 0) >= 0 || errno != ENODATA ||
           ::fremovexattr(to, acl) == 0 || errno == ENODATA;
}

// The old file's inode flags (chattr: no copy-on-write, compression, no dump), not those the new
// one took from its directory; false where the file system will not set them.
bool copy_flags(int from, int to)
{
    // The kernel reads and writes an int, whatever the ioctl's declared long.
    int old_flags = 0;
    int new_flags = 0;
    return ::ioctl(from, FS_IOC_GETFLAGS, &old_flags) != 0 ||
           (::ioctl(to, FS_IOC_GETFLAGS, &new_flags) == 0 &&
            (old_flags == new_flags ||
             (::ioctl(to, FS_IOC_SETFLAGS, &old_flags) == 0 &&
              ::ioctl(to, FS_IOC_GETFLAGS, &new_flags) == 0 && old_flags == new_flags)));
}

// Starts the new file that replaces the existing one, out.stream.fd, once complete: on the same
// file system, with the old one's owner and group (first, since fchown clears set-id bits), its
// attributes and then its mode, all before any data goes in. Returns 0, the old file kept open;
// or the errno of the failure to create it; or EPERM, as the directory's refusal would, where the
// new file could not be what the old one is, with nothing left behind.
int replace(output_file& out, const struct stat& old)
{
    const int old_fd = out.stream.fd;
    const signals_held held;
    struct stat st;
    if (const int error = create_file(out, S_IRUSR | S_IWUSR, st); error != 0) {
        out.stream.fd = old_fd;
        return error;
    }
    if (st.st_dev != old.st_dev || ::fchown(out.stream.fd, old.st_uid, old.st_gid) != 0 ||
        !copy_attributes(old_fd, out.stream.fd) || !copy_flags(old_fd, out.stream.fd) ||
        ::fchmod(out.stream.fd, old.st_mode & 07777) != 0) {
        discard_output(out);
        ::close(std::exchange(out.stream.fd, old_fd));
        discard_on_stop(nullptr);
        return EPERM;
    }
    replaced_fd = old_fd;
    out.stream.on_flush = let_old_pages_go;
    out.replaced = identity_of(old);
    return 0;
}

// An existing file: refused if it is the source; replaced where it can be, written in place
// otherwise, and then emptied first only if it is a regular file with data in it (on ext4,
// truncating even an empty file makes close wait for the data to reach the disk).
open_result take_existing(output_file& out, int source_fd, const struct stat& source)
{
    struct stat st;
    if (const open_result adopted = adopt(out, source_fd, source, st);
        adopted != open_result::opened)
        return adopted;
    if (may_replace(out, st)) {
        const int error = replace(out, st);
        if (error == 0)
            return open_result::opened;
        if (!written_in_place_after(error)) {
            forget(out);
            ::close(std::exchange(out.stream.fd, -1));
            return open_result::failed;
        }
    }
    const signals_held held;
    forget(out);
    out.fate = S_ISREG(st.st_mode) ? on_discard::empty : on_discard::keep;
    out.created = identity_of(st);
    discard_on_stop(&out);
    if (out.fate == on_discard::empty && st.st_size > 0 && ::ftruncate(out.stream.fd, 0) != 0) {
        forget(out);
        ::close(std::exchange(out.stream.fd, -1));
        return open_result::failed;
    }
    return open_result::opened;
}

// The blocks for the whole output at once, when the source tells its size, so that the file system
// allocates few large extents. Where there is no room, the run fails at once, not after reading at
// length. A failed attempt may still have allocated blocks (ext4 keeps what it got before the disk
// filled), so only one the file system refuses outright reserves nothing.
void reserve(output_file& out, const struct stat& source)
{
    if (out.fate == on_discard::keep || !S_ISREG(source.st_mode) || source.st_size <= 0)
        return;
    const bool reserved = ::fallocate(out.stream.fd, FALLOC_FL_KEEP_SIZE, 0, source.st_size) == 0;
    if (reserved || (errno != EOPNOTSUPP && errno != ENOSYS))
        out.reserved = source.st_size;
    out.stream.error = !reserved && (errno == ENOSPC || errno == EDQUOT);
}

// A source shorter than its size promised (a file that shrank, or one of the kernel's, which all
// say 4096) leaves blocks reserved past the end, which truncating releases; with nothing reserved
// it is left out, since on ext4 it makes the close wait for the data to reach the disk.
void release_unused(const output_file& out)
{
    struct stat st;
    if (out.reserved != 0 && ::fstat(out.stream.fd, &st) == 0 && st.st_size < out.reserved)
        std::ignore = ::ftruncate(out.stream.fd, st.st_size);
}

// Gives the complete file without a name the name given; AT_EMPTY_PATH asks older kernels for a
// privilege, the link through /proc asks none. A link never replaces a file.
bool link_unnamed(const output_file& out, const char* name)
{
    if (::linkat(out.stream.fd, "", out.directory, name, AT_EMPTY_PATH) == 0)
        return true;
    char fd_path[32];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", out.stream.fd);
    return errno == ENOENT &&
           ::linkat(AT_FDCWD, fd_path, out.directory, name, AT_SYMLINK_FOLLOW) == 0;
}

// Swaps the complete new file in for the old one, which then goes, but only if the name still led
// to the file checked at the start: another file that took the name meanwhile is put back, and
// the run fails. Where it cannot be put back, the new file is kept as it is, complete, and the
// other under the temporary name.
bool swap_in(output_file& out)
{
    struct stat st;
    if (::renameat2(out.directory, out.temporary, out.directory, out.name, RENAME_EXCHANGE) == 0) {
        if (::fstatat(out.directory, out.temporary, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            identity_of(st) == out.replaced) {
            ::unlinkat(out.directory, out.temporary, 0);
            return true;
        }
        if (::renameat2(out.directory, out.temporary, out.directory, out.name, RENAME_EXCHANGE) !=
            0)
            out.fate = on_discard::keep;
        return false;
    }
    // EINVAL: a file system without the flag (FUSE mirrors), where the name is checked just before.
    return errno == EINVAL && ::fstatat(out.directory, out.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           identity_of(st) == out.replaced &&
           ::renameat(out.directory, out.temporary, out.directory, out.name) == 0;
}

// The complete new file takes the destination's name: a new destination's only where no file has
// taken it meanwhile, an existing one's only where it still leads to the file it led to at the
// start. One without a name gets a temporary one first for the swap.
bool give_name(output_file& out)
{
    if (out.fate == on_discard::empty) {
        if (out.replaced == file_identity{})
            return link_unnamed(out, out.name);
        if (!take_temporary_name(out, [&out] { return link_unnamed(out, out.temporary); }))
            return false;
        out.fate = on_discard::remove;
    }
    if (out.replaced != file_identity{})
        return swap_in(out);
    if (::renameat2(out.directory, out.temporary, out.directory, out.name, RENAME_NOREPLACE) == 0)
        return true;
    // EINVAL: a file system without the flag, where a hard link, which never replaces a file
    // either, takes the name.
    if (errno != EINVAL || ::linkat(out.directory, out.temporary, out.directory, out.name, 0) != 0)
        return false;
    ::unlinkat(out.directory, out.temporary, 0);
    return true;
}

// Programs that wait for a file closed after writing (inotify's IN_CLOSE_WRITE, incron, sync
// clients) hear of a file named after it was written only from an open by that name; only once it
// is closed without error, so that they never hear of one that is then removed.
void announce(const output_file& out)
{
    if (leads_to_created(out, out.name))
        if (const int fd =
                ::openat(out.directory, out.name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            fd >= 0)
            ::close(fd);
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
    out.replaced = {};
    out.reserved = 0;
    struct stat st;
    if (descriptor >= 0) {
        // A duplicate, so that closing it reports a failed write as closing any destination does.
        out.fate = on_discard::keep;
        out.stream.fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        return adopt(out, source_fd, source, st);
    }
    if (descriptor == refused)
        return open_result::failed;

    // An existing file without O_CREAT, which fs.protected_regular refuses for another user's
    // file in a sticky directory. No open that may wait runs with the stop signals held: opening a
    // FIFO waits for its reader, and Ctrl-C must still end the run there.
    out.stream.fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (out.stream.fd < 0 && errno == ENOENT) {
        const int error = create_new(out, source_fd, source);
        if (error == 0) {
            reserve(out, source);
            return open_result::opened;
        }
        if (error != EEXIST)
            return open_result::failed;
        // A name that appeared meanwhile, or a dangling symbolic link, whose target this creates
        // as fopen's "wb" would. Either may be another's: written in place, emptied on failure,
        // never removed. Which of the two it was cannot be told once open, so a target created
        // here gets no group permission at all.
        out.stream.fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC,
                               creation_mode(source.st_mode) & ~mode_t{S_IRWXG});
    }
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
    const signals_held held;
    // Closing reports what some file systems report only then: a failed write. A copy of the
    // descriptor keeps the file open, to be named or emptied after that.
    const int spare = out.fate == on_discard::keep
                          ? -1
                          : ::fcntl(out.stream.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const bool closed = (spare >= 0 || out.fate == on_discard::keep) &&
                        ::close(std::exchange(out.stream.fd, spare)) == 0;
    const bool done = closed && (out.directory < 0 || give_name(out));
    if (!done)
        discard_output(out);
    else if (out.directory >= 0)
        announce(out);
    if (out.stream.fd >= 0)
        ::close(std::exchange(out.stream.fd, -1));
    forget(out);
    return done;
}

void abandon_output(output_file& out)
{
    const signals_held held;
    discard_output(out);
    ::close(std::exchange(out.stream.fd, -1));
    forget(out);
}

} // namespace morvask
