// The reader, called directly on archives built in memory.
#include <gtest/gtest.h>

#include <cstring>

#include "dravik/archive.h"
#include "lib/u8/u8_read.h"
#include "test_support.h"
#include "archive_builder.h"

namespace dravik {
namespace {

using fixture::Builder;
using fixture::RawArchive;
using fixture::RawNode;

ArchivePtr open_bytes(const std::vector<std::uint8_t>& bytes, OpenStatus* status = nullptr) {
    return archive_open_memory(bytes.data(), bytes.size(), status);
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

std::vector<std::string> walk_names(const Archive& a) {
    std::vector<std::string> names;
    Entry e;
    for (std::uint32_t i = 1; archive_entry(a, i, &e); ++i) names.push_back(e.name);
    return names;
}

TEST(Reader, WalksEveryEntryInTableOrder) {
    auto h = open_bytes(small_tree().build());
    ASSERT_TRUE(h);
    EXPECT_EQ(archive_node_count(*h), 4u);
    EXPECT_EQ(walk_names(*h), (std::vector<std::string>{"d", "one", "two"}));

    Entry e;
    ASSERT_TRUE(archive_entry(*h, 2, &e));
    EXPECT_FALSE(e.is_directory);
    EXPECT_EQ(e.data_size, 4u);
    EXPECT_EQ(e.data_offset % 32, 0u);  // the writer aligns data
    char data[5] = {};
    EXPECT_TRUE(archive_read(*h, e, 0, data, 4));
    EXPECT_STREQ(data, "1111");
    EXPECT_TRUE(archive_read(*h, e, 3, data, 1));
    EXPECT_FALSE(archive_read(*h, e, 3, data, 2));  // past the entry's end
    EXPECT_TRUE(archive_entry(*h, 3, &e));          // N - 1 is the last
    EXPECT_FALSE(archive_entry(*h, 4, &e));
    EXPECT_FALSE(archive_entry(*h, 0xFFFFFFFFu, &e));
}

// The library gives node 1's words as stored; only the text listing shows
// them as 0.
TEST(Reader, EveryEntryKeepsItsStoredWordsNodeOneIncluded) {
    Builder b;
    b.file("first", "payload");
    b.file("second", "x");
    auto h = open_bytes(b.build());
    ASSERT_TRUE(h);
    Entry e;
    ASSERT_TRUE(archive_entry(*h, 1, &e));
    EXPECT_STREQ(e.name, "first");
    EXPECT_NE(e.data_offset, 0u);
    EXPECT_EQ(e.data_size, 7u);
    EXPECT_EQ(e.stored.offset, e.data_offset);
    EXPECT_EQ(e.stored.size, 7u);
    char data[8] = {};
    EXPECT_TRUE(archive_read(*h, e, 0, data, 7));
    EXPECT_STREQ(data, "payload");
    EXPECT_EQ(archive_root(*h).size, 3u);  // the node count
}

TEST(Reader, RefusalsLeaveTheRecordAlone) {
    auto h = open_bytes(small_tree().build());
    ASSERT_TRUE(h);
    Entry e;
    e.name = "sentinel";
    e.data_size = 77;
    EXPECT_FALSE(archive_entry(*h, 0, &e));
    EXPECT_FALSE(archive_entry(*h, 4, &e));
    EXPECT_FALSE(archive_entry(*h, 1, nullptr));
    EXPECT_STREQ(e.name, "sentinel");
    EXPECT_EQ(e.data_size, 77u);
}

TEST(Reader, TypeByteAndNameOffsetShareOneWord) {
    RawArchive raw = small_tree().raw();
    for (std::uint8_t type : {0x01, 0x02, 0x80, 0xFF}) {
        raw.nodes[1].type = type;
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h);
        Entry e;
        ASSERT_TRUE(archive_entry(*h, 1, &e));
        EXPECT_TRUE(e.is_directory) << int(type);
        EXPECT_EQ(e.stored.type, type);
        EXPECT_STREQ(e.name, "d") << "the type byte leaked into the name offset";
    }
    raw.nodes[1].type = 0;
    auto h = open_bytes(fixture::serialize(raw));
    Entry e;
    ASSERT_TRUE(archive_entry(*h, 1, &e));
    EXPECT_FALSE(e.is_directory);
}

TEST(Reader, HeaderTailIsIgnored) {
    RawArchive raw = small_tree().raw();
    raw.header_rest = std::string(20, '\xA5');
    auto h = open_bytes(fixture::serialize(raw));
    ASSERT_TRUE(h);
    EXPECT_EQ(walk_names(*h).size(), 3u);
}

TEST(Reader, RefusesWhatIsNotAnArchive) {
    const std::vector<std::uint8_t> good = small_tree().build();
    OpenStatus status;
    EXPECT_FALSE(open_bytes(std::vector<std::uint8_t>(good.begin(), good.begin() + 31), &status));
    EXPECT_EQ(status.error, OpenError::not_an_archive);
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
        EXPECT_EQ(status.error, OpenError::bad_table);
    }
    // 13 to 23 bytes open, but hold no whole second node to walk.
    for (std::uint32_t size : {13u, 23u}) {
        raw.table_size = size;
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h) << size;
        Entry e;
        EXPECT_FALSE(archive_entry(*h, 1, &e));
    }
    raw.table_size = 0xFFFFFFFFu;
    EXPECT_FALSE(open_bytes(fixture::serialize(raw), &status));
    EXPECT_EQ(status.error, OpenError::bad_table);

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
        EXPECT_EQ(archive_node_count(*h), count);
        Entry e;
        EXPECT_FALSE(archive_entry(*h, 1, &e));
    }
    Builder b;
    b.file("only", "x");
    auto h = open_bytes(b.build());
    ASSERT_TRUE(h);
    Entry e;
    EXPECT_TRUE(archive_entry(*h, 1, &e));
    EXPECT_FALSE(archive_entry(*h, 2, &e));
}

