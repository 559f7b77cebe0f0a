#include "cli/output_file.hpp"

#include "cli/progress.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace morvask {

namespace {

// The signals that end a run: every one whose default action ends the process, but SIGKILL,
// which cannot be caught; SIGPIPE and SIGXFSZ, which are ignored so that the write they stand for
// fails as any other; and SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT and SIGSYS, which
// report a fault in the process itself, whose core dump is worth more than a tidy directory.
// The real-time signals are added at run time: the C library keeps the first few for itself.
constexpr int named_stop_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,  SIGTERM,   SIGALRM,
                                      SIGUSR1, SIGUSR2, SIGXCPU,  SIGVTALRM, SIGPROF,
                                      SIGIO,   SIGPWR,  SIGSTKFLT};

// Set once, before any handler is installed.
sigset_t stop_signals;

// The output that a stop signal discards, if any. It, and the fields of the output that
// discard() reads, change only while the stop signals are held, so the handler always sees an
// output that is wholly this run's, with its descriptors still open; and the handler never
// returns, so the main flow never acts on an output that the handler has discarded.
std::atomic<const output_file*> unfinished;
static_assert(std::atomic<const output_file*>::is_always_lock_free, "read by a signal handler");

// While the stop signals are held, one that arrives waits, and then finds the output either
// fully handed over or not at all. Plain calls, not a guard object: a destructor would give every
// call inside its scope an unwinding path, and bring the C++ runtime into the binary with it.
sigset_t hold_signals()
{
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &stop_signals, &previous);
    return previous;
}

void release_signals(const sigset_t& previous)
{
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_this_file(const output_file& out, const struct stat& st)
{
    return st.st_dev == out.device && st.st_ino == out.inode;
}

// An existing file is emptied through its descriptor, so that it is this file whatever its name
// leads to by now. Once closing the descriptor has failed, the path is opened again, and the file
// emptied only if it is still the same one.
bool empty(const output_file& out)
{
    if (out.stream.fd >= 0)
        return ::ftruncate(out.stream.fd, 0) == 0;
    const int fd = ::open(out.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    const bool emptied = ::fstat(fd, &st) == 0 && is_this_file(out, st) && ::ftruncate(fd, 0) == 0;
    ::close(fd);
    return emptied;
}

// A file this run created holds nothing but this run's output, so it is emptied first, through
// its descriptor: under any other name it was given meanwhile (a rename, a hard link), or where its
// directory no longer lets it go, nothing partial remains. Then it loses its name, but only while
// that name, in the directory it was created in, still leads to it: a file put in its place, or a
// directory swapped for a link, is not this run's.
bool remove(const output_file& out)
{
    const bool emptied = out.stream.fd >= 0 && ::ftruncate(out.stream.fd, 0) == 0;
    struct stat st;
    if (::fstatat(out.directory, out.name, &st, AT_SYMLINK_NOFOLLOW) == 0 && is_this_file(out, st))
        return ::unlinkat(out.directory, out.name, 0) == 0;
    return emptied;
}

// Only async-signal-safe calls: the signal handler discards through here too. False when that
// failed, which no caller can mend: the run is failing already.
bool discard(const output_file& out)
{
    switch (out.fate) {
    case on_discard::remove:
        return remove(out);
    case on_discard::empty:
        return empty(out);
    case on_discard::keep:
        break;
    }
    return true;
}

// While this runs every stop signal waits, so the output is discarded once, and the run ends by
// the signal that reached it first, as it would have without us.
[[noreturn]] void discard_and_stop(int sig)
{
    if (const output_file* out = unfinished.load())
        discard(*out);
    // The shell's prompt then starts on a line of its own, not after the run's first words.
    if (progress_line_open()) {
        [[maybe_unused]] const ssize_t ended = ::write(STDOUT_FILENO, "\n", 1);
    }
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(sig, &default_action, nullptr);
    ::raise(sig);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    // Still alive: the first process of a PID namespace (a container's) ignores a signal whose
    // action is the default. The run must end all the same, and never report success.
    ::_exit(128 + sig);
}

// Deregistered, with the stop signals held, before the directory it names is closed.
void forget(output_file& out)
{
    unfinished = nullptr;
    if (out.directory >= 0)
        ::close(std::exchange(out.directory, -1));
}

mode_t creation_mode(const struct stat& source)
{
    // Never execute bits, and never more open than the source: a private source stays private.
    return S_IRUSR | S_IWUSR | (source.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH));
}

// Creates the file by its directory and name, with the stop signals held, so that a signal
// removes it from its first moment, and only ever it. Returns 0, or the errno of the failure.
int create(output_file& out, const struct stat& source)
{
    // The directory's own path, copied out because the argument is not ours to cut; a path too
    // long for the copy is too long to open.
    char directory[PATH_MAX] = ".";
    const char* const slash = std::strrchr(out.path, '/');
    out.name = slash == nullptr ? out.path : slash + 1;
    if (slash != nullptr) {
        // "/name" is in "/" itself.
        const auto length = static_cast<std::size_t>(slash == out.path ? 1 : slash - out.path);
        if (length >= sizeof directory)
            return ENAMETOOLONG;
        std::memcpy(directory, out.path, length);
        directory[length] = '\0';
    }
    out.directory = ::open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (out.directory < 0)
        return errno;

    const sigset_t previous = hold_signals();
    out.stream.fd = ::openat(out.directory, out.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                             creation_mode(source));
    int error = out.stream.fd < 0 ? errno : 0;
    struct stat st;
    if (out.stream.fd >= 0 && ::fstat(out.stream.fd, &st) == 0) {
        out.device = st.st_dev;
        out.inode = st.st_ino;
        out.fate = on_discard::remove;
        unfinished = &out;
    } else {
        if (out.stream.fd >= 0) {
            error = errno;
            ::unlinkat(out.directory, out.name, 0);
            ::close(std::exchange(out.stream.fd, -1));
        }
        forget(out);
    }
    release_signals(previous);
    return error;
}

// What the opened destination is, into st; closed again if that cannot be told, or if it is the
// source itself.
open_result identify(output_file& out, const struct stat& source, struct stat& st)
{
    const open_result result = ::fstat(out.stream.fd, &st) != 0 ? open_result::failed
                               : same_file(st, source)          ? open_result::same_file
                                                                : open_result::opened;
    if (result != open_result::opened)
        ::close(std::exchange(out.stream.fd, -1));
    return result;
}

// An existing file: refused if it is the source, and emptied only if it is a regular file with
// data in it (on ext4, truncating even an empty file makes close wait for the data to reach the
// disk).
open_result take_existing(output_file& out, const struct stat& source)
{
    struct stat st;
    if (const open_result identified = identify(out, source, st); identified != open_result::opened)
        return identified;
    out.device = st.st_dev;
    out.inode = st.st_ino;
    out.fate = S_ISREG(st.st_mode) ? on_discard::empty : on_discard::keep;
    const sigset_t previous = hold_signals();
    unfinished = &out;
    const bool emptied =
        out.fate != on_discard::empty || st.st_size == 0 || ::ftruncate(out.stream.fd, 0) == 0;
    if (!emptied) {
        forget(out);
        ::close(std::exchange(out.stream.fd, -1));
    }
    release_signals(previous);
    return emptied ? open_result::opened : open_result::failed;
}

// A duplicate of standard output, so that closing it reports a failed write as closing any
// destination does, at the offset and with the flags the caller gave it.
open_result take_standard_output(output_file& out, const struct stat& source)
{
    out.fate = on_discard::keep;
    out.stream.fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    struct stat st;
    return out.stream.fd < 0 ? open_result::failed : identify(out, source, st);
}

// The blocks for the whole output at once, when the source tells its size: the file system then
// allocates in few large extents instead of at every flush. If it cannot, the writes still work,
// or report a full disk.
void reserve(output_file& out, const struct stat& source)
{
    if (out.fate != on_discard::keep && S_ISREG(source.st_mode) && source.st_size > 0 &&
        ::fallocate(out.stream.fd, FALLOC_FL_KEEP_SIZE, 0, source.st_size) == 0)
        out.reserved = source.st_size;
}

// A source shorter than its size promised (a file that shrank, or one of the kernel's, which all
// say 4096) leaves blocks reserved past the end. Truncating to the size the file has releases them
// on ext4 and tmpfs alike. False if that failed, which leaves the output whole, only larger on the
// disk than it need be.
bool release_unused(const output_file& out)
{
    struct stat st;
    if (out.reserved == 0 || ::fstat(out.stream.fd, &st) != 0 || st.st_size >= out.reserved)
        return true;
    return ::ftruncate(out.stream.fd, st.st_size) == 0;
}

} // namespace

