// Lists an archive (bare, .szs or banner) with the path each entry gets when
// unpacked, and prints the first bytes of one file.
//
//   list ARCHIVE [PATH]
#include <cstdio>
#include <vector>

#include "dravik/archive.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    dravik::OpenStatus status;
    dravik::ArchivePtr archive = dravik::archive_open(argv[1], &status);
    if (!archive) return 1;
    std::printf("%s: %zu carriers, %u nodes\n", argv[1], status.carriers.size(),
                dravik::archive_node_count(*archive));
    dravik::Placement placement(*archive);
    dravik::Entry e;
    for (std::uint32_t i = 1; dravik::archive_entry(*archive, i, &e); ++i) {
        const dravik::Place& place = placement.place(e);
        std::printf("%s %8u %.*s\n", e.is_directory ? "d" : "-", e.data_size,
                    static_cast<int>(place.path.size()), place.path.data());
        if (e.is_directory || argc < 3 || place.path != argv[2]) continue;
        std::vector<std::uint8_t> bytes(e.data_size);
        if (!dravik::archive_read(*archive, e, 0, bytes.data(), bytes.size())) return 1;
        std::printf("  read %zu bytes, first %02X\n", bytes.size(), bytes.empty() ? 0 : bytes[0]);
    }
}
