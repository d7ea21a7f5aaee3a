"""The files the command reads and writes: blobs, rule files, rendered drawings.

Every failure is a CliError naming the file, so that it is reported in one
line. Only regular files are read, and no more than their size.
"""

from __future__ import annotations

import os
import shutil
import stat
import subprocess
from pathlib import Path
from typing import Sequence

import korvane_core

from .text import CliError


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
