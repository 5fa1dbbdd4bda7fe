#include "remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace fixture {

namespace {

// Empties the current directory of everything but directories, and returns
// the name of one directory left in it ("" when none is).
bool clear_files(std::string* subdirectory) {
    subdirectory->clear();
    DIR* d = ::opendir(".");
    if (!d) return false;
    std::vector<std::string> files;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::lstat(name.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            *subdirectory = name;
            break;
        }
        files.push_back(name);
    }
    ::closedir(d);
    bool ok = true;
    for (const std::string& name : files) ok = ::unlink(name.c_str()) == 0 && ok;
    return ok;
}

}  // namespace

bool remove_tree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;

    const int home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home < 0) return false;
    ::chmod(path.c_str(), S_IRWXU);  // a test may have taken permissions away
    bool ok = ::chdir(path.c_str()) == 0;
    std::vector<std::string> entered;  // the directories below `path`, outermost first
    while (ok) {
        std::string sub;
        if (!clear_files(&sub)) ok = false;
        if (!sub.empty()) {
            ::chmod(sub.c_str(), S_IRWXU);
            if (::chdir(sub.c_str()) != 0) {
                ok = false;
                break;
            }
            entered.push_back(sub);
            continue;
        }
        if (entered.empty()) break;
        // Anything left behind would bring the walk back here for ever.
        if (::chdir("..") != 0 || ::rmdir(entered.back().c_str()) != 0) {
            ok = false;
            break;
        }
        entered.pop_back();
    }
    if (::fchdir(home) != 0) ok = false;
    ::close(home);
    return ::rmdir(path.c_str()) == 0 && ok;
}

}  // namespace fixture
