"""Views: node dicts of every kind, stage members, the node map, and the
exact DOT text (which graphviz must accept)."""

import collections
import random
import shutil
import struct
import subprocess

import pytest

import korvane_core as kc
from graphs import hops, links

DESCRIPTOR = dict(kind="onnx", content_hash="sha256:1", framework="ort", version="1.2", io_schema="f32->f32")


def blob_with_stage(token, refs=((0, 0),), outputs=()):
    """A Source x and a Stage over it with one member `token`."""
    member = struct.pack("<I", len(token.encode())) + token.encode() + struct.pack("<I", len(refs))
    member += b"".join(struct.pack("<BI", k, i) for k, i in refs)
    body = b"\0" + struct.pack("<I", 1) + b"x" + bytes(4)  # Source x, no params
    body += b"\4" + struct.pack("<IQ", 1, 0) + struct.pack("<I", 1) + member
    tail = struct.pack("<I", len(outputs)) + b"".join(struct.pack("<Q", o) for o in outputs)
    return b"KIR1" + struct.pack("<I", 2) + body + tail


def test_empty_store_views():
    g = kc.GraphStore()
    assert (g.nodes(), g.outputs(), g.node_map()) == ([], [], [])
    assert g.to_dot() == "digraph korvane {\n}\n"


def test_node_dicts_of_every_recorded_kind():
    g = kc.GraphStore()
    x = g.add_source("x", {"b": 1, "a": 2.5})
    f = g.add_op("add", [x, x], {"side": "r", "on": True})
    r = g.add_reduction("sum", [f])
    e = g.add_external(DESCRIPTOR, [r], {"n": -1})
    ex = g.add_exchange([e], {"parts": 8})
    j = g.add_join([ex, x])
    nodes = g.nodes()
    assert nodes == [
        {"id": x, "output": False, "inputs": [], "kind": "source", "name": "x", "params": {"a": 2.5, "b": 1}},
        {"id": f, "output": False, "inputs": [x, x], "kind": "op", "name": "add", "params": {"on": True, "side": "r"}},
        {"id": r, "output": False, "inputs": [f], "kind": "reduction", "name": "sum", "params": {}},
        {
            "id": e, "output": False, "inputs": [r], "kind": "external", "name": "", "params": {"n": -1},
            "descriptor": dict(DESCRIPTOR, preprocessing_ref=None),
        },
        {"id": ex, "output": False, "inputs": [e], "kind": "exchange", "name": "", "params": {"parts": 8}},
        {"id": j, "output": False, "inputs": [ex, x], "kind": "join", "name": "", "params": {}},
    ]
    # Key order is part of the view.
    assert [list(n) for n in nodes][3] == ["id", "output", "inputs", "kind", "name", "params", "descriptor"]
    assert list(nodes[0]["params"]) == ["a", "b"]
    assert list(nodes[3]["descriptor"])[-1] == "preprocessing_ref"
    assert type(nodes[1]["params"]["on"]) is bool


def test_every_call_returns_fresh_mutable_objects():
    g = kc.GraphStore()
    x = g.add_source("x", {"k": 1})
    g.add_source("y", {"k": 1})
    g.add_external(DESCRIPTOR, [x])
    g.add_external(DESCRIPTOR, [x], {"k": 1})
    first = g.nodes()
    assert first[0]["params"] is not first[1]["params"]
    assert first[2]["descriptor"] is not first[3]["descriptor"]
    first[0]["params"]["k"] = 2
    first[2]["descriptor"]["kind"] = "changed"
    first[2]["inputs"].append(99)
    assert g.nodes() == [dict(n) for n in g.nodes()]
    again = g.nodes()
    assert again[0]["params"] == {"k": 1} and again[1]["params"] == {"k": 1}
    assert again[2]["descriptor"]["kind"] == "onnx" and again[2]["inputs"] == [x]


