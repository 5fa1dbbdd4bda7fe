// dravik._dravik: the CPython extension over dravik's public library. The
// Python package (dravik/__init__.py) re-exports it; the docstrings here
// are what help() shows.
//
// Rules this file keeps:
//   - The GIL is released around everything that takes time (opening,
//     reading, coding, unpacking, packing, editing, comparing), and no
//     Python object is touched while it is: inputs are pinned buffers,
//     outputs are allocated first.
//   - Shared pointers to an open archive are only dropped with the GIL
//     held, since the last one may release a Python buffer.
//   - Every failure becomes a dravik.Error: ArchiveError (a ValueError)
//     for bytes that cannot be used, DiskError (an OSError) for the file
//     system, EditError (a ValueError) for an edit that cannot be done;
//     a pending Ctrl-C raises KeyboardInterrupt after removing what was
//     half written.
#include <pybind11/pybind11.h>
#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <algorithm>
#include <initializer_list>

#include "disk.h"
#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "dravik/codec.h"
#include "edit.h"
#include "errors.h"
#include "extract.h"
#include "files.h"
#include "listing.h"
#include "pack.h"

namespace pyb = pybind11;
using namespace pybind11::literals;

namespace dravik::py {

// ---------------------------------------------------------------- errors

PyObject* g_error = nullptr;
PyObject* g_archive_error = nullptr;
PyObject* g_disk_error = nullptr;
PyObject* g_edit_error = nullptr;

// Text from the archive's bytes: UTF-8, with what is not UTF-8 kept as
// surrogate escapes (as os.fsdecode does) or, in messages, shown escaped.
// Strict decoding first: it skips looking up the error handler, which
// costs more than decoding a short name.
pyb::str decoded(std::string_view bytes, const char* errors = "surrogateescape") {
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), size, nullptr);
    if (!s && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        s = PyUnicode_DecodeUTF8(bytes.data(), size, errors);
    }
    if (!s) throw pyb::error_already_set();
    return pyb::reinterpret_steal<pyb::str>(s);
}

void raise_disk(const DiskFailure& f) {
    pyb::object e = pyb::reinterpret_steal<pyb::object>(
        PyObject_CallFunctionObjArgs(g_disk_error, decoded(f.message, "backslashreplace").ptr(), nullptr));
    if (!e) return;
    if (f.error_number) e.attr("errno") = f.error_number;
    if (f.error_number) e.attr("strerror") = std::strerror(f.error_number);
    if (!f.filename.empty()) e.attr("filename") = decoded(f.filename);
    if (!f.problems.empty()) {
        pyb::list problems;
        for (const std::string& p : f.problems) problems.append(decoded(p, "backslashreplace"));
        e.attr("problems") = problems;
    }
    PyErr_SetObject(g_disk_error, e.ptr());
}

[[noreturn]] void archive_failure(std::string message) { throw ArchiveFailure{std::move(message)}; }

// ---------------------------------------------------------- interruption

unsigned long g_main_thread = 0;

// Whether Ctrl-C (or another signal with a Python handler that raised) is
// pending. Python runs signal handlers in the main thread only, so other
// threads never look; the main thread looks at most every 20 ms, taking
// the GIL for it. The exception stays set for the caller to raise.
class SignalCheck {
public:
    SignalCheck() : main_(PyThread_get_thread_ident() == g_main_thread) {}
    // May be asked from the library's worker threads (an encoder's sink):
    // only the thread that made it, the main one, looks.
    bool operator()() {
        if (!main_ || raised_ || PyThread_get_thread_ident() != g_main_thread) return raised_;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return false;
        next_ = now + std::chrono::milliseconds(20);
        pyb::gil_scoped_acquire gil;
        raised_ = PyErr_CheckSignals() != 0;
        return raised_;
    }

private:
    bool main_;
    bool raised_ = false;
    std::chrono::steady_clock::time_point next_{};
};

// Runs `work` without the GIL, then raises what a pending signal set.
template <typename Work>
auto without_gil(Work&& work) {
    try {
        pyb::gil_scoped_release released;
        return work();
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw pyb::error_already_set();
    }
}

// ---------------------------------------------------------------- inputs

// A bytes-like object's bytes, pinned while this lives (the exporter may
// not resize or free them). Released with the GIL held.
class Pinned {
public:
    explicit Pinned(pyb::handle object) {
        if (PyUnicode_Check(object.ptr())) throw pyb::type_error("expected a bytes-like object, not str");
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) throw pyb::error_already_set();
        held_ = true;
    }
    ~Pinned() {
        if (held_) PyBuffer_Release(&view_);
    }
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

struct BorrowedBytes {
    explicit BorrowedBytes(pyb::handle object) : pinned(object) {}
    Pinned pinned;
};

