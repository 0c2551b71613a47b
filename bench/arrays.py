"""Times quarn's columns and array results against the peers a user would reach for, in one run.

  pipeline        on a 100,000-atom file: parse; positions and B-factors as numpy arrays; every
                  pair within 4 A as index and distance arrays; the bond graph (declared bonds plus
                  pairs within the covalent radii + 0.4 A) as an edge list. Peers: gemmi with
                  scipy's cKDTree for the pairs and bonds, and biotite (CellList for the pairs,
                  connect_via_distances for the bonds; its bond rule is its own).
  contacts        within 4 A as arrays on the 1M-atom file: quarn.contacts (classified and sorted
                  by distance) against cKDTree.query_pairs(output_type="ndarray") with its tree
                  build, and gemmi's NeighborSearch + ContactSearch.
  positions       all positions of the 1M-atom structure as a numpy array.
  nearest         atoms within 8 A of 10,000 points on the 1M-atom structure, each point's hits
                  sorted by distance: quarn.nearest_atoms against query_ball_point of a prebuilt
                  cKDTree (unsorted lists of indices), on one thread and on every processor.
  memory          bytes the process allocates per row for an array result (glibc's count of
                  allocated bytes before and after), against the raw bytes of its columns.

Times are wall seconds, the best of --repeat runs, and every line prints its ratio to ours: the
machine may be shared, so only ratios from one run mean anything. Run through bench/run_arrays,
which makes the benchmark venv with the peers and the files (bench/make_large_cif.py, no cell).
"""

import argparse
import ctypes
import gc
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import quarn
import quarn_parser
from speed import line, timed

REPO = Path(__file__).resolve().parents[1]
RADII = {"H": 0.32, "C": 0.75, "N": 0.71, "O": 0.63, "F": 0.64, "P": 1.06, "S": 1.02, "CL": 0.99, "NA": 1.66,
         "MG": 1.41, "K": 2.03, "CA": 1.74, "FE": 1.16, "ZN": 1.25, "SE": 1.17, "BR": 1.21, "I": 1.40, "CU": 1.22}


def best(call, repeat):
    """(best seconds, last result) over `repeat` calls."""
    seconds, _, result = timed(call, repeat)
    return seconds, result


def generate(data, atoms):
    out = REPO / "bench" / "out"
    out.mkdir(parents=True, exist_ok=True)
    path = out / f"tiles_{atoms}_none.cif"
    if not path.exists():
        subprocess.run([sys.executable, str(REPO / "bench" / "make_large_cif.py"), str(data / "1aki.cif"), str(path),
                        str(atoms), "--cell=none"], check=True)
    return path


def geometric_bonds(xyz, radius, tolerance=0.4):
    """Pairs within their covalent radii plus the tolerance, through cKDTree (the peers' bond step)."""
    from scipy.spatial import cKDTree

    pairs = cKDTree(xyz).query_pairs(2 * np.nanmax(radius) + tolerance, output_type="ndarray")
    d = np.sqrt(((xyz[pairs[:, 1]] - xyz[pairs[:, 0]]) ** 2).sum(axis=1))
    return pairs[d <= radius[pairs[:, 0]] + radius[pairs[:, 1]] + tolerance]


def quarn_pipeline(path):
    s = quarn_parser.parse(path)
    xyz, b = np.asarray(quarn.positions(s)), np.asarray(quarn.atom_column(s, "b_factor"))
    c = quarn.contacts(s, 4.0)
    pairs = np.asarray(c.first), np.asarray(c.second), np.asarray(c.distance)
    edges = quarn.bond_graph(s, True, 0.4).edges()
    return xyz, b, pairs, (np.asarray(edges.first), np.asarray(edges.second))


def gemmi_pipeline(path):
    import gemmi
    from scipy.spatial import cKDTree

    st = gemmi.read_structure(str(path))
    atoms = [cra.atom for cra in st[0].all()]
    xyz = np.array([a.pos.tolist() for a in atoms])
    b = np.array([a.b_iso for a in atoms])
    pairs = cKDTree(xyz).query_pairs(4.0, output_type="ndarray")
    d = np.sqrt(((xyz[pairs[:, 1]] - xyz[pairs[:, 0]]) ** 2).sum(axis=1))
    radius = np.array([RADII.get(a.element.name.upper(), np.nan) for a in atoms])
    return xyz, b, (pairs[:, 0], pairs[:, 1], d), geometric_bonds(xyz, radius)


def biotite_pipeline(path):
    import biotite.structure as struc
    import biotite.structure.io.pdbx as pdbx

    atoms = pdbx.get_structure(pdbx.CIFFile.read(str(path)), model=1, extra_fields=["b_factor"])
    xyz, b = atoms.coord, atoms.b_factor
    near = struc.CellList(atoms, 4.0).get_atoms(xyz, 4.0)  # one row per atom, padded with -1
    i = np.repeat(np.arange(len(xyz)), near.shape[1])
    j = near.ravel()
    keep = j > i
    i, j = i[keep], j[keep]
    d = np.sqrt(((xyz[j] - xyz[i]) ** 2).sum(axis=1))
    bonds = struc.connect_via_distances(atoms).as_array()
    return xyz, b, (i, j, d), bonds[:, :2]