def test_output_flags_and_doublecircles_follow_the_marks():
    g = kc.GraphStore()
    x = g.add_source("x")
    y = g.add_op("neg", [x])
    assert [n["output"] for n in g.nodes()] == [False, False]
    assert "doublecircle" not in g.to_dot()
    back = kc.GraphStore.deserialize(g.serialize(outputs=[y, y]))
    assert back.outputs() == [y]
    assert [n["output"] for n in back.nodes()] == [False, True]
    assert '  n1 [label="Op neg", shape=doublecircle];\n' in back.to_dot()


def test_stage_members_after_reduce_and_the_node_map():
    g = kc.GraphStore()
    x = g.add_source("x")
    g.add_source("dead")
    m = g.add_op("mul", [x, x], {"scalar": 2.0})
    out = g.add_op("exp", [g.add_op("neg", [m])])
    reduced, _ = g.reduce(outputs=[out])
    stage = next(n for n in reduced.nodes() if n["kind"] == "stage")
    assert stage["name"] == "" and stage["params"] == {}
    assert stage["n_members"] == len(stage["members"]) == 3
    assert stage["members"][0] == {"kind": "op", "name": "mul", "params": {"scalar": 2.0}, "inputs": [("input", 0), ("input", 0)]}
    assert stage["members"][1]["inputs"] == [("member", 0)]
    assert list(stage) == ["id", "output", "inputs", "kind", "name", "params", "n_members", "members"]
    node_map = reduced.node_map()
    assert len(node_map) == g.node_count()
    assert node_map[1] is None
    assert node_map[out] == (stage["id"], 2)
    assert node_map[x] == (0, None)
    assert kc.GraphStore.deserialize(reduced.serialize()).node_map() == []


def test_member_tokens_are_parsed_with_escapes_and_reductions():
    g = kc.GraphStore.deserialize(blob_with_stage("red|a%7Cb%25|axis=i-1;s=sx%3By;f=f3ff8000000000000"))
    assert g.nodes()[1]["members"] == [
        {"kind": "red", "name": "a|b%", "params": {"axis": -1, "f": 1.5, "s": "x;y"}, "inputs": [("input", 0)]}
    ]


@pytest.mark.parametrize(
    "token, shown",
    [
        ("src|x", '"src|x"'),
        ("op", '"op"'),
        ("op|f|k=q1", '"op|f|k=q1"'),
        ('op|f|k=\t"\\\x01', '"op|f|k=\\t\\"\\\\\\u{1}"'),
    ],
)
def test_unparseable_member_tokens_fail_the_whole_call(token, shown):
    g = kc.GraphStore.deserialize(blob_with_stage(token))
    with pytest.raises(ValueError) as info:
        g.nodes()
    assert str(info.value) == "unparseable stage member token " + shown
    # The other views do not parse tokens.
    assert g.to_dot().count("Stage[1 members]") == 1


def test_dot_of_one_source_and_awkward_names():
    g = kc.GraphStore()
    g.add_source("x")
    assert g.to_dot() == 'digraph korvane {\n  n0 [label="Source x"];\n}\n'
    g = kc.GraphStore()
    g.add_source('a"b')
    assert g.to_dot() == 'digraph korvane {\n  n0 [label="Source a\\"b"];\n}\n'


def test_dot_labels_params_and_edges():
    g = kc.GraphStore()
    x = g.add_source("x", {"path": 'q"\\', "nl": "a\nb"})
    f = g.add_op("add", [x, x], {"scalar": 1.5, "side": "r"})
    g.add_reduction("sum", [f], {"axis": -1, "keep": False, "big": 1e20, "z": -0.0, "i": float("-inf"), "n": float("nan")})
    e = g.add_external(dict(DESCRIPTOR, preprocessing_ref="p"), [f])
    g.add_exchange([e], {"p": 0.1})
    g.add_join([e, x])
    assert g.to_dot() == (
        "digraph korvane {\n"
        '  n0 [label="Source x {nl=\\"a\\\\nb\\", path=\\"q\\\\\\"\\\\\\\\\\"}"];\n'
        '  n1 [label="Op add {scalar=1.5, side=\\"r\\"}"];\n'
        '  n2 [label="Reduction sum {axis=-1, big=100000000000000000000, i=-inf, keep=false, n=NaN, z=-0}"];\n'
        '  n3 [label="External onnx:sha256:1 [ort 1.2]"];\n'
        '  n4 [label="Exchange {p=0.1}"];\n'
        '  n5 [label="Join"];\n'
        "  n0 -> n1;\n"
        "  n0 -> n1;\n"
        "  n1 -> n2;\n"
        "  n1 -> n3;\n"
        "  n3 -> n4;\n"
        "  n3 -> n5;\n"
        "  n0 -> n5;\n"
        "}\n"
    )


