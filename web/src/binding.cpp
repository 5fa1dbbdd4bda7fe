// The page's engine: dravik's library behind a few C functions that the
// page's workers call (web/src/engine.js). It includes the public headers
// only, so the page can do nothing the library does not offer everyone.
//
// Bytes cross the boundary through two buffers: the page writes its input
// into the one dv_input returns, and reads results from dv_output; answers
// that are not bytes come back as one JSON text (dv_result). Archives are
// named by handles; the archives inside an open one by numbers, from 1 in
// the order the walk meets them (0 is the open archive itself), the same
// numbers every time the same bytes are opened.
//
// Plain words: the reasons given here are the library's where it has them
// (open_error_text, notice_text, layout_error_text, check_archive's
// findings), else the program's own (program/pack.cpp, program/edit.cpp),
// without the path in front, since the page says which file it is talking
// about.
#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "dravik/codec.h"
#include "dravik/common.h"
#include "dravik/writer.h"

namespace {

using namespace dravik;

// Encoder input and writer output move in pieces of this size, and the
// page hears of progress after each.
constexpr std::size_t kChunk = 256 * 1024;

// Edit keys: new file data is keyed by kNewData plus its blob's number.
constexpr std::uint64_t kNewData = std::uint64_t{1} << 32;

// Tells the page how far a long job got; the worker posts it on.
EM_JS(void, dv_progress, (double done, double total), {
    if (Module.onProgress) Module.onProgress(done, total);
});

// --- JSON out -------------------------------------------------------------

// Appends `bytes` as a JSON string. Names are bytes, not always UTF-8: a
// sequence that is not valid UTF-8 shows as U+FFFD, so the text stays valid.
void put_string(std::string& out, std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, else 0.
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
        for (std::size_t k = 1; n != 0 && k < n; ++k) {
            const unsigned char d = i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0;
            if ((d & 0xC0) != 0x80) n = 0;
            else cp = (cp << 6) | (d & 0x3F);
        }
        if (n != 0 && ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                       (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
            n = 0;
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.data() + i, n);
            i += n;
        }
    }
    out += '"';
}

void put_key(std::string& out, const char* key) {
    if (out.back() != '{' && out.back() != '[' && out.back() != ',') out += ',';
    out += '"';
    out += key;
    out += "\":";
}

void put_field(std::string& out, const char* key, std::string_view value) {
    put_key(out, key);
    put_string(out, value);
}

void put_field(std::string& out, const char* key, std::uint64_t value) {
    put_key(out, key);
    out += std::to_string(value);
}

void put_bool(std::string& out, const char* key, bool value) {
    put_key(out, key);
    out += value ? "true" : "false";
}

// --- Plain words ------------------------------------------------------------

const char* open_error_code(OpenError error) {
    switch (error) {
        case OpenError::none: return "none";
        case OpenError::cannot_open: return "cannot_open";
        case OpenError::not_an_archive: return "not_an_archive";
        case OpenError::bad_table: return "bad_table";
        case OpenError::corrupt_table: return "corrupt_table";
        case OpenError::corrupt_carrier: return "corrupt_carrier";
        case OpenError::out_of_memory: return "out_of_memory";
    }
    return "unknown";
}

// The library's words, but for the two a page user meets in their own
// terms: an edit that would put a folder inside itself, and an original
// whose table is where no layout can follow it.
const char* layout_reason(u8::LayoutError error) {
    switch (error) {
        case u8::LayoutError::bad_tree: return "the edited tree is not a tree (a folder inside itself)";
        case u8::LayoutError::unusual_original:
            return "the original archive has its table inside its header, so nothing can be laid out like it";
        default: return u8::layout_error_text(error);
    }
}

void put_carriers_and_warnings(std::string& out, const std::vector<CarrierKind>& carriers,
                               std::uint32_t notices) {
    put_key(out, "carriers");
    out += '[';
    for (std::size_t i = 0; i < carriers.size(); ++i) {
        if (i != 0) out += ',';
        put_string(out, carrier_name(carriers[i]));
    }
    out += ']';
    put_key(out, "warnings");
    out += '[';
    for (Notice notice : {kNoticeImetMismatch, kNoticeImd5Mismatch}) {
        if (!(notices & notice)) continue;
        if (out.back() != '[') out += ',';
        put_string(out, notice_text(notice));
    }
    out += ']';
}

