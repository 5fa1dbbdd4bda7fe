// Fuzz target: the carriers. The input is used twice: as a whole file for
// archive_open_bytes, which peels Yaz0, LZ77, IMD5 and banner layers before
// it looks for the U8 header; and, past a three-byte prefix choosing the
// coding and an output size, as a raw stream for each decoder on its own,
// into a buffer of exactly that size, so the sanitizers see any write or
// read outside it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/u8/u8_read.h"
#include "lib/codec/lz77_decode.h"
#include "lib/codec/yaz0_decode.h"
#include "fuzz_check.h"

namespace {

void decode_raw(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return;
    const unsigned coding = data[0] % 3;
    const std::size_t out_size = (std::size_t{data[1]} << 8) | data[2];
    std::vector<std::uint8_t> in(data + 3, data + size);  // exact, so overreads show
    std::vector<std::uint8_t> out(out_size);
    const bool ok = coding == 0 ? dravik::yaz0::decode(in.data(), in.size(), out.data(), out.size())
                  : coding == 1 ? dravik::lz77::decode(dravik::lz77::kTypeShort, in.data(),
                                                       in.size(), out.data(), out.size())
                                : dravik::lz77::decode(dravik::lz77::kTypeExtended, in.data(),
                                                       in.size(), out.data(), out.size());
    // A stream that filled its output cannot have needed more input than a
    // whole byte per output byte plus its flag bytes.
    if (ok && out_size > 0) FUZZ_CHECK(!in.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decode_raw(data, size);

    dravik::OpenStatus status;
    std::unique_ptr<dravik::ArchiveHandle> h = dravik::archive_open_bytes(data, size, &status);
    if (!h) {
        FUZZ_CHECK(status.failure != dravik::OpenFailure::none);
        return 0;
    }
    // Whatever was peeled, what is left is a U8 archive inside its source,
    // and the walk stays inside the table.
    FUZZ_CHECK(h->stream.size >= 32);
    FUZZ_CHECK(h->table.size() == h->table_size);
    dravik::ArchiveEntry e;
    std::uint32_t count = 0;
    for (std::uint32_t i = dravik::archive_first(h.get(), &e); i != 0;
         i = dravik::archive_next(h.get(), &e, i)) {
        const char* begin = reinterpret_cast<const char*>(h->table.data());
        FUZZ_CHECK(e.name >= begin && e.name < begin + h->table.size());
        ++count;
    }
    FUZZ_CHECK(count == 0 || count == h->node_count - 1);
    return 0;
}
