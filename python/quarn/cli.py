"""The command line: ``quarn COMMAND ...``, also ``python -m quarn``; ``quarn --help`` lists the commands.

Rows go to stdout, machine-readable: TSV by default, CSV or JSON lines on request. Errors go to
stderr; so do a progress bar and a closing count while a scan runs, when stderr is a terminal.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import sys
import time
from typing import Iterable, Iterator, List, Optional, Sequence, Tuple

from quarn_parser import Structure

import quarn

PROG = "quarn"
FORMATS = ("tsv", "csv", "jsonl")
# What a folder scan reads, compared without regard to case.
SUFFIXES = (".cif", ".cif.gz", ".mmcif", ".mmcif.gz")
WATER = frozenset({"HOH", "DOD", "WAT"})
EVERYTHING = 2**64 - 1  # nearest_residues takes a count, not None

SUMMARY_COLUMNS = ("path", "entry_id", "atoms", "models", "chains", "ligands", "cell_a", "cell_b", "cell_c",
                   "cell_alpha", "cell_beta", "cell_gamma", "space_group", "error")
ATOM_COLUMNS = ("index", "model", "chain", "seq", "comp", "atom", "alt")


class Failure(Exception):
    """A command that cannot go on; ``status`` is the exit status, the message goes to stderr."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


# Loading and selections come from quarn; these three functions are the command line's only use of
# them.

def load(path: str) -> Structure:
    """The structure of the file at ``path``; raises ValueError (quarn.ReadError) with the reader's text."""
    return quarn.load(path)


def load_each(paths: List[str], workers: Optional[int]) -> Iterator[Tuple[str, object]]:
    """(path, its Structure or the exception that reading it raised) for each of ``paths``, in order,
    read by ``workers`` threads."""
    return quarn.iter_load(paths, workers)


def derive(structure: Structure, args: argparse.Namespace) -> Tuple[Structure, Optional[List[int]]]:
    """The structure the query of ``args`` runs on (one model, one conformation, without the cell, as
    asked) and each of its atoms' index in ``structure``, or None when it is ``structure`` itself."""
    steps = []
    if args.model is not None:
        steps.append(("--model", "model", (None if args.model == "first" else int(args.model),)))
    if args.altloc is not None:
        steps.append(("--altloc", "altloc", (None if args.altloc == "first" else args.altloc,)))
    if args.euclidean:
        steps.append(("--euclidean", "euclidean", ()))
    s = structure
    for option, name, arguments in steps:
        select = getattr(quarn, name, None)
        if select is None:
            raise Failure(f"{option} needs quarn.{name}, which this installation of quarn lacks", 2)
        try:
            s = select(s, *arguments)
        except (ValueError, IndexError) as refused:
            raise Failure(f"{option}: {refused}", 2) from None
    if s is structure:
        return s, None
    # A chain of derivations maps straight back to the parsed structure.
    return s, quarn.parent_indices(s).tolist()


# Output.

LIST_COLUMNS = frozenset({"ligands"})
CHUNK = 1 << 16  # rows turned into Python objects at a time: a result of millions never is at once


class Output:
    """Writes rows under a header in one of ``FORMATS``; None is an empty field (null in JSON), a list
    a space-separated field (an array in JSON). Floats keep every digit (the shortest exact form)."""

    def __init__(self, fmt: str, header: Sequence[str], stream=None) -> None:
        self.fmt, self.header = fmt, tuple(header)
        self.stream = stream or sys.stdout
        self.lists = [i for i, name in enumerate(self.header) if name in LIST_COLUMNS]
        if fmt != "jsonl":
            delimiter = "\t" if fmt == "tsv" else ","
            self.writer = csv.writer(self.stream, delimiter=delimiter, lineterminator="\n")
            self.writer.writerow(self.header)

    def rows(self, rows: Iterable[Sequence]) -> None:
        if self.fmt == "jsonl":
            write, header = self.stream.write, self.header
            for row in rows:
                write(json.dumps(dict(zip(header, row))) + "\n")
        elif self.lists:
            self.writer.writerows(self._flattened(rows))
        else:
            self.writer.writerows(rows)

    def _flattened(self, rows: Iterable[Sequence]) -> Iterator[list]:
        for row in rows:
            row = list(row)
            for i in self.lists:
                row[i] = None if row[i] is None else " ".join(row[i])
            yield row


