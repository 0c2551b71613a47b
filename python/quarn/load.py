"""Loading files without the interpreter lock: one file, or many on several threads."""

from __future__ import annotations

import os
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from typing import Deque, Iterable, Iterator, List, Optional, Tuple, Union

from quarn_parser import Structure

from quarn import _native
from quarn.errors import ReadError, from_failure

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Outcome = Union[Structure, ReadError, MemoryError]


def _path_bytes(path: PathArg, callable: str) -> Tuple[Union[str, bytes], bytes]:
    """The path as os.fspath gives it, and its bytes in the file-system encoding."""
    try:
        given = os.fspath(path)
    except TypeError:
        raise TypeError(f"{callable}() argument 'path': expected str, bytes or os.PathLike, "
                        f"not {type(path).__name__}") from None
    return given, os.fsencode(given)


def _load(given: Union[str, bytes], raw: bytes) -> Structure:
    structure, failure = _native.load(raw)
    if failure is not None:
        raise from_failure(failure, given)
    return structure


def load(path: PathArg) -> Structure:
    """The structure of the file at ``path`` (str, bytes or os.PathLike; gzip when the name ends
    in .gz in any case), equal in every query to ``quarn_parser.parse(path)``.

    The file is read, inflated and parsed without the interpreter lock, so other Python threads run
    meanwhile and threads that call load at once read files in parallel. Raises quarn.ReadError
    (a ValueError, with quarn_parser's text; also the matching OSError subclass for a failure of
    the operating system) when the file cannot be read or parsed, TypeError for a ``path`` of
    another type, MemoryError when the file does not fit in memory.
    """
    return _load(*_path_bytes(path, "load"))


def _attempt(given: Union[str, bytes], raw: bytes) -> Outcome:
    try:
        return _load(given, raw)
    except (ReadError, MemoryError) as failure:
        return failure


def _worker_count(workers: Optional[int]) -> int:
    if workers is None:
        affinity = getattr(os, "sched_getaffinity", None)
        return max(1, len(affinity(0)) if affinity else (os.cpu_count() or 1))
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"argument 'workers': expected int or None, not {type(workers).__name__}")
    if workers < 1:
        raise ValueError("workers must be at least 1")
    return workers


def iter_load(paths: Iterable[PathArg], workers: Optional[int] = None) -> Iterator[Tuple[PathArg, Outcome]]:
    """(path, outcome) for each of ``paths``, in their order, as the files are loaded on
    ``workers`` threads (None: one per processor this process may use).

    The outcome is the file's Structure, as ``load`` gives it, or the exception loading it raised:
    a quarn.ReadError, or a MemoryError for a file that does not fit. A failure never stops the
    other files. TypeError for a path of another type is raised when the iteration reaches it. At
    most about 2 x ``workers`` files are loaded ahead of the one the caller is given, so memory
    stays bounded however many paths there are; leaving the loop early waits only for those.
    """
    count = _worker_count(workers)
    if count == 1:
        for path in paths:
            yield path, _attempt(*_path_bytes(path, "iter_load"))
        return
    pool = ThreadPoolExecutor(count, thread_name_prefix="quarn-load")
    pending: Deque = deque()
    try:
        for path in paths:
            pending.append((path, pool.submit(_attempt, *_path_bytes(path, "iter_load"))))
            if len(pending) > 2 * count:
                first, future = pending.popleft()
                yield first, future.result()
        while pending:
            first, future = pending.popleft()
            yield first, future.result()
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def load_many(paths: Iterable[PathArg], workers: Optional[int] = None, raise_errors: bool = False) -> List[Outcome]:
    """The outcomes of loading each of ``paths`` on ``workers`` threads (None: one per processor),
    in input order: each file's Structure, or in its slot the exception loading it raised (a
    quarn.ReadError or a MemoryError), so one bad file never costs the others.

    With ``raise_errors`` True the first failure in input order is raised instead, and the files
    after it are not loaded. TypeError for a path of another type, before anything is returned.
    """
    outcomes: List[Outcome] = []
    for _, outcome in iter_load(paths, workers):
        if raise_errors and isinstance(outcome, BaseException):
            raise outcome
        outcomes.append(outcome)
    return outcomes
