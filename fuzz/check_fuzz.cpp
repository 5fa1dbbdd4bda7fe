// Fuzz target: check_archive on any bytes, as --check runs it on a file
// (the page on the bytes it read). The check walks every carrier, banner,
// table and archive inside; the sanitizers watch it, and the findings must
// agree with the counts, each in words, an archive that does not open
// being one problem and nothing else.
#include <cstdint>
#include <string>

#include "dravik/archive.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint32_t problems = 0, warnings = 0;
    const dravik::CheckCount count = dravik::check_archive_borrowed(data, size, [&](const dravik::Finding& f) {
        FUZZ_CHECK(!f.text.empty());
        ++(f.problem ? problems : warnings);
    });
    FUZZ_CHECK(count.problems == problems && count.warnings == warnings);
    if (!dravik::archive_open_borrowed(data, size)) FUZZ_CHECK(problems >= 1);
    return 0;
}
