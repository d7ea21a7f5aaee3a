"""Fused stages: a stage's members run in one pass over memory.

A `Stage` is a chain (or, with maximal fusion, a small DAG) of element-wise
members. Run op by op on numpy arrays, every member reads and writes whole
arrays; at 1e6 float64 elements an array is 8 MB and each member streams
through memory. There are two ways to keep a stage's values in the cache:

Blocks (`fuse=True`, the default): a stage whose members are all element-wise
default operators runs over consecutive blocks of `BLOCK` elements of its
inputs, every member on a block with the same numpy functions as op by op. The
values are those of op by op, bit for bit, and the whole stage makes one
output array instead of one per member. This is the faster way on the build
machine (see bench/execute.py): numpy's own loops are vectorized, numexpr's
virtual machine is not as well, and numpy's SIMD exp, log1p and tanh are 2-5x
faster than the C library's that numexpr calls.

numexpr kernels (`fuse="numexpr"`): `plan(members, table)` turns a stage into
steps: each member whose default implementation has an exact numexpr form is
folded into an expression, compiled once (with numexpr's rewrites off: they
turn `x / c` into `x * (1 / c)`, which rounds differently). A member read by one
other fused member is inlined into it; a member read twice, read by a member
that runs op by op, or the stage's last member is materialized. Members
without an exact form run op by op between the kernels:

- exp, log, log1p, tanh and sigmoid: numexpr calls the C library, numpy its
  own SIMD code; they differ by 1-3 ulp, which a later subtraction can blow up;
- maximum, minimum, relu and clip: numpy's SIMD maximum and minimum choose
  between -0.0 and 0.0 differently from any comparison numexpr can express;
- a scalar operand that is inf or NaN, or an int that a float cannot hold, or -0.0
  (numexpr keeps one constant per value, so -0.0 and the 0.0 of a comparison's
  result would become one);
- every operator that `ops=` overrides.

With that, a numexpr stage gives the values op by op gives, to the bit. Plans
are cached by the stage's member structure, so the stages of many runs (and
equal stages of one graph) compile once.
"""

from __future__ import annotations

import math
from collections import OrderedDict
from dataclasses import dataclass
from typing import Any, Mapping, Sequence

from ._optional import have, need
from .ops import OpImpl, np, table_key

Member = Mapping[str, Any]
Ref = tuple[str, int]

_ARITH = {"add": "+", "sub": "-", "mul": "*", "div": "/"}
_FOLDING = ("add", "mul")
_COMPARE = {"eq": ("==", "=="), "ne": ("!=", "!="), "lt": ("<", "<="), "le": ("<", "<="),
            "gt": (">", ">="), "ge": (">", ">=")}
_STRICT_DEFAULT = {"lt": True, "gt": True, "le": False, "ge": False}
_UNARY = {"neg": "(-{})", "abs": "abs({})", "sqrt": "sqrt({})"}
_LOGIC = {"and": "&", "or": "|"}

# Which kinds of members have a numexpr form at all; the README's list.
FUSABLE = frozenset([*_ARITH, *_COMPARE, *_UNARY, *_LOGIC])


@dataclass(frozen=True)
class Step:
    """Computes member `member`: by a compiled kernel over `names` (float64 values), or op by op
    (`kernel` None)."""

    member: int
    kernel: Any  # numexpr.NumExpr or None
    names: tuple[Ref, ...]
    expression: str = ""


@dataclass(frozen=True)
class Plan:
    steps: tuple[Step, ...]
    inline: tuple[bool, ...]  # members computed inside a later kernel, never on their own
    kernels: int


def _constant(value: Any) -> str | None:
    """`value` as a numexpr float constant, or None where it would not round as numpy does. (The
    op table gives python scalars numpy's rules: beside a float64 array they become float64.)"""
    if isinstance(value, bool):
        return "1.0" if value else "0.0"
    if isinstance(value, int):
        try:
            f = float(value)
        except OverflowError:
            return None
        value = f
    if not isinstance(value, float) or not math.isfinite(value):
        return None
    if value == 0.0 and math.copysign(1.0, value) < 0:
        return None  # numexpr keeps one constant per value: -0.0 and 0.0 would become one
    return f"({value!r})"


def _form(member: Member, operands: list[str]) -> str | None:
    """The expression of one member over its operands' expressions, or None."""
    name, params = member["name"], member["params"]
    values = list(operands)
    if "scalar" in params:
        const = _constant(params["scalar"])
        if const is None:
            return None
        values = values + [const] if params.get("side", "r") == "r" else [const] + values
    if name in _LOGIC:
        truth = f" {_LOGIC[name]} ".join(f"({e} != 0)" for e in values)
        return f"where({truth}, 1.0, 0.0)"
    if name in _ARITH:
        if name not in _FOLDING and len(values) != 2:
            return None
        return "(" + f" {_ARITH[name]} ".join(values) + ")"
    if name in _COMPARE:
        strict = params.get("strict", _STRICT_DEFAULT.get(name, True))
        symbol = _COMPARE[name][0 if strict else 1]
        return f"where({values[0]} {symbol} {values[1]}, 1.0, 0.0)"
    if name in _UNARY and len(values) == 1:
        return _UNARY[name].format(values[0])
    return None


