"""Times the module's operations from Python, per call and per returned object.

Builds a large file by tiling a real entry with shifted coordinates, then times parse, contacts,
nearest_atoms, dense_distance_matrix and sparse_adjacency on it. Every time is printed beside a floor
measured in the same run (reading the file's bytes). For contacts, max_results=0 times the core's
enumeration alone (no row is kept, so nothing is sorted and no object is made); the rest of the full
call is the sort by distance plus the creation of the Contact objects, an upper bound on the latter.

    python bench/python_ops.py                      # about 44,000 atoms, a million contacts
    python bench/python_ops.py --copies 4 --rows 200000   # a quick run
"""

import argparse
import gzip
import math
import time
from pathlib import Path

import quarn_parser

REPO = Path(__file__).resolve().parents[1]


def tile(entry, copies, out):
    """Writes `copies` shifted copies of the entry's positioned atoms as one mmCIF file."""
    s = quarn_parser.parse(entry)
    atoms = s.nearest_atoms((0.0, 0.0, 0.0), math.inf, s.atom_count)
    atoms.sort(key=lambda a: a.index)
    (lo, hi) = s.bounding_box()
    step = [h - l + 4.0 for l, h in zip(lo, hi)]
    side = math.ceil(copies ** (1 / 3))
    lines = [f"data_TILED{copies}", "loop_"]
    columns = ("id", "type_symbol", "label_atom_id", "label_comp_id", "label_asym_id", "label_seq_id",
               "Cartn_x", "Cartn_y", "Cartn_z")
    lines += [f"_atom_site.{c}" for c in columns]
    serial = 0
    for k in range(copies):
        shift = (k % side * step[0], k // side % side * step[1], k // (side * side) * step[2])
        chain = f"T{k}"
        for a in atoms:
            serial += 1
            x, y, z = (p + d for p, d in zip(a.position, shift))
            fields = (serial, a.element or "?", a.label_atom_id or "?", a.label_comp_id or "?", chain,
                      a.seq_id if a.seq_id is not None else ".", f"{x:.3f}", f"{y:.3f}", f"{z:.3f}")
            lines.append(" ".join(str(f) for f in fields))
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(lines) + "\n")
    return out


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
    parser.add_argument("--copies", type=int, default=30, help="copies of the entry in the tiled file")
    parser.add_argument("--rows", type=int, default=1_000_000, help="contacts to aim for")
    parser.add_argument("--matrix", type=int, default=2000, help="atoms in the distance matrix")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    path = tile(args.entry, args.copies, REPO / "bench" / "out" / f"tiled_{args.copies}.cif")
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
