// Two archives compared entry by entry, by the paths unpacking writes them
// to and the bytes it would write there: one walk down both trees at once,
// each folder's entries sorted by name, and file data read in chunks.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dravik/archive.h"

namespace dravik {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

enum class Same { yes, no, unreadable };

// What unpacking one archive writes, folder by folder: each folder's
// entries sorted by name, so that two archives are compared in one walk
// down both trees, linear in the entries at any depth. Directories written
// at one path are one folder (unpacked_places places their entries in the
// first), listed once. No archive: a side that holds nothing (an archive
// inside a file on the other side only).
struct Side {
    const Archive* archive;
    std::vector<UnpackedPlace> places;
    std::vector<std::uint32_t> sorted;        // written entries, by folder then name
    std::vector<std::uint32_t> first, count;  // per folder: its range in `sorted`

    Side(const Archive* a, const NameRule& rule)
        : archive(a), places(a ? unpacked_places(*a, rule) : std::vector<UnpackedPlace>(1)) {
        for (std::uint32_t i = 1; i < places.size(); ++i)
            if (places[i].written) sorted.push_back(i);
        std::sort(sorted.begin(), sorted.end(), [this](std::uint32_t x, std::uint32_t y) {
            if (places[x].folder != places[y].folder) return places[x].folder < places[y].folder;
            return places[x].name != places[y].name ? places[x].name < places[y].name : x < y;
        });
        // Only directories share a path when both are written: the first stays.
        sorted.erase(std::unique(sorted.begin(), sorted.end(), [this](std::uint32_t x, std::uint32_t y) {
            return places[x].folder == places[y].folder && places[x].name == places[y].name;
        }), sorted.end());
        first.assign(places.size(), 0);
        count.assign(places.size(), 0);
        for (std::size_t k = sorted.size(); k-- > 0;) {
            first[places[sorted[k]].folder] = static_cast<std::uint32_t>(k);
            ++count[places[sorted[k]].folder];
        }
    }
    bool directory(std::uint32_t i) const {
        Entry e;
        return archive_entry(*archive, i, &e) && e.is_directory;
    }
};

struct Buffers {
    std::vector<std::uint8_t> a = std::vector<std::uint8_t>(kChunk), b = std::vector<std::uint8_t>(kChunk);
};

// Whether `read_a` and `read_b` give the same `size` bytes.
template <typename ReadA, typename ReadB>
Same same_stream(std::uint64_t size, Buffers& buffers, const ReadA& read_a, const ReadB& read_b) {
    for (std::uint64_t at = 0; at < size;) {
        const std::size_t n = size - at < kChunk ? static_cast<std::size_t>(size - at) : kChunk;
        if (!read_a(at, buffers.a.data(), n) || !read_b(at, buffers.b.data(), n)) return Same::unreadable;
        if (std::memcmp(buffers.a.data(), buffers.b.data(), n) != 0) return Same::no;
        at += n;
    }
    return Same::yes;
}

// The comparison of two archives, and with `recursive` of the archives
// inside their files: a file that holds an archive on both sides is
// compared by what that archive holds, through its NAME.d folder, not by
// its bytes.
struct Compare {
    const std::function<void(const PathChange&)>& difference;
    const NameRule& rule;
    Buffers buffers;
    Comparison outcome;
    std::unique_ptr<NestedOpener> openers[2];  // with recursive, one per side

    void tell(char kind, const std::string& path) {
        outcome.same_contents = false;
        if (difference) difference(PathChange{kind, path, {}});
    }

    // With recursive, the archive file `i` of `s` holds as -r names it,
    // opened and put on its side's path (leave() takes it off), or null.
    ArchivePtr enter(int side, const Side& s, std::uint32_t i, const std::string& local, const std::string& path) {
        if (!openers[side] || !s.archive) return nullptr;
        Entry e;
        archive_entry(*s.archive, i, &e);
        Place place;
        place.name = s.places[i].name.c_str();
        place.path = local;
        place.placeable = true;
        NestedOpen opened = openers[side]->open(e, place, path);
        if (opened.archive) openers[side]->enter(e, *opened.archive);
        return std::move(opened.archive);
    }
    void leave(int side, ArchivePtr& archive) {
        if (!archive) return;
        openers[side]->leave();
        archive.reset();
    }

