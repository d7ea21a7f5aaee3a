"""IncrementalReducer: the canonical form built step by step, finalize, the
store it is bound to, and agreement with the one-shot reduction."""

import math
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvane_core as kc
from graphs import COMMUTATIVE, check_reduction, programs, reachable, record_on_top
from korvane import sample

ADD0 = {"scalar": 0.0, "side": "r"}
ADD0_L = {"scalar": 0.0, "side": "l"}
MUL1 = {"scalar": 1.0, "side": "r"}


def counters(r):
    return r.watermark(), r.total_work(), r.canonical_count()


@pytest.fixture
def r():
    return kc.IncrementalReducer()


# --- the canonical form ----------------------------------------------------


def test_a_new_reducer_is_empty(r):
    assert counters(r) == (0, 0, 0)
    assert r.step(kc.GraphStore()) == 0
    assert counters(r) == (0, 0, 0)


def test_steps_consume_each_node_once(r):
    g = kc.GraphStore()
    taken = []
    for i in range(10):
        g.add_source(f"s{i}")
        if i in (2, 5):
            taken.append(r.step(g))
    taken.append(r.step(g))
    assert taken == [3, 3, 4]
    assert counters(r) == (10, 10, 10)
    assert r.step(g) == 0
    assert counters(r) == (10, 10, 10)


@pytest.mark.parametrize(
    "record, grows",
    [
        # Identities with one input vanish into it, on either side.
        (lambda g, x, y: g.add_op("add", [x], ADD0), 0),
        (lambda g, x, y: g.add_op("add", [x], ADD0_L), 0),
        (lambda g, x, y: g.add_op("mul", [y], MUL1), 0),
        (lambda g, x, y: g.add_op("mul", [g.add_op("add", [x], ADD0)], MUL1), 0),
        # The same symbols with zero or two inputs are ordinary operators.
        (lambda g, x, y: g.add_op("add", [x, y], ADD0), 1),
        (lambda g, x, y: g.add_op("add", [x, x], ADD0), 1),
        (lambda g, x, y: g.add_op("add", [], ADD0), 1),
        (lambda g, x, y: g.add_op("mul", [x, y, x], MUL1), 1),
        # Near misses.
        (lambda g, x, y: g.add_op("add", [x], {"scalar": 0, "side": "r"}), 1),
        (lambda g, x, y: g.add_op("add", [x], {"scalar": -0.0, "side": "r"}), 1),
        (lambda g, x, y: g.add_op("add", [x], {"scalar": 0.0}), 1),
        (lambda g, x, y: g.add_op("add|scalar=f0000000000000000;side=sr", [x]), 1),
        # Commutative twins share a node; other operators and parametrised ones do not.
        (lambda g, x, y: [g.add_op("add", [x, y]), g.add_op("add", [y, x])], 1),
        (lambda g, x, y: [g.add_op("minimum", [x, y]), g.add_op("minimum", [y, x])], 1),
        (lambda g, x, y: [g.add_op("sub", [x, y]), g.add_op("sub", [y, x])], 2),
        (lambda g, x, y: [g.add_op("add", [x, y], {"side": "r"}), g.add_op("add", [y, x], {"side": "r"})], 2),
        (lambda g, x, y: [g.add_op("add", [x, y]), g.add_op("add", [x, y, x]), g.add_op("add", [y, x, x])], 3),
        # Hash-consing after remapping the inputs.
        (lambda g, x, y: [g.add_op("neg", [x]), g.add_op("neg", [g.add_op("add", [x], ADD0)])], 1),
        (lambda g, x, y: [g.add_op("mul", [x, y]), g.add_op("mul", [g.add_op("mul", [y], MUL1), x])], 1),
        (lambda g, x, y: [g.add_reduction("sum", [x]), g.add_reduction("sum", [g.add_op("add", [x], ADD0_L)])], 1),
    ],
)
def test_canonical_form(r, record, grows):
    g = kc.GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    r.step(g)
    record(g, x, y)
    assert r.step(g) == g.node_count() - 2
    assert r.canonical_count() == 2 + grows
    # Whatever merged lands on one node; the values say the merges are sound.
    reduced, report = r.finalize(g, outputs=range(g.node_count()))
    check_reduction(g.nodes(), list(range(g.node_count())), {"x": 1.5, "y": -2.0}, reduced, report)
    assert report["input_nodes"] == 2 + grows
    assert len({e for e in reduced.node_map()}) == report["canonical_nodes"] == 2 + grows


def test_an_identity_output_lands_where_its_input_did(r):
    g = kc.GraphStore()
    x = g.add_source("x")
    n = g.add_op("neg", [x])
    i = g.add_op("add", [n], ADD0)
    reduced, report = r.finalize(g, outputs=[i])
    assert reduced.outputs() == [1]
    assert reduced.node_map() == [(0, None), (1, 0), (1, 0)]
    assert report == dict(input_nodes=2, reachable_nodes=2, canonical_nodes=2, stages=1, reduced_nodes=2,
                          boundary_nodes=1)


