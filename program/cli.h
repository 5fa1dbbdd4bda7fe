// The program's command line and its walk over an archive, callable without
// a process of their own (main runs run_cli, or run_in_own_console when
// Explorer started it).
#pragma once

#include <memory>

#include "program/console.h"
#include "program/options.h"
#include "dravik/archive.h"

namespace dravik {

// Runs dravik on its arguments and returns the exit status: the banner, the
// flags, or opening the archive named by argv[1] and then list_and_unpack.
// Standard output goes through `out`; diagnostics go to out.error_fd.
int run_cli(int argc, char** argv, Console& out);

// Lists, unpacks or copies out the archive options.operands[0] as the
// options ask (-t, -C, -O, --include, ...), from opening it to the last
// line. Returns the exit status.
int run_on_archive(const Options& options, Console& out);

// Everything after a successful open: the status lines, the listing and the
// unpacking into the current directory. `path` is only used in messages.
// Releases the archive. Returns the exit status: 0 only when every entry
// was unpacked and the listing was written. With `recursive`, as -r: the
// archives inside files too.
int list_and_unpack(ArchivePtr& archive, const char* path, const OpenStatus& status, Console& out,
                    bool recursive = false);

// Lists an open archive as -t does (text, JSON Lines, or nothing with
// `quiet`), and releases it. Returns the exit status. An archive `written`
// by this run may hold the root alone: it is listed as holding nothing.
int list_archive(ArchivePtr& archive, const char* path, const OpenStatus& status, bool json,
                 bool quiet, Console& out, bool written = false);

}  // namespace dravik
