// Changing an archive without unpacking it: -u (files from disk replace or
// join entries), --delete and --rename; and the lines that tell what
// changed, which --diff prints too.
#pragma once

#include <string>

#include "program/console.h"
#include "program/options.h"

namespace dravik {

// Runs -u, --delete or --rename. The archive is written as packing writes
// it (a temporary file beside it, renamed over it only when complete), or
// to -o FILE; with -n nothing is written. Prints one line per entry that
// changes (`A`, `M`, `D`, or `R OLD -> NEW`, by path), unless quiet.
// Returns 0, or 1 with one `dravik: <what>: <reason>` line per problem and
// the archive as it was.
int run_edit(const Options& options, Console& out);

// One line of what changed: "K path" (or "R from -> path"), or as JSON
// {"change": "K", "path": ...} with "from" for a rename.
void print_change(Console& out, bool json, char kind, const std::string& path,
                  const std::string& from = std::string());

}  // namespace dravik
