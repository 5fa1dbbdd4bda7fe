// The decoders and the checksum on their own: hand-assembled streams pin the
// bit layouts, the test encoder's streams make the round trips, and damaged
// streams must be refused without a read or write out of bounds (the
// sanitizer build checks that; outputs here are sized exactly).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "dravik/codec.h"
#include "lib/codec/lz77_decode.h"
#include "lib/codec/yaz0_decode.h"
#include "lib/common/md5.h"
#include "carrier_writer.h"

namespace {

using fixture::Bytes;
using fixture::Coding;
using fixture::lit;
using fixture::ref;
using fixture::Token;
namespace yaz0 = dravik::yaz0;
namespace lz77 = dravik::lz77;

constexpr Coding kCodings[] = {Coding::yaz0, Coding::lz10, Coding::lz11};

// Decodes a whole file through the public whole-file decoders, which run
// the reader's size check first.
std::optional<Bytes> decode_file(const Bytes& file) {
    Bytes out;
    const bool ok = yaz0::has_magic(file.data()) ? yaz0::decompress(file.data(), file.size(), out)
                                                 : lz77::decompress(file.data(), file.size(), out);
    if (!ok) return std::nullopt;
    return out;
}

Bytes with_header(Coding coding, std::uint32_t declared, const Bytes& stream) {
    Bytes file = fixture::compressed_file({}, coding, declared);
    file.insert(file.end(), stream.begin(), stream.end());
    return file;
}

Bytes repeat(const std::string& pattern, std::size_t size) {
    Bytes out;
    while (out.size() < size) out.push_back(static_cast<std::uint8_t>(pattern[out.size() % pattern.size()]));
    return out;
}

TEST(Codec, HandAssembledStreamsDecode) {
    // Yaz0: literals A B C, then distance 3 length 7 (two bytes), then
    // distance 1 length 0x12 + 0x10 (three bytes).
    Bytes abc_then_a = repeat("ABC", 10);
    abc_then_a.insert(abc_then_a.end(), 34, 'A');
    EXPECT_EQ(decode_file(with_header(Coding::yaz0, 44,
                                      {0xE0, 'A', 'B', 'C', 0x50, 0x02, 0x00, 0x00, 0x10})),
              abc_then_a);
    // LZ10: literals a b c, then distance 3 length 0xF + 3.
    EXPECT_EQ(decode_file(with_header(Coding::lz10, 21, {0x10, 'a', 'b', 'c', 0xF0, 0x02})),
              repeat("abc", 21));
    // LZ11: literals x y, then distance 2 in each form: four bytes (length
    // 0x111 + 1), three bytes (0x11 + 0x23), two bytes (4 + 1).
    EXPECT_EQ(decode_file(with_header(Coding::lz11, 333,
                                      {0x38, 'x', 'y', 0x10, 0x00, 0x10, 0x01, 0x02, 0x30, 0x01,
                                       0x40, 0x01})),
              repeat("xy", 333));
}

TEST(Codec, RoundTripsLiteralsAndReferencesOfEveryReach) {
    std::vector<Bytes> inputs = {{}, {'x'}, fixture::sample_data(3000, 7), Bytes(70000, 'a'),
                                 fixture::sample_data(300000, 3)};
    for (const char* pattern : {"ab", "abc", "abcde", "abcdefg", "abcdefgh", "0123456789ab",
                                "0123456789abcdef", "0123456789abcdefghij"})
        inputs.push_back(repeat(pattern, 2000));
    // Incompressible data: every group takes the all-literal path.
    Bytes noise = fixture::sample_data(1 << 16, 9);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(noise[i] * 131 + i * i);
    inputs.push_back(noise);

    for (Coding coding : kCodings) {
        for (const Bytes& data : inputs) {
            SCOPED_TRACE(testing::Message() << "coding " << static_cast<int>(coding) << ", " << data.size() << " bytes");
            EXPECT_EQ(decode_file(fixture::compress(data, coding)), data);
            const auto size = static_cast<std::uint32_t>(data.size());
            EXPECT_EQ(decode_file(fixture::compressed_file(fixture::literals(data), coding, size)), data);
        }
    }
}

TEST(Codec, RefusesTruncationAndReferencesBeforeTheStart) {
    for (Coding coding : kCodings) {
        SCOPED_TRACE(static_cast<int>(coding));
        const Bytes data = fixture::sample_data(2000, 5);
        const Bytes file = fixture::compress(data, coding);
        const std::size_t header = coding == Coding::yaz0 ? yaz0::kHeaderSize : lz77::kHeaderSize;
        for (std::size_t cut = header; cut < file.size(); ++cut)
            ASSERT_EQ(decode_file(Bytes(file.begin(), file.begin() + cut)), std::nullopt) << cut;

        EXPECT_EQ(decode_file(fixture::compressed_file({lit('a'), ref(2, 3)}, coding, 4)), std::nullopt);
        EXPECT_EQ(decode_file(fixture::compressed_file({lit('a'), ref(1, 3)}, coding, 4)), Bytes(4, 'a'));
        // The same far into a long stream, where the decoders take their fast path.
        std::vector<Token> tokens = fixture::literals(fixture::sample_data(100, 2));
        tokens.push_back(ref(101, 10));
        const std::vector<Token> tail = fixture::literals(fixture::sample_data(9000, 4));
        tokens.insert(tokens.end(), tail.begin(), tail.end());
        EXPECT_EQ(decode_file(fixture::compressed_file(tokens, coding, 9110)), std::nullopt);
        tokens[100] = ref(100, 10);
        EXPECT_NE(decode_file(fixture::compressed_file(tokens, coding, 9110)), std::nullopt);
    }
}

TEST(Codec, DensestStreamsPassTheSizeCheck) {
    // One literal, then only the longest references: as much output per
    // stream byte as each coding allows, which the size check must accept.
    const struct { Coding coding; std::uint32_t longest; std::uint32_t count; } cases[] = {
        {Coding::yaz0, 0xFF + 0x12, 4000}, {Coding::lz10, 0xF + 3, 4000}, {Coding::lz11, 0xFFFF + 0x111, 200}};
    for (const auto& c : cases) {
        std::vector<Token> tokens = {lit('z')};
        tokens.insert(tokens.end(), c.count, ref(1, c.longest));
        const std::uint32_t size = 1 + c.count * c.longest;
        EXPECT_EQ(decode_file(fixture::compressed_file(tokens, c.coding, size)), Bytes(size, 'z'));
        EXPECT_EQ(decode_file(fixture::compressed_file(tokens, c.coding, size + 1)), std::nullopt);
    }
}

std::string md5_hex(const std::string& text) {
    std::uint8_t d[dravik::md5::kDigestSize];
    dravik::md5::digest(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), d);
    std::string hex;
    for (std::uint8_t b : d) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    return hex;
}

TEST(Codec, Md5MatchesKnownDigestsWholeOrInPieces) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    // Lengths around the padding boundaries.
    EXPECT_EQ(md5_hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(md5_hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(md5_hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");

    const Bytes data = fixture::sample_data(5000, 11);
    std::uint8_t whole[16], pieces[16];
    dravik::md5::digest(data.data(), data.size(), whole);
    dravik::md5::Context context;
    dravik::md5::init(context);
    for (std::size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 191 + 1)
        dravik::md5::update(context, data.data() + at, std::min(step, data.size() - at));
    dravik::md5::finish(context, pieces);
    EXPECT_EQ(Bytes(whole, whole + 16), Bytes(pieces, pieces + 16));
}

}  // namespace
