"""The shape shared by the array results that are tables: named columns of equal length."""

from __future__ import annotations

from typing import Dict, Tuple

from quarn._native import Column


class Rows:
    """Equal-length columns as attributes; ``len()`` counts rows, ``columns()`` gives them as a dict
    (``pandas.DataFrame(rows.columns())`` makes a table)."""

    __slots__: Tuple[str, ...] = ()

    def __len__(self) -> int:
        return len(getattr(self, self.__slots__[0]))

    def columns(self) -> Dict[str, Column]:
        """The columns by name, in order."""
        return {name: getattr(self, name) for name in self.__slots__}

    def __repr__(self) -> str:
        return f"<quarn.{type(self).__name__}: {len(self)} rows of {', '.join(self.__slots__)}>"
