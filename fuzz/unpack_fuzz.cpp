// Fuzz target: the whole listing and unpacking, in-process, on arbitrary
// bytes. Each input unpacks into a fresh "work" directory beside a sentinel
// file; afterwards the sentinel must be untouched, nothing may have appeared
// beside "work", the exit status must be 0 or 1, a run that told of any
// failure on its diagnostics stream must not have exited 0, and no entry
// may fail for want of a descriptor.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <dirent.h>

#include "program/cli.h"
#include "lib/u8/u8_read.h"
#include "fuzz_check.h"
#include "remove_tree.h"

namespace {

constexpr char kSentinelText[] = "sentinel: must never change";

struct Sandbox {
    std::string top;       // holds "work" and "sentinel", nothing else
    std::string work;
    std::string sentinel;
    struct stat sentinel_stat {};
    int home = -1;         // the working directory to come back to
    std::FILE* out = nullptr;
    std::FILE* err = nullptr;

    Sandbox() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/dravik-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        top = pattern;
        work = top + "/work";
        sentinel = top + "/sentinel";
        std::FILE* f = std::fopen(sentinel.c_str(), "wb");
        FUZZ_CHECK(f != nullptr);
        std::fputs(kSentinelText, f);
        std::fclose(f);
        FUZZ_CHECK(::lstat(sentinel.c_str(), &sentinel_stat) == 0);
        // With few descriptors to spare, only a handful of directory levels
        // stay open and shallow inputs already walk back down to released ones.
        struct rlimit limit;
        FUZZ_CHECK(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        limit.rlim_cur = 64;
        FUZZ_CHECK(::setrlimit(RLIMIT_NOFILE, &limit) == 0);
        home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        FUZZ_CHECK(home >= 0);
        out = std::tmpfile();
        err = std::tmpfile();
        FUZZ_CHECK(out && err);
    }

    ~Sandbox() {
        fixture::remove_tree(top);
        std::fclose(out);
        std::fclose(err);
        ::close(home);
    }

    void check_outside() const {
        std::set<std::string> names;
        DIR* d = ::opendir(top.c_str());
        FUZZ_CHECK(d != nullptr);
        while (dirent* e = ::readdir(d)) names.insert(e->d_name);
        ::closedir(d);
        FUZZ_CHECK((names == std::set<std::string>{".", "..", "work", "sentinel"}));
        struct stat now;
        FUZZ_CHECK(::lstat(sentinel.c_str(), &now) == 0);
        FUZZ_CHECK(S_ISREG(now.st_mode) && now.st_ino == sentinel_stat.st_ino &&
                   now.st_size == sentinel_stat.st_size && now.st_nlink == 1 &&
                   now.st_mtim.tv_sec == sentinel_stat.st_mtim.tv_sec &&
                   now.st_mtim.tv_nsec == sentinel_stat.st_mtim.tv_nsec);
        std::FILE* f = std::fopen(sentinel.c_str(), "rb");
        FUZZ_CHECK(f != nullptr);
        char text[sizeof kSentinelText + 1] = {};
        const std::size_t got = std::fread(text, 1, sizeof text, f);
        std::fclose(f);
        FUZZ_CHECK(got == sizeof kSentinelText - 1 && std::strcmp(text, kSentinelText) == 0);
    }
};

// Rewinds and empties a capture file; returns its descriptor.
int fresh(std::FILE* f) {
    const int fd = ::fileno(f);
    FUZZ_CHECK(::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0);
    return fd;
}

long long length(std::FILE* f) {
    struct stat st;
    FUZZ_CHECK(::fstat(::fileno(f), &st) == 0);
    return st.st_size;
}

std::string tail(std::FILE* f, std::size_t n) {
    const long long size = length(f);
    const long long from = size > static_cast<long long>(n) ? size - static_cast<long long>(n) : 0;
    std::string s(static_cast<std::size_t>(size - from), '\0');
    FUZZ_CHECK(::pread(::fileno(f), s.data(), s.size(), from) == static_cast<ssize_t>(s.size()));
    return s;
}

std::string contents(std::FILE* f) { return tail(f, static_cast<std::size_t>(length(f))); }

bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Whether a diagnostic line gives EMFILE as its reason. The reason ends the
// line, after the entry's name, and a name cannot end a line (its newlines
// are escaped), so only the end of each line is looked at: a name may well
// hold the same words.
bool told_of_no_descriptors(const std::string& err) {
    const std::string reason = std::strerror(EMFILE);
    std::size_t start = 0;
    for (std::size_t end; (end = err.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = err.substr(start, end - start);
        if (ends_with(line, ": " + reason) ||
            ends_with(line, ": " + reason + "; its contents go to the enclosing directory"))
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Sandbox box;
    FUZZ_CHECK(::mkdir(box.work.c_str(), 0777) == 0);
    FUZZ_CHECK(::chdir(box.work.c_str()) == 0);

    dravik::Console out;
    out.fd = fresh(box.out);
    out.error_fd = fresh(box.err);
    dravik::OpenStatus status;
    dravik::ArchivePtr handle = dravik::archive_open_memory(data, size, &status);
    int exit_status = 1;
    if (handle) exit_status = dravik::list_and_unpack(handle, "fuzz.arc", status, out);
    FUZZ_CHECK(!handle);  // released on every path

    FUZZ_CHECK(::fchdir(box.home) == 0);
    FUZZ_CHECK(exit_status == 0 || exit_status == 1);
    if (exit_status == 0) {
        // Success may come with warnings (a checksum that does not match),
        // never with a failure.
        const std::string err = contents(box.err);
        for (std::size_t at = 0; at < err.size();) {
            FUZZ_CHECK(err.compare(at, 17, "dravik: warning: ") == 0);
            const std::size_t end = err.find('\n', at);
            FUZZ_CHECK(end != std::string::npos);
            at = end + 1;
        }
        static const std::string kEnd = "\n- end of archive.\n";
        FUZZ_CHECK(tail(box.out, kEnd.size()) == kEnd);
    }
    // However deep the input nests, the unpack keeps descriptors in hand
    // for its files: it never runs out of them under this limit.
    FUZZ_CHECK(!told_of_no_descriptors(contents(box.err)));
    box.check_outside();
    FUZZ_CHECK(fixture::remove_tree(box.work));
    return 0;
}
