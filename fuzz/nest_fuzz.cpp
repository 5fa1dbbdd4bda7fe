// Fuzz target: archives inside archives. The input is opened as an archive
// and walked with nesting, as -r walks it; every entry of every nested
// archive is read. The first byte past a 0 selects a pattern set, so the
// walk also runs with --exclude and --include over inner paths. Each small
// nested archive is also laid out again unchanged and written back into
// its carriers, as an edit with -r does.
#include <cstdint>
#include <string>
#include <vector>

#include "dravik/archive.h"
#include "dravik/writer.h"
#include "lib/u8/u8_read.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dravik::ArchivePtr top = dravik::archive_open_borrowed(data, size);
    if (!top) return 0;
    const unsigned choice = size > 0 ? data[size - 1] % 3 : 0;
    dravik::Selection selection =
        choice == 1 ? dravik::make_selection({}, {"*.bin"})
        : choice == 2 ? dravik::make_selection({"arc/*.d/arc/*"}, {})
                      : dravik::Selection();

    // The nested archives open on the path, outermost first, with the
    // folder their entries go through.
    struct Open {
        const dravik::Archive* archive;
        std::string folder;
    };
    std::vector<Open> path = {{top.get(), std::string()}};
    std::vector<std::uint8_t> bytes;
    dravik::WalkNesting nesting;
    nesting.enter = [&](const dravik::NestedArchive& n) {
        FUZZ_CHECK(n.archive && n.refusal == dravik::NestRefusal::none);
        FUZZ_CHECK(n.level == path.size() && n.file->level + 1 == n.level);
        FUZZ_CHECK(n.file->archive == path.back().archive);
        FUZZ_CHECK(n.folder == std::string(n.file->place.path) + ".d");
        FUZZ_CHECK(n.level < dravik::kMaxNesting);
        // Its bytes lie inside its file's entry when it is a range of them.
        if (const std::uint8_t* inner = dravik::archive_bytes(*n.archive)) {
            const std::uint8_t* outer = dravik::archive_bytes(*n.file->archive);
            if (outer && inner >= outer && inner < outer + dravik::archive_size(*n.file->archive))
                FUZZ_CHECK(inner + dravik::archive_size(*n.archive) <=
                           outer + n.file->entry.data_offset + n.file->entry.data_size);
        }
        // Written back unchanged: the file keeps its bytes, or (data stored
        // inside the table moves out of it) new ones that peel back to the
        // new archive; a carrier may be unable to hold it.
        if (dravik::archive_size(*n.archive) <= 65536) {
            dravik::u8::Plan plan;
            if (dravik::u8::layout_edit(*n.archive, {}, {}, plan).result.error == dravik::u8::LayoutError::none &&
                plan.size <= (1u << 20)) {
                const dravik::u8::DataSource none = [](const dravik::u8::Piece&, const dravik::ByteSink&) { return false; };
                dravik::Bytes file, written, peeled;
                const auto result = dravik::u8::rebuild_nested(*n.archive, plan, none, {dravik::yaz0::Level::fast, 1}, file);
                FUZZ_CHECK((result == dravik::u8::NestedRebuild::rebuilt) == !file.empty());
                if (result == dravik::u8::NestedRebuild::rebuilt) {
                    FUZZ_CHECK(dravik::u8::write_plan(plan, [&written](const std::uint8_t* p, std::size_t k) {
                        written.insert(written.end(), p, p + k);
                        return true;
                    }, none, n.archive));
                    FUZZ_CHECK(dravik::carrier_peel(file.data(), file.size(), peeled) == dravik::OpenError::none &&
                               peeled == written);
                }
            }
        }
        path.push_back({n.archive, std::string(n.folder)});
        return true;
    };
    nesting.leave = [&](const dravik::NestedArchive& n) {
        FUZZ_CHECK(path.size() > 1 && path.back().archive == n.archive);
        path.pop_back();
    };
    nesting.refused = [&](const dravik::NestedArchive& n) {
        FUZZ_CHECK(!n.archive && n.refusal != dravik::NestRefusal::none);
    };
    dravik::walk_entries(*top, selection, {}, [&](const dravik::WalkEntry& w) {
        FUZZ_CHECK(w.level + 1 == path.size() && w.archive == path.back().archive);
        if (w.level > 0) {
            const std::string& folder = path.back().folder;
            FUZZ_CHECK(w.place.path.size() > folder.size() &&
                       w.place.path.compare(0, folder.size(), folder) == 0 && w.place.path[folder.size()] == '/');
        }
        if (!w.entry.is_directory && w.entry.data_size <= (1u << 20)) {
            bytes.resize(w.entry.data_size);
            const bool inside = std::uint64_t{w.entry.data_offset} + w.entry.data_size <= dravik::archive_size(*w.archive);
            FUZZ_CHECK(dravik::archive_read(*w.archive, w.entry, 0, bytes.data(), bytes.size()) == inside);
        }
        return true;
    }, true, &nesting);
    FUZZ_CHECK(path.size() == 1);
    return 0;
}
