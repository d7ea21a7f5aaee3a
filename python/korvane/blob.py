"""Reading a "KIR1" blob's structure without building node dicts.

`GraphStore.nodes()` makes a dict per node, which costs far more than reading
the blob. The tools that look at big graphs need only each node's kind, its
inputs and, for operators, its name, plus the full dict of the few nodes they
show. `Blob` walks the records once and keeps exactly that: kind tags, record
offsets, the inputs as one flat id array with per-node bounds, and the operator
names. `Blob.node(i)` decodes one record into the dict `nodes()` gives for it.

The walker trusts the record layout, so it must only see blobs the module has
read without error: `read_blob` checks the bytes with `GraphStore.deserialize`
first, and walks the store's own `serialize()` bytes when the blob held equal
records twice (the store then numbers its nodes differently from the records).
"""

from __future__ import annotations

import re
import struct
import sys
from array import array
from collections.abc import Iterable
from typing import Any

import korvane_core

KINDS = ("source", "op", "reduction", "external", "stage", "exchange", "join")
SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE, JOIN = range(7)

_U32 = struct.Struct("<I").unpack_from
_U32_PAIR = struct.Struct("<II").unpack_from
_TAG_LEN = struct.Struct("<BI").unpack_from
_I64 = struct.Struct("<q").unpack_from
_F64 = struct.Struct("<d").unpack_from


class BlobError(Exception):
    """A blob the module refuses, or a stage member token that does not parse; the text says which."""


def read_blob(data: bytes) -> tuple[korvane_core.GraphStore, "Blob"]:
    """Checks `data` with the module, then walks it. Raises BlobError with the module's message."""
    try:
        store = korvane_core.GraphStore.deserialize(data)
    except ValueError as e:
        raise BlobError(str(e)) from None
    if store.node_count() != _U32(data, 4)[0]:
        data = store.serialize()
    return store, Blob(data, store.outputs())


class Blob:
    """The structure of a checked blob: per node its kind, record offset and inputs."""

    def __init__(self, data: bytes, outputs: list[int]) -> None:
        self.data = data
        self.outputs = outputs
        self._outputs = set(outputs)
        self._walk()

    def _walk(self) -> None:
        data = self.data
        view = memoryview(data)
        n = _U32(data, 4)[0]
        kinds = bytearray(n)
        offsets = array("Q", bytes(8 * n))
        # Inputs of node i: edges[bounds[i]:bounds[i + 1]].
        bounds = array("Q", bytes(8 * (n + 1)))
        edges = array("Q")
        extend = edges.extend
        op_names: list[bytes] = []
        add_name = op_names.append
        stage_sizes: list[int] = []
        u32, u32_pair, tag_len = _U32, _U32_PAIR, _TAG_LEN
        count = 0
        pos = 8
        for i in range(n):
            offsets[i] = pos
            tag, length = tag_len(data, pos)
            kinds[i] = tag
            if tag == OP or tag == REDUCTION:
                # The common record: name, parameters, inputs.
                pos += 5 + length
                if tag == OP:
                    add_name(data[pos - length:pos])
                entries, inputs = u32_pair(data, pos)
                if entries:
                    pos = _skip_entries(data, pos + 4, entries)
                    inputs = u32(data, pos)[0]
                    pos += 4
                else:
                    pos += 8
            elif tag == SOURCE:
                pos = _skip_params(data, pos + 5 + length)
                bounds[i + 1] = count
                continue
            elif tag == STAGE:
                inputs = length
                pos += 5
                members_at = pos + 8 * inputs
                members = u32(data, members_at)[0]
                stage_sizes.append(members)
                end = members_at + 4
                for _ in range(members):
                    end += 4 + u32(data, end)[0]
                    end += 4 + 5 * u32(data, end)[0]
                if inputs:
                    extend(view[pos:pos + 8 * inputs].cast("Q"))
                    count += inputs
                bounds[i + 1] = count
                pos = end
                continue
            elif tag == EXTERNAL:
                pos += 1
                for _ in range(5):
                    pos += 4 + u32(data, pos)[0]
                pos = pos + 5 + u32(data, pos + 1)[0] if data[pos] else pos + 1
                pos = _skip_params(data, pos)
                inputs = u32(data, pos)[0]
                pos += 4
            else:  # Exchange, Join
                pos = _skip_params(data, pos + 1)
                inputs = u32(data, pos)[0]
                pos += 4
            if inputs:
                extend(view[pos:pos + 8 * inputs].cast("Q"))
                pos += 8 * inputs
                count += inputs
            bounds[i + 1] = count
        if sys.byteorder == "big":
            edges.byteswap()
        self.count = n
        self.kinds = kinds
        self.offsets = offsets
        self.bounds = bounds
        self.edges = edges
        self.op_names = op_names
        self.stage_sizes = stage_sizes
        self.end = pos

    def inputs(self, i: int) -> array[int]:
        return self.edges[self.bounds[i]:self.bounds[i + 1]]

    def fan_in(self) -> array[int]:
        """The number of inputs of every node (duplicates counted), in id order."""
        bounds = self.bounds
        return array("Q", map(int.__sub__, bounds[1:], bounds[:-1]))

    def consumers_of(self, ids: Iterable[int]) -> dict[int, list[int]]:
        """The consumers of a few nodes, in one pass over the edges (no full index)."""
        wanted = set(ids)
        found: dict[int, list[int]] = {v: [] for v in wanted}
        if not wanted:
            return found
        bounds = self.bounds
        node = 0
        for slot, v in enumerate(self.edges):
            if v in wanted:
                while bounds[node + 1] <= slot:
                    node += 1
                found[v].append(node)
        return found

    def node(self, i: int) -> dict[str, Any]:
        """The dict `GraphStore.nodes()` gives for node `i`."""
        return _Record(self.data, self.offsets[i]).node(i, i in self._outputs)


