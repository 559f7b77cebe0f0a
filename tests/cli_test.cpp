#include "codec/fd_stream.hpp"
#include "test_support.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <map>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sched.h>
#include <set>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using morvask::encode_table;
using morvask::stream_buffer_size;
using clock_type = std::chrono::steady_clock;

// The tool is built as the tests are.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
constexpr bool address_sanitizer = __has_feature(address_sanitizer);
#else
constexpr bool address_sanitizer = false;
#endif

namespace {

const std::string usage =
    "Encode\nmorvask -e source-file dest-file\nDecode\nmorvask -d source-file dest-file\n";
// The usage text unchanged, then the rest of the synopsis, what the tool is, and its manual.
const std::string help = usage + R"(Also
morvask -E source-file dest-file    the same as -e
morvask -D source-file dest-file    the same as -d
morvask -h|--help                   this text
morvask --version                   the version

morvask writes dest-file as source-file with every byte replaced through a
fixed table of 256 entries, or replaced back. It scrambles; it is not
encryption: there is no key, and anyone with morvask can restore the file.
An existing dest-file keeps its contents until the new ones are complete.

Manual: man morvask, or from the source tree after the release build:
man -l build/release/morvask.1.gz
)";

struct result {
    std::string out;
    std::string err;
    int status; // the exit status, or 128 + the signal the tool died of
    int raw;    // as waitpid gives it, which tells the two apart
};

// Calls that the tool must survive failing, as some file systems fail them.
enum class refused { none, unnamed_files, close, status_flags };

struct run_options {
    fs::path cwd = {};
    rlim_t file_size_limit = RLIM_INFINITY;
    uid_t user = 0;                 // other than root: run as this user
    int ignored_signal = 0;         // ignored from the start, as under nohup
    int blocked_signal = 0;         // blocked from the start, as some supervisors leave it
    int standard_output_flags = 0;  // O_NONBLOCK, as another program may leave it
    mode_t umask = 022;             // 0 shows every permission bit the tool asks for
    bool own_pid_namespace = false; // the tool is its first process, as in a container
    bool no_proc = false;           // in a mount namespace without /proc, as a bare chroot
    int cpu = -1;                   // the only CPU the tool may run on
    refused refuse = refused::none;
    unsigned short terminal = 0; // standard output a pseudo-terminal this wide, not a pipe
    const char* term = nullptr;  // TERM, if not the test's own; unset if empty
    std::vector<std::pair<int, int>> fds = {}; // the test's descriptor, and the tool's number
};

// A seccomp filter: the refused call fails with EOPNOTSUPP (O_TMPFILE, as vfat and some FUSE and
// network file systems answer it), EIO (close, of the destination's descriptor and later ones,
// past the dynamic loader's and the source's) or EPERM (fcntl's F_GETFL).
bool refuse_in_child(refused what)
{
    struct refusal {
        int call;
        std::size_t argument;
        __u16 test;
        __u32 value;
        __u32 error;
    };
    const refusal refusals[] = {
        {__NR_openat, 2, BPF_JSET, O_TMPFILE & ~O_DIRECTORY, EOPNOTSUPP},
        {__NR_close, 0, BPF_JGE, 4, EIO},
#ifdef __NR_fcntl64
        {__NR_fcntl64, 1, BPF_JEQ, F_GETFL, EPERM},
#else
        {__NR_fcntl, 1, BPF_JEQ, F_GETFL, EPERM},
#endif
    };
    const refusal& r = refusals[static_cast<int>(what) - 1];
    const sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(r.call), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                 static_cast<__u32>(offsetof(seccomp_data, args) + r.argument * sizeof(__u64))),
        BPF_JUMP(static_cast<__u16>(BPF_JMP | BPF_K | r.test), r.value, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | r.error),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{std::size(filter), const_cast<sock_filter*>(filter)};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The calling thread runs on that CPU alone; on any, for -1.
void pin_to_cpu(int cpu)
{
    if (cpu < 0)
        return;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(static_cast<std::size_t>(cpu), &only);
    ::sched_setaffinity(0, sizeof only, &only);
}

// The child's part of start(), up to exec; 126 where the set-up fails.
void become_tool(const run_options& options, int out, int err)
{
    ::umask(options.umask);
    pin_to_cpu(options.cpu);
    if (options.term != nullptr &&
        (*options.term ? ::setenv("TERM", options.term, 1) : ::unsetenv("TERM")) != 0)
        ::_exit(126);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0)
        ::_exit(126);
    if (options.no_proc && (::unshare(CLONE_NEWNS) != 0 ||
                            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                            ::umount2("/proc", MNT_DETACH) != 0))
        ::_exit(126);
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    // SIGQUIT dumps core: not into the test's folder, nor, under qemu-user, with a word on
    // standard error.
    const rlimit no_core{0, 0};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0 || ::setrlimit(RLIMIT_CORE, &no_core) != 0)
        ::_exit(126);
    // As an interactive shell starts it, whatever the test runner ignores or blocks.
    for (int sig = 1; sig < NSIG; ++sig)
        ::signal(sig, SIG_DFL);
    sigset_t blocked;
    sigemptyset(&blocked);
    if (options.blocked_signal != 0)
        sigaddset(&blocked, options.blocked_signal);
    ::sigprocmask(SIG_SETMASK, &blocked, nullptr);
    if (options.ignored_signal != 0)
        ::signal(options.ignored_signal, SIG_IGN);
    if (options.user != 0 && (::setgid(options.user) != 0 || ::setuid(options.user) != 0))
        ::_exit(126);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    // Without close-on-exec, which dup2 onto the same number would leave.
    for (const auto& [from, to] : options.fds)
        from == to ? ::fcntl(to, F_SETFD, 0) : ::dup2(from, to);
    ::fcntl(STDOUT_FILENO, F_SETFL,
            ::fcntl(STDOUT_FILENO, F_GETFL) | options.standard_output_flags);
    // Descriptors the test runner leaves open would move the destination's.
    if (options.refuse != refused::none &&
        (::close_range(3, ~0u, 0) != 0 || !refuse_in_child(options.refuse)))
        ::_exit(126);
}

struct running {
    pid_t pid;
    int out;
    int err;
};

// Starts the built tool under another name, to show that it always calls itself morvask.
running start(const std::vector<std::string>& args, const run_options& options = {})
{
#ifdef MORVASK_LAUNCHER
    // qemu-user's -0 names the program it runs.
    std::vector<const char*> argv{MORVASK_LAUNCHER, "-0", "renamed-tool", MORVASK_BINARY};
    const char* const program = argv[0];
#else
    std::vector<const char*> argv{"renamed-tool"};
    const char* const program = MORVASK_BINARY;
#endif
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    const winsize size{24, options.terminal, 0, 0};
    if ((options.terminal > 0 ? ::openpty(&out[0], &out[1], nullptr, nullptr, &size)
                              : ::pipe2(out, O_CLOEXEC)) != 0 ||
        ::fcntl(out[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(out[1], F_SETFD, FD_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0)
        return {-1, -1, -1};

    // Raw clone, as fork with one flag more: glibc has no wrapper that copies the stack.
    const auto pid =
        options.own_pid_namespace
            ? static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, 0, 0, 0, 0))
            : ::fork();
    if (pid == 0) {
        become_tool(options, out[1], err[1]);
        ::execvp(program, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return {-1, -1, -1};
    }
    return {pid, out[0], err[0]};
}

result finish(const running& run)
{
    result r{test::drain(run.out), test::drain(run.err), -1, -1};
#ifdef MORVASK_LAUNCHER
    // The emulator's own line when the tool dies of a signal that dumps core; not the tool's.
    const std::string emulator_line = "qemu: uncaught target signal ";
    if (r.err.starts_with(emulator_line))
        r.err.erase(0, r.err.find('\n') + 1);
#endif
    ::waitpid(run.pid, &r.raw, 0);
    r.status = WIFEXITED(r.raw) ? WEXITSTATUS(r.raw) : 128 + WTERMSIG(r.raw);
    return r;
}

// Two of the CPUs this test may use, or -1 for each that it lacks.
std::pair<int, int> two_cpus()
{
    cpu_set_t allowed;
    std::vector<int> found;
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        for (int cpu = 0; cpu < CPU_SETSIZE && found.size() < 2; ++cpu)
            if (CPU_ISSET(static_cast<std::size_t>(cpu), &allowed))
                found.push_back(cpu);
    found.resize(2, -1);
    return {found[0], found[1]};
}

// Sends sig again and again until the process has ended, from a thread on another CPU than the
// process's, so that signals land while an earlier one is being delivered.
void send_until_ended(pid_t pid, int sig, int cpu)
{
    std::thread([=] {
        pin_to_cpu(cpu);
        siginfo_t ended{};
        for (int round = 0; round < 100'000 && ended.si_pid == 0; ++round) {
            for (int i = 0; i < 100; ++i)
                ::kill(pid, sig);
            ::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT);
        }
    }).join();
}

// Names, kinds and contents of everything in a directory, to show that a run touched nothing.
std::map<std::string, std::string> snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const fs::file_status st = entry.symlink_status();
        entries[entry.path().filename()] =
            fs::is_symlink(st)        ? "link to " + fs::read_symlink(entry).string()
            : fs::is_regular_file(st) ? "file " + test::read_file(entry.path())
                                      : "other";
    }
    return entries;
}

