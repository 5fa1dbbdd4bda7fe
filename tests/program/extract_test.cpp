// Unpacking, through the built program: where every entry lands, what
// happens to what was already on disk, and that nothing escapes the folder
// the run started in.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "test_support.h"
#include "archive_builder.h"

namespace {

using fixture::Builder;
using fixture::RawArchive;
using fixture::read_file;
using fixture::run_dravik;
using fixture::Sandbox;
using fixture::Tree;

using fixture::digest;

std::size_t count_lines(const std::string& s) { return std::count(s.begin(), s.end(), '\n'); }

TEST(Extract, NestsSiblingsAndClosesSeveralLevelsAtOnce) {
    Builder b;
    b.dir("top");  // node 1: always "arc"
    b.dir("a");
    b.dir("b");
    b.file("deep.bin", "deep");
    b.end();  // b and a end together
    b.end();
    b.dir("c");  // a sibling of a
    b.file("c.bin", "cc");
    b.end();
    b.file("in_arc.bin", "arc level");
    b.end();
    b.file("root.bin", "root level");  // after the whole subtree
    Sandbox box;
    auto r = box.run(b.build());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"},
                                  {"arc/a", "d"},
                                  {"arc/a/b", "d"},
                                  {"arc/a/b/deep.bin", digest("deep")},
                                  {"arc/c", "d"},
                                  {"arc/c/c.bin", digest("cc")},
                                  {"arc/in_arc.bin", digest("arc level")},
                                  {"root.bin", digest("root level")}}));
}

TEST(Extract, ReadsDataAtItsOffsetWhateverTheOrderAndGaps) {
    Builder b;
    b.dir("d");
    for (int i = 0; i < 6; ++i) b.file("f" + std::to_string(i), std::string(i * 37 + 1, char('a' + i)));
    b.end();
    for (bool reverse : {false, true}) {
        Sandbox box;
        fixture::BuildOptions options;
        options.align = 64;
        options.reverse_data = reverse;
        auto r = box.run(b.build(options));
        EXPECT_EQ(r.status, 0) << r.err;
        Tree t = box.result();
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(t["arc/f" + std::to_string(i)], digest(std::string(i * 37 + 1, char('a' + i))));
    }
}

TEST(Extract, FileAtNodeOneKeepsItsDataAndRootDirectoriesAreArc) {
    Builder b;
    b.file("first.bin", "node one's data");
    b.file("empty.bin", "");
    b.dir("Effect");  // parent is the root: named "arc"
    b.file("e.bin", "e");
    b.end();
    Sandbox box;
    auto r = box.run(b.build());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[-] offs[0x00000000] len[00000000] first.bin\n"), std::string::npos);
    EXPECT_EQ(box.result(), (Tree{{"first.bin", digest("node one's data")},
                                  {"empty.bin", digest("")},
                                  {"arc", "d"},
                                  {"arc/e.bin", digest("e")}}));
}

TEST(Extract, RefusesEveryNameThatCouldLeaveTheFolder) {
    const std::vector<std::string> hostile = {"", ".", "..", "../escape", "a/b", "/tmp/abs", "/"};
    for (const std::string& name : hostile) {
        SCOPED_TRACE("name '" + name + "'");
        Builder b;
        b.dir("arc");
        b.file(name, "file data");
        b.dir("sub");
        b.dir(name);  // a refused directory: its contents stay in "sub"
        b.file("inner.bin", "inner");
        b.end();
        b.end();
        b.end();
        Sandbox box;
        auto r = box.run(b.build());
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("\n- end of archive.\n"), std::string::npos);
        EXPECT_EQ(count_lines(r.err), 3u) << r.err;  // two entries and the summary
        EXPECT_NE(r.err.find("unsafe name"), std::string::npos);
        EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/sub", "d"},
                                      {"arc/sub/inner.bin", digest("inner")}}));
    }
}

