"""quarn: the atoms and the answers of quarn_parser structures as numpy-ready arrays.

quarn works on ``quarn_parser.Structure`` objects and adds what one object per atom or per row
cannot give at scale: every field of every atom as a column, and the bulk queries (contacts,
bonds, the bond graph, distance matrices, nearest atoms of many points) as arrays, with exactly the
rows, values and order of the ``Structure`` methods they mirror; one computation lies behind both.

Columns (``quarn.Column``) need no numpy: they read as sequences of Python numbers. With numpy,
``numpy.asarray(column)`` shares the column's memory without a copy, read-only, and that memory
stays valid as long as any array refers to it, also after the Structure is gone. quarn never
imports numpy, pandas or scipy itself.

    >>> import numpy, quarn, quarn_parser
    >>> s = quarn_parser.parse("examples/data/3o5r.cif.gz")
    >>> xyz = numpy.asarray(quarn.positions(s))          # n x 3 float64
    >>> pairs = quarn.contacts(s, 4.0)                     # first, second, distance, classification
    >>> graph = quarn.bond_graph(s, True, 0.4)              # CSR: indptr, indices, bond_type

``quarn.load(path)`` reads a file without the interpreter lock; ``quarn.load_many(paths)`` and
``quarn.iter_load(paths)`` read many on several threads, each failure a ``quarn.ReadError`` (a
ValueError; also FileNotFoundError and the like for the operating system's failures) in its slot.

From a shell, the command ``quarn`` (also ``python -m quarn``) lists a summary per entry, contacts,
atoms near a point and bonds as TSV, CSV or JSON lines: ``quarn --help``.

``quarn.INFLATER`` names the library that inflates gzip files in this build (for example
"isa-l 2.30.0", or "zlib 1.2.13" where the build had no faster one): quote it in bug reports.
"""

from quarn._native import INFLATER
from quarn._native import VERSION as __version__
from quarn._native import Column
from quarn.atoms import (
    ATOM_FIELDS,
    INT_ABSENT,
    AtomColumns,
    Header,
    TextColumn,
    atom_absent,
    atom_column,
    atoms,
    header,
    positions,
)
from quarn.bonds import BOND_TYPES, BondEdges, BondGraph, BondPairs, bond_graph, explicit_bonds
from quarn.contacts import CONTACT_CLASSES, Contacts, contacts
from quarn.errors import ReadError
from quarn.load import iter_load, load, load_many
from quarn.matrix import DistanceMatrix, distance_matrix
from quarn.neighbors import Neighbors, nearest_atoms
from quarn.select import altloc, euclidean, model, parent_indices, select, source_cell

__all__ = [
    "INFLATER",
    "ATOM_FIELDS",
    "BOND_TYPES",
    "CONTACT_CLASSES",
    "INT_ABSENT",
    "AtomColumns",
    "BondEdges",
    "BondGraph",
    "BondPairs",
    "Column",
    "Contacts",
    "DistanceMatrix",
    "Header",
    "Neighbors",
    "ReadError",
    "TextColumn",
    "altloc",
    "atom_absent",
    "atom_column",
    "atoms",
    "bond_graph",
    "contacts",
    "distance_matrix",
    "euclidean",
    "explicit_bonds",
    "header",
    "iter_load",
    "load",
    "load_many",
    "model",
    "nearest_atoms",
    "parent_indices",
    "positions",
    "select",
    "source_cell",
]
