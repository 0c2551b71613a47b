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
