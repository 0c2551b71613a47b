"""Unpickling a Structure against parsing the text it came from, and the pickle's size against the text's.

usage: python bench/pickle_speed.py [--rounds N] [--atoms N] [FILE...]

Without files: the real entries of ../shared/data (QUARN_DATA_DIR) and a tiled file of --atoms atoms
(default 1,000,000; bench/make_large_cif.py, kept in bench/out). For each file, rounds alternate
parse(path) and pickle.loads(data), so the shared machine's ups and downs fall on both alike; each
round of a small entry repeats the call until it has run for 50 ms. Printed per file: the median time
of each, their ratio (and the ratio of the best times), pickle.dumps' median, and the pickle's size
against the plain (inflated) text. Targets: loads at least 5x faster than parse, size at most the
text's.
"""

import argparse
import gc
import gzip
import os
import pickle
import statistics
import subprocess
import sys
import time
from pathlib import Path

import quarn_parser

REPO = Path(__file__).resolve().parents[1]
DATA = Path(os.environ.get("QUARN_DATA_DIR", REPO.parent / "shared" / "data"))


def per_call(call, floor=0.05):
    """Seconds per call, the call repeated until `floor` seconds have passed."""
    calls, start = 0, time.perf_counter()
    while True:
        result = call()
        del result
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= floor:
            return elapsed / calls


def text_size(path):
    opener = gzip.open if path.suffix.lower() == ".gz" else open
    with opener(path, "rb") as f:
        return len(f.read())


def measure(path, rounds):
    structure = quarn_parser.parse(path)
    data = pickle.dumps(structure, protocol=pickle.HIGHEST_PROTOCOL)
    again = pickle.loads(data)
    assert again.atom_count == structure.atom_count and again.explicit_bonds() == structure.explicit_bonds()
    del again
    parse_times, load_times, dump_times = [], [], []
    for _ in range(rounds):
        gc.collect()
        parse_times.append(per_call(lambda: quarn_parser.parse(path)))
        load_times.append(per_call(lambda: pickle.loads(data)))
        dump_times.append(per_call(lambda: pickle.dumps(structure, protocol=pickle.HIGHEST_PROTOCOL)))
    parse_median, load_median = statistics.median(parse_times), statistics.median(load_times)
    size = text_size(path)
    print(f"  {path.name:<18}{structure.atom_count:>9,} atoms   parse {parse_median * 1e3:9.2f} ms   "
          f"loads {load_median * 1e3:8.2f} ms   {parse_median / load_median:5.1f}x "
          f"(best {min(parse_times) / min(load_times):4.1f}x)   dumps {statistics.median(dump_times) * 1e3:8.2f} ms   "
          f"pickle {len(data):>11,} B = {len(data) / size:5.3f} of the text ({size:,} B)", flush=True)
    spread = max(load_times) / min(load_times)
    return parse_median / load_median, len(data) / size, spread


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--atoms", type=int, default=1_000_000)
    parser.add_argument("files", nargs="*", type=Path)
    args = parser.parse_args()
    files = args.files
    if not files:
        files = sorted(p for p in DATA.glob("*.cif*"))
        if not files:
            sys.exit(f"pickle_speed.py: no entries in {DATA}; set QUARN_DATA_DIR or name files")
        large = REPO / "bench" / "out" / f"tiles_{args.atoms}_keep.cif"
        if not large.exists():
            large.parent.mkdir(parents=True, exist_ok=True)
            subprocess.run([sys.executable, str(REPO / "bench" / "make_large_cif.py"), str(DATA / "1aki.cif"),
                            str(large), str(args.atoms)], check=True)
        files.append(large)
    print(f"pickle.loads against quarn_parser.parse, medians of {args.rounds} alternating rounds "
          f"(pickle protocol {pickle.HIGHEST_PROTOCOL})")
    results = [measure(path, args.rounds) for path in files]
    print(f"  slowest loads-to-parse ratio {min(r[0] for r in results):.1f}x (target 5x); "
          f"largest size ratio {max(r[1] for r in results):.3f} (target 1); "
          f"loads times within a file varied up to {max(r[2] for r in results):.2f}x between rounds")


if __name__ == "__main__":
    main()
