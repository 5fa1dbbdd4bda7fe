#include "extract.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <unordered_set>

namespace dravik::py {

namespace {

constexpr int kTempAttempts = 100;
// Real archives nest a handful of levels; this many held folders make
// climbing out of tens of thousands of levels cost a few opens per level.
constexpr std::uint64_t kMaxHeldDirectories = 1024;
// A file's data moves in pieces of this size, with a look for a pending
// interruption between them.
constexpr std::size_t kChunk = 1 << 20;

// The program's words for why an entry was not unpacked (program/messages.cpp),
// so that a script sees the same reason from either.
enum class Why {
    unsafe_name,
    data_out_of_range,
    archive_ended,
    would_replace_archive,
    symlink_in_the_way,
    not_a_directory,
    is_a_directory,
    create_directory,
    open_directory,
    reopen_directory,
    create_file,
    write_file,
    replace_file,
    same_path,
};

std::string with_errno(const char* what, int error_number) {
    return std::string(what) + ": " + std::strerror(error_number);
}

std::string reason_text(Why why, int e) {
    switch (why) {
        case Why::unsafe_name: return "unsafe name, not unpacked";
        case Why::data_out_of_range: return "data lies past the end of the archive";
        case Why::archive_ended: return "the archive ended before the entry's data";
        case Why::would_replace_archive: return "would overwrite the archive being read, not unpacked";
        case Why::symlink_in_the_way:
            return "is a symbolic link, not entered; its contents go to the enclosing directory";
        case Why::not_a_directory:
            return "exists and is not a directory; its contents go to the enclosing directory";
        case Why::is_a_directory: return "exists as a directory, not replaced";
        case Why::create_directory:
            return with_errno("cannot create directory", e) + "; its contents go to the enclosing directory";
        case Why::open_directory:
            return with_errno("cannot enter directory", e) + "; its contents go to the enclosing directory";
        case Why::reopen_directory: return with_errno("cannot return to its directory", e);
        case Why::create_file: return with_errno("cannot create file", e);
        case Why::write_file: return with_errno("cannot write file", e);
        case Why::replace_file: return with_errno("cannot replace the existing file", e);
        case Why::same_path: return "same path as an earlier entry, not unpacked";
    }
    return "unknown error";
}

bool takes_errno(Why why) {
    switch (why) {
        case Why::create_directory:
        case Why::open_directory:
        case Why::reopen_directory:
        case Why::create_file:
        case Why::write_file:
        case Why::replace_file: return true;
        default: return false;
    }
}

struct Failed {
    Why why;
    int error_number = 0;
};

// One folder the walk entered: level k lies in level k - 1.
struct Level {
    Fd fd;                       // open while held; levels may be let go
    const char* name = nullptr;  // its name in the level below
    std::int32_t node = -1;      // in the outcome's folders
};

bool is_power_of_two(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

class Extractor {
public:
    Extractor(const Archive& archive, const Identity& archive_file, Fd destination,
              const std::function<bool()>& interrupted, ExtractOutcome& outcome)
        : archive_(archive), archive_file_(archive_file), interrupted_(interrupted), outcome_(outcome) {
        levels_.reserve(64);
        Level start;
        start.fd = std::move(destination);
        levels_.push_back(std::move(start));
        // A quarter of the process's descriptors, so that the files and the
        // caller's own always find one.
        held_limit_ = static_cast<std::size_t>(std::max<std::uint64_t>(
            1, std::min<std::uint64_t>(kMaxHeldDirectories, disk::open_files_limit() / 4)));
        bytes_ = archive_bytes(archive);
        if (!bytes_) buffer_.resize(kChunk);  // before any file exists, so a copy never fails for it
    }

    // Unpacks one entry as the walk hands it; false for a directory that
    // was not entered, so that its contents are placed a level up.
    bool visit(const WalkEntry& w) {
        if (interrupted_()) throw Interrupted();
        ++outcome_.acted;
        // Leave every folder deeper than where this entry lands.
        while (levels_.size() > std::size_t{w.place.depth} + 1) {
            if (levels_.back().fd.valid()) held_.pop_back();
            levels_.pop_back();
        }
        const std::int32_t folder = levels_.back().node;
        const Failed* failed = nullptr;
        Failed why{Why::unsafe_name};
        if (w.entry.is_directory ? !enter_directory(w.place.name, why) : !write_file(w.entry, w.place.name, why))
            failed = &why;
        if (!failed) {
            ++outcome_.unpacked;
            return true;
        }
        ExtractFailure f;
        f.index = w.entry.index;
        f.is_directory = w.entry.is_directory;
        f.folder = folder;
        f.name = w.place.name;
        f.reason = reason_text(failed->why, failed->error_number);
        f.error_number = takes_errno(failed->why) ? failed->error_number : 0;
        outcome_.failed.push_back(std::move(f));
        return false;
    }

private:
    void release_excess() {
        while (held_.size() > held_limit_) {
            levels_[held_.front()].fd = Fd();
            held_.pop_front();
        }
    }

    void hold(std::size_t index, Fd fd) {
        levels_[index].fd = std::move(fd);
        held_.push_back(index);
        release_excess();
    }

    // The folder where the current entries go, opened again by name if it
    // was let go, keeping descriptors at spaced levels on the way so that
    // climbing out of any depth costs O(log depth) opens per level. -1 with
    // errno set when it cannot be reached any more.
    int current_directory() {
        const std::size_t target = levels_.size() - 1;
        if (levels_[target].fd.valid()) return levels_[target].fd.get();
        std::vector<std::size_t> path;  // from the target down to the nearest held level
        std::size_t from = target;
        while (!levels_[from].fd.valid()) path.push_back(from--);
        const std::size_t gap = path.size();
        const std::size_t spare = held_limit_ > held_.size() ? held_limit_ - held_.size() : 0;
        std::size_t spaced = 1;
        for (std::size_t d = gap; d > 1; d >>= 1) ++spaced;
        const bool even = spare >= 2 * spaced;
        const std::size_t stride = even ? (gap + spare / 2 - 1) / (spare / 2) : 0;
        const std::size_t contiguous = !even && spare > spaced ? spare - spaced : 0;
        int dir = levels_[from].fd.get();
        Fd passing;  // a level walked through but not kept
        for (std::size_t i = gap; i-- > 0;) {
            const std::size_t index = path[i];
            Fd opened = disk::open_directory(dir, levels_[index].name);
            if (!opened.valid()) return -1;
            const bool keep = i == 0 || (even ? i % stride == 0 : i < contiguous || is_power_of_two(i));
            if (keep) {
                hold(index, std::move(opened));
                dir = levels_[index].fd.get();
                passing = Fd();
            } else {
                passing = std::move(opened);
                dir = passing.get();
            }
        }
        return dir;
    }

    bool fail(Failed& out, Why why, int error_number = 0) {
        out = Failed{why, error_number};
        return false;
    }

    bool enter_directory(const char* name, Failed& why) {
        const int dir = current_directory();
        if (dir < 0) return fail(why, Why::reopen_directory, errno);
        if (!name_is_safe(name)) return fail(why, Why::unsafe_name);
        if (!disk::make_directory(dir, name)) return fail(why, Why::create_directory, errno);
        Fd opened = disk::open_directory(dir, name);
        if (!opened.valid()) {
            const int e = errno;
            if (e == ELOOP || e == ENOTDIR) {
                // Linux says "not a directory" for a link when asked for a
                // directory without following links; tell the two apart.
                disk::Kind kind;
                Identity ignored;
                if (disk::inspect(dir, name, &kind, &ignored) && kind == disk::Kind::symlink)
                    return fail(why, Why::symlink_in_the_way);
                return fail(why, Why::not_a_directory);
            }
            return fail(why, Why::open_directory, e);
        }
        Level level;
        level.name = name;
        level.node = outcome_.folders.add(levels_.back().node, name);
        levels_.push_back(std::move(level));
        hold(levels_.size() - 1, std::move(opened));
        return true;
    }

    Fd create_temporary(int dir) {
        for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
            temp_name_ = disk::temporary_name("", temp_serial_++);
            Fd file = disk::create_file(dir, temp_name_.c_str());
            if (file.valid() || errno != EEXIST) return file;
        }
        errno = EEXIST;
        return Fd();
    }

    // Copies the entry's data into `out`; false with `why` set.
    bool copy_data(const Entry& entry, int out, bool& interrupted, Failed& why) {
        for (std::uint64_t done = 0; done < entry.data_size;) {
            if (interrupted_()) return interrupted = true, false;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, entry.data_size - done));
            const std::uint8_t* from = nullptr;
            if (bytes_) {
                from = bytes_ + entry.data_offset + done;
            } else {
                errno = 0;
                if (!archive_read(archive_, entry, done, buffer_.data(), n)) {
                    const int e = errno;
                    return e == 0 ? fail(why, Why::archive_ended) : fail(why, Why::write_file, e);
                }
                from = buffer_.data();
            }
            if (!disk::write_all(out, from, n)) return fail(why, Why::write_file, errno);
            done += n;
        }
        return true;
    }

