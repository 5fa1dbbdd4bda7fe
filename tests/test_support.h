// Running the built program and looking at what it left on disk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fixture {

struct RunResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

struct RunOptions {
    long long file_size_limit = -1;  // RLIMIT_FSIZE for the child, when >= 0
    long long open_files_limit = -1; // RLIMIT_NOFILE for the child, when >= 0
    long long address_space_limit = -1;  // RLIMIT_AS for the child, when >= 0
    bool close_standard_streams = false;  // start it with 0, 1 and 2 closed
};

// Runs the built dravik with `args` in directory `cwd`.
RunResult run_dravik(const std::vector<std::string>& args, const std::string& cwd,
                     const RunOptions& options = {});

// A fresh directory removed (without following links) at the end of scope.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string sub(const std::string& name) const { return path + "/" + name; }
};

using Tree = std::map<std::string, std::string>;

// A sandbox: the archive and a sentinel live beside "work", the folder the
// run starts in; everything outside "work" must stay exactly as it was.
struct Sandbox {
    TempDir top;
    std::string work = top.sub("work");
    std::string archive = top.sub("input.arc");

    Sandbox();
    // Writes `bytes` as the archive, runs dravik on it in "work", and fails
    // the current test if anything outside "work" changed.
    RunResult run(const std::vector<std::uint8_t>& bytes, const RunOptions& options = {});
    // Everything but "work", which is not descended into (it may be too
    // deep for whole paths).
    Tree outside() const;
    Tree result() const;
};

std::string read_file(const std::string& path);
bool exists(const std::string& path);  // without following a final symbolic link

// Every entry below `root`, by relative path: "d" for a directory,
// "f <size> <sha256>" for a file, "l <target>" for a symbolic link.
std::map<std::string, std::string> snapshot(const std::string& root);

}  // namespace fixture