// A table whose nodes or names would lie outside it is refused at open, so
// the cursor never reads outside what was loaded.
TEST(Reader, RefusesTablesThatPointOutsideThemselves) {
    OpenStatus status;
    {
        RawArchive raw = small_tree().raw();
        raw.nodes[0].word2 = 0xFFFFFFFFu;
        EXPECT_FALSE(open_bytes(fixture::serialize(raw), &status));
        EXPECT_EQ(status.error, OpenError::corrupt_table);
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
        EXPECT_EQ(status.error, OpenError::corrupt_table);
    }
    {
        RawArchive raw = small_tree().raw();
        raw.strings.pop_back();  // the last name loses its NUL
        EXPECT_FALSE(open_bytes(fixture::serialize(raw), &status));
        EXPECT_EQ(status.error, OpenError::corrupt_table);
    }
    {
        RawArchive raw = small_tree().raw();
        raw.nodes[3].name_offset = static_cast<std::uint32_t>(raw.strings.size());  // one past
        EXPECT_FALSE(open_bytes(fixture::serialize(raw)));
        raw.nodes[3].name_offset = static_cast<std::uint32_t>(raw.strings.size() - 1);  // "" at the end
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h);
        Entry e;
        ASSERT_TRUE(archive_entry(*h, 3, &e));
        EXPECT_STREQ(e.name, "");
    }
    {
        // A broken node table is harmless while the walk cannot start.
        RawArchive raw = small_tree().raw();
        raw.nodes[0].word2 = 0xFFFFFFFFu;
        raw.table_size = 20;
        auto h = open_bytes(fixture::serialize(raw));
        ASSERT_TRUE(h);
        Entry e;
        EXPECT_FALSE(archive_entry(*h, 1, &e));
    }
}

// Where each entry lands: "path depth" per entry, "-" for an entry that
// cannot be placed.
std::vector<std::string> places(const std::vector<std::uint8_t>& bytes, const NameRule& rule = {},
                                std::uint32_t not_entered = 0) {
    auto h = open_bytes(bytes);
    std::vector<std::string> out;
    if (!h) return out;
    Placement placement(*h, rule);
    Entry e;
    for (std::uint32_t i = 1; archive_entry(*h, i, &e); ++i) {
        const Place& p = placement.place(e);
        out.push_back(p.placeable ? std::string(p.path) + " " + std::to_string(p.depth) : "-");
        if (i == not_entered) placement.not_entered();
    }
    return out;
}

