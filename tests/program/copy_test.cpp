// The ways file data is copied out of the archive: whole pages in the
// kernel, spliced through a pipe, and read through a buffer. Each must give
// the same bytes from any offset, and tell an archive that ends early.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "program/disk/copy.h"
#include "test_support.h"
#include "archive_builder.h"

namespace dravik {
namespace {

enum class Way { any, spliced, read };

struct Files {
    fixture::TempDir dir;
    std::string data;
    FileDescriptor in;

    Files() {
        std::mt19937 rng(7);
        data.resize(3 * 1024 * 1024 + 123);
        for (char& c : data) c = static_cast<char>(rng());
        const std::string path = dir.sub("archive");
        fixture::write_file(path, std::vector<std::uint8_t>(data.begin(), data.end()));
        in = FileDescriptor(fixture::open_for_reading(path));
    }

    // Copies [offset, offset + length) into a new file and returns its content.
    std::string copy(disk::Copier& copier, std::uint64_t offset, std::uint64_t length, bool* ok,
                     bool* ended) {
        const std::string path = dir.sub("out");
        std::remove(path.c_str());
        FileDescriptor out(fixture::create_for_writing(path));
        *ok = disk::copy_file_data(copier, in.fd, offset, out.fd, length, ended);
        out = FileDescriptor();
        return fixture::read_file(path);
    }
};

disk::Copier copier_for(Way way) {
    disk::Copier c;
    c.copy_range_unusable = way != Way::any;
    c.splice_unusable = way == Way::read;
    return c;
}

TEST(Copy, EveryWayGivesTheSameBytesFromAnyOffset) {
    Files f;
    const std::uint64_t offsets[] = {0, 32, 4096, 4096 + 32, 1 << 20, 12345};
    const std::uint64_t lengths[] = {0, 1, 4095, 4096, 70000, (1 << 20) + 7, 2 * 1024 * 1024};
    for (Way way : {Way::any, Way::spliced, Way::read}) {
        disk::Copier copier = copier_for(way);  // reused across copies, as in a run
        for (std::uint64_t offset : offsets) {
            for (std::uint64_t length : lengths) {
                SCOPED_TRACE(std::to_string(int(way)) + " " + std::to_string(offset) + " " +
                             std::to_string(length));
                bool ok = false, ended = true;
                const std::string got = f.copy(copier, offset, length, &ok, &ended);
                ASSERT_TRUE(ok);
                EXPECT_FALSE(ended);
                EXPECT_TRUE(got == f.data.substr(offset, length));
            }
        }
    }
}

// Small files come from a window of the archive read ahead; walking it
// forwards, backwards or at random must never serve stale or shifted bytes.
TEST(Copy, SmallFilesInAnyOrderComeOutExact) {
    Files f;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
    for (std::uint64_t at = 32; at + 70000 < f.data.size(); at += 4096 + 7 * (at % 5))
        pieces.push_back({at, 1 + at % 5000});
    pieces.push_back({f.data.size() - 17, 17});  // the very end
    std::mt19937 rng(3);
    auto shuffled = pieces;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    for (const auto* order : {&pieces, &shuffled}) {
        for (bool reverse : {false, true}) {
            disk::Copier copier;
            auto list = *order;
            if (reverse) std::reverse(list.begin(), list.end());
            for (const auto& [offset, length] : list) {
                bool ok = false, ended = true;
                const std::string got = f.copy(copier, offset, length, &ok, &ended);
                ASSERT_TRUE(ok && !ended);
                ASSERT_TRUE(got == f.data.substr(offset, length)) << offset << " " << length;
            }
        }
    }
}

TEST(Copy, AnArchiveThatEndsEarlyIsTold) {
    Files f;
    for (Way way : {Way::any, Way::spliced, Way::read}) {
        for (std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{100}}) {
            disk::Copier copier = copier_for(way);
            bool ok = true, ended = false;
            f.copy(copier, offset, f.data.size() - offset + 1, &ok, &ended);
            EXPECT_FALSE(ok);
            EXPECT_TRUE(ended) << int(way) << " " << offset;
        }
        disk::Copier copier = copier_for(way);  // a small file cut short
        bool ok = true, ended = false;
        f.copy(copier, f.data.size() - 10, 20, &ok, &ended);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(ended) << int(way);
    }
}

// A write that fails halfway leaves data in the pipe; it must not turn up
// at the start of the next file.
TEST(Copy, DataLeftInThePipeByAFailedWriteNeverReachesTheNextFile) {
    if (fixture::kNoLimits) GTEST_SKIP() << fixture::kNoLimits;
    Files f;
    const int status = fixture::exit_status_with_file_limit(
        64 * 1024,  // writes past 64 KiB fail
        [](void* context) {
            Files& f = *static_cast<Files*>(context);
            disk::Copier copier = copier_for(Way::spliced);
            bool ok = true, ended = false;
            f.copy(copier, 32, 1 << 20, &ok, &ended);
            if (ok || ended) return 2;
            const std::string next = f.copy(copier, 5000, 1000, &ok, &ended);
            return ok && next == f.data.substr(5000, 1000) ? 0 : 3;
        },
        &f);
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace dravik
