// The options of a reading run, through the built program: what each one
// writes, where, and what it refuses.
#include <gtest/gtest.h>

#include "test_support.h"
#include "archive_builder.h"

namespace {

using fixture::Builder;
using fixture::run_dravik;
using fixture::TempDir;
using fixture::Tree;

// arc/{a.txt, anim/{in.brlan, out.brlan}, timg/{logo.tpl, x.tpl}}, top.tpl
Builder sample() {
    Builder b;
    b.dir("res");
    b.file("a.txt", "text");
    b.dir("anim");
    b.file("in.brlan", "IN");
    b.file("out.brlan", "OUT");
    b.end();
    b.dir("timg");
    b.file("logo.tpl", "LOGO");
    b.file("x.tpl", "X");
    b.end();
    b.end();
    b.file("top.tpl", "TOP");
    return b;
}

std::string write_archive(const TempDir& dir, const Builder& b) {
    const std::string path = dir.sub("in.arc");
    EXPECT_TRUE(fixture::write_file(path, b.build()));
    return path;
}

// The names in a text listing, one per line, joined by spaces.
std::string listed(const std::string& out) {
    std::string names;
    for (std::size_t at = 0; (at = out.find("] ", out.find("len[", at))) != std::string::npos;) {
        const std::size_t end = out.find('\n', at);
        names += (names.empty() ? "" : " ") + out.substr(at + 2, end - at - 2);
        at = end;
    }
    return names;
}

// A small recursive check that `s` is one JSON value; enough to catch
// unescaped bytes, bad nesting and stray separators.
bool json_value(const std::string& s, std::size_t& i) {
    auto ws = [&] { while (i < s.size() && s[i] == ' ') ++i; };
    ws();
    if (i >= s.size()) return false;
    if (s[i] == '"') {
        for (++i; i < s.size() && s[i] != '"'; ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c < 0x20) return false;
            if (c == '\\') ++i;
        }
        return i++ < s.size();
    }
    if (s[i] == '{' || s[i] == '[') {
        const char close = s[i] == '{' ? '}' : ']';
        const bool object = close == '}';
        ++i;
        ws();
        if (i < s.size() && s[i] == close) return ++i, true;
        for (;;) {
            if (object && !(json_value(s, i) && (ws(), i < s.size() && s[i++] == ':'))) return false;
            if (!json_value(s, i)) return false;
            ws();
            if (i < s.size() && s[i] == ',') { ++i; continue; }
            return i < s.size() && s[i++] == close;
        }
    }
    const std::size_t start = i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i > start;
}

TEST(Options, ListOnlyQuietAndChosenFolderWriteWhatTheySay) {
    TempDir dir;
    const std::string archive = write_archive(dir, sample());
    TempDir plain;
    const auto reference = run_dravik({archive}, plain.path);
    ASSERT_EQ(reference.status, 0) << reference.err;

    TempDir work;
    const auto list = run_dravik({"-t", archive}, work.path);
    EXPECT_EQ(list.out, reference.out);
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(fixture::snapshot(work.path).empty());

    const auto quiet = run_dravik({"-q", "-C", "new/nested", archive}, work.path);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.status, 0);
    Tree expected;
    for (const auto& [path, what] : fixture::snapshot(plain.path)) expected["new/nested/" + path] = what;
    expected["new"] = expected["new/nested"] = "d";
    EXPECT_EQ(fixture::snapshot(work.path), expected);
}

