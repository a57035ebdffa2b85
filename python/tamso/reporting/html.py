"""The HTML pages: ``OUT/report.html`` after a run, and ``tamso graph --format html``.

A page is one self-contained file: inline CSS and an inline SVG drawing of the
graph (laid out by :mod:`tamso.reporting.graph`), no script, nothing fetched.
Every text that comes from the pipeline (keys, partition values, error
messages) is escaped. In the report, each asset has a collapsed ``<details>``
holding the table of its jobs; a node of the graph links to it, and each job
links to its files by relative paths, so the page works from the file system
and wherever OUT is copied.
"""

from __future__ import annotations

import itertools
import json
import os
import shlex
import time
import urllib.parse
from typing import Any, Iterator, Mapping, NamedTuple, Sequence

from tamso import layout, serializers
from tamso.plan import Partition, partition_text
from tamso.reporting import graph
from tamso.reporting.graph import JOB_STATUSES, NEVER_RUN, Counts, GraphAsset, PipelineGraph
from tamso._tracking import TrackedFile
from tamso.state import Latest, StateStore

REPORT_FILE = layout.REPORT_FILE
OPEN_ROWS = 1000
"""Assets with failed jobs start expanded while their rows add up to no more than this."""
LIST_JOBS = 1000
"""An asset with more jobs lists its failed and blocked jobs and its first this many others, and says how many
it leaves out (``tamso status --json`` lists every job), so that the page stays small and quick to open."""
MESSAGE_CHARS = 4000
"""An error message longer than this is cut in the table; result.json keeps it whole."""
JOB_FILES = ((layout.VALUE_FILE, "value"), (layout.RESULT_FILE, "result"), (layout.LOG_FILE, "log"))

_CHAR_WIDTH = 7.3
_KEY_CHARS = 42
_LINE_HEIGHT = 16.0


def _escape(text: str) -> str:
    """What ``html.escape(text, quote=True)`` gives, without loading the module's table of entities."""
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")
            .replace("'", "&#x27;"))


def esc(text: object) -> str:
    return _escape(str(text))


class JobRow(NamedTuple):
    """One job of the graph and its last recorded outcome (None: never run)."""

    partition: Partition
    directory: str
    latest: Latest | None
    """The job's last materialization."""
    status: str
    """Its last status (a fresh or blocked job keeps the details of its last materialization)."""
    reason: str | None = None
    """Why a blocked job did not run: the upstream job that failed."""


def _jobs_of(asset: GraphAsset) -> Iterator[tuple[str, tuple[int, ...]]]:
    """Each job's partition text, as the plan makes it, and the positions of its values in their dimensions
    (which `_job` turns into its partition and directory, for the jobs that are listed)."""
    if not asset.dimensions:
        yield partition_text(()), ()
        return
    names = [json.dumps(d.name, ensure_ascii=False) for d in asset.dimensions]
    columns = [[(f"{name}:{value}", i) for i, value in enumerate(d.values)]
               for d, name in zip(asset.dimensions, names)]
    for combo in itertools.product(*columns):
        yield "{" + ",".join([c[0] for c in combo]) + "}", tuple([c[1] for c in combo])


def _job(asset: GraphAsset, positions: tuple[int, ...]) -> tuple[Partition, str]:
    """A job's partition and directory, from the positions of its values."""
    values = [(d.name, d.values[i]) for d, i in zip(asset.dimensions, positions)]
    return tuple(values), "/".join([layout.key_name(asset.key),
                                    *(layout.dimension_name(name, value) for name, value in values)])


