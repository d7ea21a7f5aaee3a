"""Pickling a store against its blob, on a traced graph (1M nodes by default).

In one run, on the same graph: `pickle.dumps` of the store against
`serialize()`, and `pickle.loads` against `deserialize()`, for the default
and the highest pickle protocol, with the cost of the one copy of the blob
that pickle makes on each side (pickling the bare bytes object); `copy.deepcopy` against a serialize and
deserialize round trip; and, for the reduced store, how many bytes the node
map adds to the pickle per node of the graph it was reduced from. Printed
against the targets: dumps at most 1.2x serialize, loads at most 1.2x
deserialize, and at most 8 bytes of node map per source node.

Run with the module importable: python bench/pickling.py [nodes]
"""

from __future__ import annotations

import copy
import gc
import pickle
import resource
import sys
import time

import korvane_core as kc
from traced import trace


def timed(fn) -> tuple[float, int]:
    """The processor time of one call (user and system, so page faults
    count) and the page faults it took, with the collector off. Wall time
    on a shared machine also counts the spells the process waits for a core."""
    gc.collect()
    gc.disable()
    try:
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        t = time.process_time()
        fn()
        t = time.process_time() - t
        return t, resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    finally:
        gc.enable()


def interleaved(fns: dict, rounds: int = 9) -> dict:
    """The best (time, page faults) of each function over `rounds` rounds
    that call every function once in turn, so that all of them see the same
    spells of load on a shared machine."""
    runs = {name: [] for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            runs[name].append(timed(fn))
    return {name: min(rs) for name, rs in runs.items()}


def row(label: str, t: tuple[float, int], base: tuple[float, int], base_label: str,
        target: float | None = None) -> None:
    # A first touch of a fresh page costs this machine a few microseconds,
    # so the fault counts explain much of the spread between runs.
    goal = f"  (target at most {target}x)" if target else ""
    print(f"  {label:<28} {t[0] * 1e3:7.1f} ms {t[1]:6} faults   {base_label:<26} {base[0] * 1e3:7.1f} ms "
          f"{base[1]:6} faults   {t[0] / base[0]:5.2f}x{goal}")


def compare(store: kc.GraphStore, what: str) -> None:
    blob = store.serialize()
    protocols = sorted({pickle.DEFAULT_PROTOCOL, pickle.HIGHEST_PROTOCOL})
    pickled = {p: pickle.dumps(store, p) for p in protocols}
    for p in protocols:
        back = pickle.loads(pickled[p])
        assert back.serialize() == blob and back.node_map() == store.node_map()
    del back
    print(f"{what}: {store.node_count():,} nodes, blob {len(blob) / 1e6:.1f} MB, pickle "
          + ", ".join(f"{len(pickled[p]) / 1e6:.1f} MB (protocol {p})" for p in protocols))
    # Pickling the bare blob bytes measures the copy pickle itself makes of
    # a large bytes object (into its output, or out of its input into a new
    # object): what pickling a store costs beyond serialize or deserialize.
    bare = {p: pickle.dumps(blob, p) for p in protocols}
    t = interleaved({"serialize": store.serialize, "bare": lambda: pickle.dumps(blob, protocols[-1]),
                     **{f"dumps {p}": lambda p=p: pickle.dumps(store, p) for p in protocols}})
    for p in protocols:
        row(f"pickle.dumps, protocol {p}", t[f"dumps {p}"], t["serialize"], "serialize()", 1.2)
    row("  pickle's copy of the blob", t["bare"], t["serialize"], "serialize()")
    t = interleaved({"deserialize": lambda: kc.GraphStore.deserialize(blob),
                     "bare": lambda: pickle.loads(bare[protocols[-1]]),
                     **{f"loads {p}": lambda p=p: pickle.loads(pickled[p]) for p in protocols}})
    for p in protocols:
        row(f"pickle.loads, protocol {p}", t[f"loads {p}"], t["deserialize"], "deserialize()", 1.2)
    row("  pickle's copy of the blob", t["bare"], t["deserialize"], "deserialize()")
    t = interleaved({"round trip": lambda: kc.GraphStore.deserialize(store.serialize()),
                     "deepcopy": lambda: copy.deepcopy(store)}, rounds=5)
    row("copy.deepcopy", t["deepcopy"], t["round trip"], "deserialize(serialize())")


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
    pickled = pickle.dumps(g, 2)
    t = interleaved({"serialize": g.serialize, "dumps": lambda: pickle.dumps(g, 2),
                     "loads": lambda: pickle.loads(pickled)}, rounds=1)
    t_ser, t_dumps, t_loads = t["serialize"][0], t["dumps"][0], t["loads"][0]
    print(f"protocol 2 (for reference): {len(pickled) / 1e6:.1f} MB, dumps {t_dumps * 1e3:.0f} ms "
          f"({t_dumps / t_ser:.1f}x serialize), loads {t_loads * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
