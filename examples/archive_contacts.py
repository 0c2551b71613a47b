"""Ligand contacts of many entries in one table: on this machine, or the same code on a Dask cluster.

    python examples/archive_contacts.py FILE_OR_FOLDER... [--workers N] [--dask ADDRESS] [--out FILE]

Every entry's ligand atoms (atoms without a label_seq_id, water left out) and the polymer atoms
within 4 A of them become rows of one TSV table (stdout or --out). A file that cannot be read is
reported on stderr with the reader's text and left out; the others go on.

On one machine, quarn.iter_load reads the files on --workers threads without the interpreter lock.
With --dask ADDRESS the files are dealt in chunks to the workers of the Dask scheduler at ADDRESS
(for example tcp://10.0.0.5:8786; every worker must see the files at the same paths), each of which
runs the very same function on its chunk; --dask local starts a LocalCluster on this machine instead.
"""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional, Sequence, Tuple

import quarn
from quarn.cli import entry_files  # the command line's walk: files named, folders searched

CUTOFF = 4.0
WATER = frozenset({"HOH", "DOD", "WAT"})
COLUMNS = ("entry_id", "ligand", "ligand_chain", "ligand_atom", "residue", "chain", "seq_id", "atom",
           "distance", "classification")
Row = Tuple
Failure = Tuple[str, str]  # (path, the reader's text)


def ligand_contacts(structure) -> List[Row]:
    """The COLUMNS rows of one structure: each contact between a ligand atom and a polymer atom."""
    polymer = [not absent for absent in quarn.atom_absent(structure, "label_seq_id").tolist()]
    comp = quarn.atom_column(structure, "label_comp_id").tolist()
    ligand = [not p and c is not None and c.upper() not in WATER for p, c in zip(polymer, comp)]
    chain = quarn.atom_column(structure, "chain_id").tolist()
    name = quarn.atom_column(structure, "label_atom_id").tolist()
    seq = quarn.atom_column(structure, "label_seq_id").tolist()
    found = quarn.contacts(structure, CUTOFF)
    entry = structure.entry_id
    rows = []
    for i, j, d, c in zip(found.first.tolist(), found.second.tolist(), found.distance.tolist(),
                          found.classification.tolist()):
        if ligand[j] and polymer[i]:
            i, j = j, i
        if ligand[i] and polymer[j]:
            rows.append((entry, comp[i], chain[i], name[i], comp[j], chain[j], seq[j], name[j], d,
                         quarn.CONTACT_CLASSES[c]))
    return rows


def contacts_of_files(paths: Sequence[str], workers: Optional[int] = None) -> Tuple[List[Row], List[Failure]]:
    """The rows of every file of ``paths`` that loads, and (path, text) for each that does not."""
    rows: List[Row] = []
    failures: List[Failure] = []
    for path, outcome in quarn.iter_load(paths, workers):
        if isinstance(outcome, BaseException):
            failures.append((path, str(outcome)))
        else:
            rows.extend(ligand_contacts(outcome))
    return rows, failures


def on_dask(client, paths: Sequence[str], chunk: int = 16) -> Tuple[List[Row], List[Failure]]:
    """contacts_of_files on the workers of a dask.distributed ``client``, ``chunk`` files a task; the
    results come back in the order of ``paths``."""
    if __name__ != "__main__":
        client.upload_file(__file__)  # so that workers can import this module by name
    chunks = [list(paths[k:k + chunk]) for k in range(0, len(paths), chunk)]
    rows: List[Row] = []
    failures: List[Failure] = []
    for part_rows, part_failures in client.gather(client.map(contacts_of_files, chunks, pure=False)):
        rows.extend(part_rows)
        failures.extend(part_failures)
    return rows, failures


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+")
    parser.add_argument("--workers", type=int, default=None, help="loading threads on this machine")
    parser.add_argument("--dask", metavar="ADDRESS", help="a scheduler address, or 'local' for a LocalCluster")
    parser.add_argument("--out", help="the table's file (default: stdout)")
    args = parser.parse_args(argv)
    paths = entry_files(args.paths)
    if args.dask is None:
        rows, failures = contacts_of_files(paths, args.workers)
    else:
        from dask.distributed import Client, LocalCluster

        cluster = LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                               dashboard_address=None) if args.dask == "local" else None
        with Client(cluster if cluster is not None else args.dask) as client:
            rows, failures = on_dask(client, paths)
        if cluster is not None:
            cluster.close()
    out = open(args.out, "w", encoding="utf-8") if args.out else sys.stdout
    try:
        print("\t".join(COLUMNS), file=out)
        for row in rows:
            print("\t".join("" if v is None else str(v) for v in row), file=out)
    finally:
        if args.out:
            out.close()
    for path, text in failures:
        print(f"{path}: {text}", file=sys.stderr)
    print(f"{len(paths) - len(failures)} entries, {len(rows)} ligand contacts, {len(failures)} failed",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
