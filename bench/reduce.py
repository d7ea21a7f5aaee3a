"""Reduction cost on traced graphs of 1e4, 1e5 and 1e6 nodes.

For each size, in a fresh interpreter: the time of `reduce` and of
`reduction_report`, the peak memory the reduction adds, and, measured in the
same run on the same graph, the time to deserialize its blob (one
hash-consing pass over every node) and the memory of the store. Printed
against the targets: reduce at most 4x the deserialize time at 1e6 nodes,
time per node growing less than 1.3x from 1e4 to 1e6 nodes, and peak memory
during the reduction at most 3x the memory of the store being reduced.

Where the time goes: deserialize appends every record first and indexes them
in one pass whose probes overlap, so it pays no cache miss per node. reduce
loads the same nodes into an e-graph, which alone costs about 1.7x a
deserialize, and then saturates: scattered reads of class records, memo slots
and union-find entries, about 290 ns per term at 1e6 on the build machine,
where one load from memory at a random place costs 155-172 ns (16 ns within
4 MB). The e-graph holds about 111 bytes per term after loading and 163 after
saturation, against a store of about 42 bytes per node, which sets the peak
memory. And the back-off scheduler needs more iterations on larger graphs (its
match threshold doubles per ban, so a rule with 45,000 matches is searched six
times before it applies: 9 iterations at 1e6 against 5 at 1e5), so the time
per node grows with the graph, as does the share of probes that miss the
cache.

Run with the module importable: python bench/reduce.py [sizes...]
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def status(field: str) -> int:
    """A /proc/self/status field, in bytes."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))


def reset_peak() -> bool:
    """Resets VmHWM to the current resident size (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
        gc.enable()
        del result
    return min(times)


def measure(nodes: int) -> dict:
    """Runs in the child: one size, everything from one recorded graph."""
    sys.path.insert(0, HERE)
    import korvane_core as kc
    from traced import trace

    g = kc.GraphStore()
    outputs = trace(g, nodes)
    blob = g.serialize(outputs=outputs)
    repeat = max(2, min(20, 2_000_000 // nodes))

    # The store's memory: what deserializing its blob adds (the copy is kept,
    # so the reduction below cannot reuse its pages).
    gc.collect()
    before = status("VmRSS")
    copy = kc.GraphStore.deserialize(blob)
    store_bytes = status("VmRSS") - before

    # Peak memory of one reduction, above what was resident when it began.
    gc.collect()
    exact = reset_peak()
    base = status("VmRSS") if exact else status("VmHWM")
    reduced, report = g.reduce(outputs=outputs)
    peak_bytes = status("VmHWM") - base
    del reduced, copy

    return {
        "nodes": g.node_count(),
        "report": report,
        "blob_bytes": len(blob),
        "store_bytes": store_bytes,
        "peak_bytes": peak_bytes,
        "peak_exact": exact,
        "reduce": best(lambda: g.reduce(outputs=outputs), repeat),
        "maximal": best(lambda: g.reduce(outputs=outputs, maximal_fusion=True), repeat),
        "report_time": best(lambda: g.reduction_report(outputs=outputs), repeat),
        "deserialize": best(lambda: kc.GraphStore.deserialize(blob), repeat),
    }


def main(sizes: list[int]) -> None:
    rows = []
    for n in sizes:
        out = subprocess.run([sys.executable, __file__, "--child", str(n)], capture_output=True, text=True, check=True)
        rows.append(json.loads(out.stdout))

    mb = 1 << 20
    print("reduce on traced graphs (default fusion; best of several runs; memory in a fresh process per size)")
    print(f"{'nodes':>9} {'live':>8} {'reduced':>8} | {'reduce':>9} {'maximal':>9} {'report':>9} {'deser.':>9} "
          f"{'red/des':>7} {'ns/node':>8} | {'store':>8} {'peak':>8} {'peak/st':>7}")
    for r in rows:
        n, rep = r["nodes"], r["report"]
        print(f"{n:>9,} {rep['reachable_nodes']:>8,} {rep['reduced_nodes']:>8,} | "
              f"{r['reduce'] * 1e3:>7.1f}ms {r['maximal'] * 1e3:>7.1f}ms {r['report_time'] * 1e3:>7.1f}ms "
              f"{r['deserialize'] * 1e3:>7.1f}ms {r['reduce'] / r['deserialize']:>6.2f}x "
              f"{r['reduce'] / n * 1e9:>8.0f} | {r['store_bytes'] / mb:>6.1f}MB {r['peak_bytes'] / mb:>6.1f}MB "
              f"{r['peak_bytes'] / max(r['store_bytes'], 1):>6.2f}x")
    if not all(r["peak_exact"] for r in rows):
        print("(the peak could not be reset: it is measured against the high-water mark before the reduction)")

    print("\ntargets:")
    last = rows[-1]
    print(f"  reduce / deserialize at {last['nodes']:,} nodes: {last['reduce'] / last['deserialize']:.2f}x "
          f"(target at most 4x)")
    if len(rows) > 1:
        first = rows[0]
        growth = (last["reduce"] / last["nodes"]) / (first["reduce"] / first["nodes"])
        print(f"  time per node, {first['nodes']:,} -> {last['nodes']:,} nodes: {growth:.2f}x (target below 1.3x)")
    worst = max(rows, key=lambda r: r["peak_bytes"] / max(r["store_bytes"], 1))
    print(f"  peak memory during the reduction / store memory: {last['peak_bytes'] / last['store_bytes']:.2f}x at "
          f"{last['nodes']:,} nodes, worst {worst['peak_bytes'] / worst['store_bytes']:.2f}x at {worst['nodes']:,} "
          f"(target at most 3x)")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        print(json.dumps(measure(int(sys.argv[2]))))
    else:
        main([int(float(a)) for a in sys.argv[1:]] or [10_000, 100_000, 1_000_000])
