// Names one platform cannot hold: Windows refuses each class with its own
// reason and goes on with the walk; Linux takes every one as it is.
#include <gtest/gtest.h>

#include "test_support.h"
#include "archive_builder.h"

namespace {

struct NameCase {
    std::string name;
    const char* reason;  // the words Windows gives
};

const std::vector<NameCase> kCases = {
    {"CON", "is a device name"},          {"con.txt", "is a device name"},
    {"Nul.tar.gz", "is a device name"},   {"COM1", "is a device name"},
    {"lpt9.log", "is a device name"},     {"AUX .x", "is a device name"},
    {"CONIN$", "is a device name"},       {"conout$.txt", "is a device name"},
    {"prn", "is a device name"},          {"trail.", "ends in a dot or a space"},
    {"trail ", "ends in a dot or a space"},
    {"a<b", "holds one of"},              {"a>b", "holds one of"},
    {"a\"b", "holds one of"},             {"a\\b", "holds one of"},
    {"a|b", "holds one of"},              {"a?b", "holds one of"},
    {"a*b", "holds one of"},              {"a\x01z", "holds a control character"},
    {"tab\there", "holds a control character"},
    {"file.txt:stream", "would name a data stream"},
    {"\xff\xfe", "not valid UTF-8"},      {"over\xc0\xaflong", "not valid UTF-8"},
    {"half\xed\xa0\x80", "not valid UTF-8"},
};

TEST(PlatformNames, EachWindowsRefusalHasItsReasonAndLinuxTakesTheName) {
    fixture::Builder b;
    b.dir("arc");
    for (const NameCase& c : kCases) b.file(c.name, "data of " + c.name);
    b.dir("COM3.dir");  // a refused directory: its contents stay in arc
    b.file("inner.bin", "inner");
    b.end();
    b.file("CONSOLE.txt", "not a device");  // only the whole base name counts
    b.file("COM10", "not a device either");
    b.end();
    fixture::Sandbox box;
    const fixture::RunResult r = box.run(b.build());
    const fixture::Tree tree = box.result();
    EXPECT_NE(tree.find("arc/CONSOLE.txt"), tree.end());
    EXPECT_NE(tree.find("arc/COM10"), tree.end());
    if (!fixture::kNamesAreBytes) {
        EXPECT_EQ(r.status, 0) << r.err;
        for (const NameCase& c : kCases) EXPECT_NE(tree.find("arc/" + c.name), tree.end()) << c.name;
        EXPECT_NE(tree.find("arc/COM3.dir/inner.bin"), tree.end());
        return;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tree, (fixture::Tree{{"arc", "d"}, {"arc/inner.bin", tree.at("arc/inner.bin")},
                                   {"arc/CONSOLE.txt", tree.at("arc/CONSOLE.txt")},
                                   {"arc/COM10", tree.at("arc/COM10")}}));
    std::size_t from = 0;
    for (const NameCase& c : kCases) {  // one line each, in entry order
        SCOPED_TRACE(c.name);
        const std::size_t at = r.err.find(c.reason, from);
        ASSERT_NE(at, std::string::npos) << r.err;
        from = r.err.find('\n', at);
    }
    EXPECT_NE(r.err.find("dravik: COM3.dir: is a device name", from), std::string::npos) << r.err;
}

}  // namespace
