"""The README's tour is real output: it runs as a doctest against the bundled example entry."""

import doctest

from conftest import REPO_ROOT


def test_readme_tour_runs_as_shown(monkeypatch):
    monkeypatch.chdir(REPO_ROOT)
    failures, tried = doctest.testfile(str(REPO_ROOT / "README.md"), module_relative=False, verbose=False)
    assert tried > 10 and failures == 0