// How much the run has written to the file it holds open in dir, named or not yet, and the link to
// it in /proc.
std::pair<std::uintmax_t, fs::path> written(pid_t pid, const fs::path& dir)
{
    std::pair<std::uintmax_t, fs::path> output;
    std::error_code ignored;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored))
        if (struct stat st{}; fs::read_symlink(fd, ignored).parent_path() == dir &&
                              ::stat(fd.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            output = std::max(output, {static_cast<std::uintmax_t>(st.st_size), fd.path()});
    return output;
}

// What the test does while the tool runs.
enum class during {
    nothing,
    streams,       // feeds the FIFO "in" whole where the arguments name it; reads "fifo" whole
    reader_leaves, // opens "fifo" for reading and closes it at once
    stalls,        // feeds "in" a part, meddles and signals once half of it is out, then the rest
    watched,       // reads "fifo" a buffer at a time, reading the terminal between, then signals
    watched_then_left, // the same, then closes "fifo" where it stands
};
// What is done to the destination while the run stalls: renamed to "moved" and another file put
// at its name, given "moved" as a second name, or its name taken by another file.
enum class meddling { none, renamed, linked, taken };

// A descriptor the caller hands the tool, in place of the test's pipe where it is 1 or 2.
struct handed {
    int fd;
    std::string
        file; // in the test's folder, /dev/full, or "socket", the test holding the other end
    int flags = O_WRONLY;
    off_t offset = -1; // where the caller left it; -1 for the end
};

enum need : unsigned { root = 1, seccomp = 2, loop = 4, tmpfs = 8, overlay = 16, bindfs = 32 };

// One run of the tool as a user makes it, in a folder of src (the data), old (longer, 0640), empty,
// hard (src's second name), soft, relative (links to src and /dev/stdout), dangling (a link to
// target, not there), sub/, setgid/ (of group 1), null (/dev/null's second node), the FIFOs in and
// fifo, and what the case names or needs beyond that: "-" (the data), enc, big, mounts, loops.
struct cli_case {
    std::string name;
    std::vector<std::string> args;
    run_options run = {};
    std::vector<handed> fds = {};
    std::string before = ""; // the caller's own bytes, in the first handed file before the run
    std::string after = "";  // and through the same descriptor after it
    unsigned needs = 0;
    mode_t source_mode = 0;                                   // src's, if not 0644
    std::optional<std::pair<uid_t, gid_t>> source_owner = {}; // src's, if not root's
    bool source_acl = false; // src with an access ACL: its group nothing, nobody and the mask read
    during what = during::nothing;
    int sig = 0;
    bool repeated = false; // as a second Ctrl-C does, or timeout's signal to the child, then group
    meddling meddled = meddling::none;

    // What standard output's pipe carries, <progress> for the figures at a terminal; there and in
    // files, <data>, <encoded>, <encoded@N> (from byte N), <encoded PATH> (PATH's, before the run).
    std::string out = "";
    int status = 0;
    // What files hold after the run, or "<absent>"; "socket" and "fifo": what the test received.
    std::vector<std::pair<std::string, std::string>> files = {};
    mode_t mode = 0;                    // of the first of the files
    bool untouched = false;             // the folder as it was
    std::optional<bool> announced = {}; // whether a watcher heard the destination closed by name
    // Whether the destination became a new file, with its owner (1:2), ACL and user.mark kept.
    std::optional<bool> replaced = {};
};

void PrintTo(const cli_case& c, std::ostream* out)
{
    *out << c.name << ": morvask " << testing::PrintToString(c.args);
}

bool names(const cli_case& c, const char* name)
{
    return std::ranges::find(c.args, name) != c.args.end();
}

// Not a whole number of the tool's buffers, and more than two of them.
constexpr std::size_t data_size = 4 * stream_buffer_size + 1;
const std::string& data()
{
    static const std::string bytes = test::random_bytes(data_size);
    return bytes;
}

// The source that the watched runs read slowly enough to show progress.
constexpr std::size_t big_size = 4 << 20;

// text with each <...> of cli_case replaced by the bytes it stands for.
std::string expand(const std::string& text, const fs::path& dir)
{
    static const std::regex token("<(data|encoded)(@([0-9]+)| ([^>]+))?>");
    std::string expanded;
    auto at = text.cbegin();
    for (std::sregex_iterator it(text.begin(), text.end(), token), end; it != end; ++it) {
        const std::smatch& m = *it;
        expanded.append(at, m[0].first);
        const std::string bytes = m[4].matched ? test::read_file(dir / m[4].str())
                                               : data().substr(m[3].matched ? std::stoul(m[3]) : 0);
        expanded += m[1] == "data" ? bytes : test::substitute(encode_table, bytes);
        at = m[0].second;
    }
    return expanded.append(at, text.cend());
}

// What a file replaced whole keeps: owner, group, mode, ACL and an attribute of the user's; and,
// apart, its inode, which it does not keep.
std::pair<std::string, ino_t> attributes(const fs::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::string kept = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                       std::to_string(st.st_mode);
    for (const char* name : {"system.posix_acl_access", "user.mark"}) {
        char value[256];
        const ssize_t size = ::getxattr(path.c_str(), name, value, sizeof value);
        kept.append(" ").append(value, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
    }
    return {kept, st.st_ino};
}

// Compares without printing megabytes: the sizes, and the bytes where they first differ.
testing::AssertionResult same(const std::string& got, const std::string& expected)
{
    if (got == expected)
        return testing::AssertionSuccess();
    const auto at =
        static_cast<std::size_t>(std::ranges::mismatch(got, expected).in1 - got.begin());
    return testing::AssertionFailure()
           << got.size() << " bytes, not " << expected.size() << "; from byte " << at << ", "
           << testing::PrintToString(got.substr(at, 32)) << " for "
           << testing::PrintToString(expected.substr(at, 32));
}

// Binary units with three figures, as pv and dd status=progress show them.
std::string in_units(double value)
{
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB"};
    std::size_t unit = 0;
    for (; value >= 1024 && unit + 1 < std::size(units); ++unit)
        value /= 1024;
    char text[32];
    std::snprintf(text, sizeof text, "%.*f %s",
                  unit == 0 || value >= 100 ? 0
                  : value >= 10             ? 1
                                            : 2,
                  value, units[unit]);
    return text;
}

// One rewrite of the progress line, the tool having read done bytes and run for at most seconds:
// the bytes, the size and the percentage exactly, as many as fit before the terminal's last
// column, and a rate and a time left that the clock allows.
void check_rewrite(const std::string& line, std::uint64_t done, std::size_t columns, double seconds)
{
    const auto size = static_cast<double>(big_size);
    const std::size_t room = columns - 1;
    std::string fitting = "Encode...";
    char figures[2][48];
    std::snprintf(figures[0], sizeof figures[0], " %s",
                  in_units(static_cast<double>(done)).c_str());
    std::snprintf(figures[1], sizeof figures[1], " of %s (%u%%)", in_units(size).c_str(),
                  static_cast<unsigned>(done * 100 / big_size));
    for (const std::string figure : figures) {
        if (fitting.size() + figure.size() > room)
            break;
        fitting += figure;
    }
    EXPECT_TRUE(fitting.size() > 9 || line == fitting) << "figures where the bytes do not fit";
    static const std::regex rest(
        R"((, ([0-9.]+) (B|KiB|MiB|GiB)/s)?(, ([0-9]+):([0-9]{2}):([0-9]{2}) left)?)");
    std::smatch m;
    const std::string tail = line.substr(std::min(fitting.size(), line.size()));
    EXPECT_TRUE(line.starts_with(fitting) && std::regex_match(tail, m, rest)) << line;
    EXPECT_LE(line.size(), room) << line;
    EXPECT_TRUE(room < 79 || (m[1].matched && m[4].matched)) << line;
    if (!m[1].matched)
        return;
    // Printed with three figures: within 1 %; the first figures come after a second.
    const auto unit = std::string("BKMG").find(m[3].str()[0]);
    const double rate = std::stod(m[2]) * std::pow(1024.0, static_cast<double>(unit));
    const double fastest = static_cast<double>(done) * 1.01;
    const double slowest = static_cast<double>(done) / seconds * 0.99;
    EXPECT_TRUE(rate <= fastest && rate >= slowest)
        << line << ": not " << slowest << " to " << fastest;
    const double left =
        m[4].matched ? std::stod(m[5]) * 3600 + std::stod(m[6]) * 60 + std::stod(m[7]) : 0;
    const double bytes_left = size - static_cast<double>(done);
    EXPECT_TRUE(!m[4].matched ||
                (left >= bytes_left / fastest - 1 && left <= bytes_left / slowest + 1))
        << line;
}

// Reads "fifo" a buffer at a time, each once the tool has filled the pipe with the next: every
// rewrite of the line that the terminal shows meanwhile was made as the tool read that next
// buffer, so it tells how far it was exactly. Stops after the first rewrite where the case then
// signals or leaves; returns the rewrites, checked.
std::string watch(const cli_case& c, const running& tool, int fifo, clock_type::time_point started)
{
    const int capacity = ::fcntl(fifo, F_GETPIPE_SZ);
    std::vector<char> buffer(stream_buffer_size);
    std::string rewrites;
    int seen = 0;
    for (std::size_t received = 0; received < big_size;) {
        for (int ms = 0, ready = 0;
             ms < 5000 && ::ioctl(fifo, FIONREAD, &ready) == 0 && ready < capacity; ++ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
        std::string shown;
        pollfd ready{tool.out, POLLIN, 0};
        for (ssize_t got = 1; got > 0 && ::poll(&ready, 1, 0) == 1;) {
            got = ::read(tool.out, buffer.data(), buffer.size());
            shown.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
        static const std::regex rewrite("\r([^\r\033]*)\033\\[K");
        for (std::sregex_iterator it(shown.begin(), shown.end(), rewrite), end; it != end;
             ++it, ++seen) {
            check_rewrite((*it)[1], received + stream_buffer_size, c.run.terminal, seconds);
            rewrites += (*it)[0];
        }
        if (seen > 0 && (c.sig != 0 || c.what == during::watched_then_left))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        for (std::size_t chunk = 0; chunk < stream_buffer_size;) {
            const ssize_t got = ::read(fifo, buffer.data(), stream_buffer_size - chunk);
            if (got <= 0)
                return rewrites;
            chunk += static_cast<std::size_t>(got);
        }
        received += stream_buffer_size;
    }
    return rewrites;
}

// Every signal whose default action ends a process, as this test knows them: all but SIGKILL,
// the two that stand for a failed write, and those that report a fault in the process itself.
std::vector<int> stop_signals()
{
    const std::set<int> others = {SIGKILL, SIGSTOP, SIGTSTP,  SIGTTIN, SIGTTOU, SIGCONT,
                                  SIGCHLD, SIGURG,  SIGWINCH, SIGPIPE, SIGXFSZ, SIGSEGV,
                                  SIGBUS,  SIGFPE,  SIGILL,   SIGTRAP, SIGABRT, SIGSYS};
    std::vector<int> signals;
    for (int sig = 1; sig <= SIGRTMAX; ++sig)
        if (!others.contains(sig) && (sig < 32 || sig >= SIGRTMIN))
            signals.push_back(sig);
    return signals;
}

class Cli : public testing::TestWithParam<cli_case> {
  protected:
    test::temp_dir dir;
    std::vector<fs::path> mounts; // taken down at the end, last first

    ~Cli() override
    {
        for (auto at = mounts.rbegin(); at != mounts.rend(); ++at)
            ::umount2(at->c_str(), MNT_DETACH);
        for (const char* loop : {"loop", "loop2"})
            if (fs::is_symlink(dir / loop))
                std::ignore =
                    std::system(("losetup -d " + fs::read_symlink(dir / loop).string()).c_str());
    }

    bool mount(const char* type, const std::string& at, const std::string& options)
    {
        fs::create_directories(dir / at);
        if (::mount(type, (dir / at).c_str(), type, 0, options.c_str()) != 0)
            return false;
        mounts.push_back(dir / at);
        return true;
    }

    // The folder the case runs in; why it cannot run here, or "".
    std::string prepare(const cli_case& c);
    // While the tool runs, the source fed part of its data, and the output half written.
    void stall(const cli_case& c, const running& tool);
};

std::string Cli::prepare(const cli_case& c)
{
    const bool root = ::geteuid() == 0;
    if (!root && ((c.needs & ~need::seccomp) != 0 || c.run.user != 0 || c.run.no_proc))
        return "needs root";
    if ((c.needs & need::seccomp) != 0) {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(refuse_in_child(refused::close) ? 0 : 1);
        int status = -1;
        ::waitpid(pid, &status, 0);
        if (status != 0)
            return "seccomp filters cannot be set here (qemu-user keeps them to itself)";
    }
    if (c.run.no_proc && address_sanitizer)
        return "AddressSanitizer needs /proc";
#ifdef MORVASK_LAUNCHER
    if (c.sig > SIGRTMAX - 2)
        return "qemu-user keeps the last two real-time signals for itself";
#endif
    for (const std::string& arg : c.args)
        if (arg.starts_with("/sys/") && !fs::exists(arg))
            return arg + " is not here";
    test::write_file(dir / "src", data());
    if (names(c, "-"))
        test::write_file(dir / "-", data());
    if (names(c, "enc"))
        test::write_file(dir / "enc", test::substitute(encode_table, data()));
    // Longer than any output, to show that what was there goes.
    test::write_file(dir / "old", std::string(names(c, "old") ? data_size + 1000 : 12, 'o'));
    test::write_file(dir / "empty", "");
    if (c.what == during::watched || c.what == during::watched_then_left)
        test::write_file(dir / "big", test::random_bytes(big_size));
    ::chmod((dir / "old").c_str(), 0640);
    fs::create_hard_link(dir / "src", dir / "hard");
    fs::create_symlink("src", dir / "soft");
    fs::create_symlink("target", dir / "dangling");
    fs::create_symlink("old", dir / "linked");
    if (names(c, "twin"))
        fs::create_hard_link(dir / "old", dir / "twin");
    if (names(c, "sticky/theirs")) {
        fs::create_directory(dir / "sticky");
        ::chmod((dir / "sticky").c_str(), 01777);
        test::write_file(dir / "sticky/theirs", "theirs");
    }
    fs::create_symlink(fs::path("/dev/stdout").lexically_relative(dir.path), dir / "relative");
    for (const char* name : {"sub", "setgid"})
        fs::create_directory(dir / name);
    for (const char* name : {"in", "fifo"})
        ::mkfifo((dir / name).c_str(), 0600);
    if (root) {
        struct stat null {};
        ::stat("/dev/null", &null);
        ::mknod((dir / "null").c_str(), S_IFCHR | 0600, null.st_rdev);
        ::chown((dir / "setgid").c_str(), static_cast<uid_t>(-1), 1);
        ::chmod((dir / "setgid").c_str(), 02777);
    }
    if (c.run.user != 0) {
        ::chmod(dir.path.c_str(), 0777);
        if (c.source_owner)
            ::chown((dir / "src").c_str(), c.source_owner->first, c.source_owner->second);
    }
    if (c.source_mode != 0)
        ::chmod((dir / "src").c_str(), c.source_mode);
    // Version 2; the owner rw, nobody (65534) r, the group nothing, the mask r, others nothing.
    static const char acl[] =
        "\2\0\0\0\1\0\6\0\xff\xff\xff\xff\2\0\4\0\xfe\xff\0\0\4\0\0\0\xff\xff\xff\xff"
        "\x10\0\4\0\xff\xff\xff\xff\x20\0\0\0\xff\xff\xff\xff";
    if (c.source_acl &&
        ::setxattr((dir / "src").c_str(), "system.posix_acl_access", acl, sizeof acl - 1, 0) != 0)
        return "no ACL here";
    // The same, but nobody may write and the mask lets it.
    static const char writable[] =
        "\2\0\0\0\1\0\6\0\xff\xff\xff\xff\2\0\6\0\xfe\xff\0\0\4\0\0\0\xff\xff\xff\xff"
        "\x10\0\6\0\xff\xff\xff\xff\x20\0\0\0\xff\xff\xff\xff";
    const std::string destination = c.replaced ? (dir / c.args.back()).string() : "";
    if (c.replaced && (::chown(destination.c_str(), 1, 2) != 0 ||
                       ::setxattr(destination.c_str(), "user.mark", "kept", 4, 0) != 0 ||
                       ::setxattr(destination.c_str(), "system.posix_acl_access", writable,
                                  sizeof writable - 1, 0) != 0))
        return "no attributes here";
    if ((c.needs & need::loop) != 0) {
        test::write_file(dir / "img", test::random_bytes(1 << 16));
        // Two loop devices over img, and a second node of the first.
        if (std::system(("cd " + dir.path.string() +
                         " && ln -s \"$(losetup -f --show img)\" loop && ln -s \"$(losetup -f "
                         "--show img)\" loop2 && mknod node b $(stat -L -c '0x%t 0x%T' loop)")
                            .c_str()) != 0)
            return "no loop device here";
    }
    if (names(c, "p3/self/fd/1") && !mount("proc", "p3", ""))
        return "no second proc mount here";
    if (names(c, "dirs/self/fd/1"))
        fs::create_directories(dir / "dirs/self/fd");
    if (names(c, "bound")) {
        test::write_file(dir / "bound", "");
        if (::mount((dir / "old").c_str(), (dir / "bound").c_str(), nullptr, MS_BIND, nullptr) != 0)
            return "no bind mount here";
        mounts.push_back(dir / "bound");
    }
    if ((c.needs & need::tmpfs) != 0) {
        if (!mount("tmpfs", "full", "size=64k") || !mount("tmpfs", "other", "size=64k"))
            return "no tmpfs mount here";
        // Two files alike in all but their file system: numbered alike, of one size and times.
        struct stat a {};
        struct stat b {};
        const timespec times[] = {{1, 0}, {1, 0}};
        for (int tries = 0; tries < 100 && (tries == 0 || a.st_ctim.tv_nsec != b.st_ctim.tv_nsec);
             ++tries) {
            test::write_file(dir / "full/x", "look");
            test::write_file(dir / "other/x", "like");
            for (auto [name, st] : {std::pair{"full/x", &a}, {"other/x", &b}}) {
                ::utimensat(AT_FDCWD, (dir / name).c_str(), times, 0);
                ::stat((dir / name).c_str(), st);
            }
        }
        if (c.args.back() == "full/x" &&
            (a.st_ino != b.st_ino || a.st_ctim.tv_sec != b.st_ctim.tv_sec ||
             a.st_ctim.tv_nsec != b.st_ctim.tv_nsec))
            return "no two files alike on two tmpfs mounts here";
        test::write_file(dir / "full/old", "older output");
    }
    if ((c.needs & (need::overlay | need::bindfs)) != 0) {
        for (const char* folder : {"lower", "upper", "work", "mirror"})
            fs::create_directories(dir / folder);
        test::write_file(dir / "lower/f", data());
        const std::string at = dir.path.string();
        if ((c.needs & need::overlay) != 0 &&
            !mount("overlay", "merged",
                   "lowerdir=" + at + "/lower,upperdir=" + at + "/upper,workdir=" + at + "/work"))
            return "no overlay mount here";
        // Copied up: merged/f now shows upper/f under lower/f's inode number; lower/g stays.
        if (names(c, "lower/g"))
            fs::create_hard_link(dir / "lower/f", dir / "lower/g");
        if (names(c, "upper/f") || names(c, "lower/g"))
            test::write_file(dir / "merged/f", data());
        if ((c.needs & need::bindfs) != 0) {
            if (std::system(("bindfs " + at + "/lower " + at + "/mirror 2>/dev/null").c_str()) != 0)
                return "no bindfs here (package bindfs, and /dev/fuse)";
            mounts.push_back(dir / "mirror");
            // The mirror now holds the file's times of before it was written again.
            std::ignore = fs::file_size(dir / "mirror/f");
            test::write_file(dir / "lower/f", data());
        }
    }
    return "";
}

void Cli::stall(const cli_case& c, const running& tool)
{
    const fs::path destination = dir / c.args.back();
    const bool existed = fs::exists(destination);
    const int feed = ::open((dir / "in").c_str(), O_WRONLY | O_CLOEXEC);
    const std::size_t first_part = 2 * stream_buffer_size;
    ASSERT_EQ(::write(feed, data().data(), first_part), static_cast<ssize_t>(first_part));
    for (int tries = 0; tries < 1000 && written(tool.pid, dir.path).first < first_part / 2; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto [size, output] = written(tool.pid, dir.path);
    ASSERT_GE(size, first_part / 2) << "the run never got going";
    EXPECT_EQ(fs::exists(destination), existed) << "named before it is complete";
    if (c.meddled == meddling::renamed)
        fs::rename(existed ? destination : fs::read_symlink(output), dir / "moved");
    if (c.meddled == meddling::renamed || c.meddled == meddling::taken)
        test::write_file(destination, "precious");
    if (c.meddled == meddling::linked) {
        ASSERT_EQ(::linkat(AT_FDCWD, output.c_str(), AT_FDCWD, (dir / "moved").c_str(),
                           AT_SYMLINK_FOLLOW),
                  0);
    }
    if (c.repeated)
        send_until_ended(tool.pid, c.sig, two_cpus().second);
    else if (c.sig != 0)
        ::kill(tool.pid, c.sig);
    if (c.sig == 0 || c.run.ignored_signal == c.sig)
        std::ignore = ::write(feed, data().data() + first_part, data().size() - first_part);
    ::close(feed);
}

TEST_P(Cli, Runs)
{
    const cli_case& c = GetParam();
    if (const std::string why = prepare(c); !why.empty())
        GTEST_SKIP() << why;
    run_options options = c.run;
    options.cwd = dir / c.run.cwd;
    if (c.repeated)
        options.cpu = two_cpus().first;
    // What the case expects, read before the run changes it.
    std::string out = expand(c.out, dir.path);
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& [name, holds] : c.files)
        files.emplace_back(name, expand(holds, dir.path));
    if (!c.fds.empty() && !c.before.empty())
        test::write_file(dir / c.fds.front().file, c.before);
    int sockets[2] = {-1, -1};
    for (const handed& h : c.fds) {
        int fd = -1;
        if (h.file != "socket")
            fd = ::open((dir / h.file).c_str(), h.flags | O_CREAT | O_CLOEXEC, 0644);
        else if (sockets[0] >= 0 ||
                 ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) == 0)
            fd = sockets[0];
        ASSERT_GE(fd, 0) << h.file;
        if (h.file != "socket")
            ::lseek(fd, h.offset < 0 ? 0 : h.offset, h.offset < 0 ? SEEK_END : SEEK_SET);
        options.fds.emplace_back(fd, h.fd);
    }
    const auto before = c.untouched ? snapshot(dir.path) : std::map<std::string, std::string>{};
    const auto kept =
        c.replaced ? attributes(dir / c.args.back()) : std::pair<std::string, ino_t>{};
    const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ::inotify_add_watch(watcher, dir.path.c_str(), IN_CLOSE_WRITE);
    const auto previous_sigpipe = ::signal(SIGPIPE, SIG_IGN); // a tool that died early fails
    const clock_type::time_point started = clock_type::now();
    const running tool = start(c.args, options);
    if (tool.pid < 0)
        GTEST_SKIP() << "cannot start the tool so here: " << std::strerror(errno);
    // The tool holds its own; the test keeps the first, to write after the run.
    for (std::size_t i = c.after.empty() ? 0 : 1; i < options.fds.size(); ++i)
        ::close(options.fds[i].first);

    std::string through_socket, through_fifo, shown;
    // What the test feeds the tool, and reads from it, meanwhile.
    const bool streams = c.what == during::streams;
    std::thread helpers[] = {
        std::thread([&] {
            if (sockets[0] >= 0)
                through_socket = test::drain(::dup(sockets[1]));
        }),
        std::thread([&] {
            for (ssize_t sent = 0, at = 0; sockets[0] >= 0 && c.fds.front().fd == STDIN_FILENO &&
                                           at < std::ssize(data()) && sent >= 0;
                 at += sent)
                sent = ::send(sockets[1], data().data() + at, data().size() - std::size_t(at),
                              MSG_NOSIGNAL);
            ::shutdown(sockets[1], SHUT_WR);
        }),
        std::thread([&] {
            if (streams && names(c, "in"))
                test::write_file(dir / "in", data());
        }),
        std::thread([&] {
            if (streams && names(c, "fifo"))
                through_fifo = test::read_file(dir / "fifo");
        }),
    };
    if (c.what == during::reader_leaves)
        ::close(::open((dir / "fifo").c_str(), O_RDONLY | O_CLOEXEC));
    if (c.what == during::stalls)
        stall(c, tool);
    if (c.what == during::watched || c.what == during::watched_then_left) {
        const int fifo = ::open((dir / "fifo").c_str(), O_RDONLY | O_CLOEXEC);
        const std::size_t words = std::strlen("Encode...");
        shown.resize(words);
        EXPECT_EQ(::read(tool.out, shown.data(), words), static_cast<ssize_t>(words));
        const std::string rewrites = watch(c, tool, fifo, started);
        shown += rewrites;
        out = std::regex_replace(out, std::regex("<progress>"), rewrites);
        if (c.sig != 0)
            ::kill(tool.pid, c.sig);
        if (c.what == during::watched_then_left)
            ::close(fifo);
        else
            test::drain(fifo);
    }
    const result r = finish(tool);
    for (std::thread& helper : helpers)
        helper.join();
    ::signal(SIGPIPE, previous_sigpipe);
    if (sockets[0] >= 0)
        ::close(sockets[1]);
    if (c.run.user != 0 && (r.status == 126 || r.status == 127))
        GTEST_SKIP() << "another user cannot reach the tool or the test's files here";
    if (!c.after.empty()) {
        EXPECT_EQ(::write(options.fds.front().first, c.after.data(), c.after.size()),
                  std::ssize(c.after));
        ::close(options.fds.front().first);
    }

    EXPECT_TRUE(same(shown + r.out, out));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, c.status);
    // Dies of the signal, but where a signal's default action cannot end it.
    EXPECT_EQ(WIFSIGNALED(r.raw), c.status > 128 && !c.run.own_pid_namespace) << r.raw;
    for (const auto& [name, holds] : files) {
        SCOPED_TRACE(name);
        struct stat st {};
        if (name == "socket" || name == "fifo") {
            EXPECT_TRUE(same(name == "socket" ? through_socket : through_fifo, holds));
        } else if (holds == "<absent>") {
            EXPECT_NE(::lstat((dir / name).c_str(), &st), 0);
        } else {
            EXPECT_TRUE(same(test::read_file(dir / name), holds));
            // Blocks reserved for more than the file came to hold are given back.
            EXPECT_EQ(::stat((dir / name).c_str(), &st), 0);
            EXPECT_LE(st.st_blocks * 512, st.st_size + 65536);
        }
    }
    if (c.mode != 0) {
        struct stat copy {};
        struct stat source {};
        ::stat((dir / c.files.front().first).c_str(), &copy);
        ::stat((dir / "src").c_str(), &source);
        EXPECT_EQ(copy.st_mode & 07777, c.mode);
        EXPECT_TRUE((copy.st_mode & S_IRWXG) == 0 || copy.st_gid == source.st_gid)
            << "group bits for group " << copy.st_gid;
    }
    EXPECT_TRUE(same(test::read_file(dir / "src"), data())) << "the source changed";
    EXPECT_TRUE(fs::is_fifo(dir / "in") && fs::is_fifo(dir / "fifo"));
    if (c.untouched) {
        EXPECT_TRUE(snapshot(dir.path) == before) << "the folder changed";
    }
    std::set<std::string> heard;
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = ::read(watcher, events, sizeof events)) > 0;)
        for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            heard.insert(event->len > 0 ? event->name : "");
            at += sizeof(inotify_event) + event->len;
        }
    ::close(watcher);
    if (c.replaced) {
        const auto [now, inode] = attributes(dir / c.args.back());
        EXPECT_EQ(now, kept.first);
        EXPECT_EQ(inode != kept.second, *c.replaced) << "a new file";
    }
    if (c.announced) {
        EXPECT_EQ(heard.contains(c.args.back()), *c.announced) << "closed by its name";
    }
}

