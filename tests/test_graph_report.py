"""`tamso graph` and `tamso report`: Mermaid and DOT text, the graph layout, and the HTML report in a browser."""

import html.parser
import json
import os
import random
import re
import shutil
import subprocess
import urllib.parse

import pydot
import pytest

from conftest import cli as tamso, write_module
from tamso.plan import Edge
from tamso.reporting import graph

SOURCES = '''
from tamso import asset, partitions

@asset()
def config():
    return {"scale": 2}

@asset(partitions={"region": partitions(["eu", "us", "a/b"])})
def raw(region):
    return [1, 2, 3]

@asset(inputs={"config": config, "raw": raw}, partitions={"region": partitions(["eu", "us", "a/b"])})
def cleaned(config, raw, region):
    if region == "us":
        raise ValueError("<script>document.body.setAttribute('data-pwned', '1')</script> bad rows")
    return [x * config["scale"] for x in raw]

@asset(name='<b>"tot\\\\als"</b>', inputs={"cleaned": cleaned})
def totals(cleaned):
    return 0
'''

CONSUMERS = '''
from sources import config, raw
from tamso import asset

@asset(inputs={"raw": raw, "config": config})
def audit(raw, config):
    return len(raw)
'''

# Run 2 changes this module, so `audit` runs again while the sources stay fresh; `extra` is new and not selected.
CONSUMERS_AGAIN = CONSUMERS + '''
@asset(inputs={"audit": audit})
def extra(audit):
    return audit
'''

EXPECTED = {
    ("sources:config", ""): "fresh",
    **{("sources:raw", f"region={r}"): "fresh" for r in ("eu", "us", "a/b")},
    ("sources:cleaned", "region=eu"): "ok",
    ("sources:cleaned", "region=us"): "failed",
    ("sources:cleaned", "region=a/b"): "ok",
    ('<b>"tot\\als"</b>', ""): "blocked",
    ("consumers:audit", ""): "ok",
    ("consumers:extra", ""): "never run",
}


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    """A pipeline run twice: its report has ok, fresh, failed, blocked and never-run jobs."""
    root = tmp_path_factory.mktemp("project")
    write_module(root, "sources", SOURCES)
    write_module(root, "consumers", CONSUMERS)
    assert tamso(root, "run", "sources", "consumers").returncode == 1
    write_module(root, "consumers", CONSUMERS_AGAIN)
    assert tamso(root, "run", "sources", "consumers", "--select", "+consumers:audit").returncode == 0
    return root


class Page(html.parser.HTMLParser):
    """The jobs of a report page: (asset key, partition) -> (status, [hrefs]); and the body's attributes."""

    def __init__(self, text):
        super().__init__()
        self.jobs, self.body, self.assets, self.nodes = {}, {}, [], []
        self._key = self._row = self._cell = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "body":
            self.body = attrs
        elif tag == "details" and "data-key" in attrs:
            self._key = attrs["data-key"]
            self.assets.append(self._key)
        elif tag == "tr" and self._key is not None and "class" in attrs:
            self._flush()  # the written page leaves end tags out; the browser's DOM has them
            self._row = [[], []]
        elif tag == "td" and self._row is not None:
            self._row[0].append("")
        elif tag == "a" and self._row is not None:
            self._row[1].append(attrs["href"])
        elif tag == "a" and attrs.get("href", "").startswith("#"):
            self.nodes.append(attrs["href"])

    def handle_data(self, data):
        if self._row is not None and self._row[0]:
            self._row[0][-1] += data

    def handle_endtag(self, tag):
        if tag in ("tbody", "tr"):
            self._flush()
        if tag == "tbody":
            self._key = None

    def _flush(self):
        if self._row is not None:
            cells, links = self._row
            partition = "" if cells[0] == "(all)" else cells[0]
            self.jobs[(self._key, partition)] = (cells[1], cells, links)
            self._row = None


def check_page(page, out):
    assert {key: status for key, (status, _, _) in page.jobs.items()} == EXPECTED
    assert sorted(page.assets) == sorted({key for key, _ in EXPECTED})
    assert "data-pwned" not in page.body
    failed = page.jobs[("sources:cleaned", "region=us")][1]
    # The message without its type (which has its column), then the traceback, collapsed.
    assert failed[5] == "ValueError"
    assert failed[6].startswith("<script>document.body.setAttribute('data-pwned', '1')</script> bad rows"
                                "tracebackTraceback (most recent call last):")
    assert re.search(r'sources\.py", line \d+, in cleaned\n', failed[6])
    assert page.jobs[('<b>"tot\\als"</b>', "")][1][6] == "upstream job sources:cleaned[region=us] failed"
    links = [link for _, _, found in page.jobs.values() for link in found]
    assert len(links) >= 20 and all(link.startswith("./") for link in links)
    for link in links:
        assert (out / urllib.parse.unquote(link)).is_file(), link
    assert {os.path.basename(link) for link in page.jobs[("sources:cleaned", "region=a/b")][2]} == {
        "value.json", "result.json", "log.txt"}