TEST(Placement, OneRuleForRootFoldersEndsUnsafeAndRefusedNames) {
    Builder two_roots;
    two_roots.dir("bg");
    two_roots.file("x", "1");
    two_roots.end();
    two_roots.dir("..");
    two_roots.dir("in");
    two_roots.file("y", "2");
    two_roots.end();
    two_roots.end();
    Builder refused;
    refused.dir("top");
    refused.dir("CON");
    refused.file("x.bin", "3");
    refused.end();
    refused.file("after", "4");
    refused.end();
    RawArchive clamped = refused.raw();
    clamped.nodes[2].word2 = 99;  // CON's end past its parent's: taken as the parent's
    const NameRule no_con = [](const char* name) { return std::strcmp(name, "CON") != 0; };

    struct Case {
        const char* what;
        std::vector<std::string> got, want;
    } cases[] = {
        {"one root folder is arc", places(fixture::nested_tree().build()),
         {"arc 0", "arc/a 1", "arc/a/b 2", "arc/a/b/deep.bin 3", "arc/a/a.bin 2", "arc/c 1",
          "arc/c/c.bin 2", "arc/empty 1", "after 0"}},
        {"several keep their names, an unsafe one is arc", places(two_roots.build()),
         {"bg 0", "bg/x 1", "arc 0", "arc/in 1", "arc/in/y 2"}},
        {"a refused folder's entries land a level up", places(refused.build(), no_con),
         {"arc 0", "-", "arc/x.bin 1", "arc/after 1"}},
        {"so do those of a folder not entered", places(refused.build(), {}, 2),
         {"arc 0", "arc/CON 1", "arc/x.bin 1", "arc/after 1"}},
        {"an end past the parent's is the parent's", places(fixture::serialize(clamped)),
         {"arc 0", "arc/CON 1", "arc/CON/x.bin 2", "arc/CON/after 2"}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(Reader, OpensFromAPathAndKnowsTheFile) {
    fixture::TempDir dir;
    const std::string path = dir.sub("a.arc");
    ASSERT_TRUE(fixture::write_file(path, small_tree().build()));
    OpenStatus status;
    auto h = archive_open(path.c_str(), &status);
    ASSERT_TRUE(h);
    EXPECT_TRUE(archive_source(*h).identity.known);
    EXPECT_EQ(archive_bytes(*h), nullptr);  // read from the file, not held
    char buf[4];
    EXPECT_TRUE(archive_read_bytes(*h, 0, buf, 4));
    EXPECT_EQ(std::memcmp(buf, "U\xAA" "8-", 4), 0);
    EXPECT_FALSE(archive_read_bytes(*h, archive_size(*h) - 2, buf, 4));

    // The same bytes borrowed, and through a caller's source, read alike.
    const std::vector<std::uint8_t> bytes = small_tree().build();
    auto borrowed = archive_open_borrowed(bytes.data(), bytes.size());
    ASSERT_TRUE(borrowed);
    EXPECT_EQ(archive_bytes(*borrowed), bytes.data());
    auto sourced = archive_open_source(
        [&bytes](std::uint64_t at, std::uint8_t* out, std::size_t n) {
            if (at > bytes.size() || n > bytes.size() - at) return false;
            std::memcpy(out, bytes.data() + at, n);
            return true;
        },
        bytes.size());
    ASSERT_TRUE(sourced);
    EXPECT_EQ(walk_names(*sourced), walk_names(*borrowed));

    EXPECT_FALSE(archive_open(dir.sub("missing.arc").c_str(), &status));
    EXPECT_EQ(status.error, OpenError::cannot_open);
    EXPECT_FALSE(archive_open(dir.path.c_str(), &status));  // a directory
    EXPECT_FALSE(archive_open(nullptr, &status));
}

}  // namespace
}  // namespace dravik
