// Yaz0 encoding. The encoder streams: the decoded size goes in the header
// first, so it must be known up front, and then input is fed in pieces of
// any size and compressed output leaves through a sink as it is produced.
// Memory is bounded by the block size times the thread count, never by the
// input size. The output depends only on the input and the level, not on
// the thread count or on how the input was cut into pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/common/sink.h"

namespace dravik::yaz0 {

enum class Level {
    fast,      // greedy, a little above the minimum, fastest
    standard,  // close to the minimum ("default" on the command line)
    best,      // the smallest stream the format allows
};

struct EncodeOptions {
    Level level = Level::standard;
    unsigned threads = 1;  // 0: one per online CPU
};

struct Encoder;
struct EncoderFree {
    void operator()(Encoder* encoder) const;
};
using EncoderPtr = std::unique_ptr<Encoder, EncoderFree>;

// Starts a stream that will hold exactly `decoded_size` bytes of input.
// Returns null when memory for the encoder cannot be had.
EncoderPtr encoder_begin(std::uint32_t decoded_size, const EncodeOptions& options, ByteSink sink);
// Feeds the next input bytes. False once the sink has failed, or when more
// than `decoded_size` bytes have been fed in all.
bool encoder_feed(Encoder& encoder, const std::uint8_t* data, std::size_t size);
// Flushes what is left. False when the sink failed or when fewer bytes than
// `decoded_size` were fed.
bool encoder_finish(Encoder& encoder);

// The whole stream, header included, for `size` bytes in memory; empty
// when `size` does not fit the header's 32 bits or memory cannot be had.
std::vector<std::uint8_t> encode(const std::uint8_t* data, std::size_t size,
                                 const EncodeOptions& options);

}  // namespace dravik::yaz0
