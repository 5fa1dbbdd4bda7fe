#include "lib/carrier/carrier_read.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "lib/codec/lz77_decode.h"
#include "lib/common/md5.h"
#include "lib/u8/u8_format.h"
#include "lib/codec/yaz0_decode.h"

namespace dravik {

namespace {

// A channel banner's header is 0x600 bytes and begins 0x40 bytes before its
// magic, which sits at 0x40 in a banner on disc and at 0x80 in installable
// content (which has 0x40 more bytes in front). Its last 16 bytes are the
// MD5 of the header taken with those 16 bytes zeroed.
constexpr std::uint64_t kImetMagicOffsets[] = {0x40, 0x80};
constexpr std::uint64_t kImetLead = 0x40;
constexpr std::size_t kImetHeaderSize = 0x600;
constexpr std::size_t kImetDigestOffset = kImetHeaderSize - md5::kDigestSize;
// From the magic: the content sizes of icon.bin, banner.bin and sound.bin.
constexpr std::size_t kImetSizesAt = 0x0C;

// IMD5: the magic, the payload's length, 8 reserved bytes, the payload's MD5.
constexpr std::size_t kImd5HeaderSize = 32;
constexpr std::size_t kImd5LengthOffset = 4;
constexpr std::size_t kImd5DigestOffset = 16;

// Enough of the start of a view to tell every kind apart.
constexpr std::size_t kProbeSize = 0x84;

// Checksums over data on disk are taken in pieces of this size.
constexpr std::size_t kDigestChunk = 1 << 20;

enum class Kind { unknown, u8, yaz0, imd5, lz77, imet, lz77_bare };

struct Probe {
    Kind kind = Kind::unknown;
    std::uint64_t imet_start = 0;  // where the banner header begins, for Kind::imet
    BareLz77 bare;                 // for Kind::lz77_bare
};

Probe probe_bytes(const std::uint8_t* p, std::size_t n) {
    Probe probe;
    if (n >= 4) {
        if (u8::has_magic(p)) probe.kind = Kind::u8;
        else if (yaz0::has_magic(p)) probe.kind = Kind::yaz0;
        else if (std::memcmp(p, "IMD5", 4) == 0) probe.kind = Kind::imd5;
        else if (lz77::has_magic(p)) probe.kind = Kind::lz77;
        if (probe.kind != Kind::unknown) return probe;
    }
    for (std::uint64_t at : kImetMagicOffsets) {
        if (n >= at + 4 && std::memcmp(p + at, "IMET", 4) == 0) {
            probe.kind = Kind::imet;
            probe.imet_start = at - kImetLead;
            return probe;
        }
    }
    return probe;
}

// No stream needs more than 9 bytes for every 8 it yields: a literal costs
// its byte and one bit of a code byte, and every reference yields more bytes
// than it takes. Input past that is never read, so it is never loaded.
std::uint64_t max_stream_needed(std::uint64_t decoded) { return decoded + (decoded + 7) / 8; }

// The stream a bare LZ77 header can start with: enough of it to decode the
// prefix probe_bytes looks at (its last reference may take 4 bytes).
constexpr std::size_t kBareProbeInput = kProbeSize + (kProbeSize + 7) / 8 + 4;

// source_read, leaving an errno that explains a failure: a file that ends
// early (it shrank while being read) reports no error of its own.
bool read_at(const Source& source, std::uint64_t offset, void* out, std::size_t length) {
    errno = 0;
    if (source_read(source, offset, out, length)) return true;
    if (errno == 0) errno = EIO;
    return false;
}

OpenError probe_at(const Source& source, std::uint64_t offset, Probe* probe) {
    // Enough for every magic, and for the start of a bare LZ77 stream.
    std::uint8_t head[lz77::kBareHeaderMax + kBareProbeInput];
    const std::uint64_t left = offset < source.size ? source.size - offset : 0;
    const std::size_t n = left < kProbeSize ? static_cast<std::size_t>(left) : kProbeSize;
    if (!read_at(source, offset, head, n)) return OpenError::cannot_open;
    *probe = probe_bytes(head, n);
    if (probe->kind != Kind::unknown || n < 4 || !lz77::coding_is_known(head[0])) return OpenError::none;
    // No magic matched, and the first byte is a coding: perhaps a bare LZ77
    // stream. Only files that start so pay for the closer look.
    const std::size_t more = left < sizeof head ? static_cast<std::size_t>(left) : sizeof head;
    if (more > n && !read_at(source, offset + n, head + n, more - n)) return OpenError::cannot_open;
    if (probe_bare_lz77(head, more, left, &probe->bare)) probe->kind = Kind::lz77_bare;
    return OpenError::none;
}

// The MD5 of `length` bytes at `offset` in the view, read in pieces when
// they are on disk.
OpenError digest_range(const Source& source, std::uint64_t offset, std::uint64_t length,
                         std::uint8_t digest[md5::kDigestSize]) {
    if (const std::uint8_t* bytes = source_bytes(source)) {
        md5::digest(bytes + offset, static_cast<std::size_t>(length), digest);
        return OpenError::none;
    }
    MemoryBlock buffer;
    const std::size_t chunk = length < kDigestChunk ? static_cast<std::size_t>(length) : kDigestChunk;
    if (!memory_allocate(buffer, chunk)) return OpenError::out_of_memory;
    md5::Context context;
    md5::init(context);
    for (std::uint64_t done = 0; done < length;) {
        const std::uint64_t left = length - done;
        const std::size_t n = left < chunk ? static_cast<std::size_t>(left) : chunk;
        if (!read_at(source, offset + done, buffer.data, n)) return OpenError::cannot_open;
        md5::update(context, buffer.data, n);
        done += n;
    }
    md5::finish(context, digest);
    return OpenError::none;
}

// Refuses a damaged layer, saying how when a check asked.
OpenError damaged(LayerFacts* facts, LayerDamage damage) {
    if (facts) facts->damage = damage;
    return OpenError::corrupt_carrier;
}

void narrow_view(Source& source, std::uint64_t offset, std::uint64_t length) {
    source.base += offset;
    source.size = length;
}

OpenError peel_imd5(Source& source, std::uint32_t* notices, LayerFacts* facts) {
    std::uint8_t header[kImd5HeaderSize];
    if (source.size < kImd5HeaderSize) return damaged(facts, LayerDamage::cut_short);
    if (!read_at(source, 0, header, sizeof header)) return OpenError::cannot_open;
    const std::uint64_t length = u8::be32(header + kImd5LengthOffset);
    if (facts) facts->stated = length;
    if (length > source.size - kImd5HeaderSize) return damaged(facts, LayerDamage::length_past_end);

    std::uint8_t digest[md5::kDigestSize];
    const OpenError failure = digest_range(source, kImd5HeaderSize, length, digest);
    if (failure != OpenError::none) return failure;
    const bool mismatch = std::memcmp(digest, header + kImd5DigestOffset, md5::kDigestSize) != 0;
    if (mismatch) *notices |= kNoticeImd5Mismatch;
    if (facts) {
        facts->stated = length;
        facts->left_over = source.size - kImd5HeaderSize - length;
        facts->digest_mismatch = mismatch;
    }
    narrow_view(source, kImd5HeaderSize, length);
    return OpenError::none;
}

OpenError peel_imet(Source& source, std::uint64_t start, std::uint32_t* notices, LayerFacts* facts) {
    const std::uint64_t end = start + kImetHeaderSize;
    if (source.size < end) return damaged(facts, LayerDamage::cut_short);
    std::uint8_t header[kImetHeaderSize];
    if (!read_at(source, start, header, sizeof header)) return OpenError::cannot_open;

    std::uint8_t stored[md5::kDigestSize];
    std::memcpy(stored, header + kImetDigestOffset, sizeof stored);
    std::memset(header + kImetDigestOffset, 0, md5::kDigestSize);
    std::uint8_t digest[md5::kDigestSize];
    md5::digest(header, sizeof header, digest);
    const bool mismatch = std::memcmp(digest, stored, sizeof stored) != 0;
    if (mismatch) *notices |= kNoticeImetMismatch;
    if (facts) {
        facts->digest_mismatch = mismatch;
        for (int k = 0; k < 3; ++k)
            facts->part_sizes[k] = u8::be32(header + kImetLead + kImetSizesAt + 4 * k);
    }

    // A banner header always has its archive right behind it; anything else
    // there means the file is damaged, not that it holds something else.
    Probe inner;
    const OpenError failure = probe_at(source, end, &inner);
    if (failure != OpenError::none) return failure;
    if (inner.kind == Kind::unknown) return damaged(facts, LayerDamage::nothing_behind);
    narrow_view(source, end, source.size - end);
    return OpenError::none;
}

// Replaces the view by the decoded contents of the Yaz0 or LZ77 stream that
// starts it (bare: as `probe` found it).
OpenError peel_compressed(Source& source, const Probe& probe, PeelOptions* options,
                          LayerFacts* facts) {
    const std::uint64_t held_elsewhere = options ? options->held_elsewhere : 0;
    const Kind kind = probe.kind;
    std::size_t header_size = kind == Kind::yaz0 ? yaz0::kHeaderSize : lz77::kHeaderSize;
    if (kind == Kind::lz77_bare) header_size = probe.bare.header_size;
    std::uint8_t header[yaz0::kHeaderSize > lz77::kHeaderSize ? yaz0::kHeaderSize
                                                              : lz77::kHeaderSize];
    if (source.size < header_size) return damaged(facts, LayerDamage::cut_short);
    if (!read_at(source, 0, header, header_size)) return OpenError::cannot_open;

    const std::uint64_t stream_size = source.size - header_size;
    std::uint64_t decoded = 0;
    std::uint8_t type = 0;
    if (kind == Kind::yaz0) {
        decoded = yaz0::decoded_size(header);
        if (facts) facts->stated = decoded;
        if (!yaz0::size_is_possible(decoded, stream_size))
            return damaged(facts, LayerDamage::size_impossible);
    } else {
        if (kind == Kind::lz77_bare) {
            type = probe.bare.coding;
            decoded = probe.bare.decoded_size;
        } else {
            type = lz77::coding(header);
            decoded = lz77::decoded_size(header);
        }
        if (facts) facts->stated = decoded;
        if (!lz77::coding_is_known(type)) return damaged(facts, LayerDamage::unknown_coding);
        if (!lz77::size_is_possible(type, decoded, stream_size))
            return damaged(facts, LayerDamage::size_impossible);
    }
    const std::uint64_t needed = max_stream_needed(decoded);
    const std::size_t in_size =
        static_cast<std::size_t>(stream_size < needed ? stream_size : needed);
    // While a layer decodes, what it decodes from is held too: the layer
    // decoded before it, or its stream read from disk. Both count against
    // the machine's memory together; the older one goes as soon as the new
    // one is whole.
    // Archives that enclose this one (an archive inside an archive) hold
    // theirs as well.
    const std::uint64_t held =
        (source_bytes(source) ? source_memory_held(source) : in_size) + held_elsewhere;
    const std::uint64_t physical = memory_physical_size();
    if (options && decoded > options->decode_budget - options->decoded) {
        options->over_budget = true;
        return OpenError::out_of_memory;
    }
    if (decoded > std::numeric_limits<std::size_t>::max() ||
        (physical != 0 && (decoded > physical || held > physical - decoded)))
        return OpenError::out_of_memory;

    MemoryBlock loaded;
    const std::uint8_t* in = source_bytes(source);
    if (in) {
        in += header_size;
    } else {
        if (!memory_allocate(loaded, in_size)) return OpenError::out_of_memory;
        if (!read_at(source, header_size, loaded.data, in_size)) return OpenError::cannot_open;
        in = loaded.data;
    }

    MemoryBlock out;
    if (!memory_allocate(out, static_cast<std::size_t>(decoded))) return OpenError::out_of_memory;
    const bool ok = kind == Kind::yaz0
                        ? yaz0::decode(in, in_size, out.data, static_cast<std::size_t>(decoded))
                        : lz77::decode(type, in, in_size, out.data, static_cast<std::size_t>(decoded));
    if (!ok) return damaged(facts, LayerDamage::stream_damaged);
    if (facts) {
        const std::size_t used =
            kind == Kind::yaz0 ? yaz0::stream_extent(in, in_size, static_cast<std::size_t>(decoded))
                               : lz77::stream_extent(type, in, in_size, static_cast<std::size_t>(decoded));
        facts->stated = decoded;
        facts->left_over = stream_size - used;
        facts->padding = facts->left_over < 32;
        std::uint8_t tail[32];
        const std::size_t n = static_cast<std::size_t>(facts->left_over);
        if (facts->padding && n > 0) {
            facts->padding = read_at(source, source.size - n, tail, n);
            for (std::size_t i = 0; facts->padding && i < n; ++i) facts->padding = tail[i] == 0;
        }
    }
    if (options) options->decoded += decoded;
    source.owned = std::move(out);  // also releases the layer it was decoded from
    source.borrowed = nullptr;
    source.base = 0;
    source.size = decoded;
    return OpenError::none;
}

// The bytes a layer's header holds, for writing a new archive the same way.
OpenError record_carrier(const Source& source, const Probe& probe, CarrierKind kind,
                         Carrier& carrier) {
    carrier.kind = kind;
    std::size_t keep = 0;
    switch (kind) {
        case CarrierKind::yaz0: break;
        case CarrierKind::lz77: keep = lz77::kHeaderSize; break;
        case CarrierKind::lz77_bare: keep = probe.bare.header_size; break;
        case CarrierKind::imd5: keep = kImd5HeaderSize; break;
        case CarrierKind::imet:
            keep = static_cast<std::size_t>(probe.imet_start + kImetHeaderSize);
            break;
    }
    if (source.size < keep) return OpenError::corrupt_carrier;
    carrier.header.resize(keep);
    if (keep && !read_at(source, 0, carrier.header.data(), keep)) return OpenError::cannot_open;
    if (kind == CarrierKind::lz77) carrier.coding = lz77::coding(carrier.header.data());
    if (kind == CarrierKind::lz77_bare) carrier.coding = probe.bare.coding;
    return OpenError::none;
}

}  // namespace

OpenError carrier_peel_source(Source& source, std::uint32_t* notices,
                              std::vector<CarrierKind>* kinds, std::vector<Carrier>* carriers,
                              PeelOptions* options) {
    const int max_carriers = options ? options->max_carriers : kMaxCarriers;
    std::vector<LayerFacts>* facts = options ? options->facts : nullptr;
    std::uint32_t found = 0;
    for (int depth = 0;; ++depth) {
        Probe probe;
        OpenError failure = probe_at(source, 0, &probe);
        if (failure != OpenError::none) return failure;
        if (probe.kind == Kind::u8 || probe.kind == Kind::unknown) break;
        if (depth >= max_carriers) {
            if (options) options->too_deep = true;
            return OpenError::corrupt_carrier;
        }
        const CarrierKind kind = probe.kind == Kind::yaz0        ? CarrierKind::yaz0
                                 : probe.kind == Kind::imet      ? CarrierKind::imet
                                 : probe.kind == Kind::imd5      ? CarrierKind::imd5
                                 : probe.kind == Kind::lz77_bare ? CarrierKind::lz77_bare
                                                                 : CarrierKind::lz77;
        if (kinds) kinds->push_back(kind);
        if (carriers) {
            carriers->emplace_back();
            failure = record_carrier(source, probe, kind, carriers->back());
            if (failure != OpenError::none) return failure;
        }
        LayerFacts* layer = nullptr;
        if (facts) {
            facts->emplace_back();
            layer = &facts->back();
            layer->kind = kind;
            layer->size = source.size;
        }
        switch (probe.kind) {
            case Kind::imd5: failure = peel_imd5(source, &found, layer); break;
            case Kind::imet: failure = peel_imet(source, probe.imet_start, &found, layer); break;
            default: failure = peel_compressed(source, probe, options, layer); break;
        }
        if (failure != OpenError::none) return failure;
    }
    if (notices) *notices |= found;
    return OpenError::none;
}

bool probe_bare_lz77(const std::uint8_t* data, std::size_t n, std::uint64_t total, BareLz77* out) {
    if (n < 4 || total < n || !lz77::coding_is_known(data[0])) return false;
    BareLz77 bare;
    bare.coding = data[0];
    bare.header_size = 4;
    bare.decoded_size = std::uint64_t{data[1]} | (std::uint64_t{data[2]} << 8) |
                        (std::uint64_t{data[3]} << 16);
    if (bare.decoded_size == 0) {
        if (n < 8) return false;
        bare.header_size = 8;
        bare.decoded_size = u8::le32(data + 4);
    }
    // At least a magic's worth, and a size the stream could yield.
    if (bare.decoded_size < 4 ||
        !lz77::size_is_possible(bare.coding, bare.decoded_size, total - bare.header_size))
        return false;
    std::uint8_t prefix[kProbeSize];
    const std::size_t want =
        bare.decoded_size < kProbeSize ? static_cast<std::size_t>(bare.decoded_size) : kProbeSize;
    if (!lz77::decode(bare.coding, data + bare.header_size, n - bare.header_size, prefix, want))
        return false;
    const Kind inner = probe_bytes(prefix, want).kind;
    if (inner == Kind::unknown) return false;
    *out = bare;
    return true;
}

std::uint32_t banner_part_size(const std::uint8_t* p, std::uint64_t size) {
    if (size >= kImd5HeaderSize && std::memcmp(p, "IMD5", 4) == 0) {
        p += kImd5HeaderSize;
        size -= kImd5HeaderSize;
        if (size >= lz77::kHeaderSize && lz77::has_magic(p)) return lz77::decoded_size(p);
        BareLz77 bare;
        if (probe_bare_lz77(p, size < 0x200 ? static_cast<std::size_t>(size) : 0x200, size, &bare))
            return static_cast<std::uint32_t>(bare.decoded_size);
    }
    return static_cast<std::uint32_t>(size);
}

const char* carrier_name(CarrierKind kind) {
    switch (kind) {
        case CarrierKind::yaz0: return "yaz0";
        case CarrierKind::imet: return "imet";
        case CarrierKind::imd5: return "imd5";
        case CarrierKind::lz77: return "lz77";
        case CarrierKind::lz77_bare: return "lz77_bare";
    }
    return "unknown";
}

OpenError carrier_peel(const std::uint8_t* data, std::size_t size, Bytes& out,
                       std::vector<Carrier>* carriers, std::uint32_t* notices) {
    static const std::uint8_t kNothing = 0;
    Source source;
    source.borrowed = data ? data : &kNothing;
    source.size = data ? size : 0;
    const OpenError error = carrier_peel_source(source, notices, nullptr, carriers);
    if (error != OpenError::none) return error;
    const std::uint8_t* bytes = source_bytes(source);
    out.assign(bytes, bytes + source.size);
    return OpenError::none;
}

}  // namespace dravik
