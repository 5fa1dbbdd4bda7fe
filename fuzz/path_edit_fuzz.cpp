// Fuzz target: edits by paths, checked by comparing. The input is opened as
// an archive; its last bytes choose an edit (new bytes put at an entry's
// path or at a new one, the same bytes put back, a pattern deleted, an
// entry renamed or moved), with or without -r's way through NAME.d
// folders, the paths drawn from what the walk names. An accepted edit is
// written, opened again and compared with the original by what unpacking
// each gives: every difference must be one the edit told, or inside one
// (hostile input aside: data past the end, entries at the same path, or an
// archive inside that opens on one side only); an edit that tells no change must give the U8 archive
// back byte for byte (unless data lay inside its table); new bytes must
// read back where they were put.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "dravik/archive.h"
#include "dravik/writer.h"
#include "fuzz_check.h"

namespace {

using dravik::Bytes;

bool inside(const std::string& path, const std::string& folder) {
    return folder.empty() || path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// The paths the walk names, through NAME.d folders with `recursive`. What
// an edit may change without telling goes to `loose`: files whose data
// lies past the archive's end (kept as stored, they may read once the
// archive grows). The whole archive is loose where several entries are
// placed at one path (which one unpacking writes there goes by their
// order, which moving entries changes, and a folder that loses its place
// to a file sends what it holds a level up), and where an archive inside
// was refused (nested in itself, say: its bytes overlap those of an
// archive on the way, which an edit moves).
std::vector<std::string> walked_paths(const dravik::Archive& archive, bool recursive,
                                      std::vector<std::string>& loose) {
    std::vector<std::string> paths;
    std::set<std::string> seen;
    dravik::Selection all;
    dravik::WalkNesting nesting;
    nesting.refused = [&loose](const dravik::NestedArchive&) { loose.emplace_back(); };  // the whole archive
    dravik::walk_entries(archive, all, {}, [&](const dravik::WalkEntry& w) {
        if (w.place.placeable && !seen.emplace(w.place.path).second) loose.emplace_back();  // the whole archive
        if (w.place.placeable) paths.emplace_back(w.place.path);
        const std::uint64_t end = dravik::archive_size(*w.archive);
        if (!w.entry.is_directory && (w.entry.data_offset > end || w.entry.data_size > end - w.entry.data_offset))
            loose.emplace_back(w.place.path);
        return true;
    }, true, recursive ? &nesting : nullptr);
    return paths;
}

// The bytes of the one file the walk puts at `path`; false when there is
// not exactly one.
bool read_at_path(const dravik::Archive& archive, const std::string& path, bool recursive, Bytes& out) {
    int found = 0;
    dravik::Selection all;
    dravik::WalkNesting nesting;
    dravik::walk_entries(archive, all, {}, [&](const dravik::WalkEntry& w) {
        if (w.entry.is_directory || w.place.path != path || ++found > 1) return true;
        if (w.entry.data_size > dravik::archive_size(*w.archive)) return ++found, true;
        out.resize(static_cast<std::size_t>(w.entry.data_size));
        if (!dravik::archive_read(*w.archive, w.entry, 0, out.data(), out.size())) ++found;
        return true;
    }, true, recursive ? &nesting : nullptr);
    return found == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dravik::ArchivePtr archive = dravik::archive_open_borrowed(data, size);
    if (!archive || size < 3) return 0;
    const std::uint8_t choice = data[size - 1], pick = data[size - 2], other = data[size - 3];
    const bool recursive = choice & 8;
    std::vector<std::string> loose;
    const std::vector<std::string> paths = walked_paths(*archive, recursive, loose);
    if (paths.empty()) return 0;
    const std::string& path = paths[pick % paths.size()];
    const std::string& second = paths[other % paths.size()];

    namespace u8 = dravik::u8;
    u8::PathEditRequest request;
    request.recursive = recursive;
    request.yaz0.level = dravik::yaz0::Level::fast;
    Bytes put = {'n', 'e', 'w', static_cast<std::uint8_t>(choice)};
    const std::string parent = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    std::string put_at = path;
    switch (choice % 6) {
        case 0: put_at = parent.empty() ? "new" : parent + "/new"; [[fallthrough]];
        case 1: request.puts.push_back(u8::PathPut{put_at, false, put.size(), 0}); break;
        case 2: {
            // Its own bytes back: changes nothing.
            Bytes own;
            if (!read_at_path(*archive, path, recursive, own)) return 0;
            put = own;
            request.puts.push_back(u8::PathPut{path, false, put.size(), 0});
            break;
        }
        case 3:
            request.kind = u8::PathEditRequest::Kind::remove;
            request.globs = {path, choice & 16 ? "*" : "*.bin"};
            break;
        case 4:
            request.kind = u8::PathEditRequest::Kind::rename;
            request.from = path;
            request.to = path + "_";
            break;
        default:
            request.kind = u8::PathEditRequest::Kind::rename;
            request.from = path;
            request.to = second + "/" + path.substr(path.rfind('/') + 1);
            break;
    }
    const u8::DataSource bytes = [&put](const u8::Piece& piece, const dravik::ByteSink& sink) {
        return piece.key == 0 && sink(put.data(), put.size());
    };
    u8::PathEdit edit;
    if (!u8::edit_by_paths(*archive, request, bytes, edit)) return 0;

    Bytes result;
    FUZZ_CHECK(u8::write_plan(edit.plan, [&result](const std::uint8_t* p, std::size_t n) {
        result.insert(result.end(), p, p + n);
        return true;
    }, u8::path_edit_source(edit, bytes), archive.get()));
    FUZZ_CHECK(result.size() == edit.plan.size);
    dravik::ArchivePtr edited = dravik::archive_open_borrowed(result.data(), result.size());
    if (!edited) {
        // Only deleting everything leaves an archive (the root alone) that does not open.
        FUZZ_CHECK(request.kind == u8::PathEditRequest::Kind::remove);
        return 0;
    }
    walked_paths(*edited, recursive, loose);
    std::vector<dravik::PathChange> found;
    const dravik::Comparison c = dravik::compare_archives(*archive, *edited, [&found](const dravik::PathChange& d) {
        found.push_back(d);
    }, {}, recursive);
    FUZZ_CHECK(!c.unreadable);
    for (const dravik::PathChange& d : found) {
        bool told = false;
        for (const std::string& l : loose) told = told || inside(d.path, l) || inside(d.path, l + ".d");
        for (const dravik::PathChange& e : edit.changes)
            told = told || inside(d.path, e.path) || inside(d.path, e.path + ".d") ||
                   (!e.from.empty() && (inside(d.path, e.from) || inside(d.path, e.from + ".d")));
        FUZZ_CHECK(told);
    }
    if (edit.changes.empty()) {
        // Byte for byte, unless data stored inside the header or the table
        // had to move out of it.
        const std::uint8_t* u8_bytes = dravik::archive_bytes(*archive);
        const auto be32 = [u8_bytes](std::size_t at) {
            return std::uint64_t{u8_bytes[at]} << 24 | u8_bytes[at + 1] << 16 | u8_bytes[at + 2] << 8 | u8_bytes[at + 3];
        };
        const std::uint64_t table_end = be32(4) + be32(8);
        bool data_after_table = true;
        dravik::Entry e;
        for (std::uint32_t i = 1; dravik::archive_entry(*archive, i, &e); ++i)
            data_after_table = data_after_table && (e.is_directory || e.data_size == 0 || e.data_offset >= table_end);
        if (edit.rebuilt.empty() && data_after_table)
            FUZZ_CHECK(result.size() == dravik::archive_size(*archive) &&
                       std::equal(result.begin(), result.end(), dravik::archive_bytes(*archive)));
    }
    Bytes back;
    if (request.kind == u8::PathEditRequest::Kind::put && !edit.changes.empty() &&
        read_at_path(*edited, put_at, recursive, back))
        FUZZ_CHECK(back == put);
    return 0;
}
