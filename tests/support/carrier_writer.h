// Carriers for tests and the benchmark: data shaped like archive contents,
// and wrappers that can also store a wrong checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lz_tokens.h"

namespace fixture {

// Data shaped like what archives hold, the same for the same seed: text,
// rows of 16-bit pixels with repeats, zero padding, and stretches of noise.
Bytes sample_data(std::size_t size, std::uint32_t seed = 1);

Bytes imd5_wrap(const Bytes& payload, bool good_digest = true);
// A bare LZ77 stream in `coding` (0x10, 0x11), its size in 3 bytes or,
// with `long_size`, in the 4 after three zeros.
Bytes bare_lz_wrap(const Bytes& payload, std::uint8_t coding = 0x11, bool long_size = false);
// A banner header with its magic at `magic_at` (0x40 or 0x80), then `payload`.
Bytes imet_wrap(const Bytes& payload, std::uint32_t magic_at = 0x40, bool good_digest = true);

}  // namespace fixture
