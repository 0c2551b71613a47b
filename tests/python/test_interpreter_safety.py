"""The module leaves the interpreter intact: pending signals keep their exceptions, a patched class cannot
make an instance the module did not fill, and a second interpreter is refused in every order. Each case
that could take the interpreter down runs in a child process."""

import builtins
import subprocess
import sys
import textwrap

import pytest

import quarn_parser
from conftest import atom

CLASSES = ("Structure", "AtomHit", "ResidueHit", "DistanceMatrix", "BondNeighbor", "Contact", "AtomProfile")


def run_child(script, *args):
    command = [sys.executable, "-c", textwrap.dedent(script), *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def grid_file(tmp_path_factory):
    """50,000 carbons 1.5 A apart: enough geometric bonds that the search outlasts a short timer."""
    path = tmp_path_factory.mktemp("grid") / "grid.cif"
    rows = "".join(
        f"{i + 1} C C ALA A {i + 1} {1.5 * (i % 40)} {1.5 * (i // 40 % 40)} {1.5 * (i // 1600)}\n"
        for i in range(50_000)
    )
    header = "data_grid\nloop_\n" + "".join(
        f"_atom_site.{c}\n"
        for c in ("id", "type_symbol", "label_atom_id", "label_comp_id", "label_asym_id", "label_seq_id",
                  "Cartn_x", "Cartn_y", "Cartn_z")
    )
    path.write_text(header + rows)
    return path


def test_a_signal_during_a_call_raises_out_of_it(grid_file):
    # The timer is armed while the tolerance is converted, so it rings while the core searches; the
    # handler's exception must come out of the call, not vanish while the result list is built.
    done = run_child(
        """
        import signal, sys
        import quarn_parser

        rang_in = []

        def ring(signum, frame):
            rang_in.append(frame.f_code.co_name)
            raise KeyboardInterrupt

        class Tolerance:
            def __float__(self):
                signal.setitimer(signal.ITIMER_REAL, 0.001)
                return 0.4

        signal.signal(signal.SIGALRM, ring)
        s = quarn_parser.parse(sys.argv[1])
        for attempt in range(10):
            rang_in.clear()
            try:
                rows = s.sparse_adjacency(True, Tolerance())
            except KeyboardInterrupt:
                if rang_in != ["__float__"]:  # else it rang before the call left Python: try again
                    print("raised")
                    break
            else:
                print("lost", len(rows))
                break
        """,
        grid_file,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["raised"]


def test_building_large_results_runs_no_import(load, monkeypatch):
    # An import runs the interpreter's own code, and with it any pending signal handler.
    atoms = [atom("C", 1.5 * (i % 20), 1.5 * (i // 20 % 20), 1.5 * (i // 400), seq=i) for i in range(5000)]
    s = load(atoms, extra="loop_\n_struct_conn.conn_type_id\n_struct_conn.ptnr1_label_seq_id\n"
                          "_struct_conn.ptnr2_label_seq_id\n" + "".join(f"covale {i} {i + 1}\n" for i in range(4500)))
    imported = []
    real_import = builtins.__import__

    def recording_import(name, *args, **kwargs):
        imported.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    assert len(s.sparse_adjacency(True, 0.4)) == 5000
    assert len(s.explicit_bonds()) > 4096
    assert len(s.contacts(1.6)) > 4096
    assert len(s.nearest_atoms((0.0, 0.0, 0.0), 100.0, 5000)) == 5000
    assert len(s.dense_distance_matrix(range(70)).distances) == 70
    monkeypatch.undo()
    assert imported == []


def test_a_patched_class_makes_no_unfilled_instance():
    done = run_child(
        """
        import ctypes, sys
        import quarn_parser

        new = ctypes.pythonapi.PyType_GenericNew  # allocates through the type, as object.__new__ does
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
        for name in sys.argv[1:]:
            cls = getattr(quarn_parser, name)
            try:
                object.__new__(cls)
            except TypeError:
                pass
            else:
                print(name, "object.__new__ made one")
            try:
                new(cls, (), {})
            except TypeError as error:
                assert str(error) == "No constructor defined", error
            else:
                print(name, "allocation made one")
            try:
                cls.__new__ = staticmethod(lambda c: object.__new__(c))
            except TypeError:
                print(name, "immutable")
                continue
            try:
                cls()
            except TypeError as error:
                assert str(error) == "No constructor defined", error
                print(name, "refused")
            else:
                print(name, "patched __new__ made one")
        """,
        *CLASSES,
    )
    assert done.returncode == 0, done.stderr
    outcome = "immutable" if sys.version_info >= (3, 10) else "refused"
    assert done.stdout.splitlines() == [f"{name} {outcome}" for name in CLASSES]


def test_types_are_immutable_where_the_interpreter_allows_it():
    if sys.version_info < (3, 10):
        pytest.skip("immutable heap types need Python 3.10")
    for name in CLASSES:
        cls = getattr(quarn_parser, name)
        with pytest.raises(TypeError):
            cls.extra = 1
        with pytest.raises(TypeError):
            del cls.__new__
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()


SUBINTERPRETER = """
import os
try:
    import quarn_parser
    seen = "module" if quarn_parser.parse is not None and quarn_parser.Structure is not None else "half-made"
except ImportError:
    seen = "ImportError"
os.write({fd}, (seen + "\\n").encode())
"""


# From 3.13 the interpreter runs a module's init function in the main interpreter first, whoever
# imports it, so there the main interpreter always owns it.
SUB_FIRST = ["ImportError", "ImportError", "module"] if sys.version_info >= (3, 13) else [
    "module", "ImportError", "ImportError"]


@pytest.mark.parametrize(
    "order, expected",
    [(["main", "sub", "sub"], ["module", "ImportError", "ImportError"]), (["sub", "sub", "main"], SUB_FIRST)],
    ids=["main-first", "subinterpreter-first"],
)
def test_one_interpreter_owns_the_module(order, expected):
    try:
        import _testcapi
    except ImportError:
        pytest.skip("this Python has no _testcapi to run subinterpreters")
    assert hasattr(_testcapi, "run_in_subinterp")
    done = run_child(
        """
        import os, sys
        import _testcapi

        code = sys.argv[1].format(fd=1)
        for where in sys.argv[2:]:
            if where == "sub":
                _testcapi.run_in_subinterp(code)  # each runs in a fresh interpreter, destroyed after
            else:
                exec(code)
        """,
        SUBINTERPRETER,
        *order,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == expected
