// Checking an archive all the way down: the carriers' facts as peeling
// records them, the banner sizes, every table and every entry's data, and
// the same for every archive inside, walked as -r walks without making
// folders. The findings are in plain words; the callers put paths and
// their own framing around them.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dravik/archive.h"
#include "lib/carrier/carrier_read.h"
#include "lib/u8/u8_read.h"

namespace dravik {

namespace {

// The parts of a banner whose content sizes its header states, in the
// order it states them.
constexpr const char* kBannerParts[] = {"icon.bin", "banner.bin", "sound.bin"};
// Enough of a part to read its IMD5 header and the LZ77 header behind it.
constexpr std::size_t kPartHead = 0x240;

const char* carrier_title(CarrierKind kind) {
    switch (kind) {
        case CarrierKind::yaz0: return "Yaz0";
        case CarrierKind::imet: return "banner (IMET)";
        case CarrierKind::imd5: return "IMD5";
        case CarrierKind::lz77: return "LZ77";
        case CarrierKind::lz77_bare: return "bare LZ77";
    }
    return "carrier";
}

std::size_t header_size(const LayerFacts& layer) {
    switch (layer.kind) {
        case CarrierKind::yaz0: return yaz0::kHeaderSize;
        case CarrierKind::lz77: return lz77::kHeaderSize;
        case CarrierKind::lz77_bare: return 4;
        case CarrierKind::imd5: return 32;
        case CarrierKind::imet: return 0x600;
    }
    return 0;
}

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

struct Checker {
    const std::function<void(const Finding&)>& found;
    CheckCount count;

    void finding(bool problem, std::string_view where, const std::string& text) {
        ++(problem ? count.problems : count.warnings);
        if (found) found(Finding{problem, std::string(where), text});
    }

    // Every carrier peeled, or as far as peeling got. True when one of them
    // said why it failed.
    bool carriers(std::string_view where, const std::vector<LayerFacts>& facts) {
        bool told_failure = false;
        for (const LayerFacts& layer : facts) {
            const std::string kind = carrier_title(layer.kind);
            const std::uint64_t body = layer.size > header_size(layer) ? layer.size - header_size(layer) : 0;
            switch (layer.damage) {
                case LayerDamage::none: break;
                case LayerDamage::cut_short:
                    finding(true, where, "the " + kind + " header is cut short (" + plural(layer.size, "byte", "bytes") + ")");
                    break;
                case LayerDamage::unknown_coding:
                    finding(true, where, "the LZ77 stream has an unknown coding (neither 0x10 nor 0x11)");
                    break;
                case LayerDamage::size_impossible:
                    finding(true, where, "the " + kind + " stream states " + plural(layer.stated, "byte", "bytes") +
                                             ", more than its " + std::to_string(body) + " could ever yield");
                    break;
                case LayerDamage::stream_damaged:
                    finding(true, where, "the " + kind + " stream does not decode to its stated " +
                                             plural(layer.stated, "byte", "bytes") +
                                             " (it ends too soon or refers before its start)");
                    break;
                case LayerDamage::length_past_end:
                    finding(true, where, "the IMD5 length " + std::to_string(layer.stated) +
                                             " passes the end of the " + plural(body, "byte", "bytes") + " after its header");
                    break;
                case LayerDamage::nothing_behind:
                    finding(true, where, "no archive follows the banner header");
                    break;
            }
            if (layer.damage != LayerDamage::none) {
                told_failure = true;
                break;
            }
            if (layer.kind == CarrierKind::imd5) {
                if (layer.digest_mismatch)
                    finding(true, where, "the IMD5 checksum does not match its " + plural(layer.stated, "byte", "bytes"));
                if (layer.left_over > 0)
                    finding(false, where, plural(layer.left_over, "byte follows", "bytes follow") +
                                              " the IMD5 payload of " + plural(layer.stated, "byte", "bytes"));
            } else if (layer.kind == CarrierKind::imet) {
                if (layer.digest_mismatch) finding(true, where, "the banner header's checksum does not match");
            } else if (layer.left_over > 0 && !layer.padding) {
                finding(false, where, plural(layer.left_over, "byte follows", "bytes follow") + " the end of the " +
                                          kind + " stream");
            }
        }
        return told_failure;
    }

    void open_failed(std::string_view where, const OpenStatus& status,
                     const std::vector<LayerFacts>& facts, bool nested) {
        if (carriers(where, facts)) return;
        // The system says best why a file could not be read.
        const std::string reason = status.error == OpenError::cannot_open ? std::strerror(status.error_number)
                                                                          : open_error_text(status.error);
        if (nested) finding(true, where, "holds an archive that cannot be opened: " + reason);
        else finding(true, where, reason);
    }

