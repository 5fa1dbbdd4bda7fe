#!/usr/bin/env python3
"""Measures the reading modes that write no files: the text listing, the
JSON listing and -O, with their peak memory.

  (a) -t and -t --json on an archive of 100,000 entries, against -t on one
      of 1,000: peak memory beyond the loaded table, and the JSON listing's
      time as a ratio of the text listing's, medians of --runs runs
  (b) -O of a single 1 GiB entry into a pipe: throughput and peak memory

usage: bench/listing_bench.py [--dravik build/dravik] [--runs 9] [--work DIR]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile

import struct


def u8_archive(path, dirs):
    """Writes an archive: node 1 "arc", then each (folder, [(file, size)]),
    folder "" meaning arc itself; data follows the table, aligned to 32, as
    zeros the file system need not store."""
    nodes = [[1, 0, 0, 0], [1, 0, 0, 0]]  # type, name, word 1, word 2
    names = bytearray(b"\0arc\0")
    nodes[1][1] = 1
    files = []
    for folder, entries in dirs:
        if folder:
            nodes.append([1, len(names), 1, 0])
            names += folder.encode() + b"\0"
            opened = len(nodes) - 1
        for name, size in entries:
            nodes.append([0, len(names), 0, size])
            names += name.encode() + b"\0"
            files.append(len(nodes) - 1)
        if folder:
            nodes[opened][3] = len(nodes)
    nodes[0][3] = nodes[1][3] = len(nodes)
    table = 12 * len(nodes) + len(names)
    at = (0x20 + table + 31) // 32 * 32
    for i in files:
        nodes[i][2] = at
        at = (at + nodes[i][3] + 31) // 32 * 32
    with open(path, "wb") as f:
        f.write(b"U\xaa8-" + struct.pack(">III", 0x20, table, (0x20 + table + 31) // 32 * 32) + bytes(16))
        for kind, name, w1, w2 in nodes:
            f.write(struct.pack(">III", (kind << 24) | name, w1, w2))
        f.write(names)
        f.truncate(at)


MEASURE = None


def run(cmd):
    """Runs cmd with stdout drained through a pipe; returns (seconds, peak RSS in KiB).
    A small launcher measures, since a child forked from Python would be
    charged Python's memory."""
    r, w = os.pipe()
    proc = subprocess.Popen([MEASURE, str(w)] + cmd, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, pass_fds=(w,))
    os.close(w)
    while proc.stdout.read(1 << 20):
        pass
    if proc.wait() != 0:
        sys.exit("failed: %s" % " ".join(cmd))
    with os.fdopen(r) as f:
        seconds, rss = f.read().split()
    return float(seconds), int(rss)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dravik", default=os.path.join(os.path.dirname(__file__), "..", "build", "dravik"))
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--work", default=None)
    a = ap.parse_args()
    dravik = os.path.abspath(a.dravik)
    work = tempfile.mkdtemp(prefix="dravik-listing-", dir=a.work)
    global MEASURE
    MEASURE = os.path.join(work, "measure")
    subprocess.check_call(["cc", "-O2", "-o", MEASURE,
                           os.path.join(os.path.dirname(os.path.abspath(__file__)), "measure.c")])

    small = os.path.join(work, "small.arc")
    large = os.path.join(work, "large.arc")
    u8_archive(small, [("d%02d" % d, [("f%05d.bin" % f, 16) for f in range(20)]) for d in range(50)])
    u8_archive(large, [("d%03d" % d, [("f%05d.bin" % f, 16) for f in range(999)]) for d in range(100)])
    table = os.path.getsize(large) - 100 * 999 * 32  # roughly: the archive less its data

    text, js = [], []
    for _ in range(a.runs):  # alternate, so both see the same machine
        text.append(run([dravik, "-t", large]))
        js.append(run([dravik, "-t", "--json", large]))
    small_rss = max(run([dravik, "-t", small])[1] for _ in range(3))
    t_text = statistics.median(t for t, _ in text)
    t_json = statistics.median(t for t, _ in js)
    print("(a) 100,000 entries, medians of %d runs" % a.runs)
    print("    -t          %.3f s   peak %6d KiB" % (t_text, max(r for _, r in text)))
    print("    -t --json   %.3f s   peak %6d KiB   (%.2fx the text listing)"
          % (t_json, max(r for _, r in js), t_json / t_text))
    print("    -t on 1,000 entries: peak %d KiB; the larger table is about %d KiB"
          % (small_rss, table // 1024))

    big = os.path.join(work, "one.arc")
    u8_archive(big, [("", [("big.bin", 1 << 30)])])
    t, rss = min((run([dravik, "-O", big]) for _ in range(3)), key=lambda x: x[0])
    print("(b) -O of one 1 GiB entry into a pipe: %.3f s (%.0f MB/s), peak %d KiB"
          % (t, (1 << 30) / t / 1e6, rss))
    for name in os.listdir(work):
        os.unlink(os.path.join(work, name))
    os.rmdir(work)


if __name__ == "__main__":
    main()