def listed_jobs(pipeline: PipelineGraph, latest: Sequence[Latest], statuses: Mapping[tuple[str, str], str],
                limit: int | None = None, reasons: Mapping[tuple[str, str], str] | None = None,
                ) -> tuple[dict[str, list[JobRow]], dict[str, Counts]]:
    """The rows the report lists per asset, and every asset's jobs per status.

    An asset of up to `limit` jobs lists them all; a larger one lists its
    failed and blocked jobs and its first `limit` others, in the plan's order.
    `reasons` says, for the jobs blocked in the last run, which upstream job failed.
    """
    why = reasons or {}
    by_key: dict[str, dict[str, str]] = {key: {} for key in pipeline.assets}
    for (key, partition), status in statuses.items():
        by_key.get(key, {})[partition] = status
    by_job = {(row.key, row.partition): row for row in latest}
    listed: dict[str, list[JobRow]] = {}
    counts: dict[str, Counts] = {}
    for key, asset in pipeline.assets.items():
        shown, counts[key] = _listed(asset, by_key[key], limit)
        listed[key] = [JobRow(partition, directory, by_job.get((key, text)), status, why.get((key, text)))
                       for partition, text, directory, status in shown]
    return listed, counts


def _listed(asset: GraphAsset, status_of: Mapping[str, str],
            limit: int | None) -> tuple[list[tuple[Partition, str, str, str]], Counts]:
    """One asset's listed jobs (partition, partition text, directory, status) and its jobs per status."""
    limit = LIST_JOBS if limit is None else limit
    tally = dict.fromkeys(JOB_STATUSES, 0)
    shown = []
    room = limit if asset.job_count > limit else -1
    for text, positions in _jobs_of(asset):
        status = status_of.get(text, NEVER_RUN)
        tally[status] = tally.get(status, 0) + 1
        if room >= 0 and status not in ("failed", "blocked"):
            if not room:
                continue
            room -= 1
        partition, directory = _job(asset, positions)
        shown.append((partition, text, directory, status))
    return shown, tally


def _listed_from(store: StateStore, pipeline: PipelineGraph) -> tuple[dict[str, list[JobRow]], dict[str, Counts]]:
    """`listed_jobs` read from the store one asset at a time, keeping only the outcomes of the listed jobs."""
    listed: dict[str, list[JobRow]] = {}
    counts: dict[str, Counts] = {}
    reasons: dict[tuple[str, str], str] | None = None
    for key, asset in pipeline.assets.items():
        shown, counts[key] = _listed(asset, store.statuses_of(key), None)
        if reasons is None and counts[key].get("blocked"):
            reasons = store.blocked_reasons()
        why = reasons or {}
        latest = {row.partition: row for row in store.latest_of(key, [text for _, text, _, _ in shown])}
        listed[key] = [JobRow(partition, directory, latest.get(text), status, why.get((key, text)))
                       for partition, text, directory, status in shown]
    return listed, counts


# Characters a path keeps as they are in a link: none of them needs escaping in a quoted attribute.
_PATH_SAFE = "/:=@,+;!$()*"


def href(directory: str, name: str) -> str:
    """A link relative to OUT: percent-encoded, and never read as a scheme (a ``:`` in the first segment)."""
    return _href_base(directory) + urllib.parse.quote(name, safe=_PATH_SAFE)


def _href_base(directory: str, cache: dict[Any, str] | None = None) -> str:
    """``./<directory>/`` percent-encoded. A directory quotes as its parts do, one by one (``/`` is kept), so
    with `cache` each part that recurs from job to job is quoted once."""
    if cache is None:
        return "./" + urllib.parse.quote(directory, safe=_PATH_SAFE) + "/"
    quoted = []
    for part in directory.split("/"):
        text = cache.get(("/", part, ""))
        if text is None:
            text = cache[("/", part, "")] = urllib.parse.quote(part, safe=_PATH_SAFE)
        quoted.append(text)
    return "./" + "/".join(quoted) + "/"


# Pages -----------------------------------------------------------------------


