#include "remove_tree.h"

#include <filesystem>
#include <system_error>

namespace fixture {

// The long-path prefix lets whole paths reach 32767 characters; remove_all
// does not follow junctions.
bool remove_tree(const std::string& path) {
    namespace fs = std::filesystem;
    if (path.empty()) return true;
    std::error_code ec;
    fs::remove_all(L"\\\\?\\" + fs::absolute(fs::path(path)).make_preferred().wstring(), ec);
    return !ec;
}

}  // namespace fixture