def test_the_run_writes_a_report_whose_links_work_where_out_is_copied(project, tmp_path):
    copy = tmp_path / "elsewhere"
    shutil.copytree(project / "tamso-out", copy)
    check_page(Page((copy / "report.html").read_text()), copy)
    result = tamso(project, "report")
    assert result.returncode == 0 and result.stdout.decode().strip() == os.path.join("tamso-out", "report.html")


def test_the_report_in_a_browser(project, tmp_path):
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        pytest.skip("chromium is not installed")
    out = project / "tamso-out"
    command = [chromium, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path / 'profile'}",
               "--window-size=1400,1000"]
    url = (out / "report.html").as_uri()
    dom = subprocess.run([*command, "--dump-dom", url], capture_output=True, timeout=120, check=True).stdout
    page = Page(dom.decode())
    check_page(page, out)
    assert len(page.nodes) == len(page.assets)  # one node per asset, each linking to its jobs
    shot = tmp_path / "report.png"
    subprocess.run([*command, f"--screenshot={shot}", url], capture_output=True, timeout=120, check=True)
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("args, code, wrote", [
    (["run", "sources", "--no-report"], 1, False),
    (["run", "sources", "--dry-run"], 0, False),
    (["run", "missing_module"], 2, False),
    (["report"], 1, False),
    (["graph", "missing_module"], 2, False),
    (["graph", "sources", "--out", "tamso-out"], 1, False),
    (["run", "sources"], 1, True),
])
def test_what_writes_a_report_and_what_does_not(tmp_path, args, code, wrote):
    write_module(tmp_path, "sources", SOURCES)
    result = tamso(tmp_path, *args)
    assert result.returncode == code, result.stderr
    assert (tmp_path / "tamso-out" / "report.html").exists() == wrote


# Mermaid and DOT -------------------------------------------------------------

_NODE = re.compile(r'    (n\d+)\["([^"]*)"\]')
_EDGE = re.compile(r'    (n\d+) -->\|"([^"]*)"\| (n\d+)')
_CLASSDEF = re.compile(r"    classDef (\w+) fill:#[0-9a-f]{6},stroke:#[0-9a-f]{6},color:#111")
_CLASS = re.compile(r"    class (n\d+) (\w+)")
_ENTITY = re.compile(r"#(quot|lt|gt|amp|\d+);")


def parse_mermaid(text):
    """The nodes (id -> label lines) and edges of a flowchart in the subset we write; fails on anything else."""
    lines = text.splitlines()
    assert lines[0] == "flowchart TD"
    nodes, edges, classes, defined = {}, [], {}, set()
    for line in lines[1:]:
        if m := _NODE.fullmatch(line):
            assert m[1] not in nodes and "<" not in _ENTITY.sub("", m[2]).replace("<br/>", "")
            nodes[m[1]] = [html_unescape(part) for part in m[2].split("<br/>")]
        elif m := _EDGE.fullmatch(line):
            assert m[1] in nodes and m[3] in nodes
            edges.append((m[1], html_unescape(m[2]), m[3]))
        elif m := _CLASSDEF.fullmatch(line):
            defined.add(m[1])
        elif m := _CLASS.fullmatch(line):
            assert m[1] in nodes and m[2] in defined
            classes[m[1]] = m[2]
        else:
            raise AssertionError(f"not in the grammar: {line!r}")
    return nodes, edges, classes


def html_unescape(text):
    names = {"quot": '"', "lt": "<", "gt": ">", "amp": "&"}
    return _ENTITY.sub(lambda m: names.get(m[1]) or chr(int(m[1])), text)


@pytest.fixture(scope="module")
def printed(project):
    """`tamso graph` output per (format, with statuses)."""
    found = {}
    for form in ("mermaid", "dot", "html"):
        for statuses in (False, True):
            result = tamso(project, "graph", "sources", "consumers", "--format", form, *(["--out", "tamso-out"] * statuses))
            assert result.returncode == 0, result.stderr
            found[form, statuses] = result.stdout.decode()
    return found


