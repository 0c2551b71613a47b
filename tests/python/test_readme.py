"""The README tour, the user guide and the quickstart run as shown, on the bundled example entry."""

import doctest

import pytest

from conftest import REPO_ROOT


@pytest.mark.parametrize("page", ["README.md", "docs/guide.md"])
def test_examples_run_as_shown(monkeypatch, page):
    monkeypatch.chdir(REPO_ROOT)
    failures, tried = doctest.testfile(str(REPO_ROOT / page), module_relative=False, verbose=False)
    assert tried > 10 and failures == 0


def test_quickstart_runs_on_the_bundled_entry():
    import subprocess
    import sys

    done = subprocess.run(
        [sys.executable, str(REPO_ROOT / "examples" / "quickstart.py")], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "entry 3O5R: 1470 atoms, space group P 21 21 21"
    assert any(line.startswith("ligand FK5 (") for line in lines)
    assert any("atom pairs within 4 A" in line for line in lines)
