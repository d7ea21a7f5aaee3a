"""Where a reduction spends its time, as aligned tables.

`GraphStore.reduction_profile(...)` gives the six report counters, the seconds
of each phase of the pipeline, why the rewrite run stopped, one entry per
rewrite iteration (e-graph size, rules applied, unions repaired, and the time
of its search, apply and rebuild steps) and per rule how many iterations the
scheduler passed its matches on (`times_applied`, which counts an iteration
that found none), how many it banned it for, and the matches it applied. `profile_text` lays these out as tables.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any


def table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    """The first column left-aligned, the others right-aligned, two spaces apart."""
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]

    def line(row: Sequence[str]) -> str:
        cells = [row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]
        return "  ".join(cells).rstrip()

    return [line(header)] + [line(row) for row in rows]


def seconds(value: float) -> str:
    return f"{value * 1e3:.3f}"


def profile_text(profile: Mapping[str, Any], safe: Any = str) -> str:
    """Phases, stop reason, iterations and rules; times in milliseconds. `safe` makes names printable."""
    phases = profile["phases"]
    total = sum(phases.values())
    lines = table(["phase", "ms", "share"],
                  [[safe(name), seconds(value), f"{value / total:.1%}" if total else "-"]
                   for name, value in phases.items()] + [["total", seconds(total), ""]])
    payload = profile.get("stop_payload")
    lines.append(f"stopped: {safe(profile['stop_reason'])}{'' if payload is None else f' ({payload})'}")
    limits = profile.get("limits")
    if limits:
        time_limit = "none" if limits["time_limit"] is None else f"{limits['time_limit']:g} s"
        lines.append(f"limits: {limits['iteration_limit']:,} iterations, {limits['node_limit']:,} nodes, "
                     f"time {time_limit}")

    iterations = profile["iterations"]
    if iterations:
        lines.append("")
        lines += table(
            ["iteration", "memo", "classes", "applied", "unions", "search ms", "apply ms", "rebuild ms", "total ms"],
            [[str(number), f"{it['memo_size']:,}", f"{it['class_count']:,}", f"{sum(it['applied'].values()):,}",
              f"{it['rebuild_unions']:,}", seconds(it["search_time"]), seconds(it["apply_time"]),
              seconds(it["rebuild_time"]), seconds(it["total_time"])]
             for number, it in enumerate(iterations)])

    rules = profile["rules"]
    if rules:
        lines.append("")
        matches = {name: sum(it["applied"].get(name, 0) for it in iterations) for name in rules}
        lines += table(["rule", "matches", "passed", "banned", "banned until"],
                       [[safe(name), f"{matches[name]:,}", f"{rule['times_applied']:,}", f"{rule['times_banned']:,}",
                         str(rule["banned_until"])] for name, rule in sorted(rules.items())])
    return "\n".join(lines)
