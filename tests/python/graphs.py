"""Random traced programs for the property tests, and the checks that a
reduced store must pass against the store it came from.

A program is a list of recording calls whose inputs name earlier calls, a
list of requested outputs (indices of calls, duplicates allowed) and the
values of its sources. It mixes what a tracing front end records: sources,
element-wise chains, identity operators and near misses of them,
commutative duplicates, repeated calls (shared subexpressions),
reductions, externals with look-alike descriptors, exchanges, joins, and
branches no output reads.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable

from hypothesis import strategies as st

import korvane_core as kc
from evaluator import evaluate

IDENTITIES = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]

# Operators that look like identities but are not one (other value, other
# type, an extra parameter, a missing side, or the symbol spelled as a name).
NEAR_IDENTITIES = [
    ("add", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 0.0, "side": "l"}),
    ("add", {"scalar": 0, "side": "r"}),
    ("add", {"scalar": -0.0, "side": "r"}),
    ("add", {"scalar": 0.0}),
    ("mul", {"scalar": 1.0, "side": "r", "tag": "x"}),
    ("sub", {"scalar": 0.0, "side": "l"}),
    ("add|scalar=f0000000000000000;side=sr", {}),
]

COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
BINARY = COMMUTATIVE + ["sub", "div", "pow2", "ge"]
UNARY = ["neg", "exp", "log1p", "relu", "abs", "sqrt", "tanh", "sin", "square", "recip"]
# Names that need escaping in a symbol, and the escaped forms as plain names.
ODD_NAMES = ["f|g", "f%7Cg", "f;x=1", "f%3Bx%3D1", "", "ünï"]
PARAMETRIC = [
    ("clip", {"lo": -2.0, "hi": 2.0}),
    ("clip", {"lo": -1.0, "hi": 1.0}),
    ("sigmoid", {"temperature": 1.5}),
    ("scale", {"factor": 0.5}),
    ("add", {"scalar": 2.5, "side": "l"}),
    ("sub", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": -1.5, "side": "r"}),
    ("maximum", {"scalar": 0.0, "side": "r"}),
    ("add", {"side": "r"}),
    ("scale", {"factor": float("nan")}),
    ("scale", {"factor": -float("nan")}),
    ("add", {"scalar": float("nan"), "side": "r"}),
]

_BASE = dict(kind="onnx", content_hash="sha256:1", framework="ort", version="1.0", io_schema="f32->f32")
DESCRIPTORS = [
    dict(_BASE),
    dict(_BASE, preprocessing_ref="-"),
    dict(_BASE, preprocessing_ref=""),
    dict(_BASE, preprocessing_ref="scaler"),
    dict(_BASE, kind="onnx|sha256:1", content_hash=""),
    dict(_BASE, kind="onnx", content_hash="|sha256:1"),
    dict(_BASE, version="1.0|f32->f32", io_schema=""),
]

REDUCTIONS = [("sum", {}), ("sum", {"axis": 0}), ("mean", {}), ("max", {"axis": 1}), ("prod", {})]
SCHEMES = [{}, {"scheme": "hash", "parts": 8}, {"scheme": "range", "parts": 8}]
JOINS = [{}, {"how": "left", "on": "k"}, {"how": "inner", "on": "k"}]


@dataclass
class Program:
    """Recording calls `(method, args)`: args name earlier calls by index."""

    calls: list[tuple] = field(default_factory=list)
    outputs: list[int] = field(default_factory=list)  # call indices
    inputs: dict[str, float] = field(default_factory=dict)  # source values

    def record(self, store: kc.GraphStore, after_call: Callable[[int], None] | None = None) -> list[int]:
        """Records the calls into `store`; returns the node id of each call.
        `after_call(i)` runs after call `i`."""
        ids: list[int] = []
        for i, (method, *args) in enumerate(self.calls):
            if method == "source":
                name, params = args
                ids.append(store.add_source(name, params))
            elif method in ("op", "reduction"):
                name, ins, params = args
                add = store.add_op if method == "op" else store.add_reduction
                ids.append(add(name, [ids[j] for j in ins], params))
            elif method == "external":
                descriptor, ins, params = args
                ids.append(store.add_external(descriptor, [ids[j] for j in ins], params))
            elif method == "exchange":
                ins, params = args
                ids.append(store.add_exchange([ids[j] for j in ins], params))
            else:
                ins, params = args
                ids.append(store.add_join([ids[j] for j in ins], params))
            if after_call is not None:
                after_call(i)
        return ids


@st.composite
def programs(draw, max_calls: int = 40) -> Program:
    prog = Program()
    n_sources = draw(st.integers(1, 4))
    for s in range(n_sources):
        name = f"s{s}"
        prog.calls.append(("source", name, draw(st.sampled_from([None, {"table": name}]))))
        prog.inputs[name] = draw(
            st.one_of(st.sampled_from([0.0, -0.0, 1.0, -1.0]), st.floats(-4.0, 4.0, allow_nan=False))
        )

    def pick() -> int:
        # Counted back from the last call: small distances make chains,
        # large ones share values.
        k = len(prog.calls)
        near = draw(st.sampled_from([True, True, False]))
        return k - 1 - draw(st.integers(0, min(k - 1, 2) if near else k - 1))

    binaries: list[int] = []
    for _ in range(draw(st.integers(0, max_calls))):
        call: tuple
        what = draw(
            st.sampled_from(
                ["unary", "unary", "identity", "identity", "near", "binary", "binary", "commuted", "repeat",
                 "parametric", "reduction", "external", "exchange", "join", "multi", "odd", "source"]
            )
        )
        if what == "unary":
            call = ("op", draw(st.sampled_from(UNARY)), [pick()], None)
        elif what == "odd":
            call = ("op", draw(st.sampled_from(ODD_NAMES)), [pick()], draw(st.sampled_from([None, {"k|": "v;="}])))
        elif what == "source":
            # A known name with other parameters is another source.
            call = ("source", f"s{draw(st.integers(0, n_sources - 1))}", {"table": "other"})
        elif what == "identity":
            name, params = draw(st.sampled_from(IDENTITIES))
            call = ("op", name, [pick()], params)
        elif what == "near":
            name, params = draw(st.sampled_from(NEAR_IDENTITIES))
            call = ("op", name, [pick()], params)
        elif what == "multi":
            # An identity symbol over several inputs (or none) is an ordinary operator.
            name, params = draw(st.sampled_from(IDENTITIES))
            call = ("op", name, [pick() for _ in range(draw(st.sampled_from([0, 2, 3])))], params)
        elif what == "binary":
            params = draw(st.sampled_from([None, None, None, {"side": "r"}, {"axis": 1}]))
            call = ("op", draw(st.sampled_from(BINARY)), [pick(), pick()], params)
            binaries.append(len(prog.calls))
        elif what == "commuted" and binaries:
            _, name, (a, b), params = prog.calls[draw(st.sampled_from(binaries))]
            call = ("op", name, [b, a], params)
        elif what == "repeat" and len(prog.calls) > n_sources:
            call = prog.calls[draw(st.integers(n_sources, len(prog.calls) - 1))]
        elif what == "parametric":
            name, params = draw(st.sampled_from(PARAMETRIC))
            call = ("op", name, [pick()], params)
        elif what == "reduction":
            name, params = draw(st.sampled_from(REDUCTIONS))
            call = ("reduction", name, [pick() for _ in range(draw(st.integers(1, 3)))], params)
        elif what == "external":
            call = ("external", draw(st.sampled_from(DESCRIPTORS)), [pick() for _ in range(draw(st.integers(1, 2)))],
                    draw(st.sampled_from([None, {"batch": 64}])))
        elif what == "exchange":
            call = ("exchange", [pick()], draw(st.sampled_from(SCHEMES)))
        elif what == "join":
            call = ("join", [pick(), pick()], draw(st.sampled_from(JOINS)))
        else:
            call = ("op", "neg", [pick()], None)
        prog.calls.append(call)

    # Mostly the last calls (so most of the graph is live), some earlier
    # ones, duplicates, and now and then no output at all.
    k = len(prog.calls)
    if draw(st.sampled_from([True, True, True, False])):
        late = st.integers(0, min(k - 1, 3)).map(lambda d: k - 1 - d)
        prog.outputs = draw(st.lists(st.one_of(late, late, st.integers(0, k - 1)), min_size=1, max_size=4))
    return prog


def record_on_top(store: kc.GraphStore) -> list[int]:
    """Records over the last nodes of a reduced graph (read back from its
    blob): identities, consumers that become equal through them, and
    commuted twins, so that stages of the graph feed new operators. Returns
    the store's outputs followed by the new nodes."""
    add0 = {"scalar": 0.0, "side": "r"}
    outputs, prev = store.outputs(), None
    for node in store.nodes()[-6:]:
        s = node["id"]
        outputs += [store.add_op("neg", [store.add_op("add", [s], add0)]), store.add_op("neg", [s])]
        if prev is not None:
            outputs += [store.add_op("mul", [s, prev]), store.add_op("mul", [prev, s])]
        prev = s
    return outputs


