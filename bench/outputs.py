"""What many outputs cost: a blob of n sources deserialized with every source an output, against the same
sources with one output; and reduce with every source an output, against reduce with one.

Run with the module installed: python bench/outputs.py [sources]
"""

from __future__ import annotations

import sys
import time

import korvane_core as kc


def best(fn, repeat: int = 5) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    g = kc.GraphStore()
    ids = [g.add_source("s", {"i": i}) for i in range(n)]
    all_out = g.serialize(outputs=ids)
    one_out = g.serialize(outputs=ids[-1:])
    print(f"{n:,} sources; blobs of {len(all_out) / 1e6:.1f} MB (all outputs) and {len(one_out) / 1e6:.1f} MB (one)")
    t_all = best(lambda: kc.GraphStore.deserialize(all_out))
    t_one = best(lambda: kc.GraphStore.deserialize(one_out))
    print(f"deserialize, every source an output {t_all * 1e3:8.1f} ms; one output {t_one * 1e3:8.1f} ms: "
          f"{t_all / t_one:.2f}x (goal at most 1.5x)")
    r_all = best(lambda: g.reduce(outputs=ids), repeat=3)
    r_one = best(lambda: g.reduce(outputs=ids[-1:]), repeat=3)
    print(f"reduce, every source an output      {r_all * 1e3:8.1f} ms; one output {r_one * 1e3:8.1f} ms "
          f"(every source live against one)")


if __name__ == "__main__":
    main()
