// The bounds every descent into archives inside archives keeps, whoever
// goes down: the walk (u8_walk.cpp) and NestedOpener (u8_nest.cpp), which
// edits and comparisons use to go down only where their paths lead. One
// implementation, so that a path through a ".d" folder names the same
// archive, and is refused for the same reason, wherever it is used.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dravik/archive.h"
#include "lib/u8/u8_read.h"

namespace dravik {

// A stretch of bytes wherever they lie (memory by address, the archive's
// file or the caller's reads by offset), to know an archive met again.
struct ByteRange {
    int space = 0;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    bool operator==(const ByteRange& o) const {
        return space == o.space && begin == o.begin && end == o.end;
    }
};

// The ".d" folders an archive's own entries take (lower-cased paths ending
// in ".d"), learnt the first time they are asked about.
struct TakenFolders {
    bool known = false;
    std::unordered_set<std::string> paths;
    bool taken(const Archive& archive, const NameRule& rule, std::string_view local_folder);
};

// What is open on the path from the outermost archive: every archive's
// bytes and every nested archive's entry, the memory they hold, and the
// carriers and archives they count towards kMaxNesting; and what the
// carriers of every nested archive opened so far decoded.
class NestBounds {
public:
    // Where each nested archive opened starts, with its file's path, while
    // the bytes it lies in are open: entries that share those bytes are
    // opened once, so that shared data cannot multiply the work with every
    // level.
    using Start = std::pair<int, std::uint64_t>;
    using Seen = std::map<Start, std::string>;

    void begin(const Archive& outermost);

    // Opens the archive file entry `e` of `a` may hold, `place` being its
    // place in `a` and `path` its path from the outermost destination. No
    // archive and no refusal: it holds none. With `folders`, its entries
    // would go to a folder "NAME.d" beside it: a name that cannot be placed,
    // or a folder name `a` takes, refuses it.
    NestedOpen open(const Archive& a, TakenFolders& taken, const Entry& e, const Place& place,
                    std::string_view path, Seen& seen, bool folders, const NameRule& rule);

    // Puts a nested archive on the path, until leave() with what enter gave.
    struct Mark {
        std::size_t open = 0;
        std::uint64_t held = 0;
        std::uint32_t used = 0;
    };
    Mark enter(const Archive& outer, const Entry& e, const Archive& inner);
    // Memory `inner` decoded goes with it, and may be had again by another
    // archive: what started inside it is forgotten by each of `seen`.
    void leave(const Mark& mark, const Archive& inner, std::initializer_list<Seen*> seen);

private:
    std::vector<ByteRange> open_;
    std::uint64_t held_ = 0;
    std::uint32_t used_ = 0;
    std::uint64_t decoded_ = 0;
};

}  // namespace dravik