def reachable(nodes: list[dict], outputs: list[int]) -> set[int]:
    seen: set[int] = set()
    stack = list(outputs)
    while stack:
        n = stack.pop()
        if n not in seen:
            seen.add(n)
            stack.extend(nodes[n]["inputs"])
    return seen


def check_reduced_shape(reduced: kc.GraphStore, report: dict, input_stages: bool = False) -> list[dict]:
    """Checks what every reduced store satisfies on its own; returns its nodes.

    Stages of the reduced-from graph (`input_stages`) come back as boundary
    nodes: the counters count them with the boundary, not with the stages.
    A stage fused anew can equal one of them; the store then holds it once,
    while the counters count the emitted nodes."""
    nodes = reduced.nodes()
    stages = [n for n in nodes if n["kind"] == "stage"]
    assert set(report) == {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
                           "boundary_nodes"}
    assert len(nodes) == reduced.node_count()
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
    if not input_stages:
        assert report["reduced_nodes"] == len(nodes)
        assert report["stages"] == len(stages)
        assert report["canonical_nodes"] == sum(n["n_members"] for n in stages) + report["boundary_nodes"]
    assert len(nodes) <= report["reduced_nodes"]
    assert report["stages"] <= len(stages)
    assert report["canonical_nodes"] >= report["reduced_nodes"]
    assert report["reachable_nodes"] <= report["input_nodes"]
    assert report["canonical_nodes"] <= report["reachable_nodes"]
    assert all(n["kind"] != "op" for n in nodes)
    for n in stages:
        assert n["n_members"] == len(n["members"]) > 0
        assert all(u < n["id"] for u in n["inputs"]) and len(set(n["inputs"])) == len(n["inputs"])
        referenced = set()
        for p, m in enumerate(n["members"]):
            assert m["kind"] == "op"
            for ref, j in m["inputs"]:
                assert (ref == "input" and j < len(n["inputs"])) or (ref == "member" and j < p)
                referenced.add((ref, j))
        # Every input and every member but the sink is read inside the stage.
        assert referenced == {("input", j) for j in range(len(n["inputs"]))} | {
            ("member", j) for j in range(len(n["members"]) - 1)
        }
    # Everything in a reduced graph serves an output.
    assert reachable(nodes, reduced.outputs()) == set(range(len(nodes)))
    return nodes


