"""The korvane command on generated blobs: every subcommand, and the failures it reports."""

import json
import os
import random
import re
import shutil
import subprocess
import sys

import pytest

import korvane_core as kc
from korvane import cli, sample

from graphs import hops, links


def run(*args, module="korvane.cli"):
    """Runs the command in a child process; returns (status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", module, *args], capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def test_the_package_runs_as_the_command(blob):
    path, _ = blob
    assert run("inspect", str(path), module="korvane") == run("inspect", str(path))


@pytest.fixture
def blob(tmp_path):
    rec = sample.record()
    path = tmp_path / "sample.kir"
    path.write_bytes(rec.store.serialize(outputs=rec.outputs))
    return path, rec


def test_inspect_lists_every_node_and_a_summary(blob):
    path, rec = blob
    status, out, err = run("inspect", str(path))
    assert status == 0 and err == ""
    lines = out.splitlines()
    assert lines[0].split()[:5] == ["id", "kind", "name", "params", "inputs"]
    assert len(lines) == 1 + rec.store.node_count() + 1
    assert "onnx:sha256:9f2c41d0 [onnxruntime 1.17.1]" in out
    assert lines[-1].startswith(f"{rec.store.node_count()} nodes (") and lines[-1].endswith(f"outputs: {rec.outputs}")
    assert sum("output" in line.split() for line in lines[1:-1]) == len(rec.outputs)


def test_reduce_writes_a_reduced_blob_and_the_report(blob, tmp_path):
    path, rec = blob
    out_path = tmp_path / "reduced.kir"
    status, out, _ = run("reduce", str(path), "--maximal-fusion", "-o", str(out_path))
    assert status == 0
    reduced = kc.GraphStore.deserialize(out_path.read_bytes())
    _, report = rec.store.reduce(outputs=rec.outputs, maximal_fusion=True)
    assert reduced.node_count() == report["reduced_nodes"]
    for key, value in report.items():
        assert any(line.split() == [key, str(value)] for line in out.splitlines()), key

    status, out, _ = run("reduce", str(path), "--outputs", "3", "-o", str(out_path))
    assert status == 0
    assert kc.GraphStore.deserialize(out_path.read_bytes()).node_count() == rec.store.reduction_report(outputs=[3])["reduced_nodes"]
    status, out, _ = run("inspect", str(out_path))
    assert out.splitlines()[3].split() == ["2", "stage", "1", "members", "0,1", "output"]


def test_dot_prints_or_writes_the_graph(blob, tmp_path):
    path, rec = blob
    expected = kc.GraphStore.deserialize(path.read_bytes()).to_dot()
    status, out, _ = run("dot", str(path))
    assert status == 0 and out == expected
    assert out.count("doublecircle") == len(rec.outputs)
    target = tmp_path / "g.dot"
    assert run("dot", str(path), "-o", str(target))[0] == 0
    assert target.read_text() == expected


@pytest.mark.skipif(shutil.which("dot") is None, reason="graphviz is not installed")
def test_dot_renders_svg(blob, tmp_path):
    path, _ = blob
    target = tmp_path / "g.svg"
    status, _, err = run("dot", str(path), "-o", str(target))
    assert status == 0, err
    assert target.read_text().lstrip().startswith(("<?xml", "<svg", "<!DOCTYPE"))


@pytest.mark.parametrize("command", [["inspect"], ["dot"], ["reduce", "-o", "/dev/null"]])
def test_missing_and_damaged_files_fail_cleanly(tmp_path, command):
    missing = tmp_path / "nope.kir"
    status, out, err = run(command[0], str(missing), *command[1:])
    assert (status, out) == (2, "")
    assert err.startswith(f"korvane: error: {missing}: ") and "Traceback" not in err

    damaged = tmp_path / "damaged.kir"
    damaged.write_bytes(b"KIR1\x05\x00\x00\x00\x09")
    status, _, err = run(command[0], str(damaged), *command[1:])
    assert status == 2
    assert err.strip() == f"korvane: error: {damaged}: invalid node tag 9"


def test_bad_outputs_and_render_targets_are_reported(blob, tmp_path):
    path, rec = blob
    status, _, err = run("reduce", str(path), "--outputs", "999", "-o", str(tmp_path / "x.kir"))
    assert status == 2 and "no node with id 999" in err
    status, _, err = run("reduce", str(path), "--outputs", "1,x", "-o", str(tmp_path / "x.kir"))
    assert status == 2 and "comma-separated node ids" in err


def test_every_subcommand_has_help():
    for command in ["demo", "inspect", "dot", "reduce"]:
        status, out, _ = run(command, "--help")
        assert status == 0 and out.startswith("usage: korvane " + command)


def test_demo_end_to_end(tmp_path, capsys):
    assert cli.main(["demo", "--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "hash-consing hits" in out and "incremental" in out
    assert "running it on 1,000,000-element arrays" in out and "  outputs agree" in out
    header = next(line for line in out.splitlines() if line.split() == ["reduce", "maximal", "incremental"])
    assert header
    recorded = kc.GraphStore.deserialize((tmp_path / "sample.kir").read_bytes())
    reduced = kc.GraphStore.deserialize((tmp_path / "reduced.kir").read_bytes())
    assert recorded.node_count() == sample.record().store.node_count()
    assert reduced.node_count() < recorded.node_count()
    assert (tmp_path / "recorded.dot").read_text() == recorded.to_dot()
    if shutil.which("dot"):
        assert (tmp_path / "reduced.svg").exists()


# Graphs for the big-graph commands.

UNARY = ("neg", "exp", "relu", "tanh")
BINARY = ("add", "mul", "sub", "maximum")
HUB_READERS = 1500


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    """A few thousand nodes: chains over earlier values, and one source that 1,500 operators read."""
    rng = random.Random(7)
    g = kc.GraphStore()
    hub = g.add_source("hub")
    ids = [hub] + [g.add_source(f"s{i}") for i in range(7)]
    for k in range(4000):
        a = ids[-1 - rng.randrange(min(len(ids), 40))]
        if k < HUB_READERS:
            x = g.add_op("scale", [hub], {"k": k})
        elif rng.random() < 0.5:
            x = g.add_op(rng.choice(UNARY), [a])
        else:
            x = g.add_op(rng.choice(BINARY), [a, ids[rng.randrange(len(ids))]])
        ids.append(x)
    path = tmp_path_factory.mktemp("wide") / "wide.kir"
    path.write_bytes(g.serialize(outputs=ids[-5:]))
    return path, kc.GraphStore.deserialize(path.read_bytes())


def dot_lines(text):
    """(node lines by id, edge pairs, summary lines) of DOT text."""
    nodes = dict((int(m[1]), m[0]) for m in re.finditer(r"^  n(\d+) \[.*\];$", text, re.M))
    edges = [tuple(map(int, m)) for m in re.findall(r"^  n(\d+) -> n(\d+);$", text, re.M)]
    summaries = re.findall(r'^  ([ic]\d+) \[label="([^"]*)"', text, re.M)
    return nodes, edges, dict(summaries)


@pytest.mark.parametrize("seeds, depth", [([1600], 2), ([1600, 3000], 1), ([2500], 0), ([100], 1), ([0], 0)])
def test_dot_around_draws_the_neighbourhood_and_summarises_the_cut(wide, seeds, depth):
    path, store = wide
    inputs, consumers = links(store)
    args = ["dot", str(path), "--around", ",".join(map(str, seeds))] + (["--depth", str(depth)] if depth != 2 else [])
    status, out, err = run(*args)
    assert (status, err) == (0, "")
    drawn = hops(seeds, inputs, depth) | hops(seeds, consumers, depth)
    assert len(drawn) < store.node_count()
    nodes, edges, summaries = dot_lines(out)
    full_nodes, full_edges, _ = dot_lines(store.to_dot())
    assert nodes == {n: full_nodes[n] for n in drawn}
    assert edges == [(a, b) for a, b in full_edges if a in drawn and b in drawn]
    expected = {}
    for n in drawn:
        hidden_in, hidden_out = len(set(inputs[n]) - drawn), len(set(consumers[n]) - drawn)
        if hidden_in:
            expected[f"i{n}"] = f"+{hidden_in:,} inputs"
        if hidden_out:
            expected[f"c{n}"] = f"+{hidden_out:,} consumers"
    assert summaries == expected
    if 0 in drawn:  # the hub: most of its readers are cut away
        assert re.fullmatch(r"\+1,\d{3} consumers", summaries["c0"])
    assert out.count(" -> ") == len(edges) + len(summaries)


def test_dot_around_everything_is_the_whole_drawing(blob, tmp_path):
    path, rec = blob
    sources = [n["id"] for n in rec.store.nodes() if n["kind"] == "source"]
    status, out, _ = run("dot", str(path), "--around", ",".join(map(str, sources)), "--depth", str(10**9))
    assert status == 0
    assert out == kc.GraphStore.deserialize(path.read_bytes()).to_dot()
    if shutil.which("dot"):
        target = tmp_path / "around.svg"
        assert run("dot", str(path), "--around", "5", "-o", str(target))[0] == 0
        assert "+1 inputs" in target.read_text()


def tiny_graph():
    """Eight nodes whose figures are worked out by hand below."""
    g = kc.GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    n2 = g.add_op("add", [a, b])
    n3 = g.add_op("mul", [n2, a])
    n4 = g.add_op("add", [n3, n3])
    n5 = g.add_reduction("sum", [n4], {"axis": 0})
    g.add_op("neg", [b])  # read by no output
    n7 = g.add_external(sample.MODEL, [n5])
    return g.serialize(outputs=[n7])


def test_stats_of_a_hand_made_graph(tmp_path):
    data = tiny_graph()
    path = tmp_path / "tiny.kir"
    path.write_bytes(data)
    status, out, _ = run("stats", str(path), "--json")
    assert status == 0
    stats = json.loads(out)
    spread = {"max": 2, "p50": 1, "p99": 2, "histogram": [[0, 2], [1, 3], [2, 3]]}
    assert stats == {
        "file": str(path), "blob_bytes": len(data), "bytes_per_node": round(len(data) / 8, 1), "nodes": 8,
        "kinds": {"source": 2, "op": 4, "reduction": 1, "external": 1, "stage": 0, "exchange": 0, "join": 0},
        "top_ops": [["add", 2], ["mul", 1], ["neg", 1]], "distinct_ops": 3, "outputs": 1,
        "reachable": 7, "longest_path": 5, "edges": 9, "fan_in": spread, "fan_out": spread,
        "stages": 0, "stage_members": {"max": None, "p50": None, "p99": None, "histogram": []},
    }
    status, text, _ = run("stats", str(path))
    rows = dict(re.split(r"  +", line.strip(), maxsplit=1) for line in text.splitlines())
    assert rows["longest path"] == "5 edges" and rows["reachable"] == "7 nodes from the outputs"
    assert rows["fan-in"] == "max 2, p50 1, p99 2" and rows["add"] == "2"
    assert len({line.index(value) for line in text.splitlines() for value in [re.split(r"  +", line.strip())[-1]]
                if not line.startswith("  ")}) == 1  # one value column


def test_stats_of_stages_match_the_node_view(blob, tmp_path):
    _, rec = blob
    reduced, _ = rec.store.reduce(outputs=rec.outputs, maximal_fusion=True)
    path = tmp_path / "reduced.kir"
    path.write_bytes(reduced.serialize())
    stats = json.loads(run("stats", str(path), "--json")[1])
    sizes = sorted(n["n_members"] for n in reduced.nodes() if n["kind"] == "stage")
    assert stats["stages"] == len(sizes) > 0
    assert stats["stage_members"]["max"] == sizes[-1]
    assert stats["stage_members"]["histogram"] == [[s, sizes.count(s)] for s in sorted(set(sizes))]
    assert stats["reachable"] == reduced.node_count()


def test_inspect_limit_and_node(wide):
    path, store = wide
    status, out, _ = run("inspect", str(path), "--limit", "10")
    lines = out.splitlines()
    assert status == 0 and len(lines) == 1 + 10 + 2
    assert [line.split()[0] for line in lines[1:11]] == [str(i) for i in range(10)]
    assert lines[11] == f"... {store.node_count() - 10:,} more nodes (--limit N shows more)"
    assert lines[12].startswith(f"{store.node_count()} nodes (")

    inputs, consumers = links(store)
    node = 1600
    status, out, _ = run("inspect", str(path), "--node", str(node))
    rows = [line.split()[:2] for line in out.splitlines()[1:-1]]
    assert rows == [["node", str(node)]] + [["input", str(i)] for i in dict.fromkeys(inputs[node])] + \
        [["consumer", str(c)] for c in dict.fromkeys(consumers[node])]
    status, out, _ = run("inspect", str(path), "--node", "0", "--limit", "3")
    lines = out.splitlines()
    assert [line.split()[0] for line in lines[1:5]] == ["node", "consumer", "consumer", "consumer"]
    readers = len(set(consumers[0]))
    assert readers >= HUB_READERS
    assert lines[-2] == f"... {readers - 3:,} more consumers (--limit N shows more)"
    assert lines[-1] == f"node 0: 0 inputs, {readers:,} consumers"


def odd_store():
    """Every node kind, and parameter values whose text is easy to get wrong."""
    g = kc.GraphStore()
    floats = [1e20, -0.0, 0.5, 1e16, 1e15, 1.2345e22, 0.1, 1 / 3, 2.0**63, -1e-5, 9.999e-5, 1e-4, 5e-324,
              float("inf"), -float("inf"), 1.7976931348623157e308]
    s = g.add_source('a"b\\c\n\x1b[31m\u0085z', {"s": 'q"\\\t\r\n\0\x01\x7f\u0085\u00e9', "t": True, "i": -(2**63)})
    for x in floats:
        s = g.add_op("scale", [s], {"x": x})
    e = g.add_external(sample.MODEL, [s, 0], {"batch": 8})
    e2 = g.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "v", "io_schema": "i"}, [e])
    j = g.add_join([g.add_exchange([e2], {"parts": 4}), s])
    return g, [j]


@pytest.mark.parametrize("which", ["odd", "reduced", "maximal"])
def test_inspect_rows_show_the_node_dicts(which, tmp_path):
    g, outputs = odd_store() if which == "odd" else (sample.record().store, sample.record().outputs)
    if which != "odd":
        g, _ = g.reduce(outputs=outputs, maximal_fusion=which == "maximal")
        outputs = None
    path = tmp_path / "g.kir"
    path.write_bytes(g.serialize(outputs=outputs))
    store = kc.GraphStore.deserialize(path.read_bytes())
    status, out, err = run("inspect", str(path))
    assert (status, err) == (0, "")
    rows = out.splitlines()[1:-1]
    nodes = store.nodes()
    assert [row.split()[:2] for row in rows] == [[str(n["id"]), n["kind"]] for n in nodes]
    for row, node in zip(rows, nodes):
        cells = row.split()
        assert (cells[-1] == "output") == node["output"]
        shown = cells[-2] if node["output"] else cells[-1]
        if node["inputs"]:
            assert shown == ",".join(map(str, node["inputs"]))
        if node["kind"] == "stage":
            assert cells[2:4] == [str(node["n_members"]), "members"]
def test_a_blob_with_a_repeated_record_reads_as_the_module_numbers_it(tmp_path):
    record = lambda name: b"\x00\x01\x00\x00\x00" + name + b"\x00\x00\x00\x00"  # noqa: E731
    data = b"KIR1\x03\x00\x00\x00" + record(b"x") + record(b"y") + record(b"x") + b"\x01\x00\x00\x00" + bytes([1]) + bytes(7)
    path = tmp_path / "twice.kir"
    path.write_bytes(data)
    assert kc.GraphStore.deserialize(data).node_count() == 2
    stats = json.loads(run("stats", str(path), "--json")[1])
    assert (stats["nodes"], stats["reachable"], stats["blob_bytes"]) == (2, 1, len(data))
    assert run("inspect", str(path))[1].splitlines()[-1] == "2 nodes (2 source); outputs: [1]"


# Every failure: one line on stderr, status 2, nothing a terminal obeys.

def bad_token_blob(tmp_path, token=b"zz|neg"):
    g = kc.GraphStore()
    g.add_op("neg", [g.add_source("x")])
    reduced, _ = g.reduce(outputs=[1])
    data = reduced.serialize()
    assert data.count(b"op|neg") == 1
    path = tmp_path / "token.kir"
    path.write_bytes(data.replace(b"\x06\x00\x00\x00op|neg", len(token).to_bytes(4, "little") + token))
    return path


def forged_name_blob(tmp_path):
    g = kc.GraphStore()
    g.add_source("x\n99  source  forged\x1b[2J\u202e", {"k\x1b": "v\x9b"})
    path = tmp_path / "forged.kir"
    path.write_bytes(g.serialize(outputs=[0]))
    return path


def forged_edge_blob(tmp_path):
    """A source whose name spells an edge line from a later node into it."""
    g = kc.GraphStore()
    g.add_source('a"];\n  n2 -> n0;\n  n2 [label="')
    g.add_op("f", [g.add_source("b")])
    path = tmp_path / "edge.kir"
    path.write_bytes(g.serialize())
    return path


CASES = {
    # name: (arguments with {big}, {sample}, {token}, {forged}, {tmp} filled in, status, stderr, stdout)
    "negative output": ("reduce {sample} --outputs -1 -o {tmp}/o.kir", 2,
                        "argument --outputs: expected comma-separated node ids, got '-1'", None),
    "output past u64": ("reduce {sample} --outputs 18446744073709551616 -o {tmp}/o.kir", 2,
                        "{sample}: no node with id 18446744073709551616", None),
    # The tables come from the node dicts, which read a stage's member tokens: a token that does not parse is
    # the blob's fault, told in one line with its text escaped.
    "bad member token": ("inspect {token}", 2, '{token}: unparseable stage member token "zz|neg"', None),
    "escaped token": ("inspect {escaped}", 2, '{escaped}: unparseable stage member token "zz|\\u{{1b}}[2J"', None),
    "demo onto a file": ("demo --out {sample}", 2, "{sample}: File exists", None),
    "demo under a file": ("demo --out {sample}/d", 2, "{sample}/d: Not a directory", None),
    "closed pipe": ("inspect {big} --limit 100000", 141, "", "pipe"),
    "full device": ("inspect {big}", 2, "standard output: No space left on device", "full"),
    "forged name": ("inspect {forged}", 0, "", "forged"),
    "forged dot": ("dot {forged}", 0, "", "forged"),
    "forged edge": ("dot {edge} --around 0 --depth 1", 0, "", "edge"),
    "newline in a label": ("dot {edge}", 0, "", "newline"),
    "around unknown id": ("dot {big} --around 5,99999", 2, "{big}: no node with id 99999", None),
    "around negative id": ("dot {big} --around -5", 2, "argument --around: expected comma-separated node ids, got '-5'", None),
    "around text": ("dot {big} --around 5,x", 2, "argument --around: expected comma-separated node ids, got '5,x'", None),
    "bad depth": ("dot {big} --around 5 --depth two", 2,
                  "argument --depth: expected a whole number (0 or more), got 'two'", None),
    "negative depth": ("dot {big} --around 5 --depth -1", 2,
                       "argument --depth: expected a whole number (0 or more), got '-1'", None),
    "depth alone": ("dot {big} --depth 1", 2, "argument --depth: needs --around", None),
    "node unknown": ("inspect {big} --node 99999", 2, "{big}: no node with id 99999", None),
    "node negative": ("inspect {big} --node -1", 2, "argument --node: expected a node id, got '-1'", None),
    "bad limit": ("inspect {big} --limit -3", 2, "argument --limit: expected a whole number (0 or more), got '-3'", None),
    "stats of a missing file": ("stats {tmp}/none.kir", 2, "{tmp}/none.kir: No such file or directory", None),
    "escaped argument": ("inspect {sample} \x1b[31m", 2, "unrecognized arguments: \\u{{1b}}[31m", None),
    # Special files are refused before anything is read: no endless read, no wait for a writer.
    "stats of /dev/zero": ("stats /dev/zero", 2, "/dev/zero: not a regular file", None),
    "inspect of /dev/zero": ("inspect /dev/zero", 2, "/dev/zero: not a regular file", None),
    "dot of a fifo": ("dot {fifo}", 2, "{fifo}: not a regular file", None),
    "stats of a fifo": ("stats {fifo}", 2, "{fifo}: not a regular file", None),
    "reduce of a directory": ("reduce {tmp} -o {tmp}/o.kir", 2, "{tmp}: not a regular file", None),
    # Numbers past int()'s digit limit get the command's own short message.
    "node of 5000 digits": ("inspect {sample} --node " + "9" * 5000, 2, "argument --node: number too large: 5,000 digits",
                            None),
    "limit of 5000 digits": ("inspect {sample} --limit " + "1" * 5000, 2,
                             "argument --limit: number too large: 5,000 digits", None),
    "around of 5000 digits": ("dot {sample} --around 1," + "2" * 5000, 2,
                              "argument --around: number too large: 5,000 digits", None),
    "long text echoed short": ("inspect {sample} --node " + "x" * 5000, 2,
                               "argument --node: expected a node id, got '" + "x" * 40 + "...'", None),
}


def cap_memory():
    """Caps the child's address space at 2 GiB, so that an unbounded read fails instead of filling the machine."""
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


