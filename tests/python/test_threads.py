"""Eight threads at once give the single-threaded answers: queries on one fresh Structure, its caches
built by whichever thread asks first, through both surfaces; and loads of many files."""

import threading

import quarn
import quarn_parser
from conftest import data_path

THREADS = 8
ENTRIES = ("1aki.cif", "3o5r.cif.gz", "5i55.cif", "1pfe.cif.gz")


def probes(path):
    """A point among the atoms of the entry at `path` and 300 of its atom positions."""
    points = quarn.positions(quarn_parser.parse(path)).tolist()[:300]
    return tuple(points[0]), points


def queries(s, origin, points):
    """Each query of `s` as a function returning plain values; the first ones build the caches."""
    return [
        lambda: [(c.first, c.second, c.distance, c.classification) for c in s.contacts(4.0)],
        lambda: [[(n.index, n.bond_type) for n in row] for row in s.sparse_adjacency(True, 0.4)],
        lambda: [(h.index, h.distance) for h in s.nearest_atoms(origin, 10.0, 100)],
        lambda: [(r.chain_id, r.seq_id, r.distance) for r in s.nearest_residues(origin, 10.0, 20)],
        lambda: s.atom_profile(0, True, 0.4).neighbor_indices,
        lambda: [c.tolist() for c in (lambda r: (r.first, r.second, r.distance))(quarn.contacts(s, 4.0))],
        lambda: [c.tolist() for c in (lambda g: (g.indptr, g.indices, g.bond_type))(quarn.bond_graph(s, True, 0.4))],
        lambda: [c.tolist() for c in (lambda n: (n.offsets, n.indices, n.distances))(
            quarn.nearest_atoms(s, points, 6.0))],
    ]


def run_at_once(work):
    """work(k) on THREADS threads released together; the results by k, re-raising a thread's failure."""
    results, barrier = [None] * THREADS, threading.Barrier(THREADS)

    def run(k):
        barrier.wait()
        try:
            results[k] = ("ok", work(k))
        except BaseException as e:  # noqa: B902 - handed to the main thread
            results[k] = ("raised", e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a thread never finished"
    for status, value in results:
        if status == "raised":
            raise value
    return [value for _, value in results]


def test_queries_on_one_fresh_structure():
    for name in ("1aki.cif", "3o5r.cif.gz"):
        path = data_path(name)
        probe = probes(path)
        expected = [q() for q in queries(quarn_parser.parse(path), *probe)]
        for _ in range(3):
            calls = queries(quarn_parser.parse(path), *probe)
            # Each thread starts at another query, so every cache is first asked for from both sides.
            got = run_at_once(lambda k: [calls[(k + j) % len(calls)]() for j in range(len(calls))])
            for k, answers in enumerate(got):
                rotated = [answers[(j - k) % len(calls)] for j in range(len(calls))]
                assert rotated == expected, f"thread {k} of {name}"


def test_loads_at_once():
    paths = [data_path(name) for name in ENTRIES]
    probe = [probes(p) for p in paths]
    expected = [[q() for q in queries(quarn_parser.parse(p), *probe[k])] for k, p in enumerate(paths)]
    got = run_at_once(lambda k: [q() for q in queries(quarn.load(paths[k % 4]), *probe[k % 4])])
    for k, answers in enumerate(got):
        assert answers == expected[k % 4], f"thread {k}"
    many = quarn.load_many(paths * 4, workers=THREADS)
    assert [[q() for q in queries(s, *probe[k % 4])] for k, s in enumerate(many)] == expected * 4
