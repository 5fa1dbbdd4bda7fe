#!/usr/bin/env python3
"""Measures dravik's Yaz0 levels against oead's compressor (levels 6, 7, 9).

oead is built from ../shared/peers/oead-yaz0 (relative to the project root)
with its build.sh; without that folder the script says so and stops. The
inputs are the corpus's .szs files, decoded, slices of them (600 bytes to
64 KiB from a third of the way in: small inputs count), and generated data
(yaz0_bench sample). Every encoder compresses every input as a whole
process, one thread (dravik --compress --level L -j 1 IN OUT; oead_yaz0 L IN
OUT), taking turns, each run repeated; the time counted is the processor
time of the child process (user + system, from getrusage(RUSAGE_CHILDREN)),
the least over the repeats. Sizes are set against the smallest stream the
format allows, from the tests' brute-force reference (yaz0_bench minimum).
Every output is decoded back (dravik --decompress) and compared.

For each set of inputs, one line per encoder: the total size over the total
minimum, the worst file's size over its minimum, and MB/s (10^6 bytes of
input a processor second over the set). Ratios between encoders from one
run hold on a noisy machine; absolute speeds swing.

usage: bench/yaz0_peer_bench.py [--build build-bench] [--runs 3] [--work DIR] [--detail]
       (build-bench: cmake -S . -B build-bench -DDRAVIK_BENCH=ON -DDRAVIK_TESTS=OFF
        -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench -j2)
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEER = os.path.join(ROOT, "..", "shared", "peers", "oead-yaz0")
CORPUS = os.path.join(ROOT, "..", "shared", "corpus")

DRAVIK_LEVELS = ["fast", "default", "best"]
OEAD_LEVELS = [6, 7, 9]


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_cpu(cmd):
    """Runs cmd to completion; returns the processor seconds it took."""
    before = child_cpu()
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    spent = child_cpu() - before
    if p.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (p.returncode, " ".join(cmd), p.stderr.decode(errors="replace")))
    return spent


def build_oead(build):
    exe = os.path.join(build, "oead", "oead_yaz0")
    if os.path.exists(exe):
        return exe
    script = os.path.join(PEER, "build.sh")
    print("building oead's compressor (%s)..." % script, flush=True)
    subprocess.run(["bash", script, os.path.join(build, "oead")], check=True, stdout=subprocess.DEVNULL)
    return exe


def inputs(work, dravik, bench):
    """(set name, [(label, path)]) for the corpus, its slices and generated data."""
    corpus, slices, generated = [], [], []
    szs = []
    for d, _, files in os.walk(CORPUS):
        szs += [os.path.join(d, f) for f in files if f.endswith(".szs")]
    for path in sorted(szs):
        name = os.path.basename(path)[: -len(".szs")].split("__")[-1]
        out = os.path.join(work, name + ".bin")
        subprocess.run([dravik, "--decompress", path, out], check=True, stdout=subprocess.DEVNULL)
        corpus.append((name, out))
        data = open(out, "rb").read()
        for size in (600, 4096, 16384, 65536):
            cut = os.path.join(work, "%s-%d.bin" % (name, size))
            with open(cut, "wb") as f:
                f.write(data[len(data) // 3: len(data) // 3 + size])
            slices.append(("%s[%d]" % (name, size), cut))
    for size, seed in ((4 << 20, 2), (256 << 10, 11), (16 << 10, 12)):
        out = os.path.join(work, "generated-%d.bin" % size)
        subprocess.run([bench, "sample", str(size), str(seed), out], check=True)
        generated.append(("generated %d" % size, out))
    sets = []
    if corpus:
        sets.append(("corpus .szs files, decoded", corpus))
        sets.append(("slices of them (600 B to 64 KiB)", slices))
    else:
        print("no corpus at %s: generated data only" % CORPUS)
    sets.append(("generated data", generated))
    return sets


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--work")
    ap.add_argument("--detail", action="store_true", help="also print every file's figures")
    args = ap.parse_args()
    if not os.path.isdir(PEER):
        print("no peer at %s: nothing to measure against, skipped" % os.path.normpath(PEER))
        return 0
    build = os.path.abspath(args.build)
    dravik, bench = os.path.join(build, "dravik"), os.path.join(build, "yaz0_bench")
    for exe in (dravik, bench):
        if not os.path.exists(exe):
            sys.exit("%s is missing: build with -DDRAVIK_BENCH=ON (see the usage above)" % exe)
    oead = build_oead(build)
    work = args.work or tempfile.mkdtemp(prefix="dravik-yaz0-peer-")
    os.makedirs(work, exist_ok=True)
    try:
        sets = inputs(work, dravik, bench)
        encoders = [("oead L%d" % l, lambda i, o, l=l: [oead, str(l), i, o]) for l in OEAD_LEVELS]
        encoders += [("dravik %s" % l, lambda i, o, l=l: [dravik, "--compress", "--force", "--level", l, "-j", "1", i, o])
                     for l in DRAVIK_LEVELS]
        summary = {}
        for title, files in sets:
            minima = {}
            out = subprocess.run([bench, "minimum"] + [p for _, p in files], check=True, stdout=subprocess.PIPE)
            for line in out.stdout.decode().splitlines():
                size, minimum, path = line.split("\t", 2)
                minima[path] = (int(size), int(minimum))
            cpu = {(e, p): float("inf") for e, _ in encoders for _, p in files}
            size = {}
            for _ in range(args.runs):
                for _, path in files:
                    for name, cmd in encoders:
                        target = os.path.join(work, "out.szs")
                        cpu[name, path] = min(cpu[name, path], run_cpu(cmd(path, target)))
                        size[name, path] = os.path.getsize(target)
                        if (name, path) not in summary:
                            back = os.path.join(work, "back.bin")
                            subprocess.run([dravik, "--decompress", "--force", target, back], check=True,
                                           stdout=subprocess.DEVNULL)
                            with open(back, "rb") as a, open(path, "rb") as b:
                                if a.read() != b.read():
                                    sys.exit("%s does not round-trip %s" % (name, path))
                            summary[name, path] = True
            total_in = sum(minima[p][0] for _, p in files)
            total_min = sum(minima[p][1] for _, p in files)
            print("\n%s: %d files, %d bytes, minimum %d; one thread, processor time of the process"
                  % (title, len(files), total_in, total_min))
            print("%-16s %9s %9s  %-24s %8s" % ("encoder", "total", "worst", "(file)", "MB/s"))
            speed = {}
            for name, _ in encoders:
                total = sum(size[name, p] for _, p in files)
                worst, which = max((size[name, p] / minima[p][1], label) for label, p in files)
                speed[name] = total_in / sum(cpu[name, p] for _, p in files) / 1e6
                print("%-16s %9.4f %9.4f  %-24s %8.1f" % (name, total / total_min, worst, which, speed[name]))
            print("speed ratios: default/best %.2f, default/oead L9 %.2f, fast/oead L7 %.2f"
                  % (speed["dravik default"] / speed["dravik best"], speed["dravik default"] / speed["oead L9"],
                     speed["dravik fast"] / speed["oead L7"]))
            if args.detail:
                for label, p in files:
                    print("  %-28s %9d min %9d  " % (label, minima[p][0], minima[p][1]) +
                          "  ".join("%s %.4f %.1f" % (n.split()[-1], size[n, p] / minima[p][1],
                                                       minima[p][0] / cpu[n, p] / 1e6) for n, _ in encoders))
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