def check_reduction(source_nodes: list[dict], outputs: list[int], values: dict[str, float],
                    reduced: kc.GraphStore, report: dict, dead_is_none: bool = True) -> None:
    """Checks a reduction of `source_nodes` against `outputs` (the requested
    list, duplicates included): its shape, its node map, and that every node
    that landed somewhere has the value it had before."""
    nodes = check_reduced_shape(reduced, report, any(n["kind"] == "stage" for n in source_nodes))
    node_map = reduced.node_map()
    assert len(node_map) == len(source_nodes)
    live = reachable(source_nodes, outputs)
    for i, entry in enumerate(node_map):
        if i in live:
            assert entry is not None, f"live node {i} was dropped"
        elif dead_is_none:
            assert entry is None, f"dead node {i} landed on {entry}"
    # The reduced outputs are where the requested ones landed, deduplicated
    # in first-occurrence order; an output is a whole node, never an inner member.
    landed = [node_map[o] for o in outputs]
    assert reduced.outputs() == list(dict.fromkeys(node for node, _ in landed))
    for node, member in landed:
        n = nodes[node]
        # (A stage of the reduced-from graph lands whole, with no member index.)
        assert member is None or (n["kind"] == "stage" and member == n["n_members"] - 1)
    before = evaluate(source_nodes, values)
    after = evaluate(nodes, values)
    for i, entry in enumerate(node_map):
        if entry is not None:
            assert after.at(entry) == before.values[i], f"node {i} -> {entry}"
    assert [after.values[node] for node, _ in landed] == [before.values[o] for o in outputs]


def links(store: kc.GraphStore) -> tuple[list[list[int]], list[list[int]]]:
    """The inputs and the consumers of every node, from nodes()."""
    nodes = store.nodes()
    consumers: list[list[int]] = [[] for _ in nodes]
    for node in nodes:
        for source in node["inputs"]:
            consumers[source].append(node["id"])
    return [node["inputs"] for node in nodes], consumers


def hops(start, step: list[list[int]], depth: int) -> set[int]:
    """The nodes within `depth` steps of `start`, following `step` (inputs or consumers)."""
    seen, frontier = set(start), set(start)
    for _ in range(depth):
        frontier = {m for n in frontier for m in step[n]} - seen
        seen |= frontier
    return seen
