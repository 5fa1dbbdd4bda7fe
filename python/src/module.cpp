// dravik._dravik: the CPython extension over dravik's public library. The
// Python package (dravik/__init__.py) re-exports it; the docstrings here
// are what help() shows.
//
// Rules this file keeps:
//   - The GIL is released around everything that takes time (opening,
//     reading, coding, unpacking, packing), and no Python object is touched
//     while it is: inputs are pinned buffers, outputs are allocated first.
//   - Shared pointers to an open archive are only dropped with the GIL
//     held, since the last one may release a Python buffer.
//   - Every failure becomes a dravik.Error: ArchiveError (a ValueError)
//     for bytes that cannot be used, DiskError (an OSError) for the file
//     system; a pending Ctrl-C raises KeyboardInterrupt after removing what
//     was half written.
#include <pybind11/pybind11.h>
#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <optional>

#include "disk.h"
#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "dravik/codec.h"
#include "errors.h"
#include "extract.h"
#include "listing.h"
#include "pack.h"

namespace pyb = pybind11;
using namespace pybind11::literals;

namespace dravik::py {

// ---------------------------------------------------------------- errors

PyObject* g_error = nullptr;
PyObject* g_archive_error = nullptr;
PyObject* g_disk_error = nullptr;

pyb::str decoded(std::string_view bytes, const char* errors = "surrogateescape") {
    PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), errors);
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
    bool operator()() {
        if (!main_ || raised_) return raised_;
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

std::string open_reason(const OpenStatus& status) {
    switch (status.error) {
        case OpenError::none: break;
        case OpenError::cannot_open: return std::strerror(status.error_number);
        case OpenError::not_an_archive: return "not a U8 archive";
        case OpenError::bad_table: return "the archive's table lies outside the file";
        case OpenError::corrupt_table: return "the archive's table is damaged (nodes or names outside it)";
        case OpenError::corrupt_carrier: return "the compressed or wrapped archive is damaged";
        case OpenError::out_of_memory: return "not enough memory";
    }
    return "cannot be read";
}

std::shared_ptr<ArchiveHolder> open_archive(pyb::handle source) {
    auto h = std::make_shared<ArchiveHolder>();
    std::string shown;
    if (PyUnicode_Check(source.ptr()) || PyObject_HasAttrString(source.ptr(), "__fspath__")) {
        shown = fs_path(source);
        const std::string path = shown;
        without_gil([&] {
            Fd file = disk::open_file_path(path.c_str(), &h->file);
            if (!file.valid()) {
                const int e = errno;
                throw DiskFailure{path + ": " + std::strerror(e), e, path, {}};
            }
            // Open the very file just identified, so that the file unpacking
            // must never replace is the one read; /dev/fd is where the
            // system offers that, and the path serves where it does not.
            const std::string same = "/dev/fd/" + std::to_string(file.get());
            h->archive = archive_open(same.c_str(), &h->status);
            if (!h->archive && h->status.error == OpenError::cannot_open) {
                h->status = OpenStatus();
                h->archive = archive_open(path.c_str(), &h->status);
            }
            return 0;
        });
        if (!h->archive && h->status.error == OpenError::cannot_open)
            throw DiskFailure{shown + ": " + open_reason(h->status), h->status.error_number, shown, {}};
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
        archive_failure(shown + ": " + open_reason(h->status));
    }
    // As the program: an archive whose table holds no entry cannot be used.
    Entry first;
    if (archive_node_count(*h->archive) == 0) archive_failure(shown + ": empty archive");
    if (!archive_entry(*h->archive, 1, &first)) archive_failure(shown + ": no entries");
    return h;
}

// --------------------------------------------------------------- objects

struct StoredWords {
    StoredNode node;
};

struct EntryRef {
    std::shared_ptr<const Listing> listing;
    std::uint32_t slot = 0;
    const Slot& get() const { return listing->slots[slot]; }
};

struct EntryList {
    std::shared_ptr<const Listing> listing;
};

// Entries are made as the iteration reaches them.
struct EntryIter {
    std::shared_ptr<const Listing> listing;
    std::size_t next = 0;
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
        if (!listing_) {
            std::shared_ptr<ArchiveHolder> h = holder();
            listing_ = without_gil([&] { return make_listing(h); });
        }
        return listing_;
    }

    // The slot of an Entry of this archive or of a path in it.
    const Slot& resolve(pyb::handle what, std::string* shown) {
        std::shared_ptr<const Listing> l = listing();
        if (pyb::isinstance<EntryRef>(what)) {
            const EntryRef& ref = what.cast<const EntryRef&>();
            if (ref.listing->holder != l->holder) throw pyb::value_error("the entry belongs to another archive");
            *shown = l->path(ref.get());
            return ref.get();
        }
        *shown = archive_path(what);
        const std::int64_t slot = l->find(*shown);
        if (slot < 0) throw pyb::key_error(decoded(*shown).cast<std::string>());
        return l->slots[static_cast<std::size_t>(slot)];
    }

    pyb::bytes read(pyb::handle what) {
        std::string shown;
        const Slot& slot = resolve(what, &shown);
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

pyb::object entry_object(const std::shared_ptr<const Listing>& l, std::size_t slot) {
    return pyb::cast(EntryRef{l, static_cast<std::uint32_t>(slot)});
}

std::string entry_repr(const EntryRef& r) {
    const Slot& s = r.get();
    std::string path = pyb::repr(decoded(r.listing->path(s))).cast<std::string>();
    if (s.entry.is_directory) return "Entry(" + std::to_string(s.entry.index) + ", " + path + ", dir)";
    return "Entry(" + std::to_string(s.entry.index) + ", " + path + ", " + std::to_string(s.entry.data_size) + " bytes)";
}

std::string carrier_list(const OpenStatus& status) {
    std::string out;
    for (CarrierKind k : status.carriers) out += std::string(out.empty() ? "" : ", ") + carrier_name(k);
    return out;
}

pyb::object optional_word(bool applies, std::uint32_t value) {
    return applies ? pyb::object(pyb::int_(value)) : pyb::object(pyb::none());
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
    g_disk_error = PyErr_NewExceptionWithDoc(
        "dravik.DiskError",
        "The file system refused: errno, strerror and filename are set when the system said why; "
        "problems lists every line when packing found several.",
        disk_bases.ptr(), disk_dict.ptr());
    if (!g_error || !g_archive_error || !g_disk_error) throw pyb::error_already_set();
    m.attr("Error") = pyb::handle(g_error);
    m.attr("ArchiveError") = pyb::handle(g_archive_error);
    m.attr("DiskError") = pyb::handle(g_disk_error);
    pyb::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const ArchiveFailure& f) {
            PyErr_SetObject(g_archive_error, decoded(f.message, "backslashreplace").ptr());
        } catch (const DiskFailure& f) {
            raise_disk(f);
        }
    });

    pyb::class_<StoredWords>(m, "StoredWords",
                             "The four words a node stores, exactly as the table holds them.")
        .def_property_readonly("type", [](const StoredWords& w) { return w.node.type; },
                               "The type byte: 0 for a file, anything else a directory.")
        .def_property_readonly("name_offset", [](const StoredWords& w) { return w.node.name_offset; },
                               "Where the name starts in the names table (24 bits).")
        .def_property_readonly("offset", [](const StoredWords& w) { return w.node.offset; },
                               "The word at +4: a file's data offset, a directory's parent index.")
        .def_property_readonly("size", [](const StoredWords& w) { return w.node.size; },
                               "The word at +8: a file's data size, a directory's end index.")
        .def("__repr__", [](const StoredWords& w) {
            return "StoredWords(type=" + std::to_string(w.node.type) + ", name_offset=" +
                   std::to_string(w.node.name_offset) + ", offset=" + std::to_string(w.node.offset) +
                   ", size=" + std::to_string(w.node.size) + ")";
        })
        .def("__eq__", [](const StoredWords& a, const StoredWords& b) {
            return a.node.type == b.node.type && a.node.name_offset == b.node.name_offset &&
                   a.node.offset == b.node.offset && a.node.size == b.node.size;
        });

    pyb::class_<EntryRef>(m, "Entry", "One entry of an archive, in its own words and where unpacking puts it.")
        .def_property_readonly("index", [](const EntryRef& r) { return r.get().entry.index; },
                               "Its node index, from 1.")
        .def_property_readonly("name", [](const EntryRef& r) { return decoded(r.get().entry.name); },
                               "Its name as stored (bytes that are not UTF-8 as surrogate escapes, as os.fsdecode).")
        .def_property_readonly("raw_name", [](const EntryRef& r) { return pyb::bytes(r.get().entry.name); },
                               "Its name as stored, as bytes.")
        .def_property_readonly("path", [](const EntryRef& r) { return decoded(r.listing->path(r.get())); },
                               "Where unpacking puts it, relative to the destination: 'arc/anim/a.brlan'.")
        .def_property_readonly("raw_path", [](const EntryRef& r) { return pyb::bytes(r.listing->path(r.get())); },
                               "The path as bytes.")
        .def_property_readonly("is_dir", [](const EntryRef& r) { return r.get().entry.is_directory; })
        .def_property_readonly("is_file", [](const EntryRef& r) { return !r.get().entry.is_directory; })
        .def_property_readonly("placeable", [](const EntryRef& r) { return r.get().placeable; },
                               "False when its name cannot be created (empty, '.', '..', holding '/'): "
                               "unpacking leaves it out, and a directory's contents land a level up.")
        .def_property_readonly("size", [](const EntryRef& r) {
            const Entry& e = r.get().entry;
            return optional_word(!e.is_directory, e.data_size);
        }, "A file's data size in bytes; None for a directory.")
        .def_property_readonly("data_offset", [](const EntryRef& r) {
            const Entry& e = r.get().entry;
            return optional_word(!e.is_directory, e.data_offset);
        }, "Where a file's data starts in the U8 archive (inside every carrier); None for a directory.")
        .def_property_readonly("parent", [](const EntryRef& r) {
            const Entry& e = r.get().entry;
            return optional_word(e.is_directory, e.parent);
        }, "A directory's parent index as stored; None for a file.")
        .def_property_readonly("end", [](const EntryRef& r) {
            const Entry& e = r.get().entry;
            return optional_word(e.is_directory, e.end);
        }, "A directory's end index as stored (the first node after its contents); None for a file.")
        .def_property_readonly("stored", [](const EntryRef& r) { return StoredWords{r.get().entry.stored}; },
                               "The node's four words as stored.")
        .def("__repr__", &entry_repr);

    pyb::class_<EntryIter>(m, "_EntryIterator")
        .def("__iter__", [](pyb::object self) { return self; })
        .def("__next__", [](EntryIter& it) {
            if (it.next >= it.listing->slots.size()) throw pyb::stop_iteration();
            return entry_object(it.listing, it.next++);
        });

    pyb::class_<EntryList>(m, "Entries",
                           "An archive's entries in table order: iterate, len(), [i] by position, "
                           "[path] by path as unpacked (the first entry with that path).")
        .def("__len__", [](const EntryList& l) { return l.listing->slots.size(); })
        .def("__iter__", [](const EntryList& l) { return EntryIter{l.listing, 0}; })
        .def("__getitem__", [](const EntryList& l, pyb::handle key) -> pyb::object {
            if (PyLong_Check(key.ptr())) {
                Py_ssize_t i = key.cast<Py_ssize_t>();
                const auto n = static_cast<Py_ssize_t>(l.listing->slots.size());
                if (i < 0) i += n;
                if (i < 0 || i >= n) throw pyb::index_error("entry index out of range");
                return entry_object(l.listing, static_cast<std::size_t>(i));
            }
            const std::string path = archive_path(key);
            const std::int64_t slot = l.listing->find(path);
            if (slot < 0) throw pyb::key_error(pyb::repr(key).cast<std::string>());
            return entry_object(l.listing, static_cast<std::size_t>(slot));
        })
        .def("get", [](const EntryList& l, pyb::handle path, pyb::object fallback) -> pyb::object {
            const std::int64_t slot = l.listing->find(archive_path(path));
            return slot < 0 ? fallback : entry_object(l.listing, static_cast<std::size_t>(slot));
        }, "path"_a, "default"_a = pyb::none(), "The entry with this path, or `default`.")
        .def("__contains__", [](const EntryList& l, pyb::handle path) {
            return (PyUnicode_Check(path.ptr()) || PyBytes_Check(path.ptr())) && l.listing->find(archive_path(path)) >= 0;
        })
        .def("__repr__", [](const EntryList& l) {
            std::string out = "[";
            for (std::size_t i = 0; i < l.listing->slots.size(); ++i)
                out += (i ? ", " : "") + entry_repr(EntryRef{l.listing, static_cast<std::uint32_t>(i)});
            return out + "]";
        });

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

    pyb::class_<PyArchive>(m, "Archive",
                           "An open archive: bare, or inside any carriers (Yaz0, LZ77, IMD5, banners). "
                           "A context manager; any number of threads may read it at once.")
        .def_property_readonly("carriers", [](const PyArchive& a) {
            pyb::list out;
            for (CarrierKind k : a.holder()->status.carriers) out.append(carrier_name(k));
            return pyb::tuple(out);
        }, "The carriers peeled off, outermost first: 'yaz0', 'imet', 'imd5', 'lz77'.")
        .def_property_readonly("warnings", [](const PyArchive& a) {
            pyb::list out;
            const std::uint32_t n = a.holder()->status.notices;
            if (n & kNoticeImd5Mismatch) out.append("an IMD5 checksum does not match its contents");
            if (n & kNoticeImetMismatch) out.append("the banner header's checksum does not match");
            return pyb::tuple(out);
        }, "Checksums that did not match; the archive is used anyway.")
        .def_property_readonly("node_count", [](const PyArchive& a) { return archive_node_count(*a.holder()->archive); },
                               "The root's size word: the node count as stored, the root included.")
        .def_property_readonly("size", [](const PyArchive& a) { return archive_size(*a.holder()->archive); },
                               "The U8 archive's length in bytes, after every carrier was peeled.")
        .def_property_readonly("entries", [](PyArchive& a) { return EntryList{a.listing()}; },
                               "The entries, node 1 on, in table order (see Entries).")
        .def("__iter__", [](PyArchive& a) { return EntryIter{a.listing(), 0}; })
        .def("__len__", [](PyArchive& a) { return a.listing()->slots.size(); })
        .def("__contains__", [](PyArchive& a, pyb::handle path) {
            return pyb::cast(EntryList{a.listing()}).contains(path);
        })
        .def("read", &PyArchive::read, "entry"_a,
             "A file's data as bytes of its exact size. `entry` is an Entry of this archive or a path as "
             "unpacked (str or bytes). KeyError for no such path, ArchiveError for a directory or data past "
             "the archive's end. The GIL is released while reading.")
        .def("extract", &PyArchive::extract, "dest"_a, "include"_a = pyb::none(), "exclude"_a = pyb::none(),
             "Unpacks into folder `dest` (created with its parents) with every rule of the program: names only "
             "where unpacking places them, never outside `dest`, symbolic links never followed, the archive "
             "itself never overwritten, a second entry on a file written earlier refused, an existing file "
             "replaced only by a complete one, nothing partial left on a failure or Ctrl-C. `include` and "
             "`exclude` are glob patterns (a str or several) as the program's --include and --exclude. "
             "Entries that fail are listed in the result with the program's reason; DiskError when `dest` "
             "cannot be made. POSIX only. The GIL is released while unpacking.")
        .def("close", &PyArchive::close, "Lets go of the archive; entries handed out stay readable.")
        .def_property_readonly("closed", &PyArchive::closed)
        .def("__enter__", [](pyb::object self) { return self; })
        .def("__exit__", [](PyArchive& a, pyb::args) {
            a.close();
            return false;
        })
        .def("__repr__", [](const PyArchive& a) {
            if (a.closed()) return std::string("<dravik.Archive closed>");
            const auto h = a.holder();
            return "<dravik.Archive " + std::to_string(archive_node_count(*h->archive)) + " nodes" +
                   (h->status.carriers.empty() ? "" : " in " + carrier_list(h->status)) + ">";
        });

    m.def("open", [](pyb::handle source) { return PyArchive(open_archive(source)); }, "source"_a,
          "Opens an archive from a path (str or os.PathLike) or from bytes-like data. `bytes` are read in "
          "place for the archive's life; other buffers (bytearray, memoryview of one, mmap) are copied once. "
          "ArchiveError when it is no usable archive, DiskError when the file cannot be read.");

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

    pyb::module_ yaz0m = m.def_submodule("yaz0", "Yaz0 coding.");
    yaz0m.def("compress", [](pyb::handle data, const std::string& level, unsigned threads) {
        Pinned in(data);
        if (in.size() > 0xFFFFFFFFu) archive_failure("larger than Yaz0 can hold (4 GiB - 1)");
        yaz0::EncodeOptions options;
        options.level = parse_level(level);
        options.threads = threads;
        Bytes out = without_gil([&] { return yaz0::encode(in.data(), in.size(), options); });
        if (out.empty()) throw std::bad_alloc();
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
