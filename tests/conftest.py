import collections
import contextlib
import gc
import json
import os
import pathlib
import subprocess
import sys
import textwrap
import time
from importlib import resources

import jsonschema
import pytest

import tamso
from tamso import _tamso, asset

PACKAGE_ROOT = str(pathlib.Path(tamso.__file__).resolve().parent.parent)
TESTS_DIR = str(pathlib.Path(__file__).resolve().parent)


def schema_validator(name):
    """A validator for one of the JSON Schemas shipped in the package."""
    schema = json.loads(resources.files(tamso).joinpath("schemas", name).read_text("utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


SCHEMAS = {"inspection document": schema_validator("inspection.schema.json"),
           "result.json": schema_validator("result.schema.json")}
validated = collections.Counter()


def conforms(kind, text):
    """Validates a document the system wrote against its schema; returns the text."""
    SCHEMAS[kind].validate(json.loads(text))
    validated[kind] += 1
    return text


def raised(call, *args):
    """The display text ("Type: message") of what the running interpreter raises
    from call(*args): texts that come from the interpreter are compared as the
    running version words them."""
    try:
        call(*args)
    except Exception as exc:
        return f"{type(exc).__qualname__}: {exc}"
    raise AssertionError(f"{call} raised nothing")


def python(*args, path=(), env=(), **options):
    """Runs a fresh interpreter that imports tamso and what the `path` directories hold."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([*path, PACKAGE_ROOT]), **dict(env)}
    done = subprocess.run([sys.executable, *args], env=env, capture_output=True, timeout=60, **options)
    if args[:2] == ("-m", "tamso.inspect") and "--help" not in args and done.returncode == 0:
        conforms("inspection document", done.stdout)
    return done


def cli(cwd, *args, **options):
    """`python -m tamso ARGS` run in `cwd`, whose modules it imports."""
    return python("-m", "tamso", *args, cwd=cwd, path=[str(cwd), *options.pop("path", ())], **options)


def spawn(cwd, *args, path=(), env=(), **options):
    """Starts `python -m tamso ARGS` in `cwd` (and `path`, whose modules it imports) without waiting for it."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(cwd), *path, PACKAGE_ROOT]), **dict(env)}
    return subprocess.Popen([sys.executable, "-m", "tamso", *args], cwd=cwd, env=env, **options)


def write_module(directory, name, source):
    """Writes `source`, dedented, as the module `name` in `directory`."""
    (directory / f"{name}.py").write_text(textwrap.dedent(source))


def run_statuses(result):
    """{(asset key, partition JSON): status} of a `tamso run --json` that ran."""
    assert result.returncode in (0, 1), result.stderr
    return {(job["key"], json.dumps(job["partition"], sort_keys=True)): job["status"]
            for job in json.loads(result.stdout)["jobs"]}


def wait_for(condition, timeout=30.0, step=0.05):
    """Polls `condition()` until it holds or `timeout` seconds pass; returns its last answer."""
    deadline = time.monotonic() + timeout
    while not (answer := condition()) and time.monotonic() < deadline:
        time.sleep(step)
    return answer


@pytest.fixture(autouse=True)
def documents_conform_to_their_schemas(request, monkeypatch):
    """Every inspection document a test gets from `inspect_modules` and every
    result.json left in its tmp_path, by this process or a child, is checked
    against the schema that the package ships for it."""
    # Reference-count tests watch what the call holds; a wrapper's frame in a
    # traceback would hold the arguments a little longer.
    if getattr(request.module, "inspect_modules", None) is _tamso.inspect_modules and \
            "refcounts" not in request.fixturenames:
        native = _tamso.inspect_modules
        monkeypatch.setattr(request.module, "inspect_modules",
                            lambda *args, **kwargs: conforms("inspection document", native(*args, **kwargs)))
    # Asked for before the test runs, tmp_path is torn down after this fixture.
    tmp_path = request.getfixturevalue("tmp_path") if "tmp_path" in request.fixturenames else None
    yield
    for path in tmp_path.rglob("result.json") if tmp_path else ():
        if path.is_file():
            conforms("result.json", path.read_bytes())


def pytest_terminal_summary(terminalreporter):
    if validated:
        terminalreporter.write_line("validated against their schemas: " + ", ".join(
            f"{count} {kind}{'s' if kind.endswith('document') else ' files'}" for kind, count in validated.items()))


def job_files(out):
    """Every job's file under `out` (not the state store, not the run report), by relative path."""
    root = pathlib.Path(out)
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file() and ".tamso" not in p.parts and p.name != "report.html"}


def values_json(p):
    """The JSON text that a Partitions instance renders into asset metadata."""
    return asset(partitions={"d": p})(lambda: None).__tamso_metadata__["partitions"]["d"]["values_json"]


def changed_while_walked(change):
    """What asset() raises when `change(inputs)` runs while it walks `inputs`."""
    class Changing(str):
        @property
        def __tamso_kind__(self):
            change(inputs)

    inputs = {"a": Changing("v"), "b": "y"}
    with pytest.raises(BaseException) as info:
        asset(inputs=inputs)
    return info.value


@pytest.fixture
def panic():
    """The internal-failure class."""
    return type(changed_while_walked(lambda d: d.update(more="y")))


@pytest.fixture
def dumps_returning(monkeypatch):
    """Make `json.dumps` return a fixed text, so any text reaches our reader."""
    return lambda text: monkeypatch.setattr(json, "dumps", lambda obj: text)


@pytest.fixture
def refcounts():
    """`with refcounts(*objs):` asserts the block leaves their reference counts as it found them."""
    @contextlib.contextmanager
    def unchanged(*objs):
        # Garbage left by earlier tests (a traceback holding a function, say) may be collected
        # during the block; collect it first so that only the block's own references count.
        gc.collect()
        before = [sys.getrefcount(o) for o in objs]
        yield
        gc.collect()
        assert [sys.getrefcount(o) for o in objs] == before

    return unchanged
