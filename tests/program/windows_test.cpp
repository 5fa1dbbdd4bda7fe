// What only Windows has: junctions, short names, case-blind names, MAX_PATH,
// and files held open by other programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstring>
#include <fstream>

#include "lib/platform/platform_win.h"
#include "test_support.h"
#include "archive_builder.h"

#include <winioctl.h>

namespace {

namespace fs = std::filesystem;
using fixture::Builder;
using fixture::Sandbox;
using fixture::Tree;

using fixture::digest;

std::wstring long_path(const std::string& path) {
    return L"\\\\?\\" + fs::absolute(fs::path(path)).make_preferred().wstring();
}

// A junction (mount point) at `link` to the directory `target`.
bool make_junction(const std::string& link, const std::string& target) {
    if (!fs::create_directory(link)) return false;
    HANDLE h = ::CreateFileW(long_path(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const std::wstring nt = L"\\??\\" + fs::absolute(fs::path(target)).make_preferred().wstring();
    const auto bytes = static_cast<USHORT>(nt.size() * sizeof(wchar_t));
    // The mount-point record: tag, sizes, then the substitute and print names.
    std::vector<unsigned char> buffer(8 + 8 + bytes + 2 + 2);
    auto put16 = [&](std::size_t at, USHORT v) { std::memcpy(&buffer[at], &v, 2); };
    const ULONG tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &tag, 4);
    put16(4, static_cast<USHORT>(buffer.size() - 8));
    put16(8, 0);                                  // substitute name at 0
    put16(10, bytes);                             // its length
    put16(12, static_cast<USHORT>(bytes + 2));    // print name after it, empty
    put16(14, 0);
    std::memcpy(&buffer[16], nt.data(), bytes);
    DWORD done = 0;
    const bool ok = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), nullptr, 0, &done, nullptr);
    ::CloseHandle(h);
    return ok;
}

// Paths typed for an edit may use the system's separator; entry paths use
// '/', and what changed is told with '/'.
TEST(Windows, EditPathsTakeBackslashes) {
    fixture::TempDir dir;
    Builder b;
    b.dir("arc");
    b.dir("timg");
    b.file("a.tpl", "a");
    b.end();
    b.end();
    ASSERT_TRUE(fixture::write_file(dir.sub("x.arc"), b.build()));
    fs::create_directories(fs::u8path(dir.sub("mod/arc/timg")));
    std::ofstream(fs::u8path(dir.sub("mod/arc/timg/a.tpl")), std::ios::binary) << "new";
    const struct {
        std::vector<std::string> args;
        std::string told;
    } cases[] = {
        {{"-n", "-u", "-C", "mod", "x.arc", "arc\\timg\\a.tpl"}, "M arc/timg/a.tpl\n"},
        {{"-n", "--delete", "x.arc", "arc\\timg\\*.tpl"}, "D arc/timg/a.tpl\n"},
        {{"-n", "--rename", "x.arc", "arc\\timg\\a.tpl", "arc\\b.tpl"}, "R arc/timg/a.tpl -> arc/b.tpl\n"},
    };
    for (const auto& c : cases) {
        const fixture::RunResult r = fixture::run_dravik(c.args, dir.path);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.told);
    }
}

TEST(Windows, AJunctionInTheDestinationIsNeverEntered) {
    Sandbox box;
    fs::create_directory(box.work + "/arc");
    if (!make_junction(box.work + "/arc/linkdir", box.top.sub("outside")))
        GTEST_SKIP() << "this system cannot make junctions";
    Builder b;
    b.dir("arc");
    b.dir("linkdir");
    b.file("through.bin", "must not reach outside");
    b.end();
    b.end();
    const fixture::RunResult r = box.run(b.build());  // checks that outside is unchanged
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dravik: linkdir: is a symbolic link, not entered"), std::string::npos) << r.err;
    EXPECT_EQ(fixture::read_file(box.work + "/arc/through.bin"), "must not reach outside");
}

