"""Structure's attributes and methods and the result objects they return, on small inline files."""

import math

import pytest

from conftest import atom

NAN = float("nan")


def conn_loop(*rows):
    """A _struct_conn loop; each row is (conn_type_id, atom id 1, seq 1, atom id 2, seq 2)."""
    header = (
        "loop_\n_struct_conn.conn_type_id\n_struct_conn.ptnr1_label_atom_id\n_struct_conn.ptnr1_label_seq_id\n"
        "_struct_conn.ptnr2_label_atom_id\n_struct_conn.ptnr2_label_seq_id\n"
    )
    return header + "".join(" ".join(str(v) for v in row) + "\n" for row in rows)


# --- attributes, cell and box -------------------------------------------------------------------------


def test_attributes_and_cell(load):
    s = load(
        [atom("C", 1, 2, 3), atom("O", 4, 5, "?")],
        block="1XYZ",
        cell=(59.062, 68.451, "30.517(4)", 90, 90.5, 120),
        extra="_symmetry.space_group_name_H-M 'P 21 21 21'\n",
    )
    assert s.atom_count == 2
    assert s.entry_id == "1XYZ"
    assert s.space_group == "P 21 21 21"
    assert s.unit_cell() == ((59.062, 68.451, 30.517), (90.0, 90.5, 120.0))
    assert s.bounding_box() == ((1.0, 2.0, 3.0), (1.0, 2.0, 3.0))  # the atom without z takes no part
    assert all(type(v) is float for half in s.unit_cell() for v in half)


def test_absent_cell_space_group_and_box_are_none(load):
    s = load([atom("C", 1, 2, "?"), atom("C", None, 2, 3)])
    assert s.unit_cell() is None
    assert s.space_group is None
    assert s.bounding_box() is None
    assert s.atom_count == 2


# --- contacts ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("cutoff", [0.0, -1.0, NAN, -math.inf])
def test_contacts_refuse_a_cutoff_that_is_not_positive(load, cutoff):
    s = load([atom("C", 0, 0, 0)])
    with pytest.raises(ValueError, match="^cutoff must be positive$"):
        s.contacts(cutoff)


def test_contacts_order_truncation_and_classes(load):
    s = load(
        [
            atom("C", 0, 0, 0),
            atom("C", 1.54, 0, 0),  # 1.54 from 0: covalent
            atom("C", 0, 1.0, 0),  # 1.0 from 0: clash
            atom("C", 0, 0, 2.5),  # 2.5 from 0: nonbonded
            atom("C", 20, 0, 0),
            atom("C", 22, 0, 0),  # 2.0 from 4: short contact
            atom(None, 40, 0, 0, name="QQ"),
            atom("N", 41.9, 0, 0),  # 1.9 from an atom without element: short contact
        ]
    )
    rows = s.contacts(2.5)
    assert all(a.distance <= b.distance for a, b in zip(rows, rows[1:]))
    by_pair = {(c.first, c.second): (c.distance, c.classification) for c in rows}
    assert by_pair[(0, 1)] == (1.54, "covalent")
    assert by_pair[(0, 2)] == (1.0, "clash")
    assert by_pair[(0, 3)] == (2.5, "nonbonded")
    assert by_pair[(4, 5)] == (2.0, "short_contact")
    assert by_pair[(6, 7)][1] == "short_contact"
    assert all(c.first < c.second and type(c.first) is int and type(c.distance) is float for c in rows)
    assert [(c.first, c.second) for c in s.contacts(2.5, 2)] == [(c.first, c.second) for c in rows[:2]]
    assert s.contacts(2.5, 0) == []
    assert len(s.contacts(2.5, None)) == len(s.contacts(2.5, 10**6)) == len(rows)


def test_contacts_at_equal_distance_keep_the_core_order(load):
    # A square: four sides of one length, listed by first then second index.
    s = load([atom("O", 0, 0, 0), atom("O", 3, 0, 0), atom("O", 0, 3, 0), atom("O", 3, 3, 0)])
    assert [(c.first, c.second) for c in s.contacts(3.0)] == [(0, 1), (0, 2), (1, 3), (2, 3)]


# --- nearest atoms and residues -------------------------------------------------------------------------


def test_atom_hits_carry_the_atom_identity(load):
    s = load(
        [
            atom("FE", 1, 0, 0, name="FE1", comp="HEM", chain="A", seq=5, auth_asym_id="B", auth_seq_id=50),
            atom("C", 2, 0, 0, name="CA", comp="GLY", chain=None, seq=None, auth_asym_id="B", auth_seq_id=12),
            atom(None, 3, 0, 0, name="CA", comp="GLY", chain=None, seq=None),
            atom("C", 0.5, 0, "?"),
        ]
    )
    hits = s.nearest_atoms((0.0, 0.0, 0.0), 10.0, 10)
    assert [h.index for h in hits] == [0, 1, 2]  # the atom without z is never a hit
    first, second, third = hits
    assert (first.distance, first.label_atom_id, first.label_comp_id, first.chain_id, first.seq_id) == (
        1.0, "FE1", "HEM", "A", 5)
    assert (first.element, first.position) == ("FE", (1.0, 0.0, 0.0))
    assert (second.chain_id, second.seq_id, second.element) == ("B", 12, "C")
    assert (third.chain_id, third.seq_id, third.element, third.label_atom_id) == (None, None, None, "CA")


