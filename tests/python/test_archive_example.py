"""The archive recipe: ligand contacts of the shared entries on threads and on a two-worker Dask
cluster on loopback give one and the same table; a broken file is reported, not fatal."""

import importlib.util
import json
import subprocess
import sys
import textwrap

import pytest

import quarn_parser
from conftest import DATA_DIR, REPO_ROOT


def recipe():
    spec = importlib.util.spec_from_file_location("archive_contacts", REPO_ROOT / "examples" / "archive_contacts.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # workers unpickle its functions by this name
    spec.loader.exec_module(module)
    return module


def test_the_same_table_on_threads_and_on_a_cluster(tmp_path):
    pytest.importorskip("dask.distributed")
    if not DATA_DIR.is_dir():
        pytest.skip(f"{DATA_DIR} is absent (set QUARN_DATA_DIR)")
    archive = recipe()
    broken = tmp_path / "broken.cif"
    broken.write_text("data_broken\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1\n")
    paths = archive.entry_files([str(DATA_DIR)]) + [str(broken)]
    with pytest.raises(ValueError) as reader_text:
        quarn_parser.parse(broken)

    rows, failures = archive.contacts_of_files(paths, workers=2)
    assert failures == [(str(broken), str(reader_text.value))]
    assert {r[0] for r in rows} >= {"3O5R"} and all(r[8] <= archive.CUTOFF for r in rows)
    assert all(r[1] not in archive.WATER and r[6] is not None for r in rows)

    # The cluster runs from a child process: the threads a client leaves behind would otherwise go on
    # allocating in this one, under the leak checks of later tests.
    script = textwrap.dedent(
        """
        import importlib.util, json, sys
        from dask import distributed
        spec = importlib.util.spec_from_file_location("archive_contacts", sys.argv[1])
        archive = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = archive  # workers unpickle its functions by this name
        spec.loader.exec_module(archive)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                      dashboard_address=None, processes=True) as cluster, \\
                distributed.Client(cluster) as client:
            print(json.dumps(archive.on_dask(client, sys.argv[2:], chunk=3)))
        """
    )
    done = subprocess.run([sys.executable, "-c", script, str(REPO_ROOT / "examples" / "archive_contacts.py"), *paths],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == json.loads(json.dumps((rows, failures)))