yaz0::Level level_of(int level) {
    return level == 0 ? yaz0::Level::fast : level == 1 ? yaz0::Level::standard : yaz0::Level::best;
}

// --- State ------------------------------------------------------------------

Bytes g_input;        // what the page hands in
Bytes g_output;       // bytes handed back
std::string g_result; // the JSON handed back

// An archive inside the open one: the file entry `entry` of archive
// `parent` (0: the open archive) holds it.
struct Nested {
    std::uint32_t parent = 0;
    std::uint32_t entry = 0;
    std::string path;  // its file's path as unpacked, for messages
};

// One open archive, the archives inside it, and, while the page rebuilds
// it, the edits.
struct Session {
    Bytes bytes;  // the file as the page read it; the archive borrows them
    ArchivePtr archive;
    std::uint32_t notices = 0;   // what opening it told
    std::vector<Nested> nested;  // archive k is nested[k - 1]
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> by_file;  // (parent, entry) -> k
    // The nested archives open for reading: one path from the outermost
    // down, each borrowing from the one before. Memory follows the path,
    // as in the library's walk, and reading a nested archive's files in
    // tree order opens it once.
    std::vector<std::pair<std::uint32_t, ArchivePtr>> path;
    std::vector<u8::Edit> edits;  // by archive number, while a rebuild is prepared
    std::vector<Bytes> blobs;     // new file data, by number

    // Closes the nested archives, the innermost first: each borrows from
    // the one holding it.
    void close_path(std::size_t keep = 0) {
        while (path.size() > keep) path.pop_back();
    }
    ~Session() { close_path(); }
};
std::vector<std::unique_ptr<Session>> g_sessions;  // handle h is g_sessions[h - 1]

Session* session(int handle) {
    if (handle < 1 || static_cast<std::size_t>(handle) > g_sessions.size()) return nullptr;
    return g_sessions[static_cast<std::size_t>(handle) - 1].get();
}

// Archive `id` of the session (0: the open one), opened along its path
// when it is not open yet. Null when it cannot be opened now (memory).
const Archive* archive_of(Session& s, std::uint32_t id, OpenStatus* status = nullptr) {
    if (id == 0) return s.archive.get();
    if (id > s.nested.size()) return nullptr;
    std::vector<std::uint32_t> chain;
    for (std::uint32_t k = id; k != 0; k = s.nested[k - 1].parent) chain.push_back(k);
    std::reverse(chain.begin(), chain.end());
    std::size_t keep = 0;
    while (keep < s.path.size() && keep < chain.size() && s.path[keep].first == chain[keep]) ++keep;
    s.close_path(keep);
    for (std::size_t i = keep; i < chain.size(); ++i) {
        const Archive& outer = i == 0 ? *s.archive : *s.path[i - 1].second;
        Entry e;
        if (!archive_entry(outer, s.nested[chain[i] - 1].entry, &e)) return nullptr;
        ArchivePtr inner = archive_open_entry(outer, e, status);
        if (!inner) return nullptr;
        s.path.emplace_back(chain[i], std::move(inner));
    }
    return s.path.back().second.get();
}

// Reads a file entry of `archive` into `sink` in pieces.
bool send_entry(const Archive& archive, const Entry& e, const ByteSink& sink) {
    Bytes chunk(e.data_size < kChunk ? e.data_size : kChunk);
    for (std::uint64_t done = 0; done < e.data_size;) {
        const std::size_t n = static_cast<std::size_t>(e.data_size - done < kChunk ? e.data_size - done : kChunk);
        if (!archive_read(archive, e, done, chunk.data(), n) || !sink(chunk.data(), n)) return false;
        done += n;
    }
    return true;
}

// Whether node `node` of `archive` is a file holding exactly `bytes`.
bool holds_exactly(const Archive& archive, std::uint32_t node, const Bytes& bytes) {
    Entry e;
    if (!archive_entry(archive, node, &e) || e.is_directory || e.data_size != bytes.size()) return false;
    std::size_t at = 0;
    return send_entry(archive, e, [&](const std::uint8_t* p, std::size_t n) {
        const bool same = std::memcmp(p, bytes.data() + at, n) == 0;
        at += n;
        return same;
    });
}

