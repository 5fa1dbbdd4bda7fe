// Fuzz target: the Yaz0 encoder. The first byte chooses the level, the
// thread count, the size of the pieces the input is fed in, and whether the
// rest is repeated past 1 MiB so that it is cut into blocks. The stream must
// be strictly valid (no distance past the start, no match past the end,
// nothing after the last token), decode to the input with dravik's own
// decoder, never be larger than literals alone, and come out the same fed in
// pieces on other threads as in one call on one thread.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/codec/yaz0_decode.h"
#include "dravik/codec.h"
#include "fuzz_check.h"
#include "yaz0_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned choice = data[0];
    const auto level = static_cast<dravik::yaz0::Level>(choice % 3);
    const unsigned threads = 2 + (choice >> 2) % 7;
    const std::size_t piece = 1 + (std::size_t{choice} << 4);
    std::vector<std::uint8_t> input(data + 1, data + size);
    // Repeated past 1 MiB, so that blocks and their joins are exercised.
    if ((choice & 0x80) && !input.empty()) {
        const std::size_t target = (std::size_t{1} << 20) + input.size() * 97;
        while (input.size() < target) input.insert(input.end(), data + 1, data + size);
    }

    const std::vector<std::uint8_t> file = dravik::yaz0::encode(input.data(), input.size(), {level, 1});
    FUZZ_CHECK(file.size() <= dravik::yaz0::kHeaderSize + input.size() + (input.size() + 7) / 8);
    std::vector<std::uint8_t> strict;
    FUZZ_CHECK(fixture::yaz0_strict_decode(file, strict).empty());
    FUZZ_CHECK(strict == input);
    std::vector<std::uint8_t> out(input.size());  // exact, so a stray write shows
    FUZZ_CHECK(dravik::yaz0::decode(file.data() + dravik::yaz0::kHeaderSize,
                                    file.size() - dravik::yaz0::kHeaderSize, out.data(), out.size()));
    FUZZ_CHECK(out == input);

    std::vector<std::uint8_t> streamed;
    auto e = dravik::yaz0::encoder_begin(static_cast<std::uint32_t>(input.size()), {level, threads},
                                         [&streamed](const std::uint8_t* p, std::size_t n) {
                                             streamed.insert(streamed.end(), p, p + n);
                                             return true;
                                         });
    FUZZ_CHECK(e);
    for (std::size_t at = 0; at < input.size(); at += piece)
        FUZZ_CHECK(encoder_feed(*e, input.data() + at, std::min(piece, input.size() - at)));
    FUZZ_CHECK(encoder_finish(*e));
    FUZZ_CHECK(streamed == file);
    return 0;
}
