#!/usr/bin/env python3
"""Measures the Python module against the program and against pure Python.

  (a) dravik.yaz0.compress in this process against `dravik --compress` on
      the same input, in processor time (one thread each, so that both
      measure the same work), at each level: the ratio module / program.
  (b) opening a 100,000-entry archive and walking it (every entry's path
      and size) with the module, against a U8 reader written here in pure
      Python walking the same bytes: the ratio pure Python / module.
  (c) editing one file of a bare 256 MiB archive (128 files of 2 MiB):
      dravik.update(archive, {path: bytes}, output=...) against
      `dravik -u -C DIR -o OUT` with the same bytes on disk, wall time (both
      flush and rename), and the peak memory of a process doing the update
      beyond one that only holds the bytes.

Run it with the Python the module was built for, the module on PYTHONPATH:

  PYTHONPATH=build-python/python /usr/bin/python3 bench/python_bench.py [--dravik build/dravik] [--runs 3] [--work DIR]

It prints minima over the runs and ratios; it never fails.
"""
import argparse
import os
import random
import resource
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import dravik

ROOT = Path(__file__).resolve().parents[1]


def pure_python_walk(data):
    """A U8 reader as build scripts carry them: every entry's path and size."""
    magic, first, table_size, _ = struct.unpack_from(">IIII", data, 0)
    assert magic == 0x55AA382D
    count = struct.unpack_from(">I", data, first + 8)[0]
    names = first + count * 12
    out, ends, folders = [], [count], []
    for i in range(1, count):
        word, offset, size = struct.unpack_from(">III", data, first + i * 12)
        start = names + (word & 0xFFFFFF)
        name = data[start:data.index(b"\0", start)].decode("utf-8", "surrogateescape")
        while i >= ends[-1]:
            ends.pop(), folders.pop()
        path = "/".join(folders + [name])
        if word >> 24:
            ends.append(size), folders.append(name)
            size = None
        out.append((path, size))
    return out


def module_walk(data):
    with dravik.open(data) as archive:
        return [(e.path, e.size) for e in archive.entries]


def big_archive(n_dirs=1000, per_dir=99):
    """A U8 archive of n_dirs folders of per_dir small files under 'arc'."""
    nodes = [(1, b"", 0, 0), (1, b"arc", 0, 0)]
    for d in range(n_dirs):
        nodes.append((1, b"dir%04d" % d, 1, len(nodes) + 1 + per_dir))
        nodes += [(0, b"file%03d.bin" % f, 0, 16) for f in range(per_dir)]
    nodes[0] = (1, b"", 0, len(nodes))
    nodes[1] = (1, b"arc", 0, len(nodes))
    names, offsets = bytearray(), []
    for node in nodes:
        offsets.append(len(names))
        names += node[1] + b"\0"
    table_size = 12 * len(nodes) + len(names)
    data_start = (0x20 + table_size + 31) & ~31
    table = b"".join(struct.pack(">III", t << 24 | o, data_start if t == 0 else a, b)
                     for (t, _, a, b), o in zip(nodes, offsets))
    head = b"U\xaa8-" + struct.pack(">III", 0x20, table_size, data_start) + b"\0" * 16
    return (head + table + bytes(names)).ljust(data_start, b"\0") + b"\x5a" * 16


def inputs():
    rng = random.Random(1)
    words = [bytes(rng.choice(b"abcdefghijklmnop") for _ in range(rng.randint(2, 9))) for _ in range(300)]
    text = b" ".join(rng.choice(words) for _ in range(200_000))[:1 << 20]
    pixels = bytes((x * 7 + y * 3) & 0xF0 for y in range(512) for x in range(2048))
    yield "generated (text, pixels, padding, noise)", text + pixels + bytes(1 << 20) + os.urandom(1 << 20)
    ui = ROOT.parent / "shared" / "corpus" / "MelgMKW__Pulsar" / "PulsarPackCreator__Resources__UIAssets.szs"
    if ui.exists():
        yield "corpus UIAssets.szs, decoded", dravik.unwrap(ui.read_bytes())


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def compress_bench(program, runs, work):
    print("(a) Yaz0 compression, processor time of one thread: module / program")
    for label, data in inputs():
        src = Path(work, "in.bin")
        src.write_bytes(data)
        for level in ("fast", "default", "best"):
            mod, prog = [], []
            for _ in range(runs):
                start = time.process_time()
                made = dravik.yaz0.compress(data, level=level, threads=1)
                mod.append(time.process_time() - start)
                out = Path(work, "out.szs")
                out.unlink(missing_ok=True)
                start = child_cpu()
                subprocess.run([program, "--compress", "--level", level, "--threads", "1", str(src), str(out)],
                               check=True)
                prog.append(child_cpu() - start)
                assert out.read_bytes() == made, "the module and the program disagree"
            print("  %-42s %-8s module %7.3f s  program %7.3f s  ratio %.3f"
                  % (label, level, min(mod), min(prog), min(mod) / min(prog)))


