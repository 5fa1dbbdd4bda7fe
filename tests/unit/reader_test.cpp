// The reader, called directly on archives built in memory.
#include <gtest/gtest.h>

#include <cstring>

#include "lib/u8/u8_read.h"
#include "test_support.h"
#include "archive_builder.h"

namespace dravik {
namespace {

using fixture::Builder;
using fixture::RawArchive;
using fixture::RawNode;

std::unique_ptr<ArchiveHandle> open_bytes(const std::vector<std::uint8_t>& bytes,
                                          OpenStatus* status = nullptr) {
    return archive_open_bytes(bytes.data(), bytes.size(), status);
}

// Root, a directory "d" and two files in it.
Builder small_tree() {
    Builder b;
    b.dir("d");
    b.file("one", "1111");
    b.file("two", "22");
    b.end();
    return b;
}

std::vector<std::string> walk_names(const ArchiveHandle* h) {
    std::vector<std::string> names;
    ArchiveEntry e;
    for (std::uint32_t i = archive_first(h, &e); i != 0; i = archive_next(h, &e, i))
        names.push_back(e.name);
    return names;
}

TEST(Reader, WalksEveryEntryInTableOrder) {
    auto h = open_bytes(small_tree().build());
    ASSERT_TRUE(h);
    EXPECT_EQ(h->node_count, 4u);
    EXPECT_EQ(walk_names(h.get()), (std::vector<std::string>{"d", "one", "two"}));

    ArchiveEntry e;
    EXPECT_EQ(archive_next(h.get(), &e, 1), 2u);
    EXPECT_EQ(e.is_directory, 0);
    EXPECT_EQ(e.size, 4u);
    EXPECT_EQ(e.offset % 32, 0u);  // the writer aligns data
    EXPECT_EQ(archive_next(h.get(), &e, 2), 3u);  // N - 2 gives N - 1
    EXPECT_EQ(archive_next(h.get(), &e, 3), 0u);  // N - 1 ends the walk
    EXPECT_EQ(archive_next(h.get(), &e, 0xFFFFFFFFu), 0u);  // no wrap to node 0
}

TEST(Reader, FirstEntryShowsZeroOffsetAndSizeButNodeKeepsItsWords) {
    Builder b;
    b.file("first", "payload");
    b.file("second", "x");
    auto h = open_bytes(b.build());
    ASSERT_TRUE(h);
    ArchiveEntry e;
    ASSERT_EQ(archive_first(h.get(), &e), 1u);
    EXPECT_STREQ(e.name, "first");
    EXPECT_EQ(e.offset, 0u);
    EXPECT_EQ(e.size, 0u);
    ASSERT_EQ(archive_next(h.get(), &e, 0), 1u);  // the same node, as stored
    EXPECT_NE(e.offset, 0u);
    EXPECT_EQ(e.size, 7u);
    ASSERT_EQ(archive_node(h.get(), &e, 1), 1u);
    EXPECT_EQ(e.size, 7u);
}

TEST(Reader, CursorRefusalsLeaveTheRecordAlone) {
    auto h = open_bytes(small_tree().build());
    ASSERT_TRUE(h);
    ArchiveEntry e;
    e.name = "sentinel";
    e.size = 77;
    EXPECT_EQ(archive_first(nullptr, &e), 0u);
    EXPECT_EQ(archive_first(h.get(), nullptr), 0u);
    EXPECT_EQ(archive_next(nullptr, &e, 1), 0u);
    EXPECT_EQ(archive_next(h.get(), nullptr, 1), 0u);
    EXPECT_EQ(archive_next(h.get(), &e, 3), 0u);
    EXPECT_STREQ(e.name, "sentinel");
    EXPECT_EQ(e.size, 77u);
    std::unique_ptr<ArchiveHandle> none;
    archive_close(none);  // accepts an empty handle
    archive_close(h);
    EXPECT_FALSE(h);
}

TEST(Reader, TypeByteAndNameOffsetShareOneWord) {
    RawArchive raw = small_tree().raw();
    for (std::uint8_t type : {0x01, 0x02, 0x80, 0xFF}) {
        raw.nodes[1].type = type;
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h);
        ArchiveEntry e;
        ASSERT_EQ(archive_first(h.get(), &e), 1u);
        EXPECT_EQ(e.is_directory, 1) << int(type);
        EXPECT_STREQ(e.name, "d") << "the type byte leaked into the name offset";
    }
    raw.nodes[1].type = 0;
    auto h = open_bytes(fixture::serialize(raw));
    ArchiveEntry e;
    ASSERT_EQ(archive_first(h.get(), &e), 1u);
    EXPECT_EQ(e.is_directory, 0);
}

TEST(Reader, HeaderTailIsIgnored) {
    RawArchive raw = small_tree().raw();
    raw.header_rest = std::string(20, '\xA5');
    auto h = open_bytes(fixture::serialize(raw));
    ASSERT_TRUE(h);
    EXPECT_EQ(walk_names(h.get()).size(), 3u);
}

TEST(Reader, RefusesWhatIsNotAnArchive) {
    const std::vector<std::uint8_t> good = small_tree().build();
    OpenStatus status;
    EXPECT_FALSE(open_bytes(std::vector<std::uint8_t>(good.begin(), good.begin() + 31), &status));
    EXPECT_EQ(status.failure, OpenFailure::not_an_archive);
    for (int i = 0; i < 4; ++i) {
        std::vector<std::uint8_t> bad = good;
        bad[i] ^= 0x01;
        EXPECT_FALSE(open_bytes(bad)) << "magic byte " << i;
    }
    EXPECT_FALSE(open_bytes({}));
}

TEST(Reader, TableSizeAndOffsetBounds) {
    RawArchive raw = small_tree().raw();
    OpenStatus status;
    for (std::uint32_t size : {0u, 1u, 12u}) {
        raw.table_size = size;
        EXPECT_FALSE(open_bytes(fixture::serialize(raw), &status)) << size;
        EXPECT_EQ(status.failure, OpenFailure::bad_table);
    }
    // 13 to 23 bytes open, but hold no whole second node to walk.
    for (std::uint32_t size : {13u, 23u}) {
        raw.table_size = size;
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h) << size;
        ArchiveEntry e;
        EXPECT_EQ(archive_first(h.get(), &e), 0u);
    }
    raw.table_size = 0xFFFFFFFFu;
    EXPECT_FALSE(open_bytes(fixture::serialize(raw), &status));
    EXPECT_EQ(status.failure, OpenFailure::bad_table);

