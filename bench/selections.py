"""Times quarn's selections on the 1M-atom file against parsing the same atoms from text, in one run.

  derive          quarn.model(s) (the first model, here every atom: the most a model can copy) and
                  quarn.select of the first half of the atoms (a numpy array of indices), against quarn_parser.parse of a file
                  holding exactly those rows. Target: deriving takes at most a tenth of parsing.
  queries         contacts within 4 A and the bond graph with geometric bonds (0.4 A) as arrays, on a
                  fresh derived structure and on a fresh parsed one with the same atoms (each first
                  call builds the spatial index and the bond graph). Target: the same time.

Times are wall seconds, the best of --repeat runs; only ratios from one run mean anything on a shared
machine. Run with the project's venv from the repository root: .venv/bin/python bench/selections.py
"""

import argparse
import os
import sys
from pathlib import Path

import numpy as np

import quarn
import quarn_parser
from arrays import generate
from speed import line, timed

REPO = Path(__file__).resolve().parents[1]


def half_file(path):
    """A file beside `path` with the first half of its atom rows (one row a line) and nothing else changed."""
    out = path.with_name(path.stem + "_half.cif")
    if out.exists():
        return out
    lines = path.read_text().splitlines(keepends=True)
    first = next(k for k, text in enumerate(lines) if text.startswith("_atom_site."))
    start = next(k for k in range(first, len(lines)) if not lines[k].startswith("_atom_site."))
    end = next(k for k in range(start, len(lines)) if lines[k].startswith(("#", "_", "loop_")))
    out.write_text("".join(lines[:start] + lines[start:start + (end - start) // 2] + lines[end:]))
    return out


def queries(structure):
    quarn.contacts(structure, 4.0)
    quarn.bond_graph(structure, True, 0.4)


def compare(name, path, derive, repeat):
    parsed_seconds, _, parsed = timed(lambda: quarn_parser.parse(path), repeat)
    derive_seconds, _, derived = timed(derive, repeat)
    assert quarn.header(derived) == quarn.header(parsed) and derived.atom_count == parsed.atom_count
    line(f"{name}: parse {parsed.atom_count:,} atoms", parsed_seconds, [("derive", derive_seconds)],
         f"deriving takes {derive_seconds / parsed_seconds:.1%} of parsing")
    # A fresh structure for every call, made before the clock starts: the first queries build the caches.
    del parsed, derived
    fresh = {"parsed": lambda: quarn_parser.parse(path), "derived": derive}
    seconds = {}
    for kind, make in fresh.items():
        made = [make() for _ in range(repeat)]
        seconds[kind], _, _ = timed(lambda: queries(made.pop()), repeat)
        del made
    line(f"{name}: contacts(4) + bond graph", seconds["parsed"], [("on the derived", seconds["derived"])],
         "first calls on fresh structures")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large-atoms", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path,
                        default=Path(os.environ.get("QUARN_DATA_DIR", REPO.parent / "shared" / "data")))
    args = parser.parse_args()
    print(f"quarn {quarn.__version__}; {os.cpu_count()} processors; load average {os.getloadavg()[0]:.1f}", flush=True)
    path = generate(args.data, args.large_atoms)
    s = quarn_parser.parse(path)
    compare("first model", path, lambda: quarn.model(s), args.repeat)
    half = np.arange(s.atom_count // 2)
    compare("first half", half_file(path), lambda: quarn.select(s, half), args.repeat)


if __name__ == "__main__":
    sys.exit(main())
