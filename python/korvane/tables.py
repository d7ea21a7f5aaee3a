"""Aligned tables: reports side by side, and node dicts as rows.

A node's row shows its id, kind, name (a descriptor for an External, the
member count for a Stage), parameters, inputs and whether it is an output;
a stage's members can follow indented below it.
"""

from __future__ import annotations

from typing import Any, Mapping, Sequence

from .text import safe

REPORT_KEYS = ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes")


def report_table(columns: Mapping[str, Mapping[str, Any]]) -> str:
    """The reports side by side, one row per counter, numbers right-aligned."""
    names = list(columns)
    width = max(len(k) for k in REPORT_KEYS)
    cols = [max(len(n), 6) for n in names]
    lines = ["  ".join([" " * width] + [n.rjust(w) for n, w in zip(names, cols)])]
    for key in REPORT_KEYS:
        lines.append("  ".join([key.ljust(width)] + [str(columns[n][key]).rjust(w) for n, w in zip(names, cols)]))
    return "\n".join(lines)


def format_value(value: Any) -> str:
    return repr(value) if isinstance(value, str) else str(value)


def format_params(params: Mapping[str, Any]) -> str:
    return "{" + ", ".join(f"{k}={format_value(v)}" for k, v in params.items()) + "}" if params else ""


def node_row(node: Mapping[str, Any]) -> list[str]:
    """The cells of a node dict of `nodes()`."""
    what = node["name"]
    if node["kind"] == "external":
        d = node["descriptor"]
        what = f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}]"
    elif node["kind"] == "stage":
        what = f"{node['n_members']} members"
    return [str(node["id"]), node["kind"], safe(what), safe(format_params(node["params"])),
            ",".join(map(str, node["inputs"])), "output" if node["output"] else ""]


def member_lines(node: Mapping[str, Any]) -> list[str]:
    lines = []
    for position, member in enumerate(node.get("members", [])):
        refs = ", ".join(f"{kind} {index}" for kind, index in member["inputs"])
        params = format_params(member["params"])
        lines.append(safe(f"#{position} {member['kind']} {member['name']}{' ' + params if params else ''} <- {refs}"))
    return lines


def node_table(nodes: Sequence[Mapping[str, Any]], roles: Sequence[str] | None = None, members: bool = True) -> list[str]:
    """One line per node dict under a header, with each stage's members indented below it unless `members` is
    false; `roles` adds a first column."""
    rows = [node_row(node) for node in nodes]
    return table(["id", "kind", "name", "params", "inputs", ""], rows, nodes if members else [{}] * len(rows), roles)


def table(header: list[str], rows: list[list[str]], nodes: Sequence[Mapping[str, Any]],
          roles: Sequence[str] | None = None) -> list[str]:
    """Aligned rows under a header, ids right-aligned, each node's stage members indented below its row."""
    if roles is not None:
        header.insert(0, "")
        rows = [[role] + row for role, row in zip(roles, rows)]
    id_col = 0 if roles is None else 1
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    lines = ["  ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip()]
    indent = " " * (sum(widths[:id_col + 1]) + 2 * id_col)
    for node, row in zip(nodes, rows):
        cells = [c.rjust(w) if i == id_col else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
        lines += [f"{indent}    {line}" for line in member_lines(node)]
    return lines


def summary_line(kinds: Mapping[str, int], count: int, outputs: list[int]) -> str:
    summary = ", ".join(f"{n} {kind}" for kind, n in sorted(kinds.items()) if n)
    return f"{count} nodes ({summary or 'none'}); outputs: {outputs}"
