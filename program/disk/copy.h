// Moving bytes into an open file: file data out of an archive, and whole
// buffers. Calls that fail return false with errno set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/platform/platform.h"

namespace dravik::disk {

// What copying file data out of one archive needs between calls: a pipe for
// splicing, a buffer holding a window of the archive, and which ways the
// kernel has refused.
struct Copier {
    FileDescriptor pipe_read;
    FileDescriptor pipe_write;
    std::size_t pipe_size = 0;
    std::vector<std::uint8_t> buffer;  // allocated on first use
    std::uint64_t window_start = 0;    // the archive bytes the buffer holds
    std::size_t window_size = 0;
    bool copy_range_unusable = false;
    bool splice_unusable = false;
    // Ask the kernel to copy whatever the offsets, not only from a page
    // boundary: between two archives (an edit) most stretches start off
    // one, and there the kernel's copy measured well ahead of splicing.
    bool copy_range_anywhere = false;
};

// Allocates what copy_file_data needs in memory, so that a file is created
// only once its copy cannot fail for want of memory. False, with errno
// ENOMEM, when that memory is not there.
bool prepare_copier(Copier& copier);

// Copies `length` bytes at `offset` of `in` to the end of `out`, in bounded
// memory. Sets *input_ended when `in` ended first (errno is then 0).
bool copy_file_data(Copier& copier, int in, std::uint64_t offset, int out, std::uint64_t length,
                    bool* input_ended);
// Writes all of `data`, resuming after partial writes and interruptions.
bool write_all(int out, const std::uint8_t* data, std::uint64_t length);

namespace detail {
// The size of Copier::buffer, which each platform's copy file sets for the
// way it reads; prepare_copier is shared.
extern const std::size_t copy_buffer_size;
}  // namespace detail

}  // namespace dravik::disk
