#include "program/extract.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "program/disk/copy.h"
#include "program/disk/interrupt.h"
#include "program/disk/process.h"
#include "program/disk/tree.h"
#include "lib/u8/u8_read.h"
#include "program/output_file.h"

namespace dravik {

namespace {

constexpr int kTempAttempts = 100;
// Real archives nest a handful of levels; this many held directories make
// climbing out of tens of thousands of levels cost a few opens per level,
// and more buy little.
constexpr std::uint64_t kMaxHeldDirectories = 1024;

ExtractResult failure(ExtractError error, const char* name, int error_number = 0) {
    return ExtractResult{error, error_number, name};
}

ExtractResult refused(const char* name, disk::NameProblem problem) {
    ExtractResult r = failure(ExtractError::name_not_allowed, name);
    r.name_problem = problem;
    return r;
}

// Closes the shallowest held levels until no more than the limit are held.
// The deepest held level is the last to go, so with a limit of at least one
// the directory being worked in always stays.
void release_excess(Extractor& x) {
    while (x.held.size() > x.held_limit) {
        x.levels[x.held.front()].fd = FileDescriptor();
        x.held.pop_front();
    }
}

void hold(Extractor& x, std::size_t index, FileDescriptor fd) {
    x.levels[index].fd = std::move(fd);
    x.held.push_back(index);
    release_excess(x);
}

bool is_power_of_two(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

// The folder where the current entries go: the deepest level, opened again
// if it was released. Returns -1 with errno set when it cannot be reached
// any more.
int current_directory(Extractor& x) {
    const std::size_t target = x.levels.size() - 1;
    if (x.levels[target].fd.valid()) return x.levels[target].fd.fd;

    // The levels between the nearest held one (at worst the start, always
    // held) and the target, innermost first.
    std::vector<std::size_t>& path = x.reopen_path;
    path.clear();
    std::size_t from = target;
    while (!x.levels[from].fd.valid()) {
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
    const std::size_t spare = x.held_limit > x.held.size() ? x.held_limit - x.held.size() : 0;
    std::size_t spaced = 1;
    for (std::size_t d = gap; d > 1; d >>= 1) ++spaced;
    const bool even = spare >= 2 * spaced;
    const std::size_t stride = even ? (gap + spare / 2 - 1) / (spare / 2) : 0;
    const std::size_t contiguous = !even && spare > spaced ? spare - spaced : 0;
    int dir = x.levels[from].fd.fd;
    FileDescriptor passing;  // a level walked through but not kept
    for (std::size_t i = gap; i-- > 0;) {
        const std::size_t index = path[i];
        FileDescriptor opened = disk::open_directory(dir, x.levels[index].name);
        if (!opened.valid()) return -1;
        const bool keep =
            i == 0 || (even ? i % stride == 0 : i < contiguous || is_power_of_two(i));
        if (keep) {
            hold(x, index, std::move(opened));
            dir = x.levels[index].fd.fd;
            passing = FileDescriptor();
        } else {
            passing = std::move(opened);
            dir = passing.fd;
        }
    }
    return dir;
}

// Makes and enters folder `name`. On failure no level is added: the walk
// is told, and the directory's entries go to the enclosing folder.
ExtractResult enter_directory(Extractor& x, const char* name) {
    const int dir = current_directory(x);
    if (dir < 0) return failure(ExtractError::reopen_directory, name, errno);
    if (!name_is_safe(name)) return failure(ExtractError::unsafe_name, name);
    if (const disk::NameProblem problem = disk::name_problem(dir, name); problem != disk::NameProblem::none)
        return refused(name, problem);
    if (!disk::make_directory(dir, name)) return failure(ExtractError::create_directory, name, errno);
    FileDescriptor opened = disk::open_directory(dir, name);
    if (!opened.valid()) {
        const int error_number = errno;
        if (error_number == ELOOP || error_number == ENOTDIR) {
            // Linux reports a symbolic link as "not a directory" when asked
            // for a directory without following links; tell the two apart.
            disk::EntryKind kind;
            FileIdentity ignored;
            if (disk::inspect(dir, name, &kind, &ignored) && kind == disk::EntryKind::symlink)
                return failure(ExtractError::symlink_in_the_way, name);
            return failure(ExtractError::not_a_directory, name);
        }
        return failure(ExtractError::open_directory, name, error_number);
    }
    DirectoryLevel level;
    level.name = name;
    x.levels.push_back(std::move(level));
    hold(x, x.levels.size() - 1, std::move(opened));
    return ExtractResult{ExtractError::none, 0, name};
}

// Creates a fresh file under a temporary name in `dir`, for content that is
// to replace an existing file only once it is complete.
FileDescriptor create_temporary(Extractor& x, int dir) {
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        std::snprintf(x.temp_name, sizeof x.temp_name, ".dravik-%ld-%u.part",
                      disk::process_id(), x.temp_serial++);
        FileDescriptor file = disk::create_file(dir, x.temp_name);
        if (file.valid() || errno != EEXIST) return file;
    }
    errno = EEXIST;
    return FileDescriptor();
}

ExtractResult write_file(Extractor& x, const Source& source, const char* name,
                         std::uint32_t offset, std::uint32_t size) {
    if (!name_is_safe(name)) return failure(ExtractError::unsafe_name, name);
    // An empty file has no data to be out of range, whatever its offset.
    if (size > 0 && std::uint64_t{offset} + size > source.size)
        return failure(ExtractError::data_out_of_range, name);
    const int dir = current_directory(x);
    if (dir < 0) return failure(ExtractError::reopen_directory, name, errno);
    if (const disk::NameProblem problem = disk::name_problem(dir, name); problem != disk::NameProblem::none)
        return refused(name, problem);

    // Whatever the copy needs in memory is there before anything is created.
    if (size > 0 && !source_bytes(source) && !disk::prepare_copier(x.copier))
        return failure(ExtractError::create_file, name, errno);

    // The common case, nothing of this name yet: create it exclusively and
    // write in place; a failure removes it again. Anything already there is
    // replaced by rename only once the new content is whole, so a failed
    // entry never costs the user the old file, and a symbolic link or a hard
    // link is replaced rather than written through. A signal arriving while
    // the file is created waits until it is guarded, so that it removes the
    // file rather than leave it empty.
    const char* writing = name;
    FileDescriptor out;
    {
        disk::InterruptsHeld held;
        out = disk::create_file(dir, name);
        if (!out.valid()) {
            if (errno != EEXIST) return failure(ExtractError::create_file, name, errno);
            disk::EntryKind kind;
            FileIdentity existing;
            if (!disk::inspect(dir, name, &kind, &existing))
                return failure(ExtractError::create_file, name, errno);
            if (kind == disk::EntryKind::directory)
                return failure(ExtractError::is_a_directory, name);
            if (same_identity(existing, x.archive))
                return failure(ExtractError::would_replace_archive, name);
            if (existing.known && x.written.count(existing) != 0)
                return failure(ExtractError::same_path, name);
            out = create_temporary(x, dir);
            if (!out.valid()) return failure(ExtractError::create_file, name, errno);
            writing = x.temp_name;
        }
        disk::guard_partial_file(dir, writing);
    }

    // Taken now, while the descriptor is open; the file keeps its identity
    // through the rename.
    FileIdentity identity;
    std::uint64_t ignored_size = 0;
    if (!file_stat(out.fd, &ignored_size, &identity)) identity = FileIdentity();
    bool ok = true;
    bool input_ended = false;
    if (size > 0) {
        if (const std::uint8_t* bytes = source_bytes(source)) {
            ok = disk::write_all(out.fd, bytes + offset, size);
        } else {
            ok = disk::copy_file_data(x.copier, source.file.fd, source.base + offset, out.fd, size,
                                      &input_ended);
        }
    }
    int error_number = errno;
    ExtractError error = ExtractError::none;
    if (!ok) {
        error = input_ended ? ExtractError::archive_ended : ExtractError::write_file;
    } else if (!fd_close(out)) {
        error = ExtractError::write_file;
        error_number = errno;
    } else if (writing != name && !disk::rename_within(dir, writing, name)) {
        error = ExtractError::replace_file;
        error_number = errno;
    } else if (identity.known) {
        x.written.insert(identity);
    }
    // On any failure, nothing of the new content stays: not the file made
    // under its own name, not the temporary one.
    if (error != ExtractError::none) {
        fd_close(out);
        disk::remove_file(dir, writing);
    }
    disk::release_partial_file();
    if (error == ExtractError::archive_ended) return failure(error, name);
    if (error != ExtractError::none) return failure(error, name, error_number);
    return ExtractResult{ExtractError::none, 0, name};
}

}  // namespace

bool extract_begin(Extractor& x, const Archive& archive) {
    FileDescriptor start = disk::open_current_directory();
    if (!start.valid()) return false;
    return extract_begin(x, archive, std::move(start));
}

bool extract_begin(Extractor& x, const Archive& archive, FileDescriptor start) {
    if (!start.valid()) return false;
    x.levels.clear();
    x.levels.reserve(64);  // deep enough for real archives without growing
    DirectoryLevel root;
    root.fd = std::move(start);
    x.levels.push_back(std::move(root));
    x.held.clear();
    // A quarter of the process's descriptors, so that the files, the
    // archive and the standard streams always find one.
    const std::uint64_t quarter = disk::open_files_limit() / 4;
    x.held_limit = static_cast<std::size_t>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(kMaxHeldDirectories, quarter)));
    x.archive = archive_source(archive).identity;
    x.written.clear();
    return true;
}

void extract_leave(Extractor& x, std::uint32_t depth) {
    // Several folders can end at once.
    while (x.levels.size() > std::size_t{depth} + 1) {
        // A held level is always the deepest held one.
        if (x.levels.back().fd.valid()) x.held.pop_back();
        x.levels.pop_back();
    }
}

ExtractResult extract_enter_folder(Extractor& x, std::uint32_t depth, const char* name) {
    if (x.levels.empty()) return ExtractResult{};
    extract_leave(x, depth);
    return enter_directory(x, name);
}

ExtractResult extract_entry(Extractor& x, const Archive& archive, const WalkEntry& w) {
    if (x.levels.empty()) return ExtractResult{};
    // Leave every folder deeper than where this entry lands.
    extract_leave(x, w.place.depth);
    if (!w.entry.is_directory)
        return write_file(x, archive_source(archive), w.place.name, w.entry.data_offset,
                          w.entry.data_size);
    return enter_directory(x, w.place.name);
}

}  // namespace dravik
