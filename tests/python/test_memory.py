"""Memory exhaustion raises MemoryError and leaves the interpreter usable; it never kills the process."""

import re
import struct
import subprocess
import sys
import textwrap
import zlib

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

def where(call):
    # The core's MemoryError says what did not fit; one raised while making Python objects does not.
    try:
        call()
    except MemoryError as e:
        return "core" if str(e).startswith("not enough memory for ") else "objects"
    return "ok"
"""


def run_limited(script, path, *more_paths):
    program = PROLOGUE + textwrap.dedent(script)
    command = [sys.executable, "-c", program, str(path), *map(str, more_paths)]
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


@pytest.fixture
def dense_file(tmp_path):
    from conftest import cif_text

    # 1,600 atoms within 14 Å of each other: 1.28 million contacts below a cutoff of 100.
    atoms = [atom("C", (i % 12) * 0.7, (i // 12 % 12) * 0.7, (i // 144) * 0.7) for i in range(1600)]
    path = tmp_path / "dense.cif"
    path.write_text(cif_text(atoms))
    return path


def test_core_allocation_failure_raises_memory_error(dense_file):
    # The core's 1.28 million rows (31 MB, and the pairs sorted before them) fail before any object.
    done = run_limited(
        """
        limit(8)
        print(where(lambda: s.contacts(100.0)))
        print(len(s.contacts(0.75)))
        """,
        dense_file,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["core", str(len(quarn_parser.parse(dense_file).contacts(0.75)))]


def test_python_object_failure_raises_memory_error(dense_file):
    # Raises the headroom 16 MB at a time until the call succeeds: first the core's rows do not fit,
    # then they do but the 1.28 million Contact objects (about 70 MB more) do not.
    done = run_limited(
        """
        seen = []
        for headroom in range(16, 1024, 16):
            limit(headroom)
            seen.append(where(lambda: s.contacts(100.0)))
            if seen[-1] == "ok":
                break
        print(" ".join(dict.fromkeys(seen)))
        print(len(s.contacts(0.75)))
        """,
        dense_file,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["core", "objects", "ok", str(len(quarn_parser.parse(dense_file).contacts(0.75)))]


def gzip_bomb(path, head, blank_mib, tail):
    """A gzip file of `head`, `blank_mib` MiB of blanks, then `tail`, in about a kilobyte per MiB:
    each MiB compressed after a full flush (which forgets what came before) is the same bytes."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    blanks = b" " * 2**20
    first = c.compress(head) + c.flush(zlib.Z_FULL_FLUSH)
    chunk = c.compress(blanks) + c.flush(zlib.Z_FULL_FLUSH)
    crc = zlib.crc32(head)
    for _ in range(blank_mib):
        crc = zlib.crc32(blanks, crc)
    crc = zlib.crc32(tail, crc)
    with open(path, "wb") as f:
        f.write(b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03" + first)
        for _ in range(blank_mib):
            f.write(chunk)
        f.write(c.compress(tail) + c.flush())
        f.write(struct.pack("<II", crc, (len(head) + blank_mib * 2**20 + len(tail)) & 0xFFFFFFFF))


def test_a_gzip_bomb_beyond_the_memory_limit_raises_memory_error(tmp_path, write_cif):
    # One GiB of text in a one-megabyte file, read where the address space may grow by 256 MB: the
    # read fails with MemoryError, and the interpreter goes on parsing.
    bomb = tmp_path / "bomb.cif.gz"
    gzip_bomb(bomb, b"data_bomb\nloop_ _atom_site.id", 1024, b" 1\n")
    assert bomb.stat().st_size < 2**21
    small = write_cif([atom("C", 0, 0, 0)])
    done = run_limited(
        """
        limit(256)
        print(attempt(lambda: quarn_parser.parse(sys.argv[2])))
        print(quarn_parser.parse(sys.argv[1]).atom_count)
        """,
        small,
        bomb,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["memory-error", "1"]


@pytest.fixture(scope="module")
def lattice_file(tmp_path_factory):
    # 100,000 carbons on a 1.5 Å grid, x fastest: the nearest pairs are (i, i + 1), (i, i + 50) and
    # (i, i + 2500), all exactly 1.5 Å apart, and a cutoff of 2.0 takes in 293,500 of them.
    from conftest import cif_text

    atoms = [atom("C", 1.5 * (i % 50), 1.5 * (i // 50 % 50), 1.5 * (i // 2500)) for i in range(100_000)]
    path = tmp_path_factory.mktemp("lattice") / "lattice.cif"
    path.write_text(cif_text(atoms))
    return path


def test_a_search_under_any_address_space_limit_answers_or_raises_memory_error(lattice_file):
    # The pair search runs on threads of its own; under a tight limit their allocations fail, which must
    # come back as MemoryError on the calling thread (a thread throwing without memory aborts the
    # process). One structure used and dropped first, as a long-running pipeline would have.
    done = run_limited(
        """
        import gc
        s.contacts(2.0)
        del s
        gc.collect()
        s = quarn_parser.parse(sys.argv[1])
        for headroom in (0, 1, 2, 4, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 512):
            with open("/proc/self/statm") as f:
                base = int(f.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (base + headroom * 2**20, resource.RLIM_INFINITY))
            try:
                print(headroom, "ok", len(s.contacts(2.0)), flush=True)
            except MemoryError as e:
                print(headroom, "memory-error", str(e), flush=True)
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        """,
        lattice_file,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    outcomes = [line.split(" ", 2) for line in done.stdout.splitlines()]
    assert len(outcomes) == 16, done.stdout
    for headroom, outcome, detail in outcomes:
        assert (outcome, detail) == ("ok", "293500") or outcome == "memory-error", (headroom, outcome, detail)
    assert any(outcome == "memory-error" for _, outcome, _ in outcomes) and outcomes[-1][1] == "ok", done.stdout
    # Where the core ran out, the message says what did not fit.
    core = [detail for _, outcome, detail in outcomes if detail.startswith("not enough memory for ")]
    assert core, done.stdout


def test_a_bounded_answer_needs_memory_for_its_rows_only(lattice_file):
    # Every pair of 100,000 atoms is within an infinite cutoff: 5 billion rows, 120 GB. The first
    # three of them need neither, here with 64 MB to spare.
    done = run_limited(
        """
        limit(64)
        print([(c.first, c.second, c.distance, c.classification) for c in s.contacts(float("inf"), 3)])
        print([(c.first, c.second, c.distance) for c in s.contacts(2.0, 2)])
        print(attempt(lambda: s.contacts(float("inf"))))
        """,
        lattice_file,
    )
    assert done.returncode == 0, done.stderr
    first, second, whole = done.stdout.splitlines()
    assert first == str([(0, 1, 1.5, "covalent"), (0, 50, 1.5, "covalent"), (0, 2500, 1.5, "covalent")])
    assert second == str([(0, 1, 1.5), (0, 50, 1.5)])
    assert whole == "memory-error"
