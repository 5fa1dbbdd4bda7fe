// One output file written whole or not at all: made under a temporary name
// in the folder it is to live in, flushed to the disk, and renamed into
// place only when complete. Until then any old file of that name is
// untouched; an abandoned output (a failure, an interruption) leaves
// nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/platform/platform.h"

namespace dravik {

struct OutputFile {
    FileDescriptor dir;
    std::string name;      // the final name within `dir`
    std::string temp;      // the name being written
    FileDescriptor fd;
    bool force = false;
    FileIdentity existing;  // what has the final name now, when anything does
    FileIdentity written;   // the temporary file
    std::vector<std::uint8_t> buffer;
    std::size_t used = 0;
    int error_number = 0;   // the first failure's errno
    bool committed = false;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Prepares to write `path`. False with a reason (without the path) when its
// folder cannot be opened, something other than a file has the name, or a
// file has it and `force` is not set.
bool output_begin(OutputFile& out, const std::string& path, bool force, std::string& reason);
// Buffered writes. False once any write has failed.
bool output_write(OutputFile& out, const std::uint8_t* data, std::size_t size);
bool output_flush(OutputFile& out);
// Flushes, syncs and renames into place. False with a reason on failure,
// after which nothing of the output is left.
bool output_commit(OutputFile& out, std::string& reason);
// Removes what was written (also done when `out` goes out of scope).
void output_abort(OutputFile& out);

// Whether `a` and `b` are both known and the same file.
bool same_identity(const FileIdentity& a, const FileIdentity& b);

}  // namespace dravik
