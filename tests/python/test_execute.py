"""The executor: the default table's meaning on edge values, its errors, what it computes and keeps,
recorded against reduced graphs, numexpr stages against op by op, ONNX externals, and dask."""

import math
import os
import signal
import sys
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvane_core as kc
import korvane
from korvane import fused, sample
from korvane.executor import Program

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import traced  # noqa: E402

NAN, INF = math.nan, math.inf
EDGES = np.array([0.0, -0.0, 1.0, -1.0, 2.5, -3.5, INF, -INF, NAN, 5e-324, -5e-324, 1e308, -1e308, 0.5])


def same(a, b, zero_sign=True):
    """Equal values, NaN equal to NaN; with zero_sign, -0.0 differs from 0.0."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind != "f":
        return bool((a == b).all())
    eq = (a == b) | (np.isnan(a) & np.isnan(b))
    if zero_sign:
        eq &= (np.signbit(a) == np.signbit(b)) | np.isnan(a)
    return bool(eq.all())


def run_op(kind, name, params, *values):
    """Records one node over sources s0, s1, ... and runs it on `values`."""
    g = kc.GraphStore()
    ins = [g.add_source(f"s{i}") for i in range(len(values))]
    add = {"op": g.add_op, "reduction": g.add_reduction}[kind]
    node = add(name, ins, params)
    return korvane.execute(g, {f"s{i}": v for i, v in enumerate(values)}, outputs=[node])[0]


x = EDGES
y = EDGES[::-1].copy()


def F(truths):
    """Comparisons and logical operators give 1.0 and 0.0."""
    return np.array(truths, dtype=float)

with np.errstate(all="ignore"):
    MEANINGS = [
        ("add", {}, (x, y), x + y),
        ("add", {"scalar": 2.0, "side": "l"}, (x, y, x), (2.0 + (x + y)) + x),
        ("add", {"scalar": 1.0, "side": "r"}, (x, y, x), ((x + y) + x) + 1.0),
        ("sub", {}, (x, y), x - y),
        ("sub", {"scalar": 1.0, "side": "l"}, (x,), 1.0 - x),
        ("sub", {"scalar": 1.0}, (x,), x - 1.0),  # side defaults to "r"
        ("div", {"scalar": 2.0, "side": "l"}, (x,), 2.0 / x),
        ("div", {}, (x, y), x / y),
        ("mul", {"scalar": -0.0, "side": "r"}, (x,), x * -0.0),
        ("neg", {}, (x,), -x),
        ("abs", {}, (x,), np.abs(x)),
        ("exp", {}, (x,), np.exp(x)),
        ("log", {}, (x,), np.log(x)),
        ("log1p", {}, (x,), np.log1p(x)),
        ("sqrt", {}, (x,), np.sqrt(x)),
        ("tanh", {}, (x,), np.tanh(x)),
        ("relu", {}, (np.array([-1.0, 2.0, NAN, -INF]),), np.array([0.0, 2.0, NAN, 0.0])),
        ("sigmoid", {}, (np.array([0.0, 2.0]),), np.array([0.5, 1 / (1 + math.exp(-2.0))])),
        ("sigmoid", {"temperature": 2.0}, (np.array([0.0, 2.0, -INF]),), np.array([0.5, 1 / (1 + math.exp(-1.0)), 0.0])),
        ("clip", {"lo": -1.0, "hi": 1.0}, (np.array([-5.0, 0.5, 5.0, NAN]),), np.array([-1.0, 0.5, 1.0, NAN])),
        ("maximum", {}, (np.array([1.0, NAN, 3.0]), np.array([2.0, 1.0, NAN])), np.array([2.0, NAN, NAN])),
        ("minimum", {"scalar": 0.0, "side": "r"}, (np.array([1.0, -1.0, NAN]),), np.array([0.0, -1.0, NAN])),
        ("ge", {"scalar": 0.5, "side": "r", "strict": False}, (np.array([0.5, 0.4, NAN]),), F([True, False, False])),
        ("ge", {"scalar": 0.5, "side": "r", "strict": True}, (np.array([0.5, 0.6]),), F([False, True])),
        ("ge", {"scalar": 0.5, "side": "l"}, (np.array([0.5, 0.6]),), F([True, False])),  # 0.5 >= x
        ("gt", {}, (np.array([1.0, 2.0]), np.array([1.0, 1.0])), F([False, True])),
        ("gt", {"strict": False}, (np.array([1.0, 0.0]), np.array([1.0, 1.0])), F([True, False])),
        ("lt", {"scalar": 1.0}, (np.array([1.0, 0.0]),), F([False, True])),
        ("le", {"scalar": 1.0}, (np.array([1.0, 2.0]),), F([True, False])),
        ("eq", {}, (np.array([NAN, 0.0]), np.array([NAN, -0.0])), F([False, True])),
        ("ne", {"scalar": 0.0}, (np.array([NAN, -0.0]),), F([True, False])),
        ("and", {}, (np.array([0.0, NAN, 2.0]), np.array([1.0, 1.0, 1.0])), F([False, True, True])),
        ("or", {"scalar": False}, (np.array([0.0, -0.0, NAN]),), F([False, False, True])),
    ]


@pytest.mark.parametrize("name,params,values,expected", MEANINGS,
                         ids=[f"{m[0]}-{i}" for i, m in enumerate(MEANINGS)])
def test_default_operators_mean_what_the_table_says(name, params, values, expected):
    assert same(run_op("op", name, params, *values), expected)


M = np.array([[1.0, NAN, 3.0], [4.0, 5.0, -0.0]])


@pytest.mark.parametrize("name,params,expected", [
    ("sum", {"axis": 1}, np.array([NAN, 9.0])),
    ("sum", {}, NAN),
    ("mean", {"axis": 0}, np.array([2.5, NAN, 1.5])),
    ("max", {"axis": 0}, np.array([4.0, NAN, 3.0])),
    ("min", {"axis": 1}, np.array([NAN, -0.0])),
    ("prod", {"axis": 0}, np.array([4.0, NAN, -0.0])),
    ("count", {"axis": 0}, np.array([2, 1, 2])),
    ("count", {}, 5),
])
def test_reductions_follow_numpy_along_their_axis(name, params, expected):
    got = run_op("reduction", name, params, M)
    assert same(np.asarray(got, dtype=np.asarray(expected).dtype), expected)


def test_reductions_of_pandas_values_follow_pandas():
    pd = pytest.importorskip("pandas")
    s = pd.Series([1.0, NAN, 2.0])
    assert run_op("reduction", "sum", {}, s) == 3.0  # pandas skips NaN
    assert run_op("reduction", "count", {}, s) == 2
    out = run_op("op", "add", {"scalar": 1.0, "side": "l"}, s)
    assert isinstance(out, pd.Series) and same(out.to_numpy(), np.array([2.0, NAN, 3.0]))


def errors():
    g = kc.GraphStore()
    a = g.add_source("a")
    cases = {
        "missing op": (g.add_op("sin", [a]), r"node 1 \(op 'sin'\): op 'sin' has no implementation"),
        "unread parameter": (g.add_op("neg", [a], {"scale": 0.5}),
                             r"node 2 \(op 'neg'\): parameter 'scale' is not read"),
        "missing parameter": (g.add_op("clip", [a], {"lo": 0.0}), r"node 3 \(op 'clip'\): parameter 'hi' is required"),
        "side without scalar": (g.add_op("add", [a, a], {"side": "r"}), r"node 4 .*'side' needs a 'scalar'"),
        "bad side": (g.add_op("sub", [a], {"scalar": 1.0, "side": "x"}), r"node 5 .*'side' must be"),
        "arity": (g.add_op("sub", [a, a, a]), r"node 6 .*takes 2 operands"),
        "unary arity": (g.add_op("exp", [a, a]), r"node 7 .*takes exactly 1 input"),
        "reduction parameter": (g.add_reduction("sum", [a], {"axes": 0}),
                                r"node 8 \(reduction 'sum'\): parameter 'axes' is not read"),
        "missing reduction": (g.add_reduction("median", [a]), r"reduction 'median' has no implementation; "
                                                               r"pass ops=\{'reduction:median'"),
        "exchange scheme": (g.add_exchange([a], {"scheme": "range", "parts": 4, "key": "k"}), r"node 10 .*'range'"),
        "missing external": (g.add_external(dict(kind="onnx", content_hash="sha256:ab", framework="onnxruntime",
                                                 version="1", io_schema="f32->f32"), [a]),
                             r"node 11 \(external 'sha256:ab'\): no implementation for external 'sha256:ab'"),
    }
    return g, cases


@pytest.mark.parametrize("case", list(errors()[1]))
def test_what_the_executor_refuses_names_the_node_before_computing(case):
    g, cases = errors()
    node, message = cases[case]
    calls = []
    with pytest.raises(ValueError, match=message):
        korvane.execute(g, lambda name, params: calls.append(name), outputs=[0, node])
    assert calls == []  # nothing ran


def test_errors_at_run_time_name_missing_sources_and_unsuited_values():
    g = kc.GraphStore()
    a, b = g.add_source("a"), g.add_source("b", {"day": 1})
    s = g.add_op("add", [a, b])
    with pytest.raises(ValueError, match=r"node 1 \(source 'b'\): no value in sources \(given: 'a'\)"):
        korvane.execute(g, {"a": 1.0}, outputs=[s])
    g.add_source("b", {"day": 2})
    twin = g.add_op("add", [s, 3])
    with pytest.raises(ValueError, match="differ in their parameters; pass a callable"):
        korvane.execute(g, {"a": 1.0, "b": 2.0}, outputs=[twin])
    assert korvane.execute(g, lambda name, p: p.get("day", 0) * 10.0, outputs=[twin]) == [30.0]
    e = g.add_exchange([a], {"scheme": "hash", "parts": 2, "key": "k"})
    with pytest.raises(TypeError, match="exchange needs a pandas or dask DataFrame, not numpy.ndarray"):
        korvane.execute(g, {"a": np.zeros(3)}, outputs=[e])
    with pytest.raises(ValueError, match="no node with id 99"):
        korvane.execute(g, {}, outputs=[99])
    with pytest.raises(ValueError, match="marks no outputs"):
        korvane.execute(g, {})


def test_user_ops_add_and_override_by_kind_and_their_signature_says_what_they_read():
    g = kc.GraphStore()
    a = g.add_source("a")
    sq = g.add_op("square", [a], {"offset": 1.0})
    ex = g.add_op("exchange", [sq])  # an operator that happens to be called like a kind
    r = g.add_reduction("sum", [ex], {"axis": 0})
    ops = {"square": lambda x, *, offset: x * x + offset, "op:exchange": lambda x: -x,
           "reduction:sum": lambda x, axis: ("summed", axis, x.tolist())}
    assert korvane.execute(g, {"a": np.array([1.0, 2.0])}, outputs=[r], ops=ops) == [("summed", 0, [-2.0, -5.0])]
    with pytest.raises(ValueError, match=r"node 1 \(op 'square'\): parameter 'offset' is not read"):
        korvane.execute(g, {"a": 1.0}, outputs=[sq], ops={"square": lambda x: x * x})
    assert korvane.execute(g, {"a": 2.0}, outputs=[sq], ops={"square": lambda x, **kw: x * x + kw["offset"]}) == [5.0]


class Blob:
    """A value that counts how many of its kind are alive."""

    alive = 0
    peak = 0

    def __init__(self, v):
        self.v = v
        Blob.alive += 1
        Blob.peak = max(Blob.peak, Blob.alive)

    def __del__(self):
        Blob.alive -= 1


def test_only_reached_nodes_run_each_once_and_values_are_dropped_after_their_last_reader():
    g = kc.GraphStore()
    calls = []
    x = g.add_source("x")
    chain = [x]
    for i in range(30):
        chain.append(g.add_op("step", [chain[-1]], {"i": i}))
    side = g.add_op("step", [chain[5]], {"i": 99})  # read late: kept alive until then
    dead = g.add_op("step", [chain[-1]], {"i": -1})
    out = g.add_op("pair", [chain[-1], side])
    ops = {"step": lambda b, *, i: calls.append(i) or Blob(b.v + 1),
           "pair": lambda a, b: Blob(a.v + b.v)}
    Blob.alive = Blob.peak = 0
    result = korvane.execute(g, {"x": Blob(0)}, outputs=[out, chain[3]], ops=ops)
    assert [b.v for b in result] == [30 + 6, 3]
    assert sorted(calls) == sorted([*range(30), 99]) and dead not in calls
    assert Blob.peak <= 5  # the chain's head, side's input, the outputs and one new value
    del result
    assert Blob.alive == 0


def test_stage_members_read_stage_inputs_and_earlier_members_as_recorded():
    rec = sample.record()
    reduced, _ = rec.store.reduce(outputs=[rec.outputs[1]])
    stage = [n for n in reduced.nodes() if n["kind"] == "stage"][1]
    assert ("input", 0) in stage["members"][1]["inputs"]  # add(input 0, member 0): a stage input read twice
    rng = np.random.default_rng(0)
    src = {"clicks": rng.random(50), "views": rng.random(50) + 0.1, "weights": rng.standard_normal(50) * 4}
    c, v, w = src["clicks"], src["views"], src["weights"]
    scaled = w * np.log1p(c / v)
    expected = np.sum(np.maximum(scaled + np.clip(scaled, -5, 5), 0.0))
    for fuse in (True, False):
        assert korvane.execute(reduced, src, fuse=fuse) == [expected]
        assert korvane.execute(rec.store, src, outputs=[rec.outputs[1]], fuse=fuse) == [expected]


# Recorded against reduced, on random traced programs

UNARY = ["neg", "abs", "exp", "log1p", "sqrt", "tanh", "relu", "log"]
BINARY = ["add", "mul", "sub", "div", "maximum", "minimum", "ge", "eq", "and"]
IDENTITY = [("add", {"scalar": 0.0, "side": "r"}), ("add", {"scalar": 0.0, "side": "l"}),
            ("mul", {"scalar": 1.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"})]
SCALAR = [("sub", {"scalar": 1.5, "side": "l"}), ("div", {"scalar": 3.0, "side": "r"}), ("clip", {"lo": -2.0, "hi": 2.0}),
          ("sigmoid", {"temperature": 0.5}), ("gt", {"scalar": 0.0, "strict": False}), ("mul", {"scalar": -0.0})]


@st.composite
def traced_programs(draw):
    """(calls, outputs): element-wise chains over three sources with identities, commuted twins,
    repeats and sum reductions; comparisons feed and/or and arithmetic like any value."""
    calls = [("source", f"s{i}") for i in range(3)]
    for _ in range(draw(st.integers(3, 40))):
        k = len(calls)
        pick = st.integers(max(0, k - 3), k - 1) if draw(st.booleans()) else st.integers(0, k - 1)
        what = draw(st.sampled_from(["unary", "binary", "binary", "identity", "scalar", "twin", "repeat", "sum"]))
        if what == "unary":
            calls.append(("op", draw(st.sampled_from(UNARY)), [draw(pick)], None))
        elif what == "binary":
            calls.append(("op", draw(st.sampled_from(BINARY)), [draw(pick), draw(pick)], None))
        elif what in ("identity", "scalar"):
            name, params = draw(st.sampled_from(IDENTITY if what == "identity" else SCALAR))
            calls.append(("op", name, [draw(pick)], params))
        elif what == "twin" and calls[-1][0] == "op" and len(calls[-1][2]) == 2:
            _, name, (a, b), params = calls[-1]
            calls.append(("op", name, [b, a], params))
        elif what == "repeat":
            calls.append(calls[draw(st.integers(0, k - 1))])
        else:
            calls.append(("reduction", "sum", [draw(pick)], {"axis": 0}))
    k = len(calls)
    outputs = draw(st.lists(st.integers(max(0, k - 6), k - 1), min_size=1, max_size=3))
    return calls, outputs


def record(calls):
    g = kc.GraphStore()
    ids = []
    for call in calls:
        if call[0] == "source":
            ids.append(g.add_source(call[1]))
        else:
            kind, name, ins, params = call
            ids.append((g.add_op if kind == "op" else g.add_reduction)(name, [ids[i] for i in ins], params))
    return g, ids


floats = st.one_of(st.sampled_from([0.0, -0.0, 1.0, -1.0, INF, -INF, NAN, 5e-324, 1e308]),
                   st.floats(-1e6, 1e6), st.floats(allow_nan=True, allow_infinity=True))


@settings(max_examples=30, deadline=None)
@given(traced_programs(), st.lists(floats, min_size=8, max_size=8), st.booleans())
def test_recorded_and_reduced_graphs_give_the_same_outputs(program, data, maximal):
    calls, outs = program
    g, ids = record(calls)
    rng = np.random.default_rng(len(calls))
    src = {f"s{i}": rng.permutation(np.array(data)) for i in range(3)}
    outputs = [ids[o] for o in outs]
    reduced, _ = g.reduce(outputs=outputs, maximal_fusion=maximal)
    landed = [reduced.node_map()[o][0] for o in outputs]

    before = korvane.execute(g, src, outputs=outputs, fuse=False)
    fused_run = korvane.execute(reduced, src, outputs=landed, fuse="numexpr")
    op_by_op = korvane.execute(reduced, src, outputs=landed, fuse=False)
    block, fused.BLOCK = fused.BLOCK, 3  # blocks of 3, 3 and 2 elements
    try:
        blocks = korvane.execute(reduced, src, outputs=landed)
    finally:
        fused.BLOCK = block
    for b, f, k, o in zip(before, fused_run, blocks, op_by_op):
        assert same(b, o, zero_sign=False)  # x + 0.0 -> x may flip a zero's sign
        assert same(f, o)  # numexpr kernels are exact
        assert same(k, o)  # and so are blocks


@pytest.mark.parametrize("seed", [1, 2])
def test_a_traced_pipeline_runs_recorded_reduced_and_fused_alike(seed, monkeypatch):
    monkeypatch.setattr(fused, "BLOCK", 16)
    g = kc.GraphStore()
    outputs = traced.trace(WithoutScale(g), 400, seed=seed)
    reduced, _ = g.reduce(outputs=outputs)
    rng = np.random.default_rng(seed)
    names = {n["name"] for n in g.nodes() if n["kind"] == "source"}
    src = {name: rng.standard_normal(64) for name in names}
    models = {m.content_hash: (lambda x, s, batch: x - s) for m in traced.MODELS}
    ops = {"exchange": lambda x, **p: x, "join": lambda a, b, how, on: a + b}
    want = korvane.execute(g, src, outputs=outputs, ops=ops, externals=models, fuse=False)
    landed = [reduced.node_map()[o][0] for o in outputs]
    runs = []
    for fuse in (False, True, "numexpr"):
        program = Program(reduced, ops=ops, externals=models, fuse=fuse)
        assert (program.blocked_stages > 0) == (fuse is True) and (program.fused_stages > 0) == (fuse == "numexpr")
        got = program.run(src)
        runs.append([got[reduced.outputs().index(n)] for n in landed])
    assert all(same(a, b, zero_sign=False) for a, b in zip(want, runs[0]))
    for run in runs[1:]:
        assert all(same(a, b) for a, b in zip(runs[0], run))


class WithoutScale:
    """Records through `store`, leaving out the `scale` parameter the traced generator gives some
    unary operators (the default table has no meaning for it)."""

    def __init__(self, store):
        self.store = store

    def add_op(self, name, inputs, params=None):
        params = {k: v for k, v in (params or {}).items() if k != "scale"}
        return self.store.add_op(name, inputs, params or None)

    def __getattr__(self, name):
        return getattr(self.store, name)


# Blocks and numexpr kernels against op by op

def test_element_wise_stages_run_block_by_block_with_the_values_of_op_by_op(monkeypatch):
    from korvane import executor
    monkeypatch.setattr(fused, "BLOCK", 7)
    whole, blocked = [], []
    monkeypatch.setattr(executor._Stage, "_op_by_op",
                        lambda self, args, real=executor._Stage._op_by_op: whole.append(len(args[0])) or real(self, args))
    monkeypatch.setattr(fused, "run_blocks", lambda program, args, shape, threads, real=fused.run_blocks:
                        blocked.append(shape) or real(program, args, shape, threads))
    g = kc.GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    t = g.add_op("maximum", [g.add_op("mul", [a, b]), b])
    t = g.add_op("clip", [g.add_op("relu", [g.add_op("sub", [t, a])])], {"lo": 0.5, "hi": 3.0})
    t = g.add_op("sigmoid", [g.add_op("add", [g.add_op("log1p", [t]), g.add_op("tanh", [a])])], {"temperature": 2.0})
    t = g.add_op("minimum", [g.add_op("ge", [t, a], {"strict": True}), g.add_op("exp", [b])])
    t = g.add_op("and", [t, g.add_op("or", [a, b], {"scalar": 0})], {"scalar": True, "side": "l"})
    t = g.add_op("div", [g.add_op("add", [a, t, b], {"scalar": 2, "side": "l"}), g.add_op("lt", [b], {"scalar": 0.5})])
    reduced = stage_of(g, [t])
    assert Program(reduced).blocked_stages == 1
    rng = np.random.default_rng(5)
    va = np.concatenate([EDGES, EDGES[::-1], rng.standard_normal(73)])
    vb = np.concatenate([EDGES[3:], EDGES[:3], EDGES, rng.standard_normal(73)])
    for b_value in (vb, 0.5):
        src = {"a": va, "b": b_value}
        got, = korvane.execute(reduced, src)
        assert blocked == [va.shape] and not whole
        blocked.clear()
        assert same(got, korvane.execute(reduced, src, fuse=False)[0])
        assert whole == [len(va)] and not blocked  # op by op: the whole arrays at once
        whole.clear()
    src = {"a": va[:100].reshape(5, -1), "b": vb[:100].reshape(5, -1)}  # any shape: blocks of the flattened arrays
    got, = korvane.execute(reduced, src)
    assert got.shape == (5, 20) and same(got, korvane.execute(reduced, src, fuse=False)[0])
    blocked.clear()
    whole.clear()
    korvane.execute(reduced, {"a": va, "b": vb[:1]})  # shapes that broadcast: whole arrays
    assert whole == [len(va)] and not blocked

@pytest.mark.parametrize("threads", [2, 3, 5])
def test_a_stage_shared_by_threads_gives_the_values_of_one_thread(monkeypatch, threads):
    monkeypatch.setattr(fused, "BLOCK", 8)
    monkeypatch.setattr(fused, "BLOCKS_PER_THREAD", 1)
    g = kc.GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    t = g.add_op("log", [g.add_op("sub", [g.add_op("tanh", [a]), b])])  # log of negatives: NaN, warnings
    t = g.add_op("div", [g.add_op("mul", [t, a]), g.add_op("sqrt", [b])])
    reduced = stage_of(g, [t])
    parts = []
    real = fused._run_range
    monkeypatch.setattr(fused, "_run_range",
                        lambda *args: parts.append((args[5], args[6], threading.get_ident())) or real(*args))
    rng = np.random.default_rng(threads)
    src = {"a": np.concatenate([EDGES, rng.standard_normal(61)]), "b": np.concatenate([EDGES[::-1], rng.normal(size=61)])}
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # every thread runs under the run's error state
        got, = korvane.execute(reduced, src, threads=threads)
    ranges = sorted((begin, end) for begin, end, _ in parts)  # 75 elements: 10 blocks of 8, in whole blocks
    assert len(ranges) == threads and ranges[0][0] == 0 and ranges[-1][1] == 75
    assert all(e == b and b % 8 == 0 for (_, e), (b, _) in zip(ranges, ranges[1:]))
    assert {ident for *_, ident in parts} - {threading.get_ident()}  # not all on the calling thread
    assert same(got, korvane.execute(reduced, src, threads=1)[0])
    assert same(got, korvane.execute(reduced, src, fuse=False)[0])


@pytest.mark.parametrize("threads,error", [(0, ValueError), (65, ValueError), (True, TypeError), (2.0, TypeError)])
def test_a_thread_count_is_a_positive_int(threads, error):
    g = kc.GraphStore()
    with pytest.raises(error, match="threads must be"):
        korvane.execute(g, {}, outputs=[g.add_op("neg", [g.add_source("a")])], threads=threads)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_runs_threaded_stages_on_threads_of_its_own(monkeypatch):
    monkeypatch.setattr(fused, "BLOCK", 8)
    monkeypatch.setattr(fused, "BLOCKS_PER_THREAD", 1)
    g = kc.GraphStore()
    reduced = stage_of(g, [g.add_op("exp", [g.add_op("neg", [g.add_source("a")])])])
    v = np.linspace(0, 1, 100)
    korvane.execute(reduced, {"a": v}, threads=2)  # the parent's pool has a thread now
    pid = os.fork()
    if pid == 0:  # the child: its copy of the pool has no thread behind it
        try:
            ok = same(korvane.execute(reduced, {"a": v}, threads=2)[0], np.exp(-v))
        finally:
            os._exit(0 if ok else 1)
    deadline = time.monotonic() + 60
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if done[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the child hung")
    assert os.waitstatus_to_exitcode(done[1]) == 0


def stage_of(store, outputs, maximal=False):
    reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
    return reduced


def test_arrays_a_run_reuses_for_stage_outputs_are_only_those_nobody_holds(monkeypatch):
    monkeypatch.setattr(fused, "BLOCK", 8)
    g = kc.GraphStore()
    a = g.add_source("a")
    first = g.add_op("exp", [g.add_op("neg", [a])])
    kept = g.add_op("keep", [first])  # holds on to the stage's output
    x = g.add_op("tanh", [g.add_op("add", [kept, a])])
    y = g.add_op("sqrt", [g.add_op("abs", [g.add_op("mul", [x, a])])])  # x is dropped here, free to reuse
    z = g.add_op("log1p", [g.add_op("mul", [y, y])])
    reduced = stage_of(g, [z])
    held = []
    ops = {"keep": lambda v: held.append(v) or v * 1.0}
    va = np.linspace(-3, 3, 50)
    got, = korvane.execute(reduced, {"a": va}, ops=ops)
    assert same(held[0], np.exp(-va)) and same(got, korvane.execute(reduced, {"a": va}, ops=ops, fuse=False)[0])
    assert same(va, np.linspace(-3, 3, 50))  # a source is never written


def test_a_run_keeps_a_bounded_few_spare_arrays_for_the_next_runs_stages(monkeypatch):
    monkeypatch.setattr(fused, "BLOCK", 8)
    monkeypatch.setattr(fused, "KEEP_SPARE_BYTES", 50 * 8)  # one array of 50 float64
    fused.free_buffers()
    g = kc.GraphStore()
    a = g.add_source("a")
    x = g.add_op("tanh", [g.add_op("add", [g.add_op("see", [g.add_op("exp", [a])]), a])])  # a stage run op by op
    z = g.add_op("log1p", [g.add_op("mul", [x, x])])  # a stage in blocks: its output comes from the spares
    reduced = stage_of(g, [z])
    program = Program(reduced, ops={"see": lambda v: v * 1.0}, threads=1)
    assert program.blocked_stages == 1
    va, vb = np.linspace(-3, 3, 50), np.linspace(-1, 1, 50)
    want, = program.run({"a": va})
    expected = want.copy()
    kept = [x for arrays in fused._BUFFERS.spare.values() for x in arrays]
    assert len(kept) == 1 and kept[0] is not want  # the first stage's dropped output, nothing a caller holds
    got, = program.run({"a": vb})
    assert got is kept[0] and same(want, expected)  # the next run wrote into it, and only into it
    assert same(got, korvane.execute(reduced, {"a": vb}, ops={"see": lambda v: v * 1.0}, fuse=False)[0])
    fused.free_buffers()
    assert not fused._BUFFERS.spare and not fused._BUFFERS.arrays


def test_a_stage_of_exact_forms_is_one_kernel_and_matches_op_by_op_bitwise():
    pytest.importorskip("numexpr")
    g = kc.GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    t = g.add_op("sub", [g.add_op("mul", [a, b]), a])
    t = g.add_op("div", [g.add_op("neg", [t]), g.add_op("abs", [b])])
    t = g.add_op("sqrt", [g.add_op("add", [t], {"scalar": -0.0, "side": "l"})])
    t = g.add_op("div", [t], {"scalar": 3.0, "side": "r"})  # numexpr's own rewrite would make it * (1/3)
    cmp = g.add_op("and", [g.add_op("ge", [t], {"scalar": 0.1, "strict": True}), b])
    reduced = stage_of(g, [t, cmp], maximal=True)
    program = Program(reduced, fuse="numexpr")
    stages = [n for n in program.nodes if n.run is not None and hasattr(n.run, "plan")]
    kernels = sum(s.run.plan.kernels for s in stages)
    assert kernels and all(s.run.plan is not None for s in stages)
    rng = np.random.default_rng(3)
    va = np.concatenate([EDGES, rng.standard_normal(5000) * 10.0 ** rng.integers(-300, 300, 5000)])
    vb = rng.permutation(va)
    src = {"a": va, "b": vb}
    for got, want in zip(program.run(src), korvane.execute(reduced, src, fuse=False)):
        assert same(got, want)


@pytest.mark.parametrize("inputs", [
    {"a": np.arange(6, dtype=np.float32), "b": np.float32(2.0)},  # float32: numpy's own rules
    {"a": np.arange(6), "b": 3},  # ints: true division gives floats
    {"a": 2.0, "b": 4.0},  # scalars only
    {"a": np.arange(6.0), "b": np.float64(0.5)},  # an array beside a scalar: the kernel broadcasts
])
def test_values_a_kernel_does_not_take_run_op_by_op_with_the_same_result(inputs):
    pytest.importorskip("numexpr")
    g = kc.GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    out = g.add_op("neg", [g.add_op("div", [g.add_op("add", [a, b]), b])])
    reduced = stage_of(g, [out])
    got, = korvane.execute(reduced, inputs, fuse="numexpr")
    want, = korvane.execute(reduced, inputs, fuse=False)
    assert type(got) is type(want) and same(got, want)


def test_members_without_an_exact_form_run_op_by_op_between_kernels():
    pytest.importorskip("numexpr")
    g = kc.GraphStore()
    a = g.add_source("a")
    t = g.add_op("add", [g.add_op("exp", [g.add_op("mul", [a, a])]), a])
    t = g.add_op("relu", [g.add_op("add", [t, a], {"scalar": 1.0, "side": "r"})])
    t = g.add_op("mul", [g.add_op("sigmoid", [t]), a], {"scalar": INF, "side": "r"})
    reduced = stage_of(g, [t])
    stage = next(n for n in reduced.nodes() if n["kind"] == "stage")
    plan = fused.plan(stage["members"], korvane.ops.DEFAULT_TABLE)
    kinds = [(stage["members"][s.member]["name"], s.kernel is not None) for s in plan.steps]
    assert ("exp", False) in kinds and ("relu", False) in kinds and ("sigmoid", False) in kinds
    assert kinds[-1] == ("mul", False)  # an inf scalar stays with numpy
    assert fused.plan(stage["members"], korvane.ops.DEFAULT_TABLE) is plan  # cached by structure
    overridden = korvane.ops.make_table({"add": np.add, "sub": np.subtract, "mul": np.multiply})
    assert fused.plan(stage["members"], overridden) is None  # overridden ops never fuse
    v = np.concatenate([EDGES, np.linspace(-30, 30, 999)])
    assert same(korvane.execute(reduced, {"a": v}, fuse="numexpr")[0], korvane.execute(reduced, {"a": v}, fuse=False)[0])


# ONNX externals

def onnx_model(scale=2.0, dtype="float"):
    onnx = pytest.importorskip("onnx")
    pytest.importorskip("onnxruntime")
    from onnx import TensorProto, helper
    t = {"float": TensorProto.FLOAT, "double": TensorProto.DOUBLE}[dtype]
    graph = helper.make_graph(
        [helper.make_node("Mul", ["x", "k"], ["xk"]), helper.make_node("Add", ["xk", "w"], ["y"])],
        "score",
        [helper.make_tensor_value_info("x", t, ["n"]), helper.make_tensor_value_info("w", t, ["n"])],
        [helper.make_tensor_value_info("y", t, ["n"])],
        [helper.make_tensor("k", t, [], [scale])],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model.SerializeToString()


def external_graph(framework="onnxruntime", params=None, inputs=2):
    g = kc.GraphStore()
    srcs = [g.add_source(n) for n in ("x", "w")[:inputs]]
    d = dict(kind="onnx", content_hash="sha256:feed", framework=framework, version="1.17", io_schema="f32[n]")
    return g, g.add_external(d, srcs, params)


def test_an_onnx_external_runs_from_bytes_or_a_path_in_batches_with_the_models_dtypes(tmp_path):
    model = onnx_model()
    path = tmp_path / "m.onnx"
    path.write_bytes(model)
    x, w = np.arange(10.0), np.full(10, 0.5)
    for given in (model, str(path), path):
        for params in (None, {"batch": 3}):
            g, e = external_graph(params=params)
            y, = korvane.execute(g, {"x": x, "w": w}, outputs=[e], externals={"sha256:feed": given})
            assert y.dtype == np.float32 and same(y, (x * 2 + w).astype(np.float32))


@pytest.mark.parametrize("case,error,message", [
    ("framework", ValueError, r"node 2 \(external 'sha256:feed'\): framework 'ort' cannot run an ONNX model"),
    ("inputs", ValueError, r"the model takes 2 inputs \(x, w\), the node gives 1"),
    ("rank", ValueError, r"input 0 \('x'\) must have shape \['n'\], got \[5, 2\]"),
    ("bytes", ValueError, r"cannot load the ONNX model from bytes"),
    ("param", ValueError, r"parameter 'threads' is not read"),
    ("type", TypeError, r"must be a callable, ONNX model bytes or a path, not int"),
])
def test_bad_externals_are_clear_errors(case, error, message):
    model = onnx_model()
    g, e = external_graph(framework="ort" if case == "framework" else "onnxruntime",
                          inputs=1 if case == "inputs" else 2, params={"threads": 2} if case == "param" else None)
    given = {"bytes": b"not a model", "type": 3}.get(case, model)
    x = np.zeros((5, 2)) if case == "rank" else np.zeros(5)
    with pytest.raises(error, match=message):
        korvane.execute(g, {"x": x, "w": np.zeros(5)}, outputs=[e], externals={"sha256:feed": given})


# Dask

@pytest.fixture
def cluster():
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, worker_dashboard_address=None, timeout="60s") as lc, \
            distributed.Client(lc, timeout="60s") as client:
        yield client


def demo_frames(rows=400, seed=0):
    """The demo pipeline's sources as DataFrames: per-user features indexed by user_id (so that element-wise
    arithmetic lines users up), and the users dimension with user_id as a column to join on."""
    import pandas as pd
    rng = np.random.default_rng(seed)
    index = pd.Index(np.arange(rows), name="user_id")
    frame = lambda values: pd.DataFrame({"f": values}, index=index)  # noqa: E731
    return {
        "clicks": frame(rng.integers(0, 20, rows).astype(float)),
        "views": frame(rng.integers(1, 50, rows).astype(float)),
        "weights": frame(rng.standard_normal(rows)),
        "users": pd.DataFrame({"user_id": np.arange(0, rows, 2), "country": rng.integers(0, 5, rows // 2)}),
    }


def demo_model(act, weights, batch):
    """The scoring model as a callable: a frame of scores with user_id as a column to exchange on."""
    score = act["f"] * 0.75 - weights["f"] * 0.1
    return score.to_frame("f").reset_index()


def demo_ops():
    # sigmoid and the threshold apply to the score only; the key column passes through.
    def on_score(fn):
        def apply(frame, **params):
            return frame.assign(f=fn(frame[["f"]], **params)["f"])
        return apply
    return {"sigmoid": on_score(korvane.ops.DEFAULT_TABLE["sigmoid"].fn),
            "ge": on_score(korvane.ops.DEFAULT_TABLE["ge"].fn)}


def test_the_demo_pipeline_on_dask_dataframes_in_a_local_cluster_matches_pandas(cluster):
    import dask
    import dask.dataframe as dd
    import distributed
    frames = demo_frames()
    rec = sample.record()
    reduced, _ = rec.store.reduce(outputs=rec.outputs)
    externals = {sample.MODEL.content_hash: demo_model}
    want = korvane.execute(reduced, frames, externals=externals, ops=demo_ops())
    lazy = {k: dd.from_pandas(v, npartitions=4) for k, v in frames.items()}
    tasks = {}
    for name, store, outs in (("recorded", rec.store, rec.outputs), ("reduced", reduced, None)):
        got = korvane.execute(store, lazy, outputs=outs, externals=externals, ops=demo_ops())
        tasks[name] = (dask_tasks(got, optimize=False), dask_tasks(got, optimize=True))
        futures = cluster.compute(got)
        distributed.wait(futures, timeout=60)
        flags, total = cluster.gather(futures)
        flags = flags.sort_values("user_id").reset_index(drop=True)
        expected = want[0].sort_values("user_id").reset_index(drop=True)
        assert flags.equals(expected)
        assert np.allclose(total.to_numpy(), want[1].to_numpy())
    print(f"\ndask tasks (as built, after dask's optimization): recorded graph {tasks['recorded']}, "
          f"reduced graph {tasks['reduced']}")
    assert tasks["reduced"][0] < tasks["recorded"][0]


def dask_tasks(collections, optimize):
    """How many tasks computing `collections` together makes (shared tasks once)."""
    keys = set()
    for c in collections:
        keys |= set(dict((c.optimize() if optimize else c).__dask_graph__()))
    return len(keys)


BLOCK = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in {"numpy", "numexpr", "pandas", "dask", "onnxruntime", "pyarrow"}:
            raise ImportError(name)
sys.meta_path.insert(0, Block())
"""


def test_the_package_imports_without_its_extras_and_says_which_to_install(tmp_path):
    import subprocess
    g = kc.GraphStore()
    blob = tmp_path / "g.kir"
    blob.write_bytes(g.serialize(outputs=[g.add_op("neg", [g.add_source("a")])]))
    code = BLOCK + f"""
import korvane, korvane.executor, korvane.check, korvane.run_cli, korvane.cli, korvane_core
try:
    korvane.execute(korvane_core.GraphStore.deserialize(open({str(blob)!r}, "rb").read()), {{"a": 1.0}})
except korvane.MissingDependency as e:
    print(e)
sys.argv = ["korvane", "run", {str(blob)!r}, "--source", "a=a.npy"]
sys.exit(korvane.cli.main())
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    line = "numpy is not installed; install the extra: pip install 'korvane_core[run]'"
    assert done.stdout == f"korvane: {line}\n"
    assert (done.returncode, done.stderr) == (2, f"korvane: error: {line}\n")
