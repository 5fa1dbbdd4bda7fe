#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "dravik/archive.h"
#include "sha256.h"
#include "archive_builder.h"

namespace fixture {

namespace fs = std::filesystem;

namespace {

// "d", "f <size> <sha256>" or "l <target>", as snapshot() records entries.
std::string describe(const fs::directory_entry& entry) {
    if (entry.is_symlink()) return "l " + fs::read_symlink(entry.path()).string();
    if (entry.is_directory()) return "d";
    return digest(read_file(entry.path().string()));
}

// Every entry below `root` described, by relative path; `skip` (when given)
// is neither described nor descended into.
Tree describe_below(const std::string& root, const char* skip) {
    Tree tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(root).generic_string();
        if (skip && rel == skip) {
            it.disable_recursion_pending();
            continue;
        }
        tree[rel] = describe(*it);
    }
    return tree;
}

}  // namespace

std::string digest(const std::string& data) {
    return "f " + std::to_string(data.size()) + " " + sha256_hex(data);
}

Sandbox::Sandbox() {
    fs::create_directory(work);
    fs::create_directory(top.sub("outside"));
    write_file(top.sub("outside/sentinel"), {'o', 'k'});
}

RunResult Sandbox::run(const std::vector<std::uint8_t>& bytes, const RunOptions& options,
                       const std::vector<std::string>& flags) {
    write_file(archive, bytes);
    const Tree before = outside();
    std::vector<std::string> args = flags;
    args.push_back(archive);
    RunResult r = run_dravik(args, work, options);
    EXPECT_EQ(outside(), before) << "something changed outside the starting folder";
    return r;
}

Tree Sandbox::outside() const { return describe_below(top.path, "work"); }

Tree Sandbox::result() const { return snapshot(work); }

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string u8_layer(const std::string& path) {
    dravik::OpenStatus status;
    auto h = dravik::archive_open(path.c_str(), &status);
    if (!h) return "(unreadable)";
    if (status.notices) return "(bad checksum)";
    std::string bytes(static_cast<std::size_t>(dravik::archive_size(*h)), '\0');
    dravik::archive_read_bytes(*h, 0, bytes.data(), bytes.size());
    return bytes;
}

std::vector<std::string> corpus_archives() {
    std::ifstream tsv(std::string(DRAVIK_CORPUS_DIR) + "/EXPECTED.tsv");
    std::set<std::string> names;
    for (std::string line; std::getline(tsv, line);)
        if (line.find('\t') != std::string::npos && line.rfind("archive\t", 0) != 0)
            names.insert(line.substr(0, line.find('\t')));
    return std::vector<std::string>(names.begin(), names.end());
}

std::map<std::string, std::string> snapshot(const std::string& root) {
    return describe_below(root, nullptr);
}

Tree without(Tree tree, const std::string& path) {
    for (auto it = tree.begin(); it != tree.end();)
        it = it->first == path || it->first.rfind(path + "/", 0) == 0 ? tree.erase(it) : std::next(it);
    return tree;
}

Tree moved(const Tree& tree, const std::string& from, const std::string& to) {
    Tree out = without(tree, from);
    for (const auto& [path, what] : tree)
        if (path == from || path.rfind(from + "/", 0) == 0) out[to + path.substr(from.size())] = what;
    return out;
}

}  // namespace fixture
