#include "program/disk/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "program/disk/create_pause.h"

namespace dravik::disk {

namespace {

std::atomic<int> g_guard_dir{-1};
std::atomic<const char*> g_guard_name{nullptr};
sigset_t g_handled;  // the signals whose handler removes the guarded file
// While held, a signal is only noted, and acted on when the hold ends: a
// flag instead of two sigprocmask calls per file, which on a run of many
// small files cost as much as a system call of the floor's.
volatile sig_atomic_t g_holding = 0;
volatile sig_atomic_t g_pending = 0;

// Every signal that can be caught and whose default is to end the process
// (SIGBUS too: a mapped archive cut short under a running unpack raises
// it). SIGXFSZ is ignored instead, below.
constexpr int kTerminating[] = {SIGINT,    SIGTERM, SIGHUP,  SIGPIPE, SIGQUIT, SIGUSR1,
                                SIGUSR2,   SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGBUS};

void remove_and_reraise(int signal_number) {
    const char* name = g_guard_name.load();
    const int dir = g_guard_dir.load();
    if (name && dir >= 0) ::unlinkat(dir, name, 0);
    // Inside the handler the signal stays blocked until it returns, and is
    // then delivered again with its default action; outside, at once.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

extern "C" void on_terminating_signal(int signal_number) {
    const int saved = errno;
    if (g_holding) {
        g_pending = signal_number;
    } else {
        remove_and_reraise(signal_number);
    }
    errno = saved;
}

}  // namespace

void install_interrupt_cleanup() {
    // A file-size limit should fail the one entry with "File too large", not
    // kill the whole run.
    ::signal(SIGXFSZ, SIG_IGN);
    sigemptyset(&g_handled);
    for (int s : kTerminating) sigaddset(&g_handled, s);
    for (int s : kTerminating) {
        struct sigaction action {};
        // Keep a signal the caller chose to ignore ignored (nohup).
        if (::sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
        action = {};
        action.sa_handler = on_terminating_signal;
        action.sa_mask = g_handled;  // one cleanup at a time
        // A signal noted during a hold must not fail the call it interrupted.
        action.sa_flags = SA_RESTART;
        ::sigaction(s, &action, nullptr);
    }
}

void hold_interrupts() {
    g_holding = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void release_interrupts() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_holding = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    // A signal that came during the hold is acted on now. One that comes
    // from here on finds the hold ended and acts itself.
    if (const int pending = g_pending) {
        g_pending = 0;
        remove_and_reraise(pending);
    }
}

void guard_partial_file(int dir, const char* name) {
    create_pause();
    g_guard_name.store(nullptr);
    g_guard_dir.store(dir);
    g_guard_name.store(name);
}

void release_partial_file() { g_guard_name.store(nullptr); }

void remove_partial_file() {
    hold_interrupts();
    const char* name = g_guard_name.exchange(nullptr);
    if (name) ::unlinkat(g_guard_dir.load(), name, 0);
    release_interrupts();
}

}  // namespace dravik::disk
