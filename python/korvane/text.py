"""Text for a terminal: escapes for what a terminal would act on or hide.

Control, format and separator characters become \\n, \\t, \\r, \\0 or
\\u{hex} escapes, the notation of the module's parameter text, so no name
taken from a blob can add a line to a table or drive the terminal. DOT text
gets the same escapes in its labels, doubled so that graphviz draws them.
"""

from __future__ import annotations

import re
import sys


class CliError(Exception):
    """A failure to report in one line, with exit status 2."""


def out(text: str = "") -> None:
    """Writes one line to standard output."""
    sys.stdout.write(text + "\n")


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
