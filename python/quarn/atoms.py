"""Columns of a Structure's atoms: every field of the atom record and the values the queries derive.

Each column is built when it is asked for, in one pass over the atoms, and owns its memory: it stays
valid after the Structure is gone. How absent values read:

- real numbers (x, y, z, occupancy, b_factor, covalent_radius, electronegativity): NaN;
- integers (label_seq_id, auth_seq_id, model_num, formal_charge, seq_id): int32, with
  -2147483648 (``INT_ABSENT``) standing in, far from any residue number, model or charge, so that it
  shows at once in a table where 0 would pass for a value. Since a file may write that very number
  (the reader takes every 32-bit integer), the exact test
  is ``atom_absent(structure, name)``, a bool mask whose True means absent, as numpy.ma and pandas'
  nullable arrays take it: ``numpy.ma.masked_array(values, mask)``, ``pandas.arrays.IntegerArray``;
- texts: a ``TextColumn`` of int32 codes into its distinct texts, -1 where absent; it reads as str
  or None, and as ``pandas.Categorical.from_codes(column.codes, column.categories)``.

``atom_absent`` serves every field alike (a real column's NaN may also be a NaN the file wrote).
"""

from __future__ import annotations

import sys
from typing import Dict, Iterator, NamedTuple, Optional, Tuple, Union

from quarn_parser import Structure

from quarn import _native
from quarn._native import Column

#: The 1-D columns, in table order: the atom record's fields (x, y and z for the position), then the
#: values derived from them: chain_id (label_asym_id, else auth_asym_id), seq_id (label_seq_id, else
#: auth_seq_id), element (the element table's symbol, found from type_symbol, else label_atom_id,
#: else auth_atom_id), and that element's covalent_radius and electronegativity.
ATOM_FIELDS: Tuple[str, ...] = tuple(name for name, _ in _native.ATOM_FIELDS)

#: What an absent integer reads as in an int32 column; atom_absent() tells it from the same number.
INT_ABSENT = -(2**31)

_COORDINATE = {"x": 0, "y": 1, "z": 2}


class TextColumn:
    """A column of texts, absent ones included, as codes into the distinct texts.

    ``codes`` is an int32 Column (-1 where absent) and ``categories`` the tuple of distinct texts
    in order of first appearance, so ``categories[codes[i]]`` is atom i's text. ``column[i]``,
    iteration and ``tolist()`` give str or None; ``numpy.asarray(column)`` gives an object array of
    str and None, and ``pandas.Categorical.from_codes(column.codes, column.categories)`` a
    categorical one without building a str per atom.
    """

    __slots__ = ("codes", "categories")

    def __init__(self, codes: Column, categories: Tuple[str, ...]) -> None:
        self.codes = codes
        self.categories = categories

    def __len__(self) -> int:
        return len(self.codes)

    def __getitem__(self, i: Union[int, slice]):
        if isinstance(i, slice):
            return TextColumn(self.codes[i], self.categories)
        code = self.codes[i]
        return None if code < 0 else self.categories[code]

    def __iter__(self) -> Iterator[Optional[str]]:
        return iter(self.tolist())

    def tolist(self) -> list:
        """Every text as a list of str and None."""
        texts = self.categories + (None,)  # code -1 picks the last
        return [texts[code] for code in self.codes.tolist()]

    def __array__(self, dtype=None, copy=None):
        # Whoever asks for __array__ has loaded numpy; quarn never imports it.
        numpy = sys.modules["numpy"]
        texts = numpy.array(self.categories + (None,), dtype=object)
        return texts[numpy.asarray(self.codes)].astype(dtype or object, copy=False)

    def __repr__(self) -> str:
        return f"<quarn.TextColumn ({len(self)},), {len(self.categories)} distinct>"


AnyColumn = Union[Column, TextColumn]


def _column(structure: Structure, name: str) -> AnyColumn:
    built = _native.atom_column(structure, name)
    return TextColumn(*built) if isinstance(built, tuple) else built


def atom_column(structure: Structure, name: str) -> AnyColumn:
    """One column of every atom of ``structure``, in atom index order.

    ``name`` is one of ``ATOM_FIELDS``, or "position" for the n x 3 float64 column of x, y, z (NaN
    for a coordinate the file left out; the queries skip an atom unless all three are present).
    Raises KeyError for another name, MemoryError when the column cannot fit.
    """
    if name in _COORDINATE:
        return _native.component(_column(structure, "position"), _COORDINATE[name])
    return _column(structure, name)


def positions(structure: Structure) -> Column:
    """The n x 3 float64 column of every atom's x, y, z of ``structure``: ``atom_column(structure,
    "position")``."""
    return _native.atom_column(structure, "position")


def atom_absent(structure: Structure, name: str) -> Column:
    """A bool column over the atoms of ``structure``, True where atom i has no value for ``name``
    (one of ``ATOM_FIELDS`` or "position", which is absent unless x, y and z are all present)."""
    return _native.atom_absent(structure, name)


class AtomColumns(Dict[str, AnyColumn]):
    """A dict of atom columns by name, in the order asked for; ``pandas.DataFrame(columns)`` makes a
    table of them (every column but "position", which is 2-D)."""

    __slots__ = ()


def atoms(structure: Structure, *names: str) -> AtomColumns:
    """The columns ``names`` of every atom of ``structure`` (all of ``ATOM_FIELDS`` when none are
    named) as a dict: ``pandas.DataFrame(quarn.atoms(s))`` is the whole atom table.

    Only the columns named are built; x, y and z share the memory of one position column.
    """
    wanted = names or ATOM_FIELDS
    table = AtomColumns()
    position = None
    for name in wanted:
        if name == "position" or name in _COORDINATE:
            if position is None:
                position = positions(structure)
            table[name] = position if name == "position" else _native.component(position, _COORDINATE[name])
        else:
            table[name] = _column(structure, name)
    return table


class Header(NamedTuple):
    """The structure's own texts: entry id, title (``_struct.title``), space group, and the unit
    cell as ((a, b, c), (alpha, beta, gamma)); each None when the file has none."""

    entry_id: Optional[str]
    title: Optional[str]
    space_group: Optional[str]
    cell: Optional[Tuple[Tuple[float, float, float], Tuple[float, float, float]]]


def header(structure: Structure) -> Header:
    """The entry id, title, space group and cell of ``structure``."""
    return Header(*_native.header(structure))