ArchiveHolder::~ArchiveHolder() {
    archive.reset();
    borrowed.reset();
}

// A path argument as the file system's bytes (str, bytes path or os.PathLike).
std::string fs_path(pyb::handle path) {
    pyb::object fs = pyb::reinterpret_steal<pyb::object>(PyOS_FSPath(path.ptr()));
    if (!fs) throw pyb::error_already_set();
    if (PyBytes_Check(fs.ptr())) return std::string(PyBytes_AS_STRING(fs.ptr()), PyBytes_GET_SIZE(fs.ptr()));
    PyObject* encoded = PyUnicode_EncodeFSDefault(fs.ptr());
    if (!encoded) throw pyb::error_already_set();
    pyb::bytes b = pyb::reinterpret_steal<pyb::bytes>(encoded);
    return std::string(PyBytes_AS_STRING(b.ptr()), PyBytes_GET_SIZE(b.ptr()));
}

// A path inside an archive (str or bytes) as its bytes.
std::string archive_path(pyb::handle path) {
    if (PyBytes_Check(path.ptr())) return std::string(PyBytes_AS_STRING(path.ptr()), PyBytes_GET_SIZE(path.ptr()));
    if (!PyUnicode_Check(path.ptr())) throw pyb::type_error("an archive path is a str or bytes");
    PyObject* encoded = PyUnicode_AsEncodedString(path.ptr(), "utf-8", "surrogateescape");
    if (!encoded) throw pyb::error_already_set();
    pyb::bytes b = pyb::reinterpret_steal<pyb::bytes>(encoded);
    return std::string(PyBytes_AS_STRING(b.ptr()), PyBytes_GET_SIZE(b.ptr()));
}

// Patterns: one str, or an iterable of them.
std::vector<std::string> patterns(pyb::handle given) {
    std::vector<std::string> out;
    if (given.is_none()) return out;
    if (PyUnicode_Check(given.ptr()) || PyBytes_Check(given.ptr())) {
        out.push_back(archive_path(given));
        return out;
    }
    for (pyb::handle p : given) out.push_back(archive_path(p));
    return out;
}

yaz0::Level parse_level(const std::string& level) {
    if (level == "fast") return yaz0::Level::fast;
    if (level == "default") return yaz0::Level::standard;
    if (level == "best") return yaz0::Level::best;
    throw pyb::value_error("level must be 'fast', 'default' or 'best', not '" + level + "'");
}

pyb::bytes to_bytes(const Bytes& b) { return pyb::bytes(reinterpret_cast<const char*>(b.data()), b.size()); }

// A bytes object of exactly `size` bytes to be filled without the GIL.
pyb::bytes fresh_bytes(std::size_t size) {
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (!b) throw pyb::error_already_set();
    return pyb::reinterpret_steal<pyb::bytes>(b);
}
std::uint8_t* bytes_data(pyb::bytes& b) { return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(b.ptr())); }

// ----------------------------------------------------------------- open

// `need_entries`: refuse an archive of the root alone, which has nothing
// to list or unpack (editing and comparing take it: deleting every entry
// leaves one).
std::shared_ptr<ArchiveHolder> open_archive(pyb::handle source, bool need_entries = true) {
    auto h = std::make_shared<ArchiveHolder>();
    std::string shown;
    if (PyUnicode_Check(source.ptr()) || PyObject_HasAttrString(source.ptr(), "__fspath__")) {
        shown = fs_path(source);
        const std::string path = shown;
        without_gil([&] { return (h->archive = open_archive_file(path, &h->file, &h->status)) != nullptr; });
        if (!h->archive && h->status.error == OpenError::cannot_open)
            throw DiskFailure{shown + ": " + open_error_reason(h->status), h->status.error_number, shown, {}};
    } else {
        // Immutable bytes are read where they are; anything that could be
        // changed under the reader (a bytearray, a writable buffer, a mapped
        // file) is copied once, since the table is trusted after it is checked.
        const bool borrow = PyBytes_Check(source.ptr()) ||
                            (PyMemoryView_Check(source.ptr()) && PyMemoryView_GET_BASE(source.ptr()) &&
                             PyBytes_Check(PyMemoryView_GET_BASE(source.ptr())));
        if (borrow) {
            h->borrowed = std::make_unique<BorrowedBytes>(source);
            const Pinned& p = h->borrowed->pinned;
            without_gil([&] { return (h->archive = archive_open_borrowed(p.data(), p.size(), &h->status)) != nullptr; });
        } else {
            Pinned p(source);
            without_gil([&] { return (h->archive = archive_open_memory(p.data(), p.size(), &h->status)) != nullptr; });
        }
        shown = "<bytes>";
    }
    if (!h->archive) {
        if (h->status.error == OpenError::out_of_memory) throw std::bad_alloc();
        archive_failure(shown + ": " + open_error_reason(h->status));
    }
    if (!need_entries) return h;
    // As the program: an archive whose table holds no entry cannot be used.
    Entry first;
    if (archive_node_count(*h->archive) == 0) archive_failure(shown + ": empty archive");
    if (!archive_entry(*h->archive, 1, &first)) archive_failure(shown + ": no entries");
    return h;
}

