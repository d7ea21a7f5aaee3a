"""The executor's operator table: what each node of a graph computes.

An implementation is a callable that takes the node's input values as
positional arguments and the node's parameters as keyword arguments:
`fn(*inputs, **params)`. Its signature says which parameters it reads: every
parameter a node carries must be a keyword the callable accepts (or the
callable takes `**kwargs`), and every keyword-only parameter without a default
must be present. The executor checks both for every node before it computes
anything, so a parameter is never dropped unread.

The table is keyed like the heads of rewrite-rule patterns: an operator by its
name (`add`, or `op:add`), a reduction as `reduction:NAME`, and the boundary
kinds as `exchange` and `join`. The default implementations go through numpy's
ufuncs, so numpy arrays and scalars, pandas objects and dask collections are
all served by the same table; each op's meaning is in `DOCS` and in the
README.
"""

from __future__ import annotations

import inspect
import sys
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Callable, Mapping

from ._optional import need

Impl = Callable[..., Any]
Check = Callable[[Mapping[str, Any], int], None]

_numpy: ModuleType | None = None


def np() -> ModuleType:
    """numpy, imported on first use."""
    global _numpy
    if _numpy is None:
        _numpy = need("numpy")
    return _numpy


@dataclass(frozen=True)
class OpImpl:
    """One entry of an operator table."""

    key: str  # "add", "reduction:sum", "exchange", "join"
    fn: Impl
    reads: frozenset[str] | None  # the parameters it accepts; None: any (it takes **kwargs)
    required: frozenset[str]  # keyword-only parameters without a default
    check: Check | None = None  # further checks of (params, number of inputs); raises ValueError
    default: bool = False  # one of the table's own implementations

    def validate(self, params: Mapping[str, Any], n_inputs: int) -> None:
        """Raises ValueError (without the node's id) if `params` do not suit this implementation."""
        if self.reads is not None:
            for name in sorted(params):
                if name not in self.reads:
                    raise ValueError(f"parameter {name!r} is not read by its implementation")
        for name in sorted(self.required):
            if name not in params:
                raise ValueError(f"parameter {name!r} is required and missing")
        if self.check is not None:
            self.check(params, n_inputs)


def implementation(key: str, fn: Impl, *, check: Check | None = None, default: bool = False) -> OpImpl:
    """The table entry for `fn`, its accepted parameters read from its signature."""
    if not callable(fn):
        raise TypeError(f"implementation of {key!r} is not callable: {fn!r}")
    try:
        signature = inspect.signature(fn)
    except (TypeError, ValueError):  # a builtin without a signature: trust it with everything
        return OpImpl(key, fn, None, frozenset(), check, default)
    reads: set[str] | None = set()
    required: set[str] = set()
    for p in signature.parameters.values():
        if p.kind is p.VAR_KEYWORD:
            reads = None
        elif p.kind in (p.KEYWORD_ONLY, p.POSITIONAL_OR_KEYWORD) and reads is not None:
            reads.add(p.name)
        if p.kind is p.KEYWORD_ONLY and p.default is p.empty:
            required.add(p.name)
    return OpImpl(key, fn, None if reads is None else frozenset(reads), frozenset(required), check, default)


def table_key(kind: str, name: str) -> str:
    """The key of a node (or stage member) of `kind` named `name`."""
    if kind == "op":
        return name
    if kind in ("exchange", "join"):
        return kind
    return f"{kind}:{name}"


def normalize_key(key: str) -> str:
    """A key as a user may write it (`op:add` or `add`) in the table's own spelling."""
    if key.startswith("op:"):
        return key[3:]
    return key


# Element-wise operators

def ufunc(name: str, *args: Any) -> Any:
    """numpy's ufunc `name` applied to `args`. Over dask DataFrames and Series it is applied partition
    by partition (`map_partitions`): the same function on the same values, in a form dask's optimizer
    can push column projections past (it cannot with dask's own ufunc expressions)."""
    f = getattr(np(), name)
    dd = sys.modules.get("dask.dataframe")
    if dd is not None and any(isinstance(a, (dd.DataFrame, dd.Series)) for a in args):
        return dd.map_partitions(f, *args)
    return f(*args)


