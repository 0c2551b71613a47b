"""Ownership: results outlive their Structure, and repeated calls (errors included) leak nothing."""

import gc
import gzip
import pathlib
import sys

import pytest

import quarn_parser
from conftest import atom, cif_text


def small_text():
    atoms = [
        atom("C", 0, 0, 0, name="CA", seq=1, occupancy=1.0),
        atom("C", 1.54, 0, 0, name="CB", seq=1),
        atom("O", 1.54, 1.2, 0, name="OG", comp="SER", seq=2),
        atom("N", 0, 0, 3, name="N", comp="GLY", seq=3),
    ]
    conn = (
        "loop_\n_struct_conn.conn_type_id\n_struct_conn.ptnr1_label_atom_id\n_struct_conn.ptnr2_label_atom_id\n"
        "covale CA CB\nhydrog OG N\n"
    )
    return cif_text(atoms, block="LIFE", cell=(30, 30, 30, 90, 90, 90), extra=conn)


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    p = tmp_path_factory.mktemp("life") / "life.cif"
    p.write_text(small_text())
    return p


def read_all(obj):
    """Every attribute of a result object, nested results included, as plain values."""
    if isinstance(obj, list):
        return [read_all(item) for item in obj]
    if type(obj).__module__ != "quarn_parser":
        return obj
    names = sorted(n for n, v in vars(type(obj)).items() if type(v).__name__ == "getset_descriptor")
    return {n: read_all(getattr(obj, n)) for n in names}


def every_result(s):
    origin = (0.0, 0.0, 0.0)
    return {
        "contacts": s.contacts(5.0),
        "atoms": s.nearest_atoms(origin, 5.0, 10),
        "residues": s.nearest_residues(origin, 5.0, 10),
        "matrix": s.dense_distance_matrix(),
        "adjacency": s.sparse_adjacency(True, 0.4),
        "profile": s.atom_profile(0, True, 0.4),
    }


def test_results_outlive_their_structure(path):
    s = quarn_parser.parse(path)
    results = every_result(s)
    seen = {k: read_all(v) for k, v in results.items()}
    del s
    gc.collect()
    for _ in range(200):  # churn the allocator so that freed memory is reused
        quarn_parser.parse(path).contacts(5.0)
    after = {k: read_all(v) for k, v in results.items()}
    assert after == seen
    assert seen["profile"]["neighbor_indices"] == [1]
    assert seen["matrix"]["atom_indices"] == [0, 1, 2, 3]


def growth(call, repeats=300):
    """Blocks the interpreter still holds after `repeats` calls, the least of two rounds after a warm-up
    (first calls fill caches of the interpreter: those are not leaks and do not repeat; some take a few
    hundred calls to settle)."""
    for _ in range(repeats):
        call()
    rounds = []
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeats):
            call()
        gc.collect()
        rounds.append(sys.getallocatedblocks() - before)
    return min(rounds)


def raising(exception, thunk):
    def call():
        try:
            thunk()
        except exception:
            pass
        else:
            raise AssertionError("the call did not raise")

    return call


@pytest.fixture(scope="module")
def structure(path):
    return quarn_parser.parse(path)


class FailingPath:
    def __fspath__(self):
        raise RuntimeError("no path today")