def report_page(out: str, pipeline: PipelineGraph, latest: Sequence[Latest],
                statuses: Mapping[tuple[str, str], str],
                last_run: tuple[int, float, float | None, str, str] | None,
                reasons: Mapping[tuple[str, str], str] | None = None,
                tracked: Mapping[tuple[str, str], Sequence[TrackedFile]] | None = None) -> str:
    """The report of OUT: the graph coloured by status and, per asset, the table of its jobs (with the files each
    job tracked)."""
    rows, counts = listed_jobs(pipeline, latest, statuses, reasons=reasons)
    return _report_page(out, pipeline, rows, counts, last_run, tracked or {})


def _report_page(out: str, pipeline: PipelineGraph, rows: Mapping[str, Sequence[JobRow]],
                 counts: Mapping[str, Counts], last_run: tuple[int, float, float | None, str, str] | None,
                 tracked: Mapping[tuple[str, str], Sequence[TrackedFile]]) -> str:
    parts = [_head(f"tamso report: {os.path.basename(os.path.abspath(out))}")]
    parts.append('<header><h1>tamso report</h1>')
    if last_run is not None:
        run_id, started, ended, outcome, command = last_run
        took = f" ({ended - started:.2f} s)" if ended is not None else ""
        parts.append(
            f'<p class="meta">last run #{run_id}: <b class="outcome">{esc(outcome)}</b>, started {_when(started)}'
            f'{took} · <code>{esc(command)}</code></p>'
        )
    parts.append(_totals(counts))
    parts.append("</header>")
    parts.append(_graph_section(pipeline, counts, "its jobs"))
    parts.append(_job_tables(out, pipeline, rows, counts, tracked or {}))
    parts.append("</body></html>\n")
    return "".join(parts)


def graph_page(pipeline: PipelineGraph, counts: Mapping[str, Counts] | None = None) -> str:
    """The graph alone, with a list of the assets (statuses when `counts` are given)."""
    parts = [_head("tamso graph"), "<header><h1>tamso graph</h1>"]
    if counts is not None:
        parts.append(_totals(counts))
    parts.append("</header>")
    parts.append(_graph_section(pipeline, counts, "its row below"))
    parts.append('<section><h2>Assets</h2><table class="list"><thead><tr><th>asset<th>function<th>partitions'
                 f'{"<th>jobs" if counts is not None else ""}</thead><tbody>')
    for index, (key, asset) in enumerate(pipeline.assets.items()):
        status = "" if counts is None else f'<td>{_chips(counts[key])}'
        parts.append(f'<tr id="a{index}"><td class="key">{esc(key)}<td><code>{esc(asset.module)}.'
                     f'{esc(asset.function)}</code><td>{esc(asset.describe() or "1 job")}{status}')
    parts.append("</tbody></table></section></body></html>\n")
    return "".join(parts)


def write_report(out: str, store: StateStore | None = None, to: str | None = None) -> str:
    """Write ``OUT/report.html`` (or the file `to`) from the graph and the state store the last run left;
    returns its path.

    `store` is the open store of a run in progress; without it the store is
    opened read-only. FileNotFoundError when OUT holds no recorded run.
    """
    state_dir = os.path.join(out, layout.STATE_DIR)
    pipeline = graph.load(state_dir)
    own = store is None
    opened = StateStore.open(state_dir, create=False) if store is None else store
    try:
        rows, counts = _listed_from(opened, pipeline)
        runs = opened.runs()
        tracked = opened.tracked()
    finally:
        if own:
            opened.close()
    page = _report_page(out, pipeline, rows, counts, runs[-1] if runs else None, tracked)
    path = os.path.join(out, REPORT_FILE) if to is None else to
    if to is not None:  # the links to the jobs' files lead from where the page is to OUT
        where = os.path.relpath(os.path.abspath(out), os.path.dirname(os.path.abspath(to)))
        if where != ".":
            page = page.replace('<a href="./', f'<a href="./{urllib.parse.quote(where, safe=_PATH_SAFE)}/')
    layout.write_atomic(path, page.encode("utf-8", "replace"))
    return path


# Pieces ----------------------------------------------------------------------

