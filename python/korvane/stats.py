"""Figures about a graph's shape, from the structure `blob.Blob` reads.

Node counts per kind, the most common operator names, how much of the graph
the outputs reach, the longest input chain, fan-in and fan-out, the stages and
their sizes, and what the blob spends per node. Everything is computed from
the flat kind and input arrays in one or two passes, without node dicts.
"""

from __future__ import annotations

from collections import Counter
from itertools import compress
from typing import Any

from .blob import KINDS, OP, Blob

TOP_NAMES = 20
PERCENTILES = (50, 99)


def percentile(histogram: dict[int, int], share: int) -> int | None:
    """The nearest-rank percentile of the values a {value: count} histogram holds; None when empty."""
    total = sum(histogram.values())
    if not total:
        return None
    rank = -(-share * total // 100)  # ceil(share * total / 100), at least 1
    rank = max(rank, 1)
    seen = 0
    for value in sorted(histogram):
        seen += histogram[value]
        if seen >= rank:
            return value
    raise AssertionError("unreachable: the ranks add up to the total")


def distribution(histogram: dict[int, int]) -> dict[str, Any]:
    """max, p50 and p99 of a histogram, and the histogram itself as [value, count] pairs."""
    summary: dict[str, Any] = {"max": max(histogram) if histogram else None}
    for share in PERCENTILES:
        summary[f"p{share}"] = percentile(histogram, share)
    summary["histogram"] = [[value, histogram[value]] for value in sorted(histogram)]
    return summary


def reachable(blob: Blob) -> int:
    """The number of nodes the outputs read, themselves included."""
    bounds, edges = blob.bounds, blob.edges
    seen = bytearray(blob.count)
    for output in blob.outputs:
        seen[output] = 1
    # Inputs come before their consumers, so one pass from the last id down
    # finds every node; reversed() reads the marks as the pass sets them.
    for node in compress(range(blob.count - 1, -1, -1), reversed(seen)):
        for source in edges[bounds[node]:bounds[node + 1]]:
            seen[source] = 1
    return seen.count(1)


def longest_path(blob: Blob, fan_in: list[int]) -> int:
    """The number of edges on the longest chain of inputs in the graph."""
    edges = blob.edges
    depth = [0] * blob.count
    get = depth.__getitem__
    slot = 0
    for node, inputs in enumerate(fan_in):
        if inputs == 1:
            depth[node] = depth[edges[slot]] + 1
        elif inputs:
            depth[node] = max(map(get, edges[slot:slot + inputs])) + 1
        slot += inputs
    return max(depth, default=0)


def graph_stats(blob: Blob, blob_bytes: int) -> dict[str, Any]:
    """All figures, as the JSON form shows them."""
    n = blob.count
    kinds = Counter(blob.kinds)
    names = Counter(blob.op_names)
    top = sorted(names.items(), key=lambda item: (-item[1], item[0]))[:TOP_NAMES]
    fan_in = list(blob.fan_in())
    fan_in_histogram = Counter(fan_in)
    consumers = Counter(blob.edges)
    fan_out_histogram = Counter(consumers.values())
    if n > len(consumers):
        fan_out_histogram[0] = n - len(consumers)
    stage_histogram = Counter(blob.stage_sizes)
    return {
        "blob_bytes": blob_bytes,
        "bytes_per_node": round(blob_bytes / n, 1) if n else None,
        "nodes": n,
        "kinds": {word: kinds[tag] for tag, word in enumerate(KINDS)},
        "op_names": [[name.decode(), count] for name, count in top],
        "distinct_op_names": len(names),
        "outputs": len(blob.outputs),
        "reachable_nodes": reachable(blob),
        "longest_path": longest_path(blob, fan_in),
        "edges": len(blob.edges),
        "fan_in": distribution(fan_in_histogram),
        "fan_out": distribution(fan_out_histogram),
        "stages": kinds[4],
        "stage_members": distribution(stage_histogram),
    }


def _number(value: int | float | None) -> str:
    if value is None:
        return "-"
    return f"{value:,}" if isinstance(value, int) else f"{value:,.1f}"


def _spread(summary: dict[str, Any]) -> str:
    return ", ".join(f"{key} {_number(summary[key])}" for key in ("max", "p50", "p99"))


def stats_text(stats: dict[str, Any], safe: Any) -> str:
    """Aligned rows: a label column, then the figures. `safe` makes blob text printable."""
    rows: list[tuple[str, str]] = [
        ("file", safe(stats["file"])),
        ("blob", f"{_number(stats['blob_bytes'])} bytes, {_number(stats['bytes_per_node'])} per node"),
        ("nodes", f"{_number(stats['nodes'])}, {_number(stats['edges'])} edges"),
    ]
    counts = [(word, count) for word, count in stats["kinds"].items() if count]
    width = max((len(_number(count)) for _, count in counts), default=0)
    rows += [(f"  {word}", _number(count).rjust(width)) for word, count in counts]
    rows += [
        ("outputs", _number(stats["outputs"])),
        ("reachable", f"{_number(stats['reachable_nodes'])} nodes from the outputs"),
        ("longest path", f"{_number(stats['longest_path'])} edges"),
        ("fan-in", _spread(stats["fan_in"])),
        ("fan-out", _spread(stats["fan_out"])),
        ("stages", _number(stats["stages"])),
    ]
    if stats["stages"]:
        rows.append(("  members", _spread(stats["stage_members"])))
    names = stats["op_names"]
    if names:
        shown = len(names)
        rows.append(("op names", f"{shown} most common of {_number(stats['distinct_op_names'])}"))
        width = max(len(_number(count)) for _, count in names)
        rows += [(f"  {safe(name)}", _number(count).rjust(width)) for name, count in names]
    label_width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label.ljust(label_width)}  {value}".rstrip() for label, value in rows)
