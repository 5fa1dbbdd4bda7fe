// Comparing two archives by what they hold (dravik --diff A B), whatever
// their carriers, node order, alignment and padding.
#pragma once

#include "program/console.h"
#include "program/options.h"

namespace dravik {

// Prints one line per entry that differs (`A path`: only in B, `D path`:
// only in A, `M path`: other bytes, or a file in one and a folder in the
// other), then whether the contents are the same and the U8 archives byte
// for byte identical. Returns 0 for the same contents, 1 when they differ,
// 2 when either archive cannot be read, as cmp and diff do.
int run_diff(const Options& options, Console& out);

}  // namespace dravik
