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
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sched.h>
#include <set>
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
using morvask::decode_table;
using morvask::encode_table;

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
    fs::path cwd;
    rlim_t file_size_limit = RLIM_INFINITY;
    uid_t user = 0;                 // other than root: run as this user
    int ignored_signal = 0;         // ignored from the start, as under nohup
    int standard_output = -1;       // in place of the pipe that result.out reads
    int standard_output_flags = 0;  // O_NONBLOCK, as another program may leave it
    mode_t umask = 022;             // 0 shows every permission bit the tool asks for
    bool own_pid_namespace = false; // the tool is its first process, as in a container
    int cpu = -1;                   // the only CPU the tool may run on
    refused refuse = refused::none;
    int blocked_signal = 0;      // blocked from the start, as some supervisors leave it
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

// Whether refuse_in_child works here: not under qemu-user, which keeps seccomp to itself.
bool can_refuse()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(refuse_in_child(refused::close) ? 0 : 1);
    int status = -1;
    ::waitpid(pid, &status, 0);
    return status == 0;
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
    if (pid < 0) {
        for (const int fd : {out[0], out[1], err[0], err[1]})
            ::close(fd);
        return {-1, -1, -1};
    }
    if (pid == 0) {
        ::umask(options.umask);
        pin_to_cpu(options.cpu);
        if (options.term != nullptr &&
            (*options.term ? ::setenv("TERM", options.term, 1) : ::unsetenv("TERM")) != 0)
            ::_exit(126);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0)
            ::_exit(126);
        const rlimit limit{options.file_size_limit, options.file_size_limit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(126);
        // SIGQUIT dumps core: not into the test's folder, nor, under qemu-user, with a word on
        // standard error.
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
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
        ::dup2(options.standard_output >= 0 ? options.standard_output : out[1], STDOUT_FILENO);
        ::fcntl(STDOUT_FILENO, F_SETFL,
                ::fcntl(STDOUT_FILENO, F_GETFL) | options.standard_output_flags);
        ::dup2(err[1], STDERR_FILENO);
        // Without close-on-exec, which dup2 onto the same number would leave.
        for (const auto& [from, to] : options.fds)
            from == to ? ::fcntl(to, F_SETFD, 0) : ::dup2(from, to);
        // Descriptors the test runner leaves open would move the destination's.
        if (options.refuse != refused::none &&
            (::close_range(3, ~0u, 0) != 0 || !refuse_in_child(options.refuse)))
            ::_exit(126);
        ::execvp(program, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
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

result run(const std::vector<std::string>& args, const run_options& options = {})
{
    const running started = start(args, options);
    if (started.pid < 0)
        return {"", "could not start the tool", -1, -1};
    return finish(started);
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

mode_t mode_of(const fs::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

class Morvask : public ::testing::Test {
  protected:
    test::temp_dir dir;
    run_options here{dir.path};

    result run_here(const std::vector<std::string>& args) { return run(args, here); }
};

struct refused_case {
    std::vector<std::string> args;
    std::string out;
    int status;
    bool to_full_disk = false; // standard output is /dev/full
};

// A loop device over a file, where root may set one up, detached at the end.
struct loop_device {
    std::string path;
    explicit loop_device(const fs::path& file)
    {
        if (FILE* losetup =
                ::popen(("losetup -f --show " + file.string() + " 2>&1").c_str(), "r")) {
            char line[256] = "";
            path = std::fgets(line, sizeof line, losetup) ? line : "";
            path.erase(path.find_last_not_of('\n') + 1);
            if (::pclose(losetup) != 0)
                path = "refused: " + path;
        }
    }
    ~loop_device()
    {
        if (path.starts_with("/dev/"))
            std::ignore = std::system(("losetup -d " + path).c_str());
    }
};

} // namespace

TEST_F(Morvask, RefusedRunsTouchNothing)
{
    test::write_file(dir / "src", "plain text\n");
    test::write_file(dir / "dst", "older output");
    fs::create_hard_link(dir / "src", dir / "hard");
    fs::create_symlink("src", dir / "soft");
    fs::create_directory(dir / "sub");
    test::write_file(dir / "img", test::random_bytes(1 << 16));
    const loop_device loop(dir / "img");
    const loop_device second_loop(dir / "img");
    struct stat device {};
    if (::stat(loop.path.c_str(), &device) == 0)
        ::mknod((dir / "node").c_str(), S_IFBLK | 0600, device.st_rdev);
    ::stat("/dev/null", &device);
    ::mknod((dir / "null").c_str(), S_IFCHR | 0600, device.st_rdev);
    const auto before = snapshot(dir.path);

    std::vector<refused_case> cases = {
        {{}, usage, 2},
        {{"-e"}, usage, 2},
        {{"-e", "src"}, usage, 2},
        {{"-e", "src", "dst", "more"}, usage, 2},
        {{"--help"}, help, 0},
        {{"-h"}, help, 0},
        {{"--version"}, "morvask " MORVASK_VERSION "\n", 0},
        {{"--version", "src"}, usage, 2},
        {{"-x", "src", "dst"}, "unknown option '-x'\n", 2},
        {{"--e", "src", "dst"}, "unknown option '--e'\n", 2},
        {{"-encode", "src", "dst"}, "unknown option '-encode'\n", 2},
        {{"-e1", "src", "dst"}, "unknown option '-e1'\n", 2},
        {{"e", "src", "dst"}, "unknown option 'e'\n", 2},
        {{"", "src", "dst"}, "unknown option ''\n", 2},
        {{"-%s", "missing", "no/dir/dst"}, "unknown option '-%s'\n", 2},
        {{"-e", "missing", "new"}, "missing file not found.\n", 1},
        {{"-d", "", "new"}, " file not found.\n", 1},
        {{"-e", "%d%s%n", "new"}, "%d%s%n file not found.\n", 1},
        {{"-e", "-", "new"}, "- file not found.\n", 1},
        {{"-e", ".", "new"}, "Can't read . file.\n", 1},
        {{"-e", "src", "no/dir/dst"}, "Can't open no/dir/dst file.\n", 1},
        {{"-e", "src", "sub"}, "Can't open sub file.\n", 1},
        {{"-e", "src", "src"}, "src and src are the same file.\n", 1},
        {{"-E", "src", "./src"}, "src and ./src are the same file.\n", 1},
        {{"-d", "src", "hard"}, "src and hard are the same file.\n", 1},
        {{"-D", "soft", "src"}, "soft and src are the same file.\n", 1},
        {{"-e", "/dev/stdout"}, "", 2},
        {{"-e", "src", ""}, "Can't open  file.\n", 1},
        {{"--version"}, "", 1, true},
        {{"--help"}, "", 1, true},
    };
    if (fs::exists(dir / "node"))
        cases.insert(
            cases.end(),
            {{{"-e", "img", loop.path}, "img and " + loop.path + " are the same file.\n", 1},
             {{"-e", loop.path, "img"}, loop.path + " and img are the same file.\n", 1},
             {{"-e", loop.path, "node"}, loop.path + " and node are the same file.\n", 1},
             {{"-e", loop.path, second_loop.path},
              loop.path + " and " + second_loop.path + " are the same file.\n",
              1}});
    if (fs::exists(dir / "null"))
        cases.push_back(
            {{"-e", "/dev/null", "null"}, "/dev/null and null are the same file.\n", 1});
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    for (const refused_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        run_options options = here;
        options.standard_output = c.to_full_disk ? full : -1;
        const result r = run(c.args, options);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(snapshot(dir.path), before);
    }
    ::close(full);
    if (!fs::exists(dir / "node"))
        GTEST_SKIP() << "no loop device: " << loop.path;
}

TEST_F(Morvask, EncodesAndDecodesWithEveryOption)
{
    const std::tuple<const char*, const char*, std::size_t> cases[] = {
        {"-e", "-d", 300'001}, {"-E", "-D", 300'001}, {"-e", "-d", 0}};
    for (const auto& [encode, decode, size] : cases) {
        SCOPED_TRACE(std::string(encode) + " " + std::to_string(size));
        const std::string data = test::random_bytes(size);
        test::write_file(dir / "src", data);
        // Longer than the output, to show that what was there goes.
        test::write_file(dir / "enc", test::random_bytes(500'000));
        const result e = run_here({encode, "src", "enc"});
        EXPECT_EQ(e.out, "Encode...OK.\n");
        EXPECT_EQ(e.err, "");
        EXPECT_EQ(e.status, 0);
        EXPECT_EQ(test::read_file(dir / "enc"), test::substitute(encode_table, data));

        const result d = run_here({decode, "enc", "dec"});
        EXPECT_EQ(d.out, "Decode...OK.\n");
        EXPECT_EQ(d.err, "");
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(test::read_file(dir / "dec"), data);
        fs::remove(dir / "dec");
    }
}

TEST_F(Morvask, LoneDashNamesAFile)
{
    test::write_file(dir / "-", "dash");
    EXPECT_EQ(run_here({"-e", "-", "enc"}).out, "Encode...OK.\n");
    fs::remove(dir / "-");
    EXPECT_EQ(run_here({"-d", "enc", "-"}).out, "Decode...OK.\n");
    EXPECT_EQ(test::read_file(dir / "-"), "dash");
}

TEST_F(Morvask, StreamsThroughFifosAndDevices)
{
    const std::string data = test::random_bytes(200'000);
    ::mkfifo((dir / "in").c_str(), 0600);
    ::mkfifo((dir / "out").c_str(), 0600);
    std::string got;
    std::thread writer([&] { test::write_file(dir / "in", data); });
    std::thread reader([&] { got = test::read_file(dir / "out"); });
    const result r = run_here({"-e", "in", "out"});
    writer.join();
    reader.join();
    EXPECT_EQ(r.out, "Encode...OK.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(got, test::substitute(encode_table, data));
    EXPECT_TRUE(fs::is_fifo(dir / "out"));

    // A file whose size promises more than it holds, as the kernel's all promise 4096 bytes: the
    // output has what was read, not the room reserved for the promise.
    const std::string promising = "/sys/devices/system/cpu/online";
    if (fs::exists(promising)) {
        EXPECT_EQ(run({"-e", promising, (dir / "cpus").string()}).status, 0);
        EXPECT_EQ(test::read_file(dir / "cpus"),
                  test::substitute(encode_table, test::read_file(promising)));
    }

    const result null = run({"-d", MORVASK_BINARY, "/dev/null"});
    EXPECT_EQ(null.out, "Decode...OK.\n");
    EXPECT_EQ(null.status, 0);
}

TEST_F(Morvask, CreatedDestinationIsNoMoreOpenThanItsSource)
{
    // Where the destination is made: here; from a source with an access ACL (its owning group
    // nothing, user nobody and the mask read); in a setgid directory of another group; as the
    // target of a dangling symbolic link.
    enum class made { plainly, with_acl, in_setgid_directory, through_dangling_link };
    struct mode_case {
        mode_t source_mode;
        mode_t umask; // 0 shows every bit the tool asks for
        mode_t expected;
        made how = made::plainly;
    };
    const mode_case cases[] = {
        {0600, 022, 0600},
        {0640, 022, 0640},
        {0666, 022, 0644},
        {0755, 022, 0644},
        {0407, 022, 0604},
        {0666, 0, 0666},
        {0777, 0, 0666},
        {0620, 0, 0620},
        {0640, 022, 0600, made::with_acl},
        {0640, 022, 0640, made::in_setgid_directory},
        {0600, 0, 0600, made::through_dangling_link},
        {0640, 0, 0600, made::through_dangling_link},
    };
    const fs::path src = dir / "src";
    test::write_file(src, "x");
    fs::create_directory(dir / "setgid");
    const bool setgid = ::chown((dir / "setgid").c_str(), static_cast<uid_t>(-1), 1) == 0 &&
                        ::chmod((dir / "setgid").c_str(), 02777) == 0;
    std::string unrunnable;
    for (const mode_case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.source_mode << " under umask " << c.umask
                                        << ", made " << static_cast<int>(c.how));
        const fs::path dst = dir / (c.how == made::in_setgid_directory ? "setgid/dst" : "dst");
        fs::remove(dst);
        fs::remove(dir / "target");
        ::chmod(src.c_str(), c.source_mode);
        if (c.how == made::through_dangling_link)
            fs::create_symlink("target", dst);
        struct entry {
            std::uint16_t tag, permissions;
            std::uint32_t id;
        };
        const struct {
            std::uint32_t version;
            entry entries[5];
        } acl{2,
              {{0x01, 6, ~0u}, {0x02, 4, 65534}, {0x04, 0, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}}};
        if ((c.how == made::with_acl &&
             ::setxattr(src.c_str(), "system.posix_acl_access", &acl, sizeof acl, 0) != 0) ||
            (c.how == made::in_setgid_directory && !setgid)) {
            unrunnable = "no ACL, or no setgid directory of another group, here";
            continue;
        }
        run_options options = here;
        options.umask = c.umask;
        EXPECT_EQ(run({"-e", "src", dst.string()}, options).status, 0);
        ::removexattr(src.c_str(), "system.posix_acl_access");
        struct stat copy {};
        struct stat source {};
        ::stat(dst.c_str(), &copy);
        ::stat(src.c_str(), &source);
        EXPECT_EQ(copy.st_mode & 07777, c.expected);
        EXPECT_TRUE((copy.st_mode & S_IRWXG) == 0 || copy.st_gid == source.st_gid)
            << "group bits for group " << copy.st_gid;
    }
    fs::remove(dir / "dst");
    EXPECT_EQ(run_here({"-e", "src", "dst"}).status, 0);
    ::chmod((dir / "dst").c_str(), 0660);
    EXPECT_EQ(run_here({"-e", "src", "dst"}).status, 0);
    EXPECT_EQ(mode_of(dir / "dst"), 0660u);
    if (!unrunnable.empty())
        GTEST_SKIP() << unrunnable;
}

TEST_F(Morvask, FailedRunLeavesNoPartialOutput)
{
    struct failure_case {
        std::string source;
        std::string destination;
        bool existing;
        rlim_t file_size_limit;
        std::string out;
        refused refuse = refused::none;
    };
    const failure_case cases[] = {
        {"/proc/self/mem", "dst", false, RLIM_INFINITY,
         "Encode...Can't read /proc/self/mem file.\n"},
        {"/proc/self/mem", "dst", true, RLIM_INFINITY,
         "Encode...Can't read /proc/self/mem file.\n"},
        {"src", "dst", false, 64 * 1024, "Encode...Can't write dst file.\n"},
        {"src", "dst", true, 64 * 1024, "Encode...Can't write dst file.\n"},
        {"src", "/dev/full", false, RLIM_INFINITY, "Encode...Can't write /dev/full file.\n"},
        // Its reader goes away at once: SIGPIPE must not end the run without a word.
        {"src", "fifo", false, RLIM_INFINITY, "Encode...Can't write fifo file.\n"},
        {"src", "dst", false, RLIM_INFINITY, "Encode...Can't write dst file.\n", refused::close},
        {"src", "dst", true, RLIM_INFINITY, "Encode...Can't write dst file.\n", refused::close},
    };
    const std::string data = test::random_bytes(1 << 20);
    test::write_file(dir / "src", data);
    ::mkfifo((dir / "fifo").c_str(), 0600);
    const bool refusing = can_refuse();
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.out + (c.existing ? " over an existing file" : "") +
                     (c.refuse == refused::close ? ", close failing" : ""));
        if (c.refuse != refused::none && !refusing)
            GTEST_SKIP() << "seccomp filters cannot be set here";
        fs::remove(dir / "dst");
        if (c.existing) {
            test::write_file(dir / "dst", "older output");
            ::chmod((dir / "dst").c_str(), 0640);
        }
        std::thread leaving_reader;
        if (c.destination == "fifo")
            leaving_reader =
                std::thread([&] { ::close(::open((dir / "fifo").c_str(), O_RDONLY)); });
        run_options options = here;
        options.file_size_limit = c.file_size_limit;
        options.refuse = c.refuse;
        const result r = run({"-e", c.source, c.destination}, options);
        if (leaving_reader.joinable())
            leaving_reader.join();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(fs::exists(dir / "dst"), c.existing);
        if (c.existing) {
            EXPECT_EQ(fs::file_size(dir / "dst"), 0u);
            EXPECT_EQ(mode_of(dir / "dst"), 0640u);
        }
        EXPECT_EQ(test::read_file(dir / "src"), data);
    }
}

// Every signal whose default action ends a process, as this test knows them: all but SIGKILL,
// the two that stand for a failed write, and those that report a fault in the process itself.
static std::vector<int> stop_signals()
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

// How much the run has written to the file it holds open in dir, named or not yet, and the link to
// it in /proc.
static std::pair<std::uintmax_t, fs::path> written(pid_t pid, const fs::path& dir)
{
    std::pair<std::uintmax_t, fs::path> output;
    std::error_code ignored;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored))
        if (struct stat st{}; fs::read_symlink(fd, ignored).parent_path() == dir &&
                              ::stat(fd.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            output = std::max(output, {static_cast<std::uintmax_t>(st.st_size), fd.path()});
    return output;
}

// The run stalls on a FIFO source after its first flush, and is then stopped by a signal, or goes
// on to the end of its source.
TEST_F(Morvask, SignalThatEndsARunDiscardsItsOutput)
{
    // What is done to the destination before the signal: renamed to "moved" and another file put
    // at its name, given "moved" as a second name, or its name taken by another file.
    enum class meddling { none, renamed, linked, taken };
    const char* const meddled_names[] = {"", ", renamed", ", linked", ", its name taken"};
    struct signal_case {
        int sig = 0; // 0: none
        bool existing = false;
        // As a second Ctrl-C does, or timeout's signal to the child, then to its group.
        bool repeated = false;
        bool ignored_at_start = false;
        bool blocked_at_start = false;
        bool own_pid_namespace = false;
        meddling meddled = meddling::none;
        refused refuse = refused::none;
        rlim_t file_size_limit = RLIM_INFINITY;
    };
    const std::size_t first_part = 2 * morvask::stream_buffer_size;
    std::vector<signal_case> cases = {
        {SIGKILL, false},
        {SIGINT, false, true},
        {SIGTERM, true, true},
        {.sig = SIGTERM, .existing = true, .own_pid_namespace = true},
        {.meddled = meddling::taken},
        {.sig = SIGTERM, .meddled = meddling::linked},
        {.sig = SIGHUP, .existing = true, .ignored_at_start = true},
        {.sig = SIGTERM, .existing = true, .blocked_at_start = true},
        {.sig = SIGTERM, .meddled = meddling::renamed, .refuse = refused::unnamed_files},
        {.meddled = meddling::renamed, .refuse = refused::unnamed_files},
        {.sig = SIGTERM, .meddled = meddling::linked, .refuse = refused::unnamed_files},
        {.meddled = meddling::linked,
         .refuse = refused::unnamed_files,
         .file_size_limit = first_part + first_part / 4},
    };
    // Over an existing file, where a signal left to its default action leaves data behind.
    for (const int sig : stop_signals())
        cases.push_back({sig, true});
    const std::string data = test::random_bytes(3 * morvask::stream_buffer_size);
    ::mkfifo((dir / "in").c_str(), 0600);
    std::string unrunnable;
    const bool refusing = can_refuse();
    // A tool that died early must fail the test, not end it.
    const auto previous_sigpipe = ::signal(SIGPIPE, SIG_IGN);
    for (const signal_case& c : cases) {
        SCOPED_TRACE(testing::Message() << strsignal(c.sig) << (c.existing ? ", existing" : ", new")
                                        << (c.repeated ? ", repeated" : "")
                                        << (c.ignored_at_start ? ", ignored at start" : "")
                                        << (c.blocked_at_start ? ", blocked at start" : "")
                                        << (c.own_pid_namespace ? ", as PID 1" : "")
                                        << meddled_names[static_cast<int>(c.meddled)]
                                        << (c.refuse != refused::none ? ", no unnamed files" : ""));
        if (c.refuse != refused::none && !refusing) {
            unrunnable = "seccomp filters cannot be set here";
            continue;
        }
#ifdef MORVASK_LAUNCHER
        if (c.sig > SIGRTMAX - 2) {
            unrunnable = "qemu-user keeps the last two real-time signals for itself";
            continue;
        }
#endif
        fs::remove(dir / "dst");
        fs::remove(dir / "moved");
        if (c.existing)
            test::write_file(dir / "dst", "older output");
        const auto before = snapshot(dir.path);
        run_options options = here;
        options.ignored_signal = c.ignored_at_start ? c.sig : 0;
        options.blocked_signal = c.blocked_at_start ? c.sig : 0;
        options.own_pid_namespace = c.own_pid_namespace;
        options.refuse = c.refuse;
        options.file_size_limit = c.file_size_limit;
        const auto [tool_cpu, sender_cpu] = two_cpus();
        if (c.repeated)
            options.cpu = tool_cpu;
        const running tool = start({"-e", "in", "dst"}, options);
        if (tool.pid < 0 && c.own_pid_namespace) {
            unrunnable = std::string("no PID namespace here: ") + std::strerror(errno);
            continue;
        }
        const int feed = ::open((dir / "in").c_str(), O_WRONLY);
        ASSERT_EQ(::write(feed, data.data(), first_part), static_cast<ssize_t>(first_part));
        for (int tries = 0; tries < 1000 && written(tool.pid, dir.path).first < first_part / 2;
             ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto [size, output] = written(tool.pid, dir.path);
        ASSERT_GE(size, first_part / 2) << "the run never got going";
        EXPECT_EQ(fs::exists(dir / "dst"), c.existing || c.refuse == refused::unnamed_files)
            << "named before it is complete";
        if (c.meddled == meddling::renamed) {
            fs::rename(dir / "dst", dir / "moved");
            test::write_file(dir / "dst", "precious");
        } else if (c.meddled == meddling::linked) {
            ASSERT_EQ(::linkat(AT_FDCWD, output.c_str(), AT_FDCWD, (dir / "moved").c_str(),
                               AT_SYMLINK_FOLLOW),
                      0);
        } else if (c.meddled == meddling::taken) {
            test::write_file(dir / "dst", "precious");
        }

        if (c.repeated)
            send_until_ended(tool.pid, c.sig, sender_cpu);
        else if (c.sig != 0)
            ::kill(tool.pid, c.sig);
        if (c.sig == 0 || c.ignored_at_start)
            (void)::write(feed, data.data() + first_part, data.size() - first_part);
        ::close(feed);
        const result r = finish(tool);
        EXPECT_EQ(r.err, "");
        if (c.ignored_at_start) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "Encode...OK.\n");
            EXPECT_TRUE(test::read_file(dir / "dst") == test::substitute(encode_table, data));
            continue;
        }
        if (c.sig == 0) {
            EXPECT_EQ(r.out, "Encode...Can't write dst file.\n");
        }
        EXPECT_EQ(r.out.find("OK."), std::string::npos) << r.out;
        if (c.sig == 0 || c.own_pid_namespace) {
            EXPECT_TRUE(WIFEXITED(r.raw));
            EXPECT_EQ(r.status, c.sig == 0 ? 1 : 128 + c.sig);
        } else {
            EXPECT_TRUE(WIFSIGNALED(r.raw) && WTERMSIG(r.raw) == c.sig) << "wait status " << r.raw;
        }
        if (c.meddled == meddling::renamed || c.meddled == meddling::taken) {
            EXPECT_EQ(test::read_file(dir / "dst"), "precious");
        } else if (c.existing) {
            EXPECT_EQ(fs::file_size(dir / "dst"), 0u);
        } else {
            EXPECT_FALSE(fs::exists(dir / "dst"));
        }
        if (c.meddled == meddling::renamed || c.meddled == meddling::linked) {
            EXPECT_EQ(fs::file_size(dir / "moved"), 0u);
        }
        if (c.meddled == meddling::none && !c.existing) {
            EXPECT_TRUE(snapshot(dir.path) == before) << "the directory changed";
        }
    }
    ::signal(SIGPIPE, previous_sigpipe);
    if (!unrunnable.empty())
        GTEST_SKIP() << "some cases did not run: " << unrunnable;
}

// `morvask -e src /dev/stdout | next`, `>> log`, `{ ...; } > file`, a socket: the data lands where
// the caller's standard output stands, among the caller's own bytes, and not a word beside it. A
// path that names no descriptor is its own file, emptied as any, whatever descriptor leads there.
TEST_F(Morvask, DestinationThatIsStandardOutputGetsOnlyTheData)
{
    enum class kind { pipe, file, socket };
    struct stdout_case {
        std::vector<std::string> args;
        kind standard_output;
        int flags = 0;        // of standard output, as its file was opened or set
        std::string before{}; // the caller's, written there before the run and after it
        std::string after{};
        std::string expected{}; // what standard output carries in all
        int status = 0;
        std::string file = "out";
        int access = O_WRONLY;
        int descriptor = STDOUT_FILENO; // the tool's, for the file; messages stay on the pipe
        bool socket_is_input = false;
        off_t input_offset = -1; // of standard input, src, where the caller left it
        refused refuse = refused::none;
    };
    const std::string data = test::random_bytes(300'001);
    test::write_file(dir / "src", data);
    const std::string encoded = test::substitute(encode_table, data);
    const std::string older = "older line\n";
    const std::string later = "later line\n";
    const stdout_case cases[] = {
        {{"-e", "src", "/dev/stdout"}, kind::pipe, 0, "", "", encoded},
        {{"-e", "src", "/dev/stdout"}, kind::pipe, O_NONBLOCK, "", "", encoded},
        {{"-e", "src", "/dev/stdout"}, kind::file, 0, "", "", encoded},
        {{"-e", "src", "/dev/stdout"}, kind::file, O_APPEND, older, "", older + encoded},
        {{"-e", "src", "/dev/stdout"}, kind::file, 0, older, later, older + encoded + later},
        {{"-e", "src", "out"}, kind::file, O_APPEND, older, "", encoded},
        {{"-e", "src", "/dev/stdout"}, kind::socket, 0, "", "", encoded},
        {{"-e", "missing", "/dev/stdout"}, kind::pipe, 0, "", "", "", 1},
        {{"-e", "/proc/self/mem", "/dev/stdout"}, kind::file, O_APPEND, older, "", older, 1},
        {{"-x", "src", "/dev/stdout"}, kind::pipe, 0, "", "", "", 2},
        {{"-e", "src", "/dev/stdout"}, kind::file, O_APPEND, "", "", data, 1, "src"},
        {.args = {"-e", "src", "out"},
         .standard_output = kind::file,
         .expected = encoded,
         .access = O_RDONLY},
        {.args = {"-e", "src", "/dev/stdout"},
         .standard_output = kind::file,
         .status = 1,
         .access = O_RDONLY},
        {.args = {"-e", "src", "/dev/fd/3"},
         .standard_output = kind::file,
         .status = 1,
         .access = O_RDONLY,
         .descriptor = 3},
        {.args = {"-e", "src", "/dev/stderr"},
         .standard_output = kind::file,
         .flags = O_APPEND,
         .before = older,
         .expected = older + encoded,
         .descriptor = STDERR_FILENO},
        {.args = {"-e", "src", "/proc/thread-self/fd/3"},
         .standard_output = kind::file,
         .flags = O_APPEND,
         .before = older,
         .expected = older + encoded,
         .descriptor = 3},
        {.args = {"-e", "/dev/stdin", "/dev/stdout"},
         .standard_output = kind::socket,
         .expected = encoded,
         .socket_is_input = true},
        {.args = {"-e", "/dev/stdin", "/dev/stdout"},
         .standard_output = kind::pipe,
         .expected = encoded.substr(10),
         .input_offset = 10},
        {.args = {"-e", "src", "/dev/stdout"},
         .standard_output = kind::file,
         .flags = O_APPEND,
         .before = older,
         .expected = older + encoded,
         .refuse = refused::status_flags},
    };
    const bool refusing = can_refuse();
    // The caller's lines; none into a file open only for reading.
    const auto put = [](int fd, const std::string& text) {
        return text.empty() ||
               ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    };
    for (const stdout_case& c : cases) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(c.args) << " to a "
                                        << (c.standard_output == kind::pipe   ? "pipe"
                                            : c.standard_output == kind::file ? c.file
                                                                              : "socket")
                                        << (c.flags & O_APPEND ? ", appending" : "")
                                        << (c.flags & O_NONBLOCK ? ", non-blocking" : ""));
        if (c.refuse != refused::none && !refusing)
            GTEST_SKIP() << "seccomp filters cannot be set here";
        run_options options = here;
        options.standard_output_flags = c.flags;
        options.refuse = c.refuse;
        int sockets[2] = {-1, -1};
        std::string through_socket;
        std::thread socket_reader;
        std::thread socket_writer;
        if (c.standard_output == kind::file) {
            options.standard_output = ::open(
                (dir / c.file).c_str(),
                c.access | O_CREAT | O_CLOEXEC | c.flags | (c.file == "src" ? 0 : O_TRUNC), 0644);
            ASSERT_TRUE(put(options.standard_output, c.before));
        } else if (c.standard_output == kind::socket) {
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
            options.standard_output = sockets[0];
            socket_reader = std::thread([&] { through_socket = test::drain(sockets[1]); });
        }
        if (c.descriptor != STDOUT_FILENO)
            options.fds = {{std::exchange(options.standard_output, -1), c.descriptor}};
        if (c.socket_is_input) {
            options.fds = {{sockets[0], STDIN_FILENO}};
            socket_writer = std::thread([&] {
                for (ssize_t sent = 0, at = 0; at < std::ssize(data) && sent >= 0; at += sent)
                    sent = ::send(sockets[1], data.data() + at, data.size() - std::size_t(at),
                                  MSG_NOSIGNAL);
                ::shutdown(sockets[1], SHUT_WR);
            });
        }
        const int input = ::open((dir / "src").c_str(), O_RDONLY | O_CLOEXEC);
        if (c.input_offset >= 0 && ::lseek(input, c.input_offset, SEEK_SET) == c.input_offset)
            options.fds = {{input, STDIN_FILENO}};
        const running tool = start(c.args, options);
        ::close(input);
        if (c.standard_output == kind::socket)
            ::close(sockets[0]);
        const result r = finish(tool);
        for (std::thread* t : {&socket_writer, &socket_reader})
            if (t->joinable())
                t->join();
        if (c.standard_output == kind::file) {
            const int file =
                c.descriptor == STDOUT_FILENO ? options.standard_output : options.fds.front().first;
            ASSERT_TRUE(put(file, c.after));
            ::close(file);
        }

        const std::string got = c.standard_output == kind::pipe   ? r.out
                                : c.standard_output == kind::file ? test::read_file(dir / c.file)
                                                                  : through_socket;
        EXPECT_TRUE(got == c.expected)
            << got.size() << " bytes, not the " << c.expected.size() << " expected";
        if (c.descriptor != STDOUT_FILENO) {
            EXPECT_EQ(r.out,
                      c.status == 0 ? "Encode...OK.\n" : "Can't open " + c.args[2] + " file.\n");
        }
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
    }
}

// The destination is a FIFO that the test reads slowly, so the run lasts as long as the test wants,
// and what the terminal shows meanwhile is read off the pseudo-terminal's other end.
TEST_F(Morvask, LongRunAtATerminalShowsProgressThenEndsItsLineAsBefore)
{
    enum class then { reads_all, leaves, stops_it, reads_at_once }; // once the test has looked
    struct terminal_case {
        unsigned short columns; // 0: standard output a pipe
        const char* term;
        then next;
        std::string during; // what the run shows while it goes on, as a pattern
        std::string all;    // every byte it shows
        int status = 0;
    };
    const std::string words = R"(Encode\.\.\.)";
    const std::string erased = "\r" + words + "\033\\[K";
    const std::string figures = "(\r" + words + R"( [0-9.]+ [KM]iB of 4\.00 MiB \([0-9]+%\), )" +
                                R"([0-9.]+ [KM]iB/s, [0-9]+:[0-9]{2}:[0-9]{2} left)" + "\033\\[K)+";
    const std::string narrow = "(\r" + words + R"( [0-9.]+ [KM]iB)" + "\033\\[K)+";
    const terminal_case cases[] = {
        {80, "xterm", then::reads_all, words + figures, words + figures + erased + "OK\\.\r\n"},
        {24, "xterm", then::reads_all, words + narrow, words + narrow + erased + "OK\\.\r\n"},
        {80, "xterm", then::leaves, words + figures,
         words + figures + erased + "Can't write fifo file\\.\r\n", 1},
        {80, "xterm", then::stops_it, words + figures, words + figures + "\r\n", 128 + SIGINT},
        {80, "dumb", then::reads_all, words, words + "OK\\.\r\n"},
        {80, "", then::reads_all, words, words + "OK\\.\r\n"},
        {80, "xterm", then::reads_at_once, "", words + "OK\\.\r\n"},
        {0, "xterm", then::reads_all, "", words + "OK\\.\n"},
    };
    const std::string data = test::random_bytes(4 << 20);
    test::write_file(dir / "src", data);
    ::mkfifo((dir / "fifo").c_str(), 0600);
    std::vector<char> chunk(32 * 1024);
    const auto read_some = [&](int fd) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        return std::string(chunk.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
    };
    for (const terminal_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.columns << " columns, TERM=" << c.term);
        const running tool =
            start({"-e", "src", "fifo"}, {.cwd = dir.path, .terminal = c.columns, .term = c.term});
        const int fifo = ::open((dir / "fifo").c_str(), O_RDONLY);
        std::string shown;
        // Slowly, until figures show or half the data is through: the run then goes on for sure.
        for (std::size_t taken = 0, got = 1;
             c.next != then::reads_at_once && got > 0 && taken < data.size() / 2 &&
             shown.find("\033[K") == std::string::npos;
             taken += got) {
            got = read_some(fifo).size();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            pollfd ready{tool.out, POLLIN, 0};
            for (std::string piece = "-"; !piece.empty() && ::poll(&ready, 1, 0) == 1;)
                shown += piece = read_some(tool.out);
        }
        const std::size_t whole = shown.rfind("\033[K");
        EXPECT_TRUE(std::regex_match(
            shown.substr(0, whole == std::string::npos ? whole : whole + 3), std::regex(c.during)))
            << testing::PrintToString(shown);
        if (c.next == then::stops_it)
            ::kill(tool.pid, SIGINT);
        if (c.next == then::leaves)
            ::close(fifo);
        else
            test::drain(fifo);
        const result r = finish(tool);
        EXPECT_TRUE(std::regex_match(shown + r.out, std::regex(c.all)))
            << testing::PrintToString(shown + r.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
    }
}

TEST_F(Morvask, FullDiskLeavesNoPartialOutput)
{
    fs::create_directory(dir / "full");
    if (::mount("tmpfs", (dir / "full").c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    struct unmount {
        fs::path at;
        ~unmount() { ::umount(at.c_str()); }
    } guard{dir / "full"};
    test::write_file(dir / "src", test::random_bytes(1 << 20));
    test::write_file(dir / "full/old", "older output");

    for (const std::string destination : {"full/new", "full/old"}) {
        const result r = run_here({"-e", "src", destination});
        EXPECT_EQ(r.out, "Encode...Can't write " + destination + " file.\n");
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_FALSE(fs::exists(dir / "full/new"));
    EXPECT_EQ(fs::file_size(dir / "full/old"), 0u);

    // Two fresh file systems number their files alike: the same inode is not the same file.
    fs::create_directory(dir / "other");
    ASSERT_EQ(::mount("tmpfs", (dir / "other").c_str(), "tmpfs", 0, "size=64k"), 0);
    const unmount other_guard{dir / "other"};
    test::write_file(dir / "other/old", "x");
    struct stat a {};
    struct stat b {};
    ::stat((dir / "full/old").c_str(), &a);
    ::stat((dir / "other/old").c_str(), &b);
    if (a.st_ino != b.st_ino)
        GTEST_SKIP() << "no two files with one inode number here";
    EXPECT_EQ(run_here({"-e", "other/old", "full/old"}).out, "Encode...OK.\n");
}

TEST_F(Morvask, SourceTheUserMayNotReadIsNotFound)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the tool as another user";
    fs::permissions(dir.path,
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    test::write_file(dir / "src", "private");
    ::chmod((dir / "src").c_str(), 0600);
    const auto before = snapshot(dir.path);

    const result r = run({"-e", "src", "dst"}, {dir.path, RLIM_INFINITY, 65534});
    if (r.status == 126 || r.status == 127)
        GTEST_SKIP() << "another user cannot reach the tool or the test's files here";
    EXPECT_EQ(r.out, "src file not found.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(snapshot(dir.path), before);
}
