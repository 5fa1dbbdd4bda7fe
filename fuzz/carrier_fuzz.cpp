// Fuzz target: the carriers. The input is used three ways: as a whole file
// for archive_open_borrowed, which peels Yaz0, LZ77, IMD5 and banner layers
// before it looks for the U8 header; peeled by carrier_peel and wrapped
// again in what was found, which must peel back to the same bytes; and,
// past a three-byte prefix choosing the coding and an output size, as a raw
// stream for each decoder on its own, into a buffer of exactly that size,
// so the sanitizers see any write or read outside it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "dravik/carrier.h"
#include "dravik/codec.h"
#include "lib/u8/u8_read.h"
#include "fuzz_check.h"

namespace {

void decode_raw(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return;
    const unsigned coding = data[0] % 3;
    const std::size_t out_size = (std::size_t{data[1]} << 8) | data[2];
    std::vector<std::uint8_t> in(data + 3, data + size);  // exact, so overreads show
    std::vector<std::uint8_t> out(out_size);
    const bool ok = coding == 0 ? dravik::yaz0::decode(in.data(), in.size(), out.data(), out.size())
                  : coding == 1 ? dravik::lz77::decode(dravik::lz77::kCodingShort, in.data(),
                                                       in.size(), out.data(), out.size())
                                : dravik::lz77::decode(dravik::lz77::kCodingExtended, in.data(),
                                                       in.size(), out.data(), out.size());
    // A stream that filled its output cannot have needed more input than a
    // whole byte per output byte plus its flag bytes.
    if (ok && out_size > 0) FUZZ_CHECK(!in.empty());
}

// What was peeled, wrapped again in the carriers it came in, peels back to
// the same bytes with the same carriers.
void round_trip(const std::uint8_t* data, std::size_t size) {
    dravik::Bytes inner;
    std::vector<dravik::Carrier> carriers;
    if (dravik::carrier_peel(data, size, inner, &carriers) != dravik::OpenError::none) return;
    if (carriers.empty() || inner.size() > (64u << 10)) return;
    dravik::Bytes wrapped = inner;
    if (!dravik::carrier_wrap(carriers, {dravik::yaz0::Level::fast, 1}, wrapped)) return;
    dravik::Bytes again;
    std::vector<dravik::Carrier> found;
    FUZZ_CHECK(dravik::carrier_peel(wrapped.data(), wrapped.size(), again, &found) == dravik::OpenError::none);
    FUZZ_CHECK(again == inner);
    FUZZ_CHECK(found.size() == carriers.size());
    for (std::size_t i = 0; i < found.size() && i < carriers.size(); ++i)
        FUZZ_CHECK(found[i].kind == carriers[i].kind && found[i].coding == carriers[i].coding);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decode_raw(data, size);
    round_trip(data, size);

    dravik::OpenStatus status;
    dravik::ArchivePtr h = dravik::archive_open_borrowed(data, size, &status);
    if (!h) {
        FUZZ_CHECK(status.error != dravik::OpenError::none);
        return 0;
    }
    // Whatever was peeled, what is left is a U8 archive inside its source,
    // and the walk stays inside the table.
    FUZZ_CHECK(dravik::archive_size(*h) >= 32);
    FUZZ_CHECK(h->table.size() == h->table_size);
    FUZZ_CHECK(status.carriers.size() == dravik::archive_carriers(*h).size());
    dravik::Entry e;
    std::uint32_t count = 0;
    for (std::uint32_t i = 1; dravik::archive_entry(*h, i, &e); ++i) {
        const char* begin = reinterpret_cast<const char*>(h->table.data());
        FUZZ_CHECK(e.name >= begin && e.name < begin + h->table.size());
        ++count;
    }
    FUZZ_CHECK(count == 0 || count == h->node_count - 1);
    return 0;
}
