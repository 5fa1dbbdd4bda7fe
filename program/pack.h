// Packing a folder into a U8 archive (dravik -c ARCHIVE DIR), in the
// default layout or laid out like an existing archive (--like ORIGINAL),
// bare or compressed; and the listing of the archive as written. What
// editing an archive shares with packing is here too: the folder scan
// (FolderTree) and writing a plan into its carriers (write_archive).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "dravik/writer.h"
#include "program/console.h"
#include "program/options.h"
#include "program/output_file.h"

namespace dravik {

// Returns the exit status: 0 when ARCHIVE was written whole, else 1 with
// one `dravik: <path>: <reason>` line per problem and nothing written
// under ARCHIVE (an old file of that name is kept).
int run_pack(const Options& options, Console& out);

// A folder read for packing: every entry below it, as the writer takes
// them, and their data when it is wanted. Nothing is followed through a
// symbolic link; links, FIFOs, sockets, devices and unreadable files are
// not taken, each told in problems().
class FolderTree {
public:
    FolderTree();
    ~FolderTree();
    FolderTree(const FolderTree&) = delete;
    FolderTree& operator=(const FolderTree&) = delete;

    // Scans the open folder `top`, which must stay open while data is read;
    // diagnostics show its entries below `shown`. The output being written
    // (and its temporary file) is left out, and what `exclude` matches.
    void scan(int top, const std::string& shown, const OutputFile& output, Selection& exclude);
    // Parents before their entries; an entry's key is its index here.
    const std::vector<u8::TreeEntry>& entries() const;
    const std::vector<std::string>& problems() const;
    // Entry `key`'s path below the folder, and as diagnostics show it.
    std::string path(std::uint64_t key) const;
    std::string shown(std::uint64_t key) const;
    // Sends file `key`'s data to `sink`; given `direct` (the output file
    // that `sink` writes to), larger files are copied into it by the
    // kernel instead. False with problem() set when the file cannot be
    // read or changed since the scan.
    bool read(std::uint64_t key, const ByteSink& sink, OutputFile* direct);
    const std::string& problem() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

enum class WriteResult {
    written,
    source_failed,          // the data source said no (its caller knows why)
    cannot_write,           // the output's error_number says why
    too_large_for_carrier,  // LZ77 holds less than 16 MiB
    no_memory_for_encoder,
};

// Whether write_archive sends the bare archive straight to the output file,
// so that data sources may copy into it directly (no carrier to wrap).
bool writes_directly(const std::vector<Carrier>& carriers);

// Writes `plan` into `output`, wrapped in `carriers` (outermost first): a
// bare archive, or one in Yaz0 alone, streams; banners and their parts are
// wrapped in memory (they are small). Pieces come from `source`, original
// ones from `original` when it is given. Does not commit the output.
WriteResult write_archive(const u8::Plan& plan, const std::vector<Carrier>& carriers,
                          const yaz0::EncodeOptions& yaz0, OutputFile& output,
                          const u8::DataSource& source, const Archive* original);

}  // namespace dravik
