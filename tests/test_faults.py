"""The runner's own footing, tried from the command line: job directories that never collide, names the
layout reserves, a damaged, full, locked or read-only state store, a read-only output directory, the end of
a run, signals, terminal escapes and file modes."""

import contextlib
import json
import os
import signal
import sqlite3
import subprocess
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import tamso
from conftest import cli, job_files, run_statuses, spawn, wait_for, write_module
from tamso import layout
from tamso.plan import PlanError, value_text

ROOT = os.geteuid() == 0

PAIRS = [("1", 1), ("true", True), ("null", None), ("1.5", 1.5)]

COUNTED = '''
import os
from tamso import asset, partitions

def count(name):
    with open(os.path.join(os.environ["RAN"], "ran.txt"), "a") as stream:
        stream.write(name + "\\n")

@asset(partitions={"i": partitions([0, 1, 2, 3])})
def up(i):
    count(f"up {i}")
    return i * 2

@asset(inputs={"u": up}, partitions={"i": partitions([0, 1, 2, 3])})
def down(u, i):
    count(f"down {i}")
    return u + 1
'''


def tamso_cli(cwd, *args, **options):
    return cli(cwd, *args, env={"RAN": str(cwd)}, **options)


def ran(directory):
    path = directory / "ran.txt"
    lines = path.read_text().splitlines() if path.exists() else []
    path.unlink(missing_ok=True)
    return sorted(lines)


def statuses(result):
    return sorted(run_statuses(result).values())


def one_error_line(result, code, *words):
    """The command exited with `code` and said so in one line that holds `words`."""
    lines = result.stderr.decode().splitlines()
    errors = [line for line in lines if ": error: " in line]
    assert result.returncode == code and len(errors) == 1, result.stderr
    assert "Traceback" not in result.stderr.decode() and all(w in errors[0] for w in words), errors[0]
    return errors[0]


@contextlib.contextmanager
def mounted(*args):
    """Mount something (tmpfs, a bind mount) for the block; unmounted in any case."""
    target = args[-1]
    subprocess.run(["mount", *args], check=True, capture_output=True)
    try:
        yield target
    finally:
        subprocess.run(["umount", "-l", str(target)], capture_output=True)


@contextlib.contextmanager
def read_only(source, target):
    """`source` bind-mounted read-only at `target` for the block (root writes any file a mode forbids)."""
    with mounted("--bind", "-o", "ro", str(source), str(target)):
        subprocess.run(["mount", "-o", "remount,bind,ro", str(target)], check=True)
        yield


needs_root = pytest.mark.skipif(not ROOT, reason="mounting needs root")


# Job directories ---------------------------------------------------------------------------------------------


def test_values_that_spell_each_other_get_their_own_directories(tmp_path):
    values = [v for pair in PAIRS for v in pair] + ['"1"', "x", " 1", "[1]"]
    write_module(tmp_path, "pairs", f'''
        from tamso import asset, partitions

        @asset(partitions={{"d": partitions({values!r})}})
        def v(d):
            return [type(d).__name__, d]
        ''')
    first = tamso_cli(tmp_path, "run", "pairs", "--json")
    assert statuses(first) == ["ok"] * len(values)
    names = sorted(os.listdir(tmp_path / "tamso-out" / "pairs:v"))
    assert names == sorted(['d="1"', "d=1", 'd="true"', "d=true", 'd="null"', "d=null", 'd="1.5"', "d=1.5",
                            'd="\\"1\\""', "d=x", "d= 1", 'd="[1]"'])
    for value in values:
        assert tamso.read("pairs:v", {"d": value}, out=str(tmp_path / "tamso-out")) == [type(value).__name__, value]
    assert statuses(tamso_cli(tmp_path, "run", "pairs", "--json")) == ["fresh"] * len(values)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(st.text(max_size=8), st.integers(), st.booleans(), st.none(),
                          st.floats(allow_nan=False, allow_infinity=False),
                          st.lists(st.one_of(st.integers(), st.text(max_size=3)), max_size=2)),
                min_size=1, max_size=6))
def test_partition_values_and_directories_map_one_to_one(values):
    texts = {value_text(v) for v in values}
    names = {layout.dimension_name("d", t): t for t in texts}
    assert len(names) == len(texts)
    for name, text in names.items():
        key, pairs = layout.parse_job_directory(f"k/{name}")
        assert key == "k" and [(d, value_text(v)) for d, v in pairs] == [("d", text)]


@pytest.mark.parametrize("key", ["report.html", "Report.HTML", ".tamso", "%72eport.html"])
def test_keys_never_take_a_name_the_layout_uses(key):
    name = layout.key_name(key)
    assert name.casefold() not in {n.casefold() for n in layout.RESERVED}
    assert layout.parse_job_directory(name) == (key, [])