def _skip_entries(data: bytes, pos: int, entries: int) -> int:
    for _ in range(entries):
        pos += 4 + _U32(data, pos)[0]
        tag = data[pos]
        if tag == 3:
            pos += 5 + _U32(data, pos + 1)[0]
        elif tag == 2:
            pos += 2
        else:
            pos += 9
    return pos


def _skip_params(data: bytes, pos: int) -> int:
    entries = _U32(data, pos)[0]
    return _skip_entries(data, pos + 4, entries) if entries else pos + 4


class _Record:
    """A reader of one record's fields."""

    def __init__(self, data: bytes, pos: int) -> None:
        self.data = data
        self.pos = pos

    def u8(self) -> int:
        self.pos += 1
        return self.data[self.pos - 1]

    def u32(self) -> int:
        self.pos += 4
        value: int = _U32(self.data, self.pos - 4)[0]
        return value

    def text(self) -> str:
        length = self.u32()
        self.pos += length
        return self.data[self.pos - length:self.pos].decode()

    def ids(self) -> list[int]:
        count = self.u32()
        self.pos += 8 * count
        return list(struct.unpack_from(f"<{count}Q", self.data, self.pos - 8 * count))

    def params(self) -> list[tuple[str, Any]]:
        entries = []
        for _ in range(self.u32()):
            key = self.text()
            tag = self.u8()
            if tag == 0:
                value: Any = _I64(self.data, self.pos)[0]
                self.pos += 8
            elif tag == 1:
                value = _F64(self.data, self.pos)[0]
                self.pos += 8
            elif tag == 2:
                value = self.u8() != 0
            else:
                value = self.text()
            entries.append((key, value))
        # Maps are ordered by key bytes; the sort is stable for repeated keys.
        entries.sort(key=lambda entry: entry[0].encode())
        return entries

    def fields(self) -> tuple[int, str, list[tuple[str, Any]], dict[str, Any] | None, list[int], list[Any]]:
        """kind tag, name, params, descriptor, inputs, members (raw: token and refs)."""
        tag = self.u8()
        name = ""
        params: list[tuple[str, Any]] = []
        descriptor: dict[str, str | None] | None = None
        inputs: list[int] = []
        members: list[Any] = []
        if tag in (SOURCE, OP, REDUCTION):
            name = self.text()
            params = self.params()
            if tag != SOURCE:
                inputs = self.ids()
        elif tag == EXTERNAL:
            keys = ("kind", "content_hash", "framework", "version", "io_schema")
            descriptor = {key: self.text() for key in keys}
            descriptor["preprocessing_ref"] = self.text() if self.u8() else None
            params = self.params()
            inputs = self.ids()
        elif tag == STAGE:
            inputs = self.ids()
            for _ in range(self.u32()):
                token = self.text()
                refs = []
                for _ in range(self.u32()):
                    ref_kind = self.u8()
                    refs.append(("input" if ref_kind == 0 else "member", self.u32()))
                members.append((token, refs))
        else:
            params = self.params()
            inputs = self.ids()
        return tag, name, params, descriptor, inputs, members

    def node(self, i: int, output: bool) -> dict[str, Any]:
        tag, name, params, descriptor, inputs, members = self.fields()
        node: dict[str, Any] = {"id": i, "output": output, "inputs": inputs, "kind": KINDS[tag], "name": name,
                                "params": dict(params)}
        if descriptor is not None:
            node["descriptor"] = descriptor
        if tag == STAGE:
            node["n_members"] = len(members)
            node["members"] = [_member(token, refs) for token, refs in members]
        return node