def walk_bench(runs):
    data = big_archive()
    expected = pure_python_walk(data)
    assert module_walk(data) == expected
    print("(b) open and walk a %d-entry archive (%d bytes): path and size of each" % (len(expected), len(data)))
    timings = {}
    for name, walk in (("pure Python", pure_python_walk), ("module", module_walk)):
        best = min(timed(walk, data) for _ in range(runs))
        timings[name] = best
        print("  %-12s %7.3f s" % (name, best))
    print("  ratio pure Python / module: %.2f" % (timings["pure Python"] / timings["module"]))
    lookups = [p for p, _ in expected[::97]]
    with dravik.open(data) as archive:
        entries = archive.entries
        start = time.perf_counter()
        for p in lookups:
            entries[p]
        print("  lookup by path: %.2f us each" % ((time.perf_counter() - start) / len(lookups) * 1e6))


def edit_bench(program, runs, work):
    n, size = 128, 2 << 20
    tree = Path(work, "tree", "arc")
    tree.mkdir(parents=True)
    for i in range(n):
        (tree / ("f%03d.bin" % i)).write_bytes(bytes([i]) * size)
    archive = Path(work, "input.arc")
    subprocess.run([program, "-c", "-q", str(archive), str(tree.parent)], check=True)
    path = "arc/f%03d.bin" % (n // 2)
    data = b"edited!" * (size // 7) + b"x" * (size % 7)
    src = Path(work, "src", path)
    src.parent.mkdir(parents=True)
    src.write_bytes(data)
    out_m, out_p = Path(work, "m.arc"), Path(work, "p.arc")
    mod, prog = [], []
    for _ in range(runs):
        mod.append(timed(dravik.update, archive, {path: data}, out_m, "best", True))
        start = time.perf_counter()
        subprocess.run([program, "-u", "-q", "--force", "-C", str(src.parents[1]), "-o", str(out_p),
                        str(archive), path], check=True)
        prog.append(time.perf_counter() - start)
        assert out_m.read_bytes() == out_p.read_bytes(), "the module and the program disagree"
    print("(c) one of %d files of %d MiB replaced in a bare archive, given as bytes" % (n, size >> 20))
    print("  module %7.3f s  program %7.3f s  ratio %.2f" % (min(mod), min(prog), min(mod) / min(prog)))
    # Peak memory of a fresh process, with and without the update, as the
    # process itself sees it (VmHWM: a forked child's rusage would count
    # the pages it shared with this one before exec).
    make = "import dravik; data = b'e' * %d\n" % size
    edit = "dravik.update(%r, {%r: data}, output=%r, force=True)\n" % (str(archive), path, str(out_m))
    peak = "print([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0])\n"
    peaks = [int(subprocess.run([sys.executable, "-c", code + peak], check=True, capture_output=True,
                                text=True).stdout) / 1024 for code in (make, make + edit)]
    print("  peak memory of the update: %.1f MiB beyond the process holding the bytes (%.1f MiB)"
          % (peaks[1] - peaks[0], peaks[0]))


def timed(f, *args):
    start = time.perf_counter()
    f(*args)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dravik", default=str(ROOT / "build" / "dravik"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", default=None, help="where (c) writes its 768 MiB (default: the system's temporary folder)")
    args = parser.parse_args()
    print("dravik module %s from %s" % (dravik.__version__, os.path.dirname(dravik.__file__)))
    if os.access(args.dravik, os.X_OK):
        with tempfile.TemporaryDirectory(prefix="dravik-python-bench-") as work:
            compress_bench(args.dravik, args.runs, work)
    else:
        print("(a) skipped: no program at %s (--dravik PATH)" % args.dravik)
    walk_bench(args.runs)
    if os.access(args.dravik, os.X_OK):
        with tempfile.TemporaryDirectory(prefix="dravik-python-bench-", dir=args.work) as work:
            edit_bench(args.dravik, args.runs, work)
    else:
        print("(c) skipped: no program at %s (--dravik PATH)" % args.dravik)


if __name__ == "__main__":
    main()