    raw.table_size.reset();
    const std::vector<std::uint8_t> bytes = fixture::serialize(raw);
    std::vector<std::uint8_t> moved = bytes;
    moved[4] = 0x00, moved[5] = 0x01, moved[6] = 0x00, moved[7] = 0x00;  // past the end
    EXPECT_FALSE(open_bytes(moved));
    moved[4] = 0x80, moved[5] = 0x00, moved[6] = 0x00, moved[7] = 0x20;  // past 2 GiB
    EXPECT_FALSE(open_bytes(moved));
}

TEST(Reader, NodeCountsTooSmallToWalk) {
    for (std::uint32_t count : {0u, 1u}) {
        RawArchive raw = small_tree().raw();
        raw.nodes[0].word2 = count;
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h);
        EXPECT_EQ(h->node_count, count);
        ArchiveEntry e;
        EXPECT_EQ(archive_first(h.get(), &e), 0u);
    }
    Builder b;
    b.file("only", "x");
    auto h = open_bytes(b.build());
    ASSERT_TRUE(h);
    ArchiveEntry e;
    EXPECT_EQ(archive_first(h.get(), &e), 1u);
    EXPECT_EQ(archive_next(h.get(), &e, 1), 0u);
}

// A table whose nodes or names would lie outside it is refused at open, so
// the cursor never reads outside what was loaded.
TEST(Reader, RefusesTablesThatPointOutsideThemselves) {
    OpenStatus status;
    {
        RawArchive raw = small_tree().raw();
        raw.nodes[0].word2 = 0xFFFFFFFFu;
        EXPECT_FALSE(open_bytes(fixture::serialize(raw), &status));
        EXPECT_EQ(status.failure, OpenFailure::corrupt_table);
    }
    {
        RawArchive raw = small_tree().raw();
        // Four nodes and 11 bytes of names: a fifth node would end past the table.
        raw.nodes[0].word2 = 5;
        EXPECT_FALSE(open_bytes(fixture::serialize(raw)));
    }
    {
        RawArchive raw = small_tree().raw();
        raw.nodes[2].name_offset = 0xFFFFFF;
        EXPECT_FALSE(open_bytes(fixture::serialize(raw), &status));
        EXPECT_EQ(status.failure, OpenFailure::corrupt_table);
    }
    {
        RawArchive raw = small_tree().raw();
        raw.strings.pop_back();  // the last name loses its NUL
        EXPECT_FALSE(open_bytes(fixture::serialize(raw), &status));
        EXPECT_EQ(status.failure, OpenFailure::corrupt_table);
    }
    {
        RawArchive raw = small_tree().raw();
        raw.nodes[3].name_offset = static_cast<std::uint32_t>(raw.strings.size());  // one past
        EXPECT_FALSE(open_bytes(fixture::serialize(raw)));
        raw.nodes[3].name_offset = static_cast<std::uint32_t>(raw.strings.size() - 1);  // "" at the end
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h);
        ArchiveEntry e;
        ASSERT_EQ(archive_next(h.get(), &e, 2), 3u);
        EXPECT_STREQ(e.name, "");
    }
    {
        // A broken node table is harmless while the walk cannot start.
        RawArchive raw = small_tree().raw();
        raw.nodes[0].word2 = 0xFFFFFFFFu;
        raw.table_size = 20;
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h);
        ArchiveEntry e;
        EXPECT_EQ(archive_first(h.get(), &e), 0u);
    }
}

TEST(Reader, OpensFromAPathAndKnowsTheFile) {
    fixture::TempDir dir;
    const std::string path = dir.sub("a.arc");
    ASSERT_TRUE(fixture::write_file(path, small_tree().build()));
    OpenStatus status;
    auto h = archive_open(path.c_str(), &status);
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->stream.identity.known);
    char buf[4];
    EXPECT_TRUE(source_read(h->stream, 0, buf, 4));
    EXPECT_EQ(std::memcmp(buf, "U\xAA" "8-", 4), 0);
    EXPECT_FALSE(source_read(h->stream, h->stream.size - 2, buf, 4));

    EXPECT_FALSE(archive_open(dir.sub("missing.arc").c_str(), &status));
    EXPECT_EQ(status.failure, OpenFailure::cannot_open);
    EXPECT_FALSE(archive_open(dir.path.c_str(), &status));  // a directory
    EXPECT_FALSE(archive_open(nullptr, &status));
}

}  // namespace
}  // namespace dravik
