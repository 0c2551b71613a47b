"""The module object, its registrations, and the traits every class shares."""

import inspect
import weakref

import pytest

import quarn_parser
from conftest import atom

CLASSES = ("Structure", "AtomHit", "ResidueHit", "DistanceMatrix", "BondNeighbor", "Contact", "AtomProfile")


def test_all_lists_the_registrations_in_order_with_parse_last():
    assert quarn_parser.__all__ == [*CLASSES, "parse"]
    names = [n for n in vars(quarn_parser) if n in quarn_parser.__all__]
    assert names == quarn_parser.__all__


def test_module_docstring_is_empty_and_parse_is_bound_to_the_module():
    assert quarn_parser.__doc__ == ""
    assert quarn_parser.__name__ == "quarn_parser"
    assert quarn_parser.parse.__module__ == "quarn_parser"
    assert quarn_parser.parse.__self__ is quarn_parser
    assert quarn_parser.parse.__text_signature__ == "(path)"
    assert quarn_parser.parse.__doc__ is None


def test_import_after_removal_shares_the_classes(monkeypatch):
    import importlib
    import sys

    assert importlib.import_module("quarn_parser") is quarn_parser
    monkeypatch.delitem(sys.modules, "quarn_parser")
    again = importlib.import_module("quarn_parser")
    assert again.__all__ == quarn_parser.__all__
    assert all(getattr(again, name) is getattr(quarn_parser, name) for name in CLASSES)


@pytest.fixture
def instances(load):
    s = load(
        [atom("C", 0, 0, 0), atom("C", 1.54, 0, 0, name="CB")],
        extra="loop_\n_struct_conn.conn_type_id\n_struct_conn.ptnr1_label_atom_id\n"
        "_struct_conn.ptnr2_label_atom_id\ncovale C CB\n",
    )
    profile = s.atom_profile(0, False, 0.0)
    return {
        "Structure": s,
        "AtomHit": s.nearest_atoms((0.0, 0.0, 0.0), 5.0, 1)[0],
        "ResidueHit": s.nearest_residues((0.0, 0.0, 0.0), 5.0, 1)[0],
        "DistanceMatrix": s.dense_distance_matrix(),
        "BondNeighbor": profile.neighbor_bonds[0],
        "Contact": s.contacts(2.0)[0],
        "AtomProfile": profile,
    }


@pytest.mark.parametrize("name", CLASSES)
def test_class_names_docs_and_bases(name):
    cls = getattr(quarn_parser, name)
    assert cls.__module__ == "quarn_parser"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_constructed(name):
    cls = getattr(quarn_parser, name)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls(1, key=2)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls.__new__(cls)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final(name):
    cls = getattr(quarn_parser, name)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", CLASSES)
def test_instances_have_no_dict_no_weakref_and_read_only_attributes(instances, name):
    obj = instances[name]
    assert type(obj).__module__ == "quarn_parser"
    assert type(obj) is getattr(quarn_parser, name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1
    attributes = [n for n, v in vars(type(obj)).items() if inspect.isgetsetdescriptor(v)]
    assert attributes
    for attribute in attributes:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, getattr(obj, attribute))
        with pytest.raises(AttributeError):
            delattr(obj, attribute)


@pytest.mark.parametrize("name", CLASSES)
def test_instances_keep_default_object_behaviour(instances, name):
    obj = instances[name]
    assert repr(obj).startswith(f"<quarn_parser.{name} object at 0x")
    assert hash(obj) == object.__hash__(obj)
    assert obj == obj and obj != instances[name].__class__
    for special in ("__len__", "__iter__", "__getitem__", "__lt__"):
        assert special not in vars(type(obj))


def test_method_signatures_are_the_only_docs():
    expected = {
        "unit_cell": "($self)",
        "bounding_box": "($self)",
        "contacts": "($self, cutoff, max_results=None)",
        "nearest_atoms": "($self, origin, max_distance, max_results)",
        "nearest_residues": "($self, origin, max_distance, max_results)",
        "dense_distance_matrix": "($self, atom_indices=None)",
        "sparse_adjacency": "($self, include_geometric, tolerance)",
        "explicit_bonds": "($self)",
        "atom_profile": "($self, atom_index, include_geometric, tolerance)",
    }
    methods = {n for n, v in vars(quarn_parser.Structure).items() if inspect.ismethoddescriptor(v)}
    assert methods - {"__new__"} >= set(expected)
    for name, signature in expected.items():
        method = getattr(quarn_parser.Structure, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None
    params = inspect.signature(quarn_parser.Structure.contacts).parameters
    assert [p.kind for p in params.values()][1:] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2


def test_attribute_reads_build_fresh_objects(instances):
    s, profile, matrix = instances["Structure"], instances["AtomProfile"], instances["DistanceMatrix"]
    for owner, attribute in (
        (profile, "neighbor_indices"),
        (profile, "neighbor_bonds"),
        (matrix, "atom_indices"),
        (matrix, "distances"),
    ):
        first, second = getattr(owner, attribute), getattr(owner, attribute)
        assert type(first) is list
        assert first is not second
        first.append("junk")
        assert getattr(owner, attribute) != first
    rows_a, rows_b = matrix.distances, matrix.distances
    assert rows_a == rows_b and all(a is not b for a, b in zip(rows_a, rows_b))
    bonds_a, bonds_b = profile.neighbor_bonds, profile.neighbor_bonds
    assert all(a is not b and a.index == b.index for a, b in zip(bonds_a, bonds_b))
    assert s.entry_id == s.entry_id
