#!/usr/bin/env python3
"""Times dravik on archives that nest pathologically (a measurement, not a test).

  (a) 320,000 nested directories that cannot be entered (empty names)
  (b) depth 40,000 with a file at each level on the way back
  (c) depth 20,000 with a file at each level on the way back, under ulimit -n 64
  (d) packing a folder 10,000 levels deep with one file at the bottom (-c and -c --like)
  (e) packing a folder of 100,000 files of 100 bytes

Each case must take time linear in the number of entries; the goals are under
1 s, 2 s and 5 s. Prints the median wall time of each case (and the CPU
time, user and system, which a busy machine inflates less) and, for (b) and
(c), of a reference run that only creates the same directories (one file at
the bottom): their ratio is what returning through the levels costs on top
of creating them, whatever the file system. With --compare, the same for
another build. Packing, (d) and (e), is timed beside `tar -cf` on the same
tree in the same run (its goals: (d) within 3x tar, (e) within 1x).
--work chooses the file system (e.g. /dev/shm).

usage: bench/nesting_bench.py [--dravik build/dravik] [--runs 3] [--compare OTHER_DRAVIK]
"""
import argparse
import os
import resource
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


class Builder:
    """Nodes in table order; dir() opens a directory that end() closes."""

    def __init__(self):
        self.nodes = [[1, b"", 0, 0]]  # root; its end is filled in by build()
        self.open = []
        self.files = []  # (node index, data)

    def dir(self, name):
        parent = self.open[-1] if self.open else 0
        self.nodes.append([1, name, parent, 0])
        self.open.append(len(self.nodes) - 1)

    def file(self, name, data):
        self.nodes.append([0, name, 0, len(data)])
        self.files.append((len(self.nodes) - 1, data))

    def end(self):
        self.nodes[self.open.pop()][3] = len(self.nodes)

    def build(self, path):
        while self.open:
            self.end()
        self.nodes[0][3] = len(self.nodes)
        strings = bytearray(b"\0")
        offsets = {}
        for node in self.nodes[1:]:
            if node[1] not in offsets:
                offsets[node[1]] = len(strings)
                strings += node[1] + b"\0"
        table_size = 12 * len(self.nodes) + len(strings)
        pos = 0x20 + table_size
        data = bytearray()
        for index, content in self.files:
            self.nodes[index][2] = pos + len(data)
            data += content
        with open(path, "wb") as f:
            f.write(b"U\xaa8-" + struct.pack(">III", 0x20, table_size, pos) + bytes(16))
            table = bytearray()
            for kind, name, w1, w2 in self.nodes:
                name_offset = offsets.get(name, 0) if name else 0
                table += struct.pack(">III", (kind << 24) | name_offset, w1, w2)
            f.write(table + strings + data)


def unenterable(path, levels):
    b = Builder()
    b.dir(b"arc")
    for _ in range(levels):
        b.dir(b"")
    b.build(path)


def chain(depth):
    """"arc" at node 1, then depth - 1 directories "d", each inside the last."""
    b = Builder()
    b.dir(b"arc")
    for _ in range(depth - 1):
        b.dir(b"d")
    return b


def deep_with_files(path, depth):
    b = chain(depth)
    for level in range(depth):
        b.file(b"f", b"%d" % (depth - 1 - level))
        b.end()
    b.build(path)


def descent_only(path, depth):
    """The reference for (b) and (c): the same directories, one file at the bottom."""
    b = chain(depth)
    b.file(b"f", b"0")
    b.build(path)


def run_once(dravik, archive, work, open_files):
    if os.path.exists(work):
        # Too deep for rmtree's paths: let the system's rm take it.
        subprocess.run(["rm", "-rf", work], check=True)
    os.mkdir(work)

    def limit():
        if open_files:
            resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, open_files))

    start = time.perf_counter()
    p = subprocess.Popen([dravik, archive], cwd=work, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, preexec_fn=limit)
    _, status, usage = os.wait4(p.pid, 0)
    elapsed = time.perf_counter() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_utime + usage.ru_stime, p.returncode


