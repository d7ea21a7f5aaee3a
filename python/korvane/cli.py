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
import re
import shutil
import stat
import subprocess
import sys
from collections import Counter
from pathlib import Path
from typing import Any, Mapping, NoReturn, Sequence

import korvane_core

from . import sample
from .drawing import Drawn, read_drawing
from .profiling import profile_text
from .stats import command_stats, stats_text

REPORT_KEYS = ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes")
EXIT_USAGE = 2
EXIT_PIPE = 128 + 13  # 128 + SIGPIPE


class CliError(Exception):
    """A failure to report in one line, with exit status 2."""


# Printable text. Control, format and separator characters become \n, \t, \r,
# \0 or \u{hex} escapes, the notation of the module's parameter text.

_ESCAPES = {"\n": "\\n", "\t": "\\t", "\r": "\\r", "\0": "\\0"}


def _escape_char(char: str) -> str:
    if char.isprintable():
        return char
    return _ESCAPES.get(char) or f"\\u{{{ord(char):x}}}"


def safe(text: object) -> str:
    """`text` with every character a terminal would act on or hide written as an escape."""
    text = str(text)
    return text if text.isprintable() else "".join(map(_escape_char, text))


# DOT text: labels get the same escapes, doubled so that graphviz draws the
# backslash.
_LABEL = re.compile(r'label="((?:[^"\\]|\\.)*)"', re.S)
_LABEL_ESCAPE = re.compile(r"\\(.)", re.S)


def _safe_label(match: re.Match[str]) -> str:
    if match[1].isprintable():
        return match[0]
    label = safe(_LABEL_ESCAPE.sub(r"\1", match[1]))
    return 'label="' + label.replace("\\", "\\\\").replace('"', '\\"') + '"'


_ASCII_CONTROL = re.compile(r"[\x00-\x09\x0b-\x1f\x7f]")
_LABEL_REST = re.compile(r'(?:[^"\\]|\\.)*"(?:, shape=doublecircle)?\];\n', re.S)


def edges_start(text: str, node_count: int) -> int:
    """Where the edge lines begin in the whole drawing of a store of `node_count` nodes."""
    if not node_count:
        return len("digraph korvane {\n")
    head = f'\n  n{node_count - 1} [label="'
    start = text.rfind(head)
    rest = _LABEL_REST.match(text, start + len(head))
    assert start >= 0 and rest is not None, "to_dot() draws every node on a line"
    return rest.end()


def safe_dot(text: str, node_count: int | None = None) -> str:
    """DOT text whose labels hold no control characters. Given the node count of a whole drawing by the module,
    the common case takes one quick look: ASCII text whose only control characters end its lines, with as many
    line ends before the edge lines as there are node lines and a header."""
    if node_count is not None and text.isascii() and not _ASCII_CONTROL.search(text):
        if text.count("\n", 0, edges_start(text, node_count)) == node_count + 1:
            return text
    return _LABEL.sub(_safe_label, text)


def out(text: str = "") -> None:
    sys.stdout.write(text + "\n")


# Files

def read_file(path: str) -> bytes:
    """The bytes of a regular file, no more than its size when opened.

    A FIFO, a device or a directory is refused before anything is read from
    it: /dev/zero would never end and a FIFO would wait for a writer. The
    file is opened without blocking, so that opening a FIFO returns at once.
    """
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise CliError(f"{path}: not a regular file")
        chunks: list[bytes] = []
        left = info.st_size
        while left > 0:
            chunk = os.read(fd, min(left, 1 << 24))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None
    finally:
        os.close(fd)


def load(path: str) -> korvane_core.GraphStore:
    data = read_file(path)
    try:
        return korvane_core.GraphStore.deserialize(data)
    except ValueError as e:
        raise CliError(f"{path}: {e}") from None


def check_ids(path: str, ids: Sequence[int], count: int) -> None:
    for node in ids:
        if node >= count:
            raise CliError(f"{path}: no node with id {node}")


def write(path: str | Path, data: bytes | str) -> None:
    try:
        if isinstance(data, bytes):
            Path(path).write_bytes(data)
        else:
            Path(path).write_text(data)
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None


def render(dot_text: str, target: Path) -> None:
    """Renders DOT text to an SVG or PNG file with graphviz."""
    fmt = target.suffix.lstrip(".").lower()
    if fmt not in ("svg", "png"):
        raise CliError(f"{target}: can only render .svg or .png (write .dot files as text)")
    if shutil.which("dot") is None:
        raise CliError(f"{target}: rendering needs graphviz's 'dot' program, which is not installed")
    try:
        done = subprocess.run(["dot", f"-T{fmt}", "-o", str(target)], input=dot_text.encode(), capture_output=True)
    except OSError as e:
        raise CliError(f"{target}: cannot run graphviz: {e.strerror or e}") from None
    if done.returncode != 0:
        reason = "; ".join(line.strip() for line in done.stderr.decode(errors="replace").splitlines() if line.strip())
        raise CliError(f"{target}: graphviz failed: {reason or f'exit status {done.returncode}'}")


