"""What a job depends on: the project code its module imports, the files it tracks, and the dry run that says so."""

import json
import os
import pathlib
import sqlite3
import textwrap

import pytest

import tamso
from tamso import imports
from conftest import cli


def write(root, files):
    """Write `files` as if written an hour ago (sources that changed this very moment are not cached)."""
    for name, source in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source))
        past = path.stat().st_mtime_ns - 3600 * 10**9
        os.utime(path, ns=(past, past))


def run(root, *args):
    """`tamso run ... --json` in `root`: (exit status, {label: status})."""
    done = cli(root, "run", *args, "--json", "--no-report")
    assert done.returncode in (0, 1), done.stderr
    return done.returncode, {job["key"]: job["status"] for job in json.loads(done.stdout)["jobs"]}


def dry(root, *args):
    done = cli(root, "run", *args, "--dry-run")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().splitlines()
    return {line[7:]: line[:6].strip() for line in lines[:-1]}, lines[-1]


def ran(statuses):
    return {label for label, status in statuses.items() if status == "ok"}


CODE = {
    "p/__init__.py": "",
    "p/helpers.py": """
        from .deeper import unit

        def rate():
            return 2 * unit()
    """,
    "p/deeper.py": """
        def unit():
            return 1

        def back():
            from p import cycle  # imported inside a function, and a cycle with p.cycle
            return cycle
    """,
    "p/cycle.py": """
        import p.deeper
    """,
    "p/assets.py": """
        from tamso import asset
        from p.helpers import rate
        from p.base import base

        @asset()
        def price():
            return 10 * rate()

        @asset(inputs={"base": base})
        def with_base(base):
            return base + 1
    """,
    "p/base.py": """
        from tamso import asset

        def factor():
            return 3

        @asset()
        def base():
            return factor()
    """,
    "p/alone.py": """
        import json
        from tamso import asset
        from p import base as listed  # a helper that is also a listed module

        @asset()
        def alone():
            return listed.factor()

        @asset()
        def unrelated():
            return json.dumps(1)
    """,
    "q.py": """
        from tamso import asset

        @asset()
        def other():
            return "other"
    """,
}
MODULES = ("p.assets", "p.base", "p.alone", "q")


@pytest.fixture
def project(tmp_path):
    write(tmp_path, CODE)
    code, statuses = run(tmp_path, *MODULES)
    assert code == 0 and set(statuses.values()) == {"ok"}
    return tmp_path


@pytest.mark.parametrize(("edit", "expected"), [
    # An edit to a helper reruns exactly the assets whose modules reach it (both of the module's assets).
    (("p/deeper.py", "return 1", "return 5"), {"p.assets:price", "p.assets:with_base"}),
    # Source bytes count, comments too, as for the defining module.
    (("p/helpers.py", "def rate", "# cheaper\ndef rate"), {"p.assets:price", "p.assets:with_base"}),
    # Reached only through a function-level import in a cycle.
    (("p/cycle.py", "import", "# edited\nimport"), {"p.assets:price", "p.assets:with_base"}),
    # A module that defines assets and serves as a helper: its own assets, its importers' and their downstream.
    (("p/base.py", "return 3", "return 4"), {"p.base:base", "p.assets:with_base", "p.alone:alone",
                                              "p.alone:unrelated", "p.assets:price"}),
    # The package's __init__.py runs before any of its modules.
    (("p/__init__.py", "", "VERSION = 2\n"), {"p.base:base", "p.assets:with_base", "p.alone:alone",
                                              "p.alone:unrelated", "p.assets:price"}),
])
def test_an_edit_reruns_exactly_the_assets_whose_modules_reach_it(project, edit, expected):
    name, old, new = edit
    path = project / name
    text = path.read_text()
    path.write_text(text.replace(old, new, 1) if old else new)
    code, statuses = run(project, *MODULES)
    assert code == 0 and ran(statuses) == expected
    assert statuses["q:other"] == "fresh"
    if name == "p/deeper.py":
        assert tamso.read("p.assets:price", out=str(project / "tamso-out")) == 100
    assert set(run(project, *MODULES)[1].values()) == {"fresh"}


def test_the_import_graph_follows_project_modules_only_and_is_kept(project):
    import sys

    sys.path.insert(0, str(project))
    try:
        cache = imports.CodeCache()
        found = imports.closures(["p.alone", "q", "json", "no.such.module"], cache)
    finally:
        sys.path.remove(str(project))
        for name in [m for m in sys.modules if m == "p" or m.startswith("p.")]:
            del sys.modules[name]
    assert [f.module for f in found["p.alone"].files] == ["p", "p.alone", "p.base"]
    assert [f.module for f in found["q"].files] == ["q"]
    assert found["json"].files == found["no.such.module"].files == ()
    assert len({closure.digest for closure in found.values()}) == 3
    assert sorted(os.path.relpath(path, project) for path, _ in cache.updates()) == [
        "p/__init__.py", "p/alone.py", "p/base.py", "q.py"]
    # The run kept each project file it read by path, with what it imports; the standard library and tamso are
    # not followed.
    db = sqlite3.connect(project / "tamso-out" / ".tamso" / "state.db")
    kept = dict(db.execute("SELECT path, imports FROM code"))
    assert kept[str(project / "p" / "helpers.py")].split("\n") == [".deeper", ".deeper.unit"]
    assert sorted(os.path.relpath(path, project) for path in kept) == sorted(CODE)


