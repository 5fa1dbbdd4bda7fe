// Wrapping an archive in the carriers it was found in: the writer's side of
// carrier.h. Banners and their parts are small, so they are wrapped whole
// in memory.
#include <cstring>

#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "lib/carrier/carrier_read.h"
#include "lib/codec/lz77_decode.h"
#include "lib/common/md5.h"
#include "lib/u8/u8_format.h"

namespace dravik {

namespace {

constexpr std::size_t kImd5HeaderSize = 32;
constexpr std::size_t kImetHeaderSize = 0x600;
constexpr std::size_t kImetLead = 0x40;     // bytes of the banner header before its magic
constexpr std::size_t kImetSizesAt = 0x0C;  // from the magic: icon, banner, sound sizes
constexpr std::size_t kImetDigestAt = kImetHeaderSize - md5::kDigestSize;

// IMD5: `header`'s 32 bytes (its reserved bytes kept; a fresh header when
// empty) with the payload's length and MD5, then the payload.
Bytes imd5(const Bytes& header, const Bytes& payload) {
    Bytes out(kImd5HeaderSize, 0);
    if (header.size() >= kImd5HeaderSize) std::memcpy(out.data(), header.data(), kImd5HeaderSize);
    std::memcpy(out.data(), "IMD5", 4);
    u8::put_be32(out.data() + 4, static_cast<std::uint32_t>(payload.size()));
    md5::digest(payload.data(), payload.size(), out.data() + 16);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// A banner: `header` (whatever precedes the banner header, then its 0x600
// bytes) with the content sizes of the archive's icon.bin, banner.bin and
// sound.bin recomputed when the payload holds them, and the header's MD5
// recomputed; then the payload. False when `header` is no banner header.
bool imet(const Bytes& header, const Bytes& payload, Bytes& out) {
    if (header.size() < kImetHeaderSize) return false;
    const std::size_t start = header.size() - kImetHeaderSize;
    if (std::memcmp(header.data() + start + kImetLead, "IMET", 4) != 0) return false;
    out = header;
    std::uint8_t* sizes = out.data() + start + kImetLead + kImetSizesAt;
    if (ArchivePtr archive = archive_open_borrowed(payload.data(), payload.size())) {
        static const char* const kParts[] = {"icon.bin", "banner.bin", "sound.bin"};
        Entry e;
        for (std::uint32_t i = 1; archive_entry(*archive, i, &e); ++i) {
            if (e.is_directory || std::uint64_t{e.data_offset} + e.data_size > payload.size()) continue;
            for (int k = 0; k < 3; ++k)
                if (std::strcmp(e.name, kParts[k]) == 0)
                    u8::put_be32(sizes + 4 * k, banner_part_size(payload.data() + e.data_offset, e.data_size));
        }
    }
    std::uint8_t* digest = out.data() + start + kImetDigestAt;
    std::memset(digest, 0, md5::kDigestSize);
    std::uint8_t sum[md5::kDigestSize];
    md5::digest(out.data() + start, kImetHeaderSize, sum);
    std::memcpy(digest, sum, sizeof sum);
    out.insert(out.end(), payload.begin(), payload.end());
    return true;
}

}  // namespace

bool carrier_wrap(const std::vector<Carrier>& carriers, const yaz0::EncodeOptions& yaz0_options,
                  Bytes& data) {
    for (std::size_t k = carriers.size(); k-- > 0;) {
        const Carrier& carrier = carriers[k];
        switch (carrier.kind) {
            case CarrierKind::yaz0:
                if (data.size() > 0xFFFFFFFFu) return false;
                data = yaz0::encode(data.data(), data.size(), yaz0_options);
                break;
            case CarrierKind::lz77:
                if (data.size() > lz77::kMaxDecodedSize) return false;
                data = lz77::encode(data.data(), data.size(),
                                    carrier.coding == lz77::kCodingExtended ? lz77::kCodingExtended
                                                                            : lz77::kCodingShort);
                break;
            case CarrierKind::lz77_bare: {
                if (data.size() > 0xFFFFFFFFu) return false;
                const std::uint8_t coding = carrier.coding == lz77::kCodingExtended
                                                ? lz77::kCodingExtended
                                                : lz77::kCodingShort;
                const auto size = static_cast<std::uint32_t>(data.size());
                // The 32-bit form when the size needs it, or when the
                // original was written so.
                Bytes out = {coding, 0, 0, 0};
                if (size > lz77::kMaxDecodedSize || size == 0 || carrier.header.size() >= 8) {
                    out.resize(8);
                    u8::put_le32(out.data() + 4, size);
                } else {
                    out[1] = static_cast<std::uint8_t>(size);
                    out[2] = static_cast<std::uint8_t>(size >> 8);
                    out[3] = static_cast<std::uint8_t>(size >> 16);
                }
                lz77::append_stream(data.data(), data.size(), coding, out);
                data = std::move(out);
                break;
            }
            case CarrierKind::imd5: data = imd5(carrier.header, data); break;
            case CarrierKind::imet: {
                Bytes out;
                if (!imet(carrier.header, data, out)) return false;
                data = std::move(out);
                break;
            }
        }
    }
    return true;
}

}  // namespace dravik
