"""Throughput of quarn on 2 threads against 1, measured in one run.

  load      quarn.load_many of several 1M-atom files (plain, then gzip) with workers=2, against the
            same files loaded one after another with quarn.load. Files load without the interpreter
            lock, so two threads should read two files at once; a gzip file already inflates on a
            thread of its own beside its parser, which leaves less for a second file.
  queries   array queries on one shared 1M-atom Structure, the same list of calls split over 2
            Python threads against all on one: nearest_atoms within 12 A in batches of 200 points
            (each batch too small for the core to split); then calls that the core itself already
            splits over the processors at this size, so a second Python thread has little to add:
            bond_graph, positions and B-factor columns, contacts within 4 A.

Every line prints seconds for 1 thread, for 2, and the throughput ratio (1-thread time / 2-thread
time; 2.0 would be perfect on 2 processors). Best of --repeat. Run through bench/run_threads on an
otherwise idle machine: only ratios from one run mean anything.
"""

import argparse
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy

import quarn
from speed import timed

REPO = Path(__file__).resolve().parents[1]


def generate(data, atoms):
    out = REPO / "bench" / "out"
    out.mkdir(parents=True, exist_ok=True)
    path = out / f"tiles_{atoms}_none.cif"
    if not (path.exists() and Path(str(path) + ".gz").exists()):
        subprocess.run([sys.executable, str(REPO / "bench" / "make_large_cif.py"), str(data / "1aki.cif"), str(path),
                        str(atoms), "--cell=none", "--gzip"], check=True)
    return path


def on_threads(calls, threads):
    """Runs the callables of `calls`, dealt round-robin to `threads` Python threads."""
    if threads == 1:
        for call in calls:
            call()
        return
    shares = [calls[k::threads] for k in range(threads)]
    workers = [threading.Thread(target=lambda share=share: [call() for call in share]) for share in shares]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def ratio_line(name, one, two):
    print(f"  {name:<44}{one:8.3f} s  {two:8.3f} s  {one / two:5.2f}x", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--atoms", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=4, help="files per load measurement")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path, default=Path(os.environ.get("QUARN_DATA_DIR", REPO.parent / "shared" / "data")))
    args = parser.parse_args()

    plain = generate(args.data, args.atoms)
    print(f"quarn {quarn.__version__} ({quarn.INFLATER}), {os.cpu_count()} processors; "
          f"{args.atoms:,} atoms per file; columns: 1 thread, 2 threads, throughput ratio")
    for label, path in (("plain", plain), ("gzip", Path(str(plain) + ".gz"))):
        paths = [path] * args.files
        one, _, _ = timed(lambda: [quarn.load(p) for p in paths], args.repeat)
        two, _, _ = timed(lambda: quarn.load_many(paths, workers=2, raise_errors=True), args.repeat)
        ratio_line(f"load {args.files} {label} files", one, two)

    s = quarn.load(plain)
    xyz = numpy.asarray(quarn.positions(s))
    batches = [xyz[k:k + 200] for k in range(0, 200 * 64, 200)]
    quarn.contacts(s, 1.0)  # builds the spatial index, which every query below then shares
    queries = {
        "nearest_atoms, 64 batches of 200 points": [lambda b=b: quarn.nearest_atoms(s, b, 12.0) for b in batches],
        "bond_graph, 4 calls": [lambda: quarn.bond_graph(s, True, 0.4)] * 4,
        "positions and b_factor columns, 16 calls": [lambda: quarn.positions(s), lambda: quarn.atom_column(s, "b_factor")] * 8,
        "contacts within 4 A, 4 calls": [lambda: quarn.contacts(s, 4.0)] * 4,
    }
    for name, calls in queries.items():
        one, _, _ = timed(lambda: on_threads(calls, 1), args.repeat)
        two, _, _ = timed(lambda: on_threads(calls, 2), args.repeat)
        ratio_line(name, one, two)


if __name__ == "__main__":
    main()