// --------------------------------------------------------------- objects

// The entry types are struct sequences (named tuples made in C, as
// os.stat_result): made without per-field calls, read at C speed, so that
// walking a large archive from Python costs little more than the loop.
PyTypeObject* g_entry_type = nullptr;
PyTypeObject* g_stored_type = nullptr;

PyStructSequence_Field g_entry_fields[] = {
    {"index", "Its node index, from 1."},
    {"name", "Its name as stored (bytes that are not UTF-8 as surrogate escapes, as os.fsdecode makes them)."},
    {"path", "Where unpacking puts it, relative to the destination: 'arc/anim/a.brlan'."},
    {"is_dir", "True for a directory."},
    {"size", "A file's data size in bytes; None for a directory."},
    {"data_offset", "Where a file's data starts in the U8 archive (inside every carrier); None for a directory."},
    {"parent", "A directory's parent index as stored; None for a file."},
    {"end", "A directory's end index as stored (the first node after its contents); None for a file."},
    {"placeable", "False when its name cannot be created (empty, '.', '..', holding '/'): unpacking leaves it "
                  "out, and a directory's contents land a level up."},
    {"stored", "The node's four words exactly as the table holds them (StoredWords)."},
    {nullptr, nullptr}};
PyStructSequence_Desc g_entry_desc = {"dravik.Entry", "One entry of an archive, in its own words and where unpacking puts it.",
                                      g_entry_fields, 10};
PyStructSequence_Field g_stored_fields[] = {
    {"type", "The type byte: 0 for a file, anything else a directory."},
    {"name_offset", "Where the name starts in the names table (24 bits)."},
    {"offset", "The word at +4: a file's data offset, a directory's parent index."},
    {"size", "The word at +8: a file's data size, a directory's end index."},
    {nullptr, nullptr}};
PyStructSequence_Desc g_stored_desc = {"dravik.StoredWords", "The four words a node stores, as the table holds them.",
                                       g_stored_fields, 4};

pyb::object steal(PyObject* p) {
    if (!p) throw pyb::error_already_set();
    return pyb::reinterpret_steal<pyb::object>(p);
}

// Its items are numbers, text, None, booleans and struct sequences made
// here: nothing that can lead back to it, so the cycle collector is told
// to leave it alone (walking a large archive makes hundreds of thousands).
pyb::object struct_sequence(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    pyb::object o = steal(PyStructSequence_New(type));
    Py_ssize_t k = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyStructSequence_SET_ITEM(o.ptr(), k++, item);
    }
    PyObject_GC_UnTrack(o.ptr());
    return o;
}

// Entry i of the listing; `path` and `scratch` are reused between calls.
pyb::object make_entry(const Listing& l, std::size_t i, std::string& path, std::vector<const char*>& scratch) {
    const Slot& slot = l.slots[i];
    const Entry& e = slot.entry;
    l.folders.path_into(slot.folder, slot.place_name, path, scratch);
    // A word stored and shown under its honest name is one object for both.
    const StoredNode& w = e.stored;
    const auto number = [](std::uint32_t v) { return steal(PyLong_FromUnsignedLong(v)); };
    pyb::object offset = number(w.offset);
    pyb::object size = w.size == w.offset ? offset : number(w.size);
    const auto word = [&](std::uint32_t v) { return v == w.offset ? offset : v == w.size ? size : number(v); };
    pyb::object stored = struct_sequence(g_stored_type, {number(w.type).ptr(), number(w.name_offset).ptr(), offset.ptr(), size.ptr()});
    pyb::object index = number(e.index);
    pyb::object name = decoded(e.name), where = decoded(path);
    pyb::object none = pyb::none();
    pyb::object data_size = e.is_directory ? none : word(e.data_size);
    pyb::object data_offset = e.is_directory ? none : word(e.data_offset);
    pyb::object parent = e.is_directory ? word(e.parent) : none;
    pyb::object end = e.is_directory ? word(e.end) : none;
    return struct_sequence(g_entry_type, {index.ptr(), name.ptr(), where.ptr(), e.is_directory ? Py_True : Py_False,
                                          data_size.ptr(), data_offset.ptr(), parent.ptr(), end.ptr(),
                                          slot.placeable ? Py_True : Py_False, stored.ptr()});
}

// An archive's entries as the package's Entries reads them.
struct ListingRef {
    std::shared_ptr<const Listing> listing;

