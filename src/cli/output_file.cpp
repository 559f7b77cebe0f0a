#include "cli/output_file.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace morvask {

namespace {

// The signals by which a user or the system asks a run to stop. SIGKILL cannot be caught, and
// SIGSEGV and its kind mean a fault, whose core dump is worth more than a tidy directory.
constexpr int terminating_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2};

// The output that a terminating signal discards, if any. It, and the fields of the output that
// discard() reads, change only while those signals are held, so the handler always sees an output
// that is wholly this run's, with a descriptor still open; and the process dies when the handler
// returns, so the main flow never acts on an output that the handler has discarded.
std::atomic<const output_file*> unfinished;
static_assert(std::atomic<const output_file*>::is_always_lock_free, "read by a signal handler");

sigset_t terminating_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : terminating_signals)
        sigaddset(&set, sig);
    return set;
}

// While the terminating signals are held, one that arrives waits, and then finds the output either
// fully handed over or not at all. Plain calls, not a guard object: a destructor would give every
// call inside its scope an unwinding path, and bring the C++ runtime into the binary with it.
sigset_t hold_signals()
{
    const sigset_t set = terminating_set();
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &set, &previous);
    return previous;
}

void release_signals(const sigset_t& previous)
{
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Emptied through the descriptor while one is open, so that it is this file whatever the path
// names by now. Only async-signal-safe calls: the signal handler discards through here too. False
// when that failed, which no caller can mend: the run is failing already.
bool discard(const output_file& out)
{
    if (out.created)
        return ::unlink(out.path) == 0;
    if (out.regular && out.fd >= 0)
        return ::ftruncate(out.fd, 0) == 0;
    if (out.regular)
        return ::truncate(out.path, 0) == 0;
    return true;
}

void discard_and_die(int sig)
{
    if (const output_file* out = unfinished.load())
        discard(*out);
    // SA_RESETHAND has restored the default action, and the signal raised again waits until the
    // handler returns: then it ends the process, as it would have without us.
    ::raise(sig);
}

// The part of opening that creates, checks and empties, with the terminating signals held, so that
// a file this run creates is discarded by a signal from its first moment.
open_result open_held(output_file& out, bool missing, const struct stat& source)
{
    // Never execute bits, and never more open than the source: a private source stays private.
    const mode_t mode =
        S_IRUSR | S_IWUSR | (source.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH));
    const char* const path = out.path;
    if (missing) {
        out.fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        out.created = out.fd >= 0;
        // A name that appeared meanwhile, or a dangling symbolic link, whose target this creates
        // as fopen's "wb" would.
        if (out.fd < 0 && errno == EEXIST)
            out.fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, mode);
    }
    if (out.fd < 0)
        return open_result::failed;

    struct stat st;
    if (::fstat(out.fd, &st) != 0) {
        abandon_output(out);
        return open_result::failed;
    }
    struct stat standard_output;
    out.standard_output = ::fstat(STDOUT_FILENO, &standard_output) == 0 &&
                          st.st_dev == standard_output.st_dev &&
                          st.st_ino == standard_output.st_ino;
    if (st.st_dev == source.st_dev && st.st_ino == source.st_ino) {
        ::close(out.fd);
        return open_result::same_file;
    }
    out.regular = S_ISREG(st.st_mode);
    unfinished = &out;
    // Only a file with data in it: on ext4 truncating even an empty file makes close wait for
    // the data to reach the disk.
    if (out.regular && st.st_size > 0 && ::ftruncate(out.fd, 0) != 0) {
        unfinished = nullptr;
        ::close(out.fd);
        return open_result::failed;
    }
    return open_result::opened;
}

// A source shorter than its size promised (a file that shrank, or one of the kernel's, which all
// say 4096) leaves blocks reserved past the end. Truncating to the size the file has releases them
// on ext4 and tmpfs alike. False if that failed, which leaves the output whole, only larger on the
// disk than it need be.
bool release_unused(const output_file& out)
{
    struct stat st;
    if (out.reserved == 0 || ::fstat(out.fd, &st) != 0 || st.st_size >= out.reserved)
        return true;
    return ::ftruncate(out.fd, st.st_size) == 0;
}

} // namespace

void prepare_signals()
{
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = discard_and_die;
    action.sa_mask = terminating_set(); // one handler at a time
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    for (const int sig : terminating_signals) {
        // Ignored by whoever started us (nohup, a background job): that was a choice.
        struct sigaction inherited {};
        if (::sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
            ::sigaction(sig, &action, nullptr);
    }
}

open_result open_output(output_file& out, const char* path, const struct stat& source)
{
    // An existing file without O_CREAT, which fs.protected_regular refuses for another user's
    // file in a sticky directory. Before the hold: opening a FIFO waits for its reader.
    out = {path, ::open(path, O_WRONLY | O_CLOEXEC), false, false, false, 0};
    const bool missing = out.fd < 0 && errno == ENOENT;
    const sigset_t previous = hold_signals();
    const open_result result = open_held(out, missing, source);
    release_signals(previous);
    // The blocks for the whole output at once, when the source tells its size: the file system
    // then allocates in few large extents instead of at every flush. If it cannot, the writes
    // still work, or report a full disk.
    if (result == open_result::opened && out.regular && S_ISREG(source.st_mode) &&
        source.st_size > 0 && ::fallocate(out.fd, FALLOC_FL_KEEP_SIZE, 0, source.st_size) == 0)
        out.reserved = source.st_size;
    return result;
}

bool finish_output(output_file& out, destination_stream& stream)
{
    if (!flush(stream)) {
        abandon_output(out);
        return false;
    }
    release_unused(out);
    const sigset_t previous = hold_signals();
    // Some file systems report a failed write only here.
    const bool closed = ::close(std::exchange(out.fd, -1)) == 0;
    if (!closed)
        discard(out);
    unfinished = nullptr;
    release_signals(previous);
    return closed;
}

void abandon_output(output_file& out)
{
    const sigset_t previous = hold_signals();
    discard(out);
    ::close(std::exchange(out.fd, -1));
    unfinished = nullptr;
    release_signals(previous);
}

} // namespace morvask
