"""The `korvane` command: look at, render and reduce korvane IR blobs.

    korvane demo [--out DIR]
    korvane inspect FILE.kir [--limit N] [--node ID]
    korvane dot FILE.kir [--around ID[,ID...] [--depth K]] [-o OUT]
    korvane stats FILE.kir [--json]
    korvane reduce FILE.kir [--outputs 3,7] [--maximal-fusion] [--rules FILE.rules] [--profile] -o OUT.kir
    korvane rules FILE.rules [--check]
    korvane run FILE.kir --source NAME=PATH ... [--external HASH=MODEL.onnx ...] [-o OUT.npz]

Every failure the user can mend (a missing or damaged file, a bad argument, an
unknown node id, an output that cannot be written) is one line on standard
error and exit status 2. A reader that closes the pipe early (`| head`) ends
the command quietly with status 141, what a shell reports for a tool that
SIGPIPE stopped. Text taken from a blob is printed with its control characters
escaped, so no name can add a line to a table or drive the terminal.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
from collections import Counter
from pathlib import Path
from typing import Any, NoReturn, Sequence

import korvane_core

from . import sample
from ._optional import have
from .arguments import parse_count, parse_id, parse_ids, parse_outputs
from .files import check_ids, load, load_rules, read_file, render, write
from .profiling import profile_text
from .stats import command_stats, stats_text
from .tables import node_table, report_table, summary_line
from .text import CliError, out, safe, safe_dot

EXIT_USAGE = 2
EXIT_PIPE = 128 + 13  # 128 + SIGPIPE


# Commands

def run_both(store: korvane_core.GraphStore, outputs: list[int], reduced: korvane_core.GraphStore,
             n: int = 1_000_000) -> str:
    """What the reduction buys when the pipeline runs: the recorded graph op by op against the reduced one
    with fused stages, on `n`-element arrays (best of 3 runs each)."""
    import time

    from .executor import Program

    sources, externals, ops = sample.run_inputs(n)
    node_map = reduced.node_map()
    landed = []
    for o in outputs:
        entry = node_map[o]
        assert entry is not None, "an output always lands"
        landed.append(entry[0])
    fused = Program(reduced, outputs=landed, ops=ops, externals=externals)
    ways = {"recorded, op by op": Program(store, outputs=outputs, ops=ops, externals=externals, fuse=False),
            f"reduced, fused, {fused.threads} thread{'s' if fused.threads > 1 else ''}": fused}
    times, values = {}, {}
    for name, program in ways.items():
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            values[name] = program.run(sources)
            best = min(best, time.perf_counter() - start)
        times[name] = best
    first, second = values.values()
    agree = all(_same(a, b) for a, b in zip(first, second))
    base = times["recorded, op by op"]
    lines = [f"running it on {n:,}-element arrays (korvane.execute):"]
    lines += [f"  {name:<26}{t * 1e3:8.1f} ms  {base / t:5.2f}x" for name, t in times.items()]
    lines.append(f"  outputs {'agree' if agree else 'DIFFER'}")
    return "\n".join(lines)


def _same(a: Any, b: Any) -> bool:
    """Whether two output values are equal, NaN matching NaN."""
    import numpy as np

    return bool(np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True))


def cmd_demo(args: argparse.Namespace) -> int:
    out_dir = Path(args.out)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise CliError(f"{out_dir}: {e.strerror or e}") from None
    rec = sample.record()
    store = rec.store
    out(f"korvane_core {korvane_core.version()}: recording the sample pipeline")
    for label, node, hit in rec.calls:
        out(f"  {label:<34} -> id {node:>2}{'  (hash-consing hit)' if hit else ''}")
    out(f"{len(rec.calls)} calls, {rec.hits} hash-consing hits, {store.node_count()} nodes; outputs {rec.outputs}")

    reduced, default_report = store.reduce(outputs=rec.outputs)
    _, maximal_report = store.reduce(outputs=rec.outputs, maximal_fusion=True)

    # The same pipeline recorded again, with a step after every six calls.
    batched = korvane_core.GraphStore()
    reducer = korvane_core.IncrementalReducer()
    steps: list[int] = []
    replay = sample.record(batched, batch=6, on_batch=lambda: steps.append(reducer.step(batched)))
    _, incremental_report = reducer.finalize(batched, outputs=replay.outputs)
    out(f"\nincremental: {len(steps)} steps consumed {steps} nodes; canonical form "
        f"{reducer.canonical_count()} nodes of {reducer.watermark()}")
    out("\n" + report_table({"reduce": default_report, "maximal": maximal_report, "incremental": incremental_report}))

    if have("numpy"):
        out("\n" + run_both(store, rec.outputs, reduced))

    out("\nreduced graph:")
    nodes = reduced.nodes()
    out("\n".join(node_table(nodes)))
    out(summary_line(Counter(n["kind"] for n in nodes), len(nodes), reduced.outputs()))

    # The blob carries the outputs, so the picture read back from it marks them.
    blob = store.serialize(outputs=rec.outputs)
    files: dict[str, bytes | str] = {
        "sample.kir": blob,
        "reduced.kir": reduced.serialize(),
        "recorded.dot": korvane_core.GraphStore.deserialize(blob).to_dot(),
        "reduced.dot": reduced.to_dot(),
    }
    for name, data in files.items():
        write(out_dir / name, data)
    written = list(files)
    if shutil.which("dot"):
        for name in ("recorded", "reduced"):
            render(str(files[f"{name}.dot"]), out_dir / f"{name}.svg")
            written.append(f"{name}.svg")
    out(f"\nwrote {', '.join(written)} to {safe(out_dir)}/")
    return 0


def node_dicts(path: str, store: korvane_core.GraphStore, ids: Sequence[int]) -> list[Any]:
    """The dicts of nodes `ids`; a stage whose member tokens do not parse is the blob's fault, told in one line."""
    try:
        return store.nodes(ids=ids)
    except ValueError as e:
        raise CliError(f"{path}: {e}") from None


