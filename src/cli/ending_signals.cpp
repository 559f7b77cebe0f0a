#include "cli/ending_signals.hpp"

#include <unistd.h>

namespace morvask {

namespace {

// The signals that end a run: every one whose default action ends the process, but SIGKILL,
// which cannot be caught; SIGPIPE and SIGXFSZ, which are ignored so that the write they stand for
// fails as any other; and SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT and SIGSYS, which
// report a fault in the process itself, whose core dump is worth more than a tidy directory.
// The real-time signals are added at run time: the C library keeps the first few for itself.
constexpr int named_ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,  SIGTERM,   SIGALRM,
                                        SIGUSR1, SIGUSR2, SIGXCPU,  SIGVTALRM, SIGPROF,
                                        SIGIO,   SIGPWR,  SIGSTKFLT};

// Set once, before any handler is installed.
sigset_t ending_signals;

void (*before_ending)();

// While this runs every ending signal waits, so what comes first is done once, and the run ends by
// the signal that reached it first, as it would have without us. The handler never returns, so
// the main flow never goes on from where it was stopped.
[[noreturn]] void end(int sig)
{
    before_ending();
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

} // namespace

void prepare_signals(void (*before)())
{
    before_ending = before;
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    sigemptyset(&ending_signals);
    for (const int sig : named_ending_signals)
        sigaddset(&ending_signals, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&ending_signals, sig);

    // Installed for good: reset to the default on entry, a second signal arriving at once would
    // end the run before the handler had discarded anything.
    struct sigaction action {};
    action.sa_handler = end;
    action.sa_mask = ending_signals;
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig = 1; sig < NSIG; ++sig) {
        // Ignored by whoever started us (nohup, a background job): that was a choice.
        struct sigaction inherited {};
        if (sigismember(&ending_signals, sig) == 1 && ::sigaction(sig, nullptr, &inherited) == 0 &&
            inherited.sa_handler != SIG_IGN && ::sigaction(sig, &action, nullptr) == 0)
            sigaddset(&handled, sig);
    }
    // Blocked by whoever started us (some supervisors and language runtimes leave them so), they
    // would leave the run to SIGKILL, the one signal after which partial output may remain.
    ::sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

signals_blocked::signals_blocked()
{
    ::sigprocmask(SIG_BLOCK, &ending_signals, &previous);
}

signals_blocked::~signals_blocked()
{
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace morvask