TEST(Extract, NeverFollowsSymbolicLinksFoundOnDisk) {
    Builder b;
    b.dir("arc");
    b.dir("linkdir");
    b.file("through_dir.bin", "must not reach outside");
    b.end();
    b.file("linkfile", "new content");
    b.file("dangling", "also new");
    b.end();
    if (fixture::kNoSymlinks) GTEST_SKIP() << fixture::kNoSymlinks;
    Sandbox box;
    std::filesystem::create_directory(box.work + "/arc");
    ASSERT_TRUE(fixture::make_symlink("../../outside", box.work + "/arc/linkdir"));
    ASSERT_TRUE(fixture::make_symlink("../../outside/sentinel", box.work + "/arc/linkfile"));
    ASSERT_TRUE(fixture::make_symlink("../../outside/created", box.work + "/arc/dangling"));
    auto r = box.run(b.build());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dravik: linkdir: is a symbolic link"), std::string::npos) << r.err;
    // The directory link is left alone and its contents land beside it; the
    // file links are replaced by the files themselves.
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"},
                                  {"arc/linkdir", "l ../../outside"},
                                  {"arc/through_dir.bin", digest("must not reach outside")},
                                  {"arc/linkfile", digest("new content")},
                                  {"arc/dangling", digest("also new")}}));
    EXPECT_EQ(read_file(box.top.sub("outside/sentinel")), "ok");
}

TEST(Extract, DataPastTheEndFailsTheEntryAndKeepsTheOldFile) {
    Builder b;
    b.dir("arc");
    b.file("kept.bin", std::string(100, 'n'));
    b.file("fresh.bin", std::string(100, 'f'));
    b.file("after.bin", "after");
    b.end();
    RawArchive raw = b.raw();
    raw.nodes[2].word2 = 1000000;  // kept.bin claims far more than the file holds
    raw.nodes[3].word1 = 0xFFFFFFF0u;  // offset + size overflows 32 bits
    Sandbox box;
    std::filesystem::create_directory(box.work + "/arc");
    fixture::write_file(box.work + "/arc/kept.bin", {'o', 'l', 'd'});
    auto r = box.run(fixture::serialize(raw));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dravik: kept.bin: data lies past the end of the archive\n"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("dravik: fresh.bin: data lies past the end of the archive\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("2 of 4 entries could not be unpacked"), std::string::npos);
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/kept.bin", digest("old")},
                                  {"arc/after.bin", digest("after")}}));
}

TEST(Extract, FailedWritesLeaveNoPartialFileAndKeepOldOnes) {
    if (fixture::kNoLimits) GTEST_SKIP() << fixture::kNoLimits;
    Builder b;
    b.dir("arc");
    b.file("big_new.bin", std::string(64 * 1024, 'b'));
    b.file("big_old.bin", std::string(64 * 1024, 'c'));
    b.file("small.bin", "fits");
    b.end();
    Sandbox box;
    std::filesystem::create_directory(box.work + "/arc");
    fixture::write_file(box.work + "/arc/big_old.bin", {'o', 'l', 'd'});
    fixture::RunOptions limited;
    limited.file_size_limit = 16 * 1024;  // writes past 16 KiB fail with EFBIG
    auto r = box.run(b.build(), limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dravik: big_new.bin: cannot write file: File too large\n"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("dravik: big_old.bin: cannot write file"), std::string::npos);
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/big_old.bin", digest("old")},
                                  {"arc/small.bin", digest("fits")}}));
    // The failure line follows its own entry's listing line.
    const std::size_t listing = r.out.find("big_new.bin\n");
    EXPECT_NE(listing, std::string::npos);
}

TEST(Extract, SecondRunOverTheSameFolderReplacesEverythingCleanly) {
    Builder b;
    b.dir("arc");
    b.dir("sub");
    b.file("x.bin", "xx");
    b.end();
    b.file("y.bin", "");
    b.end();
    Sandbox box;
    auto first = box.run(b.build());
    ASSERT_EQ(first.status, 0) << first.err;
    fixture::write_file(box.work + "/arc/sub/x.bin", {'s', 't', 'a', 'l', 'e'});
    fixture::write_file(box.work + "/arc/mine.txt", {'m'});
    auto second = box.run(b.build());
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/sub", "d"}, {"arc/sub/x.bin", digest("xx")},
                                  {"arc/y.bin", digest("")}, {"arc/mine.txt", digest("m")}}));
}

