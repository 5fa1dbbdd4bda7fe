"""dravik for Python: Wii U8 archives (.arc, .szs, banner parts), their
carriers (Yaz0, LZ77, IMD5, IMET) and codecs, over dravik's C++ library.

    import dravik
    with dravik.open("course.szs") as archive:
        for entry in archive.entries:
            print(entry.path, entry.size)
        data = archive.read("arc/course.kmp")
        result = archive.extract("out", exclude="*.tpl")
    dravik.pack("out", "new.szs", like="course.szs")
    dravik.update("course.szs", {"arc/course.kmp": kmp_bytes})
    print(dravik.diff("course.szs", "original.szs").changes)

Failures raise dravik.Error: dravik.ArchiveError (also a ValueError) for
bytes that cannot be used, dravik.DiskError (also an OSError) for the file
system, dravik.EditError (also a ValueError) for an edit that cannot be
done. The GIL is released while opening, reading, coding, unpacking,
packing, editing and comparing. Unpacking and packing touch the file system through POSIX calls
only (Linux, macOS, the BSDs).
"""

import warnings as _warnings
from itertools import chain, repeat
from typing import List, NamedTuple, Optional, Tuple

from . import _dravik
from ._dravik import (
    ArchiveError,
    DiskError,
    EditError,
    Entry,
    Error,
    ExtractResult,
    Failure,
    StoredWords,
    __version__,
    unwrap,
)
from . import lz77, yaz0

__all__ = [
    "Archive", "ArchiveError", "Change", "CheckResult", "DiffResult", "DiskError", "EditError", "Entries",
    "Entry", "Error", "ExtractResult", "Failure", "Finding", "PackResult", "StoredWords", "__version__",
    "check", "delete", "diff",
    "lz77", "open", "pack", "rename", "unwrap", "update", "yaz0",
]

_BATCH = 4096


class Entries:
    """An archive's entries, node 1 on, in table order. Iterate them, take
    len(), index by position (entries[0] is node 1) or by path as unpacked
    (entries["arc/a.brlyt"]: the first entry with that path, as unpacking
    keeps it; a str or bytes). Each is an Entry, a named tuple."""

    __slots__ = ("_listing",)

    def __init__(self, listing):
        self._listing = listing

    def __len__(self):
        return len(self._listing)

    def __iter__(self):
        # In batches made in C++, chained in C: fast, and never every entry
        # at once.
        listing = self._listing
        return chain.from_iterable(map(listing.batch, range(0, len(listing), _BATCH), repeat(_BATCH)))

    def __getitem__(self, key):
        if isinstance(key, slice):
            return [self._listing.entry(i) for i in range(*key.indices(len(self)))]
        if isinstance(key, int):
            n = len(self._listing)
            if not -n <= key < n:
                raise IndexError("entry index out of range")
            return self._listing.entry(key % n)
        at = self._listing.find(key)
        if at < 0:
            raise KeyError(key)
        return self._listing.entry(at)

    def get(self, path, default=None):
        """The entry with this path, or `default`."""
        at = self._listing.find(path)
        return default if at < 0 else self._listing.entry(at)

    def __contains__(self, path):
        return isinstance(path, (str, bytes)) and self._listing.find(path) >= 0

    def __repr__(self):
        return repr(list(self))


