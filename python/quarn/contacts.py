"""Contacts as columns: every atom pair within a cutoff, as ``Structure.contacts`` lists them."""

from __future__ import annotations

from typing import Optional, Tuple

from quarn_parser import Structure

from quarn import _native
from quarn._native import Column
from quarn._rows import Rows

#: The contact class names by code: ``CONTACT_CLASSES[code]`` is the ``Contact.classification`` text.
CONTACT_CLASSES: Tuple[str, ...] = _native.CONTACT_CLASSES


class Contacts(Rows):
    """The rows of ``Structure.contacts`` as columns, in the same order (nearest first; equal
    distances by first, then second index):

    - ``first``, ``second``: int64 atom indices, first < second;
    - ``distance``: float64, in ångström;
    - ``classification``: uint8 codes into ``CONTACT_CLASSES``
      (``pandas.Categorical.from_codes(c.classification, quarn.CONTACT_CLASSES)``).

    The columns are views into the one array of rows the search filled (32 bytes a row).
    """

    __slots__ = ("first", "second", "distance", "classification")

    def __init__(self, first: Column, second: Column, distance: Column, classification: Column) -> None:
        self.first, self.second, self.distance, self.classification = first, second, distance, classification


def contacts(structure: Structure, cutoff: float, max_results: Optional[int] = None) -> Contacts:
    """Every pair of positioned atoms of ``structure`` within ``cutoff`` ångström (inclusive), as
    columns: exactly the rows, values and order of ``structure.contacts(cutoff, max_results)``.

    ``max_results`` keeps the nearest rows only; None keeps all. Raises ValueError "cutoff must be
    positive" for a cutoff not above zero (NaN included), TypeError or OverflowError for arguments
    of the wrong type or range, MemoryError when the rows cannot fit. The search runs without the
    interpreter lock.
    """
    return Contacts(*_native.contacts(structure, cutoff, max_results))
