"""Selections: a derived structure answers every query as the file of its atom rows would, keeps the
way back to the parsed atoms, outlives its parent and refuses what it cannot mean."""

import gc
import gzip
import pickle
import struct

import numpy as np
import pytest

import quarn
import quarn_parser
from conftest import DATA_DIR, REPO_ROOT, atom, cif_text, data_path

ENTRIES = sorted(p.name for p in DATA_DIR.glob("*.cif*")) if DATA_DIR.exists() else []


def split_rows(text):
    """(lines before the _atom_site rows, the rows, lines after): one row a line, as in archive files."""
    before, rows, after = [], [], []
    part = 0
    for line in text.splitlines():
        if part == 0 and line.startswith("_atom_site."):
            part = 1
        if part == 1 and not line.startswith("_atom_site."):
            part = 2
        if part == 2 and (not line.strip() or line.startswith(("#", "_", "loop_"))):
            part = 3
        (rows if part == 2 else after if part == 3 else before).append(line)
    return before, rows, after


def subset_file(tmp_path, text, indices, keep_cell=True):
    """The path of a file holding only rows `indices` of `text`, in that order (without _cell items)."""
    before, rows, after = split_rows(text)
    lines = before + [rows[i] for i in indices] + after
    if not keep_cell:
        lines = [line for line in lines if not line.startswith("_cell.")]
    path = tmp_path / "subset.cif"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def bits(values):
    return [struct.pack("<d", v) for v in values]


