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
constexpr std::size_t kMaxHeldDirectories = 1024;

ExtractResult failure(ExtractError error, const char* name, int error_number = 0) {
    return ExtractResult{error, error_number, name};
}

ExtractResult refused(const char* name, disk::NameProblem problem) {
    ExtractResult r = failure(ExtractError::name_not_allowed, name);
    r.name_problem = problem;
    return r;
}

// A folder's identity, for telling which folder a written file lies in.
// Where the system cannot tell, the files written there are looked up at
// once instead.
FileIdentity folder_identity(int fd) {
    FileIdentity identity;
    std::uint64_t ignored = 0;
    if (!file_stat(fd, &ignored, &identity)) identity = FileIdentity();
    return identity;
}

// Whether the file `existing` names in the current folder `dir` was
// written earlier in this run. Files are told apart by identity, which also
// catches a name that differs only in case on a file system that ignores
// it; but an identity costs a system call, so a file's is taken only when
// a later entry lands on a name that exists in a folder where this run
// wrote, by then under the name it was written as (the names are the
// archive's, and live as long as the run).
bool written_earlier(Extractor& x, int dir, const FileIdentity& existing) {
    const auto found = x.pending.find(x.folder_ids.back());
    if (found != x.pending.end()) {
        for (const char* name : found->second) {
            disk::EntryKind kind;
            FileIdentity identity;
            if (disk::inspect(dir, name, &kind, &identity) && identity.known) x.written.insert(identity);
        }
        x.pending.erase(found);
    }
    return x.written.count(existing) != 0;
}

// Makes and enters folder `name`. On failure no level is added: the walk
// is told, and the directory's entries go to the enclosing folder.
ExtractResult enter_directory(Extractor& x, const char* name) {
    const int dir = x.folders.current();
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
    x.folder_ids.push_back(folder_identity(opened.fd));
    x.folders.push(name, std::move(opened));
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
    const int dir = x.folders.current();
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
            if (existing.known && written_earlier(x, dir, existing))
                return failure(ExtractError::same_path, name);
            out = create_temporary(x, dir);
            if (!out.valid()) return failure(ExtractError::create_file, name, errno);
            writing = x.temp_name;
        }
        disk::guard_partial_file(dir, writing);
    }

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
    } else if (x.folder_ids.back().known) {
        x.pending[x.folder_ids.back()].push_back(name);
    } else {
        disk::EntryKind kind;
        FileIdentity identity;
        if (disk::inspect(dir, name, &kind, &identity) && identity.known) x.written.insert(identity);
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
    x.folder_ids.assign(1, folder_identity(start.fd));
    x.folders.reset(std::move(start), kMaxHeldDirectories);
    x.started = true;
    x.archive = archive_source(archive).identity;
    x.written.clear();
    x.pending.clear();
    return true;
}

void extract_leave(Extractor& x, std::uint32_t depth) {
    // Several folders can end at once.
    while (x.folders.depth() > depth) {
        x.folders.pop();
        x.folder_ids.pop_back();
    }
}

ExtractResult extract_enter_folder(Extractor& x, std::uint32_t depth, const char* name) {
    if (!x.started) return ExtractResult{};
    extract_leave(x, depth);
    return enter_directory(x, name);
}

ExtractResult extract_entry(Extractor& x, const Archive& archive, const WalkEntry& w) {
    if (!x.started) return ExtractResult{};
    // Leave every folder deeper than where this entry lands.
    extract_leave(x, w.place.depth);
    if (w.entry.is_directory) return enter_directory(x, w.place.name);
    // A nested archive's names go when the walk leaves it; the names of the
    // files written are kept for as long as the run may look them up.
    const char* name = w.place.name;
    if (w.level > 0 && name_is_safe(name)) name = x.kept_names.emplace_back(name).c_str();
    return write_file(x, archive_source(archive), name, w.entry.data_offset, w.entry.data_size);
}

}  // namespace dravik
