"""Pickling and copying: what comes back answers every question to the bit; damaged data is refused."""

import copy
import copyreg
import pickle
import subprocess
import sys

import pytest

import quarn_parser
from conftest import atom, data_path

ENTRIES = ("1aki.cif", "1as5.cif.gz", "1bna.cif", "1l2y.cif.gz", "1pfe.cif.gz", "1xnr.cif.gz", "3o5r.cif.gz",
           "4p5j.cif", "5i55.cif")
CLASSES = ("Structure", "AtomHit", "ResidueHit", "DistanceMatrix", "BondNeighbor", "Contact", "AtomProfile")


ATTRIBUTES = {getattr(quarn_parser, name): [n for n, v in vars(getattr(quarn_parser, name)).items()
                                             if type(v).__name__ == "getset_descriptor"] for name in CLASSES[1:]}


def plain(value):
    """A result as nested tuples of plain values, floats by their bits, so == means bit-identical."""
    if isinstance(value, float):
        return value.hex() if value == value else ("nan", str(value))
    if isinstance(value, dict):
        return tuple((k, plain(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return tuple(plain(v) for v in value)
    names = ATTRIBUTES.get(type(value))
    if names is not None:
        return (type(value).__name__,) + tuple(plain(getattr(value, n)) for n in names)
    return value


def answers(s, profiles=8):
    """Every attribute and method of a Structure, asked around a few of its atoms."""
    n = s.atom_count
    picks = sorted({0, n // 3, n // 2, n - 1})[:profiles]
    points = [h.position for i in picks for h in s.nearest_atoms((0.0, 0.0, 0.0), 1e9, n)[i:i + 1]] or [(0.0, 0.0, 0.0)]
    out = {
        "scalars": (s.atom_count, s.entry_id, s.space_group, s.unit_cell(), s.bounding_box()),
        "bonds": s.explicit_bonds(),
        "contacts": s.contacts(2.8, 5000),
        "atoms": [s.nearest_atoms(p, 6.0, 50) for p in points],
        "residues": [s.nearest_residues(p, 9.0, 10) for p in points],
        "matrix": s.dense_distance_matrix(picks),
        "adjacency": s.sparse_adjacency(n < 5000, 0.4),
        "profiles": [s.atom_profile(i, g, 0.4) for i in picks for g in (False, True)],
    }
    return plain(out)


def binary_form(s):
    """The bytes a Structure pickles to, as its reducer hands them to pickle."""
    restore, (data,) = copyreg.dispatch_table[quarn_parser.Structure](s)
    assert restore is quarn_parser._restore_structure
    return data


@pytest.mark.parametrize("name", ENTRIES)
def test_real_entries_come_back_answering_alike_and_smaller_than_their_text(real_entry, name):
    s = real_entry(name)
    data = pickle.dumps(s, protocol=pickle.HIGHEST_PROTOCOL)
    again = pickle.loads(data)
    assert again is not s and answers(again) == answers(s)
    text = data_path(name).read_bytes()
    if name.endswith(".gz"):
        import gzip

        text = gzip.decompress(text)
    assert len(data) < len(text) / 3


def test_hostile_structures_come_back_alike(load):
    long_name = "N" * 70 + "\u00e9"
    atoms = [
        atom("C", "nan", "-0.0", "inf", id="A-1", occupancy="1.5e-300", B_iso_or_equiv="-inf"),
        atom("fe", 1.25, -2.5, 3.125, name=long_name, comp="HEM", chain="LONGCHAINNAME", seq=-2147483648),
        atom(None, None, None, None, name=None, comp=None, chain=None, seq=None),
        atom("O", 0.001, 0.002, 1e308, pdbx_formal_charge=2147483647, auth_asym_id="Z", auth_seq_id=7),
    ]
    empty_row = "loop_\n_struct_conn.conn_type_id\n_struct_conn.ptnr1_label_atom_id\n? ?\n"
    for cell in (None, (1, 1, 1, 90, 90, 90), (10.5, 20.25, 30.125, 90, 90, 90)):
        s = load(atoms, cell=cell, extra=empty_row, block="")
        again = pickle.loads(pickle.dumps(s, protocol=2))
        assert answers(again) == answers(s)
        assert again.unit_cell() == s.unit_cell() and again.entry_id == ""
    assert binary_form(s) == binary_form(again), "the binary form is deterministic"


def test_every_class_pickles_at_every_protocol_and_copies(load):
    s = load([atom("C", 0, 0, 0), atom("C", 1.54, 0, 0, name="CB"), atom("N", 0, 1.4, 0, comp="GLY", seq=2)],
             extra="loop_\n_struct_conn.conn_type_id\n_struct_conn.ptnr1_label_atom_id\n"
                   "_struct_conn.ptnr2_label_atom_id\ncovale C CB\n")
    profile = s.atom_profile(0, True, 0.4)
    objects = [s, s.nearest_atoms((0.0, 0.0, 0.0), 5.0, 1)[0], s.nearest_residues((0.0, 0.0, 0.0), 5.0, 1)[0],
               s.dense_distance_matrix(), profile.neighbor_bonds[0], s.contacts(2.0)[0], profile]
    assert [type(o).__name__ for o in objects] == list(CLASSES)
    for obj in objects:
        expected = answers(obj) if obj is s else plain(obj)
        copies = [pickle.loads(pickle.dumps(obj, protocol=p)) for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
        copies += [copy.copy(obj), copy.deepcopy(obj), copy.deepcopy([obj, obj])[1]]
        for c in copies:
            assert type(c) is type(obj) and c is not obj
            assert (answers(c) if obj is s else plain(c)) == expected
    nothing = s.dense_distance_matrix([99])
    assert plain(pickle.loads(pickle.dumps(nothing))) == plain(nothing)


def test_pickling_adds_no_public_name_and_no_method():
    public = sorted(n for n in vars(quarn_parser) if not n.startswith("_"))
    assert public == sorted(quarn_parser.__all__)
    for name in CLASSES:
        cls = getattr(quarn_parser, name)
        assert cls in copyreg.dispatch_table
        assert not {"__reduce__", "__reduce_ex__", "__getstate__", "__copy__", "__deepcopy__"} & set(vars(cls))
    with pytest.raises(TypeError):
        copyreg.dispatch_table[quarn_parser.Structure](42)


def test_damaged_or_foreign_data_is_refused_with_value_error(real_entry):
    s = real_entry("1aki.cif")
    data = binary_form(s)
    stream = pickle.dumps(s, protocol=4)

    def refused(bad, match):
        with pytest.raises(ValueError, match=match):
            quarn_parser._restore_structure(bad)
        if len(bad) == len(data):  # the same length: the pickle around it stays sound
            with pytest.raises(ValueError, match=match):
                pickle.loads(stream.replace(data, bad))

    for cut in (0, 5, 15, len(data) // 2, len(data) - 1):
        refused(data[:cut], "truncated")
    for at in (20, len(data) // 3, len(data) - 2):
        refused(data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:], "damaged")
    refused(data[:8] + b"\x02" + data[9:], "format version 2; this build reads version 1")
    refused(b"\x00" * len(data), "not structure data")
    refused("text", "must be bytes")

    restorers = {
        quarn_parser._restore_atom_hit: (0, 1.0, None, None, None, 2**31, None, None),
        quarn_parser._restore_residue_hit: ("ALA", "A", 1, 2),
        quarn_parser._restore_distance_matrix: (b"\x00" * 16, b"\x00" * 24),
        quarn_parser._restore_bond_neighbor: (-1, None),
        quarn_parser._restore_contact: (0, 1, 1.0, "touching"),
        quarn_parser._restore_atom_profile: (0,) + (None,) * 11 + (((0, "half_bond"),),),
    }
    for restore, args in restorers.items():
        with pytest.raises(ValueError, match="cannot restore"):
            restore(*args)
        with pytest.raises(ValueError, match="expected"):
            restore(*args[:-1])


def test_a_structure_pickled_here_loads_in_another_process(real_entry, tmp_path):
    s = real_entry("4p5j.cif")
    path = tmp_path / "structure.pickle"
    path.write_bytes(pickle.dumps(s))
    child = (
        "import pickle, sys\n"
        "sys.path[:0] = sys.argv[2:]\n"
        "from test_pickle import answers\n"
        "print(repr(answers(pickle.loads(open(sys.argv[1], 'rb').read()))))\n"
    )
    done = subprocess.run([sys.executable, "-c", child, str(path), __file__.rsplit("/", 1)[0]],
                          capture_output=True, text=True, check=True)
    assert done.stdout.strip() == repr(answers(s))
