"""The ``tamso`` command line: ``tamso run``, ``tamso status``, ``tamso graph``, ``tamso report`` and
``tamso repair``.

Results go to standard output, diagnostics to standard error, each one line
with control characters shown escaped. Exit status: 0 success, 1 a job failed
or was blocked, 2 usage and plan errors and an output directory or state store
that cannot be used, 130 interrupted (Ctrl-C or SIGTERM, at any moment).
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import signal
import sys
import threading
import warnings
from typing import TYPE_CHECKING, Any, Callable, Mapping, Sequence, TextIO

from tamso import _cli, layout

if TYPE_CHECKING:
    from tamso.state import Success

PROG = "tamso"


def _partition(text: str) -> tuple[str, Any]:
    dim, equals, value = text.partition("=")
    if not equals or not dim:
        raise argparse.ArgumentTypeError(f"expected DIM=VALUE, not {text!r}")
    try:
        return dim, json.loads(value)
    except ValueError:
        return dim, value


def _number(kind: type[int] | type[float], low: float, what: str) -> Callable[[str], Any]:
    """An argparse type: a whole number (`kind` int) or a finite number, at least `low`, or just above it
    for a float."""
    def parse(text: str) -> Any:
        try:
            number = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {what}, not {text!r}") from None
        if number < low or (kind is float and not (low < number < float("inf"))):
            raise argparse.ArgumentTypeError(f"expected {what}, not {text!r}")
        return number
    return parse


_positive_int = _number(int, 1, "a whole number of at least 1")
_count = _number(int, 0, "a whole number of 0 or more")
_seconds = _number(float, 0.0, "a positive number of seconds")


def version() -> str:
    """The installed distribution's version, else that of the source tree tamso runs from."""
    from importlib import metadata

    try:
        return metadata.version("tamso")
    except metadata.PackageNotFoundError:
        pass
    import tomllib

    try:
        with open(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "pyproject.toml"), "rb") as stream:
            return str(tomllib.load(stream)["project"]["version"])
    except (OSError, ValueError, KeyError):
        return "unknown"


