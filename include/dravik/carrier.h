// Carriers: the containers U8 archives travel in. Yaz0 compression (.szs
// and many .arc files), channel-banner headers (IMET, in opening.bnr), IMD5
// (banner.bin and icon.bin inside a banner) and LZ77 in either coding.
//
// Peeling recognises each carrier by its magic and takes them off in any
// order, at most kMaxCarriers deep, checking every stated size against
// what the stream could possibly hold before memory is taken for it.
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

enum class CarrierKind : std::uint8_t { yaz0, imet, imd5, lz77 };

// The kind's name as listings and JSON show it: "yaz0", "imet", "imd5",
// "lz77".
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
    // of installable content, then the 0x600-byte banner header). Empty for
    // the compressed kinds.
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
// gives `data` back: Yaz0 at `yaz0_options`, LZ77 in the recorded coding,
// IMD5 and IMET with their sizes and MD5 sums recomputed and every other
// header byte kept. False when a carrier cannot hold the data (LZ77 holds
// less than 16 MiB, Yaz0 less than 4 GiB) or a recorded header is damaged.
bool carrier_wrap(const std::vector<Carrier>& carriers, const yaz0::EncodeOptions& yaz0_options,
                  Bytes& data);

}  // namespace dravik
