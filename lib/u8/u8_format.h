// The U8 archive layout of the Wii, as stored on disk.
//
// Everything here is pure decoding and encoding over raw bytes: no I/O, no
// allocation. Every integer in the format is big-endian and is decoded at
// the point of use; the loaded table is never converted in place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravik::u8 {

// Header: 32 bytes at offset 0 of the archive.
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::uint8_t kMagic[4] = {0x55, 0xAA, 0x38, 0x2D};  // "U\xAA8-"
inline constexpr std::size_t kHeaderTableOffset = 4;
inline constexpr std::size_t kHeaderTableSize = 8;

// A table smaller than this cannot even hold the root node's words.
inline constexpr std::uint32_t kMinTableSize = 13;
// Entries exist only when the table holds two whole nodes.
inline constexpr std::uint32_t kMinWalkableTableSize = 24;
// The table offset is a signed 32-bit file position in the original tool;
// anything at or past 2 GiB cannot be reached.
inline constexpr std::uint32_t kMaxTableOffset = 0x7FFFFFFF;

// Node: 12 bytes. Word 0 holds the type in its top byte and the name offset
// in its low 24 bits; word 1 is the data offset (file) or parent index
// (directory); word 2 is the data length (file) or the index of the first
// node after the directory's contents. The root's word 2 is the node count.
inline constexpr std::size_t kNodeSize = 12;
inline constexpr std::uint32_t kNameOffsetMask = 0x00FFFFFF;
inline constexpr std::size_t kNodeOffsetWord = 4;
inline constexpr std::size_t kNodeSizeWord = 8;

// The directory name used for a directory whose parent is the root.
inline constexpr char kRootDirectoryName[] = "arc";

inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
           (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline std::uint32_t be16(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 8) | std::uint32_t{p[1]};
}

inline std::uint32_t be24(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | std::uint32_t{p[2]};
}

// The bare LZ77 carrier states its size little-endian.
inline std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

inline void put_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void put_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline bool has_magic(const std::uint8_t* header) {
    return header[0] == kMagic[0] && header[1] == kMagic[1] && header[2] == kMagic[2] &&
           header[3] == kMagic[3];
}

inline std::uint32_t header_table_offset(const std::uint8_t* header) {
    return be32(header + kHeaderTableOffset);
}

inline std::uint32_t header_table_size(const std::uint8_t* header) {
    return be32(header + kHeaderTableSize);
}

// The node count is the root's size word: table bytes 8 to 11.
inline std::uint32_t node_count(const std::uint8_t* table) { return be32(table + kNodeSizeWord); }

inline const std::uint8_t* node_at(const std::uint8_t* table, std::uint32_t index) {
    return table + std::size_t{index} * kNodeSize;
}

inline bool node_is_directory(const std::uint8_t* node) { return node[0] != 0; }

inline std::uint32_t node_name_offset(const std::uint8_t* node) {
    return be32(node) & kNameOffsetMask;
}

inline std::uint32_t node_offset_word(const std::uint8_t* node) {
    return be32(node + kNodeOffsetWord);
}

inline std::uint32_t node_size_word(const std::uint8_t* node) {
    return be32(node + kNodeSizeWord);
}

// The string table starts right after the last node.
inline std::uint64_t string_table_start(std::uint32_t count) {
    return std::uint64_t{count} * kNodeSize;
}

}  // namespace dravik::u8
