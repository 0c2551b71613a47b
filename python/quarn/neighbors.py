"""Nearest atoms of many points in one call, in CSR form."""

from __future__ import annotations

from typing import List, Optional, Tuple

from quarn_parser import Structure

from quarn import _native
from quarn._native import Column


class Neighbors:
    """The atoms near each of m origins: origin k's hits are rows ``offsets[k]`` to
    ``offsets[k + 1]`` of ``indices`` (int64 atom indices) and ``distances`` (float64, ångström),
    exactly the rows and order of ``structure.nearest_atoms(origin k, max_distance, max_results)``:
    nearest first, equal distances by atom index. ``len()`` counts origins; with numpy,
    ``numpy.split(numpy.asarray(n.indices), numpy.asarray(n.offsets)[1:-1])`` gives one array each.
    """

    __slots__ = ("offsets", "indices", "distances")

    def __init__(self, offsets: Column, indices: Column, distances: Column) -> None:
        self.offsets, self.indices, self.distances = offsets, indices, distances

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def hits(self, k: int) -> List[Tuple[int, float]]:
        """Origin ``k``'s hits as (atom index, distance) pairs, nearest first."""
        if not 0 <= k < len(self):
            raise IndexError("origin index out of range")
        return [(self.indices[r], self.distances[r]) for r in range(self.offsets[k], self.offsets[k + 1])]

    def __repr__(self) -> str:
        return f"<quarn.Neighbors: {len(self)} origins, {len(self.indices)} hits>"


def nearest_atoms(
    structure: Structure, origins, max_distance: float, max_results: Optional[int] = None
) -> Neighbors:
    """The positioned atoms of ``structure`` within ``max_distance`` ångström (inclusive) of each
    origin, nearest first, at most ``max_results`` per origin (None: all).

    ``origins`` is an m x 3 array (numpy, of any float or integer type; read in place) or a
    sequence of (x, y, z). Each origin's hits are those of ``structure.nearest_atoms`` for it, in
    its order. Raises TypeError or ValueError naming ``origins`` for another type or shape, or for a
    coordinate that is not finite; TypeError or OverflowError for the other arguments as the method
    does; MemoryError when the hits cannot fit. Runs without the interpreter lock, on several
    threads for large batches; the result does not depend on how the origins are split.
    """
    return Neighbors(*_native.nearest_atoms(structure, origins, max_distance, max_results))