class Archive:
    """An open archive: bare, or inside any carriers (Yaz0, LZ77, IMD5,
    banners). A context manager; any number of threads may read it at once.
    Made by dravik.open()."""

    __slots__ = ("_impl", "_entries")

    def __init__(self, impl):
        self._impl = impl
        self._entries = None

    @property
    def carriers(self) -> Tuple[str, ...]:
        """The carriers peeled off, outermost first: 'yaz0', 'imet', 'imd5', 'lz77'."""
        return self._impl.carriers

    @property
    def warnings(self) -> Tuple[str, ...]:
        """Stored checksums that did not match; the archive is used anyway."""
        return self._impl.warnings

    @property
    def node_count(self) -> int:
        """The root's size word: the node count as stored, the root included."""
        return self._impl.node_count

    @property
    def size(self) -> int:
        """The U8 archive's length in bytes, after every carrier was peeled."""
        return self._impl.size

    @property
    def entries(self) -> Entries:
        """The entries in table order (see Entries); the table is walked on first use."""
        if self._entries is None:
            self._entries = Entries(self._impl.listing())
        return self._entries

    def __iter__(self):
        return iter(self.entries)

    def __len__(self):
        return len(self.entries)

    def __contains__(self, path):
        return path in self.entries

    def read(self, entry) -> bytes:
        """A file's data as bytes of its exact size, read straight into them.

        `entry` is an Entry of this archive or a path as unpacked (str or
        bytes). KeyError for no such path; ArchiveError for a directory or
        data past the archive's end. The GIL is released while reading."""
        listing = self.entries._listing
        if isinstance(entry, Entry):
            at = entry.index - 1
            if not 0 <= at < len(listing) or listing.path(at) != entry.path:
                raise ValueError("the entry belongs to another archive")
        else:
            at = listing.find(entry)
            if at < 0:
                raise KeyError(entry)
        return self._impl.read(at)

    def extract(self, dest, include=None, exclude=None) -> ExtractResult:
        """Unpacks into folder `dest` (created with its parents), as
        `dravik -C dest` does, with every rule of the program: names only
        where unpacking places them, never outside `dest`, symbolic links
        never followed, the archive itself never overwritten, a second entry
        on a file written earlier refused, an existing file replaced only by
        a complete one, nothing partial left on a failure or Ctrl-C.

        `include` and `exclude` are glob patterns (a str or several) as the
        program's --include and --exclude. Entries that fail are listed in the
        result's `failed`, each with the program's reason; DiskError when
        `dest` cannot be made. POSIX only. The GIL is released meanwhile."""
        return self._impl.extract(dest, include, exclude)

    def close(self):
        """Lets go of the archive (entries handed out stay as they are)."""
        self._impl.close()
        self._entries = None

    @property
    def closed(self) -> bool:
        return self._impl.closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        if self.closed:
            return "<dravik.Archive closed>"
        inside = " in " + ", ".join(self.carriers) if self.carriers else ""
        return "<dravik.Archive %d nodes%s>" % (self.node_count, inside)


def open(source) -> Archive:
    """Opens an archive from a path (str or os.PathLike) or from bytes-like data.

    `bytes` are read in place for the archive's life; other buffers
    (bytearray, a memoryview of one, mmap) are copied once, since the table
    is trusted once checked. ArchiveError when it is no usable archive,
    DiskError when the file cannot be read. The GIL is released meanwhile."""
    return Archive(_dravik._open(source))


class PackResult(NamedTuple):
    """What pack() wrote."""

    size: int
    """The archive's length on disk, carriers included."""
    carriers: Tuple[str, ...]
    """What the U8 archive was wrapped in, outermost first ('yaz0', ...)."""
    dropped: List[str]
    """With like=: the original's entries missing from the folder, as FOLDER/path."""


def pack(folder, archive, like=None, align=32, compress=None, level="best",
         force=False, exclude=None, threads=0) -> PackResult:
    """Packs the contents of `folder` into the file `archive`, as `dravik -c`.

    The root node has the empty name and the folder's entries are its
    children, so packing the folder extract() made (the one holding `arc/`)
    gives node 1 = `arc`.

    like:     an archive (bare or in carriers) to lay the new one out like:
              unpacking it and packing again unchanged gives its U8 archive
              back byte for byte; the output is wrapped as it was (Yaz0 at
              the best level). Its entries missing from the folder are
              dropped and listed in the result.
    align:    data alignment of the default layout, a power of two from 1
              to 65536 (not used with like).
    compress: None: Yaz0 when `archive` ends in .szs (or as `like` was);
              True: Yaz0; False: a bare archive.
    level:    Yaz0 effort, 'fast', 'default' or 'best' (the format's minimum).
    force:    replace an existing `archive`; without it that is a DiskError.
    exclude:  glob patterns (a str or several) of paths relative to
              `folder` to leave out.
    threads:  for Yaz0, 0 for one per CPU; the bytes never depend on it.

    Symbolic links, FIFOs, sockets, devices and unreadable files are
    refused (DiskError, its `problems` listing each); so are an empty folder
    and what the format cannot hold (ArchiveError). The archive is written
    under a hidden temporary name beside it, flushed and renamed into place
    when complete: on any failure or Ctrl-C nothing is left, and an old
    file of that name is kept. The GIL is released meanwhile.
    """
    result = _dravik.pack(folder, archive, like=like, align=align, compress=compress, level=level,
                          force=force, exclude=exclude, threads=threads)
    return PackResult(result["size"], result["carriers"], result["dropped"])