def _operands(xs: tuple[Any, ...], scalar: Any, side: str | None) -> list[Any]:
    if scalar is None:
        return list(xs)
    return [*xs, scalar] if side in (None, "r") else [scalar, *xs]


def _check_scalar(params: Mapping[str, Any]) -> int:
    """How many operands the scalar parameters add (0 or 1)."""
    scalar, side = params.get("scalar"), params.get("side")
    if "side" in params:
        if "scalar" not in params:
            raise ValueError("parameter 'side' needs a 'scalar'")
        if side not in ("l", "r"):
            raise ValueError(f"parameter 'side' must be \"l\" or \"r\", not {side!r}")
    if "scalar" in params and not isinstance(scalar, (int, float)):
        raise ValueError(f"parameter 'scalar' must be a number or a bool, not {scalar!r}")
    return 1 if "scalar" in params else 0


def _arity(low: int, high: int | None) -> Check:
    def check(params: Mapping[str, Any], n_inputs: int) -> None:
        n = n_inputs + _check_scalar(params)
        if n < low or (high is not None and n > high):
            want = f"{low}" if high == low else f"at least {low}" if high is None else f"{low} to {high}"
            raise ValueError(f"takes {want} operands (inputs and scalar), got {n}")
    return check


def _unary_check(params: Mapping[str, Any], n_inputs: int) -> None:
    if n_inputs != 1:
        raise ValueError(f"takes exactly 1 input, got {n_inputs}")


# Logical operators and comparisons give 1.0 or 0.0 (bool + 0.0): a float like every other value, so that
# the optimizer's identities hold for them (x + 0.0 is x) and arithmetic reads them as numbers.
_TRUTH = frozenset(["logical_and", "logical_or"])


def _folding(name: str) -> Impl:
    def op(*xs: Any, scalar: Any = None, side: str | None = None) -> Any:
        values = _operands(xs, scalar, side)
        acc = values[0]
        for v in values[1:]:
            acc = ufunc(name, acc, v)
        return ufunc("add", acc, 0.0) if name in _TRUTH else acc
    op.__name__ = name
    return op


def _comparison(strict_ufunc: str, loose_ufunc: str, strict_default: bool) -> Impl:
    def op(*xs: Any, scalar: Any = None, side: str | None = None, strict: bool = strict_default) -> Any:
        a, b = _operands(xs, scalar, side)
        return ufunc("add", ufunc(strict_ufunc if strict else loose_ufunc, a, b), 0.0)
    return op


def _strict_check(params: Mapping[str, Any], n_inputs: int) -> None:
    _arity(2, 2)(params, n_inputs)
    if "strict" in params and not isinstance(params["strict"], bool):
        raise ValueError(f"parameter 'strict' must be a bool, not {params['strict']!r}")


def _equality(name: str) -> Impl:
    def op(*xs: Any, scalar: Any = None, side: str | None = None) -> Any:
        a, b = _operands(xs, scalar, side)
        return ufunc("add", ufunc(name, a, b), 0.0)
    return op


def _unary(name: str) -> Impl:
    def op(x: Any, /) -> Any:
        return ufunc(name, x)
    op.__name__ = name
    return op


def relu(x: Any, /) -> Any:
    return ufunc("maximum", x, 0.0)


def sigmoid(x: Any, /, *, temperature: float = 1.0) -> Any:
    return ufunc("true_divide", 1.0, ufunc("add", 1.0, ufunc("exp", ufunc("true_divide", ufunc("negative", x),
                                                                           temperature))))


def clip(x: Any, /, *, lo: float, hi: float) -> Any:
    return ufunc("minimum", ufunc("maximum", x, lo), hi)


