"""The asset graph as pictures: Mermaid and DOT text, and a computed layout for drawing.

A :class:`PipelineGraph` holds what a picture needs from a plan: every asset
with its dimensions and inputs, and one edge per input. A run saves it in the
state directory (``graph.json``), so that ``tamso report`` can draw the graph
of the last run without importing the pipeline. Job statuses come from the
state store's last recorded outcome per job; a job of the graph without one
has never run.

The layout is layered top to bottom, upstream first: layers by longest path
from the sources (each node then pulled down next to its first consumer),
long edges broken by dummy points, order within layers by barycenter sweeps
that keep the ordering with the fewest crossings, and x positions placed as
close to the neighbours' mean as the order and spacing allow.
"""

from __future__ import annotations

import graphlib
import itertools
import json
import os
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Mapping, NamedTuple, Sequence

from tamso import layout as _layout
from tamso.plan import Dimension, Edge, Partition, Plan, partition_text

GRAPH_FILE = "graph.json"
NEVER_RUN = "never run"
JOB_STATUSES = ("ok", "fresh", "failed", "blocked", NEVER_RUN)
"""A job's last status, in the order pictures list them."""
_DOMINANCE = ("failed", "blocked", NEVER_RUN, "ok", "fresh")
"""Which status colours an asset whose jobs have several: the first one present."""

COLOURS = {
    "ok": ("#d3f0da", "#2e8a45"),
    "fresh": ("#dbe9f6", "#3a75ad"),
    "failed": ("#f9d2d0", "#c0392b"),
    "blocked": ("#fbe6c3", "#c77c0e"),
    NEVER_RUN: ("#ececec", "#8a8a8a"),
}
"""Fill and stroke per status."""
PLAIN = ("#ffffff", "#555555")
"""Fill and stroke of an asset when no statuses are known."""

Counts = dict[str, int]
"""Jobs per status (every status of JOB_STATUSES present)."""


@dataclass(frozen=True, slots=True)
class GraphAsset:
    key: str
    module: str
    function: str
    dimensions: tuple[Dimension, ...]
    inputs: tuple[tuple[str, str], ...]
    """(parameter, upstream key) pairs."""

    @property
    def job_count(self) -> int:
        count = 1
        for dim in self.dimensions:
            count *= len(dim.values)
        return count

    def partitions(self) -> Iterator[Partition]:
        """Each job's partition, in the plan's order."""
        names = [d.name for d in self.dimensions]
        for combo in itertools.product(*(d.values for d in self.dimensions)):
            yield tuple(zip(names, combo))

    def describe(self) -> str:
        """``day × 2, ticker × 3 · 6 jobs`` for a partitioned asset, empty for another."""
        if not self.dimensions:
            return ""
        dims = ", ".join(f"{d.name} × {len(d.values)}" for d in self.dimensions)
        jobs = self.job_count
        return f"{dims} · {jobs} job{'' if jobs == 1 else 's'}"


@dataclass(frozen=True, slots=True)
class PipelineGraph:
    assets: dict[str, GraphAsset]
    """Upstream before downstream."""
    edges: tuple[Edge, ...]


def from_plan(plan: Plan) -> PipelineGraph:
    assets = {
        a.key: GraphAsset(a.key, a.module, a.function, a.dimensions, tuple((i.parameter, i.upstream) for i in a.inputs))
        for a in plan.assets.values()
    }
    return PipelineGraph(assets, plan.edges)


def to_json(graph: PipelineGraph) -> dict[str, Any]:
    return {
        "assets": [
            {
                "key": a.key,
                "module": a.module,
                "function": a.function,
                "dimensions": [{"name": d.name, "values": list(d.values)} for d in a.dimensions],
                "inputs": [{"parameter": p, "upstream": u} for p, u in a.inputs],
            }
            for a in graph.assets.values()
        ]
    }