def _member(token: str, refs: list[tuple[str, int]]) -> dict[str, Any]:
    parsed = parse_member_symbol(token)
    if parsed is None:
        raise BlobError(f"unparseable stage member token {quoted(token)}")
    head, name, params = parsed
    return {"kind": head, "name": name, "params": dict(params), "inputs": refs}


# Member tokens: "op|NAME|KEY=VALUE;..." with names and keys percent-escaped.

def unescape_name(text: str) -> str:
    return text.replace("%7C", "|").replace("%3D", "=").replace("%3B", ";").replace("%25", "%")


_INT_PAYLOAD = re.compile(r"[+-]?[0-9]+\Z")
_HEX_PAYLOAD = re.compile(r"\+?[0-9a-fA-F]+\Z")


def parse_param_key(text: str) -> list[tuple[str, Any]] | None:
    """The parameter map a canonical key encodes, in key order; None when the text is no such key."""
    if not text:
        return []
    entries: list[tuple[str, Any]] = []
    for piece in text.split(";"):
        key, eq, value = piece.partition("=")
        if not eq or not value:
            return None
        tag, payload = value[0], value[1:]
        if tag == "i":
            if not _INT_PAYLOAD.match(payload) or payload.startswith("+-"):
                return None
            number = int(payload)
            if not -(2**63) <= number < 2**63:
                return None
            entries.append((unescape_name(key), number))
        elif tag == "f":
            if not _HEX_PAYLOAD.match(payload) or int(payload, 16) >= 2**64:
                return None
            entries.append((unescape_name(key), struct.unpack("<d", struct.pack("<Q", int(payload, 16)))[0]))
        elif tag == "b":
            if payload not in ("true", "false"):
                return None
            entries.append((unescape_name(key), payload == "true"))
        elif tag == "s":
            entries.append((unescape_name(key), unescape_name(payload)))
        else:
            return None
    entries.sort(key=lambda entry: entry[0].encode())
    return entries


def parse_member_symbol(token: str) -> tuple[str, str, list[tuple[str, Any]]] | None:
    head, bar, rest = token.partition("|")
    if not bar or head not in ("op", "red"):
        return None
    name, bar, key = rest.partition("|")
    params = parse_param_key(key) if bar else []
    if params is None:
        return None
    return head, unescape_name(name), params


# Text as the module quotes it in messages and labels.

_QUOTE_ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
_CONTROL = re.compile(r'[\x00-\x1f\x7f-\x9f\\"]')


def quoted(text: str) -> str:
    """`text` in double quotes, with backslash escapes and \\u{hex} for control characters."""
    return '"' + _CONTROL.sub(lambda m: _QUOTE_ESCAPES.get(m[0]) or f"\\u{{{ord(m[0]):x}}}", text) + '"'


def dot_escaped(label: str) -> str:
    return label.replace("\\", "\\\\").replace('"', '\\"')
