"""`korvane run FILE.kir --source NAME=PATH ... [-o OUT.npz]`: runs a blob's outputs.

Sources are read by their file's suffix: `.npy` (one array), `.npz` (its one
array, or the array named like the source), `.csv` and `.parquet` (a pandas
DataFrame). Externals are ONNX model files given by content hash
(`--external sha256:...=model.onnx`). The outputs are written to an `.npz`
file (one array per output, named `node_ID`) or summarized on standard output.
On a terminal a progress bar appears once a run has taken a second (with tqdm
or rich, if one of them is installed).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Any, Callable

from ._optional import MissingDependency, have, need
from .arguments import parse_count, parse_outputs
from .files import check_ids, load
from .text import CliError, out, safe

SUFFIXES = (".npy", ".npz", ".csv", ".parquet")


def add_parser(sub: Any) -> None:
    run = sub.add_parser("run", help="run a blob's outputs on source files and write or summarize them")
    run.add_argument("file", metavar="FILE.kir")
    run.add_argument("--source", action="append", default=[], metavar="NAME=PATH", type=_pair("--source"),
                     help="the value of source NAME: a .npy, .npz, .csv or .parquet file (repeat per source)")
    run.add_argument("--external", action="append", default=[], metavar="HASH=MODEL.onnx", type=_pair("--external"),
                     help="an ONNX model for the external with this content hash")
    run.add_argument("--outputs", type=parse_outputs, metavar="IDS", help="comma-separated output node ids (default: the blob's outputs)")
    run.add_argument("--no-fuse", action="store_true", help="run stages member by member over whole arrays")
    run.add_argument("--threads", type=parse_count, metavar="N",
                     help="threads that share each fused stage's blocks (default: the cores, at most 8)")
    run.add_argument("-o", "--output", metavar="OUT.npz", help="write the outputs here instead of summarizing them")
    run.set_defaults(func=cmd_run)


def _pair(flag: str) -> Callable[[str], tuple[str, str]]:
    def parse(text: str) -> tuple[str, str]:
        name, sep, path = text.partition("=")
        if not sep or not name or not path:
            raise argparse.ArgumentTypeError(f"expected NAME=PATH, got {text!r}")
        return name, path
    parse.__name__ = flag  # argparse names the type in its message
    return parse


def read_source(name: str, path: str) -> Any:
    """The value in the file at `path` for source `name`."""
    suffix = Path(path).suffix.lower()
    if suffix not in SUFFIXES:
        raise CliError(f"{path}: cannot read {suffix or 'a file without a suffix'} sources "
                       f"(use {', '.join(SUFFIXES)})")
    try:
        if suffix == ".npy":
            return need("numpy").load(path, allow_pickle=False)
        if suffix == ".npz":
            with need("numpy").load(path, allow_pickle=False) as archive:
                keys = list(archive.keys())
                if len(keys) == 1:
                    return archive[keys[0]]
                if name in keys:
                    return archive[name]
                raise CliError(f"{path}: holds {len(keys)} arrays ({', '.join(map(safe, keys)) or 'none'}) "
                               f"and none named {safe(name)!r}")
        pd = need("pandas")
        if suffix == ".csv":
            return pd.read_csv(path)
        need("pyarrow")
        return pd.read_parquet(path)
    except (CliError, MissingDependency):
        raise
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None
    except Exception as e:  # a damaged file: numpy, pandas and pyarrow each raise their own errors
        raise CliError(f"{path}: cannot read it: {_first_line(e)}") from None


def _first_line(e: BaseException) -> str:
    text = str(e).strip()
    return text.splitlines()[0] if text else type(e).__name__


def summary(value: Any) -> str:
    """One line about an output value."""
    if have("pandas"):
        pd = need("pandas")
        if isinstance(value, (pd.DataFrame, pd.Series)):
            kind = type(value).__name__
            columns = f", columns {', '.join(map(str, value.columns))}" if kind == "DataFrame" else ""
            return safe(f"{kind} of {len(value)} rows{columns}")
    np = need("numpy")
    if isinstance(value, np.ndarray) and value.ndim:
        text = f"{value.dtype} array of shape {value.shape}"
        if value.size and value.dtype.kind in "fiub":
            with np.errstate(all="ignore"):
                numeric = value.astype(np.float64)
                text += (f": min {np.nanmin(numeric):.6g}, max {np.nanmax(numeric):.6g}, "
                         f"mean {np.nanmean(numeric):.6g}, {int(np.isnan(numeric).sum())} NaN"
                         if not np.isnan(numeric).all() else ": all NaN")
        return text
    if isinstance(value, (np.ndarray, np.generic)):
        return f"{value.dtype} {value.item()!r}"
    return safe(f"{type(value).__name__} {value!r}")


class _Progress:
    """A progress bar that appears once a run has lasted a second, on a terminal, with tqdm or rich."""

    def __init__(self) -> None:
        self.start = time.monotonic()
        self.bar: Any = None
        self.rich: Any = None
        self.enabled = sys.stderr.isatty() and (have("tqdm") or have("rich"))

    def __call__(self, done: int, total: int) -> None:
        if not self.enabled:
            return
        if self.bar is None and self.rich is None:
            if time.monotonic() - self.start < 1.0:
                return
            if have("tqdm"):
                self.bar = need("tqdm").tqdm(total=total, unit="node", leave=False, file=sys.stderr)
            else:
                progress = need("rich.progress")
                self.rich = progress.Progress(transient=True)
                self.rich.start()
                self.bar = self.rich.add_task("running", total=total)
        if self.rich is not None:
            self.rich.update(self.bar, completed=done)
        else:
            self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.rich is not None:
            self.rich.stop()
        elif self.bar is not None:
            self.bar.close()


def cmd_run(args: argparse.Namespace) -> int:
    try:
        return _run(args)
    except MissingDependency as e:
        raise CliError(str(e).removeprefix("korvane: ")) from None


def _run(args: argparse.Namespace) -> int:
    from .executor import Program

    store = load(args.file)
    outputs = args.outputs
    if outputs is not None:
        check_ids(args.file, outputs, store.node_count())
    sources: dict[str, Any] = {}
    for name, path in args.source:
        if name in sources:
            raise CliError(f"argument --source: {safe(name)!r} given twice")
        sources[name] = read_source(name, path)
    externals: dict[str, Any] = {}
    for content_hash, path in args.external:
        if not os.path.isfile(path):
            raise CliError(f"{path}: no such file")
        externals[content_hash] = path
    if args.output is not None and Path(args.output).suffix.lower() != ".npz":
        raise CliError(f"{args.output}: outputs are written as .npz")
    try:
        program = Program(store, outputs=outputs, externals=externals, fuse=not args.no_fuse,
                          threads=args.threads)
        progress = _Progress()
        try:
            values = program.run(sources, progress=progress)
        finally:
            progress.close()
    except (ValueError, TypeError, ArithmeticError) as e:
        notes = [n.removeprefix("korvane: ") for n in getattr(e, "__notes__", [])]
        raise CliError(f"{args.file}: {'; '.join([_first_line(e), *notes])}") from None
    ids = program.outputs
    if args.output is not None:
        write_npz(args.output, ids, values)
        out(f"wrote {len(dict.fromkeys(ids))} outputs to {safe(args.output)}")
    else:
        for node, value in zip(ids, values):
            out(f"node {node}: {summary(value)}")
    return 0


def write_npz(path: str, ids: list[int], values: list[Any]) -> None:
    np = need("numpy")
    arrays = {f"node_{node}": np.asarray(value) for node, value in zip(ids, values)}
    for key, array in arrays.items():
        if array.dtype == object:
            raise CliError(f"{path}: output {key} is not an array ({type(values[ids.index(int(key[5:]))]).__name__})")
    try:
        with open(path, "wb") as f:
            np.savez(f, **arrays)
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None
