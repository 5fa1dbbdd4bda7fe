// Two archives compared entry by entry, by the paths unpacking writes them
// to and the bytes it would write there; file data is compared in chunks,
// so memory stays bounded whatever the archives hold.
#include "program/diff.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "dravik/archive.h"
#include "program/edit.h"
#include "program/json.h"
#include "program/messages.h"
#include "program/walk.h"

namespace dravik {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

enum class Same { yes, no, unreadable };

// The entries unpacking writes, by path.
std::map<std::string, std::uint32_t> written_entries(const Archive& archive) {
    std::map<std::string, std::uint32_t> entries;
    const std::vector<UnpackedPlace> places = unpacked_places(archive, platform_name_rule());
    for (std::uint32_t i = 1; i < places.size(); ++i)
        if (places[i].written) entries.emplace(places[i].path, i);
    return entries;
}

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

}  // namespace

int run_diff(const Options& options, Console& out) {
    const std::string& path_a = options.operands[0];
    const std::string& path_b = options.operands[1];
    OpenStatus status_a, status_b;
    ArchivePtr a = archive_open(path_a.c_str(), &status_a);
    ArchivePtr b = archive_open(path_b.c_str(), &status_b);
    if (!a) report_line(out, open_error_text(path_a.c_str(), status_a));
    if (!b) report_line(out, open_error_text(path_b.c_str(), status_b));
    if (!a || !b) return 2;

    const bool print = !options.quiet;
    const std::map<std::string, std::uint32_t> in_a = written_entries(*a);
    const std::map<std::string, std::uint32_t> in_b = written_entries(*b);
    Buffers buffers;
    bool differ = false;
    auto x = in_a.begin();
    auto y = in_b.begin();
    while (x != in_a.end() || y != in_b.end()) {
        char kind = 0;
        const std::string* path = nullptr;
        if (y == in_b.end() || (x != in_a.end() && x->first < y->first)) {
            kind = 'D';
            path = &(x++)->first;
        } else if (x == in_a.end() || y->first < x->first) {
            kind = 'A';
            path = &(y++)->first;
        } else {
            Entry e, f;
            archive_entry(*a, x->second, &e);
            archive_entry(*b, y->second, &f);
            path = &x->first;
            ++x, ++y;
            if (e.is_directory != f.is_directory) {
                kind = 'M';
            } else if (!e.is_directory) {
                const Same same = e.data_size != f.data_size ? Same::no
                    : same_stream(e.data_size, buffers,
                                  [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read(*a, e, at, p, n); },
                                  [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read(*b, f, at, p, n); });
                if (same == Same::unreadable) {
                    report_line(out, escaped_path(*path) + ": cannot be read from both archives");
                    console_flush(out);
                    return 2;
                }
                if (same == Same::no) kind = 'M';
            }
        }
        if (kind == 0) continue;
        differ = true;
        if (print) print_change(out, options.json, kind, *path);
    }

    // The U8 archives themselves, after their carriers: the same bytes, or
    // only the same contents (another order, alignment or padding).
    bool identical = false;
    if (!differ && archive_size(*a) == archive_size(*b)) {
        const Same same = same_stream(
            archive_size(*a), buffers,
            [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read_bytes(*a, at, p, n); },
            [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read_bytes(*b, at, p, n); });
        if (same == Same::unreadable) {
            report_line(out, "the archives cannot be read");
            console_flush(out);
            return 2;
        }
        identical = same == Same::yes;
    }
    if (print && options.json) {
        JsonLine line = json_begin(out);
        json_bool(line, "same_contents", !differ);
        json_bool(line, "identical", identical);
        json_end(line);
    } else if (print) {
        console_text(out, identical ? "- same contents; the U8 archives are byte-identical.\n"
                          : differ  ? "- contents differ; the U8 archives differ.\n"
                                    : "- same contents; the U8 archives differ in layout.\n");
    }
    if (!console_flush(out)) {
        report_line(out, with_errno("cannot write the listing", out.error_number));
        return 2;
    }
    return differ ? 1 : 0;
}

}  // namespace dravik