def run_pipeline(path, peers, repeat):
    print(f"\npipeline on {path.name}", flush=True)
    ours, result = best(lambda: quarn_pipeline(path), repeat)
    rows = len(result[2][0])
    results = []
    if "gemmi" in peers:
        t, theirs = best(lambda: gemmi_pipeline(path), repeat)
        results.append(("gemmi+scipy", t))
        print(f"    pairs within 4 A: ours {rows:,}, gemmi+scipy {len(theirs[2][0]):,}; bonds: ours "
              f"{len(result[3][0]):,}, gemmi+scipy {len(theirs[3]):,}", flush=True)
    if "biotite" in peers:
        t, theirs = best(lambda: biotite_pipeline(path), repeat)
        results.append(("biotite", t))
        print(f"    pairs within 4 A: biotite {len(theirs[2][0]):,} (float32 coordinates); bonds by its own "
              f"rule: {len(theirs[3]):,}", flush=True)
    line("parse, columns, contacts(4), bond edges", ours, results)


def run_large(path, peers, repeat):
    print(f"\n{path.name}", flush=True)
    s = quarn_parser.parse(path)
    # Positions: a fresh column each time, so every run pays for filling it.
    times = []
    for _ in range(max(10, repeat)):
        start = time.perf_counter()
        xyz = np.asarray(quarn.positions(s))
        times.append(time.perf_counter() - start)
        del xyz
    times.sort()
    # The floor: the atom records are 120 bytes each and the gather reads all of them once.
    records = np.ones(120 * s.atom_count, dtype=np.uint8)
    floor, _ = best(lambda: records.copy(), max(10, repeat))
    del records
    print(f"  {'all positions as numpy (n x 3)':<40}{times[0] * 1e3:9.1f} ms   median {times[len(times) // 2] * 1e3:.1f} ms"
          f"   copying 120 bytes an atom with numpy {floor * 1e3:.1f} ms", flush=True)
    xyz = np.asarray(quarn.positions(s))

    # Contacts within 4 A as arrays.
    fresh = quarn_parser.parse(path)
    start = time.perf_counter()
    quarn.contacts(fresh, 4.0)
    first = time.perf_counter() - start
    del fresh

    def ours_contacts():
        c = quarn.contacts(s, 4.0)
        return np.asarray(c.first), np.asarray(c.second), np.asarray(c.distance)

    ours, rows = best(ours_contacts, repeat)
    count = len(rows[0])
    del rows
    results = []
    if "scipy" in peers:
        from scipy.spatial import cKDTree

        t, found = best(lambda: cKDTree(xyz).query_pairs(4.0, output_type="ndarray"), repeat)
        results.append(("scipy", t))
        print(f"    pairs: ours {count:,}, scipy {len(found):,}", flush=True)
        del found
    if "gemmi" in peers:
        import gemmi

        st = gemmi.read_structure(str(path))

        def gemmi_contacts():
            ns = gemmi.NeighborSearch(st[0], st.cell, 5).populate()
            cs = gemmi.ContactSearch(4.0)
            cs.ignore = gemmi.ContactSearch.Ignore.Nothing
            return len(cs.find_contacts(ns))

        t, n = best(gemmi_contacts, repeat)
        results.append(("gemmi", t))
        print(f"    pairs: gemmi {n:,}", flush=True)
    line("contacts(4.0) as arrays", ours, results)
    print(f"    first call on a fresh Structure (builds the spatial index): {first * 1e3:.1f} ms", flush=True)

    # Nearest atoms of 10,000 points.
    rng = np.random.default_rng(1)
    origins = xyz[rng.choice(len(xyz), 10_000, replace=False)] + (1.0, 0.0, 0.0)
    ours, near = best(lambda: quarn.nearest_atoms(s, origins, 8.0), repeat)
    results = []
    if "scipy" in peers:
        from scipy.spatial import cKDTree

        tree = cKDTree(xyz)
        for workers in (1, -1):
            t, found = best(lambda: tree.query_ball_point(origins, 8.0, workers=workers), repeat)
            results.append((f"scipy workers={workers}", t))
        print(f"    hits: ours {len(near.indices):,}, scipy {sum(len(f) for f in found):,}", flush=True)
    line("nearest_atoms(8.0), 10,000 points", ours, results)
    del near

    # Memory of an array result: what the process allocates while the result is held.
    in_use = allocated_bytes()
    if in_use is not None:
        gc.collect()
        before = in_use()
        held = quarn.contacts(s, 4.0)
        gc.collect()
        after = in_use()
        rows = len(held)
        print(f"  memory of contacts(4.0) as arrays: {(after - before) / rows:.2f} bytes a row over {rows:,} rows "
              f"({after - before - 32 * rows:+,} bytes beyond 32 a row); raw columns 8+8+8+1 = 25 bytes a row",
              flush=True)


def allocated_bytes():
    """A function returning the bytes glibc's allocator has handed out (mallinfo2), or None."""
    try:
        libc = ctypes.CDLL("libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")]

    mallinfo2.restype = MallInfo2
    return lambda: (lambda m: m.uordblks + m.hblkhd)(mallinfo2())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pipeline-atoms", type=int, default=100_000)
    parser.add_argument("--large-atoms", type=int, default=1_000_000)
    parser.add_argument("--peers", default="gemmi,biotite,scipy")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path,
                        default=Path(os.environ.get("QUARN_DATA_DIR", REPO.parent / "shared" / "data")))
    args = parser.parse_args()
    peers = set(args.peers.split(",")) if args.peers else set()
    print(f"quarn {quarn.__version__}; {os.cpu_count()} processors; load average {os.getloadavg()[0]:.1f}", flush=True)
    run_pipeline(generate(args.data, args.pipeline_atoms), peers, args.repeat)
    run_large(generate(args.data, args.large_atoms), peers, args.repeat)


if __name__ == "__main__":
    main()
