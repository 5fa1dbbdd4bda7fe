// Archives built to hurt: words at their extremes, nesting far past any real
// archive, names a terminal would obey, and entries aimed at the archive
// itself. (Header and table words that cannot open are in reader_test and
// the word sweep.) Each runs the whole program in a sandbox (nothing may change
// outside its "work" folder, which Sandbox::run checks).
#include <gtest/gtest.h>
#include <filesystem>

#include <sstream>

#include "test_support.h"
#include "archive_builder.h"

namespace {

using fixture::Builder;
using fixture::RawArchive;
using fixture::read_file;
using fixture::Sandbox;
using fixture::Tree;

using fixture::digest;

Builder small_tree() {
    Builder b;
    b.dir("arc");
    b.dir("sub");
    b.file("in_sub", "s");
    b.end();
    b.file("in_arc", "a");
    b.end();
    return b;
}

// A parent index is only read to choose the name "arc"; one that points
// forwards, at the directory itself or past N changes nothing else.
TEST(Hostile, ParentIndicesThatPointForwardsKeepTheStoredName) {
    for (std::uint32_t parent : {2u, 3u, 5u, 0xFFFFFFFFu}) {
        SCOPED_TRACE("parent " + std::to_string(parent));
        RawArchive raw = small_tree().raw();
        raw.nodes[2].word1 = parent;  // "sub", node 2
        Sandbox box;
        auto r = box.run(fixture::serialize(raw));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/sub", "d"},
                                      {"arc/sub/in_sub", digest("s")}, {"arc/in_arc", digest("a")}}));
    }
}

TEST(Hostile, DataWordsThatWrapOrReachPastTheFileFailOnlyTheirEntry) {
    const std::pair<std::uint32_t, std::uint32_t> words[] = {
        {0, 0xFFFFFFFFu}, {0xFFFFFFFFu, 1}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {0x80000000u, 0x80000000u}};
    for (const auto& [offset, size] : words) {
        SCOPED_TRACE(std::to_string(offset) + " + " + std::to_string(size));
        RawArchive raw = small_tree().raw();
        raw.nodes[3].word1 = offset;  // "in_sub"
        raw.nodes[3].word2 = size;
        Sandbox box;
        auto r = box.run(fixture::serialize(raw));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "dravik: in_sub: data lies past the end of the archive\n"
                         "dravik: 1 of 4 entries could not be unpacked\n");
        EXPECT_EQ(box.result(),
                  (Tree{{"arc", "d"}, {"arc/sub", "d"}, {"arc/in_arc", digest("a")}}));
    }

    // An empty file holds no data, so no offset can put it out of range.
    RawArchive raw = small_tree().raw();
    raw.nodes[3].word1 = 0xFFFFFFFFu;
    raw.nodes[3].word2 = 0;
    Sandbox box;
    auto r = box.run(fixture::serialize(raw));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.result()["arc/sub/in_sub"], digest(""));
}

// Far deeper than the process may hold descriptors: every level is still
// created and entered, and the file at the bottom lands there.
// And pack back, plain and like the original, under the same limit: the
// packer walks down folders as the unpacker does.
TEST(Hostile, TenThousandNestedDirectoriesUnpackAndPackWholeUnderALowDescriptorLimit) {
    if (fixture::kNoLimits) GTEST_SKIP() << fixture::kNoLimits;
    constexpr int kDepth = 10000;
    Builder b;
    b.dir("arc");
    for (int i = 1; i < kDepth; ++i) b.dir("d");
    b.file("bottom", "b");
    for (int i = 0; i < kDepth; ++i) b.end();
    b.file("top", "t");
    fixture::BuildOptions packed;
    packed.align = 1;
    Sandbox box;
    fixture::RunOptions options;
    options.open_files_limit = 32;
    auto r = box.run(b.build(packed), options);
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 500);
    EXPECT_EQ(r.err, "");
    std::size_t bottoms = 0;
    EXPECT_EQ(fixture::chain_depth(box.work + "/arc", "bottom", &bottoms), std::size_t{kDepth - 1});
    EXPECT_EQ(bottoms, 1u);
    EXPECT_EQ(read_file(box.work + "/top"), "t");

    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--like", box.archive}}) {
        std::vector<std::string> args{"-c", "-q", "--force"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {box.top.sub("back.arc"), box.work});
        r = fixture::run_dravik(args, box.top.path, options);
        EXPECT_EQ(r.status, 0) << r.err.substr(0, 500);
        if (!extra.empty()) {
            EXPECT_EQ(read_file(box.top.sub("back.arc")), read_file(box.archive));
        }
    }
}