@pytest.mark.parametrize("case", list(CASES))
def test_failures_and_hostile_text_are_reported_in_one_line(case, wide, blob, tmp_path):
    template, status, message, mode = CASES[case]
    paths = {"big": str(wide[0]), "sample": str(blob[0]), "tmp": str(tmp_path)}
    if "{token}" in template:
        paths["token"] = str(bad_token_blob(tmp_path))
    if "{escaped}" in template:
        paths["escaped"] = str(bad_token_blob(tmp_path, b"zz|\x1b[2J"))
    if "{edge}" in template:
        paths["edge"] = str(forged_edge_blob(tmp_path))
    if "{forged}" in template:
        paths["forged"] = str(forged_name_blob(tmp_path))
    if "{fifo}" in template:
        paths["fifo"] = str(tmp_path / "fifo.kir")
        os.mkfifo(paths["fifo"])
    args = [part.format(**paths) for part in template.split(" ")]
    command = [sys.executable, "-m", "korvane", *args]
    if mode == "pipe":
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        child.stdout.readline()
        child.stdout.close()  # the reader goes away, as `| head -1` does
        err = child.stderr.read()
        got, out = child.wait(), b""
    elif mode == "full":
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        with open("/dev/full", "wb") as full:
            done = subprocess.run(command, stdout=full, stderr=subprocess.PIPE)
        got, out, err = done.returncode, b"", done.stderr
    else:
        done = subprocess.run(command, capture_output=True, timeout=60, preexec_fn=cap_memory)
        got, out, err = done.returncode, done.stdout, done.stderr
    assert got == status
    text = out.decode() + err.decode()
    assert "Traceback" not in text and not any(c in text for c in "\x1b\x9b\u202e\r")
    if message:
        assert err.decode() == f"korvane: error: {message.format(**paths)}\n"
    else:
        assert err == b""
    if mode == "forged":
        lines = out.decode().splitlines()
        assert len(lines) == (3 if args[0] == "inspect" else 3)  # header, one node, summary / digraph, node, }
        assert "\\n99  source  forged\\u{1b}[2J\\u{202e}" in out.decode().replace("\\\\", "\\")
    if mode == "newline":  # header, three nodes, one edge, closing brace
        assert len(out.decode().splitlines()) == 6
    if mode == "edge":  # node 0 alone: no input, no consumer
        assert re.findall(r"^  n(\d+)", out.decode(), re.M) == ["0"] and len(out.decode().splitlines()) == 3


