#include "program/output_file.h"

#include <cerrno>
#include <cstring>

#include "program/disk/copy.h"
#include "program/disk/interrupt.h"
#include "program/disk/process.h"
#include "program/disk/tree.h"

namespace dravik {

namespace {

constexpr std::size_t kBufferSize = 256 * 1024;
constexpr int kTempAttempts = 100;

std::string errno_text(int error_number) { return std::strerror(error_number); }

}  // namespace

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

OutputFile::~OutputFile() { output_abort(*this); }

bool output_begin(OutputFile& out, const std::string& path, bool force, std::string& reason) {
    std::string folder;
    disk::split_path(path, &folder, &out.name);
    out.force = force;
    if (out.name.empty() || out.name == "." || out.name == "..") {
        reason = "not a file name";
        return false;
    }
    out.dir = disk::open_directory_path(folder.c_str());
    if (!out.dir.valid()) {
        reason = "cannot open its folder: " + errno_text(errno);
        return false;
    }
    disk::EntryKind kind;
    if (!disk::inspect(out.dir.fd, out.name.c_str(), &kind, &out.existing)) {
        reason = errno_text(errno);
        return false;
    }
    if (kind == disk::EntryKind::directory) {
        reason = "is a directory";
        return false;
    }
    if (kind != disk::EntryKind::missing && !force) {
        reason = "exists; --force replaces it";
        return false;
    }
    // A hidden name beside the output, unique to this process. Signals wait
    // until it is guarded, so that none can leave it behind.
    {
        disk::InterruptsHeld held;
        for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
            out.temp = "." + out.name.substr(0, 180) + ".dravik-" + std::to_string(disk::process_id()) +
                       "-" + std::to_string(attempt) + ".part";
            out.fd = disk::create_file(out.dir.fd, out.temp.c_str());
            if (out.fd.valid() || errno != EEXIST) break;
        }
        if (!out.fd.valid()) {
            reason = "cannot create a file beside it: " + errno_text(errno);
            out.temp.clear();
            return false;
        }
        disk::guard_partial_file(out.dir.fd, out.temp.c_str());
    }
    std::uint64_t ignored = 0;
    file_stat(out.fd.fd, &ignored, &out.written);
    out.buffer.resize(kBufferSize);
    return true;
}

bool output_flush(OutputFile& out) {
    if (out.error_number) return false;
    if (out.used && !disk::write_all(out.fd.fd, out.buffer.data(), out.used)) {
        out.error_number = errno ? errno : EIO;
        return false;
    }
    out.used = 0;
    return true;
}

bool output_write(OutputFile& out, const std::uint8_t* data, std::size_t size) {
    if (out.error_number) return false;
    if (size >= out.buffer.size()) {
        if (!output_flush(out)) return false;
        if (!disk::write_all(out.fd.fd, data, size)) {
            out.error_number = errno ? errno : EIO;
            return false;
        }
        return true;
    }
    if (out.used + size > out.buffer.size() && !output_flush(out)) return false;
    std::memcpy(out.buffer.data() + out.used, data, size);
    out.used += size;
    return true;
}

bool output_commit(OutputFile& out, std::string& reason) {
    bool ok = output_flush(out);
    if (ok && !disk::sync_file(out.fd.fd)) ok = false, out.error_number = errno;
    if (ok && !fd_close(out.fd)) ok = false, out.error_number = errno;
    if (!ok) {
        reason = "cannot write: " + errno_text(out.error_number);
        output_abort(out);
        return false;
    }
    const bool renamed = out.force ? disk::rename_within(out.dir.fd, out.temp.c_str(), out.name.c_str())
                                   : disk::rename_no_replace(out.dir.fd, out.temp.c_str(), out.name.c_str());
    if (!renamed) {
        reason = errno == EEXIST ? "exists; --force replaces it" : "cannot rename into place: " + errno_text(errno);
        output_abort(out);
        return false;
    }
    disk::release_partial_file();
    out.temp.clear();
    out.committed = true;
    return true;
}

void output_abort(OutputFile& out) {
    if (out.temp.empty()) return;
    fd_close(out.fd);
    disk::remove_file(out.dir.fd, out.temp.c_str());
    disk::release_partial_file();
    out.temp.clear();
}

}  // namespace dravik
