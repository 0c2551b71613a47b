#!/usr/bin/env python3
"""Writes a corpus of gzip mmCIF files whose sizes follow the archive's, tiled from real entries.

usage: make_archive.py DATA_DIR OUT_DIR [--files N] [--seed S]

Each file tiles one of the real entries of DATA_DIR (plain or gzip, taken in turn) to an atom count
drawn from a fixed mix: most between 1,000 and 20,000 atoms around a median of 3,000, some smaller
(200 to 1,000) and a few large ones (20,000 to 200,000). Files are compressed at gzip's default level,
named NNNNN_<entry>.cif.gz, and listed with their atom counts in OUT_DIR/index.tsv. The same seed
gives the same corpus.
"""
import gzip
import math
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_large_cif import tile  # noqa: E402


def atom_count(rng: random.Random) -> int:
    u = rng.random()
    if u < 0.02:
        return int(math.exp(rng.uniform(math.log(20_000), math.log(200_000))))
    if u < 0.09:
        return rng.randint(200, 1000)
    return int(min(20_000, max(1000, rng.lognormvariate(math.log(3000), 0.7))))


def read_entry(path: str) -> str:
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as f:
        return f.read()


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    options = dict(a[2:].split("=", 1) for a in sys.argv[1:] if a.startswith("--") and "=" in a)
    if len(args) != 2:
        sys.exit(__doc__)
    data, out = args
    files, seed = int(options.get("files", 2000)), int(options.get("seed", 13))
    names = sorted(n for n in os.listdir(data) if n.endswith((".cif", ".cif.gz")))
    entries = [(n.split(".")[0], read_entry(os.path.join(data, n))) for n in names]
    rng = random.Random(seed)
    os.makedirs(out, exist_ok=True)
    index = []
    for i in range(files):
        entry, text = entries[i % len(entries)]
        count = atom_count(rng)
        name = "%05d_%s.cif.gz" % (i, entry)
        with gzip.open(os.path.join(out, name), "wb", compresslevel=6) as f:
            f.write(tile(text, count).encode("utf-8"))
        index.append("%s\t%d\n" % (name, count))
    with open(os.path.join(out, "index.tsv"), "w") as f:
        f.writelines(index)


if __name__ == "__main__":
    main()