def from_json(document: Mapping[str, Any]) -> PipelineGraph:
    assets: dict[str, GraphAsset] = {}
    edges: list[Edge] = []
    for record in document["assets"]:
        dimensions = tuple(Dimension(str(d["name"]), tuple(str(v) for v in d["values"])) for d in record["dimensions"])
        inputs = tuple((str(i["parameter"]), str(i["upstream"])) for i in record["inputs"])
        key = str(record["key"])
        assets[key] = GraphAsset(key, str(record["module"]), str(record["function"]), dimensions, inputs)
        edges += [Edge(upstream, key, parameter) for parameter, upstream in inputs]
    return PipelineGraph(assets, tuple(e for e in edges if e.upstream in assets))


def save(graph: PipelineGraph, state_dir: str) -> None:
    """Keep the graph of a run in its state directory, for ``tamso report``."""
    text = json.dumps(to_json(graph), ensure_ascii=False, separators=(",", ":"))
    _layout.write_atomic(os.path.join(state_dir, GRAPH_FILE), text.encode("utf-8", "surrogatepass"))


def load(state_dir: str) -> PipelineGraph:
    """The graph the last run saved; FileNotFoundError when no run saved one."""
    with open(os.path.join(state_dir, GRAPH_FILE), "rb") as stream:
        return from_json(json.loads(stream.read()))


# Statuses --------------------------------------------------------------------


def count_statuses(graph: PipelineGraph, statuses: Mapping[tuple[str, str], str]) -> dict[str, Counts]:
    """Jobs per status for every asset, from each job's last status by (key, partition text)."""
    counts: dict[str, Counts] = {}
    for asset in graph.assets.values():
        tally = dict.fromkeys(JOB_STATUSES, 0)
        for partition in asset.partitions():
            status = statuses.get((asset.key, partition_text(partition)), NEVER_RUN)
            tally[status] = tally.get(status, 0) + 1
        counts[asset.key] = tally
    return counts


def dominant(counts: Mapping[str, int]) -> str:
    """The status that colours an asset: failed, blocked, never run, ok, fresh, the first one present."""
    for status in _DOMINANCE:
        if counts.get(status):
            return status
    return NEVER_RUN


def counts_text(counts: Mapping[str, int]) -> str:
    """``5 ok · 1 failed``: the non-zero counts, in status order."""
    return " · ".join(f"{n} {status}" for status in JOB_STATUSES if (n := counts.get(status, 0)))


def class_name(status: str) -> str:
    """An identifier for a status (``never run`` -> ``never_run``)."""
    return status.replace(" ", "_")


def node_lines(asset: GraphAsset, counts: Mapping[str, int] | None) -> list[str]:
    """What a node shows: its key, its dimensions and job count, its jobs' statuses."""
    lines = [asset.key]
    if asset.dimensions:
        lines.append(asset.describe())
    if counts is not None:
        lines.append(counts_text(counts) or "no jobs")
    return lines


def _merged_edges(graph: PipelineGraph) -> dict[tuple[str, str], list[str]]:
    """The parameters of each (upstream, downstream) pair, in declared order."""
    merged: dict[tuple[str, str], list[str]] = {}
    for edge in graph.edges:
        merged.setdefault((edge.upstream, edge.downstream), []).append(edge.parameter)
    return merged


# Mermaid ---------------------------------------------------------------------

_MERMAID_ESCAPES = str.maketrans({
    "#": "#35;", '"': "#quot;", "<": "#lt;", ">": "#gt;", "&": "#amp;", "`": "#96;", "|": "#124;",
    "\n": " ", "\r": " ",
})


def mermaid_text(text: str) -> str:
    """`text` for a quoted Mermaid label: every character that Mermaid reads as markup as an entity code."""
    return text.translate(_MERMAID_ESCAPES)


def mermaid(graph: PipelineGraph, counts: Mapping[str, Counts] | None = None) -> str:
    """A Mermaid flowchart, top to bottom: one node per asset, one edge per input labelled by its parameter."""
    ids = {key: f"n{i}" for i, key in enumerate(graph.assets)}
    lines = ["flowchart TD"]
    for key, asset in graph.assets.items():
        label = "<br/>".join(mermaid_text(line) for line in node_lines(asset, None if counts is None else counts[key]))
        lines.append(f'    {ids[key]}["{label}"]')
    for edge in graph.edges:
        lines.append(f'    {ids[edge.upstream]} -->|"{mermaid_text(edge.parameter)}"| {ids[edge.downstream]}')
    if counts is not None:
        for status in JOB_STATUSES:
            fill, stroke = COLOURS[status]
            lines.append(f"    classDef {class_name(status)} fill:{fill},stroke:{stroke},color:#111")
        for key in graph.assets:
            lines.append(f"    class {ids[key]} {class_name(dominant(counts[key]))}")
    return "\n".join(lines) + "\n"