@pytest.mark.parametrize(("source", "expected"), [
    ("import a.b, c\nfrom d import e\nfrom f import *\n", ["a.b", "c", "d", "d.e", "f"]),
    ("def f():\n    from .. import x\n    from .y import z\n", ["..", "..x", ".y", ".y.z"]),
    ("this is not python", []),
])
def test_imports_are_read_from_the_source(source, expected):
    assert imports.module_imports(source.encode()) == expected


@pytest.mark.parametrize(("name", "package", "expected"), [
    ("a.b", "pkg", "a.b"), ("..x", "pkg.sub", "pkg.x"), (".", "pkg", "pkg"), ("...x", "pkg.sub", None),
    (".x", "", None),
])
def test_relative_imports_resolve_against_the_package(name, package, expected):
    assert imports._absolute(name, package) == expected


TRACKING = {
    "data/sales.csv": "day,amount\n1,10\n2,20\n",
    "data/more/a.txt": "a",
    "tracks.py": """
        import os
        import tamso
        from tamso import asset

        @asset()
        def rows():
            with open(tamso.track("data/sales.csv")) as stream:
                return len(stream.read().splitlines()) - 1

        @asset()
        def header():
            with open(tamso.track(os.path.abspath("data/sales.csv"))) as stream:
                return stream.readline().strip()

        @asset(inputs={"rows": rows})
        def doubled(rows):
            return rows * 2

        @asset(inputs={"header": header})
        def columns(header):
            return header.split(",")

        @asset()
        def folder():
            return sorted(os.listdir(tamso.track("data/more")))

        @asset()
        def maybe():
            return os.path.exists(tamso.track("data/later.txt"))
    """,
}


@pytest.fixture
def tracking(tmp_path):
    write(tmp_path, TRACKING)
    code, statuses = run(tmp_path, "tracks")
    assert code == 0 and set(statuses.values()) == {"ok"}
    return tmp_path


def tracked_rows(root):
    db = sqlite3.connect(root / "tamso-out" / ".tamso" / "state.db")
    return db.execute("SELECT key, path, name, kind, size, mtime_ns FROM tracked ORDER BY key, path, name").fetchall()


def test_tracked_files_make_their_jobs_run_when_they_change(tracking):
    sales = tracking / "data" / "sales.csv"
    # Touched, bytes unchanged: nothing runs, and the new time is kept so the file is not read again; the same
    # for a value file.
    value = tracking / "tamso-out" / "tracks:folder" / "value.json"
    for path in (sales, value):
        os.utime(path, ns=(path.stat().st_atime_ns, path.stat().st_mtime_ns + 5_000_000_000))
    assert set(run(tracking, "tracks")[1].values()) == {"fresh"}
    assert {r[5] for r in tracked_rows(tracking) if r[1] == str(sales)} == {sales.stat().st_mtime_ns}
    db = sqlite3.connect(tracking / "tamso-out" / ".tamso" / "state.db")
    assert db.execute("SELECT value_mtime_ns FROM success WHERE key = 'tracks:folder'").fetchone() == (
        value.stat().st_mtime_ns,)
    # A row appended: both jobs that read the file run; only the downstream job whose upstream value changed.
    with open(sales, "a") as stream:
        stream.write("3,30\n")
    words, counts = dry(tracking, "tracks")
    assert words == {"tracks:rows": "runs", "tracks:header": "runs", "tracks:doubled": "waits",
                     "tracks:columns": "waits", "tracks:folder": "fresh", "tracks:maybe": "fresh"}
    assert counts == "6 jobs: 2 fresh, 2 runs, 2 waits"
    assert ran(run(tracking, "tracks")[1]) == {"tracks:rows", "tracks:header", "tracks:doubled"}
    assert tamso.read("tracks:doubled", out=str(tracking / "tamso-out")) == 6
    # A tracked directory gains a file; a path that was missing appears; a tracked file goes.
    (tracking / "data" / "more" / "sub").mkdir()
    (tracking / "data" / "more" / "sub" / "b.txt").write_text("b")
    (tracking / "data" / "later.txt").write_text("now")
    assert ran(run(tracking, "tracks")[1]) == {"tracks:folder", "tracks:maybe"}
    sales.unlink()
    code, statuses = run(tracking, "tracks")
    assert code == 1 and statuses["tracks:rows"] == "failed" and statuses["tracks:folder"] == "fresh"


