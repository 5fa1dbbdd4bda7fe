#include "pack.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "disk.h"
#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "dravik/writer.h"
#include "errors.h"
#include "extract.h"

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

// The archive being written: under a hidden temporary name beside its
// final one until it is complete, flushed and renamed into place; removed
// when abandoned (a failure, an interruption, an exception).
class OutputFile {
public:
    OutputFile(const std::string& path, bool force) : path_(path), force_(force) {
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
    ~OutputFile() { abort(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const Identity& existing() const { return existing_; }
    const Identity& written() const { return written_; }
    int error_number() const { return error_; }
    std::uint64_t size() const { return size_; }

    bool write(const std::uint8_t* data, std::size_t size) {
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

    void commit() {
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

    [[noreturn]] void fail(const std::string& what, int e) {
        abort();
        disk_failure(path_ + ": " + what + (what == std::strerror(e) ? "" : std::string(": ") + std::strerror(e)), e,
                     path_);
    }

private:
    bool flush() {
        if (error_) return false;
        if (used_ && !disk::write_all(fd_.get(), buffer_.data(), used_)) return error_ = errno ? errno : EIO, false;
        used_ = 0;
        return true;
    }

    void abort() {
        if (temp_.empty()) return;
        fd_.close();
        disk::remove_file(dir_.get(), temp_.c_str());
        temp_.clear();
    }

    std::string path_;
    bool force_ = false;
    std::string name_;
    std::string temp_;
    Fd dir_;
    Fd fd_;
    Identity existing_;
    Identity written_;
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
    std::uint64_t size_ = 0;
    int error_ = 0;
};

// The folder tree to pack, as scanned.
struct Folder {
    std::uint32_t parent = 0;  // folder index; folder 0 is the folder packed
    std::string name;
    std::string path;  // relative to it, "" for itself
    std::uint32_t entry = u8::kTopLevel;
};

struct Scan {
    std::vector<u8::TreeEntry> tree;
    std::vector<std::uint32_t> folder_of;  // per tree entry
    std::vector<Identity> identity;        // per tree entry
    std::vector<Folder> folders;
    std::vector<std::string> problems;
    int first_error = 0;
};

// Reaches the scanned folders by walking down by name, never through a
// symbolic link; the last one reached stays open.
struct FolderCursor {
    const Scan* scan = nullptr;
    int top = -1;
    std::uint32_t open_index = 0;
    Fd open;

    int get(std::uint32_t k) {
        if (k == 0) return top;
        if (open.valid() && open_index == k) return open.get();
        std::vector<std::uint32_t> chain;
        for (std::uint32_t f = k; f != 0; f = scan->folders[f].parent) chain.push_back(f);
        Fd current;
        int at = top;
        for (std::size_t i = chain.size(); i-- > 0;) {
            Fd next = disk::open_directory(at, scan->folders[chain[i]].name.c_str());
            if (!next.valid()) return -1;
            current = std::move(next);
            at = current.get();
        }
        open = std::move(current);
        open_index = k;
        return open.get();
    }
};

const char* kind_reason(disk::Kind kind) {
    switch (kind) {
        case disk::Kind::symlink: return "is a symbolic link, not followed; not packed";
        case disk::Kind::fifo: return "is a FIFO, not packed";
        case disk::Kind::socket: return "is a socket, not packed";
        case disk::Kind::device: return "is a device, not packed";
        default: return "is not a regular file or folder, not packed";
    }
}

// Scans the folder. The output and its temporary file are left out, so an
// archive written inside the folder never holds itself.
void scan_tree(int top, const std::string& shown, const OutputFile& output, Selection& selection, Scan& s) {
    s.folders.push_back(Folder{});
    FolderCursor cursor{&s, top, 0, Fd()};
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
            if (e.identity == output.existing() || e.identity == output.written()) continue;
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
                s.folders.push_back(Folder{k, e.name, path, static_cast<std::uint32_t>(s.tree.size() - 1)});
        }
    }
}

// Serves the files' data and the original's bytes to the writer.
struct DataServer {
    const Scan* scan = nullptr;
    FolderCursor folders;
    const Archive* original = nullptr;
    std::string shown_dir;
    const std::function<bool()>* interrupted = nullptr;
    std::vector<std::uint8_t> chunk;
    std::string problem;  // set when serving failed
    int problem_errno = 0;
    bool stopped = false;  // an interruption

    std::string shown(std::uint64_t key) const {
        return join(shown_dir, join(scan->folders[scan->folder_of[key]].path, scan->tree[key].name));
    }

    bool fail(const std::string& line, int e) {
        problem = line;
        problem_errno = e;
        return false;
    }

    Fd open_entry(std::uint64_t key) {
        const u8::TreeEntry& e = scan->tree[key];
        const int dir = folders.get(scan->folder_of[key]);
        std::uint64_t size = 0;
        Identity id;
        Fd f = dir < 0 ? Fd() : disk::open_file_in(dir, e.name.c_str(), &size, &id);
        if (!f.valid()) {
            const int err = errno;
            fail(shown(key) + ": cannot be read: " + std::strerror(err), err);
            return f;
        }
        if (size != e.size || !(id == scan->identity[key])) {
            fail(shown(key) + ": changed while being packed", EAGAIN);
            return Fd();
        }
        return f;
    }

    bool read_file(std::uint64_t key, const std::function<bool(const std::uint8_t*, std::size_t)>& each) {
        Fd f = open_entry(key);
        if (!f.valid()) return false;
        const std::uint64_t size = scan->tree[key].size;
        chunk.resize(kChunk);
        for (std::uint64_t done = 0; done < size;) {
            if ((*interrupted)()) return stopped = true, false;
            const std::size_t n = size - done < kChunk ? static_cast<std::size_t>(size - done) : kChunk;
            if (!disk::read_at(f.get(), done, chunk.data(), n)) {
                const int e = errno;
                return e == 0 ? fail(shown(key) + ": changed while being packed", EAGAIN)
                              : fail(shown(key) + ": cannot be read: " + std::strerror(e), e);
            }
            if (!each(chunk.data(), n)) return false;
            done += n;
        }
        return true;
    }

    // Whether file `key` holds exactly node `node`'s data in the original.
    bool same_as_original(std::uint32_t node, std::uint64_t key) {
        Entry e;
        if (!archive_entry(*original, node, &e) || e.data_size != scan->tree[key].size) return false;
        std::vector<std::uint8_t> theirs(kChunk);
        std::uint64_t at = 0;
        bool same = true;
        const bool read = read_file(key, [&](const std::uint8_t* p, std::size_t n) {
            if (!archive_read(*original, e, at, theirs.data(), n) || std::memcmp(p, theirs.data(), n) != 0)
                same = false;
            at += n;
            return same;
        });
        return read && same;
    }
};

std::string layout_problem(const u8::LayoutResult& r, const DataServer& server, const std::string& archive) {
    const std::string who = r.entry < server.scan->tree.size() ? server.shown(r.entry) : archive;
    switch (r.error) {
        case u8::LayoutError::none: break;
        case u8::LayoutError::offset_too_large:
            return who + ": the archive's data would pass 4 GiB - 1, which U8 offsets cannot reach";
        case u8::LayoutError::names_too_large:
            return who + ": the names would pass 16 MiB, which U8 name offsets cannot reach";
        case u8::LayoutError::too_many_nodes: return who + ": too many entries for a U8 table";
        case u8::LayoutError::bad_alignment: return who + ": the alignment must be a power of two from 1 to 65536";
        case u8::LayoutError::bad_tree: return who + ": the folder changed while being read";
        case u8::LayoutError::bad_name: return who + ": a name holding a NUL byte cannot be stored";
        case u8::LayoutError::unusual_original:
            return who + ": the archive to lay out like has its table inside its header";
    }
    return who + ": cannot be laid out";
}

bool ends_with_szs(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return tail == ".szs";
}

}  // namespace

PackOutcome pack_folder(const PackRequest& request, const std::function<bool()>& interrupted) {
    const std::string& archive = request.archive;
    const std::string& dir = request.folder;
    ArchivePtr original;
    if (!request.like.empty()) {
        OpenStatus status;
        original = archive_open(request.like.c_str(), &status);
        if (!original && status.error == OpenError::cannot_open)
            disk_failure(request.like + ": " + std::strerror(status.error_number), status.error_number, request.like);
        if (!original)
            throw ArchiveFailure{request.like + ": cannot be used to lay out like: not a readable U8 archive"};
    } else if (!u8::alignment_is_valid(request.align)) {
        throw ArchiveFailure{"align: the alignment must be a power of two from 1 to 65536"};
    }

    Fd top = disk::open_directory_path(dir.c_str());
    if (!top.valid()) {
        const int e = errno;
        disk_failure(dir + ": " + std::strerror(e), e, dir);
    }
    OutputFile output(archive, request.force);

    Scan scan;
    Selection selection = make_selection({}, request.exclude);
    scan_tree(top.get(), dir, output, selection, scan);
    if (!scan.problems.empty()) {
        DiskFailure f;
        f.problems = scan.problems;
        for (const std::string& p : scan.problems) f.message += p + "\n";
        f.message += archive + ": not written";
        f.error_number = scan.first_error;
        f.filename = archive;
        throw f;
    }
    if (scan.tree.empty()) throw ArchiveFailure{dir + ": nothing to pack; an archive needs at least one entry"};

    DataServer server;
    server.scan = &scan;
    server.folders = FolderCursor{&scan, top.get(), 0, Fd()};
    server.original = original.get();
    server.shown_dir = dir;
    server.interrupted = &interrupted;
    const auto served_failure = [&server]() {
        if (server.stopped) throw Interrupted();
        disk_failure(server.problem, server.problem_errno, "");
    };

    PackOutcome outcome;
    u8::Plan plan;
    std::vector<Carrier> carriers;
    yaz0::EncodeOptions yaz0_options = request.yaz0;
    if (original) {
        const u8::LikeOutcome like = u8::layout_like(
            *original, scan.tree, NameRule{},
            [&server](std::uint32_t node, std::uint64_t key) { return server.same_as_original(node, key); }, plan);
        if (!server.problem.empty() || server.stopped) served_failure();
        if (like.result.error != u8::LayoutError::none)
            throw ArchiveFailure{layout_problem(like.result, server, archive)};
        for (const std::string& gone : like.dropped) outcome.dropped.push_back(join(dir, gone));
        carriers = archive_carriers(*original);
        yaz0_options.level = yaz0::Level::best;
    } else {
        const u8::LayoutResult r = u8::layout_default(scan.tree, request.align, plan);
        if (r.error != u8::LayoutError::none) throw ArchiveFailure{layout_problem(r, server, archive)};
    }
    if (request.compression == Compression::yaz0 ||
        (request.compression == Compression::by_name && !original && ends_with_szs(archive))) {
        carriers.assign(1, Carrier{});
    } else if (request.compression == Compression::none) {
        carriers.clear();
    }

    // Also where a long compression hears of Ctrl-C: the encoder stops
    // when its sink refuses.
    const ByteSink to_file = [&output, &server, &interrupted](const std::uint8_t* p, std::size_t n) {
        if (interrupted()) return server.stopped = true, false;
        return output.write(p, n);
    };
    const u8::DataSource source = [&server](const u8::Piece& piece, const ByteSink& sink) {
        return server.read_file(piece.key, sink);
    };
    bool ok = true;
    if (carriers.empty()) {
        ok = u8::write_plan(plan, to_file, source, original.get());
    } else if (carriers.size() == 1 && carriers[0].kind == CarrierKind::yaz0) {
        // The archive's size is known from the layout: the encoder streams.
        if (plan.size > 0xFFFFFFFFu) throw ArchiveFailure{archive + ": larger than Yaz0 can hold (4 GiB - 1)"};
        yaz0::EncoderPtr encoder = yaz0::encoder_begin(static_cast<std::uint32_t>(plan.size), yaz0_options, to_file);
        if (!encoder) throw std::bad_alloc();
        ok = u8::write_plan(plan, [&encoder](const std::uint8_t* p, std::size_t n) {
            return yaz0::encoder_feed(*encoder, p, n);
        }, source, original.get()) && yaz0::encoder_finish(*encoder);
    } else {
        // Banners and their parts are small: wrapped whole in memory.
        Bytes bytes;
        bytes.reserve(static_cast<std::size_t>(plan.size));
        ok = u8::write_plan(plan, [&bytes](const std::uint8_t* p, std::size_t n) {
            bytes.insert(bytes.end(), p, p + n);
            return true;
        }, source, original.get());
        if (ok && !carrier_wrap(carriers, yaz0_options, bytes))
            throw ArchiveFailure{archive + ": too large for the carrier of " + request.like};
        ok = ok && output.write(bytes.data(), bytes.size());
    }
    if (!ok) {
        if (!server.problem.empty() || server.stopped) served_failure();
        // Neither a file nor the output failed: the original's own bytes did.
        if (original && output.error_number() == 0)
            throw ArchiveFailure{request.like + ": the archive to lay out like could not be read"};
        output.fail("cannot write", output.error_number() ? output.error_number() : EIO);
    }
    if (interrupted()) throw Interrupted();
    output.commit();
    outcome.size = output.size();
    for (const Carrier& c : carriers) outcome.carriers.push_back(carrier_name(c.kind));
    return outcome;
}

}  // namespace dravik::py