    std::size_t size() const { return listing->slots.size(); }
    pyb::object entry(std::size_t i) const {
        std::string path;
        std::vector<const char*> scratch;
        return make_entry(*listing, i, path, scratch);
    }
    // Entries [start, start + count) as a list: iteration takes them in
    // batches, so that the walk is fast and memory stays bounded.
    pyb::list batch(std::size_t start, std::size_t count) const {
        const std::size_t end = std::min(size(), start + std::min(count, size()));
        pyb::list out(end > start ? end - start : 0);
        std::string path;
        std::vector<const char*> scratch;
        for (std::size_t i = start; i < end; ++i)
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i - start), make_entry(*listing, i, path, scratch).release().ptr());
        return out;
    }
};

class PyArchive;

struct FailureRef {
    std::shared_ptr<const struct ExtractData> data;
    std::size_t index = 0;
};

struct ExtractData {
    std::shared_ptr<ArchiveHolder> holder;  // the names are borrowed from it
    ExtractOutcome outcome;
    std::vector<std::string> unmatched;
};

struct ExtractReport {
    std::shared_ptr<const ExtractData> data;
};

class PyArchive {
public:
    explicit PyArchive(std::shared_ptr<ArchiveHolder> holder) : holder_(std::move(holder)) {}

    std::shared_ptr<ArchiveHolder> holder() const {
        if (!holder_) throw pyb::value_error("the archive is closed");
        return holder_;
    }
    void close() {
        holder_.reset();
        listing_.reset();
    }
    bool closed() const { return !holder_; }

    std::shared_ptr<const Listing> listing() {
        // Made on first use: opening alone does not walk the table.
        if (!listing_) {
            std::shared_ptr<ArchiveHolder> h = holder();
            listing_ = without_gil([&] { return make_listing(h); });
        }
        return listing_;
    }

    // The data of the file in listing slot `slot`.
    pyb::bytes read(std::size_t slot_index) {
        std::shared_ptr<const Listing> l = listing();
        if (slot_index >= l->slots.size()) throw pyb::index_error("no such entry");
        const Slot& slot = l->slots[slot_index];
        const std::string shown = l->path(slot);
        std::shared_ptr<ArchiveHolder> h = holder();
        const Entry& e = slot.entry;
        if (e.is_directory) archive_failure(shown + ": is a directory");
        if (e.data_size > 0 && std::uint64_t{e.data_offset} + e.data_size > archive_size(*h->archive))
            archive_failure(shown + ": data lies past the end of the archive");
        pyb::bytes out = fresh_bytes(e.data_size);
        std::uint8_t* to = bytes_data(out);
        const int failed = without_gil([&] {
            errno = 0;
            return archive_read(*h->archive, e, 0, to, e.data_size) ? 0 : (errno ? errno : -1);
        });
        if (failed < 0) archive_failure(shown + ": the archive ended before the entry's data");
        if (failed > 0) throw DiskFailure{shown + ": cannot read the archive: " + std::strerror(failed), failed, "", {}};
        return out;
    }

    ExtractReport extract(pyb::handle dest, pyb::handle include, pyb::handle exclude) {
        std::shared_ptr<ArchiveHolder> h = holder();
        const std::string where = fs_path(dest);
        auto data = std::make_shared<ExtractData>();
        data->holder = h;
        Selection selection = make_selection(patterns(include), patterns(exclude));
        SignalCheck check;
        const std::function<bool()> interrupted = [&check] { return check(); };
        without_gil([&] {
            Fd destination = disk::open_destination(where.c_str());
            if (!destination.valid()) {
                const int e = errno;
                throw DiskFailure{where + ": " + (e == ENOTDIR ? std::string("exists and is not a directory")
                                                               : "cannot create the folder: " + std::string(std::strerror(e))),
                                  e, where, {}};
            }
            data->outcome = extract_archive(*h->archive, h->file, std::move(destination), selection, interrupted);
            return 0;
        });
        for (const auto* list : {&selection.include, &selection.exclude})
            for (const Pattern& p : *list)
                if (!p.matched) data->unmatched.push_back(p.text);
        return ExtractReport{data};
    }

private:
    std::shared_ptr<ArchiveHolder> holder_;
    std::shared_ptr<const Listing> listing_;
};

std::string carrier_list(const OpenStatus& status) {
    std::string out;
    for (CarrierKind k : status.carriers) out += std::string(out.empty() ? "" : ", ") + carrier_name(k);
    return out;
}

// ----------------------------------------------------------------- edits

// Changes as (kind, path, old path or None) tuples; the package makes them
// Change named tuples.
pyb::list change_list(const std::vector<Change>& changes) {
    pyb::list out;
    for (const Change& c : changes) {
        pyb::object from = c.kind == 'R' ? pyb::object(decoded(c.from)) : pyb::object(pyb::none());
        out.append(pyb::make_tuple(pyb::str(std::string(1, c.kind)), decoded(c.path), from));
    }
    return out;
}

