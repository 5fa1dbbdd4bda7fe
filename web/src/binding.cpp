// The page's engine: dravik's library behind a few C functions that the
// page's workers call (web/src/engine.js). It includes the public headers
// only, so the page can do nothing the library does not offer everyone.
//
// Bytes cross the boundary through two buffers: the page writes its input
// into the one dv_input returns, and reads results from dv_output; answers
// that are not bytes come back as one JSON text (dv_result). Archives are
// named by handles, so that nested archives can later be open side by side.
//
// Plain words: the reasons given here are the program's own
// (program/messages.cpp and program/pack.cpp), without the path in front,
// since the page says which file it is talking about.
#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
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

// Tree keys: a file still holding an original node's data is keyed by that
// node's index; a file with new data by kNewData plus its blob's number.
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

const char* open_error_reason(OpenError error) {
    switch (error) {
        case OpenError::none: break;
        case OpenError::cannot_open: return "cannot be read";
        case OpenError::not_an_archive: return "not a U8 archive";
        case OpenError::bad_table: return "the archive's table lies outside the file";
        case OpenError::corrupt_table: return "the archive's table is damaged (nodes or names outside it)";
        case OpenError::corrupt_carrier: return "the compressed or wrapped archive is damaged";
        case OpenError::out_of_memory: return "not enough memory";
    }
    return "cannot be read";
}

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