def timed(command, cwd, open_files=None):
    def limit():
        if open_files:
            resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, open_files))

    start = time.perf_counter()
    p = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         preexec_fn=limit)
    _, status, usage = os.wait4(p.pid, 0)
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime, os.waitstatus_to_exitcode(status)


def wide_folder(path, count):
    os.mkdir(path)
    for i in range(count):
        with open(os.path.join(path, "f%06d" % i), "wb") as f:
            f.write(b"x" * 100)


def pack_cases(tools, top, runs):
    """(d) and (e): dravik -c beside tar -cf on the same tree, alternating."""
    deep_archive = os.path.join(top, "deep.arc")
    descent_only(deep_archive, 10000)
    deep = os.path.join(top, "deep")
    os.mkdir(deep)
    timed([tools[0][1], "-q", deep_archive], deep)
    wide = os.path.join(top, "wide")
    wide_folder(wide, 100000)
    out = os.path.join(top, "out.arc")
    cases = [
        ("(d) pack depth 10,000, one file at the bottom", deep, [], 3.0),
        ("    the same with --like", deep, ["--like", deep_archive], 3.0),
        ("(e) pack 100,000 files of 100 bytes in one folder", wide, [], 1.0),
    ]
    for title, tree, extra, goal in cases:
        line = "%s (goal: within %.0fx tar -cf):" % (title, goal)
        tar_times = []
        results = {name: [] for name, _ in tools}
        for _ in range(runs):
            for name, dravik in tools:
                results[name].append(timed([dravik, "-c", "-q", "--force"] + extra + [out, "."], tree))
            tar_times.append(timed(["tar", "-cf", os.path.join(top, "out.tar"), "."], tree))
        tar = statistics.median(t for t, _, _ in tar_times)
        for name, _ in tools:
            m = statistics.median(t for t, _, _ in results[name])
            line += " %s %.3f s (cpu %.3f s, exit %d, %.2fx tar)" % (
                name, m, statistics.median(c for _, c, _ in results[name]), results[name][-1][2], m / tar)
        line += " tar -cf %.3f s" % tar
        print(line, flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dravik", default=os.path.join(HERE, "..", "build", "dravik"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--compare")
    ap.add_argument("--work")
    ap.add_argument("--only-pack", action="store_true", help="only the packing cases, (d) and (e)")
    args = ap.parse_args()
    tools = [("dravik", os.path.abspath(args.dravik))]
    if args.compare:
        tools.append(("other", os.path.abspath(args.compare)))

    top = tempfile.mkdtemp(prefix="dravik-nesting-", dir=args.work)
    try:
        cases = [
            ("(a) 320,000 unenterable nested levels", unenterable, 320000, None, 1.0),
            ("(b) depth 40,000, a file at each level on the way back", deep_with_files, 40000,
             None, 2.0),
            ("    reference: depth 40,000, one file", descent_only, 40000, None, 0),
            ("(c) depth 20,000 as (b), ulimit -n 64", deep_with_files, 20000, 64, 5.0),
            ("    reference: depth 20,000, one file, ulimit -n 64", descent_only, 20000, 64, 0),
        ]
        if args.only_pack:
            cases = []
        for title, make, n, open_files, goal in cases:
            archive = os.path.join(top, "case.arc")
            make(archive, n)
            size = os.path.getsize(archive)
            line = "%s (%.1f MB archive%s):" % (title, size / 1e6,
                                                ", goal < %.0f s" % goal if goal else "")
            medians = []
            for name, dravik in tools:
                times = []
                cpu = []
                for _ in range(args.runs):
                    t, c, status = run_once(dravik, archive, os.path.join(top, "work"),
                                            open_files)
                    times.append(t)
                    cpu.append(c)
                m = statistics.median(times)
                medians.append(m)
                line += " %s %.3f s (cpu %.3f s, exit %d)" % (name, m, statistics.median(cpu),
                                                             status)
            if len(medians) == 2:
                line += ", ratio %.2fx" % (medians[0] / medians[1])
            print(line, flush=True)
        pack_cases(tools, top, args.runs)
    finally:
        subprocess.run(["rm", "-rf", top])


if __name__ == "__main__":
    sys.exit(main())
