// Packing: the written archive reads back to the folder, unpacks to the
// same tree, and laid out like an original gives the original's U8 bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "app/pack.h"
#include "archive/archive.h"
#include "test_support.h"

namespace {

using dravik::Options;

struct PackRun {
    int status = -1;
    std::string out, err;
};

PackRun pack(const std::string& archive, const std::string& dir, Options o = {}) {
    o.mode = dravik::Mode::pack;
    o.operands = {archive, dir};
    fixture::TempDir logs;
    dravik::Output out;
    out.fd = ::open(logs.sub("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    out.error_fd = ::open(logs.sub("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    PackRun r;
    r.status = dravik::run_pack(o, out);
    dravik::out_flush(out);
    ::close(out.fd);
    ::close(out.error_fd);
    r.out = fixture::read_file(logs.sub("out"));
    r.err = fixture::read_file(logs.sub("err"));
    return r;
}

// The bare U8 archive inside a file, whatever carriers wrap it, when their
// checksums hold.
std::string u8_layer(const std::string& path) {
    dravik::OpenStatus status;
    auto h = dravik::archive_open(path.c_str(), &status);
    if (!h) return "(unreadable)";
    if (status.notices) return "(bad checksum)";
    std::string bytes(static_cast<std::size_t>(h->stream.size), '\0');
    dravik::source_read(h->stream, 0, bytes.data(), bytes.size());
    return bytes;
}

[[maybe_unused]] void put(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

TEST(Pack, LikeEveryCorpusArchiveGivesItsU8LayerBack) {
    const std::string corpus = DRAVIK_CORPUS_DIR;
    if (!fixture::exists(corpus + "/EXPECTED.tsv")) GTEST_SKIP() << "no corpus at " << corpus;
    std::ifstream tsv(corpus + "/EXPECTED.tsv");
    std::set<std::string> names;
    for (std::string line; std::getline(tsv, line);)
        if (line.find('\t') != std::string::npos && line.rfind("archive\t", 0) != 0)
            names.insert(line.substr(0, line.find('\t')));
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string original = corpus + "/" + name;
        fixture::TempDir tree, out;
        fixture::run_dravik({original}, tree.path);
        Options o;
        o.like = original;
        const PackRun r = pack(out.sub("new"), tree.path, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(u8_layer(out.sub("new")) == u8_layer(original));
    }
}

}  // namespace
