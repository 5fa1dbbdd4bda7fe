// Yaz0 and LZ77, the two compressions found around U8 archives.
//
// Decoding is over byte ranges the caller owns: it reads only inside the
// input and writes only inside the output, whatever the bytes, allocates
// nothing, and refuses a stream that ends too soon or refers before the
// start of its output. The whole-file helpers also check the stated size
// against what the stream could possibly yield before allocating it.
//
// Yaz0 encoding streams: the decoded size goes in the header first, so it
// is known up front; input is then fed in pieces of any size and the
// stream leaves through a ByteSink as it is made. Memory is bounded by the
// block size times the thread count, never by the input size, and the
// bytes depend only on the input and the level, never on the thread count
// or on how the input was cut into pieces. An Encoder is used by one
// thread; it runs its own worker threads inside.
//
// The library-wide contract is in common.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "dravik/common.h"

namespace dravik::yaz0 {

// The header: "Yaz0", the decoded size (big-endian), 8 reserved bytes.
inline constexpr std::size_t kHeaderSize = 16;

// Needs 4 bytes.
bool has_magic(const std::uint8_t* data);
// Needs kHeaderSize bytes.
std::uint32_t decoded_size(const std::uint8_t* header);

// Decodes the stream that follows the header into exactly `out_size`
// bytes. False when the stream ends too soon or a reference reaches before
// the start of the output. A last reference longer than the room left is
// cut to fit: the header's size is what counts.
bool decode(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size);

// A whole Yaz0 file (header and stream) decoded into `out`. False when it
// is no Yaz0 file, is damaged, or states a size its stream could never
// produce.
bool decompress(const std::uint8_t* file, std::size_t size, Bytes& out);

enum class Level {
    fast,      // greedy with a byte of lookahead, a little above the minimum
    standard,  // close to the minimum; "default" on the command line
    best,      // the smallest stream the format allows
};

struct EncodeOptions {
    Level level = Level::standard;
    unsigned threads = 1;  // 0: one per online CPU
};

struct Encoder;
struct EncoderDelete {
    void operator()(Encoder* encoder) const noexcept;
};
using EncoderPtr = std::unique_ptr<Encoder, EncoderDelete>;

// Starts a stream that will hold exactly `decoded_size` bytes of input,
// sent to `sink` as it is made. Null when memory for the encoder cannot be
// had.
EncoderPtr encoder_begin(std::uint32_t decoded_size, const EncodeOptions& options, ByteSink sink);
// Feeds the next input bytes. False once the sink has failed, or when more
// than `decoded_size` bytes have been fed in all.
bool encoder_feed(Encoder& encoder, const std::uint8_t* data, std::size_t size);
// Codes and sends what is left. False when the sink failed or fewer bytes
// than `decoded_size` were fed.
bool encoder_finish(Encoder& encoder);

// A whole Yaz0 file for `size` bytes in memory; empty when `size` does not
// fit the header's 32 bits or memory cannot be had.
Bytes encode(const std::uint8_t* data, std::size_t size, const EncodeOptions& options);

}  // namespace dravik::yaz0

namespace dravik::lz77 {

// The header: "LZ77", the coding, then the decoded size in 24 bits,
// little-endian.
inline constexpr std::size_t kHeaderSize = 8;
// The two codings: 0x10 (references of 3 to 18 bytes) and 0x11 (up to
// 65808 bytes).
inline constexpr std::uint8_t kCodingShort = 0x10;
inline constexpr std::uint8_t kCodingExtended = 0x11;
// The most a 24-bit size can state.
inline constexpr std::uint32_t kMaxDecodedSize = 0xFFFFFF;

// Needs 4 bytes.
bool has_magic(const std::uint8_t* data);
// Need kHeaderSize bytes.
std::uint8_t coding(const std::uint8_t* header);
std::uint32_t decoded_size(const std::uint8_t* header);
bool coding_is_known(std::uint8_t coding);

// Decodes the stream of a known coding that follows the header into
// exactly `out_size` bytes; otherwise as yaz0::decode.
bool decode(std::uint8_t coding, const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
            std::size_t out_size);

// A whole LZ77 file (header and stream) decoded into `out`, as
// yaz0::decompress.
bool decompress(const std::uint8_t* file, std::size_t size, Bytes& out);

// A whole LZ77 file in `coding` for `size` bytes, matched greedily within
// the 4 KiB window; empty when `size` is past kMaxDecodedSize or the coding
// is unknown.
Bytes encode(const std::uint8_t* data, std::size_t size, std::uint8_t coding);

}  // namespace dravik::lz77
