// The command line and the walk: the input is NUL-separated arguments, then
// an empty argument, then an archive. The arguments go through the option
// parser; the archive is walked with the --include and --exclude patterns
// they hold.
#include <cstdint>
#include <string>
#include <vector>

#include "program/options.h"
#include "program/walk.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words = {"dravik"};
    std::size_t at = 0;
    while (at < size && words.size() < 16) {
        std::size_t end = at;
        while (end < size && data[end] != 0) ++end;
        if (end == at) {  // an empty argument: the archive follows
            ++at;
            break;
        }
        words.emplace_back(reinterpret_cast<const char*>(data + at), end - at);
        at = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    dravik::Options options;
    std::string error;
    const bool parsed = dravik::parse_options(static_cast<int>(words.size()), argv.data(), options, error);
    FUZZ_CHECK(parsed == error.empty());
    if (!parsed) return 0;

    dravik::Selection selection = dravik::make_selection(options.include, options.exclude);
    auto handle = dravik::archive_open_borrowed(data + (at < size ? at : size), at < size ? size - at : 0);
    if (!handle) return 0;
    std::uint32_t last = 0;
    dravik::walk_entries(*handle, selection, {}, [&](const dravik::WalkEntry& w) {
        const dravik::Entry& e = w.entry;
        FUZZ_CHECK(e.index > last);  // table order, each entry once
        last = e.index;
        FUZZ_CHECK(e.index < dravik::archive_node_count(*handle));
        FUZZ_CHECK(w.place.path.empty() || w.place.path.front() != '/');
        // A file whose own name an exclusion matches is never acted on.
        for (const dravik::Pattern& p : selection.exclude)
            if (!e.is_directory && !p.whole_path)
                FUZZ_CHECK(!dravik::glob_match(p.glob, e.name, false));
        return e.index % 3 != 0;  // some directories refused, as a full disk would
    });
    return 0;
}