def test_reduce_profile_prints_phases_iterations_and_rules(blob, tmp_path):
    path, rec = blob
    status, out, err = run("reduce", str(path), "--maximal-fusion", "--profile", "-o", str(tmp_path / "r.kir"))
    assert (status, err) == (0, "")
    profile = kc.GraphStore.deserialize(path.read_bytes()).reduction_profile(maximal_fusion=True)
    _, phases, iterations, rules = out.split("\n\n")
    phases = phases.splitlines()
    assert [line.split()[0] for line in phases[1:-3]] == list(profile["phases"])
    assert phases[-3].startswith("total") and phases[-2] == "stopped: Saturated"
    assert phases[-1].startswith("limits: 12 iterations, ") and phases[-1].endswith(" nodes, time 5 s")
    iterations, rules = iterations.splitlines(), rules.splitlines()
    assert [[int(cell.replace(",", "")) for cell in line.split()[:5]] for line in iterations[1:]] == [
        [i, it["memo_size"], it["class_count"], sum(it["applied"].values()), it["rebuild_unions"]]
        for i, it in enumerate(profile["iterations"])]
    matches = {name: sum(it["applied"].get(name, 0) for it in profile["iterations"]) for name in profile["rules"]}
    assert [line.split() for line in rules[1:]] == [
        [name, str(matches[name]), str(r["times_applied"]), str(r["times_banned"]), str(r["banned_until"])]
        for name, r in sorted(profile["rules"].items())]
    for table in (iterations, rules):  # numbers right-aligned under their headers
        assert len({len(line) for line in table}) == 1


