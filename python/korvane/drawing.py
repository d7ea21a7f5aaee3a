"""The module's DOT text read back: node labels, output marks, edges and summaries.

`GraphStore.to_dot(around=...)` draws a few nodes of a big graph natively; the
node tables of `korvane inspect` are read from such a drawing instead of from
node dicts for the whole graph. The text is regular: a header, one node line
per drawn node, one summary node line per side a drawing leaves out, the edge
lines, the dashed edges to the summaries, and a closing line. Labels never
hold an unescaped double quote, so scanning the lines in order from the start
cannot be misled by a label that spells another line.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field

HEADER = "digraph korvane {\n"
_LINE = re.compile(
    r'  n(?P<node>[0-9]+) \[label="(?P<label>(?:[^"\\]|\\.)*)"(?P<output>, shape=doublecircle)?\];\n'
    r'|  (?P<side>[ic])(?P<cut>[0-9]+) \[label="\+(?P<hidden>[0-9,]+) (?:inputs|consumers)", '
    r"shape=plaintext, fontcolor=gray40\];\n"
    r"|  n(?P<source>[0-9]+) -> n(?P<target>[0-9]+);\n"
    r"|  [in][0-9]+ -> [nc][0-9]+ \[style=dashed, color=gray40\];\n",
    re.S,
)
_UNESCAPE = re.compile(r"\\(.)", re.S)
KIND_WORDS = {"Source": "source", "Op": "op", "Reduction": "reduction", "External": "external",
              "Stage": "stage", "Exchange": "exchange", "Join": "join"}


class DrawingError(Exception):
    """Text that is not a drawing of the module."""


@dataclass
class Drawn:
    """One drawn node: its label (unescaped), whether it is an output, its inputs as far as the drawing shows
    them, in order, and how many distinct inputs and consumers the drawing left out."""

    label: str
    output: bool
    inputs: list[int] = field(default_factory=list)
    consumers: list[int] = field(default_factory=list)
    hidden_inputs: int = 0
    hidden_consumers: int = 0

    @property
    def kind(self) -> str:
        head = self.label.split(" ", 1)[0].split("[", 1)[0]
        return KIND_WORDS.get(head, head)

    @property
    def what(self) -> str:
        """The label after the kind word: name and parameters, the descriptor, or the member count."""
        if self.label.startswith("Stage["):
            return self.label[len("Stage["):].rstrip("]")
        return self.label.partition(" ")[2]


def read_drawing(text: str) -> dict[int, Drawn]:
    """The drawn nodes by id, in id order; each node's consumers in id order."""
    if not text.startswith(HEADER) or not text.endswith("}\n"):
        raise DrawingError("not a korvane drawing")
    nodes: dict[int, Drawn] = {}
    pos, end = len(HEADER), len(text) - 2
    while pos < end:
        m = _LINE.match(text, pos, end)
        if m is None:
            raise DrawingError(f"unreadable line at offset {pos}")
        pos = m.end()
        if m["node"] is not None:
            nodes[int(m["node"])] = Drawn(_UNESCAPE.sub(r"\1", m["label"]), m["output"] is not None)
        elif m["side"] is not None:
            hidden = int(m["hidden"].replace(",", ""))
            if m["side"] == "i":
                nodes[int(m["cut"])].hidden_inputs = hidden
            else:
                nodes[int(m["cut"])].hidden_consumers = hidden
        elif m["source"] is not None:
            source, target = int(m["source"]), int(m["target"])
            nodes[target].inputs.append(source)
            nodes[source].consumers.append(target)
    return nodes