TEST(Windows, ANameDifferingOnlyInCaseIsTheSamePath) {
    Builder b;
    b.dir("arc");
    b.file("A.bin", "upper");
    b.file("a.bin", "lower");
    b.end();
    Sandbox box;
    const fixture::RunResult r = box.run(b.build());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dravik: a.bin: same path as an earlier entry"), std::string::npos) << r.err;
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/A.bin", digest("upper")}}));

    // The same through two folders that are one on disk.
    Builder folders;
    folders.dir("arc");
    folders.dir("Sub");
    folders.file("x", "first");
    folders.end();
    folders.dir("sub");
    folders.file("x", "second");
    folders.end();
    folders.end();
    Sandbox again;
    const fixture::RunResult twice = again.run(folders.build());
    EXPECT_EQ(twice.status, 1);
    EXPECT_NE(twice.err.find("dravik: x: same path as an earlier entry"), std::string::npos) << twice.err;
    EXPECT_EQ(again.result(), (Tree{{"arc", "d"}, {"arc/Sub", "d"}, {"arc/Sub/x", digest("first")}}));
}

// A refused folder's entries land in the enclosing one, and --json says so:
// every path reported as unpacked is where the file is.
TEST(Windows, APathReportedUnpackedIsWhereTheFileIs) {
    Builder b;
    b.dir("top");
    b.dir("CON");
    b.file("x.bin", "inside");
    b.end();
    b.file("after", "after");
    b.end();
    Sandbox box;
    ASSERT_TRUE(fixture::write_file(box.archive, b.build()));
    const fixture::RunResult r = fixture::run_dravik({"--json", box.archive}, box.work);
    EXPECT_EQ(r.status, 1);
    for (const char* line : {"\"path\": \"arc/CON\", \"offset\": 1, \"size\": 4, \"status\": \"failed\"",
                             "\"path\": \"arc/x.bin\"", "\"path\": \"arc/after\""})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("arc/CON/"), std::string::npos) << r.out;
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/x.bin", digest("inside")}, {"arc/after", digest("after")}}));
}

TEST(Windows, AShortNameNeverReachesTheLongNamedEntry) {
    Sandbox box;
    fs::create_directory(box.work + "/arc");
    const std::string long_name = "a rather long file name.data";
    ASSERT_TRUE(fixture::write_file(box.work + "/arc/" + long_name, {'o', 'l', 'd'}));
    wchar_t short_path[MAX_PATH];
    const std::wstring full = fs::absolute(box.work + "/arc/" + long_name).make_preferred().wstring();
    const DWORD n = ::GetShortPathNameW(full.c_str(), short_path, MAX_PATH);
    const std::string short_name =
        fs::path(std::wstring(short_path, n < MAX_PATH ? n : 0)).filename().string();
    if (short_name.empty() || short_name == long_name) GTEST_SKIP() << "this volume makes no short names";
    Builder b;
    b.dir("arc");
    b.file(short_name, "new");
    b.end();
    const fixture::RunResult r = box.run(b.build());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(short_name + ": is the short name of another entry"), std::string::npos) << r.err;
    EXPECT_EQ(fixture::read_file(box.work + "/arc/" + long_name), "old");
}

TEST(Windows, PathsPastMaxPathUnpack) {
    const std::string part(60, 'p');
    Builder b;
    b.dir("arc");
    for (int i = 0; i < 6; ++i) b.dir(part + std::to_string(i));
    b.file("deep.bin", "deep");
    for (int i = 0; i < 7; ++i) b.end();
    Sandbox box;
    const fixture::RunResult r = box.run(b.build());
    EXPECT_EQ(r.status, 0) << r.err;
    std::string path = box.work + "/arc";
    for (int i = 0; i < 6; ++i) path += "/" + part + std::to_string(i);
    path += "/deep.bin";
    ASSERT_GT(fs::absolute(path).wstring().size(), 300u);  // well past MAX_PATH (260)
    std::ifstream in(fs::path(long_path(path)), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "deep");
}

