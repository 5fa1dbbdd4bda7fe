// Lists an archive and reads the bytes of one file through the library.
#include <cstdio>
#include <cstring>
#include <vector>

#include "lib/u8/u8_read.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    auto archive = dravik::archive_open(argv[1]);  // bare, .szs or banner
    if (!archive) return 1;
    dravik::ArchiveEntry e;
    for (auto i = dravik::archive_first(archive.get(), &e); i; i = dravik::archive_next(archive.get(), &e, i)) {
        std::printf("%s %8u %s\n", e.is_directory ? "d" : "-", e.is_directory ? 0 : e.size, e.name);
        if (e.is_directory || argc < 3 || std::strcmp(e.name, argv[2]) != 0) continue;
        std::vector<std::uint8_t> bytes(e.size);  // the file's data, from its own offset
        if (!dravik::source_read(archive->stream, e.offset, bytes.data(), bytes.size())) return 1;
        std::printf("  read %zu bytes, first %02X\n", bytes.size(), bytes.empty() ? 0 : bytes[0]);
    }
}