class Change(NamedTuple):
    """One entry an edit changes, or that differs between two archives, by
    its path as unpacked. str() gives the program's line ("M arc/a.bin",
    "R arc/old -> arc/new")."""

    kind: str
    """'A' added (only in the second archive), 'M' other bytes (or a file in
    one and a folder in the other), 'D' removed (only in the first), 'R'
    renamed or moved."""
    path: str
    """Where it is now (for 'D', where it was)."""
    old: Optional[str] = None
    """For 'R', where it was; else None."""

    def __str__(self):
        if self.kind == "R":
            return "R %s -> %s" % (self.old, self.path)
        return "%s %s" % (self.kind, self.path)


def _edited(archive, result) -> List[Change]:
    changes, notices = result
    for notice in notices:
        _warnings.warn("%s: %s" % (archive, notice), RuntimeWarning, stacklevel=3)
    return [Change(*c) for c in changes]


def _check_output(output, dry_run):
    if output is not None and dry_run:
        raise ValueError("conflicting arguments: dry_run writes nothing, output names a file to write")


def update(archive, files, output=None, level="best", force=False, dry_run=False) -> List[Change]:
    """Puts files into `archive` without unpacking it, as `dravik -u`.

    files:   {entry path: data} (or (path, data) pairs, taken in order).
             A path is as unpacking names it ('arc/timg/logo.tpl': the root's
             only folder is 'arc'). Data is bytes-like (bytes, bytearray,
             memoryview, mmap: read where it is, never copied but into the
             output), or a path on disk (str or os.PathLike) to a file, or to
             a folder that brings everything below it. A file replaces the
             file at its path when its bytes differ, or is added with the
             folders leading to it; nothing is deleted. A file given the
             bytes it has already changes nothing.
    output:  write the result to this file and leave `archive` alone; an
             existing file is refused (DiskError) unless `force`. By default
             `archive` itself is replaced: the result is written under a
             hidden temporary name beside it, flushed and renamed over it
             only when complete.
    level:   the Yaz0 effort when the archive is in Yaz0: 'fast', 'default'
             or 'best'. Every carrier is put back as it was, IMD5 and banner
             sums recomputed.
    dry_run: write nothing; only tell what would change.

    Returns the changes, sorted by path: Change('M', path) for new bytes,
    Change('A', path) for each entry added. Everything the edit does not
    touch keeps its bytes: node order, names, padding, data offsets while
    nothing before them moved.

    Raises EditError with the program's reason for what it refuses (a path
    that is no entry path, a file where the archive has a folder or the
    other way round, an update that would make other entries unpack
    elsewhere), DiskError for a path on disk that names nothing, is a
    symbolic link (never followed), is no regular file or cannot be read,
    ArchiveError for an archive that cannot be used or a result past the
    format's limits. On any error or Ctrl-C the archive is as it was and
    nothing is left beside it. The GIL is released meanwhile.
    """
    _check_output(output, dry_run)
    pairs = [(path, data) for path, data in (files.items() if hasattr(files, "items") else files)]
    if not pairs:
        raise ValueError("update needs at least one path")
    return _edited(archive, _dravik._update(archive, pairs, output, level, force, dry_run))


