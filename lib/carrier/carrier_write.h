// Wrapping a new archive the way an existing one was wrapped: Yaz0 and
// LZ77 compression, IMD5 and banner (IMET) headers with their sizes and
// MD5 sums recomputed. Pure: bytes in, bytes out.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/u8/u8_read.h"
#include "lib/codec/yaz0_encode.h"

namespace dravik::wrap {

using Bytes = std::vector<std::uint8_t>;

// IMD5: `header`'s 32 bytes (its reserved bytes kept; a fresh header when
// empty) with the payload's length and MD5, then the payload.
Bytes imd5(const Bytes& header, const Bytes& payload);

// A banner: `header` (whatever precedes the banner header, then its 0x600
// bytes) with the content sizes of the archive's icon.bin, banner.bin and
// sound.bin recomputed when the payload holds them, and the header's MD5
// recomputed; then the payload. False when `header` is no banner header.
bool imet(const Bytes& header, const Bytes& payload, Bytes& out);

// Wraps `data` (in place) in `layers`, outermost first, so that the reader
// peels them back off to `data`. False when a layer cannot hold it (LZ77
// holds less than 16 MiB) or a header is damaged.
bool wrap_layers(const std::vector<WrapLayer>& layers, const yaz0::EncodeOptions& yaz0_options,
                 Bytes& data);

}  // namespace dravik::wrap
