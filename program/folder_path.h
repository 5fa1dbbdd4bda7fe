// A path of open folders below a start folder, as deep as a tree goes,
// holding at most a bounded number of descriptors: the unpacker walks down
// an archive's folders with it and the packer down a folder's.
//
// At most `limit` levels beyond the start hold a descriptor (the start is
// always held), so that any depth of nesting leaves descriptors for files.
// When too many are held the shallowest is let go. A level let go is
// opened again by name from the nearest held level above it when the path
// comes back to it, keeping descriptors at spaced levels on the way (spread
// evenly when the budget allows, else at distances 1, 2, 4, 8... from its
// end), so that climbing out of any depth costs O(log depth) opens per
// level, amortised, instead of a walk from the start each time. Every name
// is opened relative to its folder, never through a symbolic link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "lib/platform/platform.h"

namespace dravik {

class FolderPath {
public:
    // Starts over at `start` (always held), with a budget of descriptors:
    // `limit`, or a quarter of the process's open-files limit when that is
    // lower (so that files, the archive and the standard streams always
    // find one), and at least one.
    void reset(FileDescriptor start, std::size_t limit);
    // The same at a folder the caller keeps open for the path's life.
    void reset(int start, std::size_t limit);
    // Levels below the start.
    std::size_t depth() const { return levels_.size() - 1; }
    // Goes down into folder `name` of the current one, already opened as
    // `fd` by the caller.
    void push(const std::string& name, FileDescriptor fd);
    // Goes back up one level.
    void pop();
    // The deepest folder, opened again if it was let go; -1 with errno set
    // when it cannot be reached any more.
    int current();

private:
    struct Level {
        FileDescriptor fd;  // open while held
        std::string name;   // its name in the level above
    };
    void hold(std::size_t index, FileDescriptor fd);

    FileDescriptor owned_start_;
    int start_ = -1;
    std::vector<Level> levels_;  // levels_[0]: the start, always reached through start_
    std::deque<std::size_t> held_;  // held levels beyond the start, shallowest first
    std::size_t limit_ = 1;
    std::vector<std::size_t> reopen_;  // scratch for the walk back down
};

}  // namespace dravik