TEST(Extract, WhatIsInTheWayIsToldAndLeftAlone) {
    Builder b;
    b.dir("arc");
    b.dir("was_file");
    b.file("inside.bin", "i");
    b.end();
    b.file("was_dir", "data");
    b.end();
    Sandbox box;
    std::filesystem::create_directory(box.work + "/arc");
    std::filesystem::create_directory(box.work + "/arc/was_dir");
    fixture::write_file(box.work + "/arc/was_file", {'f'});
    auto r = box.run(b.build());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dravik: was_file: exists and is not a directory"), std::string::npos);
    EXPECT_NE(r.err.find("dravik: was_dir: exists as a directory"), std::string::npos);
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/was_dir", "d"}, {"arc/was_file", digest("f")},
                                  {"arc/inside.bin", digest("i")}}));
}

TEST(Extract, NeverOverwritesTheArchiveBeingRead) {
    Builder b;
    b.file("input.arc", "would clobber");
    b.file("other.bin", "o");
    Sandbox box;
    const std::vector<std::uint8_t> bytes = b.build();
    fixture::write_file(box.archive, bytes);
    auto r = run_dravik({"input.arc"}, box.top.path);  // unpacking beside itself
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dravik: input.arc: would overwrite the archive being read"),
              std::string::npos) << r.err;
    const std::string now = read_file(box.archive);
    EXPECT_EQ(std::vector<std::uint8_t>(now.begin(), now.end()), bytes);
    EXPECT_EQ(read_file(box.top.sub("other.bin")), "o");
}

TEST(Extract, NonsenseDirectoryEndsAreClampedNotFollowed) {
    // arc(1) { a(2) { f(3) } b(4) { g(5) } } h(6)
    Builder b;
    b.dir("arc");
    b.dir("a");
    b.file("f", "f");
    b.end();
    b.dir("b");
    b.file("g", "g");
    b.end();
    b.end();
    b.file("h", "h");
    const RawArchive good = b.raw();
    struct Case {
        std::uint32_t node, end;
        Tree expected;
    };
    const Tree normal = {{"arc", "d"}, {"arc/a", "d"}, {"arc/a/f", digest("f")}, {"arc/b", "d"},
                         {"arc/b/g", digest("g")}, {"h", digest("h")}};
    const Tree a_holds_all = {{"arc", "d"}, {"arc/a", "d"}, {"arc/a/f", digest("f")},
                              {"arc/a/b", "d"}, {"arc/a/b/g", digest("g")}, {"h", digest("h")}};
    Tree arc_holds_all = normal;
    arc_holds_all.erase("h");
    arc_holds_all["arc/h"] = digest("h");
    Tree b_empty = normal;
    b_empty.erase("arc/b/g");
    b_empty["arc/g"] = digest("g");
    const std::vector<Case> cases = {
        {2, 0, a_holds_all},             // before the directory itself
        {2, 2, a_holds_all},             // at itself
        {2, 7, a_holds_all},             // past the parent's end (arc ends at 6)
        {2, 0xFFFFFFFFu, a_holds_all},   // past N
        {1, 0xFFFFFFFFu, arc_holds_all}, // node 1: clamped to the root's end
        {1, 1, arc_holds_all},
        {4, 5, b_empty},                 // b ends right away: g goes back to arc
        {4, 6, normal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("node " + std::to_string(c.node) + " end " + std::to_string(c.end));
        RawArchive raw = good;
        raw.nodes[c.node].word2 = c.end;
        Sandbox box;
        auto r = box.run(fixture::serialize(raw));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(box.result(), c.expected);
    }
}

}  // namespace