def chunked(*columns) -> Iterator[tuple]:
    """The rows of equal-length columns, as tuples of Python values, a chunk of rows at a time."""
    for start in range(0, len(columns[0]), CHUNK):
        yield from zip(*(c[start:start + CHUNK].tolist() for c in columns))


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal; messages written
    through it go to stderr in any case, above the bar."""

    def __init__(self, total: int, stream=None) -> None:
        self.stream = stream or sys.stderr
        self.total, self.done, self.failed = total, 0, 0
        self.shown = total > 1 and self.stream.isatty()
        self.drawn_at = 0.0

    def _clear(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")

    def message(self, text: str) -> None:
        self._clear()
        self.stream.write(text + "\n")
        self._draw()

    def step(self, failed: bool) -> None:
        self.done += 1
        self.failed += failed
        if time.monotonic() - self.drawn_at > 0.1 or self.done == self.total:
            self._clear()
            self._draw()

    def _draw(self) -> None:
        if not self.shown:
            return
        width = 30
        filled = width * self.done // self.total
        failed = f", {self.failed} failed" if self.failed else ""
        self.stream.write(f"[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} files{failed}")
        self.stream.flush()
        self.drawn_at = time.monotonic()

    def close(self) -> None:
        self._clear()
        if self.shown:
            self.stream.write(f"{self.done} files read, {self.failed} failed\n")
        self.stream.flush()


# What the commands print about atoms.

def atom_labels(s: Structure, original: Optional[List[int]], auth: bool) -> List[tuple]:
    """The identifying columns (``ATOM_COLUMNS``) of every atom of ``s`` as a tuple per atom: its index
    in the file (``original[i]`` when given, else i), model number, chain and residue number (label
    identifiers, else author ones; author ones only with ``auth``), component, atom name and alternate
    location; None where the file has no value."""
    chain, seq = ("auth_asym_id", "auth_seq_id") if auth else ("chain_id", "seq_id")
    index = range(s.atom_count) if original is None else original
    chains, comps, names, alts = (quarn.atom_column(s, name).tolist()
                                  for name in (chain, "label_comp_id", "label_atom_id", "label_alt_id"))
    return list(zip(index, _numbers(s, "model_num"), chains, _numbers(s, seq), comps, names, alts))


def _numbers(s: Structure, name: str) -> list:
    values = quarn.atom_column(s, name).tolist()
    absent = quarn.atom_absent(s, name).tolist()
    return [None if gone else v for v, gone in zip(values, absent)]


def _pair_header() -> Tuple[str, ...]:
    return tuple(f"{c}1" for c in ATOM_COLUMNS) + tuple(f"{c}2" for c in ATOM_COLUMNS)


# The commands.

def summary_row(path: str, s: Structure) -> tuple:
    """One ``SUMMARY_COLUMNS`` row: models are the distinct model numbers; chains the polymer chains,
    that is the distinct chain ids of atoms with a label_seq_id; ligands the components, other than
    water, of atoms without one, in file order."""
    no_seq = quarn.atom_absent(s, "label_seq_id").tolist()
    models = set(_numbers(s, "model_num"))
    chain = quarn.atom_column(s, "chain_id").codes.tolist()
    chains = {code for code, free in zip(chain, no_seq) if not free}
    comp = quarn.atom_column(s, "label_comp_id")
    seen = dict.fromkeys(code for code, free in zip(comp.codes.tolist(), no_seq) if free and code >= 0)
    ligands = [name for name in (comp.categories[code] for code in seen) if name.upper() not in WATER]
    head = quarn.header(s)
    (a, b, c), (alpha, beta, gamma) = head.cell or ((None,) * 3, (None,) * 3)
    return (path, head.entry_id, s.atom_count, len(models), len(chains), ligands, a, b, c, alpha, beta, gamma,
            head.space_group, None)


def entry_files(paths: Sequence[str]) -> List[str]:
    """The files named, and every file under the folders named whose name ends in one of ``SUFFIXES``,
    each folder's in sorted order."""
    files = []
    for path in paths:
        if not os.path.isdir(path):
            files.append(path)
            continue
        for folder, subfolders, names in os.walk(path):
            subfolders.sort()
            files.extend(os.path.join(folder, n) for n in sorted(names) if n.lower().endswith(SUFFIXES))
    return files


