"""Running a graph: `execute(store, sources)` computes the values of its outputs.

The executor reads a store through its views (`nodes()`, `outputs()`) and
computes only the nodes the requested outputs reach, each once, in id order
(inputs always have smaller ids). It counts the consumers of every value and
drops a value as soon as its last consumer has run, so memory holds the live
values and no more. Before it computes anything it resolves every node's
implementation and checks its parameters, so a graph it cannot run fails at
once, naming the node.

Values are whatever the implementations accept; the default table (see
`korvane.ops`) serves numpy arrays and scalars, pandas objects and dask
collections. Dask values stay lazy: the outputs are dask collections to
`compute()`.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol, Union

from . import fused
from ._optional import have, need
from .ops import Impl, OpImpl, implementation, make_table, np, table_key

Sources = Union[Mapping[str, Any], Callable[[str, Mapping[str, Any]], Any]]
ExternalImpl = Union[Callable[..., Any], bytes, str, "os.PathLike[str]"]
Progress = Callable[[int, int], None]
Fuse = Union[bool, Literal["blocks", "numexpr"]]


class StoreView(Protocol):
    """What the executor reads of a store (a `korvane_core.GraphStore`)."""

    def nodes(self) -> Sequence[Mapping[str, Any]]: ...

    def outputs(self) -> Sequence[int]: ...


def _label(node: Mapping[str, Any]) -> str:
    kind = str(node["kind"])
    if kind == "external":
        return f"external {node['descriptor']['content_hash']!r}"
    if kind in ("op", "reduction", "source"):
        return f"{kind} {node['name']!r}"
    return kind


# ONNX models

_ONNX_DTYPES = {
    "tensor(float)": "float32", "tensor(double)": "float64", "tensor(float16)": "float16",
    "tensor(int64)": "int64", "tensor(int32)": "int32", "tensor(int16)": "int16", "tensor(int8)": "int8",
    "tensor(uint8)": "uint8", "tensor(bool)": "bool",
}


class OnnxModel:
    """An external run by onnxruntime: the node's inputs feed the model's inputs in order, each
    converted to the dtype the model declares. `batch` rows at a time when the node says so."""

    def __init__(self, model: bytes | str | os.PathLike[str], content_hash: str) -> None:
        ort = need("onnxruntime")
        self.content_hash = content_hash
        source = model if isinstance(model, bytes) else os.fspath(model)
        try:
            self.session = ort.InferenceSession(source, providers=["CPUExecutionProvider"])
        except Exception as e:
            what = "bytes" if isinstance(model, bytes) else repr(source)
            raise ValueError(f"external {content_hash!r}: cannot load the ONNX model from {what}: "
                             f"{str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__}") from None
        self.inputs = self.session.get_inputs()
        self.outputs = [o.name for o in self.session.get_outputs()]

    def _feed(self, values: Sequence[Any]) -> dict[str, Any]:
        n = np()
        if len(values) != len(self.inputs):
            raise ValueError(f"external {self.content_hash!r}: the model takes {len(self.inputs)} inputs "
                             f"({', '.join(i.name for i in self.inputs)}), the node gives {len(values)}")
        feed = {}
        for k, (port, value) in enumerate(zip(self.inputs, values)):
            dtype = _ONNX_DTYPES.get(port.type)
            if dtype is None:
                raise ValueError(f"external {self.content_hash!r}: input {port.name!r} has type {port.type}, "
                                 "which the executor does not feed")
            array = n.asarray(value, dtype=dtype)
            shape = list(port.shape)
            if array.ndim != len(shape) or any(isinstance(d, int) and d != s for d, s in zip(shape, array.shape)):
                raise ValueError(f"external {self.content_hash!r}: input {k} ({port.name!r}) must have shape "
                                 f"{shape}, got {list(array.shape)}")
            feed[port.name] = array
        return feed

    def __call__(self, *values: Any, batch: int | None = None) -> Any:
        n = np()
        feed = self._feed(values)
        rows = {a.shape[0] if a.ndim else -1 for a in feed.values()}
        if batch is None or len(rows) != 1 or -1 in rows or batch >= next(iter(rows)):
            results = self._run(feed)
        else:
            total = next(iter(rows))
            parts = [self._run({k: a[i:i + batch] for k, a in feed.items()}) for i in range(0, total, batch)]
            results = [n.concatenate([p[j] for p in parts], axis=0) for j in range(len(self.outputs))]
        return results[0] if len(results) == 1 else tuple(results)

    def _run(self, feed: dict[str, Any]) -> list[Any]:
        try:
            return list(self.session.run(self.outputs, feed))
        except Exception as e:
            raise ValueError(f"external {self.content_hash!r}: onnxruntime refused the inputs: "
                             f"{str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__}") from None


def _batch_check(params: Mapping[str, Any], n_inputs: int) -> None:
    batch = params.get("batch")
    if batch is not None and (isinstance(batch, bool) or not isinstance(batch, int) or batch < 1):
        raise ValueError(f"parameter 'batch' must be a positive int, not {batch!r}")


def _external(descriptor: Mapping[str, Any], given: ExternalImpl, cache: dict[int, OpImpl]) -> OpImpl:
    done = cache.get(id(given))
    if done is not None:
        return done
    content_hash = descriptor["content_hash"]
    if isinstance(given, (bytes, str, os.PathLike)):
        if descriptor["framework"] != "onnxruntime":
            raise ValueError(f"framework {descriptor['framework']!r} cannot run an ONNX model "
                             "(it must be \"onnxruntime\"); pass a callable instead")
        impl = implementation(f"external:{content_hash}", OnnxModel(given, content_hash), check=_batch_check)
    elif callable(given):
        impl = implementation(f"external:{content_hash}", given)
    else:
        raise TypeError(f"externals[{content_hash!r}] must be a callable, ONNX model bytes or a path, "
                        f"not {type(given).__name__}")
    cache[id(given)] = impl
    return impl


# The prepared program

@dataclass
class _Stage:
    """A stage node: its members op by op, or block by block (`program`), or with numexpr kernels
    between op-by-op members (`plan`)."""

    members: list[tuple[OpImpl, dict[str, Any], list[tuple[str, int]]]]
    release: list[list[int]]  # members to drop after each member
    plan: fused.Plan | None
    plan_release: list[list[int]] = field(default_factory=list)  # the same, for the plan's steps
    program: fused.BlockProgram | None = None  # every member a default element-wise op: run in blocks
    threads: int = 1  # for the blocks

    @property
    def blocked(self) -> bool:
        return self.program is not None

    def __call__(self, *args: Any) -> Any:
        if self.blocked:
            shape = fused.block_shape(args)
            if shape is not None:
                return self._blocks(args, shape)
        if self.plan is not None and fused.accepts(args):
            return self._kernels(args)
        return self._op_by_op(args)

    def _op_by_op(self, args: Sequence[Any]) -> Any:
        values: dict[int, Any] = {}
        for p, (impl, params, refs) in enumerate(self.members):
            values[p] = impl.fn(*[args[j] if r == "input" else values[j] for r, j in refs], **params)
            for q in self.release[p]:
                del values[q]
        return values[len(self.members) - 1]

    def _blocks(self, args: Sequence[Any], shape: tuple[int, ...]) -> Any:
        assert self.program is not None
        return fused.run_blocks(self.program, args, shape, self.threads)

    def _member(self, p: int, args: Sequence[Any], values: Mapping[int, Any]) -> Any:
        """Member `p` op by op, computing the members inlined into it on the way."""
        assert self.plan is not None
        impl, params, refs = self.members[p]
        operands = [args[j] if r == "input" else
                    self._member(j, args, values) if self.plan.inline[j] else values[j] for r, j in refs]
        return impl.fn(*operands, **params)

    def _kernels(self, args: Sequence[Any]) -> Any:
        assert self.plan is not None
        n = np()
        values: dict[int, Any] = {}
        for step, release in zip(self.plan.steps, self.plan_release):
            p = step.member
            if step.kernel is None:
                values[p] = self._member(p, args, values)
            else:
                operands = [args[j] if r == "input" else values[j] for r, j in step.names]
                if all(isinstance(v, float) or isinstance(v, n.ndarray) and v.dtype == n.float64 for v in operands):
                    values[p] = step.kernel(*operands)
                else:  # an op-by-op member gave a value of another type
                    values[p] = self._member(p, args, values)
            for q in release:
                del values[q]
        return values[len(self.members) - 1]


def _stage_release(n: int, reads: Sequence[Sequence[int]]) -> list[list[int]]:
    """For each of `n` steps, the members whose last reader it is (the last member is kept)."""
    last: dict[int, int] = {}
    for step, members in enumerate(reads):
        for q in members:
            last[q] = step
    release: list[list[int]] = [[] for _ in range(n)]
    for q, step in last.items():
        release[step].append(q)
    return release


@dataclass
class _Node:
    id: int
    label: str
    inputs: list[int]
    run: Impl | None  # None for a source
    params: dict[str, Any]
    release: list[int]  # values to drop once this node has run
    name: str = ""  # a source's name


class Program:
    """A store prepared for running: the reached nodes in id order with their implementations
    resolved and their parameters checked. `run(sources)` may be called many times."""

    def __init__(self, store: StoreView, *, outputs: Sequence[int] | None = None,
                 ops: Mapping[str, Impl] | None = None, externals: Mapping[str, ExternalImpl] | None = None,
                 fuse: Fuse = True, threads: int | None = None) -> None:
        if fuse not in (True, False, "blocks", "numexpr"):
            raise ValueError(f"fuse must be True, False, \"blocks\" or \"numexpr\", not {fuse!r}")
        if threads is None:
            threads = fused.default_threads()
        elif isinstance(threads, bool) or not isinstance(threads, int):
            raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
        elif not 1 <= threads <= fused.MAX_THREADS:
            raise ValueError(f"threads must be between 1 and {fused.MAX_THREADS}, not {threads}")
        self.threads = threads
        if fuse == "numexpr":
            need("numexpr")
        nodes = store.nodes()
        if outputs is None:
            outputs = store.outputs()
            if not outputs:
                raise ValueError("the store marks no outputs; pass outputs=[...]")
        self.outputs = [self._node_id(o, len(nodes)) for o in outputs]
        table = make_table(ops)
        externals = dict(externals or {})
        external_cache: dict[int, OpImpl] = {}

        reached = set(self.outputs)
        for i in range(max(self.outputs, default=-1), -1, -1):
            if i in reached:
                reached.update(nodes[i]["inputs"])
        order = sorted(reached)
        readers: dict[int, int] = {}  # last reader of every value
        for i in order:
            for u in nodes[i]["inputs"]:
                readers[u] = i
        keep = set(self.outputs)
        drop: dict[int, list[int]] = {}
        for u, i in readers.items():
            if u not in keep:
                drop.setdefault(i, []).append(u)

        self.sources: dict[str, tuple[int, dict[str, Any]]] = {}
        self.conflicts: list[str] = []
        self.nodes: list[_Node] = []
        self.stages = 0
        self.fused_stages = 0  # with numexpr kernels
        self.blocked_stages = 0  # run block by block
        for i in order:
            node = nodes[i]
            kind, params, label = node["kind"], dict(node["params"]), _label(node)
            try:
                run = self._resolve(node, table, externals, external_cache, fuse)
            except (ValueError, TypeError) as e:
                raise type(e)(f"node {i} ({label}): {e}") from None
            if kind == "source":
                seen = self.sources.setdefault(node["name"], (i, params))
                if seen[1] != params:
                    self.conflicts.append(f"sources {node['name']!r} of nodes {seen[0]} and {i} differ in their "
                                          "parameters; pass a callable (name, params) -> value as sources")
            self.nodes.append(_Node(i, label, list(node["inputs"]), run, params, drop.get(i, []), node["name"]))

    @staticmethod
    def _node_id(node: object, count: int) -> int:
        if isinstance(node, bool) or not isinstance(node, int):
            raise TypeError(f"output ids must be ints, not {node!r}")
        if not 0 <= node < count:
            raise ValueError(f"no node with id {node}")
        return node

    def _resolve(self, node: Mapping[str, Any], table: Mapping[str, OpImpl], externals: Mapping[str, ExternalImpl],
                 external_cache: dict[int, OpImpl], fuse: Fuse) -> Impl | None:
        kind, params, inputs = node["kind"], node["params"], node["inputs"]
        if kind == "source":
            return None
        if kind == "external":
            descriptor = node["descriptor"]
            given = externals.get(descriptor["content_hash"])
            if given is None:
                raise ValueError(f"no implementation for external {descriptor['content_hash']!r} (framework "
                                 f"{descriptor['framework']!r}); pass externals={{content_hash: callable or model}}")
            impl = _external(descriptor, given, external_cache)
            impl.validate(params, len(inputs))
            return _bind(impl, params)
        if kind == "stage":
            return self._stage(node, table, fuse)
        impl = _lookup(table, kind, node["name"])
        impl.validate(params, len(inputs))
        return _bind(impl, params)

    def _stage(self, node: Mapping[str, Any], table: Mapping[str, OpImpl], fuse: Fuse) -> _Stage:
        members: list[tuple[OpImpl, dict[str, Any], list[tuple[str, int]]]] = []
        reads: list[list[int]] = []
        for p, m in enumerate(node["members"]):
            refs = [(str(r), int(j)) for r, j in m["inputs"]]
            for r, j in refs:
                if not ((r == "input" and 0 <= j < len(node["inputs"])) or (r == "member" and 0 <= j < p)):
                    raise ValueError(f"member {p} reads ({r!r}, {j}), which the stage does not have")
            try:
                impl = _lookup(table, m["kind"], m["name"])
                impl.validate(m["params"], len(refs))
            except ValueError as e:
                raise ValueError(f"member {p} ({m['kind']} {m['name']!r}): {e}") from None
            members.append((impl, dict(m["params"]), refs))
            reads.append([j for r, j in refs if r == "member"])
        if not members:
            raise ValueError("a stage without members")
        self.stages += 1
        plan = fused.plan(node["members"], table) if fuse == "numexpr" else None
        program = fused.block_program(node["members"], table) if fuse in (True, "blocks") else None
        stage = _Stage(members, _stage_release(len(members), reads), plan, program=program, threads=self.threads)
        self.blocked_stages += program is not None
        if plan is not None:
            self.fused_stages += 1
            step_reads = [[j for r, j in step.names if r == "member"] if step.kernel is not None else
                          _leaf_members(node["members"], step.member, plan.inline) for step in plan.steps]
            stage.plan_release = _stage_release(len(plan.steps), step_reads)
        return stage

    def run(self, sources: Sources, *, progress: Progress | None = None) -> list[Any]:
        """The values of the outputs, in order."""
        if not callable(sources):
            if not isinstance(sources, Mapping):
                raise TypeError(f"sources must be a mapping or a callable, not {type(sources).__name__}")
            missing = [(i, name) for name, (i, _) in self.sources.items() if name not in sources]
            if missing:
                i, name = missing[0]
                raise ValueError(f"node {i} (source {name!r}): no value in sources "
                                 f"(given: {', '.join(map(repr, sorted(map(str, sources)))) or 'none'})")
            if self.conflicts:
                raise ValueError(self.conflicts[0])
        try:
            if have("numpy"):
                with np().errstate(all="ignore"):
                    return self._run(sources, progress)
            return self._run(sources, progress)
        finally:
            if self.blocked_stages:
                fused.release_buffers()

    def _run(self, sources: Sources, progress: Progress | None) -> list[Any]:
        values: dict[int, Any] = {}
        total = len(self.nodes)
        recycle = self.blocked_stages > 0
        for done, node in enumerate(self.nodes, 1):
            try:
                if node.run is None:
                    values[node.id] = sources(node.name, node.params) if callable(sources) else sources[node.name]
                else:
                    values[node.id] = node.run(*[values[u] for u in node.inputs])
            except Exception as e:
                note = getattr(e, "add_note", None)
                if note is not None:
                    note(f"korvane: while running node {node.id} ({node.label})")
                raise
            for u in node.release:
                value = values.pop(u)
                if recycle:
                    fused.recycle(value)
                del value
            if progress is not None:
                progress(done, total)
        return [values[o] for o in self.outputs]


def _leaf_members(members: Sequence[Mapping[str, Any]], p: int, inline: Sequence[bool]) -> list[int]:
    out: list[int] = []
    for r, j in members[p]["inputs"]:
        if r == "member":
            out.extend(_leaf_members(members, j, inline) if inline[j] else [j])
    return out


def _lookup(table: Mapping[str, OpImpl], kind: str, name: str) -> OpImpl:
    key = table_key(kind, name)
    impl = table.get(key)
    if impl is None:
        spelled = f"op:{name}" if kind == "op" and (name in ("exchange", "join") or ":" in name) else key
        raise ValueError(f"{kind} {name!r} has no implementation; pass ops={{{spelled!r}: callable}}")
    return impl


def _bind(impl: OpImpl, params: Mapping[str, Any]) -> Impl:
    fn, kwargs = impl.fn, dict(params)
    if not kwargs:
        return fn

    def bound(*args: Any) -> Any:
        return fn(*args, **kwargs)
    return bound


def execute(store: StoreView, sources: Sources, *, outputs: Sequence[int] | None = None,
            ops: Mapping[str, Impl] | None = None, externals: Mapping[str, ExternalImpl] | None = None,
            fuse: Fuse = True, threads: int | None = None, progress: Progress | None = None) -> list[Any]:
    """Computes the values of `outputs` (default: the store's marked outputs), in order.

    `sources` maps a source's name to its value, or is a callable `(name, params) -> value`.
    `ops` adds or overrides implementations (`{"add": fn, "reduction:sum": fn, "exchange": fn}`),
    each called as `fn(*inputs, **params)`. `externals` maps a payload descriptor's content hash to
    a callable `fn(*inputs, **params)`, or to ONNX model bytes or a path (the descriptor's
    framework must then be "onnxruntime").

    `fuse` says how stages of element-wise default operators run on float64 numpy arrays: True
    (or "blocks") runs each such stage block by block, so that its members' values stay in the
    cache; "numexpr" compiles each stage's exact-form members into numexpr kernels over whole
    arrays; False runs every member over whole arrays, one after the other. All three give the
    same values.
    `threads` is how many threads a stage's blocks share (numpy computes without the GIL); None
    means the cores the process may use, at most 8, and 1 keeps the run on the calling thread.
    `progress(done, total)` is called after each node."""
    program = Program(store, outputs=outputs, ops=ops, externals=externals, fuse=fuse, threads=threads)
    return program.run(sources, progress=progress)