def test_nearest_atoms_limits(load):
    s = load([atom("C", 1, 0, 0), atom("C", 0, 1, 0), atom("C", 0, 0, 3)])
    origin = (0.0, 0.0, 0.0)
    assert [h.index for h in s.nearest_atoms(origin, 1.0, 10)] == [0, 1]  # equal distances in index order
    assert [h.index for h in s.nearest_atoms(origin, 1.0, 1)] == [0]
    assert s.nearest_atoms(origin, 5.0, 0) == []
    assert s.nearest_atoms(origin, 0.0, 10) == []
    assert s.nearest_atoms(origin, NAN, 10) == []


def test_residue_hits(load):
    s = load(
        [
            atom("N", 1, 0, 0, comp="ala", seq=1),
            atom("C", 2, 0, 0, comp="ala", seq=1, name="CA"),
            atom("O", 0.5, 0, 0, comp="HOH", seq=None, chain="W"),
            atom("C", 4, 0, 0, comp="MSE", seq=2),
            atom("N", 0, 3, 0, comp="GLY", chain=None, seq=None, auth_asym_id="B", auth_seq_id=7),
        ]
    )
    hits = s.nearest_residues((0.0, 0.0, 0.0), 10.0, 10)
    assert [(h.comp_id, h.chain_id, h.seq_id, h.distance) for h in hits] == [
        ("ala", "A", 1, 1.0),
        ("GLY", "B", 7, 3.0),
    ]
    assert s.nearest_residues((0.0, 0.0, 0.0), 10.0, 1)[0].comp_id == "ala"
    assert [h.comp_id for h in s.nearest_residues((0.0, 0.0, 0.0), NAN, 10)] == ["ala", "GLY"]
    assert s.nearest_residues((0.0, 0.0, 0.0), -1.0, 10) == []


# --- distance matrix -----------------------------------------------------------------------------------


def test_dense_distance_matrix_selection(load):
    s = load([atom("C", 0, 0, 0), atom("C", 3, 4, 0), atom("C", 0, 0, "?"), atom("C", 0, 0, 1)])
    whole = s.dense_distance_matrix()
    assert whole.atom_indices == [0, 1, 3]
    for other in (s.dense_distance_matrix(None), s.dense_distance_matrix([]), s.dense_distance_matrix(())):
        assert (other.atom_indices, other.distances) == (whole.atom_indices, whole.distances)
    d = whole.distances
    assert d[0][1] == 5.0 and d[0][2] == 1.0 and d[1][2] == math.sqrt(26)
    assert all(d[r][c] == d[c][r] for r in range(3) for c in range(3))
    assert [d[k][k] for k in range(3)] == [0.0, 0.0, 0.0]
    assert s.dense_distance_matrix(range(3)).distances == s.dense_distance_matrix([0, 1, 2]).distances
    assert s.dense_distance_matrix([1, 99, 2, 0]).atom_indices == [1, 0]  # out of range and unpositioned skipped
    repeated = s.dense_distance_matrix([3, 3])
    assert (repeated.atom_indices, repeated.distances) == ([3, 3], [[0.0, 0.0], [0.0, 0.0]])
    assert s.dense_distance_matrix([99]).distances == []


def test_dense_distance_matrix_without_positions_is_empty(load):
    m = load([atom("C", 0, 0, "?")]).dense_distance_matrix()
    assert (m.atom_indices, m.distances) == ([], [])


# --- bonds, adjacency and profiles ---------------------------------------------------------------------


@pytest.fixture
def bonded(load):
    atoms = [
        atom("C", 0, 0, 0, name="C1", seq=1),
        atom("C", 1.54, 0, 0, name="C2", seq=1),
        atom("O", 1.54, 1.2, 0, name="O3", seq=1),
        atom("N", 10, 0, 0, name="N4", seq=2),
        atom("ZN", 12, 0, 0, name="ZN", comp="ZN", seq=3),
        atom("S", 20, 0, 0, name="S6", seq=4),
        atom("S", 22.05, 0, 0, name="S7", seq=5),
    ]
    extra = conn_loop(
        ("covale", "C2", 1, "O3", 1),
        ("hydrog", "C1", 1, "N4", 2),
        ("metalc", "N4", 2, "ZN", 3),
        ("disulf", "S6", 4, "S7", 5),
        ("covale", "XX", 9, "C1", 1),  # names no atom: contributes nothing
    )
    extra += "loop_\n_chem_comp_bond.comp_id\n_chem_comp_bond.atom_id_1\n_chem_comp_bond.atom_id_2\n"
    extra += "_chem_comp_bond.value_order\nALA C1 C2 DOUB\n"
    return load(atoms, extra=extra)


def test_explicit_bonds_are_index_pairs(bonded):
    bonds = bonded.explicit_bonds()
    assert sorted(bonds) == [(0, 1), (0, 3), (1, 2), (3, 4), (5, 6)]
    assert all(type(b) is tuple and all(type(i) is int for i in b) for b in bonds)