// Feeds a Yaz0 encoder from a writer, telling the page how far it got.
struct ProgressFeed {
    yaz0::Encoder* encoder;
    double total;
    double done = 0;
    double told = 0;

    bool operator()(const std::uint8_t* p, std::size_t n) {
        // The writer hands whole files at once: feed them in pieces, so
        // progress moves at an even pace.
        while (n > 0) {
            const std::size_t k = n < kChunk ? n : kChunk;
            if (!yaz0::encoder_feed(*encoder, p, k)) return false;
            p += k;
            n -= k;
            done += static_cast<double>(k);
            if (done - told >= static_cast<double>(kChunk) || done == total) {
                told = done;
                dv_progress(done, total);
            }
        }
        return true;
    }
};

// Yaz0 at `level` over `data`, streamed, with progress.
bool yaz0_stream(const std::function<bool(const ByteSink&)>& produce, std::uint64_t size, int level) {
    g_output.clear();
    const ByteSink keep = [](const std::uint8_t* p, std::size_t n) {
        g_output.insert(g_output.end(), p, p + n);
        return true;
    };
    yaz0::EncodeOptions options;
    options.level = level_of(level);
    options.threads = 1;  // a worker is one thread; the page runs without shared memory
    yaz0::EncoderPtr encoder = yaz0::encoder_begin(static_cast<std::uint32_t>(size), options, keep);
    if (!encoder) return false;
    ProgressFeed feed{encoder.get(), static_cast<double>(size)};
    return produce([&feed](const std::uint8_t* p, std::size_t n) { return feed(p, n); }) &&
           yaz0::encoder_finish(*encoder);
}

void fail_result(const std::string& reason) {
    g_result = "{\"ok\":false";
    put_field(g_result, "reason", reason);
    g_result += '}';
}

// --- Listing ------------------------------------------------------------------

// The walk of the program's -r listing, every level of it: each entry with
// its path as unpacked (unpacked_places and unpacked_path), whether
// unpacking writes it and, when not, why in the unpacker's words; each
// archive inside a file with its carriers; each file that holds one that
// is not opened, with the reason. Numbers the nested archives on the first
// walk over a session.
struct Lister {
    explicit Lister(Session& session) : s(session) {}

    Session& s;
    std::string entries = "[", archives = "[", refused = "[";

    struct Level {
        std::vector<UnpackedPlace> places;
        std::string prefix;  // "" for the open archive, else its file's path and ".d/"
        // The entry unpacking writes at each (folder, name): the one that
        // takes the path, against which later ones are refused.
        std::map<std::pair<std::uint32_t, std::string>, std::uint32_t> taken;
    };
    std::unordered_map<const Archive*, std::uint32_t> ids;  // while open in the walk
    std::map<std::uint32_t, Level> levels;

    bool visit(const WalkEntry& w) {
        const std::uint32_t id = ids.at(w.archive);
        Level& level = levels.at(id);
        const Entry& e = w.entry;
        const UnpackedPlace& place = level.places[e.index];
        const bool written = place.written;
        const char* why = nullptr;
        std::uint32_t same = 0;
        const auto key = std::make_pair(place.folder, place.name);
        const auto taken = level.taken.find(key);
        if (!w.place.placeable) {
            why = "unsafe name, not unpacked";
        } else if (taken != level.taken.end()) {
            Entry first;
            archive_entry(*w.archive, taken->second, &first);
            if (first.is_directory && e.is_directory) same = taken->second;  // entered again
            else if (first.is_directory) why = "exists as a directory, not replaced";
            else why = e.is_directory ? "exists and is not a directory; its contents go to the enclosing directory"
                                      : "same path as an earlier entry, not unpacked";
        } else if (!e.is_directory && e.data_size != 0 &&
                   std::uint64_t{e.data_offset} + e.data_size > archive_size(*w.archive)) {
            why = "data lies past the end of the archive";
        }
        // Whether it is written is the library's word; the reason only names it.
        if (written) why = nullptr;
        else if (!why) why = "not unpacked";
        if (written && taken == level.taken.end()) level.taken.emplace(key, e.index);

        entries += entries.back() == '[' ? "{" : ",{";
        put_field(entries, "a", id);
        put_field(entries, "i", e.index);
        put_bool(entries, "dir", e.is_directory);
        put_field(entries, "name", place.name);
        if (place.name != e.name) put_field(entries, "stored", e.name);
        put_field(entries, "path", level.prefix + unpacked_path(level.places, e.index));
        put_field(entries, "f", place.folder);
        if (same) put_field(entries, "same", same);
        if (!e.is_directory) {
            put_field(entries, "offset", e.data_offset);
            put_field(entries, "size", e.data_size);
        }
        put_bool(entries, "written", written);
        if (why) put_field(entries, "why", why);
        entries += '}';
        // As unpacking: a folder not made holds nothing, and a file not
        // written is not opened as an archive.
        return written;
    }