TEST(Options, DirectoryKeepsHostileNamesInside) {
    Builder b;
    b.dir("arc");
    b.file("../escape", "no");
    b.dir("..");
    b.file("up.bin", "stays inside");
    b.end();
    b.end();
    TempDir dir;
    const std::string archive = write_archive(dir, b);
    TempDir work;
    const auto r = run_dravik({"--directory=dest", archive}, work.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(fixture::snapshot(work.path),
              (Tree{{"dest", "d"}, {"dest/arc", "d"},
                    {"dest/arc/up.bin", fixture::snapshot(work.path)["dest/arc/up.bin"]}}));
    EXPECT_EQ(fixture::read_file(work.sub("dest/arc/up.bin")), "stays inside");
}

TEST(Options, IncludeAndExcludeSelectByPathOrName) {
    TempDir dir;
    const std::string archive = write_archive(dir, sample());
    const struct {
        std::vector<std::string> args;
        const char* names;
    } cases[] = {
        {{}, "res a.txt anim in.brlan out.brlan timg logo.tpl x.tpl top.tpl"},
        {{"--exclude", "*.tpl"}, "res a.txt anim in.brlan out.brlan timg"},
        {{"--include", "*.tpl"}, "res timg logo.tpl x.tpl top.tpl"},
        {{"--include", "arc/anim"}, "res anim in.brlan out.brlan"},
        {{"--include", "arc/*"}, "res a.txt anim in.brlan out.brlan timg logo.tpl x.tpl"},
        {{"--include", "*/*/*.tpl"}, "res timg logo.tpl x.tpl"},
        {{"--include", "arc/*/?.tpl"}, "res timg x.tpl"},
        {{"--include", "arc", "--exclude", "anim", "--exclude", "[lx]*"}, "res a.txt timg"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-t"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(archive);
        SCOPED_TRACE(testing::PrintToString(args));
        const auto r = run_dravik(args, dir.path);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(listed(r.out), c.names);
        EXPECT_NE(r.out.find("- displaying content (10 entries):"), std::string::npos);
    }
    const auto none = run_dravik({"-t", "--include", "*/*.tpl", archive}, dir.path);  // '*' stops at '/'
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "dravik: no entry matches '*/*.tpl'\n");
}

TEST(Options, ToStdoutAndJsonCarryTheDataAndTheTree) {
    Builder b = sample();
    b.file("caf\xC3\xA9\x01\xFF", "odd name");
    TempDir dir;
    const std::string archive = write_archive(dir, b);

    const auto data = run_dravik({"-O", "--include", "*.brlan", "--include", "top.tpl", archive},
                                 dir.path);
    EXPECT_EQ(data.status, 0) << data.err;
    EXPECT_EQ(data.out, "INOUTTOP");

    TempDir work;
    const auto r = run_dravik({"--json", "-C", "out", archive}, work.path);
    // Windows cannot hold the odd name: that entry alone fails, and says so.
    const bool odd_fails = fixture::kNamesAreBytes != nullptr;
    EXPECT_EQ(r.status, odd_fails ? 1 : 0) << r.err;
    Tree from_json;
    std::size_t lines = 0;
    for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = r.out.substr(at, end - at);
        std::size_t i = 0;
        EXPECT_TRUE(json_value(line, i) && i == line.size()) << line;
        const std::size_t p = line.find("\"path\": \"");
        if (p != std::string::npos) {
            const bool odd = line.find("636166c3a901ff") != std::string::npos;
            EXPECT_NE(line.find(odd && odd_fails ? "\"status\": \"failed\"" : "\"status\": \"unpacked\""),
                      std::string::npos) << line;
            const std::size_t q = line.find('"', p + 9);
            from_json[line.substr(p + 9, q - p - 9)] = line.find("directory") != std::string::npos ? "d" : "f";
        }
        ++lines;
    }
    EXPECT_EQ(lines, 12u);  // header, 10 entries, totals
    EXPECT_EQ(r.out.rfind("{\"archive\": ", 0), 0u);
    EXPECT_NE(r.out.find("\"name_hex\": \"636166c3a901ff\""), std::string::npos);
    EXPECT_NE(r.out.find(odd_fails ? "{\"entries\": 10, \"failed\": 1}\n" : "{\"entries\": 10, \"failed\": 0}\n"),
              std::string::npos);
    Tree on_disk;
    for (const auto& [path, what] : fixture::snapshot(work.sub("out")))
        on_disk[path] = what == "d" ? "d" : "f";
    on_disk.erase("caf\xC3\xA9\x01\xFF");
    from_json.erase("caf\xEF\xBF\xBD\\u0001\xEF\xBF\xBD");
    from_json.erase("caf\xC3\xA9\\u0001\xEF\xBF\xBD");
    EXPECT_EQ(from_json, on_disk);
}

TEST(Options, UsageErrorsWriteNothing) {
    TempDir dir;
    const std::string archive = write_archive(dir, sample());
    const std::vector<std::vector<std::string>> bad = {
        {"-x", archive},           {"--bogus", archive},        {"-C"},
        {"--include"},             {"-O", "-C", "d", archive},  {"-O", "--json", archive},
        {"-t", "-c", archive},     {"--level", "max", "--compress", archive, "o"},
        {"-C", "in.arc", archive}, {"-t"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(testing::PrintToString(args));
        const auto r = run_dravik(args, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(fixture::snapshot(dir.path).size(), 1u);  // the archive alone
    }
}

}  // namespace
