// Peeling carriers off an archive wherever its bytes are (on disk, in
// memory, behind a caller's ByteSource): the reader's side of carrier.h.
#pragma once

#include <cstdint>
#include <vector>

#include "dravik/carrier.h"
#include "lib/common/source.h"

namespace dravik {

namespace lz77 {
// A bare stream's header: the coding and 3 size bytes, then 4 more when
// those are 0.
inline constexpr std::size_t kBareHeaderMax = 8;
}  // namespace lz77

// A bare LZ77 stream's header, as read.
struct BareLz77 {
    std::uint8_t coding = 0;
    std::size_t header_size = 0;  // 4, or 8 with the 32-bit size
    std::uint64_t decoded_size = 0;
};

// Whether the `n` bytes at `data`, the start of `total` bytes, begin a bare
// LZ77 stream: a known coding, a size possible for `total`, and a decoded
// prefix that begins with a U8 header or another carrier's magic. Decodes
// only that prefix; up to 160 bytes of stream past the header are enough.
bool probe_bare_lz77(const std::uint8_t* data, std::size_t n, std::uint64_t total, BareLz77* out);

// What a banner header states for one of its parts (icon.bin, banner.bin,
// sound.bin): the size of its content once the IMD5 wrapper, and the LZ77
// stream inside, are removed.
std::uint32_t banner_part_size(const std::uint8_t* part, std::uint64_t size);

// How a carrier was damaged, for a check to say.
enum class LayerDamage : std::uint8_t {
    none,
    cut_short,        // shorter than its header
    unknown_coding,   // an LZ77 coding other than 0x10 and 0x11
    size_impossible,  // states more than its stream could ever yield
    stream_damaged,   // ends too soon, or refers before the start of its output
    length_past_end,  // an IMD5 length past the end of the layer
    nothing_behind,   // no archive behind a banner header
};

// What a check wants to know of each carrier peeled, beyond what opening
// needs.
struct LayerFacts {
    CarrierKind kind = CarrierKind::yaz0;
    std::uint64_t size = 0;  // the layer's bytes, header included
    LayerDamage damage = LayerDamage::none;  // when peeling failed here
    // Compressed kinds: the decoded size stated; IMD5: the payload length.
    std::uint64_t stated = 0;
    // Bytes past the end of the compressed stream, or past the IMD5 payload,
    // and whether they are only padding: fewer than 32, all zero, as
    // encoders leave to round a stream up.
    std::uint64_t left_over = 0;
    bool padding = false;
    bool digest_mismatch = false;      // IMD5, IMET
    std::uint32_t part_sizes[3] = {};  // IMET: what it states for icon, banner, sound
};

// How deep peeling may go, and what else it should record.
struct PeelOptions {
    int max_carriers = kMaxCarriers;
    // Memory already held by archives that enclose this one, counted with
    // the layer being decoded against the machine's memory.
    std::uint64_t held_elsewhere = 0;
    std::vector<LayerFacts>* facts = nullptr;  // one per carrier, when given
    bool too_deep = false;  // set when more than max_carriers were found
    // How many decoded bytes the layers may state in all; a layer past it
    // is refused as out of memory, with over_budget set. `decoded` counts
    // what was decoded.
    std::uint64_t decode_budget = UINT64_MAX;
    std::uint64_t decoded = 0;
    bool over_budget = false;
};

// Replaces `source` by what it carries, as many layers deep as it goes.
// Returns OpenError::none when `source` now starts with something that is
// no known carrier (a U8 archive, or bytes the U8 check will refuse). Adds
// Notice bits to `notices` for checksums that did not match; records the
// kinds peeled, outermost first, in `kinds`, and with their header bytes in
// `carriers`, when those are given.
OpenError carrier_peel_source(Source& source, std::uint32_t* notices,
                              std::vector<CarrierKind>* kinds = nullptr,
                              std::vector<Carrier>* carriers = nullptr,
                              PeelOptions* options = nullptr);

}  // namespace dravik
