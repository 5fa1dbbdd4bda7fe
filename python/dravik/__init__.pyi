import os
from typing import Iterable, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union, overload

from . import lz77 as lz77, yaz0 as yaz0

__version__: str

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Bytes = Union[bytes, bytearray, memoryview]
_Patterns = Union[str, bytes, Iterable[Union[str, bytes]], None]

class Error(Exception): ...
class ArchiveError(Error, ValueError): ...

class DiskError(Error, OSError):
    problems: List[str]

class EditError(Error, ValueError):
    problems: List[str]

class StoredWords(NamedTuple):
    type: int
    name_offset: int
    offset: int
    size: int

class Entry(NamedTuple):
    index: int
    name: str
    path: str
    is_dir: bool
    size: Optional[int]
    data_offset: Optional[int]
    parent: Optional[int]
    end: Optional[int]
    placeable: bool
    stored: StoredWords

class Entries:
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Entry]: ...
    @overload
    def __getitem__(self, key: int) -> Entry: ...
    @overload
    def __getitem__(self, key: slice) -> List[Entry]: ...
    @overload
    def __getitem__(self, key: Union[str, bytes]) -> Entry: ...
    def get(self, path: Union[str, bytes], default: Optional[Entry] = None) -> Optional[Entry]: ...
    def __contains__(self, path: object) -> bool: ...

class Failure:
    @property
    def index(self) -> int: ...
    @property
    def is_dir(self) -> bool: ...
    @property
    def name(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def reason(self) -> str: ...
    @property
    def errno(self) -> Optional[int]: ...

class ExtractResult:
    @property
    def unpacked(self) -> int: ...
    @property
    def failed(self) -> List[Failure]: ...
    @property
    def unmatched(self) -> List[str]: ...
    @property
    def ok(self) -> bool: ...

class Archive:
    @property
    def carriers(self) -> Tuple[str, ...]: ...
    @property
    def warnings(self) -> Tuple[str, ...]: ...
    @property
    def node_count(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def entries(self) -> Entries: ...
    @property
    def closed(self) -> bool: ...
    def __iter__(self) -> Iterator[Entry]: ...
    def __len__(self) -> int: ...
    def __contains__(self, path: object) -> bool: ...
    def read(self, entry: Union[Entry, str, bytes]) -> bytes: ...
    def extract(self, dest: _Path, include: _Patterns = None, exclude: _Patterns = None) -> ExtractResult: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Archive": ...
    def __exit__(self, *args: object) -> bool: ...

class PackResult(NamedTuple):
    size: int
    carriers: Tuple[str, ...]
    dropped: List[str]

def open(source: Union[_Path, _Bytes]) -> Archive: ...
def unwrap(data: _Bytes) -> bytes: ...
def pack(folder: _Path, archive: _Path, like: Optional[_Path] = None, align: int = 32,
         compress: Optional[bool] = None, level: str = "best", force: bool = False,
         exclude: _Patterns = None, threads: int = 0) -> PackResult: ...

_EntryPath = Union[str, bytes]
# Bytes-like data, or a file or folder on disk.
_Put = Union[_Bytes, str, "os.PathLike[str]", "os.PathLike[bytes]"]

class Change(NamedTuple):
    kind: str
    path: str
    old: Optional[str] = None

class DiffResult(NamedTuple):
    changes: List[Change]
    identical: bool
    @property
    def same_contents(self) -> bool: ...

def update(archive: _Path, files: Union[Mapping[_EntryPath, _Put], Iterable[Tuple[_EntryPath, _Put]]],
           output: Optional[_Path] = None, level: str = "best", force: bool = False,
           dry_run: bool = False) -> List[Change]: ...
def delete(archive: _Path, patterns: Union[_EntryPath, Iterable[_EntryPath]], output: Optional[_Path] = None,
           level: str = "best", force: bool = False, dry_run: bool = False) -> List[Change]: ...
def rename(archive: _Path, old: _EntryPath, new: _EntryPath, output: Optional[_Path] = None,
           level: str = "best", force: bool = False, dry_run: bool = False) -> List[Change]: ...
def diff(a: Union[_Path, _Bytes, Archive], b: Union[_Path, _Bytes, Archive]) -> DiffResult: ...

class Finding(NamedTuple):
    problem: bool
    path: str
    text: str

class CheckResult(NamedTuple):
    problems: int
    warnings: int
    findings: List[Finding]
    @property
    def ok(self) -> bool: ...

def check(source: Union[_Path, _Bytes]) -> CheckResult: ...
