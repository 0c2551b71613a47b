"""Shared fixtures: small mmCIF files written on the fly, and the real entries beside the repository."""

import os
from pathlib import Path

import pytest

import quarn_parser

REPO_ROOT = Path(__file__).resolve().parents[2]
# Real entries live beside the repository; QUARN_DATA_DIR points elsewhere for a work tree that has
# them in another place.
DATA_DIR = Path(os.environ.get("QUARN_DATA_DIR", REPO_ROOT.parent / "shared" / "data"))

ATOM_COLUMNS = (
    "id",
    "type_symbol",
    "label_atom_id",
    "label_comp_id",
    "label_asym_id",
    "label_seq_id",
    "auth_asym_id",
    "auth_seq_id",
    "Cartn_x",
    "Cartn_y",
    "Cartn_z",
    "occupancy",
    "B_iso_or_equiv",
    "pdbx_formal_charge",
)


def atom(element, x, y, z, *, name=None, comp="ALA", chain="A", seq=1, **fields):
    """One _atom_site row as a column -> text mapping; None writes the null value "?"."""
    row = {
        "type_symbol": element,
        "label_atom_id": name if name is not None else element,
        "label_comp_id": comp,
        "label_asym_id": chain,
        "label_seq_id": seq,
        "Cartn_x": x,
        "Cartn_y": y,
        "Cartn_z": z,
    }
    row.update(fields)
    return row


def cif_text(atoms, *, block="test", cell=None, extra="", columns=ATOM_COLUMNS):
    """An mmCIF text with one _atom_site loop over `columns`; `cell` is (a, b, c, alpha, beta, gamma)."""
    lines = [f"data_{block}"]
    if cell is not None:
        for tag, value in zip(
            ("length_a", "length_b", "length_c", "angle_alpha", "angle_beta", "angle_gamma"), cell
        ):
            lines.append(f"_cell.{tag} {value}")
    lines.append("loop_")
    lines.extend(f"_atom_site.{c}" for c in columns)
    for serial, row in enumerate(atoms, start=1):
        values = []
        for c in columns:
            value = row.get(c, serial if c == "id" else None)
            values.append("?" if value is None else str(value))
        lines.append(" ".join(values))
    lines.append(extra)
    return "\n".join(lines) + "\n"


@pytest.fixture
def write_cif(tmp_path):
    """Writes an mmCIF text (or the cif_text of a list of atoms) to a file and returns its path."""
    counter = iter(range(1_000_000))

    def write(content, name=None, **kwargs):
        text = content if isinstance(content, str) else cif_text(content, **kwargs)
        path = tmp_path / (name or f"file{next(counter)}.cif")
        path.write_text(text, encoding="utf-8")
        return path

    return write


@pytest.fixture
def load(write_cif):
    """Parses the cif_text of a list of atoms (or a whole text) and returns the Structure."""

    def parse(content, **kwargs):
        return quarn_parser.parse(write_cif(content, **kwargs))

    return parse


def data_path(name):
    path = DATA_DIR / name
    if not path.exists():
        pytest.skip(f"real entry {name} not found: {DATA_DIR} is absent (set QUARN_DATA_DIR)")
    return path


@pytest.fixture(scope="session")
def real_entry():
    """Parses a real entry of the shared data folder once per session; skips when it is absent."""
    cache = {}

    def get(name):
        if name not in cache:
            cache[name] = quarn_parser.parse(data_path(name))
        return cache[name]

    return get