namespace {

// Killing the run while it writes a large file must not leave that file
// behind under its own name, where it would look complete.
TEST(Extract, AnInterruptedRunLeavesNoTruncatedFile) {
    constexpr std::uint32_t kBig = 512u << 20;
    Builder b;
    b.file("small.bin", "s");
    b.file("big.bin", "");
    RawArchive raw = b.raw();
    raw.nodes[2].word2 = kBig;  // its data is a hole in a sparse file: zeros
    Sandbox box;
    fixture::write_file(box.archive, fixture::serialize(raw));
    std::filesystem::resize_file(box.archive, raw.nodes[2].word1 + std::uintmax_t{kBig});

    for (int delay_ms : {20, 60, 150}) {
        SCOPED_TRACE(delay_ms);
        fixture::Started run = fixture::start_dravik({box.archive}, box.work);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        fixture::interrupt_and_wait(run);
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(box.work + "/big.bin", ec);
        if (!ec) {
            EXPECT_EQ(size, std::uintmax_t{kBig});
        }
        for (const auto& entry : std::filesystem::directory_iterator(box.work))
            EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
        std::filesystem::remove(box.work + "/big.bin", ec);
    }
}

}  // namespace

namespace {

// Where the root's folders land, and that no entry of a run silently
// replaces a file an earlier entry wrote.
TEST(Extract, RootFoldersKeepTheirNamesAndNoEntryReplacesAnEarlierOne) {
    struct Case {
        const char* what;
        Builder archive;
        Tree tree;
        int status;
    };
    std::vector<Case> cases;
    {
        Builder b;  // two root folders holding the same relative path
        for (const char* root : {"bg", "button"}) {
            b.dir(root);
            b.dir("timg");
            b.file("pattern.tpl", std::string("data of ") + root);
            b.end();
            b.end();
        }
        cases.push_back({"bg and button", b,
                         Tree{{"bg", "d"}, {"bg/timg", "d"},
                              {"bg/timg/pattern.tpl", digest("data of bg")},
                              {"button", "d"}, {"button/timg", "d"},
                              {"button/timg/pattern.tpl", digest("data of button")}},
                         0});
    }
    {
        Builder b;  // "." cannot be a folder name: arc, beside "second"
        b.dir(".");
        b.end();
        b.file("top.bin", "top");
        b.dir("second");
        b.file("s.bin", "s");
        b.end();
        cases.push_back({"dot", b,
                         Tree{{"arc", "d"}, {"top.bin", digest("top")}, {"second", "d"},
                              {"second/s.bin", digest("s")}},
                         0});
    }
    {
        Builder b;  // the root's only folder is arc, whatever its name
        b.dir("res");
        b.file("a.bin", "a");
        b.end();
        b.file("loose.bin", "loose");
        cases.push_back({"single root", b,
                         Tree{{"arc", "d"}, {"arc/a.bin", digest("a")},
                              {"loose.bin", digest("loose")}},
                         0});
    }
    {
        Builder b;  // the console finds the first of two equal names
        b.dir("arc");
        b.file("twice.bin", "first");
        b.file("twice.bin", "second");
        b.end();
        cases.push_back({"duplicate", b,
                         Tree{{"arc", "d"}, {"arc/twice.bin", digest("first")}}, 1});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sandbox box;
        // A file there before the run is still replaced whole.
        std::filesystem::create_directory(box.work + "/arc");
        ASSERT_TRUE(fixture::write_file(box.work + "/arc/twice.bin", {'o', 'l', 'd'}));
        auto r = box.run(c.archive.build());
        EXPECT_EQ(r.status, c.status) << r.err;
        Tree expected = c.tree;
        expected.emplace("arc", "d");
        expected.emplace("arc/twice.bin", digest("old"));
        EXPECT_EQ(box.result(), expected);
        if (c.status != 0) {
            EXPECT_NE(r.err.find("twice.bin: same path as an earlier entry, not unpacked"),
                      std::string::npos)
                << r.err;
        }
    }
}

}  // namespace
