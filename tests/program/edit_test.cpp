// Editing archives without unpacking them (-u, --delete, --rename) and
// comparing them (--diff): each result unpacks to the expected tree with
// every other entry's bytes as they were; what cannot be done is refused
// with the archive untouched.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "archive_builder.h"
#include "dravik/archive.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using fixture::run_dravik;
using fixture::Tree;
using fixture::moved;
using fixture::without;

void put(const std::string& path, const std::string& data) {
    fs::create_directories(fs::u8path(path).parent_path());
    std::ofstream(fs::u8path(path), std::ios::binary) << data;
}

// What unpacking `archive` gives (unpacking the root alone is an error).
Tree unpacked(const std::string& archive, const std::string& cwd) {
    fixture::TempDir back;
    const int status = run_dravik({"-q", "-C", back.path, archive}, cwd).status;
    const Tree tree = fixture::snapshot(back.path);
    EXPECT_EQ(status, tree.empty() ? 1 : 0) << archive;
    return tree;
}

TEST(Edit, EveryCorpusArchiveUpdatesDeletesRenamesAndComparesByContent) {
    const std::vector<std::string> names = fixture::corpus_archives();
    if (names.empty()) GTEST_SKIP() << "no corpus";
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string original = std::string(DRAVIK_CORPUS_DIR) + "/" + name;
        fixture::TempDir tree, src, out;
        ASSERT_EQ(run_dravik({"-q", "-C", tree.path, original}, out.path).status, 0);
        const Tree before = fixture::snapshot(tree.path);
        std::string file;  // the first file unpacked
        for (const auto& [path, what] : before)
            if (what != "d" && file.empty()) file = path;
        put(src.sub(file), fixture::read_file(tree.sub(file)));

        // The file's own bytes: the same U8 archive, and --diff says so.
        ASSERT_EQ(run_dravik({"-u", "-q", "--level", "fast", "-C", src.path, "-o", out.sub("same"), original, file},
                             out.path).status, 0);
        EXPECT_TRUE(fixture::u8_layer(out.sub("same")) == fixture::u8_layer(original));
        auto d = run_dravik({"--diff", original, out.sub("same")}, out.path);
        EXPECT_EQ(d.out, "- same contents; the U8 archives are byte-identical.\n");
        EXPECT_EQ(d.status, 0);

        // A --like repack has the same contents too.
        ASSERT_EQ(run_dravik({"-c", "-q", "--level", "fast", "--like", original, out.sub("repack"), tree.path},
                             out.path).status, 0);
        d = run_dravik({"--diff", "-q", original, out.sub("repack")}, out.path);
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.out, "");

        put(src.sub(file), "other bytes");
        Tree changed = before;
        changed[file] = fixture::digest("other bytes");
        const struct {
            std::vector<std::string> args;
            Tree expected;
            std::string diff;
        } edits[] = {
            {{"-u", "-C", src.path, original, file}, changed, "M " + file + "\n"},
            {{"--delete", original, file}, without(before, file), "D " + file + "\n"},
            {{"--rename", original, file, file + ".renamed"}, moved(before, file, file + ".renamed"),
             "D " + file + "\nA " + file + ".renamed\n"},
        };
        for (const auto& e : edits) {
            SCOPED_TRACE(e.args[0]);
            std::vector<std::string> args{"-q", "--force", "--level", "fast", "-o", out.sub("edited")};
            args.insert(args.end(), e.args.begin(), e.args.end());
            const auto r = run_dravik(args, out.path);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(unpacked(out.sub("edited"), out.path), e.expected);
            d = run_dravik({"--diff", original, out.sub("edited")}, out.path);
            EXPECT_EQ(d.out, e.diff + "- contents differ; the U8 archives differ.\n");
            EXPECT_EQ(d.status, 1);
        }
    }
}

