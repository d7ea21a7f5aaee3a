"""What `korvane stats` shows: the figures `GraphStore.stats()` computes and what the blob spends per node.

Node counts per kind, the most common operator names, how much of the graph
the outputs reach, the longest input chain, fan-in and fan-out, the stages and
their sizes. The module computes them from the node table in a few native
passes; the command's JSON keeps their names, adds the blob's size, and the text form
lays them out as aligned rows.
"""

from __future__ import annotations

from typing import Any

import korvane_core


def command_stats(figures: korvane_core.GraphStats, blob_bytes: int) -> dict[str, Any]:
    """All figures, as the JSON form shows them, for a blob of `blob_bytes` bytes."""
    n = figures["nodes"]
    return {
        "blob_bytes": blob_bytes,
        "bytes_per_node": round(blob_bytes / n, 1) if n else None,
        "nodes": n,
        "kinds": figures["kinds"],
        "top_ops": figures["top_ops"],
        "distinct_ops": figures["distinct_ops"],
        "outputs": figures["outputs"],
        "reachable": figures["reachable"],
        "longest_path": figures["longest_path"],
        "edges": figures["edges"],
        "fan_in": figures["fan_in"],
        "fan_out": figures["fan_out"],
        "stages": figures["stages"],
        "stage_members": figures["stage_members"],
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
        ("reachable", f"{_number(stats['reachable'])} nodes from the outputs"),
        ("longest path", f"{_number(stats['longest_path'])} edges"),
        ("fan-in", _spread(stats["fan_in"])),
        ("fan-out", _spread(stats["fan_out"])),
        ("stages", _number(stats["stages"])),
    ]
    if stats["stages"]:
        rows.append(("  members", _spread(stats["stage_members"])))
    names = stats["top_ops"]
    if names:
        shown = len(names)
        rows.append(("op names", f"{shown} most common of {_number(stats['distinct_ops'])}"))
        width = max(len(_number(count)) for _, count in names)
        rows += [(f"  {safe(name)}", _number(count).rjust(width)) for name, count in names]
    label_width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label.ljust(label_width)}  {value}".rstrip() for label, value in rows)