def run_summary(args: argparse.Namespace) -> int:
    files = entry_files(args.paths)
    if not files:
        raise Failure(f"no {', '.join(SUFFIXES)} file under {', '.join(args.paths)}", 2)
    out = Output(args.format, SUMMARY_COLUMNS)
    progress = Progress(len(files))
    try:
        for path, outcome in load_each(files, args.workers):
            failed = isinstance(outcome, BaseException)
            if failed:
                out.rows([(path,) + (None,) * (len(SUMMARY_COLUMNS) - 2) + (str(outcome),)])
                progress.message(f"{PROG}: {path}: {outcome}")
            else:
                out.rows([summary_row(path, outcome)])
            progress.step(failed)
    finally:
        progress.close()
    return 1 if progress.failed else 0


def run_contacts(args: argparse.Namespace) -> int:
    s, original = derive(load_one(args.file), args)
    try:
        found = quarn.contacts(s, args.cutoff, args.max)
    except ValueError as refused:
        raise Failure(f"--cutoff: {refused}", 2) from None
    label, classes = atom_labels(s, original, args.auth), quarn.CONTACT_CLASSES
    Output(args.format, _pair_header() + ("distance", "class")).rows(
        label[i] + label[j] + (d, classes[k])
        for i, j, d, k in chunked(found.first, found.second, found.distance, found.classification))
    return 0


def run_near(args: argparse.Namespace) -> int:
    if args.residues and args.auth:
        raise Failure("--auth does not apply to --residues, which groups atoms by label identifiers", 2)
    s, original = derive(load_one(args.file), args)
    origin = (args.x, args.y, args.z)
    if args.residues:
        hits = s.nearest_residues(origin, args.radius, EVERYTHING if args.max is None else args.max)
        Output(args.format, ("chain", "seq", "comp", "distance")).rows(
            (r.chain_id, r.seq_id, r.comp_id, r.distance) for r in hits)
        return 0
    try:
        found = quarn.nearest_atoms(s, [origin], args.radius, args.max)
    except ValueError as refused:
        raise Failure(f"the point: {refused}", 2) from None
    label = atom_labels(s, original, args.auth)
    Output(args.format, ATOM_COLUMNS + ("distance",)).rows(
        label[i] + (d,) for i, d in chunked(found.indices, found.distances))
    return 0


def run_bonds(args: argparse.Namespace) -> int:
    s, original = derive(load_one(args.file), args)
    edges = quarn.bond_graph(s, args.geometric, args.tolerance).edges()
    # A geometric bond is never added beside a declared one of the same pair, so the declared pairs,
    # counted with their repeats, tell the two apart.
    declared = {}
    if args.geometric:
        only = quarn.bond_graph(s, False, 0.0).edges()
        for pair in chunked(only.first, only.second):
            declared[pair] = declared.get(pair, 0) + 1

    def source(pair):
        if not args.geometric:
            return "declared"
        left = declared.get(pair, 0)
        declared[pair] = left - 1
        return "declared" if left > 0 else "geometric"

    label, types = atom_labels(s, original, args.auth), quarn.BOND_TYPES + (None,)  # code -1: no type
    Output(args.format, _pair_header() + ("type", "source")).rows(
        label[i] + label[j] + (types[t], source((i, j)))
        for i, j, t in chunked(edges.first, edges.second, edges.bond_type))
    return 0


