"""Stages run as one numexpr kernel.

A `Stage` is a chain (or, with maximal fusion, a small DAG) of element-wise
members. Run op by op on numpy arrays, every member allocates and fills a
whole array; numexpr evaluates an expression over blocks that fit in the
cache, so a chain of members is one pass over memory.

`plan(members, table)` turns a stage's members into steps: each member whose
default implementation has an exact numexpr form is folded into an
expression, and the expression is compiled once (with numexpr's rewrites
off: they turn `x / c` into `x * (1 / c)`, which rounds differently). A
member read by one other fused member is inlined into it; a member read
twice, read by a member that runs op by op, or the stage's last member is
materialized. Members without an exact form run op by op between the
kernels:

- exp, log, log1p, tanh and sigmoid: numexpr calls the C library, numpy its
  own SIMD code; they differ by 1-3 ulp, which a later subtraction can blow up;
- maximum, minimum, relu and clip: numpy's SIMD maximum and minimum choose
  between -0.0 and 0.0 differently from any comparison numexpr can express;
- arithmetic or comparisons over bool values (numpy adds bools as logical or);
- a scalar operand that is inf or NaN, or an int that a float cannot hold;
- every operator that `ops=` overrides.

With that, a fused stage gives the values op by op gives, to the bit. Plans
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
    """Computes member `member`: by a compiled kernel over `names`, or op by op (`kernel` None).
    `dtypes` are the numpy dtypes the kernel's variables must have."""

    member: int
    kernel: Any  # numexpr.NumExpr or None
    names: tuple[Ref, ...]
    dtypes: tuple[Any, ...] = ()
    expression: str = ""


@dataclass(frozen=True)
class Plan:
    steps: tuple[Step, ...]
    inline: tuple[bool, ...]  # members computed inside a later kernel, never on their own
    kernels: int


def _constant(value: Any) -> str | None:
    """`value` as a numexpr float constant, or None where it would not round as numpy does."""
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
    return f"({value!r})"


def _form(member: Member, operands: list[tuple[str, str]]) -> tuple[str, str] | None:
    """(expression, type "f" or "b") of one member over operand (expression, type) pairs, or None."""
    name, params = member["name"], member["params"]
    values = list(operands)
    if "scalar" in params:
        c = params["scalar"]
        if name in _LOGIC and isinstance(c, bool):
            const: tuple[str, str] | None = ("True" if c else "False", "b")
        else:
            text = _constant(c)
            const = None if text is None else (text, "f")
        if const is None:
            return None
        values = values + [const] if params.get("side", "r") == "r" else [const] + values
    if name in _LOGIC:
        parts = [e if t == "b" else f"({e} != 0)" for e, t in values]
        return "(" + f" {_LOGIC[name]} ".join(parts) + ")", "b"
    if any(t != "f" for _, t in values):
        return None
    exprs = [e for e, _ in values]
    if name in _ARITH:
        if name not in _FOLDING and len(exprs) != 2:
            return None
        return "(" + f" {_ARITH[name]} ".join(exprs) + ")", "f"
    if name in _COMPARE:
        strict = params.get("strict", _STRICT_DEFAULT.get(name, True))
        symbol = _COMPARE[name][0 if strict else 1]
        return f"({exprs[0]} {symbol} {exprs[1]})", "b"
    if name in _UNARY and len(exprs) == 1:
        return _UNARY[name].format(exprs[0]), "f"
    return None


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
    forms: list[tuple[str, str] | None] = [None] * len(members)
    types: list[str] = ["f"] * len(members)  # "f" float64 or "b" bool, for kernel signatures
    inline = [False] * len(members)
    steps: list[Step] = []
    kernels = 0
    for p, m in enumerate(members):
        form: tuple[str, str] | None = None
        names: list[Ref] = []
        if mask[p]:
            operands: list[tuple[str, str]] = []
            for ref, j in m["inputs"]:
                if ref == "member" and inline[j]:
                    f = forms[j]
                    assert f is not None
                    operands.append(f)
                    continue
                var = f"i{j}" if ref == "input" else f"m{j}"
                operands.append((var, "f" if ref == "input" else types[j]))
            form = _form(m, operands)
        if form is None:
            steps.append(Step(p, None, ()))
            # What the op-by-op value will be; the runner checks it before a kernel reads it.
            types[p] = "b" if m["name"] in _COMPARE or m["name"] in _LOGIC else "f"
            continue
        forms[p] = form
        types[p] = form[1]
        if p != last and consumers[p] == 1 and fused_reader[p]:
            inline[p] = True
            continue
        expression = form[0]
        names = _names(members, p, inline)
        signature = [(f"i{j}" if r == "input" else f"m{j}",
                      bool if (r == "member" and types[j] == "b") else np().float64) for r, j in names]
        try:
            kernel = ne.NumExpr(expression, signature=signature, optimization="none")
        except Exception:  # an expression numexpr refuses (too many operands): the stage runs op by op
            return None
        steps.append(Step(p, kernel, tuple(names), tuple(np().dtype(t) for _, t in signature), expression))
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