def test_rule_files_are_listed_checked_and_used_by_reduce(blob, tmp_path):
    path, rec = blob
    rules = tmp_path / "mine.rules"
    rules.write_text("# mine\nneg2: (neg (neg ?x)) => ?x\nassoc: (add (add ?a ?b) ?c) <=> (add ?a (add ?b ?c))\n")
    status, out, err = run("rules", str(rules))
    assert (status, err) == (0, "")
    assert out.splitlines()[0] == f"3 rules in {rules}"
    assert [line.split(":")[0].strip() for line in out.splitlines()[1:]] == ["neg2", "assoc", "assoc-rev"]
    status, out, err = run("reduce", str(path), "--rules", str(rules), "--profile", "-o", str(tmp_path / "r.kir"))
    assert (status, err) == (0, "")
    assert any(line.split()[:1] == ["assoc"] for line in out.splitlines())
    ruleset = kc.RuleSet(rules.read_text())
    expected, _ = rec.store.reduce(outputs=rec.outputs, rules=ruleset)
    assert (tmp_path / "r.kir").read_bytes() == expected.serialize()


@pytest.mark.parametrize("text, words", [
    ("r: (neg ?x => ?x\n", "line 1"),
    ("a: (neg ?x) => ?x\na: (abs ?x) => ?x\n", "'a'"),
    (b"\xff\n", "not UTF-8"),
])
def test_a_bad_rule_file_is_one_line(tmp_path, blob, text, words):
    rules = tmp_path / "bad.rules"
    rules.write_bytes(text if isinstance(text, bytes) else text.encode())
    for args in (["rules", str(rules)], ["reduce", str(blob[0]), "--rules", str(rules), "-o", str(tmp_path / "o")]):
        status, out, err = run(*args)
        assert status == 2 and out == ""
        assert err.startswith(f"korvane: error: {rules}: ") and words in err and err.count("\n") == 1
