#include "program/folder_path.h"

#include <algorithm>

#include "program/disk/process.h"
#include "program/disk/tree.h"

namespace dravik {

namespace {

bool is_power_of_two(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

void FolderPath::reset(FileDescriptor start, std::size_t limit) {
    owned_start_ = std::move(start);
    reset(owned_start_.fd, limit);
}

void FolderPath::reset(int start, std::size_t limit) {
    if (start != owned_start_.fd) owned_start_ = FileDescriptor();
    start_ = start;
    levels_.clear();
    levels_.reserve(64);  // deep enough for real trees without growing
    levels_.push_back(Level{});
    held_.clear();
    const std::uint64_t quarter = disk::open_files_limit() / 4;
    limit_ = static_cast<std::size_t>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(limit, quarter)));
}

// Holds `fd` for level `index`, closing the shallowest held levels until no
// more than the limit are held. The deepest held level is the last to go,
// so with a limit of at least one the folder being worked in always stays.
void FolderPath::hold(std::size_t index, FileDescriptor fd) {
    levels_[index].fd = std::move(fd);
    held_.push_back(index);
    while (held_.size() > limit_) {
        levels_[held_.front()].fd = FileDescriptor();
        held_.pop_front();
    }
}

void FolderPath::push(const std::string& name, FileDescriptor fd) {
    levels_.push_back(Level{FileDescriptor(), name});
    hold(levels_.size() - 1, std::move(fd));
}

void FolderPath::pop() {
    if (levels_.size() <= 1) return;
    // A held level is always the deepest held one.
    if (levels_.back().fd.valid()) held_.pop_back();
    levels_.pop_back();
}

int FolderPath::current() {
    const std::size_t target = levels_.size() - 1;
    if (target == 0) return start_;
    if (levels_[target].fd.valid()) return levels_[target].fd.fd;

    // The levels between the nearest held one (at worst the start, always
    // held) and the target, innermost first.
    std::vector<std::size_t>& path = reopen_;
    path.clear();
    std::size_t from = target;
    while (from > 0 && !levels_[from].fd.valid()) {
        path.push_back(from);
        --from;
    }

    // Walk down again by name, never following a symbolic link, as the first
    // descent did, keeping descriptors at spaced levels; level path[i] lies
    // i levels below the target. With budget to spare, they are spread
    // evenly, one every `stride` levels, so that each stretch between two
    // is walked again once, with half the budget. With little, they sit at
    // powers of two from the target (what is left over goes to the levels
    // nearest it): a stretch of 2^k levels is then walked again in O(2^k k)
    // opens in all, O(log depth) for each level returned to.
    const std::size_t gap = path.size();
    const std::size_t spare = limit_ > held_.size() ? limit_ - held_.size() : 0;
    std::size_t spaced = 1;
    for (std::size_t d = gap; d > 1; d >>= 1) ++spaced;
    const bool even = spare >= 2 * spaced;
    const std::size_t stride = even ? (gap + spare / 2 - 1) / (spare / 2) : 0;
    const std::size_t contiguous = !even && spare > spaced ? spare - spaced : 0;
    int dir = from == 0 ? start_ : levels_[from].fd.fd;
    FileDescriptor passing;  // a level walked through but not kept
    for (std::size_t i = gap; i-- > 0;) {
        const std::size_t index = path[i];
        FileDescriptor opened = disk::open_directory(dir, levels_[index].name.c_str());
        if (!opened.valid()) return -1;
        const bool keep = i == 0 || (even ? i % stride == 0 : i < contiguous || is_power_of_two(i));
        if (keep) {
            hold(index, std::move(opened));
            dir = levels_[index].fd.fd;
            passing = FileDescriptor();
        } else {
            passing = std::move(opened);
            dir = passing.fd;
        }
    }
    return dir;
}

}  // namespace dravik
