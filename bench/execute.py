"""Executor cost: a graph run op by op as recorded, reduced, and reduced with numexpr stages.

Two workloads, each on float64 arrays of 1e5 and 1e6 elements: the demo
pipeline (python/korvane/sample.py; its external, exchange and join get array
stand-ins) and a traced graph of about 2,000 nodes from bench/traced.py
(recorded without the `scale` parameter the generator gives some unary
operators, which the default table has no meaning for; its externals,
exchanges and joins get array stand-ins too). Each is executed three ways in
the same process:

  recorded   the recorded store, every node op by op (numpy)
  reduced    the reduced store, op by op (fuse=False)
  fused·1    the reduced store, element-wise stages block by block on one thread
             (fuse=True, threads=1)
  fused·N    the same, each stage's blocks shared by N threads (the default: the
             cores the process may use, at most 8)
  numexpr·N  for comparison: the reduced store, stages as numexpr kernels
             (fuse="numexpr") on N threads

For each: the best of a few runs (wall time), the peak of traced Python
memory during one run (tracemalloc, which sees every numpy buffer), and
where the time goes (per kind of node, from the progress callback). The
outputs are checked: recorded against reduced exactly (NaN equal to NaN,
-0.0 equal to 0.0: `x + 0.0` rewritten to `x` may flip a zero's sign), fused
and numexpr against reduced within 4 ulp (they agree to the bit). No figure is asserted; the ratios are against
the recorded run of the same process.

Op by op, numpy runs every ufunc on one thread; a fused stage's blocks are
independent, so fused·N computes them on N threads (numpy releases the GIL
inside each call). --threads sets N.

At 1e6 elements much of the op-by-op time is the first touch of fresh
pages: glibc gives freed 8 MB arrays back to the kernel, and the next array
faults its pages in again. Run a second time with

  GLIBC_TUNABLES=glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=4294967296

and glibc keeps them: every way gets faster, op by op most.

Run with the module importable:
python bench/execute.py [--threads N] [--sizes 1e5,1e6] [--workloads demo,traced_graph]
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time
import tracemalloc
from collections import defaultdict
from typing import Any, Callable

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "python"))

import korvane_core as kc  # noqa: E402
import traced  # noqa: E402
from korvane import fused, sample  # noqa: E402
from korvane.executor import Program  # noqa: E402


class WithoutScale:
    """Records through a store, leaving out the `scale` parameter of the traced unary operators."""

    def __init__(self, store: kc.GraphStore) -> None:
        self.store = store

    def add_op(self, name: str, inputs: list[int], params: dict[str, Any] | None = None) -> int:
        kept = {k: v for k, v in (params or {}).items() if k != "scale"}
        return self.store.add_op(name, inputs, kept or None)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.store, name)


ARRAY_OPS = {
    "exchange": lambda x, **params: x,  # one partition holds every key
    "join": lambda left, right, **params: left + right,  # a stand-in that reads both sides
}


def demo(n: int, rng: np.random.Generator) -> tuple[kc.GraphStore, list[int], dict[str, Any], dict[str, Any]]:
    rec = sample.record()
    sources, externals, _ = sample.run_inputs(n)
    return rec.store, rec.outputs, sources, externals


def traced_graph(n: int, rng: np.random.Generator) -> tuple[kc.GraphStore, list[int], dict[str, Any], dict[str, Any]]:
    g = kc.GraphStore()
    outputs = traced.trace(WithoutScale(g), 2000, seed=3)
    names = sorted({node["name"] for node in g.nodes() if node["kind"] == "source"})
    sources = {name: rng.uniform(0.1, 1.0, n) for name in names}
    externals = {m.content_hash: (lambda x, s, batch: x * 0.5 + s) for m in traced.MODELS}
    return g, outputs, sources, externals


def ulps(a: Any, b: Any) -> int:
    """The largest distance in units in the last place between two float arrays (NaN matches NaN)."""
    a, b = np.atleast_1d(np.asarray(a, dtype=np.float64)), np.atleast_1d(np.asarray(b, dtype=np.float64))
    same = (a == b) | (np.isnan(a) & np.isnan(b))
    ia, ib = a.view(np.int64), b.view(np.int64)
    ia = np.where(ia < 0, np.int64(-2**63) - ia, ia)  # ordered as the floats are
    ib = np.where(ib < 0, np.int64(-2**63) - ib, ib)
    with np.errstate(over="ignore"):
        d = np.abs(ia - ib)
    d[same] = 0
    return int(d.max()) if d.size else 0


def agree_exactly(a: Any, b: Any) -> bool:
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and bool(((a == b) | (np.isnan(a) & np.isnan(b))).all())


def timed(run: Callable[[], Any], repeat: int) -> tuple[float, Any]:
    best, out = float("inf"), None
    for _ in range(repeat):
        out = None
        gc.collect()
        t = time.perf_counter()
        out = run()
        best = min(best, time.perf_counter() - t)
    return best, out


def peak_memory(run: Callable[[], Any]) -> int:
    fused.free_buffers()  # what a run keeps for the next one counts
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    out = run()
    peak = tracemalloc.get_traced_memory()[1] - before
    del out
    tracemalloc.stop()
    return peak


def breakdown(program: Program, sources: dict[str, Any]) -> dict[str, float]:
    """Seconds per kind of node in one run: an op's name, 'stage (fused)' or 'stage (op by op)'."""
    labels = []
    for node in program.nodes:
        run = node.run
        if hasattr(run, "members"):
            names = {impl.key for impl, _, _ in run.members}  # type: ignore[union-attr]
            heavy = sorted(names & {"exp", "log", "log1p", "tanh", "sigmoid"})
            kind = f"stages with {'/'.join(heavy)}" if len(heavy) == 1 else \
                "stages with several of exp/log1p/tanh/sigmoid" if heavy else "stages of cheap ops"
            labels.append(kind + (" (blocks)" if run.blocked else ""))
        else:
            labels.append(node.label.split(" ")[0] if node.label.startswith(("external", "source")) else node.label)
    spent: dict[str, float] = defaultdict(float)
    last = [time.perf_counter()]

    def progress(done: int, total: int) -> None:
        now = time.perf_counter()
        spent[labels[done - 1]] += now - last[0]
        last[0] = now

    program.run(sources, progress=progress)
    return dict(spent)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=fused.default_threads())
    parser.add_argument("--sizes", default="1e5,1e6")
    parser.add_argument("--workloads", default="demo,traced_graph")
    args = parser.parse_args()
    import numexpr
    numexpr.set_num_threads(args.threads)
    print(f"numpy {np.__version__}, numexpr {numexpr.__version__} on {args.threads} thread(s), "
          f"{os.cpu_count()} cores, GLIBC_TUNABLES={os.environ.get('GLIBC_TUNABLES', '')!r}")
    for workload in (demo, traced_graph):
        if workload.__name__ not in args.workloads.split(","):
            continue
        for size in (int(float(s)) for s in args.sizes.split(",")):
            rng = np.random.default_rng(0)
            store, outputs, sources, externals = workload(size, rng)
            reduced, report = store.reduce(outputs=outputs)
            landed = [reduced.node_map()[o][0] for o in outputs]
            t = time.perf_counter()
            ways = {
                "recorded": Program(store, outputs=outputs, ops=ARRAY_OPS, externals=externals, fuse=False),
                "reduced": Program(reduced, outputs=landed, ops=ARRAY_OPS, externals=externals, fuse=False),
            }
            plan_time = time.perf_counter() - t
            n = args.threads
            ways["fused·1"] = Program(reduced, outputs=landed, ops=ARRAY_OPS, externals=externals, threads=1)
            ways[f"fused·{n}"] = Program(reduced, outputs=landed, ops=ARRAY_OPS, externals=externals, threads=n)
            t = time.perf_counter()
            ways[f"numexpr·{n}"] = Program(reduced, outputs=landed, ops=ARRAY_OPS, externals=externals, fuse="numexpr")
            fused_plan = time.perf_counter() - t
            numexpr_program = ways[f"numexpr·{n}"]
            kernels = sum(node.run.plan.kernels for node in numexpr_program.nodes
                          if getattr(node.run, "plan", None) is not None)
            print(f"\n{workload.__name__}, {size:,} elements: {store.node_count()} nodes recorded, "
                  f"{len(ways['recorded'].nodes)} reached; reduced to {reduced.node_count()} "
                  f"({report['stages']} stages, {ways['fused·1'].blocked_stages} run in blocks, "
                  f"{numexpr_program.fused_stages} with {kernels} numexpr kernels); "
                  f"planning {plan_time * 1e3:.1f} ms op by op, {fused_plan * 1e3:.1f} ms compiling kernels")
            repeat = 5 if size <= 100_000 else 3
            results: dict[str, tuple[float, int, list[Any]]] = {}
            for name, program in ways.items():
                program.run(sources)  # warm: numexpr's first call, page faults of a first allocation
                seconds, out = timed(lambda: program.run(sources), repeat)
                memory = peak_memory(lambda: program.run(sources))
                results[name] = (seconds, memory, out)
            base_t, base_m, base_out = results["recorded"]
            print(f"  {'way':10} {'time':>10} {'vs recorded':>12} {'peak memory':>14} {'vs recorded':>12}")
            for name, (seconds, memory, _) in results.items():
                print(f"  {name:10} {seconds * 1e3:8.1f} ms {base_t / seconds:11.2f}x {memory / 1e6:11.1f} MB "
                      f"{memory / base_m:11.2f}x")
            exact = all(agree_exactly(a, b) for a, b in zip(base_out, results["reduced"][2]))
            worst = {name: max(ulps(a, b) for a, b in zip(results["reduced"][2], results[name][2]))
                     for name in list(ways)[2:]}
            print(f"  outputs: recorded == reduced {'yes' if exact else 'NO'} (NaN-aware, zero sign aside); "
                  + "; ".join(f"{k} vs reduced at most {v} ulp ({'within' if v <= 4 else 'BEYOND'} 4)"
                              for k, v in worst.items()))
            finite = [float(np.isfinite(np.asarray(o)).mean()) for o in results["reduced"][2]]
            print(f"  finite share of the output values: {min(finite):.0%} to {max(finite):.0%}")
            for name in ("recorded", f"fused·{n}"):
                spent = breakdown(ways[name], sources)
                total = sum(spent.values())
                top = sorted(spent.items(), key=lambda kv: -kv[1])[:6]
                print(f"  where {name} spends its time: "
                      + ", ".join(f"{k} {v / total:.0%}" for k, v in top))
            del results, base_out
            gc.collect()


if __name__ == "__main__":
    main()
