#!/usr/bin/env python3
"""Writes a large, realistic mmCIF file by tiling the _atom_site rows of a real entry.

Each copy of the entry's atoms is shifted clear of the others, gets fresh atom ids and chain ids of
its own, and keeps the rest of the row (and its spacing) as written. The text before and after the
atom rows is kept once. Writes OUT/large.cif and OUT/large.cif.gz (gzip level 6, as gzip writes).
"""
import argparse
import gzip
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def split_entry(text):
    """(head, tags, rows, tail): the text up to the atom rows, the loop's tags, the rows, the rest."""
    lines = text.splitlines(keepends=True)
    start = next(i for i, l in enumerate(lines) if l.startswith("_atom_site."))
    end_tags = start
    while lines[end_tags].startswith("_atom_site."):
        end_tags += 1
    end_rows = end_tags
    while end_rows < len(lines) and lines[end_rows].startswith(("ATOM", "HETATM")):
        end_rows += 1
    tags = [l.split()[0] for l in lines[start:end_tags]]
    return "".join(lines[:end_tags]), tags, lines[end_tags:end_rows], "".join(lines[end_rows:])


CHAIN_SYMBOLS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"


def chain_code(n):
    """A short chain id for number n: A..9, then AA..99, ... (3844 ids fit in two characters)."""
    s = ""
    n += 1
    while n > 0:
        n -= 1
        s = CHAIN_SYMBOLS[n % len(CHAIN_SYMBOLS)] + s
        n //= len(CHAIN_SYMBOLS)
    return s


def put(pieces, column, value):
    """Replaces a value; a longer one takes its growth from the padding after it, as aligned columns
    would, so rows keep about their length."""
    i = 2 * column
    grow = len(value) - len(pieces[i])
    pieces[i] = value
    if grow > 0 and i + 1 < len(pieces):
        pieces[i + 1] = pieces[i + 1][: max(1, len(pieces[i + 1]) - grow)]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--source", default=os.path.join(REPO, "..", "shared", "data", "1aki.cif"))
    ap.add_argument("--atoms", type=int, default=1_000_000, help="at least this many atoms")
    ap.add_argument("--out", default=os.path.join(REPO, "bench", "out"))
    args = ap.parse_args()

    with open(args.source, encoding="utf-8") as f:
        head, tags, rows, tail = split_entry(f.read())
    col = {t: i for i, t in enumerate(tags)}
    ids = col["_atom_site.id"]
    xyz = [col["_atom_site.Cartn_x"], col["_atom_site.Cartn_y"], col["_atom_site.Cartn_z"]]
    chains = [col[t] for t in ("_atom_site.label_asym_id", "_atom_site.auth_asym_id") if t in col]
    # Every chain id of every copy is new and distinct: original ids are numbered in order of appearance.
    chain_ids = {}
    for r in rows:
        for ch in chains:
            chain_ids.setdefault(r.split()[ch], len(chain_ids))

    # Each row as alternating value and white-space pieces, so a copy keeps the row's spacing.
    pieces = [re.split(r"(\s+)", r.rstrip("\n")) for r in rows]
    coords = [[float(p[2 * c]) for c in xyz] for p in pieces]
    span = [max(c[k] for c in coords) - min(c[k] for c in coords) + 10.0 for k in range(3)]

    copies = -(-args.atoms // len(rows))
    side = max(1, round(copies ** (1 / 3)))
    os.makedirs(args.out, exist_ok=True)
    plain_path = os.path.join(args.out, "large.cif")
    next_id = 1
    with open(plain_path, "w", encoding="utf-8", newline="") as out:
        out.write(head)
        for copy in range(copies):
            shift = (copy % side * span[0], copy // side % side * span[1], copy // (side * side) * span[2])
            block = []
            for p, c in zip(pieces, coords):
                q = list(p)
                put(q, ids, str(next_id))
                next_id += 1
                for k in range(3):
                    put(q, xyz[k], f"{c[k] + shift[k]:.3f}")
                for ch in chains:
                    put(q, ch, chain_code(copy * len(chain_ids) + chain_ids[p[2 * ch]]))
                block.append("".join(q))
            out.write("\n".join(block))
            out.write("\n")
        out.write(tail)
    with open(plain_path, "rb") as src, gzip.open(plain_path + ".gz", "wb", compresslevel=6) as dst:
        while chunk := src.read(1 << 20):
            dst.write(chunk)
    size = os.path.getsize(plain_path)
    print(f"{plain_path}: {next_id - 1} atoms, {size / 1e6:.1f} MB; "
          f"gzip {os.path.getsize(plain_path + '.gz') / 1e6:.1f} MB", file=sys.stderr)


if __name__ == "__main__":
    main()
