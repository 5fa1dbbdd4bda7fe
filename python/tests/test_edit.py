"""Editing archives (update, delete, rename) and comparing them (diff):
each result unpacks to the expected tree with every other entry's bytes as
they were, diff names exactly what changed, and what cannot be done raises
with the archive untouched."""

import hashlib
import os
import re
import shutil

import pytest

import dravik
from test_dravik import CORPUS, ROOT, corpus

SAMPLE = ROOT / "samples" / "sample.arc"


def sha(data):
    return hashlib.sha256(data).hexdigest()


def contents(archive):
    """What unpacking gives: path -> 'd' or the SHA-256 of the file."""
    try:
        a = dravik.open(archive)
    except dravik.ArchiveError as e:
        if str(e).endswith(": no entries"):  # the root alone, as deleting everything leaves it
            return {}
        raise
    with a:
        return {e.path: "d" if e.is_dir else sha(a.read(e)) for e in reversed(list(a)) if e.placeable}


def without(tree, path):
    return {p: h for p, h in tree.items() if p != path and not p.startswith(path + "/")}


def folder(path):
    return path.rpartition("/")[0]


@pytest.mark.parametrize("path, status, expected", corpus())
def test_corpus_edits_change_only_what_they_name(path, status, expected, tmp_path):
    first = min(p for p, h in expected.items() if h != "d")
    with dravik.open(path) as a:
        own = a.read(first)
    layer = dravik.unwrap(path.read_bytes())
    out = tmp_path / "out"
    # A file's own bytes change nothing: the same U8 archive back.
    assert dravik.update(path, {first: own}, output=out, level="fast") == []
    assert dravik.unwrap(out.read_bytes()) == layer
    assert dravik.diff(path, out) == ([], True)

    added = (folder(first) + "/" if "/" in first else "") + "added.bin"
    renamed = first + ".renamed"
    cases = [
        (dravik.update, ({first: b"other bytes", added: bytearray(b"new")},),
         {**expected, first: sha(b"other bytes"), added: sha(b"new")},
         [("A", added), ("M", first)], [("A", added), ("M", first)]),
        (dravik.delete, (re.sub(r"([*?\[\\])", r"\\\1", first),), without(expected, first),
         [("D", first)], [("D", first)]),
        (dravik.rename, (first, renamed), {**without(expected, first), renamed: expected[first]},
         [("R", renamed, first)], [("D", first), ("A", renamed)]),
    ]
    for edit, args, tree, changes, differences in cases:
        result = edit(path, *args, output=out, force=True, level="fast")
        assert sorted(result) == sorted(dravik.Change(*c) for c in changes)
        assert contents(out) == tree
        if tree:  # the root alone does not open for listing
            assert dravik.open(out).carriers == dravik.open(path).carriers and not dravik.open(out).warnings
        found = dravik.diff(path, out)
        assert sorted(found.changes) == sorted(dravik.Change(*c) for c in differences)
        assert not found.same_contents and not found.identical


def test_refusals_raise_and_leave_everything_as_it_was(tmp_path):
    archive = tmp_path / "a.arc"
    shutil.copy(SAMPLE, archive)
    original = archive.read_bytes()
    (tmp_path / "taken.arc").write_bytes(b"taken")
    (tmp_path / "junk.arc").write_bytes(b"x" * 64)
    (tmp_path / "link").symlink_to(SAMPLE)
    (tmp_path / "linked.arc").symlink_to(archive)
    (tmp_path / "mod" / "arc" / "x").mkdir(parents=True)
    os.mkfifo(tmp_path / "mod" / "arc" / "x" / "fifo")
    cases = [
        (lambda: dravik.rename(archive, "arc/none", "arc/z"), dravik.EditError, "arc/none: no such entry in "),
        (lambda: dravik.rename(archive, "arc/anim", "arc/timg"), dravik.EditError, "arc/timg: exists in "),
        (lambda: dravik.rename(archive, "arc/anim", "arc/anim/x/anim"), dravik.EditError,
         "arc/anim/x/anim: a folder cannot move into itself"),
        (lambda: dravik.rename(archive, "arc/anim", "nowhere/anim"), dravik.EditError,
         "nowhere: no such folder in "),
        (lambda: dravik.delete(archive, ["*.brlan", "*.none", "x/y"]), dravik.EditError,
         "no entry matches '*.none'\nno entry matches 'x/y'"),
        (lambda: dravik.update(archive, {"../x": b""}), dravik.EditError, "../x: not an entry path"),
        (lambda: dravik.update(archive, {"arc/a\0b": b""}), dravik.EditError, "not an entry path"),
        (lambda: dravik.update(archive, {"arc/anim": b"x"}), dravik.EditError,
         "arc/anim: is a folder in " + str(archive) + " and given as bytes; not replaced"),
        (lambda: dravik.update(archive, {"arc/timg/logo.tpl/x": b"x"}), dravik.EditError,
         "arc/timg/logo.tpl: is a file in " + str(archive) + ", not a folder"),
        (lambda: dravik.update(archive, {"new/x": b"x"}), dravik.EditError,
         "new: adding it would make arc unpack as sample"),
        (lambda: dravik.update(archive, {"arc/x": archive}), dravik.EditError,
         ": is the archive being written; not packed into itself"),
        (lambda: dravik.update(archive, {"arc/x": tmp_path / "missing"}), dravik.DiskError,
         "missing: names nothing on disk"),
        (lambda: dravik.update(archive, {"arc/x": tmp_path / "link"}), dravik.DiskError,
         "link: is a symbolic link, not followed; not packed"),
        (lambda: dravik.update(archive, {"arc": tmp_path / "mod" / "arc"}), dravik.DiskError,
         "arc/x/fifo: is a FIFO, not packed"),
        (lambda: dravik.update(archive, {"arc/x": b"x"}, output=tmp_path / "taken.arc"), dravik.DiskError,
         "taken.arc: exists; force=True replaces it"),
        (lambda: dravik.update(tmp_path / "linked.arc", {"arc/x": b"x"}), dravik.DiskError,
         "linked.arc: not a plain file that can be replaced (a symbolic link?)"),
        (lambda: dravik.update(tmp_path / "junk.arc", {"arc/x": b"x"}), dravik.ArchiveError,
         "junk.arc: not a U8 archive"),
        (lambda: dravik.update(archive, {"arc/x": 3}), TypeError, "bytes-like data or a path"),
        (lambda: dravik.update(archive, {}), ValueError, "at least one path"),
        (lambda: dravik.delete(archive, "*", output=tmp_path / "o", dry_run=True), ValueError, "conflicting"),
    ]
    before = sorted(os.listdir(tmp_path))
    for call, error, message in cases:
        with pytest.raises(error) as raised:
            call()
        assert message in str(raised.value)
        assert archive.read_bytes() == original and (tmp_path / "taken.arc").read_bytes() == b"taken"
        assert sorted(os.listdir(tmp_path)) == before  # nothing half written left