    bool write_file(const Entry& entry, const char* name, Failed& why) {
        if (!name_is_safe(name)) return fail(why, Why::unsafe_name);
        // An empty file has no data to be out of range, whatever its offset.
        if (entry.data_size > 0 && std::uint64_t{entry.data_offset} + entry.data_size > archive_size(archive_))
            return fail(why, Why::data_out_of_range);
        const int dir = current_directory();
        if (dir < 0) return fail(why, Why::reopen_directory, errno);

        // Nothing of this name yet: create it exclusively and write in
        // place. Anything already there is replaced by a rename only once
        // the new content is whole, so a failure never costs the old file,
        // and a symbolic or hard link is replaced, not written through.
        const char* writing = name;
        Fd out = disk::create_file(dir, name);
        if (!out.valid()) {
            if (errno != EEXIST) return fail(why, Why::create_file, errno);
            disk::Kind kind;
            Identity existing;
            if (!disk::inspect(dir, name, &kind, &existing)) return fail(why, Why::create_file, errno);
            if (kind == disk::Kind::directory) return fail(why, Why::is_a_directory);
            if (existing == archive_file_) return fail(why, Why::would_replace_archive);
            if (existing.known && written_.count(existing) != 0) return fail(why, Why::same_path);
            out = create_temporary(dir);
            if (!out.valid()) return fail(why, Why::create_file, errno);
            writing = temp_name_.c_str();
        }
        // Taken while the descriptor is open; the file keeps it through the rename.
        Identity identity;
        if (!disk::identity_of(out.get(), &identity)) identity = Identity();

        bool interrupted = false;
        bool ok = copy_data(entry, out.get(), interrupted, why);
        if (ok && !out.close()) ok = fail(why, Why::write_file, errno);
        if (ok && writing != name && !disk::rename_within(dir, writing, name))
            ok = fail(why, Why::replace_file, errno);
        if (!ok) {
            // Nothing of the new content stays: not the file made under its
            // own name, not the temporary one.
            out.close();
            disk::remove_file(dir, writing);
            if (interrupted) throw Interrupted();
            return false;
        }
        if (identity.known) written_.insert(identity);
        return true;
    }

