"""The exception of loading: ``ReadError``, a ValueError that says what failed and where."""

from __future__ import annotations

from typing import Dict, Optional, Tuple, Type, Union

PathValue = Union[str, bytes, None]


class ReadError(ValueError):
    """A file that could not be read or parsed. ``str(error)`` is exactly the text of the
    ValueError that ``quarn_parser.parse`` raises for the same file.

    Attributes: ``kind``, the reader's kind of failure ("I/O error", "token stream is invalid",
    "loop tag/value mismatch", "numeric value missing", "invalid numeric literal",
    "_atom_site loop missing"); ``message``, the specific text after the kind; ``path``, the path
    as ``os.fspath`` gives it (str or bytes); ``errno``, the operating system's error number for a
    failure of the system (opening, reading), else None; ``line``, the 1-based line of the
    (inflated) text where the failure lies, for an unterminated quoted value or text field (where
    it opens), a loop_ without tags or whose values do not fill its rows (the loop_ keyword) and a
    value that does not convert, else None.

    A failure of the operating system is also an instance of the matching OSError subclass
    (FileNotFoundError, PermissionError, IsADirectoryError, ... or OSError itself), with
    ``strerror`` the message and ``filename`` the path, so ``except FileNotFoundError`` catches
    a missing file. Such errors pickle like any other.
    """

    __module__ = "quarn"

    def __init__(self, text: str, kind: str = "", message: str = "", path: PathValue = None,
                 errno: Optional[int] = None, line: Optional[int] = None) -> None:
        super().__init__(text)
        self.kind, self.message, self.path, self.errno, self.line = kind, message, path, errno, line
        if isinstance(self, OSError):
            self.strerror, self.filename = message, path

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""

    def __reduce__(self):
        return read_error, (str(self), self.kind, self.message, self.path, self.errno, self.line)


_os_classes: Dict[Type[OSError], Type[ReadError]] = {}


def _class_for(errno: Optional[int]) -> Type[ReadError]:
    """ReadError, or for a system error number the cached subclass of ReadError and the OSError
    subclass Python itself picks for that number."""
    if not errno:
        return ReadError
    system = type(OSError(errno, ""))
    cls = _os_classes.get(system)
    if cls is None:
        name = f"ReadError[{system.__name__}]"
        cls = type(name, (ReadError, system), {"__module__": ReadError.__module__, "__qualname__": name,
                                                "__doc__": ReadError.__doc__})
        cls = _os_classes.setdefault(system, cls)
    return cls


def read_error(text: str, kind: str, message: str, path: PathValue, errno: Optional[int],
               line: Optional[int]) -> ReadError:
    """The ReadError of the given ``text``, ``kind``, ``message``, ``path``, ``errno`` and ``line``,
    of the OSError subclass that ``errno`` names when it is not None."""
    return _class_for(errno)(text, kind, message, path, errno, line)


def from_failure(failure: Tuple[str, str, Optional[bytes], int, Optional[int], str], path: PathValue) -> ReadError:
    """The ReadError of a failure as quarn._native.load reports it, for the file at ``path``."""
    kind, message, _detail, errno, line, text = failure
    return read_error(text, kind, message, path, errno or None, line)
