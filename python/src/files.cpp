#include "files.h"

#include <cerrno>
#include <cstring>

#include "errors.h"

namespace dravik::py {

namespace {

constexpr std::size_t kChunk = 256 * 1024;
constexpr std::size_t kBufferSize = 256 * 1024;
constexpr int kTempAttempts = 100;

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

[[noreturn]] void disk_failure(const std::string& message, int error_number, const std::string& filename) {
    throw DiskFailure{message, error_number, filename, {}};
}

const char* kind_reason(disk::Kind kind) {
    switch (kind) {
        case disk::Kind::symlink: return "is a symbolic link, not followed; not packed";
        case disk::Kind::fifo: return "is a FIFO, not packed";
        case disk::Kind::socket: return "is a socket, not packed";
        case disk::Kind::device: return "is a device, not packed";
        default: return "is not a regular file or folder, not packed";
    }
}

}  // namespace

int FolderCursor::get(std::uint32_t k) {
    if (k == 0) return top_;
    if (open_.valid() && open_index_ == k) return open_.get();
    std::vector<std::uint32_t> chain;
    for (std::uint32_t f = k; f != 0; f = scan_.folders[f].parent) chain.push_back(f);
    Fd current;
    int at = top_;
    for (std::size_t i = chain.size(); i-- > 0;) {
        Fd next = disk::open_directory(at, scan_.folders[chain[i]].name.c_str());
        if (!next.valid()) return -1;
        current = std::move(next);
        at = current.get();
    }
    open_ = std::move(current);
    open_index_ = k;
    return open_.get();
}

std::string open_error_reason(const OpenStatus& status) {
    if (status.error == OpenError::cannot_open) return std::strerror(status.error_number);
    return open_error_text(status.error);
}

ArchivePtr open_archive_file(const std::string& path, Identity* identity, OpenStatus* status) {
    Fd file = disk::open_file_path(path.c_str(), identity);
    if (!file.valid()) {
        *status = OpenStatus();
        status->error = OpenError::cannot_open;
        status->error_number = errno;
        return nullptr;
    }
    // Open the very file just identified; /dev/fd is where the system
    // offers that, and the path serves where it does not.
    const std::string same = "/dev/fd/" + std::to_string(file.get());
    ArchivePtr archive = archive_open(same.c_str(), status);
    if (!archive && status->error == OpenError::cannot_open) {
        *status = OpenStatus();
        archive = archive_open(path.c_str(), status);
    }
    return archive;
}

// ------------------------------------------------------------ OutputFile

OutputFile::OutputFile(const std::string& path, bool force) : path_(path), force_(force) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name_.empty() || name_ == "." || name_ == "..") disk_failure(path + ": not a file name", EINVAL, path);
    dir_ = disk::open_directory_path(folder.c_str());
    if (!dir_.valid()) fail("cannot open its folder", errno);
    disk::Kind kind;
    if (!disk::inspect(dir_.get(), name_.c_str(), &kind, &existing_)) fail(std::strerror(errno), errno);
    if (kind == disk::Kind::directory) disk_failure(path + ": is a directory", EISDIR, path);
    if (kind != disk::Kind::missing && !force)
        disk_failure(path + ": exists; force=True replaces it", EEXIST, path);
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        temp_ = disk::temporary_name(name_, static_cast<unsigned>(attempt));
        fd_ = disk::create_file(dir_.get(), temp_.c_str());
        if (fd_.valid() || errno != EEXIST) break;
    }
    if (!fd_.valid()) {
        temp_.clear();
        fail("cannot create a file beside it", errno);
    }
    disk::identity_of(fd_.get(), &written_);
    buffer_.resize(kBufferSize);
}

bool OutputFile::write(const std::uint8_t* data, std::size_t size) {
    if (error_) return false;
    size_ += size;
    if (size >= buffer_.size()) {
        if (!flush()) return false;
        if (!disk::write_all(fd_.get(), data, size)) return error_ = errno ? errno : EIO, false;
        return true;
    }
    if (used_ + size > buffer_.size() && !flush()) return false;
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
    return true;
}

void OutputFile::commit() {
    bool ok = flush();
    if (ok && !disk::sync_file(fd_.get())) ok = false, error_ = errno;
    if (ok && !fd_.close()) ok = false, error_ = errno;
    if (!ok) fail("cannot write", error_);
    const bool renamed = force_ ? disk::rename_within(dir_.get(), temp_.c_str(), name_.c_str())
                                : disk::rename_no_replace(dir_.get(), temp_.c_str(), name_.c_str());
    if (!renamed) {
        const int e = errno;
        if (e == EEXIST) disk_failure(path_ + ": exists; force=True replaces it", e, path_);
        fail("cannot rename into place", e);
    }
    temp_.clear();
}

void OutputFile::fail(const std::string& what, int e) {
    abort();
    disk_failure(path_ + ": " + what + (what == std::strerror(e) ? "" : std::string(": ") + std::strerror(e)), e,
                 path_);
}

bool OutputFile::flush() {
    if (error_) return false;
    if (used_ && !disk::write_all(fd_.get(), buffer_.data(), used_)) return error_ = errno ? errno : EIO, false;
    used_ = 0;
    return true;
}

void OutputFile::abort() {
    if (temp_.empty()) return;
    fd_.close();
    disk::remove_file(dir_.get(), temp_.c_str());
    temp_.clear();
}

// ------------------------------------------------------------------ scan

