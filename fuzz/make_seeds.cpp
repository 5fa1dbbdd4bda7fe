// Writes the fuzz targets' starting inputs: archives from the tests' fixture
// writer (well formed, and bent in the ways the hostile tests bend them),
// and real archives from a corpus folder with each file's data cut down to a
// few bytes, so that their tables come in without their bulk.
//
//   make_seeds <output folder> [<corpus folder>]
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lib/u8/u8_format.h"
#include "carrier_writer.h"
#include "archive_builder.h"

namespace fs = std::filesystem;
using fixture::Builder;
using fixture::RawArchive;
using Bytes = std::vector<std::uint8_t>;

namespace {

int g_written = 0;

void save(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    if (!fixture::write_file((dir / (name + ".arc")).string(), bytes)) {
        std::fprintf(stderr, "cannot write %s\n", name.c_str());
        std::exit(1);
    }
    ++g_written;
}


void fixture_seeds(const fs::path& dir) {
    save(dir, "nested", fixture::nested_tree().build());
    fixture::BuildOptions packed;
    packed.align = 1;
    packed.reverse_data = true;
    save(dir, "nested_packed_reversed", fixture::nested_tree().build(packed));

    Builder first_file;
    first_file.file("first.bin", "node one");
    first_file.dir("Effect");
    first_file.file("e.bin", "e");
    first_file.end();
    save(dir, "file_at_node_one", first_file.build());

    Builder names;
    names.dir("arc");
    for (const char* n : {"..", ".", "", "a/b", "/abs", "esc\x1b[31m", "nl\nx", "\xff\xfe"})
        names.file(n, "x");
    names.file(std::string(300, 'L'), "long");
    names.end();
    save(dir, "names", names.build());

    Builder chain;
    for (int i = 0; i < 40; ++i) chain.dir("d");
    chain.file("bottom", "b");
    for (int i = 0; i < 40; ++i) chain.end();
    chain.file("top", "t");
    save(dir, "chain", chain.build(packed));

    // Deeper than the unpack target holds directories open, with a file at
    // every level on the way back up: each one lands after a walk back down.
    Builder climb;
    for (int i = 0; i < 40; ++i) climb.dir("d");
    for (int i = 0; i < 40; ++i) {
        climb.file("f", std::to_string(i));
        climb.end();
    }
    save(dir, "climb", climb.build(packed));

    Builder same;
    same.dir("arc");
    same.file("twice", "one");
    same.file("twice", "two");
    same.dir("twice");
    same.end();
    same.end();
    save(dir, "same_names", same.build());

    RawArchive bent = fixture::nested_tree().raw();
    bent.nodes[2].word2 = 0xFFFFFFFFu;  // an end past N
    bent.nodes[3].word2 = 1;            // an end pointing backwards
    bent.nodes[3].word1 = 9;            // a parent pointing forwards
    save(dir, "bent_ends", fixture::serialize(bent));

    RawArchive sizes = fixture::nested_tree().raw();
    sizes.nodes[4].word1 = 0xFFFFFFF0u;  // offset + size wraps
    sizes.nodes[6].word2 = 0xFFFFFFFFu;
    save(dir, "bent_sizes", fixture::serialize(sizes));
}

// Small archives in each carrier and in nestings of them, for the carrier
// target (and, being under seeds/, for the others too).
void carrier_seeds(const fs::path& dir) {
    using fixture::Coding;
    const Bytes u8 = fixture::nested_tree().build();
    const fs::path sub = dir / "carriers";
    fs::create_directories(sub);
    save(sub, "yaz0", fixture::compress(u8, Coding::yaz0));
    save(sub, "yaz0_literals",
         fixture::compressed_file(fixture::literals(u8), Coding::yaz0, static_cast<std::uint32_t>(u8.size())));
    save(sub, "lz10", fixture::compress(u8, Coding::lz10));
    save(sub, "lz11", fixture::compress(u8, Coding::lz11));
    save(sub, "imd5_lz10", fixture::imd5_wrap(fixture::compress(u8, Coding::lz10)));
    save(sub, "imd5_yaz0_bad_digest", fixture::imd5_wrap(fixture::compress(u8, Coding::yaz0), false));
    save(sub, "imet40", fixture::imet_wrap(u8, 0x40));
    save(sub, "imet80_yaz0", fixture::imet_wrap(fixture::compress(u8, Coding::yaz0), 0x80));
    save(sub, "imet40_imd5_lz11", fixture::imet_wrap(fixture::imd5_wrap(fixture::compress(u8, Coding::lz11))));
    save(sub, "bare_lz11", fixture::bare_lz_wrap(u8));
    save(sub, "bare_lz10_long", fixture::bare_lz_wrap(u8, 0x10, true));
}

// Archives inside archives, for the nest target: a banner's shape (IMD5 and
// LZ77 around archives inside a banner), a bare LZ77 archive inside a Yaz0
// one, a file that is its own archive, and a chain deeper than the limit.
void nest_seeds(const fs::path& dir) {
    using fixture::Coding;
    const fs::path sub = dir / "nest";
    fs::create_directories(sub);
    const Bytes u8 = fixture::nested_tree().build();
    const auto holding = [](const std::string& name, const Bytes& inner) {
        Builder b;
        b.dir("arc");
        b.file(name, std::string(inner.begin(), inner.end()));
        b.file("plain.bin", "not an archive");
        b.end();
        return b.build();
    };
    save(sub, "banner", fixture::imet_wrap(holding("banner.bin", fixture::imd5_wrap(fixture::compress(u8, Coding::lz10)))));
    save(sub, "bare_in_yaz0", holding("in.szs", fixture::compress(holding("t.arc.LZ", fixture::bare_lz_wrap(u8)), Coding::yaz0)));
    Builder self;
    self.dir("arc");
    self.file("self.arc", std::string(64, 'x'));
    self.end();
    RawArchive raw = self.raw();
    raw.nodes[2].word1 = 0;
    raw.nodes[2].word2 = static_cast<std::uint32_t>(fixture::serialize(raw).size());
    save(sub, "self", fixture::serialize(raw));
    Bytes chain = u8;
    for (int i = 0; i < 18; ++i) chain = holding("f.arc", chain);
    save(sub, "chain", chain);
}

// Inputs for the encoder target: a first byte choosing the level and the
// threads, then bytes of the shapes that are hard for a match finder.
void encoder_seeds(const fs::path& dir) {
    const fs::path sub = dir / "encoder";
    fs::create_directories(sub);
    const auto with = [](std::uint8_t choice, Bytes body) {
        body.insert(body.begin(), choice);
        return body;
    };
    Bytes period;
    for (int i = 0; i < 3000; ++i) period.push_back(static_cast<std::uint8_t>(i * 7 % 251));
    const Bytes u8 = fixture::nested_tree().build();
    save(sub, "enc_run_best", with(2, Bytes(600, 0)));
    save(sub, "enc_period_standard", with(1, Bytes(period.begin(), period.begin() + 2600)));
    save(sub, "enc_archive_fast_blocks", with(0x81, u8));  // 0x81 % 3: fast
    save(sub, "enc_archive_best", with(5, u8));
}

// Real archives, each file's data cut to at most 16 bytes and laid out
// packed after the table.
void corpus_seeds(const fs::path& out, const fs::path& corpus) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(corpus, ec))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    int taken = 0;
    for (const fs::path& path : files) {
        std::ifstream in(path, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() < dravik::u8::kHeaderSize || !dravik::u8::has_magic(bytes.data())) continue;
        const std::uint32_t table_offset = dravik::u8::header_table_offset(bytes.data());
        const std::uint32_t table_size = dravik::u8::header_table_size(bytes.data());
        if (std::uint64_t{table_offset} + table_size > bytes.size() || table_size < 24) continue;
        const std::uint8_t* table = bytes.data() + table_offset;
        const std::uint32_t count = dravik::u8::node_count(table);
        if (dravik::u8::string_table_start(count) > table_size) continue;

        Bytes seed(bytes.begin(), bytes.begin() + table_offset + table_size);
        auto put_be32 = [&seed](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) seed[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
        };
        for (std::uint32_t k = 1; k < count; ++k) {
            const std::uint8_t* node = dravik::u8::node_at(table, k);
            if (dravik::u8::node_is_directory(node)) continue;
            const std::uint32_t offset = dravik::u8::node_offset_word(node);
            const std::uint32_t size = dravik::u8::node_size_word(node);
            const std::uint32_t kept = size < 16 ? size : 16;
            const std::size_t at = table_offset + std::size_t{k} * dravik::u8::kNodeSize;
            put_be32(at + dravik::u8::kNodeOffsetWord, static_cast<std::uint32_t>(seed.size()));
            put_be32(at + dravik::u8::kNodeSizeWord, kept);
            for (std::uint32_t i = 0; i < kept; ++i)
                seed.push_back(std::uint64_t{offset} + i < bytes.size() ? bytes[offset + i] : 0);
        }
        // The corpus flattens paths with "__"; the last part is the file's own name.
        std::string stem = path.stem().string();
        const std::size_t cut = stem.rfind("__");
        if (cut != std::string::npos) stem = stem.substr(cut + 2);
        for (char& c : stem)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') c = '_';
        save(out, "corpus" + std::to_string(++taken) + "_" + stem, seed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_seeds <output folder> [<corpus folder>]\n");
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out);
    fixture_seeds(out);
    carrier_seeds(out);
    nest_seeds(out);
    encoder_seeds(out);
    if (argc > 2) corpus_seeds(out, argv[2]);
    std::printf("wrote %d seeds to %s\n", g_written, out.string().c_str());
    return 0;
}