@pytest.mark.skipif(shutil.which("dot") is None, reason="graphviz is not installed")
def test_graphviz_accepts_awkward_labels():
    g = kc.GraphStore()
    names = ['a"b', "back\\slash", "trailing\\", "{braces} [x]", "new\nline", "é€😀", "<html>", "semi;colon|bar"]
    xs = [g.add_source(n, {"s": n, "ctl": "\x00\x1b\x7f\x85", "f": 2.5}) for n in names]
    g.add_join(xs)
    text = kc.GraphStore.deserialize(g.serialize(outputs=xs[:2])).to_dot()
    run = subprocess.run(["dot", "-Tplain"], input=text.encode(), capture_output=True, timeout=60)
    assert run.returncode == 0, run.stderr.decode()
    assert run.stdout.decode().count("\nnode ") == len(names) + 1


# Figures and neighbourhoods of generated graphs, checked against numbers worked out from nodes().

OP_NAMES = [f"op{k:02d}" for k in range(26)] + ["ünï", "a|b"]


def random_store(seed, size=400):
    """Every kind, inputs read twice, a hub, op names with tied counts; stored outputs (and stages when reduced)."""
    rng = random.Random(seed)
    g = kc.GraphStore()
    ids = [g.add_source(f"s{k}", {"k": k}) for k in range(1 + seed % 5)]
    while g.node_count() < size:
        pick = lambda: ids[-1 - min(int(rng.expovariate(0.2)), len(ids) - 1)]  # noqa: E731
        r = rng.random()
        if r < 0.55:
            inputs = [pick() for _ in range(rng.choice([1, 1, 2, 2, 3]))]
            node = g.add_op(OP_NAMES[int(rng.triangular(0, len(OP_NAMES) - 1, 3))], inputs)
        elif r < 0.62:
            node = g.add_op("scale", [ids[0]], {"f": rng.randrange(50)})  # the hub
        elif r < 0.72:
            node = g.add_reduction("sum", [pick()], {"axis": rng.randrange(2)})
        elif r < 0.80:
            node = g.add_external(DESCRIPTOR, [pick(), pick()])
        elif r < 0.88:
            node = g.add_exchange([pick()], {"parts": rng.randrange(8)})
        elif r < 0.94:
            node = g.add_join([pick(), pick()])
        else:
            node = g.add_source(f"late{g.node_count()}")
        ids.append(node)
    outputs = rng.sample(range(g.node_count()), seed % 4)
    store = kc.GraphStore.deserialize(g.serialize(outputs=outputs))
    if seed % 3 == 2 and outputs:
        store, _ = store.reduce(maximal_fusion=seed % 2 == 0)
    return store