void prepare_signals()
{
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    sigemptyset(&stop_signals);
    for (const int sig : named_stop_signals)
        sigaddset(&stop_signals, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&stop_signals, sig);

    // Installed for good: reset to the default on entry, a second signal arriving at once would
    // end the run before the handler had discarded anything.
    struct sigaction action {};
    action.sa_handler = discard_and_stop;
    action.sa_mask = stop_signals;
    for (int sig = 1; sig < NSIG; ++sig) {
        // Ignored by whoever started us (nohup, a background job): that was a choice.
        struct sigaction inherited {};
        if (sigismember(&stop_signals, sig) == 1 && ::sigaction(sig, nullptr, &inherited) == 0 &&
            inherited.sa_handler != SIG_IGN)
            ::sigaction(sig, &action, nullptr);
    }
}

bool is_standard_output(const char* path)
{
    // Open only for reading (1<file), standard output writes nowhere: the path is a file like any.
    const int access = ::fcntl(STDOUT_FILENO, F_GETFL) & O_ACCMODE;
    struct stat named;
    struct stat standard_output;
    return (access == O_WRONLY || access == O_RDWR) && ::stat(path, &named) == 0 &&
           ::fstat(STDOUT_FILENO, &standard_output) == 0 && same_file(named, standard_output);
}

open_result open_output(output_file& out, const char* path, const struct stat& source,
                        bool to_standard_output)
{
    out.path = path;
    out.directory = -1;
    out.reserved = 0;
    if (to_standard_output)
        return take_standard_output(out, source);

    // An existing file without O_CREAT, which fs.protected_regular refuses for another user's
    // file in a sticky directory. No open that may wait runs with the stop signals held: opening a
    // FIFO waits for its reader, and Ctrl-C must still end the run there.
    out.stream.fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (out.stream.fd < 0 && errno == ENOENT) {
        const int error = create(out, source);
        if (error == 0) {
            reserve(out, source);
            return open_result::opened;
        }
        if (error != EEXIST)
            return open_result::failed;
        // A name that appeared meanwhile, or a dangling symbolic link, whose target this creates
        // as fopen's "wb" would. Either may be another's: emptied on failure, never removed.
        out.stream.fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, creation_mode(source));
    }
    if (out.stream.fd < 0)
        return open_result::failed;
    const open_result taken = take_existing(out, source);
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
    // Some file systems report a failed write only here.
    const bool closed = ::close(std::exchange(out.stream.fd, -1)) == 0;
    if (!closed)
        discard(out);
    forget(out);
    release_signals(previous);
    return closed;
}

void abandon_output(output_file& out)
{
    const sigset_t previous = hold_signals();
    discard(out);
    ::close(std::exchange(out.stream.fd, -1));
    forget(out);
    release_signals(previous);
}

} // namespace morvask
