// Packing a folder into a U8 archive (dravik -c ARCHIVE DIR), in the
// default layout or laid out like an existing archive (--like ORIGINAL),
// bare or compressed; and the listing of the archive as written.
#pragma once

#include "program/options.h"
#include "program/console.h"

namespace dravik {

// Returns the exit status: 0 when ARCHIVE was written whole, else 1 with
// one `dravik: <path>: <reason>` line per problem and nothing written
// under ARCHIVE (an old file of that name is kept).
int run_pack(const Options& options, Console& out);

}  // namespace dravik
