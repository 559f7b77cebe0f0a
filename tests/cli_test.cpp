#include "codec/fd_stream.hpp"
#include "test_support.hpp"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

struct result {
    std::string out;
    std::string err;
    int status;
};

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
    unsigned short terminal = 0;    // standard output a pseudo-terminal this wide, not a pipe
    const char* term = nullptr;     // TERM, if not the test's own; unset if empty
};

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
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (options.ignored_signal != 0)
            ::signal(options.ignored_signal, SIG_IGN);
        if (options.user != 0 && (::setgid(options.user) != 0 || ::setuid(options.user) != 0))
            ::_exit(126);
        ::dup2(options.standard_output >= 0 ? options.standard_output : out[1], STDOUT_FILENO);
        ::fcntl(STDOUT_FILENO, F_SETFL,
                ::fcntl(STDOUT_FILENO, F_GETFL) | options.standard_output_flags);
        ::dup2(err[1], STDERR_FILENO);
        ::execvp(program, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    return {pid, out[0], err[0]};
}

result finish(const running& run)
{
    result r{test::drain(run.out), test::drain(run.err), -1};
#ifdef MORVASK_LAUNCHER
    // The emulator's own line when the tool dies of a signal that dumps core; not the tool's.
    const std::string emulator_line = "qemu: uncaught target signal ";
    if (r.err.starts_with(emulator_line))
        r.err.erase(0, r.err.find('\n') + 1);
#endif
    int status = 0;
    ::waitpid(run.pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

result run(const std::vector<std::string>& args, const run_options& options = {})
{
    const running started = start(args, options);
    if (started.pid < 0)
        return {"", "could not start the tool", -1};
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
};

} // namespace

TEST_F(Morvask, RefusedRunsTouchNothing)
{
    test::write_file(dir / "src", "plain text\n");
    test::write_file(dir / "dst", "older output");
    fs::create_hard_link(dir / "src", dir / "hard");
    fs::create_symlink("src", dir / "soft");
    fs::create_directory(dir / "sub");
    const auto before = snapshot(dir.path);

    const refused_case cases[] = {
        {{}, usage, 2},
        {{"-e"}, usage, 2},
        {{"-e", "src"}, usage, 2},
        {{"-e", "src", "dst", "more"}, usage, 2},
        {{"--help"}, usage, 0},
        {{"-h"}, usage, 0},
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
    };
    for (const refused_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const result r = run_here(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(snapshot(dir.path), before);
    }
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
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(Morvask, CreatedDestinationIsNoMoreOpenThanItsSource)
{
    // Source's mode, umask, destination's mode. A umask of 0 shows every bit the tool asks for.
    const std::tuple<mode_t, mode_t, mode_t> cases[] = {
        {0600, 022, 0600}, {0640, 022, 0640}, {0666, 022, 0644}, {0755, 022, 0644},
        {0407, 022, 0604}, {0666, 0, 0666},   {0777, 0, 0666},   {0620, 0, 0620},
    };
    test::write_file(dir / "src", "x");
    for (const auto& [source_mode, umask, expected] : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << source_mode << " under umask " << umask);
        fs::remove(dir / "dst");
        ::chmod((dir / "src").c_str(), source_mode);
        run_options options = here;
        options.umask = umask;
        EXPECT_EQ(run({"-e", "src", "dst"}, options).status, 0);
        EXPECT_EQ(mode_of(dir / "dst"), expected);
    }
    ::chmod((dir / "dst").c_str(), 0660);
    EXPECT_EQ(run_here({"-e", "src", "dst"}).status, 0);
    EXPECT_EQ(mode_of(dir / "dst"), 0660u);
}

TEST_F(Morvask, FailedRunLeavesNoPartialOutput)
{
    struct failure_case {
        std::string source;
        std::string destination;
        bool existing;
        rlim_t file_size_limit;
        std::string out;
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
    };
    const std::string data = test::random_bytes(1 << 20);
    test::write_file(dir / "src", data);
    ::mkfifo((dir / "fifo").c_str(), 0600);
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.out + (c.existing ? " over an existing file" : ""));
        fs::remove(dir / "dst");
        if (c.existing) {
            test::write_file(dir / "dst", "older output");
            ::chmod((dir / "dst").c_str(), 0640);
        }
        std::thread leaving_reader;
        if (c.destination == "fifo")
            leaving_reader =
                std::thread([&] { ::close(::open((dir / "fifo").c_str(), O_RDONLY)); });
        const result r = run({"-e", c.source, c.destination}, {dir.path, c.file_size_limit});
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

// The run stalls on a FIFO source after its first flush, and is then stopped by a signal.
TEST_F(Morvask, SignalThatEndsARunDiscardsItsOutput)
{
    // What is done to the destination before the signal: renamed to "moved" and another file put
    // at its name, or given "moved" as a second name.
    enum class meddling { none, renamed, linked };
    struct signal_case {
        int sig;
        bool existing;
        // As a second Ctrl-C does, or timeout's signal to the child, then to its group.
        bool repeated = false;
        bool ignored_at_start = false;
        bool own_pid_namespace = false;
        meddling meddled = meddling::none;
    };
    const signal_case cases[] = {
        {SIGHUP, false},
        {SIGINT, true},
        {SIGQUIT, false},
        {SIGTERM, true},
        {SIGALRM, false},
        {SIGUSR1, true},
        {SIGUSR2, false},
        {SIGXCPU, true},
        {SIGRTMIN + 2, false},
        {SIGINT, false, true},
        {SIGTERM, true, true},
        {.sig = SIGTERM, .existing = true, .own_pid_namespace = true},
        {.sig = SIGTERM, .existing = false, .meddled = meddling::renamed},
        {.sig = SIGTERM, .existing = false, .meddled = meddling::linked},
        {.sig = SIGHUP, .existing = true, .ignored_at_start = true},
    };
    const std::string data = test::random_bytes(3 * morvask::stream_buffer_size);
    const std::size_t first_part = 2 * morvask::stream_buffer_size;
    ::mkfifo((dir / "in").c_str(), 0600);
    // A tool that died early must fail the test, not end it.
    const auto previous_sigpipe = ::signal(SIGPIPE, SIG_IGN);
    for (const signal_case& c : cases) {
        SCOPED_TRACE(testing::Message() << strsignal(c.sig) << (c.existing ? ", existing" : ", new")
                                        << (c.repeated ? ", repeated" : "")
                                        << (c.ignored_at_start ? ", ignored at start" : "")
                                        << (c.own_pid_namespace ? ", as PID 1" : "")
                                        << (c.meddled == meddling::renamed  ? ", renamed"
                                            : c.meddled == meddling::linked ? ", linked"
                                                                            : ""));
        fs::remove(dir / "dst");
        fs::remove(dir / "moved");
        if (c.existing)
            test::write_file(dir / "dst", "older output");
        run_options options = here;
        options.ignored_signal = c.ignored_at_start ? c.sig : 0;
        options.own_pid_namespace = c.own_pid_namespace;
        const auto [tool_cpu, sender_cpu] = two_cpus();
        if (c.repeated)
            options.cpu = tool_cpu;
        const running tool = start({"-e", "in", "dst"}, options);
        if (tool.pid < 0 && c.own_pid_namespace) {
            std::cout << "[ SKIPPED  ] no PID namespace here: " << std::strerror(errno) << '\n';
            continue;
        }
        const int feed = ::open((dir / "in").c_str(), O_WRONLY);
        ASSERT_EQ(::write(feed, data.data(), first_part), static_cast<ssize_t>(first_part));
        for (int tries = 0; tries < 1000 && fs::file_size(dir / "dst") < first_part / 2; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GE(fs::file_size(dir / "dst"), first_part / 2) << "the run never got going";
        if (c.meddled == meddling::renamed) {
            fs::rename(dir / "dst", dir / "moved");
            test::write_file(dir / "dst", "precious");
        } else if (c.meddled == meddling::linked) {
            fs::create_hard_link(dir / "dst", dir / "moved");
        }

        if (c.repeated)
            send_until_ended(tool.pid, c.sig, sender_cpu);
        else
            ::kill(tool.pid, c.sig);
        if (c.ignored_at_start)
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
        EXPECT_EQ(r.status, 128 + c.sig);
        EXPECT_EQ(r.out.find("OK."), std::string::npos) << r.out;
        if (c.meddled != meddling::none) {
            EXPECT_EQ(fs::file_size(dir / "moved"), 0u);
        }
        if (c.meddled == meddling::renamed) {
            EXPECT_EQ(test::read_file(dir / "dst"), "precious");
            continue;
        }
        EXPECT_EQ(fs::exists(dir / "dst"), c.existing);
        if (c.existing) {
            EXPECT_EQ(fs::file_size(dir / "dst"), 0u);
        }
    }
    ::signal(SIGPIPE, previous_sigpipe);
}

// `morvask -e src /dev/stdout | next`, `>> log`, `{ ...; } > file`, a socket: the data lands where
// the caller's standard output stands, among the caller's own bytes, and not a word beside it.
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
        {{"-e", "src", "out"}, kind::file, O_APPEND, older, "", older + encoded},
        {{"-e", "src", "/dev/stdout"}, kind::socket, 0, "", "", encoded},
        {{"-e", "missing", "/dev/stdout"}, kind::pipe, 0, "", "", "", 1},
        {{"-e", "/proc/self/mem", "/dev/stdout"}, kind::file, O_APPEND, older, "", older, 1},
        {{"-x", "src", "/dev/stdout"}, kind::pipe, 0, "", "", "", 2},
        {{"-e", "src", "/dev/stdout"}, kind::file, O_APPEND, "", "", data, 1, "src"},
    };
    for (const stdout_case& c : cases) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(c.args) << " to a "
                                        << (c.standard_output == kind::pipe   ? "pipe"
                                            : c.standard_output == kind::file ? c.file
                                                                              : "socket")
                                        << (c.flags & O_APPEND ? ", appending" : "")
                                        << (c.flags & O_NONBLOCK ? ", non-blocking" : ""));
        run_options options = here;
        options.standard_output_flags = c.flags;
        int sockets[2] = {-1, -1};
        std::string through_socket;
        std::thread socket_reader;
        if (c.standard_output == kind::file) {
            options.standard_output = ::open(
                (dir / c.file).c_str(),
                O_WRONLY | O_CREAT | O_CLOEXEC | c.flags | (c.file == "src" ? 0 : O_TRUNC), 0644);
            ASSERT_EQ(::write(options.standard_output, c.before.data(), c.before.size()),
                      static_cast<ssize_t>(c.before.size()));
        } else if (c.standard_output == kind::socket) {
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
            options.standard_output = sockets[0];
            socket_reader = std::thread([&] { through_socket = test::drain(sockets[1]); });
        }
        const running tool = start(c.args, options);
        if (c.standard_output == kind::socket)
            ::close(sockets[0]);
        const result r = finish(tool);
        if (socket_reader.joinable())
            socket_reader.join();
        if (c.standard_output == kind::file) {
            ASSERT_EQ(::write(options.standard_output, c.after.data(), c.after.size()),
                      static_cast<ssize_t>(c.after.size()));
            ::close(options.standard_output);
        }

        const std::string got = c.standard_output == kind::pipe   ? r.out
                                : c.standard_output == kind::file ? test::read_file(dir / c.file)
                                                                  : through_socket;
        EXPECT_TRUE(got == c.expected)
            << got.size() << " bytes, not the " << c.expected.size() << " expected";
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
