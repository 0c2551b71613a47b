"""Bonds as arrays: the declared bonds, and the bond graph (declared plus geometric) in CSR form."""

from __future__ import annotations

from typing import Tuple

from quarn_parser import Structure

from quarn import _native
from quarn._native import Column
from quarn._rows import Rows

#: The bond type names by code: ``BOND_TYPES[code]`` is the ``BondNeighbor.bond_type`` text; the
#: code -1 stands for a bond without a type (``bond_type`` None).
BOND_TYPES: Tuple[str, ...] = _native.BOND_TYPES


class BondPairs(Rows):
    """The pairs of ``Structure.explicit_bonds()`` as two int64 columns, ``first`` < ``second``, in
    the same order (by first index, then in file order); a bond given twice is listed twice."""

    __slots__ = ("first", "second")

    def __init__(self, first: Column, second: Column) -> None:
        self.first, self.second = first, second


class BondEdges(Rows):
    """Each bond of a ``BondGraph`` once, as an edge list: ``first`` < ``second`` (int64) and
    ``bond_type`` (int8 codes into ``BOND_TYPES``, -1 for none), in graph order: by first atom,
    then in the order of its neighbour list. A bond of an atom to itself is left out."""

    __slots__ = ("first", "second", "bond_type")

    def __init__(self, first: Column, second: Column, bond_type: Column) -> None:
        self.first, self.second, self.bond_type = first, second, bond_type


class BondGraph:
    """Every atom's bonded neighbours in CSR form: the neighbours of atom i are
    ``indices[indptr[i]:indptr[i + 1]]`` with types ``bond_type[indptr[i]:indptr[i + 1]]``, exactly
    the rows and order of ``Structure.sparse_adjacency`` (declared bonds first, then geometric ones
    typed "covalent_unknown"); every bond appears in the lists of both its atoms.

    - ``indptr``: int64, atom_count + 1 offsets;
    - ``indices``: int64 neighbour indices, a view into the graph's own entries;
    - ``bond_type``: int8 codes into ``BOND_TYPES``, -1 for a bond without a type.

    ``scipy.sparse.csr_matrix((numpy.ones(len(g.indices)), g.indices, g.indptr), shape=g.shape)``
    is the adjacency matrix (``g.bond_type`` as data keeps the types, code 0 being a stored entry);
    ``edges()`` lists each bond once.
    """

    __slots__ = ("indptr", "indices", "bond_type")

    def __init__(self, indptr: Column, indices: Column, bond_type: Column) -> None:
        self.indptr, self.indices, self.bond_type = indptr, indices, bond_type

    @property
    def atom_count(self) -> int:
        """Number of atoms, rows of the CSR form."""
        return len(self.indptr) - 1

    @property
    def shape(self) -> Tuple[int, int]:
        """(atom_count, atom_count), the shape of the adjacency matrix."""
        return (self.atom_count, self.atom_count)

    def edges(self) -> BondEdges:
        """Each bond once, from its lower-index atom, as an edge list (``BondEdges``)."""
        return BondEdges(*_native.graph_edges(self.indptr, self.indices, self.bond_type))

    def __repr__(self) -> str:
        return f"<quarn.BondGraph: {self.atom_count} atoms, {len(self.indices)} neighbour entries>"


def explicit_bonds(structure: Structure) -> BondPairs:
    """The bonds the file declares (``_struct_conn``, ``_chem_comp_bond``) that resolve to atoms of
    ``structure``, as columns: exactly the pairs and order of ``structure.explicit_bonds()``. Runs
    without the interpreter lock."""
    return BondPairs(*_native.explicit_bonds(structure))


def bond_graph(structure: Structure, include_geometric: bool, tolerance: float) -> BondGraph:
    """The bond graph of ``structure`` in CSR form: exactly
    ``structure.sparse_adjacency(include_geometric, tolerance)``, whose entries it shares.

    With ``include_geometric`` (True or False, as the method takes it) every pair of positioned
    atoms with a known element whose distance is at most the sum of their covalent radii plus
    ``tolerance`` ångström is bonded too, unless a declared bond joins them. Raises TypeError for a
    flag that is not a bool; MemoryError when the graph cannot fit. Runs without the interpreter lock.
    """
    return BondGraph(*_native.bond_graph(structure, include_geometric, tolerance))
