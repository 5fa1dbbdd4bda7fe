// What packing and editing share on disk: the archive opened by the path a
// caller gave, the output written whole or not at all, a folder scanned
// without following links and its files read back, and a laid-out archive
// streamed into the carriers it travels in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk.h"
#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "dravik/writer.h"

namespace dravik::py {

// Why an archive could not be opened, in the program's words.
std::string open_error_reason(const OpenStatus& status);

// Opens the archive at `path` (links in the caller's own path followed),
// reading the very file whose identity it returns, so that the file an
// edit replaces or unpacking must not overwrite is the one read. Null with
// `status` saying why; cannot_open carries errno.
ArchivePtr open_archive_file(const std::string& path, Identity* identity, OpenStatus* status);

// The archive being written: under a hidden temporary name beside its
// final one until it is complete, flushed and renamed into place; removed
// when abandoned (a failure, an interruption, an exception). Throws
// DiskFailure with the program's words.
class OutputFile {
public:
    OutputFile(const std::string& path, bool force);
    ~OutputFile() { abort(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const Identity& existing() const { return existing_; }
    const Identity& written() const { return written_; }
    int error_number() const { return error_; }
    std::uint64_t size() const { return size_; }

    bool write(const std::uint8_t* data, std::size_t size);
    void commit();
    [[noreturn]] void fail(const std::string& what, int e);

private:
    bool flush();
    void abort();

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

// A folder tree as scanned for packing.
struct ScannedFolder {
    std::uint32_t parent = 0;  // folder index; folder 0 is the folder scanned
    std::string name;
    std::string path;  // relative to it, "" for itself
    std::uint32_t entry = u8::kTopLevel;
};

struct Scan {
    std::vector<u8::TreeEntry> tree;       // parents before their entries; key = index
    std::vector<std::uint32_t> folder_of;  // per tree entry
    std::vector<Identity> identity;        // per tree entry
    std::vector<ScannedFolder> folders;
    std::vector<std::string> problems;     // one line each, in the program's words
    int first_error = 0;
};

// Reaches a scanned folder by walking down by name from the top, never
// through a symbolic link; the last one reached stays open, since files
// and folders come folder by folder.
class FolderCursor {
public:
    FolderCursor(const Scan& scan, int top) : scan_(scan), top_(top) {}
    int get(std::uint32_t k);  // -1 with errno set when it cannot be reached

private:
    const Scan& scan_;
    int top_;
    std::uint32_t open_index_ = 0;
    Fd open_;
};

// Scans open folder `top` (shown as `shown` in problems) without following
// links; links, FIFOs, sockets, devices and unreadable files are told in
// problems. Files that are `skip_a` or `skip_b` (the output being written
// and its temporary file) and what `selection.exclude` matches are left out.
void scan_tree(int top, const std::string& shown, const Identity& skip_a, const Identity& skip_b,
               Selection& selection, Scan& scan);

// How reading files a caller saw before went: a failure in the program's
// words and its errno, or an interruption.
struct ReadProblem {
    std::string problem;
    int problem_errno = 0;
    bool stopped = false;

    bool fail(const std::string& line, int e) {
        problem = line;
        problem_errno = e;
        return false;
    }
};

// Sends file `name` of open folder `dir` to `sink` in chunks (through
// `chunk`), checked against the size and identity seen before: otherwise
// "SHOWN: changed while CHANGED". Hears `interrupted` between chunks.
// False when the sink refused, or with `out` telling why.
bool send_file(int dir, const std::string& name, std::uint64_t size, const Identity& identity,
               const std::string& shown, const char* changed, const std::function<bool()>& interrupted,
               std::vector<std::uint8_t>& chunk, const ByteSink& sink, ReadProblem& out);

// Reads a scanned folder's files back, each checked against what the scan
// saw.
class ScanReader : public ReadProblem {
public:
    // `top` must stay open while files are read.
    ScanReader(const Scan& scan, int top, std::string shown_dir, const std::function<bool()>& interrupted)
        : scan_(scan), cursor_(scan, top), shown_dir_(std::move(shown_dir)), interrupted_(interrupted) {}

    std::string shown(std::uint64_t key) const;
    // Sends file `key`'s bytes to `each` in chunks.
    bool read(std::uint64_t key, const ByteSink& each);

private:
    const Scan& scan_;
    FolderCursor cursor_;
    std::string shown_dir_;
    const std::function<bool()>& interrupted_;
    std::vector<std::uint8_t> chunk_;
};

enum class Wrapped { written, failed, too_large_for_carrier };

// Streams `plan` to `sink` wrapped in `carriers` (outermost first): a bare
// archive, or one in Yaz0 alone, streams; banners and their parts are
// wrapped in memory (they are small), with sizes and sums recomputed.
// Pieces come from `source`, original ones from `original` when given.
// `failed` when the sink or a source said no. Throws std::bad_alloc when
// the encoder gets no memory.
Wrapped write_wrapped(const u8::Plan& plan, const std::vector<Carrier>& carriers,
                      const yaz0::EncodeOptions& yaz0_options, const ByteSink& sink,
                      const u8::DataSource& source, const Archive* original);

}  // namespace dravik::py
