#!/usr/bin/env python3
"""Times loading a corpus of real-size gzip entries, against zlib, zcat and peers, in one run.

usage: archive.py BENCH_BINARY CORPUS_DIR [--rounds N] [--peer-every K] [--skip-peers]

Run by bench/archive in the bench venv (gemmi, Biopython and this project installed there). Prints
files per second and MB of text per second for each way of reading the corpus, and ratios taken
within the run: the C++ loader against zlib inflating the same files (best of N rounds per file), two
loader processes against one, zcat; quarn.load_many on two threads against one; through Python, quarn_parser.parse against gemmi.read_structure
on every file and against Biopython's MMCIF2Dict on every K-th file (it is much slower), each file
through each reader back to back.
"""
import gzip
import os
import subprocess
import sys
import time


def wall(command, **kwargs) -> float:
    t0 = time.perf_counter()
    subprocess.run(command, check=True, **kwargs)
    return time.perf_counter() - t0


def best_of(rounds: int, body) -> float:
    return min(body() for _ in range(rounds))


def time_each(paths, load) -> float:
    t0 = time.perf_counter()
    for p in paths:
        load(p)
    return time.perf_counter() - t0


def line(name: str, files: int, mb: float, seconds: float, note: str = "") -> None:
    print("  %-34s %8.1f files/s %7.0f MB/s of text  %s" % (name, files / seconds, mb / seconds, note))


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    options = dict(a[2:].split("=", 1) for a in sys.argv[1:] if a.startswith("--") and "=" in a)
    if len(args) != 2:
        sys.exit(__doc__)
    binary, corpus = args
    rounds = int(options.get("rounds", 3))
    every = int(options.get("peer-every", 10))
    paths = sorted(os.path.join(corpus, n) for n in os.listdir(corpus) if n.endswith(".gz"))
    listing = os.path.join(corpus, "files.txt")
    with open(listing, "w") as f:
        f.write("".join(p + "\n" for p in paths))
    sizes = {p: len(gzip.open(p).read()) for p in paths}
    mb = sum(sizes.values()) / 1e6
    print("corpus: %d gzip files, %.0f MB compressed, %.0f MB of text" %
          (len(paths), sum(os.path.getsize(p) for p in paths) / 1e6, mb))

    print("C++ core, one thread (each file: load, zlib alone, parse alone, back to back):")
    sys.stdout.flush()
    subprocess.run([binary, "--rounds", str(rounds), listing], check=True)

    print("whole processes, best of %d:" % rounds)
    one = best_of(rounds, lambda: wall([binary, "--load-only", listing]))
    two = best_of(rounds, lambda: wall_pair(binary, listing))
    null = open(os.devnull, "wb")
    zcat = best_of(rounds, lambda: wall(["xargs", "-a", listing, "zcat"], stdout=null))
    line("load_structure, one process", len(paths), mb, one)
    line("load_structure, two processes", len(paths), mb, two, "%.2fx one process" % (one / two))
    line("zcat > /dev/null", len(paths), mb, zcat, "load is %.2fx zcat's time" % (one / zcat))

    # Two loading threads in one process, each with its own helper: what a Python pipeline gets.
    import quarn
    print("quarn.load_many in this process, best of %d:" % rounds)
    sys.stdout.flush()
    threads = {}
    for workers in (1, 2):
        threads[workers] = best_of(rounds, lambda: time_each([paths], lambda ps: quarn.load_many(ps, workers=workers,
                                                                                               raise_errors=True)))
    line("load_many, one thread", len(paths), mb, threads[1])
    line("load_many, two threads", len(paths), mb, threads[2], "%.2fx one thread" % (threads[1] / threads[2]))

    if "--skip-peers" in sys.argv:
        return
    import quarn_parser
    import gemmi
    from Bio.PDB.MMCIF2Dict import MMCIF2Dict

    def biopython(p):
        with gzip.open(p, "rt") as handle:
            MMCIF2Dict(handle)

    # Each file through each reader back to back, so that the load of the machine falls on all alike.
    sample = set(paths[::every])
    ours, gemmis, bio, ours_sample = 0.0, 0.0, 0.0, 0.0
    for p in paths:
        t_ours = best_of(rounds, lambda: time_each([p], quarn_parser.parse))
        ours += t_ours
        gemmis += best_of(rounds, lambda: time_each([p], gemmi.read_structure))
        if p in sample:
            ours_sample += t_ours
            bio += time_each([p], biopython)
    print("through Python, one thread, each file best of %d:" % rounds)
    line("quarn_parser.parse", len(paths), mb, ours)
    line("gemmi.read_structure", len(paths), mb, gemmis, "quarn_parser %.1fx the files/s" % (gemmis / ours))
    sample_mb = sum(sizes[p] for p in sample) / 1e6
    print("every %d-th file (%d files):" % (every, len(sample)))
    line("quarn_parser.parse", len(sample), sample_mb, ours_sample)
    line("Biopython MMCIF2Dict (once)", len(sample), sample_mb, bio,
         "quarn_parser %.1fx the files/s" % (bio / ours_sample))


def wall_pair(binary: str, listing: str) -> float:
    t0 = time.perf_counter()
    workers = [subprocess.Popen([binary, "--load-only", "--shard", "%d/2" % k, listing]) for k in (0, 1)]
    if any(w.wait() != 0 for w in workers):
        sys.exit("archive.py: a loader process failed")
    return time.perf_counter() - t0


if __name__ == "__main__":
    main()
