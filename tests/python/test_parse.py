"""parse(): path conversion, reader errors as ValueError, argument binding."""

import os
import pathlib

import pytest

import quarn_parser
from conftest import atom, cif_text

PATH_MESSAGE = "^path must be str or os.PathLike$"


class PathLike:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class BrokenPathLike:
    def __fspath__(self):
        raise RuntimeError("no path today")


def test_str_pathlib_and_path_like_read_the_same_file(write_cif):
    path = write_cif([atom("C", 1, 2, 3), atom("O", 4, 5, 6)], block="1ABC")
    structures = [quarn_parser.parse(p) for p in (str(path), pathlib.Path(path), PathLike(str(path)))]
    assert {(s.atom_count, s.entry_id, s.bounding_box()) for s in structures} == {
        (2, "1ABC", ((1.0, 2.0, 3.0), (4.0, 5.0, 6.0)))
    }
    assert quarn_parser.parse(path=str(path)).atom_count == 2


@pytest.mark.parametrize(
    "value",
    [b"/tmp/x.cif", bytearray(b"x.cif"), 3, None, 1.5, ["x.cif"], PathLike(b"x.cif"), PathLike(3), BrokenPathLike()],
    ids=["bytes", "bytearray", "int", "None", "float", "list", "pathlike-bytes", "pathlike-int", "pathlike-raises"],
)
def test_unusable_paths_raise_os_error(value):
    with pytest.raises(OSError, match=PATH_MESSAGE) as info:
        quarn_parser.parse(value)
    assert type(info.value) is OSError


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_an_interrupt_or_exhaustion_in_fspath_is_not_a_bad_path(error):
    # Only failures of the conversion itself become the fixed OSError.
    raised = error("from __fspath__")

    class Interrupted:
        def __fspath__(self):
            raise raised

    with pytest.raises(error) as info:
        quarn_parser.parse(Interrupted())
    assert info.value is raised


def test_bytes_path_of_an_existing_file_is_still_refused(write_cif):
    path = write_cif([atom("C", 0, 0, 0)])
    with pytest.raises(OSError, match=PATH_MESSAGE):
        quarn_parser.parse(os.fsencode(path))


def test_undecodable_file_name_travels_through_surrogate_escapes(tmp_path):
    raw = os.fsencode(tmp_path) + b"/caf\xe9.cif"
    with open(raw, "wb") as handle:
        handle.write(cif_text([atom("N", 0, 0, 0)], block="X").encode())
    structure = quarn_parser.parse(os.fsdecode(raw))
    assert structure.atom_count == 1 and structure.entry_id == "X"


def test_missing_file_raises_value_error_with_the_path(tmp_path):
    missing = tmp_path / "absent.cif"
    with pytest.raises(ValueError) as info:
        quarn_parser.parse(missing)
    assert type(info.value) is ValueError
    message = str(info.value)
    assert message.startswith("I/O error: ")
    assert message.endswith(f" ({missing})")
    assert "No such file or directory" in message


def test_a_nul_in_the_path_never_opens_the_shorter_name(write_cif):
    path = write_cif([atom("C", 0, 0, 0)])
    with pytest.raises(ValueError, match="^I/O error: "):
        quarn_parser.parse(str(path) + "\0ignored")


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "_atom_site loop missing: _atom_site loop missing"),
        ("data_x\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1 2 3\n",
         "loop tag/value mismatch: loop contains 3 values but 2 tags"),
        ("data_x\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1 1.2.3\n",
         "invalid numeric literal: invalid numeric literal '1.2.3' for _atom_site.Cartn_x"),
        (cif_text([atom("C", 0, 0, 0)], cell=(10, 10, 10, 90, 90, 200)),
         "invalid numeric literal: unit cell angles must be within (0, 180)"),
    ],
    ids=["empty", "loop-mismatch", "bad-number", "bad-cell"],
)
def test_reader_errors_raise_value_error_with_the_display_text(write_cif, text, message):
    with pytest.raises(ValueError) as info:
        quarn_parser.parse(write_cif(text))
    assert type(info.value) is ValueError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, pattern",
    [
        ((), {}, r"^parse\(\) missing 1 required argument: 'path'$"),
        (("a.cif", "b.cif"), {}, r"^parse\(\) takes 1 positional argument but 2 were given$"),
        (("a.cif",), {"path": "b.cif"}, r"^parse\(\) got multiple values for argument 'path'$"),
        ((), {"file": "a.cif"}, r"^parse\(\) got an unexpected keyword argument 'file'$"),
    ],
)
def test_binding_errors_raise_type_error_naming_parse(args, kwargs, pattern):
    with pytest.raises(TypeError, match=pattern):
        quarn_parser.parse(*args, **kwargs)


def test_binding_is_checked_before_the_path(tmp_path):
    with pytest.raises(TypeError):
        quarn_parser.parse(b"bytes", extra=1)
