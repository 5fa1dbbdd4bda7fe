"""dravik for Python: Wii U8 archives (.arc, .szs, banner parts), their
carriers (Yaz0, LZ77, IMD5, IMET) and codecs, over dravik's C++ library.

    import dravik
    with dravik.open("course.szs") as archive:
        for entry in archive.entries:
            print(entry.path, entry.size)
        data = archive.read("arc/course.kmp")
        result = archive.extract("out", exclude="*.tpl")
    dravik.pack("out", "new.szs", like="course.szs")

Failures raise dravik.Error: dravik.ArchiveError (also a ValueError) for
bytes that cannot be used, dravik.DiskError (also an OSError) for the file
system. The GIL is released while opening, reading, coding, unpacking and
packing. Unpacking and packing touch the file system through POSIX calls
only (Linux, macOS, the BSDs).
"""

from typing import List, NamedTuple, Tuple

from . import _dravik
from ._dravik import (
    Archive,
    ArchiveError,
    DiskError,
    Entries,
    Entry,
    Error,
    ExtractResult,
    Failure,
    StoredWords,
    __version__,
    open,
    unwrap,
)
from . import lz77, yaz0

__all__ = [
    "Archive", "ArchiveError", "DiskError", "Entries", "Entry", "Error", "ExtractResult",
    "Failure", "PackResult", "StoredWords", "__version__", "lz77", "open", "pack", "unwrap", "yaz0",
]


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
