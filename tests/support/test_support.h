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

// The limits apply where the system has them (kNoLimits says why not);
// without them the run holds at most 256 directories open anyway.
struct RunOptions {
    long long file_size_limit = -1;  // RLIMIT_FSIZE for the child, when >= 0
    long long open_files_limit = -1; // RLIMIT_NOFILE for the child, when >= 0
    long long address_space_limit = -1;  // RLIMIT_AS for the child, when >= 0
    bool close_standard_streams = false;  // start it with 0, 1 and 2 closed
    // Windows: the console the child runs in. `shared`: one the tests hold,
    // as a command typed in a console window runs; `own`: a new one, as
    // Explorer starts a program. Elsewhere there are none and this is ignored.
    enum class Console { inherited, shared, own } console = Console::inherited;
};

// Runs the built dravik with `args` in directory `cwd`.
RunResult run_dravik(const std::vector<std::string>& args, const std::string& cwd,
                     const RunOptions& options = {});

// Why this platform cannot run a test that needs something; nullptr where it
// can. Tests skip with the reason.
extern const char* const kNoSymlinks;    // symbolic links made by an unprivileged user
extern const char* const kNoLimits;      // limits on a child's file size or descriptors
extern const char* const kNamesAreBytes; // any byte but '/' and NUL is a legal name

bool make_symlink(const std::string& target, const std::string& path);
bool make_fifo(const std::string& path);
// Runs dravik on `archive` in `cwd` on a terminal and returns what reached it.
std::string run_on_terminal(const std::string& archive, const std::string& cwd);

// A run of dravik that the test interrupts as a user would (SIGTERM, or
// Ctrl-Break on Windows) and then waits for. `program` is the shipped
// build or DRAVIK_TEST_HOOKS_BINARY, the one that takes the test hook.
struct Started {
    long long id = -1;         // the process id
    void* process = nullptr;   // its handle, where the system has one
};
Started start_dravik(const std::vector<std::string>& args, const std::string& cwd,
                     const char* program = DRAVIK_BINARY);
void interrupt_and_wait(Started& run);

// Runs `body` in a child process whose files may grow to `file_size_limit`
// bytes, and returns its exit status (-1 where there is no such limit).
int exit_status_with_file_limit(long long file_size_limit, int (*body)(void*), void* context);

// The number of "d" directories chained below `dir` (followed one open
// handle at a time, so any depth works), and in `leaves` how many of those
// levels, `dir` included, hold a file named `leaf`.
std::size_t chain_depth(const std::string& dir, const char* leaf, std::size_t* leaves);

// Opens a file for reading, or creates a new one for writing, as the
// platform's descriptors that the disk seam takes.
int open_for_reading(const std::string& path);
int create_for_writing(const std::string& path);

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
    // Writes `bytes` as the archive, runs dravik on it in "work" (with
    // `flags` before it), and fails the current test if anything outside
    // "work" changed.
    RunResult run(const std::vector<std::uint8_t>& bytes, const RunOptions& options = {},
                  const std::vector<std::string>& flags = {});
    // Everything but "work", which is not descended into (it may be too
    // deep for whole paths).
    Tree outside() const;
    Tree result() const;
};

std::string read_file(const std::string& path);
// The bare U8 archive inside a file, whatever carriers wrap it, when their
// checksums hold; else "(unreadable)" or "(bad checksum)".
std::string u8_layer(const std::string& path);
// The corpus archives' names, relative to DRAVIK_CORPUS_DIR; empty when
// there is no corpus.
std::vector<std::string> corpus_archives();
bool exists(const std::string& path);  // without following a final symbolic link

// Every entry below `root`, by relative path: "d" for a directory,
// "f <size> <sha256>" for a file, "l <target>" for a symbolic link.
std::map<std::string, std::string> snapshot(const std::string& root);
// How snapshot() describes a file holding `data`.
std::string digest(const std::string& data);
// `tree` without `path` and everything below it; with `from` and what is
// below it moved to `to`.
Tree without(Tree tree, const std::string& path);
Tree moved(const Tree& tree, const std::string& from, const std::string& to);

}  // namespace fixture
