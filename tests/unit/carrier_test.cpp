// Archives inside carriers: the reader peels them off and shows the inner
// archive exactly as a bare one, refuses damaged carriers before anything is
// written, and only warns about checksums that do not match.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "carrier_writer.h"
#include "test_support.h"
#include "archive_builder.h"

namespace dravik {
namespace {

using fixture::Bytes;
using fixture::Coding;

// A tree with enough repetition for real back-references.
Bytes inner_archive() {
    fixture::Builder b;
    b.dir("arc");
    b.dir("timg");
    b.file("a.tpl", std::string(5000, '\x11') + "tail");
    b.end();
    const Bytes text = fixture::sample_data(40000, 2);
    b.file("layout.brlyt", std::string(text.begin(), text.end()));
    b.file("empty", "");
    b.end();
    return b.build();
}

using Words = std::tuple<std::string, std::uint32_t, std::uint32_t, bool>;

std::vector<Words> entries(const Archive* h) {
    std::vector<Words> out;
    Entry e;
    for (std::uint32_t i = 1; h && archive_entry(*h, i, &e); ++i)
        out.emplace_back(e.name, e.stored.offset, e.stored.size, e.is_directory);
    return out;
}

ArchivePtr open_bytes(const Bytes& bytes, OpenStatus* status) {
    return archive_open_memory(bytes.data(), bytes.size(), status);
}

Bytes yaz0(const Bytes& b) { return fixture::compress(b, Coding::yaz0); }
Bytes lz10(const Bytes& b) { return fixture::compress(b, Coding::lz10); }
Bytes lz11(const Bytes& b) { return fixture::compress(b, Coding::lz11); }
Bytes imd5(const Bytes& b) { return fixture::imd5_wrap(b); }
Bytes imet40(const Bytes& b) { return fixture::imet_wrap(b, 0x40); }
Bytes imet80(const Bytes& b) { return fixture::imet_wrap(b, 0x80); }
Bytes bare(const Bytes& b) { return fixture::bare_lz_wrap(b); }

struct Wrapping {
    const char* name;
    Bytes bytes;
};

std::vector<Wrapping> wrappings(const Bytes& u8) {
    // Three trailing bytes leave the last group of literals partial.
    Bytes padded = u8;
    padded.insert(padded.end(), 3, 0);
    const auto size = static_cast<std::uint32_t>(padded.size());
    return {{"yaz0", yaz0(u8)},
            {"yaz0, literals only (the longest stream a size allows)",
             fixture::compressed_file(fixture::literals(padded), Coding::yaz0, size)},
            {"imd5+lz10 (a banner part)", imd5(lz10(u8))},
            {"imd5+lz11", imd5(lz11(u8))},
            {"imet at 0x40", imet40(u8)},
            {"imet at 0x80", imet80(u8)},
            {"imet+imd5 over the file", imet80(imd5(u8))},
            {"imd5+yaz0", imd5(yaz0(u8))},
            {"yaz0+yaz0", yaz0(yaz0(u8))},
            {"imet+yaz0+imd5+lz10", imet40(yaz0(imd5(lz10(u8))))},
            {"bare lz11 (.arc.LZ)", bare(u8)},
            {"bare lz10, size in 32 bits", fixture::bare_lz_wrap(u8, 0x10, true)},
            {"imd5+bare lz10", imd5(fixture::bare_lz_wrap(u8, 0x10))},
            {"bare lz11+yaz0", bare(yaz0(u8))}};
}

TEST(Carrier, EveryNestingOpensToTheBareArchivesEntriesFromMemoryOrDisk) {
    const Bytes u8 = inner_archive();
    OpenStatus status;
    const auto bare = entries(open_bytes(u8, &status).get());
    ASSERT_EQ(bare.size(), 5u);
    fixture::TempDir dir;
    for (const Wrapping& w : wrappings(u8)) {
        SCOPED_TRACE(w.name);
        auto h = open_bytes(w.bytes, &status);
        ASSERT_TRUE(h) << static_cast<int>(status.error);
        EXPECT_EQ(entries(h.get()), bare);
        EXPECT_EQ(status.notices, 0u);

        // Peeled on their own, wrapped again as they were, and peeled back.
        const Bytes layer(archive_bytes(*h), archive_bytes(*h) + archive_size(*h));
        Bytes peeled;
        std::vector<Carrier> carriers;
        ASSERT_EQ(carrier_peel(w.bytes.data(), w.bytes.size(), peeled, &carriers), OpenError::none);
        EXPECT_EQ(peeled, layer);
        ASSERT_EQ(carriers.size(), status.carriers.size());
        ASSERT_TRUE(carrier_wrap(carriers, {}, peeled));
        Bytes again;
        ASSERT_EQ(carrier_peel(peeled.data(), peeled.size(), again), OpenError::none);
        EXPECT_EQ(again, layer);

        // From disk the banner and IMD5 layers stay views of the file.
        ASSERT_TRUE(fixture::write_file(dir.sub("wrapped"), w.bytes));
        h = archive_open(dir.sub("wrapped").c_str(), &status);
        ASSERT_TRUE(h) << static_cast<int>(status.error);
        EXPECT_EQ(entries(h.get()), bare);
        EXPECT_EQ(status.notices, 0u);
    }
}

TEST(Carrier, NestingIsLimitedToEightLayers) {
    Bytes bytes = inner_archive();
    for (int i = 0; i < 8; ++i) bytes = imd5(bytes);
    OpenStatus status;
    EXPECT_TRUE(open_bytes(bytes, &status));
    EXPECT_FALSE(open_bytes(imd5(bytes), &status));
    EXPECT_EQ(status.error, OpenError::corrupt_carrier);
}

Bytes cut(Bytes b, std::size_t drop) {
    b.resize(b.size() - drop);
    return b;
}

Bytes with_byte(Bytes b, std::size_t at, std::uint8_t value) {
    b.at(at) = value;
    return b;
}

TEST(Carrier, DamagedCarriersAreRefusedAndNothingIsWritten) {
    const Bytes u8 = inner_archive();
    const auto size = static_cast<std::uint32_t>(u8.size());
    std::vector<fixture::Token> before_start = {fixture::lit('U'), fixture::ref(2, 3)};
    // A U8 magic and 200 bytes decode, so the probe takes it for a stream;
    // then a reference reaches before the start.
    Bytes head = {0x55, 0xAA, 0x38, 0x2D};
    head.resize(204, 0);
    std::vector<fixture::Token> late = fixture::literals(head);
    late.push_back(fixture::ref(1000, 3));
    Bytes bad_bare = {0x11, 207, 0, 0};
    const Bytes late_stream = fixture::encode_stream(late, Coding::lz11);
    bad_bare.insert(bad_bare.end(), late_stream.begin(), late_stream.end());
    const std::vector<Wrapping> damaged = {
        {"truncated yaz0", cut(yaz0(u8), 10)},
        {"yaz0 header alone, cut short", Bytes{'Y', 'a', 'z', '0', 0, 0, 1, 0}},
        {"truncated lz10 in imd5", imd5(cut(lz10(u8), 1))},
        {"truncated lz11", cut(lz11(u8), 3)},
        {"yaz0 reference before the start", fixture::compressed_file(before_start, Coding::yaz0, 4)},
        {"lz10 reference before the start", fixture::compressed_file(before_start, Coding::lz10, 4)},
        {"yaz0 declaring 4 GiB", with_byte(yaz0(u8), 4, 0xFF)},
        {"lz10 declaring 16 MiB", with_byte(lz10(u8), 7, 0xFF)},
        {"unknown lz77 type", with_byte(lz10(u8), 4, 0x30)},
        {"imd5 length past the end", cut(imd5(u8), 1)},
        {"imd5 header cut short", Bytes{'I', 'M', 'D', '5', 0, 0, 0, 0}},
        {"imet with no archive behind it", imet80(Bytes(size, 0xAB))},
        {"imet header cut short", cut(imet40(Bytes{}), 1)},
        {"truncated bare lz11", cut(bare(u8), 20)},
        {"bare lz11 reference before the start past its first bytes", bad_bare},
    };
    fixture::TempDir dir;
    for (const Wrapping& w : damaged) {
        SCOPED_TRACE(w.name);
        OpenStatus status;
        EXPECT_FALSE(open_bytes(w.bytes, &status));
        EXPECT_EQ(status.error, OpenError::corrupt_carrier);

        ASSERT_TRUE(fixture::write_file(dir.sub("damaged"), w.bytes));
        fixture::TempDir out;
        const auto r = fixture::run_dravik({dir.sub("damaged")}, out.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "- invalid archive.\n");
        EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
        EXPECT_TRUE(fixture::snapshot(out.path).empty());
    }
}

TEST(Carrier, SoundCarrierOfSomethingElseIsNotAnArchive) {
    OpenStatus status;
    const Bytes text = fixture::sample_data(3000, 1);
    // Files that start with an LZ77 coding byte but hold no archive: a bare
    // stream of something else, and bytes that are no stream at all.
    Bytes coded = text;
    coded[0] = 0x10;
    for (const Bytes& b : {yaz0(text), imd5(text), imd5(lz11(Bytes{})), bare(text), coded,
                           Bytes{0x11, 0, 0, 0}}) {
        EXPECT_FALSE(open_bytes(b, &status));
        EXPECT_EQ(status.error, OpenError::not_an_archive);
    }
}

TEST(Carrier, ChecksumMismatchesAreWarningsOnly) {
    const Bytes u8 = inner_archive();
    fixture::TempDir dir;
    ASSERT_TRUE(fixture::write_file(dir.sub("bare.arc"), u8));
    fixture::TempDir bare_out;
    const auto bare = fixture::run_dravik({dir.sub("bare.arc")}, bare_out.path);

    const std::string imd5_warning = "an IMD5 checksum does not match";
    const std::string imet_warning = "the banner header's checksum does not match";
    const struct {
        Bytes bytes;
        std::uint32_t notices;
    } cases[] = {
        {fixture::imd5_wrap(lz10(u8), false), kNoticeImd5Mismatch},
        {fixture::imet_wrap(u8, 0x80, false), kNoticeImetMismatch},
        {fixture::imet_wrap(fixture::imd5_wrap(u8, false), 0x40, false),
         kNoticeImd5Mismatch | kNoticeImetMismatch},
    };
    for (const auto& c : cases) {
        OpenStatus status;
        EXPECT_TRUE(open_bytes(c.bytes, &status));
        EXPECT_EQ(status.notices, c.notices);

        ASSERT_TRUE(fixture::write_file(dir.sub("wrapped"), c.bytes));
        fixture::TempDir out;
        const auto r = fixture::run_dravik({dir.sub("wrapped")}, out.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, bare.out);
        EXPECT_EQ(r.err.find(imd5_warning) != std::string::npos, (c.notices & kNoticeImd5Mismatch) != 0);
        EXPECT_EQ(r.err.find(imet_warning) != std::string::npos, (c.notices & kNoticeImetMismatch) != 0);
        EXPECT_EQ(fixture::snapshot(out.path), fixture::snapshot(bare_out.path));
    }
}

}  // namespace
}  // namespace dravik