def same_answers(d, p):
    """Every query of `d` and of `p` agrees, to the bit, through the methods and the array forms."""
    assert d.atom_count == p.atom_count
    assert quarn.header(d) == quarn.header(p)
    assert d.unit_cell() == p.unit_cell() and d.bounding_box() == p.bounding_box()
    for name in quarn.ATOM_FIELDS + ("position",):
        a, b = quarn.atom_column(d, name), quarn.atom_column(p, name)
        if isinstance(a, quarn.TextColumn):
            assert a.tolist() == b.tolist(), name
        else:
            assert np.asarray(a).tobytes() == np.asarray(b).tobytes(), name
        assert np.array_equal(quarn.atom_absent(d, name), quarn.atom_absent(p, name)), name
    cd, cp = quarn.contacts(d, 3.5), quarn.contacts(p, 3.5)
    for column in ("first", "second", "classification"):
        assert np.array_equal(getattr(cd, column), getattr(cp, column))
    assert bits(cd.distance) == bits(cp.distance)
    assert d.explicit_bonds() == p.explicit_bonds()
    gd, gp = quarn.bond_graph(d, True, 0.4), quarn.bond_graph(p, True, 0.4)
    for column in ("indptr", "indices", "bond_type"):
        assert np.array_equal(getattr(gd, column), getattr(gp, column))
    some = list(range(0, d.atom_count, max(1, d.atom_count // 40)))
    assert d.dense_distance_matrix(some).distances == p.dense_distance_matrix(some).distances
    centre = (0.0, 0.0, 0.0) if d.bounding_box() is None else tuple(
        (lo + hi) / 2 for lo, hi in zip(*d.bounding_box()))
    assert [(r.comp_id, r.chain_id, r.seq_id, r.distance) for r in d.nearest_residues(centre, 10.0, 10)] == \
        [(r.comp_id, r.chain_id, r.seq_id, r.distance) for r in p.nearest_residues(centre, 10.0, 10)]
    k = d.atom_count // 2
    pd, pp = d.atom_profile(k, True, 0.4), p.atom_profile(k, True, 0.4)
    assert (pd.hybridization, [(n.index, n.bond_type) for n in pd.neighbor_bonds]) == \
        (pp.hybridization, [(n.index, n.bond_type) for n in pp.neighbor_bonds])


def selections(s):
    """(name, derived structure, the parsed indices it should hold, whether it keeps the cell)."""
    n = s.atom_count
    first = quarn.atom_column(s, "model_num")
    first = np.asarray(first)
    backwards = list(range(n - 1 - (n - 1) % 3, -1, -3))
    return [
        ("first model", quarn.model(s), np.flatnonzero(first == first[0]).tolist(), True),
        ("first conformation", quarn.altloc(s), None, True),
        ("every third atom backwards", quarn.select(s, backwards), backwards, True),
        ("no periodicity", quarn.euclidean(s), list(range(n)), False),
    ]


@pytest.mark.parametrize("name", ENTRIES)
def test_every_entry_selected_answers_as_the_file_of_its_rows(tmp_path, name):
    path = DATA_DIR / name
    text = (gzip.open(path, "rt") if name.endswith(".gz") else open(path)).read()
    s = quarn_parser.parse(path)
    assert len(split_rows(text)[1]) == s.atom_count
    for what, d, expected, keep_cell in selections(s):
        indices = quarn.parent_indices(d).tolist()
        if expected is not None:
            assert indices == expected, what
        assert quarn.source_cell(d) == s.unit_cell(), what
        same_answers(d, quarn_parser.parse(subset_file(tmp_path, text, indices, keep_cell)))


# Two NMR-like models, alternate locations in both, a periodic 12 Å cube, an atom without a position,
# a _struct_conn row per model and _chem_comp_bond rows that bind the first residue of their component.
HOSTILE_COLUMNS = ("id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id", "label_asym_id",
                   "label_seq_id", "auth_seq_id", "Cartn_x", "Cartn_y", "Cartn_z", "occupancy",
                   "pdbx_PDB_model_num")


def hostile_atoms(model):
    m = dict(pdbx_PDB_model_num=model)
    return [
        atom("N", 0.0, 0.0, 0.0, name="N", comp="SER", seq=1, **m),
        atom("C", 1.4, 0.0, 0.0, name="CA", comp="SER", seq=1, **m),
        atom("O", 2.6, 0.5, 0.0, name="OG", comp="SER", seq=1, label_alt_id="A", occupancy=0.4, **m),
        atom("O", 2.5, -0.6, 0.1, name="OG", comp="SER", seq=1, label_alt_id="B", occupancy=0.6, **m),
        atom("N", 1.9, 1.3, 0.0, name="N", comp="SER", seq=2, **m),
        atom("C", 3.2, 1.6, 0.0, name="CA", comp="SER", seq=2, **m),
        atom("O", 4.3, 1.0, 0.5, name="OG", comp="SER", seq=2, label_alt_id="B", **m),
        atom("O", 4.4, 2.2, -0.4, name="OG", comp="SER", seq=2, label_alt_id="C", **m),
        atom("C", None, None, None, name="CB", comp="SER", seq=2, **m),
        atom("ZN", 11.5, 0.0, 0.0, name="ZN", comp="ZN", chain="B", seq=None, auth_seq_id=101, **m),
    ]


HOSTILE = cif_text(
    hostile_atoms(1) + hostile_atoms(2), columns=HOSTILE_COLUMNS, cell=(12, 12, 12, 90, 90, 90), block="HOST",
    extra="loop_\n_struct_conn.conn_type_id\n_struct_conn.ptnr1_label_atom_id\n_struct_conn.ptnr1_label_seq_id\n"
          "_struct_conn.ptnr2_label_atom_id\n_struct_conn.ptnr2_label_asym_id\n"
          "metalc N 1 ZN B\n"
          "loop_\n_chem_comp_bond.comp_id\n_chem_comp_bond.atom_id_1\n_chem_comp_bond.atom_id_2\n"
          "_chem_comp_bond.value_order\nSER N CA SING\nSER CA OG SING\n")


@pytest.mark.parametrize("pick", [
    lambda s: quarn.model(s, 2), quarn.model, quarn.altloc, lambda s: quarn.altloc(s, "B"),
    lambda s: quarn.altloc(s, "C"), quarn.euclidean, lambda s: quarn.euclidean(quarn.altloc(quarn.model(s, 2))),
    lambda s: quarn.select(s, [9, 19, 0, 10]),  # both ZN and both model's N, across the cell's face
    lambda s: quarn.select(s, list(range(4, 20))),  # no first residue: the chem_comp rows move to the second
    lambda s: quarn.select(s, [i for i in range(20) if i % 10 != 9]),  # no ZN: the struct_conn rows bind nothing
], ids=["model 2", "first model", "first conformation", "location B", "location C", "euclidean", "chain",
        "reordered", "no first residue", "no metal"])
def test_hostile_selections_answer_as_the_file_of_their_rows(tmp_path, write_cif, pick):
    s = quarn_parser.parse(write_cif(HOSTILE))
    d = pick(s)
    keep_cell = d.unit_cell() is not None
    indices = quarn.parent_indices(d).tolist()
    same_answers(d, quarn_parser.parse(subset_file(tmp_path, HOSTILE, indices, keep_cell)))
    assert quarn.source_cell(d) == ((12.0, 12.0, 12.0), (90.0, 90.0, 90.0))


def test_the_default_conformation_is_each_residues_first(write_cif):
    s = quarn_parser.parse(write_cif(HOSTILE))
    first = quarn.altloc(s)
    assert quarn.parent_indices(first).tolist() == [0, 1, 2, 4, 5, 6, 8, 9, 10, 11, 12, 14, 15, 16, 18, 19]
    assert quarn.parent_indices(quarn.altloc(s, "C")).tolist() == [0, 1, 4, 5, 7, 8, 9, 10, 11, 14, 15, 17, 18, 19]


def test_the_issues_entries_lose_their_mixed_answers(real_entry):
    nmr = real_entry("1l2y.cif.gz")  # 38 models
    one = quarn.model(nmr)
    assert one.atom_count * 38 == nmr.atom_count
    assert set(np.asarray(quarn.atom_column(one, "model_num")).tolist()) == {1}
    all_bonds = quarn.bond_graph(nmr, True, 0.4).edges()
    assert len(quarn.bond_graph(one, True, 0.4).edges().first) * 38 < len(all_bonds.first) // 10

    x = real_entry("3o5r.cif.gz")

    def conformation_pairs(s):
        e = quarn.bond_graph(s, True, 0.4).edges()
        a = quarn.atom_column(s, "label_alt_id").tolist()
        return sum(1 for i, j in zip(e.first, e.second) if a[i] is not None and a[j] is not None and a[i] != a[j])

    assert conformation_pairs(x) > 0
    assert conformation_pairs(quarn.altloc(x)) == conformation_pairs(quarn.altloc(x, "B")) == 0

    crystal = real_entry("1aki.cif")  # orthogonal cell: the minimum image unless told otherwise
    plain = quarn.euclidean(crystal)
    xyz = np.asarray(quarn.positions(crystal))
    edges = np.array(crystal.unit_cell()[0])
    far = int(np.argmax((np.abs(xyz - xyz[0]) / edges).max(axis=1)))  # across a face: beyond half an edge
    straight = float(np.sqrt(((xyz[far] - xyz[0]) ** 2).sum()))
    assert plain.dense_distance_matrix([0, far]).distances[0][1] == pytest.approx(straight, rel=1e-12)
    assert crystal.dense_distance_matrix([0, far]).distances[0][1] < straight
    assert plain.unit_cell() is None and quarn.source_cell(plain) == crystal.unit_cell()


def test_derived_structures_outlive_their_parents_and_pickle_with_their_origin(write_cif):
    s = quarn_parser.parse(write_cif(HOSTILE))
    before = [(c.first, c.second, c.distance) for c in s.contacts(5.0)]
    d = quarn.select(quarn.euclidean(quarn.model(s, 2)), [6, 2, 9])
    assert quarn.parent_indices(d).tolist() == [16, 12, 19]
    assert [(c.first, c.second, c.distance) for c in s.contacts(5.0)] == before  # the parent is unchanged
    expected = [(c.first, c.second, c.distance) for c in d.contacts(20.0)]
    del s
    gc.collect()
    assert [(c.first, c.second, c.distance) for c in d.contacts(20.0)] == expected
    again = pickle.loads(pickle.dumps(d))
    assert [(c.first, c.second, c.distance) for c in again.contacts(20.0)] == expected
    assert quarn.parent_indices(again).tolist() == [16, 12, 19] and again.unit_cell() is None
    assert quarn.source_cell(again) == ((12.0, 12.0, 12.0), (90.0, 90.0, 90.0))


def test_masks_and_indices_in_every_form(write_cif):
    s = quarn_parser.parse(write_cif(HOSTILE))
    mask = np.zeros(20, dtype=bool)
    mask[[3, 1, 17]] = True
    for atoms in (mask, mask.tolist(), quarn.atom_absent(s, "label_alt_id")):
        expected = np.flatnonzero(np.asarray(atoms)).tolist()
        assert quarn.parent_indices(quarn.select(s, atoms)).tolist() == expected
    for atoms in ([17, 3, 1], np.array([17, 3, 1], dtype=np.int32), np.array([0, 17, 0, 3, 0, 1])[1::2],
                  (np.uint8(17), 3, 1), range(17, 0, -7), range(2, 20, 3)):
        assert quarn.parent_indices(quarn.select(s, atoms)).tolist() == list(atoms)


@pytest.mark.parametrize("call, error, words", [
    (lambda s: quarn.select(s, []), ValueError, "'atoms': selects no atom"),
    (lambda s: quarn.select(s, np.zeros(20, dtype=bool)), ValueError, "'atoms': selects no atom"),
    (lambda s: quarn.select(s, [True] * 19), ValueError, "'atoms': a mask of 19 values for 20 atoms"),
    (lambda s: quarn.select(s, [1, 2, 1]), ValueError, "'atoms': index 1 is given twice"),
    (lambda s: quarn.select(s, [20]), IndexError, "'atoms': index 20 is out of range for 20 atoms"),
    (lambda s: quarn.select(s, np.array([-1])), IndexError, "'atoms': index -1 is out of range"),
    (lambda s: quarn.select(s, range(3, -2, -1)), IndexError, "'atoms': index -1 is out of range for 20 atoms"),
    (lambda s: quarn.select(s, range(15, 25)), IndexError, "'atoms': index 20 is out of range for 20 atoms"),
    (lambda s: quarn.select(s, [2 ** 70]), IndexError, "'atoms': index 1180591620717411303424 is out of range"),
    (lambda s: quarn.select(s, [True, 1]), TypeError, "'atoms': mixes booleans and integers"),
    (lambda s: quarn.select(s, [1.0]), TypeError, "'atoms': item 0 is neither a boolean nor an integer"),
    (lambda s: quarn.select(s, np.ones(20)), TypeError, "'atoms': expected booleans or integers"),
    (lambda s: quarn.select(s, np.ones((4, 5), dtype=bool)), ValueError, "'atoms': expected a 1-D array"),
    (lambda s: quarn.select(s, "0"), TypeError, "'atoms': expected a boolean mask or a sequence of atom indices"),
    (lambda s: quarn.select(s, 3), TypeError, "not int"),
    (lambda s: quarn.model(s, 3), ValueError, "'model_num': no atom has model number 3"),
    (lambda s: quarn.model(s, 2 ** 40), ValueError, "'model_num': no atom has model number 1099511627776"),
    (lambda s: quarn.model(s, "1"), TypeError, "'model_num': must be int or None"),
    (lambda s: quarn.altloc(s, "D"), ValueError, "'alt_id': no atom has alternate location 'D'"),
    (lambda s: quarn.altloc(s, b"A"), TypeError, "'alt_id': must be str or None"),
    (lambda s: quarn.euclidean("s"), TypeError, "euclidean()"),
    (lambda s: quarn.parent_indices(None), TypeError, "parent_indices()"),
])
def test_refusals_name_the_parameter(write_cif, call, error, words):
    s = quarn_parser.parse(write_cif(HOSTILE))
    with pytest.raises(error, match=None) as refused:
        call(s)
    assert words in str(refused.value)


def test_the_readme_selection_runs_on_an_nmr_entry(monkeypatch):
    readme = (REPO_ROOT / "README.md").read_text(encoding="utf-8")
    block = readme.split("```python\nimport quarn, quarn_parser\n", 1)[1].split("```", 1)[0]
    assert len(block.splitlines()) == 2
    names = {}
    monkeypatch.chdir(data_path("1l2y.cif.gz").parent)
    exec("import quarn, quarn_parser\n" + block, names)
    s, pairs = names["s"], names["pairs"]
    assert s.atom_count == 304 and s.unit_cell() is None
    assert quarn.parent_indices(s).tolist() == list(range(304)) and len(pairs) > 0
