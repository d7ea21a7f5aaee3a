"""Blob and view costs on a realistic recorded graph: serialize and
deserialize against pickle.dumps / pickle.loads of the same graph's
nodes() list (the obvious way to persist it from Python), and the times of
nodes() and to_dot().

Run with the module installed: python bench/blob.py [nodes]
"""

from __future__ import annotations

import gc
import pickle
import random
import sys
import time

import korvane_core as kc

UNARY = [("neg", None), ("exp", None), ("relu", None), ("tanh", None), ("sqrt", None),
         ("clip", {"lo": -1.0, "hi": 1.0}), ("clip", {"lo": -2.0, "hi": 2.0}), ("scale", {"factor": 0.5}),
         ("add", {"scalar": 1.0, "side": "r"}), ("mul", {"scalar": 2.0, "side": "l"}),
         ("cast", {"dtype": "f32"})]
BINARY = ["add", "mul", "sub", "maximum", "div"]
REDUCTIONS = [("sum", {"axis": 0}), ("sum", {"axis": 1}), ("mean", None), ("max", {"axis": 1, "keepdims": True})]
DESCRIPTORS = [dict(kind="onnx", content_hash=f"sha256:{i:064x}", framework="onnxruntime", version="1.17",
                    io_schema="f32[?,128]->f32[?,10]", preprocessing_ref=None if i % 2 else f"prep/{i}")
               for i in range(8)]


def record(target: int, seed: int = 42) -> kc.GraphStore:
    """A traced pipeline: sources feeding element-wise chains, with
    reductions, model calls, exchanges and joins sprinkled in."""
    rng = random.Random(seed)
    g = kc.GraphStore()
    recent = [g.add_source("table", {"name": f"t{i}", "part": i % 16}) for i in range(1000)]
    while g.node_count() < target:
        r = rng.random()
        a = recent[-1 - int(rng.random() ** 3 * len(recent))]
        if r < 0.60:
            name, params = rng.choice(UNARY)
            n = g.add_op(name, [a], params)
        elif r < 0.85:
            b = recent[-1 - int(rng.random() ** 2 * len(recent))]
            n = g.add_op(rng.choice(BINARY), [a, b])
        elif r < 0.93:
            name, params = rng.choice(REDUCTIONS)
            n = g.add_reduction(name, [a], params)
        elif r < 0.96:
            n = g.add_external(rng.choice(DESCRIPTORS), [a], {"batch": 64})
        elif r < 0.98:
            n = g.add_exchange([a], {"scheme": "hash", "parts": 8})
        elif r < 0.995:
            b = recent[-1 - int(rng.random() * len(recent))]
            n = g.add_join([a, b], {"how": "inner", "on": "key"})
        else:
            n = g.add_source("table", {"name": f"late{g.node_count()}", "part": 0})
        recent.append(n)
        if len(recent) > 4096:
            del recent[:2048]
    return g


def best(fn, repeat: int = 3):
    """The best wall time of `repeat` runs, with the collector off, and the last result."""
    times, result = [], None
    for _ in range(repeat):
        result = None
        gc.collect()
        gc.disable()
        try:
            t = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - t)
        finally:
            gc.enable()
    return min(times), result


def main() -> None:
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    t0 = time.perf_counter()
    g = record(target)
    n = g.node_count()
    kinds = {}
    print(f"recorded {n:,} nodes in {time.perf_counter() - t0:.1f} s")

    t_ser, blob = best(g.serialize)
    t_de, back = best(lambda: kc.GraphStore.deserialize(blob))
    assert back.serialize() == blob
    del back
    t_nodes, nodes = best(g.nodes)
    for d in nodes:
        kinds[d["kind"]] = kinds.get(d["kind"], 0) + 1
    t_dumps, pickled = best(lambda: pickle.dumps(nodes, protocol=pickle.HIGHEST_PROTOCOL))
    t_loads, _ = best(lambda: pickle.loads(pickled), repeat=2)
    t_dot, dot = best(g.to_dot)

    print("kinds: " + ", ".join(f"{k} {v:,}" for k, v in sorted(kinds.items())))
    print(f"blob {len(blob) / 1e6:.1f} MB ({len(blob) / n:.1f} B/node); pickle of nodes() {len(pickled) / 1e6:.1f} MB; "
          f"DOT {len(dot) / 1e6:.1f} MB")

    def row(label, t, size=None):
        rate = f"{size / t / 1e6:8.0f} MB/s" if size else " " * 13
        print(f"  {label:<26} {t * 1e3:9.1f} ms  {t / n * 1e9:7.0f} ns/node  {rate}")

    print("times (best of 3; pickle.loads best of 2):")
    row("serialize", t_ser, len(blob))
    row("pickle.dumps(nodes())", t_dumps, len(pickled))
    row("deserialize", t_de, len(blob))
    row("pickle.loads", t_loads, len(pickled))
    row("nodes()", t_nodes)
    row("to_dot()", t_dot, len(dot))
    print(f"serialize is {t_dumps / t_ser:.1f}x faster than pickle.dumps (target 20x)")
    print(f"deserialize is {t_loads / t_de:.1f}x faster than pickle.loads (target 10x)")


if __name__ == "__main__":
    main()
