"""quarn's array results: row for row and bit for bit the answers of the Structure methods they mirror."""

import math
import struct
import threading
import time

import numpy as np
import pytest

import quarn
from conftest import DATA_DIR, atom

ENTRIES = sorted(p.name for p in DATA_DIR.glob("*.cif*")) if DATA_DIR.exists() else []


def bits(value):
    """A float as its bits, so that NaN equals NaN and 0.0 differs from -0.0."""
    return struct.pack("<d", value)


def same_contacts(s, cutoff, max_results=None):
    c = quarn.contacts(s, cutoff, max_results)
    rows = [(r.first, r.second, bits(r.distance), r.classification) for r in s.contacts(cutoff, max_results)]
    names = quarn.CONTACT_CLASSES
    assert list(zip(c.first, c.second, map(bits, c.distance), (names[k] for k in c.classification))) == rows
    return len(rows)


def same_graph(s, include_geometric, tolerance):
    g = quarn.bond_graph(s, include_geometric, tolerance)
    rows = s.sparse_adjacency(include_geometric, tolerance)
    offsets, indices, types = g.indptr.tolist(), g.indices.tolist(), g.bond_type.tolist()
    assert len(offsets) == s.atom_count + 1 and offsets[0] == 0
    names = quarn.BOND_TYPES
    for i, row in enumerate(rows):
        span = range(offsets[i], offsets[i + 1])
        assert [(indices[k], names[types[k]] if types[k] >= 0 else None) for k in span] == \
            [(n.index, n.bond_type) for n in row]
    edges = g.edges()
    assert list(zip(edges.first, edges.second)) == [(i, n.index) for i, row in enumerate(rows) for n in row if i < n.index]
    if not include_geometric:
        assert list(zip(edges.first, edges.second)) == s.explicit_bonds()


def same_matrix(s, atom_indices=None):
    m = quarn.distance_matrix(s, atom_indices)
    ref = s.dense_distance_matrix(atom_indices)
    assert m.atom_indices.tolist() == ref.atom_indices
    assert [[bits(d) for d in row] for row in m.distances.tolist()] == [[bits(d) for d in row] for row in ref.distances]


def same_nearest(s, origins, max_distance, max_results=None):
    n = quarn.nearest_atoms(s, origins, max_distance, max_results)
    assert len(n) == len(origins)
    bound = s.atom_count if max_results is None else max_results
    for k, origin in enumerate(origins):
        hits = s.nearest_atoms(tuple(map(float, origin)), max_distance, bound)
        assert [(i, bits(d)) for i, d in n.hits(k)] == [(h.index, bits(h.distance)) for h in hits]
    return n


