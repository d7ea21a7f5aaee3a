"""The neighbourhood of a few nodes in a big graph, drawn as DOT text.

A drawing needs the labels of a few dozen nodes and the edges that touch them,
but finding a node's consumers means looking at every edge of the graph. The
module's `to_dot()` renders all of it natively, much faster than Python can
decode the blob, and its text is regular: one node line per node in id order,
then one "  nA -> nB;" line per edge, grouped by consumer in id order. So each
step of the search is one regular-expression pass over the edge lines, with
the wanted ids compiled into the pattern, and the drawing reuses the node lines
of `to_dot()` as they are.

Labels cannot forge lines that these patterns match: the label escaping puts a
backslash before every double quote inside a label, and the node and edge
section are told apart by the node line of the last id.
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from typing import Dict

import korvane_core

Trie = Dict[str, "Trie"]

# Up to this many nodes, finding consumers searches for each node's text on its
# own (about a third of a pattern pass each, at 1e6 nodes).
FIND_AT_MOST = 2
_LABEL_REST = re.compile(r'(?:[^"\\]|\\.)*"(?:, shape=doublecircle)?\];\n', re.S)


def digits_pattern(ids: Iterable[int]) -> str:
    """A pattern matching exactly the decimal forms of `ids` (a trie, so that a pass does not try them one by one)."""
    trie: Trie = {}
    for text in map(str, set(ids)):
        level = trie
        for digit in text:
            level = level.setdefault(digit, {})
        level[""] = {}

    def emit(level: Trie) -> str:
        ends = "" in level
        branches = [digit + emit(rest) for digit, rest in sorted(level.items()) if digit]
        if not branches:
            return ""
        body = branches[0] if len(branches) == 1 else "(?:" + "|".join(branches) + ")"
        if ends:
            return "(?:" + body + ")?"
        return body

    return emit(trie)


def edges_start(text: str, node_count: int) -> int:
    """Where the edge lines begin in the DOT text of a store of `node_count` nodes."""
    if not node_count:
        return len("digraph korvane {\n")
    head = f'\n  n{node_count - 1} [label="'
    start = text.rfind(head)
    rest = _LABEL_REST.match(text, start + len(head))
    assert start >= 0 and rest is not None, "to_dot() draws every node on a line"
    return rest.end()


class DotText:
    """The DOT text of a store, split into its node lines and its edge lines.

    Node lines come in id order, and edge lines in the order of their
    consumers' ids: a node's line and its inputs are found by bisection. Its
    consumers are spread over all edge lines: finding them takes one pass, for
    any number of nodes at once.
    """

    def __init__(self, store: korvane_core.GraphStore) -> None:
        self.text = store.to_dot()
        self.count = store.node_count()
        self.nodes_at = len("digraph korvane {")  # the newline before the first node line
        self.edges_at = edges_start(self.text, self.count)
        self.edges_end = len(self.text) - len("}\n")

    def node_line(self, node: int) -> str:
        """The node line of `node`, without its newline. A label holds no '[label="' of its own (its quotes are
        escaped), so each such mark starts the label of the node line it stands on."""
        text, mark = self.text, ' [label="'
        lo, hi = self.nodes_at, self.edges_at
        while lo < hi:
            mid = (lo + hi) // 2
            at = text.find(mark, mid, self.edges_at)
            start = text.rfind("\n  n", 0, at) if at >= 0 else -1
            found = int(text[start + 4:at]) if at >= 0 else self.count
            if found == node:
                rest = _LABEL_REST.match(text, at + len(mark))
                assert rest is not None
                return text[start + 1:rest.end() - 1]
            if found < node:
                lo = at + 1
            else:
                hi = mid
        raise KeyError(node)

    def _edge_line(self, start: int) -> tuple[int, int, int]:
        """(input, consumer, start of the next line) of the edge line at `start`."""
        end = self.text.index(";\n", start)
        source, consumer = self.text[start + 3:end].split(" -> n")
        return int(source), int(consumer), end + 2

    def inputs(self, node: int) -> list[int]:
        """The inputs of `node`, in order."""
        text = self.text
        lo, hi = self.edges_at, self.edges_end
        while lo < hi:  # the first edge line whose consumer is not below `node`
            start = text.rfind("\n", self.edges_at - 1, (lo + hi) // 2) + 1
            _, consumer, end = self._edge_line(start)
            if consumer < node:
                lo = end
            else:
                hi = start
        found = []
        while lo < self.edges_end:
            source, consumer, lo = self._edge_line(lo)
            if consumer != node:
                break
            found.append(source)
        return found

    def consumers(self, nodes: Iterable[int]) -> dict[int, list[int]]:
        """The consumers of each of `nodes`, in id order, in one pass over the edge lines."""
        found: dict[int, list[int]] = {node: [] for node in nodes}
        if len(found) <= FIND_AT_MOST:
            # A plain search per node beats a pattern pass for one or two nodes.
            for node, consumers in found.items():
                needle = f"  n{node} -> n"
                at = self.text.find(needle, self.edges_at, self.edges_end)
                while at >= 0:
                    consumers.append(self._edge_line(at)[1])
                    at = self.text.find(needle, at + len(needle), self.edges_end)
            return found
        pattern = re.compile(r"  n(" + digits_pattern(found) + r") -> n([0-9]+);")
        for source, consumer in pattern.findall(self.text, self.edges_at, self.edges_end):
            found[int(source)].append(int(consumer))
        return found


def neighbourhood(dot: DotText, seeds: Iterable[int], depth: int) -> set[int]:
    """The seeds, the nodes up to `depth` input steps above them, and those up to `depth` consumer steps below."""
    drawn = set(seeds)
    up, down = set(drawn), set(drawn)
    for _ in range(depth):
        if not up and not down:
            break
        up = {source for node in up for source in dot.inputs(node)} - drawn
        down = {consumer for consumers in dot.consumers(down).values() for consumer in consumers} - drawn if down else set()
        drawn |= up | down
    return drawn


def around_dot(dot: DotText, seeds: Iterable[int], depth: int) -> str:
    """DOT text of the neighbourhood: the module's node and edge lines for the nodes drawn, and for each node
    whose inputs or consumers are not all drawn, a summary node per side ("+N inputs", "+N consumers")."""
    drawn = sorted(neighbourhood(dot, seeds, depth))
    inside = set(drawn)
    consumers = dot.consumers(drawn)
    lines = ["digraph korvane {"] + [dot.node_line(node) for node in drawn]
    edges, cut = [], []
    for node in drawn:
        inputs = dot.inputs(node)
        edges += [f"  n{source} -> n{node};" for source in inputs if source in inside]
        hidden_inputs = len(set(inputs) - inside)
        hidden_consumers = len(set(consumers[node]) - inside)
        if hidden_inputs:
            lines.append(f'  i{node} [label="+{hidden_inputs:,} inputs", shape=plaintext, fontcolor=gray40];')
            cut.append(f"  i{node} -> n{node} [style=dashed, color=gray40];")
        if hidden_consumers:
            lines.append(f'  c{node} [label="+{hidden_consumers:,} consumers", shape=plaintext, fontcolor=gray40];')
            cut.append(f"  n{node} -> c{node} [style=dashed, color=gray40];")
    return "\n".join(lines + edges + cut + ["}"]) + "\n"