EDGES = [("sources:config", "config", "sources:cleaned"), ("sources:raw", "raw", "sources:cleaned"),
         ("sources:cleaned", "cleaned", '<b>"tot\\als"</b>'), ("sources:raw", "raw", "consumers:audit"),
         ("sources:config", "config", "consumers:audit"), ("consumers:audit", "audit", "consumers:extra")]


@pytest.mark.parametrize("statuses", [False, True])
def test_mermaid_is_well_formed_and_dot_parses_each_with_every_asset_and_input(printed, statuses):
    nodes, edges, classes = parse_mermaid(printed["mermaid", statuses])
    keys = {lines[0]: node for node, lines in nodes.items()}
    assert set(keys) == {key for key, _ in EXPECTED}
    assert sorted((nodes[u][0], p, nodes[d][0]) for u, p, d in edges) == sorted(EDGES)
    assert nodes[keys["sources:raw"]][1] == "region × 3 · 3 jobs"
    if statuses:
        assert nodes[keys["sources:cleaned"]][2] == "2 ok · 1 failed"
        assert classes[keys["sources:cleaned"]] == "failed" and classes[keys["consumers:extra"]] == "never_run"
    else:
        assert not classes

    (parsed,) = pydot.graph_from_dot_data(printed["dot", statuses])

    def text(quoted):
        return re.sub(r'\\(.)', lambda m: "\n" if m[1] == "n" else m[1], quoted[1:-1])

    labels = {n.get_name(): text(n.get("label")).split("\n") for n in parsed.get_nodes() if n.get("label")}
    assert {lines[0] for lines in labels.values()} == {key for key, _ in EXPECTED}
    edges = [(labels[e.get_source()][0], text(e.get("label")), labels[e.get_destination()][0])
             for e in parsed.get_edges()]
    assert sorted(edges) == sorted(EDGES)
    fills = {lines[0]: n.get("fillcolor") for n, lines in
             ((n, labels[n.get_name()]) for n in parsed.get_nodes() if n.get("label"))}
    assert (fills["sources:cleaned"] == f'"{graph.COLOURS["failed"][0]}"') == statuses


def test_the_graph_page_escapes_keys_and_links_every_node(printed):
    page = printed["html", True]
    assert "<b>" not in page and "&lt;b&gt;&quot;tot\\als&quot;&lt;/b&gt;" in page
    assert len(re.findall(r'<a href="#a\d+">', page)) == len(re.findall(r'<tr id="a\d+">', page)) == 6
    assert "http" not in page.replace('xmlns="http://www.w3.org/2000/svg"', "")


# Layout ----------------------------------------------------------------------


def pipeline(edges, keys=()):
    keys = list(dict.fromkeys([*keys, *(k for e in edges for k in e[:2])]))
    inputs = {k: tuple((f"p{i}", u) for i, (u, d) in enumerate(edges) if d == k) for k in keys}
    assets = {k: graph.GraphAsset(k, "m", k, (), inputs[k]) for k in keys}
    return graph.PipelineGraph(assets, tuple(Edge(u, d, f"p{i}") for i, (u, d) in enumerate(edges)))


LAYOUTS = {
    "crossed pairs": [("a", "d"), ("b", "c"), ("c", "e"), ("d", "f")],
    "long edge": [("a", "b"), ("b", "c"), ("c", "d"), ("a", "d"), ("x", "d")],
    "wide fan": [("root", f"leaf{i}") for i in range(12)] + [(f"leaf{i}", "sink") for i in range(12)],
    "ladder": [(f"l{i}", f"l{i + 1}") for i in range(6)] + [(f"r{i}", f"r{i + 1}") for i in range(6)]
              + [(f"l{i}", f"r{i + 1}") for i in range(0, 6, 2)],
}


@pytest.mark.parametrize("name", LAYOUTS)
def test_layout_places_upstream_above_without_overlaps(name):
    placed = graph.compute(pipeline(LAYOUTS[name]), lambda key: (40.0 + 5 * len(key), 30.0))
    boxes = placed.boxes
    for route in placed.routes:
        up, down = boxes[route.upstream], boxes[route.downstream]
        assert up.y + up.height <= down.y and up.layer < down.layer
        ys = [y for _, y in route.points]
        assert ys == sorted(ys)
        assert route.points[0][1] == up.y + up.height and route.points[-1][1] == down.y
    by_layer = {}
    for box in boxes.values():
        by_layer.setdefault(box.layer, []).append(box)
    for row in by_layer.values():
        row.sort(key=lambda b: b.x)
        for left, right in zip(row, row[1:]):
            assert left.x + left.width / 2 + graph.NODE_GAP <= right.x - right.width / 2 + 1e-6
    assert all(0 <= b.x - b.width / 2 and b.x + b.width / 2 <= placed.width for b in boxes.values())
    # Each of these graphs has a drawing without crossings, which the sweeps find.
    assert placed.crossings == 0


