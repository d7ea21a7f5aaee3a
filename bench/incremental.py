"""IncrementalReducer cost against the recording it follows and against the
one-shot reduction.

1. A traced graph of 1M nodes is recorded in batches, with a `step` after
   each batch: ns per node consumed by `step`, beside ns per `add_op` call
   of the recording loop (target: step at most 0.5x the add_op cost).
2. On a graph where half of the recorded nodes are identities, commuted
   twins or re-derivations: `finalize` after the steps, beside `reduce` on
   the same store (target: finalize faster than reduce).

Run with the module importable: python bench/incremental.py [nodes] [batch]
"""

from __future__ import annotations

import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import korvane_core as kc  # noqa: E402
from traced import trace  # noqa: E402


METHODS = ("add_source", "add_op", "add_reduction", "add_external", "add_exchange", "add_join")


class Log:
    """The GraphStore interface `trace` uses: records into a scratch store
    and keeps every call, so the calls can be replayed without the
    generator's own cost."""

    def __init__(self):
        self.store = kc.GraphStore()
        self.node_count = self.store.node_count
        self.calls: list[tuple[int, tuple]] = []
        for k, name in enumerate(METHODS):
            setattr(self, name, self._logged(k, getattr(self.store, name)))

    def _logged(self, k, method):
        def call(*args):
            self.calls.append((k, args))
            return method(*args)

        return call


def replay(calls, methods) -> float:
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter()
        for k, args in calls:
            methods[k](*args)
        return time.perf_counter() - t
    finally:
        gc.enable()


def bench_step(nodes: int, batch: int) -> None:
    log = Log()
    trace(log, nodes)
    calls = log.calls
    g = kc.GraphStore()
    r = kc.IncrementalReducer()
    methods = [getattr(g, name) for name in METHODS]
    t_record = t_step = 0.0
    for start in range(0, len(calls), batch):
        t_record += replay(calls[start:start + batch], methods)
        t = time.perf_counter()
        r.step(g)
        t_step += time.perf_counter() - t
    assert g.serialize() == log.store.serialize()
    n = g.node_count()
    t_loop = replay(calls, [slice] * len(METHODS))  # the same loop around a do-nothing builtin

    per_call = t_record / len(calls)
    per_node = t_step / n
    print(f"recording {n:,} nodes in {len(calls):,} calls, a step after every {batch:,} calls:")
    print(f"  add_* call in the replay loop  {per_call * 1e9:7.1f} ns/call   (the loop around a do-nothing builtin: "
          f"{t_loop / len(calls) * 1e9:.1f} ns/call)")
    print(f"  step                           {per_node * 1e9:7.1f} ns/node   ({r.canonical_count():,} canonical nodes)")
    print(f"  step / add_op                  {per_node / per_call:7.2f}x        (target at most 0.5x)")


def timed_call(fn):
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter()
        result = fn()
        return time.perf_counter() - t, result
    finally:
        gc.enable()


def bench_finalize(nodes: int) -> None:
    g = kc.GraphStore()
    r = kc.IncrementalReducer()
    outputs = trace(g, nodes, redundancy=0.5)
    r.step(g)  # at once here: the cost of the steps is measured above
    n = g.node_count()
    t_finalize, (_, inc_report) = timed_call(lambda: r.finalize(g, outputs=outputs))
    t_reduce, (_, report) = timed_call(lambda: g.reduce(outputs=outputs))
    cold = kc.IncrementalReducer()
    t_cold, _ = timed_call(lambda: cold.finalize(g, outputs=outputs))
    removed = 1 - r.canonical_count() / n
    print(f"\n{n:,} recorded nodes, {removed:.0%} of them identities, twins or re-derivations "
          f"(canonical form {r.canonical_count():,} nodes); {report['reduced_nodes']:,} nodes after reduction:")
    print(f"  reduce                          {t_reduce * 1e3:8.1f} ms")
    print(f"  finalize after the steps        {t_finalize * 1e3:8.1f} ms   finalize / reduce = "
          f"{t_finalize / t_reduce:.2f}x (target below 1x)")
    print(f"  finalize of a fresh reducer     {t_cold * 1e3:8.1f} ms   (consumes every node, then reduces)")
    same = all(inc_report[k] == report[k] for k in ("canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"))
    print(f"  reports agree on the reduced graph: {same}")


if __name__ == "__main__":
    nodes = int(float(sys.argv[1])) if len(sys.argv) > 1 else 1_000_000
    batch = int(float(sys.argv[2])) if len(sys.argv) > 2 else 10_000
    bench_step(nodes, batch)
    bench_finalize(nodes)
