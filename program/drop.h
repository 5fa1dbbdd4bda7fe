// What dravik does when it owns its console, as when Explorer starts it for
// a file or folder dropped on dravik.exe: an archive unpacks beside itself
// into ARCHIVE.d, and such a folder packs back like its archive into a new
// file beside it. The console closes with the process, so the run ends
// waiting for a key.
#pragma once

#include "program/console.h"

namespace dravik {

// Runs dravik started in a console of its own. Paths as arguments are drops,
// each handled in turn; with no argument, or options first, the command runs
// as typed. Returns the exit status: 0 only when every drop was done whole.
int run_in_own_console(int argc, char** argv, Console& out);

}  // namespace dravik
