// A nested archive written back into its file: the plan in memory, bounded
// by kMaxNestedRebuild, then the carriers the file had, unless nothing
// changed, so that untouched branches keep their bytes exactly.
#include <algorithm>
#include <cstring>

#include "dravik/carrier.h"
#include "dravik/writer.h"

namespace dravik::u8 {

namespace {

// Whether `bytes` are `archive`'s U8 archive, read where it lies.
bool same_archive(const Archive& archive, const Bytes& bytes) {
    if (bytes.size() != archive_size(archive)) return false;
    if (const std::uint8_t* theirs = archive_bytes(archive)) return std::equal(bytes.begin(), bytes.end(), theirs);
    constexpr std::size_t kChunk = 64 * 1024;
    std::vector<std::uint8_t> theirs(kChunk);
    for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
        const std::size_t n = std::min(kChunk, bytes.size() - at);
        if (!archive_read_bytes(archive, at, theirs.data(), n) || std::memcmp(theirs.data(), bytes.data() + at, n) != 0)
            return false;
    }
    return true;
}

}  // namespace

NestedRebuild rebuild_nested(const Archive& inner, const Plan& plan, const DataSource& source,
                             const yaz0::EncodeOptions& yaz0_options, Bytes& file) {
    file.clear();
    if (plan.size > kMaxNestedRebuild) return NestedRebuild::too_large;
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(plan.size));
    const ByteSink append = [&bytes](const std::uint8_t* p, std::size_t n) {
        bytes.insert(bytes.end(), p, p + n);
        return true;
    };
    if (!write_plan(plan, append, source, &inner) || bytes.size() != plan.size) return NestedRebuild::source_failed;
    if (same_archive(inner, bytes)) return NestedRebuild::unchanged;
    if (!carrier_wrap(archive_carriers(inner), yaz0_options, bytes)) return NestedRebuild::carrier_full;
    file = std::move(bytes);
    return NestedRebuild::rebuilt;
}

}  // namespace dravik::u8