    void compare(const Archive* a, const Archive* b, const std::string& prefix);
};

// Compares `a` and `b` (either null: nothing on that side), whose entries
// lie below `prefix`.
void Compare::compare(const Archive* a, const Archive* b, const std::string& prefix) {
    const Side x(a, rule), y(b, rule);
    std::string path;
    // The walk: a folder of A and the folder of B at the same path (0 for
    // none: the other side has no folder there), and how far through each.
    struct Frame {
        std::uint32_t fa, fb;
        bool in_a, in_b;
        std::uint32_t ia = 0, ib = 0;
        std::size_t length;  // of `path` in this folder
    };
    std::vector<Frame> stack{Frame{0, 0, a != nullptr, b != nullptr, 0, 0, 0}};
    while (!stack.empty() && !outcome.unreadable) {
        Frame& f = stack.back();
        const std::uint32_t na = f.in_a ? x.count[f.fa] : 0, nb = f.in_b ? y.count[f.fb] : 0;
        if (f.ia == na && f.ib == nb) {
            stack.pop_back();
            continue;
        }
        const std::uint32_t ea = f.ia < na ? x.sorted[x.first[f.fa] + f.ia] : 0;
        const std::uint32_t eb = f.ib < nb ? y.sorted[y.first[f.fb] + f.ib] : 0;
        const int order = !ea ? 1 : !eb ? -1 : x.places[ea].name.compare(y.places[eb].name);
        const std::string& name = order <= 0 ? x.places[ea].name : y.places[eb].name;
        path.resize(f.length);
        path += (f.length ? "/" : "") + name;
        const std::string shown = prefix + path;
        Frame inner{ea, eb, order <= 0 && x.directory(ea), order >= 0 && y.directory(eb), 0, 0, path.size()};
        // With recursive, the archives the files hold; one on a side alone
        // is told with everything in it, as a folder on one side is.
        ArchivePtr nested_a = order <= 0 && !inner.in_a ? enter(0, x, ea, path, shown) : nullptr;
        ArchivePtr nested_b = order >= 0 && !inner.in_b ? enter(1, y, eb, path, shown) : nullptr;
        if (order < 0) {
            ++f.ia, tell('D', shown);
        } else if (order > 0) {
            ++f.ib, tell('A', shown);
        } else {
            ++f.ia, ++f.ib;
            if (inner.in_a != inner.in_b) {
                tell('M', shown);
            } else if (!inner.in_a && !(nested_a && nested_b)) {
                Entry e, g;
                archive_entry(*a, ea, &e);
                archive_entry(*b, eb, &g);
                const Same same = e.data_size != g.data_size ? Same::no
                    : same_stream(e.data_size, buffers,
                                  [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read(*a, e, at, p, n); },
                                  [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read(*b, g, at, p, n); });
                if (same == Same::unreadable) {
                    outcome.unreadable = true;
                    outcome.unreadable_path = shown;
                }
                if (same == Same::no) tell('M', shown);
            }
        }
        if ((nested_a || nested_b) && !outcome.unreadable) compare(nested_a.get(), nested_b.get(), shown + ".d/");
        leave(1, nested_b);
        leave(0, nested_a);
        // A folder on one side only: everything in it is told too.
        if (inner.in_a || inner.in_b) stack.push_back(inner);
    }
}

}  // namespace

Comparison compare_archives(const Archive& a, const Archive& b,
                            const std::function<void(const PathChange&)>& difference, const NameRule& rule,
                            bool recursive) {
    Compare c{difference, rule, {}, {}, {}};
    if (recursive) {
        c.openers[0] = std::make_unique<NestedOpener>(a, rule);
        c.openers[1] = std::make_unique<NestedOpener>(b, rule);
    }
    c.compare(&a, &b, "");
    Comparison& outcome = c.outcome;
    if (outcome.unreadable || !outcome.same_contents || archive_size(a) != archive_size(b)) return outcome;
    // The U8 archives themselves, after their carriers: the same bytes, or
    // only the same contents (another order, alignment or padding).
    const Same same = same_stream(
        archive_size(a), c.buffers,
        [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read_bytes(a, at, p, n); },
        [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read_bytes(b, at, p, n); });
    outcome.unreadable = same == Same::unreadable;
    outcome.identical = same == Same::yes;
    return outcome;
}

}  // namespace dravik