    bool enter(const NestedArchive& nested) {
        const std::uint32_t parent = ids.at(nested.file->archive);
        const std::uint32_t entry = nested.file->entry.index;
        const Level& outer = levels.at(parent);
        const std::string path = outer.prefix + unpacked_path(outer.places, entry);
        std::uint32_t id;
        const auto known = s.by_file.find({parent, entry});
        if (known != s.by_file.end()) {
            id = known->second;
        } else {
            s.nested.push_back(Nested{parent, entry, path});
            id = static_cast<std::uint32_t>(s.nested.size());
            s.by_file.emplace(std::make_pair(parent, entry), id);
        }
        ids[nested.archive] = id;
        Level& level = levels[id];
        level.places = unpacked_places(*nested.archive);
        level.prefix = path + ".d/";

        archives += archives.back() == '[' ? "{" : ",{";
        put_field(archives, "id", id);
        put_field(archives, "parent", parent);
        put_field(archives, "entry", entry);
        put_field(archives, "path", path);
        put_field(archives, "nodes", archive_node_count(*nested.archive));
        put_carriers_and_warnings(archives, nested.status.carriers, nested.status.notices);
        archives += '}';
        return true;
    }

    void leave(const NestedArchive& nested) {
        levels.erase(ids.at(nested.archive));
        ids.erase(nested.archive);
    }

    // The program's words for a file that holds an archive not opened.
    void refuse(const NestedArchive& nested) {
        std::string why;
        switch (nested.refusal) {
            case NestRefusal::none: return;
            case NestRefusal::too_deep:
                why = "archives and carriers nest more than " + std::to_string(kMaxNesting) +
                      " deep here; left as a file";
                break;
            case NestRefusal::nested_in_itself:
                why = "its bytes are an archive already open on the way here (an archive inside itself); left as a file";
                break;
            case NestRefusal::folder_taken:
                why = "its folder '" + std::string(nested.folder_name) +
                      "' is taken by another entry of the archive, or cannot be a folder here; left as a file";
                break;
            case NestRefusal::cannot_open:
                why = std::string("holds an archive that cannot be opened: ") +
                      open_error_text(nested.status.error) + "; left as a file";
                break;
            case NestRefusal::shared:
                why = "its bytes are those of " + std::string(nested.same_as) +
                      ", whose archive is opened there; left as a file";
                break;
            case NestRefusal::over_budget:
                why = "the archives inside this one decode to more than " + std::to_string(kMaxNestedDecoded >> 30) +
                      " GiB in all; left as a file";
                break;
        }
        refused += refused.back() == '[' ? "{" : ",{";
        put_field(refused, "a", ids.at(nested.file->archive));
        put_field(refused, "i", nested.file->entry.index);
        put_field(refused, "why", why);
        refused += '}';
    }

    void walk() {
        ids[s.archive.get()] = 0;
        Level& top = levels[0];
        top.places = unpacked_places(*s.archive);
        WalkNesting nesting;
        nesting.enter = [this](const NestedArchive& n) { return enter(n); };
        nesting.leave = [this](const NestedArchive& n) { leave(n); };
        nesting.refused = [this](const NestedArchive& n) { refuse(n); };
        Selection all;
        walk_entries(*s.archive, all, NameRule(), [this](const WalkEntry& w) { return visit(w); }, false, &nesting);
        entries += ']';
        archives += ']';
        refused += ']';
    }
};

// --- Rebuilding -------------------------------------------------------------------

bool edit_is_empty(const u8::Edit& edit) {
    if (!edit.added.empty()) return false;
    return std::none_of(edit.nodes.begin(), edit.nodes.end(),
                        [](const u8::EditNode& n) { return n.remove || n.replace || n.rename || n.move; });
}

