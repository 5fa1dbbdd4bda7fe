// The program as users run it: stdout, stderr and the exit status.
#include <gtest/gtest.h>

#include "test_support.h"
#include "archive_builder.h"

namespace {

using fixture::Builder;
using fixture::RawArchive;
using fixture::run_dravik;
using fixture::TempDir;

const char kBannerTitle[] = "Wii dravik 0.2a\n";

std::string write_archive(const TempDir& dir, const std::string& name,
                          const std::vector<std::uint8_t>& bytes) {
    const std::string path = dir.sub(name);
    EXPECT_TRUE(fixture::write_file(path, bytes));
    return path;
}

TEST(Cli, BannerHelpAndVersion) {
    TempDir dir;
    auto r = run_dravik({}, dir.path);
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.out.rfind(kBannerTitle, 0), 0u);
    EXPECT_NE(r.out.find("\nusage: dravik <file.arc>\n"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
    EXPECT_EQ(r.err, "");

    for (const char* flag : {"-h", "--help"}) {
        auto help = run_dravik({flag}, dir.path);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind(r.out, 0), 0u);  // the banner, then every option
        for (const char* option : {"--list", "--directory", "--include", "--exclude",
                                   "--to-stdout", "--json", "--quiet", "--create", "--like",
                                   "--align", "--yaz0", "--no-compress", "--force",
                                   "--compress", "--decompress", "--level", "--threads",
                                   "--update", "--delete", "--rename", "--output", "--dry-run",
                                   "--diff"})
            EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    auto version = run_dravik({"--version"}, dir.path);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, kBannerTitle);
    EXPECT_TRUE(fixture::snapshot(dir.path).empty());
}

TEST(Cli, ListsEntriesByteForByteAndUsesOnlyTheFirstArgument) {
    TempDir dir;
    Builder b;
    b.dir("root");
    b.dir("sub");
    b.file("a.bin", std::string(40, 'a'));
    b.end();
    b.file("b.bin", "b");
    b.end();
    const std::string path = write_archive(dir, "t.arc", b.build());
    TempDir out;
    auto r = run_dravik({path, "ignored", "--help"}, out.path);
    EXPECT_EQ(r.out,
              "- archive successfully opened.\n"
              "- displaying content (5 entries):\n\n"
              "[d] offs[0x00000000] len[00000000] root\n"
              "[d] offs[0x00000001] len[00000004] sub\n"
              "[-] offs[0x00000080] len[00000040] a.bin\n"
              "[-] offs[0x000000C0] len[00000001] b.bin\n"
              "\n- end of archive.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, ShowsLargeSizesAsNegativeNumbers) {
    TempDir dir;
    RawArchive raw;
    raw.nodes = {{1, 0, 0, 3}, {0, 1, 0x40, 0}, {0, 3, 0x40, 0x80000000u}};
    raw.strings = std::string("\0a\0b\0", 5);
    const std::string path = write_archive(dir, "big.arc", fixture::serialize(raw));
    TempDir out;
    auto r = run_dravik({path}, out.path);
    EXPECT_NE(r.out.find("[-] offs[0x00000040] len[-2147483648] b\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n- end of archive.\n"), std::string::npos);
    EXPECT_EQ(r.status, 1);  // b's data is not in the file
}

TEST(Cli, UnusableArchivesGiveOneStatusLineAndExitOne) {
    TempDir dir;
    auto invalid = run_dravik({dir.sub("missing.arc")}, dir.path);
    EXPECT_EQ(invalid.out, "- invalid archive.\n");
    EXPECT_EQ(invalid.status, 1);
    EXPECT_NE(invalid.err.find("No such file or directory"), std::string::npos);

    const std::string junk = write_archive(dir, "junk.arc", std::vector<std::uint8_t>(64, 'x'));
    EXPECT_EQ(run_dravik({junk}, dir.path).out, "- invalid archive.\n");
    EXPECT_EQ(run_dravik({dir.path}, dir.path).out, "- invalid archive.\n");

    Builder b;
    b.file("f", "x");
    RawArchive raw = b.raw();
    raw.nodes[0].word2 = 0;
    auto empty = run_dravik({write_archive(dir, "empty.arc", fixture::serialize(raw))}, dir.path);
    EXPECT_EQ(empty.out, "- archive successfully opened.\n- empty archive.\n");
    EXPECT_EQ(empty.status, 1);

    raw.nodes[0].word2 = 1;
    auto one = run_dravik({write_archive(dir, "one.arc", fixture::serialize(raw))}, dir.path);
    EXPECT_EQ(one.out,
              "- archive successfully opened.\n- displaying content (1 entries):\n\n"
              "- error finding file.\n");
    EXPECT_EQ(one.status, 1);

    raw.nodes[0].word2 = 2;
    raw.table_size = 20;
    auto small = run_dravik({write_archive(dir, "small.arc", fixture::serialize(raw))}, dir.path);
    EXPECT_EQ(small.out,
              "- archive successfully opened.\n- displaying content (2 entries):\n\n"
              "- error finding file.\n");
    EXPECT_EQ(small.status, 1);

    raw.table_size.reset();
    raw.nodes[0].word2 = 0xFFFFFFFFu;
    auto huge = run_dravik({write_archive(dir, "huge.arc", fixture::serialize(raw))}, dir.path);
    EXPECT_EQ(huge.out, "- invalid archive.\n");
    EXPECT_EQ(huge.status, 1);
}

TEST(Cli, AnArchiveNamedLikeAnOptionIsReachedThroughDotSlashOrDoubleDash) {
    TempDir dir;
    Builder b;
    b.file("f", "x");
    write_archive(dir, "-x", b.build());
    auto r = run_dravik({"./-x"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fixture::read_file(dir.sub("f")), "x");
    EXPECT_EQ(run_dravik({"--", "-x"}, dir.path).status, 0);
}

}  // namespace

namespace {

// Started with its standard streams closed, the program must not let an
// output file take their descriptors and receive the listing.
TEST(Cli, ClosedStandardStreamsNeverLandInUnpackedFiles) {
    TempDir dir;
    Builder b;
    b.dir("arc");
    b.file("first.bin", "one");
    b.file("second.bin", "two");
    b.end();
    const std::string path = write_archive(dir, "t.arc", b.build());
    TempDir out;
    fixture::RunOptions closed;
    closed.close_standard_streams = true;
    auto r = run_dravik({path}, out.path, closed);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fixture::read_file(out.sub("arc/first.bin")), "one");
    EXPECT_EQ(fixture::read_file(out.sub("arc/second.bin")), "two");
}

}  // namespace
