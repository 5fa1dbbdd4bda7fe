// Archives inside archives (-r), packing them back (-c -r) and --check: the
// real banners and .arc.LZ files go down and back up byte for byte, hostile
// nestings end cleanly, and the check names what a mutated file got wrong.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "archive_builder.h"
#include "carrier_writer.h"
#include "test_support.h"

namespace {

using fixture::Builder;
using fixture::Bytes;
using fixture::digest;
using fixture::run_dravik;
using fixture::Sandbox;
using fixture::Tree;

namespace fs = std::filesystem;

const std::vector<std::string> kCorpora = {DRAVIK_CORPUS_DIR, DRAVIK_CORPUS_DIR "-lz"};

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    for (const std::string& corpus : kCorpora) {
        if (!fixture::exists(corpus)) continue;
        for (const auto& e : fs::recursive_directory_iterator(fs::u8path(corpus)))
            if (e.is_regular_file() && e.path().parent_path().filename() != "expected" &&
                e.path().extension() != ".md" && e.path().extension() != ".tsv")
                files.push_back(e.path().u8string());
    }
    return files;
}

std::string as_string(const Bytes& b) { return std::string(b.begin(), b.end()); }

// An archive holding a Yaz0-compressed archive, which holds one more.
Bytes two_levels() {
    Builder deepest;
    deepest.dir("arc");
    deepest.file("z.bin", "zzz");
    deepest.end();
    Builder inner;
    inner.dir("arc");
    inner.file("x.bin", "inner x");
    inner.dir("sub");
    inner.file("y.bin", "inner y");
    inner.file("deep.arc", as_string(deepest.build()));
    inner.end();
    inner.end();
    Builder outer;
    outer.dir("arc");
    outer.file("a.txt", "outer a");
    outer.file("in.szs", as_string(fixture::compress(inner.build(), fixture::Coding::yaz0)));
    outer.end();
    return outer.build();
}

TEST(Nest, ListingJsonSelectionAndStdoutGoThroughTheDotDFolders) {
    const Bytes archive = two_levels();
    Sandbox box;
    auto r = box.run(archive, {}, {"-t", "-r"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* line : {"] a.txt\n", "] in.szs\n", "] arc/in.szs.d/arc\n", "] arc/in.szs.d/arc/x.bin\n",
                             "] arc/in.szs.d/arc/sub/deep.arc.d/arc/z.bin\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;

    r = box.run(archive, {}, {"-t", "-r", "--json"});
    EXPECT_NE(r.out.find("{\"archive\": \"arc/in.szs\", \"level\": 1, \"carriers\": [\"yaz0\"], \"nodes\": 6}\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"path\": \"arc/in.szs.d/arc/sub/deep.arc.d/arc/z.bin\", \"offset\""), std::string::npos);
    EXPECT_NE(r.out.find("\"level\": 2"), std::string::npos);

    // An inner pattern: the folders on the way are made, the file holding
    // the archive is not written, and nothing else is.
    r = box.run(archive, {}, {"-r", "-q", "--include", "arc/in.szs.d/arc/sub/y.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/in.szs.d", "d"}, {"arc/in.szs.d/arc", "d"},
                                  {"arc/in.szs.d/arc/sub", "d"}, {"arc/in.szs.d/arc/sub/y.bin", digest("inner y")}}));
    r = box.run(archive, {}, {"-r", "-O", "--include", "*.bin"});
    EXPECT_EQ(r.out, "inner xinner yzzz");
    // Excluding a file, or its folder, excludes what it holds.
    r = box.run(archive, {}, {"-r", "-O", "--exclude", "in.szs"});
    EXPECT_EQ(r.out, "outer a");
    r = box.run(archive, {}, {"-r", "-t", "--exclude", "arc/in.szs.d"});
    EXPECT_NE(r.out.find("] in.szs\n"), std::string::npos);
    EXPECT_EQ(r.out.find("in.szs.d"), std::string::npos);
}

// Real banners and .arc.LZ files: unpacked with -r and packed back with -r
// --like, every layer comes back, carriers included; an edit deep inside
// gives a file that checks sound and changes only its own branch.
TEST(Nest, CorpusGoesDownAndBackUpByteForByte) {
    const std::vector<std::string> files = corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus";
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        fixture::TempDir work;
        ASSERT_EQ(run_dravik({"-r", "-q", "-C", "out", file}, work.path).status, 0);
        const auto r = run_dravik({"-c", "-r", "-q", "--like", file, "new", "out"}, work.path);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fixture::read_file(work.sub("new")), fixture::read_file(file));
        const auto checked = run_dravik({"--check", file}, work.path);
        EXPECT_EQ(checked.status, 0) << checked.err;
        EXPECT_EQ(checked.err, "");
    }
    const std::string banner = std::string(DRAVIK_CORPUS_DIR) + "/mkw-sp__mkw-sp/opening.bnr";
    fixture::TempDir work;
    ASSERT_EQ(run_dravik({"-r", "-q", "-C", "out", banner}, work.path).status, 0);
    const std::string texture = work.sub("out/arc/banner.bin.d/arc/timg/ht_square_00.tpl");
    std::string changed = fixture::read_file(texture);
    changed[100] ^= 0x5A;
    std::ofstream(fs::u8path(texture), std::ios::binary) << changed;
    ASSERT_EQ(run_dravik({"-c", "-r", "-q", "--like", banner, "new.bnr", "out"}, work.path).status, 0);
    const auto checked = run_dravik({"--check", "new.bnr"}, work.path);
    EXPECT_EQ(checked.out, "new.bnr: ok\n");
    EXPECT_EQ(checked.status, 0) << checked.err;
    ASSERT_EQ(run_dravik({"-r", "-q", "-C", "again", "new.bnr"}, work.path).status, 0);
    Tree before = fixture::snapshot(work.sub("out")), after = fixture::snapshot(work.sub("again"));
    EXPECT_NE(before["arc/banner.bin"], after["arc/banner.bin"]);
    before.erase("arc/banner.bin"), after.erase("arc/banner.bin");
    EXPECT_EQ(after, before);  // every inner file, the edited texture too, and icon.bin whole

    // A .d folder without its file is an ordinary folder.
    fs::remove(fs::u8path(work.sub("out/arc/icon.bin")));
    const auto packed = run_dravik({"-c", "-r", "--like", banner, "lost.bnr", "out"}, work.path);
    EXPECT_NE(packed.err.find("arc/icon.bin: not in the folder; dropped"), std::string::npos) << packed.err;
    EXPECT_NE(packed.out.find("] icon.bin.d\n"), std::string::npos) << packed.out;
}

