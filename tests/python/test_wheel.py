"""The portable wheel: built by scripts/build-wheel, installed alone into a fresh venv, it runs the
quickstart as the development install does, on the libraries it carries."""

import re
import subprocess
import sys
from pathlib import Path

from conftest import REPO_ROOT

QUICKSTART = REPO_ROOT / "examples" / "quickstart.py"

PROBE = """
import quarn, quarn_parser
print(quarn_parser.__file__)
print(quarn.INFLATER)
print(open("/proc/self/maps").read())
"""


def test_portable_wheel_runs_the_quickstart_in_a_fresh_venv(tmp_path):
    built = subprocess.run([REPO_ROOT / "scripts" / "build-wheel", tmp_path / "dist"], capture_output=True,
                           text=True, timeout=3600)
    assert built.returncode == 0, built.stderr[-4000:]
    wheel = Path(built.stdout.splitlines()[-1])
    assert re.fullmatch(r"quarn_parser-[\d.]+-cp39-abi3-manylinux_2_\d+_x86_64\.whl", wheel.name), wheel.name

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=600)
    python = venv / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--disable-pip-version-check", wheel],
                   check=True, timeout=600)

    # From an empty folder, so that nothing of the repository can be imported in the wheel's place.
    run = subprocess.run([python, QUICKSTART], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    here = subprocess.run([sys.executable, QUICKSTART], capture_output=True, text=True, timeout=600)
    assert run.stdout == here.stdout

    probe = subprocess.run([python, "-c", PROBE], cwd=tmp_path, capture_output=True, text=True, timeout=600,
                           check=True).stdout.splitlines()
    module, inflater, maps = Path(probe[0]), probe[1], probe[2:]
    assert venv in module.parents
    if inflater.startswith("isa-l"):
        # The copy inside the wheel, never the machine's own.
        loaded = {line.split()[-1] for line in maps if "libisal" in line}
        assert loaded and all(venv in Path(p).parents and ".libs" in p for p in loaded), loaded
