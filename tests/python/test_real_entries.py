"""Real entries from the shared data folder, checked through the module and against each other's answers."""

import math

import pytest

ENTRIES = {
    # file: (atoms, entry id, space group)
    "1aki.cif": (1079, "1AKI", "P 21 21 21"),
    "5i55.cif": (218, "5I55", "P 1 21 1"),
    "4p5j.cif": (2011, "4P5J", "I 2 2 2"),
    "1bna.cif": (566, "1BNA", "P 21 21 21"),
    "1l2y.cif.gz": (11552, "1L2Y", None),
    "1as5.cif.gz": (4998, "1AS5", "P 1"),
    "3o5r.cif.gz": (1470, "3O5R", "P 21 21 21"),
    "1pfe.cif.gz": (342, "1PFE", "P 63 2 2"),
    "1xnr.cif.gz": (43833, "STRUCTURE", None),
}
SMALL = ["1aki.cif", "5i55.cif", "1bna.cif", "3o5r.cif.gz", "1pfe.cif.gz"]
CLASSES = {"covalent", "short_contact", "clash", "nonbonded"}
BOND_TYPES = {None, "covalent_single", "covalent_double", "covalent_triple", "covalent_aromatic",
              "covalent_unknown", "ionic", "hydrogen_bond", "metallic"}
AMINO_ACIDS = {"ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS", "ILE", "LEU", "LYS", "MET", "PHE",
               "PRO", "SER", "THR", "TRP", "TYR", "VAL", "SEC"}


@pytest.mark.parametrize("name", list(ENTRIES))
def test_entries_load_with_their_identity(real_entry, name):
    s = real_entry(name)
    assert (s.atom_count, s.entry_id, s.space_group) == ENTRIES[name]
    box = s.bounding_box()
    assert all(lo <= hi for lo, hi in zip(*box))


def test_cells(real_entry):
    assert real_entry("1aki.cif").unit_cell() == ((59.062, 68.451, 30.517), (90.0, 90.0, 90.0))
    assert real_entry("1as5.cif.gz").unit_cell() == ((1.0, 1.0, 1.0), (90.0, 90.0, 90.0))
    assert real_entry("1l2y.cif.gz").unit_cell() is None


@pytest.mark.parametrize("name", SMALL)
def test_contacts_are_ordered_classified_and_agree_with_the_matrix(real_entry, name):
    s = real_entry(name)
    rows = s.contacts(3.0)
    assert rows and all(a.distance <= b.distance for a, b in zip(rows, rows[1:]))
    assert {c.classification for c in rows} <= CLASSES
    assert all(c.first < c.second < s.atom_count and 0.0 <= c.distance <= 3.0 for c in rows)
    sample = rows[:: max(1, len(rows) // 50)]
    for c in sample:
        m = s.dense_distance_matrix([c.first, c.second])
        assert m.atom_indices == [c.first, c.second]
        assert m.distances[0][1] == c.distance  # one distance per pair, to the last bit
    top = s.contacts(3.0, 25)
    assert [(c.first, c.second) for c in top] == [(c.first, c.second) for c in rows[:25]]


@pytest.mark.parametrize("name", SMALL)
def test_nearest_atoms_and_residues_agree_with_the_matrix(real_entry, name):
    s = real_entry(name)
    centre = s.nearest_atoms(tuple(s.bounding_box()[0]), math.inf, 1)[0]
    hits = s.nearest_atoms(centre.position, 8.0, 10**6)
    assert hits[0].index == centre.index and hits[0].distance == 0.0
    assert all(a.distance <= b.distance for a, b in zip(hits, hits[1:]))
    matrix = s.dense_distance_matrix([h.index for h in hits])
    assert matrix.atom_indices == [h.index for h in hits]
    assert [matrix.distances[0][k] for k in range(len(hits))] == [h.distance for h in hits]
    residues = s.nearest_residues(centre.position, 8.0, 10**6)
    assert all(r.comp_id.strip().upper() in AMINO_ACIDS for r in residues)
    # A residue is as near as its nearest atom within the radius.
    nearest = {}
    for h in hits:
        if h.label_comp_id and h.label_comp_id.strip().upper() in AMINO_ACIDS:
            nearest.setdefault((h.label_comp_id, h.chain_id, h.seq_id), h.distance)
    assert {(r.comp_id, r.chain_id, r.seq_id): r.distance for r in residues} == nearest


@pytest.mark.parametrize("name", SMALL + ["4p5j.cif"])
def test_adjacency_bonds_and_profiles_agree(real_entry, name):
    s = real_entry(name)
    explicit = s.sparse_adjacency(False, 0.0)
    assert len(explicit) == s.atom_count
    pairs = [(i, b.index) for i, row in enumerate(explicit) for b in row if i < b.index]
    assert s.explicit_bonds() == pairs
    geometric = s.sparse_adjacency(True, 0.4)
    assert {b.bond_type for row in geometric for b in row} <= BOND_TYPES
    for i, row in enumerate(geometric):
        assert [b.index for b in row][: len(explicit[i])] == [b.index for b in explicit[i]]
    for i in range(0, s.atom_count, max(1, s.atom_count // 7)):
        profile = s.atom_profile(i, True, 0.4)
        assert profile.neighbor_indices == [b.index for b in geometric[i]]
        assert [b.bond_type for b in profile.neighbor_bonds] == [b.bond_type for b in geometric[i]]


def test_explicit_bonds_of_entries_with_struct_conn_rows(real_entry):
    assert real_entry("1aki.cif").explicit_bonds()  # disulfides and chem_comp_bond rows
    def types(name):
        return {b.bond_type for row in real_entry(name).sparse_adjacency(False, 0.0) for b in row}

    assert "hydrogen_bond" in types("1bna.cif")
    assert "metallic" in types("4p5j.cif")


def test_large_entry_answers_point_queries(real_entry):
    s = real_entry("1xnr.cif.gz")
    first = s.nearest_atoms((0.0, 0.0, 0.0), math.inf, 1)[0]
    around = s.nearest_atoms(first.position, 6.0, 100)
    assert around[0].index == first.index and len(around) > 1
    profile = s.atom_profile(first.index, False, 0.0)
    assert profile.b_factor is None  # the entry has no B-factor column