def test_tracked_files_are_kept_listed_and_never_written_beside_the_job(tracking):
    rows = tracked_rows(tracking)
    sales = str(tracking / "data" / "sales.csv")
    more = str(tracking / "data" / "more")
    assert [(r[0], r[1], r[2], r[3]) for r in rows] == [
        ("tracks:folder", more, "", "dir"), ("tracks:folder", more, "a.txt", "file"),
        ("tracks:header", sales, "", "file"),
        ("tracks:maybe", str(tracking / "data" / "later.txt"), "", "missing"),
        ("tracks:rows", sales, "", "file"),
    ]
    assert sorted(p.name for p in (tracking / "tamso-out" / "tracks:rows").iterdir()) == [
        "log.txt", "result.json", "value.json"]
    status = cli(tracking, "status", "tamso-out", "--json")
    listed = {row["key"]: row["tracked"] for row in json.loads(status.stdout)}
    assert listed["tracks:rows"] == [sales] and listed["tracks:folder"] == [more + os.sep]
    assert listed["tracks:doubled"] == []
    assert "sales.csv" in cli(tracking, "status", "tamso-out").stdout.decode()
    report = cli(tracking, "report", "tamso-out")
    assert report.returncode == 0 and "sales.csv" in (tracking / "tamso-out" / "report.html").read_text()


def test_track_outside_a_job_returns_its_argument(tmp_path):
    path = pathlib.Path(tmp_path / "nothing.csv")
    assert tamso.track(path) is path and tamso.track("x.csv") == "x.csv"
    with pytest.raises(TypeError):
        tamso.track(42)


def test_the_dry_run_says_what_runs_and_what_waits(project):
    (project / "p" / "base.py").write_text((project / "p" / "base.py").read_text().replace("return 3", "return 3 "))
    (project / "q.py").write_text((project / "q.py").read_text() + "\n# edited\n")
    words, counts = dry(project, *MODULES, "--select", "p.base:base+", "--select", "q:other")
    assert words == {"p.base:base": "runs", "p.assets:with_base": "runs", "q:other": "runs"}
    # base's value does not change, but with_base's module imports base: its own code changed.
    assert counts == "3 jobs: 0 fresh, 3 runs, 0 waits"
    run(project, *MODULES)
    # Only an upstream job runs: its downstream job in another module waits.
    (project / "p" / "helpers.py").write_text((project / "p" / "helpers.py").read_text() + "# note\n")
    # Its input named by file, so that its module imports nothing of p.
    (project / "downstream.py").write_text(textwrap.dedent("""
        from tamso import asset

        @asset(inputs={"price": "p/assets.py:price"})
        def report(price):
            return price + 1
    """))
    assert run(project, *MODULES, "downstream")[1]["downstream:report"] == "ok"
    (project / "p" / "helpers.py").write_text((project / "p" / "helpers.py").read_text() + "# again\n")
    words, counts = dry(project, *MODULES, "downstream")
    assert words["p.assets:price"] == "runs" and words["downstream:report"] == "waits"
    assert words["q:other"] == "fresh" and counts == "7 jobs: 4 fresh, 2 runs, 1 waits"
    report = json.loads(cli(project, "run", *MODULES, "downstream", "--dry-run", "--json").stdout)
    assert report["counts"] == {"fresh": 4, "runs": 2, "waits": 1}
    statuses = run(project, *MODULES, "downstream")[1]
    # At least every job that runs, at most those plus the ones that wait: here price's value did not change.
    assert ran(statuses) == {"p.assets:price", "p.assets:with_base"}


@pytest.mark.parametrize(("table", "after"), [
    ("latest", "fresh"),  # the tracked files survive: the job stays fresh until one changes
    ("tracked", "ok"),  # they are lost: the job runs once more to find out what it reads
])
def test_a_repaired_store_keeps_what_jobs_tracked_or_reruns_them(tracking, table, after):
    from test_faults import corrupt_page

    corrupt_page(tracking / "tamso-out" / ".tamso" / "state.db", table)
    repaired = cli(tracking, "repair", "tamso-out")
    assert repaired.returncode == 0, repaired.stderr
    assert run(tracking, "tracks")[1]["tracks:rows"] == after
    with open(tracking / "data" / "sales.csv", "a") as stream:
        stream.write("3,30\n")
    assert run(tracking, "tracks")[1]["tracks:rows"] == "ok"


def test_files_tracked_by_an_asset_with_a_serializer(tmp_path):
    write(tmp_path, {"data.txt": "one", "pickled.py": """
        import tamso
        from tamso import asset

        @asset(serializer="pickle")
        def words():
            with open(tamso.track("data.txt")) as stream:
                return set(stream.read().split())
    """})
    assert run(tmp_path, "pickled")[1] == {"pickled:words": "ok"}
    assert run(tmp_path, "pickled")[1] == {"pickled:words": "fresh"}
    (tmp_path / "data.txt").write_text("one two")
    assert run(tmp_path, "pickled")[1] == {"pickled:words": "ok"}
    assert tamso.read("pickled:words", out=str(tmp_path / "tamso-out")) == {"one", "two"}
