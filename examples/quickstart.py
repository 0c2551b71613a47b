"""A first look at an entry: what it is, where its ligand sits, and how its atoms touch.

Run from the repository root after `pip install .`:  python examples/quickstart.py [path]
"""

import collections
import math
import sys
from pathlib import Path

import quarn_parser

path = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "data" / "3o5r.cif.gz"
s = quarn_parser.parse(path)  # plain or gzip, chosen by the file name

print(f"entry {s.entry_id}: {s.atom_count} atoms, space group {s.space_group}")
cell = s.unit_cell()
if cell:
    (a, b, c), (alpha, beta, gamma) = cell
    print(f"cell {a} x {b} x {c} A, angles {alpha} / {beta} / {gamma} degrees")

# An unbounded search from any point lists every positioned atom, and every amino-acid residue.
everything = s.nearest_atoms((0.0, 0.0, 0.0), math.inf, s.atom_count)
protein = {r.comp_id for r in s.nearest_residues((0.0, 0.0, 0.0), math.inf, s.atom_count)}
ligands = collections.Counter(hit.label_comp_id for hit in everything if hit.label_comp_id not in protein | {"HOH"})
if ligands:
    ligand, size = ligands.most_common(1)[0]
    print(f"\nligand {ligand} ({size} atoms); nearest protein residues:")
    nearest = {}
    for hit in everything:
        if hit.label_comp_id != ligand:
            continue
        for residue in s.nearest_residues(hit.position, 4.0, 100):
            key = (residue.chain_id, residue.seq_id, residue.comp_id)
            nearest[key] = min(nearest.get(key, math.inf), residue.distance)
    for (chain, seq, comp), distance in sorted(nearest.items(), key=lambda item: item[1])[:6]:
        print(f"  {comp} {chain}{seq:<4} {distance:.2f} A")

contacts = s.contacts(4.0)
print(f"\n{len(contacts)} atom pairs within 4 A:")
for classification, count in collections.Counter(c.classification for c in contacts).most_common():
    print(f"  {classification:<14}{count:>7}")