const std::string older = "older line\n";
const std::string keep = "keep this line\n";
constexpr int appending = O_WRONLY | O_APPEND;
const run_options nobody{.user = 65534};
const run_options terminal{.terminal = 80, .term = "xterm"};
const std::string ok = "Encode...OK.\n";
const std::string cant_write_new = "Encode...Can't write new file.\n";
const std::string progress = "Encode...<progress>\rEncode...\033[K";

// A case a line, where it fits, reads as a table.
// clang-format off
std::vector<cli_case> cases()
{
    std::vector<cli_case> all = {
        // Refused: the folder as it was.
        {.name = "no_arguments", .args = {}, .out = usage, .status = 2, .untouched = true},
        {.name = "option_alone", .args = {"-e"}, .out = usage, .status = 2, .untouched = true},
        {.name = "one_path", .args = {"-e", "src"}, .out = usage, .status = 2, .untouched = true},
        {.name = "three_paths", .args = {"-e", "src", "old", "more"}, .out = usage, .status = 2, .untouched = true},
        {.name = "help", .args = {"--help"}, .out = help, .untouched = true},
        {.name = "h", .args = {"-h"}, .out = help, .untouched = true},
        {.name = "version", .args = {"--version"}, .out = "morvask " MORVASK_VERSION "\n", .untouched = true},
        {.name = "version_and_more", .args = {"--version", "src"}, .out = usage, .status = 2, .untouched = true},
        {.name = "version_to_a_full_disk", .args = {"--version"}, .fds = {{1, "/dev/full"}}, .status = 1, .untouched = true},
        {.name = "help_to_a_full_disk", .args = {"--help"}, .fds = {{1, "/dev/full"}}, .status = 1, .untouched = true},
        {.name = "usage_not_into_the_data", .args = {"-e", "/dev/stdout"}, .status = 2, .untouched = true},
        {.name = "unknown_option_first", .args = {"-%s", "missing", "no/dir/new"}, .out = "unknown option '-%s'\n", .status = 2, .untouched = true},
        {.name = "missing_source", .args = {"-e", "missing", "new"}, .out = "missing file not found.\n", .status = 1, .untouched = true},
        {.name = "empty_source_path", .args = {"-d", "", "new"}, .out = " file not found.\n", .status = 1, .untouched = true},
        {.name = "per_cent_in_a_path", .args = {"-e", "%d%s%n", "new"}, .out = "%d%s%n file not found.\n", .status = 1, .untouched = true},
        {.name = "dash_names_a_file", .args = {"-e", "-", "new"}, .run = {.cwd = "sub"}, .out = "- file not found.\n", .status = 1, .untouched = true},
        {.name = "directory_source", .args = {"-e", ".", "new"}, .out = "Can't read . file.\n", .status = 1, .untouched = true},
        {.name = "destination_in_no_folder", .args = {"-e", "src", "no/dir/new"}, .out = "Can't open no/dir/new file.\n", .status = 1, .untouched = true},
        {.name = "directory_destination", .args = {"-e", "src", "sub"}, .out = "Can't open sub file.\n", .status = 1, .untouched = true},
        {.name = "empty_destination_path", .args = {"-e", "src", ""}, .out = "Can't open  file.\n", .status = 1, .untouched = true},
        {.name = "same_file", .args = {"-e", "src", "src"}, .out = "src and src are the same file.\n", .status = 1, .untouched = true},
        {.name = "same_file_by_another_path", .args = {"-E", "src", "./src"}, .out = "src and ./src are the same file.\n", .status = 1, .untouched = true},
        {.name = "same_file_by_a_hard_link", .args = {"-d", "src", "hard"}, .out = "src and hard are the same file.\n", .status = 1, .untouched = true},
        {.name = "same_file_by_a_symbolic_link", .args = {"-D", "soft", "src"}, .out = "soft and src are the same file.\n", .status = 1, .untouched = true},
        {.name = "device_by_another_node", .args = {"-e", "/dev/null", "null"}, .needs = need::root, .out = "/dev/null and null are the same file.\n", .status = 1, .untouched = true},
        {.name = "loop_device_of_the_source", .args = {"-e", "img", "loop"}, .needs = need::loop, .out = "img and loop are the same file.\n", .status = 1, .untouched = true},
        {.name = "loop_device_as_source", .args = {"-e", "loop", "img"}, .needs = need::loop, .out = "loop and img are the same file.\n", .status = 1, .untouched = true},
        {.name = "loop_device_by_another_node", .args = {"-e", "loop", "node"}, .needs = need::loop, .out = "loop and node are the same file.\n", .status = 1, .untouched = true},
        {.name = "two_loop_devices_over_one_file", .args = {"-e", "loop", "loop2"}, .needs = need::loop, .out = "loop and loop2 are the same file.\n", .status = 1, .untouched = true},
        {.name = "overlay_view_of_the_destination", .args = {"-e", "merged/f", "lower/f"}, .needs = need::overlay, .out = "merged/f and lower/f are the same file.\n", .status = 1, .files = {{"lower/f", "<data>"}}},
        {.name = "fuse_mirror_of_the_destination", .args = {"-e", "mirror/f", "lower/f"}, .needs = need::bindfs, .out = "mirror/f and lower/f are the same file.\n", .status = 1, .files = {{"lower/f", "<data>"}}},
        {.name = "fuse_mirror_as_destination", .args = {"-e", "lower/f", "mirror/f"}, .needs = need::bindfs, .out = "lower/f and mirror/f are the same file.\n", .status = 1, .files = {{"lower/f", "<data>"}}},
        {.name = "look_alikes_on_two_file_systems", .args = {"-e", "other/x", "full/x"}, .needs = need::tmpfs, .out = ok, .files = {{"full/x", "<encoded other/x>"}}},

        // Runs that succeed; an existing destination keeps its permissions.
        {.name = "encode", .args = {"-e", "src", "old"}, .out = ok, .files = {{"old", "<encoded>"}}, .mode = 0640},
        {.name = "encode_upper_case", .args = {"-E", "src", "old"}, .out = ok, .files = {{"old", "<encoded>"}}},
        {.name = "decode", .args = {"-d", "enc", "new"}, .out = "Decode...OK.\n", .files = {{"new", "<data>"}}, .announced = true},
        {.name = "decode_upper_case", .args = {"-D", "enc", "new"}, .out = "Decode...OK.\n", .files = {{"new", "<data>"}}},
        {.name = "encode_nothing", .args = {"-e", "empty", "new"}, .out = ok, .files = {{"new", ""}}},
        {.name = "decode_nothing", .args = {"-d", "empty", "new"}, .out = "Decode...OK.\n", .files = {{"new", ""}}},
        {.name = "dash_as_source", .args = {"-e", "-", "new"}, .out = ok, .files = {{"new", "<encoded>"}}},
        {.name = "dash_as_destination", .args = {"-d", "enc", "-"}, .out = "Decode...OK.\n", .files = {{"-", "<data>"}}},
        {.name = "fifos", .args = {"-e", "in", "fifo"}, .what = during::streams, .out = ok, .files = {{"fifo", "<encoded>"}}},
        // Sources that hold less than their size says: the kernel's, one read from an offset.
        {.name = "source_shorter_than_its_size", .args = {"-e", "/sys/devices/system/cpu/online", "new"}, .out = ok, .files = {{"new", "<encoded /sys/devices/system/cpu/online>"}}},
        {.name = "source_read_from_where_it_stands", .args = {"-e", "/dev/stdin", "new"}, .fds = {{0, "src", O_RDONLY, data_size - 10}}, .out = ok, .files = {{"new", "<encoded@" + std::to_string(data_size - 10) + ">"}}},
        {.name = "to_a_device", .args = {"-d", MORVASK_BINARY, "/dev/null"}, .out = "Decode...OK.\n"},

        // The permissions of a destination the run creates: never more open than its source.
        {.name = "private", .args = {"-e", "src", "new"}, .source_mode = 0600, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0600},
        {.name = "group_reads", .args = {"-e", "src", "new"}, .source_mode = 0640, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0640},
        {.name = "less_the_umask", .args = {"-e", "src", "new"}, .source_mode = 0666, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0644},
        {.name = "executable", .args = {"-e", "src", "new"}, .source_mode = 0755, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0755},
        {.name = "executable_under_a_private_umask", .args = {"-e", "src", "new"}, .run = {.umask = 077}, .source_mode = 0755, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0700},
        {.name = "not_executable_as_the_source", .args = {"-e", "src", "new"}, .run = {.umask = 0}, .source_mode = 0644, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0644},
        {.name = "others_more_than_group", .args = {"-e", "src", "new"}, .source_mode = 0407, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0605},
        {.name = "all_under_no_umask", .args = {"-e", "src", "new"}, .run = {.umask = 0}, .source_mode = 0666, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0666},
        {.name = "executable_under_no_umask", .args = {"-e", "src", "new"}, .run = {.umask = 0}, .source_mode = 0777, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0777},
        {.name = "group_writes", .args = {"-e", "src", "new"}, .run = {.umask = 0}, .source_mode = 0620, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0620},
        // Its group nothing, user nobody and the mask read.
        {.name = "source_with_an_acl", .args = {"-e", "src", "new"}, .source_mode = 0640, .source_acl = true, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0600},
        {.name = "in_a_setgid_folder_of_another_group", .args = {"-e", "src", "setgid/new"}, .needs = need::root, .source_mode = 0640, .out = ok, .files = {{"setgid/new", "<encoded>"}}, .mode = 0640},
        {.name = "private_through_a_dangling_link", .args = {"-e", "src", "dangling"}, .run = {.umask = 0}, .source_mode = 0600, .out = ok, .files = {{"target", "<encoded>"}}, .mode = 0600},
        {.name = "no_group_through_a_dangling_link", .args = {"-e", "src", "dangling"}, .run = {.umask = 0}, .source_mode = 0640, .out = ok, .files = {{"target", "<encoded>"}}, .mode = 0600},
        // As a user who may not give the copy to the source's group, and of the user's own group.
        {.name = "group_gets_no_more_than_others", .args = {"-e", "src", "new"}, .run = {.user = 65534, .umask = 0}, .source_mode = 0624, .source_owner = std::pair{65534u, 0u}, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0604},
        {.name = "group_of_the_user", .args = {"-e", "src", "new"}, .run = nobody, .source_mode = 0640, .source_owner = std::pair{65534u, 65534u}, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0640},
        {.name = "socket_as_source", .args = {"-e", "/dev/stdin", "new"}, .fds = {{0, "socket"}}, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0600},

        // Failed runs leave no partial output; an existing destination keeps its permissions.
        {.name = "source_the_user_may_not_read", .args = {"-e", "src", "new"}, .run = nobody, .source_mode = 0600, .out = "src file not found.\n", .status = 1, .untouched = true},
        {.name = "read_fails", .args = {"-e", "/proc/self/mem", "new"}, .out = "Encode...Can't read /proc/self/mem file.\n", .status = 1, .files = {{"new", "<absent>"}}},
        {.name = "read_fails_over_a_file", .args = {"-e", "/proc/self/mem", "old"}, .out = "Encode...Can't read /proc/self/mem file.\n", .status = 1, .files = {{"old", "<data old>"}}, .mode = 0640},
        {.name = "file_size_limit", .args = {"-e", "src", "new"}, .run = {.file_size_limit = 65536}, .out = cant_write_new, .status = 1, .files = {{"new", "<absent>"}}},
        {.name = "file_size_limit_over_a_file", .args = {"-e", "src", "old"}, .run = {.file_size_limit = 65536}, .out = "Encode...Can't write old file.\n", .status = 1, .files = {{"old", "<data old>"}}, .mode = 0640},
        {.name = "full_device", .args = {"-e", "src", "/dev/full"}, .out = "Encode...Can't write /dev/full file.\n", .status = 1},
        // SIGPIPE must not end the run without a word.
        {.name = "reader_goes_away", .args = {"-e", "src", "fifo"}, .what = during::reader_leaves, .out = "Encode...Can't write fifo file.\n", .status = 1},
        {.name = "close_fails", .args = {"-e", "src", "new"}, .run = {.refuse = refused::close}, .needs = need::seccomp, .out = cant_write_new, .status = 1, .files = {{"new", "<absent>"}}, .announced = false},
        {.name = "close_fails_over_a_file", .args = {"-e", "src", "old"}, .run = {.refuse = refused::close}, .needs = need::seccomp, .out = "Encode...Can't write old file.\n", .status = 1, .files = {{"old", "<data old>"}}, .mode = 0640},
        {.name = "full_disk", .args = {"-e", "src", "full/new"}, .needs = need::tmpfs, .out = "Encode...Can't write full/new file.\n", .status = 1, .files = {{"full/new", "<absent>"}}},
        {.name = "replaced_with_what_it_was", .args = {"-e", "src", "old"}, .needs = need::root, .out = ok, .files = {{"old", "<encoded>"}}, .replaced = true},
        {.name = "second_name_written_in_place", .args = {"-e", "src", "twin"}, .needs = need::root, .out = ok, .files = {{"old", "<encoded>"}}, .replaced = false},
        {.name = "file_mounted_over_the_name_in_place", .args = {"-e", "src", "bound"}, .needs = need::root, .out = ok, .files = {{"old", "<encoded>"}}},
        {.name = "link_written_in_place", .args = {"-e", "src", "linked"}, .needs = need::root, .out = ok, .files = {{"old", "<encoded>"}}, .replaced = false},
        {.name = "another_users_file_in_a_sticky_folder_in_place", .args = {"-e", "src", "sticky/theirs"}, .run = nobody, .needs = need::root, .out = ok, .files = {{"sticky/theirs", "<encoded>"}}, .replaced = false},
        {.name = "copied_up_file_and_its_upper_file", .args = {"-e", "merged/f", "upper/f"}, .needs = need::overlay, .out = "merged/f and upper/f are the same file.\n", .status = 1, .files = {{"upper/f", "<data>"}}},
        {.name = "upper_file_and_its_copied_up_view", .args = {"-e", "upper/f", "merged/f"}, .needs = need::overlay, .out = "upper/f and merged/f are the same file.\n", .status = 1, .files = {{"upper/f", "<data>"}}},
        {.name = "copied_up_file_and_a_second_name_below", .args = {"-e", "merged/f", "lower/g"}, .needs = need::overlay, .out = ok, .files = {{"lower/g", "<encoded>"}}},
        {.name = "full_disk_over_a_file", .args = {"-e", "src", "full/old"}, .needs = need::tmpfs, .out = "Encode...Can't write full/old file.\n", .status = 1, .files = {{"full/old", "<data full/old>"}}},

        // Signals, and other programs, while the run stalls on its source.
        {.name = "sigkill", .args = {"-e", "in", "new"}, .what = during::stalls, .sig = SIGKILL, .status = 128 + SIGKILL, .untouched = true},
        {.name = "sigkill_over_a_file", .args = {"-e", "in", "old"}, .what = during::stalls, .sig = SIGKILL, .status = 128 + SIGKILL, .files = {{"old", "<data old>"}}},
        {.name = "sigkill_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .what = during::stalls, .sig = SIGKILL, .status = 128 + SIGKILL, .files = {{"new", "<absent>"}}},
        {.name = "repeated_sigint", .args = {"-e", "in", "new"}, .what = during::stalls, .sig = SIGINT, .repeated = true, .status = 128 + SIGINT, .untouched = true},
        {.name = "repeated_sigterm_over_a_file", .args = {"-e", "in", "old"}, .what = during::stalls, .sig = SIGTERM, .repeated = true, .status = 128 + SIGTERM, .files = {{"old", "<data old>"}}},
        {.name = "sigterm_to_the_first_process_of_a_pid_namespace", .args = {"-e", "in", "old"}, .run = {.own_pid_namespace = true}, .what = during::stalls, .sig = SIGTERM, .status = 128 + SIGTERM, .files = {{"old", "<data old>"}}},
        {.name = "sighup_ignored_at_start", .args = {"-e", "in", "old"}, .run = {.ignored_signal = SIGHUP}, .what = during::stalls, .sig = SIGHUP, .out = ok, .files = {{"old", "<encoded>"}}},
        {.name = "sigterm_blocked_at_start", .args = {"-e", "in", "old"}, .run = {.blocked_signal = SIGTERM}, .what = during::stalls, .sig = SIGTERM, .status = 128 + SIGTERM, .files = {{"old", "<data old>"}}},
        {.name = "replaced_meanwhile", .args = {"-e", "in", "old"}, .what = during::stalls, .meddled = meddling::renamed, .out = "Encode...Can't write old file.\n", .status = 1, .files = {{"old", "precious"}, {"moved", "<data old>"}}},
        {.name = "name_taken_meanwhile", .args = {"-e", "in", "new"}, .what = during::stalls, .meddled = meddling::taken, .out = cant_write_new, .status = 1, .files = {{"new", "precious"}}},
        {.name = "sigterm_after_a_second_name", .args = {"-e", "in", "new"}, .what = during::stalls, .sig = SIGTERM, .meddled = meddling::linked, .status = 128 + SIGTERM, .files = {{"new", "<absent>"}, {"moved", ""}}},
        {.name = "sigterm_after_a_rename_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .what = during::stalls, .sig = SIGTERM, .meddled = meddling::renamed, .status = 128 + SIGTERM, .files = {{"new", "precious"}, {"moved", ""}}},
        {.name = "renamed_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .what = during::stalls, .meddled = meddling::renamed, .out = cant_write_new, .status = 1, .files = {{"new", "precious"}, {"moved", ""}}},
        {.name = "sigterm_after_a_second_name_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .what = during::stalls, .sig = SIGTERM, .meddled = meddling::linked, .status = 128 + SIGTERM, .files = {{"new", "<absent>"}, {"moved", ""}}},
        {.name = "full_after_a_second_name_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.file_size_limit = 5 * stream_buffer_size / 2, .refuse = refused::unnamed_files}, .needs = need::seccomp, .what = during::stalls, .meddled = meddling::linked, .out = cant_write_new, .status = 1, .files = {{"new", "<absent>"}, {"moved", ""}}},

        // The caller's descriptors, where the arguments name them; where standard output is the
        // destination's file, the data and not a word.
        {.name = "to_a_pipe", .args = {"-e", "src", "/dev/stdout"}, .out = "<encoded>"},
        {.name = "to_a_non_blocking_pipe", .args = {"-e", "src", "/dev/stdout"}, .run = {.standard_output_flags = O_NONBLOCK}, .out = "<encoded>"},
        {.name = "to_a_file", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "log"}}, .files = {{"log", "<encoded>"}}},
        {.name = "appended_to_a_file", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "log", appending}}, .before = older, .files = {{"log", older + "<encoded>"}}},
        {.name = "among_the_callers_lines", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "log"}}, .before = older, .after = "later\n", .files = {{"log", older + "<encoded>later\n"}}},
        {.name = "to_a_socket", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "socket"}}, .files = {{"socket", "<encoded>"}}},
        {.name = "missing_source_to_the_file_of_standard_output", .args = {"-e", "missing", "log"}, .fds = {{1, "log", appending}}, .before = older, .status = 1, .files = {{"log", older}}},
        {.name = "missing_source_to_a_pipe", .args = {"-e", "missing", "/dev/stdout"}, .status = 1},
        {.name = "read_fails_to_a_file", .args = {"-e", "/proc/self/mem", "/dev/stdout"}, .fds = {{1, "log", appending}}, .before = older, .status = 1, .files = {{"log", older}}},
        {.name = "unknown_option_to_a_pipe", .args = {"-x", "src", "/dev/stdout"}, .status = 2},
        {.name = "standard_output_the_source", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "src", appending}}, .status = 1},
        {.name = "read_only_standard_output", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "log", O_RDONLY}}, .status = 1, .files = {{"log", ""}}},
        {.name = "read_only_descriptor", .args = {"-e", "src", "/dev/fd/3"}, .fds = {{3, "log", O_RDONLY}}, .out = "Can't open /dev/fd/3 file.\n", .status = 1, .files = {{"log", ""}}},
        {.name = "to_standard_error", .args = {"-e", "src", "/dev/stderr"}, .fds = {{2, "log", appending}}, .before = older, .out = ok, .files = {{"log", older + "<encoded>"}}},
        {.name = "to_a_descriptor", .args = {"-e", "src", "/proc/thread-self/fd/3"}, .fds = {{3, "log", appending}}, .before = older, .out = ok, .files = {{"log", older + "<encoded>"}}},
        {.name = "to_a_descriptor_of_the_thread", .args = {"-e", "src", "/proc/thread-self/fd/../fd/3"}, .fds = {{3, "log", appending}}, .before = older, .out = ok, .files = {{"log", older + "<encoded>"}}},
        {.name = "through_a_relative_link", .args = {"-e", "src", "relative"}, .fds = {{1, "log", appending}}, .before = older, .files = {{"log", older + "<encoded>"}}},
        {.name = "no_descriptor_has_a_leading_zero", .args = {"-e", "src", "/dev/fd/03"}, .fds = {{3, "log", appending}}, .out = "Can't open /dev/fd/03 file.\n", .status = 1, .files = {{"log", ""}}},
        {.name = "socket_both_ways", .args = {"-e", "/dev/stdin", "/dev/stdout"}, .fds = {{0, "socket"}, {1, "socket"}}, .files = {{"socket", "<encoded>"}}},
        {.name = "from_where_the_caller_left_it", .args = {"-e", "/dev/stdin", "/dev/stdout"}, .fds = {{0, "src", O_RDONLY, 10}}, .out = "<encoded@10>"},
        {.name = "flags_that_cannot_be_read", .args = {"-e", "src", "/dev/stdout"}, .run = {.refuse = refused::status_flags}, .fds = {{1, "log", appending}}, .before = older, .needs = need::seccomp, .files = {{"log", older + "<encoded>"}}},
        {.name = "without_proc", .args = {"-e", "src", "/dev/stdout"}, .run = {.no_proc = true}, .out = "<encoded>"},
        {.name = "usage_not_into_the_data_without_proc", .args = {"-e", "src", "/dev/stdout", "extra"}, .run = {.no_proc = true}, .status = 2},
        // Any other path is its own file, whatever descriptor leads there: `>> log`, a while read
        // loop over its source, and a named descriptor of a file that another one holds too.
        {.name = "file_of_standard_output_by_its_name", .args = {"-e", "src", "log"}, .fds = {{1, "log", appending}}, .before = older, .files = {{"log", "<encoded>"}}},
        {.name = "missing_source_to_a_mirror_of_standard_output", .args = {"-e", "missing", "mirror/f"}, .fds = {{1, "lower/f", appending}}, .before = older, .needs = need::bindfs, .status = 1, .files = {{"lower/f", older}}},
        {.name = "unknown_option_to_a_mirror_of_standard_output", .args = {"-x", "src", "mirror/f"}, .fds = {{1, "lower/f", appending}}, .before = older, .needs = need::bindfs, .status = 2, .files = {{"lower/f", older}}},
        {.name = "usage_to_a_mirror_of_standard_output", .args = {"-e", "src", "mirror/f", "more"}, .fds = {{1, "lower/f", appending}}, .before = older, .needs = need::bindfs, .status = 2, .files = {{"lower/f", older}}},
        {.name = "to_a_copy_of_standard_output_on_a_socket", .args = {"-e", "src", "/dev/fd/3"}, .fds = {{1, "socket"}, {3, "socket"}}, .files = {{"socket", "<encoded>"}}},
        {.name = "missing_source_to_a_copy_of_standard_output_without_proc", .args = {"-e", "missing", "/dev/fd/3"}, .run = {.no_proc = true}, .fds = {{1, "socket"}, {3, "socket"}}, .status = 1, .files = {{"socket", ""}}},
        {.name = "standard_output_through_a_second_proc_mount", .args = {"-e", "src", "p3/self/fd/1"}, .fds = {{1, "log", appending}}, .before = older, .needs = need::root, .files = {{"log", older + "<encoded>"}}},
        {.name = "folder_called_self_fd_names_no_descriptor", .args = {"-e", "src", "dirs/self/fd/1"}, .out = ok, .files = {{"dirs/self/fd/1", "<encoded>"}}},
        {.name = "source_descriptor_open_only_as_a_path", .args = {"-e", "/dev/fd/3", "new"}, .fds = {{3, "src", O_PATH}}, .out = "/dev/fd/3 file not found.\n", .status = 1, .files = {{"new", "<absent>"}}},
        {.name = "file_of_standard_output_through_a_mirror", .args = {"-e", "src", "mirror/f"}, .fds = {{1, "lower/f"}}, .needs = need::bindfs, .files = {{"lower/f", "<encoded>"}}},
        {.name = "file_of_read_only_standard_output", .args = {"-e", "src", "log"}, .fds = {{1, "log", O_RDONLY}}, .files = {{"log", "<encoded>"}}},
        {.name = "source_by_its_name_not_standard_input", .args = {"-e", "src", "new"}, .fds = {{0, "src", O_RDONLY, 10}}, .out = ok, .files = {{"new", "<encoded>"}}},
        {.name = "descriptor_not_standard_output", .args = {"-e", "src", "/dev/fd/3"}, .fds = {{1, "log", O_RDWR, 0}, {3, "log", appending}}, .before = keep, .files = {{"log", keep + "<encoded>"}}},
        {.name = "standard_error_not_standard_output", .args = {"-e", "src", "/dev/stderr"}, .fds = {{1, "log", O_RDWR, 0}, {2, "log", appending}}, .before = keep, .files = {{"log", keep + "<encoded>"}}},
        {.name = "descriptor_not_standard_input", .args = {"-e", "/dev/fd/3", "new"}, .fds = {{0, "src", O_RDONLY, 10}, {3, "src", O_RDONLY, 0}}, .out = ok, .files = {{"new", "<encoded>"}}},

        // At a terminal, a long run shows how far it is; the test reads the destination, a FIFO,
        // as slowly as it wants.
        {.name = "progress", .args = {"-e", "big", "fifo"}, .run = terminal, .what = during::watched, .out = progress + "OK.\r\n"},
        {.name = "progress_as_far_as_it_fits", .args = {"-e", "big", "fifo"}, .run = {.terminal = 19, .term = "xterm"}, .what = during::watched, .out = progress + "OK.\r\n"},
        {.name = "no_progress_where_the_bytes_do_not_fit", .args = {"-e", "big", "fifo"}, .run = {.terminal = 18, .term = "xterm"}, .what = during::watched, .out = "Encode...OK.\r\n"},
        {.name = "progress_then_a_failed_write", .args = {"-e", "big", "fifo"}, .run = terminal, .what = during::watched_then_left, .out = progress + "Can't write fifo file.\r\n", .status = 1},
        {.name = "progress_then_sigint", .args = {"-e", "big", "fifo"}, .run = terminal, .what = during::watched, .sig = SIGINT, .out = "Encode...<progress>\r\n", .status = 128 + SIGINT},
        {.name = "no_progress_on_a_dumb_terminal", .args = {"-e", "big", "fifo"}, .run = {.terminal = 80, .term = "dumb"}, .what = during::watched, .out = "Encode...OK.\r\n"},
        {.name = "no_progress_without_term", .args = {"-e", "big", "fifo"}, .run = {.terminal = 80, .term = ""}, .what = during::watched, .out = "Encode...OK.\r\n"},
        {.name = "no_progress_in_a_short_run", .args = {"-e", "src", "fifo"}, .run = terminal, .what = during::streams, .out = "Encode...OK.\r\n"},
        {.name = "no_progress_to_a_pipe", .args = {"-e", "src", "fifo"}, .run = {.term = "xterm"}, .what = during::streams, .out = ok},
    };
    for (const auto& [option, name] : {std::pair{"-x", "x"}, {"--e", "two_dashes"}, {"-encode", "word"}, {"-e1", "more"}, {"e", "no_dash"}, {"", "none"}})
        all.push_back({.name = std::string("unknown_option_") + name, .args = {option, "src", "old"}, .out = "unknown option '" + std::string(option) + "'\n", .status = 2, .untouched = true});
    // Over an existing file, where a signal left to its default action leaves data behind.
    for (const int sig : stop_signals())
        all.push_back({.name = "stopped_by_signal_" + std::to_string(sig), .args = {"-e", "in", "old"}, .what = during::stalls, .sig = sig, .status = 128 + sig, .files = {{"old", "<data old>"}}});
    return all;
}
// clang-format on

} // namespace

INSTANTIATE_TEST_SUITE_P(Each, Cli, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<cli_case>& row) {
                             return row.param.name;
                         });