# DOT -------------------------------------------------------------------------


def dot_string(text: str) -> str:
    """`text` as a quoted DOT string: backslashes and quotes escaped, line breaks as ``\\n``."""
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\r", "").replace("\n", "\\n")
    return f'"{escaped}"'


def dot(graph: PipelineGraph, counts: Mapping[str, Counts] | None = None) -> str:
    """A DOT digraph, top to bottom: one node per asset, one edge per input labelled by its parameter."""
    ids = {key: f"n{i}" for i, key in enumerate(graph.assets)}
    lines = [
        "digraph tamso {",
        "    rankdir=TB;",
        '    node [shape=box, style="rounded,filled", fillcolor="#ffffff", fontname="Helvetica"];',
        '    edge [fontname="Helvetica", fontsize=10];',
    ]
    for key, asset in graph.assets.items():
        label = "\n".join(node_lines(asset, None if counts is None else counts[key]))
        attributes = [f"label={dot_string(label)}", f"tooltip={dot_string(key)}"]
        if counts is not None:
            fill, stroke = COLOURS[dominant(counts[key])]
            attributes += [f'fillcolor="{fill}"', f'color="{stroke}"']
        lines.append(f"    {ids[key]} [{', '.join(attributes)}];")
    for edge in graph.edges:
        lines.append(f"    {ids[edge.upstream]} -> {ids[edge.downstream]} [label={dot_string(edge.parameter)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


# Layout ----------------------------------------------------------------------

LAYER_GAP = 70.0
NODE_GAP = 28.0
DUMMY_WIDTH = 14.0
MARGIN = 20.0
PORT_GAP = 18.0


class Box(NamedTuple):
    """One asset's place: `x` its centre, `y` its top."""

    key: str
    x: float
    y: float
    width: float
    height: float
    layer: int


class Route(NamedTuple):
    """The drawn edge from one asset to another: its parameters and the points it passes, top to bottom."""

    upstream: str
    downstream: str
    parameters: tuple[str, ...]
    points: tuple[tuple[float, float], ...]


class Layout(NamedTuple):
    boxes: dict[str, Box]
    routes: tuple[Route, ...]
    width: float
    height: float
    crossings: int
    """Edge crossings between adjacent layers in the chosen order."""


def layers(graph: PipelineGraph) -> dict[str, int]:
    """Each asset's layer: longest path from the sources, then as close above its first consumer as it can be."""
    upstream: dict[str, set[str]] = {key: set() for key in graph.assets}
    downstream: dict[str, set[str]] = {key: set() for key in graph.assets}
    for edge in graph.edges:
        upstream[edge.downstream].add(edge.upstream)
        downstream[edge.upstream].add(edge.downstream)
    order = list(graphlib.TopologicalSorter(upstream).static_order())
    layer: dict[str, int] = {}
    for key in order:
        layer[key] = max((layer[u] + 1 for u in upstream[key]), default=0)
    # Every consumer is placed before the node itself, so any topological order gives the same layers.
    for key in reversed(order):
        below = [layer[d] for d in downstream[key]]
        if below:
            layer[key] = min(below) - 1
    return layer


def compute(
    graph: PipelineGraph,
    size: Callable[[str], tuple[float, float]],
    *,
    sweeps: int = 12,
) -> Layout:
    """Place every asset (`size` gives its width and height) and route every edge."""
    layer_of = layers(graph)
    depth = max(layer_of.values(), default=-1) + 1
    # Nodes are asset keys and dummy points (integers), each in one layer.
    rows: list[list[str | int]] = [[] for _ in range(depth)]
    for key in graph.assets:
        rows[layer_of[key]].append(key)
    up: dict[str | int, list[str | int]] = {}
    down: dict[str | int, list[str | int]] = {}
    chains: dict[tuple[str, str], list[str | int]] = {}
    dummies = itertools.count()
    for (upstream, downstream), _ in _merged_edges(graph).items():
        chain: list[str | int] = [upstream]
        for between in range(layer_of[upstream] + 1, layer_of[downstream]):
            dummy = next(dummies)
            rows[between].append(dummy)
            chain.append(dummy)
        chain.append(downstream)
        for a, b in itertools.pairwise(chain):
            down.setdefault(a, []).append(b)
            up.setdefault(b, []).append(a)
        chains[(upstream, downstream)] = chain

    rows = _order(rows, up, down, sweeps)
    crossings = sum(_crossings(rows[i], rows[i + 1], down) for i in range(depth - 1))

    widths: dict[str | int, float] = {}
    heights: dict[str, float] = {}
    for key in graph.assets:
        widths[key], heights[key] = size(key)
    for row in rows:
        for node in row:
            widths.setdefault(node, DUMMY_WIDTH)
    xs = _positions(rows, up, down, widths)

    band = [max((heights[n] for n in row if isinstance(n, str)), default=0.0) for row in rows]
    tops = list(itertools.accumulate([MARGIN] + [b + LAYER_GAP for b in band[:-1]]))
    left = min((xs[n] - widths[n] / 2 for row in rows for n in row), default=0.0)
    shift = MARGIN - left
    boxes: dict[str, Box] = {}
    for depth_index, row in enumerate(rows):
        for node in row:
            if isinstance(node, str):
                top = tops[depth_index] + (band[depth_index] - heights[node]) / 2
                boxes[node] = Box(node, xs[node] + shift, top, widths[node], heights[node], depth_index)
    paths: dict[tuple[str, str], list[tuple[float, float]]] = {}
    for (upstream, downstream), chain in chains.items():
        start, end = boxes[upstream], boxes[downstream]
        points = [(start.x, start.y + start.height)]
        for i, through in enumerate(chain[1:-1], start=layer_of[upstream] + 1):
            points += [(xs[through] + shift, tops[i]), (xs[through] + shift, tops[i] + band[i])]
        points.append((end.x, end.y))
        paths[(upstream, downstream)] = points
    _spread_ports(boxes, paths)
    merged = _merged_edges(graph)
    routes = [Route(u, d, tuple(merged[(u, d)]), tuple(points)) for (u, d), points in paths.items()]
    width = max((b.x + b.width / 2 for b in boxes.values()), default=0.0) + MARGIN
    width = max([width] + [x + MARGIN for r in routes for x, _ in r.points])
    height = (tops[-1] + band[-1] + MARGIN) if rows else 2 * MARGIN
    return Layout(boxes, tuple(routes), width, height, crossings)


def _spread_ports(boxes: Mapping[str, Box], paths: Mapping[tuple[str, str], list[tuple[float, float]]]) -> None:
    """Spread the edges leaving (entering) a box along its bottom (top) edge, in the order of their far ends."""
    leaving: dict[str, list[list[tuple[float, float]]]] = {}
    entering: dict[str, list[list[tuple[float, float]]]] = {}
    for (upstream, downstream), points in paths.items():
        leaving.setdefault(upstream, []).append(points)
        entering.setdefault(downstream, []).append(points)
    for ends, index, other in ((leaving, 0, 1), (entering, -1, -2)):
        for key, group in ends.items():
            box = boxes[key]
            group.sort(key=lambda points: points[other][0])
            step = min(PORT_GAP, box.width * 0.8 / len(group))
            for i, points in enumerate(group):
                points[index] = (box.x + (i - (len(group) - 1) / 2) * step, points[index][1])


def _order(
    rows: list[list[str | int]],
    up: Mapping[str | int, Sequence[str | int]],
    down: Mapping[str | int, Sequence[str | int]],
    sweeps: int,
) -> list[list[str | int]]:
    """Barycenter sweeps down and up; the ordering with the fewest crossings seen wins."""

    def total(candidate: list[list[str | int]]) -> int:
        return sum(_crossings(candidate[i], candidate[i + 1], down) for i in range(len(candidate) - 1))

    best = [list(row) for row in rows]
    best_crossings = total(best)
    current = [list(row) for row in rows]
    for sweep in range(sweeps):
        if best_crossings == 0:
            break
        downward = sweep % 2 == 0
        indices = range(1, len(current)) if downward else range(len(current) - 2, -1, -1)
        for i in indices:
            reference = current[i - 1] if downward else current[i + 1]
            position = {node: p for p, node in enumerate(reference)}
            neighbours = up if downward else down
            keyed = []
            for p, node in enumerate(current[i]):
                around = [position[n] for n in neighbours.get(node, ()) if n in position]
                keyed.append((sum(around) / len(around) if around else float(p), p, node))
            keyed.sort(key=lambda item: (item[0], item[1]))
            current[i] = [node for _, _, node in keyed]
        found = total(current)
        if found < best_crossings:
            best, best_crossings = [list(row) for row in current], found
    return best


def _crossings(upper: Sequence[str | int], lower: Sequence[str | int], down: Mapping[str | int, Sequence[str | int]]) -> int:
    """Crossings between the edges of two adjacent layers: inversions of the lower ends, upper ends sorted."""
    position = {node: p for p, node in enumerate(lower)}
    ends = sorted(
        (p, position[child]) for p, node in enumerate(upper) for child in down.get(node, ()) if child in position
    )
    return _inversions([b for _, b in ends], len(lower))


def _inversions(values: Sequence[int], size: int) -> int:
    """Pairs i < j with values[i] > values[j], counted with a Fenwick tree over 0..size-1."""
    tree = [0] * (size + 1)
    seen = 0
    inversions = 0
    for value in values:
        # Count seen values <= value, then add this one.
        index, not_greater = value + 1, 0
        while index > 0:
            not_greater += tree[index]
            index -= index & -index
        inversions += seen - not_greater
        seen += 1
        index = value + 1
        while index <= size:
            tree[index] += 1
            index += index & -index
    return inversions


def _positions(
    rows: Sequence[Sequence[str | int]],
    up: Mapping[str | int, Sequence[str | int]],
    down: Mapping[str | int, Sequence[str | int]],
    widths: Mapping[str | int, float],
    passes: int = 6,
) -> dict[str | int, float]:
    """Centres: each layer packed, then moved towards its neighbours' mean as far as order and spacing allow."""
    xs: dict[str | int, float] = {}
    for row in rows:
        x = 0.0
        for node in row:
            xs[node] = x + widths[node] / 2
            x += widths[node] + NODE_GAP
    for sweep in range(passes):
        downward = sweep % 2 == 0
        order = range(1, len(rows)) if downward else range(len(rows) - 2, -1, -1)
        for i in order:
            row = rows[i]
            neighbours = up if downward else down
            wanted = []
            for node in row:
                around = [xs[n] for n in neighbours.get(node, ())]
                wanted.append(sum(around) / len(around) if around else xs[node])
            for node, x in zip(row, _spaced(wanted, [widths[n] for n in row])):
                xs[node] = x
    return xs


def _spaced(wanted: Sequence[float], widths: Sequence[float]) -> list[float]:
    """The centres closest to `wanted` (least squares) that keep their order and the node gap.

    With offsets s_i (the least distance from the first centre), y_i = x_i - s_i
    must not decrease: an isotonic regression of wanted_i - s_i, solved by
    pooling adjacent violators.
    """
    offsets = [0.0]
    for a, b in itertools.pairwise(widths):
        offsets.append(offsets[-1] + (a + b) / 2 + NODE_GAP)
    blocks: list[list[float]] = []  # [mean, count]
    for target, offset in zip(wanted, offsets):
        blocks.append([target - offset, 1.0])
        while len(blocks) > 1 and blocks[-2][0] > blocks[-1][0]:
            mean, count = blocks.pop()
            previous = blocks[-1]
            previous[0] = (previous[0] * previous[1] + mean * count) / (previous[1] + count)
            previous[1] += count
    levels = [mean for mean, count in blocks for _ in range(int(count))]
    return [level + offset for level, offset in zip(levels, offsets)]

