#!/usr/bin/env python3
"""Measures dravik's packing against tar -cf and cp, each flushing its output.

dravik writes its archive under a temporary name, flushes it to the disk and
renames it; so the baselines flush too: "tar -cf OUT ... && sync OUT" and
"cp FILES DIR && sync FILES". Every tool runs alternately on the same tree;
the script prints medians and ratios. Compare ratios from one run.

  (a) many small files: 20,000 files of 4 KiB in 50 directories, against tar -cf
  (b) a few large files: 8 files of 64 MiB, against cp
  (c) peak memory packing (b) bare and with Yaz0 (--yaz0 --level fast)

usage: bench/pack_bench.py [--dravik build/dravik] [--runs 5] [--work DIR] [--quick] [--only a|b|c]
"""
import os
import shutil

import extract_bench as common


def run(label, work, tools, runs):
    """Each tool's command, run in `work`, into fresh output folders."""
    return common.rotate({name: (lambda out, f=f: (f(out), work)) for name, f in tools.items()},
                         runs, work, label + "-out")


def main():
    args, dravik, work, scale = common.start(common.options(__doc__), "dravik-pack-bench-")
    try:
        common.build_helpers(work)
        if args.only in (None, "a"):
            ndirs, per_dir = 50, 400 // scale
            tree = os.path.join(work, "tree-a")
            common.plain_tree(tree, [("d%03d" % d, [("f%05d.bin" % f, 4096) for f in range(per_dir)])
                                     for d in range(ndirs)])
            times, rss = run("a", work, {
                "dravik": lambda out: [dravik, "-c", "-q", os.path.join(out, "x.arc"), tree],
                "tar -cf": lambda out: ["sh", "-c", 'tar -cf "$1" -C "$2" arc && sync "$1"', "sh",
                                        os.path.join(out, "x.tar"), tree],
            }, args.runs)
            common.report("(a) %d files of 4 KiB in %d directories" % (ndirs * per_dir, ndirs), times, rss)
            shutil.rmtree(tree)
        if args.only in (None, "b", "c"):
            n, size = 8, (64 << 20) // scale
            tree = os.path.join(work, "tree-b")
            common.plain_tree(tree, [("", [("big%d.bin" % i, size) for i in range(n)])])
            src = os.path.join(tree, "arc")
            files = sorted(os.path.join(src, f) for f in os.listdir(src))
            if args.only in (None, "b"):
                times, rss = run("b", work, {
                    "dravik": lambda out: [dravik, "-c", "-q", os.path.join(out, "x.arc"), tree],
                    "cp": lambda out: ["sh", "-c", 'd="$1"; shift; cp "$@" "$d" && cd "$d" && sync *',
                                       "sh", out] + files,
                }, args.runs)
                common.report("(b) %d files of %d MiB" % (n, size >> 20), times, rss)
            if args.only in (None, "c"):
                times, rss = run("c", work, {
                    "dravik": lambda out: [dravik, "-c", "-q", os.path.join(out, "x.arc"), tree],
                    "yaz0": lambda out: [dravik, "-c", "-q", "--yaz0", "--level", "fast",
                                         os.path.join(out, "x.szs"), tree],
                }, 1)
                print("\n(c) packing %d MiB: peak RSS %.1f MiB bare (%.2f s), %.1f MiB with Yaz0 (%.2f s)"
                      % (n * size >> 20, rss["dravik"][0] / 1024, times["dravik"][0],
                         rss["yaz0"][0] / 1024, times["yaz0"][0]))
            shutil.rmtree(tree)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