// Lays `original` out changed by `edit`, as the program's edits do, and
// refuses a rename that would not show: a root folder alone unpacks as
// arc whatever its stored name. False with the reason in `why`.
bool lay_out(Session& s, const Archive& original, const u8::Edit& edit, u8::Plan& plan, std::string& why) {
    const u8::SameContent same = [&s, &original](std::uint32_t node, std::uint64_t key) {
        return key >= kNewData && holds_exactly(original, node, s.blobs[static_cast<std::size_t>(key - kNewData)]);
    };
    const u8::EditOutcome laid = u8::layout_edit(original, edit, same, plan);
    if (laid.result.error != u8::LayoutError::none) return why = layout_reason(laid.result.error), false;
    ArchivePtr result = archive_open_borrowed(plan.head.data(), plan.head.size());
    if (!result) return why = "the new table does not read back", false;
    const std::vector<UnpackedPlace> now = unpacked_places(*result);
    for (std::size_t i = 1; i < edit.nodes.size() && i < laid.node_index.size(); ++i) {
        const u8::EditNode& n = edit.nodes[i];
        const std::uint32_t at = laid.node_index[i];
        if (!n.rename || at == 0 || at >= now.size() || now[at].name == n.name) continue;
        why = n.name + ": would unpack as " + unpacked_path(now, at) +
              " (a root folder alone unpacks as arc); not renamed";
        return false;
    }
    return true;
}

// Serves new data to the writer.
u8::DataSource blob_source(const Session& s) {
    return [&s](const u8::Piece& piece, const ByteSink& sink) {
        if (piece.key < kNewData || piece.key - kNewData >= s.blobs.size()) return false;
        const Bytes& blob = s.blobs[static_cast<std::size_t>(piece.key - kNewData)];
        if (blob.size() != piece.size) return false;
        for (std::size_t done = 0; done < blob.size(); done += kChunk) {
            const std::size_t n = blob.size() - done < kChunk ? blob.size() - done : kChunk;
            if (!sink(blob.data() + done, n)) return false;
        }
        return true;
    };
}

bool keep_in_output(const std::uint8_t* p, std::size_t n) {
    g_output.insert(g_output.end(), p, p + n);
    return true;
}

// Nested archive `id` rebuilt with its edits, in its carriers, as the new
// data of its file in the archive above: deepest first, so that each
// archive's rebuilt bytes are in place before the one holding it is laid
// out. An archive whose U8 bytes come out the same keeps its file as it
// was. False with the reason in the result.
bool rebuild_nested(Session& s, std::uint32_t id, const yaz0::EncodeOptions& options) {
    const Nested& n = s.nested[id - 1];
    u8::Edit& above = s.edits[n.parent];
    if (n.entry < above.nodes.size() && (above.nodes[n.entry].remove || above.nodes[n.entry].replace))
        return true;  // its file goes, or takes other bytes
    OpenStatus status;
    const Archive* inner = archive_of(s, id, &status);
    if (!inner) return fail_result(n.path + ": " + open_error_text(status.error)), false;
    u8::Plan plan;
    std::string why;
    if (!lay_out(s, *inner, s.edits[id], plan, why)) return fail_result(n.path + ".d: " + why), false;
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(plan.size));
    if (!u8::write_plan(plan,
                        [&bytes](const std::uint8_t* p, std::size_t k) {
                            bytes.insert(bytes.end(), p, p + k);
                            return true;
                        },
                        blob_source(s), inner))
        return fail_result(n.path + ": its archive cannot be rebuilt"), false;
    const std::uint8_t* was = archive_bytes(*inner);
    if (was && bytes.size() == archive_size(*inner) && std::equal(bytes.begin(), bytes.end(), was)) return true;
    if (!carrier_wrap(archive_carriers(*inner), options, bytes))
        return fail_result(n.path + ": too large for the carrier it was in"), false;
    if (above.nodes.size() <= n.entry) above.nodes.resize(n.entry + 1);
    u8::EditNode& file = above.nodes[n.entry];
    file.replace = true;
    file.size = bytes.size();
    file.key = kNewData + s.blobs.size();
    s.blobs.push_back(std::move(bytes));
    return true;
}

}  // namespace

