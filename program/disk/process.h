// What the program needs of its own process: its standard streams, its
// arguments, and how many files it may hold open.
#pragma once

#include <cstdint>

namespace dravik::disk {

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when they were
// closed), so that no file the program opens can take their place and
// receive the listing or the diagnostics.
void protect_standard_streams();

// Makes argv the program's arguments in UTF-8, whatever the system's code
// page (a no-op where arguments are bytes already).
void use_utf8_arguments(int* argc, char*** argv);

// Whether `fd` is a terminal, where names must not reach as raw bytes.
bool is_terminal(int fd);

// How many descriptors the process may hold open at once (very large when
// there is no limit).
std::uint64_t open_files_limit();

// This process's id, which keeps the temporary names of runs side by side
// apart.
long process_id();

// Whether the console is this process's alone: Explorer starts a console
// program (a file dropped on it, a double click) in a console of its own,
// where a command typed in a console window or run by a script shares that
// window's console. False where there are no consoles.
bool owns_console();

// Shows "Press any key to close this window." and waits for a key, so that
// the user can read a console that closes with the process. Returns at once
// when standard input is not the console or the console has no window
// (started hidden): nothing can wait for a key that cannot come.
void wait_for_key();

}  // namespace dravik::disk