// Climbing back out one level at a time, with a file at every level on the
// way up: each return to a level whose descriptor was let go must find that
// very level again, whether the walk back down keeps descriptors at powers
// of two (the first, long walk) or spread evenly (the short ones after).
TEST(Hostile, ReturningThroughReleasedLevelsPutsEachFileAtItsOwnLevel) {
    constexpr int kDepth = 600;
    Builder b;
    b.dir("arc");
    for (int i = 1; i < kDepth; ++i) b.dir("d");
    for (int i = 0; i < kDepth; ++i) {
        b.file("f", std::to_string(kDepth - 1 - i));  // the level's depth below arc
        b.end();
    }
    fixture::BuildOptions packed;
    packed.align = 1;
    Sandbox box;
    fixture::RunOptions options;
    options.open_files_limit = 48;  // twelve held directories
    auto r = box.run(b.build(packed), options);
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 500);
    std::size_t files = 0;
    EXPECT_EQ(fixture::chain_depth(box.work + "/arc", "f", &files), std::size_t{kDepth - 1});
    EXPECT_EQ(files, std::size_t{kDepth});
    std::string path = box.work + "/arc";
    for (int level = 0; level < 40; ++level, path += "/d")
        ASSERT_EQ(read_file(path + "/f"), std::to_string(level)) << "level " << level;
}

// When the process cannot open another descriptor at all, every entry that
// needs one fails on its own line, and the run still ends.
TEST(Hostile, NoDescriptorsLeftFailsEachEntryAndTellsIt) {
    if (fixture::kNoLimits) GTEST_SKIP() << fixture::kNoLimits;
    Builder b = small_tree();
    Sandbox box;
    fixture::RunOptions options;
    options.open_files_limit = 5;  // the standard streams, the archive, the start folder
    auto r = box.run(b.build(), options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\n- end of archive.\n"), std::string::npos);
    EXPECT_NE(r.err.find("dravik: arc: cannot enter directory: Too many open files"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("dravik: in_arc: cannot create file: Too many open files"),
              std::string::npos);
    EXPECT_NE(r.err.find("4 of 4 entries could not be unpacked"), std::string::npos);
}

// Names stay byte for byte in the listing, but a diagnostic shows every
// control byte, invalid sequence and backslash escaped, on one line each,
// and of a long name only its first 256 bytes and its length.
TEST(Hostile, NamesInDiagnosticsAreEscapedWhateverTheirBytes) {
    if (fixture::kNamesAreBytes) GTEST_SKIP() << fixture::kNamesAreBytes;
    const std::string esc = std::string("\x1b[2J") + "\r\n\\" + "\xc2\x9b" + "\xff";
    const std::string shown = "\\x1b[2J\\x0d\\x0a\\x5c\\xc2\\x9b\\xff";
    const std::string too_long = esc + std::string(300, 'n');
    Builder b;
    b.dir("arc");
    b.file(too_long, "x");          // longer than 255 bytes: the system refuses it
    b.dir(esc + "/");               // unsafe: holds a separator
    b.file("inner", "i");
    b.end();
    b.file(esc, "kept");            // a legal name: unpacked as it is
    b.end();
    Sandbox box;
    auto r = box.run(b.build());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dravik: " + shown + std::string(256 - esc.size(), 'n') +
                         "\xe2\x80\xa6(310 bytes): cannot create file: File name too long\n"
                         "dravik: " + shown + "/: unsafe name, not unpacked\n"
                         "dravik: 2 of 5 entries could not be unpacked\n");
    EXPECT_NE(r.out.find("] " + too_long + "\n"), std::string::npos);  // listing: as stored
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/inner", digest("i")},
                                  {"arc/" + esc, digest("kept")}}));
}

