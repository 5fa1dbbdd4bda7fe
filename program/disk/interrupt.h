// Leaving no partial file behind when the run is interrupted.
#pragma once

namespace dravik::disk {

// A file being written (under its final name or a temporary one) is removed
// if the process is stopped by any signal that can be caught, so that an
// interrupted run never leaves an empty or truncated file that looks
// complete. Only SIGKILL (and a power loss) can still leave one. At most one
// file is guarded at a time; `name` must stay valid until the guard is
// released.
void install_interrupt_cleanup();
void guard_partial_file(int dir, const char* name);
void release_partial_file();
// Removes the guarded file now and releases the guard: for a run that ends
// abnormally in the middle of an entry (memory ran out).
void remove_partial_file();
// Defers the signals the cleanup handles, so that a file cannot be created
// without being guarded: create and guard it between these two calls. Calls
// do not nest.
void hold_interrupts();
void release_interrupts();
// Holds them while in scope.
struct InterruptsHeld {
    InterruptsHeld() { hold_interrupts(); }
    ~InterruptsHeld() { release_interrupts(); }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

}  // namespace dravik::disk