def spread(values):
    ordered = sorted(values)
    ranked = lambda share: ordered[max(1, -(-share * len(ordered) // 100)) - 1] if ordered else None  # noqa: E731
    return {"max": ordered[-1] if ordered else None, "p50": ranked(50), "p99": ranked(99),
            "histogram": [[v, n] for v, n in sorted(collections.Counter(ordered).items())]}


def expected_stats(store):
    nodes, outputs = store.nodes(), store.outputs()
    consumers = collections.Counter(i for n in nodes for i in n["inputs"])
    depth, reached = [], set(outputs)
    for n in nodes:
        depth.append(max((depth[i] + 1 for i in n["inputs"]), default=0))
    for n in reversed(nodes):
        if n["id"] in reached:
            reached.update(n["inputs"])
    names = collections.Counter(n["name"] for n in nodes if n["kind"] == "op")
    kinds = collections.Counter(n["kind"] for n in nodes)
    return {
        "nodes": len(nodes),
        "edges": sum(len(n["inputs"]) for n in nodes),
        "kinds": {k: kinds[k] for k in ("source", "op", "reduction", "external", "stage", "exchange", "join")},
        "top_ops": [[name, count] for name, count in sorted(names.items(), key=lambda e: (-e[1], e[0]))[:20]],
        "distinct_ops": len(names),
        "outputs": len(outputs),
        "reachable": len(reached),
        "longest_path": max(depth, default=0),
        "fan_in": spread(len(n["inputs"]) for n in nodes),
        "fan_out": spread(consumers[n["id"]] for n in nodes),
        "stages": kinds["stage"],
        "stage_members": spread(n["n_members"] for n in nodes if n["kind"] == "stage"),
    }


@pytest.mark.parametrize("seed", range(9))
def test_stats_agree_with_the_node_view(seed):
    store = random_store(seed)
    stats = store.stats()
    assert stats == expected_stats(store)
    assert list(stats["kinds"]) == ["source", "op", "reduction", "external", "stage", "exchange", "join"]
    if seed % 3 == 2 and seed % 4:
        assert stats["stages"] > 0


@pytest.mark.parametrize("seed", range(6))
def test_chosen_nodes_and_consumers_agree_with_the_node_view(seed):
    store = random_store(seed)
    every = store.nodes()
    n = len(every)
    ids = [n - 1, 0, n // 2, 0] if n else []
    assert store.nodes(ids=ids) == [every[i] for i in ids]
    assert store.nodes(ids=[]) == [] and store.nodes(ids=None) == every
    for node in {0, n // 2, n - 1} if n else set():
        assert store.consumers(node) == [m["id"] for m in every if node in m["inputs"]]


@pytest.mark.parametrize("call, error, message", [
    (lambda g: g.nodes(ids=[5]), ValueError, "no node with id 5"),
    (lambda g: g.nodes(ids="01"), TypeError, "argument 'ids'"),
    (lambda g: g.consumers(5), ValueError, "no node with id 5"),
    (lambda g: g.consumers(-1), OverflowError, "argument 'node'"),
    (lambda g: g.consumers("0"), TypeError, "argument 'node'"),
])
def test_chosen_views_refuse_bad_ids(call, error, message):
    g = kc.GraphStore()
    g.add_source("x")
    with pytest.raises(error, match=message):
        call(g)


def test_stats_of_an_empty_store_and_one_with_ties():
    empty = {"max": None, "p50": None, "p99": None, "histogram": []}
    stats = kc.GraphStore().stats()
    assert stats["nodes"] == stats["reachable"] == stats["longest_path"] == 0 and stats["top_ops"] == []
    assert stats["fan_in"] == stats["fan_out"] == stats["stage_members"] == empty
    g = kc.GraphStore()
    x = g.add_source("x")
    for name in ["b", "a", "c", "a", "b"]:
        x = g.add_op(name, [x])
    assert g.stats()["top_ops"] == [["a", 2], ["b", 2], ["c", 1]]
    assert g.stats()["longest_path"] == 5 and g.stats()["outputs"] == 0 and g.stats()["reachable"] == 0


def expected_around(store, seeds, depth):
    """The neighbourhood drawing built from the whole drawing's lines and nodes()."""
    inputs, consumers = links(store)
    drawn = sorted(hops(seeds, inputs, depth) | hops(seeds, consumers, depth))
    inside = set(drawn)
    full = store.to_dot().split("\n")
    lines = ["digraph korvane {"] + [full[1 + n] for n in drawn]
    cut = []
    for n in drawn:
        hidden_in, hidden_out = len(set(inputs[n]) - inside), len(set(consumers[n]) - inside)
        if hidden_in:
            lines.append(f'  i{n} [label="+{hidden_in:,} inputs", shape=plaintext, fontcolor=gray40];')
            cut.append(f"  i{n} -> n{n} [style=dashed, color=gray40];")
        if hidden_out:
            lines.append(f'  c{n} [label="+{hidden_out:,} consumers", shape=plaintext, fontcolor=gray40];')
            cut.append(f"  n{n} -> c{n} [style=dashed, color=gray40];")
    edges = [f"  n{i} -> n{n};" for n in drawn for i in inputs[n] if i in inside]
    return "\n".join(lines + edges + cut + ["}"]) + "\n"


@pytest.mark.parametrize("seed, depth", [(0, 0), (1, 1), (2, 2), (3, 3), (4, 1), (5, 6)])
def test_neighbourhood_drawings_agree_with_the_node_view(seed, depth):
    store = random_store(seed, size=300)  # plain labels: one line per node in the whole drawing
    rng = random.Random(seed)
    seeds = [rng.randrange(store.node_count()) for _ in range(1 + seed % 3)] + [0]
    assert store.to_dot(around=seeds, depth=depth) == expected_around(store, seeds, depth)


def test_a_neighbourhood_of_everything_is_the_whole_drawing_and_of_nothing_is_empty():
    store = random_store(7, size=120)
    assert store.to_dot(around=range(store.node_count()), depth=0) == store.to_dot()
    sources = [n["id"] for n in store.nodes() if not n["inputs"]]
    assert store.to_dot(around=sources, depth=10**40) == store.to_dot()
    assert store.to_dot(around=[], depth=5) == "digraph korvane {\n}\n"
    assert store.to_dot(around=None) == store.to_dot(depth=7) == store.to_dot()


def test_summary_nodes_count_distinct_left_out_neighbours():
    g = kc.GraphStore()
    hub = g.add_source("hub")
    readers = [g.add_op("f", [hub, hub], {"k": k}) for k in range(1234)]
    j = g.add_join([readers[0], readers[1], readers[1]])
    assert g.to_dot(around=[hub], depth=0) == (
        'digraph korvane {\n  n0 [label="Source hub"];\n'
        '  c0 [label="+1,234 consumers", shape=plaintext, fontcolor=gray40];\n'
        "  n0 -> c0 [style=dashed, color=gray40];\n}\n")
    text = g.to_dot(around=[j], depth=1)
    assert '  i1 [label="+1 inputs"' in text and '  c1 [label="+1 consumers"' not in text
    assert text.count(f"  n2 -> n{j};\n") == 2


@pytest.mark.parametrize("kwargs, error, message", [
    ({"around": "12"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"around": 3}, TypeError, "around"),
    ({"around": [1, "x"]}, TypeError, "around"),
    ({"around": [-1]}, OverflowError, "around"),
    ({"around": [2**64]}, OverflowError, "around"),
    ({"around": [0, 5]}, ValueError, "no node with id 5"),
    ({"around": [0], "depth": -1}, ValueError, "depth must be a non-negative int, not -1"),
    ({"around": [0], "depth": 1.0}, TypeError, "argument 'depth' must be int, not float"),
    ({"around": [0], "depth": None}, TypeError, "argument 'depth' must be int, not NoneType"),
    ({"depth": "2"}, TypeError, "argument 'depth' must be int, not str"),
    ({"width": 2}, TypeError, "GraphStore.to_dot() got an unexpected keyword argument 'width'"),
])
def test_to_dot_arguments(kwargs, error, message):
    g = kc.GraphStore()
    g.add_op("f", [g.add_source("x")])
    with pytest.raises(error) as info:
        g.to_dot(**kwargs)
    assert message in str(info.value)
    with pytest.raises(TypeError, match="positional"):
        g.to_dot([0])
    assert g.to_dot(around=(1,), depth=True) == g.to_dot(around=range(1, 2), depth=1)