    // The sizes a banner header states for its parts, against the parts.
    void banner_sizes(const Archive& a, std::string_view where, const std::vector<LayerFacts>& facts) {
        const LayerFacts* imet = nullptr;
        for (const LayerFacts& layer : facts)
            if (layer.kind == CarrierKind::imet) imet = &layer;
        if (!imet) return;
        Entry e;
        std::vector<std::uint8_t> head;
        for (std::uint32_t k = 1; archive_entry(a, k, &e); ++k) {
            if (e.is_directory || std::uint64_t{e.data_offset} + e.data_size > archive_size(a)) continue;
            for (int part = 0; part < 3; ++part) {
                if (std::strcmp(e.name, kBannerParts[part]) != 0) continue;
                head.resize(std::min<std::size_t>(e.data_size, kPartHead));
                if (!archive_read(a, e, 0, head.data(), head.size())) continue;
                const std::uint32_t actual = banner_part_size(head.data(), e.data_size);
                if (actual != imet->part_sizes[part])
                    finding(true, where, "the banner header states " + plural(imet->part_sizes[part], "byte", "bytes") +
                                             " for " + kBannerParts[part] + ", which holds " +
                                             plural(actual, "byte", "bytes"));
            }
        }
    }

    // The table, every entry's data, and what a console may read otherwise
    // than a PC. `where` names the archive, `prefix` starts its entries' paths.
    void table(const Archive& a, std::string_view where, const std::string& prefix) {
        const std::uint32_t count = archive_node_count(a);
        Entry first;
        if (!archive_entry(a, 1, &first)) {
            if (count < 2) finding(true, where, "the archive holds no entries");
            else finding(true, where, "the archive's table is too small to hold its " + std::to_string(count) + " nodes");
            return;
        }
        if (archive_root(a).type == 0) finding(false, where, "the root node is marked as a file");

        std::vector<std::string> paths(count);
        std::vector<std::uint32_t> parent_of(count, 0);
        struct Span {
            std::uint64_t begin, end;
            std::uint32_t index;
        };
        std::vector<Span> spans;
        struct Name {
            std::uint32_t parent;
            std::string folded;
            std::uint32_t index;
        };
        std::vector<Name> names;
        struct Level {
            std::uint32_t index, end;
        };
        std::vector<Level> levels{Level{0, count}};
        Placement placement(a);
        const std::uint64_t table_end = std::uint64_t{a.table_offset} + a.table_size;
        Entry e;
        for (std::uint32_t k = 1; archive_entry(a, k, &e); ++k) {
            paths[k] = prefix + std::string(placement.place(e).path);
            while (levels.size() > 1 && k >= levels.back().end) levels.pop_back();
            const Level parent = levels.back();
            parent_of[k] = parent.index;
            std::string folded = e.name;
            for (char& c : folded) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            names.push_back(Name{parent.index, std::move(folded), k});
            if (e.is_directory) {
                if (e.parent != parent.index)
                    finding(false, paths[k], "its parent index is " + std::to_string(e.parent) +
                                                 ", but it lies in node " + std::to_string(parent.index));
                std::uint32_t end = e.end;
                if (end <= k || end > parent.end) {
                    finding(true, paths[k], "its end index " + std::to_string(e.end) +
                                                " lies outside its parent's nodes (" + std::to_string(k + 1) +
                                                " to " + std::to_string(parent.end) + ")");
                    end = parent.end;
                }
                levels.push_back(Level{k, end});
                continue;
            }
            const std::uint64_t end = std::uint64_t{e.data_offset} + e.data_size;
            if (e.data_size > 0 && end > archive_size(a)) {
                finding(true, paths[k], "its data (" + plural(e.data_size, "byte", "bytes") + " at " +
                                            hex(e.data_offset) + ") lies past the end of its archive (" +
                                            plural(archive_size(a), "byte", "bytes") + ")");
                continue;
            }
            if (e.data_size > 0 && e.data_offset < table_end)
                finding(false, paths[k], "its data overlaps the archive's header or table");
            if (e.data_size > 0) spans.push_back(Span{e.data_offset, end, k});
        }

        // Data shared between entries: a console game that patches one file
        // in memory changes the other.
        std::sort(spans.begin(), spans.end(), [](const Span& x, const Span& y) {
            return x.begin != y.begin ? x.begin < y.begin : x.index < y.index;
        });
        const Span* reach = nullptr;  // the span reaching furthest so far
        for (const Span& s : spans) {
            if (reach && s.begin < reach->end)
                finding(false, paths[s.index], "its data is shared with " + paths[reach->index]);
            if (!reach || s.end > reach->end) reach = &s;
        }

        // Names in one folder: the console looks a name up ignoring case
        // and takes the first match; a PC keeps the two apart, or refuses
        // the second.
        std::sort(names.begin(), names.end(), [](const Name& x, const Name& y) {
            if (x.parent != y.parent) return x.parent < y.parent;
            if (x.folded != y.folded) return x.folded < y.folded;
            return x.index < y.index;
        });
        for (std::size_t i = 1; i < names.size(); ++i) {
            const Name& earlier = names[i - 1];
            const Name& later = names[i];
            if (earlier.parent != later.parent || earlier.folded != later.folded) continue;
            Entry x, y;
            archive_entry(a, earlier.index, &x);
            archive_entry(a, later.index, &y);
            if (std::strcmp(x.name, y.name) == 0)
                finding(false, paths[later.index], "a second entry of this name in its folder; the console reads only the first");
            else
                finding(false, paths[later.index], "differs only in case from " + paths[earlier.index] +
                                                       "; the console, which ignores case, reads only the first");
        }
    }

