// Carriers: the containers U8 archives travel in. Yaz0 compression (.szs
// and many .arc files), channel-banner headers (IMET, in opening.bnr), IMD5
// (banner.bin and icon.bin inside a banner), LZ77 in either coding, and the
// bare LZ77 stream (.arc.LZ files) that has no magic of its own.
//
// Peeling recognises each carrier by its magic and takes them off in any
// order, at most kMaxCarriers deep, checking every stated size against
// what the stream could possibly hold before memory is taken for it. A bare
// LZ77 stream has no magic: it is taken for one only when its first byte is
// a coding (0x10 or 0x11), its stated size is possible for its length, and
// the first bytes it decodes to are a U8 header or another carrier's
// magic, so that no other file is mistaken for one.
// Wrapping puts an archive back into the carriers it was found in, with
// sizes and MD5 sums recomputed.
//
// Pure functions over bytes in memory; the library-wide contract is in
// common.h.
#pragma once

#include <cstdint>
#include <vector>

#include "dravik/codec.h"
#include "dravik/common.h"

namespace dravik {

// lz77 is the stream behind an "LZ77" magic; lz77_bare the same stream
// behind only its coding byte and size: 0x10 or 0x11, the decoded size in
// 3 little-endian bytes, or 0 there and the size in the 4 that follow.
enum class CarrierKind : std::uint8_t { yaz0, imet, imd5, lz77, lz77_bare };

// The kind's name as listings and JSON show it: "yaz0", "imet", "imd5",
// "lz77", "lz77_bare".
const char* carrier_name(CarrierKind kind);

// Deeper than any real file nests, low enough that a file made to nest
// without end is refused quickly.
inline constexpr int kMaxCarriers = 8;

// One carrier an archive was found in, as needed to wrap a new archive the
// same way.
struct Carrier {
    CarrierKind kind = CarrierKind::yaz0;
    std::uint8_t coding = 0;  // LZ77: lz77::kCodingShort or lz77::kCodingExtended
    // IMD5: its 32 bytes. IMET: everything before the inner data (the lead
    // of installable content, then the 0x600-byte banner header). LZ77: its
    // 8 bytes; bare LZ77: its 4 or 8 (the 8-byte form is written again).
    // Empty for Yaz0.
    Bytes header;
};

// Peels every carrier off `data` and puts what the innermost one holds in
// `out`. Returns OpenError::none on success: `out` then holds bytes that
// start with no known carrier (a U8 archive, or anything else). `carriers`,
// when given, receives the carriers outermost first, `notices` the
// checksums that did not match (Notice bits; a mismatch is not a failure).
// Input with no carrier at all comes back unchanged with an empty list.
OpenError carrier_peel(const std::uint8_t* data, std::size_t size, Bytes& out,
                       std::vector<Carrier>* carriers = nullptr, std::uint32_t* notices = nullptr);

// Wraps `data` in place in `carriers` (outermost first), so that peeling
// gives `data` back: Yaz0 at `yaz0_options`, LZ77 (bare or not) in the
// recorded coding, IMD5 and IMET with their sizes and MD5 sums recomputed
// and every other header byte kept. False when a carrier cannot hold the
// data (LZ77 holds less than 16 MiB, bare LZ77 and Yaz0 less than 4 GiB) or
// a recorded header is damaged.
bool carrier_wrap(const std::vector<Carrier>& carriers, const yaz0::EncodeOptions& yaz0_options,
                  Bytes& data);

}  // namespace dravik