def test_an_asset_named_like_the_report_runs_and_reads_back(tmp_path):
    write_module(tmp_path, "named", '''
        from tamso import asset

        @asset(name="report.html")
        def page():
            return "a value"
        ''')
    for extra in [("--no-report",), ()]:
        result = tamso_cli(tmp_path, "run", "named", "--force", *extra)
        assert result.returncode == 0, result.stderr
    assert (tmp_path / "tamso-out" / "report.html").is_file()
    assert tamso.read("report.html", out=str(tmp_path / "tamso-out")) == "a value"


def test_names_a_folding_file_system_would_merge_are_a_plan_error(tmp_path, monkeypatch):
    write_module(tmp_path, "folded", '''
        from tamso import asset

        @asset(name="Prices")
        def upper():
            return 1

        @asset(name="prices")
        def lower():
            return 2
        ''')
    assert layout.name_folding(str(tmp_path)) is None  # this file system keeps names as they are
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(layout, "name_folding", lambda out: str.casefold)
    with pytest.raises(PlanError, match="would share the directory"):
        tamso.run(["folded"], out=str(tmp_path / "out"))
    assert not (tmp_path / "out").exists()


# The state store ---------------------------------------------------------------------------------------------


def corrupt_page(db, table):
    """Overwrite the root page of `table` with bytes that are no b-tree page."""
    with sqlite3.connect(db) as connection:
        page = connection.execute("SELECT rootpage FROM sqlite_master WHERE name = ?", (table,)).fetchone()[0]
    size = 4096
    with open(db, "r+b") as stream:
        stream.seek((page - 1) * size)
        stream.write(bytes(range(256)) * (size // 256))


@pytest.mark.parametrize(("table", "repair", "after"), [
    # What the damaged store still holds keeps its jobs fresh ...
    ("latest", ("repair",), "fresh"),
    ("success", ("repair",), "fresh"),
    # ... a store with nothing left to read runs every job once more, from a run that repairs first.
    (None, ("run", "counted", "--repair"), "ok"),
])
def test_a_damaged_store_stops_the_run_until_repaired(tmp_path, table, repair, after):
    write_module(tmp_path, "counted", COUNTED)
    assert statuses(tamso_cli(tmp_path, "run", "counted", "--json")) == ["ok"] * 8
    values = job_files(tmp_path / "tamso-out")
    ran(tmp_path)
    db = tmp_path / "tamso-out" / ".tamso" / "state.db"
    if table:
        corrupt_page(db, table)
    else:
        db.write_bytes(os.urandom(8192))
    damaged = db.read_bytes()

    for command in [("run", "counted"), ("run", "counted", "--dry-run"), ("status",)]:
        one_error_line(tamso_cli(tmp_path, *command), 2, "tamso-out/.tamso/state.db is damaged", "tamso repair")
    assert ran(tmp_path) == []

    repaired = tamso_cli(tmp_path, *repair, "--json" if repair[0] == "run" else "tamso-out")
    assert repaired.returncode == 0 and b"moved aside" in (repaired.stdout + repaired.stderr), repaired.stderr
    aside = [p for p in db.parent.iterdir() if p.name.startswith("state.db.damaged-") and "-" not in p.name[17:]]
    assert len(aside) == 1 and aside[0].read_bytes() == damaged  # set aside, not deleted
    if repair[0] == "repair":
        assert statuses(tamso_cli(tmp_path, "run", "counted", "--json")) == [after] * 8
        assert ran(tmp_path) == []
    else:
        assert statuses(repaired) == [after] * 8 and len(ran(tmp_path)) == 8
    assert job_files(tmp_path / "tamso-out") == values
    assert statuses(tamso_cli(tmp_path, "run", "counted", "--json")) == ["fresh"] * 8
    assert tamso_cli(tmp_path, "repair", "tamso-out").stdout.startswith(b"the state store of tamso-out is not damaged")


FILLS = '''
import os
from tamso import asset

@asset()
def small():
    with open(os.path.join(os.environ["RAN"], "ran.txt"), "a") as stream:
        stream.write("small\\n")
    return "kept"

@asset(inputs={"s": small})
def fill(s):
    if not os.path.exists("filled"):
        open("filled", "w").close()
        with open("out/filler", "wb") as stream:
            try:
                while True:
                    stream.write(b"x" * 65536)
                    stream.flush()
            except OSError:
                pass
    return s
'''


@needs_root
def test_a_full_disk_ends_the_run_in_one_line_and_keeps_what_finished(tmp_path):
    write_module(tmp_path, "fills", FILLS)
    (tmp_path / "out").mkdir()
    with mounted("-t", "tmpfs", "-o", "size=2m", "tmpfs", str(tmp_path / "out")):
        full = tamso_cli(tmp_path, "run", "fills", "--out", "out", "--no-report")
        one_error_line(full, 2, "out/.tamso/state.db", "disk is full", "kept")
        assert (tmp_path / "out" / "fills:small" / "value.json").read_bytes() == b'"kept"'
        (tmp_path / "out" / "filler").unlink()
        again = tamso_cli(tmp_path, "run", "fills", "--out", "out", "--json")
        # small ran once in all: recorded before the disk filled, or adopted from its claim
        assert statuses(again) in (["fresh", "ok"], ["ok", "ok"]) and ran(tmp_path) == ["small"]
        assert sqlite3.connect(tmp_path / "out" / ".tamso" / "state.db").execute(
            "PRAGMA integrity_check").fetchall() == [("ok",)]
        # A disk full before the run starts: its store cannot even be opened.
        with open(tmp_path / "out" / "filler", "wb") as stream:
            with contextlib.suppress(OSError):
                while True:
                    stream.write(b"x" * 65536)
                    stream.flush()
        one_error_line(tamso_cli(tmp_path, "run", "fills", "--out", "out", "--force"), 2, "out/.tamso/state.db",
                       "disk is full")


@contextlib.contextmanager
def write_locked(db, seconds):
    """Another connection takes the store's write lock before the block and holds it for `seconds`."""
    ready = threading.Event()

    def hold():
        connection = sqlite3.connect(db, isolation_level=None)
        connection.execute("BEGIN IMMEDIATE")
        ready.set()
        time.sleep(seconds)
        connection.execute("COMMIT")
        connection.close()

    holder = threading.Thread(target=hold)
    holder.start()
    ready.wait()
    try:
        yield
    finally:
        holder.join()


def test_a_held_write_lock_is_waited_for_and_one_held_past_the_wait_ends_the_run(tmp_path, monkeypatch):
    from tamso import state

    write_module(tmp_path, "counted", COUNTED)
    assert tamso_cli(tmp_path, "run", "counted").returncode == 0
    db = tmp_path / "tamso-out" / ".tamso" / "state.db"
    with write_locked(db, 4):
        result = tamso_cli(tmp_path, "run", "counted", "--force")
    assert result.returncode == 0, result.stderr
    assert b"tamso: waiting for another process to release tamso-out/.tamso/state.db" in result.stderr
    monkeypatch.setenv("RAN", str(tmp_path))
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(state, "LOCK_WAIT", 3.0)
    with write_locked(db, 6), pytest.warns(state.StoreNotice), \
            pytest.raises(tamso.OutputError, match="stayed locked by another"):
        tamso.run(["counted"], out=str(db.parent.parent), jobs=1, force=True)


@needs_root
def test_a_read_only_store_or_output_directory_is_read_but_never_written(tmp_path):
    write_module(tmp_path, "counted", COUNTED)
    assert tamso_cli(tmp_path, "run", "counted").returncode == 0
    ran(tmp_path)
    db = tmp_path / "tamso-out" / ".tamso" / "state.db"
    with read_only(db, db):
        one_error_line(tamso_cli(tmp_path, "run", "counted"), 2, "tamso-out/.tamso/state.db", "read-only")
        assert sorted(os.listdir(db.parent)) == ["graph.json", "lock", "state.db"]
    # Writable again: usable as it was.
    assert statuses(tamso_cli(tmp_path, "run", "counted", "--json")) == ["fresh"] * 8 and ran(tmp_path) == []
    assert sorted(os.listdir(db.parent)) == ["graph.json", "lock", "state.db"]
    (tmp_path / "ro").mkdir()
    with read_only(tmp_path / "tamso-out", tmp_path / "ro"):
        before = sorted(os.listdir(tmp_path / "ro" / ".tamso"))
        status = tamso_cli(tmp_path, "status", "ro")
        assert status.returncode == 0 and b"counted:down" in status.stdout, status.stderr
        report = tamso_cli(tmp_path, "report", "ro", "--to", "page.html")
        assert report.returncode == 0 and b'href="./ro/counted:down/i=3/log.txt"' in (tmp_path / "page.html").read_bytes()
        one_error_line(tamso_cli(tmp_path, "report", "ro"), 2, "ro/report.html", "Read-only file system", "--to")
        one_error_line(tamso_cli(tmp_path, "run", "counted", "--out", "ro"), 2, "'ro'", "Read-only file system")
        assert tamso.read("counted:down", {"i": 3}, out=str(tmp_path / "ro")) == 7
        assert sorted(os.listdir(tmp_path / "ro" / ".tamso")) == before


# The end of a run, signals, the terminal, file modes -----------------------------------------------------------


def test_a_job_that_deletes_the_state_directory_leaves_the_outcome_alone(tmp_path):
    write_module(tmp_path, "vandal", '''
        import shutil
        from tamso import asset

        @asset()
        def vandal():
            shutil.rmtree("tamso-out/.tamso")
            return 1
        ''')
    result = tamso_cli(tmp_path, "run", "vandal")
    lines = result.stderr.decode().splitlines()
    assert result.returncode == 0 and b"vandal" in result.stdout, result.stderr
    assert [line for line in lines if "warning" in line] == [
        next(line for line in lines if line.startswith("tamso: warning: cannot write the report"))]
    assert "Traceback" not in result.stderr.decode() and not any("report in" in line for line in lines)


SLOW = '''
import time
from tamso import asset

@asset()
def slow():
    time.sleep(60)
'''


def handles_sigterm(pid):
    with open(f"/proc/{pid}/status") as stream:
        caught = next(line for line in stream if line.startswith("SigCgt:")).split()[1]
    return bool(int(caught, 16) & (1 << (signal.SIGTERM - 1)))


@pytest.mark.parametrize("delay", [0.0, 0.3, 1.5])
def test_sigterm_at_any_moment_exits_130(tmp_path, delay):
    write_module(tmp_path, "slow", SLOW)
    runner = spawn(tmp_path, "run", "slow", "--jobs", "1", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for(lambda: handles_sigterm(runner.pid), step=0.001)
    time.sleep(delay)
    runner.send_signal(signal.SIGTERM)
    _, stderr = runner.communicate(timeout=60)
    assert runner.returncode == 130 and b"Traceback" not in stderr, stderr


def test_a_killed_run_shows_as_ended_abruptly_then_is_recorded_so(tmp_path):
    write_module(tmp_path, "slow", SLOW)
    runner = spawn(tmp_path, "run", "slow", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    db = tmp_path / "tamso-out" / ".tamso" / "state.db"
    wait_for(lambda: db.exists() and (tmp_path / "tamso-out" / "slow").exists())
    runner.kill()
    runner.wait()
    report = tamso_cli(tmp_path, "report", "--to", "page.html")
    assert report.returncode == 0 and b"ended abruptly" in (tmp_path / "page.html").read_bytes(), report.stderr
    assert b"ended abruptly" in tamso_cli(tmp_path, "status").stdout
    write_module(tmp_path, "slow", "from tamso import asset\n@asset()\ndef slow():\n    return 1\n")
    assert tamso_cli(tmp_path, "run", "slow").returncode == 0
    outcomes = sqlite3.connect(db).execute("SELECT outcome FROM runs ORDER BY id").fetchall()
    assert outcomes == [("ended abruptly",), ("ok",)]


def test_control_characters_reach_the_terminal_escaped_and_the_files_whole(tmp_path):
    write_module(tmp_path, "loud", '''
        from tamso import asset

        @asset(name="clear\\x1b[2J")
        def loud():
            print("\\x1b[31mred\\x1b[0m")
            raise ValueError("\\x1b[2Jgone\\x07")
        ''')
    result = tamso_cli(tmp_path, "run", "loud")
    assert result.returncode == 1
    assert b"\x1b" not in result.stdout + result.stderr and b"\x07" not in result.stdout + result.stderr
    assert b"clear\\x1b[2J" in result.stdout and b"\\x1b[2Jgone\\x07" in result.stdout
    assert b"\\x1b[31mred" in result.stdout and b"clear\\x1b[2J" in result.stderr
    job = tmp_path / "tamso-out" / "clear%1B[2J"
    assert b"\x1b[31mred" in (job / "log.txt").read_bytes()
    assert json.loads((job / "result.json").read_bytes())["error"].endswith("\x1b[2Jgone\x07")


def test_every_file_follows_the_umask(tmp_path):
    write_module(tmp_path, "counted", COUNTED)
    done = tamso_cli(tmp_path, "run", "counted", umask=0o027)
    assert done.returncode == 0, done.stderr
    out = tmp_path / "tamso-out"
    modes = {str(p.relative_to(out)): p.stat().st_mode & 0o777 for p in out.rglob("*") if p.is_file()}
    assert modes["report.html"] == modes[".tamso/graph.json"] == 0o640
    assert set(modes.values()) == {0o640}, modes
