"""The quarn command line, run as a user runs it: rows on stdout that say what the library says, every
failure reported with the reader's text, and exit statuses a script can trust."""

import csv
import io
import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import pytest

import quarn
import quarn_parser
from conftest import REPO_ROOT, atom, cif_text

EXAMPLE = REPO_ROOT / "examples" / "data" / "3o5r.cif.gz"
CONSOLE_SCRIPT = Path(sys.executable).parent / "quarn"


def quarn_cli(*args, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "quarn", *map(str, args)], stdout=subprocess.PIPE, stderr=stderr,
                          text=True, timeout=300)


def table(text, fmt="tsv"):
    """Rows of a command's output as dicts of texts (JSON values as they came)."""
    if fmt == "jsonl":
        return [json.loads(line) for line in text.splitlines()]
    return list(csv.DictReader(io.StringIO(text), delimiter="\t" if fmt == "tsv" else ","))


def cell(value):
    return None if value in ("", None) else value


MODEL_COLUMNS = ("id", "type_symbol", "label_atom_id", "label_comp_id", "label_asym_id", "label_seq_id",
                 "auth_seq_id", "Cartn_x", "Cartn_y", "Cartn_z", "pdbx_PDB_model_num")


def model_atoms(model):
    """A chain A of two residues, a HEM iron and a water 1 Å from the first atom across the cell's face."""
    return [atom("N", 0, 0, 0, pdbx_PDB_model_num=model, seq=1),
            atom("C", 1.5, 0, 0, pdbx_PDB_model_num=model, seq=2, comp="GLY"),
            atom("FE", 3, 0, 0, pdbx_PDB_model_num=model, seq=None, comp="HEM", chain="B", auth_seq_id=501),
            atom("O", 9, 0, 0, pdbx_PDB_model_num=model, seq=None, comp="HOH", chain="C", auth_seq_id=601)]


CUBE = (10, 10, 10, 90, 90, 90)
TWO_MODELS = cif_text(model_atoms(1) + model_atoms(2), columns=MODEL_COLUMNS, cell=CUBE, block="2MOD")