    // Everything from the top archive down, opened by `open` (which
    // records the carriers' facts through the peel options it is given).
    void check(const std::function<ArchivePtr(PeelOptions*, OpenStatus*)>& open) {
        std::vector<LayerFacts> facts;
        PeelOptions peel;
        peel.facts = &facts;
        OpenStatus status;
        ArchivePtr top = open(&peel, &status);
        if (!top) {
            open_failed("", status, facts, false);
            return;
        }
        carriers("", facts);
        banner_sizes(*top, "", facts);
        table(*top, "", "");

        WalkNesting nesting;
        nesting.folders = false;
        nesting.enter = [&](const NestedArchive& nested) {
            const std::string where(nested.file->place.path);
            std::vector<LayerFacts> inner_facts = peel_facts(nested);
            carriers(where, inner_facts);
            banner_sizes(*nested.archive, where, inner_facts);
            table(*nested.archive, where, std::string(nested.folder) + "/");
            return true;
        };
        nesting.refused = [&](const NestedArchive& nested) {
            const std::string where(nested.file->place.path);
            switch (nested.refusal) {
                case NestRefusal::none:
                case NestRefusal::folder_taken: break;
                case NestRefusal::too_deep:
                    finding(false, where, "not checked: archives and carriers nest more than " +
                                              std::to_string(kMaxNesting) + " deep here");
                    break;
                case NestRefusal::nested_in_itself:
                    finding(true, where, "its bytes are an archive already open on the way here (an archive inside itself)");
                    break;
                case NestRefusal::cannot_open:
                    open_failed(where, nested.status, peel_facts(nested), true);
                    break;
                case NestRefusal::shared:
                    finding(false, where, "its data is shared with " + std::string(nested.same_as) +
                                              ", checked there");
                    break;
                case NestRefusal::over_budget:
                    finding(false, where, "not checked: the archives inside decode to more than " +
                                              std::to_string(kMaxNestedDecoded >> 30) + " GiB in all");
                    break;
            }
        };
        Selection everything;
        walk_entries(*top, everything, NameRule(), [](const WalkEntry&) { return true; }, true, &nesting);
    }

    // The carriers of a nested archive again, recording what a check wants
    // to know (the walk opened it recording nothing).
    static std::vector<LayerFacts> peel_facts(const NestedArchive& nested) {
        std::vector<LayerFacts> facts;
        PeelOptions peel;
        peel.facts = &facts;
        peel.held_elsewhere = source_memory_held(nested.file->archive->source) +
                              (nested.archive ? source_memory_held(nested.archive->source) : 0);
        OpenStatus status;
        open_entry(*nested.file->archive, nested.file->entry, &peel, &status);
        return facts;
    }
};

}  // namespace

CheckCount check_archive(const char* path, const std::function<void(const Finding&)>& found) {
    Checker checker{found, {}};
    checker.check([path](PeelOptions* peel, OpenStatus* status) { return open_path(path, peel, status); });
    return checker.count;
}

CheckCount check_archive_borrowed(const std::uint8_t* data, std::size_t size,
                                  const std::function<void(const Finding&)>& found) {
    Checker checker{found, {}};
    checker.check([data, size](PeelOptions* peel, OpenStatus* status) {
        return open_borrowed(data, size, peel, status);
    });
    return checker.count;
}

}  // namespace dravik