const char* layout_reason(u8::LayoutError error) {
    switch (error) {
        case u8::LayoutError::none: break;
        case u8::LayoutError::offset_too_large:
            return "the archive's data would pass 4 GiB - 1, which U8 offsets cannot reach";
        case u8::LayoutError::names_too_large:
            return "the names would pass 16 MiB, which U8 name offsets cannot reach";
        case u8::LayoutError::too_many_nodes: return "too many entries for a U8 table";
        case u8::LayoutError::bad_alignment: return "the alignment must be a power of two from 1 to 65536";
        case u8::LayoutError::bad_tree: return "the edited tree is not a tree (a folder inside itself)";
        case u8::LayoutError::bad_name: return "a name holding a NUL byte cannot be stored";
        case u8::LayoutError::unusual_original:
            return "the original archive has its table inside its header, so nothing can be laid out like it";
    }
    return "cannot be laid out";
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
    if (notices & kNoticeImetMismatch) put_string(out, "the banner header's checksum does not match");
    if (notices & kNoticeImd5Mismatch) {
        if (out.back() != '[') out += ',';
        put_string(out, "an IMD5 checksum does not match its contents");
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

// One open archive and, while the page rebuilds it, the edited tree.
struct Session {
    Bytes bytes;  // the file as the page read it; the archive may borrow them
    ArchivePtr archive;
    std::vector<u8::TreeEntry> tree;
    std::vector<Bytes> blobs;         // new file data, by number
    std::vector<std::string> placed;  // each node's name as unpacked, while a tree is built
};
std::vector<std::unique_ptr<Session>> g_sessions;  // handle h is g_sessions[h - 1]

Session* session(int handle) {
    if (handle < 1 || static_cast<std::size_t>(handle) > g_sessions.size()) return nullptr;
    return g_sessions[static_cast<std::size_t>(handle) - 1].get();
}

// Reads a file entry of `archive` into `sink` in pieces.
bool send_entry(const Archive& archive, std::uint32_t node, std::uint64_t size, const ByteSink& sink) {
    Entry e;
    if (!archive_entry(archive, node, &e) || e.is_directory || e.data_size != size) return false;
    Bytes chunk(static_cast<std::size_t>(size < kChunk ? size : kChunk));
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t n = static_cast<std::size_t>(size - done < kChunk ? size - done : kChunk);
        if (!archive_read(archive, e, done, chunk.data(), n) || !sink(chunk.data(), n)) return false;
        done += n;
    }
    return true;
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

void fail_result(const char* reason) {
    g_result = "{\"ok\":false";
    put_field(g_result, "reason", reason);
    g_result += '}';
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

// Opens the input as an archive (bare or in any carriers). Returns a handle,
// or 0 with the reason in the result.
EMSCRIPTEN_KEEPALIVE int dv_open() {
    auto s = std::make_unique<Session>();
    s->bytes = std::move(g_input);
    g_input = Bytes();
    OpenStatus status;
    s->archive = archive_open_borrowed(s->bytes.data(), s->bytes.size(), &status);
    g_result = "{";
    put_bool(g_result, "ok", s->archive != nullptr);
    if (!s->archive) {
        put_field(g_result, "error", open_error_code(status.error));
        put_field(g_result, "reason", open_error_reason(status.error));
    } else {
        put_field(g_result, "nodes", archive_node_count(*s->archive));
        put_field(g_result, "size", archive_size(*s->archive));
    }
    put_carriers_and_warnings(g_result, status.carriers, status.notices);
    g_result += '}';
    if (!s->archive) return 0;
    g_sessions.push_back(std::move(s));
    return static_cast<int>(g_sessions.size());
}

EMSCRIPTEN_KEEPALIVE void dv_close(int handle) {
    if (session(handle)) g_sessions[static_cast<std::size_t>(handle) - 1].reset();
}

// Every entry in table order, as unpacking would place it: its path, how
// many folders deep it lands, and whether unpacking writes it ("why" says
// why not, in the unpacker's words).
EMSCRIPTEN_KEEPALIVE void dv_entries(int handle) {
    Session* s = session(handle);
    if (!s) return fail_result("no such archive");
    const Archive& a = *s->archive;
    // Mirrors unpacking: a second entry on a path that was already made is
    // not written, nor is a file whose data lies past the end; a folder
    // that meets a file is not entered.
    std::set<std::string, std::less<>> files, folders;
    g_result = "{\"ok\":true,\"entries\":[";
    Selection all;
    walk_entries(a, all, NameRule(), [&](const WalkEntry& w) {
        const Entry& e = w.entry;
        const std::string_view path = w.place.path;
        const char* why = nullptr;
        if (!w.place.placeable) {
            why = "unsafe name, not unpacked";
        } else if (files.count(path) != 0) {
            why = e.is_directory ? "exists and is not a directory; its contents go to the enclosing directory"
                                 : "same path as an earlier entry, not unpacked";
        } else if (!e.is_directory && folders.count(path) != 0) {
            why = "exists as a directory, not replaced";
        } else if (!e.is_directory && e.data_size != 0 &&
                   std::uint64_t{e.data_offset} + e.data_size > archive_size(a)) {
            why = "data lies past the end of the archive";
        }
        const bool entered = e.is_directory && w.place.placeable && why == nullptr;
        if (why == nullptr) (e.is_directory ? folders : files).emplace(path);

        g_result += g_result.back() == '[' ? "{" : ",{";
        put_field(g_result, "i", e.index);
        put_bool(g_result, "dir", e.is_directory);
        put_field(g_result, "name", w.place.name);
        if (std::strcmp(w.place.name, e.name) != 0) put_field(g_result, "stored", e.name);
        put_field(g_result, "path", path);
        put_field(g_result, "depth", w.place.depth);
        if (!e.is_directory) {
            put_field(g_result, "offset", e.data_offset);
            put_field(g_result, "size", e.data_size);
        }
        put_bool(g_result, "written", why == nullptr);
        if (why) put_field(g_result, "why", why);
        g_result += '}';
        return entered || !e.is_directory;
    });
    g_result += "]}";
}

// The entries the --include/--exclude rule selects. The input holds the
// patterns, each ended by a NUL and starting with '+' (include) or '-'
// (exclude). The result lists the selected node indices and the patterns
// that matched nothing.
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
    g_result = "{\"ok\":true,\"selected\":[";
    walk_entries(*s->archive, selection, NameRule(), [](const WalkEntry& w) {
        if (g_result.back() != '[') g_result += ',';
        g_result += std::to_string(w.entry.index);
        return true;
    });
    g_result += "],\"unmatched\":[";
    for (const std::vector<Pattern>* list : {&selection.include, &selection.exclude})
        for (const Pattern& p : *list)
            if (!p.matched) {
                if (g_result.back() != '[') g_result += ',';
                put_string(g_result, p.text);
            }
    g_result += "]}";
}

// A file entry's data, into the output. False when it cannot be read (its
// data lies past the end of the archive).
EMSCRIPTEN_KEEPALIVE int dv_read(int handle, std::uint32_t index) {
    Session* s = session(handle);
    Entry e;
    g_output.clear();
    if (!s || !archive_entry(*s->archive, index, &e) || e.is_directory) return 0;
    g_output.resize(e.data_size);
    return archive_read(*s->archive, e, 0, g_output.data(), g_output.size()) ? 1 : 0;
}

// --- Rebuilding: the edited tree, laid out like the original -------------------

EMSCRIPTEN_KEEPALIVE void dv_tree_begin(int handle) {
    Session* s = session(handle);
    if (!s) return;
    s->tree.clear();
    s->blobs.clear();
    // The names entries have as unpacked (a lone root folder is "arc"):
    // the tree names original entries so, and the page need not send them
    // back, which it could not do exactly for names that are not UTF-8.
    s->placed.assign(archive_node_count(*s->archive), std::string());
    Placement placement(*s->archive, NameRule(), false);
    Entry e;
    for (std::uint32_t i = 1; archive_entry(*s->archive, i, &e); ++i) s->placed[i] = placement.place(e).name;
}

// Keeps the input as new file data; returns its number.
EMSCRIPTEN_KEEPALIVE int dv_blob(int handle) {
    Session* s = session(handle);
    if (!s) return -1;
    s->blobs.push_back(std::move(g_input));
    g_input = Bytes();
    return static_cast<int>(s->blobs.size() - 1);
}

// Adds one entry to the edited tree, after its folder (`parent`, an index
// of this list, or -1 for the top). Its name is the input's bytes, or when
// the input is empty, original node `node`'s name. A file holds node
// `node`'s data, or blob `blob`'s. Returns its index, or -1 when the
// parent, node or blob does not exist.
EMSCRIPTEN_KEEPALIVE int dv_tree_add(int handle, int parent, int is_directory, int node, int blob) {
    Session* s = session(handle);
    if (!s || parent < -1 || parent >= static_cast<int>(s->tree.size())) return -1;
    u8::TreeEntry t;
    if (!g_input.empty()) t.name.assign(g_input.begin(), g_input.end());
    else if (node > 0 && static_cast<std::size_t>(node) < s->placed.size()) t.name = s->placed[static_cast<std::size_t>(node)];
    else return -1;
    t.is_directory = is_directory != 0;
    t.parent = parent < 0 ? u8::kTopLevel : static_cast<std::uint32_t>(parent);
    if (!t.is_directory) {
        Entry e;
        if (blob >= 0 && static_cast<std::size_t>(blob) < s->blobs.size()) {
            t.key = kNewData + static_cast<std::uint64_t>(blob);
            t.size = s->blobs[static_cast<std::size_t>(blob)].size();
        } else if (node > 0 && archive_entry(*s->archive, static_cast<std::uint32_t>(node), &e) &&
                   !e.is_directory) {
            t.key = e.index;
            t.size = e.data_size;
        } else {
            return -1;
        }
    }
    s->tree.push_back(std::move(t));
    return static_cast<int>(s->tree.size() - 1);
}

// Lays the edited tree out like the original (its node order, names,
// alignment and gaps kept wherever the edits allow), wraps it as the
// original was (Yaz0 at `level`: 0 fast, 1 default, 2 best) and puts the
// new file in the output. Returns 1 on success.
EMSCRIPTEN_KEEPALIVE int dv_rebuild(int handle, int level) {
    Session* s = session(handle);
    if (!s) return fail_result("no such archive"), 0;
    const Archive& original = *s->archive;

    const ByteSink no_sink;
    // Serves a tree file's data: an original node's, or a blob's.
    const auto send = [s, &original](std::uint64_t key, std::uint64_t size, const ByteSink& sink) {
        if (key < kNewData) return send_entry(original, static_cast<std::uint32_t>(key), size, sink);
        const Bytes& blob = s->blobs[static_cast<std::size_t>(key - kNewData)];
        for (std::size_t done = 0; done < blob.size(); done += kChunk) {
            const std::size_t n = blob.size() - done < kChunk ? blob.size() - done : kChunk;
            if (!sink(blob.data() + done, n)) return false;
        }
        return blob.size() == size;
    };
    // Whether tree file `key` holds exactly what original node `node` holds.
    const u8::SameContent same = [&](std::uint32_t node, std::uint64_t key) {
        if (key == node) return true;
        Entry e, mine;
        if (!archive_entry(original, node, &e)) return false;
        const std::uint64_t size = key >= kNewData ? s->blobs[static_cast<std::size_t>(key - kNewData)].size()
                                   : archive_entry(original, static_cast<std::uint32_t>(key), &mine) ? mine.data_size
                                                                                                      : ~std::uint64_t{0};
        if (size != e.data_size) return false;
        Bytes theirs(kChunk);
        std::uint64_t at = 0;
        return send(key, size, [&](const std::uint8_t* p, std::size_t n) {
            const bool equal = archive_read(original, e, at, theirs.data(), n) &&
                               std::memcmp(p, theirs.data(), n) == 0;
            at += n;
            return equal;
        });
    };

    u8::Plan plan;
    const u8::LikeOutcome like = u8::layout_like(original, s->tree, NameRule(), same, plan);
    if (like.result.error != u8::LayoutError::none) {
        fail_result(layout_reason(like.result.error));
        if (like.result.entry < s->tree.size()) {
            g_result.pop_back();
            put_field(g_result, "entry", like.result.entry);
            g_result += '}';
        }
        return 0;
    }
    const u8::DataSource files = [&send](const u8::Piece& piece, const ByteSink& sink) {
        return send(piece.key, piece.size, sink);
    };
    const std::vector<Carrier>& carriers = archive_carriers(original);
    bool ok = false;
    if (carriers.size() == 1 && carriers[0].kind == CarrierKind::yaz0) {
        // The archive's size is known from the layout: the encoder streams.
        ok = plan.size <= 0xFFFFFFFFu &&
             yaz0_stream([&](const ByteSink& sink) { return u8::write_plan(plan, sink, files, &original); },
                         plan.size, level);
    } else {
        // Bare archives, and banners and their parts (small, wrapped whole).
        g_output.clear();
        g_output.reserve(static_cast<std::size_t>(plan.size));
        ok = u8::write_plan(plan,
                            [](const std::uint8_t* p, std::size_t n) {
                                g_output.insert(g_output.end(), p, p + n);
                                return true;
                            },
                            files, &original);
        yaz0::EncodeOptions options;
        options.level = level_of(level);
        options.threads = 1;
        if (ok && !carriers.empty()) {
            dv_progress(0, 1);
            ok = carrier_wrap(carriers, options, g_output);
            if (!ok) return fail_result("too large for the carrier the original was wrapped in"), 0;
        }
        dv_progress(1, 1);
    }
    if (!ok) return fail_result("the original archive or a new file could not be read"), 0;
    g_result = "{\"ok\":true";
    put_field(g_result, "size", g_output.size());
    put_key(g_result, "dropped");
    g_result += '[';
    for (const std::string& path : like.dropped) {
        if (g_result.back() != '[') g_result += ',';
        put_string(g_result, path);
    }
    g_result += "]}";
    s->tree.clear();
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
