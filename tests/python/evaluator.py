"""A reference interpreter for graphs given as `GraphStore.nodes()`.

Every node evaluates to one float. Sources read their value by name;
operators, reductions, externals, exchanges, joins and the members of a
`Stage` are fixed functions of their inputs and parameters. Each value is
brought back into [-LIMIT, LIMIT] after it is computed (a NaN becomes 0.0),
so long chains never reach inf or NaN and every value stays comparable with
`==`. The same operations run in the same order for equal inputs, so two
evaluations of equivalent graphs agree exactly.

The semantics make the optimizer's rewrites exact: adding 0.0 to or
multiplying by 1.0 a value in range gives it back (up to the sign of zero,
which `==` ignores), and the commutative operators are commutative in
floating point. Parameters an operator does not read shift its result by an
offset derived from them (and make it lean on its first operand), so nodes
that differ only in such a parameter evaluate differently, and a
commutative operator with parameters is no longer commutative.
"""

from __future__ import annotations

import math
import zlib
from dataclasses import dataclass
from typing import Any, Callable, Mapping, Sequence

LIMIT = 1e12


def fold(value: float) -> float:
    """Brings a raw result back into range; the identity on values in range."""
    if value != value:
        return 0.0
    if value > LIMIT:
        return LIMIT
    if value < -LIMIT:
        return -LIMIT
    return value


def stable_offset(*parts: object) -> float:
    """A small float that depends only on `parts` (never on hash seeds)."""
    text = repr(parts).encode("utf-8", "surrogatepass")
    return (zlib.crc32(text) % 4093) / 1024.0


def _scalar_params(params: Mapping[str, object]) -> tuple[float | None, str, frozenset[str]]:
    """The scalar operand, its side, and the parameters that named them."""
    scalar = params.get("scalar")
    if isinstance(scalar, bool) or not isinstance(scalar, (int, float)):
        return None, "r", frozenset()
    side = params.get("side")
    if side in ("l", "r"):
        return float(scalar), side, frozenset({"scalar", "side"})
    return float(scalar), "r", frozenset({"scalar"})


def _exp(x: float) -> float:
    return math.exp(min(max(x, -40.0), 40.0))


def _div(a: float, b: float) -> float:
    return a / (abs(b) + 1.0)


def _truth(x: float) -> bool:
    return x != 0.0


# Binary operators: (function, value of an empty operand list). With several
# inputs they fold from the left; a `scalar` parameter is applied last, on
# the side named by `side` ("r": acc op scalar, "l": scalar op acc).
BINARY: dict[str, tuple[Callable[[float, float], float], float]] = {
    "add": (lambda a, b: a + b, 0.0),
    "sub": (lambda a, b: a - b, 0.0),
    "mul": (lambda a, b: a * b, 1.0),
    "div": (_div, 1.0),
    "maximum": (lambda a, b: a if a >= b else b, -LIMIT),
    "minimum": (lambda a, b: a if a <= b else b, LIMIT),
    "and": (lambda a, b: 1.0 if _truth(a) and _truth(b) else 0.0, 1.0),
    "or": (lambda a, b: 1.0 if _truth(a) or _truth(b) else 0.0, 0.0),
    "eq": (lambda a, b: 1.0 if a == b else 0.0, 0.0),
    "ne": (lambda a, b: 1.0 if a != b else 0.0, 0.0),
    "ge": (lambda a, b: 1.0 if a >= b else 0.0, 0.0),
    "pow2": (lambda a, b: a * a + b, 0.0),  # deliberately not commutative
}

# Unary operators, applied to the sum of the inputs (to the one input, in
# every graph a front end records).
UNARY: dict[str, Callable[[float], float]] = {
    "neg": lambda x: -x,
    "exp": _exp,
    "log1p": lambda x: math.log1p(abs(x)),
    "relu": lambda x: x if x > 0.0 else 0.0,
    "abs": abs,
    "sqrt": lambda x: math.sqrt(abs(x)),
    "tanh": math.tanh,
    "sin": lambda x: math.sin(min(max(x, -1e6), 1e6)),
    "square": lambda x: x * x,
    "recip": lambda x: 1.0 / (abs(x) + 1.0),
}

# Unary operators that read parameters of their own.
PARAMETRIC: dict[str, tuple[Callable[[float, Mapping[str, Any]], float], frozenset[str]]] = {
    "clip": (
        lambda x, p: min(max(x, float(p.get("lo", -1.0))), float(p.get("hi", 1.0))),
        frozenset({"lo", "hi"}),
    ),
    "sigmoid": (
        lambda x, p: 1.0 / (1.0 + _exp(-x / float(p.get("temperature", 1.0)))),
        frozenset({"temperature"}),
    ),
    "scale": (lambda x, p: x * float(p.get("factor", 1.0)), frozenset({"factor"})),
}


