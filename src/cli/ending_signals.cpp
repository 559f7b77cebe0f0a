#include "cli/ending_signals.hpp"

#include <unistd.h>

namespace morvask {

namespace {

// Every signal whose default action ends the process but SIGKILL; SIGPIPE and SIGXFSZ, ignored so
// that their writes fail as any other; and the faults, whose core dump is worth more than a tidy
// directory. The real-time ones are added at run time: the C library keeps the first few.
constexpr int named_ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,  SIGTERM,   SIGALRM,
                                        SIGUSR1, SIGUSR2, SIGXCPU,  SIGVTALRM, SIGPROF,
                                        SIGIO,   SIGPWR,  SIGSTKFLT};

sigset_t ending_signals; // set before any handler is installed

void (*before_ending)();

// Every other ending signal waits meanwhile, so that this is done once, and the run ends by the
// first, as it would have without us. It never returns to where the main flow was stopped.
[[noreturn]] void end(int sig)
{
    before_ending();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    // Still alive as the first process of a PID namespace, which ignores a default action.
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

    // For good: reset on entry, a second signal could end the run before anything was discarded.
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
    // Left blocked by whoever started us (some supervisors do), they would leave the run to
    // SIGKILL.
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