def delete(archive, patterns, output=None, level="best", force=False, dry_run=False) -> List[Change]:
    """Removes the entries that match `patterns` (a glob, or several) from
    `archive`, a folder with everything in it, as `dravik --delete`.

    Patterns follow the `include=` rule of extract(): one without '/'
    matches a name in any folder, one with '/' the whole path. A pattern
    that matches nothing is refused (EditError, one line per pattern in its
    `problems`) and nothing is written. Deleting every entry leaves an
    archive of the root alone, which update() can fill again.

    output, level, force, dry_run and what is kept are as for update().
    Returns Change('D', path) for each entry removed, sorted by path.
    """
    _check_output(output, dry_run)
    patterns = [patterns] if isinstance(patterns, (str, bytes)) else list(patterns)
    if not patterns:
        raise ValueError("delete needs at least one pattern")
    return _edited(archive, _dravik._delete(archive, patterns, output, level, force, dry_run))


def rename(archive, old, new, output=None, level="best", force=False, dry_run=False) -> List[Change]:
    """Renames entry `old` of `archive` to `new`, or moves it (a folder with
    its contents) when `new` is in another folder, as `dravik --rename`.

    `new`'s folder must exist and `new` may not; a folder cannot move into
    itself (EditError otherwise). A renamed entry keeps its place in its
    folder; a moved one goes at the end of its new folder's entries.

    output, level, force, dry_run and what is kept are as for update().
    Returns Change('R', new_path, old_path) for the entry and each one that
    moved along, sorted by path.
    """
    _check_output(output, dry_run)
    return _edited(archive, _dravik._rename(archive, old, new, output, level, force, dry_run))


class DiffResult(NamedTuple):
    """What diff() found."""

    changes: List[Change]
    """One per path that differs, folder by folder, each folder's entries by
    name; a folder on one side only comes with everything in it."""
    identical: bool
    """The U8 archives (after their carriers) are the same bytes."""

    @property
    def same_contents(self) -> bool:
        """Unpacking both gives the same files and folders."""
        return not self.changes


def diff(a, b) -> DiffResult:
    """Compares two archives by what unpacking them gives, as `dravik
    --diff A B`, whatever their carriers, node order, alignment and padding.

    `a` and `b` are paths, bytes-like data or open Archives. A change is
    Change('A', path) for a path only in `b`, Change('D', path) for one only
    in `a`, Change('M', path) for other bytes, or a file in one and a folder
    in the other. File data is compared in chunks, so memory stays bounded.
    ArchiveError or DiskError when either cannot be read. The GIL is
    released meanwhile.
    """
    a = a._impl if isinstance(a, Archive) else a
    b = b._impl if isinstance(b, Archive) else b
    changes, identical = _dravik._diff(a, b)
    return DiffResult([Change(*c) for c in changes], identical)


class Finding(NamedTuple):
    """One thing check() found."""

    problem: bool
    """A console or game would fail on it; else a warning."""
    path: str
    """The entry's path as `-r` names it (through NAME.d folders), or "" for
    the archive itself."""
    text: str
    """In the program's words."""

    def __str__(self) -> str:
        where = self.path + ": " if self.path else ""
        return where + ("" if self.problem else "warning: ") + self.text


class CheckResult(NamedTuple):
    """What check() found."""

    problems: int
    warnings: int
    findings: List[Finding]

    @property
    def ok(self) -> bool:
        """No problem (warnings allowed), as `dravik --check` exits 0."""
        return self.problems == 0


def check(source) -> CheckResult:
    """Checks an archive all the way down before it goes on a console, as
    `dravik --check`: every carrier decodes exactly, every IMET and IMD5
    size and checksum matches, every table is sound and every file's data
    lies inside its archive, in every archive inside too; warnings for what
    a console may read otherwise than a PC (names alike but for case, data
    shared between entries, ...). `source` is a path or bytes-like data
    (read in place). Nothing raises for a bad archive, or for a file that
    cannot be read: that is a problem found. The GIL is released meanwhile.
    """
    problems, warnings, findings = _dravik._check(source)
    return CheckResult(problems, warnings, [Finding(*f) for f in findings])

