#!/usr/bin/env python3
"""Writes a large realistic mmCIF file by tiling the atom rows of a real entry with shifted coordinates.

usage: make_large_cif.py SOURCE.cif OUTPUT.cif ATOMS [--gzip] [--cell=keep|none|enclose]

The header and the categories after the atoms are copied once; every tile moves the source atoms by
40 A along a 10 x 10 x N grid, renumbers _atom_site.id and gives each of its chains an id of its own
(label_asym_id and auth_asym_id), so the file keeps the source's columns and one row per line. With
--gzip, OUTPUT.gz is written too, at gzip's default level. The source's _cell items are kept as they
are (--cell=keep, the default: a small cell that the tiles spread far beyond), left out (--cell=none:
no periodic cell) or replaced by an orthogonal cell that encloses the tile grid (--cell=enclose: the
tiles form one periodic crystal, the last tile next to the first across each face).
"""
import gzip
import shutil
import sys

CHAIN_SYMBOLS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"


def chain_code(n: int) -> str:
    """A short chain id for number n: A..9, then AA..99, ... (3906 ids within two characters)."""
    s = ""
    n += 1
    while n > 0:
        n -= 1
        s = CHAIN_SYMBOLS[n % len(CHAIN_SYMBOLS)] + s
        n //= len(CHAIN_SYMBOLS)
    return s


def with_cell(lines: list, mode: str, edges: tuple) -> list:
    """The lines outside the atom rows with the _cell items kept, dropped or set to `edges`."""
    if mode == "keep":
        return lines
    values = {"_cell.length_a": edges[0], "_cell.length_b": edges[1], "_cell.length_c": edges[2],
              "_cell.angle_alpha": 90.0, "_cell.angle_beta": 90.0, "_cell.angle_gamma": 90.0}
    out = []
    for line in lines:
        tag = line.split()[0] if line.split() else ""
        if not tag.startswith("_cell."):
            out.append(line)
        elif mode == "enclose" and tag in values:
            out.append("%s %.3f" % (tag, values[tag]))
    return out


def tile(text: str, count: int, cell: str = "keep") -> str:
    """The mmCIF text of `text` tiled to `count` atoms (see the module's description)."""
    lines = text.split("\n")
    first_row = next(i for i, line in enumerate(lines) if line.startswith(("ATOM", "HETATM")))
    loop_start = max(i for i in range(first_row) if lines[i].startswith("loop_"))
    tags = [line.strip() for line in lines[loop_start + 1:first_row]]
    x, y, z, serial = (tags.index("_atom_site." + name) for name in ("Cartn_x", "Cartn_y", "Cartn_z", "id"))
    chains = [tags.index(t) for t in ("_atom_site.label_asym_id", "_atom_site.auth_asym_id") if t in tags]
    end = first_row
    while end < len(lines) and lines[end].startswith(("ATOM", "HETATM")):
        end += 1
    rows = [line.split() for line in lines[first_row:end]]
    # The source's chain ids, numbered in order of appearance; tile t uses numbers t * n ... t * n + n - 1.
    chain_number = {}
    for row in rows:
        for k in chains:
            chain_number.setdefault(row[k], len(chain_number))
    tiles = -(-count // len(rows))
    widths = [max(len(row[k]) for row in rows) for k in range(len(tags))]
    widths[serial] = len(str(count))
    for k in chains:
        widths[k] = max(widths[k], len(chain_code(tiles * len(chain_number) - 1)))
    edges = (40.0 * min(tiles, 10), 40.0 * min(-(-tiles // 10), 10), 40.0 * -(-tiles // 100))
    out = ["\n".join(with_cell(lines[:first_row], cell, edges)) + "\n"]
    written, tile_number = 0, 0
    while written < count:
        shift = (40.0 * (tile_number % 10), 40.0 * (tile_number // 10 % 10), 40.0 * (tile_number // 100))
        for row in rows:
            if written == count:
                break
            written += 1
            row = list(row)
            row[serial] = str(written)
            for k, d in zip((x, y, z), shift):
                row[k] = "%.3f" % (float(row[k]) + d)
            for k in chains:
                row[k] = chain_code(tile_number * len(chain_number) + chain_number[row[k]])
            out.append(" ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip() + "\n")
        tile_number += 1
    out.append("\n".join(with_cell(lines[end:], cell, edges)))
    return "".join(out)


def main() -> None:
    cell = next((a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--cell=")), "keep")
    if cell not in ("keep", "none", "enclose"):
        sys.exit("make_large_cif.py: --cell must be keep, none or enclose")
    args = [a for a in sys.argv[1:] if a != "--gzip" and not a.startswith("--cell=")]
    source, output, count = args[0], args[1], int(args[2])
    with open(output, "w", encoding="utf-8") as out:
        out.write(tile(open(source, encoding="utf-8").read(), count, cell))
    if "--gzip" in sys.argv[1:]:
        with open(output, "rb") as src, gzip.open(output + ".gz", "wb", compresslevel=6) as dst:
            shutil.copyfileobj(src, dst, 1 << 20)


if __name__ == "__main__":
    main()
