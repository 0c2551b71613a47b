"""The dense distance matrix as one 2-D array."""

from __future__ import annotations

from typing import Iterable, Optional

from quarn_parser import Structure

from quarn import _native
from quarn._native import Column


class DistanceMatrix:
    """Pairwise distances over selected atoms: ``distances`` is an n x n float64 column (ångström),
    row and column r standing for atom ``atom_indices[r]`` (int64); symmetric to the last bit, zero on
    the diagonal. Exactly the values of ``Structure.dense_distance_matrix``."""

    __slots__ = ("atom_indices", "distances")

    def __init__(self, atom_indices: Column, distances: Column) -> None:
        self.atom_indices, self.distances = atom_indices, distances

    def __len__(self) -> int:
        return len(self.atom_indices)

    def __repr__(self) -> str:
        return f"<quarn.DistanceMatrix: {len(self)} x {len(self)} atoms>"


def distance_matrix(
    structure: Structure, atom_indices: Optional[Iterable[int]] = None
) -> DistanceMatrix:
    """The distances between every two selected atoms of ``structure``: every positioned atom when
    ``atom_indices`` is None or empty, else each given index (a sequence of ints, kept in order,
    repeats included) that is in range and positioned, as ``structure.dense_distance_matrix`` selects
    them. Raises TypeError or OverflowError for indices as the method does, MemoryError before
    allocating a matrix that cannot fit. Runs without the interpreter lock.
    """
    return DistanceMatrix(*_native.distance_matrix(structure, atom_indices))
