"""Memory exhaustion raises MemoryError and leaves the interpreter usable; it never kills the process."""

import re
import subprocess
import sys
import textwrap

import pytest

import quarn_parser

from conftest import atom


def test_an_impossible_distance_matrix_is_refused_before_allocating(load):
    s = load([atom("C", 0, 0, 0), atom("C", 1, 0, 0)])
    with pytest.raises(MemoryError) as info:
        s.dense_distance_matrix([0, 1] * 500_000)
    message = str(info.value)
    assert "1000000 atoms" in message
    needed = int(re.search(r"needs (\d+) bytes", message).group(1))
    assert needed >= 8 * 10**12  # at least the core's n * n doubles
    # Nothing was left half-made: the same structure still answers.
    assert s.dense_distance_matrix([0, 1]).distances == [[0.0, 1.0], [1.0, 0.0]]


PROLOGUE = """
import resource, sys
import quarn_parser

s = quarn_parser.parse(sys.argv[1])
with open("/proc/self/statm") as f:
    base = int(f.read().split()[0]) * resource.getpagesize()

def limit(headroom_mb):
    # The address space may grow only this much past what the interpreter holds now.
    resource.setrlimit(resource.RLIMIT_AS, (base + headroom_mb * 2**20, resource.RLIM_INFINITY))

def attempt(call):
    try:
        call()
    except MemoryError:
        return "memory-error"
    return "ok"
"""


def run_limited(script, path):
    program = PROLOGUE + textwrap.dedent(script)
    return subprocess.run([sys.executable, "-c", program, str(path)], capture_output=True, text=True, timeout=300)


@pytest.fixture
def dense_file(tmp_path):
    from conftest import cif_text

    # 1,600 atoms within 14 Å of each other: 1.28 million contacts below a cutoff of 100.
    atoms = [atom("C", (i % 12) * 0.7, (i // 12 % 12) * 0.7, (i // 144) * 0.7) for i in range(1600)]
    path = tmp_path / "dense.cif"
    path.write_text(cif_text(atoms))
    return path


def test_core_allocation_failure_raises_memory_error(dense_file):
    # max_results 0 keeps every Python object out: only the core's 1.28 million rows (31 MB) can fail.
    done = run_limited(
        """
        limit(8)
        print(attempt(lambda: s.contacts(100.0, 0)))
        print(len(s.contacts(0.75)))
        """,
        dense_file,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["memory-error", str(len(quarn_parser.parse(dense_file).contacts(0.75)))]


def test_python_object_failure_raises_memory_error(dense_file):
    # Finds the least headroom (in 16 MB steps) in which the core's rows fit, then asks for them as
    # 1.28 million Contact objects, which need about 70 MB more.
    done = run_limited(
        """
        for headroom in range(16, 1024, 16):
            limit(headroom)
            if attempt(lambda: s.contacts(100.0, 0)) == "ok":
                break
        print(attempt(lambda: s.contacts(100.0)))
        print(len(s.contacts(0.75)))
        """,
        dense_file,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["memory-error", str(len(quarn_parser.parse(dense_file).contacts(0.75)))]