TEST(Windows, AReplaceThatFailsKeepsTheOldFileAndLeavesNoPart) {
    Sandbox box;
    fs::create_directory(box.work + "/arc");
    ASSERT_TRUE(fixture::write_file(box.work + "/arc/held.bin", {'o', 'l', 'd'}));
    // Another program holds it open without letting it be deleted or
    // renamed over.
    HANDLE held = ::CreateFileW(long_path(box.work + "/arc/held.bin").c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Builder b;
    b.dir("arc");
    b.file("held.bin", "new content");
    b.file("after.bin", "after");
    b.end();
    const fixture::RunResult r = box.run(b.build());
    ::CloseHandle(held);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dravik: held.bin: cannot replace the existing file"), std::string::npos) << r.err;
    EXPECT_EQ(box.result(), (Tree{{"arc", "d"}, {"arc/held.bin", digest("old")},
                                  {"arc/after.bin", digest("after")}}));
}

// Ctrl-C while a file is being created, before it is guarded (the test
// hook holds the run there), still removes it; an old file stays.
TEST(Windows, CtrlCInTheCreateWindowLeavesNoFile) {
    Builder b;
    b.file("x", "new content");
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "existing" : "new");
        Sandbox box;
        fixture::write_file(box.archive, b.build());
        if (existing) fixture::write_file(box.work + "/x", {'o', 'l', 'd'});
        ::SetEnvironmentVariableW(L"DRAVIK_TEST_CREATE_PAUSE_MS", L"3000");
        fixture::Started run = fixture::start_dravik({box.archive}, box.work, DRAVIK_TEST_HOOKS_BINARY);
        ::SetEnvironmentVariableW(L"DRAVIK_TEST_CREATE_PAUSE_MS", nullptr);
        const std::size_t before = existing ? 1 : 0;
        for (int waited = 0; waited < 1000; ++waited) {  // the file appears, then the run waits
            std::size_t entries = 0;
            for (const auto& entry : fs::directory_iterator(box.work)) entries += entry.is_regular_file();
            if (entries > before) break;
            ::Sleep(10);
        }
        fixture::interrupt_and_wait(run);
        const Tree expected = existing ? Tree{{"x", digest("old")}} : Tree{};
        EXPECT_EQ(box.result(), expected);
    }
}

fixture::RunResult run_alone(const std::string& path, const Sandbox& box, fixture::RunOptions::Console console) {
    fixture::RunOptions options;
    options.console = console;
    // As Explorer gives it: the whole path, with backslashes.
    return fixture::run_dravik({fs::path(path).make_preferred().string()}, box.work, options);
}

// Typed in a console window (the tests' own), `dravik ARCHIVE` unpacks into
// the current folder, with no word more. Started in a console of its own,
// as Explorer starts it for a drop, the same command unpacks the archive
// beside itself into NAME.d, that folder packs back into a new file beside
// it, never over one, and anything else is explained.
TEST(Windows, ADropActsBesideThePathAndATypedCommandAsEver) {
    using Console = fixture::RunOptions::Console;
    const std::string sample = fixture::read_file(DRAVIK_SOURCE_DIR "/samples/sample.arc");
    const std::vector<std::uint8_t> bytes(sample.begin(), sample.end());
    Sandbox box;
    ASSERT_TRUE(fixture::write_file(box.archive, bytes));
    const fixture::RunResult typed = run_alone(box.archive, box, Console::shared);
    DWORD ids[4];
    ASSERT_GE(::GetConsoleProcessList(ids, 4), 1u) << "the tests hold no console to share";
    EXPECT_EQ(typed.status, 0) << typed.err;
    EXPECT_EQ(typed.out.rfind("\n- end of archive.\n"), typed.out.size() - 19) << typed.out;
    EXPECT_EQ(typed.err, "");
    const Tree unpacked = box.result();
    ASSERT_NE(unpacked, Tree{});
    for (const auto& names : std::vector<std::vector<std::string>>{
             {"course.arc", "course.new.arc", "course.new2.arc"}, {"noext", "noext.new", "noext.new2"}}) {
        SCOPED_TRACE(names[0]);
        const std::string original = box.top.sub(names[0]);
        ASSERT_TRUE(fixture::write_file(original, bytes));
        const fixture::RunResult r = run_alone(original, box, Console::own);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("- unpacked into " + original + ".d\n"), std::string::npos) << r.out;
        EXPECT_EQ(fixture::snapshot(original + ".d"), unpacked);
        for (std::size_t k = 1; k <= 2; ++k) {
            EXPECT_EQ(run_alone(original + ".d", box, Console::own).status, 0);
            EXPECT_EQ(fixture::read_file(box.top.sub(names[k])), sample);
        }
        const std::string again = run_alone(original, box, Console::own).err;  // never merged into
        EXPECT_NE(again.find(".d: exists and is not empty"), std::string::npos) << again;
    }
    fs::create_directory(box.top.sub("lonely.d"));
    const Tree before = box.outside();
    for (const char* folder : {"outside", "lonely.d"}) {
        const fixture::RunResult r = run_alone(box.top.sub(folder), box, Console::own);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("dravik: drop an archive (course.szs) on dravik.exe"), std::string::npos) << r.err;
    }
    EXPECT_EQ(box.outside(), before);
    EXPECT_EQ(box.result(), unpacked);  // the current folder: the typed run's alone
}

}  // namespace
