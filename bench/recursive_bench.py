#!/usr/bin/env python3
"""Measures -r against a plain unpack of the same archive, and --check and
-c -r --like against them: wall time and peak memory, medians of --runs
runs taken in turn, printed as ratios to the plain unpack of the same run
(a measurement, not a test).

  (a) the largest archive of the shared corpus (by file size)
  (b) the corpus banner, opening.bnr, whose two parts are archives; beside
      it, what a user ran before -r: a plain unpack, then one of each part
      into its .d folder (three runs through one sh)

usage: bench/recursive_bench.py [--dravik build/dravik] [--runs 9] [--work DIR]
       [--corpus ../shared/corpus]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def measure(launcher, cmd, cwd):
    r, w = os.pipe()
    proc = subprocess.Popen([launcher, str(w)] + cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, pass_fds=(w,))
    os.close(w)
    if proc.wait() != 0:
        sys.exit("failed: %s" % " ".join(cmd))
    with os.fdopen(r) as f:
        seconds, rss = f.read().split()
    return float(seconds), int(rss)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dravik", default=os.path.join(HERE, "..", "build", "dravik"))
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--work", default=None)
    ap.add_argument("--corpus", default=os.path.join(HERE, "..", "..", "shared", "corpus"))
    a = ap.parse_args()
    dravik = os.path.abspath(a.dravik)
    corpus = os.path.abspath(a.corpus)
    files = [os.path.join(d, f) for d, _, fs in os.walk(corpus) for f in fs
             if os.path.basename(d) != "expected" and not f.endswith((".md", ".tsv"))]
    if not files:
        sys.exit("no corpus at %s" % corpus)
    largest = max(files, key=os.path.getsize)
    banner = os.path.join(corpus, "mkw-sp__mkw-sp", "opening.bnr")

    work = tempfile.mkdtemp(prefix="dravik-recursive-", dir=a.work)
    launcher = os.path.join(work, "measure")
    subprocess.check_call(["cc", "-O2", "-o", launcher, os.path.join(HERE, "measure.c")])
    try:
        for label, archive in (("(a) " + os.path.basename(largest), largest),
                               ("(b) opening.bnr", banner)):
            if not os.path.exists(archive):
                continue
            unpacked = os.path.join(work, "tree")
            subprocess.check_call([dravik, "-r", "-q", "-C", unpacked, archive])
            modes = {
                "plain unpack": [dravik, "-q", "-C", "out", archive],
                "-r unpack": [dravik, "-r", "-q", "-C", "out", archive],
                "-t -r": [dravik, "-t", "-r", "-q", archive],
                "--check": [dravik, "--check", "-q", archive],
                "-c -r --like": [dravik, "-c", "-r", "-q", "--force", "--like", archive,
                                 os.path.join(work, "packed"), unpacked],
            }
            if archive == banner:
                parts = " && ".join("'%s' -q -C out/arc/%s.d out/arc/%s" % (dravik, p, p)
                                    for p in ("banner.bin", "icon.bin"))
                modes["plain, then parts"] = ["sh", "-c", "'%s' -q -C out '%s' && %s" % (dravik, archive, parts)]
            times = {m: [] for m in modes}
            peaks = {m: [] for m in modes}
            for _ in range(a.runs):
                for mode, cmd in modes.items():
                    out = os.path.join(work, "out")
                    shutil.rmtree(out, ignore_errors=True)
                    seconds, rss = measure(launcher, cmd, work)
                    times[mode].append(seconds)
                    peaks[mode].append(rss)
            base = statistics.median(times["plain unpack"])
            print("%s, %d bytes, medians of %d runs" % (label, os.path.getsize(archive), a.runs))
            for mode in modes:
                t = statistics.median(times[mode])
                print("  %-18s %8.4f s  %5.2fx plain  peak %6.1f MiB" %
                      (mode, t, t / base, max(peaks[mode]) / 1024.0))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
