// Compressing any file with Yaz0 (--compress IN OUT) and removing every
// carrier from one (--decompress IN OUT). OUT is written whole or not at
// all, as packing writes its archive.
#pragma once

#include "program/options.h"
#include "program/console.h"

namespace dravik {

// Mode::compress or Mode::decompress. Returns the exit status: 0 when OUT
// was written, else 1 after one `dravik: <path>: <reason>` line.
int run_convert(const Options& options, Console& out);

}  // namespace dravik
