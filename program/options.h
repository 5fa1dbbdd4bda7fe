// The command line, parsed once into a plain record that every mode reads.
// Options come before the operands; "--" ends them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dravik/codec.h"

namespace dravik {

enum class Mode {
    unpack,      // dravik ARCHIVE: list and unpack (the plain form)
    list,        // -t: list only
    to_stdout,   // -O: the selected files' data on stdout
    pack,        // -c ARCHIVE DIR
    compress,    // --compress IN OUT
    decompress,  // --decompress IN OUT
    update,      // -u ARCHIVE PATH...: put files from disk into the archive
    remove,      // --delete ARCHIVE GLOB...
    rename,      // --rename ARCHIVE OLD NEW
    diff,        // --diff A B
    check,       // --check ARCHIVE...: is each one sound, all the way down
    help,
    version,
    banner,      // no argument at all: the banner, exit 1
};

enum class Compression { by_name, yaz0, none };

struct Options {
    Mode mode = Mode::unpack;
    std::string directory;  // -C DIR; empty: the current directory
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    bool json = false;
    bool quiet = false;
    bool force = false;
    bool recursive = false;  // -r: archives inside archives too
    std::string like;  // --like ORIGINAL; empty: the default layout
    std::uint32_t align = 32;
    Compression compression = Compression::by_name;
    yaz0::EncodeOptions yaz0{yaz0::Level::standard, 0};
    bool level_given = false;  // --level was said (edits otherwise use best)
    std::string output;        // -o FILE: an edit's result goes there, not over ARCHIVE
    bool dry_run = false;      // -n: an edit tells what it would change, and writes nothing
    std::vector<std::string> operands;  // the archive, then what the mode needs
};

// Parses argv. On a usage error returns false and sets `error` to the
// one-line reason (without the "dravik: " prefix).
bool parse_options(int argc, char** argv, Options& options, std::string& error);

}  // namespace dravik