void scan_tree(int top, const std::string& shown, const Identity& skip_a, const Identity& skip_b,
               Selection& selection, Scan& s) {
    s.folders.push_back(ScannedFolder{});
    FolderCursor cursor(s, top);
    std::vector<disk::FolderEntry> entries;
    auto problem = [&s](const std::string& line, int e) {
        s.problems.push_back(line);
        if (!s.first_error) s.first_error = e;
    };
    for (std::uint32_t k = 0; k < s.folders.size(); ++k) {
        const std::string folder_path = s.folders[k].path;
        const int dir = cursor.get(k);
        if (dir < 0 || !disk::list_folder(dir, entries)) {
            const int e = errno;
            problem(join(shown, folder_path) + ": cannot read folder: " + std::strerror(e), e);
            continue;
        }
        for (disk::FolderEntry& e : entries) {
            if (e.identity == skip_a || e.identity == skip_b) continue;
            const std::string path = join(folder_path, e.name);
            if (match_any(selection.exclude, path, e.name)) continue;  // a folder: all of it
            if (e.kind != disk::Kind::regular && e.kind != disk::Kind::directory) {
                problem(join(shown, path) + ": " + kind_reason(e.kind), EINVAL);
                continue;
            }
            if (e.kind == disk::Kind::regular && !e.readable) {
                problem(join(shown, path) + ": cannot be read: " + std::strerror(EACCES), EACCES);
                continue;
            }
            u8::TreeEntry t;
            t.name = e.name;
            t.is_directory = e.kind == disk::Kind::directory;
            t.parent = s.folders[k].entry;
            t.size = t.is_directory ? 0 : e.size;
            t.key = s.tree.size();
            s.tree.push_back(std::move(t));
            s.folder_of.push_back(k);
            s.identity.push_back(e.identity);
            if (e.kind == disk::Kind::directory)
                s.folders.push_back(ScannedFolder{k, e.name, path, static_cast<std::uint32_t>(s.tree.size() - 1)});
        }
    }
}

// ------------------------------------------------------------ ScanReader

std::string ScanReader::shown(std::uint64_t key) const {
    return join(shown_dir_, join(scan_.folders[scan_.folder_of[key]].path, scan_.tree[key].name));
}

bool send_file(int dir, const std::string& name, std::uint64_t size, const Identity& identity,
               const std::string& shown, const char* changed, const std::function<bool()>& interrupted,
               std::vector<std::uint8_t>& chunk, const ByteSink& sink, ReadProblem& out) {
    std::uint64_t now = 0;
    Identity id;
    Fd f = dir < 0 ? Fd() : disk::open_file_in(dir, name.c_str(), &now, &id);
    if (!f.valid()) {
        const int err = errno;
        return out.fail(shown + ": cannot be read: " + std::strerror(err), err);
    }
    if (now != size || !(id == identity)) return out.fail(shown + ": changed while " + changed, EAGAIN);
    chunk.resize(kChunk);
    for (std::uint64_t done = 0; done < size;) {
        if (interrupted()) return out.stopped = true, false;
        const std::size_t n = size - done < kChunk ? static_cast<std::size_t>(size - done) : kChunk;
        if (!disk::read_at(f.get(), done, chunk.data(), n)) {
            const int err = errno;
            return err == 0 ? out.fail(shown + ": changed while " + changed, EAGAIN)
                            : out.fail(shown + ": cannot be read: " + std::strerror(err), err);
        }
        if (!sink(chunk.data(), n)) return false;
        done += n;
    }
    return true;
}

bool ScanReader::read(std::uint64_t key, const ByteSink& each) {
    const u8::TreeEntry& e = scan_.tree[key];
    return send_file(cursor_.get(scan_.folder_of[key]), e.name, e.size, scan_.identity[key], shown(key),
                     "being packed", interrupted_, chunk_, each, *this);
}

// ---------------------------------------------------------------- writing

Wrapped write_wrapped(const u8::Plan& plan, const std::vector<Carrier>& carriers,
                      const yaz0::EncodeOptions& yaz0_options, const ByteSink& sink,
                      const u8::DataSource& source, const Archive* original) {
    if (carriers.empty()) return u8::write_plan(plan, sink, source, original) ? Wrapped::written : Wrapped::failed;
    if (carriers.size() == 1 && carriers[0].kind == CarrierKind::yaz0) {
        // The archive's size is known from the layout: the encoder streams.
        if (plan.size > 0xFFFFFFFFu) return Wrapped::too_large_for_carrier;
        yaz0::EncoderPtr encoder = yaz0::encoder_begin(static_cast<std::uint32_t>(plan.size), yaz0_options, sink);
        if (!encoder) throw std::bad_alloc();
        const bool ok = u8::write_plan(plan, [&encoder](const std::uint8_t* p, std::size_t n) {
            return yaz0::encoder_feed(*encoder, p, n);
        }, source, original) && yaz0::encoder_finish(*encoder);
        return ok ? Wrapped::written : Wrapped::failed;
    }
    // Banners and their parts are small: wrapped whole in memory.
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(plan.size));
    if (!u8::write_plan(plan, [&bytes](const std::uint8_t* p, std::size_t n) {
            bytes.insert(bytes.end(), p, p + n);
            return true;
        }, source, original))
        return Wrapped::failed;
    if (!carrier_wrap(carriers, yaz0_options, bytes)) return Wrapped::too_large_for_carrier;
    return sink(bytes.data(), bytes.size()) ? Wrapped::written : Wrapped::failed;
}

}  // namespace dravik::py
