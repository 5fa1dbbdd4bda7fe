// The listing line and the escaping of names for standard error.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "lib/platform/platform.h"
#include "program/console.h"
#include "test_support.h"

namespace dravik {
namespace {

std::string prefix(std::uint8_t dir, std::uint32_t offset, std::uint32_t size) {
    Entry e;
    e.is_directory = dir;
    e.stored.offset = offset;
    e.stored.size = size;
    char buf[kListingPrefixMax];
    return std::string(buf, format_listing_prefix(buf, e));
}

std::string printf_prefix(std::uint8_t dir, std::uint32_t offset, std::uint32_t size) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "[%s] offs[0x%08X] len[%08d] ", dir ? "d" : "-", offset,
                  static_cast<int>(size));
    return buf;
}

TEST(Listing, MatchesTheFixedFormatForEveryKindOfNumber) {
    EXPECT_EQ(prefix(0, 0, 0), "[-] offs[0x00000000] len[00000000] ");
    EXPECT_EQ(prefix(1, 0x1, 27), "[d] offs[0x00000001] len[00000027] ");
    EXPECT_EQ(prefix(0, 0xDEADBEEF, 0x80000000u), "[-] offs[0xDEADBEEF] len[-2147483648] ");
    EXPECT_EQ(prefix(0, 0, 0xFFFFFFFFu), "[-] offs[0x00000000] len[-0000001] ");
    EXPECT_EQ(prefix(0, 0, 123456789), "[-] offs[0x00000000] len[123456789] ");

    const std::uint32_t edges[] = {0, 1, 9, 10, 9999999, 10000000, 99999999, 100000000,
                                   0x7FFFFFFF, 0x80000000u, 0x80000001u, 0xFFFFFFF6u,
                                   0xFF676981u, 0xFFFFFFFFu};
    for (std::uint32_t v : edges) EXPECT_EQ(prefix(0, v, v), printf_prefix(0, v, v)) << v;
    std::mt19937 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        std::uint32_t a = rng(), b = rng() >> (rng() % 32);
        EXPECT_EQ(prefix(i & 1, a, b), printf_prefix(i & 1, a, b));
    }
}

TEST(Listing, BuffersAndWritesWholeLines) {
    fixture::TempDir dir;
    const std::string path = dir.sub("listing");
    FileDescriptor file(fixture::create_for_writing(path));
    ASSERT_TRUE(file.valid());
    {
        Console out;
        out.fd = file.fd;
        Entry e;
        e.name = "a name with spaces";
        for (int i = 0; i < 5000; ++i) console_listing_line(out, e);  // several buffers' worth
        std::string big(200000, 'x');
        console_write(out, big.data(), big.size());  // larger than the buffer
        EXPECT_TRUE(console_flush(out));
    }
    file = FileDescriptor();
    EXPECT_EQ(fixture::read_file(path).size(), 5000u * (35 + 18 + 1) + 200000u);

    Console broken;
    broken.fd = -1;
    console_text(broken, "lost");
    EXPECT_FALSE(console_flush(broken));
    EXPECT_TRUE(broken.failed);
}

std::string esc(const char* s) {
    std::string out;
    append_escaped(out, s);
    return out;
}

TEST(Escape, KeepsPrintableTextAndEscapesWhatCouldUpsetATerminal) {
    EXPECT_EQ(esc("plain_name-1.brres"), "plain_name-1.brres");
    EXPECT_EQ(esc("with space"), "with space");
    EXPECT_EQ(esc("a\nb\tc\x1b[31m"), "a\\x0ab\\x09c\\x1b[31m");
    EXPECT_EQ(esc("back\\slash\x7f"), "back\\x5cslash\\x7f");
    EXPECT_EQ(esc("caf\xc3\xa9 \xe3\x83\x86"), "caf\xc3\xa9 \xe3\x83\x86");  // valid UTF-8 stays
    EXPECT_EQ(esc("\xc2\x9b" "2J"), "\\xc2\\x9b2J");  // C1 control (CSI) in UTF-8
    EXPECT_EQ(esc("\x9b" "2J"), "\\x9b2J");           // bare C1 byte
    EXPECT_EQ(esc("\x83\x65\x83\x58"), "\\x83e\\x83X");  // Shift-JIS is not UTF-8
    EXPECT_EQ(esc("\xe3\x83"), "\\xe3\\x83");  // truncated sequence at the end
    EXPECT_EQ(esc("\xf0\x9f\x98"), "\\xf0\\x9f\\x98");
    EXPECT_EQ(esc("\xc0\xaf"), "\\xc0\\xaf");  // overlong "/"
    EXPECT_EQ(esc("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // surrogate
}

}  // namespace
}  // namespace dravik
