"""Ctrl-C and signal handlers that raise stop long calls of both packages: the handler's exception
leaves the call early, and the structure answers as before. Each case runs in a child process, whose
main thread receives the signal."""

import os
import subprocess
import sys
import textwrap

import pytest

from test_interpreter_safety import grid_file  # noqa: F401  (a fixture)


def run_child(script, *args, timeout=120):
    command = [sys.executable, "-c", textwrap.dedent(script), *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("call", ["s.contacts(6.0)", "quarn.contacts(s, 6.0)", "s.sparse_adjacency(True, 3.0)",
                                  "quarn.bond_graph(s, True, 3.0)"])
def test_ctrl_c_stops_a_long_search_early(grid_file, call):
    done = run_child(
        f"""
        import signal, sys, time
        import quarn, quarn_parser
        s = quarn_parser.parse(sys.argv[1])

        def near():
            c = quarn.contacts(s, 1.6)
            return list(zip(c.first.tolist(), c.second.tolist(), c.distance.tolist()))

        small = near()

        start = time.perf_counter()
        {call}
        whole = time.perf_counter() - start

        # A kernel timer, as a terminal's Ctrl-C, needs no thread of this interpreter to fire, and
        # SIGINT's own handler raises.
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.1 * whole)
        start = time.perf_counter()
        try:
            {call}
        except KeyboardInterrupt:
            stopped = time.perf_counter() - start
            print("stopped" if stopped < 0.6 * whole else f"late {{stopped:.2f}} of {{whole:.2f}}")
        else:
            print("finished")
        print(near() == small)
        """,
        grid_file,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["stopped", "True"]


@pytest.mark.parametrize("load", ["quarn_parser.parse", "quarn.load"])
def test_ctrl_c_stops_a_read_that_waits_for_ever(tmp_path, load):
    # A FIFO without a writer blocks the open; one whose writer never closes blocks the read; the
    # zero device never ends.
    fifo = tmp_path / "pipe.cif"
    os.mkfifo(fifo)
    done = run_child(
        f"""
        import os, signal, sys, threading, time
        import quarn, quarn_parser
        signal.signal(signal.SIGALRM, signal.default_int_handler)

        def hold_open(path):
            with open(path, "w") as writer:
                writer.write("data_x\\n")
                writer.flush()
                time.sleep(1000)

        for case in ("open", "read", "zero"):
            path = sys.argv[1]
            if case == "read":
                threading.Thread(target=hold_open, args=(path,), daemon=True).start()
            if case == "zero":
                path = "/dev/zero"
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            try:
                {load}(path)
            except KeyboardInterrupt:
                print(case)
        """,
        fifo,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["open", "read", "zero"]
