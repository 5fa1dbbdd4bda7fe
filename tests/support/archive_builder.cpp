#include "archive_builder.h"

#include <algorithm>
#include <fstream>

#include "dravik/writer.h"

namespace fixture {

namespace {

void put_be32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v >> 24);
    out[at + 1] = static_cast<std::uint8_t>(v >> 16);
    out[at + 2] = static_cast<std::uint8_t>(v >> 8);
    out[at + 3] = static_cast<std::uint8_t>(v);
}

void grow(std::vector<std::uint8_t>& out, std::size_t size) {
    if (out.size() < size) out.resize(size, 0);
}

}  // namespace

std::vector<std::uint8_t> serialize(const RawArchive& raw) {
    std::vector<std::uint8_t> out(32, 0);
    out[0] = 0x55;
    out[1] = 0xAA;
    out[2] = 0x38;
    out[3] = 0x2D;
    const std::uint32_t natural = static_cast<std::uint32_t>(raw.nodes.size() * 12 + raw.strings.size());
    put_be32(out, 4, raw.table_offset);
    put_be32(out, 8, raw.table_size.value_or(natural));
    for (std::size_t i = 0; i < 20 && i < raw.header_rest.size(); ++i)
        out[12 + i] = static_cast<std::uint8_t>(raw.header_rest[i]);

    const std::size_t t = raw.table_offset;
    grow(out, t + natural);
    for (std::size_t k = 0; k < raw.nodes.size(); ++k) {
        const RawNode& n = raw.nodes[k];
        put_be32(out, t + k * 12, (std::uint32_t{n.type} << 24) | (n.name_offset & 0xFFFFFF));
        put_be32(out, t + k * 12 + 4, n.word1);
        put_be32(out, t + k * 12 + 8, n.word2);
    }
    for (std::size_t i = 0; i < raw.strings.size(); ++i)
        out[t + raw.nodes.size() * 12 + i] = static_cast<std::uint8_t>(raw.strings[i]);
    for (const DataBlock& block : raw.data) {
        grow(out, std::size_t{block.offset} + block.bytes.size());
        for (std::size_t i = 0; i < block.bytes.size(); ++i)
            out[block.offset + i] = static_cast<std::uint8_t>(block.bytes[i]);
    }
    return out;
}

void Builder::dir(const std::string& name) {
    items_.push_back(Item{true, name, {}, open_.empty() ? 0 : open_.back(), 0});
    open_.push_back(static_cast<std::uint32_t>(items_.size()));  // its node index
}

void Builder::end() {
    items_[open_.back() - 1].end = static_cast<std::uint32_t>(items_.size() + 1);
    open_.pop_back();
}

void Builder::file(const std::string& name, const std::string& data) {
    items_.push_back(Item{false, name, data, open_.empty() ? 0 : open_.back(), 0});
}

RawArchive Builder::raw(const BuildOptions& options) const {
    RawArchive raw;
    const auto count = static_cast<std::uint32_t>(items_.size() + 1);
    raw.nodes.resize(count);
    raw.strings.push_back('\0');  // the root's empty name
    raw.nodes[0] = RawNode{1, 0, 0, count};
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const Item& item = items_[i];
        RawNode& node = raw.nodes[i + 1];
        node.type = item.is_dir ? 1 : 0;
        node.name_offset = static_cast<std::uint32_t>(raw.strings.size());
        raw.strings += item.name;
        raw.strings.push_back('\0');
        if (item.is_dir) {
            node.word1 = item.parent;
            // A directory still open when building ends holds everything after it.
            node.word2 = item.end ? item.end : count;
        }
    }

    const std::uint32_t align = options.align ? options.align : 1;
    auto aligned = [align](std::uint64_t v) {
        return static_cast<std::uint32_t>((v + align - 1) / align * align);
    };
    std::uint32_t cursor = aligned(raw.table_offset + count * 12 + raw.strings.size());
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (!items_[i].is_dir) order.push_back(i);
    if (options.reverse_data) std::reverse(order.begin(), order.end());
    for (std::size_t i : order) {
        const Item& item = items_[i];
        raw.nodes[i + 1].word1 = cursor;
        raw.nodes[i + 1].word2 = static_cast<std::uint32_t>(item.data.size());
        raw.data.push_back(DataBlock{cursor, item.data});
        const std::uint32_t next = aligned(cursor + item.data.size());
        // Fill the gap with a marker, so a reader that ignores offsets shows.
        if (next > cursor + item.data.size())
            raw.data.push_back(DataBlock{static_cast<std::uint32_t>(cursor + item.data.size()),
                                         std::string(next - cursor - item.data.size(), '\xCC')});
        cursor = next;
    }
    return raw;
}

std::vector<std::uint8_t> write_in_memory(const dravik::u8::Plan& plan,
                                          const std::vector<std::string>& data) {
    namespace u8 = dravik::u8;
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(plan.size));
    const dravik::ByteSink sink = [&out](const std::uint8_t* p, std::size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
    };
    u8::write_plan(plan, sink, [&data](const u8::Piece& piece, const dravik::ByteSink& to) {
        if (piece.key >= data.size() || data[piece.key].size() != piece.size) return false;
        return to(reinterpret_cast<const std::uint8_t*>(data[piece.key].data()),
                  data[piece.key].size());
    });
    return out;
}

std::vector<std::uint8_t> Builder::build(const BuildOptions& options) const {
    if (options.reverse_data) return serialize(raw(options));
    namespace u8 = dravik::u8;
    std::vector<u8::TreeEntry> entries;
    std::vector<std::string> data;
    for (const Item& item : items_) {
        const std::uint32_t parent = item.parent ? item.parent - 1 : u8::kTopLevel;  // a list index
        entries.push_back(u8::TreeEntry{item.name, item.is_dir, parent, item.data.size(), data.size()});
        data.push_back(item.data);
    }
    u8::Plan plan;
    if (u8::layout_in_order(entries, options.align ? options.align : 1, plan).error !=
        u8::LayoutError::none)
        return {};
    std::vector<std::uint8_t> out = write_in_memory(plan, data);
    // Mark the gaps between blocks, and pad the last one, so that a reader
    // that ignores offsets shows.
    bool after_data = false;
    for (const u8::Piece& piece : plan.pieces) {
        if (after_data && piece.from == u8::Piece::From::zeros)
            std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(piece.at), piece.size, 0xCC);
        after_data = after_data || piece.from == u8::Piece::From::file;
    }
    const std::uint32_t align = options.align ? options.align : 1;
    if (after_data) out.resize((out.size() + align - 1) / align * align, 0xCC);
    return out;
}

Builder nested_tree() {
    Builder b;
    b.dir("root");
    b.dir("a");
    b.dir("b");
    b.file("deep.bin", "deep");
    b.end();
    b.file("a.bin", "aa");
    b.end();
    b.dir("c");
    b.file("c.bin", "ccc");
    b.end();
    b.file("empty", "");
    b.end();
    b.file("after", "after the tree");
    return b;
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

}  // namespace fixture
