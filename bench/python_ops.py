"""Times the module's operations from Python, per call and per returned object.

Tiles a real entry into a large file (bench/make_large_cif.py), then times parse, contacts,
nearest_atoms, dense_distance_matrix and sparse_adjacency on it. Every time is printed beside a floor
measured in the same run (reading the file's bytes). For contacts, max_results=0 times the core's
enumeration alone (no row is kept, so nothing is sorted and no object is made); the rest of the full
call is the sort by distance plus the creation of the Contact objects, an upper bound on the latter.

    python bench/python_ops.py                            # 50,000 atoms, a million contacts
    python bench/python_ops.py --atoms 5000 --rows 200000   # a quick run
"""

import argparse
import gzip
import math
import subprocess
import sys
import time
from pathlib import Path

import quarn_parser

REPO = Path(__file__).resolve().parents[1]


def large_file(entry, atoms):
    """The entry tiled to `atoms` atom rows by the shared generator (which reads plain text)."""
    out = REPO / "bench" / "out"
    out.mkdir(parents=True, exist_ok=True)
    source = entry
    if entry.suffix.lower() == ".gz":
        source = out / entry.stem
        source.write_bytes(gzip.decompress(entry.read_bytes()))
    path = out / f"{source.stem}_{atoms}.cif"
    subprocess.run([sys.executable, str(REPO / "bench" / "make_large_cif.py"), str(source), str(path), str(atoms)],
                   check=True)
    return path


def best(call, repeat):
    """The fastest of `repeat` runs, and the last result."""
    times, result = [], None
    for _ in range(repeat):
        result = None
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def report(name, seconds, objects, floor, unit="object"):
    per = f"{seconds / objects * 1e9:9.1f} ns/{unit}" if objects else " " * 12
    print(f"{name:<42}{seconds * 1e3:10.2f} ms {per}   {seconds / floor:7.1f} x floor   ({objects:,} {unit}s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entry", type=Path, default=REPO / "examples" / "data" / "3o5r.cif.gz")
    parser.add_argument("--atoms", type=int, default=50_000, help="atom rows of the tiled file")
    parser.add_argument("--rows", type=int, default=1_000_000, help="contacts to aim for")
    parser.add_argument("--matrix", type=int, default=2000, help="atoms in the distance matrix")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    path = large_file(args.entry, args.atoms)
    packed = path.with_suffix(".cif.gz")
    packed.write_bytes(gzip.compress(path.read_bytes(), compresslevel=6))

    floor, _ = best(lambda: path.read_bytes(), args.repeat)
    inflate, _ = best(lambda: gzip.decompress(packed.read_bytes()), args.repeat)
    print(f"file {path.name}: {path.stat().st_size / 2**20:.1f} MiB; floor (read the bytes) {floor * 1e3:.2f} ms, "
          f"inflating the gzip copy {inflate * 1e3:.2f} ms\n")

    seconds, s = best(lambda: quarn_parser.parse(path), args.repeat)
    report("parse", seconds, s.atom_count, floor, "atom")
    seconds, _ = best(lambda: quarn_parser.parse(packed), args.repeat)
    report("parse (gzip)", seconds, s.atom_count, floor, "atom")

    # A cutoff that yields about the wanted number of rows: pair counts grow with the cube of the cutoff.
    sample = len(s.contacts(4.0))
    cutoff = 4.0 * (args.rows / max(sample, 1)) ** (1 / 3)
    enumeration, _ = best(lambda: s.contacts(cutoff, 0), args.repeat)
    seconds, rows = best(lambda: s.contacts(cutoff), args.repeat)
    report(f"contacts({cutoff:.2f}, max_results=0)", enumeration, len(rows), floor, "row")
    report(f"contacts({cutoff:.2f})", seconds, len(rows), floor, "row")
    rest = max(seconds - enumeration, 0.0)
    print(f"{'  sort and Contact objects':<42}{rest * 1e3:10.2f} ms {rest / len(rows) * 1e9:9.1f} ns/row"
          f"   {rest / seconds:7.1%} of the call")
    count = len(rows)
    freed, _ = best(rows.clear, 1)
    report("  freeing the Contact objects", freed, count, floor, "row")

    middle = tuple((lo + hi) / 2 for lo, hi in zip(*s.bounding_box()))
    centre = s.nearest_atoms(middle, math.inf, 1)[0].position  # an atom, not a gap between copies
    seconds, hits = best(lambda: s.nearest_atoms(centre, 20.0, s.atom_count), args.repeat)
    report("nearest_atoms(r=20)", seconds, len(hits), floor, "hit")
    seconds, residues = best(lambda: s.nearest_residues(centre, 20.0, s.atom_count), args.repeat)
    report("nearest_residues(r=20)", seconds, len(residues), floor, "hit")

    chosen = list(range(0, s.atom_count, max(1, s.atom_count // args.matrix)))[: args.matrix]
    seconds, matrix = best(lambda: s.dense_distance_matrix(chosen), args.repeat)
    n = len(matrix.atom_indices)
    report(f"dense_distance_matrix({n} atoms)", seconds, n * n, floor, "value")
    seconds, _ = best(lambda: matrix.distances, args.repeat)
    report("  reading .distances", seconds, n * n, floor, "value")
    del matrix

    for geometric in (False, True):
        seconds, rows = best(lambda: s.sparse_adjacency(geometric, 0.4), 1 if geometric else args.repeat)
        entries = sum(len(r) for r in rows)
        report(f"sparse_adjacency({geometric}, 0.4)", seconds, entries, floor, "bond")
        del rows

    seconds, _ = best(lambda: s.atom_profile(0, True, 0.4), 1)
    report("atom_profile(0, True, 0.4)", seconds, 1, floor, "call")


if __name__ == "__main__":
    main()