# Tables

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


def drawn_row(node: int, drawn: Drawn) -> list[str]:
    """The cells of a node read from a drawing: its label stands for name and parameters; inputs that the
    drawing leaves out are counted ("+2")."""
    inputs = ",".join(map(str, drawn.inputs))
    if drawn.hidden_inputs:
        inputs += f"{',' if inputs else ''}+{drawn.hidden_inputs:,}"
    return [str(node), drawn.kind, safe(drawn.what), inputs, "output" if drawn.output else ""]


def drawn_table(drawing: Mapping[int, Drawn], ids: Sequence[int], roles: Sequence[str] | None = None) -> list[str]:
    """The table of the drawn nodes `ids`, in that order."""
    rows = [drawn_row(node, drawing[node]) for node in ids]
    return table(["id", "kind", "label", "inputs", ""], rows, [{}] * len(rows), roles)


def node_table(nodes: Sequence[Mapping[str, Any]], roles: Sequence[str] | None = None) -> list[str]:
    """One line per node dict (stage members indented below it) under a header; `roles` adds a first column."""
    return table(["id", "kind", "name", "params", "inputs", ""], [node_row(node) for node in nodes], nodes, roles)


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


# Argument types

_IDS = re.compile(r"[0-9]+(,[0-9]+)*\Z")
_COUNT = re.compile(r"[0-9]+\Z")
_ECHO = 40  # characters of a rejected argument that a message repeats


def _echo(text: str) -> str:
    shown = text if len(text) <= _ECHO else text[:_ECHO] + "..."
    return safe(repr(shown))


def _number(text: str) -> int:
    """A whole number of digits; one past Python's digit limit for int() is too large for any id or count."""
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"number too large: {len(text.strip()):,} digits") from None


def parse_ids(text: str) -> list[int]:
    cleaned = ",".join(part.strip() for part in text.split(","))
    if not _IDS.match(cleaned):
        raise argparse.ArgumentTypeError(f"expected comma-separated node ids, got {_echo(text)}")
    return [_number(part) for part in cleaned.split(",")]


def parse_outputs(text: str) -> list[int]:
    return parse_ids(text) if text.strip(" ,") else []


def parse_id(text: str) -> int:
    if not _COUNT.match(text.strip()):
        raise argparse.ArgumentTypeError(f"expected a node id, got {_echo(text)}")
    return _number(text)


def parse_count(text: str) -> int:
    if not _COUNT.match(text.strip()):
        raise argparse.ArgumentTypeError(f"expected a whole number (0 or more), got {_echo(text)}")
    return _number(text)


# Commands

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


def cmd_inspect(args: argparse.Namespace) -> int:
    store = load(args.file)
    count = store.node_count()
    if args.node is not None:
        inspect_node(args, store)
        return 0
    # The first nodes read only earlier ones, so a drawing of them shows all their inputs.
    shown = min(args.limit, count)
    drawing = read_drawing(store.to_dot(around=range(shown), depth=0))
    out("\n".join(drawn_table(drawing, range(shown))))
    if count > shown:
        out(f"... {count - shown:,} more nodes (--limit N shows more)")
    out(summary_line(store.stats()["kinds"], count, store.outputs()))
    return 0


def inspect_node(args: argparse.Namespace, store: korvane_core.GraphStore) -> None:
    """The node, its inputs and its consumers (at most --limit of them), from a drawing one step around it."""
    node = args.node
    check_ids(args.file, [node], store.node_count())
    drawing = read_drawing(store.to_dot(around=[node], depth=1))
    inputs = list(dict.fromkeys(drawing[node].inputs))
    consumers = list(dict.fromkeys(drawing[node].consumers))
    shown = consumers[:args.limit]
    ids = [node] + inputs + shown
    roles = ["node"] + ["input"] * len(inputs) + ["consumer"] * len(shown)
    out("\n".join(drawn_table(drawing, ids, roles)))
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


def load_rules(path: str) -> korvane_core.RuleSet:
    """The rule set of a rule file; a bad rule is one line naming the file and the rule."""
    try:
        text = read_file(path).decode("utf-8")
    except UnicodeDecodeError as e:
        raise CliError(f"{path}: not UTF-8 text (byte {e.start})") from None
    try:
        return korvane_core.RuleSet(text)
    except ValueError as e:
        raise CliError(f"{path}: {e}") from None


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

    from .run_cli import add_parser as add_run  # its own module; it imports this one
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
