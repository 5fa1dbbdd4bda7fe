// Writing U8 archives. Writing happens in two passes: a layout pass decides
// every byte's place and turns the table into bytes (a Plan), then a
// streaming pass sends the archive through a sink in order, asking the
// caller for file data one piece at a time, so that no buffer ever holds a
// whole file. Pure: no I/O, no printing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lib/common/sink.h"

namespace dravik::u8 {

// One entry of a tree to pack, in any order. `parent` is the index in the
// same list of the directory holding it, or kTopLevel for the root's
// children. Names are stored as their bytes, without a NUL.
inline constexpr std::uint32_t kTopLevel = 0xFFFFFFFF;
struct TreeEntry {
    std::string name;
    bool is_directory = false;
    std::uint32_t parent = kTopLevel;
    std::uint64_t size = 0;  // files: the data's length
    std::uint64_t key = 0;   // files: handed back when the data is wanted
};

// A stretch of the output after the table: zeros, file data (key: the
// entry's key), or bytes of another archive (key: offset in it; used when
// laying out like an existing archive).
struct Piece {
    enum class From : std::uint8_t { zeros, file, original };
    From from = From::zeros;
    std::uint64_t at = 0;    // offset in the output
    std::uint64_t size = 0;
    std::uint64_t key = 0;
};

// Everything the streaming pass needs: the bytes from offset 0 to the end
// of the table (header, table, names), then pieces that cover the rest of
// the archive without gap or overlap, in order.
struct Plan {
    std::vector<std::uint8_t> head;
    std::vector<Piece> pieces;
    std::uint64_t size = 0;  // the whole archive's length
};

// What the format cannot hold.
enum class LayoutError {
    none,
    offset_too_large,   // data would end past 4 GiB - 1 (32-bit offsets and sizes)
    names_too_large,    // a name would start past 16 MiB (24-bit name offsets)
    too_many_nodes,     // the node table alone would not fit in 32-bit offsets
    bad_alignment,      // not a power of two from 1 to 65536
    bad_tree,           // a parent that is not an earlier-listed directory, or a loop
    unusual_original,   // laying out like an archive whose table starts inside its header
    bad_name,           // a name holding a NUL byte, which would end it early
};

struct LayoutResult {
    LayoutError error = LayoutError::none;
    std::uint32_t entry = kTopLevel;  // the entry concerned, when there is one
};

inline constexpr std::uint32_t kMaxAlignment = 65536;
inline constexpr std::uint64_t kMaxOffset = 0xFFFFFFFF;
inline constexpr std::uint64_t kMaxNameOffset = 0xFFFFFF;
// The header word that says where the data starts.
inline constexpr std::size_t kHeaderDataOffset = 12;

bool alignment_is_valid(std::uint32_t align);

inline std::uint64_t align_up(std::uint64_t v, std::uint32_t align) {
    return (v + align - 1) / align * align;
}

// The order of one folder's entries in the default layout: files before
// folders, each group by name compared byte by byte after ASCII
// lower-casing, ties broken by the raw bytes, so that the order is total and
// never depends on the order entries were listed.
bool default_less(const TreeEntry& x, const TreeEntry& y);

// The default layout: header at 0, the first node at 0x20; nodes depth-first
// with each folder's files before its subfolders, each group ordered by
// name compared byte by byte after ASCII lower-casing, ties by the raw
// bytes; names in node order after the root's empty name; file data in node
// order, each block starting on a multiple of `align` (an empty file gets
// the position the next block would have); zeros everywhere else. The
// same tree always gives the same bytes. `order`, when given, receives the
// list index of each node from node 1 on.
LayoutResult layout_default(const std::vector<TreeEntry>& entries, std::uint32_t align, Plan& plan,
                            std::vector<std::uint32_t>* order = nullptr);

// The same layout with the nodes in the order the entries are listed, for
// callers that choose their own order: the list must be depth-first (each
// directory followed by everything inside it).
LayoutResult layout_in_order(const std::vector<TreeEntry>& entries, std::uint32_t align, Plan& plan);

// Sends the rest of a From::file or From::original piece: exactly
// piece.size bytes to `sink`, in bounded chunks. False on failure.
using PieceSource = std::function<bool(const Piece& piece, const ByteSink& sink)>;

// Streams the archive: head, then every piece in order. Zeros are written
// here; file and original pieces go to `source`. False as
// soon as the sink or the source fails.
bool write_plan(const Plan& plan, const ByteSink& sink, const PieceSource& source);

// A whole archive in memory, for callers that hold every file's bytes
// (`data[key]` for each file's key): tests, seed makers, benchmarks.
std::vector<std::uint8_t> write_in_memory(const Plan& plan,
                                          const std::vector<std::string>& data);

// Puts big-endian words into a byte buffer.
void put_be32(std::uint8_t* p, std::uint32_t v);

}  // namespace dravik::u8