pyb::tuple notice_texts(std::uint32_t notices) {
    pyb::list out;
    for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
        if (notices & notice) out.append(notice_text(notice));
    return pyb::tuple(out);
}

EditRequest edit_request(EditKind kind, pyb::handle archive, pyb::handle output, const std::string& level,
                         bool force, bool dry_run) {
    EditRequest r;
    r.kind = kind;
    r.archive = fs_path(archive);
    if (!output.is_none()) {
        r.output = fs_path(output);
        // An empty output would read as "in place".
        if (r.output.empty()) throw pyb::value_error("output: an empty path names no file");
    }
    r.yaz0.level = parse_level(level);
    r.force = force;
    r.dry_run = dry_run;
    return r;
}

// Runs the edit without the GIL: (changes, warnings).
pyb::tuple run_edit(const EditRequest& r) {
    SignalCheck check;
    const std::function<bool()> interrupted = [&check] { return check(); };
    const EditOutcome o = without_gil([&] { return edit_archive(r, interrupted); });
    return pyb::make_tuple(change_list(o.changes), notice_texts(o.notices));
}

// An archive to compare: an open dravik.Archive as it is, else opened.
std::shared_ptr<ArchiveHolder> comparable(pyb::handle given) {
    if (pyb::isinstance<PyArchive>(given)) return given.cast<PyArchive&>().holder();
    return open_archive(given, false);
}

}  // namespace dravik::py

using namespace dravik;
using namespace dravik::py;

