"""Selections: structures derived from another, made of some of its atoms, with or without its cell.

A derived structure is a ``quarn_parser.Structure``: every method and every function of quarn works
on it unchanged. It answers every query exactly as the file holding only its ``_atom_site`` rows, in
its order, with every other category unchanged, would (``euclidean``: as that file without its
``_cell`` items). Deriving reads no text again: it copies the selected atom records (and the few texts
too long to sit in one), shares nothing that the parent could free, and builds its own bond graph and
spatial index on first use. The parent stays valid and unchanged, and the derived structure outlives
it. Each derivation runs without the interpreter lock.
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple, Union

from quarn_parser import Structure

from quarn import _native
from quarn._native import Column


def select(structure: Structure, atoms: Union[Sequence[bool], Sequence[int]]) -> Structure:
    """The structure made of some atoms of ``structure``.

    ``atoms`` is either a boolean mask with one value per atom (a numpy bool array, a
    ``quarn.Column``, a list of ``True``/``False``), which keeps the atoms where it is true, in file
    order; or atom indices (a numpy integer array, a list, a ``range``), which keep those atoms in the
    order given: atom k of the result is atom ``atoms[k]``.

    Raises TypeError for anything else (a float, a list mixing booleans and integers), ValueError for
    a mask of the wrong length, an index given twice or an empty selection (a structure always has
    at least one atom), IndexError for a negative index or one not below ``structure.atom_count``.
    """
    return _native.select(structure, atoms)


def model(structure: Structure, model_num: Optional[int] = None) -> Structure:
    """The atoms of one model of ``structure`` (``pdbx_PDB_model_num``), in file order.

    ``model_num`` None takes the model of the first atom in file order; atoms without a model number
    count as one model. Raises ValueError when no atom has model number ``model_num``, TypeError when
    it is not an int.
    """
    return _native.model(structure, model_num)


def altloc(structure: Structure, alt_id: Optional[str] = None) -> Structure:
    """One conformation of ``structure``: the atoms without an alternate location (``label_alt_id``)
    and, of the others, those of location ``alt_id``, in file order.

    With ``alt_id`` None, each residue keeps the atoms of the first alternate location that appears
    in it in file order (a residue: model number, chain and sequence number, as in every answer; its
    residue name does not count, so of two alternative residue types only the first is kept). This
    is the first location, not the one of highest occupancy. Raises ValueError when no atom has
    location ``alt_id``, TypeError when it is not a str.
    """
    return _native.altloc(structure, alt_id)


def euclidean(structure: Structure) -> Structure:
    """The atoms of ``structure`` without the periodicity of its cell: every distance is the plain
    one between the file's coordinates, and ``unit_cell()`` gives None, as for the file without its
    ``_cell`` items. ``quarn.source_cell`` still reports the cell.
    """
    return _native.euclidean(structure)


def parent_indices(structure: Structure) -> Column:
    """For each atom of ``structure``, its index in the structure that was parsed (int64): derived
    through any chain of selections, atom i is atom ``parent_indices(structure)[i]`` of the file.
    For a parsed structure, 0, 1, ... ``structure.atom_count - 1``.
    """
    return _native.parent_indices(structure)


def source_cell(structure: Structure) -> Optional[Tuple[Tuple[float, float, float], Tuple[float, float, float]]]:
    """The cell of the structure ``structure`` was derived from, as ``unit_cell()`` gives it there:
    ((a, b, c), (alpha, beta, gamma)), or None when the file had none. Also after ``euclidean``,
    which drops the cell from ``structure`` itself. For a parsed structure, its ``unit_cell()``.
    """
    return _native.source_cell(structure)
