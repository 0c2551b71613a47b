"""quarn's atom columns: every field of every atom, absent values, shared memory, life after the Structure."""

import gc
import math
import subprocess
import sys

import numpy as np
import pytest

import quarn
import quarn_parser
from conftest import ATOM_COLUMNS, DATA_DIR, atom, cif_text

ENTRIES = sorted(p.name for p in DATA_DIR.glob("*.cif*")) if DATA_DIR.exists() else []
FULL_COLUMNS = ATOM_COLUMNS + ("auth_atom_id", "label_alt_id", "pdbx_PDB_model_num")


def profile_row(s, i):
    """What quarn_parser tells of atom i, through atom_profile."""
    p = s.atom_profile(i, False, 0.0)
    return (p.label_atom_id, p.label_comp_id, p.chain_id, p.seq_id, p.element, p.occupancy, p.b_factor,
            p.formal_charge, p.position, p.electronegativity)


def column_row(table, position, absent, i):
    """The same values read from quarn's columns, absent ones as None."""

    def value(name):
        v = table[name][i]
        return None if absent[name][i] else v

    xyz = None if absent["position"][i] else tuple(position[i])
    electronegativity = table["electronegativity"][i]
    return (value("label_atom_id"), value("label_comp_id"), value("chain_id"), value("seq_id"),
            value("type_symbol"), value("occupancy"), value("b_factor"), value("formal_charge"), xyz,
            None if math.isnan(electronegativity) else electronegativity)