def load_one(path: str) -> Structure:
    try:
        return load(path)
    except ValueError as error:
        raise Failure(f"{path}: {error}") from None


# The parser.

def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _workers(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def _model(text: str) -> str:
    if text != "first":
        try:
            int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a model number or 'first', not {text!r}") from None
    return text


class Paragraphs(argparse.HelpFormatter):
    """Wraps descriptions and epilogs to the terminal paragraph by paragraph, keeping blank lines."""

    def _fill_text(self, text, width, indent):
        return "\n\n".join(super(Paragraphs, self)._fill_text(p, width, indent) for p in text.split("\n\n"))


FORMAT_HELP = ("output format: tsv (tab-separated, the default), csv, or jsonl (one JSON object per row); "
               "tsv and csv begin with a header line, and quote a value holding a separator, a quote or a "
               "line break as CSV does; empty fields are absent values (null in JSON)")

EPILOG = """\
Atom columns: index (the atom's _atom_site row in the file, from 0, also with --model or --altloc),
model (pdbx_PDB_model_num), chain and seq (label_asym_id and label_seq_id, else the author ones:
ligands and waters usually have no label_seq_id), comp (label_comp_id), atom (label_atom_id) and
alt (label_alt_id). Distances are in angstrom. Without --model and --altloc every model and every
alternate location takes part, copies of one atom included; in an orthogonal cell (all angles
within 1e-4 degree of 90, other than the 1 x 1 x 1 placeholder) distances are minimum-image ones
unless --euclidean is given.

Exit status: 0 when all went well; 1 when a file could not be read (summary reads every file and
reports each failure, on stderr and in the error column, before it exits); 2 for a wrong command
line or argument."""


def _selection_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", help="an mmCIF file, plain or gzip (a name ending in .gz)")
    group = parser.add_argument_group("which atoms and which distances")
    group.add_argument("--model", type=_model, metavar="N",
                       help="only the atoms of model N (pdbx_PDB_model_num), or of the first model with 'first'")
    group.add_argument("--altloc", metavar="ID",
                       help="one conformation per atom: the atoms without an alternate location and those of "
                            "location ID, or with 'first' those of each residue's first location")
    group.add_argument("--euclidean", action="store_true",
                       help="plain Euclidean distances in the file's coordinates, even in an orthogonal cell "
                            "(by default distances there are minimum-image ones)")
    parser.add_argument("--auth", action="store_true",
                        help="chain and seq columns give auth_asym_id and auth_seq_id, the author's identifiers")
    parser.add_argument("--format", choices=FORMATS, default="tsv", help=FORMAT_HELP)


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``quarn`` command, with every command and option."""
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=Paragraphs, epilog=EPILOG,
        description="Read mmCIF files (plain or gzip) and list what they hold: a summary per entry, "
                    "atom contacts, atoms near a point, declared and geometric bonds.")
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {quarn.__version__} (gzip: {quarn.INFLATER})")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    summary = commands.add_parser(
        "summary", aliases=["scan"], formatter_class=Paragraphs, epilog=EPILOG,
        help="one row per entry: entry id, atoms, models, chains, ligands, cell, space group",
        description="One row per file: path, entry_id, atoms (every _atom_site row), models (distinct model "
                    "numbers), chains (polymer chains: distinct chain ids of atoms that have a "
                    "label_seq_id), ligands (the components, other than water, of atoms without one, in "
                    "file order), the cell (cell_a, cell_b, cell_c in angstrom, cell_alpha, cell_beta, "
                    "cell_gamma in degrees; empty without one), space_group, and error: the reader's "
                    "message for a file that could not be read, whose other columns are then empty. "
                    "Every file is read even when some fail; the exit status is 1 if any did.")
    summary.add_argument("paths", nargs="+", metavar="PATH",
                         help="mmCIF files, and folders searched, subfolders included, for files named "
                              f"{', '.join('*' + s for s in SUFFIXES)} (in any letter case)")
    summary.add_argument("-j", "--workers", type=_workers, metavar="N",
                         help="files read at once, on N threads (default: one per processor)")
    summary.add_argument("--format", choices=FORMATS, default="tsv", help=FORMAT_HELP)
    summary.set_defaults(run=run_summary)

    contacts = commands.add_parser(
        "contacts", formatter_class=Paragraphs, epilog=EPILOG,
        help="atom pairs within a distance, nearest first, classified",
        description="Every pair of atoms with coordinates within --cutoff angstrom of each other "
                    "(inclusive), nearest first (equal distances by index), one row each: both atoms, "
                    "their distance, and its class by the sum s of the two covalent radii: covalent "
                    "when |d - s| <= 0.4, else clash when d < s - 0.25, else short_contact when d < s + 1, "
                    "else nonbonded (without a known element: short_contact below 2 angstrom).")
    _selection_options(contacts)
    contacts.add_argument("-c", "--cutoff", type=float, default=4.0,
                          help="largest distance listed, in angstrom (default 4.0); must be above 0")
    contacts.add_argument("-n", "--max", type=_count, metavar="N", help="only the N nearest pairs")
    contacts.set_defaults(run=run_contacts)

    near = commands.add_parser(
        "near", formatter_class=Paragraphs, epilog=EPILOG,
        help="atoms, or amino-acid residues, within a radius of a point",
        description="The atoms with coordinates within --radius angstrom of the point (x, y, z), nearest "
                    "first (equal distances by index); with --residues the amino-acid residues instead, "
                    "each at the distance of its nearest atom: only the 21 standard amino acids count "
                    "(ALA ... VAL and SEC; not MSE, ligands, nucleotides or water), and the copies of a "
                    "residue in other models and alternate locations count as one.")
    _selection_options(near)
    for axis in "xyz":
        near.add_argument(axis, type=float, help=f"{axis} of the point, in angstrom")
    near.add_argument("-r", "--radius", type=float, default=5.0,
                      help="largest distance listed, in angstrom (default 5.0)")
    near.add_argument("-n", "--max", type=_count, metavar="N", help="only the N nearest")
    near.add_argument("--residues", action="store_true",
                      help="list residues (chain, seq, comp, distance) rather than atoms")
    near.set_defaults(run=run_near)

    bonds = commands.add_parser(
        "bonds", formatter_class=Paragraphs, epilog=EPILOG,
        help="declared bonds, and with --geometric those inferred from distances",
        description="Each bond once, ordered by its lower atom index: the bonds the file declares "
                    "(_struct_conn rows, and _chem_comp_bond rows, which bind only the first residue of "
                    "their component), with --geometric also every pair of atoms with a known element "
                    "whose distance is at most the sum of their covalent radii plus --tolerance. The type "
                    "column holds covalent_single, covalent_double, covalent_triple, covalent_aromatic, "
                    "covalent_unknown (geometric bonds among them), ionic, hydrogen_bond or metallic, and "
                    "is empty for a declared bond of no known type (disulfide links among them); source "
                    "says declared or geometric.")
    _selection_options(bonds)
    bonds.add_argument("-g", "--geometric", action="store_true", help="add the bonds inferred from distances")
    bonds.add_argument("-t", "--tolerance", type=float, default=0.4,
                       help="angstrom added to the sum of covalent radii for --geometric (default 0.4)")
    bonds.set_defaults(run=run_bonds)
    return parser


def _prepare_streams() -> None:
    # Paths that are not UTF-8 travel through as the bytes they were.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the ``quarn`` command with ``argv`` (default: the process's arguments) and returns its
    exit status: 0, 1 when a file could not be read, 2 for a wrong command line or argument."""
    _prepare_streams()
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except Failure as failure:
        sys.stdout.flush()
        command = f"{PROG} {args.command}"
        print(f"{command}: error: {failure}", file=sys.stderr)
        return failure.status
    except BrokenPipeError:
        # The reader of stdout left (`| head`): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
