"""The code a long-lived Dask cluster runs: a scheduler and workers started apart, as the README starts them."""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest

distributed = pytest.importorskip("distributed")

from conftest import PACKAGE_ROOT, job_files as files, python  # noqa: E402
from test_dask_executor import free_port  # noqa: E402

PIPELINE = {
    "__init__.py": "",
    "helpers.py": """
        def rate():
            return 2
    """,
    "assets.py": """
        import tamso
        from tamso import asset
        from {package}.helpers import rate

        @asset()
        def price():
            with open(tamso.track({base!r})) as stream:  # a file system the workers share
                return int(stream.read()) * rate()

        @asset(inputs={{"price": price}})
        def report(price):
            return {{"price": price}}
    """,
}


def write_pipeline(root, package):
    (root / package).mkdir(parents=True)
    for name, source in PIPELINE.items():
        (root / package / name).write_text(textwrap.dedent(source).format(package=package,
                                                                            base=str(root / "base.txt")))
    (root / "base.txt").write_text("10")


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A scheduler and two worker processes on 127.0.0.1, started from an empty directory with `shared` on their
    PYTHONPATH (and tamso); always torn down."""
    shared = tmp_path_factory.mktemp("shared")
    elsewhere = tmp_path_factory.mktemp("elsewhere")
    dask_cli = shutil.which("dask", path=os.path.dirname(sys.executable)) or shutil.which("dask")
    if dask_cli is None:
        pytest.skip("the dask command is not installed")
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(shared), PACKAGE_ROOT])}
    processes = []
    try:
        for args in ([dask_cli, "scheduler", "--host", "127.0.0.1", "--port", str(port), "--no-dashboard"],
                     [dask_cli, "worker", address, "--nworkers", "2", "--nthreads", "1", "--no-dashboard",
                      "--host", "127.0.0.1"]):
            processes.append(subprocess.Popen(args, cwd=elsewhere, env=env, stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL, start_new_session=True))
        client = distributed.Client(address, timeout=60, set_as_default=False)
        try:
            client.wait_for_workers(2, timeout=120)
        finally:
            client.close()
        yield address, shared
    finally:
        for process in reversed(processes):
            with_group = os.getpgid(process.pid) if process.poll() is None else None
            if with_group is not None:
                os.killpg(with_group, signal.SIGTERM)
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


def run(root, address, package, *args):
    done = python("-m", "tamso", "run", f"{package}.assets", "--scheduler", address, "--json", "--no-report", *args,
                  cwd=root, path=[str(root)])
    assert done.returncode in (0, 1), done.stderr
    return {job["key"].split(":")[-1]: (job["status"], job["error_type"], job["error"])
            for job in json.loads(done.stdout)["jobs"]}


def read(root, package, key):
    return json.loads((root / "tamso-out" / f"{package}.assets:{key}" / "value.json").read_text())


def test_uploaded_code_runs_on_workers_that_lack_it_and_is_imported_afresh_when_changed(tmp_path, cluster):
    address, _ = cluster
    write_pipeline(tmp_path, "apart")
    missing = run(tmp_path, address, "apart")
    assert missing["price"][:2] == ("failed", "ModuleNotFoundError") and missing["report"][0] == "blocked"
    assert "No module named 'apart'" in missing["price"][2]
    assert set(run(tmp_path, address, "apart", "--upload-code").values()) == {("ok", None, None)}
    assert read(tmp_path, "apart", "report") == {"price": 20}
    # The same files as the local pool writes.
    local = tmp_path / "local"
    shutil.copytree(tmp_path / "apart", local / "apart")
    assert python("-m", "tamso", "run", "apart.assets", "--no-report", cwd=local, path=[str(local)]).returncode == 0
    ours = {name: data for name, data in files(tmp_path / "tamso-out").items() if not name.endswith("result.json")}
    assert ours == {name: data for name, data in files(local / "tamso-out").items()
                    if not name.endswith("result.json")}
    # An edited helper reaches the workers, which import the pipeline again; a tracked file seen by the worker.
    (tmp_path / "apart" / "helpers.py").write_text("def rate():\n    return 3\n")
    assert run(tmp_path, address, "apart", "--upload-code")["price"][0] == "ok"
    assert read(tmp_path, "apart", "report") == {"price": 30}
    (tmp_path / "base.txt").write_text("100")
    assert run(tmp_path, address, "apart", "--upload-code") == {"price": ("ok", None, None),
                                                                 "report": ("ok", None, None)}
    assert read(tmp_path, "apart", "report") == {"price": 300}


def test_workers_holding_other_code_fail_the_job_and_record_nothing(cluster):
    address, shared = cluster
    write_pipeline(shared, "onpath")
    assert set(run(shared, address, "onpath").values()) == {("ok", None, None)}
    (shared / "onpath" / "helpers.py").write_text("def rate():\n    return 7\n")
    stale = run(shared, address, "onpath")
    status, error_type, error = stale["price"]
    assert (status, error_type) == ("failed", "CodeMismatch")
    assert "module 'onpath.helpers'" in error and "Restart the workers" in error and "--upload-code" in error
    assert read(shared, "onpath", "report") == {"price": 20}
    assert run(shared, address, "onpath", "--upload-code")["price"][0] == "ok"
    assert read(shared, "onpath", "report") == {"price": 70}
    # Without the option the workers go back to their own copy, imported afresh: the current code.
    (shared / "onpath" / "helpers.py").write_text("def rate():\n    return 8\n")
    assert run(shared, address, "onpath")["price"][0] == "ok"
    assert read(shared, "onpath", "report") == {"price": 80}