def cmd_inspect(args: argparse.Namespace) -> int:
    store = load(args.file)
    count = store.node_count()
    if args.node is not None:
        inspect_node(args, store)
        return 0
    shown = min(args.limit, count)
    out("\n".join(node_table(node_dicts(args.file, store, range(shown)), members=False)))
    if count > shown:
        out(f"... {count - shown:,} more nodes (--limit N shows more)")
    out(summary_line(store.stats()["kinds"], count, store.outputs()))
    return 0


def inspect_node(args: argparse.Namespace, store: korvane_core.GraphStore) -> None:
    """The node, its inputs and its consumers (at most --limit of them)."""
    node = args.node
    check_ids(args.file, [node], store.node_count())
    [shown_node] = node_dicts(args.file, store, [node])
    inputs = list(dict.fromkeys(shown_node["inputs"]))
    consumers = store.consumers(node)
    shown = consumers[:args.limit]
    roles = ["node"] + ["input"] * len(inputs) + ["consumer"] * len(shown)
    out("\n".join(node_table(node_dicts(args.file, store, [node] + inputs + shown), roles, members=False)))
    if len(consumers) > len(shown):
        out(f"... {len(consumers) - len(shown):,} more consumers (--limit N shows more)")
    out(f"node {node}: {len(inputs):,} inputs, {len(consumers):,} consumers")


def cmd_dot(args: argparse.Namespace) -> int:
    if args.around is None and args.depth is not None:
        raise CliError("argument --depth: needs --around")
    store = load(args.file)
    if args.around is None:
        text, whole = store.to_dot(), store.node_count()
    else:
        check_ids(args.file, args.around, store.node_count())
        text, whole = store.to_dot(around=args.around, depth=2 if args.depth is None else args.depth), None
    if args.output is None:
        sys.stdout.write(safe_dot(text, whole))
    elif Path(args.output).suffix.lower() in (".svg", ".png"):
        render(text, Path(args.output))
    else:
        write(args.output, text)
    return 0


def cmd_stats(args: argparse.Namespace) -> int:
    data = read_file(args.file)
    try:
        store = korvane_core.GraphStore.deserialize(data)
    except ValueError as e:
        raise CliError(f"{args.file}: {e}") from None
    stats = {"file": args.file, **command_stats(store.stats(), len(data))}
    out(json.dumps(stats) if args.json else stats_text(stats, safe))
    return 0


def cmd_rules(args: argparse.Namespace) -> int:
    rules = load_rules(args.file)
    out(f"{len(rules)} rule{'' if len(rules) == 1 else 's'} in {safe(args.file)}")
    for name, searcher, applier in rules.rules:
        out(f"  {safe(name)}: {safe(searcher)} => {safe(applier)}")
    if args.check:
        from ._optional import MissingDependency
        from .check import check_rules  # needs numpy, an optional extra

        try:
            results = check_rules(rules)
        except MissingDependency as e:
            raise CliError(str(e).removeprefix("korvane: ")) from None
        for result in results:
            out(safe(str(result)))
        return 0 if all(r.ok for r in results) else 1
    return 0


