"""The runner as a user meets it: each side is a whole command, interpreter start included, files on disk.

- ``tamso run pipeline.reports`` of the bundled example with nothing to do,
  against ``python -c "import tamso"``;
- ``tamso run --jobs 2`` of 200 jobs of 10 ms of pure-Python work, against a
  command running the same jobs one after the other in one process (a loop
  of ``materialize_asset``);
- the same for 10,000 trivial jobs;
- the 10,000 jobs again with nothing changed, against their first run.

Files go to TAMSO_BENCH_DIR, else the system's temporary directory (a disk
here, not a tmpfs: a job's files cost what they cost a user).

    PYTHONPATH=<pkg> python3 bench/bench_cli.py [--json]
"""

from __future__ import annotations

import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

from _harness import Case, calibrate, command_env, main

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")

BUSY = """
    from tamso import asset, partitions

    def _work():
        total = 0
        for k in range(WORK):
            total += k * k % 7
        return total

    @asset(partitions={"i": partitions(list(range(200)))})
    def busy(i):
        return _work() + i
"""

TRIVIAL = """
    from tamso import asset, partitions

    @asset(partitions={"i": partitions(list(range(10_000)))})
    def trivial(i):
        return i
"""

SEQUENTIAL = (
    "import sys\n"
    "from tamso import materialize_asset\n"
    "module, function, count, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]\n"
    "for i in range(count):\n"
    "    materialize_asset(module, function, f'{out}/{module}:{function}/i={i}', '{\"i\":%d}' % i)\n"
)


def cases() -> list[Case]:
    work = tempfile.mkdtemp(prefix="tamso-bench-cli-", dir=os.environ.get("TAMSO_BENCH_DIR"))
    atexit.register(shutil.rmtree, work, True)
    with open(os.path.join(work, "run_busy.py"), "w") as stream:
        stream.write(f"WORK = {calibrate()}\n" + textwrap.dedent(BUSY))
    with open(os.path.join(work, "run_trivial.py"), "w") as stream:
        stream.write(textwrap.dedent(TRIVIAL))
    env = command_env(work)

    def command(*args: str, cwd: str = work) -> None:
        subprocess.run([sys.executable, *args], cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def clean(*names: str) -> None:
        for name in names:
            shutil.rmtree(os.path.join(work, name), ignore_errors=True)

    example_out = os.path.join(work, "example-out")
    command("-m", "tamso", "run", "pipeline.reports", "--out", example_out, cwd=EXAMPLES)
    command("-m", "tamso", "run", "run_trivial", "--out", "fresh-out", "--jobs", "2")
    return [
        Case(
            "tamso run of the example, nothing to do",
            ours=lambda: command("-m", "tamso", "run", "pipeline.reports", "--out", example_out, cwd=EXAMPLES),
            baseline=lambda: command("-c", "import tamso"),
            baseline_name="python -c 'import tamso'",
            target=3.0,
        ),
        Case(
            "tamso run 200 jobs of 10 ms each, --jobs 2",
            ours=lambda: command("-m", "tamso", "run", "run_busy", "--out", "out", "--jobs", "2"),
            baseline=lambda: command("-c", SEQUENTIAL, "run_busy", "busy", "200", "seq"),
            baseline_name="sequential loop command",
            target=0.6,
            setup=lambda: clean("out", "seq"),
        ),
        Case(
            "tamso run 10,000 trivial jobs, --jobs 2",
            ours=lambda: command("-m", "tamso", "run", "run_trivial", "--out", "out", "--jobs", "2"),
            baseline=lambda: command("-c", SEQUENTIAL, "run_trivial", "trivial", "10000", "seq"),
            baseline_name="sequential loop command",
            target=1.0,
            setup=lambda: clean("out", "seq"),
        ),
        Case(
            "tamso run 10,000 jobs again, nothing changed",
            ours=lambda: command("-m", "tamso", "run", "run_trivial", "--out", "fresh-out", "--jobs", "2"),
            baseline=lambda: command("-m", "tamso", "run", "run_trivial", "--out", "out", "--jobs", "2"),
            baseline_name="the first run",
            target=0.1,
            setup=lambda: clean("out"),
        ),
    ]


if __name__ == "__main__":
    main(cases)
