// --check ARCHIVE...: whether each archive is sound all the way down, before
// it goes on a console: every carrier decodes exactly, every checksum and
// stated size matches, every table is sound and every file's data lies
// inside its archive; and where a console or game may read it otherwise
// than a PC (names alike but for case, names twice in a folder, data shared
// between entries), a warning.
#pragma once

#include "program/console.h"
#include "program/options.h"

namespace dravik {

// One `dravik: PATH: finding` line on standard error per finding, then
// `ARCHIVE: ok` or `ARCHIVE: N problems` on standard output (with --json,
// one object per finding and one per archive on standard output). Returns
// 0 when no archive has a problem (warnings allowed), else 1.
int run_check(const Options& options, Console& out);

}  // namespace dravik
