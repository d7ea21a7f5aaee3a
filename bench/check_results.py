"""Byte-identity check of reduction results against recorded digests.

Builds a fixed set of graphs, reduces each of them in several ways and
hashes what comes out: the reduced store's blob, its node map and its
report. The digests recorded in results.sha256 come from a known-good
build; a change that only reorganises the core (containers, memory
layout, prefetching, how operators get their symbols) must reproduce every
one of them.

Cases, each reduced with the single-use fusion rule, with maximal fusion
and through an IncrementalReducer stepped in batches while recording:
  traced-*    traced pipelines of 1e3 to 1e6 nodes (bench/traced.py), also
              reduced again (a store full of stages), and read back from a
              blob with operators recorded over its stages;
  kinds       one hand-made graph with every node kind, the identity and
              commutativity rules on both sides, their near misses, and
              parameters of every value kind (NaN payloads, -0.0, odd
              names);
  programs    a hundred small random programs over the same vocabulary.

Per case and component the fixture holds a sha256 line. The "input"
component is the blob of the graph that was reduced: when it differs, the
graph generator (or recording) changed, not the reduction.

    python bench/check_results.py --write   # records bench/results.sha256
    python bench/check_results.py           # checks; exits 1 on any mismatch
    python bench/check_results.py --quick   # the same without the 1e6 cases
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import struct
import sys
import time
from typing import Any, Callable, Iterator

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import korvane_core as kc  # noqa: E402
from traced import trace  # noqa: E402

FIXTURE = os.path.join(HERE, "results.sha256")
COMPONENTS = ("input", "blob", "map", "report")
RECORDING = ("add_source", "add_op", "add_reduction", "add_external", "add_exchange", "add_join")
TRACED_SIZES = (("1e3", 1_000), ("1e4", 10_000), ("1e5", 100_000), ("1e6", 1_000_000))
HEAVY = "traced-1e6/"  # the cases --quick leaves out
# The rewrite run stops after 5 seconds, keeping the merges made so far; a
# reduction that comes near that limit may legitimately differ on a loaded
# machine, so such cases are flagged.
SLOW_SECONDS = 2.5
TIMES = " in all; the time shown per case is that of its reduction calls"

Result = tuple[kc.GraphStore | None, dict]
Params = dict[str, Any] | None


class Digest:
    """Running sha256 of each component over one or more reductions.

    Every piece is prefixed with its length, so a sequence of results has
    exactly one encoding."""

    def __init__(self) -> None:
        self.hashes = {c: hashlib.sha256() for c in COMPONENTS}
        self.filled: set[str] = set()
        self.seconds = 0.0  # time spent in the reduction calls
        self.slowest = 0.0

    def _put(self, component: str, data: bytes) -> None:
        h = self.hashes[component]
        self.filled.add(component)
        h.update(struct.pack("<Q", len(data)))
        h.update(data)

    def add(self, source: bytes, reduce: Callable[[], Result]) -> kc.GraphStore | None:
        """Runs `reduce` (a reduction of the graph whose blob is `source`),
        hashes its result and returns the reduced store. A result without a
        store (a bare report) hashes only the input and the report."""
        t = time.perf_counter()
        reduced, report = reduce()
        elapsed = time.perf_counter() - t
        self.seconds += elapsed
        self.slowest = max(self.slowest, elapsed)
        self._put("input", source)
        if reduced is not None:
            self._put("blob", reduced.serialize())
            # repr of a list of ints, tuples and None is canonical.
            self._put("map", repr(reduced.node_map()).encode())
        self._put("report", repr(sorted(report.items())).encode())
        return reduced

    def hexdigests(self) -> dict[str, str]:
        """The components that received data (a report-only case has no
        blob or map)."""
        return {c: h.hexdigest() for c, h in self.hashes.items() if c in self.filled}


Case = tuple[str, Digest]


def single(name: str, source: bytes, reduce: Callable[[], Result]) -> tuple[Case, kc.GraphStore | None]:
    d = Digest()
    reduced = d.add(source, reduce)
    return (name, d), reduced


class SteppedStore:
    """The recording methods of a store; an IncrementalReducer steps over the
    store after every `batch` calls, so it sees the graph in pieces that
    end anywhere in the recording."""

    def __init__(self, store: kc.GraphStore, reducer: kc.IncrementalReducer, batch: int) -> None:
        self.store, self.reducer, self.batch = store, reducer, batch
        self.node_count = store.node_count
        self.calls = 0
        for name in RECORDING:
            setattr(self, name, self._stepped(getattr(store, name)))

    def _stepped(self, method):
        def call(*args):
            node = method(*args)
            self.calls += 1
            if self.calls % self.batch == 0:
                self.reducer.step(self.store)
            return node

        return call


def record_on_top(store: kc.GraphStore) -> list[int]:
    """Records over the last nodes of a store read back from a reduced blob
    (stages among them): identities on both sides, consumers that become
    equal through them, commuted twins, an exchange and a join. Returns the
    store's outputs followed by the new nodes."""
    add0r, add0l = {"scalar": 0.0, "side": "r"}, {"scalar": 0.0, "side": "l"}
    mul1l = {"scalar": 1.0, "side": "l"}
    outputs, prev = store.outputs(), None
    for node in store.nodes()[-8:]:
        s = node["id"]
        outputs += [
            store.add_op("neg", [store.add_op("add", [s], add0r)]),
            store.add_op("neg", [s]),
            store.add_op("exp", [store.add_op("mul", [store.add_op("add", [s], add0l)], mul1l)]),
        ]
        if prev is not None:
            outputs += [store.add_op("mul", [s, prev]), store.add_op("mul", [prev, s]),
                        store.add_join([store.add_exchange([s], {"parts": 4}), prev], {"how": "inner"})]
        prev = s
    return outputs