_CSS = """
:root { color-scheme: light; }
body { font: 14px/1.4 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; margin: 0 24px 40px; color: #1d1d1f; }
h1 { font-size: 20px; margin: 18px 0 4px; } h2 { font-size: 16px; margin: 22px 0 8px; }
code, .key, .jobs td:first-child, svg text { font-family: ui-monospace, "SFMono-Regular", Menlo, Consolas, monospace; }
.meta { margin: 2px 0; color: #444; }
.chip { display: inline-block; padding: 0 8px; margin: 2px 4px 2px 0; border-radius: 10px; border: 1px solid;
        font-size: 12px; white-space: nowrap; }
.canvas { overflow: auto; max-height: 80vh; border: 1px solid #ddd; border-radius: 6px; background: #fafafa; }
svg text { font-size: 11px; fill: #222; }
svg text.k { font-size: 12px; font-weight: 600; }
svg .e { fill: none; stroke: #777; stroke-width: 1.3; }
svg .el { fill: #555; font-size: 10px; paint-order: stroke; stroke: #fafafa; stroke-width: 3px; }
svg a:hover rect.box { stroke-width: 2.5; }
details.asset { border-bottom: 1px solid #e6e6e6; }
details.asset > summary { cursor: pointer; padding: 5px 2px; }
details.asset > summary .key { font-weight: 600; margin-right: 8px; }
.desc { color: #555; margin-right: 8px; }
.sw { display: inline-block; width: 10px; height: 10px; border-radius: 2px; border: 1px solid; margin-right: 6px; }
.jobs { scroll-margin-top: 60px; padding: 0 0 10px 18px; overflow-x: auto; }
table { border-collapse: collapse; font-size: 13px; }
.jobs table { table-layout: fixed; width: 104em; }
.jobs th:nth-child(1) { width: 20em; } .jobs th:nth-child(2) { width: 5em; } .jobs th:nth-child(3) { width: 5em; }
.jobs th:nth-child(4) { width: 6em; } .jobs th:nth-child(5) { width: 11em; } .jobs th:nth-child(6) { width: 11em; }
.jobs th:nth-child(7) { width: 36em; } .jobs th:nth-child(8) { width: 10em; }
.jobs td:nth-child(1) { white-space: normal; overflow-wrap: anywhere; }
.jobs details summary { cursor: pointer; color: #555; }
.jobs pre { margin: 4px 0; font-size: 12px; white-space: pre-wrap; overflow-wrap: anywhere; }
th, td { text-align: left; padding: 2px 10px 2px 0; vertical-align: top; border-bottom: 1px solid #f0f0f0; }
th { color: #555; font-weight: 600; white-space: nowrap; } td { white-space: nowrap; }
.jobs td:nth-child(3), .jobs td:nth-child(4) { text-align: right; }
.jobs td:nth-child(6), .jobs td:nth-child(7) { white-space: pre-wrap; overflow-wrap: anywhere; }
.more { color: #555; margin: 6px 0; }
.jobs td:nth-child(2) { font-weight: 600; } .jobs td a { margin-right: 6px; }
.jobs .fmt { color: #666; font-size: 11px; margin-right: 6px; }
"""


def _status_css() -> str:
    rules = []
    for status in JOB_STATUSES:
        fill, stroke = graph.COLOURS[status]
        name = graph.class_name(status)
        rules.append(f".st-{name} rect.box {{ fill: {fill}; stroke: {stroke}; }}"
                     f" rect.st-{name} {{ fill: {stroke}; }}"
                     f" .chip.st-{name}, .sw.st-{name} {{ background: {fill}; border-color: {stroke}; }}"
                     f" tr.st-{name} td:nth-child(2) {{ color: {stroke}; }}")
    fill, stroke = graph.PLAIN
    rules.append(f".plain rect.box {{ fill: {fill}; stroke: {stroke}; }}")
    return "\n".join(rules)


