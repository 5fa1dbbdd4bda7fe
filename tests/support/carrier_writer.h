// Carriers for tests and the benchmark: the product's encoders and
// wrappers under the names the tests use, data shaped like archive
// contents, and wrappers that can also store a wrong checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/codec/lz77_encode.h"

namespace fixture {

using Bytes = std::vector<std::uint8_t>;
using dravik::lz::Coding;
using dravik::lz::Token;
using dravik::lz::compress;
using dravik::lz::compressed_file;
using dravik::lz::encode_stream;
using dravik::lz::lit;
using dravik::lz::literals;
using dravik::lz::parse;
using dravik::lz::ref;

// Data shaped like what archives hold, the same for the same seed: text,
// rows of 16-bit pixels with repeats, zero padding, and stretches of noise.
Bytes sample_data(std::size_t size, std::uint32_t seed = 1);

Bytes imd5_wrap(const Bytes& payload, bool good_digest = true);
// A banner header with its magic at `magic_at` (0x40 or 0x80), then `payload`.
Bytes imet_wrap(const Bytes& payload, std::uint32_t magic_at = 0x40, bool good_digest = true);

}  // namespace fixture