def test_layout_keeps_the_order_with_fewest_crossings():
    choose = random.Random(3)
    edges = [(f"u{choose.randrange(12)}", f"d{choose.randrange(12)}") for _ in range(30)]
    unswept = graph.compute(pipeline(edges), lambda key: (50.0, 30.0), sweeps=0)
    swept = graph.compute(pipeline(edges), lambda key: (50.0, 30.0))
    assert swept.crossings < unswept.crossings


@pytest.mark.parametrize("wanted, widths", [
    ([0.0, 0.0, 0.0], [10.0, 20.0, 10.0]),
    ([100.0, 0.0, 50.0, 300.0], [10.0, 10.0, 10.0, 10.0]),
    ([5.0, 500.0], [30.0, 30.0]),
])
def test_spacing_keeps_order_and_gaps_and_stays_close(wanted, widths):
    placed = graph._spaced(wanted, widths)
    for i in range(len(placed) - 1):
        assert placed[i + 1] - placed[i] >= (widths[i] + widths[i + 1]) / 2 + graph.NODE_GAP - 1e-9
    assert sum(placed) == pytest.approx(sum(wanted))  # least squares keeps the mean
    if wanted == sorted(wanted) and all(b - a >= 100 for a, b in zip(wanted, wanted[1:])):
        assert placed == wanted


@pytest.mark.parametrize("seed", range(5))
def test_layers_are_the_longest_paths_pulled_down_to_their_first_consumer(seed):
    import networkx as nx

    choose = random.Random(seed)
    edges = [(f"n{a}", f"n{b}") for a, b in (sorted(choose.sample(range(25), 2)) for _ in range(40))]
    shape = pipeline(edges, keys=["lonely"])
    digraph = nx.DiGraph(edges)
    digraph.add_node("lonely")
    wanted = {k: d for d, generation in enumerate(nx.topological_generations(digraph)) for k in generation}
    for key in reversed(list(nx.topological_sort(digraph))):
        if below := [wanted[s] for s in digraph.successors(key)]:
            wanted[key] = min(below) - 1
    assert graph.layers(shape) == wanted


def test_a_large_asset_lists_its_failed_and_blocked_jobs_and_its_first_others(monkeypatch, tmp_path):
    from tamso.plan import Dimension
    from tamso.reporting import html as report_html
    from tamso.state import Latest

    monkeypatch.setattr(report_html, "LIST_JOBS", 4)
    values = tuple(str(n) for n in range(10))
    assets = {"big": graph.GraphAsset("big", "m", "big", (Dimension("n", values),), ()),
              "small": graph.GraphAsset("small", "m", "small", (Dimension("n", values[:4]),), ())}
    shape = graph.PipelineGraph(assets, ())
    statuses = {("big", '{"n":%s}' % n): "failed" if n in "37" else "blocked" if n == "8" else "ok" for n in values}
    statuses.update({("small", '{"n":%s}' % n): "fresh" for n in values[:4]})
    latest = [Latest("big", '{"n":3}', 1, "failed", 1, 0.0, 1.0, 1.0, "ValueError", "ValueError: three")]
    page = Page(report_html.report_page(str(tmp_path / "my out"), shape, latest, statuses, None))
    listed = {key: status for key, (status, _, _) in page.jobs.items()}
    assert listed == {**{("big", f"n={n}"): "ok" for n in "0124"}, ("big", "n=3"): "failed",
                      ("big", "n=7"): "failed", ("big", "n=8"): "blocked",
                      **{("small", f"n={n}"): "fresh" for n in "0123"}}
    assert page.jobs[("big", "n=3")][1][6] == "three"
    text = report_html.report_page(str(tmp_path / "my out"), shape, latest, statuses, None)
    assert text.count('class="more"') == 1
    assert "3 more jobs not listed here" in text and "<code>tamso status --json &#x27;" in text
    assert "7 ok" in text and "2 failed" in text  # the counts still cover every job