def _head(title: str) -> str:
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>{esc(title)}</title><style>{_CSS}{_status_css()}</style></head><body>"
    )


def _when(seconds: float | None, cache: dict[Any, str] | None = None) -> str:
    if seconds is None:
        return ""
    whole = int(seconds)  # the text shows whole seconds: jobs that ended in one second share it
    found = None if cache is None else cache.get(whole)
    if found is None:
        found = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))
        if cache is not None:
            cache[whole] = found
    return found


def _chips(counts: Mapping[str, int]) -> str:
    return "".join(
        f'<span class="chip st-{graph.class_name(status)}">{n} {status}</span>'
        for status in JOB_STATUSES if (n := counts.get(status, 0))
    )


def _totals(counts: Mapping[str, Counts]) -> str:
    total = dict.fromkeys(JOB_STATUSES, 0)
    for tally in counts.values():
        for status, n in tally.items():
            total[status] = total.get(status, 0) + n
    jobs = sum(total.values())
    return (f'<p class="totals">{len(counts)} asset{"" if len(counts) == 1 else "s"}, '
            f'{jobs} job{"" if jobs == 1 else "s"}: {_chips(total)}</p>')


def _legend(counts: Mapping[str, Counts] | None, click: str) -> str:
    if counts is None:
        return ""
    return ('<p class="legend">' + "".join(
        f'<span class="chip st-{graph.class_name(s)}">{s}</span>' for s in JOB_STATUSES
    ) + f" · a node takes the colour of its worst job; click it for {click}</p>")


def _node_size(lines: Sequence[str], bar: bool) -> tuple[float, float]:
    chars = max(min(len(line), _KEY_CHARS) for line in lines)
    width = max(90.0, chars * _CHAR_WIDTH + 20)
    height = 10 + _LINE_HEIGHT * len(lines) + (8 if bar else 0)
    return width, height