// The archive being read is never written, whatever name leads to it.
// Here it lies in arc/, the folder node 1 unpacks into.
TEST(Hostile, TheArchiveIsNeverWrittenThroughAnyOfItsNames) {
    Builder b;
    b.dir("arc");
    b.file("hard.arc", "through a hard link");
    b.dir("input.arc");  // a directory entry named like the archive
    b.file("inside", "i");
    b.end();
    b.file("input.arc", "over the archive itself");
    b.file("via.arc", "over the symbolic link");
    b.end();
    if (fixture::kNoSymlinks) GTEST_SKIP() << fixture::kNoSymlinks;
    fixture::TempDir top;
    ASSERT_TRUE(std::filesystem::create_directory(top.sub("arc")));
    const std::string archive = top.sub("arc/input.arc");
    const std::vector<std::uint8_t> bytes = b.build();
    ASSERT_TRUE(fixture::write_file(archive, bytes));
    std::filesystem::create_hard_link(archive, top.sub("arc/hard.arc"));
    ASSERT_TRUE(fixture::make_symlink("input.arc", top.sub("arc/via.arc")));
    auto r = fixture::run_dravik({"arc/via.arc"}, top.path);  // opened through the link
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "dravik: hard.arc: would overwrite the archive being read, not unpacked\n"
              "dravik: input.arc: exists and is not a directory; its contents go to the "
              "enclosing directory\n"
              "dravik: input.arc: would overwrite the archive being read, not unpacked\n"
              "dravik: 3 of 6 entries could not be unpacked\n");
    const std::string now = read_file(archive);
    EXPECT_EQ(std::vector<std::uint8_t>(now.begin(), now.end()), bytes);
    // The link itself is replaced by the file; the archive it named stays.
    EXPECT_EQ(read_file(top.sub("arc/via.arc")), "over the symbolic link");
    EXPECT_EQ(read_file(top.sub("arc/inside")), "i");
}

// Memory running out anywhere fails the entry or the run with a one-line
// reason and exit status 1, never an abort, and leaves no file that is
// empty or cut: whatever a starved run wrote is whole. The address-space
// limit is swept from where the program can just load to where it has
// all it needs.
TEST(Hostile, RunningOutOfMemoryFailsCleanlyAndLeavesOnlyWholeFiles) {
    if (fixture::kNoLimits) GTEST_SKIP() << fixture::kNoLimits;
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than any limit tested here";
#endif
    const std::string bytes = read_file(std::string(DRAVIK_SOURCE_DIR) + "/samples/sample.arc");
    const std::vector<std::uint8_t> archive(bytes.begin(), bytes.end());
    Sandbox whole;
    ASSERT_EQ(whole.run(archive).status, 0);
    int failed_runs = 0;
    for (long long kib = 4096; kib <= 16384; kib += 128) {
        SCOPED_TRACE(std::to_string(kib) + " KiB");
        Sandbox box;
        fixture::RunOptions options;
        options.address_space_limit = kib * 1024;
        auto r = box.run(archive, options);
        if (r.status == 127) continue;  // the loader itself could not map the program
        ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << "\n" << r.err;
        if (r.status == 0) break;
        ++failed_runs;
        for (const auto& [path, kind] : box.result())
            EXPECT_EQ(kind, whole.result().at(path)) << path;  // nothing partial
        std::istringstream lines(r.err);
        for (std::string line; std::getline(lines, line);)
            EXPECT_EQ(line.rfind("dravik: ", 0), 0u) << line;
    }
    EXPECT_GT(failed_runs, 0) << "no limit was tight enough to test anything";
}

// A name cannot forge a listing line, retitle the window, clear the screen
// or send any other control on a terminal: there the listing shows such
// bytes escaped. In a pipe, the listing stays byte for byte.
TEST(Hostile, ListingNamesAreEscapedOnATerminalAndExactInAPipe) {
    if (fixture::kNamesAreBytes) GTEST_SKIP() << fixture::kNamesAreBytes;
    const std::string forged = "\x1b]0;owned\x07\n[-] offs[0x00000000] len[00000000] fake\r" +
                               std::string("\x1b[2J\xc2\x9b\x7f\xff") + "\xc3\xa9";
    const std::string shown = "\\x1b]0;owned\\x07\\x0a[-] offs[0x00000000] len[00000000] "
                              "fake\\x0d\\x1b[2J\\xc2\\x9b\\x7f\\xff\xc3\xa9";
    Builder b;
    b.dir("arc");
    b.file(forged, "x");
    b.end();
    Sandbox piped;
    auto r = piped.run(b.build());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("] " + forged + "\n"), std::string::npos);

    Sandbox box;
    fixture::write_file(box.archive, b.build());
    const std::string seen = fixture::run_on_terminal(box.archive, box.work);
    EXPECT_NE(seen.find("] " + shown + "\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.find('\x1b'), std::string::npos);
    EXPECT_EQ(seen.find('\r'), std::string::npos);
    EXPECT_EQ(seen.substr(seen.size() - 18), "- end of archive.\n");
}

}  // namespace
