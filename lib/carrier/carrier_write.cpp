#include "lib/carrier/carrier_write.h"

#include <cstring>

#include "lib/codec/lz77_decode.h"
#include "lib/codec/lz77_encode.h"
#include "lib/common/md5.h"
#include "lib/u8/u8_format.h"
#include "lib/u8/u8_write.h"

namespace dravik::wrap {

namespace {

constexpr std::size_t kImd5HeaderSize = 32;
constexpr std::size_t kImetHeaderSize = 0x600;
constexpr std::size_t kImetLead = 0x40;        // bytes of the banner header before its magic
constexpr std::size_t kImetSizesAt = 0x0C;     // from the magic: icon, banner, sound sizes
constexpr std::size_t kImetDigestAt = kImetHeaderSize - md5::kDigestSize;
constexpr std::uint32_t kMaxLz77Size = 0xFFFFFF;

// What a banner header states for one of its parts: the size of its
// content once the IMD5 wrapper, and the LZ77 stream inside, are removed.
std::uint32_t content_size(const std::uint8_t* p, std::uint32_t size) {
    if (size >= kImd5HeaderSize && std::memcmp(p, "IMD5", 4) == 0) {
        p += kImd5HeaderSize;
        size -= kImd5HeaderSize;
        if (size >= lz77::kHeaderSize && lz77::has_magic(p)) return lz77::decoded_size(p);
    }
    return size;
}

}  // namespace

Bytes imd5(const Bytes& header, const Bytes& payload) {
    Bytes out(kImd5HeaderSize, 0);
    if (header.size() >= kImd5HeaderSize) std::memcpy(out.data(), header.data(), kImd5HeaderSize);
    std::memcpy(out.data(), "IMD5", 4);
    u8::put_be32(out.data() + 4, static_cast<std::uint32_t>(payload.size()));
    md5::digest(payload.data(), payload.size(), out.data() + 16);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bool imet(const Bytes& header, const Bytes& payload, Bytes& out) {
    if (header.size() < kImetHeaderSize) return false;
    const std::size_t start = header.size() - kImetHeaderSize;
    if (std::memcmp(header.data() + start + kImetLead, "IMET", 4) != 0) return false;
    out = header;
    std::uint8_t* sizes = out.data() + start + kImetLead + kImetSizesAt;
    if (auto archive = archive_open_bytes(payload.data(), payload.size())) {
        static const char* const kParts[] = {"icon.bin", "banner.bin", "sound.bin"};
        ArchiveEntry e;
        for (std::uint32_t i = 1; archive_node(archive.get(), &e, i); ++i) {
            if (e.is_directory || std::uint64_t{e.offset} + e.size > payload.size()) continue;
            for (int k = 0; k < 3; ++k)
                if (std::strcmp(e.name, kParts[k]) == 0)
                    u8::put_be32(sizes + 4 * k, content_size(payload.data() + e.offset, e.size));
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

bool wrap_layers(const std::vector<WrapLayer>& layers, const yaz0::EncodeOptions& yaz0_options,
                 Bytes& data) {
    for (std::size_t k = layers.size(); k-- > 0;) {
        const WrapLayer& layer = layers[k];
        switch (layer.kind) {
            case CarrierLayer::yaz0:
                if (data.size() > 0xFFFFFFFFu) return false;
                data = yaz0::encode(data.data(), data.size(), yaz0_options);
                break;
            case CarrierLayer::lz77:
                if (data.size() > kMaxLz77Size) return false;
                data = lz::compress(data, layer.lz77_type == lz77::kTypeExtended ? lz::Coding::lz11
                                                                                  : lz::Coding::lz10);
                break;
            case CarrierLayer::imd5: data = imd5(layer.header, data); break;
            case CarrierLayer::imet: {
                Bytes out;
                if (!imet(layer.header, data, out)) return false;
                data = std::move(out);
                break;
            }
        }
    }
    return true;
}

}  // namespace dravik::wrap
