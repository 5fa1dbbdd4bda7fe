#!/usr/bin/env python3
"""Measures dravik's unpacking against tar -xf, cp -r and a syscall floor.

It generates its own archives, tarballs and trees (nothing large is kept in
the repository), runs every tool alternately on the same content, and prints
medians and ratios. Absolute times depend on the machine; compare ratios from
one run.

  (a) many small files: 20,000 files of 4 KiB in 50 directories
  (b) a few large files: 8 files of 64 MiB
  (c) peak memory on (b) and on a single 1 GiB file

usage: bench/extract_bench.py [--dravik build/dravik] [--runs 5] [--work DIR] [--quick]
                              [--only a|b|c] [--compare OTHER_DRAVIK]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def write_content(f, di, fi, size):
    block = (b"%04d-%06d|" % (di, fi)) * 1024
    left = size
    while left > 0:
        chunk = block[: min(left, len(block))]
        f.write(chunk)
        left -= len(chunk)


def plain_tree(root, dirs):
    for di, (dname, files) in enumerate(dirs):
        d = os.path.join(root, "arc", dname) if dname else os.path.join(root, "arc")
        os.makedirs(d, exist_ok=True)
        for fi, (fname, size) in enumerate(files):
            with open(os.path.join(d, fname), "wb") as f:
                write_content(f, di, fi, size)


MEASURE = None


def io_stall_us():
    """Microseconds some task has spent waiting for I/O, or None where the
    kernel does not say (no pressure accounting)."""
    try:
        with open("/proc/pressure/io") as f:
            return int(f.readline().split("total=")[1])
    except (OSError, IndexError, ValueError):
        return None


def settle(limit=60.0):
    """Waits until the disk is quiet: writeback and the discards that follow
    deleting many files can stall I/O for tens of seconds after a run, and
    would be charged to whichever tool runs next."""
    os.sync()
    start = time.monotonic()
    while time.monotonic() - start < limit:
        before = io_stall_us()
        if before is None:
            return
        time.sleep(0.5)
        if io_stall_us() - before < 25000:  # under 5% of the half second
            return


def timed(cmd, cwd):
    """Wall time and peak RSS (KiB) of one command, taken by the small
    launcher so that Python's own memory does not count."""
    r, w = os.pipe()
    proc = subprocess.Popen([MEASURE, str(w)] + cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, pass_fds=(w,))
    os.close(w)
    err = proc.stderr.read().decode(errors="replace")
    status = proc.wait()
    with os.fdopen(r) as f:
        line = f.read().split()
    if status != 0 or len(line) != 2:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), err))
    return float(line[0]), int(line[1])


def build_helpers(work):
    global MEASURE
    MEASURE = os.path.join(work, "measure")
    subprocess.check_call(["cc", "-O2", "-o", MEASURE, os.path.join(HERE, "measure.c")])
    exe = os.path.join(work, "floor")
    subprocess.check_call(["cc", "-O2", "-o", exe, os.path.join(HERE, "floor.c")])
    return exe


def run_workload(label, work, dravik, dirs, runs, floor_args=None, keep_outputs=False, compare=None):
    base = os.path.join(work, label)
    os.makedirs(base)
    tree = os.path.join(base, "tree")
    plain_tree(tree, dirs)
    # The archive comes from dravik's own writer: node 1 "arc", data aligned to 32.
    archive = os.path.join(base, "input.arc")
    subprocess.check_call([dravik, "-c", "-q", "--no-compress", archive, tree])
    tarball = os.path.join(base, "input.tar")
    subprocess.check_call(["tar", "-cf", tarball, "-C", tree, "arc"])

    tools = {
        "dravik": lambda out: ([dravik, archive], out),
        "tar -xf": lambda out: (["tar", "-xf", tarball], out),
        "cp -r": lambda out: (["cp", "-r", os.path.join(tree, "arc"), out], base),
    }
    if compare:
        tools["other"] = lambda out: ([compare, archive], out)
    if floor_args:
        tools["floor"] = lambda out: ([floor_args[0], os.path.join(out, "x")] + floor_args[1:], base)
    times, rss = rotate(tools, runs, base, "run", keep_outputs)
    # Only now, after every timing: creating files right after deleting many
    # is several times slower. The next workload waits for the disk to settle.
    shutil.rmtree(base)
    return times, rss