// Directory words are rebuilt for the new tree: removing or adding the last
// entry of the last folder, or of a folder holding folders, leaves every
// other entry where it was.
TEST(Edit, DirectoryEndsStayRightWhereverTheTreeChanges) {
    fixture::TempDir dir;
    ASSERT_TRUE(fixture::write_file(dir.sub("orig.arc"), fixture::nested_tree().build()));
    put(dir.sub("arc/c/new.bin"), "new in c");
    put(dir.sub("arc/a/new.bin"), "new in a");
    put(dir.sub("arc/new.bin"), "new in arc");
    const Tree before = unpacked(dir.sub("orig.arc"), dir.path);
    const auto plus = [&before](const std::string& path, const std::string& data) {
        Tree t = before;
        t[path] = fixture::digest(data);
        return t;
    };
    const struct {
        std::vector<std::string> args;
        Tree expected;
    } cases[] = {
        {{"--delete", "orig.arc", "arc/c/c.bin"}, without(before, "arc/c/c.bin")},  // last folder's last entry
        {{"-u", "orig.arc", "arc/c/new.bin"}, plus("arc/c/new.bin", "new in c")},
        {{"--delete", "orig.arc", "arc/a/a.bin"}, without(before, "arc/a/a.bin")},  // after a folder's folders
        {{"--delete", "orig.arc", "arc/empty"}, without(before, "arc/empty")},
        {{"-u", "orig.arc", "arc/a/new.bin"}, plus("arc/a/new.bin", "new in a")},
        {{"-u", "orig.arc", "arc/new.bin"}, plus("arc/new.bin", "new in arc")},
        {{"--delete", "orig.arc", "arc/a"}, without(before, "arc/a")},
        {{"--rename", "orig.arc", "arc/c", "arc/a/b/c"}, moved(before, "arc/c", "arc/a/b/c")},
        {{"--rename", "orig.arc", "arc/a/b/deep.bin", "arc/deep.bin"},
         moved(before, "arc/a/b/deep.bin", "arc/deep.bin")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        std::vector<std::string> args{"-q", "--force", "-o", "new.arc"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = run_dravik(args, dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(unpacked(dir.sub("new.arc"), dir.path), c.expected);
        auto h = dravik::archive_open(dir.sub("new.arc").c_str());
        ASSERT_TRUE(h);
        dravik::Entry e;
        for (std::uint32_t i = 1; dravik::archive_entry(*h, i, &e); ++i)
            EXPECT_TRUE(!e.is_directory || (e.end > i && e.end <= dravik::archive_node_count(*h))) << e.name;
    }
}

TEST(Edit, RefusalsLeaveTheArchiveAsItWas) {
    fixture::TempDir dir;
    ASSERT_TRUE(fixture::write_file(dir.sub("orig.arc"), fixture::nested_tree().build()));
    const std::string bytes = fixture::read_file(dir.sub("orig.arc"));
    put(dir.sub("junk.arc"), std::string(64, 'x'));
    put(dir.sub("taken.arc"), "taken");
    put(dir.sub("arc/a"), "a file where the archive has a folder");
    const bool link = fixture::make_symlink("/etc/passwd", dir.sub("link"));
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-u", "orig.arc", "missing.bin"}, "missing.bin: names nothing on disk"},
        {{"-u", "orig.arc", "../x"}, "../x: not an entry path"},
        {{"-u", "orig.arc", "arc/a"}, "arc/a: is a folder in orig.arc and a file on disk"},
        {{"-u", "orig.arc", "link"}, link ? "link: is a symbolic link, not followed" : "link: names nothing"},
        {{"-u", "junk.arc", "arc/a"}, "junk.arc: not a U8 archive"},
        {{"--rename", "orig.arc", "arc/c", "arc/a"}, "arc/a: exists in orig.arc"},
        {{"--rename", "orig.arc", "arc/a", "arc/a/b/a"}, "arc/a/b/a: a folder cannot move into itself"},
        {{"--rename", "orig.arc", "arc/none", "arc/z"}, "arc/none: no such entry in orig.arc"},
        {{"--rename", "orig.arc", "arc/c", "nowhere/c"}, "nowhere: no such folder in orig.arc"},
        {{"--delete", "orig.arc", "*.nothing"}, "no entry matches '*.nothing'"},
        {{"-o", "taken.arc", "--delete", "orig.arc", "after"}, "taken.arc: exists; --force replaces it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const auto r = run_dravik(c.args, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("dravik: " + c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(fixture::read_file(dir.sub("orig.arc")), bytes);
        EXPECT_EQ(fixture::read_file(dir.sub("taken.arc")), "taken");
    }
    EXPECT_EQ(fixture::snapshot(dir.path).size(), link ? 6u : 5u);  // no temporary file left
}

// In place or dry, text or JSON; and --diff's statuses.
TEST(Edit, TellsWhatChangesAndWritesInPlaceOrNotAtAll) {
    fixture::TempDir dir;
    ASSERT_TRUE(fixture::write_file(dir.sub("a.arc"), fixture::nested_tree().build()));
    const std::string bytes = fixture::read_file(dir.sub("a.arc"));
    put(dir.sub("arc/c/c.bin"), "changed");
    put(dir.sub("arc/x/y.bin"), "new");
    const std::string lines = "M arc/c/c.bin\nA arc/x\nA arc/x/y.bin\n";
    auto r = run_dravik({"-n", "-u", "a.arc", "arc/c/c.bin", "arc/x"}, dir.path);
    EXPECT_EQ(r.out, lines);
    EXPECT_EQ(fixture::read_file(dir.sub("a.arc")), bytes);
    r = run_dravik({"--json", "--rename", "-n", "a.arc", "arc/a", "arc/z"}, dir.path);
    EXPECT_EQ(r.out,
              "{\"change\": \"R\", \"path\": \"arc/z\", \"from\": \"arc/a\"}\n"
              "{\"change\": \"R\", \"path\": \"arc/z/a.bin\", \"from\": \"arc/a/a.bin\"}\n"
              "{\"change\": \"R\", \"path\": \"arc/z/b\", \"from\": \"arc/a/b\"}\n"
              "{\"change\": \"R\", \"path\": \"arc/z/b/deep.bin\", \"from\": \"arc/a/b/deep.bin\"}\n");
    r = run_dravik({"-u", "a.arc", "arc/c/c.bin", "arc/x"}, dir.path);
    EXPECT_EQ(r.out, lines);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fixture::snapshot(dir.path).count("a.arc"), 1u);
    fixture::write_file(dir.sub("b.arc"), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    r = run_dravik({"--diff", "--json", "b.arc", "a.arc"}, dir.path);
    EXPECT_EQ(r.out,
              "{\"change\": \"M\", \"path\": \"arc/c/c.bin\"}\n{\"change\": \"A\", \"path\": \"arc/x\"}\n"
              "{\"change\": \"A\", \"path\": \"arc/x/y.bin\"}\n{\"same_contents\": false, \"identical\": false}\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(run_dravik({"--diff", "-q", "b.arc", "a.arc"}, dir.path).out, "");
    r = run_dravik({"--diff", "b.arc", "missing.arc"}, dir.path);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("missing.arc: No such file"), std::string::npos) << r.err;
    EXPECT_EQ(run_dravik({"--diff", "b.arc"}, dir.path).status, 2);

    // Two directories of one name unpack into one folder: compared as one.
    fixture::Builder split, whole;
    for (fixture::Builder* b : {&split, &whole}) b->dir("root"), b->dir("c"), b->file("x.bin", "x");
    split.end(), split.dir("c");
    for (fixture::Builder* b : {&split, &whole}) b->file("y.bin", "y"), b->end(), b->end();
    fixture::write_file(dir.sub("split.arc"), split.build());
    fixture::write_file(dir.sub("whole.arc"), whole.build());
    r = run_dravik({"--diff", "split.arc", "whole.arc"}, dir.path);
    EXPECT_EQ(r.out, "- same contents; the U8 archives differ in layout.\n");
    EXPECT_EQ(r.status, 0);
}

// An archive of the root alone: what deleting everything leaves, packed
// again byte for byte from an empty folder, and a start for updates.
TEST(Edit, EmptyArchivesAreArchives) {
    fixture::TempDir dir;
    ASSERT_TRUE(fixture::write_file(dir.sub("a.arc"), fixture::nested_tree().build()));
    ASSERT_EQ(run_dravik({"--compress", "a.arc", "a.szs"}, dir.path).status, 0);
    fs::create_directory(dir.sub("nothing"));
    put(dir.sub("arc/x.bin"), "x");
    for (const auto& [from, name] : {std::pair("a.arc", "empty.arc"), std::pair("a.szs", "empty.szs")}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(run_dravik({"-q", "-o", name, "--delete", from, "*"}, dir.path).status, 0);
        auto h = dravik::archive_open(dir.sub(name).c_str());
        ASSERT_TRUE(h);
        EXPECT_EQ(dravik::archive_node_count(*h), 1u);
        EXPECT_EQ(dravik::archive_carriers(*h).size(), name == std::string("empty.szs") ? 1u : 0u);
        h.reset();  // Windows replaces no file that is open
        ASSERT_EQ(run_dravik({"-c", "-q", "--force", "--like", name, "again", "nothing"}, dir.path).status, 0);
        EXPECT_EQ(fixture::read_file(dir.sub("again")), fixture::read_file(dir.sub(name)));
        ASSERT_EQ(run_dravik({"-q", "-u", name, "arc/x.bin"}, dir.path).status, 0);
        EXPECT_EQ(unpacked(dir.sub(name), dir.path), (Tree{{"arc", "d"}, {"arc/x.bin", fixture::digest("x")}}));
    }
    EXPECT_EQ(run_dravik({"-c", "-q", "plain.arc", "nothing"}, dir.path).status, 1);  // as tar refuses
}

}  // namespace