def test_in_place_dry_run_carriers_folders_and_the_empty_archive(tmp_path):
    packed = dravik.yaz0.compress(SAMPLE.read_bytes(), "fast")
    archive = tmp_path / "a.szs"
    archive.write_bytes(packed)
    (tmp_path / "mod" / "deep").mkdir(parents=True)
    (tmp_path / "mod" / "deep" / "y.bin").write_bytes(b"y")
    (tmp_path / "mod" / "x.bin").write_bytes(b"x")
    logo = (tmp_path / "logo.tpl")
    logo.write_bytes(b"new logo")
    changes = [("A", "arc/mod"), ("A", "arc/mod/deep"), ("A", "arc/mod/deep/y.bin"), ("A", "arc/mod/x.bin"),
               ("M", "arc/timg/logo.tpl")]
    files = {"arc/timg/logo.tpl": logo, "./arc/mod/": tmp_path / "mod"}
    assert [tuple(c[:2]) for c in dravik.update(archive, files, dry_run=True)] == changes
    assert archive.read_bytes() == packed
    assert [tuple(c[:2]) for c in dravik.update(archive, files, level="fast")] == changes
    assert dravik.open(archive).carriers == ("yaz0",)
    assert contents(archive) == {**contents(SAMPLE), "arc/timg/logo.tpl": sha(b"new logo"), "arc/mod": "d",
                                 "arc/mod/deep": "d", "arc/mod/deep/y.bin": sha(b"y"), "arc/mod/x.bin": sha(b"x")}
    assert str(dravik.rename(archive, "arc/mod", "arc/anim/mod", dry_run=True)[0]) == "R arc/mod -> arc/anim/mod"
    assert [str(c) for c in dravik.diff(SAMPLE, archive).changes] == [
        "A arc/mod", "A arc/mod/deep", "A arc/mod/deep/y.bin", "A arc/mod/x.bin", "M arc/timg/logo.tpl"]

    # Deleting everything leaves the root alone: still an archive, which
    # update fills again and diff compares.
    empty = tmp_path / "empty.szs"
    assert len(dravik.delete(archive, "*", output=empty)) == len(contents(archive))
    assert dravik.diff(empty, empty) == ([], True)
    assert [c.kind for c in dravik.diff(empty, SAMPLE).changes] == ["A"] * len(contents(SAMPLE))
    assert dravik.update(empty, [("arc/x.bin", memoryview(b"x"))]) == [("A", "arc", None), ("A", "arc/x.bin", None)]
    assert contents(empty) == {"arc": "d", "arc/x.bin": sha(b"x")}

    # A banner: IMET and the IMD5 parts inside it put back with their sums
    # recomputed, so the result opens without warnings; diff looks through
    # carriers, order and padding.
    banner = CORPUS / "mkw-sp__mkw-sp" / "opening.bnr"
    if not banner.exists():
        pytest.skip("no corpus banner")
    copy = tmp_path / "opening.bnr"
    assert dravik.update(banner, {"arc/banner.bin": b"replaced"}, output=copy) == [("M", "arc/banner.bin", None)]
    assert dravik.open(copy).carriers == dravik.open(banner).carriers and not dravik.open(copy).warnings
    assert dravik.diff(dravik.open(banner), dravik.unwrap(copy.read_bytes())).changes == [("M", "arc/banner.bin", None)]