class _Version(argparse.Action):
    """``--version``: the version is looked up only when asked for (reading the installed distribution's
    metadata costs a run some 10 ms)."""

    def __init__(self, option_strings: list[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        sys.stdout.write(f"{PROG} {version()}\n")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Materialize data-pipeline assets.")
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    run = commands.add_parser(
        "run",
        help="materialize the assets of some modules",
        description=(
            "Materialize every asset of the named pipeline modules into OUT: upstream first, one job per "
            "partition combination, in parallel, and only what changed since the last run."
        ),
    )
    run.add_argument("modules", nargs="+", metavar="MODULE", help="dotted name of a pipeline module")
    run.add_argument("--out", default="tamso-out", metavar="DIR", help="output directory (default: tamso-out)")
    run.add_argument("--jobs", "-j", type=_positive_int, metavar="N",
                     help="worker processes (default: the machine's cores)")
    run.add_argument("--select", action="append", default=[], metavar="KEY",
                     help="run only this asset; +KEY adds its upstream, KEY+ its downstream (repeatable)")
    run.add_argument("--partition", action="append", default=[], type=_partition, metavar="DIM=VALUE",
                     help="run only the jobs with this value of DIM (VALUE is JSON when it parses; repeatable)")
    run.add_argument("--force", action="store_true", help="run every selected job, fresh or not")
    run.add_argument("--retries", type=_count, default=0, metavar="N", help="run a failed job again up to N times")
    run.add_argument("--timeout", type=_seconds, metavar="SECONDS", help="fail a job that runs longer")
    run.add_argument("--executor", choices=("local", "dask"),
                     help="run jobs in a local worker pool (default) or on a Dask cluster")
    run.add_argument("--scheduler", metavar="ADDRESS",
                     help="run on the Dask cluster of this scheduler (implies --executor dask)")
    run.add_argument("--connect-timeout", type=_seconds, default=10.0, metavar="SECONDS",
                     help="give up on an unreachable scheduler after this long (default: 10)")
    run.add_argument("--dashboard", action="store_true", help="print the Dask dashboard's address")
    run.add_argument("--upload-code", action="store_true",
                     help="send the pipeline's modules to the Dask workers, which import them afresh when changed")
    run.add_argument("--dry-run", action="store_true", help="print the plan and what is fresh; run nothing")
    run.add_argument("--json", action="store_true", help="print the run report as JSON instead of the summary")
    run.add_argument("--no-report", action="store_true", help="do not write OUT/report.html at the end")
    run.add_argument("--repair", action="store_true",
                     help="when the state store is damaged, set it aside and rebuild it first (see tamso repair)")

    status = commands.add_parser(
        "status",
        help="show the last materialization of every job",
        description="Print the last recorded outcome of every asset and partition in OUT's state store.",
    )
    status.add_argument("out", nargs="?", default="tamso-out", metavar="OUT", help="output directory")
    status.add_argument("--json", action="store_true", help="print the table as JSON")

    graph = commands.add_parser(
        "graph",
        help="print the asset graph of some modules",
        description=(
            "Print the graph of the named pipeline modules: one node per asset, one edge per input. With --out, "
            "each node shows the last statuses of its jobs in that output directory."
        ),
    )
    graph.add_argument("modules", nargs="+", metavar="MODULE", help="dotted name of a pipeline module")
    graph.add_argument("--format", choices=("mermaid", "dot", "html"), default="mermaid",
                       help="Mermaid or DOT text, or a self-contained HTML page (default: mermaid)")
    graph.add_argument("--out", metavar="OUT", help="colour the graph by the statuses recorded in OUT")

    report = commands.add_parser(
        "report",
        help="write OUT/report.html",
        description="Write OUT/report.html: the graph of the last run coloured by status, and every job's outcome.",
    )
    report.add_argument("out", nargs="?", default="tamso-out", metavar="OUT", help="output directory")
    report.add_argument("--to", metavar="FILE", help="write the page to FILE instead (OUT may be read-only)")

    repair = commands.add_parser(
        "repair",
        help="rebuild a damaged state store from OUT's job directories",
        description=(
            "When OUT's state store is damaged (or missing), move it aside (nothing is deleted) and rebuild it "
            "from the job directories: each job with an ok result.json and its value file is adopted as its "
            "last success. A healthy store is left alone."
        ),
    )
    repair.add_argument("out", nargs="?", default="tamso-out", metavar="OUT", help="output directory")
    return parser


_interrupted = False


def _terminate(signum: int, frame: object) -> None:
    """SIGTERM stops the command as Ctrl-C does (exit 130); a second one while it stops changes nothing."""
    global _interrupted
    if not _interrupted:
        _interrupted = True
        raise KeyboardInterrupt


def terminate_as_interrupt() -> None:
    """From now on, SIGTERM stops the command as Ctrl-C does (only the main thread can take signals)."""
    global _interrupted
    _interrupted = False
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _terminate)


def _show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: TextIO | None = None, line: str | None = None) -> None:
    """tamso's own warnings and notices as one line on standard error, others as Python shows them."""
    if issubclass(category, _cli.Notice):
        print(_cli.printable(f"{PROG}: {category.prefix}{message}"), file=sys.stderr, flush=True)
    else:
        _python_show_warning(message, category, filename, lineno, file, line)


_python_show_warning = warnings.showwarning