class FailingSequence:
    """A sequence whose iteration fails halfway."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise KeyError(i)
        return 0


class FailingFloat:
    def __float__(self):
        raise ArithmeticError("no float today")


try:
    import numpy

    NUMPY_FLAG = numpy.bool_(True)
except ImportError:  # the flag's numpy path is then left out
    NUMPY_FLAG = True


def leak_cases(s, path, gz_path=None, broken_path=None):
    origin = (0.0, 0.0, 0.0)
    return {
        "parse": lambda: quarn_parser.parse(path),
        "parse gzip": lambda: quarn_parser.parse(gz_path),
        "parse path-like": lambda: quarn_parser.parse(pathlib.Path(path)),
        "numpy flag": lambda: read_all(s.sparse_adjacency(NUMPY_FLAG, 0.4)),
        "keywords": lambda: read_all(s.atom_profile(tolerance=0.4, include_geometric=False, atom_index=1)),
        "reader error": raising(ValueError, lambda: quarn_parser.parse(broken_path)),
        "path-like error": raising(OSError, lambda: quarn_parser.parse(FailingPath())),
        "parse binding": raising(TypeError, lambda: quarn_parser.parse()),
        "unknown keyword": raising(TypeError, lambda: s.nearest_atoms(origin, 1.0, 1, limit=2)),
        "repeated argument": raising(TypeError, lambda: s.contacts(1.0, cutoff=2.0)),
        "missing argument": raising(TypeError, lambda: s.atom_profile(0, True)),
        "no-argument method": raising(TypeError, lambda: s.unit_cell(1)),
        "count type": raising(TypeError, lambda: s.nearest_atoms(origin, 1.0, 1.5)),
        "float raising": raising(ArithmeticError, lambda: s.contacts(FailingFloat())),
        "point type": raising(TypeError, lambda: s.nearest_atoms([0.0, 0.0, 0.0], 1.0, 1)),
        "index list str": raising(TypeError, lambda: s.dense_distance_matrix("012")),
        "index list iteration": raising(KeyError, lambda: s.dense_distance_matrix(FailingSequence())),
        "index list item range": raising(OverflowError, lambda: s.dense_distance_matrix([0, -1])),
        "index range type": raising(OverflowError, lambda: s.atom_profile(-1, False, 0.0)),
        "tolerance type": raising(TypeError, lambda: s.sparse_adjacency(True, None)),
        "no constructor": raising(TypeError, lambda: quarn_parser.Contact()),
        "attributes": lambda: (s.atom_count, s.entry_id, s.space_group, s.unit_cell(), s.bounding_box()),
        "contacts": lambda: read_all(s.contacts(5.0)),
        "nearest_atoms": lambda: read_all(s.nearest_atoms(origin, 5.0, 10)),
        "nearest_residues": lambda: read_all(s.nearest_residues(origin, 5.0, 10)),
        "dense_distance_matrix": lambda: read_all(s.dense_distance_matrix(range(4))),
        "sparse_adjacency": lambda: read_all(s.sparse_adjacency(True, 0.4)),
        "explicit_bonds": lambda: s.explicit_bonds(),
        "atom_profile": lambda: read_all(s.atom_profile(2, True, 0.4)),
        "bad path": raising(OSError, lambda: quarn_parser.parse(b"x.cif")),
        "missing file": raising(ValueError, lambda: quarn_parser.parse(str(path) + ".absent")),
        "binding": raising(TypeError, lambda: s.contacts(1.0, 2, 3)),
        "float": raising(TypeError, lambda: s.contacts("x")),
        "count": raising(OverflowError, lambda: s.contacts(1.0, -1)),
        "cutoff": raising(ValueError, lambda: s.contacts(-1.0)),
        "point": raising(ValueError, lambda: s.nearest_atoms((0.0, 0.0), 1.0, 1)),
        "point item": raising(TypeError, lambda: s.nearest_residues((0.0, "y", 0.0), 1.0, 1)),
        "flag": raising(TypeError, lambda: s.sparse_adjacency(1, 0.0)),
        "index list": raising(TypeError, lambda: s.dense_distance_matrix([0, 1, "2"])),
        "index range": raising(ValueError, lambda: s.atom_profile(99, False, 0.0)),
        "tolerance": raising(ValueError, lambda: s.atom_profile(0, True, -1.0)),
        "memory": raising(MemoryError, lambda: s.dense_distance_matrix([0] * 200_000)),
    }


CASES = list(leak_cases(None, None))


@pytest.fixture(scope="module")
def gz_path(path):
    p = path.with_name("life.cif.gz")
    p.write_bytes(gzip.compress(path.read_bytes()))
    return p


@pytest.fixture(scope="module")
def broken_path(path):
    p = path.with_name("broken.cif")
    p.write_text("data_x\nloop_ _atom_site.id _atom_site.Cartn_x 1 2 3\n")
    return p


@pytest.mark.parametrize("case", CASES)
def test_repeated_calls_hold_no_memory(structure, path, gz_path, broken_path, case):
    call = leak_cases(structure, path, gz_path, broken_path)[case]
    assert growth(call) < 50  # one leaked object per call would show as 300 or more


def test_instances_release_their_class(structure, path, gz_path, broken_path):
    classes = [getattr(quarn_parser, name) for name in quarn_parser.__all__ if name != "parse"]
    before = [sys.getrefcount(cls) for cls in classes]
    for call in leak_cases(structure, path, gz_path, broken_path).values():
        for _ in range(20):
            call()
    gc.collect()
    assert [sys.getrefcount(cls) for cls in classes] == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_dropping_a_structure_frees_its_model(tmp_path):
    # 20,000 atoms take a few megabytes in the core; a model left behind by each dropped Structure
    # would add that much per parse.
    big = tmp_path / "big.cif"
    big.write_text(cif_text([atom("C", i % 50, (i // 50) % 50, i // 2500) for i in range(20_000)]))
    for _ in range(3):
        quarn_parser.parse(big)
    before = resident_bytes()
    for _ in range(40):
        s = quarn_parser.parse(big)
        s.explicit_bonds()  # fills the bond-graph cache too
        del s
    assert resident_bytes() - before < 20 * 2**20


def test_large_results_leave_the_collector_as_they_found_it(load):
    # Large results are built with the cyclic collector paused; its state must come back exactly,
    # also when the call fails midway or the caller had turned the collector off.
    atoms = [atom("C", 1.5 * (i % 20), 1.5 * (i // 20 % 20), 1.5 * (i // 400), name="C", seq=i) for i in range(5000)]
    s = load(atoms)
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            gc.enable() if enabled else gc.disable()
            assert len(s.sparse_adjacency(True, 0.4)) == 5000
            assert len(s.contacts(1.6)) > 4096
            assert gc.isenabled() is enabled
            with pytest.raises(TypeError):
                s.sparse_adjacency(1, 0.4)
            assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
    # Cycles made after such a call are still collected.
    gc.collect()
    cycle = []
    cycle.append(cycle)
    del cycle
    assert gc.collect() >= 1
