"""What the two packages show: quarn_parser's surface exactly as specified, quarn documented, neither leaking."""

import inspect
import re
from pathlib import Path

import numpy as np
import pytest

import quarn
import quarn_parser
from conftest import REPO_ROOT, atom
from test_lifetime import growth, raising

# Every attribute of every class: a new public name, method or special method anywhere fails here.
QUARN_PARSER_SURFACE = {
    "Structure": {"atom_count", "entry_id", "space_group", "unit_cell", "bounding_box", "contacts", "nearest_atoms",
                  "nearest_residues", "dense_distance_matrix", "sparse_adjacency", "explicit_bonds", "atom_profile"},
    "AtomHit": {"index", "distance", "label_atom_id", "label_comp_id", "chain_id", "seq_id", "element", "position"},
    "ResidueHit": {"comp_id", "chain_id", "seq_id", "distance"},
    "DistanceMatrix": {"atom_indices", "distances"},
    "BondNeighbor": {"index", "bond_type"},
    "Contact": {"first", "second", "distance", "classification"},
    "AtomProfile": {"index", "label_atom_id", "label_comp_id", "chain_id", "seq_id", "element", "occupancy", "b_factor",
                    "formal_charge", "position", "electronegativity", "hybridization", "neighbor_indices",
                    "neighbor_bonds"},
}


def test_quarn_parser_surface_is_unchanged():
    assert quarn_parser.__all__ == [*QUARN_PARSER_SURFACE, "parse"]
    assert {n for n in vars(quarn_parser) if not n.startswith("_")} == set(quarn_parser.__all__)
    assert quarn_parser.parse.__doc__ is None
    for name, attributes in QUARN_PARSER_SURFACE.items():
        cls = getattr(quarn_parser, name)
        assert set(vars(cls)) == attributes | {"__doc__", "__module__", "__new__"}, name
        assert cls.__doc__ is None
        assert all(getattr(cls, a).__doc__ is None for a in attributes), name


def test_version_and_inflater_are_the_builds():
    declared = re.search(r'^version = "([^"]+)"$', (REPO_ROOT / "pyproject.toml").read_text(), re.M).group(1)
    assert quarn.__version__ == declared
    # A library name and the version it reports at run time, something a bug report can quote.
    assert re.fullmatch(r"(isa-l|zlib) \d+(\.\d+)+", quarn.INFLATER), quarn.INFLATER


def test_every_public_name_of_quarn_is_documented_and_typed():
    assert sorted(quarn.__all__) == sorted(n for n in vars(quarn) if not n.startswith("_") and not
                                           inspect.ismodule(getattr(quarn, n)))
    for name in quarn.__all__:
        obj = getattr(quarn, name)
        if callable(obj):
            assert obj.__doc__ and len(obj.__doc__) > 40, name
        if inspect.isfunction(obj):
            hints = inspect.signature(obj)
            assert hints.return_annotation is not inspect.Signature.empty, name
        if inspect.isclass(obj):
            methods = [m for n, m in vars(obj).items() if not n.startswith("_") and callable(m)]
            assert all(m.__doc__ for m in methods), name
    installed = Path(quarn.__file__).parent
    assert (installed / "py.typed").exists() and (installed / "_native.pyi").exists()


def stub_names(path):
    return set(re.findall(r"^(?:def|class) (\w+)", path.read_text(), re.M)) | \
        set(re.findall(r"^(\w+): ", path.read_text(), re.M))


def test_native_stub_lists_the_native_module():
    from quarn import _native

    public = {n for n in vars(_native) if not n.startswith("_")}
    assert stub_names(REPO_ROOT / "python" / "quarn" / "_native.pyi") == public


@pytest.fixture(scope="module")
def structure(tmp_path_factory):
    from conftest import cif_text

    path = tmp_path_factory.mktemp("quarn") / "leaks.cif"
    path.write_text(cif_text([atom("C", 1.5 * i, 0.3 * i, 0, seq=i, comp="ALA") for i in range(12)],
                             cell=(40, 40, 40, 90, 90, 90)))
    return quarn_parser.parse(path)


def leak_cases(s):
    origins = np.zeros((3, 3))
    return {
        "atoms": lambda: [c.tolist() for c in quarn.atoms(s).values()],
        "absent": lambda: quarn.atom_absent(s, "position").tolist(),
        "header": lambda: quarn.header(s),
        "arrays": lambda: [np.asarray(c) for c in quarn.atoms(s, "x", "label_comp_id", "position").values()],
        "text to numpy": lambda: np.asarray(quarn.atom_column(s, "label_atom_id")),
        "contacts": lambda: quarn.contacts(s, 4.0).columns(),
        "bond graph": lambda: quarn.bond_graph(s, True, 0.4).edges().columns(),
        "explicit bonds": lambda: quarn.explicit_bonds(s).first.tolist(),
        "matrix": lambda: np.asarray(quarn.distance_matrix(s, [0, 3, 3]).distances),
        "nearest": lambda: quarn.nearest_atoms(s, origins, 5.0, 2).hits(2),
        "nearest sequences": lambda: quarn.nearest_atoms(s, [(0, 0, 0), [1, 1, 1]], 5.0).indices.tolist(),
        "cutoff": raising(ValueError, lambda: quarn.contacts(s, -1.0)),
        "structure type": raising(TypeError, lambda: quarn.contacts(None, 1.0)),
        "flag": raising(TypeError, lambda: quarn.bond_graph(s, 1, 0.4)),
        "origins": raising(ValueError, lambda: quarn.nearest_atoms(s, [(0, 0, 0), (0, 0)], 1.0)),
        "origins array": raising(ValueError, lambda: quarn.nearest_atoms(s, np.ones((2, 4)), 1.0)),
        "field": raising(KeyError, lambda: quarn.atom_column(s, "nope")),
        "memory": raising(MemoryError, lambda: quarn.distance_matrix(s, [0] * 200_000)),
    }


@pytest.mark.parametrize("case", list(leak_cases(None)))
def test_repeated_calls_hold_no_memory(structure, case):
    assert growth(leak_cases(structure)[case], repeats=200) < 40