@pytest.mark.parametrize("name", ENTRIES)
def test_columns_of_real_entries_read_as_the_methods_do(real_entry, name):
    s = real_entry(name)
    table = quarn.atoms(s)
    assert list(table) == list(quarn.ATOM_FIELDS)
    assert all(len(column) == s.atom_count for column in table.values())
    position = quarn.positions(s)
    absent = {n: quarn.atom_absent(s, n) for n in (*quarn.ATOM_FIELDS, "position")}
    step = max(1, s.atom_count // 2000)
    for i in range(0, s.atom_count, step):
        assert column_row(table, position, absent, i) == profile_row(s, i)
    # Each bit of the columns that the methods cannot show: distinct models of an NMR entry.
    if name == "1l2y.cif.gz":
        assert sorted(set(table["model_num"].tolist())) == list(range(1, 39))


def test_every_field_and_its_absence(load):
    s = load(
        [
            atom("C", 1.5, -2.25, 3, name="CA", comp="ala", chain="A", seq=7, id="a1", auth_atom_id="CX",
                 label_alt_id="B", auth_asym_id="Z", auth_seq_id=-3, occupancy=0.5, B_iso_or_equiv=12.5,
                 pdbx_PDB_model_num=2, pdbx_formal_charge=-1),
            atom(None, "nan", 1, None, name="FE1", comp=None, chain=None, seq=None, auth_seq_id=-(2**31),
                 auth_atom_id="FE", auth_asym_id="Q"),
        ],
        columns=FULL_COLUMNS,
        extra="_struct.title 'Two atoms'",
    )
    t = quarn.atoms(s)
    assert [t[n][0] for n in ("id", "type_symbol", "label_atom_id", "auth_atom_id", "label_alt_id", "label_comp_id",
                              "label_asym_id", "auth_asym_id", "chain_id", "element")] == \
        ["a1", "C", "CA", "CX", "B", "ala", "A", "Z", "A", "C"]
    assert [t[n][0] for n in ("label_seq_id", "auth_seq_id", "seq_id", "model_num", "formal_charge")] == [7, -3, 7, 2, -1]
    assert [t[n][0] for n in ("x", "y", "z", "occupancy", "b_factor", "covalent_radius", "electronegativity")] == \
        [1.5, -2.25, 3.0, 0.5, 12.5, 0.75, 2.55]
    # Atom 1: absent texts are None, absent integers INT_ABSENT, absent reals NaN; the mask tells a
    # file's own NaN and -2**31 from an absent value.
    assert [t[n][1] for n in ("type_symbol", "label_comp_id", "label_asym_id", "label_alt_id")] == [None] * 4
    assert (t["chain_id"][1], t["element"][1], t["seq_id"][1]) == ("Q", "FE", -(2**31))
    assert t["label_seq_id"][1] == t["model_num"][1] == quarn.INT_ABSENT
    x, z = t["x"][1], t["z"][1]
    assert math.isnan(x) and math.isnan(z) and t["y"][1] == 1.0
    absent = {n: quarn.atom_absent(s, n).tolist() for n in ("x", "z", "auth_seq_id", "label_seq_id", "position")}
    assert absent == {"x": [False, False], "z": [False, True], "auth_seq_id": [False, False],
                      "label_seq_id": [False, True], "position": [False, True]}
    assert quarn.positions(s)[0] == (1.5, -2.25, 3.0) and quarn.positions(s)[1][1] == 1.0
    assert quarn.header(s) == ("test", "Two atoms", None, None)
    with pytest.raises(KeyError):
        quarn.atom_column(s, "Cartn_x")


def test_text_columns_for_numpy_and_pandas(load):
    pd = pytest.importorskip("pandas")
    s = load([atom("C", 0, 0, 0, comp="GLY"), atom("N", 1, 0, 0, comp=None), atom("O", 2, 0, 0, comp="GLY")])
    comp = quarn.atom_column(s, "label_comp_id")
    assert (comp.codes.tolist(), comp.categories) == ([0, -1, 0], ("GLY",))
    assert list(comp) == comp.tolist() == ["GLY", None, "GLY"] and comp[1:].tolist() == [None, "GLY"]
    assert np.asarray(comp).tolist() == ["GLY", None, "GLY"]
    categorical = pd.Categorical.from_codes(np.asarray(comp.codes), comp.categories)
    assert categorical.isna().tolist() == [False, True, False]
    frame = pd.DataFrame(quarn.atoms(s))
    assert frame.shape == (3, len(quarn.ATOM_FIELDS))
    assert frame["x"].tolist() == [0.0, 1.0, 2.0] and frame["element"].tolist() == ["C", "N", "O"]
    assert str(frame["label_seq_id"].dtype) == "int32" and str(frame["b_factor"].dtype) == "float64"


def test_numpy_reads_the_columns_memory_without_a_copy(load):
    s = load([atom("C", i, 2 * i, 3 * i) for i in range(10)])
    position = quarn.positions(s)
    first, second = np.asarray(position), np.asarray(position)
    address = position.__array_interface__["data"][0]
    assert first.ctypes.data == second.ctypes.data == address
    assert np.shares_memory(first, second) and first.shape == (10, 3) and not first.flags.writeable
    table = quarn.atoms(s, "x", "y", "z", "position")
    views = [np.asarray(table[n]) for n in ("x", "y", "z")]
    shared = table["position"].__array_interface__["data"][0]
    assert [v.ctypes.data - shared for v in views] == [0, 8, 16] and views[1].strides == (24,)
    assert np.shares_memory(views[2], np.asarray(table["position"]))
    with pytest.raises(ValueError):
        first[0, 0] = 1.0
    # Slices view the same memory, in any direction; indices count from the end as lists do.
    x = table["x"]
    assert x[::-3].tolist() == [9.0, 6.0, 3.0, 0.0] and np.shares_memory(np.asarray(x[7:2:-2]), np.asarray(table["position"]))
    assert (x[-1], position[-10], x[20:].tolist(), len(position[3:5])) == (9.0, (0.0, 0.0, 0.0), [], 2)
    with pytest.raises(IndexError):
        x[10]


def test_columns_outlive_their_structure(write_cif):
    path = write_cif([atom("C", i, 0.5 * i, 0, comp=f"R{i % 3}") for i in range(50)])
    s = quarn_parser.parse(path)
    table = quarn.atoms(s)
    kept = np.asarray(quarn.positions(s))
    seen = repr({n: c.tolist() for n, c in table.items()})  # NaN reads the same in a repr
    del s
    gc.collect()
    for _ in range(100):  # churn the allocator so that freed memory is reused
        quarn.atoms(quarn_parser.parse(path))
    assert repr({n: c.tolist() for n, c in table.items()}) == seen
    assert kept[49].tolist() == [49.0, 24.5, 0.0]


def test_columns_read_without_numpy(write_cif):
    # quarn never imports numpy: with numpy made unimportable it still reads every value.
    path = write_cif([atom("C", 1.25, 0, 0, seq=4), atom("O", 0, 0, 2.5, seq=None)])
    program = f"""
import sys
sys.modules["numpy"] = None
import quarn, quarn_parser
s = quarn_parser.parse({str(path)!r})
t = quarn.atoms(s)
print(quarn.positions(s).tolist(), list(t["label_seq_id"]), t["element"].tolist(), t["x"][0], len(t["z"]))
print(quarn.contacts(s, 5.0).distance.tolist(), quarn.nearest_atoms(s, [(0, 0, 0)], 3.0).hits(0))
print(sorted(m for m in sys.modules if m.split(".")[0] in ("numpy", "pandas", "scipy")))
"""
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        f"[(1.25, 0.0, 0.0), (0.0, 0.0, 2.5)] [4, {quarn.INT_ABSENT}] ['C', 'O'] 1.25 2",
        f"[{math.hypot(1.25, 2.5)!r}] [(0, 1.25), (1, 2.5)]",
        "['numpy']",  # only the blocking entry put there above
    ]
