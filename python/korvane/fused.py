"""Fused stages: a stage's members run in one pass over memory.

A `Stage` is a chain (or, with maximal fusion, a small DAG) of element-wise
members. Run op by op on numpy arrays, every member reads and writes whole
arrays; at 1e6 float64 elements an array is 8 MB and each member streams
through memory. There are two ways to keep a stage's values in the cache:

Blocks (`fuse=True`, the default): a stage whose members are all element-wise
default operators runs over consecutive blocks of `BLOCK` elements of its
inputs, every member on a block with the same numpy functions as op by op. The
values are those of op by op, bit for bit, and the whole stage makes one
output array instead of one per member. The blocks are independent, so a
large stage shares them among threads (numpy releases the GIL in its loops). This is the faster way on the build
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

import concurrent.futures
import contextvars
import math
import os
import sys
import threading
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

# Elements per block (512 KB of float64): the fastest of 2**11 to 2**17 on the build machine, where
# smaller blocks pay more calls and larger ones leave the L2 cache.
BLOCK = 65536


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
_CACHE_LOCK = threading.Lock()


def plan(members: Sequence[Member], table: Mapping[str, OpImpl]) -> Plan | None:
    """The fused plan of a stage, or None if no member fuses (or numexpr is not installed)."""
    if not have("numexpr"):
        return None
    mask = [_fusable(m, table) for m in members]
    if not any(mask):
        return None
    key = _structure(members, mask)
    with _CACHE_LOCK:
        if key in _CACHE:
            _CACHE.move_to_end(key)
            return _CACHE[key]
    result = _compile(members, mask)
    with _CACHE_LOCK:
        _CACHE[key] = result
        if len(_CACHE) > _CACHE_SIZE:
            _CACHE.popitem(last=False)
    return result


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


# Block programs: a stage of element-wise default operators as numpy ufunc calls that write into
# buffers of one block, the calls the op table makes for the same members, in the same order, on the
# same operands. Writing with `out=` makes no new array per call: the buffers are allocated once per
# thread and reused by every stage and block, so a block's values stay in the cache and no call
# touches fresh memory (a first touch of a page costs microseconds).

INPUT, MEMBER, CONST, SELF = 0, 1, 2, 3
Operand = tuple[int, Any]
Instruction = tuple[str, tuple[Operand, ...]]  # (ufunc name, operands); writes the member's buffer

_UFUNCS = {"add": "add", "sub": "subtract", "mul": "multiply", "div": "true_divide", "maximum": "maximum",
           "minimum": "minimum", "and": "logical_and", "or": "logical_or", "eq": "equal", "ne": "not_equal",
           "neg": "negative", "abs": "absolute", "exp": "exp", "log": "log", "log1p": "log1p", "sqrt": "sqrt",
           "tanh": "tanh"}
_ORDER = {"lt": ("less", "less_equal", True), "le": ("less", "less_equal", False),
          "gt": ("greater", "greater_equal", True), "ge": ("greater", "greater_equal", False)}


@dataclass(frozen=True)
class BlockProgram:
    members: tuple[tuple[Instruction, ...], ...]
    ufuncs: tuple[tuple[Any, ...], ...]  # the resolved ufunc of each instruction


def _member_instructions(member: Member) -> tuple[Instruction, ...]:
    """The calls `ops.py` makes for one member; a comparison or logical result is written straight
    into the float64 buffer, which casts True and False to 1.0 and 0.0 as `+ 0.0` does."""
    name, params = member["name"], member["params"]
    operands: list[Operand] = [(INPUT if ref == "input" else MEMBER, j) for ref, j in member["inputs"]]
    if "scalar" in params:
        const = (CONST, params["scalar"])
        operands = operands + [const] if params.get("side", "r") == "r" else [const] + operands
    if name in ("add", "sub", "mul", "div", "maximum", "minimum", "and", "or"):
        out: list[Instruction] = [(_UFUNCS[name], (operands[0], operands[1]))]
        out += [(_UFUNCS[name], ((SELF, None), v)) for v in operands[2:]]
        return tuple(out)
    if name in ("eq", "ne"):
        return ((_UFUNCS[name], tuple(operands)),)
    if name in _ORDER:
        strict_ufunc, loose_ufunc, strict_default = _ORDER[name]
        return ((strict_ufunc if params.get("strict", strict_default) else loose_ufunc, tuple(operands)),)
    x = operands[0]
    me = (SELF, None)
    if name == "relu":
        return (("maximum", (x, (CONST, 0.0))),)
    if name == "clip":
        return (("maximum", (x, (CONST, params["lo"]))), ("minimum", (me, (CONST, params["hi"]))))
    if name == "sigmoid":
        t = (CONST, params.get("temperature", 1.0))
        return (("negative", (x,)), ("true_divide", (me, t)), ("exp", (me,)), ("add", ((CONST, 1.0), me)),
                ("true_divide", ((CONST, 1.0), me)))
    return ((_UFUNCS[name], (x,)),)


def block_program(members: Sequence[Member], table: Mapping[str, OpImpl]) -> BlockProgram | None:
    """The block program of a stage whose members are all element-wise default operators, else None."""
    if not all(elementwise(m, table) for m in members):
        return None
    n = np()
    program = tuple(_member_instructions(m) for m in members)
    ufuncs = tuple(tuple(getattr(n, u) for u, _ in instructions) for instructions in program)
    return BlockProgram(program, ufuncs)


class _Buffers(threading.local):
    def __init__(self) -> None:
        self.arrays: list[Any] = []
        self.spare: dict[int, list[Any]] = {}  # arrays nobody holds any more, by length


_BUFFERS = _Buffers()
SPARE = 2  # whole arrays kept per length for the next stages' outputs


def _count(value: Any) -> int:
    return sys.getrefcount(value)


def _sole() -> int:
    """What getrefcount says in `recycle` of an object held by the caller's local alone (the
    interpreter decides which references it counts, so this is measured, not assumed)."""
    probe = object()
    return _count(probe)


_SOLE = _sole()


def recycle(value: Any) -> None:
    """Keeps `value` for a later stage's output if it is a float64 array that owns its memory and
    that nothing but the caller's local holds: writing a page that was written before costs
    nothing, touching a fresh one microseconds."""
    n = sys.modules.get("numpy")
    if n is None or type(value) is not n.ndarray or sys.getrefcount(value) > _SOLE:
        return
    if value.dtype != n.float64 or value.ndim != 1 or not value.flags.owndata or not value.flags.writeable:
        return
    spare = _BUFFERS.spare.setdefault(value.shape[0], [])
    if len(spare) < SPARE:
        spare.append(value)


KEEP_BUFFERS = 16  # block buffers kept for the next run (8 MB); a wider stage's extra ones are freed
# Bytes of spare arrays kept for the next run's first stage outputs: two arrays of 1e6 float64.
KEEP_SPARE_BYTES = 16_000_000


def release_buffers() -> None:
    """At the end of a run: frees the block buffers beyond KEEP_BUFFERS and the spare arrays beyond
    KEEP_SPARE_BYTES, the longest first. What stays saves the next run from touching fresh pages
    (a run on 1e6 elements gains about a tenth); `free_buffers()` frees it too."""
    del _BUFFERS.arrays[KEEP_BUFFERS:]
    kept = 0
    for size in sorted(_BUFFERS.spare):
        arrays = _BUFFERS.spare[size]
        while arrays and kept + arrays[-1].nbytes > KEEP_SPARE_BYTES:
            arrays.pop()
        kept += sum(a.nbytes for a in arrays)
        if not arrays:
            del _BUFFERS.spare[size]


def free_buffers() -> None:
    """Frees every buffer and spare array this thread keeps between runs."""
    _BUFFERS.arrays.clear()
    _BUFFERS.spare.clear()


def _output(size: int) -> Any:
    spare = _BUFFERS.spare.get(size)
    if spare:
        return spare.pop()
    return np().empty(size, dtype=np().float64)


def run_blocks(program: BlockProgram, args: Sequence[Any], shape: tuple[int, ...], threads: int = 1) -> Any:
    """The stage's last member over `args` (float64 arrays of `shape` and float scalars), block by
    block: on up to `threads` threads, each running a contiguous range of the blocks."""
    n = np()
    flat = [v.reshape(-1) if isinstance(v, n.ndarray) and v.ndim else v for v in args]
    arrays = [k for k, v in enumerate(flat) if isinstance(v, n.ndarray) and v.ndim]
    size = flat[arrays[0]].shape[0]
    out = _output(size)
    last = len(program.members) - 1
    # Members that read scalars alone are scalars: computed once, as op by op computes them, not
    # once per element of every block.
    scalars: list[Any] = [None] * (last + 1)
    is_array = [k in arrays for k in range(len(flat))]
    for p, (instructions, ufuncs) in enumerate(zip(program.members, program.ufuncs)):
        if any(kind == INPUT and is_array[v] or kind == MEMBER and scalars[v] is None
               for _, operands in instructions for kind, v in operands):
            continue
        value: Any = None
        for (_, operands), ufunc in zip(instructions, ufuncs):
            value = ufunc(*[flat[v] if kind == INPUT else scalars[v] if kind == MEMBER else
                            v if kind == CONST else value for kind, v in operands])
        scalars[p] = n.float64(value)  # a comparison's bool, as + 0.0 makes it
    blocks = -(-size // BLOCK)
    parts = max(1, min(threads, blocks // BLOCKS_PER_THREAD))
    bounds = [blocks * t // parts * BLOCK for t in range(parts)] + [size]
    if parts == 1:
        _run_range(program, flat, arrays, scalars, out, 0, size)
    else:
        context = contextvars.copy_context  # each part runs under the caller's numpy error state
        others = [_pool().submit(context().run, _run_range, program, flat, arrays, scalars, out,
                                 bounds[t], bounds[t + 1], True) for t in range(1, parts)]
        try:
            _run_range(program, flat, arrays, scalars, out, bounds[0], bounds[1])
        finally:
            concurrent.futures.wait(others)
        for f in others:
            f.result()  # a part's exception
    return out if len(shape) == 1 else out.reshape(shape)


def _run_range(program: BlockProgram, flat: Sequence[Any], arrays: Sequence[int], scalars: Sequence[Any],
               out: Any, begin: int, end: int, worker: bool = False) -> None:
    """Elements `begin` to `end` of the stage's output, block by block, in this thread's buffers."""
    n = np()
    last = len(program.members) - 1
    step = BLOCK
    buffers = _BUFFERS.arrays
    while len(buffers) < last or (buffers and len(buffers[0]) != step):
        if buffers and len(buffers[0]) != step:
            buffers.clear()  # BLOCK changed
        buffers.append(n.empty(step, dtype=n.float64))
    targets = list(scalars)
    block = list(flat)
    for start in range(begin, end, step):
        stop = min(start + step, end)
        m = stop - start
        for k in arrays:
            block[k] = flat[k][start:stop]
        for p, (instructions, ufuncs) in enumerate(zip(program.members, program.ufuncs)):
            if scalars[p] is not None:
                continue
            target = out[start:stop] if p == last else buffers[p][:m] if m != step else buffers[p]
            targets[p] = target
            for (_, operands), ufunc in zip(instructions, ufuncs):
                ufunc(*[block[v] if kind == INPUT else targets[v] if kind == MEMBER else
                        v if kind == CONST else target for kind, v in operands], out=target)
    if worker:
        del buffers[KEEP_BUFFERS:]  # a pool thread keeps no more than a run's caller does


# Threads for the blocks of a stage: numpy releases the GIL inside each ufunc call, so the parts of
# a stage compute in parallel. One pool for the process, made again in a forked child (whose copy
# of the pool has no threads behind it).
_POOL: concurrent.futures.ThreadPoolExecutor | None = None
_POOL_PID = 0
_POOL_LOCK = threading.Lock()
MAX_THREADS = 64
# The fewest blocks worth handing to another thread: below that, waking it costs more than it saves
# (bench/execute.py: the demo at 1e5 elements, two blocks, ran 1.6x slower on two threads).
BLOCKS_PER_THREAD = 4


def _pool() -> concurrent.futures.ThreadPoolExecutor:
    global _POOL, _POOL_PID
    with _POOL_LOCK:
        if _POOL is None or _POOL_PID != os.getpid():
            _POOL = concurrent.futures.ThreadPoolExecutor(MAX_THREADS - 1, thread_name_prefix="korvane-blocks")
            _POOL_PID = os.getpid()
        return _POOL


def default_threads() -> int:
    """The cores this process may run on, at most 8: the threads a stage's blocks use by default."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    return max(1, min(cores, 8))