PYBIND11_MODULE(_dravik, m) {
    m.doc() = "dravik's library for Python: Wii U8 archives, their carriers and codecs.";
    m.attr("__version__") = DRAVIK_VERSION_STRING;
    g_main_thread = pyb::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    g_error = PyErr_NewExceptionWithDoc("dravik.Error", "Every failure dravik reports.", PyExc_Exception, nullptr);
    pyb::tuple archive_bases = pyb::make_tuple(pyb::handle(g_error), pyb::handle(PyExc_ValueError));
    g_archive_error = PyErr_NewExceptionWithDoc(
        "dravik.ArchiveError", "Bytes that cannot be used: not an archive, a damaged table or stream, a format limit.",
        archive_bases.ptr(), nullptr);
    pyb::tuple disk_bases = pyb::make_tuple(pyb::handle(g_error), pyb::handle(PyExc_OSError));
    // Its text is the program's line ("x.arc: exists; ..."), whatever errno
    // and filename say: OSError would show "[Errno 17] ..." instead.
    pyb::dict disk_dict("__str__"_a = pyb::eval("lambda self: str(self.args[0]) if self.args else ''"));
    g_edit_error = PyErr_NewExceptionWithDoc(
        "dravik.EditError",
        "An edit that cannot be done as asked (no such entry, a name taken, a file where a folder is): "
        "the program's refusal; problems lists every line. Nothing was written.",
        archive_bases.ptr(), nullptr);
    g_disk_error = PyErr_NewExceptionWithDoc(
        "dravik.DiskError",
        "The file system refused: errno, strerror and filename are set when the system said why; "
        "problems lists every line when packing found several.",
        disk_bases.ptr(), disk_dict.ptr());
    if (!g_error || !g_archive_error || !g_disk_error || !g_edit_error) throw pyb::error_already_set();
    m.attr("Error") = pyb::handle(g_error);
    m.attr("ArchiveError") = pyb::handle(g_archive_error);
    m.attr("DiskError") = pyb::handle(g_disk_error);
    m.attr("EditError") = pyb::handle(g_edit_error);
    pyb::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const ArchiveFailure& f) {
            PyErr_SetObject(g_archive_error, decoded(f.message, "backslashreplace").ptr());
        } catch (const DiskFailure& f) {
            raise_disk(f);
        } catch (const EditRefusal& f) {
            std::string message;
            pyb::list problems;
            for (const std::string& line : f.lines) {
                message += (message.empty() ? "" : "\n") + line;
                problems.append(decoded(line, "backslashreplace"));
            }
            pyb::object e = pyb::reinterpret_steal<pyb::object>(PyObject_CallFunctionObjArgs(
                g_edit_error, decoded(message, "backslashreplace").ptr(), nullptr));
            if (!e) return;
            e.attr("problems") = problems;
            PyErr_SetObject(g_edit_error, e.ptr());
        }
    });

    g_entry_type = PyStructSequence_NewType(&g_entry_desc);
    g_stored_type = PyStructSequence_NewType(&g_stored_desc);
    if (!g_entry_type || !g_stored_type) throw pyb::error_already_set();
    m.attr("Entry") = pyb::handle(reinterpret_cast<PyObject*>(g_entry_type));
    m.attr("StoredWords") = pyb::handle(reinterpret_cast<PyObject*>(g_stored_type));

    pyb::class_<ListingRef>(m, "_Listing")
        .def("__len__", &ListingRef::size)
        .def("entry", &ListingRef::entry)
        .def("batch", &ListingRef::batch)
        .def("find", [](const ListingRef& l, pyb::handle path) { return l.listing->find(archive_path(path)); })
        .def("path", [](const ListingRef& l, std::size_t i) { return decoded(l.listing->path(l.listing->slots.at(i))); });

    pyb::class_<FailureRef>(m, "Failure", "An entry that extract() could not unpack, and why.")
        .def_property_readonly("index", [](const FailureRef& f) { return f.data->outcome.failed[f.index].index; })
        .def_property_readonly("is_dir", [](const FailureRef& f) { return f.data->outcome.failed[f.index].is_directory; })
        .def_property_readonly("name", [](const FailureRef& f) { return decoded(f.data->outcome.failed[f.index].name); })
        .def_property_readonly("path", [](const FailureRef& f) {
            const ExtractFailure& x = f.data->outcome.failed[f.index];
            return decoded(f.data->outcome.folders.path(x.folder, x.name));
        }, "Where it was to land, relative to the destination.")
        .def_property_readonly("reason", [](const FailureRef& f) { return f.data->outcome.failed[f.index].reason; },
                               "Why, in the words of the program's diagnostics.")
        .def_property_readonly("errno", [](const FailureRef& f) -> pyb::object {
            const int e = f.data->outcome.failed[f.index].error_number;
            return e ? pyb::object(pyb::int_(e)) : pyb::object(pyb::none());
        }, "The system's error number, when the system said why; else None.")
        .def("__repr__", [](const FailureRef& f) {
            const ExtractFailure& x = f.data->outcome.failed[f.index];
            return "Failure(" + pyb::repr(decoded(f.data->outcome.folders.path(x.folder, x.name))).cast<std::string>() +
                   ", " + pyb::repr(pyb::str(x.reason)).cast<std::string>() + ")";
        });

    pyb::class_<ExtractReport>(m, "ExtractResult", "What extract() did.")
        .def_property_readonly("unpacked", [](const ExtractReport& r) { return r.data->outcome.unpacked; },
                               "How many entries were written or entered.")
        .def_property_readonly("failed", [](const ExtractReport& r) {
            pyb::list out;
            for (std::size_t i = 0; i < r.data->outcome.failed.size(); ++i) out.append(FailureRef{r.data, i});
            return out;
        }, "The entries that could not be unpacked, in table order, each with its reason.")
        .def_property_readonly("unmatched", [](const ExtractReport& r) {
            pyb::list out;
            for (const std::string& p : r.data->unmatched) out.append(decoded(p));
            return out;
        }, "The include and exclude patterns that matched no entry.")
        .def_property_readonly("ok", [](const ExtractReport& r) {
            return r.data->outcome.failed.empty() && r.data->unmatched.empty();
        }, "True when nothing failed and every pattern matched something (the program's exit status 0).")
        .def("__repr__", [](const ExtractReport& r) {
            return "ExtractResult(unpacked=" + std::to_string(r.data->outcome.unpacked) +
                   ", failed=" + std::to_string(r.data->outcome.failed.size()) +
                   ", unmatched=" + std::to_string(r.data->unmatched.size()) + ")";
        });

    pyb::class_<PyArchive>(m, "_Archive")
        .def_property_readonly("carriers", [](const PyArchive& a) {
            pyb::list out;
            for (CarrierKind k : a.holder()->status.carriers) out.append(carrier_name(k));
            return pyb::tuple(out);
        })
        .def_property_readonly("warnings", [](const PyArchive& a) { return notice_texts(a.holder()->status.notices); })
        .def_property_readonly("node_count", [](const PyArchive& a) { return archive_node_count(*a.holder()->archive); })
        .def_property_readonly("size", [](const PyArchive& a) { return archive_size(*a.holder()->archive); })
        .def("listing", [](PyArchive& a) { return ListingRef{a.listing()}; })
        .def("read", &PyArchive::read)
        .def("extract", &PyArchive::extract)
        .def("close", &PyArchive::close)
        .def_property_readonly("closed", &PyArchive::closed);

    m.def("_open", [](pyb::handle source) { return PyArchive(open_archive(source)); });

    m.def("unwrap", [](pyb::handle data) {
        Pinned in(data);
        Bytes out;
        const OpenError e = without_gil([&] { return carrier_peel(in.data(), in.size(), out); });
        if (e == OpenError::out_of_memory) throw std::bad_alloc();
        if (e != OpenError::none) archive_failure("the compressed or wrapped data is damaged");
        return to_bytes(out);
    }, "data"_a,
          "Peels every carrier (Yaz0, LZ77, IMD5, banner header) off `data` and returns what the innermost "
          "one holds; data with no carrier comes back unchanged. The GIL is released meanwhile.");

    m.def("pack", [](pyb::handle folder, pyb::handle archive, pyb::handle like, std::uint32_t align,
                     pyb::handle compress, const std::string& level, bool force, pyb::handle exclude,
                     unsigned threads) {
        PackRequest r;
        r.folder = fs_path(folder);
        r.archive = fs_path(archive);
        if (!like.is_none()) r.like = fs_path(like);
        r.align = align;
        r.compression = compress.is_none() ? Compression::by_name
                        : compress.cast<bool>() ? Compression::yaz0 : Compression::none;
        r.yaz0.level = parse_level(level);
        r.yaz0.threads = threads;
        r.force = force;
        r.exclude = patterns(exclude);
        SignalCheck check;
        const std::function<bool()> interrupted = [&check] { return check(); };
        PackOutcome outcome = without_gil([&] { return pack_folder(r, interrupted); });
        pyb::dict result("size"_a = outcome.size, "carriers"_a = pyb::tuple(pyb::cast(outcome.carriers)));
        pyb::list dropped;
        for (const std::string& d : outcome.dropped) dropped.append(decoded(d));
        result["dropped"] = dropped;
        return result;
    }, "folder"_a, "archive"_a, "like"_a = pyb::none(), "align"_a = 32, "compress"_a = pyb::none(),
          "level"_a = "best", "force"_a = false, "exclude"_a = pyb::none(), "threads"_a = 0u,
          "Packs the contents of `folder` into `archive` (see dravik.pack in the package for the details).");

    m.def("_update", [](pyb::handle archive, pyb::handle items, pyb::handle output, const std::string& level,
                        bool force, bool dry_run) {
        EditRequest r = edit_request(EditKind::update, archive, output, level, force, dry_run);
        // Bytes are read where they are, pinned until the edit is done (and
        // released with the GIL held).
        std::vector<std::unique_ptr<Pinned>> pinned;
        for (pyb::handle pair : items) {
            const pyb::tuple t = pyb::reinterpret_borrow<pyb::tuple>(pair);
            UpdateItem item;
            item.path = archive_path(t[0]);
            const pyb::handle value = t[1];
            if (PyUnicode_Check(value.ptr()) || PyObject_HasAttrString(value.ptr(), "__fspath__")) {
                item.on_disk = true;
                item.disk_path = fs_path(value);
            } else if (PyObject_CheckBuffer(value.ptr())) {
                pinned.push_back(std::make_unique<Pinned>(value));
                item.data = pinned.back()->data();
                item.size = pinned.back()->size();
            } else {
                throw pyb::type_error("update takes bytes-like data or a path on disk (str or os.PathLike) for " +
                                      pyb::repr(t[0]).cast<std::string>() + ", not " +
                                      std::string(Py_TYPE(value.ptr())->tp_name));
            }
            r.items.push_back(std::move(item));
        }
        return run_edit(r);
    }, "archive"_a, "items"_a, "output"_a, "level"_a, "force"_a, "dry_run"_a);
    m.def("_delete", [](pyb::handle archive, pyb::handle globs, pyb::handle output, const std::string& level,
                        bool force, bool dry_run) {
        EditRequest r = edit_request(EditKind::remove, archive, output, level, force, dry_run);
        r.patterns = patterns(globs);
        return run_edit(r);
    }, "archive"_a, "patterns"_a, "output"_a, "level"_a, "force"_a, "dry_run"_a);
    m.def("_rename", [](pyb::handle archive, pyb::handle old, pyb::handle new_path, pyb::handle output,
                        const std::string& level, bool force, bool dry_run) {
        EditRequest r = edit_request(EditKind::rename, archive, output, level, force, dry_run);
        r.from = archive_path(old);
        r.to = archive_path(new_path);
        return run_edit(r);
    }, "archive"_a, "old"_a, "new"_a, "output"_a, "level"_a, "force"_a, "dry_run"_a);
    m.def("_diff", [](pyb::handle a, pyb::handle b) {
        std::shared_ptr<ArchiveHolder> x = comparable(a), y = comparable(b);
        const DiffOutcome o = without_gil([&] { return diff_archives(*x->archive, *y->archive); });
        return pyb::make_tuple(change_list(o.changes), o.identical);
    }, "a"_a, "b"_a);

    m.def("_check", [](pyb::handle source) {
        // A path is checked from its file, bytes where they are.
        std::vector<Finding> found;
        const auto keep = [&found](const Finding& f) { found.push_back(f); };
        CheckCount count;
        const bool data = !PyUnicode_Check(source.ptr()) && PyObject_CheckBuffer(source.ptr());
        if (!data) {
            const std::string path = fs_path(source);
            count = without_gil([&] { return check_archive(path.c_str(), keep); });
        } else {
            Pinned bytes(source);
            count = without_gil([&] { return check_archive_borrowed(bytes.data(), bytes.size(), keep); });
        }
        pyb::list findings;
        for (const Finding& f : found) findings.append(pyb::make_tuple(f.problem, decoded(f.path), f.text));
        return pyb::make_tuple(count.problems, count.warnings, findings);
    }, "source"_a);

    pyb::module_ yaz0m = m.def_submodule("yaz0", "Yaz0 coding.");
    yaz0m.def("compress", [](pyb::handle data, const std::string& level, unsigned threads) {
        Pinned in(data);
        if (in.size() > 0xFFFFFFFFu) archive_failure("larger than Yaz0 can hold (4 GiB - 1)");
        yaz0::EncodeOptions options;
        options.level = parse_level(level);
        options.threads = threads;
        // Streamed, so that the sink can stop a long compression on Ctrl-C.
        SignalCheck check;
        Bytes out;
        out.reserve(in.size() / 8 + yaz0::kHeaderSize);
        const ByteSink sink = [&](const std::uint8_t* p, std::size_t n) {
            if (check()) return false;
            out.insert(out.end(), p, p + n);
            return true;
        };
        const bool ok = without_gil([&] {
            yaz0::EncoderPtr encoder = yaz0::encoder_begin(static_cast<std::uint32_t>(in.size()), options, sink);
            if (!encoder) throw std::bad_alloc();
            const bool done = yaz0::encoder_feed(*encoder, in.data(), in.size()) && yaz0::encoder_finish(*encoder);
            if (!done && check()) throw Interrupted();
            return done;
        });
        if (!ok) throw std::bad_alloc();
        return to_bytes(out);
    }, "data"_a, "level"_a = "default", "threads"_a = 0u,
            "A whole Yaz0 file for `data`. level: 'fast', 'default' or 'best' (the smallest stream the format "
            "allows); threads: 0 for one per CPU (the bytes never depend on it). The GIL is released meanwhile.");
    yaz0m.def("decompress", [](pyb::handle data) {
        Pinned in(data);
        if (in.size() < yaz0::kHeaderSize || !yaz0::has_magic(in.data())) archive_failure("not Yaz0 data");
        const std::uint32_t size = yaz0::decoded_size(in.data());
        // Each stream byte yields at most 91 (a 3-byte match of 273), so a
        // stated size past that is refused before memory is taken for it.
        const std::uint64_t stream = in.size() - yaz0::kHeaderSize;
        if (size > stream * 91 + 273) archive_failure("the compressed or wrapped data is damaged");
        pyb::bytes out = fresh_bytes(size);
        std::uint8_t* to = bytes_data(out);
        const bool ok = without_gil([&] { return yaz0::decode(in.data() + yaz0::kHeaderSize, stream, to, size); });
        if (!ok) archive_failure("the compressed or wrapped data is damaged");
        return out;
    }, "data"_a, "The bytes a whole Yaz0 file holds. ArchiveError when it is no Yaz0 file or is damaged.");

    pyb::module_ lz77m = m.def_submodule("lz77", "LZ77 coding (the codings 0x10 and 0x11).");
    lz77m.def("compress", [](pyb::handle data, int coding) {
        Pinned in(data);
        if (!lz77::coding_is_known(static_cast<std::uint8_t>(coding)) || coding < 0 || coding > 255)
            throw pyb::value_error("coding must be 0x10 or 0x11");
        if (in.size() > lz77::kMaxDecodedSize) archive_failure("larger than LZ77 can hold (16 MiB - 1)");
        Bytes out = without_gil([&] { return lz77::encode(in.data(), in.size(), static_cast<std::uint8_t>(coding)); });
        return to_bytes(out);
    }, "data"_a, "coding"_a = 0x10, "A whole LZ77 file for `data` in `coding`. The GIL is released meanwhile.");
    lz77m.def("decompress", [](pyb::handle data) {
        Pinned in(data);
        if (in.size() < lz77::kHeaderSize || !lz77::has_magic(in.data())) archive_failure("not LZ77 data");
        Bytes out;
        const bool ok = without_gil([&] { return lz77::decompress(in.data(), in.size(), out); });
        if (!ok) archive_failure("the compressed or wrapped data is damaged");
        return to_bytes(out);
    }, "data"_a, "The bytes a whole LZ77 file holds. ArchiveError when it is no LZ77 file or is damaged.");
}
