// Packing: the written archive reads back to the folder and unpacks to the
// same tree; laid out like an original, it gives the original's U8 bytes,
// and edits change only what they must; what cannot be packed is refused
// with nothing written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "dravik/archive.h"
#include "test_support.h"
#include "archive_builder.h"

namespace {

using fixture::run_dravik;

using fixture::u8_layer;

namespace fs = std::filesystem;

void put(const std::string& path, const std::string& data) {
    std::ofstream(fs::u8path(path), std::ios::binary) << data;
}

// Not UTF-8 where names are bytes; Windows names are Unicode, so there it is
// a name that is not ASCII.
const std::string kOddName = fixture::kNamesAreBytes ? "n\xC3\xA9.tpl" : "n\xE9.tpl";

// A folder like a modder's: nested folders, mixed case, an empty file, an
// empty folder, and a name with a byte that is not UTF-8.
void make_tree(const std::string& root) {
    for (const char* d : {"/arc", "/arc/anim", "/arc/Blyt", "/arc/timg", "/arc/empty"})
        fs::create_directory(fs::u8path(root + d));
    put(root + "/arc/anim/b.brlan", std::string(100, 'b'));
    put(root + "/arc/anim/A.brlan", "first");
    put(root + "/arc/Blyt/x.brlyt", std::string(5000, 'x'));
    put(root + "/arc/timg/zero", "");
    put(root + "/arc/timg/" + kOddName, std::string(33, 'n'));
    put(root + "/arc/top.bin", "top");
}

TEST(Pack, WrittenArchiveReadsBackInTheDocumentedOrderAndUnpacksToTheSameTree) {
    struct Case {
        std::vector<std::string> options;
        std::string name;
        std::uint32_t align;
    };
    const Case cases[] = {{{}, "out.arc", 32}, {{"--align", "1"}, "out.arc", 1},
                          {{"--align", "4096"}, "out.arc", 4096}, {{}, "out.szs", 32},
                          {{"--no-compress"}, "out.szs", 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + (c.options.empty() ? "" : c.options[0]));
        fixture::TempDir tree, out, back;
        make_tree(tree.path);
        std::vector<std::string> args{"-c"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(out.sub(c.name));
        args.push_back(tree.path);
        const auto r = run_dravik(args, out.path);
        ASSERT_EQ(r.status, 0) << r.err;

        dravik::OpenStatus status;
        auto h = dravik::archive_open(out.sub(c.name).c_str(), &status);
        ASSERT_TRUE(h);
        EXPECT_EQ(status.carriers.size(), c.name == "out.szs" && c.options.empty() ? 1 : 0);
        std::vector<std::string> order;
        dravik::Entry e;
        for (std::uint32_t i = 1; dravik::archive_entry(*h, i, &e); ++i) {
            order.push_back(std::string(e.is_directory ? "d " : "f ") + e.name);
            EXPECT_TRUE(e.is_directory || e.data_size == 0 || e.data_offset % c.align == 0) << e.name;
        }
        const std::vector<std::string> expected{
            "d arc", "f top.bin", "d anim", "f A.brlan", "f b.brlan", "d Blyt", "f x.brlyt",
            "d empty", "d timg", "f " + kOddName, "f zero"};
        EXPECT_EQ(order, expected);
        EXPECT_EQ(run_dravik({"-C", back.path, out.sub(c.name)}, out.path).status, 0);
        EXPECT_EQ(fixture::snapshot(back.path), fixture::snapshot(tree.path));
        // The same tree always gives the same bytes.
        EXPECT_EQ(run_dravik({"-c", "--force", "-q", out.sub("again"), tree.path}, out.path).status, 0);
        if (c.options.empty() && c.name == "out.arc") {
            EXPECT_EQ(fixture::read_file(out.sub("again")), fixture::read_file(out.sub(c.name)));
        }
    }
}

TEST(Pack, LikeEveryCorpusArchiveGivesItsU8LayerBack) {
    const std::string corpus = DRAVIK_CORPUS_DIR;
    const std::vector<std::string> names = fixture::corpus_archives();
    if (names.empty()) GTEST_SKIP() << "no corpus at " << corpus;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string original = corpus + "/" + name;
        fixture::TempDir tree, out;
        ASSERT_EQ(run_dravik({"-q", "-C", tree.path, original}, out.path).status, 0);
        const auto r = run_dravik({"-c", "-q", "--like", original, out.sub("new"), tree.path}, out.path);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(u8_layer(out.sub("new")) == u8_layer(original));
    }
}

// Edits after unpacking: the new archive unpacks to the edited tree, data
// before the first change keeps its place, new and moved data keeps the
// original's alignment, and a deletion is told.
TEST(Pack, LikeFollowsEditsDeletionsAndAdditions) {
    fixture::TempDir tree, out;
    make_tree(tree.path);
    ASSERT_EQ(run_dravik({"-c", "-q", "--align", "64", out.sub("orig.arc"), tree.path}, out.path).status, 0);
    const std::function<void()> edits[] = {
        [&] { put(tree.sub("arc/Blyt/x.brlyt"), std::string(7777, 'y')); },
        [&] {
            fs::remove(tree.sub("arc/anim/b.brlan"));
            put(tree.sub("arc/timg/new.bin"), "added");
            fs::create_directory(tree.sub("arc/newdir"));
            put(tree.sub("arc/newdir/inner"), "inside");
        }};
    for (int step = 0; step < 2; ++step) {
        SCOPED_TRACE(step);
        edits[step]();
        fixture::TempDir back;
        const auto r = run_dravik(
            {"-c", "-q", "--force", "--like", out.sub("orig.arc"), out.sub("new.arc"), tree.path}, out.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.find("arc/anim/b.brlan: not in the folder; dropped") != std::string::npos, step == 1)
            << r.err;
        EXPECT_EQ(run_dravik({"-C", back.path, out.sub("new.arc")}, out.path).status, 0);
        EXPECT_EQ(fixture::snapshot(back.path), fixture::snapshot(tree.path));

        auto a = dravik::archive_open(out.sub("orig.arc").c_str());
        auto b = dravik::archive_open(out.sub("new.arc").c_str());
        ASSERT_TRUE(a && b);
        dravik::Entry x, y;
        for (std::uint32_t i = 1; dravik::archive_entry(*b, i, &y); ++i) {
            EXPECT_TRUE(y.is_directory || y.data_size == 0 || y.data_offset % 64 == 0) << y.name;
            // Same nodes: everything up to the changed file stays in place.
            if (step == 0 && i <= 6 && dravik::archive_entry(*a, i, &x)) {
                EXPECT_EQ(x.stored.offset, y.stored.offset) << y.name;
            }
        }
    }
}

// Two entries sharing one block keep sharing it while both are unchanged;
// editing one in place (same size) gives it a block of its own and leaves
// the other's bytes alone.
TEST(Pack, LikeKeepsSharedBlocksAndNeverOverwritesThem) {
    fixture::TempDir tree, out;
    fixture::RawArchive raw;
    raw.nodes = {{1, 0, 0, 4}, {1, 1, 0, 4}, {0, 5, 0x60, 8}, {0, 9, 0x60, 8}};
    raw.strings = std::string("\0arc\0one\0two\0", 13);
    raw.data = {{0x60, "SHAREDxx"}};
    ASSERT_TRUE(fixture::write_file(out.sub("orig.arc"), fixture::serialize(raw)));
    ASSERT_EQ(run_dravik({"-q", "-C", tree.path, out.sub("orig.arc")}, out.path).status, 0);
    for (const std::string two : {"SHAREDxx", "CHANGED!"}) {
        SCOPED_TRACE(two);
        put(tree.sub("arc/two"), two);
        fixture::TempDir back;
        ASSERT_EQ(run_dravik({"-c", "-q", "--force", "--like", out.sub("orig.arc"), out.sub("new.arc"),
                              tree.path}, out.path).status, 0);
        EXPECT_EQ(run_dravik({"-q", "-C", back.path, out.sub("new.arc")}, out.path).status, 0);
        EXPECT_EQ(fixture::snapshot(back.path), fixture::snapshot(tree.path));
        auto h = dravik::archive_open(out.sub("new.arc").c_str());
        ASSERT_TRUE(h);
        dravik::Entry one, second;
        dravik::archive_entry(*h, 2, &one);
        dravik::archive_entry(*h, 3, &second);
        EXPECT_EQ(one.data_offset, 0x60u);
        EXPECT_EQ(second.data_offset == one.data_offset, two == "SHAREDxx");
    }
}

TEST(Pack, RefusesWhatCannotBePackedAndNeverPacksItsOwnOutput) {
    fixture::TempDir out;
    struct Case {
        std::string what;
        std::function<bool(const std::string&)> spoil;  // false: cannot exist on this platform
        std::string message;
    };
    const Case cases[] = {
        {"symlink", [](const std::string& d) { return fixture::make_symlink("/etc/passwd", d + "/arc/link"); },
         "arc/link: is a symbolic link, not followed; not packed"},
        {"fifo", [](const std::string& d) { return fixture::make_fifo(d + "/arc/pipe"); },
         "arc/pipe: is a FIFO, not packed"},
        {"existing output", [](const std::string&) { return true; }, "old.arc: exists; --force replaces it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::TempDir tree;
        make_tree(tree.path);
        if (!c.spoil(tree.path)) {
            ASSERT_TRUE(fixture::kNoSymlinks) << "cannot make the " << c.what;
            continue;  // Windows has no POSIX links or FIFOs
        }
        put(out.sub("old.arc"), "old");
        std::vector<std::string> args{"-c", out.sub("old.arc"), tree.path};
        if (c.what != "existing output") args.insert(args.begin() + 1, "--force");
        const auto r = run_dravik(args, out.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(fixture::read_file(out.sub("old.arc")), "old");
        EXPECT_EQ(fixture::snapshot(out.path).size(), 1u);  // no temporary file left
    }
    // ARCHIVE inside DIR, written twice: never packed into itself.
    fixture::TempDir tree;
    make_tree(tree.path);
    for (int round = 0; round < 2; ++round)
        ASSERT_EQ(run_dravik({"-c", "-q", "--force", tree.sub("arc/self.arc"), tree.path}, out.path).status, 0);
    auto h = dravik::archive_open(tree.sub("arc/self.arc").c_str());
    ASSERT_TRUE(h);
    dravik::Entry e;
    for (std::uint32_t i = 1; dravik::archive_entry(*h, i, &e); ++i)
        EXPECT_STRNE(e.name, "self.arc");
    EXPECT_EQ(dravik::archive_node_count(*h), 12u);
}

TEST(Pack, CompressAndDecompressRoundTripAndRefuseToReplaceTheirInput) {
    fixture::TempDir dir;
    std::string data;
    for (int i = 0; i < 20000; ++i) data += static_cast<char>(i * i % 251);
    put(dir.sub("in"), data);
    EXPECT_EQ(run_dravik({"--compress", "in", "in.szs"}, dir.path).status, 0);
    EXPECT_EQ(fixture::read_file(dir.sub("in.szs")).substr(0, 4), "Yaz0");
    EXPECT_EQ(run_dravik({"--decompress", "in.szs", "out"}, dir.path).status, 0);
    EXPECT_EQ(fixture::read_file(dir.sub("out")), data);
    const auto same = run_dravik({"--force", "--compress", "in", "in"}, dir.path);
    EXPECT_EQ(same.status, 1);
    EXPECT_NE(same.err.find("is the input file"), std::string::npos);
    EXPECT_EQ(run_dravik({"--decompress", "in", "x"}, dir.path).status, 1);  // nothing to remove
    EXPECT_EQ(run_dravik({"--compress", "in", "out"}, dir.path).status, 1);  // exists
    EXPECT_EQ(fixture::read_file(dir.sub("out")), data);
    EXPECT_FALSE(fixture::exists(dir.sub("x")));
}

}  // namespace