def _number_params(*names: str) -> Check:
    def check(params: Mapping[str, Any], n_inputs: int) -> None:
        _unary_check(params, n_inputs)
        for name in names:
            if name in params and (isinstance(params[name], bool) or not isinstance(params[name], (int, float))):
                raise ValueError(f"parameter {name!r} must be a number, not {params[name]!r}")
    return check


# Reductions

def _reduction(func: str) -> Impl:
    def op(x: Any, /, *, axis: int | None = None) -> Any:
        return getattr(np(), func)(x, axis=axis)
    op.__name__ = func
    return op


def count(x: Any, /, *, axis: int | None = None) -> Any:
    return np().sum(ufunc("logical_not", ufunc("isnan", x)), axis=axis)


def _axis_check(params: Mapping[str, Any], n_inputs: int) -> None:
    if n_inputs != 1:
        raise ValueError(f"takes exactly 1 input, got {n_inputs}")
    axis = params.get("axis")
    if axis is not None and (isinstance(axis, bool) or not isinstance(axis, int)):
        raise ValueError(f"parameter 'axis' must be an int, not {axis!r}")


# Boundaries

def _frame_kind(value: Any) -> str | None:
    """"dask" or "pandas" for a DataFrame of either library, None otherwise (importing neither)."""
    dd = sys.modules.get("dask.dataframe")
    if dd is not None and isinstance(value, dd.DataFrame):
        return "dask"
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(value, pd.DataFrame):
        return "pandas"
    return None


def exchange(x: Any, /, *, key: str, parts: int, scheme: str = "hash") -> Any:
    kind = _frame_kind(x)
    if kind == "dask":
        return x.shuffle(on=key, npartitions=parts)
    if kind == "pandas":
        return x  # one partition already holds every key
    raise TypeError(f"exchange needs a pandas or dask DataFrame, not {type(x).__module__}.{type(x).__qualname__}")


def _exchange_check(params: Mapping[str, Any], n_inputs: int) -> None:
    if n_inputs != 1:
        raise ValueError(f"takes exactly 1 input, got {n_inputs}")
    if params.get("scheme", "hash") != "hash":
        raise ValueError(f"parameter 'scheme' {params['scheme']!r} is not supported (only \"hash\")")
    parts = params.get("parts")
    if isinstance(parts, bool) or not isinstance(parts, int) or parts < 1:
        raise ValueError(f"parameter 'parts' must be a positive int, not {parts!r}")


def join(left: Any, right: Any, /, *, on: str | list[str] | None = None, how: str = "inner") -> Any:
    kinds = (_frame_kind(left), _frame_kind(right))
    if None in kinds:
        bad = right if kinds[0] else left
        raise TypeError(f"join needs pandas or dask DataFrames, not {type(bad).__module__}.{type(bad).__qualname__}")
    if kinds[0] == "pandas" and kinds[1] == "dask":
        return need("dask.dataframe").merge(left, right, on=on, how=how)
    return left.merge(right, on=on, how=how)


def _join_check(params: Mapping[str, Any], n_inputs: int) -> None:
    if n_inputs != 2:
        raise ValueError(f"takes exactly 2 inputs (left, right), got {n_inputs}")
    if params.get("how", "inner") not in ("inner", "left", "right", "outer", "cross"):
        raise ValueError(f"parameter 'how' must be inner, left, right, outer or cross, not {params['how']!r}")