def _clip(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _graph_section(pipeline: PipelineGraph, counts: Mapping[str, Counts] | None, click: str) -> str:
    lines = {key: graph.node_lines(asset, None if counts is None else counts[key])
             for key, asset in pipeline.assets.items()}
    placed = graph.compute(pipeline, lambda key: _node_size(lines[key], counts is not None))
    index = {key: i for i, key in enumerate(pipeline.assets)}
    parts = [
        f'<section class="graph"><h2>Graph</h2>{_legend(counts, click)}<div class="canvas">'
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{placed.width:.0f}" height="{placed.height:.0f}"'
        f' viewBox="0 0 {placed.width:.0f} {placed.height:.0f}" role="img" aria-label="asset graph">'
        '<defs><marker id="arrow" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="8" markerHeight="8"'
        ' orient="auto"><path d="M0,0L10,5L0,10z" fill="#777"/></marker></defs><g>'
    ]
    labels = []
    for route in placed.routes:
        parameters = ", ".join(route.parameters)
        parts.append(f'<path class="e" d="{_curve(route.points)}" marker-end="url(#arrow)"><title>'
                     f'{esc(route.upstream)} → {esc(route.downstream)} ({esc(parameters)})</title></path>')
        x, y = _along(route.points[-2], route.points[-1], 0.7)
        labels.append(f'<text class="el" x="{x:.1f}" y="{y + 3:.1f}"'
                      f' text-anchor="middle">{esc(_clip(parameters, 30))}</text>')
    parts += labels
    parts.append("</g>")
    for key, box in placed.boxes.items():
        tally = None if counts is None else counts[key]
        kind = "plain" if tally is None else f"st-{graph.class_name(graph.dominant(tally))}"
        left, top = box.x - box.width / 2, box.y
        parts.append(f'<a href="#a{index[key]}"><g class="{kind}"><title>{esc(chr(10).join(lines[key]))}</title>'
                     f'<rect class="box" x="{left:.1f}" y="{top:.1f}" width="{box.width:.1f}"'
                     f' height="{box.height:.1f}" rx="6"/>')
        for row, line in enumerate(lines[key]):
            style = ' class="k"' if row == 0 else ""
            parts.append(f'<text{style} x="{box.x:.1f}" y="{top + 20 + row * _LINE_HEIGHT:.1f}"'
                         f' text-anchor="middle">{esc(_clip(line, _KEY_CHARS))}</text>')
        if tally is not None:
            parts.append(_bar(tally, left + 8, top + box.height - 10, box.width - 16))
        parts.append("</g></a>")
    parts.append("</svg></div></section>")
    return "".join(parts)


def _curve(points: Sequence[tuple[float, float]]) -> str:
    """A path through `points` whose segments leave and enter vertically."""
    (x, y), rest = points[0], points[1:]
    path = [f"M{x:.1f},{y:.1f}"]
    for nx, ny in rest:
        middle = (y + ny) / 2
        path.append(f"C{x:.1f},{middle:.1f} {nx:.1f},{middle:.1f} {nx:.1f},{ny:.1f}")
        x, y = nx, ny
    return "".join(path)


def _along(start: tuple[float, float], end: tuple[float, float], t: float) -> tuple[float, float]:
    """The point at `t` of the curve that `_curve` draws from `start` to `end`."""
    (x1, y1), (x2, y2) = start, end
    u = 1 - t
    near, far = u**3 + 3 * u * u * t, 3 * u * t * t + t**3
    middle = (y1 + y2) / 2
    return x1 * near + x2 * far, y1 * u**3 + middle * 3 * u * t + y2 * t**3


def _bar(counts: Mapping[str, int], left: float, top: float, width: float) -> str:
    """A thin bar split by the share of each status."""
    total = sum(counts.values())
    if not total:
        return ""
    parts = []
    x = left
    for status in JOB_STATUSES:
        n = counts.get(status, 0)
        if n:
            share = width * n / total
            parts.append(f'<rect class="st-{graph.class_name(status)}" x="{x:.1f}" y="{top:.1f}"'
                         f' width="{share:.1f}" height="4"/>')
            x += share
    return "".join(parts)


def _job_tables(out: str, pipeline: PipelineGraph, rows: Mapping[str, Sequence[JobRow]],
                counts: Mapping[str, Counts], tracked: Mapping[tuple[str, str], Sequence[TrackedFile]]) -> str:
    parts = ['<section class="assets"><h2>Jobs by asset</h2>']
    budget = OPEN_ROWS
    cache: dict[Any, str] = {}
    for index, (key, asset) in enumerate(pipeline.assets.items()):
        jobs = rows[key]
        tally = counts[key]
        status = graph.class_name(graph.dominant(tally))
        expanded = tally.get("failed", 0) > 0 and len(jobs) <= budget
        if expanded:
            budget -= len(jobs)
        describe = asset.describe() or "1 job"
        parts.append(
            f'<details class="asset" data-key="{esc(key)}"{" open" if expanded else ""}><summary>'
            f'<span class="sw st-{status}"></span><span class="key">{esc(key)}</span>'
            f'<span class="desc">{esc(describe)}</span>{_chips(tally)}</summary>'
            f'<div class="jobs" id="a{index}"><table><thead><tr><th>partition<th>status<th>attempts<th>duration'
            f'<th>when<th>error type<th>message<th>files{"<th>tracked files" if tracked else ""}</thead><tbody>'
        )
        for job in jobs:
            _job_row(out, job, cache, parts)
            if tracked:
                files = tracked.get((key, partition_text(job.partition)), ())
                parts.append("<td>" + "<br>".join(_escape(f.label()) for f in files
                                                  if not f.name and f.kind != "unknown"))
        parts.append("</tbody></table>")
        left_out = sum(tally.values()) - len(jobs)
        if left_out:
            command = shlex.join(["tamso", "status", "--json", out])
            parts.append(f'<p class="more">{left_out} more job{"" if left_out == 1 else "s"} not listed here'
                         f' (this list shows every failed and blocked job and the first {LIST_JOBS} others);'
                         f' <code>{esc(command)}</code> lists every job.</p>')
        parts.append("</div></details>")
    parts.append("</section>")
    return "".join(parts)


_ROW_START = {status: f'<tr class="st-{graph.class_name(status)}"><td>' for status in JOB_STATUSES}
_LINKS = tuple((name, f'{name}">{text}</a>') for name, text in JOB_FILES)


def _job_row(out: str, job: JobRow, cache: dict[Any, str], parts: list[str]) -> None:
    """Append one job's table row to `parts`; `cache` keeps what many rows share (each escaped ``dim=value``,
    each quoted part of a directory, each value file's link, each second's time)."""
    pieces = []
    for pair in job.partition:
        label = cache.get(pair)
        if label is None:
            label = cache[pair] = _escape(f"{pair[0]}={layout.value_label(pair[1])}")
        pieces.append(label)
    status = job.status
    parts.append(_ROW_START.get(status, "<tr><td>"))
    parts.append(", ".join(pieces) or "(all)")
    parts.append(f"<td>{_escape(status)}")
    row = job.latest
    directory = os.path.join(out, job.directory)
    present = _files(directory)
    if status == "blocked" and job.reason:
        parts.append(f"<td><td><td><td><td>{_escape(_clip(job.reason, MESSAGE_CHARS))}")
    elif row is None:
        parts.append("<td><td><td><td><td>")
    else:
        duration = "" if row.duration is None else f"{row.duration:.2f} s"
        message = _escape(_clip(_message(row.error_type, row.error), MESSAGE_CHARS)) if row.error else ""
        if status == "failed" and layout.LOG_FILE in present:
            message += _traceback(os.path.join(directory, layout.LOG_FILE))
        parts.append(f"<td>{row.attempts}<td>{duration}<td>{_when(row.ended or row.started, cache)}"
                     f"<td>{_escape(row.error_type or '')}<td>{message}")
    parts.append("<td>")
    if present:
        base = '<a href="' + _href_base(job.directory, cache)
        value = serializers.current_value_file(directory, present)
        if value is not None:
            parts.append(base + _value_link(directory, value, cache))
        parts += [base + link for name, link in _LINKS[1:] if name in present]


def _value_link(directory: str, name: str, cache: dict[Any, str] | None = None) -> str:
    """The rest of the link to a job's value file, with its format and size."""
    try:
        size = " " + layout.size_text(os.stat(os.path.join(directory, name)).st_size)
    except OSError:
        size = ""
    found = None if cache is None else cache.get(("value", name, ""))
    if found is None:
        found = (f'{urllib.parse.quote(name, safe=_PATH_SAFE)}">value</a>'
                 f' <span class="fmt">{_escape(serializers.format_of(name))}')
        if cache is not None:
            cache[("value", name, "")] = found
    return f"{found}{size}</span> "


def _message(error_type: str | None, error: str) -> str:
    """The error's message without the type name its display text starts with (the type has its own column)."""
    head, separator, rest = error.partition(": ")
    if separator and error_type and (head == error_type or head.endswith("." + error_type)):
        return rest
    return error


def _traceback(log: str) -> str:
    """The traceback that ends a failed job's log, in a collapsed ``<details>``; empty when there is none."""
    from tamso import _tracebacks  # only a failed job's row needs it

    lines = _tracebacks.log_traceback(layout.tail(log, 10_000))
    if not lines:
        return ""
    return (f"<details><summary>traceback</summary><pre>{_escape(_clip(chr(10).join(lines), 4 * MESSAGE_CHARS))}"
            "</pre></details>")


def _files(directory: str) -> frozenset[str]:
    try:
        return frozenset(os.listdir(directory))
    except OSError:
        return frozenset()