def rotate(tools, runs, base, label, keep_outputs=False):
    """Runs every tool `runs` times into a fresh output folder under `base`;
    tools[name](out) gives the command and the folder it runs in. Returns
    the times and peak RSS of each tool's runs."""
    times = {name: [] for name in tools}
    rss = {name: [] for name in tools}
    names = list(tools)
    serial = 0
    for r in range(runs):
        # Rotate the order so no tool always runs right after the same one.
        order = names[r % len(names):] + names[: r % len(names)]
        for name in order:
            serial += 1
            out = os.path.join(base, "%s-%03d" % (label, serial))  # never used before
            os.makedirs(out)
            cmd, cwd = tools[name](out)
            settle()
            t, m = timed(cmd, cwd)
            times[name].append(t)
            rss[name].append(m)
            if not keep_outputs:
                shutil.rmtree(out)
    return times, rss


def report(title, times, rss):
    """Medians of the times, and the median of the ratios taken round by
    round: each round runs every tool once, back to back, so its ratios are
    the least touched by the machine drifting between rounds."""
    print("\n%s (median of %d runs)" % (title, len(next(iter(times.values())))))
    print("  %-10s %10s %12s %14s %14s   %s" % ("tool", "seconds", "peak RSS", "dravik / tool",
                                              "(by round)", "every run"))
    d = statistics.median(times["dravik"])
    for name in times:
        m = statistics.median(times[name])
        paired = statistics.median(a / b for a, b in zip(times["dravik"], times[name]))
        runs = " ".join("%.3f" % t for t in times[name])
        print("  %-10s %10.3f %9.1f MiB %14.2f %14.2f   %s"
              % (name, m, max(rss[name]) / 1024, d / m, paired, runs))


def options(doc):
    """The options of the extraction and packing benchmarks; the caller may add its own."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dravik", default=os.path.join(HERE, "..", "build", "dravik"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--work", default=None, help="scratch folder (default: a new one under /tmp)")
    ap.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    ap.add_argument("--only", choices=["a", "b", "c"], default=None)
    return ap


def start(ap, prefix):
    """Parses the options. Returns them, the dravik to time, the scratch
    folder (--work, or a new one) and what the sizes are divided by."""
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp(prefix=prefix, dir=os.environ.get("TMPDIR", "/tmp"))
    os.makedirs(work, exist_ok=True)
    return args, os.path.abspath(args.dravik), work, 8 if args.quick else 1


def main():
    ap = options(__doc__)
    ap.add_argument("--compare", default=None,
                    help="another dravik build to time alongside, shown as 'other'")
    args, dravik, work, scale = start(ap, "dravik-bench-")
    try:
        floor = build_helpers(work)
        if args.only in (None, "a"):
            ndirs, per_dir, size = 50, 400 // scale, 4096
            dirs = [("d%03d" % d, [("f%05d.bin" % f, size) for f in range(per_dir)]) for d in range(ndirs)]
            times, rss = run_workload("a", work, dravik, dirs, args.runs,
                                      [floor, str(ndirs), str(per_dir), str(size)], keep_outputs=True,
                                      compare=args.compare)
            report("(a) %d files of 4 KiB in %d directories" % (ndirs * per_dir, ndirs), times, rss)
        if args.only in (None, "b"):
            n, size = 8, (64 << 20) // scale
            dirs = [("", [("big%d.bin" % i, size) for i in range(n)])]
            times, rss = run_workload("b", work, dravik, dirs, args.runs, compare=args.compare)
            report("(b) %d files of %d MiB" % (n, size >> 20), times, rss)
        if args.only in (None, "c"):
            size = (1 << 30) // scale
            dirs = [("", [("huge.bin", size)])]
            times, rss = run_workload("c", work, dravik, dirs, 1)
            print("\n(c) one file of %d MiB: dravik peak RSS %.1f MiB, %.3f s"
                  % (size >> 20, rss["dravik"][0] / 1024, times["dravik"][0]))
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
