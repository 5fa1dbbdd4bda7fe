// Running the program and looking at the disk, with Windows calls.
#include "test_support.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "lib/platform/platform_win.h"
#include "remove_tree.h"

namespace fixture {

namespace fs = std::filesystem;

const char* const kNoSymlinks =
    "Windows has no POSIX symbolic links for an unprivileged user; junctions are tested instead";
const char* const kNoLimits = "Windows has no per-process limits on file size or open handles";
const char* const kNamesAreBytes =
    "Windows refuses control characters, ':' and names that are not UTF-8; WindowsNames covers them";

namespace {

std::wstring wide(const std::string& text) {
    std::wstring w;
    dravik::win::utf8_to_wide(text.c_str(), &w);
    return w;
}

// One argument as the C runtime of the child will split it again.
void append_quoted(std::wstring& line, const std::wstring& arg) {
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

HANDLE inheritable_file(const std::wstring& path, bool create) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileW(path.c_str(), create ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                         create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

PROCESS_INFORMATION launch(const std::vector<std::string>& args, const std::string& cwd, HANDLE in,
                           HANDLE out, HANDLE err, DWORD flags, const char* program_path = DRAVIK_BINARY) {
    std::wstring line;
    append_quoted(line, wide(program_path));
    for (const std::string& a : args) {
        line += L' ';
        append_quoted(line, wide(a));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    const std::wstring program = wide(program_path);
    const std::wstring directory = wide(cwd);
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                          directory.c_str(), &startup, &info))
        info.hProcess = nullptr;
    return info;
}

std::atomic<unsigned> g_serial{0};

// A console of the tests' own (a process started without a terminal has
// none), for children to share: Ctrl-C travels on it, and a child attached
// to it does not own its console.
bool hold_console() {
    static const bool console = [] {
        ::FreeConsole();
        return ::AllocConsole() != 0;
    }();
    return console;
}

std::string fresh_name(const char* what) {
    return (fs::temp_directory_path() / (std::string("dravik-") + what + "-" +
                                         std::to_string(::GetCurrentProcessId()) + "-" +
                                         std::to_string(g_serial++)))
        .string();
}

}  // namespace

bool make_symlink(const std::string&, const std::string&) { return false; }
bool make_fifo(const std::string&) { return false; }
// Tests that need a terminal are about names Windows refuses anyway.
std::string run_on_terminal(const std::string&, const std::string&) { return std::string(); }

RunResult run_dravik(const std::vector<std::string>& args, const std::string& cwd,
                     const RunOptions& options) {
    RunResult result;
    const std::string out_path = fresh_name("out");
    const std::string err_path = fresh_name("err");
    HANDLE null = inheritable_file(L"NUL", false);
    HANDLE out = inheritable_file(wide(out_path), true);
    HANDLE err = inheritable_file(wide(err_path), true);
    PROCESS_INFORMATION child{};
    DWORD error = 0;
    // Wine now and then fails a process start under load; a second try is
    // not a second run, as nothing has started.
    const DWORD flags = options.console == RunOptions::Console::own ? CREATE_NEW_CONSOLE : 0;
    const bool console = options.console != RunOptions::Console::shared || hold_console();
    for (int attempt = 0; console && attempt < 3 && !child.hProcess; ++attempt) {
        if (attempt > 0) ::Sleep(200);
        child = options.close_standard_streams ? launch(args, cwd, nullptr, nullptr, nullptr, flags)
                                               : launch(args, cwd, null, out, err, flags);
        error = ::GetLastError();
    }
    ::CloseHandle(null);
    ::CloseHandle(out);
    ::CloseHandle(err);
    if (child.hProcess) {
        ::WaitForSingleObject(child.hProcess, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(child.hProcess, &code);
        result.status = static_cast<int>(code);
        ::CloseHandle(child.hProcess);
        ::CloseHandle(child.hThread);
    }
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    if (result.status == -1)
        result.err += console ? "CreateProcess failed: error " + std::to_string(error) + "\n"
                              : std::string("no console to share with the child\n");
    std::error_code ec;
    fs::remove(out_path, ec);
    fs::remove(err_path, ec);
    return result;
}

Started start_dravik(const std::vector<std::string>& args, const std::string& cwd,
                     const char* program) {
    Started run;
    if (!hold_console()) return run;
    HANDLE null = inheritable_file(L"NUL", false);
    HANDLE sink = inheritable_file(L"NUL", true);
    PROCESS_INFORMATION child = launch(args, cwd, null, sink, sink, 0, program);
    ::CloseHandle(null);
    ::CloseHandle(sink);
    if (child.hProcess) {
        ::CloseHandle(child.hThread);
        run.id = child.dwProcessId;
        run.process = child.hProcess;
        // Starting a process takes far longer than the test's delays (much
        // longer under Wine); an interrupt sent before the child is attached
        // to the console would never reach it.
        ::Sleep(500);
    }
    return run;
}

void interrupt_and_wait(Started& run) {
    if (!run.process) return;
    ::SetConsoleCtrlHandler(nullptr, TRUE);  // Ctrl-C for the child, not the tests
    ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    ::WaitForSingleObject(run.process, INFINITE);
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::CloseHandle(run.process);
    run.process = nullptr;
}

int exit_status_with_file_limit(long long, int (*)(void*), void*) { return -1; }

std::size_t chain_depth(const std::string& dir, const char* leaf, std::size_t* leaves) {
    // Whole paths with the long-path prefix reach 32767 characters.
    std::wstring path = L"\\\\?\\" + fs::absolute(fs::path(dir)).make_preferred().wstring();
    const std::wstring leaf_name = wide(leaf);
    std::size_t depth = 0;
    *leaves = 0;
    for (;;) {
        const DWORD leaf_attributes = ::GetFileAttributesW((path + L"\\" + leaf_name).c_str());
        if (leaf_attributes != INVALID_FILE_ATTRIBUTES && !(leaf_attributes & FILE_ATTRIBUTE_DIRECTORY))
            ++*leaves;
        path += L"\\d";
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) break;
        ++depth;
    }
    return depth;
}

int open_for_reading(const std::string& path) { return ::_open(path.c_str(), _O_RDONLY | _O_BINARY); }

int create_for_writing(const std::string& path) {
    return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, 0666);
}

TempDir::TempDir() {
    // Only a folder made here and now will do: process ids repeat (under
    // Wine, from one session to the next) and a folder left over from an
    // earlier run must never be taken. Without one, a test cannot run
    // safely at all.
    for (int attempt = 0; attempt < 1000 && path.empty(); ++attempt) {
        const std::string name = fresh_name(("test-" + std::to_string(::GetTickCount64())).c_str());
        std::error_code ec;
        if (fs::create_directory(name, ec)) path = fs::path(name).generic_string();
    }
    if (path.empty()) std::abort();
}

TempDir::~TempDir() { remove_tree(path); }

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

}  // namespace fixture
