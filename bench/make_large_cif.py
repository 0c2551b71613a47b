#!/usr/bin/env python3
"""Writes a large realistic mmCIF file by tiling the atom rows of a real entry with shifted coordinates.

usage: make_large_cif.py SOURCE.cif OUTPUT.cif ATOMS

The header and the categories after the atoms are copied once; every tile moves the source atoms by
40 A along a 10 x 10 x N grid and renumbers _atom_site.id, so the file keeps the source's columns and
one row per line.
"""
import sys


def main() -> None:
    source, output, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    lines = open(source, encoding="utf-8").read().split("\n")
    first_row = next(i for i, line in enumerate(lines) if line.startswith(("ATOM", "HETATM")))
    loop_start = max(i for i in range(first_row) if lines[i].startswith("loop_"))
    tags = [line.strip() for line in lines[loop_start + 1:first_row]]
    x, y, z, serial = (tags.index("_atom_site." + name) for name in ("Cartn_x", "Cartn_y", "Cartn_z", "id"))
    end = first_row
    while end < len(lines) and lines[end].startswith(("ATOM", "HETATM")):
        end += 1
    rows = [line.split() for line in lines[first_row:end]]
    widths = [max(len(row[k]) for row in rows) for k in range(len(tags))]
    widths[serial] = len(str(count))
    with open(output, "w", encoding="utf-8") as out:
        out.write("\n".join(lines[:first_row]) + "\n")
        written, tile = 0, 0
        while written < count:
            shift = (40.0 * (tile % 10), 40.0 * (tile // 10 % 10), 40.0 * (tile // 100))
            for row in rows:
                if written == count:
                    break
                written += 1
                row = list(row)
                row[serial] = str(written)
                for k, d in zip((x, y, z), shift):
                    row[k] = "%.3f" % (float(row[k]) + d)
                out.write(" ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip() + "\n")
            tile += 1
        out.write("\n".join(lines[end:]))


if __name__ == "__main__":
    main()