// A raw archive whose file f.arc is `payload` (the whole archive itself
// when `whole`), with a Yaz0 bomb beside it when `bomb`.
Bytes holding(const Bytes& payload, bool whole = false, bool bomb = false) {
    Builder b;
    b.dir("arc");
    b.file("f.arc", as_string(payload));
    if (bomb) {
        // 4 GiB stated, 48 bytes of stream.
        Bytes yaz0 = {'Y', 'a', 'z', '0', 0xFF, 0xFF, 0xFF, 0xF0};
        yaz0.resize(64, 0);
        b.file("bomb.szs", as_string(yaz0));
    }
    b.end();
    fixture::RawArchive raw = b.raw();
    if (whole) {
        raw.nodes[2].word1 = 0;
        raw.nodes[2].word2 = static_cast<std::uint32_t>(fixture::serialize(raw).size());
    }
    return fixture::serialize(raw);
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

TEST(Nest, HostileNestingsEndCleanly) {
    Builder leaf;
    leaf.dir("arc");
    leaf.file("leaf", "L");
    leaf.end();
    Bytes deep = leaf.build();
    for (int i = 0; i < 20; ++i) deep = holding(deep);
    Bytes bombs = leaf.build();
    for (int i = 0; i < 3; ++i) bombs = holding(fixture::compress(bombs, fixture::Coding::lz11), false, true);

    // The inner archive's table lies past its entry, inside the outer file.
    Bytes cut_short = leaf.build();
    cut_short.resize(40);

    Builder taken;
    taken.dir("arc");
    taken.file("f.arc", as_string(leaf.build()));
    taken.dir("f.arc.d");
    taken.end();
    taken.end();

    // Forty entries share one nested archive's bytes, four levels down:
    // forty to the fourth walks if each were opened, four when shared bytes
    // are opened once.
    Bytes fan = leaf.build();
    for (int level = 0; level < 4; ++level) {
        Builder b;
        b.dir("arc");
        b.file("f.arc", as_string(fan));
        for (int k = 1; k < 40; ++k) b.file("g" + std::to_string(k), "");
        b.end();
        fixture::RawArchive raw = b.raw();
        for (int k = 3; k < 42; ++k) raw.nodes[k].word1 = raw.nodes[2].word1, raw.nodes[k].word2 = raw.nodes[2].word2;
        fan = fixture::serialize(raw);
    }

    const std::string step = "arc/f.arc.d/";
    const struct {
        const char* name;
        Bytes bytes;
        std::string told;  // in the diagnostics
        std::size_t times;
        std::string last;     // exists
        std::string missing;  // does not: nothing went deeper
    } cases[] = {
        {"nested in itself", holding(Bytes(), true), "an archive inside itself", 1, "arc/f.arc", "arc/f.arc.d"},
        {"deeper than the limit", deep, "nest more than 16 deep", 1, repeat(step, 15) + "arc/f.arc",
         repeat(step, 16)},
        {"a bomb in every layer", bombs, "bomb.szs: holds an archive that cannot be opened", 3,
         repeat(step, 3) + "arc/leaf", "arc/bomb.szs.d"},
        {"an inner table past its entry", holding(cut_short), "table lies outside", 1, "arc/f.arc", "arc/f.arc.d"},
        {"a folder named like the nested one", taken.build(), "is taken", 1, "arc/f.arc.d", "arc/f.arc.d/arc"},
        {"shared bytes fanning out", fan, "whose archive is opened there", 4 * 39, repeat(step, 4) + "arc/leaf",
         "arc/g1.d"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const auto r = box.run(c.bytes, {}, {"-r", "-q"});
        EXPECT_EQ(r.status, 0) << r.err;
        std::size_t times = 0;
        for (std::size_t at = r.err.find(c.told); at != std::string::npos; at = r.err.find(c.told, at + 1)) ++times;
        EXPECT_EQ(times, c.times) << r.err;
        const Tree tree = box.result();
        EXPECT_EQ(tree.count(c.last), 1u);
        EXPECT_EQ(tree.count(c.missing), 0u);
    }
}

// An inner archive's file whose data runs past its entry fails as in any
// archive, and the run says so.
TEST(Nest, InnerDataPastItsEntryFailsThatEntry) {
    Builder inner;
    inner.dir("arc");
    inner.file("x", "xxxx");
    inner.end();
    fixture::RawArchive raw = inner.raw();
    raw.nodes[2].word2 = 4096;
    Sandbox box;
    const auto r = box.run(holding(fixture::serialize(raw)), {}, {"-r", "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("arc/f.arc.d/arc/x: data lies past the end of the archive"), std::string::npos) << r.err;
}

std::size_t find(const std::string& bytes, const std::string& what) {
    const std::size_t at = bytes.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    return at;
}

TEST(Nest, CheckNamesWhatAMutatedCopyGotWrong) {
    const std::string corpus = DRAVIK_CORPUS_DIR;
    const std::string banner = fixture::read_file(corpus + "/mkw-sp__mkw-sp/opening.bnr");
    const std::string szs = fixture::read_file(corpus + "/MelgMKW__Pulsar/build.szs");
    if (banner.empty() || szs.empty()) GTEST_SKIP() << "no corpus";
    const std::size_t imd5 = find(banner, "IMD5");  // banner.bin's
    std::string flipped = banner, longer = banner, cut = szs, padded = szs;
    flipped[imd5 + 16] ^= 1;
    longer[imd5 + 7] += 1;
    cut.resize(cut.size() - 100);
    padded += std::string(40, '\x7F');

    Builder alike;
    alike.dir("arc");
    alike.file("Tex.tpl", "1");
    alike.file("tex.tpl", "2");
    alike.file("tex.tpl", "3");
    alike.end();
    fixture::RawArchive shared = alike.raw();
    shared.nodes[3].word1 = shared.nodes[2].word1;

    const struct {
        const char* name;
        std::string bytes;
        int status;
        std::vector<std::string> findings;
    } cases[] = {
        {"a flipped IMD5 byte", flipped, 1, {"arc/banner.bin: the IMD5 checksum does not match"}},
        {"an IMD5 length off by one", longer, 1, {"arc/banner.bin: the IMD5 length 101129 passes the end"}},
        {"a cut Yaz0 stream", cut, 1, {"the Yaz0 stream does not decode to its stated"}},
        {"bytes after the Yaz0 stream", padded, 0, {"warning: 40 bytes follow the end of the Yaz0 stream"}},
        {"names a console reads otherwise", as_string(fixture::serialize(shared)), 0,
         {"arc/tex.tpl: warning: differs only in case from arc/Tex.tpl",
          "arc/tex.tpl: warning: a second entry of this name in its folder",
          "arc/tex.tpl: warning: its data is shared with arc/Tex.tpl"}},
    };
    fixture::TempDir work;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(fs::u8path(work.sub("in")), std::ios::binary) << c.bytes;
        const auto r = run_dravik({"--check", "in"}, work.path);
        EXPECT_EQ(r.status, c.status) << r.err;
        for (const std::string& f : c.findings) EXPECT_NE(r.err.find("dravik: in: " + f), std::string::npos) << r.err;
        EXPECT_EQ(r.out, c.status == 0 ? "in: ok\n" : "in: " + std::to_string(c.findings.size()) + " problem" +
                                                          (c.findings.size() == 1 ? "\n" : "s\n"));
        const auto j = run_dravik({"--check", "--json", "in"}, work.path);
        EXPECT_NE(j.out.find("\"severity\": \"" + std::string(c.status ? "problem" : "warning") + "\""), std::string::npos);
    }
}

}  // namespace

namespace {

// Edits with -r reach inside, at any depth and through every carrier: the
// file's own bytes give the archive back byte for byte; other bytes, a
// delete or a rename inside change exactly that entry (and the files on
// the way), the result checks sound, and --diff -r names that entry alone.
TEST(Nest, EditsInsideChangeOnlyTheirBranch) {
    const std::string banner = std::string(DRAVIK_CORPUS_DIR) + "/mkw-sp__mkw-sp/opening.bnr";
    const std::string lz = std::string(DRAVIK_CORPUS_DIR) +
                           "-lz/Developers-Collective__NSMBW-Custom-Sprites/"
                           "CustomSprites__CoinStack__Game__SpriteTex__coin_stack.arc.LZ";
    if (!fixture::exists(banner) || !fixture::exists(lz)) GTEST_SKIP() << "no corpus";
    fixture::TempDir work;
    // Yaz0 around an archive that holds the banner and the .arc.LZ.
    Builder outer;
    outer.dir("arc");
    outer.file("opening.bnr", fixture::read_file(banner));
    outer.file("sprite.arc.LZ", fixture::read_file(lz));
    outer.end();
    ASSERT_TRUE(fixture::write_file(work.sub("both.szs"), fixture::compress(outer.build(), fixture::Coding::yaz0)));
    const std::string texture = "arc/banner.bin.d/arc/timg/ht_square_00.tpl";
    const struct {
        std::string archive, file;
        std::vector<std::string> on_the_way;  // files that hold what changes
    } cases[] = {
        {banner, texture, {"arc/banner.bin"}},
        {work.sub("both.szs"), "arc/opening.bnr.d/" + texture, {"arc/opening.bnr", "arc/opening.bnr.d/arc/banner.bin"}},
        {work.sub("both.szs"), "arc/sprite.arc.LZ.d/arc/coin_stack.brres", {"arc/sprite.arc.LZ"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        fixture::TempDir dir;
        ASSERT_EQ(run_dravik({"-r", "-q", "-C", "tree", c.archive}, dir.path).status, 0);
        const Tree before = fixture::snapshot(dir.sub("tree"));
        const auto unpacked_inside = [&](const std::string& archive) {
            fixture::TempDir back;
            EXPECT_EQ(run_dravik({"-r", "-q", "-C", back.path, archive}, dir.path).status, 0);
            Tree t = fixture::snapshot(back.path);
            for (const std::string& f : c.on_the_way) t.erase(f);
            return t;
        };
        Tree expected_same = before;
        for (const std::string& f : c.on_the_way) expected_same.erase(f);

        ASSERT_EQ(run_dravik({"-r", "-u", "-C", "tree", "-o", "same", c.archive, c.file}, dir.path).status, 0);
        EXPECT_TRUE(fixture::u8_layer(dir.sub("same")) == fixture::u8_layer(c.archive));
        if (c.archive == banner) {
            EXPECT_EQ(fixture::read_file(dir.sub("same")), fixture::read_file(banner));
        }

        std::ofstream(fs::u8path(dir.sub("tree/" + c.file)), std::ios::binary) << "other bytes";
        auto r = run_dravik({"-r", "-n", "-u", "-C", "tree", c.archive, c.file}, dir.path);
        EXPECT_EQ(r.out, "M " + c.file + "\n") << r.err;
        Tree changed = expected_same;
        changed[c.file] = digest("other bytes");
        const struct {
            std::vector<std::string> args;
            Tree expected;
            std::string told;
        } edits[] = {
            {{"-u", "-C", "tree", c.archive, c.file}, changed, "M " + c.file + "\n"},
            {{"--delete", c.archive, c.file}, fixture::without(expected_same, c.file), "D " + c.file + "\n"},
            {{"--rename", c.archive, c.file, c.file + ".renamed"},
             fixture::moved(expected_same, c.file, c.file + ".renamed"),
             "D " + c.file + "\nA " + c.file + ".renamed\n"},
        };
        for (const auto& e : edits) {
            SCOPED_TRACE(e.args[0]);
            std::vector<std::string> args{"-r", "--force", "--level", "fast", "-o", "edited"};
            args.insert(args.end(), e.args.begin(), e.args.end());
            r = run_dravik(args, dir.path);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, e.args[0] == "--rename" ? "R " + c.file + " -> " + c.file + ".renamed\n" : e.told);
            EXPECT_EQ(run_dravik({"--check", "edited"}, dir.path).out, "edited: ok\n");
            EXPECT_EQ(unpacked_inside(dir.sub("edited")), e.expected);
            r = run_dravik({"--diff", "-r", c.archive, "edited"}, dir.path);
            EXPECT_EQ(r.out, e.told + "- contents differ; the U8 archives differ.\n");
            EXPECT_EQ(r.status, 1);
        }
        // Renamed and back: the same contents, in another layout.
        ASSERT_EQ(run_dravik({"-r", "-q", "--rename", "--force", "-o", "back", "edited", c.file + ".renamed", c.file},
                             dir.path).status, 0);
        r = run_dravik({"--diff", "-r", c.archive, "back"}, dir.path);
        EXPECT_EQ(r.out, "- same contents; the U8 archives differ in layout.\n");
        EXPECT_EQ(r.status, 0);
    }
}

// What -r cannot edit inside, or what could mean two things, is refused
// with one line and the archive as it was.
TEST(Nest, EditsInsideRefuseWhatIsAmbiguousOrOutOfBounds) {
    const std::string banner = std::string(DRAVIK_CORPUS_DIR) + "/mkw-sp__mkw-sp/opening.bnr";
    if (!fixture::exists(banner)) GTEST_SKIP() << "no corpus";
    fixture::TempDir dir;
    ASSERT_EQ(run_dravik({"-r", "-q", "-C", "tree", banner}, dir.path).status, 0);
    ASSERT_TRUE(fixture::write_file(dir.sub("x.bnr"), [&] {
        const std::string b = fixture::read_file(banner);
        return Bytes(b.begin(), b.end());
    }()));
    std::ofstream(fs::u8path(dir.sub("tree/arc/banner.bin")), std::ios::binary | std::ios::app) << "x";
    std::ofstream(fs::u8path(dir.sub("tree/arc/banner.bin.d/arc/blyt/banner.brlyt")), std::ios::binary) << "x";
    fs::create_directories(fs::u8path(dir.sub("flat/arc")));
    std::ofstream(fs::u8path(dir.sub("flat/arc/icon.bin.d")), std::ios::binary) << "a file";
    ASSERT_TRUE(fixture::write_file(dir.sub("self.arc"), holding(Bytes(), true)));
    Builder leaf;
    leaf.dir("arc");
    leaf.file("leaf", "L");
    leaf.end();
    Builder shared;
    shared.dir("arc");
    shared.file("f.arc", as_string(leaf.build()));
    shared.file("g", "");
    shared.end();
    fixture::RawArchive raw = shared.raw();
    raw.nodes[3].word1 = raw.nodes[2].word1, raw.nodes[3].word2 = raw.nodes[2].word2;
    ASSERT_TRUE(fixture::write_file(dir.sub("shared.arc"), fixture::serialize(raw)));

    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-r", "--delete", "x.bnr", "arc/banner.bin.d"}, "arc/banner.bin.d: names the archive inside arc/banner.bin"},
        {{"-r", "--rename", "x.bnr", "arc/icon.bin.d", "arc/x.d"}, "arc/icon.bin.d: names the archive inside"},
        {{"-r", "--rename", "x.bnr", "arc/banner.bin.d/arc/blyt", "arc/blyt"},
         "arc/blyt: not in the archive that holds arc/banner.bin.d/arc/blyt"},
        {{"-r", "-u", "-C", "tree", "x.bnr", "arc"}, "arc/banner.bin: both the file and the archive it holds"},
        {{"-r", "-u", "-C", "flat", "x.bnr", "arc/icon.bin.d"}, "arc/icon.bin.d: names the archive inside arc/icon.bin"},
        {{"--delete", "x.bnr", "arc/banner.bin.d/arc/blyt"}, "no entry matches 'arc/banner.bin.d/arc/blyt'"},
        {{"-C", "tree", "--delete", "x.bnr", "arc/icon.bin"}, "-C applies to -u"},
        {{"-r", "--rename", "self.arc", "arc/f.arc.d/arc/f.arc", "arc/f.arc.d/arc/g"},
         "arc/f.arc: its bytes are an archive already open on the way here"},
        {{"-r", "--delete", "shared.arc", "arc/f.arc.d/arc/leaf"}, "arc/f.arc: its bytes are shared with arc/g"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Tree before = fixture::snapshot(dir.path);
        const auto r = run_dravik(c.args, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("dravik: " + c.message, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(fixture::snapshot(dir.path), before);
    }
}

}  // namespace