def eval_op(name: str, params: Mapping[str, object], args: Sequence[float]) -> float:
    """The value of an operator `name` with `params` over `args`."""
    consumed: frozenset[str] = frozenset()
    if name in BINARY:
        fn, unit = BINARY[name]
        if args:
            acc = args[0]
            for v in args[1:]:
                acc = fn(acc, v)
        else:
            acc = unit
        scalar, side, consumed = _scalar_params(params)
        if scalar is not None:
            acc = fn(acc, scalar) if side == "r" else fn(scalar, acc)
        value = acc
    elif name in UNARY:
        value = UNARY[name](sum(args, 0.0) if len(args) != 1 else args[0])
    elif name in PARAMETRIC:
        apply, consumed = PARAMETRIC[name]
        value = apply(sum(args, 0.0) if len(args) != 1 else args[0], params)
    else:
        # An operator nobody defined: a fixed mix of its inputs and its name.
        value = sum(v * (1.0 + 0.25 * i) for i, v in enumerate(args)) + stable_offset("op", name)
    rest = {k: v for k, v in params.items() if k not in consumed}
    if rest:
        # Parameters of its own make an operator something else, and no
        # longer commutative: the first operand weighs more.
        value += stable_offset(sorted(rest.items())) + (0.125 * args[0] if len(args) > 1 else 0.0)
    return fold(value)


def eval_reduction(name: str, params: Mapping[str, object], args: Sequence[float]) -> float:
    if name == "sum":
        value = 0.0
        for v in args:
            value += v
    elif name == "mean":
        value = sum(args, 0.0) / len(args) if args else 0.0
    elif name == "max":
        value = max(args) if args else 0.0
    elif name == "prod":
        value = 1.0
        for v in args:
            value *= v
    else:
        value = sum(args, 0.0) + stable_offset("red", name)
    if params:
        value += stable_offset(sorted(params.items()))
    return fold(value)


def eval_external(descriptor: Mapping[str, object], params: Mapping[str, object], args: Sequence[float]) -> float:
    """A deterministic stand-in for a payload: every field of the descriptor
    and every parameter moves the result."""
    fields = tuple(descriptor[k] for k in ("kind", "content_hash", "framework", "version", "io_schema",
                                           "preprocessing_ref"))
    seed = zlib.crc32(repr((fields, sorted(params.items()))).encode("utf-8", "surrogatepass"))
    weight = 0.5 + (seed % 1009) / 1009.0
    value = (seed % 8191) / 64.0
    for i, v in enumerate(args):
        value += v * weight * (i + 1)
    return fold(value)


def eval_join(params: Mapping[str, object], args: Sequence[float]) -> float:
    """Left and right are weighed differently, so the order of inputs counts."""
    value = stable_offset("join", sorted(params.items()))
    for i, v in enumerate(args):
        value += v * (1.0 + 0.5 * i)
    return fold(value)


@dataclass
class Evaluation:
    """Values of one graph: one per node, and for a `Stage` one per member."""

    values: list[float]
    members: list[list[float] | None]

    def at(self, entry: tuple[int, int | None]) -> float:
        """The value at a node-map entry (node id, member index or None)."""
        node, member = entry
        if member is None:
            return self.values[node]
        got = self.members[node]
        assert got is not None, f"node {node} is not a stage"
        return got[member]


def evaluate(nodes: Sequence[Mapping[str, Any]], inputs: Mapping[str, float]) -> Evaluation:
    """Evaluates `nodes` (the dicts of `GraphStore.nodes()`, in id order).

    `inputs` maps source names to values (shifted by an offset for a source
    with parameters); a source whose name is missing gets a value derived
    from its name and parameters."""
    values: list[float] = []
    members: list[list[float] | None] = []
    for i, node in enumerate(nodes):
        assert node["id"] == i
        kind = node["kind"]
        params = node["params"]
        args = [values[u] for u in node["inputs"]]
        stage: list[float] | None = None
        if kind == "source":
            name = node["name"]
            if name in inputs:
                # Sources that share a name but not their parameters differ.
                value = fold(float(inputs[name]) + (stable_offset(sorted(params.items())) if params else 0.0))
            else:
                value = stable_offset("src", name, sorted(params.items())) - 2.0
        elif kind == "op":
            value = eval_op(node["name"], params, args)
        elif kind == "reduction":
            value = eval_reduction(node["name"], params, args)
        elif kind == "external":
            value = eval_external(node["descriptor"], params, args)
        elif kind == "exchange":
            value = args[0] if len(args) == 1 else eval_join(params, args)
        elif kind == "join":
            value = eval_join(params, args)
        elif kind == "stage":
            stage = []
            for m in node["members"]:
                operands = [args[j] if ref == "input" else stage[j] for ref, j in m["inputs"]]
                if m["kind"] == "op":
                    stage.append(eval_op(m["name"], m["params"], operands))
                else:
                    stage.append(eval_reduction(m["name"], m["params"], operands))
            assert len(stage) == node["n_members"] > 0
            value = stage[-1]
        else:
            raise AssertionError(f"unknown kind {kind!r}")
        values.append(value)
        members.append(stage)
    return Evaluation(values, members)
