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
sigset_t g_handled;      // the signals whose handler removes the guarded file
sigset_t g_held_before;  // the mask hold_interrupts replaced

// Every signal that can be caught and whose default is to end the process
// (SIGBUS too: a mapped archive cut short under a running unpack raises
// it). SIGXFSZ is ignored instead, below.
constexpr int kTerminating[] = {SIGINT,    SIGTERM, SIGHUP,  SIGPIPE, SIGQUIT, SIGUSR1,
                                SIGUSR2,   SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGBUS};

extern "C" void remove_partial_and_reraise(int signal_number) {
    const int saved = errno;
    const char* name = g_guard_name.load();
    const int dir = g_guard_dir.load();
    if (name && dir >= 0) ::unlinkat(dir, name, 0);
    // The signal stays blocked until the handler returns, and is then
    // delivered again with its default action.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
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
        action.sa_handler = remove_partial_and_reraise;
        action.sa_mask = g_handled;  // one cleanup at a time
        ::sigaction(s, &action, nullptr);
    }
}

void hold_interrupts() { ::sigprocmask(SIG_BLOCK, &g_handled, &g_held_before); }

void release_interrupts() { ::sigprocmask(SIG_SETMASK, &g_held_before, nullptr); }

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