def reduce_three_ways(prefix: str, store: kc.GraphStore, outputs: list[int], source: bytes) -> Iterator[Case]:
    """The single-use and the maximal reduction of `store`, and a fresh
    IncrementalReducer's finalize (everything in one step)."""
    yield single(f"{prefix}/reduce", source, lambda: store.reduce(outputs=outputs))[0]
    yield single(f"{prefix}/maximal", source, lambda: store.reduce(outputs=outputs, maximal_fusion=True))[0]
    yield single(f"{prefix}/incremental", source, lambda: kc.IncrementalReducer().finalize(store, outputs=outputs))[0]


def traced_cases(tag: str, nodes: int) -> Iterator[Case]:
    g = kc.GraphStore()
    reducer = kc.IncrementalReducer()
    outputs = trace(SteppedStore(g, reducer, max(7, nodes // 9)), nodes)
    source = g.serialize(outputs=outputs)
    prefix = f"traced-{tag}"

    case, reduced = single(f"{prefix}/reduce", source, lambda: g.reduce(outputs=outputs))
    yield case
    case, maximal = single(f"{prefix}/maximal", source, lambda: g.reduce(outputs=outputs, maximal_fusion=True))
    yield case
    yield single(f"{prefix}/incremental", source, lambda: reducer.finalize(g, outputs=outputs))[0]
    # A second finalize of the same reducer, which has nothing left to consume.
    yield single(f"{prefix}/incremental-maximal", source,
                 lambda: reducer.finalize(g, outputs=outputs, maximal_fusion=True))[0]
    del reducer
    if nodes < 1_000_000:
        yield single(f"{prefix}/reduce_incremental", source, lambda: g.reduce_incremental(outputs=outputs))[0]
        yield single(f"{prefix}/reduction_report", source, lambda: (None, g.reduction_report(outputs=outputs)))[0]
    del g

    # Stages as input: the reduced stores reduced again against their marks.
    assert reduced is not None and maximal is not None
    reduced_blob = reduced.serialize()
    yield single(f"{prefix}/again", reduced_blob, lambda: reduced.reduce())[0]
    maximal_blob = maximal.serialize()
    yield single(f"{prefix}/again-maximal", maximal_blob, lambda: maximal.reduce(maximal_fusion=True))[0]
    del reduced, maximal

    # More recording over the stages of a blob read back.
    on_top = kc.GraphStore.deserialize(reduced_blob)
    stepped = kc.IncrementalReducer()
    stepped.step(on_top)
    top_outputs = record_on_top(on_top)
    source = on_top.serialize(outputs=top_outputs)
    yield from reduce_three_ways(f"{prefix}/on-top", on_top, top_outputs, source)
    yield single(f"{prefix}/on-top/stepped", source, lambda: stepped.finalize(on_top, outputs=top_outputs))[0]


def from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


# Parameter values of every kind, and the floats whose bits matter.
PARAM_VALUES: list[int | float | bool | str] = [
    0, 1, -12, 2**63 - 1, -(2**63), 2**63,  # the last one is stored as a float
    0.0, -0.0, 1.0, 0.5, 1e20, 5e-324, float("inf"), float("-inf"),
    float("nan"), -float("nan"), from_bits(0x7FF8000000000123),
    True, False,
    "", "r", "a;b=c|d%", "%7C", "ünï", "tab\tquote\"back\\slash\x00nul\x01",
]
IDENTITIES: list[tuple[str, Params]] = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]
# Operators that look like identities but are none.
NEAR_IDENTITIES: list[tuple[str, Params]] = [
    ("add", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 0.0, "side": "l"}),
    ("add", {"scalar": 0, "side": "r"}),
    ("add", {"scalar": -0.0, "side": "r"}),
    ("add", {"scalar": 0.0}),
    ("add", {"scalar": 0.0, "side": "x"}),
    ("mul", {"scalar": 1.0, "side": "r", "tag": "x"}),
    ("mul", {"scalar": True, "side": "l"}),
    ("sub", {"scalar": 0.0, "side": "l"}),
    ("add|scalar=f0000000000000000;side=sr", {}),
]
COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
BINARY = COMMUTATIVE + ["sub", "div", "pow2", "ge", "Add", "max"]
UNARY = ["neg", "exp", "log1p", "relu", "abs", "sqrt", "tanh", "sin", "square", "recip"]
ODD_NAMES = ["f|g", "f%7Cg", "f;x=1", "f%3Bx%3D1", "", "ünï", "op|add", "a b"]
PARAMETRIC: list[tuple[str, Params]] = [
    ("clip", {"lo": -2.0, "hi": 2.0}),
    ("clip", {"hi": 2.0, "lo": -2.0}),
    ("sigmoid", {"temperature": 1.5}),
    ("scale", {"factor": float("nan")}),
    ("scale", {"factor": -float("nan")}),
    ("add", {"scalar": 2.5, "side": "l"}),
    ("maximum", {"scalar": 0.0, "side": "r"}),
    ("add", {"side": "r"}),
    ("cast", {"to": "f32", "strict": True, "bits": 32}),
]
_BASE = dict(kind="onnx", content_hash="sha256:1", framework="ort", version="1.0", io_schema="f32->f32")
DESCRIPTORS: list[dict | kc.PayloadDescriptor] = [
    dict(_BASE),
    dict(_BASE, preprocessing_ref=None),
    dict(_BASE, preprocessing_ref=""),
    dict(_BASE, preprocessing_ref="scaler|v2"),
    dict(_BASE, kind="onnx|sha256:1", content_hash=""),
    dict(_BASE, version="1.0|f32->f32", io_schema=""),
    kc.PayloadDescriptor(**_BASE),
    kc.PayloadDescriptor(kind="script", content_hash="sha256:ab", framework="rt", version="2.2",
                         io_schema="f32[n,4]->f32[n]", preprocessing_ref="ünï"),
]
REDUCTIONS: list[tuple[str, Params]] = [
    ("sum", {}), ("sum", {"axis": 0}), ("mean", None), ("max", {"axis": -1}), ("prod", {"keep": True}),
]
SCHEMES: list[Params] = [None, {"scheme": "hash", "parts": 8}, {"scheme": "range", "parts": 8, "key": "a;b"}]
JOINS: list[Params] = [None, {"how": "left", "on": "k"}, {"how": "inner", "on": "k"}]


def kinds_graph() -> tuple[kc.GraphStore, list[int]]:
    """Every node kind, every rule on both sides and its near misses."""
    g = kc.GraphStore()
    s = [g.add_source("s0"), g.add_source("s1", {"table": "t1", "days": 7}),
         g.add_source("s0", {"table": "other"})]
    s += [g.add_source(f"p{i}", {"v": v, "w": i}) for i, v in enumerate(PARAM_VALUES)]
    every = {f"k{i:02d}": v for i, v in enumerate(PARAM_VALUES)}
    s.append(g.add_source("every", every))
    a, b, c = s[0], s[1], s[-1]
    outs: list[int] = []
    for name, params in IDENTITIES:
        x = g.add_op(name, [a], params)
        outs += [g.add_op("neg", [x]), g.add_op("neg", [a])]  # equal once x is gone
        outs.append(g.add_op("exp", [g.add_op(name, [g.add_op(name, [b], params)], params)]))  # chained
        outs.append(g.add_op(name, [a, b], params))  # with two inputs, not an identity
        outs.append(g.add_op(name, [], params))  # nor without any
    for name, params in NEAR_IDENTITIES:
        outs.append(g.add_op("neg", [g.add_op(name, [a], params)]))
    for name in COMMUTATIVE:
        x, y = g.add_op(name, [a, b]), g.add_op(name, [b, a])
        outs += [g.add_op("sub", [x, y]), g.add_op("sub", [y, x])]
        outs += [g.add_op(name, [a, b], {"axis": 1}), g.add_op(name, [b, a], {"axis": 1})]
        outs.append(g.add_op(name, [g.add_op("add", [a], IDENTITIES[0][1]), c]))
        outs.append(g.add_op(name, [c, a]))  # a twin only after the identity is gone
        outs.append(g.add_op(name, [a, a]))
    outs += [g.add_op("sub", [a, b]), g.add_op("sub", [b, a]), g.add_op("div", [b, a])]
    for name, params in PARAMETRIC:
        outs.append(g.add_op(name, [b], params))
    for i, name in enumerate(ODD_NAMES):
        outs.append(g.add_op(name, [s[i % len(s)]], {"k|": "v;=", "n": i}))
    for i, (name, params) in enumerate(REDUCTIONS):
        outs.append(g.add_reduction(name, s[i:i + 1 + i % 3], params))
    for i, descriptor in enumerate(DESCRIPTORS):
        outs.append(g.add_external(descriptor, [s[i], s[i + 1]][:1 + i % 2], {"batch": 64} if i % 2 else None))
    for i, scheme in enumerate(SCHEMES):
        x = g.add_exchange([outs[-1 - i]], scheme)
        outs.append(g.add_join([x, s[i]], JOINS[i]))
    # Long chains over all of it, with identities and twins inside, so that
    # stages form with several inputs and members; their sinks are outputs.
    rng = random.Random(7)
    ends = []
    for i in range(12):
        x = outs[rng.randrange(len(outs))]
        for _ in range(rng.randint(2, 9)):
            r = rng.random()
            if r < 0.2:
                name, params = IDENTITIES[rng.randrange(4)]
                x = g.add_op(name, [x], params)
            elif r < 0.5:
                x = g.add_op(UNARY[rng.randrange(len(UNARY))], [x])
            else:
                y = outs[rng.randrange(len(outs))]
                name = BINARY[rng.randrange(len(BINARY))]
                x = g.add_op(name, [x, y] if r < 0.75 else [y, x])
        ends.append(x)
    # Dead branches, and outputs with duplicates, a source and an inner node.
    g.add_op("exp", [g.add_op("neg", [ends[0]])])
    outputs = ends + outs[::3] + [ends[0], a, outs[5], ends[0]]
    return g, outputs


def kinds_cases() -> Iterator[Case]:
    g, outputs = kinds_graph()
    source = g.serialize(outputs=outputs)
    yield from reduce_three_ways("kinds", g, outputs, source)
    # The marks of a blob as the outputs (duplicates were dropped on reading).
    marked = kc.GraphStore.deserialize(source)
    yield single("kinds/marks", source, lambda: marked.reduce())[0]
    yield single("kinds/marks-incremental", source, lambda: kc.IncrementalReducer().finalize(marked))[0]
    for mode, maximal in (("reduce", False), ("maximal", True)):
        reduced, _ = g.reduce(outputs=outputs, maximal_fusion=maximal)
        blob = reduced.serialize()
        yield single(f"kinds/{mode}/again", blob, lambda: reduced.reduce(maximal_fusion=maximal))[0]
        on_top = kc.GraphStore.deserialize(blob)
        top_outputs = record_on_top(on_top)
        yield from reduce_three_ways(f"kinds/{mode}/on-top", on_top, top_outputs, on_top.serialize(outputs=top_outputs))


Program = list[tuple]


def random_program(rng: random.Random) -> tuple[Program, list[int]]:
    """Recording calls whose inputs name earlier calls by index, and the
    indices of the requested outputs (duplicates allowed)."""
    calls: Program = [("source", f"s{i}", rng.choice([None, {"table": f"s{i}"}])) for i in range(rng.randint(1, 4))]
    n_sources = len(calls)
    binaries: list[int] = []

    def pick() -> int:
        k = len(calls)
        return k - 1 - rng.randint(0, min(k - 1, 2) if rng.random() < 0.7 else k - 1)

    for _ in range(rng.randint(0, 60)):
        call: tuple
        what = rng.choice(["unary", "unary", "identity", "identity", "near", "binary", "binary", "commuted",
                           "repeat", "parametric", "reduction", "external", "exchange", "join", "multi", "odd",
                           "source"])
        if what == "identity":
            call = ("op", *_with_inputs(rng.choice(IDENTITIES), [pick()]))
        elif what == "near":
            call = ("op", *_with_inputs(rng.choice(NEAR_IDENTITIES), [pick()]))
        elif what == "multi":
            call = ("op", *_with_inputs(rng.choice(IDENTITIES), [pick() for _ in range(rng.choice([0, 2, 3]))]))
        elif what == "binary":
            call = ("op", rng.choice(BINARY), [pick(), pick()], rng.choice([None, None, {"side": "r"}]))
            binaries.append(len(calls))
        elif what == "commuted" and binaries:
            _, name, (x, y), params = calls[rng.choice(binaries)]
            call = ("op", name, [y, x], params)
        elif what == "repeat" and len(calls) > n_sources:
            call = calls[rng.randrange(n_sources, len(calls))]
        elif what == "parametric":
            call = ("op", *_with_inputs(rng.choice(PARAMETRIC), [pick()]))
        elif what == "odd":
            call = ("op", rng.choice(ODD_NAMES), [pick()], rng.choice([None, {"k|": "v;="}]))
        elif what == "source":
            call = ("source", f"s{rng.randrange(n_sources)}", {"v": rng.choice(PARAM_VALUES)})
        elif what == "reduction":
            name, params = rng.choice(REDUCTIONS)
            call = ("reduction", name, [pick() for _ in range(rng.randint(1, 3))], params)
        elif what == "external":
            call = ("external", rng.choice(DESCRIPTORS), [pick() for _ in range(rng.randint(1, 2))],
                    rng.choice([None, {"batch": 64}]))
        elif what == "exchange":
            call = ("exchange", [pick()], rng.choice(SCHEMES))
        elif what == "join":
            call = ("join", [pick(), pick()], rng.choice(JOINS))
        else:
            call = ("op", rng.choice(UNARY), [pick()], None)
        calls.append(call)
    k = len(calls)
    outputs = [] if rng.random() < 0.1 else [
        k - 1 - rng.randint(0, min(k - 1, 3)) if rng.random() < 0.7 else rng.randrange(k)
        for _ in range(rng.randint(1, 4))
    ]
    return calls, outputs


def _with_inputs(op: tuple[str, Params], inputs: list[int]) -> tuple[str, list[int], Params]:
    return op[0], inputs, op[1]


def record(store, calls: Program, after_call: Callable[[int], None] | None = None) -> list[int]:
    ids: list[int] = []
    for i, (method, *args) in enumerate(calls):
        if method == "source":
            ids.append(store.add_source(*args))
        elif method in ("op", "reduction"):
            name, inputs, params = args
            add = store.add_op if method == "op" else store.add_reduction
            ids.append(add(name, [ids[j] for j in inputs], params))
        elif method == "external":
            descriptor, inputs, params = args
            ids.append(store.add_external(descriptor, [ids[j] for j in inputs], params))
        else:
            inputs, params = args
            add = store.add_exchange if method == "exchange" else store.add_join
            ids.append(add([ids[j] for j in inputs], params))
        if after_call is not None:
            after_call(i)
    return ids


def program_cases(count: int = 100) -> Iterator[Case]:
    rng = random.Random(2024)
    names = ("reduce", "maximal", "incremental", "on-top/reduce", "on-top/maximal", "on-top/incremental")
    digests = {name: Digest() for name in names}
    for _ in range(count):
        calls, wanted = random_program(rng)
        g = kc.GraphStore()
        reducer = kc.IncrementalReducer()
        steps = set(rng.sample(range(len(calls)), min(len(calls), 3)))
        ids = record(g, calls, lambda i: reducer.step(g) if i in steps else None)
        outputs = [ids[i] for i in wanted]
        source = g.serialize(outputs=outputs)
        reduced = digests["reduce"].add(source, lambda: g.reduce(outputs=outputs))
        digests["maximal"].add(source, lambda: g.reduce(outputs=outputs, maximal_fusion=True))
        digests["incremental"].add(source, lambda: reducer.finalize(g, outputs=outputs))
        assert reduced is not None
        on_top = kc.GraphStore.deserialize(reduced.serialize())
        top_outputs = record_on_top(on_top)
        top = on_top.serialize(outputs=top_outputs)
        digests["on-top/reduce"].add(top, lambda: on_top.reduce(outputs=top_outputs))
        digests["on-top/maximal"].add(top, lambda: on_top.reduce(outputs=top_outputs, maximal_fusion=True))
        digests["on-top/incremental"].add(top, lambda: kc.IncrementalReducer().finalize(on_top, outputs=top_outputs))
    for name in names:
        yield f"programs/{name}", digests[name]


def all_cases(quick: bool) -> Iterator[Case]:
    yield from kinds_cases()
    yield from program_cases()
    for tag, nodes in TRACED_SIZES:
        if not (quick and f"traced-{tag}/" == HEAVY):
            yield from traced_cases(tag, nodes)


def read_fixture(path: str) -> dict[str, dict[str, str]]:
    expected: dict[str, dict[str, str]] = {}
    with open(path) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                digest, key = line.split()
                case, component = key.rsplit(":", 1)
                expected.setdefault(case, {})[component] = digest
    return expected


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help="record the digests of this build")
    parser.add_argument("--quick", action="store_true", help="leave out the 1e6-node cases")
    parser.add_argument("--fixture", default=FIXTURE, help="the digest file (default: %(default)s)")
    args = parser.parse_args()
    if args.write and args.quick:
        parser.error("--write records every case; it cannot be combined with --quick")

    if not args.write and not os.path.exists(args.fixture):
        print(f"no fixture at {args.fixture}: record one with --write on a known-good build", file=sys.stderr)
        return 2
    expected = {} if args.write else read_fixture(args.fixture)
    print(f"korvane_core {kc.version()} from {kc.__file__}")
    lines = [f"# sha256 of reduction results, recorded with korvane_core {kc.version()}; "
             "written by bench/check_results.py --write"]
    differ_count = 0
    seen = set()
    start = time.perf_counter()
    for case, digest in all_cases(args.quick):
        got = digest.hexdigests()
        seen.add(case)
        lines += [f"{h}  {case}:{component}" for component, h in got.items()]
        timing = f"{digest.seconds:6.2f}s"
        note = ""
        if digest.slowest > SLOW_SECONDS:
            note = f"  (a reduction took {digest.slowest:.1f}s: near the rewrite run's time limit)"
        want = expected.get(case)
        if args.write:
            print(f"recorded  {timing}  {case}{note}")
        elif want is None:
            differ_count += 1
            print(f"MISSING   {timing}  {case}: not in the fixture{note}")
        elif want != got:
            differ_count += 1
            differ = [c for c in COMPONENTS if want.get(c) != got.get(c)]
            cause = "the input graph differs" if "input" in differ else "the reduced graph differs"
            print(f"MISMATCH  {timing}  {case}: {', '.join(differ)} ({cause}){note}")
        else:
            print(f"ok        {timing}  {case}{note}")
        sys.stdout.flush()
    not_run = [c for c in sorted(expected) if c not in seen and not (args.quick and c.startswith(HEAVY))]
    for case in not_run:
        print(f"MISSING   {case}: in the fixture, not computed")

    total = time.perf_counter() - start
    if args.write:
        with open(args.fixture, "w") as f:
            f.write("\n".join(lines) + "\n")
        print(f"{len(seen)} cases recorded in {args.fixture} ({total:.1f}s{TIMES})")
        return 0
    print(f"{len(seen) - differ_count} of {len(seen)} cases identical, {differ_count} differ or are not recorded, "
          f"{len(not_run)} recorded cases not computed ({total:.1f}s{TIMES})")
    return 1 if differ_count or not_run else 0

if __name__ == "__main__":
    sys.exit(main())
