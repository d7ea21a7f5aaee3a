"""The `korvane` command."""

from __future__ import annotations

import argparse
import sys

import korvane_core

from . import sample


def cmd_demo(args: argparse.Namespace) -> int:
    rec = sample.record()
    print(f"korvane_core {korvane_core.version()}: recording the sample pipeline")
    for label, node, hit in rec.calls:
        print(f"  {label:<34} -> id {node:>2}{'  (hash-consing hit)' if hit else ''}")
    print(f"{len(rec.calls)} calls, {rec.hits} hash-consing hits, {rec.store.node_count()} nodes")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="korvane", description="Record, inspect and reduce korvane IR graphs.")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="record the embedded sample pipeline and show what happens to it")
    demo.set_defaults(func=cmd_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
