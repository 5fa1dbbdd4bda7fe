#include "listing.h"

#include <algorithm>

namespace dravik::py {

namespace {

// FNV-1a, continued from `h`: a path's hash is its folder's continued with
// '/' and the name, so no path is ever built to hash it.
constexpr std::uint64_t kFnvBasis = 0xcbf29ce484222325ull;
std::uint64_t fnv(std::uint64_t h, std::string_view bytes) {
    for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

std::uint64_t path_hash(const std::vector<std::uint64_t>& folder_hash, std::int32_t folder, const char* name) {
    const std::uint64_t h = folder < 0 ? kFnvBasis : fnv(folder_hash[static_cast<std::size_t>(folder)], "/");
    return fnv(h, name);
}

}  // namespace

std::shared_ptr<Listing> make_listing(std::shared_ptr<ArchiveHolder> holder) {
    auto listing = std::make_shared<Listing>();
    listing->holder = std::move(holder);
    Listing& l = *listing;
    const Archive& archive = *l.holder->archive;
    l.slots.reserve(archive_node_count(archive) > 0 ? archive_node_count(archive) - 1 : 0);
    // The folder each depth's entries land in; a placed directory is the
    // folder of the entries one level deeper.
    std::vector<std::int32_t> folder_at;
    Selection everything;
    walk_entries(archive, everything, NameRule{}, [&](const WalkEntry& w) {
        Slot s;
        s.entry = w.entry;
        s.place_name = w.place.name;
        s.placeable = w.place.placeable;
        folder_at.resize(w.place.depth);
        s.folder = folder_at.empty() ? -1 : folder_at.back();
        s.hash = path_hash(l.folder_hash, s.folder, s.place_name);
        if (w.entry.is_directory && w.place.placeable) {
            folder_at.push_back(l.folders.add(s.folder, s.place_name));
            l.folder_hash.push_back(s.hash);
        }
        l.slots.push_back(s);
        return true;
    }, false);
    return listing;
}

std::int64_t Listing::find(std::string_view path) const {
    if (by_hash.empty() && !slots.empty()) {
        by_hash.reserve(slots.size());
        for (std::uint32_t i = 0; i < slots.size(); ++i) by_hash.emplace_back(slots[i].hash, i);
        std::sort(by_hash.begin(), by_hash.end());
    }
    std::uint64_t h = kFnvBasis;
    h = fnv(h, path);
    auto it = std::lower_bound(by_hash.begin(), by_hash.end(), std::make_pair(h, std::uint32_t{0}));
    for (; it != by_hash.end() && it->first == h; ++it)
        if (this->path(slots[it->second]) == path) return it->second;
    return -1;
}

}  // namespace dravik::py