extern "C" {

// The buffer the page writes its next input into.
EMSCRIPTEN_KEEPALIVE std::uint8_t* dv_input(std::size_t size) {
    g_input.assign(size, 0);
    return g_input.data();
}

EMSCRIPTEN_KEEPALIVE const char* dv_result() { return g_result.c_str(); }
EMSCRIPTEN_KEEPALIVE std::size_t dv_result_size() { return g_result.size(); }
EMSCRIPTEN_KEEPALIVE const std::uint8_t* dv_output() { return g_output.data(); }
EMSCRIPTEN_KEEPALIVE std::size_t dv_output_size() { return g_output.size(); }
// Lets the output's memory go once the page has copied it.
EMSCRIPTEN_KEEPALIVE void dv_output_release() { Bytes().swap(g_output); }

// Opens the input as an archive (bare or in any carriers) and lists every
// entry at every level (see Lister). Returns a handle, or 0 with the reason
// in the result.
EMSCRIPTEN_KEEPALIVE int dv_open() {
    auto s = std::make_unique<Session>();
    s->bytes = std::move(g_input);
    g_input = Bytes();
    OpenStatus status;
    s->archive = archive_open_borrowed(s->bytes.data(), s->bytes.size(), &status);
    s->notices = status.notices;
    g_result = "{";
    put_bool(g_result, "ok", s->archive != nullptr);
    if (!s->archive) {
        put_field(g_result, "error", open_error_code(status.error));
        put_field(g_result, "reason", open_error_text(status.error));
    } else {
        put_field(g_result, "nodes", archive_node_count(*s->archive));
        put_field(g_result, "size", archive_size(*s->archive));
    }
    put_carriers_and_warnings(g_result, status.carriers, status.notices);
    if (s->archive) {
        Lister lister(*s);
        lister.walk();
        put_key(g_result, "entries");
        g_result += lister.entries;
        put_key(g_result, "archives");
        g_result += lister.archives;
        put_key(g_result, "refused");
        g_result += lister.refused;
    }
    g_result += '}';
    if (!s->archive) return 0;
    g_sessions.push_back(std::move(s));
    return static_cast<int>(g_sessions.size());
}

EMSCRIPTEN_KEEPALIVE void dv_close(int handle) {
    if (session(handle)) g_sessions[static_cast<std::size_t>(handle) - 1].reset();
}

// The findings of the program's --check on the open archive: the
// library's check_archive, on the bytes the page read.
EMSCRIPTEN_KEEPALIVE void dv_check(int handle) {
    Session* s = session(handle);
    if (!s) return fail_result("no such archive");
    std::string findings = "[";
    const CheckCount count = check_archive_borrowed(s->bytes.data(), s->bytes.size(), [&findings](const Finding& f) {
        findings += findings.back() == '[' ? "{" : ",{";
        put_field(findings, "path", f.path);
        put_bool(findings, "problem", f.problem);
        put_field(findings, "finding", f.text);
        findings += '}';
    });
    g_result = "{\"ok\":true";
    put_field(g_result, "problems", count.problems);
    put_field(g_result, "warnings", count.warnings);
    put_key(g_result, "findings");
    g_result += findings;
    g_result += "]}";
}

// The entries the --include/--exclude rule selects, at every level. The
// input holds the patterns, each ended by a NUL and starting with '+'
// (include) or '-' (exclude). The result lists the selected entries as
// [archive, node] and the patterns that matched nothing.
EMSCRIPTEN_KEEPALIVE void dv_select(int handle) {
    Session* s = session(handle);
    if (!s) return fail_result("no such archive");
    std::vector<std::string> include, exclude;
    for (std::size_t at = 0; at < g_input.size();) {
        const auto* start = reinterpret_cast<const char*>(g_input.data()) + at;
        const std::size_t n = strnlen(start, g_input.size() - at);
        if (n > 0) (start[0] == '-' ? exclude : include).emplace_back(start + 1, n - 1);
        at += n + 1;
    }
    Selection selection = make_selection(include, exclude);
    std::unordered_map<const Archive*, std::uint32_t> ids{{s->archive.get(), 0}};
    WalkNesting nesting;
    nesting.enter = [&](const NestedArchive& nested) {
        const auto found = s->by_file.find({ids.at(nested.file->archive), nested.file->entry.index});
        if (found == s->by_file.end()) return false;
        ids[nested.archive] = found->second;
        return true;
    };
    nesting.leave = [&](const NestedArchive& nested) { ids.erase(nested.archive); };
    g_result = "{\"ok\":true,\"selected\":[";
    walk_entries(*s->archive, selection, NameRule(), [&](const WalkEntry& w) {
        if (g_result.back() != '[') g_result += ',';
        g_result += '[' + std::to_string(ids.at(w.archive)) + ',' + std::to_string(w.entry.index) + ']';
        return true;
    }, false, &nesting);
    g_result += "],\"unmatched\":[";
    for (const std::vector<Pattern>* list : {&selection.include, &selection.exclude})
        for (const Pattern& p : *list)
            if (!p.matched) {
                if (g_result.back() != '[') g_result += ',';
                put_string(g_result, p.text);
            }
    g_result += "]}";
}

// A file entry's data, of archive `archive` (0: the open one), into the
// output. False when it cannot be read (its data lies past the end of its
// archive, or that archive cannot be opened now).
EMSCRIPTEN_KEEPALIVE int dv_read(int handle, std::uint32_t archive, std::uint32_t index) {
    Session* s = session(handle);
    g_output.clear();
    const Archive* a = s ? archive_of(*s, archive) : nullptr;
    Entry e;
    if (!a || !archive_entry(*a, index, &e) || e.is_directory) return 0;
    g_output.resize(e.data_size);
    return archive_read(*a, e, 0, g_output.data(), g_output.size()) ? 1 : 0;
}

// --- Rebuilding: the edits, laid out by the library's edit engine -------------

EMSCRIPTEN_KEEPALIVE void dv_edit_begin(int handle) {
    Session* s = session(handle);
    if (!s) return;
    s->edits.assign(s->nested.size() + 1, u8::Edit());
    s->blobs.clear();
}

// Keeps the input as new file data; returns its number.
EMSCRIPTEN_KEEPALIVE int dv_blob(int handle) {
    Session* s = session(handle);
    if (!s) return -1;
    s->blobs.push_back(std::move(g_input));
    g_input = Bytes();
    return static_cast<int>(s->blobs.size() - 1);
}

// One change to archive `archive` (0: the open one): op 0 removes node
// `node`, 1 renames it to the input's bytes (keeping its place), 2 gives
// file `node` the data of blob `blob`, 3 adds a file named by the input,
// holding blob `blob`, at the end of directory `node` (0: the root).
// Returns 0 when the archive, node or blob does not exist, or the name
// cannot be stored.
EMSCRIPTEN_KEEPALIVE int dv_edit(int handle, int op, std::uint32_t archive, std::uint32_t node, int blob) {
    Session* s = session(handle);
    if (!s || archive >= s->edits.size()) return 0;
    const Archive* a = archive_of(*s, archive);
    if (!a) return 0;
    const std::string name(g_input.begin(), g_input.end());
    const bool blob_ok = blob >= 0 && static_cast<std::size_t>(blob) < s->blobs.size();
    const bool name_ok = !name.empty() && name.find('\0') == std::string::npos;
    u8::Edit& edit = s->edits[archive];
    Entry e;
    const bool exists = archive_entry(*a, node, &e);
    if (op != 3 && !exists) return 0;
    if (op != 3 && edit.nodes.size() <= node) edit.nodes.resize(node + 1);
    switch (op) {
        case 0: edit.nodes[node].remove = true; return 1;
        case 1:
            if (!name_ok) return 0;
            edit.nodes[node].rename = true;
            edit.nodes[node].name = name;
            return 1;
        case 2: {
            if (!blob_ok || e.is_directory) return 0;
            const Bytes& data = s->blobs[static_cast<std::size_t>(blob)];
            if (holds_exactly(*a, node, data)) return 1;  // the bytes it has: nothing changes
            edit.nodes[node].replace = true;
            edit.nodes[node].size = data.size();
            edit.nodes[node].key = kNewData + static_cast<std::uint64_t>(blob);
            return 1;
        }
        case 3: {
            if (!blob_ok || !name_ok || (node != 0 && (!exists || !e.is_directory))) return 0;
            u8::EditAdded added;
            added.name = name;
            added.folder = u8::EditFolder{false, node};
            added.size = s->blobs[static_cast<std::size_t>(blob)].size();
            added.key = kNewData + static_cast<std::uint64_t>(blob);
            edit.added.push_back(std::move(added));
            return 1;
        }
        default: return 0;
    }
}

// Lays the archive out changed by the edits (every byte they do not touch
// kept, a renamed entry in its place), each archive inside rebuilt first
// and wrapped as it was, wraps the whole as the original was (Yaz0 at
// `level`: 0 fast, 1 default, 2 best) and puts the new file in the output.
// Returns 1 on success.
EMSCRIPTEN_KEEPALIVE int dv_rebuild(int handle, int level) {
    Session* s = session(handle);
    if (!s || s->edits.size() != s->nested.size() + 1) return fail_result("no such archive"), 0;
    yaz0::EncodeOptions options;
    options.level = level_of(level);
    options.threads = 1;
    for (std::uint32_t id = static_cast<std::uint32_t>(s->nested.size()); id >= 1; --id)
        if (!edit_is_empty(s->edits[id]) && !rebuild_nested(*s, id, options)) return 0;
    s->close_path();  // the nested archives are done with; their memory goes

    const Archive& original = *s->archive;
    u8::Plan plan;
    std::string why;
    if (!lay_out(*s, original, s->edits[0], plan, why)) return fail_result(why), 0;
    const u8::DataSource files = blob_source(*s);
    const std::vector<Carrier>& carriers = archive_carriers(original);
    bool ok = false;
    if (carriers.size() == 1 && carriers[0].kind == CarrierKind::yaz0) {
        // The archive's size is known from the layout: the encoder streams.
        ok = plan.size <= 0xFFFFFFFFu &&
             yaz0_stream([&](const ByteSink& sink) { return u8::write_plan(plan, sink, files, &original); },
                         plan.size, level);
    } else {
        // Bare archives, and banners, their parts and LZ77 (small, wrapped whole).
        g_output.clear();
        g_output.reserve(static_cast<std::size_t>(plan.size));
        ok = u8::write_plan(plan, keep_in_output, files, &original);
        if (ok && !carriers.empty()) {
            dv_progress(0, 1);
            if (!carrier_wrap(carriers, options, g_output))
                return fail_result("too large for the carrier the original was wrapped in"), 0;
        }
        dv_progress(1, 1);
    }
    if (!ok) return fail_result("the original archive or a new file could not be read"), 0;
    g_result = "{\"ok\":true";
    put_field(g_result, "size", g_output.size());
    g_result += '}';
    s->edits.clear();
    s->blobs.clear();
    return 1;
}

// --- Any file: Yaz0 on and off -------------------------------------------------

// Yaz0-compresses the input at `level` into the output.
EMSCRIPTEN_KEEPALIVE int dv_compress(int level) {
    const Bytes input = std::move(g_input);
    g_input = Bytes();
    if (input.size() > 0xFFFFFFFFu) return fail_result("larger than Yaz0 can hold (4 GiB - 1)"), 0;
    const bool ok = yaz0_stream(
        [&input](const ByteSink& sink) { return input.empty() || sink(input.data(), input.size()); },
        input.size(), level);
    if (!ok) return fail_result("not enough memory for the encoder"), 0;
    g_result = "{\"ok\":true}";
    return 1;
}

// Peels every carrier (Yaz0, LZ77, IMD5, banner) off the input into the
// output.
EMSCRIPTEN_KEEPALIVE int dv_decompress() {
    const Bytes input = std::move(g_input);
    g_input = Bytes();
    std::vector<Carrier> carriers;
    std::uint32_t notices = 0;
    g_output.clear();
    const OpenError error = carrier_peel(input.data(), input.size(), g_output, &carriers, &notices);
    if (error == OpenError::out_of_memory) return fail_result("not enough memory"), 0;
    if (error != OpenError::none) return fail_result("the compressed or wrapped data is damaged"), 0;
    if (carriers.empty()) return fail_result("holds no Yaz0, LZ77, IMD5 or banner layer to remove"), 0;
    std::vector<CarrierKind> kinds;
    for (const Carrier& c : carriers) kinds.push_back(c.kind);
    g_result = "{\"ok\":true";
    put_carriers_and_warnings(g_result, kinds, notices);
    g_result += '}';
    return 1;
}

}  // extern "C"