# Default operators that are element-wise: each output element depends on the same element of the
# inputs alone, so a stage of them may run block by block.
ELEMENTWISE = FUSABLE | {"exp", "log", "log1p", "tanh", "sigmoid", "relu", "clip", "maximum", "minimum"}

# Elements per block: a few arrays of a block fit in a core's L2 cache.
BLOCK = 16384


def elementwise(member: Member, table: Mapping[str, OpImpl]) -> bool:
    if member["kind"] != "op" or member["name"] not in ELEMENTWISE:
        return False
    impl = table.get(table_key("op", member["name"]))
    return impl is not None and impl.default


def block_shape(values: Sequence[Any]) -> tuple[int, ...] | None:
    """The shape of the float64 arrays among `values` if they all share it, are larger than a block
    and the rest are float scalars; None otherwise."""
    n = np()
    shape: tuple[int, ...] | None = None
    for v in values:
        if isinstance(v, n.ndarray) and v.ndim:
            if v.dtype != n.float64 or (shape is not None and v.shape != shape):
                return None
            shape = v.shape
        elif not isinstance(v, float) and not (isinstance(v, n.ndarray) and v.dtype == n.float64):
            return None
    if shape is None or math.prod(shape) <= BLOCK:
        return None
    return shape


def _fusable(member: Member, table: Mapping[str, OpImpl]) -> bool:
    if member["kind"] != "op" or member["name"] not in FUSABLE:
        return False
    impl = table.get(table_key("op", member["name"]))
    return impl is not None and impl.default


def _compile(members: Sequence[Member], mask: Sequence[bool]) -> Plan | None:
    ne = need("numexpr")
    consumers = [0] * len(members)
    fused_reader = [True] * len(members)
    for p, m in enumerate(members):
        for ref, j in m["inputs"]:
            if ref == "member":
                consumers[j] += 1
                fused_reader[j] = fused_reader[j] and mask[p]
    last = len(members) - 1
    forms: list[str | None] = [None] * len(members)
    inline = [False] * len(members)
    steps: list[Step] = []
    kernels = 0
    for p, m in enumerate(members):
        form: str | None = None
        if mask[p]:
            operands = [forms[j] if ref == "member" and inline[j] else f"i{j}" if ref == "input" else f"m{j}"
                        for ref, j in m["inputs"]]
            form = _form(m, [f for f in operands if f is not None])
        if form is None:
            steps.append(Step(p, None, ()))
            continue
        forms[p] = form
        if p != last and consumers[p] == 1 and fused_reader[p]:
            inline[p] = True
            continue
        names = _names(members, p, inline)
        signature = [(f"i{j}" if r == "input" else f"m{j}", np().float64) for r, j in names]
        try:
            kernel = ne.NumExpr(form, signature=signature, optimization="none")
        except Exception:  # an expression numexpr refuses (too many operands): the stage runs op by op
            return None
        steps.append(Step(p, kernel, tuple(names), form))
        kernels += 1
    return Plan(tuple(steps), tuple(inline), kernels) if kernels else None


def _names(members: Sequence[Member], p: int, inline: Sequence[bool]) -> list[Ref]:
    """The variables the expression of member `p` reads, in first-use order."""
    seen: dict[Ref, None] = {}

    def walk(q: int) -> None:
        for ref, j in members[q]["inputs"]:
            if ref == "member" and inline[j]:
                walk(j)
            else:
                seen.setdefault((ref, j), None)
    walk(p)
    return list(seen)


def _structure(members: Sequence[Member], mask: Sequence[bool]) -> tuple[Any, ...]:
    return tuple(
        (m["kind"], m["name"], tuple(sorted((k, type(v).__name__, repr(v)) for k, v in m["params"].items())),
         tuple(m["inputs"]), fused)
        for m, fused in zip(members, mask)
    )


_CACHE: OrderedDict[tuple[Any, ...], Plan | None] = OrderedDict()
_CACHE_SIZE = 1024


def plan(members: Sequence[Member], table: Mapping[str, OpImpl]) -> Plan | None:
    """The fused plan of a stage, or None if no member fuses (or numexpr is not installed)."""
    if not available():
        return None
    mask = [_fusable(m, table) for m in members]
    if not any(mask):
        return None
    key = _structure(members, mask)
    if key in _CACHE:
        _CACHE.move_to_end(key)
        return _CACHE[key]
    result = _compile(members, mask)
    _CACHE[key] = result
    if len(_CACHE) > _CACHE_SIZE:
        _CACHE.popitem(last=False)
    return result


_AVAILABLE: bool | None = None


def available() -> bool:
    global _AVAILABLE
    if _AVAILABLE is None:
        _AVAILABLE = have("numexpr")
    return _AVAILABLE


def accepts(values: Sequence[Any]) -> bool:
    """Whether a fused plan may run on these stage inputs: float64 numpy arrays (at least one with a
    dimension), or float scalars beside them. Everything else runs op by op."""
    n = np()
    arrays = 0
    for v in values:
        if isinstance(v, n.ndarray):
            if v.dtype != n.float64:
                return False
            arrays += v.ndim > 0
        elif not isinstance(v, float):  # numpy.float64 is a float
            return False
    return arrays > 0