def every_query_agrees(s):
    # Stacked NMR models make millions of pairs within 4 A, too many to compare as objects.
    cutoff = 4.0 if len(quarn.contacts(s, 4.0)) < 200_000 else 1.2
    count = same_contacts(s, cutoff)
    same_contacts(s, cutoff * 0.75, max_results=count // 3)
    same_contacts(s, 2.5, max_results=0)
    for include_geometric, tolerance in ((False, -1.0), (True, 0.4), (True, -0.3), (True, math.nan)):
        same_graph(s, include_geometric, tolerance)
    assert list(zip(*quarn.explicit_bonds(s).columns().values())) == s.explicit_bonds()
    n = s.atom_count
    same_matrix(s, None if n <= 1500 else list(range(0, n, n // 400)))
    same_matrix(s, [n - 1, 0, n, 0, 10**9])
    xyz = np.asarray(quarn.positions(s))
    finite = xyz[np.isfinite(xyz).all(axis=1)]
    origins = np.vstack([finite[:: max(1, len(finite) // 60)] + 0.7, [[0.0, 0.0, 0.0], [1e6, -1e6, 0.0]]])
    same_nearest(s, origins, 6.0)
    same_nearest(s, origins, 9.0, max_results=7)


@pytest.mark.parametrize("name", ENTRIES)
def test_real_entries(real_entry, name):
    every_query_agrees(real_entry(name))


HOSTILE = {
    # NaN, infinite and missing coordinates; atoms without an element
    "non-finite": dict(atoms=[atom("C", "nan", 0, 0), atom("C", 0, 0, 0), atom("O", "inf", 0, 0), atom("N", 1, 1, None),
                              atom("C", 1.2, 0, 0), atom("X", 0.5, 0.5, 0), atom("O", -0.9, 0, 0)]),
    # atoms across the faces of an orthogonal cell, and one far outside it
    "periodic": dict(atoms=[atom("C", 0.2, 5, 5), atom("C", 9.8, 5, 5), atom("O", 5, 9.9, 0.1), atom("N", 5, 0.3, 9.7),
                            atom("C", 26, 5, 5), atom("H", 0.2, 5.9, 5)], cell=(10, 10, 10, 90, 90, 90)),
    # several atoms at one position: ties in every order
    "duplicates": dict(atoms=[atom("C", 1, 1, 1, seq=i // 3) for i in range(9)] + [atom("O", 2.2, 1, 1), atom("C", 0, 1, 1)]),
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_structures(load, name):
    spec = dict(HOSTILE[name])
    every_query_agrees(load(spec.pop("atoms"), **spec))


def test_large_batches_split_over_threads_as_one(load):
    # 2,000 origins run in parts on several threads; each origin's rows are its own call's.
    s = load([atom("C", 1.4 * (i % 15), 1.4 * (i // 15 % 15), 1.4 * (i // 225)) for i in range(2000)])
    rng = np.random.default_rng(7)
    origins = rng.uniform(-2.0, 23.0, size=(2000, 3))
    n = same_nearest(s, origins, 3.0)
    assert len(n.indices) > 20000
    transposed = np.asfortranarray(origins.astype(np.float32))  # read in place, whatever the layout
    again = quarn.nearest_atoms(s, transposed, 3.0)
    assert len(again) == 2000 and again.offsets[2000] > 0


def test_arguments_are_refused_as_the_methods_refuse(load):
    s = load([atom("C", 0, 0, 0), atom("C", 1.5, 0, 0)])
    for cutoff in (0.0, -1.0, math.nan):
        with pytest.raises(ValueError, match="^cutoff must be positive$"):
            quarn.contacts(s, cutoff)
    with pytest.raises(TypeError, match="contacts.*'cutoff'"):
        quarn.contacts(s, "4")
    with pytest.raises(OverflowError, match="'max_results'"):
        quarn.contacts(s, 4.0, -1)
    with pytest.raises(TypeError, match="'include_geometric'"):
        quarn.bond_graph(s, 1, 0.4)
    with pytest.raises(TypeError, match="'tolerance'"):
        quarn.bond_graph(s, True, None)
    assert len(quarn.bond_graph(s, np.bool_(True), -5.0).indices) == 0  # accepted, as the method accepts it
    with pytest.raises(TypeError, match="'atom_indices'"):
        quarn.distance_matrix(s, "01")
    with pytest.raises(OverflowError):
        quarn.distance_matrix(s, [0, -1])
    with pytest.raises(TypeError, match="argument 'structure'"):
        quarn.contacts(object(), 4.0)
    with pytest.raises(TypeError, match="argument 'structure'"):
        quarn.atoms("1abc.cif")


@pytest.mark.parametrize(
    "origins, error, message",
    [
        ("abc", TypeError, "sequence of"),
        (None, TypeError, "sequence of"),
        ([(0, 0)], ValueError, "origin 0 has 2 coordinates"),
        ([(0, 0, 0), 5], TypeError, "origin 1 is not a sequence"),
        ([(0, 0, "z")], TypeError, "origin 0 has a coordinate that is not a number"),
        ([(0, 0, 0), (math.nan, 0, 0)], ValueError, "origin 1 has a coordinate that is not finite"),
        (np.zeros((4, 2)), ValueError, r"m x 3 array, got shape \(4, 2\)"),
        (np.zeros(3), ValueError, r"m x 3 array, got shape \(3,\)"),
        (np.array([[0, 0, np.inf]]), ValueError, "origin 0 has a coordinate that is not finite"),
        (np.zeros((1, 3), dtype=complex), TypeError, "element type '<c16'"),
    ],
)
def test_bad_origins_name_the_parameter(load, origins, error, message):
    s = load([atom("C", 0, 0, 0)])
    with pytest.raises(error, match="nearest_atoms\\(\\) argument 'origins': .*" + message):
        quarn.nearest_atoms(s, origins, 1.0)


def test_origins_of_every_form_agree(load):
    s = load([atom("C", i, 0, 0) for i in range(6)])
    forms = [[(0.5, 0, 0), (3, 0, 0)], [[0.5, 0, 0], [3, 0, 0]], np.array([[0.5, 0, 0], [3, 0, 0]]),
             np.array([[1, 0, 0], [3, 0, 0]], dtype=np.int16) * 0.5 * np.array([1, 0, 0]) + np.array([0, 0, 0])]
    results = [quarn.nearest_atoms(s, f, 1.0) for f in forms[:3]]
    assert all(r.hits(0) == [(0, 0.5), (1, 0.5)] and r.hits(1) == [(3, 0.0), (2, 1.0), (4, 1.0)] for r in results)
    assert len(quarn.nearest_atoms(s, np.zeros((0, 3)), 1.0)) == 0
    assert quarn.nearest_atoms(s, [(0, 0, 0)], 10.0, max_results=2).hits(0) == [(0, 0.0), (1, 1.0)]


def test_a_matrix_too_large_raises_before_allocating(load):
    s = load([atom("C", 0, 0, 0), atom("C", 1, 0, 0)])
    with pytest.raises(MemoryError, match="1000000 atoms needs"):
        quarn.distance_matrix(s, [0, 1] * 500_000)
    assert quarn.distance_matrix(s, [1, 0]).distances.tolist() == [(0.0, 1.0), (1.0, 0.0)]


def test_results_outlive_their_structure(load):
    s = load([atom("C", 1.5 * i, 0, 0) for i in range(30)])
    results = [quarn.contacts(s, 4.0), quarn.bond_graph(s, True, 0.4), quarn.distance_matrix(s, [3, 1]),
               quarn.nearest_atoms(s, [(0, 0, 0)], 5.0), quarn.explicit_bonds(s)]
    arrays = [np.asarray(r.distance) for r in results[:1]] + [np.asarray(results[1].indices)]
    seen = [repr(r.columns() if hasattr(r, "columns") else vars_of(r)) for r in results]
    del s
    for _ in range(50):
        load([atom("O", 9, 9, 9)] * 40).contacts(1.0)
    assert [repr(r.columns() if hasattr(r, "columns") else vars_of(r)) for r in results] == seen
    assert arrays[0][0] == 1.5 and arrays[1][0] == 1


def vars_of(result):
    return {name: getattr(result, name).tolist() for name in type(result).__slots__}


def test_queries_release_the_interpreter_lock(load):
    # While one thread searches, another keeps running Python: the longest pause it sees is far
    # shorter than the search.
    s = load([atom("C", 1.2 * (i % 30), 1.2 * (i // 30 % 30), 1.2 * (i // 900)) for i in range(18000)])
    origins = np.asarray(quarn.positions(s)) + 0.3
    quarn.contacts(s, 1.0)  # the index is built before timing
    go, done, took = threading.Event(), threading.Event(), []

    def search():
        go.wait()
        start = time.perf_counter()
        while time.perf_counter() - start < 0.3:  # long enough to tell on a fast, idle machine
            quarn.nearest_atoms(s, origins, 7.0, max_results=1)
        took.append(time.perf_counter() - start)
        done.set()

    worker = threading.Thread(target=search)
    worker.start()
    longest, last = 0.0, time.perf_counter()
    go.set()  # the search starts while this thread is already timing itself
    while not done.is_set():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    assert took[0] > 0.2, "the search was too short to tell"
    assert longest < took[0] / 2


def test_caches_built_by_a_method_and_a_query_at_once(write_cif):
    # The bond graph and the spatial index of a fresh Structure are built once, whoever asks first:
    # a method holding the interpreter lock and a quarn query without it, side by side.
    import quarn_parser

    path = write_cif([atom("C", 1.4 * (i % 20), 1.4 * (i // 20 % 20), 1.4 * (i // 400)) for i in range(8000)])
    for _ in range(3):
        s = quarn_parser.parse(path)
        answers = {}
        calls = {
            "method": lambda: [[n.index for n in row] for row in s.sparse_adjacency(True, 0.4)],
            "query": lambda: quarn.bond_graph(s, True, 0.4),
            "contacts": lambda: quarn.contacts(s, 2.0),
        }
        threads = [threading.Thread(target=lambda k=k: answers.__setitem__(k, calls[k]())) for k in calls]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        assert not any(t.is_alive() for t in threads), "a cache build deadlocked"
        g = answers["query"]
        offsets, indices = g.indptr.tolist(), g.indices.tolist()
        assert [indices[offsets[i]:offsets[i + 1]] for i in range(s.atom_count)] == answers["method"]
        assert len(answers["contacts"]) == len(s.contacts(2.0))
