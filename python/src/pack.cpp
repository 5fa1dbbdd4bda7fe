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
#include "files.h"

namespace dravik::py {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

[[noreturn]] void disk_failure(const std::string& message, int error_number, const std::string& filename) {
    throw DiskFailure{message, error_number, filename, {}};
}

// Whether file `key` of the scan holds exactly node `node`'s data in
// `original`.
bool same_as_original(ScanReader& reader, const Scan& scan, const Archive& original, std::uint32_t node,
                      std::uint64_t key) {
    Entry e;
    if (!archive_entry(original, node, &e) || e.data_size != scan.tree[key].size) return false;
    std::vector<std::uint8_t> theirs(kChunk);
    std::uint64_t at = 0;
    bool same = true;
    const bool read = reader.read(key, [&](const std::uint8_t* p, std::size_t n) {
        if (!archive_read(original, e, at, theirs.data(), n) || std::memcmp(p, theirs.data(), n) != 0) same = false;
        at += n;
        return same;
    });
    return read && same;
}

std::string layout_problem(const u8::LayoutResult& r, const ScanReader& reader, const Scan& scan,
                           const std::string& archive) {
    const std::string who = r.entry < scan.tree.size() ? reader.shown(r.entry) : archive;
    switch (r.error) {
        case u8::LayoutError::bad_tree: return who + ": the folder changed while being read";
        case u8::LayoutError::unusual_original:
            return who + ": the archive to lay out like has its table inside its header";
        default: return who + ": " + u8::layout_error_text(r.error);
    }
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
    scan_tree(top.get(), dir, output.existing(), output.written(), selection, scan);
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

    ScanReader reader(scan, top.get(), dir, interrupted);
    const auto served_failure = [&reader]() {
        if (reader.stopped) throw Interrupted();
        disk_failure(reader.problem, reader.problem_errno, "");
    };

    PackOutcome outcome;
    u8::Plan plan;
    std::vector<Carrier> carriers;
    yaz0::EncodeOptions yaz0_options = request.yaz0;
    if (original) {
        const u8::LikeOutcome like = u8::layout_like(
            *original, scan.tree, NameRule{},
            [&](std::uint32_t node, std::uint64_t key) { return same_as_original(reader, scan, *original, node, key); },
            plan);
        if (!reader.problem.empty() || reader.stopped) served_failure();
        if (like.result.error != u8::LayoutError::none)
            throw ArchiveFailure{layout_problem(like.result, reader, scan, archive)};
        for (const std::string& gone : like.dropped) outcome.dropped.push_back(join(dir, gone));
        carriers = archive_carriers(*original);
        yaz0_options.level = yaz0::Level::best;
    } else {
        const u8::LayoutResult r = u8::layout_default(scan.tree, request.align, plan);
        if (r.error != u8::LayoutError::none) throw ArchiveFailure{layout_problem(r, reader, scan, archive)};
    }
    if (request.compression == Compression::yaz0 ||
        (request.compression == Compression::by_name && !original && ends_with_szs(archive))) {
        carriers.assign(1, Carrier{});
    } else if (request.compression == Compression::none) {
        carriers.clear();
    }
    if (carriers.size() == 1 && carriers[0].kind == CarrierKind::yaz0 && plan.size > 0xFFFFFFFFu)
        throw ArchiveFailure{archive + ": larger than Yaz0 can hold (4 GiB - 1)"};

    // Also where a long compression hears of Ctrl-C: the encoder stops
    // when its sink refuses.
    const ByteSink to_file = [&output, &reader, &interrupted](const std::uint8_t* p, std::size_t n) {
        if (interrupted()) return reader.stopped = true, false;
        return output.write(p, n);
    };
    const u8::DataSource source = [&reader](const u8::Piece& piece, const ByteSink& sink) {
        return reader.read(piece.key, sink);
    };
    const Wrapped wrapped = write_wrapped(plan, carriers, yaz0_options, to_file, source, original.get());
    if (wrapped == Wrapped::too_large_for_carrier)
        throw ArchiveFailure{archive + ": too large for the carrier of " + request.like};
    if (wrapped == Wrapped::failed) {
        if (!reader.problem.empty() || reader.stopped) served_failure();
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
