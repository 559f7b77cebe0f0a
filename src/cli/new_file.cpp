#include "cli/new_file.hpp"

#include "cli/ending_signals.hpp"
#include "cli/path_parts.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace morvask {

namespace {

// A hidden name of the file's own beside the destination's, within NAME_MAX, cut where no UTF-8
// character is: take() tries f.temporary, until one is free.
template <typename Take> bool take_temporary_name(new_file& f, Take take)
{
    auto kept = static_cast<int>(std::min<std::size_t>(std::strlen(f.name), NAME_MAX - 10));
    while (kept > 0 && (f.name[kept] & 0xc0) == 0x80)
        --kept;
    for (int tries = 0; tries < 100; ++tries) {
        std::snprintf(f.temporary, sizeof f.temporary, ".%.*s.%08x", kept, f.name, ::arc4random());
        if (take())
            return true;
        if (errno != EEXIST)
            break;
    }
    f.temporary[0] = '\0';
    return false;
}

// AT_EMPTY_PATH asks older kernels for a privilege, the link through /proc asks none. A link never
// replaces a file.
bool link_unnamed(const new_file& f, const char* name)
{
    if (::linkat(f.fd, "", f.directory, name, AT_EMPTY_PATH) == 0)
        return true;
    char fd_path[32];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", f.fd);
    return errno == ENOENT &&
           ::linkat(AT_FDCWD, fd_path, f.directory, name, AT_SYMLINK_FOLLOW) == 0;
}

// Bytes begin to end of the complete file to the same place in to.
bool copy_range(const new_file& f, int to, off_t begin, off_t end)
{
    constexpr off_t step = 8 << 20;
    for (off_t done = begin; done < end;) {
        const auto length = static_cast<std::size_t>(std::min(step, end - done));
        off_t from = done;
        off_t at = done;
        // Blocks shared where the file system can; between file systems, sendfile copies.
        ssize_t copied = ::copy_file_range(f.fd, &from, to, &at, length, 0);
        if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
            copied = ::lseek(to, done, SEEK_SET) < 0 ? -1 : ::sendfile(to, f.fd, &from, length);
        if (copied <= 0)
            return false;
        // Pages go as the copy passes them, never written back only to be thrown away.
        std::ignore = ::fallocate(f.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, done, copied);
        done += copied;
    }
    return true;
}

} // namespace

int pin_directory(new_file& f, const char* path)
{
    char directory[PATH_MAX];
    // Nor where there is no name to give a file: "" or "dir/".
    f.name = split_path(path, directory);
    if (f.name == nullptr || *f.name == '\0')
        return ENOENT;
    f.directory = ::open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
    return f.directory < 0 ? errno : 0;
}

int create(new_file& f, mode_t mode, struct stat& st)
{
    const signals_blocked blocked;
    // For reading too, to be copied. EISDIR: a kernel that predates unnamed files.
    f.temporary[0] = '\0';
    f.fd = ::openat(f.directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (f.fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR))
        take_temporary_name(f, [&f] {
            f.fd = ::openat(f.directory, f.temporary, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                            S_IRUSR | S_IWUSR);
            return f.fd >= 0;
        });
    if (f.fd >= 0 && ::fstat(f.fd, &st) == 0) {
        f.id = identity_of(st);
        return 0;
    }
    const int error = errno;
    // Just made under that name, which O_EXCL kept from any other file.
    if (f.temporary[0] != '\0')
        ::unlinkat(f.directory, f.temporary, 0);
    return error;
}

bool link_in(new_file& f)
{
    if (f.temporary[0] == '\0')
        return link_unnamed(f, f.name);
    if (::renameat2(f.directory, f.temporary, f.directory, f.name, RENAME_NOREPLACE) == 0)
        return true;
    // EINVAL: a file system without the flag, where a hard link, which never replaces one either.
    if (errno != EINVAL || ::linkat(f.directory, f.temporary, f.directory, f.name, 0) != 0)
        return false;
    ::unlinkat(f.directory, f.temporary, 0);
    return true;
}

bool exchange_in(new_file& f, const file_identity& old)
{
    if (f.temporary[0] == '\0' &&
        !take_temporary_name(f, [&f] { return link_unnamed(f, f.temporary); }))
        return false;
    if (::renameat2(f.directory, f.temporary, f.directory, f.name, RENAME_EXCHANGE) == 0) {
        if (leads_to(f.directory, f.temporary, old) == 1) {
            ::unlinkat(f.directory, f.temporary, 0);
            return true;
        }
        // Where it cannot go back, the new file is left complete, the other under that name.
        if (::renameat2(f.directory, f.temporary, f.directory, f.name, RENAME_EXCHANGE) != 0)
            ::close(std::exchange(f.fd, -1));
        return false;
    }
    // EINVAL: a file system without the flag (FUSE mirrors), where the name is checked just before.
    return errno == EINVAL && leads_to(f.directory, f.name, old) == 1 &&
           ::renameat(f.directory, f.temporary, f.directory, f.name) == 0;
}

bool copy_over(const new_file& f, int to, off_t size)
{
    struct stat old;
    if (::fstat(to, &old) != 0)
        return false;
    // Room first, then the part past the old end, which alone needs more: where the disk has none,
    // the run fails before anything is overwritten, and what it took goes back.
    const off_t kept = std::min(old.st_size, size);
    if ((size > 0 && ::fallocate(to, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP &&
         errno != ENOSYS) ||
        !copy_range(f, to, kept, size)) {
        std::ignore = ::ftruncate(to, old.st_size);
        return false;
    }
    return copy_range(f, to, 0, kept) && ::ftruncate(to, size) == 0;
}

void discard(const new_file& f)
{
    if (f.fd < 0)
        return;
    std::ignore = ::ftruncate(f.fd, 0);
    if (f.temporary[0] != '\0' && leads_to(f.directory, f.temporary, f.id) == 1)
        ::unlinkat(f.directory, f.temporary, 0);
}

} // namespace morvask