    const Archive& archive_;
    Identity archive_file_;
    const std::function<bool()>& interrupted_;
    ExtractOutcome& outcome_;
    std::vector<Level> levels_;  // levels_[0]: the destination, always held
    std::deque<std::size_t> held_;
    std::size_t held_limit_ = 1;
    const std::uint8_t* bytes_ = nullptr;  // the archive, when it is in memory
    std::vector<std::uint8_t> buffer_;
    // Every file written in this call, by device and inode: a later entry
    // that lands on one (a duplicate name, or one differing only in case on
    // a file system that ignores it) is refused rather than replace it.
    std::unordered_set<Identity, IdentityHash> written_;
    std::string temp_name_;
    unsigned temp_serial_ = 0;
};

}  // namespace

void PathTree::path_into(std::int32_t folder, const char* leaf, std::string& out,
                         std::vector<const char*>& scratch) const {
    scratch.clear();
    for (std::int32_t f = folder; f >= 0; f = nodes[static_cast<std::size_t>(f)].parent)
        scratch.push_back(nodes[static_cast<std::size_t>(f)].name);
    out.clear();
    for (std::size_t i = scratch.size(); i-- > 0;) {
        out += scratch[i];
        out += '/';
    }
    out += leaf;
}

ExtractOutcome extract_archive(const Archive& archive, const Identity& archive_file, Fd destination,
                               Selection& selection, const std::function<bool()>& interrupted) {
    ExtractOutcome outcome;
    Extractor extractor(archive, archive_file, std::move(destination), interrupted, outcome);
    // POSIX takes every safe name as itself: no platform rule.
    walk_entries(archive, selection, NameRule{},
                 [&extractor](const WalkEntry& w) { return extractor.visit(w); }, false);
    return outcome;
}

}  // namespace dravik::py
