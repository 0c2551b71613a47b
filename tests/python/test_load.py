"""quarn.load, load_many and iter_load: the Structures of quarn_parser.parse, failures as ReadError."""

import errno
import os
import pickle
from pathlib import Path

import pytest

import quarn
import quarn_parser
from conftest import atom, data_path


def answers(s):
    return (s.entry_id, s.atom_count, s.unit_cell(), s.bounding_box(), s.explicit_bonds(),
            [(c.first, c.second, c.distance, c.classification) for c in s.contacts(4.0)],
            [[(n.index, n.bond_type) for n in row] for row in s.sparse_adjacency(True, 0.4)],
            quarn.positions(s).tolist())


def test_load_gives_the_structure_of_parse_for_every_path_form():
    path = data_path("3o5r.cif.gz")
    expected = answers(quarn_parser.parse(path))
    for form in (path, str(path), os.fsencode(path)):
        s = quarn.load(form)
        assert type(s) is quarn_parser.Structure
        assert answers(s) == expected
    with pytest.raises(TypeError, match="'path'"):
        quarn.load(3)


def parse_error(path):
    with pytest.raises(ValueError) as caught:
        quarn_parser.parse(path)
    return str(caught.value)


@pytest.mark.parametrize("case, system_class, number", [
    ("missing", FileNotFoundError, errno.ENOENT),
    ("folder", IsADirectoryError, errno.EISDIR),
    ("nul", OSError, errno.EINVAL),
])
def test_system_failures_are_read_errors_and_os_errors(tmp_path, case, system_class, number):
    path = {"missing": str(tmp_path / "gone.cif"), "folder": str(tmp_path), "nul": str(tmp_path) + "/a\0b"}[case]
    with pytest.raises(quarn.ReadError) as caught:
        quarn.load(path)
    e = caught.value
    assert isinstance(e, ValueError) and isinstance(e, system_class)
    assert str(e) == parse_error(path)
    assert (e.kind, e.errno, e.path, e.filename, e.line) == ("I/O error", number, path, path, None)
    assert e.message == e.strerror and str(e) == f"I/O error: {e.message}" + (f" ({path})" if case != "folder" else "")
    again = pickle.loads(pickle.dumps(e))
    assert type(again) is type(e) and str(again) == str(e) and (again.errno, again.path) == (e.errno, e.path)


def test_parse_failures_are_read_errors_only(write_cif, tmp_path):
    mismatch = write_cif("data_x\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1 2 3\n")
    not_gzip = write_cif("data_x\n", name="plain.cif.gz")
    for path, kind, line in ((mismatch, "loop tag/value mismatch", 2), (not_gzip, "I/O error", None)):
        with pytest.raises(quarn.ReadError) as caught:
            quarn.load(path)
        e = caught.value
        assert not isinstance(e, OSError)
        assert (e.kind, e.errno, e.path, e.line) == (kind, None, str(path), line)
        assert str(e) == parse_error(path) == f"{kind}: {e.message}"
        assert str(pickle.loads(pickle.dumps(e))) == str(e)


def test_many_files_in_order_with_failures_in_their_slots(write_cif, tmp_path):
    good = [write_cif([atom("C", k, 0, 0), atom("O", k + 1.2, 0, 0)], block=f"e{k}") for k in range(7)]
    bad = write_cif("data_bad\n_cell.length_a 1.0\n")
    paths = good[:3] + [bad, tmp_path / "gone.cif"] + good[3:]
    expected = [answers(quarn_parser.parse(p)) for p in good]
    for workers in (1, 3, None):
        outcomes = quarn.load_many(paths, workers=workers)
        assert [answers(o) for o in outcomes[:3] + outcomes[5:]] == expected
        assert isinstance(outcomes[3], quarn.ReadError) and str(outcomes[3]) == parse_error(bad)
        assert isinstance(outcomes[4], FileNotFoundError)
        assert [p for p, _ in quarn.iter_load(iter(paths), workers)] == paths
    with pytest.raises(quarn.ReadError, match="partial unit cell"):
        quarn.load_many(paths, 2, raise_errors=True)
    for workers, error in ((0, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(error):
            quarn.load_many(paths, workers)
    with pytest.raises(TypeError, match="'path'"):
        list(quarn.iter_load(good[:2] + [None], 2))