# --- finalize --------------------------------------------------------------


def test_finalize_with_no_outputs_consumes_but_keeps_nothing(r):
    g = sample.record().store
    reduced, report = r.finalize(g, outputs=[])
    assert reduced.node_count() == 0
    assert reduced.node_map() == [None] * g.node_count()
    assert report == dict(input_nodes=r.canonical_count(), reachable_nodes=0, canonical_nodes=0, stages=0,
                          reduced_nodes=0, boundary_nodes=0)
    assert r.watermark() == g.node_count()


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(outputs=[21]), ValueError, "no node with id 21"),
        (dict(outputs=[0, 99, 21]), ValueError, "no node with id 99"),
        (dict(outputs="1"), TypeError, "Can't extract `str` to `Vec`"),
        (dict(outputs=[-1]), OverflowError, "outputs"),
        (dict(maximal_fusion=1), TypeError, "maximal_fusion"),
        (dict(maximal_fusion=None), TypeError, "maximal_fusion"),
        (dict(bogus=1), TypeError, "bogus"),
    ],
)
def test_bad_finalize_arguments_change_nothing(kwargs, error, message):
    g = sample.record().store
    assert g.node_count() == 21
    r = kc.IncrementalReducer()
    with pytest.raises(error) as info:
        r.finalize(g, **kwargs)
    assert message in str(info.value)
    # Nothing was consumed, and the reducer is not bound yet.
    assert counters(r) == (0, 0, 0)
    h = kc.GraphStore()
    h.add_source("x")
    assert r.step(h) == 1


@pytest.mark.parametrize("method", ["step", "finalize"])
@pytest.mark.parametrize("store", [None, 3, "store", kc.IncrementalReducer()])
def test_store_must_be_a_graph_store(r, method, store):
    with pytest.raises(TypeError, match="store"):
        getattr(r, method)(store)
    assert counters(r) == (0, 0, 0)
    g = kc.GraphStore()
    g.add_source("x")
    assert r.step(g) == 1


@pytest.mark.parametrize("bind", ["step", "finalize"])
@pytest.mark.parametrize("other", ["step", "finalize"])
def test_a_reducer_is_bound_to_the_first_store(r, bind, other):
    g = kc.GraphStore()
    g.add_op("neg", [g.add_source("x")])
    h = kc.GraphStore()
    for name in "abcd":
        h.add_source(name)
    getattr(r, bind)(g)
    before = counters(r)
    with pytest.raises(ValueError) as info:
        getattr(r, other)(h)
    assert str(info.value) == "IncrementalReducer is bound to another GraphStore"
    assert counters(r) == before == (2, 2, 2)
    # A reduced copy is another store too, even with equal content.
    with pytest.raises(ValueError, match="bound to another"):
        r.step(kc.GraphStore.deserialize(g.serialize()))
    g.add_source("y")
    assert r.step(g) == 1


def test_finalize_leaves_the_reducer_usable(r):
    g = kc.GraphStore()
    x = g.add_source("x")
    a = g.add_op("neg", [x])
    first, report = r.finalize(g, outputs=[a])
    assert len(first.node_map()) == 2 and report["input_nodes"] == 2
    b = g.add_op("exp", [g.add_op("add", [a], ADD0)])
    c = g.add_op("exp", [a])
    assert (b, c) == (3, 4)
    assert r.step(g) == 3
    second, report = r.finalize(g, outputs=[a, c], maximal_fusion=True)
    assert counters(r) == (5, 5, 3)
    assert second.node_map() == [(0, None), (1, 0), (1, 0), (2, 0), (2, 0)]
    assert report == dict(input_nodes=3, reachable_nodes=3, canonical_nodes=3, stages=2, reduced_nodes=3,
                          boundary_nodes=1)
    # The first result is untouched by what came after.
    assert first.node_map() == [(0, None), (1, 0)]


@pytest.mark.parametrize("maximal", [False, True])
def test_stored_marks_and_stages_of_a_reduced_store(r, maximal):
    rec = sample.record()
    reduced, report = rec.store.reduce(maximal_fusion=maximal, outputs=rec.outputs)
    again, again_report = r.finalize(reduced, maximal_fusion=maximal)
    assert again.serialize() == reduced.serialize()
    assert again.node_map() == [(i, None) for i in range(reduced.node_count())]
    assert r.canonical_count() == again_report["input_nodes"] == reduced.node_count()


# --- agreement with reduce -------------------------------------------------

def _freeze(value):
    if isinstance(value, float):
        return ("f", struct.pack("<d", math.nan if value != value else value))
    if isinstance(value, dict):
        return tuple((k, _freeze(v)) for k, v in value.items())
    if isinstance(value, list):
        return tuple(_freeze(v) for v in value)
    return (type(value).__name__, value)