# name -> (implementation, check, meaning)
_DEFAULTS: dict[str, tuple[Impl, Check | None, str]] = {
    "add": (_folding("add"), _arity(2, None), "a + b, folded from the left over the operands"),
    "sub": (_folding("subtract"), _arity(2, 2), "a - b"),
    "mul": (_folding("multiply"), _arity(2, None), "a * b, folded from the left over the operands"),
    "div": (_folding("true_divide"), _arity(2, 2), "a / b (IEEE: x/0 is ±inf, 0/0 NaN)"),
    "maximum": (_folding("maximum"), _arity(2, None), "numpy.maximum: the larger; NaN if either is NaN"),
    "minimum": (_folding("minimum"), _arity(2, None), "numpy.minimum: the smaller; NaN if either is NaN"),
    "and": (_folding("logical_and"), _arity(2, None), "logical and (nonzero and NaN are true): 1.0 or 0.0"),
    "or": (_folding("logical_or"), _arity(2, None), "logical or (nonzero and NaN are true): 1.0 or 0.0"),
    "eq": (_equality("equal"), _arity(2, 2), "a == b: 1.0 or 0.0 (NaN equals nothing)"),
    "ne": (_equality("not_equal"), _arity(2, 2), "a != b: 1.0 or 0.0"),
    "lt": (_comparison("less", "less_equal", True), _strict_check, "a < b (a <= b with strict=false): 1.0 or 0.0"),
    "le": (_comparison("less", "less_equal", False), _strict_check, "a <= b (a < b with strict=true): 1.0 or 0.0"),
    "gt": (_comparison("greater", "greater_equal", True), _strict_check, "a > b (a >= b with strict=false): 1.0 or 0.0"),
    "ge": (_comparison("greater", "greater_equal", False), _strict_check, "a >= b (a > b with strict=true): 1.0 or 0.0"),
    "neg": (_unary("negative"), _unary_check, "-x (flips the sign of zero)"),
    "abs": (_unary("absolute"), _unary_check, "|x|"),
    "exp": (_unary("exp"), _unary_check, "e**x"),
    "log": (_unary("log"), _unary_check, "natural log; -inf at 0, NaN below"),
    "log1p": (_unary("log1p"), _unary_check, "log(1 + x), exact near 0; NaN below -1"),
    "sqrt": (_unary("sqrt"), _unary_check, "square root; sqrt(-0.0) is -0.0, NaN below"),
    "tanh": (_unary("tanh"), _unary_check, "hyperbolic tangent"),
    "relu": (relu, _unary_check, "numpy.maximum(x, 0.0): NaN stays NaN"),
    "sigmoid": (sigmoid, _number_params("temperature"), "1 / (1 + exp(-x / temperature)), temperature default 1.0"),
    "clip": (clip, _number_params("lo", "hi"), "numpy.minimum(numpy.maximum(x, lo), hi); NaN stays NaN"),
    "reduction:sum": (_reduction("sum"), _axis_check, "numpy.sum(x, axis=axis); all axes without axis"),
    "reduction:mean": (_reduction("mean"), _axis_check, "numpy.mean(x, axis=axis)"),
    "reduction:min": (_reduction("min"), _axis_check, "numpy.min(x, axis=axis)"),
    "reduction:max": (_reduction("max"), _axis_check, "numpy.max(x, axis=axis)"),
    "reduction:prod": (_reduction("prod"), _axis_check, "numpy.prod(x, axis=axis)"),
    "reduction:count": (count, _axis_check, "the number of values that are not NaN, along axis"),
    "exchange": (exchange, _exchange_check,
                 "dask DataFrame: shuffle(on=key, npartitions=parts); pandas DataFrame: itself; scheme \"hash\""),
    "join": (join, _join_check, "left.merge(right, on=on, how=how) on pandas or dask DataFrames"),
}

DEFAULT_TABLE: dict[str, OpImpl] = {
    key: implementation(key, fn, check=check, default=True) for key, (fn, check, _) in _DEFAULTS.items()
}
DOCS: dict[str, str] = {key: doc for key, (_, _, doc) in _DEFAULTS.items()}

def make_table(ops: Mapping[str, Impl] | None) -> dict[str, OpImpl]:
    """The default table with `ops` added or overriding entries."""
    table = dict(DEFAULT_TABLE)
    for key, fn in (ops or {}).items():
        if not isinstance(key, str):
            raise TypeError(f"ops keys must be str, not {key!r}")
        key = normalize_key(key)
        table[key] = implementation(key, fn)
    return table
