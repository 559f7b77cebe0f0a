#pragma once

#include "test_support.hpp"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

// The built tool as a child process, started as a user's shell or another program would start it,
// under the conditions a case sets.

namespace test {

// Calls that the tool must survive failing, as some file systems and kernels fail them.
enum class refused { none, unnamed_files, close, status_flags, descriptor_link, xattr, xattr_room };

struct run_options {
    std::filesystem::path cwd = {};
    std::filesystem::path tool = MORVASK_BINARY;
    rlim_t file_size_limit = RLIM_INFINITY;
    uid_t user = 0;                 // other than root: run as this user
    int ignored_signal = 0;         // ignored from the start, as under nohup
    int blocked_signal = 0;         // blocked from the start, as some supervisors leave it
    int standard_output_flags = 0;  // O_NONBLOCK, as another program may leave it
    mode_t umask = 022;             // 0 shows every permission bit the tool asks for
    bool own_pid_namespace = false; // the tool is its first process, as in a container
    bool no_proc = false;           // in a mount namespace without /proc, as a bare chroot
    bool on_cpu0 = false;           // on CPU 0 alone
    refused refuse = refused::none;
    unsigned short terminal = 0; // standard output a pseudo-terminal this wide, not a pipe
    const char* term = nullptr;  // TERM, if not the test's own; unset if empty
};

// A seccomp filter: the refused call fails with EOPNOTSUPP (O_TMPFILE, as vfat and some FUSE and
// network file systems answer it), EIO (close, of the destination's descriptor and later ones),
// EPERM (fcntl's F_GETFL), ENOENT (linkat of a descriptor, as kernels before 6.10 answer it
// without CAP_DAC_READ_SEARCH), EPERM or ENOSPC (fsetxattr).
inline bool refuse_in_child(refused what)
{
    const struct {
        long call;
        std::size_t argument;
        __u16 test;
        __u32 value, error;
    } refusals[] = {
        {__NR_openat, 2, BPF_JSET, O_TMPFILE & ~O_DIRECTORY, EOPNOTSUPP},
        {__NR_close, 0, BPF_JGE, 4, EIO},
#ifdef __NR_fcntl64
        {__NR_fcntl64, 1, BPF_JEQ, F_GETFL, EPERM},
#else
        {__NR_fcntl, 1, BPF_JEQ, F_GETFL, EPERM},
#endif
        {__NR_linkat, 4, BPF_JSET, AT_EMPTY_PATH, ENOENT},
        {__NR_fsetxattr, 0, BPF_JGE, 0, EPERM},
        {__NR_fsetxattr, 0, BPF_JGE, 0, ENOSPC},
    };
    const auto& r = refusals[static_cast<int>(what) - 1];
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

// The calling thread runs on that CPU alone, where the test may use it.
inline void pin_to_cpu(int cpu)
{
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(static_cast<std::size_t>(cpu), &only);
    ::sched_setaffinity(0, sizeof only, &only);
}

// The child's part of start(), up to exec; 126 where the set-up fails. fds: the test's descriptor,
// and the tool's number for it.
inline void become_tool(const run_options& options, const std::vector<std::pair<int, int>>& fds,
                        int out, int err)
{
    ::umask(options.umask);
    if (options.on_cpu0)
        pin_to_cpu(0);
    // SIGQUIT dumps core: not into the test's folder, nor, under qemu-user, with a word on
    // standard error.
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    const rlimit no_core{0, 0};
    if ((options.term != nullptr &&
         (*options.term ? ::setenv("TERM", options.term, 1) : ::unsetenv("TERM")) != 0) ||
        (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ||
        (options.no_proc && (::unshare(CLONE_NEWNS) != 0 ||
                             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                             ::umount2("/proc", MNT_DETACH) != 0)) ||
        ::setrlimit(RLIMIT_FSIZE, &limit) != 0 || ::setrlimit(RLIMIT_CORE, &no_core) != 0)
        ::_exit(126);
    // As an interactive shell starts it, whatever the test runner ignores or blocks.
    for (int sig = 1; sig < NSIG; ++sig)
        ::signal(sig, sig == options.ignored_signal ? SIG_IGN : SIG_DFL);
    sigset_t blocked;
    sigemptyset(&blocked);
    if (options.blocked_signal != 0)
        sigaddset(&blocked, options.blocked_signal);
    ::sigprocmask(SIG_SETMASK, &blocked, nullptr);
    if (options.user != 0 && (::setgid(options.user) != 0 || ::setuid(options.user) != 0))
        ::_exit(126);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    // Without close-on-exec, which dup2 onto the same number would leave.
    for (const auto& [from, to] : fds)
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
inline running start(const std::vector<std::string>& args, const run_options& options,
                     const std::vector<std::pair<int, int>>& fds)
{
#ifdef MORVASK_LAUNCHER
    // qemu-user's -0 names the program it runs.
    std::vector<const char*> argv{MORVASK_LAUNCHER, "-0", "renamed-tool", options.tool.c_str()};
    const char* const program = argv[0];
#else
    std::vector<const char*> argv{"renamed-tool"};
    const char* const program = options.tool.c_str();
#endif
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    const winsize size{24, options.terminal, 0, 0};
    if ((options.terminal > 0 ? ::openpty(&out[0], &out[1], nullptr, nullptr, &size)
                              : ::pipe(out)) != 0 ||
        ::fcntl(out[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(out[1], F_SETFD, FD_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0)
        return {-1, -1, -1};
    // Raw clone, as fork with one flag more: glibc has no wrapper that copies the stack.
    const auto pid =
        options.own_pid_namespace
            ? static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, 0, 0, 0, 0))
            : ::fork();
    if (pid == 0) {
        become_tool(options, fds, out[1], err[1]);
        ::execvp(program, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    for (const int fd : {out[1], err[1]})
        ::close(fd);
    return {pid, out[0], err[0]};
}

struct result {
    std::string out;
    std::string err;
    int status; // the exit status, or 128 + the signal the tool died of
    int raw;    // as waitpid gives it, which tells the two apart
};

inline result finish(const running& run)
{
    result r{test::drain(run.out), test::drain(run.err), -1, -1};
#ifdef MORVASK_LAUNCHER
    // The emulator's own line when the tool dies of a signal that dumps core; not the tool's.
    if (r.err.starts_with("qemu: uncaught target signal "))
        r.err.erase(0, r.err.find('\n') + 1);
#endif
    ::waitpid(run.pid, &r.raw, 0);
    r.status = WIFEXITED(r.raw) ? WEXITSTATUS(r.raw) : 128 + WTERMSIG(r.raw);
    return r;
}

// Sends sig again and again until the process, on CPU 0, has ended, from a thread on CPU 1, so
// that signals land while an earlier one is being delivered.
inline void send_until_ended(pid_t pid, int sig)
{
    std::thread([=] {
        pin_to_cpu(1);
        siginfo_t ended{};
        for (int round = 0; round < 100'000 && ended.si_pid == 0; ++round) {
            for (int i = 0; i < 100; ++i)
                ::kill(pid, sig);
            ::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT);
        }
    }).join();
}

} // namespace test
