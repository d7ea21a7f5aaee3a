"""Where reduce() and the incremental reducer part ways on big graphs.

A chain c = mul(add(c, x), add(x, c)) of n steps holds about 2n commutative matches. From about a million of them
the back-off scheduler keeps banning the commutativity rules, and within the rewrite run's 12 iterations they never
apply: reduce() keeps commuted twins that the incremental reducer, which merges twins node by node, does not.

Run with the module installed: python bench/limits.py [steps]
"""

from __future__ import annotations

import sys
import time

import korvane_core as kc


def main() -> None:
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 600_000
    g = kc.GraphStore()
    x = g.add_source("x")
    c = g.add_source("c")
    for _ in range(steps):
        c = g.add_op("mul", [g.add_op("add", [c, x]), g.add_op("add", [x, c])])
    print(f"{steps:,} steps, {g.node_count():,} nodes")
    t = time.perf_counter()
    profile = g.reduction_profile(outputs=[c])
    t_reduce = time.perf_counter() - t
    t = time.perf_counter()
    _, incremental = kc.IncrementalReducer().finalize(g, outputs=[c])
    t_incremental = time.perf_counter() - t
    applied = sorted({rule for it in profile["iterations"] for rule in it["applied"]})
    print(f"reduce:      canonical_nodes {profile['canonical_nodes']:>10,} in {t_reduce:5.1f} s; "
          f"stop {profile['stop_reason']}({profile['stop_payload']}), {len(profile['iterations'])} iterations, "
          f"rules that applied: {', '.join(applied) or 'none'}")
    print(f"incremental: canonical_nodes {incremental['canonical_nodes']:>10,} in {t_incremental:5.1f} s")


if __name__ == "__main__":
    main()