def cmd_reduce(args: argparse.Namespace) -> int:
    store = load(args.file)
    rules = load_rules(args.rules) if args.rules is not None else None
    if args.outputs is not None:
        check_ids(args.file, args.outputs, store.node_count())
    try:
        reduced, report = store.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs, rules=rules)
    except ValueError as e:
        raise CliError(f"{args.file}: {e}") from None
    write(args.output, reduced.serialize())
    out(report_table({"reduce": report}))
    out(f"wrote {reduced.node_count()} nodes to {safe(args.output)}")
    if args.profile:
        # The same reduction again, with the clock read at every phase and iteration.
        profile = store.reduction_profile(maximal_fusion=args.maximal_fusion, outputs=args.outputs, rules=rules)
        out("\n" + profile_text(profile, safe))
    return 0


class Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, like every other failure."""

    def error(self, message: str) -> NoReturn:
        raise CliError(message)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="korvane", description="Record, inspect and reduce korvane IR graphs.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)

    demo = sub.add_parser("demo", help="record the sample pipeline, reduce it three ways, write blob and pictures")
    demo.add_argument("--out", default="out/demo", metavar="DIR", help="where to write the files (default: out/demo)")
    demo.set_defaults(func=cmd_demo)

    inspect = sub.add_parser("inspect", help="print a blob's nodes as a table")
    inspect.add_argument("file", metavar="FILE.kir")
    inspect.add_argument("--limit", type=parse_count, default=200, metavar="N",
                         help="print at most N rows (default: 200)")
    inspect.add_argument("--node", type=parse_id, metavar="ID", help="just this node, its inputs and its consumers")
    inspect.set_defaults(func=cmd_inspect)

    dot = sub.add_parser("dot", help="print a blob as DOT, or render it with graphviz (-o x.svg / x.png)")
    dot.add_argument("file", metavar="FILE.kir")
    dot.add_argument("-o", "--output", metavar="OUT", help="write here instead of standard output")
    dot.add_argument("--around", type=parse_ids, metavar="ID[,ID...]",
                     help="draw only these nodes and their neighbourhood")
    dot.add_argument("--depth", type=parse_count, metavar="K",
                     help="with --around: how many input and consumer steps to follow (default: 2)")
    dot.set_defaults(func=cmd_dot)

    stats = sub.add_parser("stats", help="print figures about a blob's graph")
    stats.add_argument("file", metavar="FILE.kir")
    stats.add_argument("--json", action="store_true", help="print one JSON object")
    stats.set_defaults(func=cmd_stats)

    reduce = sub.add_parser("reduce", help="reduce a blob and write the reduced blob")
    reduce.add_argument("file", metavar="FILE.kir")
    reduce.add_argument("--outputs", type=parse_outputs, metavar="IDS",
                        help="comma-separated output node ids (default: the blob's outputs)")
    reduce.add_argument("--maximal-fusion", action="store_true", help="fuse fan-out chains too")
    reduce.add_argument("--rules", metavar="FILE.rules", help="run these rewrite rules after the built-in ones")
    reduce.add_argument("--profile", action="store_true",
                        help="then print where the reduction spends its time: phases, rewrite iterations, rules")
    reduce.add_argument("-o", "--output", required=True, metavar="OUT.kir")
    reduce.set_defaults(func=cmd_reduce)

    rules = sub.add_parser("rules", help="check a rule file and list its rules")
    rules.add_argument("file", metavar="FILE.rules")
    rules.add_argument("--check", action="store_true",
                       help="also evaluate both sides of each rule on sample inputs (needs numpy)")
    rules.set_defaults(func=cmd_rules)

    from .run_cli import add_parser as add_run  # imported here: it needs the extras only when it runs
    add_run(sub)
    return parser


def _discard_stdout() -> None:
    """Points standard output at the null device, so that what is still buffered goes nowhere at exit."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


def _error(message: str) -> None:
    try:
        print(f"korvane: error: {safe(message)}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    reconfigure = getattr(sys.stdout, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="backslashreplace")
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as e:  # --help
            status = e.code if isinstance(e.code, int) else 0
        else:
            status = args.func(args)
        sys.stdout.flush()
        return status
    except CliError as e:
        _error(str(e))
        return EXIT_USAGE
    except BrokenPipeError:
        _discard_stdout()
        return EXIT_PIPE
    except OSError as e:  # every file the commands open reports its own errors: this is standard output
        _discard_stdout()
        _error(f"standard output: {e.strerror or e}")
        return EXIT_USAGE
    except KeyboardInterrupt:
        _discard_stdout()
        return 128 + 2
    except Exception as e:  # a fault of the command itself, still in one line
        _error(f"internal error: {type(e).__name__}: {e}")
        return 1
    except BaseException as e:  # the module's internal error derives from BaseException
        if type(e).__name__ != "InternalError":
            raise
        _error(f"internal error: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