def test_summary_scans_files_and_folders_and_reports_every_failure(tmp_path):
    folder = tmp_path / "entries"
    (folder / "deeper").mkdir(parents=True)
    (folder / "deeper" / "two.cif").write_text(TWO_MODELS)
    (folder / "broken.CIF").write_text("data_x\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1\n")
    (folder / "notes.txt").write_text("not an entry")
    missing = tmp_path / "missing.cif.gz"

    done = subprocess.run([CONSOLE_SCRIPT, "summary", "-j", "2", EXAMPLE, folder, missing], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 1
    rows = table(done.stdout)
    assert [r["path"] for r in rows] == [str(EXAMPLE), str(folder / "broken.CIF"), str(folder / "deeper" / "two.cif"),
                                         str(missing)]
    example, broken, two, gone = rows
    assert example == {"path": str(EXAMPLE), "entry_id": "3O5R", "atoms": "1470", "models": "1", "chains": "1",
                       "ligands": "FK5", "cell_a": "42.051", "cell_b": "54.784", "cell_c": "56.816",
                       "cell_alpha": "90.0", "cell_beta": "90.0", "cell_gamma": "90.0", "space_group": "P 21 21 21",
                       "error": ""}
    # Two models of the polymer chain A; HEM is a ligand, water is not.
    assert (two["atoms"], two["models"], two["chains"], two["ligands"], two["cell_a"]) == ("8", "2", "1", "HEM", "10.0")
    for row, path in ((broken, folder / "broken.CIF"), (gone, missing)):
        with pytest.raises(ValueError) as reader:
            quarn_parser.parse(path)
        assert row["error"] == str(reader.value) and row["entry_id"] == row["atoms"] == ""
        assert f"{path}: {reader.value}" in done.stderr

    assert quarn_cli("scan", EXAMPLE).stdout == quarn_cli("summary", EXAMPLE).stdout
    as_json = quarn_cli("summary", folder / "deeper" / "..", "--format", "jsonl")
    assert [(r["ligands"], r["cell_c"]) for r in table(as_json.stdout, "jsonl")] == [(None, None), (["HEM"], 10.0)]


@pytest.mark.parametrize("fmt", ["tsv", "csv", "jsonl"])
def test_contacts_rows_are_the_librarys_to_the_last_bit(fmt):
    s = quarn_parser.parse(EXAMPLE)
    expected = s.contacts(3.2, max_results=500)
    done = quarn_cli("contacts", EXAMPLE, "--cutoff", "3.2", "-n", "500", "--format", fmt)
    assert done.returncode == 0 and done.stderr == ""
    rows = table(done.stdout, fmt)
    assert len(rows) == len(expected) == 500
    labels = quarn.atoms(s, "chain_id", "seq_id", "label_comp_id", "label_atom_id", "label_alt_id", "model_num")
    for row, c in zip(rows, expected):
        assert (int(row["index1"]), int(row["index2"]), row["class"]) == (c.first, c.second, c.classification)
        assert float(row["distance"]) == c.distance
        assert row["comp2"] == labels["label_comp_id"][c.second]
        assert cell(row["alt1"]) == labels["label_alt_id"][c.first]
        assert int(row["seq1"]) == labels["seq_id"][c.first] and int(row["model2"]) == 1


def test_near_and_bonds_say_what_the_library_says():
    s = quarn_parser.parse(EXAMPLE)
    point = (53.448, 14.353, 18.043)
    atoms = table(quarn_cli("near", EXAMPLE, *point, "--radius", "3").stdout)
    assert [(int(r["index"]), float(r["distance"])) for r in atoms] == \
        [(h.index, h.distance) for h in s.nearest_atoms(point, 3.0, 10**6)]
    residues = table(quarn_cli("near", EXAMPLE, *point, "--residues", "-n", "4", "--format", "jsonl").stdout, "jsonl")
    assert [(r["chain"], r["seq"], r["comp"], r["distance"]) for r in residues] == \
        [(h.chain_id, h.seq_id, h.comp_id, h.distance) for h in s.nearest_residues(point, 5.0, 4)]
    ligand = table(quarn_cli("near", EXAMPLE, *point, "-r", "0.1", "--auth").stdout)
    assert [(r["chain"], r["seq"], r["comp"]) for r in ligand] == [("A", "1001", "FK5")]  # label chain B

    declared = table(quarn_cli("bonds", EXAMPLE).stdout)
    assert [(int(r["index1"]), int(r["index2"])) for r in declared] == s.explicit_bonds()
    assert {r["source"] for r in declared} == {"declared"} and declared[2]["type"] == "covalent_double"
    every = table(quarn_cli("bonds", EXAMPLE, "--geometric", "--tolerance", "0.3").stdout)
    adjacency = s.sparse_adjacency(True, 0.3)
    assert [(int(r["index1"]), int(r["index2"]), cell(r["type"])) for r in every] == \
        [(i, b.index, b.bond_type) for i, row in enumerate(adjacency) for b in row if i < b.index]
    explicit = set(s.explicit_bonds())
    assert all((r["source"] == "declared") == ((int(r["index1"]), int(r["index2"])) in explicit) for r in every)


def test_one_model_one_conformation_and_no_periodicity(write_cif):
    path = write_cif(TWO_MODELS)
    alone = quarn_parser.parse(write_cif(cif_text(model_atoms(2), columns=MODEL_COLUMNS, cell=CUBE)))
    rows = table(quarn_cli("contacts", path, "--model", "2", "--cutoff", "6").stdout)
    # Indices are the file's (the second model starts at atom 4); distances those of model 2 alone.
    assert [(int(r["index1"]) - 4, int(r["index2"]) - 4, float(r["distance"])) for r in rows] == \
        [(c.first, c.second, c.distance) for c in alone.contacts(6.0)]
    assert {r["model1"] for r in rows} == {r["model2"] for r in rows} == {"2"}

    def pairs(*options):
        found = table(quarn_cli("contacts", path, "--model", "first", "--cutoff", "6", *options).stdout)
        return {(int(r["index1"]), int(r["index2"])): float(r["distance"]) for r in found}

    # The water at x = 9 is 1 Å from the atom at x = 0 across the 10 Å cell, 9 Å in the coordinates.
    assert pairs() == {(0, 1): 1.5, (0, 2): 3.0, (0, 3): 1.0, (1, 2): 1.5, (1, 3): 2.5, (2, 3): 4.0}
    assert pairs("--euclidean") == {(0, 1): 1.5, (0, 2): 3.0, (1, 2): 1.5, (2, 3): 6.0}

    conformations = table(quarn_cli("contacts", EXAMPLE, "--altloc", "A", "-c", "0.1").stdout)
    assert conformations == []  # the copies of an atom no longer meet
    refused = quarn_cli("contacts", path, "--model", "7")
    assert refused.returncode == 2 and refused.stdout == "" and "7" in refused.stderr


def test_failures_and_exit_statuses(tmp_path):
    missing = quarn_cli("contacts", tmp_path / "gone.cif")
    with pytest.raises(ValueError) as reader:
        quarn_parser.parse(tmp_path / "gone.cif")
    assert (missing.returncode, missing.stdout) == (1, "")
    assert missing.stderr == f"quarn contacts: error: {tmp_path / 'gone.cif'}: {reader.value}\n"
    for args in (["contacts", EXAMPLE, "--cutoff", "0"], ["contacts", EXAMPLE, "-n", "-1"], ["near", EXAMPLE, "1", "2"],
                 ["near", EXAMPLE, "nan", "0", "0"], ["summary", "--workers", "0", EXAMPLE], ["summary", tmp_path],
                 ["bonds"], ["frobnicate"]):
        done = quarn_cli(*args)
        assert done.returncode == 2 and done.stdout == "" and "error" in done.stderr, args
    assert quarn_cli("--version").stdout.strip() == f"quarn {quarn.__version__} (gzip: {quarn.INFLATER})"


def test_every_option_is_explained_in_help():
    from quarn.cli import build_parser

    parser = build_parser()
    commands = next(a for a in parser._actions if a.dest == "command")
    for name, sub in commands.choices.items():
        for action in sub._actions:
            assert action.help and len(action.help) > 10, (name, action.dest)
        assert sub.description and quarn_cli(name, "--help").returncode == 0
    assert quarn_cli("--help").stdout.count("\n") > 20


def test_progress_goes_to_a_terminal_only(tmp_path):
    files = [EXAMPLE] * 3
    piped = quarn_cli("summary", *files)
    assert piped.returncode == 0 and piped.stderr == ""
    leader, follower = pty.openpty()
    try:
        on_terminal = quarn_cli("summary", *files, tmp_path / "gone.cif", stderr=follower)
        os.close(follower)
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal closed once the command had exited
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(leader)
    shown = shown.decode()
    assert on_terminal.returncode == 1 and on_terminal.stdout == piped.stdout + table_row_of_failure(tmp_path)
    assert "4/4 files, 1 failed" in shown and "gone.cif: I/O error" in shown and "4 files read, 1 failed" in shown


def table_row_of_failure(tmp_path):
    with pytest.raises(ValueError) as reader:
        quarn_parser.parse(tmp_path / "gone.cif")
    return f"{tmp_path / 'gone.cif'}" + "\t" * 13 + f"{reader.value}\n"
