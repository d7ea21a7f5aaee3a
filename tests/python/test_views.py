"""Views: node dicts of every kind, stage members, the node map, and the
exact DOT text (which graphviz must accept)."""

import shutil
import struct
import subprocess

import pytest

import korvane_core as kc

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
