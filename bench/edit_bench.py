#!/usr/bin/env python3
"""Measures editing one file of an archive (dravik -u) against copying the
archive (cp) and against packing the whole unpacked tree again (-c --like).

Each writes a new file and flushes it, as dravik does before its rename:
"cp ARCHIVE OUT && sync OUT". The tools run alternately on the same archive,
a bare one of 256 files of 2 MiB (512 MiB); the script prints medians and
ratios. Compare ratios from one run.

  (a) one file in the middle replaced by other bytes of the same size: the
      data after it keeps its place
  (b) the same file grown by 100 KiB: the data after it moves
  (c) peak memory of (a) bare, and editing one file of a 64 MiB archive in
      Yaz0 (--level fast), which opening decodes whole in memory

usage: bench/edit_bench.py [--dravik build/dravik] [--runs 5] [--work DIR] [--quick] [--only a|b|c]
"""
import os
import shutil
import subprocess

import extract_bench as common


def main():
    args, dravik, work, scale = common.start(common.options(__doc__), "dravik-edit-bench-")
    try:
        common.build_helpers(work)
        n, size = 256, (2 << 20) // scale
        tree = os.path.join(work, "tree")
        common.plain_tree(tree, [("", [("f%03d.bin" % i, size) for i in range(n)])])
        archive = os.path.join(work, "input.arc")
        subprocess.check_call([dravik, "-c", "-q", archive, tree])
        path = "arc/f%03d.bin" % (n // 2)
        for label, grow in (("a", 0), ("b", 100 << 10)):
            if args.only not in (None, label) and not (label == "a" and args.only == "c"):
                continue
            src = os.path.join(work, "src-" + label)
            edited = os.path.join(src, path)
            os.makedirs(os.path.dirname(edited))
            with open(edited, "wb") as f:
                f.write(b"edited!" * ((size + grow) // 7) + b"x" * ((size + grow) % 7))
            # The tree --like packs: the unpacked archive with that one file changed.
            shutil.copy(edited, os.path.join(tree, path))
            tools = {
                "dravik": lambda out: ([dravik, "-u", "-q", "-C", src, "-o", os.path.join(out, "x.arc"),
                                        archive, path], work),
                "cp": lambda out: (["sh", "-c", 'cp "$1" "$2" && sync "$2"', "sh", archive,
                                    os.path.join(out, "x.arc")], work),
                "-c --like": lambda out: ([dravik, "-c", "-q", "--like", archive, os.path.join(out, "x.arc"),
                                           tree], work),
            }
            if args.only in (None, label):
                times, rss = common.rotate(tools, args.runs, work, label + "-out")
                what = "same size" if grow == 0 else "grown by %d KiB" % (grow >> 10)
                common.report("(%s) one of %d files of %d MiB replaced, %s" % (label, n, size >> 20, what),
                              times, rss)
            if label == "a" and args.only in (None, "c"):
                # A Yaz0 archive is decoded whole in memory when opened: a
                # smaller one, 32 of the same files.
                small_tree = os.path.join(work, "tree-small")
                common.plain_tree(small_tree, [("", [("f%03d.bin" % i, size) for i in range(32)])])
                small = os.path.join(work, "small.szs")
                subprocess.check_call([dravik, "-c", "-q", "--level", "fast", small, small_tree])
                small_path = "arc/f016.bin"
                os.makedirs(os.path.join(src, "small", "arc"))
                shutil.copy(edited, os.path.join(src, "small", small_path))
                times, rss = common.rotate({
                    "dravik": tools["dravik"],
                    "yaz0": lambda out: ([dravik, "-u", "-q", "--level", "fast", "-C", os.path.join(src, "small"),
                                          "-o", os.path.join(out, "x.szs"), small, small_path], work),
                }, 1, work, "c-out")
                print("\n(c) editing one file: peak RSS %.1f MiB bare (%d MiB, %.2f s), "
                      "%.1f MiB in Yaz0 (%d MiB decoded, %.2f s)"
                      % (rss["dravik"][0] / 1024, n * size >> 20, times["dravik"][0],
                         rss["yaz0"][0] / 1024, 32 * size >> 20, times["yaz0"][0]))
            shutil.rmtree(src)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