def _is_identity(node):
    p = node["params"]
    if set(p) != {"scalar", "side"} or p["side"] not in ("l", "r") or type(p["scalar"]) is not float:
        return False
    unit = {"add": 0.0, "mul": 1.0}.get(node["name"])
    return unit is not None and struct.pack("<d", p["scalar"]) == struct.pack("<d", unit)


def canonical_model(nodes):
    """The canonical form, recomputed here from the node views: the position
    of every node, and the inputs of every canonical node."""
    index, canonical, remap = {}, [], []
    for n in nodes:
        ins = tuple(remap[u] for u in n["inputs"])
        fields = (n["kind"], n["name"], _freeze(n["params"]), _freeze(n.get("descriptor")), _freeze(n.get("members")))
        if n["kind"] == "op" and len(ins) == 1 and _is_identity(n):
            remap.append(ins[0])
            continue
        found = index.get(fields + (ins,))
        if found is None and n["kind"] == "op" and n["name"] in COMMUTATIVE and not n["params"] and len(ins) == 2:
            found = index.get(fields + (ins[::-1],))
        if found is None:
            found = index[fields + (ins,)] = len(canonical)
            canonical.append({"inputs": list(ins)})
        remap.append(found)
    return canonical, remap


def isomorphism(a_map, b_map):
    """Node ids of store a to those of store b, through the node maps of two
    reductions of one store; None when the pairs are not one-to-one."""
    forward, backward = {}, {}
    for ea, eb in zip(a_map, b_map):
        if ea is None or eb is None:
            continue
        if forward.setdefault(ea[0], eb[0]) != eb[0] or backward.setdefault(eb[0], ea[0]) != ea[0]:
            return None
    return forward


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(programs(), st.data())
def test_stepwise_reduction_agrees_with_reduce(program, data):
    g = kc.GraphStore()
    r = kc.IncrementalReducer()
    step_after = data.draw(st.sets(st.integers(0, len(program.calls) - 1)), label="step after calls")
    taken = []

    def after_call(i):
        if i in step_after:
            taken.append(r.step(g))
            assert r.canonical_count() == len(canonical_model(g.nodes())[0])

    ids = program.record(g, after_call)
    assert r.watermark() == r.total_work() == sum(taken)
    outputs = [ids[i] for i in program.outputs]
    nodes = g.nodes()
    canonical, remap = canonical_model(nodes)
    live = {k for k, c in enumerate(remap) if c in reachable(canonical, [remap[o] for o in outputs])}

    for maximal in (False, True):
        reduced, report = r.finalize(g, maximal_fusion=maximal, outputs=outputs)
        assert counters(r) == (g.node_count(), g.node_count(), len(canonical))
        assert report["input_nodes"] == len(canonical)
        check_reduction(nodes, outputs, program.inputs, reduced, report, dead_is_none=False)
        node_map = reduced.node_map()
        assert [k for k, e in enumerate(node_map) if e is not None] == sorted(live)

        # Same graph as the one-shot reduction, up to the order of ids.
        one_shot, one_shot_report = g.reduce(maximal_fusion=maximal, outputs=outputs)
        for key in ("canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"):
            assert report[key] == one_shot_report[key], key
        assert report["reachable_nodes"] <= report["input_nodes"] <= one_shot_report["input_nodes"]
        phi = isomorphism(node_map, one_shot.node_map())
        assert phi is not None and sorted(phi) == sorted(phi.values()) == list(range(reduced.node_count()))
        assert [phi[o] for o in reduced.outputs()] == one_shot.outputs()
        theirs = one_shot.nodes()
        for mine in reduced.nodes():
            other = theirs[phi[mine["id"]]]
            assert [phi[u] for u in mine["inputs"]] == other["inputs"] or mine["kind"] == "stage"
            assert {phi[u] for u in mine["inputs"]} == set(other["inputs"])
            assert {k: v for k, v in mine.items() if k not in ("id", "inputs", "members")} == {
                k: v for k, v in other.items() if k not in ("id", "inputs", "members")
            }

    # Fed a reduced graph read back from its blob, with more recorded on it.
    top = kc.GraphStore.deserialize(reduced.serialize())
    r = kc.IncrementalReducer()
    r.step(top)
    outputs = record_on_top(top)
    again, report = r.finalize(top, outputs=outputs)
    assert r.canonical_count() == len(canonical_model(top.nodes())[0])
    check_reduction(top.nodes(), outputs, program.inputs, again, report, dead_is_none=False)


def test_a_long_chain_stepwise(r):
    """Identity and operator alternate in a chain recorded in steps of 1000."""
    g = kc.GraphStore()
    node = g.add_source("x")
    for i in range(200_000):
        node = g.add_op("add", [node], ADD0) if i % 2 else g.add_op("neg", [node])
        if i % 1000 == 999:
            r.step(g)
    assert r.canonical_count() == 100_001
    reduced, report = r.finalize(g, outputs=np.array([node]))
    assert report["stages"] == 1 and report["canonical_nodes"] == 100_001
    assert reduced.node_map()[-1] == (1, 99_999)
