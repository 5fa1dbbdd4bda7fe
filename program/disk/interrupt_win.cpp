#include "program/disk/interrupt.h"

#include <atomic>
#include <cstdlib>

#include "lib/platform/platform_win.h"
#include "program/disk/create_pause.h"
#include "program/disk/tree.h"

namespace dravik::disk {

namespace {

// The file being written, for the console handler. The handler runs on its
// own thread; the lock keeps the walk from moving on to another file (or
// renaming this one into place) while the handler removes it.
SRWLOCK g_guard_lock = SRWLOCK_INIT;
int g_guard_dir = -1;
const char* g_guard_name = nullptr;
// Set by the handler before it waits for the lock. The lock is not fair:
// without this, the walk could finish the held file, and even release it,
// before the waiting handler got its turn.
std::atomic<bool> g_interrupt_waiting{false};
// Held between hold_interrupts and release_interrupts: the console handler
// waits until the file created meanwhile is guarded.
bool g_holding = false;

[[noreturn]] void remove_guarded_and_end() {
    if (g_guard_name) remove_file(g_guard_dir, g_guard_name);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(0xC000013A));  // STATUS_CONTROL_C_EXIT
    std::abort();  // not reached: TerminateProcess on this process does not return
}

BOOL WINAPI remove_partial_and_exit(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: break;
        default: return FALSE;
    }
    g_interrupt_waiting.store(true);
    ::AcquireSRWLockExclusive(&g_guard_lock);  // held until the process ends
    remove_guarded_and_end();
}

}  // namespace

void install_interrupt_cleanup() {
    ::SetConsoleCtrlHandler(remove_partial_and_exit, TRUE);
}

void hold_interrupts() {
    ::AcquireSRWLockExclusive(&g_guard_lock);
    g_holding = true;
}

void release_interrupts() {
    g_holding = false;
    // An interrupt that came while held is acted on here, with the file just
    // guarded, as a POSIX signal is delivered the moment it is unblocked.
    if (g_interrupt_waiting.load()) remove_guarded_and_end();
    ::ReleaseSRWLockExclusive(&g_guard_lock);
}

void guard_partial_file(int dir, const char* name) {
    create_pause();
    if (!g_holding) ::AcquireSRWLockExclusive(&g_guard_lock);
    g_guard_dir = dir;
    g_guard_name = name;
    if (!g_holding) ::ReleaseSRWLockExclusive(&g_guard_lock);
}

void release_partial_file() {
    if (!g_holding) ::AcquireSRWLockExclusive(&g_guard_lock);
    g_guard_name = nullptr;
    if (!g_holding) ::ReleaseSRWLockExclusive(&g_guard_lock);
}

void remove_partial_file() {
    ::AcquireSRWLockExclusive(&g_guard_lock);
    if (g_guard_name) remove_file(g_guard_dir, g_guard_name);
    g_guard_name = nullptr;
    ::ReleaseSRWLockExclusive(&g_guard_lock);
}

}  // namespace dravik::disk
