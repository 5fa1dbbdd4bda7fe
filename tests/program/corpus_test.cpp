// Real archives from public projects: each must unpack to the recorded tree
// and print the recorded listing, byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "test_support.h"

namespace {

using Tree = std::map<std::string, std::string>;

struct CorpusArchive {
    int exit_status = 0;
    Tree tree;
};

std::map<std::string, CorpusArchive> load_expected(const std::string& tsv) {
    std::map<std::string, CorpusArchive> archives;
    std::ifstream in(tsv);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t')) f.push_back(field);
        if (f.size() < 4) continue;
        CorpusArchive& a = archives[f[0]];
        a.exit_status = std::stoi(f[1]);
        a.tree[f[3]] = f[2] == "d" ? "d" : "f " + f[4] + " " + (f.size() > 5 ? f[5] : "");
    }
    return archives;
}

// The shared corpus, and beside it the archives behind a bare LZ77 stream.
const std::vector<std::string> kCorpora = {DRAVIK_CORPUS_DIR, DRAVIK_CORPUS_DIR "-lz"};

TEST(Corpus, EveryArchiveUnpacksToItsRecordedTreeAndListing) {
  for (const std::string& corpus : kCorpora) {
    if (!fixture::exists(corpus + "/EXPECTED.tsv"))
        GTEST_SKIP() << "no corpus at " << corpus << "; real-archive checks skipped";
    const auto archives = load_expected(corpus + "/EXPECTED.tsv");
    ASSERT_FALSE(archives.empty());
    for (const auto& [name, expected] : archives) {
        SCOPED_TRACE(name);
        fixture::TempDir out;
        const fixture::RunResult r = fixture::run_dravik({corpus + "/" + name}, out.path);
        std::string listing_name = name;
        for (std::size_t at; (at = listing_name.find('/')) != std::string::npos;)
            listing_name.replace(at, 1, "__");
        EXPECT_EQ(r.out, fixture::read_file(corpus + "/expected/" + listing_name + ".listing"));
        EXPECT_EQ(r.status, expected.exit_status) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(fixture::snapshot(out.path), expected.tree);
    }
  }
}

}  // namespace
