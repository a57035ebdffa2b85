"""tamso against luigi on the four workloads of the runner's comparison, each command as a user launches it.

    PYTHONPATH=<pkg> python3 bench/peers.py [--repeat 5] [--luigi PYTHON] [--json FILE]

Workloads (the same Python functions everywhere):

- W1: 1,000 partitions of a small dict, and one downstream sum of them;
- W2: 200 partitions of about 10 ms of pure-Python work each, and their sum;
- W3: W1 again with nothing changed (tamso checks every job; luigi checks
  whether the final target exists, which is all it does);
- W4: a chain of 100 unpartitioned assets, each reading the one before and
  every fifth also reading the one ten back (a diamond every few links).

Each figure is the wall time of the whole command (interpreter start
included), median of --repeat, with two workers; W1 also reports the peak
resident memory of the whole process tree (sampled every 10 ms). Each tool
runs from a virtual environment of its own, as a user would install it:
tamso from ``bench/out/tamso-env`` (made by the script: its dependencies, and
the tamso package this script imports), luigi from ``--luigi`` (default
``bench/out/luigi-env/bin/python``), never a dependency of tamso:

    python3 -m venv bench/out/luigi-env && bench/out/luigi-env/bin/pip install luigi

dagster and prefect run the same workloads from scratch environments of their
own in the same way (``pip install dagster`` or ``pip install prefect`` in a
virtual environment, then the scripts this file writes for luigi, rewritten
as assets/flows); they are not part of this script.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

from _harness import calibrate, command_env

HERE = os.path.dirname(os.path.abspath(__file__))

COMMON = '''
import json

def make(i):
    return {"id": i, "name": "item %d" % i, "values": [i, i + 1, i + 2]}

def busy(i):
    total = 0
    for k in range(WORK):
        total += k * k % 7
    return total + i
'''

TAMSO = '''
from tamso import asset, partitions
from common import make, busy

@asset(partitions={"i": partitions(list(range(1000)))})
def w1_part(i):
    return make(i)

@asset(inputs={"parts": w1_part})
def w1_sum(parts):
    return sum(p["id"] for p in parts.values())
'''

TAMSO_W2 = '''
from tamso import asset, partitions
from common import busy

@asset(partitions={"i": partitions(list(range(200)))})
def w2_part(i):
    return busy(i)

@asset(inputs={"parts": w2_part})
def w2_sum(parts):
    return sum(parts.values())
'''


def tamso_w4() -> str:
    lines = ["from tamso import asset", "", "@asset()", "def a0():", "    return 0", ""]
    for n in range(1, 100):
        inputs = {"prev": f"a{n - 1}"}
        if n % 5 == 0 and n >= 10:
            inputs["back"] = f"a{n - 10}"
        declared = ", ".join(f'"{k}": {v}' for k, v in inputs.items())
        lines += [f"@asset(inputs={{{declared}}})", f"def a{n}({', '.join(inputs)}):",
                  f"    return {' + '.join(inputs)} + 1", ""]
    return "\n".join(lines)


LUIGI = '''
import json
import luigi
from common import make, busy


class Part(luigi.Task):
    kind = luigi.Parameter()
    i = luigi.IntParameter()

    def output(self):
        return luigi.LocalTarget(f"luigi-out/{self.kind}/part-{self.i}.json")

    def run(self):
        value = make(self.i) if self.kind == "w1" else busy(self.i)
        with self.output().open("w") as stream:
            json.dump(value, stream)


class Sum(luigi.Task):
    kind = luigi.Parameter()

    def requires(self):
        return [Part(kind=self.kind, i=i) for i in range(1000 if self.kind == "w1" else 200)]

    def output(self):
        return luigi.LocalTarget(f"luigi-out/{self.kind}/sum.json")

    def run(self):
        total = 0
        for target in self.input():
            with target.open() as stream:
                value = json.load(stream)
            total += value["id"] if isinstance(value, dict) else value
        with self.output().open("w") as stream:
            json.dump(total, stream)


class Link(luigi.Task):
    n = luigi.IntParameter()

    def requires(self):
        before = [Link(n=self.n - 1)] if self.n else []
        if self.n % 5 == 0 and self.n >= 10:
            before.append(Link(n=self.n - 10))
        return before

    def output(self):
        return luigi.LocalTarget(f"luigi-out/w4/a{self.n}.json")

    def run(self):
        total = 1 if self.n else 0
        for target in self.input():
            with target.open() as stream:
                total += json.load(stream)
        with self.output().open("w") as stream:
            json.dump(total, stream)
'''


def _tree_rss(pid: int) -> int:
    """Resident bytes of `pid` and every process below it."""
    children: dict[int, list[int]] = {}
    rss: dict[int, int] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stream:
                fields = stream.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
        rss[int(entry)] = int(fields[21]) * os.sysconf("SC_PAGE_SIZE")
    total, stack = 0, [pid]
    while stack:
        current = stack.pop()
        total += rss.get(current, 0)
        stack += children.get(current, [])
    return total


def timed(command: list[str], cwd: str, env: dict[str, str], memory: bool = False) -> tuple[float, int]:
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak = 0
    if memory:
        while process.poll() is None:
            peak = max(peak, _tree_rss(process.pid))
            time.sleep(0.01)
    _, err = process.communicate()
    seconds = time.perf_counter() - start
    if process.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{err.decode(errors='replace')[-2000:]}")
    return seconds, peak


def _tamso_env(work: str) -> tuple[str, dict[str, str]]:
    """The interpreter and environment to run tamso with: a scratch virtual environment of this Python with
    tamso's dependencies (``bench/out/tamso-env``, made on first use), and this process's tamso package alone
    on its path, so that tamso starts as luigi does, from an environment of its own (no start-up work of this
    machine's site-packages on either side)."""
    import tamso

    env_dir = os.path.join(HERE, "out", "tamso-env")
    python = os.path.join(env_dir, "bin", "python")
    if not os.path.exists(python):
        subprocess.run([sys.executable, "-m", "venv", env_dir], check=True)
        subprocess.run([python, "-m", "pip", "install", "-q", "rich>=13", "networkx>=3"], check=True)
    package = os.path.join(work, "tamso-package")
    os.makedirs(package, exist_ok=True)
    os.symlink(os.path.dirname(os.path.abspath(tamso.__file__)), os.path.join(package, "tamso"))
    env = command_env(work)
    env["PYTHONPATH"] = os.pathsep.join([work, package])
    return python, env


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--luigi", default=os.path.join(HERE, "out", "luigi-env", "bin", "python"))
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tamso-peers-", dir=os.environ.get("TAMSO_BENCH_DIR"))
    files = {"common.py": f"WORK = {calibrate()}\n" + COMMON, "w1.py": TAMSO, "w2.py": TAMSO_W2,
             "w4.py": tamso_w4(), "luigi_tasks.py": LUIGI}
    for name, text in files.items():
        with open(os.path.join(work, name), "w") as stream:
            stream.write(textwrap.dedent(text))
    tamso_python, tamso_env = _tamso_env(work)
    envs = {"tamso": tamso_env, "luigi": command_env(work)}
    tools = {"tamso": [tamso_python, "-m", "tamso", "run", "--jobs", "2", "--out"]}
    if os.path.exists(args.luigi):
        tools["luigi"] = [args.luigi, "-m", "luigi", "--module", "luigi_tasks", "--workers", "2",
                          "--local-scheduler", "--log-level", "WARNING"]
    else:
        print(f"luigi: {args.luigi} not found; python3 -m venv bench/out/luigi-env &&"
              " bench/out/luigi-env/bin/pip install luigi", file=sys.stderr)

    def command(tool: str, workload: str, out: str) -> list[str]:
        if tool == "tamso":
            module = {"w1": "w1", "w2": "w2", "w3": "w1", "w4": "w4"}[workload]
            return [*tools["tamso"], out, module]
        task = {"w1": ["Sum", "--kind", "w1"], "w2": ["Sum", "--kind", "w2"], "w3": ["Sum", "--kind", "w1"],
                "w4": ["Link", "--n", "99"]}[workload]
        return [*tools["luigi"], *task]

    times: dict[tuple[str, str], list[float]] = {}
    peaks: dict[str, list[int]] = {}
    for repetition in range(args.repeat):
        for tool in tools:
            out = os.path.join(work, f"{tool}-{repetition}")
            for workload in ("w1", "w3", "w2", "w4"):
                if workload != "w3":  # W3 reruns W1's output
                    subprocess.run(["rm", "-rf", os.path.join(work, "luigi-out", workload)], check=True)
                seconds, peak = timed(command(tool, workload, out), work, envs[tool], memory=workload == "w1")
                times.setdefault((tool, workload), []).append(seconds)
                if workload == "w1":
                    peaks.setdefault(tool, []).append(peak)
    subprocess.Popen(["rm", "-rf", work])
    figures = {f"{tool} {workload}": statistics.median(values) for (tool, workload), values in times.items()}
    figures.update({f"{tool} w1 peak MB": statistics.median(values) / 1e6 for tool, values in peaks.items()})
    for workload in ("w1", "w2", "w3", "w4"):
        row = "  ".join(f"{tool} {statistics.median(times[(tool, workload)]):6.2f} s" for tool in tools)
        print(f"{workload}: {row}")
    print("w1 peak memory (process tree): " + "  ".join(f"{tool} {statistics.median(v) / 1e6:.0f} MB"
                                                        for tool, v in peaks.items()))
    if args.json:
        with open(args.json, "w") as stream:
            json.dump(figures, stream, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
