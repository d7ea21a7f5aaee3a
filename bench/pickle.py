"""Pickling a store against its blob, on a traced graph (1M nodes by default).

In one run, on the same graph: `pickle.dumps` of the store against
`serialize()`, and `pickle.loads` against `deserialize()`, for the default
and the highest pickle protocol; `copy.deepcopy` against a serialize and
deserialize round trip; and, for the reduced store, how many bytes the node
map adds to the pickle per node of the graph it was reduced from. Printed
against the targets: dumps at most 1.2x serialize, loads at most 1.2x
deserialize, and at most 8 bytes of node map per source node.

Run with the module importable: python bench/pickle.py [nodes]
"""

from __future__ import annotations

import os
import sys

# This file has the name of the standard module it measures, and Python puts
# its directory first on the path: take that out until pickle is imported.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != HERE]

import copy  # noqa: E402
import gc  # noqa: E402
import pickle  # noqa: E402
import time  # noqa: E402

sys.path.append(HERE)

import korvane_core as kc  # noqa: E402
from traced import trace  # noqa: E402


def best(fn, repeat: int = 5):
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


def row(label: str, t: float, base: float, base_label: str, target: float | None = None) -> None:
    goal = f"  (target {target}x)" if target else ""
    print(f"  {label:<34} {t * 1e3:8.1f} ms   {base_label} {base * 1e3:8.1f} ms   {t / base:5.2f}x{goal}")


def compare(store: kc.GraphStore, what: str) -> None:
    n = store.node_count()
    print(f"{what}: {n:,} nodes, blob {len(store.serialize()) / 1e6:.1f} MB")
    # Interleaved, so both sides see the same state of the machine.
    for protocol in sorted({pickle.DEFAULT_PROTOCOL, pickle.HIGHEST_PROTOCOL}):
        t_ser, blob = best(store.serialize)
        t_dumps, pickled = best(lambda: pickle.dumps(store, protocol))
        t_de, _ = best(lambda: kc.GraphStore.deserialize(blob))
        t_loads, back = best(lambda: pickle.loads(pickled))
        assert back.serialize() == blob and back.node_map() == store.node_map()
        del back
        print(f" protocol {protocol}: pickle {len(pickled) / 1e6:.1f} MB")
        row("pickle.dumps(store)", t_dumps, t_ser, "serialize()  ", 1.2)
        row("pickle.loads", t_loads, t_de, "deserialize()", 1.2)
    t_round, _ = best(lambda: kc.GraphStore.deserialize(store.serialize()), repeat=3)
    t_copy, _ = best(lambda: copy.deepcopy(store), repeat=3)
    row("copy.deepcopy(store)", t_copy, t_round, "deserialize(serialize())")


def main() -> None:
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    t0 = time.perf_counter()
    g = kc.GraphStore()
    outputs = trace(g, target)
    print(f"traced {g.node_count():,} nodes in {time.perf_counter() - t0:.1f} s")
    compare(g, "recorded store")

    reduced, _ = g.reduce(outputs=outputs)
    compare(reduced, "reduced store")
    entries = len(reduced.node_map())
    with_map = len(pickle.dumps(reduced, pickle.HIGHEST_PROTOCOL))
    without_map = len(pickle.dumps(kc.GraphStore.deserialize(reduced.serialize()), pickle.HIGHEST_PROTOCOL))
    print(f"node map: {entries:,} entries (one per source node) add {with_map - without_map:,} bytes to the pickle: "
          f"{(with_map - without_map) / entries:.2f} bytes per source node (target at most 8)")

    # Protocol 2 has no bytes opcode: pickle writes bytes objects as latin-1
    # text, which costs far more than the other protocols.
    t_ser, blob = best(g.serialize, repeat=1)
    t_dumps, pickled = best(lambda: pickle.dumps(g, 2), repeat=1)
    t_loads, _ = best(lambda: pickle.loads(pickled), repeat=1)
    print(f"protocol 2 (for reference): {len(pickled) / 1e6:.1f} MB, dumps {t_dumps * 1e3:.0f} ms "
          f"({t_dumps / t_ser:.1f}x serialize), loads {t_loads * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