def test_sparse_adjacency_reports_types_as_vocabulary_strings(bonded):
    rows = bonded.sparse_adjacency(False, -5.0)
    assert len(rows) == bonded.atom_count
    table = {(i, b.index): b.bond_type for i, row in enumerate(rows) for b in row}
    assert table[(1, 2)] == table[(2, 1)] == "covalent_unknown"
    assert table[(0, 3)] == table[(3, 0)] == "hydrogen_bond"
    assert table[(3, 4)] == "metallic"
    assert table[(5, 6)] is None
    assert table[(0, 1)] == "covalent_double"
    for i, row in enumerate(rows):  # every bond sits in the lists of both its atoms
        for b in row:
            assert i in [x.index for x in rows[b.index]]


def test_sparse_adjacency_adds_geometric_bonds_on_request(bonded):
    explicit = bonded.sparse_adjacency(False, 0.0)
    geometric = bonded.sparse_adjacency(True, 0.1)
    assert [(b.index, b.bond_type) for b in explicit[1]] == [(2, "covalent_unknown"), (0, "covalent_double")]
    assert [b.index for b in geometric[1]][:2] == [2, 0]  # explicit entries first, each once
    indices = [[b.index for b in row] for row in explicit]
    assert [[b.index for b in row] for row in bonded.sparse_adjacency(True, -1.0)] == indices  # no refusal
    assert [[b.index for b in row] for row in bonded.sparse_adjacency(True, NAN)] == indices


def test_atom_profile_fields(load):
    s = load(
        [
            atom("C", 0, 0, 0, name="CA", occupancy=0.5, B_iso_or_equiv="12.5(3)", pdbx_formal_charge=-1),
            atom("C", 1.5, 0, 0, name="CB"),
            atom("C", -1.5, 0, 0, name="CG"),
            atom(None, 0, 5, 0, name="CA"),  # no type_symbol: CA resolves to calcium
            atom("O", 5, 5, "?", name="OXT"),
        ]
    )
    p = s.atom_profile(0, True, 0.1)
    assert (p.index, p.label_atom_id, p.label_comp_id, p.chain_id, p.seq_id, p.element) == (
        0, "CA", "ALA", "A", 1, "C")
    assert (p.occupancy, p.b_factor, p.formal_charge, p.position) == (0.5, 12.5, -1, (0.0, 0.0, 0.0))
    assert p.electronegativity == 2.55
    assert p.neighbor_indices == [b.index for b in p.neighbor_bonds] == [1, 2]
    assert [b.bond_type for b in p.neighbor_bonds] == ["covalent_unknown", "covalent_unknown"]
    assert p.hybridization == "sp"
    calcium = s.atom_profile(3, False, -1.0)
    assert (calcium.element, calcium.electronegativity, calcium.hybridization) == (None, 1.0, None)
    unplaced = s.atom_profile(4, True, 0.1)
    assert (unplaced.position, unplaced.neighbor_indices, unplaced.neighbor_bonds) == (None, [], [])
    assert (unplaced.occupancy, unplaced.b_factor, unplaced.formal_charge) == (None, None, None)


@pytest.mark.parametrize("neighbours, expected", [(2, "sp"), (3, "sp2"), (4, "sp3"), (1, None)])
def test_atom_profile_hybridization_strings(load, neighbours, expected):
    spokes = [(1.5, 0, 0), (-1.5, 0, 0), (0, 1.5, 0), (0, -1.5, 0)][:neighbours]
    s = load([atom("C", 0, 0, 0)] + [atom("H", *xyz, name=f"H{k}") for k, xyz in enumerate(spokes)])
    assert s.atom_profile(0, True, 0.5).hybridization == expected


def test_atom_profile_refusals_in_order(load):
    s = load([atom("C", 0, 0, 0), atom("C", 1.5, 0, 0)])
    n = s.atom_count
    with pytest.raises(ValueError, match="^atom_index out of range$"):
        s.atom_profile(n, False, 0.0)
    with pytest.raises(ValueError, match="^atom_index out of range$"):
        s.atom_profile(n, True, -1.0)
    with pytest.raises(OverflowError):
        s.atom_profile(-1, False, 0.0)
    with pytest.raises(ValueError, match="^tolerance must be non-negative$"):
        s.atom_profile(0, True, -1.0)
    assert s.atom_profile(0, False, -1.0).neighbor_indices == []
    assert s.atom_profile(0, True, 0.0).neighbor_indices == [1]


def test_profile_neighbours_match_the_adjacency_rows(bonded):
    for flag, tolerance in ((False, 0.0), (True, 0.1), (True, 3.0)):
        rows = bonded.sparse_adjacency(flag, tolerance)
        for i in range(bonded.atom_count):
            profile = bonded.atom_profile(i, flag, tolerance)
            assert profile.neighbor_indices == [b.index for b in rows[i]]
            assert [b.bond_type for b in profile.neighbor_bonds] == [b.bond_type for b in rows[i]]
