"""The `korvane` command: look at, render and reduce korvane IR blobs.

    korvane demo [--out DIR]
    korvane inspect FILE.kir
    korvane dot FILE.kir [-o OUT]
    korvane reduce FILE.kir [--outputs 3,7] [--maximal-fusion] -o OUT.kir
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
from collections import Counter
from pathlib import Path
from typing import Any, Sequence

import korvane_core

from . import sample

REPORT_KEYS = ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes")


class CliError(Exception):
    """A failure to report in one line, with exit status 2."""


def load(path: str) -> korvane_core.GraphStore:
    try:
        data = Path(path).read_bytes()
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None
    try:
        return korvane_core.GraphStore.deserialize(data)
    except ValueError as e:
        raise CliError(f"{path}: {e}") from None


def write(path: str | Path, data: bytes | str) -> None:
    try:
        if isinstance(data, bytes):
            Path(path).write_bytes(data)
        else:
            Path(path).write_text(data)
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None


def report_table(columns: dict[str, dict[str, int]]) -> str:
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


def format_params(params: dict[str, Any]) -> str:
    return "{" + ", ".join(f"{k}={format_value(v)}" for k, v in params.items()) + "}" if params else ""


def node_table(store: korvane_core.GraphStore) -> str:
    """One line per node (stage members indented below it) and a summary line."""
    nodes = store.nodes()
    rows = []
    for node in nodes:
        what = node["name"]
        if node["kind"] == "external":
            d = node["descriptor"]
            what = f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}]"
        elif node["kind"] == "stage":
            what = f"{node['n_members']} members"
        rows.append(
            (
                str(node["id"]),
                node["kind"],
                what,
                format_params(node["params"]),
                ",".join(map(str, node["inputs"])),
                "output" if node["output"] else "",
            )
        )
    header = ("id", "kind", "name", "params", "inputs", "")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    lines = ["  ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip()]
    for node, row in zip(nodes, rows):
        lines.append("  ".join([row[0].rjust(widths[0])] + [c.ljust(w) for c, w in zip(row[1:], widths[1:])]).rstrip())
        for position, member in enumerate(node.get("members", [])):
            refs = ", ".join(f"{kind} {index}" for kind, index in member["inputs"])
            params = format_params(member["params"])
            lines.append(f"{'':>{widths[0]}}    #{position} {member['kind']} {member['name']}{' ' + params if params else ''} <- {refs}")
    kinds = Counter(n["kind"] for n in nodes)
    summary = ", ".join(f"{count} {kind}" for kind, count in sorted(kinds.items()))
    lines.append(f"{len(nodes)} nodes ({summary or 'none'}); outputs: {store.outputs()}")
    return "\n".join(lines)


def render(dot_text: str, target: Path) -> None:
    """Renders DOT text to an SVG or PNG file with graphviz."""
    fmt = target.suffix.lstrip(".").lower()
    if fmt not in ("svg", "png"):
        raise CliError(f"{target}: can only render .svg or .png (write .dot files as text)")
    if shutil.which("dot") is None:
        raise CliError(f"{target}: rendering needs graphviz's 'dot' program, which is not installed")
    done = subprocess.run(["dot", f"-T{fmt}", "-o", str(target)], input=dot_text, text=True, capture_output=True)
    if done.returncode != 0:
        raise CliError(f"{target}: graphviz failed: {done.stderr.strip()}")


def parse_outputs(text: str) -> list[int]:
    try:
        return [int(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected comma-separated node ids, got {text!r}") from None


def cmd_demo(args: argparse.Namespace) -> int:
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    rec = sample.record()
    store = rec.store
    print(f"korvane_core {korvane_core.version()}: recording the sample pipeline")
    for label, node, hit in rec.calls:
        print(f"  {label:<34} -> id {node:>2}{'  (hash-consing hit)' if hit else ''}")
    print(f"{len(rec.calls)} calls, {rec.hits} hash-consing hits, {store.node_count()} nodes; outputs {rec.outputs}")

    reduced, default_report = store.reduce(outputs=rec.outputs)
    _, maximal_report = store.reduce(outputs=rec.outputs, maximal_fusion=True)

    # The same pipeline recorded again, with a step after every six calls.
    batched = korvane_core.GraphStore()
    reducer = korvane_core.IncrementalReducer()
    steps: list[int] = []
    replay = sample.record(batched, batch=6, on_batch=lambda: steps.append(reducer.step(batched)))
    _, incremental_report = reducer.finalize(batched, outputs=replay.outputs)
    print(f"\nincremental: {len(steps)} steps consumed {steps} nodes; canonical form "
          f"{reducer.canonical_count()} nodes of {reducer.watermark()}")
    print("\n" + report_table({"reduce": default_report, "maximal": maximal_report, "incremental": incremental_report}))

    print("\nreduced graph:")
    print(node_table(reduced))

    # The blob carries the outputs, so the picture read back from it marks them.
    blob = store.serialize(outputs=rec.outputs)
    files = {
        "sample.kir": blob,
        "reduced.kir": reduced.serialize(),
        "recorded.dot": korvane_core.GraphStore.deserialize(blob).to_dot(),
        "reduced.dot": reduced.to_dot(),
    }
    for name, data in files.items():
        write(out / name, data)
    written = list(files)
    if shutil.which("dot"):
        for name in ("recorded", "reduced"):
            render(files[f"{name}.dot"], out / f"{name}.svg")
            written.append(f"{name}.svg")
    print(f"\nwrote {', '.join(written)} to {out}/")
    return 0


def cmd_inspect(args: argparse.Namespace) -> int:
    print(node_table(load(args.file)))
    return 0


def cmd_dot(args: argparse.Namespace) -> int:
    text = load(args.file).to_dot()
    if args.output is None:
        sys.stdout.write(text)
    elif Path(args.output).suffix.lower() in (".svg", ".png"):
        render(text, Path(args.output))
    else:
        write(args.output, text)
    return 0


def cmd_reduce(args: argparse.Namespace) -> int:
    store = load(args.file)
    try:
        reduced, report = store.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs)
    except ValueError as e:
        raise CliError(f"{args.file}: {e}") from None
    write(args.output, reduced.serialize())
    print(report_table({"reduce": report}))
    print(f"wrote {reduced.node_count()} nodes to {args.output}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="korvane", description="Record, inspect and reduce korvane IR graphs.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser("demo", help="record the sample pipeline, reduce it three ways, write blob and pictures")
    demo.add_argument("--out", default="out/demo", metavar="DIR", help="where to write the files (default: out/demo)")
    demo.set_defaults(func=cmd_demo)

    inspect = sub.add_parser("inspect", help="print a blob's nodes as a table")
    inspect.add_argument("file", metavar="FILE.kir")
    inspect.set_defaults(func=cmd_inspect)

    dot = sub.add_parser("dot", help="print a blob as DOT, or render it with graphviz (-o x.svg / x.png)")
    dot.add_argument("file", metavar="FILE.kir")
    dot.add_argument("-o", "--output", metavar="OUT", help="write here instead of standard output")
    dot.set_defaults(func=cmd_dot)

    reduce = sub.add_parser("reduce", help="reduce a blob and write the reduced blob")
    reduce.add_argument("file", metavar="FILE.kir")
    reduce.add_argument("--outputs", type=parse_outputs, metavar="IDS",
                        help="comma-separated output node ids (default: the blob's outputs)")
    reduce.add_argument("--maximal-fusion", action="store_true", help="fuse fan-out chains too")
    reduce.add_argument("-o", "--output", required=True, metavar="OUT.kir")
    reduce.set_defaults(func=cmd_reduce)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except CliError as e:
        print(f"korvane: error: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
