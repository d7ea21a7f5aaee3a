"""The embedded sample pipeline: a small traced feature pipeline.

It is what a tracing front end would record for a click-through model:
two event sources, element-wise feature arithmetic (with an identity
add-zero and a commutative duplicate that the optimizer removes), a sum
reduction, a call into an external model, a repartitioning exchange and a
join. Some calls record a node that exists already; hash-consing returns the
existing id.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable

import korvane_core

MODEL = korvane_core.PayloadDescriptor(
    kind="onnx",
    content_hash="sha256:9f2c41d0",
    framework="onnxruntime",
    version="1.17.1",
    io_schema="f32[n,8]->f32[n,1]",
    preprocessing_ref="scaler-v3",
)


@dataclass
class Recording:
    """What recording the sample pipeline produced."""

    store: korvane_core.GraphStore
    calls: list[tuple[str, int, bool]] = field(default_factory=list)  # (label, id, was a hit)
    outputs: list[int] = field(default_factory=list)

    @property
    def hits(self) -> int:
        return sum(1 for _, _, hit in self.calls if hit)


def record(
    store: korvane_core.GraphStore | None = None,
    *,
    batch: int = 0,
    on_batch: Callable[[], object] | None = None,
) -> Recording:
    """Records the sample pipeline into `store` (a new one by default). With
    `batch` and `on_batch`, calls `on_batch()` after every `batch` calls and
    once at the end, as a front end that reduces while it records would."""
    rec = Recording(store if store is not None else korvane_core.GraphStore())
    s = rec.store

    def add(label: str, method: Callable[..., int], *args: Any, **kwargs: Any) -> int:
        before = s.node_count()
        node = method(*args, **kwargs)
        rec.calls.append((label, node, s.node_count() == before))
        if batch and on_batch is not None and len(rec.calls) % batch == 0:
            on_batch()
        return node

    clicks = add("source clicks", s.add_source, "clicks", {"table": "events.clicks", "days": 7})
    views = add("source views", s.add_source, "views", {"table": "events.views", "days": 7})
    weights = add("source weights", s.add_source, "weights", {"path": "s3://models/w.bin"})
    # Feature arithmetic, recorded by a front end that repeats itself.
    ratio = add("div clicks/views", s.add_op, "div", [clicks, views])
    add("div clicks/views (again)", s.add_op, "div", [clicks, views])
    shifted = add("add +0 (identity)", s.add_op, "add", [ratio], {"scalar": 0.0, "side": "r"})
    logged = add("log1p", s.add_op, "log1p", [shifted])
    scaled = add("mul weights*log", s.add_op, "mul", [weights, logged])
    scaled_b = add("mul log*weights (commuted)", s.add_op, "mul", [logged, weights])
    unit = add("mul *1 (identity)", s.add_op, "mul", [scaled_b], {"scalar": 1.0, "side": "l"})
    clipped = add("clip", s.add_op, "clip", [unit], {"lo": -5.0, "hi": 5.0})
    summed = add("add scaled+clipped", s.add_op, "add", [scaled, clipped])
    act = add("relu", s.add_op, "relu", [summed])
    total = add("sum over rows", s.add_reduction, "sum", [act], {"axis": 0})
    add("sum over rows (again)", s.add_reduction, "sum", [act], {"axis": 0})
    scored = add("external model", s.add_external, MODEL, [act, weights], {"batch": 1024})
    same_model = add(
        "external model (dict descriptor)",
        s.add_external,
        {
            "kind": "onnx",
            "content_hash": "sha256:9f2c41d0",
            "framework": "onnxruntime",
            "version": "1.17.1",
            "io_schema": "f32[n,8]->f32[n,1]",
            "preprocessing_ref": "scaler-v3",
        },
        [act, weights],
        {"batch": 1024},
    )
    assert same_model == scored
    part = add("exchange by user", s.add_exchange, [scored], {"scheme": "hash", "key": "user_id", "parts": 64})
    add("exchange by user (again)", s.add_exchange, [scored], {"parts": 64, "key": "user_id", "scheme": "hash"})
    calib = add("calibrate", s.add_op, "sigmoid", [part], {"temperature": 1.5})
    users = add("source users", s.add_source, "users", {"table": "dim.users"})
    joined = add("join users", s.add_join, [calib, users], {"how": "left", "on": "user_id"})
    flag = add("ge threshold", s.add_op, "ge", [joined], {"scalar": 0.5, "side": "r", "strict": False})
    # A debugging branch nobody asks for: dead code.
    dbg = add("debug neg", s.add_op, "neg", [ratio])
    add("debug exp", s.add_op, "exp", [dbg])
    rec.outputs = [flag, total]
    if batch and on_batch is not None and len(rec.calls) % batch:
        on_batch()
    return rec


def run_inputs(n: int, seed: int = 0) -> tuple[dict[str, Any], dict[str, Any], dict[str, Any]]:
    """What running the sample pipeline on `n`-element arrays takes (numpy, an extra): values for its
    sources, a stand-in for its model, and array stand-ins for its exchange (one partition holds every key)
    and its join (a mix that reads both sides)."""
    from ._optional import need

    np = need("numpy")
    rng = np.random.default_rng(seed)
    sources = {"clicks": rng.integers(0, 20, n).astype(float), "views": rng.integers(1, 50, n).astype(float),
               "weights": rng.standard_normal(n), "users": np.zeros(n)}
    externals: dict[str, Any] = {MODEL.content_hash: lambda act, w, batch: act * 0.75 - w * 0.1}
    ops: dict[str, Any] = {"exchange": lambda x, **params: x, "join": lambda left, right, **params: left + right}
    return sources, externals, ops

