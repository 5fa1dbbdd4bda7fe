// U8 archives for tests: a tree builder whose archives come from the
// product's writer (nodes in the order they were added, gaps marked), and a
// small raw form, for what that writer refuses to make, whose every word a
// test can bend: hostile archives, and data stored out of node order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dravik/writer.h"

namespace fixture {

struct RawNode {
    std::uint8_t type = 0;  // 0: file, anything else: directory
    std::uint32_t name_offset = 0;
    std::uint32_t word1 = 0;  // file: data offset; directory: parent index
    std::uint32_t word2 = 0;  // file: data size; directory: end index; root: node count
};

struct DataBlock {
    std::uint32_t offset = 0;
    std::string bytes;
};

struct RawArchive {
    std::uint32_t table_offset = 0x20;
    std::optional<std::uint32_t> table_size;  // default: nodes and strings exactly
    std::vector<RawNode> nodes;               // node 0 is the root
    std::string strings;                      // the string table, NULs included
    std::vector<DataBlock> data;              // placed at absolute file offsets
    std::string header_rest = std::string(20, '\0');  // header bytes 12 to 31
};

std::vector<std::uint8_t> serialize(const RawArchive& raw);

struct BuildOptions {
    std::uint32_t align = 32;      // data alignment; gaps are filled with 0xCC
    bool reverse_data = false;     // store file data in reverse node order (raw form only)
};

// Builds a well-formed archive from calls in depth-first order:
//   Builder b; b.dir("arc"); b.file("a", "x"); b.end(); auto bytes = b.build();
class Builder {
public:
    void dir(const std::string& name);
    void end();
    void file(const std::string& name, const std::string& data);

    RawArchive raw(const BuildOptions& options = {}) const;
    // Through the product's writer, unless the options ask for a layout it
    // never makes.
    std::vector<std::uint8_t> build(const BuildOptions& options = {}) const;

private:
    struct Item {
        bool is_dir;
        std::string name;
        std::string data;
        std::uint32_t parent;  // node index of the enclosing directory, 0 for the root
        std::uint32_t end;
    };
    std::vector<Item> items_;          // nodes 1..N-1
    std::vector<std::uint32_t> open_;  // node indices of open directories
};

// A small tree with what real archives have: nested and sibling
// directories ("root" at node 1, then a/b and c), files at several levels,
// an empty file, and a file back at the top after the subtree.
Builder nested_tree();

// A whole archive in memory from a plan whose files' data are held in
// `data`, by key.
std::vector<std::uint8_t> write_in_memory(const dravik::u8::Plan& plan,
                                          const std::vector<std::string>& data);

// Writes bytes to a file; returns false on failure.
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace fixture
