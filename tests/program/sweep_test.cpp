// Damage swept over one valid archive: cut at every length, every byte of
// its header and table changed several ways, every word of them set to the
// values that break arithmetic. Each case runs the whole program in a
// sandbox and must end cleanly: exit status 0 or 1 (never a signal),
// nothing changed outside the starting folder, no status 0 after any
// failure was told, and no file on disk that is not whole.
#include <gtest/gtest.h>

#include <filesystem>

#include "remove_tree.h"
#include "test_support.h"
#include "archive_builder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

fixture::RawArchive base_archive() {
    fixture::BuildOptions options;
    options.align = 16;
    return fixture::nested_tree().raw(options);
}

// Every regular file below `root` by relative path, with its content.
std::map<std::string, std::string> files_below(const std::string& root) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (it->is_regular_file() && !it->is_symlink())
            files[it->path().lexically_relative(root).generic_string()] = fixture::read_file(it->path().string());
    return files;
}

class Sweep {
public:
    explicit Sweep(Bytes original) : original_(std::move(original)) {}

    // Runs one damaged archive and checks what must hold whatever the damage.
    // Returns the files it left, for checks of the caller's own.
    std::map<std::string, std::string> run(const Bytes& damaged, const std::string& label) {
        SCOPED_TRACE(label);
        const fixture::RunResult r = box_.run(damaged);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << "\n" << r.err;
        if (r.status == 0) {
            EXPECT_EQ(r.err, "");
            EXPECT_GE(r.out.size(), 19u);
            EXPECT_EQ(r.out.substr(r.out.size() - 19), "\n- end of archive.\n");
        }
        // A file on disk holds exactly some entry's data, which the archive
        // holds contiguously: never a part or a mix.
        const std::string bytes(damaged.begin(), damaged.end());
        std::map<std::string, std::string> files = files_below(box_.work);
        for (const auto& [path, data] : files)
            EXPECT_NE(bytes.find(data), std::string::npos) << path << " is not whole";
        EXPECT_TRUE(fixture::remove_tree(box_.work));
        fs::create_directory(box_.work);
        ++cases_;
        return files;
    }

    const Bytes& original() const { return original_; }
    int cases() const { return cases_; }

private:
    Bytes original_;
    fixture::Sandbox box_;
    int cases_ = 0;
};

TEST(Sweep, CutAtEveryLength) {
    Sweep sweep(fixture::serialize(base_archive()));
    const auto whole = sweep.run(sweep.original(), "whole");
    ASSERT_EQ(whole.size(), 5u);
    for (std::size_t length = 0; length < sweep.original().size(); ++length) {
        const Bytes cut(sweep.original().begin(), sweep.original().begin() + length);
        // What a cut archive unpacks is what the whole one does, or nothing.
        for (const auto& [path, data] : sweep.run(cut, "cut at " + std::to_string(length))) {
            auto it = whole.find(path);
            EXPECT_TRUE(it != whole.end() && it->second == data) << path << " at " << length;
        }
    }
    EXPECT_EQ(sweep.cases(), static_cast<int>(sweep.original().size()) + 1);
}

// Changes every byte in [from, to) to each of `values` (a value below 0
// stands for "flip this bit pattern": -0x01 and -0x80).
void change_bytes(Sweep& sweep, std::size_t from, std::size_t to, std::initializer_list<int> values) {
    for (std::size_t at = from; at < to; ++at) {
        const std::uint8_t was = sweep.original()[at];
        for (const int v : values) {
            const auto now = static_cast<std::uint8_t>(v < 0 ? was ^ -v : v);
            if (now == was) continue;
            Bytes damaged = sweep.original();
            damaged[at] = now;
            sweep.run(damaged, "byte " + std::to_string(at) + " = " + std::to_string(now));
        }
    }
}

// Header bytes 12 to 31 are not read, so they are left alone.
TEST(Sweep, EveryHeaderAndNodeByteChangedFourWays) {
    const fixture::RawArchive raw = base_archive();
    Sweep sweep(fixture::serialize(raw));
    change_bytes(sweep, 0, 12, {-0x01, -0x80, 0x00, 0xFF});
    change_bytes(sweep, raw.table_offset, raw.table_offset + raw.nodes.size() * 12,
                 {-0x01, -0x80, 0x00, 0xFF});
    EXPECT_GT(sweep.cases(), 400);
}

// Names cut short, split by a separator, turned into dots or escapes.
TEST(Sweep, EveryNameByteChangedFourWays) {
    const fixture::RawArchive raw = base_archive();
    Sweep sweep(fixture::serialize(raw));
    const std::size_t strings = raw.table_offset + raw.nodes.size() * 12;
    change_bytes(sweep, strings, strings + raw.strings.size(), {0x00, '/', '.', 0x1B});
    EXPECT_GT(sweep.cases(), 150);
}

TEST(Sweep, EveryHeaderAndNodeWordAtTheEdges) {
    const fixture::RawArchive raw = base_archive();
    Sweep sweep(fixture::serialize(raw));
    const auto n = static_cast<std::uint32_t>(raw.nodes.size());
    const auto size = static_cast<std::uint32_t>(sweep.original().size());
    const std::uint32_t values[] = {0,           1,           n - 1,       n,
                                    n + 1,       size,        0x00FFFFFFu, 0x7FFFFFFFu,
                                    0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu};
    std::vector<std::size_t> words = {4, 8};  // the table's offset and size
    for (std::size_t k = 0; k < n * 3; ++k) words.push_back(raw.table_offset + 4 * k);
    for (std::size_t at : words) {
        for (std::uint32_t v : values) {
            Bytes damaged = sweep.original();
            for (int i = 0; i < 4; ++i) damaged[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
            sweep.run(damaged, "word at " + std::to_string(at) + " = " + std::to_string(v));
        }
    }
    EXPECT_GT(sweep.cases(), 300);
}

}  // namespace
