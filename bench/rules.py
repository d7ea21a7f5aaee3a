"""User rewrite rules at scale: reduce a traced graph with about ten
algebraic rules beside the built-in-only reduce of the same store, in the
same process; then what compiling and running a 100-rule set costs.

Run with the module importable: python bench/rules.py [nodes]
"""

from __future__ import annotations

import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

import korvane_core as kc  # noqa: E402
from traced import trace  # noqa: E402

ALGEBRA = """
neg2:    (neg (neg ?x)) => ?x
logexp:  (log1p (exp ?x)) => ?x
abs2:    (abs (abs ?x)) => (abs ?x)
absneg:  (abs (neg ?x)) => (abs ?x)
relu2:   (relu (relu ?x)) => (relu ?x)
addassoc: (add (add ?a ?b) ?c) => (add ?a (add ?b ?c))
mulassoc: (mul (mul ?a ?b) ?c) => (mul ?a (mul ?b ?c))
div1:    (div{scalar=1.0, side="r"} ?x) => ?x
distrib: (add (mul ?a ?b) (mul ?a ?c)) => (mul ?a (add ?b ?c))
push:    (exchange{key=?k, parts=?p, scheme=?s} (relu ?x)) => (relu (exchange{key=?k, parts=?p, scheme=?s} ?x))
"""


def best(fn, rounds=3):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    g = kc.GraphStore()
    outputs = trace(g, n)
    costs = {"exp": 8, "div": 4, "reduction:sum": 20}
    configs = {"default limits (12 iterations)": kc.RuleSet(ALGEBRA, costs=costs),
               "24 iterations, no time limit": kc.RuleSet(ALGEBRA, costs=costs, iteration_limit=24, time_limit=None)}
    timed: dict[str, tuple[float, dict]] = {}
    for _ in range(2):  # interleaved: built-in only, then each rule set
        timed["built-in rules only"] = best(lambda: g.reduce(outputs=outputs)[1], rounds=2)
        for label, rules in configs.items():
            timed[label] = best(lambda: g.reduce(outputs=outputs, rules=rules)[1], rounds=2)
    t_plain, plain = timed["built-in rules only"]
    print(f"traced graph, {n:,} nodes, {len(ALGEBRA.split(chr(10))) - 2} user rules")
    print(f"  {'reduce':32} {'time':>9}  {'/ built-in':>10}  {'canonical':>10}  {'saved':>8}  {'reduced':>9}")
    for label, (t, report) in timed.items():
        print(f"  {label:32} {t * 1e3:7.1f} ms  {t / t_plain:9.2f}x  {report['canonical_nodes']:10,}"
              f"  {plain['canonical_nodes'] - report['canonical_nodes']:8,}  {report['reduced_nodes']:9,}")
    for label, rules in configs.items():
        profile = g.reduction_profile(outputs=outputs, rules=rules)
        applied = {name: sum(it["applied"].get(name, 0) for it in profile["iterations"]) for name in profile["rules"]}
        print(f"  {label}: stop {profile['stop_reason']} {profile['stop_payload']},"
              f" {len(profile['iterations'])} iterations; "
              + ", ".join(f"{k} {v * 1e3:.0f} ms" for k, v in profile["phases"].items()))
        print("    matches applied: " + ", ".join(f"{k} {v:,}" for k, v in sorted(applied.items()) if v))

    hundred = "\n".join(f"r{i}: (f{i} (g{i} ?x)) => (g{i} ?x)" for i in range(100))
    t_compile, big = best(lambda: kc.RuleSet(hundred), rounds=20)
    small = kc.GraphStore()
    x = small.add_source("x")
    out = small.add_op("f1", [small.add_op("g1", [x])])
    t_small_plain, _ = best(lambda: small.reduce(outputs=[out]), rounds=200)
    t_small_rules, _ = best(lambda: small.reduce(outputs=[out], rules=big), rounds=200)
    print(f"100-rule set: compile {t_compile * 1e6:.0f} us; reduce of a 3-node graph {t_small_rules * 1e6:.0f} us"
          f" against {t_small_plain * 1e6:.0f} us with the built-in rules only")


if __name__ == "__main__":
    main()