def _error(command: str, message: object) -> None:
    """One line, then the lines of detail a plan error may have (the pipeline's lines behind it), each escaped."""
    print(_cli.printable(f"{PROG} {command}: error: {getattr(message, 'summary', message)}"), file=sys.stderr)
    for line in getattr(message, "details", ()):
        print(_cli.printable(line), file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    previous = signal.getsignal(signal.SIGTERM)
    try:
        terminate_as_interrupt()
        parser = build_parser()
        try:
            args = parser.parse_args(argv)
        except SystemExit as exc:
            return exc.code if isinstance(exc.code, int) else 2
        if args.command is None:
            parser.print_help(sys.stderr)
            return 2
        with warnings.catch_warnings():
            warnings.simplefilter("always", _cli.Notice)
            warnings.showwarning = _show_warning
            if args.command == "run":
                return _run(args, argv)
            if args.command == "graph":
                return _graph(args)
            if args.command == "report":
                return _report(args)
            if args.command == "repair":
                return _repair(args)
            return _status(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    finally:
        if previous is not None and threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGTERM, previous)


def _run(args: argparse.Namespace, argv: Sequence[str] | None) -> int:
    from tamso.executors import ExecutorError
    from tamso.plan import PlanError
    from tamso.reporting import DRY_RUN_STATUSES, progress, summary
    from tamso.runner import OutputError, RunWarning, repair, run

    if args.scheduler and args.executor == "local":
        print(f"{PROG} run: error: --scheduler runs on a Dask cluster; it cannot go with --executor local",
              file=sys.stderr)
        return 2
    _cli.make_cwd_importable()
    command = shlex.join([PROG, *(sys.argv[1:] if argv is None else argv)])
    listener = None if args.dry_run else progress.for_stream(sys.stderr)
    report_failed = False

    def note_report(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                    file: TextIO | None = None, line: str | None = None) -> None:
        nonlocal report_failed
        report_failed = report_failed or issubclass(category, RunWarning)
        _show_warning(message, category, filename, lineno, file, line)

    warnings.showwarning = note_report
    if args.repair and not args.dry_run:
        try:
            repaired = repair(args.out, command=shlex.join([PROG, "repair", args.out]))
        except OutputError as exc:
            _error("run", exc)
            return 2
        if repaired.damaged:
            _print_repair(repaired, args.out, sys.stderr)
    try:
        report = run(
            args.modules,
            out=args.out,
            jobs=args.jobs,
            select=args.select,
            partitions=args.partition,
            force=args.force,
            retries=args.retries,
            timeout=args.timeout,
            executor=args.executor,
            scheduler=args.scheduler,
            connect_timeout=args.connect_timeout,
            dashboard=args.dashboard,
            upload_code=args.upload_code,
            dry_run=args.dry_run,
            listener=listener,
            command=command,
            report=not args.no_report,
        )
    except (PlanError, OutputError, ExecutorError, ValueError) as exc:
        _error("run", exc)
        return 2
    if args.json:
        summary.print_json(report, sys.stdout)
    elif args.dry_run:
        for job in report.jobs:
            print(f"{job.status:<6} {job.label()}")
        counts = report.counts()
        print(f"{len(report.jobs)} jobs: " + ", ".join(f"{counts.get(s, 0)} {s}" for s in DRY_RUN_STATUSES))
    else:
        summary.print_summary(report, sys.stdout)
    if not (args.dry_run or args.no_report or report_failed):
        print(_cli.printable(f"{PROG}: report in {os.path.join(args.out, layout.REPORT_FILE)}"), file=sys.stderr)
    if report.status == "interrupted":
        print(f"{PROG}: interrupted", file=sys.stderr)
    return report.exit_code


def _when(seconds: float | None) -> str:
    if seconds is None:
        return ""
    import datetime

    return datetime.datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S")


def _status(args: argparse.Namespace) -> int:
    from tamso.state import StateStore, StateError

    try:
        store = StateStore.open(os.path.join(args.out, layout.STATE_DIR), create=False)
    except FileNotFoundError:
        _error("status", f"no run has been recorded in {args.out!r}")
        return 1
    except StateError as exc:
        _error("status", exc)
        return 2
    try:
        rows = store.latest()
        successes = store.successes()
        runs = store.runs()
        tracked = {job: [f.label() for f in files if not f.name and f.kind != "unknown"]
                   for job, files in store.tracked().items()}
    except StateError as exc:
        _error("status", exc)
        return 2
    finally:
        store.close()
    values = [_value_of(args.out, r.key, r.partition, successes) for r in rows]
    if args.json:
        document = [
            {"key": r.key, "partition": json.loads(r.partition), "status": r.status, "attempts": r.attempts,
             "started": r.started, "ended": r.ended, "duration": r.duration, "error_type": r.error_type,
             "error": r.error, "format": value[0], "value_size": value[1],
             "tracked": tracked.get((r.key, r.partition), [])}
            for r, value in zip(rows, values)
        ]
        sys.stdout.write(json.dumps(document, ensure_ascii=False, indent=2) + "\n")
        return 0
    from rich.console import Console
    from rich.table import Table

    table = Table()
    columns = ("key", "partition", "status", "when", "duration", "format", "size")
    for column in columns + (("tracked files",) if tracked else ()):
        table.add_column(column, justify="right" if column in ("duration", "size") else "left")
    for r, (kind, size) in zip(rows, values):
        partition = ", ".join(f"{d}={layout.value_label(json.dumps(v))}" for d, v in json.loads(r.partition).items())
        duration = "" if r.duration is None else f"{r.duration:.2f} s"
        files = (_cli.printable("\n".join(tracked.get((r.key, r.partition), ()))),) if tracked else ()
        table.add_row(_cli.printable(r.key), _cli.printable(partition), r.status, _when(r.ended or r.started),
                      duration, kind or "", "" if size is None else layout.size_text(size), *files)
    console = Console(file=sys.stdout, width=None if sys.stdout.isatty() else 200)
    console.print(table)
    if runs and runs[-1][3] in ("running", "ended abruptly"):
        run_id, started, _, outcome, command = runs[-1]
        console.print(_cli.printable(f"last run #{run_id} ({command}, started {_when(started)}): {outcome}"),
                      markup=False, highlight=False)
    return 0


def _value_of(out: str, key: str, partition: str, successes: Mapping[tuple[str, str], Success]) -> \
        tuple[str | None, int | None]:
    """The format and size of a job's last successful value (None, None when it has none)."""
    from tamso import serializers

    success = successes.get((key, partition))
    if success is None:
        return None, None
    directory = os.path.join(out, layout.job_directory(key, layout.partition_pairs(partition)))
    name = serializers.current_value_file(directory, None, success.stamp.size)
    return (serializers.format_of(name) if name is not None else None), success.stamp.size


def _graph(args: argparse.Namespace) -> int:
    from tamso.plan import PlanError, build
    from tamso.reporting import graph, html
    from tamso.state import StateStore, StateError

    _cli.make_cwd_importable()
    try:
        pipeline = graph.from_plan(build(args.modules))
    except PlanError as exc:
        _error("graph", exc)
        return 2
    counts = None
    if args.out is not None:
        try:
            store = StateStore.open(os.path.join(args.out, layout.STATE_DIR), create=False)
        except FileNotFoundError:
            _error("graph", f"no run has been recorded in {args.out!r}")
            return 1
        except StateError as exc:
            _error("graph", exc)
            return 2
        try:
            counts = graph.count_statuses(pipeline, store.last_statuses())
        except StateError as exc:
            _error("graph", exc)
            return 2
        finally:
            store.close()
    render = {"mermaid": graph.mermaid, "dot": graph.dot, "html": html.graph_page}[args.format]
    sys.stdout.write(render(pipeline, counts))
    return 0


def _report(args: argparse.Namespace) -> int:
    from tamso.reporting import html
    from tamso.state import StateError

    state_dir = os.path.join(args.out, layout.STATE_DIR)
    if not os.path.isdir(state_dir):
        _error("report", f"no run has been recorded in {args.out!r}")
        return 1
    try:
        path = html.write_report(args.out, to=args.to)
    except StateError as exc:
        _error("report", exc)
        return 2
    except OSError as exc:
        in_state = exc.filename is not None and \
            os.path.dirname(os.path.abspath(exc.filename)) == os.path.abspath(state_dir)
        if in_state and isinstance(exc, FileNotFoundError):
            _error("report", f"no run has been recorded in {args.out!r}")
            return 1
        target = exc.filename if in_state else args.to or os.path.join(args.out, layout.REPORT_FILE)
        hint = "" if args.to or in_state else "; write it elsewhere with --to FILE"
        _error("report", f"cannot {'read' if in_state else 'write'} {target}: {exc.strerror or exc}{hint}")
        return 2
    print(_cli.printable(path))
    return 0


def _repair(args: argparse.Namespace) -> int:
    from tamso.runner import OutputError, repair

    try:
        done = repair(args.out, command=shlex.join([PROG, "repair", args.out]))
    except OutputError as exc:
        _error("repair", exc)
        return 2
    if not done.damaged:
        print(_cli.printable(f"the state store of {args.out} is not damaged: nothing to repair"))
        return 0
    _print_repair(done, args.out, sys.stdout)
    return 0


def _print_repair(done: Any, out: str, stream: TextIO) -> None:
    for moved in done.moved:
        print(_cli.printable(f"moved aside: {moved}"), file=stream)
    unknown = done.adopted - done.fingerprints
    print(_cli.printable(f"rebuilt the state store of {out}: {done.adopted} jobs adopted from their directories"
                         + (f", {unknown} of them to run once more" if unknown else "")), file=stream)
